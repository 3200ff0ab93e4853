"""HTML escaped by construction: text reaches a page only through escape(), html() or join().

A template given to html() is markup written here, never data; every value filled into it is
escaped unless it is already Markup.
"""

import functools
import html as _html
import string


class Markup(str):
    """Text that is safe to put into a page as it stands."""

    __slots__ = ()


def escape(value):
    if isinstance(value, Markup):
        return value
    return Markup(_html.escape(str(value)))


class _Formatter(string.Formatter):
    def format_field(self, value, spec):
        if isinstance(value, Markup) and not spec:
            return value
        return escape(format(value, spec))


_FORMATTER = _Formatter()


@functools.lru_cache(maxsize=1024)
def _plain(template):
    """Whether every field of `template` is a bare position or name, with neither a format
    spec nor a conversion: str.format then fills escaped values exactly as _FORMATTER would."""
    return all(field is None or not spec and not conversion and (
        field == "" or field.isdigit() or field.isidentifier())
        for _, field, spec, conversion in _FORMATTER.parse(template))


def html(template, *args, **kwargs):
    if _plain(template):
        # A list page fills thousands of fields; the pure-Python formatter took most of it.
        return Markup(template.format(*map(escape, args),
                                      **{name: escape(value) for name, value in kwargs.items()}))
    return Markup(_FORMATTER.vformat(template, args, kwargs))


def join(parts):
    return Markup("".join(escape(part) for part in parts))
