"""Hostile values in credentials, arguments, attributes and the status mapping:
each gives the documented result or an exception at the right line."""

import collections
import types

import pytest

import quorvane
from quorvane import AgentRunner, DatabaseConnector
from _helpers import FILE, module_entries

CREDS = "All database credentials must be provided"
CHECK_LINE = {"connect": 26, "getdbinstance": 43}
CALL_LINE = {"connect": 31, "getdbinstance": 48}


def returns(**dunders):
    """A class whose dunders return (or, given an exception, raise) fixed
    results: returns(eq=[0])() makes an object whose == gives [0]."""
    def method(result):
        def call(self, *args):
            if isinstance(result, BaseException):
                raise type(result)(*result.args)  # fresh: no traceback of earlier runs
            return result
        return call
    namespace = {f"__{k}__": method(v) for k, v in dunders.items()}
    return type("Returns", (), {**namespace, "__hash__": object.__hash__})


Unbool, TwoBool = returns(bool=ZeroDivisionError("no truth")), returns(bool=2)
Text = type("Text", (str,), {})
TextFormat = type("TextFormat", (str,), {"__format__": lambda self, spec: "formatted"})
TextStrRaises = type("TextStrRaises", (str,), {"__str__": returns(str=UnicodeError("no text"))
                                                .__str__})


def recording(monkeypatch):
    uris = []
    monkeypatch.setattr(quorvane, "SQLDatabase", types.SimpleNamespace(
        from_uri=lambda uri: uris.append(uri) or types.SimpleNamespace(uri=uri)))
    return uris


HUGE = "p" * 10_000_000
CREDENTIAL_CASES = {
    # (password value, outcome): ("uri", piece), ("creds",), ("caught", message) or
    # ("raise", type, message) at the check line.
    "eq-raises": (lambda: returns(eq=LookupError("eq"))(), ("raise", LookupError, "eq")),
    "eq-result-bool-raises": (lambda: returns(eq=Unbool())(),
                              ("raise", ZeroDivisionError, "no truth")),
    "eq-result-bool-not-bool": (lambda: returns(eq=TwoBool())(),
                                ("raise", TypeError, "__bool__ should return bool, returned int")),
    "eq-result-truthy": (lambda: returns(eq=[0])(), ("creds",)),
    "eq-result-falsy": (lambda: returns(eq="", str="falsy")(), ("uri", "falsy")),
    "format-raises": (lambda: returns(format=KeyError("fmt"))(), ("caught", "'fmt'")),
    "format-not-str": (lambda: returns(format=5)(),
                       ("caught", "__format__ must return a str, not int")),
    "format-str-subclass": (lambda: returns(format=Text("sub"))(), ("uri", "sub")),
    "str-raises": (lambda: returns(str=OSError("str"))(), ("caught", "str")),
    "str-subclass-format": (lambda: TextFormat("raw"), ("uri", "formatted")),
    "str-subclass-str-raises": (lambda: TextStrRaises("raw"), ("caught", "no text")),
    "lone-surrogate": (lambda: "\udc80\ud800", ("uri", "\udc80\ud800")),
    "huge": (lambda: HUGE, ("uri", HUGE)),
    "bytes": (lambda: b"pw", ("uri", "b'pw'")),
}


@pytest.mark.parametrize("case", CREDENTIAL_CASES)
@pytest.mark.parametrize("method", ["connect", "getdbinstance"])
def test_hostile_credential(monkeypatch, method, case):
    make, outcome = CREDENTIAL_CASES[case]
    uris = recording(monkeypatch)
    password = make()
    c = DatabaseConnector("u", password, "h", "n")
    status = c.connection_status
    if outcome[0] == "raise":
        with pytest.raises(outcome[1]) as info:
            getattr(c, method)()
        assert str(info.value).strip("'") == outcome[2]
        assert module_entries(info.value) == [(FILE, f"quorvane.DatabaseConnector.{method}",
                                               CHECK_LINE[method])]
        assert status == {"connected": False, "message": None} and uris == []
        return
    result = getattr(c, method)()
    assert c.db_password is password
    if outcome[0] == "uri":
        assert uris == [f"mysql+pymysql://u:{outcome[1]}@h/n"]
        assert c.db.uri == uris[0] and result is (status if method == "connect" else c.db)
    else:
        message = CREDS if outcome[0] == "creds" else outcome[1]
        assert uris == [] and c.db is None and status["message"] == message
        assert result is (status if method == "connect" or outcome[0] == "creds" else None)


