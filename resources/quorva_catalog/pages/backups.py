"""The backup page: download a snapshot now, the kept snapshots, and restoring one."""

from ..markup import Markup, html, join
from ..text import THAI_MONTHS
from .layout import file_field, hidden, layout

ABOUT = Markup(
    "<p>สำเนาเป็นไฟล์ฐานข้อมูลทั้งแคตตาล็อก ณ เวลาที่กด ดาวน์โหลดได้ขณะใช้งานตามปกติ "
    "เก็บไว้ในที่ปลอดภัยนอกเครื่องนี้ เช่น แฟลชไดรฟ์หรือบริการเก็บไฟล์</p>")
AUTOMATIC = Markup(
    "<p>โปรแกรมสำรองข้อมูลให้เองวันละครั้งเมื่อเปิดโปรแกรม เก็บไว้ 7 ชุดล่าสุด "
    "ในโฟลเดอร์ <code>backups</code> ข้างไฟล์ฐานข้อมูล ก่อนกู้คืนทุกครั้ง "
    "โปรแกรมจะสำรองข้อมูลปัจจุบันไว้อีกชุดหนึ่ง (ชื่อลงท้ายด้วย before-restore)</p>")
WARNING = Markup(
    '<p class="warn">การกู้คืนจะแทนที่สินค้าทั้งหมดในแคตตาล็อกด้วยข้อมูลในสำเนา '
    "สินค้าที่เพิ่มหรือแก้ไขหลังจากวันที่ของสำเนาจะหายไป "
    "(ยังกู้กลับได้จากสำเนาก่อนกู้คืนที่โปรแกรมทำให้)</p>")


def when(moment):
    return (f"{moment.day} {THAI_MONTHS[moment.month - 1]} {moment.year + 543} "
            f"{moment:%H:%M}")


def size(count):
    return f"{count / (1024 * 1024):,.1f} MB" if count >= 1024 * 1024 else \
        f"{max(1, count // 1024):,} KB"


def snapshot_rows(token, snapshots):
    if not snapshots:
        return Markup("<p>ยังไม่มีสำเนาที่เก็บไว้</p>")
    rows = join(html(
        "<tr><td>{}</td><td>{}</td><td class=\"num\">{}</td><td>"
        '<form method="post" action="/backups/restore">{}{}'
        '<button type="submit" class="danger">กู้คืนจากสำเนานี้</button></form></td></tr>',
        name, when(moment), size(length), hidden("token", token), hidden("name", name))
        for name, length, moment in snapshots)
    return html('<div class="table-wrap"><table><thead><tr><th>สำเนา</th><th>เมื่อ</th>'
                '<th class="num">ขนาด</th><th>กู้คืน</th></tr></thead><tbody>{}</tbody>'
                "</table></div>", rows)


def backups_page(token, snapshots, limit, error=None):
    problem = html('<div class="errors" role="alert"><strong>ไม่ได้กู้คืน</strong>'
                   "<p>{}</p></div>", error) if error else ""
    body = html(
        "<h1>สำรองข้อมูล</h1>{}"
        '<h2>ดาวน์โหลดสำเนา</h2>{}<p><a class="button" href="/backups/download" download>'
        "ดาวน์โหลดสำเนาตอนนี้</a></p>"
        "<h2>สำเนาอัตโนมัติ</h2>{}{}"
        "<h2>กู้คืนจากไฟล์สำเนา</h2>{}"
        '<form class="item" method="post" action="/backups/upload" enctype="multipart/form-data" '
        'novalidate>{}{}'
        '<div class="actions-row"><button type="submit" class="danger">กู้คืนจากไฟล์นี้</button>'
        "</div></form>",
        problem, ABOUT, AUTOMATIC, snapshot_rows(token, snapshots), WARNING,
        hidden("token", token),
        file_field("ไฟล์สำเนา (.db)", ".db", f"ไม่เกิน {limit // (1024 * 1024)} MB"))
    return layout("สำรองข้อมูล", body, "/backups")
