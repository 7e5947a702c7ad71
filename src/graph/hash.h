// A small, strong 64-bit hash for building keyed hashes of composite values.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace dagloom {

inline uint64_t mix64(uint64_t a, uint64_t b) {
    __uint128_t r = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

class Hasher {
public:
    explicit Hasher(uint64_t seed) : h_(seed ^ 0x9e3779b97f4a7c15ULL) {}

    void add(uint64_t w) { h_ = mix64(h_ ^ w, 0xa0761d6478bd642fULL) + 0xe7037ed1a0b428dbULL; }

    void add_bytes(std::string_view s) {
        add(s.size());
        const char* p = s.data();
        std::size_t n = s.size();
        while (n >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            add(w);
            p += 8;
            n -= 8;
        }
        if (n > 0) {
            uint64_t w = 0;
            std::memcpy(&w, p, n);
            add(w);
        }
    }

    uint64_t finish() const { return mix64(h_, 0x8ebc6af09c88c6e3ULL) ^ h_; }

private:
    uint64_t h_;
};

}  // namespace dagloom
