"""The backup page: download a snapshot now, the kept snapshots, and restoring one; the
question asked before a restore."""

from ..catalog.backups import NO_SPACE
from ..markup import Markup, html, join
from ..text import THAI_MONTHS, show_time
from .layout import file_field, hidden, layout

ABOUT = Markup(
    "<p>สำเนาเป็นไฟล์ฐานข้อมูลทั้งแคตตาล็อก ณ เวลาที่กด ดาวน์โหลดได้ขณะใช้งานตามปกติ "
    "เก็บไว้ในที่ปลอดภัยนอกเครื่องนี้ เช่น แฟลชไดรฟ์หรือบริการเก็บไฟล์</p>")
AUTOMATIC = Markup(
    "<p>โปรแกรมสำรองข้อมูลให้เองวันละครั้ง (เมื่อเปิดโปรแกรมและเมื่อขึ้นวันใหม่) "
    "แบบบีบอัดไว้ในโฟลเดอร์ <code>backups</code> ข้างไฟล์ฐานข้อมูล เก็บไว้ไม่เกิน 7 ชุดล่าสุด "
    "และเมื่อแคตตาล็อกใหญ่ขึ้นจะเก็บน้อยชุดลงให้โฟลเดอร์ไม่เกินสองเท่าของฐานข้อมูล "
    "ก่อนกู้คืนหรือนำเข้าทุกครั้ง โปรแกรมจะสำรองข้อมูลปัจจุบันไว้อีกชุดหนึ่ง "
    "(ชื่อลงท้ายด้วย before-restore หรือ before-import)</p>")
WARNING = Markup(
    '<p class="warn">การกู้คืนจะแทนที่สินค้าทั้งหมดในแคตตาล็อกด้วยข้อมูลในสำเนา '
    "สินค้าที่เพิ่มหรือแก้ไขหลังจากวันที่ของสำเนาจะหายไป "
    "(ยังกู้กลับได้จากสำเนาก่อนกู้คืนที่โปรแกรมทำให้) "
    "โปรแกรมจะตรวจไฟล์และแสดงสิ่งที่จะเปลี่ยนให้ยืนยันก่อนทุกครั้ง</p>")
ACCEPTS = (
    "รับไฟล์ที่ได้จาก “ดาวน์โหลดสำเนาตอนนี้” (.db) "
    "หรือสำเนาในโฟลเดอร์ backups (.db.gz) รับเฉพาะข้อมูลสินค้า "
    "ไฟล์ที่มีตาราง วิว หรือทริกเกอร์ที่แคตตาล็อกไม่ได้สร้างจะไม่ถูกกู้คืน")


def when(moment):
    return (f"{moment.day} {THAI_MONTHS[moment.month - 1]} {moment.year + 543} "
            f"{moment:%H:%M}")


def size(count):
    return f"{count / (1024 * 1024):,.1f} MB" if count >= 1024 * 1024 else \
        f"{max(1, count // 1024):,} KB"


SKIPPED_KINDS = {"daily": "สำรองข้อมูลอัตโนมัติประจำวัน", "import": "สำรองข้อมูลก่อนนำเข้า",
                 "restore": "สำรองข้อมูลก่อนกู้คืน"}
SKIPPED_OUTCOMES = {
    "daily": "ยังไม่มีสำเนาอัตโนมัติของวันนี้ โปรแกรมจะลองใหม่เองทุก 5 นาที",
    "import": "จึงยังไม่ได้นำเข้า",
    "restore": "จึงยังไม่ได้กู้คืน",
}


def skipped_notice(skipped):
    """A snapshot that could not be taken, shown until one is."""
    if skipped is None:
        return Markup()
    mend = ("เพิ่มที่ว่างบนดิสก์" if skipped.why == NO_SPACE
            else "ตรวจดูโฟลเดอร์ backups ข้างไฟล์ฐานข้อมูล")
    return html('<div class="warn skipped-snapshot" role="alert"><strong>{}ไม่สำเร็จ</strong> '
                "เมื่อ {} ({}) {} ข้อมูลในแคตตาล็อกยังอยู่ครบ กรุณา{} "
                'หรือ<a href="/backups/download" download>ดาวน์โหลดสำเนาตอนนี้</a>เก็บไว้ '
                "ข้อความนี้จะแสดงจนกว่าจะสำรองข้อมูลได้สำเร็จ</div>",
                SKIPPED_KINDS[skipped.kind], when(skipped.when), skipped.why,
                SKIPPED_OUTCOMES[skipped.kind], mend)


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


