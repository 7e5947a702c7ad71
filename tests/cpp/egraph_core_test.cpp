// E-graph core and the logging facade.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "util/internal_error.h"

namespace dagloom::egraph {
namespace {

GlobalSymbol sym(const std::string& s) { return GlobalSymbol::from(s); }
Id leaf(EGraph& eg, const std::string& op) { return eg.add(SymbolLang(sym(op))); }
Id node(EGraph& eg, const std::string& op, std::initializer_list<Id> kids) { return eg.add(SymbolLang(sym(op), kids)); }

template <class F>
std::string failure_text(F&& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no failure>";
}

TEST(Egraph, SymbolLangOrderAndEquality) {
    GlobalSymbol f = sym("f"), g = sym("g");
    EXPECT_EQ(SymbolLang(f, {1, 2}), SymbolLang(f, {1, 2}));
    EXPECT_NE(SymbolLang(f, {1, 2}), SymbolLang(f, {2, 1}));
    EXPECT_NE(SymbolLang(f, {1}), SymbolLang(g, {1}));
    EXPECT_LT(SymbolLang(f, {0, 5}), SymbolLang(f, {1}));
    EXPECT_LT(SymbolLang(f, {1}), SymbolLang(f, {1, 0}));  // prefix first
    EXPECT_FALSE(SymbolLang(f, {1}) < SymbolLang(f, {1}));
    const bool f_first = f.raw() < g.raw();
    EXPECT_EQ(SymbolLang(f, {9}) < SymbolLang(g, {0}), f_first);
    EXPECT_TRUE(SymbolLang(f, {1, 2}).matches(SymbolLang(f, {7, 7})));
    EXPECT_FALSE(SymbolLang(f, {1, 2}).matches(SymbolLang(f, {1})));
}

TEST(Egraph, SymbolLangLongChildLists) {
    GlobalSymbol f = sym("stage|9");
    std::vector<Id> kids;
    for (Id k = 0; k < 40; ++k) {
        kids.push_back(k * 3);
        const SymbolLang grown(f, kids);
        ASSERT_EQ(grown.len(), kids.size());
        ASSERT_EQ(std::vector<Id>(grown.children().begin(), grown.children().end()), kids);
    }
    SymbolLang n(f, kids);
    SymbolLang copy = n;
    EXPECT_EQ(copy, n);
    EXPECT_EQ(copy.hash(), n.hash());
    SymbolLang moved = std::move(copy);
    EXPECT_EQ(moved, n);
    EXPECT_EQ(SymbolLang(f, kids), n);
}

TEST(Egraph, HashIsTheSpecifiedWordHash) {
    GlobalSymbol f = sym("f");
    SymbolLang n(f, {3, 4});
    std::uint64_t h = 0;
    auto fold = [&](std::uint64_t w) { h = (std::rotl(h, 5) ^ w) * 0x517cc1b727220a95ULL; };
    fold(f.raw());
    fold(2);
    fold(3);
    fold(4);
    EXPECT_EQ(n.hash(), h);
    EXPECT_EQ(hash_id(7), (std::rotl(std::uint64_t{0}, 5) ^ 7) * 0x517cc1b727220a95ULL);
}

TEST(Egraph, FreshEgraphIsDirtyUntilRebuild) {
    EGraph eg;
    EXPECT_FALSE(eg.is_clean());
    EXPECT_EQ(eg.class_count(), 0u);
    EXPECT_EQ(eg.memo_len(), 0u);
    EXPECT_EQ(eg.rebuild(), 0u);
    EXPECT_TRUE(eg.is_clean());
    EXPECT_EQ(eg.rebuild(), 0u);
    EXPECT_TRUE(eg.is_clean());
}

TEST(Egraph, IdsAreDense) {
    EGraph eg;
    EXPECT_EQ(leaf(eg, "a"), 0u);
    EXPECT_EQ(leaf(eg, "b"), 1u);
    EXPECT_EQ(node(eg, "f", {0, 1}), 2u);
    EXPECT_EQ(eg.id_count(), 3u);
    UnionFind uf;
    for (Id k = 0; k < 10; ++k) EXPECT_EQ(uf.make_set(), k);
}

TEST(Egraph, AddExistingNodeIsHashConsed) {
    EGraph eg;
    Id a = leaf(eg, "a");
    Id fa = node(eg, "f", {a});
    eg.rebuild();
    ASSERT_TRUE(eg.is_clean());
    EXPECT_EQ(node(eg, "f", {a}), fa);
    EXPECT_EQ(leaf(eg, "a"), a);
    EXPECT_EQ(eg.id_count(), 2u);
    EXPECT_EQ(eg.memo_len(), 2u);
    EXPECT_TRUE(eg.is_clean());  // nothing was created
}

TEST(Egraph, AddCanonicalizesChildrenAndReturnsRepresentative) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a});
    Id gb = node(eg, "g", {b});
    eg.rebuild();
    eg.union_(a, b);  // equal parent counts: a's root survives
    ASSERT_EQ(eg.find(b), a);
    EXPECT_EQ(node(eg, "f", {b}), fa);  // f(b) canonicalizes to f(a)
    eg.union_(gb, fa);                  // gb's root survives
    ASSERT_EQ(eg.find(fa), gb);
    const std::size_t ids = eg.id_count();
    EXPECT_EQ(node(eg, "f", {a}), gb);  // the memo holds fa; add returns its root
    EXPECT_EQ(eg.id_count(), ids);
}

