"""Roles named by foreign keys, on a PascalCase support desk: agents with a
key to their own manager, tickets with two keys to the agents (the one it
is assigned to, the one who reviews it), clients with a support rep, and
offices that keep a city as the clients do.  The expected rows are read from
the server with SQL next to each question."""

import re
from decimal import Decimal

import pytest

from _helpers import ask_offline, load_readonly

from quorvane_ask.offline import CANNOT_ANSWER

SCHEMA = """
CREATE TABLE Offices (OfficeId INT PRIMARY KEY, City VARCHAR(40) NOT NULL);
CREATE TABLE Agents (
    AgentId INT PRIMARY KEY,
    FirstName VARCHAR(40) NOT NULL,
    LastName VARCHAR(40) NOT NULL,
    Title VARCHAR(40) NOT NULL,
    OfficeId INT NOT NULL,
    ManagerId INT,
    FOREIGN KEY (OfficeId) REFERENCES Offices (OfficeId),
    FOREIGN KEY (ManagerId) REFERENCES Agents (AgentId)
);
CREATE TABLE Tickets (
    TicketId INT PRIMARY KEY,
    Subject VARCHAR(80) NOT NULL,
    AssignedAgentId INT NOT NULL,
    ReviewerAgentId INT,
    FOREIGN KEY (AssignedAgentId) REFERENCES Agents (AgentId),
    FOREIGN KEY (ReviewerAgentId) REFERENCES Agents (AgentId)
);
CREATE TABLE Clients (
    ClientId INT PRIMARY KEY,
    CompanyName VARCHAR(40) NOT NULL,
    City VARCHAR(40) NOT NULL,
    SupportRepId INT,
    FOREIGN KEY (SupportRepId) REFERENCES Agents (AgentId)
);
INSERT INTO Offices VALUES (1, 'Leeds'), (2, 'York');
INSERT INTO Agents VALUES (1, 'Dana', 'Reyes', 'Head of Support', 1, NULL),
    (2, 'Sam', 'Okafor', 'Support Rep', 2, 1), (3, 'Lee', 'Marsh', 'Support Rep', 1, 1),
    (4, 'Ivo', 'Brandt', 'Support Rep', 2, 2), (5, 'Ruth', 'Oyelaran', 'Trainee', 2, 2);
INSERT INTO Tickets VALUES (1, 'Printer Jam', 4, 2), (2, 'Lost Password', 5, 2),
    (3, 'Slow Laptop', 4, 3), (4, 'Broken Badge', 3, 1), (5, 'Dead Monitor', 2, NULL);
INSERT INTO Clients VALUES (1, 'Acme Ltd.', 'York', 4), (2, 'Brill Co', 'Leeds', NULL),
    (3, 'Corvid plc', 'York', 2), (4, 'Dunmore Inc.', 'Leeds', NULL), (5, 'Elm Works', 'York', 4);
"""

NAME = "CONCAT(a.FirstName, ' ', a.LastName)"


@pytest.fixture(scope="module")
def desk(mariadb):
    load_readonly(mariadb, "roles_desk", "roles_ro", "roles-ro-pw", SCHEMA)
    return mariadb, "roles_desk"


def ask(desk, question):
    server, name = desk
    return ask_offline(server, name, "roles_ro", "roles-ro-pw", question)


