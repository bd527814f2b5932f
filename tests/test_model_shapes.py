"""The shapes analysts ask every day, and ambiguity settled by the question,
on a lending library of our own: members and branches that both keep a
city, books with a genre and a price, loans with a date and a fee.  Every
expected value is computed by the server from the SQL beside the question.
"""

import random
import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly
from quorvane_ask.offline import CANNOT_ANSWER

NAME, USER, PASSWORD = "shapes_library", "shapes_ro", "shapes-ro-pw"
MONTH = "CONCAT(YEAR(loan_date), '-', LPAD(MONTH(loan_date), 2, '0'))"


def _script() -> str:
    rng = random.Random(11)
    cities = ["Galway", "Cork", "Sligo", "Ennis"]
    out = ["CREATE TABLE branches (branch_id INT PRIMARY KEY, branch_name VARCHAR(30), "
           "city VARCHAR(20))",
           "CREATE TABLE members (member_id INT PRIMARY KEY, first_name VARCHAR(20), "
           "last_name VARCHAR(20), city VARCHAR(20), branch_id INT, "
           "FOREIGN KEY (branch_id) REFERENCES branches(branch_id))",
           "CREATE TABLE books (book_id INT PRIMARY KEY, title VARCHAR(40), genre VARCHAR(20), "
           "price DECIMAL(6,2))",
           "CREATE TABLE loans (loan_id INT PRIMARY KEY, member_id INT, book_id INT, "
           "loan_date DATE, fee DECIMAL(6,2), "
           "FOREIGN KEY (member_id) REFERENCES members(member_id), "
           "FOREIGN KEY (book_id) REFERENCES books(book_id))",
           # Most branches are in Cork, most members in Galway: the two cities differ.
           "INSERT INTO branches VALUES (1, 'Quay Street', 'Cork'), (2, 'Mill Lane', 'Cork'), "
           "(3, 'Abbey Row', 'Sligo')"]
    firsts = ["Aoife", "Brian", "Ciara", "Dara", "Eimear", "Fionn", "Grainne", "Hugh", "Isolde"]
    members = [f"({i}, '{f}', 'Surname{i}', '{cities[0] if i < 5 else rng.choice(cities[1:])}', "
               f"{rng.randint(1, 3)})" for i, f in enumerate(firsts, start=1)]
    out.append("INSERT INTO members VALUES " + ", ".join(members))
    genres = ["Poetry", "Drama", "Poetry", "History", "Drama", "Poetry", "Science", "Drama"]
    books = [f"({i}, 'Volume {i}', '{g}', {10 + 3 * i}.50)" for i, g in enumerate(genres, 1)]
    out.append("INSERT INTO books VALUES " + ", ".join(books))
    loans = []
    for i in range(1, 61):
        member = min(9, 1 + int(rng.expovariate(0.35)))  # a few members borrow most
        loans.append(f"({i}, {member}, {rng.randint(1, 8)}, '{2023 + i % 2}-"
                     f"{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}', "
                     f"{rng.choice(['0.50', '1.00', '2.25'])})")
    out.append("INSERT INTO loans VALUES " + ", ".join(loans))
    # last_update is the database's own record of a change: never the date asked about.
    out.append("CREATE TABLE payments (payment_id INT PRIMARY KEY, member_id INT, payment_date DATE, "
               "amount DECIMAL(6,2), last_update DATE, "
               "FOREIGN KEY (member_id) REFERENCES members(member_id))")
    out.append("INSERT INTO payments VALUES " + ", ".join(
        f"({i}, {1 + i % 7}, '{2023 + i % 2}-0{1 + i % 9}-1{i % 9}', {i * 1.25:.2f}, '2025-01-01')"
        for i in range(1, 25)))
    # Tools and workers both belong to a depot, and a worker rents tools:
    # two joins between them, the verb says which.  A worker's rentals and
    # the different tools rented agree only for the first worker.
    out += ["CREATE TABLE depots (depot_id INT PRIMARY KEY, depot_name VARCHAR(20))",
            "CREATE TABLE workers (worker_id INT PRIMARY KEY, worker_name VARCHAR(20), "
            "active TINYINT(1), depot_id INT, FOREIGN KEY (depot_id) REFERENCES depots(depot_id))",
            "CREATE TABLE tools (tool_id INT PRIMARY KEY, tool_name VARCHAR(20), depot_id INT, "
            "FOREIGN KEY (depot_id) REFERENCES depots(depot_id))",
            "CREATE TABLE rentals (rental_id INT PRIMARY KEY, worker_id INT, tool_id INT, "
            "rental_date DATE, "
            "FOREIGN KEY (worker_id) REFERENCES workers(worker_id), "
            "FOREIGN KEY (tool_id) REFERENCES tools(tool_id))",
            "INSERT INTO depots VALUES (1, 'North'), (2, 'South')",
            "INSERT INTO workers VALUES (1, 'Ada', 1, 1), (2, 'Bo', 1, 2), (3, 'Cy', 0, 1)",
            "INSERT INTO tools VALUES (1, 'Drill', 1), (2, 'Saw', 1), (3, 'Lathe', 2), (4, 'Vice', 2)",
            "INSERT INTO rentals VALUES (1, 1, 1, '2024-01-03'), (2, 1, 1, '2024-01-09'), "
            "(3, 1, 2, '2024-02-01'), (4, 2, 1, '2024-02-02'), (5, 2, 2, '2024-02-05'), "
            "(6, 2, 3, '2024-03-01'), (7, 2, 4, '2024-03-02'), (8, 3, 3, '2024-03-04')"]
    return ";\n".join(out) + ";"


