"""The item addresses: the list with its search, adding, editing and deleting."""

import re

from ..catalog.errors import (DuplicateCode, InvalidValues, ItemMissing, NoRoom, StaleRevision,
                              Unavailable)
from ..catalog.merge import (CHOICES, FORM_FIELDS, differing, item_raw, opened_with, resolve,
                             three_way)
from ..catalog.plan import SORTS
from ..httpd import Handler, Refused, whole_number
from ..links import safe_back, with_flash
from ..pages import items
from ..pages.bin import undo_button
from ..text import clean_item, one_line

# What a save can meet that the form shows beside what was typed, with the page's status.
REFUSED_SAVES = (DuplicateCode, InvalidValues, NoRoom, Unavailable)


def refusal(error):
    """(status, {field: Thai text}) for a save the catalog turned down."""
    status = 503 if isinstance(error, Unavailable) else 507 if isinstance(error, NoRoom) else 422
    return status, {"code" if isinstance(error, DuplicateCode) else "form": error.thai}


class ItemRoutes(Handler):
    routes = [
        (re.compile(r"/"), {"GET": "list_page"}),
        (re.compile(r"/printed"), {"GET": "printed_rows"}),
        (re.compile(r"/items/new"), {"GET": "new_page", "POST": "create"}),
        (re.compile(r"/items/(\d{1,18})/edit"), {"GET": "edit_page", "POST": "update"}),
        (re.compile(r"/items/(\d{1,18})/delete"), {"GET": "delete_page", "POST": "delete"}),
    ]

    def searched(self):
        """The list's (query, category, sort) from the address."""
        sort = self.param("sort") if self.param("sort") in SORTS else "name"
        return one_line(self.param("q")), one_line(self.param("category", 100)), sort

    def list_page(self):
        store = self.app.store
        query, category, sort = self.searched()
        page_text = self.param("page", 6)
        page = int(page_text) if page_text.isascii() and page_text.isdigit() else 1
        flash = self.app.take_flash(self.param("m", 40)) or self.app.unfinished
        # Next and previous links name the row next to their page, so that a deep page
        # is found from that row rather than by counting every row before it.
        anchor = next(((side, item_id) for side in ("after", "before")
                       if (item_id := whole_number(self.param(side, 19))) is not None), None)
        found = store.search(query, category, sort, page, anchor)
        self.send_page(200, items.list_page(found, query, category, sort, store.categories(),
                                            flash, store.by_code(query), store.lookalikes(),
                                            store.binned(1, 0)[0], store.skipped))

    def printed_rows(self):
        """Every row of a list for its printing, or with `count` only how many there are."""
        rows = self.app.store.every_row(*self.searched())
        if self.param("count"):
            self.send_body(200, str(sum(1 for _ in rows)).encode(), "text/plain; charset=utf-8")
        else:
            self.send_page(200, items.printed_rows(rows))

    def item_or_404(self, item_id):
        row = self.app.store.get(int(item_id))
        if row is None:
            raise Refused(404, "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        return row

    def form_page(self, status, title, action, raw, errors, submit, back, revision=None,
                  base=None):
        try:
            categories = self.app.store.categories()
        except Unavailable:
            # What was typed still comes back, only without the list of categories.
            categories = []
        self.send_page(status, items.form_page(title, action, raw, errors, self.app.token, back,
                                               categories, submit, revision, base))

    def new_page(self):
        # A code comes from a scan that found no item.
        raw = {"code": one_line(self.param("code", 64)), "quantity": "0"}
        self.form_page(200, "เพิ่มสินค้า", "/items/new", raw, {},
                       "บันทึก", safe_back(self.param("back", 2000)))

    def create(self):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        values, errors = clean_item(form)
        status = 422
        if not errors:
            try:
                self.app.store.create(values)
            except REFUSED_SAVES as error:
                status, errors = refusal(error)
        if errors:
            self.form_page(status, "เพิ่มสินค้า", "/items/new", form, errors, "บันทึก", back)
            return
        key = self.app.flash("ok", f"เพิ่ม “{values['name']}” (รหัส {values['code']}) แล้ว")
        self.redirect(with_flash(back, key))

    def edit_page(self, item_id):
        row = self.item_or_404(item_id)
        raw = item_raw(row)
        self.form_page(200, "แก้ไขสินค้า", f"/items/{row['id']}/edit", raw, {},
                       "บันทึกการแก้ไข", safe_back(self.param("back", 2000)), row["revision"],
                       raw)

    def update(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        revision = whole_number(form.get("revision", ""))
        revision = -1 if revision is None else revision
        action = f"/items/{int(item_id)}/edit"
        choice = form.get("resolve")
        base = opened_with(form)
        raw = opened_with(form, "mine-") or {} if choice in CHOICES else form
        values, errors = clean_item(raw)
        if errors:
            # The form keeps the revision it was opened on: fixing a typo must not turn it
            # into a save over someone else's change. A choice made on the conflict page has
            # no such revision, so its next save merges again.
            self.form_page(422, "แก้ไขสินค้า", action, raw, errors, "บันทึกการแก้ไข", back,
                           -1 if choice in CHOICES else revision, base)
            return
        try:
            self.save(item_id, form, raw, values, revision, base, back)
        except Unavailable as error:
            self.form_page(503, "แก้ไขสินค้า", action, raw, {"form": error.thai},
                           "บันทึกการแก้ไข", back, -1 if choice in CHOICES else revision, base)

    def save(self, item_id, form, raw, values, revision, base, back):
        """The edit saved, merged with what was saved meanwhile where it can be."""
        action, choice = f"/items/{int(item_id)}/edit", form.get("resolve")
        merged_with_theirs = False
        for _ in range(3):
            current = self.app.store.get(int(item_id))
            if current is None:
                self.deleted_meanwhile(raw, back)
                return
            if current["revision"] == revision and choice not in CHOICES:
                settled = values
            else:
                settled, clashes = three_way(base, values, current)
                if current["revision"] == revision:
                    settled, unchosen = resolve(choice, form, clashes, settled, current)
                    if unchosen:
                        self.conflict_page(action, raw, base, current, clashes, back,
                                           unchosen=unchosen)
                        return
                elif clashes:
                    self.conflict_page(action, raw, base, current, clashes, back,
                                       again=choice in CHOICES)
                    return
                else:
                    merged_with_theirs = True
                if not differing(settled, current):
                    text = (f"คงข้อมูลที่บันทึกไว้ของ “{current['name']}” ตามเดิม"
                            if choice in CHOICES else self.saved_text(current["name"], True))
                    self.redirect(with_flash(back, self.app.flash("ok", text)))
                    return
            try:
                self.app.store.update(int(item_id), current["revision"], settled)
            except (ItemMissing, StaleRevision):
                # Saved or deleted by someone else between reading and writing: merge again.
                continue
            except (DuplicateCode, InvalidValues, NoRoom) as error:
                # Shown as it would be saved, on the revision it was merged with.
                self.form_page(*self.refused_edit(error, action, settled, back, current))
                return
            text = self.saved_text(settled["name"], merged_with_theirs)
            self.redirect(with_flash(back, self.app.flash("ok", text)))
            return
        self.form_page(409, "แก้ไขสินค้า", action, raw,
                       {"form": "สินค้านี้ถูกแก้ไขจากที่อื่นพร้อมกันหลายครั้ง กรุณาบันทึกอีกครั้ง"},
                       "บันทึกการแก้ไข", back, revision, base)

    @staticmethod
    def refused_edit(error, action, settled, back, current):
        status, errors = refusal(error)
        return (status, "แก้ไขสินค้า", action, item_raw(settled), errors, "บันทึกการแก้ไข",
                back, current["revision"], item_raw(current))

    @staticmethod
    def saved_text(name, merged):
        text = f"บันทึกการแก้ไข “{name}” แล้ว"
        return text + " โดยรวมกับการแก้ไขจากที่อื่นที่บันทึกไว้ก่อนหน้า" if merged else text

    def deleted_meanwhile(self, raw, back):
        self.form_page(409, "เพิ่มสินค้า", "/items/new", raw,
                       {"form": "สินค้านี้ถูกลบไปแล้วระหว่างที่คุณแก้ไข ข้อมูลที่กรอกยังอยู่ "
                                "กด “บันทึก” เพื่อเพิ่มเป็นสินค้าใหม่"}, "บันทึก", back)

    def conflict_page(self, action, mine, base, current, clashes, back, again=False,
                      unchosen=()):
        mine = {field: mine.get(field, "") for field in FORM_FIELDS}
        self.send_page(409, items.conflict_page(action, mine, base, current, clashes,
                                                self.app.token, back, again, unchosen))

    def delete_page(self, item_id):
        row = self.item_or_404(item_id)
        back = safe_back(self.param("back", 2000))
        self.send_page(200, items.delete_page(row, self.app.token, back,
                                              self.app.store.binned(1, 0)[0]))

    def delete(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        row = self.app.store.delete(int(item_id))
        if row is None:
            key = self.app.flash("bad", "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        else:
            key = self.app.flash("ok", f"ลบ “{row['name']}” (รหัส {row['code']}) แล้ว "
                                       f"ย้ายไปอยู่ในถังขยะ", undo_button(row["entry"],
                                                                          self.app.token, back))
        self.redirect(with_flash(back, key))
