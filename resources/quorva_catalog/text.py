"""Text and numbers as shop owners type them: cleaning, Thai search and sort forms, prices."""

import codecs
import datetime
import functools
import re
import unicodedata
import zlib

MAX_PRICE_SATANG = 99_999_999_999
MAX_QUANTITY = 999_999_999
TEXT_LIMITS = {"code": 64, "name": 200, "category": 100, "note": 2000}
FIELD_LABELS = {"code": "รหัสสินค้า", "name": "ชื่อสินค้า", "category": "หมวดหมู่",
                "price": "ราคา", "quantity": "จำนวน", "note": "หมายเหตุ"}

CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")


def _format_characters():
    # Zero-width spaces and joiners, soft hyphens, byte-order marks, word joiners, direction
    # marks: whatever Unicode files as a format character, taken from the running Python.
    # The plane above the first is a class of its own: one class over both is several
    # times slower to scan.
    points = [p for p in range(0x110000) if unicodedata.category(chr(p)) == "Cf"]
    spans = []
    for point in points:
        if spans and spans[-1][1] == point - 1:
            spans[-1][1] = point
        else:
            spans.append([point, point])
    classes = []
    for low, high in (0, 0xffff), (0x10000, 0x10ffff):
        inside = [f"{re.escape(chr(a))}-{re.escape(chr(b))}" if a != b else re.escape(chr(a))
                  for a, b in spans if low <= a <= high]
        classes.append("[" + "".join(inside) + "]")
    return re.compile("|".join(classes))


INVISIBLE = _format_characters()


def visible(text):
    # Format characters are never printable, and the check is far quicker than the pattern.
    return text if text.replace("\n", "").isprintable() else INVISIBLE.sub("", text)
THAI_MONTHS = ("ม.ค.", "ก.พ.", "มี.ค.", "เม.ย.", "พ.ค.", "มิ.ย.",
               "ก.ค.", "ส.ค.", "ก.ย.", "ต.ค.", "พ.ย.", "ธ.ค.")


def nfc(text):
    return unicodedata.normalize("NFC", text)


def one_line(text):
    return " ".join(CONTROL.sub("", nfc(text)).split())


def visible_line(text):
    """A name as typed, less the characters nobody can see."""
    return one_line(visible(text))


def compatible(text):
    """NFKC, quickly for Thai: sara am is the one Thai letter it splits, and thai_order
    joins it again."""
    if compatible_already(text):
        return text
    return unicodedata.normalize("NFKC", text)


def canonical_code(text):
    """The one spelling of a code however it was typed: compatibility forms (fullwidth
    letters and digits) folded, invisible characters dropped, Thai marks in one order."""
    return thai_order(one_line(visible(compatible(text))))


# Above and below vowels, then the short-vowel sign, tone marks, the other signs; sara am last.
THAI_MARK_CHARS = "\u0e31\u0e34-\u0e3a\u0e47-\u0e4e"
THAI_MARK_RANK = {chr(c): (1 if c == 0x0e47 else 2 if 0x0e48 <= c <= 0x0e4b
                           else 3 if c >= 0x0e4c else 0)
                  for c in [0x0e31, *range(0x0e34, 0x0e3b), *range(0x0e47, 0x0e4f)]}
# Only a mark after sara am, nikhahit, or a mark after one that goes later, needs THAI_CLUSTER.
MARK_AFTER = re.compile(f"[\u0e33\u0e47-\u0e4e][{THAI_MARK_CHARS}]")


def unordered(text):
    # Nikhahit apart: a pattern with a choice of starts scans text at half the speed.
    return "\u0e4d" in text or MARK_AFTER.search(text) is not None


THAI_CLUSTER = re.compile(f"[{THAI_MARK_CHARS}]*\u0e33[{THAI_MARK_CHARS}]*"
                          f"|[{THAI_MARK_CHARS}]*\u0e4d[{THAI_MARK_CHARS}]*\u0e32"
                          f"[{THAI_MARK_CHARS}]*|[{THAI_MARK_CHARS}]{{2,}}")


def _thai_cluster(match):
    run = match.group()
    am = "\u0e33" in run or "\u0e32" in run
    marks = [c for c in run if c in THAI_MARK_RANK]
    if "\u0e32" in run:
        marks.remove("\u0e4d")
    return "".join(sorted(marks, key=THAI_MARK_RANK.__getitem__)) + ("\u0e33" if am else "")


