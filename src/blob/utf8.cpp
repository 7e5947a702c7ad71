#include "blob/utf8.h"

#include <cstring>

namespace dagloom {

bool is_valid_utf8(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        // Names, keys and tokens are mostly ASCII: skip eight such bytes at once.
        if (n - i >= 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const uint8_t lead = p[i];
        if (lead < 0x80) {
            i += 1;
            continue;
        }
        // The second byte's allowed range carries the overlong, surrogate
        // and upper-bound rules; later bytes are plain continuations.
        std::size_t len;
        uint8_t lo = 0x80, hi = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            len = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            len = 3;
            if (lead == 0xE0) lo = 0xA0;       // below U+0800 is overlong
            else if (lead == 0xED) hi = 0x9F;  // U+D800.. are surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            len = 4;
            if (lead == 0xF0) lo = 0x90;       // below U+10000 is overlong
            else if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;  // stray continuation, C0/C1 overlong lead, F5..FF
        }
        if (n - i < len) return false;
        const uint8_t second = p[i + 1];
        if (second < lo || second > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;  // not a continuation byte
        }
        i += len;
    }
    return true;
}

}  // namespace dagloom