# Each question -> the SQL whose every cell the answer must state; `absent`:
# names of rows that must not be in it (the row asked about is no answer).
@pytest.mark.parametrize("question, sql, absent", [
    ("Who reports to Dana Reyes?",
     "SELECT " + NAME + " FROM Agents a JOIN Agents m ON m.AgentId = a.ManagerId "
     "WHERE m.FirstName = 'Dana' AND m.LastName = 'Reyes'", ["Ivo", "Ruth"]),
    ("Who is Ivo Brandt's manager?",
     "SELECT " + NAME + " FROM Agents a JOIN Agents r ON r.ManagerId = a.AgentId "
     "WHERE r.FirstName = 'Ivo' AND r.LastName = 'Brandt'", ["Dana", "Lee"]),
    # A verb of the key to itself points by where the row named stands.
    ("Who does Ivo Brandt report to?",
     "SELECT " + NAME + " FROM Agents a JOIN Agents r ON r.ManagerId = a.AgentId "
     "WHERE r.FirstName = 'Ivo'", ["Ruth", "Dana"]),
    ("Who manages Lee Marsh?", "SELECT 'Dana Reyes'", ["Sam"]),
    ("Whom does Sam Okafor manage?",
     "SELECT " + NAME + " FROM Agents a WHERE a.ManagerId = 2", ["Dana"]),
    ("How many agents report to Sam Okafor?",
     "SELECT COUNT(*) FROM Agents a JOIN Agents m ON m.AgentId = a.ManagerId "
     "WHERE m.FirstName = 'Sam'", []),
    ("Who is the reviewer of the ticket Printer Jam?",
     "SELECT " + NAME + " FROM Tickets t JOIN Agents a ON a.AgentId = t.ReviewerAgentId "
     "WHERE t.Subject = 'Printer Jam'", ["Ivo", "Dana"]),
    ("How many tickets has each reviewer?",
     "SELECT " + NAME + ", COUNT(*) FROM Tickets t JOIN Agents a ON a.AgentId = t.ReviewerAgentId "
     "GROUP BY a.AgentId", ["Ivo", "Ruth"]),
    # A role whose words are also a value of the referenced rows (a title
    # "Support Rep") is the role where the question names a row holding
    # the key; on its own it is the value.
    ("Who is the support rep of Acme Ltd.?",
     "SELECT " + NAME + " FROM Clients c JOIN Agents a ON a.AgentId = c.SupportRepId "
     "WHERE c.CompanyName = 'Acme Ltd.'", ["Sam", "Lee"]),
    ("How many agents are support reps?", "SELECT COUNT(*) FROM Agents WHERE Title = 'Support Rep'", []),
    # An empty role key, in the role's words.
    ("How many clients have no support rep?", "SELECT COUNT(*) FROM Clients WHERE SupportRepId IS NULL",
     []),
    ("Who reports to no one?", "SELECT " + NAME + " FROM Agents a WHERE a.ManagerId IS NULL",
     ["Sam", "Lee"]),
    # Each row with the row its role key points at.
    ("Report the support rep for each client.",
     "SELECT c.CompanyName, " + NAME + " FROM Clients c JOIN Agents a ON a.AgentId = c.SupportRepId", []),
    ("List the agents with their managers.",
     "SELECT " + NAME + ", CONCAT(m.FirstName, ' ', m.LastName) FROM Agents a "
     "JOIN Agents m ON m.AgentId = a.ManagerId", []),
    # A value in the place of the noun names the rows holding it.
    ("Which trainee is in York?",
     "SELECT " + NAME + " FROM Agents a JOIN Offices o ON o.OfficeId = a.OfficeId "
     "WHERE a.Title = 'Trainee' AND o.City = 'York'", ["Sam", "Ivo"]),
    # Offices and clients both keep a city: the agents' own is their office's.
    ("How many agents are in Leeds?",
     "SELECT COUNT(*) FROM Agents a JOIN Offices o ON o.OfficeId = a.OfficeId WHERE o.City = 'Leeds'",
     []),
])
def test_roles(desk, question, sql, absent):
    server, name = desk
    answer = ask(desk, question)
    assert not answer.startswith(CANNOT_ANSWER), answer
    stated = [Decimal(n) for n in re.findall(r"\d+", answer)]
    for row in server.execute(sql, database=name):
        for cell in row:
            assert (Decimal(cell) in stated) if isinstance(cell, int) else str(cell) in answer, \
                (answer, cell)
    assert not [n for n in absent if n in answer], answer


# Two keys to one table that the question does not tell apart, and a role
# asked about in a shape the model does not read, are declined.
@pytest.mark.parametrize("question", [
    "Which agent has ticket Printer Jam?",
    "How many tickets has Ivo Brandt's manager reviewed?",
])
def test_role_declines(desk, question):
    answer = ask(desk, question)
    assert answer.startswith(CANNOT_ANSWER), answer
