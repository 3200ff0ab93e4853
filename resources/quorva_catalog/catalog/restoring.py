"""Putting a copy back. A copy is a SQLite catalog file whichever the engine, and every one is
treated as coming from outside: it is checked, then only its rows are copied into tables our
own migrations build, and after a safety snapshot the engine puts them in place of the
catalog's all at once."""

import contextlib
import datetime
import gzip
import os
import secrets
import sqlite3
import threading
import time
import urllib.parse
import zlib

from ..engines.sqlite import SQLiteEngine
from ..engines.sqlite.database import (connect, differences, expected_schema, migrate,
                                       open_untrusted, schema, table_list)
from ..engines.sqlite.migrations import APPLICATION_ID, MIGRATIONS
from ..errors import StartupError
from .backups import (CHUNK, free_space, kill_point, no_room, prune, remove_database_files,
                      safety_snapshot, sync_file, temporary_path)
from .errors import BackupError, CatalogError, Unavailable

HEADER = b"SQLite format 3\x00"
GZIP = b"\x1f\x8b"
# A checked copy waits this long for its confirmation.
PENDING_SECONDS = 3600


def failed(what, error):
    """What could not be done and why, and that the catalog is as it was."""
    if isinstance(error, (StartupError, CatalogError)):
        error = error.thai
    elif isinstance(error, OSError):
        error = error.strerror or error
    return BackupError(f"{what}ไม่สำเร็จ ({error}) ข้อมูลเดิมยังอยู่ครบ")


def damaged(label):
    return BackupError(f"{label} เสียหาย จึงกู้คืนไม่ได้ ข้อมูลเดิมยังอยู่ครบ")


def check(path, label):
    """The version of a sound catalog file whose objects are exactly ours for that version,
    and its item count; BackupError otherwise. The file is only read."""
    with open(path, "rb") as handle:
        header = handle.read(100)
    # An empty or blank file would open as a new, empty catalog: that is no snapshot.
    if len(header) < 100 or header[:16] != HEADER or not int.from_bytes(header[60:64], "big"):
        raise BackupError(f"{label} ไม่ใช่สำเนาของแคตตาล็อก")
    try:
        with contextlib.closing(open_untrusted(path)) as conn:
            version = conn.execute("PRAGMA user_version").fetchone()[0]
            application = conn.execute("PRAGMA application_id").fetchone()[0]
            objects = schema(conn)
            if not version and not objects:
                raise BackupError(f"{label} ไม่ใช่สำเนาของแคตตาล็อก")
            utf8 = conn.execute("PRAGMA encoding").fetchone()[0] == "UTF-8"
            if not version or application != APPLICATION_ID or not utf8:
                raise BackupError(f"{label} เป็นฐานข้อมูลของโปรแกรมอื่น ไม่ใช่สำเนาของแคตตาล็อก")
            if version > len(MIGRATIONS):
                raise BackupError(f"{label} มาจากแคตตาล็อกรุ่นใหม่กว่า (รุ่น {version} "
                                  f"แต่รุ่นนี้รู้จักถึงรุ่น {len(MIGRATIONS)}) กรุณาอัปเดตโปรแกรม")
            problems = differences(objects, expected_schema(version))
            if problems:
                shown = " · ".join(problems[:4]) + (" …" if len(problems) > 4 else "")
                raise BackupError(f"{label} มีสิ่งที่แคตตาล็อกไม่ได้สร้างหรือถูกแก้ไข "
                                  f"จึงไม่กู้คืน: {shown} ข้อมูลเดิมยังอยู่ครบ")
            if [row[0] for row in conn.execute("PRAGMA integrity_check(1)")] != ["ok"]:
                raise damaged(label)
            items = conn.execute("SELECT count(*) FROM items").fetchone()[0]
    except sqlite3.DatabaseError:
        raise damaged(label) from None
    return version, items


