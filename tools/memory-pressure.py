#!/usr/bin/env python3
"""Memory-pressure check: every public method of dagloom_core, on its
success path and on each documented error path (the cases of
tests/python/reliability_cases.py, plus stepping and finalizing over a large
delta and growing the store by many calls), called on a store of a few
hundred thousand nodes with the address space limited (RLIMIT_AS) to a
little above what the process uses, for each headroom of a sweep.

After each call, with the limit lifted, it checks that

  - the call succeeded, raised its documented error, or raised MemoryError
    (a PanicException, a crash or any other exception fails the check);
  - a call that raised left everything as it was: the store's node count,
    outputs and serialize() bytes, the reducers' watermark, total work and
    canonical count;
  - every object is still usable: the store answers node_count(),
    serialize(), reduce() and add_op (an existing key gives its id, a new
    one the next id), the reducers answer their counters.

A call that succeeded may change what it legitimately changes (nodes a
building call added, a reducer it stepped): that becomes the state the next
call is compared with.

  PYTHONPATH=<dir with dagloom_core*.so> /usr/bin/python3 tools/memory-pressure.py
      [--nodes N] [--headroom-mib 1,2,4,...] [--only SUBSTRING]
"""
import argparse
import gc
import os
import resource
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from reliability_cases import ERRORS, PANIC, SUCCESS, World  # noqa: E402

import dagloom_core as dc  # noqa: E402

MIB = 1 << 20


def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def grow_store(g, count, seed_ids):
    """Appends `count` nodes of a realistic mix to g: chains of binary ops with
    a few parameter lists, reductions, exchanges and externals."""
    p = list(seed_ids)
    names = ("add", "mul", "sub", "max")
    pd = dc.PayloadDescriptor(kind="model", content_hash="h", framework="fw", version="1", io_schema="io")
    for i in range(count):
        r = i % 50
        if r == 49:
            p.append(g.add_reduction("sum", [p[-1]], {"axis": i % 3}))
        elif r == 48:
            p.append(g.add_exchange([p[-1]], {"scheme": "hash", "partitions": 4}))
        elif r == 47:
            p.append(g.add_external(pd, [p[-1], p[-3]], {"k": i}))
        else:
            p.append(g.add_op(names[i % 4], [p[-1], p[-2]], {"k": i % 7}))
    return p


class BigWorld(World):
    """The reliability world with its store grown to `nodes` nodes. The
    reducer w.r has consumed only the first few nodes; w.half is a store
    holding the first half of w.g's nodes (same ids), for reducers that are
    fed the other half in one step."""

    def __init__(self, nodes):
        super().__init__()
        base = self.g.node_count()
        half = nodes // 2
        self.half = dc.GraphStore.deserialize(self.g.serialize())
        grow_store(self.half, half - base, range(base))
        grow_store(self.g, half - base, range(base))
        assert self.half.serialize() == self.g.serialize()
        grow_store(self.g, nodes - half, range(half))
        self.r_full = dc.IncrementalReducer()
        self.r_full.step(self.g)
        self.n = self.g.node_count()
        self.missing = [self.n]
        self.probes = 0

    def reducers(self):
        return [v for v in vars(self).values() if isinstance(v, dc.IncrementalReducer)]

    def state(self):
        """What a failed call must not change. Reading it is also the check
        that every store still answers node_count(), outputs() and
        serialize(). (w.half, which no case changes, is only counted: its
        bytes would double the time of a sweep.)"""
        stores = (self.g, self.half, self.reduced, self.bad_stage)
        return (
            [s.node_count() for s in stores],
            [s.outputs() for s in stores],
            [s.serialize() for s in (self.g, self.reduced, self.bad_stage)],
            [(r.watermark(), r.total_work(), r.canonical_count()) for r in self.reducers()],
            dict(self.params), list(self.ins01),
        )


def fresh_half_reducer(w):
    w.r_half = dc.IncrementalReducer()
    w.r_half.step(w.half)


def grow_many(w):
    """Add_op calls of new keys, past the next doubling of the store's
    columns: the store grows (and moves its tables) while memory runs out
    at some call; the calls before it stand."""
    n = w.g.node_count()
    count = (1 << n.bit_length()) - n + 1000
    w.grown = 0
    for i in range(count):
        w.g.add_op("grow", [n - 1 - (i % 100)], {"i": w.probes, "j": i})
        w.grown += 1


EXTRA_SUCCESS = [
    # (id, call, setup run before each call with the limit lifted)
    ("step-large-delta", lambda w: w.r_half.step(w.g), fresh_half_reducer),
    ("finalize-large-delta", lambda w: w.r_half.finalize(w.g, outputs=[6, w.n - 1]), fresh_half_reducer),
    ("finalize-traced-large-delta", lambda w: w.r_half.finalize_traced(w.g, outputs=[6, w.n - 1]),
     fresh_half_reducer),
    ("reduce-everything", lambda w: w.g.reduce(outputs=[w.n - 1]), None),
    ("reduce-traced-everything", lambda w: w.g.reduce_traced(outputs=[w.n - 1]), None),
    ("grow-many", grow_many, None),
]


