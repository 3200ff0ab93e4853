"""A large catalog's own downloaded copy, restored through the restore-from-file form into a
fresh catalog: prints the sizes (database, copy, backups/ folder) and the time of each step,
and whether every item came back.

    python3 -m bench.backup_restore          100,000 items
    python3 -m bench.backup_restore 20000    fewer
"""

import os
import re
import sys

from tests.server.harness import multipart

from .timed_servers import TimedServers, expect


def folder_size(path):
    return sum(entry.stat().st_size for entry in os.scandir(path) if entry.is_file())


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    source = ("code,name,category,price,quantity,note\n" + "".join(
        f"BR-{n:06d},สินค้าทดสอบ ชิ้นที่ {n},หมวด {n % 40},{n % 9999}.{n % 100:02d},"
        f"{n % 500},หมายเหตุ {n}\n" for n in range(count))).encode()
    with TimedServers("catalog-restore-") as run:
        root = run.root
        first = run.fresh("first")
        run.step(f"import {count:,} items", lambda: expect(first.upload(source), 303))
        backup = run.step("download the copy", lambda: first.get("/backups/download").body)
        second = run.fresh("second")
        second.add("OTHER-1", "จะถูกแทนที่")
        checked = run.step(
            "upload, check and rebuild it from its rows (the form)", lambda: expect(
                second.request("POST", "/backups/upload", multipart(second.token(), backup), {
                    "Origin": second.origin,
                    "Content-Type": "multipart/form-data; boundary=b"}), 303))
        page = run.step("confirmation page", lambda: second.follow(checked).text)
        key = re.search(r'name="p" value="([^"]+)"', page).group(1)
        run.step("confirm: safety copy, file swapped",
                 lambda: expect(second.post("/backups/confirm", {"p": key}), 303))
        second._token = None
        # Once more over the full catalog: now the safety copy is of all the items.
        page = second.follow(expect(second.upload(backup, path="/backups/upload"), 303)).text
        key = re.search(r'name="p" value="([^"]+)"', page).group(1)
        run.step(f"confirm again (compressed safety copy of {count:,} items)",
                 lambda: expect(second.post("/backups/confirm", {"p": key}), 303))
        second._token = None
        exported = second.get("/export.csv").body
        back = exported.count(b"\nBR-")
        data = os.path.join(root, "second")
        run.report(f"Backup and restore, {count:,} items")
        print(f"  database {os.path.getsize(os.path.join(data, 'catalog.db')) / 1e6:.1f} MB, "
              f"downloaded copy {len(backup) / 1e6:.1f} MB, "
              f"backups/ {folder_size(os.path.join(data, 'backups')) / 1e6:.1f} MB "
              f"({', '.join(sorted(os.listdir(os.path.join(data, 'backups'))))})")
        print(f"  items back: {back:,} of {count:,}; "
              f"replaced item gone: {'yes' if b'OTHER-1' not in exported else 'NO'}")
        return 0 if back == count and b"OTHER-1" not in exported else 1


if __name__ == "__main__":
    sys.exit(main())
