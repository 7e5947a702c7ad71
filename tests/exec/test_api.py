"""The executor's contract: what it calls, with what, and how it fails."""

import operator
import pickle
from collections import Counter

import dagloom_core as dc
import pytest
from exec_support import import_or_skip, road
from dagloom_exec import Impl, compute, evaluate, graph_name, to_dask

DESCRIPTOR = dict(kind="model", content_hash="c0ffee", framework="torch", version="2.3",
                  io_schema="f32[8]")


def scalar_add(*xs, scalar=None, side=None):
    return xs[0] + scalar if scalar is not None else sum(xs)


def times_ten(v):
    return v * 10


ROAD_IMPL = Impl(ops={"add": scalar_add, "mul": operator.mul, "neg": operator.neg},
                 reductions={"sum": times_ten}, sources={"x": 3, "y": 4})


class Calls:
    """Implementations that count what they were called for."""

    def __init__(self):
        self.seen = Counter()

    def __call__(self, label, fn):
        def run(*args, **params):
            self.seen[label] += 1
            return fn(*args, **params)
        return run


def test_road_values_before_and_after_reduction():
    g, s = road()
    assert evaluate(g, ROAD_IMPL, [s]) == [490]
    for maximal in (False, True):
        reduced, _ = g.reduce(maximal_fusion=maximal, outputs=[s])
        assert evaluate(reduced, ROAD_IMPL) == [490]
        kinds = [n["kind"] for n in reduced.nodes()]
        assert kinds.count("stage") == (1 if maximal else 2)


def test_each_needed_node_runs_once_in_id_order_and_dead_nodes_never():
    g, s = road()
    calls = Calls()
    order = []

    def tracked(label, fn):
        counted = calls(label, fn)

        def run(*args, **params):
            order.append(label)
            return counted(*args, **params)
        return run

    impl = Impl(ops={"add": tracked("add", scalar_add), "mul": tracked("mul", operator.mul),
                     "neg": tracked("neg", operator.neg)},
                reductions={"sum": tracked("sum", lambda v: v)},
                sources={"x": tracked("x", lambda: 3), "y": tracked("y", lambda: 4)})
    assert evaluate(g, impl, [s, 4, s]) == [49, 49, 49]
    assert calls.seen == Counter({"x": 1, "y": 1, "add": 3, "mul": 1, "sum": 1})
    assert order == ["x", "y", "add", "add", "mul", "add", "sum"]


def test_params_reach_the_functions_exactly_as_nodes_shows_them():
    g = dc.GraphStore()
    params = {"a-b": 1, "with space": "v", "flag": True, "f": 2.5}
    src = g.add_source("x", {"seed": 7})
    op = g.add_op("f", [src], params)
    ext = g.add_external(dc.PayloadDescriptor(**DESCRIPTOR), [op], {"k": 1})
    ex = g.add_exchange([ext], {"partitions": 4})
    seen = {}

    def record(label):
        def run(*args, **kw):
            seen[label] = (args, kw)
            return label
        return run

    def external(descriptor, *args, **kw):
        seen["external"] = (dict(descriptor), args, kw)
        descriptor["kind"] = "changed"   # must not leak into a later run
        return "external"

    impl = Impl(ops={"f": record("f")}, sources={"x": record("x")}, external=external,
                exchange=record("exchange"))
    for _ in range(2):
        assert evaluate(g, impl, [ex]) == ["exchange"]
        assert seen["x"] == ((), {"seed": 7})
        assert seen["f"] == (("x",), params)
        assert seen["external"] == (g.nodes()[ext]["descriptor"], ("f",), {"k": 1})
        assert seen["exchange"] == (("external",), {"partitions": 4})


def test_exchange_without_implementation_passes_its_one_input_on():
    g = dc.GraphStore()
    ex = g.add_exchange([g.add_source("x")], {"partitions": 2})
    assert evaluate(g, Impl(sources={"x": [1, 2]}), [ex]) == [[1, 2]]


def test_stage_members_read_inputs_and_earlier_members():
    g = dc.GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    d = g.add_op("sub", [x, y])
    e = g.add_op("mul", [d, x])
    f = g.add_op("sub", [e, d])
    fused, _ = g.reduce(maximal_fusion=True, outputs=[f])
    stages = [n for n in fused.nodes() if n["kind"] == "stage"]
    assert len(stages) == 1 and stages[0]["n_members"] == 3
    impl = Impl(ops={"sub": operator.sub, "mul": operator.mul}, sources={"x": 5, "y": 2})
    assert evaluate(fused, impl) == evaluate(g, impl, [f]) == [(5 - 2) * 5 - (5 - 2)]


MISSING = [
    ("op", lambda g: g.add_op("nope", [g.add_source("x")]), "no implementation for op 'nope' (node 1)"),
    ("reduction", lambda g: g.add_reduction("nope", [g.add_source("x")]),
     "no implementation for reduction 'nope' (node 1)"),
    ("source", lambda g: g.add_source("nope"), "no implementation for source 'nope' (node 1)"),
    ("external", lambda g: g.add_external(dc.PayloadDescriptor(**DESCRIPTOR), []),
     "no implementation for external nodes (node 1)"),
    ("exchange of two", lambda g: g.add_exchange([g.add_source("x"), g.add_source("x", {"k": 1})]),
     "no implementation for exchange (node 2, 2 inputs)"),
]


