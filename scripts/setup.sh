# Shared by scripts/run, scripts/test and scripts/bench: installs what is missing and builds.
# shellcheck shell=bash

KELPO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KELPO_BUILD_PACKAGES=(cmake g++ make qtbase5-dev libqt5serialport5-dev)
KELPO_TEST_PACKAGES=(lrzsz socat qemu-system-arm u-boot-qemu)
# A virtual display for scripts/screenshot, and a font with the full-width colon of the window's labels.
KELPO_SCREENSHOT_PACKAGES=(xvfb xauth fonts-wqy-microhei)
KELPO_WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix dpkg-dev xz-utils python3 perl zip icoutils)
KELPO_WINE_PACKAGES=(wine wine64 xvfb x11-utils x11-apps xdotool imagemagick unzip lrzsz socat fonts-wqy-microhei)
# What scripts/package needs besides the build: dpkg-shlibdeps (and file, which CPack runs to find the
# binaries) for the dependencies, lintian for the check.
KELPO_PACKAGE_PACKAGES=(dpkg-dev file lintian)

# kelpo_missing PACKAGE...: prints the named Debian packages that are not installed, one a line.
kelpo_missing() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || echo "$pkg"
    done
}

# Installs the named Debian packages that are not installed yet.
kelpo_install() {
    local missing
    mapfile -t missing < <(kelpo_missing "$@")
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

# Where one-time builds (a rebuilt Qt) are kept, outside the checkout, so that every clone reuses them.
kelpo_cache_dir() {
    local dir="${XDG_CACHE_HOME:-$HOME/.cache}/kelpo-downloader"
    mkdir -p "$dir"
    echo "$dir"
}

# kelpo_debian_source PACKAGE VERSION DIR [DPKG-SOURCE OPTIONS...]: fetches Debian's source package of that
# version into DIR and unpacks it into DIR/PACKAGE. A private apt state keeps the system's sources and lists as they are.
kelpo_debian_source() {
    local package=$1 version=$2 dir=$3
    shift 3
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mkdir -p "$dir/apt/sources" "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial"
    cat >"$dir/apt/sources/debian.sources" <<EOF
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    local apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/apt/sources"
        -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt/cache" -o Debug::NoLocking=1)
    apt-get "${apt_options[@]}" update -q
    (cd "$dir" && apt-get "${apt_options[@]}" source --download-only "$package=$version")
    dpkg-source "$@" -x "$dir/${package}_"*.dsc "$dir/$package"
}

# The Debian package scripts/package writes, named after the newest entry of its changelog.
kelpo_deb_path() {
    local version
    version=$(sed -n '1s/^kelpo-downloader (\([^)]*\)).*/\1/p' "$KELPO_ROOT/packaging/deb/changelog")
    echo "$KELPO_ROOT/dist/kelpo-downloader_${version}_$(dpkg --print-architecture).deb"
}
