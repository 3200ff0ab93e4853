"""The backup addresses: the page, a snapshot to download, and the two ways to restore."""

import datetime
import re
import secrets

from .. import backups
from ..httpd import Handler, close_parts
from ..links import with_flash
from ..pages.backups import backups_page
from .transfer import IMPORT_LIMIT


class BackupRoutes(Handler):
    routes = [
        (re.compile(r"/backups"), {"GET": "backups_page"}),
        (re.compile(r"/backups/download"), {"GET": "download_backup"}),
        (re.compile(r"/backups/restore"), {"POST": "restore_kept"}),
        (re.compile(r"/backups/upload"), {"POST": "restore_upload"}),
    ]

    def backups_page(self, error=None, status=200):
        self.send_page(status, backups_page(self.app.token, backups.listing(self.app.store.path),
                                            IMPORT_LIMIT, error))

    def download_backup(self):
        store = self.app.store
        directory = backups.folder(store.path)
        temp = backups.temporary_path(directory, "download")
        try:
            try:
                backups.write_snapshot(store.path, temp)
            except (OSError, backups.BackupError, backups.sqlite3.Error):
                self.backups_page("ทำสำเนาไม่สำเร็จ กรุณาตรวจดูพื้นที่ว่างบนดิสก์แล้วลองใหม่", 503)
                return
            name = f"catalog-{datetime.datetime.now():%Y-%m-%d-%H%M}.db"
            with open(temp, "rb") as handle:
                self.send_file(handle, "application/vnd.sqlite3",
                               (("Content-Disposition", f'attachment; filename="{name}"'),))
        finally:
            backups.remove_database_files(temp)

    def restore_kept(self):
        form = self.read_form()
        path = backups.kept_path(self.app.store.path, form.get("name", ""))
        if path is None:
            self.backups_page("ไม่พบสำเนานี้ อาจถูกลบไปแล้ว", 404)
            return
        with open(path, "rb") as source:
            self.restore_from(source, f"สำเนา {form['name']}")

    def restore_upload(self):
        parts = self.read_multipart(IMPORT_LIMIT)
        try:
            self.check_token(parts.get("token", b"").decode("utf-8", "replace"))
            upload = parts.get("file")
            if not hasattr(upload, "read"):
                self.backups_page("กรุณาเลือกไฟล์สำเนา", 422)
                return
            self.restore_from(upload, "ไฟล์ที่เลือก")
        finally:
            close_parts(parts)

    def restore_from(self, source, label):
        try:
            safety = backups.restore(self.app.store, source, label)
        except backups.BackupError as error:
            self.backups_page(str(error), 422)
            return
        # Forms opened before hold the old catalog's revisions: they must not save over it.
        self.app.token = secrets.token_urlsafe(32)
        key = self.app.flash("ok", f"กู้คืนข้อมูลจาก{label} แล้ว · "
                                   f"ข้อมูลก่อนกู้คืนเก็บไว้ในสำเนา {safety}")
        self.redirect(with_flash("/", key))
