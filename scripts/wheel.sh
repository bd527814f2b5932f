#!/usr/bin/env bash
# Build the sdist and the wheel, check them, and install the wheel where
# nothing of the work tree can be seen.
#
#   bash scripts/wheel.sh        (normally through: bash scripts/dev.sh wheel)
#
# Expects what dev.sh sets up first: .venv (its interpreter makes the venvs
# here) and the system compiler, CMake and Ninja. Everything goes under
# _build/: tools/ (build, twine, auditwheel, pinned in requirements/wheel.txt),
# dist/ (the archives), check/ (the fresh venv the wheel is installed into).
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

OUT="$ROOT/_build"
TOOLS="$OUT/tools"
DIST="$OUT/dist"
CHECK="$OUT/check"
TOOLS_REQ="requirements/wheel.txt"
LOCK="requirements/lock.txt"

say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'wheel.sh: error: %s\n' "$*" >&2; exit 1; }

[[ -x "$ROOT/.venv/bin/python" ]] || die "no .venv: run bash scripts/dev.sh setup first"
# A venv made from a venv's python is based on the same interpreter.
PY="$ROOT/.venv/bin/python"

# The tools venv is kept between runs and refreshed when its pins change.
stamp="$(sha256sum "$TOOLS_REQ" | cut -d' ' -f1)"
if [[ ! -x "$TOOLS/bin/python" || "$(cat "$TOOLS/.stamp" 2>/dev/null)" != "$stamp" ]]; then
    say "installing the packaging tools ($TOOLS_REQ)"
    rm -rf -- "$TOOLS"
    "$PY" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install --quiet --progress-bar off -r "$TOOLS_REQ" >&2
    printf '%s\n' "$stamp" >"$TOOLS/.stamp"
fi

say "building the sdist, then the wheel from it"
rm -rf -- "$DIST"
"$TOOLS/bin/python" -m build --no-isolation --outdir "$DIST" . >&2
sdist=("$DIST"/quorvane-*.tar.gz)
wheel=("$DIST"/quorvane-*.whl)
[[ -f "${sdist[0]}" && -f "${wheel[0]}" ]] || die "build left no sdist or no wheel in $DIST"

say "twine check"
"$TOOLS/bin/python" -m twine check --strict "${sdist[0]}" "${wheel[0]}"

say "auditwheel show"
report="$("$TOOLS/bin/auditwheel" show "${wheel[0]}")"
printf '%s\n' "$report"
# auditwheel names the most compatible tag the wheel qualifies for; a module
# that links anything beyond the manylinux set of system libraries, or uses
# too new a glibc symbol, gets none.
grep -Eq '"manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"' <<<"$report" \
    || die "auditwheel reports no manylinux platform tag for ${wheel[0]##*/}"

say "installing the wheel into a fresh venv"
rm -rf -- "$CHECK"
"$PY" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install --quiet --progress-bar off -c "$LOCK" "${wheel[0]}" >&2
"$CHECK/bin/python" -m pip check >&2
# From / and isolated (-I): the work tree's quorvane/ source directory and
# PYTHON* variables must not stand in for the installed module.
(cd / && "$CHECK/bin/python" -I -c '
import sys, warnings
with warnings.catch_warnings(record=True):
    import quorvane
assert quorvane.__file__.startswith(sys.prefix), quorvane.__file__
assert callable(quorvane.DatabaseConnector) and callable(quorvane.AgentRunner)
print("imported", quorvane.__file__)
')
say "ok: ${sdist[0]##*/} and ${wheel[0]##*/} in ${DIST#"$ROOT"/}"
