"""Eight threads on shared and separate instances against the private server."""

import gc
import sys
import threading
import time
import weakref

import pytest

from quorvane import AgentRunner, DatabaseConnector, SQLDatabaseToolkit
from quorvane_ask.offline import OfflineSQLModel

THREADS, SECONDS, JOIN_LIMIT = 8, 3.0, 90.0
OK = "Connection successful"
CREDS = "All database credentials must be provided"
QUESTION = "How many customers are there?"


def fresh(text):
    """A new str object, so that its reference count is ours alone to watch."""
    return text[:1] + text[1:]


def shared_status_is_allowed(status):
    # Another thread may set the password to None between the check and the
    # URI: the server then refuses the password "None".
    snapshot = dict(status)
    message = snapshot.get("message")
    return (list(snapshot) == ["connected", "message"] and snapshot["connected"] is True
            and (message in (OK, CREDS) or message.startswith("(pymysql.err.OperationalError) "
                                                              "(1045,")))


def test_threads_share_and_separate_instances(shop_db, capsys):
    creds = [fresh(v) for v in (shop_db.user, shop_db.password, shop_db.host, shop_db.name)]
    shared = DatabaseConnector(*creds)
    status = shared.connect()
    assert status == {"connected": True, "message": OK}
    llm = OfflineSQLModel()
    toolkit = SQLDatabaseToolkit(db=shared.getdbinstance(), llm=llm)
    runner = AgentRunner(llm, toolkit, verbose=False)
    count = shop_db.server.execute("SELECT COUNT(*) FROM customers", database=shop_db.name)[0][0]
    assert runner.run(QUESTION) == f"There are {count} customers."
    gc.collect()  # connections that earlier tests left to the collector
    watched = [*creds, llm, toolkit, runner, status]
    before = [sys.getrefcount(o) for o in watched]
    made, errors, calls = weakref.WeakSet(), [], [0] * THREADS
    deadline = time.monotonic() + SECONDS

    def connect_shared():
        assert shared.connect() is status and shared_status_is_allowed(status)

    def getdbinstance_shared():
        db = shared.getdbinstance()
        assert db is status or type(db).__name__ == "SQLDatabase"
        assert shared_status_is_allowed(status)

    def separate_connector():
        c = DatabaseConnector(*creds)
        assert c.connect() == {"connected": True, "message": OK}
        first = c.db
        db = c.getdbinstance()
        assert db is c.db is not first and c.connection_status["message"] == OK
        made.update((first, db))
        for each in (first, db):
            each._engine.dispose()

    def separate_runner():
        r = AgentRunner(llm, toolkit, verbose=False)
        assert r.error is None and r.agent_runner is not None
        assert r.run(QUESTION) == f"There are {count} customers."

    def shared_runner():
        assert runner.run(QUESTION) == f"There are {count} customers."

    def toggle_password():
        shared.db_password = None
        # Also lets other threads see the gap: dropped engines sit in reference
        # cycles, holding server connections until the cycle collector runs.
        gc.collect()
        shared.db_password = creds[1]

    actions = [connect_shared, getdbinstance_shared, separate_connector, separate_runner,
               shared_runner, toggle_password]

    def worker(i):
        try:
            while time.monotonic() < deadline:
                actions[(i + calls[i]) % len(actions)]()
                calls[i] += 1
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_LIMIT)
    assert [t.name for t in threads if t.is_alive()] == [], "threads still running: deadlock?"
    if errors:
        raise errors[0]
    assert all(n >= 1 for n in calls)
    shared.db_password = creds[1]
    assert shared.connect() is status and status == {"connected": True, "message": OK}

    printed = capsys.readouterr().out.splitlines()
    runners = [line for line in printed if line.startswith("Agent runner instance: ")]
    assert len(runners) >= 1 and all(not line.startswith("Error occurred") for line in printed)
    gc.collect()
    assert list(made) == []
    assert [sys.getrefcount(o) for o in watched] == before
