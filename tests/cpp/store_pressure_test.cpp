// Running out of memory in the middle of a store or reducer operation: each
// allocation in turn is made to fail, and after every failure the object
// must be exactly as it was and fully usable. Also the undo steps this
// rests on (index entries and table rows taken back, a reducer rolled back)
// and the lock that is poisoned only by real internal failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "blob/blob.h"
#include "graph/node_key.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/saturation_engine.h"
#include "store/graph_store.h"
#include "store/key_index.h"
#include "util/internal_error.h"
#include "util/poison_mutex.h"
#include "store_testing.h"

using namespace dagloom;

// ---- allocation failure injection -------------------------------------------
//
// Armed on one thread, the n-th operator new from then on (and every one
// after it) throws std::bad_alloc. Memory the store maps or reallocs itself
// is not covered; the Python-level sweep (tools/memory-pressure.py) covers it.

namespace {
thread_local long allocations_left = -1;  // -1: not armed

bool take_allocation() {
    if (allocations_left < 0) return true;
    if (allocations_left == 0) return false;
    --allocations_left;
    return true;
}
}  // namespace

// The replacements below pair malloc with free on purpose.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
    if (!take_allocation()) throw std::bad_alloc();
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (!take_allocation()) throw std::bad_alloc();
    const std::size_t align = static_cast<std::size_t>(a);
    if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) { return ::operator new(n, a); }
// The nothrow forms as well (std::stable_sort's buffer takes one): left to a
// sanitizer's runtime, their blocks would come back through the free below.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return ::operator new(n, std::nothrow); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n, a);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return ::operator new(n, a, std::nothrow);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

// Calls op() with the k-th allocation failing, for k = 0, 1, ... until op
// succeeds; after each failure check() must hold. Returns how many failed.
template <class Op, class Check>
int fail_each_allocation(Op&& op, Check&& check) {
    struct Disarm {
        ~Disarm() { allocations_left = -1; }
    };
    for (int k = 0;; ++k) {
        bool ok = false;
        {
            Disarm disarm;
            allocations_left = k;
            try {
                op();
                ok = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (ok) return k;
        check();
        if (::testing::Test::HasFatalFailure() || k > 100000) return k;
    }
}

std::vector<uint8_t> bytes_of(const GraphStore& s) { return *serialize_with(s, s.outputs()); }

ParamMap k_param(int k) { return ParamMap::make({{"k", ParamValue::Int(k)}}); }

// A store with nodes of every kind, some outputs, and tables grown well past
// their first sizes, so that adding the next key may grow any of them.
void fill(GraphStore& s, int n) {
    (void)*s.intern(NodeKey::source("x", {}));
    (void)*s.intern(NodeKey::source("y", k_param(1)));
    for (int i = 2; i < n; ++i) {
        const NodeId a = static_cast<NodeId>(i - 1), b = static_cast<NodeId>(i / 2);
        switch (i % 6) {
            case 0: (void)*s.intern(NodeKey::reduction("sum", k_param(i % 3), {a})); break;
            case 1: (void)*s.intern(NodeKey::exchange(k_param(i % 4), {a, b})); break;
            case 2:
                (void)*s.intern(NodeKey::external({"m", "h" + std::to_string(i), "fw", "1", "io", std::nullopt}, {}, {a}));
                break;
            case 3:
                (void)*s.intern(NodeKey::stage({a}, {StageOp{"op|neg", {StageRef::Input(0)}}, StageOp{"op|e" + std::to_string(i), {StageRef::Member(0)}}}));
                break;
            default: (void)*s.intern(NodeKey::op(i % 2 ? "add" : "mul", k_param(i % 7), {a, b})); break;
        }
    }
    ASSERT_TRUE(s.mark_outputs({static_cast<NodeId>(n - 1), 3}).ok());
}

// Keys that are new to a filled store, one of each kind, including new
// names, new parameter lists and a new index segment.
std::vector<NodeKey> new_keys(NodeId last) {
    return {
        NodeKey::source("a brand new name", ParamMap::make({{"fresh", ParamValue::Str("list")}})),
        NodeKey::op("add", k_param(1000), {last, 0}),
        NodeKey::op("never seen", {}, {last}),
        NodeKey::reduction("sum", {}, {last, last}),
        NodeKey::external({"m", "new", "fw", "2", "io", std::string("pre")}, k_param(3), {last}),
        NodeKey::stage({last, 1}, {StageOp{"op|fresh text", {StageRef::Input(1)}}}),
        NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("new")}}), {last}),
    };
}

