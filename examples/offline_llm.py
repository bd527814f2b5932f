"""A small offline language model for LangChain's SQL agent.

``OfflineSQLModel`` is a real LangChain ``LLM``: the agent formats its ReAct
prompt, calls the model with the stop sequence, and parses the reply with
its own output parser.  Instead of a neural network the model reads the
prompt the way the agent means it to be read:

1. it asks ``sql_db_list_tables`` for the tables;
2. it picks the table the question names (singular and plural forms, and
   multi-word names such as "order items" for ``order_items``) from the
   tables listed in that observation, and asks ``sql_db_schema`` for it;
3. it reads the column names and types from the CREATE TABLE in the schema
   observation and writes a query for the question: a count, a sum, an
   average, a maximum or minimum of a named column, or a list of a named
   column, each with at most one equality filter ("in London", "where
   status is shipped").  When an "in <value>" filter does not say which
   column holds the value, it first asks the database which text column
   does;
4. it reads the query result and writes the final answer from it.

Nothing in an answer comes from anywhere but the observations.  A question
it cannot map to one of those shapes, or a tool that reports an error, ends
the run with a final answer that says so.

The model is stateless: every call re-derives the plan from the question
and the scratchpad, so the same prompt always yields the same reply.
"""

from __future__ import annotations

import ast
import datetime
import decimal
import re
from dataclasses import dataclass
from typing import Any, Optional

from langchain_core.language_models.llms import LLM

__all__ = ["OfflineSQLModel", "CANNOT_ANSWER"]

CANNOT_ANSWER = "I can't answer that from the database with the offline model: "

LIST_TABLES = "sql_db_list_tables"
SCHEMA = "sql_db_schema"
QUERY = "sql_db_query"

# Each step of the scratchpad starts with the action lines of a reply of
# ours; the observation runs up to the "Thought:" that opens the next reply.
_STEP_RE = re.compile(
    r"^Action: *(?P<tool>[^\n]*)\nAction Input: *(?P<input>[^\n]*)\n+Observation: ?", re.M)
_QUESTION_RE = re.compile(r"(?:^|\n)Question: (?P<q>.*?)\nThought:", re.S)
_QUESTION_PLACEHOLDER = "the input question you must answer"
_TOOLS_RE = re.compile(r"should be one of \[(?P<names>[^\]]*)\]")
_TOP_K_RE = re.compile(r"at most (\d+) results")
_DIALECT_RE = re.compile(r"create a syntactically correct (\S+) query")
_CHECKER_RE = re.compile(r"^\s*(?P<query>.*?)\nDouble check the \S+ query above", re.S)

_WORD_RE = re.compile(r"[a-z0-9]+")
_PLAIN_IDENT_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_NUMBER_RE = re.compile(r"^-?\d+(?:\.\d+)?$")

_NUMERIC_TYPES = ("INT", "DECIMAL", "NUMERIC", "FLOAT", "DOUBLE", "REAL", "BIT")
_TEXT_TYPES = ("CHAR", "TEXT", "ENUM", "SET", "CLOB")
_ORDERED_TYPES = _NUMERIC_TYPES + ("DATE", "TIME", "YEAR")
_LOCATION_WORDS = {"city", "country", "state", "region", "location", "town", "county"}
_CONSTRAINT_WORDS = {"PRIMARY", "KEY", "UNIQUE", "CONSTRAINT", "FOREIGN", "INDEX", "CHECK",
                     "FULLTEXT", "SPATIAL"}
# Words that say where to look rather than what to filter on ("in the
# database").
_GENERIC_PLACE_WORDS = {"the", "our", "this", "my", "a", "database", "db", "table", "tables",
                        "shop", "store", "system", "total", "all", "it"}

