// Patterns, the matching machine and rewrites.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "util/internal_error.h"

namespace dagloom::egraph {
namespace {

GlobalSymbol sym(const std::string& s) { return GlobalSymbol::from(s); }
Var var(const std::string& s) { return Var{sym(s)}; }
Id leaf(EGraph& eg, const std::string& op) { return eg.add(SymbolLang(sym(op))); }
Id node(EGraph& eg, const std::string& op, std::initializer_list<Id> kids) { return eg.add(SymbolLang(sym(op), kids)); }

Pattern pat(const std::string& text) {
    auto ast = RecExpr::from_str(text);
    EXPECT_TRUE(ast.ok()) << text;
    return Pattern::make(std::move(*ast));
}

template <class F>
std::string failure_text(F&& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no failure>";
}

std::vector<Instruction::Kind> kinds(const Pattern& p) {
    std::vector<Instruction::Kind> out;
    for (const Instruction& i : p.program().instructions()) out.push_back(i.kind);
    return out;
}

std::size_t total(const std::vector<SearchMatches>& ms) {
    std::size_t n = 0;
    for (const auto& m : ms) n += m.substs.size();
    return n;
}

using K = Instruction::Kind;

TEST(Pattern, CompactionSharesRepeatedVariablesAndSubterms) {
    Pattern p = pat("(f ?x ?x)");
    ASSERT_EQ(p.ast().size(), 2u);
    EXPECT_TRUE(p.ast()[0].is_var());
    EXPECT_EQ(p.ast()[1].node(), SymbolLang(sym("f"), {0, 0}));
    Pattern q = pat("(h (g ?a) (g ?a) ?b)");
    ASSERT_EQ(q.ast().size(), 4u);
    EXPECT_EQ(q.ast()[3].node(), SymbolLang(sym("h"), {1, 1, 2}));
    EXPECT_EQ(q.vars(), (std::vector<Var>{var("?a"), var("?b")}));
}

TEST(Pattern, CompileBinaryPattern) {
    Pattern p = pat("(op|add ?a ?b)");
    const auto& ins = p.program().instructions();
    ASSERT_EQ(ins.size(), 1u);
    EXPECT_EQ(ins[0].kind, K::Bind);
    EXPECT_EQ(ins[0].i, 0u);
    EXPECT_EQ(ins[0].out, 1u);
    EXPECT_EQ(ins[0].node, SymbolLang(sym("op|add"), {0, 0}));
    EXPECT_EQ(p.program().subst(), (Subst{{var("?a"), 1}, {var("?b"), 2}}));
    EXPECT_EQ(debug_string(ins[0]), "Bind { node: (op|add 0 0), i: 0, out: 1 }");
}

TEST(Pattern, CompileRepeatedVariableUsesCompare) {
    Pattern p = pat("(f ?x ?x)");
    EXPECT_EQ(kinds(p), (std::vector<K>{K::Bind, K::Compare}));
    EXPECT_EQ(p.program().instructions()[1].i, 2u);
    EXPECT_EQ(p.program().instructions()[1].j, 1u);
    EXPECT_EQ(p.program().subst(), (Subst{{var("?x"), 1}}));
}

TEST(Pattern, CompileGroundSubtermUsesLookup) {
    Pattern p = pat("(f ?x (g ?x))");
    // ?x is bound by the root's Bind, so (g ?x) is grounded: a Lookup.
    ASSERT_EQ(kinds(p), (std::vector<K>{K::Bind, K::Lookup}));
    const Instruction& l = p.program().instructions()[1];
    EXPECT_EQ(l.i, 2u);
    ASSERT_EQ(l.term.size(), 2u);
    EXPECT_TRUE(l.term[0].is_reg);
    EXPECT_EQ(l.term[0].reg, 1u);
    EXPECT_FALSE(l.term[1].is_reg);
    EXPECT_EQ(l.term[1].node, SymbolLang(sym("g"), {0}));
    // A ground leaf is still matched by a Bind with no outputs.
    Pattern c = pat("(f ?x k)");
    EXPECT_EQ(kinds(c), (std::vector<K>{K::Bind, K::Bind}));
    EXPECT_EQ(c.program().instructions()[1].node, SymbolLang(sym("k")));
}

TEST(Pattern, CompilerPrefersMoreFreeVariables) {
    // After the root Bind, (g ?y ?z) has two unbound variables and (h ?w) one.
    Pattern p = pat("(f (h ?w) (g ?y ?z))");
    const auto& ins = p.program().instructions();
    ASSERT_EQ(ins.size(), 3u);
    EXPECT_EQ(ins[1].node.op, sym("g"));
    EXPECT_EQ(ins[2].node.op, sym("h"));
    EXPECT_EQ(p.program().subst(), (Subst{{var("?y"), 3}, {var("?z"), 4}, {var("?w"), 5}}));
}

TEST(Pattern, VariableRootCompilesToNothing) {
    Pattern p = pat("?x");
    EXPECT_TRUE(p.program().instructions().empty());
    EXPECT_EQ(p.program().subst(), (Subst{{var("?x"), 0}}));
}

TEST(Pattern, SearchOneMatch) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id add = node(eg, "op|add", {x, y});
    eg.rebuild();
    Pattern p = pat("(op|add ?a ?b)");
    auto ms = p.search(eg);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].eclass, add);
    EXPECT_EQ(ms[0].ast, &p.ast());
    ASSERT_EQ(ms[0].substs.size(), 1u);
    const Subst& s = ms[0].substs[0];
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.begin()[0], (SubstEntry{var("?a"), x}));
    EXPECT_EQ(s.begin()[1], (SubstEntry{var("?b"), y}));
    EXPECT_EQ(debug_string(s), "{?a: " + std::to_string(x) + ", ?b: " + std::to_string(y) + "}");
}

