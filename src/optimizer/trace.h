// Where a reduction sends the nodes it is handed. Every phase already
// decides where a node's value goes: dead-code elimination keeps it or not,
// the engine puts it in a class, cse picks a representative, stage fusion a
// stage and a member, and interning into the new store an id. A traced
// reduction keeps each decision as one array, indexed in the numbering the
// phase reads and holding positions in the numbering it writes, and composes
// them once at the end. Each numbering has its own index type, so that an
// array is only ever indexed with an id of the space it is indexed by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "graph/node_key.h"
#include "optimizer/liveness.h"
#include "util/internal_error.h"
#include "util/memory.h"

namespace dagloom {

// The numbering spaces a node passes through on its way to the new store.
namespace space {
struct Fed;        // an id of the store an incremental reducer is fed
struct Recorded;   // an id of the graph a reduction is handed: a store's, or a reducer's canonical form
struct Kept;       // a position among the nodes dead-code elimination keeps: the engine's input
struct Canonical;  // a position in the graph after the engine and cse
struct Fused;      // a position in the node list stage fusion emits
struct Member;     // a member's position inside its stage
}  // namespace space

// An index in one numbering space; none() stands for "nowhere".
template <class Space>
struct Index {
    static constexpr uint32_t kNone = ~uint32_t{0};
    uint32_t value = kNone;

    static constexpr Index none() { return Index{}; }
    constexpr bool is_none() const { return value == kNone; }
    friend bool operator==(Index, Index) = default;
};

// Dead-code elimination's verdict is handed over as it is.
static_assert(kDead == Index<space::Kept>::kNone && kDead == Index<space::Recorded>::kNone);

// One Index<To> (or none) per Index<From>. The phases compute positions as
// plain numbers; they hand them over here, kNone standing for none.
template <class From, class To>
class IdMap {
public:
    IdMap() = default;
    explicit IdMap(ScratchVector<uint32_t> raw) : to_(std::move(raw)) {}

    std::size_t size() const { return to_.size(); }
    Index<To> operator[](Index<From> i) const { return Index<To>{to_[i.value]}; }
    // The entry of `i`, or a broken invariant when it has none.
    Index<To> at(Index<From> i) const {
        check_index(i.value, to_.size());
        return Index<To>{to_[i.value]};
    }
    void assign(std::size_t n, Index<To> v) { to_.assign(n, v.value); }
    void set(Index<From> i, Index<To> v) { to_[i.value] = v.value; }
    // Each entry i becomes i: a phase that moved nothing.
    void assign_identity(std::size_t n) {
        to_.resize(n);
        for (std::size_t i = 0; i < n; ++i) to_[i] = static_cast<uint32_t>(i);
    }
    // Every entry that is not none renumbered by `next` (raw to raw), for a
    // phase that renumbers the space To itself in place.
    template <class Next>
    void renumber(Next&& next) {
        for (uint32_t& x : to_)
            if (x != Index<To>::kNone) x = next(x);
    }

    // The same reads for a loop over many entries, which then keeps where
    // they are in registers instead of reading the vector again each time.
    class View {
    public:
        explicit View(std::span<const uint32_t> to) : to_(to) {}
        Index<To> operator[](Index<From> i) const { return Index<To>{to_[i.value]}; }
        Index<To> at(Index<From> i) const {
            check_index(i.value, to_.size());
            return Index<To>{to_[i.value]};
        }

    private:
        std::span<const uint32_t> to_;
    };
    View view() const { return View({to_.data(), to_.size()}); }

private:
    ScratchVector<uint32_t> to_;
};

// Where the engine (then cse) puts each node of the graph it is handed.
using EngineTrace = IdMap<space::Kept, space::Canonical>;

// Where stage fusion puts each canonical node: the emitted node that
// computes its value and, when that node is a stage, the member whose value
// it is (none for an opaque node, which is its own emitted node).
struct FusionTrace {
    IdMap<space::Canonical, space::Fused> node;
    IdMap<space::Canonical, space::Member> member;
};

struct ReductionTrace {
    // The recorded outputs the reduction was made against, in request order.
    std::vector<NodeId> outputs;
    // None for a node no output reaches.
    IdMap<space::Recorded, space::Kept> kept;
    EngineTrace canonical;
    FusionTrace fused;
    // The new store's id of each emitted position; empty when every
    // position is its own id (interning merged no two of them).
    std::vector<NodeId> interned;
};

// Allocates as ScratchAllocator does, but leaves what resize adds unwritten
// (for a trivial type): a table written in full right after it is made
// need not be zeroed first.
template <class T>
struct UnwrittenAllocator : ScratchAllocator<T> {
    template <class U>
    struct rebind {
        using other = UnwrittenAllocator<U>;
    };
    UnwrittenAllocator() = default;
    template <class U>
    UnwrittenAllocator(const UnwrittenAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
};

// Where each recorded node's value is found in a reduced store: node(i) is
// the id of the reduced node whose computation yields it, member(i) the
// member of that node holding it when the node is a stage, else -1; both
// are -1 for a node the outputs do not need. outputs() has one reduced id
// per requested output, in request order. The two columns lie in one
// block, node before member, which the Python layer hands out as they are.
class Origins {
public:
    static constexpr int64_t kNone = -1;

    Origins() = default;

    std::size_t input_nodes() const { return n_; }
    std::span<const int64_t> columns() const { return {columns_.data(), columns_.size()}; }
    std::span<const int64_t> node() const { return columns().first(n_); }
    std::span<const int64_t> member() const { return columns().subspan(n_); }
    const std::vector<NodeId>& outputs() const { return outputs_; }

private:
    friend class OriginsBuilder;
    std::size_t n_ = 0;
    std::vector<int64_t, UnwrittenAllocator<int64_t>> columns_;
    std::vector<NodeId> outputs_;
};

// The origins of every recorded node of a traced reduction, against the
// outputs it was made against.
Origins origins_of(const ReductionTrace& trace);
// The origins of the nodes of a fed store, node i standing for recorded
// node hop[i] (none: not needed), against `outputs` (ids of the fed store).
Origins origins_through(const ReductionTrace& trace, const IdMap<space::Fed, space::Recorded>& hop,
                        const std::vector<NodeId>& outputs);

}  // namespace dagloom
