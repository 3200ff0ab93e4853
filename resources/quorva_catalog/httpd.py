"""The HTTP side: the listening server, the guards every request passes, reading request
bodies, and writing responses. What each address does is in routes.py."""

import collections
import contextlib
import email.message
import email.parser
import email.policy
import errno
import hmac
import http.server
import io
import os
import socket
import queue
import selectors
import threading
import time
import struct
import sys
import tempfile
import traceback
import urllib.parse

try:
    import resource
except ImportError:  # not a POSIX system
    resource = None

from .errors import StartupError
from .pages.layout import STATUS_TITLES, message_page

FORM_LIMIT = 64 * 1024
# How long the rest of a refused body is read and thrown away, so the browser sees the
# refusal page, not a reset.
DRAIN_SECONDS = 60

SECURITY_HEADERS = (
    ("Content-Security-Policy",
     "default-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"),
    ("X-Content-Type-Options", "nosniff"),
    ("Referrer-Policy", "same-origin"),
    ("X-Frame-Options", "DENY"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("Cross-Origin-Opener-Policy", "same-origin"),
)


def tcp_address(address, mapped):
    ip, port = address[:2]
    word = "%08X" % struct.unpack("=I", socket.inet_aton(ip))[0]
    return f"{'0000000000000000FFFF0000' if mapped else ''}{word}:{port:04X}"


def proc_peer_uid(peer, local):
    """Owner of the client's end of a loopback connection, from /proc where there is one."""
    # A client on an IPv6 socket reaches 127.0.0.1 as ::ffff:127.0.0.1 and is listed in tcp6.
    for table_path, mapped in (("/proc/net/tcp", False), ("/proc/net/tcp6", True)):
        wanted = (tcp_address(peer, mapped), tcp_address(local, mapped))
        try:
            with open(table_path, encoding="ascii") as table:
                for fields in map(str.split, table):
                    if len(fields) > 7 and (fields[1], fields[2]) == wanted:
                        return int(fields[7])
        except (OSError, ValueError):
            continue
    return None


def diag_peer_uid(peer, local):
    """The same through the kernel's socket diagnostics: one exact lookup instead of reading
    a table that grows with every connection (and every closed one in TIME_WAIT)."""
    sockid = (struct.pack("!HH", peer[1], local[1]) + socket.inet_aton(peer[0]) + bytes(12)
              + socket.inet_aton(local[0]) + bytes(12) + struct.pack("=III", 0, ~0 & 0xFFFFFFFF,
                                                                    ~0 & 0xFFFFFFFF))
    request = struct.pack("=BBBBI", socket.AF_INET, socket.IPPROTO_TCP, 0, 0, 0xFFFFFFFF) + sockid
    # SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST; a v4-mapped IPv6 client is found by its v4 address.
    with socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, 4) as diag:
        diag.settimeout(1)
        diag.send(struct.pack("=IHHII", 16 + len(request), 20, 1, 1, 0) + request)
        reply = diag.recv(8192)
    length, kind = struct.unpack_from("=IH", reply)
    if kind != 20 or length < 16 + 72:
        return None
    return struct.unpack_from("=I", reply, 16 + 64)[0]


UNKNOWN_UID = -1


def peer_uid(peer, local):
    """The client's user; None where the system cannot tell, UNKNOWN_UID where it could but
    the lookup failed (out of descriptors, say), which is refused rather than let through."""
    if hasattr(socket, "AF_NETLINK"):
        try:
            uid = diag_peer_uid(peer, local)
            if uid is not None:
                return uid
        except (OSError, struct.error) as error:
            if getattr(error, "errno", None) in (errno.EMFILE, errno.ENFILE):
                return UNKNOWN_UID
    return proc_peer_uid(peer, local)


def whole_number(text, digits=18):
    """A plain decimal number of at most `digits` digits, or None: never int() on a huge text."""
    text = (text or "").strip()
    if text.isascii() and text.isdigit() and len(text) <= digits:
        return int(text)
    return None


def size_text(limit):
    return f"{limit // (1024 * 1024):,} MB" if limit >= 1024 * 1024 else f"{limit // 1024:,} KB"


class MultipartError(Exception):
    pass


PART_HEAD_LIMIT = 16 * 1024