TEST(Pattern, SearchFindsEachNodeOfAClassInSortedOrder) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id a1 = node(eg, "op|add", {y, x});
    Id a2 = node(eg, "op|add", {x, y});
    eg.union_(a1, a2);
    eg.rebuild();
    auto ms = pat("(op|add ?a ?b)").search(eg);
    ASSERT_EQ(ms.size(), 1u);
    ASSERT_EQ(ms[0].substs.size(), 2u);
    EXPECT_EQ(ms[0].substs[0], (Subst{{var("?a"), x}, {var("?b"), y}}));  // (x, y) sorts first
    EXPECT_EQ(ms[0].substs[1], (Subst{{var("?a"), y}, {var("?b"), x}}));
}

TEST(Pattern, BindChecksArity) {
    EGraph eg;
    Id x = leaf(eg, "x");
    node(eg, "f", {x});
    node(eg, "f", {x, x, x});
    eg.rebuild();
    EXPECT_EQ(total(pat("(f ?a ?b)").search(eg)), 0u);
    EXPECT_EQ(total(pat("(f ?a)").search(eg)), 1u);
    EXPECT_EQ(total(pat("(f ?a ?b ?c)").search(eg)), 1u);
}

TEST(Pattern, CompareRequiresEquivalentClasses) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fab = node(eg, "f", {a, b});
    eg.rebuild();
    Pattern p = pat("(f ?x ?x)");
    EXPECT_TRUE(p.search(eg).empty());
    eg.union_(a, b);
    eg.rebuild();
    auto ms = p.search(eg);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].eclass, eg.find(fab));
    EXPECT_EQ(ms[0].substs[0], (Subst{{var("?x"), eg.find(a)}}));
}

TEST(Pattern, LookupMatchesGroundSubterms) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id ga = node(eg, "g", {a});
    node(eg, "g", {b});
    Id good = node(eg, "f", {a, ga});
    node(eg, "f", {b, ga});  // (g b) exists but is not the second child
    node(eg, "f", {a, b});
    eg.rebuild();
    auto ms = pat("(f ?x (g ?x))").search(eg);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].eclass, good);
    EXPECT_EQ(ms[0].substs[0], (Subst{{var("?x"), a}}));
}

