"""Wall time per call of each path with pyperf, native module against plain Python.

    python bench/wall.py                 # every path, in this process
    python bench/wall.py --fast          # fewer values, a quick look
    python bench/wall.py --path run_agent --spawn   # pyperf worker processes

Each path is benchmarked for the module and then, right after, for the
plain-Python classes, so that drift of a noisy machine hits both alike. By
default pyperf runs in this process: every worker would otherwise import
LangChain afresh, which costs more than all the measuring together. Other
pyperf options (--values, --processes, --min-time, -o FILE ...) pass through.
"""

import sys
import time

import pyperf

import paths


def time_func(loop):
    def timed(loops):
        stdout = sys.stdout
        sys.stdout = paths.SINK
        try:
            t0 = time.perf_counter()
            loop(loops)
            return time.perf_counter() - t0
        finally:
            sys.stdout = stdout
    return timed


def main():
    if "--spawn" not in sys.argv and "--worker" not in sys.argv:
        sys.argv.insert(1, "--in-process")
    if not {"-v", "--verbose", "--quiet", "-q"} & set(sys.argv):
        # pyperf's stability warnings drown the table on a shared machine.
        sys.argv.insert(1, "--quiet")
    runner = pyperf.Runner(processes=4, values=3, min_time=0.05,
                           add_cmdline_args=lambda cmd, args: cmd.extend(
                               a for name in args.path or () for a in ("--path", name)))
    runner.argparser.add_argument("--path", action="append", help="only this path (repeatable)")
    runner.argparser.add_argument("--spawn", action="store_true",
                                  help="use pyperf worker processes")
    args = runner.parse_args()
    selected = paths.select(args.path)
    mods = {impl: paths.load(impl) for impl in paths.IMPLS}
    results = {}
    for path in selected:
        for impl, mod in mods.items():
            stdout = sys.stdout
            sys.stdout = paths.SINK
            try:
                loop = paths.make_loop(path, mod)
            finally:
                sys.stdout = stdout
            results[path.name, impl] = runner.bench_time_func(f"{path.name}/{impl}",
                                                              time_func(loop))
    if args.worker or any(b is None for b in results.values()):
        return
    rows = []
    for path in selected:
        mod, ref = (results[path.name, impl] for impl in paths.IMPLS)
        rows.append([path.name, f"{mod.median() * 1e9:.0f}", f"{ref.median() * 1e9:.0f}",
                     f"{mod.median() / ref.median():.2f}"])
    print()
    print("Wall time per call, ns (pyperf median)")
    print(paths.format_table(["path", "module", "python", "module/python"], rows))


if __name__ == "__main__":
    main()
