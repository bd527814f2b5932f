"""Module start-up: globals, classes, code objects, and the import paths
that only a fresh interpreter (or stand-in dependencies) can show."""

import builtins
import dis
import inspect
import json
import os
import sys

import pytest

import quorvane
from quorvane import AgentRunner, DatabaseConnector
from _helpers import FILE, STANDINS, run_child, write_standins

import langchain.agents
import langchain.agents.agent_toolkits
import langchain.chat_models
import langchain.llms
import langchain.sql_database
import pymysql
import sqlalchemy
from langchain.agents.agent_types import AgentType

ZERO_SHOT = AgentType.ZERO_SHOT_REACT_DESCRIPTION


# --- the module as the real dependencies leave it --------------------------

def test_real_module_globals():
    expected = {
        "__builtins__": builtins, "os": os, "pymysql": pymysql,
        "create_sql_agent": langchain.agents.create_sql_agent,
        "SQLDatabaseToolkit": langchain.agents.agent_toolkits.SQLDatabaseToolkit,
        "SQLDatabase": langchain.sql_database.SQLDatabase,
        "OpenAI": langchain.llms.OpenAI,
        "AgentExecutor": langchain.agents.AgentExecutor,
        "AgentType": langchain.agents.AgentType,
        "ChatOpenAI": langchain.chat_models.ChatOpenAI,
        "create_engine": sqlalchemy.create_engine,
        # Everything the star import of langchain.agents names.
        **{n: getattr(langchain.agents, n) for n in langchain.agents.__all__},
    }
    assert [n for n, v in expected.items() if vars(quorvane).get(n) is not v] == []
    assert quorvane.__name__ == "quorvane" and quorvane.__doc__ is None
    assert type(quorvane.__test__) is dict and quorvane.__test__ == {}


@pytest.mark.parametrize("cls, methods", [
    (DatabaseConnector, ["__init__", "connect", "getdbinstance"]),
    (AgentRunner, ["__init__", "run"]),
])
def test_classes_are_plain_type_instances(cls, methods):
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == "quorvane" and cls.__qualname__ == cls.__name__
    assert cls.__doc__ is None and not hasattr(cls, "__slots__")
    # What `type` makes of the same namespace is the oracle for the layout.
    reference = type(cls.__name__, (), {"__module__": "quorvane", "__qualname__": cls.__name__,
                                        **{m: lambda self: None for m in methods}})
    # copyreg caches __slotnames__ on a class once an instance is copied or
    # pickled; that is not part of what start-up made.
    assert [k for k in vars(cls) if k != "__slotnames__"] == list(vars(reference))
    for m in methods:
        func = vars(cls)[m]
        assert func.__qualname__ == f"{cls.__name__}.{m}" and func.__module__ == "quorvane"
        assert func.__globals__ is vars(quorvane) and func.__doc__ is None
    assert vars(object.__new__(cls)) == {}


