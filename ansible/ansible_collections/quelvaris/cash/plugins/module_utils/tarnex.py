# -*- coding: utf-8 -*-
"""What the modules of quelvaris.cash share: where the till keeps its files,
and running the till's own tarnex, whose word on the register is final."""

from __future__ import annotations

import json
import os
import re
import subprocess
import time

# In the order of tarnex --print and --json.
KEYS = ('cashcode', 'shift', 'checknum', 'shift_begin', 'tcount_sale', 'tcount_back',
        'tsum_sale', 'tsum_back', 'count_sale', 'count_back', 'sum_sale', 'sum_back')
SUMS = ('tsum_sale', 'tsum_back', 'sum_sale', 'sum_back')

REGISTER = '/quelvaris/cash/data/cash.reg'
CASHCODE = '/quelvaris/cash/conf/cashcode'

REFUSED = re.compile(r"Error: bad value '(.*)' for --set(\w+)$")


def rooted(fixed):
    """A fixed path of the till under TARNEX_ROOT, as tarnex itself puts it."""
    root = os.environ.get('TARNEX_ROOT', '').rstrip('/')
    return root + fixed if root else fixed


def print_lines(values):
    """The values as tarnex --print shows them; nothing for no register."""
    if values is None:
        return ''
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


class Tarnex:
    """The till's tarnex on one register.  Each "Warning:" line it prints
    becomes one warning of the host, as printed, however often it comes."""

    def __init__(self, module, path):
        self.module = module
        self.binary = module.get_bin_path('tarnex', required=True)
        self.path = path or rooted(REGISTER)
        self.warned = set()

    def run(self, args, path=None):
        # "--" keeps a path that begins with a dash a file name.  Not
        # module.run_command: its pre-exec hook makes Python fork the whole
        # interpreter, five times the cost of this run of tarnex.
        try:
            done = subprocess.run([self.binary] + args + ['--', path or self.path], stdin=subprocess.DEVNULL,
                                  capture_output=True, encoding='utf-8', errors='surrogateescape')
        except OSError as e:
            self.module.fail_json(msg="can't run %s: %s" % (self.binary, e.strerror))
        rc, out, err = done.returncode, done.stdout, done.stderr
        for line in err.splitlines():
            if line.startswith('Warning: ') and line not in self.warned:
                self.warned.add(line)
                self.module.warn(line)
        return rc, out, err

    def fail(self, rc, err, given=None):
        """Fails the host with tarnex's own last line, or with the option
        and value of the task that tarnex refused."""
        lines = [line for line in err.splitlines() if line.strip()]
        last = lines[-1] if lines else 'tarnex ended with status %d' % rc
        refused = REFUSED.match(last)
        if refused:
            key = refused.group(2)
            value = given[key] if given and key in given else refused.group(1)
            self.module.fail_json(msg='%s: tarnex refuses the value %s' % (key, value), stderr=err, rc=rc)
        self.module.fail_json(msg=last, stderr=err, rc=rc)

    def json(self, args, path=None, statuses=(0,), given=None):
        """What tarnex ARGS --json prints, as an object."""
        rc, out, err = self.run(args + ['--json'], path)
        if rc not in statuses:
            self.fail(rc, err, given)
        return self.parse(out, rc, err, given)

    def parse(self, out, rc, err, given=None):
        try:
            return json.loads(out)
        except ValueError:
            if rc:
                self.fail(rc, err, given)
            self.module.fail_json(msg='tarnex printed no JSON: %s' % out[:200], stderr=err, rc=rc)

    def verify(self):
        """The values and the damage findings of the register: (values, []) or
        (None, findings), as tarnex --verify --json tells them."""
        report = self.json(['--verify'], statuses=(0, 1))
        damage = report.pop('damage', None)
        if damage is None:
            self.module.fail_json(msg='tarnex --verify --json gave no findings: %s' % json.dumps(report)[:200])
        return (report if not damage else None), damage
