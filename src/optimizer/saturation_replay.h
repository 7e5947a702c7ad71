// The saturation run of a rule set made only of commutativity rules (an
// operator's two children swapped) and identity rules (a one-child operator
// equal to its child), worked out without building an e-graph.
//
// For such rules the state of the run depends only on which rules have been
// applied so far: an applied commutativity rule leaves every node of its
// operator beside its mirror, an applied identity rule merges every node of
// its operator with its child, and neither creates a node another rule could
// match. The classes of that state are the congruence closure under the
// applied rules, which one bottom-up hash-consing pass computes: identity
// nodes take their child's class, commutative nodes are keyed with their
// child classes sorted. The same pass counts each rule's matches (the
// distinct class nodes of its operator), so the scheduler can be replayed
// decision for decision: bans, unbans and the iteration limit fall where the
// e-graph run would put them.
//
// The one limit the replay cannot follow exactly is the node limit: the
// e-graph's node count includes keys left behind by merges. The replay
// bounds that count from above and declines (returns nothing) when the bound
// exceeds the limit, and the caller then runs the e-graph. The time limit is not
// replayed: the replay is linear and never needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "egraph/symbol.h"
#include "optimizer/packed_graph.h"
#include "optimizer/rule_set.h"
#include "util/memory.h"

namespace dagloom {

struct ReplayRule {
    egraph::GlobalSymbol name;  // the scheduler keeps its statistics by name
    RuleKind kind;
};

inline constexpr uint8_t kNoRule = 0xff;

// The rules of rule_table() as the replay sees them, in search order.
std::vector<ReplayRule> replay_rule_set();
// Per text of `texts`, the rule of rule_table() whose searcher has it as
// its operator, or kNoRule.
std::vector<uint8_t> replay_rule_of_text(const TextTable& texts);

struct ReplayResult {
    ScratchVector<uint32_t> classes;  // per node, the lowest index of its class when the run stops
    // At least the number of nodes the e-graph would hold when the run
    // stops; the replay is only the run's result while this stays within
    // the run's node limit.
    uint64_t node_bound = 0;
    // Per iteration run, the rules the scheduler let apply (bit r for rule r).
    std::vector<uint64_t> admitted;
};

// When the run works out the state of the rules it has applied: when the
// scheduler's decisions cannot be told without it (the run's way), or after
// every change, which tests compare it with.
enum class ReplayStates : uint8_t { WhenNeeded, Every };

// An upper bound on the node count (memo keys) of the e-graph that ends,
// over `graph`, with the classes `cls` (per node, the lowest index of its
// class), where commutativity has added at most added[i] mirrors beside
// node i.
uint64_t egraph_node_bound(const PackedGraph& graph, std::span<const uint32_t> cls, std::span<const uint8_t> added);

// Replays the run over `graph`. `rules` are in the order the runner
// searches them (at most 64); rule_of_text[t] is the rule whose searcher has
// text t as its operator, or kNoRule.
ReplayResult replay_saturation(const PackedGraph& graph, std::span<const uint8_t> rule_of_text,
                               std::span<const ReplayRule> rules, std::size_t iteration_limit,
                               ReplayStates states = ReplayStates::WhenNeeded);

}  // namespace dagloom
