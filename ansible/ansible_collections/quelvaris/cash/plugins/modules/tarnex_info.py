#!/usr/bin/python
# -*- coding: utf-8 -*-
"""Reports on the register of a cash desk without ever writing to it."""

from __future__ import annotations

DOCUMENTATION = r"""
module: tarnex_info
short_description: Report on the register file of a cash desk, never writing
version_added: "0.2.0"
description:
  - Reads a till's register file with C(tarnex --verify --json) and reports its twelve
    values, its damage, whether the cash code file agrees with it, whether a previous
    version is kept, when the last change was made and what it changed, and which
    process has the register open, so that a chain can be audited without a task
    that could change it. M(quelvaris.cash.tarnex) sets values.
  - Never writes anything and never takes a lock, so it is safe beside a trading cash desk.
  - Each C(Warning:) line C(tarnex) prints becomes a warning of the host, as printed.
  - The playbook C(quelvaris.cash.report) runs it on every till and writes one CSV table.
options:
  path:
    description:
      - The register file on the till.
      - When not given, C(quelvaris/cash/data/cash.reg) under the C(TARNEX_ROOT) of the
        task's environment, as tarnex finds it by itself; C(/quelvaris/cash/data/cash.reg)
        when C(TARNEX_ROOT) is empty or not set.
    type: path
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: It never writes, so it runs the same in check mode.
  diff_mode:
    support: none
  platform:
    platforms: posix
requirements:
  - tarnex on the till's PATH
  - Python 3.11 on the till
notes:
  - The cash code file read is C(quelvaris/cash/conf/cashcode) under C(TARNEX_ROOT), the
    one every save of C(tarnex) writes.
  - A healthy register costs one run of C(tarnex); a damaged one two.
  - The process that has the register open is found as C(tarnex) finds it, by a write
    lease taken and dropped at once; only when that is refused are the processes' open
    files looked through, for at most 0.2 seconds. As a user other than root, only that
    user's processes can be seen.
seealso:
  - module: quelvaris.cash.tarnex
author:
  - tarnex maintainers
"""

EXAMPLES = r"""
- name: Look at every till
  quelvaris.cash.tarnex_info:
  register: till

- name: Name the tills that need a technician
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }}: {{ till.damage | map(attribute='finding') | join('; ') }}"
  when: till.damage or not till.cashcode_agrees

- name: A till whose files live under another root
  quelvaris.cash.tarnex_info:
  environment:
    TARNEX_ROOT: /mnt/till
"""

RETURN = r"""
path:
  description:
    - The register file read. As for any module that returns a path, Ansible adds the
      file's C(owner), C(group), C(uid), C(gid), C(mode), C(size) and C(state), so that
      a register the cash desk's user can't write shows.
  returned: always
  type: str
  sample: /quelvaris/cash/data/cash.reg
register:
  description:
    - The twelve values, as C(tarnex --json) gives them (see M(quelvaris.cash.tarnex)),
      also when the register is damaged.
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
damage:
  description:
    - What C(tarnex --verify) finds wrong with the register, by byte offset; empty for a
      sound register.
  returned: success
  type: list
  elements: dict
  sample:
    - offset: 259
      finding: "block 2 starts with 0x07, not 0x02"
cashcode_file:
  description: What the cash code file holds, or null when there is none or it can't be read.
  returned: success
  type: str
  sample: "3"
cashcode_agrees:
  description: Whether the cash code file names the register's desk number, as C(tarnex) writes it.
  returned: success
  type: bool
  sample: true
previous_kept:
  description: Whether the version before the last change is kept beside the register, as its path with C(-) appended.
  returned: success
  type: bool
  sample: true
last_change:
  description:
    - The last change the trail records beside the register (its path with C(-.last)
      appended), or null when there is no record.
    - C(time) is when it was made, ISO 8601 local time with its UTC offset; C(fields) the
      values it changed, in the order of I(register).
  returned: success
  type: dict
  sample:
    time: "2024-03-13T08:31:07+03:00"
    fields: [shift, shift_begin]
holder:
  description:
    - The process that has the register open, or null when none has. C(pid) and C(name)
      are null when the register is open elsewhere but the process could not be named in time.
  returned: success
  type: dict
  sample:
    pid: 2107
    name: cashd
"""

import datetime
import errno
import fcntl
import os
import signal
import stat
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import CASHCODE, KEYS, Tarnex, rooted

