"""Writing SQL: conditions along join paths as nested ``IN`` subqueries,
with every identifier and literal quoted for the dialect in one place,
and the one query that looks the question's unknown words up in the data.
"""

from __future__ import annotations

import datetime
import decimal
import re
from dataclasses import dataclass, field
from typing import Any, Optional

from .decline import Unmappable
from .observations import Column
from .schema import Schema
from .words import PATTERN_PROBE

_PLAIN_IDENT_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


@dataclass
class Against:
    """The other side of a comparison that is no constant: `factor` times
    a column of the same row or of the one row it points at (`via`, the
    foreign key and the key it references), or times the one value of an
    uncorrelated subquery (`sql`, an average over all rows)."""
    factor: decimal.Decimal
    wording: str                      # as the answer restates it
    column: Optional[Column] = None
    via: Optional[tuple[str, str]] = None
    sql: Optional[str] = None


@dataclass
class Cond:
    table: str
    column: Optional[Column]  # None: a condition on related rows (see kind)
    op: str                   # =, <>, >, >=, <, <=, between, in, none, some, year, month
    values: list = field(default_factory=list)
    kind: str = "value"       # value | date | number | related
    related: Optional[str] = None  # the table whose rows must (not) exist
    # Conditions on those related rows themselves: "customers without
    # payments in 2003" have no payment dated 2003, which is not the same
    # as having a payment in 2003 and no payment at all.
    inner: list = field(default_factory=list)
    # The table named right after the value it tests ("a Horror film"):
    # the rows that value qualifies.
    near: Optional[str] = None
    against: Optional[Against] = None  # compared with this rather than `values`


