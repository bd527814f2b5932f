"""Reading MySQL dump files as the mysql client would, for loading them
into a database of the bench's choosing.

A dump is a client script, not something the server takes in one batch:
it switches the statement terminator with ``DELIMITER`` lines around
trigger and routine bodies (which hold ';' of their own), carries '#',
'-- ' and '/* */' comments, and has ';' inside string literals.  It also
names its own schema (``CREATE SCHEMA``, ``USE``, tables qualified with
it) and owners (``DEFINER=`root`@`localhost```) that a loader account
with rights on one database may neither create nor impersonate.

statements() splits a script into statements in file order, and
for_database() turns them into what that loader account can run: the
statements that make, drop or select a schema go, the dump's own schema
name in qualified names becomes the target's, and DEFINER clauses go so
that views, triggers and routines belong to the account that loads them.
The order is kept: a dump creates each table's triggers after its rows,
and triggers that rewrite a date on insert would overwrite the dump's
dates if they came first.
"""

from __future__ import annotations

import os
import re
from typing import Iterable, Iterator

# A string literal: backslash escapes and doubled quotes both occur.
_LITERAL = {q: re.compile(q + r"(?:[^" + q + r"\\]+|\\.|" + q + q + r")*" + q, re.S) for q in "'\""}
_BACKTICKED = re.compile(r"`(?:[^`]|``)*`")
# A client command line: only at the start of a statement.
_DELIMITER_LINE = re.compile(r"[ \t\r\n]*DELIMITER[ \t]+(\S+)[^\n]*(?:\n|$)", re.I)


def _special(delimiter: str) -> re.Pattern:
    # What ends plain text: a quote, a comment, or the terminator.  '-- '
    # starts a comment only before a blank or control character, as in
    # the client ('a--1' is arithmetic).
    return re.compile(r"['\"`#]|/\*|--(?=[\x00-\x20]|$)|" + re.escape(delimiter))


def statements(text: str) -> Iterator[str]:
    """The statements of a client script, in order, without their terminators.

    Plain comments are dropped; version comments (``/*!40101 ... */``) are
    code and kept.  A carriage return is whitespace like any other, so CRLF
    and CR CR LF line ends make no difference.
    """
    delimiter = ";"
    special = _special(delimiter)
    pieces: list[str] = []
    started = False          # the statement has something besides blanks
    i, n = 0, len(text)

    def flush():
        statement = "".join(pieces).strip()
        pieces.clear()
        return statement

    while i < n:
        if not started:
            m = _DELIMITER_LINE.match(text, i)
            if m:
                delimiter = m.group(1)
                special = _special(delimiter)
                pieces.clear()
                i = m.end()
                continue
        m = special.search(text, i)
        end = m.start() if m else n
        if text[i:end].strip():
            started = True
        pieces.append(text[i:end])
        if m is None:
            break
        token, i = m.group(), m.start()
        if token == delimiter:
            statement = flush()
            started = False
            if statement:
                yield statement
            i += len(delimiter)
        elif token in ("'", '"', "`"):
            lit = (_BACKTICKED if token == "`" else _LITERAL[token]).match(text, i)
            if lit is None:
                raise ValueError(f"unterminated {token} at offset {i}")
            pieces.append(lit.group())
            started = True
            i = lit.end()
        elif token == "/*":
            close = text.find("*/", i + 2)
            if close < 0:
                raise ValueError(f"unterminated comment at offset {i}")
            if text.startswith(("/*!", "/*M!"), i):
                pieces.append(text[i:close + 2])
                started = True
            else:
                pieces.append(" ")
            i = close + 2
        else:                # '#' or '-- ': to the end of the line
            close = text.find("\n", i)
            i = n if close < 0 else close
    statement = flush()
    if statement:
        yield statement


