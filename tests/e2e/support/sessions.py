# The desktop a test class runs in, as `QUORVA_E2E_SESSION` names it: bare Xvfb (the
# default), Xvfb with openbox, or headless sway. A window is an X window id or sway's
# container id; on X, xprop and xdotool read windows and keys go in through XTEST; on sway,
# swaymsg reads them and wtype types.

import contextlib
import ctypes
import json
import os
import pathlib
import re
import signal
import subprocess
import tempfile

from . import wait_until

PATH = "/usr/bin:/bin"


class Session:
    def __init__(self, scale=1, screen=(1920, 1080)):
        self.scale, self.pixels = scale, f"{screen[0] * scale}x{screen[1] * scale}"
        self.stack = contextlib.ExitStack()

    def spawn(self, argv, env, **options):
        options = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, **options}
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                   start_new_session=True, **options)
        # Stopped with the session, its whole group, then reaped.
        self.stack.callback(process.wait, 10)
        self.stack.callback(os.killpg, process.pid, signal.SIGTERM)
        return process

    def announced(self, argv, env):
        # Starts a server that prints where it listens, and gives that line.
        process = self.spawn(argv, env, stdout=subprocess.PIPE)
        with process.stdout:
            return process.stdout.readline().decode().strip()

    def main_window(self, shell):
        def shown():
            # A shell that ended gives up the wait at once, with its last words.
            if shell.process.poll() is not None:
                raise ChildProcessError(f"the shell ended: {shell.stderr_text()[-2000:]}")
            return self.windows(shell)

        return wait_until(shown, 30, what="the shell's window", fatal=(ChildProcessError,))[0]

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
        self.display = ":" + self.announced(["Xvfb", "-displayfd", "1", "-screen", "0",
                                             f"{self.pixels}x24", "-nolisten", "tcp", "-noreset"],
                                            {"PATH": PATH})
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

    def windows(self, shell):
        # Viewable toplevels; GTK's client leader has the pid but is never mapped. None
        # found is a failure, for the caller to wait on.
        found = self.tool("xdotool", "search", "--onlyvisible", "--pid", shell.pid)
        return [int(w) for w in found.split()]

    def title(self, window):
        return self.tool("xdotool", "getwindowname", window)[:-1]

    def size(self, window):
        # Logical size: what the application asked for, whatever the scale.
        found = self.tool("xdotool", "getwindowgeometry", window)
        return tuple(int(side) // self.scale for side in re.search(r"(\d+)x(\d+)", found).groups())

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
        self.tool("xdotool", "search", "--sync", "--onlyvisible", "--name", "^xmessage$",
                  "windowactivate", "--sync")


class SwaySession(Session):
    # Sway on its headless backend, windows floating as on a stacking desktop.

    name, wayland = "sway", True

    def start(self):
        self.runtime = self.stack.enter_context(tempfile.TemporaryDirectory(prefix="quorva-sway-"))
        config = pathlib.Path(self.runtime, "config")
        # Desktops with focus-stealing prevention grant a request that carries a valid
        # activation token, and only that.
        config.write_text(f"xwayland disable\noutput HEADLESS-1 mode {self.pixels} scale "
                          f"{self.scale}\nfor_window [app_id=\".*\"] floating enable\n"
                          "focus_on_window_activation focus\n")
        self.env = {"PATH": PATH, "LANG": "C.UTF-8", "XDG_RUNTIME_DIR": self.runtime,
                    "SWAYSOCK": os.path.join(self.runtime, "ipc.sock")}
        argv = ["sway", "-c", str(config)]
        if os.geteuid() == 0:
            # Sway refuses to run as root.
            os.chown(self.runtime, 65534, 65534)
            argv = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + argv
        self.spawn(argv, dict(self.env, HOME=self.runtime, WLR_BACKENDS="headless",
                              WLR_RENDERER="pixman", WLR_LIBINPUT_NO_DEVICES="1",
                              WLR_HEADLESS_OUTPUTS="1"))
        # Sway answers on its IPC socket only once its display's socket listens, the first
        # free one from wayland-1 in a runtime directory of its own.
        wait_until(lambda: self.swaymsg("-t", "get_outputs"), 20, what="sway to answer")
        self.socket = self.env["WAYLAND_DISPLAY"] = "wayland-1"
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
        shell.env["WAYLAND_DISPLAY"] = self.socket

    def nodes(self):
        # Windows at any depth of the tree: the parser hands over every object it reads.
        found = []
        json.loads(self.tool("swaymsg", "-r", "-t", "get_tree"),
                   object_hook=lambda node: found.append(node) or node)
        return [n for n in found if n.get("pid")]

    def node(self, window):
        return next(n for n in self.nodes() if n["id"] == window)

    def windows(self, shell):
        return [n["id"] for n in self.nodes() if n["pid"] == shell.pid]

    def title(self, window):
        return self.node(window)["name"]

    def size(self, window):
        return tuple(self.node(window)["window_rect"][side] for side in ("width", "height"))

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
        self.focus(wait_until(lambda: self.windows(process), 15, what="weston-flower")[0])

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
