"""Reading CREATE TABLE texts: columns and their types, the values an ENUM
or SET allows, comments, keys in each form they are declared in, and the
sample rows, from hand-written DDL and from what the SQL agent's schema tool
prints for a real catalogue on the test server."""

import pytest
from langchain_community.utilities import SQLDatabase

from quorvane_ask.offline.decline import Unmappable
from quorvane_ask.offline.observations import read_schema
from quorvane_ask.offline.schema import Schema

# Each text -> (table, its columns, their base types, primary key, foreign
# keys, unique keys) for the one table it declares last.
DDL = [
    ("CREATE TABLE Album (AlbumId INT PRIMARY KEY, Title VARCHAR(160) NOT NULL UNIQUE)",
     "Album", ["AlbumId", "Title"], ["INT", "VARCHAR"], ["AlbumId"], [], [["Title"]]),
    ("CREATE TABLE IF NOT EXISTS `Track Plays` (\n\t`Track Id` INT NOT NULL,\n\t`Played On` DATE,\n"
     "\tPRIMARY KEY (`Track Id`, `Played On`),\n\tCONSTRAINT fk_tp FOREIGN KEY(`Track Id`) "
     "REFERENCES `Track` (`Track Id`) ON DELETE CASCADE\n)ENGINE=InnoDB",
     "Track Plays", ["Track Id", "Played On"], ["INT", "DATE"], ["Track Id", "Played On"],
     [("Track Id", "Track", "Track Id")], []),
    ("CREATE TABLE Track (TrackId INT, AlbumId INT REFERENCES Album(AlbumId), "
     "Genre ENUM('Rock','Paint, (it)','O''Brien') DEFAULT 'Rock', "
     "UnitPrice DECIMAL(10, 2) COMMENT 'price, in (euro)', "
     "CONSTRAINT pk PRIMARY KEY (TrackId), UNIQUE KEY uq_name (AlbumId, Genre), KEY ix (Genre(4) DESC))",
     "Track", ["TrackId", "AlbumId", "Genre", "UnitPrice"], ["INT", "INT", "ENUM", "DECIMAL"],
     ["TrackId"], [("AlbumId", "Album", "AlbumId")], [["AlbumId", "Genre"]]),
    # A key over two columns joins by both at once: no one-column link is made of it.
    ("CREATE TABLE Line (a INT, b INT, note VARCHAR(9) COMMENT 'primary key, unique', "
     "FOREIGN KEY (a, b) REFERENCES Head (a, b))",
     "Line", ["a", "b", "note"], ["INT", "INT", "VARCHAR"], [], [], []),
]


@pytest.mark.parametrize("ddl, name, columns, types, pk, fks, unique", DDL)
def test_ddl_text_reads_into_tables(ddl, name, columns, types, pk, fks, unique):
    table = read_schema(ddl)[name]
    assert [c.name for c in table.columns] == columns
    assert [c.base for c in table.columns] == types
    assert (table.pk, table.fks, table.unique) == (pk, fks, unique)


def test_enum_values_comments_and_quoting_are_kept():
    table = read_schema(DDL[2][0])["Track"]
    genre, price = table.column("Genre"), table.column("UnitPrice")
    assert genre.values == ("Rock", "Paint, (it)", "O'Brien") and genre.text and not genre.numeric
    assert (price.type, price.comment, price.numeric) == ("DECIMAL(10, 2)", "price, in (euro)", True)


CATALOGUE = """
CREATE TABLE Artist (
    ArtistId INT PRIMARY KEY,
    Name VARCHAR(120) COMMENT 'as billed, ''stage'' name',
    Nickname VARCHAR(40),
    Kind ENUM('Solo','Band','Print') NOT NULL
) COMMENT='who records';
CREATE TABLE Record (
    RecordId INT NOT NULL,
    ArtistId INT NOT NULL,
    Formats SET('Vinyl','Compact Disc','Tape'),
    Released DATE,
    PRIMARY KEY (RecordId),
    UNIQUE KEY one_title (ArtistId, Released),
    CONSTRAINT record_artist FOREIGN KEY (ArtistId) REFERENCES Artist (ArtistId)
);
INSERT INTO Artist VALUES (1, 'Nina', NULL, 'Solo'), (2, 'The Tapes', NULL, 'Band');
INSERT INTO Record VALUES (10, 1, 'Vinyl,Compact Disc', '1971-05-01'), (11, 2, NULL, NULL);
"""


