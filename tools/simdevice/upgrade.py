"""Upgrade command of the simulated device.

device.py hands every accepted "/admin/upgrade?tftp://A.B.C.D:P/name" to the
UpgradeHandler below, asks it which software version the status page shows,
and whether the web server answers at all just now:

    add_arguments(parser)            adds this module's options to device.py's
    handler = UpgradeHandler(args, log)
    handler.start(host, port, name[, group])
                                     one upgrade command; returns at once
                                     (long work goes on a thread of its own);
                                     True when the device accepts the command;
                                     with a group (recovery) the client takes
                                     the server's packets sent to that group
    handler.reported_version()       the software version to show now
    handler.answering()              False while the device installs with
                                     --silent-while-installing: device.py
                                     then closes each connection unanswered

host is the dotted IPv4 text from the URL, port an int, name the file name
exactly as it follows the port in the URL (with its leading "/").  log is
device.py's log: log(event="...", key=value, ...) writes one JSON line;
it may be called from any thread.

What an accepted command does, as a device does it:
1. fetch: the file by TFTP from host:port with the device's own client
   (tftp_client.py), from the device's own address; --fetch-delay S starts
   it S seconds after the command, as a device that first finishes other
   work (event "fetch-delayed" as it starts; busy meanwhile);
2. check: the length and every byte against the image the test expects
   (--expect-image, one per fetch in order, the last one for any later
   fetch), and log event="tftp" with ok, bytes, error and the client's record;
3. install: for --install-delay seconds, during which the web server is down
   if --silent-while-installing is given (the status page keeps the old
   version otherwise); then the status page reports the version text of the
   received image's header (offset 92, NUL-terminated), or --report-version.
   A fetch that failed or did not match installs nothing: the old version
   stays.
While one command is being worked on (fetch or install), another is refused
(the device answers 503).

Fault switches of the TFTP side are the tftp_client.Faults; --no-fetch
accepts the command and never fetches.

A device on a hostile LAN: --steal-name-from LOG makes it, before its own
fetch, ask the same server for the file that ANOTHER simulated device was
told to fetch (the name of the first "upgrade" event in that device's
JSON-lines log, waited for up to STEAL_WAIT_S), with a short-lived client.
What came is logged as event "steal" (name, ok, bytes, error, the client's
record); nothing of it is kept or installed, and its own fetch follows as
usual.  A server that routes read requests by sender and name gives it
nothing.
"""
import json
import os
import threading
import time

import tftp_client

STEAL_WAIT_S = 60  # bound of the wait for the other device's command
STEAL_POLL_S = 0.05
# The stolen fetch gives up soon: a server that ignores it is the right one.
STEAL_SETTINGS = dict(wait=0.5, retries=2, limit=5.0, dally=0.0, linger_quiet=0.5)


