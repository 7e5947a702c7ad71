#include "optimizer/saturation_engine.h"

#include <span>
#include <string>

#include "egraph/egraph.h"
#include "optimizer/rule_set.h"
#include "optimizer/saturation_replay.h"
#include "util/internal_error.h"

namespace dagloom {

using egraph::EGraph;
using egraph::GlobalSymbol;
using egraph::Id;
using egraph::Pattern;
using egraph::RecExpr;
using egraph::Rewrite;
using egraph::Runner;
using egraph::SymbolLang;

namespace {

Pattern parse_pattern(const std::string& text) {
    auto ast = RecExpr::from_str(text);
    if (!ast.ok()) fail("built-in rewrite pattern " + text + " does not parse: " + egraph::debug_string(ast.error()));
    return Pattern::make(std::move(ast.value()));
}

Rewrite make_rule(const std::string& name, const std::string& searcher, const std::string& applier) {
    auto rule = Rewrite::make(name, parse_pattern(searcher), parse_pattern(applier));
    if (!rule.ok()) fail("built-in rewrite rule " + name + " is invalid: " + rule.error());
    return std::move(rule.value());
}

}  // namespace

struct SaturationEngine::Rules {
    std::vector<Rewrite> rewrites;
    // The same rules as the replay sees them.
    std::vector<ReplayRule> replay;
};

SaturationEngine::SaturationEngine(Method method, std::size_t iteration_limit)
    : method_(method), iteration_limit_(iteration_limit) {
    auto rules = std::make_shared<Rules>();
    for (const Rule& rule : rule_table()) rules->rewrites.push_back(make_rule(rule.name, rule.searcher, rule.applier));
    rules->replay = replay_rule_set();
    rules_ = std::move(rules);
}

SaturationEngine::~SaturationEngine() = default;

const std::vector<Rewrite>& SaturationEngine::rewrites() const { return rules_->rewrites; }

EngineGraph SaturationEngine::canonicalize(const EngineGraph& graph) const {
    return to_engine_graph(canonicalize_packed(to_packed(graph)));
}

namespace {

// Per text of the graph: 1 unless it names an operation.
std::vector<uint8_t> opaque_by_text(const PackedGraph& graph) {
    std::vector<uint8_t> opaque(graph.texts.size());
    for (uint32_t t = 0; t < graph.texts.size(); ++t) opaque[t] = is_op_text(graph.texts.at(t)) ? 0 : 1;
    return opaque;
}

// The graph's nodes merged by class: canon[i] names node i's class (any
// number below `class_bound`). The first node of each class represents it,
// with its children redirected to the representatives of theirs, and with
// its own key if it has one. A trace receives every node's representative.
PackedGraph merge_classes(PackedGraph graph, std::span<const uint32_t> canon, std::size_t class_bound,
                          EngineTrace* trace) {
    const std::size_t n = graph.size();
    // Positions fit 32 bits, as everywhere in a packed graph.
    constexpr uint32_t kNone = ~uint32_t{0};
    const std::vector<uint8_t> opaque_text = opaque_by_text(graph);
    ScratchVector<uint32_t> position_of_class(class_bound, kNone);

    std::size_t classes = 0, edges = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (position_of_class[canon[i]] != kNone) continue;
        position_of_class[canon[i]] = 0;
        ++classes;
        edges += graph.child_start[i + 1] - graph.child_start[i];
    }
    std::fill(position_of_class.begin(), position_of_class.end(), kNone);
    PackedGraph out;
    out.reserve(classes, edges);
    std::vector<uint32_t> kids;
    // Keys of the nodes merged into others go with them.
    OwnKeyCursor own(graph.own_keys);
    if (trace != nullptr) trace->assign(n, Index<space::Canonical>::none());
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t& pos = position_of_class[canon[i]];
        if (pos == kNone) {  // its class's first node
            const uint32_t op = graph.op[i];
            kids.clear();
            for (uint32_t c : graph.children_of(i)) kids.push_back(position_of_class[canon[c]]);
            out.add(op, opaque_text[op] != 0, kids);
            pos = static_cast<uint32_t>(out.size() - 1);
            if (const uint32_t key = own.key_of(i); key != OwnKeyCursor::kNone) out.own_keys.push_back(OwnKey{pos, key});
        }
        if (trace != nullptr) trace->set(Index<space::Kept>{static_cast<uint32_t>(i)}, Index<space::Canonical>{pos});
    }
    out.outputs.reserve(graph.outputs.size());
    for (uint64_t o : graph.outputs) out.outputs.push_back(position_of_class[canon[o]]);
    out.texts = std::move(graph.texts);
    // The classes are closed under congruence: two representatives with one
    // op and the same child classes would be one class. (Ops are distinct
    // texts, symbols distinct per text.)
    out.distinct = true;
    return out;
}

}  // namespace

