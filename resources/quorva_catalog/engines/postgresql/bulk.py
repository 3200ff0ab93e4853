"""The shared catalog's import: the file's new rows and changes are copied into temporary
tables and merged into the items at the end, all in the import's one transaction."""

import contextlib

from ...catalog.backups import kill_point
from ...catalog.errors import InvalidValues
from ...text import code_key, marked_columns_of
from ..base import ImportSession

COLUMNS = ("code", "name", "category", "price_satang", "quantity", "note", "search_text",
           "search_bare", "sort_key", "created_at", "updated_at")
# Past this share of the catalog new, the planner learns the new rows' make-up at once.
ANALYSED = 0.1


def derived(rows):
    """The columns of `rows` (lists by key) with what the items keep beside them."""
    columns = dict(rows)
    columns["search_text"], columns["search_bare"], columns["sort_key"] = marked_columns_of(
        rows["code"], rows["name"], rows["category"], rows["note"])
    return columns


def escaped(column):
    """A column of text as COPY's text format writes it, one string each."""
    joined = "\0".join(column)
    if joined.count("\0") != len(column) - 1:
        raise InvalidValues()  # text with a NUL, which no cleaned text has
    if "\\" in joined or "\t" in joined or "\n" in joined or "\r" in joined:
        joined = (joined.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
                  .replace("\r", "\\r"))
    return joined.split("\0")


def copy_rows(conn, table, names, columns):
    """The rows of `columns` (lists by name) into `table` with one COPY: each column is
    escaped at once, where the driver would take every value in turn."""
    if not len(columns[names[0]]):
        return
    cells = [cells_of(columns[name]) for name in names]
    with conn.cursor().copy(f"COPY {table} ({', '.join(names)}) FROM STDIN") as copy:
        copy.write("\n".join(map("\t".join, zip(*cells))) + "\n")


def cells_of(column):
    first = next(iter(column), "")
    if isinstance(first, str):
        return escaped(column)
    if isinstance(first, bytes):
        # bytea's hex form, its backslash doubled as COPY's text format wants.
        return ["\\\\x" + value.hex() for value in column]
    return list(map(str, column))


@contextlib.contextmanager
def indexes_rebuilt(conn):
    """The items' indexes that no constraint needs are dropped for the block and made again
    from all the rows at its end, several times faster than row by row. Dropping them holds
    off readers too until the transaction ends."""
    kept = conn.execute("SELECT indexname, indexdef FROM pg_indexes WHERE tablename = 'items' "
                        "AND schemaname = current_schema() AND indexname NOT IN "
                        "(SELECT conname FROM pg_constraint WHERE conrelid = 'items'::regclass)"
                        ).fetchall()
    for row in kept:
        conn.execute(f'DROP INDEX "{row["indexname"]}"')
    yield
    conn.execute("SET LOCAL maintenance_work_mem = '256MB'")
    for row in kept:
        conn.execute(row["indexdef"])


class PostgreSQLImport(ImportSession):
    def __init__(self, conn):
        self.conn = conn
        self.empty = conn.execute("SELECT NOT EXISTS (SELECT 1 FROM items) AS empty"
                                  ).fetchone()["empty"]
        self.claimed, self.added, self.changed = {}, 0, 0
        # Whether so many rows are new that the table is worth vacuuming once committed.
        self.settle = False
        for table, extra in (("incoming", "number bigint"), ("changed", "id bigint")):
            conn.execute(f"CREATE TEMP TABLE {table} ({extra}, "
                         f"{', '.join(f'{name} {kind(name)}' for name in COLUMNS)}) "
                         f"ON COMMIT DROP")

    def claim_codes(self, numbers, codes):
        repeated = []
        for number, code in zip(numbers, codes):
            first = self.claimed.setdefault(code_key(code), number)
            if first != number:
                repeated.append((number, first))
        return repeated

    def existing(self, numbers, codes):
        keys = [code_key(code) for code in codes]
        found = {row["code_nocase"]: row for row in self.conn.execute(
            "SELECT * FROM items WHERE code_nocase = ANY(%s)", (keys,))}
        return {number: found[key] for number, key in zip(numbers, keys) if key in found}

    def insert_many(self, rows):
        columns = derived(rows)
        count = len(columns["code"])
        columns["number"] = range(self.added, self.added + count)
        self.added += count
        copy_rows(self.conn, "incoming", ("number",) + COLUMNS, columns)

    def update_many(self, updates, now):
        # A batch's changes in one COPY, their words folded a column at a time.
        columns = derived({key: [values[key] for _, values, _ in updates]
                           for key in updates[0][1]})
        columns.update(id=[item_id for item_id, _, _ in updates],
                       created_at=[""] * len(updates), updated_at=[now] * len(updates))
        copy_rows(self.conn, "changed", ("id",) + COLUMNS, columns)
        self.changed += len(updates)

    def finish(self):
        kept = ", ".join(COLUMNS)
        if self.changed:
            given = ", ".join(f"c.{name}" for name in COLUMNS[:-2])
            self.conn.execute(
                f"UPDATE items SET ({kept}, revision) = ({given}, items.created_at, c.updated_at, "
                f"items.revision + 1) FROM changed c WHERE items.id = c.id")
        if self.added:
            # Into an empty catalog, as into the embedded one, the indexes are made at the end.
            with indexes_rebuilt(self.conn) if self.empty else contextlib.nullcontext():
                # Ids rise in the file's order.
                self.conn.execute(f"INSERT INTO items ({kept}) SELECT {kept} FROM incoming "
                                  f"ORDER BY number")
            kill_point("import-merged")
            total = self.conn.execute("SELECT count(*) AS n FROM items").fetchone()["n"]
            self.settle = self.added > ANALYSED * total
            if self.settle:
                self.conn.execute("ANALYZE items")


def kind(name):
    return ("bigint" if name in ("price_satang", "quantity") else
            "bytea" if name == "sort_key" else "text")
