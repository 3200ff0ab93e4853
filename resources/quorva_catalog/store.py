"""The catalog's queries: the list with its search, totals and pages, single items, and the
all-or-nothing import."""

import sqlite3

from .database import Database
from .text import (FIELD_LABELS, THAI_DIGITS, canonical_code, code_key, marks_match,
                   search_columns, search_terms, utc_now)

PAGE_SIZE = 100

SORTS = {
    "name": ("ชื่อ ก-ฮ", "sort_name, code"),
    "code": ("รหัสสินค้า", "code COLLATE NOCASE"),
    "price": ("ราคาต่ำไปสูง", "price_satang, sort_name"),
    "-price": ("ราคาสูงไปต่ำ", "price_satang DESC, sort_name"),
    "quantity": ("จำนวนน้อยไปมาก", "quantity, sort_name"),
    "-updated": ("แก้ไขล่าสุด", "updated_at DESC, id DESC"),
}


class Store(Database):
    def categories(self):
        return [row[0] for row in self.read(
            "SELECT DISTINCT category FROM items WHERE category != '' "
            "ORDER BY category COLLATE thai")]

    def by_code(self, query):
        """The item whose code is the whole query, as a scanner types it, or None."""
        code = canonical_code(query)
        if not code or len(code) > 64:
            return None
        rows = self.read("SELECT * FROM items WHERE code IN (?1, ?2) ORDER BY code = ?1 DESC",
                         (code, code.translate(THAI_DIGITS)))
        return rows[0] if rows else None

    def search(self, query, category, sort, page):
        """(rows, count, units, value, page): a page past the end gives the last one."""
        where, params, terms = [], [], search_terms(query)
        for plain, pattern in terms:
            # instr() in C narrows the rows first; only those are checked for their marks.
            where.append("instr(search_bare, ?) > 0")
            params.append(plain)
            if pattern:
                where.append("marks_match(search_text, ?)")
                params.append(pattern)
        if category:
            where.append("category = ?")
            params.append(category)
        clause = ("WHERE " + " AND ".join(where)) if where else ""
        with self.lock:
            # Given to whichever connection is open now, should a restore have replaced it.
            self.conn.create_function("marks_match", 2, marks_match, deterministic=True)
            count, units, value = self._totals(clause, params)
            page = max(1, min(page, (count + PAGE_SIZE - 1) // PAGE_SIZE))
            # The page's ids first: walking past earlier pages then reads only the index.
            # A search scans and sorts instead: following the sort index would fetch every
            # row out of order, and for few matches that is most of the table.
            source = "items NOT INDEXED" if terms else "items"
            ids = [row[0] for row in self.conn.execute(
                f"SELECT id FROM {source} {clause} ORDER BY {SORTS[sort][1]} LIMIT ? OFFSET ?",
                params + [PAGE_SIZE, (page - 1) * PAGE_SIZE])]
            found = {row["id"]: row for row in self.conn.execute(
                f"SELECT * FROM items WHERE id IN ({', '.join('?' * len(ids))})", ids)}
            rows = [found[item_id] for item_id in ids]
        return rows, count, units, value, page

    def _totals(self, clause, params):
        """(items, units, value in satang), exact."""
        # Price times quantity can pass 64 bits, so each product is taken in two parts that
        # cannot; SQLite's sum() fails rather than round if even those overflow.
        try:
            count, units, high, low = self.conn.execute(
                f"SELECT count(*), sum(quantity), sum(price_satang / 1000000 * quantity), "
                f"sum(price_satang % 1000000 * quantity) FROM items {clause}", params).fetchone()
            return count, units or 0, (high or 0) * 1000000 + (low or 0)
        except sqlite3.OperationalError as error:
            if "overflow" not in str(error):
                raise
        totals = self.conn.execute(f"SELECT price_satang, quantity FROM items {clause}", params)
        count = units = value = 0
        for price, quantity in totals:
            count, units, value = count + 1, units + quantity, value + price * quantity
        return count, units, value

    def lookalikes(self):
        """Groups of items whose codes differ only in what cannot be seen, as found when codes
        were first stored in one spelling; a group is gone once the shop has merged it."""
        groups = {}
        for row in self.read("SELECT items.* FROM code_lookalikes JOIN items "
                             "ON items.id = code_lookalikes.item_id ORDER BY items.id"):
            groups.setdefault(code_key(canonical_code(row["code"])), []).append(row)
        return [rows for rows in groups.values() if len(rows) > 1]

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
            "search_text, search_bare, sort_name, created_at, updated_at) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (v["code"], v["name"], v["category"], v["price_satang"], v["quantity"], v["note"],
             *search_columns(v["code"], v["name"], v["category"], v["note"]), created, updated)
        ).lastrowid

    @staticmethod
    def _update(conn, item_id, v):
        conn.execute(
            "UPDATE items SET code = ?, name = ?, category = ?, price_satang = ?, quantity = ?, "
            "note = ?, search_text = ?, search_bare = ?, sort_name = ?, updated_at = ?, "
            "revision = revision + 1 WHERE id = ?",
            (v["code"], v["name"], v["category"], v["price_satang"], v["quantity"], v["note"],
             *search_columns(v["code"], v["name"], v["category"], v["note"]), utc_now(),
             item_id))

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
