"""The lab's Windows side and device side, for the end-to-end tests, the
main job (`scripts/run`) and the benchmarks: programs of the build started
under Wine, the UI driver (tools/uidriver) that works their dialogs, and
commands run in the device namespace.  Everything here runs only inside
the namespaces, display and Wine prefix that lab.sh prepares.

- ``Program``: one program under Wine; ``wait_exit(timeout)`` gives its exit
  code (the ``wine`` launcher returns the Windows program's own).
- ``Driver``: the UI driver process, one command line in, one answer out;
  ``wait_dialog(title)`` also saves a screenshot of the dialog under
  build/e2e-screenshots/.
- ``DeviceSide``: ``command``, ``run``, ``popen`` in the device namespace;
  ``stop_all`` kills what it started.
- ``Lab``: the three together for a script (``with Lab("name") as lab``).

A failure here raises ``LabError`` (an AssertionError, so a test that meets
one fails as on any assertion).
"""
import json
import os
import re
import select
import shutil
import subprocess
import time

import netns

INSIDE = os.environ.get("QVR_E2E_INSIDE") == "1" and "WINEPREFIX" in os.environ

# Upper bounds only: they stop a hung program or driver, they never decide
# whether a run passes.
WINDOW_TIMEOUT_MS = 30000
EXIT_TIMEOUT_S = 60
DRIVER_ANSWER_TIMEOUT_S = 150
DRIVER_START_TIMEOUT_S = 120


class LabError(AssertionError):
    pass


def build_dir():
    return os.environ.get("QVR_BUILD_DIR", os.path.join(os.environ.get("QVR_E2E_ROOT", "."), "build"))


def log_dir():
    path = os.path.join(os.environ.get("QVR_E2E_RUN_DIR", build_dir()), "logs")
    os.makedirs(path, exist_ok=True)
    return path


def slug(text):
    return re.sub(r"[^A-Za-z0-9._-]+", "_", text).strip("_")[:80] or "window"


def wine_env():
    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree=;mshtml=")
    return env


def program_path(name):
    path = os.path.join(os.environ.get("QVR_E2E_BIN", ""), name)
    if not os.path.isfile(path):
        raise LabError(f"{path} is not built")
    return path


class Program:
    """One program of the build running under Wine."""

    def __init__(self, path, env, log_path, args=()):
        self.path = path
        self.log_path = log_path
        self._log = open(log_path, "wb")
        self.proc = subprocess.Popen(
            ["wine", path, *args], env=env, stdin=subprocess.DEVNULL,
            stdout=self._log, stderr=subprocess.STDOUT, cwd=build_dir())

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=EXIT_TIMEOUT_S):
        """The program's exit code; fails the test if it is still running
        after `timeout` seconds."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise LabError(f"{os.path.basename(self.path)} still running after {timeout} s")

    def kill(self):
        if self.running():
            self.proc.kill()
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        self._log.close()



class DriverError(LabError):
    pass


def _quote(arg):
    text = str(arg)
    text = (text.replace("\\", "\\\\").replace('"', '\\"')
            .replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t"))
    return f'"{text}"'


def unescape(text):
    """Reverses the driver's one-line escaping (\\\\ \\r \\n \\t \\xHH)."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            e = text[i + 1]
            if e == "x" and i + 3 < len(text):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({"r": "\r", "n": "\n", "t": "\t"}.get(e, e))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


