"""The HTTP side: the listening server, the guards every request passes, reading request
bodies, and writing responses. What each address does is in routes.py."""

import contextlib
import email.parser
import email.policy
import errno
import hmac
import http.server
import os
import socket
import socketserver
import struct
import sys
import traceback
import urllib.parse

from .errors import StartupError
from .pages.layout import STATUS_TITLES, message_page

FORM_LIMIT = 64 * 1024
# A body this large is read and thrown away so the browser sees the 413 page, not a reset.
DRAIN_LIMIT = 32 * 1024 * 1024

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


def peer_uid(peer, local):
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
        super().setup()
        uid = peer_uid(self.client_address, self.connection.getsockname())
        self.foreign = uid is not None and uid != os.geteuid()

    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

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
        if self.foreign:
            raise Refused(403, "แคตตาล็อกนี้เปิดให้เฉพาะผู้ใช้ที่เปิดโปรแกรมเท่านั้น")
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
            self.query = urllib.parse.parse_qs(parts.query, keep_blank_values=True,
                                               max_num_fields=50)
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

    def read_body(self, limit):
        if "Transfer-Encoding" in self.headers:
            self.close_connection = True
            raise Refused(411, "ส่งข้อมูลแบบแบ่งส่วนไม่ได้ กรุณาส่งพร้อมความยาวข้อมูล")
        text = (self.headers.get("Content-Length") or "").strip()
        if not text.isascii() or not text.isdigit():
            self.close_connection = True
            raise Refused(411, "คำขอไม่ได้ระบุความยาวข้อมูล")
        length = int(text)
        if length > limit:
            self.close_connection = True
            if length <= DRAIN_LIMIT:
                remaining = length
                while remaining > 0:
                    chunk = self.rfile.read(min(remaining, 65536))
                    if not chunk:
                        break
                    remaining -= len(chunk)
            raise Refused(413, f"ข้อมูลที่ส่งมาใหญ่เกิน {limit // 1024:,} KB")
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

    def read_multipart(self, limit):
        """An upload's parts as {name: bytes}, first of each; the caller checks the token."""
        kind = self.headers.get("Content-Type") or ""
        body = self.read_body(limit)
        if kind.split(";")[0].strip().lower() != "multipart/form-data":
            raise Refused(400, "กรุณาส่งไฟล์จากแบบฟอร์มนำเข้า")
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + kind.encode("latin-1") + b"\r\n\r\n" + body)
        parts = {}
        if message.is_multipart():
            for part in message.iter_parts():
                name = part.get_param("name", header="content-disposition")
                if name and name not in parts:
                    parts[name] = part.get_payload(decode=True) or b""
        return parts

    def param(self, name, limit=200):
        return (self.query.get(name) or [""])[0][:limit]

    # Responses.

    def send_page(self, status, page, headers=()):
        self.send_body(status, page.encode("utf-8"), "text/html; charset=utf-8", headers)

    def send_body(self, status, body, content_type, headers=()):
        self.send_response(status)
        for name, value in SECURITY_HEADERS:
            self.send_header(name, value)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        if self.app.closing:
            self.close_connection = True
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def redirect(self, location):
        self.send_body(303, b"", "text/plain; charset=utf-8", (("Location", location),))

    def send_error(self, code, message=None, explain=None):
        self.close_connection = True
        title = STATUS_TITLES.get(code, "คำขอไม่ถูกต้อง")
        with contextlib.suppress(Exception):
            self.send_page(code, message_page(title, "เซิร์ฟเวอร์ไม่เข้าใจคำขอนี้"))


class CatalogServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, port, app, handler):
        self.app = app
        super().__init__(("127.0.0.1", port), handler)

    def server_bind(self):
        # The base class looks up the host's name, which can stall on a broken resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = "127.0.0.1", self.server_address[1]

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


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
