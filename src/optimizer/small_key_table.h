// The replay's hash table of class nodes with at most two children.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "egraph/language.h"
#include "util/memory.h"

namespace dagloom {

// A hash table of class nodes with at most two children, each stored whole
// in its slot with its class: a lookup costs one cache miss, where a key
// kept beside an index of entry numbers costs three or four. These are
// nearly all the nodes of a computation graph.
//
// The table is split by a key's later child class, 512 classes to a
// segment; keys without children share segment 0. A pass visits nodes in
// order and their children are mostly recent, so its lookups stay within a
// few small segments instead of landing anywhere in one table as large as
// the graph: on a million nodes that is the difference between a cache miss
// per node and almost none. (Prefetching a node's slot a few nodes ahead,
// as once done here, then costs more than the misses it hides: the key must
// be worked out twice.) Equal keys read the same classes, so they always
// meet in one segment.
class SmallKeyTable {
public:
    struct Key {
        uint32_t tag;  // (arity << 30) | (op + 1); 0 marks an empty slot
        uint32_t a, b;  // the child classes, 0 where absent
        bool operator==(const Key&) const = default;
    };
    // Operators must be below kMaxOps (the replay declines graphs with more
    // texts; no graph that fits in memory has them).
    static constexpr std::size_t kMaxOps = (std::size_t{1} << 30) - 1;
    static bool fits(std::size_t arity) { return arity <= 2; }
    static Key key(uint32_t op, std::size_t arity, uint32_t a, uint32_t b) {
        return Key{static_cast<uint32_t>(arity << 30) | (op + 1), a, b};
    }
    static uint64_t hash(const Key& k) { return egraph::hash_word(egraph::hash_word(egraph::hash_word(0, k.tag), k.a), k.b); }

    SmallKeyTable() = default;
    SmallKeyTable(const SmallKeyTable&) = delete;
    SmallKeyTable& operator=(const SmallKeyTable&) = delete;
    ~SmallKeyTable() {
        if (slab_) ScratchAllocator<Slot>().deallocate(slab_, slab_size_);
    }

    // Empties the table for about `keys` keys over child classes below
    // `classes`. A segment is emptied when first used after this, so the
    // pass that fills it finds it freshly written, in the cache.
    void reset(std::size_t keys, std::size_t classes) {
        const std::size_t count = (classes >> kSegmentBits) + 1;
        if (segments_.size() < count) segments_.resize(count);
        std::size_t cap = 16;
        while (cap * 3 < keys / count * 4) cap *= 2;
        cap_ = cap;
        // Each segment starts in its own part of one block: a few large
        // blocks are reused from call to call, where a block per segment
        // would be fresh memory each time.
        if (slab_size_ < count * cap) {
            if (slab_) ScratchAllocator<Slot>().deallocate(std::exchange(slab_, nullptr), slab_size_);
            slab_ = ScratchAllocator<Slot>().allocate(count * cap);
            slab_size_ = count * cap;
        }
        ++generation_;
    }
    // The value stored with k; when absent, stores `value` first. Returns
    // where the value is kept (until the next insertion) and whether it was
    // stored now.
    std::pair<uint32_t*, bool> find_or_insert(const Key& k, uint64_t hash, uint32_t value) {
        Segment& s = current(segment_of(k));
        for (std::size_t i = slot_of(hash) & s.mask;; i = (i + 1) & s.mask) {
            Slot& slot = s.slots[i];
            if (slot.key.tag == 0) {
                if ((s.size + 1) * 4 > (s.mask + 1) * 3) {
                    grow(s);
                    return find_or_insert(k, hash, value);
                }
                slot = Slot{k, value};
                ++s.size;
                return {&slot.value, true};
            }
            if (slot.key == k) return {&slot.value, false};
        }
    }
    bool contains(const Key& k, uint64_t hash) {
        const Segment& s = current(segment_of(k));
        for (std::size_t i = slot_of(hash) & s.mask;; i = (i + 1) & s.mask) {
            const Slot& slot = s.slots[i];
            if (slot.key.tag == 0) return false;
            if (slot.key == k) return true;
        }
    }

private:
    static constexpr unsigned kSegmentBits = 9;
    struct Slot {
        Key key{0, 0, 0};
        uint32_t value = 0;
    };
    struct Segment {
        Slot* slots = nullptr;  // mask + 1 of them: its part of the slab, or `grown`
        std::size_t mask = 0;
        std::size_t size = 0;
        uint64_t generation = 0;  // its contents are the table's when equal to generation_
        ScratchVector<Slot> grown;  // once it outgrows its part
    };
    Segment& current(std::size_t index) {
        Segment& s = segments_[index];
        if (s.generation != generation_) {
            ScratchVector<Slot>().swap(s.grown);
            s.slots = slab_ + index * cap_;
            s.mask = cap_ - 1;
            std::uninitialized_fill(s.slots, s.slots + cap_, Slot{});
            s.size = 0;
            s.generation = generation_;
        }
        return s;
    }
    static std::size_t segment_of(const Key& k) { return std::max(k.a, k.b) >> kSegmentBits; }
    static std::size_t slot_of(uint64_t hash) { return static_cast<std::size_t>(hash >> 32); }
    static void grow(Segment& s) {
        ScratchVector<Slot> bigger((s.mask + 1) * 2);
        const std::size_t mask = bigger.size() - 1;
        for (std::size_t k = 0; k <= s.mask; ++k) {
            const Slot& slot = s.slots[k];
            if (slot.key.tag == 0) continue;
            std::size_t i = slot_of(hash(slot.key)) & mask;
            while (bigger[i].key.tag != 0) i = (i + 1) & mask;
            bigger[i] = slot;
        }
        s.grown.swap(bigger);
        s.slots = s.grown.data();
        s.mask = mask;
    }

    std::vector<Segment> segments_;
    Slot* slab_ = nullptr;  // cap_ slots per segment, filled as segments are first used
    std::size_t slab_size_ = 0;
    std::size_t cap_ = 16;  // the room a segment starts with
    uint64_t generation_ = 1;
};

}  // namespace dagloom
