"""Snapshots of the catalog: the one downloaded, the daily ones kept in backups/ beside the
database, and putting one back. A snapshot is whole or absent; a restore replaces every page
in one transaction or none."""

import contextlib
import datetime
import glob
import os
import re
import secrets
import shutil
import signal
import sqlite3

from .database import Database
from .errors import StartupError

KEEP = 7
# Pages copied per step of a restore; the whole copy is still one transaction.
RESTORE_PAGES = 64
DAILY = re.compile(r"catalog-\d{4}-\d{2}-\d{2}\.db")
SAFETY = re.compile(r"catalog-\d{4}-\d{2}-\d{2}-\d{6}-before-restore\.db")
HEADER = b"SQLite format 3\x00"


class BackupError(Exception):
    """A Thai sentence for the page."""


def kill_point(step):
    """Lets a test end the server abruptly at a named step, as a power cut would."""
    if os.environ.get("QUORVA_CATALOG_KILL_AT") == step:
        os.kill(os.getpid(), signal.SIGKILL)


def folder(db_path):
    return os.path.join(os.path.dirname(db_path), "backups")


def sync_folder(path):
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def remove_database_files(path):
    for name in (path, path + "-wal", path + "-shm", path + "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name)


def temporary_path(directory, prefix):
    return os.path.join(directory, f".{prefix}-{secrets.token_hex(6)}.db")


def write_snapshot(db_path, target):
    """A consistent copy of the database at `target`, checked and on disk."""
    source = sqlite3.connect(db_path, timeout=10)
    try:
        dest = sqlite3.connect(target)
        try:
            # One step: one read transaction on the source, so one committed state, while
            # the server goes on writing through its own connection.
            source.backup(dest)
            dest.execute("PRAGMA journal_mode = DELETE")
            verdict = [row[0] for row in dest.execute("PRAGMA quick_check")]
        finally:
            dest.close()
    finally:
        source.close()
    if verdict != ["ok"]:
        raise BackupError("สำเนาที่ได้ไม่ผ่านการตรวจสอบ")
    with open(target, "rb+") as handle:
        os.fsync(handle.fileno())


def snapshot(db_path, name):
    """backups/`name`, written under a temporary name and renamed: whole or absent."""
    directory = folder(db_path)
    os.makedirs(directory, 0o700, exist_ok=True)
    temp = temporary_path(directory, "snapshot")
    try:
        write_snapshot(db_path, temp)
        kill_point("snapshot-written")
        os.replace(temp, os.path.join(directory, name))
        sync_folder(directory)
    finally:
        remove_database_files(temp)
    return name


def prune(directory):
    names = sorted(os.listdir(directory))
    for kind in (DAILY, SAFETY):
        kept = [name for name in names if kind.fullmatch(name)]
        for name in kept[:-KEEP]:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(directory, name))


def daily(db_path, today=None):
    """At start-up: today's snapshot unless there is one, then the last KEEP of each kind.
    Leftovers of a run that was killed are removed first. Returns the name written or None."""
    directory = folder(db_path)
    os.makedirs(directory, 0o700, exist_ok=True)
    for stale in glob.glob(os.path.join(directory, ".*-*.db*")) + glob.glob(
            os.path.join(os.path.dirname(db_path), ".restore-*.db*")):
        with contextlib.suppress(OSError):
            os.unlink(stale)
    name = f"catalog-{today or datetime.date.today():%Y-%m-%d}.db"
    written = None
    if not os.path.exists(os.path.join(directory, name)):
        written = snapshot(db_path, name)
    prune(directory)
    return written


def listing(db_path):
    """(name, size in bytes, modified as a datetime) of every kept snapshot, newest first."""
    directory = folder(db_path)
    found = []
    with contextlib.suppress(FileNotFoundError):
        for entry in os.scandir(directory):
            if (DAILY.fullmatch(entry.name) or SAFETY.fullmatch(entry.name)) and entry.is_file():
                info = entry.stat()
                found.append((entry.name, info.st_size,
                              datetime.datetime.fromtimestamp(info.st_mtime)))
    return sorted(found, key=lambda item: (item[2], item[0]), reverse=True)


def kept_path(db_path, name):
    """The path of a kept snapshot by its name, or None: never a path the client made up."""
    if not (DAILY.fullmatch(name or "") or SAFETY.fullmatch(name or "")):
        return None
    path = os.path.join(folder(db_path), name)
    return path if os.path.isfile(path) else None


def restore(store, source, label):
    """Replaces the catalog with the snapshot in `source` (a binary file object), after the
    checks of start-up and a safety snapshot of the current catalog. Returns the safety
    snapshot's name; raises BackupError, with nothing changed, when it cannot."""
    directory = os.path.dirname(store.path)
    temp = temporary_path(directory, "restore")
    try:
        with open(temp, "xb") as copy:
            shutil.copyfileobj(source, copy, 1024 * 1024)
            copy.flush()
            os.fsync(copy.fileno())
        kill_point("restore-received")
        with open(temp, "rb") as copy:
            header = copy.read(100)
        # An empty or blank file would open as a new, empty catalog: that is no snapshot.
        if len(header) < 100 or header[:16] != HEADER or not int.from_bytes(header[60:64], "big"):
            raise BackupError(f"{label} ไม่ใช่สำเนาของแคตตาล็อก")
        try:
            # The very checks of start-up, and the upgrade of an older snapshot, on the copy.
            Database(temp).close()
        except StartupError as error:
            raise BackupError(error.thai.replace(temp, label)) from None
        kill_point("restore-validated")
        safety = snapshot(store.path, f"catalog-{datetime.datetime.now():%Y-%m-%d-%H%M%S}"
                                      f"-before-restore.db")
        kill_point("restore-safety")
        incoming = sqlite3.connect(temp)
        try:
            with store.lock:
                sizes = (incoming.execute("PRAGMA page_size").fetchone()[0],
                         store.conn.execute("PRAGMA page_size").fetchone()[0])
                if sizes[0] != sizes[1]:
                    raise BackupError(f"{label} ใช้ขนาดหน้าของฐานข้อมูลต่างจากแคตตาล็อกนี้ "
                                      f"จึงกู้คืนไม่ได้")
                # Every page goes into the live file inside one write transaction of the
                # destination: a kill before its commit leaves the old catalog.
                incoming.backup(store.conn, pages=RESTORE_PAGES,
                                progress=lambda status, remaining, total:
                                remaining and kill_point("restore-copying"))
                kill_point("restore-copied")
                verdict = [row[0] for row in store.conn.execute("PRAGMA quick_check")]
        finally:
            incoming.close()
        if verdict != ["ok"]:
            raise BackupError("กู้คืนแล้วแต่ฐานข้อมูลไม่ผ่านการตรวจสอบ "
                              f"กรุณากู้คืนจากสำเนา {safety}")
        prune(folder(store.path))
        return safety
    except OSError as error:
        raise BackupError(f"กู้คืนไม่สำเร็จ ({error.strerror or error}) "
                          f"ข้อมูลเดิมยังอยู่ครบ") from None
    except sqlite3.Error as error:
        raise BackupError(f"กู้คืนไม่สำเร็จ ({error}) ข้อมูลเดิมยังอยู่ครบ") from None
    finally:
        remove_database_files(temp)
