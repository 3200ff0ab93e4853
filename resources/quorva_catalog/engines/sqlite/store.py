"""The catalog's queries: the list with its search, totals and pages, and single items."""

import itertools
import json
import sqlite3

from .bulk import INSERT_ITEM, Bulk
from .database import Database
from .text import (THAI_DIGITS, canonical_code, code_key, marks_match, search_columns, search_key,
                   search_terms, utc_now)

PAGE_SIZE = 100
# Past this many matches a search says only "more than", since counting and summing them all
# would read each of them; rows are then found by walking the order's index instead.
COUNTED = 1000
# A short word found this many times in as many first rows is common enough that walking the
# order's index finds a page sooner than gathering every row the index lists for it.
SAMPLED = 10000

# Each order ends in a unique key: items alike in the rest keep one order from page to page.
SORTS = {
    "name": ("ชื่อ ก-ฮ", "sort_name, code"),
    "code": ("รหัสสินค้า", "code COLLATE NOCASE"),
    "price": ("ราคาต่ำไปสูง", "price_satang, sort_name, id"),
    "-price": ("ราคาสูงไปต่ำ", "price_satang DESC, sort_name, id"),
    "quantity": ("จำนวนน้อยไปมาก", "quantity, sort_name, id"),
    "-updated": ("แก้ไขล่าสุด", "updated_at DESC, id DESC"),
}


# Orders whose first key has an index of its own and the rest are sorted group by group.
GROUPED = ("price_satang", "quantity")


def reversed_order(order):
    return ", ".join(term[:-5] if term.endswith(" DESC") else term + " DESC"
                     for term in order.split(", "))


def order_terms(sort):
    """The order's (column, descending) pairs; each column compares with its own collation."""
    return [(term.split()[0], term.endswith(" DESC")) for term in SORTS[sort][1].split(", ")]


def trigram_match(pieces):
    return " AND ".join('"' + piece.replace('"', '""') + '"' for piece in pieces)