# Aggregates in the order they are recognised: "total number of" is a count.
_AGGREGATES = (
    ("count", re.compile(r"\b(?:how many|number of|count)\b")),
    ("avg", re.compile(r"\b(?:average|mean|avg)\b")),
    ("sum", re.compile(r"\b(?:total|sum|combined)\b")),
    ("max", re.compile(r"\b(?:highest|maximum|max|largest|biggest|greatest|latest|newest|"
                       r"most recent)\b")),
    ("min", re.compile(r"\b(?:lowest|minimum|min|smallest|earliest|oldest)\b")),
    ("list", re.compile(r"^(?:please )?(?:list|show|display|give|get|find|tell|"
                        r"what (?:are|is)|which)\b|\bnames of\b")),
)
_AGGREGATE_WORDS = {"count": "number", "avg": "average", "sum": "total", "max": "highest",
                    "min": "lowest"}
_SQL_FUNCTIONS = {"avg": "AVG", "sum": "SUM", "max": "MAX", "min": "MIN"}


def singular(word: str) -> str:
    """The singular of an English noun, as far as table names need it."""
    if len(word) > 3 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 3 and word.endswith(("ses", "xes", "zes", "ches", "shes")):
        return word[:-2]
    if len(word) > 2 and word.endswith("s") and not word.endswith("ss"):
        return word[:-1]
    return word


# Words that carry no condition: a question may hold these, the words of
# its shape, its table, its columns and its filter, and nothing else.  Any
# other word ("more than", "by", "placed") means a condition the model
# cannot express, and the question is declined rather than answered wrongly.
_FILLER_WORDS = {singular(w) for w in """
    how many number of count average mean avg total sum combined highest maximum max
    largest biggest greatest latest newest most recent lowest minimum min smallest earliest
    oldest list show display give get find tell what are is which distinct different unique
    the a an all any every there here we us i you me my our your it its please can
    could would will do does did have has had be been being in for from on at to with
    database db table tables shop store system currently now overall altogether live lives
    located based registered recorded stored exist exists value values
    """.split()}


def _words(text: str) -> list[str]:
    return [singular(w) for w in _WORD_RE.findall(text.lower())]


def _name_words(identifier: str) -> list[str]:
    return _words(identifier.replace("_", " "))


def _find_phrase(words: list[str], phrase: list[str]) -> int:
    """Index of the first run of `phrase` in `words`, or -1."""
    n = len(phrase)
    for i in range(len(words) - n + 1):
        if words[i:i + n] == phrase:
            return i
    return -1


def enforce_stop(text: str, stop: Optional[list[str]]) -> str:
    """Cut `text` at the first stop sequence, as a served model would."""
    for s in stop or ():
        i = text.find(s)
        if i != -1:
            text = text[:i]
    return text


# ---------------------------------------------------------------------------
# Reading the observations


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


@dataclass
class Column:
    name: str
    type: str

    @property
    def numeric(self) -> bool:
        return any(t in self.type for t in _NUMERIC_TYPES)

    @property
    def text(self) -> bool:
        return any(t in self.type for t in _TEXT_TYPES)

    @property
    def ordered(self) -> bool:
        return any(t in self.type for t in _ORDERED_TYPES)


def read_columns(schema: str, table: str) -> list[Column]:
    """The columns of `table` from the CREATE TABLE statement in `schema`."""
    start = re.search(r"CREATE TABLE [`\"]?" + re.escape(table) + r"[`\"]? \(\n", schema)
    if not start:
        return []
    columns = []
    for line in schema[start.end():].splitlines():
        line = line.strip()
        if not line or line.startswith(")"):
            break
        m = re.match(r"(?:`(?P<q>(?:[^`]|``)+)`|\"(?P<d>[^\"]+)\"|(?P<p>\S+))\s+(?P<type>\S+)",
                     line)
        if not m:
            continue
        name = m["q"].replace("``", "`") if m["q"] else (m["d"] or m["p"])
        if not (m["q"] or m["d"]) and name.upper() in _CONSTRAINT_WORDS:
            continue
        columns.append(Column(name, m["type"].rstrip(",").upper()))
    return columns


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


def _show(value: Any) -> str:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode(errors="replace")
    return str(value)


