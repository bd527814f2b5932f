"""The question bench: how well questions in plain English are answered.

    .venv/bin/python bench/questions.py                 # every database
    .venv/bin/python bench/questions.py --db clinic     # one of them (shop, clinic, freight, firm, sakila, northwind, classicmodels, all)
    .venv/bin/python bench/questions.py -k revenue      # questions containing a substring
    .venv/bin/python bench/questions.py --show          # each answer in full
    .venv/bin/python bench/questions.py --strict        # exit 1 when any answer is wrong
    .venv/bin/python bench/questions.py --wrong-out F   # the wrong answers, with what was expected
    .venv/bin/python bench/questions.py --markdown      # totals as a Markdown table as well

One private MariaDB server is started and holds seven databases: the sample
shop (quorvane_ask/sample_shop.py), a clinic (bench/second_db.py), a freight
firm (bench/freight_db.py, questions in bench/freight_questions.py) and a
consulting firm (bench/firm_db.py, questions in bench/firm_questions.py,
with more about the shop), domains with schemas of their own; and three
public sample databases that nobody here wrote, loaded from their dumps in
bench/data (bench/dumps.py): sakila, northwind and classicmodels, questions
in bench/<name>_questions.py.  Each question goes the way a user's would: through
quorvane's DatabaseConnector, LangChain's toolkit and quorvane's AgentRunner
driven by the offline model (quorvane_ask.offline).  What it should have
answered comes from SQL written next to the question and run on the same
server during the bench, never from a number written down here.

Every answer is judged correct, declined or wrong (see grade()); a question
the data cannot answer must be declined, and any answer to it is wrong.
The share of correct answers is taken over the questions the data can
answer; the declines that were due are counted beside it.  The bench is a measure, not a test: it exits 0 whatever the score, unless
--strict is given or the run itself fails.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as _dt
import io
import os
import re
import sys
import time
import warnings
from decimal import Decimal
from typing import NamedTuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for _p in (HERE, ROOT):
    if _p not in sys.path:
        sys.path.insert(0, _p)

from classicmodels_questions import ROWS as CLASSICMODELS_ROWS  # noqa: E402
from firm_questions import ROWS as FIRM_ROWS  # noqa: E402
from freight_questions import ROWS as FREIGHT_ROWS  # noqa: E402
from northwind_questions import ROWS as NORTHWIND_ROWS  # noqa: E402
from sakila_questions import ROWS as SAKILA_ROWS  # noqa: E402


class Q(NamedTuple):
    db: str
    shape: str
    question: str
    sql: str            # what the answer must state, computed on the server
    kind: str           # number, entity, rows, groups, list or decline
    domain: str = ""    # SQL for every name of the answer's sort (entity, rows, list)
    # An entity's or a list's row is named by its first cell, or by another
    # name of the same thing in a later one (a company, or its contact).


# Money over line items: a line is worth quantity x unit price; an order is
# worth the sum of its lines.
_SHOP_LINE = "i.quantity * i.unit_price"
_SHOP_ORDER_TOTALS = ("SELECT o.id, SUM(i.quantity * i.unit_price) AS total FROM orders o "
                      "JOIN order_items i ON i.order_id = o.id {where} GROUP BY o.id")
_CUSTOMER_NAMES = "SELECT name FROM customers"
_PRODUCT_NAMES = "SELECT name FROM products"
_CITIES = "SELECT DISTINCT city FROM customers"

SHOP = [
    # counts
    Q("shop", "count", "How many customers are there?", "SELECT COUNT(*) FROM customers", "number"),
    Q("shop", "count", "Count the products.", "SELECT COUNT(*) FROM products", "number"),
    Q("shop", "count", "What is the number of orders?", "SELECT COUNT(*) FROM orders", "number"),
    Q("shop", "count", "How many rows are in the order_items table?", "SELECT COUNT(*) FROM order_items", "number"),
    Q("shop", "count", "How many order items are there?", "SELECT COUNT(*) FROM order_items", "number"),
    Q("shop", "count distinct", "How many different countries do our customers come from?",
      "SELECT COUNT(DISTINCT country) FROM customers", "number"),
    Q("shop", "count distinct", "How many distinct product categories are there?",
      "SELECT COUNT(DISTINCT category) FROM products", "number"),
    Q("shop", "count filtered", "How many customers live in Hamburg?",
      "SELECT COUNT(*) FROM customers WHERE city = 'Hamburg'", "number"),
    Q("shop", "count filtered", "How many orders were cancelled?",
      "SELECT COUNT(*) FROM orders WHERE status = 'cancelled'", "number"),
    Q("shop", "count filtered", "How many products are in the Electronics category?",
      "SELECT COUNT(*) FROM products WHERE category = 'Electronics'", "number"),
    Q("shop", "count filtered", "How many customers are from Italy?",
      "SELECT COUNT(*) FROM customers WHERE country = 'Italy'", "number"),
    Q("shop", "count filtered", "Give me the number of customers in Germany.",
      "SELECT COUNT(*) FROM customers WHERE country = 'Germany'", "number"),
    Q("shop", "count filtered", "How many orders have the status delivered?",
      "SELECT COUNT(*) FROM orders WHERE status = 'delivered'", "number"),
    # numeric comparisons
    Q("shop", "compare", "How many products cost more than 100?",
      "SELECT COUNT(*) FROM products WHERE price > 100", "number"),
    Q("shop", "compare", "How many order lines have a quantity of at least 3?",
      "SELECT COUNT(*) FROM order_items WHERE quantity >= 3", "number"),
    Q("shop", "compare", "How many products are priced under 20 euros?",
      "SELECT COUNT(*) FROM products WHERE price < 20", "number"),
    Q("shop", "compare", "How many products cost between 30 and 60?",
      "SELECT COUNT(*) FROM products WHERE price BETWEEN 30 AND 60", "number"),
    # dates
    Q("shop", "date", "How many orders were placed in 2023?",
      "SELECT COUNT(*) FROM orders WHERE YEAR(order_date) = 2023", "number"),
    Q("shop", "date", "How many orders were placed in March 2024?",
      "SELECT COUNT(*) FROM orders WHERE order_date >= '2024-03-01' AND order_date < '2024-04-01'", "number"),
    Q("shop", "date", "How many customers signed up before 2024?",
      "SELECT COUNT(*) FROM customers WHERE signup_date < '2024-01-01'", "number"),
    Q("shop", "date", "Count the customers who signed up in 2024.",
      "SELECT COUNT(*) FROM customers WHERE YEAR(signup_date) = 2024", "number"),
    Q("shop", "date", "How many orders were placed after 30 June 2024?",
      "SELECT COUNT(*) FROM orders WHERE order_date > '2024-06-30'", "number"),
    # aggregates
    Q("shop", "aggregate", "What is the average price of a product?", "SELECT AVG(price) FROM products", "number"),
    Q("shop", "aggregate", "What is the average price of the products in the Kitchen category?",
      "SELECT AVG(price) FROM products WHERE category = 'Kitchen'", "number"),
    Q("shop", "aggregate", "What is the lowest product price?", "SELECT MIN(price) FROM products", "number"),
    Q("shop", "aggregate", "What is the highest price of a book?",
      "SELECT MAX(price) FROM products WHERE category = 'Books'", "number"),
    Q("shop", "aggregate", "What is the total quantity of all order items?",
      "SELECT SUM(quantity) FROM order_items", "number"),
    Q("shop", "aggregate", "How many units were sold in 2023?",
      "SELECT SUM(i.quantity) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "WHERE YEAR(o.order_date) = 2023", "number"),
    # extremes as entities
    Q("shop", "extreme", "Which product is the cheapest?",
      "SELECT name FROM products WHERE price = (SELECT MIN(price) FROM products)", "entity", _PRODUCT_NAMES),
    Q("shop", "extreme", "What is the most expensive product?",
      "SELECT name FROM products WHERE price = (SELECT MAX(price) FROM products)", "entity", _PRODUCT_NAMES),
    Q("shop", "extreme", "What are the three largest orders?",
      f"SELECT id, total FROM ({_SHOP_ORDER_TOTALS.format(where='')}) t WHERE total >= "
      f"(SELECT total FROM ({_SHOP_ORDER_TOTALS.format(where='')}) u ORDER BY total DESC LIMIT 1 OFFSET 2) "
      "ORDER BY total DESC", "rows"),
    Q("shop", "extreme", "Which customer signed up first?",
      "SELECT name FROM customers WHERE signup_date = (SELECT MIN(signup_date) FROM customers)",
      "entity", _CUSTOMER_NAMES),
    # grouping along the foreign keys
    Q("shop", "group", "Which city has the most customers?",
      "SELECT city FROM customers GROUP BY city HAVING COUNT(*) = "
      "(SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM customers GROUP BY city) t)", "entity", _CITIES),
    Q("shop", "group", "Which country has the fewest customers?",
      "SELECT country FROM customers GROUP BY country HAVING COUNT(*) = "
      "(SELECT MIN(n) FROM (SELECT COUNT(*) AS n FROM customers GROUP BY country) t)", "entity",
      "SELECT DISTINCT country FROM customers"),
    Q("shop", "group", "How many orders are there per status?",
      "SELECT status, COUNT(*) FROM orders GROUP BY status", "groups"),
    Q("shop", "group", "How many customers are there in each country?",
      "SELECT country, COUNT(*) FROM customers GROUP BY country", "groups"),
    Q("shop", "group", "Which customer placed the most orders?",
      "SELECT c.name FROM customers c JOIN orders o ON o.customer_id = c.id GROUP BY c.id HAVING COUNT(*) = "
      "(SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM orders GROUP BY customer_id) t)", "entity", _CUSTOMER_NAMES),
    Q("shop", "group", "Which customer spent the most?",
      f"SELECT c.name FROM customers c JOIN orders o ON o.customer_id = c.id JOIN order_items i ON i.order_id = o.id "
      f"GROUP BY c.id HAVING SUM({_SHOP_LINE}) = (SELECT MAX(s) FROM (SELECT SUM({_SHOP_LINE}) AS s "
      "FROM orders o JOIN order_items i ON i.order_id = o.id GROUP BY o.customer_id) t)", "entity", _CUSTOMER_NAMES),
    Q("shop", "group", "Which product category brings in the most revenue?",
      f"SELECT p.category FROM products p JOIN order_items i ON i.product_id = p.id GROUP BY p.category "
      f"HAVING SUM({_SHOP_LINE}) = (SELECT MAX(s) FROM (SELECT SUM({_SHOP_LINE}) AS s FROM products p "
      "JOIN order_items i ON i.product_id = p.id GROUP BY p.category) t)", "entity",
      "SELECT DISTINCT category FROM products"),
    # lookups across a join
    Q("shop", "join lookup", "How many orders did Greta Moreau place?",
      "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id WHERE c.name = 'Greta Moreau'", "number"),
    Q("shop", "join lookup", "How many orders came from customers in Italy?",
      "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id WHERE c.country = 'Italy'", "number"),
    Q("shop", "join lookup", "Which customers have never placed an order?",
      "SELECT c.name FROM customers c WHERE NOT EXISTS (SELECT 1 FROM orders o WHERE o.customer_id = c.id)",
      "list", _CUSTOMER_NAMES),
    Q("shop", "join lookup", "How many customers have no orders?",
      "SELECT COUNT(*) FROM customers c WHERE NOT EXISTS (SELECT 1 FROM orders o WHERE o.customer_id = c.id)",
      "number"),
    # attribute lookups
    Q("shop", "attribute", "What does the Teapot cost?", "SELECT price FROM products WHERE name = 'Teapot'", "number"),
    Q("shop", "attribute", "Where does Zoe Horvat live?",
      "SELECT city FROM customers WHERE name = 'Zoe Horvat'", "entity", _CITIES),
    Q("shop", "attribute", "Which category is the Kite in?",
      "SELECT category FROM products WHERE name = 'Kite'", "entity", "SELECT DISTINCT category FROM products"),
    # money over line items
    Q("shop", "money", "What is the total revenue?", f"SELECT SUM({_SHOP_LINE}) FROM order_items i", "number"),
    Q("shop", "money", "What were our sales in 2023?",
      f"SELECT SUM({_SHOP_LINE}) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "WHERE YEAR(o.order_date) = 2023", "number"),
    Q("shop", "money", "How much revenue did we make in March 2024?",
      f"SELECT SUM({_SHOP_LINE}) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "WHERE o.order_date >= '2024-03-01' AND o.order_date < '2024-04-01'", "number"),
    Q("shop", "money", "What is the average order value?",
      f"SELECT AVG(total) FROM ({_SHOP_ORDER_TOTALS.format(where='')}) t", "number"),
    Q("shop", "money", "What was the average order value in 2024?",
      f"SELECT AVG(total) FROM ({_SHOP_ORDER_TOTALS.format(where='WHERE YEAR(o.order_date) = 2024')}) t", "number"),
    # lists of distinct values
    Q("shop", "list", "List all product categories.", "SELECT DISTINCT category FROM products", "list"),
    Q("shop", "list", "Which countries do our customers come from?", "SELECT DISTINCT country FROM customers", "list"),
    Q("shop", "list", "What order statuses are there?", "SELECT DISTINCT status FROM orders", "list"),
    Q("shop", "list", "Which customers are from Austria?", "SELECT name FROM customers WHERE country = 'Austria'",
      "list", _CUSTOMER_NAMES),
    Q("shop", "list", "Show me the names of all customers.", "SELECT name FROM customers", "list"),
    # what the data cannot answer
    Q("shop", "decline", "How many invoices are there?", "", "decline"),
    Q("shop", "decline", "What is the average weight of the products?", "", "decline"),
    Q("shop", "decline", "How many customers live in Atlantis?", "", "decline"),
    Q("shop", "decline", "How many orders were zorbled?", "", "decline"),
    Q("shop", "decline", "How many customers will sign up next year?", "", "decline"),
    Q("shop", "decline", "What is Zoe Horvat's email address?", "", "decline"),
    Q("shop", "decline", "Which supplier delivers the Teapot?", "", "decline"),
    # the same shapes in other everyday words
    Q("shop", "count", "How many customers do we have?", "SELECT COUNT(*) FROM customers", "number"),
    Q("shop", "count filtered", "How many orders are still pending?",
      "SELECT COUNT(*) FROM orders WHERE status = 'pending'", "number"),
    Q("shop", "count filtered", "How many customers are there in Paris?",
      "SELECT COUNT(*) FROM customers WHERE city = 'Paris'", "number"),
    Q("shop", "compare", "How many products cost less than 15 euros?",
      "SELECT COUNT(*) FROM products WHERE price < 15", "number"),
    Q("shop", "date", "How many orders were placed before 1 February 2023?",
      "SELECT COUNT(*) FROM orders WHERE order_date < '2023-02-01'", "number"),
    Q("shop", "aggregate", "What is the average price of sports products?",
      "SELECT AVG(price) FROM products WHERE category = 'Sports'", "number"),
    Q("shop", "extreme", "What's the priciest product?",
      "SELECT name FROM products WHERE price = (SELECT MAX(price) FROM products)", "entity", _PRODUCT_NAMES),
    Q("shop", "extreme", "What is the cheapest product in the Electronics category?",
      "SELECT name FROM products WHERE category = 'Electronics' AND price = "
      "(SELECT MIN(price) FROM products WHERE category = 'Electronics')", "entity", _PRODUCT_NAMES),
    Q("shop", "extreme", "Which are the two most expensive products?",
      "SELECT name, price FROM products WHERE price >= "
      "(SELECT price FROM products ORDER BY price DESC LIMIT 1 OFFSET 1) ORDER BY price DESC", "rows", _PRODUCT_NAMES),
    Q("shop", "group", "Which city do most of our customers live in?",
      "SELECT city FROM customers GROUP BY city HAVING COUNT(*) = "
      "(SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM customers GROUP BY city) t)", "entity", _CITIES),
    Q("shop", "join lookup", "How much did Greta Moreau spend in total?",
      f"SELECT SUM({_SHOP_LINE}) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "JOIN customers c ON c.id = o.customer_id WHERE c.name = 'Greta Moreau'", "number"),
    Q("shop", "join lookup", "How many products have never been ordered?",
      "SELECT COUNT(*) FROM products p WHERE NOT EXISTS (SELECT 1 FROM order_items i WHERE i.product_id = p.id)",
      "number"),
    Q("shop", "attribute", "In which city does Greta Moreau live?",
      "SELECT city FROM customers WHERE name = 'Greta Moreau'", "entity", _CITIES),
    Q("shop", "money", "What was the revenue in 2024?",
      f"SELECT SUM({_SHOP_LINE}) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "WHERE YEAR(o.order_date) = 2024", "number"),
    Q("shop", "decline", "How many employees does the shop have?", "", "decline"),
    Q("shop", "decline", "What is the average rating of the Teapot?", "", "decline"),
    Q("shop", "decline", "What is the capital of France?", "", "decline"),
    Q("shop", "count filtered", "How many products are there in the Toys category?",
      "SELECT COUNT(*) FROM products WHERE category = 'Toys'", "number"),
    Q("shop", "count filtered", "What's the total number of orders that were returned?",
      "SELECT COUNT(*) FROM orders WHERE status = 'returned'", "number"),
    Q("shop", "count filtered", "How many customers live in Germany?",
      "SELECT COUNT(*) FROM customers WHERE country = 'Germany'", "number"),
    Q("shop", "count filtered", "How many orders with status shipped were placed in 2024?",
      "SELECT COUNT(*) FROM orders WHERE status = 'shipped' AND YEAR(order_date) = 2024", "number"),
    Q("shop", "count distinct", "How many different cities are our customers in?",
      "SELECT COUNT(DISTINCT city) FROM customers", "number"),
    Q("shop", "compare", "How many products cost 50 euros or more?",
      "SELECT COUNT(*) FROM products WHERE price >= 50", "number"),
    Q("shop", "date", "How many orders were placed in December 2023?",
      "SELECT COUNT(*) FROM orders WHERE order_date BETWEEN '2023-12-01' AND '2023-12-31'", "number"),
    Q("shop", "aggregate", "What is the average quantity per order line?", "SELECT AVG(quantity) FROM order_items",
      "number"),
    Q("shop", "extreme", "What is the most expensive product in the Kitchen category?",
      "SELECT name FROM products WHERE category = 'Kitchen' AND price = "
      "(SELECT MAX(price) FROM products WHERE category = 'Kitchen')", "entity", _PRODUCT_NAMES),
    Q("shop", "extreme", "What is the cheapest book?",
      "SELECT name FROM products WHERE category = 'Books' AND price = "
      "(SELECT MIN(price) FROM products WHERE category = 'Books')", "entity", _PRODUCT_NAMES),
    Q("shop", "group", "Which product sold the most units?",
      "SELECT p.name FROM products p JOIN order_items i ON i.product_id = p.id GROUP BY p.id "
      "HAVING SUM(i.quantity) = (SELECT MAX(s) FROM (SELECT SUM(quantity) AS s FROM order_items "
      "GROUP BY product_id) t)", "entity", _PRODUCT_NAMES),
    Q("shop", "join lookup", "How many orders did customers from Hamburg place?",
      "SELECT COUNT(*) FROM orders o JOIN customers c ON c.id = o.customer_id WHERE c.city = 'Hamburg'", "number"),
    Q("shop", "attribute", "What is the price of the Yoga Mat?", "SELECT price FROM products WHERE name = 'Yoga Mat'",
      "number"),
    Q("shop", "attribute", "When did Greta Moreau sign up?",
      "SELECT signup_date FROM customers WHERE name = 'Greta Moreau'", "rows"),
    Q("shop", "money", "What is the total value of all cancelled orders?",
      f"SELECT SUM({_SHOP_LINE}) FROM order_items i JOIN orders o ON o.id = i.order_id "
      "WHERE o.status = 'cancelled'", "number"),
    Q("shop", "money", "What was the average order value in 2023?",
      f"SELECT AVG(total) FROM ({_SHOP_ORDER_TOTALS.format(where='WHERE YEAR(o.order_date) = 2023')}) t", "number"),
    Q("shop", "list", "List the products in the Garden category.",
      "SELECT name FROM products WHERE category = 'Garden'", "list", _PRODUCT_NAMES),
    Q("shop", "list", "Which customers live in Rome?", "SELECT name FROM customers WHERE city = 'Rome'", "list",
      _CUSTOMER_NAMES),
    Q("shop", "list", "Who are our customers in Spain?", "SELECT name FROM customers WHERE country = 'Spain'", "list",
      _CUSTOMER_NAMES),
    Q("shop", "decline", "How many orders were delivered by DHL?", "", "decline"),
    Q("shop", "decline", "What is the stock level of the Teapot?", "", "decline"),
    Q("shop", "decline", "Which customer is the happiest?", "", "decline"),
]

_CLINIC_LINE = "r.quantity * r.unit_cost"
_VISIT_TOTALS = ("SELECT v.visit_id, SUM(r.quantity * r.unit_cost) AS total FROM visits v "
                 "JOIN prescriptions r ON r.visit_id = v.visit_id {where} GROUP BY v.visit_id")
_PATIENT_NAMES = "SELECT full_name FROM patients"
_DOCTOR_NAMES = "SELECT full_name FROM doctors"
_DRUG_NAMES = "SELECT drug_name FROM medications"
_TOWNS = "SELECT DISTINCT town FROM patients"
_SPECIALTIES = "SELECT DISTINCT specialty FROM doctors"

CLINIC = [
    # counts
    Q("clinic", "count", "How many patients are there?", "SELECT COUNT(*) FROM patients", "number"),
    Q("clinic", "count", "Count the doctors.", "SELECT COUNT(*) FROM doctors", "number"),
    Q("clinic", "count", "What is the number of visits?", "SELECT COUNT(*) FROM visits", "number"),
    Q("clinic", "count", "How many rows does the prescriptions table have?", "SELECT COUNT(*) FROM prescriptions",
      "number"),
    Q("clinic", "count", "How many medications are in the medications table?", "SELECT COUNT(*) FROM medications",
      "number"),
    Q("clinic", "count distinct", "How many different specialties do our doctors have?",
      "SELECT COUNT(DISTINCT specialty) FROM doctors", "number"),
    Q("clinic", "count distinct", "How many distinct towns do the patients come from?",
      "SELECT COUNT(DISTINCT town) FROM patients", "number"),
    Q("clinic", "count filtered", "How many patients live in Cork?",
      "SELECT COUNT(*) FROM patients WHERE town = 'Cork'", "number"),
    Q("clinic", "count filtered", "How many visits were no-shows?",
      "SELECT COUNT(*) FROM visits WHERE outcome = 'no-show'", "number"),
    Q("clinic", "count filtered", "How many doctors work in cardiology?",
      "SELECT COUNT(*) FROM doctors WHERE specialty = 'cardiology'", "number"),
    Q("clinic", "count filtered", "How many patients are insured with VHI?",
      "SELECT COUNT(*) FROM patients WHERE insurer = 'VHI'", "number"),
    Q("clinic", "count filtered", "Give me the number of patients from Galway.",
      "SELECT COUNT(*) FROM patients WHERE town = 'Galway'", "number"),
    # numeric comparisons
    Q("clinic", "compare", "How many medications cost more than 5 per unit?",
      "SELECT COUNT(*) FROM medications WHERE unit_cost > 5", "number"),
    Q("clinic", "compare", "How many visits had a fee of at least 90?",
      "SELECT COUNT(*) FROM visits WHERE fee >= 90", "number"),
    Q("clinic", "compare", "How many medications cost under 0.50?",
      "SELECT COUNT(*) FROM medications WHERE unit_cost < 0.5", "number"),
    Q("clinic", "compare", "How many visits had a fee between 50 and 80?",
      "SELECT COUNT(*) FROM visits WHERE fee BETWEEN 50 AND 80", "number"),
    # dates
    Q("clinic", "date", "How many visits were there in 2024?",
      "SELECT COUNT(*) FROM visits WHERE YEAR(visit_date) = 2024", "number"),
    Q("clinic", "date", "How many visits took place in February 2023?",
      "SELECT COUNT(*) FROM visits WHERE visit_date >= '2023-02-01' AND visit_date < '2023-03-01'", "number"),
    Q("clinic", "date", "Count the visits in 2023.",
      "SELECT COUNT(*) FROM visits WHERE YEAR(visit_date) = 2023", "number"),
    Q("clinic", "date", "How many patients were born before 1960?",
      "SELECT COUNT(*) FROM patients WHERE birth_date < '1960-01-01'", "number"),
    Q("clinic", "date", "How many doctors were hired after 31 December 2015?",
      "SELECT COUNT(*) FROM doctors WHERE hired_on > '2015-12-31'", "number"),
    # aggregates
    Q("clinic", "aggregate", "What is the average visit fee?", "SELECT AVG(fee) FROM visits", "number"),
    Q("clinic", "aggregate", "What is the total of the fees for completed visits?",
      "SELECT SUM(fee) FROM visits WHERE outcome = 'completed'", "number"),
    Q("clinic", "aggregate", "What is the lowest unit cost of a tablet?",
      "SELECT MIN(unit_cost) FROM medications WHERE dosage_form = 'tablet'", "number"),
    Q("clinic", "aggregate", "What was the highest fee charged in 2023?",
      "SELECT MAX(fee) FROM visits WHERE YEAR(visit_date) = 2023", "number"),
    # extremes as entities
    Q("clinic", "extreme", "Which medication is the most expensive?",
      "SELECT drug_name FROM medications WHERE unit_cost = (SELECT MAX(unit_cost) FROM medications)",
      "entity", _DRUG_NAMES),
    Q("clinic", "extreme", "Who is the oldest patient?",
      "SELECT full_name FROM patients WHERE birth_date = (SELECT MIN(birth_date) FROM patients)",
      "entity", _PATIENT_NAMES),
    Q("clinic", "extreme", "What are the three cheapest medications?",
      "SELECT drug_name, unit_cost FROM medications WHERE unit_cost <= "
      "(SELECT unit_cost FROM medications ORDER BY unit_cost LIMIT 1 OFFSET 2) ORDER BY unit_cost",
      "rows", _DRUG_NAMES),
    # grouping along the foreign keys
    Q("clinic", "group", "Which town has the most patients?",
      "SELECT town FROM patients GROUP BY town HAVING COUNT(*) = "
      "(SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM patients GROUP BY town) t)", "entity", _TOWNS),
    Q("clinic", "group", "Which specialty has the most doctors?",
      "SELECT specialty FROM doctors GROUP BY specialty HAVING COUNT(*) = "
      "(SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM doctors GROUP BY specialty) t)", "entity", _SPECIALTIES),
    Q("clinic", "group", "How many visits were there per outcome?",
      "SELECT outcome, COUNT(*) FROM visits GROUP BY outcome", "groups"),
    Q("clinic", "group", "Which doctor had the most visits?",
      "SELECT d.full_name FROM doctors d JOIN visits v ON v.doctor_id = d.doctor_id GROUP BY d.doctor_id "
      "HAVING COUNT(*) = (SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM visits GROUP BY doctor_id) t)",
      "entity", _DOCTOR_NAMES),
    Q("clinic", "group", "Which patient spent the most on prescriptions?",
      f"SELECT p.full_name FROM patients p JOIN visits v ON v.patient_id = p.patient_id "
      f"JOIN prescriptions r ON r.visit_id = v.visit_id GROUP BY p.patient_id HAVING SUM({_CLINIC_LINE}) = "
      f"(SELECT MAX(s) FROM (SELECT SUM({_CLINIC_LINE}) AS s FROM visits v "
      "JOIN prescriptions r ON r.visit_id = v.visit_id GROUP BY v.patient_id) t)", "entity", _PATIENT_NAMES),
    # lookups across a join
    Q("clinic", "join lookup", "How many visits did Dagny Eklund have?",
      "SELECT COUNT(*) FROM visits v JOIN patients p ON p.patient_id = v.patient_id "
      "WHERE p.full_name = 'Dagny Eklund'", "number"),
    Q("clinic", "join lookup", "How many visits were by patients from Sligo?",
      "SELECT COUNT(*) FROM visits v JOIN patients p ON p.patient_id = v.patient_id WHERE p.town = 'Sligo'",
      "number"),
    Q("clinic", "join lookup", "Which patients have never had a visit?",
      "SELECT p.full_name FROM patients p WHERE NOT EXISTS "
      "(SELECT 1 FROM visits v WHERE v.patient_id = p.patient_id)", "list", _PATIENT_NAMES),
    # attribute lookups
    Q("clinic", "attribute", "What does Salbutamol cost?",
      "SELECT unit_cost FROM medications WHERE drug_name = 'Salbutamol'", "number"),
    Q("clinic", "attribute", "Where does Tobias Iversen live?",
      "SELECT town FROM patients WHERE full_name = 'Tobias Iversen'", "entity", _TOWNS),
    Q("clinic", "attribute", "What is Dr Fenna Gallagher's specialty?",
      "SELECT specialty FROM doctors WHERE full_name = 'Dr Fenna Gallagher'", "entity", _SPECIALTIES),
    # money over line items
    Q("clinic", "money", "What was the total cost of prescriptions in 2024?",
      f"SELECT SUM({_CLINIC_LINE}) FROM prescriptions r JOIN visits v ON v.visit_id = r.visit_id "
      "WHERE YEAR(v.visit_date) = 2024", "number"),
    Q("clinic", "money", "How much did the prescriptions of March 2024 cost in total?",
      f"SELECT SUM({_CLINIC_LINE}) FROM prescriptions r JOIN visits v ON v.visit_id = r.visit_id "
      "WHERE v.visit_date >= '2024-03-01' AND v.visit_date < '2024-04-01'", "number"),
    Q("clinic", "money", "What is the average prescription cost per visit in 2023?",
      f"SELECT AVG(total) FROM ({_VISIT_TOTALS.format(where='WHERE YEAR(v.visit_date) = 2023')}) t", "number"),
    # lists of distinct values
    Q("clinic", "list", "List all specialties.", "SELECT DISTINCT specialty FROM doctors", "list"),
    Q("clinic", "list", "Which towns do our patients live in?", "SELECT DISTINCT town FROM patients", "list"),
    Q("clinic", "list", "What outcomes can a visit have?", "SELECT DISTINCT outcome FROM visits", "list"),
    Q("clinic", "list", "Which doctors work in dermatology?",
      "SELECT full_name FROM doctors WHERE specialty = 'dermatology'", "list", _DOCTOR_NAMES),
    Q("clinic", "list", "List the medications.", "SELECT drug_name FROM medications", "list"),
    # what the data cannot answer
    Q("clinic", "decline", "How many nurses are there?", "", "decline"),
    Q("clinic", "decline", "What is the average height of the patients?", "", "decline"),
    Q("clinic", "decline", "How many patients live in Dublin?", "", "decline"),
    Q("clinic", "decline", "How many visits were glorped?", "", "decline"),
    Q("clinic", "decline", "How many patients will visit next month?", "", "decline"),
    Q("clinic", "decline", "What is Tobias Iversen's phone number?", "", "decline"),
    # the same shapes in other everyday words
    Q("clinic", "count", "How many patients do we have?", "SELECT COUNT(*) FROM patients", "number"),
    Q("clinic", "count filtered", "How many visits were cancelled?",
      "SELECT COUNT(*) FROM visits WHERE outcome = 'cancelled'", "number"),
    Q("clinic", "date", "How many patients were born after 1 January 2000?",
      "SELECT COUNT(*) FROM patients WHERE birth_date > '2000-01-01'", "number"),
    Q("clinic", "aggregate", "What is the average fee of a completed visit?",
      "SELECT AVG(fee) FROM visits WHERE outcome = 'completed'", "number"),
    Q("clinic", "aggregate", "What was the total fee income in 2024?",
      "SELECT SUM(fee) FROM visits WHERE YEAR(visit_date) = 2024", "number"),
    Q("clinic", "extreme", "What's the most expensive medication?",
      "SELECT drug_name FROM medications WHERE unit_cost = (SELECT MAX(unit_cost) FROM medications)",
      "entity", _DRUG_NAMES),
    Q("clinic", "extreme", "Which doctor was hired most recently?",
      "SELECT full_name FROM doctors WHERE hired_on = (SELECT MAX(hired_on) FROM doctors)", "entity", _DOCTOR_NAMES),
    Q("clinic", "group", "Which insurer covers the fewest patients?",
      "SELECT insurer FROM patients GROUP BY insurer HAVING COUNT(*) = "
      "(SELECT MIN(n) FROM (SELECT COUNT(*) AS n FROM patients GROUP BY insurer) t)", "entity",
      "SELECT DISTINCT insurer FROM patients"),
    Q("clinic", "group", "Which medication appears on the most prescriptions?",
      "SELECT m.drug_name FROM medications m JOIN prescriptions r ON r.medication_id = m.medication_id "
      "GROUP BY m.medication_id HAVING COUNT(*) = (SELECT MAX(n) FROM "
      "(SELECT COUNT(*) AS n FROM prescriptions GROUP BY medication_id) t)", "entity", _DRUG_NAMES),
    Q("clinic", "join lookup", "How many visits did Dr Saoirse Eklund have?",
      "SELECT COUNT(*) FROM visits v JOIN doctors d ON d.doctor_id = v.doctor_id "
      "WHERE d.full_name = 'Dr Saoirse Eklund'", "number"),
    Q("clinic", "join lookup", "How much did Dagny Pemberton spend on prescriptions?",
      f"SELECT SUM({_CLINIC_LINE}) FROM prescriptions r JOIN visits v ON v.visit_id = r.visit_id "
      "JOIN patients p ON p.patient_id = v.patient_id WHERE p.full_name = 'Dagny Pemberton'", "number"),
    Q("clinic", "list", "List the doctors' names.", "SELECT full_name FROM doctors", "list"),
    Q("clinic", "decline", "How many beds does the clinic have?", "", "decline"),
    Q("clinic", "decline", "Which doctor has the best reviews?", "", "decline"),
    Q("clinic", "count filtered", "How many doctors are there in dermatology?",
      "SELECT COUNT(*) FROM doctors WHERE specialty = 'dermatology'", "number"),
    Q("clinic", "count filtered", "How many visits ended in a referral?",
      "SELECT COUNT(*) FROM visits WHERE outcome = 'referred'", "number"),
    Q("clinic", "count filtered", "How many patients live in Tralee?",
      "SELECT COUNT(*) FROM patients WHERE town = 'Tralee'", "number"),
    Q("clinic", "count filtered", "How many completed visits were there in 2024?",
      "SELECT COUNT(*) FROM visits WHERE outcome = 'completed' AND YEAR(visit_date) = 2024", "number"),
    Q("clinic", "count distinct", "How many different insurers are there?",
      "SELECT COUNT(DISTINCT insurer) FROM patients", "number"),
    Q("clinic", "compare", "How many medications cost 10 or more per unit?",
      "SELECT COUNT(*) FROM medications WHERE unit_cost >= 10", "number"),
    Q("clinic", "date", "How many visits took place in December 2024?",
      "SELECT COUNT(*) FROM visits WHERE visit_date BETWEEN '2024-12-01' AND '2024-12-31'", "number"),
    Q("clinic", "aggregate", "What is the average quantity on a prescription?",
      "SELECT AVG(quantity) FROM prescriptions", "number"),
    Q("clinic", "extreme", "Which cream is the most expensive?",
      "SELECT drug_name FROM medications WHERE dosage_form = 'cream' AND unit_cost = "
      "(SELECT MAX(unit_cost) FROM medications WHERE dosage_form = 'cream')", "entity", _DRUG_NAMES),
    Q("clinic", "group", "Which medication was prescribed in the largest total quantity?",
      "SELECT m.drug_name FROM medications m JOIN prescriptions r ON r.medication_id = m.medication_id "
      "GROUP BY m.medication_id HAVING SUM(r.quantity) = (SELECT MAX(s) FROM "
      "(SELECT SUM(quantity) AS s FROM prescriptions GROUP BY medication_id) t)", "entity", _DRUG_NAMES),
    Q("clinic", "group", "Which doctor has the fewest visits?",
      "SELECT d.full_name FROM doctors d JOIN visits v ON v.doctor_id = d.doctor_id GROUP BY d.doctor_id "
      "HAVING COUNT(*) = (SELECT MIN(n) FROM (SELECT COUNT(*) AS n FROM visits GROUP BY doctor_id) t)",
      "entity", _DOCTOR_NAMES),
    Q("clinic", "join lookup", "How many visits did patients from Cork have?",
      "SELECT COUNT(*) FROM visits v JOIN patients p ON p.patient_id = v.patient_id WHERE p.town = 'Cork'",
      "number"),
    Q("clinic", "attribute", "What does Ibuprofen cost?",
      "SELECT unit_cost FROM medications WHERE drug_name = 'Ibuprofen'", "number"),
    Q("clinic", "attribute", "When was Dr Bram Eklund hired?",
      "SELECT hired_on FROM doctors WHERE full_name = 'Dr Bram Eklund'", "rows"),
    Q("clinic", "money", "What was the total cost of all prescriptions?",
      f"SELECT SUM({_CLINIC_LINE}) FROM prescriptions r", "number"),
    Q("clinic", "money", "What was the average prescription cost per visit in 2024?",
      f"SELECT AVG(total) FROM ({_VISIT_TOTALS.format(where='WHERE YEAR(v.visit_date) = 2024')}) t", "number"),
    Q("clinic", "list", "List the patients who live in Wexford.",
      "SELECT full_name FROM patients WHERE town = 'Wexford'", "list", _PATIENT_NAMES),
    Q("clinic", "list", "Which doctors work in cardiology?",
      "SELECT full_name FROM doctors WHERE specialty = 'cardiology'", "list", _DOCTOR_NAMES),
    Q("clinic", "decline", "How many visits were paid by card?", "", "decline"),
    Q("clinic", "decline", "Which patients are allergic to penicillin?", "", "decline"),
    Q("clinic", "decline", "How many operations were performed?", "", "decline"),
]

QUESTIONS = (SHOP + CLINIC + [Q("freight", *row) for row in FREIGHT_ROWS]
             + [Q(*row) for row in FIRM_ROWS + SAKILA_ROWS + NORTHWIND_ROWS + CLASSICMODELS_ROWS])
# The databases written here, then the public sample databases loaded from their dumps.
DATABASES = ("shop", "clinic", "freight", "firm", "sakila", "northwind", "classicmodels")


# -- grading -----------------------------------------------------------------

_DATE = re.compile(r"\b\d{4}-\d{2}(?:-\d{2})?\b")
# 1,234.50 and 1234.5 alike; a comma followed by a space separates list items.
_NUMBER = re.compile(r"(?<![\w.])-?(?:\d{1,3}(?:,\d{3})+|\d+)(?:\.\d+)?(?![\d])")
_NUMBER_WORDS = {w: i for i, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve".split())}
# A long list may be cut short as long as it says how many there are and
# shows at least this many of them.
_MIN_SHOWN = 3
# A number answer may carry a little context ("245.31 over 89 orders"), not a table.
_MAX_OTHER_NUMBERS = 2


def numbers(text: str) -> list[Decimal]:
    """The numbers stated in `text`; ISO dates and months are not numbers here."""
    text = _DATE.sub(" ", text)
    return [Decimal(m.group().replace(",", "")) for m in _NUMBER.finditer(text)]


def _question_numbers(question: str) -> set[Decimal]:
    found = set(numbers(question))
    for word in re.findall(r"[a-z]+", question.lower()):
        if word in _NUMBER_WORDS:
            found.add(Decimal(_NUMBER_WORDS[word]))
    return found


def _same_number(stated: Decimal, expected) -> bool:
    expected = Decimal(str(expected))
    if expected == expected.to_integral_value():
        return stated == expected
    # An average may be stated rounded to cents (or more precisely).
    return abs(stated - expected) <= Decimal("0.0051")


def _mentions(text: str, name: str) -> bool:
    return re.search(r"(?<!\w)" + re.escape(str(name).lower()) + r"(?!\w)", text.lower()) is not None


def _group_key(key) -> str:
    """A pattern for a group's name in a lower-cased answer; a month ('2024-03')
    may also be written out ('March 2024', 'Mar 2024')."""
    key = str(key).lower()
    pattern = re.escape(key)
    month = re.fullmatch(r"(\d{4})-(\d{2})", key)
    if month and 1 <= int(month.group(2)) <= 12:
        name = _dt.date(2000, int(month.group(2)), 1).strftime("%B").lower()
        pattern = f"{pattern}|(?:{name}|{name[:3]})\\.?,? {month.group(1)}"
    return r"(?<!\w)(?:" + pattern + r")(?!\w)"


def _names_row(text: str, row: tuple) -> bool:
    """Whether `text` names the thing of `row`: by its first cell, or by
    another name of it in a later one (a company, or its contact person)."""
    return any(_mentions(text, cell) for cell in row if cell is not None)


def _cell_found(text: str, cell, stated: list[Decimal]) -> bool:
    if isinstance(cell, (int, float, Decimal)):
        return any(_same_number(n, cell) for n in stated)
    if isinstance(cell, (_dt.date, _dt.datetime)):
        month = cell.strftime("%B")
        spellings = (cell.isoformat()[:10], f"{cell.day} {month} {cell.year}", f"{month} {cell.day}, {cell.year}")
        return any(w.lower() in text.lower() for w in spellings)
    return _mentions(text, cell)


def _strangers(text: str, expected: list, domain: list) -> list:
    """Names of the answer's sort that it mentions but should not."""
    wanted = [str(e).lower() for e in expected]
    return [d for d in domain
            if str(d).lower() not in wanted
            and not any(str(d).lower() in w for w in wanted)
            and _mentions(text, d)]


