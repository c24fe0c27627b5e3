"""Harness of the recovery runs: the simulated device's recovery responder and
a scripted PC side, both inside a private network namespace that the test
creates (`unshare --net`, loopback only, multicast over lo), so that nothing
is ever sent on the machine's own network.  Needs root.

- ``private_net``: the namespace.  ``popen(args)`` runs a program in it;
  ``call(fn, *args)`` runs a Python function on a thread that has entered
  it, so the sockets that function creates live there (the pytest process
  itself stays where it was).
- ``Device``: tools/simdevice/device.py --recovery on 127.0.0.1.
- ``Pc``: a UDP socket on port 4811 joined to 234.4.8.10 on 127.0.0.1, as
  the PC's recovery socket is, sending messages to the group.
"""
import ctypes
import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
SERVE = BUILD / "tools" / "tftp_serve" / "tftp_serve"
DEVICE_SCRIPT = ROOT / "tools" / "simdevice" / "device.py"
MAKE_IMAGE = ROOT / "tools" / "make_image.py"

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
PC_PORT = 4811
LOOPBACK = "127.0.0.1"
CLONE_NEWNET = 0x40000000

# Bounds only: they stop a hung peer, they decide nothing.
START_S = 20
EVENT_WAIT_S = 60
SERVE_LIMIT_S = 60


def message(kind, serial, port=0, name=b""):
    """A 160-byte recovery message, field by field."""
    data = (bytes([kind, 0, 0, 0])                  # type, reserved
            + b"RECM"                               # magic
            + serial.ljust(20, b"\0")[:20]          # serial number, NUL-padded
            + port.to_bytes(2, "big")               # TFTP port (type 2)
            + b"\0\0"                               # reserved
            + name.ljust(128, b"\0"))               # file name (type 2)
    assert len(data) == 160
    return data


class PrivateNet:
    def __init__(self):
        self.procs = []
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--", "sh", "-c", "ip link set lo up && echo ready && exec sleep 600"],
            stdout=subprocess.PIPE, text=True)
        assert self.holder.stdout.readline().strip() == "ready", "no private network namespace"
        self.path = f"/proc/{self.holder.pid}/ns/net"
        self.libc = ctypes.CDLL(None, use_errno=True)

    def popen(self, args, **kwargs):
        proc = subprocess.Popen(["nsenter", f"--net={self.path}", "--", *args], **kwargs)
        self.procs.append(proc)
        return proc

    def call(self, fn, *args):
        result = {}

        def inside():
            fd = os.open(self.path, os.O_RDONLY)
            try:
                if self.libc.setns(fd, CLONE_NEWNET) != 0:
                    result["error"] = OSError(ctypes.get_errno(), "setns")
                    return
            finally:
                os.close(fd)
            try:
                result["value"] = fn(*args)
            except BaseException as e:  # handed to the caller's thread
                result["error"] = e

        thread = threading.Thread(target=inside)
        thread.start()
        thread.join()
        if "error" in result:
            raise result["error"]
        return result["value"]

    def close(self):
        for proc in self.procs + [self.holder]:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)


@pytest.fixture
def private_net():
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("nsenter")):
        pytest.skip("needs root, unshare and nsenter (private network namespace)")
    net = PrivateNet()
    yield net
    net.close()


class Device:
    """The simulated device with its recovery responder, on 127.0.0.1 (HTTP
    on any free port), without a password."""

    def __init__(self, net, directory, *options, serial="AB12CD"):
        self.net = net
        self.log_path = directory / f"device-{time.monotonic_ns()}.log"
        self.proc = net.popen([sys.executable, str(DEVICE_SCRIPT), "--address", LOOPBACK, "--port", "0",
                               "--auth", "none", "--log", str(self.log_path), "--recovery",
                               "--serial-number", serial, *options],
                              stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("listening "), f"device did not start: {line!r}"
        self.http_port = int(line.rsplit(":", 1)[1])

    def events(self, kind):
        if not self.log_path.exists():
            return []
        return [e for e in map(json.loads, self.log_path.read_text().splitlines()) if e["event"] == kind]

    def wait_event(self, kind, count=1, timeout=EVENT_WAIT_S):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.events(kind)
            if len(found) >= count:
                return found[:count]
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        pytest.fail(f"the device logged {len(self.events(kind))} {kind!r} events, wanted {count}")

    def status_page(self):
        def get():
            with urllib.request.urlopen(f"http://{LOOPBACK}:{self.http_port}/admin/advanced", timeout=10) as r:
                return r.read().decode("latin-1")
        return self.net.call(get)


class Pc:
    """The PC's recovery socket: port 4811 on every address (so that replies
    sent to the group arrive too), member of the group on loopback, sending
    to the group through loopback."""

    def __init__(self, net):
        def make():
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("0.0.0.0", PC_PORT))
            interface = socket.inet_aton(LOOPBACK)
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + interface)
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, interface)
            return sock
        self.sock = net.call(make)

    def send(self, data):
        self.sock.sendto(data, (GROUP, DEVICE_PORT))

    def receive(self, wait_s):
        """Every datagram that arrives within wait_s seconds: [(bytes, sender)]."""
        got = []
        deadline = time.monotonic() + wait_s
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                got.append(self.sock.recvfrom(65536))
            except socket.timeout:
                break
        return got

    def receive_one(self, wait_s=5.0):
        """The first datagram, waiting at most wait_s seconds."""
        self.sock.settimeout(wait_s)
        try:
            return self.sock.recvfrom(65536)
        except socket.timeout:
            pytest.fail(f"nothing arrived within {wait_s} s")

    def close(self):
        self.sock.close()


def make_image(directory, version, size=20000):
    path = directory / f"image-{version}.bin"
    subprocess.run([sys.executable, str(MAKE_IMAGE), str(path), "--version", version, "--size", str(size)],
                   check=True, timeout=60)
    return path
