"""The lab's network itself: what the Windows side resolves for its own host
name, and that nothing is reachable beyond the two namespaces.  (That the
device is reached by TCP and by multicast from the PC addresses, the
upgrade and recovery runs show.)"""

import errno
import socket
import subprocess

import netns

# Bound for the commands below; none decides a result.
IO_TIMEOUT_S = 20


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


def test_nothing_beyond_the_namespaces():
    for args in (["ip", "-4", "route", "show", "table", "all"],
                 netns.device_command(["ip", "-4", "route", "show", "table", "all"])):
        routes = subprocess.run(args, check=True, timeout=IO_TIMEOUT_S,
                                stdout=subprocess.PIPE, text=True).stdout
        assert not any(line.startswith("default") for line in routes.splitlines()), routes
    # No route: the kernel refuses at once, nothing is sent.
    with socket.socket() as s:
        assert s.connect_ex(("192.0.2.1", 9)) == errno.ENETUNREACH