def thai_order(text):
    """The marks over and under one Thai letter in a single order, and nikhahit with sara aa
    as sara am: a Thai keyboard takes them in any order and they look the same."""
    return THAI_CLUSTER.sub(_thai_cluster, text) if unordered(text) else text


def spelled_out(code):
    """A code with each invisible character named, so look-alikes can be told apart."""
    return INVISIBLE.sub(lambda found: f"⟨U+{ord(found.group()):04X}⟩", code)


def multi_line(text):
    text = CONTROL.sub("", nfc(text)).replace("\r\n", "\n").replace("\r", "\n")
    return "\n".join(line.rstrip() for line in text.split("\n")).strip()


def search_form(text):
    # Compatibility forms too: a fullwidth code finds its item.
    return thai_order(nfc(visible(compatible(text)).casefold()))


THAI_DIGITS = str.maketrans("๐๑๒๓๔๕๖๗๘๙", "0123456789")
# translate() looks every character up, which is slow; most text has no Thai digit at all.
THAI_DIGIT = re.compile("[๐-๙]")
# Thai vowels above and below, tone marks and the like, and Latin accents once decomposed.
MARK = "[\u0e31\u0e34-\u0e3a\u0e47-\u0e4e\u0300-\u036f]"
MARKS = re.compile(MARK)


def search_key(text):
    """What both the stored text and a query are compared as: case, digits and the ways a
    Thai keyboard lets one letter be typed as two all folded away."""
    return keyed(search_form(text))


def keyed(folded):
    """search_key of text already in search_form, or of many such rows joined by NUL."""
    if THAI_DIGIT.search(folded):
        folded = folded.translate(THAI_DIGITS)
    return unicodedata.normalize("NFD", folded.replace("\u0e40\u0e40", "\u0e41"))


def bare(key):
    return MARKS.sub("", key)


def search_columns(code, name, category, note):
    """(search_text, search_bare, sort_name) as the items table kept them up to its fifth
    version; its earlier steps still write them."""
    key = search_key("\n".join((code, name, category, note)))
    return key, bare(key), sort_name(name)


def search_columns_of(codes, names, categories, notes):
    """search_columns for many rows at once, as three lists: each step runs once over all the
    rows joined by NUL, which no cleaned text holds, and which no step joins to its
    neighbours. Gives exactly what search_columns gives row by row."""
    if not codes:
        return [], [], []
    rows = keyed(_folded("\0".join(map("\n".join, zip(codes, names, categories, notes)))))
    # The leading vowels swapped with their consonants through split(), without a call per swap.
    pieces = LEADING_VOWEL.split(_folded("\0".join(names)).replace("\u0e40\u0e40", "\u0e41"))
    pieces[1::3], pieces[2::3] = pieces[2::3], pieces[1::3]
    full = "".join(pieces)
    return (rows.split("\0"), bare(rows).split("\0"),
            list(map("\x01".join, zip(TONE.sub("", full).split("\0"), full.split("\0")))))


def searched(code, name, category, note):
    # The category's token ends the text, so that the search index narrows by it too.
    return f"{code}\n{name}\n{category}\n{note}\n{category_token(category)}"


def category_token(category):
    """Three characters nobody types, one trigram of the search index for each category: a
    start mark and two private-use characters from a checksum of the category."""
    check = zlib.crc32(category.encode())
    return f"\x02{chr(0xe000 + check % 6400)}{chr(0xe000 + check // 6400 % 6400)}"


def search_text(code, name, category, note):
    """A row's folded text, marks and all, derived when a word with marks asks for it."""
    return search_key(searched(code, name, category, note))


def item_columns(code, name, category, note):
    """(search_bare, sort_key) as the items table keeps them."""
    bares, keys = item_columns_of([code], [name], [category], [note])
    return bares[0], keys[0]


def item_columns_of(codes, names, categories, notes):
    """item_columns for many rows at once, as two lists: each step runs once over a whole
    column of them joined by NUL, which no cleaned text holds, and which no step joins to its
    neighbours. Gives exactly what item_columns gives row by row."""
    if not codes:
        return [], []
    _, bares, names = _search_columns(codes, names, categories, notes, False)
    return bares, _sort_keys(names)


