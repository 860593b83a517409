#!/usr/bin/python
# -*- coding: utf-8 -*-
"""Reads and sets the register of a cash desk through the till's own tarnex."""

from __future__ import annotations

DOCUMENTATION = r"""
module: tarnex
short_description: Read and set the register file of a cash desk
version_added: "0.1.0"
description:
  - Reads the twelve values of a till's register file with C(tarnex --json) and
    sets those given, so that a play can read or change a whole chain of tills.
    For a report that never writes, see M(quelvaris.cash.tarnex_info).
  - Runs the C(tarnex) found on the till's C(PATH). It asks C(tarnex --dry-run --json)
    what the task would leave, and runs the change only when that differs from
    the values now, so a task whose values are already in place writes nothing
    and reports no change, and a task that succeeded reports no change when it
    runs again.
  - Values are compared as C(tarnex) shows them, never as the task typed them (a
    desk or receipt number 0 that the register reads as 1, a sum to the hundredth,
    the shift's beginning to the minute as the till's clock has it).
  - A value that C(tarnex) would refuse fails the host with a message naming the
    option, before anything is written.
  - Each C(Warning:) line C(tarnex) prints (a register open in another process,
    a damaged register, a previous version that could not be kept) becomes a
    warning of the host, as C(tarnex) printed it.
options:
  path:
    description:
      - The register file on the till.
      - When not given, C(quelvaris/cash/data/cash.reg) under the C(TARNEX_ROOT) of the
        task's environment, as tarnex finds it by itself; C(/quelvaris/cash/data/cash.reg)
        when C(TARNEX_ROOT) is empty or not set.
    type: path
  create:
    description:
      - Make a blank register when the file at I(path) is missing or empty (0 bytes), as
        C(tarnex --create), then set the values given. A file that holds anything is left
        as it is and only the values given are set; a register that holds data is
        never blanked (see I(blank)).
      - A missing file is made empty first, with mode 0666 less the umask, and, when the
        module runs as root, the owner and group of its directory, so that the cash
        desk's user can still write it. Its directory must exist.
      - In check mode nothing is made; the register returned and the diff show the blank
        register with the values given.
    type: bool
    default: false
  blank:
    description:
      - Rewrite the register as a blank one, as C(tarnex --create), before the values given
        are set. Every value the register holds, counters and sums of a till that has
        traded included, and every other byte of it become those of a blank register.
      - Like any other change it is made only when it would change something, that is when
        the values it would leave differ from those the register holds or the register is
        damaged, and check and diff modes show it.
    version_added: "0.2.0"
    type: bool
    default: false
  reason:
    description:
      - Why the change is made, for the trail. Passed as C(tarnex --reason), so that the
        line the change sends to the system log names it, as C(reason "TEXT") after the
        user, the terminal and, over SSH, C(from) and the controller's address
        (C(journalctl -t tarnex) shows them). A task that changes nothing logs nothing.
    version_added: "0.2.0"
    type: str
  lock_timeout:
    description:
      - Seconds to wait for the register while another process holds its lock (the cash
        desk closing a shift, a long save). C(tarnex) waits about 3 seconds each time it
        runs; the module runs it again until this time has passed since the first try,
        then fails the host naming the process that has the register open.
      - C(0) tries once.
    version_added: "0.2.0"
    type: int
    default: 30
  cashcode:
    description: The cash desk number, 0 to 65535. The register reads 0 as 1.
    type: int
  shift:
    description: The current shift number, 0 to 65535.
    type: int
  checknum:
    description: The current receipt number, 0 to 65535. The register reads 0 as 1.
    type: int
  shift_begin:
    description:
      - When the current shift began, in the till's local time, as C(DD.MM.YYYY hh:mm), as
        C(DD.MM.YYYY) for midnight, or as ISO 8601 C(YYYY-MM-DDThh:mm) with C(:00) seconds
        and a C(Z) or C(+hh:mm) offset allowed, the form I(register) returns. The day must
        exist.
      - A time the clock skips when daylight saving time begins is stored an hour later,
        as C(tarnex) stores it (C(31.03.2024 02:30) in Central Europe becomes 03:30), and
        the task still reports no change when it runs again.
    type: str
  tcount_sale:
    description: The current shift's sales counter, 0 to 65535.
    type: int
  tcount_back:
    description: The current shift's returns counter, 0 to 65535.
    type: int
  tsum_sale:
    description:
      - The current shift's sales sum, 0 to 999999999999.99, as a number or a string
        (C(12.50), C("12,50")).
      - A number within a millionth of a hundredth is that hundredth, so that float noise
        (C("{{ 0.1 + 0.2 }}")) never becomes money.
      - "A sum with more than two decimals fails the host before anything is written,
        with C(tsum_sale: 12.341 has more than two decimals) (the option, and the value
        as the task gave it)."
    type: raw
  tsum_back:
    description: The current shift's returns sum, as I(tsum_sale).
    type: raw
  count_sale:
    description: The sales counter, 0 to 65535.
    type: int
  count_back:
    description: The returns counter, 0 to 65535.
    type: int
  sum_sale:
    description: The sales sum, as I(tsum_sale).
    type: raw
  sum_back:
    description: The returns sum, as I(tsum_sale).
    type: raw
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Asks C(tarnex --dry-run) and writes nothing, a missing file included.
  diff_mode:
    support: full
    details: Shows the values before and after as the lines of C(tarnex --print).
  platform:
    platforms: posix
requirements:
  - tarnex on the till's PATH
  - Python 3.11 on the till
notes:
  - Give each till its own C(TARNEX_ROOT) with the C(environment) keyword when
    several registers live on one machine; the default I(path) follows it, and
    the cash code file is written under it.
  - When nothing changes a task costs one run of C(tarnex) to read, and one more
    with C(--dry-run) when values are given; neither takes a lock or writes
    anything. A change costs one run more.
seealso:
  - module: quelvaris.cash.tarnex_info
author:
  - tarnex maintainers
"""

