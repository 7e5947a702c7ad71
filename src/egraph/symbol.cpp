#include "egraph/symbol.h"

#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "egraph/flat_index.h"
#include "util/internal_error.h"

namespace dagloom::egraph {

namespace {

constexpr std::uint64_t kSeed = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kP1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t kP2 = 0x8ebc6af09c88c6e3ULL;
constexpr std::uint64_t kP3 = 0x589965cc75374cc3ULL;

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;  // little-endian host assumed for the value; determinism holds per platform
}

constexpr const char* kPoisoned = "called `Result::unwrap()` on an `Err` value";

// Bump storage for interned bytes: chunks are never freed while the table
// lives and never move, so views into them stay valid.
class Arena {
public:
    // Takes the memory a copy of `size` bytes needs, so that copy() then
    // allocates nothing: a table that runs out of memory fails before it
    // changes anything.
    void make_room(std::size_t size) {
        chunks_.reserve(chunks_.size() + 1);
        if (size > kChunk / 4) {
            if (big_size_ < size) {
                big_.reset(new char[size]);
                big_size_ = size;
            }
        } else if (left_ < size) {
            cur_ = chunks_.emplace_back(new char[kChunk]).get();
            left_ = kChunk;
        }
    }
    const char* copy(std::string_view s) {
        make_room(s.size());
        if (s.size() > kChunk / 4) {
            char* big = chunks_.emplace_back(std::move(big_)).get();
            big_size_ = 0;
            std::memcpy(big, s.data(), s.size());
            return big;
        }
        char* out = cur_;
        if (!s.empty()) std::memcpy(out, s.data(), s.size());
        cur_ += s.size();
        left_ -= s.size();
        return out;
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::unique_ptr<char[]> big_;  // room make_room took for a large string
    std::size_t big_size_ = 0;
    char* cur_ = nullptr;
    std::size_t left_ = 0;
};

}  // namespace

std::uint64_t string_hash(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::uint64_t h = kSeed ^ mum(static_cast<std::uint64_t>(n) ^ kP1, kP2);
    while (n >= 8) {
        h = mum(h ^ load64(p) ^ kP1, kP2 ^ h);
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    for (std::size_t k = 0; k < n; ++k) tail |= static_cast<std::uint64_t>(p[k]) << (8 * k);
    h = mum(h ^ tail ^ kP3, kP2 ^ (static_cast<std::uint64_t>(n) << 56));
    return mum(h ^ kP1, kP3);
}

struct alignas(64) SymbolTable::Shard {
    std::mutex mu;
    bool poisoned = false;
    std::vector<std::string_view> strings;
    std::vector<std::uint64_t> hashes;
    FlatIndex index;
    Arena arena;
};

namespace {

// Locks a shard; a critical section that unwinds poisons it for good.
class ShardGuard {
public:
    template <class S>
    explicit ShardGuard(S& shard) : mu_(shard.mu), poisoned_(shard.poisoned), exceptions_(std::uncaught_exceptions()) {
        mu_.lock();
        if (poisoned_) {
            mu_.unlock();
            fail(kPoisoned);
        }
    }
    ~ShardGuard() {
        if (!spared_ && std::uncaught_exceptions() > exceptions_) poisoned_ = true;
        mu_.unlock();
    }
    // The exception now unwinding left the shard as it was.
    void spare() { spared_ = true; }
    ShardGuard(const ShardGuard&) = delete;
    ShardGuard& operator=(const ShardGuard&) = delete;

private:
    std::mutex& mu_;
    bool& poisoned_;
    int exceptions_;
    bool spared_ = false;
};

}  // namespace

SymbolTable::SymbolTable(std::uint32_t max_index) : shards_(new Shard[kShards]), max_index_(max_index) {}
SymbolTable::~SymbolTable() = default;

SymbolTable& SymbolTable::global() {
    static SymbolTable* table = new SymbolTable();  // never destroyed
    return *table;
}

std::uint32_t SymbolTable::intern(std::string_view text) {
    const std::uint64_t hash = string_hash(text);
    const unsigned shard_no = static_cast<unsigned>(hash & 0xf);
    Shard& shard = shards_[shard_no];
    std::uint32_t pos;
    {
        ShardGuard guard(shard);
        const std::uint32_t next = static_cast<std::uint32_t>(shard.strings.size());
        // Everything an insert needs is taken before the index changes (the
        // index itself grows before it records anything): running out of
        // memory then leaves the shard as it was, and usable.
        std::pair<std::uint32_t, bool> at;
        try {
            if (shard.strings.capacity() == shard.strings.size()) {
                shard.strings.reserve(2 * shard.strings.size() + 1);
                shard.hashes.reserve(2 * shard.hashes.size() + 1);
            }
            shard.hashes.reserve(shard.strings.capacity());
            shard.arena.make_room(text.size());
            at = shard.index.find_or_insert(hash, next, [&](std::uint32_t e) {
                return shard.hashes[e] == hash && shard.strings[e] == text;
            });
        } catch (const std::bad_alloc&) {
            guard.spare();
            throw;
        }
        auto [found, inserted] = at;
        if (inserted) {
            const char* owned = shard.arena.copy(text);
            shard.strings.emplace_back(owned, text.size());
            shard.hashes.push_back(hash);
        }
        pos = found;
    }
    const std::uint64_t n = static_cast<std::uint64_t>(pos) + 1;
    if (n >= max_index_) fail("Can't represent index " + std::to_string(n) + " in a Symbol");
    return static_cast<std::uint32_t>(n) | (static_cast<std::uint32_t>(shard_no) << 28);
}

std::string_view SymbolTable::resolve(std::uint32_t symbol) {
    Shard& shard = shards_[symbol >> 28];
    ShardGuard guard(shard);
    const std::size_t pos = static_cast<std::size_t>((symbol & 0x0fffffffu)) - 1;
    check_index(pos, shard.strings.size());
    return shard.strings[pos];
}

std::size_t SymbolTable::shard_len(unsigned shard) {
    check_index(shard, kShards);
    ShardGuard guard(shards_[shard]);
    return shards_[shard].strings.size();
}

void SymbolTable::with_shard_locked(unsigned shard, const std::function<void()>& fn) {
    check_index(shard, kShards);
    ShardGuard guard(shards_[shard]);
    fn();
}

std::ostream& operator<<(std::ostream& out, GlobalSymbol sym) { return out << sym.as_str(); }

}  // namespace dagloom::egraph
