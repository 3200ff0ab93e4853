"""The storage engine interface: every call the catalog layer makes on storage, and what each
must guarantee. An engine is a folder beside this file; nothing above the catalog layer sees
it.

Shared by every call:
- An item is a mapping with the keys id, code, name, category, price_satang, quantity, note,
  created_at, updated_at (ISO text, "2026-01-31T12:00:00Z") and revision.
- Values given for an item are a dict with code, name, category, price_satang, quantity and
  note, already cleaned by text.clean_item. The engine keeps what it derives from them (the
  bare folded search text, which ends in the category's token, and the Thai order key, both
  text.item_columns) in step in the same transaction.
- Codes compare as text.code_key folds them (A-Z as a-z, nothing else); code is unique so.
- Every change is one transaction: all of it is kept or none. A transaction the engine could
  not finish raises one of catalog.errors, never a driver's error: DuplicateCode, InvalidValues,
  NoRoom, Unavailable. No message, log or error of an engine shows a password.
- Unavailable(reason) from any call means the database cannot be reached now; the engine
  tries again on the next call, so the catalog comes back without a restart.
- Calls come from many threads at once.
"""

import abc
import contextlib


class ImportSession(abc.ABC):
    """An import's one transaction, open while the catalog layer feeds it the file's rows a
    batch at a time (engines/base.Engine.importing). Nothing is visible to others until the
    session ends without an exception."""

    empty = False
    """Whether the catalog held no item when the session began."""

    @abc.abstractmethod
    def claim_codes(self, numbers, codes):
        """Records the codes of one batch (row numbers ascending, `codes` beside them) as given
        by the file, the first row to give a code keeping it, and returns
        [(number, number of the row that gave its code first)] for every row whose code an
        earlier row of the file (this batch or one before) already gave."""

    @abc.abstractmethod
    def existing(self, numbers, codes):
        """{number: stored item} for the rows of the batch whose code an item already has;
        called after claim_codes with the same batch."""

    @abc.abstractmethod
    def insert_many(self, rows):
        """New items, given column by column: a dict of equally long lists under the keys of
        item values plus created_at and updated_at. Ids rise in the lists' order."""

    @abc.abstractmethod
    def update_many(self, updates, now):
        """As Engine.update without the revision check (the import holds the catalog), for
        each (item id, values, the keys of values that changed) of a batch, in turn."""

    @abc.abstractmethod
    def finish(self):
        """Called once after the last batch when no row had a problem, before the snapshot
        and the commit: whatever was put off for speed (indexes of an empty catalog, say)
        is made whole here."""


