"""Search and CSV reading on a 100,000-item catalog: prints the figures, asserts nothing.

python3 bench/catalog_search.py [ITEMS]
"""

import io
import os
import random
import sqlite3
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources"))
from quorva_catalog.batches import read_csv  # noqa: E402
from quorva_catalog.csvfile import write_csv  # noqa: E402
from quorva_catalog.catalog import Catalog  # noqa: E402
from quorva_catalog.engines.sqlite import SQLiteEngine  # noqa: E402
from quorva_catalog.engines.sqlite.migrations import MIGRATIONS  # noqa: E402

WORDS = ["ไข่ไก่", "ก๋วยเตี๋ยว", "น้ำปลา", "แตงโม", "มะม่วง", "ข้าวหอมมะลิ", "เสื้อยืด", "กาแฟคั่ว",
         "ซอสพริก", "โต๊ะพับ", "Café", "ขนาด", "ใหญ่", "เล็ก", "สีดำ", "สีขาว"]


def timed(what, action, runs=5):
    times, cpu = [], []
    for _ in range(runs):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = action()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    times.sort()
    cpu.sort()
    # CPU time too: on a shared machine the wall clock mostly measures the others.
    print(f"{what:<44} median {times[len(times) // 2] * 1000:8.1f} ms   "
          f"max {times[-1] * 1000:8.1f} ms   cpu {cpu[len(cpu) // 2] * 1000:8.1f} ms")
    return result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "catalog.db")
        conn = sqlite3.connect(path, isolation_level=None)
        for number, step in enumerate(MIGRATIONS[:2]):
            conn.execute("BEGIN")
            step(conn)
            conn.execute(f"PRAGMA user_version = {number + 1}")
            conn.execute("COMMIT")
        conn.execute("BEGIN")
        conn.executemany(
            "INSERT INTO items (code, name, category, price_satang, quantity, note, created_at,"
            " updated_at) VALUES (?, ?, ?, ?, ?, '', '2026-01-01T00:00:00Z',"
            " '2026-01-01T00:00:00Z')",
            ((f"{8850000000000 + n}", " ".join(rng.sample(WORDS, 3)) + f" {n % 500}",
              rng.choice(["ของสด", "ของแห้ง", "เครื่องดื่ม"]), rng.randrange(1, 10**6),
              rng.randrange(0, 1000)) for n in range(count)))
        conn.execute("COMMIT")
        conn.close()
        start = time.perf_counter()
        (engine := SQLiteEngine(path)).open()
        store = Catalog(engine)
        print(f"{'migration to search columns, ' + format(count, ',') + ' items':<44} "
              f"{(time.perf_counter() - start) * 1000:8.1f} ms")
        for what, query in [("list, no query, page 1", ""), ("word without marks", "ไขไก"),
                            ("word with marks", "ก๋วยเตี๋ยว"),
                            ("two words, one marked", "แตงโม ใหญ่"),
                            ("Thai digits", "๔๙๙"), ("nothing found", "รองเท้า")]:
            found = timed(f"search: {what}", lambda: store.search(query, "", "name", 1))
            print(f"{'':<44} {found[1]:,} found")
        timed("search: last page by name", lambda: store.search("", "", "name", 10**6))
        timed("scanned code", lambda: store.by_code(f"{8850000000000 + count // 2}"))
        out = io.BytesIO()
        write_csv(store.export_rows(), out)
        data = out.getvalue()
        print(f"{'export size':<44} {len(data) / 2**20:8.1f} MiB")
        cp874 = data.decode("utf-8-sig").encode("cp874", "replace")
        for what, blob in [("UTF-8", data), ("cp874", cp874)]:
            rows = timed(f"read_csv {what}", lambda: list(read_csv(blob)[0]), runs=1)
            print(f"{'':<44} {len(rows):,} rows")
        store.close()


if __name__ == "__main__":
    main()
