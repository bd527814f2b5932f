"""End to end: AgentRunner driving LangChain's real SQL agent against MariaDB.

Expected values are never written down: they are read from the server with
PyMySQL, next to the agent's own answers.
"""

import datetime
import os
import re
import subprocess
import sys
import traceback
from decimal import Decimal

import pytest
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.language_models.llms import LLM

from quorvane import AgentRunner, DatabaseConnector, SQLDatabaseToolkit

from quorvane_ask import cli as ask
from quorvane_ask.offline import CANNOT_ANSWER, LIST_CAP, OfflineSQLModel
from quorvane_ask.sample_shop import load_sample

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ANSI = re.compile(r"\x1b\[[0-9;]*m")
NUMBER = re.compile(r"-?\d+(?:\.\d+)?")


@pytest.fixture(scope="module")
def shop(mariadb):
    """The sample shop, left unchanged by every test that uses it."""
    return load_sample(mariadb, database="agent_shop", user="agent_ro", password="agent-ro-pw")


@pytest.fixture
def scratch_shop(mariadb):
    """A fresh copy of the sample shop for a test that changes it."""
    return load_sample(mariadb, database="agent_scratch", user="agent_rw", password="agent-rw-pw")


def reference(db, sql, args=None):
    """What the server itself says, over PyMySQL and not through the agent."""
    return db.server.execute(sql, args, database=db.name)


def scalar(db, sql, args=None):
    return reference(db, sql, args)[0][0]


def toolkit_for(db, llm):
    connector = DatabaseConnector(db.user, db.password, db.host, db.name)
    status = connector.connect()
    assert status == {"connected": True, "message": "Connection successful"}
    return SQLDatabaseToolkit(db=connector.getdbinstance(), llm=llm)


def run_offline(db, question, llm=None):
    llm = llm or OfflineSQLModel()
    runner = AgentRunner(llm, toolkit_for(db, llm), verbose=False)
    assert runner.error is None
    return runner.run(question)


def last_number(answer):
    numbers = NUMBER.findall(answer)
    assert numbers, answer
    return Decimal(numbers[-1])


def test_scripted_react_conversation_sees_real_rows(scratch_shop, capfd):
    reference(scratch_shop, "INSERT INTO customers VALUES (9001, 'Quill Marchetti', 'Tromsø', "
                            "'Norway', '2024-02-29')")
    llm = FakeListLLM(responses=[
        "I need the tables.\nAction: sql_db_list_tables\nAction Input: ",
        "Now the schema.\nAction: sql_db_schema\nAction Input: customers",
        "Now the row.\nAction: sql_db_query\n"
        "Action Input: SELECT name, city, signup_date FROM customers WHERE id = 9001",
        "I now know the final answer\nFinal Answer: scripted answer",
    ])
    runner = AgentRunner(llm, toolkit_for(scratch_shop, llm))
    assert runner.run("Who is customer 9001?") == "scripted answer"

    printed = ANSI.sub("", capfd.readouterr().out)
    assert printed.startswith("Agent runner instance: ")
    # The agent's repr echoes the scripted replies: only the run's log counts.
    out = printed.split("> Entering new SQL Agent Executor chain...", 1)[1]
    tables = sorted(row[0] for row in reference(scratch_shop, "SHOW TABLES"))
    assert ", ".join(tables) in out
    columns = [row[0] for row in reference(scratch_shop, "SHOW COLUMNS FROM customers")]
    assert "\t".join(columns) in out  # header of the schema tool's sample rows
    assert "CREATE TABLE customers (" in out
    assert "[('Quill Marchetti', 'Tromsø', datetime.date(2024, 2, 29))]" in out
    # The scripted replies are logged in order, each followed by its observation.
    assert out.index("Now the schema.") < out.index("CREATE TABLE") < out.index("Now the row.")
    assert "> Finished chain." in out


def numbers_in(text):
    # ISO dates are not figures; numbers the question itself gives are not claims.
    return [Decimal(n) for n in NUMBER.findall(re.sub(r"\d{4}-\d{2}-\d{2}", " ", text))]


def mentions(answer, name):
    return re.search(r"(?<!\w)" + re.escape(str(name)) + r"(?!\w)", answer) is not None


