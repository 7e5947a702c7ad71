// Interned symbols.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "egraph/egraph.h"
#include "util/internal_error.h"

namespace dagloom::egraph {
namespace {

// Strings (with the given prefix) that land in the same shard.
std::vector<std::string> same_shard_strings(const std::string& prefix, std::size_t count, unsigned* shard_out) {
    std::vector<std::string> out;
    const unsigned shard = static_cast<unsigned>(string_hash(prefix + "0") & 0xf);
    for (int k = 0; out.size() < count; ++k) {
        std::string s = prefix + std::to_string(k);
        if ((string_hash(s) & 0xf) == shard) out.push_back(s);
    }
    *shard_out = shard;
    return out;
}

TEST(Symbol, SameTextGivesSameSymbol) {
    GlobalSymbol a = GlobalSymbol::from("symbol-test-alpha");
    GlobalSymbol b = GlobalSymbol::from(std::string("symbol-test-alpha"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.raw(), b.raw());
    EXPECT_NE(a.raw(), 0u);
    EXPECT_EQ(a.as_str(), "symbol-test-alpha");
}

TEST(Symbol, DifferentTextsGiveDifferentSymbols) {
    GlobalSymbol a = GlobalSymbol::from("symbol-test-beta");
    GlobalSymbol b = GlobalSymbol::from("symbol-test-gamma");
    EXPECT_NE(a, b);
    EXPECT_EQ(a.as_str(), "symbol-test-beta");
    EXPECT_EQ(b.as_str(), "symbol-test-gamma");
}

TEST(Symbol, EmptyStringIsASymbol) {
    GlobalSymbol e = GlobalSymbol::from("");
    EXPECT_NE(e.raw(), 0u);
    EXPECT_EQ(e.as_str(), "");
    EXPECT_EQ(GlobalSymbol::from(""), e);
}

TEST(Symbol, ShardIsLowFourBitsOfHash) {
    for (const char* s : {"x", "op|add", "src|y", "commute-add", "?a"}) {
        GlobalSymbol sym = GlobalSymbol::from(s);
        EXPECT_EQ(sym.shard(), string_hash(s) & 0xf) << s;
        EXPECT_EQ(sym.raw() >> 28, string_hash(s) & 0xf) << s;
    }
}

TEST(Symbol, FirstStringInShardGetsLowBitsOne) {
    SymbolTable table;
    const std::uint32_t a = table.intern("first");
    EXPECT_EQ(a & 0x0fffffffu, 1u);
    EXPECT_EQ(a >> 28, string_hash("first") & 0xf);
    unsigned shard;
    auto strs = same_shard_strings("pos-", 3, &shard);
    SymbolTable t2;
    EXPECT_EQ(t2.intern(strs[0]), (shard << 28) | 1u);
    EXPECT_EQ(t2.intern(strs[1]), (shard << 28) | 2u);
    EXPECT_EQ(t2.intern(strs[0]), (shard << 28) | 1u);
    EXPECT_EQ(t2.intern(strs[2]), (shard << 28) | 3u);
    EXPECT_EQ(t2.shard_len(shard), 3u);
    EXPECT_EQ(t2.resolve((shard << 28) | 2u), strs[1]);
}

TEST(Symbol, TokenWithPunctuationIsOneSymbol) {
    const std::string token = "op|add|scalar=f0000000000000000;side=sr";
    GlobalSymbol s = GlobalSymbol::from(token);
    EXPECT_EQ(s.as_str(), token);
    EXPECT_EQ(s.as_str().size(), 39u);
    EXPECT_EQ(GlobalSymbol::from(token), s);
}

TEST(Symbol, AsStrIsStable) {
    GlobalSymbol s = GlobalSymbol::from("symbol-test-stable");
    std::string_view v1 = s.as_str();
    for (int k = 0; k < 5000; ++k) GlobalSymbol::from("symbol-test-filler-" + std::to_string(k));
    std::string_view v2 = s.as_str();
    EXPECT_EQ(v1.data(), v2.data());
    EXPECT_EQ(v1, "symbol-test-stable");
}

TEST(Symbol, EmbeddedNulAndLongStrings) {
    const std::string with_nul("a\0b", 3);
    GlobalSymbol s = GlobalSymbol::from(with_nul);
    EXPECT_EQ(s.as_str(), with_nul);
    EXPECT_NE(GlobalSymbol::from("a"), s);
    const std::string big(100000, 'q');
    EXPECT_EQ(GlobalSymbol::from(big).as_str(), big);
}

TEST(Symbol, HashIsDeterministic) {
    // Fixed seed: these values must not change between runs or builds, or
    // symbol numbers (and so class node order) would shift.
    EXPECT_EQ(string_hash("abc"), string_hash(std::string("abc")));
    EXPECT_NE(string_hash("abc"), string_hash("abd"));
    EXPECT_NE(string_hash(""), string_hash(std::string_view("\0", 1)));
    EXPECT_EQ(string_hash("op|add"), 0x7a0c579441f86257ULL);
}

TEST(Symbol, CannotRepresentIndex) {
    unsigned shard;
    auto strs = same_shard_strings("full-", 3, &shard);
    SymbolTable table(3);  // n = position + 1 must stay below 3
    table.intern(strs[0]);
    table.intern(strs[1]);
    try {
        table.intern(strs[2]);
        FAIL() << "expected a failure";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Can't represent index 3 in a Symbol");
    }
}

TEST(Symbol, PoisonedShardFails) {
    SymbolTable table;
    unsigned shard;
    auto strs = same_shard_strings("poison-", 1, &shard);
    EXPECT_THROW(table.with_shard_locked(shard, [] { throw std::runtime_error("boom"); }), std::runtime_error);
    try {
        table.intern(strs[0]);
        FAIL() << "expected a failure";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "called `Result::unwrap()` on an `Err` value");
    }
    // Other shards are unaffected.
    unsigned other = (shard + 1) % 16;
    std::string s;
    for (int k = 0;; ++k) {
        s = "healthy-" + std::to_string(k);
        if ((string_hash(s) & 0xf) == other) break;
    }
    const std::uint32_t sym = table.intern(s);
    EXPECT_EQ(table.resolve(sym), s);
}

TEST(Symbol, ConcurrentInterning) {
    constexpr int kThreads = 8;
    constexpr int kDistinct = 3000;
    std::vector<std::vector<std::uint32_t>> seen(kThreads, std::vector<std::uint32_t>(kDistinct));
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            // Each thread walks the names in its own order.
            for (int k = 0; k < kDistinct; ++k) {
                const int j = (k * 7 + t * 389) % kDistinct;
                seen[t][j] = GlobalSymbol::from("concurrent-" + std::to_string(j)).raw();
            }
        });
    }
    go.store(true);
    for (auto& th : threads) th.join();
    std::set<std::uint32_t> distinct;
    for (int j = 0; j < kDistinct; ++j) {
        for (int t = 1; t < kThreads; ++t) ASSERT_EQ(seen[t][j], seen[0][j]) << j;
        distinct.insert(seen[0][j]);
        EXPECT_EQ(GlobalSymbol::from_raw(seen[0][j]).as_str(), "concurrent-" + std::to_string(j));
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kDistinct));
}

}  // namespace
}  // namespace dagloom::egraph
