import base64
import collections
import hashlib
import html
import http.client
import json
import os
import re
import socket
import struct
import time

from .wait import WaitTimeout, wait_until

_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA


class WebSocketError(Exception):
    pass


class WebSocketClosed(WebSocketError):
    def __init__(self, code=None, reason=""):
        super().__init__(f"websocket closed (code {code}, reason {reason!r})")
        self.code = code
        self.reason = reason


def accept_key(key):
    digest = hashlib.sha1((key + _GUID).encode("ascii")).digest()
    return base64.b64encode(digest).decode("ascii")


def apply_mask(key, data):
    if not data:
        return b""
    n = len(data)
    repeated = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "big") ^ int.from_bytes(repeated, "big")).to_bytes(n, "big")


def encode_frame(opcode, payload, fin=True, mask=True):
    head = bytearray([(0x80 if fin else 0) | opcode])
    mask_bit = 0x80 if mask else 0
    n = len(payload)
    if n < 126:
        head.append(mask_bit | n)
    elif n < 1 << 16:
        head.append(mask_bit | 126)
        head += struct.pack("!H", n)
    else:
        head.append(mask_bit | 127)
        head += struct.pack("!Q", n)
    if not mask:
        return bytes(head) + payload
    key = os.urandom(4)
    return bytes(head) + key + apply_mask(key, payload)


