#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""Reports on the register of a cash desk without ever writing to it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r"""
module: tarnex_info
short_description: Report on the register file of a cash desk, never writing
version_added: "0.1.0"
description:
  - Reads a till's register file with C(tarnex --verify --json) and reports its twelve
    values, its damage, whether the cash code file agrees with it, whether a previous
    version is kept, the last change of its history (when, what, why and by whom), and
    which process has the register open or locked, so that a chain can be audited
    without a task that could change it. M(quelvaris.cash.tarnex) sets values.
  - A register that is not there is a finding, not a failure; I(exists) is then false.
  - Never writes anything and never takes a lock, so it is safe beside a trading cash desk.
  - Each C(Warning:) line C(tarnex) prints becomes a warning of the host, as printed.
  - The playbook C(quelvaris.cash.report) runs it on every till and writes one CSV table.
options:
  path:
    description:
      - The register file on the till.
      - When not given, C(quelvaris/cash/data/cash.reg) under I(root).
    type: path
  root:
    description:
      - The directory under which the till keeps its files, as C(TARNEX_ROOT) tells C(tarnex);
        the default I(path) and the cash code file read are under it.
      - Set it per till as a host variable, for a whole play with C(module_defaults), or
        ad hoc with C(-a root=/mnt/till).
      - When not given, the C(TARNEX_ROOT) of the task's C(environment); C(/) when that is
        empty or not set.
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
  - a POSIX shell with C(mktemp), C(stat) and C(cat) on the till; no Python
notes:
  - The collection's action plugin of the same name does the task from the controller,
    sending one shell command over the connection as M(ansible.builtin.raw) does, so the
    till needs no Python. The module's own Python (3.6 or later, as measured) is the same work done
    on the till.
  - The cash code file read is C(quelvaris/cash/conf/cashcode) under I(root), the
    one every save of C(tarnex) writes.
  - A task costs one command over the connection.
  - The process that has the register open is found by looking through the processes'
    open files; a lock held on it by the kernel's list of locks. As a user other than
    root, only that user's processes can be seen.
seealso:
  - module: quelvaris.cash.tarnex
author:
  - tarnex authors (@quelvaris)
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
    root: /mnt/till
"""

RETURN = r"""
path:
  description:
    - The register file read. As for any module that returns a path, the file's C(owner),
      C(group), C(uid), C(gid), C(mode), C(size) and C(state) come beside it, so that a
      register the cash desk's user can't write shows; none of them when there is no file.
  returned: always
  type: str
  sample: /quelvaris/cash/data/cash.reg
exists:
  description:
    - "Whether there is a register at I(path). When false, I(register) is null, I(damage)
      empty, I(cashcode_agrees) null and I(msg) says C(no register at P: create: true makes
      one); I(cashcode_file), I(last_change), I(lock) and I(holder) are reported as ever."
  returned: success
  type: bool
  sample: true
register:
  description:
    - The twelve values, as C(tarnex --json) gives them (see M(quelvaris.cash.tarnex)),
      also when the register is damaged; null when there is none.
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
  description:
    - Whether the cash code file names the register's desk number, as C(tarnex) writes it;
      null when there is no register, or when C(tarnex) finds that I(path) is not the
      till's register.
  returned: success
  type: bool
  sample: true
previous_kept:
  description:
    - Whether a version before a change is kept beside the register, as its path with
      C(-) appended, as versions of C(tarnex) before its history kept it.
  returned: success
  type: bool
  sample: false
last_change:
  description:
    - The newest change of the register's history (C(tarnex --history)), or null when
      it records none.
    - C(time) is when it was made, ISO 8601 local time with its UTC offset; C(fields) the
      values it changed, in the order of I(register); C(number) what I(undo_change) of
      M(quelvaris.cash.tarnex) takes; C(action) C(set), C(create) or C(undo); C(made)
      false for a change a crash stopped before it landed.
  returned: success
  type: dict
  sample:
    number: 12
    time: "2024-03-13T08:31:07+03:00"
    action: set
    fields: [shift, shift_begin]
    reason: shift 42 opened from head office
    user: root
    operator: maria
    made: true
holder:
  description:
    - The process that has the register open, or null when none has. C(pid) and C(name)
      are null when the register is open elsewhere but the process could not be named in time.
  returned: success
  type: dict
  sample:
    pid: 2107
    name: cashd
lock:
  description:
    - The lock on the register at the time it was read (the cash desk or a C(tarnex) in the
      middle of a change), as the process that holds it, or null when none is held.
  returned: success
  type: dict
  sample:
    pid: 2107
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import INFO_OPTIONS, Failure, Till, info
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex_local import LocalRunner, check_python


def main():
    module = AnsibleModule(argument_spec=INFO_OPTIONS, supports_check_mode=True)
    check_python(module)
    params = module.params
    try:
        result = info(Till(LocalRunner(module), params['path'], params['root'], os.environ.get('TARNEX_ROOT')))
    except Failure as e:
        module.fail_json(msg=e.msg, **e.extra)
    # The file's status, as exit_json adds it for a returned path.
    for key in ('owner', 'group', 'uid', 'gid', 'mode', 'size', 'state'):
        result.pop(key, None)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
