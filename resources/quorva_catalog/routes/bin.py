"""The bin's addresses: its page, bringing an entry back (from the page or from the undo in
the notice after a delete), and emptying it for good, which asks first."""

import re

from ..catalog.errors import DuplicateCode, InvalidValues, ItemMissing, NoRoom
from ..httpd import Handler, Refused, whole_number
from ..links import safe_back, with_flash
from ..pages.bin import PAGE_SIZE, bin_page, code_taken_page, empty_page
from ..text import clean_item

GONE = "ไม่พบรายการนี้ในถังขยะ อาจถูกนำกลับมาหรือลบถาวรไปแล้ว"


class BinRoutes(Handler):
    routes = [
        (re.compile(r"/bin"), {"GET": "bin_page"}),
        (re.compile(r"/bin/(\d{1,18})/restore"), {"POST": "bring_back"}),
        (re.compile(r"/bin/empty"), {"GET": "empty_question", "POST": "empty_bin"}),
    ]

    def bin_page(self):
        page = whole_number(self.param("page", 6)) or 1
        count, rows = self.app.store.binned(page, PAGE_SIZE)
        if not rows and page > 1:
            page = max(1, (count + PAGE_SIZE - 1) // PAGE_SIZE)
            count, rows = self.app.store.binned(page, PAGE_SIZE)
        self.send_page(200, bin_page(self.app.token, count, rows, page,
                                     self.app.take_flash(self.param("m", 40))))

    def bring_back(self, entry):
        form = self.read_form()
        store, entry = self.app.store, int(entry)
        # From the notice's undo the list is where the user was; from the bin, the bin.
        back = form.get("back", "/bin")
        back = back if back == "/bin" else safe_back(back)
        row = store.binned_entry(entry)
        if row is None:
            self.redirect(with_flash(back, self.app.flash("bad", GONE)))
            return
        choice, code = form.get("choice"), None
        if choice == "code":
            values, errors = clean_item(form, ("code",))
            if errors:
                self.code_taken(row, back, form.get("code", ""), errors["code"], 422)
                return
            code = values["code"]
        try:
            _, displaced = store.bring_back(entry, code, choice == "displace")
        except ItemMissing:
            self.redirect(with_flash(back, self.app.flash("bad", GONE)))
            return
        except DuplicateCode:
            self.code_taken(row, back, form.get("code", ""),
                            f"รหัส “{code}” มีสินค้าอื่นใช้อยู่แล้ว" if code else None)
            return
        except (InvalidValues, NoRoom) as error:
            raise Refused(507 if isinstance(error, NoRoom) else 422, error.thai) from None
        text = f"นำ “{row['name']}” (รหัส {code or row['code']}) กลับมาแล้ว"
        if displaced is not None:
            text += f" · “{displaced['name']}” ย้ายไปอยู่ในถังขยะแทน"
        self.redirect(with_flash(back, self.app.flash("ok", text)))

    def code_taken(self, row, back, code, error, status=409):
        holder = self.app.store.with_code(row["code"])
        self.send_page(status, code_taken_page(self.app.token, row, holder, back, code, error))

    def empty_question(self):
        store = self.app.store
        entry = whole_number(self.param("entry", 19))
        if entry is not None:
            row = store.binned_entry(entry)
            if row is None:
                self.redirect(with_flash("/bin", self.app.flash("bad", GONE)))
                return
            self.send_page(200, empty_page(self.app.token, 1, row))
            return
        count, newest = store.binned(1, 1)
        if not count:
            self.redirect("/bin")
            return
        self.send_page(200, empty_page(self.app.token, count, upto=newest[0]["entry"]))

    def empty_bin(self):
        form = self.read_form()
        entry, upto = whole_number(form.get("entry")), whole_number(form.get("upto"))
        if entry is None and upto is None:
            raise Refused(400, "ไม่ได้ระบุรายการที่จะลบถาวร")
        # Emptying the whole bin takes only what the question counted: an item deleted
        # meanwhile, here or at another till, stays.
        gone = self.app.store.empty_bin([entry] if entry is not None else None, upto)
        text = (f"ลบถาวรแล้ว {gone:,} รายการ" if gone else GONE)
        self.redirect(with_flash("/bin", self.app.flash("ok" if gone else "bad", text)))
