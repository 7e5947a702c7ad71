// Traced reductions: each phase's trace, and the origins composed from
// them, lead every recorded node to the node and member computing its value.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/stage_fusion.h"
#include "optimizer_testing.h"
#include "store_testing.h"
#include "util/internal_error.h"

namespace dagloom {
namespace {

using namespace dagloom::testing;

// Each node the outputs reach has the value of the node and member its
// origin names; every other node has no origin; each output's reduced id
// is its node's, and one the reduced store marks.
void expect_origins(const std::vector<NodeKey>& recorded, const std::vector<NodeId>& outputs, const GraphStore& reduced,
                    const Origins& o) {
    std::vector<bool> needed(recorded.size());
    for (std::vector<NodeId> stack = outputs; !stack.empty();) {
        const NodeId id = stack.back();
        stack.pop_back();
        if (!needed[id]) stack.insert(stack.end(), recorded[id].inputs().begin(), recorded[id].inputs().end());
        needed[id] = true;
    }
    const std::vector<uint64_t> want = evaluate(recorded);
    const Snapshot got = snapshot(reduced);
    const auto values = member_values(got.nodes);
    ASSERT_EQ(o.input_nodes(), recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        const int64_t node = o.node()[i], member = o.member()[i];
        if (!needed[i] || node < 0) {
            EXPECT_EQ(std::make_tuple(needed[i], node, member), std::make_tuple(false, -1, -1)) << i;
            continue;
        }
        // Only an operation becomes a member; what it was fused into is a stage.
        if (member >= 0) {
            EXPECT_TRUE(recorded[i].kind() == NodeKind::Op && got.nodes.at(node).kind() == NodeKind::Stage) << i;
        }
        EXPECT_EQ(member < 0 ? values.at(node).back() : values.at(node).at(member), want[i]) << i;
    }
    ASSERT_EQ(o.outputs().size(), outputs.size());
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        EXPECT_EQ(static_cast<int64_t>(o.outputs()[k]), o.node()[outputs[k]]);
        EXPECT_NE(std::find(got.outputs.begin(), got.outputs.end(), o.outputs()[k]), got.outputs.end());
    }
}

void expect_same_store(const ReducedStore& a, const ReducedStore& b) {
    EXPECT_EQ(a.report, b.report);
    EXPECT_EQ(snapshot(*a.store).nodes, snapshot(*b.store).nodes);
    EXPECT_EQ(snapshot(*a.store).outputs, snapshot(*b.store).outputs);
}

// Under both fusion rules and both ways the engine runs (replayed, or on
// the e-graph), on stores and on reducers fed them in two batches.
class TracedReduction : public ::testing::TestWithParam<std::tuple<bool, SaturationEngine::Method>> {};

TEST_P(TracedReduction, OriginsHoldAndTheReductionIsTheUntracedOne) {
    const auto [maximal, method] = GetParam();
    const SaturationEngine engine(method);
    std::mt19937_64 rng(20250611);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto store = random_store(rng);
        const Snapshot snap = snapshot(*store);
        std::vector<NodeId> outputs;
        for (std::size_t k = 1 + rng() % 4; k-- > 0;) outputs.push_back(rng() % snap.nodes.size());
        auto traced = reduce_traced(*store, &outputs, engine, maximal);
        ASSERT_TRUE(traced.ok());
        expect_same_store(traced->reduced, *reduce_with_outputs(*store, outputs, engine, maximal));
        expect_origins(snap.nodes, outputs, *traced->reduced.store, traced->origins);

        IncrementalReducer reducer;
        const auto half = snap.nodes.begin() + static_cast<std::ptrdiff_t>(rng() % snap.nodes.size());
        ASSERT_TRUE(reducer.step(std::vector<NodeKey>(snap.nodes.begin(), half)).ok());
        ASSERT_TRUE(reducer.step(std::vector<NodeKey>(half, snap.nodes.end())).ok());
        auto finalized = reducer.finalize_traced(*store, outputs, engine, maximal);
        ASSERT_TRUE(finalized.ok());
        expect_same_store(finalized->reduced, *reducer.finalize_store(outputs, engine, maximal));
        expect_origins(snap.nodes, outputs, *finalized->reduced.store, finalized->origins);
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Trace, TracedReduction,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(SaturationEngine::Method::Replay,
                                                                                 SaturationEngine::Method::EGraph)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Maximal" : "SingleUse") +
                                    (std::get<1>(info.param) == SaturationEngine::Method::EGraph ? "EGraph" : "Replay");
                         });

