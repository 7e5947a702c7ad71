#include <gtest/gtest.h>

#include <limits>

#include "optimizer/engine_graph.h"
#include "optimizer_testing.h"

namespace dagloom {
namespace {

using namespace dagloom::testing;

struct KindCase {
    std::string name;
    NodeKey key;
    std::string op;
    bool opaque;
};
void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class EngineGraphKinds : public ::testing::TestWithParam<KindCase> {};

// Each key sits behind two sources so its inputs are valid positions.
TEST_P(EngineGraphKinds, NodeCarriesTokenInputsAndFlag) {
    const KindCase& c = GetParam();
    EngineGraph g = to_engine_graph({src("a"), src("b"), c.key}, {2, 2});
    ASSERT_EQ(g.nodes.size(), 3u);
    EXPECT_EQ(g.nodes[2].op, c.op);
    EXPECT_EQ(g.nodes[2].children, c.key.inputs());
    EXPECT_EQ(g.nodes[2].opaque, c.opaque);
    EXPECT_EQ(g.nodes[2].opaque, !is_op_text(g.nodes[2].op));
    EXPECT_EQ(g.outputs, (std::vector<uint64_t>{2, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    EngineGraph, EngineGraphKinds,
    ::testing::Values(
        KindCase{"Source", src("x"), "src|x", true},
        KindCase{"OpTwiceOverOneInput", op("add", {0, 0}), "op|add", false},
        KindCase{"OpWithParams", NodeKey::op("add", identity_params(), {1}), identity_token(), false},
        KindCase{"Stage",
                 NodeKey::stage({1, 0}, {{"op|neg", {In(0)}}, {"op|exp", {Mem(0)}}, {"op|add", {Mem(1), In(1)}}}),
                 "stage|3", true},
        KindCase{"Reduction", red("sum", {1}), "red|sum", true},
        KindCase{"External", NodeKey::external(descriptor("k", "h", std::nullopt), {}, {0}), "ext|k|h|fw|1|schema|-",
                 true},
        KindCase{"Exchange", NodeKey::exchange({}, {0}), "exch", true}),
    [](const auto& info) { return info.param.name; });

TEST(EngineGraph, EmptyList) {
    EXPECT_EQ(to_engine_graph({}, {}), EngineGraph{});
    EXPECT_TRUE(build_token_table({}).empty());
    EngineInput in = to_distinct_engine_graph({}, {});
    EXPECT_EQ(in.graph, EngineGraph{});
    EXPECT_TRUE(in.rebuild.empty());
}

TEST(EngineGraph, IsOpTextNeedsTheFullPrefix) {
    EXPECT_TRUE(is_op_text("op|"));
    EXPECT_TRUE(is_op_text("op|add"));
    EXPECT_FALSE(is_op_text("op"));
    EXPECT_FALSE(is_op_text(""));
    EXPECT_FALSE(is_op_text("opx|add"));
    EXPECT_FALSE(is_op_text("red|op|"));
}

TEST(EngineGraph, SharedTokenKeepsBothNodesButTableHoldsTheFirst) {
    std::vector<NodeKey> keys{src("a"), src("b"), red("sum", {0}), red("sum", {1})};
    EngineGraph g = to_engine_graph(keys, {3});
    EXPECT_EQ(g.nodes[2].op, g.nodes[3].op);
    EXPECT_EQ(g.nodes[3].children, std::vector<uint64_t>{1});
    TokenTable t = build_token_table(keys);
    EXPECT_EQ(t.size(), 3u);
    EXPECT_TRUE(t.at("red|sum") == keys[2]);
}

// Without clashing tokens, reduction hands the engine exactly the plain
// engine graph and rebuilds from exactly the plain token table.
TEST(EngineGraph, DistinctFormEqualsPlainFormWithoutClashes) {
    std::vector<NodeKey> keys{src("a"),
                              src("b"),
                              op("add", {0, 1}),
                              op("add", {1, 0}),
                              red("sum", {2}),
                              red("sum", {3}),
                              NodeKey::stage({2}, {{"op|neg", {In(0)}}}),
                              NodeKey::stage({3}, {{"op|neg", {In(0)}}}),
                              NodeKey::external(descriptor("k", "h", "p"), {}, {4})};
    EngineInput in = to_distinct_engine_graph(keys, {8, 7, 7});
    EXPECT_EQ(in.graph, to_engine_graph(keys, {8, 7, 7}));
    TokenTable plain = build_token_table(keys);
    std::erase_if(plain, [](const auto& e) { return is_op_text(e.first); });
    EXPECT_EQ(in.rebuild.size(), plain.size());
    for (const auto& [text, key] : plain) EXPECT_TRUE(in.rebuild.at(text) == key) << text;
}

// Tokens are remembered per key apart from its inputs; keys that differ
// only in a parameter's type, sign, NaN payload or name bytes must still get
// their own tokens, and so must every key once too many distinct ones are seen.
TEST(EngineGraph, EveryNodeCarriesItsKeysToken) {
    auto with = [](const char* name, ParamValue v) { return ParamMap::make({{name, std::move(v)}}); };
    std::vector<NodeKey> keys{src("a"), src("a|b"), NodeKey::source("a", with("k", ParamValue::Int(1)))};
    const std::vector<ParamMap> params{{},
                                       with("k", ParamValue::Int(1)),
                                       with("k", ParamValue::Float(1.0)),
                                       with("k", ParamValue::Bool(true)),
                                       with("k", ParamValue::Str("1")),
                                       with("k", ParamValue::Float(0.0)),
                                       with("k", ParamValue::Float(-0.0)),
                                       with("k", ParamValue::Float(std::numeric_limits<double>::quiet_NaN())),
                                       with("k", ParamValue::Float(-std::numeric_limits<double>::quiet_NaN())),
                                       with("j", ParamValue::Int(1)),
                                       identity_params()};
    for (int round = 0; round < 2; ++round)
        for (const ParamMap& p : params)
            for (const char* name : {"add", "ad", "add=", "mul"}) {
                keys.push_back(NodeKey::op(name, p, {0}));
                keys.push_back(NodeKey::reduction(name, p, {keys.size() - 1}));
                keys.push_back(NodeKey::exchange(p, {keys.size() - 1}));
            }
    for (int i = 0; i < 70000; ++i) keys.push_back(src("s" + std::to_string(i % 69000)));
    const EngineInput in = to_distinct_engine_graph(keys, {});
    ASSERT_EQ(in.graph.nodes.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(in.graph.nodes[i].op, keys[i].token()) << i;
    EXPECT_EQ(in.graph, to_engine_graph(keys, {}));
}

struct ClashCase {
    std::string name;
    NodeKey first, second;
};
void PrintTo(const ClashCase& c, std::ostream* os) { *os << c.name; }

class EngineGraphClashes : public ::testing::TestWithParam<ClashCase> {};

// Two opaque keys with one token get different op texts, each rebuilt from
// itself; a third key equal to the second apart from inputs shares its text.
TEST_P(EngineGraphClashes, KeysWithOneTokenGetTheirOwnText) {
    const ClashCase& c = GetParam();
    ASSERT_EQ(c.first.token(), c.second.token());
    ASSERT_FALSE(c.first == c.second);
    NodeKey again = c.second.with_inputs({1});
    std::vector<NodeKey> keys{src("a"), src("b"), c.first, c.second, again};
    EngineInput in = to_distinct_engine_graph(keys, {4});
    const auto& n = in.graph.nodes;
    EXPECT_EQ(n[2].op, c.first.token());
    EXPECT_NE(n[3].op, n[2].op);
    EXPECT_EQ(n[3].op.rfind(c.first.token(), 0), 0u);
    EXPECT_EQ(n[4].op, n[3].op);
    for (std::size_t i = 2; i < 5; ++i) {
        EXPECT_TRUE(n[i].opaque);
        EXPECT_FALSE(is_op_text(n[i].op));
        EXPECT_EQ(n[i].children, keys[i].inputs());
        EXPECT_TRUE(same_apart_from_inputs(in.rebuild.at(n[i].op), view_of(keys[i])));
    }
}

INSTANTIATE_TEST_SUITE_P(
    EngineGraph, EngineGraphClashes,
    ::testing::Values(
        ClashCase{"StagesWithEqualMemberCount", NodeKey::stage({0}, {{"op|neg", {In(0)}}}),
                  NodeKey::stage({0}, {{"op|exp", {In(0)}}})},
        ClashCase{"ExternalAbsentVersusDash", NodeKey::external(descriptor("k", "h", std::nullopt), {}, {0}),
                  NodeKey::external(descriptor("k", "h", "-"), {}, {0})},
        ClashCase{"ExternalFieldsShiftedAcrossBar", NodeKey::external(descriptor("a|b", "c", "p"), {}, {0}),
                  NodeKey::external(descriptor("a", "b|c", "p"), {}, {0})}),
    [](const auto& info) { return info.param.name; });

// A variant text must not take a text that a later node carries as its
// real token, whatever bytes descriptor fields hold.
TEST(EngineGraph, VariantTextAvoidsLaterRealToken) {
    NodeKey absent = NodeKey::external(descriptor("k", "h", std::nullopt), {}, {0});
    NodeKey dash = NodeKey::external(descriptor("k", "h", "-"), {}, {0});
    std::string planted = std::string("-") + kVariantMark + "0";
    NodeKey sneaky = NodeKey::external(descriptor("k", "h", planted), {}, {0});
    std::vector<NodeKey> keys{src("a"), absent, dash, sneaky};
    EngineInput in = to_distinct_engine_graph(keys, {});
    const auto& n = in.graph.nodes;
    EXPECT_EQ(n[3].op, sneaky.token());
    EXPECT_NE(n[2].op, n[3].op);
    EXPECT_NE(n[2].op, n[1].op);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_TRUE(in.rebuild.at(n[i].op) == keys[i]);
}

}  // namespace
}  // namespace dagloom
