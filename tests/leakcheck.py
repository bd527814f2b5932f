"""Reference- and memory-leak driver for the module's methods.

PATHS lists every path of every method as (name, callable): successes,
caught failures, propagating failures and binding errors, with positional
and keyword calls. Each callable makes one call the way user code would and
checks that the call took its path (the result, or the exception class and
the module's traceback line), so a table entry cannot silently test
something else. SQLDatabase and create_sql_agent are rebound to the small
stand-ins below: the real libraries keep caches of their own, which grow
legitimately.

run() calls every path `iterations` times per sample, after one warm-up
round, and returns the growth of each measure per sample. A leak is growth
in every sample: one-off growth is a cache filling up.

    python tests/leakcheck.py --iterations 10000 --samples 5   (about 4 minutes)
"""

import argparse
import collections
import contextlib
import gc
import sys
import tracemalloc
import types
import warnings

import langchain  # noqa: F401  (its first import re-arms its deprecation warnings)

with warnings.catch_warnings():
    # The module's legacy LangChain import paths warn; that is not under test.
    warnings.simplefilter("ignore")
    import quorvane
from quorvane import AgentRunner, DatabaseConnector

FILE = "quorvane/base.py"
CREDS_MSG = "All database credentials must be provided"


def fresh(text):
    """A new str with this text: neither interned nor immortal."""
    return "".join(list(text))


class Token:
    """An argument whose reference count the check watches."""


U, P, H, N = CREDS = fresh("shop"), fresh("shop-pw"), fresh("127.0.0.1:3306"), fresh("shop")
LLM, TOOLKIT, VERBOSE, AGENT_TYPE, QUERY = Token(), Token(), Token(), Token(), Token()
FRESH_DBC_KW = {fresh(k): v for k, v in
                zip(("db_user", "db_password", "db_host", "db_name"), (U, P, H, N))}
FRESH_AR_KW = {fresh("llm"): LLM, fresh("toolkit"): TOOLKIT}
PORT = fresh("port")


# ---------------------------------------------------------------------
# Stand-ins for LangChain and for the objects that make a statement fail

def raising(exc_type, *args):
    """A callable (also usable as a method) that raises a new exc_type(*args)."""
    def call(*_, **__):
        raise exc_type(*args)
    return call


def klass(name, base=object, **attrs):
    return type(name, (base,), attrs)


def stand_in_db(from_uri):
    return klass("StandInDB", from_uri=staticmethod(from_uri))


# What from_uri returns: GC-tracked, so a leaked one shows by type.
Database = klass("Database")
Untellable = klass("Untellable", Exception, __str__=raising(RuntimeError, "no text"))
GoodDB = stand_in_db(lambda uri: Database())
FailingDB = stand_in_db(raising(ValueError, "cannot reach the server"))
InterruptDB = stand_in_db(raising(KeyboardInterrupt))
UntellableDB = stand_in_db(raising(Untellable))
Agent = klass("Agent", run=lambda self, query: [query])
FailingAgent = klass("FailingAgent", run=raising(ValueError, "model unavailable"))
Unprintable = klass("Unprintable", __str__=raising(ValueError, "no text"))
Falsy = klass("Falsy", __len__=lambda self: 0)
Undecidable = klass("Undecidable", __bool__=raising(ValueError, "undecidable"))
BadFormat = klass("BadFormat", __format__=raising(ValueError, "cannot format"))
BadEq = klass("BadEq", __eq__=raising(ValueError, "cannot compare"), __hash__=object.__hash__)


def create_agent(**kwargs):
    return Agent()


def create_none(**kwargs):
    return None


create_failing = raising(ValueError, "toolkit rejected")
create_interrupt = raising(KeyboardInterrupt)
create_unprintable = lambda **kwargs: Unprintable()  # noqa: E731


class Sink:
    """Stands in for sys.stdout: keeps nothing."""
    write = staticmethod(len)


BrokenStdout = klass("BrokenStdout", write=raising(OSError, "stdout closed"))


class RejectsConnected(dict):
    def __setitem__(self, key, value):
        if key == "connected":
            raise KeyError(key)
        super().__setitem__(key, value)