def parse_multipart(rfile, length, boundary, parts, directory=None):
    """Fills `parts` from a multipart body of `length` bytes read from `rfile`."""
    remaining = length

    def more():
        nonlocal remaining
        if remaining <= 0:
            raise MultipartError("body ends before the closing boundary")
        chunk = rfile.read(min(remaining, 256 * 1024))
        if not chunk:
            raise MultipartError("connection closed")
        remaining -= len(chunk)
        return chunk

    delimiter = b"\r\n--" + boundary
    buffer = bytearray(b"\r\n")
    # Before the first part: a preamble to skip.
    while (found := buffer.find(delimiter)) < 0:
        del buffer[:max(0, len(buffer) - len(delimiter))]
        buffer += more()
    del buffer[:found + len(delimiter)]
    while True:
        while len(buffer) < 2:
            buffer += more()
        if buffer[:2] == b"--":
            break
        while (end := buffer.find(b"\r\n\r\n")) < 0:
            if len(buffer) > PART_HEAD_LIMIT:
                raise MultipartError("part head too long")
            buffer += more()
        head = bytes(buffer[:end])
        del buffer[:end + 4]
        # The head begins with the rest of the boundary's line.
        fields = head.partition(b"\r\n")[2]
        message = email.parser.BytesHeaderParser(policy=email.policy.HTTP).parsebytes(
            fields + b"\r\n\r\n")
        name = message.get_param("name", header="content-disposition")
        name = name if isinstance(name, str) else None
        is_file = message.get_param("filename", header="content-disposition") is not None
        sink = None
        if name and name not in parts:
            sink = tempfile.TemporaryFile(dir=directory) if is_file else io.BytesIO()
            parts[name] = sink
        while True:
            found = buffer.find(delimiter)
            cut = found if found >= 0 else max(0, len(buffer) - len(delimiter))
            if sink is not None and cut:
                sink.write(buffer[:cut])
                if not is_file and sink.tell() > FORM_LIMIT:
                    raise MultipartError("field too long")
            del buffer[:cut]
            if found >= 0:
                del buffer[:len(delimiter)]
                break
            buffer += more()
        if sink is not None and not is_file:
            parts[name] = sink.getvalue()


def close_parts(parts):
    for value in parts.values():
        if not isinstance(value, (bytes, bytearray)):
            with contextlib.suppress(OSError):
                value.close()


class Writer:
    def __init__(self, sock):
        self.sock = sock

    def write(self, data):
        self.sock.sendall(data)
        return len(data)

    def flush(self):
        pass


class Refused(Exception):
    def __init__(self, status, text, headers=()):
        super().__init__(text)
        self.status, self.text, self.headers = status, text, headers


