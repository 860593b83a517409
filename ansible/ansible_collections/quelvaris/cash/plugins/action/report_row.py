# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""One till's row of the report, and the table once every till of the play
has its row, written on the controller whatever the strategy and forks.

Each host writes its own row as a file of its own beside the table, then
looks whether every host of the play has one; whichever host sees them all
assembles the table and puts it in place in one rename.  Two hosts that
both see them all write the same bytes, so no order of hosts and no number
of forks changes the table, and no host waits for another."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import tempfile

from ansible.errors import AnsibleAction
from ansible.plugins.action import ActionBase
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import KEYS, SUMS

HEADER = (['host'] + list(KEYS) +
          ['damage', 'cashcode_agrees', 'holder', 'lock', 'last_change', 'last_change_reason', 'error'])
OPTIONS = dict(csv=dict(type='str', required=True), host=dict(type='str', required=True),
               till=dict(type='raw'), hosts=dict(type='list', elements='str', required=True))


def cell(value):
    return '' if value is None else str(value)


def row(host, till):
    """The row of one till from what tarnex_info returned, or why it has none."""
    till = till if isinstance(till, dict) else {}
    values = till.get('register')
    if till.get('failed') or till.get('unreachable') or not isinstance(values, dict):
        error = till.get('msg') or ('not read' if not till.get('skipped') else 'skipped')
        return [host] + [''] * (len(HEADER) - 2) + [cell(error)]
    out = [host]
    for key in KEYS:
        value = values.get(key)
        out.append('' if value is None else '%.2f' % value if key in SUMS else cell(value))
    damage = '; '.join('offset %s: %s' % (d.get('offset'), d.get('finding')) for d in till.get('damage') or [])
    agrees = till.get('cashcode_agrees')
    holder = till.get('holder') or {}
    lock = till.get('lock') or {}
    last = till.get('last_change') or {}
    out += [damage, '' if agrees is None else 'yes' if agrees else 'no',
            ' '.join(cell(holder.get(k)) for k in ('pid', 'name') if holder.get(k) is not None) if holder else '',
            cell(lock.get('pid')), cell(last.get('time')), cell(last.get('reason')), '']
    return out


def csv_line(fields):
    # Every field quoted, a quote in it doubled.
    return '"' + '","'.join(f.replace('"', '""') for f in fields) + '"\n'


def run_id():
    """The play's run: the controller process every worker was forked from,
    and when it started, so that a table's rows never meet an older run's."""
    parent = os.getppid()
    try:
        with open('/proc/%d/stat' % parent) as stat:
            return '%d-%s' % (parent, stat.read().rsplit(')', 1)[1].split()[19])
    except (OSError, IndexError):
        return str(parent)


def put(path, text):
    """Writes text to path in one rename, so that a reader sees all or nothing."""
    fd, scratch = tempfile.mkstemp(dir=os.path.dirname(path) or '.', prefix='.' + os.path.basename(path) + '.')
    try:
        with os.fdopen(fd, 'w', encoding='utf-8') as out:
            out.write(text)
        os.chmod(scratch, 0o644)
        os.rename(scratch, path)
    except BaseException:
        os.unlink(scratch)
        raise


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _supports_check_mode = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        try:
            args = self.validate_argument_spec(OPTIONS)[1]
        except AnsibleAction as e:
            result.update(e.result)
            return result
        table = os.path.realpath(os.path.expanduser(args['csv']))
        parts = os.path.join(os.path.dirname(table), '.%s.rows-%s' % (os.path.basename(table), run_id()))
        try:
            os.makedirs(parts, exist_ok=True)
            put(os.path.join(parts, args['host']), json.dumps(row(args['host'], args['till'])))
            rows = []
            for host in sorted(set(args['hosts'])):
                with open(os.path.join(parts, host), encoding='utf-8') as part:
                    rows.append(json.load(part))
        except FileNotFoundError:
            # A host without its row yet, or rows another host has assembled
            # and taken away: that host writes the table.
            return dict(result, changed=False, csv=table)
        except (OSError, ValueError) as e:
            return dict(result, failed=True, msg="can't write the report %s: %s" % (table, e))
        put(table, ''.join(csv_line(r) for r in [HEADER] + rows))
        for host in set(args['hosts']):
            try:
                os.unlink(os.path.join(parts, host))
            except FileNotFoundError:
                pass
        try:
            os.rmdir(parts)
        except OSError:
            pass
        # The table is the controller's; no till was changed.
        return dict(result, changed=False, csv=table)