def refusing(cls, attr, when=lambda value: True):
    """A subclass whose instances refuse to set `attr` (to a value `when` accepts)."""
    def __setattr__(self, name, value):
        if name == attr and when(value):
            raise PermissionError(f"{name} is read-only")
        object.__setattr__(self, name, value)
    return type(f"Refusing{cls.__name__}", (cls,), {"__setattr__": __setattr__})


class FlakyStatus(DatabaseConnector):
    """connection_status fails at every `period`-th read."""
    period, reads = 2, 0

    @property
    def connection_status(self):
        self.reads = (self.reads + 1) % self.period
        if not self.reads:
            raise LookupError("status unavailable")
        return self.__dict__["status"]

    @connection_status.setter
    def connection_status(self, value):
        self.__dict__["status"] = value


class HidesToolkit(AgentRunner):
    def __getattribute__(self, name):
        if name == "toolkit":
            raise LookupError("toolkit hidden")
        return object.__getattribute__(self, name)


def hidden(cls, attr):
    """A subclass whose reads of `attr` fail with a bare AttributeError."""
    return klass(f"Hidden{attr}", cls, **{attr: property(raising(AttributeError, "hidden"),
                                                          lambda self, value: None)})


class Pause:
    def __await__(self):
        yield


def started_in_handler(call, kind):
    """Starts a generator or coroutine that calls `call` inside a handler of
    the caller's, resumes it outside: it must find nothing being handled."""
    def gen():
        call()
        yield
        yield sys.exception()

    async def coro():
        call()
        await Pause()
        return sys.exception()
    g = gen() if kind == "generator" else coro()
    try:
        raise LookupError("caller's own")  # fresh: a reraised one would grow its traceback
    except LookupError:
        g.send(None)
    try:
        seen = g.send(None)
    except StopIteration as stop:
        seen = stop.value
    g.close()
    check(seen is None, f"{kind} sees {seen!r}")


# ---------------------------------------------------------------------
# Path checks

def module_lines(exc):
    lines, tb = [], exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == FILE:
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


def check(ok, what):
    if not ok:
        raise AssertionError(f"path not taken: {what}")


def expect(exc_type, line, fn, *args, **kwargs):
    """Calls fn; it must raise exc_type with one module entry at `line`
    (none when line is None)."""
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        got = module_lines(e)
        check(got == ([] if line is None else [line]), f"{exc_type.__name__} at {got}")
        return
    check(False, f"{exc_type.__name__} not raised")


def named(name, line, fn, *args):
    """Calls fn; it must raise AttributeError naming `name`, with its entry."""
    try:
        fn(*args)
    except AttributeError as e:
        check(e.name == name and module_lines(e) == [line], f"{e.name!r} at {module_lines(e)}")
        return
    check(False, "AttributeError not raised")


def caught(obj, exc_type, line):
    """After a caught failure: the exception that `obj` kept and its entry."""
    e = obj.error
    check(type(e) is exc_type and line in module_lines(e), f"caught {e!r}")


DELETE = object()


def assign(obj, name, value):
    """setattr, where DELETE means delattr."""
    if value is DELETE:
        if hasattr(obj, name):
            delattr(obj, name)
    else:
        setattr(obj, name, value)


def conn(creds=CREDS, cls=DatabaseConnector, **attrs):
    c = cls(*creds)
    for item in attrs.items():
        assign(c, *item)
    return c


def runner(create=create_agent, cls=AgentRunner, **attrs):
    with bound(create=create):
        r = cls(LLM, TOOLKIT)
    for item in attrs.items():
        assign(r, *item)
    return r


@contextlib.contextmanager
def bound(db=GoodDB, create=create_agent):
    """Binds the two module globals the methods look up (DELETE removes one)."""
    names = ("SQLDatabase", "create_sql_agent")
    saved = [vars(quorvane).get(n, DELETE) for n in names]
    try:
        for name, value in zip(names, (db, create)):
            assign(quorvane, name, value)
        with contextlib.redirect_stdout(Sink()):
            yield
    finally:
        for name, value in zip(names, saved):
            assign(quorvane, name, value)


def broken_stdout(fn, *args):
    with contextlib.redirect_stdout(BrokenStdout()):
        return fn(*args)


