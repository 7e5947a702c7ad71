#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include "util/memory.h"

namespace dagloom {

// BigVector<T>: a vector for large flat tables (Id, ParentRef, SymbolLang,
// EClass, memo entries, node records) that grows large blocks in place:
// they are mapped (util/memory.h) and grown with mremap, with no copy and no
// re-zeroing of old pages. Growth therefore moves elements by their bytes,
// never running move constructors or destructors, which only a bitwise
// relocatable type allows. Huge-page blocks (the default) suit tables probed
// at random.
template <class T, Pages kPages = Pages::Huge>
class BigVector {
    static_assert(is_bitwise_relocatable_v<T>,
                  "BigVector moves its elements by their bytes: T must be trivially copyable or declare "
                  "`using bitwise_relocatable = std::true_type;`");

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
    BigVector(BigVector&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)) {}
    // Copy and move assignment alike: the argument takes the old contents along.
    BigVector& operator=(BigVector o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(cap_, o.cap_);
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
    void clear() { resize_down(0); }
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
    // n zeros in place of the contents, in a block that comes zeroed
    // instead of being written (T trivially copyable).
    void assign_zeros(std::size_t n) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        T* fresh = n == 0 ? nullptr : static_cast<T*>(memory::allocate_zeroed(n * sizeof(T), kPages));
        release();
        data_ = fresh;
        size_ = cap_ = n;
    }

private:
    void grow(std::size_t need) {
        std::size_t cap = cap_ ? cap_ * 2 : 16;
        while (cap < need) cap *= 2;
        relocate(cap);
    }
    void relocate(std::size_t cap) {
        if (cap > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        data_ = static_cast<T*>(memory::reallocate(data_, cap_ * sizeof(T), cap * sizeof(T), kPages));
        cap_ = cap;
    }
    void release() {
        if (!data_) return;
        if constexpr (!std::is_trivially_destructible_v<T>)
            for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
        memory::deallocate(data_, cap_ * sizeof(T));
        data_ = nullptr;
        size_ = cap_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace dagloom
