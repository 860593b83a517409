# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""What the modules and action plugins of quelvaris.cash share: the options,
the words for a till's states, and the work of a task, over a runner that
either runs the till's tarnex itself (the modules, Python on the till) or
sends one shell command over the connection (the action plugins, no Python
on the till).  tarnex's word on the register is final; this only decides
which runs to ask for and says what they found in the collection's terms.

Kept to what Python 3.6 parses and runs, so that a module on an older till
Python reaches its check of the floor instead of failing on a syntax error."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import re
import time
from decimal import Decimal, InvalidOperation

# The oldest Python on the till that the modules run on, as measured (3.6.15,
# 3.7.16, 3.8.18 and 3.11 ran both; nothing older was at hand to try).
PYTHON_FLOOR = (3, 6)

# In the order of tarnex --print and --json.
KEYS = ('cashcode', 'shift', 'checknum', 'shift_begin', 'tcount_sale', 'tcount_back',
        'tsum_sale', 'tsum_back', 'count_sale', 'count_back', 'sum_sale', 'sum_back')
SUMS = ('tsum_sale', 'tsum_back', 'sum_sale', 'sum_back')

REGISTER = '/quelvaris/cash/data/cash.reg'

# What tarnex takes, as the failure for a refused value says it.
RANGES = dict((key, 'a sum from 0 to 999999999999.99' if key in SUMS else
               'a day that exists, as DD.MM.YYYY hh:mm or YYYY-MM-DDThh:mm' if key == 'shift_begin' else
               'a whole number from 0 to 65535') for key in KEYS)

# The same state has the same words in both modules and the report.
DAMAGED = 'register %s is damaged: blank: true rewrites it, counters lost'
MISSING = 'no register at %s: create: true makes one'

REFUSED = re.compile(r"^Error: bad value '(.*)' for --set(\w+)$")
UNDO_REFUSED = re.compile(r"^Error: bad value '(.*)' for --undo$")
NOT_REGISTER = re.compile(r"^Error: file (.*) is not a register")
NO_STAT = re.compile(r"^Error: can't stat file (.*)$")
NO_UNDO = re.compile(r"^Error: file (.*) has no change to undo$")
NO_CHANGE = re.compile(r"^Error: file (.*) has no change (\d+) to undo$")
CHANGED_SINCE = re.compile(r"^Error: field (\w+) of file (.*) changed since (.*)$")
LOCKED = re.compile(r"^Error: can't lock file (.*)$", re.M)
HOLDER = re.compile(r"^Warning: file .* is open in process (\d+) \((.*)\)$", re.M)
UNKNOWN_OPTION = re.compile(r"unrecognized option '(--[\w-]+)")

# What a sum may look like as text, and what is money in it.
DECIMAL = re.compile(r'(?=[.,]?[0-9])[0-9]*[.,]?[0-9]*(?:[eE][+-]?[0-9]+)?')
HUNDREDTH = Decimal('0.01')
NOISE = Decimal('0.000001')


def option_type(key):
    if key in SUMS:
        return 'raw'
    return 'str' if key == 'shift_begin' else 'int'


# The options, one table for the module and its action plugin, so that both
# take and convert a task's arguments alike.
COMMON_OPTIONS = dict(path=dict(type='path'), root=dict(type='path'))
SET_OPTIONS = dict(COMMON_OPTIONS,
                   create=dict(type='bool', default=False),
                   blank=dict(type='bool', default=False),
                   undo=dict(type='bool', default=False),
                   undo_change=dict(type='int'),
                   reason=dict(type='str'),
                   operator=dict(type='str'),
                   lock_timeout=dict(type='int', default=30))
SET_OPTIONS.update((key, dict(type=option_type(key))) for key in KEYS)
INFO_OPTIONS = dict(COMMON_OPTIONS)


class Failure(Exception):
    """The host fails with msg; extra goes into the result beside it."""

    def __init__(self, msg, **extra):
        Exception.__init__(self, msg)
        self.msg = msg
        self.extra = extra


