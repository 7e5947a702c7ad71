"""Running a graph on Dask: Dask's own optimization against reduce() + to_dask.

Usage: PYTHONPATH=<build>/python python3 bench/bench_dask.py [--records N] [--length L]
                                                             [--repeat R] [--no-cluster]

The graph is examples/numeric_graph.py's front end: N recorded calls over
float64 vectors of L values, with mirrored commutative pairs, identity ops,
repeated subexpressions and dead branches. End to end, best of R:

  (a) the recorded store lowered one task per node, then Dask's optimization
      of a low-level graph (dask.optimization.cull + fuse), then the scheduler;
  (b) GraphStore.reduce, then to_dask (one task per node, a stage one task),
      then the same scheduler with no optimization of its own.

on the threaded scheduler and on a distributed.LocalCluster of two worker
processes (loopback). Values of (a) and (b) are checked to be equal.
"""

import argparse
import importlib
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))
import numeric_graph  # noqa: E402
from bench_common import report  # noqa: E402

from dagloom_exec import to_dask  # noqa: E402

optimization = importlib.import_module("dask.optimization")
threaded = importlib.import_module("dask.threaded")


def dask_optimized(store, impl, outputs):
    """(a): every recorded node a task, then cull + fuse as Dask does."""
    graph, _ = to_dask(store, impl, range(store.node_count()))
    keys = to_dask(store, impl, outputs)[1]
    culled, dependencies = optimization.cull(graph, keys)
    fused, _ = optimization.fuse(culled, keys, dependencies)
    return fused, keys


def reduced(store, impl, outputs, maximal):
    """(b): reduce, then one task per reduced node."""
    small, _ = store.reduce(maximal_fusion=maximal, outputs=outputs)
    return to_dask(small, impl)


def best(prepare, get, repeat):
    """The run with the best end-to-end time of prepare() + get(graph, keys):
    (total, of which prepare, task count, values)."""
    runs, values = [], None
    for _ in range(repeat):
        values = None
        t0 = time.perf_counter()
        graph, keys = prepare()
        t1 = time.perf_counter()
        values = get(graph, keys)
        runs.append((time.perf_counter() - t0, t1 - t0, len(graph)))
    total, prepared, tasks = min(runs)
    return total, prepared, tasks, values


def run(title, get, store, impl, outputs, repeat, want):
    print(f"\n== {title}")
    t_a, p_a, n_a, v_a = best(lambda: dask_optimized(store, impl, outputs), get, repeat)
    print(f"  (a) recorded + Dask cull/fuse     {n_a:7d} tasks  {t_a:7.2f} s"
          f"  (lowering and optimization {p_a:5.2f} s)")
    rows = []
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        t_b, p_b, n_b, v_b = best(lambda: reduced(store, impl, outputs, maximal), get, repeat)
        print(f"  (b) reduce ({rule:10}) + to_dask  {n_b:7d} tasks  {t_b:7.2f} s"
              f"  (reduction and lowering    {p_b:5.2f} s)")
        for name, values in (("(a)", v_a), (f"(b) {rule}", v_b)):
            if not numeric_graph.same_values(want, list(values)):
                raise SystemExit(f"{title}: {name} values differ from the local evaluation")
        rows.append((rule, n_b / n_a, t_b / t_a))
    for rule, tasks, wall in rows:
        report(f"  (b)/(a) tasks, {rule} fusion", tasks, "x")
        report(f"  (b)/(a) wall time, {rule} fusion", wall, "x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20_000)
    parser.add_argument("--length", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-cluster", action="store_true", help="threaded scheduler only")
    args = parser.parse_args()

    from dagloom_exec import evaluate
    store, outputs = numeric_graph.record(args.records)
    impl = numeric_graph.impl(args.length)
    t0 = time.perf_counter()
    want = evaluate(store, impl, outputs)
    print(f"{args.records} recorded calls, {store.node_count()} nodes, vectors of "
          f"{args.length} float64; evaluate() in this process: {time.perf_counter() - t0:.2f} s")

    run("threaded scheduler", threaded.get, store, impl, outputs, args.repeat, want)
    if args.no_cluster:
        return
    distributed = importlib.import_module("distributed")
    # The workers import numeric_graph (the ops' functions) by name.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [str(ROOT / "examples")] + [p for p in [os.environ.get("PYTHONPATH")] if p])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        run("distributed.LocalCluster, 2 worker processes", client.get, store, impl, outputs,
            args.repeat, want)


if __name__ == "__main__":
    main()
