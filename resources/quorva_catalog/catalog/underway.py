"""An import while it runs: one at a time, how far it has got for the page that sent it, the
room it needs, and the mark beside the data that tells the next start it was cut short."""

import contextlib
import errno
import json
import os
import threading

from ..text import show_time, utc_now
from .backups import free_space, kill_point, megabytes, no_room, safety_snapshot, sync_folder
from .errors import BackupError, NoRoom

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


def out_of_space(error):
    return isinstance(error, NoRoom) or (
        isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT))


def local_database(store):
    """The catalog's file where it is one on this computer's disk, else None: only then is
    the import's own room known."""
    where = store.describe()
    return where if os.path.isfile(where) else None


def short_of_room(store, size):
    """The refusal, before anything is written, where the disk plainly cannot take an import
    of a `size`-byte file and the safety copy of the catalog taken before it; else None."""
    database = local_database(store)
    if size < CHECKED or database is None:
        return None
    # The log of an earlier transaction is written over rather than grown.
    log = store.engine.size() - os.path.getsize(database)
    needed = size * GROWTH - log + store.engine.size()
    room = free_space(store.folder)
    return no_room(needed, room) if needed > room else None


def safety_copy(store):
    """The snapshot an import takes just before its commit. A failure where the disk has no
    room left for it is NoRoom, whatever error the file system or the engine gave; any other
    is the snapshot's own."""
    try:
        return safety_snapshot(store, "import")
    except (OSError, BackupError) as error:
        if out_of_space(error) or free_space(store.folder) < store.engine.size():
            raise NoRoom() from error
        raise


def no_room_now(store, size):
    """The refusal after a write ran out of space: with what the disk has now where that is
    known, else the engine's own word."""
    if local_database(store) is None:
        return NoRoom().thai
    return no_room(size * GROWTH + store.engine.size(), free_space(store.folder)).thai


class Mark:
    """The file that says an import is under way: written whole (renamed into place) before
    its transaction, made to say how to recognise its commit just before that, and removed
    after it either way."""

    def __init__(self, store):
        self.store = store
        self.path = os.path.join(store.folder, MARK)

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
        """Called inside the import's transaction: how to tell, once it is over, whether it
        was committed. An item it added is there only then, and an item it changed has the
        revision the change gave it only then."""
        state = {"started": self.started}
        if result["added"]:
            state["code"] = result["last_added"]
        else:
            written = [(old["id"], old["revision"] + 1) for old, _, _, older, _ in
                       result["changes"] if not older or result["overwrote"]]
            newest = self.store.search("", "", "-updated", 1).rows[:1]
            state["item"] = (written or [(row["id"], row["revision"]) for row in newest])[0]
        self._write(state)
        kill_point("import-committing")

    def end(self):
        with contextlib.suppress(OSError):
            os.unlink(self.path)
            sync_folder(os.path.dirname(self.path))


def left_unfinished(store):
    """At start, before anything is written: a notice, as (kind, Thai text, no action), of an
    import the last run did not finish, or None. The mark is gone afterwards."""
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
        applied = ("code" in state or "item" in state) and committed(store, state)
    finally:
        mark.end()
    if applied:
        return "ok", (f"การนำเข้าไฟล์ CSV {when}บันทึกครบแล้ว "
                      "แต่โปรแกรมปิดไปก่อนแสดงผล กรุณาตรวจดูรายการสินค้า"), ""
    return "bad", (f"การนำเข้าไฟล์ CSV {when}ไม่เสร็จ เพราะโปรแกรมถูกปิดหรือไฟดับ"
                   "ระหว่างนำเข้า จึงไม่ได้นำเข้าข้อมูลใด ๆ แคตตาล็อกยังเหมือนก่อนนำเข้าทุกอย่าง "
                   "หากยังต้องการนำเข้า กรุณานำเข้าไฟล์นั้นอีกครั้ง"), ""


def committed(store, state):
    # Nothing has been written since the import was cut short.
    if "code" in state:
        return store.engine.find_code((state["code"],)) is not None
    item_id, revision = state["item"]
    row = store.get(item_id)
    return row is not None and row["revision"] == revision
