// Storage that moves between the heap and mapped blocks as it grows (and,
// for the raw call, as it shrinks) keeps every byte it holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "util/big_vector.h"

using namespace dagloom;

namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

void fill(void* p, std::size_t n) {
    auto* b = static_cast<uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
}

bool holds(const void* p, std::size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != static_cast<uint8_t>(i * 131 + (i >> 12))) return false;
    return true;
}

// (old size, new size): heap to heap, heap to mapped, mapped to larger
// mapped, mapped to smaller mapped, mapped back to the heap, and large steps
// both ways, on either kind of page.
class BigRealloc : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(BigRealloc, KeepsTheBytesBothBlocksHold) {
    const auto [from, to] = GetParam();
    for (Pages pages : {Pages::Small, Pages::Huge}) {
        void* p = memory::reallocate(nullptr, 0, from, pages);
        fill(p, from);
        p = memory::reallocate(p, from, to, pages);
        EXPECT_TRUE(holds(p, std::min(from, to))) << from << " -> " << to << (pages == Pages::Huge ? " huge" : " small");
        std::memset(p, 0xab, to);  // the whole new size is writable
        memory::deallocate(p, to);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BigRealloc,
                         ::testing::Values(std::pair{64 * kKiB, 512 * kKiB}, std::pair{512 * kKiB, 3 * kMiB},
                                           std::pair{3 * kMiB, 9 * kMiB}, std::pair{9 * kMiB, 2 * kMiB},
                                           std::pair{3 * kMiB, 100 * kKiB}, std::pair{2 * kMiB, 1},
                                           std::pair{9 * kMiB, 40 * kMiB}, std::pair{40 * kMiB, 3 * kMiB}));

template <class V>
class BigVectorGrowth : public ::testing::Test {};
// Element types must be bitwise relocatable: a non-trivial one with no
// pointer into itself stands for the node tables' and e-graph's records.
struct Owned {
    // libstdc++'s vector holds no pointer into itself.
    using bitwise_relocatable = std::true_type;
    std::vector<uint32_t> ids;
    bool operator==(const Owned&) const = default;
};
using PageKinds = ::testing::Types<BigVector<uint64_t, Pages::Small>, BigVector<uint64_t, Pages::Huge>,
                                   BigVector<Owned, Pages::Small>>;
TYPED_TEST_SUITE(BigVectorGrowth, PageKinds);

TYPED_TEST(BigVectorGrowth, KeepsEveryElementAcrossTheMappingThreshold) {
    using T = typename TypeParam::value_type;
    auto value = [](std::size_t i) {
        if constexpr (std::is_same_v<T, Owned>) return Owned{std::vector<uint32_t>(i % 5, static_cast<uint32_t>(i))};
        else return static_cast<T>(i * 2654435761u);
    };
    TypeParam v;
    const std::size_t n = 3 * kMiB / sizeof(T) + 17;
    for (std::size_t i = 0; i < n; ++i) v.push_back(value(i));
    ASSERT_EQ(v.size(), n);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += v[i] != value(i);
    EXPECT_EQ(wrong, 0u);
    const TypeParam copy = v;
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), v.begin(), v.end()));
}

}  // namespace
