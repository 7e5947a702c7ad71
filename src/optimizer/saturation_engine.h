// The system's rewrite engine: equality saturation with twelve fixed rules
// (commutativity of eight operators, four identity operations).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "optimizer/engine_graph.h"

namespace dagloom {

class SaturationEngine final : public RewriteEngine {
public:
    // Builds the rule set; iteration_limit 12.
    SaturationEngine();
    ~SaturationEngine() override;

    EngineGraph canonicalize(const EngineGraph& graph) const override;
    // Releases the input as soon as it is packed.
    EngineGraph canonicalize_owned(EngineGraph graph) const override;
    PackedGraph canonicalize_packed(PackedGraph graph) const override;

    std::size_t iteration_limit() const { return iteration_limit_; }
    std::size_t rule_count() const;

private:
    struct Rules;
    std::shared_ptr<const Rules> rules_;
    std::size_t iteration_limit_ = 12;
};

}  // namespace dagloom