def test_schema_tool_text_matches_the_server(mariadb):
    """What the agent's schema tool prints is read as the server declares it."""
    mariadb.create_database("ddl_catalogue", drop=True)
    mariadb.create_user("ddl_ro", "ddl-ro-pw", "ddl_catalogue", privileges="SELECT")
    mariadb.executescript(CATALOGUE, database="ddl_catalogue")
    db = SQLDatabase.from_uri(f"mysql+pymysql://ddl_ro:ddl-ro-pw@{mariadb.hostport}/ddl_catalogue")
    tables = read_schema(db.get_table_info(db.get_usable_table_names()))

    def server(sql):
        return mariadb.execute(sql, database="ddl_catalogue")

    for name, type_, comment in server(
            "SELECT CONCAT(table_name, '.', column_name), column_type, column_comment "
            "FROM information_schema.columns WHERE table_schema = DATABASE()"):
        table, column = name.split(".")
        col = tables[table].column(column)
        assert col.comment == comment
        if type_.startswith(("enum", "set")):
            values = server(f"SELECT SUBSTRING(column_type, LOCATE('(', column_type)) FROM "
                            f"information_schema.columns WHERE table_schema = DATABASE() AND "
                            f"table_name = '{table}' AND column_name = '{column}'")[0][0]
            assert "(" + ",".join("'" + v.replace("'", "''") + "'" for v in col.values) + ")" == values
            assert col.text and not col.numeric
    for table, column, kind, ref_table, ref_column in server(
            "SELECT k.table_name, k.column_name, c.constraint_type, k.referenced_table_name, "
            "k.referenced_column_name FROM information_schema.key_column_usage k JOIN "
            "information_schema.table_constraints c USING (constraint_schema, table_name, "
            "constraint_name) WHERE k.table_schema = DATABASE()"):
        if kind == "PRIMARY KEY":
            assert column in tables[table].pk
        elif kind == "FOREIGN KEY":
            assert (column, ref_table, ref_column) in tables[table].fks
    assert tables["Artist"].comment == server(
        "SELECT table_comment FROM information_schema.tables WHERE table_name = 'Artist' "
        "AND table_schema = DATABASE()")[0][0]
    # The sample rows: a column NULL in all of them is known to be empty.
    count = server("SELECT COUNT(*) FROM Artist")[0][0]
    assert [r["Name"] for r in tables["Artist"].samples] == [
        r[0] for r in server("SELECT Name FROM Artist")][:count]
    assert tables["Artist"].empty == {"Nickname"}


# A rental shop whose payments reach a genre only five joins away, along
# each row's own references and out through a link table; a region they
# reach along two such chains (the copy's store, the customer's).
CHAINS = """
CREATE TABLE regions (region_id INT PRIMARY KEY, region_name VARCHAR(20));
CREATE TABLE stores (store_id INT PRIMARY KEY, region_id INT REFERENCES regions (region_id));
CREATE TABLE films (film_id INT PRIMARY KEY, title VARCHAR(40));
CREATE TABLE genres (genre_id INT PRIMARY KEY, genre_name VARCHAR(20));
CREATE TABLE film_genres (film_id INT REFERENCES films (film_id),
  genre_id INT REFERENCES genres (genre_id), PRIMARY KEY (film_id, genre_id));
CREATE TABLE copies (copy_id INT PRIMARY KEY, film_id INT REFERENCES films (film_id),
  store_id INT REFERENCES stores (store_id), shelf VARCHAR(10));
CREATE TABLE customers (customer_id INT PRIMARY KEY, store_id INT REFERENCES stores (store_id));
CREATE TABLE rentals (rental_id INT PRIMARY KEY, copy_id INT REFERENCES copies (copy_id),
  customer_id INT REFERENCES customers (customer_id), rented_by VARCHAR(20));
CREATE TABLE payments (payment_id INT PRIMARY KEY, rental_id INT REFERENCES rentals (rental_id),
  amount DECIMAL(6,2));
"""


@pytest.mark.parametrize("start, goal, through", [
    ("payments", "genres", ["rentals", "copies", "films", "film_genres", "genres"]),
    ("genres", "payments", ["film_genres", "films", "copies", "rentals", "payments"]),
    ("payments", "copies", ["rentals", "copies"]),
    ("payments", "regions", None),
])
def test_long_joins_follow_the_rows_own_references(start, goal, through):
    schema = Schema(read_schema(CHAINS), "`", True)
    if through is None:
        with pytest.raises(Unmappable, match="no chain of foreign keys"):
            schema.path(start, goal)
        return
    hops = schema.path(start, goal)
    assert [h[2] for h in hops] == through
    assert all(a[2] == b[0] for a, b in zip(hops, hops[1:]))
