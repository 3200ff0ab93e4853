"""Fresh catalog servers for the catalog benchmarks, each under one temporary folder, every
step timed, and all of them ended however the benchmark ends."""

import os
import shutil
import signal
import tempfile
import time

from tests.server.harness import Server, command


class TimedServers:
    def __init__(self, prefix):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.figures, self.servers = [], []

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        for server in self.servers:
            server.proc.send_signal(signal.SIGTERM)
            server.proc.wait(30)
            server.stop()
        shutil.rmtree(self.root, True)

    def step(self, name, action):
        started = time.monotonic()
        result = action()
        self.figures.append((name, time.monotonic() - started))
        return result

    def fresh(self, name):
        os.mkdir(os.path.join(self.root, name))
        server = Server(command(), os.path.join(self.root, name))
        self.servers.append(server)
        server.timeout = 900
        return server

    def report(self, title):
        print(title)
        for name, seconds in self.figures:
            print(f"  {name:<60} {seconds:7.2f} s")


def expect(response, status):
    assert response.status == status, (response.status, response.text[:2000])
    return response
