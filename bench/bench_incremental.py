"""IncrementalReducer: stepping a 1M-node graph built in 100 batches, and
finalize against GraphStore.reduce on the same graph.

Usage: PYTHONPATH=<build>/python python3 bench/bench_incremental.py [N]
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_common import reduction_records, report  # noqa: E402


def main():
    import dagloom_core

    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    records, outputs = reduction_records(n)
    store = dagloom_core.GraphStore()
    reducer = dagloom_core.IncrementalReducer()
    batch = max(1, n // 100)
    step_time = 0.0
    ids = []
    for start in range(0, n, batch):
        chunk = records[start:start + batch]
        # Renumber the chunk's inputs through the ids recorded so far.
        ids.extend(record_into_offset(store, chunk, ids))
        t0 = time.perf_counter()
        reducer.step(store)
        step_time += time.perf_counter() - t0
    outs = [ids[o] for o in outputs]
    t0 = time.perf_counter()
    _, fin_report = reducer.finalize(store, outputs=outs)
    t_finalize = time.perf_counter() - t0
    t0 = time.perf_counter()
    _, red_report = store.reduce(outputs=outs)
    t_reduce = time.perf_counter() - t0
    print("store nodes %d, canonical %d (%.2f of the store)" % (store.node_count(), reducer.canonical_count(),
                                                                reducer.canonical_count() / store.node_count()))
    print("finalize report", fin_report)
    print("reduce report  ", red_report)
    report("step (target <= 150)", step_time / store.node_count() * 1e9, "ns/node")
    report("finalize", t_finalize * 1e3, "ms")
    report("reduce()", t_reduce * 1e3, "ms")
    report("finalize/reduce (target <= 0.5)", t_finalize / t_reduce, "x")


def record_into_offset(store, chunk, ids):
    add = {"src": store.add_source, "op": store.add_op, "red": store.add_reduction}
    out = []
    for rec in chunk:
        mapped = [ids[i] if i < len(ids) else out[i - len(ids)] for i in rec[2]]
        if rec[0] == "src":
            out.append(store.add_source(rec[1], rec[3]))
        else:
            out.append(add[rec[0]](rec[1], mapped, rec[3]))
    return out


if __name__ == "__main__":
    main()
