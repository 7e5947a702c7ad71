// Memory for BigVector (big_vector.h): large blocks are mapped and grown
// with mremap, smaller ones live on the heap.
#include "util/big_vector.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "util/scratch_memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dagloom::detail {

namespace {
// Blocks from this size up are mapped: huge-page ones here (each needs a
// mapping of its own to be advised), small-page ones as scratch memory,
// which keeps freed blocks for the next table instead of handing them back.
constexpr std::size_t kMappedFrom = scratch::kMappedFrom;
using scratch::mapped_length;

#if defined(__linux__)
void* map_huge(void* p, std::size_t old_bytes, std::size_t new_bytes, bool was_mapped) {
    void* q = was_mapped ? ::mremap(p, mapped_length(old_bytes), mapped_length(new_bytes), MREMAP_MAYMOVE)
                         : ::mmap(nullptr, mapped_length(new_bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (q == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(q, mapped_length(new_bytes), MADV_HUGEPAGE);
#endif
    return q;
}
void unmap_block(void* p, std::size_t bytes, bool huge) noexcept {
    if (huge) ::munmap(p, mapped_length(bytes));
    else scratch::unmap(p, bytes);
}
#endif
}  // namespace

void* big_realloc(void* p, std::size_t old_bytes, std::size_t new_bytes, bool huge) {
#if defined(__linux__)
    const bool was_mapped = p && old_bytes >= kMappedFrom;
    if (new_bytes >= kMappedFrom) {
        if (was_mapped) return huge ? map_huge(p, old_bytes, new_bytes, true) : scratch::remap(p, old_bytes, new_bytes);
        void* q = huge ? map_huge(nullptr, 0, new_bytes, false) : scratch::map(new_bytes);
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
        unmap_block(p, old_bytes, huge);
        return q;
    }
#endif
    void* q = std::realloc(p, new_bytes == 0 ? 1 : new_bytes);
    if (!q) throw std::bad_alloc();
    return q;
}

void big_free(void* p, std::size_t bytes, bool huge) noexcept {
    if (!p) return;
#if defined(__linux__)
    if (bytes >= kMappedFrom) {
        unmap_block(p, bytes, huge);
        return;
    }
#endif
    std::free(p);
}

}  // namespace dagloom::detail
