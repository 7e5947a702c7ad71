#include "optimizer/stage_fusion.h"

#include <limits>
#include <span>
#include <utility>

#include "util/internal_error.h"
#include "util/memory.h"

namespace dagloom {
namespace {

// Positions fit 32 bits (a store never holds more nodes), which halves the
// per-node arrays below.
constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// For each node, the positions of its users, one entry per child slot, in
// ascending order; kept flat (offsets into one array) to avoid a vector per node.
struct UseLists {
    ScratchVector<uint64_t> offsets;  // n + 1 entries
    ScratchVector<uint32_t> users;

    std::span<const uint32_t> of(uint64_t node) const {
        return {users.data() + offsets[node], users.data() + offsets[node + 1]};
    }
};

UseLists build_use_lists(const PackedGraph& graph) {
    const std::size_t n = graph.size();
    UseLists uses;
    uses.offsets.assign(n + 1, 0);
    for (uint32_t c : graph.children) {
        check_index(c, n);
        ++uses.offsets[c + 1];
    }
    for (std::size_t i = 0; i < n; ++i) uses.offsets[i + 1] += uses.offsets[i];
    uses.users.resize(uses.offsets[n]);
    // Each list is filled from its end, by users from the top down, so it
    // comes out ascending, and the offsets, first moved to the lists' ends,
    // finish as their starts: no cursor array as large as the offsets.
    for (std::size_t i = 0; i < n; ++i) uses.offsets[i] = uses.offsets[i + 1];
    for (uint32_t u = static_cast<uint32_t>(n); u-- > 0;) {
        const auto kids = graph.children_of(u);
        for (std::size_t k = kids.size(); k-- > 0;) uses.users[--uses.offsets[kids[k]]] = u;
    }
    return uses;
}

// Per node, the user it joins under the single-use rule, or kNone: its one
// use (one child slot in all), when neither it nor that user is opaque and
// it is no output.
ScratchVector<uint32_t> single_use_joins(const PackedGraph& graph, const ScratchVector<char>& is_output) {
    const auto n = static_cast<uint32_t>(graph.size());
    constexpr uint32_t kMany = kNone - 1;  // used more than once
    ScratchVector<uint32_t> joins(n, kNone);
    for (uint32_t u = 0; u < n; ++u) {
        for (uint32_t c : graph.children_of(u)) {
            check_index(c, n);
            if (c >= u) fail("canonical graph children precede their node");
            joins[c] = joins[c] == kNone ? u : kMany;
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t c = joins[i];
        if (c == kMany || (c != kNone && (graph.opaque[i] || is_output[i] || graph.opaque[c]))) joins[i] = kNone;
    }
    return joins;
}

// The label of a group is its highest member. Each node joins at most one
// user, above it, so walking down from the top finds a node's user
// labelled before the node; the joins are overwritten by the labels as
// the walk passes them.
ScratchVector<uint32_t> single_use_labels(const PackedGraph& graph, const ScratchVector<char>& is_output) {
    ScratchVector<uint32_t> label = single_use_joins(graph, is_output);
    for (auto i = static_cast<uint32_t>(label.size()); i-- > 0;) label[i] = label[i] == kNone ? i : label[label[i]];
    return label;
}

// Descending walk: users lie above a node, so their labels are final when
// it is visited. The label of a group is its highest position.
ScratchVector<uint32_t> maximal_labels(const PackedGraph& graph, const UseLists& uses,
                                       const ScratchVector<char>& is_output) {
    const auto n = static_cast<uint32_t>(graph.size());
    ScratchVector<uint32_t> label(n);
    for (uint32_t i = 0; i < n; ++i) label[i] = i;
    for (uint32_t i = n; i-- > 0;) {
        auto users = uses.of(i);
        if (graph.opaque[i] || is_output[i] || users.empty()) continue;
        const uint32_t first = label[users[0]];
        bool fusable = true;
        for (uint32_t u : users) {
            if (graph.opaque[u] || label[u] != first) {
                fusable = false;
                break;
            }
        }
        if (fusable) label[i] = first;
    }
    return label;
}

// A stage's members as fusion builds them, packed: member k applies the
// operation text ops[k] (a graph text id) to refs[ref_start[k], ref_start[k + 1])
// (packed with StageRefs::pack).
struct FusedMembers {
    std::vector<uint32_t> ops;
    std::vector<uint64_t> ref_start;
    std::vector<uint64_t> refs;

    void clear() {
        ops.clear();
        ref_start.assign(1, 0);
        refs.clear();
    }
};

// Appends straight to a node table. A rebuilt node of a kind the table
// keeps as parts shares its name and parameter list with every node
// rebuilt from the same key, so those are hashed and pooled once per key.
class TableEmitter {
public:
    TableEmitter(const RebuildTable& rebuild, const TextTable& texts, NodeTable& table)
        : rebuild_(rebuild), texts_(texts), table_(table), parts_(rebuild.keys.size()), member_texts_(texts.size()) {}

    // Each returns the emitted node's position. own_key is the node's own
    // rebuild key (graph.own_keys), or RebuildTable::kNone.
    uint64_t opaque(uint32_t text, uint32_t own_key, const std::vector<NodeId>& inputs) {
        const uint32_t index = rebuild_.key_index(text, own_key);
        if (index == RebuildTable::kNone) fail("no entry found for key");
        const NodeKey* key = &rebuild_.keys[index];
        if (carries_extra(key->kind())) {
            NodeKey whole = key->with_inputs(inputs);
            return table_.append_whole_unchecked(table_.probe(view_of(whole)), std::move(whole));
        }
        Parts& parts = parts_[index];
        // As with_inputs does, a source keeps no inputs.
        const std::span<const NodeId> kept =
            key->kind() == NodeKind::Source ? std::span<const NodeId>() : std::span<const NodeId>(inputs);
        const NodeView view{key->kind(), key->name(), &key->params(), kept, nullptr, {}};
        if (!parts.known) {
            parts.name_hash = table_.name_hash(view.name);
            parts.params_hash = table_.params_hash(*view.params);
            parts.ids.name = table_.name_id(view.name, parts.name_hash);
            parts.ids.params = table_.params_id(ParamMap(*view.params), parts.params_hash);
            parts.known = true;
        }
        return table_.append_unchecked(table_.probe(view, parts.name_hash, parts.params_hash), parts.ids);
    }
    // A member's operation text is pooled and hashed once per text.
    uint64_t stage(const std::vector<NodeId>& inputs, const FusedMembers& fused) {
        ops_.clear();
        op_hashes_.clear();
        for (uint32_t text : fused.ops) {
            MemberText& t = member_texts_[text];
            if (!t.known) {
                t.hash = table_.name_hash(texts_.at(text));
                t.pool_id = table_.name_id(texts_.at(text), t.hash);
                t.known = true;
            }
            ops_.push_back(t.pool_id);
            op_hashes_.push_back(t.hash);
        }
        return table_.append_stage_unchecked(NodeTable::PackedStage{inputs, ops_, op_hashes_, fused.ref_start, fused.refs});
    }

private:
    struct MemberText {
        bool known = false;
        uint32_t pool_id = 0;
        uint64_t hash = 0;
    };
    struct Parts {
        bool known = false;
        uint64_t name_hash = 0;
        uint64_t params_hash = 0;
        NodeTable::PoolIds ids;
    };
    const RebuildTable& rebuild_;
    const TextTable& texts_;
    NodeTable& table_;
    std::vector<Parts> parts_;              // by rebuild key index
    std::vector<MemberText> member_texts_;  // by graph text id
    std::vector<uint32_t> ops_;
    std::vector<uint64_t> op_hashes_;
};

}  // namespace

TableFusion stage_fusion_into(const PackedGraph& graph, const RebuildTable& rebuild, bool maximal_fusion,
                              NodeTable& table, FusionTrace* trace) {
    TableFusion result;
    TableEmitter emit(rebuild, graph.texts, table);
    const std::size_t n = graph.size();
    ScratchVector<char> is_output(n, 0);
    for (uint64_t x : graph.outputs) {
        check_index(x, n);
        is_output[x] = 1;
    }
    ScratchVector<uint32_t> label = maximal_fusion ? maximal_labels(graph, build_use_lists(graph), is_output)
                                                 : single_use_labels(graph, is_output);
    ScratchVector<char>().swap(is_output);

    // Members of each label, ascending, again in one flat array.
    ScratchVector<uint32_t> group_start(n + 1, 0);
    for (uint32_t l : label) ++group_start[l + 1];
    std::size_t group_count = 0;
    std::size_t stage_count = 0;
    // Every operation is a member of some stage, and each of its children
    // one reference.
    std::size_t member_count = 0;
    std::size_t ref_count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (group_start[i + 1] != 0) {
            ++group_count;
            if (!graph.opaque[i]) ++stage_count;
        }
        if (!graph.opaque[i]) {
            ++member_count;
            ref_count += graph.child_start[i + 1] - graph.child_start[i];
        }
        group_start[i + 1] += group_start[i];
    }
    // The few externals among the opaque nodes grow their column as they come.
    table.reserve_unchecked(group_count, stage_count, member_count, ref_count);
    ScratchVector<uint32_t> members(n);
    {
        ScratchVector<uint32_t> cursor(group_start.begin(), group_start.end() - 1);
        for (uint32_t p = 0; p < n; ++p) members[cursor[label[p]]++] = p;
    }
    auto group_of = [&](uint32_t l) {
        return std::span<const uint32_t>(members.data() + group_start[l], members.data() + group_start[l + 1]);
    };

