"""What each address of the catalog does: read the request, ask the store, answer with a page
or a redirect. The pages themselves are built in pages/."""

import datetime
import re
import sqlite3

from .csvfile import export_csv, read_csv
from .httpd import Handler, Refused
from .links import safe_back, with_flash
from .pages import importing, items
from .pages.layout import STYLESHEET
from .store import SORTS, ImportRejected, constraint_message
from .text import clean_item, one_line

IMPORT_LIMIT = 2 * 1024 * 1024


class CatalogHandler(Handler):
    routes = [
        (re.compile(r"/"), {"GET": "list_page"}),
        (re.compile(r"/style\.css"), {"GET": "style"}),
        (re.compile(r"/favicon\.ico"), {"GET": "favicon"}),
        (re.compile(r"/items/new"), {"GET": "new_page", "POST": "create"}),
        (re.compile(r"/items/(\d{1,18})/edit"), {"GET": "edit_page", "POST": "update"}),
        (re.compile(r"/items/(\d{1,18})/delete"), {"GET": "delete_page", "POST": "delete"}),
        (re.compile(r"/export\.csv"), {"GET": "export"}),
        (re.compile(r"/import"), {"GET": "import_page", "POST": "import_csv"}),
    ]

    def style(self):
        self.send_body(200, STYLESHEET, "text/css; charset=utf-8")

    def favicon(self):
        self.send_body(204, b"", "image/x-icon")

    # Items.

    def list_page(self):
        store = self.app.store
        query, category = one_line(self.param("q")), one_line(self.param("category", 100))
        sort = self.param("sort") if self.param("sort") in SORTS else "name"
        page_text = self.param("page", 6)
        page = int(page_text) if page_text.isascii() and page_text.isdigit() else 1
        page = max(page, 1)
        flash = self.app.take_flash(self.param("m", 40))
        found = store.search(query, category, sort, page)
        self.send_page(200, items.list_page(found, query, category, sort, page,
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
        values, errors = clean_item(form)
        revision = form.get("revision", "")
        revision = int(revision) if revision.isascii() and revision.isdigit() else -1
        action = f"/items/{int(item_id)}/edit"
        if not errors:
            try:
                outcome = self.app.store.update(int(item_id), revision, values)
            except sqlite3.IntegrityError as error:
                field, text = constraint_message(error, values["code"])
                errors[field or "form"] = text
            else:
                if outcome == "saved":
                    key = self.app.flash("ok", f"บันทึกการแก้ไข “{values['name']}” แล้ว")
                    self.redirect(with_flash(back, key))
                    return
                if outcome == "missing":
                    self.form_page(
                        409, "เพิ่มสินค้า", "/items/new", form,
                        {"form": "สินค้านี้ถูกลบไปแล้วระหว่างที่คุณแก้ไข ข้อมูลที่กรอกยังอยู่ "
                                 "กด “บันทึก” เพื่อเพิ่มเป็นสินค้าใหม่"}, "บันทึก", back)
                    return
                errors["form"] = ("มีการแก้ไขสินค้านี้จากที่อื่นหลังจากคุณเปิดแบบฟอร์ม "
                                  "ตรวจสอบข้อมูลแล้วกดบันทึกอีกครั้งเพื่อเขียนทับ")
        current = self.app.store.get(int(item_id))
        if current is not None:
            revision = current["revision"]
        status = 409 if "form" in errors and not set(errors) - {"form"} else 422
        self.form_page(status, "แก้ไขสินค้า", action, form, errors, "บันทึกการแก้ไข", back,
                       revision)

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

    # CSV.

    def export(self):
        data = export_csv(self.app.store.export_rows())
        name = f"catalog-{datetime.date.today():%Y-%m-%d}.csv"
        self.send_body(200, data, "text/csv; charset=utf-8",
                       (("Content-Disposition", f'attachment; filename="{name}"'),))

    def import_page(self, errors=(), status=200):
        self.send_page(status, importing.import_page(self.app.token, IMPORT_LIMIT, errors))

    def import_csv(self):
        parts = self.read_multipart(IMPORT_LIMIT)
        self.check_token(parts.get("token", b"").decode("utf-8", "replace"))
        data = parts.get("file", b"")
        if not data.strip():
            self.import_page([(None, "กรุณาเลือกไฟล์ CSV ที่มีข้อมูล")], 422)
            return
        rows, errors, ignored = read_csv(data)
        try:
            counts = self.app.store.upsert(rows, errors)
        except ImportRejected as rejected:
            self.import_page(rejected.errors, 422)
            return
        except sqlite3.IntegrityError as error:
            self.import_page([(None, constraint_message(error, "")[1])], 422)
            return
        text = (f"นำเข้าเรียบร้อย: เพิ่มใหม่ {counts['added']:,} รายการ · "
                f"ปรับปรุง {counts['updated']:,} รายการ · ไม่เปลี่ยนแปลง {counts['same']:,} รายการ")
        if ignored:
            text += " · ข้ามคอลัมน์ที่ไม่รู้จัก: " + ", ".join(ignored)
        self.redirect(with_flash("/", self.app.flash("ok", text)))
