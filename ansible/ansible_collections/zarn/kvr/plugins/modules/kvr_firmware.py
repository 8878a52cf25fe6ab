#!/usr/bin/python
# -*- coding: utf-8 -*-
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: kvr_firmware
short_description: Upgrades the firmware of the Zarn Adapters (KVR) on the host's network
description:
  - Upgrades the devices named in I(macs), or every compatible device found, from a C(.qfw)
    firmware file, with an unattended KVR Installer run (C(KVRinstaller /U /D FILE)).
  - With I(skip_current) (the default) a device that already runs the file's firmware gets no
    download, so a second run changes nothing.
  - In check mode the devices are searched and the file is checked, and each device is judged
    ("would upgrade", "already current", "incompatible", "not found"); nothing beyond the search is sent.
  - The user running the module needs raw network access (root, or a member of the
    C(kvr-installer) group).
version_added: "1.0.0"
options:
  file:
    description:
      - The firmware file (C(.qfw)) on the host.
    type: path
    required: true
  macs:
    description:
      - Hardware addresses of the devices to upgrade, with or without colons.
      - C(all) (alone) upgrades every device found that the file fits.
    type: list
    elements: str
    required: true
  parallel:
    description:
      - At most this many devices of one network adapter are upgraded at the same time.
      - Default is the program's own.
    type: int
  retries:
    description:
      - A failed download is repeated up to this many more times (0 to 20).
    type: int
    default: 0
  skip_current:
    description:
      - A device that already runs the file's firmware id and version gets no download and is
        reported as current.
    type: bool
    default: true
extends_documentation_fragment:
  - zarn.kvr.program
notes:
  - Raw frames do not cross routers; run the module on a PC of each site, against the devices of its own segment.
  - I(parallel) counts per host; Ansible's forks and C(serial) decide how many sites run at once.
author:
  - KVR Installer developers
'''

EXAMPLES = r'''
- name: Upgrade every device of the site
  zarn.kvr.kvr_firmware:
    file: /srv/firmware/kavori-3.7.qfw
    macs: all
    retries: 2

- name: Two devices, one after the other
  zarn.kvr.kvr_firmware:
    file: /srv/firmware/kavori-3.7.qfw
    macs:
      - 00:07:F5:01:02:03
      - 0007F5010204
    parallel: 1
'''

RETURN = r'''
devices:
  description: One record per device, as the program wrote it.
  returned: always
  type: list
  elements: dict
  contains:
    mac:
      description: Hardware address, with colons.
      type: str
    result:
      description: >-
        C(ok) (upgraded), C(current) (already runs the file's firmware), C(would-upgrade) (check mode),
        or the failure (C(download-failed), C(not-back), C(incompatible), C(no-device), ...).
      type: str
    status:
      description: The device's exit status.
      type: int
    firmware_before:
      description: Firmware version found before the run.
      type: str
    firmware_after:
      description: Firmware version the device reported after its restart.
      type: str
    error:
      description: Why the device failed; empty when it did not.
      type: str
upgraded:
  description: Hardware addresses of the devices upgraded (in check mode, the ones that would be).
  returned: always
  type: list
  elements: str
failures:
  description: The devices that failed, each with its MAC, result and error.
  returned: on failure
  type: list
  elements: dict
summary:
  description: The program's summary record (devices, succeeded, failed, status, result, error).
  returned: when the program wrote one
  type: dict
rc:
  description: The program's exit status (negative when a signal ended it).
  returned: always
  type: int
'''

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.zarn.kvr.plugins.module_utils.kvr_program import run_program, status_text


def command_line(params, check_mode):
    macs = [m.strip() for m in params['macs'] if m.strip()]
    args = ['/U', '/D', params['file'], '--match-mac', ','.join(macs), '--json', '-',
            '--retries', str(params['retries'])]
    if params['parallel'] is not None:
        args += ['--parallel', str(params['parallel'])]
    if params['skip_current']:
        args.append('--skip-current')
    if check_mode:
        args.append('--check')
    return args


def main():
    module = AnsibleModule(
        argument_spec=dict(
            file=dict(type='path', required=True),
            macs=dict(type='list', elements='str', required=True),
            parallel=dict(type='int'),
            retries=dict(type='int', default=0),
            skip_current=dict(type='bool', default=True),
            program=dict(type='path'),
        ),
        supports_check_mode=True,
    )
    if not [m for m in module.params['macs'] if m.strip()]:
        module.fail_json(msg='macs names no device: give hardware addresses or all')
    rc, records, summary, err = run_program(module, command_line(module.params, module.check_mode))
    # Only a download that went in is a change; the records tell which did,
    # also when the run failed or was stopped half-way.
    done = 'would-upgrade' if module.check_mode else 'ok'
    upgraded = [r.get('mac', '') for r in records if r.get('result') == done]
    result = dict(changed=bool(upgraded), rc=rc, devices=records, upgraded=upgraded)
    if summary is not None:
        result['summary'] = summary
    if rc != 0:
        failures = [dict(mac=r.get('mac', ''), result=r.get('result', ''), error=r.get('error', ''))
                    for r in records if r.get('status', 0) != 0]
        reason = err.strip().splitlines()[-1] if err.strip() else ''
        named = '; '.join('%s: %s' % (f['mac'], f['error'] or f['result']) for f in failures)
        module.fail_json(msg='KVR Installer ended with exit status %d (%s)%s%s'
                             % (rc, status_text(rc), (': ' + named) if named else '',
                                ('; ' + reason) if reason and not named else ''),
                         failures=failures, stderr=err, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
