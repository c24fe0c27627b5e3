"""The collection qvr.firmware built and installed as a user would, and
playbooks run with it (hosts: localhost, connection: local) inside a
private network namespace with simulated devices on 127.0.0.2, 127.0.0.3,
... port 80, so the qvr-upgrade the module starts reaches them and nothing
else.  Its own module, not conftest: the benchmark uses it too."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve()
sys.path.insert(0, str(HERE.parents[1]))
sys.path.insert(0, str(HERE.parents[3] / "tools" / "lab"))
from harness import BUILD, ROOT, make_image  # noqa: E402,F401
from private_net import PrivateNet  # noqa: E402
from simdevice.process import DeviceProcess  # noqa: E402

CLI = BUILD / "bin" / "qvr-upgrade"
PLAYBOOK = shutil.which("ansible-playbook")
RUN_S = 120  # bound of one playbook run: a hung run fails, nothing is decided on it
PASSWORD = "Vault-kept-8Qx3"  # every simulated device's; no output may show it
PC = "127.0.0.1"


def install_collection(directory):
    """Builds ansible/ into a collection archive and installs it under
    `directory`; returns the environment that makes Ansible find it."""
    subprocess.run(["ansible-galaxy", "collection", "build", str(ROOT / "ansible"), "--output-path",
                    str(directory)], check=True, capture_output=True, timeout=RUN_S)
    [archive] = directory.glob("qvr-firmware-*.tar.gz")
    subprocess.run(["ansible-galaxy", "collection", "install", str(archive), "-p", str(directory / "collections")],
                   check=True, capture_output=True, timeout=RUN_S)
    return {"ANSIBLE_COLLECTIONS_PATH": str(directory / "collections"), "ANSIBLE_HOME": str(directory / "home"),
            "ANSIBLE_LOCAL_TEMP": str(directory / "tmp"), "ANSIBLE_NOCOLOR": "1",
            "ANSIBLE_STDOUT_CALLBACK": "ansible.builtin.json", "ANSIBLE_PYTHON_INTERPRETER": sys.executable}


class AnsibleLab:
    def __init__(self, directory, env):
        self.net = PrivateNet()
        self.directory = directory
        self.env = {**{k: v for k, v in os.environ.items() if k != "QVR_PASSWORD"}, **env,
                    "ASAN_OPTIONS": "detect_leaks=0"}
        self.devices = []

    def device(self, address, *options):
        """A simulated device on address:80 asking for PASSWORD, with a fresh
        nonce per challenge (each run's counts start from 1 again)."""
        device = DeviceProcess(self.directory / f"device-{address}-{time.monotonic_ns()}.log", "--address",
                               address, "--port", "80", "--install-delay", "0.2", "--tftp-dally", "0.2",
                               "--nonce-mode", "fresh", "--password", PASSWORD, *options, popen=self.net.popen)
        device.address = address
        self.devices.append(device)
        return device

    def playbook(self, tasks, *args, executable=CLI):
        """Runs one play of `tasks` on localhost in the namespace, each task's
        module given `executable` and the password; returns the exit code,
        the json callback's document and the whole output."""
        play = [{"hosts": "localhost", "connection": "local", "gather_facts": False,
                 "vars": {"qvr_password": PASSWORD},
                 "module_defaults": {name: {"executable": str(executable), "password": "{{ qvr_password }}"}
                                     for name in ("qvr.firmware.qvr_upgrade", "qvr.firmware.qvr_scan")},
                 "tasks": tasks}]
        path = self.directory / f"play-{time.monotonic_ns()}.yml"
        path.write_text(json.dumps(play))  # JSON is YAML
        proc = self.net.popen([PLAYBOOK, "-i", "localhost,", str(path), *args], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        out, _ = proc.communicate(timeout=RUN_S)
        # -v lines come before the document, which starts with a lone "{".
        start = 0 if out.startswith("{\n") else out.find("\n{\n") + 1
        return proc.returncode, json.loads(out[start:]), out

    def close(self):
        for device in self.devices:
            device.stop()
        self.net.close()


def task_results(document):
    """Each task's result for localhost, in the order the tasks ran."""
    return [task["hosts"]["localhost"] for task in document["plays"][0]["tasks"]]
