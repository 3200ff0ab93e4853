"""Catalog server: a small shop's items in a local SQLite file, served as Thai web pages."""

import argparse
import collections
import contextlib
import csv
import ctypes
import datetime
import email.parser
import email.policy
import errno
import functools
import hmac
import html
import http.server
import io
import os
import re
import secrets
import signal
import socket
import socketserver
import sqlite3
import stat
import struct
import sys
import threading
import time
import traceback
import unicodedata
import urllib.parse

# Read before anything else, so a parent that dies during start-up is still noticed.
STARTING_PARENT = os.getppid()

DEFAULT_PORT = 8765
DEFAULT_DB = "catalog.db"
APPLICATION_ID = 0x51564341
FORM_LIMIT = 64 * 1024
IMPORT_LIMIT = 2 * 1024 * 1024
# A body this large is read and thrown away so the browser sees the 413 page, not a reset.
DRAIN_LIMIT = 32 * 1024 * 1024
PAGE_SIZE = 100
REQUEST_GRACE_SECONDS = 1.5
MAX_PRICE_SATANG = 99_999_999_999
MAX_QUANTITY = 999_999_999
TEXT_LIMITS = {"code": 64, "name": 200, "category": 100, "note": 2000}

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


class StartupError(Exception):
    """One line for the user, Thai then English."""

    def __init__(self, thai, english):
        super().__init__(f"{thai} / {english}")


CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")
INVISIBLE = re.compile("[\u200b\u200c\u200d\u2060\ufeff]")
THAI_MONTHS = ("ม.ค.", "ก.พ.", "มี.ค.", "เม.ย.", "พ.ค.", "มิ.ย.",
               "ก.ค.", "ส.ค.", "ก.ย.", "ต.ค.", "พ.ย.", "ธ.ค.")


def nfc(text):
    return unicodedata.normalize("NFC", text)


def one_line(text):
    return " ".join(CONTROL.sub("", nfc(text)).split())


def multi_line(text):
    text = CONTROL.sub("", nfc(text)).replace("\r\n", "\n").replace("\r", "\n")
    return "\n".join(line.rstrip() for line in text.split("\n")).strip()


def search_form(text):
    # Nikhahit + sara aa looks exactly like sara am, and both get typed.
    text = INVISIBLE.sub("", nfc(text)).replace("\u0e4d\u0e32", "\u0e33")
    return nfc(text.casefold())


def search_text(code, name, category, note):
    return "\n".join(search_form(part) for part in (code, name, category, note))


@functools.lru_cache(maxsize=8192)
def thai_sort_key(text):
    # Thai dictionaries order by the consonant, not by a vowel written before it;
    # tone marks only break ties.
    text = re.sub("([\u0e40-\u0e44])([\u0e01-\u0e2e])", r"\2\1", search_form(text))
    return re.sub("[\u0e47-\u0e4c]", "", text), text


def thai_collation(left, right):
    a, b = thai_sort_key(left), thai_sort_key(right)
    return (a > b) - (a < b)


def code_key(code):
    # Matches SQLite's NOCASE, which the UNIQUE constraint on code uses.
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in code)


def format_satang(satang, grouped=True):
    baht, rest = divmod(satang, 100)
    return f"{baht:,}.{rest:02d}" if grouped else f"{baht}.{rest:02d}"


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_utc(text):
    try:
        moment = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def show_time(stored):
    try:
        moment = datetime.datetime.fromisoformat(stored.replace("Z", "+00:00")).astimezone()
    except ValueError:
        return stored
    return (f"{moment.day} {THAI_MONTHS[moment.month - 1]} {moment.year + 543} "
            f"{moment:%H:%M}")


def parse_number(raw, whole_only):
    """(value in satang or units, Thai error or None)."""
    text = "".join(raw.split()).replace("฿", "").replace("บาท", "")
    if text.startswith("-"):
        return None, "negative"
    match = re.fullmatch(r"(\d{1,3}(?:,\d{3})+|\d+)(?:\.(\d*))?", text)
    if not match:
        return None, "format"
    whole = int(match.group(1).replace(",", ""))
    fraction = match.group(2) or ""
    if whole_only:
        return (None, "fraction") if fraction.strip("0") else (whole, None)
    if fraction[2:].strip("0"):
        return None, "fraction"
    return whole * 100 + int((fraction + "00")[:2]), None


def clean_item(raw, present=("code", "name", "category", "price", "quantity", "note")):
    """The fields in `present`, cleaned, and a Thai message for each bad one."""
    values, errors = {}, {}
    for field in ("code", "name", "category"):
        if field in present:
            values[field] = one_line(raw.get(field, ""))
    if "note" in present:
        values["note"] = multi_line(raw.get("note", ""))
    if "code" in present and not values["code"]:
        errors["code"] = "กรุณากรอกรหัสสินค้า"
    if "name" in present and not values["name"]:
        errors["name"] = "กรุณากรอกชื่อสินค้า"
    for field, limit in TEXT_LIMITS.items():
        if field in values and len(values[field]) > limit:
            errors[field] = f"{FIELD_LABELS[field]}ยาวได้ไม่เกิน {limit:,} ตัวอักษร"
    if "price" in present:
        raw_price = raw.get("price", "").strip()
        satang, problem = parse_number(raw_price, whole_only=False)
        if not raw_price:
            errors["price"] = "กรุณากรอกราคา"
        elif problem == "negative":
            errors["price"] = "ราคาต้องไม่ติดลบ"
        elif problem == "fraction":
            errors["price"] = "ราคามีทศนิยมได้ไม่เกิน 2 ตำแหน่ง"
        elif problem:
            errors["price"] = "ราคาต้องเป็นตัวเลข เช่น 120 หรือ 1,250.50"
        elif satang > MAX_PRICE_SATANG:
            errors["price"] = "ราคาต้องไม่เกิน 999,999,999.99 บาท"
        else:
            values["price_satang"] = satang
    if "quantity" in present:
        raw_quantity = raw.get("quantity", "").strip()
        quantity, problem = parse_number(raw_quantity, whole_only=True)
        if not raw_quantity:
            errors["quantity"] = "กรุณากรอกจำนวน"
        elif problem == "negative":
            errors["quantity"] = "จำนวนต้องไม่ติดลบ"
        elif problem:
            errors["quantity"] = "จำนวนต้องเป็นจำนวนเต็ม เช่น 0, 12 หรือ 1,000"
        elif quantity > MAX_QUANTITY:
            errors["quantity"] = "จำนวนต้องไม่เกิน 999,999,999"
        else:
            values["quantity"] = quantity
    return values, errors


