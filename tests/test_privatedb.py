import os

import pymysql
import pytest


def test_server_is_private(mariadb):
    assert mariadb.port != 3306
    datadir, sock, port, bind = mariadb.execute(
        "SELECT @@datadir, @@socket, @@port, @@bind_address")[0]
    assert os.path.realpath(datadir) == os.path.realpath(mariadb.datadir)
    assert datadir.startswith(mariadb.basedir) and "quorvane-mariadb-" in datadir
    assert sock == mariadb.socket and os.path.exists(sock)
    assert port == mariadb.port
    assert bind == "127.0.0.1"


def _tcp_connect(db, password):
    host, port = db.host.rsplit(":", 1)
    return pymysql.connect(host=host, port=int(port), user=db.user, password=password,
                           database=db.name, connect_timeout=5)


def test_user_reads_rows_over_tcp(shop_db):
    conn = _tcp_connect(shop_db, shop_db.password)
    try:
        with conn.cursor() as cur:
            cur.execute("SELECT c.name, SUM(o.amount) FROM customers c JOIN orders o "
                        "ON o.customer_id = c.id WHERE c.city = %s GROUP BY c.name ORDER BY c.name",
                        ("Berlin",))
            rows = [(name, str(total)) for name, total in cur.fetchall()]
            cur.execute("SELECT CURRENT_USER()")
            account = cur.fetchone()[0]
    finally:
        conn.close()
    assert rows == [("Alice", "24.99"), ("Carla", "42.00")]
    assert account == "quorvane@%"


@pytest.mark.parametrize("password", ["wrong", ""])
def test_wrong_password_refused(shop_db, password):
    with pytest.raises(pymysql.err.OperationalError) as err:
        _tcp_connect(shop_db, password)
    assert err.value.args[0] == 1045


def test_user_cannot_see_other_databases(shop_db):
    shop_db.server.create_database("quorvane_other")
    conn = _tcp_connect(shop_db, shop_db.password)
    try:
        with conn.cursor() as cur:
            cur.execute("SHOW DATABASES")
            names = {r[0] for r in cur.fetchall()}
    finally:
        conn.close()
    assert shop_db.name in names
    assert "quorvane_other" not in names and "mysql" not in names
