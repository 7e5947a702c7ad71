#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "graph/node_key.h"
#include "store/graph_store.h"
#include "util/internal_error.h"
#include "store_testing.h"

using namespace dagloom;

namespace {

NodeKey src(const char* name) { return NodeKey::source(name, {}); }
NodeKey op(const char* name, std::vector<NodeId> in) { return NodeKey::op(name, {}, std::move(in)); }

}  // namespace

TEST(StoreIntern, ValidatesBeforeLookupInListOrder) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(src(n)).ok());
    auto bad = s.intern(op("f", {0, 5}));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().id, 5u);
    EXPECT_EQ(bad.error().message(), "no node with id 5");
    auto first_bad = s.intern(op("f", {7, 5}));
    ASSERT_FALSE(first_bad.ok());
    EXPECT_EQ(first_bad.error().id, 7u);
    auto self_ref = s.intern(op("f", {3}));
    ASSERT_FALSE(self_ref.ok());
    EXPECT_EQ(self_ref.error().id, 3u);
    EXPECT_EQ(s.node_count(), 3u);
    // A stage's inputs are validated, not its member references.
    EXPECT_FALSE(s.intern(NodeKey::stage({9}, {})).ok());
    EXPECT_TRUE(s.intern(NodeKey::stage({0}, {StageOp{"op|a", {StageRef::Member(99)}}})).ok());
}

TEST(StoreIntern, HashConsing) {
    GraphStore s;
    EXPECT_EQ(*s.intern(src("x")), 0u);
    EXPECT_EQ(*s.intern(src("x")), 0u);
    EXPECT_EQ(s.node_count(), 1u);
    EXPECT_EQ(*s.intern(NodeKey::source("x", ParamMap::make({{"k", ParamValue::Int(1)}}))), 1u);
    EXPECT_EQ(*s.intern(op("add", {0, 1})), 2u);
    EXPECT_EQ(*s.intern(op("add", {1, 0})), 3u);
    EXPECT_EQ(*s.intern(op("add", {0, 1})), 2u);
    // Enough keys to grow the index several times; every id stays findable.
    std::vector<NodeId> ids;
    for (int i = 0; i < 5000; ++i) ids.push_back(*s.intern(NodeKey::source(std::to_string(i), {})));
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(ids[i], 4u + i);
        ASSERT_EQ(*s.intern(NodeKey::source(std::to_string(i), {})), ids[i]);
    }
    EXPECT_EQ(s.node_count(), 4u + 5000u);
}

TEST(StoreOutputs, MarkOnceInOrder) {
    GraphStore s;
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(src(n)).ok());
    EXPECT_TRUE(s.mark_output(2).ok());
    EXPECT_TRUE(s.mark_output(0).ok());
    EXPECT_TRUE(s.mark_output(2).ok());
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
    auto bad = s.mark_output(3);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().id, 3u);
    // In bulk: repeats within the list and against earlier marks count
    // once, and a bad id anywhere in the list marks nothing.
    auto bulk_bad = s.mark_outputs({1, 7, 0});
    ASSERT_FALSE(bulk_bad.ok());
    EXPECT_EQ(bulk_bad.error().id, 7u);
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0}));
    EXPECT_TRUE(s.mark_outputs({1, 0, 1, 2}).ok());
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0, 1}));
    EXPECT_TRUE(s.mark_outputs({}).ok());
    EXPECT_EQ(s.outputs(), (std::vector<NodeId>{2, 0, 1}));
}

TEST(StoreSnapshot, FromAndWhole) {
    GraphStore s;
    EXPECT_EQ(s.node_count(), 0u);
    EXPECT_TRUE(snapshot(s).nodes.empty());
    EXPECT_TRUE(s.outputs().empty());
    for (const char* n : {"a", "b", "c"}) ASSERT_TRUE(s.intern(src(n)).ok());
    ASSERT_TRUE(s.mark_output(1).ok());
    Snapshot all = snapshot(s);
    EXPECT_EQ(all.nodes.size(), 3u);
    EXPECT_EQ(all.outputs, (std::vector<NodeId>{1}));
    EXPECT_EQ(snapshot_from(s, 0).size(), 3u);
    auto tail = snapshot_from(s, 2);
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0], src("c"));
    EXPECT_TRUE(snapshot_from(s, 3).empty());
    EXPECT_TRUE(snapshot_from(s, 100).empty());
}

