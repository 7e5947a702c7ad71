#include "optimizer/saturation_replay.h"

#include <algorithm>
#include <limits>

#include "egraph/flat_index.h"
#include "egraph/language.h"
#include "egraph/runner.h"

namespace dagloom {

namespace {

using egraph::FlatIndex;
using egraph::hash_word;

// The classes of one state of the run (the closure under the rules applied
// so far) and what the scheduler reads of it.
struct State {
    std::vector<uint32_t> cls;  // per node, the lowest index of its class
    std::vector<uint64_t> count;  // per rule, its matches: distinct class nodes of its operator and arity
    std::vector<uint8_t> unequal;  // per commutativity rule, a match with two different child classes
    // Per node of a commutativity rule not yet applied: 1 when its class
    // node's mirror is not a class node (applying the rule adds it).
    std::vector<uint8_t> mirror_missing;
};

struct RuleView {
    std::span<const uint8_t> rule_of_text;
    std::span<const ReplayRule> rules;

    // The rule whose searcher node i matches (operator and arity), or kNoRule.
    uint8_t rule_of(const PackedGraph& g, std::size_t i) const {
        const uint8_t r = rule_of_text[g.op[i]];
        if (r == kNoRule) return kNoRule;
        const std::size_t arity = g.child_start[i + 1] - g.child_start[i];
        return arity == (rules[r].kind == ReplayRule::Kind::Commute ? 2u : 1u) ? r : kNoRule;
    }
};

bool has(uint64_t mask, uint8_t r) { return (mask >> r) & 1u; }

// Marks the nodes of not yet applied commutativity rules whose mirror (the
// same operator over the swapped child classes) no node of the state has.
void mark_missing_mirrors(const PackedGraph& g, const RuleView& view, uint64_t applied, State& s) {
    const std::size_t n = g.size();
    s.mirror_missing.assign(n, 0);
    auto pending = [&](std::size_t i) {
        const uint8_t r = view.rule_of(g, i);
        return r != kNoRule && view.rules[r].kind == ReplayRule::Kind::Commute && !has(applied, r);
    };
    auto tuple_hash = [](uint32_t op, uint32_t a, uint32_t b) { return hash_word(hash_word(hash_word(0, op), a), b); };
    std::vector<uint32_t> nodes;
    for (std::size_t i = 0; i < n; ++i)
        if (pending(i)) nodes.push_back(static_cast<uint32_t>(i));
    if (nodes.empty()) return;
    auto a_of = [&](uint32_t i) { return s.cls[g.children_of(i)[0]]; };
    auto b_of = [&](uint32_t i) { return s.cls[g.children_of(i)[1]]; };
    FlatIndex index;
    index.reserve(nodes.size());
    for (uint32_t k = 0; k < nodes.size(); ++k) {
        const uint32_t i = nodes[k];
        index.find_or_insert(tuple_hash(g.op[i], a_of(i), b_of(i)), k, [&](uint32_t j) {
            const uint32_t o = nodes[j];
            return g.op[o] == g.op[i] && a_of(o) == a_of(i) && b_of(o) == b_of(i);
        });
    }
    for (const uint32_t i : nodes) {
        const uint32_t a = a_of(i), b = b_of(i);
        if (a == b) continue;  // its own mirror
        const uint32_t found = index.find(tuple_hash(g.op[i], b, a), [&](uint32_t j) {
            const uint32_t o = nodes[j];
            return g.op[o] == g.op[i] && a_of(o) == b && b_of(o) == a;
        });
        s.mirror_missing[i] = found == FlatIndex::kNone ? 1 : 0;
    }
}

// The state before any rule is applied, for a graph whose nodes are already
// distinct: every node is a class of its own, so nothing needs hashing.
State initial_distinct_state(const PackedGraph& g, const RuleView& view) {
    State s;
    const std::size_t n = g.size();
    s.cls.resize(n);
    s.count.assign(view.rules.size(), 0);
    s.unequal.assign(view.rules.size(), 0);
    for (std::size_t i = 0; i < n; ++i) {
        s.cls[i] = static_cast<uint32_t>(i);
        const uint8_t r = view.rule_of(g, i);
        if (r == kNoRule) continue;
        ++s.count[r];
        if (view.rules[r].kind == ReplayRule::Kind::Commute) {
            const std::span<const uint32_t> kids = g.children_of(i);
            s.unequal[r] |= kids[0] != kids[1] ? 1 : 0;
        }
    }
    mark_missing_mirrors(g, view, 0, s);
    return s;
}

// The state once the rules in `applied` have been applied: one bottom-up
// hash-consing pass. Children precede their node, so their classes are
// settled when the node is met, and a class's first node is its lowest.
State closure_state(const PackedGraph& g, const RuleView& view, uint64_t applied) {
    State s;
    const std::size_t n = g.size();
    s.cls.resize(n);
    s.count.assign(view.rules.size(), 0);
    s.unequal.assign(view.rules.size(), 0);

    // The distinct class nodes met so far: operator and child classes, flat.
    std::vector<uint32_t> words;
    std::vector<uint64_t> start{0};
    std::vector<uint32_t> value;  // the class each one belongs to
    words.reserve(g.children.size() + n);
    start.reserve(n + 1);
    value.reserve(n);
    FlatIndex index;
    index.reserve(n);

    std::vector<uint32_t> key;
    for (std::size_t i = 0; i < n; ++i) {
        key.clear();
        key.push_back(g.op[i]);
        for (uint32_t c : g.children_of(i)) key.push_back(s.cls[c]);
        const uint8_t r = view.rule_of(g, i);
        const bool applied_rule = r != kNoRule && has(applied, r);
        const bool commute = r != kNoRule && view.rules[r].kind == ReplayRule::Kind::Commute;
        if (commute) {
            s.unequal[r] |= key[1] != key[2] ? 1 : 0;
            // Both orders are class nodes of one class: key them as one.
            if (applied_rule && key[1] > key[2]) std::swap(key[1], key[2]);
        }
        uint64_t h = hash_word(0, key.size());
        for (uint32_t w : key) h = hash_word(h, w);
        const auto [e, inserted] = index.find_or_insert(h, static_cast<uint32_t>(value.size()), [&](uint32_t k) {
            const uint64_t b = start[k];
            return start[k + 1] - b == key.size() && std::equal(key.begin(), key.end(), words.begin() + b);
        });
        if (inserted) {
            words.insert(words.end(), key.begin(), key.end());
            start.push_back(words.size());
            // An applied identity node is its child's class; any other new
            // class node starts a class, with this node as its lowest.
            value.push_back(applied_rule && !commute ? key[1] : static_cast<uint32_t>(i));
            if (r != kNoRule) s.count[r] += applied_rule && commute && key[1] != key[2] ? 2 : 1;
        }
        s.cls[i] = value[e];
    }
    mark_missing_mirrors(g, view, applied, s);
    return s;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
    return a * b;
}

// An upper bound on the e-graph's node count (its memo keys) at the end of
// the run. Every key is some node's operator over the roots its children had
// at one moment; a child's root changes only when its class is absorbed, at
// most (ids in its final class - 1) times. The e-graph's nodes are the
// graph's own and the mirrors commutativity adds, at most `added[i]` beside
// node i's.
uint64_t node_count_bound(const PackedGraph& g, const State& final_state, const std::vector<uint8_t>& added) {
    const std::size_t n = g.size();
    std::vector<uint64_t> ids(n, 0);  // per class (by its lowest index)
    for (std::size_t i = 0; i < n; ++i) ids[final_state.cls[i]] += 1 + uint64_t{added[i]};
    uint64_t bound = 0;
    for (std::size_t i = 0; i < n; ++i) {
        uint64_t keys = 1;  // the node's first key
        for (uint32_t c : g.children_of(i)) keys = saturating_add(keys, ids[final_state.cls[c]] - 1);
        bound = saturating_add(bound, saturating_mul(1 + uint64_t{added[i]}, keys));
    }
    return bound;
}

// Per class of `before` (by its lowest index): 1 when `after` merges it with
// another class of `before`.
std::vector<uint8_t> merged_classes(const State& before, const State& after) {
    const std::size_t n = before.cls.size();
    constexpr uint32_t kUnset = ~uint32_t{0};
    std::vector<uint32_t> first(n, kUnset);  // per class of `after`: a class of `before` in it
    std::vector<uint8_t> multi(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (before.cls[i] != i) continue;
        uint32_t& f = first[after.cls[i]];
        if (f == kUnset) f = static_cast<uint32_t>(i);
        else multi[after.cls[i]] = 1;
    }
    std::vector<uint8_t> merged(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (before.cls[i] == i) merged[i] = multi[after.cls[i]];
    return merged;
}

}  // namespace

ReplayResult replay_saturation(const PackedGraph& graph, std::span<const uint8_t> rule_of_text,
                               std::span<const ReplayRule> rules, std::size_t iteration_limit) {
    const RuleView view{rule_of_text, rules};
    State state = graph.distinct ? initial_distinct_state(graph, view) : closure_state(graph, view, 0);
    egraph::BackoffScheduler scheduler;
    uint64_t applied = 0;
    // Mirrors commutativity may add beside each node's class node: the ones
    // missing when its rule is first applied; and when an application
    // follows merges made earlier in its iteration, one per match whose
    // child classes took part (its mirror is looked up under the merged
    // children, which the e-graph has not re-keyed yet).
    std::vector<uint8_t> added(graph.size(), 0);
    auto add_to = [&](std::size_t i, unsigned k) { added[i] = static_cast<uint8_t>(std::min(255u, added[i] + k)); };
    std::vector<uint8_t> admitted(rules.size());
    struct Application {
        uint8_t rule;
        bool first;
    };
    std::vector<Application> after_merges;
    for (std::size_t iteration = 0; iteration < iteration_limit; ++iteration) {
        // Search: the scheduler sees each rule's match count, cut at its limit.
        for (std::size_t r = 0; r < rules.size(); ++r) {
            const std::optional<std::size_t> limit = scheduler.search_limit(iteration, rules[r].name);
            admitted[r] = limit && scheduler.admit(iteration, rules[r].name,
                                                   static_cast<std::size_t>(std::min<uint64_t>(state.count[r], *limit)));
        }
        // Apply, in rule order. A rule changes the e-graph only the first
        // time it is applied, and then only when it has a match that is not
        // its own mirror, or any identity match at all.
        bool changed = false;
        uint64_t next = applied;
        after_merges.clear();
        for (std::size_t r = 0; r < rules.size(); ++r) {
            if (!admitted[r]) continue;
            const uint8_t rule = static_cast<uint8_t>(r);
            const bool first = !has(applied, rule);
            if (rules[r].kind == ReplayRule::Kind::Commute) {
                if (changed) {
                    after_merges.push_back(Application{rule, first});
                } else if (first) {
                    for (std::size_t i = 0; i < graph.size(); ++i)
                        if (view.rule_of(graph, i) == rule) add_to(i, state.mirror_missing[i]);
                }
                changed = changed || (first && state.unequal[r] != 0);
            } else {
                changed = changed || (first && state.count[r] != 0);
            }
            next |= uint64_t{1} << r;
        }
        applied = next;
        if (!changed) {
            if (scheduler.can_stop(iteration)) break;  // saturated
            continue;
        }
        State before = std::move(state);
        state = closure_state(graph, view, applied);
        if (after_merges.empty()) continue;
        const std::vector<uint8_t> merged = merged_classes(before, state);
        for (const Application& a : after_merges) {
            for (std::size_t i = 0; i < graph.size(); ++i) {
                if (view.rule_of(graph, i) != a.rule) continue;
                bool touched = false;
                for (uint32_t c : graph.children_of(i)) touched = touched || merged[before.cls[c]] != 0;
                // A rule applied before has both orders as class nodes.
                if (touched) add_to(i, a.first ? 1 : 2);
                else if (a.first) add_to(i, before.mirror_missing[i]);
            }
        }
    }
    const uint64_t bound = node_count_bound(graph, state, added);
    return ReplayResult{std::move(state.cls), bound};
}

}  // namespace dagloom
