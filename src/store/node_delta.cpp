#include "store/node_delta.h"

#include <algorithm>
#include <array>

#include "store/node_table.h"

namespace dagloom {

namespace {

// Pool id -> slice-local id. Pool ids are dense but a slice meets only a few
// of them, so an array the size of the pool (which would make the copy cost
// what the store holds) is kept only for the first ids, where most graphs
// have all their names and parameter lists; the rest go to a small
// open-addressed table.
class LocalIds {
public:
    LocalIds() : slots_(16, 0) { low_.fill(kNone); }

    // The local id of `pool_id`; on first sight, add() makes one up.
    template <class Add>
    uint32_t get(uint32_t pool_id, Add&& add) {
        if (pool_id < low_.size()) {
            uint32_t& local = low_[pool_id];
            if (local == kNone) local = add();
            return local;
        }
        const uint64_t key = static_cast<uint64_t>(pool_id) + 1;
        std::size_t i = slot_of(pool_id);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == 0) break;
            if ((slots_[i] >> 32) == key) return static_cast<uint32_t>(slots_[i]);
        }
        const uint32_t local = add();
        slots_[i] = (key << 32) | local;
        if (++size_ * 2 > slots_.size()) grow();
        return local;
    }

private:
    static constexpr uint32_t kNone = 0xffffffffu;

    std::size_t slot_of(uint32_t pool_id) const {
        return static_cast<std::size_t>((pool_id * 0x9e3779b97f4a7c15ULL) >> 32) & (slots_.size() - 1);
    }
    void grow() {
        std::vector<uint64_t> old(slots_.size() * 2, 0);
        old.swap(slots_);
        for (uint64_t s : old) {
            if (s == 0) continue;
            std::size_t i = slot_of(static_cast<uint32_t>((s >> 32) - 1));
            while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }

    std::array<uint32_t, 256> low_;
    std::vector<uint64_t> slots_;  // (pool id + 1) << 32 | local id; 0 is empty
    std::size_t size_ = 0;
};

}  // namespace

NodeDelta NodeDelta::copy_of(const NodeTable& table, std::size_t start) {
    const std::size_t end = table.size();
    start = std::min(start, end);
    NodeDelta d(start);
    const std::size_t count = end - start;
    if (count == 0) return d;

    const uint64_t first_input = table.input_offsets_[start];
    // Up to the last counted node's inputs, not the column's end: a writer
    // may be appending past it.
    d.inputs_.assign(table.inputs_.data() + first_input, table.inputs_.data() + table.input_offsets_[end]);
    d.input_offsets_.resize(count + 1);
    for (std::size_t i = 0; i <= count; ++i) d.input_offsets_[i] = table.input_offsets_[start + i] - first_input;

    d.records_.reserve(count);
    LocalIds names;
    LocalIds params;
    for (std::size_t pos = start; pos < end; ++pos) {
        const NodeTable::Record& r = table.records_[pos];
        if (carries_extra(r.kind)) {
            d.records_.push_back(Record{static_cast<uint32_t>(d.whole_.size()), 0, r.kind});
            d.whole_.push_back(r.kind == NodeKind::External ? table.whole_[r.name] : key_of(table.view(pos)));
            continue;
        }
        const uint32_t name = names.get(r.name, [&] {
            d.chars_.append(table.names_.at(r.name));
            d.name_offsets_.push_back(d.chars_.size());
            return static_cast<uint32_t>(d.name_offsets_.size() - 2);
        });
        // Pool id 0 is the empty list in the table and in the slice alike.
        const uint32_t param_list = r.params == 0 ? 0 : params.get(r.params, [&] {
            d.params_.push_back(table.params_.at(r.params));
            return static_cast<uint32_t>(d.params_.size() - 1);
        });
        d.records_.push_back(Record{name, param_list, r.kind});
    }
    return d;
}

}  // namespace dagloom
