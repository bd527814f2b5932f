"""Planning: from the parse of a question to one query and the way its
rows are answered: a count, a sum, an average, an extreme, a list, or the
same per group, joined along the foreign keys.
"""

from __future__ import annotations

import copy
import dataclasses
import datetime
import decimal
import re
from dataclasses import dataclass
from functools import partial
from typing import Any, Optional

from . import phrasing
from .decline import Unmappable
from .observations import Column, Table
from .reader import Item, Parse
from .schema import Schema
from .sql import Against, Cond, Sql, conj
from .words import (LABEL_WORDS, LOCATION_WORDS, MONEY_COLUMN_WORDS, PAYING_VERBS, PRICE_WORDS,
                    QUANTITY_WORDS, plural, singular, tokenize)
from .words import FUNCTION_WORDS, RELATION_VERBS, TIME_UNITS, TRADE_VERBS, forms, time_unit


@dataclass
class Plan:
    sql: str
    answer: Any  # callable(rows) -> str
    # How the plan of one extreme is put beside the other's in one query:
    # "value", a single figure; "ranked", rows with their value v second.
    extreme: Optional[str] = None


def _checked(check, answer):
    """An answer that first hands its rows to `check`, which may decline."""
    return lambda rows: answer(check(rows))


def in_column_unit(value, unit: str, col: Column):
    """A length of time in the question's unit ("5 minutes") in the unit
    the column's name says it keeps (Milliseconds: 300000)."""
    kept = time_unit(col.words)
    if kept is None:
        raise Unmappable(f"{col.name} does not say in its name which unit of time it holds, "
                         f"so the question's {unit}s cannot be compared with it")
    converted = decimal.Decimal(value) * TIME_UNITS[unit] / TIME_UNITS[kept]
    # Written as a plain number in the query and in the answer, not 3.00E+5.
    return converted.quantize(1) if converted == converted.to_integral_value() \
        else converted.normalize()


def in_asked_unit(value, kept: str, unit: str):
    """A figure of a column that keeps `kept` (milliseconds) given in the
    unit the question asks for (minutes), to four places; None stays None."""
    if value is None:
        return None
    return round(decimal.Decimal(value) * (
        decimal.Decimal(TIME_UNITS[kept]) / decimal.Decimal(TIME_UNITS[unit])), 4)


def gcol_table(item) -> Optional[str]:
    return item.columns[0].table if item.columns else None


def _like(text: str, where: str) -> str:
    """A LIKE pattern that matches `text` as written at the start, the end
    or anywhere; its own % and _ (and the escape character) stand for
    themselves."""
    text = re.sub(r"[!%_]", lambda m: "!" + m[0], text)
    return {"prefix": text + "%", "suffix": "%" + text}.get(where, "%" + text + "%")


def _year_column(col: Column) -> bool:
    """A column of years: SQL's YEAR type, or whole numbers named for a
    year (release_year, model_year; a year_group is no year)."""
    return col.base == "YEAR" or (col.integer and col.words[-1:] == ["year"])


def _long_text(col: Column) -> bool:
    """A column of prose (a description, notes): TEXT, or more characters
    than a name or a title is given (VARCHAR(255) is the usual for those)."""
    size = re.search(r"\((\d+)\)", col.type)
    return "TEXT" in col.base or (col.text and size is not None and int(size[1]) > 255)


def _word_pattern(word: str, where: str, plural: bool = False) -> str:
    """A regular expression for `word` standing whole in a text (not
    "lovely" for "love"), in the POSIX classes every MySQL and MariaDB
    engine reads; a word with other than letters and digits is declined
    rather than escaped."""
    if not re.fullmatch(r"[A-Za-z0-9]+", word):
        raise Unmappable(f"the offline model matches only words of letters and digits "
                         f"whole, and {word!r} is not one")
    edge = "([^[:alnum:]_]|$)"
    start = "^" if where == "word prefix" else "(^|[^[:alnum:]_])"
    return start + word + ("s?" if plural else "") + ("$" if where == "word suffix" else edge)


