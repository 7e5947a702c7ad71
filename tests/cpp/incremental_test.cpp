#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>

#include "optimizer/incremental_reducer.h"
#include "store/graph_store.h"

using namespace dagloom;

namespace {

ParamMap identity(const char* name_scalar_side) {
    // "a0r" -> scalar 0.0 side r; "m1l" -> scalar 1.0 side l
    double scalar = name_scalar_side[1] == '0' ? 0.0 : name_scalar_side[1] == 'n' ? -0.0 : 1.0;
    return ParamMap::make({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(std::string(1, name_scalar_side[2]))}});
}

NodeKey src(const char* n) { return NodeKey::source(n, {}); }
NodeKey op(const char* n, std::vector<NodeId> in, ParamMap p = {}) { return NodeKey::op(n, std::move(p), std::move(in)); }

class Identity final : public RewriteEngine {
public:
    EngineGraph canonicalize(const EngineGraph& g) const override { return g; }
};

}  // namespace

TEST(IncrementalStep, IdentityCollapsesIntoOperand) {
    for (const char* form : {"a0r", "a0l", "m1r", "m1l"}) {
        IncrementalReducer r;
        const char* name = form[0] == 'a' ? "add" : "mul";
        ASSERT_EQ(*r.step({src("x"), op(name, {0}, identity(form))}), 2u);
        EXPECT_EQ(r.watermark(), 2u);
        EXPECT_EQ(r.canonical_count(), 1u) << form;
    }
    // -0.0, a wrong operator, or an extra parameter is not an identity.
    IncrementalReducer r;
    ASSERT_TRUE(r.step({src("x"), op("add", {0}, identity("anr")), op("mul", {0}, identity("a0r")),
                        op("add", {0}, ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")},
                                                       {"z", ParamValue::Int(0)}}))})
                    .ok());
    EXPECT_EQ(r.canonical_count(), 4u);
}

TEST(IncrementalStep, IdentityWithOtherArityIsAnOrdinaryOp) {
    IncrementalReducer r;
    ASSERT_TRUE(r.step({src("x"), src("z"), op("add", {0, 1}, identity("a0r")), op("add", {}, identity("a0r")),
                        op("add", {0, 1}, identity("a0r"))})
                    .ok());
    // x, z, the two-input op, the zero-input op; the repeat is hash-consed.
    EXPECT_EQ(r.canonical_count(), 4u);
    EXPECT_EQ(r.watermark(), 5u);
    EXPECT_EQ(r.total_work(), 5u);
    // Still usable afterwards.
    ASSERT_EQ(*r.step({op("neg", {3})}), 1u);
    EXPECT_EQ(r.canonical_count(), 5u);
}

TEST(IncrementalStep, CommutativeMirrorsFold) {
    IncrementalReducer r;
    ASSERT_TRUE(r.step({src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0})}).ok());
    EXPECT_EQ(r.canonical_count(), 3u);
    auto out = r.finalize({2, 3}, Identity(), false);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out->outputs[0], out->outputs[1]);

    IncrementalReducer with_params;
    ParamMap p = ParamMap::make({{"k", ParamValue::Int(1)}});
    ASSERT_TRUE(with_params.step({src("a"), src("b"), op("add", {0, 1}, p), op("add", {1, 0}, p)}).ok());
    EXPECT_EQ(with_params.canonical_count(), 4u);

    IncrementalReducer not_commutative;
    ASSERT_TRUE(not_commutative.step({src("a"), src("b"), op("sub", {0, 1}), op("sub", {1, 0})}).ok());
    EXPECT_EQ(not_commutative.canonical_count(), 4u);
}

TEST(IncrementalStep, CollapsedInputsMakeUsersEqual) {
    // y collapses into x, so mul(y, z) and mul(x, z) are one node.
    IncrementalReducer r;
    ASSERT_TRUE(r.step({src("x"), src("z"), op("add", {0}, identity("a0r")), op("mul", {2, 1}), op("mul", {0, 1})}).ok());
    EXPECT_EQ(r.canonical_count(), 3u);
}