@pytest.fixture(scope="module")
def library(mariadb):
    load_readonly(mariadb, NAME, USER, PASSWORD, _script())
    return mariadb


def _ask(server, question):
    return ask_offline(server, NAME, USER, PASSWORD, question)


def _said(value, text):
    want = Decimal(str(value))
    return any(abs(Decimal(n) - want) < Decimal("0.01")
               for n in re.findall(r"-?\d+(?:\.\d+)?", text))


def _first_only(rows):
    """The rows ranked first, ties included (rows come ranked)."""
    return [r for r in rows if r[1] == rows[0][1]]


# (question, SQL, how the answer must hold it): "groups" every key with its
# value ("rounded": as written), "only" those and no other, "sorted" in the
# SQL's order; "number" the one figure; "first" the names ranked first, and
# no name of the other rows; "each" every group with its rows' keys and no
# more rows; "decline" a decline.
SHAPES = [
    ("How many loans were there per month in 2024?",
     f"SELECT {MONTH}, COUNT(*) FROM loans WHERE YEAR(loan_date) = 2024 GROUP BY 1", "groups"),
    ("What was the total fee by year?",
     "SELECT YEAR(loan_date), SUM(fee) FROM loans GROUP BY 1", "groups"),
    ("Which month had the most loans?",
     f"SELECT {MONTH}, COUNT(*) n FROM loans GROUP BY 1 ORDER BY n DESC", "first"),
    ("What share of books are in the genre Poetry?",
     "SELECT 100 * SUM(genre = 'Poetry') / COUNT(*) FROM books", "number"),
    ("Which book has the second highest price?",
     "SELECT title, price FROM books WHERE price = (SELECT DISTINCT price FROM books "
     "ORDER BY price DESC LIMIT 1 OFFSET 1)", "first"),
    ("Which three members have the most loans?",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), COUNT(*) n FROM members m JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.member_id HAVING n >= (SELECT COUNT(*) FROM loans "
     "GROUP BY member_id ORDER BY 1 DESC LIMIT 1 OFFSET 2) ORDER BY n DESC", "groups"),
    ("List the top 3 members by number of loans.",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), COUNT(*) n FROM members m JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.member_id HAVING n >= (SELECT COUNT(*) FROM loans "
     "GROUP BY member_id ORDER BY 1 DESC LIMIT 1 OFFSET 2) ORDER BY n DESC", "groups"),
    ("What is the average number of loans per member?",
     "SELECT AVG(n) FROM (SELECT COUNT(l.loan_id) n FROM members m LEFT JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.member_id) t", "number"),
    ("What is the average total fee per member?",
     "SELECT AVG(s) FROM (SELECT COALESCE(SUM(l.fee), 0) s FROM members m LEFT JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.member_id) t", "number"),
    # A city kept by members and by branches: the members', whose rows are counted.
    ("Which city has the most members?",
     "SELECT city, COUNT(*) n FROM members GROUP BY city ORDER BY n DESC", "first"),
    # The counted rows' own city, not that of the branch they belong to.
    ("Which city do most members live in?",
     "SELECT city, COUNT(*) n FROM members GROUP BY city ORDER BY n DESC", "first"),
    # A verb of the counted table ranks: "the most loaned" is the most loans.
    ("Which is the most loaned book?",
     "SELECT b.title, COUNT(l.loan_id) n FROM books b LEFT JOIN loans l ON l.book_id = b.book_id "
     "GROUP BY b.book_id ORDER BY n DESC", "first"),
    ("Which book was loaned the most?",
     "SELECT b.title, COUNT(l.loan_id) n FROM books b LEFT JOIN loans l ON l.book_id = b.book_id "
     "GROUP BY b.book_id ORDER BY n DESC", "first"),
    # "last names" is a column, not the last row; a table named again is no condition.
    ("How many distinct last names do members have?", "SELECT COUNT(DISTINCT last_name) FROM members",
     "number"),
    ("How many loans are there for each of the members in the members table?",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), COUNT(*) FROM members m JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.member_id", "groups"),
    # "Pay" names the payments, whose date is the one the year is about.
    ("How much did members pay in 2024?",
     "SELECT SUM(amount) FROM payments WHERE YEAR(payment_date) = 2024", "number"),
    ("How much has Aoife paid?",
     "SELECT SUM(p.amount) FROM payments p JOIN members m ON m.member_id = p.member_id "
     "WHERE m.first_name = 'Aoife'", "number"),
    # A value before a noun qualifies the noun, and a negation before both
    # negates the noun: no Poetry book, not a book of another genre.
    ("How many members have never borrowed a Poetry book?",
     "SELECT COUNT(*) FROM members m WHERE NOT EXISTS (SELECT 1 FROM loans l JOIN books b "
     "ON b.book_id = l.book_id WHERE l.member_id = m.member_id AND b.genre = 'Poetry')", "number"),
    # A negated clause is its own noun's: the branches of members with no
    # payment, not branches none of whose members paid.
    ("Find the branch name of all members that have never paid.",
     "SELECT b.branch_name, EXISTS (SELECT 1 FROM members m WHERE m.branch_id = b.branch_id "
     "AND m.member_id NOT IN (SELECT member_id FROM payments)) hit FROM branches b "
     "ORDER BY hit DESC", "first"),
    # Words that add nothing: "any single", "labelled as".
    ("How many members do not have any single payment?",
     "SELECT COUNT(*) FROM members WHERE member_id NOT IN (SELECT member_id FROM payments)", "number"),
    ("How many books are labelled as Poetry?", "SELECT COUNT(*) FROM books WHERE genre = 'Poetry'",
     "number"),
    # A total of rows is of their one amount; "average payment" alone may
    # be of payments or of each member's total.
    ("What is the average total paid per member?",
     "SELECT AVG(s) FROM (SELECT COALESCE(SUM(p.amount), 0) s FROM members m LEFT JOIN payments p "
     "ON p.member_id = m.member_id GROUP BY m.member_id) t", "number"),
    ("What is the average payment per member?", "", "decline"),
    # "The most number of" ranks by a count, along the verb's table; the
    # brackets say what "most active" means.  Rentals and different tools
    # agree on the first worker, not on the first two; a yes-or-no flag
    # ranks nothing.
    ("Which worker has rented the most number of tools?",
     "SELECT w.worker_name, COUNT(*) n FROM workers w JOIN rentals r ON r.worker_id = w.worker_id "
     "GROUP BY w.worker_id ORDER BY n DESC", "first"),
    ("Which is the most active worker (the worker that has rented the most tools)?",
     "SELECT w.worker_name, COUNT(*) n FROM workers w JOIN rentals r ON r.worker_id = w.worker_id "
     "GROUP BY w.worker_id ORDER BY n DESC", "first"),
    ("Which two workers have rented the most tools?", "", "decline"),
    ("Which is the most active worker?", "", "decline"),
    # "that genre" is each genre named before; "shared by" a count of each.
    ("List the genres of books and the number of books that have that genre, but only for "
     "genres that are shared by at least two books.",
     "SELECT genre, COUNT(*) FROM books GROUP BY genre HAVING COUNT(*) >= 2", "only"),
    ("How many books have each genre, for genres shared by at most one book?",
     "SELECT genre, COUNT(*) FROM books GROUP BY genre HAVING COUNT(*) <= 1", "only"),
    ("What is the total price of books per genre, for genres shared by at least two books?",
     "", "decline"),
    # Active rows are those with something done in the period; loans and
    # payments would count members differently.
    ("How many active workers were there per month?",
     "SELECT DATE_FORMAT(rental_date, '%Y-%m'), COUNT(DISTINCT worker_id) FROM rentals GROUP BY 1",
     "groups"),
    ("Get the number of monthly active members.", "", "decline"),
    # Days from the first row to the last, by the rows' own date.
    ("Calculate the number of days that the company has been operating, counted from the "
     "first loan to the last one.", "SELECT DATEDIFF(MAX(loan_date), MIN(loan_date)) FROM loans",
     "number"),
    ("How many days passed between the first and the last payment?",
     "SELECT DATEDIFF(MAX(payment_date), MIN(payment_date)) FROM payments", "number"),
    ("How many days are there from the first book to the last one?", "", "decline"),
    # A verb of paying names the payments, whose total is of their amount;
    # the groups come in the order asked, a column of theirs or the figure.
    ("List the total paid by each member, with the members listed alphabetically by last name.",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), SUM(p.amount) FROM members m JOIN payments p "
     "ON p.member_id = m.member_id GROUP BY m.member_id ORDER BY m.last_name", "sorted"),
    ("What is the total fee per book, in descending order?",
     "SELECT b.title, SUM(l.fee) s FROM books b JOIN loans l ON l.book_id = b.book_id "
     "GROUP BY b.book_id ORDER BY s DESC, b.title", "sorted"),
    # Rows listed and ranked by how often the verb's rows name them: a
    # figure per row, in that order; a verb of other rows ranks nothing.
    ("Make a list of books and the number of loans, with the most frequently loaned book at the "
     "top of the list and so on to the least frequently loaned book.",
     "SELECT b.title, COUNT(*) n FROM books b JOIN loans l ON l.book_id = b.book_id "
     "GROUP BY b.book_id ORDER BY n DESC, b.title", "sorted"),
    ("Make a list of members and the number of loans, with the most frequently paid member at "
     "the top.", "", "decline"),
    # Payments have nothing taken off: their gross is their amount.
    ("What is the gross revenue per member?",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), SUM(p.amount) FROM members m JOIN payments p "
     "ON p.member_id = m.member_id GROUP BY m.member_id", "groups"),
    # Loans have a fee, but what is loaned is books, not money.
    ("What is the total loaned by each member?", "", "decline"),
    ("List the total paid by each member, sorted by genre.", "", "decline"),
    # Every loan has one book: all tie, so none has the most.
    ("Which loan has the most books?", "", "decline"),
    ("Which genre has the most books, and which has the least?", "", "decline"),
    ("Which book has the highest genre?", "", "decline"),
    # The key said again ("in that city") is the group; the figures rounded as asked.
    ("Show each member city and the average loan fee in that city, rounded to 2 decimal places.",
     "SELECT m.city, ROUND(AVG(l.fee), 2) FROM members m JOIN loans l "
     "ON l.member_id = m.member_id GROUP BY m.city", "rounded"),
    ("Show each genre and the average price in that city.", "", "decline"),
    # The rows with their group's latest or earliest date, ties kept; of
    # several dates, the one named after the table (a last_update is none).
    ("Return the most recent loan for each member.",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), l.loan_id FROM loans l JOIN members m "
     "ON m.member_id = l.member_id WHERE l.loan_date = "
     "(SELECT MAX(loan_date) FROM loans x WHERE x.member_id = l.member_id)", "each"),
    ("Show the earliest payment of each member.",
     "SELECT CONCAT(m.first_name, ' ', m.last_name), p.payment_id FROM payments p JOIN members m "
     "ON m.member_id = p.member_id WHERE p.payment_date = "
     "(SELECT MIN(payment_date) FROM payments x WHERE x.member_id = p.member_id)", "each"),
    ("Which member has the most recent loan for each book?", "", "decline"),
]


