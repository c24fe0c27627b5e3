"""Benchmark, run inside the lab (tools/lab/lab.sh) by wine_tftp_bench.sh: the
shipped staged-upgrader under Wine serving the 4,309,491-byte sample image
across the namespaces' veth link to the simulated device, the shipped
recovery-upgrader serving the same image in recovery mode (OACK and DATA to
the multicast group 234.4.8.10, ACKs back by unicast), and tftpd-hpa serving
the same file on the same link to the same client in the same run.

    bench/wine_tftp_bench.sh                  # see bench/README.md
    QVR_BENCH_RUNS=7 bench/wine_tftp_bench.sh

The figure is measured on the device side: from the device's RRQ to its last
ACK (tftp_client's transfer_seconds).  Runs rotate: the staged-upgrader,
the recovery-upgrader, tftpd-hpa.  A Wine run walks the program up to the
upload (a recovery through its discovery by serial number), lets the
transfer finish, then cancels the update wait.  Prints each run, the medians
and the ratios of each Wine transfer to tftpd-hpa's (target: 4.5 or less for
both).  The figures are also written as JSON to
build/e2e-run/wine-tftp-bench.json.
"""
import json
import os
import shutil
import statistics
import subprocess
import time
import urllib.request

from recovery_flow import RecoveryWalk
from upgrade_flow import (DEVICE_ADDRESS, PC_ADDRESS, RECOVERY, SAMPLE_IMAGE, STAGED, SimDevice, Walk,
                          device_options, image_bytes, log_dir)
from wine import Lab

RUNS = int(os.environ.get("QVR_BENCH_RUNS", "5"))
HPA_PORT = 1069
HPA_NAME = "qvrbench.bi1"
TARGET_RATIO = 4.5
TRANSFER_BOUND_S = 600
SERIAL = "AB12CD"
SERVERS = ("wine", "recovery", "tftpd-hpa")


def say(line):
    print(f"wine-tftp-bench: {line}", flush=True)


def start_tftpd_hpa(directory):
    os.makedirs(directory, exist_ok=True)
    os.chmod(directory, 0o755)
    served = os.path.join(directory, HPA_NAME)
    shutil.copyfile(SAMPLE_IMAGE, served)
    os.chmod(served, 0o644)
    log = open(os.path.join(log_dir(), "bench-in.tftpd.log"), "wb")
    return subprocess.Popen(["/usr/sbin/in.tftpd", "--foreground", "--address", f"{PC_ADDRESS}:{HPA_PORT}",
                             "--secure", directory], stdout=log, stderr=subprocess.STDOUT)


def transfer_then_cancel(walk, program, device, number):
    """From the confirm dialog: the transfer to its end, then Cancel in the
    update wait; returns the device's record of the transfer."""
    walk.confirm()
    tftp = device.wait_event("tftp", number, timeout=TRANSFER_BOUND_S)[number - 1]
    walk.wait_transfer(size=len(image_bytes(SAMPLE_IMAGE)))
    walk.cancel_update_wait()
    outcome = walk.wait_outcome()
    assert outcome == ("error", "Upgrade Failed: User Abort"), outcome
    assert program.wait_exit() == 0
    program.kill()
    return tftp


def wine_run(driver, run_program, device, number):
    program = run_program(STAGED)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
    walk.enter_address()
    return transfer_then_cancel(walk, program, device, number)


def recovery_run(driver, run_program, device, number):
    program = run_program(RECOVERY)
    walk = RecoveryWalk(driver, program, "QVR7x7g", "7.5.6a")
    walk.open_recovery_dialog()
    walk.enter_serial(SERIAL)
    assert walk.discovery()[0] == "confirm"
    tftp = transfer_then_cancel(walk, program, device, number)
    assert tftp["arrived_to"]["unicast"] == 0, "recovery data must come to the group"
    return tftp


def hpa_run(device, number):
    url = f"http://{DEVICE_ADDRESS}/admin/upgrade?tftp://{PC_ADDRESS}:{HPA_PORT}/{HPA_NAME}"
    with urllib.request.urlopen(url, timeout=10) as answer:
        assert answer.status == 200
    return device.wait_event("tftp", number, timeout=TRANSFER_BOUND_S)[number - 1]


def bench(driver, run_program, device_ns):
    size = len(image_bytes(SAMPLE_IMAGE))
    device = SimDevice(device_ns, "bench", device_options([SAMPLE_IMAGE], "--install-delay", "0",
                                                         "--recovery", "--serial-number", SERIAL,
                                                         password=None))
    hpa = start_tftpd_hpa(os.path.join(os.environ.get("QVR_E2E_RUN_DIR", "/tmp"), "tftpboot"))
    figures = {who: [] for who in SERVERS}
    try:
        time.sleep(0.2)
        assert hpa.poll() is None, "in.tftpd did not start"
        number = 0
        for run in range(1, RUNS + 1):
            for who in SERVERS:
                number += 1
                if who == "wine":
                    tftp = wine_run(driver, run_program, device, number)
                elif who == "recovery":
                    tftp = recovery_run(driver, run_program, device, number)
                else:
                    tftp = hpa_run(device, number)
                assert tftp["ok"] and tftp["bytes"] == size, tftp["error"]
                figures[who].append(tftp["transfer_seconds"])
                say(f"run {run} {who:9s} {tftp['transfer_seconds']:8.3f} s  "
                    f"({size / tftp['transfer_seconds'] / 1e6:.2f} MB/s, "
                    f"{tftp['duplicates_received']} repeated blocks; answers over 2 ms: "
                    f"{tftp['answer_ms']['over_2']}, {tftp['answer_ms']['total_over_2'] / 1000:.3f} s in all, "
                    f"longest {tftp['answer_ms']['max']:.1f} ms)")
    finally:
        hpa.kill()
        hpa.wait(timeout=10)

    wine = statistics.median(figures["wine"])
    recovery = statistics.median(figures["recovery"])
    theirs = statistics.median(figures["tftpd-hpa"])
    ratio = wine / theirs
    recovery_ratio = recovery / theirs
    say(f"{size} bytes, {RUNS} runs each, RRQ to last ACK on the device side")
    say(f"median wine (staged-upgrader.exe) {wine:.3f} s, wine recovery (recovery-upgrader.exe, multicast) "
        f"{recovery:.3f} s, tftpd-hpa {theirs:.3f} s")
    say(f"ratio wine/tftpd-hpa {ratio:.2f}, recovery/tftpd-hpa {recovery_ratio:.2f} (target <= {TARGET_RATIO})")
    with open(os.path.join(os.environ.get("QVR_E2E_RUN_DIR", "."), "wine-tftp-bench.json"), "w") as f:
        json.dump({"bytes": size, "runs": figures, "median_wine": wine, "median_recovery": recovery,
                   "median_tftpd_hpa": theirs, "ratio": ratio, "recovery_ratio": recovery_ratio,
                   "target": TARGET_RATIO}, f, indent=1)


if __name__ == "__main__":
    with Lab("bench") as lab:
        bench(lab.driver, lab.run_program, lab.device_ns)
