// The IR blob writer's 32-bit fields. Everything is little-endian with no
// padding; the 32-bit count and length fields are range-checked so that a
// value which does not fit is reported instead of being truncated into a
// blob that reads back as something else.
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

}  // namespace dagloom
