"""Writing SQL: conditions along join paths as nested ``IN`` subqueries,
with every identifier and literal quoted for the dialect in one place,
and the one query that looks the question's unknown words up in the data.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

from .decline import Unmappable
from .observations import Column
from .schema import Schema


@dataclass
class Cond:
    table: str
    column: Optional[Column]  # None: a condition on related rows (see kind)
    op: str                   # =, <>, >, >=, <, <=, between, in, none, some, year, month
    values: list = field(default_factory=list)
    kind: str = "value"       # value | date | number | related
    related: Optional[str] = None  # the table whose rows must (not) exist


class Sql:
    """Writes conditions along join paths as nested IN subqueries, which
    never repeat a row of the table being counted or summed."""

    def __init__(self, schema: Schema):
        self.s = schema
        self.n = 0

    def alias(self) -> str:
        self.n += 1
        return f"t{self.n}"

    def col(self, alias: str, column: str) -> str:
        return f"{alias}.{self.s.ident(column)}"

    def local(self, alias: str, cond: Cond) -> str:
        if cond.kind == "related":
            hops = self.s.path(cond.table, cond.related)
            if not hops:
                raise Unmappable(f"the question relates {cond.related} to itself")
            inner = self.via(alias, hops, lambda a: "")
            return f"NOT ({inner})" if cond.op == "none" else inner
        if cond.op == "null":
            return f"{self.col(alias, cond.column.name)} IS NULL"
        c = self.col(alias, cond.column.name)
        lit = [self.s.literal(v) for v in cond.values]
        if cond.op == "in":
            return f"{c} IN ({', '.join(lit)})"
        if cond.op in ("between", "range"):
            if cond.op == "range":
                return f"{c} >= {lit[0]} AND {c} < {lit[1]}"
            return f"{c} BETWEEN {lit[0]} AND {lit[1]}"
        return f"{c} {cond.op} {lit[0]}"

    def via(self, alias: str, hops: list[tuple], inner) -> str:
        """Rows of `alias` linked along `hops` to rows that satisfy `inner`."""
        if not hops:
            return inner(alias)
        (_, col, nxt, nxt_col), rest = hops[0], hops[1:]
        a = self.alias()
        cond = self.via(a, rest, inner)
        # NULL keys are left out, or NOT IN would match nothing.
        cond = f"{self.col(a, nxt_col)} IS NOT NULL" + (f" AND {cond}" if cond else "")
        return (f"{self.col(alias, col)} IN (SELECT {self.col(a, nxt_col)} FROM "
                f"{self.s.ident(nxt)} {a} WHERE {cond})")

    def where(self, table: str, alias: str, conds: list[Cond]) -> list[str]:
        out = []
        for cond in conds:
            if cond.kind == "related" and cond.related == table and cond.op == "some":
                continue  # "revenue of orders" in the orders themselves
            if cond.table == table:
                out.append(self.local(alias, cond))
            else:
                hops = self.s.path(table, cond.table)
                out.append(self.via(alias, hops, lambda a, c=cond: self.local(a, c)))
        return out


def conj(parts: list[str]) -> str:
    return (" WHERE " + " AND ".join(parts)) if parts else ""


def probe_sql(schema: Schema, values: list[str]) -> str:
    """One query: which text columns hold each value, and how often."""
    parts = []
    for t in schema.tables.values():
        for c in t.columns:
            if not c.text:
                continue
            for v in values:
                parts.append(f"SELECT {schema.literal(v)} AS v, {schema.literal(t.name)} AS t, "
                             f"{schema.literal(c.name)} AS c FROM {schema.ident(t.name)} WHERE "
                             f"{schema.ident(c.name)} = {schema.literal(v)}")
    if not parts:
        return ""
    return "SELECT DISTINCT v, t, c FROM (" + " UNION ALL ".join(parts) + ") found"