class StoreOutOfMemory : public ::testing::TestWithParam<int> {};

// Every allocation of an add failing in turn: no partial node, no poison,
// and the key that failed is added whole by the next try.
TEST_P(StoreOutOfMemory, AddLeavesStoreAsItWas) {
    GraphStore s;
    fill(s, GetParam());
    int failures = 0;
    for (const NodeKey& key : new_keys(s.node_count() - 1)) {
        const std::size_t count = s.node_count();
        const std::vector<uint8_t> before = bytes_of(s);
        failures += fail_each_allocation([&] { (void)s.intern(key); }, [&] {
            ASSERT_EQ(s.node_count(), count);
            ASSERT_EQ(bytes_of(s), before);
        });
        EXPECT_EQ(s.node_count(), count + 1);
        EXPECT_EQ(*s.intern(key), count) << "a retry finds the key the failed tries never added";
        EXPECT_EQ(snapshot_from(s, count).at(0), key);
    }
    EXPECT_GT(failures, static_cast<int>(new_keys(0).size()));
}

TEST_P(StoreOutOfMemory, MarkingOutputsIsAllOrNothing) {
    GraphStore s;
    fill(s, GetParam());
    const std::vector<NodeId> before = s.outputs();
    std::vector<NodeId> marks;
    for (NodeId id = 0; id < s.node_count(); id += 3) marks.push_back(id);
    fail_each_allocation([&] { ASSERT_TRUE(s.mark_outputs(marks).ok()); },
                         [&] { ASSERT_EQ(s.outputs(), before); });
    std::vector<NodeId> expected = before;
    for (NodeId id : marks)
        if (std::find(expected.begin(), expected.end(), id) == expected.end()) expected.push_back(id);
    EXPECT_EQ(s.outputs(), expected);
}

TEST_P(StoreOutOfMemory, ReadsLeaveStoreUsable) {
    GraphStore s;
    // Each try repeats the whole read: kept small, or the tries add up.
    fill(s, std::min(GetParam(), 300));
    const std::vector<uint8_t> before = bytes_of(s);
    const KeptText dot = to_dot(s);
    fail_each_allocation([&] { ASSERT_EQ(to_dot(s), dot); }, [] {});
    fail_each_allocation([&] { ASSERT_EQ(snapshot(s).nodes.size(), s.node_count()); }, [] {});
    fail_each_allocation([&] { (void)s.delta_from(1); }, [] {});
    fail_each_allocation([&] { (void)reduce_with(s, SaturationEngine(), false); }, [] {});
    EXPECT_EQ(bytes_of(s), before);
    EXPECT_TRUE(s.intern(NodeKey::source("still usable", {})).ok());
}

INSTANTIATE_TEST_SUITE_P(Sizes, StoreOutOfMemory, ::testing::Values(40, 3000));

