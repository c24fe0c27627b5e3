"""A private network namespace with loopback only (`unshare --net`), for
runs that must send multicast or bind fixed ports without touching the
machine's own network: nothing in it can reach any other address.  Needs
root.

    net = PrivateNet()
    net.popen(args, **kwargs)   a program started inside (`nsenter`)
    net.call(fn, *args)         fn run on a thread that has entered the
                                namespace, so the sockets it makes live there
    net.close()                 everything started, and the namespace, gone
"""
import ctypes
import os
import subprocess
import threading

CLONE_NEWNET = 0x40000000


class PrivateNet:
    def __init__(self):
        self.procs = []
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--", "sh", "-c", "ip link set lo up && echo ready && exec sleep 600"],
            stdout=subprocess.PIPE, text=True)
        assert self.holder.stdout.readline().strip() == "ready", "no private network namespace"
        self.path = f"/proc/{self.holder.pid}/ns/net"
        self.libc = ctypes.CDLL(None, use_errno=True)

    def popen(self, args, **kwargs):
        self.procs.append(subprocess.Popen(["nsenter", f"--net={self.path}", "--", *args], **kwargs))
        return self.procs[-1]

    def call(self, fn, *args):
        result = {}

        def inside():
            fd = os.open(self.path, os.O_RDONLY)
            entered = self.libc.setns(fd, CLONE_NEWNET) == 0
            os.close(fd)
            try:
                if not entered:
                    raise OSError(ctypes.get_errno(), "setns")
                result["value"] = fn(*args)
            except BaseException as e:  # handed to the caller's thread
                result["error"] = e

        thread = threading.Thread(target=inside)
        thread.start()
        thread.join()
        if "error" in result:
            raise result["error"]
        return result["value"]

    def close(self):
        for proc in self.procs + [self.holder]:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)
