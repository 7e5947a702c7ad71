// Mapped blocks are handed out again after they are returned, split to fit
// smaller requests, bounded in all, and never shared by two live users.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "util/big_vector.h"
#include "util/memory.h"

using namespace dagloom;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Every test starts from nothing kept, whatever ran before it.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override { memory::release_kept(); }
    void TearDown() override { memory::release_kept(); }
};

void fill(void* p, std::size_t n, uint8_t seed) {
    auto* b = static_cast<uint8_t*>(p);
    for (std::size_t i = 0; i < n; i += 512) b[i] = static_cast<uint8_t>(seed + i / 512);
}

bool holds(const void* p, std::size_t n, uint8_t seed) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (std::size_t i = 0; i < n; i += 512)
        if (b[i] != static_cast<uint8_t>(seed + i / 512)) return false;
    return true;
}

TEST_F(Scratch, AReturnedBlockIsKeptAndHandedOutAgain) {
    void* p = memory::map(3 * kMiB);
    fill(p, 3 * kMiB, 1);
    EXPECT_EQ(memory::kept().blocks, 0u);
    memory::unmap(p, 3 * kMiB);
    EXPECT_EQ(memory::kept().bytes, memory::mapped_length(3 * kMiB));
    EXPECT_EQ(memory::kept().blocks, 1u);
    void* q = memory::map(3 * kMiB + 100);  // the same length once mapped
    EXPECT_EQ(q, p);
    EXPECT_EQ(memory::kept().bytes, 0u);
    memory::unmap(q, 3 * kMiB + 100);
}

TEST_F(Scratch, TheSmallestKeptBlockThatFitsIsSplitAndTheRestStaysKept) {
    void* big = memory::map(16 * kMiB);
    void* mid = memory::map(6 * kMiB);
    memory::unmap(big, 16 * kMiB);
    memory::unmap(mid, 6 * kMiB);
    const std::size_t both = memory::kept().bytes;

    void* a = memory::map(3 * kMiB);  // from the 6 MiB block
    EXPECT_EQ(a, mid);
    EXPECT_EQ(memory::kept().bytes, both - memory::mapped_length(3 * kMiB));
    void* b = memory::map(10 * kMiB);  // only the 16 MiB block holds it
    EXPECT_EQ(b, big);
    // The parts are separate blocks: each is written and given back alone.
    fill(a, 3 * kMiB, 2);
    fill(b, 10 * kMiB, 3);
    void* c = memory::map(2 * kMiB);  // what is left of the 6 MiB block
    fill(c, 2 * kMiB, 4);
    EXPECT_TRUE(holds(a, 3 * kMiB, 2));
    EXPECT_TRUE(holds(b, 10 * kMiB, 3));
    memory::unmap(a, 3 * kMiB);
    memory::unmap(b, 10 * kMiB);
    memory::unmap(c, 2 * kMiB);
    EXPECT_EQ(memory::kept().bytes, both);
}

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// The page faults of writing the first 8 MiB of a block (a sanitizer's
// shadow memory faults alike for any new address range).
long faults_writing(uint8_t* p, uint8_t seed) {
    const long before = minor_faults();
    fill(p, 8 * kMiB, seed);
    return minor_faults() - before;
}

