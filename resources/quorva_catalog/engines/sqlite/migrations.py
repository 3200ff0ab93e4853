"""The database's schema, one step per version."""

import collections
import sqlite3

from ...catalog.backups import kill_point
from ...text import canonical_code, code_key, item_columns_of, search_columns, visible_line

APPLICATION_ID = 0x51564341


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


def _add_search_and_sort_keys(conn):
    # Both search columns are rewritten: the folding of digits and doubled vowels is new too.
    # The sort key spares a Python collation call per comparison when sorting by name.
    conn.execute("ALTER TABLE items ADD COLUMN search_bare TEXT NOT NULL DEFAULT ''")
    conn.execute("ALTER TABLE items ADD COLUMN sort_name TEXT NOT NULL DEFAULT ''")
    rows = conn.execute("SELECT id, code, name, category, note FROM items")
    conn.executemany(
        "UPDATE items SET search_text = ?, search_bare = ?, sort_name = ? WHERE id = ?",
        (search_columns(*r[1:]) + (r[0],) for r in rows.fetchall()))
    conn.execute("CREATE INDEX items_sort_name ON items (sort_name, code)")


# What the search index holds for a row: two line breaks after the folded text, so that every
# one- or two-letter piece of it also begins one of the index's three-letter pieces.
INDEXED = "{}.search_bare || char(10, 10)"


def money(row):
    return (f"{row}.quantity", f"{row}.price_satang / 1000000 * {row}.quantity",
            f"{row}.price_satang % 1000000 * {row}.quantity")


def counted(row, sign):
    units, high, low = money(row)
    if sign == "+":
        return (f"INSERT INTO items_categories VALUES ({row}.category, 1, {units}, {high}, "
                f"{low}) ON CONFLICT (category) DO UPDATE SET items = items + 1, "
                f"units = units + {units}, value_high = value_high + {high}, "
                f"value_low = value_low + {low};")
    return (f"UPDATE items_categories SET items = items - 1, units = units - {units}, "
            f"value_high = value_high - ({high}), value_low = value_low - ({low}) "
            f"WHERE category = {row}.category; DELETE FROM items_categories "
            f"WHERE category = {row}.category AND items = 0;")


def _add_search_index_and_totals(conn):
    # Contentless: the folded column stays the one copy of the text; the index keeps only
    # which rows hold each three-letter piece, and triggers keep it in step with the column.
    conn.execute("CREATE VIRTUAL TABLE items_search USING fts5(search_bare, content='', "
                 "tokenize='trigram case_sensitive 1', detail=none, columnsize=0)")
    conn.execute("CREATE VIRTUAL TABLE items_search_terms USING fts5vocab(items_search, row)")
    # Each category's count and sums, kept as rows change, so that no list page has to read
    # every item. Values are summed in two halves, as the list does; should one pass 64 bits,
    # SQLite turns it to REAL, which the store notices and then sums the rows themselves.
    conn.execute("CREATE TABLE items_categories (category TEXT PRIMARY KEY, "
                 "items INTEGER NOT NULL, units INTEGER NOT NULL, value_high NOT NULL, "
                 "value_low NOT NULL) WITHOUT ROWID")
    new, old = INDEXED.format("new"), INDEXED.format("old")
    for trigger in [
            f"""items_added AFTER INSERT ON items BEGIN
                INSERT INTO items_search (rowid, search_bare) VALUES (new.id, {new});
                {counted("new", "+")}""",
            f"""items_removed AFTER DELETE ON items BEGIN
                INSERT INTO items_search (items_search, rowid, search_bare)
                    VALUES ('delete', old.id, {old});
                {counted("old", "-")}""",
            f"""items_search_changed AFTER UPDATE OF search_bare ON items
            WHEN old.search_bare IS NOT new.search_bare BEGIN
                INSERT INTO items_search (items_search, rowid, search_bare)
                    VALUES ('delete', old.id, {old});
                INSERT INTO items_search (rowid, search_bare) VALUES (new.id, {new});""",
            f"""items_counted_changed AFTER UPDATE OF category, price_satang, quantity ON items
            WHEN old.category IS NOT new.category OR old.price_satang IS NOT new.price_satang
                OR old.quantity IS NOT new.quantity
            BEGIN {counted("old", "-")} {counted("new", "+")}"""]:
        conn.execute(f"CREATE TRIGGER {trigger} END")
    # Price and quantity pages sort only the rows of one price or quantity at a time; the
    # newest first walk the last index backwards, its row id breaking ties.
    for column in ("price_satang", "quantity", "updated_at"):
        conn.execute(f"CREATE INDEX items_{column.split('_')[0]} ON items ({column})")
    fill_search_and_categories(conn, "id")


