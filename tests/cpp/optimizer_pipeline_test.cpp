#include <gtest/gtest.h>

#include <random>

#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer_testing.h"
#include "util/internal_error.h"
#include "store_testing.h"

namespace dagloom {
namespace {

using namespace dagloom::testing;

ReductionReport report(std::size_t in, std::size_t reach, std::size_t canon, std::size_t stages,
                       std::size_t boundary) {
    return {in, reach, canon, stages, stages + boundary, boundary};
}

// Counts calls and remembers what it was handed.
struct RecordingEngine final : RewriteEngine {
    mutable int calls = 0;
    mutable EngineGraph seen;
    EngineGraph canonicalize(const EngineGraph& g) const override {
        ++calls;
        seen = g;
        return g;
    }
};

// x, y, add(x, y), add(y, x), mul(2, 3), identity-add(4), sum(5), neg(x).
std::vector<NodeKey> worked_example() {
    return {src("x"),         src("y"),
            op("add", {0, 1}), op("add", {1, 0}),
            op("mul", {2, 3}), NodeKey::op("add", identity_params(), {4}),
            red("sum", {5}),   op("neg", {0})};
}

TEST(Pipeline, WorkedExampleUnderBothRules) {
    auto store = store_of(worked_example());
    MergingEngine engine;
    auto single = reduce_with_outputs(*store, {6}, engine, false);
    ASSERT_TRUE(single.ok());
    EXPECT_EQ(single->report, report(8, 7, 5, 2, 3));
    Snapshot s = snapshot(*single->store);
    std::vector<NodeKey> want{src("x"), src("y"), NodeKey::stage({0, 1}, {{"op|add", {In(0), In(1)}}}),
                              NodeKey::stage({2}, {{"op|mul", {In(0), In(0)}}}), red("sum", {3})};
    ASSERT_EQ(s.nodes.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(s.nodes[i] == want[i]) << i;
    EXPECT_EQ(s.outputs, std::vector<NodeId>{4});

    auto maximal = reduce_with_outputs(*store, {6}, engine, true);
    ASSERT_TRUE(maximal.ok());
    EXPECT_EQ(maximal->report, report(8, 7, 5, 1, 3));
    EXPECT_TRUE(snapshot(*maximal->store).nodes[2] ==
                NodeKey::stage({0, 1}, {{"op|add", {In(0), In(1)}}, {"op|mul", {Mem(0), Mem(0)}}}));

    EXPECT_EQ(store->node_count(), 8u);
    EXPECT_TRUE(store->outputs().empty());
}

TEST(Pipeline, NoOutputsGiveAnEmptyStore) {
    auto unmarked = store_of(worked_example());
    auto marked = store_of(worked_example(), {6});
    IdentityEngine engine;
    ReducedStore r1 = reduce_with(*unmarked, engine, false);
    auto r2 = reduce_with_outputs(*marked, {}, engine, true);
    ASSERT_TRUE(r2.ok());
    for (const ReducedStore* r : {&r1, &*r2}) {
        EXPECT_EQ(r->report, report(8, 0, 0, 0, 0));
        EXPECT_EQ(r->store->node_count(), 0u);
    }
    GraphStore empty;
    EXPECT_EQ(reduce_with(empty, engine, false).report, ReductionReport{});
}

TEST(Pipeline, BadExplicitOutputFailsBeforeAnyPhase) {
    std::vector<NodeKey> keys{src("s")};
    for (NodeId i = 1; i < 10; ++i) keys.push_back(op("neg", {i - 1}));
    auto store = store_of(keys);
    RecordingEngine engine;
    auto r = reduce_with_outputs(*store, {1, 99, 98}, engine, false);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), BadNodeId{99});
    EXPECT_EQ(engine.calls, 0);
    EXPECT_FALSE(reduce_with_outputs(*store, {10}, engine, false).ok());
    // The refusal leaves the store as usable as it was: it still grows and
    // reduces.
    ASSERT_TRUE(store->intern(op("neg", {9})).ok());
    auto grown = reduce_with_outputs(*store, {10}, engine, false);
    ASSERT_TRUE(grown.ok());
    EXPECT_EQ(grown->report.input_nodes, 11u);
    EXPECT_EQ(grown->report.reachable_nodes, 11u);
}

TEST(Pipeline, ExplicitOutputsReplaceMarks) {
    auto store = store_of(worked_example(), {5});
    IdentityEngine engine;
    auto r = reduce_with_outputs(*store, {2}, engine, false);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->report, report(8, 3, 3, 1, 2));
    Snapshot s = snapshot(*r->store);
    ASSERT_EQ(s.outputs.size(), 1u);
    EXPECT_TRUE(s.nodes[s.outputs[0]] == NodeKey::stage({0, 1}, {{"op|add", {In(0), In(1)}}}));
}

