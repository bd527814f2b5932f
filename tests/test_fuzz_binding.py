"""Argument binding under generated call shapes, compared with the binding
model of test_binding on every call path that reaches the methods."""

import contextlib
import functools
import io
import os
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

import quorvane
from _helpers import FILE, module_entries
from test_binding import (METHODS, FakeDatabase, FakeFactory, Named, Token,
                          expected_binding, observe, prepare, untouched)

try:
    import _testcapi
except ImportError:
    _testcapi = None

EXAMPLES = int(os.environ.get("QUORVANE_FUZZ_EXAMPLES", "300"))
PARAMS = sorted({p for m in METHODS.values() for p in m.params})
OTHER_NAMES = ["port", "", "Query", "query ", "caf\u00e9", "\udc80", "k" * 300]


class Hostile(str):
    """A keyword name whose Python-level comparisons and conversions all fail:
    binding must compare and show it by its text alone."""
    def __hash__(self):
        return hash(("hostile", str.__str__(self)))

    def _refuse(self, *args):
        raise AssertionError("binding ran Python code of a keyword name")

    __eq__ = __ne__ = __str__ = __format__ = _refuse

    def __repr__(self):
        return f"Hostile({str.__str__(self)!r})"


class Opaque:
    """A non-str keyword whose comparison fails."""

    def __eq__(self, other):
        raise AssertionError("binding compared a non-str keyword")

    __hash__ = object.__hash__


def copy_of(name):
    return name[:1] + name[1:]  # equal text, a new object for two or more characters


def spelled(name):
    """One name in every kind of str object that binding must accept."""
    return st.sampled_from([name, copy_of(name), Named(name), Hostile(name)])


def keyword_names(m):
    """Any keyword: mostly the method's own parameters, in every spelling."""
    return st.one_of(st.sampled_from(m.params).flatmap(spelled),
                     st.sampled_from(OTHER_NAMES).map(Hostile),
                     st.sampled_from(PARAMS + OTHER_NAMES),
                     st.sampled_from([7, b"query", None]) | st.builds(Opaque))


@st.composite
def shapes(draw, m):
    """Random shapes, and shapes that fill the rest of the parameters by
    keyword in any order, perhaps with a stray or a repeated keyword."""
    if draw(st.booleans()):
        nargs = draw(st.integers(0, len(m.params) + 1))
        return nargs, draw(st.lists(keyword_names(m), max_size=len(m.params) + 1))
    nargs = draw(st.integers(0, len(m.params)))
    rest = draw(st.permutations(m.params[nargs:]))
    names = [draw(spelled(p)) for p in rest[:draw(st.integers(0, len(rest)))]]
    if draw(st.booleans()):
        names.insert(draw(st.integers(0, len(names))), draw(keyword_names(m)))
    if names and draw(st.booleans()):
        # A repeated name (possible only in a fast call), first in another spelling.
        i = draw(st.integers(0, len(names) - 1))
        if isinstance(names[i], str):
            names.insert(draw(st.integers(0, i)), draw(spelled(text(names[i]))))
    return nargs, names


def text(name):
    """What the model sees: the exact text of a str name, other keys as they are."""
    return str.__str__(name) if isinstance(name, str) else name


def content_key(name):
    return ("str", text(name)) if isinstance(name, str) else ("obj", id(name))


def chosen(bound, kwnames):
    """The model finds keywords by text; binding looks for the parameter's own
    (interned) name object first, which differs only among equal duplicates."""
    def pick(p, slot):
        same = [j for j, k in enumerate(kwnames) if k is sys.intern(p)]
        return ("kw", same[0]) if isinstance(slot, tuple) and same else slot
    return {p: pick(p, slot) for p, slot in bound.items()}


