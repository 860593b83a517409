# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""What the action plugins of the two modules share: the task's arguments
checked against the module's own options, the task's environment sent with
every command, and the result made as the module would make it."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import getpass

from ansible.errors import AnsibleAction
from ansible.plugins.action import ActionBase
from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import Failure, Till
from ansible_collections.quelvaris.cash.plugins.plugin_utils.shell import ShellRunner


def controller_options(options):
    """The module's options, but paths left as given: "~" and "$HOME" belong to
    the till, not to the controller, where the action expands nothing."""
    return dict((key, dict(option, type='str') if option.get('type') == 'path' else option)
                for key, option in options.items())


def controller_user():
    try:
        return getpass.getuser()
    except (KeyError, OSError):
        return None


class TillAction(ActionBase):
    """Runs work(till, params, check_mode, diff_mode) over the connection."""

    TRANSFERS_FILES = False
    _supports_check_mode = True
    _supports_async = False
    OPTIONS = {}
    MUTUALLY_EXCLUSIVE = []

    def work(self, till, params):
        raise NotImplementedError

    def run(self, tmp=None, task_vars=None):
        result = super(TillAction, self).run(tmp, task_vars)
        del tmp  # no temporary files: nothing is copied to the till
        try:
            params = self.validate_argument_spec(controller_options(self.OPTIONS),
                                                 mutually_exclusive=self.MUTUALLY_EXCLUSIVE)[1]
        except AnsibleAction as e:
            result.update(e.result)
            return result
        environment = {}
        self._compute_environment_string(environment)
        runner = ShellRunner(self, environment)
        till = Till(runner, params['path'], params['root'], environment.get('TARNEX_ROOT'))
        try:
            result.update(self.work(till, params))
        except Failure as e:
            result.update(failed=True, msg=e.msg, **e.extra)
        if runner.warnings:
            result.setdefault('warnings', []).extend(runner.warnings)
        return result