TEST(Pattern, NestedPatterns) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id ga = node(eg, "g", {a});
    Id top = node(eg, "f", {ga, b});
    node(eg, "f", {a, b});
    eg.rebuild();
    auto ms = pat("(f (g ?x) ?y)").search(eg);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(ms[0].eclass, top);
    EXPECT_EQ(ms[0].substs[0].get(var("?x")), std::optional<Id>(a));
    EXPECT_EQ(ms[0].substs[0].get(var("?y")), std::optional<Id>(b));
}

TEST(Pattern, LimitsStopTheSearch) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y"), z = leaf(eg, "z");
    node(eg, "f", {x});
    node(eg, "f", {y});
    node(eg, "f", {z});
    eg.rebuild();
    Pattern p = pat("(f ?a)");
    EXPECT_EQ(total(p.search(eg)), 3u);
    EXPECT_EQ(total(p.search_with_limit(eg, 3)), 3u);
    auto one = p.search_with_limit(eg, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].substs.size(), 1u);
    EXPECT_EQ(total(p.search_with_limit(eg, 2)), 2u);
    EXPECT_TRUE(p.search_with_limit(eg, 0).empty());
    // A class yields its own matches only, however large the limit.
    for (const SearchMatches& m : p.search_with_limit(eg, 5)) EXPECT_EQ(m.substs.size(), 1u);
}

TEST(Pattern, LimitWithinOneClass) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id c = node(eg, "f", {x});
    eg.union_(c, node(eg, "f", {y}));
    eg.rebuild();
    Pattern p = pat("(f ?a)");
    // Both matches lie in one class: the limit cuts that class's list.
    auto one = p.search_with_limit(eg, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].eclass, eg.find(c));
    EXPECT_EQ(one[0].substs.size(), 1u);
    EXPECT_EQ(total(p.search_with_limit(eg, 2)), 2u);
    for (const SearchMatches& m : p.search_with_limit(eg, 5)) EXPECT_NE(m.eclass, eg.find(x));
}

TEST(Pattern, VariableRootMatchesEveryClassOnce) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a});
    node(eg, "f", {b});
    eg.union_(fa, b);
    eg.rebuild();
    auto ms = pat("?x").search(eg);
    ASSERT_EQ(ms.size(), eg.class_count());
    for (const SearchMatches& m : ms) {
        ASSERT_EQ(m.substs.size(), 1u);
        EXPECT_EQ(m.substs[0], (Subst{{var("?x"), m.eclass}}));
    }
}

TEST(Pattern, ApplyMatchesUnionsNewInstanceFirst) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id add = node(eg, "op|add", {x, y});
    eg.rebuild();
    Pattern searcher = pat("(op|add ?a ?b)");
    Pattern applier = pat("(op|add ?b ?a)");
    auto ms = searcher.search(eg);
    auto ids = applier.apply_matches(eg, ms, sym("commute-add"));
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], add);
    // Equal parent counts (none): the new instance's root survives.
    EXPECT_EQ(eg.find(add), ids[0]);
    eg.rebuild();
    EXPECT_EQ(eg[add].nodes.size(), 2u);
    // Again: both instances already in the class, no merge, no id.
    EXPECT_TRUE(applier.apply_matches(eg, searcher.search(eg), sym("commute-add")).empty());
}

TEST(Pattern, BareVariableApplierMergesWithBoundClass) {
    const std::string id_op = "op|add|scalar=f0000000000000000;side=sr";
    EGraph eg;
    Id x = leaf(eg, "x");
    Id ident = node(eg, id_op, {x});
    node(eg, "g", {ident});
    eg.rebuild();
    const std::size_t memo = eg.memo_len();
    Pattern searcher = pat("(" + id_op + " ?x)");
    Pattern applier = pat("?x");
    auto ids = applier.apply_matches(eg, searcher.search(eg), sym("identity-0"));
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], x);
    EXPECT_EQ(eg.memo_len(), memo);  // no node added
    EXPECT_EQ(eg.find(x), eg.find(ident));
    EXPECT_EQ(eg.find(ident), x);  // one parent each: the instance (first) survives
}