def marked_columns_of(codes, names, categories, notes):
    """(search_text, search_bare, sort_key) lists for many rows: item_columns_of with the
    marked text kept too, for an engine whose search cannot derive it."""
    if not codes:
        return [], [], []
    keys, bares, names = _search_columns(codes, names, categories, notes, True)
    return keys, bares, _sort_keys(names)


def _search_columns(codes, names, categories, notes, marked):
    """(search_key of each row's searched text, or None unless `marked`; their bare forms;
    the names folded as search_form folds them, joined by NUL). No step joins one line of a
    row to the next either, so each field is folded with its own column, and a category or
    note once however many rows give it; unless compatible() would change some row, since it
    changes a whole row or nothing."""
    kinds, said = dict.fromkeys(categories), dict.fromkeys(notes)
    texts = ["\0".join(column) for column in (codes, names, kinds, said)]
    if not all(map(compatible_already, texts)):
        text = keyed(_folded("\0".join(map(searched, codes, names, categories, notes))))
        return text.split("\0") if marked else None, bare(text).split("\0"), _folded(texts[1])
    folded = list(map(_fold, texts))
    columns = list(map(keyed, folded))
    tokens = {category: category_token(category) for category in kinds}

    def rows(forms):
        code, name, kind, note = (form.split("\0") for form in forms)
        kind, note = dict(zip(kinds, kind)), dict(zip(said, note))
        return list(map("\n".join, zip(code, name, map(kind.__getitem__, categories),
                                        map(note.__getitem__, notes),
                                        map(tokens.__getitem__, categories))))
    return rows(columns) if marked else None, rows(map(bare, columns)), folded[1]


def sort_keys(names):
    """text.sort_key of each name, in one pass over them all."""
    return _sort_keys(_folded("\0".join(names)))


def _sort_keys(folded):
    """sort_keys of names folded and joined by NUL: encoded a byte a character at once, a
    character that takes more bytes as a stand-in, so that every step after it goes byte by
    byte; the stand-ins give way to their bytes before the numbers are read."""
    text = codecs.charmap_encode(folded.replace("\u0e40\u0e40", "\u0e41"), UNLISTED,
                                 SORT_ENCODING)[0]
    # The leading vowels swapped with their consonants through split(), without a call per swap.
    pieces = LEADING_VOWEL_BYTE.split(text)
    pieces[1::3], pieces[2::3] = pieces[2::3], pieces[1::3]
    full = b"".join(pieces)
    primary = full.translate(THAI_DIGIT_BYTES, TONE_BYTES)
    if STAND_IN in primary:
        pieces = primary.split(STAND_IN)
        pieces[1:] = [piece for pair in zip([SORT_BYTES[ord(char)].encode("latin-1")
                                             for char in UNLISTED_CHARS.findall(folded)],
                                            pieces[1:]) for piece in pair]
        primary = b"".join(pieces)
    pieces = NUMBER_BYTES.split(primary)
    pieces[1::2] = map(_NumberBytes().__getitem__, pieces[1::2])
    tones = full.translate(None, UNTONED_BYTES)
    return list(map(b"\x01".join, zip(b"".join(pieces).split(b"\0"), tones.split(b"\0"))))


def sort_key(name):
    """The Thai order of a name as bytes compared one by one, one byte a letter: by the
    consonants, not by a vowel written before one, numbers by their value, tone marks only
    breaking ties."""
    return sort_keys([name])[0]