EXAMPLES = r"""
- name: Read the register of every till
  quelvaris.cash.tarnex:
  register: till

- name: Show them
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }} desk {{ till.register.cashcode }} shift {{ till.register.shift }}"

- name: Open shift 42 at 08:30, wherever it is not open yet
  quelvaris.cash.tarnex:
    shift: 42
    shift_begin: "13.03.2024 08:30"
    tcount_sale: 0
    tcount_back: 0
    tsum_sale: 0
    tsum_back: 0
    reason: shift 42 opened from head office
    lock_timeout: 120

- name: Set up a new till; a till that has traded only gets its desk number
  quelvaris.cash.tarnex:
    create: true
    cashcode: "{{ desk }}"

- name: Start a till over from a blank register, counters and sums included
  quelvaris.cash.tarnex:
    blank: true
    cashcode: "{{ desk }}"
    reason: till moved to another store

- name: Put back the beginning of the shift as another task read it
  quelvaris.cash.tarnex:
    shift_begin: "{{ earlier.register.shift_begin }}"

- name: A till whose files live under another root
  quelvaris.cash.tarnex:
    sum_sale: "1520,50"
  environment:
    TARNEX_ROOT: /mnt/till
"""

RETURN = r"""
register:
  description:
    - The twelve values after the task, as C(tarnex --json) gives them; in check
      mode the values the task would leave.
    - C(shift_begin) is ISO 8601 local time with its UTC offset, or null when no
      shift has begun; given back as I(shift_begin) it sets the same moment.
  returned: success
  type: dict
  sample:
    cashcode: 3
    shift: 41
    checknum: 17
    shift_begin: "2024-03-13T08:30:00+03:00"
    tcount_sale: 12
    tcount_back: 1
    tsum_sale: 1520.5
    tsum_back: 99.9
    count_sale: 3050
    count_back: 27
    sum_sale: 250000.0
    sum_back: 1234.57
diff:
  description:
    - In diff mode, the values before and after as the lines of C(tarnex --print).
    - Before is empty when I(create) makes the register.
  returned: diff mode
  type: dict
  sample:
    before: "cashcode = 3\nshift = 41\n..."
    after: "cashcode = 3\nshift = 42\n..."
"""

import errno
import os
import re
import stat
import tempfile
import time
from decimal import Decimal, InvalidOperation

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import KEYS, SUMS, Tarnex, print_lines

# What tarnex takes as a sum, and what a float's text may look like.
DECIMAL = re.compile(r'(?=[.,]?[0-9])[0-9]*[.,]?[0-9]*(?:[eE][+-]?[0-9]+)?')
HUNDREDTH = Decimal('0.01')
NOISE = Decimal('0.000001')

LOCKED = re.compile(r"^Error: can't lock file (.*)$", re.M)
HOLDER = re.compile(r"^Warning: file .* is open in process (\d+) \((.*)\)$", re.M)


def option_type(key):
    if key in SUMS:
        return 'raw'
    return 'str' if key == 'shift_begin' else 'int'


def sum_text(module, key, value):
    """A sum as tarnex reads it, a hundredth, float noise taken away.  Text
    that is no plain number goes to tarnex as it is, for tarnex to refuse."""
    given = str(value).strip()
    if isinstance(value, bool) or not DECIMAL.fullmatch(given):
        return given
    try:
        number = Decimal(given.replace(',', '.'))
        cents = number.quantize(HUNDREDTH)
    except InvalidOperation:
        return given
    if abs(number - cents) > NOISE:
        module.fail_json(msg='%s: %s has more than two decimals' % (key, value))
    return format(cents, 'f')