TEST(Pattern, InstantiateAddsNestedTermsAndHashConses) {
    EGraph eg;
    Id a = leaf(eg, "a");
    eg.rebuild();
    Pattern p = pat("(f (g ?x) (g ?x))");
    const Id id = p.instantiate(eg, Subst{{var("?x"), a}});
    EXPECT_EQ(eg.id_count(), 3u);  // (g a) once, then f
    EXPECT_EQ(eg[id].nodes[0].child(0), eg[id].nodes[0].child(1));
    EXPECT_EQ(p.instantiate(eg, Subst{{var("?x"), a}}), id);
    EXPECT_TRUE(eg.union_(p.instantiate(eg, Subst{{var("?x"), a}}), a));
    EXPECT_EQ(eg.find(a), eg.find(id));
}

TEST(Pattern, SubstKeepsThreeInlineAndReportsMissingVars) {
    Subst s;
    EXPECT_EQ(s.insert(var("?a"), 1), std::nullopt);
    s.insert(var("?b"), 2);
    s.insert(var("?c"), 3);
    EXPECT_TRUE(s.is_inline());
    EXPECT_EQ(s.insert(var("?b"), 7), std::optional<Id>(2));
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(s[var("?b")], 7u);
    s.insert(var("?d"), 4);
    EXPECT_FALSE(s.is_inline());
    EXPECT_EQ(s[var("?a")], 1u);
    EXPECT_EQ(s[var("?d")], 4u);
    Subst t{{var("?x"), 0}};
    EXPECT_EQ(failure_text([&] { (void)t[var("?z")]; }), "Var '?z=?z' not found in {?x: 0}");
    EGraph eg;
    leaf(eg, "a");
    eg.rebuild();
    EXPECT_EQ(failure_text([&] { pat("(g ?z)").instantiate(eg, t); }), "Var '?z=?z' not found in {?x: 0}");
}

TEST(Pattern, RewriteRejectsUnboundApplierVariables) {
    auto bad = Rewrite::make("bad-rule", pat("(f ?x)"), pat("(g ?z)"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), "Rewrite bad-rule refers to unbound var ?z");
    auto good = Rewrite::make("good-rule", pat("(f ?x ?y)"), pat("(g ?y)"));
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(good->name, sym("good-rule"));
    Rewrite copy = *good;  // shares the patterns
    EXPECT_EQ(copy.searcher.get(), good->searcher.get());
    EXPECT_EQ(copy.applier.get(), good->applier.get());
}

TEST(Pattern, RewriteSearchAndApplyForward) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    Id m = node(eg, "op|mul", {x, y});
    eg.rebuild();
    auto rw = Rewrite::make("commute-mul", pat("(op|mul ?a ?b)"), pat("(op|mul ?b ?a)"));
    ASSERT_TRUE(rw.ok());
    auto ms = rw->search_with_limit(eg, 10);
    ASSERT_EQ(ms.size(), 1u);
    EXPECT_EQ(rw->apply(eg, ms).size(), 1u);
    eg.rebuild();
    EXPECT_EQ(eg.lookup(SymbolLang(sym("op|mul"), {y, x})), std::optional<Id>(eg.find(m)));
}

TEST(Pattern, SearchingADirtyEgraphFails) {
    EGraph eg;
    Id x = leaf(eg, "x");
    node(eg, "f", {x});
    Pattern p = pat("(f ?a)");
    EXPECT_EQ(failure_text([&] { p.search(eg); }), "Tried to search a dirty e-graph!");
    eg.rebuild();
    EXPECT_EQ(p.search(eg).size(), 1u);
    Id y = leaf(eg, "y");
    EXPECT_EQ(failure_text([&] { p.search(eg); }), "Tried to search a dirty e-graph!");
    eg.rebuild();
    eg.union_(x, y);
    EXPECT_EQ(failure_text([&] { p.search_with_limit(eg, 1); }), "Tried to search a dirty e-graph!");
    EXPECT_EQ(failure_text([&] { p.search_with_limit(eg, 0); }), "Tried to search a dirty e-graph!");
    EXPECT_EQ(failure_text([&] { pat("?v").search(eg); }), "Tried to search a dirty e-graph!");
}

}  // namespace
}  // namespace dagloom::egraph
