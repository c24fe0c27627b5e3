"""qvr-upgrade scan against simulated devices in a private namespace: which
hosts are listed, what is read with and without a password, the JSON
lines, and that output fed back to upgrade as an inventory."""
import json

import pytest

from cli_paths import ADMIN, PC, SAMPLE, requests

RANGE = "127.0.0.2-7"
FIELDS = ["address", "serial_number", "mac_address", "software_version", "hardware_version", "product_name",
          "needs_password"]


@pytest.fixture
def shelf(lab):
    """On 127.0.0.2-7: a device with Digest (admin/admin), one without
    authentication, a second one with Digest and a fresh nonce for every
    challenge, a web server whose page names no identity field, and nobody
    at .4 and .7."""
    wanted = [("127.0.0.2", ("--serial-number", "QVR0002", "--software-version", "7.1.2")),
             ("127.0.0.3", ("--auth", "none", "--serial-number", "QVR0003", "--product-name", "QVR7x7g",
                            "--mac-address", "00:0E:08:00:00:03", "--hardware-version", "2.0")),
             ("127.0.0.5", ("--serial-number", "QVR0005", "--nonce-mode", "fresh")),
             ("127.0.0.6", ("--auth", "none", "--no-identity"))]
    devices = lab.fleet(wanted)
    return dict(zip((address for address, _ in wanted), devices))


def scan_json(lab, *args, env=None):
    code, out, err = lab.run("scan", *args, "--json", "--pc-address", PC, env=env)
    lines = [json.loads(line) for line in out.splitlines()]
    for line in lines:
        assert list(line) == FIELDS, line
    return code, lines, err


def test_without_a_password_lists_who_asks_for_one(lab, shelf):
    code, lines, err = scan_json(lab, RANGE)
    assert code == 0, err
    assert [line["address"] for line in lines] == ["127.0.0.2", "127.0.0.3", "127.0.0.5"]
    locked, open_one, fresh = lines
    assert locked == {"address": "127.0.0.2", "serial_number": "", "mac_address": "", "software_version": "",
                      "hardware_version": "", "product_name": "", "needs_password": True}
    assert fresh["needs_password"] is True
    assert open_one == {"address": "127.0.0.3", "serial_number": "QVR0003", "mac_address": "00:0E:08:00:00:03",
                        "software_version": "7.5.5", "hardware_version": "2.0", "product_name": "QVR7x7g",
                        "needs_password": False}
    # Nobody is asked (standard input is no terminal, but the run must not
    # even try), and nothing but the status request is sent.
    assert "Password" not in err

    # The table: a header, one row per device by address, and the count.
    # No --pc-address: each probe goes from the address the system picks.
    code, out, err = lab.run("scan", "127.0.0.5", "127.0.0.2-4")
    assert code == 0, err
    rows = out.splitlines()
    assert rows[0].split()[:3] == ["ADDRESS", "PRODUCT", "SERIAL"]
    assert [row.split()[:3] for row in rows[1:4]] == [["127.0.0.2", "(asks", "for"],
                                                       ["127.0.0.3", "QVR7x7g", "QVR0003"],
                                                       ["127.0.0.5", "(asks", "for"]]
    assert rows[4] == "3 devices found among 4 addresses"
    assert len(rows) == 5
    for device in shelf.values():
        assert set(requests(device)) <= {"/admin/advanced"}
        assert not device.events("upgrade")


def test_with_a_password_reads_every_identity(lab, shelf):
    code, lines, err = scan_json(lab, "127.0.0.0/29", env=ADMIN)
    assert code == 0, err
    assert [(line["address"], line["serial_number"], line["needs_password"]) for line in lines] == [
        ("127.0.0.2", "QVR0002", False), ("127.0.0.3", "QVR0003", False), ("127.0.0.5", "QVR0005", False)]
    assert lines[0]["software_version"] == "7.1.2"
    assert lines[0]["product_name"] == "QVR7x7g"
    assert err == ""


def test_a_refused_password_is_told_and_listed_as_needed(lab):
    lab.device("127.0.0.2", "--password", "secret")
    code, lines, err = scan_json(lab, "127.0.0.2", env={"QVR_PASSWORD": "wrong"})
    assert code == 0, err
    assert [(line["address"], line["needs_password"], line["serial_number"]) for line in lines] == [
        ("127.0.0.2", True, "")]
    assert "QVR@127.0.0.2 refused the password from QVR_PASSWORD" in err


def test_no_device_found_and_usage_errors(lab):
    lab.device("127.0.0.2", "--auth", "none", "--no-identity")
    code, out, err = lab.run("scan", "127.0.0.2-3", "--pc-address", PC)
    assert code == 1
    assert out == "0 devices found among 2 addresses\n"
    code, out, err = lab.run("scan", "127.0.0.2-3", "--json", "--pc-address", PC)
    assert (code, out) == (1, "")

    for args, reason in [(["10.0.0.0/8"], "too wide"), (["224.0.0.1"], "no device can have"),
                         (["127.0.0.2", "--pc-address", "10.99.0.1"], "not an address of this computer")]:
        code, out, err = lab.run("scan", *args)
        assert code == 2 and out == "", err
        assert reason in err


# The JSON lines of a scan are an inventory as they stand (added to an
# operand that repeats one of them), and a dry run over them sends
# nothing but status requests.
def test_scan_output_is_an_inventory_for_a_dry_run(lab, shelf, tmp_path):
    # Scanned without the password: a device whose nonce never changes
    # refuses a second process's first count against it, so the dry run is
    # the first to authenticate.
    code, out, err = lab.run("scan", RANGE, "--json", "--pc-address", PC)
    assert code == 0, err
    inventory = tmp_path / "devices.jsonl"
    inventory.write_text(out)
    code, out, err = lab.run("upgrade", "--inventory", inventory, "127.0.0.3", "--check", "--image", SAMPLE,
                             "--json", "--pc-address", PC, env=ADMIN)
    assert code == 0, err
    results = {line["address"]: line for line in map(json.loads, out.splitlines())}
    assert sorted(results) == ["127.0.0.2", "127.0.0.3", "127.0.0.5"], out
    assert {line["result"] for line in results.values()} == {"would-upgrade"}
    for device in shelf.values():
        assert set(requests(device)) <= {"/admin/advanced"}
        assert not device.events("upgrade") and not device.events("tftp")
