"""A search plan as the shared catalog's queries: the trigram index narrows a word of three
letters or more, and every word is still found in the folded text itself, so each engine
gives the same rows; each order is read off an index that holds all of it."""

from ...catalog.plan import COUNTED, PAGE_SIZE, SORTS, SearchResult
from ...text import MARK, mark_clusters


# The plan's keys as this schema names them.
COLUMNS = {"sort_name": "sort_key"}


def keys_of(sort):
    return [(COLUMNS.get(key, key), descending) for key, descending in SORTS[sort][1]]


def order(sort, backwards=False):
    return ", ".join(key + (" DESC" if descending != backwards else "")
                     for key, descending in keys_of(sort))


def literal(char):
    # Outside brackets, a backslash makes any character but a letter or digit stand for itself.
    return "\\" + char if char.isascii() and not char.isalnum() else char


def marks_pattern(folded):
    """The word's letters in turn, each carrying the marks typed on it among any others: what
    text.marks_match asks of the folded text, as the database's own regular expression."""
    return "".join(literal(base) + "".join(f"{MARK}*{literal(m)}" for m in marks) + f"{MARK}*"
                   for base, marks in mark_clusters(folded))


def like(text):
    return "%" + text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"


def conditions(plan):
    """(SQL after WHERE, or "" for every row; its parameters)."""
    where, params = [], []
    for word in plan.words:
        if len(word.plain) >= 3:
            # As a pattern the index can answer; the index only narrows, the text decides.
            where.append("search_bare LIKE %s")
            params.append(like(word.plain))
        else:
            where.append("strpos(search_bare, %s) > 0")
            params.append(word.plain)
        if word.pattern is not None:
            # A name or note holding the word as typed is found as the embedded catalog finds
            # it, though its folded text may join the marks otherwise (nikhahit and sara aa).
            where.append("(strpos(name, %s) > 0 OR strpos(note, %s) > 0 "
                         "OR strpos(search_text, %s) > 0 OR search_text ~ %s)")
            params += [word.folded] * 3 + [marks_pattern(word.folded)]
    if plan.category:
        where.append("category = %s")
        params.append(plan.category)
    return " AND ".join(where), params


def totals(conn, clause, params, limit=None):
    """(items, units, value in satang) of the rows found, or of the first `limit` of them."""
    rows = (f"(SELECT quantity, price_satang FROM items {'WHERE ' + clause if clause else ''}"
            f"{f' LIMIT {limit}' if limit else ''}) AS found")
    row = conn.execute(f"SELECT count(*) AS items, coalesce(sum(quantity), 0) AS units, "
                       f"coalesce(sum(price_satang::numeric * quantity), 0) AS value FROM {rows}",
                       params).fetchone()
    return row["items"], int(row["units"]), int(row["value"])


def kept_totals(conn, category):
    where, params = ("WHERE category = %s", [category]) if category else ("", [])
    row = conn.execute(f"SELECT coalesce(sum(items), 0) AS items, coalesce(sum(units), 0) "
                       f"AS units, coalesce(sum(value), 0) AS value FROM item_categories {where}",
                       params).fetchone()
    return int(row["items"]), int(row["units"]), int(row["value"])


def page_of(conn, clause, params, sort, offset, limit, backwards=False, table="items"):
    """A page's rows: their ids first, so that the rows skipped are read off the order's index
    alone where it holds every key."""
    ids = [row["id"] for row in conn.execute(
        f"SELECT id FROM {table} {'WHERE ' + clause if clause else ''} "
        f"ORDER BY {order(sort, backwards)} LIMIT %s OFFSET %s", params + [limit, offset])]
    found = {row["id"]: row for row in conn.execute("SELECT * FROM items WHERE id = ANY(%s)",
                                                    (ids,))}
    return [found[item_id] for item_id in (ids[::-1] if backwards else ids)]


# Rows of the name order read for a page of many matches before every match is gathered.
PROBED = 5000


def uncounted_page(conn, clause, params, sort, offset):
    """A page of more matches than are counted, and the row after it. In name order, the
    database would walk the order's index, which for a word met mostly after a name's first
    words passes tens of thousands of rows before its first match: the first rows of the
    order are read for a page, and failing that every match is gathered and sorted."""
    if sort != "name":
        return page_of(conn, clause, params, sort, offset, PAGE_SIZE + 1)
    first = f"(SELECT * FROM items ORDER BY {order(sort)} LIMIT {PROBED}) AS items"
    rows = page_of(conn, clause, params, sort, offset, PAGE_SIZE + 1, table=first)
    if len(rows) > PAGE_SIZE:
        return rows
    return page_of(conn, "", params, sort, offset, PAGE_SIZE + 1, table=gathered(clause))


