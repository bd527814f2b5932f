"""The method boundary: argument binding, traceback entries, global lookup,
exception capture and calls into Python objects."""

import asyncio
import builtins
import contextlib
import functools
import gc
import sys
import traceback
import types
from typing import NamedTuple

import pytest

import quorvane
from quorvane import AgentRunner, DatabaseConnector
from _helpers import FILE, module_entries, module_tracebacks, run_child, write_standins

try:
    import _testcapi
except ImportError:
    _testcapi = None

ZERO_SHOT = quorvane.AgentType.ZERO_SHOT_REACT_DESCRIPTION
URI = "mysql+pymysql://u:p@h/n"


class Method(NamedTuple):
    cls: type
    name: str
    params: tuple
    required: int
    head: int
    defaults: dict

    @property
    def func(self):
        return vars(self.cls)[self.name]

    @property
    def tbname(self):
        return f"quorvane.{self.cls.__name__}.{self.name}"


CREDENTIALS = ("db_user", "db_password", "db_host", "db_name")
METHODS = {
    "DatabaseConnector.__init__": Method(DatabaseConnector, "__init__", ("self", *CREDENTIALS),
                                         1, 17, dict.fromkeys(CREDENTIALS)),
    "DatabaseConnector.connect": Method(DatabaseConnector, "connect", ("self",), 1, 25, {}),
    "DatabaseConnector.getdbinstance": Method(DatabaseConnector, "getdbinstance", ("self",),
                                              1, 42, {}),
    "AgentRunner.__init__": Method(AgentRunner, "__init__",
                                   ("self", "llm", "toolkit", "verbose", "agent_type"), 3, 56,
                                   {"verbose": True, "agent_type": ZERO_SHOT}),
    "AgentRunner.run": Method(AgentRunner, "run", ("self", "query"), 2, 83, {}),
}

DEFAULT = object()


def expected_binding(m, nargs, kwnames):
    """The binding rules as a model: ("ok", {param: position, ("kw", index) or
    DEFAULT}) or ("error", message)."""
    params, least, most = m.params, m.required, len(m.params)
    # Names compare and show by their text alone, never by a subclass's methods.
    texts = [str.__str__(k) if isinstance(k, str) else None for k in kwnames]

    def count(word, expected, given):
        plural = "" if expected == 1 else "s"
        return "error", (f"{m.name}() takes {word} {expected} positional argument{plural} "
                         f"({given} given)")

    if nargs > most:
        return count("exactly" if least == most else "at most", most, nargs)
    bound, used = {p: i for i, p in enumerate(params[:nargs])}, 0
    for i in range(nargs, most):
        found = None
        if used < len(kwnames):
            found = next((j for j, t in enumerate(texts) if t == params[i]), None)
        if found is not None:
            bound[params[i]], used = ("kw", found), used + 1
        elif i < least:
            return count("exactly" if least == most else "at least", least, i)
        else:
            bound[params[i]] = DEFAULT
    if used < len(kwnames):
        for t in texts:
            if t in params[nargs:]:
                continue
            if t is None:
                return "error", f"{m.name}() keywords must be strings"
            if t in params[:nargs]:
                return "error", f"{m.name}() got multiple values for keyword argument '{t}'"
            return "error", f"{m.name}() got an unexpected keyword argument '{t}'"
    return "ok", bound


class Token:
    def __init__(self, label="token"):
        self.label = label

    def __repr__(self):
        return f"<{self.label}>"


class FakeDatabase:
    """Stands in for SQLDatabase: from_uri records the URI and returns a new token."""

    def __init__(self):
        self.uris = []

    def from_uri(self, uri):
        self.uris.append(uri)
        return Token("db")