class WebSocket:
    """Blocking client; a receive that times out loses nothing, so callers may poll."""

    def __init__(self, sock, leftover=b""):
        self._sock = sock
        self._buffer = bytearray(leftover)
        self._fragments = None
        self._fragment_opcode = None
        self.closed = False
        self.close_code = None
        self.pongs = collections.deque(maxlen=16)

    @classmethod
    def connect(cls, host, port, path, timeout=10.0):
        deadline = time.monotonic() + timeout
        sock = socket.create_connection((host, port), timeout=timeout)
        try:
            key = base64.b64encode(os.urandom(16)).decode("ascii")
            request = (
                f"GET {path} HTTP/1.1\r\n"
                f"Host: {host}:{port}\r\n"
                "Upgrade: websocket\r\n"
                "Connection: Upgrade\r\n"
                f"Sec-WebSocket-Key: {key}\r\n"
                "Sec-WebSocket-Version: 13\r\n"
                "\r\n"
            )
            sock.sendall(request.encode("ascii"))
            response = bytearray()
            while b"\r\n\r\n" not in response:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise WebSocketError(f"no handshake answer from {host}:{port}{path}")
                sock.settimeout(remaining)
                chunk = sock.recv(4096)
                if not chunk:
                    raise WebSocketError(f"connection closed during handshake: {bytes(response)!r}")
                response += chunk
            head, _, rest = bytes(response).partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            if not re.match(r"HTTP/1\.1 101\b", lines[0]):
                raise WebSocketError(f"handshake refused: {lines[0]!r}")
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            if headers.get("sec-websocket-accept") != accept_key(key):
                raise WebSocketError(f"bad Sec-WebSocket-Accept: {headers!r}")
            return cls(sock, rest)
        except BaseException:
            sock.close()
            raise

    def _send(self, opcode, payload, fin=True):
        if self.closed:
            raise WebSocketClosed(self.close_code)
        self._sock.settimeout(10.0)
        self._sock.sendall(encode_frame(opcode, payload, fin=fin))

    def send_text(self, text, fragment_size=None):
        self._send_message(OP_TEXT, text.encode("utf-8"), fragment_size)


    def _send_message(self, opcode, payload, fragment_size):
        if not fragment_size or len(payload) <= fragment_size:
            self._send(opcode, payload)
            return
        pieces = [payload[i:i + fragment_size] for i in range(0, len(payload), fragment_size)]
        for index, piece in enumerate(pieces):
            self._send(opcode if index == 0 else OP_CONTINUATION, piece, fin=index == len(pieces) - 1)


    def _fill(self, deadline):
        remaining = None if deadline is None else deadline - time.monotonic()
        if remaining is not None and remaining <= 0:
            raise TimeoutError("websocket receive timed out")
        self._sock.settimeout(remaining)
        try:
            chunk = self._sock.recv(65536)
        except socket.timeout:
            raise TimeoutError("websocket receive timed out") from None
        if not chunk:
            self.closed = True
            raise WebSocketClosed(self.close_code, "connection dropped")
        self._buffer += chunk

    def _frame(self, deadline):
        while True:
            buf = self._buffer
            if len(buf) >= 2:
                fin = bool(buf[0] & 0x80)
                opcode = buf[0] & 0x0F
                masked = bool(buf[1] & 0x80)
                length = buf[1] & 0x7F
                offset = 2
                if length == 126 and len(buf) >= 4:
                    length = struct.unpack_from("!H", buf, 2)[0]
                    offset = 4
                elif length == 127 and len(buf) >= 10:
                    length = struct.unpack_from("!Q", buf, 2)[0]
                    offset = 10
                if length < 126 or offset > 2:
                    key_end = offset + (4 if masked else 0)
                    end = key_end + length
                    if len(buf) >= end:
                        payload = bytes(buf[key_end:end])
                        if masked:
                            payload = apply_mask(bytes(buf[offset:key_end]), payload)
                        del buf[:end]
                        return fin, opcode, payload
            self._fill(deadline)

    def recv(self, timeout=None):
        """Next whole message: str for text, bytes for binary.

        Pings are answered here; a close from the peer is echoed and raised
        as WebSocketClosed.
        """
        if self.closed:
            raise WebSocketClosed(self.close_code)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            fin, opcode, payload = self._frame(deadline)
            if opcode == OP_PING:
                self._send(OP_PONG, payload)
                continue
            if opcode == OP_PONG:
                self.pongs.append(payload)
                continue
            if opcode == OP_CLOSE:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None
                reason = payload[2:].decode("utf-8", "replace")
                try:
                    self._send(OP_CLOSE, payload[:2])
                except OSError:
                    pass
                self.closed = True
                self.close_code = code
                self._sock.close()
                raise WebSocketClosed(code, reason)
            if opcode == OP_CONTINUATION:
                if self._fragments is None:
                    raise WebSocketError("continuation frame without a message to continue")
                self._fragments.append(payload)
            elif opcode in (OP_TEXT, OP_BINARY):
                if self._fragments is not None:
                    raise WebSocketError("new message started inside a fragmented one")
                self._fragments = [payload]
                self._fragment_opcode = opcode
            else:
                raise WebSocketError(f"unknown opcode {opcode:#x}")
            if not fin:
                continue
            data = b"".join(self._fragments)
            opcode = self._fragment_opcode
            self._fragments = None
            self._fragment_opcode = None
            return data.decode("utf-8") if opcode == OP_TEXT else data

    def close(self, code=1000, reason="", timeout=2.0):
        if self.closed:
            return
        try:
            self._send(OP_CLOSE, struct.pack("!H", code) + reason.encode("utf-8"))
            deadline = time.monotonic() + timeout
            while True:
                fin, opcode, payload = self._frame(deadline)
                if opcode == OP_CLOSE:
                    break
        except (OSError, TimeoutError, WebSocketError):
            pass
        finally:
            self.closed = True
            self.close_code = code
            self._sock.close()


class InspectorError(Exception):
    pass


class JavaScriptError(InspectorError):
    pass


class TargetSwapped(InspectorError):
    pass


_TARGET_PATH = re.compile(r"/socket/\d+/\d+/WebPage")
_TARGET_ROW = re.compile(
    r'<div class="targetname">(.*?)</div><div class="targeturl">(.*?)</div>.*?(/socket/\d+/\d+/WebPage)',
    re.S,
)


