"""Each item's place in name order, kept as items are added, renamed and imported: the search
index lists rows by it (migrations.PLACED_TRIGGERS)."""

from ...text import code_key
from .migrations import GAP, PLACED_TRIGGERS, fill_search, number_places

# Past this many items to place at once, numbering every place afresh costs less.
RENUMBERED = 2000
# Rows given fresh places around a spot where neighbours have no room left between them.
SPREAD = 32


def place_new(conn):
    """Places every item that has none (a new one, or one whose name or code changed)."""
    waiting = conn.execute("SELECT id, sort_key, code FROM items WHERE place IS NULL "
                           "ORDER BY sort_key, code").fetchall()
    if len(waiting) > RENUMBERED:
        renumber(conn)
        return
    for item_id, key, code in waiting:
        while True:
            low, high = neighbours(conn, key, code)
            if low is None or high is None or high - low > 1:
                break
            spread(conn, low, high)
        place = (GAP if high is None else high - GAP) if low is None else (
            low + GAP if high is None else (low + high) // 2)
        conn.execute("UPDATE items SET place = ? WHERE id = ?", (place, item_id))


def neighbours(conn, key, code):
    """The places of the placed items just before and just after (key, code), or None: a
    binary search over places, each step reading the first row at or past its middle."""
    low = high = None
    start, end = conn.execute("SELECT min(place), max(place) + 1 FROM items").fetchone()
    wanted = (key, code_key(code))
    # Every placed row below `start` comes before the item, every one from `end` on after.
    while start is not None and start < end:
        middle = (start + end) // 2
        row = conn.execute("SELECT place, sort_key, code FROM items WHERE place >= ? AND "
                           "place < ? ORDER BY place LIMIT 1", (middle, end)).fetchone()
        if row is None:
            end = middle
        elif (row[1], code_key(row[2])) < wanted:
            low, start = row[0], row[0] + 1
        else:
            high = end = row[0]
    return low, high


def spread(conn, low, high):
    """Evenly spaced places for the rows around two neighbours with no room between them,
    over a wider stretch each time the stretch is crowded too."""
    width = SPREAD
    while True:
        before = conn.execute("SELECT id, place FROM items WHERE place <= ? ORDER BY place DESC "
                              "LIMIT ?", (low, width + 1)).fetchall()
        after = conn.execute("SELECT id, place FROM items WHERE place >= ? ORDER BY place "
                             "LIMIT ?", (high, width + 1)).fetchall()
        # The rows beyond the stretch bound it; at an end of the order there is room.
        start = before.pop()[1] if len(before) > width else before[-1][1] - width * GAP
        end = after.pop()[1] if len(after) > width else after[-1][1] + width * GAP
        rows = [item_id for item_id, _ in before[::-1] + after]
        if end - start > 8 * (len(rows) + 1):
            break
        if len(before) < width and len(after) < width:
            renumber(conn)
            return
        width *= 4
    step = (end - start) // (len(rows) + 1)
    marks = ", ".join("?" * len(rows))
    conn.execute(f"UPDATE items SET place = NULL WHERE id IN ({marks})", rows)
    conn.executemany("UPDATE items SET place = ? WHERE id = ?",
                     ((start + step * (n + 1), item_id) for n, item_id in enumerate(rows)))


def renumber(conn):
    """Every place afresh, and the search index with them, at once rather than row by row."""
    conn.execute("DROP INDEX items_place")
    for name in ("items_added", "items_removed", "items_search_changed"):
        conn.execute(f"DROP TRIGGER {name}")
    number_places(conn)
    conn.execute("INSERT INTO items_search (items_search) VALUES ('delete-all')")
    fill_search(conn)
    conn.execute("CREATE UNIQUE INDEX items_place ON items (place)")
    for trigger in PLACED_TRIGGERS:
        conn.execute(f"CREATE TRIGGER {trigger} END")
