"""Phrasing the answer: values as the answer shows them, and conditions as
the answer restates them, so that every answer says what was computed.
"""

from __future__ import annotations

import datetime
import decimal
import re
from typing import Any, Optional

from .decline import CANNOT_ANSWER, Unmappable
from .sql import Cond
from .words import plural, singular


# Lists longer than this are answered with their length and their first items;
# a count or sum per group is given whole up to a larger number of groups.
LIST_CAP = 20
GROUP_CAP = 100
# A report the question asks sorted is read as a whole, and given so up to
# this many groups.
REPORT_CAP = 1000


def show(value: Any) -> str:
    """A value as the answer writes it: dates in ISO form, NULL as "none"."""
    if isinstance(value, datetime.datetime):
        # A time of midnight is most often no time at all, only the day.
        return value.date().isoformat() if value.time() == datetime.time() \
            else value.isoformat(sep=" ")
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
        inner = "; ".join((f"{c.table} " if c.kind == "value" and c.table not in (
            None, cond.related) and c.column.name != c.table else "") + describe_cond(c)
            for c in cond.inner)
        if inner and not inner.startswith("with"):
            inner = "with " + inner
        return (f"{'with no' if cond.op == 'none' else 'with'} {cond.related}"
                + (f" {inner}" if inner else ""))
    if cond.kind == "count":
        return f"with {cond.op} {show(cond.values[0])} {cond.related}"
    if cond.kind == "money":
        # Of the rows asked about, what they spent; of a related row (an
        # order), what it is worth.
        return ("value " if cond.table else "with spending ") + f"{cond.op} " + (
            cond.against.wording if cond.against else show(cond.values[0]))
    if cond.kind == "null":
        return f"with a {cond.column.name}" if cond.op == "present" else f"with no {cond.column.name}"
    name = cond.column.name
    if cond.kind == "flag":
        return name if cond.op == "<>" else f"not {name}"
    if cond.against is not None:
        return f"{name} {cond.op} {cond.against.wording}"
    v = [show(x) for x in cond.values]
    if cond.op == "like":
        return f"{name} like {' or '.join(v)}"
    if cond.op == "word":
        # The word as asked, without the edges of its regular expression.
        edge = re.escape("(^|[^[:alnum:]_])") + "|" + re.escape("([^[:alnum:]_]|$)")
        words = [re.sub(r"s\?$", "(s)", re.sub(edge + r"|^\^|\$$", "", p)) for p in v]
        return f"{name} with the word {' or '.join(words)}"
    if cond.op == "member":
        return f"{name} including {' or '.join(v)}"
    if cond.op == "not member":
        return f"{name} without {v[0]}"
    if cond.op == "weekday":
        return f"{name} on a {cond.values[1]}"
    if cond.op == "digit":
        return f"{name} with a digit"
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


def describe_conds(conds: list[Cond], main: Optional[str]) -> str:
    """The conditions of a plan, in parentheses after what was computed; a
    value of another table than the main one is named with its table."""
    parts = []
    for c in conds:
        text = describe_cond(c)
        if c.kind == "value" and c.table and c.column and main != c.table \
                and c.column.name != c.table:
            text = f"{c.table} {text}"
        parts.append(text)
    return (" (" + "; ".join(parts) + ")") if parts else ""


# The answers.  Each takes what the plan computed and, last, the rows of its
# query; the planner binds the rest with functools.partial.

def distinct_count(column: str, table: str, desc: str, rows: list[tuple]) -> str:
    n = rows[0][0]
    return (f"There {'is' if n == 1 else 'are'} {n} distinct "
            f"{column} value{'' if n == 1 else 's'} in {table}{desc}.")


