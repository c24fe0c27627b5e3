"""tftp_serve as a process, for the integration tests, the lossy-link run
and the benchmark: one transfer of `image` under `name`, from `first_port`
or the first free port above it, without the update wait and the status
request.  It ends by itself after the transfer, its time-out or `limit_s`.

    server = TftpServe(binary, image, "/qvr1a2b.bi1", *options)
    server.port            the port it bound, from its "port N" line
    server.finish()        (exit code, stdout, stderr) once it has ended
"""
import pathlib
import subprocess


class ServeError(AssertionError):
    pass


class TftpServe:
    def __init__(self, binary, image, name, *options, address="127.0.0.1", first_port=6969, limit_s=120,
                 popen=subprocess.Popen, stderr=subprocess.PIPE):
        self.image = pathlib.Path(image)
        self.limit_s = limit_s
        self.proc = popen([str(binary), "--image", str(image), "--file", name, "--address", address,
                           "--port", str(first_port), "--no-completion", "--limit-seconds", str(limit_s), *options],
                          stdout=subprocess.PIPE, stderr=stderr, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "port":
            self.kill()
            raise ServeError(f"tftp_serve did not bind: {self.finish()[2]!r}")
        self.port = int(line[1])
        self.result = None

    def finish(self):
        if getattr(self, "result", None) is None:
            out, err = self.proc.communicate(timeout=self.limit_s + 30)
            self.result = (self.proc.returncode, out, err)
        return self.result

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