class Spy(DatabaseConnector):
    """Reads of the attributes in `plan` go through its list of actions, one
    per read: a value to return, an exception to raise, or ... for the real one."""

    def __getattribute__(self, name):
        plan = object.__getattribute__(self, "__dict__").get("plan", {})
        if name in plan and plan[name]:
            action = plan[name].pop(0)
            if isinstance(action, BaseException):
                raise action
            if action is not ...:
                return action
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("method", ["connect", "getdbinstance"])
@pytest.mark.parametrize("plan, uri, message, raised", [
    # The URI reads the credentials again: what the second read gives counts.
    ({"db_host": [..., "elsewhere"]}, "mysql+pymysql://u:p@elsewhere/n", "ok", None),
    ({"db_host": [..., LookupError("gone")]}, None, "gone", None),
    ({"db_host": [..., KeyboardInterrupt("stop")]}, None, None, KeyboardInterrupt),
])
def test_credentials_read_twice(monkeypatch, method, plan, uri, message, raised):
    uris = recording(monkeypatch)
    c = Spy("u", "p", "h", "n")
    # Fresh exceptions: a raised one keeps the traceback of its earlier run.
    c.plan = {name: [type(a)(*a.args) if isinstance(a, BaseException) else a for a in actions]
              for name, actions in plan.items()}
    if raised:
        with pytest.raises(raised) as info:
            getattr(c, method)()
        assert module_entries(info.value) == [(FILE, f"quorvane.DatabaseConnector.{method}",
                                               CALL_LINE[method])]
        return
    getattr(c, method)()
    assert uris == ([uri] if uri else [])
    if message == "ok":
        message = "Connection successful" if method == "connect" else None
    assert c.connection_status["message"] == message


def test_status_read_afresh_at_every_statement(monkeypatch):
    recording(monkeypatch)
    c = Spy("u", "p", "h", "n")
    first, second, last = {}, {}, {"kept": True}
    c.plan = {"connection_status": [first, second, last]}
    assert c.connect() is last
    assert (first, second) == ({"connected": True}, {"message": "Connection successful"})


class Refusing(dict):
    def __setitem__(self, key, value):
        if key == "message":
            raise KeyboardInterrupt("no message")
        super().__setitem__(key, value)


@pytest.mark.parametrize("make, connect_outcome, missing_outcome", [
    (collections.UserDict, "written", "written"),
    (collections.OrderedDict, "written", "written"),
    (Refusing, (KeyboardInterrupt, 33), (KeyboardInterrupt, 27)),
    # Outside the handler the failed assignment of "connected" is caught, and
    # the handler's own assignment fails in turn.
    (tuple, (TypeError, 38), (TypeError, 27)),
    (lambda: None, (TypeError, 38), (TypeError, 27)),
], ids=["UserDict", "OrderedDict", "refusing-dict", "tuple", "None"])
def test_replaced_status_mapping(monkeypatch, make, connect_outcome, missing_outcome):
    recording(monkeypatch)
    for creds, outcome in ((("u", "p", "h", "n"), connect_outcome), ((None,), missing_outcome)):
        c = DatabaseConnector(*creds)
        c.connection_status = status = make()
        if outcome == "written":
            assert c.connect() is status and status["message"] == (
                "Connection successful" if creds[0] else CREDS)
            continue
        with pytest.raises(outcome[0]) as info:
            c.connect()
        assert module_entries(info.value) == [(FILE, "quorvane.DatabaseConnector.connect",
                                               outcome[1])]
        # getdbinstance leaves the status alone once the credentials pass.
        if creds[0]:
            assert c.getdbinstance() is c.db is not None


class Agent:
    def __init__(self, text):
        self.text, self.queries, self.asked = text, [], False

    def __str__(self):
        return self.text

    def __bool__(self):
        # Construction tests the agent against None by identity only.
        self.asked = True
        return True

    __eq__ = lambda self, other: 1 / 0
    __hash__ = object.__hash__

    def run(self, query):
        self.queries.append(query)
        return self