def backups_page(token, snapshots, error=None, skipped=None):
    problem = html('<div class="errors" role="alert"><strong>ไม่ได้กู้คืน</strong>'
                   "<p>{}</p></div>", error) if error else ""
    body = html(
        "<h1>สำรองข้อมูล</h1>{}{}"
        '<h2>ดาวน์โหลดสำเนา</h2>{}<p><a class="button" href="/backups/download" download>'
        "ดาวน์โหลดสำเนาตอนนี้</a></p>"
        "<h2>สำเนาอัตโนมัติ</h2>{}{}"
        "<h2>กู้คืนจากไฟล์สำเนา</h2>{}"
        '<form class="item" method="post" action="/backups/upload" enctype="multipart/form-data" '
        'novalidate>{}{}'
        '<div class="actions-row"><button type="submit" class="danger">กู้คืนจากไฟล์นี้</button>'
        "</div></form>",
        problem, skipped_notice(skipped), ABOUT, AUTOMATIC, snapshot_rows(token, snapshots),
        WARNING, hidden("token", token),
        file_field("ไฟล์สำเนา (.db หรือ .db.gz)", ".db,.gz", ACCEPTS))
    return layout("สำรองข้อมูล", body, "/backups")


def lost_rows(newest):
    rows = join(html("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>", code, name,
                     "เพิ่มใหม่" if added else "แก้ไข", show_time(updated))
                for code, name, updated, added in newest)
    return html('<div class="table-wrap"><table><thead><tr><th>รหัสสินค้า</th><th>ชื่อสินค้า</th>'
                "<th>หลังสำเนา</th><th>เมื่อ</th></tr></thead><tbody>{}</tbody></table></div>",
                rows)


def confirm_page(token, candidate, changes):
    """What a restore of `candidate` would do, and the one button that does it."""
    lost = changes["added"] + changes["changed"]
    moment = when(candidate.moment) if candidate.moment else "ไม่ทราบ"
    facts = html(
        '<div class="table-wrap"><table class="facts"><tbody>'
        "<tr><th>กู้คืนจาก</th><td>{}</td></tr>"
        "<tr><th>{}</th><td>{}</td></tr>"
        '<tr><th>สินค้าในสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>สินค้าในแคตตาล็อกตอนนี้</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>จะหายไป: เพิ่มหลังสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>จะหายไป: แก้ไขหลังสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>จะกลับมา: ลบไปหลังสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>ถังขยะตอนนี้: จะแทนที่ด้วยถังขยะในสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        '<tr><th>ถังขยะในสำเนา</th><td class="num">{:,} รายการ</td></tr>'
        "</tbody></table></div>",
        candidate.label, "วันที่ของสำเนา" if candidate.dated else "แก้ไขล่าสุดในสำเนา", moment,
        candidate.items, changes["today"], changes["added"],
        changes["changed"], changes["returning"], changes["bin_today"], changes["bin_copy"])
    if lost:
        more = f" (แสดง {len(changes['newest'])} รายการล่าสุด)" if lost > len(changes["newest"]) \
            else ""
        detail = html("<h2>สินค้าที่จะหายไป{}</h2>{}", more, lost_rows(changes["newest"]))
    else:
        detail = Markup("<p>ไม่มีสินค้าที่เพิ่มหรือแก้ไขหลังสำเนานี้</p>")
    body = html(
        "<h1>ยืนยันการกู้คืน</h1>"
        '<p class="warn">ไฟล์ผ่านการตรวจสอบแล้ว ยังไม่ได้เปลี่ยนแปลงแคตตาล็อก '
        "กดปุ่มด้านล่างเพื่อแทนที่สินค้าทั้งหมดด้วยข้อมูลในสำเนา "
        "ข้อมูลปัจจุบันจะถูกสำรองไว้ก่อน (ชื่อลงท้ายด้วย before-restore) "
        "รวมทั้งสินค้าในถังขยะตอนนี้ ซึ่งจะถูกแทนที่ด้วยถังขยะในสำเนา</p>{}{}"
        '<form class="item" method="post" action="/backups/confirm">{}{}'
        '<div class="actions-row"><button type="submit" class="danger">'
        "กู้คืนและแทนที่ข้อมูลปัจจุบัน</button>"
        '<a class="button plain" href="/backups">ยกเลิก</a></div></form>',
        facts, detail, hidden("token", token), hidden("p", candidate.key))
    return layout("ยืนยันการกู้คืน", body, "/backups")
