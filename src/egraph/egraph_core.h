// The e-graph: hash-consed term nodes grouped into
// equivalence classes over a union-find, with deferred congruence closure.
//
// Naming: the natural name `union` is a C++ keyword; it is `union_` here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "egraph/flat_index.h"
#include "egraph/language.h"
#include "util/big_vector.h"
#include "util/small_vector.h"

namespace dagloom::egraph {

// A parent entry: (the parent node as it was recorded, the id it had then).
//
// Every parent entry is made by add_internal from the node it just stored as
// a new memo key, and memo keys are never changed or removed. So instead of
// a private copy of that node, an entry names the memo entry holding it
// (EGraph::parent_node reads it back): 8 bytes instead of 24, and no copy.
// Pending entries are the same references.
struct ParentRef {
    std::uint32_t memo_entry;
    Id id;
    friend bool operator==(const ParentRef&, const ParentRef&) = default;
};

// The pending entries: a stack of parent entries. A new node's own entry is
// (its memo entry, its id), and consecutive adds number both in step, so a
// run of two or more such entries is kept as one record (its first entry and
// length) instead of 8 bytes per node; other entries are stored one by one.
class PendingList {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    template <class It>
    void append(It first, It last) {
        const std::size_t before = stored_.size();
        stored_.append(first, last);
        size_ += stored_.size() - before;
    }
    void push_new_node(ParentRef p) {
        ++size_;
        if (top_is_run()) {
            Run& r = runs_.back();
            if (r.entry(r.count) == p) {
                ++r.count;
                return;
            }
        } else if (!stored_.empty() && successor(stored_.back()) == p) {
            // The stored top and p start a run.
            const ParentRef first = stored_.back();
            stored_.pop_back();
            runs_.push_back(Run{stored_.size(), first, 2});
            return;
        }
        stored_.push_back(p);
    }
    // Takes the newest entry.
    ParentRef pop() {
        --size_;
        if (top_is_run()) {
            Run& r = runs_.back();
            const ParentRef p = r.entry(r.count - 1);
            if (--r.count == 0) runs_.pop_back();
            return p;
        }
        const ParentRef p = stored_.back();
        stored_.pop_back();
        return p;
    }
    // The entry `depth` places below the newest when it lies in the same run
    // or stretch of stored entries (a hint for prefetching), else nothing.
    std::optional<ParentRef> peek_below(std::size_t depth) const {
        if (top_is_run()) {
            const Run& r = runs_.back();
            if (r.count <= depth) return std::nullopt;
            return r.entry(r.count - 1 - depth);
        }
        const std::size_t floor = runs_.empty() ? 0 : runs_.back().at;
        if (stored_.size() - floor <= depth) return std::nullopt;
        return stored_[stored_.size() - 1 - depth];
    }
    // All entries, oldest first.
    std::vector<ParentRef> entries() const {
        std::vector<ParentRef> out;
        out.reserve(size_);
        std::size_t next_stored = 0;
        for (const Run& r : runs_) {
            out.insert(out.end(), stored_.begin() + next_stored, stored_.begin() + r.at);
            next_stored = r.at;
            for (std::uint32_t k = 0; k < r.count; ++k) out.push_back(r.entry(k));
        }
        out.insert(out.end(), stored_.begin() + next_stored, stored_.end());
        return out;
    }

private:
    // A run lies after the first `at` stored entries (and after earlier runs).
    struct Run {
        std::size_t at;
        ParentRef first;
        std::uint32_t count;
        ParentRef entry(std::uint32_t k) const { return ParentRef{first.memo_entry + k, first.id + k}; }
    };
    bool top_is_run() const { return !runs_.empty() && runs_.back().at == stored_.size(); }
    static ParentRef successor(ParentRef p) { return ParentRef{p.memo_entry + 1, p.id + 1}; }

