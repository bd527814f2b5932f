"""Shared pieces for tests that look at the module from outside: child
interpreters, stand-in dependency packages, traceback entries, and small
databases of the tests' own put to the offline model."""

import json
import os
import subprocess
import sys
import textwrap
import traceback

import quorvane

FILE = "quorvane/base.py"

# Children find the module where this process found it, whether that is a
# build directory or the installed site-packages.
MODULE_DIR = os.path.dirname(os.path.abspath(quorvane.__file__))


def module_entries(exc):
    """The module's own traceback entries as (file, name, line), outermost first."""
    return [
        (f.filename, f.name, f.lineno)
        for f in traceback.extract_tb(exc.__traceback__)
        if f.filename == FILE
    ]


def module_tracebacks(exc):
    """The traceback objects of the module's own entries."""
    found, tb = [], exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == FILE:
            found.append(tb)
        tb = tb.tb_next
    return found


# Minimal stand-ins for the thirteen imports: each test changes one file.
STANDINS = {
    "langchain/__init__.py": "class LangChainDeprecationWarning(DeprecationWarning):\n    pass\n",
    "langchain/agents/__init__.py": textwrap.dedent("""\
        from langchain.agents.agent_types import AgentType

        class AgentExecutor:
            pass

        def create_sql_agent(**kwargs):
            return kwargs

        def public_helper():
            pass

        _private_helper = object()
        """),
    "langchain/agents/agent_toolkits.py": "class SQLDatabaseToolkit:\n    pass\n",
    "langchain/agents/agent_types.py": textwrap.dedent("""\
        class _Member:
            pass

        class AgentType:
            ZERO_SHOT_REACT_DESCRIPTION = _Member()
        """),
    "langchain/sql_database.py": "class SQLDatabase:\n    pass\n",
    "langchain/llms/__init__.py": "class OpenAI:\n    pass\n",
    "langchain/llms/openai.py": "class OpenAI:\n    pass\n",
    "langchain/chat_models.py": "class ChatOpenAI:\n    pass\n",
    "sqlalchemy/__init__.py": "def create_engine(*args, **kwargs):\n    pass\n",
    "pymysql/__init__.py": "",
}


def write_tree(root, files):
    """Writes {relative path: text} under root; a None text removes the file."""
    for rel, text in files.items():
        path = os.path.join(root, rel)
        if text is None:
            if os.path.exists(path):
                os.remove(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)


def write_standins(root, changes=None):
    """The stand-in packages under root, with `changes` (path -> text or None)."""
    write_tree(str(root), {**STANDINS, **(changes or {})})
    return str(root)


_PRELUDE = r'''
import json as _json, sys, traceback as _traceback
def entries(exc):
    return [[f.filename, f.name, f.lineno]
            for f in _traceback.extract_tb(exc.__traceback__)
            if f.filename == "quorvane/base.py"]
def outcome(exc):
    return {"type": type(exc).__name__, "message": str(exc), "entries": entries(exc)}
def holds(check):
    try:
        return bool(eval(check))
    except Exception:
        return False
def emit(**kw):
    sys.stdout.write("\n@@" + _json.dumps(kw) + "\n")
    sys.stdout.flush()
'''


def run_child(script, *, path=(), options=(), argv=(), timeout=120):
    """Runs script in a fresh interpreter; returns what it passed to emit()."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*map(str, path), MODULE_DIR])
    # Stand-in sources are rewritten within one second; stale bytecode
    # would hide the change.
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run(
        [sys.executable, *options, "-c", _PRELUDE + textwrap.dedent(script), *argv],
        env=env, capture_output=True, text=True, timeout=timeout,
    )
    marks = [line for line in proc.stdout.splitlines() if line.startswith("@@")]
    assert proc.returncode == 0 and marks, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout[-3000:]}"
        f"\n--- stderr\n{proc.stderr[-3000:]}"
    )
    return json.loads(marks[-1][2:])


def load_readonly(server, name, user, password, script):
    """Load `script` into a fresh database `name`, which `user` may only read."""
    server.create_database(name, drop=True)
    server.executescript(script, database=name)
    server.create_user(user, password, name, privileges="SELECT")


def ask_offline(server, name, user, password, question):
    """The offline model's answer to `question`, by the road a user's takes."""
    from quorvane_ask.offline import OfflineSQLModel

    llm = OfflineSQLModel()
    connector = quorvane.DatabaseConnector(user, password, server.hostport, name)
    assert connector.connect()["connected"]
    toolkit = quorvane.SQLDatabaseToolkit(db=connector.getdbinstance(), llm=llm)
    return quorvane.AgentRunner(llm, toolkit, verbose=False).run(question)
