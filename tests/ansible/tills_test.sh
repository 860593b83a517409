#!/usr/bin/env bash
# A chain of tills driven by ansible-playbook and the quelvaris.cash
# collection: several tills on this machine, each with its own TARNEX_ROOT,
# and one reached over real SSH on 127.0.0.1 through an sshd of our own.
#
#   tills_test.sh TARNEX [LOCAL_TILLS]
#
# Exits 77 (skipped) after the local tills passed when no sshd can be started
# here, saying why.  With TILLS_TIMING=1 it only times, on the local tills,
# reading each and setting a value that each already holds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
tarnex=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
local_tills=${2:-3}
work=$(mktemp -d)
sshd_pid=
cleanup() {
    [ -z "$sshd_pid" ] || kill "$sshd_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    [ ! -f "$work/out" ] || sed 's/^/    /' "$work/out" >&2
    exit 1
}

export ANSIBLE_COLLECTIONS_PATH=$src/ansible ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
export ANSIBLE_REMOTE_TEMP=$work/remote-tmp ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp ANSIBLE_NOCOLOR=1
export ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORKS=${ANSIBLE_FORKS:-10}
export ANSIBLE_HOST_KEY_CHECKING=False TZ=UTC0
command -v ansible-playbook >/dev/null || fail "ansible-playbook is not installed (apt-get install ansible-core)"

# A till: its own root with the register and the conf directory.
make_till() {
    local root=$work/$1
    mkdir -p "$root/quelvaris/cash/data" "$root/quelvaris/cash/conf"
    : >"$root/quelvaris/cash/data/cash.reg"
    TARNEX_ROOT=$root "$tarnex" --create "$root/quelvaris/cash/data/cash.reg"
}
register_of() { echo "$work/$1/quelvaris/cash/data/cash.reg"; }

# sshd from Debian on a free port with throwaway keys, logging in as root.
start_sshd() {
    [ "$(id -u)" = 0 ] || { ssh_skip="not root: sshd can log in only as the user it runs as"; return; }
    [ -x /usr/sbin/sshd ] || { ssh_skip="no /usr/sbin/sshd (apt-get install openssh-server)"; return; }
    ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$work/id"
    cp "$work/id.pub" "$work/authorized_keys"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
    mkdir -p /run/sshd  # its privilege separation directory, which the service would make
    /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
    sshd_pid=$!
    local i
    for i in $(seq 50); do
        ssh -q -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i "$work/id" -p "$port" \
            root@127.0.0.1 true 2>/dev/null && return
        kill -0 "$sshd_pid" 2>/dev/null || break
        sleep 0.1
    done
    ssh_skip="sshd did not start: $(tail -n 1 "$work/sshd.log")"
    kill "$sshd_pid" 2>/dev/null || true
    sshd_pid=
}

ssh_skip=
tills=()
for i in $(seq "$local_tills"); do
    make_till "till$i"
    tills+=("till$i")
done
if [ "${TILLS_TIMING:-}" = 1 ]; then ssh_skip="timing the local tills"; else start_sshd; fi
{
    echo "tills:"
    echo "  vars:"
    echo "    register_path: '{{ till_root }}/quelvaris/cash/data/cash.reg'"
    echo "    till_environment: {TARNEX_ROOT: '{{ till_root }}', PATH: '$(dirname "$tarnex"):/usr/sbin:/usr/bin:/sbin:/bin'}"
    echo "  children:"
    echo "    here:"
    echo "      vars: {ansible_connection: local}"
    echo "      hosts:"
    for t in "${tills[@]}"; do echo "        $t: {till_root: '$work/$t'}"; done
    if [ -z "$ssh_skip" ]; then
        make_till till-ssh
        tills+=(till-ssh)
        echo "    over_ssh:"
        echo "      hosts:"
        echo "        till-ssh:"
        echo "          {till_root: '$work/till-ssh', ansible_host: 127.0.0.1, ansible_port: $port, ansible_user: root,"
        echo "           ansible_ssh_private_key_file: '$work/id',"
        echo "           ansible_ssh_common_args: '-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'}"
    fi
} >"$work/inventory.yml"

