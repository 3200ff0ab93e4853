"""The shared catalog: one PostgreSQL database that several computers use at once. Importing
this needs the psycopg driver (Debian's python3-psycopg)."""

import psycopg  # noqa: F401  (missing, it is named to the user before anything else)

from .engine import PostgreSQLEngine

__all__ = ["PostgreSQLEngine"]
