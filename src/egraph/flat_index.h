// FlatIndex: an open-addressing (linear probing) hash index over entry
// numbers. The caller owns the entries (typically in a vector, so each key is
// stored once) and supplies the 64-bit hash and an equality test; the index
// stores only (hash fragment, entry number) per slot, 8 bytes.
//
// A slot is 0 when empty, else (upper 32 hash bits << 32) | (entry + 1). The
// home position is taken from the top bits of that fragment, so growing
// never needs the entries' hashes again. Multiplicative hashes (such as the
// e-graph's word hash) mix best into their top bits, which is what we use.
// The load factor stays at or below 1/2.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "util/big_vector.h"

namespace dagloom::egraph {

class FlatIndex {
public:
    static constexpr std::uint32_t kNone = 0xffffffffu;

    std::size_t size() const { return size_; }

    // Entry number whose key satisfies eq(entry), or kNone.
    template <class Eq>
    std::uint32_t find(std::uint64_t hash, Eq&& eq) const {
        return size_ == 0 ? kNone : probe(hash >> 32, eq).second;
    }

    // Looks the key up; if absent, records `new_entry` for it (the caller must
    // then create that entry). Returns the entry number and whether it was
    // inserted.
    template <class Eq>
    std::pair<std::uint32_t, bool> find_or_insert(std::uint64_t hash, std::uint32_t new_entry, Eq&& eq) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        const std::uint64_t frag = hash >> 32;
        const auto [i, e] = probe(frag, eq);
        if (e != kNone) return {e, false};
        slots_[i] = (frag << 32) | (static_cast<std::uint64_t>(new_entry) + 1);
        ++size_;
        return {new_entry, true};
    }

    // Records entries [first, last), known to be absent from the index and
    // from each other; frag_of(entry) gives an entry's upper 32 hash bits.
    // The table is sized once up front, so each slot can be prefetched well
    // before it is written: the writes are random, and overlapping their
    // misses is what makes a large batch cheap.
    template <class FragOf>
    void insert_new_batch(std::uint32_t first, std::uint32_t last, FragOf&& frag_of) {
        if (first == last) return;
        reserve(size_ + (last - first));
        size_ += last - first;
        constexpr std::uint32_t kAhead = 64;
        std::uint32_t k = first;
        for (; k + kAhead < last; ++k) {
            __builtin_prefetch(slots_.data() + home(frag_of(k + kAhead)), 1);
            place(frag_of(k), k);
        }
        for (; k < last; ++k) place(frag_of(k), k);
    }

    // Hints the cache about the home slot of a hash (no effect on contents).
    void prefetch(std::uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(slots_.data() + home(hash >> 32));
    }

    // The entry in the first slot of the probe sequence whose fragment matches,
    // without comparing keys (kNone if an empty slot comes first). Used only
    // to prefetch that entry.
    std::uint32_t peek(std::uint64_t hash) const {
        auto any = [](std::uint32_t) { return true; };
        return size_ == 0 ? kNone : probe(hash >> 32, any).second;
    }

    // Makes room for n entries without further growth.
    void reserve(std::size_t n) {
        std::size_t cap = slots_.empty() ? 16 : slots_.size();
        while (n * 2 > cap) cap *= 2;
        if (cap != slots_.size()) rehash(cap);
    }

    void clear() {
        std::fill(slots_.begin(), slots_.end(), 0);
        size_ = 0;
    }

private:
    std::size_t home(std::uint64_t frag) const { return static_cast<std::size_t>(frag >> shift_); }

    // Walks the probe sequence of `frag` (the table must have slots): the
    // slot and entry of the first key with eq(entry), else the empty slot
    // that ends the walk and kNone.
    template <class Eq>
    std::pair<std::size_t, std::uint32_t> probe(std::uint64_t frag, Eq& eq) const {
        for (std::size_t i = home(frag);; i = (i + 1) & mask_) {
            const std::uint64_t v = slots_[i];
            if (v == 0) return {i, kNone};
            const auto e = static_cast<std::uint32_t>(v) - 1;
            if ((v >> 32) == frag && eq(e)) return {i, e};
        }
    }

    void place(std::uint64_t frag, std::uint32_t entry) {
        std::size_t i = home(frag);
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = (frag << 32) | (static_cast<std::uint64_t>(entry) + 1);
    }

    void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

    void rehash(std::size_t cap) {
        BigVector<std::uint64_t> old;
        old.assign_zeros(cap);
        std::swap(old, slots_);
        mask_ = cap - 1;
        unsigned bits = 0;
        while ((std::size_t{1} << bits) < cap) ++bits;
        shift_ = 32 - bits;
        constexpr std::size_t kAhead = 16;  // random writes: overlap their misses
        const std::size_t n = old.size();
        for (std::size_t k = 0; k < n; ++k) {
            if (k + kAhead < n && old[k + kAhead] != 0) __builtin_prefetch(slots_.data() + home(old[k + kAhead] >> 32), 1);
            const std::uint64_t s = old[k];
            if (s != 0) place(s >> 32, static_cast<std::uint32_t>(s) - 1);
        }
    }

    // On huge pages: probes are random, so TLB misses would otherwise
    // dominate each lookup.
    BigVector<std::uint64_t, Pages::Huge> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 32;
    std::size_t size_ = 0;
};

}  // namespace dagloom::egraph
