// Google Benchmark kernels for the phases of reduction and the incremental
// reducer. Build with -DDAGLOOM_BENCH=ON; run ./bench_pipeline.
//
// The workload mirrors reduction_records() of bench/bench_common.py: eight
// sources, then chain links, mirrored commutative pairs, identity ops,
// parameterised fan-in over the last 64 nodes and reductions (the outputs).
//
//   BM_Snapshot        copying the store's keys (what the reductions over keys start with)
//   BM_Canonicalize    SaturationEngine::canonicalize (reported for scale only)
//   BM_Saturate        canonicalize_packed over the packed engine graph, per
//                      reachable node: replayed (0) or on the e-graph (1)
//   BM_FromReduced     interning the reduced keys into a new store
//   BM_PackedInput     PackedInputBuilder over the kept keys (the packed form
//                      reduce_with_outputs hands its engine)
//   BM_CsePacked       cse_packed over the packed canonical graph
//   BM_FusionIntoTable stage_fusion_into a new table, then from_appended: the
//                      packed phases that replace stage fusion and from_reduced
//   BM_Reduce          reduce_with_outputs end to end
//   BM_ReduceNoEngine  the same with an engine that returns its argument, so
//                      only the phases around canonicalize are timed
//   BM_IncrementalStep IncrementalReducer::step over 100 batches of a growing
//                      store, each copied out with delta_from as Python's step
//                      does; the growing itself is not timed (target <= 150 ns/node)
//   BM_Finalize        IncrementalReducer::finalize_store after all the steps
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "optimizer/stage_fusion.h"
#include "reference/reference.h"
#include "store/graph_store.h"

using namespace dagloom;

