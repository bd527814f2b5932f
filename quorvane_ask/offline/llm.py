"""The LangChain ``LLM`` adapter: it reads the agent's ReAct prompt and
scratchpad, and each call returns the next step: list the tables, read
their schema, look the question's values up, run the planned query, or
give the final answer (or the decline, with its reason).

The model is stateless: every call re-derives the plan from the question
and the scratchpad, so the same prompt always yields the same reply (the
schema read from a text is kept for the next call, which changes no reply).
"""

from __future__ import annotations

import difflib
import functools
import re
from typing import Any, Callable, Optional

from langchain_core.language_models.llms import LLM

from .decline import CANNOT_ANSWER, Unmappable
from .observations import Step, read_rows, read_schema, read_steps
from .planner import Planner
from .reader import Reader
from .schema import Schema
from .sql import probe_sql


LIST_TABLES = "sql_db_list_tables"
SCHEMA = "sql_db_schema"
QUERY = "sql_db_query"

_QUESTION_RE = re.compile(r"(?:^|\n)Question: (?P<q>.*?)\nThought:", re.S)
_QUESTION_PLACEHOLDER = "the input question you must answer"
_TOOLS_RE = re.compile(r"should be one of \[(?P<names>[^\]]*)\]")
_DIALECT_RE = re.compile(r"create a syntactically correct (\S+) query")
_CHECKER_RE = re.compile(r"^\s*(?P<query>.*?)\nDouble check the \S+ query above", re.S)


def enforce_stop(text: str, stop: Optional[list[str]]) -> str:
    """Cut `text` at the first stop sequence, as a served model would."""
    for s in stop or ():
        i = text.find(s)
        if i != -1:
            text = text[:i]
    return text


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


@functools.lru_cache(maxsize=8)
def _schema(observed: str, dialect: str) -> Schema:
    """The schema of a schema tool's text, read once per distinct text: every
    step of a run, and every question asked of one database, sees the same
    text.  Nothing downstream changes the tables it holds."""
    return Schema(read_schema(observed), "`" if dialect in ("mysql", "mariadb", "sqlite") else '"',
                  dialect in ("mysql", "mariadb"))


@functools.lru_cache(maxsize=32)
def _probes(schema: Schema, text: str) -> tuple[str, ...]:
    """The words of a question to look up in the data.  The first reading
    depends on the schema and the question alone, so the step that asks for
    the lookup and the step that reads its result share it: a long question
    is read twice per answer, not three times."""
    return tuple(Reader(schema, text).read({}).probes)


def _spelled_like(word: str, schema: Schema) -> Optional[str]:
    """The one name or declared value of the schema that `word` looks like a
    slip of ("custmer" for customer), or None.  Only ever a suggestion: the
    question is still declined, since a near spelling is no proof."""
    names: dict[str, str] = {}
    for table in schema.tables.values():
        for name in [table.name] + [c.name for c in table.columns]:
            names.setdefault(name.lower(), name)
        for c in table.columns:
            for value in c.values:
                names.setdefault(value.lower(), value)
    close = difflib.get_close_matches(word.lower(), list(names), n=2, cutoff=0.8)
    # Two as close are no suggestion: naming one would be a guess.
    if len(close) == 1 and close[0] != word.lower():
        return names[close[0]]
    return None


def unknown_words(words: list[str], schema: Schema, reads: Callable[[str], bool] = lambda q: True,
                  question: str = "") -> str:
    """Why the question is declined when words of it are tied to nothing:
    the words, said in the right number, and a spelling to try where one
    name of the schema is that close and the question, so spelled, `reads`
    with every word tied."""
    quoted = ", ".join(repr(w) for w in words)
    several = len(words) > 1
    text = (f"I don't know what {quoted} {'refer' if several else 'refers'} to: "
            f"{'they are' if several else 'it is'} no table, column or value in the database "
            "(tables: " + ", ".join(sorted(schema.tables)) + ")")
    hints = []
    for w in words:
        s = _spelled_like(w, schema)
        if s and reads(re.sub(r"\b" + re.escape(w) + r"\b", s, question)):
            hints.append(f"{s!r} for {w!r}")
    if hints:
        text += "; did you mean " + ", ".join(hints) + "?"
    return text


class OfflineSQLModel(LLM):
    """Answers everyday questions about a SQL database through the SQL tools."""

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
        except (LookupError, AttributeError, TypeError, ValueError, ArithmeticError) as e:
            # A shape of schema or question the reader did not foresee: say
            # so rather than end the agent's run with a traceback.
            return lead + _final(CANNOT_ANSWER + "the question or the schema has a shape the "
                                 f"offline model does not handle ({type(e).__name__})")

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
            raise Unmappable(f"listing the tables failed: {error}")
        names = [t.strip() for t in listed.split(",") if t.strip()]
        if not names:
            raise Unmappable("the database has no tables")
        wanted = ", ".join(names)
        observed = done.get((SCHEMA, wanted))
        if observed is None:
            return _action("I should read the schema of every table.", SCHEMA, wanted)
        if error := _tool_error(observed):
            raise Unmappable(f"reading the schema failed: {error}")
        found = _DIALECT_RE.search(prompt)
        dialect = found[1].lower() if found else "mysql"
        schema = _schema(observed, dialect)
        if not schema.tables:
            raise Unmappable("the schema shows no CREATE TABLE statements")

        # First pass: which words must be looked up in the data.
        probes = _probes(schema, text)
        hits: dict[str, list] = {}
        if probes:
            sql = probe_sql(schema, list(probes))
            result = done.get((QUERY, sql)) if sql else ""
            if result is None:
                return _action("I should find which columns hold "
                               + ", ".join(repr(p) for p in probes) + ".", QUERY, sql)
            if error := _tool_error(result):
                raise Unmappable(f"looking up the values failed: {error}")
            try:
                for v, t, c in read_rows(result):
                    hits.setdefault(str(v).lower(), []).append((t, c))
            except (ValueError, SyntaxError, TypeError) as e:
                raise Unmappable(f"the value lookup returned {result!r}") from e
        parse = Reader(schema, text).read(hits)
        if parse.unknown:
            raise Unmappable(unknown_words(parse.unknown, schema, lambda rephrased: not Reader(
                schema, rephrased).read(hits).unknown, text))
        plan = Planner(schema, parse, text).plan()
        plan.sql = plan.sql.strip()
        result = done.get((QUERY, plan.sql))
        if result is None:
            return _action("I can write the query now.", QUERY, plan.sql)
        if error := _tool_error(result):
            raise Unmappable(f"the query failed: {error}")
        try:
            rows = read_rows(result)
        except (ValueError, SyntaxError, TypeError):
            raise Unmappable(f"the query returned what I cannot read: {result[:200]}")
        return _final(plan.answer(rows))