def row_count(label: str, distinct: bool, desc: str, rows: list[tuple]) -> str:
    n = rows[0][0]
    words = label.split()
    if n == 1:
        noun = " ".join(singular(w) for w in words)
    else:
        # A table named in the singular ("film") counts in the plural.
        noun = " ".join(words[:-1] + [words[-1] if singular(words[-1]) != words[-1]
                                      else plural(2, words[-1])]) if words else label
    kind = " distinct" if distinct else ""
    return f"There {'is' if n == 1 else 'are'} {n}{kind} {noun}{desc}."


def total(word: str, wording: str, fact: str, desc: str, rows: list[tuple]) -> str:
    v = rows[0][0] if rows else None
    if v is None:
        return f"There is no {word} {wording} of {fact}{desc}: no row matches."
    return f"The {word} {wording} of {fact.replace('_', ' ')} is {show(v)}{desc}."


def order_value(word: str, order_table: str, desc: str, rows: list[tuple],
                worth: str = "quantity × unit price") -> str:
    v, n = rows[0]
    if v is None:
        return f"There are no {order_table}{desc} to average."
    return (f"The {word} {singular(order_table)} value is {show(v)} (the sum of "
            f"{worth} per {singular(order_table)}, over {n} "
            f"{plural(n, singular(order_table))}){desc}.")


def _ranked_first(op: str, n: int, k: int, rows: list[tuple]) -> set:
    """The rows whose value k is among the n first in `op`'s order, ties in."""
    vals = sorted((r[k] for r in rows if r[k] is not None), reverse=op == "max")
    if not vals:
        return set()
    cut = vals[min(n, len(vals)) - 1]
    return {r for r in rows if r[k] is not None and (r[k] >= cut if op == "max" else r[k] <= cut)}


def one_reading(fact: str, link: str, gname: str, rows: list[tuple],
                ranked: Optional[tuple] = None) -> list[tuple]:
    """The count per group, when it counts both `fact` and `link` rows and
    the two agree; they differ, and the question is declined, when a row of
    `fact` is linked more than once.  Of a ranking (op, n) only the groups
    ranked first must agree: both readings then name the same groups with
    the same counts."""
    differ = [r for r in rows if r[1] != r[2]]
    if ranked is not None:
        first = _ranked_first(*ranked, 1, rows)
        if first == _ranked_first(*ranked, 2, rows):
            differ = [r for r in first if r[1] != r[2]]
        else:
            differ = sorted(first ^ _ranked_first(*ranked, 2, rows), key=lambda r: str(r[0]))
    if differ:
        r = differ[0]
        raise Unmappable(f"the count of {fact} per {gname} could count different {fact} "
                         f"or {link} rows, and they differ ({show(r[0])}: {show(r[1])} "
                         f"{fact}, {show(r[2])} {link}); ask for one of them")
    return [r[:2] for r in rows]


def units_or_money(op: str, n: int, gname: str, rows: list[tuple]) -> list[tuple]:
    """The groups ranked by the units sold (rows: name, money, units), when
    ranking them by the money taken in picks the same ones; else the two
    readings of "sells the most" differ, and the question is declined."""
    by_units = {r[0] for r in _ranked_first(op, n, 2, rows)}
    by_money = {r[0] for r in _ranked_first(op, n, 1, rows)}
    if by_units != by_money:
        word = "most" if op == "max" else "least"
        who = f"the {gname} that sells" if n == 1 else f"the {n} {plural(2, gname)} that sell"
        raise Unmappable(f"{who} the {word} could be by units sold ("
                         + ", ".join(sorted(map(show, by_units))[:5]) + ") or by revenue ("
                         + ", ".join(sorted(map(show, by_money))[:5]) + "); ask for one of them")
    return [(r[0], r[2]) for r in rows]


def _unnamed(label: Any) -> bool:
    return label is None or (isinstance(label, (str, bytes)) and not label.strip())


