# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""The steps of a task done on the till itself, by the modules' Python: the
runner the modules give quelvaris.cash's Till."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import errno
import fcntl
import grp
import os
import pwd
import signal
import stat
import subprocess
import sys
import tempfile
import time

from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import PYTHON_FLOOR, Failure

SCAN_SECONDS = 0.2


def check_python(module):
    """An older Python fails naming the floor, not with a traceback."""
    if sys.version_info[:2] < PYTHON_FLOOR:
        module.fail_json(msg='quelvaris.cash needs Python %d.%d or later on the till; %s is %d.%d'
                         % (PYTHON_FLOOR + (sys.executable,) + tuple(sys.version_info[:2])))


def probe(path):
    """'missing' or 'empty' when create may make a register there, else
    'present': a file that holds anything, or whatever tarnex should speak
    for (a link to nothing, a file this user may not look at)."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return 'present' if os.path.lexists(path) else 'missing'
    except OSError:
        return 'present'
    return 'empty' if stat.S_ISREG(st.st_mode) and st.st_size == 0 else 'present'


def make_empty(path):
    """Makes the missing file, empty, as a register the cash desk of its
    directory's owner can write.  False when a file came there meanwhile."""
    directory, name = os.path.split(path)
    try:
        dir_fd = os.open(directory or '.', os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as e:
        raise Failure("can't create register %s: %s" % (path, e.strerror))
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
        raise Failure("can't create register %s: %s" % (path, e.strerror))
    finally:
        os.close(dir_fd)
    return True


def file_status(path):
    """What Ansible adds for a returned path, as stat gives it."""
    try:
        st = os.stat(path)
    except OSError:
        return dict(state='absent')
    try:
        owner = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        owner = str(st.st_uid)
    try:
        group = grp.getgrgid(st.st_gid).gr_name
    except KeyError:
        group = str(st.st_gid)
    return dict(owner=owner, group=group, uid=st.st_uid, gid=st.st_gid, mode='0%03o' % stat.S_IMODE(st.st_mode),
                size=st.st_size, state='file' if stat.S_ISREG(st.st_mode) else 'directory'
                if stat.S_ISDIR(st.st_mode) else 'other')


def kept(path):
    try:
        st = os.lstat(path)
    except OSError:
        return False
    # tarnex never takes a second name of a file as its kept copy.
    return stat.S_ISREG(st.st_mode) and st.st_nlink == 1


def lock_holder(path):
    """The process holding a lock on the file, from the kernel's list."""
    try:
        st = os.stat(path)
        with open('/proc/locks', encoding='ascii', errors='replace') as locks:
            listed = locks.read().splitlines()
    except OSError:
        return None
    wanted = '%02x:%02x:%d' % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    for line in listed:
        fields = line.split()
        # "1: POSIX  ADVISORY  WRITE 2107 08:01:1234 0 EOF"; a waiter has "->".
        if len(fields) >= 6 and fields[1] != '->' and fields[5] == wanted and fields[4].isdigit():
            return int(fields[4])
    return None


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


def same_file(link, st):
    try:
        other = os.stat(link)
    except OSError:
        return False
    return (other.st_dev, other.st_ino) == (st.st_dev, st.st_ino)


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


class LocalRunner:
    """Runs each step here, on the till, one after the other."""

    def __init__(self, module):
        self.module = module
        self.binary = module.get_bin_path('tarnex', required=True)

    def warn(self, line):
        self.module.warn(line)

    def tarnex(self, args, path, root):
        env = None
        if root is not None:
            env = dict(os.environ, TARNEX_ROOT=root)
        # Not module.run_command: its pre-exec hook makes Python fork the whole
        # interpreter, five times the cost of this run of tarnex.
        try:
            done = subprocess.run([self.binary] + args + ['--', path], stdin=subprocess.DEVNULL, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False,
                                  encoding='utf-8', errors='surrogateescape')
        except OSError as e:
            raise Failure("can't run %s: %s" % (self.binary, e.strerror))
        return done.returncode, done.stdout, done.stderr

    def scratch(self, args, root):
        fd, path = tempfile.mkstemp(dir=self.module.tmpdir, suffix='.reg')
        os.close(fd)
        try:
            return self.tarnex(args, path, root)
        finally:
            os.unlink(path)

    def step(self, step):
        kind = step[0]
        if kind == 'tarnex':
            return self.tarnex(*step[1:])
        if kind == 'first':
            rc, out, err = self.tarnex(*step[1:])
            return rc, out.split('\n', 1)[0], err
        if kind == 'scratch':
            return self.scratch(step[1], step[3])
        path = step[1]
        return dict(probe=probe, stat=file_status, kept=kept, lock=lock_holder, holder=holder,
                    mkempty=make_empty)[kind](path)

    def steps(self, steps):
        done = []
        for step in steps:
            if step[0] == 'differs':
                first, second = done[step[4]], done[step[5]]
                if first[0] or second[0] or first[1] == second[1]:
                    done.append(None)
                    continue
                step = ('tarnex',) + tuple(step[1:4])
            done.append(self.step(step))
        return done