def _listed_pieces(text: str) -> list[str]:
    """The items of a list written after a colon, split on commas, 'and' and lines."""
    if ":" not in text:
        return []
    body = text.split(":", 1)[1]
    pieces = re.split(r",|;|\n|\band\b", body)
    out = []
    for piece in pieces:
        piece = piece.strip(" \t.…-*•'\"()[]")
        if not piece or re.search(r"\b(more|others?|etc)\b|\.\.\.", piece):
            continue
        out.append(piece)
    return out


def grade(q: Q, expected: list[tuple], domain: list, answer: str, decline_prefix: str) -> tuple[str, str]:
    """(verdict, why) for one answer: correct, declined or wrong.

    `expected` is the rows of the question's SQL, `domain` the names of the
    sort the answer is about.  The judge is strict on purpose: the right
    value buried among wrong ones is wrong.  A number answer must lead with
    its figure (numbers repeated from the question aside) and may add at
    most two more; a named answer must name every tied winner and nothing
    else of its sort; a list must be complete or say how many there are.
    """
    answer = str(answer)
    if answer.startswith(decline_prefix):
        return "declined", ""
    if q.kind == "decline":
        return "wrong", "answered a question the data cannot answer"
    stated = numbers(answer)
    asked = _question_numbers(q.question)

    if q.kind == "number":
        value = expected[0][0] if expected and expected[0] else None
        if value is None:
            return "wrong", "expected no value"
        if not any(_same_number(n, value) for n in stated):
            return "wrong", f"does not state {value}"
        claimed = [n for n in stated if n not in asked or _same_number(n, value)]
        if not claimed or not _same_number(claimed[0], value):
            return "wrong", f"states {claimed[0] if claimed else 'nothing'} before {value}"
        others = {n for n in claimed if not _same_number(n, value)}
        if len(others) > _MAX_OTHER_NUMBERS:
            return "wrong", f"{value} is among {len(others)} other numbers"
        return "correct", ""

    if q.kind == "entity":
        missing = [row[0] for row in expected if not _names_row(answer, row)]
        if missing:
            return "wrong", f"does not name {', '.join(map(str, missing))}"
        extra = _strangers(answer, [n for row in expected for n in row], domain)
        if extra:
            return "wrong", f"also names {', '.join(map(str, extra[:3]))}"
        return "correct", ""

    if q.kind == "rows":
        # Each row is known by its first cell; its figures may be left out,
        # but any figure the answer gives must be one of the rows'.
        for row in expected:
            if not _cell_found(answer, row[0], stated):
                return "wrong", f"does not name {row[0]}"
        extra = _strangers(answer, [row[0] for row in expected], domain)
        if extra:
            return "wrong", f"also names {', '.join(map(str, extra[:3]))}"
        cells = [cell for row in expected for cell in row
                 if isinstance(cell, (int, float, Decimal))]
        # The figures inside a text cell ("10 boxes x 20 bags", a phone
        # number) are the rows' own too.
        cells += [n for row in expected for cell in row if isinstance(cell, str) for n in numbers(cell)]
        # A date written out in words leaves its day and year as numbers.
        cells += [part for row in expected for cell in row if isinstance(cell, _dt.date)
                  for part in (cell.day, cell.month, cell.year)]
        # Rank numbers (1., 2., 3.) are no claim about the data.
        ranks = {Decimal(i) for i in range(1, len(expected) + 1)}
        others = {n for n in stated if n not in asked and n not in ranks
                  and not any(_same_number(n, c) for c in cells)}
        if others:
            return "wrong", f"also states {', '.join(map(str, sorted(others)[:3]))}"
        return "correct", ""

    if q.kind == "groups":
        text = answer.lower()
        spots = []
        for key, value in expected:
            m = re.search(_group_key(key), text)
            if m is None:
                return "wrong", f"does not name the group {key}"
            spots.append((m.start(), m.end(), key, value))
        spots.sort()
        # Each figure is read next to its group: after it ("delivered: 58")
        # or before it ("58 delivered"); one layout must fit every group.
        after = [(s[1], spots[i + 1][0] if i + 1 < len(spots) else len(text), s[3])
                 for i, s in enumerate(spots)]
        before = [(spots[i - 1][1] if i else 0, s[0], s[3]) for i, s in enumerate(spots)]
        for layout in (after, before):
            if all(any(_same_number(n, value) for n in numbers(answer[a:b])) for a, b, value in layout):
                return "correct", ""
        return "wrong", "the figures do not go with their groups"

    if q.kind == "list":
        extra = _strangers(answer, [n for row in expected for n in row], domain)
        if extra:
            return "wrong", f"also names {', '.join(map(str, extra[:3]))}"
        pieces = _listed_pieces(answer)
        # A piece may be a name cut where the list is split ("Anton Designs"
        # of "Anton Designs, Ltd.") or stripped of its final period.
        bogus = [p for p in pieces if not any(
            _names_row(p, row) or any(cell is not None and _mentions(str(cell), p) for cell in row)
            for row in expected)]
        if bogus:
            return "wrong", f"lists {bogus[0]!r}, which is not one of them"
        shown = [row for row in expected if _names_row(answer, row)]
        if len(shown) == len(expected):
            return "correct", ""
        if not any(_same_number(n, len(expected)) for n in stated):
            return "wrong", f"shows {len(shown)} of {len(expected)} without saying how many there are"
        if len(shown) < min(_MIN_SHOWN, len(expected)):
            return "wrong", f"shows only {len(shown)} of {len(expected)}"
        return "correct", ""

    raise ValueError(f"unknown kind {q.kind!r}")


