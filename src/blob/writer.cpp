#include "blob/writer.h"

#include "blob/format.h"

namespace dagloom {

namespace {

// Ids as consecutive uint64 values, written in one resize.
void append_u64s(std::vector<uint8_t>& out, const std::vector<NodeId>& ids) {
    const std::size_t at = out.size();
    out.resize(at + ids.size() * 8);
    uint8_t* p = out.data() + at;
    for (NodeId id : ids) {
        for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(id >> (8 * i));
        p += 8;
    }
}

// Propagates a BlobTooLarge out of the enclosing function.
#define DAGLOOM_TRY_PUT(expr)              \
    do {                                   \
        auto put_status_ = (expr);         \
        if (!put_status_) return put_status_; \
    } while (0)

Status<BlobTooLarge> put_members(std::vector<uint8_t>& out, const std::vector<StageOp>& members) {
    DAGLOOM_TRY_PUT(put_u32_checked(out, members.size(), Field32::MemberCount));
    for (const StageOp& member : members) {
        DAGLOOM_TRY_PUT(put_string(out, member.op));
        DAGLOOM_TRY_PUT(put_u32_checked(out, member.inputs.size(), Field32::RefCount));
        for (const StageRef& ref : member.inputs) {
            put_u8(out, static_cast<uint8_t>(ref.tag));
            DAGLOOM_TRY_PUT(put_u32_checked(out, ref.index, Field32::RefIndex));
        }
    }
    return Unit{};
}

// A cheap lower bound of the blob size, so the vector rarely regrows; an
// exact figure would need a second pass over every string.
std::size_t estimate_size(const std::vector<NodeKey>& nodes, const std::vector<NodeId>& outputs) {
    return kHeaderSize + 4 + nodes.size() * 32 + outputs.size() * 8;
}

}  // namespace

std::string too_large_message(Field32 field, uint64_t value) {
    const std::string n = std::to_string(value);
    switch (field) {
        case Field32::NodeCount:
            return "store of " + n + " nodes does not fit the IR blob's 32-bit node count field";
        case Field32::OutputCount:
            return "output list of " + n + " ids does not fit the IR blob's 32-bit output count field";
        case Field32::StringLength:
            return "string of " + n + " bytes does not fit the IR blob's 32-bit length field";
        case Field32::ParamCount:
            return "parameter list of " + n + " entries does not fit the IR blob's 32-bit entry count field";
        case Field32::InputCount:
            return "input list of " + n + " ids does not fit the IR blob's 32-bit id count field";
        case Field32::MemberCount:
            return "stage of " + n + " members does not fit the IR blob's 32-bit member count field";
        case Field32::RefCount:
            return "stage member with " + n + " references does not fit the IR blob's 32-bit reference count field";
        case Field32::RefIndex:
            return "stage reference index " + n + " does not fit the IR blob's 32-bit index field";
    }
    fail("unknown IR blob field");
}

Status<BlobTooLarge> put_ids(std::vector<uint8_t>& out, const std::vector<NodeId>& ids) {
    DAGLOOM_TRY_PUT(put_u32_checked(out, ids.size(), Field32::InputCount));
    append_u64s(out, ids);
    return Unit{};
}

Status<BlobTooLarge> put_params(std::vector<uint8_t>& out, const ParamMap& params) {
    DAGLOOM_TRY_PUT(put_u32_checked(out, params.size(), Field32::ParamCount));
    for (const auto& [key, value] : params) {
        DAGLOOM_TRY_PUT(put_string(out, key));
        put_u8(out, static_cast<uint8_t>(value.tag()));
        switch (value.tag()) {
            case ParamValue::Tag::Int:
                put_u64(out, static_cast<uint64_t>(value.as_int()));
                break;
            case ParamValue::Tag::Float:
                put_u64(out, std::bit_cast<uint64_t>(value.as_float()));
                break;
            case ParamValue::Tag::Bool:
                put_u8(out, value.as_bool() ? 1 : 0);
                break;
            case ParamValue::Tag::Str:
                DAGLOOM_TRY_PUT(put_string(out, value.as_str()));
                break;
        }
    }
    return Unit{};
}

Status<BlobTooLarge> put_node(std::vector<uint8_t>& out, const NodeKey& key) {
    put_u8(out, static_cast<uint8_t>(key.kind()));
    switch (key.kind()) {
        case NodeKind::Source:
            DAGLOOM_TRY_PUT(put_string(out, key.name()));
            return put_params(out, key.params());
        case NodeKind::Op:
        case NodeKind::Reduction:
            DAGLOOM_TRY_PUT(put_string(out, key.name()));
            DAGLOOM_TRY_PUT(put_params(out, key.params()));
            return put_ids(out, key.inputs());
        case NodeKind::External: {
            const PayloadDescriptor& d = key.descriptor();
            DAGLOOM_TRY_PUT(put_string(out, d.kind));
            DAGLOOM_TRY_PUT(put_string(out, d.content_hash));
            DAGLOOM_TRY_PUT(put_string(out, d.framework));
            DAGLOOM_TRY_PUT(put_string(out, d.version));
            DAGLOOM_TRY_PUT(put_string(out, d.io_schema));
            put_u8(out, d.preprocessing_ref ? 1 : 0);
            if (d.preprocessing_ref) DAGLOOM_TRY_PUT(put_string(out, *d.preprocessing_ref));
            DAGLOOM_TRY_PUT(put_params(out, key.params()));
            return put_ids(out, key.inputs());
        }
        case NodeKind::Stage:
            DAGLOOM_TRY_PUT(put_ids(out, key.inputs()));
            return put_members(out, key.members());
        case NodeKind::Exchange:
            DAGLOOM_TRY_PUT(put_params(out, key.scheme()));
            return put_ids(out, key.inputs());
    }
    fail("unknown node kind in the IR blob writer");
}

Result<std::vector<uint8_t>, BlobTooLarge> write_blob(const std::vector<NodeKey>& nodes,
                                                      const std::vector<NodeId>& outputs) {
    std::vector<uint8_t> out;
    out.reserve(estimate_size(nodes, outputs));
    put_bytes(out, kMagic);
    if (auto s = put_u32_checked(out, nodes.size(), Field32::NodeCount); !s) return make_err(std::move(s.error()));
    for (const NodeKey& key : nodes) {
        if (auto s = put_node(out, key); !s) return make_err(std::move(s.error()));
    }
    if (auto s = put_u32_checked(out, outputs.size(), Field32::OutputCount); !s)
        return make_err(std::move(s.error()));
    append_u64s(out, outputs);
    return out;
}

Result<std::vector<uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store, const std::vector<NodeId>& outputs) {
    // One copy of the nodes taken under the store's lock; the bytes are
    // produced from the copy without it.
    Snapshot snap = store.snapshot();
    return write_blob(snap.nodes, outputs);
}

}  // namespace dagloom