def item_count(conn):
    """How many items there are, from the categories' kept sums rather than a walk."""
    return conn.execute("SELECT coalesce(sum(items), 0) FROM items_categories").fetchone()[0]


def fill_search_and_categories(conn, key="place"):
    """The search index and the categories' sums, from every item at once."""
    fill_search(conn, key)
    units, high, low = money("items")
    sums = f"sum({units}), sum({high}), sum({low})"
    try:
        conn.execute(f"INSERT INTO items_categories SELECT category, count(*), {sums} "
                     f"FROM items GROUP BY category")
    except sqlite3.OperationalError as error:
        if "overflow" not in str(error):
            raise
        conn.execute("INSERT INTO items_categories SELECT category, count(*), 0.0, 0.0, 0.0 "
                     "FROM items GROUP BY category")


# The index gathers rows in memory up to this many bytes before writing them as a segment:
# filled at once, fewer and larger segments leave it far less merging to do.
FILL_HASH, HASH = 16 << 20, 1 << 20


def fill_search(conn, key="place"):
    conn.execute("INSERT INTO items_search (items_search, rank) VALUES ('hashsize', ?)",
                 (FILL_HASH,))
    conn.execute(f"INSERT INTO items_search (rowid, search_bare) "
                 f"SELECT {key}, {INDEXED.format('items')} FROM items WHERE {key} NOT NULL "
                 f"ORDER BY {key}")
    # What the index has always had for a change of a few rows.
    conn.execute("INSERT INTO items_search (items_search, rank) VALUES ('hashsize', ?)",
                 (HASH,))


# Rows the search index lists by their place in name order, so that a page in name order is a
# walk from the right place in it; an item not yet placed (NULL) is not listed yet.
PLACED_TRIGGERS = [
    f"""items_added AFTER INSERT ON items BEGIN
        INSERT INTO items_search (rowid, search_bare)
            SELECT new.place, {INDEXED.format("new")} WHERE new.place NOT NULL;
        {counted("new", "+")}""",
    f"""items_removed AFTER DELETE ON items BEGIN
        INSERT INTO items_search (items_search, rowid, search_bare)
            SELECT 'delete', old.place, {INDEXED.format("old")} WHERE old.place NOT NULL;
        {counted("old", "-")}""",
    f"""items_search_changed AFTER UPDATE OF search_bare, place ON items
    WHEN old.search_bare IS NOT new.search_bare OR old.place IS NOT new.place BEGIN
        INSERT INTO items_search (items_search, rowid, search_bare)
            SELECT 'delete', old.place, {INDEXED.format("old")} WHERE old.place NOT NULL;
        INSERT INTO items_search (rowid, search_bare)
            SELECT new.place, {INDEXED.format("new")} WHERE new.place NOT NULL;"""]


def _fitting(cleaned, stored):
    # A step that breaks a CHECK would keep the whole catalog from opening.
    return cleaned if cleaned and len(cleaned) <= len(stored) else stored


def _canonical_codes(conn):
    # Codes take their one spelling unless another item already has it: those look-alikes are
    # kept as they are and listed for the shop to merge, since only a person can tell which
    # holds the right stock. Every search text is rewritten for the new Thai folding.
    conn.execute("CREATE TABLE code_lookalikes (item_id INTEGER PRIMARY KEY "
                 "REFERENCES items (id) ON DELETE CASCADE)")
    rows = conn.execute("SELECT id, code, name, category, note, search_text, search_bare, "
                        "sort_name FROM items").fetchall()
    spelled, groups = {}, collections.defaultdict(list)
    for item_id, code, *_ in rows:
        canonical = canonical_code(code)
        spelled[item_id] = canonical if 1 <= len(canonical) <= 64 else code
        groups[code_key(spelled[item_id])].append(item_id)
    changed = []
    for item_id, code, name, category, note, *stored in rows:
        alone = len(groups[code_key(spelled[item_id])]) == 1
        new = (spelled[item_id] if alone else code, _fitting(visible_line(name), name),
               _fitting(visible_line(category), category))
        new += search_columns(*new, note)
        # Only rows that change are written: most text folds as it did.
        if new != (code, name, category, *stored):
            changed.append((*new, item_id))
    conn.executemany("UPDATE items SET code = ?, name = ?, category = ?, search_text = ?, "
                     "search_bare = ?, sort_name = ? WHERE id = ?", changed)
    conn.executemany("INSERT INTO code_lookalikes (item_id) VALUES (?)",
                     ((i,) for group in groups.values() if len(group) > 1 for i in group))


