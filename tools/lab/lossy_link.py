"""Random packet loss on the veth link between the PC side and the device
side, in both directions, for one test.

The natural tool is netem (`tc qdisc add dev X root netem loss 10%`).  Where
the kernel has no netem (CONFIG_NET_SCH_NETEM unset and no module to load),
the same loss is made with what such kernels usually do have: an ingress
classifier running a four-instruction classic BPF program that draws a
32-bit random number (the "rand" ancillary load) and matches when it falls
below the loss share, with a mirred action that redirects the matched
packet to a veth whose peer is down, where it is dropped.  The filter sits
on the ingress of each end, so each direction loses its share once.

While the link is lossy, each side's neighbour entry for the other is fixed,
so that address resolution does not fail under the loss.

Everything here runs only inside the namespaces that run.sh made.
"""
import re
import subprocess

import netns

SINK = "qvr-sink"
SINK_PEER = "qvr-sink-peer"
COMMAND_TIMEOUT_S = 20


def _pc(args):
    return args


def _dev(args):
    return netns.device_command(args)


SIDES = (("PC", netns.PC_IF, _pc), ("device", netns.DEVICE_IF, _dev))


def _run(args, check=True):
    return subprocess.run(args, check=check, timeout=COMMAND_TIMEOUT_S, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


def _mac(where, interface):
    out = _run(where(["ip", "-o", "link", "show", "dev", interface])).stdout
    return re.search(r"link/ether ([0-9a-f:]{17})", out).group(1)


def _random_below(share):
    """Classic BPF, in tc's "bytecode" form: A = random; match (return -1)
    when A < share * 2^32, else no match (return 0)."""
    threshold = min(0xFFFFFFFF, round(share * 2 ** 32))
    rand = (-0x1000 + 56) & 0xFFFFFFFF  # SKF_AD_OFF + SKF_AD_RANDOM
    program = [(0x20, 0, 0, rand),           # ld  [rand]
               (0x35, 1, 0, threshold),      # jge #threshold, +1
               (0x06, 0, 0, 0xFFFFFFFF),     # ret #-1: match, drop
               (0x06, 0, 0, 0)]              # ret #0: no match, pass
    return f"{len(program)}," + ",".join(" ".join(map(str, insn)) for insn in program)


class LossyLink:
    """Use as a context manager: `with LossyLink(10) as link: ...`;
    link.method says how, link.dropped() counts the packets lost so far on
    each side's ingress (netem: each side's egress)."""

    def __init__(self, percent):
        self.share = percent / 100.0
        self.percent = percent
        self.method = None

    def __enter__(self):
        self._pin_neighbours()
        if self._try_netem():
            self.method = "netem"
        else:
            self._filter()
            self.method = "bpf+mirred"
        return self

    def __exit__(self, *exc):
        _run(["ip", "neigh", "del", netns.DEVICE_ADDRESS, "dev", netns.PC_IF], check=False)
        _run(_dev(["ip", "neigh", "del", netns.PC_ADDRESS, "dev", netns.DEVICE_IF]), check=False)
        for _, interface, where in SIDES:
            _run(where(["tc", "qdisc", "del", "dev", interface, "root"]), check=False)
            _run(where(["tc", "qdisc", "del", "dev", interface, "clsact"]), check=False)
            _run(where(["ip", "link", "del", SINK]), check=False)
        return False

    def _pin_neighbours(self):
        """Fixed address resolution both ways while the link is lossy: the
        loss is for the transfers; a neighbour entry that failed its three
        probes would stop every packet for seconds (EHOSTUNREACH)."""
        pc_mac = _mac(_pc, netns.PC_IF)
        device_mac = _mac(_dev, netns.DEVICE_IF)
        _run(["ip", "neigh", "replace", netns.DEVICE_ADDRESS, "lladdr", device_mac, "dev", netns.PC_IF,
              "nud", "permanent"])
        _run(_dev(["ip", "neigh", "replace", netns.PC_ADDRESS, "lladdr", pc_mac, "dev", netns.DEVICE_IF,
                   "nud", "permanent"]))

    def _try_netem(self):
        for _, interface, where in SIDES:
            done = _run(where(["tc", "qdisc", "add", "dev", interface, "root", "netem",
                               "loss", f"{self.percent}%"]), check=False)
            if done.returncode != 0:
                self.__exit__(None, None, None)
                return False
        return True

    def _filter(self):
        program = _random_below(self.share)
        for _, interface, where in SIDES:
            _run(where(["ip", "link", "add", "name", SINK, "type", "veth", "peer", "name", SINK_PEER]))
            _run(where(["ip", "link", "set", SINK, "up"]))  # its peer stays down: a sink
            _run(where(["tc", "qdisc", "add", "dev", interface, "clsact"]))
            _run(where(["tc", "filter", "add", "dev", interface, "ingress", "bpf", "bytecode", program,
                        "action", "mirred", "egress", "redirect", "dev", SINK]))

    def dropped(self):
        """{"PC": n, "device": n}: packets lost on the way into each side
        (netem: on the way out of it)."""
        counts = {}
        for side, interface, where in SIDES:
            if self.method == "netem":
                out = _run(where(["tc", "-s", "qdisc", "show", "dev", interface])).stdout
                found = re.search(r"dropped (\d+)", out)
            else:
                out = _run(where(["tc", "-s", "filter", "show", "dev", interface, "ingress"])).stdout
                found = re.search(r"Sent \d+ bytes (\d+) pkt", out)
            counts[side] = int(found.group(1)) if found else 0
        return counts
