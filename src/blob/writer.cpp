#include "blob/writer.h"

#include "blob/format.h"
#include "util/internal_error.h"

namespace dagloom {

namespace {

// Each record is written in two steps over the same parts: its exact size
// is summed (checking every 32-bit field on the way), then the bytes are
// stored through a raw pointer into space grown once. A record that does
// not fit the format therefore appends nothing, and the hot path does no
// per-field bounds or capacity checks. Both steps walk the record with the
// same functions below, over these primitives.
class Sizer {
public:
    uint64_t size = 0;

    bool ok() const { return !bad_; }
    BlobTooLarge error() const { return BlobTooLarge{too_large_message(field_, value_)}; }

    void u8(uint8_t) { size += 1; }
    void u64(uint64_t) { size += 8; }
    void u64s(std::span<const NodeId> ids) { size += ids.size() * 8; }
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
    void bytes(std::string_view s) { size += s.size(); }

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
    void u64(uint64_t v) { little_endian<8>(v); }
    void u64s(std::span<const NodeId> ids) {
        for (NodeId id : ids) u64(id);
    }
    void field32(uint64_t v, Field32) { little_endian<4>(v); }
    void bytes(std::string_view s) {
        if (!s.empty()) std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }

private:
    template <int N>
    void little_endian(uint64_t v) {
        for (int i = 0; i < N; ++i) p_[i] = static_cast<uint8_t>(v >> (8 * i));
        p_ += N;
    }

    uint8_t* p_;
};

template <class W>
void write_string(W& w, std::string_view s) {
    w.field32(s.size(), Field32::StringLength);
    w.bytes(s);
}

template <class W>
void write_ids(W& w, std::span<const NodeId> ids) {
    w.field32(ids.size(), Field32::InputCount);
    w.u64s(ids);
}

template <class W>
void write_params(W& w, const ParamMap& params) {
    w.field32(params.size(), Field32::ParamCount);
    for (const auto& [key, value] : params) {
        write_string(w, key);
        w.u8(static_cast<uint8_t>(value.tag()));
        switch (value.tag()) {
            case ParamValue::Tag::Int:
                w.u64(static_cast<uint64_t>(value.as_int()));
                break;
            case ParamValue::Tag::Float:
                // The stored bit pattern, NaN payload and sign of zero included.
                w.u64(std::bit_cast<uint64_t>(value.as_float()));
                break;
            case ParamValue::Tag::Bool:
                w.u8(value.as_bool() ? 1 : 0);
                break;
            case ParamValue::Tag::Str:
                write_string(w, value.as_str());
                break;
        }
    }
}

template <class W>
void write_members(W& w, const StageMembers& members) {
    w.field32(members.size(), Field32::MemberCount);
    for (std::size_t k = 0; k < members.size(); ++k) {
        write_string(w, members.op(k));
        const StageRefs refs = members.inputs(k);
        w.field32(refs.size(), Field32::RefCount);
        for (const StageRef r : refs) {
            w.u8(static_cast<uint8_t>(r.tag));
            w.field32(r.index, Field32::RefIndex);
        }
    }
}

template <class W>
void write_node(W& w, const NodeView& node) {
    w.u8(static_cast<uint8_t>(node.kind));
    switch (node.kind) {
        case NodeKind::Source:
        case NodeKind::Op:
        case NodeKind::Reduction:
            write_string(w, node.name);
            write_params(w, *node.params);
            if (node.kind != NodeKind::Source) write_ids(w, node.inputs);
            return;
        case NodeKind::External: {
            const PayloadDescriptor& d = node.descriptor();
            for (const std::string* s : d.required()) write_string(w, *s);
            w.u8(d.preprocessing_ref ? 1 : 0);
            if (d.preprocessing_ref) write_string(w, *d.preprocessing_ref);
            write_params(w, *node.params);
            write_ids(w, node.inputs);
            return;
        }
        case NodeKind::Stage:
            write_ids(w, node.inputs);
            write_members(w, node.members());
            return;
        case NodeKind::Exchange:
            write_params(w, *node.params);
            write_ids(w, node.inputs);
            return;
    }
    fail("unknown node kind in the IR blob writer");
}

// Walks the header, the first `count` nodes and the output list with one
// writer (a Sizer or a Filler).
template <class W, class NodeAt>
void walk_blob(W& w, std::size_t count, NodeAt node_at, const std::vector<NodeId>& outputs) {
    for (uint8_t b : kMagic) w.u8(b);
    w.field32(count, Field32::NodeCount);
    for (std::size_t i = 0; i < count; ++i) write_node(w, node_at(i));
    w.field32(outputs.size(), Field32::OutputCount);
    w.u64s(outputs);
}

}  // namespace

std::string too_large_message(Field32 field, uint64_t value) {
    // Per field in enum order: the words before the value, and what it is.
    static constexpr std::pair<const char*, const char*> kWording[] = {
        {"store of ", " nodes"}, {"output list of ", " ids"}, {"string of ", " bytes"},
        {"parameter list of ", " entries"}, {"input list of ", " ids"}, {"stage of ", " members"},
        {"stage member with ", " references"}, {"stage reference index ", ""}};
    static constexpr const char* kField[] = {"node count", "output count", "length", "entry count",
                                             "id count",   "member count", "reference count", "index"};
    const auto f = static_cast<std::size_t>(field);
    if (f >= std::size(kField)) fail("unknown IR blob field");
    const std::string n = std::to_string(value);
    return kWording[f].first + n + kWording[f].second + " does not fit the IR blob's 32-bit " + kField[f] + " field";
}

Result<BlobPlan, BlobTooLarge> plan_blob(const GraphStore& store, const std::vector<NodeId>& outputs) {
    return store.with_locked([&](const GraphStore::View& view) -> Result<BlobPlan, BlobTooLarge> {
        const std::size_t count = view.nodes.size();
        Sizer sizer;
        walk_blob(sizer, count, [&](std::size_t i) { return view.nodes.view(i); }, outputs);
        if (!sizer.ok()) return make_err(sizer.error());
        return BlobPlan{count, sizer.size};
    });
}

void write_planned(const GraphStore& store, const BlobPlan& plan, const std::vector<NodeId>& outputs, uint8_t* out) {
    store.with_locked([&](const GraphStore::View& view) {
        if (view.nodes.size() < plan.node_count) fail("IR blob plan covers nodes the store does not have");
        Filler filler(out);
        walk_blob(filler, plan.node_count, [&](std::size_t i) { return view.nodes.view(i); }, outputs);
        if (filler.end() != out + plan.size) fail("IR blob size mismatch between measuring and writing");
    });
}

Result<std::vector<uint8_t>, BlobTooLarge> serialize_with(const GraphStore& store, const std::vector<NodeId>& outputs) {
    auto plan = plan_blob(store, outputs);
    if (!plan.ok()) return make_err(std::move(plan.error()));
    std::vector<uint8_t> out(static_cast<std::size_t>(plan->size));
    write_planned(store, *plan, outputs, out.data());
    return out;
}

}  // namespace dagloom
