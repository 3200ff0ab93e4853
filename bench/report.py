"""The results page: the machine, the targets with pass or miss, each environment's figures
and how they were taken, as markdown tables."""

import datetime
import os
import platform
import statistics
import subprocess

from . import programs
from .procfs import status_fields
from .scenarios import (FLOOD_BYTES, IDLE_RUNS, IDLE_SECONDS, IDLE_SETTLE_MIN,
                        QUIET_WAKEUPS_PER_SECOND, SETTLE_SECONDS)
from .sessions import HEIGHT, WIDTH

MIB = 1024 * 1024
SOAK_HEADING = "## Soak"
LOAD_AT_START = f"{os.getloadavg()[0]:.2f}"


def table(header, rows):
    """A markdown table's lines; an empty cell stays bare, as in a table typed by hand."""
    def line(cells):
        return "|" + "".join(f" {cell} |" if cell != "" else " |" for cell in cells)
    return [line(header), "|" + "---|" * len(header), *map(line, rows)]


def spread(values, scale=1.0, digits=0):
    values = [v for v in values if v is not None]
    if not values:
        return "—"
    low, mid, high = min(values), statistics.median(values), max(values)
    fmt = f"{{:.{digits}f}}"
    return " / ".join(fmt.format(v * scale) for v in (low, mid, high))


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def verdict(ok):
    return "—" if ok is None else ("pass" if ok else "**miss**")


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def machine_lines():
    model = "?"
    with open("/proc/cpuinfo") as handle:
        for row in handle:
            if row.startswith("model name"):
                model = row.split(":", 1)[1].strip()
                break
    memory = status_fields("", ("MemTotal",), "meminfo").get("MemTotal", 0) * 1024
    chromium = (command_output([programs.CHROMIUM, "--version"]) if programs.CHROMIUM
                else "not installed")
    built = datetime.datetime.fromtimestamp(os.stat(programs.QUORVA).st_mtime).astimezone()
    git = ["git", "-C", programs.REPO]
    head = command_output(git + ["rev-parse", "--short", "HEAD"])
    dirty = " with uncommitted changes" if command_output(
        git + ["status", "--porcelain", "--untracked-files=no", "src"]) else ""
    return [
        f"- Program: build/bin/quorva built {built.strftime('%Y-%m-%d %H:%M %Z')}, "
        f"tree at {head}{dirty} (src/)",
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
        f"- Load average (1 min) at the start / end of the run: {LOAD_AT_START} / "
        f"{os.getloadavg()[0]:.2f}",
        f"- CPU: {model}, {os.cpu_count()} cores; memory {memory / 2**30:.1f} GiB",
        f"- Kernel: {platform.system()} {platform.release()}",
        f"- GTK {command_output(['pkg-config', '--modversion', 'gtk4'])}, WebKitGTK "
        f"{command_output(['pkg-config', '--modversion', 'webkitgtk-6.0'])}; {chromium}",
    ]


