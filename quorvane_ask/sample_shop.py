"""A small online-shop database for trying questions against.

The data is generated from a fixed seed, so every load gives the same rows
and an answer seen once (say, "which city has the most customers?") stays
the same the next time.

    from quorvane_ask.privatedb import PrivateMariaDB
    from quorvane_ask.sample_shop import load_sample

    with PrivateMariaDB() as server:
        shop = load_sample(server)
        print(shop.user, shop.password, shop.host, shop.name)

``shop.user`` may only read the database; the rows are loaded through a
second account, ``shop.loader``.
"""

from __future__ import annotations

import datetime as _dt
import random
import secrets
from decimal import Decimal
from typing import NamedTuple

import pymysql
from pymysql.constants import CLIENT

from .privatedb import quote_identifier

# In dependency order: each table only refers to tables before it.
SAMPLE_TABLES = ("customers", "products", "orders", "order_items")

SEED = 1234

_SCHEMA = """
CREATE TABLE customers (
    id INT PRIMARY KEY,
    name VARCHAR(100) NOT NULL,
    city VARCHAR(60) NOT NULL,
    country VARCHAR(60) NOT NULL,
    signup_date DATE NOT NULL
) ENGINE=InnoDB;

CREATE TABLE products (
    id INT PRIMARY KEY,
    name VARCHAR(100) NOT NULL,
    category VARCHAR(40) NOT NULL,
    price DECIMAL(10, 2) NOT NULL
) ENGINE=InnoDB;

CREATE TABLE orders (
    id INT PRIMARY KEY,
    customer_id INT NOT NULL,
    order_date DATE NOT NULL,
    status VARCHAR(20) NOT NULL,
    FOREIGN KEY (customer_id) REFERENCES customers (id)
) ENGINE=InnoDB;

CREATE TABLE order_items (
    order_id INT NOT NULL,
    product_id INT NOT NULL,
    quantity INT NOT NULL,
    unit_price DECIMAL(10, 2) NOT NULL,
    PRIMARY KEY (order_id, product_id),
    FOREIGN KEY (order_id) REFERENCES orders (id),
    FOREIGN KEY (product_id) REFERENCES products (id)
) ENGINE=InnoDB;
"""

_FIRST_NAMES = (
    "Anna", "Ben", "Chiara", "David", "Elena", "Farid", "Greta", "Hugo", "Ines",
    "Jonas", "Keiko", "Lars", "Maria", "Nils", "Olga", "Pedro", "Quentin", "Rosa",
    "Sven", "Tara", "Umar", "Vera", "Wim", "Yara", "Zoe",
)
_LAST_NAMES = (
    "Schmidt", "Rossi", "Dubois", "Garcia", "Novak", "Jensen", "Kowalski", "Silva",
    "Müller", "Janssen", "Berg", "Costa", "Lindqvist", "Moreau", "Horvat", "Tanaka",
)
_CITIES = (
    ("Berlin", "Germany"), ("Munich", "Germany"), ("Hamburg", "Germany"),
    ("Paris", "France"), ("Lyon", "France"), ("Madrid", "Spain"),
    ("Barcelona", "Spain"), ("Rome", "Italy"), ("Milan", "Italy"),
    ("Amsterdam", "Netherlands"), ("Vienna", "Austria"), ("Copenhagen", "Denmark"),
    ("Stockholm", "Sweden"), ("Warsaw", "Poland"), ("Lisbon", "Portugal"),
)
# category -> (product names, price range in euros)
_CATALOGUE = {
    "Books": (("Cookbook", "Travel Guide", "Crime Novel", "Atlas", "Poetry Collection"), (8, 45)),
    "Electronics": (("Headphones", "USB-C Charger", "E-Reader", "Bluetooth Speaker",
                     "Webcam", "Smartwatch"), (15, 320)),
    "Kitchen": (("Chef's Knife", "Cast Iron Pan", "Coffee Grinder", "Teapot",
                 "Cutting Board"), (12, 140)),
    "Garden": (("Watering Can", "Pruning Shears", "Seed Kit", "Garden Hose"), (6, 60)),
    "Sports": (("Yoga Mat", "Running Shoes", "Tennis Racket", "Water Bottle",
                "Cycling Helmet"), (10, 180)),
    "Toys": (("Puzzle 1000", "Wooden Train", "Board Game", "Kite", "Building Blocks"), (9, 70)),
}
_STATUSES = ("delivered",) * 6 + ("shipped",) * 2 + ("pending", "cancelled", "returned")