def set_arguments(module):
    """The set options of the task; every sum is looked at before tarnex runs."""
    args = []
    for key in KEYS:
        value = module.params[key]
        if value is not None:
            args.append('--set%s=%s' % (key, sum_text(module, key, value) if key in SUMS else value))
    return args


def fresh_file(path):
    """'missing' or 'empty' when create may make a register there, else None:
    a file that holds anything, or whatever tarnex should speak for (a link
    to nothing, a file this user may not look at)."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None if os.path.lexists(path) else 'missing'
    except OSError:
        return None
    return 'empty' if stat.S_ISREG(st.st_mode) and st.st_size == 0 else None


def make_empty(module, path):
    """Makes the missing file, empty, as a register the cash desk of its
    directory's owner can write.  False when a file came there meanwhile."""
    directory, name = os.path.split(path)
    try:
        dir_fd = os.open(directory or '.', os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as e:
        module.fail_json(msg="can't create file %s: %s" % (path, e.strerror))
    try:
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666, dir_fd=dir_fd)
        try:
            if os.geteuid() == 0:
                owner = os.fstat(dir_fd)
                os.fchown(fd, owner.st_uid, owner.st_gid)
        finally:
            os.close(fd)
        # The name survives a power cut, as the register tarnex then writes does.
        os.fsync(dir_fd)
    except FileExistsError:
        return False
    except OSError as e:
        module.fail_json(msg="can't create file %s: %s" % (path, e.strerror))
    finally:
        os.close(dir_fd)
    return True


def dry_run_blank(module, till, changes, given):
    """What the changes leave in a register made where there is none yet."""
    fd, scratch = tempfile.mkstemp(dir=module.tmpdir, suffix='.reg')
    os.close(fd)
    try:
        return till.json(['--dry-run'] + changes, path=scratch, given=given)
    finally:
        os.unlink(scratch)


def change(module, till, changes, given):
    """Runs the change, again while another process holds the lock, until
    lock_timeout seconds have passed since the first try."""
    reason = module.params['reason']
    args = changes + (['--reason=' + reason] if reason else []) + ['--json']
    timeout = max(0, module.params['lock_timeout'])
    deadline = time.monotonic() + timeout
    while True:
        rc, out, err = till.run(args)
        locked = LOCKED.search(err) if rc else None
        if not locked or time.monotonic() >= deadline:
            break
        time.sleep(0.2)
    if locked:
        holders = HOLDER.findall(err)
        who = ('it is open in process %s (%s)' % holders[-1] if holders else
               'no process was named as having it open')
        module.fail_json(msg="can't lock file %s within %d seconds: %s" % (locked.group(1), timeout, who),
                         stderr=err, rc=rc)
    if rc:
        till.fail(rc, err, given)
    return till.parse(out, rc, err)


def main():
    arguments = dict(path=dict(type='path'),
                     create=dict(type='bool', default=False),
                     blank=dict(type='bool', default=False),
                     reason=dict(type='str'),
                     lock_timeout=dict(type='int', default=30))
    arguments.update((key, dict(type=option_type(key))) for key in KEYS)
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    params = module.params
    sets = set_arguments(module)
    given = dict((key, params[key]) for key in KEYS if params[key] is not None)
    till = Tarnex(module, params['path'])

    fresh = fresh_file(till.path) if params['create'] else None
    if fresh == 'missing':
        if module.check_mode and not os.path.isdir(os.path.dirname(till.path) or '.'):
            module.fail_json(msg="can't create file %s: %s" % (till.path, os.strerror(errno.ENOENT)))
        after = dry_run_blank(module, till, ['--create'] + sets, given)
        if not module.check_mode and not make_empty(module, till.path):
            fresh = fresh_file(till.path)  # made meanwhile: it may hold data already
    if fresh == 'empty':
        after = till.json(['--dry-run', '--create'] + sets, given=given)
    if fresh:
        # Nothing to lose: the register is made, and that is a change.
        before, changes, changed = None, ['--create'] + sets, True
    else:
        # Blanking also mends a damaged register whose values look blank.
        before, damage = till.verify() if params['blank'] else (None, [])
        if before is None:
            before = till.json([])
        changes = (['--create'] if params['blank'] else []) + sets
        after = till.json(['--dry-run'] + changes, given=given) if changes else before
        changed = after != before or bool(damage)

    if changed and not module.check_mode:
        after = change(module, till, changes, given)

    result = dict(changed=changed, register=after)
    if module._diff:
        result['diff'] = dict(before=print_lines(before), after=print_lines(after))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
