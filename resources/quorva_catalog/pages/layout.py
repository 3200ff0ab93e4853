"""What every page shares: the document around a page's body, the menu, notices, small parts."""

import os

from ..markup import Markup, html, join

with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "style.css"), "rb") as _sheet:
    STYLESHEET = _sheet.read()

# Served as /page.js (the pages' policy allows no inline script).
# A form that the user has changed and not sent registers beforeunload, so leaving its page,
# by a link or by closing the window, asks first. Sending it, or putting back its first
# values, clears the mark; a form sent back with errors holds unsaved typing from the start.
# WebKit does not repeat a table's header on each printed page, so for printing a long table
# is cut into tables of about one A4 page each, every one with the header.
PAGE_SCRIPT = b""""use strict";
(() => {
  const changed = new Set();
  const guard = (event) => { event.preventDefault(); event.returnValue = ""; };
  // Reading a form's values fires its formdata event, as sending it does.
  let reading = false;
  const values = (form) => {
    reading = true;
    try {
      return JSON.stringify([...new FormData(form)].map(([name, value]) =>
        [name, typeof value === "string" ? value : `${value.name}:${value.size}`]));
    } finally {
      reading = false;
    }
  };
  const mark = (form, on) => {
    const before = changed.size;
    if (on) changed.add(form); else changed.delete(form);
    form.toggleAttribute("data-changed", on);
    if (!before && changed.size) addEventListener("beforeunload", guard);
    if (before && !changed.size) removeEventListener("beforeunload", guard);
  };
  const refused = document.querySelector(".errors") !== null;
  for (const form of document.querySelectorAll("form[method=post]")) {
    const first = values(form);
    const unsaved = refused && form.querySelector(
      "input:not([type=hidden]):not([type=file]), textarea") !== null;
    const check = () => mark(form, unsaved || values(form) !== first);
    form.addEventListener("input", check);
    form.addEventListener("change", check);
    // However it is sent, by its button or by a script.
    form.addEventListener("formdata", () => { if (!reading) mark(form, false); });
    if (unsaved) mark(form, true);
  }

  const FIRST_PAGE_ROWS = 26, PAGE_ROWS = 30;
  let parts = [];
  addEventListener("beforeprint", () => {
    for (const table of document.querySelectorAll("main table")) {
      const body = table.tBodies[0];
      if (!table.tHead || !body || body.rows.length <= FIRST_PAGE_ROWS) continue;
      let room = FIRST_PAGE_ROWS, page = [];
      const pages = [page];
      for (const row of [...body.rows]) {
        const note = row.querySelector(".note");
        const height = 1 + (note ? 0.8 * note.textContent.split("\\n").length : 0);
        if (page.length && height > room) {
          pages.push(page = []);
          room = PAGE_ROWS;
        }
        page.push(row);
        room -= height;
      }
      let after = table;
      for (const rows of pages.slice(1)) {
        const part = table.cloneNode(false);
        part.classList.add("printed-part");
        part.append(table.tHead.cloneNode(true), document.createElement("tbody"));
        part.tBodies[0].append(...rows);
        after.after(part);
        after = part;
        parts.push([body, part]);
      }
    }
  });
  addEventListener("afterprint", () => {
    for (const [body, part] of parts) {
      body.append(...part.tBodies[0].rows);
      part.remove();
    }
    parts = [];
  });
})();
"""

MENU = (("/", "รายการสินค้า"), ("/items/new", "เพิ่มสินค้า"),
        ("/import", "นำเข้า CSV"), ("/export.csv", "ส่งออก CSV"), ("/backups", "สำรองข้อมูล"))

STATUS_TITLES = {400: "คำขอไม่ถูกต้อง", 403: "ไม่อนุญาต", 404: "ไม่พบหน้านี้",
                 405: "ใช้วิธีนี้กับหน้านี้ไม่ได้", 408: "หมดเวลารอ", 411: "ต้องระบุความยาวข้อมูล",
                 413: "ข้อมูลใหญ่เกินไป", 414: "ที่อยู่ยาวเกินไป",
                 421: "ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง",
                 431: "ส่วนหัวคำขอใหญ่เกินไป", 500: "เกิดข้อผิดพลาดภายใน",
                 501: "ไม่รองรับคำขอนี้", 503: "กำลังปิดโปรแกรม", 505: "ไม่รองรับ HTTP รุ่นนี้",
                 507: "พื้นที่ว่างบนดิสก์ไม่พอ"}


def layout(title, body, current=None, flash=None):
    """The whole document; `body` is Markup, `flash` a (kind, text) pair or None."""
    nav = join(html('<a href="{}"{}>{}</a>', href,
                    Markup(" aria-current=page") if href == current else "", label)
               for href, label in MENU)
    notice = ""
    if flash:
        kind, text = flash
        notice = html('<p class="flash {}" role="status">{}</p>', kind, text)
    return html('<!DOCTYPE html>\n<html lang="th"><head><meta charset="utf-8">'
                '<meta name="viewport" content="width=device-width, initial-scale=1">'
                '<title>{} · แคตตาล็อกสินค้า</title>'
                '<link rel="stylesheet" href="/style.css">'
                '<script src="/page.js" defer></script></head><body>'
                '<header class="bar"><a class="brand" href="/">แคตตาล็อกสินค้า</a>'
                '<nav aria-label="เมนูหลัก">{}</nav></header>'
                '<main>{}{}</main></body></html>\n', title, nav, notice, body)


def message_page(title, text, link=("/", "กลับไปหน้ารายการสินค้า")):
    return layout(title, html('<h1>{}</h1><p>{}</p><p><a href="{}">{}</a></p>',
                              title, text, link[0], link[1]))


def hidden(name, value):
    return html('<input type="hidden" name="{}" value="{}">', name, value)


def error_summary(errors):
    if not errors:
        return Markup()
    return html('<div class="errors" role="alert"><strong>บันทึกไม่ได้ กรุณาแก้ไขข้อมูลต่อไปนี้'
                '</strong><ul>{}</ul></div>', join(html("<li>{}</li>", text) for text in errors))
