"""The question reader's time against the length of the question.

    .venv/bin/python bench/long_questions.py             # 200, 1,000 and 3,000 words
    .venv/bin/python bench/long_questions.py 50 400 800  # other lengths

A question of N words is built from everyday sentences about a small
camelCase schema (its tables, columns, values, dates, numbers and words
that name nothing), cycled to length.  For each length the table gives the
reader's time (both of its passes: the first, that lists the values to
look up, and the second, over the values found) and the time per word,
which must stay flat as the question grows; and the model's whole reply
through its steps (tables, schema, the value lookup answered with a few
hits, then its query or its decline), as a caller's ``run`` would see it
without the server's own time.
"""

from __future__ import annotations

import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from quorvane_ask.offline import OfflineSQLModel  # noqa: E402
from quorvane_ask.offline.observations import read_schema  # noqa: E402
from quorvane_ask.offline.reader import Reader  # noqa: E402
from quorvane_ask.offline.schema import Schema  # noqa: E402

SCHEMA = """
CREATE TABLE `Artists` (
\t`ArtistId` INTEGER NOT NULL,
\t`FirstName` VARCHAR(40),
\t`LastName` VARCHAR(40),
\t`BirthDate` DATE,
\tPRIMARY KEY (`ArtistId`)
)

CREATE TABLE `Albums` (
\t`AlbumId` INTEGER NOT NULL,
\t`Title` VARCHAR(160) NOT NULL,
\t`ArtistId` INTEGER NOT NULL,
\t`GenreName` VARCHAR(40),
\t`ReleaseDate` DATE,
\tPRIMARY KEY (`AlbumId`),
\tFOREIGN KEY(`ArtistId`) REFERENCES `Artists` (`ArtistId`)
)

CREATE TABLE `Tracks` (
\t`TrackId` INTEGER NOT NULL,
\t`TrackName` VARCHAR(200) NOT NULL,
\t`AlbumId` INTEGER,
\t`Milliseconds` INTEGER NOT NULL,
\t`UnitPrice` DECIMAL(10, 2) NOT NULL,
\tPRIMARY KEY (`TrackId`),
\tFOREIGN KEY(`AlbumId`) REFERENCES `Albums` (`AlbumId`)
)

CREATE TABLE `Listeners` (
\t`ListenerId` INTEGER NOT NULL,
\t`FirstName` VARCHAR(40),
\t`LastName` VARCHAR(40),
\t`Country` VARCHAR(40),
\t`SignupDate` DATE,
\tPRIMARY KEY (`ListenerId`)
)
"""

SENTENCES = [
    "How many albums did the artist Nina Brook release in March 2021",
    "and which tracks on those albums cost more than 1.5 dollars",
    "list the listeners from Norway who signed up before 2022",
    "with their first and last names sorted by the date they joined",
    "I wonder whether the longest track is longer than seven minutes",
    "or whether the cheapest one is on an album called Blue Harbour",
    "please also tell me the average unit price per genre of album",
    "the weather was lovely when we drove to the coast last summer",
]
# What the value lookup finds: the few capitalised runs the data holds.
HITS = [("Nina Brook", "Artists", "FirstName"), ("Norway", "Listeners", "Country"),
        ("Blue Harbour", "Albums", "Title")]


def question(words: int) -> str:
    text: list[str] = []
    while len(text) < words:
        for s in SENTENCES:
            text += s.split()
    return " ".join(text[:words]) + "?"


def prompt(q: str, steps: list[tuple[str, str, str]]) -> str:
    head = ("Answer the question. You have access to the following tools: ...\n"
            "Action: the action to take, should be one of [sql_db_query, sql_db_schema, "
            "sql_db_list_tables, sql_db_query_checker]\n"
            "create a syntactically correct mysql query\n\nBegin!\n\n"
            f"Question: {q}\nThought:")
    for tool, arg, obs in steps:
        head += f" ok\nAction: {tool}\nAction Input: {arg}\nObservation: {obs}\nThought:"
    return head


def whole_reply(q: str) -> tuple[float, str]:
    """The model's replies step by step, the tools' outputs played back."""
    model = OfflineSQLModel()
    tables = "Albums, Artists, Listeners, Tracks"
    steps = [("sql_db_list_tables", "", tables), ("sql_db_schema", tables, SCHEMA)]
    t0 = time.perf_counter()
    reply = model.respond(prompt(q, steps))
    if "Action: sql_db_query" in reply:
        sql = reply.split("Action Input: ", 1)[1].strip()
        steps.append(("sql_db_query", sql, repr(HITS)))
        reply = model.respond(prompt(q, steps))
    return time.perf_counter() - t0, reply.strip().splitlines()[-1][:70]


def main() -> None:
    lengths = [int(a) for a in sys.argv[1:]] or [200, 1000, 3000]
    schema = Schema(read_schema(SCHEMA), "`", True)
    hits: dict[str, list] = {}
    for v, t, c in HITS:
        hits.setdefault(v.lower(), []).append((t, c))
    print(f"{'words':>6} {'reader s':>9} {'µs/word':>8} {'whole reply s':>14}  last step")
    for n in lengths:
        q = question(n)
        best = float("inf")
        for _ in range(3):
            t0 = time.perf_counter()
            Reader(schema, q).read({})
            Reader(schema, q).read(hits)
            best = min(best, time.perf_counter() - t0)
        whole, last = whole_reply(q)
        print(f"{n:>6} {best:>9.3f} {best / n * 1e6:>8.0f} {whole:>14.3f}  {last}")


if __name__ == "__main__":
    main()
