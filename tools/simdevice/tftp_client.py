"""TFTP read client of the simulated device (RFC 1350, with the option
extension of RFC 2347 and the timeout and transfer-size options of RFC 2349).

It is the device's side of an upgrade: one read request for one file, the
data in 512-byte blocks acknowledged one by one, the file ending at the first
block shorter than 512 bytes.  It is written from the RFCs alone, so that it
judges the programs' server instead of mirroring it, and it records what it
saw so that tests can check the server's manners as well as the bytes:

- RRQ: opcode 1, the file name, NUL, "octet", NUL, then, unless options are
  switched off, "tsize" NUL "0" NUL "timeout" NUL "<seconds>" NUL.
- The first answer fixes the server's transfer ID (its address and port,
  RFC 1350 section 4); the server may answer from the port it was asked on
  or from a new one.  A datagram from another port of the server's address
  gets ERROR 5 "Unknown transfer ID" and changes nothing; datagrams from
  other addresses are ignored.
- OACK (opcode 6): its options are recorded and acknowledged with ACK 0
  (RFC 2347).  The device also takes an OACK it did not ask for (the
  upgrade servers send one whatever the request holds): it is recorded as
  unsolicited and acknowledged all the same.  An OACK repeated before the
  first block means the ACK 0 was lost: it is acknowledged again.
- DATA (opcode 3): the expected block is kept and acknowledged; a repeat of
  the block acknowledged last is acknowledged again (its ACK was lost);
  anything else is ignored.  Block numbers are taken modulo 65536.
- No answer within the retransmission wait (the negotiated timeout unless
  told otherwise): the last packet (the RRQ or the last ACK) is sent again,
  at most `retries` times in a row; then the fetch fails.
- After the final ACK the client dallies (RFC 1350 section 6): a repeat of
  the last block, sent because that ACK was lost, is acknowledged again.
- An ERROR from the server ends the fetch.
- A tsize in the OACK must equal the length finally received.

Recovery (group given): the server sends its OACK and DATA to a multicast
group on the client's port instead of to the client's address.  The
client's socket is then bound to its port on the wildcard address (a socket
bound to a unicast address takes no multicast) and joined to the group on
the interface of its own address; its RRQ and ACKs still go to the server's
address, and the server is still known by the source of its packets.  The
record counts by destination address what came from the server's address
(arrived_to: group or unicast), so a test sees where the server sent it.

Every wait is bounded: the whole fetch by `limit` seconds, the data by
`max_bytes`.

Faults, for testing the server (all off by default).  "ACK" here counts
every ACK the client means to send, retransmissions included, from 1:
- drop_first_acks N: the first N ACKs are not sent;
- drop_every_ack K: every K-th ACK is not sent;
- duplicate_acks: every ACK that is sent goes out twice;
- acks_from_other_port K: every K-th ACK leaves from a second socket (so
  another port); the client then notes whether the server took it (its
  next block moves on) or not (it repeats the block);
- error_at_block N: on block N (0: on the OACK) the client sends ERROR
  instead of the ACK and ends the transfer;
- stop_after_block N: blocks up to N are acknowledged (0: only the OACK),
  then nothing more;
- ignore_oack N: the OACK is ignored until the client's own retransmission
  wait has run out N times, each time followed by the RRQ again;
- flood_after_block N: like stop_after_block, but instead of falling silent
  the client floods the server, as fast as it can, with stale ACKs of block
  N from its own port (flood_kind "stale": a confused or spoofing sender)
  or with ACKs of block N + 1 from a second port (flood_kind "strangers").
After error_at_block, stop_after_block or flood_after_block the client keeps
its socket open and counts what the server still sends, until it has been
quiet for `linger_quiet` seconds (at most `linger_limit`): that is how a
test sees the server retransmit and give up.  A flood also notes when it
started and ended (wall clock) and when each repeat came.
"""
import ctypes
import dataclasses
import socket
import struct
import threading
import time

OP_RRQ, OP_WRQ, OP_DATA, OP_ACK, OP_ERROR, OP_OACK = 1, 2, 3, 4, 5, 6
BLOCK_SIZE = 512
DATAGRAM_MAX = 65536
SLOWEST_KEPT = 5             # answers kept in the log's answer_ms.slowest
# Linux's IP_PKTINFO (not named by every Python): the destination address of
# each datagram received, as ancillary data (struct in_pktinfo).
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
ERROR_UNKNOWN_TID = 5


