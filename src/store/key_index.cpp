#include "store/key_index.h"

#include <algorithm>
#include <random>

#include "util/internal_error.h"

namespace dagloom {

uint64_t random_hash_seed() {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

void KeyIndex::rehash(std::size_t capacity) {
    std::vector<uint64_t> fresh(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (uint64_t s : slots_) {
        if (s == 0) continue;
        std::size_t i = static_cast<std::size_t>(s >> 32) & mask;
        while (fresh[i] != 0) i = (i + 1) & mask;
        fresh[i] = s;
    }
    slots_ = std::move(fresh);
}

void KeyIndex::grow_for_one() {
    if (size_ >= kMaxEntries) fail("dagloom-core key index is full: more than 4294967294 keys");
    // Keep the load factor at most 0.7 so probe runs stay short.
    rehash(slots_.empty() ? 16 : slots_.size() * 2);
}

void KeyIndex::erase_from(uint64_t first) noexcept {
    if (slots_.empty()) return;
    const std::size_t mask = slots_.size() - 1;
    std::size_t removed = 0;
    for (uint64_t& s : slots_)
        if (s != 0 && static_cast<uint32_t>(s) - 1 >= first) {
            s = 0;
            ++removed;
        }
    if (removed == 0) return;
    size_ -= removed;
    // Starting just after an empty slot, every entry is taken out and put
    // back at the first free slot of its run, which is never past where it
    // was: runs that a removal broke close up again.
    std::size_t start = 0;
    while (slots_[start] != 0) ++start;
    for (std::size_t k = 1; k <= mask; ++k) {
        const std::size_t i = (start + k) & mask;
        const uint64_t s = slots_[i];
        if (s == 0) continue;
        slots_[i] = 0;
        std::size_t j = bucket(s >> 32);
        while (slots_[j] != 0) j = (j + 1) & mask;
        slots_[j] = s;
    }
}

void KeyIndex::reserve(std::size_t count) {
    std::size_t capacity = slots_.empty() ? 16 : slots_.size();
    while (count * 10 > capacity * 7) capacity *= 2;
    if (capacity != slots_.size()) rehash(capacity);
}

}  // namespace dagloom
