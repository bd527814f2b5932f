"""Ask a MySQL database a question in plain English.

    quorvane-ask How many customers are there?
    quorvane-ask --quiet "Which city has the most customers?"
    MYSQL_PWD=secret quorvane-ask --host db.example.org:3306 \\
        --user reader --database shop How many orders are there?

Without --host, --user and --database, a private MariaDB server is started
for the run, the sample shop is loaded into it, and the question goes to
LangChain's SQL agent through quorvane's DatabaseConnector and AgentRunner;
the server is stopped and removed at the end.  With them, the question goes
to that database instead and no server is started.  Either way the agent's
account should only be able to read: the agent runs whatever SQL its model
writes.

The answer goes to standard output.  The log of the run (the model, the
connection status, and the agent's every step: the tables it lists, the
schema it reads, the SQL it runs and what came back) goes to standard
error, coloured only on a terminal.

With OPENAI_API_KEY set the agent is driven by a chat model behind an
OpenAI-compatible API: OpenAI itself, or the server OPENAI_BASE_URL names,
with the model from OPENAI_MODEL (gpt-4o-mini by default); without it, by
the offline model of quorvane_ask, which needs no network.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import sys
import warnings
from urllib.parse import quote

DEFAULT_QUESTION = "How many customers are there?"
PASSWORD_ENV = "MYSQL_PWD"

EXIT_ANSWER = 0
EXIT_NO_ANSWER = 1   # no connection, no agent, or no server for the sample
EXIT_USAGE = 2       # argparse's own status for a usage error
EXIT_DECLINED = 3    # the offline model said it cannot answer

OWN_DATABASE_HELP = f"""\
--host, --user and --database go together; with them no private server is
started.  The password is read from the environment variable {PASSWORD_ENV},
never from the command line, where other users of the machine could see it;
with {PASSWORD_ENV} unset the account is used without a password.  Give the
agent an account that may only read, for example:
  GRANT SELECT ON shop.* TO 'reader'@'%';
"""

EPILOG = f"""\
exit status:
  {EXIT_ANSWER}  an answer was printed
  {EXIT_NO_ANSWER}  no answer: the connection failed or the agent could not be built
  {EXIT_USAGE}  usage error
  {EXIT_DECLINED}  the offline model declined the question (the answer says why)
