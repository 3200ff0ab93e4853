import contextlib
import os
import signal
import socket
import sqlite3
import subprocess
import threading
import time
import unittest

from harness import ADDRESS, PYTHON, ServerTestCase, command, gone, wait_until

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
    def test_sigterm_and_sigint_close_the_database_and_exit_zero(self):
        for number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=number.name):
                data = self.fresh_directory(number.name)
                server = self.start(cwd=data)
                self.assertEqual(server.client.add("S-1", "ปิดอย่างเรียบร้อย").status, 303)
                self.assertTrue(os.path.exists(os.path.join(data, "catalog.db-wal")))
                started = time.monotonic()
                server.proc.send_signal(number)
                self.assertEqual(server.wait(3), 0)
                self.assertLess(time.monotonic() - started, 3)
                # Only a cleanly closed database folds its log back and removes it.
                self.assertFalse(os.path.exists(os.path.join(data, "catalog.db-wal")))
                self.assertEqual((server.rest_of_stdout, server.stderr()), (b"", ""))

    @unittest.skipUnless(os.path.exists("/proc/net/tcp"), "reads the kernel's socket table")
    def test_a_request_in_flight_at_sigterm_is_finished(self):
        server = self.start()
        client = server.client
        rows = "".join(f"F-{n},สินค้า {n},{n}.25,{n},{'ห' * 900}\n" for n in range(150))
        body = (f"--x\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n{client.token()}"
                f"\r\n--x\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.csv\""
                f"\r\n\r\ncode,name,price,quantity,note\n{rows}\r\n--x--\r\n").encode()
        head = (f"POST /import HTTP/1.1\r\nHost: {client.host}\r\nOrigin: {client.origin}\r\n"
                f"Content-Type: multipart/form-data; boundary=x\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode()
        with socket.create_connection(("127.0.0.1", server.port), timeout=20) as raw:
            raw.sendall(head + body[:-500])
            # Nothing left unread: the handler is past the headers, reading the body.
            wait_until(lambda: unread_bytes(server.port, raw.getsockname()[1]) == 0, 10,
                       what="the server to read the partial body")
            server.proc.send_signal(signal.SIGTERM)
            # New requests are turned away once it is stopping; ours must still be served.
            wait_until(lambda: client.get("/").status == 503, 5, what="the server to stop")
            raw.sendall(body[-500:])
            self.assertIn(b" 303 ", raw.makefile("rb").readline())
        self.assertEqual(server.wait(3), 0)
        with contextlib.closing(sqlite3.connect(os.path.join(self.data, "catalog.db"))) as check:
            self.assertEqual(check.execute("SELECT count(*) FROM items").fetchone()[0], 150)

    def test_ends_when_its_parent_is_killed(self):
        parent = subprocess.Popen([PYTHON, "-c", PARENT] + command(
            serve_args=("--no-browser", "--exit-with-parent", "--port", "0")),
            cwd=self.data, stdout=subprocess.PIPE)
        self.addCleanup(parent.stdout.close)
        pid, address = parent.stdout.readline().decode().split(" ", 1)
        self.assertRegex(address.encode(), ADDRESS)
        self.addCleanup(lambda: gone(int(pid)) or os.kill(int(pid), signal.SIGKILL))
        parent.kill()
        parent.wait(5)
        wait_until(lambda: gone(int(pid)), 5, what="the server to end after its parent")

    def test_ends_when_its_parent_was_gone_before_it_looked(self):
        orphan = subprocess.Popen([PYTHON, "-c", ORPHAN] + command(
            serve_args=("--no-browser", "--exit-with-parent", "--port", "0")),
            cwd=self.data, stdout=subprocess.PIPE)
        self.addCleanup(orphan.stdout.close)
        pid = int(orphan.stdout.readline())
        self.addCleanup(lambda: gone(pid) or os.kill(pid, signal.SIGKILL))
        orphan.wait(10)
        wait_until(lambda: gone(pid), 10, what="the server to end without its parent")

    def test_sigkill_in_the_middle_of_writes_leaves_a_whole_database(self):
        server = self.start()
        client = server.client
        database = os.path.join(self.data, "catalog.db")
        saved, stop = [], threading.Event()

        def writer(prefix):
            for n in range(5000):
                code = f"{prefix}-{n:04d}"
                try:
                    if stop.is_set() or client.add(code, f"ชื่อ {code}", "123.45", "7", "หมวด",
                                                   "บันทึก").status != 303:
                        return
                except OSError:
                    return
                saved.append(code)

        def importer():
            rows = "".join(f"BULK-{n:05d},สินค้าชุด {n},1.50,2\n" for n in range(BULK))
            with contextlib.suppress(OSError):
                client.upload(("code,name,price,quantity\n" + rows).encode())

        def bulk_visible():
            with contextlib.closing(sqlite3.connect(database, timeout=10)) as peek:
                return peek.execute("SELECT count(*) FROM items WHERE code LIKE 'BULK-%'"
                                    ).fetchone()[0]

        threads = [threading.Thread(target=writer, args=(p,)) for p in ("W1", "W2", "W3")]
        for thread in threads:
            thread.start()
        threads.append(threading.Thread(target=importer))
        try:
            wait_until(lambda: len(saved) >= 20, 20, what="some saved items")
            threads[-1].start()
            # Once any of the file shows, a piecemeal import would still be writing the rest.
            wait_until(bulk_visible, 30, what="the import")
            server.proc.kill()
            server.wait(5)
        finally:
            stop.set()
            for thread in threads:
                thread.join(30)

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
