// Reading IR blobs assembled byte by byte, independent of the writer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.h"
#include "blob/reader.h"
#include "blob/utf8.h"
#include "blob/writer.h"
#include "store_testing.h"

using namespace dagloom;

namespace {

// Little-endian blob assembler.
struct Bytes {
    std::vector<uint8_t> b;

    Bytes& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Bytes& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& u64(uint64_t v) {
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& str(std::string_view s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }
    // Magic and node count.
    Bytes& header(uint32_t nodes) { return raw("DIR1").u32(nodes); }
    Bytes& source(std::string_view name) { return u8(0).str(name).u32(0); }
    Bytes& op(std::string_view name, std::vector<uint64_t> in) { return u8(1).str(name).u32(0).ids(in); }
    Bytes& ids(const std::vector<uint64_t>& in) {
        u32(static_cast<uint32_t>(in.size()));
        for (uint64_t id : in) u64(id);
        return *this;
    }
    Bytes& outputs(const std::vector<uint64_t>& out) { return ids(out); }
};

std::span<const uint8_t> span_of(const Bytes& bytes) { return bytes.b; }

BlobError read_error(const Bytes& bytes) {
    auto r = deserialize(span_of(bytes));
    if (r.ok()) {
        ADD_FAILURE() << "blob was accepted";
        return BlobError::truncated();
    }
    return r.error();
}

std::vector<NodeKey> nodes_of(const GraphStore& s) { return snapshot(s).nodes; }

// ---------------------------------------------------------------------------
// Every error kind, with its message and the order in which checks run.

struct ErrorCase {
    const char* name;
    Bytes blob;
    std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class BlobReaderError : public testing::TestWithParam<ErrorCase> {};

TEST_P(BlobReaderError, ReportsTheFirstFault) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(read_error(c.blob).message(), c.message);
}

const std::string kTruncated = "truncated dagloom IR blob";
const std::string kBadMagic = "not a dagloom IR blob (bad magic/version)";
const std::string kBadUtf8 = "invalid utf-8 in dagloom IR blob";

// A stage record at position 1 with one input (node 0) and one member
// whose single reference is (tag, index).
Bytes stage_with_ref(uint8_t tag, uint32_t index) {
    Bytes b;
    b.header(2).source("x").u8(4).ids({0}).u32(1).str("op|neg").u32(1).u8(tag).u32(index).outputs({});
    return b;
}

std::vector<ErrorCase> error_cases() {
    std::vector<ErrorCase> cases;
    auto add = [&](const char* name, Bytes b, std::string msg) { cases.push_back({name, std::move(b), std::move(msg)}); };

    add("Empty", Bytes{}, kTruncated);
    add("ThreeBytesOfMagic", Bytes{}.raw("DIR"), kTruncated);
    add("ThreeOtherBytes", Bytes{}.raw("xyz"), kTruncated);
    add("WrongFourBytes", Bytes{}.raw("DIR2"), kBadMagic);
    add("WrongMagicBeforeLength", Bytes{}.raw("dir1").u32(0).u32(0), kBadMagic);
    add("MagicPlusThree", Bytes{}.raw("DIR1").u8(0).u8(0).u8(0), kTruncated);
    add("NoOutputCount", Bytes{}.header(0), kTruncated);
    add("NodeTag6", Bytes{}.header(1).u8(6), "invalid node tag 6");
    add("NodeTag255", Bytes{}.header(1).u8(255), "invalid node tag 255");
    add("MissingNodeTag", Bytes{}.header(1), kTruncated);
    add("ParamTag4", Bytes{}.header(1).u8(0).str("x").u32(1).str("k").u8(4).u64(0).outputs({}), "invalid param tag 4");
    add("MissingParamTag", Bytes{}.header(1).u8(0).str("x").u32(1).str("k"), kTruncated);
    add("ShortIntValue", Bytes{}.header(1).u8(0).str("x").u32(1).str("k").u8(0).u32(0), kTruncated);
    add("MissingBoolByte", Bytes{}.header(1).u8(0).str("x").u32(1).str("k").u8(2), kTruncated);
    add("StageRefTag2", stage_with_ref(2, 0), "invalid stage-ref tag 2");
    add("ShortStageRef", Bytes{}.header(2).source("x").u8(4).ids({0}).u32(1).str("op|neg").u32(1).u8(7).u8(0),
        kTruncated);
    add("BadUtf8Name", Bytes{}.header(1).source("\xff").outputs({}), kBadUtf8);
    add("BadUtf8ParamKey", Bytes{}.header(1).u8(0).str("x").u32(1).str("\xc0\x80").u8(2).u8(1).outputs({}), kBadUtf8);
    add("BadUtf8StrValue", Bytes{}.header(1).u8(0).str("x").u32(1).str("k").u8(3).str("\xed\xa0\x80").outputs({}),
        kBadUtf8);
    add("BadUtf8Descriptor",
        Bytes{}.header(1).u8(3).str("model").str("h").str("torch").str("\xf4\x90\x80\x80").str("s").u8(0).u32(0).ids({})
            .outputs({}),
        kBadUtf8);
    add("BadUtf8StageOp", Bytes{}.header(2).source("x").u8(4).ids({0}).u32(1).str("op|\x80").u32(0).outputs({}),
        kBadUtf8);
    // The name's encoding is checked before the later bad parameter tag is read.
    add("Utf8BeforeTag", Bytes{}.header(1).u8(0).str("\xff").u32(1).str("k").u8(9), kBadUtf8);
    add("StringLongerThanBlob", Bytes{}.header(1).u8(0).u32(5).raw("abc"), kTruncated);
    add("OpReadsItsOwnPosition", Bytes{}.header(1).op("f", {0}).outputs({}), "node reference 0 out of range");
    add("OpReadsLaterPosition", Bytes{}.header(2).source("x").op("f", {0, 7}).outputs({}),
        "node reference 7 out of range");
    // An id is checked as it is read, before the list runs out of bytes.
    add("BadIdBeforeTruncation", Bytes{}.header(2).source("x").u8(1).str("f").u32(0).u32(3).u64(9), "node reference 9 out of range");
    add("OutputEqualToNodeCount", Bytes{}.header(1).source("x").outputs({1}), "node reference 1 out of range");
    add("OutputTruncated", Bytes{}.header(1).source("x").u32(1).u32(0), kTruncated);
    add("StageInputOutOfRange", stage_with_ref(0, 1), "node reference 1 out of range");
    add("StageMemberNotEarlier", stage_with_ref(1, 0), "node reference 0 out of range");
    add("MissingPresenceByte", Bytes{}.header(1).u8(3).str("a").str("b").str("c").str("d").str("e"), kTruncated);
    add("MissingMemberCount", Bytes{}.header(1).u8(4).ids({}), kTruncated);
    // Counts that promise more than the rest of the blob holds.
    add("HugeNodeCount", Bytes{}.header(0xffffffff).source("x"), kTruncated);
    add("HugeParamCount", Bytes{}.header(1).u8(0).str("x").u32(0xffffffff).str("k").u8(2).u8(1), kTruncated);
    add("HugeInputCount", Bytes{}.header(2).source("x").u8(1).str("f").u32(0).u32(0xffffffff).u64(0), kTruncated);
    add("HugeMemberCount", Bytes{}.header(1).u8(4).ids({}).u32(0xffffffff).str("op|a").u32(0), kTruncated);
    add("HugeRefCount", Bytes{}.header(2).source("x").u8(4).ids({0}).u32(1).str("op|a").u32(0xffffffff).u8(0).u32(0),
        kTruncated);
    add("HugeOutputCount", Bytes{}.header(1).source("x").u32(0xffffffff).u64(0), kTruncated);
    add("HugeStringLength", Bytes{}.header(1).u8(0).u32(0xffffffff).raw("x"), kTruncated);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, BlobReaderError, testing::ValuesIn(error_cases()),
                         [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Accepted inputs.

TEST(BlobReader, EmptyBlobReadsToEmptyStore) {
    auto s = deserialize(span_of(Bytes{}.header(0).outputs({})));
    ASSERT_TRUE(s.ok()) << s.error().message();
    EXPECT_EQ((*s)->node_count(), 0u);
    EXPECT_TRUE((*s)->outputs().empty());
}

TEST(BlobReader, TrailingBytesAreIgnored) {
    Bytes b;
    b.header(1).source("x").outputs({0}).raw("\xff\xff garbage DIR1");
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    EXPECT_EQ((*s)->node_count(), 1u);
    EXPECT_EQ((*s)->outputs(), std::vector<NodeId>{0});
}

TEST(BlobReader, LooseBytesReadAsTheirCanonicalMeaning) {
    // A bool byte other than 0 is true; a presence byte other than 0 is present.
    Bytes b;
    b.header(2).u8(0).str("x").u32(1).str("flag").u8(2).u8(7);
    b.u8(3).str("k").str("h").str("f").str("v").str("io").u8(0x80).str("").u32(0).ids({0});
    b.outputs({1, 1, 0});
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    auto nodes = nodes_of(**s);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0], NodeKey::source("x", ParamMap::make({{"flag", ParamValue::Bool(true)}})));
    ASSERT_TRUE(nodes[1].descriptor().preprocessing_ref.has_value());
    EXPECT_EQ(*nodes[1].descriptor().preprocessing_ref, "");
    // Repeated outputs are marked once, in first-seen order.
    EXPECT_EQ((*s)->outputs(), (std::vector<NodeId>{1, 0}));
}

TEST(BlobReader, ParamsComeBackInMapOrder) {
    Bytes b;
    b.header(1).u8(0).str("x").u32(4);
    b.str("b").u8(0).u64(1).str("a").u8(0).u64(2).str("k").u8(0).u64(3).str("k").u8(0).u64(4);
    b.outputs({});
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    const auto nodes = nodes_of(**s);
    const auto& entries = nodes[0].params().entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].first, "a");
    EXPECT_EQ(entries[1].first, "b");
    // Duplicate keys keep their blob order.
    EXPECT_EQ(entries[2].second, ParamValue::Int(3));
    EXPECT_EQ(entries[3].second, ParamValue::Int(4));
}

