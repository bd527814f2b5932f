"""Every benchmark in one go, each printing its table.

    python bench/run.py            # callgrind, wall --fast, start-up, end-to-end
    python bench/run.py --no-e2e   # without the private MariaDB server

Exits non-zero when a benchmark fails to run; the tables say whether the
targets are met.
"""

import os
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
STEPS = [
    ("callgrind.py", []),
    ("wall.py", ["--fast"]),
    ("startup.py", []),
    ("e2e_connect.py", []),
]


def main():
    skip = {"e2e_connect.py"} if "--no-e2e" in sys.argv[1:] else set()
    failed = []
    for script, args in STEPS:
        if script in skip:
            continue
        print(f"== {script} {' '.join(args)}".rstrip(), flush=True)
        if subprocess.run([sys.executable, os.path.join(BENCH, script), *args]).returncode:
            failed.append(script)
        print(flush=True)
    if failed:
        print(f"failed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
