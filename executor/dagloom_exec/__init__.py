"""Run graphs recorded or reduced by dagloom_core: in this process, or on Dask.

    from dagloom_exec import Impl, evaluate, to_dask, compute

    impl = Impl(ops={"add": operator.add}, sources={"x": 1, "y": 2})
    evaluate(store, impl, outputs=[node_id])      # values, in order
    graph, keys = to_dask(store, impl)            # a plain Dask task graph
    compute(store, impl, scheduler="threads")     # run it on a Dask scheduler
    run(store, impl, [a, b, c])                   # reduce (traced) and run: one value per request

    store, impl, ids = from_dask(dsk, keys)       # a Dask graph as a store
    dask.config.set(array_optimize=optimize_dask) # Dask's optimizer: the reducer

The package reads a store only through its public API (`nodes()`,
`outputs()`, `serialize()`), so it runs any store: recorded, reduced,
deserialized or finalized incrementally. Dask and numpy are imported only
by the functions that need them, when they are called.
"""

from ._dask import compute, graph_name, to_dask
from ._dask_import import from_dask
from ._dask_optimize import optimize_dask
from ._impl import Impl
from ._local import evaluate
from ._run import run

__all__ = ["Impl", "compute", "evaluate", "from_dask", "graph_name", "optimize_dask", "run",
           "to_dask"]
