"""What the server's requests share: the store, the form token, notices and requests in flight."""

import collections
import secrets
import threading

from .catalog.restoring import Pending
from .catalog.underway import Running


class App:
    def __init__(self, store, where):
        self.store = store
        # Why the database cannot be used yet (catalog.errors.Unavailable), while it cannot.
        self.outage = None
        # The database for messages, with no password in it.
        self.where = where
        self.port = None
        self.token = secrets.token_urlsafe(32)
        self.flashes = collections.OrderedDict()
        self.flash_lock = threading.Lock()
        self.state = threading.Condition()
        self.in_flight = 0
        self.closing = False
        # Checked copies waiting for the user to confirm their restore.
        self.pending = Pending()
        # Checked CSV files waiting for the user to confirm their import's preview.
        self.imports = Pending()
        # The import under way, one at a time, and a notice of one the last run cut short.
        self.running = Running()
        self.unfinished = None

    def hosts(self):
        names = {f"127.0.0.1:{self.port}", f"localhost:{self.port}"}
        return names | {"127.0.0.1", "localhost"} if self.port == 80 else names

    def begin(self):
        with self.state:
            if self.closing:
                return False
            self.in_flight += 1
            return True

    def end(self):
        with self.state:
            self.in_flight -= 1
            self.state.notify_all()

    def drain(self, seconds):
        with self.state:
            self.closing = True
            self.state.wait_for(lambda: self.in_flight == 0, timeout=seconds)

    def flash(self, kind, text, action=None):
        """The key of a notice for the next page; `action` is a form (Markup) shown in it."""
        key = secrets.token_urlsafe(9)
        with self.flash_lock:
            self.flashes[key] = (kind, text, action or "")
            while len(self.flashes) > 200:
                self.flashes.popitem(last=False)
        return key

    def take_flash(self, key):
        with self.flash_lock:
            return self.flashes.pop(key, None)
