#include "optimizer/packed_graph.h"

#include <algorithm>
#include <cstring>

#include "egraph/language.h"
#include "util/internal_error.h"

namespace dagloom {

uint64_t TextTable::hash(std::string_view text) {
    // The e-graph's word hash over 8-byte chunks and the length; it mixes
    // into the top bits, which is what the index reads.
    uint64_t h = egraph::hash_word(0, text.size());
    const char* p = text.data();
    std::size_t n = text.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = egraph::hash_word(h, w);
    }
    uint64_t tail = 0;
    for (std::size_t k = 0; k < n; ++k) tail |= static_cast<uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
    return egraph::hash_word(h, tail);
}

uint32_t TextTable::intern(std::string_view text) {
    const auto next = static_cast<uint32_t>(texts_.size());
    if (next == kNone) fail("dagloom-core text table is full");
    auto [id, inserted] = index_.find_or_insert(hash(text), next, [&](uint32_t e) { return texts_[e] == text; });
    if (inserted) texts_.emplace_back(text);
    return id;
}

uint32_t TextTable::find(std::string_view text) const {
    return index_.find(hash(text), [&](uint32_t e) { return texts_[e] == text; });
}

void PackedGraph::reserve(std::size_t nodes, std::size_t edges) {
    op.reserve(nodes);
    opaque.reserve(nodes);
    child_start.reserve(nodes + 1);
    children.reserve(edges);
}

void cse_packed(PackedGraph& g, EngineTrace* trace) {
    const std::size_t n = g.size();
    std::vector<uint32_t> index(n);
    // Result positions by (op, children); result nodes are never changed
    // once written, so the index compares against them in place.
    egraph::FlatIndex seen;
    seen.reserve(n);
    std::vector<uint32_t> kids;
    uint32_t kept = 0;
    uint64_t read = 0;  // where node i's children start in the input
    // Own keys are renumbered in place as the nodes are: an entry is
    // written only after the cursor has read past it.
    OwnKeyCursor own(g.own_keys);
    std::size_t own_kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t end = g.child_start[i + 1];
        kids.clear();
        for (uint64_t k = read; k < end; ++k) {
            const uint32_t c = g.children[k];
            check_index(c, n);
            if (c >= i) fail("canonical graph children precede their node");
            kids.push_back(index[c]);
        }
        read = end;
        const uint32_t text = g.op[i];
        uint64_t h = egraph::hash_word(0, text);
        h = egraph::hash_word(h, kids.size());
        for (uint32_t c : kids) h = egraph::hash_word(h, c);
        auto [at, inserted] = seen.find_or_insert(h, kept, [&](uint32_t p) {
            if (g.op[p] != text) return false;
            const auto other = g.children_of(p);
            return other.size() == kids.size() && std::equal(other.begin(), other.end(), kids.begin());
        });
        index[i] = at;
        if (!inserted) continue;
        if (const uint32_t key = own.key_of(i); key != OwnKeyCursor::kNone) g.own_keys[own_kept++] = OwnKey{kept, key};
        // Position `kept` <= i: every slot written here has been read.
        const uint64_t write = g.child_start[kept];
        std::copy(kids.begin(), kids.end(), g.children.begin() + static_cast<std::ptrdiff_t>(write));
        g.child_start[kept + 1] = write + kids.size();
        g.op[kept] = text;
        g.opaque[kept] = g.opaque[i];
        ++kept;
    }
    g.op.resize(kept);
    g.opaque.resize(kept);
    g.child_start.resize(kept + 1);
    g.children.resize(g.child_start[kept]);
    g.own_keys.resize(own_kept);
    for (uint64_t& o : g.outputs) {
        check_index(o, n);
        o = index[o];
    }
    if (trace != nullptr) {
        trace->renumber([&](uint32_t c) {
            check_index(c, n);
            return index[c];
        });
    }
}

}  // namespace dagloom
