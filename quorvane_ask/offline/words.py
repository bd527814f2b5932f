"""Words: tokens of a question, the stems a word may stand for, and the
general lexicon of everyday English the reader ties to a schema.

Nothing here knows a database: these are the words any question may use
("how many", "cheapest", "in March 2024", "live" for a city).
"""

from __future__ import annotations

import decimal
import re
from dataclasses import dataclass
from typing import Optional


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
              "took": "take", "taken": "take", "rang": "ring", "rung": "ring", "made": "make", "men": "man", "women": "woman",
              "spoken": "speak", "spoke": "speak", "became": "become", "grew": "grow"}


def forms(word: str) -> set[str]:
    """The word and the stems it may stand for ("ordered" -> "order")."""
    w = re.sub(r"['’]s?$", "", word.lower())
    out = {w, singular(w)}
    if w.endswith("ies"):
        out.add(w[:-1])  # "movies", "cookies": nouns in -ie
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


# Shortenings that schemas write in names ("order_qty", "amt_due",
# "invoice_no"), read as the words a question uses.
ABBREVIATIONS = {"qty": "quantity", "amt": "amount", "desc": "description",
                 "descr": "description", "no": "number", "num": "number", "nbr": "number",
                 "nr": "number", "addr": "address", "dept": "department", "tel": "phone",
                 "dob": "birth"}

# The words of a name in any of the styles schemas use: snake_case,
# camelCase, PascalCase, with runs of capitals kept whole ("MSRP",
# "HTMLDescription": html, description) and digits kept on their word
# ("addressLine1": address, line1).
_NAME_WORD_RE = re.compile(r"[A-Z]+(?=[A-Z][a-z])|[A-Z]?[a-z]+[0-9]*|[A-Z]+[0-9]*|[0-9]+")


def name_words(identifier: str) -> list[str]:
    out = []
    for w in _NAME_WORD_RE.findall(identifier):
        w = w.lower()
        out.append(ABBREVIATIONS.get(w) or singular(w))
    return out


def split_compound(word: str, known: set[str]) -> Optional[list[str]]:
    """A name written as one word ("orderdetails", "productline") split
    into two words the schema writes apart elsewhere, or None."""
    for k in range(3, len(word) - 2):
        a, b = word[:k], singular(word[k:])
        if a in known and b in known:
            return [a, b]
    return None


# Everyday English for the same kind of thing: a table or column named by
# one is asked about by the other ("movies" of a film table, "genres" of
# categories).  General words only, never one database's names.
THESAURUS = {
    "film": ("movie",), "movie": ("film",), "category": ("genre",), "genre": ("category",),
    "customer": ("client",), "client": ("customer",), "staff": ("employee",),
    "employee": ("staff", "worker"), "supplier": ("vendor", "supply"),
    "vendor": ("supplier",), "description": ("desc",), "telephone": ("phone",),
    "phone": ("telephone",), "salary": ("pay", "wage"), "song": ("track",), "track": ("song",),
    "record": ("album",), "author": ("writer",), "shipper": ("carrier",),
    "carrier": ("shipper",),
}
# Words for a table whose every row is one item of stock ("how many
# copies of the film"): used only where its rows hold no quantity.
ITEM_WORDS = {"inventory": ("copy", "item")}

# Everyday words that say of a row what a yes-or-no column's adjective
# says (True) or its opposite (False): "current" and "available" products
# are not discontinued, "current" customers active.  A column named by the
# word itself is read by its name.
FLAG_SENSES = {
    "current": (("discontinued", False), ("active", True), ("inactive", False)),
    "available": (("discontinued", False), ("unavailable", False)),
    "unavailable": (("available", False),),
    "active": (("inactive", False),), "inactive": (("active", False),),
    "enabled": (("disabled", False),), "disabled": (("enabled", False),),
    "unpaid": (("paid", False),), "unpublished": (("published", False),),
}

# Verbs that open a request and carry no condition ("Determine the number
# of ...", "Retrieve the 10 longest films"); those of LIST_REQUESTS ask for
# rows, as "list" and "show" do.
REQUEST_VERBS = {"determine", "compute", "calculate", "find", "identify", "report",
                  "retrieve", "display", "fetch", "get", "return", "select", "provide",
                  "produce", "list", "show", "give", "name", "enumerate", "output", "print",
                  "tell", "extract", "obtain", "query"}
LIST_REQUESTS = {"find", "identify", "report", "retrieve", "display", "fetch", "get", "return",
                  "select", "provide", "produce", "list", "show", "give", "name", "enumerate",
                  "output", "print", "extract", "obtain"}