@pytest.mark.parametrize("func, name, varnames, argcount, line, defaults, signature", [
    (DatabaseConnector.__init__, "__init__",
     ("self", "db_user", "db_password", "db_host", "db_name"), 5, 17, (None,) * 4,
     "(self, db_user=None, db_password=None, db_host=None, db_name=None)"),
    (DatabaseConnector.connect, "connect", ("self", "e"), 1, 25, None, "(self)"),
    (DatabaseConnector.getdbinstance, "getdbinstance", ("self", "e"), 1, 42, None, "(self)"),
    (AgentRunner.__init__, "__init__",
     ("self", "llm", "toolkit", "verbose", "agent_type", "e"), 5, 56, (True, ZERO_SHOT),
     f"(self, llm, toolkit, verbose=True, agent_type={ZERO_SHOT!r})"),
    (AgentRunner.run, "run", ("self", "query"), 2, 83, None, "(self, query)"),
], ids=lambda v: v.__qualname__ if callable(v) else "")
def test_code_objects_and_defaults(func, name, varnames, argcount, line, defaults, signature):
    code = func.__code__
    assert (code.co_name, code.co_qualname, code.co_filename) == (name, name, FILE)
    assert (code.co_argcount, code.co_nlocals, code.co_varnames) == (
        argcount, len(varnames), varnames)
    assert (code.co_firstlineno, code.co_flags) == (line, 3)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount, code.co_stacksize) == (0, 0, 1)
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((),) * 4
    # The body of PyCode_NewEmpty: executing it raises AssertionError, at
    # the first line.
    assert [(i.opname, i.arg) for i in dis.get_instructions(code)] == [
        ("RESUME", 0), ("LOAD_ASSERTION_ERROR", None), ("RAISE_VARARGS", 1)]
    assert list(code.co_lines()) == [(0, 6, line)] and code.co_exceptiontable == b""
    assert func.__kwdefaults__ is None
    if defaults is None:
        assert func.__defaults__ is None
    else:
        assert func.__defaults__ == defaults
        assert all(a is b for a, b in zip(func.__defaults__, defaults))
    assert str(inspect.signature(func)) == signature


def test_stored_default_and_print_are_fixed_at_startup(monkeypatch, capsys):
    seen = []
    printed = []
    monkeypatch.setattr(quorvane, "create_sql_agent", lambda **kw: seen.append(kw))
    monkeypatch.setattr(quorvane, "AgentType", type("Other", (), {
        "ZERO_SHOT_REACT_DESCRIPTION": object()}))
    monkeypatch.setattr(builtins, "print", lambda *a, **k: printed.append(a))
    monkeypatch.setattr(quorvane, "print", lambda *a, **k: printed.append(a), raising=False)
    runner = AgentRunner("llm", "toolkit")
    assert seen[0]["agent_type"] is ZERO_SHOT
    assert AgentRunner.__init__.__defaults__[1] is ZERO_SHOT
    assert runner.run("q") is None
    assert printed == []
    assert capsys.readouterr().out == (
        "Error occurred during initialization.\nAgent runner is not initialized.\n")


# --- fresh interpreters over stand-in dependencies ---------------------------

AGENTS = STANDINS["langchain/agents/__init__.py"]

IMPORT_AND_CHECK = """
import importlib, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import quorvane as q
import builtins, os, pymysql, sqlalchemy
import langchain.agents as agents, langchain.agents.agent_types as agent_types
import langchain.agents.agent_toolkits as toolkits, langchain.chat_models as chat
import langchain.llms as llms, langchain.llms.openai as llms_openai
import langchain.sql_database as sqldb
emit(warnings=[str(w.message) for w in caught], keys=list(vars(q)),
     source_keys=list(vars(agents)), source_all=getattr(agents, "__all__", None),
     failed=[c for c in _json.loads(sys.argv[1]) if not holds(c)])
"""

COMMON_CHECKS = [
    "sys.modules['quorvane'] is q",
    "q.__builtins__ is builtins and q.os is os and q.pymysql is pymysql",
    "q.SQLDatabaseToolkit is toolkits.SQLDatabaseToolkit",
    "q.SQLDatabase is sqldb.SQLDatabase",
    "q.OpenAI is llms.OpenAI and q.OpenAI is not llms_openai.OpenAI",
    "q.AgentExecutor is agents.AgentExecutor",
    "q.ChatOpenAI is chat.ChatOpenAI",
    "q.create_engine is sqlalchemy.create_engine",
    "type(q.__test__) is dict and q.__test__ == {}",
    "q.AgentRunner.__init__.__defaults__[1] is q.AgentType.ZERO_SHOT_REACT_DESCRIPTION",
]