class FakeFactory:
    """Stands in for create_sql_agent: records its keywords."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return Token("agent")


class FakeAgent:
    def __init__(self):
        self.queries, self.answer = [], Token("answer")

    def run(self, query):
        self.queries.append(query)
        return self.answer


@pytest.fixture
def fakes(monkeypatch):
    db, factory = FakeDatabase(), FakeFactory()
    monkeypatch.setattr(quorvane, "SQLDatabase", db)
    monkeypatch.setattr(quorvane, "create_sql_agent", factory)
    return types.SimpleNamespace(db=db, factory=factory)


def prepare(m):
    if m.cls is DatabaseConnector and m.name != "__init__":
        return DatabaseConnector("u", "p", "h", "n")
    obj = object.__new__(m.cls)
    if m.name == "run":
        obj.agent_runner = FakeAgent()
    return obj


def observe(m, obj, result, fakes):
    """What the body ran on, as {parameter: value}; self is None when it never ran."""
    if m.name == "__init__":
        seen = {p: vars(obj).get(p) for p in m.params[1:]}
        ran = m.params[1] in vars(obj)
        assert result is None
        if ran and m.cls is AgentRunner:
            assert fakes.factory.calls[-1] == ((), seen)
    elif m.name == "run":
        queries = obj.agent_runner.queries
        ran, seen = len(queries) == 1, {"query": queries[-1] if queries else None}
        assert result is (obj.agent_runner.answer if ran else None)
    else:
        ran, seen = fakes.db.uris == [URI], {}
        assert result is (obj.connection_status if m.name == "connect" else obj.db)
    return {"self": obj if ran else None, **seen}


def untouched(m, obj, fakes):
    if m.name == "__init__":
        return vars(obj) == {} and fakes.factory.calls == []
    if m.name == "run":
        return obj.agent_runner.queries == []
    return fakes.db.uris == [] and obj.db is None


def parse(shape):
    """"S+2|a,b": self and two more by position, keywords a and b; "-": nothing."""
    head, _, kw = shape.partition("|")
    names = tuple(int(k) if k.isdigit() else k for k in kw.split(",")) if kw else ()
    return head.startswith("S"), int(head.partition("+")[2] or 0), names


SHAPES = [
    "S", "-", "S+1", "S+2", "S+3", "S+4", "S+5",
    "S|db_user", "S+1|db_user", "S+1|db_password,db_user", "S|db_name,db_user,db_host,db_password",
    "S|port", "S+4|port", "S+5|port",
    "S|llm", "S|toolkit", "S|toolkit,llm", "S+2|agent_type", "S+2|agent_type,verbose",
    "S+3|verbose", "S|query", "S|port,query", "S|query,port", "S+1|query",
    "-|self", "-|self,query", "-|query,self", "-|query", "S|self",
    "S|1", "S|query,1", "S|port,1", "S|1,port", "S+5|1",
]
SOURCE_FORMS = {"method": "obj.{m}({rest})", "bound": "f({rest})", "class": "C.{m}({all})",
                "construct": "C({rest})"}
DICT_FORMS = ("partial", "generic")
FORMS = (*SOURCE_FORMS, *DICT_FORMS, "fastcall")


def invoke(form, m, obj, pos, kwitems):
    kwargs = dict(kwitems)
    if form == "generic":
        return m.func(*pos, **kwargs)
    if form == "partial":
        return functools.partial(m.func, pos[0])(*pos[1:], **kwargs)
    if form == "fastcall":
        return _testcapi.pyobject_vectorcall(m.func, (*pos, *kwargs.values()), tuple(kwargs))
    ns = {"obj": obj, "C": m.cls, "f": getattr(obj, m.name)}
    ns.update({f"p{i}": v for i, v in enumerate(pos)})
    ns.update({f"k_{k}": v for k, v in kwitems})
    kw = [f"{k}=k_{k}" for k, _ in kwitems]
    src = SOURCE_FORMS[form].format(
        m=m.name, rest=", ".join([f"p{i}" for i in range(1, len(pos))] + kw),
        all=", ".join([f"p{i}" for i in range(len(pos))] + kw))
    return eval(src, ns)


def binding_cases():
    for mid, m in METHODS.items():
        for shape in SHAPES:
            self_pos, _, kwnames = parse(shape)
            for form in FORMS:
                if form in ("method", "bound", "partial", "construct") and not self_pos:
                    continue
                if form == "construct" and m.name != "__init__":
                    continue
                if form in SOURCE_FORMS and not all(isinstance(k, str) for k in kwnames):
                    continue
                marks = [pytest.mark.skipif(form == "fastcall" and _testcapi is None,
                                            reason="needs _testcapi")]
                yield pytest.param(mid, shape, form, id=f"{mid}-{shape}-{form}", marks=marks)


@pytest.mark.parametrize("mid, shape, form", list(binding_cases()))
def test_binding(fakes, capsys, mid, shape, form):
    m = METHODS[mid]
    self_pos, extra, kwnames = parse(shape)
    obj = prepare(m)
    pos = ([obj] if self_pos else []) + [Token(f"pos{i}") for i in range(1, extra + 1)]
    kwitems = [(k, obj if k == "self" else Token(f"kw:{k}")) for k in kwnames]
    outcome, detail = expected_binding(m, len(pos), kwnames)
    if form in DICT_FORMS and not all(isinstance(k, str) for k in kwnames):
        # The generic protocol refuses such a dict before the method is entered.
        outcome, detail = "refused", "keywords must be strings"

    if outcome == "ok":
        expected = {p: pos[s] if isinstance(s, int) else kwitems[s[1]][1]
                    if isinstance(s, tuple) else m.defaults[p] for p, s in detail.items()}
        result = invoke(form, m, obj, pos, kwitems)
        if form == "construct":
            # The class makes the instance that binds to self.
            expected["self"] = obj = result
            result = None
        assert observe(m, obj, result, fakes) == expected
        return
    with pytest.raises(TypeError) as info:
        invoke(form, m, obj, pos, kwitems)
    assert str(info.value) == detail
    if outcome == "refused":
        assert module_entries(info.value) == []
    else:
        assert module_entries(info.value) == [(FILE, m.tbname, m.head)]
        assert module_tracebacks(info.value)[0].tb_frame.f_globals is vars(quorvane)
    assert untouched(m, obj, fakes)


class Named(str):
    pass


@pytest.mark.parametrize("make_name", [lambda: "query", lambda: "".join(["qu", "ery"]),
                                       lambda: Named("query")], ids=["interned", "built", "subclass"])
@pytest.mark.parametrize("form", ["generic", "fastcall"])
def test_keyword_names_match_by_text(make_name, form):
    if form == "fastcall" and _testcapi is None:
        pytest.skip("needs _testcapi")
    m, runner, query = METHODS["AgentRunner.run"], prepare(METHODS["AgentRunner.run"]), Token()
    assert invoke(form, m, runner, [runner], [(make_name(), query)]) is runner.agent_runner.answer
    assert runner.agent_runner.queries == [query]


@pytest.mark.parametrize("mid", METHODS)
def test_method_descriptor(mid):
    m = METHODS[mid]
    obj = object.__new__(m.cls)
    bound = getattr(obj, m.name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is obj and bound.__func__ is m.func
    assert getattr(m.cls, m.name) is m.func and m.func.__get__(None, m.cls) is m.func


def test_printed_traceback_names_file_line_and_method():
    with pytest.raises(TypeError) as info:
        DatabaseConnector.connect()
    text = "".join(traceback.format_exception(info.value))
    assert '  File "quorvane/base.py", line 25, in quorvane.DatabaseConnector.connect\n' in text


# --- module-global lookup -----------------------------------------------------

class Colliding(str):
    """A key equal in hash to a global's name whose comparison fails."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("comparison failed")


