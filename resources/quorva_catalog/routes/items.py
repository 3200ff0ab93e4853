"""The item addresses: the list with its search, adding, editing and deleting."""

import re
import sqlite3

from ..httpd import Handler, Refused, whole_number
from ..links import safe_back, with_flash
from ..pages import items
from ..bulk import constraint_message
from ..store import PAGE_SIZE, SORTS
from ..text import clean_item, one_line

FORM_FIELDS = ("code", "name", "category", "price", "quantity", "note")
STORED_AS = {"price": "price_satang"}
CHOICES = ("mine", "theirs", "fields")


def differing(values, row):
    """The fields whose typed value, once cleaned, is not what is stored (or is no value)."""
    return [field for field in FORM_FIELDS
            if values.get(STORED_AS.get(field, field)) != row[STORED_AS.get(field, field)]]


def opened_with(form, prefix="was-"):
    """The values an edit form was opened with, or None from a form that did not carry them."""
    if not all(prefix + field in form for field in FORM_FIELDS):
        return None
    return {field: form[prefix + field] for field in FORM_FIELDS}


def three_way(base, mine, row):
    """(values to save, fields both sides changed to different values): a field only one
    side changed takes that side's value. Without `base`, every field that differs clashes."""
    was = clean_item(base)[0] if base is not None else None
    stored = clean_item(items.item_raw(row))[0]
    merged, clashes = {}, []
    for field in FORM_FIELDS:
        key = STORED_AS.get(field, field)
        ours, theirs = mine.get(key), stored.get(key)
        if ours == theirs or was is not None and theirs == was.get(key):
            merged[key] = ours
        elif was is not None and ours == was.get(key):
            merged[key] = row[key]
        else:
            clashes.append(field)
            merged[key] = ours
    return merged, clashes


def resolve(choice, form, clashes, merged, theirs):
    """(values the user settled on, clashing fields still to choose)."""
    settled, unchosen = dict(merged), []
    for field in clashes:
        pick = choice if choice != "fields" else form.get("pick-" + field)
        if pick not in ("mine", "theirs"):
            unchosen.append(field)
        elif pick == "theirs":
            key = STORED_AS.get(field, field)
            settled[key] = theirs[key]
    return settled, unchosen


def every_row(store, query, category, sort):
    """The rows of the list's pages one after another, the item whose code is the query first."""
    exact = store.by_code(query)
    seen = set()
    if exact is not None and (not category or exact["category"] == category):
        seen.add(exact["id"])
        yield exact
    page, anchor = 1, None
    while True:
        rows, count, _, _, shown, more = store.search(query, category, sort, page, anchor)
        if shown != page:
            return
        for row in rows:
            if row["id"] not in seen:
                seen.add(row["id"])
                yield row
        if not rows or not more and (count is None or page * PAGE_SIZE >= count):
            return
        page, anchor = page + 1, ("after", rows[-1]["id"])


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
        flash = self.app.take_flash(self.param("m", 40))
        # Next and previous links name the row next to their page, so that a deep page
        # is found from that row rather than by counting every row before it.
        anchor = next(((side, item_id) for side in ("after", "before")
                       if (item_id := whole_number(self.param(side, 19))) is not None), None)
        found = store.search(query, category, sort, page, anchor)
        self.send_page(200, items.list_page(found, query, category, sort, store.categories(),
                                            flash, store.by_code(query), store.lookalikes()))

    def printed_rows(self):
        """Every row of a list for its printing, or with `count` only how many there are."""
        rows = every_row(self.app.store, *self.searched())
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
        self.send_page(status, items.form_page(title, action, raw, errors, self.app.token, back,
                                               self.app.store.categories(), submit, revision,
                                               base))

    def new_page(self):
        # A code comes from a scan that found no item.
        raw = {"code": one_line(self.param("code", 64)), "quantity": "0"}
        self.form_page(200, "เพิ่มสินค้า", "/items/new", raw, {},
                       "บันทึก", safe_back(self.param("back", 2000)))

    def create(self):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        values, errors = clean_item(form)
        if not errors:
            try:
                self.app.store.create(values)
            except sqlite3.IntegrityError as error:
                field, text = constraint_message(error, values["code"])
                errors[field or "form"] = text
        if errors:
            self.form_page(422, "เพิ่มสินค้า", "/items/new", form, errors, "บันทึก", back)
            return
        key = self.app.flash("ok", f"เพิ่ม “{values['name']}” (รหัส {values['code']}) แล้ว")
        self.redirect(with_flash(back, key))

    def edit_page(self, item_id):
        row = self.item_or_404(item_id)
        raw = items.item_raw(row)
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
                outcome = self.app.store.update(int(item_id), current["revision"], settled)
            except sqlite3.IntegrityError as error:
                # Shown as it would be saved, on the revision it was merged with.
                field, text = constraint_message(error, settled["code"])
                self.form_page(422, "แก้ไขสินค้า", action, items.item_raw(settled),
                               {field or "form": text}, "บันทึกการแก้ไข", back,
                               current["revision"], items.item_raw(current))
                return
            if outcome == "saved":
                text = self.saved_text(settled["name"], merged_with_theirs)
                self.redirect(with_flash(back, self.app.flash("ok", text)))
                return
            # Saved by someone else between reading and writing: merge again.
        self.form_page(409, "แก้ไขสินค้า", action, raw,
                       {"form": "สินค้านี้ถูกแก้ไขจากที่อื่นพร้อมกันหลายครั้ง กรุณาบันทึกอีกครั้ง"},
                       "บันทึกการแก้ไข", back, revision, base)

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
        self.send_page(200, items.delete_page(row, self.app.token, back))

    def delete(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        row = self.app.store.delete(int(item_id))
        if row is None:
            key = self.app.flash("bad", "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        else:
            key = self.app.flash("ok", f"ลบ “{row['name']}” (รหัส {row['code']}) แล้ว")
        self.redirect(with_flash(back, key))
