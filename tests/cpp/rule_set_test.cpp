// The rule table and the three forms derived from it: the saturation
// engine's rewrites, the replay's rules, and the incremental reducer's
// per-node predicates. They must agree rule by rule, or reduction and
// incremental canonicalization would prove different things equal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "egraph/pattern_text.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/rule_set.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/saturation_replay.h"

using namespace dagloom;

namespace {

// The rule set as documented for users of reduction: name, searcher, applier.
const std::vector<std::tuple<std::string, std::string, std::string>> kDocumented = {
    {"commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"},
    {"commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"},
    {"commute-and", "(op|and ?a ?b)", "(op|and ?b ?a)"},
    {"commute-or", "(op|or ?a ?b)", "(op|or ?b ?a)"},
    {"commute-eq", "(op|eq ?a ?b)", "(op|eq ?b ?a)"},
    {"commute-ne", "(op|ne ?a ?b)", "(op|ne ?b ?a)"},
    {"commute-maximum", "(op|maximum ?a ?b)", "(op|maximum ?b ?a)"},
    {"commute-minimum", "(op|minimum ?a ?b)", "(op|minimum ?b ?a)"},
    {"identity-0", "(op|add|scalar=f0000000000000000;side=sr ?x)", "?x"},
    {"identity-1", "(op|add|scalar=f0000000000000000;side=sl ?x)", "?x"},
    {"identity-2", "(op|mul|scalar=f3ff0000000000000;side=sr ?x)", "?x"},
    {"identity-3", "(op|mul|scalar=f3ff0000000000000;side=sl ?x)", "?x"},
};

TEST(RuleTable, IsTheDocumentedRuleSetInOrder) {
    const std::vector<Rule>& rules = rule_table();
    ASSERT_EQ(rules.size(), kDocumented.size());
    for (std::size_t r = 0; r < rules.size(); ++r) {
        const auto& [name, searcher, applier] = kDocumented[r];
        EXPECT_EQ(rules[r].name, name);
        EXPECT_EQ(rules[r].searcher, searcher);
        EXPECT_EQ(rules[r].applier, applier);
        EXPECT_EQ(rules[r].kind, r < 8 ? RuleKind::Commute : RuleKind::Identity);
        // The searcher's operator is the op text the replay looks for.
        EXPECT_EQ(searcher.substr(1, rules[r].op_text.size() + 1), rules[r].op_text + " ");
    }
}

ParamMap params(ParamValue scalar, std::string side) {
    return ParamMap::make({{"scalar", std::move(scalar)}, {"side", ParamValue::Str(std::move(side))}});
}

EngineGraph engine_graph(const std::vector<NodeKey>& keys) {
    EngineGraph g;
    for (const NodeKey& k : keys) g.nodes.push_back(EngineNode{k.token(), k.inputs(), k.kind() != NodeKind::Op});
    for (uint64_t i = 0; i < keys.size(); ++i) g.outputs.push_back(i);
    return g;
}

// How many classes each way of canonicalizing leaves of `keys`: the
// e-graph run, its replay, and the incremental reducer's steps.
struct Classes {
    std::size_t egraph, replay, incremental;
};
Classes classes_of(const std::vector<NodeKey>& keys) {
    const EngineGraph g = engine_graph(keys);
    IncrementalReducer reducer;
    EXPECT_TRUE(reducer.step(keys).ok());
    return {SaturationEngine(SaturationEngine::Method::EGraph).canonicalize(g).nodes.size(),
            SaturationEngine(SaturationEngine::Method::Replay).canonicalize(g).nodes.size(),
            reducer.canonical_count()};
}

class EachRule : public ::testing::TestWithParam<std::size_t> {};

// Every form names, orders and matches each rule as the table does, and
// all three merge exactly what the rule proves equal: a commutative node
// with its mirror (not once it has a parameter), an identity node with its
// operand (not once its scalar changes sign or it gets a second input).
TEST_P(EachRule, DerivedFormsAgree) {
    const std::size_t r = GetParam();
    const Rule& rule = rule_table()[r];
    const SaturationEngine engine;
    ASSERT_EQ(engine.rewrites().size(), rule_table().size());
    EXPECT_EQ(engine.rewrites()[r].name, egraph::GlobalSymbol::from(rule.name));
    EXPECT_EQ(engine.rewrites()[r].searcher->ast(), *egraph::RecExpr::from_str(rule.searcher));
    EXPECT_EQ(engine.rewrites()[r].applier->ast(), *egraph::RecExpr::from_str(rule.applier));
    const std::vector<ReplayRule> replay = replay_rule_set();
    ASSERT_EQ(replay.size(), rule_table().size());
    EXPECT_EQ(replay[r].name, engine.rewrites()[r].name);
    EXPECT_EQ(replay[r].kind, rule.kind);

    std::vector<NodeKey> keys{NodeKey::source("a", {}), NodeKey::source("b", {})};
    std::size_t expected = 0;
    if (rule.kind == RuleKind::Commute) {
        const std::string name = rule.op_text.substr(3);
        const ParamMap k = ParamMap::make({{"k", ParamValue::Int(1)}});
        keys.push_back(NodeKey::op(name, {}, {0, 1}));
        keys.push_back(NodeKey::op(name, {}, {1, 0}));  // merges with the one before
        keys.push_back(NodeKey::op(name, k, {0, 1}));
        keys.push_back(NodeKey::op(name, k, {1, 0}));
        keys.push_back(NodeKey::op(name, {}, {0}));
        keys.push_back(NodeKey::op(name, {}, {1}));
        expected = keys.size() - 1;
        EXPECT_TRUE(is_commutative_op(name));
    } else {
        const IdentityOp& id = kIdentityOps[r - kCommutativeOps.size()];
        const std::string name(id.name);
        const std::string side(id.side);
        ASSERT_EQ(NodeKey::op(name, identity_params(id), {}).token(), rule.op_text);
        keys.push_back(NodeKey::op(name, identity_params(id), {0}));  // stands for a
        keys.push_back(NodeKey::op(name, params(ParamValue::Float(-id.scalar), side), {0}));
        keys.push_back(NodeKey::op(name, identity_params(id), {0, 1}));
        keys.push_back(NodeKey::op(name, {}, {1}));
        expected = keys.size() - 1;
    }
    const PackedGraph packed = to_packed(engine_graph(keys));
    const uint32_t text = packed.texts.find(rule.op_text);
    ASSERT_NE(text, TextTable::kNone);
    EXPECT_EQ(replay_rule_of_text(packed.texts)[text], r);
    const Classes c = classes_of(keys);
    EXPECT_EQ(c.egraph, expected);
    EXPECT_EQ(c.replay, expected);
    EXPECT_EQ(c.incremental, expected);
}

INSTANTIATE_TEST_SUITE_P(RuleTable, EachRule, ::testing::Range<std::size_t>(0, 12),
                         [](const auto& info) {
                             std::string name = rule_table()[info.param].name;
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name;
                         });

// The incremental reducer decides identity on a node's name and parameters,
// the rules on its token: over names and parameter lists near the identity
// ones, the two say the same, and the engine and the reducer collapse the
// same nodes.
TEST(RuleTable, IdentityOnPartsAgreesWithIdentityOnTokens) {
    const std::vector<std::string> names{"add", "mul", "sub", "ad", "add ", "Add"};
    std::vector<ParamMap> lists{ParamMap{}, ParamMap::make({{"scalar", ParamValue::Float(0.0)}}),
                                params(ParamValue::Int(0), "r"), params(ParamValue::Int(1), "l"),
                                params(ParamValue::Str("0"), "r"), params(ParamValue::Float(0.0), "x"),
                                params(ParamValue::Float(0.0), "rl"), params(ParamValue::Float(2.0), "r"),
                                ParamMap::make({{"scalar", ParamValue::Float(1.0)}, {"side", ParamValue::Str("l")},
                                                {"t", ParamValue::Bool(true)}})};
    for (const IdentityOp& id : kIdentityOps) {
        lists.push_back(identity_params(id));
        lists.push_back(params(ParamValue::Float(-id.scalar), std::string(id.side)));
    }
    std::vector<std::string> identity_texts;
    for (const Rule& rule : rule_table())
        if (rule.kind == RuleKind::Identity) identity_texts.push_back(rule.op_text);
    for (const std::string& name : names) {
        for (const ParamMap& p : lists) {
            const std::string token = NodeKey::op(name, p, {}).token();
            const bool by_token = std::find(identity_texts.begin(), identity_texts.end(), token) != identity_texts.end();
            const bool by_parts = (identity_name_mask(name) & identity_params_mask(p)) != 0;
            EXPECT_EQ(by_parts, by_token) << token;
            const Classes c = classes_of({NodeKey::source("x", {}), NodeKey::op(name, p, {0})});
            const std::size_t expected = by_token ? 1 : 2;
            EXPECT_EQ(c.egraph, expected) << token;
            EXPECT_EQ(c.replay, expected) << token;
            EXPECT_EQ(c.incremental, expected) << token;
        }
    }
}

}  // namespace