class _SortBytes(dict):
    """Each character's byte in a sort key: ASCII as it is, Thai (its digits as ASCII ones)
    above it, anything else as four bytes that keep its place among code points."""

    def __missing__(self, point):
        if 0x20 <= point < 0x7f:
            found = chr(point)
        elif 0x0e01 <= point <= 0x0e5b:
            found = (chr(point - 0x0e50 + 0x30) if 0x0e50 <= point <= 0x0e59
                     else chr(point - 0x0e00 + 0x80))
        else:
            # Three digits in base 198 as bytes 0x3a-0xff: never NUL, never an ASCII digit.
            digits = [point // 198 ** 2, point // 198 % 198, point % 198]
            found = ("\x7f" if point < 0x0e01 else "\xff") + "".join(chr(0x3a + d) for d in digits)
        self[point] = found
        return found


SORT_BYTES = _SortBytes({0: "\0"})
LEADING_VOWEL = re.compile("([\u0e40-\u0e44])([\u0e01-\u0e2e])")
TONE = re.compile("[\u0e47-\u0e4c]")


def _sort_encoding():
    # A character one byte of a sort key stands for is encoded as that byte, a Thai digit as
    # a byte of its own until the leading vowels are swapped, then as its ASCII digit.
    table = ["\ufffe"] * 256
    for point in (0, *range(0x20, 0x7f), *range(0x0e01, 0x0e5c)):
        table[ord(SORT_BYTES[point][0]) if not 0x0e50 <= point <= 0x0e59
              else point - 0x0e00 + 0x80] = chr(point)
    return codecs.charmap_build("".join(table))


SORT_ENCODING = _sort_encoding()
STAND_IN = b"\x01"
UNLISTED = "quorva-sort-key"
UNLISTED_CHARS = re.compile("[^\0\x20-\x7e\u0e01-\u0e5b]")
codecs.register_error(UNLISTED, lambda error: (STAND_IN * (error.end - error.start), error.end))
LEADING_VOWEL_BYTE = re.compile(b"([\xc0-\xc4])([\x81-\xae])")
TONE_BYTES = bytes(range(0xc7, 0xcd))
UNTONED_BYTES = bytes(b for b in range(256) if b not in TONE_BYTES and b)
THAI_DIGIT_BYTES = bytes.maketrans(bytes(range(0xd0, 0xda)), b"0123456789")
NUMBER_BYTES = re.compile(b"([0-9]+)")


class _NumberBytes(dict):
    """Each number's bytes in a sort key, worked out once a batch."""

    def __missing__(self, digits):
        # A longer number is a larger one: its length goes first, after the byte of a digit.
        value = digits.lstrip(b"0") or b"0"
        found = self[digits] = b"0" + bytes((len(value),)) + value
        return found


def compatible_already(rows):
    """Whether compatible() leaves the text, or every NUL-separated row of it, as it is."""
    return unicodedata.is_normalized("NFKC", rows.replace("\u0e33", ""))


def _compatible_rows(rows):
    # compatible() decides row by row whether to normalise; so must a batch that needs it.
    if compatible_already(rows):
        return rows
    return "\0".join(map(compatible, rows.split("\0")))


def _folded(rows):
    """search_form of each NUL-separated row, at once."""
    return _fold(_compatible_rows(rows))


def _fold(text):
    """_folded of rows that compatible() leaves as they are."""
    if not text.replace("\n", "").replace("\0", "").isprintable():
        text = INVISIBLE.sub("", text)
    return thai_order(nfc(text.casefold()))


def mark_clusters(word):
    """[base letter, the marks typed on it] in turn; marks before any letter stand alone."""
    clusters = []
    for char in word:
        if MARKS.fullmatch(char):
            if not clusters:
                clusters.append(["", ""])
            clusters[-1][1] += char
        else:
            clusters.append([char, ""])
    return clusters


def search_terms(query):
    """Each word of a query as (bare form, pattern or None): a word typed without marks
    matches whatever marks the text has; the marks a word does carry must be on the same
    letters, while marks it leaves out stay optional."""
    terms = []
    for word in search_key(query).split():
        plain = bare(word)
        if plain == word:
            terms.append((plain, None))
            continue
        pattern = "".join(re.escape(base) + "".join(f"{MARK}*?{re.escape(m)}" for m in marks)
                          + f"{MARK}*" for base, marks in mark_clusters(word))
        terms.append((plain, pattern))
    return terms


@functools.lru_cache(maxsize=64)
def compiled(pattern):
    return re.compile(pattern)


def marks_match(keyed, pattern):
    return compiled(pattern).search(keyed) is not None


@functools.lru_cache(maxsize=8192)
def thai_sort_key(text):
    # Thai dictionaries order by the consonant, not by a vowel written before it;
    # tone marks only break ties.
    text = search_form(text).replace("\u0e40\u0e40", "\u0e41")
    text = re.sub("([\u0e40-\u0e44])([\u0e01-\u0e2e])", r"\2\1", text)
    return re.sub("[\u0e47-\u0e4c]", "", text), text


def sort_name(text):
    """thai_sort_key as one string that SQLite orders by its bytes, so an index can keep it."""
    stripped, full = thai_sort_key(text)
    return stripped + "\x01" + full


def thai_collation(left, right):
    a, b = thai_sort_key(left), thai_sort_key(right)
    return (a > b) - (a < b)


def code_key(code):
    # Matches SQLite's NOCASE, which the UNIQUE constraint on code uses.
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in code)


