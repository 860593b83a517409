# Shared by scripts/demo, scripts/check, scripts/fuzz and bench/run: make sure
# the Debian packages are there, then configure and build one tree.  Sourced,
# not run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# The program alone.
BUILD_PACKAGES="cmake ninja-build g++ pkg-config libncurses-dev"
# The fuzz targets: clang++ and its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES="clang libclang-rt-14-dev"
# Everything the tests build against or run, beyond what a minimal Debian
# has: the virtual terminal of the screen tests, strace for the fault loops,
# chattr and mount for the refusals, man and lexgrog for the manual,
# Ansible with an SSH server and client for the chain of tills, and what
# ansible-test sanity and ansible-lint check the collection with.
TEST_PACKAGES="libgtest-dev libvterm-dev strace locales util-linux mount e2fsprogs man-db groff-base
               ansible-core openssh-server openssh-client
               ansible-lint pylint python3-voluptuous yamllint python3-pycodestyle $FUZZ_PACKAGES"
# The Debian package (scripts/package): what debian/control's Build-Depends
# name beyond the program's own, and lintian to check the result.
PACKAGE_PACKAGES="debhelper dpkg-dev lintian"
BENCH_PACKAGES="gcc hyperfine strace time jq libbenchmark-dev libvterm-dev libgtest-dev"

# What only root can do, gathered first so that a user who is not root is
# told all of it in one message instead of one step per attempt.
MISSING_PACKAGES=()
MISSING_LOCALES=()  # as "NAME INPUT CHARMAP", localedef's three

# need_packages PKG...: notes those that are not installed.
need_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' && continue
        [[ " ${MISSING_PACKAGES[*]} " == *" $p "* ]] || MISSING_PACKAGES+=("$p")
    done
}

# need_locale NAME INPUT CHARMAP: notes a locale that is not compiled yet.
need_locale() {
    # locale -a spells the set in lower case without dashes: ru_RU.koi8r.
    local listed=${1%%.*}.$(tr -d -- - <<<"${1#*.}")
    locale -a 2>/dev/null | grep -qix "$listed" || MISSING_LOCALES+=("$1 $2 $3")
}

# The root steps as the lines a person would type.
root_steps() {
    local l name input charmap
    [ ${#MISSING_PACKAGES[@]} -eq 0 ] ||
        echo "apt-get update && apt-get install -y --no-install-recommends ${MISSING_PACKAGES[*]}"
    for l in "${MISSING_LOCALES[@]}"; do
        read -r name input charmap <<<"$l"
        echo "localedef -i $input -f $charmap $name"
    done
}

# take_root_steps: as root, installs and compiles what is missing, showing
# apt's own progress; as another user, prints every step and stops.
take_root_steps() {
    local steps l name input charmap
    steps=$(root_steps)
    [ -n "$steps" ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        {
            echo "${0#./} needs these steps run as root first:"
            sed 's/^/    /' <<<"$steps"
            echo "then run ${0#./} again as yourself."
        } >&2
        exit 1
    fi
    if [ ${#MISSING_PACKAGES[@]} -gt 0 ]; then
        echo "Installing ${MISSING_PACKAGES[*]}" >&2
        # apt's output goes to standard error: standard output is the demo's.
        # What the lists name is all that is needed; recommended packages
        # (fonts and image libraries for the C library's tools) only cost time.
        DEBIAN_FRONTEND=noninteractive apt-get update >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${MISSING_PACKAGES[@]}" >&2
        MISSING_PACKAGES=()
    fi
    for l in "${MISSING_LOCALES[@]}"; do
        read -r name input charmap <<<"$l"
        echo "Compiling the locale $name" >&2
        # Its warnings about the charmap are noise unless it fails.
        localedef -i "$input" -f "$charmap" "$name" 2>/dev/null || localedef -i "$input" -f "$charmap" "$name"
    done
    MISSING_LOCALES=()
}

# ensure_packages PKG...: the packages alone, for a script that needs nothing else.
ensure_packages() {
    need_packages "$@"
    take_root_steps
}

# build DIR [CMAKE_ARGS...]: configure once, then let ninja do only what changed.
# CMake's messages are shown only when it fails, where they name what is missing.
build() {
    local dir=$1 log
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        if ! log=$(cmake -S . -B "$dir" -G Ninja -DTARNEX_WERROR=ON "$@" 2>&1); then
            printf '%s\n' "$log" >&2
            echo "${0#./}: configuring $dir failed; CMake's messages above say why." >&2
            exit 1
        fi
    fi
    cmake --build "$dir" "${BUILD_TARGET[@]}"
}
BUILD_TARGET=()
