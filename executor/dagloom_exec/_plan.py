"""From a store's nodes to runnable steps.

A plan holds one step per node the outputs need, in id order (ids are a
topological order, so every step's inputs come before it). Every name is
looked up in the `Impl` while planning, so a missing implementation is
reported before anything runs. A step's task is a small picklable callable:
the same plan runs in this process (`evaluate`) or on Dask's workers.

Planned with the origins of a traced reduction, a plan's notes on a user's
exception name the recorded nodes whose value was being computed as well.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

from ._impl import Fn, Impl
from ._recorded import Places, recorded_places, recorded_words

if TYPE_CHECKING:
    from dagloom_core import GraphStore, Origins

# How nodes() spells a kind, and how messages and notes name it.
_KIND_WORD = {"op": "op", "red": "reduction", "reduction": "reduction", "source": "source"}


def _describe(node_id: int, kind: str, name: str, recorded: str = "") -> str:
    what = kind if kind in ("external", "exchange", "stage") else f"{_KIND_WORD[kind]} {name!r}"
    return f"node {node_id} ({what}{'; ' + recorded if recorded else ''})"


def _noted(exc: BaseException, where: str) -> None:
    exc.add_note(f"dagloom_exec: raised while computing {where}")


class Task:
    """A node's computation: called with the values of the node's inputs."""

    def __init__(self, where: str) -> None:
        self.where = where

    def run(self, args: tuple[Any, ...]) -> Any:
        raise NotImplementedError

    def __call__(self, *args: Any) -> Any:
        try:
            return self.run(args)
        except Exception as exc:
            _noted(exc, self.where)
            raise

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.where}>"


class Const(Task):
    """A source given as a value."""

    def __init__(self, where: str, value: Any) -> None:
        super().__init__(where)
        self.value = value

    def run(self, args: tuple[Any, ...]) -> Any:
        return self.value


class Call(Task):
    """fn(*inputs, **params): ops, reductions, exchanges and sources given as functions."""

    def __init__(self, where: str, fn: Fn, params: Mapping[str, Any]) -> None:
        super().__init__(where)
        self.fn = fn
        self.params = dict(params)

    def run(self, args: tuple[Any, ...]) -> Any:
        return self.fn(*args, **self.params)


class CallExternal(Task):
    """fn(descriptor, *inputs, **params)."""

    def __init__(self, where: str, fn: Fn, descriptor: Mapping[str, Any],
                 params: Mapping[str, Any]) -> None:
        super().__init__(where)
        self.fn = fn
        self.descriptor = dict(descriptor)
        self.params = dict(params)

    def run(self, args: tuple[Any, ...]) -> Any:
        # A copy each time, so that a function that changes its descriptor
        # cannot change what a later run of the same task sees.
        return self.fn(dict(self.descriptor), *args, **self.params)


class PassOn(Task):
    """An exchange without an implementation: its one input, unchanged."""

    def run(self, args: tuple[Any, ...]) -> Any:
        return args[0]


# A named tuple: stages of thousands of members are built per lowering.
class Member(NamedTuple):
    """One member of a stage: fn over ("input", k) / ("member", j) references."""

    where: str
    fn: Fn
    params: Mapping[str, Any]
    # (True, j) reads member j's value, (False, k) the stage's input k.
    refs: tuple[tuple[bool, int], ...]


class RunStage(Task):
    """A whole stage: its members in order; its value is the last one's."""

    def __init__(self, where: str, members: Sequence[Member]) -> None:
        super().__init__(where)
        self.members = tuple(members)

    def __call__(self, *args: Any) -> Any:
        values: list[Any] = []
        for member in self.members:
            operands = [values[i] if is_member else args[i] for is_member, i in member.refs]
            try:
                values.append(member.fn(*operands, **member.params))
            except Exception as exc:
                _noted(exc, member.where)
                raise
        return values[-1]


@dataclass(frozen=True)
class Step:
    node_id: int
    inputs: tuple[int, ...]
    task: Task


@dataclass(frozen=True)
class Plan:
    steps: list[Step]        # the needed nodes, in id order
    outputs: list[int]       # the requested ids, in the order asked for


def _missing(what: str, name: str, where: str) -> LookupError:
    return LookupError(f"no implementation for {what} {name!r} ({where})")


def _lookup(table: Mapping[str, Any], what: str, name: str, where: str) -> Any:
    try:
        return table[name]
    except KeyError:
        raise _missing(what, name, where) from None


