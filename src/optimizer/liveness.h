// Dead-code elimination's verdict: which nodes the outputs need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "graph/node_key.h"
#include "util/internal_error.h"
#include "util/memory.h"

namespace dagloom {

// New indices fit 32 bits, as positions do in the packed graph they feed:
// half the memory of the one array as large as the whole input.
using LiveIndex = uint32_t;
constexpr LiveIndex kDead = std::numeric_limits<LiveIndex>::max();

// The new index of every node the outputs reach, kDead for the others;
// inputs_of(id) gives a node's inputs, `count` and `edges` receive how many
// nodes and inputs are kept. Inputs lie below their node, so one
// descending sweep settles liveness: a node's users have all been visited
// before it is.
template <class InputsOf>
ScratchVector<LiveIndex> live_indices(std::size_t n, InputsOf&& inputs_of, const std::vector<NodeId>& outputs,
                                      std::size_t& count, std::size_t& edges) {
    constexpr LiveIndex kLive = 0;
    if (n >= kDead) fail("dagloom-core reduces at most 4294967294 nodes");
    ScratchVector<LiveIndex> index(n, kDead);
    for (NodeId o : outputs) {
        check_index(o, n);
        index[o] = kLive;
    }
    edges = 0;
    for (std::size_t id = n; id-- > 0;) {
        if (index[id] == kDead) continue;
        const auto inputs = inputs_of(id);
        edges += inputs.size();
        for (NodeId in : inputs) {
            if (in >= id) {
                check_index(in, n);
                fail("node inputs precede their node");
            }
            index[in] = kLive;
        }
    }
    count = 0;
    for (LiveIndex& x : index)
        if (x != kDead) x = static_cast<LiveIndex>(count++);
    return index;
}

}  // namespace dagloom