// A step that runs out of memory undoes what it added: the reducer's counts
// are as before, and stepping again gives what an unhurt reducer gives.
TEST(ReducerOutOfMemory, StepUndoesItself) {
    GraphStore s;
    fill(s, 600);
    IncrementalReducer hurt, whole;
    ASSERT_TRUE(hurt.step(s.delta_from(0)).ok());
    ASSERT_TRUE(whole.step(s.delta_from(0)).ok());
    const std::size_t start = s.node_count();
    // Mirrors, identities and repeats of old nodes, so the step both adds
    // and finds nodes.
    const ParamMap identity = ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
    for (int i = 0; i < 300; ++i) {
        const NodeId a = static_cast<NodeId>(s.node_count() - 1), b = static_cast<NodeId>(i);
        (void)*s.intern(i % 3 == 0 ? NodeKey::op("add", identity, {a})
                        : i % 3 == 1 ? NodeKey::op("mul", {}, {a, b})
                                     : NodeKey::op("mul", {}, {b, a}));
    }
    const NodeDelta delta = s.delta_from(start);
    const auto before = std::tuple(hurt.watermark(), hurt.total_work(), hurt.canonical_count());
    const int failures = fail_each_allocation([&] { ASSERT_TRUE(hurt.step(delta).ok()); }, [&] {
        ASSERT_EQ(std::tuple(hurt.watermark(), hurt.total_work(), hurt.canonical_count()), before);
    });
    EXPECT_GT(failures, 0);
    ASSERT_TRUE(whole.step(delta).ok());
    EXPECT_EQ(hurt.canonical_count(), whole.canonical_count());
    EXPECT_EQ(hurt.watermark(), whole.watermark());
    const SaturationEngine engine;
    const std::vector<NodeId> outputs{s.node_count() - 1, 5};
    auto a = hurt.finalize(outputs, engine, false);
    auto b = whole.finalize(outputs, engine, false);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->nodes, b->nodes);
    EXPECT_EQ(a->outputs, b->outputs);
}

TEST(ReducerCheckpoint, RollBackUndoesSteps) {
    GraphStore s;
    fill(s, 900);
    IncrementalReducer r, fresh;
    ASSERT_TRUE(r.step(s.delta_from(0)).ok());
    const IncrementalReducer::Checkpoint mark = r.checkpoint();
    for (int i = 0; i < 200; ++i) (void)*s.intern(NodeKey::op("sub", k_param(i), {static_cast<NodeId>(i), 7}));
    ASSERT_TRUE(r.step(s.delta_from(r.watermark())).ok());
    EXPECT_EQ(r.watermark(), s.node_count());
    r.roll_back(mark);
    EXPECT_EQ(r.watermark(), mark.watermark);
    EXPECT_EQ(r.canonical_count(), mark.canonical);
    EXPECT_EQ(r.total_work(), mark.total_work);
    // Stepped again, it ends where one stepped once over everything does.
    ASSERT_TRUE(r.step(s.delta_from(r.watermark())).ok());
    ASSERT_TRUE(fresh.step(s.delta_from(0)).ok());
    EXPECT_EQ(r.canonical_count(), fresh.canonical_count());
    const SaturationEngine engine;
    auto a = r.finalize({s.node_count() - 1}, engine, true);
    auto b = fresh.finalize({s.node_count() - 1}, engine, true);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->nodes, b->nodes);
}

// ---- the undo steps themselves ------------------------------------------------

class KeyIndexErase : public ::testing::TestWithParam<uint64_t> {};

// Positions from `first` on go, every other one is still found, and the
// index takes new entries again; hashes that collide on their bucket make
// the probe runs that a removal breaks.
TEST_P(KeyIndexErase, LaterPositionsGoEarlierStay) {
    const uint64_t first = GetParam();
    constexpr uint64_t kCount = 3000;
    auto hash_of = [](uint64_t pos) { return ((pos % 97) << 32) * 0x10001ULL + pos; };
    KeyIndex index;
    for (uint64_t pos = 0; pos < kCount; ++pos) {
        index.reserve_one();
        index.insert(pos, hash_of(pos));
    }
    index.erase_from(first);
    EXPECT_EQ(index.size(), std::min(first, kCount));
    for (uint64_t pos = 0; pos < kCount; ++pos) {
        const auto found = index.find_if(hash_of(pos), [&](uint64_t p) { return p == pos; });
        if (pos < first) {
            ASSERT_EQ(found, pos);
        } else {
            ASSERT_FALSE(found.has_value()) << pos;
        }
    }
    for (uint64_t pos = std::min(first, kCount); pos < kCount; ++pos) {
        index.reserve_one();
        index.insert(pos, hash_of(pos));
    }
    for (uint64_t pos = 0; pos < kCount; ++pos)
        ASSERT_EQ(index.find_if(hash_of(pos), [&](uint64_t p) { return p == pos; }), pos);
}

INSTANTIATE_TEST_SUITE_P(From, KeyIndexErase, ::testing::Values(0, 1, 97, 1500, 2999, 3000, 5000));

