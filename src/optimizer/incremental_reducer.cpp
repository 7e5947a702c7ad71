#include "optimizer/incremental_reducer.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "graph/hash.h"
#include "graph/node_view.h"
#include "optimizer/liveness.h"
#include "optimizer/rule_set.h"
#include "store/node_table.h"
#include "util/big_vector.h"

namespace dagloom {

namespace {

// What the rules need to know about a name or a parameter list: its hash
// under the canonical table's seed, which identity operations it could
// belong to (identity_name_mask, identity_params_mask), and where the
// table's pool holds it (looked up at first use, then kept).
struct NameFacts {
    uint64_t hash = 0;
    uint8_t identity = 0;
    bool commutative = false;
    bool known = false;  // the fields above are filled in
    bool pooled = false;  // pool_id has been looked up
    std::optional<uint32_t> pool_id;
};

struct ParamsFacts {
    uint64_t hash = 0;
    uint8_t identity = 0;
    bool known = false;
    bool pooled = false;
    std::optional<uint32_t> pool_id;
    std::optional<uint32_t> pool_class;
};

NameFacts name_facts(std::string_view name, const NodeTable& table) {
    NameFacts f;
    f.hash = table.name_hash(name);
    f.identity = identity_name_mask(name);
    f.commutative = is_commutative_op(name);
    f.known = true;
    return f;
}

ParamsFacts params_facts(const ParamMap& params, const NodeTable& table) {
    ParamsFacts f;
    f.hash = table.params_hash(params);
    f.identity = identity_params_mask(params);
    f.known = true;
    return f;
}

// Where a step reads its nodes. A vector of keys says nothing about
// repeats, so facts are worked out afresh for every node; a NodeDelta numbers
// its distinct names and parameter lists, so facts are kept per number for
// the length of the step.
class KeySource {
public:
    explicit KeySource(std::vector<NodeKey>& keys) : keys_(keys) {}
    std::size_t size() const { return keys_.size(); }
    NodeView view(std::size_t i) const { return view_of(keys_[i]); }
    NameFacts& name(std::size_t i, const NodeTable& table) { return name_ = name_facts(keys_[i].name(), table); }
    ParamsFacts& params(std::size_t i, const NodeTable& table) {
        return params_ = params_facts(keys_[i].params(), table);
    }
    NodeKey take_whole(std::size_t i) { return std::move(keys_[i]); }

private:
    std::vector<NodeKey>& keys_;
    NameFacts name_;
    ParamsFacts params_;
};

class DeltaSource {
public:
    explicit DeltaSource(const NodeDelta& delta)
        : delta_(delta), names_(delta.name_count()), params_(delta.params_count()) {}
    std::size_t size() const { return delta_.size(); }
    NodeView view(std::size_t i) const { return delta_.view(i); }
    NameFacts& name(std::size_t i, const NodeTable& table) {
        const uint32_t id = delta_.name_id(i);
        NameFacts& f = names_[id];
        if (!f.known) f = name_facts(delta_.name(id), table);
        return f;
    }
    ParamsFacts& params(std::size_t i, const NodeTable& table) {
        const uint32_t id = delta_.params_id(i);
        ParamsFacts& f = params_[id];
        if (!f.known) f = params_facts(delta_.params(id), table);
        return f;
    }
    NodeKey take_whole(std::size_t i) const { return key_of(delta_.view(i)); }

private:
    const NodeDelta& delta_;
    std::vector<NameFacts> names_;
    std::vector<ParamsFacts> params_;
};

// What the step remembers about how canonical nodes are used, so that it
// can skip looking in the table (a random access into a large index) for
// most keys.
//
// Every canonical node carries eight mark bits. Adding a key sets, on each of
// its inputs, the one bit its mark picks; a key whose bit is missing on any
// input is therefore not in the table. The mark ignores input order, so the
// same goes for the key's mirror. In a graph built in order most new nodes
// read a node that nothing else reads yet, and are added without a lookup.
//
// Every node also remembers its latest user, where a key added a moment ago
// (a mirror, or a node that became equal to another) is found directly.
class Users {
public:
    // Positions fit in 32 bits: the table holds fewer than 2^32 - 1 keys.
    static constexpr uint32_t kNone = 0xffffffffu;

