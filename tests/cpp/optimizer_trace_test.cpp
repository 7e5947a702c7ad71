// Traced reductions: each phase's trace, and the origins composed from
// them, lead every recorded node to the node and member computing its value.
#include <gtest/gtest.h>

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
using Method = SaturationEngine::Method;
using Ids = std::vector<uint32_t>;
constexpr uint32_t kNone = ~uint32_t{0};

// Each node the outputs reach has the value of the node and member (only an
// operation is a member) its origin names; every other node has none.
void expect_origins(const std::vector<NodeKey>& recorded, const std::vector<NodeId>& outputs, const TracedStore& t) {
    std::vector<bool> needed(recorded.size());
    for (std::vector<NodeId> stack = outputs; !stack.empty();) {
        const NodeId id = stack.back();
        stack.pop_back();
        if (!needed[id]) stack.insert(stack.end(), recorded[id].inputs().begin(), recorded[id].inputs().end());
        needed[id] = true;
    }
    const std::vector<uint64_t> want = evaluate(recorded);
    const auto values = member_values(snapshot(*t.reduced.store).nodes);
    ASSERT_EQ(t.origins.input_nodes(), recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        const int64_t node = t.origins.node()[i], member = t.origins.member()[i];
        ASSERT_EQ(node >= 0, needed[i]) << i;
        EXPECT_TRUE(member == -1 || (needed[i] && recorded[i].kind() == NodeKind::Op)) << i;
        EXPECT_TRUE(!needed[i] || (member < 0 ? values.at(node).back() : values.at(node).at(member)) == want[i]) << i;
    }
    for (std::size_t k = 0; k < outputs.size(); ++k)
        EXPECT_EQ(static_cast<int64_t>(t.origins.outputs().at(k)), t.origins.node()[outputs[k]]);
}

// Under both fusion rules and both ways the engine runs (replayed, or on
// the e-graph), on stores and on reducers fed them in two batches.
class TracedReduction : public ::testing::TestWithParam<std::tuple<bool, Method>> {};

