#include "blob/writer.h"

#include "blob/format.h"
#include "util/internal_error.h"

namespace dagloom {

namespace {

// Each record is written in two steps over the same key: its exact size is
// summed (checking every 32-bit field on the way), then the bytes are
// stored through a raw pointer into space grown once. A record that does
// not fit the format therefore appends nothing, and the hot path does no
// per-field bounds or capacity checks.
class Sizer {
public:
    uint64_t size = 0;

    bool ok() const { return !bad_; }
    BlobTooLarge error() const { return BlobTooLarge{too_large_message(field_, value_)}; }

    void bytes(uint64_t n) { size += n; }
    void field32(uint64_t v, Field32 f) {
        if (v > UINT32_MAX) [[unlikely]] {
            if (!bad_) {
                bad_ = true;
                field_ = f;
                value_ = v;
            }
        }
        size += 4;
    }
    void string(std::string_view s) {
        field32(s.size(), Field32::StringLength);
        size += s.size();
    }
    void ids(const std::vector<NodeId>& ids) {
        field32(ids.size(), Field32::InputCount);
        size += ids.size() * 8;
    }
    void params(const ParamMap& params) {
        field32(params.size(), Field32::ParamCount);
        for (const auto& [key, value] : params) {
            string(key);
            size += 1;
            switch (value.tag()) {
                case ParamValue::Tag::Int:
                case ParamValue::Tag::Float:
                    size += 8;
                    break;
                case ParamValue::Tag::Bool:
                    size += 1;
                    break;
                case ParamValue::Tag::Str:
                    string(value.as_str());
                    break;
            }
        }
    }
    void members(const std::vector<StageOp>& members) {
        field32(members.size(), Field32::MemberCount);
        for (const StageOp& m : members) {
            string(m.op);
            field32(m.inputs.size(), Field32::RefCount);
            for (const StageRef& r : m.inputs) {
                size += 1;
                field32(r.index, Field32::RefIndex);
            }
        }
    }
    void node(const NodeKey& key) {
        size += 1;
        switch (key.kind()) {
            case NodeKind::Source:
                string(key.name());
                params(key.params());
                return;
            case NodeKind::Op:
            case NodeKind::Reduction:
                string(key.name());
                params(key.params());
                ids(key.inputs());
                return;
            case NodeKind::External: {
                const PayloadDescriptor& d = key.descriptor();
                for (const std::string* s : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema})
                    string(*s);
                size += 1;
                if (d.preprocessing_ref) string(*d.preprocessing_ref);
                params(key.params());
                ids(key.inputs());
                return;
            }
            case NodeKind::Stage:
                ids(key.inputs());
                members(key.members());
                return;
            case NodeKind::Exchange:
                params(key.scheme());
                ids(key.inputs());
                return;
        }
        fail("unknown node kind in the IR blob writer");
    }

private:
    bool bad_ = false;
    Field32 field_ = Field32::NodeCount;
    uint64_t value_ = 0;
};

// Stores into space the Sizer has measured and checked.
class Filler {
public:
    explicit Filler(uint8_t* p) : p_(p) {}
    uint8_t* end() const { return p_; }

