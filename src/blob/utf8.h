// Strict UTF-8 validation for strings read from untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dagloom {

// True when the bytes are well-formed UTF-8: shortest forms only, no
// surrogate code points (U+D800..U+DFFF), nothing above U+10FFFF.
bool is_valid_utf8(const uint8_t* data, std::size_t size);

}  // namespace dagloom