def named_groups(gname: str, rows: list[tuple]) -> list[tuple]:
    """The rows of a group answer, when their labels tell the groups apart:
    groups named by empty labels (a name column left NULL, a person's
    names concatenated from nothing) would be an answer nobody can read
    back to the data."""
    if rows and all(_unnamed(r[0]) for r in rows):
        raise Unmappable(f"every {gname} has an empty name in the column it is named by, "
                         "so the groups cannot be told apart")
    return rows


ORDINAL_WORDS = {2: "second", 3: "third", 4: "fourth", 5: "fifth", 6: "sixth",
                 7: "seventh", 8: "eighth", 9: "ninth", 10: "tenth"}


def nth_rank(n: int, noun: str, rows: list[tuple]) -> list[tuple]:
    """The rows ranked n-th (rows come ranked, their value second).  With
    ties above it, the n-th row and the n-th distinct value are two
    answers; then the question is declined with both."""
    rows = [r for r in rows if r[1] is not None]
    values = list(dict.fromkeys(r[1] for r in rows))
    if len(values) < n:
        raise Unmappable(f"there are fewer than {n} different values to rank the {noun} by")
    by_value = values[n - 1]
    by_row = rows[n - 1][1]
    if by_row != by_value:
        raise Unmappable(f"with ties, the {ORDINAL_WORDS.get(n, n)} {noun} could be the "
                         f"{ORDINAL_WORDS.get(n, n)} row ({show(by_row)}) or the "
                         f"{ORDINAL_WORDS.get(n, n)} different value ({show(by_value)}); "
                         "ask for one of them")
    return [r for r in rows if r[1] == by_value]


def average_of_totals(total: str, gname: str, desc: str, rows: list[tuple]) -> str:
    v, n = rows[0]
    if v is None:
        return f"There are no {plural(2, gname)}{desc} to average over."
    return (f"The average of each {gname}'s {total} is {show(v)} (over {n} "
            f"{plural(n, gname)}, those with none counted as 0){desc}.")


def same_counts(who: str, sources: list[str], period: str, rows: list[tuple]) -> list[tuple]:
    """(period, count) where every source counts the same rows active in
    each period; where two differ the question has two answers."""
    for r in rows:
        if len(set(r[1:])) > 1:
            counts = ", ".join(f"{show(v or 0)} by {s}" for s, v in zip(sources, r[1:]))
            raise Unmappable(f"active {who} may be those with a row in any of "
                             + ", ".join(sources) + f", and they differ ({period} {show(r[0])}: "
                             f"{counts}); ask for one of them")
    return [r[:2] for r in rows]


def span_days(noun: str, date: str, desc: str, rows: list[tuple]) -> str:
    days = rows[0][0] if rows else None
    if days is None:
        return f"There is no {noun}{desc} with a {date}, so no first or last one."
    return (f"{show(days)} {plural(days, 'day')} passed from the first {noun} to the last{desc} "
            f"(from the earliest {date} to the latest).")


def share(noun: str, desc: str, rows: list[tuple]) -> str:
    part, whole = rows[0]
    if not whole:
        return f"There are no {noun}, so there is no share to give."
    pct = (decimal.Decimal(part) * 100 / decimal.Decimal(whole)).quantize(
        decimal.Decimal("0.01"))
    return f"{pct}% of {noun}{desc}: {part} of {whole}."


def per_group(wording: str, gname: str, desc: str, rows: list[tuple],
              cap: int = GROUP_CAP) -> str:
    named_groups(gname, rows)
    if not rows:
        return f"There are no groups{desc}."
    shown = rows[:cap]
    text = "; ".join(f"{show(k)}: {show(v)}" for k, v in shown)
    more = f" (first {cap} of {len(rows)} shown)" if len(rows) > cap else ""
    return f"The {wording} per {gname}{desc}: {text}{more}."


