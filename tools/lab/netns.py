"""Isolated network for one end-to-end test run.

run.sh starts the whole run in fresh network, UTS, mount and PID namespaces
(`unshare`). Inside them this module builds:

- the PC side: the namespace the tests and the Windows programs run in, with
  loopback and one end of a veth pair, interface ``qvr-pc``, address
  10.77.0.1/24 (more addresses on request);
- the device side: a second network namespace ``qvr-dev`` (``ip netns``)
  holding the other end, ``qvr-dev``, address 10.77.0.2/24, where the
  simulated device runs (``ip netns exec``);
- a host name (UTS namespace) and, bind-mounted over /etc/hosts,
  /etc/host.conf, /etc/nsswitch.conf and /etc/resolv.conf (mount namespace),
  files that make the host name resolve to exactly the PC addresses a test
  asks for, and nothing else resolve at all.

No namespace has a default route: nothing can leave the two namespaces.

Why the PC side's routes live in a separate routing table: Wine answers
``gethostbyname(<own host name>)`` from its view of the routing table (one
address per interface that has a direct route in the main table) and only
falls back to the system resolver when that table is empty. The routes to
the device are therefore put in table 77 with a rule that consults it, so
the kernel routes as usual while Wine finds the main table empty and reads
/etc/hosts: the tests then choose the addresses, their number and their
order.

A second link on request (``add_second_link``): another veth pair,
``qvr-pc2`` 10.78.0.1/24 to ``qvr-dev2`` 10.78.0.2/24, for a PC with two
interfaces.  Wine binds a UDP socket that asks for one address to that
address's whole interface and sends from the route's source address, so a
second PC address that must be seen as the source of datagrams needs an
interface of its own.

Usage as a program (inside the namespaces only):
    netns.py setup <run_dir>     build everything above
    netns.py teardown            stop the device side and remove it
"""

import ipaddress
import os
import subprocess
import sys

PC_IF = "qvr-pc"
DEVICE_IF = "qvr-dev"
DEVICE_NS = "qvr-dev"
HOST_NAME = "qvr-e2e-pc"
PC_ADDRESS = "10.77.0.1"
DEVICE_ADDRESS = "10.77.0.2"
NET_PREFIX = 24
SECOND_PC_IF = "qvr-pc2"
SECOND_DEVICE_IF = "qvr-dev2"
SECOND_PC_ADDRESS = "10.78.0.1"
SECOND_DEVICE_ADDRESS = "10.78.0.2"
ROUTE_TABLE = "77"
MULTICAST_NET = "224.0.0.0/4"
SUBNET = ipaddress.ip_network(f"{PC_ADDRESS}/{NET_PREFIX}", strict=False)

# Bound for every command this module runs.
COMMAND_TIMEOUT_S = 20


