"""Traced reductions: the reduction of the untraced call, and origins that
say where each recorded node went."""
import dagloom_core as dc
import pytest
from hypothesis import given, settings, strategies as st

IDENTITY = {"scalar": 0.0, "side": "r"}


@st.composite
def stores(draw):
    """Chains, mirrored commutative pairs, identity ops and reductions, with outputs to reduce against."""
    g = dc.GraphStore()
    g.add_source("x")
    for _ in range(draw(st.integers(0, 30))):
        a, b = (draw(st.integers(0, g.node_count() - 1)) for _ in range(2))
        kind = draw(st.sampled_from(["src", "neg", "add", "mirror", "identity", "sum"]))
        if kind == "src":
            g.add_source(f"s{a}")
        elif kind == "sum":
            g.add_reduction("sum", [a])
        elif kind == "identity":
            g.add_op("add", [a], IDENTITY)
        else:
            g.add_op("mul" if kind == "mirror" else kind, [a, b] if kind != "neg" else [a])
            if kind == "mirror":
                g.add_op("mul", [b, a])
    return g, draw(st.lists(st.integers(0, g.node_count() - 1), max_size=5))


def check_origins(g, outputs, reduced, origins):
    nodes, n = g.nodes(), g.node_count()
    needed = [False] * n
    stack = list(outputs)
    while stack:
        i = stack.pop()
        stack += [] if needed[i] else nodes[i]["inputs"]
        needed[i] = True
    assert origins.input_nodes == n
    for column in (origins.node, origins.member):
        assert (column.format, column.itemsize, column.readonly, len(column)) == ("q", 8, True, n)
    node, member, into = origins.node.tolist(), origins.member.tolist(), reduced.nodes()
    assert [i for i in range(n) if node[i] < 0] == [i for i in range(n) if not needed[i]]
    for i in range(n):
        if member[i] >= 0:
            assert nodes[i]["kind"] == "op" and member[i] < into[node[i]]["n_members"]
        assert needed[i] or member[i] == -1
    assert origins.outputs == [node[o] for o in outputs]
    assert list(dict.fromkeys(origins.outputs)) == reduced.outputs()


@given(stores(), st.booleans())
@settings(max_examples=80, deadline=None)
def test_traced_reductions_are_the_untraced_ones_with_origins(case, maximal):
    g, outputs = case
    reduced, report = g.reduce(maximal_fusion=maximal, outputs=outputs)
    traced, traced_report, origins = g.reduce_traced(maximal_fusion=maximal, outputs=outputs)
    assert (traced.serialize(), traced_report) == (reduced.serialize(), report)
    check_origins(g, outputs, traced, origins)
    # Against marked outputs, and recorded stages, which stay opaque.
    again, _, again_origins = reduced.reduce_traced(maximal_fusion=maximal)
    check_origins(reduced, reduced.outputs(), again, again_origins)
    r = dc.IncrementalReducer()
    final, final_report = r.finalize(g, maximal_fusion=maximal, outputs=outputs)
    traced, traced_report, origins = r.finalize_traced(g, maximal_fusion=maximal, outputs=outputs)
    assert (traced.serialize(), traced_report) == (final.serialize(), final_report)
    check_origins(g, outputs, traced, origins)


# The worked example: add(x, y) and add(y, x) merge, the identity add over
# mul is mul's, neg(x) is needed by nothing.
@pytest.mark.parametrize("maximal, node, member", [
    (False, [0, 1, 2, 2, 3, 3, 4, -1], [-1, -1, 0, 0, 0, 0, -1, -1]),
    (True, [0, 1, 2, 2, 2, 2, 3, -1], [-1, -1, 0, 0, 1, 1, -1, -1]),
])
def test_worked_example(road, maximal, node, member):
    for _, _, origins in (road.reduce_traced(maximal_fusion=maximal, outputs=[6, 6]),
                          dc.IncrementalReducer().finalize_traced(road, maximal_fusion=maximal, outputs=[6, 6])):
        assert (origins.node.tolist(), origins.member.tolist()) == (node, member)
        assert memoryview(origins).tolist() == node + member
        assert repr(origins) == "<Origins of 8 nodes, 2 outputs>"
    with pytest.raises(TypeError, match="read-only"):
        origins.node[0] = 1
    with pytest.raises(TypeError, match="cannot create 'dagloom_core.Origins' instances"):
        dc.Origins()


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
