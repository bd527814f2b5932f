#!/usr/bin/env bash
# One entry point for working on quorvane: set up the environment, run the
# tests, ask the example a question, or regenerate the dependency lock.
#
#   bash scripts/dev.sh setup            create .venv, install deps, build the module
#   bash scripts/dev.sh test [ARGS...]   setup, then pytest ARGS... on tests/ (the default)
#   bash scripts/dev.sh ask [OPTS] [Q]   quorvane-ask from the checkout, after setup if the module's inputs changed
#   bash scripts/dev.sh lock             re-resolve requirements/lock.txt from scratch
#   bash scripts/dev.sh sanitize [ARGS]  venv and deps, then the suite against an ASan/UBSan build
#   bash scripts/dev.sh valgrind [N]     venv and deps, then every method path under memcheck
#   bash scripts/dev.sh build32          compile, link and check the module for i386 (g++-multilib)
#   bash scripts/dev.sh wheel            venv and deps, then build and check the sdist and wheel
#
# Works from any directory, unattended (CI=true, no stdin), as root or through
# sudo. Set PYTHON to choose the interpreter; it must be CPython 3.12.
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

VENV="$ROOT/.venv"
RUNTIME_REQ="requirements/runtime.txt"
DEV_REQ="requirements/dev.txt"
LOCK="requirements/lock.txt"
STAMP="$VENV/.requirements.sha256"
MODULE_STAMP="$VENV/.module.sha256"

# Nothing here may stop to ask a question: CI has no terminal.
export DEBIAN_FRONTEND=noninteractive
export PIP_NO_INPUT=1
export PIP_DISABLE_PIP_VERSION_CHECK=1

# Progress goes to stderr so that `ask` leaves stdout to the answer alone.
say() { printf '==> %s\n' "$*" >&2; }
die() { printf 'dev.sh: error: %s\n' "$*" >&2; exit 1; }

usage() {
    sed -n '2,15s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
}

# True when $1 runs and is CPython 3.12 (a pyenv shim for a version that is
# not selected exits non-zero, so it is rejected here rather than later).
is_py312() {
    "$1" -c 'import sys, platform; sys.exit(not (sys.version_info[:2] == (3, 12) and platform.python_implementation() == "CPython"))' \
        >/dev/null 2>&1
}

# Print the real path of a Python 3.12 interpreter, or fail.
find_python() {
    local cand root
    if [[ -n "${PYTHON:-}" ]]; then
        is_py312 "$PYTHON" || die "PYTHON=$PYTHON is not a working CPython 3.12"
        "$PYTHON" -c 'import os, sys; print(os.path.realpath(sys.executable))'
        return
    fi
    if cand="$(command -v python3.12 2>/dev/null)" && is_py312 "$cand"; then
        "$cand" -c 'import os, sys; print(os.path.realpath(sys.executable))'
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        root="$(pyenv root)"
    else
        root="${PYENV_ROOT:-$HOME/.pyenv}"
    fi
    # Newest patch release first.
    while IFS= read -r cand; do
        if is_py312 "$cand"; then
            printf '%s\n' "$cand"
            return
        fi
    done < <(ls -d "$root"/versions/3.12.*/bin/python 2>/dev/null | sort -rV)
    die "no CPython 3.12 found: set PYTHON, put python3.12 on PATH, or install it with pyenv"
}

