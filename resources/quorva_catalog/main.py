"""The command line and the life of the server: start, print the address, stop on a signal
or when the parent is gone."""

import argparse
import contextlib
import ctypes
import os
import signal
import sys
import threading
import time

from .app import App
from .catalog import Catalog, backups
from .catalog.errors import CatalogError, Unavailable
from .engines import engine_for, is_url, redacted
from .errors import StartupError
from .server import bind
from .routes import CatalogHandler

DEFAULT_PORT = 8765
DEFAULT_DB = "catalog.db"
REQUEST_GRACE_SECONDS = 1.5
# How often a running server looks whether the day has changed since its last snapshot.
DAILY_CHECK_SECONDS = 300
# Below this a catalog opens, checks and updates well within a second even here.
LARGE_DATABASE = 64 * 1024 * 1024
OPEN_WAIT_SECONDS = 0.2
# How often a database that cannot be reached is tried again before it is first opened.
RETRY_SECONDS = 2

HELP_EPILOG = """\
พอร์ต / port:
  --port 0 ใช้พอร์ตว่างใดก็ได้ แล้วพิมพ์พอร์ตจริงในบรรทัดที่อยู่
  --port ที่เป็นค่าว่าง ("") ใช้พอร์ต 8765; ค่าอื่นที่ไม่ใช่เลข 0-65535 จบด้วยสถานะ 1
  --port 0 picks any free port and prints the real one in the address line.
  An empty --port ("") means 8765; anything else that is not 0-65535 exits with status 1.

เมื่อพร้อมรับการเชื่อมต่อ พิมพ์ http://127.0.0.1:PORT/ หนึ่งบรรทัดทาง stdout
Once it accepts connections it prints one line, http://127.0.0.1:PORT/, on stdout.

นำเข้า CSV / CSV import:
  UTF-8 (มีหรือไม่มี BOM) แถวแรกเป็นหัวตาราง ตรวจทุกแถวก่อน แล้วบันทึกทั้งหมดหรือไม่บันทึกเลย
  รหัสสินค้าที่มีอยู่แล้วจะถูกปรับปรุง รหัสใหม่จะถูกเพิ่ม สินค้าที่ไม่อยู่ในไฟล์ไม่ถูกลบ
  UTF-8 with or without BOM, header row first. Every row is checked before anything is
  written, then all rows are applied in one transaction or none are. Rows upsert by code:
  an existing code is updated, a new code is added, items missing from the file are kept.
"""


def parse_port(text):
    if text == "":
        return DEFAULT_PORT
    if text.isascii() and text.isdigit() and int(text) <= 65535:
        return int(text)
    raise StartupError(f"พอร์ต “{text}” ไม่ถูกต้อง ต้องเป็นตัวเลข 0 ถึง 65535",
                       f"Invalid port “{text}”: it must be a number from 0 to 65535")


def watch_parent(stop, parent):
    if sys.platform.startswith("linux"):
        with contextlib.suppress(OSError, AttributeError):
            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG
    # A parent that died before prctl took effect has already handed us to another process.
    if os.getppid() != parent:
        sys.exit(0)

    def poll():
        while not stop.wait(0.5):
            if os.getppid() != parent:
                stop.set()
                return

    threading.Thread(target=poll, name="parent-watch", daemon=True).start()


def daily_snapshot(store):
    # A missed snapshot must not keep the shop from working; it is tried again later.
    try:
        backups.daily(store)
    except (OSError, CatalogError) as error:
        sys.stderr.write(f"สำรองข้อมูลประจำวันไม่สำเร็จ / The daily backup failed: {error}\n")


class Opening:
    """The database opened, checked and brought up to date on a thread of its own; one that
    cannot be reached is tried again until it can."""

    def __init__(self, engine):
        self.engine, self.store, self.error, self.outage = engine, None, None, None
        self.tried, self.opened, self.stopping = (threading.Event(), threading.Event(),
                                                  threading.Event())
        threading.Thread(target=self._run, name="open", daemon=True).start()

    def _run(self):
        while not self.stopping.is_set():
            try:
                self.engine.open()
                self.store = Catalog(self.engine)
            except Unavailable as outage:
                self.outage = outage
                self.tried.set()
                self.stopping.wait(RETRY_SECONDS)
                continue
            except StartupError as error:
                self.error = error
            except BaseException as error:
                where = redacted(self.engine.describe())
                # A driver's own words may carry the address it was given, password and all.
                detail = type(error).__name__ if is_url(where) else error
                self.error = StartupError(f"เปิดฐานข้อมูล {where} ไม่สำเร็จ ({detail})",
                                          f"Could not open the database {where} ({detail})")
            break
        self.tried.set()
        self.opened.set()

    def wait(self, seconds):
        self.tried.wait(seconds)

    def hand_over(self, app, stop):
        while not self.opened.wait(0.1):
            app.outage = self.outage
        if self.error is not None:
            stop.set()
        else:
            app.store = self.store
            app.outage = None

    def close(self):
        self.stopping.set()
        # One still opening is left to its thread: what it had not committed is rolled back.
        if self.opened.is_set() and self.store is not None:
            self.store.close()


def database_size(path):
    return sum(os.path.getsize(name) for name in (path, path + "-wal")
               if os.path.exists(name))


