"""The scenarios each program goes through: start-up to load, footprint, idle, stop, scroll
and a flood of its server's error output, in each rendering environment."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from . import programs
from .procfs import (cpu_seconds, footprint, gone, proc_stat, roles_by_mapping, smaps_by_mapping,
                     status_fields, switches_total, thread_switches)
from .sessions import Run, chromium_argv, xvfb

SETTLE_SECONDS = 2.0
IDLE_SECONDS = 10.0
IDLE_RUNS = 2
# WebKit repaints for a few seconds after load, in the floor as much as in QUORVA.
IDLE_SETTLE_MIN = 5.0
IDLE_SETTLE_MAX = 30.0
QUIET_WAKEUPS_PER_SECOND = 5
FLOOD_BYTES = 200 * 1000 * 1000

ENVIRONMENTS = [
    ("default", {}),
    ("software", {"GSK_RENDERER": "cairo", "WEBKIT_DISABLE_COMPOSITING_MODE": "1"}),
]


def note(text):
    print(text, file=sys.stderr, flush=True)


def settle(pid, loaded):
    """Seconds from load until a quiet second, at least IDLE_SETTLE_MIN."""
    time.sleep(max(0.0, loaded + IDLE_SETTLE_MIN - 1.0 - time.monotonic()))
    while time.monotonic() < loaded + IDLE_SETTLE_MAX:
        before = switches_total(thread_switches(pid))
        time.sleep(1.0)
        if switches_total(thread_switches(pid)) - before <= QUIET_WAKEUPS_PER_SECOND:
            break
    return time.monotonic() - loaded


def measure_idle(pid):
    before_cpu = cpu_seconds(pid)
    before = thread_switches(pid)
    time.sleep(IDLE_SECONDS)
    after = thread_switches(pid)
    cpu = cpu_seconds(pid) - before_cpu
    by_thread = {}
    total = 0
    for tid, (name, voluntary, involuntary) in after.items():
        _, v0, i0 = before.get(tid, (name, 0, 0))
        delta = voluntary - v0 + involuntary - i0
        total += delta
        if delta:
            by_thread[name] = by_thread.get(name, 0) + delta
    return {"wakeups": total / IDLE_SECONDS, "cpu": cpu,
            "threads": {k: v / IDLE_SECONDS for k, v in sorted(by_thread.items())}}


def stop_shell(run, server):
    """SIGTERM to the shell: until it exits, and until its server is gone."""
    server_start = proc_stat(server)["start"]
    marks = {}

    def watch_server():
        deadline = time.monotonic() + 15
        while not gone(server, server_start) and time.monotonic() < deadline:
            time.sleep(0.001)
        marks["server"] = time.monotonic()

    watcher = threading.Thread(target=watch_server)
    sent = time.monotonic()
    run.process.send_signal(signal.SIGTERM)
    watcher.start()
    status = run.process.wait(15)
    marks["shell"] = time.monotonic()
    watcher.join(20)
    return {"shell": marks["shell"] - sent, "server": marks["server"] - sent, "status": status}


def load_run(kind, display, render_env, idle=False):
    """Exec to load event, footprint of the tree 2 s later, then idle if asked; a QUORVA run
    ends with SIGTERM to the shell, timed."""
    run = Run(display, render_env)
    try:
        server_pid = None
        if kind == "quorva":
            run.shell_with_page_server()
            ready = run.wait_event("ready")
            server_pid = ready["pid"]
        else:
            url = run.serve_page()
            argv = [programs.FLOOR, url] if kind == "floor" else chromium_argv(url, run.root)
            run.start(argv)
        loaded = run.wait_event("loaded")
        result = {"load": loaded["mono"] - run.started}
        if kind == "quorva":
            result["server_own"] = ready["printed_wall"] - ready["exec_wall"]
            result["net"] = result["load"] - result["server_own"]
            result["server_exec"] = ready["printed"] - result["server_own"] - run.started
        time.sleep(max(0.0, loaded["mono"] + SETTLE_SECONDS - time.monotonic()))
        exclude = [server_pid] if server_pid else []
        result.update(footprint(run.process.pid, exclude))
        if kind != "chromium":
            result["mappings"] = roles_by_mapping(run.process.pid, exclude)
        if idle:
            quiet = settle(run.process.pid, loaded["mono"])
            result["idle"] = measure_idle(run.process.pid)
            result["idle"]["settle"] = quiet
        if kind == "quorva":
            result["stop"] = stop_shell(run, server_pid)
        return result
    finally:
        run.close()


def stop_run(display, render_env, mode):
    run = Run(display, render_env)
    try:
        run.shell_with_page_server(mode)
        server = run.wait_event("ready")["pid"]
        run.wait_event("loaded")
        time.sleep(0.5)
        return stop_shell(run, server)
    finally:
        run.close()


def flood_run(display, render_env):
    run = Run(display, render_env)
    try:
        run.shell_with_page_server("flood", {"QUORVA_BENCH_FLOOD_BYTES": str(FLOOD_BYTES)})
        port = run.wait_event("ready")["port"]
        loaded = run.wait_event("loaded")
        settle(run.process.pid, loaded["mono"])
        urllib.request.urlopen(f"http://127.0.0.1:{port}/flood", timeout=10).close()
        flood = run.wait_event("flood", timeout=120)
        seconds = flood["end"] - flood["start"]
        return {"mbps": flood["bytes"] / seconds / 1e6,
                "cpu": flood["after"]["cpu"] - flood["before"]["cpu"],
                "hwm_before": flood["before"]["VmHWM"] * 1024,
                "hwm_after": flood["after"]["VmHWM"] * 1024,
                "rss_before": flood["before"]["VmRSS"] * 1024,
                "rss_after": flood["after"]["VmRSS"] * 1024,
                "rss_tenth": flood["during"][0]["VmRSS"] * 1024,
                "alive": run.process.poll() is None}
    finally:
        run.close()


def scroll_run(kind, display, render_env):
    """UI process CPU over 30 Page Down and 30 Page Up on a long page, and its heap once
    the window has rested."""
    run = Run(display, render_env)
    try:
        if kind == "quorva":
            run.shell_with_page_server("long")
        else:
            run.start([programs.FLOOR, run.serve_page("long")])
        loaded = run.wait_event("loaded")
        settle(run.process.pid, loaded["mono"])
        xdotool = ["xdotool"]
        env = {"DISPLAY": display, "PATH": "/usr/bin:/bin"}
        # A click gives the page the keyboard; bare X has no window manager to do it.
        subprocess.run(xdotool + ["mousemove", "600", "500", "click", "1"], env=env, check=True)
        time.sleep(0.5)
        before = cpu_seconds(run.process.pid)
        subprocess.run(xdotool + ["key", "--delay", "50"] + ["Page_Down"] * 30 + ["Page_Up"] * 30,
                       env=env, check=True)
        time.sleep(1.0)
        cpu = cpu_seconds(run.process.pid) - before
        time.sleep(SETTLE_SECONDS)
        return {"cpu": cpu, "heap": smaps_by_mapping(run.process.pid).get("[heap]", 0)}
    finally:
        run.close()


def cat_run():
    """The same writer into `cat > /dev/null`: what a pipe reader can do here."""
    root = tempfile.mkdtemp(prefix="quorva-bench-cat-")
    log = os.path.join(root, "events.jsonl")
    try:
        cat = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        writer = subprocess.Popen(
            [programs.PYTHON, "-u", programs.PAGE_SERVER, "--flood-stdout", str(FLOOD_BYTES)],
            stdout=cat.stdin, env={"PATH": "/usr/bin:/bin", "QUORVA_BENCH_LOG": log})
        writer.wait(120)
        # Read while our end of the pipe still keeps cat alive; its rusage would count the
        # memory of the bench that forked it.
        time.sleep(0.1)
        hwm = status_fields(cat.pid, ("VmHWM",)).get("VmHWM", 0) * 1024
        cpu = cpu_seconds(cat.pid)
        cat.stdin.close()
        cat.wait(30)
        with open(log) as handle:
            flood = json.loads(handle.readline())
        return {"mbps": flood["bytes"] / (flood["end"] - flood["start"]) / 1e6,
                "cpu": cpu, "hwm": hwm}
    finally:
        shutil.rmtree(root, ignore_errors=True)


def repeat(what, count, action, label=None):
    results = []
    for index in range(count):
        which = label or f" {index + 1}/{count}"
        try:
            results.append(action())
        except Exception as error:  # one failed run must not lose the others
            note(f"    {what} run{which}: failed: {error}")
            continue
        note(f"    {what} run{which} done")
    return results


def gl_probe_runs(display, render_env, runs):
    """What GL this display gives and what finding that out costs, a fresh process each run."""
    results = []
    env = {"PATH": "/usr/bin:/bin", "DISPLAY": display, "GTK_A11Y": "none", **render_env}
    for _ in range(runs):
        with tempfile.TemporaryDirectory(prefix="quorva-bench-gl-") as home:
            env.update(HOME=home, XDG_RUNTIME_DIR=home)
            out = subprocess.run([programs.GL_PROBE], env=env, capture_output=True, text=True,
                                 timeout=60)
        if out.returncode == 0 and out.stdout.strip():
            results.append(json.loads(out.stdout))
    return results


def run_environment(name, render_env, runs):
    note(f"== {name} environment")
    figures = {"name": name, "env": render_env, "quorva": [], "floor": [], "chromium": []}
    kinds = ["quorva", "floor"] + (["chromium"] if programs.CHROMIUM else [])
    with xvfb() as display:
        figures["gl"] = gl_probe_runs(display, render_env, runs)
        # Round robin, so that a change in the machine's load falls on every program alike.
        for index in range(runs):
            for kind in kinds:
                figures[kind] += repeat(f"{kind} load", 1, lambda: load_run(
                    kind, display, render_env, idle=index < IDLE_RUNS and kind != "chromium"),
                    f" {index + 1}/{runs}")
        for kind in ("quorva", "floor"):
            figures[f"scroll_{kind}"] = repeat(f"{kind} scroll", runs,
                                               lambda: scroll_run(kind, display, render_env))
        figures["stop_deaf"] = repeat("stop, server ignoring SIGTERM", runs,
                                      lambda: stop_run(display, render_env, "ignore-term"))
        # Flood and cat take turns, so the machine's load falls on both alike.
        figures["flood"], figures["cat"] = [], []
        for index in range(runs):
            figures["flood"] += repeat("stderr flood", 1, lambda: flood_run(display, render_env),
                                       f" {index + 1}/{runs}")
            figures["cat"] += repeat("cat limit", 1, cat_run, f" {index + 1}/{runs}")
    figures["idle_quorva"] = [r["idle"] for r in figures["quorva"] if "idle" in r]
    figures["idle_floor"] = [r["idle"] for r in figures["floor"] if "idle" in r]
    figures["stop_prompt"] = [r["stop"] for r in figures["quorva"]]
    return figures
