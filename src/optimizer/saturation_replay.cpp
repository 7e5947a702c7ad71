#include "optimizer/saturation_replay.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "egraph/flat_index.h"
#include "egraph/language.h"
#include "egraph/runner.h"
#include "optimizer/small_key_table.h"
#include "util/memory.h"

namespace dagloom {

namespace {

using egraph::FlatIndex;
using egraph::hash_word;

bool has(uint64_t mask, uint8_t r) { return (mask >> r) & 1u; }

constexpr uint8_t kOwnMirror = 0, kMirrorMissing = 1, kMirrorPresent = 2;

class Replay {
public:
    Replay(const PackedGraph& g, std::span<const uint8_t> rule_of_text, std::span<const ReplayRule> rules);
    ReplayResult run(std::size_t iteration_limit, ReplayStates states);

private:
    bool commute(uint8_t r) const { return rules_[r].kind == RuleKind::Commute; }
    void initial_distinct_state();
    void close(uint64_t applied);
    // Node i's class node in the table: where its owner (the lowest node
    // with that class node) is kept, stored as i when new.
    struct Lookup {
        uint32_t* owner;
        bool inserted;
        uint32_t first_child;  // the class of the first child, 0 when none
        bool unequal;          // two children of different classes
    };
    Lookup look_up(std::size_t i, uint64_t applied, std::vector<uint32_t>& kids, std::vector<uint32_t>& key);
    // The child classes of node i's class node under the current classes
    // (sorted when its commutativity rule is applied).
    void class_node(std::size_t i, uint64_t applied, std::vector<uint32_t>& kids) const;
    // The same for a node SmallKeyTable::fits, as that table's key.
    SmallKeyTable::Key small_key(std::size_t i, uint64_t applied) const {
        const uint64_t b = g_.child_start[i], e = g_.child_start[i + 1];
        uint32_t x = e > b ? cls_[g_.children[b]] : 0;
        uint32_t y = e > b + 1 ? cls_[g_.children[b + 1]] : 0;
        const uint8_t r = rule_[i];
        if (r != kNoRule && commute(r) && has(applied, r) && x > y) std::swap(x, y);
        return SmallKeyTable::key(g_.op[i], e - b, x, y);
    }
    bool small(std::size_t i) const { return SmallKeyTable::fits(g_.child_start[i + 1] - g_.child_start[i]); }
    // Lists the nodes of the commutativity rules in `rules` (none applied
    // yet) and sets mirrors[i] for each: kOwnMirror, kMirrorMissing or
    // kMirrorPresent in the current state.
    void mark_mirrors(uint64_t rules, ScratchVector<uint32_t>& nodes, ScratchVector<uint8_t>& mirrors);
    // Makes the members the state of `applied`.
    void make_exact(uint64_t applied);
    void work_out_final();
    // Rule r's match count in the state of `applied` as the scheduler is to
    // see it against `limit` (it admits the rule when the count is below the
    // limit): the count itself where the bounds do not tell, else a bound on
    // the same side of the limit.
    uint64_t count_seen(uint8_t r, uint64_t applied, uint64_t limit);
    // Per class of `before` (by its lowest index): 1 when `after` merges it
    // with another of its classes.
    static ScratchVector<uint8_t> merged_since(const ScratchVector<uint32_t>& before,
                                               const ScratchVector<uint32_t>& after);

    const PackedGraph& g_;
    std::span<const ReplayRule> rules_;
    ScratchVector<uint8_t> rule_;  // per node, the rule whose searcher it matches (operator and arity), or kNoRule

