// Packed copies of a store's newest nodes: every view must read back as the
// store's key, the slice-local name and parameter ids must say exactly which
// nodes share a name or a parameter list, and the copy must not depend on
// the store afterwards. Also the node table's lookup-free appends.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "graph/node_key.h"
#include "graph/node_view.h"
#include "store/graph_store.h"
#include "store/node_delta.h"
#include "store/node_table.h"
#include "util/internal_error.h"
#include "store_testing.h"

using namespace dagloom;

namespace {

ParamMap k(int64_t v) { return ParamMap::make({{"k", ParamValue::Int(v)}}); }

// Every kind, names and parameter lists repeated at a distance, so that a
// slice sees some of them and misses others.
std::vector<NodeKey> mixed_keys() {
    const PayloadDescriptor d{"onnx", "sha256:ab", "torch", "2.1", "f32[3]", std::nullopt};
    std::vector<NodeKey> keys = {
        NodeKey::source("x", {}),
        NodeKey::source("y", k(1)),
        NodeKey::op("add", k(1), {0, 1}),
        NodeKey::op("add", {}, {1, 0}),
        NodeKey::external(d, k(2), {2}),
        NodeKey::op("mul", k(2), {2, 3}),
        NodeKey::stage({3, 4}, {StageOp{"op|neg", {StageRef::Input(0)}}, StageOp{"op|exp", {StageRef::Member(0)}}}),
        NodeKey::exchange(k(1), {6}),
        NodeKey::exchange({}, {6}),
        NodeKey::reduction("sum", {}, {7}),
        NodeKey::op("", {}, {}),
    };
    for (NodeId i = 0; i < 40; ++i) {
        const NodeId n = keys.size();
        keys.push_back(NodeKey::op(i % 3 == 0 ? "add" : "sub", i % 4 == 0 ? ParamMap{} : k(static_cast<int64_t>(i % 5)),
                                   {n - 1, n - 1 - i % 7, i}));
    }
    return keys;
}

std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& keys) {
    auto store = std::make_unique<GraphStore>();
    for (const NodeKey& key : keys) {
        const NodeId id = *store->intern(key);
        EXPECT_EQ(id + 1, store->node_count());
    }
    return store;
}

class NodeDeltaSlice : public ::testing::TestWithParam<NodeId> {};

TEST_P(NodeDeltaSlice, ViewsReadBackAsTheStoresKeys) {
    const std::vector<NodeKey> keys = mixed_keys();
    const auto store = store_of(keys);
    const NodeId start = GetParam();
    const NodeDelta delta = store->delta_from(start);
    const std::size_t first = std::min<std::size_t>(start, keys.size());
    EXPECT_EQ(delta.start(), first);
    ASSERT_EQ(delta.size(), keys.size() - first);
    const std::vector<NodeKey> expected = snapshot_from(*store, start);
    ASSERT_EQ(expected.size(), delta.size());
    for (std::size_t i = 0; i < delta.size(); ++i) {
        const NodeView v = delta.view(i);
        EXPECT_TRUE(key_of(v) == expected[i]) << "node " << first + i;
        EXPECT_EQ(v.full != nullptr, carries_extra(expected[i].kind()));
    }
}

