// Several threads on the shared structures: one store, the process-wide
// symbol table, and an incremental reducer fed while its store grows. Built
// under ThreadSanitizer these are the tests that show the locking is right;
// in an ordinary build they still check that every thread sees one story.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "blob/blob.h"
#include "egraph/symbol.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "store/graph_store.h"
#include "store_testing.h"

using namespace dagloom;

namespace {

constexpr int kThreads = 8;

// Runs body(t) on kThreads threads that start together.
template <class F>
void on_threads(int n, F body) {
    std::atomic<int> waiting{n};
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(n));
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) std::this_thread::yield();
            body(t);
        });
    for (auto& th : threads) th.join();
}

// Key k of a small graph in which every kind occurs: the first kSources
// keys are sources; the rest read one or two earlier keys, so a key can only
// be interned once the keys it reads are (their ids are looked up first).
constexpr int kSources = 16;

NodeKey graph_key(int k, const std::vector<NodeId>& id_of) {
    if (k < kSources) return NodeKey::source("s" + std::to_string(k), {});
    const NodeId a = id_of[static_cast<std::size_t>(k / 2)], b = id_of[static_cast<std::size_t>(k / 3)];
    const ParamMap p = ParamMap::make({{"k", ParamValue::Int(k % 5)}});
    switch (k % 5) {
        case 0: return NodeKey::op("add", {}, {a, b});
        case 1: return NodeKey::op("mul", p, {b, a});
        case 2: return NodeKey::reduction("sum", p, {a});
        case 3: return NodeKey::external({"model", "h" + std::to_string(k % 7), "fw", "1", "io", std::nullopt}, p, {a, b});
        default: return NodeKey::exchange(p, {a});
    }
}

}  // namespace

TEST(ConcurrentStore, EightThreadsInternOverlappingKeysOfEveryKind) {
    constexpr int kKeys = 600;
    GraphStore store;
    std::vector<std::vector<NodeId>> ids(kThreads, std::vector<NodeId>(kKeys));
    on_threads(kThreads, [&](int t) {
        // Each thread walks the keys in order (inputs before users), but
        // starts at a different key and re-interns a window behind it, so
        // the same keys are interned by several threads at once.
        std::vector<NodeId>& mine = ids[static_cast<std::size_t>(t)];
        for (int k = 0; k < kKeys; ++k) {
            mine[static_cast<std::size_t>(k)] = *store.intern(graph_key(k, mine));
            const int back = std::max(0, k - 1 - t);
            ASSERT_EQ(*store.intern(graph_key(back, mine)), mine[static_cast<std::size_t>(back)]);
        }
    });
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[static_cast<std::size_t>(t)], ids[0]) << "thread " << t;
    const std::set<NodeId> distinct(ids[0].begin(), ids[0].end());
    EXPECT_EQ(store.node_count(), distinct.size());
    const Snapshot snap = snapshot(store);
    for (int k = 0; k < kKeys; ++k) EXPECT_EQ(snap.nodes[ids[0][static_cast<std::size_t>(k)]], graph_key(k, ids[0]));
    for (std::size_t id = 0; id < snap.nodes.size(); ++id)
        for (NodeId in : snap.nodes[id].inputs()) EXPECT_LT(in, id);
}

TEST(ConcurrentStore, ReadersSeeConsistentSnapshotsWhileWritersIntern) {
    constexpr int kWriters = 4, kKeys = 400;
    GraphStore store;
    std::atomic<int> writers_left{kWriters};
    std::vector<std::size_t> seen_max(kThreads, 0);
    on_threads(kThreads, [&](int t) {
        if (t < kWriters) {
            [&] {
                std::vector<NodeId> mine(kKeys);
                for (int k = 0; k < kKeys; ++k) {
                    mine[static_cast<std::size_t>(k)] = *store.intern(graph_key(k, mine));
                    if (k % 50 == 0) {
                        ASSERT_TRUE(store.mark_output(mine[static_cast<std::size_t>(k)]).ok());
                    }
                }
            }();
            writers_left.fetch_sub(1);  // even after a failed assertion, or the readers would spin forever
            return;
        }
        // Readers: every view taken is a valid store on its own.
        std::size_t last = 0;
        do {
            const Snapshot snap = snapshot(store);
            ASSERT_GE(snap.nodes.size(), last) << "a store never shrinks";
            last = snap.nodes.size();
            for (std::size_t id = 0; id < snap.nodes.size(); ++id)
                for (NodeId in : snap.nodes[id].inputs()) ASSERT_LT(in, id);
            for (NodeId o : snap.outputs) ASSERT_LT(o, snap.nodes.size());
            switch (t % 4) {
                case 0: ASSERT_EQ(to_dot(store).rfind("digraph dagloom", 0), 0u); break;
                case 1: {
                    auto blob = serialize_with(store, snap.outputs);
                    ASSERT_TRUE(blob.ok());
                    auto back = deserialize(*blob);
                    ASSERT_TRUE(back.ok()) << back.error().message();
                    ASSERT_GE((*back)->node_count(), snap.nodes.size());
                    break;
                }
                case 2: {
                    // A delta continues the nodes before it.
                    const std::vector<NodeKey> tail = snapshot_from(store, last / 2);
                    for (std::size_t i = 0; i < tail.size(); ++i)
                        for (NodeId in : tail[i].inputs()) ASSERT_LT(in, last / 2 + i);
                    break;
                }
                default: (void)store.outputs(); break;
            }
        } while (writers_left.load() > 0);
        seen_max[static_cast<std::size_t>(t)] = last;
    });
    std::vector<NodeId> ids(kKeys);
    for (int k = 0; k < kKeys; ++k) ids[static_cast<std::size_t>(k)] = *store.intern(graph_key(k, ids));
    EXPECT_EQ(store.node_count(), std::set<NodeId>(ids.begin(), ids.end()).size());
    for (std::size_t m : seen_max) EXPECT_LE(m, store.node_count());
}

