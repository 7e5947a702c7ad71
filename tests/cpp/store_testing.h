// Test helpers over a GraphStore's public surface.
#pragma once

#include <cstddef>
#include <vector>

#include "graph/node_key.h"
#include "store/graph_store.h"

namespace dagloom {

struct Snapshot {
    std::vector<NodeKey> nodes;
    std::vector<NodeId> outputs;
};

// The store's nodes and marked outputs, read under one lock.
inline Snapshot snapshot(const GraphStore& store) {
    return store.with_locked([](const GraphStore::View& view) { return Snapshot{view.nodes.keys_from(0), view.outputs}; });
}

// The store's nodes from id `start` on, as whole keys: what tests compare
// its packed copies (deltas, reducer steps) with. Empty past the end.
inline std::vector<NodeKey> snapshot_from(const GraphStore& store, NodeId start) {
    return store.with_locked(
        [&](const GraphStore::View& view) { return view.nodes.keys_from(static_cast<std::size_t>(start)); });
}

}  // namespace dagloom