class Planner:
    def __init__(self, schema: Schema, parse: Parse, question: str):
        self.p = parse
        self.q = question
        self.items = parse.items
        self.s = self._lines_named(schema)
        self.sql = Sql(self.s, plain=not any(it.kind == "role" for it in parse.items))
        # Values that stand in the place of a noun ("each sales agent"): the
        # rows asked about are those holding them.
        self.noun_values: list[Item] = [
            v for v in self.kinds("value") if isinstance(v.extra, list)
            and len({t for t, _ in v.extra}) == 1
            and any(it.end == v.at and it.kind in ("wh", "group") for it in self.items)
            and not any(it.at == v.end and it.kind in ("table", "column") for it in self.items)]

    def _lines_named(self, schema: Schema) -> Schema:
        """The schema with the lines money is read from: those of the orders
        the question names ("spent on purchase orders": the purchase lines)
        where these are not the lines sales are read from."""
        if not any(it.kind in ("money", "qty", "size") for it in self.items):
            return schema
        heads = {f[3]: f for f in schema.all_line_items}
        named = {it.table for it in self.items if it.kind == "table"}
        named = {h for h in heads if h in named or heads[h][0] in named}
        if len(named) > 1:
            raise Unmappable("the question names " + " and ".join(sorted(named)) + ", whose "
                             "lines are two sums of money; ask about one of them")
        if not named or (schema.line_items and schema.line_items[3] in named):
            return schema
        view = copy.copy(schema)
        view.line_items = heads[named.pop()]
        return view

    def money_word(self) -> str:
        """What the money of the lines is: revenue of sales at a price, the
        spending of purchases at a cost."""
        li = self.s.line_items
        return "spending" if li and "price" not in li[2].words else "revenue"

    def kinds(self, *kinds) -> list[Item]:
        return [it for it in self.items if it.kind in kinds]

    def first(self, kind: str) -> Optional[Item]:
        return next((it for it in self.items if it.kind == kind), None)

    def after(self, item: Item, *kinds) -> Optional[Item]:
        return next((it for it in self.items if it.at > item.at and it.kind in kinds), None)

    def before(self, item: Item, *kinds) -> Optional[Item]:
        prior = [it for it in self.items if it.at < item.at and it.kind in kinds]
        return prior[-1] if prior else None

    def pick(self, columns: list[Column], prefer: list[str]) -> Column:
        """One column out of candidates: those of the preferred tables first."""
        for t in prefer:
            here = [c for c in columns if c.table == t]
            if len(here) == 1:
                return here[0]
            if len(here) > 1:
                exact = [c for c in here if len(c.words) == 1]
                if len(exact) == 1:
                    return exact[0]
                raise Unmappable("the question could mean any of the columns "
                                 + ", ".join(f"{c.table}.{c.name}" for c in here))
        if len(columns) == 1:
            return columns[0]
        tables = {c.table for c in columns}
        raise Unmappable("the question could mean any of the columns "
                         + ", ".join(f"{c.table}.{c.name}" for c in columns)
                         if len(tables) > 1 or len(columns) > 1 else "no column fits")

    # -- the whole plan ------------------------------------------------------
    def plan(self) -> Plan:
        plan = self.shape()
        for it in self.kinds("order"):
            if not it.role:
                raise Unmappable("the question asks for the rows in an order the offline "
                                 "model cannot give this answer in")
        used = {(c.table, c.name) for it in self.kinds("column") if it.role or
                it.extra in ("qualifier", "group") for c in it.columns}
        used |= {(c.table, c.column.name) for c in self.conds if c.column is not None}
        for it in self.kinds("column"):
            if not it.role and it.extra == "synonym" and used & {(c.table, c.name)
                                                                for c in it.columns}:
                it.role = "restated"  # "cities customers live in": live is the city
        toks = tokenize(self.q)
        for it in self.kinds("column"):
            if not it.role and it.extra not in ("qualifier", "group") and it.end < len(toks) \
                    and toks[it.end].low in ("by", "with", "via", "using") and any(
                        v.at == it.end + 1 and {c.table for c in it.columns} & {t for t, _ in v.extra}
                        for v in self.kinds("value")) and toks[it.at].low.endswith(("ed", "id")):
                it.role = "restated"  # "paid by credit card": the payment type says it
        for it in self.kinds("active"):
            if not it.role:
                raise Unmappable("the question asks for active rows, which the offline model "
                                 "tells only per month or year, by what is recorded of them")
        for it in self.kinds("unit"):
            if not it.role:
                raise Unmappable(f"the question asks for a figure in {it.value}s, which the "
                                 "offline model can give only for a total, an average or an "
                                 "extreme of a column whose name says its unit")
        for it in self.kinds("column"):
            if not it.role and it.extra not in ("qualifier", "group"):
                names = ", ".join(sorted({c.name for c in it.columns}))
                raise Unmappable(f"the question names the column {names} but the offline "
                                 "model cannot tell what it has to do with the answer")
        return plan

    def shape(self) -> Plan:
        items = self.items
        roles = self.kinds("role")
        self.role_conds: list[Cond] = []
        if roles and self._role_negated(roles):
            roles = []
        if roles:
            plan = self.role_plan(roles)
            if plan is not None:
                return plan
        every = self.first("all")
        if every is not None:
            linked = self.after(every, "table")
            raise Unmappable("the question asks for rows linked to every one of the "
                             f"{linked.table if linked else 'rows'} ('all', 'every'), which "
                             "the offline model cannot check")
        # "first" and "last" may only say how a list is sorted ("the highest
        # payment first"); two superlatives of their own that pull apart ask
        # two questions.
        if len({s.op for s in self.kinds("super") if s.value is not None}) > 1:
            return self.both_extremes([s for s in self.kinds("super") if s.value is not None])
        if self.first("or") and len(self.kinds("value")) < 2:
            raise Unmappable("the question asks for alternatives ('or') the offline model "
                             "cannot tie to one column")
        nouns = self.kinds("table")
        self.tables_named = [it.table for it in nouns]
        for v in self.kinds("value"):
            tables = {t for t, _ in v.extra}
            if len(tables) == 1 and tables.issubset(self.tables_named) is False:
                self.tables_named += list(tables)
        self.money = self.first("money")
        self.qty = self.first("qty")
        if any(m.value == "gross" for m in self.kinds("money")) and self.s.line_items \
                and self.sql.discount() is not None:
            raise Unmappable("gross revenue is before the lines' discount is taken off, and "
                             "revenue here is after it; ask for the revenue, or for quantity "
                             "times unit price")
        if (self.money or self.kinds("size")) and not self.s.line_items \
                and not self.s.money_column():
            raise Unmappable("no table holds quantities and prices, or amounts, to sum for "
                             "revenue or spending")
        if (self.money or self.qty) and not self.s.line_items and self._unread_lines():
            # Sales are the lines' quantities times their prices; a column of
            # amounts elsewhere (payments) is another figure.
            raise Unmappable(f"{self._unread_lines()} looks like the lines of orders, but the "
                             "offline model cannot tell its quantity, price and order apart")
        span = self.first("span")
        if span is not None:
            return self.span(span)
        flags = self.kinds("flag")
        both = [(a, b) for a in flags for b in flags if a.at < b.at
                and a.columns[0] == b.columns[0] and a.value != b.value]
        if both:
            a, b = both[0]
            if len(flags) != 2 or not self.first("count") or any(
                    it.kind not in ("count", "list", "flag", "table", "wh") for it in self.items):
                raise Unmappable(f"the question asks for rows both '{a.extra}' and "
                                 f"'{b.extra}', which {a.columns[0].name} cannot both be")
            self.conds = []
            return self.count_per_flag(a, b)
        head = self.head()
        self.conds = self.conditions(head)
        if self.money is not None and self.money.extra == "qualifier":
            self.money = None  # "customers who spent more than 3000": a condition
        group = self.first("group")
        count = self.first("count")
        howmuch = self.first("howmuch")
        aggs = self.kinds("agg")
        sup = self.first("super")
        wh = self.first("wh")
        top = self.first("top")
        if group is not None and group.value == "by" and (top or sup):
            # "the top 3 customers by revenue" ranks; it does not group.
            nxt = self.after(group, "table", "column", "money", "qty")
            if nxt is not None and (nxt.kind in ("money", "qty") or (
                    nxt.kind == "column" and any(c.numeric or c.date for c in nxt.columns))):
                self.items.remove(group)
                group = None
            elif count is not None and count.at == group.end and self.after(count, "table") \
                    is not None:
                # "the top 10 customers by number of invoices": ranked by a count.
                self.items.remove(group)
                self.items.remove(count)
                group = count = None
        flags = next((it for it in self.kinds("column") if sup is not None
                      and it.at == sup.end and it.columns and all(c.yes_no for c in it.columns)), None)
        if flags is not None:
            # "the most active customer": a yes or no has no most, and what
            # makes a row "most active" the question does not say.
            raise Unmappable(f"'{sup.value} {flags.columns[0].name}' ranks by "
                             f"{flags.columns[0].name}, which only says yes or no; say what "
                             "to count or compare")
        if top is not None and sup is None:
            sup = Item("super", top.at, op="max")
            self.items.append(sup)
            self.items.sort(key=lambda it: it.at)
        if self.first("share") is not None:
            return self.share(head)
        period = self.first("period")
        if period is not None:
            return self.per_period(head, group, sup, period)
        orders = self.kinds("order")
        if group is None and sup is None and self.first("list") and head.kind == "table" \
                and len(orders) == 1 and self._by_figure(orders[0]) \
                and (count or aggs or self.money or self.qty):
            # "a list of products and the number of items ordered, with the
            # most ordered at the top": the rows listed are ranked by the
            # figure, so the figure is one per row.
            group = Item("group", head.at - 1, end=head.at, value="each")
        if group and group.value in ("each", "for", "every") and not (
                count or aggs or self.money or self.qty or howmuch or sup):
            # "Display for each store its city", "each product name and its
            # price": with nothing to count or sum, a listing of the rows.
            each = self.after(group, "table", "column")
            if each is not None and each.kind == "table" and each is not head:
                raise Unmappable(f"the question lists {each.table} ('each') but asks about "
                                 "other rows")
            self.items.remove(group)
            group = None
        if group and sup and sup.value is not None and not (
                count or aggs or self.money or self.qty or howmuch):
            return self.extreme_per_group(group, sup)
        if group and not (count or aggs or self.money or self.qty or howmuch):
            raise Unmappable("a grouping ('per', 'by', 'each') needs something to count or sum")
        if sup and (count or group) and not (wh and self.after(wh, "table", "column") and
                                              self.after(wh, "table", "column").at < sup.at):
            if count:
                raise Unmappable("the question mixes a count with a superlative "
                                 f"('{sup.value or sup.op}')")
        if group:
            return self.grouped(head, group, sup)
        if sup and self._is_group_extreme(head, sup):
            return self.grouped(head, None, sup)
        if count and head.kind == "qty":
            return self.aggregate(head, "sum")
        if count:
            return self.count(head, count)
        if sup:
            return self.extreme(head, sup)
        if aggs or howmuch or self.money or self.qty:
            return self.aggregate(head, aggs[0].op if aggs else "sum")
        return self.listing(head)

    def _unread_lines(self) -> Optional[str]:
        """A table with a numeric column whose name holds a quantity word
        and one whose name holds a price word, found by the letters of the
        names rather than their words: lines the schema reading missed."""
        for t in self.s.tables.values():
            names = [c.name.lower() for c in t.columns if c.numeric]
            if t.fks and any(w in n for n in names for w in ("quantity", "qty")) \
                    and any(w in n for n in names for w in PRICE_WORDS):
                return t.name
        return None

    def _descends(self, table: str, other: str) -> bool:
        """Whether the join from `table` to `other` goes down to rows that
        belong to it (an order's lines): a condition there picks some of
        those rows, not some of `table`'s."""
        through = self._verb_path(table, other)
        hops = through[1] if through else self.s.path(table, other, self.sql.plain)
        if not hops:
            return False
        _, _, nxt, nxt_col = hops[0]
        return any(c == nxt_col and ref == table for c, ref, _ in self.s.tables[nxt].fks)

    @staticmethod
    def _amount(col: Column) -> bool:
        """A column of money, by the letters of its name as well as its words
        ("totalAmount" read as one word still holds "amount")."""
        return any(w in col.name.lower() for w in MONEY_COLUMN_WORDS | PRICE_WORDS)

    def _line_grain(self, col: Column, fn: str, where: str) -> tuple:
        """(what, column, wording, fact) of a header's amount taken over a
        filter that lives on its lines: the lines' own amount, since the
        header's total counts the lines that do not match as well."""
        li = self.s.line_items
        money = set(col.words) & (MONEY_COLUMN_WORDS | PRICE_WORDS)
        if fn == "sum" and li and li[3] == col.table and money:
            return "money", None, f"{self.money_word()} ({self.line_worth()})", li[0]
        raise Unmappable(f"{col.name} is a figure of a whole {singular(col.table)}, but the "
                         f"question filters on {where}, which holds several rows per "
                         f"{singular(col.table)}; its {fn} over them would count the rows "
                         "that do not match as well")

    def line_worth(self) -> str:
        """What a line is worth, as the answer says it."""
        d = self.sql.discount()
        _, q, p, _ = self.s.line_items
        return f"{q.name} × {p.name}" + (f" less {d.name}" if d is not None else "")

    def _is_line_price(self, col: Optional[Column]) -> bool:
        li = self.s.line_items
        return bool(li and col is not None and col.table == li[0] and col.name == li[2].name)

    # -- what the question is about -----------------------------------------
    def head(self) -> Item:
        """The noun the question asks about: the first table or column named
        after its opening words, else the table of its only value."""
        wh = self.first("wh")
        v = next((it for it in self.noun_values if wh is not None and it.at == wh.end), None)
        if v is not None:
            # "Which sales support agent made the most sales?": a value in
            # the place of the noun names the rows that hold it.
            return Item("table", v.at, table=v.extra[0][0], end=v.end)
        for it in self.items:
            if it.kind in ("table", "column", "money", "qty"):
                if it.kind == "column" and self._qualifies_value(it):
                    continue
                return it
            if it.kind == "size":
                continue
        values = self.kinds("value")
        tables = {t for v in values for t, _ in v.extra}
        wh = self.first("wh")
        if len(tables) > 1 and wh is not None and wh.value == "who":
            # "Who is the sales manager?": the value of a table of people.
            people = {t for t in tables if self.s.tables[t].person_name is not None}
            tables = people if len(people) == 1 else tables
        if len(tables) == 1:
            return Item("table", -1, table=tables.pop())
        if len(values) == 1 and len(tables) > 1:
            raise Unmappable(f"'{values[0].value}' is found in " + ", ".join(
                f"{t}.{c}" for t, c in values[0].extra) + "; say which of "
                + ", ".join(sorted(tables)) + " the question is about")
        raise Unmappable("the question names no table or column of the database (tables: "
                         + ", ".join(sorted(self.s.tables)) + ")")

    def _qualifies_value(self, col: Item) -> bool:
        for v in self.kinds("value"):
            if abs(v.at - col.at) <= 2 and any(c in [(x.table, x.name) for x in col.columns]
                                               for c in v.extra):
                between = [it for it in self.items if min(v.at, col.at) < it.at < max(v.at, col.at)]
                if not between:
                    return True
        return False

    def table_of(self, head: Item) -> str:
        if head.kind == "table":
            return head.table
        if head.kind == "column":
            return self.pick(head.columns, self.tables_named).table
        if head.kind in ("money", "qty"):
            return self.s.money_table()
        raise Unmappable("no table to ask about")

    # -- conditions ------------------------------------------------------------
    def conditions(self, head: Item) -> list[Cond]:
        conds = []
        values = self.kinds("value")
        by_col: dict[tuple, list] = {}
        for v in values:
            col = self.value_column(v, head)
            neg = self.before(v, "neg")
            negated = neg is not None and not [it for it in self.items
                                               if neg.at < it.at < v.at]
            if negated and any(t.at == v.end for t in self.kinds("table")):
                # "never appeared in a Horror film": no such film, not a
                # film of another category; the negation is the noun's.
                negated = False
            by_col.setdefault((col.table, col.name, negated), []).append((v, col))
        for (table, _, negated), vs in by_col.items():
            col = vs[0][1]
            vals = [v.value for v, _ in vs]
            own = {head.table} | {c.table for c in head.columns}
            if len(vals) > 1 and not self.first("or") and table not in own:
                # "customers in Berlin and Paris" means either city, but
                # "customers who bought the Teapot and the Kite" means both.
                raise Unmappable("the question asks for rows linked to all of "
                                 + ", ".join(repr(v) for v in vals)
                                 + ", which the offline model cannot combine")
            if col.base == "SET":
                # A SET holds several members at once: "with A and B" may
                # want both or either.
                if len(vals) > 1 and (negated or not self.first("or")):
                    raise Unmappable(f"{col.name} holds several of "
                                     + ", ".join(repr(v) for v in vals)
                                     + " at once; ask for one of them at a time")
                conds.append(Cond(table, col, "not member" if negated else "member", vals))
                continue
            op = ("<>" if negated else "=") if len(vals) == 1 else ("not in" if negated else "in")
            if op == "not in":
                raise Unmappable("a negated list of values")
            near = next((t.table for t in self.kinds("table") if t.at == vs[0][0].end), None)
            conds.append(Cond(table, col, op, vals, near=near))
        conds += self.role_conds
        for it in self.kinds("flag"):
            col = it.columns[0]
            it.role = "flag"
            conds.append(Cond(col.table, col, "<>" if it.value else "=", [col.flag_no],
                              kind="flag"))
        for it in self.kinds("text"):
            conds += self.text_conds(it, head)
        for it in self.kinds("cmp"):
            conds.append(self.number_cond(it, head))
        averages = []
        for it in self.kinds("vs"):
            conds.append(self.relative_cond(it, head))
            if conds[-1].against.sql is not None and it.extra != "avg-all":
                averages.append(conds[-1])
        for it in self.kinds("present"):
            col = self.pick(it.columns, self.tables_named + ([head.table] if head.table else []))
            it.role = "present"
            conds.append(Cond(col.table, col, "present", kind="null"))
        for it in self.kinds("date"):
            conds.append(self.date_cond(it, head))
        for neg in self.kinds("neg"):
            if any(c.kind == "value" and c.op in ("<>", "not member") for c in conds):
                continue
            nxt = self.after(neg, "table", "column", "value", "money", "cmp", "date")
            if nxt is not None and nxt.kind == "value":
                # "never ... a Horror film": the negated rows are the noun's.
                nxt = next((t for t in self.kinds("table") if t.at == nxt.end), nxt)
            if nxt is not None and nxt.kind == "column" and nxt.at - neg.at <= 3:
                # "orders not shipped yet": the verb as written is a word of
                # the date that says it happened, among the other columns
                # its stem also names (ship_city, ship_name).
                said = {t.low for t in tokenize(self.q) if t.low.endswith("ed")}
                dated = [c for c in nxt.columns if c.date and said & set(c.words)]
                col = dated[0] if len(dated) == 1 else self.pick(nxt.columns, self.tables_named)
                nxt.role = "qualifier"
                if head.kind != "table" or col.table == head.table:
                    # "loans not returned": the column that would say so is empty.
                    conds.append(Cond(col.table, col, "null", kind="null"))
                    continue
                # "students not enrolled": no rows in the table of enrolments.
                nxt = Item("table", nxt.at, table=col.table, end=nxt.end)
            if nxt is None and not any(w not in FUNCTION_WORDS for w in self.p.words[neg.end:]):
                # "customers not in the US", where nothing after the
                # negation was read: what is negated is not known.
                raise Unmappable("nothing the offline model could read follows the negation")
            if nxt is None and head.kind == "table":
                children = [e[2] for e in self.s.edges[head.table]
                            if any(r == head.table for _, r, _ in self.s.tables[e[2]].fks)]
                li = self.s.line_items[0] if self.s.line_items else None
                if li in children and any(forms(t.low) & TRADE_VERBS
                                          for t in tokenize(self.q)):
                    children = [li]  # "products not sold": no order lines
                if len(set(children)) == 1:
                    conds.append(Cond(None, None, "none", kind="related", related=children[0]))
                    continue
            if nxt is None or nxt.kind != "table":
                raise Unmappable("the negation in the question is not one the offline model "
                                 "can tie to a table ('without', 'no', 'never' + a table)")
            nxt.extra = "negated"
            nxt.role = "negated"
            # "not assigned to any project": the rows of the last table named
            # in the negated phrase, reached through the ones before it.
            last = nxt
            for it in self.items:
                if it.at > last.at and it.kind == "table" and it.at - last.at <= 4 and not [
                        x for x in self.items if last.at < x.at < it.at]:
                    if not any(ref == it.table for _, ref, _ in self.s.tables[last.table].fks):
                        raise Unmappable(f"the negation covers {nxt.table} and {it.table}, "
                                         "which the offline model cannot combine")
                    # Each of those rows has its project: none of them is
                    # the same as none at all.
                    it.extra = it.role = "negated"
                    last = it
            none = Cond(None, None, "none", kind="related", related=nxt.table)
            subject = self._clause_subject(neg, head)
            if subject is not None:
                # "the film title of inventory items that have never been
                # rented": the copies have no rentals, and the films listed
                # are those of such copies, not films with no rentals at all.
                subject.role = "exists"
                none.table = subject.table
                conds.append(Cond(None, None, "some", kind="related", related=subject.table,
                                  inner=[none]))
                continue
            conds.append(none)
        # A table named beside the one asked about, with no other part in the
        # question, means rows that have some: "customers who placed orders".
        sup = self.first("super")
        for it in self.kinds("table"):
            if it is head or it.role or it.extra in ("counted", "negated") or it.at < head.at:
                continue
            if any(c.table == it.table for c in conds if c.kind != "related"):
                it.role = "place"
                continue
            if sup is not None and it.at > sup.at:
                continue
            prev = self.before(it, "group", "table", "column", "value")
            if prev is not None and prev.kind == "group":
                continue
            if it.table == head.table or it.table in {c.table for c in head.columns}:
                it.role = "head"
                continue
            if head.kind == "table" and head.end <= it.at and self.p.words[head.end:it.at] \
                    and set(self.p.words[head.end:it.at]) <= {"and", ","}:
                # "which cities and countries": both are asked for, and a
                # list of cities that have a country would drop the second.
                raise Unmappable(f"the question asks for {head.table} and {it.table} side by "
                                 "side, which the offline model does not list")
            it.role = "exists"
            conds.append(Cond(None, None, "some", kind="related", related=it.table))
        if averages and len(conds) > 1:
            raise Unmappable("the question compares with an average and has other conditions "
                             "too, so the average could be of all rows or only of those they "
                             "pick; say 'the average of all ...'")
        return self._inside_related(conds, head)

    # The words of a relative clause between its noun and its verb: "items
    # that have never been rented", "customers who did not order".
    _RELATIVE_WORDS = {"that", "which", "who", "have", "has", "had", "been", "was", "were", "is",
                       "are", "do", "does", "did", "ever"}

    def _clause_subject(self, neg: Item, head: Item) -> Optional[Item]:
        """The table a negated relative clause is said of, when it is another
        than the one asked about: the noun right before "that"/"which"."""
        noun = self.before(neg, "table", "column", "value", "group", "count", "agg", "super")
        if noun is None or noun.kind != "table" or noun is head or noun.role:
            return None
        between = self.p.words[noun.end:neg.at]
        if not between or between[0] not in ("that", "which", "who") \
                or not set(between) <= self._RELATIVE_WORDS:
            return None
        if noun.table == head.table or noun.table in {c.table for c in head.columns}:
            return None
        return noun

    def _inside_related(self, conds: list[Cond], head: Item) -> list[Cond]:
        """Conditions on the rows of a negated table belong inside the test
        that there are none: "customers without payments in 2003"."""
        negated = [c for c in conds if c.kind == "related" and c.op == "none"]
        negated += [n for c in conds if c.kind == "related" for n in c.inner
                    if n.kind == "related" and n.op == "none"]
        own = {head.table} | {c.table for c in head.columns}
        out = []
        for c in conds:
            if c.kind in ("value", "date", "number", "null") and c.table not in own:
                into = [n for n in negated if n.related == c.table] or [
                    n for n in negated if c.near is not None and n.related == c.near]
                if len(into) == 1:
                    into[0].inner.append(c)
                    continue
            out.append(c)
        return out

    def value_column(self, v: Item, head: Item) -> Column:
        places = v.extra  # [(table, column)]
        # A table named right before the value says whose it is: "the
        # tracks on the album X" where a track is also called X.
        before = next((it for it in self.kinds("table") if it.end == v.at), None)
        if before is not None and len({t for t, _ in places}) > 1:
            here = [p for p in places if p[0] == before.table]
            if len(here) == 1:
                return self.s.tables[here[0][0]].column(here[0][1])
        # A column named next to the value says where it is ("the Books category").
        for it in self.kinds("column"):
            if abs(it.at - v.at) <= 2:
                named = [(c.table, c.name) for c in it.columns]
                hits = [p for p in places if p in named]
                if len(hits) == 1:
                    it.extra = "qualifier"
                    return self.s.tables[hits[0][0]].column(hits[0][1])
        if isinstance(v.value, str) and (len(v.value) == 1 or (
                len(v.value) == 2 and not v.value.isupper())) and v.op != "named" and not any(
                q + v.value + q in self.q for q in "'\"“”"):
            # A letter ("R", "A") or a short word ("Is") is found in many a
            # column by chance: taken as a value only where the question
            # says whose; a code in capitals ("UK", "PG") is one as written.
            raise Unmappable(f"{v.value!r} is too short to be taken for a value of "
                             + ", ".join(f"{t}.{c}" for t, c in places)
                             + " unless the question names the column")
        # A value held by a foreign key and by the key it references is one
        # value: the referenced table's, whose children the filter reaches
        # along that key.
        parents = [p for p in places if not any(
            fk == p[1] and (ref, refcol) in places for fk, ref, refcol in self.s.tables[p[0]].fks)]
        places = parents or places
        if isinstance(v.value, str) and v.value[:1].islower():
            # A plain word found in the data ("shipped", "new") must belong to
            # the noun it stands next to, or it may be an ordinary word that
            # happens to be a status somewhere else.
            noun = self.after(v, "table", "column") or self.before(v, "table", "column")
            if any(v is n for n in self.noun_values):
                noun = Item("table", v.at, table=v.extra[0][0])  # the value stands for the noun
            tables = {noun.table} | {c.table for c in noun.columns} if noun else set()
            near = [p for p in places if p[0] in tables]
            if not near and noun is not None and noun.kind == "table":
                # "family films": a category of the film, through the table
                # that only links the two.
                for p in places:
                    try:
                        hops = self.s.path(noun.table, p[0], self.sql.plain)
                        if self.s.through_links(hops) or (
                                len(hops) == 1 and hops[0][1] in self.s.tables[noun.table].fk_columns):
                            # "rock tracks": the genre each track has.
                            near.append(p)
                    except Unmappable:
                        pass
            if not near and noun is not None:
                t, c = places[0]
                raise Unmappable(f"'{v.value}' is a {c} in {t}, which the question does not "
                                 "say it is about")
            places = near or places
        if head.kind == "table" and before is None and not any(
                it.kind == "table" and it.at == v.end for it in self.items):
            # "How many tracks are on X", where X names a track and an album:
            # the rows' own name or the name of the row they belong to.
            names = [p for p in places if (lab := self.s.tables[p[0]].label) is not None
                     and lab.name == p[1] and (p[0] == head.table
                                               or self._own_attribute(head.table, p[0]))]
            if len(names) > 1 and any(p[0] == head.table for p in names):
                raise Unmappable(f"'{v.value}' names " + " and ".join(
                    f"a row of {t}" for t, _ in names) + "; say which, as in 'the "
                    + _noun(self.s.tables[next(t for t, _ in names if t != head.table)])
                    + f" {v.value}'")
        if head.kind == "table" and len(places) > 1:
            # "employees in Boston", where offices and customers both keep a
            # city: the row's own value is the one it reaches along its own
            # references (its office), not one of the rows that refer to it.
            own = [p for p in places if self._own_attribute(head.table, p[0])]
            places = own if len(own) == 1 else places
        if head.kind == "table" and not any(t.table == places[0][0] for t in self.kinds("table")) \
                and len(places) == 1 and places[0][0] != head.table:
            # "a Horror film": the value qualifies the noun right after it,
            # and is tied to it, not to the rows asked about.
            near = next((t.table for t in self.kinds("table") if t.at == v.end), head.table)
            hops = self.s.path(near, places[0][0], self.sql.plain) if near != places[0][0] else []
            li = self.s.line_items[0] if self.s.line_items else None
            if len(hops) > 1 and li not in [h[2] for h in hops] + [head.table] \
                    and not self.s.through_links(hops) and not self._located_by(hops):
                # "shipments that went to Glasgow" must not become shipments
                # whose driver's depot is in Glasgow.
                raise Unmappable(f"'{v.value}' is a {places[0][1]} of {places[0][0]}, which is "
                                 f"{len(hops)} joins away from {head.table}; name the table "
                                 "to say how they are linked")
        if len({t for t, _ in places}) == 1 and len(places) > 1:
            # "France" as a country's Name and its LocalName: the column that
            # names the rows is the one a name in the question means.
            label = self.s.tables[places[0][0]].label
            if label is not None and (label.table, label.name) in places:
                return label
        if len(places) == 1:
            return self.s.tables[places[0][0]].column(places[0][1])
        prefer = [head.table] if head.kind == "table" else []
        prefer += self.tables_named
        for t in prefer:
            here = [p for p in places if p[0] == t]
            if len(here) == 1:
                return self.s.tables[t].column(here[0][1])
        raise Unmappable(f"'{v.value}' is found in more than one column ("
                         + ", ".join(f"{t}.{c}" for t, c in places) + ")")

    def _own_attribute(self, table: str, other: str) -> bool:
        """Whether every row of `table` reaches exactly one row of `other`:
        the path between them follows foreign keys only from the row that
        holds them to the row they reference."""
        if table == other:
            return True
        try:
            hops = self.s.path(table, other, self.sql.plain)
        except Unmappable:
            return False
        return all(h[1] in self.s.tables[h[0]].fk_columns for h in hops)

    def _located_by(self, hops: list) -> bool:
        """A path from a row to where it is: references only, through tables
        that are places themselves (a customer's address, its city, its
        country), so the value far along it is still the row's own."""
        return all(h[1] in self.s.tables[h[0]].fk_columns for h in hops) and all(
            set(self.s.tables[h[2]].words) & LOCATION_WORDS for h in hops)

    def text_conds(self, it: Item, head: Item) -> list[Cond]:
        """A text column holding the text the question gives: the column it
        names, else (for "starting with") the one that names the rows of
        the table the words follow."""
        if it.op == "initials":
            owner = self.before(it, "table") or (head if head.kind == "table" else None)
            pair = self.s.tables[owner.table].person_name if owner is not None else None
            if pair is None:
                raise Unmappable("initials are the first letters of a first and a last name, "
                                 "and the question names no table of people that keeps both")
            first, last = it.value[0]
            return [Cond(pair[0].table, pair[0], "like", [_like(first, "prefix")]),
                    Cond(pair[1].table, pair[1], "like", [_like(last, "prefix")])]
        cols = it.columns
        if it.extra == "content":
            owner = self.before(it, "table")
            table = self.s.tables[owner.table] if owner is not None else None
            texts = [c for c in table.columns if _long_text(c)] if table is not None else []
            if len(texts) != 1:
                raise Unmappable(f"the question does not say which text should tell of "
                                 f"{it.value[0]!r}" + (" (" + ", ".join(c.name for c in texts)
                                                       + ")" if texts else ""))
            col = texts[0]
            return [Cond(col.table, col, "word", [_word_pattern(it.value[0], "word", plural=True)])]
        if not cols:
            owner = self.before(it, "table")
            label = self.s.tables[owner.table].label if owner is not None else None
            if label is None or not label.text:
                raise Unmappable("the question does not say which text column should "
                                 f"{'start' if it.op == 'prefix' else 'end'} with "
                                 + " or ".join(repr(v) for v in it.value))
            if self.s.tables[owner.table].person_name is not None:
                raise Unmappable(f"{owner.table} are named by a first and a last name; say "
                                 "which of them the letters are of")
            cols = [label]
        col = self._text_column(cols, head)
        if it.op == "digit":
            return [Cond(col.table, col, "digit", [])]
        if it.op.startswith("word"):
            return [Cond(col.table, col, "word", [_word_pattern(v, it.op) for v in it.value])]
        return [Cond(col.table, col, "like", [_like(v, it.op) for v in it.value])]

    def _text_column(self, cols: list[Column], head: Item) -> Column:
        """One text column of those a word names ("their name"): of the
        tables the question names, and among several of one table the one
        that names its rows; a person's first and last names are two, and
        the question must say which."""
        prefer = [head.table] if head.kind == "table" else []
        prefer += [c.table for c in head.columns] + self.tables_named
        for t in dict.fromkeys(prefer):
            here = [c for c in cols if c.table == t]
            table = self.s.tables[t]
            if len(here) > 1 and table.label in here and table.person_name is None:
                return table.label
        return self.pick(cols, list(dict.fromkeys(prefer)))

    def number_cond(self, it: Item, head: Item) -> Cond:
        if it.extra:
            cols = self._columns_like(it.extra)
        else:
            prev = self.before(it, "column", "table", "money", "size")
            nxt = self.after(it, "column", "table", "money")
            if self.p.words[max(it.at - 2, 0):it.at] in (["shared", "by"], ["held", "by"]):
                prev = None  # "names shared by at least two actors": a count of actors
            if prev is not None and prev.kind == "column":
                self._no_figure_of(prev)
                cols = [c for c in prev.columns if c.numeric]
                prev.extra = "qualifier"
            elif nxt is not None and nxt.kind == "column" and self._adjacent_after(it, nxt):
                cols = [c for c in nxt.columns if c.numeric]
                nxt.extra = "qualifier"
            elif nxt is not None and nxt.kind == "table" and self._adjacent_after(it, nxt):
                nxt.extra = "counted"
                return Cond(None, None, it.op, list(it.value), kind="count", related=nxt.table)
            elif prev is not None and prev.kind in ("money", "size"):
                prev.extra = "qualifier"
                cond = Cond(None, None, it.op, list(it.value), kind="money")
                owner = self._owner(prev, head)
                if owner is None:
                    return cond
                if prev.kind == "money":
                    # "customers whose orders have revenue over 500": of each
                    # order, or of all of a customer's together?
                    raise Unmappable(f"the money compared may be of each of the {owner.table} "
                                     "or of all of them together")
                # "customers with an order worth more than 500": some order
                # is, not the customer's orders added up.
                cond.table = owner.table
                return Cond(None, None, "some", kind="related", related=owner.table,
                            inner=[cond])
            elif prev is not None and prev.kind == "table" and it.money \
                    and len(self._amounts(prev.table)) == 1:
                # "payments greater than $100,000": the table's one amount.
                self._no_figure_of(prev)
                cols = self._amounts(prev.table)
            else:
                raise Unmappable("the question compares with a number but names no "
                                 "column to compare")
        if not cols:
            raise Unmappable("the number in the question is compared with no numeric column")
        named = [c for other in self.kinds("column") if other.extra not in ("qualifier", "synonym")
                 for c in other.columns if c in cols]
        if len(cols) > 1 and len(named) == 1:
            cols = named  # "the list price of the products costing less than $20"
        col = self.pick(cols, self.tables_named + ([head.table] if head.table else []))
        op = it.op
        vals = list(it.value)
        if it.unit is not None:
            vals = [in_column_unit(v, it.unit, col) for v in vals]
        return Cond(col.table, col, op, vals, kind="number")

    def relative_cond(self, it: Item, head: Item) -> Cond:
        """A comparison with another column of the row or with an average
        over all rows ("shipped after the required date", "payments greater
        than twice the average payment"): the column compared is the one
        named before the comparator, or the one the comparator implies
        ("longer"); the other side is named right after it."""
        if self.kinds("super", "top"):
            # "the products above the average price, the most expensive
            # first" sorts a list; as a superlative it would pick one row.
            raise Unmappable("the question both compares rows with another value and ranks "
                             "them, which the offline model does not read together")
        said = f"{it.unit} " if it.unit else ""
        prev = self.before(it, "column", "table", "money", "size", "qty", "value", "cmp",
                           "date", "vs")
        self._no_figure_of(prev)
        if it.extra == "column" and it.op == "=":
            return self._same_value(it, prev, head)
        if it.extra == "column":
            return self._versus_column(it, self._compared(it, prev), said)
        phrase = self._phrase_after(it)
        if prev is not None and prev.kind == "money":
            prev.extra = "qualifier"
            return self._spending_vs_average(it, head, said, phrase)
        named = [c for x in phrase if x.kind == "column" for c in x.columns]
        amounts = self._amounts(prev.table) if prev is not None and prev.kind == "table" else []
        if len(amounts) == 1 and not it.columns and [(x.kind, x.table) for x in phrase] == [
                ("table", prev.table)]:
            # "payments greater than twice the average payment": the one
            # amount of a table, where the average is said to be of the
            # same table.
            left = amounts[0]
        else:
            # "films longer than the average rental duration": the length
            # the comparator implies that the average names.
            left = self._compared(it, prev, [c for c in it.columns if c in named])
        averaged = left
        for x in phrase:
            cols = [c for c in x.columns if c.table == left.table and c.numeric]
            if x.kind == "column" and cols:
                averaged = self.pick(cols, [left.table])
                x.extra = "qualifier"
            elif x.kind != "table" or x.table != left.table:
                raise Unmappable(f"the question compares {left.name} with an average the "
                                 f"offline model cannot tie to all of {left.table}")
            self.items.remove(x)
        if not averaged.numeric:
            raise Unmappable(f"{averaged.name} is not a number, so it has no average")
        self._average_of_all()
        sql = f"SELECT AVG({self.sql.ident(averaged.name)}) FROM {self.sql.ident(left.table)}"
        wording = f"{said}the average {averaged.name} of " \
            f"{'all ' if it.extra == 'avg-all' else ''}{left.table.replace('_', ' ')}"
        return Cond(left.table, left, it.op, [], kind="number",
                    against=Against(it.value, wording, sql=sql))

    def _compared(self, it: Item, prev: Optional[Item], implied=None) -> Column:
        """The column on the left of a comparison with something other than
        a number: the one named before it, else the one the comparator
        implies ("longer": a length)."""
        prefer = self.tables_named
        if prev is not None and prev.kind == "column":
            cols = [c for c in prev.columns if c.numeric or c.date]
            if not cols:
                raise Unmappable(f"{prev.columns[0].name} is neither a number nor a date to "
                                 "compare")
            prev.extra = "qualifier"
            left = self.pick(cols, prefer)
        elif it.columns:
            left = self.pick(implied or it.columns, prefer)
        else:
            raise Unmappable("the question compares something but names no column to compare")
        # The rows compared are those the question is about, or rows that
        # belong to them ("products sold at ...": their order lines); a
        # column of a table named only after the comparator ("order lines
        # priced below the product's MSRP" where no price of a line is
        # named) is another row's.
        before = {x.table for x in self.items if x.kind == "table" and x.at < it.at}
        if not before:
            # "Which reorder levels are below ...": the table of a column named.
            before = {c.table for x in self.items if x.kind == "column" and x.at < it.at
                      and len({c.table for c in x.columns}) == 1 for c in x.columns}
        if left.table not in before and not any(
                ref in before for _, ref, _ in self.s.tables[left.table].fks):
            raise Unmappable(f"{left.name} is a column of {left.table}, which the question "
                             "does not name before comparing it")
        return left

    def _phrase_after(self, it: Item) -> list[Item]:
        """The nouns of the average a comparator names ("the average list
        price of all products"); declined when more follows them, which
        may say whose average it is ("... of all customers in France")."""
        out, end = [], it.end
        for x in self.items:
            if x.at < it.end:
                continue
            if x.at - end > 3 or x.kind in ("order", "round"):
                # "..., with the most expensive first" orders the rows the
                # comparison picks; it says nothing of whose average it is.
                break
            if x.kind not in ("table", "column", "money", "agg", "group", "qty"):
                raise Unmappable("the offline model cannot tell whether the words after the "
                                 "average say which rows it is of")
            out.append(x)
            end = x.end
        return out

    def _same_value(self, it: Item, prev: Optional[Item], head: Item) -> Cond:
        """Two columns said to be equal ("the employee's city and the order's
        ship city are the same", "a ship city equal to the customer's
        city"): one of the rows asked about, the other of the same row or of
        the one row its key points at; the two may be named in either
        order, and exactly one way of pairing them must fit."""
        nxt = next((x for x in self.items if x.at == it.end), None)
        if prev is None or prev.kind != "column" or nxt is None or nxt.kind != "column" \
                or prev.end != it.at:
            raise Unmappable("the question says two things are the same but the offline model "
                             "cannot tie both to columns")
        rows = self.table_of(head)
        ups: dict[str, list] = {}
        for fk, ref, refcol in self.s.tables[rows].fks:
            ups.setdefault(ref, []).append((fk, refcol))
        second = nxt.columns
        after = self.after(nxt, "table", "value")
        if after is not None and after.at - nxt.end <= 2:
            # "equal to the list price of the plant": that table's column;
            # "the order date of order 3" is another row's.
            named = self.after(after, "value", "cmp")
            if after.kind == "value" or (named is not None and named.at - after.end <= 1):
                raise Unmappable(f"the question may compare with the {nxt.columns[0].name} of "
                                 f"another row than the {singular(rows)}'s own")
            second = [c for c in second if c.table == after.table]
            after.role = "restated"

        def kind(c: Column) -> str:
            return "date" if c.date else "number" if c.numeric else "text" if c.text else "other"
        pairs = []
        for a in prev.columns:
            for b in second:
                # Equal is equal either way round, but not so "twice".
                for left, right in ((a, b), (b, a)) if it.value == 1 else ((a, b),):
                    if left.table == rows and (right.table == rows or right.table in ups) \
                            and kind(left) == kind(right) != "other" \
                            and (left.table, left.name) != (right.table, right.name) \
                            and (left, right) not in pairs and (right, left) not in pairs:
                        pairs.append((left, right))
        if len(pairs) != 1:
            raise Unmappable("the question compares " + (
                "columns that are no two values of the same " + singular(rows)
                if not pairs else "one of " + ", ".join(
                    f"{l.name} with {r.table}.{r.name}" for l, r in pairs)))
        left, right = pairs[0]
        if it.value != 1 and kind(left) != "number":
            raise Unmappable(f"{left.name} is not a number to multiply")
        if right.table != rows and len(ups[right.table]) > 1:
            raise Unmappable(f"{rows} refers to {right.table} in more than one way")
        prev.extra = nxt.extra = "qualifier"
        via = None if right.table == rows else ups[right.table][0]
        wording = right.name + (
            "" if via is None else f" of its {singular(right.table.replace('_', ' '))}")
        return Cond(left.table, left, "=", [], kind="number",
                    against=Against(it.value, wording, column=right, via=via))

    def _versus_column(self, it: Item, left: Column, said: str) -> Cond:
        """A column compared with another of the same row, or of the one row
        its key points at (an order line's price with its product's list
        price)."""
        nxt = next((x for x in self.items if x.at == it.end), None)
        if nxt is None or nxt.kind != "column":
            raise Unmappable("the question compares with something the offline model cannot "
                             "tie to a column")
        ups: dict[str, list] = {}
        for fk, ref, refcol in self.s.tables[left.table].fks:
            ups.setdefault(ref, []).append((fk, refcol))
        kind = "date" if left.date else "number"
        cands = [c for c in nxt.columns if (c.date if left.date else c.numeric)
                 and (c.table == left.table or c.table in ups)]
        if not cands:
            raise Unmappable(f"{nxt.columns[0].name} is no {kind} of the same "
                             f"{singular(left.table)}, or of the row it belongs to, to compare "
                             f"{left.name} with")
        after = self.after(nxt, "table", "value")
        if after is not None and after.at - nxt.end <= 2:
            # "the unit cost of the medication": that table's column; but
            # "the order date of order 10100" is one row's.
            named = self.after(after, "value", "cmp")
            if after.kind == "value" or after.table not in {c.table for c in cands} or (
                    named is not None and named.at - after.end <= 1):
                # "after the order date of order 10100" is another row's date.
                raise Unmappable(f"the question may compare with the {nxt.columns[0].name} of "
                                 f"another row than the {singular(left.table)}'s own")
            after.role = "restated"
            cands = [c for c in cands if c.table == after.table]
        right = self.pick(cands, [left.table] + list(ups))
        if (right.table, right.name) == (left.table, left.name):
            raise Unmappable(f"the question compares {left.name} with itself")
        if left.date and it.value != 1:
            raise Unmappable("a date times a factor is no date to compare with")
        if right.table != left.table and len(ups[right.table]) > 1:
            raise Unmappable(f"{left.table} refers to {right.table} in more than one way")
        nxt.extra = "qualifier"
        via = None if right.table == left.table else ups[right.table][0]
        wording = said + right.name + (
            "" if via is None else f" of its {singular(right.table.replace('_', ' '))}")
        return Cond(left.table, left, it.op, [], kind="number",
                    against=Against(it.value, wording, column=right, via=via))

    def _spending_vs_average(self, it: Item, head: Item, said: str,
                             phrase: list[Item]) -> Cond:
        """"Customers who spent more than the average of the total spent by
        each customer": each row's money against the average of it over
        all rows of the same table, which the question must say it is."""
        if head.kind != "table":
            raise Unmappable("the question compares spending with an average but names no "
                             "table whose rows spend")
        table = head.table
        if self._owner(self.before(it, "money"), head) is not None:
            raise Unmappable("the question compares the spending of other rows than the ones "
                             "it asks about with an average")
        each = any(x.kind == "group" for x in phrase) and any(
            x.kind == "table" and x.table == table for x in phrase)
        for x in phrase:
            if not (x.kind in ("money", "group") or (x.kind == "agg" and x.op == "sum")
                    or (x.kind == "table" and x.table == table)
                    or (x.kind == "column" and any(self._amount(c) for c in x.columns))):
                raise Unmappable("the question compares spending with an average the offline "
                                 "model cannot tie to what each row spent")
        if not each:
            raise Unmappable("the average could be of single amounts or of what each "
                             f"{singular(table)} spent in all; say 'the average of the total "
                             f"spent by each {singular(table)}'")
        for x in phrase:
            self.items.remove(x)
        self._average_of_all()
        m = self.sql.measure(table, "g", "money", None, [])
        sql = f"SELECT AVG(v) FROM (SELECT {m} AS v FROM {self.sql.ident(table)} g) per_row"
        wording = f"{said}the average spending per {singular(table.replace('_', ' '))}"
        return Cond(None, None, it.op, [], kind="money", against=Against(it.value, wording,
                                                                         sql=sql))

    def _average_of_all(self) -> None:
        if self.kinds("group", "period"):
            raise Unmappable("the question compares with an average and groups the rows, so "
                             "the average could be of all rows or of each group")

    def _amounts(self, table: str) -> list[Column]:
        """The columns of money of a table: decimals whose names say so."""
        return [c for c in self.s.tables[table].columns
                if c.numeric and not c.integer and self._amount(c)]

    def _no_figure_of(self, noun: Optional[Item]) -> None:
        """Declines a comparison of a count or a total said of the noun
        compared ("customers with a number of payments above ...", "whose
        total amount is over ..."), which its rows' own column is not; one
        that opens the question ("How many payments are over ...") counts
        the rows compared."""
        if noun is None or noun.kind not in ("table", "column"):
            return
        for x in self.items:
            if x.kind in ("count", "agg") and 0 <= noun.at - x.end <= 2 and any(
                    y.kind in ("table", "column", "money", "qty") and y.at < x.at
                    for y in self.items):
                raise Unmappable("the question compares a count or a total of rows, which "
                                 "the offline model cannot tie to the rows it asks about")

    def _owner(self, money: Item, head: Item) -> Optional[Item]:
        """The table named right before a word of money or value ("an order
        with a value", "orders worth") when it is not the one asked about:
        the rows whose money the word is.  None for the head's own."""
        prev = self.before(money, "table", "column", "value", "cmp", "date", "vs")
        if prev is None or prev.kind != "table" or money.at - prev.end > 3 \
                or prev.table == head.table or prev.table in {c.table for c in head.columns}:
            return None
        prev.role = "exists"
        return prev

    def _adjacent_after(self, it: Item, nxt: Item) -> bool:
        span = 4 if it.op == "between" else 2
        return nxt.at - it.at <= span + 2

    def _columns_like(self, words) -> list[Column]:
        out = []
        for t in self.s.tables.values():
            for c in t.columns:
                if c.name in t.fk_columns:
                    continue
                if words == "date":
                    if c.date:
                        out.append(c)
                elif any(w in c.words for w in (words if not isinstance(words, str) else (words,))):
                    out.append(c)
        return out

    def date_cond(self, it: Item, head: Item) -> Cond:
        """The date column a date condition applies to: one named next to it,
        else the only date column of the nearest table named before it."""
        prev = self.before(it, "column", "table", "money", "size")
        cand: list[Column] = []
        if prev is not None and prev.kind == "column":
            cand = [c for c in prev.columns if c.date]
            if cand:
                prev.extra = "qualifier"
            years = [c for c in prev.columns if _year_column(c)]
            if not cand and years and it.op != "weekday":
                prev.extra = "qualifier"
                return self._year_cond(self.pick(years, self.tables_named), it)
        if not cand:
            order = []
            if prev is not None and prev.kind == "table":
                # "orders did customers from Spain place in 2024": a table named
                # further back than right before the date yields to the one
                # asked about.
                between = [x for x in self.items if prev.at < x.at < it.at]
                # "How much did customers pay in July": the payments' date,
                # whose amounts are what the question totals.
                paid = prev.extra == "verb" and self.first("howmuch") is not None and not between
                if (between or prev.extra == "verb") and head.kind == "table" and not paid \
                        and head.table != prev.table and len(self.s.tables[head.table].dates) == 1:
                    order.append(head.table)
                order.append(prev.table)
            order += [t.table for t in self.kinds("table") if t.table not in order]
            if head.kind == "column":
                order += [c.table for c in head.columns if c.table not in order]
            if head.kind in ("money", "size", "qty") or self.money or self.qty \
                    or self.kinds("size"):
                if self.s.line_items:
                    order.append(self.s.line_items[3])
                elif self.s.money_column():
                    order.append(self.s.money_column().table)
            # Rows without a date of their own take the one of the row they
            # belong to: an order line is dated by its order.
            for t in list(order):
                for col, ref, _ in self.s.tables[t].fks:
                    if ref in self.s.tables and ref not in order and self.s.tables[ref].dates:
                        order.append(ref)
            for t in order:
                dates = self.s.tables[t].dates
                years = [c for c in self.s.tables[t].columns if _year_column(c)]
                if dates and years:
                    # "films from 2006": the year they were released, or the
                    # day their row was last changed?
                    raise Unmappable(f"{t} keeps a year ({', '.join(c.name for c in years)}) "
                                     f"beside its dates ({', '.join(c.name for c in dates)}); "
                                     "say which one the year is of")
                if len(dates) > 1:
                    dates = self._own_date(self.s.tables[t]) or dates
                if len(dates) == 1:
                    cand = dates
                    break
                if len(dates) > 1:
                    raise Unmappable(f"{t} has more than one date column ("
                                     + ", ".join(c.name for c in dates)
                                     + "); say which one the date is about")
        if not cand:
            raise Unmappable("the question gives a date but no date column belongs to what "
                             "it asks about")
        col = self.pick(cand, self.tables_named)
        return self._date_range(col, it)

    @staticmethod
    def _own_date(t: Table) -> list[Column]:
        """The date a row is about, among several: the one named after its
        table ("loan_date" in loans), or plainly "date"; [] when not one."""
        own = [c for c in t.dates if set(c.words) - {"date", "at", "on", "time"}
               <= set(t.words) or c.words == ["date"]]
        return own if len(own) == 1 else []

    def _year_cond(self, col: Column, it: Item) -> Cond:
        """A year compared with a column that holds years, not dates."""
        values = it.value if it.op == "between" else [it.value]
        if any(month is not None or not isinstance(year, int) for year, month in values):
            raise Unmappable(f"{col.name} holds years, and the question gives a month or a day")
        years = [year for year, _ in values]
        op = {"in": "=", "before": "<", "after": ">", "since": ">=", "between": "between"}[it.op]
        return Cond(col.table, col, op, years, kind="number")

    def _date_range(self, col: Column, it: Item) -> Cond:
        def span(value):
            year, month = value
            if isinstance(year, datetime.date):
                return year, year + datetime.timedelta(days=1), year.isoformat()
            if month is None:
                return datetime.date(year, 1, 1), datetime.date(year + 1, 1, 1), str(year)
            end = datetime.date(year + (month == 12), month % 12 + 1, 1)
            return datetime.date(year, month, 1), end, f"{datetime.date(year, month, 1):%B %Y}"
        if it.op == "weekday":
            name = datetime.date(2023, 1, it.value).strftime("%A")  # 1 January 2023: a Sunday
            return Cond(col.table, col, "weekday", [it.value, name], kind="date")
        if it.op == "between":
            a, b = span(it.value[0]), span(it.value[1])
            return Cond(col.table, col, "range", [a[0], b[1], f"{a[2]} to {b[2]}"], kind="date")
        lo, hi, text = span(it.value)
        if it.op == "in":
            return Cond(col.table, col, "range", [lo, hi, text], kind="date")
        if it.op == "before":
            return Cond(col.table, col, "<", [lo], kind="date")
        if it.op == "after":
            return Cond(col.table, col, ">=", [hi], kind="date")
        return Cond(col.table, col, ">=", [lo], kind="date")  # since

    # -- the shapes ------------------------------------------------------------
    def split_conds(self, table: str) -> tuple[list[Cond], list[Cond]]:
        """Plain conditions, and those on counts or sums of related rows."""
        plain, measured = [], []
        for c in self.conds:
            if c.kind in ("count", "money"):
                measured.append(c)
            else:
                if c.kind == "related":
                    c.table = table
                plain.append(c)
        return plain, measured

    def where_for(self, table: str, alias: str) -> list[str]:
        plain, measured = self.split_conds(table)
        parts = self.sql.where(table, alias, plain)
        return parts + [self.sql.measured(table, alias, c) for c in measured]

    def describe(self) -> str:
        return phrasing.describe_conds(self.conds, self._main)

    _main: Optional[str] = None

    def count(self, head: Item, count: Item) -> Plan:
        distinct = self.first("distinct")
        li = self.s.line_items
        if self._things_sold(head, self.p.words[head.end:]):
            # "tracks sold": the things the order lines record.  A total is
            # their units; "how many" alone may be the units or how many
            # different ones, and only "different" says which.
            if any(a.op == "sum" for a in self.kinds("agg")):
                head.role = "counted"
                return self.aggregate(Item("qty", head.at, end=head.end), "sum")
            if not distinct:
                raise self._units_or_different(head.table)
            if not any(c.kind == "related" and c.related == li[0] for c in self.conds):
                self.conds.append(Cond(None, None, "some", kind="related", related=li[0]))
        if head.kind == "column" and not self._qualifies_value(head):
            col = self.pick(head.columns, self.tables_named)
            if col.numeric and not distinct:
                # "How many hours were logged": the hours added up.
                return self.aggregate(head, "sum")
            head.role = "counted"
            table = col.table
            self._main = table
            sql = self.sql.count_distinct(table, col, self.where_for(table, self.sql.ident(table)))
            desc = self.describe()
            return Plan(sql, partial(phrasing.distinct_count, col.name, table, desc))
        if head.kind != "table":
            raise Unmappable("the question counts something that is not a table")
        table = head.table
        self._main = table
        listed = [c for c in self.conds if c.kind == "value" and c.op == "in"]
        if listed and not self.first("or"):
            # "the number of customers in Denmark, Norway and Sweden" may
            # want one count for all of them or one for each.
            raise Unmappable("the question may ask for one count of all of "
                             + ", ".join(map(str, listed[0].values)) + " or one count for each; "
                             "ask for '... in A or B' or '... for each of A and B'")
        sql = self.sql.count_rows(table, self.where_for(table, self.sql.ident(table)))
        desc = self.describe()
        label = table.replace("_", " ")
        via = any(c.table != table for c in self.conds if c.kind != "count")
        return Plan(sql, partial(phrasing.row_count, label, bool(via and distinct), desc))

    _SOLD = ("sold", "bought", "ordered", "purchased", "purchases")

    def _things_sold(self, noun: Item, words: list[str]) -> bool:
        """Whether `noun` is the things the order lines record and `words`
        (of the question) say they were sold: "tracks sold"."""
        li = self.s.line_items
        return bool(li) and noun.kind == "table" and noun.table != li[0] and noun.table in {
            ref for _, ref, _ in self.s.tables[li[0]].fks} and not self.kinds("neg") \
            and any(w in self._SOLD for w in words)

    @staticmethod
    def _units_or_different(table: str) -> Unmappable:
        things = plural(2, table.replace("_", " "))
        return Unmappable(f"'how many {things} were sold' may mean the units sold or "
                          f"how many different {things}; ask for 'how many units' or "
                          f"'how many different {things}'")

    def count_per_flag(self, a: Item, b: Item) -> Plan:
        """"Count the current and the discontinued products": how many rows
        are each way of a yes-or-no column, named as the question names them."""
        col = a.columns[0]
        nouns = [it for it in self.kinds("table") if it.table == col.table]
        if len(self.kinds("table", "column", "money", "qty")) != len(nouns) or not nouns:
            raise Unmappable(f"the question counts {col.table} each way of {col.name} but "
                             "asks about more")
        for it in nouns + [a, b]:
            it.role = "counted"
        c, no = self.sql.ident(col.name), self.sql.literal(col.flag_no)
        parts = [f"COALESCE(SUM({c} {'<>' if it.value else '='} {no}), 0)" for it in (a, b)]
        sql = f"SELECT {', '.join(parts)} FROM {self.sql.ident(col.table)}"
        return Plan(sql, partial(phrasing.flag_counts, col.table, col.name,
                                 [(it.extra, it.value) for it in (a, b)]))

    def _measure_head(self, head: Item) -> tuple[str, Optional[Column], str]:
        """(what, column, wording) of the thing summed or averaged."""
        if head.kind == "money" or (self.money and head.kind != "column"):
            return "money", None, (f"{self.money_word()} ({self.line_worth()})"
                                   if self.s.line_items else "amount")
        if head.kind == "qty" or self.qty:
            return "qty", None, "units"
        if head.kind == "column":
            col = self.pick([c for c in head.columns if c.numeric or c.date] or head.columns,
                            self.tables_named)
            return "column", col, col.name
        raise Unmappable("the question names no numeric column to total or average")

    def aggregate(self, head: Item, fn: str) -> Plan:
        sizes = self.kinds("size")
        if head.kind == "table" and sizes and self.s.line_items \
                and head.table == self.s.line_items[3]:
            return self.order_values(head.table, fn)
        if head.kind == "table" and self.s.line_items and head.table == self.s.line_items[3] \
                and self.after(head, "column", "money") is None:
            return self.order_values(head.table, fn)  # "the total of order 5"
        if head.kind == "table":
            nxt = self.after(head, "column", "money")
            verb = next((it for it in self.kinds("table") if it.extra == "verb"
                         and it.at > head.at), None)
            if nxt is None and verb is not None and not [
                    c for c in self.s.tables[head.table].columns if c.numeric and self._amount(c)]:
                # "How much did customers pay": the amounts of the payments
                # the verb names, of the rows asked about.
                head.role = "place"
                head = verb
                self.conds = [c for c in self.conds if not (
                    c.kind == "related" and c.op == "some" and c.related == verb.table)]
            if nxt is None:
                # "the total of payments": a table's amounts, where it has one
                # column of money; with several the question must say which.
                cols = self._amounts(head.table)
                if len(cols) > 1:
                    raise Unmappable(f"{head.table} has more than one amount to total or "
                                     "average (" + ", ".join(c.name for c in cols) + ")")
                if not cols:
                    raise Unmappable(f"the question names no numeric column of {head.table} "
                                     "to total or average")
                head.role = "measured"
                what, col, wording = "column", cols[0], cols[0].name
            else:
                head = nxt
        if head.kind != "table":
            what, col, wording = self._measure_head(head)
        head.role = "measured"
        if what == "column" and fn == "sum" and self._is_line_price(col):
            # The total of a line's unit price means nothing; the total cost
            # of lines is quantity times unit price.
            what, col = "money", None
            q, p = self.s.line_items[1:3]
            wording = f"{p.name} × {q.name}"
        if what == "column" and col.flag:
            # "the most active customer" is no highest value of a yes or no.
            raise Unmappable(f"{col.name} only says yes or no, so it has no total, average "
                             "or extreme to give")
        if what == "column" and not col.numeric and (fn in ("sum", "avg") or not col.date):
            raise Unmappable(f"{col.name} is not a number, so it has no "
                             + ("total or average" if fn in ("sum", "avg") else "highest or lowest"))
        fact = col.table if col else self.s.money_table()
        below = [c for c in self.conds if c.kind in ("value", "date", "number", "null")
                 and c.table != fact and self._descends(fact, c.table)]
        if what == "column" and fn in ("sum", "avg") and below and self._amount(col):
            what, col, wording, fact = self._line_grain(col, fn, below[0].table)
        self._main = fact
        alias = self.sql.ident(fact)
        where = self.where_for(fact, alias)
        sql = self.sql.aggregate(fact, alias, what, fn, col, where)
        if what in ("money", "qty") and fn != "sum":
            raise Unmappable(f"an {fn} of revenue needs a unit to average over "
                             "(say 'average order value')")
        desc = self.describe()
        word = {"sum": "total", "avg": "average", "max": "highest", "min": "lowest"}[fn]
        if col is not None and col.date:
            word = {"max": "latest", "min": "earliest"}.get(fn, word)
        answer = partial(phrasing.total, word, wording, fact, desc)
        if fn in ("sum", "avg"):
            answer = self._rounded(answer)
        unit = self.first("unit")
        if unit is not None:
            # "in minutes": the figure converted from the unit the column's
            # name says it keeps, and the answer says so.
            kept = time_unit(col.words) if col is not None and not col.date else None
            if kept is None:
                raise Unmappable(f"{col.name if col is not None else 'the figure'} does not say in "
                                 f"its name which unit of time it holds, so it cannot be given "
                                 f"in {unit.value}s")
            unit.role = "unit"
            shown = partial(phrasing.total, word, f"{wording} in {unit.value}s", fact, desc)
            answer = lambda rows: shown(  # noqa: E731
                [(in_asked_unit(r[0], kept, unit.value),) for r in rows])
        return Plan(sql, answer,
                    extreme="value" if fn in ("max", "min") and what == "column" else None)

    def _rounded(self, answer):
        """The answer with its figures rounded as the question asks ("rounded
        to 2 decimal places").  Only a total, an average or a figure per
        group is rounded: rows ranked by a figure keep it exact, since a
        rounded figure could tie rows that do not tie."""
        asked = self.first("round")
        if asked is None:
            return answer
        asked.role = "round"
        step = decimal.Decimal(1).scaleb(-asked.value)

        def rounded(v):
            if isinstance(v, bool) or isinstance(v, int) or not isinstance(
                    v, (decimal.Decimal, float)):
                return v
            return decimal.Decimal(str(v)).quantize(step, rounding=decimal.ROUND_HALF_UP)
        return lambda rows: answer([tuple(rounded(v) for v in r) for r in rows])

    def both_extremes(self, sups: list[Item]) -> Plan:
        """"the shortest and longest films", "the most and the least
        expensive products": each extreme planned as if asked alone, and
        both put in one query."""
        if len(sups) != 2 or self.first("top") is not None:
            raise Unmappable("the question asks for both the most and the least in a way the "
                             "offline model cannot split in two")
        a, b = sups
        between = [t.low for t in tokenize(self.q)[a.end:b.at]]
        if b.at - a.end > 2 or not set(between) <= {"and", "the"} or "and" not in between:
            raise Unmappable("the question asks for both the most and the least; ask for "
                             "one at a time")
        if a.extra is None and b.extra is not None:
            a.extra = b.extra  # "the most and the least expensive": both of price
        plans = []
        for sup in sups:
            other = a if sup is b else b
            copies = {id(it): dataclasses.replace(it) for it in self.items if it is not other}
            plans.append(Planner(self.s, Parse(list(copies.values()), self.p.probes,
                                               self.p.unknown, self.p.words), self.q).plan())
            for it in self.items:
                if id(it) in copies and copies[id(it)].role:
                    it.role = it.role or copies[id(it)].role  # used by the half
        kinds = {p.extreme for p in plans}
        if len(kinds) != 1 or None in kinds:
            raise Unmappable("the question asks for both the most and the least of something "
                             "the offline model answers only one at a time")
        first, second = plans
        self.conds = []
        if kinds == {"value"}:
            sql = f"SELECT ({first.sql}) AS a, ({second.sql}) AS b"
            return Plan(sql, lambda rows: " ".join(
                (first.answer([(r[0],) for r in rows]), second.answer([(r[1],) for r in rows]))))
        halves = [f"SELECT {k} AS half, x{k}.* FROM ({p.sql}) x{k} WHERE x{k}.v = "
                  f"(SELECT {fn}(y{k}.v) FROM ({p.sql}) y{k})"
                  for k, p, fn in ((1, first, a.op.upper()), (2, second, b.op.upper()))]
        sql = " UNION ALL ".join(halves) + " ORDER BY 1, 2"
        return Plan(sql, lambda rows: " ".join(
            (first.answer([r[1:] for r in rows if r[0] == 1]),
             second.answer([r[1:] for r in rows if r[0] == 2]))))

    def order_values(self, order_table: str, fn: str) -> Plan:
        self._main = order_table
        # Rows without lines have no value (NULL, not 0) and stay out of it.
        per = self.sql.measure(order_table, self.sql.ident(order_table), "money", None, [],
                              zero=False)
        where = self.where_for(order_table, self.sql.ident(order_table))
        sql = self.sql.per_order(order_table, fn, per, where)
        desc = self.describe()
        word = {"sum": "total", "avg": "average", "max": "highest", "min": "lowest"}[fn]
        return Plan(sql, partial(phrasing.order_value, word, order_table, desc,
                                 worth=self.line_worth()))

    def _is_group_extreme(self, head: Item, sup: Item) -> bool:
        """'Which city has the most customers', 'which customer spent the most':
        a second noun (or money) follows the superlative."""
        after = [it for it in self.items if it.at > sup.at and it.kind in
                 ("table", "column", "money", "qty") and it.extra != "qualifier"
                 and it is not head
                 and not (it.kind == "table" and any(
                     c.table == it.table and (c.numeric or c.date) for c in head.columns))]
        if sup.extra == "count":
            return True
        if sup.extra:
            # "the name of the most expensive product": the table after an
            # adjective is the row ranked, not something counted.
            after = [it for it in after if it.kind != "table"]
        return bool(after) or self.money is not None or self.qty is not None \
            or bool(self.kinds("agg"))

    def grouped(self, head: Item, group: Optional[Item], sup: Optional[Item]) -> Plan:
        """A count or a sum per group ("orders per customer"), or the group
        with the most or least of it ("which city has the most customers")."""
        key, measured = self._group_key(head, group, sup)
        key.extra = "group"
        key.role = "group"
        for it in self.kinds("table"):
            if it is not key and key.kind == "table" and it.table == key.table \
                    and it.role == "exists":
                # "each customer, with the customers listed ...": the groups
                # named again, no condition on the rows measured.
                it.role = "restated"
                self.conds = [c for c in self.conds if not (
                    c.kind == "related" and c.op == "some" and c.related == key.table)]
        if measured is not None:
            measured.role = "measured"
        if self._is_average_per_order(key, group, sup, measured):
            # "the average cost per visit": the average of each visit's total.
            return self.order_values(key.table, "avg")
        aggs = self.kinds("agg")
        if (sup is not None and group is None and key.kind == "table" and not aggs
                and measured is not None and measured.kind == "column"
                and any(c.table == key.table for c in measured.columns)):
            # "Which book has the most pages": a column of the row itself.
            return self.extreme(key, sup)
        what, col, wording, fn, measured = self._group_measure(
            key, measured, sup, aggs[0].op if aggs else None)
        if what == "count" and measured is not None and self._things_sold(
                measured, self.p.words):
            # "How many tracks were sold in each genre", "which artist has
            # sold the most tracks": the units sold or how many different
            # tracks, not the tracks of the catalogue.
            raise self._units_or_different(measured.table)
        if what in ("money", "qty"):
            fact = self.s.money_table()
        else:
            fact = col.table if col else measured.table
        if key.kind == "table":
            gtable, gcol = key.table, None
        else:
            gcol = self.pick(self._own_key_columns(key.columns, fact),
                             [fact] + self.tables_named)
            gtable = gcol.table
        below = [t for t in [gtable] + [c.table for c in self.conds if c.kind in (
            "value", "date", "number", "null")] if t != fact and self._descends(fact, t)]
        if what == "column" and fn in ("sum", "avg", None) and below and self._amount(col):
            # "invoice totals per genre": each invoice's whole total would be
            # counted once for every genre among its lines.
            what, col, wording, fact = self._line_grain(col, fn or "sum", below[0])
        self._main = gtable
        fnname = {"sum": "SUM", "avg": "AVG", "max": "MAX", "min": "MIN", None: "SUM"}[fn]
        count_avg = what == "count" and fn == "avg" and sup is None and self.first("count") \
            is not None and [a.op for a in aggs] == ["avg"]
        if what == "count" and fn is not None and not count_avg:
            raise Unmappable("the question asks for both a count and a total")
        for it in self.kinds("column"):
            if it is not key and not it.role and key.kind == "column" and gcol in it.columns:
                it.role = "group"  # "the last names ... who have that last name"
        # Conditions on the grouped table restrict the groups; the others the
        # rows counted or summed in each group.
        plain, measured_conds = self.split_conds(gtable)
        gconds = [c for c in plain if c.table == gtable and c.kind != "related"]
        fconds = [c for c in plain if c not in gconds]
        having = []
        if measured_conds:
            # "last names shared by at least two actors": a condition on the
            # count of each group is on the figure the answer gives per group.
            if what != "count" or gcol is None or sup is not None or any(
                    c.kind != "count" or c.related != fact or c.against is not None
                    for c in measured_conds):
                raise Unmappable("a condition on a count or a sum inside a grouping")
            having = measured_conds
        order = "ASC" if sup is not None and sup.op == "min" else "DESC"
        ops = [a.op for a in aggs]
        if count_avg or sup is None and (ops[:2] == ["avg", "sum"] or (ops == ["avg"] and what in (
                "money", "qty"))):
            # "the average total paid per customer": one figure, the average
            # of each group's total; the answer says so.
            return self._average_of_totals(gtable, gcol, what, fact, fconds, col, gconds,
                                           wording)
        first = self._group_order(gtable, gcol, what, fact) if sup is None else None
        # "Which category sells the most" may rank by the units sold or by
        # the money they took in: both are computed, and answered only
        # where they pick the same groups.
        two_readings = what == "qty" and sup is not None and self.qty is not None \
            and self.qty.op == "verb"
        if gcol is None:
            second = self.sql.measure(gtable, "g", "money", fact, fconds) if two_readings \
                else None
            sql, link = self._per_row_sql(gtable, what, fact, fconds, col, fnname, gconds, order,
                                          first, second)
            gname = singular(gtable.replace("_", " "))
        else:
            link = None
            m = self.sql.group_measure(gtable, gcol, what, fact, fconds, col, fnname, gconds)
            if two_readings:
                m = self.sql.group_measure(gtable, gcol, "money", fact, fconds, None, "SUM",
                                           gconds) + " AS w, " + m
            sql = self.sql.per_value(gtable, gcol, m, gconds, order, having=having, first=first)
            gname = gcol.name
        desc = self.describe()
        if what == "column" and not (sup is not None and fn == sup.op):
            wording = {"SUM": "total", "AVG": "average", "MAX": "highest", "MIN": "lowest"}[
                fnname] + " " + wording
            if fnname == "AVG" and fact != gtable:
                # "the average payment per customer": of each one's payments.
                wording += f" of {fact.replace('_', ' ')}"
        elif what == "count":
            wording = wording.replace("_", " ")
        unit = self.first("unit")
        kept = time_unit(col.words) if unit is not None and what == "column" and col is not None \
            and not col.date else None
        if sup is None and kept is not None and link is None:
            # "the average track length in minutes per genre": each figure
            # converted from the unit the column's name says it keeps.
            unit.role = "unit"
            shown = partial(phrasing.per_group, f"{wording} in {unit.value}s", gname, desc,
                            cap=phrasing.REPORT_CAP if first else phrasing.GROUP_CAP)
            answer = self._rounded(lambda rows: shown(
                [(r[0], in_asked_unit(r[1], kept, unit.value)) for r in rows]))
        elif sup is None:
            answer = self._rounded(partial(phrasing.per_group, wording, gname, desc,
                                           cap=phrasing.REPORT_CAP if first else phrasing.GROUP_CAP))
        else:
            top = self.first("top")
            n = top.value if top else 1
            if top is not None and top.extra == "nth":
                # "the category with the second most films": the groups
                # ranked n-th, told as the first of those.
                answer = _checked(partial(phrasing.nth_rank, n, plural(2, gname)), partial(
                    phrasing.best_groups, sup.op, 1, what, wording, gname, desc,
                    rank=phrasing.ORDINAL_WORDS.get(n, str(n))))
            else:
                answer = partial(phrasing.best_groups, sup.op, n, what, wording, gname, desc)
        if link is not None:
            top = self.first("top")
            ranked = (sup.op, top.value if top else 1) if sup is not None else None
            answer = _checked(partial(phrasing.one_reading, fact, link, gname, ranked=ranked),
                              answer)
        if two_readings:
            top = self.first("top")
            answer = _checked(partial(phrasing.units_or_money, sup.op, top.value if top else 1,
                                      gname), answer)
        return Plan(sql, answer)

    def per_period(self, head: Item, group: Optional[Item], sup: Optional[Item],
                   period: Item) -> Plan:
        """"Orders per month in 2004", "revenue by year", "which month had
        the most rentals": a count or a sum for each month or year of the
        date the measured rows carry (or their header's: a line's order date)."""
        if not (period.extra or (group is not None and 0 < period.at - group.at <= 2)
                or (sup is not None and self.first("wh") is not None
                    and self.first("wh").at < period.at)):
            raise Unmappable(f"the question names a {period.value} but does not group by it")
        if group is not None:
            group.role = "group"
        period.role = "group"
        aggs = self.kinds("agg")
        fn = aggs[0].op if aggs else None
        measured = next((it for it in self.items if it.kind in ("table", "column", "money", "qty")
                         and it.extra != "qualifier" and not it.role), None)
        if measured is not None and measured.kind == "table":
            # "the average invoice total per year": the table's own number.
            measured = next((it for it in self.kinds("column") if it.at == measured.end and all(
                c.table == measured.table and c.numeric for c in it.columns)), measured)
        active = self.first("active")
        if active is not None:
            return self.active_per_period(active, measured, period, sup, group)
        col = None
        if self.money or self.qty:
            what = "money" if self.money else "qty"
            fact = self.s.money_table()
            wording = f"{self.money_word()} ({self.line_worth()})" if what == "money" \
                and self.s.line_items \
                else ("units" if what == "qty" else "amount")
            if fn not in (None, "sum"):
                raise Unmappable(f"an {fn} of revenue per {period.value} needs a unit to "
                                 "average over")
            fn = "sum"
        elif measured is not None and measured.kind == "column":
            col = self.pick([c for c in measured.columns if c.numeric] or measured.columns,
                            self.tables_named)
            if not col.numeric or fn is None:
                raise Unmappable(f"the question does not say what to take of {col.name} "
                                 f"per {period.value}")
            what, fact, wording = "column", col.table, f"{self._fn_word(fn)} {col.name}"
        elif measured is not None and measured.kind == "table" and fn is None:
            what, fact, wording = "count", measured.table, measured.table.replace("_", " ")
        else:
            raise Unmappable(f"the question does not say what to count or sum per "
                             f"{period.value}")
        if measured is not None:
            measured.role = "measured"
        date = self._period_date(fact, what in ("money", "qty"))
        self._main = fact
        alias, halias = "p0", "p1"
        join = None
        if date.table != fact:
            fk = [(c, r) for c, r, _ in self.s.tables[fact].fks if r == date.table]
            pk = self.s.tables[date.table].pk
            if len(fk) != 1 or len(pk) != 1:
                raise Unmappable(f"{fact} is joined to {date.table} in more than one way")
            join = (date.table, halias, fk[0][0], pk[0])
        dcol = self.sql.col(halias if join else alias, date.name)
        key = self.sql.period(dcol, period.value)
        measure = self.sql.period_measure(alias, what, fn, col)
        where = self.where_for(fact, alias) + [f"{dcol} IS NOT NULL"]
        order = "k" if sup is None else f"v {'ASC' if sup.op == 'min' else 'DESC'}, k"
        sql = self.sql.per_period(fact, alias, join, key, measure, where, order)
        desc = self.describe()
        gname = f"{period.value} of {date.name}"
        listed = partial(phrasing.per_group, wording, gname, desc)
        if sup is None:
            return Plan(sql, listed)
        top = self.first("top")
        best = partial(phrasing.best_groups, sup.op, top.value if top else 1,
                       "count" if what == "count" else "column", wording, gname, desc)
        if group is None:
            return Plan(sql, best)
        # "orders per month, and which month had the most": both.
        return Plan(sql, lambda rows: listed(sorted(rows, key=lambda r: r[0])) + " "
                    + best(rows))

    def active_per_period(self, active: Item, measured: Optional[Item], period: Item,
                          sup: Optional[Item], group: Optional[Item]) -> Plan:
        """"Monthly active customers": how many different rows of a table
        have a row of what they do in each period.  Each table that refers
        to them with a date of its own records something they did (rentals,
        payments); where several do, each is counted, and they must agree."""
        if measured is None or measured.kind != "table" or measured.at != active.end:
            raise Unmappable("the question says 'active' of no table")
        if sup is not None or self.kinds("agg", "money", "qty") or self.conds or (
                group is not None and group.at > period.at + 1):
            raise Unmappable("the offline model counts active rows per period with nothing "
                             "more to them")
        who = measured.table
        measured.role = active.role = "measured"
        sources = []
        for t in self.s.tables.values():
            keys = [c for c, ref, _ in t.fks if ref == who]
            if t.name == who or not keys or not t.dates or t.person_name is not None or (
                    t.label is not None and set(t.label.words) & set(LABEL_WORDS)):
                # Rows of people or named things are no record of something
                # done: a customer's create_date is not the store's activity.
                continue
            if len(keys) > 1:
                raise Unmappable(f"{t.name} refers to {who} in more than one way")
            sources.append((t.name, keys[0], self._record_date(t.name)))
        if not sources:
            raise Unmappable(f"no table records, with a date, what the "
                             f"{plural(2, singular(who.replace('_', ' ')))} do")
        parts = []
        for n, (table, key, date) in enumerate(sources):
            k = self.sql.period(self.sql.col("a", date.name), period.value)
            parts.append(f"SELECT {n} AS src, {k} AS k, COUNT(DISTINCT {self.sql.col('a', key)}) "
                         f"AS v FROM {self.sql.ident(table)} a WHERE {self.sql.col('a', key)} "
                         f"IS NOT NULL AND {self.sql.col('a', date.name)} IS NOT NULL GROUP BY k")
        cols = ", ".join(f"MAX(CASE WHEN src = {n} THEN v END)" for n in range(len(sources)))
        sql = f"SELECT k, {cols} FROM ({' UNION ALL '.join(parts)}) per_source GROUP BY k ORDER BY k"
        names = [f"{t} ({d.name})" for t, _, d in sources]
        wording = f"number of {plural(2, singular(who.replace('_', ' ')))} active (with a row in " \
            f"{sources[0][0]} that {period.value}" + "".join(
                f"; {t} gives the same counts" for t, _, _ in sources[1:]) + ")"
        listed = partial(phrasing.per_group, wording, period.value, "")
        return Plan(sql, _checked(partial(phrasing.same_counts, who, names, period.value),
                                  listed))

    def span(self, span: Item) -> Plan:
        """The days from a table's first row to its last, by the date of
        what its rows record."""
        more = [it for it in self.items if it.kind in (
            "count", "agg", "super", "top", "group", "period", "money", "qty", "share", "howmuch",
            "column", "order", "unit") or (it.kind == "table" and it.table != span.table)]
        if more:
            raise Unmappable(f"the question asks for the days from the first to the last "
                             f"{singular(span.table)} and more the offline model cannot "
                             "put with them")
        table = span.table
        head = Item("table", span.at, end=span.end, table=table)
        self.conds = self.conditions(head)
        span.role = "span"
        date = self._record_date(table)
        self._main = table
        col = self.sql.ident(date.name)
        sql = (f"SELECT DATEDIFF(MAX({col}), MIN({col})) FROM {self.sql.ident(table)}"
               + "".join(" WHERE " + " AND ".join(w) for w in [self.where_for(
                   table, self.sql.ident(table))] if w))
        return Plan(sql, partial(phrasing.span_days, singular(table.replace("_", " ")),
                                 date.name, self.describe()))

    def _record_date(self, table: str) -> Column:
        """The date of what a row records: its one date, or the one named for
        the table itself (a rental's rental_date, not its return_date)."""
        dates = self.s.tables[table].dates
        if len(dates) == 1:
            return dates[0]
        own = self._own_date(self.s.tables[table])
        if own:
            return own[0]
        raise Unmappable(f"{table} has " + ("no date" if not dates else "more than one date ("
                         + ", ".join(c.name for c in dates) + ")") + " to tell its first row "
                         "from its last")

    def share(self, head: Item) -> Plan:
        """The share of a table's rows that the question's one condition
        picks, of all its rows.  With two conditions either could be the
        base ("what share of 2024's orders were cancelled"), so one only."""
        if head.kind != "table":
            raise Unmappable("a share is taken of the rows of a table, and the question "
                             "names none")
        if self.kinds("agg", "super", "group", "period", "money", "qty") or self.first("count"):
            raise Unmappable("the question asks for a share of something other than rows")
        if len(self.conds) != 1 or self.conds[0].kind in ("count", "money"):
            raise Unmappable("a share needs exactly one condition to tell the part from the "
                             f"whole; the question has {len(self.conds)}")
        table = head.table
        head.role = "head"
        self._main = table
        part = self.sql.count_rows(table, self.where_for(table, self.sql.ident(table)))
        sql = f"SELECT ({part}), ({self.sql.count_rows(table, [])})"
        return Plan(sql, partial(phrasing.share, table.replace("_", " "), self.describe()))

    @staticmethod
    def _fn_word(fn: str) -> str:
        return {"sum": "total", "avg": "average", "max": "highest", "min": "lowest"}[fn]

    def _period_date(self, fact: str, sales: bool) -> Column:
        """The date that puts a row in its month: the one a date condition of
        the question already uses, else the row's own one date, else its
        header's (an order line is dated by its order).  Sales go by the
        date of their order even where a line has a date of its own."""
        mine = [c.column for c in self.conds if c.kind == "date" and c.column is not None
                and (c.table == fact or any(r == c.table for _, r, _ in self.s.tables[fact].fks))]
        if len({(c.table, c.name) for c in mine}) == 1:
            return mine[0]
        tables = [fact] + [r for _, r, _ in self.s.tables[fact].fks if r in self.s.tables]
        if sales and self.s.line_items and fact == self.s.line_items[0]:
            tables = [self.s.line_items[3]]
        for table in tables:
            dates = self.s.tables[table].dates
            if len(dates) > 1:
                own = [c for c in dates if set(c.words) - {"date", "at", "on", "time"}
                       <= set(self.s.tables[table].words) or c.words == ["date"]]
                if len(own) != 1:
                    raise Unmappable(f"{table} has more than one date column ("
                                     + ", ".join(c.name for c in dates)
                                     + "); say which one the period is of")
                return own[0]
            if dates:
                return dates[0]
        raise Unmappable(f"{fact} has no date to tell its rows' {self.first('period').value}")

    def _hops(self, a: str, b: str) -> list:
        try:
            return self.s.path(a, b, self.sql.plain)
        except Unmappable:
            return []

    def _own_key_columns(self, columns: list[Column], fact: str) -> list[Column]:
        """A group key held by several tables, none of them the one counted
        ("which city do most orders go to": city of customers, employees,
        suppliers): the counted rows' own column of that name
        (orders.ship_city) answers, when they have exactly one."""
        if len({c.table for c in columns}) < 2 or any(c.table == fact for c in columns):
            return columns
        heads = {c.words[-1] for c in columns if c.words}
        own = [c for c in self.s.tables[fact].columns if c.text and c.words
               and c.words[-1] in heads and c.name not in self.s.tables[fact].fk_columns]
        if len(own) == 1:
            return own
        # Else the nearest of the rows each counted row belongs to: sales per
        # country are by the customer's country (line, invoice, customer),
        # not by that of the customer's support rep one reference further.
        reach = {}
        for c in columns:
            if self._own_attribute(fact, c.table):
                reach[c.name, c.table] = len(self.s.path(fact, c.table, self.sql.plain))
        if reach:
            nearest = min(reach.values())
            near = [c for c in columns if reach.get((c.name, c.table)) == nearest]
            if len(near) == 1:
                return near
        return columns

    def _average_of_totals(self, gtable: str, gcol: Optional[Column], what: str, fact: str,
                           fconds: list[Cond], col: Optional[Column], gconds: list[Cond],
                           wording: str) -> Plan:
        if gcol is None:
            if self.s.tables[gtable].label is None:
                raise Unmappable(f"{gtable} has no single key to group by")
            m = self.sql.measure(gtable, "g", what, fact, fconds, col, "SUM")
            inner = self.sql.per_row(gtable, m, gconds, "DESC")
            gname = singular(gtable.replace("_", " "))
        else:
            m = self.sql.group_measure(gtable, gcol, what, fact, fconds, col, "SUM", gconds)
            inner = self.sql.per_value(gtable, gcol, m, gconds, "DESC")
            gname = gcol.name
        sql = f"SELECT AVG(v), COUNT(v) FROM ({inner}) per_group"
        total = {"column": f"total {wording}", "count": f"number of {phrasing.plural(2, fact.replace('_', ' '))}"}.get(
            what, wording)
        return Plan(sql, partial(phrasing.average_of_totals, total, gname, self.describe()))

    def _group_key(self, head: Item, group: Optional[Item],
                   sup: Optional[Item]) -> tuple[Item, Optional[Item]]:
        """(the group key, what is measured per group): the noun after
        "per"/"by" and the one before it, or the head of "which X ..." and
        the noun after the superlative."""
        if group is not None:
            key = self.after(group, "table", "column")
            v = next((it for it in self.noun_values if it.at > group.at and not any(
                group.at < x.at < it.at and x.kind != "group" for x in self.items)), None)
            if v is not None and (key is None or key.at > v.end):
                # "each sales agent": the rows holding the value are the groups.
                key = Item("table", v.at, table=v.extra[0][0], end=v.end)
            if key is None:
                raise Unmappable("the grouping names no table or column")
            measured = head if head.at < group.at else self.before(group, "table", "column",
                                                                    "money", "qty")
            if measured is not None and measured.kind == "table":
                # "the average invoice total by country": the table's own
                # number named right after it is what is measured.
                own = next((it for it in self.kinds("column") if it.at == measured.end
                            and it.at < group.at and all(
                                c.table == measured.table and c.numeric for c in it.columns)), None)
                measured = own or measured
            count = self.first("count")
            counted = self.after(count, "table", "column") if count is not None else None
            if counted is not None and counted is not key and counted is not measured and (
                    counted.at < group.at or measured is None):
                # "offices and the number of employees in each office": what
                # is counted is the noun after "the number of", not the
                # first noun of the question.
                measured = counted
            agg = self.after(key, "agg")
            if measured is None and agg is not None:
                # "each category and the average price": what is averaged
                # follows the word of the figure, after the key.
                measured = self.after(agg, "table", "column", "money", "qty")
            self._said_again(key)
            if measured is not None and measured is not key and measured.kind == "table" \
                    and key.kind == "table" and measured.table == key.table:
                raise Unmappable(f"the question groups {key.table} by itself; say what to "
                                 f"count or sum for each {singular(key.table)}")
            return key, measured
        measured = next((it for it in self.items if it.at > sup.at and it.kind in
                         ("table", "column", "money", "qty")
                         and it.extra != "qualifier" and it is not head), None)
        return head, measured

    def _said_again(self, key: Item) -> None:
        """"The average price in that category": the key named again after
        a word that points back at it is the group itself, no other noun."""
        words = self.p.words
        named = {(c.table, c.name) for c in key.columns}
        for it in self.items:
            # "each member city ... in that city": the words again may also
            # name other tables' columns; the key's own are among them.
            if it.at > key.at and it.kind == key.kind and it.table == key.table \
                    and named <= {(c.table, c.name) for c in it.columns} and it.at > 0 and (
                        words[it.at - 1] in ("that", "this") or words[it.at - 2:it.at] == [
                            "the", "same"]):
                it.role = "restated"
                self.items.remove(it)
                return

    def _is_average_per_order(self, key: Item, group: Optional[Item], sup: Optional[Item],
                              measured: Optional[Item]) -> bool:
        li = self.s.line_items
        return bool(li and group is not None and key.kind == "table" and key.table == li[3]
                    and [a.op for a in self.kinds("agg")] == ["avg"] and sup is None
                    and (self.money or (measured is not None and measured.kind == "column"
                                        and any(self._is_line_price(c)
                                                for c in measured.columns))))

    def _group_measure(self, key: Item, measured: Optional[Item], sup: Optional[Item],
                       fn: Optional[str]) -> tuple[str, Optional[Column], str, Optional[str],
                                                   Optional[Item]]:
        """(what, column, wording, fn, measured) of what is compared between
        groups: money, units, a numeric column, or a count of related rows."""
        if self.money or (measured is not None and measured.kind == "money"):
            return "money", None, self.money_word() if self.s.line_items else "amount", fn, \
                measured
        if self.qty or (measured is not None and measured.kind == "qty"):
            return "qty", None, "units", fn, measured
        if measured is not None and measured.kind == "column" and measured is not key:
            cands = [c for c in measured.columns if c.numeric] or measured.columns
            if len({c.table for c in cands}) > 1 and key.kind == "table":
                # "the average shipping fee per shipper": the fee of the
                # table that belongs to a shipper, when only one does.
                near = [c for c in cands if len(self._hops(c.table, key.table)) == 1]
                cands = near if len({c.table for c in near}) == 1 else cands
            if len({c.table for c in cands}) > 1 and key.kind == "column":
                # "the total population of each continent": the figure of the
                # rows that keep the continent, not of those that reach it.
                own = [c for c in cands if c.table in {k.table for k in key.columns}]
                cands = own if len(own) == 1 else cands
            col = self.pick(cands, self.tables_named)
            if not col.numeric:
                raise Unmappable(f"{col.name} is not a number to total or average per group")
            if fn is None:
                fn = "sum"
                if sup is not None and sup.value not in ("most", "least", "fewest") \
                        and not set(col.words) & QUANTITY_WORDS:
                    # "the student with the highest score": the best single
                    # score, not the most points added up.
                    fn = sup.op
                elif sup is not None and col.table == (key.table or gcol_table(key)):
                    raise Unmappable(f"'the most {col.name}' could be a total or an average; "
                                     "say which")
            return "column", col, col.name, fn, measured
        if measured is not None and measured.kind == "table" and measured is not key:
            said = self.p.words[measured.at] if 0 <= measured.at < len(self.p.words) else ""
            verb = measured.extra == "verb" or singular(said) not in (
                self.s.tables[measured.table].words or [""])[-1:] and said.endswith(("ed", "id"))
            if "sum" in [a.op for a in self.kinds("agg")] and measured.table != (
                    key.table or gcol_table(key)) and (
                    not verb or forms(self.p.words[measured.at]) & PAYING_VERBS):
                # A verb that pays names money; "the total loaned" is of
                # things lent, not of the loans' fee.
                # "the average total paid per customer": a total of rows is
                # of their one column of money, as for a total of all rows;
                # with none or several the count below declines.
                cols = self._amounts(measured.table)
                if len(cols) == 1:
                    return "column", cols[0], cols[0].name, fn, measured
            return "count", None, measured.table, fn, measured
        if measured is None and sup is not None and sup.extra == "count" \
                and key.kind == "column":
            # "the most common status": the value most rows have.
            table = self.pick(key.columns, self.tables_named).table
            return "count", None, "rows", fn, Item("table", key.at, table=table)
        if self.first("count") and measured is None:
            raise Unmappable("the question does not say what to count per group")
        raise Unmappable("the question does not say what to compare between groups")

    def extreme_per_group(self, group: Item, sup: Item) -> Plan:
        """"The most recent order for each customer": in each group, the
        rows whose value is the group's highest (or lowest), ties kept.  The
        rows ranked are named right after the superlative and point at the
        group's table by one foreign key."""
        ranked = self.after(sup, "table", "column")
        key = self.after(group, "table", "column")
        if ranked is None or ranked.kind != "table" or ranked.at - sup.end > 1 \
                or key is None or key.kind != "table" or key.at != group.end \
                or self.first("top") is not None or sup.extra == "count" \
                or sup.value in ("most", "least", "fewest"):
            # "the most orders for each employee" counts; it ranks no rows.
            raise Unmappable("a grouping ('per', 'by', 'each') needs something to count or sum")
        if group.value not in ("each", "every", "for", "in", "per"):
            raise Unmappable(f"'{sup.value} ... by' may rank or group; say 'for each'")
        table, gtable = ranked.table, key.table
        t, g = self.s.tables[table], self.s.tables[gtable]
        fks = [(fk, refcol) for fk, ref, refcol in t.fks if ref == gtable]
        if len(fks) != 1 or len(g.pk) != 1 or g.pk[0] != fks[0][1]:
            raise Unmappable(f"{table} does not point at {gtable} by one key, so the offline "
                             f"model cannot tell each {singular(gtable)}'s {table}")
        fk = fks[0][0]
        others = [it for it in self.kinds("table", "column") if it not in (ranked, key)
                  and it.extra != "qualifier" and not it.role]
        if others:
            raise Unmappable("the question asks for more than the rows ranked in each group")
        key_cols = self._rank_columns(t, sup)
        outer, inner = self.sql.ident(table), "x"
        expr, wording = self._rank_expr(t, outer, key_cols, sup)
        inner_expr, _ = self._rank_expr(t, inner, key_cols, sup)
        if t.label is None or g.label is None:
            raise Unmappable(f"{table} or {gtable} has no name or key to name its rows by")
        ranked.role = key.role = sup.role = "group"
        self._main = table
        fn = "MAX" if sup.op == "max" else "MIN"
        same = self.where_for(table, inner) + [f"{self.sql.col(inner, fk)} = "
                                               f"{self.sql.col(outer, fk)}"]
        best = f"(SELECT {fn}({inner_expr}) FROM {self.sql.ident(table)} {inner}{conj(same)})"
        ga = self.sql.alias()
        gname = self.sql.label(gtable, ga)
        name = self.sql.label(table, outer)
        where = self.where_for(table, outer) + [f"{expr} = {best}"]
        sql = (f"SELECT {gname}, {name}, {expr} AS v FROM {outer} JOIN {self.sql.ident(gtable)} "
               f"{ga} ON {self.sql.col(ga, g.pk[0])} = {self.sql.col(outer, fk)}{conj(where)} "
               f"ORDER BY 1, 2")
        word = "highest" if sup.op == "max" else "lowest"
        if key_cols and key_cols[0].date:
            word = "latest" if sup.op == "max" else "earliest"
        return Plan(sql, partial(phrasing.best_per_group, word, wording, table, gtable,
                                 self.describe()))

    def _per_row_sql(self, gtable: str, what: str, fact: str, fconds: list[Cond],
                     col: Optional[Column], fnname: str,
                     gconds: list[Cond], order: str, first: Optional[str] = None,
                     second: Optional[str] = None) -> tuple[str, Optional[str]]:
        """(query, link table) of a measure per row of `gtable`, named by its
        label; `second`, another measure of the same rows, comes before it (w)."""
        if self.s.tables[gtable].label is None:
            raise Unmappable(f"{gtable} has no name or single key to name its rows by")
        through = self._verb_path(fact, gtable) if what == "count" else None
        if through:
            # The rows counted are those joined through the verb's table
            # already: "films rented" says no more than the path does.
            said = [c for c in fconds if c.kind == "related" and c.op == "some"
                    and c.related == through[0]]
            fconds = [c for c in fconds if c not in said]
            self.conds = [c for c in self.conds if c not in said]
        m = self.sql.measure(gtable, "g", what, fact, fconds, col, fnname,
                             hops=through[1] if through else None)
        if second is not None:
            m = f"{second} AS w, {m}"
        hops = (through[1] if through else self.s.path(fact, gtable, self.sql.plain)) \
            if what == "count" else []
        # Only a row that many rows of the next table belong to can be
        # reached more than once: "customers per country" through their one
        # address each counts every customer once.
        link = hops[0][2] if len(hops) > 1 and self._descends(fact, hops[0][2]) else None
        if through:
            link = through[0]  # "rented the most films": the films or the rentals
        if link is not None:
            # "The member who borrowed the most books" may count books or
            # loans; both are computed, and a difference is declined.
            if fconds:
                raise Unmappable(f"counting {fact} per {singular(gtable)} through {link} "
                                 "with a condition is more than the offline model can check")
            m += ", " + self.sql.measure(gtable, "g", "count", link, [])
        return self.sql.per_row(gtable, m, gconds, order, first), link

    @staticmethod
    def _by_figure(order: Item) -> bool:
        """Whether an order ranks the rows by the figure the answer gives
        them ("with the most frequently ordered item at the top")."""
        return isinstance(order.extra, tuple) and order.extra[:1] == ("figure",)

    def _group_order(self, gtable: str, gcol: Optional[Column], what: str,
                     fact: str) -> Optional[str]:
        """The ORDER BY a question asks of its groups ("with the customers
        listed alphabetically by last name", "in descending order", "with
        the most frequently ordered item at the top"): a column of the
        grouped rows, their name, or the figure itself; None when it asks
        for none.  Any other order is left unread, and the plan declines it."""
        orders = self.kinds("order")
        if len(orders) != 1:
            return None
        order = orders[0]
        direction = "DESC" if order.op == "max" else "ASC"
        name = self.sql.label(gtable, "g") if gcol is None else "g.k"
        if order.columns:
            cols = [c for c in order.columns if c.table == gtable]
            if gcol is not None:
                cols = [c for c in cols if c.name == gcol.name]
            if len(cols) != 1 or (order.op == "alpha" and not cols[0].text):
                return None
            by = "g.k" if gcol is not None else self.sql.col("g", cols[0].name)
        elif self._by_figure(order):
            # Ranked by how much they were ordered, or rented: the figure
            # only where it is of that verb, the units sold or the rows
            # the verb names.
            verb = order.extra[1]
            noun = self.s.tables[fact].words[-1:] or [""]
            if not ((what == "qty" and verb & TRADE_VERBS) or (what == "count" and any(
                    f + end == noun[0] for f in verb for end in ("", "al", "ment")))):
                return None
            by = "v"
        elif order.extra:
            return None  # "from cheapest to most expensive": of what?
        elif order.op == "alpha":
            if gcol is not None and not gcol.text:
                return None
            by = name
        elif order.op in ("max", "min"):
            by = "v"
        else:
            return None
        order.role = "order"
        return f"{by} {direction}"

    def _verb_path(self, fact: str, gtable: str) -> Optional[tuple[str, list]]:
        """(the verb's table, the join path through it) where `fact` and
        `gtable` are joined in more than one way and the question's verb
        names the table between them ("customers who rented films": through
        the rentals, not through the store that keeps the copies); None where
        the shortest path is the only one."""
        try:
            self.s.path(fact, gtable, self.sql.plain)
            return None
        except Unmappable as why:
            verbs = {it.table for it in self.kinds("table") if it.extra == "verb"} - {fact, gtable}
            if len(verbs) != 1:
                raise
            verb = verbs.pop()
            hops = self._hops(fact, verb) + self._hops(verb, gtable)
            tables = [fact] + [h[2] for h in hops]
            if tables[-1] != gtable or verb not in tables or len(set(tables)) != len(tables):
                raise why
            return verb, hops

    def extreme(self, head: Item, sup: Item) -> Plan:
        """'Which product is the cheapest', 'the three largest orders',
        'what is the highest price'."""
        top = self.first("top")
        n = top.value if top else 1
        wh = self.first("wh")
        head, asked = self._ranked_head(head, sup, wh)
        if head.kind == "column":
            # "the highest price of products", "the latest order date": a value.
            return self.aggregate(head, sup.op)
        if head.kind != "table":
            if head.kind in ("money",):
                raise Unmappable("the question asks for the most revenue but not of what")
            raise Unmappable("the question names no table whose rows to rank")
        table = head.table
        t = self.s.tables[table]
        self._main = table
        if wh is not None and wh.value == "when" and sup.extra == "date" and len(t.dates) == 1:
            # "When was the last shipment sent": the date, not the shipment.
            return self.aggregate(Item("column", head.at, columns=t.dates), sup.op)
        key_cols = self._rank_columns(t, sup)
        alias = self.sql.ident(table)
        expr, wording = self._rank_expr(t, alias, key_cols, sup)
        lab = t.label
        if lab is None:
            raise Unmappable(f"{table} has no name or single key to name its rows by")
        also = asked if asked is not None and asked.name != lab.name else None
        sql = self.sql.ranked(table, alias, expr, also, self.where_for(table, alias), sup.op)
        desc = self.describe()
        word = "highest" if sup.op == "max" else "lowest"
        if key_cols and key_cols[0].date:
            word = "latest" if sup.op == "max" else "earliest"
        if top is not None and top.extra == "nth":
            # "the second most expensive product": the rows ranked n-th.
            word = f"{phrasing.ORDINAL_WORDS.get(n, n)} {word}"
            return Plan(sql, _checked(partial(phrasing.nth_rank, n, table), partial(
                phrasing.best_rows, sup.op, 1, table, word, wording,
                asked.name if asked is not None else None, desc)))
        return Plan(sql, partial(phrasing.best_rows, sup.op, n, table, word, wording,
                                 asked.name if asked is not None else None, desc),
                    extreme="ranked" if n == 1 else None)

    def _ranked_head(self, head: Item, sup: Item,
                     wh: Optional[Item]) -> tuple[Item, Optional[Column]]:
        """(the rows ranked, the column asked of the first of them).  The head
        stays a column when the question asks for the extreme value itself."""
        if head.kind == "column" and wh is not None and wh.value == "who" \
                and not self.kinds("table"):
            # "Who earns the most": the row with the highest salary.
            col = self.pick(head.columns, self.tables_named)
            head.role = "key"
            sup.extra = tuple(col.words)
            head = Item("table", head.at, table=col.table)
        if head.kind == "column" and wh is not None and wh.value in ("which", "who") \
                and head.at == wh.at + 1 and head.end - head.at > 1:
            # "Which member joined first": the phrase that named joined_on opens
            # with its table's noun, so the question asks for a row of that
            # table, not for the earliest date.
            opening = tokenize(self.q)[head.at].forms
            owners = {c.table for c in head.columns
                      if singular(self.s.tables[c.table].words[-1]) in opening}
            if len(owners) == 1:
                table = owners.pop()
                head.role = "key"
                sup.extra = tuple(next(c for c in head.columns if c.table == table).words)
                head = Item("table", head.at, table=table)
        if head.kind != "column":
            return head, None
        ranked = next((it for it in self.items if it.at > sup.at and it.kind == "table"),
                      None) if sup.extra else None
        if ranked is None or not any(c.table == ranked.table for c in head.columns):
            return head, None
        # "the name of the most expensive product": a column of the row.
        asked = next(c for c in head.columns if c.table == ranked.table)
        head.role = "asked"
        return ranked, asked

    def _rank_columns(self, t: Table, sup: Item) -> Optional[list[Column]]:
        """The columns the rows may be ranked by: named with the superlative
        ("cheapest": a price, "oldest": a birth date) or after it."""
        key_cols = None
        if sup.extra == "age":
            born = [c for c in t.columns if set(c.words) & {"birth", "born", "birthday"}]
            if born:
                key_cols = born
            elif sup.op == "max":
                raise Unmappable(f"{t.name} has no birth date to tell the youngest")
            else:
                sup.extra = "date"
                if len(t.dates) != 1:
                    raise Unmappable(f"'oldest' needs one date column in {t.name}")
        if sup.extra and sup.extra != "age":
            key_cols = [c for c in t.columns if (sup.extra == "date" and c.date) or (
                sup.extra != "date" and set(c.words) & set(
                    (sup.extra,) if isinstance(sup.extra, str) else sup.extra))]
            if len(key_cols) > 1 and not isinstance(sup.extra, str):
                # The kinds of column a superlative names, in the order it
                # names them: "longest" is a length before a duration, and a
                # film's rental_duration is no length of the film.
                for kind in sup.extra:
                    first = [c for c in key_cols if kind in c.words]
                    if first:
                        key_cols = first
                        break
            named = [c for it in self.kinds("column") if it.extra != "qualifier"
                     for c in it.columns if c in key_cols]
            if len(key_cols) > 1 and len(named) == 1:
                key_cols = named  # "which project started first": start_date
            elif len(key_cols) > 1 and sup.extra == "date" and not named:
                # "the most recent order": of the date an order is about.
                key_cols = self._own_date(t) or key_cols
        elif not sup.extra:
            named = [it for it in self.kinds("column") if it.extra not in ("qualifier",)
                     and any(c.table == t.name for c in it.columns)]
            if named:
                named[0].role = "key"
                key_cols = [c for c in named[0].columns if c.table == t.name]
        return key_cols

    def _rank_expr(self, t: Table, alias: str, key_cols: Optional[list[Column]],
                   sup: Item) -> tuple[str, str]:
        """(SQL, wording) of the value the rows are ranked by: the one key
        column, or an order's value from its lines."""
        if key_cols:
            if len(key_cols) > 1:
                raise Unmappable(f"'{sup.op}' could rank {t.name} by any of "
                                 + ", ".join(c.name for c in key_cols))
            key = key_cols[0]
            if key.flag:
                raise Unmappable(f"{key.name} only says yes or no, so it ranks no "
                                 f"{t.name} above the others")
            if not (key.numeric or key.date):
                # Text sorts by its letters, which is no measure of anything.
                raise Unmappable(f"{key.name} is text, not a number or a date to rank "
                                 f"{t.name} by")
            for it in self.kinds("column"):
                if key in it.columns:
                    it.role = "key"
            return self.sql.col(alias, key.name), key.name
        if self.s.line_items and t.name == self.s.line_items[3] and (
                self.kinds("size") or sup.op in ("max", "min")) and not sup.extra:
            return (self.sql.measure(t.name, alias, "money", None, []),
                    f"value (sum of {self.line_worth()})")
        raise Unmappable(f"the question does not say by which column to rank {t.name}")

    def listing(self, head: Item) -> Plan:
        wh = self.first("wh")
        if self.kinds("size") and head.kind == "table" and self.s.line_items \
                and head.table == self.s.line_items[3] and not self.first("list"):
            # "the value of orders shipped in August": their lines' worth, together.
            return self.aggregate(head, "sum")
        if any(it.extra != "qualifier" for it in self.kinds("size")):
            # The value of rows that have no lines to add up: a figure the
            # model cannot tie to a column.
            raise Unmappable("the question asks for the value of rows, which the offline "
                             "model cannot tie to one figure here")
        if not (wh or self.first("list") or head.kind == "table"):
            raise Unmappable("the question is not a count, total, average, extreme, list "
                             "or lookup question")
        if wh and wh.value == "who" and not self.kinds("table") and not (
                head.kind == "table" and self.s.tables[head.table].person_name is not None) \
                and not (head.kind == "column" and self.kinds("value")
                         and all(c.text for c in head.columns)):
            # "Who is the head of state of Japan?" is the text of a row's column.
            raise Unmappable("'who' names no table of people to answer from")
        label = head.kind == "column" and all(
            self.s.tables[c.table].label == c and set(c.words) & set(LABEL_WORDS)
            for c in head.columns)
        # A value of another table only says which rows ("the order dates
        # for orders of the Pickup Truck"); one of the column's own table
        # names the row looked up ("the city of Alfreds").
        values_elsewhere = all(t != c.table for v in self.kinds("value") for t, _ in v.extra
                               for c in head.columns) and bool(self.kinds("order"))
        others = [t for t in self.tables_named[1:] if not values_elsewhere or (
            t not in {c.table for c in head.columns}
            and t not in {t for v in self.kinds("value") for t, _ in v.extra})]
        if head.kind == "column" and not label and (not self.kinds("value") or values_elsewhere) \
                and not others and not [
                    it for it in self.kinds("column") if it is not head and not it.role
                    and it.extra not in ("qualifier", "synonym")]:
            # "Which categories are there": the distinct values of a column.
            col = self.pick(head.columns, self.tables_named)
            head.role = "listed"
            table = col.table
            self._main = table
            order = self._row_order(self.s.tables[table], [col]) if self.kinds("order") else None
            if order is not None and order[0] != col:
                raise Unmappable(f"the values of {col.name} are asked sorted by another column")
            sql = self.sql.distinct_values(table, col, self.where_for(table, self.sql.ident(table)),
                                           order is not None and order[1] == "DESC")
            desc = self.describe()
            return Plan(sql, partial(phrasing.distinct_values, col.name, table, desc,
                                     order is not None))
        # Rows of a table, with the columns asked for.
        if head.kind == "column":
            tables = [t for t in self.tables_named if any(c.table == t for c in head.columns)]
            if not tables and self._names_label(head) and self.tables_named:
                tables = self.tables_named[:1]  # "the name of the customers": their label
            table = tables[0] if tables else self.pick(head.columns, self.tables_named).table
        else:
            table = self.table_of(head)
            head.role = "head"
        t = self.s.tables[table]
        self._main = table
        asked: list = []
        children: set[str] = set()
        for it in self.kinds("column"):
            if it.role or it.extra == "qualifier":
                continue
            cols = [c for c in it.columns if c.table == table]
            if self._names_label(it) and it.at > 0 and tokenize(self.q)[it.at - 1].low == "contact":
                # "the contact name": the person a row of a company is reached by.
                if t.person_name is None or t.label != t.person_name[1]:
                    raise Unmappable(f"{table} has no first and last name of a contact person")
                it.role = "asked"
                asked.append(t.label)
                continue
            if not cols and self._names_label(it):
                it.role = "asked"
                asked.append(t.label)
                continue
            if not cols:
                # "each store its city": a column of the one row a foreign
                # key points at.
                above = [(self._up_hops(table, c.table), c) for c in it.columns]
                above = [(h, c) for h, c in above if h]
                if len(above) != 1:
                    # "customers along with the order date of any orders they
                    # have": a row for each of theirs, or one with none.
                    above = [(self._down_hop(table, c.table), c) for c in it.columns
                             if c.table in self.tables_named]
                    above = [(h, c) for h, c in above if h]
                    children.update(c.table for _, c in above)
                if len(above) != 1:
                    raise Unmappable(f"{it.columns[0].name} is not a column of {table}")
                it.role = "asked"
                asked.append(above[0])
                continue
            it.role = "asked"
            if it.extra == "synonym" and len(cols) > 1 and all(
                    set(c.words) & LOCATION_WORDS for c in cols):
                asked += cols
            elif t.person_name is not None and len(cols) == 2 and all(c in cols for c in t.person_name):
                asked.append(t.label)  # "the name of the customer": first and last
            else:
                asked.append(self.pick(cols, [table]))
        if len(children) > 1:
            raise Unmappable(f"the question asks for the rows of {' and '.join(sorted(children))} "
                             f"beside each of {table}, which pair up in no one way")
        for child in children:
            if any(c.table == child and c.kind != "related" for c in self.conds):
                # The condition would pick the rows listed, not the rows shown beside them.
                raise Unmappable(f"the question filters the {child} shown beside each of "
                                 f"{table}, which the offline model cannot do")
            self.conds = [c for c in self.conds if not (
                c.kind == "related" and c.op == "some" and c.related == child)]
            for it in self.kinds("table"):
                if it.table == child and it.role == "exists":
                    it.role = "asked"
        for it in self.kinds("table"):
            hops = self._up_hops(table, it.table) if it.role == "exists" else None
            if it.role == "exists" and it.table == table:
                # "the name of the customers": the rows listed, no condition.
                self.conds = [c for c in self.conds if not (
                    c.kind == "related" and c.op == "some" and c.related == table)]
                it.role = "head"
            if hops:
                # "the products along with their supplier": the row each
                # points at, named; every row has at most one.
                self.conds = [c for c in self.conds if not (
                    c.kind == "related" and c.op == "some" and c.related == it.table)]
                it.role = "asked"
                asked.append((hops, None))
        if wh and wh.value == "when" and not asked:
            if len(t.dates) != 1:
                raise Unmappable(f"'when' needs one date column in {table}")
            asked = t.dates
        if wh and wh.value == "where" and not asked:
            asked = [c for c in t.columns if set(c.words) & LOCATION_WORDS]
            if not asked:
                raise Unmappable(f"{table} has no column that says where")
        lab = t.label
        if lab is None:
            raise Unmappable(f"{table} has no name or key column to list its rows by")
        asked = self._whole_names(asked)
        cols = list({self._shown_name(c): c for c in [lab] + asked}.values())
        order = self._row_order(t, cols)
        if order is not None and order[0] not in cols and not (
                t.person_name and order[0] in t.person_name and lab in t.person_name):
            cols.append(order[0])  # the figure the rows are sorted by is shown
        if len(cols) == 1 and any(c.kind == "value" and c.op in ("=", "in") and c.column is not None
                                  and c.column.name == lab.name and c.table == table
                                  for c in self.conds):
            raise Unmappable(f"the question asks nothing about {self.kinds('value')[0].value!r} "
                             f"that the model can tie to a column of {table}")
        sql = self.sql.rows(table, cols[1:], self.where_for(table, self.sql.ident(table)),
                            order)
        desc = self.describe()
        # Beside the rows of another table, each row of this one is listed
        # once per row of theirs: what is counted is the pairs.
        counted = f"pairings of {table} and {children.pop()}" if children else None
        return Plan(sql, partial(phrasing.rows_listed, table, lab.name in t.pk,
                                 [self._shown_name(c) for c in cols], desc, counted=counted))

    def _names_label(self, it: Item) -> bool:
        """Whether the words of a column item are only "name" or "title",
        which of a table with no such column of its own is what names its
        rows: the label, a person's first and last name."""
        words = tokenize(self.q)[it.at:it.end]
        return bool(words) and all(w.forms & set(LABEL_WORDS) for w in words)

    @staticmethod
    def _whole_names(asked: list) -> list:
        """The first and the last name of one person asked together ("the
        contact first name, contact last name") shown as the one name
        people read, ("name", first, last)."""
        out = list(asked)
        for a in asked:
            if not isinstance(a, Column) or "first" not in a.words:
                continue
            words = ["last" if w == "first" else w for w in a.words]
            b = next((c for c in out if isinstance(c, Column) and c.table == a.table
                      and c.words == words), None)
            if b is not None and a in out:
                out[out.index(a)] = ("name", a, b)
                out.remove(b)
        return out

    def _shown_name(self, col) -> str:
        """What the answer calls a column: its name, or for the row a key
        points at, that row's table."""
        if isinstance(col, Column):
            return col.name
        if col[0] == "name":
            return " ".join(w for w in col[1].words if w != "first")
        hops, c = col
        if c is None:
            return hops[-1][2]
        noun = singular(hops[-1][2])
        return c.name if c.words[:1] == self.s.tables[hops[-1][2]].words[-1:] \
            else f"{noun} {c.name}"

    def _down_hop(self, table: str, other: str) -> Optional[list]:
        """The join from `table` to `other` when `other` holds a key to it:
        the rows of `other` that belong to a row of `table`; else None."""
        t = self.s.tables[table]
        keys = [(c, rc) for c, ref, rc in self.s.tables[other].fks
                if ref == table and [rc] == t.pk] if other != table else []
        if len(keys) != 1:
            return None
        return [(table, keys[0][1], other, keys[0][0])]

    def _up_hops(self, table: str, other: str) -> Optional[list]:
        """The join from `table` to `other` when each hop follows a foreign
        key to the row it points at, so a row of `table` has at most one
        row of `other`; else None."""
        if other == table:
            return None
        try:
            hops = self.s.path(table, other)
        except Unmappable:
            return None
        for frm, col, nxt, nxt_col in hops:
            if not any(c == col and ref == nxt and rc == nxt_col
                       for c, ref, rc in self.s.tables[frm].fks) \
                    or self.s.tables[nxt].pk != [nxt_col]:
                return None
        return hops

    def _row_order(self, t: Table, cols: list) -> Optional[tuple]:
        """(column, DESC or ASC) the question asks the listed rows sorted
        by; None when it asks for no order."""
        orders = self.kinds("order")
        if not orders:
            return None
        if len(orders) > 1:
            raise Unmappable("the question asks for more than one order of the rows")
        order = orders[0]
        own = [c for c in cols if isinstance(c, Column) and c != t.label]
        if order.columns:
            found = [c for c in order.columns if c.table == t.name]
            if not found:
                raise Unmappable(f"the rows are asked sorted by "
                                 f"{order.columns[0].name}, which is no column of {t.name}")
            col = self.pick(found, [t.name])
        elif order.extra:
            if self._by_figure(order):
                raise Unmappable(f"the question ranks {t.name} by a figure it does not ask of "
                                 "each of them")
            words = order.extra
            found = [c for c in t.columns if (c.numeric or c.date) and (
                c.date if words == "date" else set(c.words) & set(
                    (words,) if isinstance(words, str) else words))]
            if len(found) > 1:
                found = [c for c in found if c in own]
            if len(found) != 1:
                raise Unmappable(f"the question does not say by which column to sort {t.name}")
            col = found[0]
        elif len(own) == 1:
            col = own[0]  # "the order dates in descending order"
        else:
            raise Unmappable(f"the question does not say by which column to sort {t.name}")
        if order.op == "alpha" and not col.text:
            raise Unmappable(f"{col.name} is no text to sort alphabetically")
        order.role = "order"
        return col, "DESC" if order.op == "max" else "ASC"

    # -- roles -----------------------------------------------------------------
    _ROLE_KINDS = {"role", "value", "table", "wh", "count", "list", "group"}

    def _role_negated(self, roles: list[Item]) -> bool:
        """"Customers who don't have a sales rep", "who reports to no one":
        the rows whose role key is empty, a condition like any other.  True
        when the one role was read so and left to the rest of the plan."""
        item = roles[0]
        neg = self.before(item, "neg")
        toks = tokenize(self.q)
        after = " ".join(t.low for t in toks[item.end:item.end + 2]) if len(roles) == 1 else ""
        before = neg is not None and not [it for it in self.items if neg.at < it.at < item.at]
        nobody = after in ("no one", "nobody", "anyone", "anybody") or after.startswith(
            ("nobody", "anybody"))
        if len(roles) > 1 or not (before or nobody):
            return False
        named = {it.table for it in self.kinds("table")}
        fits = {(r.table, r.column) for r, _ in item.extra if not named - {r.table, r.ref}}
        if len(fits) != 1:
            raise Unmappable(f"'{item.value}' could be any of the keys "
                             + ", ".join(f"{t}.{c}" for t, c in sorted(fits)))
        table, column = next(iter(fits))
        col = self.s.tables[table].column(column)
        self.role_conds = [Cond(table, col, "null", kind="null")]
        item.role = "role"
        self.items.remove(item)
        if before:
            self.items.remove(neg)
        else:
            self.items[:] = [it for it in self.items if not (it.kind == "neg" and it.at == item.end)]
        if table not in named:
            # "Who reports to no one?": the rows asked about are the role's own.
            self.items.append(Item("table", item.at, table=table, end=item.end))
            self.items.sort(key=lambda it: it.at)
        return True

    def _self_verb_way(self, item: Item, values: list[Item]) -> Optional[str]:
        """Which way a verb of a table's key to itself points, from where
        the row named stands.  Someone reports to their superior, and a
        superior manages: "who reports to X" and "whom does X manage" ask
        for the rows below X, "who does X report to" and "who manages X"
        for the row above.  A passive ("managed by X") turns the verb
        round; a name on both sides of the verb is not read (None)."""
        words = self.p.words
        before = all(v.at < item.at for v in values)
        after = all(v.at >= item.end for v in values)
        if before == after:
            return None
        holder_first = item.value.lower().startswith("report")  # the one reporting is the subject
        if item.end < len(words) and words[item.end] == "by":
            after = not after
        return "down" if after == holder_first else "up"

    def role_plan(self, roles: list[Item]) -> Optional[Plan]:
        """A question in the words of a role key: "who is the sales rep of
        X" (the row X's key points at), "who reports to X", "how many
        customers does X look after" (the rows whose key points at X), "how
        many customers each sales rep has" (those rows per row pointed at).
        Anything else about a role is declined, save a verb that only
        relates two tables, which is read as before (None)."""
        item = roles[0]
        # "serve", "handle": verbs that relate two tables anyway.
        verb_only = all(way == "down" and not r.self_key for r, way in item.extra) and all(
            w in RELATION_VERBS or w.rstrip("sd") in RELATION_VERBS
            for w in item.value.lower().split())
        why = None
        others = [it for it in self.items if it.kind not in self._ROLE_KINDS]
        if len(roles) > 1:
            why = "the question names several roles at once"
        elif others or self.kinds("column"):
            why = f"the offline model reads '{item.value}' only in a plain question about it"
        if why:
            if verb_only:
                return None
            raise Unmappable(why)
        self.conds = []
        values = self.kinds("value")
        named = {it.table for it in self.kinds("table")}
        vtables = None
        for v in values:
            here = {t for t, _ in v.extra}
            vtables = here if vtables is None else vtables & here
        fits = []
        their = 0 < item.at and self.p.words[item.at - 1] in ("their", "its", "his", "her")
        for role, way in item.extra:
            if named - {role.table, role.ref}:
                continue
            if values:
                # up: X is the row holding the key; down: X is the row it points at
                ends = {"up": role.table, "down": role.ref}
                if not role.self_key:
                    ends = {w: t for w, t in ends.items() if t in vtables}
                    # The rows pointing at a row named by the role's noun only
                    # where the question names them ("the customers of sales
                    # rep X", not "who is the sales rep of X" for an employee).
                    ends = {w: t for w, t in ends.items()
                            if not (way == "up" and w == "down" and role.table not in named)}
                    way = next(iter(ends), None) if len(ends) == 1 else None
                elif role.table not in vtables:
                    way = None
                elif way == "down":
                    way = self._self_verb_way(item, values)
                if way is not None:
                    fits.append((role, way))
            elif self.first("group") and self.first("count") and role.table in named \
                    and not role.self_key:
                fits.append((role, "group"))
            elif not self.first("count") and role.table in named and way == "up" and (
                    (self.first("group") and not role.self_key) or their):
                # "the account representative for each customer", "the
                # employees with their managers": each row with the row its
                # key points at.
                fits.append((role, "each"))
        if not fits:
            if verb_only:
                return None
            raise Unmappable(f"the offline model cannot tell what '{item.value}' asks of "
                             + (", ".join(map(str, (v.value for v in values))) or "the rows"))
        if len(fits) > 1:
            raise Unmappable(f"'{item.value}' could be any of the keys "
                             + ", ".join(f"{r.table}.{r.column}" for r, _ in fits))
        role, way = fits[0]
        item.role = "role"
        # A verb ("manages") answers in the role's own noun ("manager").
        noun = item.value if dict((id(r), w) for r, w in item.extra).get(id(role)) == "up" \
            else " ".join(role.words)
        verb = item.value
        if role.self_key and way == "up" and role.words == ("report", "to"):
            noun = "manager"  # the one a row reports to
        elif role.self_key and not verb.lower().startswith("report") \
                and dict((id(r), w) for r, w in item.extra).get(id(role)) == "down":
            # "the employees Nancy manages" are those managed by her
            w = verb.split()[0].lower()
            w = w[:-1] if w.endswith("s") else w
            verb = (w if w.endswith("ed") else w + ("d" if w.endswith("e") else "ed")) + " by"
        for it in self.kinds("table", "wh", "list", "group"):
            it.role = "role"
        q = self.sql.ident
        t, r = "t", "r"
        on = f"{self.sql.col(t, role.column)} = {self.sql.col(r, role.refcol)}"
        if way == "each":
            sql = (f"SELECT {self.sql.label(role.table, t)}, {self.sql.label(role.ref, r)} "
                   f"FROM {q(role.table)} {t} LEFT JOIN {q(role.ref)} {r} ON {on} ORDER BY 1")
            return Plan(sql, partial(_role_each, noun, role.table))
        if way == "group":
            lab = self.sql.label(role.ref, r)
            sql = (f"SELECT {lab}, COUNT(*) FROM {q(role.ref)} {r} JOIN {q(role.table)} {t} "
                   f"ON {on} GROUP BY {self.sql.col(r, role.refcol)}, {lab} ORDER BY 2 DESC, 1")
            return Plan(sql, partial(_role_groups, noun, role.table))
        where_table = role.table if way == "up" else role.ref
        alias = t if way == "up" else r
        wheres = []
        for v in values:
            cols = sorted({c for tb, c in v.extra if tb == where_table})
            if not cols:
                raise Unmappable(f"{v.value!r} is no value of {where_table}")
            if len(cols) > 1:
                raise Unmappable(f"{v.value!r} is held in several columns of {where_table}: "
                                 + ", ".join(cols))
            v.role = "role"
            wheres.append(f"{self.sql.col(alias, cols[0])} = {self.sql.literal(v.value)}")
        who = " ".join(str(v.value) for v in values)
        where = " WHERE " + " AND ".join(wheres)
        if way == "up":
            if self.first("count"):
                raise Unmappable(f"the question counts the {item.value} of {who}, "
                                 "which the offline model does not read")
            lab = self.sql.label(role.ref, r)
            sql = (f"SELECT {self.sql.col(t, role.column)}, {lab} FROM {q(role.table)} {t} "
                   f"LEFT JOIN {q(role.ref)} {r} ON {on}{where}")
            return Plan(sql, partial(_role_up, noun, who))
        lab = self.sql.label(role.table, t)
        if self.first("count"):
            sql = (f"SELECT COUNT({self.sql.col(t, role.column)}), "
                   f"COUNT(DISTINCT {self.sql.col(r, role.refcol)}) FROM {q(role.ref)} {r} "
                   f"LEFT JOIN {q(role.table)} {t} ON {on}{where}")
            return Plan(sql, partial(_role_count, role.table, verb, who))
        sql = (f"SELECT {self.sql.col(r, role.refcol)}, {self.sql.col(t, role.column)}, {lab} "
               f"FROM {q(role.ref)} {r} LEFT JOIN {q(role.table)} {t} ON {on}{where} ORDER BY 3")
        return Plan(sql, partial(_role_down, role.table, verb, who))


