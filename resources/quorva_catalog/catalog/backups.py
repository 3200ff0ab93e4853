"""Snapshots of the catalog: the one downloaded and the compressed ones kept in backups/ of
the catalog's folder on this computer, with their pruning. A snapshot is whole or absent. Putting one back is
in restoring.py."""

import contextlib
import datetime
import errno
import glob
import gzip
import os
import re
import secrets
import shutil
import signal
import time
import typing

from .errors import BackupError, CatalogError, NoRoom


class Skipped(typing.NamedTuple):
    """A snapshot that could not be taken: its kind, when, and why in Thai."""
    kind: str
    when: datetime.datetime
    why: str


KEEP = 7
# backups/ stays within twice the database, or this much for a small catalog.
BUDGET_FACTOR = 2
BUDGET_FLOOR = 8 * 1024 * 1024
# Fast enough to keep a snapshot of a large catalog within seconds; SQLite pages of Thai
# text still shrink about fivefold.
LEVEL = 3
CHUNK = 1024 * 1024
DAILY = re.compile(r"catalog-(\d{4}-\d{2}-\d{2})\.db(?:\.gz)?")
SAFETY = re.compile(
    r"catalog-(\d{4}-\d{2}-\d{2})-\d{6}(?:-\d+)?-before-(?:restore|import)\.db(?:\.gz)?")


def kill_point(step):
    """Lets a test end the server abruptly at a named step, as a power cut would."""
    if os.environ.get("QUORVA_CATALOG_KILL_AT") == step:
        os.kill(os.getpid(), signal.SIGKILL)


def folder(home):
    """Where the snapshots of the catalog kept in `home` (engines/base.Engine.folder) go."""
    return os.path.join(home, "backups")


def sync_folder(path):
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def sync_file(path):
    with open(path, "rb+") as handle:
        os.fsync(handle.fileno())


def remove_database_files(path):
    for name in (path, path + "-wal", path + "-shm", path + "-journal"):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name)


def temporary_path(directory, prefix):
    return os.path.join(directory, f".{prefix}-{secrets.token_hex(6)}.db")


def free_space(directory):
    return shutil.disk_usage(directory).free


def megabytes(count):
    return f"{count / (1024 * 1024):,.1f} MB"


def no_room(needed, free):
    return BackupError(f"พื้นที่ว่างบนดิสก์ไม่พอ ต้องใช้ประมาณ {megabytes(needed)} "
                       f"แต่ว่างอยู่ {megabytes(free)} กรุณาเพิ่มที่ว่างแล้วลองใหม่ "
                       f"ข้อมูลเดิมยังอยู่ครบ")


def write_snapshot(store, target):
    """A consistent, uncompressed copy of the catalog at `target`, checked and on disk."""
    store.engine.write_copy(target)


def compress(source, target, moment):
    """gzip of `source` at `target`, on disk; the header carries the snapshot's time."""
    with open(source, "rb") as raw, open(target, "xb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, compresslevel=LEVEL,
                           mtime=int(moment)) as packed:
            shutil.copyfileobj(raw, packed, CHUNK)
        out.flush()
        os.fsync(out.fileno())


def snapshot(store, stem):
    """backups/`stem`.db.gz, written under temporary names and renamed: whole or absent."""
    directory = folder(store.folder)
    os.makedirs(directory, 0o700, exist_ok=True)
    raw = temporary_path(directory, "snapshot")
    packed = raw + ".gz"
    name = stem + ".db.gz"
    try:
        moment = time.time()
        write_snapshot(store, raw)
        kill_point("snapshot-written")
        compress(raw, packed, moment)
        kill_point("snapshot-compressed")
        os.replace(packed, os.path.join(directory, name))
        sync_folder(directory)
        store.skipped = None
    finally:
        remove_database_files(raw)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(packed)
    return name


NO_SPACE = "พื้นที่ว่างบนดิสก์ไม่พอ"


