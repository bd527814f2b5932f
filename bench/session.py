"""What a question costs once the command is started, and what a one-question
command costs when the sample server is kept running.

    .venv/bin/python bench/session.py [-n 30] [-r 7]

Both measures use one kept sample server (quorvane-ask --sample-server
start, with its state in a temporary directory, stopped at the end):

- a piped session: the first N questions about the shop from
  bench/questions.py go to one `quorvane-ask -q` on standard input; each
  answer is timed from the line before it on standard output (the command
  flushes every answer), and the median is taken over the second and later
  answers, the first one carrying the start-up;
- a one-question `quorvane-ask -q QUESTION` against the kept server, in
  fresh processes, beside a fresh interpreter that only imports what the
  command imports (quorvane, LangChain, the offline model): the difference
  of the medians is what the command adds to the import.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import paths  # noqa: E402

ANSWER_TARGET_S = 0.3
ASK_OVER_IMPORT_TARGET_S = 0.5
ONE_QUESTION = "How many customers are there?"
ASK = [sys.executable, "-m", "quorvane_ask"]
IMPORT_ONLY = [sys.executable, "-c",
               "from quorvane_ask.cli import _import_runtime; _import_runtime()"]


def shop_questions(n: int) -> list[str]:
    from questions import QUESTIONS

    found = [q.question for q in QUESTIONS if q.db == "shop" and "\n" not in q.question]
    if len(found) < n:
        raise SystemExit(f"only {len(found)} shop questions in bench/questions.py")
    return found[:n]


def piped_session(questions: list[str], env: dict) -> list[float]:
    """Seconds from each answer line to the next, the first from the start."""
    proc = subprocess.Popen([*ASK, "-q"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, cwd=ROOT, env=env)
    assert proc.stdin and proc.stdout
    started = time.perf_counter()
    proc.stdin.write("".join(q + "\n" for q in questions))
    proc.stdin.close()
    stamps = []
    for _ in questions:
        if not proc.stdout.readline():
            break
        stamps.append(time.perf_counter())
    err = proc.stderr.read() if proc.stderr else ""
    if proc.wait() not in (0, 3) or len(stamps) != len(questions):
        raise RuntimeError(f"the piped session failed ({proc.returncode}):\n{err[-3000:]}")
    return [b - a for a, b in zip([started, *stamps], stamps)]


def wall(argv: list[str], env: dict) -> float:
    started = time.perf_counter()
    done = subprocess.run(argv, capture_output=True, text=True, cwd=ROOT, env=env)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise RuntimeError(f"{argv} failed ({done.returncode}):\n{done.stderr[-3000:]}")
    return elapsed


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-n", "--questions", type=int, default=30, help="questions in the session")
    ap.add_argument("-r", "--repeat", type=int, default=7, help="fresh processes of each kind")
    args = ap.parse_args(argv)
    questions = shop_questions(max(args.questions, 2))

    with tempfile.TemporaryDirectory(prefix="quorvane-session-") as state:
        env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
        env.update(XDG_RUNTIME_DIR=state, XDG_STATE_HOME=state)
        start = subprocess.run([*ASK, "--sample-server", "start"], capture_output=True,
                               text=True, cwd=ROOT, env=env)
        if start.returncode != 0:
            raise SystemExit(start.stderr)
        try:
            gaps = piped_session(questions, env)
            asks, imports = [], []
            for _ in range(args.repeat):  # interleaved, so that drift hits both alike
                imports.append(wall(IMPORT_ONLY, env))
                asks.append(wall([*ASK, "-q", ONE_QUESTION], env))
        finally:
            subprocess.run([*ASK, "--sample-server", "stop"], capture_output=True, cwd=ROOT,
                           env=env)

    later = gaps[1:]
    answer = statistics.median(later)
    print(f"Piped session of {len(questions)} shop questions on the kept sample server, s")
    print(paths.format_table(["answer", "median", "min", "max"], [
        ["first (with start-up)", f"{gaps[0]:.3f}", "", ""],
        [f"2nd to {len(gaps)}th", f"{answer:.3f}", f"{min(later):.3f}", f"{max(later):.3f}"],
    ]))
    print(f"median of the later answers {answer:.3f} s: "
          f"{'within' if answer <= ANSWER_TARGET_S else 'OVER'} the {ANSWER_TARGET_S:g} s target")
    print()
    ask_s, import_s = statistics.median(asks), statistics.median(imports)
    print(f"One question against the kept sample server, s ({args.repeat} fresh processes each)")
    print(paths.format_table(["process", "median", "min", "max"], [
        ["import only", f"{import_s:.3f}", f"{min(imports):.3f}", f"{max(imports):.3f}"],
        ["quorvane-ask -q QUESTION", f"{ask_s:.3f}", f"{min(asks):.3f}", f"{max(asks):.3f}"],
    ]))
    extra = ask_s - import_s
    print(f"the command adds {extra:.3f} s to the import: "
          f"{'within' if extra <= ASK_OVER_IMPORT_TARGET_S else 'OVER'} the "
          f"{ASK_OVER_IMPORT_TARGET_S:g} s target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