TEST(Egraph, NodesOverParentlessChildrenStillHashCons) {
    // f(a) over a class with no parents skips the memo lookup (it cannot be
    // present) and is indexed later; every later lookup must still see it.
    EGraph eg;
    Id a = leaf(eg, "a");
    Id fa = node(eg, "f", {a});
    Id gfa = node(eg, "g", {fa});
    EXPECT_EQ(node(eg, "f", {a}), fa);
    EXPECT_EQ(eg.lookup(SymbolLang(sym("g"), {fa})), std::optional<Id>(gfa));
    Id hh = node(eg, "h", {gfa, gfa});
    EXPECT_EQ(node(eg, "h", {gfa, gfa}), hh);
    EXPECT_EQ(eg.memo_len(), 4u);
    EXPECT_EQ(eg.id_count(), 4u);
    std::vector<Id> chain{hh};
    for (int k = 0; k < 1000; ++k) chain.push_back(node(eg, "k", {chain.back()}));
    for (std::size_t k = 1; k < chain.size(); ++k) EXPECT_EQ(node(eg, "k", {chain[k - 1]}), chain[k]);
    EXPECT_EQ(eg.memo_len(), 1004u);
    eg.rebuild();
    for (std::size_t k = 1; k < chain.size(); ++k)
        EXPECT_EQ(eg.lookup(SymbolLang(sym("k"), {chain[k - 1]})), std::optional<Id>(chain[k]));
    EXPECT_EQ(eg.memo_len(), 1004u);
}

// add_new takes a node as new without looking it up; built from distinct
// nodes, the e-graph must be the one add builds: same ids, every node
// found again, and later adds of the same nodes hash-consed.
TEST(Egraph, AddNewOfDistinctNodesMatchesAdd) {
    EGraph by_add, by_new;
    std::vector<SymbolLang> nodes{SymbolLang(sym("a")), SymbolLang(sym("b"))};
    for (Id k = 0; k < 500; ++k) {
        nodes.emplace_back(sym(k % 3 ? "f" : "g"), std::initializer_list<Id>{k / 2, k + 1});
        nodes.emplace_back(sym("h"), std::initializer_list<Id>{k + 1});
    }
    for (const SymbolLang& n : nodes) EXPECT_EQ(by_new.add_new(n), by_add.add(n));
    ASSERT_EQ(by_new.memo_len(), by_add.memo_len());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(by_new.lookup(nodes[i]), std::optional<Id>(static_cast<Id>(i)));
        EXPECT_EQ(by_new.add(nodes[i]), static_cast<Id>(i));
    }
    EXPECT_EQ(by_new.memo_len(), nodes.size());
    by_new.union_(0, 1);
    by_add.union_(0, 1);
    by_new.rebuild();
    by_add.rebuild();
    EXPECT_EQ(by_new.class_count(), by_add.class_count());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        EXPECT_EQ(by_new.find(static_cast<Id>(i)), by_add.find(static_cast<Id>(i))) << i;
}

