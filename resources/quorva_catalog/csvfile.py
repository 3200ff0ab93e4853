"""CSV files in and out: the columns, spreadsheet formula guards, and reading an import."""

import codecs
import csv
import datetime
import io
import itertools
import re
import unicodedata

from .text import (FIELD_LABELS, NUMBER_FIELDS, TEXT_LIMITS, UNORDERED, canonical_code,
                   clean_item, format_satang, multi_line, parse_number, parse_utc, search_form,
                   visible_line)

# The header each export writes, then other names a file may use: the form's own labels and
# what spreadsheets and other shop programs commonly call the same thing.
CSV_COLUMNS = [
    ("code", "รหัสสินค้า", ("code", "sku", "รหัส", "barcode", "บาร์โค้ด", "product code",
                            "item code")),
    ("name", "ชื่อสินค้า", ("name", "ชื่อ", "product", "product name", "item name",
                            "ชื่อรายการ")),
    ("category", "หมวดหมู่", ("category", "หมวด", "ประเภท", "กลุ่มสินค้า")),
    ("price", "ราคา", ("price", "ราคา (บาท)", "ราคาขาย", "ราคาต่อหน่วย", "unit price")),
    ("quantity", "จำนวน", ("quantity", "qty", "คงเหลือ", "จำนวนคงเหลือ", "สต็อก", "stock")),
    ("note", "หมายเหตุ", ("note", "notes", "รายละเอียด")),
    ("created_at", "สร้างเมื่อ (UTC)", ("created_at", "created", "สร้างเมื่อ")),
    ("updated_at", "แก้ไขล่าสุด (UTC)", ("updated_at", "updated", "แก้ไขล่าสุด")),
]
HEADER_NAMES = {search_form(" ".join(name.split())): field
                for field, header, aliases in CSV_COLUMNS for name in (header,) + aliases}
FORMULA_START = tuple("=+-@\t\r")


def quoted(text):
    return text[:1] == "'" and text[1:2] != "" and text[1:2] in FORMULA_START + ("'",)


def guard_cell(text):
    # Spreadsheets run a cell starting with these as a formula; the quote is undone on import.
    return "'" + text if text.startswith(FORMULA_START) or quoted(text) else text


def unguard_cell(text):
    return text[1:] if quoted(text) else text


def write_csv(rows, out):
    """Rows of (code, name, category, price_satang, quantity, note, created_at, updated_at)
    to the binary file `out` as UTF-8 with its mark, a block of rows at a time."""
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow([header for _, header, _ in CSV_COLUMNS])
    out.write("\ufeff".encode("utf-8"))
    for block in iter(lambda: list(itertools.islice(rows, 2000)), []):
        writer.writerows([guard(code), guard(name), guard(category),
                          format_satang(price, False), quantity, guard(note), created, updated]
                         for code, name, category, price, quantity, note, created, updated
                         in block)
        out.write(text.getvalue().encode("utf-8"))
        text.seek(0)
        text.truncate()
    out.write(text.getvalue().encode("utf-8"))


def guard(text):
    # Most cells start with a letter or digit; only the rest need a closer look.
    return guard_cell(text) if text[:1] in GUARDED else text


GUARDED = set(FORMULA_START + ("'",))


DELIMITERS = (",", ";", "\t")
BLANK_COLUMN = "(ไม่มีชื่อ)"
CHUNK = 1 << 20
UNREADABLE = ("อ่านไฟล์ไม่ได้ เพราะไม่ใช่ข้อความแบบ UTF-8 หรือภาษาไทย (TIS-620/Windows-874) "
              "กรุณาบันทึกจากโปรแกรมตารางคำนวณเป็น “CSV UTF-8” แล้วลองใหม่")


def undecodable_at(stream, encoding):
    """Where the first byte that does not decode is, or None when the whole stream decodes;
    read a chunk at a time."""
    decoder = codecs.getincrementaldecoder(encoding)()
    stream.seek(0)
    offset = 0
    try:
        while chunk := stream.read(CHUNK):
            pending = len(decoder.getstate()[0])
            try:
                decoder.decode(chunk)
            except UnicodeDecodeError as error:
                return offset - pending + error.start
            offset += len(chunk)
        try:
            decoder.decode(b"", final=True)
        except UnicodeDecodeError as error:
            return offset - len(decoder.getstate()[0]) + error.start
    finally:
        stream.seek(0)
    return None


def encoding_of(stream):
    """(encoding, where UTF-8 failed): UTF-8 first, with or without its mark; then what Thai
    Windows saves by default."""
    start = stream.read(4)
    stream.seek(0)
    if start.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "utf-16", None
    failed = undecodable_at(stream, "utf-8-sig")
    if failed is None:
        return "utf-8-sig", None
    return ("cp874" if undecodable_at(stream, "cp874") is None else None), failed


