"""The catalog server behind catalog.py: a small shop's items in a local SQLite file."""
