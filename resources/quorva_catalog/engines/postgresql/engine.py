"""The shared engine: one catalog in a PostgreSQL database that any number of servers use at
once, behind engines/base.Engine."""

import contextlib
import threading

import psycopg

from ...catalog.errors import (BackupError, CatalogChanged, CatalogError, ItemMissing,
                               StaleRevision, Unavailable)
from ...text import code_key, marked_columns_of, thai_sort_key
from .. import redacted
from ..base import Engine
from ..sqlite.migrations import BINNED
from . import copies, schema, search
from .bulk import PostgreSQLImport
from .connection import Pool, refused

SNAPSHOT = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
# A single statement is a transaction of its own: no BEGIN and COMMIT to wait for.
READ = None
EDITED = ("code", "name", "category", "price_satang", "quantity", "note", "search_text",
          "search_bare", "sort_key")
LARGEST_ID = 2 ** 63 - 1


def edited(values):
    return (values["code"], values["name"], values["category"], values["price_satang"],
            values["quantity"], values["note"],
            *(column[0] for column in marked_columns_of(
                [values["code"]], [values["name"]], [values["category"]], [values["note"]])))


def one(conn, sql, params=()):
    return conn.execute(sql, params).fetchone()


def to_bin(conn, item_id, now):
    """The item moved to the bin in the caller's transaction: its entry, or None."""
    listed = ", ".join(BINNED)
    return one(conn, f"WITH gone AS (DELETE FROM items WHERE id = %s RETURNING {listed}) "
                     f"INSERT INTO deleted_items ({listed}, deleted_at) "
                     f"SELECT {listed}, %s FROM gone RETURNING *", (item_id, now))


