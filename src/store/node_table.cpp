#include "store/node_table.h"

#include <algorithm>
#include <cstring>

#include "graph/hash.h"
#include "util/internal_error.h"

namespace dagloom {

namespace {

// Pool ids and the index's positions share its 32-bit range.
constexpr uint64_t kMaxPoolEntries = 0xfffffffeULL;

// How many keys ahead of the one being indexed its slot is prefetched.
constexpr std::size_t kPrefetchAhead = 8;

}  // namespace

std::optional<uint32_t> StringPool::find(std::string_view s, uint64_t hash) const {
    auto pos = index_.find_if(hash, [&](uint64_t id) { return at(static_cast<uint32_t>(id)) == s; });
    if (!pos) return std::nullopt;
    return static_cast<uint32_t>(*pos);
}

uint32_t StringPool::add(std::string_view s, uint64_t hash) {
    const uint64_t id = offsets_.size() - 1;
    if (id >= kMaxPoolEntries) fail("dagloom-core string pool is full");
    index_.reserve_one();
    reserve_more(offsets_, 1);
    reserve_more(chars_, s.size());
    chars_.append(s);
    offsets_.push_back(chars_.size());
    index_.insert(id, hash);
    return static_cast<uint32_t>(id);
}

ParamPool::ParamPool() {
    maps_.emplace_back();
    classes_.push_back(0);
}

std::optional<uint32_t> ParamPool::find(const ParamMap& params, uint64_t hash) const {
    if (params.empty()) return 0;
    auto pos = index_.find_if(hash, [&](uint64_t id) { return same_bits(maps_[id], params); });
    if (!pos) return std::nullopt;
    return static_cast<uint32_t>(*pos);
}

std::optional<uint32_t> ParamPool::find_class(const ParamMap& params, uint64_t hash) const {
    if (params.empty()) return 0;
    // Any entry of the class names it.
    auto pos = index_.find_if(hash, [&](uint64_t id) { return maps_[id] == params; });
    if (!pos) return std::nullopt;
    return classes_[*pos];
}

uint32_t ParamPool::add(ParamMap&& params, uint64_t hash) {
    const uint64_t id = maps_.size();
    if (id >= kMaxPoolEntries) fail("dagloom-core parameter pool is full");
    const uint32_t cls = find_class(params, hash).value_or(static_cast<uint32_t>(id));
    index_.reserve_one();
    reserve_more(maps_, 1);
    reserve_more(classes_, 1);
    maps_.push_back(std::move(params));
    classes_.push_back(cls);
    index_.insert(id, hash);
    return static_cast<uint32_t>(id);
}

namespace {

std::string_view pooled_text(const void* pool, uint32_t id) { return static_cast<const StringPool*>(pool)->at(id); }

}  // namespace

NodeTable::NodeTable() : seed_(random_hash_seed()) {
    input_offsets_.push_back(0);
    stage_members_.push_back(0);
    member_ref_start_.push_back(0);
}

NodeTable::Probe NodeTable::probe(const NodeView& parts) const {
    Probe p{parts};
    if (parts.kind == NodeKind::External) {
        if (parts.full == nullptr) fail("an external probed without its key");
        p.hash = hash_key(*parts.full, seed_);
        return p;
    }
    if (parts.kind == NodeKind::Stage) {
        const StageMembers members = parts.members();
        p.hash = stage_hash(parts.inputs, members, [&](std::size_t k) { return name_hash(members.op(k)); });
        p.segment = segment_of(parts.inputs);
        return p;
    }
    return probe(parts, name_hash(parts.name), params_hash(*parts.params));
}

template <class OpHash>
uint64_t NodeTable::stage_hash(std::span<const NodeId> inputs, const StageMembers& members, OpHash&& op_hash) const {
    Hasher h(seed_);
    h.add(static_cast<uint64_t>(NodeKind::Stage));
    h.add(inputs.size());
    for (NodeId id : inputs) h.add(id);
    h.add(members.size());
    for (std::size_t k = 0; k < members.size(); ++k) {
        h.add(op_hash(k));
        const StageRefs refs = members.inputs(k);
        h.add(refs.size());
        for (const StageRef r : refs) h.add((static_cast<uint64_t>(r.tag) << 63) ^ r.index);
    }
    return h.finish();
}

std::size_t NodeTable::segment_of(std::span<const NodeId> inputs) {
    if (inputs.empty()) return 0;
    return 1 + static_cast<std::size_t>(*std::max_element(inputs.begin(), inputs.end()) >> kSegmentBits);
}

StageMembers NodeTable::stage_members(uint32_t stage) const {
    const uint64_t b = stage_members_[stage], e = stage_members_[stage + 1];
    return StageMembers(&names_, &pooled_text, std::span<const uint32_t>(member_ops_.data() + b, e - b),
                        member_ref_start_.data() + b, member_refs_.data());
}

uint64_t NodeTable::append_stage_unchecked(const PackedStage& stage) {
    if (stage.ref_start.size() != stage.ops.size() + 1 || stage.op_hashes.size() != stage.ops.size())
        fail("a packed stage with mismatched member columns");
    const StageMembers members(&names_, &pooled_text, stage.ops, stage.ref_start.data(), stage.refs.data());
    Probe p{NodeView{NodeKind::Stage, {}, &params_.at(0), stage.inputs, nullptr, members}};
    p.hash = stage_hash(stage.inputs, members, [&](std::size_t k) { return stage.op_hashes[k]; });
    p.segment = segment_of(stage.inputs);
    return append_pending(p, PoolIds{}, nullptr);
}

uint64_t NodeTable::name_hash(std::string_view name) const {
    Hasher h(seed_);
    h.add_bytes(name);
    return h.finish();
}

uint64_t NodeTable::params_hash(const ParamMap& params) const {
    return params.empty() ? 0 : hash_params(params, seed_);
}

NodeTable::Probe NodeTable::probe(const NodeView& parts, uint64_t name_hash, uint64_t params_hash) const {
    if (carries_extra(parts.kind)) fail("an external or stage probed as parts");
    Probe p{parts};
    p.name_hash = name_hash;
    p.params_hash = params_hash;
    Hasher h(seed_);
    h.add(static_cast<uint64_t>(parts.kind));
    h.add(p.name_hash);
    h.add(p.params_hash);
    h.add(parts.inputs.size());
    for (NodeId id : parts.inputs) h.add(id);
    p.hash = h.finish();
    p.segment = segment_of(parts.inputs);
    return p;
}

void NodeTable::reserve(std::size_t count) {
    // The index's segments grow one by one as keys land in them.
    records_.reserve(records_.size() + count);
    input_offsets_.reserve(input_offsets_.size() + count);
}

void NodeTable::reserve_unchecked(std::size_t count, std::size_t stages, std::size_t members, std::size_t refs) {
    reserve(count);
    stage_members_.reserve(stage_members_.size() + stages);
    member_ops_.reserve(member_ops_.size() + members);
    member_ref_start_.reserve(member_ref_start_.size() + members);
    member_refs_.reserve(member_refs_.size() + refs);
    pending_.reserve(pending_.size() + count);
}

KeyIndex& NodeTable::segment(std::size_t s) {
    const std::size_t before = segment_count_.get();
    if (s < before) return segments_[s];
    // Inputs name earlier positions, so segments come at most one ahead of
    // the table's end and this grows one at a time.
    if (s > 1 + (records_.size() >> kSegmentBits)) fail("a node table key reads past the table's end");
    reserve_more(segment_pending_, s + 1 - before);
    if (s >= segment_capacity_) {
        const std::size_t capacity = std::max(s + 1, 2 * segment_capacity_);
        auto moved = std::make_unique<KeyIndex[]>(capacity);
        for (std::size_t k = 0; k < before; ++k) moved[k] = std::move(segments_[k]);
        segments_ = std::move(moved);
        segment_capacity_ = capacity;
    }
    // A new segment most likely fills up as the one before it did: it
    // starts that large rather than growing there one rehash at a time.
    if (before >= 2) segments_[s].reserve(segments_[before - 1].size() + segment_pending_[before - 1]);
    segment_pending_.resize(s + 1, 0);
    segment_count_.publish(s + 1);
    return segments_[s];
}

bool NodeTable::segment_ready_in_place(std::size_t s) const {
    const std::size_t count = segment_count_.get();
    if (s < count) return segments_[s].has_room_for_one();
    // A new one: made in spare room, and sized from the one before (the
    // first two start empty and grow on their first key).
    return s == count && s < segment_capacity_ && count >= 2 && segment_pending_.capacity() > s;
}

NodeView NodeTable::view(std::size_t pos) const {
    const Record& r = records_[pos];
    if (r.kind == NodeKind::External) return view_of(whole_[r.name]);
    const std::span<const NodeId> inputs(inputs_.data() + input_offsets_[pos],
                                         input_offsets_[pos + 1] - input_offsets_[pos]);
    if (r.kind == NodeKind::Stage) return NodeView{r.kind, {}, &params_.at(0), inputs, nullptr, stage_members(r.name)};
    return NodeView{r.kind, names_.at(r.name), &params_.at(r.params), inputs, nullptr, {}};
}

NodeTable::PoolIds NodeTable::pool_ids(const Probe& probe) const {
    PoolIds ids{names_.find(probe.parts.name, probe.name_hash), params_.find(*probe.parts.params, probe.params_hash), {}};
    ids.params_class =
        ids.params ? params_.class_of(*ids.params) : params_.find_class(*probe.parts.params, probe.params_hash);
    return ids;
}

bool NodeTable::same_inputs(std::size_t pos, std::span<const NodeId> inputs) const {
    const uint64_t begin = input_offsets_[pos];
    if (input_offsets_[pos + 1] - begin != inputs.size()) return false;
    return inputs.empty() || std::memcmp(inputs_.data() + begin, inputs.data(), inputs.size() * sizeof(NodeId)) == 0;
}

NodeTable::Interned NodeTable::intern(const Probe& probe, NodeKey* whole) {
    const PoolIds ids = carries_extra(probe.parts.kind) ? PoolIds{} : pool_ids(probe);
    if (auto pos = find(probe, ids)) return {*pos, false};
    return {append(probe, ids, whole), true};
}

uint64_t NodeTable::add_absent(const Probe& probe, PoolIds& ids) {
    const uint64_t pos = append_unchecked(probe, ids);
    ids = PoolIds{records_[pos].name, records_[pos].params, params_.class_of(records_[pos].params)};
    return pos;
}

void NodeTable::index_pending() {
    index_pending_unless([](uint64_t, uint64_t) { return false; });
}

uint64_t NodeTable::append_unchecked(const Probe& probe, NodeKey* whole) {
    return append_pending(probe, carries_extra(probe.parts.kind) ? PoolIds{} : pool_ids(probe), whole);
}

uint64_t NodeTable::append_unchecked(const Probe& probe, const PoolIds& ids) {
    if (carries_extra(probe.parts.kind)) fail("an external or stage interned as parts");
    return append_pending(probe, ids, nullptr);
}

uint64_t NodeTable::append_pending(const Probe& probe, const PoolIds& ids, NodeKey* whole) {
    if (records_.size() >= kMaxPoolEntries) fail("dagloom-core key index is full: more than 4294967294 keys");
    // The segment makes room now, so that indexing the pending keys never allocates.
    const std::size_t s = probe.segment;
    KeyIndex& index = segment(s);
    index.reserve(index.size() + segment_pending_[s] + 1);
    reserve_more(pending_, 1);
    const uint64_t pos = append(probe, ids, whole, false);
    pending_.push_back(Pending{probe.hash, s});
    ++segment_pending_[s];
    return pos;
}

uint32_t NodeTable::name_id(std::string_view name, uint64_t hash) {
    if (auto id = names_.find(name, hash)) return *id;
    return names_.add(name, hash);
}

uint32_t NodeTable::params_id(ParamMap&& params, uint64_t hash) {
    if (auto id = params_.find(params, hash)) return *id;
    return params_.add(std::move(params), hash);
}

bool NodeTable::index_pending_distinct() {
    return index_pending_unless([&](uint64_t pos, uint64_t other) { return same_record(pos, other); });
}

template <class Equal>
bool NodeTable::index_pending_unless(Equal&& equal) {
    const uint64_t first = records_.size() - pending_.size();
    for (std::size_t k = 0; k < pending_.size(); ++k) {
        if (k + kPrefetchAhead < pending_.size()) {
            const Pending& ahead = pending_[k + kPrefetchAhead];
            segments_[ahead.segment].prefetch(ahead.hash);
        }
        const uint64_t pos = first + k;
        const Pending& p = pending_[k];
        if (!segments_[p.segment].insert_unless(pos, p.hash, [&](uint64_t other) { return equal(pos, other); }))
            return false;
    }
    for (const Pending& p : pending_) segment_pending_[p.segment] = 0;
    pending_.clear();
    return true;
}

bool NodeTable::same_record(std::size_t a, std::size_t b) const {
    const Record& x = records_[a];
    const Record& y = records_[b];
    if (x.kind != y.kind) return false;
    if (x.kind == NodeKind::External) return whole_[x.name] == whole_[y.name];
    const std::size_t begin = input_offsets_[b];
    if (!same_inputs(a, std::span<const NodeId>(inputs_.data() + begin, input_offsets_[b + 1] - begin))) return false;
    if (x.kind == NodeKind::Stage) return stage_members(x.name) == stage_members(y.name);
    // The name pool holds each name once; lists equal as keys share a class.
    return x.name == y.name && params_.class_of(x.params) == params_.class_of(y.params);
}

std::vector<NodeKey> NodeTable::keys_from(std::size_t start) const {
    // One count for the whole copy: a writer may add keys meanwhile.
    std::vector<NodeKey> keys;
    copy_keys(start, size(), keys);
    return keys;
}

void NodeTable::copy_keys(std::size_t start, std::size_t end, std::vector<NodeKey>& into) const {
    if (start >= end) return;
    into.reserve(into.size() + (end - start));
    for (std::size_t i = start; i < end; ++i) into.push_back(key_of(view(i)));
}

std::optional<uint64_t> NodeTable::find(const Probe& probe, const PoolIds& ids) const {
    if (!pending_.empty()) fail("node table searched with keys left out of its index");
    const NodeKind kind = probe.parts.kind;
    const KeyIndex* index = find_segment(probe.segment);
    if (index == nullptr) return std::nullopt;
    if (kind == NodeKind::External) {
        return index->find_if(probe.hash, [&](uint64_t pos) {
            const Record& r = records_[pos];
            return r.kind == kind && whole_[r.name] == *probe.parts.full;
        });
    }
    if (kind == NodeKind::Stage) {
        const StageMembers members = probe.parts.members();
        return index->find_if(probe.hash, [&](uint64_t pos) {
            const Record& r = records_[pos];
            return r.kind == kind && same_inputs(pos, probe.parts.inputs) && stage_members(r.name) == members;
        });
    }
    // A key whose name or parameters the pools have never seen is new.
    if (!ids.name || !ids.params_class) return std::nullopt;
    return index->find_if(probe.hash, [&](uint64_t pos) {
        const Record& r = records_[pos];
        return r.kind == kind && r.name == *ids.name && params_.class_of(r.params) == *ids.params_class &&
               same_inputs(pos, probe.parts.inputs);
    });
}

uint64_t NodeTable::append(const Probe& probe, const PoolIds& ids, NodeKey* whole, bool indexed) {
    const uint64_t pos = records_.size();
    const NodeView& parts = probe.parts;
    KeyIndex* index = nullptr;
    if (indexed) {
        if (pos >= kMaxPoolEntries) fail("dagloom-core key index is full: more than 4294967294 keys");
        index = &segment(probe.segment);
        index->reserve_one();
    }
    reserve_more(records_, 1);
    reserve_more(input_offsets_, 1);
    Record r{0, 0, parts.kind};
    if (parts.kind == NodeKind::External) {
        reserve_more(whole_, 1);
        r.name = static_cast<uint32_t>(whole_.size());
        // Moved when the caller hands the key over; copied only from a probe's view.
        if (whole != nullptr) {
            whole_.push_back(std::move(*whole));
        } else {
            whole_.push_back(*parts.full);
        }
    } else if (parts.kind == NodeKind::Stage) {
        append_stage(parts);
        r.name = static_cast<uint32_t>(stage_members_.size() - 2);
    } else {
        reserve_more(inputs_, parts.inputs.size());
        // A pool entry added here and then left unused (should the next
        // one fail to allocate) is invisible: pools are only looked into.
        r.name = ids.name ? *ids.name : names_.add(parts.name, probe.name_hash);
        r.params = ids.params ? *ids.params : params_.add(ParamMap(*parts.params), probe.params_hash);
        inputs_.append(parts.inputs.begin(), parts.inputs.end());
    }
    records_.push_back(r);
    input_offsets_.push_back(inputs_.size());
    // Published before it is indexed: a search that finds the key then also
    // sees a count that includes it.
    published_.publish(records_.size());
    if (index != nullptr) index->insert(pos, probe.hash);
    return pos;
}

uint64_t NodeTable::add(const Probe& probe, const PoolIds& ids, NodeKey* whole) {
    if (!pending_.empty()) fail("node table added to with keys left out of its index");
    return append(probe, ids, whole);
}

bool NodeTable::has_room(const Probe& probe, const PoolIds& ids) const {
    const NodeView& parts = probe.parts;
    // A stage pools its members' texts and fills four columns: rare enough
    // in a shared store to always count as growing.
    if (parts.kind == NodeKind::Stage) return false;
    if (!segment_ready_in_place(probe.segment)) return false;
    if (records_.capacity() == records_.size() || input_offsets_.capacity() == input_offsets_.size()) return false;
    if (parts.kind == NodeKind::External) return whole_.capacity() > whole_.size();
    if (inputs_.capacity() - inputs_.size() < parts.inputs.size()) return false;
    if (!ids.name && !names_.has_room(parts.name.size())) return false;
    if (!ids.params && !params_.has_room()) return false;
    return true;
}

void NodeTable::truncate(std::size_t count) noexcept {
    index_pending();
    if (count >= records_.size()) return;
    for (std::size_t s = 0; s < segment_count_.get(); ++s) segments_[s].erase_from(count);
    // Externals and stages own entries of their side columns in position
    // order: the first dropped one says where those columns end now.
    std::size_t wholes = whole_.size(), stages = stage_members_.size() - 1;
    for (std::size_t pos = count; pos < records_.size(); ++pos) {
        const Record& r = records_[pos];
        if (r.kind == NodeKind::External) wholes = std::min<std::size_t>(wholes, r.name);
        if (r.kind == NodeKind::Stage) stages = std::min<std::size_t>(stages, r.name);
    }
    whole_.erase(whole_.begin() + static_cast<std::ptrdiff_t>(wholes), whole_.end());
    stage_members_.resize_down(stages + 1);
    const uint64_t members = stage_members_[stages];
    member_ops_.resize_down(members);
    member_ref_start_.resize_down(members + 1);
    member_refs_.resize_down(member_ref_start_[members]);
    records_.resize_down(count);
    input_offsets_.resize_down(count + 1);
    inputs_.resize_down(input_offsets_[count]);
    published_.publish(count);
}

// Stores a stage's inputs and members; the stage's index is the last in
// stage_members_. Everything is reserved (and every text pooled) before
// anything is stored.
void NodeTable::append_stage(const NodeView& parts) {
    const StageMembers members = parts.members();
    std::size_t refs = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        const StageRefs in = members.inputs(k);
        refs += in.size();
        for (const StageRef r : in)
            if (r.index > StageRefs::kMaxPackedIndex) fail("a stage reference index past 2^63 - 1");
    }
    const uint32_t* pooled = members.op_ids_of(&names_);
    if (pooled != nullptr && pooled >= member_ops_.data() && pooled <= member_ops_.data() + member_ops_.size()) {
        // A stage read from this table's own columns, which may move as
        // they grow below: copied out first.
        const NodeKey own = key_of(parts);
        append_stage(view_of(own));
        return;
    }
    std::vector<uint32_t> ops;
    if (pooled == nullptr) {
        // A text pooled here and then left unused (should a later one fail
        // to allocate) is invisible: pools are only looked into.
        ops.reserve(members.size());
        for (std::size_t k = 0; k < members.size(); ++k) ops.push_back(name_id(members.op(k), name_hash(members.op(k))));
        pooled = ops.data();
    }
    reserve_more(inputs_, parts.inputs.size());
    reserve_more(stage_members_, 1);
    reserve_more(member_ops_, members.size());
    reserve_more(member_ref_start_, members.size());
    reserve_more(member_refs_, refs);
    inputs_.append(parts.inputs.begin(), parts.inputs.end());
    for (std::size_t k = 0; k < members.size(); ++k) {
        member_ops_.push_back(pooled[k]);
        for (const StageRef r : members.inputs(k)) member_refs_.push_back(StageRefs::pack(r));
        member_ref_start_.push_back(member_refs_.size());
    }
    stage_members_.push_back(member_ops_.size());
}

uint64_t NodeTable::append_whole_unchecked(const Probe& probe, NodeKey&& whole) {
    if (probe.parts.full != &whole) fail("a whole key appended with another key's probe");
    return append_pending(probe, PoolIds{}, &whole);
}

}  // namespace dagloom
