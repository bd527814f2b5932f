"""Facts about the built shared object that its loader relies on."""

import shutil

import pytest

import elfcheck
import quorvane

pytestmark = pytest.mark.skipif(
    shutil.which("readelf") is None or shutil.which("nm") is None,
    reason="binutils not installed",
)


def test_needed_libraries_are_only_the_c_runtime():
    assert elfcheck.needed_problems(quorvane.__file__) == []


def test_exports_exactly_the_two_entry_points():
    assert elfcheck.export_problems(quorvane.__file__) == []


def test_python_symbols_are_left_for_the_interpreter():
    assert elfcheck.import_problems(quorvane.__file__) == []