def method_lines(runs):
    return [
        "### How",
        "",
        "- Every program runs under its own Xvfb (one per environment), with a private session "
        "bus, GTK_A11Y=none and a fresh HOME and XDG directories per run; window "
        f"{WIDTH}×{HEIGHT}.",
        "- The page: bench/page_server.py, whose page reports its load event back with "
        "fetch('/loaded'); times are on the system-wide monotonic clock, from just before exec "
        "to the server's receipt of that request.",
        "- QUORVA starts that server itself as its catalog (a fake `python3` first on PATH, a "
        "bash script that notes $EPOCHREALTIME and execs the real one); the server's own start "
        "is from that exec to its address printed. The floor (bench/floor.cpp) and Chromium get "
        "the address of a server that is already running.",
        f"- PSS: sum of /proc/PID/smaps_rollup over the whole tree (descendants, session and "
        f"group) {SETTLE_SECONDS:.0f} s after load, the server's subtree excluded; its "
        "Pss_Anon + Pss_Shmem part is given beside it, since the file-backed part shrinks "
        "whenever another program maps the same libraries (this machine is shared). CPU: "
        "utime+stime of the live tree at the same moment plus the cutime+cstime its members "
        "hold for children they reaped; no cgroup, so a child reaped by a process outside the "
        "tree is lost.",
        "- QUORVA chooses its rendering itself (QUORVA_RENDERER unset): with software GL it "
        "takes GTK's cairo renderer and WebKit's acceleration policy \"never\" unless the "
        "environment sets GSK_RENDERER or WEBKIT_DISABLE_COMPOSITING_MODE. The floor and "
        "Chromium run as they are. GL figures: bench/gl_probe.cpp under the same Xvfb and "
        "environment.",
        "- Stop: SIGTERM to the shell; the shell's exit is its waitpid, the server's end is a "
        "1 ms poll of /proc for it (gone or a zombie). With the prompt server this ends every "
        "QUORVA start-up run (after the footprint, or after idle); the server that ignores "
        "SIGTERM gets runs of its own, signalled 0.5 s after load.",
        "- Scroll: the same page with 3,000 rows, in QUORVA and the floor; once the program is "
        "quiet, a click in the page, then xdotool sends 30 Page Down and 30 Page Up 50 ms "
        "apart. CPU of the UI process from the first key to 1 s after the last; its [heap] "
        "PSS 2 s later.",
        f"- Flood: the server writes {FLOOD_BYTES / 1e6:.0f} MB of text lines (Thai and ASCII) "
        "to stderr in 64 KiB writes once the page has loaded and the shell is quiet (as for "
        "idle); throughput is over its writes, "
        "the shell's CPU and VmHWM/VmRSS are read by the server from /proc of its parent just "
        "before and 0.2 s after. The limit is the same writer into `cat > /dev/null`.",
        f"- Idle: {IDLE_SECONDS:.0f} s with the page shown, from the first second after load with "
        f"at most {QUIET_WAKEUPS_PER_SECOND} wake-ups, but no sooner than {IDLE_SETTLE_MIN:.0f} s "
        "after it: both WebKit windows repaint for a few seconds after load (pixman into shared "
        "memory in the UI process, in the floor as in QUORVA). Wake-ups are voluntary + "
        "non-voluntary context switches summed over the threads of the UI process "
        "(/proc/PID/task/*/status); a thread that ends within the window takes its count along.",
        f"- {runs} runs per figure, {IDLE_RUNS} for idle (the first start-up runs of QUORVA and "
        "the floor go on to it). QUORVA, the floor and Chromium take turns run by run. The "
        "programs are copies taken at the start, so a rebuild meanwhile changes nothing.",
    ]


def write_results(main=None, soak=None):
    existing = ""
    if os.path.exists(programs.RESULTS):
        with open(programs.RESULTS) as handle:
            existing = handle.read()
    old_main, _, old_soak = existing.partition(SOAK_HEADING)
    main_text = main if main is not None else old_main.rstrip() + "\n"
    soak_text = soak if soak is not None else (SOAK_HEADING + old_soak if old_soak else "")
    text = main_text.rstrip() + "\n" + ("\n" + soak_text.rstrip() + "\n" if soak_text else "")
    with open(programs.RESULTS, "w") as handle:
        handle.write(text)
    return text




def mapping_lines(quorva, floor, threshold=256 * 1024):
    """Where the two trees differ, mapping by mapping, medians over the runs."""
    rows = []
    for role in ("UI process", "web processes", "network process"):
        q = [r["mappings"][role] for r in quorva if "mappings" in r]
        fl = [r["mappings"][role] for r in floor if "mappings" in r]
        if not q or not fl:
            continue
        differing = []
        for name in set().union(*q, *fl):
            qm = statistics.median([m.get(name, 0) for m in q])
            fm = statistics.median([m.get(name, 0) for m in fl])
            if abs(qm - fm) >= threshold:
                differing.append((qm - fm, name, qm, fm))
        for diff, name, qm, fm in sorted(differing, reverse=True, key=lambda r: abs(r[0])):
            rows.append((role, f"`{name}`", f"{qm / 1024:.0f}", f"{fm / 1024:.0f}",
                         f"{diff / 1024:+.0f}"))
        total_q = statistics.median([sum(m.values()) for m in q])
        total_f = statistics.median([sum(m.values()) for m in fl])
        rows.append((role, "all", f"{total_q / 1024:.0f}", f"{total_f / 1024:.0f}",
                     f"{(total_q - total_f) / 1024:+.0f}"))
    return ["Memory of QUORVA against the floor, mapping by mapping (PSS medians over the runs, "
            f"every mapping name that differs by {threshold // 1024} KiB or more):\n",
            *table(("process", "mapping", "QUORVA (KiB)", "floor (KiB)", "difference (KiB)"),
                   rows), ""]


