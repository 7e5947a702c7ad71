// The packed node table: keys stored as pool ids and input slices must read
// back exactly as they went in, and equality must follow key equality (not
// pool identity, not byte identity of floats beyond canonical NaN).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "graph/node_key.h"
#include "graph/node_view.h"
#include "store/graph_store.h"
#include "util/internal_error.h"
#include "store_testing.h"

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
    const Snapshot snap = snapshot(s);
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
    ASSERT_EQ(*s.intern(NodeView{NodeKind::Source, "a", &p, {}, nullptr, {}}), 0u);
    EXPECT_EQ(*s.intern(NodeKey::source("a", p)), 0u);
    const std::vector<NodeId> in{0};
    ASSERT_EQ(*s.intern(NodeKey::op("neg", {}, in)), 1u);
    const ParamMap none;
    EXPECT_EQ(*s.intern(NodeView{NodeKind::Op, "neg", &none, in, nullptr, {}}), 1u);
    // Same name and inputs, other kind: a different node.
    EXPECT_EQ(*s.intern(NodeView{NodeKind::Reduction, "neg", &none, in, nullptr, {}}), 2u);
    // A bad input through the parts path leaves the store alone.
    const std::vector<NodeId> bad{0, 7};
    auto r = s.intern(NodeView{NodeKind::Op, "f", &none, bad, nullptr, {}});
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
    const Snapshot snap = snapshot(s);
    EXPECT_TRUE(std::signbit(snap.nodes[2].params().entries()[0].second.as_float()));
}

// Lists that differ only in a NaN's payload are one key, yet each node
// first of its key reads back its own bits: by lookup (intern), and by
// appending unchecked, where the distinctness check must still see them as
// equal.
TEST(StoreNodeTable, NanPayloadsAreOneKeyButKeepTheirBits) {
    auto nan = [](uint64_t bits) { return ParamValue::Float(std::bit_cast<double>(bits)); };
    auto key = [&](const char* name, uint64_t bits, std::vector<NodeId> in) {
        return NodeKey::op(name, ParamMap::make({{"i", ParamValue::Int(7)}, {"v", nan(bits)}}), std::move(in));
    };
    auto bits_at = [](const NodeTable& t, std::size_t pos) {
        return std::bit_cast<uint64_t>(t.view(pos).params->entries()[1].second.as_float());
    };
    const uint64_t a = 0x7ff0000000000001, b = 0xfff8000000000002, c = 0x7ff8000000000000;
    for (bool unchecked : {false, true}) {
        NodeTable t;
        const std::vector<NodeKey> keys{key("f", a, {}), key("g", b, {}), key("f", c, {}), key("g", a, {0, 1})};
        for (const NodeKey& k : keys) {
            const NodeTable::Probe probe = t.probe(view_of(k));
            if (unchecked) {
                NodeKey copy = k;
                t.append_unchecked(probe, &copy);
            } else {
                t.intern(probe, nullptr);
            }
        }
        if (unchecked) {
            // "f" with c repeats "f" with a.
            EXPECT_FALSE(t.index_pending_distinct());
            continue;
        }
        ASSERT_EQ(t.size(), 3u);
        EXPECT_EQ(bits_at(t, 0), a);
        EXPECT_EQ(bits_at(t, 1), b);
        EXPECT_EQ(bits_at(t, 2), a);
        for (uint64_t bits : {a, b, c}) {
            const NodeKey g = key("g", bits, {});
            const NodeTable::Probe probe = t.probe(view_of(g));
            EXPECT_EQ(t.find(probe, t.pool_ids(probe)), std::optional<uint64_t>(1)) << std::hex << bits;
        }
        const NodeKey h = key("h", c, {});
        EXPECT_EQ(t.intern(t.probe(view_of(h)), nullptr).pos, 3u);
        EXPECT_EQ(bits_at(t, 3), c);
    }
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
    const std::vector<NodeKey> tail = snapshot_from(s, 4990);
    ASSERT_EQ(tail.size(), 10u);
    for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_TRUE(tail[i] == keys[4990 + i]);
}

