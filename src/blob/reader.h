// The cursor that reads one IR blob field at a time. Every read checks the
// bytes it needs first, so a short or lying blob ends in Truncated rather
// than a read past the end or an oversized reservation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.h"
#include "blob/format.h"
#include "graph/param.h"
#include "util/result.h"

namespace dagloom {

struct Reader {
    std::span<const uint8_t> data;  // borrowed
    std::size_t pos = kHeaderSize;  // next unread byte

    std::size_t remaining() const { return data.size() - pos; }

    Result<uint8_t, BlobError> u8();
    Result<uint32_t, BlobError> u32();
    Result<uint64_t, BlobError> u64();

    // uint32 length, then that many bytes of strict UTF-8, borrowed from the blob.
    Result<std::string_view, BlobError> string_view();
    // uint32 entry count, then key, value tag and value per entry; the
    // entries come back in ParamMap order (stable sort by key bytes).
    Result<ParamMap, BlobError> params();
    // uint32 count, then uint64 ids; each id must be below `limit`.
    Status<BlobError> inputs_into(uint64_t limit, std::vector<NodeId>& ids);
    // uint32 member count, then each StageOp. `input_count` bounds Input
    // references; Member references must name an earlier member.
    Result<std::vector<StageOp>, BlobError> members(std::size_t input_count);
};

// How many elements to reserve for `count` items of at least `min_size`
// bytes each when `remaining` bytes are left.
inline std::size_t capped_reserve(uint64_t count, std::size_t remaining, std::size_t min_size) {
    const uint64_t fit = remaining / min_size;
    return static_cast<std::size_t>(count < fit ? count : fit);
}

}  // namespace dagloom