TEST(BlobReader, StageReferencesWithinBounds) {
    Bytes b;
    b.header(3).source("x").source("y");
    b.u8(4).ids({0, 1, 1}).u32(2);
    b.str("op|add").u32(2).u8(0).u32(2).u8(0).u32(0);  // last input, first input
    b.str("op|neg").u32(1).u8(1).u32(0);                 // the first member
    b.outputs({2});
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    NodeKey expected = NodeKey::stage({0, 1, 1}, {StageOp{"op|add", {StageRef::Input(2), StageRef::Input(0)}},
                                                  StageOp{"op|neg", {StageRef::Member(0)}}});
    EXPECT_EQ(nodes_of(**s)[2], expected);
}

// ---------------------------------------------------------------------------
// Duplicate records: references and outputs name record positions, so
// they are resolved through the node each position became.

struct DuplicateCase {
    const char* name;
    // Appends the record at position 4; it reads position 3 ("z", node 2).
    void (*reader_record)(Bytes&);
    NodeKey expected;
};

void PrintTo(const DuplicateCase& c, std::ostream* os) { *os << c.name; }

class BlobReaderDuplicates : public testing::TestWithParam<DuplicateCase> {};

TEST_P(BlobReaderDuplicates, ReferencesFollowThePositionTable) {
    // Positions: 0 x, 1 x again (folds into node 0), 2 y, 3 z, 4 the reader.
    Bytes b;
    b.header(5).source("x").source("x").source("y").source("z");
    GetParam().reader_record(b);
    b.outputs({4, 1, 3, 0});
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    auto nodes = nodes_of(**s);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0], NodeKey::source("x", {}));
    EXPECT_EQ(nodes[1], NodeKey::source("y", {}));
    EXPECT_EQ(nodes[2], NodeKey::source("z", {}));
    EXPECT_EQ(nodes[3], GetParam().expected);
    // Output positions 4, 1, 3, 0 are nodes 3, 0, 2, 0; node 0 is marked once.
    EXPECT_EQ((*s)->outputs(), (std::vector<NodeId>{3, 0, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BlobReaderDuplicates,
    testing::Values(
        DuplicateCase{"Op", [](Bytes& b) { b.op("f", {3, 1}); }, NodeKey::op("f", {}, {2, 0})},
        DuplicateCase{"Reduction", [](Bytes& b) { b.u8(2).str("sum").u32(0).ids({3}); },
                      NodeKey::reduction("sum", {}, {2})},
        DuplicateCase{"External",
                      [](Bytes& b) { b.u8(3).str("k").str("h").str("f").str("v").str("io").u8(0).u32(0).ids({3}); },
                      NodeKey::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::nullopt}, {}, {2})},
        DuplicateCase{"Stage",
                      [](Bytes& b) { b.u8(4).ids({3, 2}).u32(1).str("op|add").u32(2).u8(0).u32(0).u8(0).u32(1); },
                      NodeKey::stage({2, 1}, {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(1)}}})},
        DuplicateCase{"Exchange", [](Bytes& b) { b.u8(5).u32(0).ids({3}); }, NodeKey::exchange({}, {2})}),
    [](const testing::TestParamInfo<DuplicateCase>& info) { return std::string(info.param.name); });

