"""Running a plan in this process."""

from __future__ import annotations

from collections import Counter
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._impl import Impl
from ._plan import make_plan

if TYPE_CHECKING:
    from dagloom_core import GraphStore, Origins


def evaluate(store: GraphStore, impl: Impl, outputs: Iterable[int] | None = None, *,
             origins: Origins | None = None) -> list[Any]:
    """The values of the nodes `outputs` (default: the store's marked outputs), in that order.

    Every node the outputs need is computed once, in id order, and nothing
    else; a value is dropped as soon as no later node reads it. Missing
    implementations and unknown output ids are reported before anything runs.

    `origins`, from the traced reduction that made `store`: without
    `outputs`, one value per request of that reduction, in request order;
    and a note on a user's exception names the recorded nodes too.
    """
    plan = make_plan(store, impl, outputs, origins)
    keep = set(plan.outputs)
    readers = Counter(j for step in plan.steps for j in step.inputs)
    values: dict[int, Any] = {}
    for step in plan.steps:
        values[step.node_id] = step.task(*[values[j] for j in step.inputs])
        for j in step.inputs:
            readers[j] -= 1
            if readers[j] == 0 and j not in keep:
                del values[j]
    return [values[node_id] for node_id in plan.outputs]
