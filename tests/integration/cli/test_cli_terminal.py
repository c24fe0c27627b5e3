"""qvr-upgrade's own surface on a terminal: the signals that end a run at
the password prompt, Ctrl-Z there, and a usage error end to end."""
import os
import pty
import re
import select
import signal
import sys
import termios
import time

import pytest

from cli_paths import CLI, RUN_S

# Ctrl-Z needs a process group that a shell controls (the kernel discards a
# stop sent to an orphaned one).  The stand-in shell leads the session with
# no limit on cores, starts the program as the foreground job and writes its
# pid, its stops and its exit on the terminal.
JOB_SHELL = r"""
import fcntl, os, resource, signal, sys, termios
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY,) * 2)
signal.signal(signal.SIGTTOU, signal.SIG_IGN)
pid = os.fork()
if pid == 0:
    os.setpgid(0, 0)
    os.tcsetpgrp(0, os.getpgrp())
    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.execv(sys.argv[1], sys.argv[1:])
print("[pid %d]" % pid, flush=True)
status = os.waitpid(pid, os.WUNTRACED)[1]
while os.WIFSTOPPED(status):
    print("[stopped]", flush=True)
    status = os.waitpid(pid, os.WUNTRACED)[1]
print("[exit %d]" % os.waitstatus_to_exitcode(status), flush=True)
"""


class Job:
    """`qvr-upgrade info 127.0.0.2` under JOB_SHELL on a pseudo-terminal."""

    def __init__(self, lab, cwd):
        self.master, slave = pty.openpty()
        env = {k: v for k, v in os.environ.items() if k != "QVR_PASSWORD"} | {"ASAN_OPTIONS": "detect_leaks=0"}
        self.shell = lab.net.popen([sys.executable, "-c", JOB_SHELL, str(CLI), "info", "127.0.0.2"], env=env,
                                   stdin=slave, stdout=slave, stderr=slave, start_new_session=True, cwd=cwd)
        os.close(slave)
        self.seen = b""
        self.pid = int(re.search(r"\[pid (\d+)\]", self.read("]")).group(1))
        self.read("Password for admin on QVR@127.0.0.2")

    def read(self, until):
        """Everything written on the terminal once `until` shows in it (or
        the terminal closes, or RUN_S passes)."""
        deadline = time.monotonic() + RUN_S
        while until.encode() not in self.seen and select.select([self.master], [], [],
                                                                max(0, deadline - time.monotonic()))[0]:
            try:
                self.seen += os.read(self.master, 4096)
            except OSError:  # the program and the shell have closed the terminal
                break
        assert until.encode() in self.seen, self.seen.decode("latin-1")
        return self.seen.decode("latin-1")

    def echo(self, wanted=None):
        """The echo flag; given `wanted`, once it is that or RUN_S passed."""
        deadline = time.monotonic() + RUN_S
        while wanted is not None and self.echo() != wanted and time.monotonic() < deadline:
            time.sleep(0.05)
        return bool(termios.tcgetattr(self.master)[3] & termios.ECHO)

    def close(self):
        self.shell.wait(timeout=RUN_S)
        os.close(self.master)


@pytest.mark.parametrize("signal_number, code, word", [(signal.SIGINT, 130, "interrupted"),
                                                       (signal.SIGTERM, 143, "terminated"),
                                                       (signal.SIGHUP, 129, "hung up"),
                                                       (signal.SIGQUIT, 131, "quit")])
def test_a_signal_at_the_password_prompt_gives_the_echo_back(lab, tmp_path, signal_number, code, word):
    # Regression: SIGHUP and SIGQUIT left the terminal without echo, SIGQUIT
    # dumped core with the password in it, and SIGTERM exited 130.
    lab.device("127.0.0.2")
    job = Job(lab, tmp_path)
    try:
        assert not job.echo(), "the prompt reads with echo off"
        with open(f"/proc/{job.pid}/limits") as f:
            assert re.search(r"Max core file size +0 +0 ", f.read()), "a core could be written with a password held"
        os.kill(job.pid, signal_number)
        seen = job.read(f"[exit {code}]")
        assert job.echo(), "the terminal was left without echo"
    finally:
        job.close()
    assert f"qvr-upgrade: {word} while reading the device's status page (QVR@127.0.0.2)" in seen
    assert not list(tmp_path.glob("core*")), "a core was dumped"


def test_ctrl_z_then_continue_keeps_the_password_hidden(lab, tmp_path):
    device = lab.device("127.0.0.2")
    job = Job(lab, tmp_path)
    try:
        os.write(job.master, b"\x1a")  # Ctrl-Z
        job.read("[stopped]")
        assert job.echo(), "stopped at the prompt, the terminal must echo again"
        os.kill(job.pid, signal.SIGCONT)
        assert not job.echo(False), "back at the prompt, the echo must be off again"
        os.write(job.master, b"admin\n")
        seen = job.read("[exit 0]")
    finally:
        job.close()
    assert "Product Name:" in seen
    assert "admin\r\n" not in seen.split("Password for admin")[-1], "the password was echoed"
    assert [e["verdict"] for e in device.events("request")][-1] == "ok"


def test_a_pc_address_not_of_this_computer_is_a_usage_error_and_nothing_is_sent(lab):
    # Regression: the HTTP socket's failed bind ended the process with exit
    # code 0 and nothing in --json.
    device = lab.device("127.0.0.2", "--auth", "none")
    code, out, err = lab.run("info", "127.0.0.2", "--json", "--pc-address", "10.9.9.9")
    assert (code, out) == (2, "") and err.startswith("qvr-upgrade: 10.9.9.9 is not an address of this computer "
                                                     "(it has 127.0.0.1"), err
    assert device.events("request") == []