TEST(Pipeline, RepeatedAndMergedOutputsAreMarkedOnce) {
    auto store = store_of({src("x"), NodeKey::op("add", identity_params(), {0}), op("neg", {0})});
    MergingEngine engine;
    Snapshot snap = snapshot(*store);
    Reduced r = reduce_with_mode(snap.nodes, {2, 1, 2, 0}, engine, false);
    EXPECT_EQ(r.outputs, (std::vector<uint64_t>{1, 0, 1, 0}));
    ReducedStore built = from_reduced(std::move(r));
    EXPECT_EQ(built.store->outputs(), (std::vector<NodeId>{1, 0}));
    auto merged = reduce_with_outputs(*store, {1, 0}, engine, false);
    ASSERT_TRUE(merged.ok());
    EXPECT_EQ(merged->store->outputs(), std::vector<NodeId>{0});
}

TEST(Pipeline, EngineSeesTheKeptGraphOnce) {
    auto store = store_of(worked_example());
    RecordingEngine engine;
    Snapshot snap = snapshot(*store);
    (void)reduce_with_mode(snap.nodes, {6, 2}, engine, false);
    EXPECT_EQ(engine.calls, 1);
    KeptGraph kept = dead_code_elimination(snap.nodes, {6, 2});
    EXPECT_EQ(engine.seen, to_engine_graph(kept.nodes, kept.outputs));
}

