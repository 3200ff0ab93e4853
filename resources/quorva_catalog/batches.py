"""An import's rows read a batch at a time, each column cleaned at once where it can be."""

import csv
import datetime
import io
import re
import unicodedata

from .csvfile import (SPREADSHEET, Problems, csv_problem, encoding_of, read_records,
                      spreadsheet_kind, unguard_cell, unreadable)
from .text import (FIELD_LABELS, NUMBER_FIELDS, TEXT_LIMITS, canonical_code, clean_item,
                   compatible_already, multi_line, parse_number, parse_utc, unordered,
                   visible_line)


def read_csv(data):
    """(rows, problems, ignored header names): `rows` yields each good row as (number, values,
    times), and `problems` fills as they are found. See read_batches."""
    batches, problems, ignored = read_batches(data)

    def rows():
        for batch in batches:
            for problem in batch.problems:
                problems.append(problem)
            yield from batch.rows()
    return rows(), problems, ignored


def read_batches(data):
    """(batches, problems, ignored header names): `batches` yields the file's rows a Batch at a
    time as they are read, so that no more than a batch of the file is held at once. Problems
    with the file as a whole are in `problems` at once; those of a batch's rows come with it.

    `data` is the upload as bytes or as a seekable binary file, open until `batches` is done."""
    stream = io.BytesIO(data) if isinstance(data, (bytes, bytearray)) else data
    problems = Problems()
    kind = spreadsheet_kind(stream)
    if kind is not None:
        problems.append((None, SPREADSHEET.format(kind)))
        return iter(()), problems, []
    encoding, failed = encoding_of(stream)
    if encoding is None:
        problems.append((None, unreadable(stream, failed)))
        return iter(()), problems, []
    text = io.TextIOWrapper(stream, encoding=encoding, newline="")
    try:
        records, fields, ignored = read_records(text, problems)
    except BaseException:
        text.detach()
        raise
    if records is None:
        text.detach()
        return iter(()), problems, ignored
    return detaching(data_rows(records, fields, problems), text), problems, ignored


def detaching(rows, text):
    try:
        yield from rows
    finally:
        text.detach()


BATCH = 4000
# Cells may be long (up to the csv module's limit): a batch also ends at this much text.
BATCH_TEXT = 4 << 20


class Batch:
    """Rows read together: their numbers, their values field by field (a list per field the
    file has), their times (None where a row gives none that reads), and the problems found in
    the rows it read, in row order; rows with a problem are not among its rows."""

    def __init__(self, numbers, columns, created, updated, problems):
        self.numbers, self.columns, self.problems = numbers, columns, problems
        self.created, self.updated = created, updated

    def rows(self):
        """Each row as (number, values, times)."""
        fields = list(self.columns)
        for index, number in enumerate(self.numbers):
            times = {field: column[index] for field, column in (
                ("created_at", self.created), ("updated_at", self.updated))
                if column is not None and column[index]}
            yield number, {f: self.columns[f][index] for f in fields}, times


def data_rows(records, fields, problems):
    """The data rows a Batch at a time; `problems` only learns that there were none."""
    width = len(fields)
    code_at = fields.index("code")
    number, line, found, pending = 1, records.line_num + 1, False, []
    cells_of, numbers, size = [], [], 0
    try:
        for number, cells in enumerate(records, start=2):
            line = records.line_num + 1
            code = cells[code_at] if len(cells) > code_at else ""
            if len(cells) != width or not code or code.isspace():
                if not any(cell.strip() for cell in cells):
                    continue
                if any(cell.strip() for cell in cells[width:]):
                    pending.append((number, "มีข้อมูลเกินจำนวนคอลัมน์ในหัวตาราง"))
                    found = True
                    continue
                cells = cells[:width] + [""] * (width - len(cells))
            found = True
            cells_of.append(cells)
            numbers.append(number)
            size += sum(map(len, cells))
            if len(numbers) >= BATCH or size >= BATCH_TEXT:
                yield batch_of(cells_of, numbers, fields, pending)
                cells_of, numbers, pending, size = [], [], [], 0
    except csv.Error as error:
        pending.append((number + 1, csv_problem(str(error), line)))
    if not found and not pending:
        problems.append((None, "ไฟล์ไม่มีข้อมูลสินค้า"))
    if numbers or pending:
        yield batch_of(cells_of, numbers, fields, pending)


# What cleaning does to a cell, and whether it may leave a whole column of cells as they are.
CLEANED = {"code": canonical_code, "name": visible_line, "category": visible_line,
           "note": multi_line}
