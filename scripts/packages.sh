# shellcheck shell=bash disable=SC2034  # the package lists are read by the scripts that source this
# Sourced by the scripts here: installs the Debian packages that are missing, and only those, with
# an index update before installing. Uses sudo when not root.
#
#   ensure_architecture ARCH      (before ensure_packages of ARCH's packages)
#   ensure_packages PACKAGE...

as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

# Adds a foreign dpkg architecture. Its packages are then missing, so the ensure_packages that
# follows updates the index before installing them.
ensure_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" && return 0
    as_root dpkg --add-architecture "$1" || { echo "dpkg cannot add the $1 architecture" >&2; return 1; }
}

ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    echo "Installing ${missing[*]}"
    # A mirror in the middle of a sync can fail one index ("File has unexpected size"): the update
    # is tried again, and then the install goes ahead with the lists apt has. Only a failed install
    # fails.
    local try
    for try in 1 2 3; do
        as_root apt-get update -q && break
        if ((try < 3)); then
            echo "apt-get update failed; trying again in $((try * 10)) s" >&2
            sleep $((try * 10))
        else
            echo "apt-get update failed; installing from the package lists apt already has" >&2
        fi
    done
    # --no-remove: a package that conflicts with an installed one fails here instead of taking the
    # machine's packages away.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove \
        --no-install-recommends "${missing[@]}" || { echo "cannot install ${missing[*]}" >&2; return 1; }
}

# What every build of the project needs on a Debian 12 host.
BUILD_PACKAGES=(cmake make g++ pkg-config libasound2-dev libgtest-dev libbenchmark-dev libspeexdsp-dev
    libsamplerate0-dev libsoxr-dev)
# What each test script adds (scripts/test.sh installs them all at once, before its stages).
ARMHF_PACKAGES=(g++-arm-linux-gnueabihf libasound2-dev:armhf libgtest-dev:armhf
    libsamplerate0-dev:armhf libspeexdsp-dev:armhf qemu-user-static)
SYSTEM_TEST_PACKAGES=(cpio kmod python3 bc qemu-system-x86 qemu-system-arm g++-arm-linux-gnueabihf
    libasound2-dev:armhf libgtest-dev:armhf)
DEB_PACKAGES=(debhelper dpkg-dev lintian systemd)
DEBIAN_GUEST_PACKAGES=(mmdebstrap qemu-system-x86 e2fsprogs cpio kmod python3 bc binutils)
