"""Comparisons with something other than a number written in the question:
another column of the row or of the row it belongs to, an average over
all rows, times a factor; on a plant nursery of our own.  Every expected
value is computed by the server from the SQL beside the question.
"""

import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "versus_nursery", "versus_ro", "versus-ro-pw"
PLANTS = ["Aster", "Begonia", "Camellia", "Dahlia", "Fuchsia", "Gardenia", "Heather", "Iris",
          "Jasmine", "Lavender", "Magnolia", "Peony"]


def _script() -> str:
    out = ["CREATE TABLE growers (grower_id INT PRIMARY KEY, grower_name VARCHAR(30), "
           "region VARCHAR(20))",
           "CREATE TABLE plants (plant_id INT PRIMARY KEY, plant_name VARCHAR(30), grower_id INT, "
           "list_price DECIMAL(6,2), cost_price DECIMAL(6,2), height_cm INT, "
           "FOREIGN KEY (grower_id) REFERENCES growers(grower_id))",
           "CREATE TABLE buyers (buyer_id INT PRIMARY KEY, buyer_name VARCHAR(30), city VARCHAR(20))",
           "CREATE TABLE orders (order_id INT PRIMARY KEY, buyer_id INT, order_date DATE, "
           "promised_date DATE, delivered_date DATE, ship_city VARCHAR(20), "
           "FOREIGN KEY (buyer_id) REFERENCES buyers(buyer_id))",
           "CREATE TABLE order_lines (line_id INT PRIMARY KEY, order_id INT, plant_id INT, "
           "quantity INT, unit_price DECIMAL(6,2), "
           "FOREIGN KEY (order_id) REFERENCES orders(order_id), "
           "FOREIGN KEY (plant_id) REFERENCES plants(plant_id))",
           "INSERT INTO growers VALUES (1, 'Oakfield', 'Kent'), (2, 'Brookside', 'Devon')",
           "INSERT INTO buyers VALUES (1, 'Ruth', 'Leeds'), (2, 'Simon', 'York'), (3, 'Tamsin', 'Leeds'), "
           "(4, 'Ursula', 'Bath')"]
    out.append("INSERT INTO plants VALUES " + ", ".join(
        f"({i}, '{p}', {1 + i % 2}, {4 + 3 * i}.00, {1 + i + i % 3}.50, {10 + (i * 37) % 90})"
        for i, p in enumerate(PLANTS, start=1)))
    out.append("INSERT INTO orders VALUES " + ", ".join(
        f"({i}, {1 + i % 4}, '2024-03-{i:02d}', '2024-03-{i + 5:02d}', "
        f"'2024-03-{i + 2 + (i * 5) % 7:02d}', '{['Leeds', 'York', 'Bath'][i % 3]}')"
        for i in range(1, 11)))
    out.append("INSERT INTO order_lines VALUES " + ", ".join(
        f"({k}, {1 + k % 10}, {1 + (k * 5) % 12}, {1 + k % 4}, "
        f"{4 + 3 * (1 + (k * 5) % 12) - (k % 3) * 1.5:.2f})" for k in range(1, 25)))
    return ";\n".join(out) + ";"


@pytest.fixture(scope="module")
def nursery(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, _script())
    return mariadb


SPENT = ("(SELECT COALESCE(SUM(l.quantity * l.unit_price), 0) FROM order_lines l JOIN orders s "
         "ON s.order_id = l.order_id WHERE s.buyer_id = {b}.buyer_id)")