as_root() {
    if [[ "$(id -u)" -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -n env DEBIAN_FRONTEND=noninteractive "$@"
    else
        die "need root (or sudo) to run: $*"
    fi
}

have() { command -v "$1" >/dev/null 2>&1 || [[ -x "/usr/sbin/$1" || -x "/usr/bin/$1" ]]; }

# The tests start their own private MariaDB server (never the machine's own),
# and the module is built with CMake and a C++ compiler; fetch whichever of
# these the machine lacks.
ensure_system_packages() {
    local pkgs=()
    if ! have mariadbd || ! have mariadb-install-db || ! have mariadb; then
        pkgs+=(mariadb-server-core mariadb-client-core)
    fi
    have g++ || pkgs+=(g++)
    have cmake || pkgs+=(cmake)
    # The build tests inspect the built module's dynamic section and symbols.
    { have readelf && have nm; } || pkgs+=(binutils)
    # scikit-build-core uses Ninja, or falls back to make.
    if ! have ninja && ! have make; then
        pkgs+=(ninja-build)
    fi
    if ((${#pkgs[@]})); then
        say "installing system packages: ${pkgs[*]}"
        as_root apt-get update -q >&2
        as_root apt-get install -y -q --no-install-recommends "${pkgs[@]}" >&2
    fi
}

ensure_venv() {
    local py
    # Always resolved, so a wrong PYTHON fails even when .venv already exists.
    py="$(find_python)"
    if [[ -x "$VENV/bin/python" ]] && is_py312 "$VENV/bin/python"; then
        return
    fi
    if [[ -e "$VENV" ]]; then
        say "replacing .venv (its python is missing or not 3.12)"
        rm -rf -- "$VENV"
    fi
    say "creating venv with $py"
    "$py" -m venv "$VENV"
}

# Hash of everything that decides what goes into the venv; a rerun with the
# same hash skips pip entirely.
requirements_hash() {
    { "$VENV/bin/python" -VV; cat "$RUNTIME_REQ" "$DEV_REQ" "$LOCK"; } | sha256sum | cut -d' ' -f1
}

ensure_requirements() {
    local want
    want="$(requirements_hash)"
    if [[ -f "$STAMP" && "$(cat "$STAMP")" == "$want" ]]; then
        say "requirements up to date"
        return
    fi
    say "installing requirements (constrained by $LOCK)"
    rm -f -- "$STAMP"
    "$VENV/bin/python" -m pip install --quiet --progress-bar off \
        -c "$LOCK" -r "$RUNTIME_REQ" -r "$DEV_REQ" >&2
    "$VENV/bin/python" -m pip check >&2
    printf '%s\n' "$want" >"$STAMP"
}

# Hash of everything the installed module is built from or against: its
# sources and build description, the venv's interpreter (pyvenv.cfg names
# it) and the requirement files. Only cat, find and sha256sum, so that the
# warm `ask` path can afford it.
module_hash() {
    {
        cat "$VENV/pyvenv.cfg"
        find quorvane build -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
        sha256sum pyproject.toml "$RUNTIME_REQ" "$DEV_REQ" "$LOCK"
    } | sha256sum | cut -d' ' -f1
}

# True when the venv holds a module built from the current inputs.
module_current() {
    [[ -x "$VENV/bin/python" && -f "$MODULE_STAMP" ]] &&
        [[ "$(cat "$MODULE_STAMP")" == "$(module_hash)" ]]
}

build_module() {
    local hash
    # Taken before the build, so that an edit made while it runs is seen
    # as a change the next time.
    hash="$(module_hash)"
    say "building and installing quorvane"
    rm -f -- "$MODULE_STAMP"
    # --force-reinstall: the version number does not change between edits,
    # and an unchanged version must still be rebuilt from the current sources.
    "$VENV/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
        --force-reinstall . >&2
    printf '%s\n' "$hash" >"$MODULE_STAMP"
}

# True when the arguments for the command certainly hold a question made of
# blanks only. The command rejects that itself, but on a cold checkout only after
# a build of minutes; this catches it first. Anything unsure (an option not
# listed here) counts as a word, and the command has the last say. No words at
# all is no error: the command then reads its questions (see its --help).
ask_question_is_blank() {
    local arg skip=0 words=0
    for arg; do
        if ((skip)); then
            skip=0
            continue
        fi
        case "$arg" in
            --host | --user | --database | --timeout | --sample-server) skip=1 ;;
            -q | --quiet | -i | --interactive | --verbose) ;;
            -h | --help) return 1 ;;
            *)
                words=1
                [[ "$arg" =~ [^[:space:]] ]] && return 1
                ;;
        esac
    done
    ((words))
}

# The system packages, the venv and its requirements: what every command
# needs. The sanitizer and valgrind runs build their own variant of the
# module, so they stop here.
ensure_environment() {
    ensure_system_packages
    ensure_venv
    ensure_requirements
}

cmd_setup() {
    ensure_environment
    build_module
}

# Resolve the newest versions the requirement ranges allow in a throwaway
# venv and write them, every transitive package included, to the lock.
cmd_lock() {
    local py tmp
    py="$(find_python)"
    tmp="$(mktemp -d)"
    # Expanded now: the trap runs after this function's locals are gone.
    # shellcheck disable=SC2064
    trap "rm -rf -- '$tmp'" EXIT
    say "resolving $RUNTIME_REQ and $DEV_REQ in a fresh venv"
    "$py" -m venv "$tmp/venv"
    "$tmp/venv/bin/python" -m pip install --quiet --progress-bar off \
        -r "$RUNTIME_REQ" -r "$DEV_REQ" >&2
    "$tmp/venv/bin/python" -m pip check >&2
    {
        printf '# Every package of the resolved environment, pinned. Used as a constraints\n'
        printf '# file by scripts/dev.sh setup; regenerate with: bash scripts/dev.sh lock\n'
        printf '# Resolved with %s.\n' "$("$tmp/venv/bin/python" -V)"
        "$tmp/venv/bin/python" -m pip freeze --exclude-editable
    } >"$LOCK"
    say "wrote $LOCK ($(grep -c '==' "$LOCK") packages)"
}

main() {
    local cmd="${1:-test}"
    (($#)) && shift
    case "$cmd" in
        setup)
            cmd_setup
            ;;
        test)
            cmd_setup
            say "running tests"
            # No path here: pyproject's testpaths picks tests/ when ARGS name
            # none, and `test tests/test_x.py` then runs only that file.
            exec "$VENV/bin/python" -m pytest "$@"
            ;;
        ask)
            if ask_question_is_blank "$@"; then
                printf 'dev.sh ask: error: the question is empty\n' >&2
                exit 2
            fi
            # Set-up costs seconds even with nothing to do (pip, the
            # interpreter search), more than the question itself: it runs
            # only when the module's inputs changed since the last build.
            # `test` always rebuilds.
            module_current || cmd_setup
            exec "$VENV/bin/python" -m quorvane_ask "$@"
            ;;
        lock)
            cmd_lock
            ;;
        sanitize)
            ensure_environment
            exec bash "$ROOT/scripts/sanitize.sh" "$@"
            ;;
        valgrind)
            ensure_environment
            if ! have valgrind; then
                as_root apt-get update -q >&2
                as_root apt-get install -y -q --no-install-recommends valgrind >&2
            fi
            exec bash "$ROOT/scripts/valgrind.sh" "$@"
            ;;
        build32)
            ensure_system_packages
            ensure_venv
            # 32-bit glibc and libstdc++ for g++ -m32.
            if ! printf '#include <cstdio>\nint main() { return std::puts(""); }\n' \
                | g++ -m32 -x c++ -static-libstdc++ -o /dev/null - >/dev/null 2>&1; then
                say "installing g++-multilib"
                as_root apt-get update -q >&2
                as_root apt-get install -y -q --no-install-recommends g++-multilib >&2
            fi
            exec bash "$ROOT/scripts/build32.sh"
            ;;
        wheel)
            ensure_environment
            exec bash "$ROOT/scripts/wheel.sh"
            ;;
        -h | --help | help)
            usage
            ;;
        *)
            usage
            die "unknown command: $cmd"
            ;;
    esac
}

main "$@"