class Inert:
    """An argument whose every operation fails: construction only stores it
    and passes it on."""
    __eq__ = __bool__ = __str__ = __format__ = __len__ = lambda self, *a: 1 / 0
    __hash__ = object.__hash__


def test_hostile_arguments_pass_through(monkeypatch, capsys):
    seen = []
    monkeypatch.setattr(quorvane, "create_sql_agent", lambda **kw: seen.append(kw) or agent)
    agent, args = Agent("agent"), [Inert() for _ in range(4)]
    runner = AgentRunner(*args)
    assert [runner.llm, runner.toolkit, runner.verbose, runner.agent_type] == args
    assert list(seen[0].values()) == args and runner.agent_runner is agent
    assert runner.error is None and capsys.readouterr().out == "Agent runner instance: agent\n"
    assert not agent.asked
    query = Inert()
    assert runner.run(query) is agent and agent.queries == [query]


class StrNotText(Exception):
    def __str__(self):
        return 5


def test_unprintable_agent_and_error(monkeypatch, capsys):
    monkeypatch.setattr(quorvane, "create_sql_agent", lambda **kw: Agent(5))
    runner = AgentRunner("llm", "toolkit")
    assert isinstance(runner.agent_runner, Agent) and type(runner.error) is TypeError
    assert module_entries(runner.error) == [(FILE, "quorvane.AgentRunner.__init__", 76)]
    # print has written its first item and the separator when str() fails.
    assert capsys.readouterr().out == (
        "Agent runner instance: Error occurred: __str__ returned non-string (type int)\n")
    caught = StrNotText()

    def raiser(**kw):
        raise caught
    monkeypatch.setattr(quorvane, "create_sql_agent", raiser)
    obj = object.__new__(AgentRunner)
    with pytest.raises(TypeError) as info:
        obj.__init__("llm", "toolkit")
    assert info.value.__context__ is caught and obj.error is caught
    assert module_entries(info.value) == [(FILE, "quorvane.AgentRunner.__init__", 81)]


@pytest.mark.parametrize("agent, outcome", [
    (returns(bool=MemoryError("no truth")), (MemoryError, 84)),
    (TwoBool, (TypeError, 84)),
    (returns(len=0), "notice"),
    (returns(len=OverflowError("len")), (OverflowError, 84)),
    (returns(getattr=LookupError("no run")), (LookupError, 85)),
    (lambda: types.SimpleNamespace(run=42), (TypeError, 85)),
], ids=["bool-raises", "bool-not-bool", "len-zero", "len-raises", "getattr-raises",
        "run-not-callable"])
def test_hostile_agent_in_run(capsys, agent, outcome):
    runner = object.__new__(AgentRunner)
    runner.agent_runner = agent()
    if outcome == "notice":
        assert runner.run(Inert()) is None
        assert capsys.readouterr().out == "Agent runner is not initialized.\n"
        return
    with pytest.raises(outcome[0]) as info:
        runner.run("q")
    assert module_entries(info.value) == [(FILE, "quorvane.AgentRunner.run", outcome[1])]


@pytest.mark.parametrize("change, message", [
    ({"db_user": "\udc80"}, "'utf-8' codec can't encode character '\\udc80' in position 0: "
                            "surrogates not allowed"),
    ({"db_password": "pw\udc80"}, "'latin-1' codec can't encode character '\\udc80' in "
                                  "position 2: ordinal not in range(256)"),
    ({"db_password": "p" * 1_000_000}, "(pymysql.err.OperationalError) (1045, "),
    ({"db_name": "d" * 100_000}, "(pymysql.err.ProgrammingError) (1102, "),
])
def test_hostile_strings_reach_the_real_driver(shop_db, change, message):
    c = DatabaseConnector(shop_db.user, shop_db.password, shop_db.host, shop_db.name)
    for name, value in change.items():
        setattr(c, name, value)
    status = c.connect()
    assert status["connected"] is False and status["message"].startswith(message)
    assert c.getdbinstance() is None and c.db is None


class Hidden(AttributeError):
    """Its text tells what the failed read filled in."""
    def __str__(self):
        return f"{self.name!r} of {type(self.obj).__name__}"