def format_satang(satang, grouped=True):
    baht, rest = divmod(satang, 100)
    return f"{baht:,}.{rest:02d}" if grouped else f"{baht}.{rest:02d}"


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_utc(text):
    try:
        moment = datetime.datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def show_time(stored):
    try:
        moment = datetime.datetime.fromisoformat(stored.replace("Z", "+00:00")).astimezone()
    except ValueError:
        return stored
    return (f"{moment.day} {THAI_MONTHS[moment.month - 1]} {moment.year + 543} "
            f"{moment:%H:%M}")


def parse_number(raw, whole_only):
    """(value in satang or units, Thai error or None)."""
    text = "".join(raw.split()).replace("฿", "").replace("บาท", "")
    if text.startswith("-"):
        return None, "negative"
    match = re.fullmatch(r"(\d{1,3}(?:,\d{3})+|\d+)(?:\.(\d*))?", text)
    if not match:
        return None, "format"
    digits = match.group(1).replace(",", "").lstrip("0")
    # Anything longer is past every limit, and int() refuses thousands of digits outright.
    if len(digits) > 12:
        return None, "large"
    whole = int(digits or "0")
    fraction = match.group(2) or ""
    if whole_only:
        return (None, "fraction") if fraction.strip("0") else (whole, None)
    if fraction[2:].strip("0"):
        return None, "fraction"
    return whole * 100 + int((fraction + "00")[:2]), None


# A form's number fields: the value's key, whether it is whole, its largest
# value, and the message for each kind of bad input.
NUMBER_FIELDS = {
    "price": ("price_satang", False, MAX_PRICE_SATANG, {
        "empty": "กรุณากรอกราคา",
        "negative": "ราคาต้องไม่ติดลบ",
        "fraction": "ราคามีทศนิยมได้ไม่เกิน 2 ตำแหน่ง",
        "format": "ราคาต้องเป็นตัวเลข เช่น 120 หรือ 1,250.50",
        "large": "ราคาต้องไม่เกิน 999,999,999.99 บาท",
    }),
    "quantity": ("quantity", True, MAX_QUANTITY, {
        "empty": "กรุณากรอกจำนวน",
        "negative": "จำนวนต้องไม่ติดลบ",
        "fraction": "จำนวนต้องเป็นจำนวนเต็ม เช่น 0, 12 หรือ 1,000",
        "format": "จำนวนต้องเป็นจำนวนเต็ม เช่น 0, 12 หรือ 1,000",
        "large": "จำนวนต้องไม่เกิน 999,999,999",
    }),
}


def clean_item(raw, present=("code", "name", "category", "price", "quantity", "note")):
    """The fields in `present`, cleaned, and a Thai message for each bad one."""
    values, errors = {}, {}
    for field, clean in (("code", canonical_code), ("name", visible_line),
                         ("category", visible_line)):
        if field in present:
            values[field] = clean(raw.get(field, ""))
    if "note" in present:
        values["note"] = multi_line(raw.get("note", ""))
    for field, missing, unseen in (
            ("code", "กรุณากรอกรหัสสินค้า", "รหัสสินค้าต้องมีตัวอักษรที่มองเห็นได้"),
            ("name", "กรุณากรอกชื่อสินค้า", "ชื่อสินค้าต้องมีตัวอักษรที่มองเห็นได้")):
        if field in present and not values[field]:
            errors[field] = unseen if raw.get(field, "").strip() else missing
    for field, limit in TEXT_LIMITS.items():
        if field in values and len(values[field]) > limit:
            errors[field] = f"{FIELD_LABELS[field]}ยาวได้ไม่เกิน {limit:,} ตัวอักษร"
    for field, (key, whole_only, limit, messages) in NUMBER_FIELDS.items():
        if field not in present:
            continue
        text = raw.get(field, "").strip()
        number, problem = parse_number(text, whole_only=whole_only)
        if not text:
            problem = "empty"
        elif not problem and number > limit:
            problem = "large"
        if problem:
            errors[field] = messages[problem]
        else:
            values[key] = number
    return values, errors
