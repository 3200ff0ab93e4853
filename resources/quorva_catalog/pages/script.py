"""The one script every page loads: the page's policy allows no inline script, so it is served
as /page.js. The pages work without it; it only keeps the browser's own English out of sight
and the saved notice on its own page."""

SCRIPT = rb"""'use strict';
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
"""