# ---------------------------------------------------------------------------
# Reading the question


class Unmappable(Exception):
    """The question, or what the tools said, cannot be turned into an answer."""


@dataclass
class Filter:
    column_phrase: Optional[str]  # None: the column must be found from the value
    value: str
    after: list[str]  # the words that follow the value


@dataclass
class Question:
    text: str
    kind: Optional[str]  # None: no shape the model knows
    words: list[str]  # the question outside its filter clause
    filter: Optional[Filter]
    distinct: bool


def _split_value(text: str) -> tuple[str, str]:
    """A filter value and the rest of the sentence after it.

    A quoted value is taken whole, a capitalised or numeric one as the run
    of such words ("New York are there"), anything else as one word.
    """
    text = text.strip()
    if text[:1] in ("'", '"'):
        end = text.find(text[0], 1)
        if end != -1:
            return text[1:end], text[end + 1:]
    words = text.split()
    if not words:
        return "", ""
    taken = 1
    if words[0][:1].isupper() or words[0][:1].isdigit():
        while taken < len(words) and (words[taken][:1].isupper() or words[taken][:1].isdigit()):
            taken += 1
    return " ".join(words[:taken]).rstrip(",;"), " ".join(words[taken:])


_WHERE_RE = re.compile(r"\b(?:where|whose|with)\s+(?:the\s+)?"
                       r"(?P<col>[A-Za-z_]\w*(?:\s+[A-Za-z_]\w*)?)"
                       r"\s+(?:is|=|equals|of)\s+(?P<val>\S.*)$", re.I)
_WITH_RE = re.compile(r"\bwith\s+(?:the\s+)?(?P<col>[A-Za-z_]\w*)\s+(?P<val>\S.*)$", re.I)
_IN_RE = re.compile(r"\b(?:in|from)\s+(?:the\s+)?(?=\S)", re.I)


def read_question(text: str) -> Question:
    body = text.strip().rstrip("?.!").strip()
    flt, rest = None, body
    m = _WHERE_RE.search(body) or _WITH_RE.search(body)
    if m:
        value, after = _split_value(m["val"])
        flt = Filter(m["col"], value, _words(after))
        rest = body[:m.start()] + " " + after
    else:
        for m in _IN_RE.finditer(body):
            value, after = _split_value(body[m.end():])
            if value and not set(_WORD_RE.findall(value.lower())) <= _GENERIC_PLACE_WORDS:
                flt = Filter(None, value, _words(after))
                rest = body[:m.start()] + " " + after
                break
    if flt is not None and not flt.value:
        raise Unmappable("the filter in the question has no value")
    lowered = rest.lower().strip()
    kind = next((kind for kind, pattern in _AGGREGATES if pattern.search(lowered)), None)
    # "Which cities ..." asks for the cities there are, each once.
    distinct = bool(re.search(r"\b(?:distinct|different|unique)\b", lowered)
                    or (kind == "list" and re.match(r"which\b", lowered)))
    return Question(text, kind, _words(rest), flt, distinct)


def choose_table(question: Question, tables: list[str]) -> str:
    """The table the question names; longer names win, then earlier ones.

    The part of the question outside its filter is searched first, so that
    "orders in London" picks orders even when a filter value names a table.
    """
    for words in (question.words, _words(question.text)):
        best = None
        for table in tables:
            phrase = _name_words(table)
            at = _find_phrase(words, phrase) if phrase else -1
            if at != -1 and (best is None or (-len(phrase), at) < best[0]):
                best = ((-len(phrase), at), table)
        if best is not None:
            return best[1]
    raise Unmappable("no table in the database matches the question (tables: "
                     + ", ".join(tables) + ")")


def match_columns(words: list[str], columns: list[Column]) -> list[Column]:
    """Columns the words name: whole names first, else names that contain one."""
    whole = [(at, c) for c in columns
             if (at := _find_phrase(words, _name_words(c.name))) != -1]
    if whole:
        return [c for _, c in sorted(whole, key=lambda p: p[0])]
    return [c for c in columns if set(_name_words(c.name)) & set(words)
            and not set(_name_words(c.name)) <= {"id"}]


