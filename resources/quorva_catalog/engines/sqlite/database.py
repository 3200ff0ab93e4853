"""Opening the catalog's SQLite file safely: where it lives, whether it is a sound catalog
database, bringing it up to date, and the one connection's transactions."""

import contextlib
import errno
import os
import secrets
import sqlite3
import stat
import sys
import threading
import urllib.parse

from ...catalog.errors import NoRoom
from ...errors import StartupError
from .migrations import APPLICATION_ID, MIGRATIONS
from .search import marked
from ...text import thai_collation

SQLITE_FULL = 13


def out_of_space(error):
    """Whether a failed transaction's error, SQLite's or the catalog's own, means a full disk."""
    if isinstance(error, OSError):
        return error.errno in (errno.ENOSPC, errno.EDQUOT)
    return isinstance(error, NoRoom) or getattr(error, "sqlite_errorcode", None) == SQLITE_FULL


# In KiB, as SQLite takes a negative size.
CACHE = -65536


def configure(conn):
    """What every connection to a catalog file starts with: the schema's own SQL (views,
    triggers, defaults) never calls functions or virtual tables that are unsafe to run from a
    file. Only a schema found to be exactly ours is trusted again (see trust_if_ours)."""
    conn.execute("PRAGMA trusted_schema = OFF")
    conn.create_collation("thai", thai_collation)
    return conn


def connect(path, **options):
    return configure(sqlite3.connect(path, **options))


def open_untrusted(path):
    """A file from outside, read-only: SQLite checks every cell's size as it reads."""
    conn = connect(f"file:{urllib.parse.quote(path)}?mode=ro", uri=True, isolation_level=None)
    conn.execute("PRAGMA cell_size_check = ON")
    conn.execute("PRAGMA query_only = ON")
    return conn


def migrate(conn, start, end):
    for number in range(start, end):
        conn.execute("BEGIN IMMEDIATE")
        try:
            MIGRATIONS[number](conn)
            conn.execute(f"PRAGMA user_version = {number + 1}")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")


def schema(conn, database="main"):
    """{(type, name): table, whitespace-normalised SQL} of a database's objects."""
    return {(kind, name): (table, " ".join((sql or "").split())) for kind, name, table, sql in
            conn.execute(f"SELECT type, name, tbl_name, sql FROM {database}.sqlite_master")}


def expected_schema(version):
    """Exactly what our migrations create up to `version`: whatever a later migration adds
    is known here as soon as it is in MIGRATIONS."""
    with contextlib.closing(connect(":memory:", isolation_level=None)) as conn:
        conn.execute("PRAGMA trusted_schema = ON")
        migrate(conn, 0, version)
        return schema(conn)


KINDS = {"table": "ตาราง", "index": "ดัชนี", "view": "วิว (view)", "trigger": "ทริกเกอร์ (trigger)"}


def differences(found, expected):
    """Thai lines on what a schema has that ours has not, or lacks."""
    problems = []
    for (kind, name), (table, sql) in sorted(found.items()):
        if kind == "table" and name in ("sqlite_stat1", "sqlite_stat4"):
            continue  # statistics SQLite keeps for itself; never copied
        label = f"{KINDS.get(kind, kind)} “{name[:60]}”"
        if (kind, name) not in expected:
            problems.append(f"มี{label} ที่แคตตาล็อกไม่ได้สร้าง")
        elif expected[kind, name] != (table, sql):
            problems.append(f"{label} มีโครงสร้างต่างจากที่แคตตาล็อกสร้าง")
    problems += [f"ไม่มี{KINDS.get(kind, kind)} “{name}”" for kind, name in sorted(expected)
                 if (kind, name) not in found]
    return problems


def trust_if_ours(conn, version):
    """Our own triggers may feed virtual tables (a search index), which SQLite allows only
    in a trusted schema: trusted once every object is exactly what our migrations made."""
    problems = differences(schema(conn), expected_schema(version))
    if not problems:
        conn.execute("PRAGMA trusted_schema = ON")
    return problems


def table_list(conn, database="main"):
    """[(name, without rowid)] of the tables whose rows are the data: ordinary tables and the
    shadow tables a virtual table keeps its index in, never the virtual tables themselves."""
    return [(name, bool(without_rowid)) for _, name, kind, _, without_rowid, _ in
            conn.execute(f"PRAGMA {database}.table_list")
            if kind in ("table", "shadow") and (not name.startswith("sqlite_")
                                                or name == "sqlite_sequence")]