# What a deleted item keeps in the bin, besides its entry and when it was deleted.
BINNED = ("id", "code", "name", "category", "price_satang", "quantity", "note", "created_at",
          "updated_at", "revision")


def _add_bin(conn):
    # A table apart keeps deleted items out of every search, sum, count and export. Entries
    # are never numbered again, so an old undo button cannot bring back another item; the
    # checks keep a crafted copy's bin as sound as its items.
    conn.execute("""
        CREATE TABLE deleted_items (
            entry INTEGER PRIMARY KEY AUTOINCREMENT,
            id INTEGER NOT NULL,
            code TEXT NOT NULL CHECK (length(code) BETWEEN 1 AND 64),
            name TEXT NOT NULL CHECK (length(name) BETWEEN 1 AND 200),
            category TEXT NOT NULL CHECK (length(category) <= 100),
            price_satang INTEGER NOT NULL
                CHECK (typeof(price_satang) = 'integer'
                       AND price_satang BETWEEN 0 AND 99999999999),
            quantity INTEGER NOT NULL
                CHECK (typeof(quantity) = 'integer' AND quantity BETWEEN 0 AND 999999999),
            note TEXT NOT NULL CHECK (length(note) <= 2000),
            created_at TEXT NOT NULL,
            updated_at TEXT NOT NULL,
            revision INTEGER NOT NULL,
            deleted_at TEXT NOT NULL
        )""")


REWRITTEN = 20000


def _lean_rows(conn):
    # The name was kept four times. The marked text is now derived when a word with marks asks
    # for it; the name order is a key of about a byte a letter, numbers by their value; the
    # search index lists rows by their place in that order, and the category is a token of
    # it, so that a word and a category narrow at once. Index and triggers are made again
    # around a rewrite of every row that would otherwise reindex each row twice.
    made = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'items_search'").fetchone()[0]
    for trigger in ("items_added", "items_removed", "items_search_changed"):
        conn.execute(f"DROP TRIGGER {trigger}")
    for name in ("items_search_terms", "items_search"):
        conn.execute(f"DROP TABLE {name}")
    conn.execute("DROP INDEX items_sort_name")
    for column in ("search_text", "sort_name"):
        conn.execute(f"ALTER TABLE items DROP COLUMN {column}")
    conn.execute("ALTER TABLE items ADD COLUMN sort_key BLOB NOT NULL DEFAULT x''")
    conn.execute("ALTER TABLE items ADD COLUMN place INTEGER")
    kill_point("lean-rows-narrowed")
    last = 0
    # By ranges of ids: rows rewritten under a cursor still reading them may be met twice.
    while batch := conn.execute("SELECT id, code, name, category, note FROM items WHERE id > ? "
                                "ORDER BY id LIMIT ?", (last, REWRITTEN)).fetchall():
        ids, *fields = zip(*batch)
        conn.executemany("UPDATE items SET search_bare = ?, sort_key = ? WHERE id = ?",
                         zip(*item_columns_of(*fields), ids))
        last = ids[-1]
    kill_point("lean-rows-rewritten")
    number_places(conn)
    conn.execute("CREATE UNIQUE INDEX items_place ON items (place)")
    conn.execute(made)
    conn.execute("CREATE VIRTUAL TABLE items_search_terms USING fts5vocab(items_search, row)")
    for trigger in PLACED_TRIGGERS:
        conn.execute(f"CREATE TRIGGER {trigger} END")
    fill_search(conn)
    kill_point("lean-rows-indexed")


# Places this far apart leave room for a few items to come one after another between two
# neighbours, and take a byte in the search index's lists where rows follow each other.
GAP = 64


def number_places(conn):
    """Every item's place afresh, in name order; the places' index must not be there."""
    conn.execute("CREATE TEMP TABLE ranked (id INTEGER PRIMARY KEY, number INTEGER NOT NULL)")
    # Stored in id order: in name order every row would land on another page of the table.
    conn.execute("INSERT INTO ranked SELECT id, number FROM (SELECT id, row_number() OVER "
                 "(ORDER BY sort_key, code) AS number FROM items) ORDER BY id")
    conn.execute("UPDATE items SET place = "
                 "(SELECT number FROM ranked WHERE ranked.id = items.id) * ?", (GAP,))
    conn.execute("DROP TABLE temp.ranked")


# Append only: a database's user_version counts the steps it has had.
MIGRATIONS = [_create_items, _add_search_and_revision, _add_search_and_sort_keys,
              _add_search_index_and_totals, _canonical_codes, _add_bin, _lean_rows]
