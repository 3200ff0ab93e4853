"""Starting the real shell with a stand-in interpreter, and reading its window."""

import json
import os
import stat
import textwrap
import unittest

from . import x11
from .inspector import Inspector
from .shell import LIGHT_RENDERING, ShellProcess, free_port, inspector_env
from .xvfb import display

REAL_PYTHON = "/usr/bin/python3"

# Stands first on PATH as "python3": records how the shell ran it, then runs
# the test's server script in its place with the same arguments.
FAKE_PYTHON = """#!{python}
import json, os, sys
with open({record!r}, "a") as record:
    record.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                             "env": dict(os.environ), "pid": os.getpid()}}) + "\\n")
os.execv({python!r}, [{python!r}, "-u", {server!r}] + sys.argv[1:])
"""

# A server that starts and never says where it is.
SILENT_SERVER = """
import signal, time
while True:
    time.sleep(60)
"""


def binary():
    path = os.environ.get("QUORVA_BINARY")
    if not path:
        raise unittest.SkipTest("QUORVA_BINARY is not set; run through ctest")
    return path


class QuorvaTestCase(unittest.TestCase):
    """One display for the class; each test starts its own shell."""

    @classmethod
    def setUpClass(cls):
        cls._display = display()
        cls.display = cls._display.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls._display.__exit__(None, None, None)

    def start_shell(self, server_source=SILENT_SERVER, env=None, root=None, inspect=True):
        """The shell with `server_source` as its catalog server; cleaned up after the test."""
        shell = ShellProcess(binary(), display=self.display, root=root, keep_root=root is not None,
                             env=None)
        bin_dir = os.path.join(shell.root, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        server = os.path.join(shell.root, "server.py")
        with open(server, "w") as handle:
            handle.write(textwrap.dedent(server_source))
        self.record_path = os.path.join(shell.root, "python3-runs.jsonl")
        fake = os.path.join(bin_dir, "python3")
        with open(fake, "w") as handle:
            handle.write(FAKE_PYTHON.format(python=REAL_PYTHON, record=self.record_path,
                                            server=server))
        os.chmod(fake, os.stat(fake).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)

        shell.env["PATH"] = f"{bin_dir}:/usr/bin:/bin"
        shell.env["QUORVA_HOME"] = os.path.join(shell.root, "data")
        shell.env["QUORVA_CATALOG"] = server
        shell.env.update(LIGHT_RENDERING)
        self.inspector_port = None
        if inspect:
            self.inspector_port = free_port()
            shell.env.update(inspector_env(self.inspector_port))
        shell.env.update(env or {})
        self.addCleanup(shell.cleanup)
        return shell.start()

    def python_runs(self):
        """How the shell ran python3, one entry per run."""
        try:
            with open(self.record_path) as handle:
                return [json.loads(line) for line in handle]
        except FileNotFoundError:
            return []

    def main_window(self, shell, timeout=30.0):
        return x11.wait_for_window(pid=shell.pid, timeout=timeout, display=self.display)

    def inspector(self, timeout=30.0):
        connection = Inspector.connect(self.inspector_port, timeout=timeout)
        self.addCleanup(connection.close)
        return connection
