"""qvr-upgrade upgrading many simulated devices at once, all in one private
namespace (127.0.0.2, 127.0.0.3, ...): one JSON line per device whatever
happens to it, the limits on how many run and how many may fail, the dry
run, Ctrl-C, and a device that asks for another device's file.  Each
device's image is small: the machine has two cores for twenty devices."""
import json
import signal
import subprocess

import pytest

from cli_paths import ADMIN, QUICK, RUN_S, fetched, requests
from harness import make_image

VERSION = "7.6.0"  # of the image served; the devices run 7.5.5 unless told otherwise
JSON = ["--json", "--http-timeout", "3", *QUICK]


@pytest.fixture
def image(tmp_path):
    return make_image(tmp_path, VERSION, size=20000)


def addresses(count):
    return [f"127.0.0.{n}" for n in range(2, 2 + count)]


def upgrade(lab, devices, *args, env=ADMIN):
    """Runs `upgrade` with --json on the devices' addresses; returns the exit
    code, the objects by address (exactly one line per device, nothing
    else on standard output) and standard error."""
    named = [d if isinstance(d, str) else d.address for d in devices]
    code, out, err = lab.run("upgrade", *named, *args, *JSON, env=env)
    lines = [json.loads(line) for line in out.splitlines()]
    assert sorted(line["address"] for line in lines) == sorted(named), out
    return code, {line["address"]: line for line in lines}, err


def start(lab, specs):
    """Devices from (address, options) pairs, each knowing its address.  Each
    gives a fresh nonce per challenge, so a second run's counts (a new
    process starts from 1 again) are not taken for replays of the first's."""
    devices = lab.fleet([(address, ("--nonce-mode", "fresh", *options)) for address, options in specs])
    for device, (address, _) in zip(devices, specs):
        device.address = address
    return devices


def commanded(device):
    return [t for t in requests(device) if t.startswith("/admin/upgrade")]


def most_at_once(devices):
    """The most devices that were between their upgrade command and their
    last status request at the same moment, from the devices' own logs."""
    spans = []
    for device in devices:
        times = [(e["time"], e.get("target", "")) for e in device.events("request")]
        begun = [t for t, target in times if target.startswith("/admin/upgrade")]
        if begun:
            spans.append((begun[0], max(t for t, _ in times)))
    return max(sum(1 for b, e in spans if b <= at < e) for at, _ in spans)


def test_twenty_devices_in_parallel(lab, image, tmp_path):
    second = make_image(tmp_path, "7.6.1", size=20000)
    devices = start(lab, [(a, ("--expect-image", image, "--expect-image", second)) for a in addresses(20)])
    for number, (served, version, args) in enumerate([(image, VERSION, []),
                                                      (second, "7.6.1", ["--parallel", "20"])], 1):
        code, results, err = upgrade(lab, devices, "--image", served, *args)
        assert code == 0, err
        for device in devices:
            line = results[device.address]
            assert line["result"] == "passed", line
            assert line["identity_after"]["software_version"] == version
            tftp = fetched(device, number)[-1]
            assert tftp["ok"] and tftp["image_version"] == version, tftp  # byte for byte
            assert len(commanded(device)) == number
        # The default is 8 at once; with --parallel 20 all of them start
        # together, and each stays at least the 2 s update wait.
        if args:
            assert most_at_once(devices) > 8
        else:
            assert most_at_once(devices) <= 8


# One device per row: what it does wrong, its result and the phase it
# failed in.  The good ones sit between the bad ones.
MIXED = [
    ((), "passed", None),
    (("--mute",), "failed", "identify"),
    (("--password", "not-admin"), "failed", "identify"),
    (("--product-name", "QVR-6300"), "failed", "check"),
    (("--refuse-upgrade", "503"), "failed", "command"),
    ((), "passed", None),
    (("--error-at-block", "3"), "failed", "transfer"),
    (("--silent-while-installing", "--install-delay", "600"), "failed", "install"),
    (("--report-version", "7.5.5"), "failed", "verify"),
    ((), "passed", None),
]


def test_mixed_failures_each_device_one_line(lab, image):
    devices = start(lab, [(a, ("--expect-image", image, *options)) for a, (options, _, _) in
                          zip(addresses(len(MIXED)), MIXED)])
    code, results, err = upgrade(lab, devices, "--image", image)
    assert code == 1
    for device, (options, result, phase) in zip(devices, MIXED):
        line = results[device.address]
        assert (line["result"], line.get("phase")) == (result, phase), (options, line)
        if result == "passed":
            assert fetched(device)[0]["ok"] and line["identity_after"]["software_version"] == VERSION
        else:
            assert line["error"], line
        if phase in ("identify", "check"):
            assert not commanded(device), options
        if phase in ("identify", "check", "command"):
            assert not device.events("tftp"), options