@pytest.mark.parametrize("case, kind, text", [
    ("builtins", None, None),
    ("missing", "NameError", "name '{}' is not defined"),
    ("builtins-getattr-raises", "LookupError", "builtins refused"),
    ("key-comparison-raises", "LookupError", "comparison failed"),
])
@pytest.mark.parametrize("target", ["connect", "AgentRunner"])
def test_global_lookup(monkeypatch, capsys, target, case, kind, text):
    name = "SQLDatabase" if target == "connect" else "create_sql_agent"
    fake = FakeDatabase() if target == "connect" else FakeFactory()
    # Both through the dict: undone in reverse, the colliding key goes first.
    monkeypatch.delitem(vars(quorvane), name)
    if case == "builtins":
        monkeypatch.setattr(builtins, name, fake, raising=False)
    elif case == "builtins-getattr-raises":
        def refuse(attr):
            if attr == name:
                raise LookupError("builtins refused")
            raise AttributeError(attr)
        monkeypatch.setattr(builtins, "__getattr__", refuse, raising=False)
    elif case == "key-comparison-raises":
        monkeypatch.setitem(vars(quorvane), Colliding(name), fake)
    if target == "connect":
        status = DatabaseConnector("u", "p", "h", "n").connect()
        reported = status["message"]
        used = fake.uris == [URI]
    else:
        runner = AgentRunner("llm", "toolkit")
        reported = runner.error and (type(runner.error).__name__, str(runner.error))
        used = len(fake.calls) == 1
        if kind:
            assert capsys.readouterr().out == f"Error occurred: {text.format(name)}\n"
    if case == "builtins":
        assert used
    else:
        assert not used
        assert reported == (text.format(name) if target == "connect" else
                            (kind, text.format(name)))