SUCCESS_VARIANTS = {
    "plain": ({}, [
        "q.create_sql_agent is agents.create_sql_agent",
        "q.AgentType is agent_types.AgentType",
        "q.public_helper is agents.public_helper",
        "'_private_helper' not in vars(q)",
    ]),
    "star-with-all": ({
        "langchain/agents/__init__.py": AGENTS + (
            "_listed = object()\n__all__ = ['create_sql_agent', '_listed', 'AgentType']\n"),
    }, [
        "q._listed is agents._listed and q.create_sql_agent is agents.create_sql_agent",
        "'public_helper' not in vars(q) and '_private_helper' not in vars(q)",
        "'agent_types' not in vars(q)",
    ]),
    "star-rebinds-AgentType": ({
        "langchain/agents/__init__.py": AGENTS + (
            "class AgentType:\n    ZERO_SHOT_REACT_DESCRIPTION = object()\n"),
    }, [
        "q.AgentType is agents.AgentType and q.AgentType is not agent_types.AgentType",
    ]),
    # The name is bound whole, not cut at the NUL onto the global before it.
    "star-name-with-nul": ({
        "langchain/agents/__init__.py": AGENTS + (
            "globals()['create_engine\\0x'] = 'shadow'\n"
            "__all__ = ['create_sql_agent', 'AgentType', 'create_engine\\0x']\n"),
    }, [
        "vars(q)['create_engine\\0x'] == 'shadow' and q.create_engine is sqlalchemy.create_engine",
    ]),
    "name-only-in-sys-modules": ({
        "langchain/agents/create_sql_agent.py": "",
        "langchain/agents/__init__.py": AGENTS.replace("def create_sql_agent(", "def _unused(") + (
            "import langchain.agents.create_sql_agent\ndel create_sql_agent\n"),
    }, [
        "q.create_sql_agent is sys.modules['langchain.agents.create_sql_agent']",
    ]),
}

BODY_ORDER = ["__builtins__", "create_sql_agent", "SQLDatabaseToolkit", "SQLDatabase", "OpenAI",
              "AgentExecutor", "AgentType", "ChatOpenAI", "create_engine", "os"]
TAIL_ORDER = ["pymysql", "DatabaseConnector", "AgentRunner", "__test__"]


@pytest.mark.parametrize("variant", SUCCESS_VARIANTS)
def test_import_over_standins(tmp_path, variant):
    changes, checks = SUCCESS_VARIANTS[variant]
    root = write_standins(tmp_path, changes)
    out = run_child(IMPORT_AND_CHECK, path=[root], argv=[json.dumps(
        COMMON_CHECKS + checks)])
    assert out["failed"] == []
    # Every 3.12 release imports without the version warning (or any other).
    assert out["warnings"] == []
    # Globals are bound in statement order; the star import adds its new
    # names after line 9, and rebinding keeps a name's first position.
    star = out["source_all"] or [k for k in out["source_keys"] if not k.startswith("_")]
    added = [n for n in dict.fromkeys(star) if n not in BODY_ORDER + TAIL_ORDER]
    keys = out["keys"]
    assert keys[keys.index("__builtins__"):] == BODY_ORDER + added + TAIL_ORDER


RETRY_AFTER_FAILURE = """
import importlib, os, traceback
root, baseline = sys.argv[1], _json.loads(sys.argv[2])
#PRE
try:
    import quorvane
    first = None
except BaseException as exc:
    first = outcome(exc)
    first["frames"] = [[f.filename, f.name] for f in traceback.extract_tb(exc.__traceback__)]
left_registered = "quorvane" in sys.modules
#FIX
for rel, text in baseline.items():
    os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
    with open(os.path.join(root, rel), "w") as f:
        f.write(text)
for name in list(sys.modules):
    if name.split(".")[0] in ("langchain", "sqlalchemy", "pymysql"):
        del sys.modules[name]
importlib.invalidate_caches()
import quorvane as q
emit(first=first, left_registered=left_registered, second=[
    sys.modules["quorvane"] is q, q.__test__ == {},
    q.ChatOpenAI is sys.modules["langchain.chat_models"].ChatOpenAI,
    q.AgentRunner.__init__.__defaults__[1] is q.AgentType.ZERO_SHOT_REACT_DESCRIPTION,
    q.DatabaseConnector().connect()["message"] == "All database credentials must be provided",
])
"""

