import ctypes
import ctypes.util
import os
import subprocess
from collections import namedtuple

from .wait import wait_until

Window = ctypes.c_ulong
Atom = ctypes.c_ulong

_ANY_PROPERTY_TYPE = 0
_CLIENT_MESSAGE = 33
_IS_VIEWABLE = 2
_P_MIN_SIZE = 1 << 4
_P_MAX_SIZE = 1 << 5
_P_BASE_SIZE = 1 << 8


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
        ("visual", ctypes.c_void_p), ("root", Window),
        ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
        ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int),
        ("all_event_masks", ctypes.c_long), ("your_event_mask", ctypes.c_long),
        ("do_not_propagate_mask", ctypes.c_long), ("override_redirect", ctypes.c_int),
        ("screen", ctypes.c_void_p),
    ]


class _Aspect(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int)]


class _XSizeHints(ctypes.Structure):
    _fields_ = [
        ("flags", ctypes.c_long),
        ("x", ctypes.c_int), ("y", ctypes.c_int),
        ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("min_width", ctypes.c_int), ("min_height", ctypes.c_int),
        ("max_width", ctypes.c_int), ("max_height", ctypes.c_int),
        ("width_inc", ctypes.c_int), ("height_inc", ctypes.c_int),
        ("min_aspect", _Aspect), ("max_aspect", _Aspect),
        ("base_width", ctypes.c_int), ("base_height", ctypes.c_int),
        ("win_gravity", ctypes.c_int),
    ]


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
        ("window", Window), ("message_type", Atom),
        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
    ]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class _XErrorEvent(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int), ("display", ctypes.c_void_p),
        ("resourceid", ctypes.c_ulong), ("serial", ctypes.c_ulong),
        ("error_code", ctypes.c_ubyte), ("request_code", ctypes.c_ubyte),
        ("minor_code", ctypes.c_ubyte),
    ]


_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_XErrorEvent))
_errors = []


@_ERROR_HANDLER
def _record_error(display, event):
    # Xlib's default handler exits the process; a window vanishing between
    # listing and querying it is normal here.
    _errors.append(event.contents.error_code)
    return 0


_lib = None


def _xlib():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        P = ctypes.POINTER
        signatures = {
            "XOpenDisplay": (ctypes.c_void_p, [ctypes.c_char_p]),
            "XCloseDisplay": (ctypes.c_int, [ctypes.c_void_p]),
            "XDefaultRootWindow": (Window, [ctypes.c_void_p]),
            "XInternAtom": (Atom, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]),
            "XQueryTree": (ctypes.c_int, [ctypes.c_void_p, Window, P(Window), P(Window),
                                          P(P(Window)), P(ctypes.c_uint)]),
            "XGetWindowProperty": (ctypes.c_int, [ctypes.c_void_p, Window, Atom, ctypes.c_long,
                                                  ctypes.c_long, ctypes.c_int, Atom, P(Atom),
                                                  P(ctypes.c_int), P(ctypes.c_ulong),
                                                  P(ctypes.c_ulong), P(ctypes.c_void_p)]),
            "XGetWindowAttributes": (ctypes.c_int, [ctypes.c_void_p, Window, P(_XWindowAttributes)]),
            "XGetWMNormalHints": (ctypes.c_int, [ctypes.c_void_p, Window, P(_XSizeHints),
                                                 P(ctypes.c_long)]),
            "XTranslateCoordinates": (ctypes.c_int, [ctypes.c_void_p, Window, Window, ctypes.c_int,
                                                     ctypes.c_int, P(ctypes.c_int), P(ctypes.c_int),
                                                     P(Window)]),
            "XSendEvent": (ctypes.c_int, [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long,
                                          P(_XEvent)]),
            "XResizeWindow": (ctypes.c_int, [ctypes.c_void_p, Window, ctypes.c_uint, ctypes.c_uint]),
            "XSync": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
            "XFree": (ctypes.c_int, [ctypes.c_void_p]),
            "XGetAtomName": (ctypes.c_void_p, [ctypes.c_void_p, Atom]),
            "XSetErrorHandler": (ctypes.c_void_p, [_ERROR_HANDLER]),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        lib.XSetErrorHandler(_record_error)
        _lib = lib
    return _lib


SizeHints = namedtuple("SizeHints", "min_size max_size base_size")


class X11Error(Exception):
    pass


def _display_name(display):
    name = display or os.environ.get("DISPLAY")
    if not name:
        raise X11Error("no X display given and DISPLAY is not set")
    return name


