"""A throw-away MariaDB server for tests and examples.

The server lives in its own temporary directory, listens only on 127.0.0.1
at a free port and on a unix socket inside that directory, and reads no
option files, so it never sees or disturbs any other MariaDB on the machine.

    with PrivateMariaDB() as db:
        db.create_user("app", "secret", "shop")
        db.executescript("CREATE TABLE t (id INT PRIMARY KEY)", database="shop")
        print(db.hostport)          # "127.0.0.1:PORT" for the client under test

Everything the server and its install step write, temporary tables
included, stays inside that directory: a MariaDB that starts deletes the
``#sql*`` files in its tmpdir, so a server sharing ``/tmp`` would destroy
the temporary tables of every other server using it.  A start that fails
is tried once more; a start interrupted by SIGINT or SIGTERM removes what
it built before the signal takes its usual effect.

Only the standard library and PyMySQL are needed.  ``mariadbd`` and
``mariadb-install-db`` must be on PATH (or in /usr/sbin).
"""

from __future__ import annotations

import atexit
import contextlib
import logging
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import weakref

import pymysql
from pymysql.constants import CLIENT

__all__ = ["PrivateMariaDB", "PrivateMariaDBError", "quote_identifier"]

# Options that make a disposable server start fast and stay small.  Safety
# against a machine crash is traded away, as a test database is rebuilt
# every run; a killed server process still loses no committed row, which
# fault tests that kill() and start() again rely on.
_SERVER_TUNING = (
    "--skip-name-resolve",
    "--performance-schema=OFF",
    "--innodb-buffer-pool-size=16M",
    "--innodb-log-file-size=8M",
    # Commits reach the OS at once but are never fsynced.
    "--innodb-flush-log-at-trx-commit=2",
    "--innodb-doublewrite=0",
    # Simulated AIO works everywhere; io_uring/libaio can be unavailable in
    # containers and on tmpfs, and a tiny test server does not need them.
    "--innodb-use-native-aio=0",
    "--skip-log-bin",
    # The suite keeps one server for the session, and every LangChain database
    # object holds a pool of connections until it is collected.
    "--max-connections=512",
    # Without option files the server would default to latin1.
    "--character-set-server=utf8mb4",
    "--collation-server=utf8mb4_unicode_ci",
)

_PRIVILEGES_RE = re.compile(r"[A-Z]+(?: [A-Z]+)*(?:, *[A-Z]+(?: [A-Z]+)*)*")

# unix domain socket paths are limited to 108 bytes on Linux.
_MAX_SOCKET_PATH = 107

_INSTALL_TIMEOUT = 120.0

# Lines of a log quoted in an error: enough for the cause, short enough
# to read in a terminal.
_LOG_TAIL = 20

_log = logging.getLogger(__name__)

_live = weakref.WeakSet()
_live_lock = threading.Lock()


class PrivateMariaDBError(RuntimeError):
    """The private server could not be installed, started or stopped."""


class _Interrupted(BaseException):
    """SIGINT or SIGTERM arrived while a server was being built."""


class _SignalGuard:
    """Holds SIGINT and SIGTERM back for the length of a start.

    Python's default for SIGTERM ends the process on the spot, leaving the
    half-built directory and the server's processes behind, and a
    KeyboardInterrupt can strike between starting a child and recording its
    pid.  While the guard is active both signals are only recorded; the
    start's waits call check(), which raises _Interrupted at a point where
    the start can undo its work.  On exit the original handlers are put back
    and the signal is raised again, so it then has exactly the effect it
    would have had (KeyboardInterrupt, death by SIGTERM, the caller's
    handler).  A signal that comes after the last check still undoes the
    start, through ``undo``.  Outside the main thread no handler can be
    installed and nothing changes.
    """

    _SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, undo):
        self.pending: int | None = None
        self._undo = undo
        self._saved: dict[int, object] = {}

    def __enter__(self) -> "_SignalGuard":
        if threading.current_thread() is threading.main_thread():
            for sig in self._SIGNALS:
                old = signal.getsignal(sig)
                # An ignored signal stays ignored; None is a handler set
                # outside Python, which could not be put back.
                if old is signal.SIG_IGN or old is None:
                    continue
                self._saved[sig] = old
                signal.signal(sig, self._record)
        return self

    def _record(self, signum, frame):
        if self.pending is None:
            self.pending = signum

    def check(self):
        if self.pending is not None:
            raise _Interrupted(signal.Signals(self.pending).name)

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None and self.pending is not None:
            self._undo()
        for sig, old in self._saved.items():
            signal.signal(sig, old)
        if self.pending is None:
            return False
        signum, self.pending = self.pending, None
        try:
            signal.raise_signal(signum)
        except BaseException as raised:
            # The handler's own exception, without the _Interrupted that
            # only carried the signal here.
            raise raised from None
        # The caller's handler chose to carry on, but the start is undone.
        raise PrivateMariaDBError(
            f"start of the private MariaDB server interrupted by {signal.Signals(signum).name}"
        ) from None


