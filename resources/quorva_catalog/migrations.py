"""The database's schema, one step per version."""

import collections

from .text import canonical_code, code_key, search_columns, visible_line

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


# Append only: a database's user_version counts the steps it has had.
MIGRATIONS = [_create_items, _add_search_and_revision, _add_search_and_sort_keys,
              _canonical_codes]
