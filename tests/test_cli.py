"""The command's sessions (a terminal, a pipe), the kept sample server, and
its failures: one line each, with their own exit status.

Expected values are read from the server as root, never written down.
"""

import io
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from contextlib import redirect_stderr

import pymysql
import pytest

from quorvane_ask import cli, keeper
from quorvane_ask.offline import CANNOT_ANSWER

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ASK = [sys.executable, "-m", "quorvane_ask"]
COUNT_Q = "How many books are there?"
DECLINED_Q = "Why do readers stop reading?"


@pytest.fixture(scope="module")
def library(mariadb):
    mariadb.create_database("cli_library", drop=True)
    mariadb.create_user("cli_reader", "cli-pw", "cli_library", privileges="SELECT")
    mariadb.executescript(
        "CREATE TABLE books (id INT PRIMARY KEY, title VARCHAR(80) NOT NULL) ENGINE=InnoDB;"
        "INSERT INTO books VALUES (1, 'Ulysses'), (2, 'Dubliners'), (3, 'Exiles');",
        database="cli_library")
    count = mariadb.execute("SELECT COUNT(*) FROM books", database="cli_library")[0][0]
    own = ["--host", mariadb.hostport, "--user", "cli_reader", "--database", "cli_library"]
    return own, count


def command_env(tmp_path, **extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("OPENAI_") and "proxy" not in k.lower()}
    # Its own kept-server state and history, never the user's.
    env.update(MYSQL_PWD="cli-pw", XDG_RUNTIME_DIR=str(tmp_path), XDG_STATE_HOME=str(tmp_path),
               NO_COLOR="1", TERM="dumb", NO_PROXY="127.0.0.1")
    return env | extra


def test_piped_questions_one_answer_a_line(library, tmp_path):
    own, count = library
    questions = f"{COUNT_Q}\n\n   \n{DECLINED_Q}\n{COUNT_Q}\n"
    proc = subprocess.run([*ASK, "-q", *own], input=questions, capture_output=True, text=True,
                          timeout=180, cwd=ROOT, env=command_env(tmp_path))
    assert (proc.returncode, proc.stderr) == (cli.EXIT_DECLINED, ""), proc.stderr
    answers = proc.stdout.splitlines()
    assert len(answers) == 3 and proc.stdout.endswith("\n")
    assert [re.findall(r"\d+", a)[-1:] for a in answers[::2]] == [[str(count)]] * 2
    assert answers[1].startswith(CANNOT_ANSWER)


def run_on_terminal(argv, env, keys, timeout=300):
    """Run argv on a pseudo-terminal, typing each key string once the output
    matches its pattern; (exit status, everything the terminal showed)."""
    pid, fd = pty.fork()
    if pid == 0:  # the child: the terminal is its stdin, stdout and stderr
        os.chdir(ROOT)
        os.execve(argv[0], argv, env)
    shown, deadline = b"", time.monotonic() + timeout
    try:
        for pattern, key in keys:
            while not re.search(pattern, shown.decode(errors="replace")):
                assert time.monotonic() < deadline, shown.decode(errors="replace")
                if select.select([fd], [], [], 1)[0]:
                    shown += os.read(fd, 65536)
            os.write(fd, key.encode())
        while True:
            assert time.monotonic() < deadline, shown.decode(errors="replace")
            if select.select([fd], [], [], 1)[0]:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:  # EIO: the child closed the terminal
                    break
                if not chunk:
                    break
                shown += chunk
        return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), shown.decode(errors="replace")
    finally:
        os.close(fd)


# A session that ends as it should has the status of its questions: one declined.
@pytest.mark.parametrize("args,end,status", [
    ([], "\n", 3),                # an empty line
    (["-q", "-i"], "\x04", 3),    # Ctrl-D at the prompt
    (["-q"], "\x03", 130),        # Ctrl-C at the prompt
])
def test_terminal_session(library, tmp_path, args, end, status):
    own, count = library
    prompt = re.escape(cli.PROMPT)
    status_seen, shown = run_on_terminal(
        [*ASK, *args, *own], command_env(tmp_path),
        [(prompt, COUNT_Q + "\n"), (rf"\b{count}\b.*\n(.*\n)*.*{prompt}", DECLINED_Q + "\n"),
         (rf"{re.escape(CANNOT_ANSWER)}.*\n(.*\n)*.*{prompt}", end)])
    assert status_seen == status, shown
    assert "Traceback" not in shown
    assert ("quorvane-ask: interrupted" in shown) == (status == 130)
    # The log of the agent's steps shows only without -q.
    assert ("Connection status: {'connected': True" in shown) == ("-q" not in args)
    history = tmp_path / "quorvane-ask" / "history"
    assert history.read_text(encoding="utf-8").splitlines()[-2:] == [COUNT_Q, DECLINED_Q]
    assert history.stat().st_mode & 0o777 == 0o600


