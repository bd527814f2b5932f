"""End-to-end cost of connect() over calling SQLDatabase.from_uri directly.

    python bench/e2e_connect.py [-r 30]

Starts a private MariaDB server with the sample shop database, then times,
interleaved round by round, SQLDatabase.from_uri(uri) on its own, the
module's DatabaseConnector(...).connect() and the plain-Python one. Every
engine is disposed of after its sample, outside the timing, so that no round
inherits pooled connections. The overhead is the median of the per-round
differences; it is within noise when it is smaller than the spread (half the
interquartile range) of the direct calls.
"""

import argparse
import os
import statistics
import sys
import time

import paths

ROOT = os.path.dirname(paths.BENCH)


def quartiles(xs):
    q = statistics.quantiles(xs, n=4)
    return q[0], q[2]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-r", "--rounds", type=int, default=30)
    args = ap.parse_args(argv)
    sys.path.insert(0, ROOT)
    from quorvane_ask.privatedb import PrivateMariaDB
    from quorvane_ask.sample_shop import load_sample

    mods = {impl: paths.load(impl) for impl in paths.IMPLS}
    SQLDatabase = mods["reference"].SQLDatabase
    assert mods["quorvane"].SQLDatabase is SQLDatabase

    with PrivateMariaDB() as server:
        shop = load_sample(server)
        creds = (shop.user, shop.password, shop.host, shop.name)
        uri = "mysql+pymysql://{}:{}@{}/{}".format(*creds)

        def direct():
            return SQLDatabase.from_uri(uri)

        def through(mod):
            def run():
                conn = mod.DatabaseConnector(*creds)
                status = conn.connect()
                if not status["connected"]:
                    raise RuntimeError(f"{mod.__name__} could not connect: {status['message']}")
                return conn.db
            return run

        cases = {"direct": direct, "quorvane": through(mods["quorvane"]),
                 "reference": through(mods["reference"])}
        times = {name: [] for name in cases}
        for rnd in range(args.rounds + 3):  # the first three warm up
            for name, fn in cases.items():
                t0 = time.perf_counter()
                db = fn()
                elapsed = time.perf_counter() - t0
                db._engine.dispose()
                if rnd >= 3:
                    times[name].append(elapsed * 1e3)

    direct_t = times["direct"]
    lo, hi = quartiles(direct_t)
    noise = (hi - lo) / 2
    rows = [[name, f"{statistics.median(ts):.3f}", f"{min(ts):.3f}",
             f"{quartiles(ts)[0]:.3f}-{quartiles(ts)[1]:.3f}"] for name, ts in times.items()]
    print(f"connect() against the private server, ms per call ({args.rounds} rounds)")
    print(paths.format_table(["case", "median", "min", "IQR"], rows))
    for impl in paths.IMPLS:
        diffs = [a - b for a, b in zip(times[impl], direct_t)]
        dlo, dhi = quartiles(diffs)
        over = statistics.median(diffs)
        verdict = "within noise" if abs(over) <= noise else "ABOVE noise"
        print(f"{impl:9s} overhead: median {over:+.3f} ms (IQR {dlo:+.3f} to {dhi:+.3f}); "
              f"direct spread +-{noise:.3f} ms: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
