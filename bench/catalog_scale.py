"""The catalog at scale, straight over HTTP to its server: import, export, every kind of search
in every order and list page, an import that changes every item, restart, the update of a
database made by the previous version, and sizes, on random names and on names that cluster as
a shop's do. Prints the figures, asserts nothing. From the checkout's root:

    python3 -m bench.catalog_scale                    1,000,000 items, both name sets
    python3 -m bench.catalog_scale 300000             fewer
    python3 -m bench.catalog_scale 300000 --names clustered
    python3 -m bench.catalog_scale 300000 --transfer  import and export only
    python3 -m bench.catalog_scale 300000 --engines sqlite,postgresql
                                                      the same file on a throwaway PostgreSQL
                                                      cluster too, side by side
    python3 -m bench.catalog_scale 300000 --db postgresql://quorva@localhost/bench
                                                      the same on that (empty) database

Times are medians of 5 at the client; beside each, the server's own CPU time for it (summed
over its threads from /proc), which the other programs on a shared machine disturb far less.
"""

import argparse
import contextlib
import html
import os
import random
import re
import shutil
import signal
import sqlite3
import tempfile
import threading
import time
import urllib.parse

from tests.server.harness import MIGRATIONS, Server, command

WORDS = ["ไข่ไก่", "ก๋วยเตี๋ยว", "น้ำปลา", "แตงโม", "มะม่วง", "ข้าวหอมมะลิ", "เสื้อยืด", "กาแฟคั่ว",
         "ซอสพริก", "โต๊ะพับ", "Café", "ขนาด", "ใหญ่", "เล็ก", "สีดำ", "สีขาว", "น้ำดื่ม", "ผงซักฟอก",
         "สบู่เหลว", "ยาสีฟัน", "แปรงสีฟัน", "ขนมปัง", "นมสด", "โยเกิร์ต", "เนยสด", "ช็อกโกแลต",
         "กางเกงยีนส์", "รองเท้าแตะ", "หมวก", "ถุงเท้า", "กระเป๋า", "ปากกา", "ดินสอ", "สมุด", "แฟ้ม"]
# A shop's names begin with one of a few words and go on with words that belong to that
# first word (a size, a brand), so a word's matches lie together along the name order: a
# common first word in one stretch, a word that is mostly a second one in a few stretches far
# from the start.
HEADS = {"ไข่ไก่": ["ขนาดเล็ก", "ขนาดกลาง", "ขนาดใหญ่", "เบอร์ 0", "ออร์แกนิก"],
         "น้ำปลา": ["ตราปลาหมึก", "ตราทิพรส", "แท้", "ขวดเล็ก", "ขวดใหญ่"],
         "มะม่วง": ["น้ำดอกไม้", "อกร่อง", "ขนาดเล็ก", "ขนาดใหญ่", "ออร์แกนิก"],
         "ข้าวหอมมะลิ": ["ถุง 5 กก.", "ถุง 1 กก.", "ตราฉัตร", "ออร์แกนิก"],
         "ซอสพริก": ["ตราศรีราชา", "สูตรเผ็ดมาก", "ขวดเล็ก", "ขวดใหญ่"],
         "น้ำดื่ม": ["ขวดเล็ก", "ขวดใหญ่", "แพ็คคู่", "แพ็ค 12"],
         "ผงซักฟอก": ["สูตรเข้มข้น", "ถุงเล็ก", "ถุงใหญ่", "ขนาดทดลอง"],
         "ขนมปัง": ["โฮลวีท", "แซนด์วิช", "ไส้สังขยา", "แผ่นหนา"]}
OTHERS = [word for word in WORDS
          if word not in HEADS and "น้ำ" not in word and word not in ("ขนาด", "เล็ก", "ใหญ่")]
CATEGORY = "หมวดแตงโม"
SEARCHES = [("a word with marks", "ก๋วยเตี๋ยว"), ("a word typed without marks", "กวยเตยว"),
            ("a rare word", "ล็อต 977"), ("several words", "แตงโม ใหญ่ สีดำ"),
            ("Thai digits", "๔๙๙ ชิ้น"), ("เเ typed for แ", "เเตงโม"),
            ("two letters", "สี"), ("one letter", "ก"), ("nothing found", "รองเท้าบูท"),
            ("a common word", "ไข่ไก่"), ("the common word without marks", "ไขไก"),
            ("a short word met everywhere", "น้ำ"), ("a word mostly second", "ขนาดเล็ก"),
            ("two words, one common", "ขนาดเล็ก ไข่ไก่"),
            ("a word within a category", "มะม่วง", CATEGORY),
            ("one letter within a category", "ก", CATEGORY)]