def list_targets(port, host="127.0.0.1", timeout=2.0):
    """[(title, url, websocket_path)] from the inspector server's HTML list.

    http.client rather than urllib: urllib would honour proxy variables.
    """
    connection = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        connection.request("GET", "/")
        response = connection.getresponse()
        body = response.read().decode("utf-8", "replace")
    finally:
        connection.close()
    if response.status != 200:
        raise InspectorError(f"inspector list answered {response.status}")
    rows = [(html.unescape(title), html.unescape(url), path) for title, url, path in _TARGET_ROW.findall(body)]
    if not rows:
        rows = [("", "", path) for path in _TARGET_PATH.findall(body)]
    return rows


class Inspector:
    """One connection to a page's inspector; a page accepts only one at a time."""

    def __init__(self, ws, host, port, path):
        self._ws = ws
        self.host = host
        self.port = port
        self.path = path
        self.target_id = None
        self.provisional = set()
        self.swaps = 0
        self.events = collections.deque(maxlen=2000)
        self._outer_id = 0
        self._inner_id = 0
        self._answers = {}
        self._outer_errors = {}

    @classmethod
    def connect(cls, port, timeout=30.0, host="127.0.0.1"):
        deadline = time.monotonic() + timeout

        def page_listed():
            rows = list_targets(port, host, timeout=1.0)
            return rows[0][2] if rows else None

        path = wait_until(page_listed, timeout, interval=0.1,
                          what=f"a WebPage target on the inspector at {host}:{port}")
        ws = WebSocket.connect(host, port, path, max(1.0, deadline - time.monotonic()))
        inspector = cls(ws, host, port, path)
        try:
            inspector._await_target(max(0.5, deadline - time.monotonic()))
        except BaseException:
            ws.close()
            raise
        return inspector

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._ws.close()

    def _send_outer(self, method, params):
        self._outer_id += 1
        self._ws.send_text(json.dumps({"id": self._outer_id, "method": method, "params": params}))
        return self._outer_id

    def _pump(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("no inspector message in time")
        message = json.loads(self._ws.recv(remaining))
        method = message.get("method")
        params = message.get("params", {})
        if "id" in message:
            if "error" in message:
                self._outer_errors[message["id"]] = message["error"]
            return
        if method == "Target.targetCreated":
            info = params.get("targetInfo", {})
            if info.get("type") != "page":
                return
            if info.get("isProvisional"):
                self.provisional.add(info["targetId"])
            else:
                self._switch(info["targetId"])
            if info.get("isPaused"):
                self._send_outer("Target.resume", {"targetId": info["targetId"]})
        elif method == "Target.didCommitProvisionalTarget":
            self.provisional.discard(params.get("newTargetId"))
            self._switch(params.get("newTargetId"))
        elif method == "Target.targetDestroyed":
            self.provisional.discard(params.get("targetId"))
            if params.get("targetId") == self.target_id:
                self.target_id = None
                self.swaps += 1
        elif method == "Target.dispatchMessageFromTarget":
            if params.get("targetId") != self.target_id:
                return
            inner = json.loads(params["message"])
            if "id" in inner:
                self._answers[inner["id"]] = inner
            else:
                self.events.append((params["targetId"], inner.get("method"), inner.get("params", {})))

    def _switch(self, target_id):
        if target_id and target_id != self.target_id:
            if self.target_id is not None:
                self.swaps += 1
            self.target_id = target_id

    def _await_target(self, timeout):
        deadline = time.monotonic() + timeout
        while self.target_id is None:
            try:
                self._pump(deadline)
            except TimeoutError:
                # A page keeps quiet towards a second connection while a first one is open.
                raise InspectorError(
                    f"no page target announced within {timeout:.1f}s on {self.host}:{self.port}{self.path}"
                    " (is another inspector still connected?)"
                ) from None

    def call(self, method, params=None, timeout=10.0):
        """Send a command to the current page target and return its result."""
        deadline = time.monotonic() + timeout
        self._await_target(max(0.1, deadline - time.monotonic()))
        target = self.target_id
        self._inner_id += 1
        inner_id = self._inner_id
        inner = json.dumps({"id": inner_id, "method": method, "params": params or {}})
        outer_id = self._send_outer("Target.sendMessageToTarget", {"targetId": target, "message": inner})
        while inner_id not in self._answers:
            if outer_id in self._outer_errors:
                error = self._outer_errors.pop(outer_id)
                if self.target_id != target:
                    raise TargetSwapped(f"target {target} went away: {error}")
                raise InspectorError(f"{method}: {error}")
            if self.target_id != target:
                raise TargetSwapped(f"target {target} replaced by {self.target_id} during {method}")
            try:
                self._pump(deadline)
            except TimeoutError:
                raise InspectorError(f"{method} got no answer within {timeout:.1f}s") from None
        answer = self._answers.pop(inner_id)
        if "error" in answer:
            raise InspectorError(f"{method}: {answer['error'].get('message', answer['error'])}")
        return answer.get("result", {})

    def evaluate(self, expression, timeout=10.0, await_promise=False):
        """Value of a JavaScript expression in the page, as JSON would carry it.

        A navigation that swaps the web process replaces the target; the
        expression is then sent once more to the new one.
        """
        deadline = time.monotonic() + timeout
        try:
            return self._evaluate_once(expression, timeout, await_promise)
        except TargetSwapped:
            return self._evaluate_once(expression, max(0.1, deadline - time.monotonic()), await_promise)

    def _evaluate_once(self, expression, timeout, await_promise):
        deadline = time.monotonic() + timeout
        if not await_promise:
            result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, timeout)
            return self._unwrap(expression, result)
        # Runtime.evaluate ignores awaitPromise here; Runtime.awaitPromise does the waiting.
        wrapped = f"Promise.resolve(({expression}))"
        result = self.call("Runtime.evaluate", {"expression": wrapped}, timeout)
        promise = self._unwrap_object(expression, result)
        result = self.call("Runtime.awaitPromise",
                           {"promiseObjectId": promise, "returnByValue": True},
                           max(0.1, deadline - time.monotonic()))
        return self._unwrap(expression, result)

    @staticmethod
    def _unwrap(expression, result):
        value = result.get("result", {})
        if result.get("wasThrown"):
            raise JavaScriptError(f"{expression!r} threw: {value.get('description', value)}")
        return value.get("value")

    @staticmethod
    def _unwrap_object(expression, result):
        value = result.get("result", {})
        if result.get("wasThrown"):
            raise JavaScriptError(f"{expression!r} threw: {value.get('description', value)}")
        return value["objectId"]

    def location(self, timeout=10.0):
        return self.evaluate("document.location.href", timeout)


    def wait_for(self, expression, timeout=10.0, interval=0.1):
        """Poll until the expression is truthy in JavaScript; its value is returned.

        Truthiness is judged in the page: a DOM node arrives here as {},
        which Python would call false.
        """
        deadline = time.monotonic() + timeout
        probe = f"(() => {{ const value = ({expression}); return [!!value, value]; }})()"
        last = []

        def truthy():
            ok, value = self.evaluate(probe, max(0.5, min(5.0, deadline - time.monotonic())))
            last[:] = [value]
            return (value,) if ok else None

        try:
            return wait_until(truthy, timeout, interval, what=repr(expression), fatal=(WebSocketClosed,))[0]
        except WaitTimeout as timeout_error:
            if last and timeout_error.last_error is None:
                raise WaitTimeout(f"timed out after {timeout:.1f}s waiting for {expression!r}"
                                  f" (last value {last[0]!r})", last[0]) from None
            raise


__all__ = [
    "Inspector",
    "InspectorError",
    "JavaScriptError",
    "TargetSwapped",
    "WaitTimeout",
    "WebSocket",
    "WebSocketClosed",
    "WebSocketError",
    "list_targets",
]
