#include "optimizer/stage_fusion.h"

#include <limits>
#include <span>
#include <utility>

#include "util/internal_error.h"

namespace dagloom {
namespace {

constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

// For each node, the positions of its users, one entry per child slot, in
// ascending order; kept flat (offsets into one array) to avoid a vector per node.
struct UseLists {
    std::vector<uint64_t> offsets;  // n + 1 entries
    std::vector<uint64_t> users;

    std::span<const uint64_t> of(uint64_t node) const {
        return {users.data() + offsets[node], users.data() + offsets[node + 1]};
    }
};

UseLists build_use_lists(const EngineGraph& graph) {
    const std::size_t n = graph.nodes.size();
    UseLists uses;
    uses.offsets.assign(n + 1, 0);
    for (const EngineNode& node : graph.nodes) {
        for (uint64_t c : node.children) {
            check_index(c, n);
            ++uses.offsets[c + 1];
        }
    }
    for (std::size_t i = 0; i < n; ++i) uses.offsets[i + 1] += uses.offsets[i];
    uses.users.resize(uses.offsets[n]);
    std::vector<uint64_t> cursor(uses.offsets.begin(), uses.offsets.end() - 1);
    for (uint64_t u = 0; u < n; ++u)
        for (uint64_t c : graph.nodes[u].children) uses.users[cursor[c]++] = u;
    return uses;
}

uint64_t find_root(std::vector<uint64_t>& parent, uint64_t x) {
    uint64_t root = x;
    while (parent[root] != root) root = parent[root];
    while (parent[x] != root) {
        uint64_t next = parent[x];
        parent[x] = root;
        x = next;
    }
    return root;
}

// Union-find: the label of a group is its lowest position.
std::vector<uint64_t> single_use_labels(const EngineGraph& graph, const UseLists& uses,
                                        const std::vector<char>& is_output) {
    const std::size_t n = graph.nodes.size();
    std::vector<uint64_t> parent(n);
    for (uint64_t i = 0; i < n; ++i) parent[i] = i;
    for (uint64_t i = 0; i < n; ++i) {
        auto users = uses.of(i);
        if (graph.nodes[i].opaque || users.size() != 1 || is_output[i]) continue;
        uint64_t c = users[0];
        if (graph.nodes[c].opaque) continue;
        uint64_t ri = find_root(parent, i);
        uint64_t rc = find_root(parent, c);
        if (ri != rc) {
            if (ri < rc) parent[rc] = ri;
            else parent[ri] = rc;
        }
    }
    std::vector<uint64_t> label(n);
    for (uint64_t i = 0; i < n; ++i) label[i] = graph.nodes[i].opaque ? i : find_root(parent, i);
    return label;
}

// Descending walk: users lie above a node, so their labels are final when
// it is visited. The label of a group is its highest position.
std::vector<uint64_t> maximal_labels(const EngineGraph& graph, const UseLists& uses,
                                     const std::vector<char>& is_output) {
    const std::size_t n = graph.nodes.size();
    std::vector<uint64_t> label(n);
    for (uint64_t i = 0; i < n; ++i) label[i] = i;
    for (uint64_t i = n; i-- > 0;) {
        auto users = uses.of(i);
        if (graph.nodes[i].opaque || is_output[i] || users.empty()) continue;
        const uint64_t first = label[users[0]];
        bool fusable = true;
        for (uint64_t u : users) {
            if (graph.nodes[u].opaque || label[u] != first) {
                fusable = false;
                break;
            }
        }
        if (fusable) label[i] = first;
    }
    return label;
}

}  // namespace

FusionResult stage_fusion(EngineGraph graph, const std::vector<uint64_t>& outputs, const TokenTable& table,
                          bool maximal_fusion) {
    const std::size_t n = graph.nodes.size();
    const UseLists uses = build_use_lists(graph);
    std::vector<char> is_output(n, 0);
    for (uint64_t x : outputs) {
        check_index(x, n);
        is_output[x] = 1;
    }
    const std::vector<uint64_t> label =
        maximal_fusion ? maximal_labels(graph, uses, is_output) : single_use_labels(graph, uses, is_output);

    // Members of each label, ascending, again in one flat array.
    std::vector<uint64_t> group_start(n + 1, 0);
    for (uint64_t l : label) ++group_start[l + 1];
    std::size_t group_count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (group_start[i + 1] != 0) ++group_count;
        group_start[i + 1] += group_start[i];
    }
    std::vector<uint64_t> members(n);
    {
        std::vector<uint64_t> cursor(group_start.begin(), group_start.end() - 1);
        for (uint64_t p = 0; p < n; ++p) members[cursor[label[p]]++] = p;
    }
    auto group_of = [&](uint64_t l) {
        return std::span<const uint64_t>(members.data() + group_start[l], members.data() + group_start[l + 1]);
    };

    std::vector<uint64_t> reduced_pos(n, kNone);  // by label
    auto recorded = [&](uint64_t l) {
        if (reduced_pos[l] == kNone) fail("no entry found for key");
        return reduced_pos[l];
    };
    std::vector<uint64_t> member_index(n, 0);
    std::vector<uint64_t> input_owner(n, kNone);  // label of the stage whose input list holds this label
    std::vector<uint64_t> input_slot(n, 0);
    std::vector<uint64_t> input_labels;

    FusionResult result;
    result.nodes.reserve(group_count);
    // A group's highest member is the last of its list; visiting positions in
    // ascending order and emitting a group at its highest member gives the
    // order by highest member without a sort.
    for (uint64_t p = 0; p < n; ++p) {
        const uint64_t l = label[p];
        auto group = group_of(l);
        if (group.back() != p) continue;

        if (graph.nodes[l].opaque) {
            const EngineNode& node = graph.nodes[l];
            std::vector<NodeId> inputs;
            inputs.reserve(node.children.size());
            for (uint64_t c : node.children) inputs.push_back(recorded(label[c]));
            auto entry = table.find(node.op);
            if (entry == table.end()) fail("no entry found for key");
            result.nodes.push_back(entry->second.with_inputs(std::move(inputs)));
            ++result.boundary_nodes;
        } else {
            for (std::size_t k = 0; k < group.size(); ++k) member_index[group[k]] = k;
            input_labels.clear();
            std::vector<StageOp> stage_members;
            stage_members.reserve(group.size());
            for (uint64_t m : group) {
                EngineNode& node = graph.nodes[m];
                StageOp op{std::move(node.op), {}};
                op.inputs.reserve(node.children.size());
                for (uint64_t c : node.children) {
                    const uint64_t lc = label[c];
                    if (lc == l) {
                        op.inputs.push_back(StageRef::Member(member_index[c]));
                    } else {
                        if (input_owner[lc] != l) {
                            input_owner[lc] = l;
                            input_slot[lc] = input_labels.size();
                            input_labels.push_back(lc);
                        }
                        op.inputs.push_back(StageRef::Input(input_slot[lc]));
                    }
                }
                stage_members.push_back(std::move(op));
            }
            std::vector<NodeId> inputs;
            inputs.reserve(input_labels.size());
            for (uint64_t lc : input_labels) inputs.push_back(recorded(lc));
            result.nodes.push_back(NodeKey::stage(std::move(inputs), std::move(stage_members)));
            ++result.stages;
        }
        reduced_pos[l] = result.nodes.size() - 1;
    }

    result.outputs.reserve(outputs.size());
    for (uint64_t x : outputs) result.outputs.push_back(recorded(label[x]));
    return result;
}

}  // namespace dagloom
