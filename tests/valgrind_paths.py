"""Every path of every method under memcheck (driven by scripts/valgrind.sh).

    python tests/valgrind_paths.py [CALLS]             run each path CALLS times
    python tests/valgrind_paths.py --check XML SO      judge memcheck's XML log

The check fails on every memcheck error with a frame in the module, and on
every definite loss whose allocation the module made itself: a frame of the
module with no Python frame between it and the allocator. Losses of objects
that Python code allocated while the module was calling it (the imports of
start-up, the stand-ins) are the interpreter's, which does not free
everything at exit.
"""

import os
import sys
import xml.etree.ElementTree as ET


def drive(calls):
    import warnings

    import leakcheck

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        leakcheck.drive(leakcheck.PATHS, calls)
    # The real libraries once each: a server that refuses the connection,
    # and a toolkit that LangChain rejects; both are caught and reported.
    c = leakcheck.DatabaseConnector("u", "p", "127.0.0.1:1", "d")
    leakcheck.check(c.connect()["message"] and c.getdbinstance() is None, "real SQLDatabase")
    r = leakcheck.AgentRunner(object(), object())
    leakcheck.check(r.error is not None and r.run("q") is None, "real create_sql_agent")
    print(f"{len(leakcheck.PATHS)} paths x {calls} calls, 2 real-library paths")


def frames(error):
    return [{k: f.findtext(k) or "" for k in ("fn", "obj", "dir", "file", "line")}
            for f in error.find("stack").iter("frame")]


def ours(frame, so):
    return frame["obj"] == so or (os.path.basename(frame["dir"]) == "quorvane"
                                  and frame["file"].endswith((".cpp", ".h")))


def implicated(error, so):
    stack = frames(error)
    mine = [i for i, f in enumerate(stack) if ours(f, so)]
    if not mine:
        return False
    if error.findtext("kind") != "Leak_DefinitelyLost":
        return not error.findtext("kind").startswith("Leak_")
    return not any(f["fn"].startswith("_PyEval_EvalFrame") for f in stack[:mine[0]])


def check(xml_path, so):
    errors = ET.parse(xml_path).getroot().findall("error")
    bad = [e for e in errors if implicated(e, so)]
    for e in bad:
        what = e.findtext("xwhat/text") or e.findtext("what")
        print(f"{e.findtext('kind')}: {what}")
        for f in frames(e)[:16]:
            where = f"{f['file']}:{f['line']}" if f["file"] else f["obj"]
            print(f"    {'>' if ours(f, so) else ' '} {f['fn'] or '?'}  {where}")
    kinds = {}
    for e in errors:
        kinds[e.findtext("kind")] = kinds.get(e.findtext("kind"), 0) + 1
    print(f"memcheck records: {kinds or 'none'}; traced to the module: {len(bad)}")
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--check"]:
        sys.exit(check(sys.argv[2], os.path.realpath(sys.argv[3])))
    drive(int(sys.argv[1]) if len(sys.argv) > 1 else 3)
