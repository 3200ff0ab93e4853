"""The whole catalog at once in SQLite: its rows for an export, and an import's session."""

import contextlib
import functools
import itertools
import sqlite3
import urllib.parse

from ...text import item_columns, item_columns_of
from ..base import ImportSession
from .database import CACHE
from .migrations import fill_search_and_categories, item_count, number_places
from .places import RENUMBERED, place_new

INSERT_ITEMS = ("INSERT INTO items (code, name, category, price_satang, quantity, note, "
                "search_bare, sort_key, created_at, updated_at, id, revision, place) VALUES ")
# The place of a row that every place is numbered again after: it takes as many bytes as the
# numbers of some thirty million rows will, so numbering rewrites each row in its own room
# rather than growing it out of a full page.
UNNUMBERED = (1 << 31) - 1
# An item whose name or code moves it in name order loses its place until it gets a new one.
UPDATE_ITEM = ("UPDATE items SET code = ?1, name = ?2, category = ?3, price_satang = ?4, "
               "quantity = ?5, note = ?6, search_bare = ?7, sort_key = ?8, updated_at = ?9, "
               "revision = revision + 1, place = CASE WHEN sort_key = ?8 AND code = ?1 "
               "THEN place END WHERE id = ?10")
VALUES = ("code", "name", "category", "price_satang", "quantity", "note")
# The values the search text is folded from, in item_columns_of's order.
WORDED = ("code", "name", "category", "note")


def export_rows(path):
    """Every item in code order, from one committed state, read through a connection of its
    own, so that saving goes on meanwhile."""
    conn = sqlite3.connect(f"file:{urllib.parse.quote(path)}?mode=ro", uri=True,
                           isolation_level=None, check_same_thread=False, timeout=5)
    try:
        conn.execute("BEGIN")
        yield from conn.execute(
            "SELECT code, name, category, price_satang, quantity, note, created_at, "
            "updated_at FROM items ORDER BY code COLLATE NOCASE")
        conn.execute("COMMIT")
    finally:
        conn.close()


def insert_many(conn, rows, item_id=None, revision=1, place=None):
    """New items from columns of values (ImportSession.insert_many), in their order; one
    brought back from the bin may keep its id and revision."""
    codes, names, categories, notes = (rows[k] for k in ("code", "name", "category", "note"))
    # Past 16 rows a statement as wide as this costs more than it saves.
    insert_rows(conn, INSERT_ITEMS, 13, list(itertools.chain.from_iterable(zip(
        codes, names, categories, rows["price_satang"], rows["quantity"], notes,
        *item_columns_of(codes, names, categories, notes), rows["created_at"],
        rows["updated_at"], [item_id] * len(codes), [revision] * len(codes),
        [place] * len(codes)))), at_once=16)


