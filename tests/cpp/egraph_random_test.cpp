// Randomized check of saturation against a normal form: random terms over a
// few operators, rules for commutativity and an identity. Two terms are equal
// under the rules exactly when their normal forms are equal, where the
// normal form drops identity nodes and sorts the children of commutative
// operators bottom-up. After saturation the e-graph's classes must be
// exactly the normal-form classes.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "egraph/egraph.h"

namespace dagloom::egraph {
namespace {

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

struct Op {
    const char* name;
    int arity;
    bool commutative;
    bool identity;
};

const Op kOps[] = {
    {"op|add", 2, true, false},  {"op|mul", 2, true, false}, {"op|sub", 2, false, false},
    {"op|pow3", 3, false, false}, {"op|neg", 1, false, false}, {"op|id", 1, false, true},
};

class NormalForms {
public:
    int leaf(int k) { return intern(std::make_tuple(std::string("x") + std::to_string(k), -1, -1, -1)); }
    int make(const Op& op, std::vector<int> kids) {
        if (op.identity) return kids[0];
        if (op.commutative) std::sort(kids.begin(), kids.end());
        kids.resize(3, -1);
        return intern(std::make_tuple(std::string(op.name), kids[0], kids[1], kids[2]));
    }

private:
    using Key = std::tuple<std::string, int, int, int>;
    int intern(const Key& k) {
        auto [it, inserted] = ids_.emplace(k, static_cast<int>(ids_.size()));
        return it->second;
    }
    std::map<Key, int> ids_;
};

void check_seed(std::uint64_t seed, int n_terms, int n_leaves) {
    std::mt19937_64 rng(seed);
    EGraph eg;
    NormalForms nf;
    std::vector<Id> ids;
    std::vector<int> forms;
    for (int k = 0; k < n_leaves; ++k) {
        ids.push_back(eg.add(SymbolLang(GlobalSymbol::from("x" + std::to_string(k)))));
        forms.push_back(nf.leaf(k));
    }
    for (int t = 0; t < n_terms; ++t) {
        const Op& op = kOps[rng() % std::size(kOps)];
        std::vector<Id> kids;
        std::vector<int> kid_forms;
        for (int c = 0; c < op.arity; ++c) {
            // Prefer recent terms so that terms get deep.
            const std::size_t span = std::min<std::size_t>(ids.size(), 12);
            const std::size_t pick = rng() % 3 == 0 ? rng() % ids.size() : ids.size() - 1 - rng() % span;
            kids.push_back(ids[pick]);
            kid_forms.push_back(forms[pick]);
        }
        ids.push_back(eg.add(SymbolLang(GlobalSymbol::from(op.name), kids)));
        forms.push_back(nf.make(op, kid_forms));
    }

    std::vector<Rewrite> rules{
        rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)"),
        rule("commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)"),
        rule("identity", "(op|id ?x)", "?x"),
    };
    Runner runner;
    runner.set_egraph(std::move(eg)).set_iter_limit(200).set_node_limit(1000000);
    runner.run(rules);
    ASSERT_EQ(runner.stop_reason, StopReason::saturated()) << "seed " << seed;
    const EGraph& out = runner.egraph;

    std::map<int, Id> class_of_form;
    std::map<Id, int> form_of_class;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const Id c = out.find(ids[k]);
        auto [f_it, f_new] = class_of_form.emplace(forms[k], c);
        ASSERT_EQ(f_it->second, c) << "seed " << seed << ": equal normal forms in different classes (term " << k
                                   << ")";
        auto [c_it, c_new] = form_of_class.emplace(c, forms[k]);
        ASSERT_EQ(c_it->second, forms[k]) << "seed " << seed << ": different normal forms merged (term " << k
                                          << ")";
    }
    // Invariants of a clean e-graph.
    EXPECT_TRUE(out.is_clean());
    for (const EClass& cls : out.classes()) {
        for (std::size_t k = 0; k < cls.nodes.size(); ++k) {
            if (k) {
                EXPECT_LT(cls.nodes[k - 1], cls.nodes[k]);
            }
            for (Id c : cls.nodes[k].children()) EXPECT_EQ(out.find(c), c);
            EXPECT_EQ(out.lookup(cls.nodes[k]), std::optional<Id>(cls.id));
        }
    }
}

TEST(EgraphRandom, CommutativityMatchesSortedNormalForm) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        check_seed(seed * 0x9e3779b97f4a7c15ULL, 120, 3);
        if (HasFatalFailure()) return;
    }
}

TEST(EgraphRandom, FewLeavesManyCollisions) {
    for (std::uint64_t seed = 100; seed < 110; ++seed) {
        check_seed(seed, 300, 2);
        if (HasFatalFailure()) return;
    }
}

