# A shop's day in the window of the build installed into a temporary prefix, as a desktop
# finds it, with the catalog it brings.

import os
import re
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from support import wait_until
from support.quorva import (APPLICATION_ID, BINARY, FOUND, NOTICE, OPEN_FOLDER, REAL_CATALOG,
                            SAVE_TITLE, QuorvaTestCase, free_port, write)

ICON_COLOUR = "#6633EE"
# Screenshots stay in the build tree for a person to look at.
SHOTS = os.path.join(os.environ.get("QUORVA_BUILD_DIR") or tempfile.gettempdir(), "e2e-shots")
os.makedirs(SHOTS, exist_ok=True)

# Three mangoes, and a long list of exercise books with 13-digit codes after them.
BOOKS = [f"885{n:010}" for n in range(1, 148)]
ITEMS = "\ufeffรหัสสินค้า,ชื่อสินค้า,ราคา,จำนวน\r\nMG-1,มะม่วงน้ำดอกไม้,12.50,3\r\n" \
        "MG-2,น้ำมะม่วง,35,12\r\nMG-3,มะม่วงอบแห้ง,1,1\r\n" + \
        "".join(f"{code},สมุดปกอ่อน เล่มที่ {n:03} ขนาด A5 ไม่มีเส้น,25,{n}\r\n"
                for n, code in enumerate(BOOKS))
LEAVE = "ออกจากหน้านี้หรือไม่"
NAME = "document.querySelector('form.item').name.value"
FOCUSABLE = ("[...document.querySelectorAll('a[href], button, input, select, textarea')]"
             ".filter(element => element.getClientRects().length)")


def bare(text):
    # Thai without its marks or spaces: a PDF's text loses some marks and moves others.
    return re.sub("[\u0e31\u0e34-\u0e3a\u0e47-\u0e4e\uf700-\uf8ff\\s]", "", text)


def colours(path):
    # The image's distinct colours, as #RRGGBB.
    text = subprocess.run(["convert", path, "-alpha", "off", "-unique-colors", "-depth", "8",
                           "txt:-"], capture_output=True, text=True, check=True).stdout
    return {line.split()[2][:7].upper() for line in text.splitlines()[1:]}