def add_arguments(parser):
    group = parser.add_argument_group("upgrade")
    group.add_argument("--software-version", default="7.5.5",
                       help="software version the status page reports before any upgrade (default %(default)s)")
    group.add_argument("--expect-image", action="append", default=[], metavar="PATH",
                       help="image the n-th fetch must deliver byte for byte; repeat for a staged upgrade "
                            "(the last one also checks any later fetch); without it any file is taken")
    group.add_argument("--install-delay", type=float, default=1.0, metavar="SECONDS",
                       help="time between the end of the fetch and the new version (default %(default)s)")
    group.add_argument("--silent-while-installing", action="store_true",
                       help="during the install delay, close every HTTP connection without an answer")
    group.add_argument("--report-version", default=None, metavar="TEXT",
                       help="after an install, report this instead of the image's version")
    group.add_argument("--no-fetch", action="store_true", help="accept upgrade commands but never fetch")
    group.add_argument("--fetch-delay", type=float, default=0.0, metavar="SECONDS",
                       help="start each fetch this long after its command (default %(default)s)")
    group.add_argument("--keep-received", default=None, metavar="DIR",
                       help="write every fetched file to DIR/<n>-<name> (n counts fetches from 1)")
    group.add_argument("--steal-name-from", default=None, metavar="LOG",
                       help="before each fetch, ask the same server for the file name another simulated device "
                            "(the one logging to LOG) was told to fetch; logged as event \"steal\"")

    tftp = parser.add_argument_group("TFTP client")
    tftp.add_argument("--tftp-no-options", action="store_true",
                      help="plain RFC 1350 read request, without tsize and timeout")
    tftp.add_argument("--tftp-timeout-option", type=int, default=5, metavar="SECONDS",
                      help="value of the timeout option asked for (default %(default)s)")
    tftp.add_argument("--tftp-wait", type=float, default=None, metavar="SECONDS",
                      help="own retransmission wait (default: the negotiated timeout)")
    tftp.add_argument("--tftp-retries", type=int, default=5,
                      help="retransmissions in a row before the fetch fails (default %(default)s)")
    tftp.add_argument("--tftp-limit", type=float, default=300.0, metavar="SECONDS",
                      help="bound of a whole fetch (default %(default)s)")
    tftp.add_argument("--tftp-dally", type=float, default=2.0, metavar="SECONDS",
                      help="after the final ACK, acknowledge repeats of the last block this long")
    tftp.add_argument("--tftp-linger-quiet", type=float, default=2.0, metavar="SECONDS",
                      help="after a fault ended a transfer, count what the server sends until it has "
                           "been quiet this long (default %(default)s)")

    faults = parser.add_argument_group("TFTP faults (ACKs are counted from 1, retransmissions included)")
    faults.add_argument("--drop-first-acks", type=int, default=0, metavar="N", help="do not send the first N ACKs")
    faults.add_argument("--drop-every-ack", type=int, default=0, metavar="K", help="do not send every K-th ACK")
    faults.add_argument("--duplicate-acks", action="store_true", help="send every ACK twice")
    faults.add_argument("--acks-from-other-port", type=int, default=0, metavar="K",
                        help="send every K-th ACK from another port (1: all of them)")
    faults.add_argument("--error-at-block", type=int, default=None, metavar="N",
                        help="answer block N (0: the OACK) with an ERROR and end the transfer")
    faults.add_argument("--stop-after-block", type=int, default=None, metavar="N",
                        help="acknowledge blocks up to N (0: only the OACK), then nothing more")
    faults.add_argument("--ignore-oack", type=int, default=0, metavar="N",
                        help="ignore the OACK through N of the client's own waits, sending the RRQ "
                             "again after each")
    faults.add_argument("--flood-after-block", type=int, default=None, metavar="N",
                        help="acknowledge blocks up to N, then flood the server until it falls quiet")
    faults.add_argument("--flood-kind", choices=["stale", "strangers"], default="stale",
                        help="stale: ACKs of block N from the device's own port; strangers: ACKs of "
                             "block N + 1 from another port (default %(default)s)")


def client_settings(args):
    return tftp_client.Settings(options=not args.tftp_no_options, timeout_option=args.tftp_timeout_option,
                                wait=args.tftp_wait, retries=args.tftp_retries, limit=args.tftp_limit,
                                dally=args.tftp_dally, linger_quiet=args.tftp_linger_quiet)


def client_faults(args):
    return tftp_client.Faults(drop_first_acks=args.drop_first_acks, drop_every_ack=args.drop_every_ack,
                              duplicate_acks=args.duplicate_acks, acks_from_other_port=args.acks_from_other_port,
                              error_at_block=args.error_at_block, stop_after_block=args.stop_after_block,
                              ignore_oack=args.ignore_oack, flood_after_block=args.flood_after_block,
                              flood_kind=args.flood_kind)


def compare(received, expected):
    """None when the bytes are the same, else what differs."""
    if len(received) != len(expected):
        return f"received {len(received)} bytes, expected {len(expected)}"
    if received != expected:
        first = next(i for i, (a, b) in enumerate(zip(received, expected)) if a != b)
        return f"byte {first} differs from the expected image"
    return None