// A repeat found only once every record has been read: of each kind, after
// records with parameter lists, and followed by a record that reads it.
struct LateRepeatCase {
    const char* name;
    void (*record)(Bytes&);  // a record reading positions 0 and 1
    NodeKey expected;        // that record as node 2
};

void PrintTo(const LateRepeatCase& c, std::ostream* os) { *os << c.name; }

class BlobReaderLateRepeat : public testing::TestWithParam<LateRepeatCase> {};

TEST_P(BlobReaderLateRepeat, FoldsIntoTheFirstAndLaterReferencesFollow) {
    const ParamMap k1 = ParamMap::make({{"k", ParamValue::Int(1)}});
    Bytes b;
    b.header(6).u8(0).str("x").u32(1).str("k").u8(0).u64(1).source("y");
    GetParam().record(b);
    b.u8(1).str("g").u32(1).str("k").u8(0).u64(1).ids({2});
    GetParam().record(b);
    b.op("h", {4, 3}).outputs({5, 4});
    auto s = deserialize(span_of(b));
    ASSERT_TRUE(s.ok()) << s.error().message();
    const std::vector<NodeKey> want{NodeKey::source("x", k1), NodeKey::source("y", {}), GetParam().expected,
                                    NodeKey::op("g", k1, {2}), NodeKey::op("h", {}, {2, 3})};
    EXPECT_EQ(nodes_of(**s), want);
    EXPECT_EQ((*s)->outputs(), (std::vector<NodeId>{4, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BlobReaderLateRepeat,
    testing::Values(
        LateRepeatCase{"OpWithParams", [](Bytes& b) { b.u8(1).str("f").u32(1).str("k").u8(0).u64(1).ids({0, 1}); },
                       NodeKey::op("f", ParamMap::make({{"k", ParamValue::Int(1)}}), {0, 1})},
        LateRepeatCase{"Reduction", [](Bytes& b) { b.u8(2).str("sum").u32(0).ids({1, 0}); },
                       NodeKey::reduction("sum", {}, {1, 0})},
        LateRepeatCase{"External",
                       [](Bytes& b) { b.u8(3).str("k").str("h").str("f").str("v").str("io").u8(1).str("").u32(0).ids({0, 1}); },
                       NodeKey::external(PayloadDescriptor{"k", "h", "f", "v", "io", std::string()}, {}, {0, 1})},
        LateRepeatCase{"Stage",
                       [](Bytes& b) { b.u8(4).ids({0, 1}).u32(1).str("op|add").u32(2).u8(0).u32(1).u8(0).u32(0); },
                       NodeKey::stage({0, 1}, {StageOp{"op|add", {StageRef::Input(1), StageRef::Input(0)}}})},
        LateRepeatCase{"Exchange", [](Bytes& b) { b.u8(5).u32(1).str("k").u8(0).u64(1).ids({0, 1}); },
                       NodeKey::exchange(ParamMap::make({{"k", ParamValue::Int(1)}}), {0, 1})}),
    [](const testing::TestParamInfo<LateRepeatCase>& info) { return std::string(info.param.name); });

TEST(BlobReaderDuplicatesChecks, ReferencesAreCheckedAgainstThePosition) {
    // Position 3 exists as a record even though the store holds only 3
    // nodes when it is read; position 4 does not exist yet.
    Bytes ok;
    ok.header(5).source("x").source("x").source("y").source("z").op("f", {3}).outputs({4});
    EXPECT_TRUE(deserialize(span_of(ok)).ok());
    Bytes bad;
    bad.header(5).source("x").source("x").source("y").source("z").op("f", {4}).outputs({});
    EXPECT_EQ(read_error(bad), BlobError::bad_node_ref(4));
    // Outputs are checked against the record count, not the node count.
    Bytes out;
    out.header(2).source("x").source("x").outputs({1, 2});
    EXPECT_EQ(read_error(out), BlobError::bad_node_ref(2));
}

// ---------------------------------------------------------------------------
// The cursor's own fields.

TEST(BlobReaderCursor, AdvancesPastEachField) {
    Bytes b;
    b.raw("DIR1").u32(0).str("héllo").u32(1).str("k").u8(3).str("v").ids({0, 2}).u8(9);
    Reader r{span_of(b)};
    EXPECT_EQ(r.pos, 8u);
    auto s = r.string_view();
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(*s, "héllo");
    EXPECT_EQ(r.pos, 8u + 4 + 6);
    auto p = r.params();
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(*p, ParamMap::make({{"k", ParamValue::Str("v")}}));
    std::vector<NodeId> ids{7};
    ASSERT_TRUE(r.inputs_into(3, ids).ok());
    EXPECT_EQ(ids, (std::vector<NodeId>{0, 2}));
    EXPECT_EQ(r.remaining(), 1u);
    Reader again{span_of(b), r.pos - 20};  // back at the id list
    EXPECT_EQ(again.inputs_into(2, ids).error(), BlobError::bad_node_ref(2));
}

// ---------------------------------------------------------------------------
// Strict UTF-8.

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class BlobUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(BlobUtf8, ClassifiesTheSequence) {
    const Utf8Case& c = GetParam();
    EXPECT_EQ(is_valid_utf8(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.valid);
    // Through the reader, inside a blob.
    Bytes b;
    b.header(1).source(c.bytes).outputs({});
    auto s = deserialize(span_of(b));
    EXPECT_EQ(s.ok(), c.valid);
    if (!c.valid) {
        EXPECT_EQ(s.error().kind, BlobError::Kind::BadUtf8);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, BlobUtf8,
    testing::Values(Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "plain ascii text over eight bytes", true},
                    Utf8Case{"Nul", std::string("a\0b", 3), true}, Utf8Case{"TwoByteMin", "\xc2\x80", true},
                    Utf8Case{"TwoByteMax", "\xdf\xbf", true}, Utf8Case{"ThreeByteMin", "\xe0\xa0\x80", true},
                    Utf8Case{"BeforeSurrogates", "\xed\x9f\xbf", true}, Utf8Case{"AfterSurrogates", "\xee\x80\x80", true},
                    Utf8Case{"Bmp max", "\xef\xbf\xbf", true}, Utf8Case{"FourByteMin", "\xf0\x90\x80\x80", true},
                    Utf8Case{"MaxScalar", "\xf4\x8f\xbf\xbf", true},
                    Utf8Case{"MixedAfterAsciiRun", "abcdefgh\xc3\xa9ijklmnop\xf0\x9f\x98\x80", true},
                    Utf8Case{"Overlong2C0", "\xc0\x80", false}, Utf8Case{"Overlong2C1", "\xc1\xbf", false},
                    Utf8Case{"Overlong3", "\xe0\x9f\xbf", false}, Utf8Case{"Overlong4", "\xf0\x8f\xbf\xbf", false},
                    Utf8Case{"SurrogateLow", "\xed\xa0\x80", false}, Utf8Case{"SurrogateHigh", "\xed\xbf\xbf", false},
                    Utf8Case{"AboveMax", "\xf4\x90\x80\x80", false}, Utf8Case{"LeadF5", "\xf5\x80\x80\x80", false},
                    Utf8Case{"LeadFF", "\xff", false}, Utf8Case{"LoneContinuation", "\x80", false},
                    Utf8Case{"CutTwo", "\xc3", false}, Utf8Case{"CutThree", "\xe2\x82", false},
                    Utf8Case{"CutFour", "\xf0\x9f\x98", false}, Utf8Case{"BadThirdByte", "\xe2\x82\x41", false},
                    Utf8Case{"BadFourthByte", "\xf0\x9f\x98\xc0", false},
                    Utf8Case{"InvalidAfterAsciiRun", "abcdefgh\x80", false},
                    Utf8Case{"CutAtEightByteWindow", "abcdefg\xe2", false},
                    Utf8Case{"InvalidDeepInLongRun", std::string(37, 'a') + "\xed\xa0\x80" + std::string(9, 'b'), false}),
    [](const testing::TestParamInfo<Utf8Case>& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

// Decodes by computing each scalar value and checking its range and
// shortest length: a different construction from the validator's per-lead
// byte ranges.
bool reference_utf8(const uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        std::size_t len;
        uint32_t cp;
        if (c < 0x80) { len = 1; cp = c; }
        else if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

TEST(BlobUtf8Cut, ASequenceCutShortIsInvalidWhateverFollows) {
    // The byte after the cut is a fitting continuation, so a validator that
    // looks one byte too far would accept.
    for (std::string seq : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf"}) {
        const std::string padded = "abcdefgh" + seq;
        for (std::size_t cut = 1; cut < seq.size(); ++cut) {
            EXPECT_FALSE(is_valid_utf8(reinterpret_cast<const uint8_t*>(seq.data()), cut)) << seq.size() << "/" << cut;
            EXPECT_FALSE(is_valid_utf8(reinterpret_cast<const uint8_t*>(padded.data()), 8 + cut));
        }
        EXPECT_TRUE(is_valid_utf8(reinterpret_cast<const uint8_t*>(padded.data()), padded.size()));
    }
}

TEST(BlobUtf8Exhaustive, AgreesWithAScalarDecoder) {
    uint8_t buf[4];
    std::size_t disagreements = 0;
    auto check = [&](std::size_t n) {
        if (is_valid_utf8(buf, n) != reference_utf8(buf, n) && ++disagreements <= 5)
            ADD_FAILURE() << "disagree on " << n << " bytes starting " << std::hex << int(buf[0]) << " "
                          << int(buf[1]);
    };
    std::size_t valid3 = 0;
    for (int a = 0; a < 256; ++a) {
        buf[0] = static_cast<uint8_t>(a);
        check(1);
        for (int b = 0; b < 256; ++b) {
            buf[1] = static_cast<uint8_t>(b);
            check(2);
            for (int c = 0; c < 256; ++c) {
                buf[2] = static_cast<uint8_t>(c);
                check(3);
                if (a >= 0xE0 && is_valid_utf8(buf, 3)) ++valid3;
            }
        }
    }
    // Three-byte scalars: U+0800..U+FFFF less the 2048 surrogates.
    EXPECT_EQ(valid3, 0x10000u - 0x800u - 0x800u);
    // Four-byte sequences: every lead and second byte, with the later bytes
    // at the edges of the continuation range and just outside it.
    const uint8_t edges[] = {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF};
    for (int a = 0xC0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            for (uint8_t c : edges)
                for (uint8_t d : edges) {
                    buf[0] = static_cast<uint8_t>(a);
                    buf[1] = static_cast<uint8_t>(b);
                    buf[2] = c;
                    buf[3] = d;
                    check(4);
                }
    EXPECT_EQ(disagreements, 0u);
}

}  // namespace
