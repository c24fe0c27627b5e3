#!/usr/bin/env python3
"""The lab's jobs: whole runs of the shipped programs against the simulated
device, as a user would make them, one line printed per dialog met.  They
run inside the lab (tools/lab/lab.sh), without a test runner:

    tools/lab/lab.sh /usr/bin/python3 tools/lab/jobs.py upgrade     # scripts/run
    tools/lab/lab.sh /usr/bin/python3 tools/lab/jobs.py recovery    # scripts/run --recovery
    tools/lab/lab.sh --own-display /usr/bin/python3 tools/lab/jobs.py by-hand [recovery]

``upgrade``: the staged-upgrader walked through a whole upgrade (password,
confirmation, the TFTP transfer of the sample image, the device's 115 s
update wait, the success dialog).  ``recovery``: the recovery-upgrader
finding the device by its serial number over multicast and restoring it.
``by-hand``: the same device and LAN, the program on the person's own
display, nothing clicked for them; it says what to enter first and what the
device received at the end.  The end-to-end tests run upgrade_job and
recovery_job too, and check more.  Exit code 0 when the job ended as it
should.
"""
import sys
import time
from dataclasses import dataclass

from recovery_flow import RecoveryWalk, recovery_options
from upgrade_flow import (PASSWORD, RECOVERY, SAMPLE_IMAGE, STAGED, SimDevice, Walk, device_options,
                          image_bytes)
from wine import Lab

SERIAL = "AB12CD"
NOTICE_TITLE = "QVR7x7g Firmware Upgrade"
NOTICE_TEXT_ID = 1021
BY_HAND_BOUND_S = 3600


@dataclass
class JobResult:
    device: SimDevice
    tftp: dict
    outcome: str      # "success" or "error"
    version: str      # the version shown, or the failure's text
    code: int         # the program's exit code
    walk: Walk = None

    def passed(self):
        return self.tftp["ok"] and self.outcome == "success" and self.code == 0


def finish_job(device, program, walk, say, done, what):
    """From the confirmation on: the transfer of the sample image, the
    outcome dialog and the program's end, each said in a line."""
    walk.wait_transfer(size=len(image_bytes(SAMPLE_IMAGE)))
    [tftp] = device.wait_event("tftp")
    where = f" from the group {tftp['group']}" if tftp.get("group") else ""
    say(f"the device fetched {tftp['bytes']} bytes by TFTP ({tftp['name']}){where}, "
        f"{'every byte as expected' if tftp['ok'] else tftp['error']}")
    outcome, version = walk.wait_outcome()
    code = program.wait_exit()
    say(f"the program ended with exit code {code}")
    say(f"{done} to version {version}" if outcome == "success" else f"{what} failed: {version}")
    return JobResult(device, tftp, outcome, version, code, walk)


def upgrade_job(driver, run_program, device_ns, say, name="main-job"):
    device = SimDevice(device_ns, name, device_options([SAMPLE_IMAGE], "--install-delay", "5",
                                                       "--silent-while-installing"))
    say("simulated device at 10.77.0.2 (Digest password, status page reports 7.5.5)")
    program = run_program(STAGED)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a", say=say)
    driver.wait_dialog(NOTICE_TITLE)
    walk.enter_address()
    walk.give_password()
    walk.confirm()
    return finish_job(device, program, walk, say, "upgraded", "upgrade")


def recovery_job(driver, run_program, device_ns, say, name="recovery-job"):
    # The device answers from the second discover on: the connecting dialog
    # stays up for a whole send cycle.
    device = SimDevice(device_ns, name,
                       recovery_options(SERIAL, [SAMPLE_IMAGE], "--recovery-answer-from", "2",
                                        "--install-delay", "3", "--silent-while-installing"))
    say(f"simulated device with serial number {SERIAL} at 10.77.0.2, in recovery (firmware 7.5.5)")
    program = run_program(RECOVERY)
    walk = RecoveryWalk(driver, program, "QVR7x7g", "7.5.6a", say=say)
    walk.dialog_texts = walk.open_recovery_dialog()
    walk.entered = walk.enter_serial(SERIAL.lower())
    found = walk.discovery()
    if found[0] != "confirm":
        code = program.wait_exit()
        say(f"recovery failed: {found[1] or 'the program ended'} (exit code {code})")
        return JobResult(device, {"ok": False, "error": "no transfer"}, "error", found[1] or "", code, walk)
    walk.confirm()
    return finish_job(device, program, walk, say, "recovered", "recovery")


def by_hand(lab, recovery):
    """The program on the person's display; they click through it."""
    if recovery:
        device = SimDevice(lab.device_ns, "by-hand", recovery_options(SERIAL, [SAMPLE_IMAGE], "--install-delay", "5"))
        print("by hand: the recovery-upgrader opens on your display. A simulated device in recovery mode is on "
              "the private LAN (10.77.0.2).")
        print(f"by hand: choose \"Recover Firmware\", type the serial number {SERIAL}, keep the PC address "
              "10.77.0.1, press Continue, then Upgrade.")
        program = lab.run_program(RECOVERY)
    else:
        device = SimDevice(lab.device_ns, "by-hand", device_options([SAMPLE_IMAGE], "--install-delay", "5"))
        print("by hand: the staged-upgrader opens on your display. A simulated device is on the private LAN.")
        print(f"by hand: device address 10.77.0.2, PC address 10.77.0.1, user admin, password {PASSWORD}.")
        program = lab.run_program(STAGED)
    print("by hand: the device installs for 5 s; the program's own update wait is about two minutes.", flush=True)
    deadline = time.monotonic() + BY_HAND_BOUND_S
    while program.running() and time.monotonic() < deadline:
        time.sleep(1)
    code = program.wait_exit(timeout=10)
    print(f"by hand: the program ended with exit code {code}")
    fetches = device.events("tftp")
    if not fetches:
        print("by hand: the device fetched nothing")
    for tftp in fetches:
        print(f"by hand: the device received {tftp['bytes']} bytes as {tftp['name']}: "
              f"{'every byte right' if tftp['ok'] else tftp['error']}")
    installed = device.events("installed")
    print(f"by hand: the device now reports version {installed[-1]['version']}" if installed
          else "by hand: the device installed nothing and still reports 7.5.5")
    return bool(installed)


def main(argv):
    if len(argv) < 2 or argv[1] not in ("upgrade", "recovery", "by-hand"):
        print("usage: jobs.py upgrade|recovery|by-hand [recovery]", file=sys.stderr)
        return 2
    if argv[1] == "by-hand":
        with Lab("by-hand", driver=False) as lab:
            return 0 if by_hand(lab, recovery=argv[2:] == ["recovery"]) else 1
    prefix = "main job" if argv[1] == "upgrade" else "recovery job"

    def say(line):
        print(f"{prefix}: {line}", flush=True)

    job = upgrade_job if argv[1] == "upgrade" else recovery_job
    with Lab(prefix.replace(" ", "-")) as lab:
        result = job(lab.driver, lab.run_program, lab.device_ns, say)
    return 0 if result.passed() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
