#!/usr/bin/env python3
"""Simulated QVR device, web side: the administration pages over HTTP/1.1
with optional Digest authentication (RFC 2617 and the device's own dialect).

  device.py --address 127.0.0.1 [--port 80] [--log FILE] [options]

Written from the protocol, not from the programs' code, so that it catches
their faults.  What it does:

- One request per connection: it reads the request head, answers, closes.
- "/admin/advanced": the status page, a table whose cells hold the labels
  "Product Name:", "MAC Address:", "Software Version:", "Hardware Version:",
  "Serial Number:" and, in the next cell, their values (options below).
- "/admin/upgrade?tftp://A.B.C.D:P/name": handed to upgrade.UpgradeHandler,
  which fetches the image by TFTP and installs it; answered with a page.
  While it installs with --silent-while-installing, every connection is
  closed without an answer.
- Digest authentication (--auth digest, the default) on every page: a
  request without a valid Authorization line gets 401 and a challenge,
      WWW-Authenticate: Digest realm="..", nonce=".."[, qop=".."]
                        [, algorithm=".."][, opaque=".."]
  written with quoted values; --qop "" leaves qop out, --algorithm is left
  out unless given (any text and letter case: MD5, md5-sess, MD5-SESS).
  --nonce-mode fixed keeps one nonce for the whole run; fresh makes a new
  one for every challenge.
- Every Authorization line is checked: scheme, user name, realm, a nonce
  this device issued, uri equal to the request target, algorithm as
  announced, opaque echoed, qop as announced with an nc above the last one
  accepted for that nonce and a cnonce, and the response digest.  A wrong
  line gets a fresh challenge (a new nonce in fresh mode).
- md5-sess: H(A1) = MD5(raw 16 bytes of MD5(user:realm:password) ":" nonce
  ":" cnonce), as the device computes it; --sess-hex switches to RFC 2617's
  hex text instead.
- Every request goes to the log (--log, JSON lines): peer, request line,
  headers, the parsed Authorization, the verdict and the status sent.
- With --recovery, also the recovery responder (recovery.py): found by its
  serial number over UDP multicast, and told there to fetch an image.
- Timing of a device busy writing its flash: --hold-upgrade-answer S answers
  an accepted upgrade command S seconds after it arrived (the fetch starts at
  once), with the status page as it was when the command came; "status"
  instead of a number holds that answer until a later status request's
  answer has begun and sends it meanwhile.  Arrival and answer are logged
  (event "upgrade-held"; "upgrade-answered" as the answer begins).  --dribble-ms MS sends every
  answer in 64-byte pieces, MS milliseconds apart.
- Devices that never answer or answer wrongly, for a client's deadlines:
  --mute accepts every connection, reads what comes and never answers;
  --mute-upgrade works on an accepted upgrade command as usual (fetch and
  install) but never answers that command (it wins over
  --hold-upgrade-answer).  Both hold the connection open until the client
  closes it, the simulator stops, or MUTE_HOLD_S has passed (then it is
  closed unanswered), and log event "mute" with what was received and how
  the hold ended.  --refuse-upgrade STATUS answers an authenticated upgrade
  command with that HTTP error status (400..599) and fetches nothing (event
  "upgrade-refused").
- Identity texts as a device may send them: the page carries the values of
  --product-name, --mac-address, --software-version, --hardware-version and
  --serial-number verbatim, without HTML escaping, so "QVR&#45;6900" reaches
  the client as written.  With --escaped-fields those options and
  --report-version are read with Python's backslash escapes first (\\r, \\n,
  \\t, \\xHH, \\\\): "QVR6880\\r\\n" puts a line end into the cell,
  "QVR\\x1b]0;pwned\\x07" an escape sequence.  --no-identity serves the status
  page (200) without any of the labels.

On start it prints "listening A.B.C.D:PORT" on standard output (so --port 0
picks a free port), and it stops on SIGTERM or SIGINT.
"""
import argparse
import hashlib
import http
import json
import os
import re
import secrets
import signal
import socketserver
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import recovery  # noqa: E402
import upgrade  # noqa: E402

