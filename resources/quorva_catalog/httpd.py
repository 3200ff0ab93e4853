"""Requests: the guards every request passes (Host, Origin, token), reading request
bodies (forms, streamed uploads, the rest of a refused one discarded), and writing
responses. What each address does is in routes/; the connections are held in server.py."""

import contextlib
import errno
import hmac
import http.server
import os
import sys
import time
import traceback
import urllib.parse

from .catalog.errors import Unavailable
from .multipart import MultipartError, boundary_of, close_parts, parse_multipart
from .pages.layout import STATUS_TITLES, message_page
from .pages.updating import RETRY_SECONDS, outage_page

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


def whole_number(text, digits=18):
    """A plain decimal number of at most `digits` digits, or None: never int() on a huge text."""
    text = (text or "").strip()
    if text.isascii() and text.isdigit() and len(text) <= digits:
        return int(text)
    return None


def size_text(limit):
    return f"{limit // (1024 * 1024):,} MB" if limit >= 1024 * 1024 else f"{limit // 1024:,} KB"


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
        except Unavailable as outage:
            self.close_connection = True
            with contextlib.suppress(Exception):
                self.send_outage(outage)
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
        boundary = boundary_of(kind)
        if boundary is None:
            self.close_connection = True
            self.unread = length
            raise Refused(400, "อ่านข้อมูลที่ส่งมาไม่ได้")
        parts = {}
        try:
            parse_multipart(self.rfile, length, boundary.encode("latin-1"), parts, FORM_LIMIT,
                            directory)
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

    def send_outage(self, outage):
        self.send_page(503, outage_page(outage.thai, self.app.where),
                       (("Retry-After", str(RETRY_SECONDS)),))

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