// A request that no kept block holds is filled from the front with the kept
// pieces, their pages moved with what they hold (newest piece first); what
// the pieces do not cover is fresh. Written to, the moved part faults in
// none of its 2048 pages, where a fresh block faults in each. Handed out as
// zeroed memory, all of it reads as zero.
TEST_F(Scratch, KeptPiecesFillARequestNoKeptBlockHolds) {
    auto* fresh = static_cast<uint8_t*>(memory::map(8 * kMiB));
    const long fresh_faults = faults_writing(fresh, 1);
    memory::unmap(fresh, 8 * kMiB);
    for (bool zeroed : {false, true}) {
        SCOPED_TRACE(zeroed ? "zeroed" : "as left");
        memory::release_kept();
        void* first = memory::map(4 * kMiB);
        void* second = memory::map(4 * kMiB);
        fill(first, 4 * kMiB, 5);
        fill(second, 4 * kMiB, 6);
        memory::unmap(first, 4 * kMiB);
        memory::unmap(second, 4 * kMiB);

        auto* p = static_cast<uint8_t*>(zeroed ? memory::allocate_zeroed(10 * kMiB, Pages::Small)
                                               : memory::map(10 * kMiB));
        EXPECT_EQ(memory::kept().bytes, 0u);
        if (zeroed) {
            std::size_t dirty = 0;
            for (std::size_t i = 0; i < 10 * kMiB; i += 512) dirty += p[i] != 0;
            EXPECT_EQ(dirty, 0u);
        } else {
            EXPECT_TRUE(holds(p, 4 * kMiB, 6));
            EXPECT_TRUE(holds(p + 4 * kMiB, 4 * kMiB, 5));
            EXPECT_EQ(p[8 * kMiB], 0);  // fresh beyond the pieces
        }
        EXPECT_GT(fresh_faults - faults_writing(p, 7), 1024);
        fill(p + 8 * kMiB, 2 * kMiB, 8);
        EXPECT_TRUE(holds(p, 8 * kMiB, 7));
        EXPECT_TRUE(holds(p + 8 * kMiB, 2 * kMiB, 8));
        memory::unmap(p, 10 * kMiB);
        EXPECT_EQ(memory::kept().bytes, memory::mapped_length(10 * kMiB));  // kept whole
    }
}

// Growing a block gives it a fresh tail, which kept pieces fill in turn.
TEST_F(Scratch, AGrownBlockTakesKeptPiecesForItsNewTail) {
    auto* p = static_cast<uint8_t*>(memory::map(4 * kMiB));
    void* piece = memory::map(4 * kMiB);
    fill(p, 4 * kMiB, 3);
    fill(piece, 4 * kMiB, 9);
    memory::unmap(piece, 4 * kMiB);
    auto* q = static_cast<uint8_t*>(memory::remap(p, 4 * kMiB, 8 * kMiB));
    EXPECT_TRUE(holds(q, 4 * kMiB, 3));
    EXPECT_TRUE(holds(q + 4 * kMiB, 4 * kMiB, 9));
    EXPECT_EQ(memory::kept().bytes, 0u);
    memory::unmap(q, 8 * kMiB);
}

// (block size, pages): however large the blocks a call frees, and whatever
// pages back them, no more than the limit stays mapped once it returns.
class KeptLimit : public ::testing::TestWithParam<std::pair<std::size_t, Pages>> {
protected:
    void SetUp() override { memory::release_kept(); }
    void TearDown() override { memory::release_kept(); }
};

TEST_P(KeptLimit, KeptBytesStayWithinTheLimitAndTheOldestGoFirst) {
    const auto [block, pages] = GetParam();
    const std::size_t fit = memory::kKeptLimit / memory::mapped_length(block);
    const std::size_t count = fit + 3;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < count; ++i) blocks.push_back(memory::map(block, pages));
    for (void* p : blocks) {
        memory::unmap(p, block);
        EXPECT_LE(memory::kept().bytes, memory::kKeptLimit);
    }
    EXPECT_EQ(memory::kept().blocks, fit);
    // The last ones returned are the ones still kept.
    void* again = memory::map(block, pages);
    bool recent = false;
    for (std::size_t i = count - fit; i < count; ++i) recent = recent || again == blocks[i];
    EXPECT_TRUE(recent);
    memory::unmap(again, block);
}

INSTANTIATE_TEST_SUITE_P(Sizes, KeptLimit,
                         ::testing::Values(std::pair{3 * kMiB, Pages::Small}, std::pair{20 * kMiB, Pages::Huge},
                                           std::pair{memory::kKeptLimit, Pages::Small}));

// A table that grows past the limit and is dropped leaves at most the limit
// behind: its growth steps move in place, and its last block is too large.
TEST_F(Scratch, ALargeTableLeavesNoMoreThanTheLimitKept) {
    {
        BigVector<uint64_t, Pages::Small> v;
        for (std::size_t i = 0; i < 3 * memory::kKeptLimit / sizeof(uint64_t); ++i) v.push_back(i);
        ScratchVector<uint32_t> w(memory::kKeptLimit / sizeof(uint32_t) + 1, 7);
    }
    EXPECT_LE(memory::kept().bytes, memory::kKeptLimit);
}