@dataclasses.dataclass
class Settings:
    options: bool = True          # ask for tsize and timeout in the RRQ
    timeout_option: int = 5       # seconds asked for in the timeout option (1..255)
    wait: float | None = None     # own retransmission wait; None: the negotiated timeout
    retries: int = 5              # retransmissions in a row before giving up
    limit: float = 300.0          # bound of the whole fetch, seconds
    dally: float = 2.0            # after the final ACK: re-acknowledge repeats this long
    max_bytes: int = 64 << 20     # a file larger than this is refused
    linger_quiet: float = 2.0
    linger_limit: float = 120.0


@dataclasses.dataclass
class Faults:
    drop_first_acks: int = 0
    drop_every_ack: int = 0
    duplicate_acks: bool = False
    acks_from_other_port: int = 0
    error_at_block: int | None = None
    stop_after_block: int | None = None
    ignore_oack: int = 0
    flood_after_block: int | None = None
    flood_kind: str = "stale"  # or "strangers"

    def active(self):
        """The switches that differ from their default, by name."""
        default = dataclasses.asdict(Faults())
        return {k: v for k, v in dataclasses.asdict(self).items() if v != default[k]}


def rrq_packet(name, settings):
    packet = OP_RRQ.to_bytes(2, "big") + name.encode("latin-1") + b"\0octet\0"
    if settings.options:
        packet += b"tsize\0" b"0\0" b"timeout\0" + str(settings.timeout_option).encode() + b"\0"
    return packet


def ack_packet(block):
    return OP_ACK.to_bytes(2, "big") + (block & 0xFFFF).to_bytes(2, "big")


def error_packet(code, message):
    return OP_ERROR.to_bytes(2, "big") + code.to_bytes(2, "big") + message.encode("latin-1") + b"\0"


def parse_options(payload):
    """The NUL-terminated name/value pairs of an OACK: ({name: value}, notes).
    Names compare without regard to case (RFC 2347)."""
    fields = payload.split(b"\0")
    notes = []
    if fields and fields[-1] == b"":
        fields.pop()
    else:
        notes.append("OACK does not end in NUL")
    if len(fields) % 2:
        notes.append("OACK has a name without a value")
        fields.pop()
    options = {}
    for i in range(0, len(fields), 2):
        options[fields[i].decode("latin-1").lower()] = fields[i + 1].decode("latin-1")
    return options, notes


