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

template <class Vector>
void reserve_for(Vector& v, std::size_t extra) {
    if (v.capacity() - v.size() >= extra) return;
    v.reserve(std::max(v.size() + extra, 2 * v.capacity()));
}

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
    reserve_for(offsets_, 1);
    if (chars_.capacity() - chars_.size() < s.size()) chars_.reserve(std::max(chars_.size() + s.size(), 2 * chars_.capacity()));
    chars_.append(s);
    offsets_.push_back(chars_.size());
    index_.insert(id, hash);
    return static_cast<uint32_t>(id);
}

ParamPool::ParamPool() { maps_.emplace_back(); }

std::optional<uint32_t> ParamPool::find(const ParamMap& params, uint64_t hash) const {
    if (params.empty()) return 0;
    auto pos = index_.find_if(hash, [&](uint64_t id) { return maps_[id] == params; });
    if (!pos) return std::nullopt;
    return static_cast<uint32_t>(*pos);
}

uint32_t ParamPool::add(const ParamMap& params, uint64_t hash) { return add(ParamMap(params), hash); }

uint32_t ParamPool::add(ParamMap&& params, uint64_t hash) {
    const uint64_t id = maps_.size();
    if (id >= kMaxPoolEntries) fail("dagloom-core parameter pool is full");
    index_.reserve_one();
    reserve_for(maps_, 1);
    maps_.push_back(std::move(params));
    index_.insert(id, hash);
    return static_cast<uint32_t>(id);
}

NodeTable::NodeTable() : seed_(random_hash_seed()) { input_offsets_.push_back(0); }

NodeTable::Probe NodeTable::probe(const NodeView& parts) const {
    if (parts.full != nullptr) {
        Probe p{parts};
        p.hash = hash_key(*parts.full, seed_);
        return p;
    }
    return probe(parts, name_hash(parts.name), params_hash(*parts.params));
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
    if (parts.full != nullptr) fail("a whole key probed as parts");
    Probe p{parts};
    p.name_hash = name_hash;
    p.params_hash = params_hash;
    Hasher h(seed_);
    h.add(static_cast<uint64_t>(parts.kind));
    h.add(p.name_hash);
    h.add(p.params_hash);
    h.add(parts.inputs.size());
    NodeId latest = 0;
    for (NodeId id : parts.inputs) {
        h.add(id);
        latest = std::max(latest, id);
    }
    p.hash = h.finish();
    p.segment = parts.inputs.empty() ? 0 : 1 + static_cast<std::size_t>(latest >> kSegmentBits);
    return p;
}

void NodeTable::reserve(std::size_t count) {
    // The index's segments grow one by one as keys land in them.
    records_.reserve(records_.size() + count);
    input_offsets_.reserve(input_offsets_.size() + count);
}

void NodeTable::reserve_unchecked(std::size_t count, std::size_t whole) {
    reserve(count);
    whole_.reserve(whole_.size() + whole);
    pending_.reserve(pending_.size() + count);
}

KeyIndex& NodeTable::segment(std::size_t s) {
    if (s >= segments_.size()) {
        // Inputs name earlier positions, so segments come at most one
        // ahead of the table's end and this grows one at a time.
        if (s > 1 + (records_.size() >> kSegmentBits)) fail("a node table key reads past the table's end");
        const std::size_t before = segments_.size();
        reserve_for(segment_pending_, s + 1 - before);
        reserve_for(segments_, s + 1 - before);
        while (segments_.size() <= s) segments_.emplace_back(seed_);
        segment_pending_.resize(s + 1, 0);
        // A new segment most likely fills up as the one before it did: it
        // starts that large rather than growing there one rehash at a time.
        if (before >= 2) segments_[s].reserve(segments_[before - 1].size() + segment_pending_[before - 1]);
    }
    return segments_[s];
}

NodeView NodeTable::view(std::size_t pos) const {
    const Record& r = records_[pos];
    if (carries_extra(r.kind)) return view_of(whole_[r.name]);
    const std::span<const NodeId> inputs(inputs_.data() + input_offsets_[pos],
                                         input_offsets_[pos + 1] - input_offsets_[pos]);
    return NodeView{r.kind, names_.at(r.name), &params_.at(r.params), inputs, nullptr};
}

NodeTable::PoolIds NodeTable::pool_ids(const Probe& probe) const {
    return PoolIds{names_.find(probe.parts.name, probe.name_hash), params_.find(*probe.parts.params, probe.params_hash)};
}

bool NodeTable::same_inputs(std::size_t pos, std::span<const NodeId> inputs) const {
    const uint64_t begin = input_offsets_[pos];
    if (input_offsets_[pos + 1] - begin != inputs.size()) return false;
    return inputs.empty() || std::memcmp(inputs_.data() + begin, inputs.data(), inputs.size() * sizeof(NodeId)) == 0;
}

NodeTable::Interned NodeTable::intern(const Probe& probe, NodeKey* whole) {
    const PoolIds ids = probe.parts.full != nullptr ? PoolIds{} : pool_ids(probe);
    if (auto pos = find(probe, ids)) return {*pos, false};
    return {append(probe, ids, whole), true};
}