TEST_P(NodeDeltaSlice, LocalIdsTellSharedNamesAndParameters) {
    const std::vector<NodeKey> keys = mixed_keys();
    const auto store = store_of(keys);
    const NodeDelta delta = store->delta_from(GetParam());
    std::set<std::string> names;
    std::set<std::string> lists;
    std::vector<std::size_t> parts;
    for (std::size_t i = 0; i < delta.size(); ++i) {
        const NodeView v = delta.view(i);
        if (v.full != nullptr) continue;
        parts.push_back(i);
        names.insert(std::string(v.name));
        lists.insert(v.params->token());
        ASSERT_LT(delta.name_id(i), delta.name_count());
        ASSERT_LT(delta.params_id(i), delta.params_count());
        EXPECT_EQ(delta.name(delta.name_id(i)), v.name);
        EXPECT_TRUE(delta.params(delta.params_id(i)) == *v.params);
        EXPECT_EQ(delta.params_id(i) == 0, v.params->empty());
    }
    // One entry per distinct name or list the slice uses (plus the empty
    // list, always 0), not per node and not per distinct value of the store.
    EXPECT_EQ(delta.name_count(), names.size());
    lists.insert("");
    EXPECT_EQ(delta.params_count(), lists.size());
    for (std::size_t a : parts) {
        for (std::size_t b : parts) {
            const NodeView va = delta.view(a);
            const NodeView vb = delta.view(b);
            EXPECT_EQ(delta.name_id(a) == delta.name_id(b), va.name == vb.name);
            EXPECT_EQ(delta.params_id(a) == delta.params_id(b), *va.params == *vb.params);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Starts, NodeDeltaSlice, ::testing::Values(0, 1, 4, 6, 25, 50, 51, 52, 1000));

TEST(NodeDelta, IsACopyThatOutlivesChangesToTheStore) {
    const std::vector<NodeKey> keys = mixed_keys();
    auto store = store_of(std::vector<NodeKey>(keys.begin(), keys.begin() + 8));
    const NodeDelta delta = store->delta_from(3);
    for (std::size_t i = 8; i < keys.size(); ++i) ASSERT_TRUE(store->intern(keys[i]).ok());
    store.reset();
    ASSERT_EQ(delta.size(), 5u);
    for (std::size_t i = 0; i < delta.size(); ++i) EXPECT_TRUE(key_of(delta.view(i)) == keys[3 + i]) << i;
    EXPECT_EQ(delta.view(1).descriptor().kind, "onnx");
    EXPECT_EQ(delta.view(3).members().size(), 2u);
}

TEST(NodeDelta, EmptyStore) {
    GraphStore store;
    for (NodeId start : {0, 3}) {
        const NodeDelta delta = store.delta_from(start);
        EXPECT_EQ(delta.size(), 0u);
        EXPECT_EQ(delta.start(), 0u);
        EXPECT_EQ(delta.name_count(), 0u);
        EXPECT_EQ(delta.params_count(), 1u);
    }
}

// Keys appended without a lookup are found once indexed, and a lookup while
// some are still waiting is refused rather than answered wrongly.
TEST(NodeTablePending, AppendedKeysAreFoundOnceIndexed) {
    NodeTable table;
    const ParamMap none;
    const ParamMap one = k(1);
    std::vector<std::vector<NodeId>> inputs;
    for (NodeId i = 0; i < 300; ++i) inputs.push_back({i / 2, i});
    auto parts = [&](NodeId i) {
        return NodeView{NodeKind::Op, i % 2 ? "f" : "g", i % 3 ? &one : &none, inputs[i], nullptr, {}};
    };
    for (NodeId i = 0; i < 300; ++i) {
        const NodeTable::Probe probe = table.probe(parts(i));
        NodeTable::PoolIds ids = table.pool_ids(probe);
        EXPECT_EQ(table.add_absent(probe, ids), i);
        ASSERT_TRUE(ids.name && ids.params);
        EXPECT_EQ(ids.params == 0u, i % 3 == 0);
        if (i == 150) {
            EXPECT_THROW((void)table.find(probe, ids), InternalError);
            table.index_pending();
        }
    }
    table.index_pending();
    ASSERT_EQ(table.size(), 300u);
    for (NodeId i = 0; i < 300; ++i) {
        EXPECT_TRUE(key_of(table.view(i)) == key_of(parts(i)));
        const NodeTable::Probe probe = table.probe(parts(i));
        EXPECT_EQ(table.find(probe, table.pool_ids(probe)), i);
        // Hashes taken apart and handed in give the same probe.
        EXPECT_EQ(table.probe(parts(i), table.name_hash(parts(i).name), table.params_hash(*parts(i).params)).hash,
                  probe.hash);
        const NodeTable::Interned again = table.intern(probe, nullptr);
        EXPECT_EQ(again.pos, i);
        EXPECT_FALSE(again.added);
    }
}

}  // namespace