def _stage_task(node: Mapping[str, Any], impl: Impl, where: str, places: Places) -> RunStage:
    node_id = node["id"]
    n_inputs = len(node["inputs"])
    members: list[Member] = []
    for j, m in enumerate(node["members"]):
        kind, name = m["kind"], m["name"]
        at = f"member {j} of stage node {node_id}"
        table = impl.ops if kind == "op" else impl.reductions
        fn = _lookup(table, _KIND_WORD[kind], name, at)
        refs: list[tuple[bool, int]] = []
        for source, index in m["inputs"]:
            is_member = source == "member"
            if not 0 <= index < (j if is_member else n_inputs):
                raise ValueError(f"stage node {node_id}: member {j} reads {source} {index}, "
                                 "which it cannot see")
            refs.append((is_member, index))
        recorded = recorded_words(places.get((node_id, j), []))
        members.append(Member(f"member {j} ({_KIND_WORD[kind]} {name!r}) of "
                              f"node {node_id} (stage{'; ' + recorded if recorded else ''})",
                              fn, m["params"], tuple(refs)))
    if not members:
        raise ValueError(f"stage node {node_id} has no members, so it has no value")
    return RunStage(where, members)


def _task(node: Mapping[str, Any], impl: Impl, places: Places) -> Task:
    node_id, kind, name, params = node["id"], node["kind"], node["name"], node["params"]
    last = len(node["members"]) - 1 if kind == "stage" else -1
    where = _describe(node_id, kind, name, recorded_words(places.get((node_id, last), [])))
    at = f"node {node_id}"
    if kind == "op":
        return Call(where, _lookup(impl.ops, "op", name, at), params)
    if kind == "reduction":
        return Call(where, _lookup(impl.reductions, "reduction", name, at), params)
    if kind == "source":
        value = _lookup(impl.sources, "source", name, at)
        return Call(where, value, params) if callable(value) else Const(where, value)
    if kind == "stage":
        return _stage_task(node, impl, where, places)
    if kind == "external":
        if impl.external is None:
            raise LookupError(f"no implementation for external nodes ({at}): "
                              "give Impl(external=...)")
        return CallExternal(where, impl.external, node["descriptor"], params)
    if kind == "exchange":
        if impl.exchange is not None:
            return Call(where, impl.exchange, params)
        if len(node["inputs"]) != 1:
            raise LookupError(f"no implementation for exchange ({at}, {len(node['inputs'])} "
                              "inputs): without Impl(exchange=...) an exchange passes on "
                              "exactly one input")
        return PassOn(where)
    raise LookupError(f"no implementation for node kind {kind!r} ({at})")


def output_ids(outputs: Iterable[int], count: int) -> list[int]:
    if isinstance(outputs, (str, bytes)):
        raise TypeError("outputs must be a sequence of node ids")
    ids: list[int] = []
    for o in outputs:
        try:
            node_id = operator.index(o)
        except TypeError:
            raise TypeError(f"outputs must hold node ids (int), not {type(o).__name__}") from None
        if not 0 <= node_id < count:
            raise ValueError(f"no node with id {node_id}")
        ids.append(node_id)
    return ids


def make_plan(store: GraphStore, impl: Impl, outputs: Iterable[int] | None,
              origins: Origins | None = None) -> Plan:
    """Checks everything the outputs need, then lists its steps; runs nothing.
    Without `outputs`, the requests of `origins` (one per request), else the
    store's marked outputs."""
    if not isinstance(impl, Impl):
        raise TypeError(f"impl must be a dagloom_exec.Impl, not {type(impl).__name__}")
    nodes = store.nodes()
    if outputs is None and origins is not None:
        outputs = origins.outputs
    # outputs() is read after nodes(): whatever it names is in that view too.
    ids = output_ids(store.outputs() if outputs is None else outputs, len(nodes))
    needed = bytearray(len(nodes))
    for node_id in ids:
        needed[node_id] = 1
    for node_id in range(len(nodes) - 1, -1, -1):
        if needed[node_id]:
            for j in nodes[node_id]["inputs"]:
                needed[j] = 1
    places: Places = {}
    if origins is not None:
        places = recorded_places(origins, {i for i, flag in enumerate(needed) if flag})
    steps = [Step(node["id"], tuple(node["inputs"]), _task(node, impl, places))
             for node in nodes if needed[node["id"]]]
    return Plan(steps, ids)
