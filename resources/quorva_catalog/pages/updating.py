"""What every address shows while the database is being opened or brought up to date, or
while it cannot be reached."""

from ..markup import html

TITLE = "กำลังปรับปรุงฐานข้อมูล…"
OUTAGE_TITLE = "ยังใช้ฐานข้อมูลไม่ได้"
# Often enough that the catalog is back soon after its database, seldom enough for a server
# that is still starting.
RETRY_SECONDS = 5


def waiting_page(title, seconds, text):
    # Reloads itself, so the page asked for appears by itself once the database is ready.
    return html('<!DOCTYPE html>\n<html lang="th"><head><meta charset="utf-8">'
                '<meta http-equiv="refresh" content="{}">'
                '<meta name="viewport" content="width=device-width, initial-scale=1">'
                '<title>{} · แคตตาล็อกสินค้า</title>'
                '<link rel="stylesheet" href="/style.css"></head><body>'
                '<header class="bar"><span class="brand">แคตตาล็อกสินค้า</span></header>'
                '<main><h1>{}</h1>{}</main></body></html>\n', seconds, title, title, text)


def updating_page():
    return waiting_page(TITLE, 1, html(
        '<p>แคตตาล็อกขนาดใหญ่ใช้เวลาสักครู่ หน้านี้จะเปิดรายการสินค้าให้เองเมื่อเสร็จ ไม่ต้องปิดโปรแกรม</p>'))


def outage_page(reason, where):
    """`reason` a Thai sentence from catalog.errors.Unavailable, `where` the database with no
    password in it."""
    return waiting_page(OUTAGE_TITLE, RETRY_SECONDS, html(
        '<p class="warn" role="alert">{}</p><p>ฐานข้อมูล: <code>{}</code></p>'
        '<p>หน้านี้จะลองเชื่อมต่อใหม่เองทุก {} วินาที และเปิดหน้าที่ต้องการให้เมื่อฐานข้อมูลกลับมา '
        'ไม่ต้องปิดโปรแกรม ข้อมูลที่บันทึกไว้แล้วยังอยู่ครบ</p>', reason, where, RETRY_SECONDS))