@pytest.mark.parametrize("case", MISSING, ids=[c[0] for c in MISSING])
def test_missing_implementation_is_reported_before_anything_runs(case):
    _, add, message = case
    g = dc.GraphStore()
    first = g.add_source("x")
    last = add(g)
    calls = Calls()
    impl = Impl(sources={"x": calls("x", lambda: 1)})
    with pytest.raises(LookupError) as info:
        evaluate(g, impl, [first, last])
    assert message in str(info.value)
    with pytest.raises(LookupError):
        to_dask(g, impl, [first, last])
    assert not calls.seen


def test_missing_stage_member_implementation_names_member_and_stage():
    g, s = road()
    fused, _ = g.reduce(maximal_fusion=True, outputs=[s])
    stage = next(n["id"] for n in fused.nodes() if n["kind"] == "stage")
    impl = Impl(ops={"add": scalar_add}, reductions={"sum": sum}, sources={"x": 1, "y": 2})
    with pytest.raises(LookupError, match=rf"^no implementation for op 'mul' \(member 1 of stage node {stage}\)$"):
        evaluate(fused, impl)


@pytest.mark.parametrize("outputs, error, message", [
    ([7], ValueError, "no node with id 7"),
    ([0, 99], ValueError, "no node with id 99"),
    ([-1], ValueError, "no node with id -1"),
    (["0"], TypeError, "outputs must hold node ids (int), not str"),
    ("01", TypeError, "outputs must be a sequence of node ids"),
])
def test_bad_outputs_are_rejected(outputs, error, message):
    g = dc.GraphStore()
    for name in "abcdefg":
        g.add_source(name)
    impl = Impl(sources={n: n for n in "abcdefg"})
    for run in (evaluate, to_dask):
        with pytest.raises(error) as info:
            run(g, impl, outputs)
        assert str(info.value) == message


def test_default_outputs_are_the_marked_ones_and_none_gives_nothing():
    g, s = road()
    reduced, _ = g.reduce(outputs=[s, 0])
    assert evaluate(reduced, ROAD_IMPL) == [490, 3]
    assert evaluate(g, ROAD_IMPL) == []          # a recorded store marks nothing
    assert to_dask(g, ROAD_IMPL) == ({}, [])


class Boom(Exception):
    pass


def boom(*args, **kw):
    raise Boom("from the user's function")


def run_on(runner):
    if runner == "local":
        return evaluate
    import_or_skip("dask")
    return lambda g, impl, outputs: compute(g, impl, outputs, scheduler=runner)


@pytest.mark.parametrize("runner", ["local", "sync", "threads"])
def test_user_exception_propagates_with_a_note_naming_the_node(runner):
    run = run_on(runner)
    g, s = road()
    impl = Impl(ops={"add": scalar_add, "mul": boom}, reductions={"sum": sum},
                sources={"x": 1, "y": 2})
    single, _ = g.reduce(outputs=[s])
    fused, _ = g.reduce(maximal_fusion=True, outputs=[s])
    for store, outputs, where in ((g, [s], "while computing node 4 (op 'mul')"),
                                  (single, None, "while computing member 0 (op 'mul') of node 3 (stage)"),
                                  (fused, None, "while computing member 1 (op 'mul') of node 2 (stage)")):
        with pytest.raises(Boom) as info:
            run(store, impl, outputs)
        assert str(info.value) == "from the user's function"
        assert info.value.__notes__ == [f"dagloom_exec: raised {where}"], store.nodes()


def test_to_dask_keys_are_per_store_deterministic_and_composable():
    dask = import_or_skip("dask.threaded")
    g, s = road()
    reduced, _ = g.reduce(maximal_fusion=True, outputs=[s])
    graph1, keys1 = to_dask(g, ROAD_IMPL, [s])
    graph2, keys2 = to_dask(reduced, ROAD_IMPL)
    assert len(graph1) == 7 and len(graph2) == 4     # one task per needed node, one per stage
    assert keys1 == [(graph_name(g), s)] and keys2 == [(graph_name(reduced), 3)]
    assert not graph1.keys() & graph2.keys()
    assert to_dask(dc.GraphStore.deserialize(g.serialize()), ROAD_IMPL, [s])[1] == keys1
    merged = {**graph1, **graph2}
    assert dask.get(merged, keys1 + keys2) == (490, 490)
    # Every task pickles (Dask ships them to other processes).
    for task in graph2.values():
        assert pickle.loads(pickle.dumps(task[0])).where == task[0].where


@pytest.mark.parametrize("kwargs, message", [
    (dict(ops={"add": 1}), "Impl: ops['add'] is not callable"),
    (dict(reductions=[("sum", sum)]), "Impl: reductions must be a mapping from names to functions, not list"),
    (dict(ops={1: sum}), "Impl: ops keys must be str, not int"),
    (dict(sources=None), "Impl: sources must be a mapping from names to values or functions, not NoneType"),
    (dict(external="f"), "Impl: external must be callable or None"),
])
def test_impl_rejects_what_it_cannot_call(kwargs, message):
    with pytest.raises(TypeError) as info:
        Impl(**kwargs)
    assert str(info.value) == message


def test_evaluate_rejects_what_is_not_an_impl():
    g, s = road()
    with pytest.raises(TypeError, match="impl must be a dagloom_exec.Impl, not dict"):
        evaluate(g, {"ops": {}}, [s])


def test_impl_is_hashed_and_compared_by_identity():
    a, b = Impl(ops={"f": len}), Impl(ops={"f": len})
    assert len({a, b, a}) == 2 and a != b and a == a
