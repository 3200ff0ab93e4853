import collections
import contextlib
import os
import random
import resource
import selectors
import socket
import statistics
import sys
import threading
import time
import unittest
import urllib.parse

from harness import ServerTestCase, wait_until

HUGE = "9" * 5000
FUZZ_SECONDS = float(os.environ.get("CATALOG_FUZZ_SECONDS", "20"))
FUZZ_SEED = int(os.environ.get("CATALOG_FUZZ_SEED", "20261207"))


def exchange(port, data, timeout=15):
    """Sends raw bytes, ends the sending side, gives the status (None if closed unanswered)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as raw:
        try:
            raw.sendall(data)
            raw.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        reply = raw.makefile("rb")
        try:
            line = reply.readline(200)
            while line.startswith(b"HTTP/1.1 100 "):
                while reply.readline(200) not in (b"\r\n", b""):
                    pass
                line = reply.readline(200)
        except ConnectionError:
            return None
    return int(line.split()[1]) if line.startswith(b"HTTP/1.") else None


def request(client, method, target, headers=(), body=b"", content_length=True):
    lines = [f"{method} {target} HTTP/1.1", f"Host: {client.host}", f"Origin: {client.origin}",
             *headers]
    if content_length:
        lines.append(f"Content-Length: {len(body)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8", "surrogateescape") + body


def multipart(token, data, name="file"):
    return (b"--b\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n" + token.encode()
            + b"\r\n--b\r\nContent-Disposition: form-data; name=\"" + name.encode()
            + b"\"; filename=\"f\"\r\n\r\n" + data + b"\r\n--b--\r\n")


class ClientInputTest(ServerTestCase):
    def test_what_a_client_sends_never_gets_a_5xx(self):
        server = self.start()
        client = server.client
        token = client.token()
        form = "application/x-www-form-urlencoded"
        item = {"token": token, "code": "X", "name": "x", "price": "1", "quantity": "1"}
        self.assertEqual(client.post("/items/new", {k: v for k, v in item.items()
                                                    if k != "token"}).status, 303)
        cases = [
            ("5,000-digit length", request(client, "POST", "/items/new",
                                           [f"Content-Length: {HUGE}"], content_length=False),
             413),
            ("negative length", request(client, "POST", "/items/new", ["Content-Length: -1"],
                                        content_length=False), 400),
            ("two lengths", request(client, "POST", "/items/new", ["Content-Length: 1"]), 400),
            ("60 query parameters", request(client, "GET", "/?" + "&".join(
                f"p{n}=1" for n in range(60))), 400),
            ("5,000-digit price", request(client, "POST", "/items/new", [f"Content-Type: {form}"],
                                          urllib.parse.urlencode({**item, "code": "Y",
                                                                  "price": HUGE}).encode()), 422),
            ("5,000-digit revision", request(client, "POST", "/items/1/edit",
                                             [f"Content-Type: {form}"], urllib.parse.urlencode(
                                                 {**item, "note": "อื่น", "revision": HUGE}).encode()), 409),
            ("5,000-digit price in a CSV", request(
                client, "POST", "/import", ["Content-Type: multipart/form-data; boundary=b"],
                multipart(token, f"code,name,price\nZ,z,{HUGE}\n".encode())), 422),
            ("5,000-digit page", request(client, "GET", f"/?page={HUGE}"), 200),
            ("unknown method", request(client, "BREW", "/"), 405),
            ("unknown method elsewhere", request(client, "DELETE", "/items/1"), 404),
            ("HTTP/2.0", b"GET / HTTP/2.0\r\n\r\n", 400),
            ("HTTP/1.99999999999", b"GET / HTTP/1.99999999999\r\n\r\n", 421),
            ("101 headers", request(client, "GET", "/", [f"X-{n}: 1" for n in range(101)]), 431),
            ("multipart without boundary", request(
                client, "POST", "/import", ["Content-Type: multipart/form-data"], b"x"), 400),
            ("cut multipart", request(client, "POST", "/import",
                                      ["Content-Type: multipart/form-data; boundary=b"],
                                      multipart(token, b"code\n")[:-12]), 400),
            ("a body shorter than its length", request(
                client, "POST", "/items/new", [f"Content-Type: {form}", "Content-Length: 99"],
                b"token=", content_length=False), 400),
        ]
        for name, data, status in cases:
            with self.subTest(name):
                self.assertEqual(exchange(client.port, data), status)
        self.assertEqual(client.items(), {"X": 1})
        self.assertEqual(server.stderr(), "")

    def test_fuzzed_requests_get_a_4xx_or_a_close_and_no_traceback(self):
        server = self.start()
        client = server.client
        token = client.token()
        rng = random.Random(FUZZ_SEED)
        paths = ["/", "/items/new", "/items/1/edit", "/items/1/delete", "/import",
                 "/export.csv", "/backups", "/backups/restore", "/backups/upload",
                 "/style.css", "/nothing", "*", "http://evil/", "//x", "/%ff%fe", "/?q=%00",
                 "/?" + "&".join(f"a{n}=b" for n in range(60)), "/?page=" + HUGE,
                 "/items/99999999999999999999/edit", "/" + "x" * 70000]
        methods = ["GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "CONNECT", "G\x00T", "",
                   "get", "POST POST"]
        values = ["1", "-1", HUGE, "", "1.5", "١٢", "๓๐", "1e9", "0x10", "\u0000", "'; --",
                  "<script>", "ก" * 3000]

        def body():
            kind = rng.randrange(5)
            if kind == 0:
                return "Content-Type: application/x-www-form-urlencoded", urllib.parse.urlencode(
                    {"token": rng.choice([token, "x"]), "code": rng.choice(values),
                     "name": rng.choice(values), "price": rng.choice(values),
                     "quantity": rng.choice(values), "revision": rng.choice(values),
                     "name ": "x"}).encode()
            if kind == 1:
                csv = "code,name,price,quantity\n" + "\n".join(
                    ",".join(rng.choice(values) for _ in range(4)) for _ in range(5))
                data = multipart(rng.choice([token, "x"]), csv.encode())
                return ("Content-Type: multipart/form-data; boundary=b",
                        data[:rng.randrange(len(data) + 1)] if rng.random() < 0.3 else data)
            if kind == 2:
                return (f"Content-Type: multipart/form-data; boundary={rng.choice(values)}",
                        rng.randbytes(rng.randrange(300)))
            return f"Content-Type: {rng.choice(values)}", rng.randbytes(rng.randrange(2000))

        def junk_request():
            content_type, data = body()
            headers = [content_type]
            length = True
            for _ in range(rng.randrange(4)):
                headers.append(rng.choice([
                    f"Content-Length: {rng.choice(values)}", "Transfer-Encoding: chunked",
                    f"Host: {rng.choice(values)}", f"Origin: {rng.choice(values)}",
                    "Expect: 100-continue", f"Cookie: {rng.choice(values)}",
                    f"{rng.choice(values)}: {rng.choice(values)}", "Connection: keep-alive"]))
                length = length and not headers[-1].startswith("Content-Length")
            raw = request(client, rng.choice(methods), rng.choice(paths), headers, data, length)
            if rng.random() < 0.1:
                raw = rng.randbytes(rng.randrange(200)) + b"\r\n\r\n"
            elif rng.random() < 0.1:
                cut = rng.randrange(len(raw))
                raw = raw[:cut] + bytes([rng.randrange(256)]) + raw[cut + 1:]
            return raw

        counts = collections.Counter()
        deadline = time.monotonic() + FUZZ_SECONDS
        while time.monotonic() < deadline and sum(counts.values()) < 20000:
            status = exchange(client.port, junk_request())
            counts["closed" if status is None else f"{status // 100}xx"] += 1
            if status is not None and status >= 500:
                counts[status] += 1
        print(f"\nfuzz seed {FUZZ_SEED}: {sum(counts.values())} requests, "
              f"{dict(sorted(counts.items(), key=str))}", file=sys.stderr)
        self.assertEqual([k for k in counts if k == "5xx"], [])
        self.assertGreater(counts["4xx"], 100)
        self.assertEqual(client.get("/").status, 200)
        self.assertIsNone(server.proc.poll())
        self.assertEqual(server.stderr(), "")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        ticks = sum(map(int, stat.read().rsplit(")", 1)[1].split()[11:13]))
    return ticks / os.sysconf("SC_CLK_TCK")


def limit_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))


class Attack:
    """Idle connections and slow drips to one port, each opened again as soon as it closes."""

    def __init__(self, port, idle, drip, host):
        self.port, self.host = port, host
        self.selector = selectors.DefaultSelector()
        self.stop = threading.Event()
        self.dropped = collections.Counter()
        self.kinds = ["idle"] * idle + ["drip"] * drip
        self.thread = threading.Thread(target=self.run)

    def open(self, kind):
        sock = socket.socket()
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", self.port))
        self.selector.register(sock, selectors.EVENT_READ, [kind, 0])

    def run(self):
        for kind in self.kinds:
            self.open(kind)
        head = f"GET / HTTP/1.1\r\nHost: {self.host}\r\nX-Slow: ".encode() + b"a" * 10000
        while not self.stop.is_set():
            for key, _ in self.selector.select(0.2):
                try:
                    gone = not key.fileobj.recv(4096)
                except BlockingIOError:
                    continue
                except OSError:
                    gone = True
                if gone:
                    self.dropped[key.data[0]] += 1
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    self.open(key.data[0])
            for key in list(self.selector.get_map().values()):
                kind, sent = key.data
                if kind == "drip" and sent < len(head):
                    try:
                        key.data[1] += key.fileobj.send(head[sent:sent + 1])
                    except OSError:
                        pass
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(30)


class HeldConnectionsTest(ServerTestCase):
    def test_a_request_head_has_one_deadline_however_slowly_it_drips(self):
        client = self.start().client
        with socket.create_connection(("127.0.0.1", client.port), timeout=60) as slow:
            started, sent = time.monotonic(), 0
            slow.settimeout(0.5)
            head = f"GET / HTTP/1.1\r\nHost: {client.host}\r\nX-Slow: ".encode() + b"a" * 200
            while sent < len(head):
                with contextlib.suppress(OSError):
                    slow.send(head[sent:sent + 1])
                sent += 1
                try:
                    if not slow.recv(100):
                        break
                except TimeoutError:
                    continue
                except OSError:
                    break
            # Closed well before the head could have been complete (about 100 s at this rate).
            self.assertLess(sent, len(head))
            print(f"\nslow drip closed after {time.monotonic() - started:.1f} s", file=sys.stderr)
            self.assertEqual(client.get("/").status, 200)

    def test_running_out_of_descriptors_neither_spins_nor_locks_the_window_out(self):
        server = self.start()
        client, pid = server.client, server.proc.pid
        self.assertEqual(client.get("/").status, 200)
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE,
                         (len(os.listdir(f"/proc/{pid}/fd")) + 4, limits[1]))
        held = [socket.create_connection(("127.0.0.1", client.port)) for _ in range(40)]
        for sock in held:
            self.addCleanup(sock.close)
        self.assertEqual(client.get("/").status, 200)
        before = cpu_seconds(pid)
        time.sleep(2)  # a measurement window, not a wait
        spent = cpu_seconds(pid) - before
        print(f"\nout of descriptors with 40 connections held: {spent:.2f} s CPU in 2 s",
              file=sys.stderr)
        self.assertLess(spent, 0.5)
        self.assertEqual(client.get("/").status, 200)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        self.assertEqual(server.stderr(), "")

    def test_the_window_is_served_while_connections_are_held(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < 1024:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
            self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        server = self.start(preexec=limit_descriptors)
        client = server.client
        with Attack(client.port, idle=300, drip=50, host=client.host) as attack:
            # The slow drips outlast the head deadline and are dropped (and come back).
            wait_until(lambda: attack.dropped["drip"] >= 50, 40, what="slow drips dropped")
            times = []
            for _ in range(30):
                started = time.monotonic()
                self.assertEqual(client.get("/").status, 200)
                times.append(time.monotonic() - started)
            print(f"\n300 idle + 50 slow-drip connections held, descriptors 256: window request "
                  f"median {statistics.median(times) * 1000:.0f} ms, max {max(times) * 1000:.0f}"
                  f" ms; dropped {dict(attack.dropped)}; server CPU "
                  f"{cpu_seconds(server.proc.pid):.1f} s", file=sys.stderr)
        self.assertEqual(client.get("/").status, 200)
        self.assertEqual(server.stderr(), "")


if __name__ == "__main__":
    unittest.main()
