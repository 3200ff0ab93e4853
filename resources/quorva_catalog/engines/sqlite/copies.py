"""Copies of a SQLite catalog: the file itself through the backup API, what a restore would
change, read by attaching the copy."""

import contextlib
import os
import urllib.parse

from ...catalog.errors import BackupError
from .database import connect

CHANGED_FIELDS = ("name", "category", "price_satang", "quantity", "note")


def read_only_uri(path):
    return f"file:{urllib.parse.quote(path)}?mode=ro"


def write_copy(engine, target):
    """A consistent, uncompressed copy of the database at `target`, checked and on disk."""
    with engine.files.reading(), contextlib.closing(connect(engine.path, timeout=10)) as source:
        with contextlib.closing(connect(target)) as dest:
            # One step: one read transaction on the source, so one committed state, while
            # the server goes on writing through its own connection.
            source.backup(dest)
            seal(dest, target)


def seal(dest, target):
    """A copy just written through `dest`: whole in its one file, checked and on disk."""
    dest.execute("PRAGMA journal_mode = DELETE")
    if [row[0] for row in dest.execute("PRAGMA quick_check")] != ["ok"]:
        raise BackupError("สำเนาที่ได้ไม่ผ่านการตรวจสอบ")
    with open(target, "rb+") as handle:
        os.fsync(handle.fileno())


def compare_rows(conn):
    """Engines/base.Engine.compare_copy of the items in `main` and those in `copy`."""
    today = conn.execute("SELECT count(*) FROM main.items").fetchone()[0]
    # Times are kept to the second: the fields themselves tell a change within one.
    lost = ("FROM main.items m LEFT JOIN copy.items c ON c.code = m.code "
            "WHERE c.code IS NULL OR c.updated_at IS NOT m.updated_at "
            "OR c.code IS NOT m.code COLLATE BINARY OR " + " OR ".join(
                f"c.{field} IS NOT m.{field}" for field in CHANGED_FIELDS))
    added, changed = conn.execute(
        f"SELECT count(c.code IS NULL OR NULL), count(c.code) {lost}").fetchone()
    newest = conn.execute(f"SELECT m.code, m.name, m.updated_at, c.code IS NULL {lost} "
                          f"ORDER BY m.updated_at DESC LIMIT 20").fetchall()
    returning = conn.execute("SELECT count(*) FROM copy.items c WHERE NOT EXISTS "
                             "(SELECT 1 FROM main.items m WHERE m.code = c.code)").fetchone()[0]
    return {"today": today, "added": added, "changed": changed, "newest": newest,
            "returning": returning}


def compare_copy(engine, path):
    with engine.files.reading(), contextlib.closing(
            connect(read_only_uri(engine.path), uri=True, isolation_level=None)) as conn:
        conn.execute("PRAGMA query_only = ON")
        conn.execute("ATTACH DATABASE ? AS copy", (read_only_uri(path),))
        return compare_rows(conn)