LABELS = [("Product Name:", "product_name"), ("MAC Address:", "mac_address"),
          ("Software Version:", "software_version"), ("Hardware Version:", "hardware_version"),
          ("Serial Number:", "serial_number")]
MAX_HEAD = 65536
READ_TIMEOUT = 10.0
UPGRADE_TARGET = re.compile(r"/admin/upgrade\?tftp://(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3}):(\d{1,5})(/[^\s]*)\Z")
MUTE_HOLD_S = 300  # a mute connection is closed after this, so no run of the simulator hangs on one
MUTE_POLL_S = 0.2
ESCAPED_FIELDS = ("product_name", "mac_address", "software_version", "hardware_version", "serial_number",
                  "report_version")


def status_page(values):
    """The status page body for a dict with the keys named in LABELS (None:
    the page without any label)."""
    if values is None:
        return ("<html><head><title>Advanced</title></head><body>\n"
                "<p>System status</p>\n</body></html>\n")
    rows = "".join(f"<tr><td>{label}</td><td>{values[key]}</td></tr>\n" for label, key in LABELS)
    return ("<html><head><title>Advanced</title></head><body>\n"
            f"<table border=\"1\">\n{rows}</table>\n</body></html>\n")


def md5_hex(data):
    return hashlib.md5(data if isinstance(data, bytes) else data.encode("latin-1")).hexdigest()


def parse_authorization(value):
    """Splits 'Digest k=v, k="v"' into (scheme, {k: v}); values unquoted."""
    scheme, _, rest = value.strip().partition(" ")
    params, i = {}, 0
    while i < len(rest):
        match = re.compile(r'\s*,?\s*([A-Za-z0-9_-]+)=').match(rest, i)
        if not match:
            break
        key, i = match.group(1).lower(), match.end()
        if rest.startswith('"', i):
            end = rest.find('"', i + 1)
            end = len(rest) if end < 0 else end
            params[key], i = rest[i + 1:end], end + 1
        else:
            end = rest.find(",", i)
            end = len(rest) if end < 0 else end
            params[key], i = rest[i:end].strip(), end
    return scheme, params


class DigestGuard:
    """Issues challenges and checks answers; one per device."""

    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.issued = {}  # nonce -> last nc accepted (-1: none yet)
        self.fixed_nonce = args.nonce or secrets.token_hex(16)

    def challenge(self):
        with self.lock:
            nonce = self.fixed_nonce if self.args.nonce_mode == "fixed" else secrets.token_hex(16)
            self.issued.setdefault(nonce, -1)
        parts = [f'realm="{self.args.realm}"', f'nonce="{nonce}"']
        if self.args.qop:
            parts.append(f'qop="{self.args.qop}"')
        if self.args.algorithm is not None:
            parts.append(f'algorithm="{self.args.algorithm}"')
        if self.args.opaque is not None:
            parts.append(f'opaque="{self.args.opaque}"')
        return "Digest " + ", ".join(parts)

    def session_key(self, nonce, cnonce):
        a = self.args
        first = hashlib.md5(f"{a.user}:{a.realm}:{a.password}".encode("latin-1"))
        if (a.algorithm or "").lower() != "md5-sess":
            return first.hexdigest()
        head = first.hexdigest().encode() if a.sess_hex else first.digest()
        return md5_hex(head + f":{nonce}:{cnonce}".encode("latin-1"))

    def check(self, value, method, target):
        """None when the Authorization value is right, else the reason."""
        a = self.args
        scheme, p = parse_authorization(value)
        if scheme != "Digest":
            return f"scheme {scheme!r}"
        for key in ("username", "realm", "nonce", "uri", "response"):
            if key not in p:
                return f"no {key}"
        if p["username"] != a.user:
            return "user name"
        if p["realm"] != a.realm:
            return "realm"
        if p["uri"] != target:
            return f"uri {p['uri']!r} is not the request target {target!r}"
        announced = a.algorithm
        sent = p.get("algorithm")
        if announced is None:
            if sent not in (None, "") and sent.lower() != "md5":
                return f"algorithm {sent!r} not announced"
        elif sent != announced:
            return f"algorithm {sent!r}, announced {announced!r}"
        if a.opaque is not None and p.get("opaque") != a.opaque:
            return "opaque not echoed"
        if a.opaque is None and "opaque" in p:
            return "opaque not announced"
        with self.lock:
            last = self.issued.get(p["nonce"])
        if last is None:
            return "nonce not issued here"
        ha2 = md5_hex(f"{method}:{target}")
        if a.qop:
            for key in ("qop", "nc", "cnonce"):
                if key not in p:
                    return f"no {key}"
            if p["qop"] != a.qop:
                return f"qop {p['qop']!r}, announced {a.qop!r}"
            if not re.fullmatch(r"[0-9a-fA-F]{1,16}", p["nc"]):
                return f"nc {p['nc']!r}"
            nc = int(p["nc"], 16)
            if nc <= last:
                return f"nc {nc} not above {last}"
            if p["qop"].lower() == "auth-int":
                ha2 = md5_hex(f"{method}:{target}:{md5_hex(b'')}")
            ha1 = self.session_key(p["nonce"], p["cnonce"])
            expected = md5_hex(f"{ha1}:{p['nonce']}:{p['nc']}:{p['cnonce']}:{p['qop']}:{ha2}")
        else:
            if "qop" in p or "nc" in p:
                return "qop or nc without a qop announced"
            nc = last
            ha1 = self.session_key(p["nonce"], p.get("cnonce", ""))
            expected = md5_hex(f"{ha1}:{p['nonce']}:{ha2}")
        if p["response"] != expected:
            return "response digest"
        with self.lock:
            self.issued[p["nonce"]] = nc
        return None


