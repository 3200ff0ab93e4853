"""The shared catalog: one PostgreSQL database that several computers use at once. Importing
this needs the psycopg driver (Debian's python3-psycopg)."""

import psycopg  # noqa: F401  (a missing driver is named before anything else is loaded)

from .engine import PostgreSQLEngine

__all__ = ["PostgreSQLEngine"]