TEST(Pipeline, DeadCodeEliminationRenumbersInIdOrder) {
    std::vector<NodeKey> keys{src("a"), src("b"), op("neg", {1}), src("c"), op("add", {2, 3}), op("exp", {0})};
    KeptGraph kept = dead_code_elimination(keys, {4, 2, 4});
    std::vector<NodeKey> want{src("b"), op("neg", {0}), src("c"), op("add", {1, 2})};
    ASSERT_EQ(kept.nodes.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(kept.nodes[i] == want[i]) << i;
    EXPECT_EQ(kept.outputs, (std::vector<uint64_t>{3, 1, 3}));
    EXPECT_THROW((void)dead_code_elimination(keys, {6}), InternalError);
    // Reduction keeps the same nodes.
    EXPECT_EQ(reduce_with_mode(keys, {4, 2, 4}, IdentityEngine{}, false).report.reachable_nodes, want.size());
}

// Reduction settles liveness in one sweep that relies on inputs lying below
// their node; a list that breaks this is refused, not half-reduced.
TEST(Pipeline, DeadCodeEliminationRefusesForwardInputs) {
    const IdentityEngine engine;
    std::vector<NodeKey> forward{src("a"), op("neg", {2}), src("b")};
    EXPECT_THROW((void)reduce_with_mode(forward, {1}, engine, false), InternalError);
    std::vector<NodeKey> self{src("a"), op("neg", {1})};
    EXPECT_THROW((void)reduce_with_mode(self, {1}, engine, false), InternalError);
    std::vector<NodeKey> beyond{src("a"), op("neg", {7})};
    EXPECT_THROW((void)reduce_with_mode(beyond, {1}, engine, false), InternalError);
    EXPECT_THROW((void)reduce_with_mode(beyond, {2}, engine, false), InternalError);
    // A forward input of a dead node is never looked at.
    std::vector<NodeKey> dead_forward{src("a"), op("neg", {2}), src("b")};
    EXPECT_EQ(reduce_with_mode(dead_forward, {2}, engine, false).report.reachable_nodes, 1u);
}

// A deep chain must not exhaust the call stack in any phase.
TEST(Pipeline, DeepChainReduces) {
    std::vector<NodeKey> keys{src("s")};
    for (NodeId i = 1; i < 100000; ++i) keys.push_back(op(i % 3 ? "neg" : "exp", {i - 1}));
    IdentityEngine engine;
    Reduced r = reduce_with_mode(keys, {99999}, engine, false);
    EXPECT_EQ(r.report, report(100000, 100000, 100000, 1, 1));
}

TEST(Pipeline, CseMergesByTextAndMergedChildren) {
    EngineGraph g{{{"src|a", {}, true},
                   {"op|neg", {0}, false},
                   {"op|neg", {0}, true},  // the flag is not part of the identity
                   {"op|exp", {1}, false},
                   {"op|exp", {2}, false},
                   {"op|exp", {0}, false}},
                  {4, 3, 5}};
    EngineGraph r = cse(g);
    ASSERT_EQ(r.nodes.size(), 4u);
    EXPECT_EQ(r.nodes[1], (EngineNode{"op|neg", {0}, false}));
    EXPECT_EQ(r.nodes[2], (EngineNode{"op|exp", {1}, false}));
    EXPECT_EQ(r.nodes[3], (EngineNode{"op|exp", {0}, false}));
    EXPECT_EQ(r.outputs, (std::vector<uint64_t>{2, 2, 3}));
    EngineGraph forward{{{"op|neg", {0}, false}}, {0}};
    EXPECT_THROW((void)cse(forward), InternalError);
}

// Equal keys in a reduced list intern to one id; later inputs follow it.
TEST(Pipeline, FromReducedInternsEqualKeysOnce) {
    Reduced r{{src("s"), src("s"), red("sum", {1}), red("max", {2})}, {3, 2}, report(4, 4, 4, 0, 4)};
    ReducedStore built = from_reduced(r);
    Snapshot s = snapshot(*built.store);
    ASSERT_EQ(s.nodes.size(), 3u);
    EXPECT_TRUE(s.nodes[1] == red("sum", {0}));
    EXPECT_TRUE(s.nodes[2] == red("max", {1}));
    EXPECT_EQ(s.outputs, (std::vector<NodeId>{2, 1}));
    EXPECT_EQ(built.report, r.report);
    Reduced bad_input{{src("s"), red("sum", {1})}, {}, {}};
    EXPECT_THROW((void)from_reduced(bad_input), InternalError);
    Reduced bad_output{{src("s")}, {1}, {}};
    EXPECT_THROW((void)from_reduced(bad_output), InternalError);
}

struct UnknownOpEngine final : RewriteEngine {
    EngineGraph canonicalize(const EngineGraph& g) const override {
        EngineGraph out = g;
        out.nodes[0].op = "src|nowhere";
        return out;
    }
};
struct DroppedOutputEngine final : RewriteEngine {
    EngineGraph canonicalize(const EngineGraph& g) const override { return {g.nodes, {}}; }
};

TEST(Pipeline, EngineBreakingItsContractIsFatal) {
    std::vector<NodeKey> keys{src("s"), op("neg", {0})};
    try {
        (void)reduce_with_mode(keys, {1}, UnknownOpEngine{}, false);
        FAIL() << "expected an internal error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "no entry found for key");
    }
    EXPECT_THROW((void)reduce_with_mode(keys, {1}, DroppedOutputEngine{}, false), InternalError);
}

TEST(Pipeline, ReportMapHasTheSixKeysInOrder) {
    auto m = report_to_map({1, 2, 3, 4, 5, 6});
    std::vector<std::pair<std::string, std::size_t>> want{{"input_nodes", 1},     {"reachable_nodes", 2},
                                                          {"canonical_nodes", 3}, {"stages", 4},
                                                          {"reduced_nodes", 5},   {"boundary_nodes", 6}};
    EXPECT_EQ(m, want);
}

// Re-reducing must keep apart opaque nodes whose tokens coincide, under an
// engine that merges by op text and children as the real one does.
class PipelineCollisions : public ::testing::TestWithParam<bool> {
protected:
    const RewriteEngine& engine() const {
        static const IdentityEngine id;
        static const MergingEngine merging;
        return GetParam() ? static_cast<const RewriteEngine&>(merging) : id;
    }
};

TEST_P(PipelineCollisions, ReReducedStagesKeepTheirMembers) {
    auto store = store_of({src("x"), op("neg", {0}), op("exp", {0})});
    auto once = reduce_with_outputs(*store, {1, 2}, engine(), false);
    ASSERT_TRUE(once.ok());
    ASSERT_EQ(once->report.stages, 2u);
    ReducedStore twice = reduce_with(*once->store, engine(), false);
    EXPECT_EQ(twice.report, report(3, 3, 3, 0, 3));
    Snapshot s = snapshot(*twice.store);
    ASSERT_EQ(s.nodes.size(), 3u);
    EXPECT_TRUE(s.nodes[1] == NodeKey::stage({0}, {{"op|neg", {In(0)}}}));
    EXPECT_TRUE(s.nodes[2] == NodeKey::stage({0}, {{"op|exp", {In(0)}}}));
    EXPECT_EQ(s.outputs, (std::vector<NodeId>{1, 2}));
}

TEST_P(PipelineCollisions, ExternalsWithOneTokenStayApart) {
    NodeKey absent = NodeKey::external(descriptor("k", "h", std::nullopt), {}, {0});
    NodeKey dash = NodeKey::external(descriptor("k", "h", "-"), {}, {0});
    auto store = store_of({src("x"), absent, dash});
    auto r = reduce_with_outputs(*store, {2, 1}, engine(), false);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->report, report(3, 3, 3, 0, 3));
    Snapshot s = snapshot(*r->store);
    ASSERT_EQ(s.nodes.size(), 3u);
    EXPECT_TRUE(s.nodes[1] == absent);
    EXPECT_TRUE(s.nodes[2] == dash);
    EXPECT_EQ(s.outputs, (std::vector<NodeId>{2, 1}));
}