TEST(NodeTableTruncate, DropsLaterKeysOfEveryKind) {
    GraphStore grown;
    fill(grown, 1200);
    const std::vector<NodeKey> keys = snapshot(grown).nodes;
    for (std::size_t keep : {std::size_t{0}, std::size_t{1}, std::size_t{517}, keys.size() - 1, keys.size()}) {
        NodeTable t;
        for (const NodeKey& k : keys) t.intern(t.probe(view_of(k)), nullptr);
        t.truncate(keep);
        ASSERT_EQ(t.size(), keep);
        EXPECT_EQ(t.keys_from(0), std::vector<NodeKey>(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(keep)));
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const NodeTable::Probe probe = t.probe(view_of(keys[i]));
            const auto found = t.find(probe, t.pool_ids(probe));
            if (i < keep) {
                ASSERT_EQ(found, i);
            } else {
                ASSERT_FALSE(found.has_value()) << i;
            }
        }
        // The dropped keys come back at the same positions.
        for (std::size_t i = keep; i < keys.size(); ++i) {
            const NodeTable::Interned in = t.intern(t.probe(view_of(keys[i])), nullptr);
            ASSERT_TRUE(in.added);
            ASSERT_EQ(in.pos, i);
        }
        EXPECT_EQ(t.keys_from(0), keys);
    }
}

// ---- the store's lock ----------------------------------------------------------

TEST(PoisonMutex, OnlyFailuresOtherThanMemoryPoison) {
    PoisonMutex mu("thing poisoned");
    EXPECT_THROW(mu.locked([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_FALSE(mu.poisoned());
    EXPECT_EQ(mu.locked([] { return 7; }), 7);
    {
        // A section that does not say it took its memory first is poisoned
        // by any failure, running out of memory included.
        EXPECT_THROW(
            [&] {
                auto guard = mu.lock();
                throw std::bad_alloc();
            }(),
            std::bad_alloc);
        EXPECT_TRUE(mu.poisoned());
    }
    PoisonMutex other("other poisoned");
    EXPECT_THROW(other.locked([]() -> int { fail("broken"); }), InternalError);
    EXPECT_TRUE(other.poisoned());
    try {
        other.locked([] { return 0; });
        FAIL() << "a poisoned lock let a caller in";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "other poisoned: poisoned lock: another task failed inside");
    }
    EXPECT_THROW(other.check(), InternalError);
}

// Searches for existing keys and reads run while one writer grows every
// table many times over: each search gets the id its key was given, and
// each read is a prefix of what the writer built.
TEST(StoreThreads, SearchesAndReadsDuringGrowth) {
    constexpr int kKeys = 20000, kReaders = 3;
    GraphStore s;
    std::atomic<int> published{0};
    std::vector<NodeId> ids(kKeys);
    auto key = [&](int k) {
        return k < 4 ? NodeKey::source("s" + std::to_string(k), k_param(k))
                     : NodeKey::op(k % 2 ? "add" : "name" + std::to_string(k % 50), k_param(k % 11),
                                   {ids[static_cast<std::size_t>(k / 2)], ids[static_cast<std::size_t>(k - 1)]});
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int k = 0; k < kKeys; ++k) {
            ids[static_cast<std::size_t>(k)] = *s.intern(key(k));
            published.store(k + 1, std::memory_order_release);
        }
    });
    for (int t = 0; t < kReaders; ++t)
        threads.emplace_back([&, t] {
            unsigned seed = static_cast<unsigned>(t) + 1;
            while (published.load(std::memory_order_acquire) < kKeys) {
                const int known = published.load(std::memory_order_acquire);
                if (known == 0) continue;
                seed = seed * 1103515245u + 12345u;
                const int k = static_cast<int>(seed % static_cast<unsigned>(known));
                ASSERT_EQ(*s.intern(key(k)), ids[static_cast<std::size_t>(k)]);
                if (seed % 64 == 0) {
                    const Snapshot snap = snapshot(s);
                    ASSERT_GE(snap.nodes.size(), static_cast<std::size_t>(known));
                    ASSERT_EQ(snap.nodes[ids[static_cast<std::size_t>(k)]], key(k));
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(s.node_count(), static_cast<std::size_t>(kKeys));
}

}  // namespace
