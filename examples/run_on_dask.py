"""Record a numeric graph, reduce it, and run it on a local Dask cluster.

    PYTHONPATH=<build>/python python3 examples/run_on_dask.py [--records N] [--length L]

Records N calls of a front end (see numeric_graph.py), reduces the store under
both fusion rules, and runs the recorded graph and each reduced one on a
distributed.LocalCluster of two worker processes on loopback, printing task
counts and wall times and checking that every run gives the same values.
"""

from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import time
from collections.abc import Callable
from typing import Any, TypeVar

import numeric_graph

import dagloom_core
from dagloom_exec import compute, evaluate, to_dask

T = TypeVar("T")
HERE = pathlib.Path(__file__).resolve().parent


def timed(fn: Callable[[], T]) -> tuple[T, float]:
    t0 = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t0


def start_cluster(workers: int) -> tuple[Any, Any]:
    """A LocalCluster of worker processes on loopback, and a client of it."""
    distributed = importlib.import_module("distributed")
    # The workers import numeric_graph (the ops' functions) by name.
    path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join([str(HERE)] + ([path] if path else []))
    cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    return cluster, distributed.Client(cluster)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--records", type=int, default=20_000, help="front-end calls to record")
    parser.add_argument("--length", type=int, default=10_000, help="float64 values per vector")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    args = parser.parse_args()

    (g, outputs), t = timed(lambda: numeric_graph.record(args.records))
    impl = numeric_graph.impl(args.length)
    print(f"recorded {args.records} calls: {g.node_count()} nodes, {len(outputs)} outputs ({t:.2f}s)")
    forms: list[tuple[str, dagloom_core.GraphStore, list[int] | None]] = [("recorded", g, outputs)]
    for maximal in (False, True):
        rule = "maximal" if maximal else "single-use"
        (reduced, report), t = timed(lambda: g.reduce(maximal_fusion=maximal, outputs=outputs))
        print(f"reduced, {rule} fusion, in {t * 1000:.1f} ms: {report}")
        forms.append((f"reduced ({rule})", reduced, None))

    want, t = timed(lambda: evaluate(g, impl, outputs))
    print(f"evaluated the recorded graph in this process in {t:.2f}s")

    cluster, client = start_cluster(args.workers)
    try:
        print(f"cluster: {args.workers} worker processes at {client.scheduler.address}")
        for name, store, outs in forms:
            tasks = len(to_dask(store, impl, outs)[0])
            got, t = timed(lambda: compute(store, impl, outs, scheduler=client))
            same = numeric_graph.same_values(want, got)
            print(f"  {name:22} {tasks:6} tasks  {t:6.2f}s  same values: {same}")
            if not same:
                raise SystemExit(f"{name}: values differ from the recorded graph's")
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
