import csv
import io
import os
import unittest

from support import x11
from support.downloads import SAVE_TITLE, DownloadsMixin
from support.quorva import (REAL_PYTHON, REPLY, QuorvaTestCase, install_recording_browser,
                            recorded_urls)
from support.shell import free_port
from support.wait import wait_until

# Runs the bundled catalog server as the shell asked for it.
REAL_CATALOG = f"""
import os, sys
os.execv({REAL_PYTHON!r}, [{REAL_PYTHON!r}] + sys.argv[1:])
"""

# Its download stops half-way and the connection drops once the test says so.
DYING_SERVER = REPLY + """
import ctypes, http.server, os, signal, socket, sys, time
ctypes.CDLL(None).prctl(1, signal.SIGTERM)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path.startswith("/half"):
            name = self.path[1:]
            # HTTP/1.0 ends at the close, so only the length shows the body is short.
            if name == "half-1.1.csv":
                self.protocol_version = "HTTP/1.1"
            self.send_response(200)
            self.send_header("Content-Type", "text/csv")
            self.send_header("Content-Disposition", f'attachment; filename="{name}"')
            self.send_header("Content-Length", "200000")
            self.end_headers()
            self.wfile.write(b"x" * 100000)
            self.wfile.flush()
            while not os.path.exists(os.environ["GATE"] + name):
                time.sleep(0.05)
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        if self.path == "/raw":
            body, kind = b"\\x00\\x01raw", "application/octet-stream"
        else:
            body, kind = b"<!DOCTYPE html><p id='where'>catalog</p>", "text/html"
        reply(self, body, kind)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
print("http://127.0.0.1:%d/" % server.server_address[1], flush=True)
server.serve_forever()
"""

HEADER = ["รหัสสินค้า", "ชื่อสินค้า", "หมวดหมู่", "ราคา", "จำนวน", "หมายเหตุ", "สร้างเมื่อ (UTC)",
          "แก้ไขล่าสุด (UTC)"]
IMPORTED = '\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nA-001,ข้าวหอมมะลิ 5 กก.,12.50,3\r\n' \
           'A-002,"น้ำปลาแท้ ""ตราปลา""",35,12\r\nB-010,=ไม่ใช่สูตร,1,1\r\n'
# As exported: a cell that a spreadsheet would run as a formula is quoted.
EXPORTED = [("A-001", "ข้าวหอมมะลิ 5 กก."), ("A-002", 'น้ำปลาแท้ "ตราปลา"'),
            ("B-010", "'=ไม่ใช่สูตร")]


class DownloadsTest(DownloadsMixin, QuorvaTestCase):
    def open(self, source, env=None):
        """The shell with a Downloads folder; gives its address, once shown."""
        def prepare(shell):
            self.gate = os.path.join(shell.root, "gate")
            shell.env["GATE"] = self.gate
            self.make_downloads_folder(shell)
            self.opened = install_recording_browser(shell, kinds=("inode/directory",))

        self.shell = self.start_shell(source, env=env, before_start=prepare)
        self.window = self.main_window(self.shell)
        self.page = self.inspector()
        return self.page.wait_for("location.protocol === 'http:' && location.href", timeout=40)

    def open_catalog(self):
        return self.open(REAL_CATALOG, env={"QUORVA_PORT": str(free_port())})

    def test_import_through_the_chooser_then_export_saves_every_item(self):
        address = self.open_catalog()
        source = os.path.join(self.shell.root, "items.csv")
        with open(source, "w", encoding="utf-8", newline="") as handle:
            handle.write(IMPORTED)
        self.page.evaluate(f"location.href = {address + 'import'!r}")
        self.page.wait_for("document.querySelector('input[type=file]')", timeout=20)
        self.page.evaluate("document.querySelector('input[type=file]').focus()")
        x11.send_keys(self.window, "space", display=self.display)
        chooser = self.dialog()
        x11.type_text(chooser, source, display=self.display)
        self.answer(chooser, "Return")
        self.page.wait_for("document.querySelector('input[type=file]').files.length === 1")
        self.page.evaluate("document.querySelector('form.item').submit()")
        done = "นำเข้าเรียบร้อย: เพิ่มใหม่ 3 รายการ"
        self.page.wait_for(f"document.body.textContent.includes({done!r})", timeout=20)

        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        name = self.saved()
        self.assertRegex(name, r"^catalog-\d{4}-\d{2}-\d{2}\.csv$")
        with open(os.path.join(self.downloads, name), "rb") as handle:
            data = handle.read()
        self.assertTrue(data.startswith(b"\xef\xbb\xbf"))
        rows = list(csv.reader(io.StringIO(data.decode("utf-8-sig"), newline="")))
        self.assertEqual(rows[0], HEADER)
        self.assertEqual(sorted((row[0], row[1]) for row in rows[1:]), EXPORTED)
        # The notice's button opens the folder with the desktop's default handler.
        self.assertEqual(self.action("open-download-folder", activate=True)[0], True)
        # The shell asks for its file:// URI; the desktop hands a local folder over as a path.
        wait_until(lambda: recorded_urls(self.opened) == [self.downloads], 20,
                   what="the folder opened")
        self.assertEqual(self.page.evaluate("location.pathname"), "/")
        self.assertNotIn("[QUORVA] loaded about:", self.shell.stderr_text())

    def test_cancel_writes_nothing(self):
        address = self.open_catalog()
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Escape")
        # A second export, saved, shows that the first left nothing behind.
        self.click_link("ส่งออก CSV")
        self.answer(self.dialog(SAVE_TITLE), "Return")
        self.saved()
        self.assertEqual(sorted(os.listdir(self.shell.home)), [".cache", ".config", ".local",
                                                               "Downloads"])
        self.assert_page_stays(address)

    def test_download_that_dies_leaves_no_file_and_says_why(self):
        address = self.open(DYING_SERVER)
        self.page.evaluate("location.href = '/raw'")
        self.answer(self.dialog(SAVE_TITLE), "Escape")

        for name in ("half-1.0.csv", "half-1.1.csv"):
            with self.subTest(name):
                self.page.evaluate(f"location.href = '/{name}'")
                self.answer(self.dialog(SAVE_TITLE), "Return")
                # Half-way, only hidden temporary files hold the data.
                partial = wait_until(lambda: [f for f in self.files() if f.startswith(f".{name}.")],
                                     20, what="the download to begin")
                self.assertTrue(all(f.startswith(".") for f in self.files()), self.files())
                self.assertTrue(partial[0].endswith(".part"), partial)
                open(self.gate + name, "w").close()
                self.notice(f"บันทึกไฟล์ “{name}” ไม่สำเร็จ "
                            "เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง")
                self.assertEqual(self.files(), [])
                self.assertEqual(self.action("open-download-folder")[0], False)
        self.assert_page_stays(address)


if __name__ == "__main__":
    unittest.main()
