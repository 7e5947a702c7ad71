// The interned keys of a store, packed. Graphs repeat a few names and
// parameter lists over and over, so a node is a 12-byte record of pool ids
// plus a slice of one shared input array. A stage's members are slices of
// flat member columns (a pooled operation text and a run of references
// each); only externals, which carry descriptors, are kept as whole keys.
// A million-node graph then costs tens of megabytes instead of hundreds,
// and interning a new node allocates nothing of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/node_view.h"
#include "store/key_index.h"
#include "util/big_vector.h"
#include "util/memory.h"

namespace dagloom {

// A count that threads other than its owner read while the owner appends:
// everything below it is written before it is published.
class PublishedCount {
public:
    PublishedCount() = default;
    PublishedCount(const PublishedCount& o) : n_(o.get()) {}
    PublishedCount& operator=(const PublishedCount& o) {
        publish(o.get());
        return *this;
    }
    std::size_t get() const { return n_.load(std::memory_order_acquire); }
    void publish(std::size_t n) { n_.store(n, std::memory_order_release); }

private:
    std::atomic<std::size_t> n_{0};
};

// Distinct strings, each stored once in one character buffer.
class StringPool {
public:
    StringPool() : offsets_{0} {}
    std::optional<uint32_t> find(std::string_view s, uint64_t hash) const;
    uint32_t add(std::string_view s, uint64_t hash);  // s must be absent
    // Whether add(s) would store without growing anything.
    bool has_room(std::size_t length) const {
        return index_.has_room_for_one() && offsets_.capacity() > offsets_.size() &&
               chars_.capacity() - chars_.size() >= length;
    }
    std::string_view at(uint32_t id) const {
        return std::string_view(chars_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]);
    }

private:
    std::string chars_;
    std::vector<uint64_t> offsets_;  // string k is chars_[offsets_[k], offsets_[k + 1])
    KeyIndex index_;
};

// Distinct parameter lists, bit for bit; id 0 is the empty list. Lists
// that are equal as keys (every NaN alike) yet differ in a NaN's payload are
// entries of one class, named by the first of them: keys compare classes,
// while each node reads back the very entry it was made with. Pooled by key
// equality alone, a node would hand back an earlier node's NaN.
class ParamPool {
public:
    ParamPool();
    // The entry holding exactly these bits. `hash` is the key hash, which
    // every entry of a class shares.
    std::optional<uint32_t> find(const ParamMap& params, uint64_t hash) const;
    // The class of the lists equal to these as keys.
    std::optional<uint32_t> find_class(const ParamMap& params, uint64_t hash) const;
    uint32_t add(ParamMap&& params, uint64_t hash);  // the bits must be absent
    const ParamMap& at(uint32_t id) const { return maps_[id]; }
    uint32_t class_of(uint32_t id) const { return classes_[id]; }
    bool has_room() const {
        return index_.has_room_for_one() && maps_.capacity() > maps_.size() && classes_.capacity() > classes_.size();
    }

private:
    std::vector<ParamMap> maps_;
    std::vector<uint32_t> classes_;  // per entry, the first entry equal to it as a key
    KeyIndex index_;
};

class NodeTable {
public:
    NodeTable();

    // A key's parts with every hash the table needs, computed without
    // touching the table's contents (so callers can do it before locking).
    struct Probe {
        NodeView parts;
        uint64_t name_hash = 0;
        uint64_t params_hash = 0;
        uint64_t hash = 0;
        // The index segment the key belongs to (see segments_ below).
        std::size_t segment = 0;
    };
    Probe probe(const NodeView& parts) const;
    // The same for a key held as parts, from hashes of its name and parameter
    // list taken earlier with name_hash and params_hash: a caller meeting the
    // same name or list many times hashes it once.
    Probe probe(const NodeView& parts, uint64_t name_hash, uint64_t params_hash) const;
    uint64_t name_hash(std::string_view name) const;
    uint64_t params_hash(const ParamMap& params) const;

    // The number of keys. Other threads may read the first size() keys
    // (view, inputs, find) while one writer adds more, as long as no add
    // has to grow the table meanwhile (see has_room).
    std::size_t size() const { return published_.get(); }
    void reserve(std::size_t count);
    // The same for `count` keys a writer appends with append_unchecked,
    // `stages` of them stages with `members` members and `refs` references
    // in all: every column is then sized once, to what it will hold,
    // instead of doubling past it and moving.
    void reserve_unchecked(std::size_t count, std::size_t stages, std::size_t members, std::size_t refs);
    NodeView view(std::size_t pos) const;
    // The inputs alone, for sweeps that follow edges and read nothing else
    // of most nodes.
    std::span<const NodeId> inputs(std::size_t pos) const {
        const Record& r = records_[pos];
        if (r.kind == NodeKind::External) return whole_[r.name].inputs();
        return {inputs_.data() + input_offsets_[pos], inputs_.data() + input_offsets_[pos + 1]};
    }