def receive(source, directory, label):
    """`source` (a binary file, plain or gzip) as a private file in `directory`, decompressed
    within what the disk can spare: its path and the time in its gzip header, if any."""
    start = source.read(2)
    source.seek(0)
    room = free_space(directory)
    # Room for this copy, and as much again for the file a restore builds from it.
    allowed = room // 2
    temp = temporary_path(directory, "restore")
    moment = None
    try:
        with open(temp, "x+b") as copy:
            reader = gzip.GzipFile(fileobj=source, mode="rb") if start == GZIP else source
            try:
                while chunk := reader.read(CHUNK):
                    if copy.tell() + len(chunk) > allowed:
                        raise no_room(2 * (copy.tell() + len(chunk)), room)
                    copy.write(chunk)
            except (EOFError, zlib.error, gzip.BadGzipFile):
                raise BackupError(f"{label} บีบอัดไว้แต่ไฟล์ไม่ครบหรือเสียหาย") from None
            moment = getattr(reader, "mtime", None)
            # A file saved in WAL mode reads the same without its log: ours never has one.
            copy.seek(18)
            if copy.read(2) == b"\x02\x02":
                copy.seek(18)
                copy.write(b"\x01\x01")
            copy.flush()
            os.fsync(copy.fileno())
    except BaseException:
        remove_database_files(temp)
        raise
    return temp, (datetime.datetime.fromtimestamp(moment) if moment else None)


class Candidate:
    """A copy that passed every check, rebuilt from its rows in a private file, waiting for
    its confirmation."""

    def __init__(self, path, label, items, moment, dated=True):
        self.path, self.label, self.items = path, label, items
        # Without a time of its own, a copy is dated by its latest change.
        self.moment, self.dated, self.created = moment, dated, time.monotonic()
        self.key = secrets.token_urlsafe(24)

    def discard(self):
        remove_database_files(self.path)


class Pending:
    """At most one checked file of a kind waits at a time: each holds disk space."""

    def __init__(self):
        self.lock = threading.Lock()
        self.waiting = {}

    def add(self, candidate):
        with self.lock:
            old, self.waiting = list(self.waiting.values()), {candidate.key: candidate}
        for stale in old:
            stale.discard()
        return candidate.key

    def get(self, key, take=False):
        self.expire()
        with self.lock:
            candidate = self.waiting.get(key or "")
            if take:
                self.waiting.pop(key or "", None)
            return candidate

    def expire(self):
        with self.lock:
            old = [c for c in self.waiting.values()
                   if time.monotonic() - c.created > PENDING_SECONDS]
            for candidate in old:
                del self.waiting[candidate.key]
        for stale in old:
            stale.discard()

    def discard(self):
        with self.lock:
            old, self.waiting = list(self.waiting.values()), {}
        for stale in old:
            stale.discard()


def prepare(store, source, label, moment=None):
    """Checks a copy (a binary file object) and rebuilds it from its rows for a restore: a
    Candidate, or BackupError with nothing changed."""
    directory = store.folder
    try:
        path, packed_at = receive(source, directory, label)
        try:
            kill_point("restore-received")
            version, items = check(path, label)
            kill_point("restore-checked")
            moment = packed_at or moment
            dated, moment = bool(moment), moment or latest_change(path)
            rebuilt = rebuild(path, version, directory)
        finally:
            remove_database_files(path)
    except sqlite3.IntegrityError as error:
        raise BackupError(f"{label} มีข้อมูลที่ไม่ผ่านการตรวจสอบของแคตตาล็อก ({error}) "
                          f"จึงไม่กู้คืน ข้อมูลเดิมยังอยู่ครบ") from None
    except (StartupError, OSError, sqlite3.Error) as error:
        raise failed(("อ่าน" if isinstance(error, OSError) else "ตรวจ") + label, error) from None
    return Candidate(rebuilt, label, items, moment, dated)


def latest_change(path):
    with contextlib.closing(open_untrusted(path)) as conn:
        stamp = conn.execute("SELECT max(updated_at) FROM items").fetchone()[0] or ""
    with contextlib.suppress(ValueError):
        return datetime.datetime.fromisoformat(stamp.replace("Z", "+00:00")).astimezone()
    return None


def read_only_uri(path):
    return f"file:{urllib.parse.quote(path)}?mode=ro"


