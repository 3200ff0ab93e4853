"""Which engine a --db value names, and that value shown without its password."""

import os
import re

from ..errors import StartupError

URL_SCHEMES = ("postgresql", "postgres")
# Parameters of a URL's query that libpq reads as secrets.
SECRET_PARAMETER = re.compile(r"(?i)([?&](?:password|sslpassword)=)[^&#]*")
URL = re.compile(r"(?i)(?:postgresql|postgres)://")


def is_url(value):
    """A database server's address rather than a file: never looked for on disk."""
    return bool(URL.match(value))


def redacted(value):
    """`value` safe to show: a URL loses its password, whether after the user name or in its
    query, even where it is not encoded as a URL should be; a path comes back as it is."""
    if not is_url(value):
        return value
    scheme, rest = value.split("://", 1)
    if "@" in rest:
        # The last "@" ends the user's part: a password may hold an unencoded one.
        user, host = rest.rsplit("@", 1)
        name = user.split(":", 1)[0] if ":" in user else user
        rest = f"{name}{':***' if ':' in user else ''}@{host}"
    return f"{scheme}://{SECRET_PARAMETER.sub(lambda m: m[1] + '***', rest)}"


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
