// Runner and backoff scheduler.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "util/internal_error.h"

namespace dagloom::egraph {
namespace {

GlobalSymbol sym(const std::string& s) { return GlobalSymbol::from(s); }
Id leaf(EGraph& eg, const std::string& op) { return eg.add(SymbolLang(sym(op))); }
Id node(EGraph& eg, const std::string& op, std::initializer_list<Id> kids) { return eg.add(SymbolLang(sym(op), kids)); }

Pattern pat(const std::string& text) {
    auto ast = RecExpr::from_str(text);
    EXPECT_TRUE(ast.ok()) << text;
    return Pattern::make(std::move(*ast));
}

Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
    auto r = Rewrite::make(name, pat(lhs), pat(rhs));
    EXPECT_TRUE(r.ok());
    return std::move(*r);
}

std::size_t applied(const Iteration& it, const std::string& name) {
    for (const auto& [rule, n] : it.applied)
        if (rule == sym(name)) return n;
    return 0;
}

// 1001 classes f(a_k), matched 1001 times by "(f ?x)".
EGraph thousand_and_one(std::vector<Id>* fs = nullptr) {
    EGraph eg;
    for (int k = 0; k < 1001; ++k) {
        Id a = leaf(eg, "a" + std::to_string(k));
        Id f = node(eg, "f", {a});
        if (fs) fs->push_back(f);
    }
    return eg;
}

TEST(Runner, Defaults) {
    Runner r;
    EXPECT_EQ(r.iter_limit, 30u);
    EXPECT_EQ(r.node_limit, 10000u);
    EXPECT_EQ(r.time_limit, std::chrono::seconds(5));
    EXPECT_TRUE(r.iterations.empty());
    EXPECT_FALSE(r.stop_reason.has_value());
    EXPECT_TRUE(r.hooks.empty());
    EXPECT_TRUE(r.roots.empty());
    EXPECT_FALSE(r.start_time.has_value());
    EXPECT_EQ(r.egraph.class_count(), 0u);
    BackoffScheduler* s = r.backoff_scheduler();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->initial_match_limit(), 1000u);
    EXPECT_EQ(s->initial_ban_length(), 5u);
    EXPECT_EQ(s->rule_stats(sym("anything")), (RuleStats{0, 0, 0, 1000, 5}));
}

