// The system's rewrite engine: equality saturation with twelve fixed rules
// (commutativity of eight operators, four identity operations).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "egraph/pattern.h"
#include "optimizer/engine_graph.h"

namespace dagloom {

class SaturationEngine final : public RewriteEngine {
public:
    // How a run is carried out. The rules only swap children and drop
    // identity operations, so the run can be replayed without an e-graph,
    // with the same classes, wherever the replay can vouch that the e-graph
    // would not have stopped at its node limit (Replay, the default; it runs
    // the e-graph otherwise). EGraph always runs the e-graph: the reference
    // the replay is checked against.
    enum class Method { Replay, EGraph };

    // Builds the rule set; iteration_limit 12.
    SaturationEngine() : SaturationEngine(Method::Replay) {}
    explicit SaturationEngine(Method method, std::size_t iteration_limit = 12);
    ~SaturationEngine() override;

    EngineGraph canonicalize(const EngineGraph& graph) const override;
    PackedGraph canonicalize_packed(PackedGraph graph, EngineTrace* trace = nullptr) const override;

    std::size_t iteration_limit() const { return iteration_limit_; }
    // The e-graph's node limit for a graph of n nodes.
    static std::size_t node_limit(std::size_t n) { return 4 * n + 1024; }
    // The rules, in the order they are searched.
    const std::vector<egraph::Rewrite>& rewrites() const;

private:
    struct Rules;
    PackedGraph run_egraph(PackedGraph graph, EngineTrace* trace) const;

    std::shared_ptr<const Rules> rules_;
    Method method_;
    std::size_t iteration_limit_;
};

}  // namespace dagloom