    static uint8_t mark_of(NodeKind kind, uint64_t name_hash, uint64_t params_hash, std::span<const NodeId> inputs) {
        uint64_t sum = inputs.size();
        for (NodeId x : inputs) sum += x * 0x9e3779b97f4a7c15ULL;
        return static_cast<uint8_t>(1u << (mix64(name_hash ^ params_hash ^ static_cast<uint64_t>(kind), sum) >> 61));
    }

    bool may_hold(std::span<const NodeId> inputs, uint8_t mark) const {
        for (NodeId x : inputs)
            if ((marks_[x] & mark) == 0) return false;
        return true;
    }
    uint32_t latest(NodeId x) const { return latest_[x]; }

    // Forgets the nodes from `count` on. Marks they set on earlier nodes
    // stay: a mark only rules keys out, so an extra one costs a lookup.
    void truncate(std::size_t count) noexcept {
        marks_.resize_down(count);
        latest_.resize_down(count);
        for (uint32_t& p : latest_)
            if (p != kNone && p >= count) p = kNone;
    }

    // Canonical node `pos` (the next one) was added with these inputs.
    void add(uint64_t pos, std::span<const NodeId> inputs, uint8_t mark) {
        marks_.push_back(0);
        latest_.push_back(kNone);
        for (NodeId x : inputs) {
            marks_[x] |= mark;
            latest_[x] = static_cast<uint32_t>(pos);
        }
    }

private:
    BigVector<uint8_t, Pages::Small> marks_;
    BigVector<uint32_t, Pages::Small> latest_;
};

bool same_parts(const NodeView& a, const NodeView& b) {
    return a.kind == b.kind && !carries_extra(a.kind) && a.name == b.name && *a.params == *b.params &&
           std::equal(a.inputs.begin(), a.inputs.end(), b.inputs.begin(), b.inputs.end());
}

}  // namespace

// The canonical form is hash-consed in the same packed table a store uses,
// so a step allocates nothing per node and the form stays small.
struct IncrementalReducer::State {
    NodeTable canonical;
    // Store id -> canonical position. Positions fit in 32 bits (the table
    // holds fewer than 2^32 - 1 keys), which halves the one array that grows
    // with every store node rather than with the canonical form.
    BigVector<uint32_t, Pages::Small> remap;
    uint64_t total_work = 0;
    Users users;               // one entry per canonical node
    std::vector<NodeId> many;  // remapped inputs of a node with more than a few

    template <class Source>
    Result<uint64_t, BadNodeId> step(Source& source) {
        // New keys are indexed in bursts (see NodeTable::add_absent); the
        // last burst goes in however the step ends.
        struct IndexAtExit {
            NodeTable& table;
            ~IndexAtExit() { table.index_pending(); }
        } index_at_exit{canonical};
        const uint64_t count = source.size();
        reserve_more(remap, count);
        NodeId few[4];
        for (std::size_t i = 0; i < count; ++i) {
            const NodeView node = source.view(i);
            const uint64_t watermark = remap.size();
            for (NodeId x : node.inputs)
                if (x >= watermark) return make_err(BadNodeId{x});
            if (carries_extra(node.kind)) {
                remap.push_back(position(canonicalize_whole(source.take_whole(i))));
                continue;
            }
            std::span<NodeId> inputs;
            if (node.inputs.size() <= std::size(few)) {
                inputs = std::span<NodeId>(few, node.inputs.size());
            } else {
                many.resize(node.inputs.size());
                inputs = many;
            }
            for (std::size_t k = 0; k < inputs.size(); ++k) inputs[k] = remap[node.inputs[k]];
            const NodeView parts{node.kind, node.name, node.params, inputs, nullptr, {}};
            remap.push_back(position(canonicalize(parts, source.name(i, canonical), source.params(i, canonical))));
        }
        total_work += count;
        return count;
    }

    static uint32_t position(uint64_t pos) { return static_cast<uint32_t>(pos); }

    void roll_back(const Checkpoint& mark) noexcept {
        canonical.truncate(mark.canonical);
        users.truncate(mark.canonical);
        remap.resize_down(mark.watermark);
        total_work = mark.total_work;
    }

    uint64_t canonicalize_whole(NodeKey key) {
        key.map_inputs([&](NodeId x) { return remap[x]; });
        canonical.index_pending();
        const NodeTable::Interned in = canonical.intern(canonical.probe(view_of(key)), &key);
        // Marks only ever rule out keys held as parts, so a whole key sets none.
        if (in.added) users.add(in.pos, {}, 0);
        return in.pos;
    }

