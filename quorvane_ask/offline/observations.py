"""Reading what the SQL tools said: the steps of the agent's scratchpad,
the tables, columns and keys of the ``CREATE TABLE`` texts, and the rows
of a query result.

Each observation is read once into typed objects; no later stage looks at
the tools' text again.
"""

from __future__ import annotations

import ast
import datetime
import decimal
import functools
import re
from dataclasses import dataclass, field
from typing import Any, Optional

from .words import LABEL_WORDS, name_words


# Each step of the scratchpad starts with the action lines of a reply of
# ours; the observation runs up to the "Thought:" that opens the next reply.
_STEP_RE = re.compile(
    r"^Action: *(?P<tool>[^\n]*)\nAction Input: *(?P<input>[^\n]*)\n+Observation: ?", re.M)


@dataclass
class Step:
    tool: str
    tool_input: str
    observation: str


def read_steps(scratchpad: str) -> list[Step]:
    matches = list(_STEP_RE.finditer(scratchpad))
    steps = []
    for i, m in enumerate(matches):
        end = matches[i + 1].start() if i + 1 < len(matches) else len(scratchpad)
        chunk = scratchpad[m.end():end]
        cut = chunk.rfind("\nThought:")
        if cut != -1:
            chunk = chunk[:cut]
        steps.append(Step(m["tool"].strip(), m["input"].strip().strip('"'), chunk.strip()))
    return steps


_NUMERIC_TYPES = ("INT", "DECIMAL", "NUMERIC", "FLOAT", "DOUBLE", "REAL")
_TEXT_TYPES = ("CHAR", "TEXT", "ENUM", "SET")
_DATE_TYPES = ("DATE", "TIMESTAMP")


@dataclass
class Column:
    table: str
    name: str
    type: str
    # The values an ENUM or SET allows, as declared (their case kept).
    values: tuple[str, ...] = ()
    comment: str = ""

    @functools.cached_property
    def words(self) -> list[str]:
        return name_words(self.name)

    @property
    def base(self) -> str:
        """The type without its arguments: an ENUM whose values hold "INT"
        or "DATE" is text all the same."""
        return self.type.split("(", 1)[0]

    @property
    def numeric(self) -> bool:
        return any(t in self.base for t in _NUMERIC_TYPES)

    @property
    def integer(self) -> bool:
        return "INT" in self.base

    @property
    def text(self) -> bool:
        return any(t in self.base for t in _TEXT_TYPES)

    @property
    def date(self) -> bool:
        return any(t in self.base for t in _DATE_TYPES)

    @functools.cached_property
    def flag_false(self) -> Optional[str]:
        """The value that says no, as declared, of an ENUM that holds a yes
        or a no ('T' and 'F', 'Y' and 'N'); None for any other column."""
        if self.base != "ENUM" or len(self.values) != 2:
            return None
        low = {v.lower(): v for v in self.values}
        for yes, no in (("t", "f"), ("y", "n"), ("yes", "no"), ("true", "false")):
            if set(low) == {yes, no}:
                return low[no]
        return None

    @property
    def yes_no(self) -> bool:
        """Whether the column only says yes or no: a BOOLEAN, a one-digit
        TINYINT or BIT as MySQL declares its booleans, or an ENUM of a yes
        and a no."""
        return self.base in ("BOOL", "BOOLEAN") or re.fullmatch(
            r"(TINYINT|BIT)\(1\)", self.type.replace(" ", "")) is not None \
            or self.flag_false is not None

    @property
    def flag_no(self):
        """The value a yes-or-no column holds for no: its ENUM's no, else 0."""
        return self.flag_false if self.flag_false is not None else 0

    @property
    def flag(self) -> Optional[str]:
        """The adjective a yes-or-no column is named by ("discontinued",
        "is_active": active), or None: a yes-or-no column whose name is one
        word."""
        if not self.yes_no:
            return None
        words = [w for w in self.words if w not in ("is", "has", "flag")]
        return words[0] if len(words) == 1 else None