def rooted(root, fixed):
    """A fixed path of the till under root, as tarnex puts it under TARNEX_ROOT."""
    root = (root or '').rstrip('/')
    return root + fixed if root else fixed


def in_words(err, path, given=None, rc=1):
    """The failure tarnex's last line names, in the collection's words."""
    lines = [line for line in err.splitlines() if line.strip()]
    last = lines[-1] if lines else 'tarnex ended with status %d' % rc
    refused = REFUSED.match(last)
    if refused:
        key = refused.group(2)
        value = given[key] if given and key in given else refused.group(1)
        return '%s: %s is refused: tarnex takes %s' % (key, value, RANGES.get(key, 'another value'))
    undo = UNDO_REFUSED.match(last) or NO_CHANGE.match(last)
    if undo:
        return 'undo_change: %s is no change in the history of %s' % (undo.group(undo.lastindex), path)
    if NOT_REGISTER.match(last):
        return DAMAGED % path
    if NO_STAT.match(last):
        return MISSING % path
    if NO_UNDO.match(last):
        return 'nothing to undo in %s: its history holds no change that landed' % path
    since = CHANGED_SINCE.match(last)
    if since:
        return "%s of %s can't be undone: %s changed since" % (since.group(3), path, since.group(1))
    unknown = UNKNOWN_OPTION.search(err)
    if unknown:
        return 'the tarnex on the till is too old: it has no %s' % unknown.group(1)
    return last[len('Error: '):] if last.startswith('Error: ') else last


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


def sum_text(key, value):
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
        raise Failure('%s: %s has more than two decimals' % (key, value))
    return format(cents, 'f')


class Till:
    """One register on one till, and the runs of tarnex that a task asks for.

    The runner does the till's side: runner.steps(list) does every step of the
    list (as one command over the connection, for the action plugins) and
    gives each one's outcome.  A step is a tuple:
      ('tarnex', args, path, env)   -> (rc, out, err); env is TARNEX_ROOT's value or None
      ('first', args, path, env)    -> the same, with only the first line of out
      ('scratch', args, env)        -> tarnex ARGS on an empty file of its own, then gone
      ('probe', path)               -> 'missing', 'empty' or 'present'
      ('stat', path)                -> dict(owner, group, uid, gid, mode, size, state) or None
      ('kept', path)                -> whether path is a regular file of one name
      ('lock', path)                -> the pid holding a lock on the file, or None
      ('holder', path)              -> dict(pid, name) of a process with it open, or None
      ('mkempty', path)             -> True when made empty, False when a file was there
      ('differs', args, path, env, i, j) -> tarnex ARGS as 'tarnex' when steps i and j
                                       succeeded and printed different output, else None
    runner.warn(line) makes a warning of the host."""

    def __init__(self, runner, path, root, env_root):
        self.runner = runner
        # The root option stands for TARNEX_ROOT; without it, the task's own.
        self.env = root if root is not None else None
        self.root = root if root is not None else env_root
        self.path = path or rooted(self.root, REGISTER)
        self.warned = set()

    def steps(self, steps):
        return self.runner.steps(steps)

    def tarnex(self, args, path=None, kind='tarnex'):
        # "--" keeps a path that begins with a dash a file name.
        return (kind, list(args), path or self.path, self.env)

    def warnings(self, err):
        """Each "Warning:" line becomes one warning of the host, as printed,
        however often it comes."""
        for line in err.splitlines():
            if line.startswith('Warning: ') and line not in self.warned:
                self.warned.add(line)
                self.runner.warn(line)

    def outcome(self, done, given=None, statuses=(0,)):
        """What a run of tarnex --json printed, as an object."""
        rc, out, err = done
        self.warnings(err)
        if rc not in statuses:
            raise Failure(in_words(err, self.path, given, rc), stderr=err, rc=rc)
        try:
            return json.loads(out)
        except ValueError:
            if rc:
                raise Failure(in_words(err, self.path, given, rc), stderr=err, rc=rc)
            raise Failure('tarnex printed no JSON: %s' % out[:200], stderr=err, rc=rc)

    def json(self, args, given=None):
        return self.outcome(self.steps([self.tarnex(args + ['--json'])])[0], given)


