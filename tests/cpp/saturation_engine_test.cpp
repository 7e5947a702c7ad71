#include <gtest/gtest.h>

#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"

using namespace dagloom;

namespace {

EngineNode leaf(const std::string& op) { return EngineNode{op, {}, !is_op_text(op)}; }
EngineNode node(const std::string& op, std::vector<uint64_t> children) {
    return EngineNode{op, std::move(children), !is_op_text(op)};
}

const std::string kAddZeroR = "op|add|scalar=f0000000000000000;side=sr";

}  // namespace

TEST(SaturationEngine, BuildsTwelveRules) {
    SaturationEngine engine;
    EXPECT_EQ(engine.rewrites().size(), 12u);
    EXPECT_EQ(engine.iteration_limit(), 12u);
}

TEST(SaturationEngine, EmptyGraph) {
    EngineGraph out = SaturationEngine().canonicalize(EngineGraph{});
    EXPECT_TRUE(out.nodes.empty());
    EXPECT_TRUE(out.outputs.empty());
}

TEST(SaturationEngine, MirroredAddsMergeIntoTheFirst) {
    // a b . . . add(a,b)@5 . add(b,a)@7 ; users of 7 point at 5.
    EngineGraph g;
    g.nodes = {leaf("src|a"), leaf("src|b"), leaf("src|c"), leaf("src|d"), leaf("src|e"),
               node("op|add", {0, 1}), leaf("src|f"), node("op|add", {1, 0}), node("op|neg", {7})};
    g.outputs = {7, 5, 8};
    EngineGraph out = SaturationEngine().canonicalize(g);
    ASSERT_EQ(out.nodes.size(), 8u);
    EXPECT_EQ(out.nodes[5], node("op|add", {0, 1}));
    EXPECT_EQ(out.nodes[7], node("op|neg", {5}));
    EXPECT_EQ(out.outputs, (std::vector<uint64_t>{5, 5, 7}));
}

TEST(SaturationEngine, IdentityOpsCollapseOnlyInTheirExactForm) {
    EngineGraph g;
    g.nodes = {leaf("src|a"), leaf("src|b"), leaf("src|c"), leaf("src|x"), node(kAddZeroR, {3}), node("op|neg", {4})};
    g.outputs = {4, 5};
    EngineGraph out = SaturationEngine().canonicalize(g);
    ASSERT_EQ(out.nodes.size(), 5u);
    EXPECT_EQ(out.nodes[4], node("op|neg", {3}));
    EXPECT_EQ(out.outputs, (std::vector<uint64_t>{3, 4}));

    for (const std::string& op : {kAddZeroR + ";z=i1", std::string("op|add|scalar=f8000000000000000;side=sr")}) {
        EngineGraph h;
        h.nodes = {leaf("src|x"), node(op, {0})};
        h.outputs = {1};
        EXPECT_EQ(SaturationEngine().canonicalize(h), h) << op;
    }
    EngineGraph two;
    two.nodes = {leaf("src|x"), leaf("src|y"), node(kAddZeroR, {0, 1})};
    two.outputs = {2};
    EXPECT_EQ(SaturationEngine().canonicalize(two), two);
}

TEST(SaturationEngine, ParameterisedMirrorsStayApart) {
    EngineGraph g;
    g.nodes = {leaf("src|a"), leaf("src|b"), node("op|add|k=i1", {0, 1}), node("op|add|k=i1", {1, 0}),
               node("op|sub", {0, 1}), node("op|sub", {1, 0})};
    g.outputs = {2, 3, 4, 5};
    EXPECT_EQ(SaturationEngine().canonicalize(g), g);
}

TEST(SaturationEngine, HashConsingAndCongruence) {
    // Equal op and children merge for any kind; so do users of merged nodes.
    EngineGraph g;
    g.nodes = {leaf("src|a"),           leaf("src|b"),          node("red|sum", {0}),        node("red|sum", {0}),
               node("stage|2", {0, 1}), node("stage|2", {0, 1}), node("op|mul", {0, 1}),       node("op|mul", {1, 0}),
               node("op|exp", {6}),     node("op|exp", {7}),     node(kAddZeroR, {8})};
    g.outputs = {3, 5, 10, 9};
    EngineGraph out = SaturationEngine().canonicalize(g);
    ASSERT_EQ(out.nodes.size(), 6u);
    EXPECT_EQ(out.outputs, (std::vector<uint64_t>{2, 3, 5, 5}));
    EXPECT_TRUE(out.nodes[2].opaque);
    EXPECT_FALSE(out.nodes[4].opaque);
}

TEST(SaturationEngine, LargeCommutativeGraphStaysWithinLimits) {
    // Many mirrored pairs over many leaves: the run may stop at a limit, but
    // the result always meets the engine contract.
    EngineGraph g;
    for (int i = 0; i < 200; ++i) g.nodes.push_back(leaf("src|s" + std::to_string(i)));
    for (uint64_t i = 0; i + 1 < 200; ++i) {
        g.nodes.push_back(node("op|add", {i, i + 1}));
        g.nodes.push_back(node("op|add", {i + 1, i}));
        g.outputs.push_back(g.nodes.size() - 1);
    }
    EngineGraph out = SaturationEngine().canonicalize(g);
    EXPECT_EQ(out.nodes.size(), 200u + 199u);
    for (std::size_t i = 0; i < out.nodes.size(); ++i)
        for (uint64_t c : out.nodes[i].children) EXPECT_LT(c, i);
    ASSERT_EQ(out.outputs.size(), g.outputs.size());
}

TEST(SaturationEngine, RoadOfOneRequestThroughThePipeline) {
    ParamMap identity = ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
    std::vector<NodeKey> nodes = {NodeKey::source("x", {}),         NodeKey::source("y", {}),
                                  NodeKey::op("add", {}, {0, 1}),    NodeKey::op("add", {}, {1, 0}),
                                  NodeKey::op("mul", {}, {2, 3}),    NodeKey::op("add", identity, {4}),
                                  NodeKey::reduction("sum", {}, {5}), NodeKey::op("neg", {}, {0})};
    SaturationEngine engine;
    Reduced single = reduce_with_mode(nodes, {6}, engine, false);
    EXPECT_EQ(single.report, (ReductionReport{8, 7, 5, 2, 5, 3}));
    ASSERT_EQ(single.nodes.size(), 5u);
    EXPECT_EQ(single.nodes[2], NodeKey::stage({0, 1}, {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(1)}}}));
    EXPECT_EQ(single.nodes[3], NodeKey::stage({2}, {StageOp{"op|mul", {StageRef::Input(0), StageRef::Input(0)}}}));
    EXPECT_EQ(single.nodes[4], NodeKey::reduction("sum", {}, {3}));
    EXPECT_EQ(single.outputs, (std::vector<uint64_t>{4}));

    Reduced maximal = reduce_with_mode(nodes, {6}, engine, true);
    EXPECT_EQ(maximal.report, (ReductionReport{8, 7, 5, 1, 4, 3}));
    EXPECT_EQ(maximal.nodes[2],
              NodeKey::stage({0, 1}, {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(1)}},
                                      StageOp{"op|mul", {StageRef::Member(0), StageRef::Member(0)}}}));
}
