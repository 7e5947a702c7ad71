// The rewrite rules of reduction, in one table. The saturation engine's
// pattern texts, the replay's rule kinds and the incremental reducer's
// per-node predicates are all derived from it, so changing the rule set is
// a change here alone.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/param.h"

namespace dagloom {

// Operators whose parameterless two-input form is commutative.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and", "or",
                                                                    "eq",  "ne",  "maximum", "minimum"};

// Operations equal to their one input: an Op named `name` whose parameters
// are exactly scalar = `scalar` (a float) and side = `side` (a string).
struct IdentityOp {
    std::string_view name;
    double scalar;
    std::string_view side;
};
inline constexpr std::array<IdentityOp, 4> kIdentityOps = {{
    {"add", 0.0, "r"},
    {"add", 0.0, "l"},
    {"mul", 1.0, "r"},
    {"mul", 1.0, "l"},
}};

enum class RuleKind : uint8_t {
    Commute,   // an operator's two children swapped
    Identity,  // a one-child operator equal to its child
};

struct Rule {
    RuleKind kind;
    std::string name;      // "commute-add", "identity-0", ...
    std::string op_text;   // the operator its searcher matches: "op|add", or an identity op's token
    std::string searcher;  // pattern texts
    std::string applier;
};

// The rules in the order the runner searches them: commutativity of each
// of kCommutativeOps, then each of kIdentityOps.
const std::vector<Rule>& rule_table();

// How many children a rule's matches have: two for commutativity, one for an identity.
inline std::size_t rule_arity(RuleKind kind) { return kind == RuleKind::Commute ? 2 : 1; }

bool is_commutative_op(std::string_view name);

// Bit k set when identity op k has this name, or exactly these parameters:
// an Op is an identity operation when the two masks share a bit. (The
// parts are checked instead of the token text: the token of a name and
// a parameter list determines both.)
uint8_t identity_name_mask(std::string_view name);
uint8_t identity_params_mask(const ParamMap& params);

// The parameters of identity op `op`.
ParamMap identity_params(const IdentityOp& op);

}  // namespace dagloom
