# A node hands back the float bits it was built with: NaNs with different
# payloads are one value for identity, but the store pools parameter lists,
# and a pool that merged equal lists gave a later node an earlier node's NaN.
import struct

import dagloom_core as dc
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def nan(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


N1 = 0x7FF0000000000001  # signalling payload
N2 = 0xFFF8000000000002  # negative, quiet, other payload
N3 = 0x7FF8000000000000  # the canonical NaN
N4 = 0x7FF4000000000ABC


def source_bits(store):
    return [bits(n["params"]["s"]) for n in store.nodes() if "s" in n["params"]]


def round_trip(store):
    return dc.GraphStore.deserialize(store.serialize())


def via_reduce(store):
    return store.reduce(outputs=list(range(store.node_count())))[0]


def via_reduce_incremental(store):
    return store.reduce_incremental(outputs=list(range(store.node_count())))[0]


def via_reducer(store):
    reducer = dc.IncrementalReducer()
    reducer.step(store)
    return reducer.finalize(store, outputs=list(range(store.node_count())))[0]


def itself(store):
    return store


PATHS = [itself, round_trip, via_reduce, via_reduce_incremental, via_reducer]


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.__name__)
def test_each_node_keeps_its_own_nan(path):
    g = dc.GraphStore()
    for name, payload in zip("abc", (N1, N2, N3)):
        g.add_source(name, {"s": nan(payload)})
    assert source_bits(path(g)) == [N1, N2, N3]


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.__name__)
def test_equal_keys_are_one_node_with_the_first_bits(path):
    g = dc.GraphStore()
    first = g.add_source("a", {"s": nan(N2), "t": 1})
    assert g.add_source("a", {"t": 1, "s": nan(N1)}) == first
    assert g.add_source("a", {"s": nan(N3), "t": 1}) == first
    other = g.add_exchange([first], {"s": nan(N1)})
    assert g.add_exchange([first], {"s": nan(N2)}) == other
    assert g.node_count() == 2
    assert source_bits(path(g)) == [N2, N1]


def test_serialized_bytes_hold_each_nodes_bits():
    g = dc.GraphStore()
    g.add_source("a", {"s": nan(N1)})
    g.add_source("b", {"s": nan(N2)})
    data = g.serialize()
    assert struct.pack("<Q", N1) in data and struct.pack("<Q", N2) in data
    assert round_trip(g).serialize() == data


def test_a_blob_of_payload_variants_reads_back_unmerged():
    # The reader pools the lists of a blob as the store does: records whose
    # lists differ only in a NaN's payload keep their own.
    g = dc.GraphStore()
    sources = [g.add_source(f"s{k}") for k in range(5)]
    for src, payload in zip(sources, (N1, N2, N1, N3, N2)):
        g.add_op("f", [src], {"s": nan(payload)})
    back = round_trip(g)
    assert source_bits(back) == source_bits(g) == [N1, N2, N1, N3, N2]
    # Identity still canonicalises: the same keys land on the same ids.
    for n in g.nodes():
        if n["kind"] == "op":
            assert back.add_op("f", n["inputs"], {"s": nan(N3)}) == n["id"]
    assert back.node_count() == g.node_count()


def test_dot_of_payload_variants_is_unchanged_by_them():
    a, b = dc.GraphStore(), dc.GraphStore()
    a.add_source("x", {"s": nan(N1)})
    a.add_source("y", {"s": nan(N2)})
    b.add_source("x", {"s": nan(N3)})
    b.add_source("y", {"s": nan(N3)})
    assert a.to_dot() == b.to_dot()


def test_reduction_keeps_bits_of_nodes_that_share_a_token():
    g = dc.GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    x = g.add_reduction("r", [a], {"s": nan(N1)})
    y = g.add_reduction("r", [b], {"s": nan(N2)})
    assert source_bits(g.reduce(outputs=[x, y])[0]) == [N1, N2]


# Every way to reduce a store: each node of the result that stands for
# recorded nodes holds the bits of the one that represents them.
def reduce_single(g, outputs):
    return g.reduce(outputs=outputs)[0]


def reduce_maximal(g, outputs):
    return g.reduce(outputs=outputs, maximal_fusion=True)[0]


def reduce_incremental(g, outputs):
    return g.reduce_incremental(outputs=outputs)[0]


def reducer_single(g, outputs):
    reducer = dc.IncrementalReducer()
    reducer.step(g)
    return reducer.finalize(g, outputs=outputs)[0]


def reducer_maximal(g, outputs):
    reducer = dc.IncrementalReducer()
    reducer.step(g)
    return reducer.finalize(g, outputs=outputs, maximal_fusion=True)[0]


def reduce_twice(g, outputs):
    return g.reduce(outputs=outputs)[0].reduce(maximal_fusion=True)[0]


