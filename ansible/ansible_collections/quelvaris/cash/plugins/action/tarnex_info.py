# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""quelvaris.cash.tarnex_info done from the controller over the connection,
so that the till needs no Python: the module's documentation holds."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.quelvaris.cash.plugins.module_utils.tarnex import INFO_OPTIONS, info
from ansible_collections.quelvaris.cash.plugins.plugin_utils.action import TillAction


class ActionModule(TillAction):
    OPTIONS = INFO_OPTIONS

    def work(self, till, params):
        return info(till)