INSTANTIATE_TEST_SUITE_P(Pipeline, PipelineCollisions, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "MergingEngine" : "IdentityEngine"; });

void check_reduced(const Reduced& r, std::size_t requested) {
    const ReductionReport& rep = r.report;
    EXPECT_LE(rep.reachable_nodes, rep.input_nodes);
    EXPECT_LE(rep.canonical_nodes, rep.reachable_nodes);
    EXPECT_LE(rep.reduced_nodes, rep.canonical_nodes);
    EXPECT_EQ(rep.reduced_nodes, rep.stages + rep.boundary_nodes);
    EXPECT_EQ(rep.reduced_nodes, r.nodes.size());
    std::size_t stage_nodes = 0;
    for (std::size_t p = 0; p < r.nodes.size(); ++p) {
        const NodeKey& k = r.nodes[p];
        EXPECT_NE(k.kind(), NodeKind::Op);
        for (NodeId in : k.inputs()) EXPECT_LT(in, p);
        if (k.kind() != NodeKind::Stage) continue;
        ++stage_nodes;
        for (std::size_t m = 0; m < k.members().size(); ++m) {
            EXPECT_TRUE(is_op_text(k.members()[m].op));
            for (StageRef ref : k.members()[m].inputs)
                EXPECT_LT(ref.index, ref.tag == StageRef::Tag::Member ? m : k.inputs().size());
        }
    }
    EXPECT_GE(stage_nodes, rep.stages);
    ASSERT_EQ(r.outputs.size(), requested);
    for (uint64_t o : r.outputs) EXPECT_LT(o, r.nodes.size());
}