TEST(Egraph, RepeatedChildGivesOneParentEntryPerPosition) {
    EGraph eg;
    Id a = leaf(eg, "a");
    Id faa = node(eg, "f", {a, a});
    const EClass& ca = eg[a];
    ASSERT_EQ(ca.parents.size(), 2u);
    for (const ParentRef& p : ca.parents) {
        EXPECT_EQ(eg.parent_node(p), SymbolLang(sym("f"), {a, a}));
        EXPECT_EQ(p.id, faa);
    }
    EXPECT_EQ(eg.pending_len(), 2u);
}

TEST(Egraph, UnionOfEquivalentIdsReturnsFalseButMarksDirty) {
    EGraph eg;
    Id x = leaf(eg, "x");
    eg.rebuild();
    EXPECT_FALSE(eg.union_(x, x));
    EXPECT_FALSE(eg.is_clean());
    Id y = leaf(eg, "y");
    EXPECT_TRUE(eg.union_(x, y));
    eg.rebuild();
    EXPECT_FALSE(eg.union_(y, x));
    EXPECT_FALSE(eg.is_clean());
}

TEST(Egraph, UnionSurvivorOnEqualParentCountsIsFirst) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    EXPECT_TRUE(eg.union_(x, y));
    EXPECT_EQ(eg.find(y), x);
    EXPECT_EQ(eg.class_count(), 1u);
    EXPECT_EQ(eg[y].id, x);

    EGraph eg2;
    Id p = leaf(eg2, "p"), q = leaf(eg2, "q");
    EXPECT_TRUE(eg2.union_(q, p));
    EXPECT_EQ(eg2.find(p), q);
}

TEST(Egraph, UnionSurvivorHasMoreParents) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    node(eg, "g", {y});
    EXPECT_TRUE(eg.union_(x, y));
    EXPECT_EQ(eg.find(x), y);
    EXPECT_EQ(eg.find(y), y);
    EXPECT_EQ(eg[x].parents.size(), 1u);
}

TEST(Egraph, UnionMergesListsLongerFirst) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b"), c = leaf(eg, "c");
    eg.union_(b, c);  // class b: [b, c]
    eg.union_(a, b);  // a survives (no parents), its [a] is shorter: [b, c, a]
    ASSERT_EQ(eg.find(b), a);
    const EClass& cls = eg[a];
    ASSERT_EQ(cls.nodes.size(), 3u);
    EXPECT_EQ(cls.nodes[0].op, sym("b"));
    EXPECT_EQ(cls.nodes[1].op, sym("c"));
    EXPECT_EQ(cls.nodes[2].op, sym("a"));
}

TEST(Egraph, UnionQueuesOnlyAbsorbedParents) {
    EGraph eg;
    Id x = leaf(eg, "x"), y = leaf(eg, "y");
    node(eg, "f", {x});
    node(eg, "f", {x, x});
    node(eg, "g", {y});
    eg.rebuild();
    EXPECT_EQ(eg.pending_len(), 0u);
    eg.union_(x, y);  // x has 3 parent entries and survives
    EXPECT_EQ(eg.find(y), x);
    EXPECT_EQ(eg.pending_len(), 1u);
    EXPECT_EQ(eg[x].parents.size(), 4u);
}

TEST(Egraph, CongruenceAfterRebuild) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a}), fb = node(eg, "f", {b});
    eg.rebuild();
    EXPECT_NE(eg.find(fa), eg.find(fb));
    eg.union_(a, b);
    EXPECT_EQ(eg.rebuild(), 1u);
    EXPECT_TRUE(eg.is_clean());
    EXPECT_EQ(eg.find(fa), eg.find(fb));
    EXPECT_EQ(eg[fa].nodes.size(), 1u);
    EXPECT_EQ(eg[fa].nodes[0], SymbolLang(sym("f"), {eg.find(a)}));
    // The memo's class survives on equal parent counts.
    EXPECT_EQ(eg.find(fb), fa);
    EXPECT_EQ(eg.class_count(), 2u);
}