@dataclass
class Table:
    name: str
    columns: list[Column] = field(default_factory=list)
    pk: list[str] = field(default_factory=list)
    fks: list[tuple[str, str, str]] = field(default_factory=list)  # (column, table, column)
    # Columns NULL (or blank) in every sample row the schema showed: a name
    # column that holds nothing does not name the rows.
    empty: set[str] = field(default_factory=set)
    unique: list[list[str]] = field(default_factory=list)  # each UNIQUE key's columns
    comment: str = ""
    # The sample rows shown after the CREATE TABLE: column -> value as printed.
    samples: list[dict[str, str]] = field(default_factory=list)

    def column(self, name: str) -> Column:
        return next(c for c in self.columns if c.name == name)

    @functools.cached_property
    def words(self) -> list[str]:
        return name_words(self.name)

    @property
    def fk_columns(self) -> set[str]:
        return {c for c, _, _ in self.fks}

    def _own(self, c: Column, part: tuple[str, ...]) -> bool:
        """Whether the column is this row's own `part` ("name", "first
        name"): its other words are the table's noun or none
        ("customerName" in customers, not "contactFirstName")."""
        rest = list(c.words)
        for w in part:
            if w not in rest:
                return False
            rest.remove(w)
        return set(rest) <= set(self.words) | {"full", "display"}

    @functools.cached_property
    def person_name(self) -> Optional[tuple[Column, Column]]:
        """(first, last) name columns of a row that is a person named by
        both ("Ada Lovelace"), or None."""
        def one(*parts: tuple[str, ...]) -> Optional[Column]:
            found = [c for c in self.columns if c.text and c.name not in self.empty
                     and any(self._own(c, p) for p in parts)]
            return found[0] if len(found) == 1 else None
        first = one(("first", "name"), ("given", "name"), ("forename",))
        last = one(("last", "name"), ("family", "name"), ("surname",))
        return (first, last) if first is not None and last is not None else None

    @functools.cached_property
    def organisation(self) -> Optional[Column]:
        """The one column that names the organisation a row's person stands
        for ("company" of a supplier's contact), or None; NULL in every
        sample row is none."""
        org = {"company", "organization", "organisation", "firm"}
        found = [c for c in self.columns if c.text and c.name not in self.empty
                 and set(c.words) & org and set(c.words) <= org | {"name"}]
        if len(found) != 1:
            return None
        # One organisation in every sample row (the employer of all the
        # staff) tells no row from another.
        seen = {row.get(found[0].name) for row in self.samples}
        if seen & {None, "", "None", "NULL"}:
            # A company some people have and others not (a shop's customers)
            # is where they work, not what the row stands for.
            return None
        return None if len(self.samples) > 1 and len(seen) == 1 else found[0]

    @functools.cached_property
    def label(self) -> Optional[Column]:
        """The column that names a row: its own name or title, else the last
        name of a person, else another name, else the key."""
        names = [c for c in self.columns if c.text and c.name not in self.empty
                 and any(w in c.words for w in LABEL_WORDS)]
        person = {"first", "last", "given", "family", "middle"}
        for c in names:
            # A person's title is the job they hold ("Sales Manager"), not
            # their name.
            if "title" in c.words and self.person_name is not None:
                continue
            if any(self._own(c, (w,)) for w in LABEL_WORDS) and not set(c.words) & person:
                return c
        if self.person_name is not None:
            return self.person_name[1]
        # A name among columns that describe another party ("ship_name"
        # beside ship_address, ship_city: whom an order goes to) is no name
        # of the row's own; a single key names it better.
        def embedded(c: Column) -> bool:
            return bool(c.words) and sum(1 for o in self.columns if o is not c and o.words
                                         and o.words[0] == c.words[0]) >= 2 \
                and c.words[0] not in set(self.words) | set(LABEL_WORDS)
        if len(self.pk) == 1 and names and all(embedded(c) for c in names):
            return self.column(self.pk[0])
        for c in names:
            if not set(c.words) & person:
                return c
        if names:
            return names[0]
        # A text column declared right after the key names the row too
        # ("company" in clients); a status further down does not.
        rest = [c for c in self.columns if c.name not in self.pk and c.name not in self.fk_columns]
        if len(self.pk) == 1 and rest and rest[0].text and rest[0].name not in self.empty:
            return rest[0]
        if len(self.pk) == 1:
            return self.column(self.pk[0])
        # A key of a reference and a text (a country's language): the text
        # names the row among those of the one referenced.
        own = [self.column(k) for k in self.pk if k not in self.fk_columns]
        if len(self.pk) > 1 and len(own) == 1 and own[0].text and own[0].name not in self.empty \
                and not set(own[0].words) & {"id", "no", "num", "number", "code"}:
            return own[0]
        return None

    @property
    def dates(self) -> list[Column]:
        """The dates of what a row records; not when the database last
        changed the row (last_update, ModifiedDate), which is named if meant."""
        return [c for c in self.columns if c.date and not bookkeeping(c)]


