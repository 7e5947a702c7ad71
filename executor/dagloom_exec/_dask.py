"""Lowering a plan to a Dask task graph, and running it there."""

from __future__ import annotations

import hashlib
import importlib
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._impl import Impl
from ._plan import make_plan

if TYPE_CHECKING:
    from dagloom_core import GraphStore, Origins

Key = tuple[str, int]


def graph_name(store: GraphStore) -> str:
    """The key prefix of a store's tasks: a digest of its canonical bytes, so
    equal stores share it and different stores in one Dask graph never do."""
    digest = hashlib.blake2b(store.serialize(), digest_size=16).hexdigest()
    return f"dagloom-{digest}"


def to_dask(store: GraphStore, impl: Impl, outputs: Iterable[int] | None = None, *,
            origins: Origins | None = None) -> tuple[dict[Key, Any], list[Key]]:
    """A plain Dask graph with one task per node the outputs need (a stage is
    one task), and the keys of `outputs` (default: the store's marked outputs)
    in that order. Keys are (name, node id), name from `graph_name`.

    With `origins`, from the traced reduction that made `store` and no
    `outputs`: one key per request of that reduction, in request order (a
    key repeats where requests were merged); the tasks' notes on a user's
    exception name the recorded nodes too.

    Every task is a picklable callable applied to the keys of the node's
    inputs; nothing else in the graph is a key or a task, so Dask never
    mistakes a parameter for either.
    """
    plan = make_plan(store, impl, outputs, origins)
    name = graph_name(store)
    graph: dict[Key, Any] = {
        (name, step.node_id): (step.task, *[(name, j) for j in step.inputs])
        for step in plan.steps
    }
    return graph, [(name, node_id) for node_id in plan.outputs]


def _dask(module: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"dagloom_exec.compute needs Dask ({module}): {exc}") from exc


def scheduler_get(scheduler: Any = None) -> Any:
    """The `get` function of a Dask scheduler: "threads", "sync",
    "processes", a distributed.Client, or None for Dask's configured default
    (the threaded scheduler when nothing is configured)."""
    base = _dask("dask.base")
    get = base.get_scheduler(scheduler=scheduler)
    return get if get is not None else _dask("dask.threaded").get


def compute(store: GraphStore, impl: Impl, outputs: Iterable[int] | None = None,
            scheduler: Any = None, *, origins: Origins | None = None) -> list[Any]:
    """`to_dask`, run on the given Dask scheduler; the values of `outputs`
    (or of the requests of `origins`), in order."""
    get = scheduler_get(scheduler)
    graph, keys = to_dask(store, impl, outputs, origins=origins)
    return list(get(graph, keys))
