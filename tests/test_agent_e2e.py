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

import ask
from offline_llm import CANNOT_ANSWER, OfflineSQLModel
from sample_shop import load_sample

EXAMPLES = os.path.dirname(os.path.abspath(ask.__file__))
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


NUMERIC_CASES = [
    ("How many customers are there?", "SELECT COUNT(*) FROM customers"),
    ("How many customers are in Berlin?", "SELECT COUNT(*) FROM customers WHERE city = 'Berlin'"),
    ("How many customers are there in Germany?",
     "SELECT COUNT(*) FROM customers WHERE country = 'Germany'"),
    ("How many orders where status is shipped?",
     "SELECT COUNT(*) FROM orders WHERE status = 'shipped'"),
    ("What is the number of order items?", "SELECT COUNT(*) FROM order_items"),
    ("How many different cities do customers live in?",
     "SELECT COUNT(DISTINCT city) FROM customers"),
    ("What is the total price of products?", "SELECT SUM(price) FROM products"),
    ("What is the average price of products in Electronics?",
     "SELECT AVG(price) FROM products WHERE category = 'Electronics'"),
    ("What is the total quantity of order items?", "SELECT SUM(quantity) FROM order_items"),
    ("What is the highest unit price of order items?", "SELECT MAX(unit_price) FROM order_items"),
    ("What is the lowest price of products where category is Garden?",
     "SELECT MIN(price) FROM products WHERE category = 'Garden'"),
    ("What is the average price of products in the Books category?",
     "SELECT AVG(price) FROM products WHERE category = 'Books'"),
    ("How many orders are there with status 'pending'?",
     "SELECT COUNT(*) FROM orders WHERE status = 'pending'"),
    ("What is the latest order date?", "SELECT MAX(order_date) FROM orders"),
]


@pytest.mark.parametrize("question,sql", NUMERIC_CASES, ids=[q for q, _ in NUMERIC_CASES])
def test_offline_model_numbers_match_the_server(shop, question, sql):
    answer = run_offline(shop, question)
    assert not answer.startswith(CANNOT_ANSWER), answer
    expected = scalar(shop, sql)
    if isinstance(expected, datetime.date):
        assert answer.endswith(f" is {expected.isoformat()}."), answer
    else:
        assert last_number(answer) == expected


@pytest.mark.parametrize("question,sql", [
    ("List the names of customers in Paris",
     "SELECT name FROM customers WHERE city = 'Paris' ORDER BY name"),
    ("Show the names of products where category is Toys",
     "SELECT name FROM products WHERE category = 'Toys' ORDER BY name"),
    ("Which cities do customers in Spain live in?",
     "SELECT DISTINCT city FROM customers WHERE country = 'Spain' ORDER BY city"),
])
def test_offline_model_lists_match_the_server(shop, question, sql):
    expected = [row[0] for row in reference(shop, sql)]
    assert 0 < len(expected) < 10, "the case should fit in the agent's row limit"
    answer = run_offline(shop, question)
    assert answer.endswith(": " + "; ".join(expected) + "."), answer


def test_offline_model_large_list_is_capped(shop):
    limit = 10
    expected = [row[0] for row in reference(shop, f"SELECT name FROM customers ORDER BY name "
                                                  f"LIMIT {limit}")]
    answer = run_offline(shop, "List the names of customers")
    assert f"(first {limit} rows)" in answer and "; ".join(expected) in answer


@pytest.mark.parametrize("question,change,sql", [
    ("How many customers are there in Reykjavik?",
     "INSERT INTO customers VALUES (901, 'Ada Sig', 'Reykjavik', 'Iceland', '2024-01-01'), "
     "(902, 'Bo Sig', 'Reykjavik', 'Iceland', '2024-01-02')",
     "SELECT COUNT(*) FROM customers WHERE city = 'Reykjavik'"),
    # The value is quoted in the question and must be escaped in the SQL.
    ("How many customers where name is \"Ciara O'Brien\"?",
     "INSERT INTO customers VALUES (903, 'Ciara O''Brien', 'Cork', 'Ireland', '2024-03-01')",
     "SELECT COUNT(*) FROM customers WHERE name = 'Ciara O''Brien'"),
    ("What is the highest price of products?",
     "INSERT INTO products VALUES (901, 'Grand Piano', 'Music', 9999.95)",
     "SELECT MAX(price) FROM products"),
    ("What is the average unit price of order items?",
     "UPDATE order_items SET unit_price = unit_price * 2 WHERE order_id <= 30",
     "SELECT AVG(unit_price) FROM order_items"),
])
def test_answer_follows_changed_data(scratch_shop, question, change, sql):
    before = run_offline(scratch_shop, question)
    assert last_number(before) == scalar(scratch_shop, sql)
    reference(scratch_shop, change)
    after = run_offline(scratch_shop, question)
    assert last_number(after) == scalar(scratch_shop, sql)
    assert last_number(after) != last_number(before)


@pytest.mark.parametrize("question,reason", [
    ("What will the weather be like in Oslo tomorrow?", "no table in the database matches"),
    ("Why do customers stop buying?", "not a count, total, average"),
    ("What is the average name of customers?", "names no numeric column of customers"),
    ("How many products in Atlantis?", "no column of products holds the value 'Atlantis'"),
    ("How many orders where colour is red?", "orders has no column called 'colour'"),
    # Conditions beyond one equality must be declined, not dropped from the SQL.
    ("How many products cost more than 50?", "not understood: cost, more, than, 50"),
    ("How many customers have placed orders?", "not understood: placed, order"),
    ("How many customers by city?", "not understood: by"),
])
def test_unmappable_question_is_declined(shop, question, reason):
    answer = run_offline(shop, question)
    assert answer.startswith(CANNOT_ANSWER) and reason in answer, answer


def test_unmappable_answer_lists_the_real_tables(shop):
    answer = run_offline(shop, "Who won the match yesterday?")
    tables = ", ".join(sorted(row[0] for row in reference(shop, "SHOW TABLES")))
    assert answer.endswith(f"(tables: {tables})")


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
    assert answer.startswith("The query failed, so I can't answer: Error:"), answer
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
    assert "Connection status: {'connected': False" in out and "Access denied" in out


def test_ask_script_end_to_end(shop):
    env = {k: v for k, v in os.environ.items() if k != "OPENAI_API_KEY"}
    # Unquoted, as typed at a shell prompt; both streams are pipes.
    proc = subprocess.run([sys.executable, os.path.join(EXAMPLES, "ask.py"),
                           *"How many customers are there?".split()],
                          capture_output=True, text=True, timeout=180, env=env)
    assert proc.returncode == 0, proc.stderr
    # The script loads the same seeded sample, so the module's copy is the reference.
    count = scalar(shop, "SELECT COUNT(*) FROM customers")
    # The answer alone on stdout; the log on stderr, uncoloured off a terminal.
    assert proc.stdout == f"Answer: There are {count} customers.\n"
    assert not ANSI.search(proc.stderr)
    assert "Action Input: SELECT COUNT(*) FROM customers\n" in proc.stderr
    assert ("Connection status: {'connected': True, 'message': 'Connection successful'}"
            in proc.stderr)
