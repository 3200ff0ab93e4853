"""Round trip of a large catalog through its own CSV: import N items into a fresh database,
export them, import that export into another fresh database, export again, and compare.
Prints the time of each step.

    python3 -m bench.catalog_roundtrip          100,000 items
    python3 -m bench.catalog_roundtrip 20000    fewer
"""

import sys

from .timed_servers import TimedServers, expect


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    rows = "".join(f"RT-{n:06d},สินค้าทดสอบ ชิ้นที่ {n},หมวด {n % 40},{n % 9999}.{n % 100:02d},"
                   f"{n % 500},\"หมายเหตุ \"\"{n}\"\", มีจุลภาค\"\n" for n in range(count))
    source = ("code,name,category,price,quantity,note\n" + rows).encode()
    with TimedServers("catalog-roundtrip-") as run:
        first = run.fresh("first")
        run.step(f"import {count:,} items (CSV {len(source) / 1e6:.1f} MB)",
                 lambda: expect(first.upload(source), 303))
        exported = run.step("export", lambda: first.get("/export.csv").body)
        second = run.fresh("second")
        run.step(f"import the export ({len(exported) / 1e6:.1f} MB) into a fresh database",
                 lambda: expect(second.upload(exported), 303))
        again = run.step("second export", lambda: second.get("/export.csv").body)
        backup = run.step("backup download", lambda: second.get("/backups/download").body)
        identical = again == exported
        run.report(f"Catalog CSV round trip, {count:,} items")
        print(f"  second export identical to the first: {'yes' if identical else 'NO'}; "
              f"backup {len(backup) / 1e6:.1f} MB")
        return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