namespace {

struct Workload {
    std::unique_ptr<GraphStore> store;
    std::vector<NodeId> outputs;
};

ParamMap identity_params() {
    return ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
}

NodeId must(Result<NodeId, BadNodeId> r) {
    if (!r.ok()) std::abort();
    return *r;
}

Workload make_workload(std::size_t n) {
    std::mt19937_64 rng(2);
    auto below = [&](std::size_t bound) { return static_cast<std::size_t>(rng() % bound); };
    auto unit = [&] { return static_cast<double>(rng() >> 11) / 9007199254740992.0; };
    const char* chain[] = {"neg", "exp", "log"};
    const char* commutative[] = {"add", "mul", "maximum"};
    const char* fan_in[] = {"sub", "div"};

    Workload w;
    w.store = std::make_unique<GraphStore>();
    std::vector<NodeId> ids;  // record position -> store id
    for (int i = 0; i < 8; ++i) ids.push_back(must(w.store->intern(NodeKey::source(std::string("x").append(std::to_string(i)), {}))));
    while (ids.size() < n) {
        const std::size_t i = ids.size();
        const double r = unit();
        const std::size_t lo = i > 64 ? i - 64 : 0;
        const NodeId a = ids[lo + below(i - lo)];
        const NodeId b = ids[lo + below(i - lo)];
        if (r < 0.25) {
            ids.push_back(must(w.store->intern(NodeKey::op(chain[below(3)], {}, {ids[i - 1]}))));
        } else if (r < 0.45) {
            const char* name = commutative[below(3)];
            ids.push_back(must(w.store->intern(NodeKey::op(name, {}, {a, b}))));
            if (ids.size() < n) ids.push_back(must(w.store->intern(NodeKey::op(name, {}, {b, a}))));
        } else if (r < 0.6) {
            ids.push_back(must(w.store->intern(NodeKey::op("add", identity_params(), {a}))));
        } else if (r < 0.9) {
            ParamMap k = ParamMap::make({{"k", ParamValue::Int(static_cast<int64_t>(below(3)))}});
            ids.push_back(must(w.store->intern(NodeKey::op(fan_in[below(2)], std::move(k), {a, b}))));
        } else {
            ids.push_back(must(w.store->intern(NodeKey::reduction("sum", {}, {ids[i - 1]}))));
            w.outputs.push_back(ids.back());
        }
    }
    if (w.outputs.empty()) w.outputs.push_back(ids.back());
    return w;
}

// Every key of a store, in id order.
std::vector<NodeKey> all_keys(const GraphStore& store) {
    return store.with_locked([](const GraphStore::View& v) { return v.nodes.keys_from(0); });
}

const Workload& workload(std::size_t n) {
    static std::map<std::size_t, Workload> cache;
    auto it = cache.find(n);
    if (it == cache.end()) it = cache.emplace(n, make_workload(n)).first;
    return it->second;
}

const SaturationEngine& saturation() {
    static const SaturationEngine engine;
    return engine;
}

struct PassThrough final : RewriteEngine {
    EngineGraph canonicalize(const EngineGraph& graph) const override { return graph; }
    PackedGraph canonicalize_packed(PackedGraph graph) const override { return graph; }
};

PackedInput packed_input(const KeptGraph& kept) {
    PackedInputBuilder builder(kept.nodes.size(), 0, kept.outputs);
    for (const NodeKey& key : kept.nodes) builder.add(view_of(key));
    return std::move(builder).finish();
}

// The intermediate values of one reduction, for timing each phase on its
// real input (the plain forms from the reference phases of the tests).
struct Phases {
    std::vector<NodeKey> nodes;
    KeptGraph kept;
    EngineInput in;
    EngineGraph canonical;
    EngineGraph merged;
    Reduced reduced;
    PackedInput packed_in;
    PackedGraph packed_canonical;
    PackedGraph packed_merged;
};

const Phases& phases(std::size_t n) {
    static std::map<std::size_t, Phases> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    const Workload& w = workload(n);
    Phases p;
    p.nodes = all_keys(*w.store);
    p.kept = dead_code_elimination(p.nodes, w.outputs);
    p.in = to_distinct_engine_graph(p.kept.nodes, p.kept.outputs);
    p.canonical = saturation().canonicalize(p.in.graph);
    p.merged = cse(p.canonical);
    FusionResult fused = stage_fusion(p.merged, p.merged.outputs, p.in.rebuild, false);
    p.reduced.nodes = std::move(fused.nodes);
    p.reduced.outputs = std::move(fused.outputs);
    p.packed_in = packed_input(p.kept);
    p.packed_canonical = saturation().canonicalize_packed(p.packed_in.graph);
    p.packed_merged = p.packed_canonical;
    cse_packed(p.packed_merged);
    return cache.emplace(n, std::move(p)).first->second;
}

void per_node(benchmark::State& state, std::size_t n) {
    state.counters["ns_per_node"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

std::size_t arg(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }

void BM_Snapshot(benchmark::State& state) {
    const Workload& w = workload(arg(state));
    for (auto _ : state) benchmark::DoNotOptimize(all_keys(*w.store));
    per_node(state, arg(state));
}

void BM_Canonicalize(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    for (auto _ : state) benchmark::DoNotOptimize(saturation().canonicalize(p.in.graph));
    per_node(state, arg(state));
}

// The engine alone on the packed graph a reduction hands it: replayed (0)
// or run on the e-graph (1).
void BM_Saturate(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    const SaturationEngine engine(state.range(1) == 0 ? SaturationEngine::Method::Replay
                                                      : SaturationEngine::Method::EGraph);
    for (auto _ : state) {
        state.PauseTiming();
        PackedGraph copy = p.packed_in.graph;
        copy.distinct = true;  // as a reduction of a store hands it over
        state.ResumeTiming();
        benchmark::DoNotOptimize(engine.canonicalize_packed(std::move(copy)));
    }
    state.counters["ns_per_node"] = benchmark::Counter(static_cast<double>(p.packed_in.graph.size()),
                                                       benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

void BM_FromReduced(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    for (auto _ : state) {
        state.PauseTiming();
        Reduced copy = p.reduced;
        state.ResumeTiming();
        benchmark::DoNotOptimize(from_reduced(std::move(copy)));
    }
    per_node(state, arg(state));
}

void BM_PackedInput(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    for (auto _ : state) benchmark::DoNotOptimize(packed_input(p.kept));
    per_node(state, arg(state));
}

void BM_CsePacked(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    for (auto _ : state) {
        state.PauseTiming();
        PackedGraph copy = p.packed_canonical;
        state.ResumeTiming();
        cse_packed(copy);
        benchmark::DoNotOptimize(copy);
    }
    per_node(state, arg(state));
}

void BM_FusionIntoTable(benchmark::State& state) {
    const Phases& p = phases(arg(state));
    const bool maximal = state.range(1) != 0;
    for (auto _ : state) {
        NodeTable table;
        benchmark::DoNotOptimize(stage_fusion_into(p.packed_merged, p.packed_in.rebuild, maximal, table));
        benchmark::DoNotOptimize(from_appended(std::move(table)));
    }
    per_node(state, arg(state));
}

void BM_Reduce(benchmark::State& state) {
    const Workload& w = workload(arg(state));
    for (auto _ : state) benchmark::DoNotOptimize(reduce_with_outputs(*w.store, w.outputs, saturation(), false));
    per_node(state, arg(state));
}

void BM_ReduceNoEngine(benchmark::State& state) {
    const Workload& w = workload(arg(state));
    const PassThrough engine;
    for (auto _ : state) benchmark::DoNotOptimize(reduce_with_outputs(*w.store, w.outputs, engine, false));
    per_node(state, arg(state));
}

// The keys of the workload in 100 batches, as a reader copies them.
std::vector<std::vector<NodeKey>> batches(std::size_t n) {
    const std::vector<NodeKey> all = all_keys(*workload(n).store);
    const std::size_t size = std::max<std::size_t>(1, all.size() / 100);
    std::vector<std::vector<NodeKey>> out;
    for (std::size_t start = 0; start < all.size(); start += size)
        out.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(start),
                         all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), start + size)));
    return out;
}

void BM_IncrementalStep(benchmark::State& state) {
    const std::size_t n = arg(state);
    // Interned in id order into an empty store, the keys get their ids again.
    const std::vector<std::vector<NodeKey>> delta = batches(n);
    const std::size_t nodes = workload(n).store->node_count();
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<GraphStore>();
        auto reducer = std::make_unique<IncrementalReducer>();
        state.ResumeTiming();
        for (const auto& batch : delta) {
            state.PauseTiming();
            for (const NodeKey& key : batch) must(store->intern(key));
            state.ResumeTiming();
            benchmark::DoNotOptimize(reducer->step(store->delta_from(reducer->watermark())));
        }
        state.PauseTiming();
        if (reducer->watermark() != nodes) std::abort();
        reducer.reset();
        store.reset();
        state.ResumeTiming();
    }
    per_node(state, nodes);
}

void BM_Finalize(benchmark::State& state) {
    const std::size_t n = arg(state);
    IncrementalReducer reducer;
    for (auto& batch : batches(n))
        if (!reducer.step(std::move(batch)).ok()) std::abort();
    const Workload& w = workload(n);
    state.counters["canonical"] = static_cast<double>(reducer.canonical_count());
    for (auto _ : state) benchmark::DoNotOptimize(reducer.finalize_store(w.outputs, saturation(), false));
}

}  // namespace

BENCHMARK(BM_Snapshot)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Canonicalize)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Saturate)->Args({100000, 0})->Args({100000, 1})->Args({1000000, 0})->Args({1000000, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FromReduced)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackedInput)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsePacked)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FusionIntoTable)->Args({100000, 0})->Args({100000, 1})->Args({1000000, 0})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReduceNoEngine)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reduce)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IncrementalStep)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Finalize)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