TEST(Egraph, CongruencePropagatesUpwards) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a}), fb = node(eg, "f", {b});
    Id gfa = node(eg, "g", {fa, a}), gfb = node(eg, "g", {fb, b});
    Id h = node(eg, "h", {gfa, gfb});
    eg.rebuild();
    eg.union_(a, b);
    EXPECT_EQ(eg.rebuild(), 2u);
    EXPECT_EQ(eg.find(gfa), eg.find(gfb));
    EXPECT_EQ(eg[h].nodes[0].child(0), eg[h].nodes[0].child(1));
    EXPECT_EQ(eg.class_count(), 4u);
}

TEST(Egraph, StaleMemoEntriesStay) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    node(eg, "f", {a});
    node(eg, "f", {b});
    eg.rebuild();
    EXPECT_EQ(eg.memo_len(), 4u);
    eg.union_(a, b);
    eg.rebuild();
    EXPECT_EQ(eg.memo_len(), 4u);  // f(b) stays as a stale key
    std::size_t class_nodes = 0;
    for (const EClass& c : eg.classes()) class_nodes += c.nodes.size();
    EXPECT_EQ(class_nodes, 3u);
    EXPECT_GT(eg.memo_len(), class_nodes);
}

TEST(Egraph, MemoGrowsWithNewCanonicalKeys) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b"), c = leaf(eg, "c");
    Id fac = node(eg, "f", {a, c});
    node(eg, "g", {b});
    eg.rebuild();
    const std::size_t before = eg.memo_len();
    eg.union_(b, c);  // one parent each: b survives, f(a, c) is re-queued
    ASSERT_EQ(eg.find(c), b);
    EXPECT_EQ(eg.rebuild(), 0u);
    EXPECT_EQ(eg.memo_len(), before + 1);  // the new canonical key f(a, b)
    EXPECT_EQ(node(eg, "f", {a, b}), eg.find(fac));
    EXPECT_EQ(eg[fac].nodes[0], SymbolLang(sym("f"), {a, b}));
}

TEST(Egraph, LookupCanonicalizesAndNeverMutates) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a});
    eg.rebuild();
    EXPECT_EQ(eg.lookup(SymbolLang(sym("f"), {a})), std::optional<Id>(fa));
    EXPECT_EQ(eg.lookup(SymbolLang(sym("f"), {b})), std::nullopt);
    eg.union_(a, b);
    eg.rebuild();
    const std::size_t memo = eg.memo_len();
    EXPECT_EQ(eg.lookup(SymbolLang(sym("f"), {b})), std::optional<Id>(eg.find(fa)));
    EXPECT_EQ(eg.lookup(SymbolLang(sym("nothing-here"))), std::nullopt);
    EXPECT_EQ(eg.memo_len(), memo);
    EXPECT_TRUE(eg.is_clean());
}

TEST(Egraph, RebuildSortsAndDeduplicatesClassNodes) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id f1 = node(eg, "f", {a, b});
    Id f2 = node(eg, "f", {b, a});
    Id f3 = node(eg, "f", {a, a});
    eg.union_(f1, f2);
    eg.union_(f1, f3);
    eg.rebuild();
    const EClass& cls = eg[f1];
    ASSERT_EQ(cls.nodes.size(), 3u);
    for (std::size_t k = 1; k < cls.nodes.size(); ++k) EXPECT_LT(cls.nodes[k - 1], cls.nodes[k]);
    eg.union_(a, b);
    eg.rebuild();
    const EClass& merged = eg[f1];
    ASSERT_EQ(merged.nodes.size(), 1u);
    const Id r = eg.find(a);
    EXPECT_EQ(merged.nodes[0], SymbolLang(sym("f"), {r, r}));
}

