// Reduction of a graph to a minimal staged form, with its report.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/engine_graph.h"
#include "optimizer/trace.h"
#include "store/graph_store.h"
#include "util/result.h"

namespace dagloom {

struct ReductionReport {
    std::size_t input_nodes = 0;
    std::size_t reachable_nodes = 0;
    std::size_t canonical_nodes = 0;
    std::size_t stages = 0;
    std::size_t reduced_nodes = 0;
    std::size_t boundary_nodes = 0;
    friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

struct Reduced {
    std::vector<NodeKey> nodes;     // inputs are positions of earlier entries
    std::vector<uint64_t> outputs;  // positions into nodes, one per requested output
    ReductionReport report;
};

// dead-code elimination, token table, engine graph, one canonicalize, cse,
// stage fusion. `nodes` is in id order with inputs below their node.
// Opaque keys whose tokens coincide stay apart (see PackedInputBuilder).
Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs,
                         const RewriteEngine& engine, bool maximal_fusion);
// The same over a packed table, read in place.
Reduced reduce_with_mode(const NodeTable& nodes, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                         bool maximal_fusion);

struct ReducedStore {
    std::unique_ptr<GraphStore> store;
    ReductionReport report;
};

// Interns the reduced nodes into a new store and marks its outputs.
ReducedStore from_reduced(Reduced reduced);

// reduce_with_mode over an interned table (no two keys equal), read in place
// and reduced straight into a new store: the same store and report as
// from_reduced(reduce_with_mode(nodes, ...)), without a key per reduced node.
// `mirrors_merged`: the table holds no commutative node beside its mirror
// (see PackedGraph). A trace receives where every phase put each node.
ReducedStore reduce_table(const NodeTable& nodes, const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                          bool maximal_fusion, bool mirrors_merged = false, ReductionTrace* trace = nullptr);

// Against the store's marked outputs.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion);
// Against exactly `outputs`; the first id that names no node fails before any phase.
Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, const std::vector<NodeId>& outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion);

struct TracedStore {
    ReducedStore reduced;
    Origins origins;
};
// reduce_with (`outputs` null) or reduce_with_outputs, the same reduction,
// also saying where each of the store's nodes went. The engine must trace
// (canonicalize_packed with a trace).
Result<TracedStore, BadNodeId> reduce_traced(const GraphStore& store, const std::vector<NodeId>* outputs,
                                             const RewriteEngine& engine, bool maximal_fusion);

// The six (key, count) pairs in report order: "input_nodes", "reachable_nodes",
// "canonical_nodes", "stages", "reduced_nodes", "boundary_nodes".
std::vector<std::pair<std::string, std::size_t>> report_to_map(const ReductionReport& report);

}  // namespace dagloom
