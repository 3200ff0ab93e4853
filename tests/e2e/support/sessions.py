# The desktop a test class runs in, as `QUORVA_E2E_SESSION` names it: bare Xvfb (the
# default), Xvfb with openbox, or headless sway. A window is an X window id or sway's
# container id; on X, xprop and xdotool read windows and keys go in through XTEST; on sway,
# swaymsg reads them and wtype types.

import contextlib
import ctypes
import json
import os
import re
import signal
import subprocess
import tempfile

from . import wait_until

PATH = "/usr/bin:/bin"


def stop_group(process):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(process.pid, signal.SIGTERM)
    process.wait(10)


class Session:
    def __init__(self, scale=1, screen=(1920, 1080)):
        self.scale, (width, height) = scale, screen
        self.pixels = f"{width * scale}x{height * scale}"
        self.stack = contextlib.ExitStack()

    def spawn(self, argv, env, **options):
        options = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, **options}
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **options)
        self.stack.callback(stop_group, process)
        return process

    def main_window(self, shell, timeout=30.0):
        def shown():
            if shell.process.poll() is not None:
                raise ChildProcessError(f"the shell ended ({shell.process.returncode}): "
                                        f"{shell.stderr_text()[-2000:]}")
            return self.windows(shell)

        return wait_until(shown, timeout, what=f"a window of pid {shell.pid}",
                          fatal=(ChildProcessError,))[0]

    def tool(self, *argv):
        done = subprocess.run(list(map(str, argv)), env=self.env, capture_output=True, text=True,
                              timeout=20)
        if done.returncode != 0:
            raise RuntimeError(f"{argv} failed ({done.returncode}): {done.stderr}")
        return done.stdout


class XSession(Session):
    # Bare Xvfb: nothing decorates, places or minimises.

    name, wayland = "xvfb", False

    def start(self):
        # -displayfd: the server picks a free display itself. -noreset: otherwise it resets
        # when its last client leaves, and refuses connections meanwhile.
        read, write = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write), "-screen", "0", self.pixels + "x24",
                    "-nolisten", "tcp", "-noreset"], {"PATH": PATH}, pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as pipe:
            self.display = ":" + pipe.readline().strip()
        # xdotool types non-ASCII text, and xprop shows it, only in a UTF-8 locale.
        self.env = {"DISPLAY": self.display, "PATH": PATH, "LANG": "C.UTF-8"}
        return self

    def prepare(self, shell):
        shell.env["DISPLAY"] = self.display
        if self.scale != 1:
            shell.env["GDK_SCALE"] = str(self.scale)

    def numbers(self, window, name, kind="32c"):
        # A property's items as integers; none when it is absent.
        found = self.tool("xprop", *(["-root"] if window is None else ["-id", window]),
                          "-notype", "-f", name, kind, " $0+\n", name)
        return [int(n, 0) for n in re.findall(r"0x[0-9a-f]+|\d+", found.partition(name)[2])]

    def windows(self, shell, *search):
        # Viewable toplevels; GTK's client leader has the pid but is never mapped.
        found = subprocess.run(["xdotool", "search", "--onlyvisible", *(
            search or ("--pid", str(shell.pid)))], env=self.env, capture_output=True, text=True)
        return [int(w) for w in found.stdout.split()]

    def title(self, window):
        return re.search(r'= "(.*)"$|$', self.tool("xprop", "-id", window, "_NET_WM_NAME"),
                         re.M).group(1) or ""

    def size(self, window):
        # Logical size: what the application asked for, whatever the scale.
        found = re.search(r"Geometry: (\d+)x(\d+)", self.tool("xdotool", "getwindowgeometry",
                                                             window))
        return tuple(int(side) // self.scale for side in found.groups())

    def min_size(self, window):
        hints = self.numbers(window, "WM_NORMAL_HINTS", "32i")
        return (hints[5], hints[6]) if hints and hints[0] & 1 << 4 else None

    def resize(self, window, width, height):
        self.tool("xdotool", "windowsize", window, width * self.scale, height * self.scale)

    def close(self, window):
        # WM_DELETE_WINDOW, as a window manager's close button sends it.
        xlib = ctypes.CDLL("libX11.so.6")
        xlib.XOpenDisplay.restype = ctypes.c_void_p
        dpy = ctypes.c_void_p(xlib.XOpenDisplay(self.display.encode()))
        # A ClientMessage as the longs of an XEvent: type, serial, send_event, display,
        # window, message_type, format, data.
        event = (ctypes.c_long * 24)(33, 0, 1, 0, window, xlib.XInternAtom(
            dpy, b"WM_PROTOCOLS", 0), 32, xlib.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0))
        xlib.XSendEvent(dpy, ctypes.c_ulong(window), 0, 0, event)
        xlib.XCloseDisplay(dpy)

    def app_id(self, window):
        return tuple(re.findall(r'"([^"]*)"', self.tool("xprop", "-id", window, "WM_CLASS")))

    def wm_state(self, window):
        return self.tool("xprop", "-id", window, "WM_STATE", "_NET_WM_STATE")

    def in_front(self, window):
        return (self.tool("xdotool", "getactivewindow").strip() == str(window)
                and "Iconic" not in self.wm_state(window))

    def press(self, window, *keys):
        # GTK takes X focus when its window maps; windowfocus gives it back after another
        # window took it. Keys then go through XTEST like a real keyboard's.
        self.tool("xdotool", "windowfocus", "--sync", window, "key", "--clearmodifiers", *keys)

    def type_text(self, window, text):
        self.tool("xdotool", "windowfocus", "--sync", window, "type", "--clearmodifiers",
                  "--delay", 20, text)

    def wait_for_clipboard(self, text):
        pass

    def screenshot(self, path, window):
        self.tool("import", "-window", window, path)
        return path


