"""Dask's optimizer replaced by the reducer: `optimize_dask`.

A Dask graph is read into a store (`from_dask`), reduced, and lowered back
to a plain Dask dict whose requested keys keep their names. The reduced
store's stages are taken apart and the tasks regrouped here, because what
a task should hold is a question of parallelism that the module's two
fusion rules do not ask: fusing every single-use producer into its reader
puts a whole reduction tree into one task.

A unit (a member of a reduced stage, or a plain node) joins the task of its
readers only when all its readers are in that task and either

- every reader works chunk by chunk (a Blockwise layer's call, or a rule
  op): the chunks stay apart, as Dask's own Blockwise fusion keeps them; or
- the reader has no other input that has to be computed (a chain).

So independent chunks and the branches of a reduction tree stay separate
tasks, and data-making roots (zeros, random draws, small literals) fold
into the one task that reads them, as Dask's root fusion folds them. A large
literal (a chunk that `from_array` sliced) stays a value of the graph, as
Dask has it: inside a task, a distributed scheduler would carry it as part
of the task's function.
"""

from __future__ import annotations

import gc
import importlib
import uuid
from collections.abc import Callable, Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

from ._dask_import import Conversion, _flatten
from ._plan import Call, Member, RunStage

if TYPE_CHECKING:
    from dagloom_core import GraphStore, Origins


def _reduced_ids(store: GraphStore, ids: list[int]) -> tuple[list[Any], list[int], Origins]:
    """The reduced store's nodes(), the reduced id of every request, in order
    (requests the reduction merged included), and where each recorded node
    went, from the traced reduction: a store marks each output once, so its
    outputs() could not say."""
    reduced, _, origins = store.reduce_traced(outputs=ids)
    return reduced.nodes(), list(origins.outputs), origins


class _Unit:
    __slots__ = ("name", "fn", "params", "inputs", "chunkwise", "root", "cheap", "readers",
                 "groups")

    def __init__(self, name: str, fn: Any, params: Mapping[str, Any], inputs: list[int],
                 chunkwise: bool, root: bool, cheap: bool) -> None:
        self.name = name    # where a failure happened, as the op's name tells it
        self.fn = fn
        self.params = params
        self.inputs = inputs
        self.chunkwise = chunkwise
        # A literal: folding it into its reader costs no parallelism. (Data
        # made by a call, even a pure one, may take as long as anything else;
        # it folds only along the edges above.)
        self.root = root
        self.cheap = cheap      # a literal, or a pure call chunk by chunk
        self.readers: list[int] = []
        self.groups: list[int] = []     # the tasks it is computed in


def _units(nodes: list[Any], conv: Conversion,
           origins: Origins) -> tuple[list[_Unit], list[int], list[int]]:
    """The reduced graph one call per unit, the unit giving each node's value,
    and how many recorded calls (computations in Dask's graph) each unit is."""
    units: list[_Unit] = []
    value_of: list[int] = []
    first_of: list[int] = []
    ops, sources, chunkwise, shared = conv.impl.ops, conv.impl.sources, conv.chunkwise, \
        conv.shared
    for node in nodes:
        kind = node["kind"]
        first_of.append(len(units))
        if kind == "stage":
            first = len(units)
            ins = [value_of[i] for i in node["inputs"]]
            for m in node["members"]:
                refs = [first + j if where == "member" else ins[j] for where, j in m["inputs"]]
                name = m["name"]
                units.append(_Unit(name, ops[name], m["params"], refs, chunkwise[name],
                                   False, chunkwise[name] and name in shared))
        elif kind == "op":
            name = node["name"]
            units.append(_Unit(name, ops[name], node["params"],
                               [value_of[i] for i in node["inputs"]], chunkwise[name],
                               False, chunkwise[name] and name in shared))
        elif kind == "source":
            const = sources[node["name"]]
            small = getattr(const.value, "nbytes", 0) <= _EMBED_BYTES
            units.append(_Unit(node["name"], const, {}, [], False, True, small))
        else:   # from_dask records no other kind
            raise ValueError(f"optimize_dask cannot lower a {kind} node")
        value_of.append(len(units) - 1)
    recorded = [0] * len(units)
    for node, member in zip(origins.node, origins.member):
        if node >= 0:
            recorded[value_of[node] if member < 0 else first_of[node] + member] += 1
    return units, value_of, recorded


# A literal of at most this many bytes is embedded in every task that reads
# it; a larger one stays a value of the graph, as Dask has it (a distributed
# scheduler would carry it inside each task's function).
_EMBED_BYTES = 800_000


def _identity(x: Any) -> Any:
    return x


