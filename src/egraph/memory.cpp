// Memory for the e-graph's hash index slots: SlotBuffer (flat_index.h).
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
