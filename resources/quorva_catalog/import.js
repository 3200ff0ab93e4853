// The import pages load this as /import.js. A form is sent once: its button stays disabled
// while the server reads and saves the file, and the server's line on how far it has got is
// shown below it, read every so often while the page waits for the answer.
"use strict";
(() => {
  for (const form of document.querySelectorAll("form[data-import]")) {
    const line = form.querySelector(".progress");
    const buttons = form.querySelectorAll("button");
    let sent = false, timer = 0;
    const poll = async () => {
      try {
        const answer = await fetch("/import/progress", { cache: "no-store" });
        const text = answer.ok ? await answer.text() : "";
        if (sent && text) line.textContent = text;
      } catch {
        // The answer is arriving and this page is on its way out.
      }
      if (sent) timer = setTimeout(poll, 250);
    };
    form.addEventListener("submit", (event) => {
      if (sent) {
        event.preventDefault();
        return;
      }
      sent = true;
      for (const button of buttons) button.disabled = true;
      line.textContent = "กำลังส่งไฟล์…";
      line.hidden = false;
      timer = setTimeout(poll, 150);
    });
    // Back to this page from the next one: the form may be sent again.
    addEventListener("pageshow", (event) => {
      if (!event.persisted) return;
      sent = false;
      clearTimeout(timer);
      for (const button of buttons) button.disabled = false;
      line.hidden = true;
    });
  }
})();
