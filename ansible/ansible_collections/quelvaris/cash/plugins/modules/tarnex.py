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
  - Runs the C(tarnex) found on the till's C(PATH). It asks C(tarnex --dry-run --json)
    what the task would leave, and runs the change only when that differs from
    the values now, so a task whose values are already in place writes nothing
    and reports no change.
  - A value that C(tarnex) would refuse fails the host with a message naming the
    option, before anything is written.
  - Values are compared as C(tarnex --print) shows them, a sum with two decimals
    and the shift's beginning to the minute.
options:
  path:
    description: The register file on the till.
    type: path
    default: /quelvaris/cash/data/cash.reg
  create:
    description:
      - Rewrite the register as a blank one before the values are set, as
        C(tarnex --create). The file must exist.
      - Like any other change it is made only when the values it leaves differ
        from the values now.
    type: bool
    default: false
  cashcode:
    description: The cash desk number, 0 to 65535.
    type: int
  shift:
    description: The current shift number, 0 to 65535.
    type: int
  checknum:
    description: The current receipt number, 0 to 65535.
    type: int
  shift_begin:
    description:
      - When the current shift began, in the till's local time, as
        C(DD.MM.YYYY hh:mm) or C(DD.MM.YYYY) for midnight. The day must exist.
    type: str
  tcount_sale:
    description: The current shift's sales counter, 0 to 65535.
    type: int
  tcount_back:
    description: The current shift's returns counter, 0 to 65535.
    type: int
  tsum_sale:
    description:
      - The current shift's sales sum, 0 to 999999999999.99. More than two
        decimals round up to the next hundredth, as the register stores it.
    type: float
  tsum_back:
    description: The current shift's returns sum, as C(tsum_sale).
    type: float
  count_sale:
    description: The sales counter, 0 to 65535.
    type: int
  count_back:
    description: The returns counter, 0 to 65535.
    type: int
  sum_sale:
    description: The sales sum, as C(tsum_sale).
    type: float
  sum_back:
    description: The returns sum, as C(tsum_sale).
    type: float
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: Asks C(tarnex --dry-run) and writes nothing.
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
    several registers live on one machine; the cash code file is written
    under it.
  - When nothing changes a task costs two runs of C(tarnex), neither of which
    takes a lock or writes anything.
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

- name: A register kept elsewhere, with its own cash code file
  quelvaris.cash.tarnex:
    path: /mnt/till/quelvaris/cash/data/cash.reg
    sum_sale: 1520.50
  environment:
    TARNEX_ROOT: /mnt/till
"""

RETURN = r"""
register:
  description:
    - The twelve values after the task, as C(tarnex --json) gives them; in check
      mode the values the task would leave.
    - C(shift_begin) is ISO 8601 local time with its UTC offset, or null when no
      shift has begun.
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
  description: In diff mode, the values before and after as the lines of C(tarnex --print).
  returned: diff mode
  type: dict
  sample:
    before: "cashcode = 3\nshift = 41\n..."
    after: "cashcode = 3\nshift = 42\n..."
"""

import json
import re
import time
from decimal import Decimal

from ansible.module_utils.basic import AnsibleModule

# In the order of tarnex --print and --json.
KEYS = ('cashcode', 'shift', 'checknum', 'shift_begin', 'tcount_sale', 'tcount_back',
        'tsum_sale', 'tsum_back', 'count_sale', 'count_back', 'sum_sale', 'sum_back')
SUMS = ('tsum_sale', 'tsum_back', 'sum_sale', 'sum_back')


def option_type(key):
    if key in SUMS:
        return 'float'
    return 'str' if key == 'shift_begin' else 'int'


def value_text(key, value):
    """The text tarnex reads: a sum in plain decimals, never with an exponent."""
    if key in SUMS:
        return format(Decimal(repr(float(value))), 'f')
    return str(value)


def set_arguments(params):
    args = ['--create'] if params['create'] else []
    for key in KEYS:
        if params[key] is not None:
            args.append('--set%s=%s' % (key, value_text(key, params[key])))
    return args


def print_lines(values):
    """The values as tarnex --print shows them."""
    lines = []
    for key in KEYS:
        value = values[key]
        if key in SUMS:
            text = '%.2f' % value
        elif key == 'shift_begin':
            # Not set shows as the moment 0 in local time, as --print does.
            text = (time.strftime('%d.%m.%Y %H:%M', time.localtime(0)) if value is None else
                    '%s.%s.%s %s:%s' % (value[8:10], value[5:7], value[0:4], value[11:13], value[14:16]))
        else:
            text = str(value)
        lines.append('%s = %s\n' % (key, text))
    return ''.join(lines)


def main():
    arguments = dict(path=dict(type='path', default='/quelvaris/cash/data/cash.reg'),
                     create=dict(type='bool', default=False))
    arguments.update((key, dict(type=option_type(key))) for key in KEYS)
    module = AnsibleModule(argument_spec=arguments, supports_check_mode=True)
    binary = module.get_bin_path('tarnex', required=True)
    path = module.params['path']

    def tarnex(args):
        # "--" keeps a path that begins with a dash a file name.
        rc, out, err = module.run_command([binary] + args + ['--json', '--', path])
        if rc != 0:
            last = err.strip().splitlines()[-1] if err.strip() else 'tarnex ended with status %d' % rc
            refused = re.match(r"Error: bad value '(.*)' for --set(\w+)$", last)
            if refused:
                module.fail_json(msg='%s: tarnex refuses the value %s' % (refused.group(2), refused.group(1)),
                                 stderr=err, rc=rc)
            module.fail_json(msg=last, stderr=err, rc=rc)
        try:
            return json.loads(out)
        except ValueError:
            module.fail_json(msg='tarnex printed no JSON: %s' % out[:200], rc=rc)

    changes = set_arguments(module.params)
    before = tarnex([])
    after = tarnex(['--dry-run'] + changes) if changes else before
    changed = after != before
    if changed and not module.check_mode:
        after = tarnex(changes)

    result = dict(changed=changed, register=after)
    if module._diff:
        result['diff'] = dict(before=print_lines(before), after=print_lines(after))
    module.exit_json(**result)


if __name__ == '__main__':
    main()
