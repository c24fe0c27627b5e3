"""Real TFTP clients that none of us wrote fetch images from tftp_serve,
which runs the programs' own listener and session code over loopback.

Run after the native build:
    /usr/bin/python3 -m pytest tests/integration/tftp
QVR_BUILD_DIR points at another native build tree (default build/native).
"""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
BUILD = pathlib.Path(os.environ.get("QVR_BUILD_DIR", ROOT / "build" / "native"))
SERVE = BUILD / "tools" / "tftp_serve" / "tftp_serve"
SAMPLE = BUILD / "firmware" / "sample-7.5.6a.bin"
NAME = "/qvr1a2b.bi1"
FIRST_PORT = 6969

pytestmark = pytest.mark.skipif(not SERVE.exists(), reason="build tools/native/tftp_serve first")


class Server:
    """tftp_serve for one transfer; stops by itself after it."""

    def __init__(self, image, limit_seconds=30):
        self.proc = subprocess.Popen(
            [str(SERVE), "--image", str(image), "--file", NAME, "--address", "127.0.0.1",
             "--port", str(FIRST_PORT), "--no-completion", "--limit-seconds", str(limit_seconds)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        assert line and line[0] == "port", "tftp_serve did not bind"
        self.port = int(line[1])

    def finish(self):
        out, err = self.proc.communicate(timeout=30)
        return out, err


@pytest.fixture
def images(tmp_path):
    """The sample image and small ones at the block-size edges."""
    made = {"sample": SAMPLE}
    data = SAMPLE.read_bytes()
    for size in (0, 511, 512, 1024):
        path = tmp_path / f"image-{size}.bin"
        path.write_bytes(data[:size])
        made[size] = path
    return made


def curl_fetch(port, out, name=NAME, max_time=30):
    # curl drops one leading slash of the path, hence the double slash.
    return subprocess.run(
        ["curl", "-s", "--max-time", str(max_time), "--tftp-blksize", "512", "-o", str(out),
         f"tftp://127.0.0.1:{port}/{name}"], timeout=max_time + 10)


def atftp_fetch(port, out, options=()):
    args = ["atftp"]
    for option in options:
        args += ["--option", option]
    return subprocess.run(args + ["--get", "-r", NAME, "-l", str(out), "127.0.0.1", str(port)],
                          timeout=60, capture_output=True)


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")
# No empty image here: curl refuses an OACK whose tsize is 0 (atftp takes it,
# below), and the programs never serve an image shorter than its header.
@pytest.mark.parametrize("which", ["sample", 511, 512, 1024])
def test_curl_gets_every_byte(images, tmp_path, which):
    server = Server(images[which])
    out = tmp_path / "fetched.bin"
    assert curl_fetch(server.port, out).returncode == 0
    stdout, _ = server.finish()
    assert out.read_bytes() == images[which].read_bytes()
    assert "success" in stdout


@pytest.mark.skipif(shutil.which("atftp") is None, reason="atftp not installed")
@pytest.mark.parametrize("options", [(), ("tsize",), ("blksize 1024",)])
def test_atftp_gets_every_byte_whatever_it_asks(images, tmp_path, options):
    # We answer every request with the same option acknowledgement and
    # 512-byte blocks; a client asking for a larger block size still copes.
    server = Server(images["sample"])
    out = tmp_path / "fetched.bin"
    result = atftp_fetch(server.port, out, options)
    assert result.returncode == 0, result.stderr
    server.finish()
    assert out.read_bytes() == images["sample"].read_bytes()


@pytest.mark.skipif(shutil.which("atftp") is None, reason="atftp not installed")
@pytest.mark.parametrize("which", [0, 512])
def test_atftp_gets_the_empty_last_block(images, tmp_path, which):
    server = Server(images[which])
    out = tmp_path / "fetched.bin"
    result = atftp_fetch(server.port, out)
    assert result.returncode == 0, result.stderr
    server.finish()
    assert out.read_bytes() == images[which].read_bytes()


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")
def test_other_names_get_no_answer_and_ours_is_still_served(images, tmp_path):
    server = Server(images[1024])
    wrong = tmp_path / "wrong.bin"
    assert curl_fetch(server.port, wrong, name="/QVR1A2B.BI1", max_time=2).returncode != 0
    assert not wrong.exists() or wrong.stat().st_size == 0
    out = tmp_path / "fetched.bin"
    assert curl_fetch(server.port, out).returncode == 0
    server.finish()
    assert out.read_bytes() == images[1024].read_bytes()