def test_kept_sample_server(tmp_path):
    env = command_env(tmp_path)

    def server(action):
        return subprocess.run([*ASK, "--sample-server", action], capture_output=True, text=True,
                              timeout=180, cwd=ROOT, env=env)

    started = server("start")
    assert started.returncode == 0, started.stderr
    shown = dict(re.findall(r"^  (\w+): +(.*)$", started.stdout, re.M))
    state = tmp_path / "quorvane-ask" / "sample-server.json"
    assert state.stat().st_mode & 0o777 == 0o600
    kept = json.loads(state.read_text())
    try:
        assert shown["host"] + ":" + shown["port"] == kept["host"]
        assert shown["password"] == kept["password"]
        assert shown["mysql"].startswith(f"MYSQL_PWD={kept['password']} mysql -h {shown['host']}")
        # The account shown may read, and only read, the shop.
        conn = pymysql.connect(host=shown["host"], port=int(shown["port"]),
                               user=shown["user"].split()[0], password=shown["password"],
                               database=shown["database"])
        with conn, conn.cursor() as cur:
            cur.execute("SELECT COUNT(*) FROM customers")
            customers = cur.fetchone()[0]
            with pytest.raises(pymysql.err.OperationalError, match="1142"):
                cur.execute("DELETE FROM customers")
        # Root is reached through the socket of a directory of its own only.
        with pytest.raises(pymysql.err.OperationalError, match="1045"):
            pymysql.connect(host=shown["host"], port=int(shown["port"]), user="root")
        assert server("start").stdout == started.stdout  # the same server, not a second
        assert server("status").returncode == 0

        asked = subprocess.run([*ASK, "How many customers are there?"], capture_output=True,
                               text=True, timeout=180, cwd=ROOT, env=env)
        assert asked.returncode == 0, asked.stderr
        assert f"kept server at {kept['host']}" in asked.stderr
        assert re.search(rf"\b{customers}\b", asked.stdout)
    finally:
        stopped = server("stop")
    assert stopped.returncode == 0, stopped.stderr
    assert not state.exists() and not keeper._alive(kept["pid"])
    assert (server("status").returncode, server("stop").returncode) == (1, 0)


class Silent:
    """A loopback listener that accepts connections and never says a word."""

    def __init__(self):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        with self.sock:
            while True:
                try:
                    self.held.append(self.sock.accept()[0])
                except OSError:
                    return


@pytest.fixture(scope="module")
def silent():
    listener = Silent()
    yield listener
    listener.sock.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# (where the command goes, the exit status, its line on stderr)
@pytest.mark.parametrize("case,status,line", [
    ("silent database", 1, r"cannot connect to 'cli_library' on 127\.0\.0\.1:\d+: \(2013\) "
                           r"Lost connection to MySQL server during query \(timed out\)"),
    ("refused database", 1, r"cannot connect to 'cli_library' on 127\.0\.0\.1:\d+: \(2003\) "
                            r"Can't connect to MySQL server on '127\.0\.0\.1' .*"),
    ("wrong password", 1, r"cannot connect .*: \(1045\) Access denied for user 'cli_reader'@"
                          r"'[^']+' \(using password: YES\)"),
    ("silent model", 4, r"the model failed: Request timed out"),
    ("interrupted", 130, r"interrupted"),
    ("terminated", 143, r"terminated"),
    # --verbose: the traceback above the line.
    ("refused model", 4, r"the model failed: Connection error: .*Connection refused"),
])
def test_failure_is_one_line(library, silent, tmp_path, case, status, line):
    own, _ = library
    env = command_env(tmp_path)
    args = [*ASK, "-q", "--timeout", "2", *own, COUNT_Q]
    if case in ("silent database", "interrupted", "terminated"):
        args[args.index("--host") + 1] = f"127.0.0.1:{silent.port}"
    elif case == "refused database":
        args[args.index("--host") + 1] = f"127.0.0.1:{free_port()}"
    elif case == "wrong password":
        env["MYSQL_PWD"] = "wrong"
    else:
        port = silent.port if case == "silent model" else free_port()
        env.update(OPENAI_API_KEY="test-key", OPENAI_BASE_URL=f"http://127.0.0.1:{port}/v1")
    if case == "refused model":
        args.insert(args.index("-q"), "--verbose")
    held = len(silent.held)
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=ROOT, env=env)
    if case in ("interrupted", "terminated"):
        # Once the command waits on the silent host (it has accepted).
        while len(silent.held) == held:
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT if case == "interrupted" else signal.SIGTERM)
    out, err = proc.communicate(timeout=120)
    assert (proc.returncode, out) == (status, ""), err
    *traceback, last = err.splitlines()
    assert re.fullmatch(rf"quorvane-ask: {line}", last), err
    assert bool(traceback) == (case == "refused model") and "Background on this error" not in err
    if traceback:
        assert traceback[0] == "Traceback (most recent call last):"


@pytest.mark.parametrize("argv", [["-q", COUNT_Q], ["--sample-server", "start"]])
def test_missing_server_program(tmp_path, monkeypatch, argv):
    monkeypatch.setenv("XDG_RUNTIME_DIR", str(tmp_path))  # no kept server either
    monkeypatch.setattr(cli.shutil, "which", lambda name, path=None: None)
    err = io.StringIO()
    with redirect_stderr(err):
        assert cli.main(argv) == cli.EXIT_NO_ANSWER
    assert err.getvalue().count("\n") == 1
    assert "mariadbd and mariadb-install-db not found" in err.getvalue()
    assert "apt-get install mariadb-server-core" in err.getvalue()


def test_installed_command(library, tmp_path):
    """The console script of `pip install .`, run where no checkout is in sight."""
    own, count = library
    script = os.path.join(sys.prefix, "bin", "quorvane-ask")
    env = {k: v for k, v in command_env(tmp_path).items() if not k.startswith("PYTHON")}
    proc = subprocess.run([script, "-q", *own, COUNT_Q], capture_output=True, text=True,
                          timeout=180, cwd="/", env=env)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    assert re.findall(r"\d+", proc.stdout)[-1:] == [str(count)]
    where = subprocess.run([sys.executable, "-I", "-c", "import quorvane_ask.cli as c; "
                            "print(c.__file__)"], capture_output=True, text=True, cwd="/")
    assert where.stdout.startswith(sys.prefix), where.stdout + where.stderr
