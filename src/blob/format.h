// Fixed facts of the IR blob layout shared by the writer and the reader.
#pragma once

#include <cstddef>
#include <string_view>

namespace dagloom {

// The final "1" is the format version; there is no other version field.
inline constexpr std::string_view kMagic = "DIR1";
// Magic plus the uint32 node count.
inline constexpr std::size_t kHeaderSize = 8;

// Smallest encodings, used to cap reservations for counts read from a blob:
// a count can never promise more elements than the remaining bytes hold.
inline constexpr std::size_t kMinNodeRecord = 9;   // tag, empty name or id list, empty params or members
inline constexpr std::size_t kMinParamEntry = 6;   // empty key, value tag, bool byte
inline constexpr std::size_t kNodeIdSize = 8;
inline constexpr std::size_t kMinStageMember = 8;  // empty op text, reference count
inline constexpr std::size_t kStageRefSize = 5;    // tag byte, uint32 index

}  // namespace dagloom