# ---------------------------------------------------------------------------
# Writing SQL


@dataclass
class Plan:
    question: Question
    table: str
    columns: list[Column]
    target: list[Column]
    filter_column: Optional[Column]
    quote_char: str
    top_k: int
    backslash_escapes: bool  # MySQL reads \ in a string literal as an escape

    def ident(self, name: str) -> str:
        if _PLAIN_IDENT_RE.match(name):
            return name
        q = self.quote_char
        return q + name.replace(q, q + q) + q

    def literal(self, value: str, column: Optional[Column]) -> str:
        if column is not None and column.numeric and _NUMBER_RE.match(value):
            return value
        if self.backslash_escapes:
            value = value.replace("\\", "\\\\")
        return "'" + value.replace("'", "''") + "'"

    def probe_sql(self) -> str:
        """Which text column holds the filter value, and how often."""
        parts = [f"SELECT {self.literal(c.name, None)} AS column_name, COUNT(*) AS matches "
                 f"FROM {self.ident(self.table)} WHERE {self.ident(c.name)} = "
                 f"{self.literal(self.question.filter.value, c)}"
                 for c in self.columns if c.text]
        return " UNION ALL ".join(parts)

    def where(self) -> str:
        if self.filter_column is None:
            return ""
        value = self.question.filter.value
        return (f" WHERE {self.ident(self.filter_column.name)} = "
                f"{self.literal(value, self.filter_column)}")

    def sql(self) -> str:
        q = self.question
        table = self.ident(self.table)
        if q.kind == "count":
            what = "*"
            if q.distinct and self.target:
                what = "DISTINCT " + self.ident(self.target[0].name)
            return f"SELECT COUNT({what}) FROM {table}{self.where()}"
        if q.kind in _SQL_FUNCTIONS:
            col = self.ident(self.target[0].name)
            return f"SELECT {_SQL_FUNCTIONS[q.kind]}({col}) FROM {table}{self.where()}"
        cols = ", ".join(self.ident(c.name) for c in self.target)
        distinct = "DISTINCT " if q.distinct else ""
        return (f"SELECT {distinct}{cols} FROM {table}{self.where()} "
                f"ORDER BY {cols} LIMIT {self.top_k}")

    def condition(self) -> str:
        if self.filter_column is None:
            return ""
        return f" where {self.filter_column.name} is {self.question.filter.value}"

    def answer(self, rows: list[tuple]) -> str:
        q = self.question
        label = self.table.replace("_", " ")
        if q.kind == "count":
            n = rows[0][0] if rows and rows[0] else 0
            if q.distinct and self.target:
                return (f"There {'is' if n == 1 else 'are'} {n} distinct "
                        f"{self.target[0].name} value{'' if n == 1 else 's'} among "
                        f"{label}{self.condition()}.")
            noun = " ".join(singular(w) for w in label.split()) if n == 1 else label
            return f"There {'is' if n == 1 else 'are'} {n} {noun}{self.condition()}."
        if q.kind in _SQL_FUNCTIONS:
            word = _AGGREGATE_WORDS[q.kind]
            if q.kind in ("max", "min") and not self.target[0].numeric:
                word = "latest" if q.kind == "max" else "earliest"
            what = f"{word} {self.target[0].name}"
            value = rows[0][0] if rows and rows[0] else None
            if value is None:
                return (f"There is no {what} of {label}{self.condition()}: "
                        "the query returned NULL, so no row has a value.")
            return f"The {what} of {label}{self.condition()} is {_show(value)}."
        if not rows:
            return f"There are no {label}{self.condition()}."
        names = ", ".join(c.name for c in self.target)
        items = "; ".join(" ".join(_show(v) for v in row) for row in rows)
        capped = f" (first {len(rows)} rows)" if len(rows) >= self.top_k else ""
        return f"The {names} of {label}{self.condition()}{capped}: {items}."