class Device:
    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.guard = DigestGuard(args)
        self.upgrade = upgrade.UpgradeHandler(args, log)
        # Set when a status answer begins, for an upgrade answer held until then.
        self.status_answer_begun = threading.Event()
        # Set as the simulator stops: mute connections are let go.
        self.stopping = threading.Event()

    def status_values(self):
        if self.args.no_identity:
            return None
        values = {key: getattr(self.args, key) for _, key in LABELS}
        values["software_version"] = self.upgrade.reported_version()
        return values

    def respond(self, method, target, headers):
        """(status, reason, extra headers, body, verdict) for one request."""
        if self.args.auth == "digest":
            authorization = headers.get("authorization")
            if authorization is None:
                return 401, "Unauthorized", [("WWW-Authenticate", self.guard.challenge())], "", "challenge"
            reason = self.guard.check(authorization, method, target)
            if reason is not None:
                return (401, "Unauthorized", [("WWW-Authenticate", self.guard.challenge())], "",
                        "rejected: " + reason)
        if method != "GET":
            return 405, "Method Not Allowed", [], "", "method"
        if target == "/admin/advanced":
            return 200, "OK", [], status_page(self.status_values()), "ok"
        match = UPGRADE_TARGET.match(target)
        if match:
            octets = [int(g) for g in match.groups()[:4]]
            port = int(match.group(5))
            if max(octets) > 255 or not 0 < port < 65536:
                return 400, "Bad Request", [], "<html><body>Bad upgrade URL</body></html>\n", "bad upgrade"
            host = ".".join(map(str, octets))
            if self.args.refuse_upgrade is not None:
                status = self.args.refuse_upgrade
                self.log(event="upgrade-refused", host=host, port=port, name=match.group(6), status=status)
                return (status, reason_phrase(status), [], "<html><body>Refused</body></html>\n",
                        "refused: --refuse-upgrade")
            before = status_page(self.status_values())
            self.status_answer_begun.clear()
            accepted = self.upgrade.start(host, port, match.group(6))
            if not accepted:
                return 503, "Service Unavailable", [], "<html><body>Busy</body></html>\n", "upgrade refused"
            if self.args.mute_upgrade:
                return None, None, [], "", "mute upgrade"
            if self.args.hold_upgrade_answer is not None:
                return 200, "OK", [], before, "held"
            return 200, "OK", [], "<html><body>Upgrade started</body></html>\n", "ok"
        if target.startswith("/admin/upgrade"):
            return 400, "Bad Request", [], "<html><body>Bad upgrade URL</body></html>\n", "bad upgrade"
        return 404, "Not Found", [], "<html><body>Not found</body></html>\n", "not found"


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        device = self.server.device
        sock = self.request
        if device.args.mute:
            self.hold_open(device, b"", "mute web server")
            return
        sock.settimeout(READ_TIMEOUT)
        head = b""
        try:
            while b"\r\n\r\n" not in head and len(head) < MAX_HEAD:
                piece = sock.recv(4096)
                if not piece:
                    break
                head += piece
        except OSError:
            pass
        peer = list(self.client_address)
        if b"\r\n\r\n" not in head:
            device.log(event="incomplete", peer=peer, received=head.decode("latin-1"))
            return
        text = head.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = text.split("\r\n")
        parts = lines[0].split(" ")
        header_list = [tuple(s.strip() for s in line.split(":", 1)) for line in lines[1:] if ":" in line]
        headers = {k.lower(): v for k, v in header_list}
        if not device.upgrade.answering():
            # Installing: the device's web server is down meanwhile.
            device.log(event="request", peer=peer, request_line=lines[0], verdict="silent: installing", status=None)
            return
        if len(parts) != 3 or parts[2] != "HTTP/1.1":
            status, reason, extra, body, verdict = 400, "Bad Request", [], "", "bad request line"
        else:
            status, reason, extra, body, verdict = device.respond(parts[0], parts[1], headers)
        authorization = headers.get("authorization")
        device.log(event="request", peer=peer, request_line=lines[0],
                   target=parts[1] if len(parts) > 1 else "", headers=header_list, raw=text,
                   authorization=parse_authorization(authorization)[1] if authorization else None,
                   verdict=verdict, status=status)
        if verdict == "mute upgrade":
            self.hold_open(device, head, verdict)
            return
        payload = body.encode("latin-1")
        response = [f"HTTP/1.1 {status} {reason}", "Server: QVR", "Connection: close",
                    f"Content-Length: {len(payload)}"]
        if payload:
            response.append("Content-Type: text/html")
        response += [f"{k}: {v}" for k, v in extra]
        answer = ("\r\n".join(response) + "\r\n\r\n").encode("latin-1") + payload
        if verdict == "held":
            self.hold(device, peer)
            device.log(event="upgrade-answered", peer=peer, length=len(answer))
        elif status == 200 and len(parts) > 1 and parts[1] == "/admin/advanced":
            device.status_answer_begun.set()
        try:
            if device.args.dribble_ms:
                for at in range(0, len(answer), 64):
                    sock.sendall(answer[at:at + 64])
                    time.sleep(device.args.dribble_ms / 1000)
            else:
                sock.sendall(answer)
        except OSError:
            pass

    def hold(self, device, peer):
        """Waits before the answer to an upgrade command: the given seconds,
        or until a status answer has begun (bounded by an hour)."""
        hold = device.args.hold_upgrade_answer
        device.log(event="upgrade-held", peer=peer, hold=hold)
        if hold == "status":
            device.status_answer_begun.wait(3600)
            time.sleep(0.05)  # into that answer, not before it
        else:
            time.sleep(float(hold))

    def hold_open(self, device, received, why):
        """Keeps the connection open without a byte of answer, reading and
        dropping what comes, until the client closes it, the simulator stops
        or MUTE_HOLD_S has passed; logs event "mute" as it ends."""
        sock = self.request
        sock.settimeout(MUTE_POLL_S)
        deadline = time.monotonic() + MUTE_HOLD_S
        ended = "bound"
        while time.monotonic() < deadline:
            if device.stopping.is_set():
                ended = "stopping"
                break
            try:
                piece = sock.recv(4096)
            except TimeoutError:
                continue
            except OSError:
                ended = "client reset"
                break
            if not piece:
                ended = "client closed"
                break
            if len(received) < MAX_HEAD:
                received += piece
        device.log(event="mute", peer=list(self.client_address), why=why, ended=ended,
                   received=received[:MAX_HEAD].decode("latin-1"))


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Error"


