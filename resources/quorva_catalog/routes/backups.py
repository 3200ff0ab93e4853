"""The backup addresses: the page, a snapshot to download, and restoring: a kept copy or an
uploaded file is checked first, then a confirmation page shows what it would change, and
only its button replaces the catalog."""

import datetime
import os
import re
import secrets
import urllib.parse

from ..catalog import backups, restoring, underway
from ..catalog.errors import BackupError, NoRoom
from ..httpd import Handler, Refused, close_parts, size_text
from ..links import with_flash
from ..pages.backups import backups_page, confirm_page


class BackupRoutes(Handler):
    routes = [
        (re.compile(r"/backups"), {"GET": "backups_page"}),
        (re.compile(r"/backups/download"), {"GET": "download_backup"}),
        (re.compile(r"/backups/restore"), {"POST": "restore_kept"}),
        (re.compile(r"/backups/upload"), {"POST": "restore_upload"}),
        (re.compile(r"/backups/confirm"), {"GET": "confirm_restore", "POST": "restore"}),
    ]

    def backups_page(self, error=None, status=200):
        store = self.app.store
        self.send_page(status, backups_page(self.app.token, backups.listing(store.folder), error,
                                            store.skipped))

    def download_backup(self):
        store = self.app.store
        directory = backups.folder(store.folder)
        os.makedirs(directory, 0o700, exist_ok=True)
        temp = backups.temporary_path(directory, "download")
        try:
            try:
                backups.write_snapshot(store, temp)
            except (OSError, BackupError, NoRoom) as error:
                needed, free = store.engine.size(), backups.free_space(directory)
                if underway.out_of_space(error) or free < needed:
                    self.backups_page(backups.no_room(needed, free).thai, 507)
                else:
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
        path = backups.kept_path(self.app.store.folder, form.get("name", ""))
        if path is None:
            self.backups_page("ไม่พบสำเนานี้ อาจถูกลบไปแล้ว", 404)
            return
        moment = datetime.datetime.fromtimestamp(os.stat(path).st_mtime)
        with open(path, "rb") as source:
            self.check_copy(source, f"สำเนา {form['name']}", moment)

    def restore_upload(self):
        directory = self.app.store.folder
        free = backups.free_space(directory)
        # Once as the upload, once more as what is built from it.
        parts = self.read_multipart(free // 2, directory, lambda length: (
            f"ไฟล์นี้ขนาด {size_text(length)} แต่ดิสก์ว่างอยู่ {size_text(free)} "
            f"ต้องมีที่ว่างอย่างน้อยสองเท่าของไฟล์ กรุณาเพิ่มที่ว่างแล้วลองใหม่ "
            f"ข้อมูลเดิมยังอยู่ครบ"))
        try:
            self.check_token(parts.get("token", b"").decode("utf-8", "replace"))
            upload = parts.get("file")
            if not hasattr(upload, "read"):
                self.backups_page("กรุณาเลือกไฟล์สำเนา", 422)
                return
            self.check_copy(upload, "ไฟล์ที่เลือก")
        finally:
            close_parts(parts)

    def check_copy(self, source, label, moment=None):
        try:
            candidate = restoring.prepare(self.app.store, source, label, moment)
        except BackupError as error:
            self.backups_page(str(error), 422)
            return
        key = self.app.pending.add(candidate)
        self.redirect("/backups/confirm?" + urllib.parse.urlencode({"p": key}))

    def confirm_restore(self):
        candidate = self.app.pending.get(self.param("p"))
        if candidate is None:
            self.backups_page("สำเนาที่ตรวจไว้หมดเวลาหรือถูกแทนที่แล้ว กรุณาเลือกใหม่อีกครั้ง", 404)
            return
        try:
            changes = restoring.compare(self.app.store, candidate)
        except (OSError, BackupError) as error:
            raise Refused(503, f"เปรียบเทียบกับแคตตาล็อกไม่สำเร็จ "
                               f"({getattr(error, 'thai', None) or error.strerror})") from None
        self.send_page(200, confirm_page(self.app.token, candidate, changes))

    def restore(self):
        form = self.read_form()
        candidate = self.app.pending.get(form.get("p"), take=True)
        if candidate is None:
            self.backups_page("สำเนาที่ตรวจไว้หมดเวลาหรือถูกแทนที่แล้ว กรุณาเลือกใหม่อีกครั้ง", 404)
            return
        try:
            safety = restoring.restore(self.app.store, candidate)
        except BackupError as error:
            self.backups_page(str(error), 422)
            return
        # Forms opened before hold the old catalog's revisions: they must not save over it.
        self.app.token = secrets.token_urlsafe(32)
        key = self.app.flash("ok", f"กู้คืนข้อมูลจาก{candidate.label} แล้ว · "
                                   f"ข้อมูลก่อนกู้คืนเก็บไว้ในสำเนา {safety}")
        self.redirect(with_flash("/", key))
