"""The CSV addresses: export, and the import page with its upload."""

import datetime
import os
import re
import secrets
import tempfile
import time
import urllib.parse

from ..batches import read_batches
from ..catalog import restoring
from ..catalog.backups import safety_snapshot
from ..catalog.errors import (BackupError, CatalogChanged, DuplicateCode, ImportRejected,
                              InvalidValues, NoRoom, Unavailable)
from ..csvfile import write_csv
from ..httpd import Handler, close_parts
from ..links import with_flash
from ..pages import importing

# Far above any real shop: a million items export to about 200 MB.
IMPORT_LIMIT = 1000 * 1024 * 1024


class TransferRoutes(Handler):
    routes = [
        (re.compile(r"/export\.csv"), {"GET": "export"}),
        (re.compile(r"/import"), {"GET": "import_page", "POST": "import_csv"}),
        (re.compile(r"/import/confirm"), {"GET": "import_preview", "POST": "apply_import"}),
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
        self.send_page(status, importing.import_page(self.app.token, IMPORT_LIMIT, errors,
                                                     ignored))

    def import_csv(self):
        parts = self.read_multipart(IMPORT_LIMIT)
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
        # Read through a file of its own: whatever ends the reading, even before its first
        # row, closes only that one, and the upload stays for a preview's answer.
        with open(os.dup(upload.fileno()), "rb") as reading:
            reading.seek(0)
            batches, errors, ignored = read_batches(reading)
            try:
                # No restore may swap the file while its safety snapshot is taken.
                with restoring.RESTORING:
                    return self.app.store.upsert(batches, errors, snapshot=lambda: safety_snapshot(
                        self.app.store, "import"), **options), ignored
            except ImportRejected as rejected:
                self.import_page(rejected.errors, 422, ignored)
            except (DuplicateCode, InvalidValues, NoRoom, Unavailable) as error:
                status = {NoRoom: 507, Unavailable: 503}.get(type(error), 422)
                self.import_page([(None, error.thai)], status, ignored)
            except (OSError, BackupError) as error:
                self.import_page([(None, "ทำสำเนาก่อนนำเข้าไม่สำเร็จ จึงยังไม่ได้นำเข้า "
                                         f"({getattr(error, 'strerror', None) or error}) "
                                         "ข้อมูลเดิมยังอยู่ครบ")], 503, ignored)
        return None, ignored

    def show_preview(self, pending, notice=None):
        key = self.app.imports.add(pending)
        query = {"p": key, **({"changed": "1"} if notice else {})}
        self.redirect("/import/confirm?" + urllib.parse.urlencode(query))

    def import_preview(self):
        pending = self.app.imports.get(self.param("p"))
        if pending is None:
            self.import_page([(None, EXPIRED)], 404)
            return
        self.send_page(200, importing.preview_page(self.app.token, pending.key, pending.result,
                                                   pending.ignored, self.param("changed")))

    def apply_import(self):
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
        self.redirect(with_flash("/", self.app.flash("ok", importing.result_text(result,
                                                                                 ignored))))


EXPIRED = "ไฟล์ที่ตรวจไว้หมดเวลาหรือถูกแทนที่แล้ว กรุณาเลือกไฟล์อีกครั้ง"


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
