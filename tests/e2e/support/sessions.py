"""The desktop sessions the shell is tested in, one per test class.

`QUORVA_E2E_SESSION` picks one: "xvfb" (bare X server, the default), "openbox"
(X server with a window manager) or "sway" (headless Wayland compositor). A
window is whatever the session identifies it by: an X window id, or sway's
container id. Keys go in through XTEST (xdotool) on X and through the
virtual-keyboard protocol (wtype) on sway.
"""

import ast
import contextlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile

from . import x11
from .wait import wait_until
from .xvfb import display, xvfb

SESSION_VARIABLE = "QUORVA_E2E_SESSION"


class SessionEnded(RuntimeError):
    pass


def _run(argv, env, timeout=20.0):
    done = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def stop_group(process):
    if process.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(10)


def png_size(path):
    with open(path, "rb") as image:
        head = image.read(24)
    return struct.unpack(">II", head[16:24])


class Session:
    wayland = False
    window_manager = False
    display = None

    def __init__(self, scale=1):
        self.scale = scale
        self._stack = contextlib.ExitStack()

    def stop(self):
        self._stack.close()


class XSession(Session):
    """Bare Xvfb: no window manager, so nothing decorates, places or minimises."""

    name = "xvfb"

    def start(self):
        # A larger screen holds a window drawn at twice its size.
        if self.scale == 1 and not self.window_manager:
            self.display = self._stack.enter_context(display())
        else:
            self.display = self._stack.enter_context(xvfb(1920 * self.scale, 1080 * self.scale))
        return self

    def prepare(self, shell):
        shell.env["DISPLAY"] = self.display
        if self.scale != 1:
            shell.env["GDK_SCALE"] = str(self.scale)

    def main_window(self, shell, timeout=30.0):
        return x11.wait_for_window(pid=shell.pid, timeout=timeout, display=self.display)

    def windows(self, shell):
        with x11.Display(self.display) as x:
            return x.find(pid=shell.pid)

    def title(self, window):
        return x11.window_title(window, display=self.display)

    def size(self, window):
        """Logical size: what the application asked for, whatever the scale."""
        width, height = x11.geometry(window, display=self.display)
        return width // self.scale, height // self.scale

    def min_size(self, window):
        return x11.normal_hints(window, display=self.display).min_size

    def resize(self, window, width, height):
        x11.resize(window, width * self.scale, height * self.scale, display=self.display)

    def close(self, window):
        x11.close_window(window, display=self.display)

    def press(self, window, *keys):
        x11.send_keys(window, *keys, display=self.display)

    def type_text(self, window, text):
        x11.type_text(window, text, display=self.display)

    def app_id(self, window):
        with x11.Display(self.display) as x:
            return x.wm_class(window)

    def wait_for_clipboard(self, text):
        pass

    def screenshot(self, path, window=None):
        target = "root" if window is None else str(window)
        _run(["import", "-window", target, path],
             {"DISPLAY": self.display, "PATH": "/usr/bin:/bin"})
        return path


