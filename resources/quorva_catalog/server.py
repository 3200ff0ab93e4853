"""The connection loop: the listening socket, every connection held while it waits for a
request head, the limits on how many and for how long, and the worker threads that answer
whole heads through the request handler (httpd.Handler, called as socketserver calls its
handlers: request, client address, server)."""

import collections
import contextlib
import errno
import os
import queue
import selectors
import socket
import struct
import sys
import threading
import time
import traceback

try:
    import resource
except ImportError:  # not a POSIX system
    resource = None

from .errors import StartupError
from .peers import UNKNOWN_UID, peer_uid


class Connection:
    """One client socket while the server holds it."""

    __slots__ = ("sock", "address", "buffer", "deadline", "kind")

    def __init__(self, sock, address, kind, deadline, buffer=b""):
        self.sock, self.address, self.kind = sock, address, kind
        self.deadline, self.buffer = deadline, bytearray(buffer)


def head_complete(buffer):
    return b"\r\n\r\n" in buffer or b"\n\n" in buffer


FORBIDDEN_FOREIGN = (b"HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     b"Content-Length: 0\r\nConnection: close\r\n\r\n")


def connection_cap():
    """Connections held at once. A connection waiting for its request head costs one descriptor
    and no thread, so the cap follows the descriptor limit: 64 are kept back for the database
    and its log, upload and backup files, pipes and imports. At most 512: far above what a
    window opens (six per host) and small enough that the event loop stays quick."""
    soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0] if resource else 1024
    if soft == getattr(resource, "RLIM_INFINITY", -1):
        soft = 4096
    return max(16, min(512, soft - 64))


