"""The catalog's SQLite file: opening it safely, bringing it up to date, and its queries."""

import contextlib
import os
import secrets
import sqlite3
import stat
import threading

from .errors import StartupError
from .migrations import APPLICATION_ID, MIGRATIONS
from .text import FIELD_LABELS, search_form, search_text, thai_collation, utc_now

PAGE_SIZE = 100

SORTS = {
    "name": ("ชื่อ ก-ฮ", "name COLLATE thai, code"),
    "code": ("รหัสสินค้า", "code COLLATE NOCASE"),
    "price": ("ราคาต่ำไปสูง", "price_satang, name COLLATE thai"),
    "-price": ("ราคาสูงไปต่ำ", "price_satang DESC, name COLLATE thai"),
    "quantity": ("จำนวนน้อยไปมาก", "quantity, name COLLATE thai"),
    "-updated": ("แก้ไขล่าสุด", "updated_at DESC, id DESC"),
}



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


class Store:
    def __init__(self, path):
        try:
            check_location(path)
        except OSError as error:
            raise StartupError(f"ใช้ที่เก็บฐานข้อมูล {path} ไม่ได้ ({error.strerror})",
                               f"Cannot use {path} for the database ({error.strerror})") from None
        self.path = path
        self.lock = threading.RLock()
        try:
            self.conn = sqlite3.connect(path, isolation_level=None, check_same_thread=False,
                                        timeout=5)
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
        conn.create_collation("thai", thai_collation)
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
        try:
            conn.execute("PRAGMA journal_mode = WAL")
            # FULL: a change the page reported as saved survives a power cut too.
            conn.execute("PRAGMA synchronous = FULL")
            conn.execute("PRAGMA foreign_keys = ON")
            for number in range(version, len(MIGRATIONS)):
                with self.transaction():
                    MIGRATIONS[number](conn)
                    conn.execute(f"PRAGMA user_version = {number + 1}")
        except sqlite3.Error as error:
            raise StartupError(f"เตรียมฐานข้อมูล {self.path} ไม่สำเร็จ ({error})",
                               f"Could not prepare the database {self.path} ({error})") from None

    @contextlib.contextmanager
    def transaction(self):
        with self.lock:
            self.conn.execute("BEGIN IMMEDIATE")
            try:
                yield self.conn
            except BaseException:
                self.conn.execute("ROLLBACK")
                raise
            self.conn.execute("COMMIT")

    def read(self, sql, params=()):
        with self.lock:
            return self.conn.execute(sql, params).fetchall()

    def close(self):
        with self.lock:
            self.conn.close()

    def categories(self):
        return [row[0] for row in self.read(
            "SELECT DISTINCT category FROM items WHERE category != '' "
            "ORDER BY category COLLATE thai")]

    def search(self, query, category, sort, page):
        where, params = [], []
        for term in search_form(query).split():
            where.append("instr(search_text, ?) > 0")
            params.append(term)
        if category:
            where.append("category = ?")
            params.append(category)
        clause = ("WHERE " + " AND ".join(where)) if where else ""
        with self.lock:
            # Summed here: price times quantity can pass SQLite's 64-bit integers.
            totals = self.conn.execute(
                f"SELECT price_satang, quantity FROM items {clause}", params).fetchall()
            count = len(totals)
            units = sum(quantity for _, quantity in totals)
            value = sum(price * quantity for price, quantity in totals)
            rows = self.conn.execute(
                f"SELECT * FROM items {clause} ORDER BY {SORTS[sort][1]} LIMIT ? OFFSET ?",
                params + [PAGE_SIZE, (page - 1) * PAGE_SIZE]).fetchall()
        return rows, count, units, value

    def get(self, item_id):
        rows = self.read("SELECT * FROM items WHERE id = ?", (item_id,))
        return rows[0] if rows else None

    def create(self, v):
        now = utc_now()
        with self.transaction() as conn:
            return self._insert(conn, v, now, now)

    @staticmethod
    def _insert(conn, v, created, updated):
        return conn.execute(
            "INSERT INTO items (code, name, category, price_satang, quantity, note, "
            "search_text, created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (v["code"], v["name"], v["category"], v["price_satang"], v["quantity"], v["note"],
             search_text(v["code"], v["name"], v["category"], v["note"]), created, updated)
        ).lastrowid

    @staticmethod
    def _update(conn, item_id, v):
        conn.execute(
            "UPDATE items SET code = ?, name = ?, category = ?, price_satang = ?, quantity = ?, "
            "note = ?, search_text = ?, updated_at = ?, revision = revision + 1 WHERE id = ?",
            (v["code"], v["name"], v["category"], v["price_satang"], v["quantity"], v["note"],
             search_text(v["code"], v["name"], v["category"], v["note"]), utc_now(), item_id))

    def update(self, item_id, revision, v):
        """'saved', 'missing' or 'conflict' (someone saved it since the form was opened)."""
        with self.transaction() as conn:
            row = conn.execute("SELECT revision FROM items WHERE id = ?", (item_id,)).fetchone()
            if row is None:
                return "missing"
            if row[0] != revision:
                return "conflict"
            self._update(conn, item_id, v)
            return "saved"

    def delete(self, item_id):
        with self.transaction() as conn:
            row = conn.execute("SELECT * FROM items WHERE id = ?", (item_id,)).fetchone()
            if row is not None:
                conn.execute("DELETE FROM items WHERE id = ?", (item_id,))
            return row

    def export_rows(self):
        return self.read("SELECT * FROM items ORDER BY code COLLATE NOCASE")

    def upsert(self, rows, errors):
        """All rows or none: any error, found here or given, rejects the file."""
        errors = list(errors)
        counts = {"added": 0, "updated": 0, "same": 0}
        with self.transaction() as conn:
            plans = []
            for number, values, times in rows:
                existing = conn.execute("SELECT * FROM items WHERE code = ?",
                                        (values["code"],)).fetchone()
                if existing is None:
                    missing = [FIELD_LABELS[f] for f, key in (("name", "name"),
                                                              ("price", "price_satang"))
                               if key not in values]
                    if missing:
                        errors.append((number, f"รหัส “{values['code']}” ยังไม่มีในแคตตาล็อก "
                                               f"จึงต้องมีคอลัมน์{'และ'.join(missing)}"))
                        continue
                    merged = {"category": "", "note": "", "quantity": 0, **values}
                else:
                    # Columns the file leaves out keep their values; the code takes the
                    # file's spelling, since the match ignores Latin case.
                    merged = {k: existing[k] for k in ("name", "category", "price_satang",
                                                       "quantity", "note")}
                    merged.update(values)
                plans.append((existing, merged, times))
            if errors:
                raise ImportRejected(sorted(errors, key=lambda e: e[0] or 0))
            for existing, merged, times in plans:
                if existing is None:
                    created = times.get("created_at") or utc_now()
                    self._insert(conn, merged, created, times.get("updated_at") or created)
                    counts["added"] += 1
                elif all(existing[k] == merged[k] for k in merged):
                    counts["same"] += 1
                else:
                    self._update(conn, existing["id"], merged)
                    counts["updated"] += 1
        return counts


class ImportRejected(Exception):
    def __init__(self, errors):
        super().__init__(f"{len(errors)} rows rejected")
        self.errors = errors




def constraint_message(error, code):
    text = str(error)
    if "UNIQUE" in text and "code" in text:
        return "code", f"รหัสสินค้า “{code}” มีอยู่แล้ว กรุณาใช้รหัสอื่น"
    return None, "ข้อมูลไม่ผ่านการตรวจสอบของฐานข้อมูล กรุณาตรวจสอบค่าที่กรอก"