def gl_lines(gl):
    if not gl:
        return []
    first = gl[0]
    probe = first["probe"] or "none"
    software = probe == "none" or any(w in probe.lower()
                                      for w in ("llvmpipe", "softpipe", "swrast"))
    return [
        f"GL on this display: renderer \"{first['gl_renderer']}\", EGL driver "
        f"\"{first['egl_driver']}\", GPU device node: {'yes' if first['gpu_device'] else 'no'}; "
        f"the shell's probe answers \"{probe}\", so it takes the "
        f"{'software' if software else 'GPU'} path unless the environment decides. Cost in a "
        f"fresh process, min / median / max of {len(gl)}: the probe "
        f"{spread([r['probe_ms'] for r in gl], 1, 2)} ms; the EGL driver query alone "
        f"{spread([r['egl_ms'] for r in gl], 1, 1)} ms; a GL context made only to read the "
        f"renderer's name {spread([r['gl_context_ms'] for r in gl], 1, 1)} ms.\n"]


def program_lines(f):
    """Start-up and footprint of each program, and what its tree held."""
    programs_run = [("QUORVA", f["quorva"]), ("floor (bare WebKitGTK window)", f["floor"])]
    if programs.CHROMIUM:
        programs_run.append(("Chromium --app", f["chromium"]))
    rows = [(label, len(results), spread([r["load"] for r in results], 1000),
             spread([r.get("net") for r in results], 1000),
             spread([r["pss"] for r in results], 1 / MIB, 1),
             spread([r["own"] for r in results], 1 / MIB, 1),
             spread([r["cpu"] for r in results], 1, 2)) for label, results in programs_run]
    if not programs.CHROMIUM:
        rows.append(("Chromium --app", 0, "skipped: chromium is not installed "
                     "(`apt-get install -y chromium`)", "", "", "", ""))
    crowded = sum(1 for _, results in programs_run for r in results if r["outsiders"])
    total = sum(len(results) for _, results in programs_run)
    own = spread([r.get("server_own") for r in f["quorva"]], 1000)
    spawned = spread([r.get("server_exec") for r in f["quorva"]], 1000)
    lines = ["Start-up and footprint, min / median / max:\n",
             *table(("program", "runs", "exec → load event (ms)", "less server's own start (ms)",
                     "PSS of tree (MiB)", "its anonymous + shmem part (MiB)", "CPU of tree (s)"),
                    rows),
             f"\nRuns that had WebKit or Chromium processes of other programs beside them when "
             f"memory was read: {crowded} of {total}; those share library pages and so lower "
             f"the PSS of the tree measured.",
             f"\nThe page server inside QUORVA's runs: exec'd {spawned} ms after the shell's "
             f"exec; its own start, from its exec to its address printed: {own} ms."]
    for label, results in programs_run:
        if results:
            comms = results[-1]["comms"]
            counted = {c: comms.count(c) for c in comms}
            listed = ", ".join(f"{c}×{n}" if n > 1 else c for c, n in counted.items())
            lines.append(f"Tree of {label}: {listed}.")
    return lines + [""]


