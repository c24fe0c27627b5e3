#!/usr/bin/python
# -*- coding: utf-8 -*-
# Finds the QVR devices on the target host's LAN with qvr-upgrade scan.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: qvr_scan
short_description: Find QVR devices and read their identity with qvr-upgrade
description:
  - Runs C(qvr-upgrade scan --json) on the target host for the given ranges and returns every device whose
    web server answers the status request, with its identity.
  - With a password each device's identity is read; without one a device that asks for it is listed with
    needs_password true.
  - Sends only status requests, so it never changes anything and runs in check mode too.
options:
  ranges:
    description: Ranges to scan, each a.b.c.d/nn (nn from 16 to 32), a.b.c.d-e or one address.
    type: list
    elements: str
    required: true
  user:
    description: The devices' administrator user name (the program's default is admin).
    type: str
  password:
    description: The devices' administrator password, passed through the environment (QVR_PASSWORD).
    type: str
  http_timeout:
    description: Seconds each HTTP exchange with a device may take.
    type: float
  parallel:
    description: At most this many probes at once (1 to 64).
    type: int
  executable:
    description: The qvr-upgrade program, a path or a name looked up on PATH.
    type: str
    default: qvr-upgrade
requirements:
  - qvr-upgrade on the target host
author:
  - QVR firmware tools developers
'''

EXAMPLES = r'''
- name: Find the site's devices from its jump host
  qvr.firmware.qvr_scan:
    ranges: [10.1.0.0/24]
    password: "{{ vault_qvr_password }}"
  delegate_to: "{{ qvr_jump_host }}"
  register: found

- name: Upgrade those that run something else than 7.6.0
  qvr.firmware.qvr_upgrade:
    devices: "{{ found.devices | rejectattr('software_version', 'equalto', '7.6.0') | map(attribute='address') }}"
    image: /var/tmp/qvr-7.6.0.bin
    password: "{{ vault_qvr_password }}"
  delegate_to: "{{ qvr_jump_host }}"
'''

RETURN = r'''
devices:
  description: The devices found, sorted by address.
  returned: always
  type: list
  elements: dict
  sample:
    - {address: 10.1.0.13, serial_number: QA1B2C3, mac_address: "00:1A:2B:3C:4D:5E", software_version: 7.5.5,
       hardware_version: "2.0", product_name: QVR-6200, needs_password: false}
ansible_facts:
  description: The same list as the fact qvr_devices.
  returned: always
  type: dict
'''

import json

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec=dict(
            ranges=dict(type="list", elements="str", required=True),
            user=dict(type="str"),
            password=dict(type="str", no_log=True),
            http_timeout=dict(type="float"),
            parallel=dict(type="int"),
            executable=dict(type="str", default="qvr-upgrade"),
        ),
        supports_check_mode=True,
    )
    p = module.params
    argv = [p["executable"], "scan", "--json"]
    if p["user"] is not None:
        argv += ["--user", p["user"]]
    if p["http_timeout"] is not None:
        argv += ["--http-timeout", ("%.3f" % p["http_timeout"]).rstrip("0").rstrip(".")]
    if p["parallel"] is not None:
        argv += ["--parallel", str(p["parallel"])]
    environ = {} if p["password"] is None else {"QVR_PASSWORD": p["password"]}
    rc, out, err = module.run_command(argv + ["--"] + p["ranges"], environ_update=environ, check_rc=False)
    try:
        devices = [json.loads(line) for line in out.splitlines() if line.strip()]
    except ValueError:
        devices = None
    # Exit code 1 with nothing printed means no device answered: an answer, not a failure.
    if devices is None or rc not in (0, 1) or (rc == 1 and devices):
        module.fail_json(msg="qvr-upgrade scan failed (exit code %d): %s" % (rc, err.strip() or out.strip()),
                         rc=rc, stderr=err)
    module.exit_json(changed=False, devices=devices, ansible_facts=dict(qvr_devices=devices))


if __name__ == "__main__":
    main()