# --- exception capture ---------------------------------------------------------

def install_raiser(monkeypatch, target, exc):
    """Makes the protected call of `target` raise exc; returns (call, line)."""
    def raiser(*args, **kwargs):
        raise exc
    if target == "AgentRunner":
        monkeypatch.setattr(quorvane, "create_sql_agent", raiser)
        return 67
    monkeypatch.setattr(quorvane, "SQLDatabase", types.SimpleNamespace(from_uri=raiser))
    return {"connect": 31, "getdbinstance": 48}[target]


def make_target(target, cls=None):
    if target == "AgentRunner":
        obj = object.__new__(cls or AgentRunner)
        return obj, lambda: AgentRunner.__init__(obj, "llm", "toolkit")
    obj = DatabaseConnector("u", "p", "h", "n")
    return obj, getattr(obj, target)


def tbname(target):
    return ("quorvane.AgentRunner.__init__" if target == "AgentRunner"
            else f"quorvane.DatabaseConnector.{target}")


def while_handling(outer, action):
    """Runs action with outer being handled (None: nothing handled)."""
    if outer is None:
        result = action()
        return result, sys.exception()
    try:
        raise outer
    except type(outer):
        result = action()
        return result, sys.exception()


class Probe(Exception):
    """Records what is being handled whenever its text is taken."""

    def __init__(self):
        super().__init__()
        self.handled = []

    def __str__(self):
        self.handled.append(sys.exception())
        return "probe"


@pytest.mark.parametrize("outer", [None, LookupError("caller's own")], ids=["idle", "handling"])
@pytest.mark.parametrize("target", ["connect", "getdbinstance", "AgentRunner"])
def test_caught_exception_is_handled_only_inside(monkeypatch, capsys, target, outer):
    probe = Probe()
    line = install_raiser(monkeypatch, target, probe)
    obj, call = make_target(target)
    _, after = while_handling(outer, call)
    assert after is outer
    assert probe.handled and all(h is probe for h in probe.handled)
    assert module_entries(probe) == [(FILE, tbname(target), line)]
    if target == "AgentRunner":
        assert obj.error is probe and capsys.readouterr().out == "Error occurred: probe\n"
    else:
        assert obj.connection_status["message"] == "probe"


class RejectingStatus(dict):
    def __setitem__(self, key, value):
        raise RuntimeError("status rejected")


class RejectingError(AgentRunner):
    def __setattr__(self, name, value):
        if name == "error" and value is not None:
            raise RuntimeError("error rejected")
        super().__setattr__(name, value)


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("cannot print")


@pytest.mark.parametrize("target, caught, line, message", [
    ("connect", ValueError("refused"), 38, "status rejected"),
    ("getdbinstance", ValueError("refused"), 51, "status rejected"),
    ("AgentRunner", ValueError("refused"), 80, "error rejected"),
    ("AgentRunner", Unprintable(), 81, "cannot print"),
])
def test_failing_handler_propagates_with_context(monkeypatch, capsys, target, caught, line,
                                                 message):
    first_line = install_raiser(monkeypatch, target, caught)
    obj, call = make_target(target, RejectingError if message == "error rejected" else None)
    if target != "AgentRunner":
        obj.connection_status = RejectingStatus()
    outer = LookupError("caller's own")

    def attempt():
        with pytest.raises(RuntimeError) as info:
            call()
        return info.value

    raised, after = while_handling(outer, attempt)
    assert after is outer
    assert str(raised) == message and raised.__context__ is caught
    assert module_entries(raised) == [(FILE, tbname(target), line)]
    assert module_entries(caught) == [(FILE, tbname(target), first_line)]
    if line == 81:
        assert obj.error is caught


