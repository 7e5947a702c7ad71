// Memory for the large arrays a reduction builds and drops: its per-node
// tables, the packed graphs its phases hand each other, the node tables of
// the store it returns.
//
// Fresh memory costs a page fault per 4 KiB on first touch, and on a virtual
// machine that hands freed memory back to its host a fault costs microseconds:
// on a million nodes, more than a fifth of a reduction went to touching pages
// that the call before had just given back (glibc returns the top of its heap
// and unmaps its large blocks on free). So blocks from 1 MiB up are mapped
// here, and a freed block is kept for the next request it fits instead of
// being unmapped. Kept blocks are bounded (kKeptLimit bytes in all) and a
// block nobody took for kKeptFor is unmapped at the next request or return.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace dagloom {

namespace scratch {

// Blocks of this size and up are mapped and kept; smaller ones use new.
inline constexpr std::size_t kMappedFrom = std::size_t{1} << 20;
// Under AddressSanitizer vectors stay on its heap, where it guards their
// bounds; it cannot guard a mapped block.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kVectorsMapped = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kVectorsMapped = false;
#else
inline constexpr bool kVectorsMapped = true;
#endif
#else
inline constexpr bool kVectorsMapped = true;
#endif
inline constexpr std::size_t kKeptLimit = std::size_t{256} << 20;
inline constexpr std::chrono::seconds kKeptFor{10};

// The length of the mapping that holds `bytes`: blocks are mapped in whole
// 2 MiB units, so kept ones fit later requests of about the same size.
std::size_t mapped_length(std::size_t bytes);

// A block of at least `bytes` (>= kMappedFrom), page-aligned: a kept one
// where one is large enough, else a new mapping. Throws std::bad_alloc.
void* map(std::size_t bytes);
// The block of `old_bytes` at p, grown or shrunk to `new_bytes` (both >=
// kMappedFrom); its contents up to the smaller size stay. May move it.
void* remap(void* p, std::size_t old_bytes, std::size_t new_bytes);
// Takes back a block from map or remap (with the size it was asked for).
void unmap(void* p, std::size_t bytes) noexcept;

// What is kept now: bytes in all, and how many blocks.
struct Kept {
    std::size_t bytes = 0;
    std::size_t blocks = 0;
};
Kept kept();
// Unmaps every kept block.
void release_kept() noexcept;

}  // namespace scratch

// A stateless allocator over the blocks above, for std::vector.
template <class T>
struct ScratchAllocator {
    using value_type = T;

    ScratchAllocator() = default;
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (scratch::kVectorsMapped && bytes >= scratch::kMappedFrom) return static_cast<T*>(scratch::map(bytes));
        return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (scratch::kVectorsMapped && bytes >= scratch::kMappedFrom) scratch::unmap(p, bytes);
        else ::operator delete(p, std::align_val_t{alignof(T)});
    }
    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

}  // namespace dagloom
