// SmallVector<T, N>: a vector of trivially copyable values that keeps up to
// N of them inline and spills to the heap beyond. Used for Subst (three
// bindings inline), the matcher's scratch buffers and a stage member's
// argument references.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <type_traits>

namespace dagloom {

template <class T, std::uint32_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T>, "SmallVector holds trivially copyable values");
    static_assert(N > 0);

public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    SmallVector() noexcept {}
    SmallVector(std::initializer_list<T> init) { assign(init.begin(), init.size()); }
    explicit SmallVector(std::span<const T> init) { assign(init.data(), init.size()); }
    SmallVector(const SmallVector& other) { assign(other.data(), other.size()); }
    SmallVector(SmallVector&& other) noexcept { steal(other); }
    SmallVector& operator=(const SmallVector& other) {
        if (this != &other) {
            size_ = 0;
            assign(other.data(), other.size());
        }
        return *this;
    }
    SmallVector& operator=(SmallVector&& other) noexcept {
        if (this != &other) {
            release();
            steal(other);
        }
        return *this;
    }
    ~SmallVector() { release(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t capacity() const { return cap_; }
    bool is_inline() const { return cap_ == N; }

    T* data() { return is_inline() ? reinterpret_cast<T*>(inline_) : heap_; }
    const T* data() const { return is_inline() ? reinterpret_cast<const T*>(inline_) : heap_; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    T& back() { return data()[size_ - 1]; }
    const T& back() const { return data()[size_ - 1]; }

    void push_back(const T& v) {
        if (size_ == cap_) {
            T copy = v;  // v may live in this vector
            reserve(static_cast<std::size_t>(cap_) * 2);
            data()[size_++] = copy;
            return;
        }
        data()[size_++] = v;
    }
    void pop_back() { --size_; }
    void clear() { size_ = 0; }
    // Shrinks or grows; new elements are value-initialised.
    void resize(std::size_t n) {
        if (n > cap_) reserve(std::max<std::size_t>(n, static_cast<std::size_t>(cap_) * 2));
        T* d = data();
        for (std::size_t i = size_; i < n; ++i) d[i] = T{};
        size_ = static_cast<std::uint32_t>(n);
    }
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        T* fresh = static_cast<T*>(std::malloc(n * sizeof(T)));
        if (!fresh) throw std::bad_alloc();
        if (size_) std::memcpy(static_cast<void*>(fresh), data(), size_ * sizeof(T));
        if (!is_inline()) std::free(heap_);
        heap_ = fresh;
        cap_ = static_cast<std::uint32_t>(n);
    }

    // Appends copies of all of from's elements.
    void append(const SmallVector& from) {
        // Geometric growth: repeated merges into one list stay linear overall.
        if (size_ + from.size_ > cap_) reserve(std::max<std::size_t>(size_ + from.size_, std::size_t{cap_} * 2));
        if (from.size_) std::memcpy(static_cast<void*>(data() + size_), from.data(), from.size_ * sizeof(T));
        size_ += from.size_;
    }

    friend bool operator==(const SmallVector& a, const SmallVector& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
    }

private:
    void assign(const T* src, std::size_t n) {
        reserve(n);
        if (n) std::memcpy(static_cast<void*>(data()), src, n * sizeof(T));
        size_ = static_cast<std::uint32_t>(n);
    }
    void release() {
        if (!is_inline()) std::free(heap_);
        cap_ = N;
        size_ = 0;
    }
    void steal(SmallVector& other) {
        size_ = other.size_;
        cap_ = other.cap_;
        if (other.is_inline()) {
            // An element loop, not a memcpy call sized by the count: N is
            // small, so this stays a few moves.
            T* to = reinterpret_cast<T*>(inline_);
            const T* from = reinterpret_cast<const T*>(other.inline_);
            for (std::uint32_t i = 0; i < other.size_; ++i) to[i] = from[i];
        }
        else {
            heap_ = other.heap_;
        }
        other.cap_ = N;
        other.size_ = 0;
    }

    std::uint32_t size_ = 0;
    std::uint32_t cap_ = N;
    union {
        alignas(T) unsigned char inline_[sizeof(T) * N];
        T* heap_;
    };
};

}  // namespace dagloom

namespace dagloom {

// InlineVector<T, N>: like SmallVector, for any nothrow-movable T; elements
// are moved (not memcpy'd) when the storage changes. Used for class node
// lists, which usually hold a single node, so most classes allocate nothing.
template <class T, std::uint32_t N>
class InlineVector {
    static_assert(std::is_nothrow_move_constructible_v<T>);

public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    InlineVector() noexcept {}
    InlineVector(const InlineVector& o) {
        reserve(o.size_);
        for (const T& v : o) new (end()) T(v), ++size_;
    }
    InlineVector(InlineVector&& o) noexcept { steal(o); }
    InlineVector& operator=(const InlineVector& o) {
        if (this != &o) {
            InlineVector tmp(o);
            *this = std::move(tmp);
        }
        return *this;
    }
    InlineVector& operator=(InlineVector&& o) noexcept {
        if (this != &o) {
            destroy_all();
            steal(o);
        }
        return *this;
    }
    ~InlineVector() { destroy_all(); }

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
    void reserve(std::size_t n) {
        if (n <= cap_) return;
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
    void append(InlineVector&& from) {
        if (size_ + from.size_ > cap_) reserve(std::max<std::size_t>(size_ + from.size_, std::size_t{cap_} * 2));
        for (T& v : from) new (end()) T(std::move(v)), ++size_;
        from.clear();
    }

    friend bool operator==(const InlineVector& a, const InlineVector& b) {
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
    void destroy_all() {
        clear();
        if (!is_inline()) deallocate(heap_);
        cap_ = N;
    }
    void steal(InlineVector& o) {
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