TEST_P(TracedReduction, IsTheUntracedOneAndLeadsToEachValue) {
    const auto [maximal, method] = GetParam();
    const SaturationEngine engine(method);
    std::mt19937_64 rng(20250611);
    for (int round = 0; round < 150 && !HasFailure(); ++round) {
        auto store = random_store(rng);
        const Snapshot snap = snapshot(*store);
        std::vector<NodeId> outputs;
        for (std::size_t k = 1 + rng() % 4; k-- > 0;) outputs.push_back(rng() % snap.nodes.size());
        IncrementalReducer reducer;
        const auto half = snap.nodes.begin() + static_cast<std::ptrdiff_t>(rng() % snap.nodes.size());
        ASSERT_TRUE(reducer.step(std::vector<NodeKey>(snap.nodes.begin(), half)).ok());
        ASSERT_TRUE(reducer.step(std::vector<NodeKey>(half, snap.nodes.end())).ok());
        const TracedStore traced[] = {reduce_traced(*store, &outputs, engine, maximal).value(),
                                      reducer.finalize_traced(*store, outputs, engine, maximal).value()};
        const ReducedStore untraced[] = {reduce_with_outputs(*store, outputs, engine, maximal).value(),
                                         reducer.finalize_store(outputs, engine, maximal).value()};
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE("round " + std::to_string(round) + (k ? " finalized" : " reduced"));
            EXPECT_EQ(traced[k].reduced.report, untraced[k].report);
            EXPECT_EQ(snapshot(*traced[k].reduced.store).nodes, snapshot(*untraced[k].store).nodes);
            expect_origins(snap.nodes, outputs, traced[k]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Trace, TracedReduction,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(Method::Replay, Method::EGraph)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Maximal" : "SingleUse") +
                                    (std::get<1>(info.param) == Method::EGraph ? "EGraph" : "Replay");
                         });

PackedInput packed(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs) {
    PackedInputBuilder builder(keys.size(), 0, std::move(outputs));
    for (const NodeKey& key : keys) builder.add(view_of(key));
    return std::move(builder).finish();
}

Ids raw(const auto& map, uint32_t n) {
    Ids out;
    for (uint32_t i = 0; i < n; ++i) out.push_back(map[{i}].value);
    return out;
}

TEST(Trace, EachPhaseSaysWhereItPutANode) {
    // Saturation, replayed or on the e-graph: add(x, y) and add(y, x) are
    // one class, and the identity add over mul is mul's.
    const std::vector<NodeKey> road{src("x"),         src("y"),
                                    op("add", {0, 1}), op("add", {1, 0}),
                                    op("mul", {2, 3}), NodeKey::op("add", identity_params(), {4}),
                                    red("sum", {5})};
    for (Method method : {Method::Replay, Method::EGraph}) {
        EngineTrace trace;
        (void)SaturationEngine(method).canonicalize_packed(packed(road, {6}).graph, &trace);
        EXPECT_EQ(raw(trace, 7), (Ids{0, 1, 2, 2, 3, 3, 4}));
    }
    // cse: the second neg and the exp over it follow their first copies.
    PackedGraph twice = packed({src("a"), op("neg", {0}), op("neg", {0}), op("exp", {1}), op("exp", {2})}, {4}).graph;
    EngineTrace trace;
    trace.assign_identity(5);
    cse_packed(twice, &trace);
    EXPECT_EQ(raw(trace, 5), (Ids{0, 1, 1, 2, 2}));
    // Fusion of s; a(s); b(a), c(a); d(b, c): a fans out.
    const PackedInput fan = packed({src("s"), op("a", {0}), op("b", {1}), op("c", {1}), op("d", {2, 3})}, {4});
    for (bool maximal : {false, true}) {
        NodeTable table;
        FusionTrace places;
        (void)stage_fusion_into(fan.graph, fan.rebuild, maximal, table, &places);
        EXPECT_EQ(raw(places.node, 5), (maximal ? Ids{0, 1, 1, 1, 1} : Ids{0, 1, 2, 2, 2}));
        EXPECT_EQ(raw(places.member, 5), (maximal ? Ids{kNone, 0, 1, 2, 3} : Ids{kNone, 0, 0, 1, 2}));
    }
    // An engine that cannot say where nodes went is not traced.
    const std::vector<NodeId> outputs{6};
    EXPECT_THROW((void)reduce_traced(*store_of(road), &outputs, IdentityEngine(), false), InternalError);
}

// Interning: the stage fusion builds for neg(x) is the stage the graph
// already had; the op (as member 0) and the stage lead to its one id.
// The reducer collapses x + 0 onto x, which neg(x) needs, but the store's
// own graph says that nothing needs x + 0.
TEST(Trace, InterningAndTheReducerFollowTheStore) {
    const std::vector<NodeKey> keys{src("x"), op("neg", {0}), NodeKey::stage({0}, {{"op|neg", {In(0)}}})};
    const std::vector<NodeId> outputs{1, 2};
    auto traced = reduce_traced(*store_of(keys), &outputs, SaturationEngine(), false);
    EXPECT_LT(traced->reduced.store->node_count(), traced->reduced.report.reduced_nodes);
    EXPECT_EQ(traced->origins.node()[1], traced->origins.node()[2]);
    expect_origins(keys, outputs, *traced);

    const std::vector<NodeKey> collapsing{src("x"), NodeKey::op("add", identity_params(), {0}), op("neg", {0})};
    auto store = store_of(collapsing);
    IncrementalReducer reducer;
    ASSERT_TRUE(reducer.step(store->delta_from(0)).ok());
    auto finalized = reducer.finalize_traced(*store, {2}, SaturationEngine(), false);
    EXPECT_EQ(finalized->origins.node()[1], -1);
    expect_origins(collapsing, {2}, *finalized);
    // A store with fewer nodes than were consumed has none of them to need.
    EXPECT_EQ(reducer.finalize_traced(GraphStore(), {0}, SaturationEngine(), false).error(), BadNodeId{0});
}

}  // namespace
}  // namespace dagloom