class Driver:
    """The uidriver process: one command line in, one answer line out."""

    def __init__(self, path, env, log_path):
        self.path = path
        self.env = env
        self.log_path = log_path
        self.proc = None
        self.test_name = "session"
        self.screenshot_dir = os.environ.get("QVR_E2E_SCREENSHOTS", os.path.join(build_dir(), "e2e-screenshots"))
        self._shots = set()
        self._buffer = b""

    # -- process ---------------------------------------------------------

    def start(self):
        self._log = open(self.log_path, "ab")
        self.proc = subprocess.Popen(
            ["wine", self.path], env=self.env, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self._log, cwd=build_dir())
        self._buffer = b""
        first = self._read_line(DRIVER_START_TIMEOUT_S)
        if not first.startswith("ok uidriver ready"):
            raise DriverError(f"uidriver did not start: {first!r}")

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        if self.alive():
            try:
                self.cmd("quit", timeout=10)
                self.proc.wait(timeout=10)
            except (DriverError, subprocess.TimeoutExpired, OSError):
                self.proc.kill()
                self.proc.wait(timeout=10)
        if self.proc is not None:
            self._log.close()
        self.proc = None

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DriverError("uidriver gave no answer in time")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                raise DriverError("uidriver ended")
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("utf-8", errors="replace").rstrip("\r")

    # -- protocol ----------------------------------------------------------

    def raw(self, *args, timeout=DRIVER_ANSWER_TIMEOUT_S):
        """Sends one command; returns (ok, answer text after ok/err)."""
        if not self.alive():
            self.start()
        line = " ".join([str(args[0])] + [_quote(a) for a in args[1:]]) + "\n"
        try:
            self.proc.stdin.write(line.encode("utf-8"))
            self.proc.stdin.flush()
            answer = self._read_line(timeout)
        except (DriverError, OSError) as e:
            # A late answer would be taken for the next command's: start over.
            self.proc.kill()
            self.proc.wait(timeout=20)
            self._log.close()
            self.proc = None
            raise DriverError(f"uidriver: {line.strip()}: {e}") from e
        if answer == "ok" or answer.startswith("ok "):
            return True, answer[3:]
        if answer.startswith("err"):
            return False, answer[4:]
        raise DriverError(f"uidriver answered {answer!r} to {line.strip()!r}")

    def cmd(self, *args, timeout=DRIVER_ANSWER_TIMEOUT_S):
        """Sends one command and returns its answer; a refusal fails the test."""
        ok, text = self.raw(*args, timeout=timeout)
        if not ok:
            raise DriverError(f"uidriver: {' '.join(map(str, args))}: {text}")
        return text

    # -- helpers -------------------------------------------------------------

    def wait_window(self, title, timeout_ms=WINDOW_TIMEOUT_MS, screenshot=True):
        """Waits for a visible top-level window with exactly this title and
        returns its handle ("0x..."); saves a screenshot the first time this
        test meets the title."""
        answer = self.cmd("wait-window", title, timeout_ms, timeout=timeout_ms / 1000 + 30)
        handle = answer.split(" ", 1)[0]
        if screenshot:
            self.screenshot(title)
        return handle

    wait_dialog = wait_window

    def wait_window_prefix(self, prefix, timeout_ms=WINDOW_TIMEOUT_MS):
        """Waits for a window whose title starts with `prefix`; returns
        (handle, full title)."""
        answer = self.cmd("wait-window-prefix", prefix, timeout_ms, timeout=timeout_ms / 1000 + 30)
        handle, _, title = answer.partition(" ")
        return handle, unescape(title)

    def wait_gone(self, title, timeout_ms=WINDOW_TIMEOUT_MS):
        self.cmd("wait-gone", title, timeout_ms, timeout=timeout_ms / 1000 + 30)

    def wait_clear(self, timeout_ms=WINDOW_TIMEOUT_MS):
        """Waits until no visible top-level window is left."""
        self.cmd("wait-clear", timeout_ms, timeout=timeout_ms / 1000 + 30)

    def wait_text(self, window, control_id, text, timeout_ms=WINDOW_TIMEOUT_MS):
        """Waits until the control shows exactly `text`."""
        self.cmd("wait-text", window, control_id, text, timeout_ms, timeout=timeout_ms / 1000 + 30)

    def exists(self, title):
        return self.cmd("exists", title) == "1"

    def title(self, window):
        return unescape(self.cmd("title", window))

    def get_text(self, window, control_id):
        return unescape(self.cmd("get-text", window, control_id))

    def set_text(self, window, control_id, text):
        self.cmd("set-text", window, control_id, text)

    def click(self, window, control_id):
        self.cmd("click", window, control_id)

    def key(self, window, key):
        self.cmd("key", window, key)

    def close(self, window):
        self.cmd("close", window)

    def sync(self, window, timeout_ms=10000):
        """True once the window has handled everything posted to it before;
        false if it went away meanwhile."""
        ok, _ = self.raw("sync", window, timeout_ms, timeout=timeout_ms / 1000 + 30)
        return ok

    def focus_id(self, window):
        answer = self.cmd("focus-id", window)
        return None if answer == "none" else int(answer.split()[0])

    def default_id(self, window):
        answer = self.cmd("default-id", window)
        return None if answer == "none" else int(answer)

    def rect(self, window, control_id=None):
        args = ("rect", window) if control_id is None else ("rect", window, control_id)
        return tuple(int(v) for v in self.cmd(*args).split())

    def screen(self):
        return tuple(int(v) for v in self.cmd("screen").split())

    def style(self, window, control_id=None):
        args = ("style", window) if control_id is None else ("style", window, control_id)
        return tuple(int(v, 16) for v in self.cmd(*args).split())

    def list_windows(self, all_windows=False):
        return json.loads(self.cmd("list-windows", "all") if all_windows else self.cmd("list-windows"))

    def list_controls(self, window):
        return json.loads(self.cmd("list-controls", window))

    def owner(self, window):
        answer = self.cmd("owner", window)
        if answer == "none":
            return None
        handle, _, title = answer.partition(" ")
        return handle, unescape(title)

    def set_ip(self, window, control_id, address):
        self.cmd("set-ip", window, control_id, address)

    def select(self, window, control_id, index):
        return int(self.cmd("select", window, control_id, index))

    def combo_items(self, window, control_id):
        return json.loads(self.cmd("combo-items", window, control_id))

    def combo_sel(self, window, control_id):
        return int(self.cmd("combo-sel", window, control_id))

    def host_addresses(self):
        """(host name, [addresses]) as the Windows side resolves its own name."""
        words = unescape(self.cmd("host-addrs")).split()
        return words[0], words[1:]

    def screenshot(self, window, name=None):
        """Saves a picture of the window as <test>-<name>.png (BMP when
        ImageMagick is missing) under build/e2e-screenshots; returns the
        path, or None when this test already has one of that name."""
        base = f"{slug(self.test_name)}-{slug(name or window)}"
        if base in self._shots:
            return None
        self._shots.add(base)
        os.makedirs(self.screenshot_dir, exist_ok=True)
        bmp = os.path.join(self.screenshot_dir, base + ".bmp")
        self.cmd("screenshot", window, bmp)
        convert = shutil.which("convert")
        if convert:
            png = os.path.join(self.screenshot_dir, base + ".png")
            done = subprocess.run([convert, bmp, png], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=60)
            if done.returncode == 0 and os.path.isfile(png):
                os.remove(bmp)
                return png
        return bmp