_CHANGE_WORDS = {"update", "updated", "modified", "modify", "change", "changed", "edit", "edited"}


def bookkeeping(col: "Column") -> bool:
    """A date a database keeps about its own rows (last_update, ModifiedDate,
    updated_at), never the date of what the row records."""
    return bool(set(col.words) & _CHANGE_WORDS) and set(col.words) <= _CHANGE_WORDS | {
        "last", "at", "on", "date", "time", "timestamp", "stamp", "ts"}


_IDENT = r"(?:`(?:[^`]|``)+`|\"[^\"]+\"|[^\s(),]+)"
_STRING = r"'(?:[^'\\]|''|\\.)*'"
# A type with its arguments, quoted ones included: "DECIMAL(3, 2)" keeps its
# scale, "ENUM('G','PG-13')" its values, and a ')' inside a value is no end.
_TYPE_RE = re.compile(r"([^\s(]+)(\((?:" + _STRING + r"|[^)'])*\))?")
_KEY_LIST = r"\(((?:[^()]|\([^)]*\))*)\)"
_REFERENCES_RE = re.compile(r"\bREFERENCES\s+(" + _IDENT + r")\s*" + _KEY_LIST, re.I)
_COMMENT_RE = re.compile(r"\bCOMMENT\s*=?\s*(" + _STRING + r")", re.I)
_CREATE_RE = re.compile(r"CREATE\s+TABLE\s+(?:IF\s+NOT\s+EXISTS\s+)?(" + _IDENT + r")\s*\(", re.I)


def _unquote(name: str) -> str:
    if name[:1] == "`":
        return name[1:-1].replace("``", "`")
    return name.strip('"')


def _string(text: str) -> str:
    """A quoted SQL string's value: '' and backslash escapes undone."""
    return re.sub(r"''|\\(.)", lambda m: m[1] or "'", text[1:-1])


def _quote_end(text: str, i: int) -> int:
    """Where the quote opened at `i` closes (the end of `text` if never)."""
    end = text.find(text[i], i + 1)
    while end != -1 and text[i] == "'" and text[end - 1] == "\\":
        end = text.find(text[i], end + 1)
    return len(text) if end == -1 else end


def _top_level(text: str, start: int = 0):
    """Each character of `text` from `start` outside quotes, with how deep
    in parentheses it stands (a closing one at the depth it closes to)."""
    depth, i = 0, start
    while i < len(text):
        ch = text[i]
        if ch in "'\"`":
            i = _quote_end(text, i)
        else:
            depth -= ch == ")"
            yield i, ch, depth
            depth += ch == "("
        i += 1


def _split_top(text: str) -> list[str]:
    """`text` cut at the commas outside parentheses and quotes."""
    parts, start = [], 0
    for i, ch, depth in _top_level(text):
        if ch == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return [p.strip() for p in parts if p.strip()]


def _key_columns(text: str) -> list[str]:
    # A key's part may carry a prefix length or an order: name(10) DESC.
    return [_unquote(re.sub(r"\s*\(\d+\)|\s+(?:ASC|DESC)$", "", c.strip(), flags=re.I))
            for c in _split_top(text)]


def _body(observation: str, start: int) -> tuple[str, int]:
    """The text inside the parenthesis opened just before `start`, and
    where the text after its closing one begins."""
    for i, ch, depth in _top_level(observation, start):
        if ch == ")" and depth < 0:
            return observation[start:i], i + 1
    return observation[start:], len(observation)