def lower(nodes: list[Any], conv: Conversion, reduced_ids: list[int], origins: Origins,
          keys: list[Any]) -> dict[Any, Any]:
    """A plain Dask dict computing `keys` from the reduced store's nodes()."""
    units, value_of, recorded = _units(nodes, conv, origins)
    requested: dict[int, Any] = {}
    for key, node in zip(keys, reduced_ids):
        requested.setdefault(value_of[node], key)
    needed = bytearray(len(units))
    for u in requested:
        needed[u] = 1
    for u in range(len(units) - 1, -1, -1):
        if needed[u]:
            for i in units[u].inputs:
                if not needed[i]:
                    needed[i] = 1
                units[i].readers.append(u)
    groups: list[list[int]] = []
    # Whether a unit's inputs may join its task, per unit (see _may_join).
    joins = [-1] * len(units)
    for u in range(len(units) - 1, -1, -1):
        if not needed[u]:
            continue
        unit = units[u]
        if u not in requested and unit.readers and (unit.cheap or not unit.root):
            for r in unit.readers:
                if joins[r] < 0:
                    joins[r] = _may_join(units, r)
                if not joins[r]:
                    break
            else:
                at = units[unit.readers[0]].groups
                if len(unit.readers) > 1 or len(at) > 1:
                    at = sorted({g for r in unit.readers for g in units[r].groups})
                # A cheap value that merging made common to several tasks
                # is computed in each, as Dask computed its copies, but never
                # in more tasks than Dask computed it: a task of its own would
                # cost a task more than Dask's graph, and on a cluster a copy
                # of the value to each reader's worker.
                if len(at) == 1 or (unit.cheap and (unit.root or len(at) <= recorded[u])):
                    unit.groups = at
                    for g in at:
                        groups[g].append(u)
                    continue
        unit.groups = [len(groups)]
        groups.append([u])
    prefix = f"dagloom-{uuid.uuid4().hex}"
    names = [requested.get(members[0], (prefix, g)) for g, members in enumerate(groups)]
    graph: dict[Any, Any] = {}
    for g, members in enumerate(groups):
        graph[names[g]] = _task(units, members[::-1], names)
    for key, node in zip(keys, reduced_ids):
        if key not in graph:
            graph[key] = (_identity, names[units[value_of[node]].groups[0]])
    return graph


def _plain_value(value: Any) -> bool:
    """Whether Dask takes value, standing in a graph, for itself: not a task,
    a list, a container it walks, nor something that could be a key."""
    if isinstance(value, (tuple, list, dict, set)):
        return False
    try:
        hash(value)
    except TypeError:
        return True
    return False


def _may_join(units: list[_Unit], reader: int) -> bool:
    unit = units[reader]
    if unit.chunkwise:
        return True
    computed = {i for i in unit.inputs if not units[i].root}
    return len(computed) <= 1


def _task(units: list[_Unit], members: list[int], names: list[Any]) -> tuple[Any, ...]:
    """One task for a group, its members in id order (the last is its value)."""
    inputs: list[int] = []
    slot: dict[int, int] = {}
    position = {u: j for j, u in enumerate(members)}

    def ref(i: int) -> tuple[bool, int]:
        if i in position:
            return True, position[i]
        if i not in slot:
            slot[i] = len(inputs)
            inputs.append(i)
        return False, slot[i]

    if len(members) == 1:
        unit = units[members[0]]
        if unit.root and _plain_value(unit.fn.value):
            return unit.fn.value    # type: ignore[no-any-return]
        return (Call(unit.name, unit.fn, unit.params),
                *[names[units[i].groups[0]] for i in unit.inputs])
    parts = [Member(units[u].name, units[u].fn, units[u].params,
                    tuple([ref(i) for i in units[u].inputs])) for u in members]
    task = RunStage(f"{len(members)} fused Dask tasks", parts)
    # An input from outside is a value of one task only: a value computed in
    # several tasks is a member of each that reads it.
    return (task, *[names[units[i].groups[0]] for i in inputs])


def _dasks_own(dsk: Any, keys: list[Any], layers: Mapping[str, Any],
               **kwargs: Any) -> Mapping[Any, Any]:
    """Dask's own optimization, for graphs whose layers carry annotations
    (resources, retries, priorities, worker restrictions): a task merged from
    layers annotated differently would have no right annotation."""
    arrays = any((layer.collection_annotations or {}).get("type") == "dask.array.core.Array"
                 for layer in layers.values())
    module = importlib.import_module("dask.array.optimization" if arrays else "dask.delayed")
    return module.optimize(dsk, keys, **kwargs)  # type: ignore[no-any-return]


def optimize_dask(dsk: Any, keys: Any, *, pure: Iterable[Callable[..., Any]] = (),
                  metas: Mapping[Hashable, Any] | None = None, **kwargs: Any) -> Mapping[Any, Any]:
    """A Dask optimization function: the graph reduced, as a plain dict.

        dask.config.set(array_optimize=optimize_dask)     # dask.array
        dask.config.set(delayed_optimize=optimize_dask)   # dask.delayed
        dask.config.set(optimizations=[optimize_dask])    # after Dask's own

    Every key in `keys` keeps its name; the rest of the graph is the reduced
    one. `pure` and `metas` are those of `from_dask`; other keyword arguments
    (Dask passes its compute arguments) are ignored. A graph with annotated
    layers (``dask.annotate``) gets Dask's own optimization instead, so that
    every task keeps its annotations.
    """
    flat = list(_flatten(keys))
    layers = getattr(dsk, "layers", None)
    if layers is not None and any(layer.annotations for layer in layers.values()):
        return _dasks_own(dsk, flat, layers, **kwargs)
    # Nothing made here is garbage until the end; the collector's full
    # passes over a large graph would only cost time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        conv = Conversion(dsk, flat, pure, metas, own_outputs=True)
        nodes, reduced_ids, origins = _reduced_ids(conv.store, conv.ids)
        return lower(nodes, conv, reduced_ids, origins, flat)
    finally:
        if collecting:
            gc.enable()
