#!/usr/bin/env bash
# Builds the Debian package hdmi-preview-audio from this source tree and checks it:
#
#   bash scripts/build-deb.sh [OUT_DIR]        (default: build-deb/ in the source tree)
#
# Installs what the build needs (as root, or through sudo), builds from a copy of the tree in
# OUT_DIR/src, so that dpkg-buildpackage writes nothing outside OUT_DIR, runs lintian on the result
# (failing on errors and warnings) and checks the unit's sandbox with systemd-analyze. Build output
# goes to standard error; the last line on standard output is the .deb's path.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$src/build-deb}
mkdir -p "$out" || { echo "cannot create the output directory $out" >&2; exit 1; }
out=$(cd "$out" && pwd)

# shellcheck source=scripts/packages.sh
source "$src/scripts/packages.sh"
ensure_packages cmake make g++ pkg-config libasound2-dev "${DEB_PACKAGES[@]}" >&2

# The highest exposure (systemd-analyze security, 0 to 10) the shipped unit may have.
max_exposure=1.5

# A fresh copy, without build trees, version control or the output itself.
rm -rf "$out/src"
mkdir -p "$out/src"
excludes=(--exclude=./.git --exclude='./build*' --exclude=./out --exclude=./Testing)
case "$out/" in
    "$src/"*) excludes+=("--exclude=./${out#"$src/"}") ;;
esac
tar -C "$src" "${excludes[@]}" -cf - . | tar -C "$out/src" -xf - ||
    { echo "cannot copy the source tree $src into $out/src" >&2; exit 1; }

version=$(dpkg-parsechangelog -l "$out/src/debian/changelog" -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
deb="$out/hdmi-preview-audio_${version}_${arch}.deb"
rm -f "$deb"

(cd "$out/src" && dpkg-buildpackage -b -us -uc -j2) >&2 ||
    { echo "dpkg-buildpackage failed for $out/src" >&2; exit 1; }
[[ -f $deb ]] || { echo "dpkg-buildpackage made no $deb" >&2; exit 1; }

lintian --fail-on error,warning --display-info "$deb" >&2 ||
    { echo "lintian found errors or warnings in $deb" >&2; exit 1; }

unit="$out/hdmi-preview-audio.service"
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./lib/systemd/system/hdmi-preview-audio.service >"$unit" ||
    { echo "$deb holds no /lib/systemd/system/hdmi-preview-audio.service" >&2; exit 1; }
threshold=$(awk -v e="$max_exposure" 'BEGIN { print e * 10 }')
systemd-analyze security --offline=yes --threshold="$threshold" --no-pager "$unit" |
    grep -E '^(✗|→)' >&2 ||
    { echo "the unit $unit is exposed above $max_exposure (systemd-analyze security)" >&2; exit 1; }

echo "$deb"