# -- running -----------------------------------------------------------------

def _silenced_import():
    # LangChain warns about the module's legacy import paths while they are
    # imported; the warnings say nothing about the answers being measured.
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        import quorvane  # noqa: F401
        from langchain_core._api import LangChainDeprecationWarning
    warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)
    # Two tables that refer to each other (a store and its manager on the
    # staff) leave SQLAlchemy no order to sort them in, which it warns of
    # on every schema read; the answers do not depend on that order.
    from sqlalchemy.exc import SAWarning
    warnings.filterwarnings("ignore", category=SAWarning, message="Cannot correctly sort tables")


def load_databases(server, which: str = "all") -> dict:
    """Load the bench's databases onto `server`: name -> (user, password, host, database)."""
    from quorvane_ask.sample_shop import load_sample
    from firm_db import load_firm
    from freight_db import load_freight
    from second_db import load_clinic
    from dumps import DUMPS, load_public

    out = {}
    if which in ("shop", "all"):
        out["shop"] = load_sample(server)
    if which in ("clinic", "all"):
        out["clinic"] = load_clinic(server)
    if which in ("freight", "all"):
        out["freight"] = load_freight(server)
    if which in ("firm", "all"):
        out["firm"] = load_firm(server)
    for name in DUMPS:
        if which in (name, "all"):
            out[name] = load_public(server, name)
    return out


