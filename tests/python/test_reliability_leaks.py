"""Calling any public method, on its success path or on any of its error
paths, many times over does not leak: the reference counts of the arguments
and receivers come back exactly, the Python allocations the calls make do
not outlive them, and the resident memory of the process stays flat.

The default suite repeats each call DAGLOOM_LEAK_CALLS times (default
1000); tools/leak-check.py does the same with 100,000 calls per case.
"""
import gc
import os
import sys
import sysconfig
import tracemalloc

import pytest
from reliability_cases import ERRORS, SUCCESS, World, run_case

CALLS = int(os.environ.get("DAGLOOM_LEAK_CALLS", "1000"))
WARMUP = max(50, CALLS // 10)
# Blocks that may appear once per case however often it is called: free
# lists the calls refill, the interpreter's own tables growing once. A leak
# leaves at least one block behind per call.
BLOCK_SLACK = 64 + CALLS // 100
RSS_SLACK = 8 * 1024 * 1024
# Free-threaded interpreters hand some memory back only once every thread
# has passed a quiescent point (dict keys, for instance), so blocks freed
# during the calls may still be counted as live afterwards. There the
# allocation count says nothing; reference counts and resident memory do.
COUNT_ALLOCATIONS = not sysconfig.get_config_var("Py_GIL_DISABLED")

CASES = [(name, call, None) for name, call in SUCCESS] + [(name, call, exc) for name, call, exc, _ in ERRORS]
IDS = [c[0] for c in CASES]


def repeat(call, world, exc, n):
    for _ in range(n):
        run_case(call, world, exc)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name, call, exc", CASES, ids=IDS)
def test_repeated_calls_leave_no_references_or_objects(name, call, exc):
    w = World()
    repeat(call, w, exc, WARMUP)
    gc.collect()
    watched = w.watched()
    refs = [sys.getrefcount(o) for o in watched]
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None

    snapshot = None
    if COUNT_ALLOCATIONS:
        tracemalloc.start()
        try:
            repeat(call, w, exc, CALLS)
            gc.collect()
            snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(False, tracemalloc.__file__)])
        finally:
            tracemalloc.stop()
    else:
        repeat(call, w, exc, CALLS)
        gc.collect()

    after = [sys.getrefcount(o) for o in watched]
    leaked = {type(o).__name__: b - a for o, a, b in zip(watched, refs, after) if a != b}
    assert not leaked, f"{name}: references gained over {CALLS} calls: {leaked}"
    if snapshot is not None and len(snapshot.traces) > BLOCK_SLACK:
        survivors = len(snapshot.traces)
        top = "\n".join(str(st) for st in snapshot.statistics("lineno")[:5])
        pytest.fail(f"{name}: {survivors} Python allocations survive {CALLS} calls; largest:\n{top}")
    if total is not None:
        # A debug interpreter counts every reference in the process.
        assert sys.gettotalrefcount() - total < CALLS // 10, f"{name}: total reference count grows"


@pytest.mark.skipif(os.environ.get("DAGLOOM_UNDER_SANITIZER") == "1",
                    reason="a sanitizer's quarantine and shadow memory make resident size meaningless")
def test_resident_memory_stays_flat():
    w = World()
    for _, call, exc in CASES:
        repeat(call, w, exc, WARMUP)
    gc.collect()
    before = rss_bytes()
    for _, call, exc in CASES:
        repeat(call, w, exc, CALLS)
    gc.collect()
    grown = rss_bytes() - before
    calls = CALLS * len(CASES)
    assert grown <= RSS_SLACK, f"resident memory grew by {grown} bytes over {calls} calls"
