#include "optimizer/trace.h"

namespace dagloom {

// One pass over the nodes, each followed through the phases' arrays; every
// step is checked, so an array that does not cover what the phase before
// it produced is a broken invariant, not a stray read.
class OriginsBuilder {
public:
    template <class HopOf>
    static Origins build(const ReductionTrace& trace, std::size_t n, HopOf&& hop_of,
                         const std::vector<NodeId>& outputs) {
        Origins origins;
        origins.n_ = n;
        origins.columns_.resize(2 * n);
        int64_t* node = origins.columns_.data();
        int64_t* member = node + n;
        const auto kept_of = trace.kept.view();
        const auto canonical_of = trace.canonical.view();
        const auto fused_of = trace.fused.node.view();
        const auto member_of = trace.fused.member.view();
        const std::span<const NodeId> interned = trace.interned;
        for (std::size_t i = 0; i < n; ++i) {
            const Index<space::Recorded> recorded = hop_of(i);
            const Index<space::Kept> kept = recorded.is_none() ? Index<space::Kept>::none() : kept_of.at(recorded);
            if (kept.is_none()) {
                node[i] = member[i] = Origins::kNone;
                continue;
            }
            const Index<space::Canonical> canonical = canonical_of.at(kept);
            const Index<space::Fused> fused = fused_of.at(canonical);
            if (fused.is_none()) fail("stage fusion places every canonical node");
            const Index<space::Member> m = member_of.at(canonical);
            node[i] = static_cast<int64_t>(interned.empty() ? fused.value : id_of(interned, fused));
            member[i] = m.is_none() ? Origins::kNone : static_cast<int64_t>(m.value);
        }
        origins.outputs_.reserve(outputs.size());
        for (NodeId o : outputs) {
            check_index(o, n);
            if (node[o] == Origins::kNone) fail("a traced output is needed");
            origins.outputs_.push_back(static_cast<NodeId>(node[o]));
        }
        return origins;
    }

private:
    static NodeId id_of(std::span<const NodeId> interned, Index<space::Fused> fused) {
        check_index(fused.value, interned.size());
        return interned[fused.value];
    }
};

Origins origins_of(const ReductionTrace& trace) {
    return OriginsBuilder::build(
        trace, trace.kept.size(), [](std::size_t i) { return Index<space::Recorded>{static_cast<uint32_t>(i)}; },
        trace.outputs);
}

Origins origins_through(const ReductionTrace& trace, const IdMap<space::Fed, space::Recorded>& hop,
                        const std::vector<NodeId>& outputs) {
    const auto recorded_of = hop.view();
    return OriginsBuilder::build(
        trace, hop.size(), [&](std::size_t i) { return recorded_of[Index<space::Fed>{static_cast<uint32_t>(i)}]; },
        outputs);
}

}  // namespace dagloom
