"""The all-or-nothing import: each batch of a file's rows compared with the stored items, and
what the file adds or changes written through the engine's import session."""

import bisect
import contextlib
import gc

from ..text import FIELD_LABELS, utc_now
from .errors import ImportRejected

SHOWN_CHANGES = 200
MERGED = ("name", "category", "price_satang", "quantity", "note")


@contextlib.contextmanager
def collector_paused():
    """The cycle collector held off: an import's batches keep tens of thousands of rows alive
    at once, which each collection walks again, for no cycle to free (a million rows:
    about 1.5 s of CPU). The one that paused it lets it run again."""
    paused = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if paused:
            gc.enable()


class Unwritten(Exception):
    """Undoes a preview's transaction."""


def upsert(engine, batches, errors, preview=False, overwrite_older=False, stamp=None,
           snapshot=None, committing=None):
    """All rows or none: the rows of each Batch from batches.read_batches are written as
    they come, in one transaction that any error, found here or by the reader, undoes.
    `errors` gets every problem in row order.

    A row dated before the stored item's last change is left as it is unless
    `overwrite_older`. With `preview`, a file that would change existing items is not
    written: the result holds what it would change and the catalog's stamp. With `stamp`,
    CatalogChanged when the catalog is no longer as it was then. `snapshot` is called
    just before the commit, unless the catalog was empty, and then `committing`, with the
    result, where anything was written."""
    result = {"added": 0, "updated": 0, "same": 0, "older": 0, "changes": [],
              "written": True, "snapshot": None, "overwrote": overwrite_older}
    try:
        with collector_paused(), engine.importing(stamp) as session:
            for batch in batches:
                upsert_batch(session, batch, errors, result, overwrite_older)
            if errors:
                raise ImportRejected(errors)
            session.finish()
            if preview and (result["updated"] or result["older"]):
                result["written"] = False
                raise Unwritten()
            written = result["added"] or result["updated"] or (
                result["older"] and overwrite_older)
            if snapshot is not None and written and not session.empty:
                result["snapshot"] = snapshot()
            if committing is not None and written:
                committing(result)
    except Unwritten:
        result["stamp"] = engine.stamp()
    return result


def batch_problems(batch, found, repeated):
    """The batch's problems, in row order: its own, and codes the catalog lacks that a new
    item would need more columns for."""
    columns, numbers = batch.columns, batch.numbers
    problems = list(repeated)
    missing = [FIELD_LABELS[f] for f, key in (("name", "name"), ("price", "price_satang"))
               if key not in columns]
    if missing:
        taken = {number for number, _ in repeated}
        problems += [(number, f"รหัส “{code}” ยังไม่มีในแคตตาล็อก "
                              f"จึงต้องมีคอลัมน์{'และ'.join(missing)}")
                     for number, code in zip(numbers, columns["code"])
                     if number not in taken and number not in found]
    problems += batch.problems
    problems.sort(key=lambda problem: problem[0])
    return problems


def upsert_batch(session, batch, errors, counts, overwrite_older):
    """One batch's rows checked together, and written unless some row so far has a problem;
    the rows before a batch's first problem are written as a row-by-row import would, so
    that a database's own refusal of one of them is met as it was."""
    columns, numbers = batch.columns, batch.numbers
    if not numbers:
        for problem in batch.problems:
            errors.append(problem)
        return
    codes = columns["code"]
    index = {number: i for i, number in enumerate(numbers)}
    repeated = [(number, f"รหัส “{codes[index[number]]}” ซ้ำกับแถวที่ {first}")
                for number, first in session.claim_codes(numbers, codes)]
    found = {} if session.empty else session.existing(numbers, codes)
    problems = batch_problems(batch, found, repeated)
    # Still read to the end, for every problem; nothing more is written.
    end = 0 if errors else bisect.bisect_left(numbers, problems[0][0]) if problems else (
        len(numbers))
    for problem in problems:
        errors.append(problem)
    skipped = {number for number, _ in repeated}
    updates = []
    if not found and not skipped:
        added = list(range(end))
    else:
        added = [i for i in range(end) if numbers[i] not in skipped
                 and not merge_row(batch, i, found.get(numbers[i]), counts, overwrite_older,
                                   updates)]
    if updates:
        session.update_many(updates, utc_now())
    if added:
        rows = new_rows(batch, added, utc_now())
        session.insert_many(rows)
        counts["added"] += len(added)
        counts["last_added"] = rows["code"][-1]


def merge_row(batch, i, existing, counts, overwrite_older, updates):
    """The file's row `i` over its stored item, its change added to `updates`; False where
    there is none to merge with."""
    if existing is None:
        return False
    values = {key: column[i] for key, column in batch.columns.items()}
    dated = batch.updated[i] if batch.updated is not None else None
    # Columns the file leaves out keep their values; the code takes the file's spelling,
    # since the match ignores Latin case.
    merged = {k: existing[k] for k in MERGED}
    merged.update(values)
    changed = [k for k in merged if existing[k] != merged[k]]
    if not changed:
        counts["same"] += 1
        return True
    # An older export must not undo what was saved since it was made.
    older = (dated or "9") < existing["updated_at"]
    counts["older" if older else "updated"] += 1
    if len(counts["changes"]) < SHOWN_CHANGES:
        counts["changes"].append((existing, merged, changed, older, dated))
    if not older or overwrite_older:
        updates.append((existing["id"], merged, changed))
    return True


def new_rows(batch, indexes, now):
    """The rows at `indexes` as new items, column by column; a row without times is made
    now, and one without a change time was last changed when it was made."""
    every = len(indexes) == len(batch.numbers)

    def taken(column, default):
        if column is None:
            return [default] * len(indexes)
        return list(column) if every else [column[i] for i in indexes]

    rows = {key: taken(batch.columns.get(key), default) for key, default in (
        ("code", ""), ("name", ""), ("category", ""), ("price_satang", 0), ("quantity", 0),
        ("note", ""))}
    rows["created_at"] = ([now] * len(indexes) if batch.created is None else
                          [made or now for made in taken(batch.created, None)])
    rows["updated_at"] = (list(rows["created_at"]) if batch.updated is None else
                          [dated or made for dated, made in
                           zip(taken(batch.updated, None), rows["created_at"])])
    return rows
