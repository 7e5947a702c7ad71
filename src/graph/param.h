// Parameter values and parameter lists: the named attributes of a node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dagloom {

// The one NaN every float is folded to before it is compared, hashed or
// written as a token, so all NaNs are one value.
inline constexpr uint64_t kCanonicalNanBits = 0x7ff8000000000000ULL;

// Bit pattern of a double with every NaN replaced by the canonical NaN.
uint64_t canonical_float_bits(double value);

struct ParamValue {
    enum class Tag : uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

    // Alternative order is the tag order.
    std::variant<int64_t, double, bool, std::string> v;

    static ParamValue Int(int64_t x) { return {std::variant<int64_t, double, bool, std::string>(std::in_place_index<0>, x)}; }
    static ParamValue Float(double x) { return {std::variant<int64_t, double, bool, std::string>(std::in_place_index<1>, x)}; }
    static ParamValue Bool(bool x) { return {std::variant<int64_t, double, bool, std::string>(std::in_place_index<2>, x)}; }
    static ParamValue Str(std::string x) { return {std::variant<int64_t, double, bool, std::string>(std::in_place_index<3>, std::move(x))}; }

    Tag tag() const { return static_cast<Tag>(v.index()); }
    int64_t as_int() const { return std::get<0>(v); }
    double as_float() const { return std::get<1>(v); }
    bool as_bool() const { return std::get<2>(v); }
    const std::string& as_str() const { return std::get<3>(v); }

    // Canonical text ("i-5", "f7ff8000000000000", "btrue", "sa%3Bb").
    std::string token() const;
    // Human-readable form used in DOT labels; never parsed.
    std::string display() const;

    // Floats compare by canonicalised bit pattern: NaN == NaN, 0.0 != -0.0,
    // and a float never equals an int.
    friend bool operator==(const ParamValue& a, const ParamValue& b);
};

// Parameter list kept sorted by key bytes (stable: duplicate keys keep the
// order they were given in; nothing is de-duplicated).
class ParamMap {
public:
    using Entry = std::pair<std::string, ParamValue>;

    ParamMap() = default;
    // The only constructor that takes entries: sorts them stably by key bytes.
    static ParamMap make(std::vector<Entry> entries);

    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }

    // Entries in map order as key=value tokens joined by ";"; "" when empty.
    std::string token() const;
    // Inverse of token(); nothing when the text is not a valid map token.
    static std::optional<ParamMap> from_token(std::string_view text);
    // "{k=v, k2=v2}" with display values; "{}" when empty.
    std::string display() const;

    friend bool operator==(const ParamMap& a, const ParamMap& b) { return a.entries_ == b.entries_; }
    // Equal and bit for bit the same: a NaN's payload counts. Lists equal as
    // keys may still differ in what a node hands back of them.
    friend bool same_bits(const ParamMap& a, const ParamMap& b);

private:
    std::vector<Entry> entries_;
};

}  // namespace dagloom