# Phrases that ask for an order of the rows, and the extreme they agree
# with (None: either; "alpha": by the letters of a text, which agrees with
# no ranking).  They are grammar only where the answer is a ranking in that
# order anyway ("the top five ... in descending order"); elsewhere the plan
# must sort its rows so, or decline.
ORDER_PHRASES = [
    (("in", "descending", "order"), "max"), (("in", "ascending", "order"), "min"),
    (("descending",), "max"), (("ascending",), "min"), (("highest", "first"), "max"),
    (("from", "highest", "to", "lowest"), "max"), (("from", "lowest", "to", "highest"), "min"),
    (("in", "alphabetical", "order"), "alpha"), (("alphabetically",), "alpha"),
    (("sorted",), None),
]
# Phrases of the request's grammar that say nothing about which rows or
# what value: how to present the answer.  A "#" stands for a number.
PRESENTATION_PHRASES = [
    # Where a row stands in a hierarchy, said of the whole organisation; the
    # question still has to say how the hierarchy is kept ("reports to").
    ("at", "the", "top", "of", "the", "organization"), ("at", "the", "top", "of", "the", "company"),
    ("at", "the", "top", "of", "the", "hierarchy"),
    ("make", "a", "list", "of"), ("create", "a", "list", "of"), ("create", "a", "report", "showing"),
    ("create", "a", "report", "that", "shows"), ("a", "report", "that", "shows"),
    ("a", "report", "showing"),
    ("create", "a", "report", "of"), ("generate", "a", "report", "of"), ("a", "list", "of"),
    # Exercises ask for the query itself: "Provide a query showing ...".
    *((verb, "a", *q, *tail) for verb in ("provide", "write", "create")
      for q in (("query",), ("sql", "query")) for tail in (
          ("showing",), ("that", "shows"), ("which", "shows"), ("to", "show"), ("that", "lists"),
          ("to", "list"), ("that", "returns"), ("to", "find"), ("that",), ("to",))),
    *(("a", "query", *tail) for tail in (("showing",), ("that", "shows"), ("that",), ("to",))),
    ("only", "showing"), ("showing", "only"), ("over", "all"), ("overall",), ("only", "the"),
    ("rounded", "to", "#", "decimal", "places"), ("rounded", "to", "#", "decimal", "place"),
    ("rounded", "to", "#", "decimals"), ("to", "#", "decimal", "places"),
    ("to", "#", "decimal", "place"), ("rounded",), ("along", "with"), ("together", "with"),
    ("info",), ("information",), ("details",), ("respectively",), ("corresponding",),
    ("their", "respective"),
]


# A probe that opens with this is a LIKE pattern, not a value: the lookup
# returns the values that fit it.
PATTERN_PROBE = "~"

# Nouns with no plural of their own: "2 staff", not "2 staffs".
_UNCOUNTABLE = {"staff", "inventory", "equipment", "personnel", "stock", "information", "data",
                "software", "media", "news", "series", "feedback", "furniture", "merchandise"}
# The states of the United States by name, and the two letters a column of
# states most often holds instead ("the state of Washington": WA).
US_STATES = dict(zip(
    [n.replace("_", " ") for n in (
        "alabama alaska arizona arkansas california colorado connecticut delaware florida "
        "georgia hawaii idaho illinois indiana iowa kansas kentucky louisiana maine maryland "
        "massachusetts michigan minnesota mississippi missouri montana nebraska nevada "
        "new_hampshire new_jersey new_mexico new_york north_carolina north_dakota ohio oklahoma "
        "oregon pennsylvania rhode_island south_carolina south_dakota tennessee texas utah "
        "vermont virginia washington west_virginia wisconsin wyoming").split()],
    "AL AK AZ AR CA CO CT DE FL GA HI ID IL IN IA KS KY LA ME MD MA MI MN MS MO MT NE NV NH NJ "
    "NM NY NC ND OH OK OR PA RI SC SD TN TX UT VT VA WA WV WI WY".split()))
STATE_WORDS = ("state", "province", "region")


def plural(n, word: str) -> str:
    return word if n == 1 or word in _UNCOUNTABLE else (word[:-1] + "ies" if word.endswith("y") and word[-2:-1] not in "aeiou"
                                else word + ("es" if word.endswith(("s", "x", "ch", "sh")) else "s"))


