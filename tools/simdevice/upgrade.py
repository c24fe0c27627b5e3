"""Upgrade command of the simulated device.

device.py hands every accepted "/admin/upgrade?tftp://A.B.C.D:P/name" to the
UpgradeHandler below, and asks it which software version the status page
shows.  For now the handler only records the command; the TFTP fetch, the
check of the image and the install delay belong here, behind the same
interface:

    add_arguments(parser)            adds this module's options to device.py's
    handler = UpgradeHandler(args, log)
    handler.start(host, port, name)  one upgrade command; returns at once
                                     (long work goes on a thread of its own);
                                     True when the device accepts the command
    handler.reported_version()       the software version to show now

host is the dotted IPv4 text from the URL, port an int, name the file name
exactly as it follows the port in the URL (with its leading "/").  log is
device.py's log: log(event="...", key=value, ...) writes one JSON line;
it may be called from any thread.
"""
import threading


def add_arguments(parser):
    group = parser.add_argument_group("upgrade")
    group.add_argument("--software-version", default="7.5.5",
                       help="software version the status page reports (default %(default)s)")


class UpgradeHandler:
    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.lock = threading.Lock()
        self.commands = []  # (host, port, name) in the order received

    def start(self, host, port, name):
        with self.lock:
            self.commands.append((host, port, name))
        self.log(event="upgrade", host=host, port=port, name=name)
        return True

    def reported_version(self):
        return self.args.software_version
