"""An import while it runs: one at a time, how far it has got for the page that sent it, the
room it needs, and the mark beside the data that tells the next start it was cut short."""

import contextlib
import json
import os
import sqlite3
import threading

from .backups import (BackupError, database_size, free_space, kill_point, megabytes, no_room,
                      safety_snapshot, sync_folder)
from .errors import DiskFull, out_of_space
from .text import show_time, utc_now

MARK = ".import-unfinished.json"
# At its peak an import into an empty catalog holds about 13 times its CSV on disk: the rows
# with their search text and indexes, and its transaction's log beside them.
GROWTH = 13
# Only a large import is judged beforehand; a full disk during a small one is answered all
# the same.
CHECKED = 1024 * 1024


class Busy(Exception):
    """Another import is under way."""


class Running:
    """The import under way, if any: the lock that keeps a second one out, and how far it has
    got, as a Thai line for the page's poll (a plain attribute swap, read without the lock)."""

    # The one before may have sent its answer and not yet let go: the next file sent at once
    # waits that moment rather than being turned away.
    WAIT_SECONDS = 1

    def __init__(self):
        self.lock = threading.Lock()
        self.progress = ""

    def start(self):
        if not self.lock.acquire(timeout=self.WAIT_SECONDS):
            raise Busy()
        self.progress = "กำลังรับไฟล์…"

    def finish(self):
        self.progress = ""
        self.lock.release()

    def receiving(self, rfile, total):
        return Received(rfile, total, self)

    def counted(self, batches):
        """`batches` as they are read, each counted on the way."""
        rows = 0
        for batch in batches:
            rows += len(batch.numbers) + len(batch.problems)
            self.progress = f"อ่านและตรวจแล้ว {rows:,} แถว"
            yield batch
        self.progress = f"อ่านครบ {rows:,} แถว กำลังบันทึกลงแคตตาล็อก…"


class Received:
    """The request body as parse_multipart reads it, its bytes counted for the poll."""

    def __init__(self, rfile, total, running):
        self.rfile, self.total, self.running, self.count = rfile, total, running, 0

    def read(self, size=-1):
        data = self.rfile.read(size)
        self.count += len(data)
        self.running.progress = (f"กำลังรับไฟล์ {megabytes(self.count)} "
                                 f"จาก {megabytes(self.total)}")
        return data


def short_of_room(store, size):
    """The refusal, before anything is written, where the disk plainly cannot take an import
    of a `size`-byte file and the safety copy of the catalog taken before it; else None."""
    if size < CHECKED:
        return None
    directory = os.path.dirname(store.path)
    # The log of an earlier transaction is written over rather than grown.
    log = database_size(store.path) - os.path.getsize(store.path)
    needed = size * GROWTH - log + database_size(store.path)
    room = free_space(directory)
    return no_room(needed, room) if needed > room else None


def safety_copy(store):
    """The snapshot an import takes just before its commit. A failure where the disk has no
    room left for it is DiskFull, whatever error the file system or SQLite gave; any other is
    the snapshot's own."""
    try:
        return safety_snapshot(store, "import")
    except (OSError, BackupError, sqlite3.Error) as error:
        room = free_space(os.path.dirname(store.path))
        if out_of_space(error) or room < database_size(store.path):
            raise DiskFull() from error
        if isinstance(error, sqlite3.Error):
            raise BackupError(str(error)) from error
        raise


def no_room_now(store, size):
    """The refusal after a write ran out of space, with what the disk has now."""
    directory = os.path.dirname(store.path)
    return no_room(size * GROWTH + database_size(store.path), free_space(directory))


class Mark:
    """The file that says an import is under way: written whole (renamed into place) before
    its transaction, made to say how to recognise its commit just before that, and removed
    after it either way."""

    def __init__(self, store):
        self.store = store
        self.path = os.path.join(os.path.dirname(store.path), MARK)

    def _write(self, state):
        temporary = self.path + ".new"
        try:
            with open(temporary, "w", encoding="utf-8") as out:
                json.dump(state, out)
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        sync_folder(os.path.dirname(self.path))

    def begin(self):
        self.started = utc_now()
        self._write({"started": self.started})

    def committing(self, result):
        """Called inside the import's transaction: what the catalog holds once it commits."""
        state = {"started": self.started, "added": result["added"],
                 "count": self.store.search("", "", "code", 1)[1]}
        if not result["added"]:
            written = [(old["id"], old["revision"] + 1) for old, _, _, older, _ in
                       result["changes"] if not older or result["overwrote"]]
            newest = self.store.search("", "", "-updated", 1)[0][:1]
            state["item"] = (written or [(row["id"], row["revision"]) for row in newest])[0]
        self._write(state)
        kill_point("import-committing")

    def end(self):
        with contextlib.suppress(OSError):
            os.unlink(self.path)
            sync_folder(os.path.dirname(self.path))


def left_unfinished(store):
    """At start, before anything is written: a notice, as (kind, Thai text), of an import the
    last run did not finish, or None. The mark is gone afterwards."""
    mark = Mark(store)
    try:
        with open(mark.path, encoding="utf-8") as handle:
            state = json.load(handle)
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        state = {}
    if not isinstance(state, dict):
        state = {}
    when = f"ที่เริ่มเมื่อ {show_time(state['started'])} " if isinstance(
        state.get("started"), str) else ""
    try:
        applied = "count" in state and committed(store, state)
    finally:
        mark.end()
    if applied:
        return "ok", (f"การนำเข้าไฟล์ CSV {when}บันทึกครบแล้ว "
                      "แต่โปรแกรมปิดไปก่อนแสดงผล กรุณาตรวจดูรายการสินค้า")
    return "bad", (f"การนำเข้าไฟล์ CSV {when}ไม่เสร็จ เพราะโปรแกรมถูกปิดหรือไฟดับ"
                   "ระหว่างนำเข้า จึงไม่ได้นำเข้าข้อมูลใด ๆ แคตตาล็อกยังเหมือนก่อนนำเข้าทุกอย่าง "
                   "หากยังต้องการนำเข้า กรุณานำเข้าไฟล์นั้นอีกครั้ง")


def committed(store, state):
    # Nothing has been written since: the rows the import added are all there or none is,
    # and an item it changed has the revision the change gave it or the one before.
    if state.get("added"):
        return store.search("", "", "code", 1)[1] == state["count"]
    item_id, revision = state["item"]
    row = store.get(item_id)
    return row is not None and row["revision"] == revision
