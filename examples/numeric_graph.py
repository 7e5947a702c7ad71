"""A numeric graph as a dataflow front end records it, and what its nodes mean.

The front end builds feature pipelines over a few input vectors. Like real
front ends it records the redundancy that reduction removes: the same
commutative op reached by two code paths with its operands swapped, default
scale and shift parameters that turn out to be identities (x * 1.0, x + 0.0),
the same subexpression recorded again by another part of the program (the
store interns it), and debugging branches that no output uses.

Used by examples/run_on_dask.py and bench/bench_dask.py.
"""

from __future__ import annotations

import random
from typing import Any

import numpy as np
import numpy.typing as npt

import dagloom_core
from dagloom_exec import Impl

Vector = npt.NDArray[np.float64]
COMMUTATIVE = ("add", "mul", "maximum", "minimum")
SOURCES = ("prices", "volumes", "weights", "offsets")


def record(records: int, seed: int = 0) -> tuple[dagloom_core.GraphStore, list[int]]:
    """Makes `records` recording calls; returns the store and its outputs.

    Each feature is a small expression over recent features, squashed by
    tanh (or centred), so values stay in range however deep the graph is.
    The store holds fewer nodes than calls: repeats intern to one id."""
    rng = random.Random(seed)
    g = dagloom_core.GraphStore()
    live = [g.add_source(name) for name in SOURCES]
    calls = len(live)

    def pick() -> int:
        # Mostly recent features, so the graph is deep as well as wide.
        return live[-1 - min(int(rng.expovariate(0.2)), len(live) - 1)]

    def op(name: str, inputs: list[int], params: dict[str, float | str] | None = None) -> int:
        nonlocal calls
        calls += 1
        return g.add_op(name, inputs, params)

    def identity(x: int) -> int:
        # A default shift or scale argument that is an identity.
        name, scalar = rng.choice([("mul", 1.0), ("add", 0.0)])
        return op(name, [x], {"scalar": scalar, "side": rng.choice("lr")})

    def use() -> int:
        # A feature as a consumer sees it: sometimes through its own default
        # shift or scale.
        x = pick()
        return identity(x) if rng.random() < 0.25 else x

    while calls < records:
        if rng.random() < 0.15:
            op("neg", [pick()], {"debug": "trace"})    # a branch nothing reads
            continue
        name, a, b = rng.choices(COMMUTATIVE, weights=(2, 2, 1, 1))[0], use(), use()
        roll, other = rng.random(), use()
        centred = rng.random() < 0.1
        # Often a second code path builds the same feature with the operands
        # the other way round, and both are used later on.
        for operands in ([a, b], [b, a])[: 2 if rng.random() < 0.5 else 1]:
            x = op(name, operands)
            if rng.random() < 0.3:
                x = identity(x)
            if roll < 0.2:
                x = op("mul", [x], {"scalar": 0.5, "side": "r"})
            elif roll < 0.4:
                x = op("sub", [x, other])
            if centred:
                calls += 1
                live.append(g.add_reduction("center", [x]))
            else:
                live.append(op("tanh", [x]))
    # One report per output slot: distinct nodes whatever the reduction merges.
    outputs = [g.add_reduction("center", [live[-1 - k]], {"slot": k}) for k in range(8)]
    return g, outputs


def _scalar(x: Vector, scalar: float | None, side: str | None, op: Any) -> Vector:
    assert scalar is not None
    out: Vector = op(x, scalar) if side == "r" else op(scalar, x)
    return out


def add(*xs: Vector, scalar: float | None = None, side: str | None = None) -> Vector:
    if scalar is not None:
        return _scalar(xs[0], scalar, side, np.add)
    return np.add(xs[0], xs[1])


def mul(*xs: Vector, scalar: float | None = None, side: str | None = None) -> Vector:
    if scalar is not None:
        return _scalar(xs[0], scalar, side, np.multiply)
    return np.multiply(xs[0], xs[1])


def maximum(a: Vector, b: Vector) -> Vector:
    return np.maximum(a, b)


def minimum(a: Vector, b: Vector) -> Vector:
    return np.minimum(a, b)


def sub(a: Vector, b: Vector) -> Vector:
    return np.subtract(a, b)


def neg(a: Vector, debug: str = "") -> Vector:
    return np.negative(a)


def tanh(a: Vector) -> Vector:
    return np.tanh(a)


def center(a: Vector, slot: int = 0) -> Vector:
    return np.subtract(a, a.mean())


def impl(length: int, seed: int = 0) -> Impl:
    """The meaning of every node `record` makes, over float64 vectors of `length`."""
    rng = np.random.default_rng(seed)
    return Impl(
        ops={"add": add, "mul": mul, "maximum": maximum, "minimum": minimum, "sub": sub,
             "neg": neg, "tanh": tanh},
        reductions={"center": center},
        sources={name: rng.uniform(-1.0, 1.0, length) for name in SOURCES},
    )


def same_values(a: list[Any], b: list[Any]) -> bool:
    return len(a) == len(b) and all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b))