def insert_rows(conn, insert, width, values, at_once=64, then=""):
    """`values`, row after row of `width` each, inserted through `insert` (up to its VALUES,
    `then` after them) `at_once` rows a statement: each run of a statement costs about what a
    row does."""
    step = at_once * width
    whole = len(values) - len(values) % step
    if whole:
        conn.executemany(inserting(insert, width, at_once, then),
                         (values[i:i + step] for i in range(0, whole, step)))
    if whole < len(values):
        conn.execute(inserting(insert, width, (len(values) - whole) // width, then),
                     values[whole:])


@functools.lru_cache(maxsize=256)
def inserting(insert, width, count, then):
    return insert + ", ".join(["(" + ", ".join(["?"] * width) + ")"] * count) + then


def update_items(conn, updates, now):
    """update_item of each (item id, values, changed keys), in their order: each run of rows
    that change the same columns shares a statement that sets only those, so a new price
    leaves the other columns' indexes alone, and the search text and name-order key are
    derived, a column at a time, only for rows whose words changed."""
    worded = [i for i, (_, _, changed) in enumerate(updates)
              if any(key in changed for key in WORDED)]
    derived = dict(zip(worded, zip(*item_columns_of(*(
        [updates[i][1][key] for i in worded] for key in WORDED)))))
    for changed, run in itertools.groupby(
            enumerate(updates), lambda entry: frozenset(entry[1][2])):
        columns = tuple(key for key in VALUES if key in changed)
        conn.executemany(updating(columns, any(key in changed for key in WORDED)), (
            [*(values[key] for key in columns), *derived.get(i, ()), now, item_id]
            for i, (item_id, values, _) in run))


@functools.lru_cache(maxsize=64)
def updating(columns, worded):
    """UPDATE_ITEM setting only `columns`, and the derived ones where `worded`."""
    sets = [f"{column} = ?{n}" for n, column in enumerate(columns, 1)]
    if worded:
        key = len(columns) + 2
        # As in UPDATE_ITEM: the place is kept while the name-order key and the code, as
        # the index compares it, stay as they were.
        code = f" AND code = ?{columns.index('code') + 1}" if "code" in columns else ""
        sets += [f"search_bare = ?{key - 1}", f"sort_key = ?{key}",
                 f"place = CASE WHEN sort_key = ?{key}{code} THEN place END"]
    count = len(columns) + 2 * worded
    return (f"UPDATE items SET {', '.join(sets)}, updated_at = ?{count + 1}, "
            f"revision = revision + 1 WHERE id = ?{count + 2}")


def update_item(conn, item_id, values, now):
    conn.execute(UPDATE_ITEM, (*(values[k] for k in VALUES), *item_columns(
        *(values[k] for k in WORDED)), now, item_id))


class SQLiteImport(ImportSession):
    """The codes this file has given so far, as SQLite compares them, with their rows, and
    those of the batch in hand, in temporary tables of the one connection."""

    def __init__(self, conn):
        self.conn = conn
        conn.execute("CREATE TEMP TABLE IF NOT EXISTS imported (code TEXT PRIMARY KEY "
                     "COLLATE NOCASE, number INTEGER NOT NULL) WITHOUT ROWID")
        conn.execute("CREATE TEMP TABLE IF NOT EXISTS batch (number INTEGER PRIMARY "
                     "KEY, code TEXT NOT NULL COLLATE NOCASE)")

    @contextlib.contextmanager
    def held(self):
        conn = self.conn
        # Into an empty catalog only the file's own codes can be there already, and its
        # indexes and triggers are built once at the end rather than row by row.
        self.empty = conn.execute("SELECT NOT EXISTS (SELECT 1 FROM items)").fetchone()[0]
        self.derived = self.unindexed() if self.empty else []
        # An import into an empty catalog reads each page about once, and its sorts would
        # take the searches' cache; changes to stored items meet their indexes' pages again.
        if self.empty:
            conn.execute("PRAGMA cache_size = -2000")
        # Past this many rows written, the rest go in unindexed too: a row's upkeep of every
        # index costs about what building them costs for five rows of the catalog.
        self.unindexed_past = max(RENUMBERED, item_count(conn) // 8)
        self.written = 0
        try:
            yield self
        finally:
            conn.execute(f"PRAGMA cache_size = {CACHE}")
            conn.execute("DELETE FROM imported")
            conn.execute("DELETE FROM batch")

    def unindexed(self):
        """Drops the items' indexes but the code's, which finds them, and their triggers;
        (type, name, sql) of each, for finish() to make again."""
        derived = self.conn.execute(
            "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = 'items' AND "
            "type IN ('index', 'trigger') AND sql IS NOT NULL").fetchall()
        for kind, name, _ in derived:
            self.conn.execute(f'DROP {kind} "{name}"')
        return derived

    def wrote(self, count):
        self.written += count
        if self.written > self.unindexed_past and not self.derived:
            self.derived = self.unindexed()

    def claim_codes(self, numbers, codes):
        conn = self.conn
        if self.empty:
            # With no item to compare with, the batch's codes are claimed straight away, and
            # only when some code was given before is the batch looked at again.
            claimed = conn.total_changes
            insert_rows(conn, "INSERT INTO imported VALUES ", 2,
                        list(itertools.chain.from_iterable(zip(codes, numbers))),
                        then=" ON CONFLICT (code) DO NOTHING")
            if conn.total_changes - claimed == len(numbers):
                return []
        conn.execute("DELETE FROM batch")
        insert_rows(conn, "INSERT INTO batch VALUES ", 2,
                    list(itertools.chain.from_iterable(zip(numbers, codes))))
        conn.execute("INSERT INTO imported SELECT code, number FROM batch WHERE true "
                     "ORDER BY number ON CONFLICT (code) DO NOTHING")
        return conn.execute(
            "SELECT batch.number, imported.number FROM batch JOIN imported "
            "ON imported.code = batch.code WHERE imported.number != batch.number").fetchall()

    def existing(self, numbers, codes):
        # The batch table holds the codes claim_codes was given last.
        return {row[-1]: row for row in self.conn.execute(
            "SELECT items.*, batch.number FROM batch JOIN items ON items.code = batch.code")}

    def insert_many(self, rows):
        self.wrote(len(rows["code"]))
        insert_many(self.conn, rows, place=UNNUMBERED if self.derived else None)

    def update_many(self, updates, now):
        self.wrote(len(updates))
        update_items(self.conn, updates, now)

    def finish(self):
        if self.derived:
            if not self.empty:
                self.conn.execute("DELETE FROM items_categories")
                self.conn.execute("INSERT INTO items_search (items_search) VALUES ('delete-all')")
            # Before the indexes: summing by category then reads the table in order, where
            # an index would send it to every row's page in turn.
            number_places(self.conn)
            fill_search_and_categories(self.conn)
        for _, _, sql in self.derived:
            self.conn.execute(sql)
        if not self.derived:
            place_new(self.conn)
