// Low-level appenders of the IR blob writer. Everything is little-endian
// with no padding; the 32-bit count and length fields are range-checked so
// that a value which does not fit is reported instead of being truncated
// into a blob that reads back as something else.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.h"
#include "graph/node_view.h"
#include "graph/param.h"
#include "util/result.h"

namespace dagloom {

// The 32-bit fields of the format, named so an oversized value can say
// which field it overflowed.
enum class Field32 : uint8_t {
    NodeCount,
    OutputCount,
    StringLength,
    ParamCount,
    InputCount,
    MemberCount,
    RefCount,
    RefIndex,
};

// "string of 4294967296 bytes does not fit the IR blob's 32-bit length field"
std::string too_large_message(Field32 field, uint64_t value);

inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    out.insert(out.end(), b, b + 4);
}

inline void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    out.insert(out.end(), b, b + 8);
}

inline void put_bytes(std::vector<uint8_t>& out, std::string_view bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    out.insert(out.end(), p, p + bytes.size());
}

// Appends `value` as a uint32, or reports BlobTooLarge (and appends
// nothing) when it does not fit. The helpers below check every 32-bit
// field of their part the same way and append nothing when one fails.
inline Status<BlobTooLarge> put_u32_checked(std::vector<uint8_t>& out, uint64_t value, Field32 field) {
    if (value > UINT32_MAX) [[unlikely]]
        return make_err(BlobTooLarge{too_large_message(field, value)});
    put_u32(out, static_cast<uint32_t>(value));
    return Unit{};
}

// One node record: the kind tag and the kind's fields.
Status<BlobTooLarge> put_node(std::vector<uint8_t>& out, const NodeView& node);

}  // namespace dagloom
