#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "optimizer/stage_fusion.h"
#include "optimizer_testing.h"
#include "util/internal_error.h"

namespace dagloom {
namespace {

using namespace dagloom::testing;

// Engine graphs are written with short op names: "s"/"t" are sources,
// "r" a reduction (all opaque), anything else an operation "op|<name>".
EngineNode node(const std::string& name, std::vector<uint64_t> children) {
    if (name == "s" || name == "t") return {"src|" + name, std::move(children), true};
    if (name == "r") return {"red|sum", std::move(children), true};
    return {"op|" + name, std::move(children), false};
}

TokenTable table() {
    TokenTable t;
    t.emplace("src|s", src("s"));
    t.emplace("src|t", src("t"));
    t.emplace("red|sum", red("sum", {0}));  // inputs are replaced on rebuild
    return t;
}

NodeKey stage(std::vector<NodeId> inputs, std::vector<std::pair<std::string, std::vector<StageRef>>> members) {
    std::vector<StageOp> ops;
    for (auto& [name, refs] : members) ops.push_back({"op|" + name, StageInputs(std::span<const StageRef>(refs))});
    return NodeKey::stage(std::move(inputs), std::move(ops));
}

struct FusionCase {
    std::string name;
    std::vector<EngineNode> nodes;
    std::vector<uint64_t> outputs;
    std::vector<NodeKey> single_use;  // expected reduced list and outputs
    std::vector<uint64_t> single_use_outputs;
    std::vector<NodeKey> maximal = {};  // empty: as under the single-use rule
    std::vector<uint64_t> maximal_outputs = {};
};
void PrintTo(const FusionCase& c, std::ostream* os) { *os << c.name; }

class StageFusionCases : public ::testing::TestWithParam<FusionCase> {
protected:
    static void expect(const FusionCase& c, bool maximal) {
        const bool same = c.maximal.empty();
        const auto& want = maximal && !same ? c.maximal : c.single_use;
        FusionResult got = stage_fusion(EngineGraph{c.nodes, c.outputs}, c.outputs, table(), maximal);
        ASSERT_EQ(got.nodes.size(), want.size());
        std::size_t stages = 0;
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_TRUE(got.nodes[i] == want[i]) << "node " << i << ": " << got.nodes[i].token();
            stages += want[i].kind() == NodeKind::Stage;
        }
        EXPECT_EQ(got.outputs, maximal && !same ? c.maximal_outputs : c.single_use_outputs);
        EXPECT_EQ(got.stages, stages);
        EXPECT_EQ(got.boundary_nodes, want.size() - stages);
    }
};

TEST_P(StageFusionCases, SingleUseRule) { expect(GetParam(), false); }
TEST_P(StageFusionCases, MaximalRule) { expect(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(
    StageFusion, StageFusionCases,
    ::testing::Values(
        FusionCase{"Chain",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("c", {2})},
                   {3},
                   {src("s"), stage({0}, {{"a", {In(0)}}, {"b", {Mem(0)}}, {"c", {Mem(1)}}})},
                   {1}},
        FusionCase{"FanOut",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("c", {1}), node("d", {2, 3})},
                   {4},
                   {src("s"), stage({0}, {{"a", {In(0)}}}),
                    stage({1}, {{"b", {In(0)}}, {"c", {In(0)}}, {"d", {Mem(0), Mem(1)}}})},
                   {2},
                   {src("s"), stage({0}, {{"a", {In(0)}}, {"b", {Mem(0)}}, {"c", {Mem(0)}}, {"d", {Mem(1), Mem(2)}}})},
                   {1}},
        FusionCase{"UserTakesNodeTwice",
                   {node("s", {}), node("x", {0}), node("y", {1, 1})},
                   {2},
                   {src("s"), stage({0}, {{"x", {In(0)}}}), stage({1}, {{"y", {In(0), In(0)}}})},
                   {2},
                   {src("s"), stage({0}, {{"x", {In(0)}}, {"y", {Mem(0), Mem(0)}}})},
                   {1}},
        FusionCase{"OutputInsideChain",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("c", {2})},
                   {2, 3},
                   {src("s"), stage({0}, {{"a", {In(0)}}, {"b", {Mem(0)}}}), stage({1}, {{"c", {In(0)}}})},
                   {1, 2}},
        FusionCase{"FanOutIntoDifferentGroups",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("c", {1})},
                   {2, 3, 3},
                   {src("s"), stage({0}, {{"a", {In(0)}}}), stage({1}, {{"b", {In(0)}}}), stage({1}, {{"c", {In(0)}}})},
                   {2, 3, 3}},
        FusionCase{"FanOutWithOpaqueUser",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("r", {1, 2})},
                   {3},
                   {src("s"), stage({0}, {{"a", {In(0)}}}), stage({1}, {{"b", {In(0)}}}), red("sum", {1, 2})},
                   {3}},
        FusionCase{"OnlyUserIsReduction",
                   {node("s", {}), node("a", {0}), node("b", {1}), node("r", {2})},
                   {3},
                   {src("s"), stage({0}, {{"a", {In(0)}}, {"b", {Mem(0)}}}), red("sum", {1})},
                   {2}},
        FusionCase{"LoneOutputOp",
                   {node("s", {}), node("t", {}), node("a", {1, 0})},
                   {2},
                   {src("s"), src("t"), stage({1, 0}, {{"a", {In(0), In(1)}}})},
                   {2}},
        FusionCase{"MembersShareInputs",
                   {node("s", {}), node("t", {}), node("a", {0, 1}), node("b", {2, 1, 0})},
                   {3},
                   {src("s"), src("t"), stage({0, 1}, {{"a", {In(0), In(1)}}, {"b", {Mem(0), In(1), In(0)}}})},
                   {2}},
        // {b, c} has the higher label but the lower highest member, so it is
        // emitted first; d then reads it as an input.
        FusionCase{"GroupsOrderedByHighestMember",
                   {node("s", {}), node("a", {0}), node("b", {0}), node("c", {2}), node("d", {1, 3})},
                   {3, 4},
                   {src("s"), stage({0}, {{"b", {In(0)}}, {"c", {Mem(0)}}}),
                    stage({0, 1}, {{"a", {In(0)}}, {"d", {Mem(0), In(1)}}})},
                   {1, 2}},
        // An operation above an opaque node starts a new stage that reads it.
        FusionCase{"OpaqueBetweenChains",
                   {node("s", {}), node("a", {0}), node("r", {1}), node("b", {2}), node("c", {3, 0})},
                   {4},
                   {src("s"), stage({0}, {{"a", {In(0)}}}), red("sum", {1}),
                    stage({2, 0}, {{"b", {In(0)}}, {"c", {Mem(0), In(1)}}})},
                   {3}}),
    [](const auto& info) { return info.param.name; });

