"""qvr-upgrade run natively against the simulated device, both inside a
private network namespace the test creates (loopback only: nothing leaves
it).  The PC side is 127.0.0.1; each simulated device listens on port 80 of
an address of its own (127.0.0.2, 127.0.0.3, ...)."""
import os
import pathlib
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

HERE = pathlib.Path(__file__).resolve()
sys.path.insert(0, str(HERE.parents[1]))
sys.path.insert(0, str(HERE.parents[3] / "tools" / "lab"))
from harness import make_image  # noqa: E402
from private_net import PrivateNet  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402

sys.path.insert(0, str(HERE.parent))
from cli_paths import CLI, PC, RUN_S, SAMPLE  # noqa: E402



class Lab:
    def __init__(self, net, directory):
        self.net = net
        self.directory = directory
        self.devices = []

    def device(self, address, *options):
        """A simulated device on address:80 (Digest with admin/admin unless
        options say otherwise), installing within 0.2 s."""
        device = DeviceProcess(self.directory / f"device-{address}-{time.monotonic_ns()}.log", "--address", address,
                               "--port", "80", "--install-delay", "0.2", "--tftp-dally", "0.2", *options,
                               popen=self.net.popen)
        self.devices.append(device)
        return device

    def fleet(self, specs):
        """Simulated devices started all at once, then waited for: one per
        (address, options) of `specs`, in that order."""
        with ThreadPoolExecutor(max_workers=len(specs) or 1) as pool:
            started = [pool.submit(self.device, address, *options) for address, options in specs]
            return [future.result() for future in started]

    def popen(self, *args, env=None, **kwargs):
        environment = {k: v for k, v in os.environ.items() if k != "QVR_PASSWORD"}
        environment["ASAN_OPTIONS"] = "detect_leaks=0"
        environment.update(env or {})
        return self.net.popen([str(CLI), *map(str, args)], env=environment, **kwargs)

    def run(self, *args, env=None, stdin=subprocess.DEVNULL):
        proc = self.popen(*args, env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, err = proc.communicate(timeout=RUN_S)
        return proc.returncode, out, err

    def close(self):
        for device in self.devices:
            device.stop()


@pytest.fixture
def lab(tmp_path):
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("nsenter")):
        pytest.skip("needs root, unshare and nsenter (private network namespace)")
    if not CLI.exists() or not SAMPLE.exists():
        pytest.skip("build qvr-upgrade and the sample image first (scripts/build)")
    net = PrivateNet()
    lab = Lab(net, tmp_path)
    yield lab
    lab.close()
    net.close()


@pytest.fixture
def transition_image(tmp_path):
    return make_image(tmp_path, "7.0.0", size=30000)
