"""A search plan as SQLite queries: the trigram index narrows the rows, the folded text
decides, and the order's own index finds a page where matches are everywhere."""

import json
import re
import sqlite3
import string

from ...catalog.plan import COUNTED, PAGE_SIZE, SORTS, SearchResult
from ...text import THAI_MARK_CHARS, category_token, marks_match, search_text
from .migrations import GAP, item_count

# A short word found this many times in as many first rows is common enough that walking the
# order's index finds a page sooner than gathering every row the index lists for it.
SAMPLED = 10000
# The plan's keys as this schema holds them; code is declared NOCASE.
COLUMNS = {"sort_name": "sort_key", "code_nocase": "code", "price_satang": "price_satang",
           "quantity": "quantity", "updated_at": "updated_at", "id": "id"}
# Orders whose first key has an index of its own and the rest are sorted group by group.
GROUPED = ("price_satang", "quantity")
GROUP_SEEN = 4096
# Rows of the search index read at a spot to tell whether a piece of a word is in most rows.
PROBED = 256


def order_terms(sort):
    """The order's (column, descending) pairs; each column compares with its own collation.
    An item's place is unique and in name order."""
    if sort == "name":
        return [("place", False)]
    return [(COLUMNS[key], descending) for key, descending in SORTS[sort][1]]


def order_by(sort, backwards=False):
    return ", ".join(column + (" DESC" if descending != backwards else "")
                     for column, descending in order_terms(sort))


def trigram_match(pieces):
    return " AND ".join('"' + piece.replace('"', '""') + '"' for piece in pieces)


def in_ids(clause, source, column="place"):
    return clause.replace("WHERE ", f"WHERE {column} IN ({source}) AND ", 1)


def marked(code, name, category, note, folded, pattern):
    # The word as typed, marks and all, spares most rows the pattern.
    text = search_text(code, name, category, note)
    return folded in text or marks_match(text, pattern)


THAI_MARK = re.compile(f"[{THAI_MARK_CHARS}]")
NOCASE = str.maketrans(string.ascii_uppercase, string.ascii_lowercase)
IDS = "SELECT value FROM json_each(?)"
# The same rows by id: the table is read in its own order rather than in name order.
ITEM_IDS = f"SELECT id FROM items WHERE place IN ({IDS})"
MATCHED = "SELECT rowid FROM items_search WHERE items_search MATCH ?"
INDEXED = [f"WHERE {hint}place IN ({MATCHED})" for hint in ("", "+")]
JOINED = ("FROM items_search CROSS JOIN items ON items.place = items_search.rowid "
          "WHERE items_search MATCH ?")
PLACE = re.compile(r"(?<![.\w])\+?place\b")


def source(clause, tail):
    """FROM, WHERE and `tail` for rows of `clause`. Where the index narrows them and they
    are wanted in name order or in none, the index leads, read in its own order, which is
    name order: a page stops as soon as it is full rather than after every match."""
    for indexed in INDEXED:
        if clause.startswith(indexed) and not re.search(r"ORDER BY (?!place)", tail):
            return JOINED + PLACE.sub("items_search.rowid", f"{clause[len(indexed):]} {tail}")
    return f"FROM items {clause} {tail}"


def where_clause(conditions):
    """("WHERE …", params) of (condition, one parameter or a tuple of them) pairs."""
    params = [value for _, found in conditions
              for value in (found if isinstance(found, tuple) else (found,))]
    return ("WHERE " + " AND ".join(c for c, _ in conditions) if conditions else "", params)


