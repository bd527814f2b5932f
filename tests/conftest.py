import os
import sys
from typing import NamedTuple

import pytest

# The checkout's quorvane_ask, not an installed copy that may be older; the
# native module still comes from the venv (the checkout's quorvane/ holds
# only its sources).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from quorvane_ask.privatedb import PrivateMariaDB  # noqa: E402

# The first imports of langchain_core and langchain re-enable LangChain's deprecation
# warnings in front of the configured filters, so the module's legacy imports
# would be reported once per session. Import it first, then the module with
# exactly those categories silenced.
import warnings  # noqa: E402

import langchain  # noqa: E402,F401

from langchain_core._api.deprecation import (  # noqa: E402
    LangChainDeprecationWarning,
    LangChainPendingDeprecationWarning,
)

with warnings.catch_warnings():
    warnings.simplefilter("ignore", LangChainDeprecationWarning)
    warnings.simplefilter("ignore", LangChainPendingDeprecationWarning)
    import quorvane  # noqa: E402,F401


class Database(NamedTuple):
    user: str
    password: str
    host: str  # "127.0.0.1:PORT"
    name: str
    server: PrivateMariaDB


SHOP_SCHEMA = """
CREATE TABLE customers (
    id INT PRIMARY KEY,
    name VARCHAR(100) NOT NULL,
    city VARCHAR(60) NOT NULL
) ENGINE=InnoDB;
CREATE TABLE orders (
    id INT PRIMARY KEY,
    customer_id INT NOT NULL,
    amount DECIMAL(10, 2) NOT NULL,
    FOREIGN KEY (customer_id) REFERENCES customers (id)
) ENGINE=InnoDB;
INSERT INTO customers VALUES
    (1, 'Alice', 'Berlin'), (2, 'Bob', 'Paris'), (3, 'Carla', 'Berlin'),
    (4, 'Dmitri', 'Vienna');
INSERT INTO orders VALUES
    (1, 1, 19.99), (2, 1, 5.00), (3, 2, 120.50), (4, 3, 42.00), (5, 4, 7.25);
"""


@pytest.fixture(scope="session")
def mariadb():
    """One private MariaDB server for the whole session."""
    server = PrivateMariaDB()
    server.start()
    yield server
    server.close()


@pytest.fixture(scope="session")
def shop_db(mariadb):
    """A small customers/orders database with its own user on the session server."""
    db = Database("quorvane", "quorvane-pw", mariadb.hostport, "quorvane_test", mariadb)
    mariadb.create_database(db.name, drop=True)
    mariadb.create_user(db.user, db.password, db.name)
    mariadb.executescript(SHOP_SCHEMA, database=db.name)
    return db