PackedInput packed(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    PackedInputBuilder builder(keys.size(), 0, std::move(outputs));
    for (const NodeKey& key : keys) builder.add(view_of(key));
    return std::move(builder).finish();
}

std::vector<uint32_t> raw(const auto& map, std::size_t n) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < n; ++i) out.push_back(map[{i}].value);
    return out;
}

TEST(Trace, EachPhaseSaysWhereItPutANode) {
    constexpr uint32_t kNone = ~uint32_t{0};
    // The saturation classes, replayed or on the e-graph: add(x, y) and
    // add(y, x) are one class, the identity add over mul is mul's.
    const std::vector<NodeKey> road{src("x"),         src("y"),
                                    op("add", {0, 1}), op("add", {1, 0}),
                                    op("mul", {2, 3}), NodeKey::op("add", identity_params(), {4}),
                                    red("sum", {5})};
    for (auto method : {SaturationEngine::Method::Replay, SaturationEngine::Method::EGraph}) {
        EngineTrace trace;
        (void)SaturationEngine(method).canonicalize_packed(packed(road, {6}).graph, &trace);
        EXPECT_EQ(raw(trace, 7), (std::vector<uint32_t>{0, 1, 2, 2, 3, 3, 4}));
    }
    // cse: the repeated neg and the exp over it follow their first copies.
    PackedGraph dup = packed({src("a"), op("neg", {0}), op("neg", {0}), op("exp", {1}), op("exp", {2})}, {4}).graph;
    EngineTrace cse_trace;
    cse_trace.assign_identity(5);
    cse_packed(dup, &cse_trace);
    EXPECT_EQ(raw(cse_trace, 5), (std::vector<uint32_t>{0, 1, 1, 2, 2}));
    // Fusion of a fan-out: s; a(s); b(a), c(a); d(b, c).
    const PackedInput fan = packed({src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})}, {4});
    for (bool maximal : {false, true}) {
        NodeTable table;
        FusionTrace trace;
        (void)stage_fusion_into(fan.graph, fan.rebuild, maximal, table, &trace);
        using Ids = std::vector<uint32_t>;
        EXPECT_EQ(raw(trace.node, 5), (maximal ? Ids{0, 1, 1, 1, 1} : Ids{0, 1, 2, 2, 2}));
        EXPECT_EQ(raw(trace.member, 5), (maximal ? Ids{kNone, 0, 1, 2, 3} : Ids{kNone, 0, 0, 1, 2}));
    }
}

// The new store interns the stage fusion builds for neg(x) as the stage
// the graph already had: both lead to one id, as the op's member and as
// the opaque stage itself.
TEST(Trace, InterningFollowsMergedNodes) {
    const std::vector<NodeKey> keys{src("x"), op("neg", {0}), NodeKey::stage({0}, {{"op|neg", {In(0)}}})};
    const std::vector<NodeId> outputs{1, 2};
    auto traced = reduce_traced(*store_of(keys), &outputs, SaturationEngine(), false);
    ASSERT_TRUE(traced.ok());
    EXPECT_LT(traced->reduced.store->node_count(), traced->reduced.report.reduced_nodes);
    EXPECT_EQ(traced->origins.node()[1], traced->origins.node()[2]);
    EXPECT_EQ(std::make_pair(traced->origins.member()[1], traced->origins.member()[2]), std::make_pair(0l, -1l));
    expect_origins(keys, outputs, *traced->reduced.store, traced->origins);
}

// The reducer collapses x + 0 onto x, which neg(x) needs; the store's own
// graph says that nothing needs x + 0.
TEST(Trace, FinalizeReadsWhatIsNeededFromTheFedStore) {
    const std::vector<NodeKey> keys{src("x"), NodeKey::op("add", identity_params(), {0}), op("neg", {0})};
    auto store = store_of(keys);
    IncrementalReducer reducer;
    ASSERT_TRUE(reducer.step(store->delta_from(0)).ok());
    auto traced = reducer.finalize_traced(*store, {2}, SaturationEngine(), false);
    ASSERT_TRUE(traced.ok());
    EXPECT_EQ(traced->origins.node()[1], -1);
    expect_origins(keys, {2}, *traced->reduced.store, traced->origins);
    // A store with fewer nodes than were consumed has none of them to need.
    EXPECT_EQ(reducer.finalize_traced(GraphStore(), {0}, SaturationEngine(), false).error(), BadNodeId{0});
    // An engine that cannot say where nodes went is not traced.
    const std::vector<NodeId> outputs{2};
    EXPECT_THROW((void)reduce_traced(*store, &outputs, IdentityEngine(), false), InternalError);
}

}  // namespace
}  // namespace dagloom
