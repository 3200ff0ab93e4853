"""Text and numbers as shop owners type them: cleaning, Thai search and sort forms, prices."""

import datetime
import functools
import re
import unicodedata

MAX_PRICE_SATANG = 99_999_999_999
MAX_QUANTITY = 999_999_999
TEXT_LIMITS = {"code": 64, "name": 200, "category": 100, "note": 2000}
FIELD_LABELS = {"code": "รหัสสินค้า", "name": "ชื่อสินค้า", "category": "หมวดหมู่",
                "price": "ราคา", "quantity": "จำนวน", "note": "หมายเหตุ"}

CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]")
INVISIBLE = re.compile("[\u200b\u200c\u200d\u2060\ufeff]")
THAI_MONTHS = ("ม.ค.", "ก.พ.", "มี.ค.", "เม.ย.", "พ.ค.", "มิ.ย.",
               "ก.ค.", "ส.ค.", "ก.ย.", "ต.ค.", "พ.ย.", "ธ.ค.")


def nfc(text):
    return unicodedata.normalize("NFC", text)


def one_line(text):
    return " ".join(CONTROL.sub("", nfc(text)).split())


def multi_line(text):
    text = CONTROL.sub("", nfc(text)).replace("\r\n", "\n").replace("\r", "\n")
    return "\n".join(line.rstrip() for line in text.split("\n")).strip()


def search_form(text):
    # Nikhahit + sara aa looks exactly like sara am, and both get typed.
    text = INVISIBLE.sub("", nfc(text)).replace("\u0e4d\u0e32", "\u0e33")
    return nfc(text.casefold())


def search_text(code, name, category, note):
    return "\n".join(search_form(part) for part in (code, name, category, note))


@functools.lru_cache(maxsize=8192)
def thai_sort_key(text):
    # Thai dictionaries order by the consonant, not by a vowel written before it;
    # tone marks only break ties.
    text = re.sub("([\u0e40-\u0e44])([\u0e01-\u0e2e])", r"\2\1", search_form(text))
    return re.sub("[\u0e47-\u0e4c]", "", text), text


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
    digits = match.group(1).replace(",", "")
    if len(digits.lstrip("0")) > 15:
        # Past any limit, and int() of thousands of digits would raise.
        return 10 ** 17, None
    whole = int(digits)
    fraction = match.group(2) or ""
    if whole_only:
        return (None, "fraction") if fraction.strip("0") else (whole, None)
    if fraction[2:].strip("0"):
        return None, "fraction"
    return whole * 100 + int((fraction + "00")[:2]), None


def clean_item(raw, present=("code", "name", "category", "price", "quantity", "note")):
    """The fields in `present`, cleaned, and a Thai message for each bad one."""
    values, errors = {}, {}
    for field in ("code", "name", "category"):
        if field in present:
            values[field] = one_line(raw.get(field, ""))
    if "note" in present:
        values["note"] = multi_line(raw.get("note", ""))
    if "code" in present and not values["code"]:
        errors["code"] = "กรุณากรอกรหัสสินค้า"
    if "name" in present and not values["name"]:
        errors["name"] = "กรุณากรอกชื่อสินค้า"
    for field, limit in TEXT_LIMITS.items():
        if field in values and len(values[field]) > limit:
            errors[field] = f"{FIELD_LABELS[field]}ยาวได้ไม่เกิน {limit:,} ตัวอักษร"
    if "price" in present:
        raw_price = raw.get("price", "").strip()
        satang, problem = parse_number(raw_price, whole_only=False)
        if not raw_price:
            errors["price"] = "กรุณากรอกราคา"
        elif problem == "negative":
            errors["price"] = "ราคาต้องไม่ติดลบ"
        elif problem == "fraction":
            errors["price"] = "ราคามีทศนิยมได้ไม่เกิน 2 ตำแหน่ง"
        elif problem:
            errors["price"] = "ราคาต้องเป็นตัวเลข เช่น 120 หรือ 1,250.50"
        elif satang > MAX_PRICE_SATANG:
            errors["price"] = "ราคาต้องไม่เกิน 999,999,999.99 บาท"
        else:
            values["price_satang"] = satang
    if "quantity" in present:
        raw_quantity = raw.get("quantity", "").strip()
        quantity, problem = parse_number(raw_quantity, whole_only=True)
        if not raw_quantity:
            errors["quantity"] = "กรุณากรอกจำนวน"
        elif problem == "negative":
            errors["quantity"] = "จำนวนต้องไม่ติดลบ"
        elif problem:
            errors["quantity"] = "จำนวนต้องเป็นจำนวนเต็ม เช่น 0, 12 หรือ 1,000"
        elif quantity > MAX_QUANTITY:
            errors["quantity"] = "จำนวนต้องไม่เกิน 999,999,999"
        else:
            values["quantity"] = quantity
    return values, errors
