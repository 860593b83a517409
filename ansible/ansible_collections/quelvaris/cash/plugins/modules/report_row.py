#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the tarnex authors
# MIT License (see LICENSE or https://opensource.org/licenses/MIT)
"""The documentation of the report's action, which runs on the controller."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r"""
module: report_row
short_description: Add one till's row to the CSV report of a chain, on the controller
version_added: "0.1.0"
description:
  - Takes what M(quelvaris.cash.tarnex_info) returned for one till and writes the row it makes beside the table,
    then, when every host of I(hosts) has its row, writes the table in one rename. The role
    C(quelvaris.cash.report) runs it; its documentation gives the columns.
  - Works the same under every strategy and number of forks, and never waits for another host; when several hosts
    see every row at once, each writes the same table.
  - Runs on the controller only; it touches no till and reports no change.
options:
  csv:
    description: The table on the controller, relative to the current directory.
    type: str
    required: true
  host:
    description: The till whose row this is.
    type: str
    required: true
  till:
    description: What M(quelvaris.cash.tarnex_info) returned for it, failed or unreachable included.
    type: raw
  hosts:
    description: Every host that gets a row, normally C(ansible_play_hosts_all).
    type: list
    elements: str
    required: true
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details: It writes only on the controller, the same in check mode.
  diff_mode:
    support: none
  platform:
    platforms: posix
author:
  - tarnex authors (@quelvaris)
"""

EXAMPLES = r"""
- name: Read the till
  quelvaris.cash.tarnex_info:
  register: till
  ignore_errors: true
  ignore_unreachable: true

- name: Add its row
  quelvaris.cash.report_row:
    csv: tills.csv
    host: "{{ inventory_hostname }}"
    till: "{{ till }}"
    hosts: "{{ ansible_play_hosts_all }}"
"""

RETURN = r"""
csv:
  description: The table's full path on the controller.
  returned: success
  type: str
  sample: /home/maria/tills.csv
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(csv=dict(type='str', required=True), host=dict(type='str', required=True),
                                              till=dict(type='raw'),
                                              hosts=dict(type='list', elements='str', required=True)),
                           supports_check_mode=True)
    module.fail_json(msg='quelvaris.cash.report_row runs on the controller, as its action plugin')


if __name__ == '__main__':
    main()
