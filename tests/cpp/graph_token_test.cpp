#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "graph/node_key.h"
#include "graph/param.h"
#include "graph/token.h"

using namespace dagloom;

namespace {

ParamMap pm(std::vector<ParamMap::Entry> e) { return ParamMap::make(std::move(e)); }

ParamMap add_identity_params(double scalar, const char* side) {
    return pm({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
}

}  // namespace

TEST(TokenNode, TokensOfEveryKind) {
    EXPECT_EQ(NodeKey::op("add", add_identity_params(0.0, "r"), {4}).token(), "op|add|scalar=f0000000000000000;side=sr");
    EXPECT_EQ(NodeKey::op("add", add_identity_params(0.0, "l"), {}).token(), "op|add|scalar=f0000000000000000;side=sl");
    EXPECT_EQ(NodeKey::op("mul", add_identity_params(1.0, "r"), {}).token(), "op|mul|scalar=f3ff0000000000000;side=sr");
    EXPECT_EQ(NodeKey::op("add", {}, {0, 1}).token(), "op|add");
    EXPECT_EQ(NodeKey::reduction("sum", {}, {0}).token(), "red|sum");
    EXPECT_EQ(NodeKey::source("x", {}).token(), "src|x");
    EXPECT_EQ(NodeKey::exchange({}, {0}).token(), "exch");
    EXPECT_EQ(NodeKey::exchange(pm({{"k", ParamValue::Int(2)}}), {0}).token(), "exch|k=i2");
    EXPECT_EQ(NodeKey::stage({0}, {StageOp{"op|a", {}}, StageOp{"op|b", {}}, StageOp{"op|c", {}}}).token(), "stage|3");
    EXPECT_EQ(NodeKey::op("a|b;c", pm({{"a=b", ParamValue::Int(1)}}), {}).token(), "op|a%7Cb%3Bc|a%3Db=i1");
    PayloadDescriptor d{"k", "h", "fw", "1", "io", std::nullopt};
    EXPECT_EQ(NodeKey::external(d, {}, {}).token(), "ext|k|h|fw|1|io|-");
    d.preprocessing_ref = "";
    EXPECT_EQ(NodeKey::external(d, pm({{"p", ParamValue::Bool(true)}}), {}).token(), "ext|k|h|fw|1|io||p=btrue");
}

TEST(TokenValue, ValueTokens) {
    EXPECT_EQ(ParamValue::Float(-0.0).token(), "f8000000000000000");
    EXPECT_EQ(ParamValue::Float(std::bit_cast<double>(0x7ff0000000000123ULL)).token(), "f7ff8000000000000");
    EXPECT_EQ(ParamValue::Float(-std::numeric_limits<double>::quiet_NaN()).token(), "f7ff8000000000000");
    EXPECT_EQ(ParamValue::Int(-5).token(), "i-5");
    EXPECT_EQ(ParamValue::Int(std::numeric_limits<int64_t>::min()).token(), "i-9223372036854775808");
    EXPECT_EQ(ParamValue::Bool(false).token(), "bfalse");
    EXPECT_EQ(ParamValue::Str("a;b").token(), "sa%3Bb");
}

TEST(TokenEscape, OrderAndInverse) {
    EXPECT_EQ(escape_token("%;"), "%25%3B");
    EXPECT_EQ(escape_token("a=b|c%"), "a%3Db%7Cc%25");
    EXPECT_EQ(unescape_token("%257C"), "%7C");
    EXPECT_EQ(unescape_token("%7c"), "%7c");
    EXPECT_EQ(unescape_token("%3D%3B%7C%25%zz"), "=;|%%zz");
    std::mt19937 rng(7);
    const char alphabet[] = "%;=|aB7C3D25";
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        int n = static_cast<int>(rng() % 12);
        for (int i = 0; i < n; ++i) s.push_back(alphabet[rng() % (sizeof alphabet - 1)]);
        ASSERT_EQ(unescape_token(escape_token(s)), s) << s;
    }
}

struct FromTokenCase {
    const char* text;
    bool valid;
    std::vector<ParamMap::Entry> expected;
};

class TokenFromToken : public ::testing::TestWithParam<FromTokenCase> {};

TEST_P(TokenFromToken, Parses) {
    const auto& c = GetParam();
    auto got = ParamMap::from_token(c.text);
    ASSERT_EQ(got.has_value(), c.valid) << c.text;
    if (c.valid) {
        EXPECT_EQ(*got, ParamMap::make(c.expected)) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenFromToken,
    ::testing::Values(FromTokenCase{"", true, {}}, FromTokenCase{"a=i1;", false, {}}, FromTokenCase{";a=i1", false, {}},
                      FromTokenCase{"a", false, {}}, FromTokenCase{"a=x1", false, {}},
                      FromTokenCase{"a=i+7", true, {{"a", ParamValue::Int(7)}}},
                      FromTokenCase{"a=i-9223372036854775808", true, {{"a", ParamValue::Int(INT64_MIN)}}},
                      FromTokenCase{"a=i9223372036854775808", false, {}}, FromTokenCase{"a=i", false, {}},
                      FromTokenCase{"a=i+", false, {}}, FromTokenCase{"a=i1 ", false, {}},
                      FromTokenCase{"a=f", false, {}},
                      FromTokenCase{"a=fFF", true, {{"a", ParamValue::Float(std::bit_cast<double>(uint64_t{255}))}}},
                      FromTokenCase{"a=f+0003ff0000000000000", true, {{"a", ParamValue::Float(1.0)}}},
                      FromTokenCase{"a=f10000000000000000", false, {}}, FromTokenCase{"a=f-1", false, {}},
                      FromTokenCase{"a=s", true, {{"a", ParamValue::Str("")}}},
                      FromTokenCase{"a=bTrue", false, {}}, FromTokenCase{"=bfalse", true, {{"", ParamValue::Bool(false)}}},
                      FromTokenCase{"a=sx=y", true, {{"a", ParamValue::Str("x=y")}}},
                      FromTokenCase{"b=i1;a=i2", true, {{"a", ParamValue::Int(2)}, {"b", ParamValue::Int(1)}}},
                      FromTokenCase{"k%3D=s%7C", true, {{"k=", ParamValue::Str("|")}}}));

TEST(TokenFromToken, RandomRoundTrip) {
    std::mt19937_64 rng(11);
    const char* keys[] = {"a", "b", "a;", "=", "%x", "", "ü"};
    for (int round = 0; round < 1000; ++round) {
        std::vector<ParamMap::Entry> e;
        int n = static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) {
            std::string key = keys[rng() % 7];
            switch (rng() % 4) {
                case 0: e.emplace_back(key, ParamValue::Int(static_cast<int64_t>(rng()))); break;
                case 1: e.emplace_back(key, ParamValue::Float(std::bit_cast<double>(rng()))); break;
                case 2: e.emplace_back(key, ParamValue::Bool(rng() & 1)); break;
                default: e.emplace_back(key, ParamValue::Str(std::string(keys[rng() % 7]) + "|;")); break;
            }
        }
        ParamMap m = ParamMap::make(e);
        auto back = ParamMap::from_token(m.token());
        ASSERT_TRUE(back.has_value()) << m.token();
        ASSERT_EQ(*back, m) << m.token();
        ASSERT_EQ(back->token(), m.token());
    }
}

TEST(TokenParseOp, Forms) {
    auto a = parse_op_token("op|add");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->kind, "op");
    EXPECT_EQ(a->name, "add");
    EXPECT_TRUE(a->params.empty());
    auto b = parse_op_token("red|sum|");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->kind, "red");
    EXPECT_TRUE(b->params.empty());
    auto c = parse_op_token("op|a%7Cb|k=i1|x");
    EXPECT_FALSE(c);  // the third part keeps the extra "|" and is then no map
    auto d = parse_op_token("op|a%7Cb|k=sx");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "a|b");
    EXPECT_EQ(d->params, ParamMap::make({{"k", ParamValue::Str("x")}}));
    EXPECT_FALSE(parse_op_token("src|x"));
    EXPECT_FALSE(parse_op_token("op"));
    EXPECT_FALSE(parse_op_token("op|add|bad"));
}