def invoke(form, m, obj, pos, names, values):
    if form in ("vectorcall", "vectorcall-bound"):
        target, args = (m.func, pos) if form == "vectorcall" else (getattr(obj, m.name), pos[1:])
        return _testcapi.pyobject_vectorcall(target, (*args, *values), tuple(names) or None)
    kwargs = dict(zip(names, values))
    if form == "generic":
        return m.func(*pos, **kwargs)
    if form == "bound":
        return getattr(obj, m.name)(*pos[1:], **kwargs)
    if form == "partial":
        return functools.partial(m.func, pos[0])(*pos[1:], **kwargs)
    if form == "construct":
        return m.cls(*pos[1:], **kwargs)
    if form == "fastcalldict":
        return _testcapi.pyobject_fastcalldict(m.func, tuple(pos), kwargs or None)
    if form == "vectorcall-dict":
        return _testcapi.pyvectorcall_call(m.func, tuple(pos), kwargs)
    # Keyword names written in source: interned constants of a CALL.
    ns = {"obj": obj, **{f"p{i}": v for i, v in enumerate(pos)},
          **{f"k{j}": v for j, v in enumerate(values)}}
    args = [f"p{i}" for i in range(1, len(pos))] + [f"{k}=k{j}" for j, k in enumerate(names)]
    return eval(f"obj.{m.name}({', '.join(args)})", ns)


def forms_for(m, nargs, names):
    unique = len({content_key(k) for k in names}) == len(names)
    forms = ["generic"] if unique else []
    if _testcapi is not None:
        forms += ["vectorcall"] + (["fastcalldict", "vectorcall-dict"] if unique else [])
    if nargs >= 1:
        forms += (["bound", "partial"] if unique else []) + (
            ["vectorcall-bound"] if _testcapi is not None else [])
        if unique and m.name == "__init__":
            forms.append("construct")
        if unique and all(type(k) is str and k.isidentifier() for k in names):
            forms.append("source")
    return forms


@contextlib.contextmanager
def fakes():
    ns = types.SimpleNamespace(db=FakeDatabase(), factory=FakeFactory())
    saved = quorvane.SQLDatabase, quorvane.create_sql_agent
    quorvane.SQLDatabase, quorvane.create_sql_agent = ns.db, ns.factory
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield ns
    finally:
        quorvane.SQLDatabase, quorvane.create_sql_agent = saved


def check(m, form, nargs, names):
    obj = prepare(m)
    pos = [obj] + [Token(f"pos{i}") for i in range(1, nargs)] if nargs else []
    values = [obj if isinstance(k, str) and text(k) == "self" else Token(f"kw{j}")
              for j, k in enumerate(names)]
    outcome, detail = expected_binding(m, nargs, [text(k) for k in names])
    if form not in ("vectorcall", "vectorcall-bound", "source") and not all(
            isinstance(k, str) for k in names):
        # The generic protocol refuses such a dict before the method is entered.
        outcome, detail = "refused", "keywords must be strings"
    with fakes() as fake:
        if outcome == "ok":
            result = invoke(form, m, obj, pos, names, values)
            expected = {p: pos[s] if isinstance(s, int) else values[s[1]] if isinstance(s, tuple)
                        else m.defaults[p] for p, s in chosen(detail, names).items()}
            if form == "construct":
                expected["self"] = obj = result
                result = None
            assert observe(m, obj, result, fake) == expected, form
            return
        with pytest.raises(TypeError) as info:
            invoke(form, m, obj, pos, names, values)
        assert str(info.value) == detail, form
        entries = [] if outcome == "refused" else [(FILE, m.tbname, m.head)]
        assert module_entries(info.value) == entries, form
        assert untouched(m, obj, fake), form


@pytest.mark.parametrize("mid", METHODS)
@settings(max_examples=EXAMPLES, deadline=None)
@given(data=st.data())
def test_binding_matches_the_model(mid, data):
    # Every call path that can carry the shape, each against the same model.
    m = METHODS[mid]
    nargs, names = data.draw(shapes(m), "shape")
    for form in forms_for(m, nargs, names):
        check(m, form, nargs, names)
