"""Start-up when dependencies import the module back, replace its sys.modules
entry or are interrupted."""

import json

import pytest

from _helpers import FILE, STANDINS, run_child, write_standins
from test_startup import RETRY_AFTER_FAILURE

REPLACED_ENTRY = """
import quorvane as first
placeholder = object()
sys.modules["quorvane"] = placeholder
import quorvane as seen
del sys.modules["quorvane"]
import quorvane as again
pymysql = sys.modules["pymysql"]
emit(seen_placeholder=seen is placeholder, same=again is first,
     registered=sys.modules["quorvane"] is first, during=getattr(pymysql, "during", None),
     works=again.DatabaseConnector().connect()["message"])
"""


@pytest.mark.parametrize("driver, during", [
    ("", None),
    # The dependency imports the module back while its body runs: it gets
    # the registered module, whose classes do not exist yet.
    ("import quorvane, sys\nduring = [sys.modules['quorvane'] is quorvane,"
     " hasattr(quorvane, 'DatabaseConnector')]\n", [True, False]),
], ids=["after-import", "dependency-imports-it-back"])
def test_replaced_sys_modules_entry(tmp_path, driver, during):
    out = run_child(REPLACED_ENTRY, path=[write_standins(tmp_path, {"pymysql/__init__.py": driver})])
    assert out == {"seen_placeholder": True, "same": True, "registered": True, "during": during,
                   "works": "All database credentials must be provided"}


def test_dependency_replacing_the_entry_during_import(tmp_path):
    # The import statement yields whatever sys.modules holds at its end; once
    # that is removed, the next import finds the module that already ran.
    root = write_standins(tmp_path, {"pymysql/__init__.py": (
        "import sys\nsys.modules['quorvane'] = 'impostor'\n")})
    out = run_child("""
import quorvane as seen
del sys.modules["quorvane"]
import quorvane as q
emit(seen=seen, body_ran=q.pymysql is sys.modules["pymysql"],
     works=q.DatabaseConnector().connect()["message"])
""", path=[root])
    assert out == {"seen": "impostor", "body_ran": True,
                   "works": "All database credentials must be provided"}


@pytest.mark.parametrize("driver, exc_type, message", [
    ("from quorvane import DatabaseConnector\n", "ImportError",
     "cannot import name 'DatabaseConnector' from partially initialized module 'quorvane' "
     "(most likely due to a circular import)"),
    ("raise KeyboardInterrupt('interrupted')\n", "KeyboardInterrupt", "interrupted"),
], ids=["circular-from-import", "interrupted"])
def test_failed_start_up_then_clean_retry(tmp_path, driver, exc_type, message):
    root = write_standins(tmp_path, {"pymysql/__init__.py": driver})
    out = run_child(RETRY_AFTER_FAILURE.replace("#PRE", "").replace("#FIX", ""), path=[root],
                    argv=[root, json.dumps(STANDINS)])
    first = out["first"]
    assert (first["type"], first["entries"]) == (exc_type, [[FILE, "init quorvane", 13]])
    assert first["message"].startswith(message)
    assert out["left_registered"] is False and out["second"] == [True] * 5


ALLOCATION_FAILURES = """
import contextlib, importlib.util, io, _testcapi
# The dependencies are imported first: the import system itself does not
# survive failing allocations (a module lock can stay held).
import langchain.agents.agent_toolkits, langchain.agents.agent_types, langchain.chat_models
import langchain.llms.openai, langchain.sql_database, os, pymysql, sqlalchemy
agents = sys.modules["langchain.agents"]
spec = importlib.util.find_spec("quorvane")

def attempt(start):
    # Every allocation from the start-th on fails, in the exec step only.
    module = importlib.util.module_from_spec(spec)
    try:
        try:
            _testcapi.set_nomemory(start, 0)
            spec.loader.exec_module(module)
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        return vars(module)
    return None

def use(kept):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for cls in kept:
            cls("llm", "toolkit")
            runner = cls.__new__(cls)
            runner.agent_runner = None
            runner.run("q")
    return set(out.getvalue().splitlines())

# The last step, binding __test__, fails when the module dict must grow for
# it: the star import's names are padded so that the dict is full just then,
# and the failed attempt's classes stay in its dict.
start = 0
while "DatabaseConnector" not in attempt(start):
    start += 1
keys = len(attempt(start)) + 1  # and AgentRunner
for i in range(min(n for n in (21, 42, 85) if n >= keys) - keys):
    setattr(agents, "padding%d" % i, i)
# Every step up to that failure, then every step again with the class it
# left in use after each failure.
start, kept = 0, []
while not kept:
    left = attempt(start)
    if left is None:
        break
    kept, start = [left["AgentRunner"]] if "AgentRunner" in left else [], start + 1
late, printed, failures = start, set(), 0
for start in range(late + 1):
    if attempt(start) is None:
        break
    failures += 1
    printed |= use(kept)
import quorvane
emit(kept=len(kept), late=late, failures=failures, printed=sorted(printed | use(kept)),
     works=quorvane.DatabaseConnector().connect()["message"])
"""


