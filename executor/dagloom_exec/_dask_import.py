"""Dask graphs recorded as dagloom_core stores: `from_dask`.

Each Dask task becomes a node. What may merge is decided by the callable and
the operand types alone, never by where a task sits in the graph:

- a pure known callable applied to arguments is an op named after the
  callable and the shape of its arguments, so equal calls meet;
- the eight commutative operators and the identity forms ``x + 0.0``,
  ``x * 1.0`` get the names the reducer's rules know, but only where the
  chunks are known to be numeric numpy arrays on which the rule is exact;
- an impure or unknown callable, and every value such a callable receives
  (it may change it in place), get a name of their own and meet nothing.

Literal objects are carried by identity (an id-keyed table held for one
conversion), never compared by their text; plain scalars are compared by
value and type.
"""

from __future__ import annotations

import functools
import importlib
import struct
from collections.abc import Callable, Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

from ._dask_callables import (_COMMUTATIVE_KINDS, _FRESH_OPERATORS, Apply, Arith,
                              _callable_purity, _is_ufunc, _rule_callables)
from ._impl import Fn, Impl
from ._plan import Const

if TYPE_CHECKING:
    from dagloom_core import GraphStore

# A term is what a computation evaluates to, before it is a node:
#   ("r", i)          the value of call i
#   ("k", key)        the value of another key (resolved once all are read)
#   ("c", value)      a literal, passed as it is
#   ("l", (terms), fan_in)  a list Dask builds from its items; fan_in when
#                     a task of the graph itself passes it (a Blockwise layer's
#                     contraction, a reduction's combine), not a call inside
#                     one chunk's own computation
Term = tuple[Any, ...]

def _flatten(keys: Any) -> Iterable[Any]:
    if isinstance(keys, list):
        for k in keys:
            yield from _flatten(k)
    else:
        yield keys


def _value(x: Any) -> Any:
    """A key whose value is a literal or a list: the value itself."""
    return x


class _Call:
    """One call a task makes, before it is a node."""

    __slots__ = ("fn", "args", "kwargs", "chunkwise", "meta", "pure", "escapes", "returned",
                 "recipe", "node")

    def __init__(self, fn: Any, args: tuple[Term, ...], kwargs: tuple[tuple[str, Term], ...],
                 chunkwise: bool) -> None:
        self.fn = fn              # None: a literal source, held in args[0]
        self.args = args
        self.kwargs = kwargs
        self.chunkwise = chunkwise
        self.meta: tuple[int, Any] | None = None    # (ndim, dtype) of a numpy chunk
        self.pure = False
        self.escapes = False
        self.returned = False
        # A SubgraphCallable's call, kept whole until it is made nodes: its
        # inner calls are copied then, or, as in the previous chunk of the
        # layer, made nodes straight away.
        self.recipe: _Recipe | None = None
        self.node = -1


# How a recipe's call became a node: op name (the stem, for a name of its
# own), params, inputs as (from the arguments, index) or (False, earlier
# step), and for a name of its own the op and whether it is chunkwise.
_Step = tuple[str, Any, list[tuple[bool, int]], "tuple[Fn, bool] | None"]


class _Recipe:
    """A SubgraphCallable's inner calls, read once with ("p", i) for argument i."""

    __slots__ = ("fn", "start", "protos", "out", "pure")

    def __init__(self, fn: Any, start: int, protos: list[_Call], out: Term) -> None:
        self.fn = fn
        self.start = start      # the index the protos' ("r", i) terms count from
        self.protos = protos
        self.out = out
        self.pure = all(p.pure for p in protos)


