"""The item addresses: the list with its search, adding, editing and deleting."""

import re
import sqlite3
import urllib.parse

from ..httpd import Handler, Refused, whole_number
from ..links import list_url, safe_back, with_flash
from ..pages import items
from ..store import SORTS, constraint_message
from ..text import clean_item, one_line

FORM_FIELDS = ("code", "name", "category", "price", "quantity", "note")
STORED_AS = {"price": "price_satang"}
CHOICES = ("mine", "theirs", "fields")


def differing(values, row):
    """The fields whose typed value, once cleaned, is not what is stored (or is no value)."""
    return [field for field in FORM_FIELDS
            if values.get(STORED_AS.get(field, field)) != row[STORED_AS.get(field, field)]]


def resolve(choice, form, offered, mine, theirs):
    """(the form the user settled on, offered fields still to choose)."""
    raw, unchosen = {}, []
    for field in FORM_FIELDS:
        pick = choice if choice != "fields" else form.get("pick-" + field)
        if field not in offered:
            pick = "mine"
        elif pick not in ("mine", "theirs"):
            unchosen.append(field)
        raw[field] = (theirs if pick == "theirs" else mine)[field]
    return raw, unchosen


class ItemRoutes(Handler):
    routes = [
        (re.compile(r"/"), {"GET": "list_page"}),
        (re.compile(r"/items/new"), {"GET": "new_page", "POST": "create"}),
        (re.compile(r"/items/(\d{1,18})/edit"), {"GET": "edit_page", "POST": "update"}),
        (re.compile(r"/items/(\d{1,18})/delete"), {"GET": "delete_page", "POST": "delete"}),
    ]

    def list_page(self):
        store = self.app.store
        query, category = one_line(self.param("q")), one_line(self.param("category", 100))
        sort = self.param("sort") if self.param("sort") in SORTS else "name"
        scanned = store.by_code(query)
        if scanned is not None:
            back = urllib.parse.quote(list_url("", category, sort), safe="")
            self.redirect(f"/items/{scanned['id']}/edit?back={back}")
            return
        page_text = self.param("page", 6)
        page = int(page_text) if page_text.isascii() and page_text.isdigit() else 1
        flash = self.app.take_flash(self.param("m", 40))
        found = store.search(query, category, sort, page)
        self.send_page(200, items.list_page(found, query, category, sort,
                                            store.categories(), flash))

    def item_or_404(self, item_id):
        row = self.app.store.get(int(item_id))
        if row is None:
            raise Refused(404, "ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")
        return row

    def form_page(self, status, title, action, raw, errors, submit, back, revision=None):
        self.send_page(status, items.form_page(title, action, raw, errors, self.app.token, back,
                                               self.app.store.categories(), submit, revision))

    def new_page(self):
        self.form_page(200, "เพิ่มสินค้า", "/items/new", {"quantity": "0"}, {},
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
        self.form_page(200, "แก้ไขสินค้า", f"/items/{row['id']}/edit", items.item_raw(row), {},
                       "บันทึกการแก้ไข", safe_back(self.param("back", 2000)), row["revision"])

    def update(self, item_id):
        form = self.read_form()
        back = safe_back(form.get("back", "/"))
        revision = form.get("revision", "")
        revision = whole_number(revision)
        revision = -1 if revision is None else revision
        action = f"/items/{int(item_id)}/edit"
        choice = form.get("resolve")
        if choice in CHOICES:
            mine = {field: form.get("mine-" + field, "") for field in FORM_FIELDS}
            current = self.app.store.get(int(item_id))
            if current is None:
                self.deleted_meanwhile(mine, back)
                return
            if current["revision"] != revision:
                self.conflict_page(action, mine, current, back, again=True)
                return
            offered = differing(clean_item(mine)[0], current)
            raw, unchosen = resolve(choice, form, offered, mine, items.item_raw(current))
            if unchosen:
                self.conflict_page(action, mine, current, back, unchosen=unchosen)
                return
        else:
            raw = form
        values, errors = clean_item(raw)
        if choice in CHOICES and not errors and not differing(values, current):
            key = self.app.flash("ok", f"คงข้อมูลที่บันทึกไว้ของ “{values['name']}” ตามเดิม")
            self.redirect(with_flash(back, key))
            return
        if not errors:
            try:
                outcome = self.app.store.update(int(item_id), revision, values)
            except sqlite3.IntegrityError as error:
                field, text = constraint_message(error, values["code"])
                errors[field or "form"] = text
            else:
                if outcome == "conflict":
                    current = self.app.store.get(int(item_id))
                    if current is None:
                        outcome = "missing"
                    elif differing(values, current):
                        self.conflict_page(action, raw, current, back)
                        return
                    else:
                        outcome = "saved"
                if outcome == "saved":
                    key = self.app.flash("ok", f"บันทึกการแก้ไข “{values['name']}” แล้ว")
                    self.redirect(with_flash(back, key))
                    return
                self.deleted_meanwhile(raw, back)
                return
        # The form keeps the revision it was opened on: fixing a typo must not turn it into
        # a save over someone else's change.
        status = 409 if "form" in errors and not set(errors) - {"form"} else 422
        self.form_page(status, "แก้ไขสินค้า", action, raw, errors, "บันทึกการแก้ไข", back,
                       revision)

    def deleted_meanwhile(self, raw, back):
        self.form_page(409, "เพิ่มสินค้า", "/items/new", raw,
                       {"form": "สินค้านี้ถูกลบไปแล้วระหว่างที่คุณแก้ไข ข้อมูลที่กรอกยังอยู่ "
                                "กด “บันทึก” เพื่อเพิ่มเป็นสินค้าใหม่"}, "บันทึก", back)

    def conflict_page(self, action, mine, current, back, again=False, unchosen=()):
        mine = {field: mine.get(field, "") for field in FORM_FIELDS}
        values, _ = clean_item(mine)
        self.send_page(409, items.conflict_page(action, mine, current, differing(values, current),
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
