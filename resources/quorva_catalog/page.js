// Every page loads this as /page.js: the pages' policy allows no inline script.
// A form that the user has changed and not sent registers beforeunload, so leaving its page,
// by a link or by closing the window, asks first. Sending it, or putting back its first
// values, clears the mark; a form sent back with errors holds unsaved typing from the start.
// WebKit does not repeat a table's header on each printed page, so for printing a long table
// is cut into tables of about one A4 page each, every one with the header.
"use strict";
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

  // On paper a list holds every row its search found, not only the screen's page of them:
  // the rest are fetched as the print begins, which waits for them.
  const FIRST_PAGE_ROWS = 26, PAGE_ROWS = 28, ASK_ROWS = 3000;
  const sheets = (rows) => 1 + Math.ceil(Math.max(0, rows - FIRST_PAGE_ROWS) / PAGE_ROWS);
  const number = (n) => n.toLocaleString("en");
  const fetched = (url) => {
    const request = new XMLHttpRequest();
    try {
      request.open("GET", url, false);
      request.send();
    } catch {
      return null;
    }
    return request.status === 200 ? request.responseText : null;
  };
  let shownRows = null;
  const fillList = (table) => {
    const body = table.tBodies[0], shown = body.rows.length;
    let count = table.dataset.count === "" ? NaN : Number(table.dataset.count);
    if (count <= shown) return [shown, shown];
    if (!(count <= ASK_ROWS)) count = Number(fetched(`${table.dataset.rows}&count=1`) ?? NaN);
    if (count > ASK_ROWS && !confirm(`รายการนี้มี ${number(count)} รายการ ` +
        `พิมพ์ทั้งหมดจะใช้กระดาษประมาณ ${number(sheets(count))} แผ่น ต้องการพิมพ์ทั้งหมดหรือไม่ ` +
        "(ยกเลิก: พิมพ์เฉพาะหน้าที่แสดงอยู่)")) return [shown, count];
    const text = fetched(table.dataset.rows);
    if (text === null) return [shown, count];
    shownRows = [body, [...body.rows]];
    body.replaceChildren(...new DOMParser().parseFromString(text, "text/html")
      .querySelectorAll("tbody tr"));
    return [body.rows.length, body.rows.length];
  };
  // How many one-line rows a row takes on paper, from the characters that take width.
  const lines = (text, perLine) =>
    Math.max(1, Math.ceil(text.replace(/[\u0E31\u0E34-\u0E3A\u0E47-\u0E4E]/g, "").trim()
      .length / perLine));
  const height = (row) => {
    const note = row.querySelector(".note"), [code, name, category] = row.cells;
    const tall = Math.max(lines(code.textContent, 13), lines(name.firstChild.textContent, 30),
                          lines(category.textContent, 10));
    return 1 + 0.8 * (tall - 1 + (note ? note.textContent.split("\n").length : 0));
  };
  let parts = [];
  addEventListener("beforeprint", () => {
    const list = document.querySelector("main table.items");
    const [printed, total] = list ? fillList(list) : [];
    for (const table of document.querySelectorAll("main table")) {
      const body = table.tBodies[0];
      if (!table.tHead || !body || body.rows.length <= FIRST_PAGE_ROWS) continue;
      let room = FIRST_PAGE_ROWS, page = [];
      const pages = [page];
      for (const row of [...body.rows]) {
        const rowHeight = table === list ? height(row) : 1;
        if (page.length && rowHeight > room) {
          pages.push(page = []);
          room = PAGE_ROWS;
        }
        page.push(row);
        room -= rowHeight;
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
    if (!list) return;
    // Each sheet says what it is: WebKit prints no header or page number of its own.
    const tables = [list, ...parts.filter(([body]) => body === list.tBodies[0])
      .map(([, part]) => part)];
    const when = new Intl.DateTimeFormat("th-TH", {dateStyle: "medium", timeStyle: "short"})
      .format(new Date());
    const found = printed === total ? `${number(total)} รายการ` : `${number(printed)} จาก ` +
      `${Number.isNaN(total) ? `มากกว่า ${number(printed)}` : number(total)} รายการ`;
    tables.forEach((table, n) => table.createCaption().append(
      `${list.dataset.title} · ${found} · พิมพ์เมื่อ ${when} · หน้า ${n + 1} / ${tables.length}`));
  });
  addEventListener("afterprint", () => {
    for (const [body, part] of parts) {
      body.append(...part.tBodies[0].rows);
      part.remove();
    }
    parts = [];
    document.querySelector("main table.items")?.deleteCaption();
    if (shownRows) {
      const [body, rows] = shownRows;
      body.replaceChildren(...rows);
      shownRows = null;
    }
  });
})();

// The notice of a saved change belongs to its own page, and file inputs name the chosen file
// in Thai, not in the browser's English.
(() => {
  // A notice belongs to the page it answered: off the address, so reload shows nothing new,
  // and gone before the page is kept for Back.
  const notice = document.querySelector('.flash');
  if (notice) {
    const url = new URL(location.href);
    if (url.searchParams.has('m')) {
      url.searchParams.delete('m');
      history.replaceState(history.state, '', url);
    }
    addEventListener('pagehide', () => notice.remove());
  }
  // The browser names no file in English: the picker shows the chosen one's name itself.
  for (const input of document.querySelectorAll('label.file-pick input[type=file]')) {
    const name = input.parentElement.querySelector('.file-name');
    const none = name.textContent;
    const show = () => { name.textContent = input.files.length ? input.files[0].name : none; };
    input.addEventListener('change', show);
    addEventListener('pageshow', show);
  }
})();

// A scanner types a code and Return into whatever has the keyboard: the list's search box takes
// it whenever the page is shown, unless the user put it elsewhere, with its text selected so
// that the next scan replaces it.
(() => {
  const search = document.querySelector("form.search input[name=q]");
  if (!search) return;
  const take = () => {
    const active = document.activeElement;
    if (active && active !== document.body && active !== search) return;
    search.focus();
    search.select();
  };
  take();
  addEventListener("pageshow", (event) => { if (event.persisted) take(); });
})();
