"""Reduce, lower and run in one call, with one value per request."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._dask import compute
from ._impl import Impl
from ._local import evaluate
from ._plan import output_ids

if TYPE_CHECKING:
    from dagloom_core import GraphStore


def run(store: GraphStore, impl: Impl, outputs: Iterable[int] | None, *, reduce: bool = True,
        maximal_fusion: bool = False, scheduler: Any = None) -> list[Any]:
    """The values of `outputs` (None: the store's marked outputs), one per
    request in request order, repeats and requests the reduction merged
    included.

    With `reduce` the store is reduced first (traced, so each request finds
    its value, and a note on a user's exception names the recorded nodes
    as well as the reduced one); the store itself is never changed. With
    `scheduler` None everything runs in this process; otherwise on that
    Dask scheduler, as `compute` runs it.
    """
    if not isinstance(impl, Impl):
        raise TypeError(f"impl must be a dagloom_exec.Impl, not {type(impl).__name__}")
    if not reduce:
        if scheduler is None:
            return evaluate(store, impl, outputs)
        return compute(store, impl, outputs, scheduler)
    # Refused as evaluate refuses them, before anything is reduced.
    requests = None if outputs is None else output_ids(outputs, store.node_count())
    reduced, _, origins = store.reduce_traced(maximal_fusion=maximal_fusion, outputs=requests)
    if scheduler is None:
        return evaluate(reduced, impl, origins=origins)
    return compute(reduced, impl, scheduler=scheduler, origins=origins)