    BigVector<ParentRef> stored_;
    std::vector<Run> runs_;
    std::size_t size_ = 0;
};

// Flat node and parent lists; most classes hold one node and a couple of
// parents, which then live inline in the class without a heap allocation
// (an EClass is 64 bytes: one cache line).
using NodeList = SmallVector<SymbolLang, 1>;
using ParentList = SmallVector<ParentRef, 3>;

struct EClass {
    using bitwise_relocatable = std::true_type;  // its lists are
    Id id = 0;           // the representative; equals the key
    NodeList nodes;      // sorted and deduplicated after rebuild
    ParentList parents;  // one entry per occurrence as a child
};

class EGraph {
public:
    // Makes room for `nodes` more classes and memo entries without regrowing
    // the tables (the caller knows how many nodes it is about to add).
    void reserve(std::size_t nodes);

    // add_internal then find: the representative of the node's class.
    Id add(SymbolLang node) { return find(add_internal(std::move(node))); }
    // Hash-consing insert: the stored memo id when present, else a new class.
    Id add_internal(SymbolLang node) { return add_node(std::move(node), false); }
    // add for a node the caller knows the e-graph does not hold: no node
    // added before has its op and (canonical) children. It skips the lookup
    // and is indexed with the next batch, so building a graph of distinct
    // nodes (an interned store's) takes no dependent cache miss per node.
    // A node that is in fact present would be held twice.
    Id add_new(SymbolLang node) { return find(add_node(std::move(node), true)); }
    // The representative of the class holding the node, or nothing.
    std::optional<Id> lookup(SymbolLang node) const;

    // Merges two classes; true when they were different. Always marks dirty.
    bool union_(Id id1, Id id2);

    // Restores the invariants; returns the number of congruence merges.
    std::size_t rebuild();

    Id find(Id id) const { return union_find_.find(id); }

    // The class of find(id); "Invalid id {}" if it has none.
    const EClass& operator[](Id id) const {
        const Id r = union_find_.find(id);
        if (r >= classes_.size() || classes_[r].id != r) [[unlikely]]
            fail_invalid_id(r);
        return classes_[r];
    }
    EClass& operator[](Id id) { return const_cast<EClass&>(std::as_const(*this)[id]); }

    std::size_t class_count() const { return class_count_; }
    std::size_t memo_len() const { return memo_entries_.size(); }
    // Number of ids ever created.
    std::size_t id_count() const { return union_find_.size(); }
    bool is_clean() const { return clean_; }
    std::size_t pending_len() const { return pending_.size(); }
    // The recorded parent node of a parent (or pending) entry.
    const SymbolLang& parent_node(const ParentRef& p) const { return memo_entries_[p.memo_entry].key; }
    // A copy of the pending entries, oldest first (rebuild takes them
    // last-in first-out).
    std::vector<ParentRef> pending() const { return pending_.entries(); }

    // Cache hints for batched callers (rule application): they change
    // nothing. `node` need not be canonical; its children are looked up.
    // Stage 1: the memo index slot of the node. Stage 2 (issued later, once
    // the slot is likely cached): the memo entry it names.
    void prefetch_lookup_slot(const SymbolLang& node) const { memo_.prefetch(canonical_hash(node)); }
    void prefetch_lookup_entry(const SymbolLang& node) const {
        if (indexed_ != memo_entries_.size()) return;
        const std::uint32_t e = memo_.peek(canonical_hash(node));
        if (e != FlatIndex::kNone) __builtin_prefetch(&memo_entries_[e]);
    }
    void prefetch_id(Id id) const {
        if (id < union_find_.size()) __builtin_prefetch(union_find_.parent_address(id));
    }
    void prefetch_class(Id id) const {
        if (id < union_find_.size()) __builtin_prefetch(&classes_[union_find_.find(id)]);
    }

    // The op index: the classes holding at least one node with this operator
    // (each once, ascending id), as of the last rebuild.
    std::span<const Id> classes_with_op(GlobalSymbol op) const;

    // Iteration over all classes (ascending representative id), for range
    // for: a slot holds a live class exactly when its id equals its position.
    class ClassIterator {
    public:
        ClassIterator(const EClass* base, const EClass* cur, const EClass* end) : base_(base), cur_(cur), end_(end) {
            skip();
        }
        const EClass& operator*() const { return *cur_; }
        ClassIterator& operator++() {
            ++cur_;
            skip();
            return *this;
        }
        bool operator==(const ClassIterator& o) const { return cur_ == o.cur_; }

