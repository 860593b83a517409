#!/usr/bin/env bash
# The set-up scripts as a new user meets them on a bare machine: what they ask
# of root, what they install and how.  The system's package, locale and build
# tools are stood in for by stubs on PATH, so nothing is installed or built.
#
#   setup_test.sh CASE
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir "$stubs"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# stub NAME SHELL-BODY
stub() {
    printf '#!/bin/sh\n%s\n' "$2" >"$stubs/$1"
    chmod +x "$stubs/$1"
}

# None of the packages nor the locale, and a user who is not root.  Should a
# script go past its root steps, the build tools fail loudly instead of a
# check starting inside the check.
bare_machine() {
    stub dpkg-query 'exit 1'
    stub locale 'echo C; echo POSIX'
    stub id 'echo 1000'
    stub cmake 'echo "cmake ran: $*" >&2; exit 97'
    stub ctest 'echo "ctest ran" >&2; exit 97'
}

# run SCRIPT: its status, standard output and standard error in $status, $out, $err.
run() {
    status=0
    PATH=$stubs:$PATH "$src/$1" >"$work/out" 2>"$work/err" </dev/null || status=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}

packages_of() { bash -c "source '$src/scripts/common.sh'; echo $1"; }

# The one line of $err that begins with $1, after the message's indent.
line_of() { grep -E "^ +$1" <<<"$err" || true; }

