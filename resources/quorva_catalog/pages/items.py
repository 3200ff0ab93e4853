"""The item pages: the list with its search, the add and edit form, and the delete question."""

import urllib.parse

from ..links import list_url
from ..markup import Markup, html, join
from ..catalog.merge import item_raw
from ..catalog.plan import COUNTED, PAGE_SIZE, SORTS
from ..text import (FIELD_LABELS, TEXT_LIMITS, canonical_code, format_satang, parse_number,
                    show_time, spelled_out)
from .backups import skipped_notice
from .bin import bin_link
from .layout import error_summary, hidden, layout

EMPTY_CATALOG = Markup('<p class="warn">ยังไม่มีสินค้าในแคตตาล็อก '
                       '<a href="/items/new">เพิ่มสินค้าชิ้นแรก</a> หรือ '
                       '<a href="/import">นำเข้าจากไฟล์ CSV</a></p>')
TABLE_COLUMNS = Markup('<thead><tr><th>รหัสสินค้า</th><th>ชื่อสินค้า</th><th>หมวดหมู่</th>'
                       '<th class="num">ราคา (บาท)</th><th class="num">จำนวน</th>'
                       '<th class="wide">แก้ไขล่าสุด</th><th>จัดการ</th></tr></thead>')


def selected(flag):
    return Markup(" selected") if flag else ""


def list_page(found, query, category, sort, categories, flash, exact=None, lookalikes=(),
              binned=0, skipped=None):
    """`found` is a catalog.plan.SearchResult; `exact` the item whose code is the whole query,
    listed first; `lookalikes` what Catalog.lookalikes gives; `binned` how many deleted items
    the bin holds; `skipped` the snapshot last skipped, if none was taken since."""
    rows, count, units, value, page, more = found
    if exact is not None and (not category or exact["category"] == category):
        rows = [row for row in rows if row["id"] != exact["id"]]
        rows = [exact] + rows if page == 1 else rows
    else:
        exact = None
    if category and category not in categories:
        categories = categories + [category]
    category_options = join(html('<option value="{}"{}>{}</option>', c, selected(c == category), c)
                            for c in categories)
    sort_options = join(html('<option value="{}"{}>{}</option>', key, selected(key == sort), label)
                        for key, (label, _) in SORTS.items())
    body = [html(
        '<h1>รายการสินค้า</h1>'
        '<form class="search" method="get" action="/" role="search">'
        # A plain text box: a search box's clear button would add WebKit's English name for
        # it to what a screen reader announces.
        '<label>ค้นหา<input type="text" role="searchbox" name="q" value="{}" maxlength="200" '
        'aria-label="ค้นหา" enterkeyhint="search" autocomplete="off" '
        'placeholder="ชื่อ รหัส หมวดหมู่ หมายเหตุ"></label>'
        '<label>หมวดหมู่<select name="category"><option value="">ทุกหมวดหมู่</option>'
        '{}</select></label>'
        '<label>เรียงตาม<select name="sort">{}</select></label>'
        '<button type="submit">ค้นหา</button>'
        '<a class="button plain" href="/">ล้าง</a></form>', query, category_options, sort_options)]
    body.append(bin_link(binned))
    body.append(skipped_notice(skipped))
    body.append(lookalike_report(lookalikes, urllib.parse.quote(list_url(query, category, sort,
                                                                          page), safe="")))
    if count == 0 and not query and not category:
        body.append(EMPTY_CATALOG)
    elif count == 0:
        body.append(html('<p class="warn">ไม่พบสินค้าที่ตรงกับ “{}”{}</p>', query or category,
                         new_code_link(query, list_url(query, category, sort))))
    else:
        body.append(html('<p class="summary">พบมากกว่า {:,} รายการ · พิมพ์คำค้นเพิ่ม'
                         'เพื่อดูจำนวนและมูลค่ารวม</p>', COUNTED) if count is None else
                    html('<p class="summary">พบ {:,} รายการ · รวม {:,} ชิ้น · '
                         'มูลค่ารวม {} บาท</p>', count, units, format_satang(value)))
        body.append(table_head(query, category, sort, count))
        back = urllib.parse.quote(list_url(query, category, sort, page), safe="")
        body.extend(item_row(row, back, exact is not None and row["id"] == exact["id"])
                    for row in rows)
        body.append(Markup("</tbody></table></div>"))
        body.append(page_links(found, query, category, sort))
    return layout("รายการสินค้า", join(body), "/", flash)


