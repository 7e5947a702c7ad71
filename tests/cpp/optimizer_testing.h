// Shared helpers for the optimizer tests: key builders, two small engines,
// and an evaluator that gives every node a value so reductions can be
// checked for computing the same outputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "graph/hash.h"
#include "graph/node_key.h"
#include "optimizer/engine_graph.h"
#include "reference/reference.h"

namespace dagloom::testing {

inline NodeKey src(const std::string& name) { return NodeKey::source(name, {}); }
inline NodeKey op(const std::string& name, std::vector<NodeId> in) { return NodeKey::op(name, {}, std::move(in)); }
inline NodeKey red(const std::string& name, std::vector<NodeId> in) {
    return NodeKey::reduction(name, {}, std::move(in));
}
inline StageRef In(uint64_t k) { return StageRef::Input(k); }
inline StageRef Mem(uint64_t k) { return StageRef::Member(k); }

inline PayloadDescriptor descriptor(std::string kind, std::string hash, std::optional<std::string> pre) {
    return {std::move(kind), std::move(hash), "fw", "1", "schema", std::move(pre)};
}

// "add with 0.0 on the right", one of the identity operations.
inline ParamMap identity_params() {
    return ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}});
}
inline const std::string& identity_token() {
    static const std::string t = NodeKey::op("add", identity_params(), {}).token();
    return t;
}

inline bool is_commutative(std::string_view op) { return op == "op|add" || op == "op|mul"; }

// Returns its argument: the weakest engine that meets the contract.
struct IdentityEngine final : RewriteEngine {
    EngineGraph canonicalize(const EngineGraph& graph) const override { return graph; }
};

// Hash-conses by op text and children (every kind), lets the identity
// token with one child stand for that child, and folds mirrored add/mul.
// Keeps the lowest node of each class, in order, as the real engine does.
struct MergingEngine final : RewriteEngine {
    EngineGraph canonicalize(const EngineGraph& graph) const override {
        EngineGraph out;
        std::vector<uint64_t> pos(graph.nodes.size());
        std::map<std::pair<std::string, std::vector<uint64_t>>, uint64_t> seen;
        for (std::size_t i = 0; i < graph.nodes.size(); ++i) {
            const EngineNode& n = graph.nodes[i];
            std::vector<uint64_t> ch;
            for (uint64_t c : n.children) ch.push_back(pos[c]);
            if (n.op == identity_token() && ch.size() == 1) {
                pos[i] = ch[0];
                continue;
            }
            std::vector<uint64_t> probe = ch;
            if (is_commutative(n.op) && probe.size() == 2) std::sort(probe.begin(), probe.end());
            auto [it, fresh] = seen.try_emplace({n.op, probe}, out.nodes.size());
            if (fresh) out.nodes.push_back({n.op, ch, !is_op_text(n.op)});
            pos[i] = it->second;
        }
        for (uint64_t o : graph.outputs) out.outputs.push_back(pos[o]);
        return out;
    }
};

// The value of an operation: the identity operation passes its operand on,
// add/mul ignore argument order, anything else depends on text and order.
inline uint64_t apply_op(std::string_view op_text, std::vector<uint64_t> args) {
    if (op_text == identity_token() && args.size() == 1) return args[0];
    if (is_commutative(op_text) && args.size() == 2) std::sort(args.begin(), args.end());
    Hasher h(1);
    h.add_bytes(op_text);
    for (uint64_t a : args) h.add(a);
    return h.finish();
}

// One value per node. Opaque nodes are told apart by their whole key apart
// from inputs (not by token), so merging distinct ones changes a value.
inline std::vector<uint64_t> evaluate(const std::vector<NodeKey>& nodes) {
    std::vector<uint64_t> value;
    for (const NodeKey& key : nodes) {
        std::vector<uint64_t> in;
        for (NodeId i : key.inputs()) in.push_back(value.at(i));
        if (key.kind() == NodeKind::Op) {
            value.push_back(apply_op(key.token(), in));
        } else if (key.kind() == NodeKind::Stage) {
            std::vector<uint64_t> member;
            for (const StageOp& m : key.members()) {
                std::vector<uint64_t> args;
                for (StageRef r : m.inputs) args.push_back(r.tag == StageRef::Tag::Input ? in.at(r.index) : member.at(r.index));
                member.push_back(apply_op(m.op, args));
            }
            value.push_back(member.at(member.size() - 1));
        } else {
            Hasher h(hash_key(key.with_inputs({}), 7));
            for (uint64_t a : in) h.add(a);
            value.push_back(h.finish());
        }
    }
    return value;
}

inline std::vector<uint64_t> output_values(const std::vector<NodeKey>& nodes, const std::vector<uint64_t>& outputs) {
    std::vector<uint64_t> v = evaluate(nodes), r;
    for (uint64_t o : outputs) r.push_back(v.at(o));
    return r;
}

}  // namespace dagloom::testing
