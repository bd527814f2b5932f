"""Reports of several columns, the order they are asked in, and both
extremes at once, on a small supply firm of our own: gadgets with a list
price and a cost, staff with an office, a fax that may be empty and a
state kept as two letters.  Every expected value comes from the SQL beside
the question.
"""

import re

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "reports_firm", "reports_ro", "reports-ro-pw"
SCRIPT = """
CREATE TABLE offices (office_id INT PRIMARY KEY, city VARCHAR(20), state VARCHAR(2));
CREATE TABLE staff (staff_id INT PRIMARY KEY, first_name VARCHAR(20), last_name VARCHAR(20),
  fax VARCHAR(20), office_id INT, FOREIGN KEY (office_id) REFERENCES offices(office_id));
CREATE TABLE gadgets (gadget_id INT PRIMARY KEY, gadget_name VARCHAR(30),
  list_price DECIMAL(6,2), standard_cost DECIMAL(6,2));
INSERT INTO offices VALUES (1, 'Austin', 'TX'), (2, 'Dallas', 'TX'), (3, 'Reno', 'NV'),
  (4, 'Boise', 'ID');
INSERT INTO staff VALUES (1, 'Ada', 'Umber', '555-0101', 1), (2, 'Bo', 'Tarn', '', 2),
  (3, 'Cy', 'Stone', NULL, 3), (4, 'Di', 'Reyes', '555-0104', 3), (5, 'Ed', 'Quill', NULL, 1);
INSERT INTO gadgets VALUES (1, 'Sprocket', 12.50, 21.00), (2, 'Widget', 19.99, 4.00),
  (3, 'Gizmo', 45.00, 30.00), (4, 'Doohickey', 3.25, 1.00), (5, 'Thingamajig', 3.25, 2.00),
  (6, 'Whatsit', 27.00, 9.00);
"""
NAMES = "CONCAT(first_name, ' ', last_name)"

# (question, SQL, kind): "ordered" each row's cells, the rows in the SQL's
# order; "rows" each row's cells in any order; "decline" a decline.
REPORTS = [
    ("Fetch the gadget ID, name and list price of the gadgets costing less than $20, with "
     "the most expensive gadgets first.",
     "SELECT gadget_name, gadget_id, list_price FROM gadgets WHERE list_price < 20 "
     "ORDER BY list_price DESC, gadget_name", "ordered"),
    ("List the gadgets sorted by standard cost from highest to lowest.",
     "SELECT gadget_name, standard_cost FROM gadgets ORDER BY standard_cost DESC", "ordered"),
    ("List the staff alphabetically by last name.",
     f"SELECT {NAMES} FROM staff ORDER BY last_name", "ordered"),
    ("Display for each staff the first and last names, city and state.",
     f"SELECT {NAMES}, o.city, o.state FROM staff s JOIN offices o ON o.office_id = s.office_id",
     "rows"),
    ("Create a report that shows the name and fax of the staff that have a fax.",
     f"SELECT {NAMES}, fax FROM staff WHERE fax <> ''", "rows"),
    ("List the first and last names of staff in offices other than Reno in the state of Texas.",
     f"SELECT {NAMES} FROM staff s JOIN offices o ON o.office_id = s.office_id "
     "WHERE o.city <> 'Reno' AND o.state = 'TX'", "rows"),
    # Boise has no staff and is listed all the same; its state ID is no "staff ID".
    ("List the city of all offices along with the staff ID of any staff they may have.",
     "SELECT o.city, s.staff_id FROM offices o LEFT JOIN staff s ON s.office_id = o.office_id",
     "rows"),
    ("What are the lowest and highest list prices?",
     "SELECT MIN(list_price), MAX(list_price) FROM gadgets", "rows"),
    ("Fetch the name and list price of the most and the least expensive gadgets.",
     "SELECT gadget_name, list_price FROM gadgets WHERE list_price IN "
     "((SELECT MAX(list_price) FROM gadgets), (SELECT MIN(list_price) FROM gadgets))", "rows"),
    # A price and a cost both fit "expensive"; nothing named says which.
    ("List the gadgets with the most expensive first.", "", "decline"),
    ("How many gadgets are there, in descending order?", "", "decline"),
    ("List the gadgets sorted by colour.", "", "decline"),
]


@pytest.fixture(scope="module")
def firm(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, SCRIPT)
    return mariadb


def _spot(cell, answer):
    """Where the answer states a cell, or -1."""
    text = f"{cell:f}".rstrip("0").rstrip(".") if not isinstance(cell, str) else cell
    m = re.search(rf"(?<![\w.]){re.escape(text)}(?:0*)(?![\w])", answer)
    return m.start() if m else -1


@pytest.mark.parametrize("question,sql,kind", REPORTS)
def test_report(firm, question, sql, kind):
    answer = ask_offline(firm, NAME, USER, PASSWORD, question)
    if kind == "decline":
        assert answer.startswith(CANNOT_ANSWER), answer
        return
    assert not answer.startswith(CANNOT_ANSWER), answer
    rows = firm.execute(sql, database=NAME)
    assert rows
    for row in rows:
        assert all(_spot(cell, answer) >= 0 for cell in row if cell is not None), (answer, row)
    if kind == "ordered":
        spots = [_spot(row[0], answer) for row in rows]
        assert spots == sorted(spots), (answer, rows)