def check(db, question, answer, sql, kind, domain=None):
    """The answer states what `sql` computes on the server, and nothing else
    of its sort: the figure first ("number"), exactly the names the SQL
    returns out of those `domain` returns ("names"), or every group with its
    figure right after it ("groups")."""
    assert not answer.startswith(CANNOT_ANSWER), answer
    rows = reference(db, sql)
    if kind == "number":
        expected = rows[0][0]
        if isinstance(expected, datetime.date):
            assert expected.isoformat() in answer, answer
            return
        asked = set(numbers_in(question))
        claimed = [n for n in numbers_in(answer) if n not in asked or n == expected]
        assert claimed and claimed[0] == expected, (answer, expected)
    elif kind == "names":
        names = {str(r[0]) for r in rows}
        assert names and all(mentions(answer, n) for n in names), (answer, names)
        others = {str(r[0]) for r in reference(db, domain)} - names
        assert not [n for n in others if mentions(answer, n)], answer
    else:
        for key, value in rows:
            assert re.search(re.escape(f"{key}: {value}") + r"(?!\.?\d)", answer), (answer, key)


_LINES_2024 = ("SELECT SUM(i.quantity * i.unit_price) FROM order_items i JOIN orders o "
               "ON o.id = i.order_id WHERE YEAR(o.order_date) = 2024")
_SPENT = ("SELECT c.name FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i "
          "ON i.order_id = o.id GROUP BY c.id ORDER BY SUM(i.quantity * i.unit_price) DESC LIMIT 1")
_CITY_MOST = ("SELECT city FROM customers GROUP BY city HAVING COUNT(*) = (SELECT MAX(n) FROM "
              "(SELECT COUNT(*) AS n FROM customers GROUP BY city) m)")

