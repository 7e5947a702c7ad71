// Partitions a canonical engine graph into groups of operations and turns
// each group into one Stage node; every opaque node is rebuilt from the
// token table. The last phase of reduction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/engine_graph.h"
#include "optimizer/trace.h"
#include "store/node_table.h"

namespace dagloom {

struct FusionResult {
    std::vector<NodeKey> nodes;     // inputs are positions of earlier entries
    std::vector<uint64_t> outputs;  // one per requested output, in order
    std::size_t stages = 0;
    std::size_t boundary_nodes = 0;
};

// Single-use rule (maximal_fusion false): an operation joins its user when
// it has exactly one use, is no output, and the user is an operation.
// Maximal rule: an operation that is no output joins the group that all of
// its users (operations only) already share.
// In every group only the highest member is used outside it or is an
// output; groups are emitted in order of their highest member.
// Works against graph.outputs; opaque nodes are rebuilt by text id.
FusionResult stage_fusion(const PackedGraph& graph, const RebuildTable& table, bool maximal_fusion);

// The same again, each reduced node appended to `table` (empty) with
// append_unchecked as soon as it is made, so no key is built for a node
// the table holds as parts; `outputs` are positions in the table. A trace
// receives each graph node's place: the table position of the node that
// computes it and, for a stage, which member.
struct TableFusion {
    std::vector<uint64_t> outputs;
    std::size_t stages = 0;
    std::size_t boundary_nodes = 0;
};
TableFusion stage_fusion_into(const PackedGraph& graph, const RebuildTable& rebuild, bool maximal_fusion,
                              NodeTable& table, FusionTrace* trace = nullptr);

}  // namespace dagloom
