"""The offline model on a schema written in another style than the bench's:
a PascalCase music catalogue, with first and last names, a link table, a
label column that holds nothing, and durations kept in milliseconds.

Each table is one mechanism; the expected figure is read from the server
with SQL next to the question, and a decline must say why.
"""

import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly

from quorvane_ask.offline import CANNOT_ANSWER

SCHEMA = """
CREATE TABLE RecordLabels (
    RecordLabelId INT PRIMARY KEY,
    Company VARCHAR(60) NOT NULL,
    LabelName VARCHAR(60)
);
CREATE TABLE Artists (
    ArtistId INT PRIMARY KEY,
    FirstName VARCHAR(40) NOT NULL,
    LastName VARCHAR(40) NOT NULL,
    BirthDate DATE
);
CREATE TABLE Albums (
    AlbumId INT PRIMARY KEY,
    Title VARCHAR(80) NOT NULL,
    ArtistId INT NOT NULL,
    RecordLabelId INT NOT NULL,
    ReissueRecordLabelId INT,
    FOREIGN KEY (ArtistId) REFERENCES Artists (ArtistId),
    FOREIGN KEY (RecordLabelId) REFERENCES RecordLabels (RecordLabelId),
    FOREIGN KEY (ReissueRecordLabelId) REFERENCES RecordLabels (RecordLabelId)
);
CREATE TABLE Songs (
    SongId INT PRIMARY KEY,
    SongTitle VARCHAR(80) NOT NULL,
    AlbumId INT NOT NULL,
    Milliseconds INT NOT NULL,
    ItemPrice DECIMAL(6, 2) NOT NULL,
    PlayLength INT NOT NULL,
    FOREIGN KEY (AlbumId) REFERENCES Albums (AlbumId)
);
CREATE TABLE Playlists (
    PlaylistId INT PRIMARY KEY,
    PlaylistName VARCHAR(60) NOT NULL
);
CREATE TABLE PlaylistSongs (
    PlaylistId INT NOT NULL,
    SongId INT NOT NULL,
    PRIMARY KEY (PlaylistId, SongId),
    FOREIGN KEY (PlaylistId) REFERENCES Playlists (PlaylistId),
    FOREIGN KEY (SongId) REFERENCES Songs (SongId)
);
CREATE TABLE Statements (
    StatementId INT PRIMARY KEY,
    RecordLabelId INT NOT NULL,
    Country VARCHAR(20) NOT NULL,
    Total DECIMAL(8, 2) NOT NULL,
    FOREIGN KEY (RecordLabelId) REFERENCES RecordLabels (RecordLabelId)
);
INSERT INTO RecordLabels VALUES (1, 'Harbour Sound', NULL), (2, 'Lantern Works', NULL),
    (3, 'Quarry Tapes', NULL);
INSERT INTO Artists VALUES (1, 'Gerard', 'Hernandez', '1971-04-02'),
    (2, 'Martin', 'Gerard', '1980-09-12'), (3, 'Nina', 'Ostrow', '1990-01-30'),
    (4, 'Gerard', 'Vale', '1965-06-06');
INSERT INTO Albums VALUES (1, 'Low Tide', 1, 1, 2), (2, 'Salt Roads', 1, 2, 1), (3, 'Kiln', 2, 2, 1),
    (4, 'Paper Moons', 3, 3, 1), (5, 'Glass Year', 3, 1, NULL), (6, 'Slow Rivers', 3, 1, NULL),
    (7, 'Old Piers', 4, 3, 1);
INSERT INTO Songs VALUES
    (1, 'Ebb', 1, 185000, 0.99, 3), (2, 'Flood', 1, 412000, 1.29, 7),
    (3, 'Brine', 2, 299000, 0.99, 5), (4, 'Ash', 3, 61000, 0.79, 1),
    (5, 'Ember', 3, 505000, 1.49, 8), (6, 'Crescent', 4, 240000, 0.99, 4),
    (7, 'Prism', 5, 330000, 1.29, 6), (8, 'Delta', 6, 150000, 0.99, 3),
    (9, 'Jetty', 7, 720000, 1.99, 12), (10, 'Low Tide', 2, 201000, 1.09, 3),
    (11, 'Out of the Blue', 4, 198000, 1.09, 3);
INSERT INTO Statements VALUES (1, 1, 'Peru', 40.00), (2, 1, 'USA', 10.00), (3, 2, 'Peru', 25.00),
    (4, 3, 'USA', 70.00), (5, 3, 'USA', 30.00);
INSERT INTO Playlists VALUES (1, 'Road Trip'), (2, 'Late Night');
INSERT INTO PlaylistSongs VALUES (1, 1), (1, 2), (1, 5), (1, 9), (2, 3), (2, 4), (2, 9);
"""