# One row per shape of question, with the SQL that computes its answer.
# The first rows are the confident wrong answers once reported: a table name
# read as a city, a count of rows for a count of categories, every city for
# the one with the most customers, a cut and repeating category list.
SHAPES = [
    ("How many customers are in the customers table?", "SELECT COUNT(*) FROM customers", "number"),
    ("How many categories are there?", "SELECT COUNT(DISTINCT category) FROM products", "number"),
    ("Which city has the most customers?", _CITY_MOST, "names", "SELECT city FROM customers"),
    ("List the categories", "SELECT DISTINCT category FROM products", "names",
     "SELECT category FROM products"),
    ("Count the orders", "SELECT COUNT(*) FROM orders", "number"),
    ("How many different cities do customers live in?",
     "SELECT COUNT(DISTINCT city) FROM customers", "number"),
    ("How many customers are there in Germany?",
     "SELECT COUNT(*) FROM customers WHERE country = 'Germany'", "number"),
    ("How many shipped orders are there?",
     "SELECT COUNT(*) FROM orders WHERE status = 'shipped'", "number"),
    ("How many products are in the Kitchen category?",
     "SELECT COUNT(*) FROM products WHERE category = 'Kitchen'", "number"),
    ("How many products cost between 20 and 50?",
     "SELECT COUNT(*) FROM products WHERE price BETWEEN 20 AND 50", "number"),
    ("How many order lines have a quantity of at least 3?",
     "SELECT COUNT(*) FROM order_items WHERE quantity >= 3", "number"),
    ("How many orders were placed in March 2024?",
     "SELECT COUNT(*) FROM orders WHERE order_date >= '2024-03-01' AND order_date < '2024-04-01'",
     "number"),
    ("How many customers signed up after 30 June 2023?",
     "SELECT COUNT(*) FROM customers WHERE signup_date > '2023-06-30'", "number"),
    ("How many orders before 2024?", "SELECT COUNT(*) FROM orders WHERE order_date < '2024-01-01'",
     "number"),
    ("What is the average price of products in the Books category?",
     "SELECT AVG(price) FROM products WHERE category = 'Books'", "number"),
    ("What is the highest unit price of order items?", "SELECT MAX(unit_price) FROM order_items",
     "number"),
    ("What is the latest order date?", "SELECT MAX(order_date) FROM orders", "number"),
    ("What was the revenue in 2024?", _LINES_2024, "number"),
    ("What is the average order value?",
     "SELECT AVG(t) FROM (SELECT SUM(quantity * unit_price) AS t FROM order_items "
     "GROUP BY order_id) v", "number"),
    ("How many units were sold in 2023?",
     "SELECT SUM(i.quantity) FROM order_items i JOIN orders o ON o.id = i.order_id "
     "WHERE YEAR(o.order_date) = 2023", "number"),
    ("How many orders did Anna Schmidt place?",
     "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id "
     "WHERE c.name = 'Anna Schmidt'", "number"),
    ("How many orders came from customers in Italy?",
     "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id "
     "WHERE c.country = 'Italy'", "number"),
    ("How many customers have no orders?",
     "SELECT COUNT(*) FROM customers WHERE id NOT IN (SELECT customer_id FROM orders)", "number"),
    ("What does the Cast Iron Pan cost?", "SELECT price FROM products WHERE name = 'Cast Iron Pan'",
     "number"),
    # Quoted, and escaped in the SQL.
    ("What is the price of \"Chef's Knife\"?",
     "SELECT price FROM products WHERE name = 'Chef''s Knife'", "number"),
    ("Which product is the cheapest?",
     "SELECT name FROM products WHERE price = (SELECT MIN(price) FROM products)", "names",
     "SELECT name FROM products"),
    ("Which customer spent the most?", _SPENT, "names", "SELECT name FROM customers"),
    ("Which customers have no orders?",
     "SELECT name FROM customers WHERE id NOT IN (SELECT customer_id FROM orders)", "names",
     "SELECT name FROM customers"),
    ("Which cities do customers in Spain live in?",
     "SELECT DISTINCT city FROM customers WHERE country = 'Spain'", "names",
     "SELECT city FROM customers"),
    ("Which products cost less than 15?", "SELECT name FROM products WHERE price < 15", "names",
     "SELECT name FROM products"),
    ("Show the top 3 customers by revenue",
     "SELECT c.name FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i "
     "ON i.order_id = o.id GROUP BY c.id ORDER BY SUM(i.quantity * i.unit_price) DESC LIMIT 3",
     "names", "SELECT name FROM customers"),
    ("What is the most common order status?",
     "SELECT status FROM orders GROUP BY status ORDER BY COUNT(*) DESC LIMIT 1", "names",
     "SELECT status FROM orders"),
    ("Which customers spent more than 3000?",
     "SELECT c.name FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i "
     "ON i.order_id = o.id GROUP BY c.id HAVING SUM(i.quantity * i.unit_price) > 3000", "names",
     "SELECT name FROM customers"),
    ("How many orders did customers from Spain place in 2024?",
     "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id "
     "WHERE c.country = 'Spain' AND YEAR(o.order_date) = 2024", "number"),
    ("How many orders per status?", "SELECT status, COUNT(*) FROM orders GROUP BY status",
     "groups"),
    ("What is the revenue per category?",
     "SELECT p.category, SUM(i.quantity * i.unit_price) FROM order_items i JOIN products p "
     "ON p.id = i.product_id GROUP BY p.category", "groups"),
]


