// Keeps a canonical form of a growing store, fed batch by batch, and
// reduces that form once at the end.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/pipeline.h"
#include "store/graph_store.h"
#include "store/node_delta.h"
#include "util/result.h"

namespace dagloom {

class IncrementalReducer {
public:
    IncrementalReducer();
    ~IncrementalReducer();
    IncrementalReducer(IncrementalReducer&&) noexcept;
    IncrementalReducer& operator=(IncrementalReducer&&) noexcept;

    // `delta` continues the consumed nodes (store ids watermark, watermark+1, ...).
    // Returns delta.size(); on BadNodeId the keys before the bad one stay consumed.
    Result<uint64_t, BadNodeId> step(std::vector<NodeKey> delta);
    // The same over a packed copy of the store's new nodes (GraphStore::delta_from).
    Result<uint64_t, BadNodeId> step(const NodeDelta& delta);

    // Reduces the canonical form against store ids `outputs`; changes nothing.
    Result<Reduced, BadNodeId> finalize(const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                                        bool maximal_fusion) const;
    // The same reduced straight into a new store (reduce_table): what
    // from_reduced(finalize(...)) gives, without a key per reduced node.
    Result<ReducedStore, BadNodeId> finalize_store(const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                                                   bool maximal_fusion) const;
    // The same reduction, also saying where each consumed node of `fed`,
    // the store the reducer is fed, went. What the outputs need is read
    // from the store's own graph: the canonical form may have collapsed a
    // node that no output reaches onto one that an output does. An output
    // that names no node of `fed` fails like one past the watermark.
    Result<TracedStore, BadNodeId> finalize_traced(const GraphStore& fed, const std::vector<NodeId>& outputs,
                                                   const RewriteEngine& engine, bool maximal_fusion) const;

    // Where the reducer stands now. roll_back returns to it, undoing the
    // steps taken since (and allocating nothing), for a caller whose call
    // fails after stepping. A step that runs out of memory undoes itself.
    struct Checkpoint {
        uint64_t canonical = 0;
        uint64_t watermark = 0;
        uint64_t total_work = 0;
    };
    Checkpoint checkpoint() const;
    void roll_back(const Checkpoint& mark) noexcept;

    uint64_t watermark() const;
    uint64_t total_work() const;
    uint64_t canonical_count() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace dagloom
