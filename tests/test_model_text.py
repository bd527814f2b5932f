"""Text a column holds, members of a SET, a column of years, a rating and
the day of the week, on a podcast archive of our own.  Every expected
cell is read from the server with the SQL beside the question."""

from decimal import Decimal
import re

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "text_podcasts", "text_ro", "text-ro-pw"
SCHEMA = """
CREATE TABLE studios (studio_id INT PRIMARY KEY, studio_name VARCHAR(30));
CREATE TABLE hosts (host_id INT PRIMARY KEY, first_name VARCHAR(20), last_name VARCHAR(20));
CREATE TABLE episodes (
    episode_id INT PRIMARY KEY,
    title VARCHAR(40) NOT NULL,
    summary TEXT,
    air_date DATE,
    release_year YEAR,
    rating ENUM('G', 'PG', 'R'),
    extras SET('Transcript', 'Behind the Mic', 'Bonus Clip'),
    host_id INT,
    guest_host_id INT,
    FOREIGN KEY (host_id) REFERENCES hosts (host_id),
    FOREIGN KEY (guest_host_id) REFERENCES hosts (host_id)
);
INSERT INTO studios VALUES (1, 'Studio 54'), (2, 'Attic Room'), (3, 'Loft 9');
INSERT INTO hosts VALUES (1, 'Jane', 'Doe'), (2, 'John', 'Dunne'), (3, 'Dara', 'Jones');
INSERT INTO episodes VALUES
    (1, 'Moonrise', 'A robot wakes up', '2021-03-01', 2021, 'G', 'Transcript,Behind the Mic', 1, 3),
    (2, 'Top 50% Off', 'Two robots argue', '2021-03-02', 2021, 'R', NULL, 2, NULL),
    (3, 'Top 500 Offers', 'Robotics for beginners', '2022-05-09', 2022, 'PG', 'Behind the Mic', 3, 3),
    (4, 'Kettle Logic', 'A kettle sings', '2022-06-13', 2022, 'R', 'Bonus Clip', 1, 2),
    (5, 'Quiet Moon', NULL, '2023-01-02', 2023, 'G', 'Behind the Mic,Bonus Clip', 2, 3),
    (6, 'Harvest', 'The robot, again.', '2023-01-07', 2023, 'R', '', 3, 1);
"""


@pytest.fixture(scope="module")
def podcasts(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, SCHEMA)
    return mariadb


# (question, SQL whose every cell the answer states, or None: declined).
# Listed rows must be all the answer names: the titles it must not name
# are those of the table the SQL leaves out.
@pytest.mark.parametrize("question, sql", [
    ("Which episodes have MOON in their title?",
     "SELECT title FROM episodes WHERE title LIKE '%moon%'"),
    ("List the episodes starting with the letters K and Q.",
     "SELECT title FROM episodes WHERE title LIKE 'K%' OR title LIKE 'Q%'"),
    # The user's % is a percent sign, not any text: not 'Top 500 Offers'.
    ("Which episodes have '50%' in their title?",
     "SELECT title FROM episodes WHERE title LIKE '%50\\\\%%'"),
    ("Which studios have a digit in their name?",
     "SELECT studio_name FROM studios WHERE studio_name REGEXP '[0-9]'"),
    ("Which hosts have the initials JD?",
     "SELECT CONCAT(first_name, ' ', last_name) FROM hosts "
     "WHERE first_name LIKE 'J%' AND last_name LIKE 'D%'"),
    ("How many episodes include Behind the Mic content?",
     "SELECT COUNT(*) FROM episodes WHERE FIND_IN_SET('Behind the Mic', extras)"),
    ("How many episodes have no Bonus Clip?",
     "SELECT COUNT(*) FROM episodes WHERE NOT COALESCE(FIND_IN_SET('Bonus Clip', extras), 0)"),
    ("How many episodes have Transcript or Bonus Clip?",
     "SELECT COUNT(*) FROM episodes WHERE FIND_IN_SET('Transcript', extras) "
     "OR FIND_IN_SET('Bonus Clip', extras)"),
    ("How many episodes were released in 2022?",
     "SELECT COUNT(*) FROM episodes WHERE release_year = 2022"),
    ("What percentage of episodes are rated R?",
     "SELECT 100 * AVG(rating = 'R') FROM episodes"),
    ("How many episodes aired on a Monday?",
     "SELECT COUNT(*) FROM episodes WHERE DAYNAME(air_date) = 'Monday'"),
    # The host's key, not the guest's: a key named for a role is taken
    # only where the question names the role.
    ("How many episodes are there with Dara as host?",
     "SELECT COUNT(*) FROM episodes e JOIN hosts h USING (host_id) WHERE h.first_name = 'Dara'"),
    # A thing told of in the one long text, whole: not "Robotics".
    ("Which episodes are about a robot?",
     "SELECT title FROM episodes WHERE summary REGEXP '\\\\brobots?\\\\b'"),
    ("How many episodes are R?", None),                 # a letter, its column unsaid
    ("Which studios are about a robot?", None),         # studios keep no long text
    ("How many episodes are from 2022?", None),         # the release year or the air date?
    ("Which episodes have Transcript and Bonus Clip?", None),  # both, or either?
    ("Which episodes contain MOON?", None),             # in which text?
    ("How many episodes were released in March 2022?", None),  # a year holds no month
])
def test_text(podcasts, question, sql):
    answer = ask_offline(podcasts, NAME, USER, PASSWORD, question)
    if sql is None:
        assert answer.startswith(CANNOT_ANSWER), answer
        return
    assert not answer.startswith(CANNOT_ANSWER), answer
    rows = podcasts.execute(sql, database=NAME)
    stated = [Decimal(n) for n in re.findall(r"\d+(?:\.\d+)?", answer)]
    for (cell,) in rows:
        assert (any(abs(Decimal(cell) - s) < Decimal("0.01") for s in stated)
                if isinstance(cell, (int, Decimal)) else str(cell) in answer), (answer, cell)
    if rows and isinstance(rows[0][0], str):
        table = re.search(r"FROM (\w+)", sql)[1]
        label = "title" if table == "episodes" else "studio_name" if table == "studios" \
            else "CONCAT(first_name, ' ', last_name)"
        others = {r[0] for r in podcasts.execute(f"SELECT {label} FROM {table}", database=NAME)}
        others -= {r[0] for r in rows}
        assert not [o for o in others if o in answer], answer
