"""The web client against a Digest server none of us wrote: Apache httpd with
mod_auth_digest, on a loopback port, with a configuration of the test's own
protecting a copy of the simulated device's status page.

Apache 2.4 offers only algorithm MD5 with qop "auth" (it refuses MD5-sess
and qop none in its configuration), and writes the algorithm unquoted
(algorithm=MD5).  Our client reads quoted values only, as the device writes
them, so against Apache's bare challenge it sends algorithm="" and Apache
refuses that.  The 401 page below repeats the algorithm quoted; the client
finds it there, as it finds any parameter after "WWW-Authenticate:"."""
import hashlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from harness import ROOT

sys.path.insert(0, str(ROOT / "tools" / "simdevice"))
import device as simdevice  # noqa: E402

APACHE = Path("/usr/sbin/apache2")
MODULES = Path("/usr/lib/apache2/modules")
VALUES = {"product_name": "QVR7x7g", "mac_address": "00:0E:08:AB:CD:EF", "software_version": "7.5.6a",
          "hardware_version": "2.1", "serial_number": "QVR0099887"}

CONFIG = """ServerRoot {root}
Listen 127.0.0.1:{port}
ServerName 127.0.0.1
PidFile {root}/httpd.pid
ErrorLog {root}/error.log
{user}
{modules}
KeepAlive Off
DocumentRoot {root}/htdocs
<Location /admin>
  ForceType text/html
  AuthType Digest
  AuthName "QVR"
  AuthDigestProvider file
  AuthUserFile {root}/htdigest
  AuthDigestQop auth
  Require valid-user
  {error_document}
</Location>
"""


@pytest.fixture
def apache():
    """apache(error document) -> (port, server root): Apache in the foreground,
    its root in /tmp where the workers (user nobody) can read it."""
    if not APACHE.exists():
        pytest.skip("apache2-bin is not installed")
    started = []

    def start(error_document=""):
        root = Path(tempfile.mkdtemp(prefix="qvr-apache-"))
        root.chmod(0o755)
        (root / "htdocs" / "admin").mkdir(parents=True)
        (root / "htdocs" / "admin" / "advanced").write_text(simdevice.status_page(VALUES))
        (root / "htdigest").write_text("admin:QVR:" + hashlib.md5(b"admin:QVR:s3cret").hexdigest() + "\n")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        modules = "\n".join(f"LoadModule {m}_module {MODULES}/mod_{m}.so" for m in
                            ["mpm_event", "authn_core", "authn_file", "authz_core", "authz_user", "auth_digest"])
        user = "User nobody\nGroup nogroup" if os.geteuid() == 0 else ""
        (root / "httpd.conf").write_text(CONFIG.format(root=root, port=port, user=user, modules=modules,
                                                       error_document=error_document))
        started.append((subprocess.Popen([str(APACHE), "-f", str(root / "httpd.conf"), "-DFOREGROUND"]), root))
        for _ in range(100):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return port, root
            except OSError:
                assert started[-1][0].poll() is None, "apache2 did not start"
                time.sleep(0.1)
        pytest.fail("apache2 did not listen")
    yield start
    for process, root in started:
        process.terminate()
        process.wait(timeout=15)
        shutil.rmtree(root)


def test_challenge_then_page_from_apache(apache, probe):
    port, root = apache('ErrorDocument 401 "<html><body>Digest algorithm=\\"MD5\\" required</body></html>"')
    out = probe(port, "--password", "s3cret", "--target", "/admin/advanced", "--target", "/admin/advanced")
    first, second = out["requests"]
    assert [a["result"] > 0 for a in first["attempts"]] == [False, True]
    assert first["attempts"][0]["result"] == -1
    assert second["attempts"] == [{"result": second["result"], "nc": 2}], "the same nonce counts on"
    assert out["identity"] == VALUES
    assert (out["digest"]["realm"], out["digest"]["qop"], out["digest"]["algorithm"]) == ("QVR", "auth", "MD5")


def test_bare_apache_challenge_is_refused(apache, probe):
    port, root = apache()
    out = probe(port, "--password", "s3cret")
    assert out["requests"][0]["end"] == "no password left"
    assert out["digest"]["algorithm"] == ""
    assert "unknown algorithm `'" in (root / "error.log").read_text()
