// The engine-neutral graph form handed to a rewrite engine.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/node_key.h"

namespace dagloom {

struct EngineNode {
    std::string op;                  // the key's token; inputs are never part of it
    std::vector<uint64_t> children;  // earlier positions, in input order
    bool opaque = true;              // false only for Op nodes
    friend bool operator==(const EngineNode&, const EngineNode&) = default;
};

struct EngineGraph {
    std::vector<EngineNode> nodes;
    std::vector<uint64_t> outputs;
    friend bool operator==(const EngineGraph&, const EngineGraph&) = default;
};

// True when `op` begins with "op|": the only non-opaque node texts.
bool is_op_text(const std::string& op);

// The one operation every rewrite engine offers. The result's children
// precede their nodes, its ops are ops of the input, opaque == !is_op_text(op),
// and its outputs correspond one to one, in order, to the input's.
class RewriteEngine {
public:
    virtual ~RewriteEngine() = default;
    virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;
};
}  // namespace dagloom
