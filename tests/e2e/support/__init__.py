import time


def wait_until(predicate, timeout, interval=0.05, what=None, fatal=(), accept=bool):
    # The predicate's first accepted value; errors count as "not yet" unless fatal. The
    # timeout names what was last seen, so a failing test tells what it saw.
    deadline, seen = time.monotonic() + timeout, "nothing"
    while time.monotonic() < deadline or seen == "nothing":
        try:
            value = predicate()
            if accept(value):
                return value
            seen = f"last value {value!r}"
        except fatal:
            raise
        except Exception as error:
            seen = f"last error {type(error).__name__}: {error}"
        time.sleep(interval)
    raise TimeoutError(f"timed out after {timeout:.1f}s waiting for "
                       f"{what or predicate.__name__} ({seen})")
