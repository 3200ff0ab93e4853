#!/usr/bin/python3
"""The catalog at scale, straight over HTTP to its server: import, export, every kind of search
and list page, restart, the update of a database made by the previous version, and sizes.
Prints the figures, asserts nothing.

    bench/catalog_scale.py            1,000,000 items
    bench/catalog_scale.py 100000     fewer
    bench/catalog_scale.py 300000 --transfer   import and export only
    bench/catalog_scale.py 300000 --engines sqlite,postgresql   both engines, side by side

The PostgreSQL run uses a throwaway cluster of its own (tests/server/postgres.py), on the same
file and the same machine.

Times are medians of 5 at the client; beside each, the server's own CPU time for it (summed
over its threads from /proc), which the other programs on a shared machine disturb far less.
"""

import html
import os
import random
import re
import shutil
import signal
import sqlite3
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "server"))
from harness import Server, command  # noqa: E402

WORDS = ["ไข่ไก่", "ก๋วยเตี๋ยว", "น้ำปลา", "แตงโม", "มะม่วง", "ข้าวหอมมะลิ", "เสื้อยืด", "กาแฟคั่ว",
         "ซอสพริก", "โต๊ะพับ", "Café", "ขนาด", "ใหญ่", "เล็ก", "สีดำ", "สีขาว", "น้ำดื่ม", "ผงซักฟอก",
         "สบู่เหลว", "ยาสีฟัน", "แปรงสีฟัน", "ขนมปัง", "นมสด", "โยเกิร์ต", "เนยสด", "ช็อกโกแลต",
         "กางเกงยีนส์", "รองเท้าแตะ", "หมวก", "ถุงเท้า", "กระเป๋า", "ปากกา", "ดินสอ", "สมุด", "แฟ้ม"]
SEARCHES = [("a word with marks", "ก๋วยเตี๋ยว"), ("a word typed without marks", "กวยเตยว"),
            ("a rare word", "ล็อต 977"), ("several words", "แตงโม ใหญ่ สีดำ"),
            ("Thai digits", "๔๙๙ ชิ้น"), ("เเ typed for แ", "เเตงโม"),
            ("two letters", "สี"), ("one letter", "ก"), ("nothing found", "รองเท้าบูท")]
SORTS = ["name", "code", "price", "-price", "quantity", "-updated"]


def csv_rows(count):
    rng = random.Random(7)
    categories = [f"หมวด{word}" for word in WORDS]
    yield "code,name,category,price,quantity,note\n"
    for n in range(count):
        name = " ".join(rng.sample(WORDS, 3)) + f" {rng.randrange(1, 1000)} ชิ้น"
        note = f"ล็อต {n % 977} ส่งทุกจันทร์" if n % 5 == 0 else ""
        price = rng.randrange(100, 10**6)
        yield (f"88{n:011d},{name},{rng.choice(categories)},{price // 100}.{price % 100:02d},"
               f"{rng.randrange(0, 1000)},{note}\n")


