// The reduction phases over node keys and plain engine graphs, one string
// and child list per node, as they are specified. Reduction itself runs the
// packed forms; tests compare those with these, and use these to state
// their cases plainly.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/engine_graph.h"
#include "optimizer/stage_fusion.h"

namespace dagloom {

// Token text -> the first node in list order that carries it, with its
// inputs exactly as in that list.
using TokenTable = std::unordered_map<std::string, NodeKey>;
TokenTable build_token_table(const std::vector<NodeKey>& keys);

// One node per key, in order: op = token, children = the key's inputs,
// opaque unless the key is an Op. `outputs` is copied unchanged.
EngineGraph to_engine_graph(const std::vector<NodeKey>& keys, const std::vector<uint64_t>& outputs);

// What PackedInputBuilder hands the engine, in the plain form: the graph,
// and op text -> key to rebuild from (opaque keys only).
struct EngineInput {
    EngineGraph graph;
    TokenTable rebuild;
};
EngineInput to_distinct_engine_graph(const std::vector<NodeKey>& keys, std::vector<uint64_t> outputs);

// The nodes the outputs depend on, renumbered densely in id order, and the
// outputs as new indices (order and duplicates kept). An output or input
// that names no earlier node is an internal failure.
struct KeptGraph {
    std::vector<NodeKey> nodes;
    std::vector<uint64_t> outputs;
};
KeptGraph dead_code_elimination(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs);

// Merges nodes with byte-equal op text and equal (already merged) children;
// the opaque flag is not part of the identity. Outputs follow their nodes.
EngineGraph cse(const EngineGraph& graph);

// Stage fusion of a plain graph against `outputs`, rebuilding opaque nodes
// from `table`.
FusionResult stage_fusion(const EngineGraph& graph, const std::vector<uint64_t>& outputs, const TokenTable& table,
                          bool maximal_fusion);

}  // namespace dagloom
