#!/usr/bin/env bash
# Compiles and links the module for i386 Linux, the platform it ships for,
# and checks what the loader there relies on: an ELF32 i386 file that needs
# only the C runtime and exports only the two entry points.
#
#   bash scripts/build32.sh     (normally through: bash scripts/dev.sh build32)
#
# No interpreter here runs i386 code, so the file is built and inspected but
# never imported. The headers are the installed interpreter's, with the
# x86-64 facts of pyconfig.h replaced by the i386 ones in
# build/i386/pyconfig.defs; the build is the ordinary CMake one with -m32 and
# warnings as errors, so the flags cannot drift from the native build's.
# Needs g++-multilib (dev.sh installs it).
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="$ROOT/.venv/bin/python"
OUT="$ROOT/_build/i386"
DEFS="$ROOT/build/i386/pyconfig.defs"
SIZES="$ROOT/build/i386/sizes.cpp"

die() { printf 'build32.sh: %s\n' "$*" >&2; exit 1; }

[[ -x "$PY" ]] || die "no .venv; run: bash scripts/dev.sh setup"

rm -rf -- "$OUT"
mkdir -p "$OUT"
INC="$OUT/include/python3.12"
HOST_INC="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"
[[ -f "$HOST_INC/Python.h" ]] || die "no Python.h in $HOST_INC"

# Python.h includes "pyconfig.h" from its own directory, so the whole header
# tree is copied and the copy's pyconfig.h rewritten.
echo "==> deriving i386 headers from $HOST_INC" >&2
mkdir -p "$(dirname "$INC")"
cp -R -- "$HOST_INC" "$INC"
"$PY" - "$INC/pyconfig.h" "$DEFS" "$SIZES" <<'EOF'
import re
import sys

header_path, defs_path, sizes_path = sys.argv[1:]
text = open(header_path).read()
for line in open(defs_path):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    name, value = line.split()
    # Each fact must be stated exactly once, defined or commented out, so a
    # header laid out differently fails here instead of keeping its value.
    pattern = re.compile(r"^(#define %s(?: .*)?|/\* #undef %s \*/)$" % (name, name), re.M)
    found = pattern.findall(text)
    if len(found) != 1:
        sys.exit("build32.sh: %s states %s %d times" % (header_path, name, len(found)))
    new = "/* #undef %s */" % name if value == "undef" else "#define %s %s" % (name, value)
    text = pattern.sub(new, text)
open(header_path, "w").write(text)

stated = set(re.findall(r"^#define ((?:SIZEOF|ALIGNOF)_\w+)", text, re.M))
checked = set(re.findall(r"\b((?:SIZEOF|ALIGNOF)_\w+)\b", open(sizes_path).read()))
if stated - checked:
    sys.exit("build32.sh: %s does not check %s" % (sizes_path, ", ".join(sorted(stated - checked))))
EOF

echo "==> checking the derived sizes against g++ -m32" >&2
g++ -m32 -std=c++20 -fsyntax-only -Werror -I"$INC" "$SIZES" \
    || die "the derived pyconfig.h does not match the i386 compiler (is g++-multilib installed?)"

echo "==> building the module for i386 into $OUT" >&2
# Python_INCLUDE_DIR replaces the headers FindPython would take from the
# interpreter; everything else, flags and version script included, is the
# project's own CMake file.
cmake -S build -B "$OUT/cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="-m32 -Werror" \
    -DPython_EXECUTABLE="$PY" -DPython_INCLUDE_DIR="$INC" >"$OUT/configure.log" \
    || { cat "$OUT/configure.log" >&2; die "configure failed"; }
grep -q "^CMAKE_CXX_FLAGS:STRING=-m32 -Werror$" "$OUT/cmake/CMakeCache.txt" \
    || die "CMake did not take the i386 flags"
cmake --build "$OUT/cmake" -j "$(nproc)" >&2

# CMake names the file after the host interpreter's ABI tag; the copy gets
# the tag an i386 interpreter looks for.
built=("$OUT"/cmake/quorvane.*.so)
((${#built[@]} == 1)) || die "expected one built module, found: ${built[*]}"
SO="$OUT/quorvane.cpython-312-i386-linux-gnu.so"
cp -- "${built[0]}" "$SO"

echo "==> checking $SO" >&2
"$PY" tests/elfcheck.py --machine i386 "$SO"
echo "==> i386 module built and checked: $SO" >&2