# A module, not a package: the import function itself does not probe the
# name, so the failure comes from reading the attribute.
SQLDATABASE_GETATTR_RAISES = """\
def __getattr__(name):
    if name == "SQLDatabase":
        raise LookupError(name)
    raise AttributeError(name)
"""

# Like the real langchain.agents: a package whose module __getattr__ warns.
# The import function probes the from-list name on a package, so a warning
# turned into an error leaves the import statement itself unchanged.
WARNING_AGENTS = """\
import warnings
from langchain import LangChainDeprecationWarning
from langchain.agents.agent_types import AgentType

class AgentExecutor:
    pass

def _create(**kwargs):
    return kwargs

def __getattr__(name):
    if name == "create_sql_agent":
        warnings.warn("create_sql_agent has moved", LangChainDeprecationWarning)
        return _create
    raise AttributeError(name)
"""


@pytest.mark.parametrize("changes, pre, fix, options, exc_type, message, line", [
    pytest.param({"langchain/chat_models.py": None}, "", "", (), "ModuleNotFoundError",
                 "No module named 'langchain.chat_models'", 7, id="missing-chat-models"),
    pytest.param({"langchain/agents/__init__.py": AGENTS.replace("create_sql_agent", "other")},
                 "", "", (), "ImportError", "cannot import name create_sql_agent", 1,
                 id="agents-without-create-sql-agent"),
    pytest.param({"langchain/sql_database.py": SQLDATABASE_GETATTR_RAISES},
                 "", "", (), "ImportError", "cannot import name SQLDatabase", 3,
                 id="attribute-read-raises-other-error"),
    # Not failures to find the name: they propagate as raised.
    *[pytest.param({"langchain/sql_database.py": SQLDATABASE_GETATTR_RAISES.replace(
        "LookupError", exc)}, "", "", (), exc, "SQLDatabase", 3, id=f"attribute-read-{exc}")
      for exc in ("KeyboardInterrupt", "SystemExit")],
    pytest.param({"langchain/agents/agent_types.py": "class AgentType:\n    pass\n"},
                 "", "", (), "AttributeError",
                 "type object 'AgentType' has no attribute 'ZERO_SHOT_REACT_DESCRIPTION'", 57,
                 id="agent-type-without-zero-shot"),
    pytest.param({"langchain/agents/__init__.py": AGENTS + "__all__ = ['AgentType', 'not_there']\n"},
                 "", "", (), "AttributeError",
                 "module 'langchain.agents' has no attribute 'not_there'", 10,
                 id="star-all-names-missing"),
    pytest.param({"langchain/agents/__init__.py": AGENTS + (
        "globals()['\\udc80'] = 1\n__all__ = ['AgentType', '\\udc80']\n")}, "", "", (),
        "UnicodeEncodeError", "'utf-8' codec can't encode character '\\udc80' in position 0: "
        "surrogates not allowed", 10, id="star-name-not-utf8"),
    pytest.param({"pymysql/__init__.py": "raise RuntimeError('no driver here')\n"},
                 "", "", (), "RuntimeError", "no driver here", 13, id="dependency-raises"),
    pytest.param({}, "import builtins; _print = builtins.print; del builtins.print",
                 "builtins.print = _print", (), "NameError", "name 'print' is not defined", 1,
                 id="builtins-without-print"),
    pytest.param({"langchain/agents/__init__.py": WARNING_AGENTS}, "",
                 "import warnings; warnings.simplefilter('ignore')",
                 ("-W", "error::langchain.LangChainDeprecationWarning"),
                 "LangChainDeprecationWarning", "create_sql_agent has moved", 1,
                 id="warnings-as-errors"),
])
def test_failed_startup_then_clean_retry(tmp_path, changes, pre, fix, options, exc_type,
                                         message, line):
    root = write_standins(tmp_path, changes)
    out = run_child(RETRY_AFTER_FAILURE.replace("#PRE", pre).replace("#FIX", fix), path=[root],
                    options=options, argv=[root, json.dumps(STANDINS)])
    first = out["first"]
    assert first is not None, "import succeeded"
    assert (first["type"], first["message"]) == (exc_type, message)
    assert first["entries"] == [[FILE, "init quorvane", line]]
    if exc_type == "RuntimeError":
        # The dependency's own frame follows the entry of the import statement.
        at = first["frames"].index([FILE, "init quorvane"])
        assert first["frames"][at + 1] == [os.path.join(root, "pymysql", "__init__.py"), "<module>"]
    assert out["left_registered"] is False
    # The failure released the module: the retry runs the whole body again.
    assert out["second"] == [True] * 5


