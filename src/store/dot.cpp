#include <algorithm>

#include "graph/node_key.h"
#include "store/graph_store.h"

namespace dagloom {

namespace {

std::string label_of(const NodeView& node) {
    std::string label;
    switch (node.kind) {
        case NodeKind::Source: label.append("Source ").append(node.name); break;
        case NodeKind::Op: label.append("Op ").append(node.name); break;
        case NodeKind::Reduction: label.append("Reduction ").append(node.name); break;
        case NodeKind::External: {
            const PayloadDescriptor& d = node.descriptor();
            label.append("External ").append(d.kind).append(":").append(d.content_hash);
            label.append(" [").append(d.framework).append(" ").append(d.version).append("]");
            break;
        }
        case NodeKind::Stage:
            label.append("Stage[").append(std::to_string(node.members().size())).append(" members]");
            return label;
        case NodeKind::Exchange: label = "Exchange"; break;
    }
    if (!node.params->empty()) label.append(" ").append(node.params->display());
    return label;
}

std::string escape_dot(const std::string& label) {
    std::string out;
    out.reserve(label.size() + 8);
    for (char c : label) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else out.push_back(c);
    }
    return out;
}

}  // namespace

std::string to_dot(const GraphStore& store) {
    return store.with_locked([](const GraphStore::View& view) {
        std::string out = "digraph dagloom {\n";
        // One count for the whole text: a writer may add nodes meanwhile.
        const std::size_t count = view.nodes.size();
        const std::vector<bool> is_output = output_flags(count, view.outputs);
        for (std::size_t i = 0; i < count; ++i) {
            out += "  n" + std::to_string(i) + " [label=\"" + escape_dot(label_of(view.nodes.view(i))) + "\"";
            if (is_output[i]) out += ", shape=doublecircle";
            out += "];\n";
        }
        for (std::size_t i = 0; i < count; ++i)
            for (NodeId j : view.nodes.view(i).inputs) out += "  n" + std::to_string(j) + " -> n" + std::to_string(i) + ";\n";
        out += "}\n";
        return out;
    });
}

}  // namespace dagloom
