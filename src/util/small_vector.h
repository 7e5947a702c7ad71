// SmallVector<T, N>: a vector that keeps up to N elements inline and spills
// to the heap beyond. Elements are moved when the storage changes, which for
// trivially copyable ones (ids, parent references, stage references) the
// compiler turns into plain copies. Used for the e-graph's class node and
// parent lists, which usually hold one or a few entries so most classes
// allocate nothing; Subst and its lists; the matcher's scratch buffers; and
// a stage member's argument references.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "util/memory.h"

namespace dagloom {

template <class T, std::uint32_t N>
class SmallVector {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    static_assert(N > 0);

public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;
    // Its heap pointer and inline elements move with its bytes; data() finds
    // the inline ones from `this`, never from a stored address.
    using bitwise_relocatable = std::bool_constant<is_bitwise_relocatable_v<T>>;

    SmallVector() noexcept {}
    SmallVector(std::initializer_list<T> init) { append_copies(init.begin(), init.size()); }
    explicit SmallVector(std::span<const T> init) { append_copies(init.data(), init.size()); }
    SmallVector(const SmallVector& o) { append_copies(o.data(), o.size()); }
    SmallVector(SmallVector&& o) noexcept { steal(o); }
    SmallVector& operator=(const SmallVector& o) { return *this = SmallVector(o); }
    SmallVector& operator=(SmallVector&& o) noexcept {
        if (this != &o) {
            destroy_all();
            steal(o);
        }
        return *this;
    }
    ~SmallVector() { destroy_all(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return cap_; }
    bool is_inline() const { return cap_ == N; }
    T* data() { return is_inline() ? std::launder(reinterpret_cast<T*>(inline_)) : heap_; }
    const T* data() const { return is_inline() ? std::launder(reinterpret_cast<const T*>(inline_)) : heap_; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    T& front() { return data()[0]; }
    const T& front() const { return data()[0]; }
    T& back() { return data()[size_ - 1]; }
    const T& back() const { return data()[size_ - 1]; }

    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == cap_) {
            T v(std::forward<Args>(args)...);  // args may refer into this vector
            reserve(static_cast<std::size_t>(cap_) * 2);
            T* p = new (data() + size_) T(std::move(v));
            ++size_;
            return *p;
        }
        T* p = new (data() + size_) T(std::forward<Args>(args)...);
        ++size_;
        return *p;
    }
    void push_back(const T& v) { emplace_back(v); }
    void push_back(T&& v) { emplace_back(std::move(v)); }
    void pop_back() {
        --size_;
        data()[size_].~T();
    }
    // Drops the elements from position n on.
    void truncate(std::size_t n) {
        while (size_ > n) pop_back();
    }
    void erase(T* first, T* last) {
        // Only a tail erase is needed (after std::unique).
        truncate(static_cast<std::size_t>(first - data()) + static_cast<std::size_t>(end() - last));
    }
    void clear() { truncate(0); }
    // Shrinks or grows; new elements are value-initialised.
    void resize(std::size_t n) {
        if (n > cap_) reserve(std::max<std::size_t>(n, static_cast<std::size_t>(cap_) * 2));
        truncate(n);
        while (size_ < n) new (data() + size_) T{}, ++size_;
    }
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (n > std::numeric_limits<std::uint32_t>::max()) throw std::bad_array_new_length();
        T* fresh = static_cast<T*>(allocate(n));
        T* old = data();
        for (std::uint32_t i = 0; i < size_; ++i) {
            new (fresh + i) T(std::move(old[i]));
            old[i].~T();
        }
        if (!is_inline()) deallocate(heap_);
        heap_ = fresh;
        cap_ = static_cast<std::uint32_t>(n);
    }
    // Appends all of `from`'s elements (moved), leaving it empty.
    void append(SmallVector&& from) {
        grow_for(from.size_);
        for (T& v : from) new (end()) T(std::move(v)), ++size_;
        from.clear();
    }

    friend bool operator==(const SmallVector& a, const SmallVector& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    // The aligned forms of operator new are much slower; they are needed
    // only for over-aligned element types.
    static constexpr bool kOverAligned = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
    static void* allocate(std::size_t n) {
        if constexpr (kOverAligned) return ::operator new(n * sizeof(T), std::align_val_t(alignof(T)));
        else return ::operator new(n * sizeof(T));
    }
    static void deallocate(T* p) {
        if constexpr (kOverAligned) ::operator delete(p, std::align_val_t(alignof(T)));
        else ::operator delete(p);
    }
    // Geometric growth: repeated appends to one list stay linear overall.
    void grow_for(std::size_t more) {
        if (size_ + more > cap_) reserve(std::max<std::size_t>(size_ + more, std::size_t{cap_} * 2));
    }
    void append_copies(const T* src, std::size_t n) {
        grow_for(n);
        for (std::size_t i = 0; i < n; ++i) new (end()) T(src[i]), ++size_;
    }
    void destroy_all() {
        clear();
        if (!is_inline()) deallocate(heap_);
        cap_ = N;
    }
    void steal(SmallVector& o) {
        if (o.is_inline()) {
            cap_ = N;
            size_ = 0;
            for (T& v : o) new (end()) T(std::move(v)), ++size_;
            o.clear();
        } else {
            heap_ = o.heap_;
            cap_ = o.cap_;
            size_ = o.size_;
            o.cap_ = N;
            o.size_ = 0;
        }
    }

    std::uint32_t size_ = 0;
    std::uint32_t cap_ = N;
    union {
        alignas(T) unsigned char inline_[sizeof(T) * N];
        T* heap_;
    };
};

}  // namespace dagloom
