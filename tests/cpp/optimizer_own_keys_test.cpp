// Reduction rebuilds opaque nodes from keys held per op text, and a token
// writes every NaN alike: nodes that share a text may hold NaNs of other
// payloads. Each such node is rebuilt from a key of its own, which every
// phase carries to the node that represents it, so a reduced node holds the
// bits of the recorded node it stands for.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <optional>
#include <random>

#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer_testing.h"
#include "store/node_table.h"
#include "store_testing.h"

namespace dagloom {
namespace {

using namespace dagloom::testing;

constexpr uint64_t N1 = 0x7FF0000000000001ULL;  // signalling payload
constexpr uint64_t N2 = 0xFFF8000000000002ULL;  // negative, quiet, another payload
constexpr uint64_t N3 = 0x7FF8000000000000ULL;  // the canonical NaN
constexpr uint64_t N4 = 0x7FF4000000000ABCULL;

ParamMap nan_params(uint64_t bits) { return ParamMap::make({{"s", ParamValue::Float(std::bit_cast<double>(bits))}}); }

// The bits of a key's float parameter "s", if it has one.
std::optional<uint64_t> nan_bits(const ParamMap& params) {
    for (const auto& [name, value] : params)
        if (name == "s" && value.tag() == ParamValue::Tag::Float) return std::bit_cast<uint64_t>(value.as_float());
    return std::nullopt;
}

NodeKey r(uint64_t bits, NodeId in) { return NodeKey::reduction("r", nan_params(bits), {in}); }
NodeKey ext(std::optional<std::string> pre, uint64_t bits, NodeId in) {
    return NodeKey::external(descriptor("k", "h", std::move(pre)), nan_params(bits), {in});
}

// The packed input as reduction builds it from a list of keys, or from the
// views of a table that interned them (one list per distinct bits there).
PackedInput packed_from_keys(const std::vector<NodeKey>& keys) {
    PackedInputBuilder builder(keys.size(), 0, {});
    for (const NodeKey& k : keys) builder.add(view_of(k));
    return std::move(builder).finish();
}

PackedInput packed_from_table(const std::vector<NodeKey>& keys) {
    NodeTable table;
    for (NodeKey k : keys) EXPECT_TRUE(table.intern(table.probe(view_of(k)), &k).added);
    PackedInputBuilder builder(keys.size(), 0, {});
    for (std::size_t i = 0; i < table.size(); ++i) builder.add(table.view(i));
    return std::move(builder).finish();
}

class OwnKeysOfInput : public ::testing::TestWithParam<PackedInput (*)(const std::vector<NodeKey>&)> {};

TEST_P(OwnKeysOfInput, NodesWithOtherBitsThanTheirTextsFirstNodeGetKeysOfTheirOwn) {
    const std::vector<NodeKey> keys{
        src("a"), src("b"), src("c"),
        r(N1, 0), r(N2, 1), r(N1, 2), r(N2, 3),  // 4 and 6 share one own key
        ext(std::nullopt, N1, 0),                 // 7: its token's first node
        ext("-", N1, 0),                          // 8: same token, another key: a variant text
        ext("-", N2, 1),                          // 9: the variant's text with other bits
        ext(std::nullopt, N3, 1)};                // 10: the first text with other bits
    const PackedInput in = GetParam()(keys);
    const PackedGraph& g = in.graph;
    ASSERT_EQ(g.size(), keys.size());
    std::vector<uint32_t> owners;
    for (const OwnKey& own : g.own_keys) owners.push_back(own.node);
    EXPECT_EQ(owners, (std::vector<uint32_t>{4, 6, 9, 10}));
    ASSERT_EQ(g.own_keys.size(), 4u);
    EXPECT_EQ(g.own_keys[0].key, g.own_keys[1].key);
    EXPECT_EQ(g.op[4], g.op[3]);
    EXPECT_EQ(g.op[9], g.op[8]);
    EXPECT_NE(g.op[8], g.op[7]);
    // Every opaque node is rebuilt from a key equal to it apart from its
    // inputs, bit for bit.
    std::size_t own = 0;
    for (std::size_t i = 0; i < g.size(); ++i) {
        const bool owns = own < g.own_keys.size() && g.own_keys[own].node == i;
        const uint32_t k = in.rebuild.key_index(g.op[i], owns ? g.own_keys[own++].key : RebuildTable::kNone);
        ASSERT_NE(k, RebuildTable::kNone) << i;
        EXPECT_TRUE(same_apart_from_inputs(in.rebuild.keys[k], view_of(keys[i]))) << i;
        EXPECT_TRUE(same_bits(in.rebuild.keys[k].params(), keys[i].params())) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(OwnKeys, OwnKeysOfInput, ::testing::Values(&packed_from_keys, &packed_from_table),
                         [](const auto& info) { return info.index == 0 ? "FromKeys" : "FromTable"; });

TEST(OwnKeys, NoneWithoutPayloadDifferences) {
    const std::vector<NodeKey> keys{src("a"), src("b"), r(N1, 0), r(N1, 1), ext("-", N2, 0), ext("-", N2, 1)};
    EXPECT_TRUE(packed_from_keys(keys).graph.own_keys.empty());
    EXPECT_TRUE(packed_from_table(keys).graph.own_keys.empty());
}

// A packed graph over source 0 written with one text per op name.
PackedGraph packed(const std::vector<std::pair<std::string, std::vector<uint32_t>>>& nodes, std::vector<OwnKey> own) {
    PackedGraph g;
    for (const auto& [text, kids] : nodes) g.add(g.texts.intern(text), !is_op_text(text), kids);
    g.own_keys = std::move(own);
    return g;
}

TEST(OwnKeys, CseKeepsTheKeyOfTheNodeItKeeps) {
    // 2 repeats 1 and goes with it; 3 reads it and moves down to 2.
    PackedGraph g = packed({{"src|x", {}}, {"red|r", {0}}, {"red|r", {0}}, {"red|r", {2}}, {"src|y", {}}},
                           {{1, 7}, {2, 8}, {3, 9}});
    g.outputs = {3, 4};
    cse_packed(g);
    EXPECT_EQ(g.size(), 4u);
    EXPECT_EQ(g.own_keys, (std::vector<OwnKey>{{1, 7}, {2, 9}}));
    EXPECT_EQ(g.outputs, (std::vector<uint64_t>{2, 3}));
}

class OwnKeysThroughSaturation : public ::testing::TestWithParam<SaturationEngine::Method> {};

TEST_P(OwnKeysThroughSaturation, EachClassKeepsTheKeyOfItsFirstNode) {
    const SaturationEngine engine(GetParam());
    // add(x, y) and its mirror are one class, and so are the reductions
    // over them: the first of each stays, with its key; the other's goes.
    PackedGraph g = packed({{"src|x", {}},
                            {"src|y", {}},
                            {"op|add", {0, 1}},
                            {"op|add", {1, 0}},
                            {"red|r", {3}},
                            {"red|r", {2}},
                            {"red|r", {1}}},
                           {{4, 10}, {5, 11}, {6, 12}});
    g.outputs = {5, 4, 6};
    const PackedGraph out = engine.canonicalize_packed(g);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out.outputs, (std::vector<uint64_t>{3, 3, 4}));
    EXPECT_EQ(out.own_keys, (std::vector<OwnKey>{{3, 10}, {4, 12}}));
    // Nothing to merge: every node, and so every key, stays where it was.
    PackedGraph plain = packed({{"src|x", {}}, {"red|r", {0}}, {"red|r", {1}}}, {{1, 3}, {2, 4}});
    plain.outputs = {2};
    EXPECT_EQ(engine.canonicalize_packed(plain).own_keys, plain.own_keys);
}

INSTANTIATE_TEST_SUITE_P(OwnKeys, OwnKeysThroughSaturation,
                         ::testing::Values(SaturationEngine::Method::Replay, SaturationEngine::Method::EGraph),
                         [](const auto& info) { return info.index == 0 ? "Replay" : "EGraph"; });

// Random graphs whose opaque nodes hold NaNs of a few payloads, over
// commutative pairs, identity ops and ops with NaN parameters of their own,
// so that the engine merges some of them.
std::unique_ptr<GraphStore> random_nan_store(std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return static_cast<NodeId>(rng() % n); };
    const uint64_t payloads[] = {N1, N2, N3, N4};
    auto payload = [&] { return payloads[pick(4)]; };
    auto store = std::make_unique<GraphStore>();
    EXPECT_TRUE(store->intern(src("x")).ok());
    EXPECT_TRUE(store->intern(src("y")).ok());
    for (std::size_t draws = 5 + pick(40); draws-- > 0;) {
        auto in = [&] { return pick(store->node_count()); };
        std::optional<NodeKey> key;
        switch (pick(9)) {
            case 0:
            case 1: key = r(payload(), in()); break;
            case 2: key = NodeKey::exchange(nan_params(payload()), {in()}); break;
            case 3: key = ext(pick(2) ? std::optional<std::string>("-") : std::nullopt, payload(), in()); break;
            case 4: key = NodeKey::op("add", identity_params(), {in()}); break;
            case 5: key = NodeKey::op("scale", nan_params(payload()), {in()}); break;
            case 6: key = op("neg", {in()}); break;
            default: key = op(pick(2) ? "add" : "mul", {in(), in()}); break;
        }
        EXPECT_TRUE(store->intern(*key).ok());
    }
    return store;
}

// Every node of `reduced` with NaN bits holds those of the lowest recorded
// node of its kind and value (see evaluate): the one that represents the
// class it stands for. A store's reduction drops unreachable nodes first;
// the incremental reducer merges as it steps, before it knows what the
// outputs reach, so there the lowest of all recorded nodes represents it.
void expect_representatives_bits(const Snapshot& recorded, const std::vector<NodeId>& outputs, bool among_all,
                                 const Snapshot& reduced) {
    const std::vector<uint64_t> value = evaluate(recorded.nodes);
    std::vector<char> reach(recorded.nodes.size(), among_all ? 1 : 0);
    for (NodeId o : outputs) reach[o] = 1;
    for (std::size_t i = recorded.nodes.size(); i-- > 0;)
        if (reach[i])
            for (NodeId in : recorded.nodes[i].inputs()) reach[in] = 1;
    const std::vector<uint64_t> reduced_value = evaluate(reduced.nodes);
    for (std::size_t b = 0; b < reduced.nodes.size(); ++b) {
        const NodeKey& node = reduced.nodes[b];
        const std::optional<uint64_t> bits = nan_bits(node.params());
        if (!bits) continue;
        std::size_t i = 0;
        while (i < recorded.nodes.size() && !(reach[i] && recorded.nodes[i].kind() == node.kind() &&
                                               value[i] == reduced_value[b]))
            ++i;
        ASSERT_LT(i, recorded.nodes.size()) << "reduced node " << b << " stands for no recorded node";
        EXPECT_EQ(*bits, nan_bits(recorded.nodes[i].params())) << "reduced node " << b << ", recorded node " << i;
    }
}

struct ReductionPath {
    const char* name;
    bool among_all;
    std::function<ReducedStore(const GraphStore&, const std::vector<NodeId>&, bool)> reduce;
};

std::vector<ReductionPath> reduction_paths() {
    static const SaturationEngine replay(SaturationEngine::Method::Replay);
    static const SaturationEngine egraph(SaturationEngine::Method::EGraph);
    auto reducer_of = [](const GraphStore& store) {
        IncrementalReducer reducer;
        EXPECT_TRUE(reducer.step(store.delta_from(0)).ok());
        return reducer;
    };
    return {
        {"store", false, [](const GraphStore& s, const auto& outs, bool maximal) {
             return reduce_with_outputs(s, outs, replay, maximal).value();
         }},
        {"store through the e-graph", false, [](const GraphStore& s, const auto& outs, bool maximal) {
             return reduce_with_outputs(s, outs, egraph, maximal).value();
         }},
        {"keys", false, [](const GraphStore& s, const auto& outs, bool maximal) {
             return from_reduced(reduce_with_mode(snapshot(s).nodes, outs, replay, maximal));
         }},
        {"reducer", true, [reducer_of](const GraphStore& s, const auto& outs, bool maximal) {
             return reducer_of(s).finalize_store(outs, replay, maximal).value();
         }},
        {"reducer keys", true, [reducer_of](const GraphStore& s, const auto& outs, bool maximal) {
             return from_reduced(reducer_of(s).finalize(outs, replay, maximal).value());
         }},
    };
}

// The same store with every NaN the canonical one: the same keys, and ids.
std::unique_ptr<GraphStore> with_canonical_nans(const Snapshot& snap) {
    auto store = std::make_unique<GraphStore>();
    for (const NodeKey& key : snap.nodes) {
        std::vector<ParamMap::Entry> entries;
        for (const auto& [name, value] : key.params()) {
            const bool is_float = value.tag() == ParamValue::Tag::Float;
            entries.emplace_back(name, is_float ? ParamValue::Float(std::bit_cast<double>(canonical_float_bits(value.as_float())))
                                                : value);
        }
        ParamMap params = ParamMap::make(std::move(entries));
        switch (key.kind()) {
            case NodeKind::Op: EXPECT_TRUE(store->intern(NodeKey::op(key.name(), params, key.inputs())).ok()); break;
            case NodeKind::Reduction:
                EXPECT_TRUE(store->intern(NodeKey::reduction(key.name(), params, key.inputs())).ok());
                break;
            case NodeKind::Exchange: EXPECT_TRUE(store->intern(NodeKey::exchange(params, key.inputs())).ok()); break;
            case NodeKind::External:
                EXPECT_TRUE(store->intern(NodeKey::external(key.descriptor(), params, key.inputs())).ok());
                break;
            default: EXPECT_TRUE(store->intern(key).ok()); break;
        }
    }
    EXPECT_EQ(store->node_count(), snap.nodes.size());
    return store;
}

// Each path, under both fusion rules, and again on its own result.
TEST(OwnKeys, ReducedNodesHoldTheBitsOfTheNodesTheyStandFor) {
    std::mt19937_64 rng(20250611);
    const std::vector<ReductionPath> paths = reduction_paths();
    for (int round = 0; round < 150; ++round) {
        auto store = random_nan_store(rng);
        const Snapshot recorded = snapshot(*store);
        std::vector<NodeId> outputs;
        for (std::size_t k = 1 + rng() % 4; k-- > 0;) outputs.push_back(rng() % recorded.nodes.size());
        outputs.push_back(recorded.nodes.size() - 1);
        auto canonical = with_canonical_nans(recorded);
        for (const ReductionPath& path : paths) {
            for (bool maximal : {false, true}) {
                SCOPED_TRACE("round " + std::to_string(round) + ", " + path.name +
                             (maximal ? ", maximal" : ", single-use"));
                const ReducedStore once = path.reduce(*store, outputs, maximal);
                const Snapshot got = snapshot(*once.store);
                expect_representatives_bits(recorded, outputs, path.among_all, got);
                // Bits aside, the reduction is that of the canonical graph.
                const ReducedStore plain = path.reduce(*canonical, outputs, maximal);
                EXPECT_EQ(once.report, plain.report);
                const Snapshot want = snapshot(*plain.store);
                EXPECT_EQ(got.nodes, want.nodes);
                EXPECT_EQ(got.outputs, want.outputs);
                const ReducedStore twice = path.reduce(*once.store, got.outputs, maximal);
                expect_representatives_bits(recorded, outputs, path.among_all, snapshot(*twice.store));
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

}  // namespace
}  // namespace dagloom
