#!/usr/bin/python3
"""A large catalog's own downloaded copy, restored through the restore-from-file form into a
fresh catalog: prints the sizes (database, copy, backups/ folder) and the time of each step,
and whether every item came back.

    bench/backup_restore.py            100,000 items
    bench/backup_restore.py 20000      fewer
"""

import os
import re
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "server"))
from harness import Server, command, multipart  # noqa: E402


def folder_size(path):
    return sum(entry.stat().st_size for entry in os.scandir(path) if entry.is_file())


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    root = tempfile.mkdtemp(prefix="catalog-restore-")
    source = ("code,name,category,price,quantity,note\n" + "".join(
        f"BR-{n:06d},สินค้าทดสอบ ชิ้นที่ {n},หมวด {n % 40},{n % 9999}.{n % 100:02d},"
        f"{n % 500},หมายเหตุ {n}\n" for n in range(count))).encode()
    figures, servers = [], []

    def step(name, action):
        started = time.monotonic()
        result = action()
        figures.append((name, time.monotonic() - started))
        return result

    def fresh(name):
        os.mkdir(os.path.join(root, name))
        server = Server(command(), os.path.join(root, name))
        servers.append(server)
        server.timeout = 900
        return server

    def expect(response, status):
        assert response.status == status, (response.status, response.text[:2000])
        return response

    try:
        first = fresh("first")
        step(f"import {count:,} items", lambda: expect(first.upload(source), 303))
        backup = step("download the copy", lambda: first.get("/backups/download").body)
        second = fresh("second")
        second.add("OTHER-1", "จะถูกแทนที่")
        checked = step("upload, check and rebuild it from its rows (the form)", lambda: expect(
            second.request("POST", "/backups/upload", multipart(second.token(), backup), {
                "Origin": second.origin,
                "Content-Type": "multipart/form-data; boundary=b"}), 303))
        page = step("confirmation page", lambda: second.follow(checked).text)
        key = re.search(r'name="p" value="([^"]+)"', page).group(1)
        step("confirm: safety copy, file swapped",
             lambda: expect(second.post("/backups/confirm", {"p": key}), 303))
        second._token = None
        # Once more over the full catalog: now the safety copy is of all the items.
        page = second.follow(expect(second.upload(backup, path="/backups/upload"), 303)).text
        key = re.search(r'name="p" value="([^"]+)"', page).group(1)
        step(f"confirm again (compressed safety copy of {count:,} items)",
             lambda: expect(second.post("/backups/confirm", {"p": key}), 303))
        second._token = None
        exported = second.get("/export.csv").body
        back = exported.count(b"\nBR-")
        data = os.path.join(root, "second")
        print(f"Backup and restore, {count:,} items")
        for name, seconds in figures:
            print(f"  {name:<60} {seconds:7.2f} s")
        print(f"  database {os.path.getsize(os.path.join(data, 'catalog.db')) / 1e6:.1f} MB, "
              f"downloaded copy {len(backup) / 1e6:.1f} MB, "
              f"backups/ {folder_size(os.path.join(data, 'backups')) / 1e6:.1f} MB "
              f"({', '.join(sorted(os.listdir(os.path.join(data, 'backups'))))})")
        print(f"  items back: {back:,} of {count:,}; "
              f"replaced item gone: {'yes' if b'OTHER-1' not in exported else 'NO'}")
        return 0 if back == count and b"OTHER-1" not in exported else 1
    finally:
        for server in servers:
            server.proc.send_signal(signal.SIGTERM)
            server.proc.wait(30)
            server.stop()
        shutil.rmtree(root, True)


if __name__ == "__main__":
    sys.exit(main())
