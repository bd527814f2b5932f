"""A small offline language model for LangChain's SQL agent.

``OfflineSQLModel`` is a real LangChain ``LLM``: the agent formats its ReAct
prompt, calls the model with the stop sequence, and parses the reply with
its own output parser.  Instead of a neural network the model reads the
prompt the way the agent means it to be read:

1. it asks ``sql_db_list_tables`` for the tables, then ``sql_db_schema`` for
   all of them at once, and reads columns, keys and foreign keys from the
   CREATE TABLE statements;
2. it reads the question word by word.  Every word must be tied to
   something: a table, a column (also through a small lexicon of everyday
   English, "cost" for a price, "live" for a city), a word of the question's
   shape ("how many", "per", "more than", "in March 2024"), or a value that
   the database holds.  Words of neither kind are looked up in every text
   column with one query;
3. from the parse it writes one query: a count, a sum, an average, an
   extreme, a list, or the same per group, joined along the foreign keys;
4. it reads the query result and writes an answer that restates what it
   computed.

A word, a value or a condition it cannot tie to the schema or the data ends
the run with a final answer that starts with ``CANNOT_ANSWER`` and says
which: the model declines rather than answer a different question.

The model is stateless: every call re-derives the plan from the question
and the scratchpad, so the same prompt always yields the same reply.
"""

from __future__ import annotations

import ast
import datetime
import decimal
import re
from collections import deque
from dataclasses import dataclass, field
from typing import Any, Optional

from langchain_core.language_models.llms import LLM

__all__ = ["OfflineSQLModel", "CANNOT_ANSWER"]

CANNOT_ANSWER = "I can't answer that from the database with the offline model: "

LIST_TABLES = "sql_db_list_tables"
SCHEMA = "sql_db_schema"
QUERY = "sql_db_query"

# Lists longer than this are answered with their length and their first items;
# a count or sum per group is given whole up to a larger number of groups.
LIST_CAP = 20
GROUP_CAP = 100

# Each step of the scratchpad starts with the action lines of a reply of
# ours; the observation runs up to the "Thought:" that opens the next reply.
_STEP_RE = re.compile(
    r"^Action: *(?P<tool>[^\n]*)\nAction Input: *(?P<input>[^\n]*)\n+Observation: ?", re.M)
_QUESTION_RE = re.compile(r"(?:^|\n)Question: (?P<q>.*?)\nThought:", re.S)
_QUESTION_PLACEHOLDER = "the input question you must answer"
_TOOLS_RE = re.compile(r"should be one of \[(?P<names>[^\]]*)\]")
_DIALECT_RE = re.compile(r"create a syntactically correct (\S+) query")
_CHECKER_RE = re.compile(r"^\s*(?P<query>.*?)\nDouble check the \S+ query above", re.S)

_PLAIN_IDENT_RE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")

_NUMERIC_TYPES = ("INT", "DECIMAL", "NUMERIC", "FLOAT", "DOUBLE", "REAL")
_TEXT_TYPES = ("CHAR", "TEXT", "ENUM", "SET")
_DATE_TYPES = ("DATE", "TIMESTAMP")


class Unmappable(Exception):
    """The question, or what the tools said, cannot be turned into an answer."""


# ---------------------------------------------------------------------------
# Words


def singular(word: str) -> str:
    """The singular of an English noun, as far as names need it."""
    if len(word) > 3 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 4 and (word.endswith(("sses", "xes", "zes", "ches", "shes")) or (
            word.endswith("uses") and word[-5] not in "aeiou")):
        return word[:-2]  # classes, boxes, statuses; but courses, houses, cases
    if len(word) > 4 and word.endswith("ses"):
        return word[:-1]
    if len(word) > 2 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


_IRREGULAR = {"went": "go", "gone": "go", "left": "leave", "sent": "send", "drove": "drive",
              "driven": "drive", "taught": "teach", "came": "come", "brought": "bring", "bought": "buy", "sold": "sell", "spent": "spend", "people": "person",
              "children": "child", "paid": "pay", "written": "write", "wrote": "write",
              "took": "take", "taken": "take", "made": "make", "men": "man", "women": "woman"}


def forms(word: str) -> set[str]:
    """The word and the stems it may stand for ("ordered" -> "order")."""
    w = re.sub(r"['’]s?$", "", word.lower())
    out = {w, singular(w)}
    if w in _IRREGULAR:
        out.add(_IRREGULAR[w])
    if w.endswith("ied"):
        out.add(w[:-3] + "y")
    elif w.endswith("ed") and len(w) > 4:
        out |= {w[:-2], w[:-1]}
        if w[-3] == w[-4]:
            out.add(w[:-3])
    elif w.endswith("ing") and len(w) > 5:
        out |= {w[:-3], w[:-3] + "e"}
        if w[-4] == w[-5]:
            out.add(w[:-4])
    return out


_NUMBER_WORDS = {w: i for i, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve".split())}
_MONTHS = {m: i + 1 for i, m in enumerate(
    "january february march april may june july august september october november "
    "december".split())}
_MONTHS.update({m[:3]: n for m, n in list(_MONTHS.items())})
_MONTHS.pop("may")  # "may" is far more often the verb; "May 2024" is handled below
_MONTHS["sept"] = 9

# Words that carry no condition of their own: the question's grammar.
_FUNCTION_WORDS = set("""
    the a an of in on at to for from with is are was were be been being do does did have has
    had there here that this these those which who whom whose what how me us i we you our
    my your their its it they them please can could would will shall should tell show list
    give find display get all every any some currently ever so far overall altogether as
    database db table tables record records row rows entry entries data shop store system
    exist exists existing registered recorded stored listed known and one ones kind kinds
    type types much many number count name names value values whole entire whose where when
    had got let see know want need like about across within into out up each
    still already yet just also actually really anything something anyone anybody
    """.split())
# Verbs that only restate how two tables are related ("orders a customer
# placed", "books written by an author"): dropped once the tables are known.
_RELATION_VERBS = {"place", "make", "buy", "purchase", "sell", "borrow", "lend", "write",
                   "take", "rent", "hold", "have", "has", "contain", "include",
                   "belong", "get", "receive", "own", "come", "bring", "work", "charge",
                   "bill", "generate", "go", "see", "treat", "attend", "visit", "prescribe",
                   "issue", "serve", "handle", "do", "cover", "appear", "feature", "use",
                   "involve", "mention", "teach", "log", "record", "study", "take", "employ",
                   "ship", "go", "leave", "send", "carry", "drive", "pay", "deliver",
                   "transport", "move", "travel", "arrive", "hire"}

# Everyday words for kinds of columns.  Each maps to words that a column
# name may contain; the first column found wins within the chosen table.
_COLUMN_SYNONYMS = {
    "cost": ("price", "cost"), "costs": ("price", "cost"), "priced": ("price",),
    "expensive": ("price", "cost"), "cheap": ("price", "cost"), "cheapest": ("price", "cost"),
    "cheaper": ("price", "cost"), "pricey": ("price",), "priciest": ("price",),
    "costly": ("price", "cost"),
    "live": ("city", "country", "town", "address", "location", "region", "state"),
    "located": ("city", "country", "town", "address", "location", "region", "state"),
    "based": ("city", "country", "town", "address", "location", "region", "state"),
    "where": ("city", "country", "town", "address", "location", "region", "state"),
    "born": ("birth", "born"), "old": ("birth", "age"),
    "weigh": ("weight",), "weighs": ("weight",), "weighing": ("weight",),
    "heavy": ("weight",), "heavier": ("weight",), "light": ("weight",),
    "long": ("page", "length", "duration", "minute"), "length": ("length", "page"),
    "called": ("name", "title"), "named": ("name", "title"), "titled": ("title", "name"),
    "earn": ("salary", "wage", "pay"), "earns": ("salary", "wage", "pay"),
    "joined": ("join", "signup", "member", "registration"),
    "signed": ("signup", "sign", "registration"), "signup": ("signup",),
    "registered": ("registration", "signup", "register"),
}
_LOCATION_WORDS = set(_COLUMN_SYNONYMS["live"])
_LABEL_WORDS = ("name", "title", "label")
_QUANTITY_WORDS = {"quantity", "qty", "unit", "units", "count", "number", "weight", "volume",
                   "hour", "hours"}
_PRICE_WORDS = {"price", "cost", "rate", "fee"}
# Units written after a number or at the end of a column name ("weight_kg").
_UNIT_WORDS = {"kg", "kgs", "kilogram", "kilograms", "g", "gram", "grams", "km", "mile",
               "miles", "ton", "tons", "tonne", "tonnes", "lb", "lbs", "cm", "m", "eur", "usd",
               "gbp", "euro", "euros", "dollar", "dollars", "pound", "pounds", "cent", "cents"}
_MONEY_WORDS = {"charge", "charges", "revenue", "sale", "sales", "turnover", "income", "spend", "spending",
                "spent", "earning", "earnings", "money", "takings"}
_MONEY_COLUMN_WORDS = {"total", "amount", "revenue", "value", "sum", "paid", "payment"}
_SIZE_WORDS = {"value", "size", "total", "worth"}

_MAX_WORDS = {"highest", "largest", "biggest", "greatest", "most", "max", "maximum", "top",
              "best", "longest", "heaviest", "priciest", "newest", "latest", "youngest"}
_MIN_WORDS = {"lowest", "smallest", "least", "fewest", "min", "minimum", "bottom",
              "shortest", "lightest", "cheapest", "earliest", "oldest"}
# Superlatives that name their own kind of column.
_SUPERLATIVE_COLUMNS = {"cheapest": ("price", "cost"), "priciest": ("price", "cost"),
                        "heaviest": ("weight",), "lightest": ("weight",),
                        "newest": "date", "latest": "date", "earliest": "date",
                        "oldest": "date", "youngest": "birth", "longest": ("page", "length"),
                        "shortest": ("page", "length")}

_COMPARATORS = [
    (("more", "than"), ">"), (("greater", "than"), ">"), (("higher", "than"), ">"),
    (("larger", "than"), ">"), (("bigger", "than"), ">"), (("over",), ">"), (("above",), ">"),
    (("exceeding",), ">"), (("at", "least"), ">="), (("no", "less", "than"), ">="),
    (("minimum", "of"), ">="), (("less", "than"), "<"), (("fewer", "than"), "<"),
    (("lower", "than"), "<"), (("smaller", "than"), "<"), (("under",), "<"), (("below",), "<"),
    (("at", "most"), "<="), (("no", "more", "than"), "<="), (("up", "to"), "<="),
    (("exactly",), "="), (("equal", "to"), "="),
    (("cheaper", "than"), "<"), (("more", "expensive", "than"), ">"),
]


_OR_MORE = {"more": ">=", "above": ">=", "over": ">=", "higher": ">=", "greater": ">=",
            "less": "<=", "fewer": "<=", "under": "<=", "below": "<=", "lower": "<="}


@dataclass
class Tok:
    text: str
    low: str
    forms: set
    quoted: bool = False
    number: Optional[decimal.Decimal] = None
    used: Optional[str] = None

    @property
    def cap(self) -> bool:
        return self.text[:1].isupper() or self.quoted


_TOKEN_RE = re.compile(
    r"\"(?P<dq>[^\"]+)\"|“(?P<cq>[^”]+)”|(?<!\w)'(?P<sq>[^']+)'(?!\w)"
    r"|(?P<date>\d{4}-\d{2}-\d{2})"
    r"|(?P<num>[$€£]?\d[\d,]*(?:\.\d+)?)"
    r"|(?P<word>[^\W\d_][\w'’\-.&]*[\w]|[^\W\d_])")


def tokenize(text: str) -> list[Tok]:
    toks = []
    for m in _TOKEN_RE.finditer(text):
        q = m["dq"] or m["cq"] or m["sq"]
        if q:
            toks.append(Tok(q, q.lower(), {q.lower()}, quoted=True))
        elif m["date"]:
            toks.append(Tok(m["date"], m["date"], {m["date"]}))
        elif m["num"]:
            raw = m["num"].lstrip("$€£").replace(",", "")
            toks.append(Tok(m["num"], raw, {raw}, number=decimal.Decimal(raw)))
        else:
            word = m["word"].rstrip(".")
            t = Tok(word, word.lower(), forms(word))
            if t.low in _NUMBER_WORDS:
                t.number = decimal.Decimal(_NUMBER_WORDS[t.low])
            toks.append(t)
    return toks


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


def _name_words(identifier: str) -> list[str]:
    return [singular(w) for w in re.findall(r"[a-z0-9]+", identifier.lower()
                                            .replace("_", " "))]


@dataclass
class Column:
    table: str
    name: str
    type: str

    @property
    def words(self) -> list[str]:
        return _name_words(self.name)

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

    def column(self, name: str) -> Column:
        return next(c for c in self.columns if c.name == name)

    @property
    def words(self) -> list[str]:
        return _name_words(self.name)

    @property
    def fk_columns(self) -> set[str]:
        return {c for c, _, _ in self.fks}

    @property
    def label(self) -> Optional[Column]:
        """The column that names a row: a name or title, else the key."""
        for c in self.columns:
            if c.text and any(w in c.words for w in _LABEL_WORDS):
                return c
        # A text column declared right after the key names the row too
        # ("company" in clients); a status further down does not.
        rest = [c for c in self.columns if c.name not in self.pk and c.name not in self.fk_columns]
        if len(self.pk) == 1 and rest and rest[0].text:
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
            col = re.match(r"(" + _IDENT + r")\s+(\S+)", line)
            if col:
                table.columns.append(Column(table.name, _unquote(col[1]), col[2].upper()))
                if "PRIMARY KEY" in line.upper():
                    table.pk = [table.columns[-1].name]
        tables[table.name] = table
    return tables


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


def show(value: Any) -> str:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, bytes):
        return value.decode(errors="replace")
    if value is None:
        return "none"
    return str(value)


