"""What the packaging tests share: scripts/package run with build trees and
an output folder of the test's choosing, the package it wrote, and a
throw-away code-signing certificate."""
import hashlib
import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[3]
PACKAGE = ROOT / "scripts" / "package"
COMPARE = ROOT / "scripts" / "compare-packages"
PASSWORD = "throw away"
SAMPLE_NAME = "qvr-upgrade-7.5.6a-SAMPLE"


def package(output, build_dir, *args, **env):
    """scripts/package ARGS writing into `output` with build trees in
    `build_dir`; QVR_SIGN_PASSWORD only when given here."""
    environment = {k: v for k, v in os.environ.items() if k != "QVR_SIGN_PASSWORD"}
    environment.update(QVR_PACKAGE_OUTPUT=str(output), QVR_PACKAGE_BUILD_DIR=str(build_dir), **env)
    return subprocess.run([str(PACKAGE), *map(str, args)], env=environment, capture_output=True, text=True,
                          timeout=1800)


def shipped(output):
    """The one package folder in `output`."""
    [folder] = [p for p in pathlib.Path(output).iterdir() if p.is_dir()]
    return folder


def sums(path):
    """A SHA256SUMS file as {file: checksum}."""
    return {name: digest for digest, name in (line.split("  ", 1) for line in path.read_text().splitlines())}


def checked_sums(folder):
    """The folder's SHA256SUMS, after checking that it lists every other
    file of the folder with its right checksum."""
    listed = sums(folder / "SHA256SUMS")
    files = {p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file()} - {"SHA256SUMS"}
    assert set(listed) == files
    assert {f: hashlib.sha256((folder / f).read_bytes()).hexdigest() for f in files} == listed
    return listed


def throwaway_certificate(directory, name="QVR test signer"):
    """A self-signed code-signing certificate valid for two days, with its
    key in a PKCS#12 file locked with PASSWORD; returns (p12, certificate)."""
    key, cert, p12 = (pathlib.Path(directory) / n for n in ("key.pem", "cert.pem", "signer.p12"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key),
                    "-out", str(cert), "-days", "2", "-subj", f"/CN={name}/O=QVR tests",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True, timeout=120)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(key), "-in", str(cert), "-out", str(p12),
                    "-passout", "env:QVR_SIGN_PASSWORD"], env=dict(os.environ, QVR_SIGN_PASSWORD=PASSWORD),
                   check=True, capture_output=True, timeout=120)
    return p12, cert


def signature_verifies(exe, cert):
    """osslsigncode's verdict on a program's Authenticode signature, with
    `cert` as the only root trusted."""
    done = subprocess.run(["osslsigncode", "verify", "-in", str(exe), "-CAfile", str(cert)],
                          capture_output=True, text=True, timeout=120)
    return done.returncode == 0
