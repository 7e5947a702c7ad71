#include "util/memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

#include "util/internal_error.h"

namespace dagloom::memory {

namespace {
constexpr std::size_t kUnit = std::size_t{2} << 20;
}  // namespace

std::size_t mapped_length(std::size_t bytes) { return (bytes + kUnit - 1) / kUnit * kUnit; }

namespace {

using Clock = std::chrono::steady_clock;

struct Block {
    char* at;
    std::size_t length;  // a whole number of units
    Clock::time_point since;
};

// Blocks kept for reuse. Every block is a range of one mapping, so it can
// be unmapped, remapped or split on its own.
struct KeptBlocks {
    std::mutex lock;
    std::vector<Block> blocks;
    std::size_t bytes = 0;
};

#if defined(__linux__)
KeptBlocks& kept_blocks();
void lock_for_fork() { kept_blocks().lock.lock(); }
void unlock_after_fork() { kept_blocks().lock.unlock(); }
#endif

KeptBlocks& kept_blocks() {
    // Never destroyed: a block may be returned while the process exits.
    static KeptBlocks* const kept = [] {
        auto* k = new KeptBlocks;
#if defined(__linux__)
        // A fork while another thread holds the lock would leave it held in
        // the child for good.
        pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
#endif
        return k;
    }();
    return *kept;
}

// The list, made on first use; nothing when making it runs out of memory.
KeptBlocks* kept_blocks_if_any() noexcept {
    try {
        return &kept_blocks();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void unmap_now(const Block& b) noexcept {
#if defined(__linux__)
    ::munmap(b.at, b.length);
#else
    ::operator delete(b.at);
#endif
}

// Unmaps the blocks nobody took for kKeptFor. Called with the lock held; it
// allocates nothing, so it cannot fail halfway.
void drop_expired(KeptBlocks& k, Clock::time_point now) noexcept {
    auto stale = [&](const Block& b) { return now - b.since > kKeptFor; };
    for (const Block& b : k.blocks)
        if (stale(b)) {
            unmap_now(b);
            k.bytes -= b.length;
        }
    std::erase_if(k.blocks, stale);
}

void* map_new(std::size_t length) {
#if defined(__linux__)
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        // Kept blocks may be what stands in the way.
        release_kept();
        p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
    }
    return p;
#else
    return ::operator new(length);
#endif
}

#if defined(__linux__)
// Moves kept pieces into the front of the fresh range of `length` bytes at
// p, as many as there are: their pages change address with what they hold,
// faulting none in and copying nothing. Returns how many bytes were filled;
// nothing when part of the range could not be mapped again after a move
// failed. A kept block may span several mappings (it may be such a range),
// and a move must stay within one, so pieces move a unit at a time.
std::optional<std::size_t> fill(KeptBlocks& k, char* p, std::size_t length) {
    std::size_t filled = 0;
    while (filled < length) {
        Block piece{};
        {
            std::lock_guard guard(k.lock);
            if (k.blocks.empty()) break;
            Block& last = k.blocks.back();
            piece = Block{last.at, std::min(last.length, length - filled), last.since};
            last.at += piece.length;
            last.length -= piece.length;
            k.bytes -= piece.length;
            if (last.length == 0) k.blocks.pop_back();
        }
        for (std::size_t at = 0; at < piece.length; at += kUnit) {
            char* const to = p + filled + at;
            if (::mremap(piece.at + at, kUnit, kUnit, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED) continue;
            // The kernel may have unmapped the target before failing: the
            // rest of the block is mapped afresh and the rest of the piece goes.
            ::munmap(piece.at + at, piece.length - at);
            const bool mapped = ::mmap(to, length - filled - at, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
            return mapped ? std::optional(filled + at) : std::nullopt;
        }
        filled += piece.length;
    }
    return filled;
}
#endif

// A block of `length` bytes whose first `reused` bytes hold whatever their
// last user wrote (the rest is fresh, zero-filled): the smallest kept block
// that holds it, what is left over staying kept; else a new mapping that
// kept pieces fill from the front. Without the pieces, a call whose blocks
// come in other sizes than the blocks kept would map the difference afresh
// however much is kept: a repeated reduction would fault in a large table
// each time, kept memory lying in smaller blocks beside it.
void* take(std::size_t length, std::size_t& reused) {
    reused = 0;
#if defined(__linux__)
    KeptBlocks& k = kept_blocks();
    {
        std::lock_guard guard(k.lock);
        drop_expired(k, Clock::now());
        auto best = k.blocks.end();
        for (auto it = k.blocks.begin(); it != k.blocks.end(); ++it)
            if (it->length >= length && (best == k.blocks.end() || it->length < best->length)) best = it;
        if (best != k.blocks.end()) {
            char* const at = best->at;
            if (best->length > length) {
                best->at += length;
                best->length -= length;
            } else {
                k.blocks.erase(best);
            }
            k.bytes -= length;
            reused = length;
            return at;
        }
    }
    char* const p = static_cast<char*>(map_new(length));
    const std::optional<std::size_t> filled = fill(k, p, length);
    if (!filled) {
        ::munmap(p, length);
        throw std::bad_alloc();
    }
    reused = *filled;
    return p;
#else
    return map_new(length);
#endif
}

void advise(void* p, std::size_t length, Pages pages) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (pages == Pages::Huge) ::madvise(p, length, MADV_HUGEPAGE);  // a hint: failure is harmless
#else
    (void)p, (void)length, (void)pages;
#endif
}

void* map_block(std::size_t bytes, Pages pages, std::size_t& reused) {
    // Larger sizes would wrap when rounded to whole units.
    if (bytes > std::numeric_limits<std::size_t>::max() - kUnit) throw std::bad_alloc();
    const std::size_t length = mapped_length(bytes);
    void* p = take(length, reused);
    advise(p, length, pages);
    return p;
}

}  // namespace

void* map(std::size_t bytes, Pages pages) {
    std::size_t reused = 0;
    return map_block(bytes, pages, reused);
}

void* remap(void* p, std::size_t old_bytes, std::size_t new_bytes, Pages pages) {
    if (new_bytes > std::numeric_limits<std::size_t>::max() - kUnit) throw std::bad_alloc();
    const std::size_t old_length = mapped_length(old_bytes), new_length = mapped_length(new_bytes);
    if (old_length == new_length) return p;
#if defined(__linux__)
    KeptBlocks& k = kept_blocks();
    auto* moved = static_cast<char*>(::mremap(p, old_length, new_length, MREMAP_MAYMOVE));
    if (moved != MAP_FAILED) {
        // The new tail is fresh: kept pieces go there instead. Filling it
        // fails only where the kernel cannot map what it just unmapped, and
        // by then the block has moved: a broken state, not a shortage.
        if (new_length > old_length && !fill(k, moved + old_length, new_length - old_length))
            fail("a grown block lost part of its new tail");
        advise(moved, new_length, pages);
        return moved;
    }
#endif
    // Out of address space next to it, or no mremap: copy.
    void* fresh = map(new_bytes, pages);
    std::memcpy(fresh, p, std::min(old_bytes, new_bytes));
    unmap(p, old_bytes);
    return fresh;
}

void unmap(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    const Block block{static_cast<char*>(p), mapped_length(bytes), Clock::now()};
#if defined(__linux__)
    // Without a list to keep it in, the block is handed back.
    KeptBlocks* const kept = block.length <= kKeptLimit ? kept_blocks_if_any() : nullptr;
    if (kept != nullptr) {
        KeptBlocks& k = *kept;
        std::lock_guard guard(k.lock);
        drop_expired(k, block.since);
        try {
            k.blocks.push_back(block);
        } catch (const std::bad_alloc&) {
            unmap_now(block);  // no room to list it
            return;
        }
        k.bytes += block.length;
        // Over the limit: the blocks kept longest go first.
        while (k.bytes > kKeptLimit) {
            auto oldest = std::min_element(k.blocks.begin(), k.blocks.end(),
                                           [](const Block& a, const Block& b) { return a.since < b.since; });
            unmap_now(*oldest);
            k.bytes -= oldest->length;
            k.blocks.erase(oldest);
        }
        return;
    }
#endif
    unmap_now(block);
}

Kept kept() {
    KeptBlocks& k = kept_blocks();
    std::lock_guard guard(k.lock);
    return {k.bytes, k.blocks.size()};
}

void release_kept() noexcept {
    KeptBlocks* const kept = kept_blocks_if_any();
    if (kept == nullptr) return;  // never made: nothing is kept
    KeptBlocks& k = *kept;
    std::lock_guard guard(k.lock);
    for (const Block& b : k.blocks) unmap_now(b);
    k.blocks.clear();
    k.bytes = 0;
}

void* reallocate(void* p, std::size_t old_bytes, std::size_t new_bytes, Pages pages) {
    const bool was_mapped = p && old_bytes >= kMappedFrom;
    if (new_bytes >= kMappedFrom) {
        if (was_mapped) return remap(p, old_bytes, new_bytes, pages);
        void* q = map(new_bytes, pages);
        if (p) {
            std::memcpy(q, p, old_bytes);
            std::free(p);
        }
        return q;
    }
    if (was_mapped) {
        // Shrinking a mapped block below the mapping threshold: realloc
        // cannot take a block malloc never gave out.
        void* q = std::malloc(new_bytes == 0 ? 1 : new_bytes);
        if (!q) throw std::bad_alloc();
        std::memcpy(q, p, new_bytes);
        unmap(p, old_bytes);
        return q;
    }
    void* q = std::realloc(p, new_bytes == 0 ? 1 : new_bytes);
    if (!q) throw std::bad_alloc();
    return q;
}

void* allocate_zeroed(std::size_t bytes, Pages pages) {
    if (bytes >= kMappedFrom) {
        std::size_t reused = 0;
        void* p = map_block(bytes, pages, reused);
        std::memset(p, 0, std::min(bytes, reused));  // kept memory holds what its last user wrote
        return p;
    }
    void* p = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (!p) throw std::bad_alloc();
    return p;
}

void deallocate(void* p, std::size_t bytes) noexcept {
    if (bytes >= kMappedFrom) unmap(p, bytes);
    else std::free(p);
}

}  // namespace dagloom::memory
