"""The README's Python blocks run as written, so the README cannot drift
from the code.  Each runs as a newcomer would run it: a fresh interpreter of
the venv, from the repository root."""

import ast
import os
import re
import subprocess
import sys
import tempfile

import pytest

from quorvane_ask.sample_shop import generate

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
    BLOCKS = re.findall(r"^```python\n(.*?)^```$", f.read(), re.S | re.M)
# A block that starts with this comment replaces lines of the road before it.
VARIANT = "# In place of"
RUNNABLE = [b for b in BLOCKS if not b.startswith(VARIANT)]
VARIANTS = [b for b in BLOCKS if b.startswith(VARIANT)]
ROAD = next(b for b in RUNNABLE if ".run(" in b)
# A print whose line carries a comment shows in the comment what it prints.
SHOWN = re.compile(r"^print\(.*\)\s+# (?P<shown>.+)$", re.M)


def run(code, **env):
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")} | env
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("block", RUNNABLE, ids=lambda b: b.splitlines()[0][:30])
def test_block_runs_as_written(block):
    done = run(block)
    # Nothing on stderr: the warnings the README says how to silence stay silent.
    assert (done.returncode, done.stderr) == (0, ""), done.stdout[-2000:]
    printed = done.stdout.splitlines()
    for shown in SHOWN.findall(block):
        assert shown in printed
    if block is ROAD:
        customers = len(generate()["customers"])
        assert re.search(rf"\b{customers}\b", printed[-1]), printed[-1]


def test_variant_lines_run_in_place_of_the_road():
    assert VARIANTS
    # The road up to the module's import gives the names the variant uses.
    prelude = ROAD[:ROAD.index("\n", ROAD.index("from quorvane import"))]
    for block in VARIANTS:
        done = run(prelude + "\n" + block, OPENAI_API_KEY="sk-unused", MYSQL_PWD="p@ss w/rd")
        assert (done.returncode, done.stderr) == (0, "")
        replaced = [t.id for node in ast.parse(block).body if isinstance(node, ast.Assign)
                    for t in node.targets]
        assert replaced and all(re.search(rf"^{name} = ", ROAD, re.M) for name in replaced)


def in_place(variant):
    """The road with the lines the variant replaces taken out and the variant
    where the first of them was."""
    replaced = {t.id for node in ast.parse(variant).body if isinstance(node, ast.Assign)
                for t in node.targets}
    lines, out, placed = ROAD.splitlines(), [], False
    for line in lines:
        if any(line.startswith(f"{name} = ") for name in replaced):
            if not placed:
                out.append(variant)
                placed = True
            continue
        out.append(line)
    assert placed
    return "\n".join(out) + "\n"


def test_blocks_type_check(tmp_path):
    """As a user's code would be checked: mypy --strict, the module's types
    from the stubs its wheel installs, the package's from its own hints."""
    files = {f"block_{i}.py": b for i, b in enumerate(RUNNABLE)}
    files |= {f"variant_{i}.py": in_place(v) for i, v in enumerate(VARIANTS)}
    for name, code in files.items():
        (tmp_path / name).write_text(code, encoding="utf-8")
    # The checkout's package, not an installed copy; the checkout's quorvane/
    # holds sources only, so it stays out of the checker's way.
    (tmp_path / "quorvane_ask").symlink_to(os.path.join(ROOT, "quorvane_ask"))
    cache = os.path.join(tempfile.gettempdir(), f"quorvane-readme-mypy-{os.getuid()}")
    # Errors inside the package are its own tests' business; its types are used.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
                           "--cache-dir", cache, "--no-error-summary", *files],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