def gathered(clause):
    # OFFSET 0 keeps the order out of the inner query, so the search index reads it.
    return f"(SELECT * FROM items WHERE {clause} OFFSET 0) AS items"


def search(conn, plan):
    """catalog.plan.SearchResult for `plan`, read in the caller's one snapshot."""
    clause, params = conditions(plan)
    many = False
    if plan.words:
        found = totals(conn, clause, params, COUNTED + 1)
        many = found[0] > COUNTED
    else:
        found = kept_totals(conn, plan.category)
    if many:
        rows = plan.anchor and anchored_page(conn, plan, clause, params)
        if rows:
            return SearchResult(rows[:PAGE_SIZE], None, None, None, plan.page,
                                plan.anchor[0] == "before" or len(rows) > PAGE_SIZE)
        rows = uncounted_page(conn, clause, params, plan.sort, (plan.page - 1) * PAGE_SIZE)
        if rows or plan.page == 1:
            return SearchResult(rows[:PAGE_SIZE], None, None, None, plan.page,
                                len(rows) > PAGE_SIZE)
        # Past the last page: the last one, which needs them all counted.
        found = totals(conn, clause, params)
    count, units, value = found
    pages = max(1, (count + PAGE_SIZE - 1) // PAGE_SIZE)
    page = max(1, min(plan.page, pages))
    rows = plan.anchor and page == plan.page and anchored_page(conn, plan, clause, params, count)
    if rows:
        return SearchResult(rows[:PAGE_SIZE], count, units, value, page, False)
    offset = (page - 1) * PAGE_SIZE
    # Matches few enough to count are gathered through the search index and sorted, however
    # far along an order's index they lie.
    table, where = ((gathered(clause), "") if plan.words and count <= COUNTED
                    else ("items", clause))
    if page > pages // 2 + 1:
        # Deep pages are read from the far end, so no page walks past more than half.
        rows = page_of(conn, where, params, plan.sort, max(0, count - page * PAGE_SIZE),
                       min(PAGE_SIZE, count - offset), backwards=True, table=table)
    else:
        rows = page_of(conn, where, params, plan.sort, offset, PAGE_SIZE, table=table)
    return SearchResult(rows, count, units, value, page, False)


def anchored_page(conn, plan, clause, params, count=None):
    """The rows of the plan's page found from its anchor, and after an "after" anchor the
    first row of the next page; None where the anchor is gone or the rows around it do not
    fit the page."""
    (side, item_id), page = plan.anchor, plan.page
    rows = anchored(conn, plan.sort, clause, params, side == "before", item_id, PAGE_SIZE + 1)
    if rows is None:
        return None
    if side == "before":
        return rows[:PAGE_SIZE][::-1] if len(rows) == min(PAGE_SIZE + 1,
                                                           page * PAGE_SIZE) else None
    if count is not None:
        return rows if len(rows) == min(PAGE_SIZE + 1, count - (page - 1) * PAGE_SIZE) else None
    return rows or None


def anchored(conn, sort, clause, params, backwards, item_id, limit):
    """Up to `limit` rows next to item `item_id` in the order (before it if `backwards`),
    nearest first, each step read off the order's index from the anchor; None when that item
    is gone."""
    keys = keys_of(sort)
    anchor = conn.execute(f"SELECT {', '.join(key for key, _ in keys)} FROM items "
                          f"WHERE id = %s", (item_id,)).fetchone()
    if anchor is None:
        return None

    def beyond(descending):
        return ">" if descending == backwards else "<"

    def following(condition, values, terms, count):
        order = ", ".join(key + (" DESC" if descending != backwards else "")
                          for key, descending in terms)
        return conn.execute(f"SELECT * FROM items WHERE {clause + ' AND ' if clause else ''}"
                            f"{condition} ORDER BY {order} LIMIT %s",
                            [*params, *values, count]).fetchall()

    (first, descending), rest = keys[0], keys[1:]
    rows = []
    if rest:
        # The anchor's own group first; the rest of every order runs one way, so one row
        # comparison bounds it.
        rows = following(f"{first} = %s AND ({', '.join(key for key, _ in rest)}) "
                         f"{beyond(rest[0][1])} ({', '.join(['%s'] * len(rest))})",
                         [anchor[key] for key, _ in keys], rest, limit)
    if len(rows) < limit:
        rows += following(f"{first} {beyond(descending)} %s", [anchor[first]], keys,
                          limit - len(rows))
    return rows
