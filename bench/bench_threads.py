"""Threads sharing stores: one thread doing all the work against T threads
splitting it, in the same run, timed in turns, best of five.

Usage: PYTHONPATH=<build>/python <python> bench/bench_threads.py [N] [T]

N records per thread (default 200,000), T threads (default 2). Meant for a
free-threaded interpreter (3.13t); under one with a global interpreter lock
it prints the same table for reference (ratios near 1 or below there).

Each line is the speedup t(one thread, all the work) / t(T threads, 1/T
each); targets on this 2-core machine in brackets:
- building separate stores, one per thread;
- building into one store with disjoint keys [>= 1.3];
- building into one store, half of the calls hitting keys that exist [>= 1.5];
- serialize() / nodes() / to_dot() on one store [>= 1.7];
- reduce() on separate stores.

Two reference lines show what the interpreter itself allows, with no store
involved: the same build loops with each store call replaced by `slice`,
and the objects nodes() returns made in pure Python. A store line cannot
scale better than its reference line on the same machine.

Free-threaded CPython's allocator hands freed pages back to the system and
faults them in again on the next large batch of objects. Where a page fault
is dear (a virtual machine) that, not the store, sets the nodes() and
to_dot() lines; MIMALLOC_PURGE_DELAY=-1 in the environment keeps the pages
and shows what is left of the store's own share.
"""

import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_common import build_records, report  # noqa: E402

import dagloom_core as dc  # noqa: E402


def run_threads(jobs):
    """Runs each job on its own thread, all released together; wall seconds
    from the release to the last one done."""
    barrier = threading.Barrier(len(jobs) + 1)
    errors = []

    def body(job):
        barrier.wait()
        try:
            job()
        except BaseException as e:  # noqa: B036 - reported after the run
            errors.append(e)

    threads = [threading.Thread(target=body, args=(j,)) for j in jobs]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return seconds


REPEAT = 5


def own_copy(records, prefix=""):
    """The records as objects of their own (tuples, input lists, params
    dicts), with every source's name prefixed: a thread then reads only
    objects no other thread touches. Free-threaded CPython counts references
    to an object shared by threads atomically, and locks a dict for each
    read, so threads sharing records would measure that, not the store.
    With a prefix the graph is disjoint from the original (its ops read
    other nodes, so they differ too)."""
    def params(p):
        return None if p is None else dict(p)

    return [("src", prefix + r[1], params(r[2])) if r[0] == "src" else (r[0], r[1], list(r[2]), params(r[3]))
            for r in records]


def build_into(store, records, existing=None, existing_ids=None):
    """Interns `records` into `store`; with `existing`, every call of a new
    record is followed by one of an existing key (ids from existing_ids)."""
    add_source, add_op = store.add_source, store.add_op
    ids = []
    for i, rec in enumerate(records):
        if rec[0] == "src":
            ids.append(add_source(rec[1], rec[2]))
        else:
            ids.append(add_op(rec[1], [ids[j] for j in rec[2]], rec[3]))
        if existing is not None:
            old = existing[i]
            if old[0] == "src":
                add_source(old[1], old[2])
            else:
                add_op(old[1], [existing_ids[j] for j in old[2]], old[3])
    return ids


def speedup(label, target, one, split):
    """one() gives the job of the single thread, split() the jobs of the T
    threads; both make what they need (stores, copies) before the clock."""
    # The two are timed in turns, so that both meet the machine at the
    # same speed (a VM's speed drifts from one second to the next).
    t_one = t_split = float("inf")
    for _ in range(REPEAT):
        t_one = min(t_one, run_threads([one()]))
        t_split = min(t_split, run_threads(split()))
    note = f" (target >= {target})" if target else ""
    report(f"{label}{note}", t_one / t_split, "x")
    return t_one, t_split


class NoStore:
    """Takes the store's place in build_into: each call makes a small
    object and nothing else, so what is left is the driving loop."""
    add_source = slice
    add_op = slice


def nodes_in_python(count):
    """What nodes() returns for `count` two-input ops, made by the
    interpreter alone."""
    return [{"id": i, "output": False, "inputs": [i - 2, i - 1], "kind": "op", "name": "add",
             "params": {"k": i % 7}} for i in range(count)]


def fresh_ints(ids):
    """The same ids as int objects of their own (see own_copy)."""
    return [(i + 1) - 1 for i in ids]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}; "
          f"{threads} threads, {n} records each; speedup = t(1 thread, all) / t({threads} threads, split)")
    parts = [own_copy(build_records(n, seed=7), f"t{t}_") for t in range(threads)]

    # Separate stores.
    def one_separate():
        stores = [dc.GraphStore() for _ in parts]
        return lambda: [build_into(g, p) for g, p in zip(stores, parts)]

    speedup("build, a store per thread", None, one_separate,
            lambda: [lambda p=p, g=dc.GraphStore(): build_into(g, p) for p in parts])

    speedup("reference: the build loop alone (store calls -> slice)", None,
            lambda: lambda: [build_into(NoStore, p) for p in parts],
            lambda: [lambda p=p: build_into(NoStore, p) for p in parts])

    # One store, disjoint keys.
    holder = {}

    def one_shared():
        g = holder["g"] = dc.GraphStore()
        return lambda: [build_into(g, p) for p in parts]

    def split_shared():
        g = holder["g"] = dc.GraphStore()
        return [lambda p=p: build_into(g, p) for p in parts]

    speedup("build, one store, disjoint keys", 1.3, one_shared, split_shared)
    distinct = holder["g"].node_count()

    # One store, half of the calls hitting existing keys: the store starts
    # with a graph every thread re-interns while adding its own.
    old = build_records(n, seed=11)
    seed_store = dc.GraphStore()
    old_ids = build_into(seed_store, old)
    seed_blob = seed_store.serialize()
    olds = [(own_copy(old), fresh_ints(old_ids)) for _ in parts]

    def one_hits():
        g = dc.GraphStore.deserialize(seed_blob)
        return lambda: [build_into(g, p, o, oi) for p, (o, oi) in zip(parts, olds)]

    def split_hits():
        g = dc.GraphStore.deserialize(seed_blob)
        return [lambda p=p, o=o, oi=oi: build_into(g, p, o, oi) for p, (o, oi) in zip(parts, olds)]

    speedup("build, one store, half the calls existing", 1.5, one_hits, split_hits)

    # Readers of one store: the whole store built above.
    g = holder["g"]
    calls = 4

    def repeated(label, target, call):
        # Each result is dropped before the next call, as a reader would.
        def reader(count):
            for _ in range(count):
                call()

        speedup(label, target, lambda: lambda: reader(calls * threads), lambda: [lambda: reader(calls)] * threads)

    for name, target in (("serialize", 1.7), ("nodes", 1.7), ("to_dot", 1.7)):
        repeated(f"{name}() on one store of {distinct} nodes", target, getattr(g, name))
    repeated(f"reference: nodes()' objects made in pure Python ({distinct})", None,
             lambda: nodes_in_python(distinct))

    # Reductions of separate stores (for reference).
    stores = [dc.GraphStore() for _ in range(threads)]
    outs = []
    for s, p in zip(stores, parts):
        ids = build_into(s, p[: n // 2])
        outs.append(ids[-1])
    speedup("reduce() of separate stores", None,
            lambda: lambda: [s.reduce(outputs=[o]) for s, o in zip(stores, outs)],
            lambda: [lambda s=s, o=o: s.reduce(outputs=[o]) for s, o in zip(stores, outs)])


if __name__ == "__main__":
    main()
