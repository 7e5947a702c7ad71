// The reducer fed packed deltas of a growing store must end in exactly the
// state it reaches when fed the same nodes as keys, and both must match a
// plain model of the rules (tokens compared as text, keys looked up one by
// one). Graphs are random: repeats, mirrors, collapsing identities, every
// kind, inputs near and far.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer_testing.h"
#include "store/graph_store.h"
#include "store_testing.h"

using namespace dagloom;
using dagloom::testing::IdentityEngine;

namespace {

// The rules written out as plainly as possible.
class ModelReducer {
public:
    void step(const std::vector<NodeKey>& delta) {
        for (const NodeKey& key : delta) {
            std::vector<NodeId> in;
            for (NodeId x : key.inputs()) in.push_back(remap_.at(x));
            const NodeKey mapped = key.with_inputs(in);
            remap_.push_back(canonicalize(mapped));
        }
    }
    const std::vector<NodeKey>& canonical() const { return canonical_; }
    std::size_t watermark() const { return remap_.size(); }
    std::vector<NodeId> map(const std::vector<NodeId>& ids) const {
        std::vector<NodeId> out;
        for (NodeId id : ids) out.push_back(remap_.at(id));
        return out;
    }

private:
    NodeId canonicalize(const NodeKey& key) {
        static const std::array<std::string, 4> identity = {
            "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
            "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
        static const std::array<std::string, 8> commutative = {"add", "mul", "and",     "or",
                                                               "eq",  "ne",  "maximum", "minimum"};
        const auto& in = key.inputs();
        if (key.kind() == NodeKind::Op) {
            const bool is_identity = std::find(identity.begin(), identity.end(), key.token()) != identity.end();
            if (in.size() == 1 && is_identity) return in[0];
            if (in.size() == 2 && key.params().empty() &&
                std::find(commutative.begin(), commutative.end(), key.name()) != commutative.end()) {
                if (auto found = find(key)) return *found;
                if (auto found = find(key.with_inputs({in[1], in[0]}))) return *found;
            }
        }
        if (auto found = find(key)) return *found;
        canonical_.push_back(key);
        return canonical_.size() - 1;
    }
    std::optional<NodeId> find(const NodeKey& key) const {
        for (std::size_t i = 0; i < canonical_.size(); ++i)
            if (canonical_[i] == key) return i;
        return std::nullopt;
    }

    std::vector<NodeKey> canonical_;
    std::vector<NodeId> remap_;
};

// Adds one random node to `store` (an existing key just returns its id).
void grow(GraphStore& store, std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::size_t n = store.node_count();
    if (n < 3 || pick(10) == 0) {
        const ParamMap p = pick(3) == 0 ? ParamMap::make({{"k", ParamValue::Int(1)}}) : ParamMap{};
        (void)store.intern(NodeKey::source(std::string(1, static_cast<char>('a' + pick(4))), p));
        return;
    }
    // Half the inputs come from the last few nodes, the rest from anywhere.
    auto input = [&] { return static_cast<NodeId>(pick(2) ? n - 1 - pick(std::min<std::size_t>(n, 5)) : pick(n)); };
    auto inputs = [&](std::size_t count) {
        std::vector<NodeId> in;
        for (std::size_t i = 0; i < count; ++i) in.push_back(input());
        return in;
    };
    const ParamMap none;
    const ParamMap k1 = ParamMap::make({{"k", ParamValue::Int(1)}});
    switch (pick(10)) {
        case 0:
        case 1: {
            const bool add = pick(2) == 0;
            const double scalar = pick(5) == 0 ? -0.0 : pick(5) == 0 ? (add ? 1.0 : 0.0) : (add ? 0.0 : 1.0);
            const ParamMap p = ParamMap::make({{"scalar", ParamValue::Float(scalar)},
                                               {"side", ParamValue::Str(pick(2) ? "r" : "l")}});
            const std::size_t arity = pick(6) == 0 ? pick(3) : 1;
            (void)store.intern(NodeKey::op(add ? "add" : "mul", p, inputs(arity)));
            return;
        }
        case 2:
        case 3:
        case 4: {
            static const char* names[] = {"add", "mul", "maximum", "ne", "sub"};
            (void)store.intern(NodeKey::op(names[pick(5)], pick(6) == 0 ? k1 : none, inputs(2)));
            return;
        }
        case 5: (void)store.intern(NodeKey::op(pick(2) ? "neg" : "exp", none, inputs(1))); return;
        case 6: (void)store.intern(NodeKey::op("concat", none, inputs(3 + pick(4)))); return;
        case 7: (void)store.intern(NodeKey::reduction("sum", pick(2) ? k1 : none, inputs(1))); return;
        case 8:
            (void)store.intern(NodeKey::exchange(pick(2) ? k1 : none, inputs(1 + pick(2))));
            return;
        default:
            if (pick(2)) {
                const PayloadDescriptor d = dagloom::testing::descriptor("onnx", pick(2) ? "h0" : "h1", std::nullopt);
                (void)store.intern(NodeKey::external(d, none, inputs(pick(3))));
            } else {
                (void)store.intern(NodeKey::stage(inputs(1 + pick(2)), {StageOp{"op|neg", {StageRef::Input(0)}}}));
            }
            return;
    }
}

std::vector<NodeId> all_ids(std::size_t n) {
    std::vector<NodeId> ids(n);
    for (std::size_t i = 0; i < n; ++i) ids[i] = i;
    return ids;
}

void expect_same(const Reduced& a, const Reduced& b) {
    EXPECT_EQ(a.nodes, b.nodes);
    EXPECT_EQ(a.outputs, b.outputs);
    EXPECT_EQ(a.report, b.report);
}

class DeltaAndKeySteps : public ::testing::TestWithParam<int> {};

TEST_P(DeltaAndKeySteps, ReachTheSameStateAsTheRules) {
    std::mt19937_64 rng(static_cast<uint64_t>(GetParam()));
    GraphStore store;
    IncrementalReducer by_delta;
    IncrementalReducer by_keys;
    ModelReducer model;
    const std::size_t target = 100 + rng() % 300;
    while (store.node_count() < target) {
        const std::size_t grow_by = rng() % 40;
        for (std::size_t i = 0; i < grow_by; ++i) grow(store, rng);
        const NodeDelta delta = store.delta_from(by_delta.watermark());
        ASSERT_EQ(*by_delta.step(delta), delta.size());
        ASSERT_EQ(*by_keys.step(snapshot_from(store, by_keys.watermark())), delta.size());
        model.step(snapshot_from(store, model.watermark()));
        ASSERT_EQ(by_delta.canonical_count(), model.canonical().size());
        ASSERT_EQ(by_keys.canonical_count(), model.canonical().size());
    }
    const std::size_t n = store.node_count();
    EXPECT_EQ(by_delta.watermark(), n);
    EXPECT_EQ(by_delta.total_work(), n);
    EXPECT_EQ(by_keys.total_work(), n);
    // Every store id as an output: the reduced outputs show where each one went.
    const std::vector<NodeId> outputs = all_ids(n);
    const IdentityEngine engine;
    const auto from_delta = by_delta.finalize(outputs, engine, false);
    const auto from_keys = by_keys.finalize(outputs, engine, false);
    ASSERT_TRUE(from_delta.ok() && from_keys.ok());
    const Reduced expected = reduce_with_mode(model.canonical(), model.map(outputs), engine, false);
    expect_same(*from_delta, expected);
    expect_same(*from_keys, expected);

    // Reduced straight into a store: the store and report that the keys give.
    const SaturationEngine saturation;
    const std::vector<NodeId> some{outputs.back(), outputs[n / 2], outputs.back()};
    for (const RewriteEngine* e : {static_cast<const RewriteEngine*>(&engine), static_cast<const RewriteEngine*>(&saturation)}) {
        for (bool maximal : {false, true}) {
            for (const std::vector<NodeId>* outs : {&outputs, &some}) {
                auto direct = by_delta.finalize_store(*outs, *e, maximal);
                auto via_keys = by_delta.finalize(*outs, *e, maximal);
                ASSERT_TRUE(direct.ok() && via_keys.ok());
                const ReducedStore built = from_reduced(std::move(*via_keys));
                EXPECT_EQ(direct->report, built.report);
                const Snapshot got = snapshot(*direct->store);
                const Snapshot want = snapshot(*built.store);
                EXPECT_TRUE(got.nodes == want.nodes);
                EXPECT_EQ(got.outputs, want.outputs);
            }
        }
    }
    EXPECT_EQ(by_delta.finalize_store({n}, engine, false).error().id, n);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DeltaAndKeySteps, ::testing::Range(0, 24));

// A delta that skips ahead of the consumed nodes stops at the first input
// the reducer has not seen, keeping the nodes before it, as keys do.
TEST(DeltaStep, StopsAtAnUnknownInputLikeKeys) {
    GraphStore first;
    GraphStore other;
    for (const NodeKey& key : {NodeKey::source("a", {}), NodeKey::source("b", {})}) ASSERT_TRUE(first.intern(key).ok());
    for (const NodeKey& key : {NodeKey::source("a", {}), NodeKey::source("b", {}), NodeKey::op("neg", {}, {0}),
                               NodeKey::op("neg", {}, {1}), NodeKey::op("add", {}, {2, 3}), NodeKey::op("exp", {}, {1}),
                               NodeKey::op("exp", {}, {5})})
        ASSERT_TRUE(other.intern(key).ok());
    IncrementalReducer by_delta;
    IncrementalReducer by_keys;
    ASSERT_EQ(*by_delta.step(first.delta_from(0)), 2u);
    ASSERT_EQ(*by_keys.step(snapshot_from(first, 0)), 2u);
    // Nodes 5 and 6 of the other store: exp(1) is fine, exp(5) is not.
    const auto bad_delta = by_delta.step(other.delta_from(5));
    const auto bad_keys = by_keys.step(snapshot_from(other, 5));
    ASSERT_FALSE(bad_delta.ok());
    ASSERT_FALSE(bad_keys.ok());
    EXPECT_EQ(bad_delta.error().id, 5u);
    EXPECT_EQ(bad_keys.error().id, 5u);
    for (const IncrementalReducer* r : {&by_delta, &by_keys}) {
        EXPECT_EQ(r->watermark(), 3u);
        EXPECT_EQ(r->total_work(), 2u);
        EXPECT_EQ(r->canonical_count(), 3u);
    }
    // Still usable: the node it stopped at can come again once its input has.
    ASSERT_EQ(*by_delta.step(other.delta_from(3)), 4u);
    EXPECT_EQ(by_delta.canonical_count(), 6u);
    EXPECT_EQ(by_delta.total_work(), 6u);
}

}  // namespace