def compare(store, candidate):
    """What the confirmation page shows: items today, and of those the ones the copy would
    lose (added since it, or changed since it), with the newest of them; items it brings
    back that were deleted since; what the bin holds now and what the copy's bin holds,
    which takes its place."""
    changes = store.engine.compare_copy(candidate.path)
    with contextlib.closing(open_untrusted(candidate.path)) as conn:
        changes["bin_copy"] = conn.execute("SELECT count(*) FROM deleted_items").fetchone()[0]
    changes["bin_today"] = store.binned(1, 0)[0]
    return changes


def rebuild(path, version, directory):
    """A new catalog file with the rows of the checked file at `path` in tables our
    migrations built, brought up to the current version: only data crosses over, whatever
    the file held, and every row meets our constraints again."""
    new = temporary_path(directory, "restore-new")
    try:
        with contextlib.closing(connect(new, uri=True, isolation_level=None)) as conn:
            conn.execute("PRAGMA cell_size_check = ON")
            conn.execute("PRAGMA trusted_schema = ON")
            migrate(conn, 0, version)
            triggers = conn.execute(
                "SELECT name, sql FROM sqlite_master WHERE type = 'trigger'").fetchall()
            # From here on the connection also sees the copy's schema.
            conn.execute("PRAGMA trusted_schema = OFF")
            conn.execute("ATTACH DATABASE ? AS copy", (read_only_uri(path),))
            conn.execute("BEGIN IMMEDIATE")
            # Our triggers keep derived tables in step; those tables are copied as they are.
            for name, _ in triggers:
                conn.execute(f'DROP TRIGGER "{name}"')
            for table, without_rowid in table_list(conn):
                columns = conn.execute(f'PRAGMA main.table_xinfo("{table}")').fetchall()
                names = [f'"{column[1]}"' for column in columns if not column[6]]
                keys = [column for column in columns if column[5]]
                if not without_rowid and not (len(keys) == 1 and keys[0][2].upper() == "INTEGER"):
                    names.insert(0, "_rowid_")
                listed = ", ".join(names)
                conn.execute(f'DELETE FROM main."{table}"')
                conn.execute(f'INSERT INTO main."{table}" ({listed}) '
                             f'SELECT {listed} FROM copy."{table}"')
                kill_point("restore-copying")
            for _, sql in triggers:
                conn.execute(sql)
            conn.execute("COMMIT")
            conn.execute("DETACH DATABASE copy")
        kill_point("restore-copied")
        # The upgrade of an older copy, and the checks of start-up, on the new file.
        engine = SQLiteEngine(new)
        engine.open()
        engine.close()
        with contextlib.closing(connect(new)) as conn:
            # Whole in itself, with no log beside it, until it takes the catalog's place.
            conn.execute("PRAGMA journal_mode = DELETE")
        sync_file(new)
    except BaseException:
        remove_database_files(new)
        raise
    return new


RESTORING = threading.Lock()


def restore(store, candidate):
    """Replaces the catalog with a checked, rebuilt candidate, after a safety snapshot of the
    current catalog. Returns the safety snapshot's name; raises BackupError, with nothing
    changed, when it cannot."""
    with RESTORING:
        try:
            # It waited in our folder; its objects are looked at once more.
            with contextlib.closing(open_untrusted(candidate.path)) as conn:
                problems = differences(schema(conn), expected_schema(len(MIGRATIONS)))
            if problems:
                raise BackupError(f"{candidate.label} ถูกแก้ไขหลังการตรวจสอบ จึงไม่กู้คืน "
                                  f"ข้อมูลเดิมยังอยู่ครบ")
            # The safety snapshot passes through an uncompressed copy of the catalog.
            room, needed = free_space(store.folder), store.engine.size()
            if needed > room:
                raise no_room(needed, room)
            safety = safety_snapshot(store)
            kill_point("restore-safety")
            store.engine.replace_with_copy(candidate.path)
            kill_point("restore-swapped")
            prune(store)
            return safety
        except Unavailable:
            raise
        except (StartupError, OSError, CatalogError) as error:
            raise failed("กู้คืน", error) from None
        finally:
            remove_database_files(candidate.path)
