"""Ask a MySQL database questions in plain English.

    quorvane-ask How many customers are there?
    quorvane-ask --quiet "Which city has the most customers?"
    quorvane-ask                          (on a terminal: one question after another)
    quorvane-ask -q < questions.txt       (one question a line, one answer a line)
    MYSQL_PWD=secret quorvane-ask --host db.example.org:3306 \\
        --user reader --database shop How many orders are there?

Without --host, --user and --database the questions go to the sample shop:
the kept sample server when one runs (--sample-server start), else a private
MariaDB server started for the run, with the shop loaded into it and removed
at the end.  With them, they go to that database instead.  Either way the
agent's account should only be able to read: the agent runs whatever SQL its
model writes.

With no question and standard input a terminal (or with -i), the command
asks for question after question, with line editing and a history kept in
$XDG_STATE_HOME/quorvane-ask/history (~/.local/state/quorvane-ask/history
without it), over one connection and one agent; an empty line, Ctrl-D or
Ctrl-C ends it.  With no question and standard input a pipe or a file, it
answers one question a line (blank lines are skipped), each answer on one
line of standard output; from /dev/null it asks the default question.

The answers go to standard output.  The log of the run (the model, the
connection, and the agent's every step: the tables it lists, the schema it
reads, the SQL it runs and what came back) goes to standard error, coloured
only on a terminal.  A failure is one line on standard error.

With OPENAI_API_KEY set the agent is driven by a chat model behind an
OpenAI-compatible API: OpenAI itself, or the server OPENAI_BASE_URL names,
with the model from OPENAI_MODEL (gpt-4o-mini by default); without it, by
the offline model of quorvane_ask, which needs no network.
"""

from __future__ import annotations

import argparse
import ast
import contextlib
import os
import re
import shutil
import signal
import stat
import sys
import threading
import traceback
import warnings
from typing import Any, Iterable, Iterator, NamedTuple, TextIO
from urllib.parse import quote

from . import keeper

DEFAULT_QUESTION = "How many customers are there?"
PASSWORD_ENV = "MYSQL_PWD"
PROMPT = "quorvane-ask> "
CONNECT_TIMEOUT = 10   # seconds, the database's and the model client's
READ_TIMEOUT = 60
HISTORY_LENGTH = 1000
# Longer than any question a person types, and refused before any work: a
# pasted document is not a question, and the reader's time grows with it.
MAX_QUESTION = 2000  # characters

EXIT_ANSWER = 0
EXIT_NO_ANSWER = 1     # no connection, no agent, or no server for the sample
EXIT_USAGE = 2         # argparse's own status for a usage error
EXIT_DECLINED = 3      # the offline model said it cannot answer
EXIT_MODEL = 4         # the model or its endpoint failed
EXIT_INTERRUPTED = 130  # Ctrl-C, as a shell reports a SIGINT
EXIT_TERMINATED = 143  # SIGTERM, likewise

OWN_DATABASE_HELP = f"""\
--host, --user and --database go together; with them no server is started.
The password is read from the environment variable {PASSWORD_ENV}, never
from the command line, where other users of the machine could see it; with
{PASSWORD_ENV} unset the account is used without a password.  Give the agent
an account that may only read, for example:
  GRANT SELECT ON shop.* TO 'reader'@'%';
"""

SAMPLE_SERVER_HELP = """\
start keeps the sample shop running on a private MariaDB server and prints
its host, port, database, read-only account, password and the mysql command
line to reach it; status tells whether it runs and answers (exit 0) or not
(exit 1); stop ends it and deletes its files.  While it runs, questions
about the sample go to it, with no server start of their own.
"""

EPILOG = f"""\
exit status:
  {EXIT_ANSWER}    every question was answered
  {EXIT_NO_ANSWER}    no answer: the connection failed, the agent could not be built, or
       there is no server for the sample
  {EXIT_USAGE}    usage error
  {EXIT_DECLINED}    the offline model declined a question (the answer says why)
  {EXIT_MODEL}    the model or its endpoint failed (the client's message is printed)
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
  {EXIT_TERMINATED}  terminated (SIGTERM), once the sample's private server is removed
With several questions, the status is that of the last failure, else {EXIT_DECLINED} if one
was declined.  --verbose adds the traceback to a failure's line.
"""

