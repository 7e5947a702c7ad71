"""Traced reductions: the reduction of the untraced call, and origins that
say where each recorded node went."""
import dagloom_core as dc
import pytest
from hypothesis import given, settings, strategies as st

# (name, arity, params), each recorded over (a, b) and over (b, a), so that
# commutative pairs meet their mirrors; add with 0.0 on the right is an identity.
OPS = [("neg", 1, None), ("add", 2, None), ("mul", 2, None), ("add", 1, {"scalar": 0.0, "side": "r"}), ("sum", 1, None)]


@st.composite
def stores(draw):
    g = dc.GraphStore()
    g.add_source("x")
    for _ in range(draw(st.integers(0, 20))):
        a, b = (draw(st.integers(0, g.node_count() - 1)) for _ in range(2))
        name, arity, params = draw(st.sampled_from(OPS))
        for inputs in ([a, b][:arity], [b, a][:arity]):
            g.add_reduction(name, inputs) if name == "sum" else g.add_op(name, inputs, params)
    return g, draw(st.lists(st.integers(0, g.node_count() - 1), max_size=5))


def check_origins(g, outputs, reduced, origins):
    nodes, n = g.nodes(), g.node_count()
    needed, stack = [False] * n, list(outputs)
    while stack:
        i = stack.pop()
        stack += [] if needed[i] else nodes[i]["inputs"]
        needed[i] = True
    for column in (origins.node, origins.member):
        assert (column.format, column.itemsize, column.readonly, len(column)) == ("q", 8, True, n)
    node, member, stages = origins.node.tolist(), origins.member.tolist(), reduced.nodes()
    assert [i for i in range(n) if node[i] == -1] == [i for i in range(n) if not needed[i]]
    assert all(m == -1 or (nodes[i]["kind"] == "op" and m < stages[node[i]]["n_members"]) for i, m in enumerate(member))
    assert origins.outputs == [node[o] for o in outputs]
    assert list(dict.fromkeys(origins.outputs)) == reduced.outputs()
    assert repr(origins) == f"<Origins of {n} node{'s' * (n != 1)}, {len(outputs)} output{'s' * (len(outputs) != 1)}>"


@given(stores(), st.booleans())
@settings(max_examples=80, deadline=None)
def test_traced_reductions_are_the_untraced_ones_with_origins(case, maximal):
    g, outputs = case
    # Against given outputs, then (re-reducing, its stages opaque) the marked ones.
    for store, kwargs in ((g, {"outputs": outputs}), (g.reduce(outputs=outputs)[0], {})):
        want = store.outputs() if not kwargs else outputs
        r = dc.IncrementalReducer()
        for plain, traced, args in ((store.reduce, store.reduce_traced, ()), (r.finalize, r.finalize_traced, (store,))):
            reduced, report = plain(*args, maximal_fusion=maximal, **kwargs)
            traced_store, traced_report, origins = traced(*args, maximal_fusion=maximal, **kwargs)
            assert (traced_store.serialize(), traced_report) == (reduced.serialize(), report)
            check_origins(store, want, traced_store, origins)


@pytest.mark.parametrize("args, kwargs", [
    ((), {"outputs": "01"}), ((), {"outputs": 6}), ((), {"outputs": [1, 99, 98]}), ((), {"outputs": [-1]}),
    ((), {"maximal_fusion": 1}), ((), {"maximal_fusion": None}), ((), {"maximal_fusion": "y", "outputs": "01"}),
    ((True,), {}), ((), {"bogus": 1}),
])
@pytest.mark.parametrize("untraced", ["reduce", "finalize"])
def test_argument_errors_are_those_of_the_untraced_call(road, untraced, args, kwargs):
    r = dc.IncrementalReducer()
    call = {"reduce": lambda name: getattr(road, name)(*args, **kwargs),
            "finalize": lambda name: getattr(r, name)(road, *args, **kwargs)}[untraced]
    with pytest.raises(Exception) as want:
        call(untraced)
    with pytest.raises(type(want.value)) as got:
        call(untraced + "_traced")
    assert str(got.value).replace("_traced", "") == str(want.value)
    assert (r.watermark(), road.node_count()) == (0, 8)
