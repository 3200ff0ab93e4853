"""A tiny page server for bench/run.

It prints its address as soon as it listens, and its page calls back /loaded
from its load event, so the bench learns the load time on this side, on the
system-wide monotonic clock. Each event is one JSON line appended to
$QUORVA_BENCH_LOG.

Run by the shell in place of its catalog, it takes the catalog's arguments and
uses only --port and --exit-with-parent. $QUORVA_BENCH_MODE picks a behaviour:
serve (default), ignore-term (never ends on SIGTERM) or flood (on a request for
/flood, writes $QUORVA_BENCH_FLOOD_BYTES of text to standard error).
With --flood-stdout BYTES it serves nothing and writes to standard output.
"""

import json
import os
import signal
import socket
import sys
import threading
import time

MODE = os.environ.get("QUORVA_BENCH_MODE", "serve")
# A server the bench lost track of still ends; no run comes near this.
LIFETIME_SECONDS = 900
LOG = os.environ.get("QUORVA_BENCH_LOG")
CHUNK = 64 * 1024

PAGE = """<!DOCTYPE html>
<html lang="th"><head><meta charset="utf-8"><title>bench</title>
<style>
body {{ font: 16px sans-serif; margin: 2em; color: #222; }}
table {{ border-collapse: collapse; }}
td, th {{ border: 1px solid #ccc; padding: 4px 8px; }}
</style></head>
<body><h1>รายการสินค้า</h1>
<p>A small page, the same for every program under test.</p>
<table><tr><th>รหัส</th><th>ชื่อ</th><th>ราคา</th></tr>
{rows}
</table>
<script>
addEventListener("load", () => {{
  fetch("/loaded", {{cache: "no-store", keepalive: true}}).catch(() => {{}});
}});
</script>
</body></html>
"""
ROWS = "\n".join(f"<tr><td>A{n:03d}</td><td>สินค้าตัวอย่าง {n}</td><td>{n * 7}.00</td></tr>"
                 for n in range(1, 21))
BODY = PAGE.format(rows=ROWS).encode()
# Long enough that every Page Down of the scroll figure moves the page.
LONG_BODY = PAGE.format(rows="\n".join(
    f"<tr><td>A{n:04d}</td><td>สินค้าตัวอย่าง {n}</td><td>{n * 7}.00</td></tr>"
    for n in range(1, 3001))).encode()

_log_lock = threading.Lock()


def log(event, **fields):
    if not LOG:
        return
    fields["event"] = event
    fields["pid"] = os.getpid()
    line = json.dumps(fields) + "\n"
    with _log_lock:
        with open(LOG, "a") as handle:
            handle.write(line)


def option(name, default=None):
    args = sys.argv[1:]
    if name in args:
        index = args.index(name)
        if index + 1 < len(args):
            return args[index + 1]
    return default


def flood_block():
    """Whole log-like lines, Thai and ASCII, close to one pipe's worth."""
    line = "2024-05-01 10:00:00 GET /items?q=ผ้าไหม&page=3 200 — สินค้าพร้อมส่ง ok\n".encode()
    return line * (CHUNK // len(line))


def write_all(fd, block, total, samples=0, sample=None):
    """Writes `total` bytes of `block` repeated; calls `sample` after each of `samples` equal parts."""
    marks = [total * (n + 1) // samples for n in range(samples)] if samples else []
    view = memoryview(block)
    done = 0
    while done < total:
        part = view[:min(len(block), total - done)]
        done += len(part)
        while part:
            written = os.write(fd, part)
            part = part[written:]
        while marks and done >= marks[0]:
            marks.pop(0)
            sample()


def parent_figures(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            fields = handle.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        cpu = (int(fields[11]) + int(fields[12])) / ticks
        memory = {}
        with open(f"/proc/{pid}/status") as handle:
            for row in handle:
                key, _, value = row.partition(":")
                if key in ("VmHWM", "VmRSS"):
                    memory[key] = int(value.split()[0])
        return {"cpu": cpu, **memory}
    except (OSError, IndexError, ValueError):
        return {}


def flood_stderr():
    total = int(os.environ.get("QUORVA_BENCH_FLOOD_BYTES", str(200 * 1000 * 1000)))
    parent = os.getppid()
    block = flood_block()
    before = parent_figures(parent)
    during = []
    start = time.monotonic()
    write_all(2, block, total, 10, lambda: during.append(parent_figures(parent)))
    end = time.monotonic()
    # The last chunk is still in the pipe when the write returns; let the shell take it.
    time.sleep(0.2)
    after = parent_figures(parent)
    log("flood", bytes=total, start=start, end=end, before=before, during=during, after=after)


_flooded = []


def handle(connection):
    with connection:
        connection.settimeout(10)
        data = b""
        try:
            while b"\r\n\r\n" not in data and len(data) < 65536:
                chunk = connection.recv(4096)
                if not chunk:
                    return
                data += chunk
        except OSError:
            return
        received = time.monotonic()
        request_line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = request_line.split()
        path = parts[1] if len(parts) > 1 else "/"
        if path.startswith("/loaded"):
            log("loaded", mono=received)
            status, body, kind = "204 No Content", b"", "text/plain"
        elif path == "/flood" and MODE == "flood":
            status, body, kind = "204 No Content", b"", "text/plain"
            if not _flooded:
                _flooded.append(True)
                threading.Thread(target=flood_stderr, daemon=True).start()
        elif path == "/":
            status, body, kind = ("200 OK", LONG_BODY if MODE == "long" else BODY,
                                  "text/html; charset=utf-8")
        else:
            status, body, kind = "404 Not Found", b"", "text/plain"
        head = (f"HTTP/1.1 {status}\r\nContent-Type: {kind}\r\nContent-Length: {len(body)}\r\n"
                f"Cache-Control: no-store\r\nConnection: close\r\n\r\n").encode()
        try:
            connection.sendall(head + body)
        except OSError:
            pass


def exit_with_parent():
    import ctypes
    death = signal.SIGKILL if MODE == "ignore-term" else signal.SIGTERM
    ctypes.CDLL(None).prctl(1, int(death))  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        sys.exit(0)


def flood_stdout(total):
    block = flood_block()
    start = time.monotonic()
    write_all(1, block, total)
    end = time.monotonic()
    log("flood", bytes=total, start=start, end=end)


def main():
    flood = option("--flood-stdout")
    if flood is not None:
        flood_stdout(int(flood))
        return
    if MODE == "ignore-term":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if "--exit-with-parent" in sys.argv:
        exit_with_parent()
    lifetime = threading.Timer(LIFETIME_SECONDS, os._exit, args=(0,))
    lifetime.daemon = True
    lifetime.start()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(option("--port", "0") or 0)))
    listener.listen(64)
    port = listener.getsockname()[1]
    printed_wall = time.time()
    printed = time.monotonic()
    os.write(1, f"http://127.0.0.1:{port}/\n".encode())
    exec_wall = os.environ.get("QUORVA_BENCH_EXEC")
    log("ready", port=port, printed=printed, printed_wall=printed_wall,
        exec_wall=float(exec_wall) if exec_wall else None)
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=handle, args=(connection,), daemon=True).start()


if __name__ == "__main__":
    main()
