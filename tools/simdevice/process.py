"""The simulated device as a process, for whoever runs it: the integration
tests on loopback, the Wine lab in its device namespace, the benchmarks.

    device = DeviceProcess(log_path, "--address", "127.0.0.1", "--port", "0", *options,
                           popen=subprocess.Popen)

`popen` chooses where it runs (directly, `nsenter` into a namespace, `ip
netns exec`).  The constructor waits for device.py's "listening ADDRESS:PORT"
line and keeps the port; `events(kind)` reads the JSON-lines log back and
`wait_event(kind, count)` waits, within a bound, until that many are in.
A device that does not start or that never logs what is waited for raises
DeviceError, an AssertionError, so a test reports it as a failure.
"""
import json
import os
import select
import signal
import subprocess
import sys
import time

DEVICE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "device.py")
START_S = 30
WAIT_S = 120  # bounds only: they stop a hung run, nothing is decided on them
POLL_S = 0.05


class DeviceError(AssertionError):
    pass


class DeviceProcess:
    def __init__(self, log_path, *arguments, popen=subprocess.Popen, stderr=None, python=sys.executable):
        self.log_path = str(log_path)
        if os.path.exists(self.log_path):
            os.remove(self.log_path)
        self.proc = popen([python, DEVICE_SCRIPT, "--log", self.log_path, *arguments],
                          stdout=subprocess.PIPE, stderr=stderr, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_S)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("listening "):
            raise DeviceError(f"the simulated device did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])

    def events(self, kind=None):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        found = [json.loads(line) for line in lines if line.strip()]
        return [e for e in found if kind is None or e["event"] == kind]

    def wait_event(self, kind, count=1, timeout=WAIT_S):
        """The first `count` events of this kind, once logged."""
        deadline = time.monotonic() + timeout
        while len(found := self.events(kind)) < count:
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise DeviceError(f"the simulated device logged {len(found)} {kind!r} events, wanted {count}")
            time.sleep(POLL_S)
        return found[:count]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
