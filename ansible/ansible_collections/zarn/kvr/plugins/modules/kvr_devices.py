#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: kvr_devices
short_description: Lists the Zarn Adapters (KVR) on every network adapter of the host
description:
  - Searches every Ethernet adapter of the host for Zarn Adapters with KVR Installer
    (C(KVRinstaller --list --json -)) and returns them as facts.
  - Sends nothing but the search; changes nothing.
  - The user running the module needs raw network access (root, or a member of the
    C(kvr-installer) group).
version_added: "1.0.0"
extends_documentation_fragment:
  - zarn.kvr.program
notes:
  - A host with no device (or no network adapter) gives an empty list and a warning, not a failure.
author:
  - KVR Installer developers
'''

EXAMPLES = r'''
- name: Find the devices of this site
  zarn.kvr.kvr_devices:

- name: Show the devices that still run firmware 3.6
  ansible.builtin.debug:
    msg: "{{ kvr_devices | selectattr('firmware', 'equalto', '3.6') | map(attribute='mac') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The devices found.
  returned: success
  type: complex
  contains:
    kvr_devices:
      description: One entry per device found.
      type: list
      elements: dict
      contains:
        mac:
          description: Hardware address, with colons.
          type: str
          sample: "00:07:F5:01:02:03"
        name:
          description: The device's name.
          type: str
        adapter:
          description: The network adapter it was found on.
          type: str
        ip:
          description: Its IP address, or its IP state.
          type: str
        firmware:
          description: Firmware id and version ("3.7"), empty when unknown.
          type: str
        hardware:
          description: Hardware id and version ("2.1").
          type: str
        download_mode:
          description: Whether the device is waiting in download mode.
          type: bool
rc:
  description: The program's exit status.
  returned: always
  type: int
'''

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.zarn.kvr.plugins.module_utils.kvr_program import run_program, status_text

NO_DEVICE = 4


def main():
    module = AnsibleModule(argument_spec=dict(program=dict(type='path')), supports_check_mode=True)
    rc, records, _summary, err = run_program(module, ['--list', '--json', '-'])
    if rc == NO_DEVICE:
        module.warn('KVR Installer found no device on this host: %s' % (err.strip() or 'no device answered'))
        records = []
    elif rc != 0:
        module.fail_json(msg='KVR Installer could not list the devices (exit status %d, %s): %s'
                             % (rc, status_text(rc), err.strip()), rc=rc, stderr=err)
    module.exit_json(changed=False, rc=rc, ansible_facts=dict(kvr_devices=records))


if __name__ == '__main__':
    main()
