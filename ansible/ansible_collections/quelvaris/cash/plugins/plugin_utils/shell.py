# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""The steps of a task as one POSIX shell command sent over the connection,
as ansible.builtin.raw sends one: the runner the action plugins give
quelvaris.cash's Till.  The till needs tarnex, sh, mktemp, cat, head and stat,
and no Python; the cost of a task is then that of one command over SSH.

Each step's status, output and errors come back between marker lines that
carry a random token, so that nothing a step prints can be taken for one.
Without become they come on the command's own output and errors, and the
command starts no program but the steps' own; become's terminal merges the
two, so there each step's output goes through a file of its own first."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import re
import secrets
from shlex import quote

from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import Failure

PARTS = ('rc', 'out', 'err')
# What the stat step asks for: the fields Ansible returns for a path, and
# the device and inode that the kernel's list of locks names a file by.
STAT_FORMAT = '%U %G %u %g %a %s %d:%i %F'


def stream_step(step, i, stats):
    """The shell text of step I when its output and errors go straight out:
    the command's output is kept in $oI for a later step, its status in r."""
    kind = step[0]
    show = '; r=$?; [ -z "$o%d" ] || printf \'%%s\\n\' "$o%d"' % (i, i)
    if kind == 'tarnex':
        return 'o%d=$(%s)%s' % (i, tarnex_command(step[1], quote(step[2]), step[3]), show)
    if kind == 'differs':
        a, b = step[4], step[5]
        return ('if [ "$r%d" = 0 ] && [ "$r%d" = 0 ] && [ "$o%d" != "$o%d" ]; then o%d=$(%s)%s; else r=-; fi'
                % (a, b, a, b, i, tarnex_command(step[1], quote(step[2]), step[3]), show))
    if kind == 'first':
        return ('o%d=$(%s | { IFS= read -r l; printf \'%%s\\n\' "$l"; })%s'
                % (i, tarnex_command(step[1], quote(step[2]), step[3]), show))
    if kind == 'scratch':
        return ('if t=$(mktemp); then o%d=$(%s)%s; rm -f -- "$t"; else r=1; fi'
                % (i, tarnex_command(step[1], '"$t"', step[3]), show))
    p = quote(step[1])
    if kind == 'stat':
        stats[step[1]] = i
        return "o%d=$(stat -L -c '%s' -- %s)%s" % (i, STAT_FORMAT, p, show)
    if kind == 'lock' and step[1] in stats:
        # The device and inode as the stat step found them.
        return ('set -- $o%d; echo "$7"; while IFS= read -r l; do echo "$l"; done </proc/locks; r=$?'
                % stats[step[1]])
    return step_script(step, None)


def tarnex_command(args, path, root):
    """tarnex ARGS -- PATH, under ROOT when the task names one."""
    prefix = 'TARNEX_ROOT=%s ' % quote(root) if root is not None else ''
    return prefix + 'tarnex ' + ' '.join(quote(a) for a in args) + ' -- ' + path


