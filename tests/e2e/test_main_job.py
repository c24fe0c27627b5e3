"""The main job of `scripts/run` (tools/lab/jobs.py), checked: the shipped
staged-upgrader through a whole upgrade of the simulated device, the image
received byte for byte, the upgrade command as the device saw it, and the
version the device then reports on the success dialog."""

from jobs import upgrade_job
from upgrade_flow import check_upgrade_command


def test_main_job(driver, run_program, device_ns):
    print()
    result = upgrade_job(driver, run_program, device_ns, lambda line: print(f"main job: {line}", flush=True))
    assert result.tftp["ok"], result.tftp["error"]
    check_upgrade_command(result.device.events("upgrade")[0], "bi1")
    assert (result.outcome, result.version, result.code) == ("success", "7.5.6a", 0)
