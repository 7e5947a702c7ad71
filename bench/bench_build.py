"""Graph building: GraphStore.add_source/add_op against a pure-Python interner.

Usage: PYTHONPATH=<build>/python python3 bench/bench_build.py [N]
Prints ns per node and bytes per node for both, and their ratios, what the
loop that drives both costs on its own (the least either build can cost), and
what the store's add calls cost net of the loop that drives them.
"""

import gc
import itertools
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_common import best_in_turns, build_records, report, rss_bytes  # noqa: E402


def build_native(records):
    import dagloom_core

    store = dagloom_core.GraphStore()
    add_source, add_op = store.add_source, store.add_op
    ids = []
    for rec in records:
        if rec[0] == "src":
            ids.append(add_source(rec[1], rec[2]))
        else:
            ids.append(add_op(rec[1], [ids[i] for i in rec[2]], rec[3]))
    return store


def loop_only(records):
    """The loop both builds share, with the store call replaced by handing
    out the next id as a fresh int object (as the store's ids are): what
    any build driven by this loop costs at the least."""
    ids = []
    n = 1000
    for rec in records:
        if rec[0] == "src":
            ids.append(n)
        else:
            ids.append(n + 0 * len([ids[i] for i in rec[2]]))
        n += 1
    return ids


def loop_counter(records):
    """The store build's own loop with each store call replaced by
    itertools.count().__next__ (its arguments still worked out): subtracted
    from the build, what is left is what the add calls cost."""
    next_id = itertools.count().__next__
    ids = []
    for rec in records:
        if rec[0] == "src":
            rec[1], rec[2]
            ids.append(next_id())
        else:
            rec[1], [ids[i] for i in rec[2]], rec[3]
            ids.append(next_id())
    return ids


def build_python(records):
    index, nodes, ids = {}, [], []
    for rec in records:
        if rec[0] == "src":
            key = ("src", rec[1], tuple(sorted(rec[2].items())) if rec[2] else ())
        else:
            key = ("op", rec[1], tuple(ids[i] for i in rec[2]), tuple(sorted(rec[3].items())) if rec[3] else ())
        got = index.get(key)
        if got is None:
            got = len(nodes)
            index[key] = got
            nodes.append(key)
        ids.append(got)
    return index, nodes


def memory_child(kind, n):
    records = build_records(n)
    gc.collect()
    before = rss_bytes()
    kept = build_native(records) if kind == "native" else build_python(records)
    gc.collect()
    print(rss_bytes() - before)
    del kept


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--memory":
        memory_child(sys.argv[2], int(sys.argv[3]))
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    records = build_records(n)
    (t_native, store), (t_python, _), (t_loop, _), (t_counter, _) = best_in_turns(
        [lambda: build_native(records), lambda: build_python(records), lambda: loop_only(records),
         lambda: loop_counter(records)])
    nodes = store.node_count()
    mem = {}
    for kind in ("native", "python"):
        out = subprocess.run([sys.executable, __file__, "--memory", kind, str(n)], capture_output=True, text=True,
                             check=True, env=os.environ)
        mem[kind] = int(out.stdout.strip()) / n
    print("records: %d, distinct nodes: %d" % (n, nodes))
    report("GraphStore build", t_native / n * 1e9, "ns/node")
    report("pure-Python interner", t_python / n * 1e9, "ns/node")
    report("time ratio native/python (target <= 0.25)", t_native / t_python, "x")
    report("the shared loop alone", t_loop / n * 1e9, "ns/node")
    report("loop alone/python (the floor of the ratio)", t_loop / t_python, "x")
    report("the loop with a counter for the store", t_counter / n * 1e9, "ns/node")
    report("add calls net of the loop (target <= 180)", (t_native - t_counter) / n * 1e9, "ns/node")
    report("GraphStore memory", mem["native"], "bytes/node")
    report("pure-Python interner memory", mem["python"], "bytes/node")
    report("memory ratio native/python (target <= 0.5)", mem["native"] / mem["python"], "x")


if __name__ == "__main__":
    main()
