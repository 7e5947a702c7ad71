#include "egraph/runner.h"

#include <charconv>
#include <iostream>
#include <sstream>

#include "egraph/log.h"
#include "util/internal_error.h"

namespace dagloom::egraph {

namespace {

// Rust's Display/Debug for f64: shortest round-trip, ".0" for integral values.
std::string format_f64(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, res.ptr);
    if (s == "inf") return "inf";
    if (s == "-inf") return "-inf";
    if (s == "nan" || s == "-nan") return "NaN";
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

double seconds_since(Runner::Clock::time_point t) {
    return std::chrono::duration<double>(Runner::Clock::now() - t).count();
}

std::size_t total_substs(const std::vector<SearchMatches>& ms) {
    std::size_t n = 0;
    for (const SearchMatches& m : ms) n += m.substs.size();
    return n;
}

}  // namespace

std::string debug_string(const StopReason& r) {
    switch (r.kind) {
        case StopReason::Kind::Saturated: return "Saturated";
        case StopReason::Kind::IterationLimit: return "IterationLimit(" + std::to_string(r.count) + ")";
        case StopReason::Kind::NodeLimit: return "NodeLimit(" + std::to_string(r.count) + ")";
        case StopReason::Kind::TimeLimit: return "TimeLimit(" + format_f64(r.seconds) + ")";
        case StopReason::Kind::Other: return "Other(" + debug_quote(r.text) + ")";
    }
    return "?";
}

// ---------------------------------------------------------------- BackoffScheduler

RuleStats& BackoffScheduler::rule_stats(GlobalSymbol name) {
    return stats_.entry(name, RuleStats{0, 0, 0, initial_match_limit_, initial_ban_length_});
}

std::optional<std::size_t> BackoffScheduler::search_limit(std::size_t iteration, GlobalSymbol rule) {
    RuleStats& s = rule_stats(rule);
    if (iteration < s.banned_until) {
        DAGLOOM_LOG(Debug, "Skipping ", rule, " (", s.times_searched, "-", s.ban_count, "), banned until ",
                    s.banned_until, "...");
        return std::nullopt;
    }
    // checked_shl: only a shift of 64 or more bits fails; bits shifted out are lost.
    if (s.ban_count >= 64) fail("called `Option::unwrap()` on a `None` value");
    const std::size_t threshold = s.match_limit << s.ban_count;
    return threshold == SIZE_MAX ? SIZE_MAX : threshold + 1;
}

bool BackoffScheduler::admit(std::size_t iteration, GlobalSymbol rule, std::size_t total) {
    RuleStats& s = rule_stats(rule);
    const std::size_t threshold = s.match_limit << s.ban_count;
    if (total > threshold) {
        const std::size_t ban_length = s.ban_length << s.ban_count;
        s.ban_count += 1;
        s.banned_until = iteration + ban_length;
        DAGLOOM_LOG(Info, "Banning ", rule, " (", s.times_searched, "-", s.ban_count, ") for ", ban_length,
                    " iters: ", threshold, " < ", total);
        return false;
    }
    s.times_searched += 1;
    return true;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                            const Rewrite& rewrite) {
    const std::optional<std::size_t> limit = search_limit(iteration, rewrite.name);
    if (!limit) return {};
    std::vector<SearchMatches> matches = rewrite.search_with_limit(egraph, *limit);
    if (!admit(iteration, rewrite.name, total_substs(matches))) return {};
    return matches;
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
    const std::size_t n_stats = stats_.size();
    std::vector<std::pair<GlobalSymbol, RuleStats*>> banned;
    for (auto& [name, s] : stats_)
        if (s.banned_until > iteration) banned.emplace_back(name, &s);
    if (banned.empty()) return true;

    std::size_t min_ban = SIZE_MAX;
    for (const auto& b : banned) min_ban = std::min(min_ban, b.second->banned_until);
    if (!(min_ban >= iteration)) fail("assertion failed: min_ban >= iteration");
    const std::size_t delta = min_ban - iteration;

    std::vector<GlobalSymbol> unbanned;
    for (auto& [name, s] : banned) {
        s->banned_until -= delta;
        if (s->banned_until == iteration) unbanned.push_back(name);
    }
    if (unbanned.empty()) fail("assertion failed: !unbanned.is_empty()");
    if (log::enabled(log::Level::Info)) {
        std::ostringstream names;
        for (std::size_t k = 0; k < unbanned.size(); ++k) names << (k ? ", " : "") << unbanned[k];
        log::detail::emit(log::Level::Info, log::cat("Banned ", banned.size(), "/", n_stats, ", fast-forwarded by ",
                                                     delta, " to unban ", names.str()));
    }
    return false;
}

// ---------------------------------------------------------------- Runner

Runner& Runner::run(const std::vector<Rewrite>& rules) {
    std::vector<const Rewrite*> refs;
    refs.reserve(rules.size());
    for (const Rewrite& r : rules) refs.push_back(&r);
    return run(std::span<const Rewrite* const>(refs));
}

void Runner::check_rules(std::span<const Rewrite* const> rules) {
    NameMap<std::size_t> counts;
    for (const Rewrite* r : rules) counts.entry(r->name) += 1;
    bool any = false;
    for (const auto& [name, n] : counts) any = any || n > 1;
    if (!any) return;
    std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling." << std::endl;
    DAGLOOM_LOG(Warn, "Duplicated rule names may affect rule reporting and scheduling.");
    for (const auto& [name, n] : counts) {
        if (n <= 1) continue;
        std::cerr << "Rule '" << name << "' appears " << n << " times" << std::endl;
        DAGLOOM_LOG(Warn, "Rule '", name, "' appears ", n, " times");
    }
}

Runner& Runner::run(std::span<const Rewrite* const> rules) {
    check_rules(rules);
    egraph.rebuild();
    for (;;) {
        Iteration iter = run_one(rules);
        std::optional<StopReason> stop = iter.stop_reason;
        iterations.push_back(std::move(iter));
        if (!stop) stop = check_limits();
        if (stop) {
            DAGLOOM_LOG(Info, "Stopping: ", debug_string(*stop));
            stop_reason = std::move(stop);
            break;
        }
    }
    if (iterations.empty()) fail("assertion failed: !self.iterations.is_empty()");
    if (!stop_reason) fail("assertion failed: self.stop_reason.is_some()");
    return *this;
}

std::optional<StopReason> Runner::check_limits() const {
    const double elapsed = seconds_since(*start_time);
    if (elapsed > std::chrono::duration<double>(time_limit).count()) return StopReason::time_limit(elapsed);
    const std::size_t size = egraph.memo_len();
    if (size > node_limit) return StopReason::node_limit(size);
    if (iterations.size() >= iter_limit) return StopReason::iteration_limit(iterations.size());
    return std::nullopt;
}

Iteration Runner::run_one(std::span<const Rewrite* const> rules) {
    if (stop_reason) fail("assertion failed: self.stop_reason.is_none()");
    const std::size_t i = iterations.size();
    DAGLOOM_LOG(Info, "\nIteration ", i);
    if (!start_time) start_time = Clock::now();

    Iteration iter;
    std::optional<StopReason> result = check_limits();
    const std::size_t egraph_nodes = egraph.memo_len();
    const std::size_t egraph_classes = egraph.class_count();
    iter.memo_size_before = egraph_nodes;
    iter.class_count_before = egraph_classes;

    if (!result) {
        for (Hook& hook : hooks) {
            Result<Unit, std::string> r = hook(*this);
            if (!r.ok()) {
                result = StopReason::other(r.error());
                break;
            }
        }
    }
    const std::size_t nodes_after_hooks = egraph.memo_len();
    const std::size_t classes_after_hooks = egraph.class_count();

    const auto search_start = Clock::now();
    std::vector<std::vector<SearchMatches>> matches;
    if (!result) {
        matches.reserve(rules.size());
        for (const Rewrite* rw : rules) {
            matches.push_back(scheduler_.search_rewrite(i, egraph, *rw));
            result = check_limits();
            if (result) break;
        }
    }
    iter.search_time = seconds_since(search_start);
    DAGLOOM_LOG(Info, "Search time: ", format_f64(iter.search_time));

    const auto apply_start = Clock::now();
    if (!result) {
        for (std::size_t k = 0; k < rules.size() && k < matches.size(); ++k) {
            const Rewrite& rw = *rules[k];
            DAGLOOM_LOG(Debug, "Applying ", rw.name, " ", total_substs(matches[k]), " times");
            const std::size_t n = rw.apply(egraph, matches[k]).size();
            if (n > 0) {
                iter.applied.entry(rw.name) += n;
                DAGLOOM_LOG(Debug, "Applied ", rw.name, " ", n, " times");
            }
            result = check_limits();
            if (result) break;
        }
    }
    matches.clear();
    iter.apply_time = seconds_since(apply_start);
    DAGLOOM_LOG(Info, "Apply time: ", format_f64(iter.apply_time));

    const auto rebuild_start = Clock::now();
    iter.rebuild_unions = egraph.rebuild();
    iter.rebuild_time = seconds_since(rebuild_start);
    DAGLOOM_LOG(Info, "Rebuild time: ", format_f64(iter.rebuild_time));
    DAGLOOM_LOG(Info, "Size: n=", egraph.memo_len(), ", e=", egraph.class_count());
    iter.total_time = seconds_since(search_start);

    const bool can_be_saturated = iter.applied.empty() && scheduler_.can_stop(i) &&
                                  egraph_nodes == nodes_after_hooks && egraph_classes == classes_after_hooks &&
                                  egraph_nodes == egraph.memo_len() && egraph_classes == egraph.class_count();
    if (can_be_saturated && !result) result = StopReason::saturated();

    iter.stop_reason = std::move(result);
    return iter;
}

}  // namespace dagloom::egraph