// Under the maximal rule a node joins only when every user already shares
// one group; the descending walk must see the users' final labels.
TEST(StageFusion, MaximalRuleFusesNestedFanOut) {
    // a feeds b and c; b and c both feed d; d feeds e twice.
    EngineGraph g{{node("s", {}), node("a", {0}), node("b", {1}), node("c", {1}), node("d", {2, 3}), node("e", {4, 4})},
                  {5}};
    FusionResult single = stage_fusion(g, g.outputs, table(), false);
    FusionResult maximal = stage_fusion(g, g.outputs, table(), true);
    EXPECT_EQ(single.stages, 3u);  // {a}, {b, c, d}, {e}
    ASSERT_EQ(maximal.nodes.size(), 2u);
    EXPECT_TRUE(maximal.nodes[1] == stage({0}, {{"a", {In(0)}},
                                                 {"b", {Mem(0)}},
                                                 {"c", {Mem(0)}},
                                                 {"d", {Mem(1), Mem(2)}},
                                                 {"e", {Mem(3), Mem(3)}}}));
}

// A long single-use chain collapses into one stage through many links.
TEST(StageFusion, LongChainIsOneStage) {
    EngineGraph g;
    g.nodes.push_back(node("s", {}));
    for (uint64_t i = 1; i <= 5000; ++i) g.nodes.push_back(node(i % 2 ? "neg" : "exp", {i - 1}));
    g.outputs = {5000};
    for (bool maximal : {false, true}) {
        FusionResult r = stage_fusion(g, g.outputs, table(), maximal);
        ASSERT_EQ(r.nodes.size(), 2u);
        ASSERT_EQ(r.nodes[1].members().size(), 5000u);
        EXPECT_EQ(r.nodes[1].members()[4999].inputs, StageInputs{Mem(4998)});
        EXPECT_EQ(r.outputs, std::vector<uint64_t>{1});
    }
}

// Uses of each reduced node, one per reading slot: an opaque node's inputs,
// and a stage's member references to its inputs.
std::vector<std::vector<std::size_t>> reduced_users(const std::vector<NodeKey>& nodes) {
    std::vector<std::vector<std::size_t>> users(nodes.size());
    for (std::size_t p = 0; p < nodes.size(); ++p) {
        if (nodes[p].kind() != NodeKind::Stage) {
            for (NodeId in : nodes[p].inputs()) users[in].push_back(p);
            continue;
        }
        for (const StageOp& m : nodes[p].members())
            for (StageRef r : m.inputs)
                if (r.tag == StageRef::Tag::Input) users[nodes[p].inputs()[r.index]].push_back(p);
    }
    return users;
}