def new_code_link(query, back):
    """A scanned code that no item has is offered as a new item's code: one word with a digit,
    as codes have and words searched for by hand seldom do."""
    code = canonical_code(query)
    if len(code) > 64 or len(code.split()) != 1 or not any(c.isdigit() for c in code):
        return ""
    return html(' <a href="/items/new?{}">เพิ่มสินค้ารหัสนี้</a>',
                urllib.parse.urlencode({"code": code, "back": back}))


def table_head(query, category, sort, count):
    """The list's table; on paper it carries every row the search found, which page.js fetches
    from `data-rows`, under a line that says what was searched."""
    searched = " · ".join([f"คำค้น “{query}”"] * bool(query) +
                          [f"หมวดหมู่ “{category}”"] * bool(category)) or "สินค้าทั้งหมด"
    params = [(k, v) for k, v in (("q", query), ("category", category), ("sort", sort)) if v]
    return html('<div class="table-wrap"><table class="items" data-rows="/printed?{}" '
                'data-count="{}" data-title="แคตตาล็อกสินค้า · {}">{}<tbody>',
                urllib.parse.urlencode(params), "" if count is None else count, searched,
                TABLE_COLUMNS)


def printed_rows(rows):
    return html("<table><tbody>{}</tbody></table>", join(item_row(row, "%2F") for row in rows))


def lookalike_report(groups, back):
    if not groups:
        return Markup()
    listed = join(html("<li>{}</li>", join(
        html('{}<a href="/items/{}/edit?back={}"><code>{}</code></a> {}',
             Markup(" · ") if n else "", row["id"], back, spelled_out(row["code"]), row["name"])
        for n, row in enumerate(rows))) for rows in groups)
    return html('<div class="warn lookalikes" role="note"><strong>พบรหัสสินค้าที่หน้าตาเหมือนกัน '
                "{:,} กลุ่ม</strong><p>รหัสในแต่ละกลุ่มต่างกันเพียงอักขระที่มองไม่เห็น"
                "หรือรูปแบบตัวอักษร จึงน่าจะเป็นสินค้าเดียวกัน กรุณารวมให้เหลือรายการเดียว: "
                "แก้ไขรายการที่จะเก็บไว้ แล้วลบรายการที่ซ้ำ หรือเปลี่ยนรหัสให้ต่างกัน</p>"
                "<ul>{}</ul></div>",
                len(groups), listed)


def item_row(row, back, exact=False):
    note = html('<div class="note">{}</div>', row["note"]) if row["note"] else ""
    quantity = (Markup('<span class="out">หมด</span>') if row["quantity"] == 0
                else format(row["quantity"], ","))
    return html(
        '<tr id="item-{id}" data-code="{code}"{exact}>'
        '<td class="code">{code}{label}</td>'
        '<td>{name}{note}</td>'
        '<td data-label="หมวดหมู่">{category}</td>'
        '<td class="num" data-label="ราคา">{price}</td>'
        '<td class="num" data-label="จำนวน">{quantity}</td>'
        '<td class="wide"><time datetime="{updated}">{shown}</time></td>'
        '<td class="actions"><a href="/items/{id}/edit?back={back}">แก้ไข</a>'
        '<a href="/items/{id}/delete?back={back}">ลบ</a></td></tr>',
        id=row["id"], code=row["code"], name=row["name"], note=note, category=row["category"],
        price=format_satang(row["price_satang"]), quantity=quantity, updated=row["updated_at"],
        shown=show_time(row["updated_at"]), back=back,
        exact=Markup(' class="exact"') if exact else "",
        label=Markup('<span class="hint">รหัสตรงกับคำค้น</span>') if exact else "")


def page_links(found, query, category, sort):
    rows, count, _, _, page, more = found
    pages = page + more if count is None else (count + PAGE_SIZE - 1) // PAGE_SIZE
    if pages <= 1:
        return Markup()
    links = []
    if page > 1:
        # Beside its number, each link names the row next to its page, which finds the page
        # without counting the rows before it; page 1 needs no such help.
        back = list_url(query, category, sort, page - 1)
        if page > 2:
            back += f"&before={rows[0]['id']}"
        links.append(html('<a href="{}" rel="prev">ก่อนหน้า</a>', back))
    links.append(html("<span>หน้า {:,} จาก {:,}</span>", page, pages) if count is not None
                 else html("<span>หน้า {:,}</span>", page))
    if page < pages:
        links.append(html('<a href="{}" rel="next">ถัดไป</a>',
                          list_url(query, category, sort, page + 1) +
                          f"&after={rows[-1]['id']}"))
    return html('<nav class="pages" aria-label="หน้า">{}</nav>', join(links))


