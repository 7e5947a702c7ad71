#include "egraph/egraph_core.h"

#include <algorithm>
#include <array>
#include <bit>
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

void UnionFind::fail_too_many(std::size_t id) { fail("Can't represent id " + std::to_string(id) + " as an Id"); }

void UnionFind::fail_out_of_range(Id x) const { fail_index(x, parent_.size()); }

namespace {

// concat_vecs: the longer list's elements come first.
template <class List>
void concat(List& to, List&& from) {
    if (to.size() < from.size()) std::swap(to, from);
    to.append(std::move(from));
}

}  // namespace

const EGraph::MemoEntry* EGraph::memo_find(const SymbolLang& key, std::uint64_t hash) const {
    flush_memo_index();
    const std::uint32_t e = memo_.find(hash, [&](std::uint32_t i) { return memo_entries_[i].key == key; });
    return e == FlatIndex::kNone ? nullptr : &memo_entries_[e];
}

void EGraph::flush_memo_index_slow() const {
    const std::size_t n = memo_entries_.size();
    memo_.insert_new_batch(static_cast<std::uint32_t>(indexed_), static_cast<std::uint32_t>(n),
                           [&](std::uint32_t k) { return std::uint64_t{memo_entries_[k].frag}; });
    indexed_ = n;
}

Id EGraph::add_node(SymbolLang node, bool known_new) {
    // A node with a child class that has no parent entries cannot be in the
    // memo: every key with child c left a parent entry that now lives in c's
    // class (parent lists are only ever appended to and merged). Such a node
    // skips the lookup and is indexed later in a batch (flush_memo_index),
    // which breaks the chain of dependent cache misses when a graph is built.
    bool absent = known_new;
    node.map_children([&](Id c) {
        const Id r = union_find_.find(c);
        absent = absent || !has_parents(r);
        return r;
    });
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
    pending_.push_new_node(self);
    EClass& cls = classes_.emplace_back();
    cls.id = id;
    cls.nodes.push_back(node);
    ++class_count_;
    memo_entries_.emplace_back(std::move(node), id, static_cast<std::uint32_t>(hash >> 32));
    if (!absent) indexed_ = memo_entries_.size();
    clean_ = false;
    return id;
}

void EGraph::reserve(std::size_t nodes) {
    const std::size_t ids = union_find_.size() + nodes;
    union_find_.reserve(ids);
    classes_.reserve(ids);
    has_parents_.reserve((ids + 63) / 64);
    memo_entries_.reserve(memo_entries_.size() + nodes);
    memo_.reserve(memo_entries_.size() + nodes);
}

std::optional<Id> EGraph::lookup(SymbolLang node) const {
    for (Id& c : node.children()) c = union_find_.find(c);
    const MemoEntry* e = memo_find(node, node.hash());
    if (!e) return std::nullopt;
    return union_find_.find(e->value);
}

bool EGraph::union_(Id id1, Id id2) {
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
    touched_.push_back(r1);
    return true;
}

void EGraph::fail_invalid_id(Id r) { fail("Invalid id " + std::to_string(r)); }

std::span<const Id> EGraph::classes_with_op(GlobalSymbol op) const {
    const std::uint32_t e =
        op_index_.find(hash_word(0, op.raw()), [&](std::uint32_t i) { return op_keys_[i] == op; });
    if (e == FlatIndex::kNone) return {};
    return op_sets_[e];
}

std::uint32_t EGraph::op_slot(GlobalSymbol op) {
    const std::uint32_t next = static_cast<std::uint32_t>(op_keys_.size());
    auto [e, inserted] =
        op_index_.find_or_insert(hash_word(0, op.raw()), next, [&](std::uint32_t i) { return op_keys_[i] == op; });
    if (inserted) {
        op_keys_.push_back(op);
        op_sets_.emplace_back();
        slot_fill_.push_back(0);
    }
    return e;
}

std::size_t EGraph::process_unions() {
    flush_memo_index();
    std::size_t n_unions = 0;
    constexpr std::size_t kAhead = 8;
    // Memo entry e now names class cls; the class it named before joins cls.
    auto redirect = [&](std::uint32_t e, Id cls) {
        const Id old = std::exchange(memo_entries_[e].value, cls);
        if (union_(old, cls)) ++n_unions;
    };
    while (!pending_.empty()) {
        // Prefetch the memo slot of an entry a few places down the stack; a
        // stale guess (if unions intervene) only costs the prefetch.
        if (const std::optional<ParentRef> below = pending_.peek_below(kAhead))
            memo_.prefetch(canonical_hash(memo_entries_[below->memo_entry].key));
        const ParentRef entry = pending_.pop();
        const Id cls = entry.id;
        // A recorded node whose children are all still roots is its own
        // canonical form, so the memo entry it names is the one a lookup
        // would find (memo keys are unique), and the class's copy of it is
        // unchanged. Most pending entries are new nodes of this kind.
        {
            const SymbolLang& key = memo_entries_[entry.memo_entry].key;
            bool canonical = true;
            for (Id c : key.children()) canonical = canonical && union_find_.parent(c) == c;
            if (canonical) {
                redirect(entry.memo_entry, cls);
                continue;
            }
        }
        touched_.push_back(cls);
        SymbolLang node = memo_entries_[entry.memo_entry].key;
        for (Id& c : node.children()) c = union_find_.find_compress(c);
        const std::uint64_t hash = node.hash();
        const std::uint32_t next = static_cast<std::uint32_t>(memo_entries_.size());
        auto [e, inserted] =
            memo_.find_or_insert(hash, next, [&](std::uint32_t i) { return memo_entries_[i].key == node; });
        if (inserted) {
            memo_entries_.emplace_back(std::move(node), cls, static_cast<std::uint32_t>(hash >> 32));
            indexed_ = memo_entries_.size();
            continue;
        }
        redirect(e, cls);
    }
    return n_unions;
}

