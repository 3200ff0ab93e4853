"""The CSV addresses: export, and the import page with its upload."""

import datetime
import os
import re
import secrets
import tempfile
import time
import urllib.parse

from ..batches import read_batches
from ..catalog import restoring, underway
from ..catalog.backups import kill_point
from ..catalog.errors import (BackupError, CatalogChanged, DuplicateCode, ImportRejected,
                              InvalidValues, NoRoom, Unavailable)
from ..csvfile import write_csv
from ..httpd import Handler, Refused, close_parts, whole_number
from ..links import with_flash
from ..pages import importing

# Far above any real shop: a million items export to about 200 MB.
IMPORT_LIMIT = 1000 * 1024 * 1024


class TransferRoutes(Handler):
    routes = [
        (re.compile(r"/export\.csv"), {"GET": "export"}),
        (re.compile(r"/import"), {"GET": "import_page", "POST": "import_csv"}),
        (re.compile(r"/import/confirm"), {"GET": "import_preview", "POST": "apply_import"}),
        (re.compile(r"/import/progress"), {"GET": "import_progress"}),
        (re.compile(r"/import\.js"), {"GET": "import_script"}),
    ]

    def export(self):
        # Written to a temporary file first: the length is known before the first byte is
        # sent, and no more than a row is held in memory.
        with tempfile.TemporaryFile() as out:
            write_csv(self.app.store.export_rows(), out)
            out.seek(0)
            name = f"catalog-{datetime.date.today():%Y-%m-%d}.csv"
            self.send_file(out, "text/csv; charset=utf-8",
                           (("Content-Disposition", f'attachment; filename="{name}"'),))

    def import_page(self, errors=(), status=200, ignored=()):
        shown = self.param("shown", 40) and self.app.take_flash(self.param("shown", 40))
        if self.command == "GET" and shown and shown[0] == "page":
            self.send_page(200, shown[1])
            return
        page = importing.import_page(self.app.token, IMPORT_LIMIT, errors, ignored)
        if self.sent_by_script():
            self.go_to("/import?" + urllib.parse.urlencode({"shown": self.app.flash("page", page)}))
            return
        self.send_page(status, page)

    def sent_by_script(self):
        # import.js sends the form itself, so that the page stays to show the progress (a
        # page being left loads nothing more), and then goes where the answer says.
        return self.command == "POST" and self.headers.get("X-Import") == "fetch"

    def go_to(self, location):
        if self.sent_by_script():
            self.send_body(200, location.encode(), "text/plain; charset=utf-8")
        else:
            self.redirect(location)

    def import_progress(self):
        self.send_body(200, self.app.running.progress.encode(), "text/plain; charset=utf-8")

    def import_script(self):
        self.send_body(200, importing.SCRIPT, "text/javascript; charset=utf-8")

    def one_import(self, answer):
        """`answer` while no other import runs; a second one sent meanwhile (a button pressed
        twice, another window) is turned away with its body unread."""
        try:
            self.app.running.start()
        except underway.Busy:
            self.close_connection = True
            self.unread = whole_number(self.headers.get("Content-Length")) or 0
            raise Refused(409, BUSY) from None
        try:
            answer()
        finally:
            self.app.running.finish()

    def import_csv(self):
        self.one_import(self.receive_import)

    def receive_import(self):
        rfile = self.rfile
        self.rfile = self.app.running.receiving(
            rfile, whole_number(self.headers.get("Content-Length")) or 0)
        try:
            parts = self.read_multipart(IMPORT_LIMIT)
        finally:
            self.rfile = rfile
        try:
            self.check_token(parts.get("token", b"").decode("utf-8", "replace"))
            upload = parts.get("file")
            if not hasattr(upload, "read") or not upload.read(1):
                self.import_page([(None, "กรุณาเลือกไฟล์ CSV ที่มีข้อมูล")], 422)
                return
            result, ignored = self.run_import(upload, preview=True)
            if result is None:
                return
            if not result["written"]:
                # Kept, still checked, for the user's answer; the pending entry closes it.
                parts.pop("file")
                self.show_preview(PendingImport(upload, result, ignored))
                return
        finally:
            close_parts(parts)
        self.imported(result, ignored)

    def run_import(self, upload, **options):
        """The store's result and the ignored columns, or None once a refusal is sent."""
        store = self.app.store
        self.app.unfinished = None
        # Read through a file of its own: whatever ends the reading, even before its first
        # row, closes only that one, and the upload stays for a preview's answer.
        with open(os.dup(upload.fileno()), "rb") as reading:
            reading.seek(0)
            size = os.fstat(reading.fileno()).st_size
            batches, errors, ignored = read_batches(reading)
            short = underway.short_of_room(store, size)
            if short is not None:
                self.import_page([(None, short.thai)], 507, ignored)
                return None, ignored
            try:
                return self.marked_import(store, batches, errors, options), ignored
            except ImportRejected as rejected:
                self.import_page(rejected.errors, 422, ignored)
            except (DuplicateCode, InvalidValues, Unavailable) as error:
                status = 503 if isinstance(error, Unavailable) else 422
                self.import_page([(None, error.thai)], status, ignored)
            except (NoRoom, OSError, BackupError) as error:
                if underway.out_of_space(error):
                    self.import_page([(None, underway.no_room_now(store, size))], 507, ignored)
                else:
                    self.import_page([(None, "ทำสำเนาก่อนนำเข้าไม่สำเร็จ จึงยังไม่ได้นำเข้า "
                                             f"({getattr(error, 'strerror', None) or error}) "
                                             "ข้อมูลเดิมยังอยู่ครบ")], 503, ignored)
        return None, ignored

    def marked_import(self, store, batches, errors, options):
        """The import, with the mark that tells the next start if it is cut short."""
        mark = underway.Mark(store)
        # No restore may swap the file while its safety snapshot is taken.
        with restoring.RESTORING:
            mark.begin()
            try:
                kill_point("import-marked")
                result = store.upsert(self.app.running.counted(batches), errors,
                                      snapshot=lambda: underway.safety_copy(store),
                                      committing=mark.committing, **options)
                if result["written"]:
                    kill_point("import-committed")
                return result
            finally:
                mark.end()

    def show_preview(self, pending, notice=None):
        key = self.app.imports.add(pending)
        query = {"p": key, **({"changed": "1"} if notice else {})}
        self.go_to("/import/confirm?" + urllib.parse.urlencode(query))

    def import_preview(self):
        pending = self.app.imports.get(self.param("p"))
        if pending is None:
            self.import_page([(None, EXPIRED)], 404)
            return
        self.send_page(200, importing.preview_page(self.app.token, pending.key, pending.result,
                                                   pending.ignored, self.param("changed")))

    def apply_import(self):
        self.one_import(self.confirm_import)

    def confirm_import(self):
        form = self.read_form()
        pending = self.app.imports.get(form.get("p"), take=True)
        if pending is None:
            self.import_page([(None, EXPIRED)], 404)
            return
        try:
            try:
                result, ignored = self.run_import(
                    pending.upload, stamp=pending.result["stamp"],
                    overwrite_older=form.get("older") == "1")
            except CatalogChanged:
                result, ignored = self.run_import(pending.upload, preview=True)
                if result is not None and not result["written"]:
                    self.show_preview(PendingImport(pending.take(), result, ignored), True)
                    return
            if result is None:
                return
        finally:
            pending.discard()
        self.imported(result, ignored)

    def imported(self, result, ignored):
        self.go_to(with_flash("/", self.app.flash("ok", importing.result_text(result, ignored))))


EXPIRED = "ไฟล์ที่ตรวจไว้หมดเวลาหรือถูกแทนที่แล้ว กรุณาเลือกไฟล์อีกครั้ง"
BUSY = ("กำลังนำเข้าไฟล์ที่ส่งมาก่อนหน้านี้อยู่ จึงไม่รับไฟล์นี้ซ้ำ "
        "กรุณารอให้เสร็จ แล้วดูผลที่หน้ารายการสินค้า")


class PendingImport:
    """A checked upload waiting for the user's answer to its preview."""

    def __init__(self, upload, result, ignored):
        self.upload, self.result, self.ignored = upload, result, ignored
        self.created, self.key = time.monotonic(), secrets.token_urlsafe(24)

    def take(self):
        upload, self.upload = self.upload, None
        return upload

    def discard(self):
        if self.upload is not None:
            self.upload.close()
