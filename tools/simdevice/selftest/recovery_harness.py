"""The recovery runs happen inside a private network namespace that the test
creates (tools/lab/private_net.py: loopback only, multicast over lo), so that
nothing is ever sent on the machine's own network.

- ``message``: a recovery message built field by field.
- ``Pc``: a UDP socket on port 4811 joined to 234.4.8.10 on 127.0.0.1, as
  the PC's recovery socket is, sending messages to the group.
"""
import socket
import time

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
PC_PORT = 4811


def message(kind, serial, port=0, name=b""):
    """A 160-byte recovery message, field by field."""
    return (bytes([kind, 0, 0, 0])                  # type, reserved
            + b"RECM"                               # magic
            + serial.ljust(20, b"\0")[:20]          # serial number, NUL-padded
            + port.to_bytes(2, "big")               # TFTP port (type 2)
            + b"\0\0"                               # reserved
            + name.ljust(128, b"\0"))               # file name (type 2)


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
