"""The CSV import page, with the file's problems when one was refused."""

import os

from ..csvfile import CSV_COLUMNS
from ..markup import Markup, html, join
from ..text import FIELD_LABELS, format_satang, show_time
from .layout import file_field, hidden, layout

SHOWN_ERRORS = 200

with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "import.js"), "rb") as _script:
    SCRIPT = _script.read()

# Where import.js tells how far a sent import has got; without script the form is sent as is.
PROGRESS = Markup('<p class="warn progress" role="status" aria-live="polite" hidden></p>'
                  '<script src="/import.js" defer></script>')

FORMAT_HELP = Markup(
    "<h2>รูปแบบไฟล์</h2>"
    "<p>ไฟล์ CSV แบบ UTF-8 หรือแบบภาษาไทยของ Windows (TIS-620) คั่นด้วยจุลภาค (,) "
    "อัฒภาค (;) หรือแท็บก็ได้ แถวแรกเป็นหัวตาราง "
    "ใช้ชื่อคอลัมน์ตามไฟล์ที่ส่งออกจากหน้านี้ เรียงลำดับใดก็ได้:</p>")
RULES = Markup(
    "<p>ต้องมีคอลัมน์รหัสสินค้า สินค้าที่มีรหัสอยู่แล้วจะถูกปรับปรุงตามคอลัมน์ที่มีในไฟล์ "
    "รหัสใหม่จะถูกเพิ่มเป็นสินค้าใหม่ (ต้องมีชื่อและราคา) "
    "สินค้าที่ไม่อยู่ในไฟล์จะไม่ถูกลบ คอลัมน์เวลาใช้กับสินค้าใหม่ "
    "ส่วนแถวที่แก้ไขล่าสุดก่อนข้อมูลในแคตตาล็อกจะคงไว้ตามเดิม เว้นแต่เลือกให้เขียนทับ "
    "หากไฟล์จะแก้ไขสินค้าที่มีอยู่ จะแสดงสิ่งที่เปลี่ยนให้ตรวจก่อนบันทึก</p>"
    "<p>ระบบตรวจทุกแถวก่อนบันทึก หากพบข้อผิดพลาดแม้แถวเดียว จะไม่บันทึกข้อมูลใด ๆ "
    "และแสดงหมายเลขแถวที่ต้องแก้ไข</p>")


def ignored_text(ignored):
    """`ignored` as read_records gives it."""
    unknown = [name for name in ignored if isinstance(name, str)]
    spare = [f"{name} (มีคอลัมน์ {used} แล้ว)" for name, used in
             (pair for pair in ignored if not isinstance(pair, str))]
    return " · ".join(text for text in (
        unknown and "ข้ามคอลัมน์ที่ไม่รู้จัก: " + ", ".join(unknown),
        spare and "ไม่ใช้คอลัมน์ " + ", ".join(spare)) if text)


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
        'novalidate data-import>{}{}'
        '<div class="actions-row"><button type="submit">นำเข้า</button>'
        '<a class="button plain" href="/">ยกเลิก</a></div>{}</form>'
        "{}<ul>{}</ul>{}",
        problems(errors, ignored), hidden("token", token),
        file_field("ไฟล์ CSV", ".csv,text/csv", f"ไม่เกิน {limit // (1024 * 1024)} MB"),
        PROGRESS, FORMAT_HELP, columns, RULES)
    return layout("นำเข้า CSV", body, "/import")


UNDO = "ข้อมูลก่อนนำเข้าเก็บไว้ในสำเนา {} (กู้คืนได้ที่หน้าสำรองข้อมูล)"


def result_text(result, ignored):
    text = (f"นำเข้าเรียบร้อย: เพิ่มใหม่ {result['added']:,} รายการ · "
            f"ปรับปรุง {result['updated']:,} รายการ · ไม่เปลี่ยนแปลง {result['same']:,} รายการ")
    if result["older"]:
        text += (f" · ข้อมูลในไฟล์เก่ากว่า: เขียนทับ {result['older']:,} รายการ"
                 if result["overwrote"] else
                 f" · คงไว้ตามเดิม {result['older']:,} รายการ เพราะข้อมูลในไฟล์เก่ากว่า")
    if ignored:
        text += " · " + ignored_text(ignored)
    if result["snapshot"]:
        text += " · " + UNDO.format(result["snapshot"])
    return text


