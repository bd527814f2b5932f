#!/usr/bin/env bash
# Sets up everything the project needs on a Debian machine and runs one job.
#   bash scripts/dev.sh setup            venv, pinned dependencies, MariaDB, build
#   bash scripts/dev.sh test [ARGS...]   setup, then the test suite
#   bash scripts/dev.sh ask  [QUESTION]  setup, then one question end to end
# PYTHON may name the CPython 3.12 interpreter to use.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv"

say() { printf '==> %s\n' "$*"; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; }

find_python() {
    if [[ -n "${PYTHON:-}" ]]; then
        is_312 "$PYTHON" || die "PYTHON=$PYTHON is not CPython 3.12"
        echo "$PYTHON"; return
    fi
    if command -v python3.12 >/dev/null && is_312 python3.12; then
        command -v python3.12; return
    fi
    local root candidate
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    for candidate in $(ls -d "$root"/versions/3.12.* 2>/dev/null | sort -V -r); do
        if is_312 "$candidate/bin/python"; then echo "$candidate/bin/python"; return; fi
    done
    die "no CPython 3.12 found: set PYTHON to one"
}

as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

apt_install() {
    say "installing Debian packages: $*"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

system_packages() {
    local missing=()
    command -v mariadbd >/dev/null || [[ -x /usr/sbin/mariadbd ]] || missing+=(mariadb-server-core)
    command -v mariadb-install-db >/dev/null || missing+=(mariadb-server-core)
    command -v mariadb >/dev/null || missing+=(mariadb-client-core)
    command -v g++ >/dev/null || missing+=(g++)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v readelf >/dev/null || missing+=(binutils)
    if ((${#missing[@]})); then
        apt_install $(printf '%s\n' "${missing[@]}" | sort -u)
    fi
}

python_env() {
    local python
    python="$(find_python)"
    if [[ ! -x "$VENV/bin/python" ]] || ! is_312 "$VENV/bin/python"; then
        say "creating $VENV with $python"
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements.sha256" want
    want="$(cat requirements/runtime.txt requirements/dev.txt requirements/lock.txt | sha256sum | cut -d' ' -f1)"
    if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$want" ]]; then
        say "installing pinned dependencies"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
            -c requirements/lock.txt -r requirements/runtime.txt -r requirements/dev.txt
        echo "$want" >"$stamp"
    fi
}

build_module() {
    say "building and installing quorvane"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation --no-deps --force-reinstall .
}

setup() {
    system_packages
    python_env
    build_module
}

cmd="${1:-test}"
[[ $# -gt 0 ]] && shift
case "$cmd" in
    setup) setup ;;
    test)
        setup
        say "running the tests"
        exec "$VENV/bin/python" -m pytest tests "$@"
        ;;
    ask)
        setup
        exec "$VENV/bin/python" examples/ask.py "$@"
        ;;
    *) die "unknown command '$cmd' (setup, test or ask)" ;;
esac