TEST(IncrementalStep, BatchesAndBadIds) {
    IncrementalReducer r;
    EXPECT_EQ(*r.step({}), 0u);
    ASSERT_EQ(*r.step({src("x")}), 1u);
    auto bad = r.step({op("neg", {0}), op("neg", {5}), op("exp", {0})});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().id, 5u);
    // The key before the bad one stays consumed; no work is counted for the batch.
    EXPECT_EQ(r.watermark(), 2u);
    EXPECT_EQ(r.total_work(), 1u);
    EXPECT_EQ(r.canonical_count(), 2u);
    auto bad_out = r.finalize({2}, Identity(), false);
    ASSERT_FALSE(bad_out.ok());
    EXPECT_EQ(bad_out.error().id, 2u);
}

TEST(IncrementalStep, BatchSizeDoesNotMatter) {
    std::mt19937 rng(3);
    const char* names[] = {"add", "mul", "neg", "sub"};
    for (int round = 0; round < 50; ++round) {
        std::vector<NodeKey> keys;
        int n = 5 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) {
            if (i < 2 || rng() % 5 == 0) {
                keys.push_back(src(("s" + std::to_string(rng() % 3)).c_str()));
                continue;
            }
            NodeId a = rng() % i, b = rng() % i;
            switch (rng() % 4) {
                case 0: keys.push_back(op("add", {a}, identity("a0r"))); break;
                case 1: keys.push_back(op(names[rng() % 4], {a})); break;
                default: keys.push_back(op(names[rng() % 4], {a, b})); break;
            }
        }
        IncrementalReducer whole, pieces;
        ASSERT_TRUE(whole.step(keys).ok());
        std::size_t at = 0;
        while (at < keys.size()) {
            std::size_t len = std::min<std::size_t>(rng() % 4, keys.size() - at);
            std::vector<NodeKey> batch(keys.begin() + at, keys.begin() + at + len);
            ASSERT_EQ(*pieces.step(batch), len);
            at += len;
        }
        EXPECT_EQ(whole.canonical_count(), pieces.canonical_count());
        EXPECT_EQ(pieces.total_work(), pieces.watermark());
        std::vector<NodeId> outs = {static_cast<NodeId>(keys.size() - 1), 0};
        auto a = whole.finalize(outs, Identity(), true);
        auto b = pieces.finalize(outs, Identity(), true);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(a->nodes, b->nodes);
        EXPECT_EQ(a->outputs, b->outputs);
        EXPECT_EQ(a->report, b->report);
        EXPECT_EQ(a->report.input_nodes, whole.canonical_count());
    }
}

// The mirror of a commutative op is probed without disturbing the key that
// is finally stored: it keeps its own input order, and a later op in either
// order finds it.
TEST(IncrementalStep, MirrorProbeKeepsTheStoredOrder) {
    IncrementalReducer r;
    // a, b, mul(b, a) [new], mul(a, b) [its mirror], mul(b, a) [itself], max(a, a) twice.
    ASSERT_TRUE(r.step({src("a"), src("b"), op("mul", {1, 0}), op("mul", {0, 1}), op("mul", {1, 0}),
                        op("maximum", {0, 0}), op("maximum", {0, 0})})
                    .ok());
    EXPECT_EQ(r.canonical_count(), 4u);
    auto out = r.finalize({2, 3, 4, 5, 6}, Identity(), false);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out->outputs[0], out->outputs[1]);
    EXPECT_EQ(out->outputs[0], out->outputs[2]);
    EXPECT_EQ(out->outputs[3], out->outputs[4]);
    // The stored mul reads (b, a): its one-member stage takes b first.
    const NodeKey& stage = out->nodes[out->outputs[0]];
    ASSERT_EQ(stage.kind(), NodeKind::Stage);
    ASSERT_EQ(stage.inputs().size(), 2u);
    EXPECT_TRUE(out->nodes[stage.inputs()[0]] == src("b"));
    EXPECT_TRUE(out->nodes[stage.inputs()[1]] == src("a"));
}

