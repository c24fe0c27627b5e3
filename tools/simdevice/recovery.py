"""Recovery responder of the simulated device: what a device with corrupt
firmware still runs, so that a PC can find it by its serial number and tell
it where to fetch a new image.

device.py starts it with --recovery.  It listens on UDP port 4810 (any
address, so that datagrams to the group arrive) and is a member of the
group 234.4.8.10 on the interface that holds --address.

Messages it takes (160 bytes; every other length is logged and dropped):

    offset  size  field
    0       1     type: 0 find the device with this serial number,
                        2 fetch the named file by TFTP from the sender
    4       4     "RECM"
    8       20    serial number, up to the first NUL (compared exactly)
    28      2     type 2: the sender's TFTP port, network order
    32      128   type 2: the file name, up to the first NUL

A message for another serial number, with another magic or another type is
dropped.  To a message for its own serial number it answers with the reply
(100 bytes):

    0       1     1 (a reply)        4   4   "RECM"
    8       20    serial number      28  20  product name
    48      6     MAC address        54  20  software version (as reported now)
    74      20    hardware version   94  4   IPv4 address, network order
    98      2     zero
Text fields are cut to 20 bytes and padded with NUL: a 20-character text
fills its field with no NUL after it.

A type 2 message for its serial number starts an upgrade through
upgrade.UpgradeHandler (the same fetch, byte check, install and log events as
an upgrade command over HTTP), with the TFTP client joined to the group: in
recovery the PC's server sends its OACK and DATA to the group, on the port
the client asked from.  A PC repeats its message until it has a reply; a
repeat of a command accepted less than 15 s before (same sender address,
port and name; a PC gives up after 5 sends in about 12.5 s) is answered
again but fetches nothing.

Switches: --recovery-answer-from N (discovers before the N-th for its serial
number get no answer), --recovery-silent, --recovery-junk (a 60-byte and a
160-byte datagram to the same destination before each reply),
--recovery-reply-address (the address written into the reply),
--recovery-reply-to sender|group (group: to the group on the sender's port,
as a device may answer), --recovery-answer-every-discover (a discover for any
serial number is answered, with the device's own number in the reply, as a
careless device on the same LAN may do; an upgrade message still has to name
its own number).

Log events: "recovery-datagram" for every datagram received (source, length,
hex bytes, verdict) and "recovery-sent" for every datagram sent (kind reply
or junk, destination, length).
"""
import socket
import threading
import time

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
MESSAGE_LENGTH = 160
REPLY_LENGTH = 100
MAGIC = b"RECM"
RECOVERY_DISCOVER = 0
RECOVERY_UPGRADE = 2
REPLY_TYPE = 1
# Linux's IP_MULTICAST_ALL (not named by every Python): 0 limits the socket
# to the groups it joined itself, on the interface it joined them on, so a
# message that reaches the device on another interface is not taken.
IP_MULTICAST_ALL = getattr(socket, "IP_MULTICAST_ALL", 49)
TEXT_FIELD = 20
RECEIVE_MAX = 65536
POLL_S = 0.2
REPEAT_WINDOW_S = 15.0


def add_arguments(parser):
    group = parser.add_argument_group("recovery")
    group.add_argument("--recovery", action="store_true",
                       help=f"answer the recovery exchange on UDP port {DEVICE_PORT}, group {GROUP}")
    group.add_argument("--recovery-answer-from", type=int, default=1, metavar="N",
                       help="answer only from the N-th discover for this serial number on (default 1)")
    group.add_argument("--recovery-silent", action="store_true", help="never answer")
    group.add_argument("--recovery-junk", action="store_true",
                       help="send a 60-byte and a 160-byte datagram before each reply")
    group.add_argument("--recovery-reply-address", default=None, metavar="A.B.C.D",
                       help="the address written into the reply (default: --address)")
    group.add_argument("--recovery-reply-to", choices=["sender", "group"], default="sender",
                       help="unicast to the sender's address and port, or to the group on the sender's port")
    group.add_argument("--recovery-answer-every-discover", action="store_true",
                       help="answer a discover for any serial number, naming its own in the reply")


def text_field(text, size=TEXT_FIELD):
    """The text as latin-1 bytes cut to `size` and padded with NUL."""
    return text.encode("latin-1")[:size].ljust(size, b"\0")


def field_text(data):
    return data.split(b"\0", 1)[0].decode("latin-1")