class WindowManagerSession(XSession):
    """Xvfb with openbox: a small, standards-following window manager."""

    name = "openbox"
    window_manager = True

    def start(self):
        super().start()
        self.home = self._stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-wm-"))
        process = subprocess.Popen(
            ["openbox", "--sm-disable"], env={"DISPLAY": self.display, "HOME": self.home,
                                              "PATH": "/usr/bin:/bin"},
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self._stack.callback(stop_group, process)
        with x11.Display(self.display) as x:
            wait_until(lambda: x.get_property(x.root, "_NET_SUPPORTING_WM_CHECK"), 15, 0.05,
                       what="openbox to manage the screen")
        return self

    def wm_state(self, window):
        with x11.Display(self.display) as x:
            return {"iconic": x.iconic(window), "active": x.active_window() == window,
                    "top": (x.stacking() or [None])[-1] == window} | {
                       name.lower(): True for name in x.net_wm_state(window)}

    def in_front(self, window):
        state = self.wm_state(window)
        return state["active"] and state["top"] and not state["iconic"]

    def activate(self, window):
        """What a task bar's window list does: asks the window manager for it."""
        x11._run(["xdotool", "windowactivate", str(window)], self.display)

    def other_window(self):
        """Another application's window, in front and focused."""
        process = subprocess.Popen(["xmessage", "-geometry", "1900x1000+0+0", "other"],
                                   env={"DISPLAY": self.display, "PATH": "/usr/bin:/bin"},
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        with x11.Display(self.display) as x:
            window = wait_until(lambda: x.find(pid=None, title="xmessage"), 15, what="xmessage")[0]
        self.activate(window)
        wait_until(lambda: self.in_front(window), 10, what="the other window in front")
        return process


class SwaySession(Session):
    """Sway on its headless backend, windows floating as on a stacking desktop."""

    name = "sway"
    wayland = True

    def start(self):
        self.runtime = self._stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-sway-"))
        config = os.path.join(self.runtime, "config")
        with open(config, "w") as handle:
            handle.write("xwayland disable\n"
                         f"output HEADLESS-1 mode {1920 * self.scale}x{1080 * self.scale}"
                         f" scale {self.scale}\n"
                         "for_window [app_id=\".*\"] floating enable\n"
                         # Desktops with focus-stealing prevention grant a request
                         # that carries a valid activation token, and only that.
                         "focus_on_window_activation focus\n")
        self.ipc = os.path.join(self.runtime, "ipc.sock")
        env = {"PATH": "/usr/bin:/bin", "HOME": self.runtime, "XDG_RUNTIME_DIR": self.runtime,
               "SWAYSOCK": self.ipc, "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
               "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_HEADLESS_OUTPUTS": "1"}
        argv = ["sway", "-c", config]
        if os.geteuid() == 0:
            # Sway refuses to run as root.
            os.chown(self.runtime, 65534, 65534)
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + argv
        log = self._stack.enter_context(tempfile.TemporaryFile())
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True)
        self._stack.callback(stop_group, process)
        self.tool_env = {"PATH": "/usr/bin:/bin", "XDG_RUNTIME_DIR": self.runtime,
                         "SWAYSOCK": self.ipc}

        def ready():
            if process.poll() is not None:
                log.seek(0)
                raise SessionEnded(f"sway ended: {log.read().decode(errors='replace')[-2000:]}")
            sockets = [n for n in os.listdir(self.runtime) if n.startswith("wayland-")
                       and not n.endswith(".lock")]
            return (sockets and os.path.exists(self.ipc) and self.swaymsg("-t", "get_outputs")
                    and sockets[0])

        # The IPC socket's file exists a moment before sway answers on it.
        self.socket = wait_until(ready, 20, 0.05, what="sway to listen", fatal=(SessionEnded,))
        self.tool_env["WAYLAND_DISPLAY"] = self.socket
        # A seat gains its keyboard only when a keyboard exists; each wtype
        # brings its own, and keys it sends before a client has bound the new
        # keyboard are lost. One that stays keeps the seat's keyboard there.
        keyboard = subprocess.Popen(["wtype", "-s", "86400000"], env=self.tool_env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, start_new_session=True)
        self._stack.callback(stop_group, keyboard)
        wait_until(lambda: self.swaymsg("-t", "get_seats")[0]["capabilities"], 10,
                   what="the seat's keyboard")
        return self

    def swaymsg(self, *args):
        return json.loads(_run(["swaymsg", "-r", *args], self.tool_env) or "null")

    def prepare(self, shell):
        # WebKit's sandbox lets its web process reach only the socket inside
        # XDG_RUNTIME_DIR, as in a real session.
        os.makedirs(shell.runtime_dir, mode=0o700, exist_ok=True)
        link = os.path.join(shell.runtime_dir, self.socket)
        if not os.path.lexists(link):
            os.symlink(os.path.join(self.runtime, self.socket), link)
        shell.env.pop("DISPLAY", None)
        shell.env["WAYLAND_DISPLAY"] = self.socket

    def nodes(self):
        found = []

        def walk(node):
            if node.get("pid"):
                found.append(node)
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)

        walk(self.swaymsg("-t", "get_tree"))
        return found

    def node(self, window):
        return next((n for n in self.nodes() if n["id"] == window), None)

    def windows(self, shell):
        return [n["id"] for n in self.nodes() if n["pid"] == shell.pid]

    def main_window(self, shell, timeout=30.0):
        return wait_until(lambda: self.windows(shell), timeout, 0.05,
                          what=f"a window of pid {shell.pid} in sway's tree")[0]

    def title(self, window):
        return self.node(window)["name"]

    def in_front(self, window):
        return self.node(window)["focused"]

    def other_window(self):
        """Another application's window, in front and focused."""
        process = subprocess.Popen(["weston-flower"], env=self.tool_env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        window = wait_until(lambda: [n["id"] for n in self.nodes() if n["pid"] == process.pid],
                            15, what="weston-flower")[0]
        self.focus(window)
        return process

    def size(self, window):
        rect = self.node(window)["window_rect"]
        return rect["width"], rect["height"]

    def min_size(self, window):
        return None

    def resize(self, window, width, height):
        self.swaymsg(f"[con_id={window}]", "resize", "set", "width", f"{width}px", "height",
                     f"{height}px")

    def close(self, window):
        # The compositor's close, as the title bar's button would send it.
        self.swaymsg(f"[con_id={window}]", "kill")

    def focus(self, window):
        self.swaymsg(f"[con_id={window}]", "focus")
        wait_until(lambda: self.node(window)["focused"], 10, what="focus")

    def press(self, window, *keys):
        self.focus(window)
        for combination in keys:
            *modifiers, key = combination.split("+")
            argv = ["wtype"]
            for modifier in modifiers:
                argv += ["-M", modifier]
            argv += ["-k", key]
            for modifier in reversed(modifiers):
                argv += ["-m", modifier]
            _run(argv, self.tool_env)

    def type_text(self, window, text):
        self.focus(window)
        _run(["wtype", "-d", "20", text], self.tool_env)

    def app_id(self, window):
        return self.node(window)["app_id"]

    def wait_for_clipboard(self, text):
        # A copy reaches the compositor asynchronously; a paste sent straight
        # after it would read the previous clipboard.
        wait_until(lambda: subprocess.run(["wl-paste", "-n"], env=self.tool_env, text=True,
                                          capture_output=True, timeout=10).stdout == text,
                   10, what=f"{text!r} on the clipboard")

    def screenshot(self, path, window=None):
        argv = ["grim"]
        if window is not None:
            rect = self.node(window)["rect"]
            argv += ["-g", f"{rect['x']},{rect['y']} {rect['width']}x{rect['height']}"]
        _run(argv + [path], self.tool_env)
        return path


SESSIONS = {session.name: session for session in (XSession, WindowManagerSession, SwaySession)}


def current():
    """The session class this run is for."""
    name = os.environ.get(SESSION_VARIABLE) or "xvfb"
    if name not in SESSIONS:
        raise ValueError(f"{SESSION_VARIABLE}={name!r}: expected one of {sorted(SESSIONS)}")
    return SESSIONS[name]


def tool_missing():
    """What the current session needs and this machine lacks."""
    needs = {"xvfb": ["Xvfb", "xdotool"], "openbox": ["Xvfb", "xdotool", "openbox", "xmessage"],
             "sway": ["sway", "swaymsg", "wtype", "grim", "wl-paste", "setpriv", "weston-flower"],
             }[current().name]
    return [tool for tool in needs + ["gdbus"] if not shutil.which(tool)]


_MENU_ITEM = re.compile(r"\{'action': <'app\.([\w-]+)'>, 'label': <'([^']*)'>\}")


def _gdbus(bus_address, application_id, under=""):
    """gdbus on the application's object (or one under it), and the environment to run it in."""
    env = {"PATH": "/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS": bus_address, "LANG": "C.UTF-8"}
    call = ["gdbus", "call", "--session", "--dest", application_id, "--object-path",
            "/" + application_id.replace(".", "/") + under]
    return call, env


def choose_menu_item(bus_address, application_id, label):
    """Finds the item in the menu bar the application exports and activates its action.

    What a desktop's global menu does: org.gtk.Menus to read, org.gtk.Actions to act.
    """
    call, env = _gdbus(bus_address, application_id, "/menus/menubar")
    menus = _run(call + ["--method", "org.gtk.Menus.Start", str(list(range(32)))], env)
    actions = {text: action for action, text in _MENU_ITEM.findall(menus)}
    if label not in actions:
        raise AssertionError(f"no menu item {label!r} among {sorted(actions)}")
    activate_action(bus_address, application_id, actions[label])


def activate_action(bus_address, application_id, name):
    call, env = _gdbus(bus_address, application_id)
    _run(call + ["--method", "org.gtk.Actions.Activate", name, "[]", "{}"], env)


_DESCRIPTION = re.compile(r"^\(\((true|false), signature '[^']*', (?:@av )?\[(?:<(.*)>)?\]\),\)$",
                          re.S)


def describe_action(bus_address, application_id, name):
    """Whether the action is enabled, and its state (None when it has none)."""
    call, env = _gdbus(bus_address, application_id)
    described = _DESCRIPTION.match(_run(call + ["--method", "org.gtk.Actions.Describe", name],
                                        env).strip())
    state = described.group(2)
    # GVariant text quotes and escapes strings as Python does.
    return described.group(1) == "true", None if state is None else ast.literal_eval(state)