def _read_item(table: Table, item: str) -> None:
    """One item of a CREATE TABLE's list: a column or a key."""
    bare = re.sub(_STRING, "''", item)
    head = re.sub(r"^CONSTRAINT\s+(?:" + _IDENT + r"\s+)?", "", bare, flags=re.I)
    if re.match(r"(?:CONSTRAINT|PRIMARY\s+KEY|FOREIGN\s+KEY|UNIQUE|KEY|INDEX|CHECK|FULLTEXT|SPATIAL)\b",
                bare, re.I):
        keys = re.search(_KEY_LIST, head)
        cols = _key_columns(keys[1]) if keys else []
        if re.match(r"PRIMARY\s+KEY\b", head, re.I):
            table.pk = cols
        elif re.match(r"FOREIGN\s+KEY\b", head, re.I):
            ref = _REFERENCES_RE.search(head)
            refs = _key_columns(ref[2]) if ref else []
            # A key over several columns joins by all of them at once, which
            # the join graph's one-column links cannot say: it is left out.
            if ref and len(cols) == 1 and len(refs) == 1:
                table.fks.append((cols[0], _unquote(ref[1]), refs[0]))
        elif re.match(r"UNIQUE\b", head, re.I) and cols:
            table.unique.append(cols)
        return
    col = re.match(r"(" + _IDENT + r")\s+", item)
    if not col:
        return
    kind = _TYPE_RE.match(item, col.end())
    base, args = kind[1].upper(), kind[2] or ""
    values: tuple[str, ...] = ()
    if base in ("ENUM", "SET"):
        values = tuple(_string(v) for v in re.findall(_STRING, args))
    comment = _COMMENT_RE.search(item[kind.end():])
    column = Column(table.name, _unquote(col[1]), base + args.upper() if not values else base + args,
                    values=values, comment=_string(comment[1]) if comment else "")
    table.columns.append(column)
    rest = bare[len(col[0]) + len(kind[0]):]
    if re.search(r"\bPRIMARY\s+KEY\b", rest, re.I):
        table.pk = [column.name]
    elif re.search(r"\bUNIQUE\b", rest, re.I):
        table.unique.append([column.name])
    ref = _REFERENCES_RE.search(rest)
    if ref and len(_key_columns(ref[2])) == 1:
        table.fks.append((column.name, _unquote(ref[1]), _key_columns(ref[2])[0]))


def read_schema(observation: str) -> dict[str, Table]:
    """Tables, columns (with the values an ENUM or SET allows, and their
    comments), keys in every form they are declared in, foreign keys, and
    the sample rows shown after each table, from the CREATE TABLE texts."""
    tables = {}
    pos = 0
    while m := _CREATE_RE.search(observation, pos):
        body, pos = _body(observation, m.end())
        table = Table(_unquote(m[1]))
        for item in _split_top(body):
            _read_item(table, item)
        options = observation[pos:observation.find("\n", pos) if "\n" in observation[pos:] else None]
        comment = _COMMENT_RE.search(options)
        table.comment = _string(comment[1]) if comment else ""
        tables[table.name] = table
    _read_samples(observation, tables)
    return tables


_SAMPLE_RE = re.compile(r"/\*\n\d+ rows from (?P<table>.+?) table:\n(?P<head>[^\n]*)\n"
                        r"(?P<rows>.*?)\*/", re.S)


def _read_samples(observation: str, tables: dict[str, Table]) -> None:
    """The sample rows shown after a table's CREATE TABLE, as the tool
    printed them (each value as text, cut at 100 characters, NULL as
    "None"), and the columns with no value in any of them."""
    for m in _SAMPLE_RE.finditer(observation):
        table = tables.get(m["table"])
        rows = [r.split("\t") for r in m["rows"].splitlines() if r.strip()]
        head = m["head"].split("\t")
        # A value with a tab or a line break in it leaves the rows unreadable.
        if table is None or not rows or any(len(r) != len(head) for r in rows):
            continue
        table.samples = [dict(zip(head, r)) for r in rows]
        table.empty = {name for k, name in enumerate(head)
                       if all(r[k].strip() in ("", "None") for r in rows)}


_SAFE_CALLS = {
    "Decimal": decimal.Decimal,
    "datetime.date": datetime.date,
    "datetime.datetime": datetime.datetime,
    "datetime.time": datetime.time,
    "datetime.timedelta": datetime.timedelta,
}


def _literal(node: ast.AST) -> Any:
    if isinstance(node, ast.Constant):
        return node.value
    if isinstance(node, (ast.List, ast.Tuple)):
        items = [_literal(e) for e in node.elts]
        return items if isinstance(node, ast.List) else tuple(items)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        value = _literal(node.operand)
        return -value if isinstance(node.op, ast.USub) else value
    if isinstance(node, ast.Call) and not node.keywords:
        func = ast.unparse(node.func)
        if func in _SAFE_CALLS:
            return _SAFE_CALLS[func](*[_literal(a) for a in node.args])
    raise ValueError(f"not a literal: {ast.unparse(node)}")


def read_rows(observation: str) -> list[tuple]:
    """The rows of a query result as the SQL tool prints them ("" is none).

    Only literals and the few value types a database driver hands back are
    accepted: the text comes from the database and is never executed.
    """
    if not observation.strip():
        return []
    rows = _literal(ast.parse(observation.strip(), mode="eval").body)
    if not isinstance(rows, list) or not all(isinstance(r, tuple) for r in rows):
        raise ValueError("not a list of rows")
    return rows