// A kept block handed out as zeroed memory is cleared of its last user's bytes.
TEST_F(Scratch, ZeroedBlocksAreZeroEvenWhenKept) {
    for (Pages pages : {Pages::Small, Pages::Huge}) {
        void* p = memory::map(3 * kMiB);
        std::memset(p, 0xff, 3 * kMiB);
        memory::unmap(p, 3 * kMiB);
        auto* q = static_cast<const uint8_t*>(memory::allocate_zeroed(3 * kMiB, pages));
        EXPECT_EQ(q, p);  // reused, not fresh
        std::size_t dirty = 0;
        for (std::size_t i = 0; i < 3 * kMiB; ++i) dirty += q[i] != 0;
        EXPECT_EQ(dirty, 0u);
        memory::deallocate(const_cast<uint8_t*>(q), 3 * kMiB);
    }
}

TEST_F(Scratch, SizesThatCannotBeMappedAreRefused) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max() - 5;
    EXPECT_THROW(memory::map(huge), std::bad_alloc);
    void* p = memory::map(2 * kMiB);
    EXPECT_THROW(memory::remap(p, 2 * kMiB, huge), std::bad_alloc);
    std::memset(p, 1, 2 * kMiB);  // still the caller's
    memory::unmap(p, 2 * kMiB);
}

TEST_F(Scratch, ABlockLargerThanTheLimitIsNeverKept) {
    void* p = memory::map(memory::kKeptLimit + kMiB);
    memory::unmap(p, memory::kKeptLimit + kMiB);
    EXPECT_EQ(memory::kept().bytes, 0u);
}

// (old size, new size), for a fresh block and for one split off a kept one.
class ScratchRemap : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {
protected:
    void SetUp() override { memory::release_kept(); }
    void TearDown() override { memory::release_kept(); }
};

TEST_P(ScratchRemap, KeepsTheBytesBothSizesHold) {
    const auto [from, to] = GetParam();
    for (bool split : {false, true}) {
        if (split) memory::unmap(memory::map(from + 8 * kMiB), from + 8 * kMiB);
        void* p = memory::map(from);
        fill(p, from, 5);
        p = memory::remap(p, from, to);
        EXPECT_TRUE(holds(p, std::min(from, to), 5)) << from << " -> " << to << (split ? " split" : "");
        std::memset(p, 0xab, to);  // the whole new size is writable
        memory::unmap(p, to);
        memory::release_kept();
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScratchRemap,
                         ::testing::Values(std::pair{kMiB, 3 * kMiB}, std::pair{3 * kMiB, 40 * kMiB},
                                           std::pair{40 * kMiB, 5 * kMiB}, std::pair{3 * kMiB, 3 * kMiB + 1}));

TEST_F(Scratch, VectorsKeepTheirElementsAcrossTheMappingSize) {
    ScratchVector<uint64_t> v;
    const std::size_t n = 3 * memory::kMappedFrom / sizeof(uint64_t) + 5;
    for (std::size_t i = 0; i < n; ++i) v.push_back(i * 2654435761u);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += v[i] != i * 2654435761u;
    EXPECT_EQ(wrong, 0u);
    ScratchVector<uint64_t> copy = v;
    v.clear();
    v.shrink_to_fit();
    if (memory::kVectorsMapped) {
        EXPECT_GT(memory::kept().bytes, 0u);  // the growth steps and v's last block
    }
    EXPECT_EQ(copy.size(), n);
    EXPECT_EQ(copy.back(), (n - 1) * 2654435761u);
}

// Blocks handed to threads at once are distinct: each thread finds its own
// pattern intact after all have written theirs.
TEST_F(Scratch, ThreadsNeverShareABlock) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < kRounds; ++r) {
                const std::size_t bytes = (1 + (t + r) % 5) * kMiB;
                const auto seed = static_cast<uint8_t>(t * 50 + r);
                void* p = memory::map(bytes);
                fill(p, bytes, seed);
                std::this_thread::yield();
                if (!holds(p, bytes, seed)) ++failures[t];
                memory::unmap(p, bytes);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