    // Working a state out costs a pass over the graph, and the scheduler
    // mostly reads no more of it than whether a rule's match count is over
    // its limit. So the run works out the state of the rules it has applied
    // only where it must: until then, the counts of an earlier state bound
    // the current ones from above, and those of the state with every rule
    // applied from below (matches only merge as rules are added). A run that
    // ends with every rule applied then costs one pass, however its rules
    // were spread over the iterations.
    //
    // The last state worked out: the closure under the rules in `exact_`,
    // and what the scheduler reads of it.
    struct Tally {
        std::vector<uint64_t> count;     // per rule, its matches: distinct class nodes of its operator and arity
        std::vector<uint64_t> distinct;  // per rule, its distinct class nodes (`count` counts a mirror twice)
        std::vector<uint8_t> unequal;    // per commutativity rule, a match with two different child classes
        void clear(std::size_t rules) {
            count.assign(rules, 0);
            distinct.assign(rules, 0);
            unequal.assign(rules, 0);
        }
    };
    ScratchVector<uint32_t> cls_;  // per node, the lowest index of its class
    Tally tally_;
    uint64_t exact_ = 0;
    // The counts of the last state worked out for rules the run had applied
    // at the time: at least those of any later state, except that a
    // commutativity rule applied since may double its count.
    struct Counts {
        uint64_t rules = 0;
        std::vector<uint64_t> count;
    } upper_;
    // The state with every rule applied, once worked out.
    struct Final {
        ScratchVector<uint32_t> cls;
        Tally tally;
    };
    std::optional<Final> final_;
    uint64_t all_rules_ = 0;
    uint64_t rules_with_nodes_ = 0;  // the rules some node matches
    // The state's distinct class nodes with the owner of each (none for the
    // initial state of a distinct graph): short ones whole in `small_`,
    // longer ones flat in words_ (operator, then child classes). A class
    // node's class is its owner's, or for an applied identity operation its
    // child's.
    SmallKeyTable small_;
    std::vector<uint32_t> words_;
    std::vector<uint64_t> start_;
    std::vector<uint32_t> value_;  // per longer class node, its owner
    FlatIndex index_;
    uint64_t indexed_rules_ = 0;
    bool indexed_ = false;

    // Mirrors commutativity may add beside each node's class node (see run).
    ScratchVector<uint8_t> added_;
};

Replay::Replay(const PackedGraph& g, std::span<const uint8_t> rule_of_text, std::span<const ReplayRule> rules)
    : g_(g), rules_(rules), rule_(g.size(), kNoRule), added_(g.size(), 0) {
    tally_.clear(rules.size());
    for (std::size_t i = 0; i < g.size(); ++i) {
        const uint8_t r = rule_of_text[g.op[i]];
        if (r == kNoRule) continue;
        const std::size_t arity = g.child_start[i + 1] - g.child_start[i];
        if (arity == rule_arity(rules_[r].kind)) {
            rule_[i] = r;
            rules_with_nodes_ |= uint64_t{1} << r;
        }
    }
    all_rules_ = rules.size() >= 64 ? ~uint64_t{0} : (uint64_t{1} << rules.size()) - 1;
}

// Before any rule is applied, the nodes of a distinct graph are each a class
// of their own: nothing needs hashing.
void Replay::initial_distinct_state() {
    const std::size_t n = g_.size();
    cls_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        cls_[i] = static_cast<uint32_t>(i);
        const uint8_t r = rule_[i];
        if (r == kNoRule) continue;
        ++tally_.count[r];
        if (commute(r)) {
            const std::span<const uint32_t> kids = g_.children_of(i);
            tally_.unequal[r] |= kids[0] != kids[1] ? 1 : 0;
        }
    }
}

void Replay::class_node(std::size_t i, uint64_t applied, std::vector<uint32_t>& kids) const {
    kids.clear();
    for (uint32_t c : g_.children_of(i)) kids.push_back(cls_[c]);
    const uint8_t r = rule_[i];
    // Both orders are class nodes of one class: key them as one.
    if (r != kNoRule && commute(r) && has(applied, r) && kids[0] > kids[1]) std::swap(kids[0], kids[1]);
}

[[gnu::always_inline]] inline Replay::Lookup Replay::look_up(std::size_t i, uint64_t applied, std::vector<uint32_t>& kids,
                                      std::vector<uint32_t>& key) {
    const auto node = static_cast<uint32_t>(i);
    if (small(i)) {
        const SmallKeyTable::Key k = small_key(i, applied);
        const auto [owner, inserted] = small_.find_or_insert(k, SmallKeyTable::hash(k), node);
        return {owner, inserted, k.a, k.a != k.b};
    }
    class_node(i, applied, kids);
    key.assign(1, g_.op[i]);
    key.insert(key.end(), kids.begin(), kids.end());
    uint64_t h = hash_word(0, key.size());
    for (uint32_t w : key) h = hash_word(h, w);
    const auto [e, inserted] = index_.find_or_insert(h, static_cast<uint32_t>(value_.size()), [&](uint32_t k) {
        const uint64_t b = start_[k];
        return start_[k + 1] - b == key.size() && std::equal(key.begin(), key.end(), words_.begin() + b);
    });
    if (inserted) {
        words_.insert(words_.end(), key.begin(), key.end());
        start_.push_back(words_.size());
        value_.push_back(node);
    }
    return {&value_[e], inserted, kids.empty() ? 0 : kids[0], kids.size() == 2 && kids[0] != kids[1]};
}

// The state once the rules in `applied` have been applied: one bottom-up
// hash-consing pass. Children precede their node, so their classes are
// settled when the node is met, and a class's first node is its lowest.
void Replay::close(uint64_t applied) {
    const std::size_t n = g_.size();
    cls_.resize(n);
    tally_.clear(rules_.size());
    small_.reset(n, n);
    words_.clear();
    start_.assign(1, 0);
    value_.clear();
    index_.clear();

    std::vector<uint32_t> kids;
    std::vector<uint32_t> key;  // for longer nodes: operator, then child classes
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t r = rule_[i];
        const bool applied_rule = r != kNoRule && has(applied, r);
        const bool is_commute = r != kNoRule && commute(r);
        const Lookup l = look_up(i, applied, kids, key);
        // An applied identity node is its child's class; any other new class
        // node starts a class, with this node as its lowest.
        cls_[i] = applied_rule && !is_commute ? l.first_child : *l.owner;
        if (is_commute) tally_.unequal[r] |= l.unequal ? 1 : 0;
        if (l.inserted && r != kNoRule) {
            tally_.count[r] += applied_rule && is_commute && l.unequal ? 2 : 1;
            ++tally_.distinct[r];
        }
    }
    indexed_ = true;
    indexed_rules_ = applied;
    exact_ = applied;
}

