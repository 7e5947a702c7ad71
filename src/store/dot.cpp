#include <algorithm>
#include <string_view>

#include "graph/node_key.h"
#include "store/graph_store.h"

namespace dagloom {

namespace {

// Appends the node's label, as DOT shows it, to `label`.
void append_label(KeptText& label, const NodeView& node) {
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
            return;
        case NodeKind::Exchange: label.append("Exchange"); break;
    }
    if (!node.params->empty()) label.append(" ").append(node.params->display());
}

void append_escaped(KeptText& out, std::string_view text) {
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else out.push_back(c);
    }
}

// "n<id>", written in place: the text holds one per node and two per edge.
void append_node(KeptText& out, uint64_t id) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    out.push_back('n');
    out.append(p, end);
}

}  // namespace

KeptText to_dot(const GraphStore& store) {
    return store.with_locked([](const GraphStore::View& view) {
        // Every piece is appended to the text itself: a temporary string per
        // piece would cost more than writing it.
        // One count for the whole text: a writer may add nodes meanwhile.
        const std::size_t count = view.nodes.size();
        // Room for a typical graph's text up front: growing by doubling
        // copies the text again at each step, and each step maps fresh
        // pages and unmaps old ones, which stalls every thread of the process.
        // A node line takes 16 bytes and its id's digits beside its label
        // (about 40 in all), an edge line at most 24 with ids of up to seven
        // digits. No more than that: the kept blocks the text comes from
        // hold 64 MiB in all, enough for two threads' texts of a
        // 400,000-node store when each asks for what it needs.
        std::size_t edges = 0;
        for (std::size_t i = 0; i < count; ++i) edges += view.nodes.inputs(i).size();
        KeptText out;
        out.reserve(64 + count * 40 + edges * 24);
        out = "digraph dagloom {\n";
        const std::vector<bool> is_output = output_flags(count, view.outputs);
        KeptText label;
        for (std::size_t i = 0; i < count; ++i) {
            label.clear();
            append_label(label, view.nodes.view(i));
            out.append("  ");
            append_node(out, i);
            out.append(" [label=\"");
            append_escaped(out, label);
            out.push_back('"');
            if (is_output[i]) out.append(", shape=doublecircle");
            out.append("];\n");
        }
        for (std::size_t i = 0; i < count; ++i)
            for (NodeId j : view.nodes.inputs(i)) {
                out.append("  ");
                append_node(out, j);
                out.append(" -> ");
                append_node(out, i);
                out.append(";\n");
            }
        out.append("}\n");
        return out;
    });
}

}  // namespace dagloom
