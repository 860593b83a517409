#!/usr/bin/env bash
# A chain of tills driven by ansible-playbook and the quelvaris.cash
# collection: several on this machine, each with its own TARNEX_ROOT, and one
# over real SSH on 127.0.0.1 through an sshd of our own, when one can start
# (else status 77 after the local tills passed).  TILLS_TIMING=1 times each
# play, on the local tills only.
#
#   tills_test.sh TARNEX [LOCAL_TILLS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tarnex=$(realpath "$1")
work=$(mktemp -d)
sshd_pid=
trap '[ -z "$sshd_pid" ] || kill "$sshd_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; sed 's/^/    /' "$work/out" >&2; exit 1; }

export PATH=${tarnex%/*}:$PATH ANSIBLE_COLLECTIONS_PATH=$here/../../ansible ANSIBLE_HOME=$work/ansible
export ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_FORKS=${ANSIBLE_FORKS:-10}
export ANSIBLE_REMOTE_USER=root ANSIBLE_PRIVATE_KEY_FILE=$work/id ANSIBLE_HOST_KEY_CHECKING=False
export ANSIBLE_SSH_COMMON_ARGS='-o UserKnownHostsFile=/dev/null' ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp

# sshd from Debian on a free port, logging root in with a throwaway key that
# is its host key too.
ssh_skip="not root: sshd can log in only as the user it runs as"
[ -z "${TILLS_TIMING:-}" ] || ssh_skip="timing the local tills"
if [ "$(id -u)" = 0 ] && [ -z "${TILLS_TIMING:-}" ]; then
    ssh-keygen -q -t ed25519 -N '' -f "$work/id"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p /run/sshd  # its privilege separation directory, which the service would make
    /usr/sbin/sshd -D -e -f /dev/null -p "$port" -o ListenAddress=127.0.0.1 -h "$work/id" -o PidFile="$work/sshd.pid" \
        -o AuthorizedKeysFile="$work/id.pub" -o StrictModes=no -o "Subsystem=sftp internal-sftp" 2>"$work/sshd.log" &
    sshd_pid=$!
    ssh_skip=
    ssh -q -o BatchMode=yes -o ConnectionAttempts=20 -o UserKnownHostsFile=/dev/null -o StrictHostKeyChecking=no \
        -i "$work/id" -p "$port" root@127.0.0.1 true || ssh_skip="sshd did not start: $(tail -n 1 "$work/sshd.log")"
fi

# The tills, each a root with its register, and the inventory.
mapfile -t tills < <(seq -f till%g "${2:-3}")
[ -n "$ssh_skip" ] || tills+=(till-ssh)
for t in "${tills[@]}"; do
    mkdir -p "$work/$t/quelvaris/cash/data" "$work/$t/quelvaris/cash/conf"
    : >"$work/$t/quelvaris/cash/data/cash.reg"
    TARNEX_ROOT=$work/$t tarnex --create "$work/$t/quelvaris/cash/data/cash.reg"
    how=ansible_connection=local
    [ "$t" != till-ssh ] || how="ansible_host=127.0.0.1 ansible_port=$port"
    echo "$t till_root=$work/$t $how" >>"$work/hosts"
done

# play ARGS...: tills.yml on every till, its output in $work/out, its status in $status.
play() {
    local start=${EPOCHREALTIME/./}
    status=0
    ansible-playbook -i "$work/hosts" "$here/tills.yml" "$@" >"$work/out" 2>&1 || status=$?
    [ -z "${TILLS_TIMING:-}" ] || echo "tills.yml $* on ${#tills[@]} tills: $(((${EPOCHREALTIME/./} - start) / 1000)) ms"
}
# expect STATUS CHANGED FAILED TILL...: the play's status and each till's recap.
expect() {
    [ "$status" = "$1" ] || fail "status $status, not $1"
    for t in "${@:4}"; do
        grep -Eq "^$t +: ok=[0-9]+ +changed=$2 +unreachable=0 +failed=$3 " "$work/out" || fail "$t: not changed=$2 failed=$3"
    done
}
# Every file and directory of every till, with its inode and time of change.
state() { find "$work"/till* -printf '%p %i %s %T@\n' | sort; }

# Reading: every till's values, nothing changed.
play
expect 0 0 0 "${tills[@]}"
for t in "${tills[@]}"; do grep -q "\"msg\": \"$t 1 0 1 - 0.0\"" "$work/out" || fail "$t: no values shown"; done

# Setting only where the values differ: till1 holds them already.
TARNEX_ROOT=$work/till1 tarnex --setshift 42 --setsum_sale 12.5 "$work/till1/quelvaris/cash/data/cash.reg"
play -e shift=42 -e sum_sale=12.50
expect 0 0 0 till1
expect 0 1 0 "${tills[@]:1}"

# Again: not a file written, cash.reg- included.  Check and diff mode show
# the change on every till and write nothing either.
before=$(state)
play -e shift=42 -e sum_sale=12.50
expect 0 0 0 "${tills[@]}"
[ "$(state)" = "$before" ] || fail "the rerun wrote: $(diff <(echo "$before") <(state))"
play -e shift=43 --check --diff
expect 0 1 0 "${tills[@]}"
[ "$(grep -c '^-shift = 42$' "$work/out") $(grep -c '^+shift = 43$' "$work/out")" = "${#tills[@]} ${#tills[@]}" ] ||
    fail "not every till's diff"
[ "$(state)" = "$before" ] || fail "check mode wrote"
# A receipt number 0 is the 1 a till reads from a stored 0: no change.
play -e checknum=0
expect 0 0 0 "${tills[@]}"

# A value tarnex refuses fails every host, naming the option; nothing written.
for refused in shift=70000 "shift_begin='31.02.2024 10:00'" sum_sale=-5; do
    play -e "$refused"
    expect 2 0 1 "${tills[@]}"
    [ "$(grep -c "\"msg\": \"${refused%%=*}: tarnex refuses the value" "$work/out")" = "${#tills[@]}" ] ||
        fail "$refused: not every host names the option"
    [ "$(state)" = "$before" ] || fail "$refused: something was written"
done

[ -z "$ssh_skip" ] || { echo "the local tills passed; the till over SSH was skipped: $ssh_skip"; exit 77; }
echo "${#tills[@]} tills passed, one of them over SSH"