    private:
        void skip() {
            while (cur_ != end_ && cur_->id != static_cast<Id>(cur_ - base_)) ++cur_;
        }
        const EClass* base_;
        const EClass* cur_;
        const EClass* end_;
    };
    struct ClassRange {
        ClassIterator b, e;
        ClassIterator begin() const { return b; }
        ClassIterator end() const { return e; }
    };
    ClassRange classes() const {
        const EClass* base = classes_.data();
        const EClass* end = base + classes_.size();
        return ClassRange{ClassIterator(base, base, end), ClassIterator(base, end, end)};
    }

private:
    struct MemoEntry {
        using bitwise_relocatable = std::true_type;  // its key is
        MemoEntry(SymbolLang&& k, Id v, std::uint32_t f) noexcept : key(std::move(k)), value(v), frag(f) {}
        SymbolLang key;
        Id value;
        std::uint32_t frag;  // upper 32 bits of key.hash(), for deferred indexing
    };
    static constexpr Id kDead = 0xffffffffu;
    [[noreturn]] static void fail_invalid_id(Id r);

    std::uint64_t canonical_hash(const SymbolLang& node) const {
        std::uint64_t h = hash_word(0, node.op.raw());
        h = hash_word(h, node.len());
        for (Id c : node.children()) h = hash_word(h, c < union_find_.size() ? union_find_.find(c) : c);
        return h;
    }

    Id add_node(SymbolLang node, bool known_new);

    // memo access
    const MemoEntry* memo_find(const SymbolLang& key, std::uint64_t hash) const;
    // Enters the memo entries not yet in the index (see add_internal).
    void flush_memo_index() const {
        if (indexed_ != memo_entries_.size()) flush_memo_index_slow();
    }
    void flush_memo_index_slow() const;

    std::size_t process_unions();
    std::size_t rebuild_classes();

    UnionFind union_find_;
    BigVector<MemoEntry> memo_entries_;  // append-only; keys never removed
    // Index over memo_entries_ keys. Entries [indexed_, size) are known to be
    // absent from each other and from every earlier key and are entered in a
    // batch before the next lookup; mutable so that a const lookup on a dirty
    // e-graph can complete it (the e-graph is used from one thread).
    mutable FlatIndex memo_;
    mutable std::size_t indexed_ = 0;
    PendingList pending_;
    BigVector<EClass> classes_;          // slot i holds class i while i is a root
    std::size_t class_count_ = 0;
    // Bit r set when class r has at least one parent entry (kept for roots).
    // The same fact as !classes_[r].parents.empty(), in 1 bit per id instead
    // of a 64-byte record, for add_internal's "cannot be present" test.
    BigVector<std::uint64_t> has_parents_;
    bool has_parents(Id r) const { return (has_parents_[r >> 6] >> (r & 63)) & 1u; }
    void set_has_parents(Id r) { has_parents_[r >> 6] |= std::uint64_t{1} << (r & 63); }
    std::vector<GlobalSymbol> op_keys_;
    std::vector<std::vector<Id>> op_sets_;
    FlatIndex op_index_;                   // hashes op_keys_
    // Classes whose node lists may have changed since the last rebuild, as
    // possibly stale ids with repeats: union survivors and holders of
    // re-queued parent nodes in `touched_`, and every class created since
    // (ids from `fresh_from_` on). All other classes are still sorted and
    // canonical and keep their op-index entries, so rebuild visits only these.
    std::vector<Id> touched_;
    std::size_t fresh_from_ = 0;
    // rebuild_classes scratch, kept to reuse the memory: a bit per id for
    // the touched roots; (op slot, root) pairs in root order; per op slot a
    // count, then an offset into `added_ids_` (zero outside a rebuild); the
    // slots met, in order of first meeting; the pairs' roots grouped by slot.
    std::vector<std::uint64_t> touched_bits_;
    std::vector<std::pair<std::uint32_t, Id>> added_;
    std::vector<std::uint32_t> slot_fill_;
    std::vector<std::uint32_t> slots_met_;
    std::vector<Id> added_ids_;
    std::vector<Id> merge_scratch_;
    std::uint32_t op_slot(GlobalSymbol op);
    void reindex_op(std::uint32_t slot, std::span<const Id> added);
    bool clean_ = false;
};

}  // namespace dagloom::egraph