    // `node` has its inputs remapped already.
    uint64_t canonicalize(const NodeView& node, NameFacts& name, ParamsFacts& params) {
        const std::span<const NodeId> in = node.inputs;
        // Only a one-input identity op means "its operand"; with zero or
        // several inputs it is an ordinary op, as in the rewrite rules.
        if (node.kind == NodeKind::Op && in.size() == rule_arity(RuleKind::Identity) &&
            (name.identity & params.identity) != 0)
            return in[0];
        const uint8_t mark = Users::mark_of(node.kind, name.hash, params.hash, in);
        if (!users.may_hold(in, mark)) return add(node, name, params, mark);
        // With equal inputs the mirror is the key itself, so it is left out.
        const bool commutative = node.kind == NodeKind::Op && in.size() == rule_arity(RuleKind::Commute) &&
                                 name.commutative && node.params->empty() && in[0] != in[1];
        const NodeId swapped[2] = {commutative ? in[1] : 0, commutative ? in[0] : 0};
        NodeView mirror = node;
        mirror.inputs = std::span<const NodeId>(swapped, commutative ? 2 : 0);
        if (auto seen = added_lately(node, commutative ? &mirror : nullptr)) return *seen;
        // Hashing waits until here: most keys are settled without a lookup.
        const NodeTable::Probe probe = canonical.probe(node, name.hash, params.hash);
        NodeTable::PoolIds ids = pool_ids(probe, name, params);
        canonical.index_pending();
        if (auto found = canonical.find(probe, ids)) return *found;
        if (commutative) {
            if (auto found = canonical.find(canonical.probe(mirror, name.hash, params.hash), ids)) return *found;
        }
        return add(probe, ids, name, params, mark);
    }

    // The key, or its mirror, if it is the latest user of one of its inputs.
    // Of a commutative key and its mirror at most one is ever stored, so
    // whichever turns up first is the answer.
    std::optional<uint64_t> added_lately(const NodeView& node, const NodeView* mirror) const {
        for (NodeId x : node.inputs) {
            const uint32_t p = users.latest(x);
            if (p == Users::kNone) continue;
            const NodeView seen = canonical.view(p);
            if (same_parts(seen, node) || (mirror != nullptr && same_parts(seen, *mirror))) return p;
        }
        return std::nullopt;
    }

    // Absent, in either order: stored with its inputs as given.
    uint64_t add(const NodeView& node, NameFacts& name, ParamsFacts& params, uint8_t mark) {
        const NodeTable::Probe probe = canonical.probe(node, name.hash, params.hash);
        NodeTable::PoolIds ids = pool_ids(probe, name, params);
        return add(probe, ids, name, params, mark);
    }

    uint64_t add(const NodeTable::Probe& probe, NodeTable::PoolIds& ids, NameFacts& name, ParamsFacts& params,
                 uint8_t mark) {
        const uint64_t pos = canonical.add_absent(probe, ids);
        name.pool_id = ids.name;
        params.pool_id = ids.params;
        params.pool_class = ids.params_class;
        users.add(pos, probe.parts.inputs, mark);
        return pos;
    }