# play PLAYBOOK ARGS...: runs it, output in $work/out, status in $status.
play() {
    status=0
    ansible-playbook -i "$work/inventory.yml" "$here/$1" "${@:2}" >"$work/out" 2>&1 || status=$?
}
# recap HOST FIELD: a number from the play's recap.
recap() {
    awk -v h="$1" -v f="$2" '$1 == h && $2 == ":" { for (i = 3; i <= NF; i++) { split($i, a, "="); if (a[1] == f) print a[2] } }' \
        "$work/out"
}
# expect FIELD VALUE TILL...
expect() {
    local t
    for t in "${@:3}"; do [ "$(recap "$t" "$1")" = "$2" ] || fail "$t: $1 is '$(recap "$t" "$1")', not $2"; done
}
# The bytes of every file of every till.
state() { (cd "$work" && find till* -type f -print0 | sort -z | xargs -0 sha256sum); }
value() { TARNEX_ROOT=$work/$1 "$tarnex" --print "$(register_of "$1")" | sed -n "s/^$2 = //p"; }

if [ "${TILLS_TIMING:-}" = 1 ]; then
    for args in read.yml "set.yml -e shift=0"; do
        start=$(date +%s%N)
        # shellcheck disable=SC2086
        play $args
        [ "$status" = 0 ] || fail "$args failed"
        echo "$args on ${#tills[@]} tills: $((($(date +%s%N) - start) / 1000000)) ms with $ANSIBLE_FORKS forks," \
            "$(grep -c 'changed=1' "$work/out") changed"
    done
    exit 0
fi

# Reading: every till in the table, nothing changed.
play read.yml
[ "$status" = 0 ] || fail "reading failed"
expect changed 0 "${tills[@]}"
for t in "${tills[@]}"; do grep -q "\"$t 1 0 1 - 0.00\"" "$work/out" || fail "$t missing from the table"; done
sed -n '/PLAY RECAP/,$p' "$work/out"

# Setting: only where the values differ.  till1 has them already.
TARNEX_ROOT=$work/till1 "$tarnex" --setshift 42 --setsum_sale 12.5 "$(register_of till1)"
kept=$(sha256sum "$(register_of till1)-")
play set.yml -e shift=42 -e sum_sale=12.50
[ "$status" = 0 ] || fail "setting failed"
expect changed 0 till1
expect changed 1 "${tills[@]:1}"
[ "$(sha256sum "$(register_of till1)-")" = "$kept" ] || fail "till1's cash.reg- was rewritten"
for t in "${tills[@]}"; do
    [ "$(value "$t" shift)/$(value "$t" sum_sale)" = 42/12.50 ] || fail "$t holds $(value "$t" shift)/$(value "$t" sum_sale)"
done

# Again: nothing changes, not a byte of any file.
before=$(state)
play set.yml -e shift=42 -e sum_sale=12.50
[ "$status" = 0 ] || fail "the rerun failed"
expect changed 0 "${tills[@]}"
[ "$(state)" = "$before" ] || fail "the rerun wrote: $(diff <(echo "$before") <(state))"

# Check and diff mode: the change is shown and reported, nothing written.
play set.yml -e shift=43 --check --diff
[ "$status" = 0 ] || fail "check mode failed"
expect changed 1 "${tills[@]}"
[ "$(grep -c '^-shift = 42$' "$work/out")" = "${#tills[@]}" ] || fail "no diff's before line for every till"
[ "$(grep -c '^+shift = 43$' "$work/out")" = "${#tills[@]}" ] || fail "no diff's after line for every till"
[ "$(state)" = "$before" ] || fail "check mode wrote"

# A value tarnex refuses fails every host, naming the option; nothing written.
for refused in shift=70000 "shift_begin='31.02.2024 10:00'" sum_sale=-5; do
    play set.yml -e "$refused"
    [ "$status" != 0 ] || fail "$refused: the play succeeded"
    expect failed 1 "${tills[@]}"
    [ "$(grep -c "\"msg\": \"${refused%%=*}: tarnex refuses the value" "$work/out")" = "${#tills[@]}" ] ||
        fail "$refused: not every host names the option"
    [ "$(state)" = "$before" ] || fail "$refused: something was written"
done

if [ -n "$ssh_skip" ]; then
    echo "the local tills passed; the till over SSH was skipped: $ssh_skip"
    exit 77
fi
echo "${#tills[@]} tills passed, one of them over SSH"
