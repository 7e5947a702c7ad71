#include "optimizer/saturation_replay.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace dagloom {

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
    return a * b;
}

}  // namespace

// The e-graph's nodes are the graph's own and the mirrors commutativity
// adds, at most `added[i]` beside node i's: each has a first key. Every
// further key is some node's operator over new roots of its children, and
// a root changes only when its class is absorbed by a union, which re-keys
// the parent entries of the absorbed side. A union absorbs the side with
// fewer parent entries, so over the unions within one final class with P
// parent entries and k original members the entries moved number at most
// P * min(k - 1, log2 P) (each entry's list at least doubles when it moves)
// and at most (P / 2) * log2 k (the smaller sides of a merge tree). A new
// mirror is united with its match's class while nothing points at it, so it
// moves no entry and does not count among the k members.
uint64_t egraph_node_bound(const PackedGraph& g, std::span<const uint32_t> cls, std::span<const uint8_t> added) {
    const std::size_t n = g.size();
    auto nodes_of = [&](std::size_t i) { return 1 + uint64_t{added[i]}; };
    // Per class (by its lowest index); members number at most n, which fits 32 bits.
    ScratchVector<uint32_t> members(n, 0);
    ScratchVector<uint64_t> parents(n, 0);
    uint64_t bound = 0;
    for (std::size_t i = 0; i < n; ++i) {
        bound = saturating_add(bound, nodes_of(i));
        ++members[cls[i]];
        for (uint32_t c : g.children_of(i)) parents[cls[c]] = saturating_add(parents[cls[c]], nodes_of(i));
    }
    for (std::size_t c = 0; c < n; ++c) {
        const uint64_t k = members[c], p = parents[c];
        if (k < 2 || p == 0) continue;
        const uint64_t doubling = saturating_mul(p, std::min<uint64_t>(k - 1, std::bit_width(p) - 1));
        // The margin covers any rounding of log2.
        const double tree = std::ceil(static_cast<double>(p) * std::log2(static_cast<double>(k)) / 2 * (1 + 1e-9));
        const uint64_t moved = tree < static_cast<double>(doubling) ? static_cast<uint64_t>(tree) : doubling;
        bound = saturating_add(bound, moved);
    }
    return bound;
}

}  // namespace dagloom