def enforce_stop(text: str, stop: Optional[list[str]]) -> str:
    """Cut `text` at the first stop sequence, as a served model would."""
    for s in stop or ():
        i = text.find(s)
        if i != -1:
            text = text[:i]
    return text


# ---------------------------------------------------------------------------
# The schema as a graph


class Schema:
    def __init__(self, tables: dict[str, Table], quote: str, backslash_escapes: bool):
        self.tables = tables
        self.quote = quote
        self.backslash_escapes = backslash_escapes
        self.edges: dict[str, list[tuple]] = {t: [] for t in tables}
        for t in tables.values():
            for col, ref, refcol in t.fks:
                if ref in tables:
                    # (from table, from column, to table, to column)
                    self.edges[t.name].append((t.name, col, ref, refcol))
                    self.edges[ref].append((ref, refcol, t.name, col))
        self.line_items = self._find_line_items()

    def ident(self, name: str) -> str:
        if _PLAIN_IDENT_RE.match(name):
            return name
        q = self.quote
        return q + name.replace(q, q + q) + q

    def literal(self, value: Any) -> str:
        if isinstance(value, (int, decimal.Decimal)):
            return str(value)
        if isinstance(value, datetime.date):
            return "'" + value.isoformat() + "'"
        value = str(value)
        if self.backslash_escapes:
            value = value.replace("\\", "\\\\")
        return "'" + value.replace("'", "''") + "'"

    def path(self, start: str, goal: str) -> list[tuple]:
        """The shortest join path between two tables; it must be the only one."""
        if start == goal:
            return []
        found, frontier = [], deque([(start, [])])
        depth = {start: 0}
        while frontier:
            table, hops = frontier.popleft()
            if found and len(hops) >= len(found[0]):
                break
            for edge in self.edges[table]:
                nxt = edge[2]
                if nxt == goal:
                    found.append(hops + [edge])
                elif len(hops) < 2 and depth.get(nxt, len(hops) + 1) >= len(hops) + 1:
                    depth[nxt] = len(hops) + 1
                    frontier.append((nxt, hops + [edge]))
        if not found:
            raise Unmappable(f"no chain of foreign keys joins {start} to {goal}")
        if len(found) > 1:
            raise Unmappable(f"{start} and {goal} are joined in more than one way")
        return found[0]

    def _find_line_items(self) -> Optional[tuple]:
        """(table, quantity column, price column, order table) of the table whose
        rows are lines of an order: a quantity and a unit price, found by
        their columns, and a foreign key to the order, the referenced table
        that carries a date."""
        found = []
        for t in self.tables.values():
            if not t.fks:
                continue
            qty = [c for c in t.columns if c.numeric and c.name not in t.fk_columns
                   and set(c.words) & _QUANTITY_WORDS and not set(c.words) & _PRICE_WORDS]
            price = [c for c in t.columns if c.numeric and not c.integer
                     and set(c.words) & _PRICE_WORDS]
            heads = [ref for col, ref, _ in t.fks
                     if ref in self.tables and self.tables[ref].dates]
            if len(qty) == 1 and len(price) == 1 and len(heads) == 1:
                found.append((t.name, qty[0], price[0], heads[0]))
        return found[0] if len(found) == 1 else None


# ---------------------------------------------------------------------------
# Conditions and measures, as SQL


@dataclass
class Cond:
    table: str
    column: Optional[Column]  # None: a condition on related rows (see kind)
    op: str                   # =, <>, >, >=, <, <=, between, in, none, some, year, month
    values: list = field(default_factory=list)
    kind: str = "value"       # value | date | number | related
    related: Optional[str] = None  # the table whose rows must (not) exist

    def describe(self) -> str:
        if self.kind == "related":
            return f"{'with no' if self.op == 'none' else 'with'} {self.related}"
        if self.kind == "null":
            return f"with no {self.column.name}"
        name = self.column.name
        v = [show(x) for x in self.values]
        if self.op == "in":
            return f"{name} {' or '.join(v)}"
        if self.op == "between":
            return f"{name} between {v[0]} and {v[1]}"
        if self.op == "range":
            return f"{name} in {self.values[2]}"
        if self.op == "=":
            return f"{name} {v[0]}"
        if self.op == "<>":
            return f"{name} other than {v[0]}"
        return f"{name} {self.op} {v[0]}"


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


def gcol_table(item) -> Optional[str]:
    return item.columns[0].table if item.columns else None


def _conj(parts: list[str]) -> str:
    return (" WHERE " + " AND ".join(parts)) if parts else ""


# ---------------------------------------------------------------------------
# Reading the question against the schema


@dataclass
class Item:
    kind: str          # table, column, value, money, size, qty, count, distinct, agg, super,
                       # group, neg, cmp, date, top, wh, howmuch, list
    at: int            # index of its first token
    table: Optional[str] = None
    column: Optional[Column] = None
    columns: list = field(default_factory=list)
    value: Any = None
    op: Optional[str] = None
    extra: Any = None
    role: Optional[str] = None  # what the plan used it for; None: nothing yet
    end: int = -1               # index after its last token


@dataclass
class Parse:
    items: list[Item]
    probes: list[str]           # values to look up in the data
    unknown: list[str]          # words tied to nothing, once the probes are answered


_DATE_PREPS = {"in": "in", "during": "in", "on": "in", "before": "before", "after": "after",
               "since": "since", "from": "since", "until": "before", "till": "before",
               "by": "before"}


def _month_year(toks: list[Tok], i: int):
    """(year, month or None, length) of a date at toks[i], or None."""
    t = toks[i]
    if t.number is not None and t.number == int(t.number) and 1900 <= t.number <= 2100 \
            and not t.quoted:
        return int(t.number), None, 1
    nxt = toks[i + 1] if i + 1 < len(toks) else None
    if t.number is not None and 1 <= t.number <= 31 and nxt is not None and (
            nxt.low in _MONTHS or nxt.text == "May") and i + 2 < len(toks) \
            and toks[i + 2].number is not None and 1900 <= toks[i + 2].number <= 2100:
        # "30 June 2024"
        month = _MONTHS.get(nxt.low, 5)
        try:
            return datetime.date(int(toks[i + 2].number), month, int(t.number)), None, 3
        except ValueError:
            raise Unmappable(f"'{t.text} {nxt.text} {toks[i + 2].text}' is no date")
    if (t.low in _MONTHS or t.text == "May") and nxt is not None and nxt.number is not None \
            and 1 <= nxt.number <= 31 and i + 2 < len(toks) and toks[i + 2].number is not None \
            and 1900 <= toks[i + 2].number <= 2100:
        # "June 30, 2024"
        try:
            return datetime.date(int(toks[i + 2].number), _MONTHS.get(t.low, 5),
                                 int(nxt.number)), None, 3
        except ValueError:
            raise Unmappable(f"'{t.text} {nxt.text} {toks[i + 2].text}' is no date")
    if t.low in _MONTHS or (t.low == "may" and t.text == "May"):
        month = _MONTHS.get(t.low, 5)
        if i + 1 < len(toks) and toks[i + 1].number is not None \
                and 1900 <= toks[i + 1].number <= 2100:
            return int(toks[i + 1].number), month, 2
        raise Unmappable(f"'{t.text}' names a month but not the year")
    m = re.fullmatch(r"(\d{4})-(\d{2})-(\d{2})", t.text)
    if m:
        return datetime.date(int(m[1]), int(m[2]), int(m[3])), None, 1
    return None