def hiding(attr, how, base=object):
    """A subclass of base whose reads of attr fail with a bare Hidden error."""
    def fail(self, *args):
        raise Hidden()
    if how == "property":  # its setter drops the value
        return type("Holder", (base,), {attr: property(fail, lambda self, value: None)})
    if how == "__getattr__":
        return type("Holder", (base,), {"__getattr__": fail, "__setattr__": lambda self, n, v: (
            n == attr or object.__setattr__(self, n, v))})
    return type("Holder", (base,), {"__getattribute__": lambda self, n: (
        fail(self) if n == attr else object.__getattribute__(self, n))})


def failure_text(action):
    try:
        action()
    except AttributeError as e:
        return str(e)


def stand_in_sqldatabase(monkeypatch, holder):
    monkeypatch.setattr(quorvane, "SQLDatabase", holder)
    return DatabaseConnector("u", "p", "h", "n").connect()["message"]


def agent_run(holder):
    runner = object.__new__(AgentRunner)
    runner.agent_runner = holder
    return failure_text(lambda: runner.run("q"))


# site: (attribute, base, what the module reports, what the same Python statement reports)
READ_SITES = {
    "self.db_user": ("db_user", DatabaseConnector,
                     lambda mp, H: failure_text(H("u", "p", "h", "n").connect),
                     lambda H: failure_text(lambda: H("u", "p", "h", "n").db_user)),
    "self.db": ("db", DatabaseConnector,
                lambda mp, H: (mp.setattr(quorvane, "SQLDatabase", types.SimpleNamespace(
                    from_uri=str)), failure_text(H("u", "p", "h", "n").getdbinstance))[1],
                lambda H: failure_text(lambda: H().db)),
    "self.llm (kept in error)": ("llm", AgentRunner, lambda mp, H: str(H("llm", "tk").error),
                                 lambda H: failure_text(lambda: H.__new__(H).llm)),
    "self.agent_runner": ("agent_runner", AgentRunner,
                          lambda mp, H: failure_text(lambda: H.run(H.__new__(H), "q")),
                          lambda H: failure_text(lambda: H.__new__(H).agent_runner)),
    # Read to be called: as the interpreter's method load, `x.from_uri(...)`.
    "SQLDatabase.from_uri": ("from_uri", object, lambda mp, H: stand_in_sqldatabase(mp, H()),
                             lambda H: failure_text(lambda: H().from_uri("uri"))),
    "agent.run": ("run", object, lambda mp, H: agent_run(H()),
                  lambda H: failure_text(lambda: H().run("q"))),
}


@pytest.mark.parametrize("how", ["property", "__getattr__", "__getattribute__"])
@pytest.mark.parametrize("site", READ_SITES)
def test_failed_attribute_read_names_attribute_and_object(monkeypatch, capsys, site, how):
    attr, base, module_side, python_side = READ_SITES[site]
    holder = hiding(attr, how, base)
    assert module_side(monkeypatch, holder) == python_side(holder)


class NameRaises(AttributeError):
    @property
    def name(self):
        raise RuntimeError("name read")


class ReadsRaise(AttributeError):
    def __getattribute__(self, attr):
        if attr in ("name", "obj"):
            raise KeyError(attr)
        return super().__getattribute__(attr)


NAMED = {
    "named None": lambda: AttributeError("x", name=None, obj=None),
    "name is a property that raises": lambda: NameRaises("x"),
    "reading name raises": lambda: ReadsRaise("x"),
    "bare": lambda: AttributeError("x"),
}


def raised_by_read(read, make):
    cls = type("Holder", (AgentRunner,), {
        "__getattr__": lambda self, attr: (_ for _ in ()).throw(make())})
    holder = cls.__new__(cls)
    try:
        read(holder)
    except BaseException as e:
        # The exception's own fields, past any override in the subclass.
        fields = [vars(AttributeError)[f].__get__(e) if isinstance(e, AttributeError) else None
                  for f in ("name", "obj")]
        return type(e).__name__, e.args, fields[0], fields[1] is holder


@pytest.mark.parametrize("case", NAMED)
def test_attribute_error_already_named_is_kept(case):
    # The method reads self.agent_runner; Python reads the same attribute.
    assert raised_by_read(lambda holder: holder.run("q"), NAMED[case]) == raised_by_read(
        lambda holder: holder.agent_runner, NAMED[case])