TEST(Runner, NothingMatchesSaturatesAfterOneIteration) {
    EGraph eg;
    leaf(eg, "x");
    Runner r;
    r.set_egraph(std::move(eg));
    std::vector<Rewrite> rules{rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")};
    r.run(rules);
    ASSERT_EQ(r.iterations.size(), 1u);
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
    EXPECT_EQ(r.iterations[0].stop_reason, StopReason::saturated());
    EXPECT_TRUE(r.iterations[0].applied.empty());
    EXPECT_TRUE(r.egraph.is_clean());
}

TEST(Runner, EmptyRuleListSaturates) {
    Runner r;
    r.run(std::vector<Rewrite>{});
    ASSERT_EQ(r.iterations.size(), 1u);
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
}

TEST(Runner, CommuteAddSaturatesAfterTwoIterations) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id add = node(eg, "op|add", {x, y});
    Runner r;
    r.set_egraph(std::move(eg));
    std::vector<Rewrite> rules{rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")};
    r.run(rules);
    ASSERT_EQ(r.iterations.size(), 2u);
    EXPECT_EQ(applied(r.iterations[0], "commute-add"), 1u);
    EXPECT_EQ(r.iterations[0].applied.size(), 1u);
    EXPECT_FALSE(r.iterations[0].stop_reason.has_value());
    EXPECT_TRUE(r.iterations[1].applied.empty());
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
    EXPECT_EQ(r.iterations[0].memo_size_before, 3u);
    EXPECT_EQ(r.iterations[1].memo_size_before, 4u);
    EXPECT_EQ(r.iterations[1].class_count_before, 3u);
    EXPECT_EQ(r.backoff_scheduler()->rule_stats(sym("commute-add")).times_searched, 2u);
    EXPECT_EQ(r.egraph.lookup(SymbolLang(sym("op|add"), {y, x})), std::optional<Id>(r.egraph.find(add)));
    EXPECT_GE(r.iterations[0].total_time, r.iterations[0].rebuild_time);
}

// A rule that keeps changing the e-graph: every iteration adds one t-node.
Rewrite grow() { return rule("grow", "(s ?x)", "(s (t ?x))"); }

TEST(Runner, IterationLimit) {
    EGraph eg;
    node(eg, "s", {leaf(eg, "z")});
    Runner r;
    r.set_egraph(std::move(eg)).set_iter_limit(12);
    std::vector<Rewrite> rules{grow()};
    r.run(rules);
    EXPECT_EQ(r.iterations.size(), 12u);
    EXPECT_EQ(r.stop_reason, StopReason::iteration_limit(12));
    for (const Iteration& it : r.iterations) EXPECT_EQ(applied(it, "grow"), 1u);
    // The limit is found after the last record, not inside it.
    EXPECT_FALSE(r.iterations.back().stop_reason.has_value());
    EXPECT_TRUE(r.egraph.is_clean());
}

TEST(Runner, NodeLimitBeforeAnySearch) {
    EGraph eg;
    for (int k = 0; k < 10; ++k) leaf(eg, "n" + std::to_string(k));
    Runner r;
    r.set_egraph(std::move(eg)).set_node_limit(9);
    std::vector<Rewrite> rules{rule("never", "(f ?x)", "?x")};
    r.run(rules);
    ASSERT_EQ(r.iterations.size(), 1u);
    EXPECT_EQ(r.stop_reason, StopReason::node_limit(10));
    EXPECT_EQ(r.iterations[0].stop_reason, StopReason::node_limit(10));
    EXPECT_EQ(r.backoff_scheduler()->stats_by_rule().size(), 0u);  // nothing was searched
}

TEST(Runner, NodeLimitEqualStillPasses) {
    EGraph eg;
    for (int k = 0; k < 10; ++k) leaf(eg, "n" + std::to_string(k));
    Runner r;
    r.set_egraph(std::move(eg)).set_node_limit(10);
    r.run(std::vector<Rewrite>{rule("never", "(f ?x)", "?x")});
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
}

TEST(Runner, NodeLimitDuringGrowth) {
    EGraph eg;
    node(eg, "s", {leaf(eg, "z")});
    Runner r;
    r.set_egraph(std::move(eg)).set_node_limit(7);
    std::vector<Rewrite> rules{grow()};
    r.run(rules);
    ASSERT_TRUE(r.stop_reason.has_value());
    EXPECT_EQ(r.stop_reason->kind, StopReason::Kind::NodeLimit);
    EXPECT_GT(r.stop_reason->count, 7u);
    EXPECT_LE(r.stop_reason->count, r.egraph.memo_len());
    EXPECT_TRUE(r.iterations.back().stop_reason.has_value());  // found inside the iteration
    EXPECT_TRUE(r.egraph.is_clean());
}

TEST(Runner, TimeLimit) {
    EGraph eg;
    node(eg, "s", {leaf(eg, "z")});
    Runner r;
    r.set_egraph(std::move(eg));
    r.time_limit = std::chrono::nanoseconds(0);
    std::vector<Rewrite> rules{grow()};
    r.run(rules);
    ASSERT_EQ(r.iterations.size(), 1u);
    ASSERT_TRUE(r.stop_reason.has_value());
    EXPECT_EQ(r.stop_reason->kind, StopReason::Kind::TimeLimit);
    EXPECT_GT(r.stop_reason->seconds, 0.0);
}

TEST(Runner, HookErrorStopsWithOther) {
    Runner r;
    int calls = 0;
    r.hooks.push_back([&](Runner&) -> Result<Unit, std::string> {
        ++calls;
        return Unit{};
    });
    r.hooks.push_back([&](Runner& run) -> Result<Unit, std::string> {
        if (run.iterations.size() == 1) return make_err(std::string("boom"));
        return Unit{};
    });
    EGraph eg;
    node(eg, "s", {leaf(eg, "z")});
    r.set_egraph(std::move(eg));
    r.run(std::vector<Rewrite>{grow()});
    EXPECT_EQ(r.iterations.size(), 2u);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(r.stop_reason, StopReason::other("boom"));
    EXPECT_TRUE(r.iterations[1].applied.empty());
}

TEST(Runner, StopReasonDebugForms) {
    EXPECT_EQ(debug_string(StopReason::saturated()), "Saturated");
    EXPECT_EQ(debug_string(StopReason::iteration_limit(12)), "IterationLimit(12)");
    EXPECT_EQ(debug_string(StopReason::node_limit(10001)), "NodeLimit(10001)");
    EXPECT_EQ(debug_string(StopReason::time_limit(5.25)), "TimeLimit(5.25)");
    EXPECT_EQ(debug_string(StopReason::time_limit(5)), "TimeLimit(5.0)");
    EXPECT_EQ(debug_string(StopReason::other("a \"b\"")), "Other(\"a \\\"b\\\"\")");
}

TEST(Runner, SchedulerBanArithmetic) {
    EGraph eg = thousand_and_one();
    eg.rebuild();
    Rewrite r = rule("collapse", "(f ?x)", "?x");
    BackoffScheduler s;
    EXPECT_TRUE(s.search_rewrite(0, eg, r).empty());  // 1001 > 1000: banned
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{0, 5, 1, 1000, 5}));
    EXPECT_TRUE(s.search_rewrite(3, eg, r).empty());  // skipped while banned
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{0, 5, 1, 1000, 5}));
    EXPECT_FALSE(s.can_stop(3));  // fast-forwards the ban by 2
    EXPECT_EQ(s.rule_stats(r.name).banned_until, 3u);
    EXPECT_TRUE(s.can_stop(3));
    auto ms = s.search_rewrite(3, eg, r);  // threshold 2000
    std::size_t n = 0;
    for (const auto& m : ms) n += m.substs.size();
    EXPECT_EQ(n, 1001u);
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{1, 3, 1, 1000, 5}));
    EXPECT_EQ(r.apply(eg, ms).size(), 1001u);
}

