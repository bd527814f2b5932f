"""Declines that help: the words tied to nothing are named in the right
number, and a near spelling of a name in the schema is suggested only
where the question so spelled would be read through; on a camelCase lending
library, end to end through the SQL agent."""

import pytest
from langchain_community.agent_toolkits import SQLDatabaseToolkit
from langchain_community.utilities import SQLDatabase

from quorvane import AgentRunner
from quorvane_ask.offline import CANNOT_ANSWER, OfflineSQLModel

LIBRARY = """
CREATE TABLE members (memberId INT PRIMARY KEY, fullName VARCHAR(80) NOT NULL,
    tier ENUM('basic','patron') NOT NULL);
CREATE TABLE loans (loanId INT PRIMARY KEY, memberId INT NOT NULL, lentOn DATE NOT NULL,
    FOREIGN KEY (memberId) REFERENCES members (memberId));
INSERT INTO members VALUES (1, 'Ines Ito', 'basic'), (2, 'Omar Ode', 'patron');
INSERT INTO loans VALUES (1, 1, '2025-01-02'), (2, 2, '2025-02-03'), (3, 2, '2025-03-04');
"""


@pytest.fixture(scope="module")
def library(mariadb):
    mariadb.create_database("decline_library", drop=True)
    mariadb.create_user("decline_ro", "decline-ro-pw", "decline_library", privileges="SELECT")
    mariadb.executescript(LIBRARY, database="decline_library")
    db = SQLDatabase.from_uri(f"mysql+pymysql://decline_ro:decline-ro-pw@{mariadb.hostport}/decline_library")
    return mariadb, db


# question -> the words named, how they are spoken of, the suggestion (or none)
CASES = [
    ("How many wombats are there?", "'wombats' refers to: it is", None),
    ("How many wombats and gerbils are there?", "'wombats', 'gerbils' refer to: they are", None),
    ("How many memebers are there?", "'memebers' refers to: it is", "did you mean 'members' for 'memebers'?"),
]


@pytest.mark.parametrize("question, named, suggestion", CASES)
def test_decline_names_the_words_and_suggests_what_would_be_read(library, question, named, suggestion):
    server, db = library
    llm = OfflineSQLModel()
    answer = AgentRunner(llm, SQLDatabaseToolkit(db=db, llm=llm), verbose=False).run(question)
    assert answer.startswith(CANNOT_ANSWER) and "\n" not in answer
    assert named in answer
    tables = [r[0] for r in server.execute(
        "SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE() "
        "ORDER BY table_name", database="decline_library")]
    assert "(tables: " + ", ".join(tables) + ")" in answer
    assert (suggestion in answer) if suggestion else ("did you mean" not in answer)
    if suggestion:
        # The suggested spelling is answered, with what the server counts.
        fixed = AgentRunner(llm, SQLDatabaseToolkit(db=db, llm=llm), verbose=False).run(
            question.replace("memebers", "members"))
        count = server.execute("SELECT COUNT(*) FROM members", database="decline_library")[0][0]
        assert str(count) in fixed and not fixed.startswith(CANNOT_ANSWER)