@pytest.mark.parametrize("question,sql,kind", SHAPES)
def test_shape(library, question, sql, kind):
    answer = _ask(library, question)
    if kind == "decline":
        assert answer.startswith(CANNOT_ANSWER), answer
        return
    assert not answer.startswith(CANNOT_ANSWER), answer
    rows = library.execute(sql, database=NAME)
    if kind == "number":
        assert _said(rows[0][0], answer), (answer, rows)
    elif kind == "rounded":
        for key, value in rows:
            assert re.search(rf"{re.escape(str(key))}\W+{value:f}(?!\d)", answer), (answer, key)
    elif kind == "each":
        for group, key in rows:
            assert re.search(rf"{re.escape(group)}: [^;]*\b{key} \(", answer), (answer, group)
        assert answer.split("):", 1)[1].count("(") == len(rows), (answer, rows)
    elif kind in ("groups", "only", "sorted"):
        if kind == "only":
            named = {k.strip() for k in re.findall(r"([\w ]+): \d", answer)}
            assert named == {str(k) for k, _ in rows}, (answer, rows)
        for key, value in rows:
            assert re.search(rf"{re.escape(str(key))}\W+{Decimal(value):f}\b", answer) \
                or (str(key) in answer and _said(value, answer)), (answer, key, value)
        if kind == "sorted":
            spots = [answer.index(f"{key}:") for key, _ in rows]
            assert spots == sorted(spots), (answer, rows)
    else:
        first = _first_only(rows)
        assert all(str(r[0]) in answer for r in first), (answer, first)
        others = {str(r[0]) for r in rows} - {str(r[0]) for r in first}
        assert not [o for o in others if re.search(rf"\b{re.escape(o)}\b", answer)], answer
