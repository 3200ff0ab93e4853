"""Copies of a shared catalog: always the embedded catalog's portable SQLite file, made from the
rows of one committed state, and put back row by row in one transaction."""

import contextlib
import re

from ...text import marked_columns_of
from ..sqlite.copies import compare_rows, read_only_uri, seal
from ..sqlite.database import connect, migrate, open_untrusted
from ..sqlite.migrations import BINNED, MIGRATIONS, fill_search_and_categories, number_places
from .bulk import copy_rows, indexes_rebuilt

ITEM = ("id", "code", "name", "category", "price_satang", "quantity", "note", "created_at",
        "updated_at", "revision", "search_bare", "sort_key")
BIN = ("entry", *BINNED, "deleted_at")
BATCH = 5000


# COPY's text format writes these characters of a value escaped.
UNESCAPED = {"\\": "\\", "n": "\n", "r": "\r", "t": "\t", "b": "\b", "f": "\f", "v": "\v"}
ESCAPE = re.compile(r"\\(.)")
NUMBERS = (3, 4)


def copied_rows(copy):
    """Each row of a COPY TO in text format as a tuple, price and quantity as numbers."""
    pending = b""
    for chunk in copy:
        *lines, pending = (pending + bytes(chunk)).split(b"\n")
        for line in b"\n".join(lines).decode().split("\n") if lines else ():
            values = line.split("\t")
            if "\\" in line:
                values = [ESCAPE.sub(lambda found: UNESCAPED[found[1]], value)
                          for value in values]
            for index in NUMBERS:
                values[index] = int(values[index])
            yield tuple(values)


def batches(cursor):
    while rows := cursor.fetchmany(BATCH):
        yield rows


def copy_table(conn, dest, table, columns, order):
    """Every row of `table` into the copy, a batch at a time through a server-side cursor."""
    with conn.cursor(f"copy_{table}") as source:
        source.execute(f"SELECT {', '.join(columns)} FROM {table} ORDER BY {order}")
        for rows in batches(source):
            dest.executemany(f"INSERT INTO {table} ({', '.join(columns)}) VALUES "
                             f"({', '.join('?' * len(columns))})",
                             [tuple(row[name] for name in columns) for row in rows])


def write_copy(conn, target):
    """`target`, a new SQLite catalog file of the current version, from the rows `conn` reads
    in its one snapshot; checked and on disk."""
    with contextlib.closing(connect(target, isolation_level=None)) as dest:
        dest.execute("PRAGMA trusted_schema = ON")
        migrate(dest, 0, len(MIGRATIONS))
        derived = dest.execute("SELECT type, name, sql FROM sqlite_master WHERE type = 'trigger' "
                               "OR name = 'items_place'").fetchall()
        dest.execute("BEGIN")
        # Places, the search index and sums are made once from every row rather than row by
        # row, as the embedded catalog's own migration makes them.
        for kind, name, _ in derived:
            dest.execute(f'DROP {kind} "{name}"')
        copy_table(conn, dest, "items", ITEM, "id")
        dest.executemany("INSERT INTO code_lookalikes (item_id) VALUES (?)", [
            (row["item_id"],) for row in conn.execute("SELECT item_id FROM code_lookalikes")])
        copy_table(conn, dest, "deleted_items", BIN, "entry")
        number_places(dest)
        fill_search_and_categories(dest)
        for _, _, sql in derived:
            dest.execute(sql)
        dest.execute("COMMIT")
        seal(dest, target)


def compare_copy(conn, path):
    """engines/base.Engine.compare_copy: the items, in a private table beside the attached
    copy, compared as the embedded catalog compares them."""
    with contextlib.closing(connect(":memory:", isolation_level=None)) as local:
        local.execute("CREATE TABLE items (code TEXT COLLATE NOCASE, name, category, "
                      "price_satang, quantity, note, updated_at)")
        fields = ("code", "name", "category", "price_satang", "quantity", "note", "updated_at")
        with conn.cursor("compare_items") as source:
            source.execute(f"SELECT {', '.join(fields)} FROM items")
            for rows in batches(source):
                local.executemany("INSERT INTO items VALUES (?, ?, ?, ?, ?, ?, ?)",
                                  [tuple(row[name] for name in fields) for row in rows])
        local.execute("CREATE INDEX items_code ON items (code)")
        local.execute("ATTACH DATABASE ? AS copy", (read_only_uri(path),))
        return compare_rows(local)


def replace_with_copy(conn, path):
    """Every row replaced by the checked copy's, in the caller's one transaction; what is
    derived from the text is derived again, so no copy can make a search miss."""
    conn.execute("LOCK TABLE items IN EXCLUSIVE MODE")
    names = ITEM[:10]
    with indexes_rebuilt(conn), contextlib.closing(open_untrusted(path)) as source:
        conn.execute("DELETE FROM code_lookalikes")
        conn.execute("DELETE FROM items")
        rows = source.execute(f"SELECT {', '.join(names)} FROM items ORDER BY id")
        while chunk := rows.fetchmany(BATCH):
            columns = dict(zip(names, map(list, zip(*chunk))))
            columns["search_text"], columns["search_bare"], columns["sort_key"] = (
                marked_columns_of(columns["code"], columns["name"], columns["category"],
                                  columns["note"]))
            copy_rows(conn, "items", ITEM + ("search_text",), columns)
        lookalikes = [row[0] for row in source.execute("SELECT item_id FROM code_lookalikes")]
        replace_bin(conn, source)
    if lookalikes:
        conn.execute("INSERT INTO code_lookalikes SELECT unnest(%s::bigint[])", (lookalikes,))
    # New items take ids after the copy's and after any the catalog gave before: an old
    # page's link never reaches another item.
    conn.execute("SELECT setval(sequence, greatest((SELECT coalesce(max(id), 0) FROM items), "
                 "nextval(sequence))) FROM pg_get_serial_sequence('items', 'id') AS sequence")


def replace_bin(conn, source):
    """The bin's entries replaced by the copy's, whose numbers later entries stay above."""
    conn.execute("DELETE FROM deleted_items")
    rows = source.execute(f"SELECT {', '.join(BIN)} FROM deleted_items ORDER BY entry")
    while chunk := rows.fetchmany(BATCH):
        copy_rows(conn, "deleted_items", BIN, dict(zip(BIN, map(list, zip(*chunk)))))
    conn.execute("SELECT setval(sequence, greatest((SELECT coalesce(max(entry), 0) FROM "
                 "deleted_items), nextval(sequence))) "
                 "FROM pg_get_serial_sequence('deleted_items', 'entry') AS sequence")
