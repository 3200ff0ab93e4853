"""Windows read through Xlib, as a window manager or a task bar would read them."""

import ctypes
import ctypes.util

_IS_VIEWABLE = 2
_ICONIC = 3
_P_MIN_SIZE = 1 << 4


class _Attributes(ctypes.Structure):
    # XWindowAttributes up to map_state; the padding holds the rest.
    _fields_ = ([(name, ctypes.c_int) for name in "x y width height border depth".split()]
                + [("visual", ctypes.c_void_p), ("root", ctypes.c_ulong)]
                + [(name, ctypes.c_int) for name in "cls bit win backing".split()]
                + [("planes", ctypes.c_ulong), ("pixel", ctypes.c_ulong),
                   ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
                   ("installed", ctypes.c_int), ("map_state", ctypes.c_int),
                   ("rest", ctypes.c_char * 64)])


class _ClientMessage(ctypes.Structure):
    # An XEvent is 24 longs whatever its kind.
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


_TYPES = {"p": ctypes.c_void_p, "s": ctypes.c_char_p, "i": ctypes.c_int, "u": ctypes.c_uint,
          "l": ctypes.c_long, "L": ctypes.c_ulong}
_SIGNATURES = {"XOpenDisplay": "ps", "XCloseDisplay": "ip", "XDefaultRootWindow": "Lp",
               "XInternAtom": "Lpsi", "XQueryTree": "ipLpppp", "XGetWindowAttributes": "ipLp",
               "XGetWindowProperty": "ipLLlliLppppp", "XSendEvent": "ipLilp",
               "XResizeWindow": "ipLuu", "XSync": "ipi", "XFree": "ip"}
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_errors = []
_lib = None


@_ERROR_HANDLER
def _record_error(display, event):
    # Xlib's own handler ends the process; a window may vanish while it is read.
    _errors.append(event)
    return 0


def _xlib():
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        for name, (restype, *argtypes) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.restype, function.argtypes = _TYPES[restype], [_TYPES[t] for t in argtypes]
        lib.XSetErrorHandler.argtypes = [_ERROR_HANDLER]
        lib.XSetErrorHandler(_record_error)
        _lib = lib
    return _lib


class X:
    """A short-lived connection to the display."""

    def __init__(self, name):
        self.lib = _xlib()
        self.dpy = self.lib.XOpenDisplay(name.encode())
        if not self.dpy:
            raise OSError(f"cannot open X display {name}")
        self.root = self.lib.XDefaultRootWindow(self.dpy)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.lib.XCloseDisplay(self.dpy)

    def atom(self, name):
        return self.lib.XInternAtom(self.dpy, name.encode(), 0)

    def property(self, window, name):
        """Ints for formats 16 and 32, bytes for format 8, None when absent."""
        kind, form, items, after, data = (ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(),
                                          ctypes.c_ulong(), ctypes.c_void_p())
        del _errors[:]
        if (self.lib.XGetWindowProperty(self.dpy, window, self.atom(name), 0, 1 << 20, 0, 0,
                                        *map(ctypes.byref, (kind, form, items, after, data)))
                or _errors or not data.value):
            return None
        try:
            array = {8: ctypes.c_char, 16: ctypes.c_short, 32: ctypes.c_ulong}[form.value]
            value = (array * items.value).from_address(data.value)
            return value.raw if form.value == 8 else list(value)
        finally:
            self.lib.XFree(data)

    def attributes(self, window):
        attributes = _Attributes()
        del _errors[:]
        ok = self.lib.XGetWindowAttributes(self.dpy, window, ctypes.byref(attributes))
        return attributes if ok and not _errors else None

    def windows(self, pid=None, title=None):
        """Viewable toplevels; GTK's client leader has the pid but is never mapped."""
        # A window manager lists its clients; without one they are the root's children.
        found = self.property(self.root, "_NET_CLIENT_LIST")
        if found is None or not self.property(self.root, "_NET_SUPPORTING_WM_CHECK"):
            root, parent, children, count = (ctypes.c_ulong(), ctypes.c_ulong(),
                                             ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint())
            self.lib.XQueryTree(self.dpy, self.root, *map(ctypes.byref,
                                                          (root, parent, children, count)))
            found = children[:count.value]
            self.lib.XFree(children)
        return [w for w in found
                if getattr(self.attributes(w), "map_state", None) == _IS_VIEWABLE
                and (pid is None or (self.property(w, "_NET_WM_PID") or [None])[0] == pid)
                and (title is None or self.title(w) == title)]

    def title(self, window):
        value = self.property(window, "_NET_WM_NAME") or self.property(window, "WM_NAME")
        return (value or b"").decode("utf-8", "replace")

    def size(self, window):
        attributes = self.attributes(window)
        return attributes.width, attributes.height

    def min_size(self, window):
        hints = self.property(window, "WM_NORMAL_HINTS")
        return (hints[5], hints[6]) if hints and hints[0] & _P_MIN_SIZE else None

    def wm_class(self, window):
        return tuple(part.decode() for part in self.property(window, "WM_CLASS").split(b"\0")
                     if part)

    def state(self, window):
        """Iconic, active, on top, and the window manager's states."""
        net = self.property(window, "_NET_WM_STATE") or []
        return {"iconic": (self.property(window, "WM_STATE") or [0])[0] == _ICONIC,
                "active": (self.property(self.root, "_NET_ACTIVE_WINDOW") or [0])[0] == window,
                "top": (self.property(self.root, "_NET_CLIENT_LIST_STACKING") or [0])[-1] == window,
                **{name.lower(): self.atom("_NET_WM_STATE_" + name) in net
                   for name in ("MAXIMIZED_VERT", "MAXIMIZED_HORZ", "HIDDEN")}}

    def resize(self, window, width, height):
        self.lib.XResizeWindow(self.dpy, window, width, height)
        self.lib.XSync(self.dpy, 0)

    def close(self, window):
        """WM_DELETE_WINDOW, as a window manager's close button sends it."""
        event = _ClientMessage(type=33, send_event=1, window=window, format=32,
                               message_type=self.atom("WM_PROTOCOLS"))
        event.data[0] = self.atom("WM_DELETE_WINDOW")
        self.lib.XSendEvent(self.dpy, window, 0, 0, ctypes.byref(event))
        self.lib.XSync(self.dpy, 0)
