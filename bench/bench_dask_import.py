"""Dask's default optimization against optimize_dask, on unchanged Dask programs.

Usage: PYTHONPATH=<build>/python python3 bench/bench_dask_import.py [--repeat R]
           [--sizes small,large] [--programs a,b] [--no-cluster]

The programs are the test corpus's dask.array programs (tests/exec/dask_programs.py)
at two sizes: "small", thousands of chunks of 40 x 40 (scheduling dominates),
and "large", chunks of 1000 x 1000 float64 (compute dominates). For each, in
one process, the two optimizers run in turns, best of R:

  tasks     the task count each optimizer leaves
  opt ms    the optimization alone (dask.base.collections_to_dsk)
  threads   end to end on the threaded scheduler: optimize + schedule + compute
  cluster   the same on a distributed.LocalCluster of 2 worker processes

ratios are optimize_dask / Dask's default; every value is checked against Dask's.
"""

import argparse
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "exec"))
import dask  # noqa: E402
import dask_programs as dp  # noqa: E402
import numpy as np  # noqa: E402

from dagloom_exec import optimize_dask  # noqa: E402

CONFIGS = {"dask": {}, "ours": {"array_optimize": optimize_dask}}
# name -> (n, chunk): thousands of small chunks, or a few of 1000 x 1000.
SIZES = {"small": (1600, 40), "large": (4000, 1000)}
# Too costly at the small size's chunk count (a block product per chunk
# triple) or in object arrays of millions of strings: run at a smaller n.
SMALL_N = {"matmul-transpose": 480}
SKIP = {"strings"}


def same(want, got):
    return all(np.asarray(w).dtype == np.asarray(g).dtype
               and np.array_equal(w, g, equal_nan=True) for w, g in zip(want, got))


def measure(collections, config, get):
    with dask.config.set(config):
        t0 = time.perf_counter()
        graph = dask.base.collections_to_dsk(collections)
        t_opt = time.perf_counter() - t0
        t0 = time.perf_counter()
        values = dask.compute(*collections, scheduler=get)
        t_run = time.perf_counter() - t0
    return len(graph), t_opt, t_run, values


def bench(name, size, schedulers, repeat):
    n, chunk = SIZES[size]
    if size == "small":
        n = SMALL_N.get(name, n)
    collections = dp.ARRAY_PROGRAMS[name][1](dp.inputs(n, chunk, strings=False))
    best = {}
    for _ in range(repeat):
        for label, get in schedulers.items():
            for mode, config in CONFIGS.items():
                tasks, t_opt, t_run, values = measure(collections, config, get)
                old = best.get((label, mode))
                best[(label, mode)] = (tasks, min(t_opt, old[1]) if old else t_opt,
                                       min(t_run, old[2]) if old else t_run, values)
    for label in schedulers:
        if not same(best[(label, "dask")][3], best[(label, "ours")][3]):
            raise SystemExit(f"{name} {size} {label}: values differ from Dask's")
    d, o = best[(next(iter(schedulers)), "dask")], best[(next(iter(schedulers)), "ours")]
    cells = [f"{name:17} {size:5} {n:5}/{chunk:<4}", f"{d[0]:6} {o[0]:6} {o[0] / d[0]:5.2f}",
             f"{d[1] * 1e3:7.1f} {o[1] * 1e3:7.1f} {o[1] / d[1]:5.2f}"]
    for label in schedulers:
        dt, ot = best[(label, "dask")][2], best[(label, "ours")][2]
        cells.append(f"{dt:7.3f} {ot:7.3f} {ot / dt:5.2f}")
    print(" | ".join(cells), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sizes", default="small,large")
    parser.add_argument("--programs", default=",".join(p for p in dp.ARRAY_PROGRAMS
                                                       if p not in SKIP))
    parser.add_argument("--no-cluster", action="store_true")
    args = parser.parse_args()
    schedulers = {"threads": "threads"}
    cluster = client = None
    if not args.no_cluster:
        import distributed
        os.environ["PYTHONPATH"] = os.pathsep.join(
            [str(ROOT / "tests" / "exec")] + [p for p in [os.environ.get("PYTHONPATH")] if p])
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster, set_as_default=False)
        schedulers["cluster"] = client
    head = ["program           size   n/chunk", " tasks: dask   ours ratio",
            "opt ms: dask    ours ratio"] + [f"{s} s: dask    ours ratio" for s in schedulers]
    print(" | ".join(head))
    try:
        for size in args.sizes.split(","):
            for name in args.programs.split(","):
                bench(name, size, schedulers, args.repeat)
    finally:
        if client is not None:
            client.close()
            cluster.close()


if __name__ == "__main__":
    main()
