"""Start/stop cycles of QUORVA with the bundled catalog: what each cycle leaves behind, and
whether the shell's memory grows from cycle to cycle."""

import datetime
import os
import shutil
import signal
import subprocess
import tempfile
import time

from tests.e2e.support.quorva import free_port

from . import programs
from .procfs import fd_count, processes, status_fields, tree, wait_gone
from .report import MIB, SOAK_HEADING, spread, table, write_results
from .scenarios import note
from .sessions import LOAD_TIMEOUT, SessionBus, stop, xvfb


def soak_cycle(display, bus, home, data):
    env = {
        "PATH": "/usr/bin:/bin", "HOME": home, "LANG": "C.UTF-8", "DISPLAY": display,
        "XDG_RUNTIME_DIR": os.path.join(os.path.dirname(home), "runtime"),
        "DBUS_SESSION_BUS_ADDRESS": bus.address, "GTK_A11Y": "none",
        "QUORVA_HOME": data, "QUORVA_PORT": str(free_port()), "QUORVA_DEBUG": "1",
    }
    stderr_path = os.path.join(os.path.dirname(home), "stderr.log")
    with open(stderr_path, "wb") as err:
        started = time.monotonic()
        process = subprocess.Popen([programs.QUORVA], env=env, cwd=home, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=err, start_new_session=True)
    result = {"loaded": None, "status": None, "leaked": [], "fds": 0}
    try:
        deadline = started + LOAD_TIMEOUT
        while time.monotonic() < deadline and process.poll() is None:
            with open(stderr_path, "rb") as handle:
                if b"[QUORVA] loaded http" in handle.read():
                    result["loaded"] = time.monotonic() - started
                    break
            time.sleep(0.01)
        result["hwm"] = status_fields(process.pid, ("VmHWM",)).get("VmHWM", 0) * 1024
        snapshot = [(m["pid"], m["start"], m["comm"]) for m in tree(process.pid)]
        sent = time.monotonic()
        process.send_signal(signal.SIGTERM)
        try:
            result["status"] = process.wait(10)
            result["stop"] = time.monotonic() - sent
        except subprocess.TimeoutExpired:
            result["status"] = "hung"
        wait_gone([(p, s) for p, s, _ in snapshot if p != process.pid], 5.0)
        table = processes()
        left = {p for p, s, _ in snapshot if p in table and table[p]["start"] == s
                and table[p]["state"] != "Z"}
        left |= {p for p, i in table.items() if i["pgrp"] == process.pid and i["state"] != "Z"}
        result["leaked"] = [table[p]["comm"] for p in sorted(left)]
        result["fds"] = sum(fd_count(p) for p in left)
    finally:
        stop(process)
    return result


def soak_section(cycles, results, elapsed):
    loaded = [r for r in results if r["loaded"] is not None]
    clean = [r for r in results if r["status"] == 0]
    leaked = [name for r in results for name in r["leaked"]]
    hwms = [r["hwm"] for r in loaded]
    built = datetime.datetime.fromtimestamp(os.stat(programs.QUORVA).st_mtime).astimezone()
    rows = [("cycles whose page loaded", f"{len(loaded)} of {cycles}"),
            ("cycles that exited with status 0", f"{len(clean)} of {cycles}"),
            ("exec → `[QUORVA] loaded` (ms), min / median / max",
             spread([r["loaded"] for r in loaded], 1000)),
            ("SIGTERM → exit (ms), min / median / max",
             spread([r.get("stop") for r in results], 1000)),
            ("processes left behind (all cycles)",
             f"{len(leaked)}{' (' + ', '.join(sorted(set(leaked))) + ')' if leaked else ''}"),
            ("descriptors held by them", sum(r["fds"] for r in results))]
    if hwms:
        rows.append(("shell VmHWM, first → last cycle (MiB)",
                     f"{hwms[0] / MIB:.1f} → {hwms[-1] / MIB:.1f} "
                     f"({(hwms[-1] - hwms[0]) / MIB:+.1f}; min {min(hwms) / MIB:.1f}, "
                     f"max {max(hwms) / MIB:.1f})"))
    return [SOAK_HEADING, "",
            f"{cycles} start/stop cycles of QUORVA (build/bin/quorva built "
            f"{built.strftime('%Y-%m-%d %H:%M %Z')}) with the bundled catalog "
            "(build/share/quorva/catalog.py, the real python3), default rendering, one Xvfb, "
            "one session bus and one HOME and QUORVA_HOME for all cycles, a free QUORVA_PORT "
            "each cycle; each cycle waits for `[QUORVA] loaded` (QUORVA_DEBUG=1), sends "
            "SIGTERM and waits for the exit. "
            f"{datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}, "
            f"{elapsed / 60:.1f} min.", "", *table(("figure", "value"), rows)]


def soak(cycles):
    begun = time.monotonic()
    root = tempfile.mkdtemp(prefix="quorva-soak-")
    home = os.path.join(root, "home")
    os.makedirs(home)
    os.makedirs(os.path.join(root, "runtime"), mode=0o700)
    data = os.path.join(root, "data")
    results = []
    try:
        with xvfb() as display:
            bus = SessionBus()
            try:
                for index in range(cycles):
                    results.append(soak_cycle(display, bus, home, data))
                    if (index + 1) % 10 == 0 or index + 1 == cycles:
                        note(f"    soak cycle {index + 1}/{cycles}")
            finally:
                bus.stop()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    lines = soak_section(cycles, results, time.monotonic() - begun)
    return write_results(soak="\n".join(lines) + "\n")
