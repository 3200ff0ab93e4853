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
        const height = 1 + (note ? 0.8 * note.textContent.split("\n").length : 0);
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
