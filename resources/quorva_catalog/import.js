// The import pages load this as /import.js. A form is sent once, by this script rather than
// by the browser: a page that is being left loads nothing more, so only a page that stays can
// ask the server every so often how far the import has got and show it under the disabled
// button. The answer names the page to go to. Without script the form is sent as usual.
"use strict";
(() => {
  for (const form of document.querySelectorAll("form[data-import]")) {
    const line = form.querySelector(".progress");
    const buttons = form.querySelectorAll("button");
    let sent = false, waiting = false;
    const poll = async () => {
      while (waiting) {
        try {
          const answer = await fetch("/import/progress", { cache: "no-store" });
          const text = answer.ok ? await answer.text() : "";
          if (waiting && text) line.textContent = text;
        } catch {
          // Asked again on the next turn.
        }
        await new Promise((done) => setTimeout(done, 250));
      }
    };
    const show = (html) => {
      // A refusal that came before the import began (another one under way, a file too
      // large): the server's page in place of this one's content.
      const page = new DOMParser().parseFromString(html, "text/html");
      const main = page.querySelector("main");
      if (!main) throw new Error("no page");
      document.title = page.title;
      document.querySelector("main").replaceWith(document.adoptNode(main));
    };
    form.addEventListener("submit", async (event) => {
      event.preventDefault();
      if (sent) return;
      sent = true;
      for (const button of buttons) button.disabled = true;
      line.textContent = "กำลังส่งไฟล์…";
      line.hidden = false;
      waiting = true;
      poll();
      try {
        const fields = new FormData(form);
        const answer = await fetch(form.action, {
          method: "POST", headers: { "X-Import": "fetch" },
          body: form.enctype === "multipart/form-data" ? fields : new URLSearchParams(fields),
        });
        const text = await answer.text();
        waiting = false;
        if (answer.ok && answer.headers.get("Content-Type").startsWith("text/plain")) {
          location.assign(text);
        } else {
          show(text);
        }
      } catch {
        sent = waiting = false;
        line.textContent = "ส่งไฟล์ไม่สำเร็จ เพราะติดต่อแคตตาล็อกไม่ได้ กรุณาลองอีกครั้ง";
        for (const button of buttons) button.disabled = false;
      }
    });
    // Back to this page from the next one: the form may be sent again.
    addEventListener("pageshow", (event) => {
      if (!event.persisted) return;
      sent = false;
      for (const button of buttons) button.disabled = false;
      line.hidden = true;
    });
  }
})();
