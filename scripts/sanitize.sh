#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite against that build.
#
#   bash scripts/sanitize.sh [PYTEST ARGS...]   (default: the whole suite, tests)
#
# The interpreter stays the ordinary, uninstrumented one: the sanitizer
# runtimes are preloaded into it, and PYTHONMALLOC=malloc sends every object
# allocation through malloc, where ASan can see it. Leak detection is off
# because the interpreter itself does not free everything at exit. Any
# report from any process of the run (the test children included) fails it.
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="$ROOT/.venv/bin/python"
OUT="$ROOT/_build/asan"
LOGS="$ROOT/_build/asan-reports"

[[ -x "$PY" ]] || { echo "sanitize.sh: no .venv; run: bash scripts/dev.sh setup" >&2; exit 1; }

echo "==> building the sanitized module into $OUT" >&2
rm -rf -- "$OUT" "$LOGS"
mkdir -p "$LOGS"
# Debug build type: no NDEBUG, so the module's own assertions run as well.
"$PY" -m pip install --quiet --no-build-isolation --no-deps --target "$OUT" \
    -C cmake.define.QV_SANITIZE=ON -C cmake.build-type=Debug . >&2

SO="$(ls "$OUT"/quorvane.*.so)"
readelf -d "$SO" | grep -q 'libasan' || { echo "sanitize.sh: $SO is not instrumented" >&2; exit 1; }

preload=""
for lib in libasan.so libubsan.so; do
    path="$(gcc -print-file-name="$lib")"
    [[ -f "$path" ]] || { echo "sanitize.sh: gcc has no $lib" >&2; exit 1; }
    preload="${preload:+$preload:}$path"
done
export LD_PRELOAD="$preload"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:strict_init_order=1:log_path=$LOGS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan"
# First on the path: the tests, and the child interpreters they start (which
# look for the module where the parent found it), load this build.
export PYTHONPATH="$OUT${PYTHONPATH:+:$PYTHONPATH}"

found="$(cd /tmp && "$PY" -c 'import warnings; warnings.simplefilter("ignore"); import quorvane; print(quorvane.__file__)' 2>/dev/null)"
[[ "$found" == "$SO" ]] || { echo "sanitize.sh: imports $found, not $SO" >&2; exit 1; }
echo "==> running the tests against $found" >&2

# The one fact that holds for the release build only: a sanitized object
# names the sanitizer runtimes as needed libraries.
status=0
(($#)) || set -- tests
"$PY" -m pytest -q -p no:cacheprovider \
    --deselect tests/test_build.py::test_needed_libraries_are_only_the_c_runtime \
    "$@" || status=$?

if compgen -G "$LOGS/*" >/dev/null; then
    echo "==> sanitizer reports:" >&2
    cat "$LOGS"/* >&2
    exit 1
fi
echo "==> no sanitizer reports (pytest exit status $status)" >&2
exit "$status"