// Random unions: after rebuild the partition is closed under congruence and
// matches a naive fixpoint computed on the side.
TEST(EgraphRandom, RebuildComputesCongruenceClosure) {
    for (std::uint64_t seed = 7; seed < 27; ++seed) {
        std::mt19937_64 rng(seed);
        EGraph eg;
        struct T {
            int op;
            std::vector<std::size_t> kids;
        };
        std::vector<T> terms;
        std::vector<Id> ids;
        const char* ops[] = {"f", "g", "h"};
        for (int k = 0; k < 6; ++k) {
            terms.push_back({-1 - k, {}});
            ids.push_back(eg.add(SymbolLang(GlobalSymbol::from("l" + std::to_string(k)))));
        }
        for (int k = 0; k < 150; ++k) {
            const int op = static_cast<int>(rng() % 3);
            const int arity = 1 + static_cast<int>(rng() % 2);
            T t{op, {}};
            std::vector<Id> kids;
            for (int c = 0; c < arity; ++c) {
                const std::size_t pick = rng() % ids.size();
                t.kids.push_back(pick);
                kids.push_back(ids[pick]);
            }
            const Id id = eg.add(SymbolLang(GlobalSymbol::from(ops[op]), kids));
            terms.push_back(t);
            ids.push_back(id);
        }
        // Naive union-find over term indices.
        std::vector<std::size_t> rep(terms.size());
        for (std::size_t k = 0; k < rep.size(); ++k) rep[k] = k;
        auto root = [&](std::size_t k) {
            while (rep[k] != k) k = rep[k];
            return k;
        };
        for (int u = 0; u < 8; ++u) {
            const std::size_t a = rng() % terms.size(), b = rng() % terms.size();
            eg.union_(ids[a], ids[b]);
            rep[root(a)] = root(b);
        }
        eg.rebuild();
        bool changed = true;
        while (changed) {
            changed = false;
            for (std::size_t a = 0; a < terms.size(); ++a)
                for (std::size_t b = a + 1; b < terms.size(); ++b) {
                    if (root(a) == root(b) || terms[a].op != terms[b].op || terms[a].op < 0) continue;
                    if (terms[a].kids.size() != terms[b].kids.size()) continue;
                    bool same = true;
                    for (std::size_t c = 0; c < terms[a].kids.size(); ++c)
                        same = same && root(terms[a].kids[c]) == root(terms[b].kids[c]);
                    if (same) {
                        rep[root(a)] = root(b);
                        changed = true;
                    }
                }
        }
        for (std::size_t a = 0; a < terms.size(); ++a)
            for (std::size_t b = a + 1; b < terms.size(); ++b)
                ASSERT_EQ(root(a) == root(b), eg.find(ids[a]) == eg.find(ids[b])) << seed << " " << a << " " << b;
    }
}

// Rebuild re-indexes only the classes that changed when few did, and every
// class when many did; either way, after each rebuild the class node lists
// must be canonical, sorted and free of repeats, and the op index must list
// exactly the live classes holding each op, ascending. Rounds of adds and
// unions keep the e-graph growing, so later rounds see a mix of old and new
// classes. Parameter: (seed, unions per round).
class RebuildIndex : public ::testing::TestWithParam<std::tuple<std::uint64_t, int>> {};

TEST_P(RebuildIndex, MatchesAFreshScanAfterEveryRound) {
    const auto [seed, unions] = GetParam();
    std::mt19937_64 rng(seed);
    const std::vector<GlobalSymbol> ops = {GlobalSymbol::from("f"), GlobalSymbol::from("g"),
                                           GlobalSymbol::from("h"), GlobalSymbol::from("l0"),
                                           GlobalSymbol::from("l1"), GlobalSymbol::from("l2")};
    EGraph eg;
    std::vector<Id> ids;
    for (int k = 3; k < 6; ++k) ids.push_back(eg.add(SymbolLang(ops[static_cast<std::size_t>(k)])));
    for (int round = 0; round < 12; ++round) {
        for (int k = 0; k < 40; ++k) {
            const GlobalSymbol op = ops[rng() % 3];
            std::vector<Id> kids;
            for (std::size_t c = 0, arity = 1 + rng() % 2; c < arity; ++c) kids.push_back(ids[rng() % ids.size()]);
            ids.push_back(eg.add(SymbolLang(op, kids)));
        }
        for (int u = 0; u < unions; ++u) eg.union_(ids[rng() % ids.size()], ids[rng() % ids.size()]);
        eg.rebuild();

        std::vector<std::vector<Id>> expected(ops.size());
        for (const EClass& cls : eg.classes()) {
            ASSERT_EQ(eg.find(cls.id), cls.id);
            for (std::size_t k = 0; k < cls.nodes.size(); ++k) {
                for (Id c : cls.nodes[k].children()) ASSERT_EQ(eg.find(c), c) << "round " << round;
                if (k > 0) {
                    ASSERT_TRUE(cls.nodes[k - 1] < cls.nodes[k]) << "round " << round;
                }
            }
            for (std::size_t o = 0; o < ops.size(); ++o)
                for (const SymbolLang& n : cls.nodes)
                    if (n.op == ops[o]) {
                        expected[o].push_back(cls.id);
                        break;
                    }
        }
        for (std::size_t o = 0; o < ops.size(); ++o) {
            const std::span<const Id> got = eg.classes_with_op(ops[o]);
            EXPECT_EQ(std::vector<Id>(got.begin(), got.end()), expected[o]) << "round " << round << " op " << o;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FewAndManyUnions, RebuildIndex,
                         ::testing::Combine(::testing::Values(std::uint64_t{3}, std::uint64_t{4}, std::uint64_t{5}),
                                            ::testing::Values(0, 1, 4, 60)));

}  // namespace
}  // namespace dagloom::egraph