@pytest.mark.parametrize("question,sql,kind,domain", [(s + (None,))[:4] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_offline_model_answers_what_the_server_computes(shop, question, sql, kind, domain):
    check(shop, question, run_offline(shop, question), sql, kind, domain)


def test_offline_model_long_list_says_how_long(shop):
    names = [row[0] for row in reference(shop, "SELECT name FROM customers ORDER BY name")]
    answer = run_offline(shop, "List the names of customers")
    assert len(names) > LIST_CAP and answer.startswith(f"{len(names)} customers")
    assert "; ".join(names[:LIST_CAP]) in answer and names[LIST_CAP] not in answer


CHANGES = [
    ("How many customers are there in Berlin?",
     "INSERT INTO customers VALUES (901, 'Ada Sig', 'Berlin', 'Germany', '2024-01-01'), "
     "(902, 'Bo Sig', 'Berlin', 'Germany', '2024-01-02')",
     "SELECT COUNT(*) FROM customers WHERE city = 'Berlin'", "number"),
    ("What is the average unit price of order items?",
     "UPDATE order_items SET unit_price = unit_price * 2 WHERE order_id <= 30",
     "SELECT AVG(unit_price) FROM order_items", "number"),
    ("What was the revenue in 2024?", "UPDATE order_items SET quantity = quantity + 1",
     _LINES_2024, "number"),
    ("Which product is the most expensive?",
     "INSERT INTO products VALUES (901, 'Grand Piano', 'Music', 9999.95)",
     "SELECT name FROM products WHERE price = (SELECT MAX(price) FROM products)", "names",
     "SELECT name FROM products"),
    ("Which city has the most customers?",
     "INSERT INTO customers SELECT 910 + id, name, 'Oslo', 'Norway', signup_date FROM customers "
     "WHERE id <= 9", _CITY_MOST, "names", "SELECT city FROM customers"),
    ("Which customers have no orders?",
     "INSERT INTO customers VALUES (904, 'Dana Lund', 'Oslo', 'Norway', '2024-05-01')",
     "SELECT name FROM customers WHERE id NOT IN (SELECT customer_id FROM orders)", "names",
     "SELECT name FROM customers"),
]


@pytest.mark.parametrize("question,change,sql,kind,domain", [
    (c + (None,))[:5] for c in CHANGES], ids=[c[0] for c in CHANGES])
def test_answer_follows_changed_data(scratch_shop, question, change, sql, kind, domain):
    before = run_offline(scratch_shop, question)
    check(scratch_shop, question, before, sql, kind, domain)
    reference(scratch_shop, change)
    after = run_offline(scratch_shop, question)
    check(scratch_shop, question, after, sql, kind, domain)
    assert after != before


# Each kind of question the model must decline, and the reason it gives.
@pytest.mark.parametrize("question,reason", [
    ("How many employees are there?", "'employees'"),            # no such table
    ("What is the email of customers?", "'email'"),              # no such column
    ("How many orders from Atlantis?", "'Atlantis'"),            # a value in no column
    ("How many happy customers are there?", "'happy'"),          # a word tied to nothing
    ("What will sales be next year?", "the future"),             # not in the data
    ("Why do customers stop buying?", "'Why'"),
    ("What is the average name of customers?", "name is not a number"),
    ("How many orders were placed in March?", "names a month but not the year"),
    ("Which product is the most popular?", "'most popular'"),
    ("How many customers bought the Teapot and the Kite?", "cannot combine"),
    ("How many delivered customers are there?", "'delivered' is a status in orders"),
    ("Who won the match yesterday?", "(tables: customers, order_items, orders, products)"),
])
def test_unmappable_question_is_declined(shop, question, reason):
    answer = run_offline(shop, question)
    assert answer.startswith(CANNOT_ANSWER) and reason in answer, answer


class DropTableBeforeQuery(BaseCallbackHandler):
    """Drops a table once the model has read its schema, as a concurrent
    migration would, so the agent's query meets a missing table."""

    def __init__(self, db, table):
        self.db, self.table, self.dropped = db, table, False

    def on_llm_start(self, serialized, prompts, **kwargs):
        if not self.dropped and f"CREATE TABLE {self.table} (" in prompts[0]:
            reference(self.db, f"DROP TABLE {self.table}")
            self.dropped = True


def test_sql_error_observation_becomes_the_final_answer(scratch_shop):
    dropper = DropTableBeforeQuery(scratch_shop, "order_items")
    answer = run_offline(scratch_shop, "How many order items are there?",
                         llm=OfflineSQLModel(callbacks=[dropper]))
    assert dropper.dropped
    assert answer.startswith(CANNOT_ANSWER + "the query failed: Error:"), answer
    assert "1146" in answer and f"{scratch_shop.name}.order_items" in answer


@pytest.mark.parametrize("toolkit,error_type", [
    (object(), AttributeError),
    (None, ValueError),
    ("not a toolkit", AttributeError),
])
def test_rejected_toolkit_is_reported_and_kept(toolkit, error_type, capsys):
    runner = AgentRunner(OfflineSQLModel(), toolkit)
    assert isinstance(runner.error, error_type)
    assert runner.agent_runner is None
    assert capsys.readouterr().out == f"Error occurred: {runner.error}\n"
    assert runner.run("How many customers are there?") is None
    assert capsys.readouterr().out == "Agent runner is not initialized.\n"


class ModelOutage(Exception):
    pass


class FailingModel(LLM):
    @property
    def _llm_type(self):
        return "failing"

    def _call(self, prompt, stop=None, run_manager=None, **kwargs):
        raise ModelOutage("model unavailable")


def test_model_failure_propagates_through_run(shop):
    llm = FailingModel()
    runner = AgentRunner(llm, toolkit_for(shop, llm), verbose=False)
    with pytest.raises(ModelOutage, match="model unavailable") as info:
        runner.run("How many customers are there?")
    frames = [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(info.tb)]
    assert ("quorvane/base.py", "quorvane.AgentRunner.run", 85) in frames
    # The run method's entry comes before LangChain's frames, which end in the model.
    at = frames.index(("quorvane/base.py", "quorvane.AgentRunner.run", 85))
    assert frames[at + 1:] and frames[-1][1] == "_call"


def test_ask_answers_with_open_credentials(shop, capsys):
    answer = ask.ask("How many products are there?", shop.user, shop.password, shop.host,
                     shop.name, llm=OfflineSQLModel(), verbose=False)
    assert last_number(answer) == scalar(shop, "SELECT COUNT(*) FROM products")
    assert "Connection status: {'connected': True" in capsys.readouterr().out


def test_ask_reports_a_failed_connection(shop, capsys):
    answer = ask.ask("How many products are there?", shop.user, "wrong-password", shop.host,
                     shop.name, llm=OfflineSQLModel())
    out = capsys.readouterr().out
    assert answer is None
    # One line with the driver's code and text, no repr of the status dict.
    assert out.count("\n") == 1 and "(1045) Access denied" in out and "{'connected'" not in out


def test_ask_script_end_to_end(shop):
    env = {k: v for k, v in os.environ.items() if k != "OPENAI_API_KEY"}
    # Unquoted, as typed at a shell prompt; both streams are pipes.
    proc = subprocess.run([sys.executable, "-m", "quorvane_ask",
                           *"How many customers are there?".split()],
                          capture_output=True, text=True, timeout=180, env=env, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    # The script loads the same seeded sample, so the module's copy is the reference.
    count = scalar(shop, "SELECT COUNT(*) FROM customers")
    # The answer alone on stdout; the log on stderr, uncoloured off a terminal.
    assert proc.stdout == f"Answer: There are {count} customers.\n"
    assert not ANSI.search(proc.stderr)
    assert "Action Input: SELECT COUNT(*) FROM customers\n" in proc.stderr
    assert ("Connection status: {'connected': True, 'message': 'Connection successful'}"
            in proc.stderr)


_SEEDED_ASK = """
import contextlib, io, sys, warnings
sys.path.insert(0, sys.argv[1])
with warnings.catch_warnings(record=True):
    from quorvane_ask import cli as ask
from quorvane_ask.offline import OfflineSQLModel
user, password, host, name, *questions = sys.argv[2:]
for q in questions:
    with contextlib.redirect_stdout(io.StringIO()):
        answer = ask.ask(q, user, password, host, name, llm=OfflineSQLModel(), verbose=False)
    print(answer)
"""


def test_offline_model_does_not_depend_on_the_hash_seed(mariadb):
    # Words are kept as sets of their forms; a choice made by iterating one
    # would change with PYTHONHASHSEED, and so would the answer. "drove" has
    # two forms of one length (drove, drive), and only one names the drivers.
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    try:
        from freight_db import load_freight
    finally:
        sys.path.pop(0)
    db = load_freight(mariadb, database="seeded_freight", user="seeded", password="seeded-pw")
    questions = ["Who drove shipment 25?", "Which driver made the most shipments?",
                 "How many shipments went to Belfast?", "Which clients have never shipped anything?"]
    answers = set()
    for seed in ("0", "1", "2"):
        done = subprocess.run(
            [sys.executable, "-c", _SEEDED_ASK, ROOT, db.user, db.password, db.host, db.name,
             *questions], capture_output=True, text=True, timeout=120,
            env={**os.environ, "PYTHONHASHSEED": seed})
        assert done.returncode == 0, done.stderr
        answers.add(done.stdout)
    assert len(answers) == 1, answers
    assert not any(a.startswith(CANNOT_ANSWER) for a in answers.pop().splitlines())
