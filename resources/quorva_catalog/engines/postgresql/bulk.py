"""The shared catalog's import: the file's new rows and changes are copied into temporary
tables and merged into the items at the end, all in the import's one transaction."""

from ...text import code_key, search_columns_of
from ..base import ImportSession

COLUMNS = ("code", "name", "category", "price_satang", "quantity", "note", "search_text",
           "search_bare", "sort_name", "created_at", "updated_at")
# Past this share of the catalog new, the planner learns the new rows' make-up at once.
ANALYSED = 0.1


def derived(rows):
    """The columns of `rows` (lists by key) with what the items keep beside them."""
    columns = dict(rows)
    columns["search_text"], columns["search_bare"], columns["sort_name"] = search_columns_of(
        rows["code"], rows["name"], rows["category"], rows["note"])
    return columns


def copy_rows(conn, table, names, columns):
    with conn.cursor().copy(f"COPY {table} ({', '.join(names)}) FROM STDIN") as copy:
        for row in zip(*(columns[name] for name in names)):
            copy.write_row(row)


class PostgreSQLImport(ImportSession):
    def __init__(self, conn):
        self.conn = conn
        self.empty = conn.execute("SELECT NOT EXISTS (SELECT 1 FROM items) AS empty"
                                  ).fetchone()["empty"]
        self.claimed, self.added, self.changed = {}, 0, 0
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

    def update(self, item_id, values, now):
        columns = derived({key: [value] for key, value in values.items()})
        columns.update(id=[item_id], created_at=[""], updated_at=[now])
        copy_rows(self.conn, "changed", ("id",) + COLUMNS, columns)
        self.changed += 1

    def finish(self):
        kept = ", ".join(COLUMNS)
        if self.changed:
            self.conn.execute(
                f"UPDATE items SET ({kept}, revision) = ({', '.join(f'c.{n}' for n in COLUMNS[:-2])}, "
                f"items.created_at, c.updated_at, items.revision + 1) FROM changed c "
                f"WHERE items.id = c.id")
        if self.added:
            # Ids rise in the file's order.
            self.conn.execute(f"INSERT INTO items ({kept}) SELECT {kept} FROM incoming "
                              f"ORDER BY number")
            total = self.conn.execute("SELECT count(*) AS n FROM items").fetchone()["n"]
            if self.added > ANALYSED * total:
                self.conn.execute("ANALYZE items")


def kind(name):
    return "bigint" if name in ("price_satang", "quantity") else "text"
