#!/usr/bin/env bash
# Builds the module with debug information and runs every path of every
# method under valgrind memcheck (tests/valgrind_paths.py). Fails only on
# errors and definite losses traced to the module's own code; the
# interpreter's own losses at exit are reported as counts and pass.
#
#   bash scripts/valgrind.sh [CALLS]   calls per path (default 3)
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="$ROOT/.venv/bin/python"
OUT="$ROOT/_build/valgrind"
LOG="$ROOT/_build/memcheck.xml"

[[ -x "$PY" ]] || { echo "valgrind.sh: no .venv; run: bash scripts/dev.sh setup" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is not installed" >&2; exit 1; }

echo "==> building the module with debug information into $OUT" >&2
rm -rf -- "$OUT" "$LOG"
"$PY" -m pip install --quiet --no-build-isolation --no-deps --target "$OUT" \
    -C cmake.build-type=RelWithDebInfo . >&2
SO="$(ls "$OUT"/quorvane.*.so)"

echo "==> running tests/valgrind_paths.py under memcheck (several minutes)" >&2
# malloc for every object, so that memcheck sees each one; the XML log keeps
# whole stacks for the check below.
status=0
PYTHONMALLOC=malloc PYTHONPATH="$OUT:$ROOT/tests" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=60 \
    --xml=yes --xml-file="$LOG" \
    "$PY" tests/valgrind_paths.py "$@" || status=$?
[[ $status -eq 0 ]] || { echo "valgrind.sh: the paths failed (exit status $status)" >&2; exit "$status"; }

"$PY" tests/valgrind_paths.py --check "$LOG" "$SO"
