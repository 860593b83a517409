#!/usr/bin/env bash
# A chain of tills driven by ansible-playbook and the quelvaris.cash
# collection: several on this machine, each with its own TARNEX_ROOT, and one
# over real SSH on 127.0.0.1 through an sshd of our own, when one can start,
# all of them logging to a system log of the test's own (else status 77 after
# the rest passed).  TILLS_TIMING=1 times each play, on the local tills only.
#
#   tills_test.sh TARNEX [LOCAL_TILLS]      LOCAL_TILLS: 3 or more
set -euo pipefail
# The log is a socket at /dev/log in a private mount namespace, so the whole
# test, sshd included, runs in one.
if [ "$(id -u)" = 0 ] && [ -z "${TILLS_TIMING:-}${TILLS_PRIVATE:-}" ] && unshare --mount true 2>/dev/null; then
    TILLS_PRIVATE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
tarnex=$(realpath "$1")
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; sed 's/^/    /' "$work/out" >&2; exit 1; }
# Daylight saving starts on 31.03.2024 at 02:00.
export TZ=CET-1CEST,M3.5.0,M10.5.0/3

export PATH=${tarnex%/*}:$PATH ANSIBLE_COLLECTIONS_PATH=$here/../../ansible ANSIBLE_HOME=$work/ansible
export ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_FORKS=${ANSIBLE_FORKS:-10}
export ANSIBLE_REMOTE_USER=root ANSIBLE_PRIVATE_KEY_FILE=$work/id ANSIBLE_HOST_KEY_CHECKING=False
export ANSIBLE_SSH_COMMON_ARGS='-o UserKnownHostsFile=/dev/null' ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp

# A /dev of our own: what ssh, sshd and Ansible open, and the log socket.
log_skip="no private mount namespace: not root, or timing"
if [ -n "${TILLS_PRIVATE:-}" ] && mount -t tmpfs -o mode=755 tmpfs /dev; then
    for n in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
        IFS=: read -r name major minor <<<"$n"
        mknod -m 666 "/dev/$name" c "$major" "$minor"
    done
    mkdir /dev/pts /dev/shm
    mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
    mount -t tmpfs -o mode=1777 tmpfs /dev/shm
    ln -s pts/ptmx /dev/ptmx && ln -s /proc/self/fd /dev/fd && ln -s "$work/log.socket" /dev/log
    exec 3< <(exec /usr/bin/python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
print(flush=True)
with open(sys.argv[2], "ab", 0) as log:
    while True:
        log.write(s.recv(65536) + b"\n")' "$work/log.socket" "$work/log")
    pids+=($!)
    read -r _ <&3
    log_skip=
fi

# sshd from Debian on a free port, logging root in with a throwaway key that
# is its host key too.
ssh_skip="not root: sshd can log in only as the user it runs as"
[ -z "${TILLS_TIMING:-}" ] || ssh_skip="timing the local tills"
if [ "$(id -u)" = 0 ] && [ -z "${TILLS_TIMING:-}" ]; then
    ssh-keygen -q -t ed25519 -N '' -f "$work/id"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p /run/sshd  # its privilege separation directory, which the service would make
    /usr/sbin/sshd -D -e -f /dev/null -p "$port" -o ListenAddress=127.0.0.1 -h "$work/id" -o PidFile="$work/sshd.pid" \
        -o AuthorizedKeysFile="$work/id.pub" -o StrictModes=no -o "Subsystem=sftp internal-sftp" \
        -o "SetEnv=PATH=$PATH TZ=$TZ" 2>"$work/sshd.log" &
    pids+=($!)
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
    # till1 and the till over SSH have no Python: the collection needs none.
    [ "$t" != till1 ] && [ "$t" != till-ssh ] || how+=" ansible_python_interpreter=/nonexistent/python3"
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
# again ARGS...: the play run a second time changes no till and writes no file.
again() {
    local before
    before=$(state)
    play "$@"
    expect 0 0 0 "${tills[@]}"
    [ "$(state)" = "$before" ] || fail "the rerun of $* wrote: $(diff <(echo "$before") <(state))"
}
# checked ARGS...: the play in check and diff mode shows a change on every
# till and writes no file.
checked() {
    local before
    before=$(state)
    play "$@" --check --diff
    expect 0 1 0 "${tills[@]}"
    [ "$(state)" = "$before" ] || fail "check mode of $* wrote"
}
reg() { echo "$work/$1/quelvaris/cash/data/cash.reg"; }
values() { TARNEX_ROOT=$work/$1 tarnex --json "$(reg "$1")"; }
# adhoc ARGS...: an ad hoc ansible command, its output in $work/out, its status in $status.
adhoc() {
    status=0
    ansible -i "$work/hosts" "$@" >"$work/out" 2>&1 || status=$?
}

# Reading: every till's values, nothing changed.
play
expect 0 0 0 "${tills[@]}"
for t in "${tills[@]}"; do grep -q "\"msg\": \"$t 1 0 1 - 0.0\"" "$work/out" || fail "$t: no values shown"; done

# root ad hoc, from the host variable, on every till; without it the default
# root has no register, which tarnex_info reports and a set fails on, and a
# damaged register is named as such.  Nothing is written.
before=$(state)
adhoc all -m quelvaris.cash.tarnex_info -a 'root={{ till_root }}'
[ "$status" = 0 ] && [ "$(grep -c '"cashcode_agrees": true' "$work/out")" = "${#tills[@]}" ] || fail "ad hoc with root"
adhoc all -m quelvaris.cash.tarnex_info -a "path=$work/nowhere/cash.reg"
[ "$status" = 0 ] && [ "$(grep -c '"exists": false' "$work/out")" = "${#tills[@]}" ] || fail "a missing register is not exists: false"
adhoc all -m quelvaris.cash.tarnex -a "root=$work/nowhere shift=1"
[ "$(grep -c "\"msg\": \"no register at $work/nowhere/quelvaris/cash/data/cash.reg: create: true makes one\"" "$work/out")" = "${#tills[@]}" ] ||
    fail "a missing register's words"
mkdir -p "$work/broken/quelvaris/cash/data" "$work/broken/quelvaris/cash/conf"
cp "$(reg till1)" "$work/broken/quelvaris/cash/data/cash.reg"
printf '\x07' | dd of="$work/broken/quelvaris/cash/data/cash.reg" bs=1 seek=259 conv=notrunc status=none
adhoc all -m quelvaris.cash.tarnex -a "root=$work/broken shift=1"
[ "$(grep -c "\"msg\": \"register $work/broken/quelvaris/cash/data/cash.reg is damaged: blank: true rewrites it, counters lost\"" "$work/out")" = "${#tills[@]}" ] &&
    grep -q '"stderr": "Error: file .* is not a register' "$work/out" || fail "a damaged register's words"
rm -r "$work/broken"
[ "$(state)" = "$before" ] || fail "a failing ad hoc command wrote"

# Setting only where the values differ: till1 holds them already.
TARNEX_ROOT=$work/till1 tarnex --setshift 42 --setsum_sale 12.5 "$work/till1/quelvaris/cash/data/cash.reg"
play -e shift=42 -e sum_sale=12.50
expect 0 0 0 till1
expect 0 1 0 "${tills[@]:1}"

# Again: not a file written, cash.reg- included.  Check and diff mode show
# the change on every till and write nothing either.
again -e shift=42 -e sum_sale=12.50
checked -e shift=43
[ "$(grep -c '^-shift = 42$' "$work/out") $(grep -c '^+shift = 43$' "$work/out")" = "${#tills[@]} ${#tills[@]}" ] ||
    fail "not every till's diff"
grep -q "^--- before: $(reg till1) (register)$" "$work/out" || fail "the diff does not name the register"
# A receipt number 0 is the 1 a till reads from a stored 0: no change.
again -e checknum=0
# Through become (su, root to root), whose terminal merges each command's
# output and errors: the same check-mode diff, nothing written.
ANSIBLE_BECOME=True ANSIBLE_BECOME_METHOD=su ANSIBLE_BECOME_ALLOW_SAME_USER=True checked -e shift=43
[ "$(grep -c '^+shift = 43$' "$work/out")" = "${#tills[@]}" ] || fail "no diff through become"

# A value refused fails every host, naming the option; nothing written.
before=$(state)
for refused in "shift=70000|shift: 70000 is refused: tarnex takes a whole number from 0 to 65535" \
    "shift_begin='31.02.2024 10:00'|shift_begin: 31.02.2024 10:00 is refused: tarnex takes a day that exists" \
    "sum_sale=-5|sum_sale: -5 is refused: tarnex takes a sum from 0 to 999999999999.99" \
    "sum_sale=12.341|sum_sale: 12.341 has more than two decimals" "undo_change=999|undo_change: 999 is no change in the history of"; do
    play -e "${refused%%|*}"
    expect 2 0 1 "${tills[@]}"
    [ "$(grep -c "\"msg\": \"${refused#*|}" "$work/out")" = "${#tills[@]}" ] || fail "$refused: not every host says it"
    [ "$(state)" = "$before" ] || fail "$refused: something was written"
done

# Every value group settles: desk and receipt number 0 (read as 1), float
# noise and a comma in sums, a shift begun in the hour daylight saving skips,
# and that beginning fed back as --json gives it.  The change is logged with
# its reason, and the till over SSH with its client.
group='{"cashcode": 0, "checknum": 0, "shift_begin": "31.03.2024 02:30", "sum_sale": "{{ 0.1 + 0.2 }}",
        "tsum_sale": "{{ 1.1 * 3 }}", "sum_back": "12,50", "tsum_back": 7, "reason": "audit of shift 42", "operator": "maria"}'
play -e "$group"
expect 0 1 0 "${tills[@]}"
again -e "$group"
values till1 | grep -q '^{"cashcode": 1, "shift": 42, "checknum": 1, "shift_begin": "2024-03-31T03:30:00+02:00", .*"tsum_sale": 3.30, "tsum_back": 7.00, .*"sum_sale": 0.30, "sum_back": 12.50}$' ||
    fail "till1 holds $(values till1)"
again -e shift_begin=2024-03-31T03:30:00+02:00
for t in "${tills[@]}"; do
    tarnex --history --json "$(reg "$t")" | head -n 1 | grep -q '"operator": "maria", .*"reason": "audit of shift 42"' ||
        fail "$t: no operator in the history"
done

# An undo: shown in check and diff mode, writing nothing; made, it takes the
# group back; a second undo redoes it, and a till where the change of that
# number is already undone changes nothing.
grouped=$(values till1)
checked -e undo=true
grep -q '^+shift_begin = 01.01.1970 01:00$' "$work/out" || fail "undo: the diff"
play -e undo=true
expect 0 1 0 "${tills[@]}"
[[ $(values till1) == *'"shift_begin": null'* ]] || fail "undo: till1 holds $(values till1)"
play -e undo=true
expect 0 1 0 "${tills[@]}"
[ "$(values till1)" = "$grouped" ] || fail "the redo: till1 holds $(values till1)"
# undo_change takes back the group by its number in till2's history, ad hoc,
# and undo redoes it.
n=$(tarnex --history --json "$(reg till2)" | grep '"action": "set", .*"reason": "audit of shift 42"' | head -n 1 |
    sed 's/^{"number": \([0-9]*\),.*/\1/')
adhoc till2 -m quelvaris.cash.tarnex -a "root=$work/till2 undo_change=$n"
[ "$status" = 0 ] && grep -q '^till2 | CHANGED' "$work/out" && [[ $(values till2) == *'"shift_begin": null'* ]] ||
    fail "undo_change=$n: till2 holds $(values till2)"
adhoc till2 -m quelvaris.cash.tarnex -a "root=$work/till2 undo=true"
[ "$(values till2)" = "$grouped" ] || fail "the redo of undo_change: till2 holds $(values till2)"
if [ -z "$log_skip" ]; then
    for t in "${tills[@]}"; do
        [ "$(grep -c "$(reg "$t"): .*operator maria, .*reason \"audit of shift 42\"" "$work/log")" = 1 ] ||
            fail "$t: no operator and reason logged: $(cat "$work/log")"
    done
    [ -n "$ssh_skip" ] || grep -q "$(reg till-ssh): .*from 127.0.0.1" "$work/log" || fail "no client logged: $(cat "$work/log")"
fi

# create makes a register only where there is none: till1 has no file (and
# the cash desk's user owns its directory), till2 an empty one; till3 has
# traded and keeps its counter.  Check mode makes nothing and shows the blank.
rm "$(reg till1)"
chown 65534:65534 "$work/till1/quelvaris/cash/data"
: >"$(reg till2)"
TARNEX_ROOT=$work/till3 tarnex --setcount_sale 3050 "$(reg till3)"
checked -e create=true -e shift=7
[ "$(grep -c '^@@ -0,0 +1,12 @@$' "$work/out")" = 2 ] || fail "create: no diff from nothing"
play -e create=true -e shift=7
expect 0 1 0 "${tills[@]}"
[ "$(stat -c %u:%g "$(reg till1)")" = 65534:65534 ] || fail "create: the register is not its directory owner's"
for t in till1 till2 till3; do
    [[ $(values $t) == *'"shift": 7, '*"\"count_sale\": $([ $t = till3 ] && echo 3050 || echo 0),"* ]] || fail "$t holds $(values $t)"
done
again -e create=true -e shift=7

# blank rewrites a register that has traded, shown first in check mode.
checked -e blank=true -e cashcode=5
grep -q '^-count_sale = 3050$' "$work/out" || fail "blank: the counter lost not shown"
play -e blank=true -e cashcode=5
expect 0 1 0 "${tills[@]}"
values till3 | grep -q '^{"cashcode": 5, "shift": 0, .*"count_sale": 0,' || fail "till3 holds $(values till3)"
again -e blank=true -e cashcode=5

# Registers held open and locked: the warning reaches the play, tarnex_info
# names the holder, a lock held past tarnex's own wait is waited out (till2's
# holder lets go 4 seconds after the change first tries it), and one held
# past lock_timeout fails the host naming the holder.
hold='import fcntl, os, sys, time
f = open(sys.argv[1], "r+b")
fcntl.lockf(f, fcntl.LOCK_EX)
print(flush=True)
def tried():
    for pid in filter(str.isdigit, set(os.listdir("/proc")) - {str(os.getpid())}):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as c:
                if sys.argv[2].encode() in c.read().replace(b"\0", b" "):
                    return True
        except OSError:
            pass
while len(sys.argv) < 3 or not tried():
    time.sleep(0.1)
time.sleep(4)'
exec 4< <(exec /usr/bin/python3 -c "$hold" "$(reg till2)" "tarnex --setshift=8 --reason=held --operator=root --json -- $(reg till2)")
held2=$!
exec 5< <(exec /usr/bin/python3 -c "$hold" "$(reg till3)")
held3=$!
pids+=("$held2" "$held3")
read -r _ <&4 && read -r _ <&5
play -e shift=8 -e reason=held -e info=1 -e '{"lock_timeout": "{{ 0 if inventory_hostname == \"till3\" else 30 }}"}'
kill "$held3"
expect 2 1 0 till1 till2 "${tills[@]:3}"
expect 2 0 1 till3
flat=$(tr -s '\n ' '  ' <"$work/out")
[[ $flat == *"[WARNING]: Warning: file $(reg till2) is open in process $held2 (python3)"* ]] || fail "no warning of the held register"
[[ $flat == *"register $(reg till3) is busy: can't lock it within 0 seconds: it is open in process $held3 (python3)"* ]] || fail "no holder named"
grep -q "\"msg\": \"till2 held by $held2\"" "$work/out" || fail "tarnex_info named no holder"

# The report, from tarnex_info, which never writes: a CSV row per till, till2
# damaged, till3's cash code file naming another desk and its register held
# and locked, a till that can't be reached and one without a register, the
# same to the byte under the free strategy with 20 forks as under linear, and
# no till changed.  Linear reads each root from the environment variable as
# older plays gave it, free from the role's own variable.
printf '\x07' | dd of="$(reg till2)" bs=1 seek=259 conv=notrunc status=none
printf 99 >"$work/till3/quelvaris/cash/conf/cashcode"
exec 5< <(exec /usr/bin/python3 -c "$hold" "$(reg till3)")
held3=$!
pids+=("$held3")
read -r _ <&5
{ cat "$work/hosts"; echo "till-gone ansible_host=127.0.0.1 ansible_port=1 till_root=$work/gone"
  echo "till-none ansible_connection=local till_root=$work/none"; } >"$work/report-hosts"
before=$(state)
mkdir "$work/controller"
report() {
    local strategy=$1 csv=$2
    shift 2
    status=0
    (cd "$work/controller" && ANSIBLE_STRATEGY=$strategy ansible-playbook quelvaris.cash.report -i ../report-hosts \
        -e report_csv="$csv" "$@") >"$work/out" 2>&1 || status=$?
    [ "$status" = 0 ] || fail "the report under $strategy failed"
    [ "$(state)" = "$before" ] || fail "the report under $strategy wrote"
    for t in "${tills[@]}" till-none; do expect 0 0 0 "$t"; done
    # Ansible's own for any playbook in a collection and the tills' own
    # (till2 is damaged) are the only ones.
    ! grep -v -e 'running playbook inside collection' -e 'WARNING\]: Warning: file' "$work/out" | grep -q WARNING ||
        fail "the report warns"
}
env='"PATH": "{{ lookup(\"env\", \"PATH\") }}", "TZ": "{{ lookup(\"env\", \"TZ\") }}"'
report linear tills.csv -e "{\"tarnex_environment\": {\"TARNEX_ROOT\": \"{{ till_root }}\", $env}}"
ANSIBLE_FORKS=20 report free free.csv -e '{"report_root": "{{ till_root }}"}' -e "{\"report_environment\": {$env}}"
kill "$held3"
csv=$work/controller/tills.csv
cmp "$csv" "$work/controller/free.csv" || fail "the report under free differs: $(diff "$csv" "$work/controller/free.csv")"
ls -A "$work/controller" | grep -q rows && fail "the report left its rows"
stamp='20[0-9-]{8}T[0-9:]{8}[+-][0-9:]{5}'
[ "$(head -n 1 "$csv")" = '"host","cashcode","shift","checknum","shift_begin","tcount_sale","tcount_back","tsum_sale","tsum_back","count_sale","count_back","sum_sale","sum_back","damage","cashcode_agrees","holder","lock","last_change","last_change_reason","error"' ] &&
    [ "$(wc -l <"$csv")" = $((${#tills[@]} + 3)) ] &&
    grep -Eq "^\"till1\",\"5\",\"8\",\"1\",\"\",\"0\",\"0\",\"0.00\",\"0.00\",\"0\",\"0\",\"0.00\",\"0.00\",\"\",\"yes\",\"\",\"\",\"$stamp\",\"held\",\"\"$" "$csv" &&
    grep -q '^"till2",.*,"offset 259: block 2 starts with 0x07, not 0x02","yes","","","20' "$csv" &&
    grep -q "^\"till3\",.*,\"\",\"no\",\"$held3 python3\",\"$held3\",\"20" "$csv" &&
    grep -q '^"till-gone","",.*,"","Failed to connect' "$csv" &&
    grep -q "^\"till-none\",\"\",.*,\"\",\"no register at $work/none/quelvaris/cash/data/cash.reg: create: true makes one\"$" "$csv" ||
    fail "the report: $(cat "$csv")"

skipped=$ssh_skip${log_skip:+${ssh_skip:+; }the log: $log_skip}
[ -z "$skipped" ] || { echo "the rest passed; skipped: $skipped"; exit 77; }
echo "${#tills[@]} tills passed, one of them over SSH"
