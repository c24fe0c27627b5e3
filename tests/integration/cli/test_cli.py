"""qvr-upgrade against the simulated device in a private namespace: the
commands, the inputs and safety checks, the output and the exit codes."""
import json
import os
import pty
import select
import signal
import subprocess
import time

import pytest

from cli_paths import ADMIN, PC, QUICK, RUN_S, SAMPLE, WIN64, fetched, requests


def test_info_prints_the_five_fields(lab):
    lab.device("127.0.0.2", "--serial-number", "QVR0099", "--product-name", "QVR7x7g", "--software-version", "7.1.2")
    code, out, err = lab.run("info", "127.0.0.2", env=ADMIN)
    assert code == 0, err
    assert "Serial Number:    QVR0099" in out
    assert "MAC Address:      00:0E:08:12:34:56" in out
    assert "Software Version: 7.1.2" in out
    assert "Hardware Version: 1.0" in out
    assert "Product Name:     QVR7x7g" in out


def test_upgrade_serves_the_image_and_checks_the_version(lab):
    device = lab.device("127.0.0.2", "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, env=ADMIN)
    assert code == 0, err
    tftp = fetched(device)[0]
    assert tftp["ok"] and tftp["bytes"] == SAMPLE.stat().st_size
    assert out.splitlines()[-1] == "QVR@127.0.0.2: upgraded to 7.5.6a"
    assert err == ""


def test_two_devices_one_silent_goes_on_and_summarises_both(lab):
    first = lab.device("127.0.0.2", "--expect-image", SAMPLE)
    # Nothing listens on 127.0.0.3: the device does not answer.
    code, out, err = lab.run("upgrade", "127.0.0.3", "127.0.0.2", "--image", SAMPLE, *QUICK, env=ADMIN)
    assert code == 1
    assert fetched(first)[0]["ok"]
    assert out.splitlines()[-2:] == ["QVR@127.0.0.3: FAILED: Upgrade Failed: No Response From QVR",
                                     "QVR@127.0.0.2: upgraded to 7.5.6a"]
    assert "QVR@127.0.0.3: Upgrade Failed: No Response From QVR" in err


def test_two_stage_upgrade_serves_transition_then_target(lab, transition_image):
    device = lab.device("127.0.0.2", "--expect-image", transition_image, "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, "--transition", transition_image, *QUICK,
                             env=ADMIN)
    assert code == 0, err
    first, second = fetched(device, 2)
    assert first["ok"] and second["ok"]
    names = [e["name"] for e in device.events("upgrade")]
    assert names[0].endswith(".bi0") and names[1].endswith(".bi1") and names[0] != names[1]
    assert out.splitlines()[-1] == "QVR@127.0.0.2: upgraded to 7.5.6a"


def test_wrong_version_after_the_upgrade_fails(lab):
    lab.device("127.0.0.2", "--report-version", "7.5.5")
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, env=ADMIN)
    assert code == 1
    assert "QVR@127.0.0.2: Upgrade Failed: Version not matching" in err


def test_recovery_over_multicast(lab):
    device = lab.device("127.0.0.2", "--recovery", "--serial-number", "QVR00ABC12", "--expect-image", SAMPLE,
                        "--auth", "none")
    code, out, err = lab.run("recover", "qvr00abc12", "--image", SAMPLE, *QUICK)
    assert code == 0, err
    assert "found at 127.0.0.2" in out
    upgrade = device.wait_event("upgrade")[0]
    assert upgrade["group"] == "234.4.8.10" and upgrade["name"].endswith(".bin")
    assert fetched(device)[0]["ok"]
    assert out.splitlines()[-1] == "QVR@QVR00ABC12: recovered to 7.5.6a"


def test_recovery_finds_nobody(lab):
    lab.device("127.0.0.2", "--recovery", "--serial-number", "QVR1", "--recovery-silent")
    code, out, err = lab.run("recover", "QVR1", "--image", SAMPLE, *QUICK)
    assert code == 1
    assert "QVR@QVR1: Recovery Failed: Cannot find the specified device!" in err