class CatalogServer:
    """One thread waits for request heads on every connection at once; only a whole head gets
    a worker thread. Idle and slow clients therefore hold a descriptor each, never a thread,
    and when descriptors run short the ones that waited longest without a request are closed
    to make room, so the window's own requests still get through."""

    HEAD_SECONDS = 10          # a whole request head, from the connection's first moment
    KEEP_ALIVE_SECONDS = 15    # an idle connection between requests
    REFUSE_SECONDS = 2         # lets a refused client read its 403 before the close
    WORKERS = 16               # requests answered at once; a window uses at most six
    BACKOFF_SECONDS = 0.25     # accept() paused after it ran out of descriptors
    HEAD_LIMIT = 64 * 1024

    def __init__(self, port, app, handler):
        self.app, self.handler = app, handler
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.socket.bind(("127.0.0.1", port))
            self.socket.listen(1024)
            self.socket.setblocking(False)
        except OSError:
            self.socket.close()
            raise
        self.server_address = self.socket.getsockname()
        self.cap = connection_cap()
        # Waiting for a head, oldest first within each kind; evicted in this order of kinds.
        self.waiting = {kind: collections.OrderedDict() for kind in ("refused", "new", "kept")}
        self.busy = 0
        self.lock = threading.Lock()
        self.returned = collections.deque()
        self.ready = queue.SimpleQueue()
        self.workers = 0
        self.stopped = threading.Event()
        self.done = threading.Event()
        self.wake_r, self.wake_w = socket.socketpair()
        self.wake_r.setblocking(False)
        self.wake_w.setblocking(False)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.wake_r, selectors.EVENT_READ)
        self.listening = False
        self.paused_until = 0.0
        self.counts = collections.Counter()
        self.tasks = []

    def every(self, seconds, task, first=0.0):
        """`task` on a thread of its own, `first` seconds from now and then every `seconds`,
        never two runs at once. The event loop looks at the clock when it wakes anyway."""
        self.tasks.append({"every": seconds, "task": task, "due": time.monotonic() + first,
                           "running": threading.Event()})

    def _run_due(self, now):
        for entry in self.tasks:
            if now < entry["due"] or entry["running"].is_set():
                continue
            entry["due"] = now + entry["every"]
            entry["running"].set()

            def run(entry=entry):
                try:
                    entry["task"]()
                except Exception:
                    traceback.print_exc(file=sys.stderr)
                finally:
                    entry["running"].clear()

            threading.Thread(target=run, name="periodic", daemon=True).start()

    # The event loop.

    def serve_forever(self, poll_interval=0.1):
        try:
            while not self.stopped.is_set():
                now = time.monotonic()
                # At the cap a new client still gets in while a waiting one can make room.
                self._listen(now >= self.paused_until and (
                    self._open() < self.cap or any(self.waiting.values())))
                for key, _ in self.selector.select(poll_interval):
                    if key.fileobj is self.socket:
                        self._accept()
                    elif key.fileobj is self.wake_r:
                        with contextlib.suppress(OSError):
                            self.wake_r.recv(4096)
                    else:
                        self._receive(key.data)
                self._take_returned()
                self._expire(time.monotonic())
                self._run_due(time.monotonic())
        finally:
            self.done.set()

    def _open(self):
        with self.lock:
            busy = self.busy
        return busy + sum(map(len, self.waiting.values()))

    def _listen(self, on):
        if on != self.listening:
            if on:
                self.selector.register(self.socket, selectors.EVENT_READ)
            else:
                self.selector.unregister(self.socket)
            self.listening = on

    def _accept(self):
        for _ in range(64):
            try:
                sock, address = self.socket.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    # Out of descriptors: free one if a waiting client holds it, else rest
                    # rather than spin on a listening socket that stays readable.
                    self.counts["descriptors"] += 1
                    if not self._evict():
                        self.paused_until = time.monotonic() + self.BACKOFF_SECONDS
                        self._listen(False)
                    return
                if error.errno in (errno.ECONNABORTED, errno.EPROTO):
                    continue
                raise
            self.counts["accepted"] += 1
            sock.setblocking(False)
            now = time.monotonic()
            uid = peer_uid(address, self.server_address)
            if uid == UNKNOWN_UID and self._evict():
                uid = peer_uid(address, self.server_address)
            if uid is not None and uid != os.geteuid():
                # Nothing of theirs is read; they get their answer and the line is closed.
                self.counts["foreign"] += 1
                with contextlib.suppress(OSError):
                    sock.send(FORBIDDEN_FOREIGN)
                    sock.shutdown(socket.SHUT_WR)
                self._wait(Connection(sock, address, "refused", now + self.REFUSE_SECONDS))
            else:
                self._wait(Connection(sock, address, "new", now + self.HEAD_SECONDS))
            while self._open() > self.cap and self._evict():
                pass
            # The queue is taken in order even at the cap, each newcomer pushing out the one
            # that waited longest: the window's connection never waits behind a crowd.
            if self._open() >= self.cap and not any(self.waiting.values()):
                return

    def _wait(self, conn):
        self.waiting[conn.kind][conn] = None
        self.selector.register(conn.sock, selectors.EVENT_READ, conn)

    def _abort(self, conn):
        # A reset, not a close: thousands of pushed-out clients would otherwise leave as many
        # TIME_WAIT entries on the loopback ports the window needs for its next connection.
        with contextlib.suppress(OSError):
            conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self._drop(conn)

    def _drop(self, conn):
        del self.waiting[conn.kind][conn]
        self.selector.unregister(conn.sock)
        with contextlib.suppress(OSError):
            conn.sock.close()

    def _evict(self):
        for kind in ("refused", "new", "kept"):
            if self.waiting[kind]:
                self.counts["evicted"] += 1
                self._abort(next(iter(self.waiting[kind])))
                return True
        return False

    def _receive(self, conn):
        if conn not in self.waiting[conn.kind]:
            return  # closed earlier in this round, to make room
        try:
            chunk = conn.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            chunk = b""
        if not chunk:
            self._drop(conn)
            return
        if conn.kind == "refused":
            return
        conn.buffer += chunk
        self._check_head(conn)

    def _check_head(self, conn):
        if head_complete(conn.buffer):
            del self.waiting[conn.kind][conn]
            self.selector.unregister(conn.sock)
            self._dispatch(conn)
        elif len(conn.buffer) > self.HEAD_LIMIT:
            self.counts["oversized"] += 1
            self._drop(conn)

    def _expire(self, now):
        for kind, conns in self.waiting.items():
            while conns:
                conn = next(iter(conns))
                if conn.deadline > now:
                    break
                self.counts["timed-out" if kind == "new" else "idle"] += 1
                (self._abort if kind == "new" else self._drop)(conn)

    def _take_returned(self):
        while self.returned:
            conn = self.returned.popleft()
            conn.kind, conn.deadline = "kept", time.monotonic() + self.KEEP_ALIVE_SECONDS
            self.waiting["kept"][conn] = None
            self.selector.register(conn.sock, selectors.EVENT_READ, conn)
            self._check_head(conn)

    # Workers.

    def _dispatch(self, conn):
        with self.lock:
            self.busy += 1
            start = self.busy > self.workers and self.workers < self.WORKERS
            self.workers += start
        self.ready.put(conn)
        if start:
            threading.Thread(target=self._work, name="http-worker", daemon=True).start()

    def _work(self):
        while (conn := self.ready.get()) is not None:
            kept = False
            try:
                conn.sock.setblocking(True)
                kept = self.handler(conn, conn.address, self).keep and not self.stopped.is_set()
            except Exception:
                if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
                    traceback.print_exc(file=sys.stderr)
            if kept:
                conn.sock.setblocking(False)
                self.returned.append(conn)
            else:
                with contextlib.suppress(OSError):
                    conn.sock.close()
            with self.lock:
                self.busy -= 1
            with contextlib.suppress(OSError):
                self.wake_w.send(b"x")

    # Stopping.

    def shutdown(self):
        self.stopped.set()
        with contextlib.suppress(OSError):
            self.wake_w.send(b"x")
        self.done.wait(5)

    def server_close(self):
        self._listen(False)
        for conns in self.waiting.values():
            for conn in list(conns):
                self._drop(conn)
        for _ in range(self.workers):
            self.ready.put(None)
        self.selector.close()
        for sock in (self.socket, self.wake_r, self.wake_w):
            sock.close()


def bind(port, app, handler):
    try:
        return CatalogServer(port, app, handler)
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            raise StartupError(f"พอร์ต {port} ถูกใช้งานอยู่แล้ว",
                               f"Port {port} is already in use") from None
        if error.errno == errno.EACCES:
            raise StartupError(f"ไม่มีสิทธิ์ใช้พอร์ต {port}",
                               f"Not allowed to use port {port}") from None
        raise StartupError(f"เปิดพอร์ต {port} ไม่ได้ ({error.strerror})",
                           f"Cannot listen on port {port} ({error.strerror})") from None
