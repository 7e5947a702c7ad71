// Memory for the large arrays a reduction builds and drops: its per-node
// tables, the packed graphs its phases hand each other, the node tables of
// the store it returns, the e-graph's classes, memo and hash slots. Every
// block from 1 MiB up comes from here, under one policy.
//
// Fresh memory costs a page fault per 4 KiB on first touch, and on a virtual
// machine that hands freed memory back to its host a fault costs microseconds:
// on a million nodes, more than a fifth of a reduction went to touching pages
// that the call before had just given back (glibc returns the top of its heap
// and unmaps its large blocks on free). So large blocks are mapped here, and
// a freed block is kept for the next request it fits instead of being
// unmapped; a request that no kept block fits gets kept pieces moved into
// its new mapping, so that what is kept serves whatever sizes come next.
// What is kept is bounded: at most kKeptLimit bytes in all, checked
// whenever a block comes back, so that a program that reduces one big graph
// and then does other work gets all but that back at once; and a block nobody
// took for kKeptFor is unmapped at the next request or return.
//
// Running out: a mapping that fails unmaps every kept block and tries once
// more, then throws std::bad_alloc (never terminates).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

namespace dagloom {

// How a mapped block is backed. Huge pages spare TLB misses where a table is
// probed at random (the e-graph's); a table written at its end and read near
// it (a node table's columns) gains nothing from them and pays for zeroing
// 2 MiB at a time, and for splitting them when a block moves.
enum class Pages : bool { Small, Huge };

// Whether objects of T may be moved by copying their bytes and forgetting
// the source (no pointer into themselves, nothing that tracks their
// address). Trivially copyable types are; a class of our own says so by
// naming a `bitwise_relocatable` member type whose value is true.
template <class T, class = void>
struct is_bitwise_relocatable : std::is_trivially_copyable<T> {};
template <class T>
struct is_bitwise_relocatable<T, std::void_t<typename T::bitwise_relocatable>>
    : std::bool_constant<std::is_trivially_copyable_v<T> || T::bitwise_relocatable::value> {};
template <class T>
inline constexpr bool is_bitwise_relocatable_v = is_bitwise_relocatable<T>::value;

namespace memory {

// Blocks of this size and up are mapped and kept; smaller ones use the heap.
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
inline constexpr std::size_t kKeptLimit = std::size_t{64} << 20;
inline constexpr std::chrono::seconds kKeptFor{10};

// The length of the mapping that holds `bytes`: blocks are mapped in whole
// 2 MiB units, so kept ones fit later requests of about the same size.
std::size_t mapped_length(std::size_t bytes);

// A block of at least `bytes` (>= kMappedFrom), page-aligned: a kept one
// where one is large enough, else a new mapping. Throws std::bad_alloc.
void* map(std::size_t bytes, Pages pages = Pages::Small);
// The block of `old_bytes` at p, grown or shrunk to `new_bytes` (both >=
// kMappedFrom); its contents up to the smaller size stay. May move it.
void* remap(void* p, std::size_t old_bytes, std::size_t new_bytes, Pages pages = Pages::Small);
// Takes back a block from map or remap (with the size it was asked for).
void unmap(void* p, std::size_t bytes) noexcept;

// Any size: the heap below kMappedFrom, a mapped block from it up. A block
// is given back with the size it was last asked for.
void* reallocate(void* p, std::size_t old_bytes, std::size_t new_bytes, Pages pages);
void* allocate_zeroed(std::size_t bytes, Pages pages);
void deallocate(void* p, std::size_t bytes) noexcept;

// What is kept now: bytes in all, and how many blocks.
struct Kept {
    std::size_t bytes = 0;
    std::size_t blocks = 0;
};
Kept kept();
// Unmaps every kept block.
void release_kept() noexcept;

}  // namespace memory

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
        if (memory::kVectorsMapped && bytes >= memory::kMappedFrom) return static_cast<T*>(memory::map(bytes));
        return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (memory::kVectorsMapped && bytes >= memory::kMappedFrom) memory::unmap(p, bytes);
        else ::operator delete(p, std::align_val_t{alignof(T)});
    }
    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// Room for `extra` more elements, at least doubling what is there: a long
// run of appends that each make room first stays linear.
template <class Vector>
void reserve_more(Vector& v, std::size_t extra) {
    if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

}  // namespace dagloom
