"""The method function objects as Python's own tools see them."""

import ast
import copy
import doctest
import functools
import gc
import importlib
import inspect
import io
import json
import pickle
import pydoc
import subprocess
import sys
import traceback
import types
import typing
import warnings
import weakref
from pathlib import Path
from unittest import mock

import pytest

import quorvane
from quorvane import AgentRunner, DatabaseConnector
from _helpers import run_child

ZERO_SHOT = AgentRunner.__init__.__defaults__[1]
DELETE = object()  # stands for `del` in the assignment tables

# (class, name, signature, code argcount, code varnames, first line)
FUNCS = [
    (DatabaseConnector, "__init__", "(self, db_user=None, db_password=None, db_host=None, db_name=None)",
     5, ("self", "db_user", "db_password", "db_host", "db_name"), 17),
    (DatabaseConnector, "connect", "(self)", 1, ("self", "e"), 25),
    (DatabaseConnector, "getdbinstance", "(self)", 1, ("self", "e"), 42),
    (AgentRunner, "__init__", f"(self, llm, toolkit, verbose=True, agent_type={ZERO_SHOT!r})",
     5, ("self", "llm", "toolkit", "verbose", "agent_type", "e"), 56),
    (AgentRunner, "run", "(self, query)", 2, ("self", "query"), 83),
]
FUNC_IDS = [f"{c.__name__}.{n}" for c, n, *_ in FUNCS]
ALL = [getattr(c, n) for c, n, *_ in FUNCS]
funcs = pytest.mark.parametrize("func", ALL, ids=FUNC_IDS)
SNAPSHOT = ("__name__", "__qualname__", "__module__", "__doc__", "__dict__",
            "__defaults__", "__kwdefaults__", "__annotations__")


@pytest.fixture(autouse=True)
def restore_attributes():
    """The functions live for the process: every test leaves them as it found them."""
    saved = [(f, {a: getattr(f, a) for a in SNAPSHOT}, dict(f.__dict__), dict(f.__annotations__))
             for f in ALL]
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for f, attrs, d, ann in saved:
            for attr, value in attrs.items():
                setattr(f, attr, value)
            for live, kept in ((f.__dict__, d), (f.__annotations__, ann)):
                live.clear()
                live.update(kept)


def blank(cls):
    return cls.__new__(cls)


def assign(func, attr, value):
    delattr(func, attr) if value is DELETE else setattr(func, attr, value)


@pytest.mark.parametrize("cls, name, sig, argcount, varnames, line", FUNCS, ids=FUNC_IDS)
def test_reported_values(cls, name, sig, argcount, varnames, line):
    f = cls.__dict__[name]
    assert getattr(cls, name) is f
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"{cls.__name__}.{name}", "quorvane")
    assert f.__doc__ is None and f.__closure__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(quorvane) and f._is_coroutine is False
    code = f.__code__
    assert (code.co_name, code.co_argcount, code.co_varnames, code.co_firstlineno, code.co_filename) == (
        name, argcount, varnames, line, "quorvane/base.py")
    for alias, dunder in [("func_name", "__name__"), ("func_doc", "__doc__"), ("func_dict", "__dict__"),
                          ("func_globals", "__globals__"), ("func_closure", "__closure__"),
                          ("func_code", "__code__"), ("func_defaults", "__defaults__")]:
        assert getattr(f, alias) is getattr(f, dunder)
    assert f.__reduce__() == f.__qualname__
    assert repr(f).startswith(f"<function {f.__qualname__} at ")
    # The type says what it is: not a Python function, whose code could be run.
    assert f.__class__ is type(f) and not isinstance(f, types.FunctionType)


def test_executing_the_code_objects_raises_assertion_error():
    # Tools that take a code object for a Python function's may run it.
    out = run_child("""
        import traceback, types, warnings
        warnings.simplefilter("ignore")
        import quorvane
        found = {}
        for cls in (quorvane.DatabaseConnector, quorvane.AgentRunner):
            for name, f in vars(cls).items():
                if callable(f):
                    code = f.__code__
                    try:
                        types.FunctionType(code, {})(*[None] * code.co_argcount)
                    except BaseException as e:
                        where = traceback.extract_tb(e.__traceback__)[-1]
                        found[f.__qualname__] = [type(e).__name__, where.name, where.lineno]
        emit(found=found)
    """)
    assert out["found"] == {f.__qualname__: ["AssertionError", f.__name__, f.__code__.co_firstlineno]
                            for f in ALL}


