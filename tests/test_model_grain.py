"""Every measure at its own grain, on a plant wholesaler of our own: invoices
with a stored grand total (lines plus freight), their lines with quantity,
unit price and a discount, and plants in families.  A filter that lives on
the lines (a family, a plant) is answered from the lines' own amount, or
declined; never from the invoices' totals, which count the other lines too.
Every expected figure is computed by the server from the question's SQL.
"""

import random
import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "grain_nursery", "grain_ro", "grain-ro-pw"
LINE = "l.qty * l.unit_price * (1 - l.discount)"
ROSES = ("SELECT SUM({m}) FROM invoice_lines l JOIN plants p ON p.plant_id = l.plant_id "
         "WHERE p.family = 'Rosaceae'")


def _script() -> str:
    rng = random.Random(7)
    families = ["Rosaceae", "Lamiaceae", "Asteraceae", "Ericaceae"]
    plants = [(i, f"{fam[:4]} plant {i}", fam) for i, fam in
              enumerate((families * 3)[:11], start=1)]
    # Each client has a rep, who keeps a region of their own.
    out = ["CREATE TABLE reps (rep_id INT PRIMARY KEY, rep_name VARCHAR(40), region VARCHAR(20))",
           "INSERT INTO reps VALUES (1, 'Oona', 'East'), (2, 'Piet', 'West')",
           "CREATE TABLE clients (client_id INT PRIMARY KEY, client_name VARCHAR(40), "
           "region VARCHAR(20), rep_id INT, FOREIGN KEY (rep_id) REFERENCES reps(rep_id))",
           "CREATE TABLE plants (plant_id INT PRIMARY KEY, plant_name VARCHAR(40), "
           "family VARCHAR(20))",
           "CREATE TABLE invoices (invoice_id INT PRIMARY KEY, client_id INT, issued_on DATE, "
           "grand_total DECIMAL(10,2), FOREIGN KEY (client_id) REFERENCES clients(client_id))",
           # Stock moves, dated, with a type that may be 'Sold': the lines
           # refer to them too, yet belong to the invoices their name says.
           "CREATE TABLE stock_moves (move_id INT PRIMARY KEY, moved_on DATE, qty INT, "
           "move_type VARCHAR(10))",
           "INSERT INTO stock_moves VALUES (1, '2023-01-05', 40, 'Sold'), (2, '2023-02-07', 15, 'Received')",
           "CREATE TABLE invoice_lines (line_id INT PRIMARY KEY, invoice_id INT, plant_id INT, "
           "qty INT, unit_price DECIMAL(8,2), discount DECIMAL(3,2), move_id INT, "
           "FOREIGN KEY (invoice_id) REFERENCES invoices(invoice_id), "
           "FOREIGN KEY (plant_id) REFERENCES plants(plant_id), "
           "FOREIGN KEY (move_id) REFERENCES stock_moves(move_id))",
           "INSERT INTO clients VALUES (1, 'Greenleaf', 'North', 1), (2, 'Hedgerow', 'South', 2), "
           "(3, 'Bramble', 'North', 2)",
           "INSERT INTO plants VALUES " + ", ".join(f"({i}, '{n}', '{f}')" for i, n, f in plants)]
    # Purchases from growers: lines at a cost, beside the invoice lines at a price.
    out += ["CREATE TABLE growers (grower_id INT PRIMARY KEY, grower_name VARCHAR(40))",
            "INSERT INTO growers VALUES (1, 'Thornfield'), (2, 'Willowmere')",
            "CREATE TABLE purchase_orders (purchase_order_id INT PRIMARY KEY, grower_id INT, "
            "ordered_on DATE, FOREIGN KEY (grower_id) REFERENCES growers(grower_id))",
            "CREATE TABLE purchase_order_lines (line_id INT PRIMARY KEY, purchase_order_id INT, "
            "plant_id INT, qty INT, unit_cost DECIMAL(8,2), "
            "FOREIGN KEY (purchase_order_id) REFERENCES purchase_orders(purchase_order_id), "
            "FOREIGN KEY (plant_id) REFERENCES plants(plant_id))",
            "INSERT INTO purchase_orders VALUES " + ", ".join(
                f"({k}, {1 + k % 2}, '2023-0{k}-10')" for k in range(1, 7)),
            "INSERT INTO purchase_order_lines VALUES " + ", ".join(
                f"({k}, {1 + k % 6}, {1 + k % 11}, {2 + k % 5}, {3 + k}.25)" for k in range(1, 15))]
    invoices, lines, n = [], [], 0
    for inv in range(1, 25):
        total = Decimal("9.50")  # freight: the stored total is more than its lines
        for _ in range(rng.randint(1, 4)):
            n += 1
            qty, price = rng.randint(1, 9), Decimal(rng.randint(200, 3000)) / 100
            disc = rng.choice([Decimal("0"), Decimal("0"), Decimal("0.10"), Decimal("0.25")])
            lines.append(f"({n}, {inv}, {rng.randint(1, 11)}, {qty}, {price}, {disc}, {1 + n % 2})")
            total += qty * price * (1 - disc)
        day = f"{2023 + inv % 2}-{inv % 12 + 1:02d}-{inv % 27 + 1:02d}"
        invoices.append(f"({inv}, {inv % 3 + 1}, '{day}', {total.quantize(Decimal('0.01'))})")
    out.append("INSERT INTO invoices VALUES " + ", ".join(invoices))
    out.append("INSERT INTO invoice_lines VALUES " + ", ".join(lines))
    return ";\n".join(out) + ";"