_CURRENCIES = _UNIT_WORDS


def _run_text(run: list[Tok]) -> str:
    text = " ".join(t.text for t in run)
    return re.sub(r"['’]s$", "", text)


def _variants(text: str) -> list[str]:
    """The value as written, and as the other grammatical number ("no-shows")."""
    low = text.lower()
    out = [text]
    if " " not in text and not text[:1].isupper():
        out += [singular(low), low + "s"]
    return list(dict.fromkeys(out))


def _lookup(found: dict, text: str) -> Optional[tuple[str, list]]:
    for v in _variants(text):
        if found.get(v.lower()):
            return v, found[v.lower()]
    return None


class Reader:
    """Ties the words of one question to the schema."""

    def __init__(self, schema: Schema, question: str):
        self.s = schema
        self.q = question
        text = re.sub(r"(?<=[a-z])_(?=[a-z])", " ", question)
        text = re.sub(r"\b(what|who|where|which|when|how|that|there|it)['’]s\b", r"\1 is", text,
                      flags=re.I)
        text = re.sub(r"n['’]t\b", " not", text)
        text = re.sub(r"['’](ve|re|ll|d)\b", lambda m: " " + {"ve": "have", "re": "are", "ll": "will",
                                                             "d": "would"}[m[1]], text)
        self.toks = tokenize(text)
        for t, nxt in zip(self.toks, self.toks[1:]):
            if nxt.low == "up":
                t.forms |= {f + "up" for f in t.forms}  # "signed up": signup
        self.items: list[Item] = []
        self.vocab = self._vocabulary()

    # -- the schema's words -------------------------------------------------
    def _vocabulary(self) -> list[tuple[tuple, Item, int]]:
        """(phrase, item, rank) for every table and column; lower rank wins."""
        out = []
        for t in self.s.tables.values():
            out.append((tuple(t.words), Item("table", 0, table=t.name), 0))
            if len(t.words) > 1:
                out.append(((t.words[-1],), Item("table", 0, table=t.name), 2))
            for c in t.columns:
                if c.name in t.fk_columns or (c.name in t.pk and c.words == ["id"]):
                    continue
                out.append((tuple(c.words), Item("column", 0, table=t.name, column=c), 0))
                generic = {"id", "date", "at", "on", "no", "number", "code", "full", "is",
                           "has", "time", "year", "day"}
                nouns = [w for w in c.words if w not in _UNIT_WORDS and w != "per"]
                for w in c.words:
                    # A number column is named by its head word ("price" for
                    # unit_price, "weight" for weight_kg), never by a modifier
                    # ("units" is no price) or a unit.
                    if c.numeric and (not nouns or w != nouns[-1]) and not (
                            "per" in c.words and nouns and w == nouns[0]):
                        continue
                    if w in _UNIT_WORDS or w == "per":
                        continue
                    if len(c.words) > 1 and w not in generic and not w.isdigit():
                        out.append(((w,), Item("column", 0, table=t.name, column=c), 1))
        return out

    def _match_vocab(self, i: int) -> Optional[tuple[int, list[Item]]]:
        best = None
        for phrase, item, rank in self.vocab:
            n = len(phrase)
            if i + n > len(self.toks):
                continue
            if all(phrase[j] in self.toks[i + j].forms and not self.toks[i + j].used
                   and not self.toks[i + j].quoted for j in range(n)):
                key = (-n, rank)
                if best is None or key < best[0]:
                    best = (key, [item])
                elif key == best[0]:
                    best[1].append(item)
        if best is None:
            return None
        return -best[0][0], best[1]

    def _columns_like(self, words, tables=None) -> list[Column]:
        words = (words,) if isinstance(words, str) else words
        out = []
        for t in self.s.tables.values():
            if tables is not None and t.name not in tables:
                continue
            for c in t.columns:
                if c.name in t.fk_columns:
                    continue
                if words == "date" or words == ("date",):
                    if c.date:
                        out.append(c)
                elif any(w in c.words or any(x.startswith(w) for x in c.words) for w in words):
                    out.append(c)
        return out

    # -- the pass -------------------------------------------------------------
    def use(self, i: int, n: int, item: Item) -> Item:
        for t in self.toks[i:i + n]:
            t.used = item.kind
        item.at, item.end = i, i + n
        self.items.append(item)
        return item

    def phrase(self, i: int, *words: str) -> bool:
        if i + len(words) > len(self.toks):
            return False
        return all(self.toks[i + j].low == w and not self.toks[i + j].used
                   for j, w in enumerate(words))

    def read(self, found: dict[str, list[tuple[str, str]]]) -> Parse:
        toks = self.toks
        # Values the database was found to hold, longest first: a product
        # called "Cast Iron Pan" is one value, not three unknown words.
        for n in range(len(toks), 0, -1):
            for i in range(len(toks) - n + 1):
                run = toks[i:i + n]
                if any(t.used for t in run):
                    continue
                hit = _lookup(found, _run_text(run))
                if hit and (n > 1 or run[0].quoted or run[0].cap and i > 0):
                    self.use(i, n, Item("value", i, value=hit[0], extra=hit[1]))
        self._grammar()
        self._schema_words()
        probes, unknown = [], []
        if any(t.low == "will" and not t.text[:1].isupper() or t.low == "gonna" for t in toks) or \
                any(a.low == "going" and b.low == "to" for a, b in zip(toks, toks[1:])):
            raise Unmappable("the question asks about the future, which the data does not hold")
        for i, t in enumerate(toks):
            if not t.used and (t.low in _FUNCTION_WORDS
                               or (t.low in _CURRENCIES and self._after_number(t))):
                t.used = "function"
            elif not t.used and t.forms & _RELATION_VERBS:
                # A verb that only relates two tables, unless the data holds
                # it ("delivered" may be a status).
                hit = _lookup(found, t.text)
                pair = _run_text(toks[i - 1:i + 1]) \
                    if i > 0 and toks[i - 1].used in (None, "function") else None
                if pair and _lookup(found, pair):
                    hit = _lookup(found, pair)  # "on hold" is a status
                    self.use(i - 1, 2, Item("value", i - 1, value=hit[0], extra=hit[1]))
                elif hit:
                    self.use(i, 1, Item("value", i, value=hit[0], extra=hit[1]))
                else:
                    probes += _variants(t.text) + ([pair] if pair else [])
                    t.used = "soft"  # decided once the values are known
        i = 0
        while i < len(toks):
            if toks[i].used:
                i += 1
                continue
            j = i
            while j < len(toks) and not toks[j].used:
                j += 1
            run = toks[i:j]
            hit = _lookup(found, _run_text(run))
            if hit:
                self.use(i, j - i, Item("value", i, value=hit[0], extra=hit[1]))
            else:
                probes += _variants(_run_text(run))
                for k, t in enumerate(run):
                    hit = _lookup(found, _run_text([t]))
                    if hit:
                        self.use(i + k, 1, Item("value", 0, value=hit[0], extra=hit[1]))
                    else:
                        probes += _variants(_run_text([t]))
                        unknown.append(t.text)
            i = j
        for i, t in enumerate(toks):
            if t.used == "soft":
                if self._relates(i):
                    t.used = "function"
                else:
                    unknown.append(t.text)
        # Capitalised runs are looked up whole as well, before their words
        # are read as schema words.
        for i in range(len(toks)):
            if toks[i].cap and not toks[i].quoted and (i > 0 or (len(toks) > 1 and toks[1].cap)):
                j = i
                while j < len(toks) and toks[j].cap and not toks[j].quoted:
                    j += 1
                if i == 0 or not toks[i - 1].cap:
                    probes += _variants(_run_text(toks[i:j]))
        for t in toks:
            if t.quoted:
                probes.append(t.text)
                if not t.used:
                    unknown.append(t.text)
        self.items.sort(key=lambda it: it.at)
        return Parse(self.items, list(dict.fromkeys(probes)), list(dict.fromkeys(unknown)))

    def _relates(self, i: int) -> bool:
        """Whether the verb at i only says how things named in the question
        are linked: it has an object after it, or two tables are named.
        "How many orders are on hold" has neither, and 'hold' stays unknown."""
        rest = [t for t in self.toks[i + 1:]
                if t.used not in ("soft", "function") and t.low not in _FUNCTION_WORDS]
        if rest and rest[0].used:
            return True
        if not rest and i + 1 < len(self.toks):
            return True  # "which countries do customers come from?"
        if any(t.low in ("we", "us", "our") for t in self.toks):
            return True  # "the drivers we employ": the business and its rows
        prev = self.toks[i - 1] if i > 0 else None
        if prev is not None and prev.used == "neg":
            return True  # "books never borrowed": rows with no related rows
        if prev is not None and prev.used in ("table", "column", "value"):
            return True  # "the lowest rate charged": a participle after its noun
        tables = {it.table for it in self.items if it.kind == "table"}
        tables |= {t for it in self.items if it.kind == "value" for t, _ in it.extra}
        tables |= {c.table for it in self.items if it.kind == "column" for c in it.columns}
        return len(tables) >= 2

    def _after_number(self, t: Tok) -> bool:
        i = self.toks.index(t)
        return i > 0 and self.toks[i - 1].number is not None

    def _grammar(self) -> None:
        toks = self.toks
        i = 0
        while i < len(toks):
            t = toks[i]
            if t.used:
                i += 1
                continue
            low = t.low
            nxt = toks[i + 1].low if i + 1 < len(toks) else ""
            # dates: "in 2024", "in March 2024", "before 2024-03-01"
            if low in _DATE_PREPS and i + 1 < len(toks):
                j = i + 1
                if toks[j].low in ("the", "year") and j + 1 < len(toks):
                    j += 1 + (toks[j + 1].low == "year")
                got = _month_year(toks, j) if j < len(toks) else None
                if got:
                    year, month, n = got
                    self.use(i, j - i + n, Item("date", i, op=_DATE_PREPS[low],
                                                value=(year, month)))
                    i = j + n
                    continue
            if low == "between" and i + 3 < len(toks) and toks[i + 2].low == "and":
                a, b = toks[i + 1], toks[i + 3]
                if a.number is not None and b.number is not None:
                    if 1900 <= a.number <= 2100 and 1900 <= b.number <= 2100 \
                            and a.number == int(a.number) and b.number == int(b.number):
                        self.use(i, 4, Item("date", i, op="between",
                                            value=((int(a.number), None), (int(b.number), None))))
                    else:
                        self.use(i, 4, Item("cmp", i, op="between",
                                            value=[min(a.number, b.number),
                                                   max(a.number, b.number)]))
                    i += 4
                    continue
            if re.fullmatch(r"\d{4}-\d{2}-\d{2}", t.text) or (
                    (low in _MONTHS or t.text == "May") and nxt.isdigit()):
                got = _month_year(toks, i)
                if got:
                    self.use(i, got[2], Item("date", i, op="in", value=got[:2]))
                    i += got[2]
                    continue
            if t.number is not None and i + 2 < len(toks) and not t.used and \
                    toks[i + 1].low in ("or", "and") and toks[i + 2].low in _OR_MORE:
                # "50 euros or more" (the unit is read later), "10 or fewer"
                self.use(i, 1, Item("cmp", i, op=_OR_MORE[toks[i + 2].low], value=[t.number]))
                toks[i + 1].used = toks[i + 2].used = "cmp"
                i += 3
                continue
            if t.number is not None and i + 3 < len(toks) and toks[i + 1].low in _UNIT_WORDS \
                    and toks[i + 2].low in ("or", "and") and toks[i + 3].low in _OR_MORE:
                self.use(i, 1, Item("cmp", i, op=_OR_MORE[toks[i + 3].low], value=[t.number]))
                toks[i + 1].used = toks[i + 2].used = toks[i + 3].used = "cmp"
                i += 4
                continue
            matched = False
            for words, op in sorted(_COMPARATORS, key=lambda p: -len(p[0])):
                if self.phrase(i, *words):
                    k = i + len(words)
                    if k < len(toks) and toks[k].number is not None:
                        item = self.use(i, len(words) + 1, Item("cmp", i, op=op,
                                                                 value=[toks[k].number]))
                        if words[0] in ("cheaper", "expensive") or words[:2] == ("more", "expensive"):
                            item.extra = ("price", "cost")
                        i = k + 1
                        matched = True
                    elif k < len(toks) and (got := _month_year(toks, k)):
                        # "after March 2024" said as "later than"
                        self.use(i, len(words) + got[2], Item(
                            "date", i, op={">": "after", "<": "before", ">=": "since"}.get(op, "in"),
                            value=got[:2]))
                        i = k + got[2]
                        matched = True
                    break
            if matched:
                continue
            if low in ("how", "what") and nxt in ("many", "much"):
                self.use(i, 2, Item("count" if nxt == "many" else "howmuch", i))
                i += 2
                continue
            if (low in ("number", "count", "total") and nxt == "of") or low == "count":
                n = 2 if nxt == "of" else 1
                if n == 2 and low == "number" and self._numeric_column_at(i + 2):
                    # "the number of pages" is the pages column, not a count.
                    t.used = toks[i + 1].used = "function"
                    i += 2
                    continue
                if low == "total" and i + 2 < len(toks) and toks[i + 2].low != "number":
                    self.use(i, 1, Item("agg", i, op="sum"))
                    i += 1
                    continue
                self.use(i, n, Item("count", i))
                i += n
                continue
            if low in ("distinct", "different", "unique", "separate"):
                self.use(i, 1, Item("distinct", i))
            elif low in ("average", "mean", "avg"):
                self.use(i, 1, Item("agg", i, op="avg"))
            elif low in ("total", "sum", "combined"):
                self.use(i, 1, Item("agg", i, op="sum"))
            elif low in ("per", "by", "each", "every") or (low == "for" and nxt in ("each", "every")) \
                    or (low == "in" and nxt == "each"):
                n = 2 if nxt in ("each", "every") and low in ("for", "in") else 1
                if low == "per" and i > 0 and any(
                        "per" in c.words and toks[i - 1].forms & set(c.words)
                        and toks[i + 1:i + 2] and toks[i + 1].low in c.words
                        for tb in self.s.tables.values() for c in tb.columns):
                    i += 1  # "rate per kg" is the column rate_per_kg
                    continue
                if low == "per" and self._per_is_unit(i):
                    # "cost per unit" names the unit_cost column, no grouping.
                    t.used = toks[i + 1].used = "function"
                    i += 2
                    continue
                if low == "by" and self.by_is_agent(i):
                    t.used = "function"
                else:
                    self.use(i, n, Item("group", i, value=low))
                    i += n
                    continue
            elif low in ("top", "first", "last") and toks[i + 1:i + 2] \
                    and toks[i + 1].number is not None:
                if low == "last":
                    raise Unmappable("'last' with a number is relative to today, which the "
                                     "database does not hold")
                self.use(i, 2, Item("top", i, value=int(toks[i + 1].number)))
                i += 2
                continue
            elif low in ("first", "last"):
                # "which customer signed up first", "the last order"
                self.use(i, 1, Item("super", i, op="min" if low == "first" else "max",
                                    extra="date"))
            elif t.number is not None and not t.quoted and i + 1 < len(toks) and (
                    toks[i + 1].low in _MAX_WORDS | _MIN_WORDS or toks[i + 1].low in ("most", "least")):
                self.use(i, 1, Item("top", i, value=int(t.number)))
            elif low in ("most", "least") and nxt in ("common", "frequent", "usual"):
                self.use(i, 2, Item("super", i, op="max" if low == "most" else "min",
                                    extra="count"))
                i += 2
                continue
            elif low == "most" and nxt in ("recent", "expensive", "recently", "popular"):
                if nxt == "popular":
                    raise Unmappable("'most popular' can mean most orders or most units; "
                                     "ask for one of them")
                if nxt == "expensive":
                    self.use(i, 2, Item("super", i, op="max", extra=("price", "cost")))
                else:
                    self.use(i, 2, Item("super", i, op="max", extra="date"))
                i += 2
                continue
            elif low == "least" and nxt == "expensive":
                self.use(i, 2, Item("super", i, op="min", extra=("price", "cost")))
                i += 2
                continue
            elif low in _MAX_WORDS or low in _MIN_WORDS:
                op = "max" if low in _MAX_WORDS else "min"
                cols = _SUPERLATIVE_COLUMNS.get(low)
                word = low
                if low in ("oldest", "youngest"):
                    cols = "age"
                self.use(i, 1, Item("super", i, op=op, extra=cols, value=word))
            elif low in ("no", "not", "never", "without", "none") or low.endswith("n't"):
                self.use(i, 1, Item("neg", i))
            elif low in ("which", "what", "who", "where", "when") and (
                    low != "which" or i == 0 or toks[i - 1].low in (
                        "in", "from", "of", "for", "at", "on", "to", "with", "by", "and")):
                self.use(i, 1, Item("wh", i, value=low))
            elif low in ("list", "show", "name", "display", "give", "enumerate") and i == 0:
                self.use(i, 1, Item("list", i))
            elif (low in _MONEY_WORDS or t.forms & {"spend", "revenue", "sale", "earn"}) and not (
                    low in _COLUMN_SYNONYMS and self._columns_like(_COLUMN_SYNONYMS[low])):
                # "earns" is a salary where there is one, else money taken in.
                self.use(i, 1, Item("money", i))
            elif low in ("units", "pieces", "items") and self.s.line_items and any(
                    x.low in ("sold", "bought", "ordered", "purchased")
                    for x in toks[max(0, i - 4):i + 4]):
                self.use(i, 1, Item("qty", i))
            elif low in ("or",):
                self.use(i, 1, Item("or", i))
            i += 1

    def _numeric_column_at(self, i: int) -> bool:
        if i >= len(self.toks):
            return False
        got = self._match_vocab(i)
        return bool(got) and all(it.kind == "column" and it.column.numeric for it in got[1])

    def _per_is_unit(self, i: int) -> bool:
        if i == 0 or i + 1 >= len(self.toks):
            return False
        nxt = self.toks[i + 1]
        before = set()
        for prev in self.toks[max(0, i - 5):i]:
            before |= set(prev.forms) | set(_COLUMN_SYNONYMS.get(prev.low, ()))
        return any(len(c.words) > 1 and nxt.forms & set(c.words) and before & set(c.words)
                   for t in self.s.tables.values() for c in t.columns)

    def by_is_agent(self, i: int) -> bool:
        """'written by Maya', 'placed by customers in Spain': by a value or a
        table with its own filter is a relation, not a grouping."""
        prev = self.toks[i - 1] if i > 0 else None
        nxt = self.toks[i + 1] if i + 1 < len(self.toks) else None
        if nxt is not None and nxt.used == "value":
            return True
        if any(t.used == "value" for t in self.toks[i + 1:i + 5]):
            return True  # "visits by patients from Sligo"
        if prev is not None and prev.low in ("was", "were", "is", "are", "been"):
            return True
        return bool(prev and prev.low.endswith(("ed", "en")) and prev.low not in ("need",))

    def _schema_words(self) -> None:
        toks = self.toks
        i = 0
        while i < len(toks):
            t = toks[i]
            if t.used or t.quoted:
                i += 1
                continue
            if self.s.line_items and t.low in ("line", "lines") and not t.used:
                n = 2 if i + 1 < len(toks) and toks[i + 1].low in ("item", "items") else 1
                start = i - 1 if i > 0 and toks[i - 1].low in ("order", "sales") \
                    and toks[i - 1].used in (None, "table") else i
                if start < i:
                    self.items = [it for it in self.items if it.at != start]
                    toks[start].used = None
                self.use(start, n + i - start, Item("table", start, table=self.s.line_items[0]))
                i += n
                continue
            got = self._match_vocab(i)
            if got:
                n, items = got
                tables = [it for it in items if it.kind == "table"]
                if tables:
                    item = tables[0]
                    after = self._match_vocab(i + n) if i + n < len(toks) else None
                    own = [it.column for it in (after[1] if after else ())
                           if it.kind == "column" and it.column.table == item.table]
                    singular_form = all(t.low == singular(t.low) or t.low.endswith(("'s", "’s"))
                                        for t in toks[i:i + n])
                    nouns = after and all(
                        any(singular(t.low) in c.words for c in own)
                        for t in toks[i + n:i + n + after[0]])
                    if own and singular_form and nouns and not any(
                            it.kind == "table" for it in after[1]):
                        # "product categories", "the customer's city": the
                        # table only says whose column it is.
                        self.use(i, n + after[0], Item("column", i, columns=own))
                        i += n + after[0]
                        continue
                    self.use(i, n, Item("table", i, table=item.table))
                    key = self.s.tables[item.table].pk
                    nxt = toks[i + n] if i + n < len(toks) else None
                    if nxt is not None and not nxt.used and nxt.number is not None \
                            and len(key) == 1 and singular_form and re.fullmatch(r"\d+", nxt.low):
                        # "order 5": the row with that key.
                        self.use(i + n, 1, Item("value", i + n, value=int(nxt.number),
                                                extra=[(item.table, key[0])]))
                        n += 1
                else:
                    cols = [it.column for it in items]
                    self.use(i, n, Item("column", i, columns=cols))
                    nxt = toks[i + n] if i + n < len(toks) else None
                    if nxt is not None and not nxt.used and nxt.number is not None \
                            and all(c.numeric for c in cols):
                        # "year group 9": that value of the column.
                        self.use(i + n, 1, Item("cmp", i + n, op="=", value=[nxt.number]))
                        n += 1
                i += n
                continue
            syn = _COLUMN_SYNONYMS.get(t.low)
            if syn:
                cols = self._columns_like(syn)
                if cols:
                    self.use(i, 1, Item("column", i, columns=cols, extra="synonym"))
                    i += 1
                    continue
            if t.low in _SIZE_WORDS:
                self.use(i, 1, Item("size", i))
                i += 1
                continue
            # The shortest form, ties broken by spelling: a set's order changes
            # with the hash seed, and the reply must not ("drove": drive).
            stem = min(t.forms, key=lambda f: (len(f), f))
            tables = [] if len(stem) < 5 or t.low in _FUNCTION_WORDS else [
                tb.name for tb in self.s.tables.values()
                if tb.words and len(tb.words[-1]) >= 6 and tb.words[-1].startswith(stem)]
            if len(tables) == 1:
                # "assigned" for assignments, "enrolled" for enrollments
                self.use(i, 1, Item("table", i, table=tables[0], extra="verb"))
                i += 1
                continue
            similar = [] if len(stem) < 5 or t.low in _FUNCTION_WORDS else [
                c for tb in self.s.tables.values() for c in tb.columns
                if c.name not in tb.fk_columns and any(
                    len(w) >= 5 and (w.startswith(stem) or stem.startswith(w)) for w in c.words)]
            if similar:
                # "insured" for an insurer column: kept only if the plan finds
                # a use for it, or restates a column it uses.
                self.use(i, 1, Item("column", i, columns=similar, extra="synonym"))
            elif t.low in ("date", "day", "time", "when"):
                cols = self._columns_like("date")
                if cols:
                    self.use(i, 1, Item("column", i, columns=cols, extra="synonym"))
            i += 1


