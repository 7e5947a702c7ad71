"""Type-checker test of dagloom_exec's public API; never run, only checked.

    mypy --strict tests/typing/exec_usage.py

As in usage.py, every `# type: ignore[code]` line must be rejected by mypy
for exactly that reason (--strict warns about unused ignores).
"""

from __future__ import annotations

from typing import Any, assert_type

from dagloom_core import GraphStore
from dagloom_exec import Impl, compute, evaluate, graph_name, to_dask


def scaled(x: float, *, scalar: float = 1.0, side: str = "r") -> float:
    return x * scalar


def accepted() -> None:
    g = GraphStore()
    s = g.add_op("scale", [g.add_source("x")], {"scalar": 2.0})
    impl = Impl(ops={"scale": scaled}, reductions={}, sources={"x": 1.5, "y": lambda: 2.0},
                external=lambda descriptor, *xs: xs[0], exchange=None)
    assert_type(evaluate(g, impl), list[Any])
    assert_type(evaluate(g, impl, [s]), list[Any])
    assert_type(evaluate(g, impl, outputs=range(2)), list[Any])
    graph, keys = to_dask(g, impl, [s])
    assert_type(graph, dict[tuple[str, int], Any])
    assert_type(keys, list[tuple[str, int]])
    assert_type(graph_name(g), str)
    assert_type(compute(g, impl, scheduler="threads"), list[Any])
    Impl()


def rejected() -> None:
    g = GraphStore()
    impl = Impl()
    evaluate(g, impl, ["0"])  # type: ignore[list-item]
    evaluate(impl, g)  # type: ignore[arg-type]
    Impl(ops={"f": 1})  # type: ignore[dict-item]
    Impl(external="f")  # type: ignore[arg-type]