def test_defaults_as_reported():
    assert DatabaseConnector.__init__.__defaults__ == (None, None, None, None)
    assert AgentRunner.__init__.__defaults__ is AgentRunner.__init__.__defaults__
    assert ZERO_SHOT is quorvane.AgentType.ZERO_SHOT_REACT_DESCRIPTION and ALL[3].__defaults__[0] is True
    assert [f.__defaults__ for f in ALL[1:3] + ALL[4:]] == [None, None, None]
    assert inspect.signature(AgentRunner).parameters["agent_type"].default is ZERO_SHOT


REJECTED = [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("__name__", DELETE, "__name__ must be set to a string object"),
    ("func_name", b"x", "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("__dict__", DELETE, "function's dictionary may not be deleted"),
    ("func_dict", DELETE, "function's dictionary may not be deleted"),
    ("__defaults__", [None], "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", (), "__annotations__ must be set to a dict object"),
]


@funcs
@pytest.mark.parametrize("attr, value, message", REJECTED)
def test_rejected_assignment_leaves_attribute_unchanged(func, attr, value, message):
    before = getattr(func, attr)
    with warnings.catch_warnings(record=True) as caught, pytest.raises(TypeError) as info:
        warnings.simplefilter("always")
        assign(func, attr, value)
    assert str(info.value) == message
    assert getattr(func, attr) is before and caught == []


@funcs
@pytest.mark.parametrize("attr", ["__globals__", "__closure__", "__code__", "func_globals",
                                  "func_closure", "func_code", "_is_coroutine"])
def test_read_only(func, attr):
    before = getattr(func, attr)
    for change in (lambda: setattr(func, attr, {}), lambda: delattr(func, attr)):
        with pytest.raises(AttributeError, match="not writable"):
            change()
    assert getattr(func, attr) is before


class Text(str):
    pass


ACCEPTED = [  # (attribute, value or DELETE, what reading gives afterwards)
    ("__name__", Text("renamed"), "renamed"),
    ("__qualname__", "Other.place", "Other.place"),
    ("__module__", 42, 42),
    ("__module__", DELETE, None),
    ("__doc__", "Documented.", "Documented."),
    ("func_doc", DELETE, None),
    ("__dict__", {"tag": 1}, {"tag": 1}),
    ("__annotations__", {"return": int}, {"return": int}),
    ("__annotations__", None, {}),
    ("__annotations__", DELETE, {}),
]


@funcs
@pytest.mark.parametrize("attr, value, expected", ACCEPTED)
def test_accepted_assignment(func, attr, value, expected):
    value = dict(value) if isinstance(value, dict) else value  # one dict per function
    assign(func, attr, value)
    assert getattr(func, attr) == expected
    if attr == "__dict__":
        assert func.__dict__ is value and func.tag == 1
        func.other = 2
        assert value["other"] == 2


@funcs
@pytest.mark.parametrize("attr, value", [
    ("__defaults__", (1, 2, 3, 4)), ("__defaults__", None), ("func_defaults", DELETE),
    ("__kwdefaults__", {"verbose": False}), ("__kwdefaults__", DELETE),
])
def test_defaults_assignment_warns_and_reports(func, attr, value):
    with pytest.warns(RuntimeWarning, match="does not affect the values used in function calls"):
        assign(func, attr, value)
    assert getattr(func, attr) == (None if value is DELETE else value)
    before = getattr(func, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            setattr(func, attr, None)
    assert getattr(func, attr) is before


def test_calls_keep_their_defaults_after_assignment(monkeypatch):
    monkeypatch.setattr(quorvane, "create_sql_agent", create := mock.Mock())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        DatabaseConnector.__init__.__defaults__ = ("u", "p", "h", "n")
        AgentRunner.__init__.__defaults__ = (False, "other")
        AgentRunner.__init__.__kwdefaults__ = {"verbose": False}
    assert inspect.signature(DatabaseConnector).parameters["db_user"].default == "u"
    c = DatabaseConnector()
    assert (c.db_user, c.db_password, c.db_host, c.db_name) == (None, None, None, None)
    AgentRunner("llm", "toolkit")
    assert create.call_args.kwargs == dict(llm="llm", toolkit="toolkit", verbose=True, agent_type=ZERO_SHOT)
    assert create.call_args.kwargs["agent_type"] is ZERO_SHOT


@pytest.mark.parametrize("func, call, message", [
    (ALL[0], lambda: DatabaseConnector(1, 2, 3, 4, 5), "__init__() takes at most 5 positional arguments (6 given)"),
    (ALL[1], lambda: DatabaseConnector().connect(1), "connect() takes exactly 1 positional argument (2 given)"),
    (ALL[2], lambda: DatabaseConnector.getdbinstance(), "getdbinstance() takes exactly 1 positional argument (0 given)"),
    (ALL[3], lambda: AgentRunner(1), "__init__() takes at least 3 positional arguments (2 given)"),
    (ALL[4], lambda: blank(AgentRunner).run(), "run() takes exactly 2 positional arguments (1 given)"),
], ids=FUNC_IDS)
def test_binding_messages_keep_the_bare_name(func, call, message):
    func.__name__ = "renamed"
    func.__qualname__ = "Renamed.renamed"
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("cls, name, sig", [f[:3] for f in FUNCS], ids=FUNC_IDS)
def test_signatures(cls, name, sig):
    f = getattr(cls, name)
    assert str(inspect.signature(f)) == sig
    bound = inspect.signature(getattr(blank(cls), name))
    assert str(bound) == sig.replace("self, ", "").replace("self", "")
    if name == "__init__":
        assert inspect.signature(cls) == bound
    assert {p.kind for p in inspect.signature(f).parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD}


@funcs
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_and_copy_by_reference(func, protocol):
    assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func and copy.deepcopy(func) is func


@pytest.mark.parametrize("cls, name", [f[:2] for f in FUNCS], ids=FUNC_IDS)
def test_bound_methods_pickle_and_weakly_referenced(cls, name):
    func = getattr(cls, name)
    assert weakref.ref(func)() is func
    obj = blank(cls)
    if cls is DatabaseConnector:
        restored = pickle.loads(pickle.dumps(getattr(obj, name)))
        assert restored.__func__ is func and type(restored.__self__) is cls
    died = []
    wm = weakref.WeakMethod(getattr(obj, name), died.append)
    assert wm() == getattr(obj, name) and wm().__func__ is func
    del obj
    gc.collect()
    assert wm() is None and died == [wm]


@pytest.mark.parametrize("cls, name", [f[:2] for f in FUNCS], ids=FUNC_IDS)
def test_functools_wraps(cls, name):
    func = getattr(cls, name)
    func.marker = "kept"

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        return func(*args, **kwargs)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
        name, func.__qualname__, "quorvane", None)
    assert wrapper.__wrapped__ is func and wrapper.marker == "kept"
    assert inspect.signature(wrapper) == inspect.signature(func)


@funcs
def test_type_hints(func):
    assert typing.get_type_hints(func) == {}
    func.__annotations__ = {"return": "SQLDatabase"}
    assert typing.get_type_hints(func) == {"return": quorvane.SQLDatabase}


class TwinConnector:
    def __init__(self, db_user=None, db_password=None, db_host=None, db_name=None): pass
    def connect(self): pass
    def getdbinstance(self): pass


class TwinRunner:
    def __init__(self, llm, toolkit, verbose=True, agent_type=None): pass
    def run(self, query): pass


def outcome(call, args, kwargs):
    try:
        call(*args, **kwargs)
    except TypeError as e:
        return f"TypeError: {e}"
    return "ok"


TWINS = {DatabaseConnector: TwinConnector, AgentRunner: TwinRunner}
D, A = DatabaseConnector, AgentRunner
# (class, method or None for construction, args, kwargs); the oracle is the
# plain Python twin of the same shape.
SHAPES = [(D, None, (), {}), (D, None, (1, 2, 3, 4), {}), (D, None, (1, 2, 3, 4, 5), {}),
          (D, None, (), {"db_name": 1}), (D, None, (), {"user": 1}), (D, None, (1,), {"db_user": 1}),
          (D, "connect", (), {}), (D, "connect", (1,), {}), (D, "getdbinstance", (), {"x": 1}),
          (A, None, (1,), {}), (A, None, (1, 2), {}), (A, None, (1, 2, 3, 4, 5), {}),
          (A, None, (), {"llm": 1, "toolkit": 2}), (A, None, (1, 2), {"verbos": 1}),
          (A, "run", (), {}), (A, "run", ("q",), {}), (A, "run", (), {"query": "q"}),
          (A, "run", ("q", 2), {}), (A, "run", (), {"question": "q"})]
shapes = pytest.mark.parametrize("cls, method, args, kwargs", SHAPES,
                                 ids=[f"{c.__name__}.{m or '()'}{a}{k}" for c, m, a, k in SHAPES])


@shapes
def test_create_autospec_enforces_constructor_signatures(cls, method, args, kwargs):
    # Constructors as the plain Python twin; methods, like any extension
    # function's, are not checked.
    results = []
    for spec in (mock.create_autospec(cls), mock.create_autospec(TWINS[cls])):
        target = spec if method is None else getattr(spec.return_value, method)
        results.append(outcome(target, args, kwargs))
    assert results[0] == (results[1] if method is None else "ok")


@pytest.mark.parametrize("cls, method, args, kwargs", [s for s in SHAPES if s[1]])
def test_patch_object_autospec_leaves_method_signatures_unchecked(cls, method, args, kwargs):
    with mock.patch.object(cls, method, autospec=True):
        assert outcome(getattr(blank(cls), method), args, kwargs) == "ok"


def test_patch_object_on_method_and_globals(capsys):
    original = DatabaseConnector.connect
    with mock.patch.object(DatabaseConnector, "connect", return_value="patched") as m:
        assert DatabaseConnector().connect() == "patched" and m.call_count == 1
    assert DatabaseConnector.connect is original
    with mock.patch.object(quorvane, "SQLDatabase") as db:
        assert DatabaseConnector("u", "p", "h", "n").getdbinstance() is db.from_uri.return_value
        db.from_uri.assert_called_once_with("mysql+pymysql://u:p@h/n")
    with mock.patch.object(quorvane, "create_sql_agent", return_value="agent") as create:
        assert AgentRunner("llm", "toolkit").agent_runner == "agent"
        create.assert_called_once_with(llm="llm", toolkit="toolkit", verbose=True, agent_type=ZERO_SHOT)
    assert capsys.readouterr().out == "Agent runner instance: agent\n"


def test_doctest_finds_the_empty_test_table():
    assert quorvane.__test__ == {}
    assert doctest.DocTestFinder().find(quorvane) == []
    found = {t.name for t in doctest.DocTestFinder(exclude_empty=False).find(quorvane)}
    assert {f"quorvane.{f.__qualname__}" for f in ALL} | {"quorvane.DatabaseConnector"} <= found
    assert tuple(doctest.testmod(quorvane)) == (0, 0)


def doc_lines(text):
    return {line.strip(" |") for line in text.splitlines()}


@pytest.mark.parametrize("cls", [DatabaseConnector, AgentRunner])
def test_pydoc_and_help(cls):
    # The class line, the constructor's signature and one line per method.
    expected = {f"class {cls.__name__}(builtins.object)"}
    for c, name, sig, *_ in FUNCS:
        if c is cls:
            expected.add(name + sig)
            if name == "__init__":
                expected.add(cls.__name__ + sig.replace("self, ", ""))
    module_doc = doc_lines(pydoc.render_doc(quorvane, renderer=pydoc.plaintext))
    out = io.StringIO()
    pydoc.Helper(output=out).help(cls)
    assert expected <= module_doc and expected <= doc_lines(out.getvalue())
    assert f"Help on class {cls.__name__} in module quorvane:" in out.getvalue()


class FailingAgent:
    def run(self, query):
        raise LookupError(query)


@pytest.mark.parametrize("call, entry", [
    (lambda: DatabaseConnector.connect(), ("quorvane.DatabaseConnector.connect", 25)),
    (lambda: AgentRunner.run(blank(AgentRunner), 1), ("quorvane.AgentRunner.run", 84)),
    (lambda: AgentRunner.run(type("R", (), {"agent_runner": FailingAgent()})(), "q"),
     ("quorvane.AgentRunner.run", 85)),
])
def test_traceback_shows_the_entry(call, entry):
    with pytest.raises(Exception) as info:
        call()
    text = "".join(traceback.format_exception(info.value))
    assert f'File "quorvane/base.py", line {entry[1]}, in {entry[0]}\n' in text
    rich = traceback.TracebackException.from_exception(info.value, capture_locals=True)
    assert ("quorvane/base.py", *entry) in [(s.filename, s.name, s.lineno) for s in rich.stack]


@funcs
@pytest.mark.parametrize("attr, make", [
    ("__dict__", dict), ("__annotations__", dict), ("__defaults__", lambda: (object(),)),
    ("__kwdefaults__", dict), ("__doc__", object), ("__module__", object),
    ("__name__", lambda: "".join(["fresh", "name"])), ("__qualname__", lambda: "".join(["Q", ".q"])),
])
def test_gc_sees_every_attribute(func, attr, make):
    value = make()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        setattr(func, attr, value)
    assert gc.is_tracked(func)
    assert any(r is value for r in gc.get_referents(func))


GC_SCRIPT = """
import gc, json, warnings, weakref
import quorvane
alive = {}
warnings.simplefilter("ignore")
for cls, name in [(c, n) for c in (quorvane.DatabaseConnector, quorvane.AgentRunner)
                  for n, v in list(vars(c).items()) if callable(v)]:
    f = getattr(cls, name)
    f.__dict__["me"] = f
    f.__annotations__ = {"return": f}
    f.__defaults__, f.__kwdefaults__, f.__doc__, f.__module__ = (f,), {"k": f}, f, f
    ref = weakref.ref(f)
    delattr(cls, name)
    del f
    before = ref() is not None
    gc.collect()
    alive[cls.__name__ + "." + name] = [before, ref() is not None]
print(json.dumps(alive))
"""


def test_self_referencing_functions_are_collected():
    out = subprocess.run([sys.executable, "-c", GC_SCRIPT], capture_output=True, text=True, check=True)
    alive = json.loads(out.stdout.strip().splitlines()[-1])
    assert alive == {f"{c.__name__}.{n}": [True, False] for c, n, *_ in FUNCS}


CLEAR_SCRIPT = """
import ctypes, pickle, warnings
warnings.simplefilter("ignore")
import quorvane

def tp_clear(obj):
    # tp_clear is the 25th word of a type object on every Linux ABI.
    slot = ctypes.c_void_p.from_address(id(type(obj)) + 24 * ctypes.sizeof(ctypes.c_void_p))
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slot.value)(obj)

def seen(f):
    code = f.__code__
    f.__doc__, f.__annotations__, f.__dict__["x"] = "doc", {"a": 1}, 1
    tp_clear(f)
    out = {a: repr(getattr(f, a)) for a in (
        "__name__", "__qualname__", "__module__", "__doc__", "__globals__", "__closure__",
        "__defaults__", "__kwdefaults__", "__dict__", "__annotations__")}
    out["repr"] = repr(f).split(" at ")[0]
    out["code kept"] = f.__code__ is code
    f.__name__ = "renamed"
    out["renamed"] = f.__name__
    return out

def twin(self, a=1): pass
found = {"twin": seen(twin)}
for cls in (quorvane.DatabaseConnector, quorvane.AgentRunner):
    for name, f in list(vars(cls).items()):
        if callable(f):
            found[cls.__name__ + "." + name] = seen(f)
            reduced = f.__reduce__()
            try:
                pickle.dumps(f)
            except pickle.PicklingError:
                pass
c = quorvane.DatabaseConnector()
quorvane.AgentRunner.__init__(quorvane.AgentRunner.__new__(quorvane.AgentRunner), None, None)
emit(found=found, reduced=reduced, status=c.connect())
"""


def test_cleared_functions_read_like_cleared_python_functions():
    # What the collector's tp_clear leaves: compared with a plain function's.
    out = run_child(CLEAR_SCRIPT)
    twin = out["found"].pop("twin")
    assert twin["__name__"] == "''" and twin["code kept"]
    assert out["found"] == {f.__qualname__: twin for f in ALL}
    assert out["reduced"] == "" and out["status"] == {
        "connected": False, "message": "All database credentials must be provided"}


# ---------------------------------------------------------------------
# Type stubs

STUB = Path(quorvane.__file__).with_name("quorvane.pyi")


def test_stub_matches_the_module():
    tree = ast.parse(STUB.read_text())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")}
    assert set(classes) == {"DatabaseConnector", "AgentRunner"}
    for name, node in classes.items():
        cls = getattr(quorvane, name)
        defs = {d.name: d for d in node.body if isinstance(d, ast.FunctionDef)}
        assert set(defs) == {k for k, v in vars(cls).items() if type(v) is type(cls.__init__)}
        for meth, d in defs.items():
            params = inspect.signature(getattr(cls, meth)).parameters.values()
            assert [a.arg for a in d.args.args] == [p.name for p in params]
            stub_defaults = [ast.literal_eval(v) for v in d.args.defaults]
            real_defaults = [p.default for p in params if p.default is not p.empty]
            assert len(stub_defaults) == len(real_defaults)
            assert all(s is Ellipsis or s == r for s, r in zip(stub_defaults, real_defaults)), meth
    for node in tree.body:  # every declared global is the module's own object
        if isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname:
                    assert getattr(importlib.import_module(node.module), alias.name) is getattr(quorvane, alias.asname)
        elif isinstance(node, ast.Import):
            assert all(sys.modules[a.name] is getattr(quorvane, a.asname) for a in node.names)


# Third-party packages are not analysed: that would cost half a minute per
# run, and the test above shows the stub's imports are the module's globals.
MYPY_INI = """[mypy]
strict = True
{path}
[mypy-langchain.*,langchain_community.*,langchain_core.*,sqlalchemy.*]
follow_imports = skip
"""
GOOD = """
from typing import Any
import quorvane
from quorvane import AgentRunner, DatabaseConnector, SQLDatabase

def use(llm: Any, toolkit: Any) -> Any:
    c = DatabaseConnector("u", "p", db_host="127.0.0.1:3306", db_name=None)
    status = c.connect()
    connected: bool = status["connected"]
    message: str | None = c.connection_status["message"]
    found = c.getdbinstance()
    db: SQLDatabase | None = None if isinstance(found, dict) else found
    runner = AgentRunner(llm, toolkit, verbose=False, agent_type=quorvane.AgentType.ZERO_SHOT_REACT_DESCRIPTION)
    error: Exception | None = AgentRunner(llm=llm, toolkit=toolkit).error
    return runner.run(query="How many customers?")
"""
BAD = [  # (statement, a fragment of the error mypy reports on its line)
    ("c.connect(1)", 'Too many arguments for "connect" of "DatabaseConnector"'),
    ("DatabaseConnector(user='u')", 'Unexpected keyword argument "user" for "DatabaseConnector"'),
    ("DatabaseConnector('u', 'p', 'h', 'n', 'x')", 'Too many arguments for "DatabaseConnector"'),
    ("AgentRunner(1)", 'Missing positional argument "toolkit" in call to "AgentRunner"'),
    ("r.run()", 'Missing positional argument "query" in call to "run" of "AgentRunner"'),
    ("r.run('q', question='q')", 'Unexpected keyword argument "question" for "run" of "AgentRunner"'),
    ("AgentRunner(1, 2, verbose='yes')", 'Argument "verbose" to "AgentRunner" has incompatible type "str"'),
    ("c.getdbinstance().run('SELECT 1')", 'has no attribute "run"'),
    ("c.connect()['conected']", 'has no key "conected"'),
    ("r.error.args", 'Item "None" of "Exception | None" has no attribute "args"'),
    ("quorvane.create_sql_agnet", 'Module has no attribute "create_sql_agnet"'),
]


def run_mypy(tmp_path, files, stubs=True):
    api = pytest.importorskip("mypy.api")
    path = ""
    if stubs:  # a copy of the installed stub, found through mypy_path
        (tmp_path / "stubs").mkdir()
        (tmp_path / "stubs" / "quorvane.pyi").write_text(STUB.read_text())
        path = f"mypy_path = {tmp_path / 'stubs'}"
    (tmp_path / "mypy.ini").write_text(MYPY_INI.format(path=path))
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    out, err, _ = api.run(["--config-file", str(tmp_path / "mypy.ini"), "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), *files])
    return out + err


def test_mypy_accepts_correct_use_and_reports_mistakes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # mypy also searches the working directory: the source tree has quorvane/
    bad = "import quorvane\nfrom quorvane import AgentRunner, DatabaseConnector\n"
    bad += "def use(c: DatabaseConnector, r: AgentRunner) -> None:\n"
    bad += "".join(f"    {stmt}\n" for stmt, _ in BAD)
    report = run_mypy(tmp_path, {"good.py": GOOD, "bad.py": bad})
    assert "good.py" not in report, report
    for line, (stmt, fragment) in enumerate(BAD, start=4):
        assert any(l.startswith(f"bad.py:{line}: error:") and fragment in l
                   for l in report.splitlines()), (stmt, report)
    # Errors on those lines only (one line may give several: the result of
    # getdbinstance() has no run() as a dict nor as None).
    lines = {l.split(":")[1] for l in report.splitlines() if l.startswith("bad.py:") and ": error:" in l}
    assert lines == {str(n) for n in range(4, 4 + len(BAD))}, report


def test_mypy_finds_the_installed_stub(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    report = run_mypy(tmp_path, {"client.py": "import quorvane\nquorvane.DatabaseConnector().connect(1)\n"},
                      stubs=False)
    assert report.count(": error:") == 1, report
    assert 'client.py:2: error: Too many arguments for "connect" of "DatabaseConnector"' in report
