"""The collection installed once per session; a lab (private namespace and
simulated devices) per test."""
import os
import shutil

import pytest

from ansible_lab import CLI, PLAYBOOK, AnsibleLab, install_collection


@pytest.fixture(scope="session")
def collection(tmp_path_factory):
    if not (PLAYBOOK and shutil.which("ansible-galaxy") and shutil.which("ansible-doc")):
        pytest.skip("needs ansible-core (ansible-playbook, ansible-galaxy, ansible-doc)")
    return install_collection(tmp_path_factory.mktemp("collection"))


@pytest.fixture
def lab(collection, tmp_path):
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("nsenter")):
        pytest.skip("needs root, unshare and nsenter (private network namespace)")
    if not CLI.exists():
        pytest.skip("build qvr-upgrade first (scripts/build)")
    lab = AnsibleLab(tmp_path, collection)
    yield lab
    lab.close()
