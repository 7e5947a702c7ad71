// Scratch blocks are handed out again after they are returned, split to fit
// smaller requests, bounded in all, and never shared by two live users.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "util/scratch_memory.h"

using namespace dagloom;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Every test starts from nothing kept, whatever ran before it.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override { scratch::release_kept(); }
    void TearDown() override { scratch::release_kept(); }
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
    void* p = scratch::map(3 * kMiB);
    fill(p, 3 * kMiB, 1);
    EXPECT_EQ(scratch::kept().blocks, 0u);
    scratch::unmap(p, 3 * kMiB);
    EXPECT_EQ(scratch::kept().bytes, scratch::mapped_length(3 * kMiB));
    EXPECT_EQ(scratch::kept().blocks, 1u);
    void* q = scratch::map(3 * kMiB + 100);  // the same length once mapped
    EXPECT_EQ(q, p);
    EXPECT_EQ(scratch::kept().bytes, 0u);
    scratch::unmap(q, 3 * kMiB + 100);
}

TEST_F(Scratch, TheSmallestKeptBlockThatFitsIsSplitAndTheRestStaysKept) {
    void* big = scratch::map(16 * kMiB);
    void* mid = scratch::map(6 * kMiB);
    scratch::unmap(big, 16 * kMiB);
    scratch::unmap(mid, 6 * kMiB);
    const std::size_t both = scratch::kept().bytes;

    void* a = scratch::map(3 * kMiB);  // from the 6 MiB block
    EXPECT_EQ(a, mid);
    EXPECT_EQ(scratch::kept().bytes, both - scratch::mapped_length(3 * kMiB));
    void* b = scratch::map(10 * kMiB);  // only the 16 MiB block holds it
    EXPECT_EQ(b, big);
    // The parts are separate blocks: each is written and given back alone.
    fill(a, 3 * kMiB, 2);
    fill(b, 10 * kMiB, 3);
    void* c = scratch::map(2 * kMiB);  // what is left of the 6 MiB block
    fill(c, 2 * kMiB, 4);
    EXPECT_TRUE(holds(a, 3 * kMiB, 2));
    EXPECT_TRUE(holds(b, 10 * kMiB, 3));
    scratch::unmap(a, 3 * kMiB);
    scratch::unmap(b, 10 * kMiB);
    scratch::unmap(c, 2 * kMiB);
    EXPECT_EQ(scratch::kept().bytes, both);
}

TEST_F(Scratch, KeptBytesStayWithinTheLimitAndTheOldestGoFirst) {
    const std::size_t block = 64 * kMiB;
    const std::size_t count = scratch::kKeptLimit / block + 2;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < count; ++i) blocks.push_back(scratch::map(block));
    for (void* p : blocks) scratch::unmap(p, block);
    EXPECT_LE(scratch::kept().bytes, scratch::kKeptLimit);
    EXPECT_EQ(scratch::kept().blocks, scratch::kKeptLimit / block);
    // The last ones returned are the ones still kept.
    void* again = scratch::map(block);
    bool recent = false;
    for (std::size_t i = count - scratch::kKeptLimit / block; i < count; ++i) recent = recent || again == blocks[i];
    EXPECT_TRUE(recent);
    scratch::unmap(again, block);
}

TEST_F(Scratch, SizesThatCannotBeMappedAreRefused) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max() - 5;
    EXPECT_THROW(scratch::map(huge), std::bad_alloc);
    void* p = scratch::map(2 * kMiB);
    EXPECT_THROW(scratch::remap(p, 2 * kMiB, huge), std::bad_alloc);
    std::memset(p, 1, 2 * kMiB);  // still the caller's
    scratch::unmap(p, 2 * kMiB);
}

TEST_F(Scratch, ABlockLargerThanTheLimitIsNeverKept) {
    void* p = scratch::map(scratch::kKeptLimit + kMiB);
    scratch::unmap(p, scratch::kKeptLimit + kMiB);
    EXPECT_EQ(scratch::kept().bytes, 0u);
}

// (old size, new size), for a fresh block and for one split off a kept one.
class ScratchRemap : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {
protected:
    void SetUp() override { scratch::release_kept(); }
    void TearDown() override { scratch::release_kept(); }
};

TEST_P(ScratchRemap, KeepsTheBytesBothSizesHold) {
    const auto [from, to] = GetParam();
    for (bool split : {false, true}) {
        if (split) scratch::unmap(scratch::map(from + 8 * kMiB), from + 8 * kMiB);
        void* p = scratch::map(from);
        fill(p, from, 5);
        p = scratch::remap(p, from, to);
        EXPECT_TRUE(holds(p, std::min(from, to), 5)) << from << " -> " << to << (split ? " split" : "");
        std::memset(p, 0xab, to);  // the whole new size is writable
        scratch::unmap(p, to);
        scratch::release_kept();
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ScratchRemap,
                         ::testing::Values(std::pair{kMiB, 3 * kMiB}, std::pair{3 * kMiB, 40 * kMiB},
                                           std::pair{40 * kMiB, 5 * kMiB}, std::pair{3 * kMiB, 3 * kMiB + 1}));

TEST_F(Scratch, VectorsKeepTheirElementsAcrossTheMappingSize) {
    ScratchVector<uint64_t> v;
    const std::size_t n = 3 * scratch::kMappedFrom / sizeof(uint64_t) + 5;
    for (std::size_t i = 0; i < n; ++i) v.push_back(i * 2654435761u);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += v[i] != i * 2654435761u;
    EXPECT_EQ(wrong, 0u);
    ScratchVector<uint64_t> copy = v;
    v.clear();
    v.shrink_to_fit();
    if (scratch::kVectorsMapped) {
        EXPECT_GT(scratch::kept().bytes, 0u);  // the growth steps and v's last block
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
                void* p = scratch::map(bytes);
                fill(p, bytes, seed);
                std::this_thread::yield();
                if (!holds(p, bytes, seed)) ++failures[t];
                scratch::unmap(p, bytes);
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
