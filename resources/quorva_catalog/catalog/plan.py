"""A search as plain data, which each engine turns into its own queries, and what it gives."""

import dataclasses
import typing

from ..text import search_key, search_terms

PAGE_SIZE = 100
# Past this many matches a search says only "more than": counting and summing them all would
# read each of them.
COUNTED = 1000

# Each order's keys, the last one unique, so that items alike in the rest keep one order from
# page to page. Keys: "sort_name" (text.sort_key of the name, compared byte by byte),
# "code_nocase" (the code with A-Z folded to a-z, compared by code point: codes are unique
# so compared), "price_satang", "quantity", "updated_at" (its stored ISO text), "id".
SORTS = {
    "name": ("ชื่อ ก-ฮ", (("sort_name", False), ("code_nocase", False))),
    "code": ("รหัสสินค้า", (("code_nocase", False),)),
    "price": ("ราคาต่ำไปสูง", (("price_satang", False), ("sort_name", False), ("id", False))),
    "-price": ("ราคาสูงไปต่ำ", (("price_satang", True), ("sort_name", False), ("id", False))),
    "quantity": ("จำนวนน้อยไปมาก", (("quantity", False), ("sort_name", False), ("id", False))),
    "-updated": ("แก้ไขล่าสุด", (("updated_at", True), ("id", True))),
}


@dataclasses.dataclass(frozen=True)
class Word:
    """One word of a query. `folded` is it as text.search_key folds it, marks and all;
    `plain` the same without marks (as a row's bare search text holds it); `pattern` None
    for a word typed without marks, else the regular expression its marks must match in the
    row's folded text (text.marks_match), where `folded` found as it is also matches."""
    folded: str
    plain: str
    pattern: typing.Optional[str]


@dataclasses.dataclass(frozen=True)
class SearchPlan:
    """Rows holding every word (in the folded text of code, name, category and note), in
    `category` if one is given, in the order SORTS[sort] gives, page `page` of PAGE_SIZE.
    `anchor` ("after", id) names the last row of the page before, ("before", id) the first
    row of the page after: the page may be found from that row rather than by counting the
    rows before it, but where the rows around it no longer agree with `page`, `page` decides."""
    words: typing.Tuple[Word, ...]
    category: str
    sort: str
    page: int
    anchor: typing.Optional[typing.Tuple[str, int]] = None

    @classmethod
    def of(cls, query, category, sort, page, anchor=None):
        words = tuple(Word(folded, plain, pattern) for folded, (plain, pattern) in
                      zip(search_key(query).split(), search_terms(query)))
        return cls(words, category, sort if sort in SORTS else "name", max(1, page), anchor)


class SearchResult(typing.NamedTuple):
    """One page of a search. A page past the end gives the last one (`page` says which).
    Up to COUNTED matches, `count`, `units` and `value` (satang) are exact and `more` is
    False; past that they are None and `more` says whether a next page follows."""
    rows: list
    count: typing.Optional[int]
    units: typing.Optional[int]
    value: typing.Optional[int]
    page: int
    more: bool
