#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""Reads and sets the register of a cash desk through the till's own tarnex."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

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
  - "A value that C(tarnex) would refuse fails the host before anything is written,
    with a message naming the option and what it takes (C(shift: 70000 is refused:
    tarnex takes a whole number from 0 to 65535)); a damaged register with C(register
    P is damaged: blank: true rewrites it, counters lost), a missing one with C(no
    register at P: create: true makes one). C(tarnex)'s own line is in I(stderr)."
  - Each C(Warning:) line C(tarnex) prints (a register open in another process,
    a damaged register, a previous version that could not be kept) becomes a
    warning of the host, as C(tarnex) printed it.
options:
  path:
    description:
      - The register file on the till.
      - When not given, C(quelvaris/cash/data/cash.reg) under I(root).
    type: path
  root:
    description:
      - The directory under which the till keeps its files, as C(TARNEX_ROOT) tells C(tarnex);
        the default I(path) and the cash code file that every change writes are under it.
      - Set it per till as a host variable, for a whole play with C(module_defaults), or
        ad hoc with C(-a root=/mnt/till).
      - When not given, the C(TARNEX_ROOT) of the task's C(environment); C(/) when that is
        empty or not set.
    type: path
    version_added: "0.1.0"
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
    version_added: "0.1.0"
    type: bool
    default: false
  reason:
    description:
      - Why the change is made, for the trail. Passed as C(tarnex --reason), so that the
        line the change sends to the system log and the register's history
        (C(tarnex --history)) name it. A task that changes nothing records nothing.
    version_added: "0.1.0"
    type: str
  operator:
    description:
      - Who made the change, for the trail, passed as C(tarnex --operator) on every change;
        the log line and the history then name the operator beside the till's own user
        (C(root) over SSH) and the controller's address.
      - When not given, the user who runs C(ansible-playbook) on the controller.
    version_added: "0.1.0"
    type: str
  undo:
    description:
      - Reverse the newest change of the register that landed, as C(tarnex --undo); a
        second undo redoes it. Takes no values, I(create) or I(blank).
      - Like any change it is made only when it changes something, and check and diff
        modes show what it would leave. An undo that C(tarnex) refuses (a field changed
        since) fails the host before anything is written.
    version_added: "0.1.0"
    type: bool
    default: false
  undo_change:
    description:
      - Reverse the change of this number (as C(tarnex --history) and I(last_change) of
        M(quelvaris.cash.tarnex_info) number them) as a new change, as C(tarnex --undo=N).
        As I(undo) otherwise.
    version_added: "0.1.0"
    type: int
  lock_timeout:
    description:
      - Seconds to wait for the register while another process holds its lock (the cash
        desk closing a shift, a long save). C(tarnex) waits about 3 seconds each time it
        runs; the module runs it again until this time has passed since the first try,
        then fails the host naming the process that has the register open.
      - C(0) tries once.
    version_added: "0.1.0"
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
    details: Shows the values before and after as the lines of C(tarnex --print), headed by the register's path on the till.
  platform:
    platforms: posix
requirements:
  - tarnex on the till's PATH
  - a POSIX shell with C(mktemp), C(stat) and C(cat) on the till; no Python
notes:
  - The collection's action plugin of the same name does the task from the
    controller, sending one shell command over the connection as
    M(ansible.builtin.raw) does, so the till needs no Python. The module's
    own Python (3.6 or later, as measured) is the same work done on the till.
  - Give each till its own I(root) when several registers live on one machine;
    the default I(path) follows it, and the cash code file is written under it.
  - When nothing changes a task costs one command over the connection, which
    runs C(tarnex) to read, and with C(--dry-run) when values are given; neither
    takes a lock or writes anything. A change costs one command more.
seealso:
  - module: quelvaris.cash.tarnex_info
author:
  - tarnex authors (@quelvaris)
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
    root: /mnt/till

- name: Take back the change numbered 17 in the register's history
  quelvaris.cash.tarnex:
    undo_change: 17
    reason: shift 42 was opened on the wrong till
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
    - In diff mode, the values before and after as the lines of C(tarnex --print),
      each headed by the register's path on the till.
    - Before is empty when I(create) makes the register.
  returned: diff mode
  type: dict
  sample:
    before_header: /quelvaris/cash/data/cash.reg (register)
    after_header: /quelvaris/cash/data/cash.reg (register)
    before: "cashcode = 3\nshift = 41\n..."
    after: "cashcode = 3\nshift = 42\n..."
"""

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import SET_OPTIONS, Failure, Till, set_task
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex_local import LocalRunner, check_python


def main():
    module = AnsibleModule(argument_spec=SET_OPTIONS, supports_check_mode=True,
                           mutually_exclusive=[('undo', 'undo_change')])
    check_python(module)
    params = module.params
    try:
        till = Till(LocalRunner(module), params['path'], params['root'], os.environ.get('TARNEX_ROOT'))
        module.exit_json(**set_task(till, params, module.check_mode, module._diff))
    except Failure as e:
        module.fail_json(msg=e.msg, **e.extra)


if __name__ == '__main__':
    main()