TEST(ConcurrentSymbols, EightThreadsInternOverlappingTexts) {
    constexpr int kTexts = 3000;
    auto text = [](int i) { return "op|sym" + std::to_string(i % 1000) + (i % 3 == 0 ? "|k=i1" : ""); };
    std::vector<std::vector<uint32_t>> syms(kThreads, std::vector<uint32_t>(kTexts));
    egraph::SymbolTable local;
    std::vector<std::vector<uint32_t>> local_syms(kThreads, std::vector<uint32_t>(kTexts));
    on_threads(kThreads, [&](int t) {
        std::vector<int> order(kTexts);
        for (int i = 0; i < kTexts; ++i) order[static_cast<std::size_t>(i)] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
        for (int i : order) {
            const std::string s = text(i);
            const egraph::GlobalSymbol g = egraph::GlobalSymbol::from(s);
            syms[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)] = g.raw();
            ASSERT_EQ(g.as_str(), s);
            local_syms[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)] = local.intern(s);
            ASSERT_EQ(local.resolve(local_syms[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)]), s);
        }
    });
    for (int t = 1; t < kThreads; ++t) {
        EXPECT_EQ(syms[static_cast<std::size_t>(t)], syms[0]);
        EXPECT_EQ(local_syms[static_cast<std::size_t>(t)], local_syms[0]);
    }
    // One symbol per distinct text, and distinct texts get distinct symbols.
    std::set<std::string> texts;
    std::set<uint32_t> global_set(syms[0].begin(), syms[0].end()), local_set(local_syms[0].begin(), local_syms[0].end());
    for (int i = 0; i < kTexts; ++i) texts.insert(text(i));
    EXPECT_EQ(global_set.size(), texts.size());
    EXPECT_EQ(local_set.size(), texts.size());
    std::size_t total = 0;
    for (unsigned s = 0; s < egraph::SymbolTable::kShards; ++s) total += local.shard_len(s);
    EXPECT_EQ(total, texts.size());
}

TEST(ConcurrentReducer, StepsBehindAMutexWhileAnotherThreadGrowsTheStore) {
    constexpr int kNodes = 1500;
    GraphStore store;
    (void)*store.intern(NodeKey::source("x", {}));
    IncrementalReducer reducer;
    std::mutex reducer_mu;  // the reducer has no locking of its own
    std::atomic<bool> done{false};
    std::vector<uint64_t> stepped(kThreads, 0);
    const SaturationEngine engine;
    on_threads(kThreads, [&](int t) {
        if (t == 0) {
            [&] {
                // Identity ops, mirrored commutative pairs and repeats, so
                // the steps have something to fold.
                const ParamMap identity =
                    ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
                for (int i = 1; i < kNodes; ++i) {
                    const NodeId a = static_cast<NodeId>(i - 1), b = static_cast<NodeId>(i / 2);
                    NodeKey k = i % 3 == 0   ? NodeKey::op("add", identity, {a})
                                : i % 3 == 1 ? NodeKey::op("mul", {}, {a, b})
                                             : NodeKey::op("mul", {}, {b, a});
                    ASSERT_TRUE(store.intern(std::move(k)).ok());
                    if (i % 100 == 0) {
                        ASSERT_TRUE(store.mark_output(a).ok());
                    }
                }
            }();
            done.store(true);
            return;
        }
        auto step_once = [&] {
            std::lock_guard<std::mutex> lock(reducer_mu);
            auto n = reducer.step(snapshot_from(store, reducer.watermark()));
            ASSERT_TRUE(n.ok()) << n.error().message();
            stepped[static_cast<std::size_t>(t)] += *n;
            ASSERT_LE(reducer.watermark(), store.node_count());
            ASSERT_EQ(reducer.total_work(), reducer.watermark());
            if (t == 1 && reducer.watermark() > 0) {
                // Finalizing mid-build reduces the form as it is now.
                auto r = reducer.finalize({reducer.watermark() - 1}, engine, t % 2 == 0);
                ASSERT_TRUE(r.ok());
                ASSERT_EQ(r->report.input_nodes, reducer.canonical_count());
            }
        };
        while (!done.load()) {
            step_once();
            // Meanwhile, whole-store reductions run without the reducer's mutex.
            if (t == 2) {
                auto r = reduce_with_outputs(store, {store.node_count() - 1}, engine, false);
                ASSERT_TRUE(r.ok());
                ASSERT_EQ(r->report.reduced_nodes, r->report.stages + r->report.boundary_nodes);
            }
        }
        step_once();
    });
    uint64_t total = 0;
    for (uint64_t s : stepped) total += s;
    EXPECT_EQ(total, store.node_count());
    EXPECT_EQ(reducer.watermark(), static_cast<uint64_t>(kNodes));
    EXPECT_EQ(reducer.total_work(), reducer.watermark());
    EXPECT_LT(reducer.canonical_count(), reducer.watermark());
    auto fin = reducer.finalize(store.outputs(), engine, false);
    ASSERT_TRUE(fin.ok());
    EXPECT_EQ(fin->report.input_nodes, reducer.canonical_count());
    EXPECT_EQ(fin->report.reduced_nodes, fin->report.stages + fin->report.boundary_nodes);
}