    // Per label: the reduced position once emitted.
    ScratchVector<uint32_t> reduced_pos(n, kNone);
    auto recorded = [&](uint32_t l) {
        if (reduced_pos[l] == kNone) fail("no entry found for key");
        return static_cast<NodeId>(reduced_pos[l]);
    };
    // While a group is built, slot[m] is member m's index within it, and
    // slot[lc] the place of label lc in its input list (where input_owner[lc]
    // is the group). A label read as an input is no member of the group, so
    // the two never meet.
    ScratchVector<uint32_t> slot(n, 0);
    ScratchVector<uint32_t> input_owner(n, kNone);  // label of the stage whose input list holds this label
    std::vector<uint32_t> input_labels;
    std::vector<NodeId> inputs;
    FusedMembers fused;  // reused from stage to stage: no allocation per stage
    // Opaque nodes are groups of their own, emitted in ascending order.
    OwnKeyCursor own(graph.own_keys);

    // A group's label is its highest member; visiting positions in ascending
    // order and emitting a group at its label gives the order by highest
    // member without a sort (nor a look at the group of every position).
    for (uint32_t p = 0; p < n; ++p) {
        const uint32_t l = label[p];
        if (l != p) continue;
        auto group = group_of(l);

        uint64_t pos = 0;
        if (graph.opaque[l]) {
            const auto kids = graph.children_of(l);
            inputs.clear();
            for (uint32_t c : kids) inputs.push_back(recorded(label[c]));
            pos = emit.opaque(graph.op[l], own.key_of(l), inputs);
            ++result.boundary_nodes;
        } else {
            for (std::size_t k = 0; k < group.size(); ++k) slot[group[k]] = static_cast<uint32_t>(k);
            input_labels.clear();
            fused.clear();
            for (uint32_t m : group) {
                fused.ops.push_back(graph.op[m]);
                for (uint32_t c : graph.children_of(m)) {
                    const uint32_t lc = label[c];
                    if (lc == l) {
                        fused.refs.push_back(StageRefs::pack(StageRef::Member(slot[c])));
                    } else {
                        if (input_owner[lc] != l) {
                            input_owner[lc] = l;
                            slot[lc] = static_cast<uint32_t>(input_labels.size());
                            input_labels.push_back(lc);
                        }
                        fused.refs.push_back(StageRefs::pack(StageRef::Input(slot[lc])));
                    }
                }
                fused.ref_start.push_back(fused.refs.size());
            }
            inputs.clear();
            for (uint32_t lc : input_labels) inputs.push_back(recorded(lc));
            pos = emit.stage(inputs, fused);
            ++result.stages;
        }
        reduced_pos[l] = static_cast<uint32_t>(pos);
    }
    // Each member of a group computes its value inside the node emitted for
    // the group; an opaque node's group is itself, and no member of it. (A
    // pass of its own leaves the emitting loop as it is untraced.)
    if (trace != nullptr) {
        trace->node.assign(n, Index<space::Fused>::none());
        trace->member.assign(n, Index<space::Member>::none());
        for (uint32_t l = 0; l < n; ++l) {
            if (label[l] != l) continue;
            const auto group = group_of(l);
            for (uint32_t k = 0; k < group.size(); ++k) {
                const Index<space::Canonical> c{group[k]};
                trace->node.set(c, Index<space::Fused>{reduced_pos[l]});
                trace->member.set(c, graph.opaque[l] ? Index<space::Member>::none() : Index<space::Member>{k});
            }
        }
    }

    result.outputs.reserve(graph.outputs.size());
    for (uint64_t x : graph.outputs) result.outputs.push_back(recorded(label[x]));
    return result;
}


// The nodes go through a table as they do in reduction, and come back out
// of it as keys.
FusionResult stage_fusion(const PackedGraph& graph, const RebuildTable& table, bool maximal_fusion) {
    NodeTable nodes;
    TableFusion fused = stage_fusion_into(graph, table, maximal_fusion, nodes);
    return FusionResult{nodes.keys_from(0), std::move(fused.outputs), fused.stages, fused.boundary_nodes};
}

}  // namespace dagloom
