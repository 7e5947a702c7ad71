// Google Benchmark kernels for threads sharing one store. Build with
// -DDAGLOOM_BENCH=ON; run ./bench_store.
//
// Each kernel does the same total work with one thread and with two
// threads splitting it, timed in real time, so items_per_second of the two
// lines compares directly (two threads on a 2-core machine: up to 2x).
//
//   BM_InternShared    each thread appends a chain of its own (disjoint
//                      keys) to one store: 1..2 ops of 1..2 inputs, a
//                      parameter list on some
//   BM_InternHalfFound the same, every new key followed by one that the
//                      store already holds (found without the write lock)
//   BM_InternSeparate  each thread appends its chain to a store of its own,
//                      the ceiling for the two above
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "store/graph_store.h"

using namespace dagloom;

namespace {

constexpr std::size_t kTotal = 400'000;  // adds per run, split between the threads

NodeId must(Result<NodeId, BadNodeId> r) {
    if (!r.ok()) std::abort();
    return *r;
}

const char* const kOps[] = {"add", "mul", "neg", "exp", "sub", "max"};

// One thread's chain, `count` nodes over the source named `source`. With
// `found`, each new key is followed by one from `found`'s own chain, already
// in the store.
void add_chain(GraphStore& store, const std::string& source, std::size_t count, const std::vector<NodeId>* found) {
    const ParamMap none;
    const ParamMap scalar = ParamMap::make({{"scalar", ParamValue::Float(2.5)}});
    std::vector<NodeId> ids{must(store.intern(NodeView{NodeKind::Source, source, &none, {}, nullptr, {}}))};
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (std::size_t i = 1; i < count; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        const std::size_t back = 1 + x % std::min<std::size_t>(i, 64);  // graphs mostly read recent nodes
        const NodeId in[2] = {ids[i - 1], ids[i - back]};
        const NodeView op{NodeKind::Op, kOps[x % 6], (x >> 8) % 3 == 0 ? &scalar : &none,
                          std::span<const NodeId>(in, 1 + (x >> 16) % 2), nullptr, {}};
        ids.push_back(must(store.intern(op)));
        if (found != nullptr) {
            const NodeId again[2] = {(*found)[i - 1], (*found)[i - back]};
            NodeView old = op;
            old.inputs = std::span<const NodeId>(again, op.inputs.size());
            must(store.intern(old));
        }
    }
}

std::vector<NodeId> chain_ids(GraphStore& store, std::size_t count) {
    const std::size_t before = store.node_count();
    add_chain(store, "old", count, nullptr);
    std::vector<NodeId> ids(count);
    for (std::size_t i = 0; i < count; ++i) ids[i] = static_cast<NodeId>(before + i);
    return ids;
}

enum class Sharing { Disjoint, HalfFound, Separate };

template <Sharing S>
void BM_Intern(benchmark::State& state) {
    // Thread 0 makes the shared store before the loop, which every thread
    // enters together; one iteration is one run (repeat for a minimum).
    static std::unique_ptr<GraphStore> shared;
    static std::vector<NodeId> found;
    const std::size_t each = kTotal / static_cast<std::size_t>(state.threads());
    if (state.thread_index() == 0) {
        shared = std::make_unique<GraphStore>();
        if (S == Sharing::HalfFound) found = chain_ids(*shared, each);
    }
    std::unique_ptr<GraphStore> own = S == Sharing::Separate ? std::make_unique<GraphStore>() : nullptr;
    for (auto _ : state) {
        GraphStore& store = own ? *own : *shared;
        add_chain(store, "t" + std::to_string(state.thread_index()), each, S == Sharing::HalfFound ? &found : nullptr);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * each * (S == Sharing::HalfFound ? 2 : 1)));
}

}  // namespace

#define DAGLOOM_THREADED(kernel, name) \
    BENCHMARK(kernel)->Name(name)->Threads(1)->Threads(2)->Iterations(1)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMillisecond)
DAGLOOM_THREADED(BM_Intern<Sharing::Disjoint>, "BM_InternShared");
DAGLOOM_THREADED(BM_Intern<Sharing::HalfFound>, "BM_InternHalfFound");
DAGLOOM_THREADED(BM_Intern<Sharing::Separate>, "BM_InternSeparate");

BENCHMARK_MAIN();
