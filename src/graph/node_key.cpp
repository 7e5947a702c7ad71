#include "graph/node_key.h"

#include <algorithm>

#include "graph/hash.h"
#include "graph/node_view.h"
#include "graph/token.h"
#include "util/internal_error.h"

namespace dagloom {

const char* kind_name(NodeKind kind) {
    static constexpr const char* kNames[kNodeKindCount] = {"source",   "op",    "reduction",
                                                           "external", "stage", "exchange"};
    const auto k = static_cast<std::size_t>(kind);
    return k < std::size(kNames) ? kNames[k] : "";
}

NodeKey::NodeKey(NodeKind kind, std::string name, ParamMap params, std::vector<NodeId> inputs)
    : kind_(kind), name_(std::move(name)), params_(std::move(params)), inputs_(std::move(inputs)) {}

NodeKey NodeKey::source(std::string name, ParamMap params) {
    return NodeKey(NodeKind::Source, std::move(name), std::move(params), {});
}

NodeKey NodeKey::op(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Op, std::move(name), std::move(params), std::move(inputs));
}

NodeKey NodeKey::reduction(std::string name, ParamMap params, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Reduction, std::move(name), std::move(params), std::move(inputs));
}

NodeKey NodeKey::external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs) {
    NodeKey k(NodeKind::External, {}, std::move(params), std::move(inputs));
    k.descriptor_ = std::make_unique<PayloadDescriptor>(std::move(descriptor));
    return k;
}

NodeKey NodeKey::stage(std::vector<NodeId> inputs, std::vector<StageOp> members) {
    NodeKey k(NodeKind::Stage, {}, {}, std::move(inputs));
    k.members_ = std::move(members);
    return k;
}

NodeKey NodeKey::exchange(ParamMap scheme, std::vector<NodeId> inputs) {
    return NodeKey(NodeKind::Exchange, {}, std::move(scheme), std::move(inputs));
}

NodeKey::NodeKey(const NodeKey& other)
    : kind_(other.kind_),
      name_(other.name_),
      params_(other.params_),
      inputs_(other.inputs_),
      descriptor_(other.descriptor_ ? std::make_unique<PayloadDescriptor>(*other.descriptor_) : nullptr),
      members_(other.members_) {}

NodeKey& NodeKey::operator=(const NodeKey& other) { return *this = NodeKey(other); }

const PayloadDescriptor& NodeKey::descriptor() const {
    static const PayloadDescriptor empty;
    return kind_ == NodeKind::External ? *descriptor_ : empty;
}

const std::vector<StageOp>& NodeKey::members() const { return members_; }

NodeKey NodeKey::with_inputs(std::vector<NodeId> inputs) const& { return NodeKey(*this).with_inputs(std::move(inputs)); }

NodeKey NodeKey::with_inputs(std::vector<NodeId> inputs) && {
    if (kind_ != NodeKind::Source) inputs_ = std::move(inputs);
    return std::move(*this);
}

std::string NodeKey::token() const { return token_of(view_of(*this)); }

std::string token_of(const NodeView& node) {
    switch (node.kind) {
        case NodeKind::Source: return with_params("src|" + escape_token(node.name), *node.params);
        case NodeKind::Op: return with_params("op|" + escape_token(node.name), *node.params);
        case NodeKind::Reduction: return with_params("red|" + escape_token(node.name), *node.params);
        case NodeKind::External: {
            // Descriptor fields are written verbatim; identity never rests on this text.
            const PayloadDescriptor& d = node.descriptor();
            std::string t = "ext|" + d.kind + "|" + d.content_hash + "|" + d.framework + "|" + d.version + "|" +
                            d.io_schema + "|" + (d.preprocessing_ref ? *d.preprocessing_ref : std::string("-"));
            return with_params(std::move(t), *node.params);
        }
        case NodeKind::Stage: return "stage|" + std::to_string(node.members().size());
        case NodeKind::Exchange: return with_params("exch", *node.params);
    }
    return {};
}

bool operator==(const NodeKey& a, const NodeKey& b) {
    if (a.kind_ != b.kind_ || a.name_ != b.name_ || a.inputs_ != b.inputs_ || !(a.params_ == b.params_)) return false;
    switch (a.kind_) {
        case NodeKind::External: return *a.descriptor_ == *b.descriptor_;
        case NodeKind::Stage: return a.members_ == b.members_;
        default: return true;
    }
}

namespace {

void hash_params(Hasher& h, const ParamMap& params) {
    h.add(params.size());
    for (const auto& [key, value] : params) {
        h.add_bytes(key);
        h.add(static_cast<uint64_t>(value.tag()));
        switch (value.tag()) {
            case ParamValue::Tag::Int: h.add(static_cast<uint64_t>(value.as_int())); break;
            case ParamValue::Tag::Float: h.add(canonical_float_bits(value.as_float())); break;
            case ParamValue::Tag::Bool: h.add(value.as_bool()); break;
            case ParamValue::Tag::Str: h.add_bytes(value.as_str()); break;
        }
    }
}

}  // namespace

uint64_t hash_params(const ParamMap& params, uint64_t seed) {
    Hasher h(seed);
    hash_params(h, params);
    return h.finish();
}

std::vector<StageOp> StageMembers::to_vector() const {
    std::vector<StageOp> ops;
    ops.reserve(size());
    for (std::size_t k = 0; k < size(); ++k) {
        const StageRefs refs = inputs(k);
        StageOp m{std::string(op(k)), {}};
        m.inputs.reserve(refs.size());
        for (const StageRef r : refs) m.inputs.push_back(r);
        ops.push_back(std::move(m));
    }
    return ops;
}

bool operator==(const StageMembers& a, const StageMembers& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a.op(k) != b.op(k) || !(a.inputs(k) == b.inputs(k))) return false;
    }
    return true;
}

NodeKey key_of(const NodeView& view) {
    if (view.full != nullptr) return *view.full;
    std::vector<NodeId> inputs(view.inputs.begin(), view.inputs.end());
    switch (view.kind) {
        case NodeKind::Source: return NodeKey::source(std::string(view.name), *view.params);
        case NodeKind::Op: return NodeKey::op(std::string(view.name), *view.params, std::move(inputs));
        case NodeKind::Reduction: return NodeKey::reduction(std::string(view.name), *view.params, std::move(inputs));
        case NodeKind::Exchange: return NodeKey::exchange(*view.params, std::move(inputs));
        case NodeKind::Stage: return NodeKey::stage(std::move(inputs), view.stage.to_vector());
        case NodeKind::External: break;
    }
    fail("node view of an external or stage without its key");
}

uint64_t hash_key(const NodeKey& key, uint64_t seed) {
    Hasher h(seed);
    h.add(static_cast<uint64_t>(key.kind()));
    h.add_bytes(key.name());
    hash_params(h, key.params());
    h.add(key.inputs().size());
    for (NodeId id : key.inputs()) h.add(id);
    if (key.kind() == NodeKind::External) {
        const PayloadDescriptor& d = key.descriptor();
        for (const std::string* s : d.required()) h.add_bytes(*s);
        h.add(d.preprocessing_ref.has_value());
        if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
    } else if (key.kind() == NodeKind::Stage) {
        h.add(key.members().size());
        for (const StageOp& m : key.members()) {
            h.add_bytes(m.op);
            h.add(m.inputs.size());
            for (const StageRef& r : m.inputs) h.add((static_cast<uint64_t>(r.tag) << 63) ^ r.index);
        }
    }
    return h.finish();
}

}  // namespace dagloom
