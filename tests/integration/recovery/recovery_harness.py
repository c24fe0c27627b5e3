"""The recovery runs happen inside a private network namespace that the test
creates (`unshare --net`, loopback only, multicast over lo), so that nothing
is ever sent on the machine's own network.  Needs root.

- ``PrivateNet``: ``popen(args)`` runs a program in the namespace;
  ``call(fn, *args)`` runs a Python function on a thread that has entered
  it, so the sockets that function creates live there.
- ``Pc``: a UDP socket on port 4811 joined to 234.4.8.10 on 127.0.0.1, as
  the PC's recovery socket is, sending messages to the group.
"""
import ctypes
import os
import socket
import subprocess
import threading
import time

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
PC_PORT = 4811
CLONE_NEWNET = 0x40000000


def message(kind, serial, port=0, name=b""):
    """A 160-byte recovery message, field by field."""
    return (bytes([kind, 0, 0, 0])                  # type, reserved
            + b"RECM"                               # magic
            + serial.ljust(20, b"\0")[:20]          # serial number, NUL-padded
            + port.to_bytes(2, "big")               # TFTP port (type 2)
            + b"\0\0"                               # reserved
            + name.ljust(128, b"\0"))               # file name (type 2)


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
        self.procs.append(subprocess.Popen(["nsenter", f"--net={self.path}", "--", *args], **kwargs))
        return self.procs[-1]

    def call(self, fn, *args):
        result = {}

        def inside():
            fd = os.open(self.path, os.O_RDONLY)
            entered = self.libc.setns(fd, CLONE_NEWNET) == 0
            os.close(fd)
            try:
                if not entered:
                    raise OSError(ctypes.get_errno(), "setns")
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


class Pc:
    """The PC's recovery socket: port 4811 on every address (so that replies
    sent to the group arrive too), member of the group on loopback, sending
    to the group through loopback."""

    def __init__(self, net):
        def make():
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.bind(("0.0.0.0", PC_PORT))
            interface = socket.inet_aton("127.0.0.1")
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + interface)
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, interface)
            return sock
        self.sock = net.call(make)

    def send(self, data):
        self.sock.sendto(data, (GROUP, DEVICE_PORT))

    def receive(self, wait_s, first_only=False):
        """Every datagram that arrives within wait_s seconds, or only the
        first: [(bytes, sender)]."""
        got = []
        deadline = time.monotonic() + wait_s
        while (left := deadline - time.monotonic()) > 0 and not (first_only and got):
            self.sock.settimeout(left)
            try:
                got.append(self.sock.recvfrom(65536))
            except socket.timeout:
                break
        return got