    struct Interned {
        uint64_t pos;
        bool added;
    };
    // The position of the probed key, appending it when it is new; `whole`
    // (External only) may then be moved from. Everything is
    // reserved before anything is stored, so running out of memory leaves
    // the visible table unchanged.
    Interned intern(const Probe& probe, NodeKey* whole);
    // Drops every key from position `count` on, with its index entries,
    // allocating nothing: an owner that added keys undoes them this way
    // should a later step fail. Names and parameter lists pooled for them
    // stay (pools are only looked into, never listed).
    void truncate(std::size_t count) noexcept;
    // Every key from position `start` on, rebuilt as NodeKeys.
    std::vector<NodeKey> keys_from(std::size_t start) const;
    // The keys at positions [start, end), rebuilt and appended to `into`.
    void copy_keys(std::size_t start, std::size_t end, std::vector<NodeKey>& into) const;

    // Where the pools hold a parts key's name and parameter list, if they do.
    // The ids never change once given, so a caller meeting the same name or
    // list many times may keep them and hand them to the two calls below.
    // `params` is the entry with the key's exact bits, which a node added
    // with these ids keeps; `params_class` is what equal keys share, which
    // finding one compares. An absent entry may still have a class.
    struct PoolIds {
        std::optional<uint32_t> name;
        std::optional<uint32_t> params;
        std::optional<uint32_t> params_class;
    };
    PoolIds pool_ids(const Probe& probe) const;
    std::optional<uint64_t> find(const Probe& probe, const PoolIds& ids) const;
    // Appends the probed key, which the caller found absent with `ids` from
    // pool_ids; the same guarantee as intern.
    uint64_t add(const Probe& probe, const PoolIds& ids, NodeKey* whole);
    // Starts fetching, all at once, the lines add(probe) writes: the ends
    // of the columns and the key's index slot. Threads sharing a table
    // take turns appending, so each finds those lines in the other's cache;
    // fetched together the misses overlap instead of each stalling in turn.
    void prefetch_add(const Probe& probe) const {
        const std::size_t n = records_.size();
        __builtin_prefetch(records_.data() + n, 1);
        __builtin_prefetch(input_offsets_.data() + n + 1, 1);
        __builtin_prefetch(inputs_.data() + inputs_.size(), 1);
        if (const KeyIndex* index = find_segment(probe.segment)) index->prefetch_for_insert(probe.hash);
    }
    // Whether add would store the key without growing (and so moving) any
    // column, pool or index segment: readers of the first size() keys may
    // then go on reading while it runs.
    bool has_room(const Probe& probe, const PoolIds& ids) const;
    // A stage whose members' operation texts the caller has pooled with
    // name_id and hashed with name_hash (a writer emitting many stages over
    // few texts does both once per text).
    struct PackedStage {
        std::span<const NodeId> inputs;
        std::span<const uint32_t> ops;        // pool ids of the members' operation texts
        std::span<const uint64_t> op_hashes;  // name_hash of each
        std::span<const uint64_t> ref_start;  // member k's references: refs[ref_start[k], ref_start[k + 1])
        std::span<const uint64_t> refs;       // packed with StageRefs::pack
    };
    // append_unchecked for such a stage.
    uint64_t append_stage_unchecked(const PackedStage& stage);

    // Appends a parts key the caller knows to be absent, updates `ids` with
    // the pool ids its name and parameters now have, and leaves entering it
    // in the index to index_pending(). Each entry is a random access into a
    // large index; made one after another in a tight loop they overlap
    // rather than each stalling the work around it.
    // While keys are pending, find and intern fail; call index_pending first.
    uint64_t add_absent(const Probe& probe, PoolIds& ids);
    void index_pending();
    // Appends any key without looking for it first (whole keys are moved
    // from `whole`), for a reader that expects every key to be new; its
    // index entry waits for index_pending_distinct.
    uint64_t append_unchecked(const Probe& probe, NodeKey* whole);
    // The same for a parts key whose pool ids the caller has, from the two
    // calls below.
    uint64_t append_unchecked(const Probe& probe, const PoolIds& ids);
    // The pool id of a name or parameter list (hashed by name_hash or
    // params_hash; a list's entry is the one with its exact bits), added
    // when new.
    uint32_t name_id(std::string_view name, uint64_t hash);
    uint32_t params_id(ParamMap&& params, uint64_t hash);
    // Enters every pending key in the index. False when one equals a key
    // before it: the table then holds that key twice and must be dropped.
    bool index_pending_distinct();
    // append_unchecked for an External (moved into the table) or a Stage
    // (its members copied into the stage columns); `probe` must be a probe
    // of `whole` itself.
    uint64_t append_whole_unchecked(const Probe& probe, NodeKey&& whole);

private:
    friend class NodeDelta;  // copies slices of the packed form directly

