#include "graph/param.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "graph/token.h"

namespace dagloom {

uint64_t canonical_float_bits(double value) {
    if (std::isnan(value)) return kCanonicalNanBits;
    return std::bit_cast<uint64_t>(value);
}

bool operator==(const ParamValue& a, const ParamValue& b) {
    if (a.v.index() != b.v.index()) return false;
    switch (a.tag()) {
        case ParamValue::Tag::Int: return a.as_int() == b.as_int();
        case ParamValue::Tag::Float: return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
        case ParamValue::Tag::Bool: return a.as_bool() == b.as_bool();
        case ParamValue::Tag::Str: return a.as_str() == b.as_str();
    }
    return false;
}

bool same_bits(const ParamMap& a, const ParamMap& b) {
    if (!(a == b)) return false;
    // Equal lists differ in their bits only where both hold a NaN.
    for (std::size_t i = 0; i < a.entries_.size(); ++i) {
        const ParamValue& x = a.entries_[i].second;
        if (x.tag() == ParamValue::Tag::Float &&
            std::bit_cast<uint64_t>(x.as_float()) != std::bit_cast<uint64_t>(b.entries_[i].second.as_float()))
            return false;
    }
    return true;
}

namespace {

std::string hex16(uint64_t bits) {
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = digits[bits & 0xf];
        bits >>= 4;
    }
    return out;
}

// Shortest round-trip digits, written positionally (no exponent).
std::string display_float(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    if (x == 0) return std::signbit(x) ? "-0" : "0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out.push_back('-');
        pos = 1;
    }
    std::size_t e = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    int exp = std::stoi(sci.substr(e + 1));
    // value = 0.d1d2d3... * 10^(exp+1); point after (exp + 1) digits.
    int point = exp + 1;
    int n = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out.push_back('.');
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

// All of `s` as a number in `base`, within T's range.
template <class T>
bool parse_whole(std::string_view s, T& out, int base) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return ec == std::errc{} && end == s.data() + s.size();
}

// An optional sign, then decimal digits.
bool parse_i64(std::string_view s, int64_t& out) {
    if (!s.empty() && s[0] == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s[0] == '-') return false;
    }
    return parse_whole(s, out, 10);
}

// An optional '+', then hex digits of either case.
bool parse_hex_u64(std::string_view s, uint64_t& out) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    return parse_whole(s, out, 16);
}

}  // namespace

std::string ParamValue::token() const {
    // Appending to the tag letter, rather than `"i" + text`, sidesteps a
    // spurious -Wrestrict from g++ 12 at -O3.
    std::string out(1, "ifbs"[static_cast<int>(tag())]);
    switch (tag()) {
        case Tag::Int: return out.append(std::to_string(as_int()));
        case Tag::Float: return out.append(hex16(canonical_float_bits(as_float())));
        case Tag::Bool: return out.append(as_bool() ? "true" : "false");
        case Tag::Str: return out.append(escape_token(as_str()));
    }
    return {};
}

std::string ParamValue::display() const {
    switch (tag()) {
        case Tag::Int: return std::to_string(as_int());
        case Tag::Float: return display_float(as_float());
        case Tag::Bool: return as_bool() ? "true" : "false";
        case Tag::Str: return display_string(as_str());
    }
    return {};
}

ParamMap ParamMap::make(std::vector<Entry> entries) {
    auto by_key = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    if (entries.size() <= 8) {
        // Insertion sort: stable, and no temporary buffer for the usual few entries.
        for (std::size_t i = 1; i < entries.size(); ++i)
            for (std::size_t j = i; j > 0 && by_key(entries[j], entries[j - 1]); --j) std::swap(entries[j], entries[j - 1]);
    } else {
        std::stable_sort(entries.begin(), entries.end(), by_key);
    }
    ParamMap m;
    m.entries_ = std::move(entries);
    return m;
}

std::string ParamMap::token() const {
    std::string out;
    for (const auto& [key, value] : entries_)
        out.append(out.empty() ? "" : ";").append(escape_token(key)).append("=").append(value.token());
    return out;
}

std::optional<ParamMap> ParamMap::from_token(std::string_view text) {
    if (text.empty()) return ParamMap{};
    std::vector<Entry> entries;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(';', start);
        std::string_view part = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        std::size_t eq = part.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        std::string key = unescape_token(part.substr(0, eq));
        std::string_view value = part.substr(eq + 1);
        if (value.empty()) return std::nullopt;
        char letter = value[0];
        std::string_view rest = value.substr(1);
        switch (letter) {
            case 'i': {
                int64_t v;
                if (!parse_i64(rest, v)) return std::nullopt;
                entries.emplace_back(std::move(key), ParamValue::Int(v));
                break;
            }
            case 'f': {
                uint64_t bits;
                if (!parse_hex_u64(rest, bits)) return std::nullopt;
                entries.emplace_back(std::move(key), ParamValue::Float(std::bit_cast<double>(bits)));
                break;
            }
            case 'b':
                if (rest == "true") entries.emplace_back(std::move(key), ParamValue::Bool(true));
                else if (rest == "false") entries.emplace_back(std::move(key), ParamValue::Bool(false));
                else return std::nullopt;
                break;
            case 's': entries.emplace_back(std::move(key), ParamValue::Str(unescape_token(rest))); break;
            default: return std::nullopt;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return ParamMap::make(std::move(entries));
}

std::string ParamMap::display() const {
    std::string out = "{";
    for (const auto& [key, value] : entries_)
        out.append(out.size() > 1 ? ", " : "").append(key).append("=").append(value.display());
    return out.append("}");
}

}  // namespace dagloom