REIMPORT = """
import importlib
import quorvane as q
marker, test, cls = object(), q.__test__, q.DatabaseConnector
q.SQLDatabase = marker
del sys.modules["quorvane"]
import quorvane as again
reloaded = importlib.reload(again)
emit(failed=[c for c in [
    "again is q", "reloaded is q", "sys.modules['quorvane'] is q", "q.SQLDatabase is marker",
    "q.__test__ is test", "q.DatabaseConnector is cls",
] if not holds(c)])
"""

OTHER_NAME = """
import importlib.util
origin = importlib.util.find_spec("quorvane").origin
placeholder = object()
if sys.argv[1] == "occupied":
    sys.modules["quorvane"] = placeholder
spec = importlib.util.spec_from_file_location("alias.quorvane", origin)
m = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(m)
    failure = None
except ImportError as exc:
    failure = str(exc)
entry = sys.modules.get("quorvane", "absent")
registered = ("self" if entry is m else "placeholder" if entry is placeholder else
              entry if isinstance(entry, str) else "other")
if failure:
    emit(failure=failure, registered=registered)
else:
    D, A = m.DatabaseConnector, m.AgentRunner
    emit(name=m.__name__, package=m.__package__, registered=registered,
         modules=sorted({x.__module__ for x in (D, A, D.__init__, D.connect, D.getdbinstance,
                                                A.__init__, A.run)}))
"""

CREATE_STEP = """
import importlib.util
real = importlib.util.find_spec("quorvane")

class Spec:
    def __init__(self, name, **attrs):
        self.name, self.origin = name, real.origin
        self.__dict__.update(attrs)

class BadParent(Spec):
    @property
    def parent(self):
        raise ValueError("no parent")

a = real.loader.create_module(Spec("alias.quorvane", loader=real.loader, parent="alias",
                                   submodule_search_locations=None))
b = real.loader.create_module(Spec("quorvane", submodule_search_locations=["somewhere"]))
try:
    real.loader.create_module(BadParent("quorvane"))
    raised = None
except ValueError as exc:
    raised = str(exc)
import quorvane
c = real.loader.create_module(Spec("other.quorvane", parent="other"))
emit(failed=[x for x in [
    "list(vars(a)) == ['__name__', '__doc__', '__package__', '__loader__', '__spec__', '__file__']",
    "a.__name__ == 'alias.quorvane' and a.__package__ == 'alias'",
    "a.__loader__ is real.loader and a.__file__ == real.origin and a.__spec__ is None",
    "b.__path__ == ['somewhere'] and b.__loader__ is None and b.__package__ is None",
    "a is not b and quorvane is not a and quorvane is not b",
    "raised == 'no parent'",
    "c is quorvane and c.__name__ == 'quorvane' and c.__package__ == ''",
] if not holds(x)])
"""

