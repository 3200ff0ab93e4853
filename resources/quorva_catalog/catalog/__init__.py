"""What routes and pages see of the catalog: items, their search, the import, and errors of
its own. Below it an engine (engines/base.py) keeps the rows."""

from ..text import THAI_DIGITS, canonical_code, code_key, utc_now
from . import importing
from .plan import PAGE_SIZE, SearchPlan


class Catalog:
    def __init__(self, engine):
        self.engine = engine
        # The last snapshot that could not be taken (backups.Skipped), until one is.
        self.skipped = None

    @property
    def folder(self):
        return self.engine.folder

    def describe(self):
        return self.engine.describe()

    def close(self):
        self.engine.close()

    def search(self, query, category, sort, page, anchor=None):
        """catalog.plan.SearchResult of the items holding every word of `query`."""
        return self.engine.search(SearchPlan.of(query, category, sort, page, anchor))

    def by_code(self, query):
        """The item whose code is the whole query, as a scanner types it, or None."""
        code = canonical_code(query)
        if not code or len(code) > 64:
            return None
        return self.engine.find_code((code, code.translate(THAI_DIGITS)))

    def every_row(self, query, category, sort):
        """Every row of the list, page after page; the item whose code is the query first."""
        exact = self.by_code(query)
        seen = set()
        if exact is not None and (not category or exact["category"] == category):
            seen.add(exact["id"])
            yield exact
        page, anchor = 1, None
        while True:
            rows, count, _, _, shown, more = self.search(query, category, sort, page, anchor)
            if shown != page:
                return
            for row in rows:
                if row["id"] not in seen:
                    seen.add(row["id"])
                    yield row
            if not rows or not more and (count is None or page * PAGE_SIZE >= count):
                return
            page, anchor = page + 1, ("after", rows[-1]["id"])

    def categories(self):
        return self.engine.categories()

    def lookalikes(self):
        """Groups of items whose codes differ only in what cannot be seen, as found when codes
        were first stored in one spelling; a group is gone once the shop has merged it."""
        groups = {}
        for row in self.engine.lookalike_items():
            groups.setdefault(code_key(canonical_code(row["code"])), []).append(row)
        return [rows for rows in groups.values() if len(rows) > 1]

    def get(self, item_id):
        return self.engine.get(item_id)

    def create(self, values):
        return self.engine.create(values, utc_now())

    def update(self, item_id, revision, values):
        self.engine.update(item_id, revision, values, utc_now())

    def delete(self, item_id):
        """The item moved to the bin: its bin entry, or None if there was no such item."""
        return self.engine.delete(item_id, utc_now())

    def binned(self, page, size):
        """(entries in the bin, those of page `page` of `size`, the latest deleted first)."""
        return self.engine.binned((max(1, page) - 1) * size, size)

    def binned_entry(self, entry):
        return self.engine.binned_entry(entry)

    def bring_back(self, entry, code=None, displace=False):
        return self.engine.bring_back(entry, utc_now(), code, displace)

    def empty_bin(self, entries=None, upto=None):
        return self.engine.empty_bin(entries, upto)

    def with_code(self, code):
        """The item that has `code`, as codes compare, or None."""
        return self.engine.find_code((code,))

    def export_rows(self):
        return self.engine.export_rows()

    def stamp(self):
        return self.engine.stamp()

    def upsert(self, batches, errors, **options):
        return importing.upsert(self.engine, batches, errors, **options)
