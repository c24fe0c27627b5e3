"""The Debian package scripts/package makes beside the sample package: the
files it installs, its control data, lintian's verdict, and a real install
on this machine (as root) that gives the program the capability to bind
the TFTP port and leaves nothing behind once purged."""
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[3] / "tools"
sys.path[:0] = [str(TOOLS), str(TOOLS / "lab")]
from private_net import PrivateNet  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402
from simdevice.testbed import SAMPLE  # noqa: E402

INSTALLED = ["/usr/bin/qvr-upgrade", "/usr/share/bash-completion/completions/qvr-upgrade",
             "/usr/share/doc/qvr-upgrade/changelog.gz", "/usr/share/doc/qvr-upgrade/copyright",
             "/usr/share/man/man1/qvr-upgrade.1.gz"]


def run(*args, check=True):
    done = subprocess.run(list(args), capture_output=True, text=True, timeout=600)
    assert not check or done.returncode == 0, f"{args}: {done.stdout}{done.stderr}"
    return done


@pytest.fixture(scope="module")
def deb(sample_package):
    program = sample_package / f"linux-{platform.machine()}" / "qvr-upgrade"
    if not program.is_file():
        pytest.skip("this source has no Linux program")
    version = run(str(program), "--version").stdout.split()[1]
    arch = run("dpkg", "--print-architecture").stdout.strip()
    path = sample_package.parent / f"qvr-upgrade_{version}_{arch}.deb"
    assert path.is_file(), sorted(p.name for p in sample_package.parent.iterdir())
    return path, version, arch


def test_contents_and_control(deb):
    path, version, arch = deb
    listing = run("dpkg-deb", "-c", str(path)).stdout.splitlines()
    files = {line.split()[-1].lstrip(".") for line in listing if not line.startswith("d")}
    assert sorted(files) == INSTALLED
    # Owned by root whoever built it; the program executable, the rest not.
    for line in listing:
        mode, owner, *_, name = line.split()
        assert owner == "root/root", line
        assert mode == ("-rwxr-xr-x" if name.endswith("bin/qvr-upgrade") else
                        "drwxr-xr-x" if mode.startswith("d") else "-rw-r--r--"), line

    fields = dict(re.findall(r"^([A-Za-z-]+): (.*)$", run("dpkg-deb", "-f", str(path)).stdout, flags=re.M))
    assert (fields["Package"], fields["Version"], fields["Architecture"]) == ("qvr-upgrade", version, arch)
    assert (fields["Section"], fields["Priority"]) == ("net", "optional")
    depends = {d.split()[0] for d in fields["Depends"].split(", ")}
    assert {"libc6", "libstdc++6", "libgcc-s1", "libcap2-bin"} <= depends
    postinst = run("dpkg-deb", "-I", str(path), "postinst").stdout
    assert "setcap cap_net_bind_service=+ep /usr/bin/qvr-upgrade" in postinst


@pytest.mark.skipif(not shutil.which("lintian"), reason="lintian is not installed")
def test_lintian_finds_no_error(deb):
    done = run("lintian", "--no-cfg", str(deb[0]), check=False)
    assert not [line for line in done.stdout.splitlines() if line.startswith("E:")], done.stdout


def upgrade_as_a_normal_user():
    """The installed program, run as nobody in a private namespace, binds
    port 69 with its file capability, holds no capability once it has, and
    upgrades the simulated device."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="qvr-deb-"))
    net = PrivateNet()
    device = None
    try:
        folder.chmod(0o755)
        image = folder / "image.bin"
        shutil.copyfile(SAMPLE, image)
        image.chmod(0o644)
        device = DeviceProcess(folder / "device.log", "--address", "127.0.0.2", "--port", "80", "--auth", "none",
                               "--install-delay", "0.2", "--tftp-dally", "0.2", "--expect-image", image,
                               "--fetch-delay", "2", popen=net.popen)
        proc = net.popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/qvr-upgrade",
                          "upgrade", "127.0.0.2", "--image", str(image), "--yes", "--update-wait", "1",
                          "--pc-address", "127.0.0.1", "--json"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env={})
        command = device.wait_event("upgrade", timeout=60)[0]
        with open(f"/proc/{proc.pid}/status") as f:
            status = dict(line.split(":", 1) for line in f.read().splitlines())
        out, err = proc.communicate(timeout=60)
        assert status["Uid"].split()[1] == "65534" and command["port"] == 69, (status["Uid"], command)
        assert status["CapEff"].strip() == status["CapPrm"].strip() == "0" * 16, "a capability was kept"
        assert proc.returncode == 0 and '"result":"passed"' in out, out + err
        assert device.wait_event("tftp", timeout=60)[0]["ok"]
    finally:
        if device is not None:
            device.stop()
        net.close()
        shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.skipif(os.geteuid() != 0, reason="installing a package needs root")
def test_install_then_purge(deb):
    path, version, _ = deb
    if run("dpkg-query", "-W", "-f", "${Status}", "qvr-upgrade", check=False).stdout.startswith("install ok"):
        pytest.skip("qvr-upgrade is installed on this machine already; it is not removed for a test")
    try:
        run("dpkg", "-i", str(path))
        assert run("/usr/bin/qvr-upgrade", "--version").stdout.split()[1] == version
        if shutil.which("man"):
            assert run("man", "-w", "qvr-upgrade").stdout.strip() == "/usr/share/man/man1/qvr-upgrade.1.gz"
        assert "cap_net_bind_service" in run("getcap", "/usr/bin/qvr-upgrade").stdout
        assert all(pathlib.Path(f).is_file() for f in INSTALLED)
        upgrade_as_a_normal_user()
    finally:
        purged = run("dpkg", "--purge", "qvr-upgrade", check=False)
    assert purged.returncode == 0, purged.stderr
    assert not [f for f in INSTALLED + ["/usr/share/doc/qvr-upgrade"] if os.path.lexists(f)]
    assert not run("dpkg-query", "-W", "qvr-upgrade", check=False).stdout.strip()
