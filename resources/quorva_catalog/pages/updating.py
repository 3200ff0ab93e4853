"""What every address shows while the database is still being opened or brought up to date."""

from ..markup import html

TITLE = "กำลังปรับปรุงฐานข้อมูล…"


def updating_page():
    # Reloads itself, so the page asked for appears by itself once the database is ready.
    return html('<!DOCTYPE html>\n<html lang="th"><head><meta charset="utf-8">'
                '<meta http-equiv="refresh" content="1">'
                '<meta name="viewport" content="width=device-width, initial-scale=1">'
                '<title>{} · แคตตาล็อกสินค้า</title>'
                '<link rel="stylesheet" href="/style.css"></head><body>'
                '<header class="bar"><span class="brand">แคตตาล็อกสินค้า</span></header>'
                '<main><h1>{}</h1><p>แคตตาล็อกขนาดใหญ่ใช้เวลาสักครู่ '
                'หน้านี้จะเปิดรายการสินค้าให้เองเมื่อเสร็จ ไม่ต้องปิดโปรแกรม</p></main>'
                '</body></html>\n', TITLE, TITLE)