case_RootStepsComeInOneMessage() {
    bare_machine
    run scripts/check
    [ "$status" = 1 ] || fail "status $status: $err"
    [ -z "$out" ] || fail "standard output: $out"
    local apt locale
    apt=$(line_of 'apt-get ')
    locale=$(line_of 'localedef ')
    [ "$(wc -l <<<"$apt")" = 1 ] && [ -n "$apt" ] || fail "not one apt-get line in: $err"
    [ "$locale" = "    localedef -i ru_RU -f CP1251 ru_RU.CP1251
    localedef -i ru_RU -f KOI8-R ru_RU.KOI8-R" ] || fail "not the two locale steps in: $err"
    [[ "$apt" == "    apt-get update && apt-get install -y --no-install-recommends "* ]] || fail "apt-get line: $apt"
    for p in $(packages_of '$BUILD_PACKAGES $TEST_PACKAGES'); do
        [[ " $apt " == *" $p "* ]] || fail "$p missing from: $apt"
    done
    # Packages first: the locale is compiled from the sources one of them brings.
    [ "$(grep -n 'apt-get' <<<"$err" | cut -d: -f1)" -lt "$(grep -n 'localedef' <<<"$err" | head -n 1 | cut -d: -f1)" ] ||
        fail "the locale is asked for before the packages: $err"
    grep -q 'scripts/check again' <<<"$err" || fail "does not say to run it again: $err"
}

case_TheDemoAsksOnlyForWhatTheDemoNeeds() {
    bare_machine
    run scripts/demo
    [ "$status" = 1 ] || fail "status $status: $err"
    [ -z "$out" ] || fail "standard output: $out"
    local apt
    apt=$(line_of 'apt-get ')
    for p in $(packages_of '$BUILD_PACKAGES'); do
        [[ " $apt " == *" $p "* ]] || fail "$p missing from: $apt"
    done
    for p in libgtest-dev libvterm-dev strace clang; do
        [[ " $apt " != *" $p "* ]] || fail "the demo asks for the test package $p: $apt"
    done
    [ -z "$(line_of 'localedef ')" ] || fail "the demo asks for a locale: $err"
}

# As root the same steps are taken, with apt's own progress shown as it
# comes and kept off standard output, before anything is built.
case_RootSeesTheInstallationWork() {
    bare_machine
    stub id 'echo 0'
    stub apt-get "echo \"apt-get \$*\" >>'$work/calls'; echo \"Setting up \$*\""
    stub localedef "echo \"localedef \$*\" >>'$work/calls'"
    for script in scripts/demo scripts/check; do
        : >"$work/calls"
        run "$script"
        [ "$status" != 0 ] || fail "$script: went on past the cmake stub: $err"
        [ -z "$out" ] || fail "$script: standard output: $out"
        grep -q '^Setting up install -y ' <<<"$err" || fail "$script: apt's progress not shown: $err"
        grep -q '^cmake ran' <<<"$err" || fail "$script: the build did not follow: $err"
        grep -q '^apt-get update$' "$work/calls" || fail "$script: no apt-get update: $(cat "$work/calls")"
        grep -Eq '^apt-get install -y --no-install-recommends [a-z]' "$work/calls" ||
            fail "$script: apt quietened: $(cat "$work/calls")"
    done
    [ "$(tail -n 2 "$work/calls")" = "localedef -i ru_RU -f CP1251 ru_RU.CP1251
localedef -i ru_RU -f KOI8-R ru_RU.KOI8-R" ] ||
        fail "the check's last step: $(cat "$work/calls")"
}

# The package script asks for lintian and for every package debian/control's
# Build-Depends names, so that a build on a fresh Debian finds them.
case_ThePackageAsksForItsBuildDependsAndLintian() {
    bare_machine
    run scripts/package
    [ "$status" = 1 ] || fail "status $status: $err"
    local apt p
    apt=$(line_of 'apt-get ')
    for p in lintian $(sed -n '/^Build-Depends:/,/^[A-Z]/{s/^Build-Depends://; /^[A-Z]/d; s/([^)]*)\|-compat\|,//g; p}' \
        "$src/debian/control"); do
        [[ " $apt " == *" $p "* ]] || fail "$p missing from: $apt"
    done
}

# Every program a test runs, and the locale's sources, come with a minimal
# Debian (essential or required) or with a package the check installs, or
# one such a package depends on (pkg-config now names pkgconf).
case_EveryToolTheTestsRunComesWithTheCheck() {
    local listed tool package p owner
    listed=" $(packages_of '$BUILD_PACKAGES $TEST_PACKAGES') "
    # shellcheck disable=SC2086
    listed+=" $(dpkg-query -W -f='${Depends}, ${Pre-Depends}\n' $listed | tr ',|' '\n\n' |
        sed 's/^ *//; s/[ :].*//' | sort -u | tr '\n' ' ') "
    local tools=(cmake ninja g++ pkg-config strace setpriv unshare mount chattr man lexgrog dpkg mkfifo sh bash
        localedef clang++ ansible-playbook ansible-doc sshd ssh ssh-keygen /usr/share/i18n/charmaps/CP1251.gz
        /usr/share/i18n/charmaps/KOI8-R.gz
        /usr/share/i18n/locales/ru_RU /usr/include/vterm.h /usr/include/gtest/gtest.h)
    local candidates=() owners
    for tool in "${tools[@]}"; do
        [[ "$tool" == /* ]] && candidates+=("$tool") && continue
        candidates+=(/usr/bin/"$tool" /bin/"$tool" /usr/sbin/"$tool" /sbin/"$tool")
    done
    # One look at dpkg's database: each call reads all of it.
    owners=$(dpkg -S "${candidates[@]}" 2>/dev/null | grep -v '^diversion' || true)
    for tool in "${tools[@]}"; do
        owner=
        for p in "$tool" /usr/bin/"$tool" /bin/"$tool" /usr/sbin/"$tool" /sbin/"$tool"; do
            [[ "$p" == /* ]] || continue
            owner=$(awk -F': ' -v p="$p" '$2 == p { print $1; exit }' <<<"$owners")
            [ -z "$owner" ] || break
        done
        [ -n "$owner" ] || fail "$tool: no installed package has it"
        package=${owner%%:*}
        [[ "$listed" == *" $package "* ]] && continue
        [[ "$(dpkg-query -W -f='${Essential} ${Priority}' "$package")" =~ ^yes|\ required$ ]] && continue
        fail "$tool comes with $package, which neither a minimal Debian nor the check installs"
    done
}

"case_$1"
