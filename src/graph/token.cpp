#include "graph/token.h"

#include <cstdio>
#include <iterator>
#include <utility>

#include "graph/node_key.h"

namespace dagloom {

namespace {

void replace_all(std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (true) {
        std::size_t hit = s.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(s, pos, hit - pos);
        out.append(to);
        pos = hit + from.size();
    }
    if (pos == 0) return;
    out.append(s, pos, std::string::npos);
    s = std::move(out);
}

// Decodes one code point of valid UTF-8 at s[i]; advances i.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
    if (i + static_cast<std::size_t>(len) > s.size()) len = 1;  // defensive; input is valid UTF-8
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0x3f);
    i += static_cast<std::size_t>(len);
    return cp;
}

// Characters shown as \u{..}: controls, and the invisible formatting,
// separator and non-character code points a reader could not see.
bool is_unprintable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) return true;
    if (cp == 0xad) return true;
    if (cp >= 0x200b && cp <= 0x200f) return true;
    if (cp >= 0x2028 && cp <= 0x202e) return true;
    if (cp >= 0x2060 && cp <= 0x2064) return true;
    if (cp >= 0x2066 && cp <= 0x206f) return true;
    if (cp == 0xfeff) return true;
    if (cp >= 0xfff9 && cp <= 0xfffb) return true;
    if ((cp & 0xfffe) == 0xfffe) return true;
    if (cp >= 0xfdd0 && cp <= 0xfdef) return true;
    if (cp >= 0xe000 && cp <= 0xf8ff) return true;      // private use
    if (cp >= 0xf0000) return true;                     // private use planes
    if (cp >= 0xe0000 && cp <= 0xe007f) return true;    // tags
    return false;
}

}  // namespace

// Escaped in this order, unescaped in the reverse one.
constexpr std::pair<std::string_view, std::string_view> kEscapes[] = {
    {"%", "%25"}, {";", "%3B"}, {"=", "%3D"}, {"|", "%7C"}};

std::string escape_token(std::string_view text) {
    std::string s(text);
    for (const auto& [plain, escaped] : kEscapes) replace_all(s, plain, escaped);
    return s;
}

std::string unescape_token(std::string_view text) {
    std::string s(text);
    for (auto it = std::rbegin(kEscapes); it != std::rend(kEscapes); ++it) replace_all(s, it->second, it->first);
    return s;
}

std::string with_params(std::string prefix, const ParamMap& map) {
    if (map.empty()) return prefix;
    prefix.push_back('|');
    prefix += map.token();
    return prefix;
}

std::optional<OpTokenParts> parse_op_token(std::string_view text) {
    std::size_t bar1 = text.find('|');
    std::string_view first = text.substr(0, bar1);
    if (first != "op" && first != "red") return std::nullopt;
    if (bar1 == std::string_view::npos) return std::nullopt;
    std::string_view rest = text.substr(bar1 + 1);
    std::size_t bar2 = rest.find('|');
    OpTokenParts parts;
    parts.kind = std::string(first);
    parts.name = unescape_token(rest.substr(0, bar2));
    if (bar2 != std::string_view::npos) {
        auto params = ParamMap::from_token(rest.substr(bar2 + 1));
        if (!params) return std::nullopt;
        parts.params = std::move(*params);
    }
    return parts;
}

std::string display_string(std::string_view text) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t cp = next_code_point(text, i);
        switch (cp) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (is_unprintable(cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            out.append(text.substr(start, i - start));
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace dagloom
