# Shared by scripts/demo and scripts/check: make sure the Debian packages are
# there, then configure and build one tree.  Sourced, not run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

BUILD_PACKAGES="cmake ninja-build g++ pkg-config libncurses-dev libgtest-dev"
TEST_PACKAGES="libvterm-dev strace locales util-linux man-db groff-base dpkg-dev clang libclang-rt-14-dev"
BENCH_PACKAGES="gcc hyperfine strace time jq libbenchmark-dev libvterm-dev libgtest-dev"

# ensure_packages PKG...: installs what is missing when root; otherwise says
# the one line to run and stops.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Run as root, then run this command again:" >&2
        echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build DIR [CMAKE_ARGS...]: configure once, then let ninja do only what changed.
build() {
    local dir=$1; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S . -B "$dir" -G Ninja -DTARNEX_WERROR=ON "$@" >/dev/null
    fi
    cmake --build "$dir" "${BUILD_TARGET[@]}"
}
BUILD_TARGET=()
