// The replayed run against the e-graph run it stands for: same classes, and
// a node bound that is never below the e-graph's real node count.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph.h"
#include "optimizer/pipeline.h"
#include "optimizer/rule_set.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/saturation_replay.h"

using namespace dagloom;

namespace {

// The searchers' operator texts of one kind of rule, in rule order.
std::vector<std::string> searcher_ops(RuleKind kind) {
    std::vector<std::string> ops;
    for (const Rule& rule : rule_table())
        if (rule.kind == kind) ops.push_back(rule.op_text);
    return ops;
}
const std::vector<std::string> kIdentityTexts = searcher_ops(RuleKind::Identity);

// What a recipe draws nodes from: how often each shape comes up.
struct Recipe {
    std::size_t nodes;
    double commutative;  // a commutative op, its mirror often following
    double identity;     // an identity op (sometimes with two inputs)
    std::vector<std::string> commutative_ops;
    double mirrors = 0.5;  // how often a commutative op's mirror follows it
};

EngineGraph random_graph(const Recipe& recipe, uint32_t seed) {
    std::mt19937 rng(seed);
    auto unit = [&] { return std::uniform_real_distribution<double>(0, 1)(rng); };
    auto below = [&](std::size_t k) { return static_cast<uint64_t>(rng() % k); };
    EngineGraph g;
    auto add = [&](std::string op, std::vector<uint64_t> kids) {
        g.nodes.push_back(EngineNode{op, std::move(kids), !is_op_text(op)});
    };
    for (int i = 0; i < 4; ++i) add("src|s" + std::to_string(i), {});
    auto recent = [&] {
        const std::size_t n = g.nodes.size();
        const std::size_t lo = n > 24 ? n - 24 : 0;
        return lo + below(n - lo);
    };
    while (g.nodes.size() < recipe.nodes) {
        const double r = unit();
        const uint64_t a = recent(), b = recent();
        if (r < recipe.commutative) {
            const std::string op = recipe.commutative_ops[below(recipe.commutative_ops.size())];
            const double shape = unit();
            if (shape < 0.08) add(op, {a});
            else if (shape < 0.14) add(op, {a, b, recent()});
            else if (recipe.mirrors == 0.0) add(op, {std::min(a, b), std::max(a, b)});  // no mirror by chance
            else add(op, {a, b});
            if (shape >= 0.14 && unit() < recipe.mirrors) add(op, {b, a});
        } else if (r < recipe.commutative + recipe.identity) {
            const std::string& op = kIdentityTexts[below(kIdentityTexts.size())];
            add(op, unit() < 0.1 ? std::vector<uint64_t>{a, b} : std::vector<uint64_t>{a});
        } else {
            const double k = unit();
            if (k < 0.3) add("op|neg", {g.nodes.size() - 1});
            else if (k < 0.45) add("op|add|k=i1", {a, b});
            else if (k < 0.55) add("op|add|scalar=f8000000000000000;side=sr", {a});
            else if (k < 0.7) add("red|sum", {a});
            else if (k < 0.8) add("stage|2", {a, b});
            // A repeat, merged by hash-consing (not in recipes without
            // mirrors: merging renumbers children and could make some).
            else if (k < 0.9 && recipe.mirrors != 0.0) g.nodes.push_back(g.nodes[a]);
            else add("op|sub", {a, b});
        }
    }
    g.nodes.resize(recipe.nodes);
    for (std::size_t i = 0; i < 6; ++i) g.outputs.push_back(below(g.nodes.size()));
    return g;
}

std::vector<std::string> commutative_ops() { return searcher_ops(RuleKind::Commute); }

// Whether no commutative node with two children has its mirror in g.
bool mirror_free(const PackedGraph& g) {
    const std::vector<std::string> ops = commutative_ops();
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> seen;
    for (std::size_t i = 0; i < g.size(); ++i) {
        const auto kids = g.children_of(i);
        if (kids.size() != 2 || std::find(ops.begin(), ops.end(), g.texts.at(g.op[i])) == ops.end()) continue;
        if (kids[0] != kids[1] && seen.count({g.op[i], kids[1], kids[0]})) return false;
        seen.insert({g.op[i], kids[0], kids[1]});
    }
    return true;
}

std::vector<uint8_t> rule_of_text(const PackedGraph& g) { return replay_rule_of_text(g.texts); }


struct EGraphRun {
    ScratchVector<uint32_t> classes;  // lowest index per class
    std::size_t nodes;
};

EGraphRun run_egraph(const PackedGraph& g, const SaturationEngine& engine) {
    using namespace dagloom::egraph;
    EGraph eg;
    std::vector<Id> ids;
    for (std::size_t i = 0; i < g.size(); ++i) {
        std::vector<Id> kids;
        for (uint32_t c : g.children_of(i)) kids.push_back(ids[c]);
        ids.push_back(eg.add(SymbolLang(GlobalSymbol::from(g.texts.at(g.op[i])), kids)));
    }
    Runner runner;
    runner.set_egraph(std::move(eg))
        .set_iter_limit(engine.iteration_limit())
        .set_node_limit(SaturationEngine::node_limit(g.size()));
    runner.run(engine.rewrites());
    EGraphRun out{ScratchVector<uint32_t>(g.size()), runner.egraph.memo_len()};
    std::vector<uint32_t> first(runner.egraph.id_count(), ~uint32_t{0});
    for (std::size_t i = 0; i < g.size(); ++i) {
        uint32_t& f = first[runner.egraph.find(ids[i])];
        if (f == ~uint32_t{0}) f = static_cast<uint32_t>(i);
        out.classes[i] = f;
    }
    return out;
}

struct Case {
    const char* name;
    Recipe recipe;
    std::vector<std::size_t> iteration_limits;
    uint32_t seeds;
};

class ReplayMatchesEGraph : public ::testing::TestWithParam<Case> {};

TEST_P(ReplayMatchesEGraph, SameClassesAndASoundNodeBound) {
    const Case& c = GetParam();
    std::size_t mirror_free_graphs = 0;
    for (std::size_t limit : c.iteration_limits)
    for (uint32_t seed = 0; seed < c.seeds; ++seed) {
        const SaturationEngine replayed(SaturationEngine::Method::Replay, limit);
        const SaturationEngine reference(SaturationEngine::Method::EGraph, limit);
        const EngineGraph graph = random_graph(c.recipe, seed);
        for (bool distinct : {false, true}) {
            PackedGraph packed = to_packed(graph);
            if (distinct) {  // the form an interned store hands the engine
                cse_packed(packed);
                packed.distinct = true;
            }
            const ReplayResult replay = replay_saturation(packed, rule_of_text(packed), replay_rule_set(),
                                                          limit);
            const EGraphRun real = run_egraph(packed, reference);
            ASSERT_EQ(replay.classes, real.classes) << "seed " << seed << " distinct " << distinct << " limit " << limit;
            // States worked out only where needed: the scheduler decides as
            // it does with every state worked out, and the bound, which then
            // reads merges from the state with every rule applied, only grows.
            const ReplayResult every = replay_saturation(packed, rule_of_text(packed), replay_rule_set(), limit,
                                                         ReplayStates::Every);
            ASSERT_EQ(replay.admitted, every.admitted) << "seed " << seed << " limit " << limit;
            ASSERT_GE(replay.node_bound, every.node_bound) << "seed " << seed << " limit " << limit;
            ASSERT_GE(replay.node_bound, real.nodes) << "seed " << seed << " distinct " << distinct << " limit " << limit;
            ASSERT_EQ(to_engine_graph(replayed.canonicalize_packed(packed)),
                      to_engine_graph(reference.canonicalize_packed(packed)))
                << "seed " << seed;
            if (distinct && mirror_free(packed)) {  // as the incremental reducer's canonical form is
                packed.mirrors_merged = true;
                const ReplayResult told = replay_saturation(packed, rule_of_text(packed), replay_rule_set(),
                                                            limit);
                ASSERT_EQ(told.classes, real.classes) << "seed " << seed << " limit " << limit;
                ASSERT_EQ(told.node_bound, replay.node_bound) << "seed " << seed << " limit " << limit;
                ++mirror_free_graphs;
            }
        }
    }
    // Recipes without mirrors mostly draw mirror-free graphs.
    if (c.recipe.mirrors == 0.0) {
        EXPECT_GT(mirror_free_graphs, 0u);
    }
}

// Small graphs exercise the shapes; graphs with over a thousand matches of a
// rule get it banned and unbanned by the scheduler, and short iteration
// limits stop the run before it saturates.
INSTANTIATE_TEST_SUITE_P(
    Shapes, ReplayMatchesEGraph,
    ::testing::Values(
        Case{"small", {60, 0.35, 0.2, {"op|add", "op|mul", "op|maximum"}}, {12, 1}, 200},
        Case{"identity_heavy", {80, 0.2, 0.5, {"op|add", "op|and"}}, {12}, 150},
        Case{"all_commutative", {70, 0.6, 0.1,
              {"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"}}, {12}, 150},
        Case{"no_iteration", {40, 0.35, 0.25, {"op|add"}}, {0}, 20},
        Case{"banned_commute", {3200, 0.75, 0.05, {"op|add"}}, {12, 3, 2}, 2},
        Case{"commutative_only", {70, 0.6, 0.0, {"op|add", "op|mul", "op|eq"}}, {12, 1}, 100},
        Case{"no_mirrors", {80, 0.5, 0.1, {"op|add", "op|mul"}, 0.0}, {12}, 100},
        Case{"no_mirrors_banned", {3000, 0.8, 0.02, {"op|add"}, 0.0}, {12, 3, 2}, 2},
        Case{"banned_identity", {3200, 0.1, 0.75, {"op|mul"}}, {12, 3, 2}, 2},
        Case{"banned_in_turns", {6000, 0.45, 0.35, {"op|add", "op|mul"}}, {12, 6, 5, 4, 3, 2}, 2},
        Case{"one_of_many_banned", {5000, 0.5, 0.3, {"op|add", "op|add", "op|add", "op|eq"}}, {12, 4, 3, 2}, 2}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Runs both and checks the replay's classes and bound against the e-graph's.
void expect_replay_matches(const EngineGraph& g, std::size_t iteration_limit, std::size_t* real_nodes = nullptr,
                           uint64_t* bound = nullptr) {
    const PackedGraph packed = to_packed(g);
    const SaturationEngine engine(SaturationEngine::Method::EGraph, iteration_limit);
    const ReplayResult replay = replay_saturation(packed, rule_of_text(packed), replay_rule_set(), iteration_limit);
    const EGraphRun real = run_egraph(packed, engine);
    EXPECT_EQ(replay.classes, real.classes);
    EXPECT_GE(replay.node_bound, real.nodes);
    if (real_nodes) *real_nodes = real.nodes;
    if (bound) *bound = replay.node_bound;
}

TEST(SaturationReplay, CountsTheMirrorsCommutativityAdds) {
    // No two nodes merge, so the e-graph ends with each add and its new
    // mirror and nothing else: the bound is exact.
    EngineGraph g;
    for (uint64_t k = 0; k < 10; ++k) g.nodes.push_back(EngineNode{"src|s" + std::to_string(k), {}, true});
    for (uint64_t a = 0; a < 10; ++a)
        for (uint64_t b = a + 1; b < 10; ++b) g.nodes.push_back(EngineNode{"op|add", {a, b}, false});
    g.outputs = {g.nodes.size() - 1};
    std::size_t real = 0;
    uint64_t bound = 0;
    expect_replay_matches(g, 12, &real, &bound);
    EXPECT_EQ(real, 100u);
    EXPECT_EQ(bound, 100u);
}

TEST(SaturationReplay, ARuleThatChangesNothingLetsBannedRulesBeFastForwarded) {
    // identity-0 has too many matches and is banned at iteration 0; add(x, x)
    // is its own mirror, so applying commutativity changes nothing, the
    // run may stop, and the scheduler brings identity-0 forward to the next
    // iteration, before the limit of 3 ends the run.
    EngineGraph g;
    g.nodes.push_back(EngineNode{"src|x", {}, true});
    for (uint64_t k = 0; k < 1500; ++k) g.nodes.push_back(EngineNode{kIdentityTexts[0], {k}, false});
    g.nodes.push_back(EngineNode{"op|add", {0, 0}, false});
    g.outputs = {1500};
    for (std::size_t limit : {2u, 3u}) expect_replay_matches(g, limit);
    const ReplayResult replay = replay_saturation(to_packed(g), rule_of_text(to_packed(g)),
                                                  replay_rule_set(), 3);
    EXPECT_EQ(replay.classes[1500], 0u);  // the tower collapsed onto x
}

TEST(SaturationReplay, FollowsTheScheduleThroughBansAndFastForwards) {
    // Adds without mirrors (each gains one when commutativity is applied,
    // doubling its match count) and identity ops in numbers around the
    // scheduler's thresholds: each limit cuts the run at a different point
    // of its bans, unbans and fast-forwards.
    for (uint64_t adds : {300u, 450u, 520u, 700u})
        for (uint64_t identities : {1100u, 2500u, 4500u, 9000u}) {
            EngineGraph g;
            for (uint64_t k = 0; k < 40; ++k) g.nodes.push_back(EngineNode{"src|s" + std::to_string(k), {}, true});
            for (uint64_t a = 0, made = 0; a < 40 && made < adds; ++a)
                for (uint64_t b = a + 1; b < 40 && made < adds; ++b, ++made)
                    g.nodes.push_back(EngineNode{"op|add", {a, b}, false});
            for (uint64_t k = 0; k < identities; ++k)
                g.nodes.push_back(EngineNode{kIdentityTexts[0], {(k * 7919) % g.nodes.size()}, false});
            g.outputs = {g.nodes.size() - 1};
            PackedGraph packed = to_packed(g);
            cse_packed(packed);  // the form a store hands over: no two nodes equal
            packed.distinct = true;
            for (std::size_t limit = 1; limit <= 12; ++limit) {
                const SaturationEngine engine(SaturationEngine::Method::EGraph, limit);
                const ReplayResult replay =
                    replay_saturation(packed, rule_of_text(packed), replay_rule_set(), limit);
                const EGraphRun real = run_egraph(packed, engine);
                ASSERT_EQ(replay.classes, real.classes) << adds << " adds, " << identities << " identities, limit " << limit;
                ASSERT_GE(replay.node_bound, real.nodes);
                const ReplayResult every = replay_saturation(packed, rule_of_text(packed), replay_rule_set(), limit,
                                                             ReplayStates::Every);
                ASSERT_EQ(replay.admitted, every.admitted) << adds << " adds, " << identities << " identities";
            }
        }
}

TEST(SaturationReplay, ReadsCountsAtTheLimitWithoutMisjudgingThem) {
    // 2100 adds and 2100 identity-1 ops, banned at first; identity-0 makes
    // 100 of each equal to others, so when they are next searched (limit
    // 2000) both count exactly 2000 and are admitted. The state they are
    // read in is not worked out yet: the counts of earlier states bound
    // them from above (2100, over the limit), and those with every rule
    // applied from below (2000 class nodes; adds then count 4000 with their
    // mirrors, which must not be read as the count before commutativity).
    EngineGraph g;
    constexpr uint64_t kSources = 2000, kMerged = 100;
    for (uint64_t k = 0; k < kSources; ++k) g.nodes.push_back(EngineNode{"src|x" + std::to_string(k), {}, true});
    const uint64_t z = g.nodes.size();
    g.nodes.push_back(EngineNode{"src|z", {}, true});
    std::vector<uint64_t> ys;
    for (uint64_t k = 0; k < kMerged; ++k) {
        ys.push_back(g.nodes.size());
        g.nodes.push_back(EngineNode{kIdentityTexts[0], {k}, false});
    }
    auto over_all = [&](auto&& add_one) {
        for (uint64_t k = 0; k < kSources; ++k) add_one(k);
        for (uint64_t y : ys) add_one(y);
    };
    over_all([&](uint64_t c) { g.nodes.push_back(EngineNode{kIdentityTexts[1], {c}, false}); });
    over_all([&](uint64_t c) { g.nodes.push_back(EngineNode{"op|add", {c, z}, false}); });
    g.outputs = {g.nodes.size() - 1};
    PackedGraph packed = to_packed(g);
    packed.distinct = true;
    for (std::size_t limit : {2u, 3u, 12u}) {
        const SaturationEngine engine(SaturationEngine::Method::EGraph, limit);
        const ReplayResult replay = replay_saturation(packed, rule_of_text(packed), replay_rule_set(), limit);
        const ReplayResult every =
            replay_saturation(packed, rule_of_text(packed), replay_rule_set(), limit, ReplayStates::Every);
        ASSERT_EQ(replay.admitted, every.admitted) << "limit " << limit;
        EXPECT_EQ(replay.classes, run_egraph(packed, engine).classes) << "limit " << limit;
    }
}

TEST(SaturationReplay, DeclinesWhereMergesCouldOutgrowTheNodeLimit) {
    // A tower of identity ops over x makes one class of many members with
    // many users, each of which merges may re-key several times: the bound
    // passes the limit, so the engine runs the e-graph, with the same classes.
    EngineGraph g;
    g.nodes.push_back(EngineNode{"src|x", {}, true});
    for (uint64_t k = 0; k < 1024; ++k) g.nodes.push_back(EngineNode{kIdentityTexts[k % 4], {k}, false});
    for (uint64_t k = 0; k < 6000; ++k) g.nodes.push_back(EngineNode{"op|neg", {k % 1025}, false});
    g.outputs = {g.nodes.size() - 1};
    const PackedGraph packed = to_packed(g);
    const SaturationEngine engine;
    const ReplayResult replay = replay_saturation(packed, rule_of_text(packed), replay_rule_set(), 12);
    EXPECT_GT(replay.node_bound, SaturationEngine::node_limit(packed.size()));
    const EGraphRun real = run_egraph(packed, engine);
    EXPECT_EQ(replay.classes, real.classes);
    EXPECT_EQ(to_engine_graph(engine.canonicalize_packed(packed)),
              to_engine_graph(SaturationEngine(SaturationEngine::Method::EGraph).canonicalize_packed(packed)));
}

}  // namespace
