# Sourced by the scripts here: installs the Debian packages that are missing, and only those, with
# one index update before installing. Uses sudo when not root.
#
#   ensure_packages PACKAGE...

ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    echo "Installing ${missing[*]}"
    "${sudo[@]}" apt-get update -q || { echo "apt-get update failed" >&2; return 1; }
    # --no-remove: a package that conflicts with an installed one fails here instead of taking the
    # machine's packages away.
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove \
        --no-install-recommends "${missing[@]}" || { echo "cannot install ${missing[*]}" >&2; return 1; }
}

# What every build of the project needs on a Debian 12 host.
BUILD_PACKAGES=(cmake make g++ pkg-config libasound2-dev libgtest-dev libbenchmark-dev)
