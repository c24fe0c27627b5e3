#!/usr/bin/python
# -*- coding: utf-8 -*-
# Upgrades QVR devices by running qvr-upgrade on the host the task runs on
# (a jump host on the devices' LAN: the TFTP transfer starts there).
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: qvr_upgrade
short_description: Upgrade the firmware of QVR devices with qvr-upgrade
description:
  - Runs C(qvr-upgrade upgrade --json --yes) on the target host for a list of devices or an inventory file
    and returns one record per device.
  - The target host must be on the devices' LAN; the devices fetch the image from it by TFTP.
  - A device that already runs the image's version is left alone unless I(reinstall) is set.
  - The password reaches C(qvr-upgrade) through its environment (QVR_PASSWORD), never its command line.
options:
  devices:
    description: IPv4 addresses of the devices.
    type: list
    elements: str
  inventory:
    description: A file on the target host with more devices, one a line (what M(qvr.firmware.qvr_scan)'s
      C(qvr-upgrade scan --json) prints will do).
    type: path
  image:
    description: The firmware image on the target host.
    type: path
    required: true
  transition:
    description: A transition image served to each device before I(image).
    type: path
  parallel:
    description: At most this many devices at once (1 to 64; the program's default is 8).
    type: int
  max_fail:
    description: Once this many devices have failed no other device starts; the rest are not-started.
    type: int
  reinstall:
    description: Also upgrade a device that already runs the image's version.
    type: bool
    default: false
  user:
    description: The devices' administrator user name (the program's default is admin).
    type: str
  password:
    description: The devices' administrator password. Without it the program takes QVR_PASSWORD from the
      task's environment.
    type: str
  http_timeout:
    description: Seconds each HTTP exchange with a device may take (the program's default is 30).
    type: float
  update_wait:
    description: Seconds to wait while a device installs, instead of the product's own time.
    type: float
  tftp_port:
    description: Serve the image on this port only (from 1024 up when the program may not bind port 69).
    type: int
  pc_address:
    description: The target host's address on the devices' LAN.
    type: str
  executable:
    description: The qvr-upgrade program, a path or a name looked up on PATH.
    type: str
    default: qvr-upgrade
notes:
  - Check mode runs C(qvr-upgrade upgrade --check), which sends the devices nothing but status requests,
    and reports changed when a device would be upgraded.
  - The task fails when any device failed, was not started or was interrupted; msg names each such
    device's address and the program's text.
requirements:
  - qvr-upgrade on the target host
author:
  - QVR firmware tools developers
'''

EXAMPLES = r'''
- name: Upgrade the site's cameras from its jump host, two at a time
  qvr.firmware.qvr_upgrade:
    devices: "{{ qvr_devices }}"
    image: /var/tmp/qvr-7.6.0.bin
    parallel: 2
    password: "{{ vault_qvr_password }}"
  delegate_to: "{{ qvr_jump_host }}"
  register: upgraded

- name: Only see which devices would be upgraded
  qvr.firmware.qvr_upgrade:
    inventory: /etc/qvr/devices.txt
    image: /var/tmp/qvr-7.6.0.bin
    password: "{{ vault_qvr_password }}"
  check_mode: true
'''

RETURN = r'''
devices:
  description: One record per device, as qvr-upgrade printed it, in the order the devices ended.
  returned: when the program ran
  type: list
  elements: dict
  sample:
    - {address: 10.1.0.13, result: passed, image_version: 7.6.0, bytes: 4309491, seconds: 41.2,
       identity_before: {software_version: 7.5.5}, identity_after: {software_version: 7.6.0}}
    - {address: 10.1.0.14, result: failed, phase: command, error: "the device refused the command"}
rc:
  description: The program's exit code (0 all passed or up to date, 1 otherwise, 2 usage).
  returned: when the program ran
  type: int
stderr:
  description: The program's standard error (its table and notices).
  returned: when the program ran
  type: str
'''

import json

from ansible.module_utils.basic import AnsibleModule

# The results that leave a device not upgraded although it should have been.
FAILED = ("failed", "not-started", "interrupted")


def seconds_text(value):
    """A number of seconds as the program reads it: a decimal, no exponent."""
    return ("%.3f" % value).rstrip("0").rstrip(".")


def command_line(params, check_mode):
    p = params
    argv = [p["executable"], "upgrade", "--json", "--yes", "--image", p["image"]]
    for option, name in (("--inventory", "inventory"), ("--transition", "transition"), ("--user", "user"),
                         ("--pc-address", "pc_address"), ("--parallel", "parallel"),
                         ("--max-fail", "max_fail"), ("--tftp-port", "tftp_port")):
        if p[name] is not None:
            argv += [option, str(p[name])]
    for option, name in (("--http-timeout", "http_timeout"), ("--update-wait", "update_wait")):
        if p[name] is not None:
            argv += [option, seconds_text(p[name])]
    if p["reinstall"]:
        argv.append("--reinstall")
    if check_mode:
        argv.append("--check")
    # After "--" an address is never taken for an option.
    return argv + ["--"] + list(p["devices"] or [])


def records(out):
    """The JSON objects of standard output, or None when a line is not one."""
    found = []
    for line in out.splitlines():
        if line.strip():
            try:
                found.append(json.loads(line))
            except ValueError:
                return None
    return found


def main():
    module = AnsibleModule(
        argument_spec=dict(
            devices=dict(type="list", elements="str"),
            inventory=dict(type="path"),
            image=dict(type="path", required=True),
            transition=dict(type="path"),
            parallel=dict(type="int"),
            max_fail=dict(type="int"),
            reinstall=dict(type="bool", default=False),
            user=dict(type="str"),
            password=dict(type="str", no_log=True),
            http_timeout=dict(type="float"),
            update_wait=dict(type="float"),
            tftp_port=dict(type="int"),
            pc_address=dict(type="str"),
            executable=dict(type="str", default="qvr-upgrade"),
        ),
        required_one_of=[("devices", "inventory")],
        supports_check_mode=True,
    )
    environ = {}
    if module.params["password"] is not None:
        environ["QVR_PASSWORD"] = module.params["password"]
    rc, out, err = module.run_command(command_line(module.params, module.check_mode),
                                      environ_update=environ, check_rc=False)
    devices = records(out)
    if devices is None or rc not in (0, 1):
        module.fail_json(msg="qvr-upgrade failed (exit code %d): %s" % (rc, err.strip() or out.strip()),
                         rc=rc, stderr=err, devices=devices or [])
    failures = [d for d in devices if d.get("result") in FAILED]
    changed = any(d.get("result") == ("would-upgrade" if module.check_mode else "passed") for d in devices)
    if failures or rc != 0:
        texts = ["%s: %s" % (d.get("address"), d.get("error") or d.get("result")) for d in failures]
        msg = "%d of %d devices failed: %s" % (len(failures), len(devices), "; ".join(texts)) if failures \
            else "qvr-upgrade failed (exit code %d): %s" % (rc, err.strip())
        module.fail_json(msg=msg, changed=changed, devices=devices, rc=rc, stderr=err)
    module.exit_json(changed=changed, devices=devices, rc=rc, stderr=err)


if __name__ == "__main__":
    main()
