"""IncrementalReducer: stepping a 1M-node graph built in 100 batches, and
finalize against GraphStore.reduce on the same graph.

Usage: PYTHONPATH=<build>/python python3 bench/bench_incremental.py [N]

Two graphs are run. "mixed" is the reduction benchmark's graph, whose
canonical form is most of the store. "redundant" records every op together
with its commutative mirror and an identity op over it, so its canonical
form is about a third of the store: there finalize, which reduces only the
canonical form, must cost at most half of reduce() over the whole store.
"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_common import IDENTITY, best_of, reduction_records, report  # noqa: E402


def redundant_records(n, seed=3):
    """Each logical op is recorded three times over: as add/mul of two recent
    nodes, as its mirror, and as an identity op over the first; later ops
    read any of the three. Returns (records, outputs) like reduction_records."""
    rng = random.Random(seed)
    records = [("src", "x%d" % i, [], None) for i in range(8)]
    outputs = []
    while len(records) < n:
        i = len(records)
        a = rng.randrange(max(0, i - 48), i)
        b = rng.randrange(max(0, i - 48), i)
        if rng.random() < 0.05:
            records.append(("red", "sum", [i - 1], None))
            outputs.append(len(records) - 1)
            continue
        name = rng.choice(["add", "mul"])
        records.append(("op", name, [a, b], None))
        records.append(("op", name, [b, a], None))
        records.append(("op", "add", [i], IDENTITY))
    return records[:n], [o for o in outputs if o < n] or [n - 1]


def run(label, records, outputs):
    import dagloom_core

    n = len(records)
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
    # finalize changes nothing once every node is stepped, so both calls can
    # be repeated; the best of two evens out a noisy machine.
    t_finalize, (_, fin_report) = best_of(lambda: reducer.finalize(store, outputs=outs), repeat=2)
    t_reduce, (_, red_report) = best_of(lambda: store.reduce(outputs=outs), repeat=2)
    share = reducer.canonical_count() / store.node_count()
    print("%s: store nodes %d, canonical %d (%.2f of the store)" % (label, store.node_count(),
                                                                     reducer.canonical_count(), share))
    print("finalize report", fin_report)
    print("reduce report  ", red_report)
    report("step (target <= 150)", step_time / store.node_count() * 1e9, "ns/node")
    report("finalize", t_finalize * 1e3, "ms")
    report("reduce()", t_reduce * 1e3, "ms")
    target = " (target <= 0.5)" if share <= 0.5 else " (no target: canonical form above half)"
    print("%-48s %12.2f x" % ("finalize/reduce" + target, t_finalize / t_reduce))


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


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    run("mixed", *reduction_records(n))
    run("redundant", *redundant_records(n))


if __name__ == "__main__":
    main()
