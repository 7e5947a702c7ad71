#include "optimizer/rule_set.h"

#include <algorithm>
#include <bit>

#include "graph/node_key.h"

namespace dagloom {

namespace {

std::vector<Rule> build_rules() {
    std::vector<Rule> rules;
    for (std::string_view op : kCommutativeOps) {
        const std::string name(op);
        rules.push_back({RuleKind::Commute, "commute-" + name, "op|" + name, "(op|" + name + " ?a ?b)",
                         "(op|" + name + " ?b ?a)"});
    }
    for (std::size_t k = 0; k < kIdentityOps.size(); ++k) {
        const IdentityOp& op = kIdentityOps[k];
        std::string token = NodeKey::op(std::string(op.name), identity_params(op), {}).token();
        rules.push_back({RuleKind::Identity, "identity-" + std::to_string(k), token, "(" + token + " ?x)", "?x"});
    }
    return rules;
}

}  // namespace

const std::vector<Rule>& rule_table() {
    static const std::vector<Rule> rules = build_rules();
    return rules;
}

bool is_commutative_op(std::string_view name) {
    return std::find(kCommutativeOps.begin(), kCommutativeOps.end(), name) != kCommutativeOps.end();
}

uint8_t identity_name_mask(std::string_view name) {
    uint8_t mask = 0;
    for (std::size_t k = 0; k < kIdentityOps.size(); ++k)
        if (kIdentityOps[k].name == name) mask |= static_cast<uint8_t>(1u << k);
    return mask;
}

uint8_t identity_params_mask(const ParamMap& params) {
    const auto& e = params.entries();
    if (e.size() != 2 || e[0].first != "scalar" || e[1].first != "side") return 0;
    const ParamValue& scalar = e[0].second;
    const ParamValue& side = e[1].second;
    if (scalar.tag() != ParamValue::Tag::Float || side.tag() != ParamValue::Tag::Str) return 0;
    const uint64_t bits = canonical_float_bits(scalar.as_float());
    uint8_t mask = 0;
    for (std::size_t k = 0; k < kIdentityOps.size(); ++k)
        if (bits == canonical_float_bits(kIdentityOps[k].scalar) && side.as_str() == kIdentityOps[k].side)
            mask |= static_cast<uint8_t>(1u << k);
    return mask;
}

ParamMap identity_params(const IdentityOp& op) {
    return ParamMap::make({{"scalar", ParamValue::Float(op.scalar)}, {"side", ParamValue::Str(std::string(op.side))}});
}

}  // namespace dagloom