SORTS = ["name", "code", "price", "-price", "quantity", "-updated"]


def random_name(rng):
    return " ".join(rng.sample(WORDS, 3)) + f" {rng.randrange(1, 1000)} ชิ้น"


def clustered_name(rng):
    head = rng.choice(list(HEADS))
    other = f" {rng.choice(OTHERS)}" if rng.random() < 0.3 else ""
    unit = rng.choice(["ชิ้น", "กรัม", "แพ็ค"])
    return f"{head} {rng.choice(HEADS[head])}{other} {rng.randrange(1, 1000)} {unit}"


NAME_SETS = {"random": random_name, "clustered": clustered_name}


def csv_rows(count, name=random_name):
    rng = random.Random(7)
    categories = [f"หมวด{word}" for word in WORDS]
    yield "code,name,category,price,quantity,note\n"
    for n in range(count):
        text = name(rng)
        note = f"ล็อต {n % 977} ส่งทุกจันทร์" if n % 5 == 0 else ""
        price = rng.randrange(100, 10**6)
        yield (f"88{n:011d},{text},{rng.choice(categories)},{price // 100}.{price % 100:02d},"
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
    if server.port is None:
        said = server.stderr()[-2000:]
        server.stop()
        raise SystemExit(f"the catalog server did not start:\n{said}")
    server.timeout = 3600
    return server, time.monotonic() - began


def stop(server):
    server.proc.send_signal(signal.SIGTERM)
    server.proc.wait(120)
    server.stop()


def folder_size(path):
    return sum(os.path.getsize(os.path.join(top, name))
               for top, _, names in os.walk(path) for name in names)


class Figures:
    """Each step's figures under its label, printed as they come, and kept so that two
    engines' runs of the same file can be shown side by side."""

    def __init__(self, engine):
        self.engine, self.rows, self.section = engine, {}, ""

    def say(self, label, text=""):
        print(f"  {label:<40} {text}".rstrip(), flush=True)
        if not label.startswith(" "):
            self.section = label
        self.rows[self.section, label] = text


def side_by_side(runs):
    print("Side by side (client ms / server CPU ms as above)")
    width = max(len(figures.engine) for figures in runs)
    for key, text in runs[0].rows.items():
        print(f"  {key[1]}")
        for figures in runs:
            if text or figures.rows.get(key):
                print(f"    {figures.engine:<{width}}  {figures.rows.get(key, '—')}")


def transfer(server, source, count, say):
    """Import then export, with rates of the client's clock and the server's CPU; the export."""
    peak, done = [0.0], threading.Event()

    def watch():
        while not done.wait(0.05):
            peak[0] = max(peak[0], rss_mib(server.proc.pid))

    watcher = threading.Thread(target=watch)
    watcher.start()
    cpu, began = cpu_ns(server.proc.pid), time.monotonic()
    response = server.upload(source)
    seconds = time.monotonic() - began
    cpu = (cpu_ns(server.proc.pid) - cpu) / 1e9
    done.set()
    watcher.join()
    assert response.status == 303, (response.status, response.text[:2000])
    say(f"import (CSV {len(source) / 1e6:.0f} MB)",
        f"{seconds:8.2f} s   {count / seconds:10,.0f} rows/s   server CPU {cpu:.2f} s = "
        f"{count / cpu:,.0f} rows/s   server RSS peak {peak[0]:.0f} MiB "
        f"(VmHWM {rss_mib(server.proc.pid, 'VmHWM'):.0f} MiB)")
    cpu, began = cpu_ns(server.proc.pid), time.monotonic()
    exported = server.get("/export.csv").body
    seconds = time.monotonic() - began
    cpu = (cpu_ns(server.proc.pid) - cpu) / 1e9
    say(f"export ({len(exported) / 1e6:.0f} MB)",
        f"{seconds:8.2f} s   {count / seconds:10,.0f} rows/s   server CPU {cpu:.2f} s = "
        f"{count / cpu:,.0f} rows/s   server VmHWM {rss_mib(server.proc.pid, 'VmHWM'):.0f} MiB")
    return exported


def repriced(source):
    """The same file with every price a baht higher, so that each of its rows changes an item."""
    header, *rows = source.decode().split("\n")
    for n, row in enumerate(rows):
        if row:
            fields = row.split(",")
            baht, satang = fields[3].split(".")
            rows[n] = ",".join([*fields[:3], f"{int(baht) + 1}.{satang}", *fields[4:]])
    return "\n".join([header, *rows]).encode()


def reimport(server, source, count, say):
    """The file again with every price changed: its preview, then its import confirmed (with
    the snapshot taken before it)."""
    cpu, began = cpu_ns(server.proc.pid), time.monotonic()
    page = server.imported(repriced(source))
    seconds = time.monotonic() - began
    cpu = (cpu_ns(server.proc.pid) - cpu) / 1e9
    assert f"ปรับปรุง {count:,} รายการ" in page.text, page.text[:2000]
    say("import changing every item's price", f"{seconds:8.2f} s   {count / seconds:10,.0f} rows/s "
        f"  server CPU {cpu:.2f} s = {count / cpu:,.0f} rows/s (preview, then confirmed)")


def matches(page):
    found = re.search(r"พบ(มากกว่า)? ([\d,]+) รายการ", page.text)
    return (("> " if found.group(1) else "") + found.group(2) if found
            else "opened" if page.status == 303 else "0")


def searches(server, code, say):
    say("search in every order (client ms / server CPU ms, median of 5; matches)",
        f"{'matches':>9} " + " ".join(f"{sort:>15}" for sort in SORTS))
    for what, query, *category in SEARCHES:
        cells, found = [], None
        for sort in SORTS:
            fields = {"q": query, **({"category": category[0]} if category else {}), "sort": sort}
            path = "/?" + urllib.parse.urlencode(fields)
            wall, cpu, page = timed(server, lambda: server.get(path))
            cells.append(f"{wall:7.1f} /{cpu:6.1f}")
            found = found or matches(page)
        say(f"  {what}", f"{found:>9} " + " ".join(cells))
    wall, cpu, page = timed(server, lambda: server.get("/?" + urllib.parse.urlencode({"q": code})))
    say("  a whole code (opens the item)", f"{matches(page):>9} {wall:7.1f} /{cpu:6.1f}")


def list_pages(server, count, say):
    pages = (count + 99) // 100
    say("list pages (client ms / server CPU ms, median of 5)")
    for sort in SORTS:
        figures = []
        for page in (1, pages // 2, pages):
            wall, cpu, _ = timed(server, lambda: server.get(f"/?sort={sort}&page={page}"))
            figures.append(f"p{page:,} {wall:7.1f} / {cpu:6.1f}")
        say(f"  {sort}", "   ".join(figures))
    wall, cpu, _ = timed(server, lambda: server.get("/?" + urllib.parse.urlencode(
        {"category": CATEGORY})))
    say("  one category, page 1", f"{wall:7.1f} / {cpu:6.1f}")
    say("next and previous links from a middle page (client ms / server CPU ms, median of 5)")
    for sort in SORTS:
        figures = []
        text = server.get(f"/?sort={sort}&page={pages // 2}").text
        for rel in ("next", "prev"):
            link = html.unescape(re.search(f'href="([^"]*)" rel="{rel}"', text)[1])
            wall, cpu, _ = timed(server, lambda: server.get(link))
            figures.append(f"{rel} {wall:7.1f} / {cpu:6.1f}")
        say(f"  {sort}", "   ".join(figures))
    link, shown = "/?" + urllib.parse.urlencode({"q": SEARCHES[0][1]}), 1
    while shown < 50:
        found = re.search('href="([^"]*)" rel="next"', server.get(link).text)
        if not found:
            break
        link, shown = html.unescape(found[1]), shown + 1
    wall, cpu, _ = timed(server, lambda: server.get(link))
    say(f"  a broad search, page {shown} by name through its link", f"{wall:7.1f} / {cpu:6.1f}")


def previous_version(data, db, say):
    """The database as the version before the leaner rows left it, opened again: how long
    its update takes while the update page shows. Its rows are copied into a file made by the
    first four steps, which index them at once; the fifth only adds a table to the schema."""
    older = db + ".older"
    with contextlib.closing(sqlite3.connect(older, isolation_level=None)) as conn:
        conn.execute("BEGIN")
        for step in MIGRATIONS[:3]:
            step(conn)
        conn.execute("ATTACH ? AS newer", (db,))
        conn.execute("INSERT INTO items (id, code, name, category, price_satang, quantity, note, "
                     "created_at, updated_at, revision, search_text, search_bare, sort_name) "
                     "SELECT id, code, name, category, price_satang, quantity, note, created_at, "
                     "updated_at, revision, search_bare, search_bare, name FROM newer.items")
        conn.execute("COMMIT")
        conn.execute("DETACH newer")
        conn.execute("BEGIN")
        MIGRATIONS[3](conn)
        conn.execute("CREATE TABLE code_lookalikes (item_id INTEGER PRIMARY KEY "
                     "REFERENCES items (id) ON DELETE CASCADE)")
        conn.execute("PRAGMA user_version = 5")
        conn.execute("COMMIT")
    for name in (db + "-wal", db + "-shm"):
        if os.path.exists(name):
            os.unlink(name)
    os.replace(older, db)
    began = time.monotonic()
    server, seconds = start(data)
    waits = 0
    while "กำลังปรับปรุงฐานข้อมูล" in server.get("/").text:
        waits += 1
        time.sleep(0.5)
    updated = time.monotonic() - began
    say("previous version's database", f"address line {seconds:.2f} s, update page shown "
        f"{'yes' if waits else 'no'}, catalog ready after {updated:.1f} s")
    stop(server)


def run_engine(source, count, engine, url, transfer_only):
    """One engine's figures for one file: the embedded catalog in a folder of its own, or the
    database at `url`."""
    figures = Figures(engine)
    say = figures.say
    root = tempfile.mkdtemp(prefix="catalog-scale-")
    data = os.path.join(root, "data")
    os.mkdir(data)
    db = url or os.path.join(data, "catalog.db")
    try:
        server, _ = start(data, url)
        exported = transfer(server, source, count, say)
        if transfer_only:
            stop(server)
            return figures
        code = re.search(rb"\r\n(\d+),", exported[-300:]).group(1).decode()
        searches(server, code, say)
        list_pages(server, count, say)
        reimport(server, source, count, say)
        stop(server)
        if url is None:
            say("database", f"{os.path.getsize(db) / 1e6:.0f} MB = "
                f"{os.path.getsize(db) / len(exported):.2f} x its CSV export; backups/ "
                f"{folder_size(os.path.join(data, 'backups')) / 1e6:.0f} MB")
        server, seconds = start(data, url)
        say("restart to the address line", f"{seconds:8.2f} s")
        stop(server)
        if url is None:
            previous_version(data, db, say)
    finally:
        shutil.rmtree(root, True)
    return figures


def engines(args, cluster):
    """(name, database URL or None for the embedded file) of each engine that a name set's
    file goes to. The embedded catalog gets a fresh folder each time, a throwaway cluster a
    fresh database; a database given by --db is used as it is, so it must be empty."""
    found = [("SQLite", None)] if "sqlite" in args.engines else []
    if args.db:
        found.append(("PostgreSQL", args.db))
    elif cluster is not None:
        found.append(("PostgreSQL", cluster.database("bench")))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("items", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--names", choices=NAME_SETS, action="append",
                        help="only this name set (repeatable; default both)")
    parser.add_argument("--transfer", action="store_true", help="import and export only")
    parser.add_argument("--engines", default="sqlite", type=lambda text: text.split(","),
                        help="sqlite, postgresql or both (sqlite,postgresql): the shared "
                        "catalog on a throwaway PostgreSQL cluster that commits to disk")
    parser.add_argument("--db", metavar="URL", help="a postgresql:// URL: the same file on "
                        "that database too, side by side with the embedded catalog")
    args = parser.parse_args()
    if not set(args.engines) <= {"sqlite", "postgresql"}:
        parser.error("--engines takes sqlite, postgresql or both")
    if args.db and not args.db.startswith(("postgresql://", "postgres://")):
        parser.error("--db takes a postgresql:// or postgres:// URL")
    if args.db and len(args.names or NAME_SETS) > 1:
        parser.error("--db goes with one --names: each name set needs an empty database")
    cluster = None
    if "postgresql" in args.engines and not args.db:
        from tests.server.postgres import Cluster
        cluster = Cluster(durable=True)
    try:
        for names in args.names or list(NAME_SETS):
            source = "".join(csv_rows(args.items, NAME_SETS[names])).encode()
            runs = []
            for engine, url in engines(args, cluster):
                print(f"Catalog at {args.items:,} items, {names} names, {engine}", flush=True)
                runs.append(run_engine(source, args.items, engine, url, args.transfer))
            if len(runs) > 1:
                side_by_side(runs)
    finally:
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