class WindowManagerSession(XSession):
    # Xvfb with openbox, a small window manager that follows the desktop standards.

    name = "openbox"

    def start(self):
        super().start()
        home = self.stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-wm-"))
        self.spawn(["openbox", "--sm-disable"], dict(self.env, HOME=home))
        wait_until(lambda: self.numbers(None, "_NET_SUPPORTING_WM_CHECK"), 15,
                   what="openbox to manage the screen")
        return self

    def other_window(self):
        # Another application's window, in front and focused, until the session ends.
        self.spawn(["xmessage", "-geometry", "1900x1000+0+0", "other"], self.env)
        window = wait_until(lambda: self.windows(None, "--name", "^xmessage$"), 15,
                            what="xmessage")[0]
        self.tool("xdotool", "windowactivate", window)
        wait_until(lambda: self.in_front(window), 10, what="the other window in front")


class SwaySession(Session):
    # Sway on its headless backend, windows floating as on a stacking desktop.

    name, wayland = "sway", True

    def start(self):
        self.runtime = self.stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-sway-"))
        config = os.path.join(self.runtime, "config")
        with open(config, "w") as handle:
            handle.write(f"xwayland disable\noutput HEADLESS-1 mode {self.pixels} scale "
                         f"{self.scale}\nfor_window [app_id=\".*\"] floating enable\n"
                         # Desktops with focus-stealing prevention grant a request
                         # that carries a valid activation token, and only that.
                         "focus_on_window_activation focus\n")
        self.env = {"PATH": PATH, "LANG": "C.UTF-8", "XDG_RUNTIME_DIR": self.runtime,
                    "SWAYSOCK": os.path.join(self.runtime, "ipc.sock")}
        argv = ["sway", "-c", config]
        if os.geteuid() == 0:
            # Sway refuses to run as root.
            os.chown(self.runtime, 65534, 65534)
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + argv
        process = self.spawn(argv, dict(self.env, HOME=self.runtime, WLR_BACKENDS="headless",
                                        WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1",
                                        WLR_HEADLESS_OUTPUTS="1"))

        def ready():
            if process.poll() is not None:
                raise ChildProcessError(f"sway ended ({process.returncode})")
            sockets = [n for n in os.listdir(self.runtime)
                       if n.startswith("wayland-") and not n.endswith(".lock")]
            # The IPC socket's file exists a moment before sway answers on it.
            return sockets and self.swaymsg("-t", "get_outputs") and sockets[0]

        self.socket = wait_until(ready, 20, what="sway to listen", fatal=(ChildProcessError,))
        self.env["WAYLAND_DISPLAY"] = self.socket
        # A seat has a keyboard only while one exists, and keys a new one sends before a
        # client has bound it are lost: one keyboard stays for the whole session.
        self.spawn(["wtype", "-s", "86400000"], self.env)
        wait_until(lambda: self.swaymsg("-t", "get_seats")[0]["capabilities"], 10,
                   what="the seat's keyboard")
        return self

    def swaymsg(self, *args):
        return json.loads(self.tool("swaymsg", "-r", *args) or "null")

    def prepare(self, shell):
        # WebKit's sandbox lets its web process reach only the socket inside
        # XDG_RUNTIME_DIR, as in a real session.
        os.makedirs(shell.runtime_dir, mode=0o700, exist_ok=True)
        with contextlib.suppress(FileExistsError):
            os.symlink(os.path.join(self.runtime, self.socket),
                       os.path.join(shell.runtime_dir, self.socket))
        shell.env.pop("DISPLAY", None)
        shell.env["WAYLAND_DISPLAY"] = self.socket

    def nodes(self, pid=None):
        found, pending = [], [self.swaymsg("-t", "get_tree")]
        while pending:
            node = pending.pop()
            pending += node.get("nodes", []) + node.get("floating_nodes", [])
            if node.get("pid") and pid in (None, node["pid"]):
                found.append(node)
        return found

    def node(self, window):
        return next(n for n in self.nodes() if n["id"] == window)

    def windows(self, shell):
        return [n["id"] for n in self.nodes(shell.pid)]

    def title(self, window):
        return self.node(window)["name"]

    def size(self, window):
        rect = self.node(window)["window_rect"]
        return rect["width"], rect["height"]

    def resize(self, window, width, height):
        self.swaymsg(f"[con_id={window}]", "resize", "set", f"{width}px", f"{height}px")

    def close(self, window):
        # The compositor's close, as a title bar's button sends it.
        self.swaymsg(f"[con_id={window}]", "kill")

    def app_id(self, window):
        # One name, where X's WM_CLASS has two.
        return (self.node(window)["app_id"],)

    def in_front(self, window):
        return self.node(window)["focused"]

    def focus(self, window):
        self.swaymsg(f"[con_id={window}]", "focus")
        wait_until(lambda: self.in_front(window), 10, what="focus")

    def other_window(self):
        # Another application's window, in front and focused, until the session ends.
        process = self.spawn(["weston-flower"], self.env)
        self.focus(wait_until(lambda: [n["id"] for n in self.nodes(process.pid)], 15,
                              what="weston-flower")[0])

    def press(self, window, *keys):
        self.focus(window)
        for combination in keys:
            *modifiers, key = combination.split("+")
            self.tool("wtype", *sum((["-M", m] for m in modifiers), []), "-k", key,
                      *sum((["-m", m] for m in reversed(modifiers)), []))

    def type_text(self, window, text):
        self.focus(window)
        self.tool("wtype", "-d", "20", text)

    def wait_for_clipboard(self, text):
        # A copy reaches the compositor asynchronously; a paste sent straight
        # after it would read the previous clipboard.
        wait_until(lambda: self.tool("wl-paste", "-n") == text, 10,
                   what=f"{text!r} on the clipboard")

    def screenshot(self, path, window):
        rect = self.node(window)["rect"]
        self.tool("grim", "-g", f"{rect['x']},{rect['y']} {rect['width']}x{rect['height']}", path)
        return path


def current():
    # The session class this run is for; a machine without its tools fails, never skips.
    return {s.name: s for s in (XSession, WindowManagerSession, SwaySession)}[
        os.environ.get("QUORVA_E2E_SESSION") or "xvfb"]