TEST(Runner, SchedulerBansDoubleAndThresholdsShift) {
    // 4001 matches: banned at thresholds 1000, 2000 and 4000 for 5, 10 and
    // 20 iterations, accepted at 8000.
    EGraph eg;
    for (int k = 0; k < 4001; ++k) node(eg, "f", {leaf(eg, "b" + std::to_string(k))});
    eg.rebuild();
    Rewrite r = rule("collapse", "(f ?x)", "?x");
    BackoffScheduler s;
    EXPECT_TRUE(s.search_rewrite(0, eg, r).empty());
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{0, 5, 1, 1000, 5}));
    EXPECT_TRUE(s.search_rewrite(4, eg, r).empty());  // skipped
    EXPECT_EQ(s.rule_stats(r.name).ban_count, 1u);
    EXPECT_TRUE(s.search_rewrite(5, eg, r).empty());
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{0, 15, 2, 1000, 5}));
    EXPECT_TRUE(s.search_rewrite(15, eg, r).empty());
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{0, 35, 3, 1000, 5}));
    EXPECT_EQ(s.search_rewrite(35, eg, r).size(), 4001u);
    EXPECT_EQ(s.rule_stats(r.name), (RuleStats{1, 35, 3, 1000, 5}));
}

TEST(Runner, CanStopFastForwardsSeveralBans) {
    BackoffScheduler s;
    s.rule_stats(sym("r1")).banned_until = 9;
    s.rule_stats(sym("r2")).banned_until = 6;
    s.rule_stats(sym("r3")).banned_until = 6;
    s.rule_stats(sym("r4")).banned_until = 2;
    EXPECT_FALSE(s.can_stop(2));
    EXPECT_EQ(s.rule_stats(sym("r1")).banned_until, 5u);
    EXPECT_EQ(s.rule_stats(sym("r2")).banned_until, 2u);
    EXPECT_EQ(s.rule_stats(sym("r3")).banned_until, 2u);
    EXPECT_EQ(s.rule_stats(sym("r4")).banned_until, 2u);
    EXPECT_FALSE(s.can_stop(2));  // r1 is still banned: ff by 3
    EXPECT_EQ(s.rule_stats(sym("r1")).banned_until, 2u);
    EXPECT_TRUE(s.can_stop(2));
}

TEST(Runner, ThresholdShiftOf64Fails) {
    EGraph eg;
    eg.rebuild();
    Rewrite r = rule("collapse", "(f ?x)", "?x");
    BackoffScheduler s;
    s.rule_stats(r.name).ban_count = 64;
    try {
        s.search_rewrite(0, eg, r);
        FAIL();
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "called `Option::unwrap()` on a `None` value");
    }
}

