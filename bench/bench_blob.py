#!/usr/bin/env python3
"""IR blob throughput against pickle, measured in one run.

Builds a store through the Python module, then times GraphStore.serialize()
and GraphStore.deserialize() against pickle.dumps / pickle.loads of the same
store's nodes() list. The module is imported from PYTHONPATH, e.g.

    PYTHONPATH=<build>/python python3 bench/bench_blob.py
    PYTHONPATH=<build>/python python3 bench/bench_blob.py --nodes 100000 --check

Targets: serialize at least 20x and deserialize at least 10x faster than
pickle's dumps and loads of that list. With --check the exit status is 1
when a target is missed.
"""

import argparse
import os
import pickle
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dagloom_core  # noqa: E402
from bench_common import best_of  # noqa: E402

SERIALIZE_TARGET = 20.0
DESERIALIZE_TARGET = 10.0


def build_store(n):
    """A graph of n distinct nodes shaped like recorded pipelines: a layer of
    parameterised sources, chains of binary and scalar operations, and a
    reduction closing every chain."""
    store = dagloom_core.GraphStore()
    sources = max(1, n // 100)
    for i in range(sources):
        store.add_source(f"input_{i}", {"shard": i, "dtype": "f32"})
    ops = ("add", "mul", "sub", "max")
    prev = 0
    i = store.node_count()
    while i < n:
        k = i % 16
        if k == 15:
            nid = store.add_reduction("sum", [prev], {"axis": i % 3})
        elif k % 4 == 3:
            nid = store.add_op("add", [prev], {"scalar": i * 0.5, "side": "r"})
        else:
            nid = store.add_op(ops[k % 4], [prev, i % sources])
        prev = nid
        i = store.node_count()
    return store


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs (default 3)")
    ap.add_argument("--check", action="store_true", help="exit 1 when a target is missed")
    args = ap.parse_args()

    t0 = time.perf_counter()
    store = build_store(args.nodes)
    print(f"built {store.node_count():,} nodes in {time.perf_counter() - t0:.2f} s "
          f"(module {dagloom_core.__file__})")

    ser_t, blob = best_of(store.serialize, args.repeat)
    de_t, back = best_of(lambda: dagloom_core.GraphStore.deserialize(blob), args.repeat)
    if back.node_count() != store.node_count() or back.serialize() != blob:
        print("round trip changed the store", file=sys.stderr)
        return 2
    del back

    # The node list exists only for pickle's side of the comparison.
    nodes = store.nodes()
    pd_t, pickled = best_of(lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL), args.repeat)
    pl_t, _ = best_of(lambda: pickle.loads(pickled), args.repeat)

    mb = 1024 * 1024

    def row(name, seconds, size):
        print(f"  {name:<22} {seconds * 1000:9.1f} ms  {size / mb / seconds:9.1f} MB/s  ({size / mb:.1f} MB)")

    print(f"best of {args.repeat}:")
    row("serialize()", ser_t, len(blob))
    row("deserialize()", de_t, len(blob))
    row("pickle.dumps(nodes())", pd_t, len(pickled))
    row("pickle.loads", pl_t, len(pickled))

    ser_ratio = pd_t / ser_t
    de_ratio = pl_t / de_t
    ok = ser_ratio >= SERIALIZE_TARGET and de_ratio >= DESERIALIZE_TARGET
    print(f"serialize   {ser_ratio:6.1f}x faster than pickle.dumps (target {SERIALIZE_TARGET:.0f}x)"
          f" {'met' if ser_ratio >= SERIALIZE_TARGET else 'MISSED'}")
    print(f"deserialize {de_ratio:6.1f}x faster than pickle.loads (target {DESERIALIZE_TARGET:.0f}x)"
          f" {'met' if de_ratio >= DESERIALIZE_TARGET else 'MISSED'}")
    return 1 if args.check and not ok else 0


if __name__ == "__main__":
    sys.exit(main())
