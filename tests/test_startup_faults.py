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
