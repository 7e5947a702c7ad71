// Interned symbols.
//
// GlobalSymbol is a non-zero 32-bit number: bits 31-28 the shard, bits 27-0
// the string's position in that shard plus one. The process-wide table has
// 16 mutex-guarded shards, is created on first use and never destroyed;
// interned strings are copied once into storage that is never freed or
// moved, so as_str() hands out a stable std::string_view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace dagloom::egraph {

// The fixed-seed 64-bit string hash of interning step 1 (deterministic in
// every run; a wyhash-style 128-bit multiply-fold over 8-byte words).
std::uint64_t string_hash(std::string_view bytes);

// A table of interned strings. The process uses one, SymbolTable::global();
// tests may build private instances (e.g. with a tiny per-shard limit).
class SymbolTable {
public:
    static constexpr unsigned kShards = 16;
    static constexpr std::uint32_t kMaxIndex = 0x0fffffff;  // n must stay below this

    // `max_index`: the first n = position + 1 that can no longer be
    // represented (0x0fffffff for the real table).
    explicit SymbolTable(std::uint32_t max_index = kMaxIndex);
    ~SymbolTable();
    SymbolTable(const SymbolTable&) = delete;
    SymbolTable& operator=(const SymbolTable&) = delete;

    // The symbol table behind GlobalSymbol (thread-safe one-time creation).
    static SymbolTable& global();

    // Interns the text and returns its symbol number. Fails with
    // "Can't represent index {} in a Symbol" when the shard is full.
    std::uint32_t intern(std::string_view text);
    // The text of a symbol number produced by this table.
    std::string_view resolve(std::uint32_t symbol);

    // Number of strings interned in one shard.
    std::size_t shard_len(unsigned shard);

    // Runs fn while holding shard's lock; an exception escaping fn poisons
    // the shard (as any failure inside a locked section would). For tests.
    void with_shard_locked(unsigned shard, const std::function<void()>& fn);

private:
    struct Shard;
    std::unique_ptr<Shard[]> shards_;
    std::uint32_t max_index_;
};

class GlobalSymbol {
public:
    // 0 is no valid symbol; a default-constructed value is only a placeholder.
    constexpr GlobalSymbol() = default;
    static GlobalSymbol from(std::string_view text) { return GlobalSymbol(SymbolTable::global().intern(text)); }
    static constexpr GlobalSymbol from_raw(std::uint32_t raw) { return GlobalSymbol(raw); }

    constexpr std::uint32_t raw() const { return raw_; }
    constexpr unsigned shard() const { return raw_ >> 28; }

    std::string_view as_str() const { return SymbolTable::global().resolve(raw_); }

    friend constexpr bool operator==(GlobalSymbol a, GlobalSymbol b) { return a.raw_ == b.raw_; }
    friend constexpr auto operator<=>(GlobalSymbol a, GlobalSymbol b) { return a.raw_ <=> b.raw_; }

private:
    constexpr explicit GlobalSymbol(std::uint32_t raw) : raw_(raw) {}
    std::uint32_t raw_ = 0;
};

// Display and debug print the text.
std::ostream& operator<<(std::ostream& out, GlobalSymbol sym);

}  // namespace dagloom::egraph
