"""Which engine a --db value names, and that value shown without its password."""

import os
import re
import urllib.parse

from ..errors import StartupError

URL_SCHEMES = ("postgresql", "postgres")
# Keys of a URL's query that libpq reads as secrets.
SECRET_PARAMETERS = {"password", "sslpassword"}
URL = re.compile(r"(?i)(?:postgresql|postgres)://")


def is_url(value):
    """A database server's address rather than a file: never looked for on disk."""
    return bool(URL.match(value))


def redacted(value):
    """`value` safe to show: a URL loses its password, whether after the user name or in its
    query; anything else is a path and comes back as it is."""
    if not is_url(value):
        return value
    parts = urllib.parse.urlsplit(value)
    netloc = parts.netloc
    if "@" in netloc:
        user, host = netloc.rsplit("@", 1)
        if ":" in user:
            user = user.split(":", 1)[0] + ":***"
        netloc = f"{user}@{host}"
    query = "&".join(
        f"{key}=***" if urllib.parse.unquote_plus(key).lower() in SECRET_PARAMETERS else pair
        for pair in parts.query.split("&") if pair
        for key in [pair.split("=", 1)[0]])
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, parts.fragment))


def engine_for(value, folder):
    """The engine for a --db value, not yet opened. `folder` is the server's working folder,
    which keeps a shared catalog's local snapshots."""
    if not is_url(value):
        from .sqlite import SQLiteEngine
        return SQLiteEngine(os.path.abspath(value))
    try:
        # Only a shared catalog needs a driver: the embedded one runs on the standard library.
        from .postgresql import PostgreSQLEngine
    except ImportError as error:
        raise StartupError(
            "ใช้ฐานข้อมูล PostgreSQL ไม่ได้ เพราะยังไม่ได้ติดตั้งไดรเวอร์ psycopg "
            "กรุณาติดตั้งแพ็กเกจ python3-psycopg",
            f"Cannot use PostgreSQL: the psycopg driver is not installed ({error.name}); "
            f"install the package python3-psycopg") from None
    return PostgreSQLEngine(value, folder)
