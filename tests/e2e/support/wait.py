import time

_NOTHING = object()


class WaitTimeout(TimeoutError):
    def __init__(self, message, last_value=None, last_error=None):
        super().__init__(message)
        self.last_value = last_value
        self.last_error = last_error


def wait_until(predicate, timeout, interval=0.05, what=None, fatal=()):
    """Call predicate until it returns something truthy and return that.

    Exceptions from the predicate count as "not yet" unless listed in
    fatal. The timeout error carries the last value and exception seen, so
    a failing test tells what it saw and not only that it waited.
    """
    deadline = time.monotonic() + timeout
    last_value = _NOTHING
    last_error = None
    while True:
        try:
            value = predicate()
        except fatal:
            raise
        except Exception as error:
            last_error = error
        else:
            if value:
                return value
            last_value = value
            last_error = None
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        time.sleep(min(interval, remaining))
    label = what or getattr(predicate, "__name__", "condition")
    seen = []
    if last_value is not _NOTHING:
        seen.append(f"last value {last_value!r}")
    if last_error is not None:
        seen.append(f"last error {type(last_error).__name__}: {last_error}")
    detail = "; ".join(seen) or "predicate never returned"
    raise WaitTimeout(
        f"timed out after {timeout:.1f}s waiting for {label} ({detail})",
        None if last_value is _NOTHING else last_value,
        last_error,
    )