def test_allocation_failures_at_every_step_of_start_up(tmp_path):
    root = write_standins(tmp_path, {"langchain/agents/__init__.py": STANDINS[
        "langchain/agents/__init__.py"].replace("return kwargs", "return None")})
    out = run_child(ALLOCATION_FAILURES, path=[root])
    assert out["kept"] == 1 and out["late"] > 100
    # The second round fails at every step before the class is made again.
    assert out["failures"] > 100
    assert {"Agent runner is not initialized.", "Error occurred during initialization."} <= set(
        out["printed"])
    assert out["works"] == "All database credentials must be provided"


MODULE_LOOKUP = """
import importlib._bootstrap as bootstrap, pymysql
name, how = sys.argv[1:]
original = bootstrap._lock_unlock_module
def interrupted_once(module_name):
    # An interrupt while waiting for a module that another thread initializes.
    if module_name == name and not raised:
        raised.append(module_name)
        raise {"interrupt": KeyboardInterrupt, "error": RuntimeError}[how]("while waiting")
    return original(module_name)
def prepare():
    raised.clear()
    if how == "none":
        sys.modules[name] = None
    else:
        sys.modules[name].__spec__._initializing = True
        bootstrap._lock_unlock_module = interrupted_once
def outcome_of(statement, prepared=True):
    saved = sys.modules[name]
    if prepared:
        prepare()
    try:
        exec(statement, {})
        result = None
    except BaseException as exc:
        result = outcome(exc)
    sys.modules[name] = saved
    saved.__spec__._initializing = False
    bootstrap._lock_unlock_module = original
    return result
raised = []
python = outcome_of("import " + name)
module = outcome_of("import quorvane")
emit(python=python, module=module, retry=outcome_of("import quorvane", prepared=False))
"""


@pytest.mark.parametrize("name, line", [("os", 9), ("pymysql", 13)])
@pytest.mark.parametrize("how, exc_type, message", [
    ("interrupt", "KeyboardInterrupt", "while waiting"),
    ("error", "RuntimeError", "while waiting"),
    ("none", "ModuleNotFoundError", "import of {} halted; None in sys.modules"),
])
def test_module_lookup_failures_propagate(tmp_path, name, line, how, exc_type, message):
    out = run_child(MODULE_LOOKUP, path=[write_standins(tmp_path)], argv=[name, how])
    # As the same import statement in Python: raised, never swallowed.
    assert out["python"]["type"] == exc_type
    assert out["python"]["message"] == message.format(name)
    assert out["module"] == {"type": exc_type, "message": message.format(name),
                             "entries": [[FILE, "init quorvane", line]]}
    # Start-up failed whole: the next import runs it again and succeeds.
    assert out["retry"] is None


OWN_GLOBALS = """
import types
try:
    import quorvane
except AttributeError as exc:
    # The failed module's dict lives on in the traceback's frame, with the
    # class made before the failure.
    tb = exc.__traceback__
    while tb.tb_frame.f_code.co_filename != "quorvane/base.py":
        tb = tb.tb_next
    old = tb.tb_frame.f_globals
sys.modules["langchain.agents.agent_types"].AgentType.ZERO_SHOT_REACT_DESCRIPTION = "zero"
import quorvane as new
def from_uri(uri):
    raise KeyboardInterrupt(uri)
found = {}
for which, ns in (("old", old), ("new", vars(new))):
    ns["SQLDatabase"] = types.SimpleNamespace(from_uri=lambda uri, which=which: which)
    found[which] = {"lookup": ns["DatabaseConnector"]("u", "p", "h", "n").getdbinstance()}
    ns["SQLDatabase"] = types.SimpleNamespace(from_uri=from_uri)
    for site, call in (("body", lambda c: c.getdbinstance()), ("binding", lambda c: c.connect(1))):
        try:
            call(ns["DatabaseConnector"]("u", "p", "h", "n"))
        except BaseException as exc:
            tb, own = exc.__traceback__, []
            while tb is not None:
                if tb.tb_frame.f_code.co_filename == "quorvane/base.py":
                    own.append("old" if tb.tb_frame.f_globals is old else
                               "new" if tb.tb_frame.f_globals is vars(new) else "other")
                tb = tb.tb_next
            found[which][site] = own
    found[which]["__globals__"] = ns["DatabaseConnector"].connect.__globals__ is ns
emit(old_is_new=old is vars(new), **found)
"""


def test_methods_of_a_failed_import_read_their_own_globals(tmp_path):
    root = write_standins(tmp_path, {
        "langchain/agents/agent_types.py": "class AgentType:\n    pass\n"})
    out = run_child(OWN_GLOBALS, path=[root])
    assert out["old_is_new"] is False
    for which in ("old", "new"):
        # As a Python function's: lookups and traceback frames use the dict
        # the method was made in.
        assert out[which] == {"lookup": which, "body": [which], "binding": [which],
                              "__globals__": True}
