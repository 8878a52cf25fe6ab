# -*- coding: utf-8 -*-
# The option and notes every module of the collection shares.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  program:
    description:
      - The KVR Installer program to run.
      - Default is C(KVRinstaller) on the search path, else the package's C(/opt/kvr-installer/KVRinstaller).
    type: path
attributes:
  check_mode:
    support: full
'''
