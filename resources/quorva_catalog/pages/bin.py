"""The bin: deleted items waiting to be brought back, what is asked before emptying it, and
the choice offered when a deleted item's code has been given to another item since."""

from ..markup import Markup, html, join
from ..text import format_satang, show_time
from .layout import error_summary, hidden, layout

PAGE_SIZE = 100


def undo_button(entry, token, back):
    """The one-press undo shown in the notice after a delete."""
    return html('<form method="post" action="/bin/{}/restore" class="undo">{}{}'
                '<button type="submit">เลิกทำ</button></form>', entry, hidden("token", token),
                hidden("back", back))


def bin_link(count):
    """The list page's way to the bin, with what it holds."""
    held = f"มี {count:,} รายการ" if count else "ว่าง"
    return html('<p class="bin-link"><a href="/bin">ถังขยะ</a> <span class="hint">({})</span>'
                "</p>", held)


def entry_row(row, token):
    return html(
        '<tr id="entry-{entry}"><td class="code">{code}</td><td>{name}</td>'
        '<td data-label="หมวดหมู่">{category}</td>'
        '<td class="num" data-label="ราคา">{price}</td>'
        '<td class="num" data-label="จำนวน">{quantity:,}</td>'
        '<td data-label="ลบเมื่อ"><time datetime="{deleted}">{shown}</time></td>'
        '<td class="actions"><form method="post" action="/bin/{entry}/restore">{token}'
        '<button type="submit" class="plain">นำกลับมา</button></form>'
        '<a href="/bin/empty?entry={entry}">ลบถาวร</a></td></tr>',
        entry=row["entry"], code=row["code"], name=row["name"], category=row["category"],
        price=format_satang(row["price_satang"]), quantity=row["quantity"],
        deleted=row["deleted_at"], shown=show_time(row["deleted_at"]),
        token=hidden("token", token))


def bin_page(token, count, rows, page, flash=None):
    if not count:
        listed = Markup("<p>ถังขยะว่าง สินค้าที่ลบจะมาอยู่ที่นี่จนกว่าจะนำกลับหรือลบถาวร</p>")
    else:
        pages = (count + PAGE_SIZE - 1) // PAGE_SIZE
        links = join([
            html('<a href="/bin?page={}" rel="prev">ก่อนหน้า</a>', page - 1) if page > 1 else "",
            html("<span>หน้า {:,} จาก {:,}</span>", page, pages),
            html('<a href="/bin?page={}" rel="next">ถัดไป</a>', page + 1) if page < pages
            else ""]) if pages > 1 else ""
        listed = html(
            '<p class="summary">ในถังขยะมี {:,} รายการ · ไม่นับรวมในรายการสินค้า การค้นหา '
            'ยอดรวม และไฟล์ส่งออก</p>'
            '<p><a class="button plain" href="/bin/empty">ล้างถังขยะ…</a></p>'
            '<div class="table-wrap"><table><thead><tr><th>รหัสสินค้า</th><th>ชื่อสินค้า</th>'
            '<th>หมวดหมู่</th><th class="num">ราคา (บาท)</th><th class="num">จำนวน</th>'
            "<th>ลบเมื่อ</th><th>จัดการ</th></tr></thead><tbody>{}</tbody></table></div>"
            '<nav class="pages" aria-label="หน้า">{}</nav>',
            count, join(entry_row(row, token) for row in rows), links)
    return layout("ถังขยะ", html("<h1>ถังขยะ</h1>{}", listed), "/bin", flash)


def empty_page(token, count, row=None, upto=None):
    """The question before entries leave the bin for good: one entry `row`, or every entry
    up to `upto` (the newest the user saw) of the `count` in the bin."""
    if row is not None:
        what = html("ลบ “{}” (รหัส {}) ออกจากถังขยะถาวร", row["name"], row["code"])
        fields = hidden("entry", row["entry"])
    else:
        what = html("ล้างถังขยะ: ลบสินค้าทั้ง {:,} รายการในถังขยะถาวร", count)
        fields = hidden("upto", upto)
    return layout("ลบถาวร", html(
        "<h1>ลบถาวร</h1><p>{}</p>"
        '<p class="warn">สินค้าที่ลบถาวรจะนำกลับมาไม่ได้อีก '
        "นอกจากกู้คืนจากสำเนาที่ทำไว้ก่อนหน้า ต้องการลบถาวรใช่ไหม</p>"
        '<form method="post" action="/bin/empty" class="actions-row">{}{}'
        '<button type="submit" class="danger">ลบถาวร</button>'
        '<a class="button plain" href="/bin">ยกเลิก</a></form>',
        what, hidden("token", token), fields), "/bin")


def code_taken_page(token, row, holder, back, code="", error=None):
    """The code of a deleted item now belongs to `holder`: codes are unique, so the two
    cannot both keep it. It comes back in `holder`'s place (which goes to the bin, so
    nothing is lost), or under another code."""
    return layout("นำสินค้ากลับมา", html(
        "<h1>นำสินค้ากลับมา</h1>{}"
        '<p class="warn">รหัส <strong>{code}</strong> ของ “{name}” ที่อยู่ในถังขยะ '
        "ตอนนี้เป็นรหัสของ “{other}” ซึ่งเพิ่มหลังจากลบ รหัสสินค้าต้องไม่ซ้ำกัน "
        "จึงเก็บทั้งสองรายการไว้ด้วยรหัสเดียวกันไม่ได้ กรุณาเลือกวิธีนำกลับมา</p>"
        '<form class="item" method="post" action="/bin/{entry}/restore" novalidate>{token}{back}'
        '<div class="actions-row"><button type="submit" name="choice" value="displace">'
        "นำกลับมาแทน “{other}”</button></div>"
        '<p class="hint">“{other}” จะย้ายไปอยู่ในถังขยะแทน นำกลับมาได้ภายหลัง</p>'
        "<label>หรือนำกลับมาด้วยรหัสใหม่"
        '<input type="text" name="code" value="{typed}" maxlength="64"{invalid}></label>'
        '<div class="actions-row"><button type="submit" name="choice" value="code" '
        'class="plain">นำกลับมาด้วยรหัสนี้</button>'
        '<a class="button plain" href="/bin">ยกเลิก</a></div></form>',
        error_summary([error] if error else []), code=row["code"], name=row["name"],
        other=holder["name"] if holder else row["code"], entry=row["entry"],
        token=hidden("token", token), back=hidden("back", back), typed=code,
        invalid=Markup(' aria-invalid="true"') if error else ""), "/bin")
