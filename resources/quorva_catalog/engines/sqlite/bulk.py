"""The whole catalog at once: its rows for an export, and the all-or-nothing import."""

import bisect
import sqlite3
import urllib.parse

from .migrations import fill_search_and_categories
from .text import FIELD_LABELS, search_columns_of, utc_now


class Bulk:
    """What Store does with every item at once; its single-item writes come from Store."""

    def export_rows(self):
        """Every item in code order, from one committed state, read through a connection of
        its own, so that saving goes on meanwhile."""
        conn = sqlite3.connect(f"file:{urllib.parse.quote(self.path)}?mode=ro", uri=True,
                               isolation_level=None, check_same_thread=False, timeout=5)
        try:
            conn.execute("BEGIN")
            yield from conn.execute(
                "SELECT code, name, category, price_satang, quantity, note, created_at, "
                "updated_at FROM items ORDER BY code COLLATE NOCASE")
            conn.execute("COMMIT")
        finally:
            conn.close()

    def stamp(self):
        """Changes the moment anything in the catalog does: this connection is its only
        writer, and a restore opens another."""
        with self.lock:
            return id(self.conn), self.conn.total_changes

    def upsert(self, batches, errors, preview=False, overwrite_older=False, stamp=None,
               snapshot=None):
        """All rows or none: the rows of each Batch from batches.read_batches are written as
        they come, in one transaction that any error, found here or by the reader, undoes.
        `errors` gets every problem in row order.

        A row dated before the stored item's last change is left as it is unless
        `overwrite_older`. With `preview`, a file that would change existing items is not
        written: the result holds what it would change and the catalog's stamp. With `stamp`,
        CatalogChanged when the catalog is no longer as it was then. `snapshot` is called
        just before the commit, unless the catalog was empty."""
        result = {"added": 0, "updated": 0, "same": 0, "older": 0, "changes": [],
                  "written": True, "snapshot": None, "overwrote": overwrite_older}
        with self.lock:
            if stamp is not None and tuple(stamp) != self.stamp():
                raise CatalogChanged()
            # The codes this file has given so far, as SQLite compares them, with their rows;
            # and those of the batch in hand.
            self.conn.execute("CREATE TEMP TABLE IF NOT EXISTS imported (code TEXT PRIMARY KEY "
                              "COLLATE NOCASE, number INTEGER NOT NULL) WITHOUT ROWID")
            self.conn.execute("CREATE TEMP TABLE IF NOT EXISTS batch (number INTEGER PRIMARY "
                              "KEY, code TEXT NOT NULL COLLATE NOCASE)")
            try:
                with self.transaction() as conn:
                    empty = self._upsert_rows(conn, batches, errors, result, overwrite_older)
                    if preview and (result["updated"] or result["older"]):
                        result["written"] = False
                        raise Unwritten()
                    written = result["added"] or result["updated"] or (
                        result["older"] and overwrite_older)
                    if snapshot is not None and written and not empty:
                        result["snapshot"] = snapshot()
            except Unwritten:
                result["stamp"] = self.stamp()
        return result

    def _upsert_rows(self, conn, batches, errors, counts, overwrite_older):
        # Into an empty catalog only the file's own codes can be there already, and its
        # indexes and triggers are built once at the end rather than row by row.
        empty = conn.execute("SELECT NOT EXISTS (SELECT 1 FROM items)").fetchone()[0]
        derived = conn.execute(
            "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = 'items' AND "
            "type IN ('index', 'trigger') AND sql IS NOT NULL AND ?", (empty,)).fetchall()
        for kind, name, _ in derived:
            conn.execute(f'DROP {kind} "{name}"')
        try:
            for batch in batches:
                self._upsert_batch(conn, batch, errors, counts, overwrite_older, empty)
        finally:
            conn.execute("DELETE FROM imported")
            conn.execute("DELETE FROM batch")
        if errors:
            raise ImportRejected(errors)
        if derived:
            # Before the indexes: summing by category then reads the table in order, where
            # the category index would send it to every row's page in turn.
            fill_search_and_categories(conn)
        for _, _, sql in derived:
            conn.execute(sql)
        return empty

    def _upsert_batch(self, conn, batch, errors, counts, overwrite_older, empty):
        """One batch's rows checked together, and written unless some row so far has a
        problem; the rows before a batch's first problem are written as a row-by-row import
        would, so that a database's own refusal of one of them is met as it was."""
        columns, numbers = batch.columns, batch.numbers
        if not numbers:
            for problem in batch.problems:
                errors.append(problem)
            return
        codes = columns["code"]
        conn.execute("DELETE FROM batch")
        conn.executemany("INSERT INTO batch VALUES (?, ?)", zip(numbers, codes))
        conn.execute("INSERT INTO imported SELECT code, number FROM batch WHERE true "
                     "ORDER BY number ON CONFLICT (code) DO NOTHING")
        index = {number: i for i, number in enumerate(numbers)}
        problems = [(number, f"รหัส “{codes[index[number]]}” ซ้ำกับแถวที่ {first}")
                    for number, first in conn.execute(
                        "SELECT batch.number, imported.number FROM batch JOIN imported "
                        "ON imported.code = batch.code WHERE imported.number != batch.number")]
        repeated = {number for number, _ in problems}
        found = {} if empty else {row[-1]: row for row in conn.execute(
            "SELECT items.*, batch.number FROM batch JOIN items ON items.code = batch.code")}
        missing = [FIELD_LABELS[f] for f, key in (("name", "name"), ("price", "price_satang"))
                   if key not in columns]
        if missing:
            problems += [(number, f"รหัส “{codes[index[number]]}” ยังไม่มีในแคตตาล็อก "
                                  f"จึงต้องมีคอลัมน์{'และ'.join(missing)}")
                         for number in numbers if number not in repeated and number not in found]
        problems += batch.problems
        problems.sort(key=lambda problem: problem[0])
        # Still read to the end, for every problem; nothing more is written.
        end = 0 if errors else bisect.bisect_left(numbers, problems[0][0]) if problems else (
            len(numbers))
        for problem in problems:
            errors.append(problem)
        added, now = [], utc_now()
        created, updated = batch.created, batch.updated
        if not found and not repeated:
            added, end = list(range(end)), 0
        for i in range(end):
            number = numbers[i]
            if number in repeated:
                continue
            existing = found.get(number)
            if existing is None:
                added.append(i)
                continue
            values = {key: column[i] for key, column in columns.items()}
            dated = updated[i] if updated is not None else None
            # Columns the file leaves out keep their values; the code takes the file's
            # spelling, since the match ignores Latin case.
            merged = {k: existing[k] for k in ("name", "category", "price_satang",
                                               "quantity", "note")}
            merged.update(values)
            changed = [k for k in merged if existing[k] != merged[k]]
            if not changed:
                counts["same"] += 1
                continue
            # An older export must not undo what was saved since it was made.
            older = (dated or "9") < existing["updated_at"]
            counts["older" if older else "updated"] += 1
            if len(counts["changes"]) < SHOWN_CHANGES:
                counts["changes"].append((existing, merged, changed, older, dated))
            if not older or overwrite_older:
                self._update(conn, existing["id"], merged)
        if added:
            self._insert_many(conn, columns, added, created, updated, now)
            counts["added"] += len(added)

    @staticmethod
    def _insert_many(conn, columns, rows, created, updated, now):
        """The rows at indexes `rows` of `columns` as new items, in their order."""
        def taken(key, default):
            column = columns.get(key)
            return [column[i] for i in rows] if column is not None else [default] * len(rows)
        codes, names, categories, notes = (taken(k, "") for k in ("code", "name", "category",
                                                                   "note"))
        made = taken_times(created, rows, now)
        changed = [dated or made_at for dated, made_at in
                   zip(taken_times(updated, rows, None), made)]
        conn.executemany(INSERT_ITEM, zip(
            codes, names, categories, taken("price_satang", 0), taken("quantity", 0), notes,
            *search_columns_of(codes, names, categories, notes), made, changed))


def taken_times(column, rows, default):
    if column is None:
        return [default] * len(rows)
    return [column[i] or default for i in rows]


SHOWN_CHANGES = 200
INSERT_ITEM = ("INSERT INTO items (code, name, category, price_satang, quantity, note, "
               "search_text, search_bare, sort_name, created_at, updated_at) "
               "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")


class Unwritten(Exception):
    """Undoes a preview's transaction."""


class CatalogChanged(Exception):
    """The catalog changed after the preview it was to be applied from."""


class ImportRejected(Exception):
    def __init__(self, errors):
        super().__init__(f"{len(errors)} rows rejected")
        self.errors = errors


def constraint_message(error, code):
    text = str(error)
    if "UNIQUE" in text and "code" in text:
        return "code", f"รหัสสินค้า “{code}” มีอยู่แล้ว กรุณาใช้รหัสอื่น"
    return None, "ข้อมูลไม่ผ่านการตรวจสอบของฐานข้อมูล กรุณาตรวจสอบค่าที่กรอก"
