"""Catalog server: a small shop's items in a local SQLite file, served as Thai web pages.

The shell runs this file; the server itself is the quorva_catalog package beside it.
"""

import os

# Read before anything else, so a parent that dies during start-up is still noticed.
STARTING_PARENT = os.getppid()

import sys  # noqa: E402

# The package beside this file, wherever it is run from; and no compiled files left
# in an installed, read-only or package-managed folder.
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))
sys.dont_write_bytecode = True

try:
    from quorva_catalog.main import main
except (ImportError, OSError) as error:
    sys.stderr.write(f"ไฟล์ของแคตตาล็อกไม่ครบ ({error}) กรุณาติดตั้งโปรแกรมใหม่ / "
                     f"The catalog's files are incomplete ({error}); please reinstall\n")
    sys.exit(1)

if __name__ == "__main__":
    sys.exit(main(parent=STARTING_PARENT))