def opening_wait(value):
    """How long the address waits for the database: a small file is opened first, so that
    whatever is wrong with it ends the start as before; a large one, or a server elsewhere,
    may take longer than the shell waits for the address."""
    if is_url(value) or database_size(value) >= LARGE_DATABASE:
        return OPEN_WAIT_SECONDS
    return None


def open_browser(url):
    import webbrowser
    with contextlib.suppress(Exception):
        webbrowser.open(url)


def parser():
    top = argparse.ArgumentParser(
        prog="catalog.py",
        description="แคตตาล็อกสินค้าในเครื่อง เปิดดูผ่านเว็บเบราว์เซอร์ / "
                    "A local product catalog, served to a web browser.",
        epilog=HELP_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--db", metavar="PATH|URL",
                     help=f"ไฟล์ฐานข้อมูล SQLite หรือที่อยู่ postgresql://ผู้ใช้@เครื่อง/ฐานข้อมูล "
                          f"ของแคตตาล็อกที่หลายเครื่องใช้ร่วมกัน / SQLite database file "
                          f"(default: {DEFAULT_DB} in the working directory), or a "
                          f"postgresql:// or postgres:// URL of a catalog shared by several "
                          f"computers")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    serve = commands.add_parser(
        "serve", help="เปิดแคตตาล็อก / serve the catalog on 127.0.0.1",
        description="เปิดแคตตาล็อกที่ 127.0.0.1 / Serve the catalog on 127.0.0.1.",
        epilog=HELP_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    serve.add_argument("--db", metavar="PATH|URL", default=argparse.SUPPRESS,
                       help="เหมือน --db ก่อน serve / same as --db before serve")
    serve.add_argument("--port", default=str(DEFAULT_PORT), metavar="PORT",
                       help=f"พอร์ต (ค่าเริ่มต้น {DEFAULT_PORT}; 0 = พอร์ตว่างใดก็ได้; "
                            f"ค่าว่าง = {DEFAULT_PORT}) / port (default {DEFAULT_PORT}; "
                            f"0 = any free port; empty = {DEFAULT_PORT})")
    serve.add_argument("--no-browser", action="store_true",
                       help="ไม่เปิดเว็บเบราว์เซอร์ / do not open a web browser")
    serve.add_argument("--exit-with-parent", action="store_true",
                       help="ปิดเองเมื่อโปรแกรมที่เปิดนี้จบไป / "
                            "exit when the process that started this one is gone")
    return top


def prepare(args):
    """(opening, app, server): the database opening and the server bound to its port."""
    port = parse_port(args.port)
    if args.db == "":
        raise StartupError("ไม่ได้ระบุไฟล์ฐานข้อมูลหลัง --db",
                           "No database file given after --db")
    engine = engine_for(args.db if args.db is not None else DEFAULT_DB, os.getcwd())
    backups.clean_leftovers(engine.folder)
    opening = Opening(engine)
    try:
        opening.wait(opening_wait(engine.describe()))
        if opening.error is not None:
            raise opening.error
        app = App(opening.store, redacted(engine.describe()))
        app.outage = opening.outage
        server = bind(port, app, CatalogHandler)
    except StartupError:
        opening.close()
        raise
    # Taken while serving: a large catalog's snapshot never holds the address line.
    server.every(DAILY_CHECK_SECONDS, lambda: (app.pending.expire(), app.imports.expire(),
                                               app.store and daily_snapshot(app.store)))
    return opening, app, server


def serve(args, parent):
    stop = threading.Event()

    # Only a plain flag here: Event.set from a handler can deadlock on the lock
    # the interrupted main thread may hold.
    signalled = []

    def on_signal(number, frame):
        signalled.append(number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.exit_with_parent:
        watch_parent(stop, parent)
    os.umask(0o077)

    try:
        opening, app, server = prepare(args)
    except StartupError as error:
        sys.stderr.write(f"{error}\n")
        return 1
    app.port = server.server_address[1]

    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              name="http", daemon=True)
    worker.start()
    url = f"http://127.0.0.1:{app.port}/"
    if not signalled and not stop.is_set():
        try:
            os.write(1, f"{url}\n".encode("ascii"))
        except BrokenPipeError:
            # Nobody reads the address: a parent that died before the watch began.
            if args.exit_with_parent:
                stop.set()
        except OSError:
            pass
        if not args.no_browser:
            threading.Thread(target=open_browser, args=(url,), daemon=True).start()

    if app.store is None:
        threading.Thread(target=opening.hand_over, args=(app, stop), name="open",
                         daemon=True).start()
    while not signalled and not stop.is_set():
        time.sleep(0.1)
    app.drain(REQUEST_GRACE_SECONDS)
    server.shutdown()
    server.server_close()
    app.pending.discard()
    app.imports.discard()
    opening.stopping.set()
    # Still opening: the unfinished update is one transaction, which the database rolls back.
    if app.store is not None:
        app.store.close()
    if opening.error is not None:
        sys.stderr.write(f"{opening.error}\n")
        return 1
    return 0


def main(argv=None, parent=None):
    """`parent` is the parent process as first seen, read before any import could take time."""
    args = parser().parse_args(argv)
    return serve(args, os.getppid() if parent is None else parent)