TWO_MODULES = """
import importlib.util
spec = importlib.util.find_spec("quorvane")
m1 = importlib.util.module_from_spec(spec)
m2 = importlib.util.module_from_spec(spec)
distinct = m1 is not m2
spec.loader.exec_module(m1)
spec.loader.exec_module(m1)
try:
    spec.loader.exec_module(m2)
    second = None
except BaseException as exc:
    second = outcome(exc)
emit(distinct=distinct, second=second, registered=sys.modules.get("quorvane") is m1,
     m2_bare="DatabaseConnector" not in vars(m2),
     usable=m1.DatabaseConnector().connect()["message"])
"""

SUBINTERPRETER = """
import quorvane, _xxsubinterpreters as interpreters
interp = interpreters.create(isolated=False)
try:
    interpreters.run_string(interp, "import quorvane")
    failure = None
except interpreters.RunFailedError as exc:
    failure = str(exc)
interpreters.destroy(interp)
emit(failure=failure, registered=sys.modules["quorvane"] is quorvane,
     usable=quorvane.DatabaseConnector().connect()["message"])
"""

MAIN_FLAG = """
import ctypes, importlib.util
origin = importlib.util.find_spec("quorvane").origin
ctypes.c_int32.in_dll(ctypes.CDLL(origin), "module_is_main_quorvane").value = 1
import quorvane
emit(name=quorvane.__name__, registered=sys.modules["quorvane"] is quorvane,
     modules=[quorvane.DatabaseConnector.__module__, quorvane.AgentRunner.run.__module__])
"""

CREDS = "All database credentials must be provided"


def test_reimport_and_reload_return_the_same_module(tmp_path):
    assert run_child(REIMPORT, path=[write_standins(tmp_path)])["failed"] == []


FAILING_DEPENDENCY = {
    "ok": None,
    "failing": "raise ImportError('pymysql broken')\n",
    # A dependency that puts its own object under "quorvane", then fails.
    "failing-after-replacing": "import sys\nsys.modules['quorvane'] = 'impostor'\n"
                               "raise ImportError('pymysql broken')\n",
}


@pytest.mark.parametrize("state, dependency, registered", [
    ("free", "ok", "self"), ("occupied", "ok", "placeholder"),
    # A failed start-up takes out the entry it made, and only that one.
    ("free", "failing", "absent"), ("occupied", "failing", "placeholder"),
    ("free", "failing-after-replacing", "impostor"),
])
def test_import_under_another_name(tmp_path, state, dependency, registered):
    changes = {"pymysql/__init__.py": FAILING_DEPENDENCY[dependency]} if dependency != "ok" else {}
    out = run_child(OTHER_NAME, path=[write_standins(tmp_path, changes)], argv=[state])
    assert out["registered"] == registered
    if dependency != "ok":
        assert out["failure"] == "pymysql broken"
        return
    assert (out["name"], out["package"]) == ("alias.quorvane", "alias")
    assert out["modules"] == ["quorvane"]


def test_create_step_copies_the_spec_until_the_module_is_ready(tmp_path):
    assert run_child(CREATE_STEP, path=[write_standins(tmp_path)])["failed"] == []


def test_second_module_object_is_refused(tmp_path):
    out = run_child(TWO_MODULES, path=[write_standins(tmp_path)])
    assert out["distinct"] is True
    assert out["second"] == {"type": "RuntimeError", "entries": [], "message":
                             "Module 'quorvane' has already been imported. "
                             "Re-initialisation is not supported."}
    assert out["registered"] and out["m2_bare"] and out["usable"] == CREDS


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_xxsubinterpreters")
    out = run_child(SUBINTERPRETER, path=[write_standins(tmp_path)])
    message = ("Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")
    assert out["failure"] is not None and "ImportError" in out["failure"]
    assert out["failure"].endswith(": " + message)
    assert out["registered"] and out["usable"] == CREDS


def test_main_flag_renames_the_module_only(tmp_path):
    out = run_child(MAIN_FLAG, path=[write_standins(tmp_path)])
    assert out == {"name": "__main__", "registered": True, "modules": ["quorvane", "quorvane"]}
