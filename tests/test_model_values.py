"""Values across a key and its foreign key, a table's one amount, and things
never sold, on a snake_case garden shop.  The expected cells are read from
the server with SQL next to each question."""

from decimal import Decimal
import re

import pytest

from _helpers import ask_offline, load_readonly

from quorvane_ask.offline import CANNOT_ANSWER

SCHEMA = """
CREATE TABLE categories (category_name VARCHAR(30) PRIMARY KEY, blurb VARCHAR(80));
CREATE TABLE tools (
    tool_id INT PRIMARY KEY,
    tool_name VARCHAR(40) NOT NULL,
    category_name VARCHAR(30) NOT NULL,
    discontinued BOOLEAN NOT NULL DEFAULT FALSE,
    FOREIGN KEY (category_name) REFERENCES categories (category_name)
);
CREATE TABLE reviews (review_id INT PRIMARY KEY, tool_id INT NOT NULL, stars INT,
    FOREIGN KEY (tool_id) REFERENCES tools (tool_id));
CREATE TABLE sales_orders (order_id INT PRIMARY KEY, order_date DATE NOT NULL,
    payment_type VARCHAR(20), paid_date DATE, ship_name VARCHAR(40), ship_city VARCHAR(30),
    ship_street VARCHAR(40));
CREATE TABLE staff (staff_id INT PRIMARY KEY, first_name VARCHAR(20), last_name VARCHAR(20),
    job_title VARCHAR(30));
CREATE TABLE suppliers (supplier_id INT PRIMARY KEY, company VARCHAR(30), first_name VARCHAR(20),
    last_name VARCHAR(20), job_title VARCHAR(30));
CREATE TABLE order_lines (
    order_id INT NOT NULL,
    tool_id INT NOT NULL,
    qty INT NOT NULL,
    unit_price DECIMAL(8,2) NOT NULL,
    PRIMARY KEY (order_id, tool_id),
    FOREIGN KEY (order_id) REFERENCES sales_orders (order_id),
    FOREIGN KEY (tool_id) REFERENCES tools (tool_id)
);
CREATE TABLE refunds (
    refund_id INT PRIMARY KEY,
    order_id INT NOT NULL,
    refund_amount DECIMAL(8,2) NOT NULL,
    FOREIGN KEY (order_id) REFERENCES sales_orders (order_id)
);
CREATE TABLE invoices (invoice_id INT PRIMARY KEY, net_amount DECIMAL(8,2),
    gross_amount DECIMAL(8,2));
INSERT INTO categories VALUES ('Garden', 'Outdoor things'), ('Kitchen', 'Indoor things');
INSERT INTO tools (tool_id, tool_name, category_name) VALUES (1, 'Spade', 'Garden'),
    (2, 'Rake', 'Garden'), (3, 'Kettle', 'Kitchen'), (4, 'Ladle', 'Kitchen');
UPDATE tools SET discontinued = TRUE WHERE tool_id = 2;
INSERT INTO reviews VALUES (1, 4, 5);
INSERT INTO sales_orders VALUES (1, '2024-03-01', 'Card', '2024-03-02', 'Ann Hale', 'Ely', 'Mill St'),
    (2, '2024-03-09', 'Cash', '2024-03-09', 'Ann Hale', 'Ely', 'Mill St');
INSERT INTO staff VALUES (1, 'Rhys', 'Pryce', 'Sales Manager'), (2, 'Tess', 'Oduya', 'Buyer'),
    (3, 'Uma', 'Vance', 'Sales Floor Assistant'), (4, 'Wes', 'Yule', 'Stock Room Clerk'),
    (5, 'Xia', 'Zorn', 'Stock Yard Clerk');
INSERT INTO suppliers VALUES (1, 'Loam Ltd', 'Ivan', 'Kerr', 'Buyer');
INSERT INTO order_lines VALUES (1, 1, 2, 19.50), (1, 3, 1, 31.25), (2, 2, 3, 12.00),
    (2, 1, 1, 18.75);
INSERT INTO refunds VALUES (1, 1, 19.50), (2, 2, 7.25);
INSERT INTO invoices VALUES (1, 100.00, 120.00);
"""


@pytest.fixture(scope="module")
def shop(mariadb):
    load_readonly(mariadb, "values_shop", "values_ro", "values-ro-pw", SCHEMA)
    return mariadb, "values_shop"


def ask(shop, question):
    server, name = shop
    return ask_offline(server, name, "values_ro", "values-ro-pw", question)


# Each question -> the SQL whose every cell the answer must state, or None
# where it must decline; `absent`: words that must not be in the answer.
@pytest.mark.parametrize("question, sql, absent", [
    ("What is the revenue from Garden?",
     "SELECT SUM(l.qty * l.unit_price) FROM order_lines l JOIN tools i USING (tool_id) "
     "WHERE i.category_name = 'Garden'", []),
    ("What is the total of refunds?", "SELECT SUM(refund_amount) FROM refunds", []),
    ("List the tools that have not been sold.",
     "SELECT tool_name FROM tools WHERE tool_id NOT IN (SELECT tool_id FROM order_lines)",
     ["Spade", "Rake", "Kettle"]),
    ("What is the total of invoices?", None, ["net_amount", "gross_amount"]),
    # A name among columns about another party (whom an order ships to)
    # does not name the order: its key does.
    ("Which orders were paid by card?", "SELECT order_id FROM sales_orders WHERE payment_type = 'Card'",
     ["Ann Hale", "Cash"]),
    # A job title whose first word is one of the reader's own; "who" asks
    # for people, and a title held in two tables of people is declined.
    ("Who is the sales manager?", "SELECT first_name FROM staff WHERE job_title = 'Sales Manager'",
     ["Tess"]),
    ("Who is the buyer?", None, ["staff", "suppliers"]),
    # A title with a middle word left out, where only one title fits.
    ("Who is the sales assistant?", "SELECT first_name FROM staff WHERE staff_id = 3", ["Rhys"]),
    ("Who is the stock clerk?", None, ["clerk"]),
    # A yes-or-no column by its adjective, its negation or an everyday word
    # for the opposite; each way counted apart, but not also grouped.
    ("List the currently available tools.", "SELECT tool_name FROM tools WHERE NOT discontinued",
     ["Rake"]),
    ("How many tools are not discontinued?", "SELECT COUNT(*) FROM tools WHERE NOT discontinued",
     []),
    ("Count the current and the discontinued tools.",
     "SELECT SUM(NOT discontinued), SUM(discontinued) FROM tools", []),
    ("Count the current and the discontinued tools per category.", None, []),
    ("Which tool is the most discontinued?", None, []),
    # A contact person stands for the company the row also names.
    ("List the suppliers.", "SELECT company, first_name, last_name FROM suppliers", []),
])
def test_values(shop, question, sql, absent):
    server, name = shop
    answer = ask(shop, question)
    if sql is None:
        assert answer.startswith(CANNOT_ANSWER) and all(w in answer for w in absent), answer
        return
    assert not answer.startswith(CANNOT_ANSWER), answer
    stated = [Decimal(n) for n in re.findall(r"\d+(?:\.\d+)?", answer)]
    for row in server.execute(sql, database=name):
        for cell in row:
            assert (Decimal(cell) in stated) if isinstance(cell, (int, Decimal)) \
                else str(cell) in answer, (answer, cell)
    assert not [w for w in absent if w in answer], answer
