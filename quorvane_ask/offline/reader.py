"""Reading the question: every word is tied to something, a table or a
column of the schema, a word of the question's shape ("how many", "per",
"more than", "in March 2024"), or a value the database holds.  The result
is a ``Parse``: the items found in the question's order, the values still
to be looked up in the data, and the words tied to nothing.
"""

from __future__ import annotations

import datetime
import decimal
import functools
import re
from dataclasses import dataclass, field
from typing import Any, Optional

from .decline import Unmappable
from .observations import Column
from .schema import Schema
from .words import (COLUMN_SYNONYMS, COMPARATORS, DURATION_WORDS, FLAG_SENSES, FUNCTION_WORDS,
                    ITEM_WORDS,
                    LABEL_WORDS,
                    LIST_REQUESTS, TIME_UNITS, TRADE_VERBS,
                    MAX_WORDS, MIN_WORDS, MONEY_WORDS, MONTHS, OR_MORE, ORDER_PHRASES,
                    PATTERN_PROBE, PRESENTATION_PHRASES,
                    QUANTITY_WORDS, RELATION_VERBS, REQUEST_VERBS, SIZE_WORDS,
                    STATE_WORDS, SUPERLATIVE_COLUMNS, THESAURUS, UNIT_WORDS, US_STATES, Tok,
                    singular, tokenize)


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
    unit: Optional[str] = None  # the unit of time written after a number
    money: bool = False         # the number is written as money ("$100", "50 euros")


@dataclass
class Parse:
    items: list[Item]
    probes: list[str]           # values to look up in the data
    unknown: list[str]          # words tied to nothing, once the probes are answered
    words: list[str] = field(default_factory=list)  # the question's tokens, lower case


_DATE_PREPS = {"in": "in", "during": "in", "on": "in", "before": "before", "after": "after",
               "since": "since", "from": "since", "until": "before", "till": "before",
               "by": "before", "of": "in"}


# Words that are an item of the question's shape on their own.
_ONE_WORD_ITEMS = {
    **dict.fromkeys(("distinct", "different", "unique", "separate"), ("distinct", None)),
    **dict.fromkeys(("average", "mean", "avg"), ("agg", "avg")),
    **dict.fromkeys(("total", "sum", "combined"), ("agg", "sum")),
}
# (op, what is ranked) of two-word superlatives: a count of rows, a date or a price.
_TWO_WORD_SUPERLATIVES = {
    **{("most", w): ("max", "count") for w in ("common", "frequent", "usual")},
    **{("least", w): ("min", "count") for w in ("common", "frequent", "usual")},
    ("most", "recent"): ("max", "date"), ("most", "recently"): ("max", "date"),
    ("most", "expensive"): ("max", ("price", "cost")),
    ("least", "expensive"): ("min", ("price", "cost")),
    ("most", "populous"): ("max", ("population",)), ("least", "populous"): ("min", ("population",)),
}
# "no more than" is tried before "more than"; each word is offered only
# the comparators that open with it.
_COMPARATORS_LONGEST_FIRST = sorted(COMPARATORS, key=lambda p: -len(p[0]))
_COMPARATORS_BY_FIRST: dict[str, list] = {}
for _cmp in _COMPARATORS_LONGEST_FIRST:
    _COMPARATORS_BY_FIRST.setdefault(_cmp[0][0], []).append(_cmp)


# Comparators of dates, read only before another date column ("shipped
# after the required date"); before a date itself they are prepositions.
_LATER_EARLIER = [(("after",), ">"), (("later", "than"), ">"), (("before",), "<"),
                  (("earlier", "than"), "<"), (("sooner", "than"), "<")]
_LATER_EARLIER_WORDS = {w for w, _ in _LATER_EARLIER}
# Factors written as words: "twice the average", "half the list price".
_MULTIPLES = {"twice": decimal.Decimal(2), "double": decimal.Decimal(2),
              "thrice": decimal.Decimal(3), "half": decimal.Decimal("0.5")}
_DETERMINERS = ("the", "their", "its", "his", "her", "that")
# Superlatives that rank by how many when said of "the number of".
_COUNT_SUPERLATIVES = ("most", "highest", "largest", "greatest", "biggest", "least", "fewest",
                       "lowest", "smallest")
# A noun phrase and, in brackets, the same noun said again with what it
# means: "the most active customer (i.e. the customer who ...)".
_RESTATED_RE = re.compile(r"\b(the|a|an)\s+(?:[\w\-]+\s+){0,3}?([A-Za-z]+)\s*\(\s*"
                          r"(?:i\.e\.,?\s*|that is,?\s*)?(?:the|a|an)\s+\2\b([^()]*)\)", re.I)
# "counted from the first ... to the last": the words that lead to a span of
# days, and the states a business is in for as long as the span lasts.
_SPAN_LEADS = ("counted", "measured", "reckoned", "calculated", "starting", "going")
_SPAN_STATES = ("operating", "operational", "open", "running", "trading", "active", "going")
# Verbs before "that <column>": the rows that have that value.
_SHARING_VERBS = ("have", "has", "having", "with", "share", "shares", "sharing")
# Words that tie an average to each row's own group rather than all rows.
_OWN_WORDS = ("their", "its", "his", "her", "own", "same")


# Calendar periods a date is grouped by ("per month", "yearly").
_PERIODS = {"month": "month", "months": "month", "monthly": "month",
            "year": "year", "years": "year", "yearly": "year", "annual": "year",
            "annually": "year"}
# The days of the week, numbered from Sunday as SQL's DAYOFWEEK does.
_WEEKDAYS = {d: n + 1 for n, d in enumerate(
    "sunday monday tuesday wednesday thursday friday saturday".split())}
