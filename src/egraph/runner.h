// Runner and backoff scheduler.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph_core.h"
#include "egraph/flat_index.h"
#include "egraph/pattern.h"
#include "util/result.h"

namespace dagloom::egraph {

struct StopReason {
    enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };
    Kind kind = Kind::Saturated;
    std::size_t count = 0;  // IterationLimit: iterations; NodeLimit: memo_len
    double seconds = 0;     // TimeLimit
    std::string text;       // Other

    static StopReason saturated() { return {}; }
    static StopReason iteration_limit(std::size_t n) { return {Kind::IterationLimit, n, 0, {}}; }
    static StopReason node_limit(std::size_t n) { return {Kind::NodeLimit, n, 0, {}}; }
    static StopReason time_limit(double s) { return {Kind::TimeLimit, 0, s, {}}; }
    static StopReason other(std::string t) { return {Kind::Other, 0, 0, std::move(t)}; }

    friend bool operator==(const StopReason&, const StopReason&) = default;
};
// Debug form: Saturated, IterationLimit(12), NodeLimit(10001), TimeLimit(5.0001), Other("text")
std::string debug_string(const StopReason& r);

// An insertion-ordered map from rule name to a value.
template <class V>
class NameMap {
public:
    V& entry(GlobalSymbol name, const V& init = V()) {
        const std::uint32_t next = static_cast<std::uint32_t>(items_.size());
        auto [e, inserted] =
            index_.find_or_insert(hash_id(name.raw()), next, [&](std::uint32_t i) { return items_[i].first == name; });
        if (inserted) items_.emplace_back(name, init);
        return items_[e].second;
    }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::pair<GlobalSymbol, V>> items_;
    FlatIndex index_;
};

struct Iteration {
    NameMap<std::size_t> applied;  // rule name -> merges, in application order
    std::size_t memo_size_before = 0;
    std::size_t class_count_before = 0;
    double search_time = 0;
    double apply_time = 0;
    double rebuild_time = 0;
    double total_time = 0;
    std::size_t rebuild_unions = 0;
    std::optional<StopReason> stop_reason;
};

struct RuleStats {
    std::size_t times_searched = 0;
    std::size_t banned_until = 0;
    std::size_t ban_count = 0;
    std::size_t match_limit = 0;
    std::size_t ban_length = 0;
    friend bool operator==(const RuleStats&, const RuleStats&) = default;
};

class BackoffScheduler {
public:
    std::size_t initial_match_limit() const { return initial_match_limit_; }
    std::size_t initial_ban_length() const { return initial_ban_length_; }

    // Created with (0, 0, 0, initial_match_limit, initial_ban_length) when missing.
    RuleStats& rule_stats(GlobalSymbol name);
    const NameMap<RuleStats>& stats_by_rule() const { return stats_; }

    bool can_stop(std::size_t iteration);
    // search_rewrite in two halves, for a caller that counts a rule's matches
    // without searching and must follow the same schedule: the match limit
    // to search with, or nothing while the rule is banned; then whether the
    // `total` matches found under that limit are to be applied (false: the
    // rule is banned instead).
    std::optional<std::size_t> search_limit(std::size_t iteration, GlobalSymbol rule);
    bool admit(std::size_t iteration, GlobalSymbol rule, std::size_t total);
    std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                              const Rewrite& rewrite);

private:
    std::size_t initial_match_limit_ = 1000;
    std::size_t initial_ban_length_ = 5;
    NameMap<RuleStats> stats_;
};

class Runner {
public:
    using Hook = std::function<Result<Unit, std::string>(Runner&)>;
    using Clock = std::chrono::steady_clock;

    // Setters return the runner for chaining. A new runner has an empty
    // e-graph, limits 30 / 10000 / 5 s and a default BackoffScheduler.
    Runner& set_egraph(EGraph egraph) {
        this->egraph = std::move(egraph);
        return *this;
    }
    Runner& set_iter_limit(std::size_t n) {
        iter_limit = n;
        return *this;
    }
    Runner& set_node_limit(std::size_t n) {
        node_limit = n;
        return *this;
    }

    // Runs the rules to saturation or a limit; afterwards read egraph,
    // iterations and stop_reason.
    Runner& run(std::span<const Rewrite* const> rules);
    Runner& run(const std::vector<Rewrite>& rules);

    BackoffScheduler* backoff_scheduler() { return &scheduler_; }

    EGraph egraph;
    std::vector<Iteration> iterations;
    std::optional<StopReason> stop_reason;
    std::vector<Hook> hooks;
    std::vector<Id> roots;
    std::size_t iter_limit = 30;
    std::size_t node_limit = 10000;
    std::chrono::nanoseconds time_limit = std::chrono::seconds(5);
    std::optional<Clock::time_point> start_time;

private:
    Iteration run_one(std::span<const Rewrite* const> rules);
    std::optional<StopReason> check_limits() const;
    static void check_rules(std::span<const Rewrite* const> rules);

    BackoffScheduler scheduler_;
};

}  // namespace dagloom::egraph