def _paths():
    M = (U, P, H, None)  # db_name missing: the check reads all four
    c_ok, c_miss, c_fail = conn(), conn(M), conn()
    c_noname, c_bad_fmt, c_bad_eq = conn(), conn((U, P, H, BadFormat())), conn((BadEq(), P, H, N))
    c_nouser = conn(db_user=DELETE)
    c_nostatus = conn(M, connection_status=DELETE)
    c_reject = conn(connection_status=RejectsConnected(connected=False, message=None))
    c_nodb = conn(db=DELETE)
    flaky2m = conn(M, FlakyStatus, period=2)
    flaky3 = conn(cls=FlakyStatus, period=3)
    bound_connect = c_ok.connect
    r_ok, r_none = runner(), runner(create_none)
    r_falsy, r_undecidable = runner(agent_runner=Falsy()), runner(agent_runner=Undecidable())
    r_failing, r_norun = runner(agent_runner=FailingAgent()), runner(agent_runner=Token())
    r_gone = runner(agent_runner=DELETE)
    TRACKED.update(c_ok=c_ok, c_missing=c_miss, r_ok=r_ok, r_none=r_none)
    refuse_user = refusing(DatabaseConnector, "db_user")
    refuse_status = refusing(DatabaseConnector, "connection_status")
    refuse_llm = refusing(AgentRunner, "llm")
    refuse_error = refusing(AgentRunner, "error", lambda v: v is not None)
    TE = TypeError
    c_hidden = conn(cls=hidden(DatabaseConnector, "db_user"))
    r_hidden = runner(cls=hidden(AgentRunner, "agent_runner"))
    hides_llm = hidden(AgentRunner, "llm")

    def status_msg(method, c, text):
        return lambda: check(method(c) is c.connection_status
                             and c.connection_status["message"] == text, "status")

    def db_msg(c, start):
        return lambda: check(c.getdbinstance() is c.db
                             and c.connection_status["message"].startswith(start), "getdb")

    def agent_ok(*args, **kwargs):
        return lambda: check(type(AgentRunner(*args, **kwargs).agent_runner) is Agent, "agent")

    def ar_caught(exc_type, line, cls=AgentRunner):
        return lambda: caught(cls(LLM, TOOLKIT), exc_type, line)

    dbc, con, gdb = DatabaseConnector, DatabaseConnector.connect, DatabaseConnector.getdbinstance
    ar, run = AgentRunner, AgentRunner.run
    fn = AgentRunner.__init__
    table = [
        # DatabaseConnector.__init__
        ("dbc_init_positional", lambda: check(dbc(U, P, H, N).db_name is N, "init")),
        ("dbc_init_keywords", lambda: dbc(db_user=U, db_password=P, db_host=H, db_name=N)),
        ("dbc_init_fresh_keywords", lambda: check(dbc(**FRESH_DBC_KW).db_host is H, "kw")),
        ("dbc_init_defaults", lambda: check(dbc().db_user is None, "defaults")),
        ("dbc_init_setattr_18", lambda: expect(PermissionError, 18, refuse_user, U)),
        ("dbc_init_setattr_23", lambda: expect(PermissionError, 23, refuse_status, U)),
        ("dbc_init_too_many", lambda: expect(TE, 17, dbc, U, P, H, N, U)),
        ("dbc_init_duplicate", lambda: expect(TE, 17, dbc, U, db_user=U)),
        ("dbc_init_unexpected", lambda: expect(TE, 17, dbc, U, **{PORT: U})),
        # connect
        ("connect_ok", status_msg(con, c_ok, "Connection successful")),
        ("connect_bound_method", lambda: check(bound_connect() is c_ok.connection_status, "bm")),
        ("connect_self_keyword", lambda: check(con(self=c_ok) is c_ok.connection_status, "kw")),
        ("connect_missing", status_msg(con, c_miss, CREDS_MSG)),
        ("connect_caught_from_uri", status_msg(con, c_fail, "cannot reach the server")),
        ("connect_caught_name", status_msg(con, c_noname, "name 'SQLDatabase' is not defined")),
        ("connect_caught_format", status_msg(con, c_bad_fmt, "cannot format")),
        ("connect_caught_item_32", status_msg(con, c_reject, "'connected'")),
        ("connect_check_raises_26", lambda: expect(ValueError, 26, c_bad_eq.connect)),
        ("connect_no_attr_26", lambda: expect(AttributeError, 26, c_nouser.connect)),
        ("connect_missing_status_27", lambda: expect(AttributeError, 27, c_nostatus.connect)),
        ("connect_missing_status_28", lambda: expect(LookupError, 28, flaky2m.connect)),
        ("connect_interrupt_31", lambda: expect(KeyboardInterrupt, 31, c_ok.connect)),
        ("connect_handler_38", lambda: expect(RuntimeError, 38, c_ok.connect)),
        ("connect_status_40", lambda: expect(LookupError, 40, flaky3.connect)),
        ("connect_caught_in_generator", lambda: started_in_handler(c_fail.connect, "generator")),
        ("connect_caught_in_coroutine", lambda: started_in_handler(c_fail.connect, "coroutine")),
        ("connect_attr_named_26", lambda: named("db_user", 26, c_hidden.connect)),
        ("connect_too_many", lambda: expect(TE, 25, c_ok.connect, U)),
        ("connect_too_few", lambda: expect(TE, 25, con)),
        ("connect_duplicate", lambda: expect(TE, 25, c_ok.connect, self=c_ok)),
        # getdbinstance
        ("getdb_ok", lambda: check(type(c_ok.getdbinstance()) is Database, "getdb")),
        ("getdb_self_keyword", lambda: check(gdb(self=c_ok) is c_ok.db, "kw")),
        ("getdb_missing", status_msg(gdb, c_miss, CREDS_MSG)),
        ("getdb_caught_from_uri", db_msg(c_fail, "cannot reach")),
        ("getdb_caught_name", db_msg(c_noname, "name 'SQLDatabase'")),
        ("getdb_caught_format", db_msg(c_bad_fmt, "cannot format")),
        ("getdb_check_raises_43", lambda: expect(ValueError, 43, c_bad_eq.getdbinstance)),
        ("getdb_no_attr_43", lambda: expect(AttributeError, 43, c_nouser.getdbinstance)),
        ("getdb_missing_status_44", lambda: expect(AttributeError, 44, c_nostatus.getdbinstance)),
        ("getdb_missing_status_45", lambda: expect(LookupError, 45, flaky2m.getdbinstance)),
        ("getdb_interrupt_48", lambda: expect(KeyboardInterrupt, 48, c_ok.getdbinstance)),
        ("getdb_handler_51", lambda: expect(RuntimeError, 51, c_ok.getdbinstance)),
        ("getdb_no_db_53", lambda: expect(AttributeError, 53, c_nodb.getdbinstance)),
        ("getdb_too_many", lambda: expect(TE, 42, c_ok.getdbinstance, U)),
        ("getdb_unexpected", lambda: expect(TE, 42, c_ok.getdbinstance, **{PORT: U})),
        # AgentRunner.__init__
        ("ar_init_positional", agent_ok(LLM, TOOLKIT)),
        ("ar_init_all_positional", agent_ok(LLM, TOOLKIT, VERBOSE, AGENT_TYPE)),
        ("ar_init_keywords",
         agent_ok(llm=LLM, toolkit=TOOLKIT, verbose=VERBOSE, agent_type=AGENT_TYPE)),
        ("ar_init_fresh_keywords", agent_ok(**FRESH_AR_KW)),
        ("ar_init_none_78", lambda: check(ar(LLM, TOOLKIT).agent_runner is None, "none")),
        ("ar_init_caught_67", ar_caught(ValueError, 67)),
        ("ar_init_caught_name_67", ar_caught(NameError, 67)),
        ("ar_init_caught_attr_69", ar_caught(LookupError, 69, HidesToolkit)),
        ("ar_init_caught_print_76", ar_caught(ValueError, 76)),
        ("ar_init_caught_attr_named_68", lambda: check(
            hides_llm(LLM, TOOLKIT).error.name == "llm", "llm named")),
        ("ar_init_caught_in_coroutine", lambda: started_in_handler(
            lambda: caught(ar(LLM, TOOLKIT), ValueError, 67), "coroutine")),
        ("ar_init_setattr_58", lambda: expect(PermissionError, 58, refuse_llm, LLM, TOOLKIT)),
        ("ar_init_interrupt_67", lambda: expect(KeyboardInterrupt, 67, ar, LLM, TOOLKIT)),
        ("ar_init_error_80", lambda: expect(PermissionError, 80, refuse_error, LLM, TOOLKIT)),
        ("ar_init_print_81", lambda: broken_stdout(expect, OSError, 81, ar, LLM, TOOLKIT)),
        ("ar_init_too_few", lambda: expect(TE, 56, ar, LLM)),
        ("ar_init_too_many", lambda: expect(TE, 56, ar, LLM, TOOLKIT, VERBOSE, AGENT_TYPE, U)),
        ("ar_init_keyword_missing", lambda: expect(TE, 56, ar, toolkit=TOOLKIT)),
        ("ar_init_duplicate", lambda: expect(TE, 56, ar, LLM, TOOLKIT, llm=LLM)),
        ("ar_init_unexpected", lambda: expect(TE, 56, ar, LLM, TOOLKIT, **{PORT: U})),
        # AgentRunner.run
        ("run_agent", lambda: check(r_ok.run(QUERY)[0] is QUERY, "run")),
        ("run_keyword", lambda: check(r_ok.run(query=QUERY)[0] is QUERY, "run")),
        ("run_class_keywords", lambda: check(run(self=r_ok, query=QUERY)[0] is QUERY, "run")),
        ("run_no_agent_87", lambda: check(r_none.run(QUERY) is None, "none")),
        ("run_falsy_agent_87", lambda: check(r_falsy.run(QUERY) is None, "falsy")),
        ("run_agent_raises_85", lambda: expect(ValueError, 85, r_failing.run, QUERY)),
        ("run_no_run_attr_85", lambda: expect(AttributeError, 85, r_norun.run, QUERY)),
        ("run_no_agent_attr_84", lambda: expect(AttributeError, 84, r_gone.run, QUERY)),
        ("run_truth_raises_84", lambda: expect(ValueError, 84, r_undecidable.run, QUERY)),
        ("run_print_87", lambda: broken_stdout(expect, OSError, 87, r_none.run, QUERY)),
        ("run_attr_named_84", lambda: named("agent_runner", 84, r_hidden.run, QUERY)),
        ("run_too_few", lambda: expect(TE, 83, r_ok.run)),
        ("run_too_many", lambda: expect(TE, 83, r_ok.run, QUERY, QUERY)),
        ("run_unexpected_missing", lambda: expect(TE, 83, r_ok.run, **{PORT: U})),
        ("run_duplicate", lambda: expect(TE, 83, r_ok.run, QUERY, query=QUERY)),
        # The function objects' own attributes
        ("fn_read_attributes", lambda: (fn.__defaults__, fn.__kwdefaults__, fn.__code__,
                                        fn.__globals__, fn.__dict__, fn.__annotations__,
                                        fn.__qualname__, fn.__reduce__(), repr(fn))),
        ("fn_assign_attributes", lambda: (setattr(fn, "__defaults__", fn.__defaults__),
                                          setattr(fn, "__name__", fn.__name__))),
        ("fn_assign_rejected", lambda: expect(TE, None, setattr, fn, "__name__", U.encode())),
        ("fn_code_executes", lambda: expect(AssertionError, 25,
                                            types.FunctionType(con.__code__, {}), c_ok)),
        ("fn_descriptor", lambda: (vars(DatabaseConnector)["connect"].__get__(c_ok),
                                   vars(DatabaseConnector)["connect"].__get__(None, dbc))),
    ]
    # Stand-ins per path; a path not listed uses GoodDB and create_agent.
    stand_ins = {
        "connect_caught_from_uri": FailingDB, "getdb_caught_from_uri": FailingDB,
        "connect_caught_in_generator": FailingDB, "connect_caught_in_coroutine": FailingDB,
        "ar_init_caught_in_coroutine": create_failing,
        "connect_caught_name": DELETE, "getdb_caught_name": DELETE,
        "connect_interrupt_31": InterruptDB, "getdb_interrupt_48": InterruptDB,
        "connect_handler_38": UntellableDB, "getdb_handler_51": UntellableDB,
        "getdb_no_db_53": FailingDB,
        "ar_init_none_78": create_none, "ar_init_caught_67": create_failing,
        "ar_init_caught_name_67": DELETE, "ar_init_caught_print_76": create_unprintable,
        "ar_init_interrupt_67": create_interrupt, "ar_init_error_80": create_failing,
        "ar_init_print_81": create_failing,
    }
    def path(name, call):
        kind = "db" if name.startswith(("connect", "getdb")) else "create"
        binding = {kind: stand_ins[name]} if name in stand_ins else {}

        def one_call():
            with bound(**binding):
                call()
        return name, one_call
    return [path(*entry) for entry in table]