def cpu_ns(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as handle:
                total += int(handle.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total


def rss_mib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return 0.0


def timed(server, action, runs=5):
    """(median ms at the client, median ms of server CPU, last result)."""
    walls, cpus = [], []
    for _ in range(runs):
        cpu, start = cpu_ns(server.proc.pid), time.perf_counter()
        result = action()
        walls.append((time.perf_counter() - start) * 1000)
        cpus.append((cpu_ns(server.proc.pid) - cpu) / 1e6)
    walls.sort()
    cpus.sort()
    return walls[runs // 2], cpus[runs // 2], result


def start(directory, db=None):
    began = time.monotonic()
    server = Server(command(*(("--db", db) if db else ())), directory)
    server.timeout = 3600
    return server, time.monotonic() - began


def stop(server):
    server.proc.send_signal(signal.SIGTERM)
    server.proc.wait(120)
    server.stop()


def folder_size(path):
    return sum(os.path.getsize(os.path.join(top, name))
               for top, _, names in os.walk(path) for name in names)


def shared_figures(server, source, count, transfer_only):
    """[(step, figure)] of what every engine does: import, export, searches, list pages and
    links; the export's bytes last."""
    figures = []
    peak, done = [0.0], threading.Event()

    def watch():
        while not done.wait(0.05):
            peak[0] = max(peak[0], rss_mib(server.proc.pid))

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        cpu, began = cpu_ns(server.proc.pid), time.monotonic()
        response = server.upload(source)
        seconds = time.monotonic() - began
        cpu = (cpu_ns(server.proc.pid) - cpu) / 1e9
    finally:
        done.set()
        watcher.join()
    assert response.status == 303, (response.status, response.text[:2000])
    figures.append((f"import (CSV {len(source) / 1e6:.0f} MB)",
                    f"{seconds:.2f} s, {count / seconds:,.0f} rows/s; server CPU {cpu:.2f} s; "
                    f"RSS peak {peak[0]:.0f} MiB"))
    cpu, began = cpu_ns(server.proc.pid), time.monotonic()
    exported = server.get("/export.csv").body
    seconds = time.monotonic() - began
    cpu = (cpu_ns(server.proc.pid) - cpu) / 1e9
    figures.append((f"export ({len(exported) / 1e6:.0f} MB)",
                    f"{seconds:.2f} s, {count / seconds:,.0f} rows/s; server CPU {cpu:.2f} s"))
    if transfer_only:
        return figures, exported
    code = re.search(rb"\r\n(\d+),", exported[-300:]).group(1).decode()
    for what, query in SEARCHES + [("a whole code (opens the item)", code)]:
        path = "/?" + urllib.parse.urlencode({"q": query})
        wall, cpu, page = timed(server, lambda: server.get(path))
        found = re.search(r"พบ(มากกว่า)? ([\d,]+) รายการ", page.text)
        found = (("> " if found.group(1) else "") + found.group(2) if found
                 else "opened" if page.status == 303 else "0")
        figures.append((f"search, {what}", f"{wall:.1f} / {cpu:.1f} ({found})"))
    pages = (count + 99) // 100
    for sort in SORTS:
        for page in (1, pages // 2, pages):
            wall, cpu, _ = timed(server, lambda: server.get(f"/?sort={sort}&page={page}"))
            figures.append((f"list by {sort}, page {page:,}", f"{wall:.1f} / {cpu:.1f}"))
    wall, cpu, _ = timed(server, lambda: server.get("/?" + urllib.parse.urlencode(
        {"category": "หมวดแตงโม"})))
    figures.append(("one category, page 1", f"{wall:.1f} / {cpu:.1f}"))
    for sort in SORTS:
        text = server.get(f"/?sort={sort}&page={pages // 2}").text
        for rel in ("next", "prev"):
            link = html.unescape(re.search(f'href="([^"]*)" rel="{rel}"', text)[1])
            wall, cpu, _ = timed(server, lambda: server.get(link))
            figures.append((f"{rel} link from the middle, by {sort}", f"{wall:.1f} / {cpu:.1f}"))
    link, shown = "/?" + urllib.parse.urlencode({"q": SEARCHES[0][1]}), 1
    while shown < 50:
        found = re.search('href="([^"]*)" rel="next"', server.get(link).text)
        if not found:
            break
        link, shown = html.unescape(found[1]), shown + 1
    wall, cpu, _ = timed(server, lambda: server.get(link))
    figures.append((f"a broad search, page {shown} by name through its link",
                    f"{wall:.1f} / {cpu:.1f}"))
    return figures, exported


def file_figures(data, db, exported, say):
    """What only the embedded file has: its size, restart, the update of an older file."""
    csv_size = len(exported)
    db_size = os.path.getsize(db)
    say(f"  database {db_size / 1e6:.0f} MB = {db_size / csv_size:.2f} x its CSV export; "
        f"backups/ {folder_size(os.path.join(data, 'backups')) / 1e6:.0f} MB")
    server, seconds = start(data)
    say(f"  restart to the address line    {seconds:8.2f} s")
    stop(server)
    # The database as the version before the search index left it, before look-alikes too.
    with sqlite3.connect(db) as conn:
        for kind, name in conn.execute(
                "SELECT type, name FROM sqlite_master WHERE type IN ('table', 'trigger') "
                "AND (name LIKE 'items_%' OR name = 'code_lookalikes') "
                "ORDER BY type = 'table'").fetchall():
            conn.execute(f"DROP {kind} IF EXISTS {name}")
        for name in ("items_price", "items_quantity", "items_updated"):
            conn.execute(f"DROP INDEX IF EXISTS {name}")
        conn.execute("PRAGMA user_version = 3")
    conn.close()
    began = time.monotonic()
    server, seconds = start(data)
    waits = 0
    while "กำลังปรับปรุงฐานข้อมูล" in server.get("/").text:
        waits += 1
        time.sleep(0.5)
    updated = time.monotonic() - began
    say(f"  previous version's database: address line {seconds:.2f} s, "
        f"update page shown {'yes' if waits else 'no'}, catalog ready after {updated:.1f} s")
    stop(server)


def main():
    numbers = [arg for arg in sys.argv[1:] if arg.isdigit()]
    count = int(numbers[0]) if numbers else 1_000_000
    transfer_only = "--transfer" in sys.argv
    engines = (sys.argv[sys.argv.index("--engines") + 1].split(",") if "--engines" in sys.argv
               else ["sqlite"])
    root = tempfile.mkdtemp(prefix="catalog-scale-")
    cluster = None
    columns = {}

    def say(text):
        print(text, flush=True)

    try:
        source = "".join(csv_rows(count)).encode()
        for engine in engines:
            data = os.path.join(root, engine)
            os.mkdir(data)
            db = os.path.join(data, "catalog.db")
            if engine == "postgresql":
                # A server as a shop would run it: every commit on disk.
                import postgres
                cluster = postgres.Cluster(durable=True)
                db = cluster.database()
            server, _ = start(data, db)
            # A shared catalog's server gives its address before it has reached the database.
            while server.get("/").status == 503:
                time.sleep(0.1)
            say(f"{engine}: importing {count:,} items")
            columns[engine], exported = shared_figures(server, source, count, transfer_only)
            stop(server)
            if engine == "sqlite" and not transfer_only:
                file_figures(data, db, exported, say)
            del exported
        say(f"Catalog at {count:,} items; searches and pages as client ms / server CPU ms, "
            f"median of 5")
        say("| step | " + " | ".join(engines) + " |")
        say("|---|" + "---|" * len(engines))
        for row, (step, _) in enumerate(columns[engines[0]]):
            say(f"| {step} | " + " | ".join(columns[e][row][1] for e in engines) + " |")
    finally:
        if cluster is not None:
            cluster.close()
        shutil.rmtree(root, True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
