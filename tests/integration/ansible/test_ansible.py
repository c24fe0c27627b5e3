"""The collection qvr.firmware driving qvr-upgrade from playbooks: check
mode, a real run, a second run with nothing to do, a failing device, the
password kept out of every output, and the modules' documentation."""
import os
import subprocess

from ansible_lab import CLI, PASSWORD, PC, make_image, task_results

VERSION = "7.6.0"  # of the image served; the devices run 7.5.5 unless told otherwise
QUICK = {"update_wait": 2, "http_timeout": 3, "pc_address": PC}


def upgrade_task(devices, image, **options):
    return {"qvr.firmware.qvr_upgrade": {"devices": [d.address for d in devices], "image": str(image),
                                         **QUICK, **options}}


def results(task):
    return {d["address"]: d["result"] for d in task["devices"]}


def commanded(device):
    return [e["target"] for e in device.events("request") if e.get("target", "").startswith("/admin/upgrade")]


def test_check_then_upgrade_then_nothing_to_do(lab, tmp_path):
    image = make_image(tmp_path, VERSION, size=20000)
    old = [lab.device(a, "--expect-image", image) for a in ("127.0.0.2", "127.0.0.3")]
    current = lab.device("127.0.0.4", "--software-version", VERSION)
    everyone = [*old, current]

    code, document, out = lab.playbook([upgrade_task(everyone, image)], "--check")
    [task] = task_results(document)
    assert code == 0 and task["changed"], out
    assert results(task) == {"127.0.0.2": "would-upgrade", "127.0.0.3": "would-upgrade", "127.0.0.4": "up-to-date"}
    assert all(not commanded(d) and not d.events("tftp") for d in everyone)

    # The real run, with every line Ansible can print, through a wrapper
    # that records the argument list qvr-upgrade gets and its QVR_PASSWORD.
    seen = tmp_path / "seen"
    wrapper = tmp_path / "qvr-upgrade"
    wrapper.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" > {seen}.argv\n'
                       f'printf "%s" "$QVR_PASSWORD" > {seen}.env\nexec {CLI} "$@"\n')
    os.chmod(wrapper, 0o755)
    code, document, out = lab.playbook([upgrade_task(everyone, image)], "-vvv", executable=wrapper)
    [task] = task_results(document)
    assert code == 0 and task["changed"], out
    assert results(task) == {"127.0.0.2": "passed", "127.0.0.3": "passed", "127.0.0.4": "up-to-date"}
    for device in old:
        assert device.wait_event("tftp")[0]["ok"] and len(commanded(device)) == 1
    assert not commanded(current)
    assert PASSWORD not in out and PASSWORD not in (tmp_path / "seen.argv").read_text()
    assert (tmp_path / "seen.env").read_text() == PASSWORD

    code, document, out = lab.playbook([upgrade_task(everyone, image)])
    [task] = task_results(document)
    assert code == 0 and not task["changed"] and document["stats"]["localhost"]["changed"] == 0, out
    assert set(results(task).values()) == {"up-to-date"}
    assert all(len(commanded(d)) == 1 for d in old)


def test_scan_then_a_refusing_device_fails_the_task(lab, tmp_path):
    image = make_image(tmp_path, VERSION, size=20000)
    good = lab.device("127.0.0.2", "--expect-image", image)
    refusing = lab.device("127.0.0.3", "--refuse-upgrade", "503")
    scan = {"qvr.firmware.qvr_scan": {"ranges": ["127.0.0.2-3"], "http_timeout": 3}, "check_mode": True}
    code, document, out = lab.playbook([scan, upgrade_task([good, refusing], image)])
    found, task = task_results(document)
    assert code != 0 and PASSWORD not in out
    assert not found["changed"] and found["ansible_facts"]["qvr_devices"] == found["devices"]
    assert [(d["address"], d["software_version"], d["needs_password"]) for d in found["devices"]] == \
        [("127.0.0.2", "7.5.5", False), ("127.0.0.3", "7.5.5", False)]
    # The device that was upgraded still counts as a change.
    assert task["failed"] and task["changed"] and results(task) == {"127.0.0.2": "passed", "127.0.0.3": "failed"}
    [failure] = [d for d in task["devices"] if d["result"] == "failed"]
    assert "127.0.0.2:" not in task["msg"] and f"127.0.0.3: {failure['error']}" in task["msg"], task["msg"]


def test_documentation_renders(collection):
    env = {**os.environ, **collection}
    for module, options in (("qvr_upgrade", ["devices", "inventory", "image", "password", "max_fail"]),
                            ("qvr_scan", ["ranges", "password"])):
        page = subprocess.run(["ansible-doc", f"qvr.firmware.{module}"], env=env, capture_output=True,
                              text=True, timeout=60)
        assert page.returncode == 0 and not page.stderr.strip(), page.stderr
        assert all(f"- {option}" in page.stdout or f"= {option}" in page.stdout for option in options), page.stdout
        assert "EXAMPLES" in page.stdout and "RETURN VALUES" in page.stdout
