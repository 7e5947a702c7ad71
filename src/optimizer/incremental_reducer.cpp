#include "optimizer/incremental_reducer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "graph/node_view.h"
#include "store/node_table.h"

namespace dagloom {

namespace {

// The operators whose two-input, parameterless form is commutative.
constexpr std::array<std::string_view, 8> kCommutative = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

bool is_commutative(const NodeView& node) {
    return node.inputs.size() == 2 && node.params->empty() &&
           std::find(kCommutative.begin(), kCommutative.end(), node.name) != kCommutative.end();
}

// Whether the Op's token is one of the four identity tokens: add with
// scalar 0.0 or mul with scalar 1.0, on side "r" or "l". Compared field by
// field instead of building the token text; equal by construction because
// the token of a name and a map is injective.
bool has_identity_token(const NodeView& node) {
    uint64_t unit_bits;
    if (node.name == "add") unit_bits = 0;
    else if (node.name == "mul") unit_bits = std::bit_cast<uint64_t>(1.0);
    else return false;
    const auto& e = node.params->entries();
    if (e.size() != 2 || e[0].first != "scalar" || e[1].first != "side") return false;
    const ParamValue& scalar = e[0].second;
    const ParamValue& side = e[1].second;
    return scalar.tag() == ParamValue::Tag::Float && canonical_float_bits(scalar.as_float()) == unit_bits &&
           side.tag() == ParamValue::Tag::Str && (side.as_str() == "r" || side.as_str() == "l");
}

}  // namespace

// The canonical form is hash-consed in the same packed table a store uses,
// so a step allocates nothing per node and the form stays small.
struct IncrementalReducer::State {
    NodeTable canonical;
    std::vector<uint64_t> remap;
    uint64_t total_work = 0;

    uint64_t canonicalize(NodeKey& key) {
        if (carries_extra(key.kind())) {
            key.map_inputs([&](NodeId x) { return remap[x]; });
            return canonical.intern(canonical.probe(view_of(key)), &key).pos;
        }
        NodeId mapped[2];
        std::vector<NodeId> many;
        std::span<const NodeId> inputs;
        if (key.inputs().size() <= 2) {
            for (std::size_t i = 0; i < key.inputs().size(); ++i) mapped[i] = remap[key.inputs()[i]];
            inputs = std::span<const NodeId>(mapped, key.inputs().size());
        } else {
            many.reserve(key.inputs().size());
            for (NodeId x : key.inputs()) many.push_back(remap[x]);
            inputs = many;
        }
        const NodeView node{key.kind(), key.name(), &key.params(), inputs, nullptr};
        if (node.kind == NodeKind::Op) {
            // Only a one-input identity op means "its operand"; with zero or
            // several inputs it is an ordinary op, as in the rewrite rules.
            if (inputs.size() == 1 && has_identity_token(node)) return inputs[0];
            if (is_commutative(node) && inputs[0] != inputs[1]) {
                const NodeTable::Probe probe = canonical.probe(node);
                if (auto found = canonical.find(probe)) return *found;
                // With equal inputs the mirror is the key itself, already probed.
                const NodeId swapped[2] = {inputs[1], inputs[0]};
                NodeView mirror = node;
                mirror.inputs = std::span<const NodeId>(swapped, 2);
                if (auto found = canonical.find(canonical.probe(mirror))) return *found;
                return canonical.intern(probe, nullptr).pos;
            }
        }
        return canonical.intern(canonical.probe(node), nullptr).pos;
    }
};

IncrementalReducer::IncrementalReducer() : state_(std::make_unique<State>()) {}
IncrementalReducer::~IncrementalReducer() = default;
IncrementalReducer::IncrementalReducer(IncrementalReducer&&) noexcept = default;
IncrementalReducer& IncrementalReducer::operator=(IncrementalReducer&&) noexcept = default;

Result<uint64_t, BadNodeId> IncrementalReducer::step(std::vector<NodeKey> delta) {
    State& s = *state_;
    const uint64_t count = delta.size();
    for (NodeKey& key : delta) {
        const uint64_t watermark = s.remap.size();
        for (NodeId x : key.inputs())
            if (x >= watermark) return make_err(BadNodeId{x});
        const uint64_t n = s.canonicalize(key);
        s.remap.push_back(n);
    }
    s.total_work += count;
    return count;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                                                        bool maximal_fusion) const {
    const State& s = *state_;
    std::vector<NodeId> mapped;
    mapped.reserve(outputs.size());
    for (NodeId o : outputs) {
        if (o >= s.remap.size()) return make_err(BadNodeId{o});
        mapped.push_back(s.remap[o]);
    }
    return reduce_with_mode(s.canonical.keys_from(0), mapped, engine, maximal_fusion);
}

uint64_t IncrementalReducer::watermark() const { return state_->remap.size(); }
uint64_t IncrementalReducer::total_work() const { return state_->total_work; }
uint64_t IncrementalReducer::canonical_count() const { return state_->canonical.size(); }

}  // namespace dagloom
