"""Facts about the built shared object that its loader relies on."""

import re
import shutil
import subprocess

import pytest

import quorvane

pytestmark = pytest.mark.skipif(
    shutil.which("readelf") is None or shutil.which("nm") is None,
    reason="binutils not installed",
)


def _run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def test_needed_libraries_are_only_the_c_runtime():
    dynamic = _run("readelf", "-d", quorvane.__file__)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed, dynamic
    assert set(needed) <= {"libc.so.6", "libpthread.so.0"}, needed
    assert not any("python" in lib or "stdc++" in lib for lib in needed)


def test_exports_exactly_the_two_entry_points():
    symbols = _run("nm", "-D", "--defined-only", quorvane.__file__).split("\n")
    exported = {line.split()[-1] for line in symbols if line.strip()}
    assert exported == {"PyInit_quorvane", "module_is_main_quorvane"}


def test_python_symbols_are_left_for_the_interpreter():
    undefined = _run("nm", "-D", "--undefined-only", quorvane.__file__)
    assert "PyType_Ready" in undefined
    # Nothing from the C++ runtime: no versioned libstdc++ symbols, no new.
    assert "GLIBCXX" not in undefined and "CXXABI" not in undefined
    assert "_Znw" not in undefined and "_Zdl" not in undefined
