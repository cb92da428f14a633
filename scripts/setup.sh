# Shared by scripts/run, scripts/test and scripts/bench: installs what is missing and builds.
# shellcheck shell=bash

KELPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KELPO_BUILD_PACKAGES=(cmake g++ make qtbase5-dev libqt5serialport5-dev)
KELPO_TEST_PACKAGES=(lrzsz socat qemu-system-arm u-boot-qemu)
# What scripts/package needs besides the build: dpkg-shlibdeps (and file, which CPack runs to find the
# binaries) for the dependencies, lintian for the check.
KELPO_PACKAGE_PACKAGES=(dpkg-dev file lintian)

# Installs the named Debian packages that are not installed yet.
kelpo_install() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "These Debian packages are missing: ${missing[*]}" >&2
            echo "Installing them needs root, and sudo is not available. Install them as root and run again." >&2
            exit 1
        fi
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# kelpo_build DIR [CMAKE ARGS...]: configures and builds into DIR below the project root.
kelpo_build() {
    local dir="$KELPO_ROOT/$1"
    shift
    cmake -S "$KELPO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}

# The Debian package scripts/package writes, named after the newest entry of its changelog.
kelpo_deb_path() {
    local version
    version=$(sed -n '1s/^kelpo-downloader (\([^)]*\)).*/\1/p' "$KELPO_ROOT/packaging/deb/changelog")
    echo "$KELPO_ROOT/dist/kelpo-downloader_${version}_$(dpkg --print-architecture).deb"
}