class Search:
    """One plan run on one connection, under the engine's lock."""

    def __init__(self, conn, plan):
        self.conn, self.plan = conn, plan
        plain = [("instr(items.search_bare, ?) > 0", word.plain) for word in plan.words]
        if plan.category:
            # With words, the search index narrows by the category, or the order's index is
            # walked; the category's own index only where it is small (self.walked_bare).
            plain.append(("+category = ?" if plan.words else "category = ?", plan.category))
        marked_words = []
        for word in (word for word in plan.words if word.pattern):
            # A name, category or note that holds the word as typed needs no folding to tell;
            # folding adds no Thai mark, so a row without one of the word's lacks the word.
            marks = sorted(set(THAI_MARK.findall(word.folded)))
            marked_words.append(("(instr(name, ?) > 0 OR instr(category, ?) > 0 OR "
                                 "instr(note, ?) > 0 OR (" + "".join(
                ["instr(code || name || category || note, ?) > 0 AND "] * len(marks))
                + "marked(code, name, category, note, ?, ?)))",
                (word.folded, word.folded, word.folded, *marks, word.folded, word.pattern)))
        self.filtered = bool(plain)
        self.bare = where_clause(plain + marked_words)

    def run(self):
        plan, matches = self.plan, [word.plain for word in self.plan.words]
        clause, params = self.bare
        common = many = False
        self.first = None
        totals = None
        if matches:
            narrowed = self.narrow(matches)
            if narrowed is None:
                return SearchResult([], 0, 0, 0, 1, False)
            clause, params, common, totals = narrowed
            many = common or totals[0] > COUNTED
        if many:
            # In name order the index itself lists the rows in order.
            walk = ((clause, params) if plan.sort == "name" else self.walked_bare() if common
                    else (clause.replace("WHERE ", "WHERE +", 1), params))
            found = self.uncounted_page(*walk)
            if found is not None:
                return found
        count, units, value = (self.totals(clause, params) if many
                               else totals or self.kept_totals())
        return self.counted_page(clause, params, count, units, value)

    def narrow(self, matches):
        """(clause, params, common, totals) with the index's candidates in the clause, or
        None where no row can match. `common` where matches are everywhere, else `totals`
        of up to COUNTED + 1 matches."""
        clause, params = self.bare
        # Words of one or two letters are left to the row's own check when a longer word
        # narrows the rows: gathering every piece they begin costs more than it saves.
        longer = [plain for plain in matches if len(plain) >= 3]
        # The category is a token of the index too, so that both narrow at once.
        token = [category_token(self.plan.category)] if self.plan.category else []
        short = not longer and not token
        if short and self.sampled(clause, params):
            return clause, params, True, None
        if longer or token:
            match = self.rarest(longer + token)
        else:
            pieces = [self.candidates(plain) for plain in matches]
            match = None if None in pieces else " AND ".join(pieces)
        if match is None:
            return None
        if self.plan.sort == "name":
            # The index lists rows in name order, so each query reads it only as far as the
            # rows it wants; a count stops at the first COUNTED + 1.
            clause, params = in_ids(clause, MATCHED), [match, *params]
            return clause, params, False, self.first_matches(clause, params)
        found, whole = self.candidate_ids(match)
        if whole:
            # Few enough to read each once, and sort those that match, whatever page is
            # wanted; the sample would read as many rows as there are.
            clause, params = in_ids(clause, ITEM_IDS, "id"), [found, *params]
            return clause, params, False, self.first_matches(clause, params, every=True)
        clause, params = in_ids(clause, MATCHED), [match, *params]
        # More than a count's worth among the first candidates shows as well as a sample of
        # the first rows that the words are common, and reads fewer.
        bare, bare_params = self.bare
        common = not short and (
            self.totals(in_ids(bare, IDS), [found, *bare_params],
                        COUNTED + 1)[0] > COUNTED or self.sampled(bare, bare_params))
        if common:
            return clause, params, True, None
        return clause, params, False, self.first_matches(clause, params)

    def first_matches(self, clause, params, every=False):
        """totals() of up to COUNTED + 1 matches, or of `every` one, whose rows are kept
        (self.first), so that a page among them is sorted from them rather than read again;
        in name order they are the first ones."""
        columns = dict.fromkeys(["id", "price_satang", "quantity",
                                 *(column for column, _ in order_terms(self.plan.sort))])
        self.every = every
        # Every one of them is few enough for SQLite to sort, far quicker than Python can.
        self.ordered = every or self.plan.sort == "name"
        tail = (f"{'ORDER BY ' + order_by(self.plan.sort) if self.ordered else ''} "
                f"LIMIT {-1 if every else COUNTED + 1}")
        self.first = self.conn.execute(f"SELECT {', '.join(columns)} {source(clause, tail)}",
                                       params).fetchall()
        return (len(self.first), sum(row["quantity"] for row in self.first),
                sum(row["price_satang"] * row["quantity"] for row in self.first))

    def first_page(self, page):
        """The ids of page `page` among the rows first_matches kept, and whether more follow;
        None where they do not hold that page whole."""
        rows = self.first
        if rows is None or (page > 1 and (page - 1) * PAGE_SIZE >= len(rows)) or (
                len(rows) > COUNTED and not self.every and (
                    self.plan.sort != "name" or page * PAGE_SIZE >= len(rows))):
            return None
        if not self.ordered:
            terms = order_terms(self.plan.sort)
            # Only numbers run descending beside ascending keys; codes compare as NOCASE.
            backwards = all(descending for _, descending in terms)
            keys = [(column, descending and not backwards) for column, descending in terms]
            rows = sorted(rows, reverse=backwards, key=lambda row: tuple(
                row[c].translate(NOCASE) if c == "code" else -row[c] if negated else row[c]
                for c, negated in keys))
        return ([row["id"] for row in rows[(page - 1) * PAGE_SIZE:page * PAGE_SIZE]],
                len(rows) > page * PAGE_SIZE)

    def walked_bare(self):
        """The row checks alone, for walking the order's index; a small category's rows are
        found sooner through its own index and sorted."""
        clause, params = self.bare
        if self.plan.category:
            count = self.conn.execute("SELECT coalesce(sum(items), 0) FROM items_categories "
                                      "WHERE category = ?", (self.plan.category,)).fetchone()[0]
            if self.plan.page * PAGE_SIZE * item_count(self.conn) >= 10 * count * count:
                clause = clause.replace("+category", "category")
        return clause, params

    def uncounted_page(self, clause, params):
        """The page where matches are too many to count, or None where it lies past them:
        the order's index meets a page of them sooner than the search index lists them all."""
        plan = self.plan
        kept = self.first_page(plan.page)
        if kept:
            return SearchResult(self.rows(kept[0]), None, None, None, plan.page, kept[1])
        ids = plan.anchor and self.anchored_page(clause, params)
        if ids:
            more = plan.anchor[0] == "before" or len(ids) > PAGE_SIZE
            return SearchResult(self.rows(ids[:PAGE_SIZE]), None, None, None, plan.page, more)
        ids = [row[0] for row in self.conn.execute(
            f"SELECT id {source(clause, f'ORDER BY {order_by(plan.sort)} LIMIT ? OFFSET ?')}",
            [*params, PAGE_SIZE + 1, (plan.page - 1) * PAGE_SIZE])]
        if ids or plan.page == 1:
            return SearchResult(self.rows(ids[:PAGE_SIZE]), None, None, None, plan.page,
                                len(ids) > PAGE_SIZE)
        return None

    def counted_page(self, clause, params, count, units, value):
        plan, matches = self.plan, self.plan.words
        pages = max(1, (count + PAGE_SIZE - 1) // PAGE_SIZE)
        page = max(1, min(plan.page, pages))
        kept = self.first_page(page)
        if kept:
            return SearchResult(self.rows(kept[0]), count, units, value, page, False)
        if plan.category and not matches and self.category_walk(page, pages, count):
            # Its ids in hand, the order's index is walked without reading a row.
            clause = "WHERE +id IN (SELECT id FROM items WHERE category = ?)"
        ids = plan.anchor and page == plan.page and self.anchored_page(clause, params, count)
        if ids:
            return SearchResult(self.rows(ids[:PAGE_SIZE]), count, units, value, page, False)
        return SearchResult(self.rows(self.offset_ids(clause, params, page, pages, count)),
                            count, units, value, page, False)

    def category_walk(self, page, pages, count):
        """Whether a large category meets a page sooner along the order's index than by
        sorting all of its rows, each read from the table; a small one the other way round."""
        reach = PAGE_SIZE + 1 if self.plan.anchor else min(page, pages - page + 1) * PAGE_SIZE
        return reach * item_count(self.conn) < 10 * count * count

    def offset_ids(self, clause, params, page, pages, count):
        sort = self.plan.sort
        order, offset, limit = order_by(sort), (page - 1) * PAGE_SIZE, PAGE_SIZE
        backwards = page > pages // 2 + 1
        if backwards:
            # Deep pages are read from the far end, so no page walks past more than half.
            order, limit = order_by(sort, True), min(PAGE_SIZE, count - offset)
            offset = max(0, count - page * PAGE_SIZE)
        column, descending = order_terms(sort)[0]
        descending = descending != backwards
        if not self.filtered and offset and column in GROUPED:
            # Skipping rows through the small index of the first key alone, then sorting
            # only from the value found there, spares reading every earlier row.
            first = column + (" DESC" if descending else "")
            # The values just before it tell how many of its group come first, without a
            # second walk to count those below it, unless the group is longer than they are.
            start = max(0, offset - GROUP_SEEN)
            values = [row[0] for row in self.conn.execute(
                f"SELECT {column} FROM items ORDER BY {first} LIMIT ? OFFSET ?",
                (offset - start + 1, start))]
            boundary = values.pop()
            alike = next((n for n, value in enumerate(reversed(values)) if value != boundary),
                         len(values))
            before = offset - alike if alike < len(values) or not start else self.conn.execute(
                f"SELECT count(*) FROM items WHERE {column} {'>' if descending else '<'} ?",
                (boundary,)).fetchone()[0]
            clause = f"WHERE {column} {'>=' if not descending else '<='} ?"
            params, offset = [boundary], offset - before
        ids = [row[0] for row in self.conn.execute(
            f"SELECT id {source(clause, f'ORDER BY {order} LIMIT ? OFFSET ?')}",
            [*params, limit, offset])]
        return ids[::-1] if backwards else ids

    def rarest(self, words):
        """The index's query for rows that may hold every one of `words` (three letters or
        more), or None when no row can. Pieces that cover each word without overlapping
        narrow nearly as well as all of them, and each piece more is another list of rows to
        intersect; a piece met in most rows all along the order (a code's first digits)
        costs far more to intersect than it narrows."""
        # Places may be below zero: an item put before the first one takes a place below it.
        first, last = self.conn.execute("SELECT (SELECT min(place) FROM items), "
                                        "(SELECT max(place) FROM items)").fetchone()
        spots = [(first or 0) + ((last or 0) - (first or 0)) * n // 3 for n in range(3)]
        pieces = sorted({plain[i:i + 3] for plain in words
                         for i in (*range(0, len(plain) - 2, 3), len(plain) - 3)})
        dense = []
        for piece in pieces:
            found = self.dense(trigram_match([piece]), spots)
            if found is None:
                return None
            dense.append(found)
        kept = [piece for piece, crowded in zip(pieces, dense) if not crowded]
        return trigram_match(kept or pieces[:1])

    def dense(self, match, spots):
        """Whether more than half the rows hold `match` at each of the places `spots` (a word
        whose rows lie together is not dense at all three); None where no row does."""
        for start in spots:
            count, first, furthest = self.conn.execute(
                f"SELECT count(*), min(rowid), max(rowid) FROM ({MATCHED} AND rowid >= ? "
                f"LIMIT {PROBED + 1})", (match, start)).fetchone()
            if not count and start == spots[0]:
                return None
            if count <= PROBED or furthest - first > 2 * GAP * count:
                return False
        return True

    def candidates(self, plain):
        """The index's query for rows that may hold the short word `plain`, or None when no
        row can."""
        # Every shorter piece of a row's text begins one of its indexed three-letter pieces.
        pieces = [row[0] for row in self.conn.execute(
            "SELECT term FROM items_search_terms WHERE term >= ?1 AND term < ?1 || char(1114111)",
            (plain,))]
        return "(" + trigram_match(pieces).replace(" AND ", " OR ") + ")" if pieces else None

    def candidate_ids(self, match):
        """(ids as a JSON array, whole): every id the index lists for `match` where there are
        at most `SAMPLED`; otherwise, or where the first of them lie so close together that
        there likely are more, only the first ones."""
        last = self.conn.execute("SELECT max(place) FROM items").fetchone()[0] or 0
        # Each list is read inside SQLite, far quicker than row by row here.
        listed = ("SELECT count(*), json_group_array(rowid), max(rowid) "
                  f"FROM ({MATCHED} {{}} LIMIT ?)")
        head = 2 * (COUNTED + 1)
        count, first, reached = self.conn.execute(listed.format(""), (match, head)).fetchone()
        if count < head:
            return first, True
        if (COUNTED + 1) * last > SAMPLED * json.loads(first)[COUNTED]:
            return first, False
        # The rest from where the first stopped, which the index seeks rather than reads again.
        more, rest, _ = self.conn.execute(listed.format("AND rowid > ?"),
                                          (match, reached, SAMPLED + 1 - head)).fetchone()
        if count + more > SAMPLED:
            return first, False
        return (f"{first[:-1]},{rest[1:]}" if more else first), True

    def sampled(self, clause, params):
        """Whether more than `COUNTED` of the first `SAMPLED` rows match."""
        return self.conn.execute(
            f"SELECT count(*) FROM (SELECT 1 FROM (SELECT * FROM items LIMIT {SAMPLED}) AS items "
            f"{clause} LIMIT {COUNTED + 1})", params).fetchone()[0] > COUNTED

    def anchored_page(self, clause, params, count=None):
        """The ids of the plan's page found from its anchor, and after an "after" anchor the
        first id of the next page; None where the anchor is gone or the rows around it do not
        fit the page."""
        (side, item_id), page = self.plan.anchor, self.plan.page
        ids = self.anchored(clause, params, side == "before", item_id, PAGE_SIZE + 1)
        if ids is None:
            return None
        if side == "before":
            return ids[:PAGE_SIZE][::-1] if len(ids) == min(PAGE_SIZE + 1,
                                                             page * PAGE_SIZE) else None
        if count is not None:
            return ids if len(ids) == min(PAGE_SIZE + 1,
                                          count - (page - 1) * PAGE_SIZE) else None
        return ids or None

    def anchored(self, clause, params, backwards, item_id, limit):
        """Up to `limit` ids next to item `item_id` in the order (before it if `backwards`),
        nearest first; None when that item is gone."""
        terms = order_terms(self.plan.sort)
        anchor = self.conn.execute(
            f"SELECT {', '.join(column for column, _ in terms)} FROM items WHERE id = ?",
            (item_id,)).fetchone()
        if anchor is None:
            return None

        def beyond(descending):
            return ">" if descending == backwards else "<"

        def following(condition, values, terms, limit):
            order = ", ".join(column + (" DESC" if descending != backwards else "")
                              for column, descending in terms)
            where = f"{clause + ' AND' if clause else 'WHERE'} {condition}"
            return [row[0] for row in self.conn.execute(
                f"SELECT id {source(where, f'ORDER BY {order} LIMIT ?')}",
                [*params, *values, limit])]

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

    def rows(self, ids):
        found = {row["id"]: row for row in self.conn.execute(
            f"SELECT * FROM items WHERE id IN ({', '.join('?' * len(ids))})", ids)}
        return [found[item_id] for item_id in ids]

    def kept_totals(self):
        category = self.plan.category
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
        return self.totals(where, params)

    def totals(self, clause, params, limit=-1):
        """(items, units, value in satang), exact, of the first `limit` rows found."""
        rows = f"(SELECT price_satang, quantity {source(clause, f'LIMIT {limit}')})"
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
        count = units = value = 0
        for price, quantity in self.conn.execute(f"SELECT * FROM {rows}", params):
            count, units, value = count + 1, units + quantity, value + price * quantity
        return count, units, value