TEST(Egraph, ClassNodesOrderBySymbolNumberNotText) {
    // Two fresh operators in the same shard: the first interned sorts first.
    const unsigned shard = static_cast<unsigned>(string_hash("order-zzz-0") & 0xf);
    std::string first, second;
    for (int k = 0; second.empty(); ++k) {
        std::string s = (first.empty() ? "order-zzz-" : "order-aaa-") + std::to_string(k);
        if ((string_hash(s) & 0xf) != shard) continue;
        (first.empty() ? first : second) = s;
    }
    GlobalSymbol s1 = GlobalSymbol::from(first);
    GlobalSymbol s2 = GlobalSymbol::from(second);
    ASSERT_GT(first, second);  // text order is the reverse
    ASSERT_LT(s1.raw(), s2.raw());
    EGraph eg;
    Id x = eg.add(SymbolLang(s2));
    Id y = eg.add(SymbolLang(s1));
    eg.union_(x, y);
    eg.rebuild();
    ASSERT_EQ(eg[x].nodes.size(), 2u);
    EXPECT_EQ(eg[x].nodes[0].op, s1);
    EXPECT_EQ(eg[x].nodes[1].op, s2);
}

TEST(Egraph, OpIndexListsClassesPerOperator) {
    EGraph eg;
    Id a = leaf(eg, "a"), b = leaf(eg, "b");
    Id fa = node(eg, "f", {a}), fb = node(eg, "f", {b});
    Id ga = node(eg, "g", {a});
    EXPECT_TRUE(eg.classes_with_op(sym("f")).empty());  // built by rebuild
    eg.rebuild();
    auto f_classes = eg.classes_with_op(sym("f"));
    EXPECT_EQ(std::vector<Id>(f_classes.begin(), f_classes.end()), (std::vector<Id>{fa, fb}));
    eg.union_(fa, ga);
    eg.union_(a, b);
    eg.rebuild();
    f_classes = eg.classes_with_op(sym("f"));
    ASSERT_EQ(f_classes.size(), 1u);  // one class, listed once
    EXPECT_EQ(f_classes[0], eg.find(fa));
    auto g_classes = eg.classes_with_op(sym("g"));
    ASSERT_EQ(g_classes.size(), 1u);
    EXPECT_EQ(g_classes[0], eg.find(ga));
    EXPECT_TRUE(eg.classes_with_op(sym("never-used-op")).empty());
}

TEST(Egraph, ClassIterationVisitsExactlyTheRoots) {
    EGraph eg;
    std::vector<Id> ids;
    for (int k = 0; k < 10; ++k) ids.push_back(leaf(eg, "it" + std::to_string(k)));
    eg.union_(ids[0], ids[5]);
    eg.union_(ids[3], ids[9]);
    eg.union_(ids[9], ids[0]);
    std::vector<Id> seen;
    for (const EClass& c : eg.classes()) {
        EXPECT_EQ(eg.find(c.id), c.id);
        seen.push_back(c.id);
    }
    EXPECT_EQ(seen.size(), eg.class_count());
    EXPECT_EQ(seen.size(), 7u);
}

TEST(Egraph, IndexingFailures) {
    EGraph eg;
    leaf(eg, "a");
    EXPECT_EQ(failure_text([&] { (void)eg[7]; }), "index out of bounds: the len is 1 but the index is 7");
    EXPECT_EQ(failure_text([&] { (void)eg.find(3); }), "index out of bounds: the len is 1 but the index is 3");
    EXPECT_EQ(failure_text([&] { eg.union_(0, 5); }), "index out of bounds: the len is 1 but the index is 5");
}

// ---------------------------------------------------------------- logging

struct CountingArg {
    int* count;
};
std::ostream& operator<<(std::ostream& out, const CountingArg& a) {
    ++*a.count;
    return out << "arg";
}

class EgraphLog : public ::testing::Test {
protected:
    void TearDown() override {
        log::set_sink(nullptr);
        log::set_max_level(log::Level::Off);
    }
};

TEST_F(EgraphLog, OffByDefaultAndLazy) {
    EXPECT_FALSE(log::enabled(log::Level::Warn));
    int formatted = 0;
    DAGLOOM_LOG(Warn, "x", CountingArg{&formatted});
    EXPECT_EQ(formatted, 0);
    std::vector<std::string> got;
    log::set_sink([&](log::Level, std::string_view m) { got.emplace_back(m); });
    DAGLOOM_LOG(Warn, "x", CountingArg{&formatted});  // level still off
    EXPECT_EQ(formatted, 0);
    log::set_max_level(log::Level::Info);
    DAGLOOM_LOG(Debug, "x", CountingArg{&formatted});  // above max
    EXPECT_EQ(formatted, 0);
    DAGLOOM_LOG(Info, "x", CountingArg{&formatted});
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], "xarg");
}