class Fetch:
    """One read request and its transfer.  run() returns the record that
    the device logs; the file itself is in `data` (only meaningful when
    the record says complete)."""

    def __init__(self, bind_address, server, name, settings=None, faults=None, clock=time.monotonic,
                 group=None, announce=None):
        self.bind_address = bind_address
        self.group = group
        self.server = (server[0], int(server[1]))
        self.name = name
        self.settings = settings or Settings()
        self.faults = faults or Faults()
        self.clock = clock
        self.announce = announce     # announce(**event): called when a flood starts
        self.data = bytearray()
        self.tid = None
        self.last_packet = None      # what a retransmission repeats
        self.last_destination = None
        self.record = {
            "name": name, "server": f"{self.server[0]}:{self.server[1]}", "group": group,
            "arrived_to": {"group": 0, "unicast": 0} if group else None, "complete": False,
            "error": None, "bytes": 0, "blocks": 0, "rrq_sent": 0, "acks_wanted": 0, "acks_sent": 0,
            "acks_dropped": 0, "acks_other_port": 0, "stranger_ack_accepted": 0,
            "duplicates_received": 0, "oack": None, "unsolicited_oack": False, "oacks_ignored": 0,
            "own_retransmissions": 0, "server_port": None, "unknown_tid": 0, "ignored": 0,
            "notes": [], "faults": self.faults.active(), "transfer_seconds": None,
            # Wall-clock time of the first RRQ, so that the transfers of
            # several devices can be laid on one time line.
            "started_at": None,
            "server_error": None, "after_end": None, "flood": None,
            # From the RRQ to the server's first answer (its OACK), seconds:
            # what the server does before it serves.
            "first_answer_seconds": None,
            # How long the server took to answer each ACK with the next
            # packet: where a slow transfer loses its time.
            "answer_ms": {"max": 0.0, "over_2": 0, "over_10": 0, "total_over_2": 0.0, "slowest": []},
        }
        self._ack_sent_at = None
        self._other_port_block = None  # block whose ACK last left from the other port

    # -- sending -----------------------------------------------------------

    def _note(self, text):
        notes = self.record["notes"]
        if len(notes) < 50:
            notes.append(text)

    def _send(self, sock, packet, destination):
        try:
            if sock is self.sock and self.group is not None and self.bind_address != "0.0.0.0":
                # Bound to every address so that the group's datagrams
                # arrive; what it sends still leaves from the device's own
                # address (in_pktinfo: interface 0, source, unused), as from
                # a device that has one address.
                source = struct.pack("=i4s4s", 0, socket.inet_aton(self.bind_address), bytes(4))
                sock.sendmsg([packet], [(socket.IPPROTO_IP, IP_PKTINFO, source)], 0, destination)
            else:
                sock.sendto(packet, destination)
        except OSError as e:
            self._note(f"send failed: {e}")

    def _send_ack(self, block):
        """One ACK the client means to send, through the fault switches."""
        f, r = self.faults, self.record
        r["acks_wanted"] += 1
        n = r["acks_wanted"]
        packet = ack_packet(block)
        self.last_packet, self.last_destination = packet, self.tid
        if n <= f.drop_first_acks or (f.drop_every_ack and n % f.drop_every_ack == 0):
            r["acks_dropped"] += 1
            return
        sock = self.sock
        if f.acks_from_other_port and n % f.acks_from_other_port == 0:
            sock = self.other
            r["acks_other_port"] += 1
            self._other_port_block = block
        else:
            self._other_port_block = None
        for _ in range(2 if f.duplicate_acks else 1):
            self._send(sock, packet, self.tid)
            r["acks_sent"] += 1
        self._ack_sent_at = self.clock()

    def _send_rrq(self):
        packet = rrq_packet(self.name, self.settings)
        self.last_packet, self.last_destination = packet, self.server
        self._send(self.sock, packet, self.server)
        self.record["rrq_sent"] += 1

    # -- receiving -----------------------------------------------------------

    def _receive(self, deadline):
        """(packet, sender) or None when the deadline passes first."""
        left = deadline - self.clock()
        if left <= 0:
            return None
        self.sock.settimeout(left)
        try:
            if self.group is None:
                return self.sock.recvfrom(DATAGRAM_MAX)
            packet, ancillary, _, sender = self.sock.recvmsg(DATAGRAM_MAX, 64)
            if sender[0] == self.server[0]:
                to = next((data[8:12] for level, kind, data in ancillary
                           if level == socket.IPPROTO_IP and kind == IP_PKTINFO), b"")
                self.record["arrived_to"]["group" if to == socket.inet_aton(self.group) else "unicast"] += 1
            return packet, sender
        except (socket.timeout, BlockingIOError):
            return None
        except OSError as e:
            # An ICMP error for an earlier datagram: not an answer.
            self._note(f"receive error: {e}")
            return None

    def _from_server(self, sender):
        """True when the datagram belongs to this transfer; answers strangers
        from the server's address with ERROR 5."""
        if sender[0] != self.server[0]:
            self.record["ignored"] += 1
            return False
        if self.tid is None:
            self.tid = sender
            self.record["server_port"] = sender[1]
            self.record["first_answer_seconds"] = round(self.clock() - self._started, 6)
            return True
        if sender != self.tid:
            self.record["unknown_tid"] += 1
            self._send(self.sock, error_packet(ERROR_UNKNOWN_TID, "Unknown transfer ID"), sender)
            return False
        return True

    def _retransmission_wait(self):
        if self.settings.wait is not None:
            return self.settings.wait
        oack = self.record["oack"] or {}
        try:
            value = int(oack.get("timeout", ""))
            if 1 <= value <= 255:
                return float(value)
        except ValueError:
            pass
        return float(self.settings.timeout_option if self.settings.options else 5)

    # -- the transfer --------------------------------------------------------

    def run(self):
        s, r, f = self.settings, self.record, self.faults
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.other = None
        try:
            if self.group is None:
                self.sock.bind((self.bind_address, 0))
            else:
                self.sock.bind(("0.0.0.0", 0))
                interface = socket.inet_aton(self.bind_address)
                self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                                     socket.inet_aton(self.group) + interface)
                self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
            if f.acks_from_other_port or f.flood_after_block is not None:
                self.other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                self.other.bind((self.bind_address, 0))
            self._transfer()
        except OSError as e:
            r["error"] = f"socket: {e}"
        finally:
            self.sock.close()
            if self.other is not None:
                self.other.close()
        r["bytes"] = len(self.data)
        return r

    def _transfer(self):
        s, r, f = self.settings, self.record, self.faults
        start = self._started = self.clock()
        r["started_at"] = round(time.time(), 6)
        end = start + s.limit
        expected = 1               # the next block wanted
        oack_done = False          # ACK 0 sent (or data arrived without an OACK)
        ignore_rounds = f.ignore_oack
        tsize = None
        self._send_rrq()
        retries = 0
        retransmit_at = self.clock() + self._retransmission_wait()

        while True:
            now = self.clock()
            if now >= end:
                r["error"] = f"no complete transfer within {s.limit:g} s"
                return
            got = self._receive(min(retransmit_at, end))
            if got is None:
                if self.clock() < retransmit_at:
                    continue
                if ignore_rounds:
                    # Deaf to the OACK on purpose: this round is the fault,
                    # not a lost answer.
                    ignore_rounds -= 1
                elif retries >= s.retries:
                    r["error"] = f"no answer after {s.retries} retransmissions"
                    return
                else:
                    retries += 1
                r["own_retransmissions"] += 1
                if self.last_packet is not None and self.last_packet[1] == OP_RRQ:
                    self._send_rrq()
                elif self.last_packet is not None:
                    self._send_ack(int.from_bytes(self.last_packet[2:4], "big"))
                retransmit_at = self.clock() + self._retransmission_wait()
                continue

            packet, sender = got
            if not self._from_server(sender):
                continue
            if len(packet) < 4:
                r["ignored"] += 1
                continue
            opcode = int.from_bytes(packet[:2], "big")

            if opcode == OP_ERROR:
                code = int.from_bytes(packet[2:4], "big")
                text = packet[4:].split(b"\0", 1)[0].decode("latin-1")
                r["server_error"] = {"code": code, "message": text}
                r["error"] = f"server sent ERROR {code} {text!r}"
                return

            if opcode == OP_OACK:
                if oack_done:
                    if expected == 1:
                        # Our ACK 0 went missing: say it again.
                        r["duplicates_received"] += 1
                        self._send_ack(0)
                    else:
                        r["ignored"] += 1
                    continue
                if ignore_rounds:
                    r["oacks_ignored"] += 1
                    continue
                options, notes = parse_options(packet[2:])
                r["oack"] = options
                for note in notes:
                    self._note(note)
                if not s.options:
                    r["unsolicited_oack"] = True
                else:
                    asked = {"tsize", "timeout"}
                    extra = sorted(set(options) - asked)
                    if extra:
                        self._note(f"OACK carries options not asked for: {extra}")
                    if options.get("timeout", str(s.timeout_option)) != str(s.timeout_option):
                        self._note(f"OACK timeout {options['timeout']!r}, asked {s.timeout_option}")
                if "tsize" in options:
                    if not options["tsize"].isdigit():
                        r["error"] = f"OACK tsize {options['tsize']!r} is not a number"
                        return
                    tsize = int(options["tsize"])
                    if tsize > s.max_bytes:
                        r["error"] = f"OACK tsize {tsize} is more than this device takes"
                        return
                oack_done = True
                if f.error_at_block == 0:
                    self._send(self.sock, error_packet(0, "Upgrade refused by the device"), self.tid)
                    r["error"] = "sent ERROR on the OACK (fault)"
                    self._linger(b"oack")
                    return
                self._send_ack(0)
                retries = 0
                retransmit_at = self.clock() + self._retransmission_wait()
                continue

            if opcode != OP_DATA:
                r["ignored"] += 1
                continue

            block = int.from_bytes(packet[2:4], "big")
            payload = packet[4:]
            if self._other_port_block is not None:
                # What follows an ACK from the other port tells whether the
                # server took it.
                if block == (self._other_port_block + 1) & 0xFFFF:
                    r["stranger_ack_accepted"] += 1
                self._other_port_block = None
            if block == expected & 0xFFFF:
                self._count_answer_time(expected)
                if len(payload) > BLOCK_SIZE:
                    r["error"] = f"block {expected} carries {len(payload)} bytes"
                    return
                if len(self.data) + len(payload) > s.max_bytes:
                    r["error"] = "file larger than this device takes"
                    return
                if not oack_done and s.options:
                    self._note("server ignored the options (data without OACK)")
                oack_done = True
                self.data += payload
                r["blocks"] = expected
                if f.error_at_block == expected:
                    self._send(self.sock, error_packet(0, "Upgrade refused by the device"), self.tid)
                    r["error"] = f"sent ERROR on block {expected} (fault)"
                    self._linger(packet)
                    return
                if f.flood_after_block is not None and expected > f.flood_after_block:
                    r["error"] = f"flooded the server after block {f.flood_after_block} (fault)"
                    self._flood(packet)
                    return
                if f.stop_after_block is not None and expected > f.stop_after_block:
                    r["error"] = f"stopped acknowledging after block {f.stop_after_block} (fault)"
                    self._linger(packet)
                    return
                self._send_ack(block)
                expected += 1
                retries = 0
                retransmit_at = self.clock() + self._retransmission_wait()
                if len(payload) < BLOCK_SIZE:
                    r["transfer_seconds"] = round(self.clock() - start, 6)
                    break
                continue
            if oack_done and expected > 1 and block == (expected - 1) & 0xFFFF:
                r["duplicates_received"] += 1
                self._send_ack(block)
                continue
            r["ignored"] += 1

        if tsize is not None and tsize != len(self.data):
            r["error"] = f"received {len(self.data)} bytes, the OACK said tsize {tsize}"
            return
        r["complete"] = True
        self._dally(expected - 1)

    def _count_answer_time(self, block):
        if self._ack_sent_at is None:
            return
        ms = (self.clock() - self._ack_sent_at) * 1000.0
        stats = self.record["answer_ms"]
        stats["max"] = round(max(stats["max"], ms), 3)
        # The slowest answers with the block they brought, so that a stall
        # can be told apart: the first block after the dialog switch, or a
        # redraw every so many blocks.
        slowest = stats["slowest"]
        slowest.append([block, round(ms, 3)])
        slowest.sort(key=lambda pair: -pair[1])
        del slowest[SLOWEST_KEPT:]
        if ms > 2:
            stats["over_2"] += 1
            stats["total_over_2"] = round(stats["total_over_2"] + ms, 3)
        if ms > 10:
            stats["over_10"] += 1
        self._ack_sent_at = None

    def _dally(self, last_block):
        """Acknowledges repeats of the last block for a while: the final ACK
        may have been lost, and the server would otherwise wait in vain."""
        end = self.clock() + self.settings.dally
        while True:
            got = self._receive(end)
            if got is None:
                if self.clock() >= end:
                    return
                continue
            packet, sender = got
            if sender != self.tid or len(packet) < 4:
                continue
            if (int.from_bytes(packet[:2], "big") == OP_DATA
                    and int.from_bytes(packet[2:4], "big") == last_block & 0xFFFF):
                self.record["duplicates_received"] += 1
                self._send_ack(last_block)

    def _linger(self, last):
        """After a fault ended the transfer on purpose: counts what the
        server still sends, until it has been quiet for a while.  `last` is
        the packet the client refused (b"oack" for the OACK)."""
        s = self.settings
        stop = self.clock() + s.linger_limit
        seen = {"packets": 0, "repeats": 0, "other": 0, "errors": 0}
        while True:
            quiet_end = min(self.clock() + s.linger_quiet, stop)
            got = self._receive(quiet_end)
            if got is None:
                if self.clock() >= quiet_end:
                    break
                continue
            packet, sender = got
            if sender != self.tid:
                continue
            seen["packets"] += 1
            opcode = int.from_bytes(packet[:2], "big") if len(packet) >= 2 else -1
            if (last == b"oack" and opcode == OP_OACK) or packet == last:
                seen["repeats"] += 1
            elif opcode == OP_ERROR:
                seen["errors"] += 1
            else:
                seen["other"] += 1
        self.record["after_end"] = seen


    def _flood(self, last):
        """flood_after_block: `last` is the block not acknowledged.  Two
        threads pour the flood's datagram out in bursts while this one counts
        what comes back, until the server has been quiet for linger_quiet
        seconds (at most linger_limit).  Two, because one is not always
        faster than a native server's receive loop, and a flood the server
        keeps up with leaves it idle moments that hide what a real flood
        does."""
        s, f = self.settings, self.faults
        block = int.from_bytes(last[2:4], "big")
        if f.flood_kind == "strangers":
            sender, packet = self.other, ack_packet(block)
        else:
            sender, packet = self.sock, ack_packet(block - 1)
        seen = {"packets": 0, "repeats": 0, "other": 0, "errors": 0}
        flood = {"kind": f.flood_kind, "block": block, "sent": 0, "started": time.time(), "ended": None,
                 "repeat_s": []}
        if self.announce is not None:
            self.announce(event="flood", kind=f.flood_kind, block=block)
        stop = threading.Event()
        sent = [0, 0]

        def pour(i):
            burst = burst_sender(sender, packet, self.tid)
            while not stop.is_set():
                sent[i] += burst()
        pourers = [threading.Thread(target=pour, args=(i,), daemon=True) for i in range(len(sent))]
        for t in pourers:
            t.start()
        start = heard = self.clock()
        try:
            while self.clock() - heard < s.linger_quiet and self.clock() - start < s.linger_limit:
                got = self._receive(min(heard + s.linger_quiet, start + s.linger_limit))
                if got is None or got[1] != self.tid:
                    continue
                heard = self.clock()
                seen["packets"] += 1
                if got[0] == last:
                    seen["repeats"] += 1
                    flood["repeat_s"].append(round(heard - start, 4))
                elif got[0][:2] == OP_ERROR.to_bytes(2, "big"):
                    seen["errors"] += 1
                else:
                    seen["other"] += 1
        finally:
            stop.set()
            for t in pourers:
                t.join(timeout=5)
        flood["sent"] = sum(sent)
        flood["ended"] = time.time()
        self.record["after_end"] = seen
        self.record["flood"] = flood


