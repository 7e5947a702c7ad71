import dagloom_core as dc
import pytest
from optional_imports import import_or_skip
from conftest import road_of_one_request

REPORT_KEYS = {"input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"}


def member(name, *refs, params=None):
    return {"kind": "op", "name": name, "params": params or {}, "inputs": list(refs)}


def stage_node(i, inputs, *members):
    return {"id": i, "output": False, "inputs": inputs, "kind": "stage", "name": "", "params": {},
            "n_members": len(members), "members": list(members)}


SRC = [{"id": i, "output": False, "inputs": [], "kind": "source", "name": n, "params": {}} for i, n in enumerate("xy")]


def test_road_of_one_request_single_use(road):
    reduced, report = road.reduce(outputs=[6])
    assert report == dict(input_nodes=8, reachable_nodes=7, canonical_nodes=5, stages=2, reduced_nodes=5,
                          boundary_nodes=3)
    assert reduced.nodes() == SRC + [
        stage_node(2, [0, 1], member("add", ("input", 0), ("input", 1))),
        stage_node(3, [2], member("mul", ("input", 0), ("input", 0))),
        {"id": 4, "output": True, "inputs": [3], "kind": "reduction", "name": "sum", "params": {}},
    ]
    assert reduced.outputs() == [4]
    assert reduced.to_dot() == (
        'digraph dagloom {\n  n0 [label="Source x"];\n  n1 [label="Source y"];\n  n2 [label="Stage[1 members]"];\n'
        '  n3 [label="Stage[1 members]"];\n  n4 [label="Reduction sum", shape=doublecircle];\n'
        "  n0 -> n2;\n  n1 -> n2;\n  n2 -> n3;\n  n3 -> n4;\n}\n"
    )
    # The store the call was made on is untouched.
    assert (road.node_count(), road.outputs()) == (8, [])


def test_road_of_one_request_maximal(road):
    reduced, report = road.reduce(maximal_fusion=True, outputs=[6])
    assert report == dict(input_nodes=8, reachable_nodes=7, canonical_nodes=5, stages=1, reduced_nodes=4,
                          boundary_nodes=3)
    assert reduced.nodes()[2] == stage_node(
        2, [0, 1], member("add", ("input", 0), ("input", 1)), member("mul", ("member", 0), ("member", 0)))


@pytest.mark.parametrize("kwargs", [{}, {"outputs": None}, {"outputs": []}, {"outputs": ()}])
def test_no_outputs_gives_empty_store(road, kwargs):
    reduced, report = road.reduce(**kwargs)
    assert reduced.node_count() == 0
    assert report == dict.fromkeys(REPORT_KEYS, 0) | {"input_nodes": 8}


def test_empty_store():
    reduced, report = dc.GraphStore().reduce()
    assert reduced.node_count() == 0 and report == dict.fromkeys(REPORT_KEYS, 0)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"outputs": "01"}, TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ({"outputs": 6}, TypeError, "argument 'outputs': 'int' object is not an instance of 'Sequence'"),
        ({"outputs": [1, 99, 98]}, ValueError, "no node with id 99"),
        ({"outputs": [8]}, ValueError, "no node with id 8"),
        ({"outputs": [-1]}, OverflowError, None),
        ({"maximal_fusion": 1}, TypeError, "argument 'maximal_fusion': 'int' object is not an instance of 'bool'"),
        ({"maximal_fusion": None}, TypeError,
         "argument 'maximal_fusion': 'NoneType' object is not an instance of 'bool'"),
        # maximal_fusion is converted before outputs.
        ({"maximal_fusion": "yes", "outputs": "01"}, TypeError,
         "argument 'maximal_fusion': 'str' object is not an instance of 'bool'"),
    ],
)
def test_reduce_argument_errors(road, kwargs, exc, message):
    with pytest.raises(exc) as e:
        road.reduce(**kwargs)
    assert message is None or str(e.value) == message
    if "maximal_fusion" not in kwargs:
        with pytest.raises(exc):
            road.reduction_report(**kwargs)
        with pytest.raises(exc):
            road.reduce_incremental(**kwargs)


def test_numpy_bool_accepted_by_truth_value(road):
    np = import_or_skip("numpy")
    for flag in (True, False):
        expected = road.reduce(maximal_fusion=flag, outputs=[6])
        got = road.reduce(maximal_fusion=np.bool_(flag), outputs=[6])
        assert got[1] == expected[1] and got[0].serialize() == expected[0].serialize()
    with pytest.raises(TypeError):
        road.reduce(maximal_fusion=np.int64(1))


@pytest.mark.parametrize("outputs", [[6], (6,), [6, 6], [5, 6, 2], [0]])
def test_three_methods_agree(road, outputs):
    reduced, report = road.reduce(outputs=outputs)
    inc_store, inc_report = road.reduce_incremental(outputs=outputs)
    assert set(report) == REPORT_KEYS
    assert report == inc_report == road.reduction_report(outputs=outputs)
    assert reduced.serialize() == inc_store.serialize()
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] == reduced.node_count()
    assert report["reduced_nodes"] <= report["canonical_nodes"] <= report["reachable_nodes"] <= report["input_nodes"]


def test_fan_out_fusion():
    g = dc.GraphStore()
    s = g.add_source("s")
    a = g.add_op("a", [s])
    d = g.add_op("d", [g.add_op("b", [a]), g.add_op("c", [a])])
    assert g.reduction_report(outputs=[d])["stages"] == 2
    reduced, report = g.reduce(maximal_fusion=True, outputs=[d])
    assert report["stages"] == 1
    assert [m["name"] for m in reduced.nodes()[1]["members"]] == ["a", "b", "c", "d"]


def test_reduced_store_reduces_again_keeping_stages_apart():
    g = dc.GraphStore()
    x = g.add_source("x")
    outs = [g.add_op("neg", [x]), g.add_op("exp", [x])]
    once, _ = g.reduce(outputs=outs)
    twice, report = once.reduce()
    assert report["stages"] == 0 and report["boundary_nodes"] == 3
    assert [[m["name"] for m in n["members"]] for n in twice.nodes()[1:]] == [["neg"], ["exp"]]
    assert dc.GraphStore.deserialize(twice.serialize()).serialize() == twice.serialize()
