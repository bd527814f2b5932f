"""A throw-away MariaDB server for tests and examples.

The server lives in its own temporary directory, listens only on 127.0.0.1
at a free port and on a unix socket inside that directory, and reads no
option files, so it never sees or disturbs any other MariaDB on the machine.

    with PrivateMariaDB() as db:
        db.create_user("app", "secret", "shop")
        db.executescript("CREATE TABLE t (id INT PRIMARY KEY)", database="shop")
        print(db.hostport)          # "127.0.0.1:PORT" for the client under test

Only the standard library and PyMySQL are needed.  ``mariadbd`` and
``mariadb-install-db`` must be on PATH (or in /usr/sbin).
"""

from __future__ import annotations

import atexit
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
    "--max-connections=64",
    # Without option files the server would default to latin1.
    "--character-set-server=utf8mb4",
    "--collation-server=utf8mb4_unicode_ci",
)

_PRIVILEGES_RE = re.compile(r"[A-Z]+(?: [A-Z]+)*(?:, *[A-Z]+(?: [A-Z]+)*)*")

# unix domain socket paths are limited to 108 bytes on Linux.
_MAX_SOCKET_PATH = 107

_live = weakref.WeakSet()
_live_lock = threading.Lock()


class PrivateMariaDBError(RuntimeError):
    """The private server could not be installed, started or stopped."""


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


def _free_loopback_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _tail(path: str, lines: int = 40) -> str:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return "(no error log)"


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
        server runs does nothing.
        """
        if self.running:
            return self
        if self._base is None:
            self._install()
        with _live_lock:
            _live.add(self)
        if self._port is None:
            self._port = _free_loopback_port()
        try:
            self._launch()
        except PrivateMariaDBError as first:
            # Another process may have taken the port between our probe and
            # the server's bind.  Only a port we chose ourselves is retried.
            if self._fixed_port is not None or "Bind on TCP/IP port" not in str(first):
                raise
            self._port = _free_loopback_port()
            self._launch()
        return self

    def _install(self):
        base = tempfile.mkdtemp(prefix="quorvane-mariadb-")
        if len(os.path.join(base, "mysqld.sock")) > _MAX_SOCKET_PATH:
            shutil.rmtree(base, ignore_errors=True)
            raise PrivateMariaDBError(f"temp dir path too long for a unix socket: {base}")
        self._base = base
        os.mkdir(os.path.join(base, "tmp"))
        cmd = [
            _find_program("mariadb-install-db"),
            "--no-defaults",
            f"--datadir={self.datadir}",
            "--auth-root-authentication-method=normal",
            "--skip-test-db",
            "--skip-name-resolve",
            # Passed through to the bootstrap server so the redo log is
            # created small rather than created large and resized on start.
            "--innodb-log-file-size=8M",
            *self._user_args(),
        ]
        try:
            res = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, timeout=120)
        except subprocess.TimeoutExpired as e:
            self._remove_dir()
            raise PrivateMariaDBError(f"mariadb-install-db timed out:\n{(e.output or b'').decode(errors='replace')}") from None
        if res.returncode != 0:
            self._remove_dir()
            raise PrivateMariaDBError(
                f"mariadb-install-db failed (exit {res.returncode}):\n"
                + res.stdout.decode(errors="replace"))

    def _launch(self):
        cmd = [
            _find_program("mariadbd"),
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
        self._proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self.startup_timeout
        last_error = None
        while True:
            if self._proc.poll() is not None:
                code = self._proc.returncode
                self._proc = None
                raise PrivateMariaDBError(
                    f"mariadbd exited with {code} during start-up:\n{self._log_since(log_start)}")
            try:
                self._connect_root(connect_timeout=2).close()
                return
            except (pymysql.err.MySQLError, OSError) as e:
                last_error = e
            if time.monotonic() > deadline:
                self._terminate(signal.SIGKILL, 5)
                raise PrivateMariaDBError(
                    f"mariadbd not ready after {self.startup_timeout}s ({last_error}):\n"
                    f"{self._log_since(log_start)}")
            time.sleep(0.05)

    def _log_since(self, offset: int) -> str:
        try:
            with open(self.error_log, "rb") as f:
                f.seek(offset)
                text = f.read().decode(errors="replace")
        except OSError:
            return "(no error log)"
        lines = text.splitlines()[-40:]
        return "\n".join(lines) if lines else _tail(self.error_log)

    @staticmethod
    def _user_args() -> list[str]:
        # mariadbd refuses to run as root unless told that this is intended.
        return ["--user=root"] if os.geteuid() == 0 else []

    def stop(self, timeout: float = 30.0):
        """Shut the server down cleanly; the data and port are kept."""
        self._terminate(signal.SIGTERM, timeout)

    def kill(self):
        """End the server abruptly (SIGKILL), as a crash would.

        Committed data survives; start() runs crash recovery on it.
        """
        self._terminate(signal.SIGKILL, 10)

    def restart(self, timeout: float = 30.0) -> "PrivateMariaDB":
        self.stop(timeout)
        return self.start()

    def close(self):
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

    def __exit__(self, *exc):
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