# A host name, IPv4 address or bracketed IPv6 address, with an optional
# port.  It is joined into the connection URL as it is, so anything that
# would end the host part there ('/', '@', '?', '#') is refused.
_HOST_RE = re.compile(r"(?:\[[0-9A-Fa-f:.]+\]|[^\s/@?#:\[\]]+)(?::[0-9]{1,5})?")
_ANSI_SGR_RE = re.compile(r"\x1b\[[0-9;]*m")
# SQLAlchemy's wrapping of a driver error: "(pymysql.err.X) ..." in front,
# its documentation link behind.
_WRAPPER_RE = re.compile(r"^\([\w.]+\)\s*")
_BACKGROUND_RE = re.compile(r"\s*\(Background on this error at: [^)]*\)\s*$")


class Failure(Exception):
    """What the command reports in one line, with the exit status it ends with."""

    def __init__(self, message: str, status: int = EXIT_NO_ANSWER):
        super().__init__(message)
        self.status = status


class _Terminated(BaseException):
    """SIGTERM: unwinds like Ctrl-C, so that a private server is not left running."""


def _on_sigterm(signum: int, frame: object) -> None:
    raise _Terminated


class Target(NamedTuple):
    user: str
    password: str
    host: str        # "HOST[:PORT]"
    database: str


def _import_runtime() -> None:
    """Import quorvane, LangChain and the offline model: seconds of work,
    so a script run does it only once its arguments have been accepted."""
    global quorvane, SQLDatabase, OfflineSQLModel, CANNOT_ANSWER
    if "quorvane" in globals():
        return
    # The module imports LangChain names from their older homes, and
    # LangChain warns about each of them at import time; none of that is
    # actionable for someone asking a question.  LangChain turns its own
    # warnings back on while it is imported, so a filter set beforehand
    # would not hold: the import's warnings are recorded and dropped
    # instead, and a filter set afterwards covers the ones raised while the
    # agent runs (Chain.run's deprecation among them, which points at a
    # line of the module the user cannot change).
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        import quorvane
        from langchain_community.utilities.sql_database import SQLDatabase
        from langchain_core._api import LangChainDeprecationWarning
        from langchain_core._api.deprecation import LangChainPendingDeprecationWarning
    warnings.filterwarnings("ignore", category=LangChainDeprecationWarning)
    warnings.filterwarnings("ignore", category=LangChainPendingDeprecationWarning)
    from .offline import CANNOT_ANSWER, OfflineSQLModel


def make_llm(connect_timeout: float = CONNECT_TIMEOUT, read_timeout: float = READ_TIMEOUT):
    """A chat model behind an OpenAI-compatible API when a key is configured,
    else the offline model.

    OPENAI_BASE_URL points the client at another server that speaks the same
    API (a local one, say); OPENAI_MODEL names the model there.
    """
    _import_runtime()
    api_key = os.environ.get("OPENAI_API_KEY")
    if not api_key:
        return OfflineSQLModel()
    import httpx
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
        # Without it the client waits ten minutes for a reply that may never
        # come; each of its retries gets the same bounds.
        timeout=httpx.Timeout(read_timeout, connect=connect_timeout),
    )


def driver_message(text: object) -> str:
    """The driver's code and text from the message of a failed connect():
    "(1045) Access denied for user ...", on one line."""
    text = _BACKGROUND_RE.sub("", str(text or "unknown error"))
    text = _WRAPPER_RE.sub("", text.strip(), count=1)
    try:
        value = ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        value = None
    # PyMySQL's errors are the tuple (code, text).
    if (isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], int)
            and isinstance(value[1], str)):
        text = f"({value[0]}) {value[1]}"
    return " ".join(text.split())


def error_message(exc: BaseException) -> str:
    """An error and the one at the root of its chain, on one line.

    The clients wrap the error that says what happened ("Connection
    refused") in one that says where ("Connection error."); the links in
    between add nothing.
    """
    def text(e: BaseException) -> str:
        return " ".join(str(e).split()).rstrip(".") or type(e).__name__

    root, seen = exc, {id(exc)}
    while True:
        nxt = root.__cause__ or (None if root.__suppress_context__ else root.__context__)
        if nxt is None or id(nxt) in seen:
            break
        seen.add(id(nxt))
        root = nxt
    first, last = text(exc), text(root)
    return first if root is exc or last in first else f"{first}: {last}"