def test_check_sends_nothing_but_status_requests(lab, image):
    devices = start(lab, [(a, ("--software-version", version)) for a, version in
                          zip(addresses(4), ["7.5.5", VERSION, "7.5.5", VERSION])])
    code, results, err = upgrade(lab, devices, "--image", image, "--check")
    assert code == 0, err
    assert [results[d.address]["result"] for d in devices] == ["would-upgrade", "up-to-date"] * 2
    for device in devices:
        assert set(requests(device)) == {"/admin/advanced"}
        assert not device.events("upgrade") and not device.events("tftp")

    # One device that cannot be identified makes the dry run fail.
    [mute] = start(lab, [("127.0.0.9", ("--mute",))])
    code, results, err = upgrade(lab, [*devices, mute], "--image", image, "--check")
    assert code == 1
    assert (results[mute.address]["result"], results[mute.address]["phase"]) == ("failed", "identify")
    assert all(not commanded(d) for d in devices)


def test_up_to_date_is_left_alone_unless_reinstalled(lab, image):
    current, old = start(lab, [("127.0.0.2", ("--software-version", VERSION, "--expect-image", image)),
                               ("127.0.0.3", ("--expect-image", image))])
    code, results, err = upgrade(lab, [current, old], "--image", image)
    assert code == 0, err
    assert results[current.address]["result"] == "up-to-date" and not commanded(current)
    assert results[old.address]["result"] == "passed" and fetched(old)[0]["ok"]

    code, results, err = upgrade(lab, [current, old], "--image", image, "--reinstall")
    assert code == 0, err
    assert [results[d.address]["result"] for d in (current, old)] == ["passed", "passed"]
    assert fetched(current)[0]["ok"] and fetched(old, 2)[1]["ok"]


def test_max_fail_stops_new_devices(lab, image):
    # Run one at a time, the first device refuses the command: no other
    # device may be asked to upgrade.  Every device still got the identify
    # pass's status request, which comes before any upgrade.
    devices = start(lab, [("127.0.0.2", ("--refuse-upgrade", "503"))] +
                    [(a, ("--expect-image", image)) for a in addresses(5)[1:]])
    code, results, err = upgrade(lab, devices, "--image", image, "--parallel", "1", "--max-fail", "1")
    assert code == 1
    assert (results["127.0.0.2"]["result"], results["127.0.0.2"]["phase"]) == ("failed", "command")
    for device in devices[1:]:
        assert results[device.address]["result"] == "not-started"
        assert requests(device) and set(requests(device)) == {"/admin/advanced"}
        assert not device.events("tftp")


def test_ctrl_c_gives_every_device_its_line(lab, image):
    # Two at a time: the first stops acknowledging the transfer, the second
    # never fetches, so both are in flight when Ctrl-C comes and the other
    # two have not started.
    stuck, idle, *waiting = start(lab, [("127.0.0.2", ("--stop-after-block", "2")), ("127.0.0.3", ("--no-fetch",)),
                                        ("127.0.0.4", ()), ("127.0.0.5", ())])
    named = [d.address for d in (stuck, idle, *waiting)]
    proc = lab.popen("upgrade", *named, "--image", image, "--parallel", "2", *JSON, env=ADMIN,
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        stuck.wait_event("upgrade", timeout=RUN_S)
        idle.wait_event("upgrade", timeout=RUN_S)
    finally:
        proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=RUN_S)
    assert proc.returncode == 130, err
    results = {line["address"]: line for line in map(json.loads, out.splitlines())}
    assert sorted(results) == sorted(named), out
    assert [results[a]["result"] for a in named] == ["interrupted", "interrupted", "not-started", "not-started"]
    assert all(not commanded(d) for d in waiting)


def test_a_device_asking_for_another_devices_file_gets_nothing(lab, image):
    # The victim fetches two seconds after its command, so the thief's
    # request for its name comes while the victim's session waits for it.
    victim = lab.device("127.0.0.2", "--expect-image", image, "--fetch-delay", "2")
    thief = lab.device("127.0.0.3", "--expect-image", image, "--steal-name-from", victim.log_path)
    victim.address, thief.address = "127.0.0.2", "127.0.0.3"
    code, results, err = upgrade(lab, [victim, thief], "--image", image, "--parallel", "2")
    [steal] = thief.wait_event("steal", timeout=RUN_S)
    assert steal["name"] == victim.events("upgrade")[0]["name"] != thief.events("upgrade")[0]["name"]
    assert steal["bytes"] == 0 and not steal["ok"], steal
    assert fetched(victim)[0]["ok"] and results[victim.address]["result"] == "passed"
    # The thief's own session was not spoilt by the stranger's request.
    assert fetched(thief)[0]["ok"] and results[thief.address]["result"] == "passed"
    assert code == 0, err
