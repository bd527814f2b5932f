"""Start-up cost of the module itself, apart from importing its dependencies.

    python bench/startup.py [-r 15]

Each sample is a fresh interpreter that first runs the module body's import
statements (so LangChain, SQLAlchemy and PyMySQL are loaded and cached), then
times the three steps of `import quorvane` separately: finding the spec,
the create step (loading the shared object, PyInit, module creation) and the
exec step (constants, the module body against the cached dependencies, the
classes).
"""

import argparse
import statistics
import subprocess
import sys

import paths

TARGET_MS = 1.0

CHILD = f"""\
import importlib.util, sys, time, warnings
warnings.showwarning = lambda *a, **k: None
{paths.DEPENDENCY_IMPORTS}
t0 = time.perf_counter_ns()
spec = importlib.util.find_spec("quorvane")
t1 = time.perf_counter_ns()
module = importlib.util.module_from_spec(spec)
t2 = time.perf_counter_ns()
sys.modules["quorvane"] = module
spec.loader.exec_module(module)
t3 = time.perf_counter_ns()
assert module.DatabaseConnector and module.AgentRunner
print(t1 - t0, t2 - t1, t3 - t2)
"""

STEPS = ("find", "create", "exec", "total")


def sample():
    out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"start-up child failed:\n{out.stderr[-3000:]}")
    find, create, exec_ = (int(x) / 1e6 for x in out.stdout.split()[-3:])
    return find, create, exec_, find + create + exec_


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-r", "--repeat", type=int, default=15, help="fresh processes")
    args = ap.parse_args(argv)
    samples = [sample() for _ in range(args.repeat)]
    rows = [[step, f"{statistics.median(col):.3f}", f"{min(col):.3f}", f"{max(col):.3f}"]
            for step, col in zip(STEPS, zip(*samples))]
    print(f"Module start-up after its dependencies, ms ({args.repeat} fresh processes)")
    print(paths.format_table(["step", "median", "min", "max"], rows))
    total = statistics.median(s[3] for s in samples)
    print(f"median total {total:.3f} ms: {'under' if total < TARGET_MS else 'OVER'} "
          f"the {TARGET_MS:g} ms target")
    return 0


if __name__ == "__main__":
    sys.exit(main())
