"""The question bench's judge: right values pass, buried or missing ones do not."""

import importlib.util
import os
from datetime import date
from decimal import Decimal as D

import pytest

_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "questions.py")
_spec = importlib.util.spec_from_file_location("bench_questions", _PATH)
bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bench)

NO = "I can't answer that: "
CITIES = ["Hamburg", "Rome", "Milan", "Berlin"]


@pytest.mark.parametrize("kind, question, expected, domain, answer, verdict", [
    ("number", "How many customers?", [(40,)], [], "There are 40 customers.", "correct"),
    ("number", "Revenue?", [(D("77045.04"),)], [], "Revenue was 77,045.04 euros.", "correct"),
    ("number", "Average?", [(D("642.042000"),)], [], "The average is 642.04.", "correct"),
    ("number", "Average?", [(D("642.042000"),)], [], "The average is 642.1.", "wrong"),
    ("number", "How many in 2023?", [(31,)], [], "In 2023 there were 31 orders.", "correct"),
    ("number", "How many customers?", [(40,)], [], "There are 41 customers.", "wrong"),
    ("number", "How many in March 2024?", [(9,)], [], "In 2024-03 there were 9 orders.", "correct"),
    ("number", "How many cancelled?", [(19,)], [], "Of 120 orders, 19 were cancelled.", "wrong"),
    ("number", "How many?", [(3,)], [], "Counts: 1, 3, 7, 12.", "wrong"),
    ("number", "How many?", [(3,)], [], NO + "no such table", "declined"),
    ("decline", "How many invoices?", [], [], "There are 0 invoices.", "wrong"),
    ("entity", "Top city?", [("Hamburg",)], CITIES, "Hamburg has the most customers (7).", "correct"),
    ("entity", "Top city?", [("Hamburg",)], CITIES, "Cities: Berlin; Hamburg; Milan; Rome.", "wrong"),
    ("entity", "Top city?", [("Hamburg",), ("Rome",)], CITIES, "Hamburg has the most.", "wrong"),
    ("rows", "The three largest orders?", [(5, D("2346.70")), (65, D("2248.25")), (19, D("2191.03"))], [],
     "Order 5 (2,346.70), order 65 (2,248.25) and order 19 (2,191.03).", "correct"),
    ("rows", "The three largest orders?", [(5, D("2346.70")), (65, D("2248.25")), (19, D("2191.03"))], [],
     "Order 5 (2,346.70), order 65 (2,248.25), order 19 (2,191.03), order 93 (1,999.55).", "wrong"),
    ("rows", "The three largest orders?", [(5, D("2346.70")), (65, D("2248.25")), (19, D("2191.03"))], [],
     "Orders 5, 65 and 19.", "correct"),
    ("rows", "The three largest orders?", [(5, D("2346.70")), (65, D("2248.25")), (19, D("2191.03"))], [],
     "Orders 5 (2,346.70), 65 (2,248.25) and 19 (2,000.00).", "wrong"),
    ("groups", "Orders per status?", [("cancelled", 19), ("delivered", 58)], [],
     "delivered: 58, cancelled: 19", "correct"),
    ("rows", "When did she sign up?", [(date(2023, 7, 28),)], [], "On 28 July 2023.", "correct"),
    ("rows", "When did she sign up?", [(date(2023, 7, 28),)], [], "On 2023-07-29.", "wrong"),
    ("groups", "Orders per status?", [("cancelled", 19), ("delivered", 58)], [],
     "cancelled: 58, delivered: 19", "wrong"),
    ("groups", "Orders per status?", [("cancelled", 19), ("delivered", 58)], [],
     "19 cancelled and 58 delivered", "correct"),
    ("list", "List the cities.", [(c,) for c in CITIES], [], "The cities: Berlin, Hamburg, Milan and Rome.", "correct"),
    ("list", "List the cities.", [(c,) for c in CITIES], [], "There are 4 cities; the first: Berlin, Hamburg, Milan.",
     "correct"),
    ("list", "List the cities.", [(c,) for c in CITIES], [], "Cities: Berlin, Hamburg, Milan.", "wrong"),
    ("list", "List the cities.", [(c,) for c in CITIES], [], "4 cities: Berlin, Hamburg, Paris, Rome.", "wrong"),
    ("list", "Without orders?", [("Rome",)], CITIES, "Rome and Milan.", "wrong"),
    # a row may be named by another of its names; a month written out; figures inside text cells
    ("entity", "Top customer?", [("Company H", "Ann Lee")], ["Company H", "Ann Lee", "Company F", "Bo Ek"],
     "Ann Lee (6 orders).", "correct"),
    ("entity", "Top customer?", [("Company H", "Ann Lee")], ["Company H", "Ann Lee", "Company F", "Bo Ek"],
     "Ann Lee and Bo Ek.", "wrong"),
    ("groups", "Orders per month?", [("2024-03", 9), ("2024-04", 4)], [], "March 2024: 9; Apr 2024: 4.", "correct"),
    ("groups", "Orders per month?", [("2024-03", 9), ("2024-04", 4)], [], "March 2024: 4; Apr 2024: 9.", "wrong"),
    ("rows", "Pack sizes?", [("Tea", "10 boxes x 20 bags")], [], "Tea: 10 boxes x 20 bags.", "correct"),
    ("rows", "Pack sizes?", [("Tea", "10 boxes x 20 bags")], [], "Tea: 12 boxes x 20 bags.", "wrong"),
])
def test_grade(kind, question, expected, domain, answer, verdict):
    q = bench.Q("shop", kind, question, "", kind)
    assert bench.grade(q, expected, domain, answer, NO)[0] == verdict
