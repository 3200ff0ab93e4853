"""Connections to the shared catalog's database, reused across the server's threads, and the
driver's errors turned into the catalog's own: a driver's text is read to tell them apart and
never passed on, so no address, user or password it may hold reaches a page or a log."""

import contextlib
import re
import threading

import psycopg
from psycopg import errors as pg
from psycopg.rows import dict_row

from ...catalog.errors import (DATABASE_MISSING, LOGIN_REFUSED, UNREACHABLE, DuplicateCode,
                               InvalidValues, NoRoom, Unavailable)
from ...errors import StartupError

# What libpq and the server say when a login is refused; anything else that keeps a
# connection from opening is taken for a server out of reach.
LOGIN = re.compile(r"authentication failed|pg_hba\.conf|no password supplied|password is required|"
                   r"role \".*\" does not exist|permission denied for database|"
                   r"not permitted to log in|certificate", re.I)
MISSING = re.compile(r"database \".*\" does not exist", re.I)
# Two transactions that met: the later one is run again.
RETRIED = (pg.SerializationFailure, pg.DeadlockDetected)
IDLE = 4
WAIT_SECONDS = 5


def unavailable(error):
    text = str(error)
    reason = (DATABASE_MISSING if MISSING.search(text) else
              LOGIN_REFUSED if LOGIN.search(text) else UNREACHABLE)
    return Unavailable(reason)


def settings(url):
    """The URL as libpq reads it, with a bound on how long a server out of reach is waited for
    unless the URL sets its own."""
    try:
        given = psycopg.conninfo.conninfo_to_dict(url)
    except psycopg.Error:
        raise StartupError("ที่อยู่ฐานข้อมูล PostgreSQL ไม่ถูกต้อง กรุณาตรวจสอบค่า QUORVA_DB",
                           "The PostgreSQL address is not valid; check QUORVA_DB") from None
    return {} if "connect_timeout" in given else {"connect_timeout": WAIT_SECONDS}


def refused(error, code=None):
    """The catalog's error for a statement the database would not run."""
    if isinstance(error, pg.UniqueViolation) and code is not None:
        return DuplicateCode(code)
    if isinstance(error, (pg.DiskFull, pg.InsufficientResources)):
        return NoRoom()
    if isinstance(error, (pg.IntegrityError, pg.DataError)):
        return InvalidValues()
    if isinstance(error, pg.InsufficientPrivilege):
        return Unavailable(LOGIN_REFUSED)
    if isinstance(error, (psycopg.OperationalError, psycopg.InterfaceError)):
        return Unavailable(UNREACHABLE)
    return None


class Pool:
    """A few idle connections kept for the next call; a connection the server dropped (it
    restarted, say) is replaced on the next call, so the catalog comes back by itself."""

    def __init__(self, url):
        self.url, self.options = url, settings(url)
        self.idle, self.lock = [], threading.Lock()

    def connect(self):
        try:
            return psycopg.connect(self.url, autocommit=True, row_factory=dict_row,
                                   **self.options)
        except psycopg.Error as error:
            raise unavailable(error) from None

    def take(self):
        with self.lock:
            if self.idle:
                return self.idle.pop(), True
        return self.connect(), False

    def give_back(self, conn):
        if conn.closed or conn.info.transaction_status != psycopg.pq.TransactionStatus.IDLE:
            conn.close()
            return
        with self.lock:
            if len(self.idle) < IDLE:
                self.idle.append(conn)
                return
        conn.close()

    def drop_idle(self):
        with self.lock:
            stale, self.idle = self.idle, []
        for conn in stale:
            conn.close()

    def close(self):
        self.drop_idle()

    def run(self, work, begin="BEGIN", code=None):
        """`work(conn)` in one transaction, committed if it returns (with no `begin`, `work`
        makes its own). A connection that had
        been idle and is found gone is replaced once; a transaction that met another one's
        is run again."""
        for attempt in range(4):
            conn, reused = self.take()
            committing = False
            try:
                if begin:
                    conn.execute(begin)
                result = work(conn)
                committing = True
                if begin:
                    conn.execute("COMMIT")
                return result
            except RETRIED:
                with contextlib.suppress(psycopg.Error):
                    conn.execute("ROLLBACK")
                if attempt == 3:
                    raise Unavailable(UNREACHABLE) from None
            except psycopg.Error as error:
                gone = conn.broken or conn.closed
                if gone and reused and not committing:
                    # The others idled as long and are likely gone too.
                    self.drop_idle()
                    continue
                with contextlib.suppress(psycopg.Error):
                    if not gone:
                        conn.execute("ROLLBACK")
                mapped = refused(error, code)
                if mapped is None:
                    raise
                raise mapped from None
            except BaseException:
                with contextlib.suppress(psycopg.Error):
                    conn.execute("ROLLBACK")
                raise
            finally:
                self.give_back(conn)
        raise Unavailable(UNREACHABLE)
