"""The ask example as a user runs it, and the account its agent is given.

Expected values are read from the server as root, never written down.
"""

import os
import re
import subprocess
import sys
from decimal import Decimal

import pytest
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.language_models.fake import FakeListLLM

from quorvane import AgentRunner, DatabaseConnector, SQLDatabaseToolkit

from quorvane_ask.offline import CANNOT_ANSWER
from quorvane_ask.privatedb import quote_identifier
from quorvane_ask.sample_shop import load_sample

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The command as `python -m` runs it from the checkout (cwd=ROOT below).
ASK = ["-m", "quorvane_ask"]
DEV_SH = os.path.join(ROOT, "scripts", "dev.sh")


class Prompts(BaseCallbackHandler):
    """Keeps every prompt the model gets; each ends with the latest observation."""

    def __init__(self):
        self.seen = []

    def on_llm_start(self, serialized, prompts, **kwargs):
        self.seen.append(prompts[0])


def inventory(server, database):
    """Each table with its row count and content checksum, read as root."""
    tables = [row[0] for row in server.execute("SHOW TABLES", database=database)]
    return {t: (server.execute(f"SELECT COUNT(*) FROM {quote_identifier(t)}", database=database),
                server.execute(f"CHECKSUM TABLE {quote_identifier(t)}", database=database))
            for t in tables}


@pytest.fixture(scope="module")
def readonly_shop(mariadb):
    return load_sample(mariadb, database="readonly_shop", user="readonly", password="readonly-pw")


@pytest.mark.parametrize("statement,table", [
    ("DELETE FROM order_items", "order_items"),
    ("UPDATE products SET price = 0", "products"),
    ("DROP TABLE customers", "customers"),
])
def test_agent_account_cannot_write(readonly_shop, statement, table):
    db = readonly_shop
    before = inventory(db.server, db.name)
    assert all(count[0][0] for count, _ in before.values())
    prompts = Prompts()
    llm = FakeListLLM(responses=[
        f"I will change the data.\nAction: sql_db_query\nAction Input: {statement}",
        "I now know the final answer\nFinal Answer: done",
    ], callbacks=[prompts])
    connector = DatabaseConnector(db.user, db.password, db.host, db.name)
    assert connector.connect()["connected"]
    toolkit = SQLDatabaseToolkit(db=connector.getdbinstance(), llm=llm)
    assert AgentRunner(llm, toolkit, verbose=False).run("Change the shop") == "done"

    observation = prompts.seen[-1].rsplit("\nObservation: ", 1)[1]
    verb = statement.split()[0]
    assert re.match(rf"Error: \(pymysql\.err\.OperationalError\) \(1142, \"{verb} command "
                    rf"denied to user '{db.user}'@'[^']+' for table `{db.name}`\.`{table}`\"\)",
                    observation), observation
    assert inventory(db.server, db.name) == before


OWN_PASSWORD = "p@ss:w/rd%"  # every character a connection URL gives a meaning to


@pytest.fixture(scope="module")
def own_db(mariadb):
    """A user's own database: not the sample, with its own read-only account."""
    mariadb.create_database("own_library", drop=True)
    mariadb.create_user("reader", OWN_PASSWORD, "own_library", privileges="SELECT")
    mariadb.executescript(
        "CREATE TABLE books (id INT PRIMARY KEY, title VARCHAR(80) NOT NULL) ENGINE=InnoDB;"
        "INSERT INTO books VALUES (1, 'Ulysses'), (2, 'Dubliners'), (3, 'Exiles'),"
        " (4, 'Chamber Music'), (5, 'Finnegans Wake'), (6, 'Giacomo Joyce');",
        database="own_library")
    return mariadb


@pytest.mark.parametrize("question,password,status", [
    ("How many books are there?", OWN_PASSWORD, 0),
    ("Why do readers stop reading?", OWN_PASSWORD, 3),
    ("How many books are there?", "wrong", 1),
    ("How many books are there?", None, 1),
])
def test_ask_own_database(own_db, question, password, status):
    env = {k: v for k, v in os.environ.items() if k not in ("OPENAI_API_KEY", "MYSQL_PWD")}
    if password is not None:
        env["MYSQL_PWD"] = password
    proc = subprocess.run([sys.executable, *ASK, "--quiet", "--host", own_db.hostport,
                           "--user", "reader", "--database", "own_library", *question.split()],
                          capture_output=True, text=True, timeout=180, env=env, cwd=ROOT)
    assert proc.returncode == status, proc.stderr
    if status == 0:
        count = own_db.execute("SELECT COUNT(*) FROM books", database="own_library")[0][0]
        assert proc.stdout.count("\n") == 1 and proc.stderr == ""
        assert Decimal(re.findall(r"\d+", proc.stdout)[-1]) == count, proc.stdout
    elif status == 3:
        assert proc.stdout.startswith(CANNOT_ANSWER) and proc.stdout.count("\n") == 1
    else:
        using = "YES" if password else "NO"
        assert proc.stdout == ""
        assert re.search(rf"Access denied for user \\?'reader\\?'@.*\(using password: {using}\)",
                         proc.stderr), proc.stderr


@pytest.mark.parametrize("command,message", [
    ([sys.executable, *ASK, ""], "the question is empty"),
    ([sys.executable, *ASK, "-q", " ", "\t"], "the question is empty"),
    ([sys.executable, *ASK, "--host", "h:3306", "How many?"], "go together"),
    ([sys.executable, *ASK, "--host", "a@b", "--user", "u", "--database", "d", "How many?"],
     "not a host name"),
    ([sys.executable, *ASK, "--password", "pw", "How many?"], "unrecognized arguments: --password"),
    ([sys.executable, *ASK, "-i", "How many?"], "give no question with it"),
    ([sys.executable, *ASK, "--sample-server", "start", "How many?"], "takes no question"),
    ([sys.executable, *ASK, "--sample-server", "restart"], "invalid choice: 'restart'"),
    ([sys.executable, *ASK, "--timeout", "0", "How many?"], "not a whole number of seconds"),
    ([sys.executable, *ASK, "--timeout", "1.5", "How many?"], "not a whole number of seconds"),
    # Refused before any work, however the words are split.
    ([sys.executable, *ASK, *["How many books?"] * 134], "longer than 2000 characters"),
    # Caught before the module is set up, which can mean a build.
    (["bash", DEV_SH, "ask", "--quiet", "--user", "u", " "], "the question is empty"),
])
def test_usage_errors(command, message):
    proc = subprocess.run(command, capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL, cwd=ROOT)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert message in proc.stderr, proc.stderr