NUMBER_WORDS = {w: i for i, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve".split())}
MONTHS = {m: i + 1 for i, m in enumerate(
    "january february march april may june july august september october november "
    "december".split())}
MONTHS.update({m[:3]: n for m, n in list(MONTHS.items())})
MONTHS.pop("may")  # "may" is far more often the verb; "May 2024" is handled below
MONTHS["sept"] = 9

# Words that carry no condition of their own: the question's grammar.
FUNCTION_WORDS = set("""
    the a an of in on at to for from with is are was were be been being do does did have has
    had there here that this these those which who whom whose what how me us i we you our
    my your their its it they them please can could would will shall should tell show list
    give find display get all every any some currently ever so far overall altogether as
    database db table tables record records row rows entry entries data shop store system
    exist exists existing registered recorded stored listed known and one ones kind kinds
    type types much many number count name names value values whole entire whose where when
    had got let see know want need like about across within into out up each
    still already yet just also actual actually really anything something anyone anybody may might
    company organization organisation firm i.e e.g become became becomes
    """.split())

# Verbs that only restate how two tables are related ("orders a customer
# placed", "books written by an author"): dropped once the tables are known.
# Verbs of trade: what order lines record ("products sold", "items bought").
TRADE_VERBS = frozenset({"sell", "buy", "order", "purchase"})
RELATION_VERBS = {"place", "make", "buy", "purchase", "sell", "borrow", "lend", "write",
                   "take", "rent", "hold", "have", "has", "contain", "include",
                   "belong", "get", "receive", "own", "come", "bring", "work", "charge",
                   "bill", "generate", "go", "see", "treat", "attend", "visit", "prescribe",
                   "issue", "serve", "handle", "do", "cover", "appear", "feature", "use",
                   "involve", "mention", "teach", "log", "record", "study", "take", "employ",
                   "ship", "go", "leave", "send", "carry", "drive", "pay", "deliver",
                   "transport", "move", "travel", "arrive", "hire", "process", "ring",
                   "assign", "associate", "link", "relate", "connect", "tie", "speak",
                   "release", "publish", "compose", "perform", "sing", "produce"}

# Everyday words for kinds of columns.  Each maps to words that a column
# name may contain; the first column found wins within the chosen table.
COLUMN_SYNONYMS = {
    "cost": ("price", "cost"), "costs": ("price", "cost"), "costing": ("price", "cost"), "priced": ("price",),
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
    "long": ("page", "length", "duration", "minute", "millisecond", "second"),
    "length": ("length", "page", "duration", "runtime", "millisecond"),
    "duration": ("duration", "length", "runtime", "millisecond", "minute"),
    "durations": ("duration", "length", "runtime", "millisecond", "minute"),
    "called": ("name", "title"), "named": ("name", "title"), "titled": ("title", "name"),
    "earn": ("salary", "wage", "pay"), "earns": ("salary", "wage", "pay"),
    "joined": ("join", "signup", "member", "registration"),
    "signed": ("signup", "sign", "registration"), "signup": ("signup",),
    "registered": ("registration", "signup", "register"),
    # "How many people live in Asia": a population, where a column counts them.
    "people": ("population",), "inhabitants": ("population",), "populous": ("population",),
}

LOCATION_WORDS = set(COLUMN_SYNONYMS["live"])
LABEL_WORDS = ("name", "title", "label")
QUANTITY_WORDS = {"quantity", "qty", "unit", "units", "count", "number", "weight", "volume",
                   "hour", "hours"}
PRICE_WORDS = {"price", "cost", "rate", "fee"}

# Units written after a number or at the end of a column name ("weight_kg").
UNIT_WORDS = {"kg", "kgs", "kilogram", "kilograms", "g", "gram", "grams", "km", "mile",
               "miles", "ton", "tons", "tonne", "tonnes", "lb", "lbs", "cm", "m", "eur", "usd",
               "gbp", "euro", "euros", "dollar", "dollars", "pound", "pounds", "cent", "cents"}
MONEY_WORDS = {"charge", "charges", "revenue", "sale", "sales", "turnover", "income", "spend", "spending",
                "spent", "earning", "earnings", "money", "takings", "business"}
MONEY_COLUMN_WORDS = {"total", "amount", "revenue", "value", "sum", "paid", "payment"}
# Verbs of handing over money: the rows they name ("paid": payments) are sums
# of money, where a verb of other rows ("loaned") counts them.
PAYING_VERBS = frozenset({"pay", "charge", "bill"})
SIZE_WORDS = {"value", "size", "total", "worth"}

MAX_WORDS = {"highest", "largest", "biggest", "greatest", "most", "max", "maximum", "top",
              "best", "longest", "heaviest", "priciest", "newest", "latest", "youngest",
              "best-selling", "bestselling", "top-selling"}
MIN_WORDS = {"lowest", "smallest", "least", "fewest", "min", "minimum", "bottom",
              "shortest", "lightest", "cheapest", "earliest", "oldest", "worst-selling"}

# Superlatives that name their own kind of column.
SUPERLATIVE_COLUMNS = {"cheapest": ("price", "cost"), "priciest": ("price", "cost"),
                        "heaviest": ("weight",), "lightest": ("weight",),
                        "newest": "date", "latest": "date", "earliest": "date",
                        "oldest": "date", "youngest": "birth",
                        "longest": ("page", "length", "duration", "runtime", "millisecond", "minute"),
                        "shortest": ("page", "length", "duration", "runtime", "millisecond",
                                     "minute")}

COMPARATORS = [
    (("more", "than"), ">"), (("greater", "than"), ">"), (("higher", "than"), ">"),
    (("larger", "than"), ">"), (("bigger", "than"), ">"), (("over",), ">"), (("above",), ">"),
    (("exceeding",), ">"), (("at", "least"), ">="), (("no", "less", "than"), ">="),
    (("minimum", "of"), ">="), (("less", "than"), "<"), (("fewer", "than"), "<"),
    (("lower", "than"), "<"), (("smaller", "than"), "<"), (("under",), "<"), (("below",), "<"),
    (("at", "most"), "<="), (("no", "more", "than"), "<="), (("up", "to"), "<="),
    (("exactly",), "="), (("equal", "to"), "="),
    (("cheaper", "than"), "<"), (("more", "expensive", "than"), ">"),
    (("longer", "than"), ">"), (("shorter", "than"), "<"),
    (("less", "than", "or", "equal", "to"), "<="), (("fewer", "than", "or", "equal", "to"), "<="),
    (("more", "than", "or", "equal", "to"), ">="), (("greater", "than", "or", "equal", "to"), ">="),
]

# Units of time in seconds, as a question or a column name writes them
# ("longer than 5 minutes", "Milliseconds", "duration_sec").
TIME_UNITS = {"millisecond": decimal.Decimal("0.001"), "msec": decimal.Decimal("0.001"),
              "ms": decimal.Decimal("0.001"), "second": 1, "sec": 1, "secs": 1, "minute": 60,
              "min": 60, "mins": 60, "hour": 3600, "hr": 3600, "hrs": 3600, "day": 86400}
# Words of the columns a length of time is kept in.
DURATION_WORDS = ("length", "duration", "runtime", "millisecond", "second", "minute", "sec")


def time_unit(words) -> Optional[str]:
    """The unit of time a column's name says it holds, or None."""
    found = [w for w in words if w in TIME_UNITS]
    return found[-1] if len(found) == 1 or len(set(found)) == 1 else None

OR_MORE = {"more": ">=", "above": ">=", "over": ">=", "higher": ">=", "greater": ">=",
            "less": "<=", "fewer": "<=", "under": "<=", "below": "<=", "lower": "<="}


@dataclass
class Tok:
    text: str
    low: str
    forms: set
    quoted: bool = False
    number: Optional[decimal.Decimal] = None
    used: Optional[str] = None
    percent: bool = False   # written with a % sign: "20%"

    @property
    def cap(self) -> bool:
        return self.text[:1].isupper() or self.quoted


_TOKEN_RE = re.compile(
    r"\"(?P<dq>[^\"]+)\"|“(?P<cq>[^”]+)”|(?<!\w)'(?P<sq>[^']+)'(?!\w)"
    r"|(?P<date>\d{4}-\d{2}-\d{2})"
    r"|(?P<num>[$€£]?\d[\d,]*(?:\.\d+)?)(?P<pct>%)?"
    r"|(?P<word>[^\W\d_][\w'’\-.&/]*[\w]|[^\W\d_])")


def tokenize(text: str) -> list[Tok]:
    toks = []
    text = re.sub(r"(?<!\w)#\s*of\b", "number of", text)  # "the # of invoices"
    # "2 million people", "1.5 billion": the number written out.
    text = re.sub(r"\b(\d+(?:\.\d+)?) (million|billion)\b", lambda m: format(decimal.Decimal(
        m[1]).scaleb(6 if m[2].lower() == "million" else 9).normalize(), "f"), text, flags=re.I)
    text = re.sub(r"\b(best|worst) selling\b", r"\1-selling", text, flags=re.I)
    for m in _TOKEN_RE.finditer(text):
        q = m["dq"] or m["cq"] or m["sq"]
        if q:
            toks.append(Tok(q, q.lower(), {q.lower()}, quoted=True))
        elif m["date"]:
            toks.append(Tok(m["date"], m["date"], {m["date"]}))
        elif m["num"]:
            raw = m["num"].lstrip("$€£").replace(",", "")
            toks.append(Tok(m["num"], raw, {raw}, number=decimal.Decimal(raw),
                            percent=bool(m["pct"])))
        else:
            word = m["word"].rstrip(".")
            t = Tok(word, word.lower(), forms(word))
            if t.low in NUMBER_WORDS:
                t.number = decimal.Decimal(NUMBER_WORDS[t.low])
            toks.append(t)
    return toks
