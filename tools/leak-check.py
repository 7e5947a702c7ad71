#!/usr/bin/env python3
"""Leak check at full strength: every public method of dagloom_core, on its
success path and on each documented error path, called --calls times
(default 100,000) after a warm-up. For each case it checks that

  - the reference counts of every argument and receiver come back exactly,
  - the interpreter's count of allocated blocks does not grow,
  - the resident memory of the process stays flat (within --rss-slack),
  - on a debug interpreter, sys.gettotalrefcount() does not grow,

and prints one line per case. Exits 1 if any case fails.

  PYTHONPATH=<dir with dagloom_core*.so> /usr/bin/python3 tools/leak-check.py [--calls N] [--only SUBSTRING]
"""
import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from reliability_cases import ERRORS, SUCCESS, World, run_case  # noqa: E402


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check(name, call, exc, calls, warmup, rss_slack, block_slack):
    w = World()
    for _ in range(warmup):
        run_case(call, w, exc)
    gc.collect()
    watched = w.watched()
    refs = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    rss = rss_bytes()
    t0 = time.perf_counter()
    for _ in range(calls):
        run_case(call, w, exc)
    seconds = time.perf_counter() - t0
    gc.collect()
    problems = []
    gained = {type(o).__name__: b - a for o, a, b in zip(watched, refs, [sys.getrefcount(o) for o in watched]) if a != b}
    if gained:
        problems.append(f"references gained {gained}")
    grown_blocks = sys.getallocatedblocks() - blocks
    if grown_blocks > block_slack:
        problems.append(f"{grown_blocks} more allocated blocks")
    grown_rss = rss_bytes() - rss
    if grown_rss > rss_slack:
        problems.append(f"resident memory grew by {grown_rss} bytes")
    if total is not None and sys.gettotalrefcount() - total > block_slack:
        problems.append(f"total reference count grew by {sys.gettotalrefcount() - total}")
    status = "FAIL " + "; ".join(problems) if problems else "ok"
    print(f"{name:34s} {calls / seconds:>10.0f} calls/s  rss {grown_rss / 1024:+8.0f} KiB  "
          f"blocks {grown_blocks:+6d}  {status}", flush=True)
    return not problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--calls", type=int, default=100_000, help="calls per case (default 100000)")
    ap.add_argument("--warmup", type=int, default=0, help="warm-up calls per case (default calls/20, at least 200)")
    ap.add_argument("--rss-slack", type=int, default=2 * 1024 * 1024, help="allowed RSS growth per case in bytes")
    ap.add_argument("--block-slack", type=int, default=200, help="allowed growth of allocated blocks per case")
    ap.add_argument("--only", default="", help="run only the cases whose id contains this text")
    args = ap.parse_args()
    warmup = args.warmup or max(200, args.calls // 20)

    import dagloom_core

    print(f"dagloom_core {dagloom_core.version()} from {dagloom_core.__file__} on Python {sys.version.split()[0]}; "
          f"{args.calls} calls per case after {warmup} warm-up calls")
    if not hasattr(sys, "gettotalrefcount"):
        print("(not a debug interpreter: sys.gettotalrefcount() is not available, that check is skipped)")
    cases = [(n, c, None) for n, c in SUCCESS] + [(n, c, e) for n, c, e, _ in ERRORS]
    cases = [c for c in cases if args.only in c[0]]
    if not cases:
        print("no case matches", args.only, file=sys.stderr)
        return 2
    t0 = time.perf_counter()
    failed = [name for name, call, exc in cases
              if not check(name, call, exc, args.calls, warmup, args.rss_slack, args.block_slack)]
    print(f"{len(cases)} cases, {len(cases) * args.calls} calls in {time.perf_counter() - t0:.0f}s; "
          f"{len(failed)} failed{': ' + ', '.join(failed) if failed else ''}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