// A reader changes nothing, so its failure leaves nothing half-updated:
// the store stays usable (only a writer's internal failure poisons it).
TEST(StorePoison, ReaderFailureLeavesStoreUsable) {
    GraphStore s;
    ASSERT_TRUE(s.intern(src("a")).ok());
    EXPECT_THROW(s.with_locked([](const GraphStore::View&) -> int { throw InternalError("boom"); }), InternalError);
    EXPECT_THROW(s.with_locked([](const GraphStore::View&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(s.node_count(), 1u);
    EXPECT_EQ(*s.intern(src("b")), 1u);
    EXPECT_EQ(snapshot(s).nodes.size(), 2u);
}

TEST(StoreThreads, OverlappingInternsAgree) {
    GraphStore s;
    constexpr int kThreads = 8, kKeys = 2000;
    std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kKeys));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < kKeys; ++k) {
                int key = (k * 7 + t * 13) % kKeys;
                ids[t][key] = *s.intern(NodeKey::source("k" + std::to_string(key), {}));
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.node_count(), static_cast<std::size_t>(kKeys));
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
    Snapshot snap = snapshot(s);
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(snap.nodes[ids[0][k]], NodeKey::source("k" + std::to_string(k), {}));
}

TEST(StoreDot, ExampleAndCorners) {
    GraphStore s;
    EXPECT_EQ(to_dot(s), "digraph dagloom {\n}\n");
    ASSERT_TRUE(s.intern(src("x")).ok());
    ASSERT_TRUE(s.intern(op("neg", {0})).ok());
    ASSERT_TRUE(s.intern(op("add", {0, 1})).ok());
    ASSERT_TRUE(s.mark_output(2).ok());
    EXPECT_EQ(to_dot(s),
              "digraph dagloom {\n  n0 [label=\"Source x\"];\n  n1 [label=\"Op neg\"];\n"
              "  n2 [label=\"Op add\", shape=doublecircle];\n  n0 -> n1;\n  n0 -> n2;\n  n1 -> n2;\n}\n");

    GraphStore t;
    ASSERT_TRUE(t.intern(NodeKey::source("a\"b\\c", {})).ok());
    ASSERT_TRUE(t.intern(NodeKey::exchange(ParamMap::make({{"k", ParamValue::Str("v")}}), {0, 0})).ok());
    ASSERT_TRUE(t.intern(NodeKey::exchange({}, {0})).ok());
    ASSERT_TRUE(t.intern(NodeKey::stage({0}, {StageOp{}, StageOp{}, StageOp{}})).ok());
    PayloadDescriptor d{"model", "abc", "torch", "2.1", "io", std::string("pre")};
    ASSERT_TRUE(t.intern(NodeKey::external(d, ParamMap::make({{"n", ParamValue::Float(0.5)}}), {})).ok());
    ASSERT_TRUE(t.intern(NodeKey::reduction("sum", {}, {1})).ok());
    EXPECT_EQ(to_dot(t),
              "digraph dagloom {\n"
              "  n0 [label=\"Source a\\\"b\\\\c\"];\n"
              "  n1 [label=\"Exchange {k=\\\"v\\\"}\"];\n"
              "  n2 [label=\"Exchange\"];\n"
              "  n3 [label=\"Stage[3 members]\"];\n"
              "  n4 [label=\"External model:abc [torch 2.1] {n=0.5}\"];\n"
              "  n5 [label=\"Reduction sum\"];\n"
              "  n0 -> n1;\n  n0 -> n1;\n  n0 -> n2;\n  n0 -> n3;\n  n1 -> n5;\n"
              "}\n");
}