uint64_t NodeTable::add_absent(const Probe& probe, PoolIds& ids) {
    const uint64_t pos = append_unchecked(probe, ids);
    ids = PoolIds{records_[pos].name, records_[pos].params};
    return pos;
}

void NodeTable::index_pending() {
    index_pending_unless([](uint64_t, uint64_t) { return false; });
}

uint64_t NodeTable::append_unchecked(const Probe& probe, NodeKey* whole) {
    return append_pending(probe, probe.parts.full != nullptr ? PoolIds{} : pool_ids(probe), whole);
}

uint64_t NodeTable::append_unchecked(const Probe& probe, const PoolIds& ids) {
    if (probe.parts.full != nullptr) fail("a whole key interned as parts");
    return append_pending(probe, ids, nullptr);
}

uint64_t NodeTable::append_pending(const Probe& probe, const PoolIds& ids, NodeKey* whole) {
    if (records_.size() >= kMaxPoolEntries) fail("dagloom-core key index is full: more than 4294967294 keys");
    // The segment makes room now, so that indexing the pending keys never allocates.
    const std::size_t s = probe.segment;
    KeyIndex& index = segment(s);
    index.reserve(index.size() + segment_pending_[s] + 1);
    reserve_for(pending_, 1);
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
    if (carries_extra(x.kind)) return whole_[x.name] == whole_[y.name];
    // Pools hold each name and list once, so equal ids mean equal parts.
    const std::size_t begin = input_offsets_[b];
    return x.name == y.name && x.params == y.params &&
           same_inputs(a, std::span<const NodeId>(inputs_.data() + begin, input_offsets_[b + 1] - begin));
}

std::optional<uint64_t> NodeTable::find(const Probe& probe) const {
    return find(probe, probe.parts.full != nullptr ? PoolIds{} : pool_ids(probe));
}

std::vector<NodeKey> NodeTable::keys_from(std::size_t start) const {
    std::vector<NodeKey> keys;
    if (start >= size()) return keys;
    keys.reserve(size() - start);
    for (std::size_t i = start; i < size(); ++i) keys.push_back(key_of(view(i)));
    return keys;
}

std::optional<uint64_t> NodeTable::find(const Probe& probe, const PoolIds& ids) const {
    if (!pending_.empty()) fail("node table searched with keys left out of its index");
    const NodeKind kind = probe.parts.kind;
    const KeyIndex* index = find_segment(probe.segment);
    if (index == nullptr) return std::nullopt;
    if (probe.parts.full != nullptr) {
        return index->find_if(probe.hash, [&](uint64_t pos) {
            const Record& r = records_[pos];
            return r.kind == kind && whole_[r.name] == *probe.parts.full;
        });
    }
    // A key whose name or parameters the pools have never seen is new.
    if (!ids.name || !ids.params) return std::nullopt;
    return index->find_if(probe.hash, [&](uint64_t pos) {
        const Record& r = records_[pos];
        return r.kind == kind && r.name == *ids.name && r.params == *ids.params && same_inputs(pos, probe.parts.inputs);
    });
}

uint64_t NodeTable::append(const Probe& probe, const PoolIds& ids, NodeKey* whole, bool indexed) {
    const uint64_t pos = records_.size();
    const NodeView& parts = probe.parts;
    const bool is_whole = parts.full != nullptr;
    KeyIndex* index = nullptr;
    if (indexed) {
        if (pos >= kMaxPoolEntries) fail("dagloom-core key index is full: more than 4294967294 keys");
        index = &segment(probe.segment);
        index->reserve_one();
    }
    reserve_for(records_, 1);
    reserve_for(input_offsets_, 1);
    Record r{0, 0, parts.kind};
    if (is_whole) {
        reserve_for(whole_, 1);
        r.name = static_cast<uint32_t>(whole_.size());
        // Moved when the caller hands the key over; copied only from a probe's view.
        if (whole != nullptr) {
            whole_.push_back(std::move(*whole));
        } else {
            whole_.push_back(*parts.full);
        }
    } else {
        reserve_for(inputs_, parts.inputs.size());
        // A pool entry added here and then left unused (should the next
        // one fail to allocate) is invisible: pools are only looked into.
        r.name = ids.name ? *ids.name : names_.add(parts.name, probe.name_hash);
        r.params = ids.params ? *ids.params : params_.add(*parts.params, probe.params_hash);
        inputs_.append(parts.inputs.begin(), parts.inputs.end());
    }
    records_.push_back(r);
    input_offsets_.push_back(inputs_.size());
    if (index != nullptr) index->insert(pos, probe.hash);
    return pos;
}

uint64_t NodeTable::append_whole_unchecked(const Probe& probe, NodeKey&& whole) {
    if (probe.parts.full != &whole) fail("a whole key appended with another key's probe");
    return append_pending(probe, PoolIds{}, &whole);
}

}  // namespace dagloom
