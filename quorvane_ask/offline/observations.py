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

    @functools.cached_property
    def words(self) -> list[str]:
        return name_words(self.name)

    @property
    def numeric(self) -> bool:
        return any(t in self.type for t in _NUMERIC_TYPES)

    @property
    def integer(self) -> bool:
        return "INT" in self.type

    @property
    def text(self) -> bool:
        return any(t in self.type for t in _TEXT_TYPES)

    @property
    def date(self) -> bool:
        return any(t in self.type for t in _DATE_TYPES)


@dataclass
class Table:
    name: str
    columns: list[Column] = field(default_factory=list)
    pk: list[str] = field(default_factory=list)
    fks: list[tuple[str, str, str]] = field(default_factory=list)  # (column, table, column)
    # Columns NULL (or blank) in every sample row the schema showed: a name
    # column that holds nothing does not name the rows.
    empty: set[str] = field(default_factory=set)

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
    def label(self) -> Optional[Column]:
        """The column that names a row: its own name or title, else the last
        name of a person, else another name, else the key."""
        names = [c for c in self.columns if c.text and c.name not in self.empty
                 and any(w in c.words for w in LABEL_WORDS)]
        person = {"first", "last", "given", "family", "middle"}
        for c in names:
            if any(self._own(c, (w,)) for w in LABEL_WORDS) and not set(c.words) & person:
                return c
        if self.person_name is not None:
            return self.person_name[1]
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
        return None

    @property
    def dates(self) -> list[Column]:
        return [c for c in self.columns if c.date]


_IDENT = r"(?:`(?:[^`]|``)+`|\"[^\"]+\"|[^\s(),]+)"


def _unquote(name: str) -> str:
    if name[:1] == "`":
        return name[1:-1].replace("``", "`")
    return name.strip('"')


def read_schema(observation: str) -> dict[str, Table]:
    """Tables, columns, keys and foreign keys from the CREATE TABLE texts."""
    tables = {}
    for m in re.finditer(r"CREATE TABLE (" + _IDENT + r") \((.*?)\n\)", observation, re.S):
        table = Table(_unquote(m[1]))
        for line in m[2].splitlines():
            line = line.strip().rstrip(",").strip()
            if not line:
                continue
            fk = re.search(r"FOREIGN KEY ?\(([^)]*)\) REFERENCES (" + _IDENT + r") ?\(([^)]*)\)",
                           line)
            if fk:
                cols = [_unquote(c.strip()) for c in fk[1].split(",")]
                refs = [_unquote(c.strip()) for c in fk[3].split(",")]
                if len(cols) == 1:
                    table.fks.append((cols[0], _unquote(fk[2]), refs[0]))
                continue
            pk = re.match(r"PRIMARY KEY \(([^)]*)\)", line)
            if pk:
                table.pk = [_unquote(c.strip()) for c in pk[1].split(",")]
                continue
            if re.match(r"(?:CONSTRAINT|UNIQUE|KEY|INDEX|CHECK|FULLTEXT|SPATIAL)\b", line):
                continue
            # The type with its arguments: "DECIMAL(3, 2)" keeps its scale.
            col = re.match(r"(" + _IDENT + r")\s+([^\s(]+(?:\([^)]*\))?)", line)
            if col:
                table.columns.append(Column(table.name, _unquote(col[1]), col[2].upper()))
                if "PRIMARY KEY" in line.upper():
                    table.pk = [table.columns[-1].name]
        tables[table.name] = table
    _note_empty_columns(observation, tables)
    return tables


_SAMPLE_RE = re.compile(r"/\*\n\d+ rows from (?P<table>.+?) table:\n(?P<head>[^\n]*)\n"
                        r"(?P<rows>.*?)\*/", re.S)


def _note_empty_columns(observation: str, tables: dict[str, Table]) -> None:
    """The columns with no value in any of the sample rows shown after a
    table's CREATE TABLE ("None" is how NULL is printed)."""
    for m in _SAMPLE_RE.finditer(observation):
        table = tables.get(m["table"])
        rows = [r.split("\t") for r in m["rows"].splitlines() if r.strip()]
        head = m["head"].split("\t")
        if table is None or not rows or any(len(r) != len(head) for r in rows):
            continue
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