# (question, SQL, kind): "names" the names of the rows and no other plant
# or buyer, "ordered" the same in the SQL's order; "number" the one figure;
# "decline" a decline.
VERSUS = [
    ("Which plants have a list price above the average?",
     "SELECT plant_name FROM plants WHERE list_price > (SELECT AVG(list_price) FROM plants)",
     "names"),
    ("List the plants whose height is more than 1.5 times the average height.",
     "SELECT plant_name FROM plants WHERE height_cm > 1.5 * (SELECT AVG(height_cm) FROM plants)",
     "names"),
    ("How many plants have a list price at least 2.9 times their cost price?",
     "SELECT COUNT(*) FROM plants WHERE list_price >= 2.9 * cost_price", "number"),
    ("Which plants have a cost price less than or equal to 40% of the list price?",
     "SELECT plant_name FROM plants WHERE cost_price <= 0.4 * list_price", "names"),
    ("How many orders were delivered after the promised date?",
     "SELECT COUNT(*) FROM orders WHERE delivered_date > promised_date", "number"),
    ("Which plants were sold at less than 90% of their list price?",
     "SELECT DISTINCT p.plant_name FROM plants p JOIN order_lines l ON l.plant_id = p.plant_id "
     "WHERE l.unit_price < 0.9 * p.list_price", "names"),
    ("Which buyers spent more than the average of the total spent by each buyer?",
     f"SELECT buyer_name FROM buyers b WHERE {SPENT.format(b='b')} > "
     f"(SELECT AVG({SPENT.format(b='b2')}) FROM buyers b2)", "names"),
    # Some one order is worth that much, not the buyer's orders added up.
    ("Which buyers have an order worth more than 200?",
     "SELECT DISTINCT b.buyer_name FROM buyers b JOIN orders s ON s.buyer_id = b.buyer_id "
     "WHERE (SELECT SUM(l.quantity * l.unit_price) FROM order_lines l "
     "WHERE l.order_id = s.order_id) > 200", "names"),
    # The average of the plants the other condition picks, or of all of them?
    ("Which plants from Oakfield have a list price above the average?", "", "decline"),
    ("Which plants have a list price above the average list price of their grower?", "",
     "decline"),
    ("How many plants per grower have a list price above the average?", "", "decline"),
    # Each buyer's total against single orders, or against each buyer's total?
    ("Which buyers spent more than the average order?", "", "decline"),
    # A total of each grower's prices, not each plant's own price.
    ("Which growers have a total list price above the average list price?", "", "decline"),
    ("Which plants have a list price above the average, the most expensive first?", "",
     "decline"),
    ("How many orders were delivered after the order date of order 3?", "", "decline"),
    # An order after the average sorts the rows; words that pick rows still decline.
    ("List the plant names and list prices of the plants with a list price above the average "
     "list price, with the most expensive plants first.",
     "SELECT plant_name FROM plants WHERE list_price > (SELECT AVG(list_price) FROM plants) "
     "ORDER BY list_price DESC", "ordered"),
    ("List the plants with a list price above the average list price of plants from Oakfield.",
     "", "decline"),
    # Two columns said to be the same: of one row, or of the row its key points at.
    ("How many orders are there where the delivered date and the promised date are the same?",
     "SELECT COUNT(*) FROM orders WHERE delivered_date = promised_date", "number"),
    ("How many orders are there where the buyer's city and the ship city are the same?",
     "SELECT COUNT(*) FROM orders o JOIN buyers b ON b.buyer_id = o.buyer_id "
     "WHERE b.city = o.ship_city", "number"),
    ("How many orders are there where the ship city and the grower's region are the same?", "",
     "decline"),
    ("How many order lines have a unit price equal to the list price of the plant?",
     "SELECT COUNT(*) FROM order_lines l JOIN plants p ON p.plant_id = l.plant_id "
     "WHERE l.unit_price = p.list_price", "number"),
    ("How many orders have a delivered date equal to the order date of order 3?", "", "decline"),
]


@pytest.mark.parametrize("question,sql,kind", VERSUS)
def test_versus(nursery, question, sql, kind):
    answer = ask_offline(nursery, NAME, USER, PASSWORD, question)
    if kind == "decline":
        assert answer.startswith(CANNOT_ANSWER), answer
        return
    assert not answer.startswith(CANNOT_ANSWER), answer
    rows = nursery.execute(sql, database=NAME)
    if kind == "number":
        want = Decimal(str(rows[0][0]))
        assert any(Decimal(n) == want for n in re.findall(r"\d+(?:\.\d+)?", answer)), answer
        return
    names = {r[0] for r in rows}
    assert names and all(re.search(rf"\b{n}\b", answer) for n in names), (answer, names)
    others = set(PLANTS + ["Ruth", "Simon", "Tamsin", "Ursula"]) - names
    assert not [o for o in others if re.search(rf"\b{o}\b", answer)], (answer, names)
    if kind == "ordered":
        at = [answer.index(r[0]) for r in rows]
        assert at == sorted(at), (answer, rows)