class Display:
    """A short-lived Xlib connection; use as a context manager."""

    def __init__(self, display=None):
        self.name = _display_name(display)
        self._x = _xlib()
        self._dpy = self._x.XOpenDisplay(self.name.encode())
        if not self._dpy:
            raise X11Error(f"cannot open X display {self.name}")
        self.root = self._x.XDefaultRootWindow(self._dpy)
        self._atoms = {}

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._dpy:
            self._x.XCloseDisplay(self._dpy)
            self._dpy = None

    def _sync(self):
        del _errors[:]
        self._x.XSync(self._dpy, 0)
        return not _errors

    def atom(self, name):
        if name not in self._atoms:
            self._atoms[name] = self._x.XInternAtom(self._dpy, name.encode(), 0)
        return self._atoms[name]

    def top_level_windows(self):
        # A window manager reparents clients into its frames and lists them;
        # without one the application's toplevels are the root's children.
        managed = self.get_property(self.root, "_NET_CLIENT_LIST")
        if managed is not None and self.get_property(self.root, "_NET_SUPPORTING_WM_CHECK"):
            return [Window(w).value for w in managed]
        root, parent = Window(), Window()
        children = ctypes.POINTER(Window)()
        count = ctypes.c_uint()
        if not self._x.XQueryTree(self._dpy, self.root, ctypes.byref(root), ctypes.byref(parent),
                                  ctypes.byref(children), ctypes.byref(count)):
            return []
        try:
            return [children[i] for i in range(count.value)]
        finally:
            if children:
                self._x.XFree(children)

    def get_property(self, window, name):
        """Property value: list of ints for format 16/32, bytes for format 8, None if absent."""
        actual_type, actual_format = Atom(), ctypes.c_int()
        items, after = ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.c_void_p()
        del _errors[:]
        status = self._x.XGetWindowProperty(
            self._dpy, window, self.atom(name), 0, 1 << 20, 0, _ANY_PROPERTY_TYPE,
            ctypes.byref(actual_type), ctypes.byref(actual_format), ctypes.byref(items),
            ctypes.byref(after), ctypes.byref(data))
        if status != 0 or _errors or not data.value:
            return None
        try:
            n = items.value
            if actual_format.value == 8:
                return ctypes.string_at(data.value, n)
            if actual_format.value == 16:
                return list((ctypes.c_short * n).from_address(data.value))
            return list((ctypes.c_ulong * n).from_address(data.value))
        finally:
            self._x.XFree(data)

    def pid(self, window):
        value = self.get_property(window, "_NET_WM_PID")
        return int(value[0]) if value else None

    def title(self, window):
        for name in ("_NET_WM_NAME", "WM_NAME"):
            value = self.get_property(window, name)
            if value is not None:
                return value.decode("utf-8", "replace")
        return None

    def attributes(self, window):
        attributes = _XWindowAttributes()
        del _errors[:]
        if not self._x.XGetWindowAttributes(self._dpy, window, ctypes.byref(attributes)) or _errors:
            raise X11Error(f"window {window:#x} does not exist")
        return attributes

    def exists(self, window):
        try:
            self.attributes(window)
            return True
        except X11Error:
            return False

    def is_viewable(self, window):
        try:
            return self.attributes(window).map_state == _IS_VIEWABLE
        except X11Error:
            return False

    def find(self, pid=None, title=None, viewable=True):
        """Toplevels matching every criterion given.

        GTK also owns an unmapped 1x1 client-leader window carrying the
        program name and _NET_WM_PID; viewable=True leaves it out.
        """
        found = []
        for window in self.top_level_windows():
            if viewable and not self.is_viewable(window):
                continue
            if pid is not None and self.pid(window) != pid:
                continue
            if title is not None and self.title(window) != title:
                continue
            found.append(window)
        return found

    def geometry(self, window):
        attributes = self.attributes(window)
        return attributes.width, attributes.height

    def origin(self, window):
        x, y, child = ctypes.c_int(), ctypes.c_int(), Window()
        self._x.XTranslateCoordinates(self._dpy, window, self.root, 0, 0,
                                      ctypes.byref(x), ctypes.byref(y), ctypes.byref(child))
        return x.value, y.value

    def normal_hints(self, window):
        hints = _XSizeHints()
        supplied = ctypes.c_long()
        del _errors[:]
        if not self._x.XGetWMNormalHints(self._dpy, window, ctypes.byref(hints), ctypes.byref(supplied)):
            if _errors:
                raise X11Error(f"window {window:#x} does not exist")
            return SizeHints(None, None, None)
        flags = hints.flags
        return SizeHints(
            (hints.min_width, hints.min_height) if flags & _P_MIN_SIZE else None,
            (hints.max_width, hints.max_height) if flags & _P_MAX_SIZE else None,
            (hints.base_width, hints.base_height) if flags & _P_BASE_SIZE else None,
        )


    def close_window(self, window):
        event = _XEvent()
        message = event.xclient
        message.type = _CLIENT_MESSAGE
        message.send_event = 1
        message.window = window
        message.message_type = self.atom("WM_PROTOCOLS")
        message.format = 32
        message.data[0] = self.atom("WM_DELETE_WINDOW")
        message.data[1] = 0
        self._x.XSendEvent(self._dpy, window, 0, 0, ctypes.byref(event))
        if not self._sync():
            raise X11Error(f"could not send WM_DELETE_WINDOW to {window:#x}")

    def atom_name(self, atom):
        name = self._x.XGetAtomName(self._dpy, atom)
        try:
            return ctypes.string_at(name).decode()
        finally:
            self._x.XFree(name)

    def net_wm_state(self, window):
        """The window manager's _NET_WM_STATE, as names without the prefix."""
        return {self.atom_name(a).replace("_NET_WM_STATE_", "")
                for a in self.get_property(window, "_NET_WM_STATE") or []}

    def iconic(self, window):
        state = self.get_property(window, "WM_STATE")
        return bool(state) and state[0] == 3

    def active_window(self):
        active = self.get_property(self.root, "_NET_ACTIVE_WINDOW")
        return active[0] if active else None

    def stacking(self):
        """Managed windows, bottom to top."""
        return list(self.get_property(self.root, "_NET_CLIENT_LIST_STACKING") or [])

    def wm_class(self, window):
        value = self.get_property(window, "WM_CLASS") or b""
        return tuple(part.decode() for part in value.split(b"\0") if part)

    def resize(self, window, width, height):
        self._x.XResizeWindow(self._dpy, window, width, height)
        if not self._sync():
            raise X11Error(f"could not resize {window:#x}")