N_CUSTOMERS = 40
N_ORDERS = 120
_FIRST_DAY = _dt.date(2023, 1, 1)
_LAST_DAY = _dt.date(2024, 12, 31)


class SampleDatabase(NamedTuple):
    user: str
    password: str
    host: str        # "127.0.0.1:PORT"
    name: str
    server: object   # the PrivateMariaDB it lives on
    loader: str = ""            # the account that loaded the rows, with all
    loader_password: str = ""   # privileges on the database


def _money(value: float) -> Decimal:
    return Decimal(f"{value:.2f}")


def _day(rng: random.Random, first: _dt.date, last: _dt.date) -> _dt.date:
    return first + _dt.timedelta(days=rng.randint(0, (last - first).days))


def unique_name(rng: random.Random, first: tuple, last: tuple, used: set) -> str:
    """A "first last" name not in ``used``, which then holds it too."""
    while True:
        name = f"{rng.choice(first)} {rng.choice(last)}"
        if name not in used:
            used.add(name)
            return name


def generate(seed: int = SEED) -> dict[str, list[tuple]]:
    """The sample rows, table name -> list of row tuples, always the same for a seed."""
    rng = random.Random(seed)

    customers = []
    used_names = set()
    for cid in range(1, N_CUSTOMERS + 1):
        name = unique_name(rng, _FIRST_NAMES, _LAST_NAMES, used_names)
        city, country = rng.choice(_CITIES)
        customers.append((cid, name, city, country, _day(rng, _FIRST_DAY, _dt.date(2024, 6, 30))))

    products = []
    for category, (names, (low, high)) in _CATALOGUE.items():
        for name in names:
            products.append((len(products) + 1, name, category, _money(rng.uniform(low, high))))

    orders, items = [], []
    for oid in range(1, N_ORDERS + 1):
        cust = rng.choice(customers)
        # An order is never placed before its customer signed up.
        orders.append((oid, cust[0], _day(rng, cust[4], _LAST_DAY), rng.choice(_STATUSES)))
        for prod in rng.sample(products, rng.randint(1, 4)):
            # Now and then a line is sold at a discount off the list price.
            discount = rng.choice((1, 1, 1, 1, Decimal("0.9"), Decimal("0.8")))
            items.append((oid, prod[0], rng.randint(1, 5),
                          (prod[3] * discount).quantize(Decimal("0.01"))))

    return {"customers": customers, "products": products, "orders": orders, "order_items": items}


def load_database(server, database: str, user: str, password: str, schema,
                  rows: dict[str, list[tuple]]) -> SampleDatabase:
    """Create ``database`` on ``server`` afresh from ``schema`` and ``rows``
    (table -> row tuples, in insertion order); ``user`` may only read it.

    ``schema`` is a script of ';'-separated statements, or the statements
    one by one (as read from a dump, whose DELIMITER blocks and routine
    bodies the server cannot split itself); they run in order on one
    connection, so the session settings a dump makes hold to its end.

    The rows go in through a loader account with all privileges on the
    database.  The account handed back can only SELECT: an agent runs
    whatever SQL its model writes, and a DELETE or DROP from it must meet
    the server's permission error rather than change the data.
    """
    loader, loader_password = f"{user}_loader", secrets.token_urlsafe(16)
    server.create_database(database, drop=True)
    server.create_user(loader, loader_password, database)
    server.create_user(user, password, database, privileges="SELECT")
    conn = pymysql.connect(unix_socket=server.socket, user=loader, password=loader_password,
                           database=database, charset="utf8mb4",
                           client_flag=CLIENT.MULTI_STATEMENTS)
    try:
        with conn.cursor() as cur:
            for statement in [schema] if isinstance(schema, str) else schema:
                cur.execute(statement)
                # Every result is read, so that a later statement's error
                # is raised here rather than lost.
                while cur.nextset():
                    pass
            for table, table_rows in rows.items():
                marks = ", ".join(["%s"] * len(table_rows[0]))
                cur.executemany(f"INSERT INTO {quote_identifier(table)} VALUES ({marks})", table_rows)
        conn.commit()
    finally:
        conn.close()
    return SampleDatabase(user, password, server.hostport, database, server,
                          loader, loader_password)


def load_sample(server, database: str = "shop", user: str = "shop", password: str = "shop-pw",
                seed: int = SEED) -> SampleDatabase:
    """Create the sample shop as ``database`` on ``server``; ``user`` may only read it."""
    rows = generate(seed)
    return load_database(server, database, user, password, _SCHEMA,
                         {table: rows[table] for table in SAMPLE_TABLES})