WHOLE = re.compile(r"[0-9]{1,9}(?:\n[0-9]{1,9})*")
CENTS = re.compile(r"[0-9]{1,9}\.[0-9]{2}(?:\n[0-9]{1,9}\.[0-9]{2})*")
PRICES = re.compile(r"[0-9]{1,9}(?:\.[0-9]{0,2})?(?:\n[0-9]{1,9}(?:\.[0-9]{0,2})?)*")
STAMP = re.compile(r"[1-9][0-9]{3}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")


def batch_of(cells_of, numbers, fields, pending):
    """The Batch of rows whose cells are `cells_of`: each column is cleaned at once where a
    look over the whole column shows cleaning would leave it as it is, and cell by cell
    otherwise; rows with a problem are read again as clean_item reads them, for its
    messages."""
    columns = {field: column for field, column in zip(fields, zip(*cells_of)) if field}
    for field, column in columns.items():
        if "'" in "".join(column):
            columns[field] = [unguard_cell(cell) for cell in column]
    suspect, values = set(), {}
    for field in ("code", "name", "category", "note"):
        if field in columns:
            values[field] = cleaned_column(field, columns[field], suspect)
    for field, key in (("price", "price_satang"), ("quantity", "quantity")):
        if field in columns:
            values[key] = number_column(field, columns[field], suspect)
    created, updated = (stamp_column(columns.get(f)) for f in ("created_at", "updated_at"))
    problems = list(pending)
    if suspect:
        present = [f for f in fields if f in FIELD_LABELS]
        for index in sorted(suspect):
            raw = {f: unguard_cell(c) for f, c in zip(fields, cells_of[index]) if f}
            good, bad = clean_item(raw, present)
            problems.extend((numbers[index], message) for message in bad.values())
            if not bad:
                for key, value in good.items():
                    values[key][index] = value
                suspect.discard(index)
        if suspect:
            kept = [i for i in range(len(numbers)) if i not in suspect]
            numbers = [numbers[i] for i in kept]
            values = {key: [column[i] for i in kept] for key, column in values.items()}
            created, updated = ([column[i] for i in kept] if column is not None else None
                                for column in (created, updated))
        problems.sort(key=lambda problem: problem[0])
    return Batch(numbers, values, created, updated, problems)


def unchanged_by_cleaning(field, column):
    joined = "\n".join(column)
    # Printable text has no line breaks, controls or invisible characters, and no space but
    # the plain one.
    if not ("".join(column).isprintable() and unicodedata.is_normalized("NFC", joined)):
        return False
    if joined[:1] == " " or joined[-1:] == " " or " \n" in joined or "\n " in joined:
        return False
    if field == "note":
        return True
    if "  " in joined:
        return False
    return field != "code" or compatible_already(joined) and not unordered(joined)


def cleaned_column(field, column, suspect):
    column = (list(column) if unchanged_by_cleaning(field, column)
              else list(map(CLEANED[field], column)))
    if field in ("code", "name") and "" in column:
        suspect.update(i for i, value in enumerate(column) if not value)
    limit = TEXT_LIMITS[field]
    if max(map(len, column)) > limit:
        suspect.update(i for i, value in enumerate(column) if len(value) > limit)
    return column


def number_column(field, column, suspect):
    joined = "\n".join(column)
    if WHOLE.fullmatch(joined):
        whole = list(map(int, column))
        return [n * 100 for n in whole] if field == "price" else whole
    if field == "price" and CENTS.fullmatch(joined):
        return list(map(int, joined.replace(".", "").split("\n")))
    if field == "price" and PRICES.fullmatch(joined):
        return [int(whole) * 100 + int((cents + "00")[:2])
                for whole, _, cents in (cell.partition(".") for cell in column)]
    key, whole_only, limit, _ = NUMBER_FIELDS[field]
    numbers = []
    for index, cell in enumerate(column):
        text = cell.strip()
        number, problem = parse_number(text, whole_only=whole_only)
        if not text or problem or number > limit:
            suspect.add(index)
        numbers.append(number)
    return numbers


def stamp_column(column):
    """parse_utc of each cell, None for a blank cell; an export's own form is taken as it is
    once it reads as a date."""
    if column is None:
        return None
    seen, stamps = {}, []
    for cell in column:
        stamp = seen.get(cell, False)
        if stamp is False:
            if STAMP.fullmatch(cell):
                try:
                    datetime.datetime.fromisoformat(cell[:19])
                    stamp = cell
                except ValueError:
                    stamp = None
            elif cell.strip():
                stamp = parse_utc(cell)
            else:
                stamp = None
            seen[cell] = stamp
        stamps.append(stamp)
    return stamps