def quote_identifier(name: str) -> str:
    """Quote a database, table or column name for MariaDB."""
    if not name or "\x00" in name:
        raise ValueError(f"invalid identifier: {name!r}")
    return "`" + name.replace("`", "``") + "`"


def _find_program(name: str) -> str:
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/local/sbin:/sbin")
    if not found:
        raise PrivateMariaDBError(f"{name} not found; install the MariaDB server package")
    return found


def _free_loopback_port(taken: set[int]) -> int:
    # The kernel may hand a port that was just probed and released to the
    # next probe, so servers of this process starting at the same time
    # could pick the same one.
    for _ in range(20):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in taken:
            return port
    raise PrivateMariaDBError("no free loopback port")


def _tail(path: str, offset: int = 0, lines: int = _LOG_TAIL) -> str:
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            text = f.read().decode(errors="replace")
    except OSError:
        return "(no log)"
    return "\n".join(text.splitlines()[-lines:]) or "(log empty)"


def _first_line(error: BaseException) -> str:
    return str(error).partition("\n")[0]


def _two_failures(first_cause: str, second: PrivateMariaDBError) -> PrivateMariaDBError:
    cause, _, log = str(second).partition("\n")
    if first_cause == cause:
        line = f"{cause} (tried twice)"
    else:
        line = f"{cause} (the first try: {first_cause})"
    return PrivateMariaDBError(f"{line}\n{log}" if log else line)


def _group_alive(pgid: int) -> bool:
    """Whether a process of group ``pgid`` still runs.  A zombie does not
    count: an orphan is reaped by init in its own good time, and the group
    stays until then."""
    try:
        entries = os.listdir("/proc")
    except OSError:
        return False
    for entry in entries:
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                # pid (comm) state ppid pgrp ...; comm may hold anything.
                fields = f.read().rpartition(b")")[2].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] not in (b"Z", b"X"):
            return True
    return False


def _wait_for_group(pgid: int, timeout: float = 5.0):
    deadline = time.monotonic() + timeout
    while _group_alive(pgid) and time.monotonic() < deadline:
        time.sleep(0.02)