TEST_F(EgraphLog, EngineEmitsRebuildAndTraceRecords) {
    std::vector<std::pair<log::Level, std::string>> got;
    log::set_sink([&](log::Level l, std::string_view m) { got.emplace_back(l, std::string(m)); });
    log::set_max_level(log::Level::Trace);
    EGraph eg;
    leaf(eg, "log-a");
    eg.rebuild();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, log::Level::Trace);
    EXPECT_EQ(got[0].second, "  ...adding to 0");
    EXPECT_EQ(got[1].first, log::Level::Info);
    const std::string& m = got[1].second;
    ASSERT_EQ(m.rfind("REBUILT! in ", 0), 0u) << m;
    const std::string tail =
        "s\n  Old: hc size 1, eclasses: 1\n  New: hc size 1, eclasses: 1\n  unions: 0, trimmed nodes: 0";
    ASSERT_GE(m.size(), tail.size());
    EXPECT_EQ(m.substr(m.size() - tail.size()), tail);
    const std::string secs = m.substr(12, m.size() - tail.size() - 12);
    const auto dot = secs.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_EQ(secs.size() - dot - 1, 3u);  // milliseconds padded to three digits
}

}  // namespace
}  // namespace dagloom::egraph

namespace dagloom::egraph {
namespace {

TEST(Egraph, LongUnionChainStaysFast) {
    // x_k = g(x_{k-1}, y_k) over an independent chain y_k = h(y_{k-1}), each
    // x_k merged into the hub as soon as it exists. The hub survives every
    // union (it has a parent, x_k has none) and its node and parent lists
    // grow by one each time. They must grow geometrically: an exact-size
    // reallocation per merge is quadratic and would take minutes here. Not a
    // timing assertion; it simply has to finish.
    EGraph eg;
    const GlobalSymbol g = GlobalSymbol::from("chain-g");
    const GlobalSymbol h = GlobalSymbol::from("chain-h");
    const Id hub = eg.add(SymbolLang(GlobalSymbol::from("chain-hub")));
    Id x = hub;
    Id y = eg.add(SymbolLang(GlobalSymbol::from("chain-y")));
    const std::size_t n = 100000;
    for (std::size_t k = 0; k < n; ++k) {
        y = eg.add(SymbolLang(h, {y}));
        x = eg.add(SymbolLang(g, {x, y}));
        ASSERT_TRUE(eg.union_(hub, x));
        ASSERT_EQ(eg.find(x), hub);
    }
    EXPECT_EQ(eg[hub].nodes.size(), n + 1);
    EXPECT_EQ(eg[hub].parents.size(), n);
    EXPECT_EQ(eg.rebuild(), 0u);
    EXPECT_EQ(eg.class_count(), n + 2);
    EXPECT_EQ(eg[hub].nodes.size(), n + 1);
}

}  // namespace
}  // namespace dagloom::egraph

