// Fuzzes the S-expression reader and the pattern-text parser. Any text must
// either be refused with an error value or give a well-formed pattern tree:
// children before parents, variables without children, every node but the
// root used exactly once. Trees of UTF-8 text whose atoms can be written back
// unquoted must read back from their own text to the very same tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "blob/utf8.h"
#include "egraph/pattern_text.h"

using namespace dagloom::egraph;

namespace {

[[noreturn]] void die(const char* what, std::string_view text) {
    std::fprintf(stderr, "fuzz_pattern_text: %s (text %s)\n", what, debug_quote(text).c_str());
    std::abort();
}

// Unicode white space the parser trims from both ends of a pattern text.
bool starts_or_ends_with_space(std::string_view s) {
    static const std::string_view kSpaces[] = {"\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0",
                                               "\xe1\x9a\x80", "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf",
                                               "\xe2\x81\x9f", "\xe3\x80\x80"};
    for (std::string_view sp : kSpaces)
        if (s.starts_with(sp) || s.ends_with(sp)) return true;
    for (char32_t c = 0x2000; c <= 0x200a; ++c) {
        const char b[3] = {'\xe2', '\x80', static_cast<char>(0x80 | (c & 0x3f))};
        const std::string_view sp(b, 3);
        if (s.starts_with(sp) || s.ends_with(sp)) return true;
    }
    return false;
}

// An operator text that to_string writes so that the reader gives it back.
bool writes_back(std::string_view op, bool is_whole_text) {
    if (op.empty() || op.front() == '"' || op.front() == '\t') return false;
    if (op.find_first_of(" \r\n()") != std::string_view::npos) return false;
    // A lone leaf is the whole text, which is trimmed before it is read.
    if (is_whole_text && starts_or_ends_with_space(op)) return false;
    return true;
}

void check_parse_error(const ParseError& e, std::string_view text) {
    if (e.line < 1 || e.col < 1) die("parse error position is not 1-based", text);
    if (e.msg != "End of file reached" && e.msg != "Unexpected )") die("unknown parse error message", text);
    if (debug_string(e).empty()) die("empty debug form", text);
}

// The reader works on characters; on bytes that are not UTF-8 it is only
// required to stay in bounds, so the write-back check needs valid text.
void check_expr(const RecExpr& expr, std::string_view text, bool valid_utf8) {
    if (expr.empty()) die("parse succeeded with an empty expression", text);
    std::vector<int> uses(expr.size(), 0);
    bool all_write_back = true;
    for (std::size_t i = 0; i < expr.size(); ++i) {
        const ENodeOrVar& n = expr[static_cast<Id>(i)];
        if (n.is_var()) {
            const std::string_view name = n.as_var().name();
            if (name.size() < 2 || name.front() != '?') die("variable without its question mark", text);
            if (!n.children().empty()) die("variable with children", text);
            if (!writes_back(name, expr.size() == 1)) all_write_back = false;
            continue;
        }
        const std::string_view op = n.node().op.as_str();
        if (op.size() > 1 && op.front() == '?') die("variable-like operator kept as an e-node", text);
        if (!writes_back(op, expr.size() == 1)) all_write_back = false;
        for (Id c : n.children()) {
            if (c >= i) die("child does not precede its parent", text);
            ++uses[c];
        }
    }
    for (std::size_t i = 0; i + 1 < expr.size(); ++i)
        if (uses[i] != 1) die("pattern node shared or unreachable", text);
    if (uses.back() != 0) die("root used as a child", text);

    const std::string written = to_string(expr);
    if (!all_write_back || !valid_utf8) return;
    auto again = RecExpr::from_str(written);
    if (!again.ok()) die(("written form does not parse: " + debug_string(again.error())).c_str(), written);
    if (!(*again == expr)) die("written form reads back as another tree", written);
    if (to_string(*again) != written) die("written form is not a fixed point", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    auto sexp = parse_str(text);
    if (sexp.ok()) {
        if (text.empty() != sexp->is_empty()) die("Empty value for non-empty text or vice versa", text);
        if (debug_string(*sexp).empty()) die("empty debug form", text);
    } else {
        check_parse_error(sexp.error().parse, text);
    }

    auto expr = RecExpr::from_str(text);
    if (!expr.ok()) {
        const RecExprParseError& e = expr.error();
        if (e.kind == RecExprParseError::Kind::BadSexp) check_parse_error(e.bad_sexp.parse, text);
        if (e.kind == RecExprParseError::Kind::HeadList && !e.head.is_list()) die("HeadList without a list", text);
        if (debug_string(e).empty()) die("empty debug form", text);
        return 0;
    }
    check_expr(*expr, text, dagloom::is_valid_utf8(data, size));
    return 0;
}