    struct Record {
        uint32_t name;    // StringPool id; for an external the index into whole_, for a stage into stage_members_
        uint32_t params;  // ParamPool id
        NodeKind kind;
    };

    uint64_t append(const Probe& probe, const PoolIds& ids, NodeKey* whole, bool indexed = true);
    uint64_t append_pending(const Probe& probe, const PoolIds& ids, NodeKey* whole);
    bool same_inputs(std::size_t pos, std::span<const NodeId> inputs) const;
    bool same_record(std::size_t a, std::size_t b) const;
    StageMembers stage_members(uint32_t stage) const;
    // The hash of a stage from its parts; op_hash(k) is name_hash of member k's text.
    template <class OpHash>
    uint64_t stage_hash(std::span<const NodeId> inputs, const StageMembers& members, OpHash&& op_hash) const;
    static std::size_t segment_of(std::span<const NodeId> inputs);
    void append_stage(const NodeView& parts);
    // Indexes the pending keys in order, stopping (false) at the first one
    // for which equal(pos, earlier) holds against a key already indexed.
    template <class Equal>
    bool index_pending_unless(Equal&& equal);

    uint64_t seed_;
    PublishedCount published_;
    // The columns grow with every node; grown in place, a large one is
    // neither copied nor faulted in again when it outgrows its block.
    BigVector<Record, Pages::Small> records_;
    BigVector<uint64_t, Pages::Small> input_offsets_;  // inputs of node p: inputs_[input_offsets_[p], input_offsets_[p + 1])
    BigVector<NodeId, Pages::Small> inputs_;
    std::vector<NodeKey> whole_;
    // Stage s has members [stage_members_[s], stage_members_[s + 1]); member
    // m has the operation text member_ops_[m] (a names_ id) and references
    // member_refs_[member_ref_start_[m], member_ref_start_[m + 1]).
    BigVector<uint64_t, Pages::Small> stage_members_;
    BigVector<uint32_t, Pages::Small> member_ops_;
    BigVector<uint64_t, Pages::Small> member_ref_start_;
    BigVector<uint64_t, Pages::Small> member_refs_;  // packed with StageRefs::pack
    StringPool names_;
    ParamPool params_;
    // The index is split by where a key reads: a parts key or stage with
    // inputs is entered in segment 1 + (its latest input >> kSegmentBits);
    // keys without inputs and externals in segment 0. Equal keys read the same inputs,
    // so they always meet in one segment. A graph built in order reads
    // mostly recent nodes, so entering and looking up keys stays within a
    // few small segments, instead of landing anywhere in one index as large
    // as the table. Segments of a few kilobytes keep what a batch of new
    // keys touches close to the size of their own entries.
    static constexpr unsigned kSegmentBits = 9;
    // The segment's index, made (with any before it) if it is new.
    KeyIndex& segment(std::size_t s);
    const KeyIndex* find_segment(std::size_t s) const { return s < segment_count_.get() ? &segments_[s] : nullptr; }
    // Whether segment(s) would neither move the segments nor hand readers
    // an index still being made.
    bool segment_ready_in_place(std::size_t s) const;

    // A new segment every 2^kSegmentBits keys: one made in the block's
    // spare room is published (segment_count_) once it is ready, while
    // readers go on searching the others; only a full block moves.
    std::unique_ptr<KeyIndex[]> segments_;
    std::size_t segment_capacity_ = 0;
    PublishedCount segment_count_;
    struct Pending {
        uint64_t hash;
        std::size_t segment;
    };
    ScratchVector<Pending> pending_;  // the last pending_.size() keys, not yet in their segments
    // Per segment, how many of the pending keys it has made room for, so
    // that indexing them never allocates.
    std::vector<uint32_t> segment_pending_;
};

}  // namespace dagloom
