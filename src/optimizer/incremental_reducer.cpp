#include "optimizer/incremental_reducer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "store/key_index.h"

namespace dagloom {

namespace {

// The operators whose two-input, parameterless form is commutative.
constexpr std::array<std::string_view, 8> kCommutative = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

bool is_commutative(const NodeKey& key) {
    return key.inputs().size() == 2 && key.params().empty() &&
           std::find(kCommutative.begin(), kCommutative.end(), key.name()) != kCommutative.end();
}

// Whether the Op's token is one of the four identity tokens: add with
// scalar 0.0 or mul with scalar 1.0, on side "r" or "l". Compared field by
// field instead of building the token text; equal by construction because
// the token of a name and a map is injective.
bool has_identity_token(const NodeKey& key) {
    uint64_t unit_bits;
    if (key.name() == "add") unit_bits = 0;
    else if (key.name() == "mul") unit_bits = std::bit_cast<uint64_t>(1.0);
    else return false;
    const auto& e = key.params().entries();
    if (e.size() != 2 || e[0].first != "scalar" || e[1].first != "side") return false;
    const ParamValue& scalar = e[0].second;
    const ParamValue& side = e[1].second;
    return scalar.tag() == ParamValue::Tag::Float && canonical_float_bits(scalar.as_float()) == unit_bits &&
           side.tag() == ParamValue::Tag::Str && (side.as_str() == "r" || side.as_str() == "l");
}

}  // namespace

struct IncrementalReducer::State {
    std::vector<NodeKey> canonical;
    std::vector<uint64_t> remap;
    KeyIndex interned;  // over `canonical`
    uint64_t total_work = 0;

    std::optional<uint64_t> lookup(const NodeKey& key, uint64_t h) const { return interned.find(canonical, key, h); }

    uint64_t append(NodeKey key, uint64_t h) {
        const uint64_t pos = canonical.size();
        interned.reserve_one();
        canonical.push_back(std::move(key));
        interned.insert(pos, h);
        return pos;
    }

    uint64_t hash_cons(NodeKey key) {
        const uint64_t h = interned.hash(key);
        if (auto found = lookup(key, h)) return *found;
        return append(std::move(key), h);
    }

    uint64_t canonicalize(NodeKey key) {
        if (key.kind() == NodeKind::Op) {
            // Only a one-input identity op means "its operand"; with zero or
            // several inputs it is an ordinary op, as in the rewrite rules.
            if (key.inputs().size() == 1 && has_identity_token(key)) return key.inputs()[0];
            if (is_commutative(key)) {
                const uint64_t h = interned.hash(key);
                if (auto found = lookup(key, h)) return *found;
                // The mirror is probed in place (inputs swapped, then swapped
                // back) rather than built as a second key; with equal inputs
                // it is the key itself, already probed.
                const NodeId a = key.inputs()[0];
                const NodeId b = key.inputs()[1];
                if (a != b) {
                    auto swap = [&](NodeId x) { return x == a ? b : a; };
                    key.map_inputs(swap);
                    const std::optional<uint64_t> mirrored = lookup(key, interned.hash(key));
                    key.map_inputs(swap);
                    if (mirrored) return *mirrored;
                }
                return append(std::move(key), h);
            }
        }
        return hash_cons(std::move(key));
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
        key.map_inputs([&](NodeId x) { return s.remap[x]; });
        uint64_t n = s.canonicalize(std::move(key));
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
    return reduce_with_mode(s.canonical, mapped, engine, maximal_fusion);
}

uint64_t IncrementalReducer::watermark() const { return state_->remap.size(); }
uint64_t IncrementalReducer::total_work() const { return state_->total_work; }
uint64_t IncrementalReducer::canonical_count() const { return state_->canonical.size(); }

}  // namespace dagloom