PackedGraph SaturationEngine::canonicalize_packed(PackedGraph graph, EngineTrace* trace) const {
    const std::size_t n = graph.size();
    for (std::size_t i = 0; i < n; ++i)
        for (uint32_t c : graph.children_of(i))
            if (c >= i) fail("engine graph child " + std::to_string(c) + " does not precede node " + std::to_string(i));
    for (uint64_t o : graph.outputs) check_index(o, n);
    if (method_ == Method::Replay) {
        ReplayResult replay =
            replay_saturation(graph, replay_rule_of_text(graph.texts), rules_->replay, iteration_limit_);
        if (replay.node_bound <= node_limit(n)) {
            // Nothing merged (an already canonical graph): every node stays.
            bool merged = false;
            for (std::size_t i = 0; i < n && !merged; ++i) merged = replay.classes[i] != i;
            if (merged) return merge_classes(std::move(graph), replay.classes, n, trace);
            const std::vector<uint8_t> opaque_text = opaque_by_text(graph);
            for (std::size_t i = 0; i < n; ++i) graph.opaque[i] = opaque_text[graph.op[i]];
            graph.distinct = true;
            if (trace != nullptr) trace->assign_identity(n);
            return graph;
        }
    }
    return run_egraph(std::move(graph), trace);
}

PackedGraph SaturationEngine::run_egraph(PackedGraph graph, EngineTrace* trace) const {
    const std::size_t n = graph.size();
    // One symbol per distinct text, looked up once: the global table's
    // lookup (lock, stronger hash) costs several times a vector read.
    std::vector<GlobalSymbol> symbols;
    symbols.reserve(graph.texts.size());
    for (uint32_t t = 0; t < graph.texts.size(); ++t) symbols.push_back(GlobalSymbol::from(graph.texts.at(t)));

    EGraph eg;
    eg.reserve(n);
    std::vector<Id> ids;
    ids.reserve(n);
    std::vector<Id> children;
    for (std::size_t i = 0; i < n; ++i) {
        children.clear();
        for (uint32_t c : graph.children_of(i)) children.push_back(ids[c]);
        SymbolLang node(symbols[graph.op[i]], children);
        ids.push_back(graph.distinct ? eg.add_new(std::move(node)) : eg.add(std::move(node)));
    }

    ScratchVector<uint32_t> canon(n);
    std::size_t class_bound = 0;
    {
        // The saturated e-graph is the largest thing a reduction builds; it
        // is gone before the output graph is.
        Runner runner;
        runner.set_egraph(std::move(eg)).set_iter_limit(iteration_limit_).set_node_limit(node_limit(n));
        runner.run(rules_->rewrites);
        const EGraph& result = runner.egraph;
        class_bound = result.id_count();
        for (std::size_t i = 0; i < n; ++i) canon[i] = result.find(ids[i]);
    }
    std::vector<Id>().swap(ids);
    return merge_classes(std::move(graph), canon, class_bound, trace);
}

}  // namespace dagloom