class CaughtInterrupt(KeyboardInterrupt, Exception):
    pass


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, CaughtInterrupt])
@pytest.mark.parametrize("target", ["connect", "getdbinstance", "AgentRunner"])
def test_only_exception_subclasses_are_caught(monkeypatch, capsys, target, exc_type):
    exc = exc_type("stop")
    line = install_raiser(monkeypatch, target, exc)
    obj, call = make_target(target)
    outer = LookupError("caller's own")
    if exc_type is CaughtInterrupt:
        while_handling(outer, call)
        reported = obj.error if target == "AgentRunner" else obj.connection_status["message"]
        assert reported == (exc if target == "AgentRunner" else "stop")
        return

    def attempt():
        with pytest.raises(exc_type) as info:
            call()
        return info.value

    raised, after = while_handling(outer, attempt)
    assert raised is exc and after is outer
    frames = [(f.filename, f.name) for f in traceback.extract_tb(exc.__traceback__)]
    assert module_entries(exc) == [(FILE, tbname(target), line)]
    # The entry sits right before the callee's own frame.
    assert frames[frames.index((FILE, tbname(target))) + 1] == (__file__, "raiser")
    if target == "AgentRunner":
        assert (obj.agent_runner, obj.error, capsys.readouterr().out) == (None, None, "")
    else:
        assert obj.db is None and obj.connection_status == {"connected": False, "message": None}


def handled_state():
    """What is being handled here, and the context a new error gets."""
    seen = sys.exception()
    try:
        raise RuntimeError("later")
    except RuntimeError as later:
        return seen, later.__context__


def gen(call):
    call()
    yield
    yield handled_state()


def gen_handling_own(call):
    try:
        raise KeyError("generator's own")
    except KeyError:
        call()
        yield
        yield handled_state()


async def agen(call):
    call()
    yield
    yield handled_state()


def run_generator(body, call, outer):
    g = body(call)
    while_handling(outer, lambda: next(g))
    return next(g)


def run_async_generator(body, call, outer):
    def step():
        try:
            g.__anext__().send(None)
        except StopIteration as stop:
            return stop.value
    g = body(call)
    while_handling(outer, step)
    return step()


def run_eager_task(_, call, outer):
    async def main():
        loop = asyncio.get_running_loop()
        loop.set_task_factory(asyncio.eager_task_factory)
        resume = loop.create_future()

        async def task():
            call()  # runs at once, inside the caller's handler
            await resume
            return handled_state()
        started, _ = while_handling(outer, lambda: asyncio.create_task(task()))
        resume.set_result(None)
        return await started
    return asyncio.run(main())


def python_catch():
    try:
        raise ValueError("caught in Python")
    except Exception as e:
        str(e)


@pytest.mark.parametrize("driver, body", [(run_generator, gen), (run_generator, gen_handling_own),
                                          (run_async_generator, agen), (run_eager_task, None)],
                         ids=["generator", "generator-handling-own", "async-generator",
                              "eager-task"])
@pytest.mark.parametrize("target", ["connect", "getdbinstance", "AgentRunner"])
def test_capture_in_generator_resumed_outside_the_handler(monkeypatch, capsys, target, driver,
                                                          body):
    # Oracle: the same code with a Python try/except in place of the method.
    install_raiser(monkeypatch, target, ValueError("refused"))
    _, call = make_target(target)
    outer = LookupError("caller's own")

    def names(pair):
        return [type(x).__name__ if x is not None else None for x in pair]
    assert names(driver(body, call, outer)) == names(driver(body, python_catch, outer))


# --- calls into Python objects -------------------------------------------------

@pytest.mark.parametrize("case", ["builtin-one-arg", "bound-builtin", "builtin-raises",
                                  "agent-bound-builtin"])
def test_positional_calls(monkeypatch, case):
    sink = []
    c = DatabaseConnector("u", "p", "h", "n")
    if case == "agent-bound-builtin":
        runner = object.__new__(AgentRunner)
        runner.agent_runner = types.SimpleNamespace(run=sink.append)
        query = Token()
        assert runner.run(query) is None and sink == [query]
        return
    from_uri = {"builtin-one-arg": staticmethod(len), "bound-builtin": sink.append,
                "builtin-raises": staticmethod(ord)}[case]
    monkeypatch.setattr(quorvane, "SQLDatabase", type("Db", (), {"from_uri": from_uri}))
    status = c.connect()
    if case == "builtin-one-arg":
        assert c.db == len(URI) and status["message"] == "Connection successful"
    elif case == "bound-builtin":
        assert sink == [URI] and c.db is None
    else:
        assert status["message"] == f"ord() expected a character, but string of length {len(URI)} found"