class Sql:
    """Writes the plans' statements for one schema and its dialect.

    Conditions along join paths become nested IN subqueries, which never
    repeat a row of the table being counted or summed; aliases t1, t2, ...
    are numbered per plan."""

    def __init__(self, schema: Schema, plain: bool = False):
        self.s = schema
        self.n = 0
        # Whether joins may take the key that is no role's over one that is
        # (see Schema.path): so when the question names no role.
        self.plain = plain

    def ident(self, name: str) -> str:
        if _PLAIN_IDENT_RE.match(name):
            return name
        q = self.s.quote
        return q + name.replace(q, q + q) + q

    def literal(self, value: Any) -> str:
        if isinstance(value, (int, decimal.Decimal)):
            return str(value)
        if isinstance(value, datetime.date):
            return "'" + value.isoformat() + "'"
        value = str(value)
        if self.s.backslash_escapes:
            value = value.replace("\\", "\\\\")
        return "'" + value.replace("'", "''") + "'"

    def _mysql(self) -> bool:
        # MySQL and MariaDB are the dialects read with backslash escapes.
        return self.s.backslash_escapes

    def alias(self) -> str:
        self.n += 1
        return f"t{self.n}"

    def col(self, alias: str, column: str) -> str:
        return f"{alias}.{self.ident(column)}"

    def local(self, alias: str, cond: Cond) -> str:
        if cond.kind == "related":
            hops = self.s.path(cond.table, cond.related, self.plain)
            if not hops:
                raise Unmappable(f"the question relates {cond.related} to itself")
            inner = self.via(alias, hops, lambda a: " AND ".join(
                self.where(cond.related, a, cond.inner)))
            return f"NOT ({inner})" if cond.op == "none" else inner
        if cond.kind in ("count", "money"):
            return self.measured(cond.table, alias, cond)  # of a related row
        if cond.op == "null":
            return f"{self.col(alias, cond.column.name)} IS NULL"
        if cond.op == "present":
            # An empty text holds no more than a NULL does.
            c = self.col(alias, cond.column.name)
            return f"{c} IS NOT NULL" + (f" AND {c} <> ''" if cond.column.text else "")
        c = self.col(alias, cond.column.name)
        if cond.against is not None:
            return f"{c} {cond.op} {self.other_side(alias, cond.column.table, cond.against)}"
        lit = [self.literal(v) for v in cond.values]
        if cond.op == "like":
            # The patterns escape their own % and _ with "!", which no
            # dialect treats specially inside a string.
            alts = [f"{c} LIKE {p} ESCAPE '!'" for p in lit]
            return alts[0] if len(alts) == 1 else "(" + " OR ".join(alts) + ")"
        if cond.op == "word":
            if not self._mysql():
                raise Unmappable("matching a whole word needs regular expressions, which the "
                                 "offline model writes for MySQL and MariaDB only")
            alts = [f"{c} REGEXP {p}" for p in lit]
            return alts[0] if len(alts) == 1 else "(" + " OR ".join(alts) + ")"
        if cond.op in ("member", "not member"):
            if not self._mysql():
                raise Unmappable(f"{cond.column.name} is a set of values, which the offline "
                                 "model reads in MySQL and MariaDB only")
            # A row with no members at all (NULL) holds none of them; with
            # several members asked for ("A or B"), any one of them.
            alts = [f"COALESCE(FIND_IN_SET({p}, {c}), 0) {'>' if cond.op == 'member' else '='} 0"
                    for p in lit]
            return alts[0] if len(alts) == 1 else "(" + " OR ".join(alts) + ")"
        if cond.op == "weekday":
            if not self._mysql():
                raise Unmappable("the day of the week of a date is written for MySQL and "
                                 "MariaDB only")
            return f"DAYOFWEEK({c}) = {int(cond.values[0])}"
        if cond.op == "digit":
            return f"{c} REGEXP '[0-9]'" if self._mysql() else " OR ".join(
                f"{c} LIKE '%{d}%'" for d in range(10)).join("()")
        if cond.op == "in":
            return f"{c} IN ({', '.join(lit)})"
        if cond.op in ("between", "range"):
            if cond.op == "range":
                return f"{c} >= {lit[0]} AND {c} < {lit[1]}"
            return f"{c} BETWEEN {lit[0]} AND {lit[1]}"
        return f"{c} {cond.op} {lit[0]}"

    def other_side(self, alias: str, table: str, other: Against) -> str:
        """The value a row of `table` (named `alias`) is compared with."""
        if other.sql is not None:
            value = f"({other.sql})"
        elif other.via is None:
            value = self.col(alias, other.column.name)
        else:
            # The one row the key points at, as a scalar subquery.
            fk, key = other.via
            a = self.alias()
            value = (f"(SELECT {self.col(a, other.column.name)} FROM "
                     f"{self.ident(other.column.table)} {a} WHERE {self.col(a, key)} = "
                     f"{self.col(alias, fk)})")
        return value if other.factor == 1 else f"{other.factor} * {value}"

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
                f"{self.ident(nxt)} {a} WHERE {cond})")

    def where(self, table: str, alias: str, conds: list[Cond]) -> list[str]:
        out = []
        # Conditions on one other table hold for the same row of it: "films
        # with Penelope Guiness" is one actor with both names, not an actor
        # called Penelope and another called Guiness.
        others: dict[Optional[str], tuple[int, list[Cond]]] = {}
        for cond in conds:
            if cond.kind == "related" and cond.related == table and cond.op == "some":
                continue  # "revenue of orders" in the orders themselves
            if cond.table == table:
                out.append(self.local(alias, cond))
            else:
                if cond.table not in others:
                    others[cond.table] = (len(out), [])
                    out.append("")  # its place, filled below
                others[cond.table][1].append(cond)
        for other, (at, group) in others.items():
            hops = self.s.path(table, other, self.plain)
            out[at] = self.via(alias, hops, lambda a, cs=group: " AND ".join(
                self.local(a, c) if len(cs) == 1 else f"({self.local(a, c)})" for c in cs))
        return out

    def measured(self, table: str, alias: str, cond: Cond) -> str:
        """A condition on the count or the money of the rows related to `alias`
        ("customers with more than 3 orders")."""
        expr = self.measure(table, alias, "count" if cond.kind == "count" else "money",
                            cond.related, [])
        if cond.against is not None:
            return f"{expr} {cond.op} {self.other_side(alias, table, cond.against)}"
        if cond.op == "between":
            return f"{expr} BETWEEN {cond.values[0]} AND {cond.values[1]}"
        return f"{expr} {cond.op} {cond.values[0]}"

    # The statements of the plans.  `where` holds the conditions already
    # written for the table's rows (named by the table itself).
    def count_rows(self, table: str, where: list[str]) -> str:
        return f"SELECT COUNT(*) FROM {self.ident(table)}{conj(where)}"

    def count_distinct(self, table: str, column: Column, where: list[str]) -> str:
        return (f"SELECT COUNT(DISTINCT {self.ident(column.name)}) FROM {self.ident(table)}"
                f"{conj(where)}")

    def aggregate(self, table: str, alias: str, what: str, fn: str, column: Optional[Column],
                  where: list[str]) -> str:
        """fn of a column, or the sum of the money or of the units of the rows."""
        if what == "money":
            expr = f"SUM({self.money(alias)})"
        elif what == "qty":
            expr = f"SUM({self.col(alias, self.s.line_items[1].name)})"
        else:
            expr = f"{fn.upper()}({self.ident(column.name)})"
        return f"SELECT {expr} FROM {self.ident(table)}{conj(where)}"

    def per_order(self, table: str, fn: str, per: str, where: list[str]) -> str:
        """fn of the value `per` of each order, and how many orders have one."""
        func = {"avg": "AVG", "sum": "SUM", "max": "MAX", "min": "MIN"}[fn]
        return (f"SELECT {func}(v), COUNT(v) FROM (SELECT {per} AS v FROM "
                f"{self.ident(table)}{conj(where)}) per_row")

    def distinct_values(self, table: str, column: Column, where: list[str],
                        descending: bool = False) -> str:
        c = self.ident(column.name)
        return (f"SELECT DISTINCT {c} FROM {self.ident(table)}"
                f"{conj(where + [f'{c} IS NOT NULL'])} ORDER BY {c}{' DESC' * descending}")

    def rows(self, table: str, columns: list, where: list[str],
             order: Optional[tuple] = None) -> str:
        """Rows named by their label, with `columns`, in order.  A column is
        the table's own, ("name", first, last) of a person, or (hops, column)
        of a row it points at along the
        hops (None: its label), joined so that a row pointing at none keeps
        its place.
        `order`: (a column of the table, DESC or ASC) that sorts the rows
        before their names do."""
        alias = self.ident(table)
        joins, at = [], {(): alias}
        exprs = [self.label(table, alias)]
        aliased: list[int] = []
        for c in columns:
            if isinstance(c, Column):
                exprs.append(self.col(alias, c.name))
                continue
            if c[0] == "name":
                # A first and a last name as one; their padding is no part of either.
                exprs.append(f"CONCAT_WS(' ', TRIM({self.col(alias, c[1].name)}), "
                             f"TRIM({self.col(alias, c[2].name)}))")
                continue
            hops, col = c
            for k in range(len(hops)):
                path = tuple(hops[:k + 1])
                if path not in at:
                    _, from_col, nxt, nxt_col = hops[k]
                    a = self.alias()
                    joins.append(f" LEFT JOIN {self.ident(nxt)} {a} ON "
                                 f"{self.col(a, nxt_col)} = {self.col(at[path[:-1]], from_col)}")
                    at[path] = a
            # No column: the row pointed at is named by its label.
            exprs.append(self.col(at[tuple(hops)], col.name) if col is not None else
                         self.label(hops[-1][2], at[tuple(hops)]))
            aliased.append(len(exprs) - 1)
        # A joined table's column may share its name with one of the table's
        # own (two "id"s); rows read by name would keep only one of them.
        names = ", ".join(f"{e} AS j{k}" if k in aliased else e for k, e in enumerate(exprs))
        first = f"{self.col(alias, order[0].name)} {order[1]}, " if order is not None else ""
        return (f"SELECT {names} FROM {alias}{''.join(joins)}{conj(where)} "
                f"ORDER BY {first}{', '.join(exprs)}")

    def per_row(self, table: str, measures: str, conds: list[Cond], order: str,
                first: Optional[str] = None) -> str:
        """A measure for each row of `table` (alias g), named by its label,
        in `order` (DESC: the largest first), or sorted by `first` (an
        expression over g and its direction) where the question says so."""
        where = conj(self.where(table, "g", conds))
        name = self.label(table, "g")
        by = f"{first}, {name}" if first else f"v {order}, {name}"
        return (f"SELECT {name}, {measures} AS v FROM {self.ident(table)} g"
                f"{where} ORDER BY {by}")

    def per_value(self, table: str, column: Column, measure: str, conds: list[Cond],
                  order: str, having: Optional[list[Cond]] = None,
                  first: Optional[str] = None) -> str:
        """A measure for each value of `column` (g.k), in `order`, or sorted
        by `first` (over g.k and v); with `having`, only the values whose
        measure passes those conditions."""
        where = conj(self.where(table, "g0", conds) +
                     [f"{self.col('g0', column.name)} IS NOT NULL"])
        by = f"{first}, g.k" if first else f"v {order}, g.k"
        inner = (f"SELECT g.k, {measure} AS v FROM (SELECT DISTINCT "
                 f"{self.col('g0', column.name)} AS k FROM {self.ident(table)} g0{where}) g")
        if not having:
            return f"{inner} ORDER BY {by}"
        kept = conj([f"g.v BETWEEN {c.values[0]} AND {c.values[1]}" if c.op == "between"
                     else f"g.v {c.op} {c.values[0]}" for c in having])
        return f"SELECT g.k, g.v FROM ({inner}) g{kept} ORDER BY {by}"

    def ranked(self, table: str, alias: str, expr: str, also: Optional[Column],
               where: list[str], op: str) -> str:
        """The rows of `table` that have a value `expr`, named by their label,
        ranked by it (ties by name), with the column `also` asked of them."""
        name = self.label(table, alias)
        extra = f", {self.col(alias, also.name)}" if also is not None else ""
        return (f"SELECT {name}, {expr} AS v{extra} FROM {alias}"
                f"{conj(where + ['(' + expr + ') IS NOT NULL'])} ORDER BY v "
                f"{'DESC' if op == 'max' else 'ASC'}, {name}")

    @staticmethod
    def period(date: str, period: str) -> str:
        """The month ("2024-03") or the year of a date, as the group's key."""
        if period == "year":
            return f"YEAR({date})"
        return f"CONCAT(YEAR({date}), '-', LPAD(MONTH({date}), 2, '0'))"

    def period_measure(self, alias: str, what: str, fn: Optional[str],
                       column: Optional[Column]) -> str:
        if what == "count":
            return "COUNT(*)"
        if what == "money":
            return f"SUM({self.money(alias)})"
        if what == "qty":
            return f"SUM({self.col(alias, self.s.line_items[1].name)})"
        return f"{fn.upper()}({self.col(alias, column.name)})"

    def per_period(self, table: str, alias: str, join: Optional[tuple], key: str, measure: str,
                   where: list[str], order: str) -> str:
        """A measure per period of the rows of `table`; `join` (table, alias,
        foreign key, key) brings in the header whose date the rows go by,
        one header per row, so no row is counted twice."""
        src = f"{self.ident(table)} {alias}"
        if join is not None:
            jt, ja, fk, pk = join
            src += f" JOIN {self.ident(jt)} {ja} ON {self.col(alias, fk)} = {self.col(ja, pk)}"
        return (f"SELECT {key} AS k, {measure} AS v FROM {src}{conj(where)} "
                f"GROUP BY k ORDER BY {order}")

    def label(self, table: str, alias: str) -> str:
        """How a row is named: first and last name together when the table
        keeps them apart, else its name, title or key column."""
        t = self.s.tables[table]
        if t.person_name is not None and t.label == t.person_name[1]:
            first, last = t.person_name
            name = f"CONCAT_WS(' ', {self.col(alias, first.name)}, {self.col(alias, last.name)})"
            org = t.organisation
            if org is not None:
                # A person who stands for an organisation ("Anna Bedecs" of
                # "Company A") is told by both names.
                # One without an organisation is told by the person's alone.
                return (f"COALESCE(CONCAT(NULLIF({self.col(alias, org.name)}, ''), ' (', {name}, "
                        f"')'), {name})")
            return name
        return self.col(alias, t.label.name)

    def money(self, alias: str) -> str:
        """Revenue of one row: quantity times unit price of a line, less its
        discount where the lines have one, or the amount."""
        if self.s.line_items:
            _, q, p, _ = self.s.line_items
            expr = f"{self.col(alias, q.name)} * {self.col(alias, p.name)}"
            d = self.discount()
            if d is not None:
                expr += f" * (1 - COALESCE({self.col(alias, d.name)}, 0))"
            return expr
        return self.col(alias, self.s.money_column().name)

    def discount(self) -> Optional[Column]:
        """The lines' discount, as a share of the line's price.  A discount
        kept as an amount or a whole percentage could be either, and the
        revenue is not written from it."""
        t = self.s.tables[self.s.line_items[0]]
        found = [c for c in t.columns if c.numeric and "discount" in c.name.lower()]
        if not found:
            return None
        d = found[0]
        # A share is a fraction: a float, or a decimal with at most one digit
        # before its point.
        scale = re.search(r"(?:DECIMAL|NUMERIC)\((\d+),\s*(\d+)\)", d.type)
        share = any(k in d.type for k in ("FLOAT", "DOUBLE", "REAL")) or bool(
            scale and int(scale[1]) - int(scale[2]) <= 1)
        if len(found) > 1 or not share:
            raise Unmappable(f"the lines' {d.name} may be an amount or a share of the price, "
                             "which the offline model cannot tell, so it cannot say what "
                             "they are worth")
        return d

    def measure(self, table: str, alias: str, what: str, fact: Optional[str],
                   conds: list[Cond], column: Optional[Column] = None, fn: str = "SUM",
                   zero: bool = True, hops: Optional[list] = None) -> str:
        """A correlated subquery: the count of `fact` rows, or the money, or
        fn(column), that belong to the row `alias` of `table` (along `hops`
        where the plan chose the path)."""
        if what == "money":
            fact = self.s.money_table()
        if what == "column":
            fact = column.table
        if hops is None:
            hops = self.s.path(fact, table, self.plain)
        a = self.alias()
        pk = self.s.tables[table].pk
        if len(pk) != 1:
            raise Unmappable(f"{table} has no single-column key to group by")
        link = self.via(a, hops, lambda b: f"{self.col(b, pk[0])} = "
                                               f"{self.col(alias, pk[0])}")
        extra = self.where(fact, a, [c for c in conds if c.table != table or fact == table])
        where = " AND ".join([link] + extra)
        if what == "count":
            return f"(SELECT COUNT(*) FROM {self.ident(fact)} {a} WHERE {where})"
        if what == "money":
            total = f"SUM({self.money(a)})"
            if zero:
                total = f"COALESCE({total}, 0)"
            return f"(SELECT {total} FROM {self.ident(fact)} {a} WHERE {where})"
        if what == "qty":
            q = self.s.line_items[1]
            return (f"(SELECT COALESCE(SUM({self.col(a, q.name)}), 0) FROM "
                    f"{self.ident(fact)} {a} WHERE {where})")
        expr = f"{fn}({self.col(a, column.name)})"
        if fn in ("SUM", "COUNT"):
            expr = f"COALESCE({expr}, 0)"
        return f"(SELECT {expr} FROM {self.ident(fact)} {a} WHERE {where})"

    def group_measure(self, gtable, gcol, what, fact, fconds, col, fn, gconds) -> str:
        """The measure of one group: the rows counted or summed are those
        whose row of the grouped table has the group's value and passes the
        conditions on that table ("products per category that cost more
        than 50" counts only those products)."""
        a = self.alias()
        src = f"{self.ident(fact)} {a}"
        if fact == gtable:
            where = " AND ".join([f"{self.col(a, gcol.name)} = g.k"]
                                 + self.where(fact, a, gconds + fconds))
        else:
            hops = self.s.path(fact, gtable, self.plain)
            link = self.via(a, hops, lambda x: " AND ".join(
                [f"{self.col(x, gcol.name)} = g.k"] + self.where(gtable, x, gconds)))
            where = " AND ".join([link] + self.where(fact, a, fconds))
        if what == "count":
            return f"(SELECT COUNT(*) FROM {src} WHERE {where})"
        if what == "money":
            return f"(SELECT COALESCE(SUM({self.money(a)}), 0) FROM {src} WHERE {where})"
        if what == "qty":
            return (f"(SELECT COALESCE(SUM({self.col(a, self.s.line_items[1].name)}), 0) "
                    f"FROM {src} WHERE {where})")
        return f"(SELECT {fn}({self.col(a, col.name)}) FROM {src} WHERE {where})"


def conj(parts: list[str]) -> str:
    return (" WHERE " + " AND ".join(parts)) if parts else ""


def probe_sql(schema: Schema, values: list[str]) -> str:
    """One query: which text columns hold each value, and how often."""
    sql, parts = Sql(schema), []
    for t in schema.tables.values():
        for c in t.columns:
            if not c.text:
                continue
            for v in values:
                if v.startswith(PATTERN_PROBE):
                    # The values that fit, as the data holds them.
                    parts.append(f"SELECT {sql.ident(c.name)} AS v, {sql.literal(t.name)} AS t, "
                                 f"{sql.literal(c.name)} AS c FROM {sql.ident(t.name)} WHERE "
                                 f"{sql.ident(c.name)} LIKE {sql.literal(v[1:])}")
                    continue
                parts.append(f"SELECT {sql.literal(v)} AS v, {sql.literal(t.name)} AS t, "
                             f"{sql.literal(c.name)} AS c FROM {sql.ident(t.name)} WHERE "
                             f"{sql.ident(c.name)} = {sql.literal(v)}")
    if not parts:
        return ""
    return "SELECT DISTINCT v, t, c FROM (" + " UNION ALL ".join(parts) + ") found"