# ---------------------------------------------------------------------------
# From the parse to a query


@dataclass
class Plan:
    sql: str
    answer: Any  # callable(rows) -> str


def _plural(n, word: str) -> str:
    return word if n == 1 else (word[:-1] + "ies" if word.endswith("y") and word[-2:-1] not in "aeiou"
                                else word + ("es" if word.endswith(("s", "x", "ch", "sh")) else "s"))


class Planner:
    def __init__(self, schema: Schema, parse: Parse, question: str):
        self.s = schema
        self.p = parse
        self.q = question
        self.items = parse.items
        self.sql = Sql(schema)

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
        used = {(c.table, c.name) for it in self.kinds("column") if it.role or
                it.extra in ("qualifier", "group") for c in it.columns}
        used |= {(c.table, c.column.name) for c in self.conds if c.column is not None}
        for it in self.kinds("column"):
            if not it.role and it.extra == "synonym" and used & {(c.table, c.name)
                                                                for c in it.columns}:
                it.role = "restated"  # "cities customers live in": live is the city
        for it in self.kinds("column"):
            if not it.role and it.extra not in ("qualifier", "group"):
                names = ", ".join(sorted({c.name for c in it.columns}))
                raise Unmappable(f"the question names the column {names} but the offline "
                                 "model cannot tell what it has to do with the answer")
        return plan

    def shape(self) -> Plan:
        items = self.items
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
        if (self.money or self.kinds("size")) and not self.s.line_items \
                and not self._money_column():
            raise Unmappable("no table holds quantities and prices, or amounts, to sum for "
                             "revenue or spending")
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
        if top is not None and sup is None:
            sup = Item("super", top.at, op="max")
            self.items.append(sup)
            self.items.sort(key=lambda it: it.at)
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

    def label_sql(self, table: str, alias: str) -> str:
        """How a row is named: first and last name together when the table
        keeps them apart, else its name, title or key column."""
        t = self.s.tables[table]
        first = [c for c in t.columns if c.text and {"first", "name"} <= set(c.words)]
        last = [c for c in t.columns if c.text and ({"last", "name"} <= set(c.words)
                                                    or c.words == ["surname"])]
        if len(first) == 1 and len(last) == 1:
            return (f"CONCAT_WS(' ', {self.sql.col(alias, first[0].name)}, "
                    f"{self.sql.col(alias, last[0].name)})")
        return self.sql.col(alias, t.label.name)

    def _is_line_price(self, col: Optional[Column]) -> bool:
        li = self.s.line_items
        return bool(li and col is not None and col.table == li[0] and col.name == li[2].name)

    def _money_column(self) -> Optional[Column]:
        cols = [c for t in self.s.tables.values() for c in t.columns
                if c.numeric and not c.integer and set(c.words) & _MONEY_COLUMN_WORDS]
        return cols[0] if len(cols) == 1 else None

    # -- what the question is about -----------------------------------------
    def head(self) -> Item:
        """The noun the question asks about: the first table or column named
        after its opening words, else the table of its only value."""
        for it in self.items:
            if it.kind in ("table", "column", "money", "qty"):
                if it.kind == "column" and self._qualifies_value(it):
                    continue
                return it
            if it.kind == "size":
                continue
        values = self.kinds("value")
        tables = {t for v in values for t, _ in v.extra}
        if len(tables) == 1:
            return Item("table", -1, table=tables.pop())
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
            return self.money_fact()
        raise Unmappable("no table to ask about")

    def money_fact(self) -> str:
        if self.s.line_items:
            return self.s.line_items[0]
        col = self._money_column()
        if col is None:
            raise Unmappable("no table holds amounts to sum")
        return col.table

    def money_expr(self, alias: str) -> str:
        if self.s.line_items:
            _, q, p, _ = self.s.line_items
            return f"{self.sql.col(alias, q.name)} * {self.sql.col(alias, p.name)}"
        return self.sql.col(alias, self._money_column().name)

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
            op = ("<>" if negated else "=") if len(vals) == 1 else ("not in" if negated else "in")
            if op == "not in":
                raise Unmappable("a negated list of values")
            conds.append(Cond(table, col, op, vals))
        for it in self.kinds("cmp"):
            conds.append(self.number_cond(it, head))
        for it in self.kinds("date"):
            conds.append(self.date_cond(it, head))
        for neg in self.kinds("neg"):
            if any(c.kind == "value" and c.op in ("<>",) for c in conds):
                continue
            nxt = self.after(neg, "table", "column", "value", "money", "cmp", "date")
            if nxt is not None and nxt.kind == "column" and nxt.at - neg.at <= 3:
                col = self.pick(nxt.columns, self.tables_named)
                nxt.role = "qualifier"
                if head.kind != "table" or col.table == head.table:
                    # "loans not returned": the column that would say so is empty.
                    conds.append(Cond(col.table, col, "null", kind="null"))
                    continue
                # "students not enrolled": no rows in the table of enrolments.
                nxt = Item("table", nxt.at, table=col.table, end=nxt.end)
            if nxt is None and head.kind == "table":
                children = [e[2] for e in self.s.edges[head.table]
                            if any(r == head.table for _, r, _ in self.s.tables[e[2]].fks)]
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
            conds.append(Cond(None, None, "none", kind="related", related=nxt.table))
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
            it.role = "exists"
            conds.append(Cond(None, None, "some", kind="related", related=it.table))
        return conds

    def value_column(self, v: Item, head: Item) -> Column:
        places = v.extra  # [(table, column)]
        # A column named next to the value says where it is ("the Books category").
        for it in self.kinds("column"):
            if abs(it.at - v.at) <= 2:
                named = [(c.table, c.name) for c in it.columns]
                hits = [p for p in places if p in named]
                if len(hits) == 1:
                    it.extra = "qualifier"
                    return self.s.tables[hits[0][0]].column(hits[0][1])
        if isinstance(v.value, str) and v.value[:1].islower():
            # A plain word found in the data ("shipped", "new") must belong to
            # the noun it stands next to, or it may be an ordinary word that
            # happens to be a status somewhere else.
            noun = self.after(v, "table", "column") or self.before(v, "table", "column")
            tables = {noun.table} | {c.table for c in noun.columns} if noun else set()
            near = [p for p in places if p[0] in tables]
            if not near and noun is not None:
                t, c = places[0]
                raise Unmappable(f"'{v.value}' is a {c} in {t}, which the question does not "
                                 "say it is about")
            places = near or places
        if head.kind == "table" and not any(t.table == places[0][0] for t in self.kinds("table")) \
                and len(places) == 1 and places[0][0] != head.table:
            hops = self.s.path(head.table, places[0][0])
            li = self.s.line_items[0] if self.s.line_items else None
            if len(hops) > 1 and li not in [h[2] for h in hops] + [head.table]:
                # "shipments that went to Glasgow" must not become shipments
                # whose driver's depot is in Glasgow.
                raise Unmappable(f"'{v.value}' is a {places[0][1]} of {places[0][0]}, which is "
                                 f"{len(hops)} joins away from {head.table}; name the table "
                                 "to say how they are linked")
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

    def number_cond(self, it: Item, head: Item) -> Cond:
        if it.extra:
            cols = self._columns_like(it.extra)
        else:
            prev = self.before(it, "column", "table", "money", "size")
            nxt = self.after(it, "column", "table", "money")
            if prev is not None and prev.kind == "column":
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
                return Cond(None, None, it.op, list(it.value), kind="money")
            else:
                raise Unmappable("the question compares with a number but names no "
                                 "column to compare")
        if not cols:
            raise Unmappable("the number in the question is compared with no numeric column")
        col = self.pick(cols, self.tables_named + ([head.table] if head.table else []))
        op = it.op
        vals = list(it.value)
        return Cond(col.table, col, op, vals, kind="number")

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
        if not cand:
            order = []
            if prev is not None and prev.kind == "table":
                # "orders did customers from Spain place in 2024": a table named
                # further back than right before the date yields to the one
                # asked about.
                between = [x for x in self.items if prev.at < x.at < it.at]
                if (between or prev.extra == "verb") and head.kind == "table" \
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
                elif self._money_column():
                    order.append(self._money_column().table)
            # Rows without a date of their own take the one of the row they
            # belong to: an order line is dated by its order.
            for t in list(order):
                for col, ref, _ in self.s.tables[t].fks:
                    if ref in self.s.tables and ref not in order and self.s.tables[ref].dates:
                        order.append(ref)
            for t in order:
                dates = self.s.tables[t].dates
                if len(dates) > 1:
                    # The date a row is about is the one named after its
                    # table ("loan_date" in loans), or plainly "date".
                    own = [c for c in dates if set(c.words) - {"date", "at", "on", "time"}
                           <= set(self.s.tables[t].words) or c.words == ["date"]]
                    dates = own if len(own) == 1 else dates
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

    def _date_range(self, col: Column, it: Item) -> Cond:
        def span(value):
            year, month = value
            if isinstance(year, datetime.date):
                return year, year + datetime.timedelta(days=1), year.isoformat()
            if month is None:
                return datetime.date(year, 1, 1), datetime.date(year + 1, 1, 1), str(year)
            end = datetime.date(year + (month == 12), month % 12 + 1, 1)
            return datetime.date(year, month, 1), end, f"{datetime.date(year, month, 1):%B %Y}"
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
        for c in measured:
            expr = self.measure_of(table, alias, "count" if c.kind == "count" else "money",
                                   c.related, [])
            if c.op == "between":
                parts.append(f"{expr} BETWEEN {c.values[0]} AND {c.values[1]}")
            else:
                parts.append(f"{expr} {c.op} {c.values[0]}")
        return parts

    def measure_of(self, table: str, alias: str, what: str, fact: Optional[str],
                   conds: list[Cond], column: Optional[Column] = None, fn: str = "SUM",
                   zero: bool = True) -> str:
        """A correlated subquery: the count of `fact` rows, or the money, or
        fn(column), that belong to the row `alias` of `table`."""
        if what == "money":
            fact = self.money_fact()
        if what == "column":
            fact = column.table
        hops = self.s.path(fact, table)
        a = self.sql.alias()
        pk = self.s.tables[table].pk
        if len(pk) != 1:
            raise Unmappable(f"{table} has no single-column key to group by")
        link = self.sql.via(a, hops, lambda b: f"{self.sql.col(b, pk[0])} = "
                                               f"{self.sql.col(alias, pk[0])}")
        extra = self.sql.where(fact, a, [c for c in conds if c.table != table or fact == table])
        where = " AND ".join([link] + extra)
        if what == "count":
            return f"(SELECT COUNT(*) FROM {self.s.ident(fact)} {a} WHERE {where})"
        if what == "money":
            total = f"SUM({self.money_expr(a)})"
            if zero:
                total = f"COALESCE({total}, 0)"
            return f"(SELECT {total} FROM {self.s.ident(fact)} {a} WHERE {where})"
        if what == "qty":
            q = self.s.line_items[1]
            return (f"(SELECT COALESCE(SUM({self.sql.col(a, q.name)}), 0) FROM "
                    f"{self.s.ident(fact)} {a} WHERE {where})")
        expr = f"{fn}({self.sql.col(a, column.name)})"
        if fn in ("SUM", "COUNT"):
            expr = f"COALESCE({expr}, 0)"
        return f"(SELECT {expr} FROM {self.s.ident(fact)} {a} WHERE {where})"

    def describe(self, conds: Optional[list[Cond]] = None) -> str:
        conds = self.conds if conds is None else conds
        parts = []
        for c in conds:
            if c.kind == "count":
                parts.append(f"with {c.op} {show(c.values[0])} {c.related}")
            elif c.kind == "money":
                parts.append(f"with spending {c.op} {show(c.values[0])}")
            else:
                text = c.describe()
                if c.kind == "value" and c.table and c.column and self._main != c.table:
                    text = f"{c.table} {text}"
                parts.append(text)
        return (" (" + "; ".join(parts) + ")") if parts else ""

    _main: Optional[str] = None

    def count(self, head: Item, count: Item) -> Plan:
        distinct = self.first("distinct")
        if head.kind == "column" and not self._qualifies_value(head):
            col = self.pick(head.columns, self.tables_named)
            if col.numeric and not distinct:
                # "How many hours were logged": the hours added up.
                return self.aggregate(head, "sum")
            head.role = "counted"
            table = col.table
            self._main = table
            where = _conj(self.where_for(table, self.s.ident(table)))
            sql = f"SELECT COUNT(DISTINCT {self.s.ident(col.name)}) FROM {self.s.ident(table)}{where}"
            desc = self.describe()

            def answer(rows):
                n = rows[0][0]
                return (f"There {'is' if n == 1 else 'are'} {n} distinct "
                        f"{col.name} value{'' if n == 1 else 's'} in {table}{desc}.")
            return Plan(sql, answer)
        if head.kind != "table":
            raise Unmappable("the question counts something that is not a table")
        table = head.table
        self._main = table
        where = _conj(self.where_for(table, self.s.ident(table)))
        sql = f"SELECT COUNT(*) FROM {self.s.ident(table)}{where}"
        desc = self.describe()
        label = table.replace("_", " ")
        via = any(c.table != table for c in self.conds if c.kind != "count")

        def answer(rows):
            n = rows[0][0]
            noun = " ".join(singular(w) for w in label.split()) if n == 1 else label
            kind = " distinct" if via and distinct else ""
            return f"There {'is' if n == 1 else 'are'} {n}{kind} {noun}{desc}."
        return Plan(sql, answer)

    def _measure_head(self, head: Item) -> tuple[str, Optional[Column], str]:
        """(what, column, wording) of the thing summed or averaged."""
        if head.kind == "money" or (self.money and head.kind != "column"):
            return "money", None, "revenue (quantity × unit price)" if self.s.line_items \
                else "amount"
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
            if nxt is None:
                raise Unmappable(f"the question names no numeric column of {head.table} "
                                 "to total or average")
            head = nxt
        what, col, wording = self._measure_head(head)
        head.role = "measured"
        if what == "column" and fn == "sum" and self._is_line_price(col):
            # The total of a line's unit price means nothing; the total cost
            # of lines is quantity times unit price.
            what, col = "money", None
            q, p = self.s.line_items[1:3]
            wording = f"{p.name} × {q.name}"
        if what == "column" and not col.numeric and (fn in ("sum", "avg") or not col.date):
            raise Unmappable(f"{col.name} is not a number, so it has no "
                             + ("total or average" if fn in ("sum", "avg") else "highest or lowest"))
        fact = col.table if col else self.money_fact()
        self._main = fact
        alias = self.s.ident(fact)
        where = _conj(self.where_for(fact, alias))
        if what == "money":
            expr = f"SUM({self.money_expr(alias)})"
        elif what == "qty":
            expr = f"SUM({self.sql.col(alias, self.s.line_items[1].name)})"
        else:
            expr = f"{fn.upper()}({self.s.ident(col.name)})"
        if what in ("money", "qty") and fn != "sum":
            raise Unmappable(f"an {fn} of revenue needs a unit to average over "
                             "(say 'average order value')")
        sql = f"SELECT {expr} FROM {self.s.ident(fact)}{where}"
        desc = self.describe()
        word = {"sum": "total", "avg": "average", "max": "highest", "min": "lowest"}[fn]
        if col is not None and col.date:
            word = {"max": "latest", "min": "earliest"}.get(fn, word)

        def answer(rows):
            v = rows[0][0] if rows else None
            if v is None:
                return f"There is no {word} {wording} of {fact}{desc}: no row matches."
            return f"The {word} {wording} of {fact.replace('_', ' ')} is {show(v)}{desc}."
        return Plan(sql, answer)

    def order_values(self, order_table: str, fn: str) -> Plan:
        self._main = order_table
        # Rows without lines have no value (NULL, not 0) and stay out of it.
        per = self.measure_of(order_table, self.s.ident(order_table), "money", None, [],
                              zero=False)
        where = _conj(self.where_for(order_table, self.s.ident(order_table)))
        func = {"avg": "AVG", "sum": "SUM", "max": "MAX", "min": "MIN"}[fn]
        sql = f"SELECT {func}(v), COUNT(v) FROM (SELECT {per} AS v FROM " \
              f"{self.s.ident(order_table)}{where}) per_row"
        desc = self.describe()
        word = {"sum": "total", "avg": "average", "max": "highest", "min": "lowest"}[fn]

        def answer(rows):
            v, n = rows[0]
            if v is None:
                return f"There are no {order_table}{desc} to average."
            return (f"The {word} {singular(order_table)} value is {show(v)} (the sum of "
                    f"quantity × unit price per {singular(order_table)}, over {n} "
                    f"{_plural(n, singular(order_table))}){desc}.")
        return Plan(sql, answer)

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
        # The group key: the noun after "per"/"by", or the head of "which X ...".
        if group is not None:
            key = self.after(group, "table", "column")
            if key is None:
                raise Unmappable("the grouping names no table or column")
            measured = head if head.at < group.at else self.before(group, "table", "column",
                                                                    "money", "qty")
        else:
            key = head
            measured = next((it for it in self.items if it.at > sup.at and it.kind in
                             ("table", "column", "money", "qty")
                             and it.extra != "qualifier" and it is not key), None)
        key.extra = "group"
        key.role = "group"
        li = self.s.line_items
        if (li and group is not None and key.kind == "table" and key.table == li[3]
                and [a.op for a in self.kinds("agg")] == ["avg"] and sup is None
                and (self.money or (measured is not None and measured.kind == "column"
                                    and any(self._is_line_price(c) for c in measured.columns)))):
            # "the average cost per visit": the average of each visit's total.
            if measured is not None:
                measured.role = "measured"
            return self.order_values(key.table, "avg")
        if measured is not None:
            measured.role = "measured"
        aggs = self.kinds("agg")
        if (sup is not None and group is None and key.kind == "table" and not aggs
                and measured is not None and measured.kind == "column"
                and any(c.table == key.table for c in measured.columns)):
            # "Which book has the most pages": a column of the row itself.
            return self.extreme(key, sup)
        fn = aggs[0].op if aggs else None
        # what is measured per group
        if self.money or (measured is not None and measured.kind == "money"):
            what, col, wording = "money", None, "revenue" if self.s.line_items else "amount"
        elif self.qty or (measured is not None and measured.kind == "qty"):
            what, col, wording = "qty", None, "units"
        elif measured is not None and measured.kind == "column" and measured is not key:
            col = self.pick([c for c in measured.columns if c.numeric] or measured.columns,
                            self.tables_named)
            if not col.numeric:
                raise Unmappable(f"{col.name} is not a number to total or average per group")
            what, wording = "column", col.name
            if fn is None:
                fn = "sum"
                if sup is not None and sup.value not in ("most", "least", "fewest") \
                        and not set(col.words) & _QUANTITY_WORDS:
                    # "the student with the highest score": the best single
                    # score, not the most points added up.
                    fn = sup.op
                elif sup is not None and col.table == (key.table or gcol_table(key)):
                    raise Unmappable(f"'the most {col.name}' could be a total or an average; "
                                     "say which")
        elif measured is not None and measured.kind == "table" and measured is not key:
            what, col, wording = "count", None, measured.table
        elif measured is None and sup is not None and sup.extra == "count" \
                and key.kind == "column":
            # "the most common status": the value most rows have.
            what, col, wording = "count", None, "rows"
            measured = Item("table", key.at, table=self.pick(key.columns, self.tables_named).table)
        elif self.first("count") and measured is None:
            raise Unmappable("the question does not say what to count per group")
        else:
            raise Unmappable("the question does not say what to compare between groups")
        if what in ("money", "qty"):
            fact = self.money_fact()
        else:
            fact = col.table if col else measured.table
        if key.kind == "table":
            gtable, gcol = key.table, None
        else:
            gcol = self.pick(key.columns, [fact] + self.tables_named)
            gtable = gcol.table
        self._main = gtable
        fnname = {"sum": "SUM", "avg": "AVG", "max": "MAX", "min": "MIN", None: "SUM"}[fn]
        if what == "count" and fn is not None:
            raise Unmappable("the question asks for both a count and a total")
        # Conditions on the grouped table restrict the groups; the others the
        # rows counted or summed in each group.
        plain, measured_conds = self.split_conds(gtable)
        gconds = [c for c in plain if c.table == gtable and c.kind != "related"]
        fconds = [c for c in plain if c not in gconds]
        if measured_conds:
            raise Unmappable("a condition on a count or a sum inside a grouping")
        if gcol is None:
            g = self.s.tables[gtable]
            lab = g.label
            if lab is None:
                raise Unmappable(f"{gtable} has no name or single key to name its rows by")
            m = self.measure_of(gtable, "g", what, fact, fconds, col, fnname)
            where = _conj(self.sql.where(gtable, "g", gconds))
            name = self.label_sql(gtable, "g")
            hops = self.s.path(fact, gtable) if what == "count" else []
            link = hops[0][2] if len(hops) > 1 else None
            if link is not None:
                # "The member who borrowed the most books" may count books or
                # loans; both are computed, and a difference is declined.
                if fconds:
                    raise Unmappable(f"counting {fact} per {singular(gtable)} through {link} "
                                     "with a condition is more than the offline model can check")
                m += ", " + self.measure_of(gtable, "g", "count", link, [])
            sql = (f"SELECT {name}, {m} AS v FROM {self.s.ident(gtable)} g"
                   f"{where} ORDER BY v DESC, {name}")
            gname = singular(gtable.replace("_", " "))
        else:
            link = None
            m = self.measure_column_group(gtable, gcol, what, fact, fconds, col, fnname, gconds)
            where = _conj(self.sql.where(gtable, "g0", gconds) +
                          [f"{self.sql.col('g0', gcol.name)} IS NOT NULL"])
            sql = (f"SELECT g.k, {m} AS v FROM (SELECT DISTINCT {self.sql.col('g0', gcol.name)} "
                   f"AS k FROM {self.s.ident(gtable)} g0{where}) g ORDER BY v DESC, g.k")
            gname = gcol.name
        desc = self.describe()
        if what == "column" and not (sup is not None and fn == sup.op):
            wording = {"SUM": "total", "AVG": "average", "MAX": "highest", "MIN": "lowest"}[
                fnname] + " " + wording
        elif what == "count":
            wording = wording.replace("_", " ")

        if link is not None:
            shaped = self._one_reading(fact, link, gname)
        else:
            def shaped(rows):
                return rows
        if sup is None:
            def answer(rows):
                rows = shaped(rows)
                if not rows:
                    return f"There are no groups{desc}."
                shown = rows[:GROUP_CAP]
                text = "; ".join(f"{show(k)}: {show(v)}" for k, v in shown)
                more = f" (first {GROUP_CAP} of {len(rows)} shown)" if len(rows) > GROUP_CAP else ""
                return f"The {wording} per {gname}{desc}: {text}{more}."
            return Plan(sql, answer)
        op = sup.op
        n = self.first("top").value if self.first("top") else 1
        if op == "min":
            sql = sql.replace("ORDER BY v DESC", "ORDER BY v ASC")

        def answer(rows):
            rows = [r for r in shaped(rows) if r[1] is not None]
            if not rows:
                return CANNOT_ANSWER + f"no {gname} has a value{desc}."
            best = rows[min(n, len(rows)) - 1][1]
            top = [r for r in rows if (r[1] >= best if op == "max" else r[1] <= best)]
            word = "most" if op == "max" else "least"
            if what == "column":
                word = "highest" if op == "max" else "lowest"
            if n > 1:
                listed = ", ".join(f"{show(r[0])} ({show(r[1])})" for r in top[:LIST_CAP])
                ties = f" (ties included, {len(top)} in all)" if len(top) > n else ""
                return (f"The {n} {_plural(2, gname)} with the {word} {wording}{desc}: "
                        f"{listed}{ties}.")
            names = ", ".join(show(r[0]) for r in top)
            tie = f" (a tie between {len(top)})" if len(top) > 1 else ""
            return (f"The {gname} with the {word} {wording} is {names}"
                    f" ({show(best)}){tie}{desc}.")
        return Plan(sql, answer)

    @staticmethod
    def _one_reading(fact: str, link: str, gname: str):
        def shaped(rows):
            differ = [r for r in rows if r[1] != r[2]]
            if differ:
                r = differ[0]
                raise Unmappable(f"the count of {fact} per {gname} could count different {fact} "
                                 f"or {link} rows, and they differ ({show(r[0])}: {show(r[1])} "
                                 f"{fact}, {show(r[2])} {link}); ask for one of them")
            return [r[:2] for r in rows]
        return shaped

    def measure_column_group(self, gtable, gcol, what, fact, fconds, col, fn, gconds) -> str:
        """The measure of one group: the rows counted or summed are those
        whose row of the grouped table has the group's value and passes the
        conditions on that table ("products per category that cost more
        than 50" counts only those products)."""
        a = self.sql.alias()
        src = f"{self.s.ident(fact)} {a}"
        if fact == gtable:
            where = " AND ".join([f"{self.sql.col(a, gcol.name)} = g.k"]
                                 + self.sql.where(fact, a, gconds + fconds))
        else:
            hops = self.s.path(fact, gtable)
            link = self.sql.via(a, hops, lambda x: " AND ".join(
                [f"{self.sql.col(x, gcol.name)} = g.k"] + self.sql.where(gtable, x, gconds)))
            where = " AND ".join([link] + self.sql.where(fact, a, fconds))
        if what == "count":
            return f"(SELECT COUNT(*) FROM {src} WHERE {where})"
        if what == "money":
            return f"(SELECT COALESCE(SUM({self.money_expr(a)}), 0) FROM {src} WHERE {where})"
        if what == "qty":
            return (f"(SELECT COALESCE(SUM({self.sql.col(a, self.s.line_items[1].name)}), 0) "
                    f"FROM {src} WHERE {where})")
        return f"(SELECT {fn}({self.sql.col(a, col.name)}) FROM {src} WHERE {where})"

    def extreme(self, head: Item, sup: Item) -> Plan:
        """'Which product is the cheapest', 'the three largest orders',
        'what is the highest price'."""
        top = self.first("top")
        n = top.value if top else 1
        asked = None
        wh = self.first("wh")
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
        if head.kind == "column":
            ranked = next((it for it in self.items if it.at > sup.at and it.kind == "table"),
                          None) if sup.extra else None
            if ranked is None or not any(c.table == ranked.table for c in head.columns):
                # "the highest price of products", "the latest order date": a value.
                return self.aggregate(head, sup.op)
            # "the name of the most expensive product": a column of the row.
            asked = next(c for c in head.columns if c.table == ranked.table)
            head.role = "asked"
            head = ranked
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
        # the key: a column named with the superlative or after it
        key_cols = None
        if sup.extra == "age":
            born = [c for c in t.columns if set(c.words) & {"birth", "born", "birthday"}]
            if born:
                key_cols = born
            elif sup.op == "max":
                raise Unmappable(f"{table} has no birth date to tell the youngest")
            else:
                sup.extra = "date"
                dates = t.dates
                if len(dates) != 1:
                    raise Unmappable(f"'oldest' needs one date column in {table}")
        if sup.extra and sup.extra != "age":
            key_cols = [c for c in t.columns if (sup.extra == "date" and c.date) or (
                sup.extra != "date" and set(c.words) & set(
                    (sup.extra,) if isinstance(sup.extra, str) else sup.extra))]
            named = [c for it in self.kinds("column") if it.extra != "qualifier"
                     for c in it.columns if c in key_cols]
            if len(key_cols) > 1 and len(named) == 1:
                key_cols = named  # "which project started first": start_date
        elif not sup.extra:
            named = [it for it in self.kinds("column") if it.extra not in ("qualifier",)
                     and any(c.table == table for c in it.columns)]
            if named:
                named[0].role = "key"
                key_cols = [c for c in named[0].columns if c.table == table]
        alias = self.s.ident(table)
        if key_cols:
            if len(key_cols) > 1:
                raise Unmappable(f"'{sup.op}' could rank {table} by any of "
                                 + ", ".join(c.name for c in key_cols))
            key = key_cols[0]
            for it in self.kinds("column"):
                if key in it.columns:
                    it.role = "key"
            expr, wording = self.sql.col(alias, key.name), key.name
        elif self.s.line_items and table == self.s.line_items[3] and (
                self.kinds("size") or sup.op in ("max", "min")) and not sup.extra:
            expr = self.measure_of(table, alias, "money", None, [])
            wording = "value (sum of quantity × unit price)"
        else:
            raise Unmappable(f"the question does not say by which column to rank {table}")
        lab = t.label
        if lab is None:
            raise Unmappable(f"{table} has no name or single key to name its rows by")
        also = ""
        if asked is not None and asked.name != lab.name:
            also = f", {self.sql.col(alias, asked.name)}"
        where = self.where_for(table, alias)
        name = self.label_sql(table, alias)
        sql = (f"SELECT {name}, {expr} AS v{also} FROM {alias}"
               f"{_conj(where + ['(' + expr + ') IS NOT NULL'])} ORDER BY v "
               f"{'DESC' if sup.op == 'max' else 'ASC'}, {name}")
        sql = sql.replace(f"FROM {alias}", f"FROM {self.s.ident(table)}", 1) \
            if alias == self.s.ident(table) else sql
        desc = self.describe()
        word = "highest" if sup.op == "max" else "lowest"
        if key_cols and key_cols[0].date:
            word = "latest" if sup.op == "max" else "earliest"
        noun = singular(table.replace("_", " "))

        def answer(rows):
            if not rows:
                return f"There are no {table}{desc}."
            cut = rows[min(n, len(rows)) - 1][1]
            chosen = [r for r in rows if (r[1] >= cut if sup.op == "max" else r[1] <= cut)]
            items = ", ".join(f"{show(r[0])} ({show(r[1])}" + (
                f"; {asked.name} {show(r[2])}" if len(r) > 2 else "") + ")"
                for r in chosen[:LIST_CAP])
            more = f" and {len(chosen) - LIST_CAP} more" if len(chosen) > LIST_CAP else ""
            if n == 1:
                tie = f" (a tie between {len(chosen)})" if len(chosen) > 1 else ""
                return f"The {noun} with the {word} {wording}{desc} is {items}{more}{tie}."
            extra = f" (ties included, {len(chosen)} in all)" if len(chosen) > n else ""
            return (f"The {n} {table.replace('_', ' ')} with the {word} {wording}{desc}: "
                    f"{items}{more}{extra}.")
        return Plan(sql, answer)

    def listing(self, head: Item) -> Plan:
        wh = self.first("wh")
        if not (wh or self.first("list") or head.kind == "table"):
            raise Unmappable("the question is not a count, total, average, extreme, list "
                             "or lookup question")
        if wh and wh.value == "who" and not self.kinds("table"):
            raise Unmappable("'who' names no table of people to answer from")
        label = head.kind == "column" and all(
            self.s.tables[c.table].label == c and set(c.words) & set(_LABEL_WORDS)
            for c in head.columns)
        if head.kind == "column" and not label and not self.kinds("value") \
                and not self.tables_named[1:]:
            # "Which categories are there": the distinct values of a column.
            col = self.pick(head.columns, self.tables_named)
            head.role = "listed"
            table = col.table
            self._main = table
            where = _conj(self.where_for(table, self.s.ident(table)) +
                          [f"{self.s.ident(col.name)} IS NOT NULL"])
            sql = (f"SELECT DISTINCT {self.s.ident(col.name)} FROM {self.s.ident(table)}{where} "
                   f"ORDER BY {self.s.ident(col.name)}")
            desc = self.describe()

            def answer(rows):
                vals = [show(r[0]) for r in rows]
                if not vals:
                    return f"There are no {col.name} values in {table}{desc}."
                more = f" (first {LIST_CAP} shown)" if len(vals) > LIST_CAP else ""
                return (f"{len(vals)} distinct {col.name} value{'s' if len(vals) != 1 else ''} "
                        f"in {table}{desc}: {', '.join(vals[:LIST_CAP])}{more}.")
            return Plan(sql, answer)
        # Rows of a table, with the columns asked for.
        if head.kind == "column":
            tables = [t for t in self.tables_named if any(c.table == t for c in head.columns)]
            table = tables[0] if tables else self.pick(head.columns, self.tables_named).table
        else:
            table = self.table_of(head)
            head.role = "head"
        t = self.s.tables[table]
        self._main = table
        asked: list[Column] = []
        for it in self.kinds("column"):
            if it.role or it.extra == "qualifier":
                continue
            cols = [c for c in it.columns if c.table == table]
            if not cols:
                raise Unmappable(f"{it.columns[0].name} is not a column of {table}")
            it.role = "asked"
            if it.extra == "synonym" and len(cols) > 1 and all(
                    set(c.words) & _LOCATION_WORDS for c in cols):
                asked += cols
            else:
                asked.append(self.pick(cols, [table]))
        if wh and wh.value == "when" and not asked:
            if len(t.dates) != 1:
                raise Unmappable(f"'when' needs one date column in {table}")
            asked = t.dates
        if wh and wh.value == "where" and not asked:
            asked = [c for c in t.columns if set(c.words) & _LOCATION_WORDS]
            if not asked:
                raise Unmappable(f"{table} has no column that says where")
        lab = t.label
        if lab is None:
            raise Unmappable(f"{table} has no name or key column to list its rows by")
        cols = list({c.name: c for c in [lab] + asked}.values())
        if len(cols) == 1 and any(c.kind == "value" and c.column is not None
                                  and c.column.name == lab.name and c.table == table
                                  for c in self.conds):
            raise Unmappable(f"the question asks nothing about {self.kinds('value')[0].value!r} "
                             f"that the model can tie to a column of {table}")
        names = ", ".join([self.label_sql(table, self.s.ident(table))]
                          + [self.sql.col(self.s.ident(table), c.name) for c in cols[1:]])
        where = _conj(self.where_for(table, self.s.ident(table)))
        sql = f"SELECT {names} FROM {self.s.ident(table)}{where} ORDER BY {names}"
        desc = self.describe()

        def answer(rows):
            if not rows:
                return f"There are no {table.replace('_', ' ')}{desc}."
            who = show(rows[0][0])
            if lab.name in t.pk:
                who = f"{singular(table.replace('_', ' '))} {who}"
            if len(rows) == 1 and len(cols) == 2:
                return f"The {cols[1].name} of {who} is {show(rows[0][1])}."
            if len(rows) == 1 and len(cols) > 2:
                return f"{who}: " + ", ".join(
                    f"{c.name} {show(v)}" for c, v in zip(cols[1:], rows[0][1:])) + "."
            if len(cols) == 1:
                items = [show(r[0]) for r in rows]
            else:
                items = [f"{show(r[0])} (" + ", ".join(
                    f"{c.name} {show(v)}" for c, v in zip(cols[1:], r[1:])) + ")" for r in rows]
            more = f" (first {LIST_CAP} shown)" if len(items) > LIST_CAP else ""
            noun = table.replace("_", " ")
            return (f"{len(rows)} {noun if len(rows) != 1 else singular(noun)}"
                    f"{desc}: {'; '.join(items[:LIST_CAP])}{more}.")
        return Plan(sql, answer)


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
        schema = Schema(read_schema(observed), "`" if dialect in ("mysql", "mariadb", "sqlite")
                        else '"', dialect in ("mysql", "mariadb"))
        if not schema.tables:
            raise Unmappable("the schema shows no CREATE TABLE statements")

        # First pass: which words must be looked up in the data.
        first = Reader(schema, text).read({})
        hits: dict[str, list] = {}
        if first.probes:
            sql = probe_sql(schema, first.probes)
            result = done.get((QUERY, sql)) if sql else ""
            if result is None:
                return _action("I should find which columns hold "
                               + ", ".join(repr(p) for p in first.probes) + ".", QUERY, sql)
            if error := _tool_error(result):
                raise Unmappable(f"looking up the values failed: {error}")
            try:
                for v, t, c in read_rows(result):
                    hits.setdefault(str(v).lower(), []).append((t, c))
            except (ValueError, SyntaxError, TypeError) as e:
                raise Unmappable(f"the value lookup returned {result!r}") from e
        parse = Reader(schema, text).read(hits)
        if parse.unknown:
            words = ", ".join(repr(w) for w in parse.unknown)
            raise Unmappable(f"I don't know what {words} refers to: it is no table, column "
                             "or value in the database (tables: "
                             + ", ".join(sorted(schema.tables)) + ")")
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