@pytest.fixture(scope="module")
def nursery(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, _script())
    return mariadb


def _ask(server, question):
    return ask_offline(server, NAME, USER, PASSWORD, question)


def _numbers(text):
    return [Decimal(x) for x in re.findall(r"-?\d+(?:\.\d+)?", text.replace(",", ""))]


def _said(value, answer):
    return any(abs(n - Decimal(value)) < Decimal("0.01") for n in _numbers(answer))


# (question, the SQL of the right figure or None where only a decline is
# right, the SQL of the figure a wrong grain would give)
GRAIN = [
    ("What is the revenue from Rosaceae?", ROSES.format(m=LINE),
     "SELECT SUM(grand_total) FROM invoices WHERE invoice_id IN (SELECT l.invoice_id FROM "
     "invoice_lines l JOIN plants p ON p.plant_id = l.plant_id WHERE p.family = 'Rosaceae')"),
    ("What is the total grand_total of invoices in the Rosaceae family?", ROSES.format(m=LINE),
     "SELECT SUM(grand_total) FROM invoices WHERE invoice_id IN (SELECT l.invoice_id FROM "
     "invoice_lines l JOIN plants p ON p.plant_id = l.plant_id WHERE p.family = 'Rosaceae')"),
    ("What is the average grand_total of invoices in the Rosaceae family?", None,
     "SELECT AVG(grand_total) FROM invoices WHERE invoice_id IN (SELECT l.invoice_id FROM "
     "invoice_lines l JOIN plants p ON p.plant_id = l.plant_id WHERE p.family = 'Rosaceae')"),
    ("What was the revenue in 2024?",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024",
     "SELECT SUM(l.qty * l.unit_price) FROM invoice_lines l JOIN invoices i "
     "ON i.invoice_id = l.invoice_id WHERE YEAR(i.issued_on) = 2024"),
    ("What is the total grand_total of invoices in 2024?",
     "SELECT SUM(grand_total) FROM invoices WHERE YEAR(issued_on) = 2024",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024"),
    ("How many invoices include Rosaceae plants?",
     "SELECT COUNT(DISTINCT l.invoice_id) FROM invoice_lines l JOIN plants p "
     "ON p.plant_id = l.plant_id WHERE p.family = 'Rosaceae'",
     "SELECT COUNT(*) FROM invoice_lines l JOIN plants p ON p.plant_id = l.plant_id "
     "WHERE p.family = 'Rosaceae'"),
    ("How many clients bought Rosaceae plants?",
     "SELECT COUNT(DISTINCT i.client_id) FROM invoices i JOIN invoice_lines l "
     "ON l.invoice_id = i.invoice_id JOIN plants p ON p.plant_id = l.plant_id "
     "WHERE p.family = 'Rosaceae'",
     "SELECT COUNT(*) FROM invoices i JOIN invoice_lines l ON l.invoice_id = i.invoice_id "
     "JOIN plants p ON p.plant_id = l.plant_id WHERE p.family = 'Rosaceae'"),
    # The value of orders is their lines' worth, not their stored totals.
    ("What is the value of invoices issued in 2024?",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024",
     "SELECT SUM(grand_total) FROM invoices WHERE YEAR(issued_on) = 2024"),
    ("What was the revenue of 2024?",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024", f"SELECT SUM({LINE}) FROM invoice_lines l"),
    ("How much money did we make in 2024?",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024",
     "SELECT SUM(grand_total) FROM invoices WHERE YEAR(issued_on) = 2024"),
    ("What were the total purchases in 2024?",
     f"SELECT SUM({LINE}) FROM invoice_lines l JOIN invoices i ON i.invoice_id = l.invoice_id "
     "WHERE YEAR(i.issued_on) = 2024",
     "SELECT SUM(grand_total) FROM invoices WHERE YEAR(issued_on) = 2024"),
    # Units sold are the lines' quantities, not the stock moves typed 'Sold'.
    ('How many units of "Rosa plant 1" were sold?',
     "SELECT SUM(qty) FROM invoice_lines WHERE plant_id = 1",
     "SELECT SUM(qty) FROM stock_moves WHERE move_type = 'Sold'"),
    ("What is the top selling plant by quantity?",
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s DESC LIMIT 1",
     "SELECT MAX(qty) FROM stock_moves"),
    # Things sold: a total is their units; "how many" alone could also be
    # how many different ones, and is declined.
    ("What is the total number of plants sold?", "SELECT SUM(qty) FROM invoice_lines",
     "SELECT COUNT(*) FROM plants"),
    ("How many plants were sold?", None, "SELECT COUNT(*) FROM plants"),
    ("How many plants were sold in each family?", None,
     "SELECT COUNT(*) FROM plants GROUP BY family ORDER BY 1 DESC LIMIT 1"),
    ("Which client bought the most plants?", None,
     "SELECT COUNT(*) FROM plants GROUP BY family ORDER BY 1 DESC LIMIT 1"),
    ("Which plant is the best selling?",
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s DESC LIMIT 1",
     "SELECT MAX(qty) FROM stock_moves"),
    ("Which plant is the best-selling?",
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s DESC LIMIT 1",
     "SELECT MAX(qty) FROM stock_moves"),
    # "Sold the most" ranks by units or by money: answered where both pick
    # the same plant, declined where they do not.
    ("Which plant sold the most?",
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s DESC LIMIT 1",
     f"SELECT SUM({LINE}) s FROM invoice_lines l GROUP BY plant_id ORDER BY s DESC LIMIT 1"),
    ("Which plant is the most sold?",
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s DESC LIMIT 1",
     "SELECT COUNT(*) FROM plants"),
    ("Which plant sold the least?", None,
     "SELECT SUM(qty) s FROM invoice_lines GROUP BY plant_id ORDER BY s LIMIT 1"),
    # Gross is before the lines' discount, which revenue here takes off.
    ("What was the gross revenue in 2024?", None,
     "SELECT SUM(l.qty * l.unit_price) FROM invoice_lines l JOIN invoices i "
     "ON i.invoice_id = l.invoice_id WHERE YEAR(i.issued_on) = 2024"),
    # Money of the purchase orders named is their own lines' worth at cost,
    # not the sales lines'; naming both kinds of order is declined.
    ("How much did we spend on purchase orders from Thornfield?",
     "SELECT SUM(l.qty * l.unit_cost) FROM purchase_order_lines l JOIN purchase_orders o "
     "ON o.purchase_order_id = l.purchase_order_id WHERE o.grower_id = 1",
     f"SELECT SUM({LINE}) FROM invoice_lines l"),
    ("What is the total spent on purchase orders and invoices?", None,
     f"SELECT SUM({LINE}) FROM invoice_lines l"),
]


@pytest.mark.parametrize("question,right,wrong", GRAIN)
def test_measure_at_its_own_grain(nursery, question, right, wrong):
    answer = _ask(nursery, question)
    bad = nursery.execute(wrong, database=NAME)[0][0]
    if right is None:
        assert answer.startswith(CANNOT_ANSWER), answer
        return
    want = nursery.execute(right, database=NAME)[0][0]
    assert want != bad  # the data tells the two grains apart
    assert not answer.startswith(CANNOT_ANSWER), answer
    assert _said(want, answer) and not _said(bad, answer), (answer, want, bad)


def test_revenue_per_family_sums_the_lines(nursery):
    """A grouping that lives on the lines: each family's own lines, less
    their discount, and never an invoice's whole total once per family."""
    answer = _ask(nursery, "What is the total grand_total of invoices per family?")
    rows = nursery.execute(f"SELECT p.family, SUM({LINE}) FROM invoice_lines l JOIN plants p "
                           "ON p.plant_id = l.plant_id GROUP BY p.family", database=NAME)
    assert not answer.startswith(CANNOT_ANSWER), answer
    for family, value in rows:
        assert re.search(rf"{family}: {Decimal(value):.2f}", answer) or (
            family in answer and _said(value, answer)), (answer, family, value)


def test_group_key_of_the_nearest_owner(nursery):
    """Clients and their reps both keep a region: revenue per region is by
    the client's, the nearer of the rows each line belongs to."""
    answer = _ask(nursery, "What is the revenue per region?")
    rows = nursery.execute(f"SELECT c.region, SUM({LINE}) FROM invoice_lines l JOIN invoices i "
                           "ON i.invoice_id = l.invoice_id JOIN clients c ON c.client_id = i.client_id "
                           "GROUP BY c.region", database=NAME)
    assert not answer.startswith(CANNOT_ANSWER), answer
    assert "East" not in answer and all(r in answer and _said(v, answer) for r, v in rows), answer
