"""Benchmark, run inside the lab (tools/lab/lab.sh) by wine_tftp_bench.sh: the
shipped staged-upgrader under Wine serving the 4,309,491-byte sample image
across the namespaces' veth link to the simulated device, the shipped
recovery-upgrader serving the same image in recovery mode (OACK and DATA to
the multicast group 234.4.8.10, ACKs back by unicast), the floor of both
(tools/tftp_floor: the same packets from a bare Winsock loop under the same
Wine, unicast and to the group) and tftpd-hpa serving the same file on the
same link to the same client in the same run.

    bench/wine_tftp_bench.sh                  # see bench/README.md
    QVR_BENCH_RUNS=7 bench/wine_tftp_bench.sh
    QVR_BENCH_IDLE=0 bench/wine_tftp_bench.sh # without the idle-cost samples

The figure is measured on the device side: from the device's RRQ to its last
ACK (tftp_client's transfer_seconds); from the same log, the time from the
RRQ to the server's first answer (the OACK) and the mean time per block
after it.  Runs rotate: the staged-upgrader, the floor, the
recovery-upgrader, the floor to the group, tftpd-hpa.  A program's run walks
it up to the upload (a recovery through its discovery by serial number),
lets the transfer finish, then cancels the update wait.  Prints each run,
the medians, the ratios of each program to tftpd-hpa's and to its floor.

Then the idle cost: the staged-upgrader's process and wineserver, CPU time
read from /proc over 20 s, once in the waiting dialog with a device that
takes the upgrade command and never asks for the file, once in the update
wait.  The load average is printed beside the figures.  Everything is also
written as JSON to build/e2e-run/wine-tftp-bench.json.
"""
import json
import os
import shutil
import socket
import statistics
import subprocess
import time
import urllib.request

from recovery_flow import RECOVERY_UPGRADE, RecoveryWalk
from upgrade_flow import (DEVICE_ADDRESS, PC_ADDRESS, RECOVERY, SAMPLE_IMAGE, STAGED, WAITING_TITLE, SimDevice,
                          Walk, device_options, image_bytes, log_dir)
from wine import Lab

RUNS = int(os.environ.get("QVR_BENCH_RUNS", "5"))
# Another build's folder of programs (QVR_BENCH_BASELINE_BIN=<folder>): its
# staged-upgrader and recovery-upgrader join the rotation, so two builds are compared in the same
# run, next to each other, whatever else the machine does.
BASELINE_BIN = os.environ.get("QVR_BENCH_BASELINE_BIN", "")
IDLE = os.environ.get("QVR_BENCH_IDLE", "1") != "0"
HPA_PORT = 1069
HPA_NAME = "qvrbench.bi1"
FLOOR = "tftp_floor.exe"
FLOOR_PORT = 1070
FLOOR_NAME = "/qvrfloor.bi1"
GROUP = "234.4.8.10"
RECOVERY_DEVICE_PORT = 4810
TRANSFER_BOUND_S = 600
START_BOUND_S = 60
IDLE_SAMPLE_S = 20
SERIAL = "AB12CD"
# In rotation order; each program is followed by its floor.
SERVERS = (("wine", "floor", "recovery", "floor-multicast", "tftpd-hpa")
           + (("baseline", "baseline-recovery") if BASELINE_BIN else ()))
# QVR_BENCH_SERVERS=wine,baseline: only these (a quick A/B of two builds).
if os.environ.get("QVR_BENCH_SERVERS"):
    SERVERS = tuple(who for who in SERVERS if who in os.environ["QVR_BENCH_SERVERS"].split(","))
TARGETS = {"floor_ratio": 1.05, "first_answer_ms": 5.0, "idle_core_share": 0.05}


def say(line):
    print(f"wine-tftp-bench: {line}", flush=True)


def load_average():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


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


def wine_run(driver, run_program, device, number, program_name=STAGED):
    program = run_program(program_name)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
    walk.enter_address()
    return transfer_then_cancel(walk, program, device, number)


def recovery_run(driver, run_program, device, number, path=RECOVERY):
    program = run_program(path)
    walk = RecoveryWalk(driver, program, "QVR7x7g", "7.5.6a")
    walk.open_recovery_dialog()
    walk.enter_serial(SERIAL)
    assert walk.discovery()[0] == "confirm"
    tftp = transfer_then_cancel(walk, program, device, number)
    assert tftp["arrived_to"]["unicast"] == 0, "recovery data must come to the group"
    return tftp