def item_form(action, raw, errors, token, back, categories, submit, revision=None, base=None):
    def field(name, label, hint="", kind="text", attrs=Markup()):
        error = errors.get(name)
        described = html(' aria-describedby="{}-error"', name) if error else ""
        invalid = Markup(' aria-invalid="true"') if error else ""
        value = raw.get(name, "")
        if kind == "textarea":
            control = html('<textarea name="{}" rows="4" maxlength="{}"{}{}>{}</textarea>',
                           name, TEXT_LIMITS[name], invalid, described, value)
        else:
            control = html('<input type="text" name="{}" value="{}"{}{}{}>',
                           name, value, attrs, invalid, described)
        note = html('<span class="hint">{}</span>', hint) if hint else ""
        problem = (html('<span class="field-error" id="{}-error">{}</span>', name, error)
                   if error else "")
        return html("<label>{}{}{}{}</label>", label, control, note, problem)

    return join([
        error_summary(list(errors.values())),
        # The server's Thai messages, not the browser's English bubbles.
        html('<form class="item" method="post" action="{}" novalidate>', action),
        hidden("token", token), hidden("back", back),
        hidden("revision", revision) if revision is not None else "",
        opened_fields(base),
        Markup('<div class="pair">'),
        field("code", "รหัสสินค้า", code_hint(raw.get("code", "")),
              attrs=Markup(' maxlength="64" required')),
        field("category", "หมวดหมู่", attrs=Markup(' maxlength="100" list="categories"')),
        Markup("</div>"),
        # A new item's form opened with a scanned code starts at its name.
        field("name", "ชื่อสินค้า", attrs=Markup(' maxlength="200" required' + (
            ' autofocus' if raw.get("code") and not raw.get("name") else ""))),
        Markup('<div class="pair">'),
        field("price", "ราคา (บาท)", "เช่น 1,250.50",
              attrs=Markup(' inputmode="decimal" maxlength="20" required')),
        field("quantity", "จำนวนคงเหลือ",
              attrs=Markup(' inputmode="numeric" maxlength="15" required')),
        Markup("</div>"),
        field("note", "หมายเหตุ", kind="textarea"),
        html('<datalist id="categories">{}</datalist>',
             join(html('<option value="{}">', c) for c in categories)),
        html('<div class="actions-row"><button type="submit">{}</button>'
             '<a class="button plain" href="{}">ยกเลิก</a></div></form>', submit, back),
    ])


def code_hint(code):
    # A look-alike kept from before codes had one spelling shows what saving will make of it.
    canonical = canonical_code(code)
    if not canonical or canonical == code:
        return "ไม่ซ้ำกับสินค้าอื่น"
    return f"ไม่ซ้ำกับสินค้าอื่น · {spelled_out(code)} จะบันทึกเป็น “{canonical}”"


def opened_fields(base):
    """What an edit was opened with, so that a save can tell the user's changes from others'."""
    if base is None:
        return ""
    return join(hidden("was-" + field, base[field]) for field in FIELD_LABELS)


def form_page(title, action, raw, errors, token, back, categories, submit, revision=None,
              base=None):
    """The add or edit form; `revision` and `base` are the stored item an edit was opened on."""
    form = item_form(action, raw, errors, token, back, categories, submit, revision, base)
    return layout(title, html("<h1>{}</h1>{}", title, form),
                  "/items/new" if action == "/items/new" else None)