    NodeTable::PoolIds pool_ids(const NodeTable::Probe& probe, NameFacts& name, ParamsFacts& params) const {
        if (!name.pooled || !params.pooled) {
            const NodeTable::PoolIds ids = canonical.pool_ids(probe);
            name.pool_id = ids.name;
            params.pool_id = ids.params;
            params.pool_class = ids.params_class;
            name.pooled = params.pooled = true;
        }
        return NodeTable::PoolIds{name.pool_id, params.pool_id, params.pool_class};
    }
};

IncrementalReducer::IncrementalReducer() : state_(std::make_unique<State>()) {}
IncrementalReducer::~IncrementalReducer() = default;
IncrementalReducer::IncrementalReducer(IncrementalReducer&&) noexcept = default;
IncrementalReducer& IncrementalReducer::operator=(IncrementalReducer&&) noexcept = default;

// Memory runs out mid-step: the nodes it added go again, so the reducer is
// as it was before the step.
template <class Step>
static auto rolled_back_on_bad_alloc(IncrementalReducer& reducer, Step&& step) {
    const IncrementalReducer::Checkpoint mark = reducer.checkpoint();
    try {
        return step();
    } catch (const std::bad_alloc&) {
        reducer.roll_back(mark);
        throw;
    }
}

Result<uint64_t, BadNodeId> IncrementalReducer::step(std::vector<NodeKey> delta) {
    return rolled_back_on_bad_alloc(*this, [&] {
        KeySource source(delta);
        return state_->step(source);
    });
}

Result<uint64_t, BadNodeId> IncrementalReducer::step(const NodeDelta& delta) {
    return rolled_back_on_bad_alloc(*this, [&] {
        DeltaSource source(delta);
        return state_->step(source);
    });
}

IncrementalReducer::Checkpoint IncrementalReducer::checkpoint() const {
    return Checkpoint{state_->canonical.size(), state_->remap.size(), state_->total_work};
}

void IncrementalReducer::roll_back(const Checkpoint& mark) noexcept { state_->roll_back(mark); }

namespace {

// Store ids mapped to their canonical positions; the first id past the
// watermark fails.
template <class Remap>
Result<std::vector<NodeId>, BadNodeId> canonical_outputs(const Remap& remap, const std::vector<NodeId>& outputs) {
    std::vector<NodeId> mapped;
    mapped.reserve(outputs.size());
    for (NodeId o : outputs) {
        if (o >= remap.size()) return make_err(BadNodeId{o});
        mapped.push_back(remap[o]);
    }
    return mapped;
}

}  // namespace

Result<Reduced, BadNodeId> IncrementalReducer::finalize(const std::vector<NodeId>& outputs, const RewriteEngine& engine,
                                                        bool maximal_fusion) const {
    auto mapped = canonical_outputs(state_->remap, outputs);
    if (!mapped.ok()) return make_err(mapped.error());
    return reduce_with_mode(state_->canonical, *mapped, engine, maximal_fusion);
}

Result<ReducedStore, BadNodeId> IncrementalReducer::finalize_store(const std::vector<NodeId>& outputs,
                                                                   const RewriteEngine& engine,
                                                                   bool maximal_fusion) const {
    auto mapped = canonical_outputs(state_->remap, outputs);
    if (!mapped.ok()) return make_err(mapped.error());
    // Stepping merges each commutative key into its mirror when one is held.
    return reduce_table(state_->canonical, *mapped, engine, maximal_fusion, /*mirrors_merged=*/true);
}

Result<TracedStore, BadNodeId> IncrementalReducer::finalize_traced(const GraphStore& fed,
                                                                   const std::vector<NodeId>& outputs,
                                                                   const RewriteEngine& engine,
                                                                   bool maximal_fusion) const {
    auto mapped = canonical_outputs(state_->remap, outputs);
    if (!mapped.ok()) return make_err(mapped.error());
    // Nodes of the fed store never change once added, so its first nodes,
    // read now, are the ones consumed (a store fed in place of it may hold
    // fewer: those beyond it are needed by nothing).
    const std::size_t consumed = state_->remap.size();
    auto live = fed.with_locked([&](const GraphStore::View& view) -> Result<ScratchVector<LiveIndex>, BadNodeId> {
        const std::size_t count = std::min(consumed, view.nodes.size());
        for (NodeId o : outputs)
            if (o >= count) return make_err(BadNodeId{o});
        std::size_t kept = 0, edges = 0;
        return live_indices(
            count, [&](std::size_t id) { return view.nodes.inputs(id); }, outputs, kept, edges);
    });
    if (!live.ok()) return make_err(live.error());
    // Each needed node stands for its canonical position: the liveness
    // array becomes the hop into the canonical form's trace.
    ScratchVector<LiveIndex>& hop = *live;
    for (std::size_t i = 0; i < hop.size(); ++i)
        if (hop[i] != kDead) hop[i] = state_->remap[i];
    hop.resize(consumed, kDead);
    ReductionTrace trace;
    // Stepping merges each commutative key into its mirror when one is held.
    ReducedStore reduced = reduce_table(state_->canonical, *mapped, engine, maximal_fusion, /*mirrors_merged=*/true,
                                        &trace);
    Origins origins = origins_through(trace, IdMap<space::Fed, space::Recorded>(std::move(hop)), outputs);
    return TracedStore{std::move(reduced), std::move(origins)};
}

uint64_t IncrementalReducer::watermark() const { return state_->remap.size(); }
uint64_t IncrementalReducer::total_work() const { return state_->total_work; }
uint64_t IncrementalReducer::canonical_count() const { return state_->canonical.size(); }

}  // namespace dagloom