def ask_quietly(question: str, db) -> tuple[str | None, float]:
    """The answer to `question` by the road a user's question takes, and the
    seconds the agent's run took once connected (None: no connection)."""
    from quorvane_ask.cli import Failure, Target, connect_agent
    from quorvane_ask.offline import OfflineSQLModel

    # The connection reports itself and the runner announces itself on stdout.
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            runner = connect_agent(Target(db.user, db.password, db.host, db.name),
                                   OfflineSQLModel(), verbose=False)
        except Failure:
            return None, 0.0
        started = time.monotonic()
        return runner.run(question), time.monotonic() - started


def _short(text: str, width: int) -> str:
    text = " ".join(str(text).split())
    return text if len(text) <= width else text[: width - 1] + "…"


def run(which: str = "all", pattern: str = "", show: bool = False, out=sys.stdout) -> dict:
    """Ask every selected question; print the table and return the results per database."""
    from quorvane_ask.offline import CANNOT_ANSWER
    from quorvane_ask.privatedb import PrivateMariaDB

    _silenced_import()
    selected = [q for q in QUESTIONS if (which == "all" or q.db == which)
                and pattern.lower() in q.question.lower()]
    results = []
    with PrivateMariaDB() as server:
        dbs = load_databases(server, which)
        for q in selected:
            db = dbs[q.db]
            expected = list(server.execute(q.sql, database=db.name)) if q.sql else []
            domain = [r[0] for r in server.execute(q.domain, database=db.name)] if q.domain else []
            started, agent = time.monotonic(), 0.0
            try:
                answer, agent = ask_quietly(q.question, db)
                verdict, why = grade(q, expected, domain, answer, CANNOT_ANSWER)
            except Exception as e:  # a failure of the agent is reported, not fatal
                answer, verdict, why = f"{type(e).__name__}: {e}", "error", "the agent raised"
            results.append((q, expected, answer, verdict, why, (time.monotonic() - started, agent)))

    print(f"{'db':<7} {'shape':<15} {'verdict':<9} question -> answer", file=out)
    for q, expected, answer, verdict, why, _ in results:
        line = f"{q.db:<7} {q.shape:<15} {verdict:<9} {_short(q.question, 48)} -> "
        print(line + (str(answer) if show else _short(answer, 150 - len(line))), file=out)
        if verdict in ("wrong", "error") or show:
            print(f"{'':<33}expected {_short(_expected_text(q, expected), 100)}"
                  + (f"; {why}" if why else ""), file=out)
    totals = {}
    for name in dict.fromkeys(q.db for q, *_ in results):
        mine = [(q, v) for q, _, _, v, _, _ in results if q.db == name]
        t = {v: sum(1 for _, w in mine if w == v) for v in ("correct", "declined", "wrong", "error")}
        t["total"] = len(mine)
        # The share is taken over the questions the data can answer; the
        # ones it cannot are counted apart, as declines that were due.
        t["answerable"] = sum(1 for q, _ in mine if q.kind != "decline")
        t["unanswerable"] = t["total"] - t["answerable"]
        t["declined_as_due"] = sum(1 for q, v in mine if q.kind == "decline" and v == "declined")
        totals[name] = t
    print(file=out)
    w = max([7] + [len(name) for name in totals])
    print(f"{'db':<{w}} {'questions':>9} {'correct':>8} {'declined':>9} {'wrong':>6} {'error':>6}  "
          f"{'answerable correct':<19} declined as due", file=out)
    for name, t in totals.items():
        print(f"{name:<{w}} {t['total']:>9} {t['correct']:>8} {t['declined']:>9} {t['wrong']:>6} {t['error']:>6}  "
              f"{_share(t['correct'], t['answerable']):<19} {_share(t['declined_as_due'], t['unanswerable'])}",
              file=out)
    print(file=out)
    print(_timing_table(results, w), file=out)
    return {"totals": totals, "results": results}