def delete_page(row, token, back, binned):
    return layout("ลบสินค้า", html(
        '<h1>ลบสินค้า</h1>'
        '<dl class="item">'
        '<dt>รหัสสินค้า</dt><dd>{code}</dd>'
        '<dt>ชื่อสินค้า</dt><dd>{name}</dd>'
        '<dt>หมวดหมู่</dt><dd>{category}</dd>'
        '<dt>ราคา</dt><dd>{price} บาท</dd>'
        '<dt>จำนวน</dt><dd>{quantity:,}</dd>'
        '<dt>สร้างเมื่อ</dt><dd>{created}</dd></dl>'
        '<p class="warn">สินค้าที่ลบจะย้ายไปอยู่ในถังขยะ ไม่นับรวมในรายการและการค้นหา '
        'นำกลับมาได้จากหน้า <a href="/bin">ถังขยะ</a> ({held}) '
        'ต้องการลบสินค้านี้ใช่ไหม</p>'
        '<form method="post" action="/items/{id}/delete" class="actions-row">'
        '{token}{back}'
        '<button type="submit" class="danger">ลบสินค้านี้</button>'
        '<a class="button plain" href="{href}">ยกเลิก</a></form>',
        code=row["code"], name=row["name"], category=row["category"] or "-",
        price=format_satang(row["price_satang"]), quantity=row["quantity"],
        created=show_time(row["created_at"]), id=row["id"], token=hidden("token", token),
        held=f"ตอนนี้มี {binned:,} รายการ" if binned else "ตอนนี้ว่าง",
        back=hidden("back", back), href=back))


def shown_value(field, text):
    if not text.strip():
        return Markup('<span class="hint">(ว่าง)</span>')
    if field == "price":
        satang, problem = parse_number(text, False)
        return format_satang(satang) if problem is None else text
    return html('<span class="note-text">{}</span>', text) if field == "note" else text


def conflict_page(action, mine, base, row, fields, token, back, again=False, unchosen=()):
    """Someone saved the item after this form was opened and changed some field the user
    changed too: both sides of each such field, and the user picks one per field or one side
    for all. Fields only one side changed are merged without asking."""
    theirs = item_raw(row)
    lead = ("สินค้านี้ถูกแก้ไขจากที่อื่นอีกครั้งระหว่างที่คุณเลือก" if again
            else "มีการแก้ไขสินค้านี้จากที่อื่นหลังจากคุณเปิดแบบฟอร์ม")
    missing = (html('<p class="field-error">กรุณาเลือกค่าที่จะใช้ให้ครบ: {}</p>',
                    ", ".join(FIELD_LABELS[f] for f in unchosen)) if unchosen else "")
    merged = ("ช่องที่แก้ไขเพียงฝั่งเดียวรวมให้แล้ว กรุณาเลือกเฉพาะช่องที่แก้ไขต่างกันด้านล่าง"
              if base is not None
              else "กรุณาเลือกว่าจะใช้ค่าใดในแต่ละช่อง ช่องที่ไม่ได้แสดงมีค่าตรงกันอยู่แล้ว")

    def choice(field, side, text):
        return html('<td><label class="pick"><input type="radio" name="pick-{}" value="{}">'
                    '{}</label></td>', field, side, shown_value(field, text))

    def before(field):
        return html("<td>{}</td>", shown_value(field, base[field])) if base is not None else ""

    rows = join(html('<tr><th scope="row">{}</th>{}{}{}</tr>', FIELD_LABELS[f], before(f),
                     choice(f, "mine", mine[f]), choice(f, "theirs", theirs[f]))
                for f in fields)
    body = html(
        '<h1>แก้ไขสินค้า: ข้อมูลไม่ตรงกัน</h1>'
        '<div class="errors" role="alert"><strong>ยังไม่ได้บันทึก</strong> {} '
        '(บันทึกล่าสุดเมื่อ {}) {}</div>{}'
        '<form class="conflict" method="post" action="{}" novalidate>{}{}{}{}{}'
        '<div class="table-wrap"><table><thead><tr><th>ช่อง</th>{}<th>ที่คุณกรอก</th>'
        '<th>ที่บันทึกไว้ล่าสุด</th></tr></thead><tbody>{}</tbody></table></div>'
        '<div class="actions-row">'
        '<button type="submit" name="resolve" value="fields">บันทึกตามที่เลือก</button>'
        '<button type="submit" name="resolve" value="mine" class="plain">'
        'ใช้ที่ฉันกรอกทั้งหมด</button>'
        '<button type="submit" name="resolve" value="theirs" class="plain">'
        'ใช้ที่บันทึกไว้ทั้งหมด</button>'
        '<a class="button plain" href="{}">ยกเลิก</a></div></form>',
        lead, show_time(row["updated_at"]), merged, missing, action, hidden("token", token),
        hidden("back", back), hidden("revision", row["revision"]),
        join(hidden("mine-" + f, v) for f, v in mine.items()), opened_fields(base),
        Markup("<th>ก่อนแก้ไข</th>") if base is not None else "", rows, back)
    return layout("แก้ไขสินค้า", body)