class Sharing:
    """Many readers of the file at once, or the one that replaces it."""

    def __init__(self):
        self.state = threading.Condition()
        self.readers = 0
        self.replacing = False

    @contextlib.contextmanager
    def reading(self):
        with self.state:
            self.state.wait_for(lambda: not self.replacing)
            self.readers += 1
        try:
            yield
        finally:
            with self.state:
                self.readers -= 1
                self.state.notify_all()

    @contextlib.contextmanager
    def replacing_file(self):
        with self.state:
            self.state.wait_for(lambda: not self.replacing)
            self.replacing = True
            self.state.wait_for(lambda: self.readers == 0)
        try:
            yield
        finally:
            with self.state:
                self.replacing = False
                self.state.notify_all()


def check_location(path):
    """Refuses paths that cannot hold the database, before SQLite gets to them."""
    directory = os.path.dirname(path) or "."
    if not os.path.isdir(directory):
        raise StartupError(f"ไม่พบโฟลเดอร์ {directory} ที่จะเก็บฐานข้อมูล (--db {path})",
                           f"The folder {directory} for the database does not exist (--db {path})")
    if os.path.isdir(path):
        raise StartupError(f"{path} เป็นโฟลเดอร์ ไม่ใช่ไฟล์ฐานข้อมูล",
                           f"{path} is a folder, not a database file")
    mode = os.stat(directory).st_mode
    if mode & stat.S_IWOTH and not mode & stat.S_ISVTX:
        raise StartupError(f"โฟลเดอร์ {directory} ให้ผู้ใช้ทุกคนเขียนได้ "
                           f"จึงไม่ปลอดภัยสำหรับฐานข้อมูล",
                           f"The folder {directory} is writable by every user, "
                           f"which is unsafe for the database")
    # Root passes every permission check, so only creating a file tells.
    probe = os.path.join(directory, f".catalog-probe-{os.getpid()}-{secrets.token_hex(4)}")
    try:
        os.close(os.open(probe, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600))
        os.unlink(probe)
    except OSError as error:
        raise StartupError(
            f"เขียนไฟล์ในโฟลเดอร์ข้อมูล {directory} ไม่ได้ ({error.strerror})",
            f"Cannot write to the data folder {directory} ({error.strerror})") from None
    for companion in (path, path + "-wal", path + "-shm"):
        try:
            owner = os.stat(companion).st_uid
        except FileNotFoundError:
            continue
        if owner != os.geteuid():
            raise StartupError(f"ไฟล์ {companion} เป็นของผู้ใช้อื่น จึงไม่เปิดใช้",
                               f"The file {companion} belongs to another user; not opening it")
    if os.path.exists(path):
        try:
            with open(path, "rb") as handle:
                header = handle.read(16)
        except OSError as error:
            raise StartupError(f"อ่านไฟล์ฐานข้อมูล {path} ไม่ได้ ({error.strerror})",
                               f"Cannot read the database file {path} ({error.strerror})") from None
        if header and header != b"SQLite format 3\x00":
            raise damaged(path)
        if not os.access(path, os.W_OK):
            raise StartupError(f"ไฟล์ฐานข้อมูล {path} เป็นแบบอ่านอย่างเดียว จึงบันทึกข้อมูลไม่ได้",
                               f"The database file {path} is read-only, so nothing could be saved")


def damaged(path):
    return StartupError(
        f"ไฟล์ฐานข้อมูล {path} เสียหายหรือไม่ใช่ฐานข้อมูลแคตตาล็อก ไม่ได้แก้ไขไฟล์นี้ "
        f"กรุณากู้คืนจากสำเนาสำรอง",
        f"The database file {path} is damaged or not a catalog database; "
        f"it was left unchanged, restore it from a backup")