class PrivateMariaDB:
    """One private MariaDB server process and its data directory.

    ``stop()`` and ``kill()`` end the process but keep the data directory
    and port, so a later ``start()`` brings the same server back; that is
    what fault tests need to take the database away between two calls.
    ``close()`` (also run by ``__exit__`` and at interpreter exit) stops the
    server and deletes the directory.
    """

    host = "127.0.0.1"

    def __init__(self, *, port: int | None = None, startup_timeout: float = 30.0,
                 extra_args: tuple[str, ...] | list[str] = ()):
        self._fixed_port = port
        self._port = port
        self.startup_timeout = startup_timeout
        self.extra_args = tuple(extra_args)
        self._base: str | None = None
        self._proc: subprocess.Popen | None = None
        self._installer: subprocess.Popen | None = None

    # -- paths and addresses --------------------------------------------

    @property
    def basedir(self) -> str | None:
        return self._base

    @property
    def datadir(self) -> str | None:
        return os.path.join(self._base, "data") if self._base else None

    @property
    def socket(self) -> str | None:
        return os.path.join(self._base, "mysqld.sock") if self._base else None

    @property
    def error_log(self) -> str | None:
        return os.path.join(self._base, "error.log") if self._base else None

    @property
    def port(self) -> int | None:
        return self._port

    @property
    def hostport(self) -> str:
        self._require_port()
        return f"{self.host}:{self._port}"

    @property
    def pid(self) -> int | None:
        return self._proc.pid if self.running else None

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def url(self, user: str, password: str, database: str | None = None) -> str:
        """A SQLAlchemy URL for the PyMySQL driver over loopback TCP."""
        from urllib.parse import quote

        self._require_port()
        url = f"mysql+pymysql://{quote(user, safe='')}:{quote(password, safe='')}@{self.hostport}"
        return url + (f"/{quote(database, safe='')}" if database else "")

    def _require_port(self):
        if self._port is None:
            raise PrivateMariaDBError("server has not been started")

    # -- lifecycle --------------------------------------------------------

    def start(self) -> "PrivateMariaDB":
        """Start the server, initialising a new data directory the first time.

        Returns once the server accepts connections.  Calling it while the
        server runs does nothing.  A start that fails is tried once more
        (from a new directory if this start made one); if that fails too,
        the error's first line gives the cause and the log's last lines
        follow it.  SIGINT or SIGTERM during the start ends the processes it
        began and removes a directory it made, then takes its usual effect.
        """
        if self.running:
            return self
        installer, server = _find_program("mariadb-install-db"), _find_program("mariadbd")
        fresh = self._base is None
        with _live_lock:
            _live.add(self)
        with _SignalGuard(lambda: self._abandon(fresh)) as guard:
            try:
                try:
                    self._attempt(guard, fresh, installer, server, new_port=self._port is None)
                except PrivateMariaDBError as first:
                    cause = _first_line(first)
                    _log.info("private MariaDB server did not start, trying once more: %s", cause)
                    # Another process may have taken the port between our
                    # probe and the server's bind: only a port we chose
                    # ourselves is changed, and on a restart only then, so
                    # that a restarted server keeps its address otherwise.
                    new_port = self._fixed_port is None and (
                        fresh or "Bind on TCP/IP port" in str(first))
                    try:
                        self._attempt(guard, fresh, installer, server, new_port=new_port)
                    except PrivateMariaDBError as second:
                        raise _two_failures(cause, second) from None
                guard.check()
            except BaseException:
                self._abandon(fresh)
                raise
        return self

    def _attempt(self, guard: _SignalGuard, fresh: bool, installer: str, server: str,
                 new_port: bool):
        if fresh:
            # A failed first try leaves its directory; this one starts clean.
            self._kill_installer()
            self._remove_dir()
            self._install(guard, installer)
        if new_port:
            with _live_lock:
                self._port = _free_loopback_port({s._port for s in _live if s is not self})
        self._launch(guard, server)
        if fresh:
            self._close_root_over_tcp()

    def _close_root_over_tcp(self) -> None:
        """Drop every root account but the one on the unix socket.

        A fresh data directory has passwordless root accounts for 127.0.0.1,
        ::1 and the host name: while the server runs, any local user could
        log in through them with every privilege, FILE included.  The socket
        lives in a directory only this user may enter, and it is the only
        way in that the helper itself uses.
        """
        rows = self.execute(
            "SELECT user, host FROM mysql.user WHERE user = 'root' AND host <> 'localhost'")
        for user, host in rows:
            self.execute("DROP USER %s@%s", (user, host))

    def _abandon(self, fresh: bool):
        self._kill_installer()
        self._terminate(signal.SIGKILL, 10)
        if fresh:
            self._remove_dir()
            self._port = self._fixed_port
            with _live_lock:
                _live.discard(self)

    def _tools_env(self) -> dict[str, str]:
        # Whatever the tools and the programs they run put in a temporary
        # file stays in the private directory too.
        return {**os.environ, "TMPDIR": os.path.join(self._base, "tmp")}

    def _install(self, guard: _SignalGuard, program: str):
        base = self._base = tempfile.mkdtemp(prefix="quorvane-mariadb-")
        if len(os.path.join(base, "mysqld.sock")) > _MAX_SOCKET_PATH:
            raise PrivateMariaDBError(f"temp dir path too long for a unix socket: {base}")
        os.mkdir(os.path.join(base, "tmp"))
        cmd = [
            program,
            "--no-defaults",
            f"--datadir={self.datadir}",
            "--auth-root-authentication-method=normal",
            "--skip-test-db",
            "--skip-name-resolve",
            # The rest reaches the bootstrap server the script runs.  It is a
            # MariaDB like any other: it keeps temporary tables in its tmpdir
            # and, as it starts, deletes every #sql* file it finds there.
            f"--tmpdir={os.path.join(base, 'tmp')}",
            # The redo log is created small rather than created large and
            # resized on start.
            "--innodb-log-file-size=8M",
            *self._user_args(),
        ]
        log_path = os.path.join(base, "install.log")
        # The script runs the bootstrap server as a child of its own: a
        # session of their own lets both be killed together.
        with open(log_path, "wb") as log:
            self._installer = subprocess.Popen(
                cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=self._tools_env(), start_new_session=True)
        deadline = time.monotonic() + _INSTALL_TIMEOUT
        while (code := self._installer.poll()) is None:
            guard.check()
            if time.monotonic() > deadline:
                self._kill_installer()
                raise PrivateMariaDBError(
                    f"mariadb-install-db not done after {_INSTALL_TIMEOUT} s\n{_tail(log_path)}")
            time.sleep(0.05)
        self._installer = None
        if code != 0:
            raise PrivateMariaDBError(
                f"mariadb-install-db failed with exit status {code}\n{_tail(log_path)}")

    def _kill_installer(self):
        proc, self._installer = self._installer, None
        if proc is None:
            return
        if proc.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        # The bootstrap server outlives the script by a moment; the
        # directory can only be removed once nothing writes into it.
        _wait_for_group(proc.pid)

    def _launch(self, guard: _SignalGuard, program: str):
        cmd = [
            program,
            "--no-defaults",
            *self._user_args(),
            f"--datadir={self.datadir}",
            f"--tmpdir={os.path.join(self._base, 'tmp')}",
            f"--socket={self.socket}",
            f"--port={self._port}",
            "--bind-address=127.0.0.1",
            f"--pid-file={os.path.join(self._base, 'mysqld.pid')}",
            f"--log-error={self.error_log}",
            *_SERVER_TUNING,
            *self.extra_args,
        ]
        log_start = os.path.getsize(self.error_log) if os.path.exists(self.error_log) else 0
        # Output from before the error log is open (a bad option) goes to
        # the log as well.  Its own session keeps a Ctrl-C at the terminal
        # from reaching the server, which close() then shuts down in order.
        with open(self.error_log, "ab") as log:
            self._proc = subprocess.Popen(
                cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=self._tools_env(), start_new_session=True)
        deadline = time.monotonic() + self.startup_timeout
        last_error = None
        while True:
            guard.check()
            if self._proc.poll() is not None:
                code = self._proc.returncode
                self._proc = None
                raise PrivateMariaDBError(
                    f"mariadbd exited with {code} during start-up\n"
                    f"{_tail(self.error_log, log_start)}")
            try:
                self._connect_root(connect_timeout=2).close()
                return
            except (pymysql.err.MySQLError, OSError) as e:
                last_error = e
            if time.monotonic() > deadline:
                self._terminate(signal.SIGKILL, 5)
                raise PrivateMariaDBError(
                    f"mariadbd not ready after {self.startup_timeout} s ({last_error})\n"
                    f"{_tail(self.error_log, log_start)}")
            time.sleep(0.05)

    @staticmethod
    def _user_args() -> list[str]:
        # mariadbd refuses to run as root unless told that this is intended.
        return ["--user=root"] if os.geteuid() == 0 else []

    def stop(self, timeout: float = 30.0) -> None:
        """Shut the server down cleanly; the data and port are kept."""
        self._terminate(signal.SIGTERM, timeout)

    def kill(self) -> None:
        """End the server abruptly (SIGKILL), as a crash would.

        Committed data survives; start() runs crash recovery on it.
        """
        self._terminate(signal.SIGKILL, 10)

    def restart(self, timeout: float = 30.0) -> "PrivateMariaDB":
        self.stop(timeout)
        return self.start()

    def close(self) -> None:
        """Stop the server and delete its directory."""
        try:
            self.stop()
        finally:
            self._remove_dir()
            self._port = self._fixed_port
            with _live_lock:
                _live.discard(self)

    def _terminate(self, sig: int, timeout: float):
        proc = self._proc
        if proc is None:
            return
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(10)
        self._proc = None

    def _remove_dir(self):
        if self._base is not None:
            shutil.rmtree(self._base, ignore_errors=True)
            self._base = None

    def __enter__(self) -> "PrivateMariaDB":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self):
        # Last resort when an instance is dropped without close(); atexit
        # covers instances still referenced at interpreter exit.
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "running" if self.running else "stopped"
        return f"<PrivateMariaDB {state} port={self._port} dir={self._base}>"

    # -- SQL as root --------------------------------------------------------

    def _connect_root(self, database=None, **kw) -> pymysql.connections.Connection:
        if self._base is None:
            raise PrivateMariaDBError("server has not been started")
        return pymysql.connect(unix_socket=self.socket, user="root", password="",
                               database=database, charset="utf8mb4", autocommit=True, **kw)

    def root_connect(self, database: str | None = None, **kw) -> pymysql.connections.Connection:
        """A new autocommit PyMySQL connection as root over the unix socket."""
        return self._connect_root(database, **kw)

    def execute(self, sql: str, args=None, database: str | None = None) -> tuple:
        """Run one statement as root and return its rows (empty if none)."""
        conn = self._connect_root(database)
        try:
            with conn.cursor() as cur:
                cur.execute(sql, args)
                return cur.fetchall()
        finally:
            conn.close()

    def executemany(self, sql: str, rows, database: str | None = None) -> int:
        conn = self._connect_root(database)
        try:
            with conn.cursor() as cur:
                return cur.executemany(sql, rows)
        finally:
            conn.close()

    def executescript(self, script: str, database: str | None = None):
        """Run several ';'-separated statements as root.

        The server splits the script itself, so semicolons inside string
        literals are safe.  Every statement's result is consumed so that an
        error in a later statement is raised here rather than lost.
        """
        conn = self._connect_root(database, client_flag=CLIENT.MULTI_STATEMENTS)
        try:
            with conn.cursor() as cur:
                cur.execute(script)
                while cur.nextset():
                    pass
        finally:
            conn.close()

    def create_database(self, name: str, *, drop: bool = False):
        if drop:
            self.execute(f"DROP DATABASE IF EXISTS {quote_identifier(name)}")
        self.execute(f"CREATE DATABASE IF NOT EXISTS {quote_identifier(name)} "
                     "CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci")

    def create_user(self, user: str, password: str, database: str | None = None,
                    privileges: str = "ALL PRIVILEGES"):
        """Create (or reset) a user with ``privileges`` on ``database``.

        ``privileges`` is the privilege list of a GRANT statement, such as
        "SELECT" for an account that may only read.  With name resolution
        off, TCP clients on 127.0.0.1 match host '%' and socket clients
        match 'localhost'; both accounts are made so the user can log in
        either way.  The database is created if missing.
        """
        # The list goes into the statement as it is, so only privilege
        # names and their separators are let through.
        if not _PRIVILEGES_RE.fullmatch(privileges):
            raise ValueError(f"invalid privilege list: {privileges!r}")
        if database is not None:
            self.create_database(database)
        for host in ("%", "localhost"):
            self.execute("CREATE OR REPLACE USER %s@%s IDENTIFIED BY %s", (user, host, password))
            if database is not None:
                self.execute(f"GRANT {privileges} ON {quote_identifier(database)}.* TO %s@%s",
                             (user, host))


@atexit.register
def _close_all():
    with _live_lock:
        servers = list(_live)
    for server in servers:
        try:
            server.close()
        except Exception:
            pass
