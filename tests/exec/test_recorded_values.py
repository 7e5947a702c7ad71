"""A traced reduction finds every request's value and every needed recorded node's."""

import random

import dagloom_core as dc
import numeric_graphs as ng
import pytest
from dagloom_exec import Impl, evaluate, run
from exec_support import road
from hypothesis import given, settings
from hypothesis import strategies as st

IDENTITY_CHAIN = [("add", {"scalar": 0.0, "side": "r"}), ("mul", {"scalar": 1.0, "side": "l"})]


def needed(store, requests):
    nodes = store.nodes()
    live = [False] * len(nodes)
    for r in requests:
        live[r] = True
    for node in reversed(nodes):
        if live[node["id"]]:
            for j in node["inputs"]:
                live[j] = True
    return live


def place_values(store, impl):
    """(node id, member position or -1) -> value, for every node and stage member."""
    nodes = store.nodes()
    values = dict(zip(((i, -1) for i in range(len(nodes))), evaluate(store, impl, range(len(nodes)))))
    for node in nodes:
        if node["kind"] != "stage":
            continue
        inputs = [values[(j, -1)] for j in node["inputs"]]
        members = []
        for k, m in enumerate(node["members"]):
            fn = (impl.ops if m["kind"] == "op" else impl.reductions)[m["name"]]
            args = [members[i] if src == "member" else inputs[i] for src, i in m["inputs"]]
            members.append(fn(*args, **m["params"]))
            values[(node["id"], k)] = members[-1]
    return values


def check(recorded, requests, reduced, origins, impl):
    count = recorded.node_count()
    assert len(origins.node) == len(origins.member) == count
    want = evaluate(recorded, impl, range(count))
    assert evaluate(reduced, impl, origins=origins) == [want[r] for r in requests]
    assert len(origins.outputs) == len(requests)
    places = place_values(reduced, impl)
    kinds = [n["kind"] for n in reduced.nodes()]
    for i, live in enumerate(needed(recorded, requests)):
        node, member = origins.node[i], origins.member[i]
        if not live:
            assert (node, member) == (-1, -1), f"dead node {i} has a place"
            continue
        # -1 is the node's own value: a recorded stage carried over whole has one.
        assert member < 0 or kinds[node] == "stage", f"node {i}: member {member} of a {kinds[node]}"
        assert places[(node, member)] == want[i], f"node {i} at {(node, member)}"


def recorded_with_requests(seed, size, after_each=None):
    g, outputs = ng.record(seed, size, after_each=after_each)
    rng = random.Random(~seed)
    # Requests that the reduction makes one: a node and an identity chain over it.
    base = top = rng.randrange(g.node_count())
    for name, params in IDENTITY_CHAIN[:rng.randint(0, 2)]:
        top = g.add_op(name, [top], params)
        if after_each is not None:
            after_each(g)
    extra = [rng.randrange(g.node_count()) for _ in range(rng.randint(0, 4))]
    requests = [*outputs, base, top, *extra, *outputs[:1]]
    rng.shuffle(requests)
    return g, requests


SEEDS = st.integers(min_value=0, max_value=2**32 - 1)
SIZES = st.integers(min_value=1, max_value=50)


@settings(max_examples=40, deadline=None)
@given(seed=SEEDS, size=SIZES, maximal=st.booleans())
def test_reduce_traced_places_every_needed_node(seed, size, maximal):
    impl = ng.int_impl(seed)
    g, requests = recorded_with_requests(seed, size)
    reduced, _, origins = g.reduce_traced(maximal_fusion=maximal, outputs=requests)
    check(g, requests, reduced, origins, impl)
    assert run(g, impl, requests, maximal_fusion=maximal) == evaluate(g, impl, requests)
    # A reduced store reduced again, against its own marks and against requests.
    again, _, origins = reduced.reduce_traced(maximal_fusion=not maximal)
    check(reduced, reduced.outputs(), again, origins, impl)
    asked = list(origins.outputs) + reduced.outputs()[:1]
    again, _, origins = reduced.reduce_traced(outputs=asked)
    check(reduced, asked, again, origins, impl)


@settings(max_examples=25, deadline=None)
@given(seed=SEEDS, size=SIZES, maximal=st.booleans(), stepped=st.booleans())
def test_finalize_traced_places_the_fed_stores_nodes(seed, size, maximal, stepped):
    impl = ng.int_impl(seed)
    r = dc.IncrementalReducer()
    g, requests = recorded_with_requests(seed, size, after_each=r.step if stepped else None)
    reduced, _, origins = r.finalize_traced(g, maximal_fusion=maximal, outputs=requests)
    check(g, requests, reduced, origins, impl)


def refusing(name):
    def refuse(*args, **params):
        raise ZeroDivisionError(f"{name} refused")
    return refuse


def road_requests():
    """The road, asked for its sum, its add-zero and its mul: ids 6, 5 and 4."""
    g, s = road()
    return g, [s, s - 1, s - 2]


ROAD = Impl(ops={"add": ng.int_add, "mul": ng.int_mul}, reductions={"sum": ng.int_sum},
            sources={"x": 3, "y": 4})


@pytest.mark.parametrize("refused, maximal, note", [
    ("add", True, "member 0 (op 'add') of node 2 (stage; recorded nodes 2, 3)"),
    ("mul", True, "member 1 (op 'mul') of node 2 (stage; recorded nodes 4, 5)"),
    ("mul", False, "member 0 (op 'mul') of node 3 (stage; recorded nodes 4, 5)"),
    ("sum", False, "node 4 (reduction 'sum'; recorded node 6)"),
])
def test_notes_name_the_recorded_nodes(refused, maximal, note):
    g, requests = road_requests()
    tables = {"ops": dict(ROAD.ops), "reductions": dict(ROAD.reductions)}
    for table in tables.values():
        if refused in table:
            table[refused] = refusing(refused)
    impl = Impl(**tables, sources=ROAD.sources)
    with pytest.raises(ZeroDivisionError) as info:
        run(g, impl, requests, maximal_fusion=maximal)
    assert info.value.__notes__ == [f"dagloom_exec: raised while computing {note}"]


def test_run_gives_one_value_per_request_in_order():
    g, (s, z, m) = road_requests()
    want = evaluate(g, ROAD, [m, s, z, m])
    for reduce in (True, False):
        assert run(g, ROAD, [m, s, z, m], reduce=reduce) == want
    assert g.node_count() == 8 and g.outputs() == []
