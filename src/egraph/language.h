// Id and SymbolLang, the e-graph's node language.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/symbol.h"
#include "util/big_vector.h"

namespace dagloom::egraph {

// An e-class identifier: dense, the n-th id created by an e-graph is n.
using Id = std::uint32_t;

// The word hash: h = (rotl(h, 5) ^ w) * 0x517cc1b727220a95.
inline constexpr std::uint64_t kWordHashMul = 0x517cc1b727220a95ULL;
inline constexpr std::uint64_t hash_word(std::uint64_t h, std::uint64_t w) {
    return (std::rotl(h, 5) ^ w) * kWordHashMul;
}
// Hash of an Id key: the id folded into a zero state.
inline constexpr std::uint64_t hash_id(Id id) { return hash_word(0, id); }

// One term node: an operator symbol and its child classes.
//
// Layout: 16 bytes. Up to two children live inline (the common case in
// computation graphs: leaves, unary and binary operations), so copying such a
// node never allocates; longer child lists live on the heap, exactly as long.
class SymbolLang {
public:
    // Its children are inline or behind a heap pointer: moved as bytes, it
    // stays whole (see the move constructor).
    using bitwise_relocatable = std::true_type;
    GlobalSymbol op;

    SymbolLang() noexcept {}
    explicit SymbolLang(GlobalSymbol o) noexcept : op(o) {}
    SymbolLang(GlobalSymbol o, std::initializer_list<Id> children) : op(o) { assign(children.begin(), children.size()); }
    SymbolLang(GlobalSymbol o, std::span<const Id> children) : op(o) { assign(children.data(), children.size()); }

    // SymbolLang::from_op: interns the operator; never fails.
    static SymbolLang from_op(std::string_view op_text, std::span<const Id> children) {
        return SymbolLang(GlobalSymbol::from(op_text), children);
    }

    SymbolLang(const SymbolLang& o) : op(o.op) { assign(o.data(), o.len_); }
    SymbolLang(SymbolLang&& o) noexcept : op(o.op) { take(o); }
    SymbolLang& operator=(const SymbolLang& o) {
        if (this != &o) {
            release();
            op = o.op;
            assign(o.data(), o.len_);
        }
        return *this;
    }
    SymbolLang& operator=(SymbolLang&& o) noexcept {
        if (this != &o) {
            release();
            op = o.op;
            take(o);
        }
        return *this;
    }
    ~SymbolLang() { release(); }

    std::size_t len() const { return len_; }
    bool is_leaf() const { return len_ == 0; }
    std::span<Id> children() { return {data(), len_}; }
    std::span<const Id> children() const { return {data(), len_}; }
    Id child(std::size_t i) const { return data()[i]; }

    // Replaces each child c by f(c), in order. Inline children are rewritten
    // with one 8-byte store, as assign does, so that a following whole-word
    // copy of the node forwards from that store instead of stalling on two.
    template <class F>
    void map_children(F&& f) {
        if (len_ > kInline) {
            for (std::uint32_t i = 0; i < len_; ++i) u_.heap[i] = f(u_.heap[i]);
            return;
        }
        if (len_ == 0) return;
        if constexpr (std::endian::native == std::endian::little) {
            std::uint64_t word;
            std::memcpy(&word, &u_, sizeof word);
            const std::uint64_t lo = f(static_cast<Id>(word));
            const std::uint64_t hi = len_ > 1 ? std::uint64_t{f(static_cast<Id>(word >> 32))} : word >> 32;
            word = lo | (hi << 32);
            std::memcpy(&u_, &word, sizeof word);
        } else {
            for (std::uint32_t i = 0; i < len_; ++i) u_.inl[i] = f(u_.inl[i]);
        }
    }

    // Same op and same number of children; child ids are not compared.
    bool matches(const SymbolLang& other) const { return op == other.op && len_ == other.len_; }

    std::uint64_t hash() const {
        std::uint64_t h = hash_word(0, op.raw());
        h = hash_word(h, static_cast<std::uint64_t>(len_));
        const Id* d = data();
        for (std::uint32_t i = 0; i < len_; ++i) h = hash_word(h, d[i]);
        return h;
    }

