import math
import struct

import dagloom_core as dc
import pytest
from conftest import road_of_one_request
from hypothesis import given, settings
from hypothesis import strategies as st

TRUNCATED = "truncated dagloom IR blob"


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def text(b):
    return u32(len(b)) + b


NO_PARAMS = u32(0)


def blob(*records, outputs=()):
    return b"DIR1" + u32(len(records)) + b"".join(records) + u32(len(outputs)) + b"".join(map(u64, outputs))


def stage(inputs, *members):
    out = b"\x04" + u32(len(inputs)) + b"".join(map(u64, inputs)) + u32(len(members))
    for op, refs in members:
        out += text(op) + u32(len(refs)) + b"".join(bytes([tag]) + u32(i) for tag, i in refs)
    return out


SRC_X = b"\x00" + text(b"x") + NO_PARAMS
NAN_BITS = 0x7FF8000000000123
NAN = struct.unpack("<d", u64(NAN_BITS))[0]


def every_kind_store():
    """All six node kinds and all four value kinds."""
    g = road_of_one_request()
    g.add_source("p", {"i": -5, "f": NAN, "z": -0.0, "b": False, "s": "a;b"})
    pd = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    g.add_external({**pd, "preprocessing_ref": ""}, [8])
    g.add_external(pd, [8])
    g.add_exchange([9, 10], {"scheme": "x"})
    reduced, _ = g.reduce(outputs=[6, 11], maximal_fusion=True)
    return g, reduced


def test_known_bytes():
    assert dc.GraphStore().serialize() == b"DIR1" + bytes(8)
    g = dc.GraphStore()
    g.add_source("x")
    assert g.serialize(outputs=[0]) == bytes.fromhex("44495231 01000000 00 0100000078 00000000 01000000") + bytes(8)
    assert dc.GraphStore.deserialize(b"DIR1" + bytes(8)).node_count() == 0


