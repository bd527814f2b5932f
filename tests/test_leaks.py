"""Leak check, quick setting: every path of every method, driven a hundred
times per sample, leaves nothing behind. The long run is
`python tests/leakcheck.py --iterations 10000`."""

import ctypes
import sys

import pytest

import leakcheck


def test_every_path_leaves_nothing_behind():
    growth = leakcheck.run(iterations=100, samples=3)
    assert leakcheck.leaks(growth) == {}


KEPT = []
C = leakcheck.DatabaseConnector(*leakcheck.CREDS)


def keeps_results():
    with leakcheck.bound():
        KEPT.append(C.getdbinstance())


def keeps_a_reference():
    with leakcheck.bound():
        C.connect()
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(leakcheck.LLM))


@pytest.fixture(scope="module")
def planted_growth():
    try:
        return leakcheck.leaks(leakcheck.run(iterations=50, samples=3, paths=[
            ("keeps_results", keeps_results), ("keeps_a_reference", keeps_a_reference)]))
    finally:
        KEPT.clear()


# The check itself must be able to fail: each planted leak shows in the
# measures that it should show in.
@pytest.mark.parametrize("measures", [
    {"blocks", "tracemalloc", f"objects[{leakcheck.Database.__module__}.Database]"},
    {"refs[llm]"},
], ids=["kept results", "kept reference"])
def test_planted_leak_is_found(planted_growth, measures):
    if not sys.getallocatedblocks():
        measures = measures - {"blocks"}  # PYTHONMALLOC=malloc counts no blocks
    assert measures <= planted_growth.keys(), planted_growth
