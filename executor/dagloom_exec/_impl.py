"""What the nodes of a graph mean: the user's functions, given once."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

Fn = Callable[..., Any]


def _check_callables(what: str, table: Mapping[str, Any]) -> None:
    if not isinstance(table, Mapping):
        raise TypeError(f"Impl: {what} must be a mapping from names to functions, "
                        f"not {type(table).__name__}")
    for name, fn in table.items():
        if not isinstance(name, str):
            raise TypeError(f"Impl: {what} keys must be str, not {type(name).__name__}")
        if not callable(fn):
            raise TypeError(f"Impl: {what}[{name!r}] is not callable")


# Compared and hashed by identity: it holds functions and tables that may
# not be hashable themselves.
@dataclass(frozen=True, eq=False)
class Impl:
    """The implementation of every node kind a graph may hold.

    - ``ops[name](*inputs, **params)`` runs an op node and an op member of a stage;
    - ``reductions[name](*inputs, **params)`` runs a reduction node and a
      reduction member of a stage;
    - ``sources[name]`` is a source's value, or, when callable, is called as
      ``sources[name](**params)``;
    - ``external(descriptor, *inputs, **params)`` runs an external node, with
      the descriptor as a dict (as ``nodes()`` shows it);
    - ``exchange(*inputs, **params)`` runs an exchange node; without it an
      exchange passes its one input on unchanged.

    Params are passed exactly as ``GraphStore.nodes()`` shows them.
    """

    ops: Mapping[str, Fn] = field(default_factory=dict)
    reductions: Mapping[str, Fn] = field(default_factory=dict)
    sources: Mapping[str, Any] = field(default_factory=dict)
    external: Fn | None = None
    exchange: Fn | None = None

    def __post_init__(self) -> None:
        _check_callables("ops", self.ops)
        _check_callables("reductions", self.reductions)
        if not isinstance(self.sources, Mapping):
            raise TypeError("Impl: sources must be a mapping from names to values or functions, "
                            f"not {type(self.sources).__name__}")
        for what, fn in (("external", self.external), ("exchange", self.exchange)):
            if fn is not None and not callable(fn):
                raise TypeError(f"Impl: {what} must be callable or None")