class UpgradeHandler:
    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.lock = threading.Lock()
        self.commands = []  # (host, port, name) in the order received
        self.fetches = 0
        self.state = "running"  # running | fetching | installing
        self.version = args.software_version
        self.expected = []
        for path in args.expect_image:
            with open(path, "rb") as f:
                self.expected.append((path, f.read()))

    def start(self, host, port, name, group=None):
        with self.lock:
            self.commands.append((host, port, name))
            busy = self.state != "running"
            if not busy and not self.args.no_fetch:
                self.state = "fetching"
                self.fetches += 1
                number = self.fetches
        self.log(event="upgrade", host=host, port=port, name=name, group=group,
                 verdict="busy" if busy else "ignored" if self.args.no_fetch else "fetching")
        if busy:
            return False
        if not self.args.no_fetch:
            threading.Thread(target=self._upgrade, args=(number, host, port, name, group), daemon=True).start()
        return True

    def reported_version(self):
        with self.lock:
            return self.version

    def answering(self):
        with self.lock:
            return not (self.args.silent_while_installing and self.state == "installing")

    def _bind_address(self):
        # The device talks TFTP from its own address, like its web server.
        return self.args.address if self.args.address not in ("", "0.0.0.0") else "0.0.0.0"

    def _upgrade(self, number, host, port, name, group):
        try:
            self._fetch_and_install(number, host, port, name, group)
        except Exception as e:  # a fault of this simulator: say so in the log, stay usable
            self.log(event="tftp", number=number, name=name, ok=False, bytes=0,
                     error=f"simulated device failed: {type(e).__name__}: {e}")
            with self.lock:
                self.state = "running"

    def _fetch_and_install(self, number, host, port, name, group):
        if self.args.fetch_delay > 0:
            time.sleep(self.args.fetch_delay)
            self.log(event="fetch-delayed", number=number, seconds=self.args.fetch_delay)
        if self.args.steal_name_from:
            self._steal(number, host, port)
        fetch = tftp_client.Fetch(self._bind_address(), (host, port), name,
                                  client_settings(self.args), client_faults(self.args), group=group,
                                  announce=lambda **event: self.log(number=number, **event))
        record = fetch.run()
        data = bytes(fetch.data)
        error = record["error"]
        expected_path = None
        if error is None and self.expected:
            expected_path, expected = self.expected[min(number, len(self.expected)) - 1]
            error = compare(data, expected)
        kept = None
        if self.args.keep_received and record["bytes"]:
            kept = os.path.join(self.args.keep_received, f"{number}-{os.path.basename(name) or 'file'}")
            with open(kept, "wb") as f:
                f.write(data)
        ok = error is None and record["complete"]
        outcome = dict(record)
        outcome.update(number=number, ok=ok, bytes=len(data), error=error, expected=expected_path,
                       image_version=tftp_client.image_version(data) if ok else None, kept=kept)
        self.log(event="tftp", **outcome)
        if not ok:
            with self.lock:
                self.state = "running"
            return

        with self.lock:
            self.state = "installing"
        self.log(event="installing", number=number, seconds=self.args.install_delay,
                 silent=self.args.silent_while_installing)
        time.sleep(max(0.0, self.args.install_delay))
        version = self.args.report_version
        if version is None:
            version = tftp_client.image_version(data)
        with self.lock:
            self.version = version
            self.state = "running"
        self.log(event="installed", number=number, version=version)


    def _steal(self, number, host, port):
        """Asks host:port for the file another device was told to fetch."""
        name = other_device_name(self.args.steal_name_from)
        if name is None:
            self.log(event="steal", number=number, name=None, ok=False, bytes=0,
                     error=f"no upgrade command in {self.args.steal_name_from} within {STEAL_WAIT_S} s")
            return
        settings = tftp_client.Settings(options=not self.args.tftp_no_options, **STEAL_SETTINGS)
        fetch = tftp_client.Fetch(self._bind_address(), (host, port), name, settings)
        record = fetch.run()
        outcome = dict(record)
        outcome.update(number=number, ok=record["error"] is None and record["complete"], bytes=len(fetch.data))
        self.log(event="steal", **outcome)


def other_device_name(log_path):
    """The file name of the first upgrade command in another simulated
    device's log, once it is there (None after STEAL_WAIT_S)."""
    deadline = time.monotonic() + STEAL_WAIT_S
    while time.monotonic() < deadline:
        try:
            with open(log_path, encoding="utf-8") as f:
                for line in f:
                    if not line.endswith("\n"):
                        break  # a line still being written
                    event = json.loads(line)
                    if event.get("event") == "upgrade":
                        return event["name"]
        except FileNotFoundError:
            pass
        time.sleep(STEAL_POLL_S)
    return None