@pytest.fixture(scope="module")
def music(mariadb):
    load_readonly(mariadb, "names_music", "names_ro", "names-ro-pw", SCHEMA)
    return mariadb, "names_music"


def ask(music, question):
    server, name = music
    return ask_offline(server, name, "names_ro", "names-ro-pw", question)


def expect(music, question, sql):
    server, name = music
    answer = ask(music, question)
    assert not answer.startswith(CANNOT_ANSWER), answer
    for (cell,) in server.execute(sql, database=name):
        if isinstance(cell, (int, Decimal)):
            assert Decimal(cell) in [Decimal(n) for n in re.findall(r"\d+(?:\.\d+)?", answer)], \
                (answer, cell)
        else:
            assert str(cell) in answer, (answer, cell)
    return answer


# Names as schemas write them: PascalCase words, the thesaurus (songs of a
# table of songs asked as tracks), a request verb and presentation phrases.
@pytest.mark.parametrize("question, sql", [
    ("Determine the number of songs.", "SELECT COUNT(*) FROM Songs"),
    ("How many songs have an item price above 1?", "SELECT COUNT(*) FROM Songs WHERE ItemPrice > 1"),
    ("Retrieve the 2 cheapest songs.",
     "SELECT SongTitle FROM Songs ORDER BY ItemPrice, SongId LIMIT 2"),
    ("What is the average item price of the songs, rounded to 2 decimal places?",
     "SELECT ROUND(AVG(ItemPrice), 2) FROM Songs"),
    ("List the top 3 songs by item price in descending order.",
     "SELECT SongTitle FROM Songs ORDER BY ItemPrice DESC LIMIT 3"),
])
def test_names(music, question, sql):
    expect(music, question, sql)


# People by their names: both, the last alone, a value that is both a first
# and a last name settled by the pair; a link table walked many to many.
@pytest.mark.parametrize("question, sql", [
    ("How many albums has Gerard Hernandez made?",
     "SELECT COUNT(*) FROM Albums a JOIN Artists r ON r.ArtistId = a.ArtistId "
     "WHERE r.FirstName = 'Gerard' AND r.LastName = 'Hernandez'"),
    ("How many albums has Ostrow made?",
     "SELECT COUNT(*) FROM Albums a JOIN Artists r ON r.ArtistId = a.ArtistId "
     "WHERE r.LastName = 'Ostrow'"),
    ("How many albums has Nina made?",
     "SELECT COUNT(*) FROM Albums a JOIN Artists r ON r.ArtistId = a.ArtistId "
     "WHERE r.FirstName = 'Nina'"),
    ("How many songs are on the playlist Road Trip?",
     "SELECT COUNT(*) FROM PlaylistSongs p JOIN Playlists l ON l.PlaylistId = p.PlaylistId "
     "WHERE l.PlaylistName = 'Road Trip'"),
    # A name of a song and of an album: the table named before it says which;
    # a title is looked up over its small words.
    # A plain word of the data before the noun: the row each one points at.
    ("How many songs are on harbour sound albums?",
     "SELECT COUNT(*) FROM Songs s JOIN Albums a ON a.AlbumId = s.AlbumId "
     "JOIN RecordLabels l ON l.RecordLabelId = a.RecordLabelId WHERE l.Company = 'Harbour Sound'"),
    ("How many songs are on the album Low Tide?",
     "SELECT COUNT(*) FROM Songs s JOIN Albums a ON a.AlbumId = s.AlbumId WHERE a.Title = 'Low Tide'"),
    ("Which album has the song Out of the Blue?",
     "SELECT a.Title FROM Albums a JOIN Songs s ON s.AlbumId = a.AlbumId "
     "WHERE s.SongTitle = 'Out of the Blue'"),
    ("Which artist has the most albums?",
     "SELECT CONCAT(FirstName, ' ', LastName) FROM Artists r JOIN Albums a "
     "ON a.ArtistId = r.ArtistId GROUP BY r.ArtistId ORDER BY COUNT(*) DESC LIMIT 1"),
])
def test_people_and_links(music, question, sql):
    expect(music, question, sql)