class DeviceSide:
    address = netns.DEVICE_ADDRESS
    pc_address = netns.PC_ADDRESS

    def __init__(self):
        self._procs = []

    def command(self, args):
        return netns.device_command(args)

    def run(self, args, timeout=60, **kwargs):
        return subprocess.run(self.command(args), timeout=timeout, **kwargs)

    def popen(self, args, **kwargs):
        proc = subprocess.Popen(self.command(args), **kwargs)
        self._procs.append(proc)
        return proc

    def stop_all(self):
        for proc in self._procs:
            if proc.poll() is None:
                proc.kill()
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    pass


def open_program(run_name, name, env, args=()):
    """A program of the build (`name` as program_path takes it) under Wine,
    with `args` on its command line (the programs take none; tools do), its
    output logged under the run's name and its own."""
    log = os.path.join(log_dir(), f"{slug(run_name)}-{slug(os.path.basename(name))}.log")
    return Program(program_path(name), env, log, args)


def start_driver(env=None):
    path = os.environ.get("QVR_E2E_DRIVER", "")
    if not os.path.isfile(path):
        raise LabError(f"UI driver {path!r} not found")
    driver = Driver(path, env or wine_env(), os.path.join(log_dir(), "uidriver.log"))
    driver.start()
    return driver


class Lab:
    """A driver, the programs started and the device side for one script;
    everything it started is stopped when the ``with`` block ends."""

    def __init__(self, name, driver=True):
        if not INSIDE:
            raise LabError("runs only inside the lab: tools/lab/lab.sh ...")
        self.name = name
        self.env = wine_env()
        self.driver = start_driver(self.env) if driver else None
        if self.driver:
            self.driver.test_name = name
        self.device_ns = DeviceSide()
        self._programs = []

    def run_program(self, name, args=()):
        program = open_program(self.name, name, self.env, args)
        self._programs.append(program)
        return program

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for program in self._programs:
            program.kill()
        self.device_ns.stop_all()
        if self.driver:
            self.driver.stop()
        return False