def test_recovery_refuses_to_guess_the_pc_address(lab):
    for n, address in ((1, "10.9.1.1/24"), (2, "10.9.2.1/24")):
        lab.net.popen(["sh", "-c", f"ip link add v{n} type veth peer name w{n} && ip addr add {address} dev v{n} && "
                                   f"ip link set w{n} up && ip link set v{n} up"]).wait(timeout=10)
    code, out, err = lab.run("recover", "QVR1", "--image", SAMPLE, "--yes")
    assert code == 2
    assert "10.9.1.1, 10.9.2.1" in err and "--pc-address" in err


def run_on_terminal(lab, args, answers, env=None):
    """Runs the program with a pseudo-terminal as its controlling terminal
    and standard streams; each (prompt, reply) waits for the prompt text and
    types the reply.  Returns (exit code, everything written, the answers
    not given)."""
    master, slave = pty.openpty()

    def controlling_terminal():
        import fcntl
        import termios
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    proc = lab.popen(*args, env=env, stdin=slave, stdout=slave, stderr=slave, start_new_session=True,
                     preexec_fn=controlling_terminal)
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + RUN_S
    pending = list(answers)
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        if pending and pending[0][0].encode() in seen.split(b"\x00")[-1][-400:]:
            os.write(master, pending.pop(0)[1].encode() + b"\n")
            seen += b"\x00"  # what came before this answer is not searched again
        if proc.poll() is not None and not ready:
            break
    proc.wait(timeout=10)
    os.close(master)
    return proc.returncode, seen.replace(b"\x00", b"").decode("latin-1"), pending


def test_wrong_then_right_password_on_a_terminal(lab):
    device = lab.device("127.0.0.2", "--password", "s3cret!")
    code, seen, pending = run_on_terminal(
        lab, ["upgrade", "127.0.0.2", "--image", SAMPLE, "--update-wait", "1", "--pc-address", PC],
        [("Password for admin on QVR@127.0.0.2", "wrong"), ("The password was refused.", "s3cret!"),
         ("[y/N]", "y")])
    assert not pending, seen
    assert code == 0, seen
    assert "wrong" not in seen and "s3cret!" not in seen, "the password was echoed"
    verdicts = [e["verdict"] for e in device.events("request")]
    assert any(v.startswith("rejected") for v in verdicts) and "ok" in verdicts
    assert fetched(device)[0]["ok"]


def test_password_from_a_file_and_a_refused_one(lab, tmp_path):
    lab.device("127.0.0.2", "--password", "from-file")
    right = tmp_path / "right"
    right.write_text("from-file\n")
    code, out, err = lab.run("info", "127.0.0.2", "--password-file", right)
    assert code == 0, err
    wrong = tmp_path / "wrong"
    wrong.write_text("nope\n")
    code, out, err = lab.run("info", "127.0.0.2", "--password-file", wrong)
    assert code == 1
    assert "refused the password from --password-file" in err


def test_no_device(lab):
    code, out, err = lab.run("info", "127.0.0.9")
    assert code == 1
    assert err == "QVR@127.0.0.9: Upgrade Failed: No Response From QVR\n"


def test_ctrl_c_during_the_transfer(lab):
    # The device stops acknowledging after block 50: the transfer hangs in
    # its retransmissions until Ctrl-C.
    device = lab.device("127.0.0.2", "--auth", "none", "--stop-after-block", "50")
    proc = lab.popen("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE, text=True)
    device.wait_event("upgrade", timeout=RUN_S)
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=RUN_S)
    assert proc.returncode == 130
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("qvr-upgrade: interrupted during the transfer (QVR@127.0.0.2)")
    assert " of 4309491 bytes" in lines[0]

    # Its TFTP port was given back: another run binds 69 again.
    def bind_69():
        import socket
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((PC, 69))
        s.close()
        return True
    assert lab.net.call(bind_69)


