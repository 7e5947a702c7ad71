// Hash-consing index over a vector of keys: open addressing of positions,
// hashed by the key each position points to, so every key is stored once
// (in the vector) and the index costs a few bytes per key.
//
// A store's index is searched by threads that do not hold its writers'
// lock while one writer records new entries: a slot is read and written as
// one atomic word, and a writer fills in everything an entry points to
// before it stores the slot (release), so a search that loads the slot
// (acquire) sees all of it. Growing the index moves the slots: the store
// keeps searches out while that happens (see GraphStore).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace dagloom {

// A fresh random seed for hashes private to one table.
uint64_t random_hash_seed();

class KeyIndex {
public:
    // The first position recorded under `hash` for which equal(pos) holds,
    // or nothing.
    template <class Equal>
    std::optional<uint64_t> find_if(uint64_t hash, Equal&& equal) const {
        if (slots_.empty()) return std::nullopt;
        const uint64_t tag = tag_of(hash);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = bucket(tag);; i = (i + 1) & mask) {
            const uint64_t s = load(i);
            if (s == 0) return std::nullopt;
            if ((s >> 32) == tag) {
                const uint64_t pos = static_cast<uint32_t>(s) - 1;
                if (equal(pos)) return pos;
            }
        }
    }

    // Starts loading the slot a probe for `hash` begins at. Random probes
    // into a large index each miss the cache; issued a few keys ahead they
    // overlap instead of each stalling in turn.
    void prefetch(uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[bucket(tag_of(hash))]);
    }
    // The same for a writer about to record `hash` (the line is fetched
    // ready to be written).
    void prefetch_for_insert(uint64_t hash) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[bucket(tag_of(hash))], 1);
    }

    // Records position `pos` under `hash` unless equal(p) holds for a
    // position p already recorded under it; returns whether it recorded.
    // Never allocates after reserve().
    template <class Equal>
    bool insert_unless(uint64_t pos, uint64_t hash, Equal&& equal) {
        const uint64_t tag = tag_of(hash);
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = bucket(tag);
        for (;; i = (i + 1) & mask) {
            const uint64_t s = slots_[i];
            if (s == 0) break;
            if ((s >> 32) == tag && equal(static_cast<uint32_t>(s) - 1)) return false;
        }
        std::atomic_ref<uint64_t>(slots_[i]).store((tag << 32) | (pos + 1), std::memory_order_release);
        ++size_;
        return true;
    }

    // Makes room for one more entry; call before appending to the key vector
    // so that a failed allocation leaves both unchanged.
    void reserve_one() {
        if (!has_room_for_one() || size_ >= kMaxEntries) grow_for_one();
    }
    // Whether one more entry fits without growing (reserve_one would do nothing).
    bool has_room_for_one() const { return !slots_.empty() && (size_ + 1) * 10 <= slots_.size() * 7; }
    // Forgets every entry for a position from `first` on. Allocates nothing:
    // the entries left are moved up their probe runs where a removed one
    // leaves a gap.
    void erase_from(uint64_t first) noexcept;
    // Makes room for `count` entries in all, so that many inserts never rehash.
    void reserve(std::size_t count);
    // Records that position `pos` (the next one) holds a key with `hash`.
    // Never allocates after reserve_one().
    void insert(uint64_t pos, uint64_t hash) {
        insert_unless(pos, hash, [](uint64_t) { return false; });
    }

    std::size_t size() const { return size_; }

private:
    // Positions are stored in 32 bits (plus one for "empty").
    static constexpr uint64_t kMaxEntries = 0xfffffffeULL;
    // A slot holds the hash's high 32 bits (the tag) above position + 1;
    // 0 is empty. The tag picks the bucket and screens candidates, so a
    // probe touches a key only when 32 bits of its hash already agree.
    static uint64_t tag_of(uint64_t hash) { return hash >> 32; }
    std::size_t bucket(uint64_t tag) const { return static_cast<std::size_t>(tag) & (slots_.size() - 1); }
    uint64_t load(std::size_t i) const {
        return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(slots_[i])).load(std::memory_order_acquire);
    }
    void rehash(std::size_t capacity);
    void grow_for_one();

    std::vector<uint64_t> slots_;  // power-of-two size
    std::size_t size_ = 0;
};

}  // namespace dagloom