class Conversion:
    """A Dask graph read into a store: `from_dask`'s result, plus what the
    lowering back to Dask needs to know about each op name."""

    def __init__(self, dsk: Any, keys: list[Any], pure: Iterable[Any],
                 metas: Mapping[Hashable, Any] | None, own_outputs: bool = False) -> None:
        core = importlib.import_module("dagloom_core")
        optimization = importlib.import_module("dask.optimization")
        self._subgraph_type = optimization.SubgraphCallable
        self._compose_type = importlib.import_module("toolz.functoolz").Compose
        self._rules = _rule_callables()
        self._pure_cache: dict[int, tuple[Any, bool]] = {}
        self._declared = frozenset(id(f) for f in pure)
        self._declared_objects = list(pure)     # keeps the ids above meaningful
        self.dsk, self._layer_meta, self._blockwise = self._read_graph(dsk)
        for name, meta in (metas or {}).items():
            self._layer_meta[name] = (meta.ndim, meta.dtype) \
                if type(meta).__name__ == "ndarray" else None
        self.store: GraphStore = core.GraphStore()
        self.ops: dict[str, Fn] = {}
        self.sources: dict[str, Any] = {}
        self.chunkwise: dict[str, bool] = {}    # op name -> elementwise on chunks
        self.shared: set[str] = set()           # op names that equal calls share
        self._calls: list[_Call] = []
        self._names: dict[Any, str] = {}
        self._fn_names: dict[int, tuple[Any, str]] = {}
        self._qualnames: dict[str, int] = {}
        self._literals: dict[int, tuple[Any, int]] = {}
        self._unique = 0
        self._recipes: dict[tuple[int, bool], _Recipe] = {}
        self._reading_recipe = False
        # What the calls of a recipe became the first time, for the next
        # chunk with the same kinds of argument: op names, params, inputs.
        self._compiled: dict[tuple[Any, ...], list[_Step]] = {}
        self._own_outputs = own_outputs
        self.ids = self._convert(keys)
        self.impl = Impl(ops=self.ops, sources=self.sources)

    # -- reading the graph -------------------------------------------------

    def _read_graph(self, dsk: Any) -> tuple[dict[Any, Any], dict[Hashable, Any], set[Any]]:
        layers = getattr(dsk, "layers", None)
        if layers is None:
            return dict(dsk), {}, set()
        metas: dict[Hashable, Any] = {}
        blockwise: set[Any] = set()
        for name, layer in layers.items():
            if type(layer).__name__ == "Blockwise":
                blockwise.add(name)
            notes = layer.collection_annotations or {}
            if notes.get("type") == "dask.array.core.Array" \
                    and notes.get("chunk_type") == "numpy.ndarray" and "dtype" in notes:
                metas[name] = (len(notes["shape"]), notes["dtype"])
        return dsk.to_dict(), metas, blockwise

    def _meta_of_key(self, key: Any) -> tuple[int, Any] | None:
        # A key of the graph is hashable: Dask looks it up.
        meta = self._layer_meta.get(key)
        if meta is None and type(key) is tuple and key:
            meta = self._layer_meta.get(key[0])
        return meta

    def _convert(self, keys: list[Any]) -> list[int]:
        terms: dict[Any, Term] = {}
        ranges: dict[Any, tuple[int, int]] = {}
        order: list[Any] = []
        # Depth first from the requested keys, iteratively (Dask chains can
        # be far longer than Python's recursion limit): each key is read once,
        # when first met, and placed after every key it reads.
        for root in keys:
            if root in terms:
                continue
            if root not in self.dsk:
                raise KeyError(root)
            stack = [(root, self._read_key(root, terms, ranges))]
            while stack:
                key, deps = stack[-1]
                for dep in deps:
                    if dep not in terms:
                        stack.append((dep, self._read_key(dep, terms, ranges)))
                        break
                else:
                    stack.pop()
                    order.append(key)
        topo = [i for key in order for i in range(*ranges[key])]
        request_terms = [self._resolve(terms, ("k", k)) for k in keys]
        for n, term in enumerate(request_terms):
            if term[0] != "r":      # a literal or a list: a node that gives it
                call = _Call(_value, (term,), (), False)
                call.pure = True
                topo.append(len(self._calls))
                self._calls.append(call)
                request_terms[n] = ("r", len(self._calls) - 1)
        if self._own_outputs:
            # What Dask hands back is made by its own call: the caller may
            # write into it, so it is neither shared nor a value it was
            # computed from (x * 1.0 gives a new array, not x).
            for t in request_terms:
                self._calls[t[1]].returned = True
        self._mark_escapes(topo, terms)
        for i in topo:
            self._emit(self._calls[i], terms)
        return [self._calls[t[1]].node for t in request_terms]

    def _read_key(self, key: Any, terms: dict[Any, Term],
                  ranges: dict[Any, tuple[int, int]]) -> Iterable[Any]:
        deps: list[Any] = []
        start = len(self._calls)
        chunkwise = type(key) is tuple and bool(key) and key[0] in self._blockwise
        term = self._term(self.dsk[key], None, deps, chunkwise)
        if term[0] == "c" and not _scalar(term[1]):
            # Any other literal value is a source, so that its readers share it.
            source = _Call(None, (term,), (), False)
            source.pure = True
            self._calls.append(source)
            term = ("r", len(self._calls) - 1)
        terms[key] = term
        ranges[key] = (start, len(self._calls))
        if term[0] == "r" and term[1] >= start:
            self._calls[term[1]].meta = self._meta_of_key(key)
        return deps

    def _term(self, x: Any, scope: Any, deps: list[Any], chunkwise: bool) -> Term:
        """What evaluating x gives, read the way Dask's executor reads it:
        lists item by item, a task called, a key looked up, anything else as is."""
        cls = type(x)
        if cls is tuple and x and callable(x[0]):
            args = [self._term(a, scope, deps, chunkwise) for a in x[1:]]
            return self._apply(x[0], args, (), chunkwise, deps)
        if isinstance(x, list):
            return ("l", tuple(self._term(a, scope, deps, chunkwise) for a in x), scope is None)
        try:
            if scope is None:
                if x in self.dsk:
                    deps.append(x)
                    return ("k", x)
            else:
                inner, env, memo = scope
                if x in env:
                    return env[x]   # type: ignore[no-any-return]
                if x in inner:
                    if x not in memo:
                        memo[x] = self._term(inner[x], scope, deps, chunkwise)
                    return memo[x]  # type: ignore[no-any-return]
        except TypeError:   # unhashable: a literal
            pass
        return ("c", x)

    def _apply(self, fn: Any, args: list[Term], kwargs: tuple[tuple[str, Term], ...],
               chunkwise: bool, deps: list[Any]) -> Term:
        while type(fn) is functools.partial:
            args = [("c", a) for a in fn.args] + args
            kwargs = tuple((k, ("c", v)) for k, v in fn.keywords.items()) + kwargs
            fn = fn.func
        if not kwargs and isinstance(fn, self._subgraph_type):
            # Inlined, so that equal inner calls of different layers can meet.
            recipe = self._recipe(fn, chunkwise)
            if self._reading_recipe or recipe.out[0] != "r" or recipe.out[1] < recipe.start:
                return self._inline(recipe, args)
            call = _Call(fn, tuple(args), (), chunkwise)
            call.recipe = recipe
            # Keys and plain scalars leave the recipe as pure as it is; any
            # other literal is looked at as each inner call receives it.
            call.pure = recipe.pure and (
                all(t[0] in "kr" or (t[0] == "c" and type(t[1]) in _SCALARS) for t in args)
                or all(self._bound_pure(p, args) for p in recipe.protos))
            self._calls.append(call)
            return ("r", len(self._calls) - 1)
        if not kwargs and type(fn) is self._compose_type:
            term = self._apply(fn.first, args, (), chunkwise, deps)
            for f in fn.funcs:
                term = self._apply(f, [term], (), chunkwise, deps)
            return term
        call = _Call(fn, tuple(args), kwargs, chunkwise)
        call.pure = self._call_purity(call)
        self._calls.append(call)
        return ("r", len(self._calls) - 1)

    def _recipe(self, fn: Any, chunkwise: bool) -> _Recipe:
        """A SubgraphCallable's inner graph, read once per callable (a
        Blockwise layer calls one for every chunk)."""
        recipe = self._recipes.get((id(fn), chunkwise))
        if recipe is None:
            start = len(self._calls)
            places: list[Term] = [("p", i) for i in range(len(fn.inkeys))]
            outer, self._reading_recipe = self._reading_recipe, True
            try:
                out = self._term(fn.outkey, (fn.dsk, dict(zip(fn.inkeys, places)), {}), [],
                                 chunkwise)
            finally:
                self._reading_recipe = outer
            recipe = _Recipe(fn, start, self._calls[start:], out)
            del self._calls[start:]
            self._recipes[(id(fn), chunkwise)] = recipe
        return recipe

    def _inline(self, recipe: _Recipe, args: list[Term]) -> Term:
        """Copies of a recipe's calls over these arguments; the term of its value."""
        start, protos, out = recipe.start, recipe.protos, recipe.out
        base = len(self._calls)

        def put(t: Term) -> Term:
            tag = t[0]
            if tag == "p":
                return args[t[1]]
            if tag == "r":
                return ("r", base + t[1] - start)
            if tag == "l":
                return ("l", tuple([put(i) for i in t[1]]), t[2])
            return t

        calls = self._calls
        for proto in protos:
            call = _Call(proto.fn, tuple([put(t) for t in proto.args]),
                         tuple([(k, put(t)) for k, t in proto.kwargs]), proto.chunkwise)
            call.pure = proto.pure and self._bound_pure(proto, args)
            calls.append(call)
        return put(out)

    def _bound_pure(self, proto: _Call, args: list[Term]) -> bool:
        """Whether the literals bound to a proto's places keep it pure (the
        proto itself saw only places there)."""
        stack = list(proto.args) + [t for _, t in proto.kwargs]
        while stack:
            t = stack.pop()
            if t[0] == "p":
                t = args[t[1]]
            if t[0] == "c":
                if type(t[1]) not in _SCALARS and not self._literal_pure(t[1]):
                    return False
            elif t[0] == "l":
                stack.extend(t[1])
        return True

    # -- what may merge ----------------------------------------------------

    def _resolve(self, terms: dict[Any, Term], term: Term) -> Term:
        while term[0] == "k":
            term = terms[term[1]]
        return term

    def _pure(self, fn: Any) -> bool:
        hit = self._pure_cache.get(id(fn))
        if hit is None:
            hit = self._pure_cache[id(fn)] = (fn, _callable_purity(fn, self._declared))
        return hit[1]

    def _literal_pure(self, value: Any, depth: int = 0) -> bool:
        """A literal handed to a call is safe unless it is, or holds, a
        callable the call might run that is not known to be pure."""
        if callable(value) and not isinstance(value, type):
            return self._pure(value)
        if depth < 3 and type(value) in (tuple, list, dict):
            items = value.items() if type(value) is dict else enumerate(value)
            return all(k != "out" and self._literal_pure(v, depth + 1) for k, v in items)
        return True

    def _call_purity(self, call: _Call) -> bool:
        if call.fn is None or call.fn is _value:
            return True
        if not self._pure(call.fn) or any(k == "out" for k, _ in call.kwargs):
            return False
        for t in self._consts(call):
            if type(t[1]) not in _SCALARS and not self._literal_pure(t[1]):
                return False
        return True

    def _mark_escapes(self, topo: list[int], terms: dict[Any, Term]) -> None:
        # A value an impure call receives may be changed by it in place, so it
        # must not be shared with anything; nor may what it is a view of.
        for i in reversed(topo):
            call = self._calls[i]
            if call.pure and not (call.escapes and not self._fresh(call, terms)):
                continue
            for j in self._refs(call, terms):
                self._calls[j].escapes = True

    def _fresh(self, call: _Call, terms: dict[Any, Term]) -> bool:
        if _is_ufunc(call.fn):
            return True
        if getattr(call.fn, "__module__", None) in ("operator", "_operator") \
                and getattr(call.fn, "__name__", None) in _FRESH_OPERATORS:
            return any(self._calls[j].meta is not None for j in self._refs(call, terms))
        return False

    def _consts(self, call: _Call) -> Iterable[Term]:
        stack = list(call.args) + [t for _, t in call.kwargs]
        while stack:
            t = stack.pop()
            if t[0] == "c":
                yield t
            elif t[0] == "l":
                stack.extend(t[1])

    def _refs(self, call: _Call, terms: dict[Any, Term]) -> list[int]:
        out: list[int] = []
        # In the order the inputs of its node are listed.
        stack = [t for _, t in reversed(call.kwargs)] + list(reversed(call.args))
        while stack:
            t = self._resolve(terms, stack.pop())
            if t[0] == "r":
                out.append(t[1])
            elif t[0] == "l":
                stack.extend(reversed(t[1]))
        return out

    # -- nodes -------------------------------------------------------------

    def _emit(self, call: _Call, terms: dict[Any, Term]) -> tuple[str, Any, bool]:
        """Makes the call a node: (op name, params, whether the name is its own)."""
        if call.recipe is not None:
            self._emit_recipe(call, terms)
            return "", None, True
        if call.fn is None:
            value = call.args[0][1]
            name = self._literal_name(value)
            if name not in self.sources:
                self.sources[name] = Const(f"literal {name}", value)
            call.node = self.store.add_source(name)
            return name, None, True
        inputs: list[int] = []
        list_refs = [False]
        slots, key = self._slots(call.args, terms, inputs, list_refs, top=True)
        kwslots: tuple[tuple[str, Any], ...] = ()
        kwkey: tuple[tuple[str, Any], ...] = ()
        if call.kwargs:
            kwparts = [(k, self._slots((t,), terms, inputs, list_refs, top=True))
                       for k, t in call.kwargs]
            kwslots = tuple((k, s[0]) for k, (s, _) in kwparts)
            kwkey = tuple((k, key_[0]) for k, (_, key_) in kwparts)
        # A call without inputs makes data (zeros, a random draw, a file
        # read): it stays one per task, as Dask has it.
        shareable = call.pure and not call.escapes and not call.returned and bool(inputs)
        if shareable and not call.kwargs and id(call.fn) in self._rules:
            rule = self._rule_form(call, slots, [self._calls[j].meta
                                                 for j in self._refs(call, terms)])
            if rule is not None:
                name, params = rule
                call.node = self.store.add_op(name, inputs, params)
                return name, params, False
        chunkwise = call.chunkwise and not list_refs[0]
        base = self._fn_name(call.fn)
        if shareable:
            ident = (id(call.fn), key, kwkey, chunkwise)
            known = self._names.get(ident)
            if known is not None:
                name = known
            else:
                name = self._names[ident] = f"{base}/{len(self._names)}"
                self.ops[name] = Apply(call.fn, slots, kwslots)
                self.chunkwise[name] = chunkwise
                self.shared.add(name)
        else:
            self._unique += 1
            name = f"{base}!{self._unique}"
            self.ops[name] = Apply(call.fn, slots, kwslots)
            self.chunkwise[name] = chunkwise
        call.node = self.store.add_op(name, inputs)
        return name, None, not shareable

    def _emit_recipe(self, call: _Call, terms: dict[Any, Term]) -> None:
        recipe = call.recipe
        assert recipe is not None
        shape: list[Any] = [id(recipe), call.meta, call.chunkwise]
        nodes: list[int] = []
        at: dict[int, int] = {}
        plain = call.pure and not call.escapes and not call.returned and all(
            [self._arg_shape(t, terms, nodes, at, shape) for t in call.args])
        compiled = self._compiled.get(tuple(shape)) if plain else None
        if compiled is None:
            self._emit_copies(call, terms, tuple(shape) if plain else None, at)
            return
        made: list[int] = []
        add_op = self.store.add_op
        for name, params, refs, own in compiled:
            if own is not None:     # a name of its own in every chunk
                self._unique += 1
                name = f"{name}!{self._unique}"
                self.ops[name], self.chunkwise[name] = own
            made.append(add_op(name, [nodes[i] if outer else made[i] for outer, i in refs],
                               params))
        call.node = made[recipe.out[1] - recipe.start]

    def _arg_shape(self, t: Term, terms: dict[Any, Term], nodes: list[int],
                   at: dict[int, int], shape: list[Any]) -> bool:
        """Adds what kind of argument t is to the shape, its nodes to nodes
        (at: call index -> position there); False for one no shape covers."""
        if t[0] == "k":
            t = self._resolve(terms, t)
        tag = t[0]
        if tag == "r":
            arg = self._calls[t[1]]
            # Which arguments are one value is part of the shape: steps made
            # where two arguments are one node read that node for both.
            shape.append((arg.meta, at.setdefault(t[1], len(nodes))))
            nodes.append(arg.node)
            return True
        if tag == "c":
            shape.append(self._literal_key(t[1]))
            return type(t[1]) in _SCALARS
        if tag == "l":
            shape.append(("l", len(t[1]), t[2]))
            return all([self._arg_shape(i, terms, nodes, at, shape) for i in t[1]])
        return False

    def _emit_copies(self, call: _Call, terms: dict[Any, Term],
                     shape: tuple[Any, ...] | None, outer: dict[int, int]) -> None:
        """The recipe's calls copied and made nodes one by one; with a shape,
        what they became is kept for the next call of that shape."""
        recipe = call.recipe
        assert recipe is not None
        base = len(self._calls)
        out = self._inline(recipe, list(call.args))
        copies = self._calls[base:]
        top = out[1] - base
        steps: list[_Step] = []
        for k, copy in enumerate(copies):
            # Inside an impure recipe, any value may be one its impure call
            # changes in place.
            copy.escapes = call.escapes or not call.pure
            if k == top:
                copy.meta, copy.returned = call.meta, call.returned
            name, params, own = self._emit(copy, terms)
            if shape is not None:
                refs = [(False, j - base) if j >= base else (True, outer[j])
                        for j in self._refs(copy, terms)]
                kept = (self.ops[name], self.chunkwise[name]) if own else None
                steps.append((name.rsplit("!", 1)[0] if own else name, params, refs, kept))
        call.node = copies[top].node
        if shape is not None:
            self._compiled[shape] = steps

    def _slots(self, args: tuple[Term, ...], terms: dict[Any, Term], inputs: list[int],
               list_refs: list[bool], top: bool) -> tuple[tuple[Any, ...], tuple[Any, ...]]:
        """Runtime slots and the hashable shape that identifies them."""
        slots: list[Any] = []
        key: list[Any] = []
        for t in args:
            if t[0] == "k":
                t = self._resolve(terms, t)
            if t[0] == "r":
                inputs.append(self._calls[t[1]].node)
                list_refs[0] = list_refs[0] or not top
                slots.append(None)
                key.append(None)
            elif t[0] == "l":
                s, k = self._slots(t[1], terms, inputs, list_refs, top=not t[2])
                slots.append(("l", s))
                key.append(("l", k))
            else:
                slots.append(("c", t[1]))
                key.append(("c", self._literal_key(t[1])))
        return tuple(slots), tuple(key)

    def _rule_form(self, call: _Call, slots: tuple[Any, ...],
                   metas: list[tuple[int, Any] | None]) -> tuple[str, dict[str, Any] | None] | None:
        rule = self._rules.get(id(call.fn))
        if rule is None or len(slots) != 2:
            return None
        name = rule[0]
        if slots == (None, None):
            if all(m is not None and m[1].kind in _COMMUTATIVE_KINDS[name] for m in metas):
                self._rule_impl(name)
                return name, None
            return None
        if name not in ("add", "mul") or len(metas) != 1 or None not in slots:
            return None
        scalar = slots[1] if slots[0] is None else slots[0]
        unit = 0.0 if name == "add" else 1.0
        meta = metas[0]
        # x + 0.0 and x * 1.0 give x back only where x is a floating-point
        # array of at least one dimension: a 0-d float32 + 0.0 is float64.
        if (type(scalar[1]) is not float or struct.pack("<d", scalar[1]) != struct.pack("<d", unit)
                or meta is None or meta[0] < 1 or meta[1].kind != "f"
                or (call.meta is not None and call.meta[1] != meta[1])):
            return None
        self._rule_impl(name)
        return name, {"scalar": unit, "side": "r" if slots[0] is None else "l"}

    def _rule_impl(self, name: str) -> None:
        self.shared.add(name)
        if name not in self.ops:
            ufunc = next(u for n, u in self._rules.values() if n == name)
            self.ops[name] = Arith(ufunc)
            self.chunkwise[name] = True

    def _fn_name(self, fn: Any) -> str:
        hit = self._fn_names.get(id(fn))
        if hit is not None:
            return hit[1]
        module = getattr(fn, "__module__", None) or type(fn).__module__
        qual = getattr(fn, "__qualname__", None) or getattr(fn, "__name__", None) \
            or type(fn).__qualname__
        name = f"{module}.{qual}"
        seen = self._qualnames.get(name, 0)
        self._qualnames[name] = seen + 1
        if seen:
            name = f"{name}#{seen}"
        self._fn_names[id(fn)] = (fn, name)
        return name

    def _literal_name(self, value: Any) -> str:
        hit = self._literals.get(id(value))
        if hit is None:
            hit = self._literals[id(value)] = (value, len(self._literals))
        return f"literal#{hit[1]}"

    def _literal_key(self, value: Any) -> Any:
        """Equal keys for literals that give equal calls: plain scalars and
        tuples of them by type and value (a float by its bits), the rest by
        identity."""
        cls = type(value)
        if cls is float:
            return ("f", struct.pack("<d", value))
        if cls in (int, bool, str, bytes) or value is None or value is Ellipsis:
            return (cls.__name__, value)
        if cls is complex:
            return ("z", struct.pack("<dd", value.real, value.imag))
        if cls is tuple:
            return ("t", tuple(self._literal_key(v) for v in value))
        if cls is slice:
            return ("s", self._literal_key(value.start), self._literal_key(value.stop),
                     self._literal_key(value.step))
        if cls.__name__ == "dtype" and cls.__module__.startswith("numpy") \
                and value.fields is None and value.subdtype is None:
            return ("dt", value.str)
        return ("o", self._literal_name(value))


_SCALARS = frozenset({int, float, bool, str, bytes, complex, type(None)})


def _scalar(value: Any) -> bool:
    return type(value) in _SCALARS


def from_dask(dsk: Any, keys: Any, *, pure: Iterable[Callable[..., Any]] = (),
              metas: Mapping[Hashable, Any] | None = None) -> tuple[GraphStore, Impl, list[int]]:
    """A Dask graph as a store, its implementation and the node id of every key.

    `dsk` is a task dict or a HighLevelGraph (``collection.__dask_graph__()``),
    `keys` a key or a nested list of them (``__dask_keys__()``); the ids come
    in the order of the keys, flattened. ``evaluate(store, impl, ids)`` gives
    what ``dask.get(dsk, flat_keys)`` gives.

    `pure` names callables (beyond numpy's, the operator module's and Dask's
    own chunk functions) whose equal calls may be computed once. `metas` maps
    a key or a layer name to an empty numpy array of the dtype and number of
    dimensions that its chunks have, for graphs that do not record them
    (dask.array records them per layer): only there do the commutativity and
    identity rules apply.
    """
    conversion = Conversion(dsk, list(_flatten(keys)), pure, metas)
    return conversion.store, conversion.impl, conversion.ids