class Handler(http.server.BaseHTTPRequestHandler):
    """Guards and plumbing; a subclass names its pages in `routes`, a list of
    (compiled path pattern, {method: name of the method that answers})."""

    protocol_version = "HTTP/1.1"
    server_version = "catalog"
    timeout = 15
    routes = []

    @property
    def app(self):
        return self.server.app

    def log_message(self, format, *args):
        pass

    def version_string(self):
        return self.server_version

    def setup(self):
        self.connection = self.request.sock
        self.connection.settimeout(self.timeout)
        self.rfile = Reader(self.connection, self.request.buffer)
        self.wfile = Writer(self.connection)
        self.keep = False
        self.unread = 0

    def handle(self):
        # One request per turn: between requests the connection waits in the server's event
        # loop, not on this thread.
        self.close_connection = True
        self.handle_one_request()
        if not self.close_connection:
            self.request.buffer = self.rfile.buffer
            self.keep = True

    def finish(self):
        pass

    def __getattr__(self, name):
        # Every method reaches the routes, which answer 405 or 404 rather than 501.
        if name.startswith("do_"):
            return self.dispatch
        raise AttributeError(name)

    def dispatch(self):
        if not self.app.begin():
            self.close_connection = True
            self.send_page(503, message_page(STATUS_TITLES[503], "กรุณาเปิดโปรแกรมใหม่อีกครั้ง"))
            return
        try:
            self.route()
        except Refused as refusal:
            # Whatever is left of the request body must not be read as the next request.
            self.close_connection = True
            self.send_page(refusal.status,
                           message_page(STATUS_TITLES.get(refusal.status, "ผิดพลาด"), refusal.text),
                           refusal.headers)
            self.discard_unread()
        except (ConnectionError, TimeoutError):
            self.close_connection = True
        except Exception:
            traceback.print_exc(file=sys.stderr)
            self.close_connection = True
            with contextlib.suppress(Exception):
                self.send_page(500, message_page(
                    STATUS_TITLES[500], "โปรดตรวจดูรายการสินค้าก่อนลองทำซ้ำอีกครั้ง"))
        finally:
            self.app.end()

    def route(self):
        self.check_host()
        if not self.path.startswith("/"):
            raise Refused(400, "ที่อยู่ของคำขอไม่ถูกต้อง")
        parts = urllib.parse.urlsplit(self.path)
        method = "GET" if self.command == "HEAD" else self.command
        for pattern, methods in self.routes:
            match = pattern.fullmatch(parts.path)
            if not match:
                continue
            if method not in methods:
                allowed = set(methods) | ({"HEAD"} if "GET" in methods else set())
                allowed = ", ".join(sorted(allowed))
                raise Refused(405, "หน้านี้รับคำขอแบบนี้ไม่ได้", (("Allow", allowed),))
            try:
                self.query = urllib.parse.parse_qs(parts.query, keep_blank_values=True,
                                                   max_num_fields=50)
            except ValueError:
                raise Refused(400, "ที่อยู่ของคำขอมีพารามิเตอร์มากเกินไป") from None
            if method == "POST":
                self.check_origin()
            getattr(self, methods[method])(*match.groups())
            return
        raise Refused(404, "ไม่มีหน้าที่ขอในแคตตาล็อกนี้")

    # Guards.

    def check_host(self):
        hosts = self.headers.get_all("Host") or []
        if len(hosts) != 1 or hosts[0].strip().lower() not in self.app.hosts():
            self.close_connection = True
            raise Refused(421, "คำขอนี้ไม่ได้ส่งมาที่แคตตาล็อกในเครื่องนี้โดยตรง จึงไม่ตอบ")

    def check_origin(self):
        own = "http://" + self.headers["Host"].strip().lower()
        origin = self.headers.get("Origin")
        referer = self.headers.get("Referer")
        if origin is not None:
            allowed = origin.strip().lower() == own
        elif referer is not None:
            referer = referer.strip()
            allowed = referer.lower() == own or referer.lower().startswith(own + "/")
        else:
            allowed = True
        if not allowed:
            raise Refused(403, "ไม่รับคำขอที่ส่งมาจากเว็บไซต์อื่น")

    def check_token(self, value):
        if not hmac.compare_digest(value.encode(), self.app.token.encode()):
            raise Refused(403, "แบบฟอร์มนี้หมดอายุแล้ว (อาจเปิดค้างไว้ก่อนโปรแกรมเริ่มใหม่) "
                               "กรุณาโหลดหน้าใหม่แล้วลองอีกครั้ง")

    # Request bodies.

    def body_length(self, limit, too_large=None):
        """The declared length of the body, once it is known to be within `limit`."""
        if "Transfer-Encoding" in self.headers:
            self.close_connection = True
            raise Refused(411, "ส่งข้อมูลแบบแบ่งส่วนไม่ได้ กรุณาส่งพร้อมความยาวข้อมูล")
        lengths = self.headers.get_all("Content-Length") or []
        text = lengths[0].strip() if len(lengths) == 1 else ""
        if not text.isascii() or not text.isdigit():
            self.close_connection = True
            raise Refused(411 if not lengths else 400, "คำขอไม่ได้ระบุความยาวข้อมูลให้ถูกต้อง")
        length = whole_number(text)
        if length is None or length > limit:
            self.close_connection = True
            self.unread = length or 0
            raise Refused(413, too_large(length) if too_large and length is not None
                          else f"ข้อมูลที่ส่งมาใหญ่เกิน {size_text(limit)}")
        return length

    def discard_unread(self):
        """After a refusal: the rest of the body is read and thrown away, for a while, so a
        client still sending gets to read the answer instead of seeing a reset."""
        remaining, self.unread = self.unread, 0
        deadline = time.monotonic() + DRAIN_SECONDS
        with contextlib.suppress(OSError):
            while remaining > 0 and (left := deadline - time.monotonic()) > 0:
                self.connection.settimeout(min(left, self.timeout))
                chunk = self.rfile.read(min(remaining, 256 * 1024))
                if not chunk:
                    break
                remaining -= len(chunk)

    def read_body(self, limit):
        length = self.body_length(limit)
        body = self.rfile.read(length)
        if len(body) != length:
            self.close_connection = True
            raise Refused(400, "ได้รับข้อมูลไม่ครบ")
        return body

    def read_form(self):
        """A form's fields, first value of each, once its token has been checked."""
        kind = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
        body = self.read_body(FORM_LIMIT)
        if kind != "application/x-www-form-urlencoded":
            raise Refused(400, "รูปแบบข้อมูลของแบบฟอร์มไม่ถูกต้อง")
        try:
            pairs = urllib.parse.parse_qsl(body.decode("utf-8"), keep_blank_values=True,
                                           max_num_fields=50)
        except (UnicodeDecodeError, ValueError):
            raise Refused(400, "อ่านข้อมูลจากแบบฟอร์มไม่ได้") from None
        form = {}
        for key, value in pairs:
            form.setdefault(key, value)
        self.check_token(form.get("token", ""))
        return form

    def read_multipart(self, limit, directory=None, too_large=None):
        """An upload's parts, first of each name: a file part as a temporary file in
        `directory` (rewound, to be closed by the caller through close_parts), any other as
        bytes. The body is streamed: never more than a small buffer of it in memory."""
        kind = self.headers.get("Content-Type") or ""
        length = self.body_length(limit, too_large)
        if kind.split(";")[0].strip().lower() != "multipart/form-data":
            self.close_connection = True
            self.unread = length
            raise Refused(400, "กรุณาส่งไฟล์จากแบบฟอร์ม")
        boundary = email.message.Message()
        boundary["Content-Type"] = kind
        boundary = boundary.get_param("boundary")
        if not isinstance(boundary, str) or not 0 < len(boundary) <= 200:
            self.close_connection = True
            self.unread = length
            raise Refused(400, "อ่านข้อมูลที่ส่งมาไม่ได้")
        parts = {}
        try:
            parse_multipart(self.rfile, length, boundary.encode("latin-1"), parts, directory)
        except (MultipartError, UnicodeError, ValueError):
            close_parts(parts)
            self.close_connection = True
            raise Refused(400, "อ่านข้อมูลที่ส่งมาไม่ได้ "
                               "(ได้รับไม่ครบหรือรูปแบบไม่ถูกต้อง)") from None
        except OSError as error:
            close_parts(parts)
            if error.errno not in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
                raise
            self.close_connection = True
            self.unread = length
            raise Refused(507, "พื้นที่ว่างบนดิสก์ไม่พอสำหรับไฟล์ที่ส่งมา "
                               "กรุณาเพิ่มที่ว่างแล้วลองใหม่") from None
        except BaseException:
            close_parts(parts)
            raise
        for value in parts.values():
            if not isinstance(value, bytes):
                value.seek(0)
        return parts

    def param(self, name, limit=200):
        return (self.query.get(name) or [""])[0][:limit]

    # Responses.

    def send_page(self, status, page, headers=()):
        self.send_body(status, page.encode("utf-8"), "text/html; charset=utf-8", headers)

    def send_body(self, status, body, content_type, headers=()):
        self.start_response(status, content_type, len(body), headers)
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_file(self, handle, content_type, headers=()):
        """A file's contents from where `handle` stands, in pieces."""
        length = os.fstat(handle.fileno()).st_size - handle.tell()
        self.start_response(200, content_type, length, headers)
        while self.command != "HEAD" and (chunk := handle.read(256 * 1024)):
            self.wfile.write(chunk)

    def start_response(self, status, content_type, length, headers):
        self.send_response(status)
        for name, value in (*SECURITY_HEADERS, ("Content-Type", content_type),
                            ("Content-Length", str(length)), ("Cache-Control", "no-store"),
                            *headers):
            self.send_header(name, value)
        if self.app.closing:
            self.close_connection = True
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()

    def redirect(self, location):
        self.send_body(303, b"", "text/plain; charset=utf-8", (("Location", location),))

    def send_error(self, code, message=None, explain=None):
        # What the standard parser refuses is the client's doing: a 4xx, never a 5xx.
        code = 400 if code >= 500 else code
        self.close_connection = True
        # Refused before its version was read: still an answer a client can read.
        self.request_version = self.protocol_version
        title = STATUS_TITLES.get(code, "คำขอไม่ถูกต้อง")
        with contextlib.suppress(Exception):
            self.send_page(code, message_page(title, "เซิร์ฟเวอร์ไม่เข้าใจคำขอนี้"))


class Reader:
    """The request's bytes: what the server already read while waiting for the head, then the
    socket. Unbuffered beyond that, so what is left after a request can be handed back."""

    def __init__(self, sock, buffer):
        self.sock, self.buffer = sock, bytearray(buffer)

    def _fill(self):
        chunk = self.sock.recv(65536)
        self.buffer += chunk
        return bool(chunk)

    def readline(self, limit=-1):
        start = 0
        while True:
            end = self.buffer.find(b"\n", start)
            if end >= 0 and (limit < 0 or end < limit):
                return self._take(end + 1)
            if 0 <= limit <= len(self.buffer):
                return self._take(limit)
            start = len(self.buffer)
            if not self._fill():
                return self._take(len(self.buffer))

    def read(self, size=-1):
        while (size < 0 or len(self.buffer) < size) and self._fill():
            pass
        return self._take(len(self.buffer) if size < 0 else min(size, len(self.buffer)))

    def _take(self, size):
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data

    def close(self):
        pass


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
