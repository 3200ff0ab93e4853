"""What every page shares: the document around a page's body, the menu, notices, small parts."""

import os

from ..markup import Markup, html, join

with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "style.css"), "rb") as _sheet:
    STYLESHEET = _sheet.read()

with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "page.js"), "rb") as _script:
    PAGE_SCRIPT = _script.read()

MENU = (("/", "รายการสินค้า"), ("/items/new", "เพิ่มสินค้า"),
        ("/import", "นำเข้า CSV"), ("/export.csv", "ส่งออก CSV"), ("/backups", "สำรองข้อมูล"))

STATUS_TITLES = {400: "คำขอไม่ถูกต้อง", 403: "ไม่อนุญาต", 404: "ไม่พบหน้านี้",
                 405: "ใช้วิธีนี้กับหน้านี้ไม่ได้", 408: "หมดเวลารอ", 411: "ต้องระบุความยาวข้อมูล",
                 413: "ข้อมูลใหญ่เกินไป", 414: "ที่อยู่ยาวเกินไป",
                 421: "ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง",
                 431: "ส่วนหัวคำขอใหญ่เกินไป", 500: "เกิดข้อผิดพลาดภายใน",
                 501: "ไม่รองรับคำขอนี้", 503: "กำลังปิดโปรแกรม", 505: "ไม่รองรับ HTTP รุ่นนี้",
                 507: "พื้นที่ว่างบนดิสก์ไม่พอ"}


def layout(title, body, current=None, flash=None):
    """The whole document; `body` is Markup, `flash` None or (kind, text, Markup shown
    after the text)."""
    # A download leaves the page as it is, so it must not ask about unsaved typing.
    nav = join(html('<a href="{}"{}{}>{}</a>', href,
                    Markup(" aria-current=page") if href == current else "",
                    Markup(" download") if href.endswith(".csv") else "", label)
               for href, label in MENU)
    notice = ""
    if flash:
        kind, text, action = flash
        notice = html('<div class="flash {}" role="status">{}{}</div>', kind, text, action)
    return html('<!DOCTYPE html>\n<html lang="th"><head><meta charset="utf-8">'
                '<meta name="viewport" content="width=device-width, initial-scale=1">'
                '<title>{} · แคตตาล็อกสินค้า</title>'
                '<link rel="stylesheet" href="/style.css">'
                '<script src="/page.js" defer></script></head><body>'
                '<header class="bar"><a class="brand" href="/">แคตตาล็อกสินค้า</a>'
                '<nav aria-label="เมนูหลัก">{}</nav></header>'
                '<main>{}{}</main></body></html>\n', title, nav, notice, body)


def message_page(title, text, link=("/", "กลับไปหน้ารายการสินค้า")):
    return layout(title, html('<h1>{}</h1><p>{}</p><p><a href="{}">{}</a></p>',
                              title, text, link[0], link[1]))


def hidden(name, value):
    return html('<input type="hidden" name="{}" value="{}">', name, value)


def error_summary(errors):
    if not errors:
        return Markup()
    return html('<div class="errors" role="alert"><strong>บันทึกไม่ได้ กรุณาแก้ไขข้อมูลต่อไปนี้'
                '</strong><ul>{}</ul></div>', join(html("<li>{}</li>", text) for text in errors))


def file_field(label, accept, hint):
    """A file input with a Thai button: the browser's own says "Choose File". The input stays
    in the tab order under the button, so the keyboard opens it as before."""
    return html('<label class="file-pick">{}<input type="file" name="file" accept="{}">'
                '<span class="pick-row"><span class="button plain" aria-hidden="true">'
                'เลือกไฟล์…</span><span class="file-name">ยังไม่ได้เลือกไฟล์</span></span>'
                '<span class="hint">{}</span></label>', label, accept, hint)