# The label of a row: a name column empty in every row does not name it.
@pytest.mark.parametrize("question, sql", [
    ("Which record label has the most albums?",
     "SELECT l.Company FROM RecordLabels l JOIN Albums a ON a.RecordLabelId = l.RecordLabelId "
     "GROUP BY l.RecordLabelId ORDER BY COUNT(*) DESC LIMIT 1"),
])
def test_label_column(music, question, sql):
    answer = expect(music, question, sql)
    assert "None" not in answer


# Everyday words: lengths of time in the question's unit, converted to the
# column's, or declined where the column's name gives no unit.
@pytest.mark.parametrize("question, sql", [
    ("How many songs are longer than 5 minutes?",
     "SELECT COUNT(*) FROM Songs WHERE Milliseconds > 300000"),
    ("How many songs are shorter than 200 seconds?",
     "SELECT COUNT(*) FROM Songs WHERE Milliseconds < 200000"),
    ("How many songs have milliseconds over 400000?",
     "SELECT COUNT(*) FROM Songs WHERE Milliseconds > 400000"),
    ("What is the average Milliseconds of the songs per album in minutes?",
     "SELECT ROUND(AVG(Milliseconds) / 60000, 4) FROM Songs GROUP BY AlbumId"),
    ("How long is the song Ember?", "SELECT Milliseconds FROM Songs WHERE SongTitle = 'Ember'"),
    ("What is the average Milliseconds of the songs in minutes?",
     "SELECT ROUND(AVG(Milliseconds) / 60000, 4) FROM Songs"),
])
def test_durations(music, question, sql):
    answer = expect(music, question, sql)
    assert "Milliseconds" in answer and "E+" not in answer, answer


# Words of everyday English: a plain key beside a role key to the same
# table is the one a plain question means; "April of 1971" is a month.
@pytest.mark.parametrize("question, sql", [
    ("How many albums are on Harbour Sound?",
     "SELECT COUNT(*) FROM Albums a JOIN RecordLabels l ON l.RecordLabelId = a.RecordLabelId "
     "WHERE l.Company = 'Harbour Sound'"),
    # A table's own total, named right after the table, is its column.
    ("What is the average statement total by country?",
     "SELECT AVG(Total) FROM Statements GROUP BY Country"),
    ("What was the highest statement total?", "SELECT MAX(Total) FROM Statements"),
    ("What is the average statement total per record label?",
     "SELECT AVG(Total) FROM Statements GROUP BY RecordLabelId"),
    ("How many statements have a total over 35?", "SELECT COUNT(*) FROM Statements WHERE Total > 35"),
    # Requests for a query, "# of", "total number of" as a count, a
    # country by another of its names.
    ("Provide a query that shows the # of albums per record label.",
     "SELECT COUNT(*) FROM Albums GROUP BY RecordLabelId"),
    ("Write a query to list the total number of songs on each playlist.",
     "SELECT COUNT(*) FROM PlaylistSongs GROUP BY PlaylistId"),
    ("How many statements are from the United States?",
     "SELECT COUNT(*) FROM Statements WHERE Country = 'USA'"),
    # "first" closing the question is an order, not part of FirstName.
    ("Which artist was born first?",
     "SELECT CONCAT(FirstName, ' ', LastName) FROM Artists ORDER BY BirthDate LIMIT 1"),
    ("How many artists were born in April of 1971?",
     "SELECT COUNT(*) FROM Artists WHERE BirthDate BETWEEN '1971-04-01' AND '1971-04-30'"),
])
def test_everyday_words(music, question, sql):
    expect(music, question, sql)


@pytest.mark.parametrize("question, why", [
    ("How many songs have a play length of more than 5 minutes?", "unit of time"),
    ("What is the average play length in hours?", "unit of time"),
    ("How many albums are in the Road Trip and Late Night playlists?", ""),
    ("Which statements are not in the us?", "negation"),
    ("How many songs are on Low Tide?", "the album Low Tide"),
])
def test_declines(music, question, why):
    answer = ask(music, question)
    assert answer.startswith(CANNOT_ANSWER), answer
    assert why in answer
