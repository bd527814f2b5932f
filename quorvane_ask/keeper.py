"""The kept sample server: the sample shop on a private MariaDB server that
outlives the command, so that questions asked one command at a time do not
each pay for a server start.

    quorvane-ask --sample-server start     start it; print how to reach it
    quorvane-ask --sample-server status    is it running, and does it answer
    quorvane-ask --sample-server stop      stop it and delete its files

``start`` runs this module as a detached process (a session of its own, no
terminal) that holds the server and waits for SIGTERM, on which it closes
the server as any other user of ``PrivateMariaDB`` would.  The connection
details go to a state file that only its owner may read, in the user's
runtime directory ($XDG_RUNTIME_DIR), or else the cache directory.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import secrets
import shlex
import signal
import subprocess
import sys
import time
import traceback
from typing import IO, Iterator, NamedTuple

__all__ = ["KeptServer", "running", "state_path", "command"]

ACTIONS = ("start", "status", "stop")
_STATE_NAME = "sample-server.json"
# What the keeper's command line holds, so that a pid the system has given to
# another process since is not taken for the keeper.
_MARK = "quorvane_ask.keeper"
STOP_TIMEOUT = 60.0


class KeptServer(NamedTuple):
    pid: int         # the keeper process, not the server
    host: str        # "127.0.0.1:PORT"
    database: str
    user: str        # may only read the database
    password: str

    def mysql_command(self) -> str:
        address, port = self.host.rsplit(":", 1)
        return (f"MYSQL_PWD={shlex.quote(self.password)} mysql -h {address} -P {port} "
                f"-u {shlex.quote(self.user)} {shlex.quote(self.database)}")

    def describe(self) -> str:
        address, port = self.host.rsplit(":", 1)
        return "\n".join([
            f"The sample shop runs on a kept MariaDB server (keeper pid {self.pid}):",
            f"  host:      {address}",
            f"  port:      {port}",
            f"  database:  {self.database}",
            f"  user:      {self.user} (may only read)",
            f"  password:  {self.password}",
            f"  mysql:     {self.mysql_command()}",
            "While it runs, quorvane-ask asks it instead of starting a server of its own;",
            "quorvane-ask --sample-server stop ends it.",
        ])


def state_dir() -> str:
    """The per-user directory of the state file (not created here)."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isabs(runtime) and os.path.isdir(runtime):
        return os.path.join(runtime, "quorvane-ask")
    cache = os.environ.get("XDG_CACHE_HOME")
    if not (cache and os.path.isabs(cache)):
        cache = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "quorvane-ask")


def state_path() -> str:
    return os.path.join(state_dir(), _STATE_NAME)


def _own_dir() -> str:
    path = state_dir()
    os.makedirs(path, mode=0o700, exist_ok=True)
    info = os.stat(path)
    # The password is kept there: a directory another user owns or may
    # write to could hand out or swap the state file.
    if info.st_uid != os.getuid() or info.st_mode & 0o022:
        raise OSError(f"{path} is not a directory only this user may write to")
    return path


def _read_state(path: str) -> KeptServer | None:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        kept = KeptServer(**data)
    except (OSError, ValueError, TypeError):
        return None
    if not isinstance(kept.pid, int) or not all(
            isinstance(v, str) for v in (kept.host, kept.database, kept.user, kept.password)):
        return None
    return kept


def _write_state(path: str, kept: KeptServer) -> None:
    # Written whole under another name and renamed, so that a reader never
    # sees half a file; created 0600, as it holds the password.
    tmp = f"{path}.{os.getpid()}.tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        json.dump(kept._asdict(), f)
    os.replace(tmp, path)


def _remove_state(path: str, pid: int) -> None:
    # Only the keeper's own file: a newer keeper may have replaced it.
    kept = _read_state(path)
    if kept is not None and kept.pid == pid:
        with contextlib.suppress(OSError):
            os.unlink(path)


def _alive(pid: int) -> bool:
    """True when `pid` is a live keeper process (not a zombie, not a reused pid)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            cmdline = f.read()
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return False
    # The state follows the command name, which is in parentheses and may
    # hold anything, so it is read after the last ')'.
    state = stat.rsplit(b")", 1)[-1].split()[:1]
    return _MARK.encode() in cmdline and state != [b"Z"]


def running() -> KeptServer | None:
    """The kept server, when one runs for this user; cheap enough for every ask."""
    kept = _read_state(state_path())
    return kept if kept is not None and _alive(kept.pid) else None


@contextlib.contextmanager
def _locked(directory: str) -> Iterator[None]:
    # Two starts at once would otherwise both find nothing running.
    with open(os.path.join(directory, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _answers(kept: KeptServer) -> str | None:
    """None when the read-only account can run a query, else the driver's message."""
    import pymysql

    address, port = kept.host.rsplit(":", 1)
    try:
        conn = pymysql.connect(host=address, port=int(port), user=kept.user,
                               password=kept.password, database=kept.database,
                               connect_timeout=5, read_timeout=5)
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT 1")
        finally:
            conn.close()
    except pymysql.err.MySQLError as e:
        return " ".join(str(e).split())
    return None