def split_verify(report):
    """The values and the damage findings of tarnex --verify --json:
    (values, findings, cashcode_file); values None when damaged."""
    damage = report.pop('damage', None)
    if damage is None:
        raise Failure('tarnex --verify --json gave no findings: %s' % json.dumps(report)[:200])
    code = report.pop('cashcode_file', None)
    # Whatever else it reports (an interrupted change) is not a value.
    values = dict((key, report[key]) for key in KEYS if key in report)
    return (values if not damage else None), damage, code


def history_entry(done):
    """The newest change tarnex --history --json names, as last_change."""
    rc, out, err = done
    line = out.split('\n', 1)[0].strip()
    if rc and not line or not line:
        return None
    try:
        entry = json.loads(line)
    except ValueError:
        return None
    changes = entry.get('changes') or []
    names = set(change.get('name') for change in changes)
    return dict(number=entry.get('number'), time=entry.get('time'), action=entry.get('action'),
                reason=entry.get('reason'), user=entry.get('user'), operator=entry.get('operator'),
                made=entry.get('made'), fields=[key for key in KEYS if key in names])


def info(till):
    """What tarnex_info returns, from one batch of steps."""
    path = till.path
    # The cash code file comes from tarnex, which opens it under its rule for
    # links: nothing here opens a till file as root.
    done = till.steps([till.tarnex(['--verify', '--json']), till.tarnex(['--history', '--json'], kind='first'),
                       ('stat', path), ('kept', path + '-'), ('lock', path), ('holder', path)])
    verified, history, status, kept, lock, holder = done
    result = dict(changed=False, path=path, last_change=history_entry(history), previous_kept=bool(kept),
                  lock=None if lock is None else dict(pid=lock), holder=holder)
    if status:
        result.update(status)
    rc, out, err = verified
    if rc and NO_STAT.search(err):
        # A register that isn't there is a finding, not a failure.
        result.update(exists=False, register=None, damage=[], cashcode_file=None, cashcode_agrees=None,
                      msg=MISSING % path)
        return result
    report = till.outcome(verified, statuses=(0, 1))
    values, damage, checked = split_verify(report)
    if values is None:
        values = till.json([])
    checked = checked if isinstance(checked, dict) else {}
    code, agrees = checked.get('text'), checked.get('agrees')
    result.update(exists=True, register=values, damage=damage, cashcode_file=code, cashcode_agrees=agrees)
    return result


def set_arguments(params):
    """The set options of the task; every sum is looked at before tarnex runs."""
    args = []
    for key in KEYS:
        value = params[key]
        if value is not None:
            args.append('--set%s=%s' % (key, sum_text(key, value) if key in SUMS else value))
    return args


def trail_arguments(params):
    args = []
    if params.get('reason'):
        args.append('--reason=' + params['reason'])
    if params.get('operator'):
        args.append('--operator=' + params['operator'])
    return args


def change_arguments(params, changes):
    return changes + trail_arguments(params) + ['--json']


def change(till, params, changes, given, first=None):
    """Runs the change (or takes the outcome of its first run, made in the
    command that read the register), again while another process holds the
    lock, until lock_timeout seconds have passed since the first try."""
    args = change_arguments(params, changes)
    timeout = max(0, params['lock_timeout'])
    deadline = time.monotonic() + timeout
    while True:
        if first is None:
            rc, out, err = till.steps([till.tarnex(args)])[0]
        else:
            (rc, out, err), first = first, None
        locked = LOCKED.search(err) if rc else None
        if not locked or time.monotonic() >= deadline:
            break
        time.sleep(0.2)
    if locked:
        till.warnings(err)
        holders = HOLDER.findall(err)
        who = ('it is open in process %s (%s)' % holders[-1] if holders else
               'no process was named as having it open')
        raise Failure("register %s is busy: can't lock it within %d seconds: %s" % (locked.group(1), timeout, who),
                      stderr=err, rc=rc)
    return till.outcome((rc, out, err), given)