def _run(args, check=True):
    return subprocess.run(args, check=check, timeout=COMMAND_TIMEOUT_S,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _ip(*args, check=True):
    return _run(["ip", *args], check=check)


def _dev_ip(*args, check=True):
    return _run(["ip", "-n", DEVICE_NS, *args], check=check)


def run_dir():
    return os.environ["QVR_E2E_RUN_DIR"]


def hosts_path(directory=None):
    return os.path.join(directory or run_dir(), "hosts")


def device_command(args):
    """The argument list that runs `args` in the device namespace."""
    return ["ip", "netns", "exec", DEVICE_NS, *args]


def _refuse_unless_isolated():
    """Stops unless this is a fresh network namespace made by run.sh.

    A fresh namespace has only the loopback interface and no routes. Refusing
    anything else keeps this module from ever touching the machine's own
    network configuration."""
    if os.environ.get("QVR_E2E_INSIDE") != "1":
        sys.exit("netns.py: not inside the namespaces made by run.sh")
    links = _ip("-o", "link", "show").stdout.splitlines()
    names = [line.split(":")[1].strip().split("@")[0] for line in links]
    if names != ["lo"]:
        sys.exit(f"netns.py: network namespace is not fresh (interfaces {names})")
    if _ip("-4", "route", "show", "table", "all").stdout.strip():
        sys.exit("netns.py: network namespace is not fresh (it has routes)")


def _bind_file(source, target):
    _run(["mount", "--bind", source, target])


def _write_in_place(path, text):
    # The file is bind-mounted: it must keep its inode, so it is rewritten,
    # never replaced.
    with open(path, "w", encoding="ascii") as f:
        f.write(text)


def write_hosts(addresses, directory=None, resolve=True):
    """Makes the host name resolve to `addresses`, in this order (none when
    `resolve` is false or the list is empty)."""
    lines = ["127.0.0.1\tlocalhost"]
    if resolve:
        lines += [f"{a}\t{HOST_NAME}" for a in addresses]
    _write_in_place(hosts_path(directory), "\n".join(lines) + "\n")


def setup(directory):
    _refuse_unless_isolated()
    os.makedirs(directory, exist_ok=True)

    # ip netns keeps its handles under /run/netns: a private tmpfs keeps
    # them inside this mount namespace and gone with it.
    os.makedirs("/run/netns", exist_ok=True)
    _run(["mount", "-t", "tmpfs", "-o", "mode=0755", "qvr-e2e-netns", "/run/netns"])

    _run(["hostname", HOST_NAME])
    _ip("link", "set", "lo", "up")

    _ip("netns", "add", DEVICE_NS)
    _ip("link", "add", PC_IF, "type", "veth", "peer", "name", DEVICE_IF, "netns", DEVICE_NS)

    _ip("addr", "add", f"{PC_ADDRESS}/{NET_PREFIX}", "dev", PC_IF, "noprefixroute")
    _ip("link", "set", PC_IF, "up")
    _ip("route", "add", str(SUBNET), "dev", PC_IF, "src", PC_ADDRESS, "table", ROUTE_TABLE)
    _ip("route", "add", MULTICAST_NET, "dev", PC_IF, "table", ROUTE_TABLE)
    _ip("rule", "add", "table", ROUTE_TABLE, "priority", "1000")

    _dev_ip("link", "set", "lo", "up")
    _dev_ip("addr", "add", f"{DEVICE_ADDRESS}/{NET_PREFIX}", "dev", DEVICE_IF)
    _dev_ip("link", "set", DEVICE_IF, "up")
    _dev_ip("route", "add", MULTICAST_NET, "dev", DEVICE_IF)

    # Name resolution: only the files below, only the host name and localhost.
    write_hosts([PC_ADDRESS], directory)
    with open(os.path.join(directory, "host.conf"), "w", encoding="ascii") as f:
        f.write("multi on\n")
    with open(os.path.join(directory, "resolv.conf"), "w", encoding="ascii") as f:
        f.write("# no name server inside the test namespaces\n")
    nsswitch = []
    try:
        with open("/etc/nsswitch.conf", encoding="utf-8") as f:
            nsswitch = [line for line in f.read().splitlines()
                        if not line.startswith("hosts:")]
    except OSError:
        pass
    nsswitch.append("hosts: files")
    with open(os.path.join(directory, "nsswitch.conf"), "w", encoding="utf-8") as f:
        f.write("\n".join(nsswitch) + "\n")
    for name in ("hosts", "host.conf", "resolv.conf", "nsswitch.conf"):
        target = os.path.join("/etc", name)
        if not os.path.exists(target):
            open(target, "a").close()
        _bind_file(os.path.join(directory, name), target)


def set_pc_addresses(addresses, resolve=True):
    """Gives the PC side exactly `addresses` (dotted texts, first one the
    source of the route to the device) and makes the host name resolve to
    them in this order; with `resolve` false the host name resolves to
    nothing. Addresses outside 10.77.0.0/24 are routed back from the device
    side as host routes."""
    if not addresses:
        raise ValueError("the PC side needs at least one address")
    _ip("addr", "flush", "dev", PC_IF)
    _dev_ip("route", "flush", "proto", "static", check=False)
    for a in addresses:
        inside = ipaddress.ip_address(a) in SUBNET
        length = NET_PREFIX if inside else 32
        _ip("addr", "add", f"{a}/{length}", "dev", PC_IF, "noprefixroute")
        if not inside:
            _dev_ip("route", "replace", f"{a}/32", "dev", DEVICE_IF, "proto", "static")
    # Deleting an interface's last address drops every route through it.
    _ip("route", "replace", str(SUBNET), "dev", PC_IF, "src", addresses[0], "table", ROUTE_TABLE)
    _ip("route", "replace", MULTICAST_NET, "dev", PC_IF, "table", ROUTE_TABLE)
    write_hosts(addresses, resolve=resolve)


def add_second_link():
    """A second veth pair between the PC side and the device side, with its
    own subnet; the host name then resolves to both PC addresses, the first
    link's first."""
    second_net = ipaddress.ip_network(f"{SECOND_PC_ADDRESS}/{NET_PREFIX}", strict=False)
    _ip("link", "add", SECOND_PC_IF, "type", "veth", "peer", "name", SECOND_DEVICE_IF, "netns", DEVICE_NS)
    _ip("addr", "add", f"{SECOND_PC_ADDRESS}/{NET_PREFIX}", "dev", SECOND_PC_IF, "noprefixroute")
    _ip("link", "set", SECOND_PC_IF, "up")
    _ip("route", "add", str(second_net), "dev", SECOND_PC_IF, "src", SECOND_PC_ADDRESS, "table", ROUTE_TABLE)
    _dev_ip("addr", "add", f"{SECOND_DEVICE_ADDRESS}/{NET_PREFIX}", "dev", SECOND_DEVICE_IF)
    _dev_ip("link", "set", SECOND_DEVICE_IF, "up")
    write_hosts([PC_ADDRESS, SECOND_PC_ADDRESS])


def remove_second_link():
    """Undoes add_second_link (deleting one end of a veth pair deletes both
    and their routes)."""
    _ip("link", "del", SECOND_PC_IF, check=False)
    write_hosts([PC_ADDRESS])


def reset_pc_addresses():
    set_pc_addresses([PC_ADDRESS])


def pc_addresses():
    """The IPv4 addresses on the PC side interface, in kernel order."""
    out = _ip("-o", "-4", "addr", "show", "dev", PC_IF).stdout
    return [line.split()[3].split("/")[0] for line in out.splitlines()]


def teardown():
    listed = _ip("netns", "pids", DEVICE_NS, check=False)
    for pid in listed.stdout.split():
        try:
            os.kill(int(pid), 9)
        except (OSError, ValueError):
            pass
    _ip("netns", "del", DEVICE_NS, check=False)


def main(argv):
    if len(argv) == 3 and argv[1] == "setup":
        setup(argv[2])
    elif len(argv) == 2 and argv[1] == "teardown":
        teardown()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