class Database:
    def __init__(self, path):
        try:
            check_location(path)
        except OSError as error:
            raise StartupError(f"ใช้ที่เก็บฐานข้อมูล {path} ไม่ได้ ({error.strerror})",
                               f"Cannot use {path} for the database ({error.strerror})") from None
        self.path = path
        self.lock = threading.RLock()
        # Other connections to the file (snapshots) read under this; a restore replaces it.
        self.files = Sharing()
        self._open()

    def _open(self):
        path = self.path
        try:
            self.conn = connect(path, isolation_level=None, check_same_thread=False, timeout=5)
        except sqlite3.Error as error:
            raise StartupError(f"เปิดไฟล์ฐานข้อมูล {path} ไม่ได้ ({error})",
                               f"Cannot open the database file {path} ({error})") from None
        try:
            self._prepare()
        except BaseException:
            self.conn.close()
            raise

    def _prepare(self):
        conn = self.conn
        conn.row_factory = sqlite3.Row
        # Once a connection, never in a search: SQLite refuses to replace a function while
        # any statement of the connection is running, as during an import.
        conn.create_function("marked", 6, marked, deterministic=True)
        # Read-only checks first: a damaged or foreign file must not be written to.
        try:
            conn.execute("PRAGMA busy_timeout = 5000")
            verdict = [row[0] for row in conn.execute("PRAGMA quick_check")]
            version = conn.execute("PRAGMA user_version").fetchone()[0]
            application = conn.execute("PRAGMA application_id").fetchone()[0]
            tables = conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
        except sqlite3.OperationalError as error:
            if "locked" in str(error) or "busy" in str(error):
                raise StartupError(
                    f"ฐานข้อมูล {self.path} ถูกโปรแกรมอื่นล็อกไว้",
                    f"The database {self.path} is locked by another program") from None
            raise damaged(self.path) from None
        except sqlite3.DatabaseError:
            raise damaged(self.path) from None
        if verdict != ["ok"]:
            raise damaged(self.path)
        if (version and application != APPLICATION_ID) or (not version and tables):
            raise StartupError(
                f"ไฟล์ {self.path} เป็นฐานข้อมูลของโปรแกรมอื่น ไม่ใช่แคตตาล็อก ไม่ได้แก้ไขไฟล์นี้",
                f"The file {self.path} is another program's database, not a catalog; "
                f"it was left unchanged")
        if version > len(MIGRATIONS):
            raise StartupError(
                f"ฐานข้อมูล {self.path} มาจากแคตตาล็อกรุ่นใหม่กว่า (รุ่น {version} "
                f"แต่รุ่นนี้รู้จักถึงรุ่น {len(MIGRATIONS)}) กรุณาอัปเดตโปรแกรม",
                f"The database {self.path} comes from a newer catalog (version {version}, "
                f"this one knows up to {len(MIGRATIONS)}); please update the program")
        problems = trust_if_ours(conn, version)
        if problems:
            sys.stderr.write(f"ฐานข้อมูล {self.path} มีสิ่งที่แคตตาล็อกไม่ได้สร้าง / The database "
                             f"holds objects the catalog did not make: {' · '.join(problems)}\n")
        try:
            conn.execute("PRAGMA journal_mode = WAL")
            # FULL: a change the page reported as saved survives a power cut too.
            conn.execute("PRAGMA synchronous = FULL")
            conn.execute("PRAGMA foreign_keys = ON")
            # A search reads its candidate rows more than once (a count, then a page); at a
            # million items the default 2 MiB of pages holds few of them between reads.
            conn.execute(f"PRAGMA cache_size = {CACHE}")
            with self.lock:
                migrate(conn, version, len(MIGRATIONS))
        except sqlite3.Error as error:
            raise StartupError(f"เตรียมฐานข้อมูล {self.path} ไม่สำเร็จ ({error})",
                               f"Could not prepare the database {self.path} ({error})") from None

    @contextlib.contextmanager
    def transaction(self):
        with self.lock:
            self.conn.execute("BEGIN IMMEDIATE")
            try:
                yield self.conn
                self.conn.execute("COMMIT")
            except BaseException as error:
                # SQLite may have rolled back already: on a full disk it often does.
                if self.conn.in_transaction:
                    self.conn.execute("ROLLBACK")
                if out_of_space(error):
                    # The undone pages stay in the log until it is cut back: give the disk
                    # its space now, not at the next clean close.
                    with contextlib.suppress(sqlite3.Error):
                        self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
                raise

    def read(self, sql, params=()):
        with self.lock:
            return self.conn.execute(sql, params).fetchall()

    def replace_file(self, source):
        """Puts the whole, current-version database file `source` in place of this one. A kill
        before the rename leaves the old catalog, after it the new one."""
        with self.files.replacing_file(), self.lock:
            busy = self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]
            if busy:
                raise sqlite3.OperationalError("database is locked")
            self.conn.close()
            try:
                # The old file's log is folded in and empty; it must never meet the new file.
                for name in (self.path + "-wal", self.path + "-shm"):
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(name)
                os.replace(source, self.path)
                fd = os.open(os.path.dirname(self.path), os.O_RDONLY)
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
            finally:
                self._open()

    def close(self):
        """Folds the log back into the file first, so that the file alone is the whole
        catalog whenever the program is not running, even if another reader is still open."""
        with self.lock:
            with contextlib.suppress(sqlite3.Error):
                self.conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            self.conn.close()
