"""What /proc tells of a program's process tree: members, memory by mapping, CPU and
context switches."""

import os
import time

TICKS = os.sysconf("SC_CLK_TCK")


def proc_stat(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            raw = handle.read().decode("utf-8", "replace")
    except OSError:
        return None
    comm = raw[raw.index("(") + 1:raw.rindex(")")]
    f = raw[raw.rindex(")") + 2:].split()
    return {"pid": pid, "comm": comm, "state": f[0], "ppid": int(f[1]), "pgrp": int(f[2]),
            "sid": int(f[3]), "utime": int(f[11]), "stime": int(f[12]),
            "cutime": int(f[13]), "cstime": int(f[14]), "start": int(f[19])}


def processes():
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            info = proc_stat(int(entry))
            if info is not None:
                table[info["pid"]] = info
    return table


def subtree(table, root):
    children = {}
    for info in table.values():
        children.setdefault(info["ppid"], []).append(info["pid"])
    found, pending = set(), [root]
    while pending:
        pid = pending.pop()
        if pid in table and pid not in found:
            found.add(pid)
            pending.extend(children.get(pid, []))
    return found


def tree(leader, exclude=()):
    """The leader, its descendants and whatever else lives in its session or group,
    less the subtrees rooted at `exclude`; zombies left out."""
    table = processes()
    members = subtree(table, leader)
    members |= {p for p, i in table.items() if i["sid"] == leader or i["pgrp"] == leader}
    for root in exclude:
        members -= subtree(table, root)
    return [table[p] for p in sorted(members) if table[p]["state"] != "Z"]


def status_fields(pid, keys, path="status"):
    values = {}
    try:
        with open(f"/proc/{pid}/{path}") as handle:
            for row in handle:
                key, _, value = row.partition(":")
                if key in keys:
                    values[key] = int(value.split()[0])
    except (OSError, ValueError):
        pass
    return values


def footprint(leader, exclude=()):
    """PSS of the tree, and its anonymous and shared-memory part: other programs that map the
    same libraries lower the first, never the second."""
    members = tree(leader, exclude)
    pss = own = 0
    for member in members:
        fields = status_fields(member["pid"], ("Pss", "Pss_Anon", "Pss_Shmem"), "smaps_rollup")
        pss += fields.get("Pss", 0) * 1024
        own += (fields.get("Pss_Anon", 0) + fields.get("Pss_Shmem", 0)) * 1024
    cpu = sum(m["utime"] + m["stime"] + m["cutime"] + m["cstime"] for m in members) / TICKS
    ours = {m["pid"] for m in members}
    outsiders = sum(1 for p, i in processes().items()
                    if p not in ours and i["comm"].startswith(("WebKit", "chromium")))
    return {"pss": pss, "own": own, "cpu": cpu, "comms": sorted(m["comm"] for m in members),
            "outsiders": outsiders}


def smaps_by_mapping(pid):
    """Pss in bytes per mapping name: the file's path, or [heap], [stack], [anon] and the like."""
    sizes = {}
    name = None
    try:
        with open(f"/proc/{pid}/smaps") as handle:
            for row in handle:
                head = row.split(None, 5)
                if not head[0].endswith(":"):
                    name = head[5].strip() if len(head) > 5 else "[anon]"
                    name = name.split(" (deleted)")[0]
                    if name.startswith("/memfd:"):
                        name = "memfd:" + name[len("/memfd:"):].split(" ")[0]
                elif row.startswith("Pss:") and name is not None:
                    sizes[name] = sizes.get(name, 0) + int(row.split()[1]) * 1024
    except OSError:
        pass
    return sizes


def roles_by_mapping(leader, exclude=()):
    """The UI process's mappings, and the web and network processes' summed."""
    roles = {"UI process": smaps_by_mapping(leader), "web processes": {},
             "network process": {}}
    for member in tree(leader, exclude):
        role = {"WebKitWebProces": "web processes",
                "WebKitNetworkPr": "network process"}.get(member["comm"])
        if role:
            for name, size in smaps_by_mapping(member["pid"]).items():
                roles[role][name] = roles[role].get(name, 0) + size
    return roles


def thread_switches(pid):
    """Context switches of every thread, by thread id."""
    counts = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return counts
    for tid in tids:
        fields = status_fields(f"{pid}/task/{tid}",
                               ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"))
        if fields:
            try:
                with open(f"/proc/{pid}/task/{tid}/comm") as handle:
                    name = handle.read().strip()
            except OSError:
                name = "?"
            counts[tid] = (name, fields.get("voluntary_ctxt_switches", 0),
                           fields.get("nonvoluntary_ctxt_switches", 0))
    return counts


def switches_total(counts):
    return sum(voluntary + involuntary for _, voluntary, involuntary in counts.values())


def cpu_seconds(pid):
    info = proc_stat(pid)
    return (info["utime"] + info["stime"]) / TICKS if info else 0.0


def gone(pid, start=None):
    info = proc_stat(pid)
    return info is None or info["state"] == "Z" or (start is not None and info["start"] != start)


def wait_gone(pids, timeout):
    deadline = time.monotonic() + timeout
    left = list(pids)
    while left and time.monotonic() < deadline:
        left = [(p, s) for p, s in left if not gone(p, s)]
        if left:
            time.sleep(0.02)
    return [p for p, s in left if not gone(p, s)]


def fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0
