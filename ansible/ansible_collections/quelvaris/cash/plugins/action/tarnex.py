# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""quelvaris.cash.tarnex done from the controller over the connection, so
that the till needs no Python: the module's documentation holds."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import SET_OPTIONS, set_task
from ansible_collections.quelvaris.cash.plugins.plugin_utils.action import TillAction, controller_user


class ActionModule(TillAction):
    OPTIONS = SET_OPTIONS
    MUTUALLY_EXCLUSIVE = [('undo', 'undo_change')]

    def work(self, till, params):
        if not params.get('operator'):
            params['operator'] = controller_user()
        return set_task(till, params, self._play_context.check_mode, self._play_context.diff)
