import contextlib
import glob
import logging
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import pymysql
import pytest

from quorvane_ask.privatedb import PrivateMariaDB, PrivateMariaDBError


def test_server_is_private(mariadb):
    assert mariadb.port != 3306
    datadir, sock, port, bind = mariadb.execute(
        "SELECT @@datadir, @@socket, @@port, @@bind_address")[0]
    assert os.path.realpath(datadir) == os.path.realpath(mariadb.datadir)
    assert datadir.startswith(mariadb.basedir) and "quorvane-mariadb-" in datadir
    assert sock == mariadb.socket and os.path.exists(sock)
    assert port == mariadb.port
    assert bind == "127.0.0.1"
    # Root is reachable only through the socket in the private directory.
    host, port = mariadb.hostport.rsplit(":", 1)
    with pytest.raises(pymysql.err.OperationalError) as err:
        pymysql.connect(host=host, port=int(port), user="root", password="", connect_timeout=5)
    # 1130 while no account matches the host; 1045 once a test has made one for '%'.
    assert err.value.args[0] in (1045, 1130)


def _tcp_connect(db, password):
    host, port = db.host.rsplit(":", 1)
    return pymysql.connect(host=host, port=int(port), user=db.user, password=password,
                           database=db.name, connect_timeout=5)


def test_user_reads_rows_over_tcp(shop_db):
    conn = _tcp_connect(shop_db, shop_db.password)
    try:
        with conn.cursor() as cur:
            cur.execute("SELECT c.name, SUM(o.amount) FROM customers c JOIN orders o "
                        "ON o.customer_id = c.id WHERE c.city = %s GROUP BY c.name ORDER BY c.name",
                        ("Berlin",))
            rows = [(name, str(total)) for name, total in cur.fetchall()]
            cur.execute("SELECT CURRENT_USER()")
            account = cur.fetchone()[0]
    finally:
        conn.close()
    assert rows == [("Alice", "24.99"), ("Carla", "42.00")]
    assert account == "quorvane@%"


@pytest.mark.parametrize("password", ["wrong", ""])
def test_wrong_password_refused(shop_db, password):
    with pytest.raises(pymysql.err.OperationalError) as err:
        _tcp_connect(shop_db, password)
    assert err.value.args[0] == 1045


def test_user_cannot_see_other_databases(shop_db):
    shop_db.server.create_database("quorvane_other")
    conn = _tcp_connect(shop_db, shop_db.password)
    try:
        with conn.cursor() as cur:
            cur.execute("SHOW DATABASES")
            names = {r[0] for r in cur.fetchall()}
    finally:
        conn.close()
    assert shop_db.name in names
    assert "quorvane_other" not in names and "mysql" not in names


# -- starts that share nothing, fail, or are cut short -----------------------

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOGGER = "quorvane_ask.privatedb"
ROUNDS, AT_ONCE = 3, 4
POINTS = 2  # random points of each phase a start is interrupted at, per signal


@pytest.fixture
def scratch():
    # Short, so that socket paths inside stay within the unix limit.
    path = tempfile.mkdtemp(prefix="qv-pdb-")
    yield path
    for pid in _processes_in(path):
        os.kill(pid, signal.SIGKILL)
    shutil.rmtree(path, ignore_errors=True)


def _processes_in(path, settle=3.0):
    """Pids whose command line names ``path``; a process killed a moment ago
    is given ``settle`` seconds to go."""
    deadline = time.monotonic() + settle
    while True:
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if path.encode() in f.read():
                        found.append(int(pid))
            except OSError:
                pass
        if not found or time.monotonic() > deadline:
            return found
        time.sleep(0.05)


def _retries(caplog):
    return [r.getMessage() for r in caplog.records if "trying once more" in r.getMessage()]


def _start(server):
    try:
        server.start()
    except PrivateMariaDBError as e:
        return str(e)


def test_servers_started_at_once_leave_tmp_alone(caplog):
    """A MariaDB that starts deletes #sql* files in its tmpdir."""
    caplog.set_level(logging.INFO, logger=LOGGER)
    sentinels = []
    for shared in sorted({"/tmp", tempfile.gettempdir()}):
        fd, path = tempfile.mkstemp(prefix="#sql-probe-", suffix=".MAI", dir=shared)
        os.close(fd)
        sentinels.append(path)
    starts, failures = 0, []
    try:
        for _ in range(ROUNDS):
            servers = [PrivateMariaDB() for _ in range(AT_ONCE)]
            try:
                with ThreadPoolExecutor(AT_ONCE) as pool:
                    errors = list(pool.map(_start, servers))
                starts += errors.count(None)
                failures += filter(None, errors)
            finally:
                for server in servers:
                    server.close()
            assert [p for p in sentinels if not os.path.exists(p)] == []
    finally:
        for path in sentinels:
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
    assert (starts, failures, _retries(caplog)) == (ROUNDS * AT_ONCE, [], [])


