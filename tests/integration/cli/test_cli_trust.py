"""qvr-upgrade as a script must be able to trust it, against devices that
misbehave: every wait ends by itself with the right exit code, a refused
command fails at once, the image goes to the device alone, and device text
reaches the terminal inert."""
import json
import socket
import subprocess

from cli_paths import ADMIN, PC, QUICK, RUN_S, SAMPLE, fetched

UPGRADED = "QVR@127.0.0.2: upgraded to 7.5.6a"


def test_a_mute_web_server_fails_within_the_http_timeout_and_the_run_goes_on(lab):
    # Fault: the status request waited for ever on a device that accepted
    # the connection and never answered.
    mute = lab.device("127.0.0.2", "--mute")
    second = lab.device("127.0.0.3", "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "127.0.0.3", "--image", SAMPLE, *QUICK, "--http-timeout", "1",
                             env=ADMIN)
    assert code == 1
    assert out.splitlines()[-2].startswith("QVR@127.0.0.2: FAILED: ")
    assert out.splitlines()[-1] == "QVR@127.0.0.3: upgraded to 7.5.6a" and fetched(second)[0]["ok"]
    assert mute.wait_event("mute")[0]["ended"] in ("client closed", "client reset")


def test_upgrade_command_never_answered_is_decided_by_the_transfer_and_the_check(lab):
    # Fault: the program sat on the command's connection after the device
    # had fetched and installed the image, and never summarised.
    device = lab.device("127.0.0.2", "--mute-upgrade", "--expect-image", SAMPLE)
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, "--http-timeout", "2", env=ADMIN)
    assert code == 0, err
    assert fetched(device)[0]["ok"] and out.splitlines()[-1] == UPGRADED


def test_upgrade_command_refused_with_503_fails_at_once(lab):
    # Fault: an error status cost the whole wait for the read request (5
    # minutes, far over RUN_S) before the device was failed.
    device = lab.device("127.0.0.2", "--refuse-upgrade", "503")
    code, out, err = lab.run("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, env=ADMIN)
    assert code == 1 and out.splitlines()[-1].startswith("QVR@127.0.0.2: FAILED: ") and "503" in out, out
    assert len(device.events("upgrade-refused")) == 1


# The stranger: a second host on the LAN asking the program's TFTP port for
# the image by its real name, with options (answered by OACK) and without.
STRANGER = "127.0.0.9"


def ask_as_a_stranger(port, name):
    """The opcodes of the datagrams that came back, until none came for 1.5 s."""
    answers = []
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((STRANGER, 0))
        s.settimeout(1.5)
        for options in (b"tsize\x000\x00timeout\x005\x00", b""):
            s.sendto(b"\x00\x01" + name.encode() + b"\x00octet\x00" + options, (PC, port))  # RRQ
        try:
            while len(answers) < 100:
                answers.append(s.recv(2048)[:2])
        except (socket.timeout, ConnectionRefusedError):
            pass
    return answers


def test_image_goes_to_the_device_alone(lab):
    # Fault: any host that asked for a /qvr%x.bi1 name while the program
    # waited for the device was served the whole image.
    device = lab.device("127.0.0.2", "--expect-image", SAMPLE, "--fetch-delay", "3")
    proc = lab.popen("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, env=ADMIN, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE, text=True)
    command = device.wait_event("upgrade", timeout=RUN_S)[0]
    answers = lab.net.call(ask_as_a_stranger, command["port"], command["name"])
    assert not device.events("fetch-delayed"), "the device fetched before the stranger was done"
    out, err = proc.communicate(timeout=RUN_S)
    assert not set(answers) & {b"\x00\x03", b"\x00\x06"}, f"DATA or OACK went to {STRANGER}"
    said = (out + err).count(f"a request for the image came from {STRANGER}, not the device: refused")
    assert said == 1, out + err
    assert proc.returncode == 0 and fetched(device)[0]["ok"] and out.splitlines()[-1] == UPGRADED, err


def test_page_without_identity_fields_is_a_failure(lab):
    # Fault: info "succeeded" with five empty fields.
    lab.device("127.0.0.2", "--no-identity", "--auth", "none")
    code, out, err = lab.run("info", "127.0.0.2")
    assert code == 1 and out == "" and err.startswith("QVR@127.0.0.2: "), out


def test_device_text_is_inert(lab):
    # Escape sequences that would retitle the window and clear the screen, a
    # BEL, a DEL, and valid UTF-8 (c3 a9, "é") that passes unchanged.
    lab.device("127.0.0.2", "--auth", "none", "--escaped-fields", "--serial-number", r"QVR\x1b]0;pwned\x07",
               "--software-version", r"7.5.5\x1b[2J", "--hardware-version", r"1.0\x7f\xc3\xa9")
    code, out, err = lab.run("info", "127.0.0.2")
    assert code == 0, err
    assert not {"\x1b", "\x07", "\x7f"} & set(out + err)
    assert "Serial Number:    QVR\\x1b]0;pwned\\x07\nMAC Address:" in out
    assert "Software Version: 7.5.5\\x1b[2J\nHardware Version: 1.0\\x7f\u00e9\n" in out
    code, out, err = lab.run("info", "127.0.0.2", "--json")
    identity = json.loads(out)["identity_before"]
    assert code == 0 and "\x1b" not in out
    assert [identity[k] for k in ("serial_number", "software_version", "hardware_version")] == \
        ["QVR\x1b]0;pwned\x07", "7.5.5\x1b[2J", "1.0\x7f\u00e9"]


def test_privileges_are_given_up_once_port_69_is_bound(lab):
    # Port 69 is bound first; every capability is gone before the device's
    # first answer is read, and for the rest of the run.
    device = lab.device("127.0.0.2", "--auth", "none", "--expect-image", SAMPLE, "--fetch-delay", "2")
    proc = lab.popen("upgrade", "127.0.0.2", "--image", SAMPLE, *QUICK, stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE, text=True)
    command = device.wait_event("upgrade", timeout=RUN_S)[0]
    with open(f"/proc/{proc.pid}/status") as f:
        status = dict(line.split(":", 1) for line in f.read().splitlines())
    out, err = proc.communicate(timeout=RUN_S)
    assert command["port"] == 69, "the port was bound with the privilege"
    for held in ("CapEff", "CapPrm", "CapInh", "CapAmb"):
        assert status[held].strip() == "0" * 16, (held, status[held])
    assert status["NoNewPrivs"].strip() == "1"
    assert proc.returncode == 0 and fetched(device)[0]["ok"], err
