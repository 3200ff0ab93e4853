"""CSV files in and out: the columns, formula guards, and a file's header and records."""

import codecs
import csv
import io
import itertools
import zipfile

from .text import format_satang, search_form

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
# A field's own names; the rest fill it only where the file has neither.
OWN_NAMES = {search_form(name): field for field, header, aliases in CSV_COLUMNS
             for name in (header, aliases[0])}
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


# What a spreadsheet program saves by default, by the first bytes of the file and, for a ZIP,
# what it holds.
SPREADSHEET = ("ไฟล์นี้เป็น{} ไม่ใช่ไฟล์ CSV จึงนำเข้าไม่ได้ กรุณาเปิดไฟล์แล้วบันทึกเป็น CSV UTF-8 ก่อน: "
               "ใน Excel เลือก ไฟล์ › บันทึกเป็น แล้วเลือกชนิดไฟล์ "
               "“CSV UTF-8 (Comma delimited) (*.csv)” (ภาษาไทย: CSV UTF-8 (คั่นด้วยจุลภาค)) · "
               "ใน LibreOffice Calc เลือก ไฟล์ › บันทึกเป็น แล้วเลือกชนิดไฟล์ “Text CSV (.csv)” "
               "เลือก “Edit filter settings” แล้วตั้งชุดอักขระเป็น “Unicode (UTF-8)” · "
               "จากนั้นนำเข้าไฟล์ .csv ที่ได้")
OLE2 = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def spreadsheet_kind(stream):
    """Which spreadsheet program's own file `stream` is, in Thai, or None."""
    start = stream.read(8)
    stream.seek(0)
    if start == OLE2:
        return "ไฟล์ Excel รุ่นเก่า (.xls)"
    if not start.startswith(b"PK\x03\x04"):
        return None
    try:
        with zipfile.ZipFile(stream) as archive:
            names = archive.namelist()
            if any(name.startswith("xl/") for name in names):
                return "ไฟล์ Excel (.xlsx)"
            if "mimetype" in names and b"spreadsheet" in archive.read("mimetype")[:100]:
                return "ไฟล์ตารางคำนวณของ LibreOffice (.ods)"
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, ValueError):
        pass
    finally:
        stream.seek(0)
    return None


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
    """(the reader of the data rows, or None where the header has a problem; the header's
    fields; ignored columns: a name, or (name, the column used instead) for another name of
    a field the file also gives by its own name). The header is read at once."""
    header = header_record(text)
    records = csv.reader(itertools.chain(header, text), delimiter=delimiter_of(header),
                         strict=True)
    ignored, fields = [], []
    try:
        cells = next(records, None)
    except csv.Error as error:
        problems.append((1, csv_problem(str(error), records.line_num + 1)))
        return None, fields, ignored
    if cells is None:
        problems.append((None, "ไฟล์ไม่มีข้อมูลสินค้า"))
        return None, fields, ignored
    names = [search_form(" ".join(cell.split())) for cell in cells]
    own = {}
    for cell, name in zip(cells, names):
        if name in OWN_NAMES:
            own.setdefault(OWN_NAMES[name], cell.strip())
    for cell, name in zip(cells, names):
        field = HEADER_NAMES.get(name)
        if field in own and name not in OWN_NAMES:
            # A till's export may carry a barcode beside its own code: the code wins.
            ignored.append((cell.strip(), own[field]))
            field = None
        elif field is None:
            ignored.append(cell.strip() or BLANK_COLUMN)
        elif field in fields:
            problems.append((1, f"มีคอลัมน์ “{cell.strip()}” ซ้ำ"))
        fields.append(field)
    if "code" not in fields:
        problems.append((1, "ไม่พบคอลัมน์รหัสสินค้า (รหัสสินค้า หรือ code) ในแถวหัวตาราง"))
    return (None if problems else records), fields, ignored
