// Google Benchmark kernels for the equality-saturation engine.
// Build with -DDAGLOOM_BENCH=ON; run ./bench_egraph.
//
//   BM_AddFreshNodes       add() of 1,000,000 fresh binary nodes (target <= 60 ns/node)
//   BM_AddFreshRandom      the same with random (cache-unfriendly) children
//   BM_AddExisting         add() of nodes already present (hash-cons hits)
//   BM_RebuildAfterUnions  rebuild() after 100,000 random unions
//   BM_CommuteSaturation   Runner to saturation with commutativity on 100,000
//                          binary nodes (target < 0.5 s)
//   BM_Intern              GlobalSymbol::from of existing 39-byte tokens
//   BM_Canonicalize        SaturationEngine::canonicalize of a 100,000-node
//                          engine graph shaped like the reduce benchmark's
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "optimizer/saturation_engine.h"

using namespace dagloom::egraph;

namespace {

Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
    auto l = RecExpr::from_str(lhs);
    auto r = RecExpr::from_str(rhs);
    auto rw = Rewrite::make(name, Pattern::make(std::move(*l)), Pattern::make(std::move(*r)));
    return std::move(*rw);
}

void BM_AddFreshNodes(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const GlobalSymbol leaf = GlobalSymbol::from("src|x");
    const GlobalSymbol f = GlobalSymbol::from("op|add");
    for (auto _ : state) {
        auto eg = std::make_unique<EGraph>();
        Id prev = eg->add(SymbolLang(leaf));
        for (std::size_t i = 1; i < n; ++i) prev = eg->add(SymbolLang(f, {prev, static_cast<Id>(i / 2)}));
        benchmark::DoNotOptimize(prev);
        // A lookup completes any deferred memo indexing: counted here.
        benchmark::DoNotOptimize(eg->lookup(SymbolLang(f, {0, 0})));
        state.PauseTiming();
        eg.reset();
        state.ResumeTiming();
    }
    state.counters["time_per_node"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddFreshNodes)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_AddFreshRandom(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const GlobalSymbol leaf = GlobalSymbol::from("src|x");
    const GlobalSymbol f = GlobalSymbol::from("op|mul");
    std::mt19937_64 rng(42);
    std::vector<std::pair<Id, Id>> kids(n);
    for (std::size_t i = 1; i < n; ++i) kids[i] = {static_cast<Id>(rng() % i), static_cast<Id>(i - 1)};
    for (auto _ : state) {
        auto eg = std::make_unique<EGraph>();
        Id last = eg->add(SymbolLang(leaf));
        for (std::size_t i = 1; i < n; ++i) last = eg->add(SymbolLang(f, {kids[i].first, kids[i].second}));
        benchmark::DoNotOptimize(last);
        benchmark::DoNotOptimize(eg->lookup(SymbolLang(f, {0, 0})));
        state.PauseTiming();
        eg.reset();
        state.ResumeTiming();
    }
    state.counters["time_per_node"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddFreshRandom)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_AddExisting(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const GlobalSymbol leaf = GlobalSymbol::from("src|x");
    const GlobalSymbol f = GlobalSymbol::from("op|add");
    EGraph eg;
    Id prev = eg.add(SymbolLang(leaf));
    for (std::size_t i = 1; i < n; ++i) prev = eg.add(SymbolLang(f, {prev, static_cast<Id>(i / 2)}));
    eg.rebuild();
    for (auto _ : state) {
        Id p = eg.add(SymbolLang(leaf));
        for (std::size_t i = 1; i < n; ++i) p = eg.add(SymbolLang(f, {p, static_cast<Id>(i / 2)}));
        benchmark::DoNotOptimize(p);
    }
    state.counters["time_per_node"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}
BENCHMARK(BM_AddExisting)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_RebuildAfterUnions(benchmark::State& state) {
    const std::size_t n_unions = static_cast<std::size_t>(state.range(0));
    const std::size_t n_leaves = 100000, n_ops = 100000;
    std::vector<GlobalSymbol> ops = {GlobalSymbol::from("op|add"), GlobalSymbol::from("op|mul"),
                                     GlobalSymbol::from("op|sub")};
    std::vector<GlobalSymbol> leaves;
    for (std::size_t k = 0; k < n_leaves; ++k) leaves.push_back(GlobalSymbol::from("src|l" + std::to_string(k)));
    std::size_t merged = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto eg = std::make_unique<EGraph>();
        std::mt19937_64 rng(7);
        for (std::size_t k = 0; k < n_leaves; ++k) eg->add(SymbolLang(leaves[k]));
        for (std::size_t k = 0; k < n_ops; ++k) {
            const Id total = static_cast<Id>(eg->id_count());
            eg->add(SymbolLang(ops[k % 3], {static_cast<Id>(rng() % total), static_cast<Id>(rng() % total)}));
        }
        eg->rebuild();
        const Id total = static_cast<Id>(eg->id_count());
        for (std::size_t u = 0; u < n_unions; ++u)
            eg->union_(static_cast<Id>(rng() % total), static_cast<Id>(rng() % total));
        state.ResumeTiming();
        merged = eg->rebuild();
        benchmark::DoNotOptimize(merged);
        state.PauseTiming();
        eg.reset();
        state.ResumeTiming();
    }
    state.counters["congruence_unions"] = static_cast<double>(merged);
}
BENCHMARK(BM_RebuildAfterUnions)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CommuteSaturation(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::size_t n_leaves = 1000;
    const GlobalSymbol add = GlobalSymbol::from("op|add");
    std::vector<GlobalSymbol> leaves;
    for (std::size_t k = 0; k < n_leaves; ++k) leaves.push_back(GlobalSymbol::from("src|v" + std::to_string(k)));
    std::vector<Rewrite> rules{rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)")};
    std::size_t iterations = 0, classes = 0, memo = 0;
    bool saturated = true;
    for (auto _ : state) {
        state.PauseTiming();
        EGraph eg;
        std::mt19937_64 rng(11);
        for (std::size_t k = 0; k < n_leaves; ++k) eg.add(SymbolLang(leaves[k]));
        std::size_t made = 0;
        while (made < n) {
            const Id total = static_cast<Id>(eg.id_count());
            const std::size_t before = eg.id_count();
            eg.add(SymbolLang(add, {static_cast<Id>(rng() % total), static_cast<Id>(rng() % total)}));
            made += eg.id_count() - before;
        }
        auto runner = std::make_unique<Runner>();
        // Runner defaults, except the node limit, which by default (10000)
        // would stop a 100,000-node graph at once; 4n+1024 as the optimizer.
        runner->set_egraph(std::move(eg)).set_node_limit(4 * (n + n_leaves) + 1024);
        state.ResumeTiming();
        runner->run(rules);
        state.PauseTiming();
        iterations = runner->iterations.size();
        classes = runner->egraph.class_count();
        memo = runner->egraph.memo_len();
        saturated = saturated && runner->stop_reason == StopReason::saturated();
        runner.reset();
        state.ResumeTiming();
    }
    if (!saturated) state.SkipWithError("did not saturate");
    state.counters["iterations"] = static_cast<double>(iterations);
    state.counters["classes"] = static_cast<double>(classes);
    state.counters["memo"] = static_cast<double>(memo);
}
BENCHMARK(BM_CommuteSaturation)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Intern(benchmark::State& state) {
    std::vector<std::string> tokens;
    for (int k = 0; k < 1024; ++k) tokens.push_back("op|add|scalar=f" + std::to_string(1000000000000000 + k) + ";side=sr");
    for (const auto& t : tokens) GlobalSymbol::from(t);
    std::size_t k = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GlobalSymbol::from(tokens[k++ & 1023]));
    }
}
BENCHMARK(BM_Intern);

