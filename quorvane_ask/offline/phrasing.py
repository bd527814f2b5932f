"""Phrasing the answer: values as the answer shows them, and conditions as
the answer restates them, so that every answer says what was computed.
"""

from __future__ import annotations

import datetime
from typing import Any

from .sql import Cond


# Lists longer than this are answered with their length and their first items;
# a count or sum per group is given whole up to a larger number of groups.
LIST_CAP = 20
GROUP_CAP = 100


def show(value: Any) -> str:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode(errors="replace")
    if value is None:
        return "none"
    return str(value)


def describe_cond(cond: Cond) -> str:
    """A condition as the answer restates it ("city Hamburg", "price > 100")."""
    if cond.kind == "related":
        return f"{'with no' if cond.op == 'none' else 'with'} {cond.related}"
    if cond.kind == "null":
        return f"with no {cond.column.name}"
    name = cond.column.name
    v = [show(x) for x in cond.values]
    if cond.op == "in":
        return f"{name} {' or '.join(v)}"
    if cond.op == "between":
        return f"{name} between {v[0]} and {v[1]}"
    if cond.op == "range":
        return f"{name} in {cond.values[2]}"
    if cond.op == "=":
        return f"{name} {v[0]}"
    if cond.op == "<>":
        return f"{name} other than {v[0]}"
    return f"{name} {cond.op} {v[0]}"
