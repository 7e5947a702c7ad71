// The nodes a store recorded from some id on, copied out packed: records,
// an input slice, and each distinct name and parameter list of the slice
// once. Taking it costs what the slice holds, not what the store holds, and
// the copy tells its reader which nodes share a name or a parameter list, so
// facts about those (hashes, classifications) can be worked out once each.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/node_key.h"
#include "graph/node_view.h"

namespace dagloom {

class NodeTable;

class NodeDelta {
public:
    // The table's nodes from position `start` on (none when start is at or
    // past the end). The caller holds whatever lock guards the table.
    static NodeDelta copy_of(const NodeTable& table, std::size_t start);

    // Store id of the first node of the slice.
    NodeId start() const { return start_; }
    std::size_t size() const { return records_.size(); }
    NodeView view(std::size_t i) const {
        const Record& r = records_[i];
        if (carries_extra(r.kind)) return view_of(whole_[r.name]);
        const std::span<const NodeId> inputs(inputs_.data() + input_offsets_[i],
                                             input_offsets_[i + 1] - input_offsets_[i]);
        return NodeView{r.kind, name(r.name), &params_[r.params], inputs, nullptr, {}};
    }

    // Slice-local ids of a node's name and parameter list, dense from 0, equal
    // exactly when the name (the parameter list, bit for bit) is the same;
    // parameter id 0 is the empty list. Only for nodes held as parts (view(i).full == nullptr).
    uint32_t name_id(std::size_t i) const { return records_[i].name; }
    uint32_t params_id(std::size_t i) const { return records_[i].params; }
    std::size_t name_count() const { return name_offsets_.size() - 1; }
    std::size_t params_count() const { return params_.size(); }
    std::string_view name(uint32_t id) const {
        return std::string_view(chars_.data() + name_offsets_[id], name_offsets_[id + 1] - name_offsets_[id]);
    }
    const ParamMap& params(uint32_t id) const { return params_[id]; }

private:
    explicit NodeDelta(NodeId start) : start_(start), input_offsets_{0}, name_offsets_{0}, params_(1) {}

    struct Record {
        uint32_t name;    // local name id, or the index into whole_ for externals and stages
        uint32_t params;  // local parameter id
        NodeKind kind;
    };

    NodeId start_;
    std::vector<Record> records_;
    std::vector<uint64_t> input_offsets_;  // inputs of node i: inputs_[input_offsets_[i], input_offsets_[i + 1])
    std::vector<NodeId> inputs_;
    std::string chars_;                   // the distinct names, back to back
    std::vector<uint64_t> name_offsets_;  // name k is chars_[name_offsets_[k], name_offsets_[k + 1])
    std::vector<ParamMap> params_;        // the distinct parameter lists; 0 is the empty one
    std::vector<NodeKey> whole_;
};

}  // namespace dagloom