def _noun(table) -> str:
    """A table's words as a noun in the singular ("album" for Albums)."""
    words = list(table.words) or [table.name]
    return " ".join(words[:-1] + [singular(words[-1])])


def _one_row_named(who: str, rows: list[tuple], key: int) -> None:
    """Declines when the words naming a row named none, or several."""
    keys = {row[key] for row in rows}
    if not keys:
        raise Unmappable(f"no row is {who}")
    if len(keys) > 1:
        raise Unmappable(f"{who} names {len(keys)} different rows, so the answer would mix them")


def _role_up(words: str, who: str, rows: list[tuple]) -> str:
    if not rows:
        raise Unmappable(f"no row is {who}")
    if len(rows) > 1:
        raise Unmappable(f"{who} names {len(rows)} different rows, so the answer would mix them")
    if rows[0][0] is None:
        return f"{who} has no {words}."
    # The row asked about is not named again: the answer names only the
    # row its key points at, so that a list of names read from it holds one.
    return f"The {words} asked for is {phrasing.show(rows[0][1])}."


def _role_count(table: str, words: str, who: str, rows: list[tuple]) -> str:
    n, refs = rows[0]
    if refs != 1:
        _one_row_named(who, [(k,) for k in range(refs)], 0)
    return f"{n} {table.replace('_', ' ')} ({words} {who})."


def _role_down(table: str, words: str, who: str, rows: list[tuple]) -> str:
    _one_row_named(who, rows, 0)
    names = [phrasing.show(row[2]) for row in rows if row[1] is not None]
    if not names:
        return f"No {table.replace('_', ' ')} ({words} {who})."
    return f"{len(names)} {table.replace('_', ' ')} ({words} the one asked about): " \
        + "; ".join(names) + "."


# A report of every row with its role is shown whole up to this many rows.
_EACH_CAP = 1000


def _role_each(words: str, table: str, rows: list[tuple]) -> str:
    shown = rows[:_EACH_CAP]
    more = f" (first {len(shown)} of {len(rows)} shown)" if len(rows) > len(shown) else ""
    return (f"The {words} of each of the {len(rows)} {table.replace('_', ' ')}{more}: "
            + "; ".join(f"{phrasing.show(a)}: {phrasing.show(b) if b not in (None, '') else 'none'}"
                        for a, b in shown) + ".")


def _role_groups(words: str, table: str, rows: list[tuple]) -> str:
    return (f"The {table.replace('_', ' ')} per {words}: "
            + "; ".join(f"{phrasing.show(a)}: {n}" for a, n in rows) + ".")