TEST(TokenDisplay, Floats) {
    EXPECT_EQ(ParamValue::Float(2.0).display(), "2");
    EXPECT_EQ(ParamValue::Float(0.5).display(), "0.5");
    EXPECT_EQ(ParamValue::Float(1e21).display(), "1000000000000000000000");
    EXPECT_EQ(ParamValue::Float(1e-7).display(), "0.0000001");
    EXPECT_EQ(ParamValue::Float(-0.0).display(), "-0");
    EXPECT_EQ(ParamValue::Float(0.0).display(), "0");
    EXPECT_EQ(ParamValue::Float(-1.25).display(), "-1.25");
    EXPECT_EQ(ParamValue::Float(123.456).display(), "123.456");
    EXPECT_EQ(ParamValue::Float(0.1 + 0.2).display(), "0.30000000000000004");
    EXPECT_EQ(ParamValue::Float(std::nan("")).display(), "NaN");
    EXPECT_EQ(ParamValue::Float(INFINITY).display(), "inf");
    EXPECT_EQ(ParamValue::Float(-INFINITY).display(), "-inf");
    EXPECT_EQ(ParamValue::Float(5e-324).display().size(), 2 + 323 + 1u);
}

TEST(TokenDisplay, StringsAndMaps) {
    EXPECT_EQ(ParamValue::Str("r").display(), "\"r\"");
    EXPECT_EQ(ParamValue::Str(std::string("a\\\"\t\r\n\0'b", 9)).display(), "\"a\\\\\\\"\\t\\r\\n\\0'b\"");
    EXPECT_EQ(ParamValue::Str("\x01\x7f").display(), "\"\\u{1}\\u{7f}\"");
    EXPECT_EQ(ParamValue::Str("h\xc3\xa9").display(), "\"h\xc3\xa9\"");
    EXPECT_EQ(add_identity_params(0.0, "r").display(), "{scalar=0, side=\"r\"}");
    EXPECT_EQ(ParamMap().display(), "{}");
    EXPECT_EQ(ParamMap::make({{"k;", ParamValue::Int(-1)}, {"b", ParamValue::Bool(true)}}).display(), "{b=true, k;=-1}");
}
