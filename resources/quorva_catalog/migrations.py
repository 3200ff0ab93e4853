"""The database's schema, one step per version."""

from .text import search_columns

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


# Append only: a database's user_version counts the steps it has had.
MIGRATIONS = [_create_items, _add_search_and_revision, _add_search_and_sort_keys]