class Store(Bulk, Database):
    def categories(self):
        return [row[0] for row in self.read(
            "SELECT category FROM items_categories WHERE category != '' "
            "ORDER BY category COLLATE thai")]

    def by_code(self, query):
        """The item whose code is the whole query, as a scanner types it, or None."""
        code = canonical_code(query)
        if not code or len(code) > 64:
            return None
        rows = self.read("SELECT * FROM items WHERE code IN (?1, ?2) ORDER BY code = ?1 DESC",
                         (code, code.translate(THAI_DIGITS)))
        return rows[0] if rows else None

    def _candidates(self, plain):
        """The index's query for rows that may hold `plain`, or None when no row can."""
        if len(plain) >= 3:
            # Pieces that cover the word without overlapping narrow nearly as well as all of
            # them, and each piece more is another list of rows to intersect.
            starts = [*range(0, len(plain) - 2, 3), len(plain) - 3]
            return trigram_match(sorted({plain[i:i + 3] for i in starts}))
        # Every shorter piece of a row's text begins one of its indexed three-letter pieces.
        pieces = [row[0] for row in self.conn.execute(
            "SELECT term FROM items_search_terms WHERE term >= ?1 AND term < ?1 || char(1114111)",
            (plain,))]
        return "(" + trigram_match(pieces).replace(" AND ", " OR ") + ")" if pieces else None

    def search(self, query, category, sort, page, anchor=None):
        """(rows, count, units, value, page, more): a page past the end gives the last one.
        With more than `COUNTED` matches, count, units and value are None and `more` says
        whether a next page follows; otherwise `more` is False.

        `anchor`, ("after", id) from the last row of the page before or ("before", id) from
        the first row of the page after, finds the page from that row instead of counting
        the rows before it; where the rows no longer agree with `page`, `page` decides."""
        where, params, matches = [], [], []
        with self.lock:
            # Given to whichever connection is open now, should a restore have replaced it.
            self.conn.create_function("marks_match", 2, marks_match, deterministic=True)
            for word, (plain, pattern) in zip(search_key(query).split(), search_terms(query)):
                # The index only narrows: each word is still found in the folded text itself.
                where.append("instr(search_bare, ?) > 0")
                params.append(plain)
                if pattern:
                    # The word as typed, marks and all, spares most rows the pattern.
                    where.append("(instr(search_text, ?) > 0 OR marks_match(search_text, ?))")
                    params.extend((word, pattern))
                matches.append(plain)
            if category:
                where.append("category = ?")
                params.append(category)
            clause = ("WHERE " + " AND ".join(where)) if where else ""
            bare_clause, bare_params = clause, list(params)
            # Words of one or two letters are left to the row's own check when a longer word
            # narrows the rows: gathering every piece they begin costs more than it saves.
            longer = [plain for plain in matches if len(plain) >= 3]
            short = bool(matches) and not longer
            common = short and self._sampled(clause, params)
            many, totals = common, None
            if matches and not common:
                pieces = []
                for plain in longer or matches:
                    piece = self._candidates(plain)
                    if piece is None:
                        return [], 0, 0, 0, 1, False
                    pieces.append(piece)
                match = " AND ".join(pieces)
                found, whole = self._candidate_ids(match)
                if whole:
                    # Few enough to check each, and the index is read once rather than by
                    # every query below; the sample would read as many rows as there are.
                    clause = clause.replace(
                        "WHERE ", "WHERE id IN (SELECT value FROM json_each(?)) AND ", 1)
                    params.insert(0, json.dumps(found))
                else:
                    clause = clause.replace(
                        "WHERE ", "WHERE id IN (SELECT rowid FROM items_search "
                        "WHERE items_search MATCH ?) AND ", 1)
                    params.insert(0, match)
                    # More than a count's worth among the first candidates shows as well as
                    # a sample of the first rows that the words are common, and reads fewer.
                    common = not short and (
                        self._totals(bare_clause.replace(
                            "WHERE ", "WHERE id IN (SELECT value FROM json_each(?)) AND ", 1),
                            [json.dumps(found)] + bare_params, COUNTED + 1)[0] > COUNTED or
                        self._sampled(bare_clause, bare_params))
                if not common:
                    totals = self._totals(clause, params, COUNTED + 1)
                many = common or totals[0] > COUNTED
            if many:
                # Where matches are everywhere, the order's index meets a page of them sooner
                # than the search index lists them all; otherwise it is walked with the list
                # of candidates in hand.
                walk = ((bare_clause, bare_params) if common else
                        (clause.replace("WHERE id IN", "WHERE +id IN", 1), params))
                ids = anchor and self._anchored_page(*walk, sort, page, anchor)
                if ids:
                    more = anchor[0] == "before" or len(ids) > PAGE_SIZE
                    return self._rows(ids[:PAGE_SIZE]), None, None, None, page, more
                rows = self._walked(*walk, sort, page)
                if rows or page == 1:
                    return rows[:PAGE_SIZE], None, None, None, page, len(rows) > PAGE_SIZE
            count, units, value = (self._totals(clause, params) if many
                                   else totals or self._kept_totals(category))
            pages = max(1, (count + PAGE_SIZE - 1) // PAGE_SIZE)
            asked, page = page, max(1, min(page, pages))
            if category and not matches:
                # A large category meets a page sooner along the order's index than by
                # sorting all of its rows, each read from the table; a small one the other
                # way round.
                total = self.conn.execute(
                    "SELECT coalesce(sum(items), 0) FROM items_categories").fetchone()[0]
                reach = PAGE_SIZE + 1 if anchor else min(page, pages - page + 1) * PAGE_SIZE
                if reach * total < 10 * count * count:
                    # Its ids in hand, the order's index is walked without reading a row.
                    clause = "WHERE +id IN (SELECT id FROM items WHERE category = ?)"
            ids = anchor and page == asked and self._anchored_page(clause, params, sort, page,
                                                                   anchor, count)
            if ids:
                return self._rows(ids[:PAGE_SIZE]), count, units, value, page, False
            order, offset, limit = SORTS[sort][1], (page - 1) * PAGE_SIZE, PAGE_SIZE
            if page > pages // 2 + 1:
                # Deep pages are read from the far end, so no page walks past more than half.
                order, limit = reversed_order(order), min(PAGE_SIZE, count - offset)
                offset = max(0, count - page * PAGE_SIZE)
            first = order.split(", ")[0]
            if not where and offset and first.split()[0] in GROUPED:
                # Skipping rows through the small index of the first key alone, then sorting
                # only from the value found there, spares reading every earlier row.
                column = first.split()[0]
                descending = first.endswith(" DESC")
                boundary = self.conn.execute(
                    f"SELECT {column} FROM items ORDER BY {first} LIMIT 1 OFFSET ?",
                    (offset,)).fetchone()[0]
                before = self.conn.execute(
                    f"SELECT count(*) FROM items WHERE {column} {'>' if descending else '<'} ?",
                    (boundary,)).fetchone()[0]
                clause = f"WHERE {column} {'>=' if not descending else '<='} ?"
                params, offset = [boundary], offset - before
            ids = [row[0] for row in self.conn.execute(
                f"SELECT id FROM items {clause} ORDER BY {order} LIMIT ? OFFSET ?",
                params + [limit, offset])]
            if order != SORTS[sort][1]:
                ids.reverse()
            rows = self._rows(ids)
        return rows, count, units, value, page, False

    def _candidate_ids(self, match):
        """(ids, whole): every id the index lists for `match` where there are at most
        `SAMPLED`; otherwise, or where the first of them lie so close together that there
        likely are more, only the first ones."""
        last = self.conn.execute("SELECT max(id) FROM items").fetchone()[0] or 0
        rows = self.conn.execute(f"SELECT rowid FROM items_search WHERE items_search MATCH ? "
                                 f"LIMIT {SAMPLED + 1}", (match,))
        try:
            found = [row[0] for row in itertools.islice(rows, 2 * (COUNTED + 1))]
            if len(found) > COUNTED and (COUNTED + 1) * last > SAMPLED * found[COUNTED]:
                return found, False
            found += [row[0] for row in rows]
        finally:
            rows.close()
        return found, len(found) <= SAMPLED

    def _sampled(self, clause, params):
        """Whether more than `COUNTED` of the first `SAMPLED` rows match."""
        return self.conn.execute(
            f"SELECT count(*) FROM (SELECT 1 FROM (SELECT * FROM items LIMIT {SAMPLED}) "
            f"{clause} LIMIT {COUNTED + 1})", params).fetchone()[0] > COUNTED

    def _anchored_page(self, clause, params, sort, page, anchor, count=None):
        """The ids of `page` found from its anchor, and after an "after" anchor the first id of
        the next page; None where the anchor is gone or the rows around it do not fit `page`."""
        side, item_id = anchor
        ids = self._anchored(clause, params, sort, side == "before", item_id, PAGE_SIZE + 1)
        if ids is None:
            return None
        if side == "before":
            return ids[:PAGE_SIZE][::-1] if len(ids) == min(PAGE_SIZE + 1,
                                                             page * PAGE_SIZE) else None
        if count is not None:
            return ids if len(ids) == min(PAGE_SIZE + 1,
                                          count - (page - 1) * PAGE_SIZE) else None
        return ids or None

    def _anchored(self, clause, params, sort, backwards, item_id, limit):
        """Up to `limit` ids next to item `item_id` in the order (before it if `backwards`),
        nearest first; None when that item is gone."""
        terms = order_terms(sort)
        anchor = self.conn.execute(
            f"SELECT {', '.join(column for column, _ in terms)} FROM items WHERE id = ?",
            (item_id,)).fetchone()
        if anchor is None:
            return None

        def beyond(descending):
            return ">" if descending == backwards else "<"

        def order(terms):
            return ", ".join(column + (" DESC" if descending != backwards else "")
                             for column, descending in terms)

        def following(condition, values, terms, limit):
            return [row[0] for row in self.conn.execute(
                f"SELECT id FROM items {clause + ' AND' if clause else 'WHERE'} {condition} "
                f"ORDER BY {order(terms)} LIMIT ?", [*params, *values, limit])]

        (first, descending), rest = terms[0], terms[1:]
        ids = []
        if rest:
            # The anchor's own group first, so that each step walks an index from where the
            # anchor is rather than over its group; the rest of every order runs one way.
            ids = following(f"{first} = ? AND ({', '.join(column for column, _ in rest)}) "
                            f"{beyond(rest[0][1])} ({', '.join('?' * len(rest))})",
                            list(anchor), rest, limit)
        if len(ids) < limit:
            ids += following(f"{first} {beyond(descending)} ?", [anchor[0]], terms,
                             limit - len(ids))
        return ids

    def _walked(self, clause, params, sort, page):
        """One page and the first row of the next, in the order's own index."""
        ids = [row[0] for row in self.conn.execute(
            f"SELECT id FROM items {clause} ORDER BY {SORTS[sort][1]} LIMIT ? OFFSET ?",
            params + [PAGE_SIZE + 1, (page - 1) * PAGE_SIZE])]
        return self._rows(ids)

    def _rows(self, ids):
        found = {row["id"]: row for row in self.conn.execute(
            f"SELECT * FROM items WHERE id IN ({', '.join('?' * len(ids))})", ids)}
        return [found[item_id] for item_id in ids]

    def _kept_totals(self, category):
        where, params = ("WHERE category = ?", [category]) if category else ("", [])
        try:
            count, units, high, low = self.conn.execute(
                f"SELECT coalesce(sum(items), 0), coalesce(sum(units), 0), "
                f"coalesce(sum(value_high), 0), coalesce(sum(value_low), 0) "
                f"FROM items_categories {where}", params).fetchone()
            if all(type(n) is int for n in (count, units, high, low)):
                return count, units, high * 1000000 + low
        except sqlite3.OperationalError as error:
            if "overflow" not in str(error):
                raise
        return self._totals(where, params)

    def _totals(self, clause, params, limit=-1):
        """(items, units, value in satang), exact, of the first `limit` rows found."""
        rows = f"(SELECT price_satang, quantity FROM items {clause} LIMIT {limit})"
        # Price times quantity can pass 64 bits, so each product is taken in two parts that
        # cannot; SQLite's sum() fails rather than round if even those overflow.
        try:
            count, units, high, low = self.conn.execute(
                f"SELECT count(*), sum(quantity), sum(price_satang / 1000000 * quantity), "
                f"sum(price_satang % 1000000 * quantity) FROM {rows}", params).fetchone()
            return count, units or 0, (high or 0) * 1000000 + (low or 0)
        except sqlite3.OperationalError as error:
            if "overflow" not in str(error):
                raise
        totals = self.conn.execute(f"SELECT * FROM {rows}", params)
        count = units = value = 0
        for price, quantity in totals:
            count, units, value = count + 1, units + quantity, value + price * quantity
        return count, units, value

    def lookalikes(self):
        """Groups of items whose codes differ only in what cannot be seen, as found when codes
        were first stored in one spelling; a group is gone once the shop has merged it."""
        groups = {}
        # Read from the few listed ids: a join ordered by the items' id walks every item.
        for row in self.read("SELECT * FROM items WHERE id IN "
                             "(SELECT item_id FROM code_lookalikes) ORDER BY id"):
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
        return conn.execute(INSERT_ITEM, (
            v["code"], v["name"], v["category"], v["price_satang"], v["quantity"], v["note"],
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