# The record of the last change: these bytes, a 2-byte little-endian mask of
# the thirteen fields in file order, two 8-byte lengths, 50 bytes before and
# 50 after.
RECORD_MAGIC = b'tarnex last change 1\n'
RECORD_SIZE = len(RECORD_MAGIC) + 2 + 8 + 8 + 50 + 50
FILE_FIELDS = ('cashcode', 'shift', 'shift_begin', 'shift_begin', 'sum_sale', 'sum_back', 'count_sale',
               'count_back', 'checknum', 'tsum_sale', 'tsum_back', 'tcount_sale', 'tcount_back')
SCAN_SECONDS = 0.2


def read_small(path, size, follow=False):
    """A file's first bytes and its status; None when there is no such file.
    A name of tarnex's own is never followed when it is a link."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY | (0 if follow else os.O_NOFOLLOW)
    try:
        fd = os.open(path, flags)
    except OSError:
        return None, None
    try:
        st = os.fstat(fd)
        return (os.read(fd, size) if stat.S_ISREG(st.st_mode) else None), st
    finally:
        os.close(fd)


def last_change(path):
    record, st = read_small(path + '-.last', RECORD_SIZE + 1)
    if record is None or len(record) != RECORD_SIZE or not record.startswith(RECORD_MAGIC):
        return None
    mask = int.from_bytes(record[len(RECORD_MAGIC):len(RECORD_MAGIC) + 2], 'little')
    changed = set(name for bit, name in enumerate(FILE_FIELDS) if mask >> bit & 1)
    when = datetime.datetime.fromtimestamp(st.st_mtime).astimezone().isoformat(timespec='seconds')
    return dict(time=when, fields=[key for key in KEYS if key in changed])


def previous_kept(path):
    try:
        st = os.lstat(path + '-')
    except OSError:
        return False
    # tarnex never takes a second name of a file as its kept copy.
    return stat.S_ISREG(st.st_mode) and st.st_nlink == 1


def nobody_else_open(fd):
    """A write lease, taken and dropped at once, is granted only when no other
    descriptor is open on the file; None when leases can't tell.  A lease
    being broken signals its holder with SIGIO, ignored meanwhile."""
    saved = signal.signal(signal.SIGIO, signal.SIG_IGN)
    try:
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_WRLCK)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
        return True
    except OSError as e:
        return False if e.errno in (errno.EAGAIN, errno.EBUSY) else None
    finally:
        signal.signal(signal.SIGIO, saved)


def holder(path):
    """The process that has the register open: {pid, name}, both None when
    it is open but the bounded scan of /proc did not find by whom, or None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError:
        return None
    try:
        st = os.fstat(fd)
        alone = nobody_else_open(fd) if stat.S_ISREG(st.st_mode) else True
    finally:
        os.close(fd)
    if alone:
        return None
    unnamed = None if alone is None else dict(pid=None, name=None)
    deadline = time.monotonic() + SCAN_SECONDS
    me = str(os.getpid())
    with os.scandir('/proc') as processes:
        for p in processes:
            if time.monotonic() > deadline:
                return unnamed
            if not p.name.isdigit() or p.name == me:
                continue
            try:
                with os.scandir('/proc/%s/fd' % p.name) as fds:
                    found = any(same_file(d.path, st) for d in fds)
                if found:
                    with open('/proc/%s/comm' % p.name, encoding='utf-8', errors='backslashreplace') as comm:
                        return dict(pid=int(p.name), name=comm.read().rstrip('\n'))
            except OSError:
                continue  # gone, or another user's
    return unnamed


def same_file(link, st):
    try:
        other = os.stat(link)
    except OSError:
        return False
    return (other.st_dev, other.st_ino) == (st.st_dev, st.st_ino)


def main():
    module = AnsibleModule(argument_spec=dict(path=dict(type='path')), supports_check_mode=True)
    till = Tarnex(module, module.params['path'])
    values, damage = till.verify()
    if values is None:
        values = till.json([])
    code, _ = read_small(rooted(CASHCODE), 64, follow=True)
    code = None if code is None else code.decode('ascii', 'backslashreplace')
    module.exit_json(changed=False, path=till.path, register=values, damage=damage, cashcode_file=code,
                     cashcode_agrees=code == str(values['cashcode']), previous_kept=previous_kept(till.path),
                     last_change=last_change(till.path), holder=holder(till.path))


if __name__ == '__main__':
    main()