@pytest.mark.parametrize("case", ["callable-instance", "builtin-type", "not-callable"])
def test_keyword_calls(monkeypatch, capsys, case):
    factory = FakeFactory()
    callee = {"callable-instance": factory, "builtin-type": dict, "not-callable": 42}[case]
    monkeypatch.setattr(quorvane, "create_sql_agent", callee)
    llm, toolkit = Token("llm"), Token("toolkit")
    runner = AgentRunner(llm, toolkit)
    expected = {"llm": llm, "toolkit": toolkit, "verbose": True, "agent_type": ZERO_SHOT}
    if case == "callable-instance":
        ((args, kwargs),) = factory.calls
        assert args == () and list(kwargs.items()) == list(expected.items())
    elif case == "builtin-type":
        assert list(runner.agent_runner.items()) == list(expected.items())
    else:
        assert type(runner.error) is TypeError
        assert str(runner.error) == "'int' object is not callable"


RECURSION = """
import quorvane
from quorvane import AgentRunner
# Construction calls create_sql_agent through its call slot; making that the
# class itself recurses in C with nothing but the module's guard in the loop.
quorvane.create_sql_agent = AgentRunner
import io
sys.stdout, real = io.StringIO(), sys.stdout
outer = AgentRunner("llm", "toolkit")
sys.stdout = real
chain, runner = [], outer
while isinstance(runner.agent_runner, AgentRunner):
    runner = runner.agent_runner
    chain.append(runner)
root = runner.error
while root is not None and root.__context__ is not None:
    root = root.__context__
emit(depth=len(chain), deepest_agent=repr(runner.agent_runner),
     deepest_error=type(runner.error).__name__, root=repr(root), handled=repr(sys.exception()))
"""


def test_recursion_limit_on_the_call_slot_path(tmp_path):
    out = run_child(RECURSION, path=[write_standins(tmp_path)])
    assert out["depth"] > 50 and out["deepest_agent"] == "None"
    assert out["deepest_error"] == "RecursionError"
    assert out["root"] == (
        "RecursionError('maximum recursion depth exceeded while calling a Python object')")
    assert out["handled"] == "None"


# --- reference balance ---------------------------------------------------------

class Credential(str):
    pass


def refcount_scenario(name, monkeypatch):
    """(objects to watch, one call) for a success or failure path."""
    creds = [Credential(x) for x in "uphn"]
    c = DatabaseConnector(*creds)
    # A fresh exception per call: re-raising one instance would grow its
    # traceback and keep every earlier frame alive. Its argument shows a
    # leaked exception.
    error = Token("in-error")

    def raiser(*args, **kwargs):
        raise ValueError(error)

    if name in ("connect-ok", "getdbinstance-ok", "connect-caught", "getdbinstance-caught"):
        method, outcome = name.split("-")
        db = types.SimpleNamespace(from_uri=(lambda uri: Token()) if outcome == "ok" else raiser)
        monkeypatch.setattr(quorvane, "SQLDatabase", db)
        return (*creds, c, c.connection_status, db, error), getattr(c, method)
    llm, toolkit = Token(), Token()
    if name in ("agent-ok", "agent-caught"):
        monkeypatch.setattr(quorvane, "create_sql_agent",
                            (lambda **kw: Token()) if name == "agent-ok" else raiser)
        return (llm, toolkit, ZERO_SHOT, error), lambda: AgentRunner(llm, toolkit)
    if name in ("run-ok", "run-raises"):
        runner, query, answer = object.__new__(AgentRunner), Credential("q"), Token()
        runner.agent_runner = types.SimpleNamespace(
            run=(lambda q: answer) if name == "run-ok" else raiser)

        def run():
            with contextlib.suppress(ValueError):
                runner.run(query)
        return (runner, query, answer, error), run

    def refused():
        with contextlib.suppress(TypeError):
            DatabaseConnector(*creds, llm, toolkit=toolkit)
        with contextlib.suppress(TypeError):
            c.connect(db_user=llm)
    return (*creds, c, llm, toolkit, DatabaseConnector.connect), refused


@pytest.mark.parametrize("name", ["connect-ok", "connect-caught", "getdbinstance-ok",
                                  "getdbinstance-caught", "agent-ok", "agent-caught",
                                  "run-ok", "run-raises", "binding-refused"])
def test_reference_balance(monkeypatch, capsys, name):
    watched, action = refcount_scenario(name, monkeypatch)
    action()
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(5):
        action()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