class CatalogTest(QuorvaTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.prefix = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="quorva-prefix-"))
        subprocess.run(["cmake", "--install", os.path.dirname(os.path.dirname(BINARY)),
                        "--prefix", cls.prefix], check=True, stdout=subprocess.DEVNULL)

    def go(self, path):
        self.page.evaluate(f"location.href = {path!r}")
        self.page.wait_for(f"location.pathname === {path!r} && document.querySelector('h1')", 20)

    def test_identity_import_find_print_export_and_typing_kept_until_a_signal(self):
        desktop = Path(f"{self.prefix}/share/applications/{APPLICATION_ID}.desktop").read_text()
        entry = dict(re.findall(r"^(\w+)=(.*)$", desktop, re.M))
        program, port = f"{self.prefix}/bin/quorva", free_port()
        self.assertEqual((entry["Name"], entry["Exec"]), ("QUORVA", program))
        wayland = self.session.wayland
        address = self.open(REAL_CATALOG, program=program, env={
            "QUORVA_PORT": str(port), "WAYLAND_DEBUG": "client" if wayland else None})
        self.assertIn(f"\0{self.prefix}/share/quorva/catalog.py\0".encode(),
                      Path(f"/proc/{self.server()}/cmdline").read_bytes())
        # The window is the desktop entry's, with its icon: X's from PNGs, each as width,
        # height, then ARGB pixels, checked at a point of the lower left, clear of the lens.
        self.assertIn(APPLICATION_ID if wayland else entry["StartupWMClass"],
                      self.session.app_id(self.window))
        icons, sizes = [] if wayland else self.session.numbers(self.window, "_NET_WM_ICON"), []
        while icons:
            width, height = icons[:2]
            pixel = icons[2 + height * 100 // 128 * width + width * 20 // 128]
            sizes.append((width, height, f"#{pixel & 0xFFFFFF:06X}"))
            icons = icons[2 + width * height:]
        self.assertEqual(sorted(sizes), [] if wayland else [(48, 48, ICON_COLOUR),
                                                            (128, 128, ICON_COLOUR)])
        self.choose("เกี่ยวกับ QUORVA")
        about = self.dialog()
        self.assertIn("QUORVA", self.session.title(about))
        path = f"{SHOTS}/about-{self.session.name}.png"
        wait_until(lambda: ICON_COLOUR in colours(self.session.screenshot(path, about)), 15,
                   what="the icon in the About window")
        self.answer(about, "Escape")

        # A file picked in the file chooser is imported.
        write(source := f"{self.root}/items.csv", ITEMS)
        self.go("/import")
        self.page.evaluate("document.querySelector('input[type=file]').focus()")
        self.press("space")
        chooser = self.dialog()
        self.session.type_text(chooser, source)
        self.answer(chooser, "Return")
        self.page.wait_for("document.querySelector('input[type=file]').files.length === 1")
        self.page.evaluate("document.querySelector('form.item').requestSubmit()")
        done = "นำเข้าเรียบร้อย: เพิ่มใหม่ 150 รายการ"
        self.page.wait_for(f"document.body.textContent.includes({done!r})", timeout=20)

        # A scanner types into a freshly shown list, and again at once; a code no item has
        # is offered as a new item's. Shown means its script has run, not only its heading.
        self.go("/")
        self.page.wait_for("document.activeElement.name === 'q'")
        for code, shown in ((BOOKS[7], f"tr.exact[data-code='{BOOKS[7]}']"),
                            ("8850000000000", "a[href^='/items/new?code=8850000000000']")):
            self.session.type_text(self.window, code)
            self.press("Return")
            self.page.wait_for(f"document.querySelector({shown!r}) && getSelection().toString() "
                               f"=== {code!r} && document.activeElement.name === 'q'", timeout=20)
        self.page.evaluate(f"document.querySelector({shown!r}).click()")
        self.page.wait_for(f"document.querySelector('form.item')?.code.value == {code!r}")
        self.go("/")
        self.page.wait_for("document.querySelectorAll('tbody tr').length === 100", timeout=20)
        # Tab past the page's last element comes round, by the page itself, to its first, and
        # Shift+Tab the other way: the focus never leaves the page for a dead end.
        self.page.evaluate(f"{FOCUSABLE}.at(-1).focus()")
        first, last, page = f"{FOCUSABLE}[0]", f"{FOCUSABLE}.at(-1)", "document.body"
        for key, focused in (("Tab", page), ("Tab", first), ("shift+Tab", page),
                             ("shift+Tab", last)):
            self.press(key)
            self.page.wait_for(f"document.activeElement === {focused}")
        self.page.evaluate("window.keys = []; addEventListener('keydown', e => keys.push(e.key))")
        # Closed, the bar leaves the page its keys.
        self.press("F3", "ctrl+g")
        self.page.wait_for("['F3', 'g'].every(key => keys.includes(key))")

        # A Thai word copied from the page is found inside words too; it wraps both ways.
        self.page.evaluate("(name => getSelection().setBaseAndExtent(name, 0, name, 6))"
                           "(document.querySelector('#item-1 td + td').firstChild)")
        self.press("ctrl+c")
        self.session.wait_for_clipboard("มะม่วง")
        for keys, status in ((["ctrl+f", "ctrl+v"], "1 จาก 3"),
                             (["Return", "F3", "ctrl+g"], "1 จาก 3"), (["shift+F3"], "3 จาก 3")):
            self.press(*keys)
            self.shows(FOUND, status)
        # A screen reader names the application, the menu bar and the find bar's parts in Thai.
        window = self.accessibles()
        self.assertLessEqual({"แถบเมนู", "ค้นหาในหน้า", "ข้อความที่ค้นหา", "ก่อนหน้า", "ถัดไป", FOUND,
                              "ปิดการค้นหา"}, {node["name"] for node in window})
        self.assertEqual(window[0]["name"], "QUORVA")
        self.assertEqual(self.page.evaluate("getSelection().toString()"), "มะม่วง")
        # Typed over, in any case.
        self.press("ctrl+a")
        self.session.type_text(self.window, "mg-")
        self.shows(FOUND, "1 จาก 3")
        self.session.type_text(self.window, "x")
        self.shows(FOUND, "ไม่พบข้อความนี้ในหน้า")
        self.press("Escape")
        self.shows(FOUND, "")
        self.page.wait_for("document.hasFocus()")

        # Printed to a file, the list holds every item, each sheet numbered of all.
        self.press("ctrl+p")
        self.answer(self.dialog(), "Down", "space", "alt+p")
        pdf = f"{self.shell.home}/รายการสินค้า · แคตตาล็อกสินค้า.pdf"
        text = wait_until(lambda: subprocess.run(["pdftotext", "-layout", pdf, "-"], check=True,
                                                 capture_output=True, text=True).stdout, 30,
                          what="the printed list", accept=lambda text: BOOKS[-1] in text)
        sheets = int(re.search(r"^Pages:\s+(\d+)", subprocess.run(
            ["pdfinfo", pdf], capture_output=True, text=True).stdout, re.M)[1])
        self.assertEqual(re.findall(r"\b885\d{10}\b(?= )", text), BOOKS)
        caption = (re.escape(bare("แคตตาล็อกสินค้า · สินค้าทั้งหมด · 150 รายการ · พิมพ์เมื่อ")) +
                   ".+?" + bare("หน้า") + r"(\d+)/(\d+)")
        self.assertEqual(re.findall(caption, bare(text)),
                         [(str(n), str(sheets)) for n in range(1, sheets + 1)])
        os.remove(pdf)
        # A cancelled save writes nothing, as the saved one after it shows; the notice's
        # button opens the folder with the desktop's default handler, as a path.
        for key in ("Escape", "Return"):
            self.page.evaluate("document.querySelector('a[href=\"/export.csv\"]').focus()")
            self.press("Return")
            self.answer(self.dialog(SAVE_TITLE), key)
        [name] = wait_until(lambda: [f for f in self.files() if not f.startswith(".")], 20,
                            what="the saved file")
        self.shows(NOTICE, f"บันทึกไฟล์ “{name}” ไว้ที่ {self.downloads} แล้ว")
        self.assertEqual(self.files(), [name])
        self.assertRegex(name, r"^catalog-\d{4}-\d{2}-\d{2}\.csv$")
        exported = Path(self.downloads, name).read_text(encoding="utf-8")
        self.assertEqual((exported[:5], exported.count("มะม่วง")), ("\ufeffรหัส", 3))
        # Tab past the page's last element goes through the notice's buttons, then back.
        self.page.evaluate(f"{FOCUSABLE}.at(-1).focus()")
        for button in (OPEN_FOLDER, "ปิด", None):
            self.press("Tab")
            wait_until(lambda: [n["name"] for n in self.accessibles("push button") if n["focused"]]
                       == ([button] if button else []), 10, what=f"{button} focused")
        self.page.wait_for("document.hasFocus() && document.activeElement === document.body")
        self.press_accessible("push button", OPEN_FOLDER)
        wait_until(lambda: self.opened_urls() == [self.downloads], 20, what="the folder opened")
        self.assertEqual(self.page.evaluate("location.href"), address)
        self.assertEqual(sorted(os.listdir(self.shell.home)),
                         [".cache", ".config", ".local", "Downloads"])

        # Over another window, a second start, handed a launcher's startup token, hands over to
        # the first, which comes to the front, and ends.
        first = self.shell
        if self.session.name != "xvfb":
            self.session.other_window()
            self.assertFalse(self.session.in_front(self.window))
        second = self.start_shell("", program=program,
                                  env={"DESKTOP_STARTUP_ID": "token-from-the-launcher"})
        self.assertEqual((second.process.wait(20), second.leftovers()), (0, []))
        self.assertEqual(len(first.leftovers("python3")), 1)
        self.shell = first
        if wayland:
            # Sway cannot mint a launcher's token for a test, so the focus it grants for one
            # is out of reach; the shell's part is to pass the launcher's token to the
            # compositor rather than ask for its own.
            wait_until(lambda: re.search(r'xdg_activation_v1@\d+\.activate\("token-from-the-l',
                                         first.stderr_text()), 15, what="the token used")
        elif self.session.name != "xvfb":
            wait_until(lambda: self.session.in_front(self.window), 15, what="the window raised")

        # An untouched form lets a link leave at once; half-typed, the close button, a link
        # and Quit all ask, and keeping is the default.
        self.go("/items/new")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.page.wait_for("location.pathname === '/'", timeout=20)
        self.go("/items/new")
        self.page.evaluate("document.querySelector('form.item').name.focus()")
        self.session.type_text(self.window, "Mango jam")
        self.page.wait_for(f"{NAME} === 'Mango jam'")
        self.session.close(self.window)
        question = self.dialog(LEAVE)
        alert = wait_until(lambda: self.accessibles(name=LEAVE), 10, what="the question")[0]
        # GTK 4.8 gives an alert dialog the role of any dialog.
        self.assertIn((alert["role"], bool(alert["description"])), {("alert", True), ("dialog", True)})
        self.answer(question, "Escape")
        self.page.evaluate("setTimeout(() => document.querySelector('nav a').click())")
        self.answer(self.dialog(LEAVE), "Escape")
        self.press("ctrl+q")
        self.answer(self.dialog(LEAVE), "Return")
        self.assertEqual(self.page.evaluate(f"[location.pathname, {NAME}]"),
                         ["/items/new", "Mango jam"])
        # With the question on screen, a signal still ends everything at once.
        self.press("ctrl+q")
        self.dialog(LEAVE)
        self.shell.ends(signal.SIGTERM)
        self.assertNotIn("Traceback", self.shell.stderr_text())



class HiDpiTest(QuorvaTestCase):
    # A HiDPI laptop's screen: the window fits it, and pages render at full resolution.
    sessions, scale, screen = {"xvfb", "sway"}, 2, (1024, 700)

    def test_the_catalog_fits_the_screen_and_renders_at_full_resolution(self):
        self.open(REAL_CATALOG, env={"QUORVA_PORT": str(free_port())})
        wait_until(lambda: self.session.size(self.window) == (1024, 700), 10,
                   what="the window to fill the small screen")
        self.assertEqual(self.page.evaluate("devicePixelRatio"), 2)
        # Half-pixel stripes: pure red and blue only where a CSS pixel has two device
        # pixels. Set through the CSSOM, which a page's style-src policy allows.
        self.page.evaluate("""Object.assign(document.body.appendChild(document.createElement(
            'div')).style, {position: 'fixed', inset: '0', width: '64px', height: '64px', zIndex:
            '99999', background: 'repeating-linear-gradient(90deg, #f00 0 .5px, #00f 0 1px)'})""")
        wait_until(lambda: {"#FF0000", "#0000FF"} <= colours(self.session.screenshot(
            f"{SHOTS}/hidpi-{self.session.name}-stripes.png", self.window)), 15, what="stripes")
        self.shell.ends(signal.SIGTERM)


if __name__ == "__main__":
    unittest.main()