class PostgreSQLEngine(Engine):
    def __init__(self, url, folder):
        self.url, self.folder = url, folder
        self.pool = Pool(url)
        self.ready = False

    def describe(self):
        return redacted(self.url)

    def open(self):
        def prepare(conn):
            return schema.prepare(conn, self.describe())
        if self.pool.run(prepare, begin=None):
            # Every row was written again: the old versions go, and index-only reads return.
            self.settle()
        self.ready = True

    def close(self):
        self.pool.close()

    def run(self, work, begin="BEGIN", code=None):
        # A database that was away at start is checked and migrated once it is back.
        if not self.ready:
            self.open()
        return self.pool.run(work, begin, code)

    def get(self, item_id):
        if not 0 < item_id <= LARGEST_ID:
            return None
        return self.run(lambda conn: one(conn, "SELECT * FROM items WHERE id = %s",
                                         (item_id,)), READ)

    def find_code(self, codes):
        keys = [code_key(code) for code in codes]
        rows = self.run(lambda conn: conn.execute(
            "SELECT * FROM items WHERE code_nocase = ANY(%s)", (keys,)).fetchall(), READ)
        rows.sort(key=lambda row: keys.index(row["code_nocase"]))
        return rows[0] if rows else None

    def categories(self):
        found = self.run(lambda conn: [row["category"] for row in conn.execute(
            "SELECT category FROM item_categories WHERE category <> ''")], READ)
        return sorted(found, key=lambda category: (thai_sort_key(category), category))

    def lookalike_items(self):
        return self.run(lambda conn: conn.execute(
            "SELECT * FROM items WHERE id IN (SELECT item_id FROM code_lookalikes) "
            "ORDER BY id").fetchall(), READ)

    def search(self, plan):
        return self.run(lambda conn: search.search(conn, plan), SNAPSHOT)

    def export_rows(self):
        def rows(conn):
            # As COPY's text, which the driver hands over unread, rather than value by value.
            with conn.cursor().copy("COPY (SELECT code, name, category, price_satang, quantity, "
                                    "note, created_at, updated_at FROM items "
                                    "ORDER BY code_nocase) TO STDOUT") as copy:
                yield from copies.copied_rows(copy)
        return self.streamed(rows)

    def streamed(self, rows):
        """The rows `rows(conn)` yields, read in one snapshot on a connection of their own, so
        that changes go on meanwhile."""
        if not self.ready:
            self.open()
        conn = self.pool.connect()
        try:
            conn.execute(SNAPSHOT)
            yield from rows(conn)
            conn.execute("COMMIT")
        except psycopg.Error as error:
            raise (refused(error) or Unavailable("unreachable")) from None
        finally:
            conn.close()

    def stamp(self):
        return [self.run(lambda conn: one(conn, "SELECT changes FROM catalog_changes")["changes"],
                         READ)]

    def is_empty(self):
        return self.run(lambda conn: one(conn, "SELECT NOT EXISTS (SELECT 1 FROM items) AND "
                                               "NOT EXISTS (SELECT 1 FROM deleted_items) AS e")
                        ["e"], READ)

    def size(self):
        return self.run(lambda conn: one(conn, "SELECT pg_relation_size('items') AS size")
                        ["size"], READ)

    def create(self, values, now):
        return self.run(lambda conn: one(
            conn, f"INSERT INTO items ({', '.join(EDITED)}, created_at, updated_at) VALUES "
                  f"({', '.join(['%s'] * (len(EDITED) + 2))}) RETURNING id",
            (*edited(values), now, now))["id"], code=values["code"])

    def update(self, item_id, revision, values, now):
        def save(conn):
            # The revision is checked by the statement that writes: of two servers saving at
            # once, the second finds the first's revision and changes nothing.
            saved = one(conn, f"UPDATE items SET ({', '.join(EDITED)}, updated_at, revision) = "
                              f"({', '.join(['%s'] * len(EDITED))}, %s, revision + 1) "
                              f"WHERE id = %s AND revision = %s RETURNING id",
                        (*edited(values), now, item_id, revision))
            if saved is None:
                if one(conn, "SELECT 1 FROM items WHERE id = %s", (item_id,)) is None:
                    raise ItemMissing()
                raise StaleRevision()
        if not 0 < item_id <= LARGEST_ID:
            raise ItemMissing()
        self.run(save, code=values["code"])

    def delete(self, item_id, now):
        if not 0 < item_id <= LARGEST_ID:
            return None
        return self.run(lambda conn: to_bin(conn, item_id, now))

    def binned(self, offset, limit):
        def read(conn):
            return (one(conn, "SELECT count(*) AS n FROM deleted_items")["n"], conn.execute(
                "SELECT * FROM deleted_items ORDER BY entry DESC LIMIT %s OFFSET %s",
                (limit, offset)).fetchall())
        return self.run(read, SNAPSHOT)

    def binned_entry(self, entry):
        if not 0 < entry <= LARGEST_ID:
            return None
        return self.run(lambda conn: one(conn, "SELECT * FROM deleted_items WHERE entry = %s",
                                         (entry,)), READ)

    def bring_back(self, entry, now, code=None, displace=False):
        def move(conn):
            # Locked, so that two tills bringing one entry back bring it once.
            row = one(conn, "DELETE FROM deleted_items WHERE entry = %s RETURNING *", (entry,))
            if row is None:
                raise ItemMissing()
            values = {key: row[key] for key in EDITED[:6]}
            values["code"] = code if code is not None else values["code"]
            displaced = None
            if displace:
                holder = one(conn, "SELECT id FROM items WHERE code_nocase = %s",
                             (code_key(values["code"]),))
                displaced = to_bin(conn, holder["id"], now) if holder else None
            # The old id while no other item has it, so that its links find it again.
            taken = one(conn, "SELECT 1 FROM items WHERE id = %s", (row["id"],))
            columns = (*EDITED, "created_at", "updated_at", "revision") + (
                () if taken else ("id",))
            given = (*edited(values), row["created_at"],
                     row["updated_at"] if code is None else now, row["revision"]) + (
                () if taken else (row["id"],))
            return one(conn, f"INSERT INTO items ({', '.join(columns)}) VALUES "
                             f"({', '.join(['%s'] * len(columns))}) RETURNING id",
                       given)["id"], displaced
        if not 0 < entry <= LARGEST_ID:
            raise ItemMissing()
        return self.run(move, code=code or "")

    def empty_bin(self, entries=None, upto=None):
        def remove(conn):
            if entries is None:
                return conn.execute("DELETE FROM deleted_items WHERE entry <= %s",
                                    (upto if upto is not None else LARGEST_ID,)).rowcount
            return conn.execute("DELETE FROM deleted_items WHERE entry = ANY(%s)",
                                ([e for e in entries if 0 < e <= LARGEST_ID],)).rowcount
        return self.run(remove)

    @contextlib.contextmanager
    def importing(self, stamp=None):
        with self.held("LOCK TABLE items IN SHARE ROW EXCLUSIVE MODE") as conn:
            if stamp is not None and list(stamp) != [
                    one(conn, "SELECT changes FROM catalog_changes")["changes"]]:
                raise CatalogChanged()
            session = PostgreSQLImport(conn)
            yield session
        if session.settle:
            self.settle()

    def settle(self):
        """Vacuums the items after many rows came at once, in the background: until then
        pages deep in a list read every row they skip, where the index alone would do."""
        def vacuum():
            with contextlib.suppress(psycopg.Error, CatalogError):
                with contextlib.closing(self.pool.connect()) as conn:
                    conn.execute("VACUUM (ANALYZE) items")
        threading.Thread(target=vacuum, name="vacuum", daemon=True).start()

    @contextlib.contextmanager
    def held(self, first=None):
        """A transaction on a connection of its own for as long as the block runs, committed
        when it ends normally; other servers read meanwhile."""
        if not self.ready:
            self.open()
        conn = self.pool.connect()
        try:
            conn.execute("BEGIN")
            if first:
                conn.execute(first)
            yield conn
            conn.execute("COMMIT")
        except psycopg.Error as error:
            mapped = refused(error)
            if mapped is None:
                raise
            raise mapped from None
        finally:
            conn.close()

    def write_copy(self, target):
        self.copying("ทำสำเนาฐานข้อมูลไม่สำเร็จ", lambda conn: copies.write_copy(conn, target))

    def compare_copy(self, path):
        return self.copying("อ่านสำเนาเพื่อเปรียบเทียบไม่สำเร็จ",
                            lambda conn: copies.compare_copy(conn, path))

    def copying(self, thai, work):
        try:
            return self.run(work, SNAPSHOT)
        except (CatalogError, OSError):
            raise
        except Exception:
            raise BackupError(thai) from None

    def replace_with_copy(self, path):
        with self.held() as conn:
            copies.replace_with_copy(conn, path)
        self.settle()

    @contextlib.contextmanager
    def daily_claim(self, day):
        # An empty catalog has no snapshot to take: the day stays open for when it has items.
        with self.held() as conn:
            yield one(conn, "INSERT INTO daily_snapshots (day) SELECT %s WHERE EXISTS "
                            "(SELECT 1 FROM items) OR EXISTS (SELECT 1 FROM deleted_items) "
                            "ON CONFLICT DO NOTHING RETURNING day", (day,)) is not None