def test_privileged_ports_are_explained_and_tftp_port_goes_on(lab):
    device = lab.device("127.0.0.2", "--auth", "none", "--expect-image", SAMPLE)
    as_nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    proc = lab.net.popen([*as_nobody, str(lab_cli()), "upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env={"ASAN_OPTIONS": "detect_leaks=0"})
    out, err = proc.communicate(timeout=RUN_S)
    assert proc.returncode == 1
    assert ("QVR@127.0.0.2: Upgrade Failed: Can't bind TFTP listener socket: UDP ports 69 to 168 need root or "
            "CAP_NET_BIND_SERVICE; run as root, or give --tftp-port N with a free port from 1024 up") in err
    assert not [t for t in requests(device) if t.startswith("/admin/upgrade")], "nothing may be asked of it"

    proc = lab.net.popen([*as_nobody, str(lab_cli()), "upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK,
                          "--tftp-port", "6969"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         env={"ASAN_OPTIONS": "detect_leaks=0"})
    out, err = proc.communicate(timeout=RUN_S)
    assert proc.returncode == 0, err
    assert device.wait_event("upgrade")[0]["port"] == 6969
    assert fetched(device)[0]["ok"]


def lab_cli():
    from cli_paths import CLI
    return CLI


@pytest.mark.skipif(not (WIN64 / "staged-upgrader.exe").exists(), reason="build the Windows programs first")
def test_from_exe_takes_the_programs_images(lab):
    device = lab.device("127.0.0.2", "--auth", "none", "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "--from-exe", WIN64 / "staged-upgrader.exe", *QUICK)
    assert code == 0, err
    assert fetched(device)[0]["ok"]

    staged = WIN64 / "variants" / "staged-upgrader-transition.exe"
    if staged.exists():
        transition = WIN64.parent / "firmware" / "transition-7.0.0.bin"
        two = lab.device("127.0.0.3", "--auth", "none", "--expect-image", transition, "--expect-image", SAMPLE)
        code, out, err = lab.run("upgrade", "127.0.0.3", "--from-exe", staged, *QUICK)
        assert code == 0, err
        assert [e["ok"] for e in fetched(two, 2)] == [True, True]

    code, out, err = lab.run("upgrade", "127.0.0.2", "--from-exe", SAMPLE, *QUICK)
    assert code == 2 and "not a Windows program" in err


def test_wrong_product_is_refused_unless_forced(lab):
    device = lab.device("127.0.0.2", "--auth", "none", "--product-name", "QVR-6300", "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK)
    assert code == 1
    assert "the image is for QVR7x7g, the device reports QVR-6300" in err
    assert not [t for t in requests(device) if t.startswith("/admin/upgrade")]
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, "--force", *QUICK)
    assert code == 0, err
    assert fetched(device)[0]["ok"]


def test_json_output_field_by_field(lab):
    lab.device("127.0.0.2", "--auth", "none", "--software-version", "7.5.5", "--serial-number", "QVR42")
    code, out, err = lab.run("upgrade", "127.0.0.2", "127.0.0.5", "--image", SAMPLE, "--json", *QUICK)
    assert code == 1
    # One line per device, in the order the devices end.
    by_device = {r["device"]: r for r in map(json.loads, out.splitlines())}
    assert len(by_device) == 2 == len(out.splitlines())
    passed, failed = by_device["127.0.0.2"], by_device["127.0.0.5"]
    assert passed["device"] == "127.0.0.2" and passed["address"] == "127.0.0.2"
    assert passed["identity_before"] == {"serial_number": "QVR42", "mac_address": "00:0E:08:12:34:56",
                                         "software_version": "7.5.5", "hardware_version": "1.0",
                                         "product_name": "QVR7x7g"}
    assert passed["identity_after"]["software_version"] == "7.5.6a"
    assert passed["image_version"] == "7.5.6a"
    assert passed["bytes"] == SAMPLE.stat().st_size
    assert 1 <= passed["seconds"] < RUN_S
    assert passed["result"] == "passed" and passed["error"] is None
    assert failed["device"] == "127.0.0.5" and failed["identity_before"] is None
    assert failed["result"] == "failed" and failed["error"] == "Upgrade Failed: No Response From QVR"
    assert failed["bytes"] == 0


def test_usage_errors_and_help(lab):
    code, out, err = lab.run("upgrade", "127.0.0.2", "--password", "x", "--image", SAMPLE)
    assert code == 2 and "never given on the command line" in err
    code, out, err = lab.run("upgrade", "not-an-address", "--image", SAMPLE, "--yes")
    assert code == 2
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE)
    assert code == 2 and "--yes" in err, "no terminal to confirm on"
    code, out, err = lab.run("--help")
    assert code == 0
    for word in ("info DEVICE", "upgrade DEVICE", "recover SERIAL", "--tftp-port", "--password-file",
                 "QVR_PASSWORD", "Wrong-product rule", "130"):
        assert word in out
