// The identity of a graph node: equal keys are the same node.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "graph/param.h"
#include "util/small_vector.h"

namespace dagloom {

using NodeId = uint64_t;

// Reproducibility metadata of an External node; every field is identity.
struct PayloadDescriptor {
    std::string kind;
    std::string content_hash;
    std::string framework;
    std::string version;
    std::string io_schema;
    std::optional<std::string> preprocessing_ref;  // "" is present, not absent

    // The five required fields and their names, in the order every form
    // (blob, hash, Python) takes them.
    static constexpr std::array<const char*, 5> kRequiredNames = {"kind", "content_hash", "framework", "version",
                                                                   "io_schema"};
    std::array<std::string*, 5> required() { return {&kind, &content_hash, &framework, &version, &io_schema}; }
    std::array<const std::string*, 5> required() const {
        return {&kind, &content_hash, &framework, &version, &io_schema};
    }

    friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// Where a stage member reads an argument: the stage's k-th input, or the
// value of an earlier member k.
struct StageRef {
    enum class Tag : uint8_t { Input = 0, Member = 1 };
    Tag tag = Tag::Input;
    uint64_t index = 0;

    static StageRef Input(uint64_t k) { return {Tag::Input, k}; }
    static StageRef Member(uint64_t k) { return {Tag::Member, k}; }
    friend bool operator==(const StageRef&, const StageRef&) = default;
};

// A member's argument references: nearly always one or two, kept inline so
// a reduced graph's many stages cost no allocation per member for them.
using StageInputs = SmallVector<StageRef, 2>;

// One fused operation of a Stage: its Op token and its argument references.
struct StageOp {
    std::string op;
    StageInputs inputs;
    friend bool operator==(const StageOp&, const StageOp&) = default;
};

// Tag order is fixed: hashing and the blob format use it.
enum class NodeKind : uint8_t { Source = 0, Op = 1, Reduction = 2, External = 3, Stage = 4, Exchange = 5 };

inline constexpr int kNodeKindCount = 6;

// "source", "op", "reduction", "external", "stage", "exchange".
const char* kind_name(NodeKind kind);

// A tagged union kept flat: fields that a kind does not have stay empty.
//   Source    name, params
//   Op        name, params, inputs
//   Reduction name, params, inputs
//   External  descriptor, params, inputs
//   Stage     inputs, members
//   Exchange  params (the scheme), inputs
// Deep-copying value: copies share nothing.
class NodeKey {
public:
    static NodeKey source(std::string name, ParamMap params);
    static NodeKey op(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey reduction(std::string name, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey external(PayloadDescriptor descriptor, ParamMap params, std::vector<NodeId> inputs);
    static NodeKey stage(std::vector<NodeId> inputs, std::vector<StageOp> members);
    static NodeKey exchange(ParamMap scheme, std::vector<NodeId> inputs);

    NodeKey(const NodeKey& other);
    NodeKey& operator=(const NodeKey& other);
    NodeKey(NodeKey&&) noexcept = default;
    NodeKey& operator=(NodeKey&&) noexcept = default;

    NodeKind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    const ParamMap& params() const { return params_; }
    const std::vector<NodeId>& inputs() const { return inputs_; }
    // Only for External keys.
    const PayloadDescriptor& descriptor() const;
    const std::vector<StageOp>& members() const;

    // A copy pointing at other inputs; a Source ignores the list.
    NodeKey with_inputs(std::vector<NodeId> inputs) const&;
    NodeKey with_inputs(std::vector<NodeId> inputs) &&;
    // Rewrites every input id in place (a Source has none): f(id) -> id.
    template <class F>
    void map_inputs(F&& f) {
        for (NodeId& id : inputs_) id = f(id);
    }

    // Canonical text of the key without its inputs ("op|add|scalar=f0000000000000000;side=sr").
    std::string token() const;

    friend bool operator==(const NodeKey& a, const NodeKey& b);

private:
    NodeKey(NodeKind kind, std::string name, ParamMap params, std::vector<NodeId> inputs);

    // A descriptor's six strings live out of line, allocated for Externals
    // only. A stage's members sit in place: an empty vector allocates
    // nothing for the other kinds, and a reduced graph's many stages save
    // an allocation each.
    NodeKind kind_ = NodeKind::Source;
    std::string name_;
    ParamMap params_;
    std::vector<NodeId> inputs_;
    std::unique_ptr<PayloadDescriptor> descriptor_;  // External only
    std::vector<StageOp> members_;                   // Stage only
};

// A hash consistent with key equality; `seed` varies the function so a
// store can key its index at random (hash values are never persisted).
uint64_t hash_key(const NodeKey& key, uint64_t seed);

// A seeded hash consistent with ParamMap equality.
uint64_t hash_params(const ParamMap& params, uint64_t seed);

}  // namespace dagloom
