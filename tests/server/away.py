"""The catalog server with its engine behind a switch, so that a test can take the database
away: while the file named by QUORVA_TEST_AWAY holds a reason (unreachable, login,
missing), every call on the engine raises the catalog's Unavailable with it."""

import os
import sys

import harness  # noqa: F401  (puts the server's package on the path)
from quorva_catalog import main
from quorva_catalog.catalog.errors import Unavailable

SWITCH = os.environ["QUORVA_TEST_AWAY"]


class Away:
    def __init__(self, engine):
        self.engine = engine

    def __getattr__(self, name):
        value = getattr(self.engine, name)
        if not callable(value) or name in ("describe", "close"):
            return value

        def call(*args, **kwargs):
            try:
                with open(SWITCH) as switch:
                    reason = switch.read().strip()
            except FileNotFoundError:
                reason = ""
            if reason:
                raise Unavailable(reason)
            return value(*args, **kwargs)
        return call


engine_for = main.engine_for
main.engine_for = lambda value, folder: Away(engine_for(value, folder))
sys.exit(main.main())
