import base64
import hashlib
import json
import os
import queue
import socket
import struct
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from support.inspector import Inspector, JavaScriptError, WebSocket, list_targets  # noqa: E402
from support.wait import WaitTimeout, wait_until  # noqa: E402

TARGET_LIST = (
    "<html><body><table><tbody><tr><td class=\"data\"><div class=\"targetname\">Start</div>"
    "<div class=\"targeturl\">about:blank</div></td><td class=\"input\"><input type=\"button\""
    " value=\"Inspect\" onclick=\"window.open('Main.html?ws=' + window.location.host +"
    " '/socket/1/1/WebPage', '_blank');\"></td></tr></tbody></table></body></html>"
)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("peer went away")
        data += chunk
    return data


class Peer:
    """The server side, written independently of the client under test."""

    def __init__(self, sock):
        self.sock = sock

    def read_frame(self):
        head = recv_exact(self.sock, 2)
        if not head[1] & 0x80:
            raise AssertionError("client frame not masked")
        n = head[1] & 0x7F
        if n == 126:
            n = struct.unpack("!H", recv_exact(self.sock, 2))[0]
        elif n == 127:
            n = struct.unpack("!Q", recv_exact(self.sock, 8))[0]
        key = recv_exact(self.sock, 4)
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(recv_exact(self.sock, n)))
        return bool(head[0] & 0x80), head[0] & 0x0F, payload

    def read_message(self):
        parts, kind = [], None
        while True:
            fin, opcode, payload = self.read_frame()
            if opcode >= 0x8:
                return opcode, payload
            kind = kind or opcode
            parts.append(payload)
            if fin:
                return kind, b"".join(parts)

    def write(self, opcode, payload, fin=True):
        n = len(payload)
        if n < 126:
            head = struct.pack("!BB", (0x80 if fin else 0) | opcode, n)
        elif n < 65536:
            head = struct.pack("!BBH", (0x80 if fin else 0) | opcode, 126, n)
        else:
            head = struct.pack("!BBQ", (0x80 if fin else 0) | opcode, 127, n)
        self.sock.sendall(head + payload)

    def send_json(self, message):
        self.write(0x1, json.dumps(message).encode())


class Server:
    def __init__(self, handler):
        self.handler = handler
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.errors = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._one, args=(conn,), daemon=True).start()

    def _one(self, conn):
        conn.settimeout(10)
        try:
            request = b""
            while b"\r\n\r\n" not in request:
                request += conn.recv(4096)
            headers = dict(
                (k.strip().lower(), v.strip())
                for k, _, v in (line.partition(":") for line in request.decode().split("\r\n")[1:] if line)
            )
            if "sec-websocket-key" not in headers:
                body = TARGET_LIST.encode()
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
                return
            digest = hashlib.sha1((headers["sec-websocket-key"] + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode())
            conn.sendall(
                b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                b"Sec-WebSocket-Accept: " + base64.b64encode(digest.digest()) + b"\r\n\r\n"
            )
            self.handler(Peer(conn))
        except Exception as error:
            self.errors.append(error)
        finally:
            conn.close()

    def close(self):
        self.listener.close()


class WebSocketFraming(unittest.TestCase):
    def test_echo_fragments_ping_and_close(self):
        pongs = queue.Queue()
        close_codes = queue.Queue()

        def echo(peer):
            while True:
                opcode, payload = peer.read_message()
                if opcode == 0x8:
                    close_codes.put(struct.unpack("!H", payload[:2])[0])
                    peer.write(0x8, payload[:2])
                    return
                if opcode == 0xA:
                    pongs.put(payload)
                elif payload == b"fragment-me":
                    peer.write(0x1, b"frag", fin=False)
                    peer.write(0x9, b"are you there")
                    peer.write(0x0, "mént".encode(), fin=False)
                    peer.write(0x0, b"ed")
                else:
                    peer.write(opcode, payload)

        server = Server(echo)
        self.addCleanup(server.close)
        ws = WebSocket.connect("127.0.0.1", server.port, "/echo", timeout=5)
        for text in ("hello", "ก" * 100, "x" * 70000):
            ws.send_text(text)
            self.assertEqual(ws.recv(5), text)
        ws.send_text("é" * 301, fragment_size=50)
        self.assertEqual(ws.recv(5), "é" * 301)
        ws.send_binary(bytes(range(256)))
        self.assertEqual(ws.recv(5), bytes(range(256)))
        ws.send_text("fragment-me")
        self.assertEqual(ws.recv(5), "fragménted")
        self.assertEqual(pongs.get(timeout=5), b"are you there")
        with self.assertRaises(TimeoutError):
            ws.recv(0.2)
        ws.close()
        self.assertEqual(close_codes.get(timeout=5), 1000)
        self.assertEqual(server.errors, [])


class InspectorProtocol(unittest.TestCase):
    def test_evaluate_follows_a_process_swap(self):
        def page(peer):
            current = "page-1"
            peer.send_json({"method": "Target.targetCreated",
                            "params": {"targetInfo": {"targetId": current, "type": "page"}}})
            while True:
                opcode, payload = peer.read_message()
                if opcode == 0x8:
                    peer.write(0x8, payload[:2])
                    return
                outer = json.loads(payload)
                peer.send_json({"id": outer["id"], "result": {}})
                inner = json.loads(outer["params"]["message"])
                expression = inner["params"]["expression"]
                answer = {"result": {"type": "string", "value": f"{expression} on {current}"}, "wasThrown": False}
                if expression == "navigate" and current == "page-1":
                    peer.send_json({"method": "Target.targetCreated", "params": {
                        "targetInfo": {"targetId": "page-2", "type": "page", "isProvisional": True}}})
                    peer.send_json({"method": "Target.didCommitProvisionalTarget",
                                    "params": {"oldTargetId": "page-1", "newTargetId": "page-2"}})
                    peer.send_json({"method": "Target.targetDestroyed", "params": {"targetId": "page-1"}})
                    current = "page-2"
                    continue
                if expression == "boom":
                    answer = {"result": {"type": "object", "description": "ReferenceError: boom"}, "wasThrown": True}
                peer.send_json({"method": "Target.dispatchMessageFromTarget", "params": {
                    "targetId": current, "message": json.dumps({"id": inner["id"], "result": answer})}})

        server = Server(page)
        self.addCleanup(server.close)
        self.assertEqual(list_targets(server.port), [("Start", "about:blank", "/socket/1/1/WebPage")])
        with Inspector.connect(server.port, timeout=5) as inspector:
            self.assertEqual(inspector.location(), "document.location.href on page-1")
            self.assertEqual(inspector.evaluate("navigate"), "navigate on page-2")
            self.assertEqual((inspector.target_id, inspector.swaps), ("page-2", 1))
            with self.assertRaisesRegex(JavaScriptError, "ReferenceError: boom"):
                inspector.evaluate("boom")
        self.assertEqual(server.errors, [])


class Waiting(unittest.TestCase):
    def test_timeout_reports_what_was_seen(self):
        with self.assertRaisesRegex(WaitTimeout, r"waiting for a list \(last value \[\]\)"):
            wait_until(lambda: [], 0.2, 0.01, what="a list")

        def failing():
            raise ValueError("nope")

        with self.assertRaisesRegex(WaitTimeout, "last error ValueError: nope"):
            wait_until(failing, 0.2, 0.01)


if __name__ == "__main__":
    unittest.main()