def shown(field, value):
    return format_satang(value) if field == "price_satang" else str(value)


def change_rows(changes):
    rows = []
    for existing, merged, fields, older, dated in changes:
        labels = join(html("<li>{}: <del>{}</del> → <ins>{}</ins></li>",
                           FIELD_LABELS["price" if f == "price_satang" else f],
                           shown(f, existing[f]), shown(f, merged[f])) for f in fields)
        mark = html('<div class="hint">ไฟล์เก่ากว่า: แก้ไขในไฟล์ {} · ในแคตตาล็อก {}</div>',
                    show_time(dated), show_time(existing["updated_at"])) if older else ""
        rows.append(html('<tr{}><td><code>{}</code></td><td>{}{}</td><td><ul>{}</ul></td></tr>',
                         Markup(' class="older"') if older else "", existing["code"],
                         existing["name"], mark, labels))
    return join(rows)


def preview_page(token, key, result, ignored, changed=False):
    """What an import would do to the items already there, and the button that does it."""
    total = result["updated"] + result["older"]
    facts = html(
        '<div class="table-wrap"><table class="facts"><tbody>'
        '<tr><th>เพิ่มใหม่</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>ปรับปรุง</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>ไม่เปลี่ยนแปลง</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>ข้อมูลในไฟล์เก่ากว่าในแคตตาล็อก</th><td class="num">{:,} รายการ</td></tr>'
        "</tbody></table></div>",
        result["added"], result["updated"], result["same"], result["older"])
    more = (f" (แสดง {len(result['changes']):,} รายการแรกจาก {total:,} รายการ)"
            if total > len(result["changes"]) else "")
    older = html(
        '<label class="pick"><input type="checkbox" name="older" value="1"> '
        "เขียนทับสินค้า {:,} รายการที่ข้อมูลในไฟล์เก่ากว่า (ถ้าไม่เลือก จะคงไว้ตามเดิม)</label>",
        result["older"]) if result["older"] else ""
    notice = Markup('<div class="errors" role="alert">แคตตาล็อกเปลี่ยนไปหลังแสดงตัวอย่าง '
                    "จึงยังไม่ได้นำเข้า กรุณาตรวจสิ่งที่จะเปลี่ยนอีกครั้ง</div>") if changed else ""
    body = html(
        "<h1>ตรวจก่อนนำเข้า</h1>{}"
        '<p class="warn">ไฟล์ผ่านการตรวจสอบแล้ว ยังไม่ได้เปลี่ยนแปลงแคตตาล็อก '
        "ก่อนนำเข้าจะสำรองข้อมูลปัจจุบันไว้ (ชื่อลงท้ายด้วย before-import) "
        "จึงกู้คืนทั้งหมดได้ในครั้งเดียวที่หน้าสำรองข้อมูล</p>{}{}"
        "<h2>สินค้าที่จะเปลี่ยน{}</h2>"
        '<div class="table-wrap"><table><thead><tr><th>รหัสสินค้า</th><th>ชื่อสินค้า</th>'
        "<th>ที่เปลี่ยน (เดิม → ใหม่)</th></tr></thead><tbody>{}</tbody></table></div>"
        '<form class="item" method="post" action="/import/confirm" data-import>{}{}{}'
        '<div class="actions-row"><button type="submit">นำเข้า</button>'
        '<a class="button plain" href="/import">ยกเลิก</a></div>{}</form>',
        notice, facts, html("<p>{}</p>", ignored_text(ignored)) if ignored else "", more,
        change_rows(result["changes"]), hidden("token", token), hidden("p", key), older,
        PROGRESS)
    return layout("ตรวจก่อนนำเข้า", body, "/import")