# Everything the paths pass in or call: a reference kept by mistake shows
# in these counts.
TRACKED = {
    **{n: o for n, o in zip(("user", "password", "host", "name"), (U, P, H, N))},
    "llm": LLM, "toolkit": TOOLKIT, "verbose": VERBOSE, "agent_type": AGENT_TYPE,
    "query": QUERY, "port": PORT,
    **{f"kw:{k}": k for k in [*FRESH_DBC_KW, *FRESH_AR_KW]},
    "GoodDB": GoodDB, "FailingDB": FailingDB, "Database": Database, "Agent": Agent,
    "create_agent": create_agent, "create_none": create_none, "create_failing": create_failing,
}
PATHS = _paths()


# ---------------------------------------------------------------------
# Measuring

def measure():
    gc.collect()
    # Keys are interned, so that the snapshots and the growth table share them.
    key = sys.intern
    m = {key(f"refs[{name}]"): sys.getrefcount(obj) for name, obj in TRACKED.items()}
    m["blocks"] = sys.getallocatedblocks()
    m["tracemalloc"] = tracemalloc.get_traced_memory()[0]
    types = collections.Counter(type(o) for o in gc.get_objects())
    m.update((key(f"objects[{t.__module__}.{t.__qualname__}]"), n) for t, n in types.items())
    return m


