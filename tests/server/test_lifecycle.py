import contextlib
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import threading
import unittest

from harness import (ADDRESS, MULTIPART, PYTHON, Client, ServerTestCase, codes, command, gone,
                     multipart, wait_until, writing)

WITH_PARENT = command(serve_args=("--no-browser", "--exit-with-parent", "--port", "0"))
# Starts the server as its child, says "<pid> <address line>", then waits to be killed.
PARENT = """
import signal, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE)
sys.stdout.write(f"{child.pid} {child.stdout.readline().decode()}")
sys.stdout.flush()
signal.pause()
"""
# Starts the server once this process, its parent and the only reader of its
# output, is gone.
ORPHAN = """
import os, sys
r, w = os.pipe()
out_r, out_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(w)
    os.dup2(out_w, 1)
    os.close(out_r)
    os.read(r, 1)
    os.execv(sys.argv[1], sys.argv[1:])
print(pid, flush=True)
"""
BULK = 20000


def unread_bytes(server_port, client_port):
    """What the server has not yet read from this connection, from the kernel's table."""
    with open("/proc/net/tcp") as table:
        for fields in (line.split() for line in table.readlines()[1:]):
            if (fields[1][-4:], fields[2][-4:]) == (f"{server_port:04X}", f"{client_port:04X}"):
                return int(fields[4].split(":")[1], 16)


class LifecycleTest(ServerTestCase):
    def parented(self, script, cwd):
        """The server under a parent running `script`: (that parent, the server's pid, the
        rest of the parent's first line)."""
        parent = subprocess.Popen([PYTHON, "-c", script, *WITH_PARENT], cwd=cwd,
                                  stdout=subprocess.PIPE)
        self.addCleanup(parent.stdout.close)
        pid, _, rest = parent.stdout.readline().decode().partition(" ")
        self.addCleanup(lambda: gone(int(pid)) or os.kill(int(pid), signal.SIGKILL))
        return parent, int(pid), rest

    def test_every_clean_exit_leaves_the_file_alone_complete(self):
        for way in ("SIGTERM", "SIGINT", "parent"):
            for reader in (False, True):
                with self.subTest(way=way, reader=reader):
                    data = self.fresh_directory(f"{way}-{reader}")
                    database = os.path.join(data, "catalog.db")
                    if way == "parent":
                        parent, pid, address = self.parented(PARENT, data)
                        client = Client(int(ADDRESS.fullmatch(address.encode()).group(1)))
                    else:
                        client = server = self.start(cwd=data)
                    for n in range(3):
                        self.assertEqual(client.add(f"{way}-{n}", "ของ").status, 303)
                    self.assertTrue(os.path.exists(database + "-wal"))
                    if reader:
                        # Another reader keeps SQLite from folding the log back at close.
                        self.addCleanup(sqlite3.connect(database).execute(
                            "SELECT count(*) FROM items").connection.close)
                    if way == "parent":
                        parent.kill()
                        parent.wait(5)
                        wait_until(lambda: gone(pid), 10, what="the server to end after its parent")
                    else:
                        server.proc.send_signal(getattr(signal, way))
                        self.assertEqual(server.wait(5), 0)
                        self.assertEqual((server.rest_of_stdout, server.stderr()), (b"", ""))
                    # Only a cleanly closed database folds its log back and removes it.
                    self.assertTrue(reader or not os.path.exists(database + "-wal"))
                    shutil.copyfile(database, os.path.join(self.root, "copy.db"))
                    self.assertEqual(codes(os.path.join(self.root, "copy.db")),
                                     {f"{way}-{n}" for n in range(3)})

    def test_ends_when_its_parent_was_gone_before_it_looked(self):
        orphan, pid, _ = self.parented(ORPHAN, self.data)
        orphan.wait(10)
        wait_until(lambda: gone(pid), 10, what="the server to end without its parent")

    @unittest.skipUnless(os.path.exists("/proc/net/tcp"), "reads the kernel's socket table")
    def test_a_request_in_flight_at_sigterm_is_finished(self):
        server = self.start()
        rows = "".join(f"F-{n},สินค้า {n},{n}.25,{n},{'ห' * 900}\n" for n in range(150))
        request = server.raw("POST /import", [MULTIPART], multipart(
            server.token(), f"code,name,price,quantity,note\n{rows}".encode()))
        with socket.create_connection(("127.0.0.1", server.port), timeout=20) as raw:
            raw.sendall(request[:-500])
            # Nothing left unread: the handler is past the headers, reading the body.
            wait_until(lambda: unread_bytes(server.port, raw.getsockname()[1]) == 0, 10,
                       what="the server to read the partial body")
            server.proc.send_signal(signal.SIGTERM)
            # New requests are turned away once it is stopping; ours must still be served.
            wait_until(lambda: server.get("/").status == 503, 5, what="the server to stop")
            raw.sendall(request[-500:])
            self.assertIn(b" 303 ", raw.makefile("rb").readline())
        self.assertEqual(server.wait(3), 0)
        self.assertEqual(len(codes(os.path.join(self.data, "catalog.db"))), 150)

    def test_sigkill_in_the_middle_of_writes_leaves_a_whole_database(self):
        server = self.start()
        database = os.path.join(self.data, "catalog.db")

        def bulk_visible():
            with contextlib.closing(sqlite3.connect(database, timeout=10)) as peek:
                return peek.execute("SELECT count(*) FROM items WHERE code LIKE 'BULK-%'"
                                    ).fetchone()[0]

        def bulk_import():
            rows = "".join(f"BULK-{n:05d},สินค้าชุด {n},1.50,2\n" for n in range(BULK))
            with contextlib.suppress(OSError):
                server.upload(f"code,name,price,quantity\n{rows}".encode())

        importer = threading.Thread(target=bulk_import)
        with writing(server, "W1", "W2", "W3") as saved:
            wait_until(lambda: len(saved) >= 20, 20, what="some saved items")
            importer.start()
            # Once any of the file shows, a piecemeal import would still be writing the rest.
            wait_until(bulk_visible, 30, what="the import")
            server.proc.kill()
            server.wait(5)
        importer.join(30)
        with contextlib.closing(sqlite3.connect(database)) as check:
            self.assertEqual(check.execute("PRAGMA integrity_check").fetchone()[0], "ok")
            rows = check.execute("SELECT code, name, category, price_satang, quantity, note, "
                                 "instr(search_text, lower(code)) FROM items").fetchall()
        self.assertLessEqual(set(saved), {row[0] for row in rows})
        for code, *values, found in rows:
            expected = ((f"สินค้าชุด {int(code[5:])}", "", 150, 2, "") if code.startswith("BULK-")
                        else (f"ชื่อ {code}", "หมวด", 12345, 7, "บันทึก"))
            self.assertEqual((tuple(values), found > 0), (expected, True), code)
        self.assertEqual(sum(row[0].startswith("BULK-") for row in rows), BULK)


if __name__ == "__main__":
    unittest.main()