def ask_device_to_fetch(port, name):
    """The device's upgrade command over HTTP: fetch `name` from the PC."""
    url = f"http://{DEVICE_ADDRESS}/admin/upgrade?tftp://{PC_ADDRESS}:{port}{name}"
    with urllib.request.urlopen(url, timeout=10) as answer:
        assert answer.status == 200


def ask_device_to_recover(port, name):
    """The recovery exchange's upgrade message to the group, from the PC
    address: the device then fetches `name` and takes the data from the
    group.  Its reply is not waited for; the fetch shows in its log."""
    message = bytearray(160)
    message[0] = RECOVERY_UPGRADE
    message[4:8] = b"RECM"
    message[8:8 + len(SERIAL)] = SERIAL.encode()
    message[28:30] = port.to_bytes(2, "big")
    message[32:32 + len(name)] = name.encode()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((PC_ADDRESS, 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(PC_ADDRESS))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        s.sendto(bytes(message), (GROUP, RECOVERY_DEVICE_PORT))


def wait_log_line(program, prefix, bound_s):
    deadline = time.monotonic() + bound_s
    while time.monotonic() < deadline:
        with open(program.log_path, "rb") as f:
            for line in f.read().decode("latin-1").splitlines():
                if line.startswith(prefix):
                    return line
        if not program.running():
            break
        time.sleep(0.05)
    raise AssertionError(f"{FLOOR} did not print {prefix!r} (see {program.log_path})")


def floor_run(run_program, device, number, multicast):
    args = [PC_ADDRESS, str(FLOOR_PORT), "Z:" + SAMPLE_IMAGE] + ([GROUP] if multicast else [])
    program = run_program(FLOOR, args)
    try:
        wait_log_line(program, "ready", START_BOUND_S)
        # A name of its own per run: the device answers a repeat of a
        # recovery command from the last 15 s without fetching again, and a
        # short rotation (QVR_BENCH_SERVERS) comes back that soon.
        name = FLOOR_NAME.replace(".", f"{number}.", 1)
        if multicast:
            ask_device_to_recover(FLOOR_PORT, name)
        else:
            ask_device_to_fetch(FLOOR_PORT, name)
        tftp = device.wait_event("tftp", number, timeout=TRANSFER_BOUND_S)[number - 1]
        wait_log_line(program, "done", TRANSFER_BOUND_S)
        assert program.wait_exit() == 0
    finally:
        program.kill()
    if multicast:
        assert tftp["arrived_to"]["unicast"] == 0, "the floor's multicast data must come to the group"
    return tftp


def hpa_run(device, number):
    ask_device_to_fetch(HPA_PORT, "/" + HPA_NAME)
    return device.wait_event("tftp", number, timeout=TRANSFER_BOUND_S)[number - 1]


def per_block_ms(tftp):
    """Mean time per block after the first answer, in ms."""
    return (tftp["transfer_seconds"] - tftp["first_answer_seconds"]) * 1000.0 / tftp["blocks"]


# -- idle cost -----------------------------------------------------------------

def processes_named(prefix):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                if f.read().strip().startswith(prefix):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime: the whole process's threads
        except OSError:
            pass
    return total / os.sysconf("SC_CLK_TCK")


def core_share(program_prefix):
    """The share of one core that the program and wineserver take over
    IDLE_SAMPLE_S seconds, from /proc; nothing else is asked of Wine
    meanwhile (the driver waits)."""
    ours, server = processes_named(program_prefix), processes_named("wineserver")
    assert ours and server, f"program or wineserver not found: {ours} {server}"
    before, t0 = (cpu_seconds(ours), cpu_seconds(server)), time.monotonic()
    time.sleep(IDLE_SAMPLE_S)
    after, t1 = (cpu_seconds(ours), cpu_seconds(server)), time.monotonic()
    # Both, then each: wineserver also serves the prefix's other processes
    # (the UI driver, the services), so its part is not all ours.
    parts = [(a - b) / (t1 - t0) for a, b in zip(after, before)]
    return sum(parts), parts


def idle_waiting_dialog(driver, run_program, device_ns):
    """The waiting dialog of a staged-upgrader whose device took the
    upgrade command and never asks for the file."""
    device = SimDevice(device_ns, "bench-idle", device_options([SAMPLE_IMAGE], "--no-fetch", password=None))
    try:
        program = run_program(STAGED)
        walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
        walk.enter_address()
        walk.confirm()
        driver.wait_dialog(WAITING_TITLE, screenshot=False)
        device.wait_event("upgrade", 1)
        load = load_average()
        share, parts = core_share("staged-upgrade")
        driver.click(WAITING_TITLE, 2)
        assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
        assert program.wait_exit() == 0
        program.kill()
    finally:
        device.stop()
    return share, parts, load


def idle_update_wait(driver, run_program, device, number):
    """The update wait after a transfer."""
    program = run_program(STAGED)
    walk = Walk(driver, program, "staged", "QVR7x7g", "7.5.6a")
    walk.enter_address()
    walk.confirm()
    device.wait_event("tftp", number, timeout=TRANSFER_BOUND_S)
    walk.wait_transfer(size=len(image_bytes(SAMPLE_IMAGE)))
    load = load_average()
    share, parts = core_share("staged-upgrade")
    walk.cancel_update_wait()
    assert walk.wait_outcome() == ("error", "Upgrade Failed: User Abort")
    assert program.wait_exit() == 0
    program.kill()
    return share, parts, load


# -- the whole bench -----------------------------------------------------------

def bench(driver, run_program, device_ns):
    size = len(image_bytes(SAMPLE_IMAGE))
    idle = {}
    if IDLE:
        share, parts, load = idle_waiting_dialog(driver, run_program, device_ns)
        idle["waiting_dialog"] = {"core_share": share, "program": parts[0], "wineserver": parts[1], "load": load}
        say(f"idle: waiting dialog, staged-upgrader + wineserver {share * 100:.1f}% of one core "
            f"({parts[0] * 100:.1f} + {parts[1] * 100:.1f}) over "
            f"{IDLE_SAMPLE_S} s (load {load})")
    device = SimDevice(device_ns, "bench", device_options([SAMPLE_IMAGE], "--install-delay", "0",
                                                         "--recovery", "--serial-number", SERIAL,
                                                         password=None))
    hpa = start_tftpd_hpa(os.path.join(os.environ.get("QVR_E2E_RUN_DIR", "/tmp"), "tftpboot"))
    records = {who: [] for who in SERVERS}
    try:
        time.sleep(0.2)
        assert hpa.poll() is None, "in.tftpd did not start"
        number = 0
        for run in range(1, RUNS + 1):
            for who in SERVERS:
                number += 1
                if who == "wine":
                    tftp = wine_run(driver, run_program, device, number)
                elif who == "baseline":
                    tftp = wine_run(driver, run_program, device, number, os.path.join(BASELINE_BIN, STAGED))
                elif who == "recovery":
                    tftp = recovery_run(driver, run_program, device, number)
                elif who == "baseline-recovery":
                    tftp = recovery_run(driver, run_program, device, number, os.path.join(BASELINE_BIN, RECOVERY))
                elif who.startswith("floor"):
                    tftp = floor_run(run_program, device, number, multicast=who == "floor-multicast")
                else:
                    tftp = hpa_run(device, number)
                assert tftp["ok"] and tftp["bytes"] == size, tftp["error"]
                # The device is busy until it has installed what it took, and
                # refuses the next command meanwhile.
                device.wait_event("installed", number, timeout=START_BOUND_S)
                tftp["load"] = load_average()
                records[who].append(tftp)
                say(f"run {run} {who:15s} {tftp['transfer_seconds']:7.3f} s  "
                    f"RRQ->OACK {tftp['first_answer_seconds'] * 1000:6.1f} ms  "
                    f"{per_block_ms(tftp) * 1000:5.0f} us/block  "
                    f"({tftp['duplicates_received']} repeated; answers over 2 ms: "
                    f"{tftp['answer_ms']['over_2']} for {tftp['answer_ms']['total_over_2']:.0f} ms; slowest "
                    + " ".join(f"#{block}:{ms:.1f}" for block, ms in tftp["answer_ms"].get("slowest", []))
                    + f")  load {tftp['load']}")
        if IDLE:
            number += 1
            share, parts, load = idle_update_wait(driver, run_program, device, number)
            idle["update_wait"] = {"core_share": share, "program": parts[0], "wineserver": parts[1], "load": load}
            say(f"idle: update wait, staged-upgrader + wineserver {share * 100:.1f}% of one core "
            f"({parts[0] * 100:.1f} + {parts[1] * 100:.1f}) over "
                f"{IDLE_SAMPLE_S} s (load {load})")
    finally:
        hpa.kill()
        hpa.wait(timeout=10)

    def median(who, key):
        return statistics.median(key(r) for r in records[who])

    summary = {}
    for who in SERVERS:
        summary[who] = {"seconds": median(who, lambda r: r["transfer_seconds"]),
                        "first_answer_ms": median(who, lambda r: r["first_answer_seconds"] * 1000),
                        "per_block_us": median(who, lambda r: per_block_ms(r) * 1000),
                        "stalls_ms": median(who, lambda r: r["answer_ms"]["total_over_2"])}
    hpa_s = summary["tftpd-hpa"]["seconds"] if "tftpd-hpa" in summary else float("nan")
    say(f"{size} bytes, {RUNS} runs each, RRQ to last ACK on the device side; medians "
        f"(load average now {load_average()}; each run's is printed above)")
    pairs = (("wine", "floor"), ("recovery", "floor-multicast"),
             ("baseline", "floor"), ("baseline-recovery", "floor-multicast"))
    for who, floor in pairs:
        if who not in summary or floor not in summary:
            continue
        ours, theirs = summary[who], summary[floor]
        ours["ratio_tftpd_hpa"] = ours["seconds"] / hpa_s
        ours["ratio_floor"] = ours["seconds"] / theirs["seconds"]
        # Each run over the floor's run of the same round, which ran next to
        # it: this machine's speed drifts by a third between minutes, and
        # the ratio of two medians taken at different moments carries that
        # drift; the paired ratio mostly does not.
        ours["ratio_floor_paired"] = statistics.median(
            a["transfer_seconds"] / b["transfer_seconds"] for a, b in zip(records[who], records[floor]))
        theirs["ratio_tftpd_hpa"] = theirs["seconds"] / hpa_s
    for who, other in (("wine", "baseline"), ("recovery", "baseline-recovery")):
        if who in summary and other in summary:
            summary[who]["ratio_baseline_paired"] = statistics.median(
                a["transfer_seconds"] / b["transfer_seconds"] for a, b in zip(records[who], records[other]))
    names = {"wine": "staged-upgrader (unicast)", "floor": "floor (unicast)",
             "recovery": "recovery-upgrader (multicast)", "floor-multicast": "floor (multicast)",
             "tftpd-hpa": "tftpd-hpa", "baseline": "staged-upgrader (baseline)",
             "baseline-recovery": "recovery-upgrader (baseline)"}
    for who in SERVERS:
        f = summary[who]
        ratios = ""
        if "ratio_tftpd_hpa" in f:
            ratios = f"  /tftpd-hpa {f['ratio_tftpd_hpa']:.2f}"
        if "ratio_floor" in f:
            ratios += f"  /floor {f['ratio_floor']:.3f} (paired {f['ratio_floor_paired']:.3f})"
        if "ratio_baseline_paired" in f:
            ratios += f"  /baseline (paired) {f['ratio_baseline_paired']:.3f}"
        say(f"  {names[who]:30s} {f['seconds']:7.3f} s  RRQ->OACK {f['first_answer_ms']:6.1f} ms  "
            f"{f['per_block_us']:5.0f} us/block  answers over 2 ms {f['stalls_ms']:4.0f} ms{ratios}")
    say(f"targets: /floor (paired) <= {TARGETS['floor_ratio']}, RRQ->OACK <= {TARGETS['first_answer_ms']:g} ms, "
        f"idle <= {TARGETS['idle_core_share'] * 100:g}% of one core")
    with open(os.path.join(os.environ.get("QVR_E2E_RUN_DIR", "."), "wine-tftp-bench.json"), "w") as f:
        json.dump({"bytes": size, "runs": {who: [{k: r[k] for k in ("transfer_seconds", "first_answer_seconds",
                                                                        "blocks", "load")} for r in records[who]]
                                            for who in SERVERS},
                   "medians": summary, "idle": idle, "targets": TARGETS}, f, indent=1)


if __name__ == "__main__":
    with Lab("bench") as lab:
        bench(lab.driver, lab.run_program, lab.device_ns)