namespace {

// Keys over several thousand positions: chains, ops reading nodes far back,
// exact repeats of old keys and mirrors of old commutative keys.
std::vector<NodeKey> long_graph(unsigned seed) {
    std::mt19937 rng(seed);
    const char* names[] = {"add", "neg", "sub"};
    std::vector<NodeKey> keys;
    for (NodeId i = 0; i < 6000; ++i) {
        const unsigned pick = rng() % 10;
        if (i < 3 || pick == 0) {
            keys.push_back(src(("s" + std::to_string(rng() % 50)).c_str()));
        } else if (pick <= 2 && i > 10) {
            // A key from anywhere before, again or mirrored.
            const NodeKey& old = keys[rng() % i];
            std::vector<NodeId> in(old.inputs().begin(), old.inputs().end());
            if (in.size() == 2 && rng() % 2) std::swap(in[0], in[1]);
            keys.push_back(old.with_inputs(in));
        } else {
            const NodeId near = i - 1 - rng() % std::min<NodeId>(i, 8);
            const NodeId far = rng() % i;
            const char* name = names[rng() % 3];
            keys.push_back(name[0] == 'n' ? op(name, {rng() % 2 ? near : far}) : op(name, {near, far}));
        }
    }
    return keys;
}

// How many canonical nodes `keys` come to, worked out with an ordered map:
// add with two inputs and no parameters ignores their order.
std::size_t canonical_count_of(const std::vector<NodeKey>& keys) {
    std::map<std::tuple<NodeKind, std::string, std::vector<NodeId>>, NodeId> seen;
    std::vector<NodeId> remap;
    for (const NodeKey& key : keys) {
        std::vector<NodeId> in;
        for (NodeId x : key.inputs()) in.push_back(remap[x]);
        if (key.kind() == NodeKind::Op && key.name() == "add" && in.size() == 2 && key.params().empty())
            std::sort(in.begin(), in.end());
        auto [it, added] = seen.emplace(std::make_tuple(key.kind(), std::string(key.name()), in), seen.size());
        remap.push_back(it->second);
    }
    return seen.size();
}

// Feeding the keys as vectors of keys, or through a store whose new nodes
// each step copies out (the store keeps exact repeats once).
enum class Feed { Keys, StoreDeltas };

class LongGraph : public ::testing::TestWithParam<std::tuple<Feed, unsigned>> {};

}  // namespace

TEST_P(LongGraph, CanonicalCountMatchesAnOrderedMap) {
    const auto [feed, seed] = GetParam();
    const std::vector<NodeKey> keys = long_graph(seed);
    std::mt19937 rng(seed);
    IncrementalReducer r;
    GraphStore store;
    std::vector<NodeId> id_of;  // key position -> store id
    std::size_t at = 0;
    while (at < keys.size()) {
        const std::size_t len = std::min<std::size_t>(1 + rng() % 700, keys.size() - at);
        if (feed == Feed::Keys) {
            ASSERT_EQ(*r.step(std::vector<NodeKey>(keys.begin() + at, keys.begin() + at + len)), len);
        } else {
            for (std::size_t k = at; k < at + len; ++k) {
                std::vector<NodeId> in;
                for (NodeId x : keys[k].inputs()) in.push_back(id_of[x]);
                id_of.push_back(*store.intern(keys[k].with_inputs(in)));
            }
            ASSERT_TRUE(r.step(store.delta_from(r.watermark())).ok());
        }
        at += len;
    }
    EXPECT_EQ(r.canonical_count(), canonical_count_of(keys));
    if (feed == Feed::StoreDeltas) {
        EXPECT_EQ(r.watermark(), store.node_count());
    }
}

INSTANTIATE_TEST_SUITE_P(Feeds, LongGraph,
                         ::testing::Combine(::testing::Values(Feed::Keys, Feed::StoreDeltas), ::testing::Values(1u, 2u, 3u)),
                         [](const auto& info) {
                             const Feed feed = std::get<0>(info.param);
                             return std::string(feed == Feed::Keys ? "Keys" : "StoreDeltas") + "Seed" +
                                    std::to_string(std::get<1>(info.param));
                         });
