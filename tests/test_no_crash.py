"""No Python-level use of the module's objects crashes the interpreter.

Generic operations with generated values over every object the module hands
out: its classes and their function type, the methods and their code
objects, instances and bound methods. A child interpreter draws each example
with Hypothesis and runs it in a fork of itself, so a crash fails that one
example, which Hypothesis then shrinks; any result or Python exception
passes."""

import os

import pytest

from _helpers import run_child

CHILD = r'''
import contextlib, copy, gc, inspect, io, os, pickle, signal, sys, types, warnings, weakref
from hypothesis import HealthCheck, given, settings, strategies as st
import langchain  # its first import re-enables the warnings filtered below
warnings.simplefilter("ignore")
import quorvane

examples, families = int(sys.argv[1]), sys.argv[2:]

# Dependencies the methods call give generated results (or raise generated
# exceptions) instead of reaching a network.
RESULTS = []
def standin(*args, **kwargs):
    result = RESULTS.pop() if RESULTS else None
    if isinstance(result, BaseException):
        raise result
    return result
quorvane.SQLDatabase = types.SimpleNamespace(from_uri=standin)
quorvane.create_sql_agent = standin
standin.run = standin

CLASSES = [quorvane.DatabaseConnector, quorvane.AgentRunner]
FUNCS = [v for c in CLASSES for v in vars(c).values() if type(v).__module__ == "quorvane"]
FTYPE = type(FUNCS[0])
RESULTS[:] = [standin]  # the runner's agent, whose run() gives generated results
with contextlib.redirect_stdout(io.StringIO()):  # the constructor prints
    INSTANCES = [quorvane.DatabaseConnector(), quorvane.DatabaseConnector("u", "p", "h", "n"),
                 quorvane.AgentRunner(standin, standin, False)]
BOUND = [getattr(i, f.__name__) for i in INSTANCES for f in FUNCS
         if hasattr(type(i), f.__name__) and vars(type(i))[f.__name__] is f]
OBJECTS = [*CLASSES, FTYPE, *FUNCS, *(f.__code__ for f in FUNCS), *INSTANCES, *BOUND]
CALLABLES = [o for o in OBJECTS if callable(o)]

class Hostile:
    """Every conversion and protocol raises (comparison and hashing stay, for
    Hypothesis' own bookkeeping)."""
    def _refuse(self, *args):
        raise ValueError("hostile")
    __lt__ = __bool__ = __str__ = __format__ = _refuse
    __len__ = __iter__ = __index__ = __call__ = __reduce_ex__ = _refuse
    def __repr__(self):  # readable in Hypothesis' report of a failing example
        return "Hostile()"

SPECIAL = [*OBJECTS, Hostile(), quorvane.__dict__, vars(quorvane.DatabaseConnector),
           Ellipsis, NotImplemented, object(), type, sys.maxsize, -sys.maxsize - 1, 2**100,
           "\udc80", ValueError("v"), KeyboardInterrupt(), SystemExit(3), MemoryError(),
           RecursionError()]
VALUES = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8)
    | st.binary(max_size=8) | st.sampled_from(SPECIAL),
    lambda inner: st.lists(inner, max_size=3) | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=6)
PARAMS = ["self", "db_user", "db_password", "db_host", "db_name", "llm", "toolkit",
          "verbose", "agent_type", "query", "__class__", "__dict__"]
NAMES = st.sampled_from(PARAMS) | st.text(max_size=4)
KWARGS = st.dictionaries(NAMES, VALUES, max_size=3)
ARGS = st.lists(VALUES, max_size=5)
objects = st.sampled_from(OBJECTS)

def call(f, *args, **kwargs):
    return f(*args, **kwargs)

def probe(obj):
    """Everything a debugger or a logging line does to an object."""
    for op in (repr, str, hash, dir, bool, inspect.signature, vars, lambda o: o == o,
               lambda o: o.__reduce_ex__(2), lambda o: format(o, "")):
        try:
            op(obj)
        except Exception:
            pass
    for name in dir(type(obj)) + list(getattr(obj, "__dict__", None) or ()):
        try:
            getattr(obj, name)
        except Exception:
            pass

class Holder:
    """Sits in a reference cycle with its target; when collected, probes
    whatever it can still reach weakly, and leaves a second holder behind
    on the target, to be released while the cycle is being cleared."""
    def __init__(self, target, again=True):
        self.me, self.target, self.again = self, target, again
        try:
            self.ref = weakref.ref(target)
        except TypeError:
            self.ref = lambda: None
    def __del__(self):
        target = self.ref()
        if target is not None:
            probe(target)
            if self.again:
                try:
                    target._holder_left = Holder(target, again=False)
                except Exception:
                    pass

def cycle(obj, *args):
    holder = Holder(obj)
    for key in ("_holder", "__dict__"):
        try:
            setattr(obj, key, {"h": holder} if key == "__dict__" else holder)
        except Exception:
            pass
    del holder
    gc.collect()
    call(obj, *args)

def weak(obj, *args):
    ref = weakref.ref(obj, probe)
    proxy = weakref.proxy(obj, probe)
    probe(proxy)
    call(ref(), *args)
    call(proxy, *args)

def clone(code, globals, name, argdefs, args, kwargs):
    f = types.FunctionType(code, globals, name, argdefs)
    probe(f)
    return f(*args, **kwargs)

def bind(func, obj, cls, args):
    return func.__get__(obj, cls)(*args)

def call_attribute(obj, index, args, kwargs):
    names = dir(obj)
    return getattr(obj, names[index % len(names)])(*args, **kwargs)

def subclassed(cls, namespace, args):
    """The methods read and write the instance through its class's lookups."""
    obj = type("Sub", (cls,), namespace)(*args)
    for f in FUNCS:
        try:
            f(obj)
        except Exception:
            pass

def set_every_attribute(obj, values, deletes):
    for i, name in enumerate(dir(obj) + PARAMS):
        try:
            if deletes >> (i % 64) & 1:
                delattr(obj, name)
            else:
                setattr(obj, name, values[i % len(values)])
        except Exception:
            pass
    probe(obj)

def pickled(obj, protocol):
    return pickle.loads(pickle.dumps(obj, protocol))

CODES = st.sampled_from([f.__code__ for f in FUNCS])
GLOBALS = st.sampled_from([quorvane.__dict__, {}]) | st.dictionaries(NAMES, VALUES, max_size=3)
STEPS = {
    # Each: a strategy for (operation, arguments).
    "calls": st.tuples(st.just(call), st.sampled_from(CALLABLES), ARGS, KWARGS)
    | st.tuples(st.just(bind), st.sampled_from(FUNCS), VALUES, VALUES, ARGS)
    | st.tuples(st.just(call_attribute), objects, st.integers(0, 999), ARGS, KWARGS)
    | st.tuples(st.just(subclassed), st.sampled_from(CLASSES), KWARGS, ARGS),
    "clones": st.tuples(st.just(clone), CODES, GLOBALS, st.none() | st.text(max_size=4),
                        st.none() | st.tuples(VALUES), ARGS, KWARGS)
    | st.tuples(st.just(exec), CODES, GLOBALS),
    "copies": st.tuples(st.sampled_from([copy.copy, copy.deepcopy]), objects)
    | st.tuples(st.just(pickled), objects, st.integers(0, pickle.HIGHEST_PROTOCOL)),
    "weakrefs-and-cycles": st.tuples(st.sampled_from([weak, cycle]), objects, VALUES),
    "attributes": st.tuples(st.just(set_every_attribute), objects,
                            st.lists(VALUES, min_size=1, max_size=6), st.integers(0, 2**64 - 1)),
    "introspection": st.tuples(st.just(probe), objects),
}

def run(steps):
    """Runs the steps in a fork; returns how it ended and the steps reached."""
    reached, done = os.pipe()
    # The fork's collections then walk only what the example made, not the
    # whole of LangChain (and do not copy every page that holds an object).
    gc.freeze()
    pid = os.fork()
    if pid == 0:
        os.close(reached)
        signal.alarm(20)  # a hang fails the example as SIGALRM
        sys.stdout = io.StringIO()  # the methods print; keep the pipe quiet
        for i, (op, *args) in enumerate(steps):
            os.write(done, b"%d\n" % i)
            try:
                op(*args)
            except BaseException:
                pass
        os.write(done, b"%d\n" % len(steps))
        del steps, op, args
        gc.collect()
        os._exit(0)
    os.close(done)
    with os.fdopen(reached, "rb") as f:
        progress = f.read().split()
    _, status = os.waitpid(pid, 0)
    return status, int(progress[-1]) if progress else -1

def shown(value):
    try:
        return repr(value)[:200]
    except Exception as e:
        return "<%s, repr raises %s>" % (type(value).__name__, type(e).__name__)

def explore(family):
    """Returns how many examples ran and the shrunk crash, if there was one."""
    ran = []

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    # Calls between the steps use whatever state the steps left.
    @given(st.lists(STEPS[family] | STEPS["calls"], min_size=1, max_size=4),
           st.lists(VALUES | st.sampled_from(SPECIAL[-5:]), max_size=4))
    def test(steps, results):
        RESULTS[:] = results
        status, last = run(steps)
        ran.append(status)
        assert status == 0, "%s %s of %s (dependencies gave %s)" % (
            "signal %d" % os.WTERMSIG(status) if os.WIFSIGNALED(status)
            else "exit status %d" % os.WEXITSTATUS(status),
            "in the collection after the steps" if last == len(steps) else "at step %d" % last,
            [[s[0].__name__] + [shown(a) for a in s[1:]] for s in steps], shown(results))

    try:
        test()
    except AssertionError as e:
        return {"examples": len(ran), "crash": str(e)}
    return {"examples": len(ran), "crash": None}

emit(**{family: explore(family) for family in families})
'''

FAMILIES = ["calls", "clones", "copies", "weakrefs-and-cycles", "attributes", "introspection"]
EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "40"))


@pytest.fixture(scope="module")
def explored():
    # One child for every family: importing LangChain costs more than the examples.
    return run_child(CHILD, argv=[str(EXAMPLES), *FAMILIES], timeout=1800)


@pytest.mark.parametrize("family", FAMILIES)
def test_generic_operations_never_crash(explored, family):
    assert explored[family]["crash"] is None, explored[family]["crash"]
    assert explored[family]["examples"] == EXAMPLES
