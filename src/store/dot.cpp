#include <algorithm>

#include "graph/node_key.h"
#include "store/graph_store.h"

namespace dagloom {

namespace {

std::string label_of(const NodeKey& key) {
    std::string label;
    const ParamMap& params = key.params();
    switch (key.kind()) {
        case NodeKind::Source: label = "Source " + key.name(); break;
        case NodeKind::Op: label = "Op " + key.name(); break;
        case NodeKind::Reduction: label = "Reduction " + key.name(); break;
        case NodeKind::External: {
            const PayloadDescriptor& d = key.descriptor();
            label = "External " + d.kind + ":" + d.content_hash + " [" + d.framework + " " + d.version + "]";
            break;
        }
        case NodeKind::Stage: return "Stage[" + std::to_string(key.members().size()) + " members]";
        case NodeKind::Exchange: label = "Exchange"; break;
    }
    if (!params.empty()) label += " " + params.display();
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
        const std::vector<bool> is_output = output_flags(view.nodes.size(), view.outputs);
        for (std::size_t i = 0; i < view.nodes.size(); ++i) {
            out += "  n" + std::to_string(i) + " [label=\"" + escape_dot(label_of(view.nodes[i])) + "\"";
            if (is_output[i]) out += ", shape=doublecircle";
            out += "];\n";
        }
        for (std::size_t i = 0; i < view.nodes.size(); ++i)
            for (NodeId j : view.nodes[i].inputs()) out += "  n" + std::to_string(j) + " -> n" + std::to_string(i) + ";\n";
        out += "}\n";
        return out;
    });
}

}  // namespace dagloom