def error_status(text):
    """argparse type of --refuse-upgrade: an HTTP error status."""
    status = int(text)
    if not 400 <= status <= 599:
        raise argparse.ArgumentTypeError("an HTTP error status is 400 to 599")
    return status


def unescape_fields(args):
    """With --escaped-fields, the identity options read with backslash
    escapes; without it they stay as given."""
    if not args.escaped_fields:
        return
    for key in ESCAPED_FIELDS:
        value = getattr(args, key)
        if value is not None:
            setattr(args, key, value.encode("latin-1", "backslashreplace").decode("unicode_escape"))


def make_log(path):
    lock = threading.Lock()
    out = open(path, "a", buffering=1, encoding="utf-8") if path else None

    def log(**event):
        event = dict(time=round(time.time(), 3), **event)
        line = json.dumps(event)
        with lock:
            if out:
                out.write(line + "\n")
            else:
                print(line, file=sys.stderr, flush=True)
    return log


def build_parser():
    parser = argparse.ArgumentParser(description="Simulated QVR device (web side)")
    parser.add_argument("--address", required=True, help="IPv4 address to listen on")
    parser.add_argument("--port", type=int, default=80, help="TCP port (0: any free port)")
    parser.add_argument("--log", help="JSON-lines log of every request (default: standard error)")
    parser.add_argument("--auth", choices=["digest", "none"], default="digest")
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="admin")
    parser.add_argument("--realm", default="QVR")
    parser.add_argument("--qop", default="auth", help='qop text of the challenge; "" leaves it out')
    parser.add_argument("--algorithm", default=None, help="algorithm text of the challenge (absent if not given)")
    parser.add_argument("--opaque", default=None, help="opaque text of the challenge (absent if not given)")
    parser.add_argument("--nonce-mode", choices=["fixed", "fresh"], default="fixed")
    parser.add_argument("--nonce", default=None, help="the nonce of fixed mode (default: random)")
    parser.add_argument("--sess-hex", action="store_true",
                        help="md5-sess over the hex text of the first digest (RFC 2617) instead of its raw bytes")
    parser.add_argument("--product-name", default="QVR7x7g")
    parser.add_argument("--mac-address", default="00:0E:08:12:34:56")
    parser.add_argument("--hardware-version", default="1.0")
    parser.add_argument("--serial-number", default="QVR0012345")
    parser.add_argument("--hold-upgrade-answer", default=None, metavar="SECONDS|status",
                        help="answer an upgrade command (with the status page from before it) this many seconds "
                             "after it arrived, or, with 'status', while a later status page is being sent")
    parser.add_argument("--dribble-ms", type=float, default=0, metavar="MS",
                        help="send every answer in 64-byte pieces, MS milliseconds apart")
    parser.add_argument("--mute", action="store_true",
                        help="accept every connection and never answer (held open until the client goes)")
    parser.add_argument("--mute-upgrade", action="store_true",
                        help="fetch and install on an upgrade command as usual, but never answer the command")
    parser.add_argument("--refuse-upgrade", type=error_status, default=None, metavar="STATUS",
                        help="answer an upgrade command with this HTTP error status (e.g. 503) and fetch nothing")
    parser.add_argument("--no-identity", action="store_true",
                        help="serve the status page without any of the identity labels")
    parser.add_argument("--escaped-fields", action="store_true",
                        help="read the identity options and --report-version with backslash escapes "
                             "(\\r, \\n, \\t, \\xHH, \\\\)")
    upgrade.add_arguments(parser)
    recovery.add_arguments(parser)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    unescape_fields(args)
    log = make_log(args.log)
    server = Server((args.address, args.port), Handler)
    server.device = Device(args, log)
    responder = recovery.Responder(args, log, server.device.upgrade) if args.recovery else None
    host, port = server.server_address[:2]
    log(event="start", address=host, port=port, argv=sys.argv[1:])
    if responder:
        responder.start()
    print(f"listening {host}:{port}", flush=True)

    def stop(signum, frame):
        server.device.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server.serve_forever(poll_interval=0.1)
    server.server_close()
    if responder:
        responder.stop()
    log(event="stop")


if __name__ == "__main__":
    main()