def wait_for_window(pid=None, title=None, timeout=15.0, display=None):
    """First viewable toplevel with that pid and/or title."""
    with Display(display) as x:
        found = wait_until(lambda: x.find(pid=pid, title=title), timeout, 0.05,
                           what=f"a window (pid={pid}, title={title!r}) on {x.name}")
        return found[0]


def window_title(window, display=None):
    with Display(display) as x:
        return x.title(window)


def close_window(window, display=None):
    """Ask politely, as a window manager's close button would."""
    with Display(display) as x:
        x.close_window(window)


def geometry(window, display=None):
    with Display(display) as x:
        return x.geometry(window)


def origin(window, display=None):
    with Display(display) as x:
        return x.origin(window)


def normal_hints(window, display=None):
    with Display(display) as x:
        return x.normal_hints(window)


def resize(window, width, height, display=None):
    with Display(display) as x:
        x.resize(window, width, height)


def can_connect(display):
    lib = _xlib()
    dpy = lib.XOpenDisplay(display.encode())
    if not dpy:
        return False
    lib.XCloseDisplay(dpy)
    return True


def _tool_env(display):
    # xdotool type rejects non-ASCII text unless the locale is UTF-8.
    return {"DISPLAY": _display_name(display), "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "LANG": "C.UTF-8"}


def _run(argv, display, timeout=20.0):
    done = subprocess.run(argv, env=_tool_env(display), capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise X11Error(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def focus(window, display=None):
    _run(["xdotool", "windowfocus", "--sync", str(window)], display)


def send_keys(window, *keys, display=None):
    """Press key combinations such as "ctrl+r" in the window.

    Without a window manager `xdotool windowactivate` fails (nothing
    supports _NET_ACTIVE_WINDOW). GTK 4 takes X input focus itself when its
    window maps, and `windowfocus` restores it when another window has it;
    the keys then go through XTEST like a real keyboard, so they reach GTK
    accelerators and the page alike.
    """
    focus(window, display)
    _run(["xdotool", "key", "--clearmodifiers", *keys], display)


def type_text(window, text, display=None):
    focus(window, display)
    _run(["xdotool", "type", "--clearmodifiers", "--delay", "20", text], display)


def click(window, x, y, button=1, display=None):
    """A mouse button pressed and released at (x, y) in the window."""
    _run(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", str(button)],
         display)