FIELD_LABELS = {"code": "รหัสสินค้า", "name": "ชื่อสินค้า", "category": "หมวดหมู่",
                "price": "ราคา", "quantity": "จำนวน", "note": "หมายเหตุ"}


def constraint_message(error, code):
    text = str(error)
    if "UNIQUE" in text and "code" in text:
        return "code", f"รหัสสินค้า “{code}” มีอยู่แล้ว กรุณาใช้รหัสอื่น"
    return None, "ข้อมูลไม่ผ่านการตรวจสอบของฐานข้อมูล กรุณาตรวจสอบค่าที่กรอก"


def _create_items(conn):
    conn.execute("""
        CREATE TABLE items (
            id INTEGER PRIMARY KEY,
            code TEXT NOT NULL UNIQUE COLLATE NOCASE
                CHECK (length(code) BETWEEN 1 AND 64),
            name TEXT NOT NULL CHECK (length(name) BETWEEN 1 AND 200),
            category TEXT NOT NULL DEFAULT '' CHECK (length(category) <= 100),
            price_satang INTEGER NOT NULL
                CHECK (typeof(price_satang) = 'integer'
                       AND price_satang BETWEEN 0 AND 99999999999),
            quantity INTEGER NOT NULL
                CHECK (typeof(quantity) = 'integer' AND quantity BETWEEN 0 AND 999999999),
            note TEXT NOT NULL DEFAULT '' CHECK (length(note) <= 2000),
            created_at TEXT NOT NULL,
            updated_at TEXT NOT NULL
        )""")
    conn.execute("CREATE INDEX items_category ON items (category)")
    conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")


def _add_search_and_revision(conn):
    conn.execute("ALTER TABLE items ADD COLUMN search_text TEXT NOT NULL DEFAULT ''")
    conn.execute("ALTER TABLE items ADD COLUMN revision INTEGER NOT NULL DEFAULT 1")
    rows = conn.execute("SELECT id, code, name, category, note FROM items").fetchall()
    conn.executemany("UPDATE items SET search_text = ? WHERE id = ?",
                     [(search_text(r[1], r[2], r[3], r[4]), r[0]) for r in rows])


# Append only: a database's user_version counts the steps it has had.
MIGRATIONS = [_create_items, _add_search_and_revision]

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


CSV_COLUMNS = [
    ("code", "รหัสสินค้า", ("code", "sku", "รหัส")),
    ("name", "ชื่อสินค้า", ("name", "ชื่อ")),
    ("category", "หมวดหมู่", ("category", "หมวด")),
    ("price", "ราคา", ("price", "ราคา (บาท)")),
    ("quantity", "จำนวน", ("quantity", "qty", "คงเหลือ")),
    ("note", "หมายเหตุ", ("note", "notes")),
    ("created_at", "สร้างเมื่อ (UTC)", ("created_at", "created", "สร้างเมื่อ")),
    ("updated_at", "แก้ไขล่าสุด (UTC)", ("updated_at", "updated", "แก้ไขล่าสุด")),
]
HEADER_NAMES = {search_form(" ".join(name.split())): field
                for field, header, aliases in CSV_COLUMNS for name in (header,) + aliases}
FORMULA_START = tuple("=+-@\t\r")


def quoted(text):
    return text[:1] == "'" and text[1:2] != "" and text[1:2] in FORMULA_START + ("'",)


def guard_cell(text):
    # Spreadsheets run a cell starting with these as a formula; the quote is undone on import.
    return "'" + text if text.startswith(FORMULA_START) or quoted(text) else text


def unguard_cell(text):
    return text[1:] if quoted(text) else text


def export_csv(rows):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\r\n")
    writer.writerow([header for _, header, _ in CSV_COLUMNS])
    for row in rows:
        writer.writerow([guard_cell(row["code"]), guard_cell(row["name"]),
                         guard_cell(row["category"]), format_satang(row["price_satang"], False),
                         row["quantity"], guard_cell(row["note"]),
                         row["created_at"], row["updated_at"]])
    return ("\ufeff" + out.getvalue()).encode("utf-8")


