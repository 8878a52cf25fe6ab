# -*- coding: utf-8 -*-
# Running KVR Installer from a module and reading the JSON lines it writes.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os

# Where the Debian package puts the program.
DEFAULT_PROGRAMS = ('/usr/bin/KVRinstaller', '/opt/kvr-installer/KVRinstaller')

# Exit statuses of the program that the modules name.
STATUS_NAMES = {
    0: 'ok', 1: 'failure', 2: 'bad-command-line', 3: 'file-invalid', 4: 'no-device',
    5: 'several-devices', 6: 'incompatible', 7: 'download-failed', 8: 'not-back',
    9: 'already-running', 10: 'refused', 11: 'not-recorded',
}


def find_program(module):
    """The program to run: the module's `program` option, else the one on
    PATH, else the package's. Fails the module when none can be run."""
    wanted = module.params.get('program')
    if wanted:
        candidates = [wanted]
    else:
        found = module.get_bin_path('KVRinstaller')
        candidates = ([found] if found else []) + list(DEFAULT_PROGRAMS)
    for path in candidates:
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    module.fail_json(msg='KVR Installer is not installed on this host (looked for %s); install the '
                         'kvr-installer package or name the program with the program option'
                         % ', '.join(c for c in candidates if c))


def run_program(module, args):
    """Runs the program with `args` (standard output carries the JSON lines).
    Returns (rc, records, summary, stderr). A line that is not a JSON object
    fails the module: the program writes nothing else to standard output."""
    program = find_program(module)
    rc, out, err = module.run_command([program] + args, check_rc=False)
    records, summary = [], None
    for number, line in enumerate(out.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        try:
            obj = json.loads(line)
        except ValueError:
            module.fail_json(msg='KVR Installer wrote line %d of its output in a form that is not JSON: %r'
                                 % (number, line[:200]), rc=rc, stderr=err)
        if not isinstance(obj, dict):
            module.fail_json(msg='KVR Installer wrote line %d of its output as JSON that is not an object'
                                 % number, rc=rc, stderr=err)
        if obj.get('summary') is True:
            summary = obj
        else:
            records.append(obj)
    return rc, records, summary, err


def status_text(rc):
    """The exit status in words: a name, or the signal that ended the program."""
    if rc < 0:
        return 'killed by signal %d' % -rc
    return STATUS_NAMES.get(rc, 'status %d' % rc)