"""

# A host name, IPv4 address or bracketed IPv6 address, with an optional
# port.  It is joined into the connection URL as it is, so anything that
# would end the host part there ('/', '@', '?', '#') is refused.
_HOST_RE = re.compile(r"(?:\[[0-9A-Fa-f:.]+\]|[^\s/@?#:\[\]]+)(?::[0-9]{1,5})?")
_ANSI_SGR_RE = re.compile(r"\x1b\[[0-9;]*m")


def _import_runtime():
    """Import quorvane, LangChain and the offline model: seconds of work,
    so a script run does it only once its arguments have been accepted."""
    global quorvane, OfflineSQLModel, CANNOT_ANSWER
    if "quorvane" in globals():
        return
    # The module imports LangChain names from their older homes, and
    # LangChain warns about each of them at import time; none of that is
    # actionable for someone asking a question.  LangChain turns its own
    # warnings back on while it is imported, so a filter set beforehand
    # would not hold: the import's warnings are recorded and dropped
    # instead, and a filter set afterwards covers the ones raised while the
    # agent runs.
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        import quorvane
        from langchain_core._api import LangChainDeprecationWarning
    warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)
    from .offline import CANNOT_ANSWER, OfflineSQLModel




def make_llm():
    """A chat model behind an OpenAI-compatible API when a key is configured,
    else the offline model.

    OPENAI_BASE_URL points the client at another server that speaks the same
    API (a local one, say); OPENAI_MODEL names the model there.
    """
    _import_runtime()
    api_key = os.environ.get("OPENAI_API_KEY")
    if not api_key:
        return OfflineSQLModel()
    from langchain_openai import ChatOpenAI

    # Empty values count as unset, as an exported-but-blank variable in a
    # shell profile would otherwise send requests to "" or ask for model "".
    return ChatOpenAI(
        api_key=api_key,
        base_url=os.environ.get("OPENAI_BASE_URL") or None,
        model=os.environ.get("OPENAI_MODEL") or "gpt-4o-mini",
        # The agent has to reproduce the ReAct format exactly; sampling only
        # makes it stray.
        temperature=0,
    )

def ask(question: str, user: str, password: str, host: str, database: str, llm=None,
        verbose: bool = True):
    """Put `question` to the database through the SQL agent; the answer or None.

    None means no answer could be had: the connection failed or the agent
    could not be built (both are printed).
    """
    _import_runtime()
    if llm is None:
        llm = make_llm()
    # The connector joins the credentials into a URL as they are, and
    # SQLAlchemy decodes %-escapes in it: escaped, a password may hold '@',
    # ':' or '/'.
    connector = quorvane.DatabaseConnector(quote(user, safe=""), quote(password, safe=""),
                                           host, quote(database, safe=""))
    status = connector.connect()
    print(f"Connection status: {status}")
    if not status["connected"]:
        return None
    db = connector.getdbinstance()
    toolkit = quorvane.SQLDatabaseToolkit(db=db, llm=llm)
    runner = quorvane.AgentRunner(llm, toolkit, verbose=verbose)
    return runner.run(question)


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    """The arguments, with the question joined into `args.question`; a usage
    error exits with EXIT_USAGE."""
    parser = argparse.ArgumentParser(
        prog="quorvane-ask", description=__doc__.split("\n\n")[0], epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("question", nargs="*",
                        help="the question; its words may be given unquoted "
                             f"(default: {DEFAULT_QUESTION!r})")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print the answer alone: no log, no 'Answer:' label")
    own = parser.add_argument_group("your own database instead of the sample",
                                    OWN_DATABASE_HELP)
    own.add_argument("--host", metavar="HOST[:PORT]", help="the MySQL server")
    own.add_argument("--user", help="the account to connect as")
    own.add_argument("--database", metavar="NAME", help="the database to ask")
    # Intermixed, so that an option may follow the words of an unquoted question.
    args = parser.parse_intermixed_args(argv)

    if not args.question:
        args.question = DEFAULT_QUESTION
    else:
        args.question = " ".join(args.question).strip()
        if not args.question:
            parser.error("the question is empty")
    own_values = (args.host, args.user, args.database)
    if any(value is not None for value in own_values):
        if not all(own_values):
            parser.error("--host, --user and --database go together, none of them empty")
        if not _HOST_RE.fullmatch(args.host):
            parser.error(f"--host: not a host name with an optional port: {args.host!r}")
    return args


class _Uncoloured:
    """A text stream that drops ANSI colour codes on the way to another."""

    def __init__(self, stream):
        self._stream = stream

    def write(self, text: str) -> int:
        self._stream.write(_ANSI_SGR_RE.sub("", text))
        return len(text)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _log_stream(quiet: bool):
    """Where the log of the run goes.

    Standard error, not standard output: what a pipe or a redirect takes
    from this script is the answer, as from any command, while the log
    still shows on the terminal.  LangChain colours its verbose log; the
    codes are only kept for a terminal, and not under NO_COLOR.
    """
    if quiet:
        return io.StringIO()
    if sys.stderr.isatty() and not os.environ.get("NO_COLOR"):
        return sys.stderr
    return _Uncoloured(sys.stderr)


def _answer(args) -> str | None:
    """Ask the question of the user's database or of the sample shop."""
    llm = make_llm()
    print(f"Model: {type(llm).__name__}")
    if args.host is not None:
        return ask(args.question, args.user, os.environ.get(PASSWORD_ENV, ""), args.host,
                   args.database, llm=llm)

    # Imported here so that importing this file for ask() needs neither.
    from .privatedb import PrivateMariaDB, PrivateMariaDBError
    from .sample_shop import load_sample

    try:
        with PrivateMariaDB() as server:
            shop = load_sample(server)
            print(f"Sample shop loaded into database {shop.name!r} on {shop.host}; "
                  f"the agent's account {shop.user!r} may only read it")
            return ask(args.question, shop.user, shop.password, shop.host, shop.name, llm=llm)
    except PrivateMariaDBError as e:
        print(f"The private MariaDB server for the sample shop failed: {e}")
        return None


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    _import_runtime()

    log = _log_stream(args.quiet)
    answer, done = None, False
    try:
        with contextlib.redirect_stdout(log):
            answer = _answer(args)
        done = answer is not None
    finally:
        # Quiet runs still say why they failed.
        if args.quiet and not done:
            sys.stderr.write(log.getvalue())
    if answer is None:
        print("No answer.", file=sys.stderr)
        return EXIT_NO_ANSWER
    print(answer if args.quiet else f"Answer: {answer}")
    return EXIT_DECLINED if answer.startswith(CANNOT_ANSWER) else EXIT_ANSWER


if __name__ == "__main__":
    sys.exit(main())