def connect_agent(target: Target, llm, verbose: bool = True,
                  connect_timeout: int = CONNECT_TIMEOUT, read_timeout: int = READ_TIMEOUT):
    """The agent over `target`'s database, or Failure."""
    _import_runtime()
    # The connector joins the credentials into a URL as they are, and
    # SQLAlchemy decodes %-escapes in it: escaped, a password may hold '@',
    # ':' or '/'.  The timeouts ride in the URL's query string, which
    # SQLAlchemy hands to PyMySQL's connect().
    name = (f"{quote(target.database, safe='')}?connect_timeout={connect_timeout}"
            f"&read_timeout={read_timeout}")
    connector = quorvane.DatabaseConnector(quote(target.user, safe=""),
                                           quote(target.password, safe=""), target.host, name)
    status = connector.connect()
    if not status["connected"]:
        raise Failure(f"cannot connect to {target.database!r} on {target.host}: "
                      f"{driver_message(status['message'])}")
    db = connector.getdbinstance()
    if not isinstance(db, SQLDatabase):
        raise Failure(f"cannot connect to {target.database!r} on {target.host}: "
                      f"{driver_message(connector.connection_status['message'])}")
    print(f"Connection status: {status}")
    toolkit = quorvane.SQLDatabaseToolkit(db=db, llm=llm)
    runner = quorvane.AgentRunner(llm, toolkit, verbose=verbose)
    if runner.agent_runner is None:
        raise Failure(f"the agent could not be built: {error_message(runner.error)}")
    return runner


def ask(question: str, user: str, password: str, host: str, database: str, llm=None,
        verbose: bool = True):
    """Put `question` to the database through the SQL agent; the answer or None.

    None means no answer could be had: the connection failed or the agent
    could not be built (both are printed).
    """
    if llm is None:
        llm = make_llm()
    try:
        runner = connect_agent(Target(user, password, host, database), llm, verbose)
    except Failure as e:
        print(e)
        return None
    return runner.run(question)


def _positive_seconds(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    # PyMySQL refuses 0 and takes whole seconds through the URL.
    if not 1 <= value <= 31536000:
        raise argparse.ArgumentTypeError(f"not a whole number of seconds from 1: {text!r}")
    return value


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    """The arguments, with the question joined into `args.question` (None
    when none was given); a usage error exits with EXIT_USAGE."""
    parser = argparse.ArgumentParser(
        prog="quorvane-ask", description=__doc__, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("question", nargs="*",
                        help="the question; its words may be given unquoted, "
                             f"{MAX_QUESTION} characters at most "
                             f"(from /dev/null: {DEFAULT_QUESTION!r})")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="print the answers alone: no log, no 'Answer:' label")
    parser.add_argument("-i", "--interactive", action="store_true",
                        help="ask for one question after another (the default on a terminal)")
    parser.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="how long to wait for the database or the model to connect and "
                             f"for each reply (default: {CONNECT_TIMEOUT} s to connect, "
                             f"{READ_TIMEOUT} s for a reply)")
    parser.add_argument("--verbose", action="store_true",
                        help="print the traceback of a failure, not just its line")
    own = parser.add_argument_group("your own database instead of the sample",
                                    OWN_DATABASE_HELP)
    own.add_argument("--host", metavar="HOST[:PORT]", help="the MySQL server")
    own.add_argument("--user", help="the account to connect as")
    own.add_argument("--database", metavar="NAME", help="the database to ask")
    kept = parser.add_argument_group("the kept sample server", SAMPLE_SERVER_HELP)
    kept.add_argument("--sample-server", choices=keeper.ACTIONS, metavar="start|status|stop",
                      help="start, check or stop the kept sample server, and ask nothing")
    # Intermixed, so that an option may follow the words of an unquoted question.
    args = parser.parse_intermixed_args(argv)

    if not args.question:
        args.question = None
    else:
        args.question = " ".join(args.question).strip()
        if not args.question:
            parser.error("the question is empty")
        if len(args.question) > MAX_QUESTION:
            parser.error(f"the question is longer than {MAX_QUESTION} characters")
    own_values = (args.host, args.user, args.database)
    if any(value is not None for value in own_values):
        if not all(own_values):
            parser.error("--host, --user and --database go together, none of them empty")
        if not _HOST_RE.fullmatch(args.host):
            parser.error(f"--host: not a host name with an optional port: {args.host!r}")
    if args.interactive and args.question is not None:
        parser.error("-i reads the questions from the terminal: give no question with it")
    if args.sample_server and (args.question is not None or args.host is not None
                               or args.interactive):
        parser.error("--sample-server takes no question, -i, --host, --user or --database")
    return args


