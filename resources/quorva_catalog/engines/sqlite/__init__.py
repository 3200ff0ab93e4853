"""The embedded catalog: one SQLite file on this computer."""

from .store import SQLiteEngine

__all__ = ["SQLiteEngine"]
