"""The whole catalog at once: its rows for an export, and the all-or-nothing import."""

import sqlite3
import urllib.parse

from .migrations import fill_search_and_categories
from .text import FIELD_LABELS, utc_now


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

    def upsert(self, rows, errors, preview=False, overwrite_older=False, stamp=None,
               snapshot=None):
        """All rows or none: each row is written as it comes, in one transaction that any
        error, found here or by the reader (in `errors`, filled as `rows` is read), undoes.

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
            # The codes this file has given so far, as SQLite compares them, with their rows.
            self.conn.execute("CREATE TEMP TABLE IF NOT EXISTS imported (code TEXT PRIMARY KEY "
                              "COLLATE NOCASE, number INTEGER NOT NULL) WITHOUT ROWID")
            try:
                with self.transaction() as conn:
                    empty = self._upsert_rows(conn, rows, errors, result, overwrite_older)
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

    def _upsert_rows(self, conn, rows, errors, counts, overwrite_older):
        # Into an empty catalog only the file's own codes can be there already, and its
        # indexes and triggers are built once at the end rather than row by row.
        empty = conn.execute("SELECT NOT EXISTS (SELECT 1 FROM items)").fetchone()[0]
        derived = conn.execute(
            "SELECT type, name, sql FROM sqlite_master WHERE tbl_name = 'items' AND "
            "type IN ('index', 'trigger') AND sql IS NOT NULL AND ?", (empty,)).fetchall()
        for kind, name, _ in derived:
            conn.execute(f'DROP {kind} "{name}"')
        for number, values, times in rows:
            first = conn.execute(
                "INSERT INTO imported VALUES (?, ?) ON CONFLICT (code) "
                "DO UPDATE SET number = number RETURNING number",
                (values["code"], number)).fetchone()[0]
            if first != number:
                errors.append((number, f"รหัส “{values['code']}” ซ้ำกับแถวที่ {first}"))
                continue
            existing = None if empty else conn.execute(
                "SELECT * FROM items WHERE code = ?", (values["code"],)).fetchone()
            if existing is None:
                missing = [FIELD_LABELS[f] for f, key in (("name", "name"),
                                                          ("price", "price_satang"))
                           if key not in values]
                if missing:
                    errors.append((number, f"รหัส “{values['code']}” ยังไม่มีในแคตตาล็อก "
                                           f"จึงต้องมีคอลัมน์{'และ'.join(missing)}"))
                    continue
            if errors:
                # Still read to the end, for every problem; nothing more is written.
                continue
            if existing is None:
                merged = {"category": "", "note": "", "quantity": 0, **values}
                created = times.get("created_at") or utc_now()
                self._insert(conn, merged, created, times.get("updated_at") or created)
                counts["added"] += 1
                continue
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
            older = times.get("updated_at", "9") < existing["updated_at"]
            counts["older" if older else "updated"] += 1
            if len(counts["changes"]) < SHOWN_CHANGES:
                counts["changes"].append((existing, merged, changed, older,
                                          times.get("updated_at")))
            if not older or overwrite_older:
                self._update(conn, existing["id"], merged)
        conn.execute("DELETE FROM imported")
        if errors:
            raise ImportRejected(errors)
        for _, _, sql in derived:
            conn.execute(sql)
        if derived:
            fill_search_and_categories(conn)
        return empty

SHOWN_CHANGES = 200


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
