"""What Dask's callables are to the reducer: which are pure, which the
module's rules know, and the picklable wrappers a task calls them through."""

from __future__ import annotations

import functools
import importlib
from typing import Any

from ._impl import Fn

# Callables whose modules are trusted to hold pure functions, and the
# exceptions: functions that change their arguments, read or write files or
# global state, or draw random numbers.
_PURE_PREFIXES = ("numpy", "dask.array", "toolz", "tlz")
_IMPURE_PREFIXES = ("numpy.random", "dask.array.random", "numpy.testing")
_IMPURE_NAMES = frozenset({
    "copyto", "put", "place", "putmask", "fill_diagonal", "put_along_axis", "save", "savez",
    "savez_compressed", "savetxt", "load", "loadtxt", "genfromtxt", "fromfile", "memmap",
    "seterr", "seterrcall", "setbufsize", "set_printoptions", "store_chunk", "load_store_chunk",
    "load_chunk", "insert_to_ooc", "retrieve_from_ooc", "_apply_random", "random_state_data",
    "setitem", "delitem", "iadd", "iand", "iconcat", "ifloordiv", "ilshift", "imod", "imul",
    "imatmul", "ior", "ipow", "irshift", "isub", "itruediv", "ixor",
})
_PURE_BUILTINS = frozenset({
    "abs", "all", "any", "bool", "complex", "dict", "divmod", "float", "frozenset", "getattr",
    "hash", "int", "isinstance", "len", "list", "max", "min", "pow", "range", "repr", "round",
    "set", "slice", "sorted", "str", "sum", "tuple", "type",
})
_PURE_MODULES = frozenset({"operator", "_operator", "math", "cmath"})
_PURE_DASK_UTILS = frozenset({"apply"})
# Methods of numpy arrays that leave the array alone (a methodcaller naming
# anything else may change its argument).
_PURE_METHODS = frozenset({
    "all", "any", "argmax", "argmin", "astype", "clip", "conj", "conjugate", "copy", "cumprod",
    "cumsum", "dot", "flatten", "max", "mean", "min", "nonzero", "prod", "ravel", "real",
    "imag", "repeat", "reshape", "round", "squeeze", "std", "sum", "swapaxes", "take",
    "tolist", "transpose", "var", "view",
})
# Calls of these build a new array from array operands, so what a later call
# does to the result cannot reach their inputs.
_FRESH_OPERATORS = frozenset({
    "add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "neg", "pos", "abs", "eq", "ne",
    "lt", "le", "gt", "ge", "and_", "or_", "xor", "invert", "matmul",
})

# The rule names, and which dtype kinds each is exact on. maximum and
# minimum of two floats may return either zero of a pair (-0.0, 0.0), and
# which one depends on the order: commuting them is exact only on integers.
_COMMUTATIVE_KINDS = {"add": "biufc", "mul": "biufc", "and": "biu", "or": "biu",
                      "eq": "biufc", "ne": "biufc", "maximum": "biu", "minimum": "biu"}


def _rule_callables() -> dict[int, tuple[str, Fn]]:
    """id(callable) -> (rule name, the ufunc that computes it on numpy chunks)."""
    np = importlib.import_module("numpy")
    import operator as op
    pairs = [((op.add, np.add), "add", np.add), ((op.mul, np.multiply), "mul", np.multiply),
             ((op.and_, np.bitwise_and), "and", np.bitwise_and),
             ((op.or_, np.bitwise_or), "or", np.bitwise_or),
             ((op.eq, np.equal), "eq", np.equal), ((op.ne, np.not_equal), "ne", np.not_equal),
             ((np.maximum,), "maximum", np.maximum), ((np.minimum,), "minimum", np.minimum)]
    return {id(f): (name, ufunc) for fs, name, ufunc in pairs for f in fs}


def _is_ufunc(fn: Any) -> bool:
    return type(fn).__name__ == "ufunc" and type(fn).__module__ == "numpy"


def _method_name(fn: Any) -> str | None:
    """The method a methodcaller (operator's or dask.utils') calls, else None."""
    cls = type(fn)
    if cls.__name__ != "methodcaller":
        return None
    if cls.__module__ == "dask.utils":
        return str(fn.method)
    if cls.__module__ in ("operator", "_operator"):
        reduced = fn.__reduce__()
        # Without bound arguments it pickles as (methodcaller, (name,)).
        if isinstance(reduced, tuple) and reduced[0] is cls and len(reduced[1]) == 1:
            return str(reduced[1][0])
    return None


def _callable_purity(fn: Any, declared: frozenset[int], depth: int = 0) -> bool:
    if id(fn) in declared or _is_ufunc(fn):
        return True
    if depth > 3:
        return False
    if type(fn) is functools.partial:
        return _callable_purity(fn.func, declared, depth + 1) and all(
            _callable_purity(v, declared, depth + 1)
            for v in (*fn.args, *fn.keywords.values())
            if callable(v) and not isinstance(v, type))
    if type(fn).__name__ == "Compose" and type(fn).__module__ == "toolz.functoolz":
        return all(_callable_purity(f, declared, depth + 1) for f in (fn.first, *fn.funcs))
    method = _method_name(fn)
    if method is not None:
        return method in _PURE_METHODS
    module = getattr(fn, "__module__", None)
    name = getattr(fn, "__name__", None)
    if not isinstance(module, str) or not isinstance(name, str) or name in _IMPURE_NAMES:
        return False
    if module == "builtins":
        return name in _PURE_BUILTINS
    if module in _PURE_MODULES:
        return True
    if module == "dask.utils":
        return name in _PURE_DASK_UTILS
    if module.startswith(_IMPURE_PREFIXES):
        return False
    if not module.startswith(_PURE_PREFIXES):
        return False
    if "<locals>" not in getattr(fn, "__qualname__", "<locals>"):
        return True
    # A function made inside a trusted one (dask's keepdims_wrapper around
    # np.sum) is as pure as the callables it closes over, a few levels down.
    cells = getattr(fn, "__closure__", None) or ()
    return all(_callable_purity(c.cell_contents, declared, depth + 1) for c in cells
               if callable(c.cell_contents) and not isinstance(c.cell_contents, type)
               and c.cell_contents is not fn)


class Apply:
    """fn over the node's inputs put back into the arguments' shape: a slot is
    None (the next input), ("c", value) or ("l", slots) (a list)."""

    __slots__ = ("fn", "slots", "kwslots")

    def __init__(self, fn: Fn, slots: tuple[Any, ...],
                 kwslots: tuple[tuple[str, Any], ...]) -> None:
        self.fn = fn
        self.slots = slots
        self.kwslots = kwslots

    def __call__(self, *inputs: Any) -> Any:
        it = iter(inputs)
        args = [_build(s, it) for s in self.slots]
        if self.kwslots:
            return self.fn(*args, **{k: _build(s, it) for k, s in self.kwslots})
        return self.fn(*args)

    def __repr__(self) -> str:
        return f"<Apply {getattr(self.fn, '__name__', self.fn)!r}>"


def _build(slot: Any, it: Any) -> Any:
    if slot is None:
        return next(it)
    if slot[0] == "c":
        return slot[1]
    return [_build(s, it) for s in slot[1]]


class Arith:
    """A rule-named op: two inputs, or one input and a scalar on one side."""

    __slots__ = ("fn",)

    def __init__(self, fn: Fn) -> None:
        self.fn = fn

    def __call__(self, *xs: Any, scalar: Any = None, side: str | None = None) -> Any:
        if scalar is None:
            return self.fn(*xs)
        return self.fn(xs[0], scalar) if side == "r" else self.fn(scalar, xs[0])
