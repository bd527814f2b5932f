"""A call cycle made of the methods alone is C at every level, where Python's
own recursion check never looks: it must end in RecursionError, not in a
stack overflow. Each shape runs in a child, so a crash fails only its case."""

import pytest

from _helpers import FILE, run_child, write_standins

CYCLE = """
import functools, types
limit = int(sys.argv[1])
if limit:
    sys.setrecursionlimit(limit)
import quorvane
from quorvane import AgentRunner
r = AgentRunner.__new__(AgentRunner)
def subclass(**namespace):
    cls = type("Sub", (AgentRunner,), namespace)
    return cls.__new__(cls)
try:
    %s
    emit(raised=None)
except RecursionError as exc:
    found = entries(exc)
    # Once unwound, the same method runs as usual.
    r.agent_runner = types.SimpleNamespace(run=str.upper)
    emit(raised=type(exc).__name__, innermost=found[-1], outer=sorted(set(map(tuple, found[:-1]))),
         depth=len(found), after=r.run("q"))
"""

RUN, INIT = "quorvane.AgentRunner.run", "quorvane.AgentRunner.__init__"

# shape: (statement, the entry of the call that is refused, the entry of each level above it)
SHAPES = {
    "agent is the runner": ("r.agent_runner = r; r.run('q')", (RUN, 83), (RUN, 85)),
    "agent's run is a partial": (
        "r.agent_runner = types.SimpleNamespace(run=functools.partial(AgentRunner.run, r)); "
        "r.run('q')", (RUN, 83), (RUN, 85)),
    "run as __getattribute__": ("subclass(__getattribute__=AgentRunner.run).run",
                                (RUN, 83), (RUN, 84)),
    "run as __getattr__": ("subclass(__getattr__=AgentRunner.run).missing", (RUN, 83), (RUN, 84)),
    "__init__ as __setattr__": ("subclass(__setattr__=AgentRunner.__init__).x = 1",
                                (INIT, 56), (INIT, 58)),
}


@pytest.mark.parametrize("limit", [0, 60], ids=["default-limit", "limit-60"])
@pytest.mark.parametrize("shape", SHAPES)
def test_call_cycle_raises_recursion_error(tmp_path, shape, limit):
    statement, innermost, outer = SHAPES[shape]
    out = run_child(CYCLE % statement, path=[write_standins(tmp_path)], argv=[str(limit)])
    assert out["raised"] == "RecursionError"
    assert out["innermost"] == [FILE, *innermost]
    assert out["outer"] == [[FILE, *outer]] and out["depth"] > 50
    assert out["after"] == "Q"
