"""Dump files as the bench loads them: split as the mysql client splits them,
made loadable by an account with rights on one database, and loaded for
an agent that may only read."""

import importlib.util
import os

import pymysql
import pytest

_PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "dumps.py")
_spec = importlib.util.spec_from_file_location("bench_dumps", _PATH)
dumps = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(dumps)


@pytest.mark.parametrize("script, into, expected", [
    # terminators inside literals, identifiers and comments do not split
    ("INSERT INTO t VALUES ('a;b', \"c;d\", 'it''s;', 'x\\';y');SELECT 1", "db",
     ["INSERT INTO t VALUES ('a;b', \"c;d\", 'it''s;', 'x\\';y')", "SELECT 1"]),
    ("SELECT `odd;name` FROM t; # note; more\nSELECT 2 -- end; here\r\r\n;", "db",
     ["SELECT `odd;name` FROM t", "SELECT 2"]),
    ("/* a; b */ SELECT 1; /*!40101 SET NAMES utf8 */;", "db", ["SELECT 1", "/*!40101 SET NAMES utf8 */"]),
    ("SELECT 5--1;", "db", ["SELECT 5--1"]),
    # a DELIMITER block keeps a body's own ';' and the statements around it
    ("SET @a = 1;\nDELIMITER ;;\nCREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW BEGIN SET NEW.d = NOW(); "
     "SET NEW.e = 1; END ;;\nDELIMITER ;\nSELECT 3;", "db",
     ["SET @a = 1", "CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW BEGIN SET NEW.d = NOW(); SET NEW.e = 1; END",
      "SELECT 3"]),
    ("DELIMITER $$\nCREATE PROCEDURE p() BEGIN SELECT ';'; END$$\nDELIMITER ;\n", "db",
     ["CREATE PROCEDURE p() BEGIN SELECT ';'; END"]),
    # the dump's schema statements go; its name as a qualifier becomes the target's
    ("DROP SCHEMA IF EXISTS `shop`; CREATE SCHEMA IF NOT EXISTS `shop` DEFAULT CHARACTER SET latin1;\nUSE `shop`;\n"
     "CREATE TABLE `shop`.`t` (a INT, FOREIGN KEY (a) REFERENCES `shop`.`u` (a));"
     "INSERT INTO shop.t VALUES ('shop.t');", "bench",
     ["CREATE TABLE `bench`.`t` (a INT, FOREIGN KEY (a) REFERENCES `bench`.`u` (a))",
      "INSERT INTO `bench`.t VALUES ('shop.t')"]),
    ("CREATE DATABASE /*!32312 IF NOT EXISTS*/`x` /*!40100 DEFAULT CHARACTER SET latin1 */;USE `x`;SELECT x.a FROM y",
     "x", ["SELECT `x`.a FROM y"]),
    # owners the loading account could not impersonate go
    ("/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`localhost`*/ /*!50003 TRIGGER t1 AFTER INSERT ON t FOR EACH ROW "
     "SET @n = 1 */;CREATE DEFINER='admin'@'%' VIEW v AS SELECT 'DEFINER=x@y' AS s", "db",
     ["/*!50003 CREATE*/ /*!50017 */ /*!50003 TRIGGER t1 AFTER INSERT ON t FOR EACH ROW SET @n = 1 */",
      "CREATE  VIEW v AS SELECT 'DEFINER=x@y' AS s"]),
])
def test_statements_for_database(script, into, expected):
    assert list(dumps.for_database(dumps.statements(script), into)) == expected


# A dump in the style of the real ones: its own schema named and used,
# CRLF lines, the session settings it needs, a view and a trigger that
# would overwrite the dump's dates if it came before the rows.
DUMP = (
    "-- a dump\r\nCREATE DATABASE IF NOT EXISTS `origin`;\r\nUSE `origin`;\r\n"
    "/*!40101 SET NAMES utf8 */;\r\n/*!40014 SET @OLD_FK=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;\r\n"
    "CREATE TABLE `origin`.`visits` (id INT PRIMARY KEY, who INT, at DATE,\r\n"
    "  FOREIGN KEY (who) REFERENCES people (id)) ENGINE=InnoDB;\r\n"
    "CREATE TABLE people (id INT PRIMARY KEY, name VARCHAR(40)) ENGINE=InnoDB;\r\n"
    "INSERT INTO visits VALUES (1, 1, '2001-02-03'), (2, 2, '2004-05-06');\r\r\n"
    "INSERT INTO people VALUES (1, 'Ann; the first -- really'), (2, 'O\u2019Neil');\r\n"
    "DELIMITER ;;\r\n/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`localhost`*/ /*!50003 TRIGGER stamp BEFORE INSERT "
    "ON visits FOR EACH ROW BEGIN\r\n  SET NEW.at = CURDATE();\r\nEND */;;\r\nDELIMITER ;\r\n"
    "CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER VIEW seen AS "
    "SELECT p.name, v.at FROM people p JOIN visits v ON v.who = p.id;\r\n"
    "/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FK */;\r\nSELECT COUNT(*) FROM people;\r\n"
)


@pytest.fixture(scope="module")
def loaded(mariadb, tmp_path_factory):
    path = tmp_path_factory.mktemp("dump") / "small.sql"
    path.write_bytes(DUMP.encode("utf-8"))
    return dumps.load_dump(mariadb, "dump_test", "dump_reader", "dump-pw", [str(path)])


@pytest.mark.parametrize("account, sql, outcome", [
    # the dates as dumped, though the trigger that would stamp them exists
    ("reader", "SELECT name, at FROM seen ORDER BY at",
     (("Ann; the first -- really", "2001-02-03"), ("O\u2019Neil", "2004-05-06"))),
    ("loader", "SELECT trigger_name, definer FROM information_schema.triggers WHERE trigger_schema = 'dump_test'",
     (("stamp", "dump_reader_loader@localhost"),)),
    ("loader", "SELECT COUNT(*) FROM information_schema.schemata WHERE schema_name = 'origin'", ((0,),)),
    ("reader", "INSERT INTO people VALUES (3, 'Eve')", 1142),
    ("reader", "DELETE FROM visits", 1142),
    ("reader", "DROP TABLE people", 1142),
    ("reader", "CREATE TABLE more (a INT)", 1142),
])
def test_dump_is_loaded_read_only(loaded, account, sql, outcome):
    user, password = (loaded.user, loaded.password) if account == "reader" else (loaded.loader, loaded.loader_password)
    conn = pymysql.connect(unix_socket=loaded.server.socket, user=user, password=password,
                           database=loaded.name, charset="utf8mb4")
    try:
        with conn.cursor() as cur:
            if isinstance(outcome, int):
                with pytest.raises(pymysql.err.OperationalError) as e:
                    cur.execute(sql)
                assert e.value.args[0] == outcome
            else:
                cur.execute(sql)
                assert tuple(tuple(str(c) if hasattr(c, "isoformat") else c for c in row)
                             for row in cur.fetchall()) == outcome
    finally:
        conn.close()