TEST(Runner, BannedRuleIsSkippedWhileOthersProgress) {
    EGraph eg = thousand_and_one();
    node(eg, "s", {leaf(eg, "z")});
    Runner r;
    r.set_egraph(std::move(eg)).set_iter_limit(7).set_node_limit(100000);
    std::vector<Rewrite> rules{rule("collapse", "(f ?x)", "?x"), grow()};
    r.run(rules);
    ASSERT_EQ(r.iterations.size(), 7u);
    EXPECT_EQ(r.stop_reason, StopReason::iteration_limit(7));
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(applied(r.iterations[i], "collapse"), 0u) << i;
        EXPECT_EQ(applied(r.iterations[i], "grow"), 1u) << i;
    }
    EXPECT_EQ(applied(r.iterations[5], "collapse"), 1001u);  // threshold 2000 now
    EXPECT_EQ(applied(r.iterations[6], "collapse"), 0u);     // already merged
    const RuleStats& st = r.backoff_scheduler()->rule_stats(sym("collapse"));
    EXPECT_EQ(st.ban_count, 1u);
    EXPECT_EQ(st.banned_until, 5u);
    EXPECT_EQ(st.times_searched, 2u);  // iterations 5 and 6
    // The applied map keeps rule order.
    ASSERT_EQ(r.iterations[5].applied.size(), 2u);
    EXPECT_EQ(r.iterations[5].applied.begin()->first, sym("collapse"));
}

TEST(Runner, BanIsFastForwardedInsteadOfSaturating) {
    std::vector<Id> fs;
    EGraph eg = thousand_and_one(&fs);
    Runner r;
    r.set_egraph(std::move(eg));
    std::vector<Rewrite> rules{rule("collapse", "(f ?x)", "?x")};
    r.run(rules);
    // 0: banned, nothing applied, can_stop fast-forwards; 1: applied; 2: saturated.
    ASSERT_EQ(r.iterations.size(), 3u);
    EXPECT_TRUE(r.iterations[0].applied.empty());
    EXPECT_FALSE(r.iterations[0].stop_reason.has_value());
    EXPECT_EQ(applied(r.iterations[1], "collapse"), 1001u);
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
    EXPECT_EQ(r.egraph.class_count(), 1001u);
    EXPECT_EQ(r.egraph.find(fs[0]), r.egraph.find(0));
}

TEST(Runner, DuplicateRuleNamesWarnOnStderr) {
    EGraph eg;
    node(eg, "op|add", {leaf(eg, "x"), leaf(eg, "y")});
    Runner r;
    r.set_egraph(std::move(eg));
    std::vector<Rewrite> rules{rule("dup", "(op|add ?a ?b)", "(op|add ?b ?a)"), rule("other", "(g ?a)", "?a"),
                               rule("dup", "(op|mul ?a ?b)", "(op|mul ?b ?a)"), rule("other", "(h ?a)", "?a"),
                               rule("other", "(k ?a)", "?a")};
    testing::internal::CaptureStderr();
    r.run(rules);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n"
              "Rule 'dup' appears 2 times\n"
              "Rule 'other' appears 3 times\n");
    EXPECT_EQ(r.backoff_scheduler()->stats_by_rule().size(), 2u);  // shared entries
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
}

TEST(Runner, NoWarningForDistinctNames) {
    Runner r;
    std::vector<Rewrite> rules{rule("one", "(g ?a)", "?a"), rule("two", "(h ?a)", "?a")};
    testing::internal::CaptureStderr();
    r.run(rules);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Runner, RunTwiceFailsAssertion) {
    Runner r;
    r.run(std::vector<Rewrite>{});
    try {
        r.run(std::vector<Rewrite>{});
        FAIL();
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "assertion failed: self.stop_reason.is_none()");
    }
}