// For the nodes of the commutativity rules in `rules` (none applied yet):
// whether a class node of the current state is their mirror.
void Replay::mark_mirrors(uint64_t rules, ScratchVector<uint32_t>& nodes, ScratchVector<uint8_t>& mirrors) {
    const std::size_t n = g_.size();
    for (std::size_t i = 0; i < n; ++i)
        if (rule_[i] != kNoRule && has(rules, rule_[i])) nodes.push_back(static_cast<uint32_t>(i));
    for (const uint32_t i : nodes) mirrors[i] = kOwnMirror;
    auto key_of = [&](std::size_t k) { return small_key(nodes[k], indexed_rules_); };
    auto mirror_of = [](SmallKeyTable::Key key) {
        std::swap(key.a, key.b);
        return key;
    };
    if (!indexed_ && g_.mirrors_merged) {
        // The initial state of a graph known to hold no mirrors: each node
        // lacks its mirror unless it is its own.
        for (const uint32_t i : nodes) {
            const std::span<const uint32_t> kids = g_.children_of(i);
            mirrors[i] = kids[0] == kids[1] ? kOwnMirror : kMirrorMissing;
        }
        return;
    }
    if (!indexed_) {
        // The initial state of a distinct graph: its nodes are its class
        // nodes, so index just the ones asked about.
        small_.reset(nodes.size(), g_.size());
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            const SmallKeyTable::Key key = key_of(k);
            small_.find_or_insert(key, SmallKeyTable::hash(key), 0);
        }
    }
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        const SmallKeyTable::Key key = key_of(k);
        if (key.a == key.b) continue;  // its own mirror
        const SmallKeyTable::Key mirror = mirror_of(key);
        mirrors[nodes[k]] = small_.contains(mirror, SmallKeyTable::hash(mirror)) ? kMirrorPresent : kMirrorMissing;
    }
}

