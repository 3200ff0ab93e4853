"""The CSV addresses: export, and the import page with its upload."""

import datetime
import re
import sqlite3
import tempfile

from ..csvfile import read_csv, write_csv
from ..httpd import Handler, close_parts
from ..links import with_flash
from ..pages import importing
from ..store import ImportRejected, constraint_message

# Far above any real shop: a million items export to about 200 MB.
IMPORT_LIMIT = 1000 * 1024 * 1024


class TransferRoutes(Handler):
    routes = [
        (re.compile(r"/export\.csv"), {"GET": "export"}),
        (re.compile(r"/import"), {"GET": "import_page", "POST": "import_csv"}),
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
            upload.seek(0)
            rows, errors, ignored = read_csv(upload)
            try:
                counts = self.app.store.upsert(rows, errors)
            except ImportRejected as rejected:
                self.import_page(rejected.errors, 422, ignored)
                return
            except sqlite3.IntegrityError as error:
                self.import_page([(None, constraint_message(error, "")[1])], 422,
                                 ignored)
                return
        finally:
            close_parts(parts)
        text = (f"นำเข้าเรียบร้อย: เพิ่มใหม่ {counts['added']:,} รายการ · "
                f"ปรับปรุง {counts['updated']:,} รายการ · ไม่เปลี่ยนแปลง {counts['same']:,} รายการ")
        if ignored:
            text += " · " + importing.ignored_text(ignored)
        self.redirect(with_flash("/", self.app.flash("ok", text)))
