"""The embedded engine: the catalog in one SQLite file, behind engines/base.Engine."""

import contextlib
import os
import sqlite3

from ...catalog.errors import (BackupError, CatalogChanged, DuplicateCode, InvalidValues,
                               ItemMissing, NoRoom, StaleRevision)
from ..base import Engine
from . import copies
from .bulk import SQLiteImport, export_rows, insert_many, update_item
from .database import Database
from .places import place_new
from .search import Search

SQLITE_FULL = 13


@contextlib.contextmanager
def refusals(code=""):
    """SQLite's refusals of a change as the catalog's own errors."""
    try:
        yield
    except sqlite3.IntegrityError as error:
        text = str(error)
        if "UNIQUE" in text and "code" in text:
            raise DuplicateCode(code) from None
        raise InvalidValues() from None
    except sqlite3.OperationalError as error:
        if getattr(error, "sqlite_errorcode", None) == SQLITE_FULL:
            raise NoRoom() from None
        raise


@contextlib.contextmanager
def copy_failures(thai):
    try:
        yield
    except sqlite3.Error:
        raise BackupError(thai) from None


class SQLiteEngine(Engine):
    def __init__(self, path):
        self.path = path
        self.folder = os.path.dirname(path)
        self.database = None

    def describe(self):
        return self.path

    def open(self):
        self.database = Database(self.path)

    def close(self):
        self.database.close()

    @property
    def lock(self):
        return self.database.lock

    @property
    def files(self):
        return self.database.files

    def read(self, sql, params=()):
        return self.database.read(sql, params)

    def get(self, item_id):
        rows = self.read("SELECT * FROM items WHERE id = ?", (item_id,))
        return rows[0] if rows else None

    def find_code(self, codes):
        order = ", ".join(["code = ? DESC"] * (len(codes) - 1)) or "id"
        rows = self.read(f"SELECT * FROM items WHERE code IN ({', '.join('?' * len(codes))}) "
                         f"ORDER BY {order} LIMIT 1", (*codes, *codes[:-1]))
        return rows[0] if rows else None

    def categories(self):
        return [row[0] for row in self.read(
            "SELECT category FROM items_categories WHERE category != '' "
            "ORDER BY category COLLATE thai")]

    def lookalike_items(self):
        # Read from the few listed ids: a join ordered by the items' id walks every item.
        return self.read("SELECT * FROM items WHERE id IN "
                         "(SELECT item_id FROM code_lookalikes) ORDER BY id")

    def search(self, plan):
        with self.lock:
            return Search(self.database.conn, plan).run()

    def export_rows(self):
        return export_rows(self.path)

    def stamp(self):
        """Changes the moment anything in the catalog does: this connection is its only
        writer, and a restore opens another."""
        with self.lock:
            return [id(self.database.conn), self.database.conn.total_changes]

    def is_empty(self):
        return self.read("SELECT NOT EXISTS (SELECT 1 FROM items)")[0][0] == 1

    def size(self):
        return sum(os.path.getsize(name) for name in (self.path, self.path + "-wal")
                   if os.path.exists(name))

    def create(self, values, now):
        rows = {key: [value] for key, value in values.items()}
        with refusals(values.get("code", "")), self.database.transaction() as conn:
            insert_many(conn, {**rows, "created_at": [now], "updated_at": [now]})
            item_id = conn.execute("SELECT last_insert_rowid()").fetchone()[0]
            place_new(conn)
            return item_id

    def update(self, item_id, revision, values, now):
        with refusals(values.get("code", "")), self.database.transaction() as conn:
            row = conn.execute("SELECT revision FROM items WHERE id = ?", (item_id,)).fetchone()
            if row is None:
                raise ItemMissing()
            if row[0] != revision:
                raise StaleRevision()
            update_item(conn, item_id, values, now)
            place_new(conn)

    def delete(self, item_id):
        with refusals(), self.database.transaction() as conn:
            row = conn.execute("SELECT * FROM items WHERE id = ?", (item_id,)).fetchone()
            if row is not None:
                conn.execute("DELETE FROM items WHERE id = ?", (item_id,))
            return row

    @contextlib.contextmanager
    def importing(self, stamp=None):
        with self.lock:
            if stamp is not None and list(stamp) != self.stamp():
                raise CatalogChanged()
            session = SQLiteImport(self.database.conn)
            with refusals(), self.database.transaction(), session.held():
                yield session

    def write_copy(self, target):
        with refusals(), copy_failures("ทำสำเนาฐานข้อมูลไม่สำเร็จ"):
            copies.write_copy(self, target)

    def compare_copy(self, path):
        with refusals(), copy_failures("อ่านสำเนาเพื่อเปรียบเทียบไม่สำเร็จ"):
            return copies.compare_copy(self, path)

    def replace_with_copy(self, path):
        with refusals(), copy_failures("ฐานข้อมูลกำลังถูกใช้งานอยู่ กรุณาลองใหม่อีกครั้ง"):
            self.database.replace_file(path)
