import contextlib
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from .wait import WaitTimeout, wait_until
from .x11 import can_connect


class XvfbError(Exception):
    pass


@contextlib.contextmanager
def xvfb(width=1920, height=1080, depth=24, timeout=15.0):
    """Run a private Xvfb and yield its DISPLAY string (":N").

    -displayfd lets the server choose a free display number itself, which
    avoids racing other servers for the lock files. -noreset: by default the
    server resets whenever its last client disconnects and refuses
    connections meanwhile, which made short-lived helper connections flaky.
    """
    binary = shutil.which("Xvfb") or "/usr/bin/Xvfb"
    read_end, write_end = os.pipe()
    log = tempfile.TemporaryFile()
    process = subprocess.Popen(
        [binary, "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x{depth}",
         "-nolisten", "tcp", "-noreset"],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log, pass_fds=(write_end,),
        env={"PATH": "/usr/bin:/bin"}, start_new_session=True,
    )
    os.close(write_end)
    try:
        try:
            name = _read_display(read_end, process, timeout)
            wait_until(lambda: can_connect(name), timeout, 0.05, what=f"Xvfb on {name}")
        except (XvfbError, WaitTimeout) as error:
            log.seek(0)
            output = log.read().decode(errors="replace").strip()
            raise XvfbError(f"Xvfb did not start ({error}): {output}") from None
        yield name
    finally:
        os.close(read_end)
        _stop(process)
        log.close()


def _read_display(fd, process, timeout):
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or process.poll() is not None:
            raise XvfbError("no display number reported")
        ready, _, _ = select.select([fd], [], [], remaining)
        if ready:
            chunk = os.read(fd, 64)
            if not chunk:
                raise XvfbError("display pipe closed")
            data += chunk
    return f":{int(data)}"


def _stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


@contextlib.contextmanager
def display(width=1920, height=1080, depth=24):
    """The session's DISPLAY if there is one, otherwise a private Xvfb."""
    existing = os.environ.get("DISPLAY")
    if existing:
        yield existing
        return
    with xvfb(width, height, depth) as name:
        yield name
