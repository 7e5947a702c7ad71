// Fuzzes the parsing side of tokens: ParamMap::from_token and
// parse_op_token. Text they accept must describe a value whose own token
// parses back to an equal value, and that token must be a fixed point.
// Escaping must be undone exactly by unescaping, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "graph/node_key.h"
#include "graph/param.h"
#include "graph/token.h"

using namespace dagloom;

namespace {

[[noreturn]] void die(const char* what, std::string_view text) {
    std::fprintf(stderr, "fuzz_param_token: %s (text %s)\n", what, display_string(text).c_str());
    std::abort();
}

void check_sorted(const ParamMap& m, std::string_view text) {
    for (std::size_t i = 1; i < m.size(); ++i)
        if (m.entries()[i].first < m.entries()[i - 1].first) die("entries not in key order", text);
}

void check_map(std::string_view text) {
    auto m = ParamMap::from_token(text);
    if (!m) return;
    check_sorted(*m, text);
    const std::string token = m->token();
    auto again = ParamMap::from_token(token);
    if (!again) die("token of a parsed map does not parse", token);
    if (!(*again == *m)) die("token of a parsed map reads back as another map", token);
    if (again->token() != token) die("map token is not a fixed point", token);
    if (m->empty() != token.empty()) die("empty map and empty token disagree", text);
    (void)m->display();
}

void check_op_token(std::string_view text) {
    auto parts = parse_op_token(text);
    if (!parts) return;
    if (parts->kind != "op" && parts->kind != "red") die("op token of another kind", text);
    check_sorted(parts->params, text);
    const NodeKey key = parts->kind == "op" ? NodeKey::op(parts->name, parts->params, {})
                                            : NodeKey::reduction(parts->name, parts->params, {});
    const std::string token = key.token();
    auto again = parse_op_token(token);
    if (!again) die("token of a parsed op does not parse", token);
    if (again->kind != parts->kind || again->name != parts->name || !(again->params == parts->params))
        die("token of a parsed op reads back as another op", token);
    const NodeKey rebuilt = again->kind == "op" ? NodeKey::op(again->name, again->params, {})
                                                : NodeKey::reduction(again->name, again->params, {});
    if (rebuilt.token() != token) die("op token is not a fixed point", token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check_map(text);
    check_op_token(text);
    if (unescape_token(escape_token(text)) != text) die("unescape does not undo escape", text);
    (void)display_string(text);
    return 0;
}
