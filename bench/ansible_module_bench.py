#!/usr/bin/env python3
"""What the Ansible module qvr.firmware.qvr_upgrade adds to a run of
qvr-upgrade on the same devices.

    /usr/bin/python3 bench/ansible_module_bench.py [--runs 5] [--devices 3]

Needs root (a private network namespace, loopback only) and ansible-core.
Builds and installs the collection into a temporary folder, starts
simulated devices on 127.0.0.2, ... (port 80, Digest, installing in 0.2 s)
and alternates, --runs times each: `qvr-upgrade upgrade --reinstall
--update-wait 0.5 --json --yes` called directly, and the same upgrade as one
qvr_upgrade task of a playbook (hosts: localhost, connection: local).
Prints every run and the medians of: the direct run, the task (the json
callback's start and end of the task) and the whole ansible-playbook
process; the task's overhead is task minus direct (target under 1 s).  It
decides nothing.  QVR_BUILD_DIR picks the build (default build/native).
"""
import argparse
import datetime
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "integration" / "ansible"))
from ansible_lab import CLI, PASSWORD, PC, AnsibleLab, install_collection, make_image  # noqa: E402

OPTIONS = {"reinstall": True, "update_wait": 0.5, "http_timeout": 3, "pc_address": PC}


def seconds_between(start, end):
    parse = datetime.datetime.fromisoformat
    return (parse(end.rstrip("Z")) - parse(start.rstrip("Z"))).total_seconds()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--devices", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        lab = AnsibleLab(folder, install_collection(folder / "collection"))
        try:
            image = make_image(folder, "7.6.0", size=20000)
            addresses = [f"127.0.0.{n}" for n in range(2, 2 + args.devices)]
            for address in addresses:
                lab.device(address)
            task = {"qvr.firmware.qvr_upgrade": {"devices": addresses, "image": str(image), **OPTIONS}}
            direct_argv = [str(CLI), "upgrade", *addresses, "--image", str(image), "--reinstall", "--update-wait",
                           "0.5", "--http-timeout", "3", "--pc-address", PC, "--json", "--yes"]
            direct, tasks, whole = [], [], []
            for run in range(1, args.runs + 1):
                began = time.monotonic()
                proc = lab.net.popen(direct_argv, env={**lab.env, "QVR_PASSWORD": PASSWORD},
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                proc.communicate(timeout=120)
                direct.append(time.monotonic() - began)
                began = time.monotonic()
                code, document, _ = lab.playbook([task])
                whole.append(time.monotonic() - began)
                duration = document["plays"][0]["tasks"][0]["task"]["duration"]
                tasks.append(seconds_between(duration["start"], duration["end"]))
                print(f"run {run}: direct {direct[-1]:.2f} s (exit {proc.returncode}), task {tasks[-1]:.2f} s, "
                      f"ansible-playbook {whole[-1]:.2f} s (exit {code})")
            d, t, w = (statistics.median(x) for x in (direct, tasks, whole))
            print(f"medians, {args.devices} devices: direct {d:.2f} s, task {t:.2f} s, ansible-playbook {w:.2f} s")
            print(f"the module's overhead: {t - d:.2f} s a task (target under 1 s); "
                  f"the whole ansible-playbook process adds {w - d:.2f} s")
        finally:
            lab.close()


if __name__ == "__main__":
    main()