ScratchVector<uint8_t> Replay::merged_since(const ScratchVector<uint32_t>& before,
                                            const ScratchVector<uint32_t>& after) {
    const std::size_t n = before.size();
    constexpr uint32_t kUnset = ~uint32_t{0};
    ScratchVector<uint32_t> first(n, kUnset);  // per current class: a class of `before` in it
    ScratchVector<uint8_t> multi(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (before[i] != i) continue;
        uint32_t& f = first[after[i]];
        if (f == kUnset) f = static_cast<uint32_t>(i);
        else multi[after[i]] = 1;
    }
    ScratchVector<uint8_t> merged(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (before[i] == i) merged[i] = multi[after[i]];
    return merged;
}

void Replay::make_exact(uint64_t applied) {
    if (exact_ != applied) {
        if (final_ && applied == all_rules_) {
            cls_ = final_->cls;
            tally_ = final_->tally;
            exact_ = applied;
            // The table keeps the state it was built for: none is read once
            // every rule has been applied.
        } else {
            close(applied);
        }
    }
    upper_ = Counts{applied, tally_.count};
}

void Replay::work_out_final() {
    if (final_) return;
    close(all_rules_);
    final_ = Final{cls_, tally_};
}

uint64_t Replay::count_seen(uint8_t r, uint64_t applied, uint64_t limit) {
    if (exact_ == applied) return std::min(tally_.count[r], limit);
    // A commutativity rule applied since the bounding state counts a
    // mirror beside each class node with two different children.
    const bool doubled = commute(r) && has(applied, r) && !has(upper_.rules, r);
    const uint64_t upper = upper_.count[r] * (doubled ? 2 : 1);
    if (upper < limit) return upper;
    work_out_final();
    // With every rule applied the count is at most its own; a commutativity
    // rule not yet applied counts its distinct class nodes alone.
    const uint64_t lower = commute(r) && !has(applied, r) ? final_->tally.distinct[r] : final_->tally.count[r];
    if (lower >= limit) return limit;
    make_exact(applied);
    return std::min(tally_.count[r], limit);
}

ReplayResult Replay::run(std::size_t iteration_limit, ReplayStates states) {
    if (g_.texts.size() >= SmallKeyTable::kMaxOps) return ReplayResult{{}, std::numeric_limits<uint64_t>::max(), {}};
    const bool every = states == ReplayStates::Every;
    std::vector<uint64_t> admitted_record;
    if (g_.distinct) initial_distinct_state();
    else close(0);
    upper_ = Counts{0, tally_.count};
    egraph::BackoffScheduler scheduler;
    uint64_t applied = 0;
    std::vector<uint8_t> admitted(rules_.size()), mirror_present(rules_.size());
    ScratchVector<uint8_t> mirrors(g_.size());
    ScratchVector<uint32_t> marked;  // the nodes mark_mirrors looked at this iteration
    ScratchVector<uint32_t> before;
    auto add_to = [&](std::size_t i, unsigned k) { added_[i] = static_cast<uint8_t>(std::min(255u, added_[i] + k)); };
    for (std::size_t iteration = 0; iteration < iteration_limit; ++iteration) {
        // Search: the scheduler sees each rule's match count, cut at its limit.
        uint64_t admitted_mask = 0;
        for (std::size_t r = 0; r < rules_.size(); ++r) {
            const std::optional<std::size_t> limit = scheduler.search_limit(iteration, rules_[r].name);
            admitted[r] = limit && scheduler.admit(iteration, rules_[r].name,
                                                   static_cast<std::size_t>(count_seen(static_cast<uint8_t>(r), applied, *limit)));
            admitted_mask |= uint64_t{admitted[r]} << r;
        }
        admitted_record.push_back(admitted_mask);
        // The commutativity rules about to be applied for the first time,
        // with matches: which of those lack their mirror. (A rule that some
        // node matches has a match in every state.)
        uint64_t first_commute = 0;
        for (uint8_t r = 0; r < rules_.size(); ++r)
            if (admitted[r] && commute(r) && !has(applied, r) && has(rules_with_nodes_, r)) first_commute |= uint64_t{1} << r;
        std::fill(mirror_present.begin(), mirror_present.end(), 0);
        marked.clear();
        if (first_commute) {
            // Mirrors are looked up in the state's table, and whether the
            // rule changes anything is read from it.
            make_exact(applied);
            mark_mirrors(first_commute, marked, mirrors);
            for (const uint32_t i : marked)
                if (mirrors[i] == kMirrorPresent) mirror_present[rule_[i]] = 1;
        }
        // Apply, in rule order. A rule changes the e-graph only the first
        // time it is applied, and then only when it has a match that is not
        // its own mirror, or any identity match at all. Classes merge only
        // where an identity match is applied or a mirror is already there;
        // a new mirror just joins its match's class.
        //
        // Commutativity adds the mirrors missing when it is first applied.
        // An application that follows merges made earlier in its iteration
        // looks its mirrors up under merged children, which the e-graph has
        // not re-keyed yet: each match whose child classes took part may
        // add a node (two class nodes per node once the rule has been applied).
        const uint64_t applied_before = applied;
        bool changed = false, merging = false;
        uint64_t first_clean = 0, first_after_merges = 0, again_after_merges = 0;
        for (std::size_t r = 0; r < rules_.size(); ++r) {
            if (!admitted[r]) continue;
            const uint8_t rule = static_cast<uint8_t>(r);
            const uint64_t bit = uint64_t{1} << r;
            const bool first = !has(applied, rule);
            if (commute(rule)) {
                if (merging) (first ? first_after_merges : again_after_merges) |= bit;
                else if (first) first_clean |= bit;
                // (A first application with matches made the state exact above.)
                const bool matches = has(first_commute, rule);
                changed = changed || (first && matches && tally_.unequal[r] != 0);
                merging = merging || (first && matches && mirror_present[r] != 0);
            } else {
                changed = changed || (first && has(rules_with_nodes_, rule));
                merging = merging || (first && has(rules_with_nodes_, rule));
            }
            applied |= bit;
        }
        for (const uint32_t i : marked)
            if (has(first_clean, rule_[i]) && mirrors[i] == kMirrorMissing) add_to(i, 1);
        if (!changed) {
            // The state of the rules now applied is the one before.
            if (exact_ == applied_before) {
                exact_ = applied;
                upper_.rules = applied;
            }
            if (scheduler.can_stop(iteration)) break;  // saturated
            continue;
        }
        if (!merging && !indexed_) {
            // Only new mirrors, over the nodes of a distinct graph: the
            // classes stay, and each mirror is a class node of its own.
            // (A change without merges is a first commutativity, which made
            // the state exact above.)
            for (const uint32_t i : marked)
                if (mirrors[i] == kMirrorMissing) ++tally_.count[rule_[i]];
            exact_ = applied;
            upper_ = Counts{applied, tally_.count};
            continue;
        }
        const uint64_t after_merges = first_after_merges | again_after_merges;
        if (!after_merges) {
            if (every) make_exact(applied);
            continue;  // else the new state is worked out when read
        }
        make_exact(applied_before);
        before = cls_;
        // Which classes the new state merges: those the state with every
        // rule applied merges are a superset, and the bound stays a bound.
        if (every) make_exact(applied);
        else work_out_final();
        const ScratchVector<uint8_t> merged = merged_since(before, every ? cls_ : final_->cls);
        for (std::size_t i = 0; i < g_.size(); ++i) {
            const uint8_t r = rule_[i];
            if (r == kNoRule || !has(after_merges, r)) continue;
            bool touched = false;
            for (uint32_t c : g_.children_of(i)) touched = touched || merged[before[c]] != 0;
            const bool first = has(first_after_merges, r);
            if (touched) add_to(i, first ? 1 : 2);
            else if (first && mirrors[i] == kMirrorMissing) add_to(i, 1);
        }
    }
    make_exact(applied);
    const uint64_t bound = egraph_node_bound(g_, cls_, added_);
    return ReplayResult{std::move(cls_), bound, std::move(admitted_record)};
}

}  // namespace

std::vector<ReplayRule> replay_rule_set() {
    std::vector<ReplayRule> rules;
    for (const Rule& rule : rule_table()) rules.push_back(ReplayRule{egraph::GlobalSymbol::from(rule.name), rule.kind});
    return rules;
}

std::vector<uint8_t> replay_rule_of_text(const TextTable& texts) {
    std::vector<uint8_t> rule_of_text(texts.size(), kNoRule);
    for (std::size_t r = 0; r < rule_table().size(); ++r) {
        const uint32_t t = texts.find(rule_table()[r].op_text);
        if (t != TextTable::kNone) rule_of_text[t] = static_cast<uint8_t>(r);
    }
    return rule_of_text;
}

ReplayResult replay_saturation(const PackedGraph& graph, std::span<const uint8_t> rule_of_text,
                               std::span<const ReplayRule> rules, std::size_t iteration_limit, ReplayStates states) {
    return Replay(graph, rule_of_text, rules).run(iteration_limit, states);
}

}  // namespace dagloom