    void u8(uint8_t v) { *p_++ = v; }
    void u32(uint64_t v) {
        for (int i = 0; i < 4; ++i) p_[i] = static_cast<uint8_t>(v >> (8 * i));
        p_ += 4;
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) p_[i] = static_cast<uint8_t>(v >> (8 * i));
        p_ += 8;
    }
    void string(std::string_view s) {
        u32(s.size());
        if (!s.empty()) std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }
    void ids(const std::vector<NodeId>& ids) {
        u32(ids.size());
        for (NodeId id : ids) u64(id);
    }
    void params(const ParamMap& params) {
        u32(params.size());
        for (const auto& [key, value] : params) {
            string(key);
            u8(static_cast<uint8_t>(value.tag()));
            switch (value.tag()) {
                case ParamValue::Tag::Int:
                    u64(static_cast<uint64_t>(value.as_int()));
                    break;
                case ParamValue::Tag::Float:
                    // The stored bit pattern, NaN payload and sign of zero included.
                    u64(std::bit_cast<uint64_t>(value.as_float()));
                    break;
                case ParamValue::Tag::Bool:
                    u8(value.as_bool() ? 1 : 0);
                    break;
                case ParamValue::Tag::Str:
                    string(value.as_str());
                    break;
            }
        }
    }
    void members(const std::vector<StageOp>& members) {
        u32(members.size());
        for (const StageOp& m : members) {
            string(m.op);
            u32(m.inputs.size());
            for (const StageRef& r : m.inputs) {
                u8(static_cast<uint8_t>(r.tag));
                u32(r.index);
            }
        }
    }
    void node(const NodeKey& key) {
        u8(static_cast<uint8_t>(key.kind()));
        switch (key.kind()) {
            case NodeKind::Source:
                string(key.name());
                params(key.params());
                return;
            case NodeKind::Op:
            case NodeKind::Reduction:
                string(key.name());
                params(key.params());
                ids(key.inputs());
                return;
            case NodeKind::External: {
                const PayloadDescriptor& d = key.descriptor();
                for (const std::string* s : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema})
                    string(*s);
                u8(d.preprocessing_ref ? 1 : 0);
                if (d.preprocessing_ref) string(*d.preprocessing_ref);
                params(key.params());
                ids(key.inputs());
                return;
            }
            case NodeKind::Stage:
                ids(key.inputs());
                members(key.members());
                return;
            case NodeKind::Exchange:
                params(key.scheme());
                ids(key.inputs());
                return;
        }
        fail("unknown node kind in the IR blob writer");
    }

private:
    uint8_t* p_;
};

uint8_t* grow(std::vector<uint8_t>& out, uint64_t n) {
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    return out.data() + at;
}

// Measures `f`'s part, then writes it into exactly that much new space.
template <class Part>
Status<BlobTooLarge> append(std::vector<uint8_t>& out, Part part) {
    Sizer sizer;
    part(sizer);
    if (!sizer.ok()) return make_err(sizer.error());
    Filler filler(grow(out, sizer.size));
    part(filler);
    if (filler.end() != out.data() + out.size()) fail("IR blob record size mismatch");
    return Unit{};
}

// Most records are a short name, a few parameters and one or two ids.
constexpr std::size_t kTypicalRecordBytes = 40;

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
    return append(out, [&](auto& w) { w.ids(ids); });
}

Status<BlobTooLarge> put_params(std::vector<uint8_t>& out, const ParamMap& params) {
    return append(out, [&](auto& w) { w.params(params); });
}

Status<BlobTooLarge> put_node(std::vector<uint8_t>& out, const NodeKey& key) {
    return append(out, [&](auto& w) { w.node(key); });
}

Result<std::vector<uint8_t>, BlobTooLarge> write_blob(const std::vector<NodeKey>& nodes,
                                                      const std::vector<NodeId>& outputs) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + nodes.size() * kTypicalRecordBytes + 4 + outputs.size() * 8);
    put_bytes(out, kMagic);
    if (auto s = put_u32_checked(out, nodes.size(), Field32::NodeCount); !s) return make_err(std::move(s.error()));
    for (const NodeKey& key : nodes) {
        if (auto s = put_node(out, key); !s) return make_err(std::move(s.error()));
    }
    if (auto s = put_u32_checked(out, outputs.size(), Field32::OutputCount); !s)
        return make_err(std::move(s.error()));
    Filler filler(grow(out, outputs.size() * 8));
    for (NodeId id : outputs) filler.u64(id);
    return out;
}

Result<std::vector<uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store, const std::vector<NodeId>& outputs) {
    // The bytes are this store's copy: they are produced in one pass under
    // the store's lock, which takes less time than a deep copy of every key
    // would (and far less memory), and they show one consistent state.
    return store.with_locked([&](const GraphStore::View& view) { return write_blob(view.nodes, outputs); });
}

}  // namespace dagloom
