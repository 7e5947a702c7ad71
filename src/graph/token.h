// Free-text escaping and the parsing side of tokens. Tokens are a stored
// and compared format, produced byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "graph/param.h"

namespace dagloom {

// Replaces "%", ";", "=", "|" (in that order) by "%25", "%3B", "%3D", "%7C".
std::string escape_token(std::string_view text);
// Inverse of escape_token; only the four upper-case escapes are recognised.
std::string unescape_token(std::string_view text);

// `prefix` alone when the map is empty, else prefix "|" map token.
std::string with_params(std::string prefix, const ParamMap& map);

struct OpTokenParts {
    std::string kind;  // "op" or "red"
    std::string name;  // unescaped
    ParamMap params;
};

// Splits an Op or Reduction token back into its parts; nothing otherwise.
std::optional<OpTokenParts> parse_op_token(std::string_view text);

// Display form of a string: double-quoted with backslash escapes.
std::string display_string(std::string_view text);

}  // namespace dagloom