namespace {

// A graph past the first few thousand positions whose keys read recent
// nodes, nodes thousands of positions back, and nothing at all, with mirrors
// and near-misses of stored keys that are never added themselves.
struct WideGraph {
    std::vector<NodeKey> keys;
    std::vector<NodeKey> absent;
};

WideGraph wide_graph() {
    WideGraph g;
    const ParamMap k = params({{"k", ParamValue::Int(3)}});
    PayloadDescriptor d{"onnx", "sha256:cd", "torch", "2.1", "f32[2]", std::string()};
    for (NodeId i = 0; i < 4000; ++i) {
        if (i < 4 || i % 500 == 7) {
            g.keys.push_back(NodeKey::source("s" + std::to_string(i), i % 2 ? k : ParamMap{}));
            continue;
        }
        switch (i % 6) {
            case 0: g.keys.push_back(NodeKey::op("add", {}, {i - 1, i / 3})); break;
            case 1: g.keys.push_back(NodeKey::op("neg", k, {i - 1})); break;
            case 2: g.keys.push_back(NodeKey::op("sub", {}, {1, i - 2})); break;
            case 3: g.keys.push_back(NodeKey::op("c" + std::to_string(i), {}, {})); break;
            case 4: g.keys.push_back(NodeKey::external(d, {}, {i / 2})); break;
            default: g.keys.push_back(NodeKey::reduction("sum", {}, {i - 1, i - 4, 2})); break;
        }
    }
    // Inputs on either side of every multiple of 256 up to the end, in both
    // orders, each stored once.
    for (NodeId edge = 256; edge < 4000; edge += 256) {
        g.keys.push_back(NodeKey::op("mul", {}, {edge - 1, edge}));
        g.keys.push_back(NodeKey::op("mul", {}, {edge + 1, edge - 1}));
        g.absent.push_back(NodeKey::op("mul", {}, {edge, edge - 1}));
        g.absent.push_back(NodeKey::op("mul", {}, {edge - 1, edge + 1}));
        g.absent.push_back(NodeKey::op("mul", {}, {edge - 1, edge + 2}));
    }
    g.absent.push_back(NodeKey::op("add", {}, {3999, 1332}));
    g.absent.push_back(NodeKey::op("neg", {}, {3000}));
    g.absent.push_back(NodeKey::op("c3", {}, {0}));
    g.absent.push_back(NodeKey::external(d, {}, {1}));
    return g;
}

// How the keys get into the table: one by one, each looked for first, or
// appended unchecked and indexed in one sweep (as a blob is read).
enum class Entry { Interned, Appended };

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& keys, Entry entry) {
    if (entry == Entry::Interned) {
        auto s = std::make_unique<GraphStore>();
        for (const NodeKey& key : keys) EXPECT_TRUE(s->intern(key).ok());
        return s;
    }
    NodeTable table;
    for (NodeKey key : keys) table.append_unchecked(table.probe(view_of(key)), &key);
    AppendedStore appended = from_appended(std::move(table));
    EXPECT_TRUE(appended.id_of.empty());
    return std::move(appended.store);
}

class WideTable : public ::testing::TestWithParam<Entry> {};

}  // namespace

TEST_P(WideTable, EveryKeyIsFoundAndNoOtherIs) {
    const WideGraph g = wide_graph();
    const auto s = store_of(g.keys, GetParam());
    ASSERT_EQ(s->node_count(), g.keys.size());
    for (std::size_t i = 0; i < g.keys.size(); ++i) {
        ASSERT_EQ(*s->intern(g.keys[i]), i) << i;
        if (!carries_extra(g.keys[i].kind())) {
            ASSERT_EQ(*s->intern(view_of(g.keys[i])), i) << i;
        }
    }
    EXPECT_EQ(s->node_count(), g.keys.size());
    for (std::size_t i = 0; i < g.absent.size(); ++i) EXPECT_EQ(*s->intern(g.absent[i]), g.keys.size() + i) << i;
}

TEST_P(WideTable, RepeatsOfFarKeysAreFound) {
    WideGraph g = wide_graph();
    const std::size_t count = g.keys.size();
    // Each repeated key reads nodes far behind the table's end.
    const std::vector<std::size_t> repeated = {5, 6, 9, 11, 300, 507, 1001, 2500, count - 1};
    for (std::size_t pos : repeated) g.keys.push_back(g.keys[pos]);
    if (GetParam() == Entry::Interned) {
        GraphStore s;
        for (std::size_t i = 0; i < count; ++i) ASSERT_TRUE(s.intern(g.keys[i]).ok());
        for (std::size_t k = 0; k < repeated.size(); ++k) EXPECT_EQ(*s.intern(g.keys[count + k]), repeated[k]);
        EXPECT_EQ(s.node_count(), count);
        return;
    }
    NodeTable table;
    for (NodeKey key : g.keys) table.append_unchecked(table.probe(view_of(key)), &key);
    const AppendedStore appended = from_appended(std::move(table));
    ASSERT_EQ(appended.id_of.size(), g.keys.size());
    for (std::size_t k = 0; k < repeated.size(); ++k) EXPECT_EQ(appended.node_of(count + k), repeated[k]);
    EXPECT_EQ(appended.store->node_count(), count);
}

INSTANTIATE_TEST_SUITE_P(Entries, WideTable, ::testing::Values(Entry::Interned, Entry::Appended),
                         [](const auto& info) { return info.param == Entry::Interned ? "Interned" : "Appended"; });

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
    const Snapshot snap = snapshot(s);
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