def flag_counts(table: str, column: str, ways: list[tuple[str, bool]],
                rows: list[tuple]) -> str:
    """How many rows are each way of a yes-or-no column, by the words asked."""
    noun = table.replace("_", " ")
    counts = " and ".join(f"{n} {word} {noun if n != 1 else singular(noun)}"
                          for (word, _), n in zip(ways, rows[0]))
    said = "; ".join(f"{word}: {'' if yes else 'not '}{column}" for word, yes in ways
                     if word.lower() != column.lower())
    return f"There are {counts}" + (f" ({said})." if said else ".")


def best_per_group(word: str, wording: str, table: str, gtable: str, desc: str,
                   rows: list[tuple]) -> str:
    """The rows with the group's highest or lowest value, for each group:
    rows of (group, row, value), in the groups' order."""
    named_groups(singular(gtable), rows)
    if not rows:
        return f"There are no {table}{desc}."
    groups: dict[Any, list[tuple]] = {}
    for g, name, v in rows:
        groups.setdefault(g, []).append((name, v))
    shown = list(groups.items())[:GROUP_CAP]
    text = "; ".join(f"{show(g)}: " + ", ".join(f"{show(n)} ({_cell(wording, v)})"
                                               for n, v in best)
                     for g, best in shown)
    more = f" (first {GROUP_CAP} of {len(groups)} shown)" if len(groups) > GROUP_CAP else ""
    noun = singular(table.replace("_", " "))
    return (f"The {noun} with the {word} {wording} for each {singular(gtable.replace('_', ' '))}"
            f"{desc} (ties included): {text}{more}.")


def best_groups(op: str, n: int, what: str, wording: str, gname: str, desc: str,
                rows: list[tuple], rank: str = "") -> str:
    """The group (or the n groups) with the most or least, ties included."""
    rows = [r for r in rows if r[1] is not None]
    if not rows:
        return CANNOT_ANSWER + f"no {gname} has a value{desc}."
    best = rows[min(n, len(rows)) - 1][1]
    top = [r for r in rows if (r[1] >= best if op == "max" else r[1] <= best)]
    if any(_unnamed(r[0]) for r in top):
        raise Unmappable(f"a {gname} ranked first has an empty name in the column it is "
                         "named by, so the answer could not say which it is")
    word = "most" if op == "max" else "least"
    if what == "column":
        word = "highest" if op == "max" else "lowest"
    word = f"{rank} {word}" if rank else word
    if what == "count" and " " not in wording and not wording.endswith("s"):
        wording = plural(2, wording)  # "the most rentals"
    if n == 1 and len(top) > LIST_CAP and len(top) == len(rows):
        # Every group ties: the ranking says nothing about any of them.
        raise Unmappable(f"all {len(rows)} {plural(2, gname)} have the same {wording} "
                         f"({show(best)}), so none has the {word}")
    if n > 1:
        listed = ", ".join(f"{show(r[0])} ({show(r[1])})" for r in top[:LIST_CAP])
        ties = f" (ties included, {len(top)} in all)" if len(top) > n else ""
        return (f"The {n} {plural(2, gname)} with the {word} {wording}{desc}: "
                f"{listed}{ties}.")
    names = ", ".join(show(r[0]) for r in top[:LIST_CAP])
    if len(top) > LIST_CAP:
        names += f" and {len(top) - LIST_CAP} more"
    tie = f" (a tie between {len(top)})" if len(top) > 1 else ""
    return (f"The {gname} with the {word} {wording} is {names}"
            f" ({show(best)}){tie}{desc}.")