# Numbers written as words, for "which five actors" and "the top three".
_NUMBER_WORDS = {w: n for n, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve".split())}
_ORDINALS = {w: n for n, w in enumerate(
    "zeroth first second third fourth fifth sixth seventh eighth ninth tenth".split()) if n > 1}


# Roles and the everyday words for them: a rep is a representative, and
# what each role does to the rows that point at it ("the customers she
# looks after").  A key of a table to itself names the row above: its
# manager, its boss, whom it reports to.
_ROLE_SYNONYMS = {"rep": ("representative",), "representative": ("rep",)}
# A sales rep is also called the account's representative or manager.
_ACCOUNT = (("account", "representative"), ("account", "rep"), ("account", "manager"))
_ROLE_ALIASES = {("sale", "rep"): _ACCOUNT, ("sales", "rep"): _ACCOUNT,
                 ("sale", "representative"): _ACCOUNT}
_ROLE_VERBS = {
    **dict.fromkeys(("rep", "representative"), (("represent",), ("serve",), ("look", "after"))),
    "support": (("support",), ("look", "after"), ("serve",)),
    "manager": (("manage",), ("look", "after")),
    "agent": (("handle",), ("serve",)),
}
_SUPERIORS = ("manager", "boss", "supervisor", "superior")
# Words that only join the others in a column's name (HeadOfState).
_GLUE = {"of", "the", "a", "an", "and", "or", "to", "for", "in", "by", "with", "from"}
_SUPERIOR_VERBS = (("manage",), ("supervise",))


def _role_phrases(role) -> list[tuple[tuple, str]]:
    """(phrase, direction) for a role: "up" names the row the key points
    at (the sales rep, the manager), "down" the rows that point at it
    (who reports to, the customers a rep looks after)."""
    words = role.words
    out = [(words, "up")]
    if len(words) > 1 and words[-1] not in ("to", "by", "of"):
        out.append((words[-1:], "up"))  # "each rep"
    out += [(alias, "up") for alias in _ROLE_ALIASES.get(words, ())]
    for k, w in enumerate(words):
        for other in _ROLE_SYNONYMS.get(w, ()):
            out.append((words[:k] + (other,) + words[k + 1:], "up"))
        for verb in _ROLE_VERBS.get(w, ()):
            out.append((verb, "down"))
    if role.self_key:
        # The verbs of the row above ("manage") and of the row below
        # ("report to") both read "down"; the planner turns them round
        # by where the row named stands in the question.
        if words == ("report", "to"):
            out = [(words, "down")] + [((w,), "up") for w in _SUPERIORS] + [
                (v, "down") for v in _SUPERIOR_VERBS]
        elif words[-1] in _SUPERIORS:
            out += [(("report", "to"), "down")] + [(v, "down") for v in _SUPERIOR_VERBS
                                                    if (v, "down") not in out]
    return out


def _month_year(toks: list[Tok], i: int):
    """(year, month or None, length) of a date at toks[i], or None."""
    t = toks[i]
    if t.number is not None and t.number == int(t.number) and 1900 <= t.number <= 2100 \
            and not t.quoted:
        return int(t.number), None, 1
    nxt = toks[i + 1] if i + 1 < len(toks) else None
    if t.number is not None and 1 <= t.number <= 31 and nxt is not None and (
            nxt.low in MONTHS or nxt.text == "May") and i + 2 < len(toks) \
            and toks[i + 2].number is not None and 1900 <= toks[i + 2].number <= 2100:
        # "30 June 2024"
        month = MONTHS.get(nxt.low, 5)
        try:
            return datetime.date(int(toks[i + 2].number), month, int(t.number)), None, 3
        except ValueError:
            raise Unmappable(f"'{t.text} {nxt.text} {toks[i + 2].text}' is no date")
    if (t.low in MONTHS or t.text == "May") and nxt is not None and nxt.number is not None \
            and 1 <= nxt.number <= 31 and i + 2 < len(toks) and toks[i + 2].number is not None \
            and 1900 <= toks[i + 2].number <= 2100:
        # "June 30, 2024"
        try:
            return datetime.date(int(toks[i + 2].number), MONTHS.get(t.low, 5),
                                 int(nxt.number)), None, 3
        except ValueError:
            raise Unmappable(f"'{t.text} {nxt.text} {toks[i + 2].text}' is no date")
    if t.low in MONTHS or (t.low == "may" and t.text == "May"):
        month = MONTHS.get(t.low, 5)
        if i + 1 < len(toks) and toks[i + 1].number is not None \
                and 1900 <= toks[i + 1].number <= 2100:
            return int(toks[i + 1].number), month, 2
        if i + 2 < len(toks) and toks[i + 1].low == "of" and toks[i + 2].number is not None \
                and 1900 <= toks[i + 2].number <= 2100:
            return int(toks[i + 2].number), month, 3  # "August of 2005"
        raise Unmappable(f"'{t.text}' names a month but not the year")
    m = re.fullmatch(r"(\d{4})-(\d{2})-(\d{2})", t.text)
    if m:
        return datetime.date(int(m[1]), int(m[2]), int(m[3])), None, 1
    return None


_CURRENCIES = UNIT_WORDS
# Words after a number that make it money ("pounds" may be a weight).
_MONEY_UNITS = {"eur", "usd", "gbp", "euro", "euros", "dollar", "dollars"}

# How a question says a text column holds some text: the words before the
# text ("have X in their title"), the verbs of where in the text it stands,
# and the words that only introduce the text ("the letter K").
_HOLDING_VERBS = {"have", "has", "having", "with", "contain", "contains", "containing",
                  "include", "includes", "including", "mention", "mentions", "mentioning"}
_POSSESSIVES = ("their", "its", "his", "her", "the")
_AFFIX_VERBS = {**dict.fromkeys(("start", "starts", "starting", "begin", "begins", "beginning",
                                 "started", "began"), "prefix"),
                **dict.fromkeys(("end", "ends", "ending", "ended"), "suffix"),
                **dict.fromkeys(("contain", "contains", "containing"), "infix")}
# Verbs and prepositions that say what a row's long text tells of.
_CONTENT_VERBS = ("featuring", "about", "involving", "depicting", "mentioning", "starring")
# Nouns that only say a member of a set is one ("Trailers content").
_MEMBER_NOUNS = ("content", "contents", "material", "materials", "extra", "extras", "option",
                 "options")
_TEXT_NOUNS = ("word", "words", "letter", "letters", "text", "string", "phrase")
# Adverbs that say how often, in "the most frequently ordered".
_FREQUENCY_ADVERBS = ("frequently", "often", "commonly")


def _run_text(run: list[Tok]) -> str:
    text = " ".join(t.text for t in run)
    return re.sub(r"['’]s$", "", text)


def _variants(text: str) -> list[str]:
    """The value as written, and as the other grammatical number ("no-shows")."""
    low = text.lower()
    out = [text]
    if " " not in text and not text[:1].isupper():
        out += [singular(low), low + "s"]
    head, _, last = text.rpartition(" ")
    if head and last.islower() and singular(last) != last:
        out.append(f"{head} {singular(last)}")  # "sales reps": a job title "Sales Rep"
    if head and last[:1].isupper() and last[1:].islower() and len(last) <= 4:
        # The reader drops a word's final period, which names keep: "Ltd.", "Inc.".
        out.append(text + ".")
    out += _COUNTRY_NAMES.get(text, ())
    return list(dict.fromkeys(out))


# The names a country goes by, as data writes them: "the US" where the
# rows say "USA".  Only as written, in capitals: "us" is a pronoun.
_COUNTRY_NAMES = {}
for _names in (("USA", "US", "United States", "United States of America", "U.S", "U.S.A"),
               ("UK", "United Kingdom", "Great Britain", "U.K")):
    for _name in _names:
        _COUNTRY_NAMES[_name] = tuple(n for n in _names if n != _name)


def _lookup(found: dict, text: str) -> Optional[tuple[str, list]]:
    for v in _variants(text):
        if found.get(v.lower()):
            return v, found[v.lower()]
    return None


def _other_words(t) -> list[tuple[tuple, int]]:
    """(phrase, rank) of everyday words for a table: the thesaurus's words
    for its head noun ("movie" for film, "genre" for film_category), and
    "copy" or "item" for a table of stock whose every row is one item."""
    words = tuple(t.words)
    if not words:
        return []
    others = list(THESAURUS.get(words[-1], ()))
    if words[-1] in ITEM_WORDS and not any(
            c.numeric and set(c.words) & QUANTITY_WORDS for c in t.columns):
        others += ITEM_WORDS[words[-1]]
        # "inventory items", "inventory copies": one noun, not two.
        out = [(words + (w,), 0) for w in ITEM_WORDS[words[-1]]]
    else:
        out = []
    for w in others:
        out.append((words[:-1] + (w,), 0))
        if len(words) > 1:
            out.append(((w,), 2))
    return out


class Reader:
    """Ties the words of one question to the schema."""

    def __init__(self, schema: Schema, question: str):
        self.s = schema
        self.q = question
        text = re.sub(r"(?<=[a-z])_(?=[a-z])", " ", question)
        text = re.sub(r"\b(what|who|where|which|when|how|that|there|it)['’]s\b", r"\1 is", text,
                      flags=re.I)
        text = re.sub(r"n['’]t\b", " not", text)
        # Ways of saying what adds nothing to the reading: "any single order"
        # is any order, "order(s)" orders, a "staff member" the staff, and
        # "categorized as X" is in X.
        text = re.sub(r"\b(any|a) single\b", r"\1", text, flags=re.I)
        text = re.sub(r"(?<=\w)\((s|es)\)", r"\1", text)
        text = re.sub(r"\b(staff|team|crew|faculty) members?\b", r"\1", text, flags=re.I)
        text = re.sub(r"\b(categori[sz]ed|classified|labell?ed|tagged) as\b", "in", text,
                      flags=re.I)
        # "the most active customer (the customer that has rented the most
        # films)": words in brackets that name the noun before them again
        # say what the words before it mean, and are read in their place.
        text = _RESTATED_RE.sub(lambda m: f"{m[1]} {m[2]}{m[3]}", text)
        # "running time" is how long a thing runs, not a time of day.
        text = re.sub(r"\b(running|run) (time|times)\b", "duration", text, flags=re.I)
        text = re.sub(r"['’](ve|re|ll|d)\b", lambda m: " " + {"ve": "have", "re": "are", "ll": "will",
                                                             "d": "would"}[m[1]], text)
        self.toks = tokenize(text)
        for t, nxt in zip(self.toks, self.toks[1:]):
            if nxt.low == "up":
                t.forms |= {f + "up" for f in t.forms}  # "signed up": signup
        self.items: list[Item] = []
        self.vocab = self._vocabulary()
        self.by_first: dict[str, list[int]] = {}
        for k, (phrase, _, _) in enumerate(self.vocab):
            if phrase:
                self.by_first.setdefault(phrase[0], []).append(k)

    # -- the schema's words -------------------------------------------------
    def _vocabulary(self) -> list[tuple[tuple, Item, int]]:
        """(phrase, item, rank) for every table and column; lower rank wins."""
        out = []
        for t in self.s.tables.values():
            out.append((tuple(t.words), Item("table", 0, table=t.name), 0))
            if len(t.words) > 1:
                out.append(((t.words[-1],), Item("table", 0, table=t.name), 2))
            for phrase, rank in _other_words(t):
                out.append((phrase, Item("table", 0, table=t.name), rank))
            for c in t.columns:
                if c.name in t.fk_columns or (c.name in t.pk and c.words == ["id"]):
                    continue
                out.append((tuple(c.words), Item("column", 0, table=t.name, column=c), 0))
                generic = {"id", "date", "at", "on", "no", "number", "code", "full", "is",
                           "has", "time", "year", "day"}
                nouns = [w for w in c.words if w not in UNIT_WORDS and w != "per"]
                for w in c.words:
                    # A number column is named by its head word ("price" for
                    # unit_price, "weight" for weight_kg), never by a modifier
                    # ("units" is no price) or a unit.
                    if c.numeric and (not nouns or w != nouns[-1]) and not (
                            "per" in c.words and nouns and w == nouns[0]):
                        continue
                    if w in UNIT_WORDS or w == "per":
                        continue
                    if self._of_other_table(c, w):
                        continue
                    if len(c.words) > 1 and w not in generic and not w.isdigit() \
                            and w not in _GLUE:  # "of" alone is no HeadOfState
                        out.append(((w,), Item("column", 0, table=t.name, column=c), 1))
        for role in self.s.roles:
            for phrase, way in _role_phrases(role):
                out.append((phrase, Item("role", 0, table=role.table, value=way, extra=role), 0))
        return out

    def _of_other_table(self, c: Column, w: str) -> bool:
        """Whether the column's name says its `w` is another table's
        ("rental_duration" in a film table is how long a rental lasts):
        the word alone does not name it."""
        nouns = {tb.words[-1] for tb in self.s.tables.values()
                 if tb.words and tb.name != c.table}
        own = set(self.s.tables[c.table].words)
        return any(x in nouns and x not in own for x in c.words if x != w)

    def _synonym_columns(self, low: str, tables=None) -> list[Column]:
        """The columns an everyday word may stand for ("live": a city),
        less those whose name gives the word's sense to another table."""
        syn = COLUMN_SYNONYMS.get(low)
        if not syn:
            return []
        cols = self._columns_like(syn, tables)
        own = [c for c in cols if not any(self._of_other_table(c, w) for w in c.words)]
        return own or cols

    def _match_vocab(self, i: int) -> Optional[tuple[int, list[Item]]]:
        best = None
        t = self.toks[i]
        if t.used or t.quoted:
            return None
        # Only the phrases that open with one of the word's forms, in the
        # vocabulary's order (ties keep it).
        entries = sorted(k for f in t.forms for k in self.by_first.get(f, ()))
        for k in entries:
            phrase, item, rank = self.vocab[k]
            n = len(phrase)
            if i + n > len(self.toks):
                continue
            if rank == 1 and item.kind == "column" and t.low.endswith("ing") \
                    and phrase[0] not in (t.low, singular(t.low)):
                # A noun in -ing is a word of its own: a "rating" is no
                # tax_rate, though "shipping city" is still ship_city.
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
                if c.name in t.fk_columns or (c.name in t.pk and not c.text):
                    # A number that keys the rows says nothing of where or
                    # how much: city_id is no city.
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
        self.found = found
        self.role_probes: list[str] = []
        # Values the database was found to hold, longest first: a product
        # called "Cast Iron Pan" is one value, not three unknown words.  A
        # run longer than the longest value found cannot be one (its
        # singular drops at most three letters), so only runs up to that
        # length are tried: the work grows with the question, not with its
        # square or cube.
        self._text_patterns()
        self._set_members()
        self._span_of_days()
        longest = max(map(len, found), default=-4) + 4
        if any(n.lower() in found for n in _COUNTRY_NAMES):
            longest = max(longest, max(map(len, _COUNTRY_NAMES)))  # "the United States" for "USA"
        runs = []
        for i in range(len(toks)):
            width = -1
            for j in range(i, len(toks)):
                width += len(toks[j].text) + 1
                if width > longest:
                    break
                runs.append((j + 1 - i, i))
        runs.sort(key=lambda r: (-r[0], r[1]))
        for n, i in runs:
            run = toks[i:i + n]
            if any(t.used for t in run):
                continue
            if n == 1 and self._key_after_noun(i):
                continue  # "product ID" is the product's key, not the state of Idaho
            hit = _lookup(found, _run_text(run))
            if hit and (n > 1 or run[0].quoted or run[0].cap and i > 0 or (
                    # "paid by card": a plain word the data holds, after a
                    # preposition of means, that names nothing of the schema.
                    i > 0 and toks[i - 1].low in ("by", "with", "via", "using")
                    and self._match_vocab(i) is None and run[0].low not in FUNCTION_WORDS)):
                self.use(i, n, Item("value", i, value=hit[0], extra=hit[1]))
        self._roles_over_values()
        self._verbs_of_columns()
        self._state_names()
        self._role_words()
        self._request_words()
        self._grammar()
        self._shared_by()
        self._order_words()
        self._schema_words()
        self._flags()
        self._same_pair()
        probes, unknown = [], []
        if any(t.low == "will" and not t.text[:1].isupper() or t.low == "gonna" for t in toks) or \
                any(a.low == "going" and b.low == "to" for a, b in zip(toks, toks[1:])):
            raise Unmappable("the question asks about the future, which the data does not hold")
        for i, t in enumerate(toks):
            if not t.used and (t.low in FUNCTION_WORDS
                               or (t.low in _CURRENCIES and (self._after_number(i) or (
                                   i > 0 and toks[i - 1].low == "in")))):
                t.used = "function"
            elif not t.used and t.forms & TRADE_VERBS and self.s.line_items and any(
                    it.kind in ("qty", "money") or it.kind == "table" and it.end <= i
                    and it.table in self._sold_tables() for it in self.items):
                # "units sold", "plants sold" are the order lines' units and
                # things, though a table of stock movements may call one of its
                # kinds "Sold" too.
                t.used = "function"
            elif not t.used and t.forms & RELATION_VERBS:
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
                k = i
                while k > max(i - 2, 0) and toks[k - 1].low not in FUNCTION_WORDS \
                        and not toks[k - 1].quoted and toks[k - 1].used not in ("function", "value"):
                    # "sales manager", "sales support agent": a job title
                    # whose first words the reader took for its own.
                    k -= 1
                    probes += _variants(_run_text(toks[k:j]))
                    if j - k == 2 and (title := self._shortened_title(k, j, probes)):
                        i = j = title
                        break
                if i == j:
                    continue
                for k, t in enumerate(run):
                    hit = _lookup(found, _run_text([t]))
                    if hit:
                        self.use(i + k, 1, Item("value", 0, value=hit[0], extra=hit[1]))
                    elif cols := self._abbreviated(t.low):
                        self.use(i + k, 1, Item("column", 0, columns=cols))
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
            if toks[i].cap and not toks[i].quoted and (i > 0 or (len(toks) > 1 and toks[1].cap)) \
                    and (i == 0 or not toks[i - 1].cap):
                j = i
                while j < len(toks) and toks[j].cap and not toks[j].quoted:
                    j += 1
                probes += _variants(_run_text(toks[i:j]))
                # A title goes on over small words and a number: "Balls to
                # the Wall", "Restless and Wild", "Greatest Hits 2".
                k = j
                while k < len(toks) and not toks[k].quoted:
                    if toks[k].cap:
                        k += 1
                    elif toks[k].number is not None and toks[k - 1].cap:
                        k += 1
                        break
                    elif toks[k].low in FUNCTION_WORDS and any(
                            x.cap and not x.quoted for x in toks[k + 1:k + 3]):
                        k += 1
                    else:
                        break
                while k > j and not toks[k - 1].cap and toks[k - 1].number is None:
                    k -= 1
                if k > j:
                    probes += _variants(_run_text(toks[i:k]))
                if i == 0 and j > 2:
                    # "Which IT Staff ...": the question's first word is
                    # capitalised only for opening the sentence.
                    probes += _variants(_run_text(toks[1:j]))
        for t in toks:
            if t.quoted:
                probes.append(t.text)
                if not t.used:
                    unknown.append(t.text)
        probes += self.role_probes
        self._ranked_by_verb()
        self._traded_columns()
        self.items.sort(key=lambda it: it.at)
        self._people()
        return Parse(self.items, list(dict.fromkeys(probes)), list(dict.fromkeys(unknown)),
                     [t.low for t in toks])

    # -- text inside a column ----------------------------------------------------
    def _text_patterns(self) -> None:
        """What a text column must hold, said in words: "ARMAGEDDON in their
        title", "names starting with K or Q", "a digit in their name", "the
        initials JD".  Read before the values are looked up, so the text
        searched for is neither probed as a value nor taken for one (a
        letter "R" may also be a rating); the text is kept as written."""
        toks = self.toks
        i = 0
        while i < len(toks):
            after = None
            if not toks[i].used:
                after = (self._held_in_column(i) or self._starts_with(i)
                         or self._initials(i) or self._featuring(i))
            i = after if after else i + 1

    def _span_of_days(self) -> None:
        """"the number of days from the first rental to the last one", "how
        many days between the first and the last order": the days between
        the earliest and the latest date of a table's rows.  Read before the
        grammar, where "the last one" would be the last N of something."""
        toks = self.toks
        counted = None
        for i in range(len(toks) - 2):
            if (toks[i].low, toks[i + 1].low, toks[i + 2].low) in (
                    ("number", "of", "days"), ("how", "many", "days")):
                counted = i
                break
        if counted is None:
            return
        for i in range(counted + 3, len(toks)):
            got = self._span_at(i)
            if got is None:
                continue
            end, table = got
            self.use(i, end - i, Item("span", counted, table=table, value="day"))
            for t in toks[counted:counted + 3]:
                t.used = "span"
            if i > 0 and toks[i - 1].low in _SPAN_LEADS:
                toks[i - 1].used = "function"  # "counted from the first ..."
            for k in range(counted + 3, i):
                # "the days the company has been operating", "how many days
                # passed": the span itself.
                if toks[k].low in _SPAN_STATES and toks[k - 1].low == "been" or (
                        toks[k].low in ("passed", "elapsed") and k == counted + 3):
                    toks[k].used = "function"
            return

    def _span_at(self, i: int) -> Optional[tuple[int, str]]:
        """(index after it, table) of "from the first X to the last (one)",
        "between the first X and the last X", "between the first and (the)
        last X" at i."""
        toks = self.toks
        close = {"from": "to", "between": "and"}.get(toks[i].low)
        if close is None or self._low(i + 1) != "the" or self._low(i + 2) != "first":
            return None
        j = i + 3
        table = self._span_table(j)
        if table is not None:
            j += table[0]
        if self._low(j) != close:
            return None
        j += 1 + (self._low(j + 1) == "the")
        if self._low(j) != "last":
            return None
        j += 1
        second = self._span_table(j)
        if second is not None:
            if table is not None and second[1] != table[1]:
                return None
            table, j = second, j + second[0]
        elif table is not None and self._low(j) in ("one", "ones"):
            j += 1
        if table is None:
            return None
        return j, table[1]

    def _span_table(self, j: int) -> Optional[tuple[int, str]]:
        got = self._match_vocab(j) if j < len(self.toks) else None
        if not got or not all(it.kind == "table" for it in got[1]) \
                or len({it.table for it in got[1]}) != 1:
            return None
        return got[0], got[1][0].table

    def _set_members(self) -> None:
        """A member a SET column declares ("Behind the Scenes"), named in the
        question: a row holds it among others, so it is never looked up as
        the column's whole value.  One word counts only when written with a
        capital or in quotes, or beside the column's own words."""
        toks = self.toks
        members = []
        for t in self.s.tables.values():
            for c in t.columns:
                if c.base != "SET":
                    continue
                for m in c.values:
                    words = [w.low for w in tokenize(m)]
                    if words:
                        members.append((words, m, t.name, c))
        members.sort(key=lambda x: -len(x[0]))
        said = {f for t in toks for f in t.forms}
        for words, member, table, col in members:
            n = len(words)
            for i in range(len(toks) - n + 1):
                run = toks[i:i + n]
                if any(t.used for t in run) or not all(
                        t.low == w or singular(t.low) == singular(w) for t, w in zip(run, words)):
                    continue
                if n == 1 and not (run[0].cap and i > 0) and not set(col.words) & said:
                    continue
                self.use(i, n, Item("value", i, value=member, extra=[(table, col.name)],
                                    op="member"))
                nxt = toks[i + n] if i + n < len(toks) else None
                if nxt is not None and not nxt.used and nxt.low in _MEMBER_NOUNS:
                    nxt.used = "function"  # "Behind the Scenes content"

    def _pattern_text(self, j: int, letters: bool = False) -> Optional[tuple[str, int, bool]]:
        """(text, index after it, whether it is a whole word) of the text a
        question searches for at j: quoted, in capitals ("ARMAGEDDON", "K"),
        or any word after "the word" or "the letter"."""
        toks = self.toks
        noun = None
        if j + 1 < len(toks) and toks[j].low in ("the", "a") \
                and toks[j + 1].low in _TEXT_NOUNS:
            j, noun = j + 2, toks[j + 1].low
        elif j < len(toks) and toks[j].low in _TEXT_NOUNS:
            j, noun = j + 1, toks[j].low
        if j >= len(toks) or toks[j].used:
            return None
        t = toks[j]
        if letters and not (t.quoted or (len(t.text) == 1 and t.text.isalpha())):
            return None
        if t.quoted and t.text not in self.q:
            # The words of names were split at their underscores: the text
            # searched for must be the user's own.
            raise Unmappable(f"the offline model cannot search for {t.text!r} as written")
        if t.quoted or t.number is not None or (t.text.isupper() and t.text.isalpha()) or (
                noun and re.fullmatch(r"[\w'’\-.&]+", t.text)):
            return t.text, j + 1, noun in ("word", "words")
        return None

    def _text_column_at(self, i: int) -> Optional[tuple[list[Column], int]]:
        """The text columns named by the words at i, and how many words."""
        if i >= len(self.toks):
            return None
        got = self._match_vocab(i)
        if not got or not all(it.kind == "column" for it in got[1]):
            return None
        cols = [it.column for it in got[1] if it.column.text]
        return (cols, got[0]) if cols else None

    def _held_in_column(self, i: int) -> Optional[int]:
        """"have ARMAGEDDON in their title", "with a digit in their name"."""
        toks = self.toks
        if toks[i].low not in _HOLDING_VERBS:
            return None
        j = i + 1
        if self._low(j) in ("a", "any") and self._low(j + 1) in ("digit", "digits", "number",
                                                                 "numbers", "numeral"):
            text, k, op = None, j + 2, "digit"
        elif self._low(j) in ("digits", "numbers", "numerals"):
            text, k, op = None, j + 1, "digit"
        else:
            got = self._pattern_text(j)
            if got is None:
                return None
            text, k, word = got
            op = "word" if word else "infix"
        if self._low(k) != "in" or self._low(k + 1) not in _POSSESSIVES:
            return None
        col = self._text_column_at(k + 2)
        if col is None:
            return None
        end = k + 2 + col[1]
        self.use(i, end - i, Item("text", i, op=op, value=[text] if text else [],
                                  columns=col[0]))
        return end

    def _starts_with(self, i: int) -> Optional[int]:
        """"starting with the letters K and Q", "whose name ends with 'son'",
        "titles containing LOVE": the column named right before, else the
        one that names the rows of the table (kept for the plan)."""
        toks = self.toks
        op = _AFFIX_VERBS.get(toks[i].low)
        if op is None or (op != "infix" and self._low(i + 1) != "with"):
            return None
        j = i + 1 + (op != "infix")
        letters = self._low(j) in ("the", "a") and self._low(j + 1) in ("letter", "letters") \
            or self._low(j) in ("letter", "letters")
        texts = []
        while True:
            got = self._pattern_text(j, letters)
            if got is None:
                break
            texts.append(got[0])
            j = got[1]
            if got[2]:
                # "starting with the word THE" is not "THEORY"
                op = {"prefix": "word prefix", "suffix": "word suffix"}.get(op, "word")
            # "K and Q", "K, Q or X": a value starts with one of them.
            if op in ("infix", "word") or self._low(j) not in ("and", "or", ",") or \
                    self._pattern_text(j + 1, letters) is None:
                break
            j += 1
        if not texts:
            return None
        cols: list[Column] = []
        start = i
        for n in (3, 2, 1):
            got = self._text_column_at(i - n) if i - n >= 0 else None
            if got is not None and got[1] == n and not any(
                    t.used for t in toks[i - n:i]):
                cols, start = got[0], i - n
                break
        if op in ("infix", "word") and not cols:
            return None  # "films containing X": in which of their texts?
        self.use(start, j - start, Item("text", start, op=op, value=texts, columns=cols))
        return j

    def _featuring(self, i: int) -> Optional[int]:
        """"movies featuring a robot", "books about a dragon": a thing the
        rows' long text tells of, named with an article and tied to nothing
        else; a word the schema or the data holds is left to them."""
        toks = self.toks
        if toks[i].low not in _CONTENT_VERBS or self._low(i + 1) not in ("a", "an") \
                or i == 0 or toks[i - 1].used:
            return None
        j = i + 2
        if j >= len(toks) or toks[j].used or toks[j].quoted or not re.fullmatch(
                r"[a-z]{3,}", toks[j].text) or toks[j].low in FUNCTION_WORDS \
                or self._match_vocab(j) is not None:
            return None
        end = j + 1
        if end < len(toks) and not toks[end].used and toks[end].low not in FUNCTION_WORDS:
            return None  # "featuring a young actor": more than one word
        self.role_probes += _variants(toks[j].text)
        if _lookup(self.found, toks[j].text):
            return None
        self.use(i, end - i, Item("text", i, op="word", value=[singular(toks[j].low)],
                                  extra="content"))
        return end

    def _initials(self, i: int) -> Optional[int]:
        """"customers with initials JD": the first letters of a person's first
        and last name."""
        toks = self.toks
        j = i + 1 if toks[i].low in ("initials", "initial") else None
        if j is not None and self._low(j) in ("are", "is", "of"):
            j += 1  # "whose initials are JD"
        if j is None or j >= len(toks) or toks[j].used:
            return None
        t = toks[j]
        if not (t.quoted or t.text.isupper()) or not re.fullmatch(r"[A-Za-z]{2}", t.text):
            return None
        start = i - 1 if i > 0 and toks[i - 1].low == "the" else i
        self.use(start, j + 1 - start, Item("text", start, op="initials", value=[t.text]))
        return j + 1

    def _verbs_of_columns(self) -> None:
        """"rated R", "paid by Credit Card": a participle whose noun in -ing
        or -ment is in the name of the column that holds the value right
        after it (rating, payment_type) says which column that is, though
        the value may be held elsewhere too and the verb's stem names
        another column (rental_rate, paid_date)."""
        values = {it.at: it for it in self.items if it.kind == "value"}
        for i, t in enumerate(self.toks[:-1]):
            if t.used or not (t.low.endswith("ed") or t.forms - {t.low, singular(t.low)}):
                continue
            j = i + 2 if self._low(i + 1) in ("as", "by", "with", "in", "using", "via") \
                and i + 2 < len(self.toks) else i + 1
            v = values.get(j)
            if v is None:
                continue
            # rate: rating, pay: payment
            stems = t.forms | {f[:-1] for f in t.forms if f.endswith("e")}
            nouns = {f + end for f in stems for end in ("ing", "ment")}
            named = [(tb, c) for tb, c in v.extra
                     if nouns & set(self.s.tables[tb].column(c).words)]
            if named:
                v.extra = named
                v.op = "named"  # its column is said, however short the value
                for x in self.toks[i:j]:
                    x.used = "function"

    def _roles_over_values(self) -> None:
        """"The sales rep of Atelier graphique": words of a role that the
        data also holds as a value (a job title "Sales Rep") name the role
        when the question also names a row holding that role's key; the two
        readings then agree on who is meant, and only the role says whose."""
        values = [it for it in self.items if it.kind == "value" and isinstance(it.extra, list)]
        for it in values:
            n = it.end - it.at
            for t in self.toks[it.at:it.end]:
                t.used = None
            got = self._match_vocab(it.at)
            for t in self.toks[it.at:it.end]:
                t.used = "value"
            if not got or got[0] != n or not all(r.kind == "role" for r in got[1]):
                continue
            roles = [r.extra for r in got[1]]
            holders = [o for o in values if o is not it and any(
                tb == role.table for role in roles for tb, _ in o.extra)]
            # Or the rows holding the key are named and the value's own are
            # not: "customers who have no sales rep".
            tables = {x.table for k in range(len(self.toks)) if not self.toks[k].used
                      for x in (self._match_vocab(k) or (0, []))[1] if x.kind == "table"}
            named = {role.table for role in roles} & tables and not {role.ref for role in roles} & tables
            if (holders or named) and all(tb == role.ref for role in roles for tb, _ in it.extra):
                self.items.remove(it)
                for t in self.toks[it.at:it.end]:
                    t.used = None
                self._role_at_anyway(it.at)

    def _traded_columns(self) -> None:
        """"The top selling products by quantity": where the question speaks
        of trade, a quantity or price that several tables keep is the order
        lines' own."""
        li = self.s.line_items
        if not li or not any(t.forms & TRADE_VERBS or t.low in ("selling", "sales")
                             for t in self.toks):
            return
        for it in self.items:
            if it.kind == "column" and len(it.columns) > 1:
                own = [c for c in it.columns if c.table == li[0] and c.name == li[1].name]
                if len(own) == 1:
                    it.columns = own

    def _ranked_by_verb(self) -> None:
        """"The most rented film" is the film with the most rentals: the
        superlative and the verb's table move after the noun they rank, as
        that wording has them."""
        if self.s.line_items and not any(it.kind in ("qty", "money") for it in self.items):
            # "the most sold track", "which track was sold the most": ranked
            # by the units the order lines record.
            n = len(self.toks)
            for k, t in enumerate(self.toks):
                if not t.forms & TRADE_VERBS or t.used not in (None, "soft", "function"):
                    continue
                sup = next((it for it in self.items if it.kind == "super"
                            and it.value in ("most", "least")
                            and (it.end == k or (k < it.at <= k + 2 and it.end == n))), None)
                if sup is None:
                    continue
                # op "verb": units only by the verb's reading, which the plan
                # checks against the money the same sales took in.
                q = Item("qty", k, end=k + 1, extra="best" if sup.end == k else None, op="verb")
                if sup.end != k:
                    q.at = sup.end
                else:
                    q.at = sup.at  # moved after the noun below
                t.used = "qty"
                self.items.append(q)
                break
        for q in [it for it in self.items if it.kind == "qty" and it.extra == "best"]:
            # "the best-selling product": the product with the most units sold.
            sup = next((it for it in self.items if it.kind == "super" and it.at == q.at), None)
            noun = next((it for it in self.items if it.kind == "table" and it.at == q.end), None)
            if sup is not None and noun is not None:
                sup.at, q.at = noun.end, noun.end + 1
        for v in [it for it in self.items if it.kind == "table" and (
                it.extra == "verb" or it.end - it.at == 1 and self.toks[it.at].low.endswith("ed"))]:
            sup = next((it for it in self.items if it.kind == "super" and it.end == v.at), None)
            noun = next((it for it in self.items if it.kind == "table" and it.at == v.end), None)
            if sup is not None and noun is not None and sup.value in ("most", "least"):
                sup.at, v.at = noun.end, noun.end + 1
                continue
            # "Which film was rented the most": the same, the verb before.
            sup = next((it for it in self.items if it.kind == "super" and it.value in (
                "most", "least") and v.end <= it.at <= v.end + 1 and it.end == len(self.toks)), None)
            if sup is not None:
                v.at = sup.end

    def _role_at_anyway(self, i: int) -> None:
        n, items = self._match_vocab(i)
        self.use(i, n, Item("role", i, value=_run_text(self.toks[i:i + n]),
                            extra=[(it.extra, it.value) for it in items]))

    def _key_after_noun(self, i: int) -> bool:
        """Whether "ID" at i follows the noun of a table ("the order ID")."""
        if i == 0 or self.toks[i].low != "id" or self.toks[i].quoted:
            return False
        return any(self._noun_ending(k, i) for k in range(max(0, i - 3), i)) \
            or self._in_column_name(i)  # "gadget ID": the column gadget_id

    def _noun_ending(self, k: int, i: int) -> Optional[str]:
        """The table whose noun is the words k..i exactly, or None."""
        got = self._match_vocab(k)
        if not got or k + got[0] != i:
            return None
        tables = [it.table for it in got[1] if it.kind == "table"]
        return tables[0] if len(tables) == 1 else None

    def _key_columns(self, table: str) -> list[Column]:
        """The columns "<table> ID" may name: the table's own key, and the
        keys of other tables that point at it (an order's customer ID); the
        plan keeps those of the table it lists."""
        t = self.s.tables[table]
        if len(t.pk) != 1:
            return []
        out = [t.column(t.pk[0])]
        for other in self.s.tables.values():
            out += [other.column(c) for c, ref, refcol in other.fks
                    if ref == table and refcol == t.pk[0] and other.name != table]
        return out

    def _state_names(self) -> None:
        """"the state of Washington" where a column of states holds "WA":
        the name is read as the two letters, in a column that says it
        holds states; elsewhere it stays a word to tie like any other."""
        toks = self.toks
        for n in (2, 1):
            for i in range(len(toks) - n + 1):
                run = toks[i:i + n]
                if any(t.used or not t.cap for t in run):
                    continue
                code = US_STATES.get(" ".join(t.low for t in run))
                if code is None:
                    continue
                self.role_probes.append(code)
                places = [p for p in self.found.get(code.lower(), ())
                          if set(self.s.tables[p[0]].column(p[1]).words) & set(STATE_WORDS)]
                if places:
                    self.use(i, n, Item("value", i, value=code, extra=places))

    def _abbreviated(self, word: str) -> list[Column]:
        """The one column whose name holds `word` cut short ("independent"
        for IndepYear, "description" for item_desc): a word of four letters
        or more that the question's word opens with and runs well past."""
        cols = [c for t in self.s.tables.values() for c in t.columns
                if c.name not in t.fk_columns and any(
                    len(w) >= 4 and word.startswith(w) and len(word) >= len(w) + 3
                    for w in c.words)]
        return cols if len(cols) == 1 else []

    def _shortened_title(self, k: int, j: int, probes: list[str]) -> Optional[int]:
        """"sales agent" for the one job title "Sales Support Agent": two
        words that open and close a single value the data holds, with a word
        or two left out between them.  Looked up as a pattern; tied (the
        words at k..j, the reader's own readings of them dropped) only where
        exactly one value fits.  Returns where the words end."""
        first, last = self.toks[k].low, singular(self.toks[j - 1].low)
        if not (first.isalpha() and last.isalpha()):
            return None
        probes.append(f"{PATTERN_PROBE}{first} % {last}")
        shape = re.compile(rf"{re.escape(first)} (?:\S+ ){{1,2}}{re.escape(last)}")
        fits = [v for v in self.found if shape.fullmatch(v)]
        if len(fits) != 1 or len(self.found[fits[0]]) != 1:
            return None
        self.items[:] = [it for it in self.items if not (k <= it.at < j)]
        self.use(k, j - k, Item("value", k, value=fits[0], extra=self.found[fits[0]]))
        return j

    def _role_words(self) -> None:
        """Roles of two words or more ("sales rep", "reports to"), read
        before the words of the question's shape take "sales" or "to"."""
        for i in range(len(self.toks)):
            got = self._match_vocab(i)
            if got and got[0] > 1:
                self._role_at(i)

    def _role_at(self, i: int) -> int:
        """How many words at i name a role, tied as one; 0 when none do or
        the data holds them as a value."""
        got = self._match_vocab(i)
        if not got or not all(it.kind == "role" for it in got[1]) \
                or self._role_is_value(i, got[0]):
            return 0
        n, items = got
        # extra: (role, which way the words point) for each role they name
        self.use(i, n, Item("role", i, value=_run_text(self.toks[i:i + n]),
                            extra=[(it.extra, it.value) for it in items]))
        return n

    def _role_is_value(self, i: int, n: int) -> bool:
        """Whether the words of a role ("sales reps") are also a value the
        data holds (a job title "Sales Rep"); looked up before they are
        read as the role."""
        forms = []
        # With the word before ("sales reps" where only "reps" is the role).
        for run in (self.toks[i:i + n], self.toks[max(i - 1, 0):i + n]):
            forms += [_run_text(run), " ".join([t.text for t in run[:-1]] + [singular(run[-1].low)])]
        self.role_probes += forms
        return any(_lookup(self.found, f) for f in forms)

    def _people(self) -> None:
        """"Gerard Hernandez": a first name right before a last name of the
        same table is one person, each word tied to its own column, though
        either word may also be the other name of someone else."""
        values = [it for it in self.items if it.kind == "value"]
        for a, b in zip(values, values[1:]):
            if a.end != b.at or not isinstance(a.extra, list) or not isinstance(b.extra, list):
                continue
            for t in sorted({p[0] for p in a.extra} & {p[0] for p in b.extra}):
                pair = self.s.tables[t].person_name
                if pair and (t, pair[0].name) in a.extra and (t, pair[1].name) in b.extra:
                    a.extra, b.extra = [(t, pair[0].name)], [(t, pair[1].name)]
                    break

    def _sold_tables(self) -> set[str]:
        """The tables order lines refer to (the things sold) and the lines
        themselves."""
        li = self.s.line_items[0]
        return {li} | {ref for _, ref, _ in self.s.tables[li].fks}

    def _relates(self, i: int) -> bool:
        """Whether the verb at i only says how things named in the question
        are linked: it has an object after it, or two tables are named.
        "How many orders are on hold" has neither, and 'hold' stays unknown."""
        rest = next((t for t in map(self.toks.__getitem__, range(i + 1, len(self.toks)))
                     if t.used not in ("soft", "function") and t.low not in FUNCTION_WORDS), None)
        if rest is not None and rest.used:
            return True
        if rest is None and i + 1 < len(self.toks):
            return True  # "which countries do customers come from?"
        if self._speaks_as_business:
            return True  # "the drivers we employ": the business and its rows
        if self.toks[i].forms & (TRADE_VERBS | {"make", "earn", "generate", "bring", "take"}) \
                and any(it.kind in ("qty", "money") for it in self.items):
            return True  # "units ... sold", "money made": the units or the money of the sales
        prev = self.toks[i - 1] if i > 0 else None
        if prev is not None and prev.used == "neg":
            return True  # "books never borrowed": rows with no related rows
        if prev is not None and prev.low in ("most", "least") and self.toks[i].forms & TRADE_VERBS \
                and self.s.line_items:
            return True  # "the most sold": ranked by the order lines
        if self.toks[i].forms & TRADE_VERBS and self.s.line_items \
                and any(it.kind == "table" and it.table in self._sold_tables() for it in self.items):
            return True  # "products not sold": products with no order lines
        if prev is not None and prev.used in ("table", "column", "value"):
            return True  # "the lowest rate charged": a participle after its noun
        tables = {it.table for it in self.items if it.kind == "table"}
        tables |= {t for it in self.items if it.kind == "value" for t, _ in it.extra}
        tables |= {c.table for it in self.items if it.kind == "column" for c in it.columns}
        return len(tables) >= 2

    def _request_words(self) -> None:
        """The verb that opens a request ("Determine", "Retrieve", after
        "Could you please") and the phrases that say how to present the
        answer ("in descending order", "rounded to 2 decimal places",
        "sorted by price"): grammar, tied to no table, column or value."""
        toks = self.toks
        i = 0
        while i < len(toks) and toks[i].low in FUNCTION_WORDS and toks[i].low not in REQUEST_VERBS:
            i += 1
        if i < len(toks) and not toks[i].used and toks[i].low in REQUEST_VERBS:
            if toks[i].low in LIST_REQUESTS:
                self.use(i, 1, Item("list", i))
            else:
                toks[i].used = "function"
        for i in range(len(toks)):
            for phrase in PRESENTATION_PHRASES:
                n = len(phrase)
                if i + n > len(toks) or not all(
                        not toks[i + j].used and (toks[i + j].low == w or (
                            w == "#" and toks[i + j].number is not None))
                        for j, w in enumerate(phrase)):
                    continue
                if "report" in phrase or "list" in phrase or "query" in phrase \
                        or "showing" in phrase:
                    self.use(i, n, Item("list", i))  # "a report showing": rows asked for
                elif "#" in phrase and 0 <= toks[i + phrase.index("#")].number <= 10 \
                        and toks[i + phrase.index("#")].number % 1 == 0:
                    # "rounded to 2 decimal places": how to write the figures.
                    places = int(toks[i + phrase.index("#")].number)
                    self.use(i, n, Item("round", i, value=places))
                else:
                    for t in toks[i:i + n]:
                        t.used = "function"
                break
        for i in range(len(toks) - 1):
            # "the contact name" of a company is the person's, where no
            # column says "contact" itself; the plan makes sure it is one.
            if toks[i].low in ("contact", "full") and toks[i + 1].low in ("name", "names") \
                    and not toks[i].used and toks[i].low not in self.by_first:
                toks[i].used = "function"
        self.ordering = []
        i = 0
        while i < len(toks):
            got = self._order_phrase(i)
            if got is None:
                i += 1
                continue
            n, op, by, ranked = got
            if self._low(i + n) == "by":
                # "sorted by price": the order of the rows, not a grouping
                # nor a column the answer is about.
                j = i + n + 1
                while j < len(toks) and toks[j].low in FUNCTION_WORDS and not toks[j].used:
                    j += 1
                got = self._match_vocab(j) if j < len(toks) else None
                if got:
                    by = [it.column for it in got[1] if it.kind == "column"] or None
                n = (j + got[0] if got else (
                    j + 1 if j < len(toks) and toks[j].low in MONEY_WORDS else j)) - i
            for t in toks[i:i + n]:
                t.used = "order"
            last = self.ordering[-1] if self.ordering else None
            if last is not None and last[0] + last[1] == i and (last[2] is None or op is None):
                # "sorted by shipping fee from most expensive to cheapest",
                # "sorted by profit descending": one order, its column from
                # the first phrase and its direction from the second.
                self.ordering[-1] = (last[0], last[1] + n, last[2] or op, last[3] or by,
                                     last[4] or ranked)
            else:
                self.ordering.append((i, n, op, by, ranked))
            i += n

    def _superlative_words(self, i: int) -> Optional[tuple[int, str, Any]]:
        """(length, op, the words of the column it ranks by) of a
        superlative at i: "cheapest", "most expensive"."""
        low = self._low(i)
        two = _TWO_WORD_SUPERLATIVES.get((low, self._low(i + 1)))
        if two is not None and two[1] != "count":
            return 2, two[0], two[1]
        if low in MAX_WORDS and low not in ("most", "top"):
            return 1, "max", SUPERLATIVE_COLUMNS.get(low)
        if low in MIN_WORDS and low not in ("least", "bottom"):
            return 1, "min", SUPERLATIVE_COLUMNS.get(low)
        return None

    def _order_phrase(self, i: int) -> Optional[tuple]:
        """(length, op, columns to sort by, words of the column a superlative
        ranks by) of a phrase at i that asks for an order of the rows: "in
        descending order", "from most expensive to cheapest", "with the
        cheapest products first", "alphabetically"."""
        toks = self.toks
        if toks[i].used:
            return None
        verb = self._ranked_by_figure(i)
        if verb is not None:
            return verb
        for phrase, op in ORDER_PHRASES:
            n = len(phrase)
            if i + n <= len(toks) and not any(toks[i + j].used or toks[i + j].low != w
                                              for j, w in enumerate(phrase)):
                return n, op, None, None
        if toks[i].low == "from":
            a = self._superlative_words(i + 1)
            if a and self._low(i + 1 + a[0]) == "to":
                b = self._superlative_words(i + 2 + a[0])
                if b and b[1] != a[1]:
                    return 2 + a[0] + b[0], a[1], None, a[2] or b[2]
        # "with the most expensive products first": a superlative, the rows
        # it ranks named or not, and "first" closing the phrase.
        j = i + (toks[i].low == "with")
        j += self._low(j) == "the"
        if j > i or i == 0 or toks[i - 1].low != "the":
            sup = self._superlative_words(j)
            if sup:
                k = j + sup[0]
                got = self._match_vocab(k) if k < len(toks) else None
                by = None
                if got and all(it.kind in ("table", "column") for it in got[1]) \
                        and self._low(k + got[0]) == "first":
                    by = [it.column for it in got[1] if it.kind == "column"] or None
                    k += got[0]
                if self._low(k) == "first" and self._number_at(k + 1) is None and (
                        j > i or k + 1 == len(toks)):
                    return k + 1 - i, sup[1], by, sup[2]
        return None

    def _ranked_by_figure(self, i: int) -> Optional[tuple]:
        """"with the most frequently ordered item at the top of the list and
        so on to the least frequently ordered item": rows ranked by how much
        of a verb they had, which only the figure the answer gives for that
        verb can say; the verb's forms are kept for the plan to check."""
        toks = self.toks
        if [self._low(i), self._low(i + 1)] != ["with", "the"] \
                or self._low(i + 2) not in ("most", "least"):
            return None
        op = "max" if self._low(i + 2) == "most" else "min"
        j = i + 3
        j += self._low(j) in _FREQUENCY_ADVERBS
        if j >= len(toks) or toks[j].used or not (toks[j].low.endswith("ed") or (
                toks[j].forms - {toks[j].low, singular(toks[j].low)})):
            return None
        verb = toks[j].forms
        middle = [t.low for t in toks[i + 3:j + 1]]
        j += 1
        if j < len(toks) and not toks[j].used and toks[j].low not in FUNCTION_WORDS \
                and self._low(j) not in ("at", "first"):
            middle.append(toks[j].low)  # the noun ranked: "item", "product"
            j += 1
        end = self._phrase_end(j, ("at", "the", "top", "of", "the", "list"), ("at", "the", "top"),
                               ("first",))
        if end is None:
            return None
        # "... and so on to the least frequently ordered item (at the bottom)"
        k = end + (self._low(end) == ",")
        tail = ["and", "so", "on"]
        if [self._low(k + n) for n in range(3)] == tail:
            k += 3 + (self._low(k + 3) == "down")
            other = "least" if op == "max" else "most"
            if [self._low(k), self._low(k + 1), self._low(k + 2)] == ["to", "the", other] and [
                    self._low(k + 3 + n) for n in range(len(middle))] == middle:
                k += 3 + len(middle)
                end = self._phrase_end(k, ("at", "the", "bottom", "of", "the", "list"),
                                       ("at", "the", "bottom"), ()) or k
        return end - i, op, None, ("figure", frozenset(verb))

    def _phrase_end(self, j: int, *phrases: tuple) -> Optional[int]:
        """The index after the first of `phrases` written at j, unread."""
        for phrase in phrases:
            if all(self._low(j + n) == w and not self.toks[j + n].used
                   for n, w in enumerate(phrase)):
                return j + len(phrase)
        return None

    def _order_words(self) -> None:
        """The order asked for is the answer's own when the question ranks
        (a top N or a superlative in the same direction); else it is an
        item of its own, which the plan must honour or decline."""
        ranks = [it.op for it in self.items if it.kind == "super"]
        ranks += ["max" for it in self.items if it.kind == "top"]
        for i, n, op, by, ranked in self.ordering:
            agrees = bool(ranks) and (op is None or op in ranks)
            for t in self.toks[i:i + n]:
                t.used = None
            if agrees:
                for t in self.toks[i:i + n]:
                    t.used = "function"
            else:
                self.use(i, n, Item("order", i, op=op, columns=by or [], extra=ranked))

    @functools.cached_property
    def _speaks_as_business(self) -> bool:
        return any(t.low in ("we", "us", "our") for t in self.toks)

    def _after_number(self, i: int) -> bool:
        return i > 0 and self.toks[i - 1].number is not None

    # -- the question's shape ---------------------------------------------------
    # Each rule reads the words of the question's shape that start at toks[i]
    # and returns the index after them, or None when the word is not its to
    # read; the first rule that takes a word wins, so their order matters.
    def _grammar(self) -> None:
        i = 0
        while i < len(self.toks):
            if self.toks[i].used:
                i += 1
                continue
            for rule in self._GRAMMAR:
                after = rule(self, i)
                if after is not None:
                    i = after
                    break
            else:
                i += 1

    def _low(self, i: int) -> str:
        return self.toks[i].low if i < len(self.toks) else ""

    def _date_after_preposition(self, i: int) -> Optional[int]:
        """"in 2024", "in March 2024", "before 2024-03-01", "in the year 2023"."""
        toks, low = self.toks, self.toks[i].low
        if low not in _DATE_PREPS or i + 1 >= len(toks):
            return None
        j = i + 1
        if toks[j].low in ("the", "year") and j + 1 < len(toks):
            j += 1 + (toks[j + 1].low == "year")
        got = _month_year(toks, j) if j < len(toks) else None
        if not got:
            return None
        year, month, n = got
        if low == "of" and j + n < len(toks) and toks[j + n].low not in FUNCTION_WORDS:
            return None  # "the track of 2013" is dated, "units of the 1940 Ford" are not
        self.use(i, j - i + n, Item("date", i, op=_DATE_PREPS[low], value=(year, month)))
        return j + n

    def _weekday(self, i: int) -> Optional[int]:
        """"on a Monday", "on Sundays": the day of the week of a date."""
        if self.toks[i].low != "on":
            return None
        j = i + 1 + (self._low(i + 1) in ("a", "the"))
        day = _WEEKDAYS.get(singular(self._low(j)))
        if day is None or self.toks[j].used:
            return None
        self.use(i, j + 1 - i, Item("date", i, op="weekday", value=day))
        return j + 1

    def _between(self, i: int) -> Optional[int]:
        """"between 2022 and 2024" (years), "between 10 and 20" (numbers)."""
        toks = self.toks
        if toks[i].low != "between" or i + 3 >= len(toks) or toks[i + 2].low != "and":
            return None
        a, b = toks[i + 1], toks[i + 3]
        if a.number is None or b.number is None:
            return None
        if 1900 <= a.number <= 2100 and 1900 <= b.number <= 2100 \
                and a.number == int(a.number) and b.number == int(b.number):
            self.use(i, 4, Item("date", i, op="between",
                                value=((int(a.number), None), (int(b.number), None))))
        else:
            self.use(i, 4, Item("cmp", i, op="between",
                                value=[min(a.number, b.number), max(a.number, b.number)]))
        return i + 4

    def _bare_date(self, i: int) -> Optional[int]:
        """A date with no preposition: "2024-03-01", "March 2024"."""
        t = self.toks[i]
        if not (re.fullmatch(r"\d{4}-\d{2}-\d{2}", t.text) or (
                (t.low in MONTHS or t.text == "May") and self._low(i + 1).isdigit())):
            return None
        got = _month_year(self.toks, i)
        if not got:
            return None
        self.use(i, got[2], Item("date", i, op="in", value=got[:2]))
        return i + got[2]

    def _or_more(self, i: int) -> Optional[int]:
        """"10 or fewer", "50 euros or more"."""
        toks, t = self.toks, self.toks[i]
        if t.number is None:
            return None
        k = i + 2 if i + 1 < len(toks) and toks[i + 1].low in UNIT_WORDS else i + 1
        if k + 1 >= len(toks) or toks[k].low not in ("or", "and") or toks[k + 1].low not in OR_MORE:
            return None
        self.use(i, 1, Item("cmp", i, op=OR_MORE[toks[k + 1].low], value=[t.number]))
        for x in toks[i + 1:k + 2]:
            x.used = "cmp"
        return k + 2

    def _comparator(self, i: int) -> Optional[int]:
        """"more than 3", "at least 100", "cheaper than 20", "later than March 2024"."""
        toks = self.toks
        for words, op in _COMPARATORS_BY_FIRST.get(toks[i].low, ()):
            if not self.phrase(i, *words):
                continue
            k = i + len(words)
            if i > 1 and self.s.line_items and self.phrase(i - 1, "at") \
                    and toks[i - 2].forms & TRADE_VERBS:
                # "sold at less than ...": the price on the order lines.
                self.use(i - 1, 1, Item("column", i - 1, columns=[self.s.line_items[2]]))
            if k < len(toks) and toks[k].number is not None and not self._factor(k):
                item = self.use(i, len(words) + 1, Item("cmp", i, op=op, value=[toks[k].number]))
                item.money = toks[k].text[:1] in "$€£" or self._low(k + 1) in _MONEY_UNITS
                if words[0] in ("cheaper", "expensive") or words[:2] == ("more", "expensive"):
                    item.extra = ("price", "cost")
                if words[0] in ("longer", "shorter"):
                    item.extra = DURATION_WORDS
                unit = sorted(toks[k + 1].forms & TIME_UNITS.keys()) if k + 1 < len(toks) \
                    and not toks[k + 1].used else []
                if unit:
                    # "longer than 5 minutes": converted to the column's unit.
                    item.unit = unit[0]
                    toks[k + 1].used = "cmp"
                    item.end = k + 2
                    return k + 2
                return k + 1
            if k < len(toks) and (got := _month_year(toks, k)):
                self.use(i, len(words) + got[2], Item(
                    "date", i, op={">": "after", "<": "before", ">=": "since"}.get(op, "in"),
                    value=got[:2]))
                return k + got[2]
            return self._relative(i, k, op, words)
        for words, op in _LATER_EARLIER:
            if self.phrase(i, *words):
                return self._relative(i, i + len(words), op, words)
        return None

    def _relative(self, i: int, k: int, op: str, words: tuple) -> Optional[int]:
        """"longer than the average", "greater than twice the average
        payment", "at most 20% of their target level", "shipped after the
        required date": a comparison with the average of a column over all
        rows, or with another column of the row, times a factor.  The words
        of the comparator, the factor and the average are taken; the column
        or table after them is left to the schema's words, and the planner
        ties the two sides."""
        toks = self.toks
        if k >= len(toks) or toks[k].used or toks[k].quoted:
            return None
        factor, said, j = self._factor(k) or (decimal.Decimal(1), "", k)
        temporal = words in _LATER_EARLIER_WORDS
        while self._low(j) in _DETERMINERS:
            j += 1
        if self._low(j) in ("average", "mean") and not temporal:
            n = j + 1 + (self._low(j + 1) == "of") - i
            if any(x.low in _OWN_WORDS for x in toks[k:i + n + 5]):
                # "above the average price of their category": an average of
                # each row's own group, not of all rows.
                raise Unmappable("the question compares with an average of each row's own "
                                 "group, which the offline model does not compute")
            whole = self._low(i + n) == "all"  # "the average of all the films"
            self.use(i, n, Item("vs", i, op=op, value=factor, unit=said,
                                extra="avg-all" if whole else "avg",
                                columns=self._implied(words)))
            return i + n
        got = self._match_vocab(j) if j < len(toks) else None
        if got and any(it.kind == "table" for it in got[1]) and j + got[0] < len(toks):
            # "the product's MSRP": a column named with its table.
            tables = {it.table for it in got[1] if it.kind == "table"}
            own = self._match_vocab(j + got[0])
            cols = [it for it in (own[1] if own else ()) if it.kind == "column"
                    and it.column.table in tables]
            got = (own[0], cols) if cols else None
        if not got or not all(it.kind == "column" for it in got[1]) or (
                temporal and not any(it.column.date for it in got[1])):
            return None
        self.use(i, j - i, Item("vs", i, op=op, value=factor, unit=said, extra="column",
                                columns=self._implied(words)))
        return j

    def _flags(self) -> None:
        """"discontinued products", "products that are not discontinued",
        "the currently available products": a yes-or-no column of the table
        named beside its adjective, or beside an everyday word for it or for
        its opposite.  Read only beside the table's noun, and not after a
        word that grades it ("the most active customer", "monthly active
        customers" say more than the column holds)."""
        toks = self.toks
        flags: dict[str, list[Column]] = {}
        for t in self.s.tables.values():
            for c in t.columns:
                if c.flag:
                    flags.setdefault(c.flag, []).append(c)
        if not flags:
            return
        senses: dict[int, tuple[Optional[Item], list[tuple[Column, bool]]]] = {}
        for i, t in enumerate(toks):
            col = next((it for it in self.items if it.at == i and it.kind == "column"), None)
            if col is not None and all(c.flag for c in col.columns):
                senses[i] = (col, [(c, True) for c in col.columns])
            elif not t.used and not t.quoted and t.low in FLAG_SENSES:
                found = [(c, yes) for word, yes in FLAG_SENSES[t.low] for c in flags.get(word, ())]
                if found:
                    senses[i] = (None, found)

        def skipped(k: int) -> bool:
            x = toks[k]
            return k in senses or x.used in ("function", "or") or (
                not x.used and x.low in FUNCTION_WORDS)

        def table_at(k: int) -> Optional[str]:
            got = next((it.table for it in self.items if it.at == k and it.kind == "table"), None)
            if got is None:
                # "official languages": the column that names the rows.
                got = next((it.columns[0].table for it in self.items if it.at == k
                            and it.kind == "column" and len(it.columns) == 1
                            and self.s.tables[it.columns[0].table].label == it.columns[0]), None)
            return got
        for i, (col, found) in senses.items():
            end = col.end if col is not None else i + 1
            k = end
            while k < len(toks) and skipped(k):
                k += 1
            table = table_at(k) if k < len(toks) else None
            j = i - 1
            while table is None and j >= 0 and (skipped(j) or toks[j].used == "neg"):
                j -= 1
            if table is None and j >= 0:
                table = table_at(j)
            prev = toks[i - 1] if i > 0 else None
            if table is None or (prev is not None and not skipped(i - 1) and prev.used not in (
                    "neg", "list", "count", "table")):
                continue
            here = [(c, yes) for c, yes in found if c.table == table]
            if not here:
                continue
            if len(here) > 1:
                raise Unmappable(f"'{toks[i].text}' could be said of any of "
                                 + ", ".join(c.name for c, _ in here) + f" in {table}")
            c, yes = here[0]
            if col is None:
                self.role_probes += _variants(toks[i].text)
            if col is None and _lookup(self.found, toks[i].text):
                raise Unmappable(f"'{toks[i].text}' may be a value the data holds or what "
                                 f"{table}.{c.name} says; ask with the one meant")
            k = i - 1
            while k >= 0 and not toks[k].used and toks[k].low in ("currently", "still", "now"):
                k -= 1
            neg = next((it for it in self.items if it.kind == "neg" and it.end == k + 1
                        and toks[it.at].low == "not"), None) if k >= 0 else None
            if neg is not None:
                # "not discontinued": the opposite, the negation used up.
                self.items.remove(neg)
                yes = not yes
            if col is not None:
                self.items.remove(col)
                for x in toks[col.at:col.end]:
                    x.used = None
            self.use(i, end - i, Item("flag", i, columns=[c], value=yes, extra=toks[i].text))

    def _same_pair(self) -> None:
        """"where the employee's city and the order's ship city are the
        same": two columns said to hold one value, read as the first equal
        to the second; the planner settles which side is the row's own."""
        toks = self.toks
        k = len(toks) - 3
        if k < 3 or [t.low for t in toks[k:]] not in (["are", "the", "same"],
                                                      ["is", "the", "same"]) \
                or any(t.used for t in toks[k:]):
            return
        second = next((it for it in self.items if it.end == k and it.kind == "column"), None)
        if second is None:
            return
        j = second.at - 1
        while j > 0 and toks[j].low in _DETERMINERS and not toks[j].used:
            j -= 1
        first = next((it for it in self.items if it.end == j and it.kind == "column"), None)
        if toks[j].low != "and" or toks[j].used or first is None:
            return
        self.use(j, second.at - j, Item("vs", j, op="=", value=decimal.Decimal(1), unit="",
                                        extra="column"))
        for t in toks[k:]:
            t.used = "function"

    def _factor(self, j: int) -> Optional[tuple[decimal.Decimal, str, int]]:
        """(factor, its words, the index after them) of "twice", "3 times",
        "20% of", "half of"; None where no factor is written."""
        t = self.toks[j]
        if t.low in _MULTIPLES:
            return _MULTIPLES[t.low], t.low, j + 1 + (self._low(j + 1) == "of")
        if t.number is None or t.quoted:
            return None
        if self._low(j + 1) == "times":
            return t.number, f"{t.text} times", j + 2
        after = j + 1 + (not t.percent and self._low(j + 1) == "percent")
        if (t.percent or after > j + 1) and self._low(after) == "of":
            # "more than 20%" alone is a number, not a share of anything.
            return t.number / 100, f"{t.text}% of", after + 1
        return None

    def _implied(self, words: tuple) -> list[Column]:
        """The columns a comparator names by itself: a price for "cheaper",
        a length of time for "longer"."""
        if words[0] in ("cheaper", "expensive") or words[:2] == ("more", "expensive"):
            return self._columns_like(("price", "cost"))
        if words[0] in ("longer", "shorter"):
            return self._columns_like(DURATION_WORDS)
        return []

    def _how_many(self, i: int) -> Optional[int]:
        low, nxt = self.toks[i].low, self._low(i + 1)
        if low not in ("how", "what") or nxt not in ("many", "much"):
            return None
        self.use(i, 2, Item("count" if nxt == "many" else "howmuch", i))
        return i + 2

    def _count_words(self, i: int) -> Optional[int]:
        """"the number of", "count", "the total of"."""
        toks, t = self.toks, self.toks[i]
        low, nxt = t.low, self._low(i + 1)
        if low == "total" and nxt == "number" and self._low(i + 2) == "of" and not any(
                t.forms & TRADE_VERBS for t in toks[i + 3:]):
            # "the total number of tracks in each playlist" is a count; "the
            # total number of plants sold" is left to the units sold.
            self.use(i, 3, Item("count", i))
            return i + 3
        if not ((low in ("number", "count", "total") and nxt == "of") or low == "count"):
            return None
        n = 2 if nxt == "of" else 1
        if low == "number" and i > 0 and (got := self._match_vocab(i - 1)) and got[0] == 2 \
                and all(it.kind == "column" for it in got[1]):
            return None  # "the fax number of the customers" is the column fax_number
        if n == 2 and low == "number" and self._numeric_column_at(i + 2):
            # "the number of pages" is the pages column, not a count.
            t.used = toks[i + 1].used = "function"
            return i + 2
        prev = self.items[-1] if self.items else None
        if low == "number" and n == 2 and prev is not None and prev.kind == "super" \
                and prev.end == i and prev.value in _COUNT_SUPERLATIVES:
            # "the most number of films", "the highest number of orders": a
            # ranking by how many there are, said with one word more.
            t.used = toks[i + 1].used = "function"
            return i + 2
        if low == "total" and i + 2 < len(toks) and toks[i + 2].low != "number":
            self.use(i, 1, Item("agg", i, op="sum"))
            return i + 1
        self.use(i, n, Item("count", i))
        return i + n

    def _one_word(self, i: int) -> Optional[int]:
        got = _ONE_WORD_ITEMS.get(self.toks[i].low)
        if got is None:
            return self._table_total(i)
        if (after := self._table_total(i)) is not None:
            return after
        kind, op = got
        self.use(i, 1, Item(kind, i, op=op))
        return i + 1

    def _table_total(self, i: int) -> Optional[int]:
        """"the invoice total", "the highest order totals": the column a
        table calls its total, not a sum of something else."""
        if self.toks[i].low not in ("total", "totals") or i == 0:
            return None
        if self._low(i - 1) in ("a", "their", "its", "whose") and self._low(i + 1) in (
                "greater", "more", "over", "above", "higher", "less", "under", "below",
                "lower", "of", "between", "exceeding"):
            # "invoices with a total over 20": the one column called total.
            tables = list(self.s.tables)
        else:
            got = self._match_vocab(i - 1)
            if not got or got[0] != 1:
                return None
            tables = [it.table for it in got[1] if it.kind == "table"]
        cols = [c for t in tables for c in self.s.tables[t].columns
                if list(c.words) == ["total"] and c.numeric]
        if len(cols) != 1:
            return None
        self.use(i, 1, Item("column", i, columns=cols))
        return i + 1

    def _grouping(self, i: int) -> Optional[int]:
        """"per", "by", "each", "for each", "in each"; but not "rate per kg"
        (a column), "cost per unit" (a column) or "written by" (an agent)."""
        toks, t = self.toks, self.toks[i]
        low, nxt = t.low, self._low(i + 1)
        if not (low in ("per", "by", "each", "every") or (low == "for" and nxt in ("each", "every"))
                or (low == "in" and nxt == "each")):
            return None
        n = 2 if nxt in ("each", "every") and low in ("for", "in") else 1
        if low == "per" and i > 0 and any(
                "per" in c.words and toks[i - 1].forms & set(c.words)
                and toks[i + 1:i + 2] and toks[i + 1].low in c.words
                for tb in self.s.tables.values() for c in tb.columns):
            return i + 1  # "rate per kg" is the column rate_per_kg
        if low == "per" and self._per_is_unit(i):
            # "cost per unit" names the unit_cost column, no grouping.
            t.used = toks[i + 1].used = "function"
            return i + 2
        if low == "by" and self.by_is_agent(i):
            t.used = "function"
            return i + 1
        self.use(i, n, Item("group", i, value=low))
        return i + n

    def _period(self, i: int) -> Optional[int]:
        """"per month", "by year", "monthly", "which month had the most":
        a calendar period of a date column to group by.  A column that is
        called "month" or "year" itself is the schema's word."""
        low = self.toks[i].low
        period = _PERIODS.get(low)
        if period is None or any(c.words == [singular(low)] for t in self.s.tables.values()
                                 for c in t.columns):
            return None
        nxt = self.toks[i + 1] if i + 1 < len(self.toks) else None
        if nxt is not None and nxt.number is not None:
            return None  # "year 2024" is a date
        self.use(i, 1, Item("period", i, value=period, extra=low.endswith("ly")))
        return i + 1

    def _share(self, i: int) -> Optional[int]:
        """"what share of orders were cancelled", "the percentage of films
        rated R": the part of a table's rows that a condition picks."""
        low = self.toks[i].low
        if low not in ("share", "percentage", "percent", "proportion", "fraction", "%") \
                or self._low(i + 1) != "of":
            return None
        self.use(i, 2, Item("share", i))
        return i + 2

    def _all_of(self, i: int) -> Optional[int]:
        """"products that appear on all orders", "customers who bought every
        product": linked to each row of a table, not to some of them.  "List
        all offices" and "the total of all orders" mean the whole table."""
        toks, low = self.toks, self.toks[i].low
        if low not in ("all", "every") or i == 0 or i + 1 >= len(toks):
            return None
        prev = toks[i - 1].low
        verb = prev.endswith(("ed", "es", "ght", "ld")) or prev in (
            "appear", "contain", "include", "have", "has", "had", "took", "buy", "own", "sell")
        if not (verb or prev in ("on", "to", "with", "at") or (
                prev == "in" and i > 1 and toks[i - 2].low.endswith("ed"))):
            return None
        got = self._match_vocab(i + 1)
        if not got or not any(it.kind == "table" for it in got[1]):
            return None
        self.use(i, 1, Item("all", i))
        return i + 1

    def _in_column_name(self, i: int) -> bool:
        """Whether the word at i is inside the name of a column ("contact
        first name", "last name"), or of a pair ("first and last names")."""
        for k in range(max(0, i - 2), i + 1):
            got = self._match_vocab(k)
            # "first" alone is only part of FirstName: "hired first" is an order.
            if got and k + got[0] > i and all(it.kind == "column" for it in got[1]) and (
                    got[0] > 1 or any(len(c.words) == 1 for it in got[1] for c in it.columns)):
                return True
        return self._name_pair(i) is not None or (i >= 2 and self._name_pair(i - 2) is not None)

    def _name_pair(self, i: int) -> Optional[list[Column]]:
        """"first and last names" at i: the first and last name columns of
        every table of people."""
        if [self._low(i + k) for k in range(3)] != ["first", "and", "last"] \
                or self._low(i + 3) not in ("name", "names"):
            return None
        cols = [c for t in self.s.tables.values() if t.person_name for c in t.person_name]
        return cols or None

    def _number_at(self, i: int) -> Optional[int]:
        """A whole number written in digits or as a word ("five")."""
        if i >= len(self.toks) or self.toks[i].quoted:
            return None
        t = self.toks[i]
        if t.number is not None:
            return int(t.number) if t.number == int(t.number) else None
        return _NUMBER_WORDS.get(t.low)

    def _superlative_ahead(self, i: int, span: int = 6) -> bool:
        return any(t.low in MAX_WORDS or t.low in MIN_WORDS for t in self.toks[i:i + span])

    def _counted_top(self, i: int) -> Optional[int]:
        """"which five actors appear in the most films", "the 3 customers
        with the most orders": a number before the noun, the superlative
        after it."""
        n = self._number_at(i)
        if n is None or n < 2 or not self._superlative_ahead(i + 2) or (
                i > 0 and self.toks[i - 1].low not in ("which", "the", "what", "list", "show",
                                                      "name", "find", "give", "are", "our")):
            return None
        self.use(i, 1, Item("top", i, value=n))
        return i + 1

    def _ordinal(self, i: int) -> Optional[int]:
        """"the second most expensive", "the third highest": the row (or
        group) ranked n-th, not the first n."""
        n = _ORDINALS.get(self.toks[i].low)
        if n is None or not self._superlative_ahead(i + 1, 3):
            return None
        self.use(i, 1, Item("top", i, value=n, extra="nth"))
        return i + 1

    def _top_n(self, i: int) -> Optional[int]:
        """"top 3", "first 5"; "last 5" is relative to today."""
        toks, low = self.toks, self.toks[i].low
        if low in ("top", "first") and self._number_at(i + 1) is not None \
                and toks[i + 1].number is None:
            self.use(i, 2, Item("top", i, value=self._number_at(i + 1)))  # "top five"
            return i + 2
        if low not in ("top", "first", "last") or not toks[i + 1:i + 2] \
                or toks[i + 1].number is None:
            return None
        if low == "last":
            raise Unmappable("'last' with a number is relative to today, which the "
                             "database does not hold")
        self.use(i, 2, Item("top", i, value=int(toks[i + 1].number)))
        return i + 2

    def _first_last(self, i: int) -> Optional[int]:
        """"which customer signed up first", "the last order"."""
        low = self.toks[i].low
        if low not in ("first", "last") or self._in_column_name(i):
            return None
        got = self._match_vocab(i)
        if got and got[0] > 1 and any(it.kind == "column" for it in got[1]):
            return None  # "last names": a column, no order
        self.use(i, 1, Item("super", i, op="min" if low == "first" else "max", extra="date"))
        return i + 1

    def _number_superlative(self, i: int) -> Optional[int]:
        """"the 3 cheapest", "the 5 most"."""
        toks, t = self.toks, self.toks[i]
        if t.number is None or t.quoted or i + 1 >= len(toks) or not (
                toks[i + 1].low in MAX_WORDS | MIN_WORDS or toks[i + 1].low in ("most", "least")):
            return None
        self.use(i, 1, Item("top", i, value=int(t.number)))
        return i + 1

    def _two_word_superlative(self, i: int) -> Optional[int]:
        """"most common", "most recent", "least expensive"."""
        pair = (self.toks[i].low, self._low(i + 1))
        if pair == ("most", "popular"):
            raise Unmappable("'most popular' can mean most orders or most units; "
                             "ask for one of them")
        got = _TWO_WORD_SUPERLATIVES.get(pair)
        if got is None:
            return None
        op, extra = got
        self.use(i, 2, Item("super", i, op=op, extra=extra, value=" ".join(pair)))
        return i + 2

    def _superlative(self, i: int) -> Optional[int]:
        low = self.toks[i].low
        if low in ("best-selling", "bestselling", "top-selling", "worst-selling") \
                and self.s.line_items:
            # The most units sold on the order lines.
            self.use(i, 1, Item("super", i, op="min" if low.startswith("worst") else "max",
                                value=low))
            self.items.append(Item("qty", i, end=i + 1, extra="best"))
            return i + 1
        if low not in MAX_WORDS and low not in MIN_WORDS:
            return None
        cols = "age" if low in ("oldest", "youngest") else SUPERLATIVE_COLUMNS.get(low)
        self.use(i, 1, Item("super", i, op="max" if low in MAX_WORDS else "min", extra=cols,
                            value=low))
        return i + 1

    def _negation(self, i: int) -> Optional[int]:
        low = self.toks[i].low
        if low == "other" and self._low(i + 1) == "than" and i + 2 < len(self.toks) \
                and self.toks[i + 2].used == "value":
            # "cities other than Seattle": any value but the one named; other
            # than anything else ("other than managers") stays unread.
            self.use(i, 2, Item("neg", i))
            return i + 2
        if low not in ("no", "not", "never", "without", "none") and not low.endswith("n't"):
            return None
        self.use(i, 1, Item("neg", i))
        return i + 1

    def _question_word(self, i: int) -> Optional[int]:
        """"what", "who", "where", "when"; "which" at the start or after a
        preposition ("in which city"), not as a relative pronoun."""
        low = self.toks[i].low
        if low == "how" and self._low(i + 1) in ("long", "heavy") \
                and self._low(i + 2) in ("is", "was", "are", "were"):
            # "How long is the track X": the row's figure, looked up.
            self.use(i, 1, Item("wh", i, value="what"))
            return i + 1
        if low not in ("which", "what", "who", "where", "when") or not (
                low != "which" or i == 0 or self.toks[i - 1].low in (
                    "in", "from", "of", "for", "at", "on", "to", "with", "by", "and")):
            return None
        if low == "where" and any(self._noun_ending(k, i) for k in range(max(0, i - 3), i)):
            # "the orders where the ship city ...": a relative after the
            # noun, which asks for no place or time.
            self.toks[i].used = "function"
            return i + 1
        self.use(i, 1, Item("wh", i, value=low))
        return i + 1

    def _list_word(self, i: int) -> Optional[int]:
        if i != 0 or self.toks[i].low not in ("list", "show", "name", "display", "give",
                                              "enumerate"):
            return None
        self.use(i, 1, Item("list", i))
        return i + 1

    def _money_word(self, i: int) -> Optional[int]:
        """"revenue", "spent"; "earns" is a salary where there is one, else
        money taken in."""
        t = self.toks[i]
        low = t.low
        bought = low in ("purchases", "purchase") and i > 0 and self.toks[i - 1].low == "total"
        if not (low in MONEY_WORDS or bought or t.forms & {"spend", "revenue", "sale", "earn"}) or (
                low in COLUMN_SYNONYMS and self._columns_like(COLUMN_SYNONYMS[low])):
            return None
        item = self.use(i, 1, Item("money", i))
        if i > 0 and self.toks[i - 1].low == "gross" and not self.toks[i - 1].used:
            # "gross revenue": the money before anything is taken off it,
            # which the plan checks there is nothing to take off.
            self.toks[i - 1].used = "function"
            item.value = "gross"
        return i + 1

    def _units_sold(self, i: int) -> Optional[int]:
        """"units sold", "items ordered": the quantities of the order lines."""
        toks, low = self.toks, self.toks[i].low
        # The verb may follow the product's name ("units of the 1940 Ford
        # Pickup Truck have been sold"): the words of a value found are
        # passed over.
        after = [x for x in toks[i + 1:i + 19] if x.used != "value"][:6]
        if low in ("units", "pieces", "items") and any(
                t.forms & {"stock"} for t in toks[i + 1:]) and any(
                "stock" in c.words and c.numeric for tb in self.s.tables.values()
                for c in tb.columns):
            # "units ... in stock": the stock column counts them.
            self.toks[i].used = "function"
            return i + 1
        if low not in ("units", "pieces", "items") or not self.s.line_items or not any(
                x.low in ("sold", "bought", "ordered", "purchased")
                for x in toks[max(0, i - 4):i] + after):
            return None
        self.use(i, 1, Item("qty", i))
        for x in toks[max(0, i - 4):i] + after:
            if x.low in ("sold", "bought", "ordered", "purchased") and not x.used:
                # The verb of the phrase, not a status the data also holds.
                x.used = "function"
        return i + 1

    def _or(self, i: int) -> Optional[int]:
        if self.toks[i].low != "or":
            return None
        self.use(i, 1, Item("or", i))
        return i + 1

    def _has_column(self, i: int) -> Optional[int]:
        """"customers that have a fax number": rows whose column holds a
        value; the column named closes the phrase, with no comparison after."""
        if self.toks[i].low not in ("have", "has", "having"):
            return None
        j = i + 1 + (self._low(i + 1) in ("a", "an", "any"))
        got = self._match_vocab(j) if j < len(self.toks) else None
        # A number of 0 may be what "no discount" is kept as: only a text or
        # a date is had or not by being there.
        if not got or not all(it.kind == "column" and not it.column.numeric for it in got[1]):
            return None
        k = j + got[0]
        if k < len(self.toks) and self._low(k) not in ("and", "or"):
            return None
        self.use(i, k - i, Item("present", i, columns=[it.column for it in got[1]]))
        return k

    def _in_unit(self, i: int) -> Optional[int]:
        """"the average length in minutes": the unit of time to give a
        figure in, not a condition."""
        toks = self.toks
        if toks[i].low != "in" or i + 1 >= len(toks) or toks[i + 1].used \
                or singular(toks[i + 1].low) not in TIME_UNITS or (
                    i + 2 < len(toks) and toks[i + 2].number is not None):
            return None
        self.use(i, 2, Item("unit", i, value=singular(toks[i + 1].low)))
        return i + 2

    def _active(self, i: int) -> Optional[int]:
        """"monthly active customers", "active members per year": the rows
        with something recorded of them in each period, not a yes-or-no
        column, which keeps no month."""
        if self.toks[i].low != "active" or not any(t.low in _PERIODS for t in self.toks):
            return None
        got = self._match_vocab(i + 1) if i + 1 < len(self.toks) else None
        if not got or not all(it.kind == "table" for it in got[1]):
            return None
        self.use(i, 1, Item("active", i))
        return i + 1

    def _that_key(self, i: int) -> Optional[int]:
        """"the last names of actors and the number of actors who have that
        last name": "that" before a column the question named already is
        each of its values, the group the count is of."""
        toks = self.toks
        if toks[i].low != "that" or i == 0 or toks[i - 1].low not in _SHARING_VERBS \
                or i + 1 >= len(toks):
            return None
        got = self._match_vocab(i + 1)
        if not got or not all(it.kind == "column" for it in got[1]):
            return None
        cols = {(it.table, it.column.name) for it in got[1]}
        said = any((m := self._match_vocab(k)) and m[0] == got[0] and cols == {
            (it.table, it.column.name) for it in m[1] if it.kind == "column"}
            for k in range(i - 1))
        if not said:
            return None
        self.use(i, 1, Item("group", i, value="each"))
        return i + 1

    def _shared_by(self) -> None:
        """"names that are shared by at least two actors": the values of the
        group with that many rows.  "shared by" only leads to the count, and
        a noun before it that repeats words of a column named earlier ("last
        names" ... "names") is that column said again."""
        toks = self.toks
        for i in range(1, len(toks) - 2):
            if toks[i].low not in ("shared", "held") or toks[i + 1].low != "by" \
                    or toks[i].used or toks[i + 1].used not in (None, "function") \
                    or not any(it.kind == "cmp" and it.at == i + 2 for it in self.items):
                continue
            toks[i].used = toks[i + 1].used = "function"
            j = i - 1
            while j > 0 and toks[j].low in ("that", "which", "are", "is", "were", "was"):
                j -= 1
            if toks[j].used:
                continue
            words = toks[j].forms
            earlier = any((m := self._match_vocab(k)) and any(
                it.kind == "column" and words & set(it.column.words) for it in m[1])
                for k in range(j))
            if earlier and j > 0:
                toks[j].used = "function"
                if toks[j - 1].low == "for" and self._low(j - 2) == "only" \
                        and self._low(j - 3) == "but":
                    # ", but only for names that ...": the groups listed are
                    # those the count picks.
                    toks[j - 2].used = toks[j - 3].used = "function"

    _GRAMMAR = (_active, _that_key, _has_column, _in_unit, _weekday, _date_after_preposition, _between, _bare_date, _or_more,
                _comparator, _how_many, _count_words, _one_word, _all_of, _grouping, _period,
                _share, _ordinal, _counted_top,
                _top_n, _first_last, _number_superlative,
                _two_word_superlative, _superlative, _negation, _question_word, _list_word,
                _money_word, _units_sold, _or)

    def _numeric_column_at(self, i: int) -> bool:
        if i >= len(self.toks):
            return False
        got = self._match_vocab(i)
        return bool(got) and all(it.kind == "column" and it.column.numeric for it in got[1])

    def _per_is_unit(self, i: int) -> bool:
        if i == 0 or i + 1 >= len(self.toks):
            return False
        nxt = self.toks[i + 1]
        if any(nxt.low in (c.name.lower(), " ".join(c.words)) or [nxt.low] == c.words
               for t in self.s.tables.values() for c in t.columns
               if c.name not in t.fk_columns) or any(
                singular(nxt.low) == singular(" ".join(t.words))
                for t in self.s.tables.values()):
            return False  # "rate per rating": rating is a column of its own to group by
        before = set()
        for prev in self.toks[max(0, i - 5):i]:
            before |= set(prev.forms) | set(COLUMN_SYNONYMS.get(prev.low, ()))
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
            pair = self._name_pair(i)
            if pair:
                self.use(i, 4, Item("column", i, columns=pair))
                i += 4
                continue
            got = self._match_vocab(i)
            n = self._role_at(i)
            if n:
                i += n
                continue
            got = self._match_vocab(i)
            if got:
                # Words of a role the data also holds as a value, or that
                # also name a column, are not read as the role.
                rest = [it for it in got[1] if it.kind != "role"]
                got = (got[0], rest) if rest else None
            if got and got[0] == 1 and t.low.endswith("ing") and t.low in COLUMN_SYNONYMS:
                # "costing less than $20" is what the thing costs a buyer,
                # its price, as much as a column of cost: the everyday word
                # is read for every column it may mean.
                got = None
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
                        # table only says whose column it is.  "Customer
                        # names" of people are their first and last names,
                        # the names the rows are listed by.
                        pair = self.s.tables[item.table].person_name
                        whole = pair is not None and {c.name for c in own} == {c.name for c in pair}
                        self.use(i, n + after[0], Item("table", i, table=item.table) if whole
                                 else Item("column", i, columns=own))
                        i += n + after[0]
                        continue
                    if self._low(i + n) in ("table", "tables") and any(
                            it.kind == "table" and it.table == item.table for it in self.items):
                        # "each of the categories in the category table": said again.
                        for t in toks[i:i + n + 1]:
                            t.used = "function"
                        i += n + 1
                        continue
                    said = self._synonym_columns(self._low(i + n), [item.table]) \
                        if after is None and singular_form and i + n < len(toks) \
                        and not toks[i + n].used else []
                    if len(said) == 1:
                        # "movie durations": the film's length, in everyday words.
                        self.use(i, n + 1, Item("column", i, columns=said, extra="synonym"))
                        i += n + 1
                        continue
                    keys = self._key_columns(item.table) if self._low(i + n) == "id" \
                        and not toks[i + n].used and not toks[i + n].quoted else []
                    if keys:
                        self.use(i, n + 1, Item("column", i, columns=keys))
                        i += n + 1
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
                    if self._low(i + n) in ("name", "names") and not toks[i + n].used and all(
                            c.text and not set(c.words) & set(LABEL_WORDS) for c in cols):
                        n += 1  # "the company name" is the column company
                    self.use(i, n, Item("column", i, columns=cols))
                    nxt = toks[i + n] if i + n < len(toks) else None
                    if nxt is not None and not nxt.used and nxt.number is not None \
                            and all(c.numeric for c in cols):
                        # "year group 9": that value of the column.
                        self.use(i + n, 1, Item("cmp", i + n, op="=", value=[nxt.number]))
                        n += 1
                i += n
                continue
            syn = COLUMN_SYNONYMS.get(t.low)
            if syn:
                cols = self._synonym_columns(t.low)
                if cols:
                    self.use(i, 1, Item("column", i, columns=cols, extra="synonym"))
                    i += 1
                    continue
            if t.low in SIZE_WORDS:
                self.use(i, 1, Item("size", i))
                i += 1
                continue
            # The shortest form, ties broken by spelling: a set's order changes
            # with the hash seed, and the reply must not ("drove": drive).
            stem = min(t.forms, key=lambda f: (len(f), f))
            # Beside a superlative a shorter verb will do: "the most rented".
            ranked = any(it.kind == "super" and abs(it.at - i) <= 2 for it in self.items)
            tables = [] if len(stem) < (4 if ranked else 5) or t.low in FUNCTION_WORDS else [
                tb.name for tb in self.s.tables.values()
                if tb.words and len(tb.words[-1]) >= (4 if ranked else 6)
                and tb.words[-1].startswith(stem)]
            if not tables and t.low not in FUNCTION_WORDS and len(stem) >= 3:
                # The noun made from the verb: paid for payments, rented for
                # rentals, shipped for shipments.
                made = {f + suffix for f in t.forms for suffix in ("ment", "al")}
                tables = [tb.name for tb in self.s.tables.values()
                          if tb.words and tb.words[-1] in made]
            if len(tables) == 1:
                # "assigned" for assignments, "enrolled" for enrollments
                self.use(i, 1, Item("table", i, table=tables[0], extra="verb"))
                i += 1
                continue
            similar = [] if len(stem) < 5 or t.low in FUNCTION_WORDS else [
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