def make_plan(question: Question, table: str, columns: list[Column], prompt: str) -> Plan:
    if not columns:
        raise Unmappable(f"the schema of {table} shows no columns")
    target = match_columns([w for w in question.words if w not in _name_words(table)], columns)
    if question.kind in ("sum", "avg"):
        target = [c for c in target if c.numeric]
    elif question.kind in ("max", "min"):
        target = [c for c in target if c.ordered]
    if question.kind in _SQL_FUNCTIONS and not target:
        kind = "numeric" if question.kind in ("sum", "avg") else "numeric or date"
        raise Unmappable(f"the question names no {kind} column of {table} to take the "
                         f"{_AGGREGATE_WORDS[question.kind]} of (columns: "
                         + ", ".join(c.name for c in columns) + ")")
    if question.kind == "list" and not target:
        target = [c for c in columns if "name" in _name_words(c.name) or c.name == "title"]
        if not target:
            raise Unmappable(f"the question names no column of {table} to list (columns: "
                             + ", ".join(c.name for c in columns) + ")")
    if question.kind in _SQL_FUNCTIONS:
        target = target[:1]
    filter_column = None
    flt = question.filter
    if flt is not None and flt.column_phrase is None and flt.after:
        # "in the Books category": the word after the value names the column.
        if any(_name_words(c.name) == [flt.after[0]] for c in columns):
            flt.column_phrase = flt.after[0]
    if question.filter is not None and question.filter.column_phrase is not None:
        named = match_columns(_words(question.filter.column_phrase), columns)
        if not named:
            raise Unmappable(f"{table} has no column called {question.filter.column_phrase!r}")
        filter_column = named[0]
    elif question.filter is not None and not any(c.text for c in columns):
        raise Unmappable(f"{table} has no text column that could hold "
                         f"{question.filter.value!r}")
    used = set(_name_words(table)) | {w for c in target for w in _name_words(c.name)}
    if filter_column is not None:
        used |= set(_name_words(filter_column.name))
    unknown = [w for w in question.words if w not in used and w not in _FILLER_WORDS]
    if unknown:
        raise Unmappable("the question says more than a single-table count, total, average, "
                         "highest, lowest or list with one equality filter can express "
                         f"(not understood: {', '.join(dict.fromkeys(unknown))})")
    m = _TOP_K_RE.search(prompt)
    found = _DIALECT_RE.search(prompt)
    dialect = found[1].lower() if found else "mysql"
    quote = "`" if dialect in ("mysql", "mariadb", "sqlite") else '"'
    return Plan(question, table, columns, target, filter_column, quote, int(m[1]) if m else 10,
                dialect in ("mysql", "mariadb"))


def resolve_filter(plan: Plan, observation: str) -> None:
    """Pick the filter column from the probe's per-column match counts."""
    hits = {str(name): int(n) for name, n in read_rows(observation)}
    by_name = {c.name: c for c in plan.columns}
    found = [name for name, n in hits.items() if n > 0 and name in by_name]
    if found:
        plan.filter_column = by_name[max(found, key=lambda name: hits[name])]
        return
    places = [c for c in plan.columns if c.text and set(_name_words(c.name)) & _LOCATION_WORDS]
    if places:
        plan.filter_column = places[0]
        return
    raise Unmappable(f"no column of {plan.table} holds the value {plan.question.filter.value!r}")


# ---------------------------------------------------------------------------
# The model


# A reply ends with a newline after its action input, and a later reply
# starts with one: the agent's verbose log prints replies and observations
# back to back, and this keeps each on lines of its own.  The tools strip
# the whitespace from their input.
def _action(thought: str, tool: str, tool_input: str = "") -> str:
    return f"{thought}\nAction: {tool}\nAction Input: {tool_input}\n"


def _final(text: str) -> str:
    return f"I now know the final answer\nFinal Answer: {text}"


