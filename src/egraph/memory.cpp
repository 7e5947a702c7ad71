// Memory for the e-graph tables: SlotBuffer (flat_index.h) and BigVector (big_vector.h).
#include "egraph/flat_index.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dagloom::egraph {

namespace {
constexpr std::size_t kHuge = std::size_t{2} << 20;  // 2 MiB
}

SlotBuffer::SlotBuffer(std::size_t n) : n_(n) {
    if (n == 0) return;
    const std::size_t bytes = n * sizeof(std::uint64_t);
#if defined(__linux__)
    if (bytes >= kHuge / 2) {
        const std::size_t len = (bytes + kHuge - 1) / kHuge * kHuge;
        void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
#ifdef MADV_HUGEPAGE
            ::madvise(p, len, MADV_HUGEPAGE);
#endif
            p_ = static_cast<std::uint64_t*>(p);
            mapped_ = len;
            return;  // anonymous mappings are zero-filled
        }
    }
#endif
    p_ = static_cast<std::uint64_t*>(std::calloc(n, sizeof(std::uint64_t)));
    if (!p_) throw std::bad_alloc();
}

SlotBuffer::SlotBuffer(const SlotBuffer& o) : SlotBuffer(o.n_) {
    if (n_) std::memcpy(p_, o.p_, n_ * sizeof(std::uint64_t));
}

SlotBuffer::~SlotBuffer() {
    if (!p_) return;
#if defined(__linux__)
    if (mapped_) {
        ::munmap(p_, mapped_);
        return;
    }
#endif
    std::free(p_);
}

void SlotBuffer::zero() {
    if (n_) std::memset(p_, 0, n_ * sizeof(std::uint64_t));
}

}  // namespace dagloom::egraph

#include "egraph/big_vector.h"

namespace dagloom::egraph::detail {

namespace {
constexpr std::size_t kBig = std::size_t{1} << 20;
std::size_t mapped_len(std::size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }
}  // namespace

void* big_realloc(void* p, std::size_t old_bytes, std::size_t new_bytes) {
#if defined(__linux__)
    const bool was_mapped = p && old_bytes >= kBig;
    if (new_bytes >= kBig) {
        if (was_mapped) {
            void* q = ::mremap(p, mapped_len(old_bytes), mapped_len(new_bytes), MREMAP_MAYMOVE);
            if (q == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
            ::madvise(q, mapped_len(new_bytes), MADV_HUGEPAGE);
#endif
            return q;
        }
        void* q = ::mmap(nullptr, mapped_len(new_bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (q == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(q, mapped_len(new_bytes), MADV_HUGEPAGE);
#endif
        if (p) {
            std::memcpy(q, p, old_bytes);
            std::free(p);
        }
        return q;
    }
#endif
    void* q = std::realloc(p, new_bytes == 0 ? 1 : new_bytes);
    if (!q) throw std::bad_alloc();
    return q;
}

void big_free(void* p, std::size_t bytes) noexcept {
    if (!p) return;
#if defined(__linux__)
    if (bytes >= kBig) {
        ::munmap(p, mapped_len(bytes));
        return;
    }
#endif
    std::free(p);
}

}  // namespace dagloom::egraph::detail