namespace dagloom::egraph {
namespace {

// The pending stack as a caller sees it: each new node adds (its memo entry,
// its id); a union adds the absorbed class's parent entries. New-node
// entries are kept in runs internally, so interleave them with unions
// (absorbed classes with and without parents) and check the whole sequence,
// then that rebuild drains it.
TEST(Egraph, PendingEntriesKeepOrderAcrossNewNodesAndUnions) {
    EGraph eg;
    std::vector<ParentRef> expected;
    auto add = [&](const std::string& op, std::initializer_list<Id> kids) {
        const std::size_t memo_before = eg.memo_len(), ids_before = eg.id_count();
        const Id id = eg.add(SymbolLang(sym(op), kids));
        if (eg.id_count() != ids_before) expected.push_back(ParentRef{static_cast<std::uint32_t>(memo_before), id});
        return id;
    };
    auto unite = [&](Id x, Id y) {
        const Id rx = eg.find(x), ry = eg.find(y);
        const ParentList px = eg[rx].parents, py = eg[ry].parents;
        ASSERT_TRUE(eg.union_(x, y));
        const ParentList& absorbed = eg.find(x) == rx ? py : px;
        expected.insert(expected.end(), absorbed.begin(), absorbed.end());
    };
    const Id a = add("a", {}), b = add("b", {}), c = add("c", {});
    const Id fa = add("f", {a});
    add("f", {b});
    add("f", {a});  // present: no entry
    unite(a, b);    // absorbs a class with one parent
    add("g", {fa, c});
    add("g", {c, fa});
    const Id d = add("d", {});
    unite(c, d);  // d has no parents: nothing queued, the run may go on
    add("h", {a, b, c});
    unite(fa, c);
    add("f", {d});
    EXPECT_EQ(eg.pending_len(), expected.size());
    EXPECT_EQ(eg.pending(), expected);
    for (const ParentRef& p : eg.pending()) EXPECT_LT(p.memo_entry, eg.memo_len());
    eg.rebuild();
    EXPECT_EQ(eg.pending_len(), 0u);
    EXPECT_TRUE(eg.pending().empty());
    EXPECT_EQ(eg.find(add("f", {a})), eg.find(add("f", {b})));
}

// New nodes over parentless children skip the memo lookup and are indexed in
// a batch at the next lookup. Batches of every size (below, at and above the
// prefetch distance, and large enough to grow the index several times in one
// go) must leave every node findable under its own id.
class EgraphDeferredIndexBatch : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EgraphDeferredIndexBatch, EveryNodeStaysFindable) {
    const std::size_t batch = GetParam();
    EGraph eg;
    std::vector<Id> chain{leaf(eg, "x")};
    std::vector<std::size_t> marks;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t k = 0; k < batch; ++k) chain.push_back(node(eg, "k", {chain.back()}));
        marks.push_back(chain.size());
        // The lookup flushes the batch; the chain's head is the newest node.
        EXPECT_EQ(eg.lookup(SymbolLang(sym("k"), {chain[chain.size() - 2]})), std::optional<Id>(chain.back()));
    }
    EXPECT_EQ(eg.memo_len(), chain.size());
    for (std::size_t k = 1; k < chain.size(); ++k)
        ASSERT_EQ(eg.lookup(SymbolLang(sym("k"), {chain[k - 1]})), std::optional<Id>(chain[k])) << k;
    EXPECT_EQ(eg.lookup(SymbolLang(sym("k"), {chain.back()})), std::nullopt);
    const std::size_t ids = eg.id_count();
    for (const std::size_t m : marks) EXPECT_EQ(node(eg, "k", {chain[m - 2]}), chain[m - 1]);
    EXPECT_EQ(eg.id_count(), ids);
    EXPECT_EQ(eg.memo_len(), chain.size());
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, EgraphDeferredIndexBatch, ::testing::Values(1, 63, 64, 65, 1000, 70000));

// add canonicalizes the children of nodes of every arity: none, inline
// (one or two) and heap-held (three and more).
class EgraphAddArity : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EgraphAddArity, ChildrenAreCanonicalAndHashConsed) {
    const std::size_t arity = GetParam();
    EGraph eg;
    const Id x = leaf(eg, "x"), y = leaf(eg, "y");
    node(eg, "p", {x});  // x has more parents, so it survives the union
    eg.union_(x, y);
    ASSERT_EQ(eg.find(y), x);
    std::vector<Id> kids(arity, y);
    const Id n = eg.add(SymbolLang(sym("n"), kids));
    const EClass& cls = eg[n];
    ASSERT_EQ(cls.nodes.size(), 1u);
    EXPECT_EQ(cls.nodes[0], SymbolLang(sym("n"), std::vector<Id>(arity, x)));
    const std::size_t ids = eg.id_count();
    EXPECT_EQ(eg.add(SymbolLang(sym("n"), std::vector<Id>(arity, x))), n);
    EXPECT_EQ(eg.add(SymbolLang(sym("n"), kids)), n);
    EXPECT_EQ(eg.id_count(), ids);
}

INSTANTIATE_TEST_SUITE_P(Arities, EgraphAddArity, ::testing::Values(0, 1, 2, 3, 5));

}  // namespace
}  // namespace dagloom::egraph