def _timing_table(results: list, w: int) -> str:
    """Seconds per answer: the whole road (two connects with their schema
    reflection, then the run), and the agent's run alone once connected,
    which is what the model's speed target is met on."""
    import statistics

    lines = [f"{'db':<{w}} {'whole: median':>13} {'max':>6}  {'run: median':>11} {'max':>6} {'over 1 s':>8}"]
    for name in dict.fromkeys(q.db for q, *_ in results):
        whole = [t[0] for q, *_, t in results if q.db == name]
        run = [t[1] for q, *_, t in results if q.db == name]
        lines.append(f"{name:<{w}} {statistics.median(whole):>13.3f} {max(whole):>6.2f}  "
                     f"{statistics.median(run):>11.3f} {max(run):>6.2f} {sum(x > 1 for x in run):>8}")
    return "\n".join(lines)


def _expected_text(q: Q, expected: list[tuple]) -> str:
    if q.kind == "decline":
        return "a decline"
    return "; ".join(", ".join(str(c) for c in row) for row in expected) or "(no rows)"


def _share(part: int, whole: int) -> str:
    return f"{part}/{whole} ({part / whole:.0%})" if whole else "-"


def markdown_totals(totals: dict) -> str:
    lines = ["| database | questions | correct | declined | wrong | answerable correct | declined as due |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for name, t in totals.items():
        lines.append(f"| {name} | {t['total']} | {t['correct']} | {t['declined']} | {t['wrong'] + t['error']} | "
                     f"{_share(t['correct'], t['answerable'])} | {_share(t['declined_as_due'], t['unanswerable'])} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", choices=DATABASES + ("all",), default="all",
                        help="which database's questions to ask (default: all)")
    parser.add_argument("-k", dest="pattern", default="", help="only questions containing this text")
    parser.add_argument("--show", action="store_true", help="print each answer in full, with what was expected")
    parser.add_argument("--strict", action="store_true", help="exit 1 when any answer is wrong")
    parser.add_argument("--out", help="also write the table to this file")
    parser.add_argument("--wrong-out", help="write the wrong answers (question, expected, answer) to this file")
    parser.add_argument("--markdown", action="store_true", help="end with the totals as a Markdown table")
    args = parser.parse_args(argv)

    buf = io.StringIO()
    result = run(args.db, args.pattern, args.show, out=buf)
    if args.markdown:
        buf.write("\n" + markdown_totals(result["totals"]))
    if args.wrong_out:
        with open(args.wrong_out, "w", encoding="utf-8") as f:
            for q, expected, answer, verdict, why, _ in result["results"]:
                if verdict in ("wrong", "error"):
                    f.write(f"[{q.db}] {q.question}\n  expected: {_expected_text(q, expected)}\n"
                            f"  answer:   {answer}\n  {verdict}: {why}\n\n")
    sys.stdout.write(buf.getvalue())
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(buf.getvalue())
    bad = sum(t["wrong"] + t["error"] for t in result["totals"].values())
    return 1 if args.strict and bad else 0


if __name__ == "__main__":
    sys.exit(main())
