"""Places, on an atlas of our own in the style of a well-known sample: a
country keyed by a code, with its name also kept as a local name, an
abbreviated year column and a head of state; cities that point at it; and
languages keyed by the country and the language itself.  Every expected
cell is read from the server with the SQL beside the question.
"""

import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "places_atlas", "places_ro", "places-ro-pw"
SCRIPT = """
CREATE TABLE country (Code CHAR(3) PRIMARY KEY, Name CHAR(52) NOT NULL, LocalName CHAR(45) NOT NULL,
  Continent ENUM('Europe', 'Asia', 'Africa') NOT NULL, IndepYear SMALLINT, Population INT NOT NULL,
  HeadOfState CHAR(60));
CREATE TABLE city (ID INT PRIMARY KEY, Name CHAR(35) NOT NULL, CountryCode CHAR(3) NOT NULL,
  Population INT NOT NULL, IsActive ENUM('Y', 'N') NOT NULL DEFAULT 'Y',
  FOREIGN KEY (CountryCode) REFERENCES country (Code));
CREATE TABLE countrylanguage (CountryCode CHAR(3) NOT NULL, Language CHAR(30) NOT NULL,
  IsOfficial ENUM('T', 'F') NOT NULL DEFAULT 'F', PRIMARY KEY (CountryCode, Language),
  FOREIGN KEY (CountryCode) REFERENCES country (Code));
INSERT INTO country VALUES ('NOR', 'Norway', 'Norway', 'Europe', 1905, 4478500, 'Harald V'),
  ('MLT', 'Malta', 'Malta', 'Europe', 1964, 380200, 'Guido de Marco'),
  ('LAO', 'Laos', 'Lao', 'Asia', 1953, 5433000, 'Khamtay Siphandone'),
  ('GHA', 'Ghana', 'Ghana', 'Africa', 1957, 20212000, 'John Kufuor'),
  ('NPL', 'Nepal', 'Nepal', 'Asia', 1769, 23930000, 'Gyanendra');
INSERT INTO city VALUES (1, 'Oslo', 'NOR', 508726, 'Y'), (2, 'Bergen', 'NOR', 230948, 'N'),
  (3, 'Valletta', 'MLT', 7073, 'Y'), (4, 'Vientiane', 'LAO', 531800, 'Y'),
  (5, 'Accra', 'GHA', 1070000, 'Y'), (6, 'Kumasi', 'GHA', 2385000, 'N'),
  (7, 'Kathmandu', 'NPL', 591835, 'Y');
INSERT INTO countrylanguage VALUES ('NOR', 'Norwegian', 'T'), ('NOR', 'Saame', 'F'),
  ('MLT', 'Maltese', 'T'), ('MLT', 'English', 'T'), ('LAO', 'Lao', 'T'), ('GHA', 'Akan', 'F'),
  ('GHA', 'English', 'T'), ('NPL', 'Nepali', 'T');
"""


@pytest.fixture(scope="module")
def atlas(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, SCRIPT)
    return mariadb


# Each question -> the SQL whose every cell the answer must state, and
# (where given) words that must not be in it.
PLACES = [
    # A name kept in the name column and in another of the same row is the
    # name column's; "of" in HeadOfState names nothing on its own.
    ("What is the population of Norway?", "SELECT Population FROM country WHERE Name = 'Norway'"),
    ("Who is the head of state of Ghana?", "SELECT HeadOfState FROM country WHERE Code = 'GHA'"),
    # Rows keyed by a reference and a text are named by the text.
    ("What languages are spoken in Malta?",
     "SELECT Language FROM countrylanguage WHERE CountryCode = 'MLT'"),
    # A yes-or-no ENUM ('T', 'F') by its adjective: only the rows it says yes of.
    ("What are the official languages of Ghana?",
     "SELECT Language FROM countrylanguage WHERE CountryCode = 'GHA' AND IsOfficial = 'T'", ["Akan"]),
    ("Count the active and the inactive cities.",
     "SELECT SUM(IsActive = 'Y'), SUM(IsActive = 'N') FROM city"),
    ("What are the 3 most populous cities?",
     "SELECT Name FROM city ORDER BY Population DESC LIMIT 3"),
    ("Which cities have more than 1 million people?",
     "SELECT Name FROM city WHERE Population > 1000000"),
    # The figure of the rows that keep the group key, not of those that reach it.
    ("What is the total population of each continent?",
     "SELECT Continent, SUM(Population) FROM country GROUP BY Continent"),
    # A column's word cut short ("Indep") named in full.
    ("Which countries became independent after 1950?",
     "SELECT Name FROM country WHERE IndepYear > 1950"),
]


@pytest.mark.parametrize("question, sql, absent", [row + ([],) * (3 - len(row)) for row in PLACES])
def test_places(atlas, question, sql, absent):
    answer = ask_offline(atlas, NAME, USER, PASSWORD, question)
    assert not answer.startswith(CANNOT_ANSWER), answer
    stated = [Decimal(n) for n in re.findall(r"\d+(?:\.\d+)?", answer)]
    rows = atlas.execute(sql, database=NAME)
    assert rows
    for row in rows:
        for cell in row:
            assert (Decimal(cell) in stated) if isinstance(cell, (int, Decimal)) \
                else str(cell) in answer, (answer, cell)
    assert not [w for w in absent if w in answer], answer
