"""The catalog's own failures, whatever engine or file met them first."""

import errno


class StartupError(Exception):
    """One line for the user, Thai then English."""

    def __init__(self, thai, english):
        super().__init__(f"{thai} / {english}")
        self.thai = thai


class DiskFull(Exception):
    """A write ran out of space and was undone whole."""


def out_of_space(error):
    """Whether `error`, from the file system or a database driver, means the disk is full."""
    if isinstance(error, OSError):
        return error.errno in (errno.ENOSPC, errno.EDQUOT)
    # SQLITE_FULL; PostgreSQL's disk_full.
    return getattr(error, "sqlite_errorcode", None) == 13 or getattr(
        error, "sqlstate", None) == "53100"