class Engine(abc.ABC):
    """One catalog's storage. Made without touching the database; `open` does that."""

    folder = None
    """A local folder of this computer for the catalog's snapshots (its backups/ folder)
    and the temporary files of restores; it exists and is private to the user."""

    @abc.abstractmethod
    def describe(self):
        """Where the catalog is, for messages: a path, or a URL with no password in it."""

    @abc.abstractmethod
    def open(self):
        """Connects, checks the database is a catalog (or empty), and migrates it to the
        current version, each step one transaction; several servers opening one shared
        database at once migrate it once. Raises errors.StartupError for what a restart will
        not mend (a damaged or foreign database, one from a newer version, a missing driver)
        and catalog.errors.Unavailable for what may pass; open may then be called again."""

    @abc.abstractmethod
    def close(self):
        """Ends every connection; for a file, leaves the file whole in itself."""

    # Reading. Each call reads one committed state.

    @abc.abstractmethod
    def get(self, item_id):
        """The item or None."""

    @abc.abstractmethod
    def find_code(self, codes):
        """The item whose code is one of `codes` (as codes compare), the earliest of `codes`
        winning, or None."""

    @abc.abstractmethod
    def categories(self):
        """Every category some item has, except "", in Thai order (text.thai_collation)."""

    @abc.abstractmethod
    def lookalike_items(self):
        """The items migrations marked as having a code that only differs from another's in
        what cannot be seen, by id; the catalog groups them."""

    @abc.abstractmethod
    def search(self, plan):
        """catalog.plan.SearchResult for a catalog.plan.SearchPlan. The rows are those holding
        every word of the plan (a row's bare folded text contains `plain`; where `pattern` is
        given, its folded text also contains `folded` or matches the pattern), in the
        category if any, ordered by the plan's sort keys exactly; counts, units and value are
        exact up to plan.COUNTED matches and None beyond. Every engine gives the same result
        for the same rows. Should be fast on any catalog: no page reads every row."""

    @abc.abstractmethod
    def export_rows(self):
        """Every item as (code, name, category, price_satang, quantity, note, created_at,
        updated_at), in code_nocase order, from one committed state, without holding up
        changes meanwhile: an iterator, closed by its caller."""

    @abc.abstractmethod
    def stamp(self):
        """A JSON-able list that changes whenever anything in the catalog does, from any
        server: an import's preview keeps it, and is applied only while it is unchanged."""

    @abc.abstractmethod
    def is_empty(self):
        """Whether the catalog holds no item and its bin nothing."""

    @abc.abstractmethod
    def size(self):
        """Roughly how many bytes a copy of the catalog needs (the snapshots' budget)."""

    # Changing. Each call is one transaction.

    @abc.abstractmethod
    def create(self, values, now):
        """Adds an item and returns its id; raises DuplicateCode."""

    @abc.abstractmethod
    def update(self, item_id, revision, values, now):
        """Saves `values` over the item if its revision is still `revision`, and counts the
        revision up; raises ItemMissing, StaleRevision or DuplicateCode, changing nothing.
        Two servers saving one item at once: one saves, the other gets StaleRevision."""

    @abc.abstractmethod
    def delete(self, item_id, now):
        """Moves the item to the bin and returns its bin entry, or None if there was none."""

    # The bin: deleted items kept apart from the catalog, so that no search, sum, count or
    # export sees them, until they are brought back or emptied for good. An entry is an
    # item (its id as it had) with `entry`, a number no other entry ever had, and
    # `deleted_at`. Its code is free for a new item meanwhile.

    @abc.abstractmethod
    def binned(self, offset, limit):
        """(how many entries the bin holds, up to `limit` of them from `offset`, the latest
        deleted first)."""

    @abc.abstractmethod
    def binned_entry(self, entry):
        """The bin entry or None."""

    @abc.abstractmethod
    def bring_back(self, entry, now, code=None, displace=False):
        """Moves the entry back into the catalog, under its old id while no item has it, and
        returns (its item id, the entry of the item it displaced or None). With `code` it
        comes back under that code (changed now). With `displace`, the item that has its
        code goes to the bin first, in the same transaction. Raises ItemMissing when the
        entry is gone, DuplicateCode when its code is taken, changing nothing."""

    @abc.abstractmethod
    def empty_bin(self, entries=None, upto=None):
        """Removes the entries listed in `entries`, or else every entry numbered up to `upto`
        (every one when None), for good; returns how many went."""

    @abc.abstractmethod
    def importing(self, stamp=None):
        """A context manager giving an ImportSession in one transaction that holds off every
        other change to the catalog until it ends: committed when the block ends normally,
        rolled back on any exception. With `stamp`, raises CatalogChanged at the start when
        the catalog's stamp is no longer that."""

    # Copies. A copy is always a SQLite catalog file, whichever the engine.

    @abc.abstractmethod
    def write_copy(self, target):
        """A portable copy of the catalog and its bin as a SQLite catalog file at `target`
        (new), of the current schema version, from one committed state, checked and synced
        to disk. Changes go on meanwhile."""

    @abc.abstractmethod
    def compare_copy(self, path):
        """What a restore of the checked copy at `path` would change: {"today": items now,
        "added": items now not in the copy, "changed": items in both but different,
        "newest": up to 20 (code, name, updated_at, added) of those two kinds, latest first,
        "returning": items in the copy not here now}."""

    @abc.abstractmethod
    def replace_with_copy(self, path):
        """Every row of the catalog and its bin replaced by the rows of the checked,
        current-version SQLite catalog file at `path`, in one transaction: any server sees
        the catalog before or after, never a mix, whatever is killed when. Ids, revisions
        and times come over as they are. The file may be consumed."""

    @contextlib.contextmanager
    def daily_claim(self, day):
        """Yields whether this server takes `day`'s snapshot (a datetime.date). A catalog
        shared by several servers records the day, so only the first takes it; the claim
        stands only if the block ends normally. A catalog of one server always yields True:
        its own folder tells which days it has."""
        yield True
