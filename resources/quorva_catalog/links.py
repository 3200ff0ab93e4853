"""Addresses inside the catalog: list pages with their search, and where a form goes back to."""

import urllib.parse


def list_url(query, category, sort, page=1):
    params = [(k, v) for k, v in (("q", query), ("category", category)) if v]
    if sort != "name":
        params.append(("sort", sort))
    if page > 1:
        params.append(("page", str(page)))
    return "/?" + urllib.parse.urlencode(params) if params else "/"


def safe_back(value):
    """Only a list page of this server; anything else goes to the plain list."""
    parts = urllib.parse.urlsplit(value or "/")
    if parts.scheme or parts.netloc or parts.path != "/" or len(value) > 2000:
        return "/"
    kept = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query) if k != "m"]
    return "/?" + urllib.parse.urlencode(kept) if kept else "/"


def with_flash(url, key):
    return f"{url}{'&' if '?' in url else '?'}m={key}"