@contextlib.contextmanager
def _taken_port(monkeypatch):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield {"port": s.getsockname()[1]}


@contextlib.contextmanager
def _never_ready(monkeypatch):
    # A server that never takes a connection: a real start-up timeout would
    # race the server, which may be up within the first attempt's wait.
    def refuse(self, *args, **kwargs):
        raise pymysql.err.OperationalError(2002, "Can't connect to server (refused by the test)")
    monkeypatch.setattr(PrivateMariaDB, "_connect_root", refuse)
    yield {"startup_timeout": 0.5}


@pytest.mark.parametrize("setup, cause, logged", [
    (_taken_port, "mariadbd exited with 1 during start-up", "Bind on TCP/IP port"),
    (_never_ready, "mariadbd not ready after 0.5 s (", ""),
], ids=["port-taken", "not-ready"])
def test_failed_start_is_tried_twice_then_reported(scratch, monkeypatch, caplog,
                                                   setup, cause, logged):
    caplog.set_level(logging.INFO, logger=LOGGER)
    monkeypatch.setattr(tempfile, "tempdir", scratch)
    with setup(monkeypatch) as kwargs, pytest.raises(PrivateMariaDBError) as err:
        PrivateMariaDB(**kwargs).start()
    first, *log = str(err.value).splitlines()
    assert re.fullmatch(re.escape(cause) + r".* \((tried twice|the first try: .+)\)", first), first
    assert 0 < len(log) <= 20 and any(logged in line for line in log), log
    assert len(_retries(caplog)) == 1
    assert (os.listdir(scratch), _processes_in(scratch)) == ([], [])


CHILD = f"""
import signal, sys
sys.path.insert(0, {ROOT!r})
# What a Python started from a terminal has, whatever this one inherited.
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGTERM, signal.SIG_DFL)
from quorvane_ask.privatedb import PrivateMariaDB
print("starting", flush=True)
PrivateMariaDB().start()
print("started", flush=True)
"""


def _child(scratch):
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env={**os.environ, "TMPDIR": scratch})
    assert proc.stdout.readline() == b"starting\n"
    return proc


def _launching(scratch, proc):
    """Wait for the install to end: the server's error log appears."""
    deadline = time.monotonic() + 60
    while not glob.glob(os.path.join(scratch, "*", "error.log")):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.005)
    return time.monotonic()


@pytest.fixture(scope="module")
def phase_seconds():
    """How long the install and the launch take here and now."""
    path = tempfile.mkdtemp(prefix="qv-pdb-")
    try:
        proc = _child(path)
        began = time.monotonic()
        launched = _launching(path, proc)
        line = proc.stdout.readline()
        done = time.monotonic()
        assert (line, proc.wait(60), os.listdir(path)) == (b"started\n", 0, [])
    finally:
        shutil.rmtree(path, ignore_errors=True)
    return {"install": launched - began, "launch": done - launched}


def _ready_but_unreported(scratch):
    logs = glob.glob(os.path.join(scratch, "*", "error.log"))
    return bool(logs) and _processes_in(scratch) != [] and any(
        "ready for connections" in open(log, errors="replace").read() for log in logs)


@pytest.mark.parametrize("phase", ["install", "launch"])
@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_interrupted_start_leaves_nothing(scratch, phase_seconds, sig, phase):
    hits, late = [], 0
    while len(hits) < POINTS and late <= POINTS:
        proc = _child(scratch)
        if phase == "launch":
            _launching(scratch, proc)
        delay = random.uniform(0, 0.8) * phase_seconds[phase]
        time.sleep(delay)
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=60)
        if b"started" in out or _ready_but_unreported(scratch):
            # This start was quicker than the measured one (the signal came
            # after start() returned, before the child could say so): draw again.
            late += 1
            for pid in _processes_in(scratch, settle=0):
                os.kill(pid, signal.SIGKILL)
            shutil.rmtree(scratch)
            os.mkdir(scratch)
            continue
        hits.append(delay)
        left = (proc.returncode, os.listdir(scratch), _processes_in(scratch))
        assert left == (-sig, [], []), (delay, err.decode(errors="replace")[-2000:])
    assert len(hits) == POINTS, (hits, late, phase_seconds)
