"""What the executor's tests share besides fixtures."""

import pathlib

import dagloom_core as dc
from optional_imports import import_or_skip

HERE = pathlib.Path(__file__).resolve().parent

__all__ = ["HERE", "import_or_skip", "road"]


def road():
    """x, y, add(x, y), add(y, x), mul, add-zero, sum, and a dead neg(x)."""
    g = dc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    a, b = g.add_op("add", [x, y]), g.add_op("add", [y, x])
    m = g.add_op("mul", [a, b])
    z = g.add_op("add", [m], {"scalar": 0.0, "side": "r"})
    s = g.add_reduction("sum", [z])
    g.add_op("neg", [x])
    return g, s
