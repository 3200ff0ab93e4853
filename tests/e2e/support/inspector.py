# The page as WebKit's remote inspector shows it, over the smallest websocket client that works.

import base64
import contextlib
import http.client
import json
import os
import re
import socket
import struct
import time

from . import wait_until


def _listed_pages(port):
    # http.client rather than urllib, which would honour proxy variables.
    with contextlib.closing(http.client.HTTPConnection("127.0.0.1", port, timeout=2)) as page:
        page.request("GET", "/")
        return re.findall(r"/socket/\d+/\d+/WebPage", page.getresponse().read().decode())


class Inspector:
    # One connection to the page; a page takes one at a time and keeps quiet to a second.

    def __init__(self, port, timeout=30.0):
        path = wait_until(lambda: _listed_pages(port), timeout, 0.1,
                          what=f"a page on the inspector at port {port}")[0]
        deadline = time.monotonic() + timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer, self.target, self.answers, self.last_id = b"", None, {}, 0
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket"
                          f"\r\nConnection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        while b"\r\n\r\n" not in self.buffer:
            self._fill(deadline)
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(f"no websocket: {head[:60]!r}")
        while self.target is None:
            self._pump(deadline)

    def close(self):
        # An empty close frame, masked as a client's must be.
        with contextlib.suppress(OSError):
            self.sock.sendall(b"\x88\x80\0\0\0\0")
        self.sock.close()

    def _fill(self, deadline):
        self.sock.settimeout(max(deadline - time.monotonic(), 0.001))
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("the inspector dropped the connection")
        self.buffer += chunk

    def _frame(self, deadline):
        # The next whole frame's first byte and payload; a partial one stays buffered.
        while True:
            data = self.buffer
            if len(data) >= 2:
                size = {126: 2, 127: 8}.get(data[1] & 0x7F, 0)
                length = int.from_bytes(data[2:2 + size], "big") if size else data[1] & 0x7F
                if len(data) >= 2 + size + length:
                    self.buffer = data[2 + size + length:]
                    return data[0], data[2 + size:2 + size + length]
            self._fill(deadline)

    def _send(self, method, **params):
        self.last_id += 1
        payload, mask = json.dumps({"id": self.last_id, "method": method, "params": params}
                                   ).encode(), os.urandom(4)
        n = len(payload)
        length = b"\xfe" + struct.pack("!H", n) if n < 1 << 16 else b"\xff" + struct.pack("!Q", n)
        self.sock.sendall(b"\x81" + (bytes([0x80 | n]) if n < 126 else length) + mask
                          + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        return self.last_id

    def _pump(self, deadline):
        # The inspector sends each message whole, in one text frame.
        head, payload = self._frame(deadline)
        if head & 0x0F == 0x8:
            raise ConnectionError("the inspector closed the connection")
        message = json.loads(payload) if head & 0x0F == 0x1 else {}
        method, params = message.get("method"), message.get("params", {})
        info = params.get("targetInfo", {})
        if "error" in message:
            self.answers[message["id"]] = message
        elif method == "Target.targetCreated" and info["type"] == "page":
            if not info.get("isProvisional"):
                self.target = info["targetId"]
            if info.get("isPaused"):
                self._send("Target.resume", targetId=info["targetId"])
        elif method == "Target.didCommitProvisionalTarget":
            self.target = params["newTargetId"]
        elif method == "Target.targetDestroyed" and params["targetId"] == self.target:
            self.target = None
        elif method == "Target.dispatchMessageFromTarget" and params["targetId"] == self.target:
            inner = json.loads(params["message"])
            if "id" in inner:
                self.answers[inner["id"]] = inner

    def evaluate(self, expression, timeout=10.0):
        # The expression's value, as JSON carries it. A navigation that swaps the web
        # process replaces the target; the expression then goes once more to the new one.
        deadline = time.monotonic() + timeout
        for _ in range(2):
            while self.target is None:
                self._pump(deadline)
            target = self.target
            inner = self.last_id = self.last_id + 1
            outer = self._send("Target.sendMessageToTarget", targetId=target, message=json.dumps(
                {"id": inner, "method": "Runtime.evaluate",
                 "params": {"expression": expression, "returnByValue": True}}))
            while not {inner, outer} & self.answers.keys() and self.target == target:
                self._pump(deadline)
            if inner in self.answers or self.target == target:
                break
        answer = self.answers.pop(inner, None) or self.answers.pop(outer, {"error": "page gone"})
        result = answer.get("result", {})
        if "error" in answer or result.get("wasThrown"):
            raise RuntimeError(f"{expression!r}: {answer.get('error') or result['result']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0):
        # The expression's value once JavaScript finds it true (a DOM node arrives here as {}).
        probe = f"(() => {{ const value = ({expression}); return [!!value, value]; }})()"
        return wait_until(lambda: self.evaluate(probe, min(5.0, timeout)), timeout, 0.1,
                          what=repr(expression), fatal=(ConnectionError,),
                          accept=lambda seen: seen[0])[1]
