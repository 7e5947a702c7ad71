// The packed node table: keys stored as pool ids and input slices must read
// back exactly as they went in, and equality must follow key equality (not
// pool identity, not byte identity of floats beyond canonical NaN).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph/node_key.h"
#include "graph/node_view.h"
#include "store/graph_store.h"
#include "util/internal_error.h"

using namespace dagloom;

namespace {

ParamMap params(std::vector<ParamMap::Entry> e) { return ParamMap::make(std::move(e)); }

// One key of every kind, with shared and distinct names and parameters.
std::vector<NodeKey> mixed_keys() {
    const ParamMap k1 = params({{"k", ParamValue::Int(1)}});
    const ParamMap two = params({{"side", ParamValue::Str("r")}, {"scalar", ParamValue::Float(0.0)}});
    PayloadDescriptor d{"onnx", "sha256:ab", "torch", "2.1", "f32[3]", std::string()};
    return {
        NodeKey::source("x", {}),
        NodeKey::source("y", k1),
        NodeKey::op("add", two, {0, 1}),
        NodeKey::op("add", two, {1, 0}),
        NodeKey::op("add", {}, {0, 1}),
        NodeKey::reduction("add", two, {2}),
        NodeKey::external(d, k1, {3}),
        NodeKey::stage({2, 3}, {StageOp{"op|neg", {StageRef::Input(0)}}, StageOp{"op|exp", {StageRef::Member(0)}}}),
        NodeKey::exchange(k1, {5}),
        NodeKey::exchange({}, {5}),
        NodeKey::op("", {}, {}),
    };
}

}  // namespace

TEST(StoreNodeTable, EveryKindReadsBackAsInterned) {
    GraphStore s;
    const std::vector<NodeKey> keys = mixed_keys();
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(*s.intern(keys[i]), i);
    const Snapshot snap = s.snapshot();
    ASSERT_EQ(snap.nodes.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(snap.nodes[i] == keys[i]) << i;
    // Interning them again, whole or as parts, finds every one.
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(*s.intern(keys[i]), i);
        if (!carries_extra(keys[i].kind())) {
            EXPECT_EQ(*s.intern(view_of(keys[i])), i);
        }
    }
    EXPECT_EQ(s.node_count(), keys.size());
}

TEST(StoreNodeTable, PartsAndWholeKeysAreOneNode) {
    GraphStore s;
    const ParamMap p = params({{"k", ParamValue::Int(2)}});
    ASSERT_EQ(*s.intern(NodeView{NodeKind::Source, "a", &p, {}, nullptr}), 0u);
    EXPECT_EQ(*s.intern(NodeKey::source("a", p)), 0u);
    const std::vector<NodeId> in{0};
    ASSERT_EQ(*s.intern(NodeKey::op("neg", {}, in)), 1u);
    const ParamMap none;
    EXPECT_EQ(*s.intern(NodeView{NodeKind::Op, "neg", &none, in, nullptr}), 1u);
    // Same name and inputs, other kind: a different node.
    EXPECT_EQ(*s.intern(NodeView{NodeKind::Reduction, "neg", &none, in, nullptr}), 2u);
    // A bad input through the parts path leaves the store alone.
    const std::vector<NodeId> bad{0, 7};
    auto r = s.intern(NodeView{NodeKind::Op, "f", &none, bad, nullptr});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().id, 7u);
    EXPECT_EQ(s.node_count(), 3u);
}

TEST(StoreNodeTable, FloatParamsFollowKeyEquality) {
    GraphStore s;
    const double nan_a = std::numeric_limits<double>::quiet_NaN();
    const double nan_b = -std::numeric_limits<double>::quiet_NaN();
    auto with = [](ParamValue v) { return NodeKey::source("x", ParamMap::make({{"v", std::move(v)}})); };
    ASSERT_EQ(*s.intern(with(ParamValue::Float(nan_a))), 0u);
    EXPECT_EQ(*s.intern(with(ParamValue::Float(nan_b))), 0u);  // every NaN is one value
    EXPECT_EQ(*s.intern(with(ParamValue::Float(0.0))), 1u);
    EXPECT_EQ(*s.intern(with(ParamValue::Float(-0.0))), 2u);  // the sign of zero counts
    EXPECT_EQ(*s.intern(with(ParamValue::Int(0))), 3u);       // an int never equals a float
    EXPECT_EQ(*s.intern(with(ParamValue::Bool(false))), 4u);
    const Snapshot snap = s.snapshot();
    EXPECT_TRUE(std::signbit(snap.nodes[2].params().entries()[0].second.as_float()));
}

TEST(StoreNodeTable, ManyNodesSurviveGrowthAndReserve) {
    GraphStore s;
    s.reserve(1000);
    EXPECT_EQ(s.node_count(), 0u);
    std::vector<NodeKey> keys;
    for (int i = 0; i < 5000; ++i) {
        if (i < 10) {
            keys.push_back(NodeKey::source("s" + std::to_string(i), {}));
        } else {
            const ParamMap p = i % 3 == 0 ? ParamMap{} : params({{"k", ParamValue::Int(i % 7)}});
            keys.push_back(NodeKey::op(i % 2 ? "add" : "mul", p,
                                       {static_cast<NodeId>(i - 1), static_cast<NodeId>((i * 7) % i)}));
        }
        ASSERT_EQ(*s.intern(keys.back()), static_cast<NodeId>(i));
    }
    for (int i = 0; i < 5000; i += 97) EXPECT_EQ(*s.intern(keys[i]), static_cast<NodeId>(i));
    const std::vector<NodeKey> tail = s.snapshot_from(4990);
    ASSERT_EQ(tail.size(), 10u);
    for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_TRUE(tail[i] == keys[4990 + i]);
}

// Whole keys moved in with append_whole_unchecked, between parts keys
// appended unchecked, read back and index like keys interned one by one;
// a repeated whole key is caught when the pending keys are indexed.
TEST(StoreNodeTable, WholeKeysAppendedUncheckedReadBackAndIndex) {
    const std::vector<NodeKey> keys = mixed_keys();
    NodeTable table;
    for (NodeKey key : keys) {
        const NodeTable::Probe probe = table.probe(view_of(key));
        if (carries_extra(key.kind())) {
            table.append_whole_unchecked(probe, std::move(key));
        } else {
            table.append_unchecked(probe, &key);
        }
    }
    ASSERT_TRUE(table.index_pending_distinct());
    GraphStore s(std::move(table));
    const Snapshot snap = s.snapshot();
    ASSERT_EQ(snap.nodes.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_TRUE(snap.nodes[i] == keys[i]) << i;
        EXPECT_EQ(*s.intern(keys[i]), i);
    }
    EXPECT_EQ(s.node_count(), keys.size());

    NodeTable twice;
    for (int round = 0; round < 2; ++round) {
        NodeKey stage = keys[7];
        ASSERT_EQ(stage.kind(), NodeKind::Stage);
        twice.append_whole_unchecked(twice.probe(view_of(stage)), std::move(stage));
    }
    EXPECT_FALSE(twice.index_pending_distinct());
    NodeKey other = keys[6];
    // The probe must be the moved key's own.
    EXPECT_THROW(twice.append_whole_unchecked(twice.probe(view_of(keys[6])), std::move(other)), InternalError);
}