def read_csv(data):
    """(rows ready for Store.upsert, errors, ignored header names)."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return [], [(None, "ไฟล์ไม่ได้เข้ารหัสเป็น UTF-8 กรุณาบันทึกจากโปรแกรมตารางคำนวณเป็น "
                           "“CSV UTF-8” แล้วลองใหม่")], []
    records = csv.reader(io.StringIO(text, newline=""))
    errors, rows, ignored, fields = [], [], [], None
    seen = {}
    try:
        for number, cells in enumerate(records, start=1):
            if fields is None:
                fields = []
                for cell in cells:
                    name = search_form(" ".join(cell.split()))
                    field = HEADER_NAMES.get(name)
                    if field in fields:
                        errors.append((1, f"มีคอลัมน์ “{cell.strip()}” ซ้ำ"))
                    if field is None and name:
                        ignored.append(cell.strip())
                    fields.append(field)
                if "code" not in fields:
                    errors.append((1, "ไม่พบคอลัมน์รหัสสินค้า (รหัสสินค้า หรือ code) "
                                      "ในแถวหัวตาราง"))
                if errors:
                    return [], errors, ignored
                continue
            if not any(cell.strip() for cell in cells):
                continue
            if any(cell.strip() for cell in cells[len(fields):]):
                errors.append((number, "มีข้อมูลเกินจำนวนคอลัมน์ในหัวตาราง"))
                continue
            cells = cells + [""] * (len(fields) - len(cells))
            raw = {f: unguard_cell(c) for f, c in zip(fields, cells) if f}
            present = [f for f in raw if f in FIELD_LABELS]
            values, problems = clean_item(raw, present)
            for field, message in problems.items():
                errors.append((number, message))
            if problems:
                continue
            key = code_key(values["code"])
            if key in seen:
                errors.append((number, f"รหัส “{values['code']}” ซ้ำกับแถวที่ {seen[key]}"))
                continue
            seen[key] = number
            times = {f: parse_utc(raw[f]) for f in ("created_at", "updated_at")
                     if raw.get(f, "").strip()}
            rows.append((number, values, {k: v for k, v in times.items() if v}))
    except csv.Error as error:
        errors.append((records.line_num, f"อ่านไฟล์ CSV ไม่ได้ ({error})"))
    if fields is None or (not rows and not errors):
        errors.append((None, "ไฟล์ไม่มีข้อมูลสินค้า"))
    return rows, errors, ignored


esc = html.escape

STYLE = """\
:root {
  color-scheme: light dark;
  --ink: #1d2428; --muted: #5b6770; --line: #d5dbe0; --page: #f6f7f8; --card: #fff;
  --accent: #0b6e4f; --accent-ink: #fff; --danger: #b3261e; --warn-bg: #fff4d6;
  --ok-bg: #e3f4ea; --bad-bg: #fde8e6;
  font-family: system-ui, -apple-system, "Segoe UI", "Noto Sans Thai", "Leelawadee UI",
    "Thonburi", Tahoma, sans-serif;
  font-size: 100%; line-height: 1.6;
}
@media (prefers-color-scheme: dark) {
  :root { --ink: #e6eaed; --muted: #a3adb5; --line: #3a4249; --page: #15191c; --card: #1e2327;
    --accent: #4cc38a; --accent-ink: #0c1a13; --danger: #ff8a80; --warn-bg: #3b3320;
    --ok-bg: #1c3326; --bad-bg: #3d1f1c; }
}
* { box-sizing: border-box; }
body { margin: 0; background: var(--page); color: var(--ink); }
a { color: var(--accent); }
header.bar { display: flex; flex-wrap: wrap; align-items: center; gap: 0.5rem 1.5rem;
  padding: 0.75rem 1.25rem; background: var(--card); border-bottom: 1px solid var(--line); }
.brand { font-weight: 700; font-size: 1.15rem; text-decoration: none; color: var(--ink); }
nav { display: flex; flex-wrap: wrap; gap: 0.25rem 1rem; }
nav a { text-decoration: none; padding: 0.2rem 0; }
nav a[aria-current] { font-weight: 700; border-bottom: 2px solid var(--accent); }
main { max-width: 75rem; margin: 0 auto; padding: 1rem 1.25rem 3rem; }
h1 { font-size: 1.5rem; margin: 0.5rem 0 1rem; }
.flash, .errors { padding: 0.75rem 1rem; border-radius: 0.4rem; margin: 0 0 1rem; }
.flash.ok { background: var(--ok-bg); }
.flash.bad, .errors { background: var(--bad-bg); }
.errors ul { margin: 0.25rem 0 0; padding-left: 1.25rem; }
form.search { display: flex; flex-wrap: wrap; gap: 0.5rem 1rem; align-items: end;
  margin-bottom: 1rem; }
form.search label { display: flex; flex-direction: column; font-size: 0.9rem; }
input, select, textarea, button { font: inherit; color: inherit; }
input, select, textarea { background: var(--card); border: 1px solid var(--line);
  border-radius: 0.3rem; padding: 0.35rem 0.5rem; max-width: 100%; }
input, select, button, .button { min-height: 2.6em; }
select { padding-right: 1.75em; }
input[type=search] { width: 20em; }
button, .button { display: inline-flex; align-items: center; background: var(--accent);
  color: var(--accent-ink); border: 1px solid transparent; border-radius: 0.3rem;
  padding: 0.35rem 1rem; text-decoration: none; cursor: pointer; }
.button.plain { background: transparent; color: var(--accent); border-color: var(--line); }
button.danger { background: var(--danger); color: #fff; }
.summary { color: var(--muted); }
.table-wrap { overflow-x: auto; background: var(--card); border: 1px solid var(--line);
  border-radius: 0.4rem; }
table { border-collapse: collapse; width: 100%; }
th, td { padding: 0.45rem 0.75rem; text-align: left; vertical-align: top;
  border-bottom: 1px solid var(--line); }
th { font-size: 0.9rem; color: var(--muted); white-space: nowrap; }
tbody tr:last-child td { border-bottom: 0; }
td.num, th.num { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
td.code { white-space: nowrap; }
td.actions { white-space: nowrap; }
td.actions a + a { margin-left: 0.75rem; }
.note { color: var(--muted); font-size: 0.9rem; white-space: pre-line; }
.out { color: var(--danger); font-weight: 600; }
.pages { display: flex; gap: 1rem; margin-top: 1rem; }
form.item { display: grid; gap: 1rem; max-width: 40rem; background: var(--card);
  border: 1px solid var(--line); border-radius: 0.4rem; padding: 1.25rem; }
form.item label { display: flex; flex-direction: column; gap: 0.2rem; font-weight: 600; }
form.item input, form.item textarea { font-weight: 400; }
form.item .pair { display: grid; grid-template-columns: repeat(auto-fit, minmax(10rem, 1fr));
  gap: 1rem; }
.field-error { color: var(--danger); font-weight: 400; font-size: 0.9rem; }
[aria-invalid=true] { border-color: var(--danger); }
.hint { color: var(--muted); font-weight: 400; font-size: 0.9rem; }
.actions-row { display: flex; flex-wrap: wrap; gap: 0.75rem; align-items: center; }
dl.item { display: grid; grid-template-columns: max-content 1fr; gap: 0.25rem 1rem; }
dl.item dt { color: var(--muted); }
dl.item dd { margin: 0; }
.warn { background: var(--warn-bg); padding: 0.75rem 1rem; border-radius: 0.4rem; }
@media (max-width: 48rem) { .wide { display: none; } }
@media (max-width: 40rem) {
  thead { display: none; }
  table, tbody, tr, td { display: block; }
  tr { padding: 0.5rem 0.75rem; border-bottom: 1px solid var(--line); }
  tbody tr:last-child { border-bottom: 0; }
  td, td.num { border: 0; padding: 0.1rem 0; text-align: left; }
  td[data-label]::before { content: attr(data-label) ": "; color: var(--muted); }
}
"""


def layout(title, body, current=None, flash=None):
    links = [("/", "รายการสินค้า"), ("/items/new", "เพิ่มสินค้า"),
             ("/import", "นำเข้า CSV"), ("/export.csv", "ส่งออก CSV")]
    nav = "".join(f'<a href="{href}"{" aria-current=page" if href == current else ""}>{label}</a>'
                  for href, label in links)
    notice = ""
    if flash:
        kind, text = flash
        notice = f'<p class="flash {kind}" role="status">{esc(text)}</p>'
    return ("<!DOCTYPE html>\n<html lang=\"th\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            f"<title>{esc(title)} · แคตตาล็อกสินค้า</title>"
            "<link rel=\"stylesheet\" href=\"/style.css\"></head><body>"
            "<header class=\"bar\"><a class=\"brand\" href=\"/\">แคตตาล็อกสินค้า</a>"
            f"<nav aria-label=\"เมนูหลัก\">{nav}</nav></header>"
            f"<main>{notice}{body}</main></body></html>\n")


def message_page(title, text, link=("/", "กลับไปหน้ารายการสินค้า")):
    return layout(title, f"<h1>{esc(title)}</h1><p>{esc(text)}</p>"
                         f"<p><a href=\"{esc(link[0])}\">{esc(link[1])}</a></p>")


def hidden(name, value):
    return f'<input type="hidden" name="{name}" value="{esc(str(value))}">'


def error_summary(errors):
    if not errors:
        return ""
    items = "".join(f"<li>{esc(text)}</li>" for text in errors)
    return (f'<div class="errors" role="alert"><strong>บันทึกไม่ได้ กรุณาแก้ไขข้อมูลต่อไปนี้'
            f'</strong><ul>{items}</ul></div>')


def item_form(action, raw, errors, token, back, categories, submit, extra_hidden=""):
    def field(name, label, hint="", kind="text", attrs=""):
        error = errors.get(name)
        described = f' aria-describedby="{name}-error"' if error else ""
        invalid = ' aria-invalid="true"' if error else ""
        value = raw.get(name, "")
        if kind == "textarea":
            control = (f'<textarea name="{name}" rows="4" maxlength="{TEXT_LIMITS[name]}"'
                       f'{invalid}{described}>{esc(value)}</textarea>')
        else:
            control = (f'<input type="text" name="{name}" value="{esc(value)}"'
                       f'{attrs}{invalid}{described}>')
        note = f'<span class="hint">{esc(hint)}</span>' if hint else ""
        problem = (f'<span class="field-error" id="{name}-error">{esc(error)}</span>'
                   if error else "")
        return f"<label>{label}{control}{note}{problem}</label>"

    options = "".join(f'<option value="{esc(c)}">' for c in categories)
    return (
        error_summary(list(errors.values()))
        + f'<form class="item" method="post" action="{esc(action)}">'
        + hidden("token", token) + hidden("back", back) + extra_hidden
        + '<div class="pair">'
        + field("code", "รหัสสินค้า", "ไม่ซ้ำกับสินค้าอื่น", attrs=' maxlength="64" required')
        + field("category", "หมวดหมู่", attrs=' maxlength="100" list="categories"')
        + "</div>"
        + field("name", "ชื่อสินค้า", attrs=' maxlength="200" required')
        + '<div class="pair">'
        + field("price", "ราคา (บาท)", "เช่น 1,250.50",
                attrs=' inputmode="decimal" maxlength="20" required')
        + field("quantity", "จำนวนคงเหลือ", attrs=' inputmode="numeric" maxlength="15" required')
        + "</div>"
        + field("note", "หมายเหตุ", kind="textarea")
        + f'<datalist id="categories">{options}</datalist>'
        + f'<div class="actions-row"><button type="submit">{esc(submit)}</button>'
        + f'<a class="button plain" href="{esc(back)}">ยกเลิก</a></div></form>')


def item_raw(row):
    return {"code": row["code"], "name": row["name"], "category": row["category"],
            "price": format_satang(row["price_satang"], grouped=False),
            "quantity": str(row["quantity"]), "note": row["note"]}


def list_url(query, category, sort, page=1):
    params = [(k, v) for k, v in (("q", query), ("category", category)) if v]
    if sort != "name":
        params.append(("sort", sort))
    if page > 1:
        params.append(("page", str(page)))
    return "/?" + urllib.parse.urlencode(params) if params else "/"


def safe_back(value):
    """Only a list page of this server; anything else goes to the plain list."""
    parts = urllib.parse.urlsplit(value or "/")
    if parts.scheme or parts.netloc or parts.path != "/" or len(value) > 2000:
        return "/"
    kept = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query) if k != "m"]
    return "/?" + urllib.parse.urlencode(kept) if kept else "/"


def with_flash(url, key):
    return f"{url}{'&' if '?' in url else '?'}m={key}"


SECURITY_HEADERS = (
    ("Content-Security-Policy",
     "default-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "same-origin"),
    ("X-Frame-Options", "DENY"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("Cross-Origin-Opener-Policy", "same-origin"),
)

STATUS_TITLES = {400: "คำขอไม่ถูกต้อง", 403: "ไม่อนุญาต", 404: "ไม่พบหน้านี้",
                 405: "ใช้วิธีนี้กับหน้านี้ไม่ได้", 408: "หมดเวลารอ", 411: "ต้องระบุความยาวข้อมูล",
                 413: "ข้อมูลใหญ่เกินไป", 414: "ที่อยู่ยาวเกินไป",
                 421: "ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง",
                 431: "ส่วนหัวคำขอใหญ่เกินไป", 500: "เกิดข้อผิดพลาดภายใน",
                 501: "ไม่รองรับคำขอนี้", 503: "กำลังปิดโปรแกรม", 505: "ไม่รองรับ HTTP รุ่นนี้"}


def tcp_address(address, mapped):
    ip, port = address[:2]
    word = "%08X" % struct.unpack("=I", socket.inet_aton(ip))[0]
    return f"{'0000000000000000FFFF0000' if mapped else ''}{word}:{port:04X}"


def peer_uid(peer, local):
    """Owner of the client's end of a loopback connection, from /proc where there is one."""
    # A client on an IPv6 socket reaches 127.0.0.1 as ::ffff:127.0.0.1 and is listed in tcp6.
    for table_path, mapped in (("/proc/net/tcp", False), ("/proc/net/tcp6", True)):
        wanted = (tcp_address(peer, mapped), tcp_address(local, mapped))
        try:
            with open(table_path, encoding="ascii") as table:
                for fields in map(str.split, table):
                    if len(fields) > 7 and (fields[1], fields[2]) == wanted:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


class Refused(Exception):
    def __init__(self, status, text, headers=()):
        super().__init__(text)
        self.status, self.text, self.headers = status, text, headers


class App:
    def __init__(self, store):
        self.store = store
        self.port = None
        self.token = secrets.token_urlsafe(32)
        self.flashes = collections.OrderedDict()
        self.flash_lock = threading.Lock()
        self.state = threading.Condition()
        self.in_flight = 0
        self.closing = False

    def hosts(self):
        names = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}
        return names | {"127.0.0.1", "localhost"} if self.port == 80 else names

    def begin(self):
        with self.state:
            if self.closing:
                return False
            self.in_flight += 1
            return True

    def end(self):
        with self.state:
            self.in_flight -= 1
            self.state.notify_all()

    def drain(self, seconds):
        with self.state:
            self.closing = True
            self.state.wait_for(lambda: self.in_flight == 0, timeout=seconds)

    def flash(self, kind, text):
        key = secrets.token_urlsafe(9)
        with self.flash_lock:
            self.flashes[key] = (kind, text)
            while len(self.flashes) > 200:
                self.flashes.popitem(last=False)
        return key

    def take_flash(self, key):
        with self.flash_lock:
            return self.flashes.pop(key, None)


ROUTES = [
    (re.compile(r"/"), {"GET": "list_page"}),
    (re.compile(r"/style\.css"), {"GET": "style"}),
    (re.compile(r"/favicon\.ico"), {"GET": "favicon"}),
    (re.compile(r"/items/new"), {"GET": "new_page", "POST": "create"}),
    (re.compile(r"/items/(\d{1,18})/edit"), {"GET": "edit_page", "POST": "update"}),
    (re.compile(r"/items/(\d{1,18})/delete"), {"GET": "delete_page", "POST": "delete"}),
    (re.compile(r"/export\.csv"), {"GET": "export"}),
    (re.compile(r"/import"), {"GET": "import_page", "POST": "import_csv"}),
]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "catalog"
    timeout = 15

    @property
    def app(self):
        return self.server.app

    def log_message(self, format, *args):
        pass

    def version_string(self):
        return self.server_version

    def setup(self):
        super().setup()
        uid = peer_uid(self.client_address, self.connection.getsockname())
        self.foreign = uid is not None and uid != os.geteuid()

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def dispatch(self):
        if not self.app.begin():
            self.close_connection = True
            self.send_page(503, message_page(STATUS_TITLES[503], "กรุณาเปิดโปรแกรมใหม่อีกครั้ง"))
            return
        try:
            self.route()
        except Refused as refusal:
            # Whatever is left of the request body must not be read as the next request.
            self.close_connection = True
            self.send_page(refusal.status,
                           message_page(STATUS_TITLES.get(refusal.status, "ผิดพลาด"), refusal.text),
                           refusal.headers)
        except (ConnectionError, TimeoutError):
            self.close_connection = True
        except Exception:
            traceback.print_exc(file=sys.stderr)
            self.close_connection = True
            with contextlib.suppress(Exception):
                self.send_page(500, message_page(
                    STATUS_TITLES[500], "โปรดตรวจดูรายการสินค้าก่อนลองทำซ้ำอีกครั้ง"))
        finally:
            self.app.end()

    def route(self):
        self.check_host()
        if self.foreign:
            raise Refused(403, "แคตตาล็อกนี้เปิดให้เฉพาะผู้ใช้ที่เปิดโปรแกรมเท่านั้น")
        if not self.path.startswith("/"):
            raise Refused(400, "ที่อยู่ของคำขอไม่ถูกต้อง")
        parts = urllib.parse.urlsplit(self.path)
        method = "GET" if self.command == "HEAD" else self.command
        for pattern, methods in ROUTES:
            match = pattern.fullmatch(parts.path)
            if not match:
                continue
            if method not in methods:
                allowed = set(methods) | ({"HEAD"} if "GET" in methods else set())
                allowed = ", ".join(sorted(allowed))
                raise Refused(405, "หน้านี้รับคำขอแบบนี้ไม่ได้", (("Allow", allowed),))
            self.query = urllib.parse.parse_qs(parts.query, keep_blank_values=True,
                                               max_num_fields=50)
            if method == "POST":
                self.check_origin()
            getattr(self, methods[method])(*match.groups())
            return
        raise Refused(404, "ไม่มีหน้าที่ขอในแคตตาล็อกนี้")

    # Guards.

    def check_host(self):
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.app.hosts():
            self.close_connection = True
            raise Refused(421, "คำขอนี้ไม่ได้ส่งมาที่แคตตาล็อกในเครื่องนี้โดยตรง จึงไม่ตอบ")

    def check_origin(self):
        own = "http://" + self.headers["Host"].strip().lower()
        origin = self.headers.get("Origin")
        referer = self.headers.get("Referer")
        if origin is not None:
            allowed = origin.strip().lower() == own
        elif referer is not None:
            referer = referer.strip()
            allowed = referer.lower() == own or referer.lower().startswith(own + "/")
        else:
            allowed = True
        if not allowed:
            raise Refused(403, "ไม่รับคำขอที่ส่งมาจากเว็บไซต์อื่น")

    def check_token(self, value):
        if not hmac.compare_digest(value.encode(), self.app.token.encode()):
            raise Refused(403, "แบบฟอร์มนี้หมดอายุแล้ว (อาจเปิดค้างไว้ก่อนโปรแกรมเริ่มใหม่) "
                               "กรุณาโหลดหน้าใหม่แล้วลองอีกครั้ง")

    def read_body(self, limit):
        if "Transfer-Encoding" in self.headers:
            self.close_connection = True
            raise Refused(411, "ส่งข้อมูลแบบแบ่งส่วนไม่ได้ กรุณาส่งพร้อมความยาวข้อมูล")
        text = (self.headers.get("Content-Length") or "").strip()
        if not text.isascii() or not text.isdigit():
            self.close_connection = True
            raise Refused(411, "คำขอไม่ได้ระบุความยาวข้อมูล")
        length = int(text)
        if length > limit:
            self.close_connection = True
            if length <= DRAIN_LIMIT:
                remaining = length
                while remaining > 0:
                    chunk = self.rfile.read(min(remaining, 65536))
                    if not chunk:
                        break
                    remaining -= len(chunk)
            raise Refused(413, f"ข้อมูลที่ส่งมาใหญ่เกิน {limit // 1024:,} KB")
        body = self.rfile.read(length)
        if len(body) != length:
            self.close_connection = True
            raise Refused(400, "ได้รับข้อมูลไม่ครบ")
        return body

    def read_form(self):
        kind = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        body = self.read_body(FORM_LIMIT)
        if kind != "application/x-www-form-urlencoded":
            raise Refused(400, "รูปแบบข้อมูลของแบบฟอร์มไม่ถูกต้อง")
        try:
            pairs = urllib.parse.parse_qsl(body.decode("utf-8"), keep_blank_values=True,
                                           max_num_fields=50)
        except (UnicodeDecodeError, ValueError):
            raise Refused(400, "อ่านข้อมูลจากแบบฟอร์มไม่ได้") from None
        form = {}
        for key, value in pairs:
            form.setdefault(key, value)
        self.check_token(form.get("token", ""))
        return form

    # Responses.

    def send_page(self, status, page, headers=()):
        self.send_body(status, page.encode("utf-8"), "text/html; charset=utf-8", headers)

    def send_body(self, status, body, content_type, headers=()):
        self.send_response(status)
        for name, value in SECURITY_HEADERS:
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        if self.app.closing:
            self.close_connection = True
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def redirect(self, location):
        self.send_body(303, b"", "text/plain; charset=utf-8", (("Location", location),))

    def send_error(self, code, message=None, explain=None):
        self.close_connection = True
        title = STATUS_TITLES.get(code, "คำขอไม่ถูกต้อง")
        with contextlib.suppress(Exception):
            self.send_page(code, message_page(title, "เซิร์ฟเวอร์ไม่เข้าใจคำขอนี้"))

    def param(self, name, limit=200):
        return (self.query.get(name) or [""])[0][:limit]

    # Pages.

    def style(self):
        self.send_body(200, STYLE.encode("utf-8"), "text/css; charset=utf-8")

    def favicon(self):
        self.send_body(204, b"", "image/x-icon")

    def list_page(self):
        store = self.app.store
        query, category = one_line(self.param("q")), one_line(self.param("category", 100))
        sort = self.param("sort") if self.param("sort") in SORTS else "name"
        page_text = self.param("page", 6)
        page = int(page_text) if page_text.isascii() and page_text.isdigit() else 1
        page = max(page, 1)
        flash = self.app.take_flash(self.param("m", 40))
        rows, count, units, value = store.search(query, category, sort, page)
        here = list_url(query, category, sort, page)
        back = urllib.parse.quote(here, safe="")
        categories = store.categories()
        if category and category not in categories:
            categories.append(category)
        category_options = "".join(
            f'<option value="{esc(c)}"{" selected" if c == category else ""}>{esc(c)}</option>'
            for c in categories)
        sort_options = "".join(
            f'<option value="{key}"{" selected" if key == sort else ""}>{label}</option>'
            for key, (label, _) in SORTS.items())
        body = [
            "<h1>รายการสินค้า</h1>",
            '<form class="search" method="get" action="/" role="search">',
            f'<label>ค้นหา<input type="search" name="q" value="{esc(query)}" maxlength="200" '
            'placeholder="ชื่อ รหัส หมวดหมู่ หมายเหตุ"></label>',
            f'<label>หมวดหมู่<select name="category"><option value="">ทุกหมวดหมู่</option>'
            f"{category_options}</select></label>",
            f'<label>เรียงตาม<select name="sort">{sort_options}</select></label>',
            '<button type="submit">ค้นหา</button>',
            '<a class="button plain" href="/">ล้าง</a></form>',
        ]
        if count == 0 and not query and not category:
            body.append('<p class="warn">ยังไม่มีสินค้าในแคตตาล็อก '
                        '<a href="/items/new">เพิ่มสินค้าชิ้นแรก</a> หรือ '
                        '<a href="/import">นำเข้าจากไฟล์ CSV</a></p>')
        elif count == 0:
            body.append(f'<p class="warn">ไม่พบสินค้าที่ตรงกับ “{esc(query or category)}”</p>')
        else:
            body.append(f'<p class="summary">พบ {count:,} รายการ · รวม {units:,} ชิ้น · '
                        f'มูลค่ารวม {format_satang(value)} บาท</p>')
            body.append('<div class="table-wrap"><table><thead><tr><th>รหัสสินค้า</th>'
                        '<th>ชื่อสินค้า</th><th>หมวดหมู่</th><th class="num">ราคา (บาท)</th>'
                        '<th class="num">จำนวน</th><th class="wide">แก้ไขล่าสุด</th>'
                        '<th>จัดการ</th>'
                        "</tr></thead><tbody>")
            for row in rows:
                note = f'<div class="note">{esc(row["note"])}</div>' if row["note"] else ""
                quantity = ('<span class="out">หมด</span>' if row["quantity"] == 0
                            else f'{row["quantity"]:,}')
                body.append(
                    f'<tr id="item-{row["id"]}" data-code="{esc(row["code"])}">'
                    f'<td class="code">{esc(row["code"])}</td>'
                    f'<td>{esc(row["name"])}{note}</td>'
                    f'<td data-label="หมวดหมู่">{esc(row["category"])}</td>'
                    f'<td class="num" data-label="ราคา">{format_satang(row["price_satang"])}</td>'
                    f'<td class="num" data-label="จำนวน">{quantity}</td>'
                    f'<td class="wide"><time datetime="{esc(row["updated_at"])}">'
                    f'{esc(show_time(row["updated_at"]))}</time></td>'
                    f'<td class="actions"><a href="/items/{row["id"]}/edit?back={back}">แก้ไข</a>'
                    f'<a href="/items/{row["id"]}/delete?back={back}">ลบ</a></td></tr>')
            body.append("</tbody></table></div>")
            pages = (count + PAGE_SIZE - 1) // PAGE_SIZE
            if pages > 1:
                links = []
                if page > 1:
                    links.append(f'<a href="{esc(list_url(query, category, sort, page - 1))}" '
                                 f'rel="prev">ก่อนหน้า</a>')
                links.append(f"<span>หน้า {page:,} จาก {pages:,}</span>")
                if page < pages:
                    links.append(f'<a href="{esc(list_url(query, category, sort, page + 1))}" '
                                 f'rel="next">ถัดไป</a>')
                body.append(f'<nav class="pages" aria-label="หน้า">{"".join(links)}</nav>')
        self.send_page(200, layout("รายการสินค้า", "".join(body), "/", flash))

    def item_or_404(self, item_id):
        row = self.app.store.get(int(item_id))
        if row is None:
            raise Refused(404, "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        return row

    def form_page(self, status, title, action, raw, errors, submit, back, extra=""):
        form = item_form(action, raw, errors, self.app.token, back,
                         self.app.store.categories(), submit, extra)
        self.send_page(status, layout(title, f"<h1>{esc(title)}</h1>{form}",
                                      "/items/new" if action == "/items/new" else None))

    def new_page(self):
        self.form_page(200, "เพิ่มสินค้า", "/items/new", {"quantity": "0"}, {},
                       "บันทึก", safe_back(self.param("back", 2000)))

    def create(self):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        values, errors = clean_item(form)
        if not errors:
            try:
                self.app.store.create(values)
            except sqlite3.IntegrityError as error:
                field, text = constraint_message(error, values["code"])
                errors[field or "form"] = text
        if errors:
            self.form_page(422, "เพิ่มสินค้า", "/items/new", form, errors, "บันทึก", back)
            return
        key = self.app.flash("ok", f"เพิ่ม “{values['name']}” (รหัส {values['code']}) แล้ว")
        self.redirect(with_flash(back, key))

    def edit_page(self, item_id):
        row = self.item_or_404(item_id)
        self.form_page(200, "แก้ไขสินค้า", f"/items/{row['id']}/edit", item_raw(row), {},
                       "บันทึกการแก้ไข", safe_back(self.param("back", 2000)),
                       hidden("revision", row["revision"]))

    def update(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        values, errors = clean_item(form)
        revision = form.get("revision", "")
        revision = int(revision) if revision.isascii() and revision.isdigit() else -1
        action = f"/items/{int(item_id)}/edit"
        if not errors:
            try:
                outcome = self.app.store.update(int(item_id), revision, values)
            except sqlite3.IntegrityError as error:
                field, text = constraint_message(error, values["code"])
                errors[field or "form"] = text
            else:
                if outcome == "saved":
                    key = self.app.flash("ok", f"บันทึกการแก้ไข “{values['name']}” แล้ว")
                    self.redirect(with_flash(back, key))
                    return
                if outcome == "missing":
                    self.form_page(
                        409, "เพิ่มสินค้า", "/items/new", form,
                        {"form": "สินค้านี้ถูกลบไปแล้วระหว่างที่คุณแก้ไข ข้อมูลที่กรอกยังอยู่ "
                                 "กด “บันทึก” เพื่อเพิ่มเป็นสินค้าใหม่"}, "บันทึก", back)
                    return
                errors["form"] = ("มีการแก้ไขสินค้านี้จากที่อื่นหลังจากคุณเปิดแบบฟอร์ม "
                                  "ตรวจสอบข้อมูลแล้วกดบันทึกอีกครั้งเพื่อเขียนทับ")
        current = self.app.store.get(int(item_id))
        if current is not None:
            revision = current["revision"]
        status = 409 if "form" in errors and not set(errors) - {"form"} else 422
        self.form_page(status, "แก้ไขสินค้า", action, form, errors, "บันทึกการแก้ไข", back,
                       hidden("revision", revision))

    def delete_page(self, item_id):
        row = self.item_or_404(item_id)
        back = safe_back(self.param("back", 2000))
        details = (
            '<dl class="item">'
            f'<dt>รหัสสินค้า</dt><dd>{esc(row["code"])}</dd>'
            f'<dt>ชื่อสินค้า</dt><dd>{esc(row["name"])}</dd>'
            f'<dt>หมวดหมู่</dt><dd>{esc(row["category"]) or "-"}</dd>'
            f'<dt>ราคา</dt><dd>{format_satang(row["price_satang"])} บาท</dd>'
            f'<dt>จำนวน</dt><dd>{row["quantity"]:,}</dd>'
            f'<dt>สร้างเมื่อ</dt><dd>{esc(show_time(row["created_at"]))}</dd></dl>')
        body = (f"<h1>ลบสินค้า</h1>{details}"
                '<p class="warn">เมื่อลบแล้วจะกู้คืนไม่ได้ ต้องการลบสินค้านี้ใช่ไหม</p>'
                f'<form method="post" action="/items/{row["id"]}/delete" class="actions-row">'
                f'{hidden("token", self.app.token)}{hidden("back", back)}'
                '<button type="submit" class="danger">ลบสินค้านี้</button>'
                f'<a class="button plain" href="{esc(back)}">ยกเลิก</a></form>')
        self.send_page(200, layout("ลบสินค้า", body))

    def delete(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        row = self.app.store.delete(int(item_id))
        if row is None:
            key = self.app.flash("bad", "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        else:
            key = self.app.flash("ok", f"ลบ “{row['name']}” (รหัส {row['code']}) แล้ว")
        self.redirect(with_flash(back, key))

    def export(self):
        data = export_csv(self.app.store.export_rows())
        name = f"catalog-{datetime.date.today():%Y-%m-%d}.csv"
        self.send_body(200, data, "text/csv; charset=utf-8",
                       (("Content-Disposition", f'attachment; filename="{name}"'),))

    def import_page(self, errors=(), status=200):
        columns = "".join(
            f"<li><strong>{esc(header)}</strong> <span class=\"hint\">(หรือ {esc(aliases[0])})"
            f"</span></li>" for _, header, aliases in CSV_COLUMNS)
        problems = ""
        if errors:
            shown = "".join(
                f"<li>{'แถวที่ ' + format(n, ',') + ': ' if n else ''}{esc(text)}</li>"
                for n, text in errors[:200])
            more = (f"<p>และอีก {len(errors) - 200:,} จุด</p>" if len(errors) > 200 else "")
            problems = (f'<div class="errors" role="alert"><strong>ไม่ได้นำเข้าข้อมูลใด ๆ '
                        f'เพราะพบข้อผิดพลาด {len(errors):,} จุด</strong><ul>{shown}</ul>'
                        f"{more}</div>")
        body = (
            f"<h1>นำเข้าสินค้าจากไฟล์ CSV</h1>{problems}"
            '<form class="item" method="post" action="/import" enctype="multipart/form-data">'
            f'{hidden("token", self.app.token)}'
            '<label>ไฟล์ CSV<input type="file" name="file" accept=".csv,text/csv" required>'
            f'<span class="hint">ไม่เกิน {IMPORT_LIMIT // (1024 * 1024)} MB</span></label>'
            '<div class="actions-row"><button type="submit">นำเข้า</button>'
            '<a class="button plain" href="/">ยกเลิก</a></div></form>'
            "<h2>รูปแบบไฟล์</h2>"
            "<p>ไฟล์ CSV แบบ UTF-8 (เช่น “CSV UTF-8” ในโปรแกรมตารางคำนวณ) แถวแรกเป็นหัวตาราง "
            "ใช้ชื่อคอลัมน์ตามไฟล์ที่ส่งออกจากหน้านี้ เรียงลำดับใดก็ได้:</p>"
            f"<ul>{columns}</ul>"
            "<p>ต้องมีคอลัมน์รหัสสินค้า สินค้าที่มีรหัสอยู่แล้วจะถูกปรับปรุงตามคอลัมน์ที่มีในไฟล์ "
            "รหัสใหม่จะถูกเพิ่มเป็นสินค้าใหม่ (ต้องมีชื่อและราคา) "
            "สินค้าที่ไม่อยู่ในไฟล์จะไม่ถูกลบ คอลัมน์เวลาใช้เฉพาะกับสินค้าใหม่</p>"
            "<p>ระบบตรวจทุกแถวก่อนบันทึก หากพบข้อผิดพลาดแม้แถวเดียว จะไม่บันทึกข้อมูลใด ๆ "
            "และแสดงหมายเลขแถวที่ต้องแก้ไข</p>")
        self.send_page(status, layout("นำเข้า CSV", body, "/import"))

    def import_csv(self):
        kind = self.headers.get("Content-Type") or ""
        body = self.read_body(IMPORT_LIMIT)
        if kind.split(";")[0].strip().lower() != "multipart/form-data":
            raise Refused(400, "กรุณาส่งไฟล์จากแบบฟอร์มนำเข้า")
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + kind.encode("latin-1") + b"\r\n\r\n" + body)
        parts = {}
        if message.is_multipart():
            for part in message.iter_parts():
                name = part.get_param("name", header="content-disposition")
                if name and name not in parts:
                    parts[name] = part.get_payload(decode=True) or b""
        self.check_token(parts.get("token", b"").decode("utf-8", "replace"))
        data = parts.get("file", b"")
        if not data.strip():
            self.import_page([(None, "กรุณาเลือกไฟล์ CSV ที่มีข้อมูล")], 422)
            return
        rows, errors, ignored = read_csv(data)
        try:
            counts = self.app.store.upsert(rows, errors)
        except ImportRejected as rejected:
            self.import_page(rejected.errors, 422)
            return
        except sqlite3.IntegrityError as error:
            self.import_page([(None, constraint_message(error, "")[1])], 422)
            return
        text = (f"นำเข้าเรียบร้อย: เพิ่มใหม่ {counts['added']:,} รายการ · "
                f"ปรับปรุง {counts['updated']:,} รายการ · ไม่เปลี่ยนแปลง {counts['same']:,} รายการ")
        if ignored:
            text += " · ข้ามคอลัมน์ที่ไม่รู้จัก: " + ", ".join(ignored)
        self.redirect(with_flash("/", self.app.flash("ok", text)))


class CatalogServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, port, app):
        self.app = app
        super().__init__(("127.0.0.1", port), Handler)

    def server_bind(self):
        # The base class looks up the host's name, which can stall on a broken resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = "127.0.0.1", self.server_address[1]

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def parse_port(text):
    if text == "":
        return DEFAULT_PORT
    if text.isascii() and text.isdigit() and int(text) <= 65535:
        return int(text)
    raise StartupError(f"พอร์ต “{text}” ไม่ถูกต้อง ต้องเป็นตัวเลข 0 ถึง 65535",
                       f"Invalid port “{text}”: it must be a number from 0 to 65535")


def bind(port, app):
    try:
        return CatalogServer(port, app)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            raise StartupError(f"พอร์ต {port} ถูกใช้งานอยู่แล้ว",
                               f"Port {port} is already in use") from None
        if error.errno == errno.EACCES:
            raise StartupError(f"ไม่มีสิทธิ์ใช้พอร์ต {port}",
                               f"Not allowed to use port {port}") from None
        raise StartupError(f"เปิดพอร์ต {port} ไม่ได้ ({error.strerror})",
                           f"Cannot listen on port {port} ({error.strerror})") from None


def watch_parent(stop):
    parent = STARTING_PARENT
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


def serve(args):
    stop = threading.Event()

    # Only a plain flag here: Event.set from a handler can deadlock on the lock
    # the interrupted main thread may hold.
    signalled = []

    def on_signal(number, frame):
        signalled.append(number)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.exit_with_parent:
        watch_parent(stop)
    os.umask(0o077)

    store = None
    try:
        port = parse_port(args.port)
        if args.db == "":
            raise StartupError("ไม่ได้ระบุไฟล์ฐานข้อมูลหลัง --db",
                               "No database file given after --db")
        path = os.path.abspath(args.db if args.db is not None else DEFAULT_DB)
        store = Store(path)
        app = App(store)
        server = bind(port, app)
    except StartupError as error:
        if store is not None:
            store.close()
        sys.stderr.write(f"{error}\n")
        return 1
    app.port = server.server_address[1]

    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              name="http", daemon=True)
    worker.start()
    url = f"http://127.0.0.1:{app.port}/"
    if not signalled and not stop.is_set():
        with contextlib.suppress(OSError):
            os.write(1, f"{url}\n".encode("ascii"))
        if not args.no_browser:
            threading.Thread(target=open_browser, args=(url,), daemon=True).start()

    while not signalled and not stop.is_set():
        time.sleep(0.1)
    app.drain(REQUEST_GRACE_SECONDS)
    server.shutdown()
    server.server_close()
    store.close()
    return 0


def main(argv=None):
    args = parser().parse_args(argv)
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