class _IoVec(ctypes.Structure):
    _fields_ = [("base", ctypes.c_void_p), ("length", ctypes.c_size_t)]


class _MsgHdr(ctypes.Structure):
    _fields_ = [("name", ctypes.c_void_p), ("namelen", ctypes.c_uint32), ("iov", ctypes.POINTER(_IoVec)),
                ("iovlen", ctypes.c_size_t), ("control", ctypes.c_void_p), ("controllen", ctypes.c_size_t),
                ("flags", ctypes.c_int)]


class _MMsgHdr(ctypes.Structure):
    _fields_ = [("hdr", _MsgHdr), ("len", ctypes.c_uint)]


def burst_sender(sock, packet, destination, count=64):
    """A function that sends `packet` to `destination` up to `count` times
    and returns how many went.  One sendmmsg call where the C library has it:
    a Python loop of sendto is slower than a native server's receive loop,
    which would then find its socket empty between datagrams and never feel
    the flood.  Otherwise that loop."""
    try:
        sendmmsg = ctypes.CDLL(None, use_errno=True).sendmmsg
    except (AttributeError, OSError):
        sendmmsg = None

    def loop():
        sent = 0
        for _ in range(count):
            try:
                sock.sendto(packet, destination)
                sent += 1
            except OSError:
                pass  # a full send buffer, or an ICMP error for an earlier datagram
        return sent

    if sendmmsg is None or sock.family != socket.AF_INET:
        return loop
    address = (ctypes.c_uint16(socket.AF_INET).value.to_bytes(2, "little") + destination[1].to_bytes(2, "big")
               + socket.inet_aton(destination[0]) + bytes(8))
    keep = [ctypes.create_string_buffer(address, 16), ctypes.create_string_buffer(packet, len(packet))]
    iov = _IoVec(ctypes.cast(keep[1], ctypes.c_void_p), len(packet))
    messages = (_MMsgHdr * count)()
    for m in messages:
        m.hdr = _MsgHdr(ctypes.cast(keep[0], ctypes.c_void_p), 16, ctypes.pointer(iov), 1, None, 0, 0)
    fd = sock.fileno()

    def burst():
        keep  # the buffers live as long as this function
        sent = sendmmsg(fd, messages, count, 0)
        return max(sent, 0)
    return burst


def image_version(data):
    """The version text of an image header: NUL-terminated at offset 92."""
    field = bytes(data[92:128])
    return field.split(b"\0", 1)[0].decode("latin-1")