    friend bool operator==(const SymbolLang& a, const SymbolLang& b) {
        if (a.op != b.op || a.len_ != b.len_) return false;
        if (a.len_ <= kInline) {  // compare the inline words directly
            return (a.len_ == 0 || a.u_.inl[0] == b.u_.inl[0]) && (a.len_ < 2 || a.u_.inl[1] == b.u_.inl[1]);
        }
        return std::memcmp(a.u_.heap, b.u_.heap, a.len_ * sizeof(Id)) == 0;
    }
    // By symbol number, then children lexicographically (a prefix first).
    friend bool operator<(const SymbolLang& a, const SymbolLang& b) {
        if (a.op != b.op) return a.op.raw() < b.op.raw();
        const Id* x = a.data();
        const Id* y = b.data();
        const std::uint32_t n = a.len_ < b.len_ ? a.len_ : b.len_;
        for (std::uint32_t i = 0; i < n; ++i)
            if (x[i] != y[i]) return x[i] < y[i];
        return a.len_ < b.len_;
    }

private:
    static constexpr std::uint32_t kInline = 2;
    const Id* data() const { return len_ <= kInline ? u_.inl : u_.heap; }
    Id* data() { return len_ <= kInline ? u_.inl : u_.heap; }
    // Out of line: keeps the inline path small, and stops the compiler from
    // "checking" this branch against callers whose lists it knows are short.
    [[gnu::noinline]] static Id* heap_copy(const Id* src, std::size_t n) {
        Id* p = static_cast<Id*>(std::malloc(n * sizeof(Id)));
        if (!p) throw std::bad_alloc();
        std::memcpy(p, src, n * sizeof(Id));
        return p;
    }
    void assign(const Id* src, std::size_t n) {
        if (n > kInline) {
            u_.heap = heap_copy(src, n);
        } else {
            // One 8-byte store: moves and copies read the inline children as
            // one word, and two 4-byte stores would defeat store forwarding.
            if constexpr (std::endian::native == std::endian::little) {
                const std::uint64_t lo = n > 0 ? src[0] : 0;
                const std::uint64_t hi = n > 1 ? src[1] : 0;
                const std::uint64_t word = lo | (hi << 32);
                std::memcpy(&u_, &word, sizeof word);
            } else {
                for (std::size_t i = 0; i < n; ++i) u_.inl[i] = src[i];
            }
        }
        len_ = static_cast<std::uint32_t>(n);
    }
    void release() {
        if (len_ > kInline) std::free(u_.heap);
        len_ = 0;
    }
    // o's children, inline or on the heap, become this node's; o has none.
    void take(SymbolLang& o) noexcept {
        len_ = std::exchange(o.len_, 0);
        std::memcpy(&u_, &o.u_, sizeof(u_));
    }

    std::uint32_t len_ = 0;
    union U {
        Id inl[kInline];
        Id* heap;
    } u_{};
};

static_assert(sizeof(SymbolLang) == 16);

// Debug form: "(op c1 c2)" or "op" for a leaf.
std::string to_string(const SymbolLang& node);
std::ostream& operator<<(std::ostream& out, const SymbolLang& node);

// Union-find over dense ids.
class UnionFind {
public:
    Id make_set() {
        const std::size_t id = parent_.size();
        if (id >= 0xffffffffu) [[unlikely]]
            fail_too_many(id);
        parent_.push_back(static_cast<Id>(id));
        return static_cast<Id>(id);
    }
    std::size_t size() const { return parent_.size(); }
    void reserve(std::size_t n) { parent_.reserve(n); }

    // The representative, walking parents without writing.
    Id find(Id x) const {
        check(x);
        const Id* p = parent_.data();
        for (;;) {
            const Id up = p[x];
            if (up == x) return x;
            x = up;
        }
    }
    // The same, halving the path on the way.
    Id find_compress(Id x) {
        check(x);
        Id* p = parent_.data();
        while (p[x] != x) {
            const Id g = p[p[x]];
            p[x] = g;
            x = g;
        }
        return x;
    }
    // r1 and r2 are roots; r2 joins r1.
    void unite(Id r1, Id r2) { parent_[r2] = r1; }
    const Id* parent_address(Id x) const { return parent_.data() + x; }
    Id parent(Id x) const {
        check(x);
        return parent_[x];
    }

private:
    void check(Id x) const {
        if (x >= parent_.size()) [[unlikely]]
            fail_out_of_range(x);
    }
    [[noreturn]] void fail_out_of_range(Id x) const;
    [[noreturn]] static void fail_too_many(std::size_t id);
    BigVector<Id> parent_;
};

}  // namespace dagloom::egraph