// Every reduction, and the reduction of its result, computes the same
// output values as the graph it started from.
TEST(Pipeline, RandomGraphsKeepTheirValues) {
    std::mt19937_64 rng(20240611);
    const IdentityEngine identity;
    const MergingEngine merging;
    for (int round = 0; round < 400; ++round) {
        auto store = random_store(rng);
        Snapshot snap = snapshot(*store);
        std::vector<NodeId> outputs;
        for (std::size_t k = rng() % 5; k-- > 0;) outputs.push_back(rng() % snap.nodes.size());
        const std::vector<uint64_t> want = output_values(snap.nodes, outputs);
        for (const RewriteEngine* engine : std::vector<const RewriteEngine*>{&identity, &merging}) {
            for (bool maximal : {false, true}) {
                SCOPED_TRACE("round " + std::to_string(round) + (maximal ? " maximal" : " single-use"));
                Reduced r = reduce_with_mode(snap.nodes, outputs, *engine, maximal);
                check_reduced(r, outputs.size());
                EXPECT_EQ(output_values(r.nodes, r.outputs), want);
                EXPECT_EQ(r.nodes, reduce_with_mode(snap.nodes, outputs, *engine, maximal).nodes);
                // Handing the keys over gives the same reduction as lending them.
                Reduced owned = reduce_with_mode(std::vector<NodeKey>(snap.nodes), outputs, *engine, maximal);
                EXPECT_EQ(owned.nodes, r.nodes);
                EXPECT_EQ(owned.outputs, r.outputs);
                EXPECT_EQ(owned.report, r.report);

                ReducedStore built = from_reduced(r);
                // Fusion may rebuild a stage equal to one the graph already
                // had; the new store holds such equal keys once.
                EXPECT_LE(built.store->node_count(), r.nodes.size());
                Snapshot again = snapshot(*built.store);
                Reduced r2 = reduce_with_mode(again.nodes, again.outputs, *engine, maximal);
                check_reduced(r2, again.outputs.size());
                EXPECT_EQ(output_values(r2.nodes, r2.outputs), output_values(again.nodes, again.outputs));
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// A store is reduced straight into the new store's table; that must give
// what building the store from the reduced keys gives, node for node, with
// the same outputs and report, under every engine (the real one takes the
// store's nodes as distinct).
TEST(Pipeline, StorePathEqualsKeyPath) {
    std::mt19937_64 rng(20250301);
    const IdentityEngine identity;
    const MergingEngine merging;
    const SaturationEngine saturation;
    for (int round = 0; round < 200; ++round) {
        auto store = random_store(rng);
        Snapshot snap = snapshot(*store);
        std::vector<NodeId> outputs;
        for (std::size_t k = 1 + rng() % 4; k-- > 0;) outputs.push_back(rng() % snap.nodes.size());
        for (const RewriteEngine* engine : std::vector<const RewriteEngine*>{&identity, &merging, &saturation}) {
            for (bool maximal : {false, true}) {
                SCOPED_TRACE("round " + std::to_string(round) + (maximal ? " maximal" : " single-use"));
                ReducedStore via_keys = from_reduced(reduce_with_mode(snap.nodes, outputs, *engine, maximal));
                auto direct = reduce_with_outputs(*store, outputs, *engine, maximal);
                ASSERT_TRUE(direct.ok());
                EXPECT_EQ(direct->report, via_keys.report);
                Snapshot want = snapshot(*via_keys.store);
                Snapshot got = snapshot(*direct->store);
                EXPECT_EQ(got.nodes, want.nodes);
                EXPECT_EQ(got.outputs, want.outputs);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// The real engine marks its result distinct, so reduction skips cse on it:
// cse must indeed find nothing to merge there.
TEST(Pipeline, SaturationResultIsWhatCseLeavesIt) {
    std::mt19937_64 rng(20250302);
    const SaturationEngine saturation;
    for (int round = 0; round < 200; ++round) {
        auto store = random_store(rng);
        Snapshot snap = snapshot(*store);
        // Mirrored commutative pairs and identity ops over shared children,
        // so that the engine has classes to merge.
        const NodeId a = rng() % snap.nodes.size(), b = rng() % snap.nodes.size();
        const NodeId ab = *store->intern(op("add", {a, b}));
        const NodeId ba = *store->intern(op("add", {b, a}));
        const NodeId ia = *store->intern(NodeKey::op("add", identity_params(), {a}));
        ASSERT_TRUE(store->intern(op("mul", {ab, ia})).ok());
        ASSERT_TRUE(store->intern(op("mul", {ba, a})).ok());
        snap = snapshot(*store);
        std::vector<uint64_t> outputs;
        for (std::size_t k = 1 + rng() % 4; k-- > 0;) outputs.push_back(rng() % snap.nodes.size());
        outputs.push_back(snap.nodes.size() - 1);
        PackedInputBuilder builder(snap.nodes.size(), 0, outputs);
        for (const NodeKey& key : snap.nodes) builder.add(view_of(key));
        PackedGraph out = saturation.canonicalize_packed(std::move(builder).finish().graph);
        ASSERT_TRUE(out.distinct);
        PackedGraph merged = out;
        cse_packed(merged);
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(merged.op, out.op);
        EXPECT_EQ(merged.child_start, out.child_start);
        EXPECT_EQ(merged.children, out.children);
        EXPECT_EQ(merged.outputs, out.outputs);
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace dagloom