def shell_rows(f):
    """(figure, runs, value) of the shell alone: stop, scroll, flood and idle."""
    rows = []
    for key, label in (("stop_prompt", "prompt server"), ("stop_deaf", "server ignoring SIGTERM")):
        results = f[key]
        statuses = ", ".join(map(str, sorted({r["status"] for r in results})))
        rows += [(f"SIGTERM → shell exited, {label} (ms)", len(results),
                  f"{spread([r['shell'] for r in results], 1000)} (exit status {statuses})"),
                 (f"SIGTERM → server gone, {label} (ms)", len(results),
                  spread([r["server"] for r in results], 1000))]
    for kind, label in (("quorva", "QUORVA"), ("floor", "floor")):
        results = f[f"scroll_{kind}"]
        rows += [(f"30 × Page Down, 30 × Page Up on 3,000 rows: CPU of the UI process, {label} "
                  "(s)", len(results), spread([r["cpu"] for r in results], 1, 2)),
                 (f"the same: UI process heap {SETTLE_SECONDS:.0f} s after, {label} (MiB)",
                  len(results), spread([r["heap"] for r in results], 1 / MIB, 1))]
    flood, cat = f["flood"], f["cat"]

    def mib(results, key):
        return spread([r[key] for r in results], 1 / MIB, 1)

    rows += [
        (f"{FLOOD_BYTES / 1e6:.0f} MB on the server's stderr: throughput (MB/s)", len(flood),
         spread([r["mbps"] for r in flood])),
        ("same bytes into `cat > /dev/null`: throughput (MB/s)", len(cat),
         spread([r["mbps"] for r in cat])),
        ("flood: CPU of the shell (s)", len(flood), spread([r["cpu"] for r in flood], 1, 2)),
        ("flood: CPU of `cat` (s)", len(cat), spread([r["cpu"] for r in cat], 1, 2)),
        ("flood: shell VmHWM before → after (MiB)", len(flood),
         f"{mib(flood, 'hwm_before')} → {mib(flood, 'hwm_after')}"),
        ("flood: shell VmRSS before → after a tenth → after all (MiB)", len(flood),
         " → ".join(mib(flood, key) for key in ("rss_before", "rss_tenth", "rss_after"))),
        ("flood: `cat` peak RSS (MiB)", len(cat), mib(cat, "hwm"))]
    for key, label in (("idle_quorva", "QUORVA"), ("idle_floor", "floor")):
        idle = f[key]
        rows += [(f"idle {IDLE_SECONDS:.0f} s, {label} UI process: wake-ups/s", len(idle),
                  spread([r["wakeups"] for r in idle], 1, 1)),
                 (f"idle {IDLE_SECONDS:.0f} s, {label} UI process: CPU (ms)", len(idle),
                  spread([r["cpu"] for r in idle], 1000)),
                 (f"idle: {label} quiet after load (s)", len(idle),
                  spread([r["settle"] for r in idle], 1, 1))]
    return rows


def environment_section(f):
    env = " ".join(f"{k}={v}" for k, v in f["env"].items()) or "no rendering variables"
    lines = [f"### {f['name']} environment ({env})\n", *gl_lines(f.get("gl") or []),
             *program_lines(f), *mapping_lines(f["quorva"], f["floor"]),
             "Shell only, min / median / max:\n",
             *table(("figure", "runs", "value"), shell_rows(f))]
    for key, label in (("idle_quorva", "QUORVA"), ("idle_floor", "floor")):
        if f[key]:
            threads = max(f[key], key=lambda r: r["wakeups"])["threads"]
            listed = ", ".join(f"{k} {v:.1f}" for k, v in threads.items()) or "none"
            lines.append(f"\nIdle wake-ups/s by thread, {label}, its busiest run: {listed}.")
    return lines + [""]


def results_page(all_figures, runs, elapsed):
    rows = [(f["name"], *row) for f in all_figures for row in targets(f)]
    lines = ["# QUORVA benchmarks", "", *machine_lines(), "", "## Targets\n",
             *table(("environment", "target", "measured (medians)", "verdict"), rows), "",
             "## Figures\n"]
    for f in all_figures:
        lines += environment_section(f)
    return "\n".join(lines + method_lines(runs) +
                     [f"- Total run time: {elapsed / 60:.1f} min."]) + "\n"


