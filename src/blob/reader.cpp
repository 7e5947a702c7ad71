#include "blob/reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "blob/utf8.h"
#include "util/internal_error.h"

namespace dagloom {

// Evaluates a Result-returning read; on error returns it from the enclosing
// function, otherwise binds the value to `var`.
#define DAGLOOM_READ(var, expr)                                  \
    auto var##_read_ = (expr);                                   \
    if (!var##_read_) return make_err(std::move(var##_read_.error())); \
    auto var = std::move(var##_read_).value()

namespace {

uint32_t load_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t load_u64(const uint8_t* p) {
    return static_cast<uint64_t>(load_u32(p)) | static_cast<uint64_t>(load_u32(p + 4)) << 32;
}

}  // namespace

std::string BlobError::message() const {
    switch (kind) {
        case Kind::BadMagic:
            return "not a dagloom IR blob (bad magic/version)";
        case Kind::Truncated:
            return "truncated dagloom IR blob";
        case Kind::BadTag:
            return "invalid " + what + " tag " + std::to_string(value);
        case Kind::BadUtf8:
            return "invalid utf-8 in dagloom IR blob";
        case Kind::BadNodeRef:
            return "node reference " + std::to_string(value) + " out of range";
    }
    fail("unknown blob error kind");
}

Result<uint8_t, BlobError> Reader::u8() {
    if (remaining() < 1) return make_err(BlobError::truncated());
    return data[pos++];
}

Result<uint32_t, BlobError> Reader::u32() {
    if (remaining() < 4) return make_err(BlobError::truncated());
    const uint32_t v = load_u32(data.data() + pos);
    pos += 4;
    return v;
}

Result<uint64_t, BlobError> Reader::u64() {
    if (remaining() < 8) return make_err(BlobError::truncated());
    const uint64_t v = load_u64(data.data() + pos);
    pos += 8;
    return v;
}

Result<std::string_view, BlobError> Reader::string_view() {
    DAGLOOM_READ(len, u32());
    if (remaining() < len) return make_err(BlobError::truncated());
    const uint8_t* p = data.data() + pos;
    if (!is_valid_utf8(p, len)) return make_err(BlobError::bad_utf8());
    pos += len;
    return std::string_view(reinterpret_cast<const char*>(p), len);
}

Result<ParamMap, BlobError> Reader::params() {
    DAGLOOM_READ(count, u32());
    if (count == 0) return ParamMap();
    std::vector<ParamMap::Entry> entries;
    entries.reserve(capped_reserve(count, remaining(), kMinParamEntry));
    for (uint32_t i = 0; i < count; ++i) {
        // Keys and strings are built straight from the blob's bytes: no
        // intermediate string is moved through the result types.
        DAGLOOM_READ(key_view, string_view());
        std::string key(key_view);
        DAGLOOM_READ(tag, u8());
        switch (tag) {
            case 0: {
                DAGLOOM_READ(bits, u64());
                entries.emplace_back(std::move(key), ParamValue::Int(static_cast<int64_t>(bits)));
                break;
            }
            case 1: {
                // The exact bit pattern: NaN payloads and -0.0 survive.
                DAGLOOM_READ(bits, u64());
                entries.emplace_back(std::move(key), ParamValue::Float(std::bit_cast<double>(bits)));
                break;
            }
            case 2: {
                DAGLOOM_READ(b, u8());
                entries.emplace_back(std::move(key), ParamValue::Bool(b != 0));
                break;
            }
            case 3: {
                DAGLOOM_READ(s, string_view());
                entries.emplace_back(std::move(key), ParamValue::Str(std::string(s)));
                break;
            }
            default:
                return make_err(BlobError::bad_tag("param", tag));
        }
    }
    return ParamMap::make(std::move(entries));
}

Status<BlobError> Reader::inputs_into(uint64_t limit, std::vector<NodeId>& ids) {
    DAGLOOM_READ(count, u32());
    ids.clear();
    if (count <= remaining() / kNodeIdSize) {
        // Every id is there: at most one allocation, no per-id length checks.
        ids.resize(count);
        const uint8_t* p = data.data() + pos;
        for (uint32_t i = 0; i < count; ++i, p += kNodeIdSize) {
            const uint64_t id = load_u64(p);
            if (id >= limit) return make_err(BlobError::bad_node_ref(id));
            ids[i] = id;
        }
        pos += std::size_t{count} * kNodeIdSize;
        return Unit{};
    }
    // The list runs past the end: read up to there, so an id out of range
    // before the end is still reported as such.
    ids.reserve(capped_reserve(count, remaining(), kNodeIdSize));
    for (uint32_t i = 0; i < count; ++i) {
        DAGLOOM_READ(id, u64());
        if (id >= limit) return make_err(BlobError::bad_node_ref(id));
        ids.push_back(id);
    }
    fail("IR blob id list read past the end of the data");
}

Result<std::vector<StageOp>, BlobError> Reader::members(std::size_t input_count) {
    DAGLOOM_READ(count, u32());
    std::vector<StageOp> members;
    members.reserve(capped_reserve(count, remaining(), kMinStageMember));
    for (uint32_t m = 0; m < count; ++m) {
        StageOp member;
        DAGLOOM_READ(op, string_view());
        member.op = op;
        DAGLOOM_READ(ref_count, u32());
        member.inputs.reserve(capped_reserve(ref_count, remaining(), kStageRefSize));
        for (uint32_t i = 0; i < ref_count; ++i) {
            if (remaining() < kStageRefSize) return make_err(BlobError::truncated());
            const uint8_t tag = data[pos];
            const uint64_t index = load_u32(data.data() + pos + 1);
            pos += kStageRefSize;
            if (tag == 0) {
                // A stage can only read inputs it has.
                if (index >= input_count) return make_err(BlobError::bad_node_ref(index));
                member.inputs.push_back(StageRef::Input(index));
            } else if (tag == 1) {
                if (index >= m) return make_err(BlobError::bad_node_ref(index));
                member.inputs.push_back(StageRef::Member(index));
            } else {
                return make_err(BlobError::bad_tag("stage-ref", tag));
            }
        }
        members.push_back(std::move(member));
    }
    return members;
}

namespace {

// A cheap hash of raw bytes, for the readers' small caches (never stored).
uint64_t hash_bytes(const uint8_t* p, std::size_t n) {
    uint64_t h = 0x9e3779b97f4a7c15ULL ^ n;
    for (; n >= 8; p += 8, n -= 8) h = (h ^ load_u64(p)) * 0xff51afd7ed558ccdULL;
    for (; n > 0; ++p, --n) h = (h ^ *p) * 0x100000001b3ULL;
    return h ^ (h >> 29);
}

// The length of the parameter block at the reader's position, found without
// building it; nothing when the block is not well formed, which the full
// read then reports.
std::optional<std::size_t> block_length(const Reader& r) {
    const std::size_t end = r.data.size();
    std::size_t at = r.pos;
    auto skip = [&](std::size_t n) {
        if (end - at < n) return false;
        at += n;
        return true;
    };
    auto skip_string = [&] {
        if (end - at < 4) return false;
        const std::size_t len = load_u32(r.data.data() + at);
        at += 4;
        return skip(len);
    };
    if (end - at < 4) return std::nullopt;
    const uint32_t count = load_u32(r.data.data() + at);
    at += 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (!skip_string() || end - at < 1) return std::nullopt;
        const uint8_t tag = r.data[at++];
        const bool ok = tag == 0 || tag == 1 ? skip(8) : tag == 2 ? skip(1) : tag == 3 ? skip_string() : false;
        if (!ok) return std::nullopt;
    }
    return at - r.pos;
}

// A parameter list as read, with the bytes it was read from. Once pooled
// (in_table set) the list itself has moved into the table's pool.
struct ParamBlock {
    std::string bytes;
    ParamMap params;
    // Where a reader that fills a NodeTable directly put it: its hash there
    // and its pool id.
    std::optional<std::pair<uint64_t, uint32_t>> in_table;
};

// Records repeat a few parameter lists over and over. A block whose bytes
// equal those of a block read before is that same list (a block says where
// it ends, and its bytes were checked when first read), so it is taken from
// here instead of being parsed again.
class ParamBlockCache {
public:
    // The block at the reader's position; valid until the next call.
    Result<ParamBlock*, BlobError> read(Reader& r) {
        const uint8_t* at = r.data.data() + r.pos;
        if (r.remaining() >= 4 && load_u32(at) == 0) {
            r.pos += 4;
            return &empty_;
        }
        const std::optional<std::size_t> length = block_length(r);
        ParamBlock* slot = &scratch_;
        if (length) {
            slot = &slots_[hash_bytes(at, *length) & (kSlots - 1)];
            if (slot->bytes.size() == *length && std::memcmp(slot->bytes.data(), at, *length) == 0) {
                r.pos += *length;
                return slot;
            }
        }
        const std::size_t start = r.pos;
        DAGLOOM_READ(params, r.params());
        // A block the length scan could not measure cannot have read cleanly.
        if (!length || *length != r.pos - start) slot = &scratch_;
        slot->bytes.assign(reinterpret_cast<const char*>(at), r.pos - start);
        slot->params = std::move(params);
        slot->in_table.reset();
        return slot;
    }

private:
    static constexpr std::size_t kSlots = 256;  // direct-mapped by a hash of the bytes
    std::array<ParamBlock, kSlots> slots_;
    ParamBlock empty_;
    ParamBlock scratch_;
};

// One record as read: the common kinds as parts borrowed from the blob and
// a reused id buffer, externals and stages as whole keys.
struct RecordParts {
    NodeKind kind = NodeKind::Source;
    std::string_view name;
    ParamBlock* params = nullptr;
    std::vector<NodeId> inputs;
    std::optional<NodeKey> whole;
    ParamBlockCache cache;

    NodeView view() const { return NodeView{kind, name, &params->params, inputs, nullptr, {}}; }
};

// References are record positions, checked against the record's own
// position `k`; from_appended resolves them to nodes.
Result<NodeKey, BlobError> read_whole(Reader& r, uint8_t tag, uint64_t k);

Status<BlobError> read_record(Reader& r, uint64_t k, RecordParts& out) {
    DAGLOOM_READ(tag, r.u8());
    out.whole.reset();
    out.name = {};
    out.inputs.clear();
    switch (tag) {
        case static_cast<uint8_t>(NodeKind::Source):
        case static_cast<uint8_t>(NodeKind::Op):
        case static_cast<uint8_t>(NodeKind::Reduction): {
            out.kind = static_cast<NodeKind>(tag);
            DAGLOOM_READ(name, r.string_view());
            out.name = name;
            DAGLOOM_READ(params, out.cache.read(r));
            out.params = params;
            if (out.kind == NodeKind::Source) return Unit{};
            return r.inputs_into(k, out.inputs);
        }
        case static_cast<uint8_t>(NodeKind::Exchange): {
            out.kind = NodeKind::Exchange;
            DAGLOOM_READ(scheme, out.cache.read(r));
            out.params = scheme;
            return r.inputs_into(k, out.inputs);
        }
        case static_cast<uint8_t>(NodeKind::External):
        case static_cast<uint8_t>(NodeKind::Stage): {
            out.kind = static_cast<NodeKind>(tag);
            DAGLOOM_READ(key, read_whole(r, tag, k));
            out.whole.emplace(std::move(key));
            return Unit{};
        }
        default:
            return make_err(BlobError::bad_tag("node", tag));
    }
}

Result<NodeKey, BlobError> read_whole(Reader& r, uint8_t tag, uint64_t k) {
    std::vector<NodeId> inputs;
    switch (tag) {
        case static_cast<uint8_t>(NodeKind::External): {
            PayloadDescriptor d;
            for (std::string* field : d.required()) {
                DAGLOOM_READ(text, r.string_view());
                *field = text;
            }
            DAGLOOM_READ(present, r.u8());
            if (present != 0) {
                DAGLOOM_READ(pref, r.string_view());
                d.preprocessing_ref = std::string(pref);
            }
            DAGLOOM_READ(params, r.params());
            if (auto s = r.inputs_into(k, inputs); !s) return make_err(std::move(s.error()));
            return NodeKey::external(std::move(d), std::move(params), std::move(inputs));
        }
        case static_cast<uint8_t>(NodeKind::Stage): {
            if (auto s = r.inputs_into(k, inputs); !s) return make_err(std::move(s.error()));
            DAGLOOM_READ(members, r.members(inputs.size()));
            return NodeKey::stage(std::move(inputs), std::move(members));
        }
    }
    fail("blob reader read a whole key of a kind that has none");
}

// Names already pooled in one table, with their hashes there.
class NameCache {
public:
    std::pair<uint64_t, uint32_t> pooled(NodeTable& table, std::string_view name) {
        Entry& e = slots_[hash_bytes(reinterpret_cast<const uint8_t*>(name.data()), name.size()) & (kSlots - 1)];
        if (!e.used || e.name != name) {
            const uint64_t hash = table.name_hash(name);
            const uint32_t id = table.name_id(name, hash);
            e = Entry{std::string(name), hash, id, true};
        }
        return {e.hash, e.id};
    }

private:
    struct Entry {
        std::string name;
        uint64_t hash = 0;
        uint32_t id = 0;
        bool used = false;
    };
    static constexpr std::size_t kSlots = 64;
    std::array<Entry, kSlots> slots_;
};

// Appends every record to `table` as a new node, its index left pending.
Status<BlobError> read_records(Reader& r, uint64_t node_count, NodeTable& table) {
    table.reserve(capped_reserve(node_count, r.remaining(), kMinNodeRecord));
    RecordParts parts;
    NameCache names;
    for (uint64_t k = 0; k < node_count; ++k) {
        if (auto s = read_record(r, k, parts); !s) return s;
        if (parts.whole) {
            table.append_unchecked(table.probe(view_of(*parts.whole)), &*parts.whole);
            continue;
        }
        // Names and lists repeat: each distinct one is hashed and pooled once.
        ParamBlock& block = *parts.params;
        if (!block.in_table) {
            const uint64_t hash = table.params_hash(block.params);
            // Pooled, the list is needed no more: the cache keeps its bytes, hash and id.
            block.in_table.emplace(hash, table.params_id(std::move(block.params), hash));
        }
        const auto [name_hash, name_id] = names.pooled(table, parts.name);
        const NodeTable::Probe probe = table.probe(parts.view(), name_hash, block.in_table->first);
        table.append_unchecked(probe, NodeTable::PoolIds{name_id, block.in_table->second, {}});
    }
    return Unit{};
}

}  // namespace

Result<std::unique_ptr<GraphStore>, BlobError> deserialize(std::span<const uint8_t> data) {
    if (data.size() < kMagic.size()) return make_err(BlobError::truncated());
    if (std::memcmp(data.data(), kMagic.data(), kMagic.size()) != 0) return make_err(BlobError::bad_magic());
    if (data.size() < kHeaderSize) return make_err(BlobError::truncated());

    Reader r{data, kMagic.size()};
    DAGLOOM_READ(node_count, r.u32());
    // References and output ids name record positions. Blobs this system
    // writes never repeat a record, so positions are usually the node ids.
    NodeTable table;
    if (auto s = read_records(r, node_count, table); !s) return make_err(std::move(s.error()));
    AppendedStore built = from_appended(std::move(table));

    DAGLOOM_READ(output_count, r.u32());
    for (uint32_t i = 0; i < output_count; ++i) {
        DAGLOOM_READ(pos, r.u64());
        if (pos >= node_count) return make_err(BlobError::bad_node_ref(pos));
        if (!built.store->mark_output(built.node_of(pos))) fail("blob reader marked an output the store does not have");
    }
    // Bytes after the last output id are not examined.
    return std::move(built.store);
}

}  // namespace dagloom