def test_outputs_argument():
    g = road_of_one_request()
    assert g.serialize() == g.serialize(outputs=None) == g.serialize(outputs=[])
    assert g.serialize(outputs=[2, 1]) != g.serialize(outputs=[1, 2])
    assert g.serialize(outputs=[1, 1]).endswith(u32(2) + u64(1) + u64(1))
    assert g.serialize(outputs=(6,)) == g.serialize(outputs=[6])
    reduced, _ = g.reduce(outputs=[6])
    assert reduced.serialize().endswith(u32(1) + u64(4))
    assert reduced.serialize(outputs=[]).endswith(u32(0))
    with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`$"):
        g.serialize(outputs="01")
    with pytest.raises(ValueError, match="^no node with id 8$"):
        g.serialize(outputs=[0, 8, 9])


def test_round_trip_every_kind():
    for store in every_kind_store():
        data = store.serialize()
        back = dc.GraphStore.deserialize(data)
        assert back.serialize() == data
        assert repr(back.nodes()) == repr(store.nodes())  # repr: NaN and -0.0 compare by text
        assert back.outputs() == store.outputs()
    g, _ = every_kind_store()
    p = dc.GraphStore.deserialize(g.serialize()).nodes()[8]["params"]
    assert struct.pack("<d", p["f"]) == u64(NAN_BITS)
    assert math.copysign(1.0, p["z"]) == -1.0
    assert [n["descriptor"]["preprocessing_ref"] for n in g.nodes()[9:11]] == ["", None]


def test_bytes_subclass_accepted_others_refused():
    class Blob(bytes):
        pass

    data = road_of_one_request().serialize()
    assert dc.GraphStore.deserialize(Blob(data)).node_count() == 8
    assert dc.GraphStore().deserialize(data).node_count() == 8
    for other in (bytearray(data), memoryview(data), None):
        with pytest.raises(TypeError, match=f"^argument 'data': '{type(other).__name__}' object is not an instance of 'bytes'$"):
            dc.GraphStore.deserialize(other)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", TRUNCATED),
        (b"DIR", TRUNCATED),
        (b"DIR2", "not a dagloom IR blob (bad magic/version)"),
        (b"DIR1\x00\x00\x00", TRUNCATED),
        (b"DIR1" + u32(1), TRUNCATED),
        (b"DIR1" + u32(1) + b"\x06", "invalid node tag 6"),
        (blob(b"\x00" + text(b"x") + u32(1) + text(b"k") + b"\x04"), "invalid param tag 4"),
        (blob(stage([], (b"op|neg", [(2, 0)]))), "invalid stage-ref tag 2"),
        (blob(b"\x00" + text(b"\xff") + NO_PARAMS), "invalid utf-8 in dagloom IR blob"),
        (blob(b"\x01" + text(b"f") + NO_PARAMS + u32(1) + u64(0)), "node reference 0 out of range"),
        (blob(SRC_X, outputs=[1]), "node reference 1 out of range"),
        (blob(SRC_X, stage([0], (b"op|neg", [(1, 0)]))), "node reference 0 out of range"),
        (blob(SRC_X, stage([0], (b"op|neg", [(0, 1)]))), "node reference 1 out of range"),
        (b"DIR1" + u32(2**32 - 1) + SRC_X, TRUNCATED),
        (b"DIR1" + u32(1) + b"\x00" + u32(2**32 - 1) + b"x", TRUNCATED),
    ],
)
def test_blob_errors(data, message):
    with pytest.raises(ValueError) as e:
        dc.GraphStore.deserialize(data)
    assert str(e.value) == message


@pytest.mark.parametrize("which", ["road", "every-kind", "reduced"])
def test_every_truncation_point(which):
    g, reduced = every_kind_store()
    data = {"road": road_of_one_request().serialize(outputs=[6, 2]), "every-kind": g.serialize(),
            "reduced": reduced.serialize()}[which]
    for n in range(len(data)):
        with pytest.raises(ValueError, match=f"^{TRUNCATED}$"):
            dc.GraphStore.deserialize(data[:n])


def test_stage_members_from_blob():
    g = dc.GraphStore.deserialize(blob(SRC_X, stage([0], (b"op|neg", [(0, 0)]),
                                                    (b"red|sum|axis=i1", [(1, 0), (0, 0)])), outputs=[1]))
    node = g.nodes()[1]
    assert node["n_members"] == 2 and node["name"] == "" and node["params"] == {}
    assert node["members"] == [
        {"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]},
        {"kind": "red", "name": "sum", "params": {"axis": 1}, "inputs": [("member", 0), ("input", 0)]},
    ]
    bad = dc.GraphStore.deserialize(blob(SRC_X, stage([0], (b'src|"x', [(0, 0)]))))
    with pytest.raises(ValueError, match=r'^unparseable stage member token "src\|\\"x"$'):
        bad.nodes()


params = st.dictionaries(
    st.text(max_size=4),
    st.one_of(st.booleans(), st.integers(-(2**63), 2**63 - 1), st.floats(allow_nan=False), st.text(max_size=4)),
    max_size=5,
)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["source", "op", "reduction", "exchange"]), params,
                          st.lists(st.integers(0, 30), max_size=3)), max_size=12))
def test_random_stores_round_trip(records):
    g = dc.GraphStore()
    for kind, p, inputs in records:
        ids = [i % g.node_count() for i in inputs] if g.node_count() else []
        if kind == "source":
            i = g.add_source("s", p)
        elif kind == "exchange":
            i = g.add_exchange(ids, p)
        else:
            i = getattr(g, "add_" + kind)("f", ids, p)
        assert g.nodes()[i]["params"] == p and list(g.nodes()[i]["params"]) == sorted(p, key=str.encode)
    marked = list(range(g.node_count()))[::2]
    data = g.serialize(outputs=marked)
    back = dc.GraphStore.deserialize(data)
    assert back.serialize() == data and back.outputs() == marked
    assert back.nodes() == [{**n, "output": n["id"] in marked} for n in g.nodes()]