// The sizes of the single-use groups, ascending, worked out naively: an
// operation that is no output and is read once, by an operation, shares
// that operation's group.
std::vector<std::size_t> single_use_group_sizes(const EngineGraph& g) {
    const std::size_t n = g.nodes.size();
    std::vector<std::vector<std::size_t>> users(n);
    for (std::size_t u = 0; u < n; ++u)
        for (uint64_t c : g.nodes[u].children) users[c].push_back(u);
    std::vector<std::size_t> group(n);
    for (std::size_t i = 0; i < n; ++i) group[i] = i;
    auto root = [&](std::size_t x) {
        while (group[x] != x) x = group[x];
        return x;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const bool output = std::find(g.outputs.begin(), g.outputs.end(), i) != g.outputs.end();
        if (g.nodes[i].opaque || output || users[i].size() != 1 || g.nodes[users[i][0]].opaque) continue;
        group[root(i)] = root(users[i][0]);
    }
    std::vector<std::size_t> size(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (!g.nodes[i].opaque) ++size[root(i)];
    std::vector<std::size_t> sizes;
    for (std::size_t s : size)
        if (s != 0) sizes.push_back(s);
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

// On random graphs the single-use groups are exactly what the rule joins:
// inside a stage every member but the last is read once, by a later member;
// and no stage that is no output is read once, by another stage, since it
// would then have joined that stage.
TEST(StageFusion, SingleUseGroupsAreClosedAndMaximal) {
    std::mt19937_64 rng(20251208);
    const char* ops[] = {"neg", "exp", "add"};
    for (int round = 0; round < 300; ++round) {
        EngineGraph g;
        const std::size_t n = 2 + rng() % 60;
        g.nodes.push_back(node("s", {}));
        for (uint64_t i = 1; i < n; ++i) {
            const uint64_t a = rng() % i;
            const uint64_t b = i - 1 - rng() % std::min<uint64_t>(i, 3);
            const uint64_t pick = rng() % 8;
            if (pick == 0) g.nodes.push_back(node("t", {}));
            else if (pick == 1) g.nodes.push_back(node("r", {a}));
            else if (pick < 5) g.nodes.push_back(node(ops[pick % 2], {b}));
            else g.nodes.push_back(node(ops[2], {a, b}));
        }
        for (std::size_t k = 1 + rng() % 3; k-- > 0;) g.outputs.push_back(rng() % n);
        SCOPED_TRACE("round " + std::to_string(round));
        FusionResult r = stage_fusion(g, g.outputs, table(), false);
        const auto users = reduced_users(r.nodes);
        std::vector<bool> is_output(r.nodes.size(), false);
        for (uint64_t o : r.outputs) is_output[o] = true;
        std::size_t members = 0;
        for (std::size_t p = 0; p < r.nodes.size(); ++p) {
            if (r.nodes[p].kind() != NodeKind::Stage) continue;
            const auto& ms = r.nodes[p].members();
            members += ms.size();
            std::vector<int> reads(ms.size(), 0);
            for (const StageOp& m : ms)
                for (StageRef ref : m.inputs)
                    if (ref.tag == StageRef::Tag::Member) ++reads[ref.index];
            for (std::size_t m = 0; m + 1 < ms.size(); ++m) EXPECT_EQ(reads[m], 1) << "stage " << p << " member " << m;
            EXPECT_EQ(reads.back(), 0);
            const bool joins_its_user = users[p].size() == 1 && r.nodes[users[p][0]].kind() == NodeKind::Stage;
            EXPECT_FALSE(!is_output[p] && joins_its_user) << "stage " << p << " should have joined its user";
        }
        // Every operation is a member of exactly one stage, grouped as the
        // rule says.
        std::size_t op_nodes = 0;
        for (const EngineNode& e : g.nodes) op_nodes += !e.opaque;
        EXPECT_EQ(members, op_nodes);
        std::vector<std::size_t> sizes;
        for (const NodeKey& k : r.nodes)
            if (k.kind() == NodeKind::Stage) sizes.push_back(k.members().size());
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, single_use_group_sizes(g));
        if (::testing::Test::HasFailure()) return;
    }
}

TEST(StageFusion, EmptyGraph) {
    FusionResult r = stage_fusion(EngineGraph{}, {}, TokenTable{}, false);
    EXPECT_TRUE(r.nodes.empty());
    EXPECT_EQ(r.stages + r.boundary_nodes, 0u);
}

TEST(StageFusion, OpaqueNodeWithoutTableEntryIsFatal) {
    EngineGraph g{{node("s", {}), {"red|mean", {0}, true}}, {1}};
    try {
        (void)stage_fusion(g, g.outputs, table(), false);
        FAIL() << "expected an internal error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "no entry found for key");
    }
}

TEST(StageFusion, PositionsOutOfRangeAreFatal) {
    EngineGraph child_out{{node("s", {}), node("a", {7})}, {1}};
    EXPECT_THROW((void)stage_fusion(child_out, child_out.outputs, table(), false), InternalError);
    EngineGraph ok{{node("s", {})}, {0}};
    EXPECT_THROW((void)stage_fusion(ok, {1}, table(), true), InternalError);
}

}  // namespace
}  // namespace dagloom