def step_script(step, i):
    """The shell text of step I: it leaves its output in "$d/oI", its errors
    in "$d/eI" and its status in r.  Shell builtins where they do, since on
    a busy till each program started costs more than the step's work."""
    kind = step[0]
    out = '>"$d/o%s" 2>"$d/e%s"' % (i, i)
    if i is None:
        # Straight out, in the command's own output and errors.
        return step_script(step, 'x').replace(' >"$d/ox" 2>"$d/ex"', '')
    if kind == 'tarnex':
        return '%s %s; r=$?' % (tarnex_command(step[1], quote(step[2]), step[3]), out)
    if kind == 'differs':
        # Only when the two runs named succeeded and printed other values
        # (one line of JSON each).
        a, b = step[4], step[5]
        return ('a=; b=; { IFS= read -r a; } <"$d/o%d"; { IFS= read -r b; } <"$d/o%d"; '
                'if [ "$r%d" = 0 ] && [ "$r%d" = 0 ] && [ "$a" != "$b" ]; then %s %s; r=$?; '
                'else r=-; : %s; fi' % (a, b, a, b, tarnex_command(step[1], quote(step[2]), step[3]), out, out))
    if kind == 'first':
        # The newest line is all that is wanted of a history of up to 2000.
        return ('{ %s 2>"$d/e%d"; echo $? >"$d/r%d"; } | { IFS= read -r l; printf \'%%s\\n\' "$l"; } >"$d/o%d"; '
                'read r <"$d/r%d"' % (tarnex_command(step[1], quote(step[2]), step[3]), i, i, i, i))
    if kind == 'scratch':
        return ('t=$(mktemp) && { %s %s; r=$?; rm -f -- "$t"; } || { r=$?; : %s; }'
                % (tarnex_command(step[1], '"$t"', step[3]), out, out))
    p = quote(step[1])
    if kind == 'probe':
        text = ('if [ -e %s ]; then if [ -f %s ] && [ ! -s %s ]; then echo empty; else echo present; fi; '
                'elif [ -L %s ]; then echo present; else echo missing; fi' % (p, p, p, p))
    elif kind == 'stat':
        text = "stat -L -c '%s' -- %s" % (STAT_FORMAT, p)
    elif kind == 'kept':
        text = '[ -f %s ] && [ ! -L %s ] && [ "$(stat -c %%h -- %s)" = 1 ]' % (p, p, p)
    elif kind == 'lock':
        text = 'stat -L -c %%d:%%i -- %s && while IFS= read -r l; do echo "$l"; done </proc/locks' % p
    elif kind == 'holder':
        # Every descriptor of every process this user may look at; the
        # first other than this shell's that is the register names it.
        text = ('for f in /proc/[0-9]*/fd/*; do [ "$f" -ef %s ] || continue; q=${f#/proc/}; q=${q%%%%/*}; '
                '[ "$q" = "$$" ] && continue; echo "$q"; read -r n <"/proc/$q/comm" && echo "$n"; break; '
                'done 2>/dev/null; :' % p)
    elif kind == 'mkempty':
        # noclobber opens with O_EXCL: a file that came meanwhile stays.
        directory = quote(os.path.dirname(step[1]) or '.')
        text = ('if (set -C; : >%s); then if [ "$(id -u)" = 0 ]; then chown --reference=%s -- %s; fi; '
                'sync -- %s 2>/dev/null; echo made; elif [ -e %s ] || [ -L %s ]; then echo there; else false; fi'
                % (p, directory, p, directory, p, p))
    else:
        raise ValueError(kind)
    return '{ %s; } %s; r=$?' % (text, out)


