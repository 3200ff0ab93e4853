"""The CSV import page, with the file's problems when one was refused."""

from ..csvfile import CSV_COLUMNS
from ..markup import Markup, html, join
from .layout import file_field, hidden, layout

SHOWN_ERRORS = 200

FORMAT_HELP = Markup(
    "<h2>รูปแบบไฟล์</h2>"
    "<p>ไฟล์ CSV แบบ UTF-8 หรือแบบภาษาไทยของ Windows (TIS-620) คั่นด้วยจุลภาค (,) "
    "อัฒภาค (;) หรือแท็บก็ได้ แถวแรกเป็นหัวตาราง "
    "ใช้ชื่อคอลัมน์ตามไฟล์ที่ส่งออกจากหน้านี้ เรียงลำดับใดก็ได้:</p>")
RULES = Markup(
    "<p>ต้องมีคอลัมน์รหัสสินค้า สินค้าที่มีรหัสอยู่แล้วจะถูกปรับปรุงตามคอลัมน์ที่มีในไฟล์ "
    "รหัสใหม่จะถูกเพิ่มเป็นสินค้าใหม่ (ต้องมีชื่อและราคา) "
    "สินค้าที่ไม่อยู่ในไฟล์จะไม่ถูกลบ คอลัมน์เวลาใช้เฉพาะกับสินค้าใหม่</p>"
    "<p>ระบบตรวจทุกแถวก่อนบันทึก หากพบข้อผิดพลาดแม้แถวเดียว จะไม่บันทึกข้อมูลใด ๆ "
    "และแสดงหมายเลขแถวที่ต้องแก้ไข</p>")


def ignored_text(ignored):
    return "ข้ามคอลัมน์ที่ไม่รู้จัก: " + ", ".join(ignored)


def problems(errors, ignored=()):
    """`errors` are (row number or None, Thai text) pairs."""
    if not errors:
        return Markup()
    shown = join(html("<li>{}{}</li>", f"แถวที่ {n:,}: " if n else "", text)
                 for n, text in errors[:SHOWN_ERRORS])
    more = (html("<p>และอีก {:,} จุด</p>", len(errors) - SHOWN_ERRORS)
            if len(errors) > SHOWN_ERRORS else "")
    skipped = html("<p>{}</p>", ignored_text(ignored)) if ignored else ""
    return html('<div class="errors" role="alert"><strong>ไม่ได้นำเข้าข้อมูลใด ๆ '
                'เพราะพบข้อผิดพลาด {:,} จุด</strong><ul>{}</ul>{}{}</div>',
                len(errors), shown, more, skipped)


def import_page(token, limit, errors=(), ignored=()):
    columns = join(html('<li><strong>{}</strong> <span class="hint">(หรือ {})</span></li>',
                        header, aliases[0]) for _, header, aliases in CSV_COLUMNS)
    body = html(
        "<h1>นำเข้าสินค้าจากไฟล์ CSV</h1>{}"
        '<form class="item" method="post" action="/import" enctype="multipart/form-data" '
        'novalidate>{}{}'
        '<div class="actions-row"><button type="submit">นำเข้า</button>'
        '<a class="button plain" href="/">ยกเลิก</a></div></form>'
        "{}<ul>{}</ul>{}",
        problems(errors, ignored), hidden("token", token),
        file_field("ไฟล์ CSV", ".csv,text/csv", f"ไม่เกิน {limit // (1024 * 1024)} MB"),
        FORMAT_HELP, columns, RULES)
    return layout("นำเข้า CSV", body, "/import")
