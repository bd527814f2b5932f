"""Server and driver faults. The tests stop, kill and starve a server, so they
use one of their own rather than the session's."""

import contextlib
import socket
import threading
import time

import pymysql
import pytest
import sqlalchemy.exc
from langchain_core.language_models.llms import LLM

from quorvane import AgentRunner, DatabaseConnector, SQLDatabaseToolkit
from quorvane_ask.privatedb import PrivateMariaDB
from _helpers import FILE, module_entries

USER, PASSWORD, NAME = "faulty", "faulty-pw", "faults"
# Every read on the connections under test gives up after this many seconds,
# so even a fault that the test fails to provoke cannot hang the suite.
BOUNDED_NAME = f"{NAME}?read_timeout=10"
LIMIT = 60.0


def bounded(call, limit=LIMIT):
    """call() on a daemon thread: its result or exception, or a test failure
    once it has blocked for `limit` seconds."""
    box = {}

    def target():
        try:
            box["result"] = call()
        except BaseException as exc:  # handed to the test's thread
            box["error"] = exc

    worker = threading.Thread(target=target, daemon=True)
    worker.start()
    worker.join(limit)
    if worker.is_alive():
        pytest.fail(f"{call!r} still blocked after {limit} s")
    if "error" in box:
        raise box["error"]
    return box["result"]


@pytest.fixture(scope="module")
def server():
    s = PrivateMariaDB()
    s.start()
    yield s
    s.close()


@pytest.fixture
def db(server):
    server.start()  # an earlier test may have stopped or killed it
    server.create_database(NAME, drop=True)
    server.create_user(USER, PASSWORD, NAME)
    server.executescript("CREATE TABLE t (id INT PRIMARY KEY); INSERT INTO t VALUES (1)",
                         database=NAME)
    return server


def connected(server):
    c = DatabaseConnector(USER, PASSWORD, server.hostport, BOUNDED_NAME)
    assert c.connect() == {"connected": True, "message": "Connection successful"}
    return c


def driver_error(code):
    return f"(pymysql.err.OperationalError) ({code}, "


def test_server_stopped_between_two_connects(db):
    c = connected(db)
    first, status = c.db, c.connection_status
    db.stop()
    assert bounded(c.connect) is status
    assert status["connected"] is True and c.db is first
    assert status["message"].startswith(driver_error(2003))
    assert bounded(c.getdbinstance) is first
    db.start()
    assert c.connect() == {"connected": True, "message": "Connection successful"}
    assert c.db is not first


class MaxConnectionsExhausted:
    """Holds every connection the server allows, as other clients would."""

    def __init__(self, server):
        self.server, self.held = server, []

    def __enter__(self):
        self.limit = self.server.execute("SELECT @@max_connections")[0][0]
        self.server.execute("SET GLOBAL max_connections = 10")  # the server's minimum
        while True:
            try:
                self.held.append(pymysql.connect(host=self.server.host, port=self.server.port,
                                                 user=USER, password=PASSWORD))
            except pymysql.err.OperationalError as exc:
                assert exc.args[0] == 1040
                return

    def __exit__(self, *exc):
        for conn in self.held:
            conn.close()
        # Root still gets in: the server keeps one connection for it.
        self.server.execute(f"SET GLOBAL max_connections = {int(self.limit)}")


@pytest.mark.parametrize("fault, code", [
    ("wrong-password", 1045),
    ("database-dropped", 1049),
    ("max-connections", 1040),
])
def test_refused_connect_keeps_the_earlier_database(db, fault, code):
    c = connected(db)
    first, status = c.db, c.connection_status
    if fault == "wrong-password":
        c.db_password = "wrong"
    elif fault == "database-dropped":
        db.execute(f"DROP DATABASE {NAME}")
    with MaxConnectionsExhausted(db) if fault == "max-connections" else contextlib.nullcontext():
        assert bounded(c.connect) is status
        assert status["connected"] is True and status["message"].startswith(driver_error(code))
        status["message"] = None
        assert bounded(c.getdbinstance) is first
        assert status["message"].startswith(driver_error(code)) and c.db is first


def test_silent_listener_is_bounded_by_the_read_timeout():
    # The kernel completes the TCP handshake for a listening socket; nothing
    # ever sends the server greeting that the driver waits for.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        host = "127.0.0.1:%d" % listener.getsockname()[1]
        c = DatabaseConnector(USER, PASSWORD, host, "db?read_timeout=2")
        status = bounded(c.connect)
        assert status["connected"] is False and c.db is None
        assert status["message"].startswith(
            driver_error(2013) + "'Lost connection to MySQL server during query (timed out)')")
        assert bounded(c.getdbinstance) is None


class SleepThenReport(LLM):
    """Asks the SQL tool for a long query, then answers with what it saw; or,
    with `direct`, runs the query itself as a model backed by the same
    database would."""
    database: object = None
    direct: bool = False
    calls: int = 0

    @property
    def _llm_type(self):
        return "sleep-then-report"

    def _call(self, prompt, stop=None, run_manager=None, **kwargs):
        self.calls += 1
        if self.direct:
            self.database.run("SELECT SLEEP(5)")
        if self.calls == 1:
            return "Action: sql_db_query\nAction Input: SELECT SLEEP(5)"
        observation = prompt.rsplit("Observation: ", 1)[1].split("\nThought:")[0]
        return f"Final Answer: {observation.strip()}"


def kill_when_sleeping(server, found):
    """Kills the server once the SLEEP query is running on it."""
    deadline = time.monotonic() + LIMIT
    while time.monotonic() < deadline:
        rows = server.execute("SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                              "WHERE INFO = 'SELECT SLEEP(5)'")
        if rows[0][0]:
            found.set()
            server.kill()
            return
        time.sleep(0.02)


@pytest.mark.parametrize("direct", [False, True], ids=["through-the-tool", "through-the-model"])
def test_server_killed_while_an_agent_query_runs(db, capsys, direct):
    c = connected(db)
    llm = SleepThenReport(database=c.db, direct=direct)
    runner = AgentRunner(llm, SQLDatabaseToolkit(db=c.db, llm=llm), verbose=False)
    assert runner.error is None
    found = threading.Event()
    killer = threading.Thread(target=kill_when_sleeping, args=(db, found), daemon=True)
    killer.start()
    lost = driver_error(2013) + "'Lost connection to MySQL server during query')"
    if direct:
        with pytest.raises(sqlalchemy.exc.OperationalError) as info:
            bounded(lambda: runner.run("Sleep, please."))
        assert str(info.value).startswith(lost)
        assert module_entries(info.value) == [(FILE, "quorvane.AgentRunner.run", 85)]
    else:
        # LangChain's query tool turns driver errors into the observation text.
        answer = bounded(lambda: runner.run("Sleep, please."))
        assert answer.startswith("Error: " + lost)
    killer.join(LIMIT)
    assert found.is_set() and not db.running
