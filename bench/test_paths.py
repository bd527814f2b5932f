"""The plain-Python classes must do what the module does on every measured
path, or the ratios compare different work. Run with `pytest bench/`."""

import contextlib
import io

import pytest

import paths

MODS = {impl: paths.load(impl) for impl in paths.IMPLS}


def plain(value):
    """A value with the implementation taken out, for comparing the two."""
    if isinstance(value, BaseException):
        return type(value), str(value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if type(value).__name__ in ("DatabaseConnector", "AgentRunner"):
        return type(value).__name__, plain(vars(value))
    return value


def outcome(path, impl):
    mod = MODS[impl]
    with contextlib.redirect_stdout(io.StringIO()):
        ns = paths.namespace(path, mod)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        if path.raises:
            with pytest.raises(TypeError):
                exec(path.stmt, ns)
            result = None
        else:
            result = eval(path.stmt, ns)
    return plain(result), out.getvalue(), plain(ns["c"]), plain(ns["r"])


@pytest.mark.parametrize("path", paths.PATHS, ids=lambda p: p.name)
def test_reference_matches_module(path):
    module, reference = outcome(path, "quorvane"), outcome(path, "reference")
    assert module == reference


def test_stand_ins_are_reached():
    # A path that silently fell back to LangChain would measure nothing of ours.
    expect = {"connect_ok": "Connection successful",
              "connect_raise": "Access denied",
              "connect_missing": "All database credentials must be provided"}
    for name, text in expect.items():
        result, *_ = outcome(paths.BY_NAME[name], "quorvane")
        assert text in result["message"]
    result, printed, *_ = outcome(paths.BY_NAME["agent_init_raise"], "quorvane")
    assert printed == "Error occurred: toolkit rejected\n"
    assert outcome(paths.BY_NAME["run_agent"], "quorvane")[0] == paths.QUERY
