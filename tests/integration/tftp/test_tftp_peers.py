"""Real TFTP clients that none of us wrote fetch images from tftp_serve,
which runs the programs' own listener and session code over loopback."""
import shutil
import subprocess

import pytest

from harness import NAME, SAMPLE, Server, cut_image, needs_serve

pytestmark = needs_serve
needs_curl = pytest.mark.skipif(shutil.which("curl") is None, reason="curl not installed")
needs_atftp = pytest.mark.skipif(shutil.which("atftp") is None, reason="atftp not installed")


def curl_fetch(port, out, name=NAME, max_time=30):
    # curl drops one leading slash of the path, hence the double slash.
    return subprocess.run(["curl", "-s", "--max-time", str(max_time), "--tftp-blksize", "512", "-o", str(out),
                           f"tftp://127.0.0.1:{port}/{name}"], timeout=max_time + 10).returncode


def atftp_fetch(port, out, options):
    args = ["atftp"] + [a for option in options for a in ("--option", option)]
    done = subprocess.run(args + ["--get", "-r", NAME, "-l", str(out), "127.0.0.1", str(port)],
                          timeout=60, capture_output=True)
    return done.returncode, done.stderr


def image(tmp_path, size):
    return SAMPLE if size == "sample" else cut_image(tmp_path, size)


# The image sizes around the block size, and the sample.  No empty image
# for curl: it refuses an OACK whose tsize is 0 (atftp takes it), and the
# programs never serve an image shorter than its header.  atftp asking for
# options or a larger block size still gets our one option acknowledgement
# and 512-byte blocks.
@pytest.mark.parametrize("client, size, options", [
    *[pytest.param("curl", size, (), marks=needs_curl) for size in ("sample", 511, 512, 1024)],
    *[pytest.param("atftp", size, (), marks=needs_atftp) for size in (0, 512, "sample")],
    *[pytest.param("atftp", "sample", options, marks=needs_atftp) for options in (("tsize",), ("blksize 1024",))],
])
def test_client_gets_every_byte(tmp_path, client, size, options):
    served = image(tmp_path, size)
    server = Server(served)
    out = tmp_path / "fetched.bin"
    if client == "curl":
        assert curl_fetch(server.port, out) == 0
    else:
        code, err = atftp_fetch(server.port, out, options)
        assert code == 0, err
    code, stdout, _ = server.finish()
    assert out.read_bytes() == served.read_bytes()
    assert code == 0 and "success" in stdout


@needs_curl
def test_other_names_get_no_answer_and_ours_is_still_served(tmp_path):
    served = cut_image(tmp_path, 1024)
    server = Server(served)
    wrong = tmp_path / "wrong.bin"
    assert curl_fetch(server.port, wrong, name="/QVR1A2B.BI1", max_time=2) != 0
    assert not wrong.exists() or wrong.stat().st_size == 0
    out = tmp_path / "fetched.bin"
    assert curl_fetch(server.port, out) == 0
    server.finish()
    assert out.read_bytes() == served.read_bytes()
