// BigVector: a vector for large flat tables (the e-graph's classes and memo
// entries, the node tables' columns) that grows large blocks in place.
#pragma once

#include <cstddef>
#include <new>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

namespace dagloom {

namespace detail {
// Raw storage that grows in place where it can: large blocks are mapped and
// grown with mremap (no copy, no re-zeroing of old pages); smaller ones use
// malloc/realloc. `huge` asks for transparent huge pages on mapped blocks.
// Both calls must be given the same `huge` for a block.
void* big_realloc(void* p, std::size_t old_bytes, std::size_t new_bytes, bool huge);
void big_free(void* p, std::size_t bytes, bool huge) noexcept;
}  // namespace detail

// How a BigVector's mapped blocks are backed. Huge pages spare TLB misses
// where a table is probed at random (the e-graph's); a table written at its
// end and read near it (a node table's columns) gains nothing from them and
// pays for zeroing 2 MiB at a time, and for splitting them when mremap moves
// the block. Small-page blocks are scratch memory (scratch_memory.h): kept
// when freed, for the next table.
enum class Pages : bool { Small, Huge };

// BigVector<T>: a vector for large flat tables whose element types are
// bitwise relocatable (no pointers into themselves: Id, ParentRef,
// SymbolLang, EClass, memo entries, node records). Growth relocates elements by moving
// their bytes, so it never runs move constructors or destructors for that.
template <class T, Pages kPages = Pages::Huge>
class BigVector {
public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    BigVector() = default;
    BigVector(const BigVector& o) {
        reserve(o.size_);
        if constexpr (std::is_trivially_copyable_v<T>) {
            if (o.size_ != 0) std::memcpy(static_cast<void*>(data_), o.data_, o.size_ * sizeof(T));
            size_ = o.size_;
        } else {
            for (const T& v : o) new (data_ + size_++) T(v);
        }
    }
    BigVector(BigVector&& o) noexcept : data_(o.data_), size_(o.size_), cap_(o.cap_) {
        o.data_ = nullptr;
        o.size_ = o.cap_ = 0;
    }
    BigVector& operator=(const BigVector& o) {
        if (this != &o) {
            BigVector t(o);
            *this = std::move(t);
        }
        return *this;
    }
    BigVector& operator=(BigVector&& o) noexcept {
        if (this != &o) {
            release();
            data_ = o.data_;
            size_ = o.size_;
            cap_ = o.cap_;
            o.data_ = nullptr;
            o.size_ = o.cap_ = 0;
        }
        return *this;
    }
    ~BigVector() { release(); }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == cap_) {
            T v(std::forward<Args>(args)...);  // args may refer into this vector
            grow(size_ + 1);
            return *new (data_ + size_++) T(std::move(v));
        }
        return *new (data_ + size_++) T(std::forward<Args>(args)...);
    }
    void push_back(const T& v) { emplace_back(v); }
    void push_back(T&& v) { emplace_back(std::move(v)); }
    void pop_back() { data_[--size_].~T(); }
    void clear() {
        while (size_) pop_back();
    }
    // Drops the elements from `n` on (none when n >= size()); keeps the block.
    void resize_down(std::size_t n) {
        while (size_ > n) pop_back();
    }
    template <class It>
    void append(It first, It last) {
        const std::size_t n = static_cast<std::size_t>(std::distance(first, last));
        if (size_ + n > cap_) grow(size_ + n);
        for (; first != last; ++first) new (data_ + size_++) T(*first);
    }
    void reserve(std::size_t n) {
        if (n > cap_) relocate(n);
    }

private:
    void grow(std::size_t need) {
        std::size_t cap = cap_ ? cap_ * 2 : 16;
        while (cap < need) cap *= 2;
        relocate(cap);
    }
    void relocate(std::size_t cap) {
        if (cap > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        data_ = static_cast<T*>(detail::big_realloc(data_, cap_ * sizeof(T), cap * sizeof(T), kPages == Pages::Huge));
        cap_ = cap;
    }
    void release() {
        if (!data_) return;
        if constexpr (!std::is_trivially_destructible_v<T>)
            for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
        detail::big_free(data_, cap_ * sizeof(T), kPages == Pages::Huge);
        data_ = nullptr;
        size_ = cap_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace dagloom