def reducer_then_reduce_incremental(g, outputs):
    return reducer_maximal(g, outputs).reduce_incremental()[0]


REDUCTIONS = [reduce_single, reduce_maximal, reduce_incremental, reducer_single, reducer_maximal, reduce_twice,
              reducer_then_reduce_incremental]


# Each graph records its NaNs through `f` (bits -> float) and returns its
# outputs with the bits the reduced nodes that carry an "s" must hold.
def over_distinct_inputs(g, f):
    a, b, c, d = (g.add_source(name) for name in "abcd")
    outs = [g.add_reduction("r", [x], {"s": f(p)}) for x, p in zip((a, b, c, d), (N1, N2, N1, N3))]
    return outs, [N1, N2, N1, N3]


def over_merged_inputs(g, f):
    # add(a, b) and add(b, a) are one node after reduction, so the two
    # reductions over them are too: the first one recorded stays. The nodes
    # after them move down, and keep their own bits.
    a, b = g.add_source("a"), g.add_source("b")
    ab, ba = g.add_op("add", [a, b]), g.add_op("add", [b, a])
    outs = [g.add_reduction("r", [ab], {"s": f(N2)}), g.add_reduction("r", [ba], {"s": f(N1)})]
    return outs + [g.add_reduction("r", [g.add_source("c")], {"s": f(N2)})], [N2, N2]


def over_an_identity(g, f):
    # The identity op is its operand: r over it is r over a, recorded first.
    a = g.add_source("a")
    same = g.add_op("add", [a], {"scalar": 0.0, "side": "r"})
    return [g.add_reduction("r", [same], {"s": f(N1)}), g.add_reduction("r", [a], {"s": f(N2)})], [N1]


def over_stages(g, f):
    # Chains fused into stages under either rule; the ops' own NaNs are
    # part of their stage members' texts.
    a = g.add_source("a")
    u = g.add_op("neg", [a], {"s": f(N4)})
    v, w = g.add_op("exp", [u]), g.add_op("log", [u])
    return [g.add_reduction("r", [v], {"s": f(N2)}), g.add_reduction("r", [w], {"s": f(N1)})], [N2, N1]


def exchanges_and_externals(g, f):
    a, b = g.add_source("a"), g.add_source("b")
    d = dc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="x")
    outs = [g.add_exchange([a], {"s": f(N1)}), g.add_exchange([b], {"s": f(N2)}),
            g.add_external(d, [a], {"s": f(N2)}), g.add_external(d, [b], {"s": f(N3)})]
    return outs, [N1, N2, N2, N3]


GRAPHS = [over_distinct_inputs, over_merged_inputs, over_an_identity, over_stages, exchanges_and_externals]


@pytest.mark.parametrize("reduce", REDUCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("graph", GRAPHS, ids=lambda f: f.__name__)
def test_reduced_nodes_keep_the_bits_of_the_nodes_they_stand_for(graph, reduce):
    g = dc.GraphStore()
    outputs, expect = graph(g, nan)
    reduced = reduce(g, outputs)
    assert source_bits(reduced) == expect
    # Bits aside, the result is that of the same graph with canonical NaNs.
    plain = dc.GraphStore()
    assert graph(plain, lambda _: nan(N3))[0] == outputs
    canonical = reduce(plain, outputs)
    assert source_bits(canonical) == [N3] * len(expect)
    assert reduced.to_dot() == canonical.to_dot()
    assert reduced.outputs() == canonical.outputs()


payloads = st.integers(1, (1 << 51) - 1).flatmap(
    lambda p: st.sampled_from([0x7FF0000000000000 | p, 0xFFF0000000000000 | p])
)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.sampled_from("abc"), payloads), min_size=1, max_size=12))
def test_nodes_give_the_bits_of_the_first_equal_key(entries):
    g = dc.GraphStore()
    first = {}
    for name, payload in entries:
        node = g.add_source(name, {"s": nan(payload)})
        first.setdefault(node, payload)
    expect = [first[i] for i in range(g.node_count())]
    assert source_bits(g) == expect
    assert source_bits(round_trip(g)) == expect


def test_a_blob_repeating_a_key_in_other_nan_bits_reads_as_one_node():
    # Records that repeat an earlier key are folded into it on reading; a
    # repeat that differs only in a NaN's payload is still the same key.
    g = dc.GraphStore()
    a = g.add_source("a", {"s": nan(N1)})
    b = g.add_source("b", {"s": nan(N2)})
    g.add_op("f", [a, b])
    data = g.serialize()
    repeat = data.replace(b"\x01\x00\x00\x00b", b"\x01\x00\x00\x00a")
    assert repeat != data
    back = dc.GraphStore.deserialize(repeat)
    assert back.node_count() == 2
    assert source_bits(back) == [N1]
    assert back.nodes()[1]["inputs"] == [0, 0]
