"""Instructions per call of each path, native module against plain Python.

    python bench/callgrind.py                      # every path
    python bench/callgrind.py --path connect_ok    # one path (repeatable)
    python bench/callgrind.py --path run_agent --keep bench/results/cg
                                                   # then callgrind_annotate a dump

Each implementation runs in its own child under callgrind with
instrumentation off until the imports are done. Per path the child warms the
loop up, then counts a loop of N calls and one of 2N calls, each ending in a
labelled dump; (I(2N) - I(N)) / N is the cost of one call with its loop
iteration, free of the constant costs around the loops. The two children
run side by side on the two cores.
"""

import argparse
import concurrent.futures
import contextlib
import ctypes
import glob
import os
import re
import subprocess
import sys
import tempfile

import paths

RESULTS = os.path.join(paths.BENCH, "results")
CGCTL_SRC = os.path.join(paths.BENCH, "cgctl.c")
CGCTL = os.path.join(RESULTS, "cgctl.so")
TARGET = 1.10
WARMUP = 200


def build_cgctl():
    if os.path.exists(CGCTL) and os.path.getmtime(CGCTL) >= os.path.getmtime(CGCTL_SRC):
        return
    os.makedirs(RESULTS, exist_ok=True)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", CGCTL, CGCTL_SRC], check=True)


def child(impl, n, names):
    with paths.muted_warnings():
        exec(paths.DEPENDENCY_IMPORTS, {})
    mod = paths.load(impl)
    cg = ctypes.CDLL(CGCTL)
    stdout = sys.stdout
    sys.stdout = paths.SINK
    try:
        started = False
        for path in paths.select(names):
            loop = paths.make_loop(path, mod)
            loop(WARMUP)
            if not started:
                cg.cg_start()
                started = True
            cg.cg_zero()
            loop(n)
            cg.cg_dump(f"{path.name}:1".encode())
            loop(2 * n)
            cg.cg_dump(f"{path.name}:2".encode())
    finally:
        sys.stdout = stdout


def run_child(impl, n, names, outdir):
    out = os.path.join(outdir, f"{impl}.out")
    cmd = ["valgrind", "-q", "--tool=callgrind", "--instr-atstart=no",
           f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
           "--child", impl, "-n", str(n), *[a for name in names for a in ("--path", name)]]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"callgrind child for {impl} failed ({proc.returncode}):\n"
                           f"{proc.stderr[-3000:]}")
    counts = {}
    for dump in glob.glob(out + ".*"):
        with open(dump) as f:
            text = f.read()
        label = re.search(r"^desc: Trigger: Client Request: (\S+):(\d)$", text, re.M)
        summary = re.search(r"^summary: (\d+)", text, re.M)
        if label and summary:
            counts[label.group(1), int(label.group(2))] = int(summary.group(1))
    return {name: (counts[name, 2] - counts[name, 1]) / n for name in names}


def measure(names, n, isolate=False, jobs=2, keep=None):
    """{impl: {path: instructions per call}}; the dumps stay in `keep` if given."""
    build_cgctl()
    result = {impl: {} for impl in paths.IMPLS}
    groups = [[name] for name in names] if isolate else [names]
    if keep:
        os.makedirs(keep, exist_ok=True)
    with (contextlib.nullcontext(keep) if keep else
          tempfile.TemporaryDirectory(prefix="quorvane-cg-")) as tmp, \
            concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        futures = {}
        for i, group in enumerate(groups):
            for impl in paths.IMPLS:
                outdir = os.path.join(tmp, f"{impl}-{i}")
                os.makedirs(outdir, exist_ok=True)
                for old in glob.glob(os.path.join(outdir, "*")):
                    os.remove(old)
                futures[pool.submit(run_child, impl, n, group, outdir)] = impl
        for future in concurrent.futures.as_completed(futures):
            result[futures[future]].update(future.result())
    return result


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--path", action="append", help="only this path (repeatable)")
    ap.add_argument("-n", type=int, default=2000, help="calls in the shorter loop")
    ap.add_argument("--isolate", action="store_true", help="one child per path")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--check", action="store_true", help=f"exit 1 if a ratio is over {TARGET}")
    ap.add_argument("--keep", metavar="DIR",
                    help="keep the dumps (DIR/<impl>-0/<impl>.out.K) for callgrind_annotate")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    names = [p.name for p in paths.select(args.path)]
    if args.child:
        return child(args.child, args.n, names)
    res = measure(names, args.n, args.isolate, args.jobs, args.keep)
    rows, over = [], []
    for name in names:
        mod, ref = res["quorvane"][name], res["reference"][name]
        ratio = mod / ref
        if ratio > TARGET:
            over.append(name)
        rows.append([name, f"{mod:.0f}", f"{ref:.0f}", f"{ratio:.3f}",
                     f"over {TARGET:.2f}" if ratio > TARGET else ""])
    print(f"Instructions per call (callgrind, loop included, N={args.n})")
    print(paths.format_table(["path", "module", "python", "module/python", ""], rows))
    print(f"{len(names) - len(over)} of {len(names)} paths within {TARGET:.2f}"
          + (f"; over: {', '.join(over)}" if over else ""))
    return 1 if args.check and over else 0


if __name__ == "__main__":
    sys.exit(main())