def mac_bytes(text):
    """"00:0E:08:12:34:56" (or with dashes, or 12 bare digits) to 6 bytes."""
    digits = text.replace(":", "").replace("-", "")
    value = bytes.fromhex(digits)
    if len(value) != 6:
        raise ValueError(f"MAC address {text!r} is not 6 bytes")
    return value


def build_reply(serial, product, mac, software, hardware, address):
    reply = (bytes([REPLY_TYPE, 0, 0, 0]) + MAGIC + text_field(serial) + text_field(product) + mac
             + text_field(software) + text_field(hardware) + socket.inet_aton(address) + b"\0\0")
    assert len(reply) == REPLY_LENGTH
    return reply


def parse_message(data):
    """{type, serial, port, name} of a 160-byte message with the magic, or
    None with the reason."""
    if len(data) != MESSAGE_LENGTH:
        return None, f"length {len(data)}"
    if data[4:8] != MAGIC:
        return None, "no magic"
    return {"type": data[0], "serial": field_text(data[8:28]),
            "port": int.from_bytes(data[28:30], "big"), "name": field_text(data[32:160])}, None


def junk_datagrams(message):
    # What a PC may meet on its port besides the reply: a short datagram and
    # a copy of a 160-byte message (as its own multicast looped back is).
    return [bytes(range(60)), bytes(message)]


class Responder:
    def __init__(self, args, log, upgrade_handler):
        self.args = args
        self.log = log
        self.upgrade = upgrade_handler
        self.mac = mac_bytes(args.mac_address)
        self.discovers = 0
        self.accepted = {}  # (host, port, name) -> when that upgrade command was taken
        self.stopping = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("0.0.0.0", DEVICE_PORT))
        interface = socket.inet_aton(args.address)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + interface)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, interface)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)
        self.sock.settimeout(POLL_S)
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def start(self):
        self.log(event="recovery-start", port=DEVICE_PORT, group=GROUP, interface=self.args.address)
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=2)
        self.sock.close()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                data, sender = self.sock.recvfrom(RECEIVE_MAX)
            except socket.timeout:
                continue
            except OSError as e:
                if self.stopping.is_set():
                    return
                self.log(event="recovery-error", error=str(e))
                continue
            try:
                verdict, outgoing = self._handle(data, sender)
            except Exception as e:  # a fault of this simulator: log it, stay up
                verdict, outgoing = f"simulated device failed: {type(e).__name__}: {e}", []
            self.log(event="recovery-datagram", source=list(sender), length=len(data), hex=data.hex(),
                     verdict=verdict)
            for kind, payload, destination in outgoing:
                try:
                    self.sock.sendto(payload, destination)
                except OSError as e:
                    self.log(event="recovery-error", error=f"send to {destination}: {e}")
                    continue
                self.log(event="recovery-sent", kind=kind, destination=list(destination), length=len(payload))

    def _handle(self, data, sender):
        """(verdict, [(kind, payload, destination) to send]) for one datagram."""
        message, reason = parse_message(data)
        if message is None:
            return f"dropped: {reason}", []
        other = message["serial"] != self.args.serial_number
        if other and not (message["type"] == RECOVERY_DISCOVER and self.args.recovery_answer_every_discover):
            return f"dropped: serial number {message['serial']!r}", []
        if other:
            return self._answer(data, sender, f"discover for {message['serial']!r}")
        if message["type"] == RECOVERY_DISCOVER:
            self.discovers += 1
            if self.discovers < self.args.recovery_answer_from:
                return f"discover {self.discovers}: not answered yet", []
            return self._answer(data, sender, f"discover {self.discovers}")
        if message["type"] == RECOVERY_UPGRADE:
            command = (sender[0], message["port"], message["name"])
            now = time.monotonic()
            if command in self.accepted and now - self.accepted[command] < REPEAT_WINDOW_S:
                verdict = "upgrade: repeat"
            elif self.upgrade.start(*command, group=GROUP):
                self.accepted[command] = now
                verdict = "upgrade: fetching"
            else:
                verdict = "upgrade: refused"
            return self._answer(data, sender, verdict)
        return f"dropped: type {message['type']}", []

    def _answer(self, message, sender, verdict):
        if self.args.recovery_silent:
            return verdict + ", silent", []
        a = self.args
        reply = build_reply(a.serial_number, a.product_name, self.mac, self.upgrade.reported_version(),
                            a.hardware_version, a.recovery_reply_address or a.address)
        destination = sender if a.recovery_reply_to == "sender" else (GROUP, sender[1])
        junk = [("junk", d, destination) for d in junk_datagrams(message)] if a.recovery_junk else []
        return verdict + ", answered", junk + [("reply", reply, destination)]
