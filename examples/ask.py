"""Ask the sample shop database a question in plain English.

    python examples/ask.py "How many customers are there?"

A private MariaDB server is started for the run, the sample shop is loaded
into it, and the question goes to LangChain's SQL agent through quorvane's
DatabaseConnector and AgentRunner.  The agent's verbose log shows every
step: the tables it lists, the schema it reads, the SQL it runs and what
came back.  The server is stopped and removed at the end.

With OPENAI_API_KEY set the agent is driven by OpenAI's chat model (model
from OPENAI_MODEL when set); without it, by the offline model in
offline_llm.py, which needs no network.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

# The module imports LangChain names from their older homes, and LangChain
# warns about each of them at import time; none of that is actionable for
# someone asking a question.  LangChain turns its own warnings back on while
# it is imported, so a filter set beforehand would not hold: the import's
# warnings are recorded and dropped instead, and a filter set afterwards
# covers the ones raised while the agent runs.
with warnings.catch_warnings(record=True):
    warnings.simplefilter("always")
    import quorvane  # noqa: E402
    from langchain_core._api import LangChainDeprecationWarning  # noqa: E402

warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)

from offline_llm import OfflineSQLModel  # noqa: E402

DEFAULT_QUESTION = "How many customers are there?"


def make_llm():
    """OpenAI's chat model when a key is configured, else the offline model."""
    if not os.environ.get("OPENAI_API_KEY"):
        return OfflineSQLModel()
    try:
        from langchain_openai import ChatOpenAI
    except ImportError:
        ChatOpenAI = quorvane.ChatOpenAI
    kwargs = {"temperature": 0}
    if os.environ.get("OPENAI_MODEL"):
        kwargs["model"] = os.environ["OPENAI_MODEL"]
    return ChatOpenAI(**kwargs)


def ask(question: str, user: str, password: str, host: str, database: str, llm=None,
        verbose: bool = True):
    """Put `question` to the database through the SQL agent; the answer or None.

    None means no answer could be had: the connection failed or the agent
    could not be built (both are printed).
    """
    if llm is None:
        llm = make_llm()
    connector = quorvane.DatabaseConnector(user, password, host, database)
    status = connector.connect()
    print(f"Connection status: {status}")
    if not status["connected"]:
        return None
    db = connector.getdbinstance()
    toolkit = quorvane.SQLDatabaseToolkit(db=db, llm=llm)
    runner = quorvane.AgentRunner(llm, toolkit, verbose=verbose)
    return runner.run(question)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("question", nargs="?", default=DEFAULT_QUESTION,
                        help=f"the question to ask (default: {DEFAULT_QUESTION!r})")
    args = parser.parse_args(argv)

    # Imported here so that importing this file for ask() needs neither.
    from privatedb import PrivateMariaDB
    from sample_shop import load_sample

    llm = make_llm()
    print(f"Model: {type(llm).__name__}")
    with PrivateMariaDB() as server:
        shop = load_sample(server)
        print(f"Sample shop loaded into database {shop.name!r} on {shop.host}")
        answer = ask(args.question, shop.user, shop.password, shop.host, shop.name, llm=llm)
    if answer is None:
        print("No answer.")
        return 1
    print(f"Answer: {answer}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
