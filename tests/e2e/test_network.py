"""The test network itself: what the Windows side resolves for its own host
name, that the device side is reachable by TCP and by multicast from every PC
address, and that nothing is reachable beyond the two namespaces."""

import errno
import socket
import struct
import subprocess

import netns

GROUP = "234.4.8.10"
DEVICE_PORT = 4810
PC_PORT = 4811
TCP_PORT = 8080

# Bounds for the helpers below; none decides a result.
IO_TIMEOUT_S = 20

TCP_ECHO = f"""
import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("{netns.DEVICE_ADDRESS}", {TCP_PORT}))
s.listen(1)
s.settimeout({IO_TIMEOUT_S})
print("ready", flush=True)
c, peer = s.accept()
c.sendall(b"hello")
c.close()
print(peer[0], flush=True)
"""

MULTICAST_RESPONDER = f"""
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", {DEVICE_PORT}))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             struct.pack("4s4s", socket.inet_aton("{GROUP}"), socket.inet_aton("{netns.DEVICE_ADDRESS}")))
s.settimeout({IO_TIMEOUT_S})
print("ready", flush=True)
data, peer = s.recvfrom(2048)
s.sendto(b"unicast:" + data, peer)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("{netns.DEVICE_ADDRESS}"))
s.sendto(b"group:" + data, ("{GROUP}", {PC_PORT}))
print(peer[0], flush=True)
"""


def start_on_device(device_ns, script):
    proc = device_ns.popen(["/usr/bin/python3", "-c", script], stdout=subprocess.PIPE, text=True)
    assert proc.stdout.readline().strip() == "ready"
    return proc


def device_result(proc):
    out, _ = proc.communicate(timeout=IO_TIMEOUT_S + 10)
    assert proc.returncode == 0
    return out.strip()


def test_host_name_resolves_to_chosen_pc_addresses(driver, pc_addresses):
    host, addresses = driver.host_addresses()
    assert host == netns.HOST_NAME
    assert addresses == [netns.PC_ADDRESS]

    two = ["10.77.0.21", netns.PC_ADDRESS]
    pc_addresses(two)
    assert driver.host_addresses()[1] == two

    many = [netns.PC_ADDRESS] + [f"10.77.0.{30 + i}" for i in range(9)]
    pc_addresses(many)
    assert driver.host_addresses()[1] == many
    assert sorted(netns.pc_addresses()) == sorted(many)

    pc_addresses([netns.PC_ADDRESS], resolve=False)
    assert driver.host_addresses()[1] == []


def test_device_reachable_by_tcp_from_each_pc_address(device_ns, pc_addresses):
    pc_addresses([netns.PC_ADDRESS, "10.77.0.21"])
    for source in (netns.PC_ADDRESS, "10.77.0.21"):
        proc = start_on_device(device_ns, TCP_ECHO)
        with socket.socket() as s:
            s.settimeout(IO_TIMEOUT_S)
            s.bind((source, 0))
            s.connect((netns.DEVICE_ADDRESS, TCP_PORT))
            assert s.recv(16) == b"hello"
        assert device_result(proc) == source


def test_multicast_reaches_device_and_back(device_ns):
    proc = start_on_device(device_ns, MULTICAST_RESPONDER)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", PC_PORT))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(netns.PC_ADDRESS)))
        s.settimeout(IO_TIMEOUT_S)
        s.sendto(b"probe", (GROUP, DEVICE_PORT))
        received = {s.recvfrom(2048)[0] for _ in range(2)}
    assert received == {b"unicast:probe", b"group:probe"}
    assert device_result(proc) == netns.PC_ADDRESS


def test_nothing_beyond_the_namespaces():
    for args in (["ip", "-4", "route", "show", "table", "all"],
                 netns.device_command(["ip", "-4", "route", "show", "table", "all"])):
        routes = subprocess.run(args, check=True, timeout=IO_TIMEOUT_S,
                                stdout=subprocess.PIPE, text=True).stdout
        assert not any(line.startswith("default") for line in routes.splitlines()), routes
    # No route: the kernel refuses at once, nothing is sent.
    with socket.socket() as s:
        assert s.connect_ex(("192.0.2.1", 9)) == errno.ENETUNREACH