def why_skipped(store, error):
    """The Thai reason a snapshot was not taken."""
    if isinstance(error, NoRoom) or getattr(error, "errno", None) in (
            errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
        return NO_SPACE
    # An engine may tell only that its copy failed: a disk with less room than the catalog
    # takes says why.
    with contextlib.suppress(Exception):
        if free_space(store.folder) < store.engine.size():
            return NO_SPACE
    if isinstance(error, CatalogError):
        return error.thai
    number = getattr(error, "errno", None)
    if number in (errno.EEXIST, errno.ENOTDIR):
        return "มีไฟล์ชื่อ backups อยู่ในที่ของโฟลเดอร์สำเนา"
    if number in (errno.EACCES, errno.EPERM, errno.EROFS):
        return "ไม่มีสิทธิ์เขียนในโฟลเดอร์ backups"
    return f"เขียนไฟล์ในโฟลเดอร์ backups ไม่ได้ (errno {number})"


@contextlib.contextmanager
def noted(store, kind):
    """Records on `store` a snapshot of `kind` ("daily", "import" or "restore") that could
    not be taken, until one is: the pages say so rather than let a day pass uncopied."""
    try:
        yield
    except Exception as error:
        store.skipped = Skipped(kind, datetime.datetime.now(), why_skipped(store, error))
        raise


def safety_snapshot(store, before="restore"):
    """The copy taken before a restore or an import, so that one press undoes it."""
    stem = f"catalog-{datetime.datetime.now():%Y-%m-%d-%H%M%S}"
    # Two in one second (an import undone at once, say) must not replace the first copy.
    taken, number = stem, 1
    while os.path.exists(os.path.join(folder(store.folder), f"{taken}-before-{before}.db.gz")):
        number += 1
        taken = f"{stem}-{number}"
    with noted(store, before):
        name = snapshot(store, f"{taken}-before-{before}")
    prune(store)
    return name


def prune(store):
    """The last KEEP of each kind, then the oldest go until backups/ is within its budget;
    the newest of each kind always stays."""
    kept = listing(store.folder)
    doomed, newest = [], set()
    for kind in (DAILY, SAFETY):
        # Names carry the date: a copy put back by hand is not taken for a new one.
        mine = sorted((entry for entry in kept if kind.fullmatch(entry[0])), reverse=True)
        doomed += mine[KEEP:]
        newest.update(mine[:1])
    survivors = [entry for entry in kept if entry not in doomed]
    budget = max(BUDGET_FLOOR, BUDGET_FACTOR * store.engine.size())
    total = sum(entry[1] for entry in survivors)
    for entry in sorted(survivors):
        if total <= budget:
            break
        if entry not in newest:
            doomed.append(entry)
            total -= entry[1]
    for name, _, _ in doomed:
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(folder(store.folder), name))


def clean_leftovers(home):
    """At start-up: what a run that was killed left half-made."""
    for stale in glob.glob(os.path.join(folder(home), ".*-*.db*")) + glob.glob(
            os.path.join(home, ".restore-*.db*")):
        with contextlib.suppress(OSError):
            os.unlink(stale)


def daily(store, today=None):
    """Today's snapshot unless there is one or the catalog is still empty, then pruning.
    Returns the name written or None."""
    directory = folder(store.folder)
    day = today or datetime.date.today()
    stem = f"catalog-{day:%Y-%m-%d}"
    written = None
    with noted(store, "daily"):
        os.makedirs(directory, 0o700, exist_ok=True)
        if not any(os.path.exists(os.path.join(directory, stem + ext))
                   for ext in (".db", ".db.gz")):
            with store.engine.daily_claim(day) as mine:
                if mine and not store.engine.is_empty():
                    written = snapshot(store, stem)
    prune(store)
    return written


def listing(home):
    """(name, size in bytes, modified as a datetime) of every kept snapshot, newest first."""
    found = []
    with contextlib.suppress(FileNotFoundError, NotADirectoryError):
        for entry in os.scandir(folder(home)):
            if (DAILY.fullmatch(entry.name) or SAFETY.fullmatch(entry.name)) and entry.is_file():
                info = entry.stat()
                found.append((entry.name, info.st_size,
                              datetime.datetime.fromtimestamp(info.st_mtime)))
    return sorted(found, key=lambda item: (item[2], item[0]), reverse=True)


def kept_path(home, name):
    """The path of a kept snapshot by its name, or None: never a path the client made up."""
    if not (DAILY.fullmatch(name or "") or SAFETY.fullmatch(name or "")):
        return None
    path = os.path.join(folder(home), name)
    return path if os.path.isfile(path) else None