def classify(call, w, exc):
    """Runs the call; returns 'ok', 'expected', 'memory' or a failure text."""
    try:
        call(w)
    except MemoryError:
        return "memory"
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        name = type(e).__name__
        if exc == PANIC and name == PANIC:
            return "expected"
        if exc is not None and exc != PANIC and isinstance(e, exc):
            return "expected"
        return f"raised {name}: {e}"
    return "ok" if exc is None else "no exception raised"


def check_usable(w):
    """Every object answers; a new node gets the next id. Returns problems."""
    problems = []
    n = w.g.node_count()
    w.g.reduce()
    w.half.reduce(outputs=[0])
    if w.g.add_op("add", w.ins01) != 2:
        problems.append("an existing key got another id")
    w.probes += 1
    probe = w.g.add_op("probe", [n - 1], {"i": w.probes})
    if probe != n:
        problems.append(f"a new node got id {probe}, not {n}")
    for r in w.reducers():
        r.watermark(), r.total_work(), r.canonical_count()
    return problems


def sweep_case(w, name, call, exc, setup, headrooms):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for headroom in headrooms:
        if setup is not None:
            setup(w)
        # Ids the error cases expect to name no node follow the store's growth.
        w.n = w.g.node_count()
        w.missing = [w.n]
        before = w.state()
        gc.collect()
        limit = (vm_size() + headroom, hard)
        unlimited = (soft, hard)
        resource.setrlimit(resource.RLIMIT_AS, limit)
        try:
            outcome = classify(call, w, exc)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, unlimited)
        try:
            problems = [] if outcome in ("ok", "expected", "memory") else [outcome]
            if outcome == "memory" and name == "grow-many":
                problems += check_grown(w, before)
            elif outcome != "ok" and w.state() != before:
                problems.append("a call that raised changed the objects")
            problems += check_usable(w)
        except BaseException as e:  # noqa: B036
            problems = [f"objects unusable afterwards: {type(e).__name__}: {e}"]
        outcomes.append((headroom, outcome, problems))
    return outcomes


def check_grown(w, before):
    """After grow-many ran out of memory: exactly the calls that returned
    added nodes, the old nodes are untouched, and the failed key is absent."""
    problems = []
    old_count = before[0][0]
    if w.g.node_count() != old_count + w.grown:
        problems.append(f"{w.g.node_count() - old_count} nodes added by {w.grown} successful calls")
    old, new = before[2][0], w.g.serialize()
    tail = 4 + 8 * len(before[1][0])
    if new[8:len(old) - tail] != old[8:len(old) - tail]:
        problems.append("nodes that existed before changed")
    if before[1] != [s.outputs() for s in (w.g, w.half, w.reduced, w.bad_stage)]:
        problems.append("outputs changed")
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nodes", type=int, default=300_000, help="nodes in the store under test (default 300000)")
    ap.add_argument("--headroom-mib", default="1,2,4,8,16,32,64",
                    help="address-space headrooms to sweep, in MiB (default 1,2,4,8,16,32,64)")
    ap.add_argument("--only", default="",
                    help="run only the cases whose id contains one of these comma-separated texts")
    args = ap.parse_args()
    headrooms = [int(float(h) * MIB) for h in args.headroom_mib.split(",")]

    t0 = time.perf_counter()
    w = BigWorld(args.nodes)
    # The world lives to the end: collections need not walk it again and again.
    gc.collect()
    gc.freeze()
    print(f"dagloom_core {dc.version()} from {dc.__file__} on Python {sys.version.split()[0]}; "
          f"store of {w.g.node_count()} nodes built in {time.perf_counter() - t0:.1f}s; "
          f"headrooms {args.headroom_mib} MiB", flush=True)
    cases = ([(n, c, None, None) for n, c in SUCCESS] + [(n, c, None, s) for n, c, s in EXTRA_SUCCESS]
             + [(n, c, e, None) for n, c, e, _ in ERRORS])
    wanted = args.only.split(",")
    cases = [c for c in cases if any(w in c[0] for w in wanted)]
    if not cases:
        print("no case matches", args.only, file=sys.stderr)
        return 2
    failed = []
    memory_errors = 0
    for name, call, exc, setup in cases:
        t = time.perf_counter()
        outcomes = sweep_case(w, name, call, exc, setup, headrooms)
        memory_errors += sum(o == "memory" for _, o, _ in outcomes)
        bad = [(h, o, p) for h, o, p in outcomes if p]
        summary = " ".join({"ok": "+", "expected": "e", "memory": "M"}.get(o, "!") for _, o, _ in outcomes)
        status = "ok" if not bad else "FAIL " + "; ".join(
            f"{h // MIB} MiB: {o}: {', '.join(p)}" for h, o, p in bad)
        print(f"{name:34s} {summary}  {time.perf_counter() - t:5.1f}s  {status}", flush=True)
        if bad:
            failed.append(name)
    print(f"{len(cases)} cases x {len(headrooms)} headrooms in {time.perf_counter() - t0:.0f}s; "
          f"{memory_errors} calls raised MemoryError; {len(failed)} failed"
          f"{': ' + ', '.join(failed) if failed else ''}")
    print(f"{len(cases) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