def targets(f):
    """(target, measured, verdict) rows."""
    rows = []
    q, fl = f["quorva"], f["floor"]
    q_net, q_load = median([r.get("net") for r in q]), median([r["load"] for r in q])
    own = median([r.get("server_own") for r in q])
    fl_load = median([r["load"] for r in fl])
    if q_net is not None and fl_load:
        rows.append(("start-up ≤ 1.10 × floor + server's own start",
                     f"{q_load * 1000:.0f} ms vs 1.10 × {fl_load * 1000:.0f} + {own * 1000:.0f}"
                     f" = {(1.10 * fl_load + own) * 1000:.0f} ms (ratio less server "
                     f"{(q_load - own) / fl_load:.2f})",
                     verdict(q_load <= 1.10 * fl_load + own)))
    q_pss, fl_pss = median([r["pss"] for r in q]), median([r["pss"] for r in fl])
    if q_pss is not None and fl_pss is not None:
        rows.append(("memory ≤ floor + 5 MiB",
                     f"{q_pss / MIB:.1f} MiB vs {fl_pss / MIB:.1f} + 5 = "
                     f"{fl_pss / MIB + 5:.1f} MiB (difference {(q_pss - fl_pss) / MIB:+.1f})",
                     verdict(q_pss <= fl_pss + 5 * MIB)))
        q_own, fl_own = median([r["own"] for r in q]), median([r["own"] for r in fl])
        rows.append(("memory ≤ floor + 5 MiB, anonymous + shmem PSS only (what other programs "
                     "cannot share)",
                     f"{q_own / MIB:.1f} MiB vs {fl_own / MIB:.1f} + 5 = {fl_own / MIB + 5:.1f} "
                     f"MiB (difference {(q_own - fl_own) / MIB:+.1f})",
                     verdict(q_own <= fl_own + 5 * MIB)))
    chromium = f.get("chromium") or []
    c_load, c_pss = median([r["load"] for r in chromium]), median([r["pss"] for r in chromium])
    if c_load is None:
        rows.append(("start-up ≤ Chromium's + server's own start", "Chromium not measured",
                     "—"))
        rows.append(("memory ≤ 0.65 × Chromium's", "Chromium not measured", "—"))
    elif q_load is not None and q_pss is not None:
        rows.append(("start-up ≤ Chromium's + server's own start",
                     f"{q_load * 1000:.0f} ms vs {c_load * 1000:.0f} + {own * 1000:.0f} = "
                     f"{(c_load + own) * 1000:.0f} ms (ratio less server "
                     f"{(q_load - own) / c_load:.2f})", verdict(q_load <= c_load + own)))
        rows.append(("memory ≤ 0.65 × Chromium's",
                     f"{q_pss / MIB:.1f} MiB vs 0.65 × {c_pss / MIB:.1f} = "
                     f"{0.65 * c_pss / MIB:.1f} MiB (ratio {q_pss / c_pss:.2f})",
                     verdict(q_pss <= 0.65 * c_pss)))
    flood, cat = f["flood"], f["cat"]
    if flood and cat:
        mbps, limit = median([r["mbps"] for r in flood]), median([r["mbps"] for r in cat])
        growth = max(r["rss_after"] - r["rss_tenth"] for r in flood)
        paired = median([a["mbps"] / b["mbps"] for a, b in zip(flood, cat)])
        cpu_ratio = median([r["cpu"] for r in flood]) / max(median([r["cpu"] for r in cat]), 0.01)
        rows.append(("flood throughput ≥ 0.5 × cat",
                     f"{mbps:.0f} vs 0.5 × {limit:.0f} = {0.5 * limit:.0f} MB/s "
                     f"(ratio {mbps / limit:.2f}; run by run {paired:.2f}; the shell's CPU "
                     f"{cpu_ratio:.1f} × cat's)", verdict(mbps >= 0.5 * limit)))
        rows.append(("flood leaves memory flat (VmRSS from a tenth of the bytes to the end "
                     "grows ≤ 1 MiB)", f"largest growth {growth / MIB:+.2f} MiB",
                     verdict(growth <= MIB and all(r["alive"] for r in flood))))
    iq, ifl = f["idle_quorva"], f["idle_floor"]
    if iq and ifl:
        # A periodic source shows in every window; a one-shot timer in some only.
        wq = min(r["wakeups"] for r in iq)
        wf = max(r["wakeups"] for r in ifl)
        rows.append(("idle: no periodic wake-up of our own (quietest run ≤ floor's busiest "
                     "+ 0.2/s)",
                     f"{wq:.1f}/s vs {wf:.1f}/s (medians {median([r['wakeups'] for r in iq]):.1f}"
                     f" vs {median([r['wakeups'] for r in ifl]):.1f})",
                     verdict(wq <= wf + 0.2)))
    return rows