def drive(paths, iterations):
    for _, path in paths:
        for _ in range(iterations):
            path()


def run(iterations=1000, samples=4, paths=None, warmups=1):
    """Growth of each measure per sample: {measure: [delta, ...]}."""
    paths = PATHS if paths is None else paths
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        with warnings.catch_warnings():
            # Assigning __defaults__ warns on every call.
            warnings.simplefilter("ignore", RuntimeWarning)
            for _ in range(warmups):
                drive(paths, iterations)
            # The baseline is taken as every later measure is: with the
            # growth table made and one earlier snapshot alive.
            earlier = measure()
            growth = {key: [0] * samples for key in earlier}
            before = measure()
            del earlier
            for s in range(samples):
                drive(paths, iterations)
                after = measure()
                for key in after.keys() - growth.keys():
                    growth[key] = [0] * samples
                for key, deltas in growth.items():
                    deltas[s] = after.get(key, 0) - before.get(key, 0)
                before = after
    finally:
        if started:
            tracemalloc.stop()
    return growth


def leaks(growth):
    """The measures that grew in every sample."""
    return {k: d for k, d in growth.items() if all(x > 0 for x in d)}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=10000, help="calls per path per sample")
    parser.add_argument("--samples", type=int, default=5)
    args = parser.parse_args(argv)
    growth = run(args.iterations, args.samples)
    found = leaks(growth)
    print(f"{len(PATHS)} paths x {args.iterations} calls x {args.samples} samples "
          f"(+1 warm-up round) = {len(PATHS) * args.iterations * (args.samples + 1)} calls")
    families = collections.defaultdict(list)
    for key, deltas in growth.items():
        families[key.split("[")[0]].append(deltas)
    for family, rows in sorted(families.items()):
        worst = max(rows, key=lambda d: max(d))
        print(f"  {family:12} {len(rows):5} measure(s), largest growth per sample: {worst}")
    for key, deltas in sorted(found.items()):
        print(f"LEAK {key}: {deltas}")
    print("leaks found" if found else "no leaks")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