// The reduce benchmark's workload as an engine graph: eight sources, then
// chains of neg/exp/log, mirrored commutative pairs, identity adds, fan-in
// sub/div with a parameter over recent nodes, and sum reductions (the
// outputs).
dagloom::EngineGraph reduction_workload(std::size_t n) {
    using dagloom::EngineNode;
    std::mt19937_64 rng(2);
    auto uniform = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    auto pick = [&](std::size_t k) { return static_cast<std::size_t>(rng() % k); };
    dagloom::EngineGraph g;
    auto push = [&](std::string op, std::vector<uint64_t> children) {
        const bool opaque = !dagloom::is_op_text(op);
        g.nodes.push_back(EngineNode{std::move(op), std::move(children), opaque});
    };
    for (int k = 0; k < 8; ++k) push("src|x" + std::to_string(k), {});
    const char* chain[] = {"neg", "exp", "log"};
    const char* commutative[] = {"add", "mul", "maximum"};
    const char* fan_in[] = {"sub", "div"};
    while (g.nodes.size() < n) {
        const std::size_t i = g.nodes.size();
        const double r = uniform();
        const std::size_t lo = i > 64 ? i - 64 : 0;
        const uint64_t a = lo + pick(i - lo), b = lo + pick(i - lo);
        if (r < 0.25) {
            push(std::string("op|") + chain[pick(3)], {i - 1});
        } else if (r < 0.45) {
            const std::string op = std::string("op|") + commutative[pick(3)];
            push(op, {a, b});
            push(op, {b, a});
        } else if (r < 0.6) {
            push("op|add|scalar=f0000000000000000;side=sr", {a});
        } else if (r < 0.9) {
            push(std::string("op|") + fan_in[pick(2)] + "|k=i" + std::to_string(pick(3)), {a, b});
        } else {
            push("red|sum", {i - 1});
            g.outputs.push_back(i);
        }
    }
    g.nodes.resize(n);
    std::erase_if(g.outputs, [&](uint64_t o) { return o >= n; });
    if (g.outputs.empty()) g.outputs.push_back(n - 1);
    return g;
}

void BM_Canonicalize(benchmark::State& state) {
    const dagloom::EngineGraph graph = reduction_workload(static_cast<std::size_t>(state.range(0)));
    const dagloom::SaturationEngine engine;
    std::size_t kept = 0;
    for (auto _ : state) {
        dagloom::EngineGraph out = engine.canonicalize(graph);
        kept = out.nodes.size();
        benchmark::DoNotOptimize(out);
    }
    state.counters["kept_nodes"] = static_cast<double>(kept);
}
BENCHMARK(BM_Canonicalize)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
