"""What the interpreter's loader relies on in a built module file: the
libraries it names, the symbols it exports and the machine it is for.

Shared by tests/test_build.py (the installed native build) and by
scripts/build32.sh (the i386 build, which no interpreter here can load):

    python tests/elfcheck.py FILE [--machine x86_64|i386]

prints each broken fact and exits 1 if there is one.
"""

import argparse
import re
import subprocess
import sys

# glibc before 2.34 keeps the thread functions in a library of their own.
ALLOWED_NEEDED = {"libc.so.6", "libpthread.so.0"}
ENTRY_POINTS = {"PyInit_quorvane", "module_is_main_quorvane"}
# (EI_CLASS, e_machine) from the ELF header.
MACHINES = {"x86_64": (2, 62), "i386": (1, 3)}


def _run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def needed(path):
    dynamic = _run("readelf", "-d", path)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def exported(path):
    lines = _run("nm", "-D", "--defined-only", path).splitlines()
    return {line.split()[-1] for line in lines if line.strip()}


def undefined(path):
    lines = _run("nm", "-D", "--undefined-only", path).splitlines()
    return {line.split()[-1] for line in lines if line.strip()}


def machine(path):
    """The MACHINES key the file is built for, or a description of the header."""
    with open(path, "rb") as f:
        header = f.read(20)
    if header[:4] != b"\x7fELF":
        return "not an ELF file"
    # e_machine is little-endian on every machine listed.
    found = (header[4], int.from_bytes(header[18:20], "little"))
    return next((name for name, ids in MACHINES.items() if ids == found),
                "ELF class %d, machine %d" % found)


def _names(names, limit=8):
    names = sorted(names)
    more = len(names) - limit
    return ", ".join(names[:limit]) + (" and %d more" % more if more > 0 else "")


def needed_problems(path):
    libs = needed(path)
    if not libs:
        return ["names no needed library at all (is it dynamically linked?)"]
    extra = set(libs) - ALLOWED_NEEDED
    return ["needs %s" % _names(extra)] if extra else []


def export_problems(path):
    symbols = exported(path)
    problems = []
    if symbols - ENTRY_POINTS:
        problems.append("exports %s" % _names(symbols - ENTRY_POINTS))
    if ENTRY_POINTS - symbols:
        problems.append("does not export %s" % _names(ENTRY_POINTS - symbols))
    return problems


def import_problems(path):
    """The Python API must come from the interpreter and no C++ runtime at all."""
    symbols = undefined(path)
    problems = []
    if "PyType_Ready" not in symbols:
        problems.append("does not leave PyType_Ready to the interpreter")
    cxx = [s for s in symbols
           if "GLIBCXX" in s or "CXXABI" in s or s.startswith(("_Znw", "_Zdl"))]
    if cxx:
        problems.append("imports the C++ runtime: %s" % _names(cxx))
    return problems


def problems(path, want_machine):
    found = machine(path)
    if found != want_machine:
        return ["is %s, not %s" % (found, want_machine)]
    return needed_problems(path) + export_problems(path) + import_problems(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="x86_64")
    args = parser.parse_args(argv)
    found = problems(args.file, args.machine)
    for problem in found:
        print("%s: %s" % (args.file, problem), file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
