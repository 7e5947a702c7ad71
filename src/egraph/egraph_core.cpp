#include "egraph/egraph_core.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <string>

#include "egraph/log.h"
#include "util/internal_error.h"

namespace dagloom::egraph {

std::string to_string(const SymbolLang& node) {
    if (node.is_leaf()) return std::string(node.op.as_str());
    std::string out = "(";
    out += node.op.as_str();
    for (Id c : node.children()) {
        out += ' ';
        out += std::to_string(c);
    }
    out += ')';
    return out;
}

std::ostream& operator<<(std::ostream& out, const SymbolLang& node) { return out << to_string(node); }

Id UnionFind::make_set() {
    const std::size_t id = parent_.size();
    if (id >= 0xffffffffu) fail("Can't represent id " + std::to_string(id) + " as an Id");
    parent_.push_back(static_cast<Id>(id));
    return static_cast<Id>(id);
}

void UnionFind::fail_out_of_range(Id x) const { fail_index(x, parent_.size()); }

namespace {

// concat_vecs: the longer list's elements come first.
void concat(NodeList& to, NodeList&& from) {
    if (to.size() < from.size()) std::swap(to, from);
    to.append(std::move(from));
}
void concat(ParentList& to, ParentList&& from) {
    if (to.size() < from.size()) std::swap(to, from);
    to.append(from);
    from.clear();
}

}  // namespace

const EGraph::MemoEntry* EGraph::memo_find(const SymbolLang& key, std::uint64_t hash) const {
    flush_memo_index();
    const std::uint32_t e = memo_.find(hash, [&](std::uint32_t i) { return memo_entries_[i].key == key; });
    return e == FlatIndex::kNone ? nullptr : &memo_entries_[e];
}

void EGraph::flush_memo_index_slow() const {
    const std::size_t n = memo_entries_.size();
    memo_.reserve(n);  // no growth below, so prefetched slots stay put
    constexpr std::size_t kAhead = 32;
    for (std::size_t k = indexed_; k < n; ++k) {
        if (k + kAhead < n) memo_.prefetch(static_cast<std::uint64_t>(memo_entries_[k + kAhead].frag) << 32);
        memo_.insert_new(static_cast<std::uint64_t>(memo_entries_[k].frag) << 32, static_cast<std::uint32_t>(k));
    }
    indexed_ = n;
}

Id EGraph::add_internal(SymbolLang node) {
    // A node with a child class that has no parent entries cannot be in the
    // memo: every key with child c left a parent entry that now lives in c's
    // class (parent lists are only ever appended to and merged). Such a node
    // skips the lookup and is indexed later in a batch (flush_memo_index),
    // which breaks the chain of dependent cache misses when a graph is built.
    bool absent = false;
    for (Id& c : node.children()) {
        c = union_find_.find(c);
        absent = absent || !has_parents(c);
    }
    const std::uint64_t hash = node.hash();
    const std::uint32_t next = static_cast<std::uint32_t>(memo_entries_.size());
    if (!absent) {
        flush_memo_index();
        auto [entry, inserted] =
            memo_.find_or_insert(hash, next, [&](std::uint32_t i) { return memo_entries_[i].key == node; });
        if (!inserted) return memo_entries_[entry].value;
    }

    // make_new_eclass.
    const Id id = union_find_.make_set();
    DAGLOOM_LOG(Trace, "  ...adding to ", id);
    if ((id >> 6) >= has_parents_.size()) has_parents_.push_back(0);
    const ParentRef self{next, id};
    for (Id c : node.children()) {
        classes_[c].parents.push_back(self);
        set_has_parents(c);
    }
    pending_.push_back(self);
    EClass& cls = classes_.emplace_back();
    cls.id = id;
    cls.nodes.push_back(node);
    ++class_count_;
    memo_entries_.push_back(MemoEntry{std::move(node), id, static_cast<std::uint32_t>(hash >> 32)});
    if (!absent) indexed_ = memo_entries_.size();
    clean_ = false;
    return id;
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
    for (Id& c : node.children()) c = union_find_.find(c);
    const MemoEntry* e = memo_find(node, node.hash());
    if (!e) return std::nullopt;
    return union_find_.find(e->value);
}

bool EGraph::perform_union(Id id1, Id id2) {
    clean_ = false;
    Id r1 = union_find_.find_compress(id1);
    Id r2 = union_find_.find_compress(id2);
    if (r1 == r2) return false;
    if ((*this)[r1].parents.size() < (*this)[r2].parents.size()) std::swap(r1, r2);
    union_find_.unite(r1, r2);

    if (classes_[r2].id != r2) fail("no entry found for key");
    EClass removed = std::move(classes_[r2]);
    classes_[r2] = EClass{};
    classes_[r2].id = kDead;
    --class_count_;

    EClass& survivor = classes_[r1];
    if (survivor.id != r1) fail("no entry found for key");
    pending_.append(removed.parents.begin(), removed.parents.end());
    concat(survivor.nodes, std::move(removed.nodes));
    concat(survivor.parents, std::move(removed.parents));
    if (!survivor.parents.empty()) set_has_parents(r1);
    return true;
}

void EGraph::fail_invalid_id(Id r) { fail("Invalid id " + std::to_string(r)); }

std::size_t EGraph::total_number_of_nodes() const {
    std::size_t n = 0;
    for (const EClass& c : classes()) n += c.nodes.size();
    return n;
}

EGraph::ClassRange EGraph::classes() const {
    const EClass* base = classes_.data();
    const EClass* end = base + classes_.size();
    return ClassRange{ClassIterator(base, base, end), ClassIterator(base, end, end)};
}

std::span<const Id> EGraph::classes_with_op(GlobalSymbol op) const {
    const std::uint32_t e =
        op_index_.find(hash_word(0, op.raw()), [&](std::uint32_t i) { return op_keys_[i] == op; });
    if (e == FlatIndex::kNone) return {};
    return op_sets_[e];
}

std::vector<Id>& EGraph::op_set(GlobalSymbol op) {
    const std::uint32_t next = static_cast<std::uint32_t>(op_keys_.size());
    auto [e, inserted] =
        op_index_.find_or_insert(hash_word(0, op.raw()), next, [&](std::uint32_t i) { return op_keys_[i] == op; });
    if (inserted) {
        op_keys_.push_back(op);
        op_sets_.emplace_back();
    }
    return op_sets_[e];
}

std::size_t EGraph::process_unions() {
    flush_memo_index();
    std::size_t n_unions = 0;
    constexpr std::size_t kAhead = 8;
    while (!pending_.empty()) {
        // Prefetch the memo slot of an entry a few places down the stack; a
        // stale guess (if unions intervene) only costs the prefetch.
        if (pending_.size() > kAhead) {
            const SymbolLang& ahead = memo_entries_[pending_[pending_.size() - 1 - kAhead].memo_entry].key;
            std::uint64_t h = hash_word(0, ahead.op.raw());
            h = hash_word(h, ahead.len());
            for (Id c : ahead.children()) h = hash_word(h, union_find_.find(c));
            memo_.prefetch(h);
        }
        const ParentRef entry = pending_.back();
        pending_.pop_back();
        SymbolLang node = memo_entries_[entry.memo_entry].key;
        const Id cls = entry.id;
        for (Id& c : node.children()) c = union_find_.find_compress(c);
        const std::uint64_t hash = node.hash();
        const std::uint32_t next = static_cast<std::uint32_t>(memo_entries_.size());
        auto [e, inserted] =
            memo_.find_or_insert(hash, next, [&](std::uint32_t i) { return memo_entries_[i].key == node; });
        if (inserted) {
            memo_entries_.push_back(MemoEntry{std::move(node), cls, static_cast<std::uint32_t>(hash >> 32)});
            indexed_ = memo_entries_.size();
            continue;
        }
        const Id old = memo_entries_[e].value;
        memo_entries_[e].value = cls;
        if (perform_union(old, cls)) ++n_unions;
    }
    return n_unions;
}

std::size_t EGraph::rebuild_classes() {
    for (std::vector<Id>& s : op_sets_) s.clear();
    std::size_t trimmed = 0;
    GlobalSymbol cached_op;
    std::vector<Id>* cached_set = nullptr;
    for (std::size_t slot = 0; slot < classes_.size(); ++slot) {
        EClass& cls = classes_[slot];
        if (cls.id != slot) continue;
        NodeList& nodes = cls.nodes;
        for (SymbolLang& n : nodes)
            for (Id& c : n.children()) c = union_find_.find_compress(c);
        if (nodes.size() > 1) {
            std::sort(nodes.begin(), nodes.end());
            const auto last = std::unique(nodes.begin(), nodes.end());
            trimmed += static_cast<std::size_t>(nodes.end() - last);
            nodes.erase(last, nodes.end());
        }
        // Nodes are sorted by op first, so each op occurs in one run.
        GlobalSymbol prev;
        bool first = true;
        for (const SymbolLang& n : nodes) {
            if (!first && n.op == prev) continue;
            first = false;
            prev = n.op;
            if (!cached_set || cached_op != n.op) {
                cached_set = &op_set(n.op);
                cached_op = n.op;
            }
            cached_set->push_back(cls.id);
        }
    }
    return trimmed;
}

std::size_t EGraph::rebuild() {
    const std::size_t old_hc_size = memo_len();
    const std::size_t old_n_eclasses = class_count();
    const auto start = std::chrono::steady_clock::now();

    const std::size_t n_unions = process_unions();
    const std::size_t trimmed = rebuild_classes();

    if (log::enabled(log::Level::Info)) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        std::ostringstream out;
        out << "REBUILT! in " << ms / 1000 << '.' << std::setw(3) << std::setfill('0') << ms % 1000 << "s\n"
            << "  Old: hc size " << old_hc_size << ", eclasses: " << old_n_eclasses << "\n"
            << "  New: hc size " << memo_len() << ", eclasses: " << class_count() << "\n"
            << "  unions: " << n_unions << ", trimmed nodes: " << trimmed;
        log::detail::emit(log::Level::Info, std::move(out).str());
    }
    clean_ = true;
    return n_unions;
}

}  // namespace dagloom::egraph

namespace dagloom::egraph {
static_assert(sizeof(EClass) == 64, "an e-class is meant to fill one cache line");
}  // namespace dagloom::egraph
