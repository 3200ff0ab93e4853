"""HTML escaped by construction: text reaches a page only through escape(), html() or join().

A template given to html() is markup written here, never data; every value filled into it is
escaped unless it is already Markup.
"""

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


def html(template, *args, **kwargs):
    return Markup(_FORMATTER.vformat(template, args, kwargs))


def join(parts):
    return Markup("".join(escape(part) for part in parts))
