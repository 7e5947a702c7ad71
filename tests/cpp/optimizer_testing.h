// Shared helpers for the optimizer tests: key builders, two small engines,
// an evaluator that gives every node a value so reductions can be checked
// for computing the same outputs, and random stores to reduce.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "graph/hash.h"
#include "graph/node_key.h"
#include "optimizer/engine_graph.h"
#include "store/graph_store.h"
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

// Per node, the values it computes: a stage's members in order, any other
// node's one value. Opaque nodes are told apart by their whole key apart
// from inputs (not by token), so merging distinct ones changes a value.
inline std::vector<std::vector<uint64_t>> member_values(const std::vector<NodeKey>& nodes) {
    std::vector<std::vector<uint64_t>> values;
    for (const NodeKey& key : nodes) {
        std::vector<uint64_t> in;
        for (NodeId i : key.inputs()) in.push_back(values.at(i).back());
        std::vector<uint64_t>& member = values.emplace_back();
        if (key.kind() == NodeKind::Op) {
            member.push_back(apply_op(key.token(), in));
        } else if (key.kind() == NodeKind::Stage) {
            for (const StageOp& m : key.members()) {
                std::vector<uint64_t> args;
                for (StageRef r : m.inputs) args.push_back(r.tag == StageRef::Tag::Input ? in.at(r.index) : member.at(r.index));
                member.push_back(apply_op(m.op, args));
            }
        } else {
            Hasher h(hash_key(key.with_inputs({}), 7));
            for (uint64_t a : in) h.add(a);
            member.push_back(h.finish());
        }
    }
    return values;
}

// One value per node: a stage's is its last member's.
inline std::vector<uint64_t> evaluate(const std::vector<NodeKey>& nodes) {
    std::vector<uint64_t> value;
    for (const std::vector<uint64_t>& members : member_values(nodes)) value.push_back(members.back());
    return value;
}

inline std::vector<uint64_t> output_values(const std::vector<NodeKey>& nodes, const std::vector<uint64_t>& outputs) {
    std::vector<uint64_t> v = evaluate(nodes), r;
    for (uint64_t o : outputs) r.push_back(v.at(o));
    return r;
}

inline std::unique_ptr<GraphStore> store_of(const std::vector<NodeKey>& keys, const std::vector<NodeId>& marks = {}) {
    auto store = std::make_unique<GraphStore>();
    for (const NodeKey& k : keys) EXPECT_TRUE(store->intern(k).ok());
    for (NodeId m : marks) EXPECT_TRUE(store->mark_output(m).ok());
    return store;
}

// Random graphs of every kind, with clashing stage and external tokens,
// interned as they are drawn so inputs always name existing ids.
inline std::unique_ptr<GraphStore> random_store(std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return static_cast<uint64_t>(rng() % n); };
    const std::vector<std::string> op_names{"add", "mul", "neg", "exp"};
    const std::vector<PayloadDescriptor> descs{descriptor("k", "h", std::nullopt), descriptor("k", "h", "-"),
                                               descriptor("a|b", "c", ""), descriptor("a", "b|c", "")};
    auto store = store_of({src("x"), src("y")});
    for (std::size_t draws = pick(40); draws-- > 0;) {
        auto in = [&](std::size_t k) {
            std::vector<NodeId> v;
            for (std::size_t i = 0; i < k; ++i) v.push_back(pick(store->node_count()));
            return v;
        };
        std::optional<NodeKey> key;
        switch (pick(10)) {
            case 0: key = src("s" + std::to_string(pick(4))); break;
            case 1: key = red(pick(2) ? "sum" : "max", in(1)); break;
            case 2: key = NodeKey::external(descs[pick(descs.size())], {}, in(pick(2))); break;
            case 3: key = NodeKey::exchange({}, in(1)); break;
            case 4: {
                std::vector<NodeId> inputs = in(1 + pick(2));
                std::vector<StageOp> members(1 + pick(2));
                for (std::size_t m = 0; m < members.size(); ++m) {
                    members[m].op = "op|" + op_names[pick(op_names.size())];
                    for (std::size_t a = 1 + pick(2); a-- > 0;)
                        members[m].inputs.push_back(m > 0 && pick(2) ? Mem(pick(m)) : In(pick(inputs.size())));
                }
                key = NodeKey::stage(std::move(inputs), std::move(members));
                break;
            }
            case 5: key = NodeKey::op("add", identity_params(), in(1)); break;
            default: key = op(op_names[pick(op_names.size())], in(1 + pick(2))); break;
        }
        EXPECT_TRUE(store->intern(*key).ok());
    }
    return store;
}

}  // namespace dagloom::testing