def initialise(till, params, sets, given):
    """create on a missing or empty file: tarnex --init where the till's
    tarnex has it (it decides under the lock), else the empty file made here
    and tarnex --create.  The register it leaves, or None when a file that
    holds something came there meanwhile."""
    rc, out, err = till.steps([till.tarnex(['--init', '--json'] + trail_arguments(params))])[0]
    if not UNKNOWN_OPTION.search(err):
        if till.outcome((rc, out, err)).get('created') is False:
            return None
        return change(till, params, sets, given) if sets else till.json([])
    fresh = till.steps([('probe', till.path)])[0]
    if fresh == 'missing' and not till.steps([('mkempty', till.path)])[0]:
        fresh = till.steps([('probe', till.path)])[0]
    if fresh == 'present':
        return None
    return change(till, params, ['--create'] + sets, given)


def set_task(till, params, check_mode, diff_mode):
    """What quelvaris.cash.tarnex returns."""
    sets = set_arguments(params)
    given = dict((key, params[key]) for key in KEYS if params[key] is not None)
    undo = params['undo'] or params['undo_change'] is not None
    if undo and (sets or params['create'] or params['blank']):
        raise Failure('undo takes no values, create or blank: an undo only reverses a change')
    result = dict(changed=False)
    before = after = None
    done = False
    fresh = None
    if params['create']:
        scratch = till.tarnex(['--create'] + sets + ['--dry-run', '--json'], kind='scratch')
        first = till.steps([('probe', till.path), scratch])
        fresh = first[0] if first[0] in ('missing', 'empty') else None
        if fresh:
            after = till.outcome(first[1], given)
            if not check_mode:
                made = initialise(till, params, sets, given)
                if made is None:
                    fresh = None  # made meanwhile: it may hold data already
                else:
                    after, done = made, True
    if fresh:
        # Nothing to lose: the register is made, and that is a change.
        before, changed = None, True
    else:
        if undo:
            changes = ['--undo' if params['undo_change'] is None else '--undo=%d' % params['undo_change']]
        else:
            changes = (['--create'] if params['blank'] else []) + sets
        read = ['--verify', '--json'] if params['blank'] else ['--json']
        batch = [till.tarnex(read)] + ([till.tarnex(['--dry-run', '--json'] + changes)] if changes else [])
        # The change goes in the same command as the read, made there only
        # when the dry run prints other values than the read: a change then
        # costs one command over the connection, as a read does.  A blank
        # reads with --verify, whose output never equals a dry run's.
        if changes and not check_mode and not params['blank']:
            batch.append(('differs', change_arguments(params, changes), till.path, till.env, 0, 1))
        outcomes = till.steps(batch)
        damage = []
        if params['blank']:
            # Blanking also mends a damaged register whose values look blank.
            before, damage, dummy = split_verify(till.outcome(outcomes[0], statuses=(0, 1)))
            if before is None:
                before = till.json([])
        else:
            before = till.outcome(outcomes[0], given)
        after = till.outcome(outcomes[1], given) if changes else before
        changed = after != before or bool(damage)
        made = outcomes[2] if len(outcomes) > 2 else None
        if made is not None or changed and not check_mode:
            after, done, changed = change(till, params, changes, given, made), True, True
    result.update(changed=changed, register=after)
    if diff_mode:
        header = '%s (register)' % till.path
        result['diff'] = dict(before=print_lines(before), after=print_lines(after),
                              before_header=header, after_header=header)
    return result
