// What the rewrite rules and the incremental reducer agree on: the operators
// whose two-input, parameterless form is commutative.
#pragma once

#include <array>
#include <string_view>

namespace dagloom {

inline constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and", "or",
                                                                    "eq",  "ne",  "maximum", "minimum"};

}  // namespace dagloom
