"""Random numeric graphs and exact implementations of their ops.

Two value domains, so that every form of a graph can be compared exactly:
integers modulo a prime (pure Python, runs wherever the module does) and
numpy float64 vectors holding small integers (compared with
`np.array_equal(..., equal_nan=True)`). In both, the commutative ops commute
bit for bit and adding 0.0 or multiplying by 1.0 gives its input back, so a
reduction must not change any value.

Module-level functions only: Dask's worker processes import this module by
name to run the tasks.
"""

from __future__ import annotations

import random
from collections.abc import Callable
from typing import Any

import dagloom_core as dc
from dagloom_exec import Impl

P = (1 << 61) - 1  # a prime: + and * modulo P are exact and commute

COMMUTATIVE = ("add", "mul", "maximum", "minimum")
IDENTITY_PARAMS = [
    ("add", {"scalar": 0.0, "side": "r"}),
    ("add", {"scalar": 0.0, "side": "l"}),
    ("mul", {"scalar": 1.0, "side": "r"}),
    ("mul", {"scalar": 1.0, "side": "l"}),
]


# ---- integers modulo P -------------------------------------------------

def int_add(*xs: int, scalar: float | None = None, side: str | None = None) -> int:
    if scalar is not None:
        return (xs[0] + int(scalar)) % P
    return sum(xs) % P


def int_mul(*xs: int, scalar: float | None = None, side: str | None = None) -> int:
    if scalar is not None:
        return (xs[0] * int(scalar)) % P
    out = 1
    for x in xs:
        out = out * x % P
    return out


def int_sub(a: int, b: int) -> int:
    return (a - b) % P


def int_neg(a: int) -> int:
    return -a % P


def int_maximum(a: int, b: int) -> int:
    return max(a, b)


def int_minimum(a: int, b: int) -> int:
    return min(a, b)


def int_sum(*xs: int, **params: Any) -> int:
    return (sum(xs) + 7 * len(params)) % P


def int_external(descriptor: dict[str, Any], *xs: int, **params: Any) -> int:
    return (sum(xs) * 3 + len(descriptor["content_hash"])) % P


def int_exchange(*xs: int, **params: Any) -> int:
    return sum(xs) % P


def int_impl(seed: int) -> Impl:
    rng = random.Random(seed)
    return Impl(
        ops={"add": int_add, "mul": int_mul, "sub": int_sub, "neg": int_neg,
             "maximum": int_maximum, "minimum": int_minimum},
        reductions={"sum": int_sum},
        sources={f"s{i}": rng.randrange(P) for i in range(4)},
        external=int_external,
        exchange=int_exchange,
    )


def int_equal(a: Any, b: Any) -> bool:
    return type(a) is type(b) and a == b


# ---- numpy float64 vectors ---------------------------------------------

def np_source(seed: int, length: int = 8) -> Any:
    import numpy as np
    return np.random.default_rng(seed).integers(-4, 5, size=length).astype(np.float64)


def np_add(*xs: Any, scalar: float | None = None, side: str | None = None) -> Any:
    if scalar is not None:
        return xs[0] + scalar if side == "r" else scalar + xs[0]
    out = xs[0]
    for x in xs[1:]:
        out = out + x
    return out


def np_mul(*xs: Any, scalar: float | None = None, side: str | None = None) -> Any:
    if scalar is not None:
        return xs[0] * scalar if side == "r" else scalar * xs[0]
    out = xs[0]
    for x in xs[1:]:
        out = out * x
    return out


def np_maximum(a: Any, b: Any) -> Any:
    import numpy as np
    return np.maximum(a, b)


def np_minimum(a: Any, b: Any) -> Any:
    import numpy as np
    return np.minimum(a, b)


def np_sub(a: Any, b: Any) -> Any:
    return a - b


def np_neg(a: Any) -> Any:
    return -a


def np_sum(*xs: Any, **params: Any) -> Any:
    import numpy as np
    return np.sum(xs[0]) + np.zeros_like(xs[0])  # stays a vector


def np_external(descriptor: dict[str, Any], *xs: Any, **params: Any) -> Any:
    return np_add(*xs) * 3.0 + float(len(descriptor["content_hash"]))


def np_impl(seed: int) -> Impl:
    return Impl(
        ops={"add": np_add, "mul": np_mul, "sub": np_sub, "neg": np_neg,
             "maximum": np_maximum, "minimum": np_minimum},
        reductions={"sum": np_sum},
        sources={f"s{i}": np_source(seed * 4 + i) for i in range(4)},
        external=np_external,
        exchange=np_exchange,
    )


def np_exchange(*xs: Any, **params: Any) -> Any:
    return np_add(*xs)


def refuse(*xs: Any, **params: Any) -> Any:
    raise ZeroDivisionError("refused by the user's function")


def np_equal(a: Any, b: Any) -> bool:
    import numpy as np
    return bool(np.array_equal(a, b, equal_nan=True))


DOMAINS: dict[str, tuple[Callable[[int], Impl], Callable[[Any, Any], bool]]] = {
    "int": (int_impl, int_equal),
    "numpy": (np_impl, np_equal),
}


# ---- graphs ------------------------------------------------------------

def record(seed: int, size: int, after_each: Callable[[dc.GraphStore], object] | None = None,
           ) -> tuple[dc.GraphStore, list[int]]:
    """A graph of about `size` records with the redundancy front ends make:
    mirrored commutative pairs, identity ops, repeats, dead branches,
    externals and exchanges. Returns it and 1 to 4 output ids; `after_each`
    sees the store after every record."""
    rng = random.Random(seed)
    g = dc.GraphStore()
    ids = [g.add_source(f"s{i}") for i in range(rng.randint(1, 4))]
    descriptor = dc.PayloadDescriptor(kind="model", content_hash="c0ffee", framework="f",
                                      version="1", io_schema="f64")
    for _ in range(size):
        a, b = rng.choice(ids), rng.choice(ids)
        roll = rng.random()
        if roll < 0.35:
            name = rng.choice(COMMUTATIVE)
            ids.append(g.add_op(name, [a, b]))
            if rng.random() < 0.5:
                ids.append(g.add_op(name, [b, a]))   # the mirror
        elif roll < 0.5:
            name, params = rng.choice(IDENTITY_PARAMS)
            ids.append(g.add_op(name, [a], params))
        elif roll < 0.6:
            ids.append(g.add_op("add", [a], {"scalar": 2.0, "side": rng.choice("lr")}))
        elif roll < 0.7:
            ids.append(g.add_op("sub", [a, b]))
        elif roll < 0.78:
            ids.append(g.add_op("neg", [a]))
        elif roll < 0.86:
            ids.append(g.add_reduction("sum", [a], rng.choice([{}, {"axis": 0}])))
        elif roll < 0.91:
            ids.append(g.add_external(descriptor, [a]))
        elif roll < 0.96:
            ids.append(g.add_exchange([a], {"partitions": rng.randint(1, 3)}))
        else:
            ids.append(g.add_op("add", [a, b, rng.choice(ids)]))  # three inputs
        if after_each is not None:
            after_each(g)
    outputs = rng.sample(ids, k=min(len(ids), rng.randint(1, 4)))
    return g, outputs
