from .wait import WaitTimeout, wait_until
__all__ = ["WaitTimeout", "wait_until"]
