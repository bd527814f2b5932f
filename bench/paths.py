"""The measured call paths, shared by the instruction-count and wall-time runs.

Each path is a statement as user code would write it, compiled into a loop
`for _ in range(n): <statement>` against one implementation: the native
module ("quorvane") or the plain-Python classes ("reference"). Both get the
same stand-ins for LangChain, bound into their module globals, so a path
measures the module's own work and not the database or the model.
"""

import contextlib
import importlib
import os
import sys
import textwrap
import warnings
from typing import Callable, NamedTuple

BENCH = os.path.dirname(os.path.abspath(__file__))
IMPLS = ("quorvane", "reference")

# The module body's import statements: importing them first leaves only the
# module's own start-up to be timed, and gives both implementations the same
# loaded interpreter to run in.
DEPENDENCY_IMPORTS = """\
from langchain.agents import create_sql_agent
from langchain.agents.agent_toolkits import SQLDatabaseToolkit
from langchain.sql_database import SQLDatabase
from langchain.llms.openai import OpenAI
from langchain.agents import AgentExecutor
from langchain.agents.agent_types import AgentType
from langchain.chat_models import ChatOpenAI
from sqlalchemy import create_engine
import os
from langchain.agents import *
from langchain.llms import OpenAI
from langchain.sql_database import SQLDatabase
import pymysql
"""


@contextlib.contextmanager
def muted_warnings():
    # LangChain re-enables its deprecation warnings while it is imported, so
    # a filter set beforehand does not hold; silencing the display does.
    shown = warnings.showwarning
    warnings.showwarning = lambda *args, **kwargs: None
    try:
        yield
    finally:
        warnings.showwarning = shown


def load(impl):
    if impl not in IMPLS:
        raise SystemExit(f"unknown implementation {impl!r}; expected one of {IMPLS}")
    if BENCH not in sys.path:
        sys.path.insert(0, BENCH)
    with muted_warnings():
        return importlib.import_module(impl)


class Sink:
    """Stands in for sys.stdout: print costs the same on both sides, with a
    C-level write that keeps nothing."""
    write = staticmethod(len)


SINK = Sink()


# Stand-ins for SQLDatabase and create_sql_agent.
DATABASE = object()


class FastSQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        return DATABASE


class FailingSQLDatabase:
    @classmethod
    def from_uri(cls, uri):
        raise ValueError("(1045, \"Access denied for user 'shop'@'localhost'\")")


class Agent:
    def run(self, query):
        return query


AGENT = Agent()


def create_agent(llm, toolkit, verbose, agent_type):
    return AGENT


def create_no_agent(llm, toolkit, verbose, agent_type):
    return None


def create_agent_failing(llm, toolkit, verbose, agent_type):
    raise ValueError("toolkit rejected")


class Path(NamedTuple):
    name: str
    stmt: str
    # What the module globals SQLDatabase and create_sql_agent are bound to
    # while the path runs; `c` and `r` in the statement are made with them.
    database: type = FastSQLDatabase
    create: Callable = create_agent
    creds: tuple = ()
    # A binding error: the loop catches the TypeError the statement raises.
    raises: bool = False


def _raises(name, stmt):
    return Path(name, stmt, raises=True)


CREDS = ("shop", "shop-pw", "127.0.0.1:3306", "shop")
MISSING = CREDS[:3]  # db_name None: the check reads all four
LLM, TOOLKIT, AGENT_TYPE, QUERY = object(), object(), object(), "How many customers?"

PATHS = [
    Path("init_pos", "DatabaseConnector(U, P, H, N)"),
    Path("init_kw", "DatabaseConnector(db_user=U, db_password=P, db_host=H, db_name=N)"),
    Path("connect_missing", "c.connect()", creds=MISSING),
    Path("connect_ok", "c.connect()"),
    Path("connect_raise", "c.connect()", FailingSQLDatabase),
    Path("getdb_missing", "c.getdbinstance()", creds=MISSING),
    Path("getdb_ok", "c.getdbinstance()"),
    Path("getdb_raise", "c.getdbinstance()", FailingSQLDatabase),
    Path("agent_init_pos", "AgentRunner(LLM, TOOLKIT)"),
    Path("agent_init_kw",
         "AgentRunner(llm=LLM, toolkit=TOOLKIT, verbose=False, agent_type=AGENT_TYPE)"),
    Path("agent_init_raise", "AgentRunner(LLM, TOOLKIT)", create=create_agent_failing),
    Path("run_agent", "r.run(Q)"),
    Path("run_no_agent", "r.run(Q)", create=create_no_agent),
    _raises("err_init_many", "DatabaseConnector(U, P, H, N, U)"),
    _raises("err_init_unexpected", "DatabaseConnector(U, db_password=P, bogus=U)"),
    _raises("err_init_duplicate", "DatabaseConnector(U, db_user=U)"),
    _raises("err_connect_args", "c.connect(U)"),
    _raises("err_getdb_args", "c.getdbinstance(U)"),
    _raises("err_agent_few", "AgentRunner(LLM)"),
    _raises("err_agent_many", "AgentRunner(LLM, TOOLKIT, True, AGENT_TYPE, U)"),
    _raises("err_run_few", "r.run()"),
]
BY_NAME = {p.name: p for p in PATHS}


def select(names):
    """The paths named (all when none are), in table order."""
    unknown = sorted(set(names or ()) - set(BY_NAME))
    if unknown:
        raise SystemExit(f"unknown path(s) {', '.join(unknown)}; known: {', '.join(BY_NAME)}")
    return [p for p in PATHS if not names or p.name in names]


def namespace(path, mod):
    """The names a path's statement uses; binds the path's stand-ins."""
    mod.SQLDatabase = path.database
    mod.create_sql_agent = path.create
    return {"DatabaseConnector": mod.DatabaseConnector, "AgentRunner": mod.AgentRunner,
            "U": CREDS[0], "P": CREDS[1], "H": CREDS[2], "N": CREDS[3],
            "LLM": LLM, "TOOLKIT": TOOLKIT, "AGENT_TYPE": AGENT_TYPE, "Q": QUERY,
            "c": mod.DatabaseConnector(*(path.creds or CREDS)),
            "r": mod.AgentRunner(LLM, TOOLKIT)}


def make_loop(path, mod):
    """`loop(n)` runs the path's statement n times on `mod`. Call it (and
    this) with sys.stdout redirected to SINK: making `r` prints."""
    def bind():
        mod.SQLDatabase = path.database
        mod.create_sql_agent = path.create
    ns = namespace(path, mod)
    ns["bind"] = bind
    stmt = f"try:\n    {path.stmt}\nexcept TypeError:\n    pass" if path.raises else path.stmt
    body = textwrap.indent(stmt, " " * 8)
    # Paths share the module globals, so each run binds its own stand-ins
    # first; that costs the same whatever n is.
    src = f"def loop(n):\n    bind()\n    for _ in range(n):\n{body}\n"
    exec(compile(src, f"<path {path.name}>", "exec"), ns)
    return ns["loop"]


def format_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) if i else str(c).ljust(w)
                               for i, (c, w) in enumerate(zip(r, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths]), *map(line, rows)])
