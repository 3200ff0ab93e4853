#!/usr/bin/python3
"""Round trip of a large catalog through its own CSV: import N items into a fresh database,
export them, import that export into another fresh database, export again, and compare.
Prints the time of each step.

    bench/catalog_roundtrip.py            100,000 items
    bench/catalog_roundtrip.py 20000      fewer
"""

import os
import shutil
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "server"))
from harness import Server, command  # noqa: E402


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    root = tempfile.mkdtemp(prefix="catalog-roundtrip-")
    rows = "".join(f"RT-{n:06d},สินค้าทดสอบ ชิ้นที่ {n},หมวด {n % 40},{n % 9999}.{n % 100:02d},"
                   f"{n % 500},\"หมายเหตุ \"\"{n}\"\", มีจุลภาค\"\n" for n in range(count))
    source = ("code,name,category,price,quantity,note\n" + rows).encode()
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

    def imported(client, data):
        response = client.upload(data)
        assert response.status == 303, (response.status, response.text[:2000])

    try:
        first = fresh("first")
        step(f"import {count:,} items (CSV {len(source) / 1e6:.1f} MB)",
             lambda: imported(first, source))
        exported = step("export", lambda: first.get("/export.csv").body)
        second = fresh("second")
        step(f"import the export ({len(exported) / 1e6:.1f} MB) into a fresh database",
             lambda: imported(second, exported))
        again = step("second export", lambda: second.get("/export.csv").body)
        backup = step("backup download", lambda: second.get("/backups/download").body)
        identical = again == exported
        print(f"Catalog CSV round trip, {count:,} items")
        for name, seconds in figures:
            print(f"  {name:<60} {seconds:7.2f} s")
        print(f"  second export identical to the first: {'yes' if identical else 'NO'}; "
              f"backup {len(backup) / 1e6:.1f} MB")
        return 0 if identical else 1
    finally:
        for server in servers:
            server.proc.send_signal(signal.SIGTERM)
            server.proc.wait(30)
            server.stop()
        shutil.rmtree(root, True)


if __name__ == "__main__":
    sys.exit(main())
