// The IR blob: the durable, versioned, byte-identical binary form of a store.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "graph/node_key.h"
#include "store/graph_store.h"
#include "util/result.h"

namespace dagloom {

struct BlobError {
    enum class Kind : uint8_t { BadMagic, Truncated, BadTag, BadUtf8, BadNodeRef };
    Kind kind;
    std::string what;    // BadTag: "node", "param" or "stage-ref"
    uint64_t value = 0;  // BadTag: the tag byte; BadNodeRef: the index
    // The text the Python layer raises as ValueError.
    std::string message() const;

    static BlobError bad_magic() { return {Kind::BadMagic, {}, 0}; }
    static BlobError truncated() { return {Kind::Truncated, {}, 0}; }
    static BlobError bad_tag(std::string what, uint8_t tag) { return {Kind::BadTag, std::move(what), tag}; }
    static BlobError bad_utf8() { return {Kind::BadUtf8, {}, 0}; }
    static BlobError bad_node_ref(uint64_t index) { return {Kind::BadNodeRef, {}, index}; }

    friend bool operator==(const BlobError&, const BlobError&) = default;
};

// A count, length or index that does not fit the format's 32-bit fields.
struct BlobTooLarge {
    std::string message;
};

// Writes the store's nodes (one snapshot) and exactly `outputs`, unvalidated.
Result<std::vector<uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store, const std::vector<NodeId>& outputs);

// The same in two steps, so that the bytes can go straight into a buffer
// the caller allocates between them (a Python bytes object, say) instead of
// being copied there. plan_blob measures the blob of the store's current
// nodes and `outputs`, checking every 32-bit field; write_planned then
// writes exactly plan.size bytes to `out`. Nodes never change once added,
// so the nodes measured are still the ones written, however the store grew
// in between; `outputs` must be the same list both times.
struct BlobPlan {
    std::size_t node_count = 0;
    uint64_t size = 0;
};
Result<BlobPlan, BlobTooLarge> plan_blob(const GraphStore& store, const std::vector<NodeId>& outputs);
void write_planned(const GraphStore& store, const BlobPlan& plan, const std::vector<NodeId>& outputs, uint8_t* out);

// Rebuilds a new store; on any error nothing is returned.
Result<std::unique_ptr<GraphStore>, BlobError> deserialize(std::span<const uint8_t> data);

}  // namespace dagloom