std::size_t EGraph::rebuild_classes() {
    const std::size_t ids = union_find_.size();
    if (touched_.empty() && fresh_from_ == ids) return 0;
    // The touched roots, ascending and each once: marked in a bitmap, then
    // read back in id order (cheaper than sorting when they are many).
    touched_bits_.resize((ids + 63) / 64);
    auto mark = [&](Id t) {
        const Id r = union_find_.find_compress(t);
        touched_bits_[r >> 6] |= std::uint64_t{1} << (r & 63);
    };
    for (const Id t : touched_) mark(t);
    for (std::size_t t = fresh_from_; t < ids; ++t) mark(static_cast<Id>(t));
    fresh_from_ = ids;
    touched_.clear();
    for (std::size_t w = 0; w < touched_bits_.size(); ++w)
        for (std::uint64_t bits = touched_bits_[w]; bits != 0; bits &= bits - 1)
            touched_.push_back(static_cast<Id>(w * 64 + static_cast<unsigned>(std::countr_zero(bits))));

    // When most classes are touched, re-indexing every class from scratch
    // (in id order, straight into the emptied sets) is cheaper than merging
    // changes into the sets; the result is the same.
    const bool full = touched_.size() * 4 >= class_count_;
    if (full) {
        for (const Id r : touched_) touched_bits_[r >> 6] = 0;
        touched_.clear();
        for (std::size_t slot = 0; slot < classes_.size(); ++slot)
            if (classes_[slot].id == slot) touched_.push_back(static_cast<Id>(slot));
        for (std::vector<Id>& set : op_sets_) set.clear();
    }

    std::size_t trimmed = 0;
    // Op slots by a small direct-mapped cache: a rebuild meets few distinct
    // ops, interleaved.
    struct CachedSlot {
        GlobalSymbol op;
        std::uint32_t slot = FlatIndex::kNone;
    };
    std::array<CachedSlot, 64> cache{};
    for (const Id r : touched_) {
        NodeList& nodes = classes_[r].nodes;
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
            CachedSlot& c = cache[hash_word(0, n.op.raw()) >> 58];
            if (c.slot == FlatIndex::kNone || c.op != n.op) c = CachedSlot{n.op, op_slot(n.op)};
            if (full) {
                op_sets_[c.slot].push_back(r);
                continue;
            }
            if (slot_fill_[c.slot]++ == 0) slots_met_.push_back(c.slot);
            added_.emplace_back(c.slot, r);
        }
    }
    if (full) {
        touched_.clear();
        return trimmed;
    }
    // A class never loses an op, and an absorbed class's ops live on in a
    // touched root; so only the sets of the ops just seen can have changed.
    // Group the roots by slot (a counting sort: each group stays ascending),
    // then rebuild each met slot's set.
    std::uint32_t offset = 0;
    for (const std::uint32_t slot : slots_met_) {
        const std::uint32_t count = slot_fill_[slot];
        slot_fill_[slot] = offset;
        offset += count;
    }
    added_ids_.resize(added_.size());
    for (const auto& [slot, r] : added_) added_ids_[slot_fill_[slot]++] = r;
    std::uint32_t begin = 0;
    for (const std::uint32_t slot : slots_met_) {
        const std::uint32_t end = slot_fill_[slot];
        reindex_op(slot, std::span<const Id>(added_ids_).subspan(begin, end - begin));
        slot_fill_[slot] = 0;
        begin = end;
    }
    slots_met_.clear();
    added_.clear();
    for (const Id r : touched_) touched_bits_[r >> 6] = 0;
    touched_.clear();
    return trimmed;
}

// The op's set becomes: its untouched live classes, then merged in id order,
// the touched roots holding the op (`added`, ascending).
void EGraph::reindex_op(std::uint32_t slot, std::span<const Id> added) {
    std::vector<Id>& set = op_sets_[slot];
    if (set.empty()) {
        set.assign(added.begin(), added.end());
        return;
    }
    std::vector<Id>& out = merge_scratch_;
    out.clear();
    auto a = added.begin();
    for (const Id id : set) {
        if (union_find_.parent(id) != id || ((touched_bits_[id >> 6] >> (id & 63)) & 1u)) continue;
        while (a != added.end() && *a < id) out.push_back(*a++);
        out.push_back(id);
    }
    out.insert(out.end(), a, added.end());
    set.assign(out.begin(), out.end());
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
