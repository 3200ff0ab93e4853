"""The command line and the life of the server: start, print the address, stop on a signal
or when the parent is gone."""

import argparse
import contextlib
import ctypes
import os
import signal
import sqlite3
import sys
import threading
import time

from . import backups, imports
from .app import App
from .errors import StartupError
from .server import bind
from .routes import CatalogHandler
from .store import Store

DEFAULT_PORT = 8765
DEFAULT_DB = "catalog.db"
REQUEST_GRACE_SECONDS = 1.5
# How often a running server looks whether the day has changed since its last snapshot.
DAILY_CHECK_SECONDS = 300
# Below this a catalog opens, checks and updates well within a second even here.
LARGE_DATABASE = 64 * 1024 * 1024
OPEN_WAIT_SECONDS = 0.2

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
    except (OSError, sqlite3.Error, backups.BackupError) as error:
        sys.stderr.write(f"สำรองข้อมูลประจำวันไม่สำเร็จ / The daily backup failed: {error}\n")


class Opening:
    """The database opened, checked and brought up to date on a thread of its own."""

    def __init__(self, path):
        self.path, self.store, self.error, self.unfinished = path, None, None, None
        self.opened = threading.Event()
        threading.Thread(target=self._run, name="open", daemon=True).start()

    def _run(self):
        try:
            self.store = Store(self.path)
        except StartupError as error:
            self.error = error
        except BaseException as error:
            self.error = StartupError(f"เปิดฐานข้อมูล {self.path} ไม่สำเร็จ ({error})",
                                      f"Could not open the database {self.path} ({error})")
        if self.store is not None:
            # Whatever is wrong with the mark, the catalog still opens.
            try:
                self.unfinished = imports.left_unfinished(self.store)
            except Exception as error:
                sys.stderr.write(f"อ่านบันทึกการนำเข้าที่ค้างไม่ได้ / Could not read the mark of "
                                 f"an unfinished import: {error}\n")
        self.opened.set()

    def wait(self, seconds):
        self.opened.wait(seconds)

    def hand_over(self, app, stop):
        self.opened.wait()
        if self.error is not None:
            stop.set()
        else:
            app.unfinished = self.unfinished
            app.store = self.store

    def close(self):
        # One still opening is left to its thread: what it had not committed is rolled back.
        if self.opened.is_set() and self.store is not None:
            self.store.close()


def database_size(path):
    return sum(os.path.getsize(name) for name in (path, path + "-wal")
               if os.path.exists(name))


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
    top.add_argument("--db", metavar="PATH",
                     help=f"ไฟล์ฐานข้อมูล SQLite / SQLite database file "
                          f"(default: {DEFAULT_DB} in the working directory)")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)
    serve = commands.add_parser(
        "serve", help="เปิดแคตตาล็อก / serve the catalog on 127.0.0.1",
        description="เปิดแคตตาล็อกที่ 127.0.0.1 / Serve the catalog on 127.0.0.1.",
        epilog=HELP_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    serve.add_argument("--db", metavar="PATH", default=argparse.SUPPRESS,
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

    opening = None
    try:
        port = parse_port(args.port)
        if args.db == "":
            raise StartupError("ไม่ได้ระบุไฟล์ฐานข้อมูลหลัง --db",
                               "No database file given after --db")
        path = os.path.abspath(args.db if args.db is not None else DEFAULT_DB)
        backups.clean_leftovers(path)
        opening = Opening(path)
        # A small catalog opens before the address, so whatever is wrong with it ends the
        # start as before; a large one may take longer than the shell waits for the address.
        opening.wait(None if database_size(path) < LARGE_DATABASE else OPEN_WAIT_SECONDS)
        if opening.error is not None:
            raise opening.error
        app = App(opening.store)
        app.unfinished = opening.unfinished
        server = bind(port, app, CatalogHandler)
        # Taken while serving: a large catalog's snapshot never holds the address line.
        server.every(DAILY_CHECK_SECONDS, lambda: (app.pending.expire(), app.imports.expire(),
                                                   app.store and daily_snapshot(app.store)))
    except StartupError as error:
        if opening is not None:
            opening.close()
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
    # Still opening: the unfinished update is one transaction, which SQLite rolls back.
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