class _Uncoloured:
    """A text stream that drops ANSI colour codes on the way to another."""

    def __init__(self, stream: TextIO):
        self._stream = stream

    def write(self, text: str) -> int:
        self._stream.write(_ANSI_SGR_RE.sub("", text))
        return len(text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class _Discard:
    """The log of a quiet run: written to, never kept."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass


def _log_stream(quiet: bool):
    """Where the log of the run goes.

    Standard error, not standard output: what a pipe or a redirect takes
    from this command is the answer, as from any command, while the log
    still shows on the terminal.  LangChain colours its verbose log; the
    codes are only kept for a terminal, and not under NO_COLOR.
    """
    if quiet:
        return _Discard()
    if sys.stderr.isatty() and not os.environ.get("NO_COLOR"):
        return sys.stderr
    return _Uncoloured(sys.stderr)


def _missing_server_programs() -> list[str]:
    # Where the private server looks for them: PATH, then the sbin directories.
    return [name for name in ("mariadbd", "mariadb-install-db")
            if not (shutil.which(name)
                    or shutil.which(name, path="/usr/sbin:/usr/local/sbin:/sbin"))]


@contextlib.contextmanager
def _database(args: argparse.Namespace) -> Iterator[Target]:
    """The database the questions go to, for as long as they are asked."""
    if args.host is not None:
        yield Target(args.user, os.environ.get(PASSWORD_ENV, ""), args.host, args.database)
        return
    kept = keeper.running()
    if kept is not None:
        print(f"Sample shop on the kept server at {kept.host} (keeper pid {kept.pid})")
        yield Target(kept.user, kept.password, kept.host, kept.database)
        return

    # Imported here so that importing this file for ask() needs neither.
    from .privatedb import PrivateMariaDB, PrivateMariaDBError
    from .sample_shop import load_sample

    server = PrivateMariaDB()
    try:
        try:
            server.start()
            shop = load_sample(server)
        except PrivateMariaDBError as e:
            raise Failure(f"the private MariaDB server for the sample shop failed: {e}") from e
        print(f"Sample shop loaded into database {shop.name!r} on {shop.host}; "
              f"the agent's account {shop.user!r} may only read it")
        yield Target(shop.user, shop.password, shop.host, shop.name)
    finally:
        server.close()


def _history_path() -> str:
    state = os.environ.get("XDG_STATE_HOME")
    if not (state and os.path.isabs(state)):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "quorvane-ask", "history")


def _terminal_questions() -> Iterator[str]:
    """Questions read at the prompt with line editing, until an empty line or EOF."""
    try:
        import readline
    except ImportError:  # an interpreter built without it still reads lines
        readline = None
    path = _history_path()
    if readline is not None:
        readline.set_history_length(HISTORY_LENGTH)
        with contextlib.suppress(OSError):
            readline.read_history_file(path)
    try:
        while True:
            try:
                line = input(PROMPT)
            except EOFError:
                print()
                return
            if not line.strip():
                return
            yield line.strip()
    finally:
        if readline is not None:
            # Questions may name what is in the data: the file is the user's alone.
            with contextlib.suppress(OSError):
                os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
                readline.write_history_file(path)
                os.chmod(path, 0o600)


def _piped_questions(stream: TextIO | None) -> Iterable[str]:
    """One question a line from a pipe or a file; the default question from
    /dev/null (or no standard input at all), as the command has always
    asked it when run with no question and no input."""
    if stream is None:
        return [DEFAULT_QUESTION]
    try:
        mode = os.fstat(stream.fileno()).st_mode
    except (OSError, ValueError):
        mode = 0
    if stat.S_ISCHR(mode):
        return [DEFAULT_QUESTION]
    return (line.strip() for line in stream if line.strip())


def _classify(exc: Exception) -> Failure:
    """A failure of the agent's run, as the command reports it."""
    import pymysql
    import sqlalchemy.exc

    if isinstance(exc, sqlalchemy.exc.SQLAlchemyError | pymysql.err.MySQLError):
        return Failure(f"the database failed: {driver_message(exc)}")
    return Failure(f"the model failed: {error_message(exc)}", EXIT_MODEL)


def _report(message: str, verbose: bool) -> None:
    if verbose:
        traceback.print_exc()
    print(f"quorvane-ask: {message}", file=sys.stderr, flush=True)


def _session(args: argparse.Namespace, questions: Iterable[str], piped: bool) -> int:
    """Ask every question over one connection and one agent; the exit status."""
    log = _log_stream(args.quiet)
    timeouts = (args.timeout or CONNECT_TIMEOUT, args.timeout or READ_TIMEOUT)
    with contextlib.ExitStack() as stack:
        with contextlib.redirect_stdout(log):
            llm = make_llm(*timeouts)
            print(f"Model: {type(llm).__name__}")
            target = stack.enter_context(_database(args))
            runner = connect_agent(target, llm, True, *timeouts)
        if args.interactive and not args.quiet:
            print(f"Asking {target.database!r} on {target.host}: one question a line; "
                  "an empty line, Ctrl-D or Ctrl-C ends.", file=sys.stderr)
        status = EXIT_ANSWER
        for question in questions:
            if len(question) > MAX_QUESTION:
                _report(f"the question is longer than {MAX_QUESTION} characters", False)
                status = EXIT_USAGE
                if piped:
                    print(flush=True)
                continue
            try:
                with contextlib.redirect_stdout(log):
                    answer = str(runner.run(question))
            except Exception as e:
                failure = _classify(e)
                _report(str(failure), args.verbose)
                status = failure.status
                if piped:
                    # Answer N stays on line N of the output.
                    print(flush=True)
                continue
            if piped:
                answer = " ".join(answer.split())
            print(answer if args.quiet else f"Answer: {answer}", flush=True)
            if answer.startswith(CANNOT_ANSWER) and status == EXIT_ANSWER:
                status = EXIT_DECLINED
        return status


def _require_server_programs() -> None:
    missing = _missing_server_programs()
    if missing:
        raise Failure(f"the sample shop needs MariaDB's server ({' and '.join(missing)} "
                      "not found on PATH or in /usr/sbin): install it (on Debian or "
                      "Ubuntu: apt-get install mariadb-server-core), or ask your own "
                      "database with --host, --user and --database")


def _run(args: argparse.Namespace) -> int:
    if args.sample_server:
        if args.sample_server == "start":
            _require_server_programs()
        return keeper.command(args.sample_server)
    if args.host is None and keeper.running() is None:
        _require_server_programs()
    if args.question is not None:
        questions: Iterable[str] = [args.question]
        piped = False
    elif args.interactive or (sys.stdin is not None and sys.stdin.isatty()):
        args.interactive = True
        questions, piped = _terminal_questions(), False
    else:
        questions, piped = _piped_questions(sys.stdin), True
    _import_runtime()
    return _session(args, questions, piped)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    # Only the main thread may set a handler; elsewhere SIGTERM keeps its own.
    in_main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _on_sigterm) if in_main else None
    try:
        return _run(args)
    except Failure as e:
        _report(str(e), args.verbose)
        return e.status
    except KeyboardInterrupt:
        if args.interactive and sys.stderr.isatty():
            print(file=sys.stderr)  # off the prompt's line
        _report("interrupted", args.verbose)
        return EXIT_INTERRUPTED
    except _Terminated:
        _report("terminated", args.verbose)
        return EXIT_TERMINATED
    except BrokenPipeError:
        # The reader of the answers went away (`| head -1`): nothing is left
        # to say, and Python's own report at exit would be a traceback.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_NO_ANSWER
    finally:
        if in_main:
            signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