TEST(Runner, LogRecords) {
    std::vector<std::pair<log::Level, std::string>> got;
    log::set_sink([&](log::Level l, std::string_view m) { got.emplace_back(l, std::string(m)); });
    log::set_max_level(log::Level::Debug);
    EGraph eg;
    node(eg, "op|add", {leaf(eg, "x"), leaf(eg, "y")});
    Runner r;
    r.set_egraph(std::move(eg));
    r.run(std::vector<Rewrite>{rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")});
    log::set_sink(nullptr);
    log::set_max_level(log::Level::Off);
    auto has = [&](log::Level l, const std::string& m) {
        for (const auto& g : got)
            if (g.first == l && g.second == m) return true;
        return false;
    };
    EXPECT_TRUE(has(log::Level::Info, "\nIteration 0"));
    EXPECT_TRUE(has(log::Level::Info, "\nIteration 1"));
    EXPECT_TRUE(has(log::Level::Debug, "Applying commute-add 1 times"));
    EXPECT_TRUE(has(log::Level::Debug, "Applied commute-add 1 times"));
    EXPECT_TRUE(has(log::Level::Debug, "Applying commute-add 2 times"));
    EXPECT_TRUE(has(log::Level::Info, "Size: n=4, e=3"));
    EXPECT_TRUE(has(log::Level::Info, "Stopping: Saturated"));
}

}  // namespace
}  // namespace dagloom::egraph

namespace dagloom::egraph {
namespace {

// The twelve rules of the optimizer, built the same way.
std::vector<Rewrite> optimizer_rules() {
    std::vector<Rewrite> rules;
    for (const char* op : {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"})
        rules.push_back(rule(std::string("commute-") + op, std::string("(op|") + op + " ?a ?b)",
                             std::string("(op|") + op + " ?b ?a)"));
    const char* ids[] = {"op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
                         "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
    for (int k = 0; k < 4; ++k) rules.push_back(rule("identity-" + std::to_string(k), std::string("(") + ids[k] + " ?x)", "?x"));
    return rules;
}

TEST(Runner, OverviewRequestWithTheOptimizerRules) {
    // src|x, src|y, add(x, y), add(y, x), mul(2, 3), add0r(4), red|sum(5), neg(x)
    EGraph eg;
    std::vector<Id> ids;
    ids.push_back(leaf(eg, "src|x"));
    ids.push_back(leaf(eg, "src|y"));
    ids.push_back(node(eg, "op|add", {ids[0], ids[1]}));
    ids.push_back(node(eg, "op|add", {ids[1], ids[0]}));
    ids.push_back(node(eg, "op|mul", {ids[2], ids[3]}));
    ids.push_back(node(eg, "op|add|scalar=f0000000000000000;side=sr", {ids[4]}));
    ids.push_back(node(eg, "red|sum", {ids[5]}));
    ids.push_back(node(eg, "op|neg", {ids[0]}));
    const std::size_t n = ids.size();
    Runner r;
    r.set_egraph(std::move(eg)).set_iter_limit(12).set_node_limit(4 * n + 1024);
    const std::vector<Rewrite> rules = optimizer_rules();
    ASSERT_EQ(rules.size(), 12u);
    testing::internal::CaptureStderr();
    r.run(rules);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(r.stop_reason, StopReason::saturated());
    const EGraph& out = r.egraph;
    EXPECT_EQ(out.find(ids[2]), out.find(ids[3]));  // commute-add
    EXPECT_EQ(out.find(ids[5]), out.find(ids[4]));  // identity-0
    std::set<Id> classes;
    for (Id id : ids) classes.insert(out.find(id));
    EXPECT_EQ(classes.size(), 6u);  // x, y, add, mul, sum, neg
    EXPECT_NE(out.find(ids[0]), out.find(ids[1]));
    EXPECT_NE(out.find(ids[6]), out.find(ids[5]));
}

TEST(Runner, IdentityWithTwoChildrenOrNegativeZeroIsNotMatched) {
    EGraph eg;
    Id x = leaf(eg, "src|x"), y = leaf(eg, "src|y");
    Id two = node(eg, "op|add|scalar=f0000000000000000;side=sr", {x, y});
    Id negzero = node(eg, "op|add|scalar=f8000000000000000;side=sr", {x});
    Id param = node(eg, "op|add|k=i1", {x, y});
    Id mirror = node(eg, "op|add|k=i1", {y, x});
    Runner r;
    r.set_egraph(std::move(eg)).set_iter_limit(12);
    r.run(optimizer_rules());
    EXPECT_EQ(r.egraph.class_count(), 6u);
    EXPECT_NE(r.egraph.find(two), r.egraph.find(x));
    EXPECT_NE(r.egraph.find(negzero), r.egraph.find(x));
    EXPECT_NE(r.egraph.find(param), r.egraph.find(mirror));
}

}  // namespace
}  // namespace dagloom::egraph