def best_rows(op: str, n: int, table: str, word: str, wording: str, asked: Optional[str],
              desc: str, rows: list[tuple]) -> str:
    """The row (or the n rows) ranked first, with the value ranked by and
    the column asked for, ties included."""
    if not rows:
        return f"There are no {table}{desc}."
    cut = rows[min(n, len(rows)) - 1][1]
    chosen = [r for r in rows if (r[1] >= cut if op == "max" else r[1] <= cut)]
    if any(_unnamed(r[0]) for r in chosen):
        raise Unmappable(f"a {singular(table.replace('_', ' '))} ranked first has an empty "
                         "name in the column it is named by, so the answer could not say "
                         "which it is")
    items = ", ".join(f"{show(r[0])} ({show(r[1])}" + (
        f"; {asked} {show(r[2])}" if len(r) > 2 else "") + ")"
        for r in chosen[:LIST_CAP])
    more = f" and {len(chosen) - LIST_CAP} more" if len(chosen) > LIST_CAP else ""
    if n == 1:
        tie = f" (a tie between {len(chosen)})" if len(chosen) > 1 else ""
        noun = singular(table.replace("_", " "))
        return f"The {noun} with the {word} {wording}{desc} is {items}{more}{tie}."
    extra = f" (ties included, {len(chosen)} in all)" if len(chosen) > n else ""
    return (f"The {n} {table.replace('_', ' ')} with the {word} {wording}{desc}: "
            f"{items}{more}{extra}.")


def distinct_values(column: str, table: str, desc: str, sorted_: bool, rows: list[tuple]) -> str:
    """The values of a column; asked in an order (`sorted_`), the list is
    a report and given whole up to the cap of one."""
    vals = [show(r[0]) for r in rows]
    if not vals:
        return f"There are no {column} values in {table}{desc}."
    cap = GROUP_CAP if sorted_ else LIST_CAP
    more = f" (first {cap} shown)" if len(vals) > cap else ""
    return (f"{len(vals)} distinct {column} value{'s' if len(vals) != 1 else ''} "
            f"in {table}{desc}: {', '.join(vals[:cap])}{more}.")


def _cell(column: str, value: Any) -> str:
    """A value of a column as a report shows it: a column its name calls a
    date shows the day, though its type keeps a time of day as well."""
    if isinstance(value, datetime.datetime) and "date" in column.lower():
        return value.date().isoformat()
    return show(value)


def rows_listed(table: str, keyed: bool, columns: list[str], desc: str,
                rows: list[tuple], counted: Optional[str] = None) -> str:
    """Rows named by their label (`keyed`: the label is the key, so the row
    is named "order 5"), with the other columns asked for; `counted` says
    what the rows are where they are not one per row of the table."""
    if not rows:
        return f"There are no {table.replace('_', ' ')}{desc}."
    seen = [r for i, r in enumerate(rows) if r in rows[:i]]
    if seen and not keyed:
        # Two rows that read the same are two rows the list cannot tell
        # apart: the column they are named by is no name of theirs.
        raise Unmappable(f"several {table.replace('_', ' ')} read the same in the list "
                         f"({show(seen[0][0])}), so it could not tell them apart")
    who = show(rows[0][0])
    if keyed:
        who = f"{singular(table.replace('_', ' '))} {who}"
    if len(rows) == 1 and len(columns) == 2:
        return f"The {columns[1]} of {who} is {_cell(columns[1], rows[0][1])}."
    if len(rows) == 1 and len(columns) > 2:
        return f"{who}: " + ", ".join(
            f"{c} {_cell(c, v)}" for c, v in zip(columns[1:], rows[0][1:])) + "."
    if len(columns) == 1:
        items = [show(r[0]) for r in rows]
    else:
        items = [f"{show(r[0])} (" + ", ".join(
            f"{c} {_cell(c, v)}" for c, v in zip(columns[1:], r[1:])) + ")" for r in rows]
    # Rows with the columns asked of them are a report, given whole up to
    # the larger number a table of figures per group is; bare names are a
    # list that shows its first few and says how many there are.
    cap = GROUP_CAP if len(columns) > 1 else LIST_CAP
    more = f" (first {cap} shown)" if len(items) > cap else ""
    noun = counted or table.replace("_", " ")
    return (f"{len(rows)} {noun if len(rows) != 1 or counted else singular(noun)}"
            f"{desc}: {'; '.join(items[:cap])}{more}.")
