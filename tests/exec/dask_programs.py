"""Dask programs written the way Dask users write them, for the tests and the
benchmark: each builds its collections from numpy inputs of a given size."""

import operator
import uuid

import dask
import dask.array as da
import numpy as np


def inputs(n, chunk, seed=0, strings=True):
    """Float, int, float32, bool and (unless told not to) string arrays of n x n
    in chunks of chunk x chunk, and a vector of n for broadcasting; zeros of
    both signs among the floats."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((n, n))
    x[0, :2] = [0.0, -0.0]
    y = rng.standard_normal((n, n))
    y[0, :2] = [-0.0, 0.0]
    arrays = dict(x=x, y=y, xi=rng.integers(-9, 9, (n, n)), yi=rng.integers(-9, 9, (n, n)),
                  xf=x.astype(np.float32), yf=y.astype(np.float32),
                  b=rng.random((n, n)) < 0.5, c=rng.random((n, n)) < 0.5,
                  v=rng.standard_normal(n))
    if strings:
        arrays["s"] = np.array([[f"s{i % 7}{j % 3}" for j in range(n)] for i in range(n)],
                               dtype=object)
        arrays["t"] = np.array([[f"t{j % 5}" for j in range(n)] for _ in range(n)], dtype=object)
    return {k: da.from_array(a, chunks=chunk) for k, a in arrays.items()}


# name -> (what it holds that Dask leaves, function of the inputs giving collections)
ARRAY_PROGRAMS = {
    "commuted": ("redundant", lambda a: [(a["x"] + a["y"]) * (a["y"] + a["x"])]),
    "identities": ("redundant", lambda a: [(a["x"] * 1.0 + 0.0) * (1.0 * a["y"])]),
    "commuted-sum": ("redundant",
                     lambda a: [((a["x"] + a["y"]) * (a["y"] + a["x"]) - a["x"] * a["y"]).sum()]),
    "axis-reductions": ("redundant", lambda a: [(a["x"] + a["y"]).mean(axis=0),
                                                (a["y"] + a["x"]).std(axis=1),
                                                (a["x"] * a["y"]).sum(axis=0)]),
    "matmul-transpose": ("plain", lambda a: [(a["x"].T @ a["x"]).sum(axis=0),
                                             a["x"] @ a["y"].T, a["x"] @ a["x"]]),
    "slice-rechunk": ("plain", lambda a: [(a["x"][1:, ::2] + a["y"][1:, ::2])
                                          .rechunk((a["x"].chunksize[0] + 3, 5)).sum(axis=1)]),
    "where": ("redundant", lambda a: [da.where(a["x"] > a["y"], a["x"] + a["y"], a["y"] + a["x"])]),
    "mixed-dtypes": ("plain", lambda a: [
        a["xi"] + 0.0, a["xi"] * 1.0, (a["xi"] + a["yi"]) * (a["yi"] + a["xi"]),
        a["xf"] + 0.0, a["xf"] * 1.0 + (1.0 * a["yf"]),
        (a["b"] & a["c"]) | (a["c"] & a["b"]),
        da.maximum(a["xi"], a["yi"]) - da.maximum(a["yi"], a["xi"]),
        da.maximum(a["x"], a["y"]) + da.minimum(a["y"], a["x"]),
        a["x"].sum() + 0.0, a["xf"].sum() + 0.0]),
    "strings": ("plain", lambda a: [a["s"] + a["t"], a["t"] + a["s"]]),
    "broadcast": ("redundant", lambda a: [(a["x"] + a["v"]) * (a["v"] + a["x"]) + a["v"] * 1.0]),
}


def delayed_programs():
    """name -> collections, built afresh (pure=False keys are new each time)."""
    draw = dask.delayed(uuid.uuid4, pure=False)

    def fill(buf, value):
        buf += value          # changes its argument
        return buf.sum()

    pure_add = dask.delayed(operator.add, pure=True)
    zeros = dask.delayed(np.zeros)
    scale = dask.delayed(lambda v, *, by, extra: v * by + sum(extra["xs"]) + extra["t"][1])
    return {
        "pure-repeated": [pure_add(1, 2), pure_add(1, 2), pure_add(2, 1)],
        "impure-draws": [draw(), draw(), draw()],
        "mutated-inputs": [dask.delayed(fill)(zeros(3), 1.0), dask.delayed(fill)(zeros(3), 2.0)],
        "kwargs-dicts-tuples": [scale(pure_add(1, 2), by=3, extra={"xs": [pure_add(2, 1), 4],
                                                                    "t": (5, 6)})],
    }


def raw_graphs():
    """name -> (task dict, keys): aliases, nested lists, literals of every kind."""
    inc = operator.methodcaller("__add__", 1)
    big = np.arange(6.0)
    return {
        "aliases-lists": ({"a": 1, "b": 2, "c": (operator.add, "a", "b"),
                           "d": (operator.add, "b", "a"), "e": "c", "f": "e",
                           "g": (sum, ["c", "d", (inc, "e"), [1][0]]),
                           "h": [1, "a", ["b", (operator.mul, "a", 3)]],
                           "i": (tuple, ["a", "a"]), "j": (len, ("a", "b")),
                           "k": (operator.getitem, {"p": 7}, "p")},
                          ["c", "d", "e", "f", "g", "h", "i", "j", "k"]),
        "literal-objects": ({("arr", 0): big, ("arr", 1): big.copy(),
                             "s0": (np.sum, ("arr", 0)), "s1": (np.sum, ("arr", 1)),
                             "m": (np.multiply, ("arr", 0), ("arr", 1)),
                             "n": (np.multiply, ("arr", 1), ("arr", 0)),
                             "fn": (operator.truth, len)},
                            [["s0", "s1"], ["m", "n"], "fn"]),
    }