class ShellRunner:
    """Sends the steps of each call as one command over the action's connection."""

    def __init__(self, action, environment):
        self.action = action
        self.environment = environment
        self.warnings = []

    def warn(self, line):
        self.warnings.append(line)

    def environment_line(self):
        return ['export ' + ' '.join('%s=%s' % (k, quote(str(v))) for k, v in self.environment.items())
                ] if self.environment else []

    def stream_script(self, steps, token):
        lines = self.environment_line()
        stats = {}
        for i, step in enumerate(steps):
            lines.append("printf '\\n%s %d out\\n'; printf '\\n%s %d err\\n' >&2" % (token, i, token, i))
            lines.append(stream_step(step, i, stats))
            lines.append("r%d=$r; printf '\\n%s %d rc\\n%%s' \"$r\"" % (i, token, i))
        lines.append("printf '\\n%s end\\n'; printf '\\n%s end\\n' >&2" % (token, token))
        return '\n'.join(lines)

    def script(self, steps, token):
        lines = self.environment_line()
        lines.append('d=$(mktemp -d) || exit 1')
        lines.append('trap \'rm -rf -- "$d"\' EXIT')
        files = []
        for i, step in enumerate(steps):
            lines.append(step_script(step, i))
            # Each step's status and the marker lines around its output go
            # into files too, so that one cat sends all of it.
            lines.append("r%d=$r; printf '\\n%s %d rc\\n%%s\\n%s %d out\\n' \"$r\" >\"$d/a%d\"; "
                         "printf '\\n%s %d err\\n' >\"$d/b%d\"" % (i, token, i, token, i, i, token, i, i))
            files += ['"$d/a%d"' % i, '"$d/o%d"' % i, '"$d/b%d"' % i, '"$d/e%d"' % i]
        lines.append('cat %s' % ' '.join(files))
        lines.append("printf '\\n%s end\\n'" % token)
        return '\n'.join(lines)

    def steps(self, steps):
        token = 'tarnex-' + secrets.token_hex(8)
        # Only become needs the terminal that ssh asks for a command that may
        # become, whose line ends are then "\r\n".
        become = bool(self.action._play_context.become)
        script = self.script(steps, token) if become else self.stream_script(steps, token)
        # The shell named outright: Ansible would otherwise add a "sleep 0",
        # one more program on the till for each task, against an old ssh
        # race that the end marker below would show anyway.
        shell = self.action._play_context.executable or '/bin/sh'
        done = self.action._low_level_execute_command(script, sudoable=become, executable=shell)
        out = done.get('stdout', '')
        if become:
            out = out.replace('\r\n', '\n')
        marker = re.compile(r'\n%s (\d+ \w+|end)\n' % token)
        sections = marker.split(out)
        if not become:
            # Ssh's own lines on the errors fall before the first marker or
            # after the last.
            sections = sections[:-2] + marker.split(done.get('stderr', ''))[1:]
        if len(sections) < 2 or sections[-2] != 'end':
            err = done.get('stderr', '')
            lines = err.strip().splitlines() or ['status %s' % done.get('rc')]
            raise Failure("can't run tarnex on the till: %s" % lines[-1], stderr=err, rc=done.get('rc'))
        parts = dict(zip(sections[1:-1:2], sections[2:-1:2]))
        return [self.outcome(step, *[parts.get('%d %s' % (i, part), '') for part in PARTS])
                for i, step in enumerate(steps)]

    @staticmethod
    def outcome(step, rc, out, err):
        kind = step[0]
        if kind == 'differs' and rc.strip() == '-':
            return None
        rc = int(rc) if rc.strip().isdigit() else 1
        if kind in ('tarnex', 'first', 'scratch', 'differs'):
            if rc == 127 and not out:
                raise Failure("can't run tarnex: it is not on the till's PATH", stderr=err, rc=rc)
            return rc, out, err
        if kind == 'probe':
            return out.strip() or 'present'
        if kind == 'stat':
            fields = out.split()
            if rc or len(fields) < 8:
                return dict(state='absent')
            kind_text = ' '.join(fields[7:])
            return dict(owner=fields[0], group=fields[1], uid=int(fields[2]), gid=int(fields[3]),
                        mode='0%03o' % int(fields[4], 8), size=int(fields[5]),
                        state='file' if kind_text.startswith('regular') else 'directory'
                        if kind_text == 'directory' else 'other')
        if kind == 'kept':
            return rc == 0
        if kind == 'lock':
            return lock_holder(out) if rc == 0 else None
        if kind == 'holder':
            lines = out.splitlines()
            return dict(pid=int(lines[0]), name=lines[1] if len(lines) > 1 else None) if lines else None
        if kind == 'mkempty':
            if rc:
                lines = err.strip().splitlines()
                raise Failure("can't create register %s: %s" % (step[1], lines[-1] if lines else 'status %d' % rc),
                              stderr=err)
            return out.strip() == 'made'
        raise ValueError(kind)


def lock_holder(text):
    """The pid in /proc/locks of a lock on the file whose DEV:INODE heads text."""
    first, listed = (text.split('\n', 1) + [''])[:2]
    device, inode = (first.strip().split(':', 1) + [''])[:2]
    if not device.isdigit():
        return None
    dev = int(device)
    wanted = '%02x:%02x:%s' % (os.major(dev), os.minor(dev), inode)
    for line in listed.splitlines():
        fields = line.split()
        # "1: POSIX  ADVISORY  WRITE 2107 08:01:1234 0 EOF"; a waiter has "->".
        if len(fields) >= 6 and fields[1] != '->' and fields[5] == wanted and fields[4].isdigit():
            return int(fields[4])
    return None