def _tool_error(observation: str) -> Optional[str]:
    if observation.startswith("Error") or "is not a valid tool" in observation:
        return observation.splitlines()[0] if observation else observation
    return None


class OfflineSQLModel(LLM):
    """Answers simple questions about a SQL database through the SQL tools."""

    @property
    def _llm_type(self) -> str:
        return "quorvane-offline-sql"

    @property
    def _identifying_params(self) -> dict[str, Any]:
        return {"model_name": "quorvane-offline-sql"}

    def _call(self, prompt: str, stop: Optional[list[str]] = None, run_manager: Any = None,
              **kwargs: Any) -> str:
        return enforce_stop(self.respond(prompt), stop)

    def respond(self, prompt: str) -> str:
        checked = _CHECKER_RE.match(prompt)
        if checked and prompt.rstrip().endswith("SQL Query:"):
            # The query checker tool asks us to look over our own query: it
            # was written against the schema just read, so it stands as is.
            return checked["query"].strip()
        question, scratchpad = self._split(prompt)
        if question is None:
            return _final(CANNOT_ANSWER + "the prompt holds no question")
        steps = read_steps(scratchpad)
        lead = "\n" if steps else ""
        try:
            return lead + self._next(question, steps, prompt)
        except Unmappable as why:
            return lead + _final(CANNOT_ANSWER + str(why))

    @staticmethod
    def _split(prompt: str) -> tuple[Optional[str], str]:
        begin = prompt.find("Begin!")
        for m in _QUESTION_RE.finditer(prompt, max(begin, 0)):
            if m["q"].strip() != _QUESTION_PLACEHOLDER:
                return m["q"].strip(), prompt[m.end():]
        return None, ""

    def _next(self, text: str, steps: list[Step], prompt: str) -> str:
        tools = _TOOLS_RE.search(prompt)
        available = {t.strip() for t in tools["names"].split(",")} if tools else set()
        missing = {LIST_TABLES, SCHEMA, QUERY} - available
        if missing:
            raise Unmappable("the agent offers no " + ", ".join(sorted(missing)) + " tool")
        done = {(s.tool, s.tool_input): s.observation for s in steps}

        listed = done.get((LIST_TABLES, ""))
        if listed is None:
            return _action("I should list the tables first.", LIST_TABLES)
        if error := _tool_error(listed):
            return _final(f"Listing the tables failed, so I can't answer: {error}")
        tables = [t.strip() for t in listed.split(",") if t.strip()]
        if not tables:
            raise Unmappable("the database has no tables")

        question = read_question(text)
        table = choose_table(question, tables)
        if question.kind is None:
            raise Unmappable("the question is not a count, total, average, highest, lowest "
                             "or list question")
        schema = done.get((SCHEMA, table))
        if schema is None:
            return _action(f"The {table} table looks relevant; I should read its schema.",
                           SCHEMA, table)
        if error := _tool_error(schema):
            return _final(f"Reading the schema of {table} failed, so I can't answer: {error}")

        plan = make_plan(question, table, read_columns(schema, table), prompt)
        if question.filter is not None and plan.filter_column is None:
            probe = plan.probe_sql()
            result = done.get((QUERY, probe))
            if result is None:
                return _action(f"I should find which column of {table} holds "
                               f"{question.filter.value!r}.", QUERY, probe)
            if error := _tool_error(result):
                return _final(f"The query failed, so I can't answer: {error}")
            try:
                resolve_filter(plan, result)
            except (ValueError, SyntaxError, TypeError) as e:
                raise Unmappable(f"the column search returned {result!r}") from e

        sql = plan.sql()
        result = done.get((QUERY, sql))
        if result is None:
            return _action("I can write the query now.", QUERY, sql)
        if error := _tool_error(result):
            return _final(f"The query failed, so I can't answer: {error}")
        try:
            rows = read_rows(result)
        except (ValueError, SyntaxError, TypeError):
            return _final(f"The query {sql} returned: {result}")
        return _final(plan.answer(rows))