def start(out: IO[str], err: IO[str]) -> int:
    path = os.path.join(_own_dir(), _STATE_NAME)
    with _locked(os.path.dirname(path)):
        kept = running()
        if kept is not None:
            print(kept.describe(), file=out)
            return 0
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        # The keeper runs this very copy of the package (a checkout's, or the
        # installed one), from /, so that it keeps no directory busy.
        code = (f"import sys; sys.path.insert(0, {package_parent!r}); "
                f"from {_MARK} import serve; serve({path!r})")
        proc = subprocess.Popen([sys.executable, "-c", code, _MARK], cwd="/",
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        try:
            # Ends when the keeper hands its output over to /dev/null (the
            # server is ready) or when it exits (it failed).
            output = proc.stdout.read().decode(errors="replace") if proc.stdout else ""
        except KeyboardInterrupt:
            proc.terminate()
            proc.wait()
            raise
        finally:
            if proc.stdout:
                proc.stdout.close()
        kept = running()
        if kept is None or kept.pid != proc.pid:
            proc.wait()
            lines = output.strip().splitlines() or [f"the keeper exited with {proc.returncode}"]
            print(f"quorvane-ask: the sample server did not start: {lines[0]}", file=err)
            for line in lines[1:]:
                print(f"  {line}", file=err)
            return 1
        print(kept.describe(), file=out)
        return 0


def status(out: IO[str], err: IO[str]) -> int:
    kept = running()
    if kept is None:
        print("No sample server is running.", file=out)
        return 1
    problem = _answers(kept)
    if problem is not None:
        print(f"quorvane-ask: the sample server (keeper pid {kept.pid}) runs but does not "
              f"answer: {problem}", file=err)
        return 1
    print(kept.describe(), file=out)
    return 0


def stop(out: IO[str], err: IO[str]) -> int:
    kept = running()
    if kept is None:
        print("No sample server is running.", file=out)
        return 0
    with contextlib.suppress(ProcessLookupError):
        os.kill(kept.pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT
    while _alive(kept.pid):
        if time.monotonic() > deadline:
            print(f"quorvane-ask: the sample server's keeper (pid {kept.pid}) did not stop "
                  f"within {STOP_TIMEOUT:g} s", file=err)
            return 1
        time.sleep(0.05)
    print(f"The sample server (keeper pid {kept.pid}) has stopped.", file=out)
    return 0


def command(action: str, out: IO[str] = sys.stdout, err: IO[str] = sys.stderr) -> int:
    """Run `quorvane-ask --sample-server ACTION`; the exit status."""
    try:
        return {"start": start, "status": status, "stop": stop}[action](out, err)
    except OSError as e:
        print(f"quorvane-ask: the sample server's state directory: {e}", file=err)
        return 1


class _Stop(Exception):
    """SIGTERM or SIGINT reached the keeper."""


def _on_signal(signum: int, frame: object) -> None:
    raise _Stop


def serve(path: str) -> None:
    """The keeper process: start the server, load the shop, publish the state
    file, say so on stdout and wait for SIGTERM."""
    # Python-level handlers, not a blocked signal mask: a mask would be
    # inherited by mariadbd, which must still stop on its own SIGTERM.
    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGINT, _on_signal)
    from .privatedb import PrivateMariaDB, PrivateMariaDBError
    from .sample_shop import load_sample

    server = PrivateMariaDB()
    try:
        server.start()
        shop = load_sample(server, password=secrets.token_urlsafe(12))
        kept = KeptServer(os.getpid(), shop.host, shop.name, shop.user, shop.password)
        _write_state(path, kept)
        print("ready", flush=True)
        # From here on nothing reads what the keeper writes.
        devnull = os.open(os.devnull, os.O_RDWR)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        os.close(devnull)
        while server.running:
            time.sleep(1)
    except _Stop:
        pass
    except PrivateMariaDBError as e:
        print(e, flush=True)
        raise SystemExit(1) from None
    except Exception as e:
        # The message first: start reports the first line as the reason.
        print(f"{type(e).__name__}: {e}", flush=True)
        traceback.print_exc(file=sys.stdout)
        raise SystemExit(1) from None
    finally:
        # A second signal while the server shuts down must not cut that short.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        server.close()
        _remove_state(path, os.getpid())