def _masked(statement: str) -> tuple[str, list[str]]:
    """`statement` with its string literals replaced by numbered marks, and the literals."""
    literals: list[str] = []
    out, i = [], 0
    opener = re.compile(r"['\"`]")
    while True:
        m = opener.search(statement, i)
        if m is None:
            out.append(statement[i:])
            break
        q = m.group()
        lit = (_BACKTICKED if q == "`" else _LITERAL[q]).match(statement, m.start())
        end = lit.end() if lit else len(statement)
        out.append(statement[i:m.start()])
        if q == "`":
            out.append(statement[m.start():end])       # identifiers are code
        else:
            out.append(f"\x00{len(literals)}\x00")
            literals.append(statement[m.start():end])
        i = end
    return "".join(out), literals


def _unmasked(code: str, literals: list[str]) -> str:
    return re.sub(r"\x00(\d+)\x00", lambda m: literals[int(m.group(1))], code)


_NAME = r"(?:`(?:[^`]|``)*`|\x00\d+\x00|[\w$.%-]+)"
_DEFINER = re.compile(r"\bDEFINER\s*=\s*(?:CURRENT_USER(?:\s*\(\s*\))?|" + _NAME + r"(?:\s*@\s*" + _NAME + r")?)",
                      re.I)
# Statements about the schema itself, possibly inside a version comment.
_SCHEMA_STATEMENT = re.compile(
    r"(?:/\*M?!\d*\s*)?(?:(?P<verb>CREATE|DROP)\s+(?:SCHEMA|DATABASE)\b(?:\s*/\*.*?\*/|\s+IF\s+(?:NOT\s+)?EXISTS)?"
    r"|(?P<use>USE)\b)\s*(?P<name>`(?:[^`]|``)*`|\w+)", re.I | re.S)


def _identifier(name: str) -> str:
    return name[1:-1].replace("``", "`") if name.startswith("`") else name


def for_database(script: Iterable[str], database: str) -> Iterator[str]:
    """The statements of `script` as a loader with rights on `database` alone can run them.

    Schema statements (``CREATE``/``DROP SCHEMA``, ``USE``) are left out;
    the names they give are taken for the dump's own and rewritten to
    `database` where they qualify a table (```shop`.`orders```).  DEFINER
    clauses are left out.  Everything else passes in order, unchanged.
    """
    target = "`" + database.replace("`", "``") + "`"
    own: set[str] = set()
    qualifier = None
    for statement in script:
        code, literals = _masked(statement)
        m = _SCHEMA_STATEMENT.match(code)
        if m:
            own.add(_identifier(m.group("name")))
            names = "|".join(re.escape(n) for n in sorted(own, key=len, reverse=True))
            # A qualifier is the name right before a dot, quoted or not.
            qualifier = re.compile(r"(?<![\w`.$])(?:`(?:" + names + r")`|(?:" + names + r")(?![\w$]))(?=\s*\.)")
            continue
        code = _DEFINER.sub("", code)
        if qualifier is not None:
            code = qualifier.sub(lambda _: target, code)
        yield _unmasked(code, literals)


def read(path: str) -> str:
    with open(path, encoding="utf-8") as f:
        return f.read()


def load_dump(server, database: str, user: str, password: str, paths: Iterable[str]):
    """Load the dump files `paths` (in order) as `database` through the one loader.

    ``user`` may only read it; see quorvane_ask.sample_shop.load_database.
    """
    from quorvane_ask.sample_shop import load_database

    def script():
        for path in paths:
            yield from statements(read(path))

    return load_database(server, database, user, password, for_database(script(), database), {})


DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
# The public sample databases in data/, each with its dump files in load order.
DUMPS = {
    "sakila": ["sakila/sakila.sql"],
    "northwind": ["northwind/northwind-structure.sql", "northwind/northwind-data.sql"],
    "classicmodels": ["classicmodels/classicmodels.sql"],
}


def load_public(server, name: str):
    """Load one of the public sample databases of data/ as `name`, read-only for user `name`."""
    return load_dump(server, name, name, f"{name}-pw", [os.path.join(DATA, p) for p in DUMPS[name]])