def unreadable(stream, failed):
    """The refusal for a file in no known encoding, with where its UTF-8 goes wrong: most such
    files are UTF-8 with a stray byte."""
    line, lines, position = 1, [], 0
    while position < failed and (text := stream.readline()):
        if position + len(text) > failed:
            break
        position += len(text)
        line += 1
        lines.append(text.decode("utf-8-sig" if not lines else "utf-8"))
    stream.seek(0)
    try:
        row = sum(1 for _ in csv.reader(lines)) + 1
    except csv.Error:
        return f"{UNREADABLE} (ไบต์ที่อ่านไม่ได้อยู่ที่บรรทัดที่ {line:,} ของไฟล์)"
    return f"{UNREADABLE} (ไบต์ที่อ่านไม่ได้อยู่ที่แถวที่ {row:,} บรรทัดที่ {line:,} ของไฟล์)"


def header_record(lines):
    """The header's lines: more than one only when a quoted name spans lines."""
    taken = []
    for line in lines:
        taken.append(line)
        if "".join(taken).count('"') % 2 == 0 or len(taken) >= 20:
            break
    return taken


def delimiter_of(header):
    """The separator that makes the most known column names, then the most columns."""
    def score(delimiter):
        cells = next(csv.reader(header, delimiter=delimiter), [])
        known = sum(search_form(" ".join(cell.split())) in HEADER_NAMES for cell in cells)
        return known, len(cells)
    return max(DELIMITERS, key=score)


class Problems:
    """A file's problems in the order found: the first ones kept to show, all counted."""

    KEPT = 1000

    def __init__(self):
        self.kept, self.total = [], 0

    def append(self, problem):
        self.total += 1
        if len(self.kept) < self.KEPT:
            self.kept.append(problem)

    def __len__(self):
        return self.total

    def __getitem__(self, index):
        return self.kept[index]


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
    encoding, failed = encoding_of(stream)
    if encoding is None:
        problems.append((None, unreadable(stream, failed)))
        return iter(()), problems, []
    text = io.TextIOWrapper(stream, encoding=encoding, newline="")
    try:
        batches, ignored = read_records(text, problems)
    except BaseException:
        text.detach()
        raise
    return detaching(batches, text), problems, ignored


def detaching(rows, text):
    try:
        yield from rows
    finally:
        text.detach()


def csv_problem(error, line):
    if "NUL" in error:
        return "ไฟล์มีอักขระ NUL ซึ่งไม่ควรมีในไฟล์ CSV อาจเลือกไฟล์ผิด"
    # The record being read when the quotes went wrong is the one that opened them.
    if "end of data" in error or "field larger" in error:
        problem = "มีเครื่องหมายคำพูด (\") เปิดไว้โดยไม่มีตัวปิด"
    else:
        problem = "พบเครื่องหมายคำพูด (\") ไม่ครบคู่หรืออยู่ผิดตำแหน่ง"
    return (f"{problem} เริ่มที่บรรทัดที่ {line:,} ของไฟล์ จึงอ่านข้อมูลตั้งแต่ตรงนั้นไม่ได้ "
            "กรุณาแก้ไขแล้วลองใหม่")


def read_records(text, problems):
    """(the data rows as they are read, ignored header names); the header is read at once."""
    header = header_record(text)
    records = csv.reader(itertools.chain(header, text), delimiter=delimiter_of(header),
                         strict=True)
    ignored, fields = [], []
    try:
        cells = next(records, None)
    except csv.Error as error:
        problems.append((1, csv_problem(str(error), records.line_num + 1)))
        return iter(()), ignored
    if cells is None:
        problems.append((None, "ไฟล์ไม่มีข้อมูลสินค้า"))
        return iter(()), ignored
    for cell in cells:
        name = search_form(" ".join(cell.split()))
        field = HEADER_NAMES.get(name)
        if field is not None and field in fields:
            problems.append((1, f"มีคอลัมน์ “{cell.strip()}” ซ้ำ"))
        if field is None:
            ignored.append(cell.strip() or BLANK_COLUMN)
        fields.append(field)
    if "code" not in fields:
        problems.append((1, "ไม่พบคอลัมน์รหัสสินค้า (รหัสสินค้า หรือ code) ในแถวหัวตาราง"))
    if problems:
        return iter(()), ignored
    return data_rows(records, fields, problems), ignored


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
    return field != "code" or (
        unicodedata.is_normalized("NFKC", joined.replace("\u0e33", ""))
        and not UNORDERED.search(joined))


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