namespace {

StageOp member(const char* op, std::vector<StageRef> refs) {
    StageOp m{op, {}};
    for (const StageRef& r : refs) m.inputs.push_back(r);
    return m;
}

// Stages that differ in one thing each: inputs, a member's text, a
// reference's tag or index, the number of references or of members.
std::vector<NodeKey> near_stages() {
    using R = StageRef;
    return {
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(0)}), member("op|add", {R::Member(0), R::Input(1)})}),
        NodeKey::stage({1, 0}, {member("op|neg", {R::Input(0)}), member("op|add", {R::Member(0), R::Input(1)})}),
        NodeKey::stage({0, 1}, {member("op|exp", {R::Input(0)}), member("op|add", {R::Member(0), R::Input(1)})}),
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(0)}), member("op|add", {R::Input(0), R::Input(1)})}),
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(1)}), member("op|add", {R::Member(0), R::Input(1)})}),
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(0)}), member("op|add", {R::Member(0)})}),
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(0)})}),
        NodeKey::stage({0, 1}, {member("op|neg", {R::Input(0)}), member("op|add", {R::Member(0), R::Input(1)}),
                                member("red|sum", {R::Member(1)})}),
    };
}

}  // namespace

// A table keeps stages in member columns: every way of putting one in
// (interned key, a view of another table's stage, a packed stage from
// pooled texts) meets the same stage and no other, and reads back whole.
TEST(StoreNodeTable, StagesInMemberColumnsMeetOnlyTheirEquals) {
    const std::vector<NodeKey> stages = near_stages();
    GraphStore s;
    ASSERT_EQ(*s.intern(NodeKey::source("a", {})), 0u);
    ASSERT_EQ(*s.intern(NodeKey::source("b", {})), 1u);
    for (std::size_t k = 0; k < stages.size(); ++k) ASSERT_EQ(*s.intern(stages[k]), 2 + k) << k;
    const Snapshot snap = snapshot(s);
    for (std::size_t k = 0; k < stages.size(); ++k) {
        EXPECT_TRUE(snap.nodes[2 + k] == stages[k]) << k;
        EXPECT_EQ(*s.intern(stages[k]), 2 + k) << k;
    }

    // Another table's view of each stage (its members read from columns).
    NodeTable other;
    for (const NodeKey& key : stages) other.intern(other.probe(view_of(key)), nullptr);
    for (std::size_t k = 0; k < stages.size(); ++k) {
        const NodeView view = other.view(k);
        ASSERT_EQ(view.full, nullptr);
        EXPECT_TRUE(key_of(view) == stages[k]) << k;
        EXPECT_EQ(*s.intern(view), 2 + k) << k;
    }

    // Packed stages appended unchecked: a new one indexes, a repeat is caught.
    auto packed = [](NodeTable& table, const NodeKey& key) {
        std::vector<uint32_t> ops;
        std::vector<uint64_t> hashes, ref_start{0};
        std::vector<uint64_t> refs;
        for (const StageOp& m : key.members()) {
            hashes.push_back(table.name_hash(m.op));
            ops.push_back(table.name_id(m.op, hashes.back()));
            for (const StageRef& r : m.inputs) refs.push_back(StageRefs::pack(r));
            ref_start.push_back(refs.size());
        }
        return table.append_stage_unchecked(NodeTable::PackedStage{key.inputs(), ops, hashes, ref_start, refs});
    };
    NodeTable table;
    for (const NodeKey& key : stages) packed(table, key);
    ASSERT_TRUE(table.index_pending_distinct());
    for (std::size_t k = 0; k < stages.size(); ++k) {
        EXPECT_TRUE(key_of(table.view(k)) == stages[k]) << k;
        const NodeTable::Probe probe = table.probe(view_of(stages[k]));
        EXPECT_EQ(table.find(probe, table.pool_ids(probe)), std::optional<uint64_t>(k)) << k;
    }
    packed(table, stages[3]);
    EXPECT_FALSE(table.index_pending_distinct());
}

// A stage read from a table and put back into it with other inputs (its
// members then come from the very columns that grow) is stored whole.
TEST(StoreNodeTable, StageReadFromTheTableItselfIsCopiedBeforeItGrows) {
    GraphStore s;
    ASSERT_EQ(*s.intern(NodeKey::source("a", {})), 0u);
    ASSERT_EQ(*s.intern(NodeKey::source("b", {})), 1u);
    const std::vector<NodeKey> stages = near_stages();
    NodeTable table;
    for (const NodeKey& key : stages) table.intern(table.probe(view_of(key)), nullptr);
    for (std::size_t k = 0; k < stages.size(); ++k) {
        NodeView view = table.view(k);
        const std::vector<NodeId> swapped(view.inputs.rbegin(), view.inputs.rend());
        view.inputs = swapped;
        const NodeTable::Interned got = table.intern(table.probe(view), nullptr);
        EXPECT_TRUE(key_of(table.view(got.pos)) == stages[k].with_inputs(swapped)) << k;
    }
}
