// The bytes the writer produces, and stores surviving a write and a read.
#include <gtest/gtest.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "blob/blob.h"
#include "blob/writer.h"
#include "store_testing.h"

using namespace dagloom;

namespace {

std::vector<uint8_t> hex(std::string_view text) {
    std::vector<uint8_t> out;
    int nibbles = 0;
    uint8_t byte = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else continue;
        byte = static_cast<uint8_t>(byte << 4 | v);
        if (++nibbles % 2 == 0) {
            out.push_back(byte);
            byte = 0;
        }
    }
    return out;
}

std::unique_ptr<GraphStore> build(const std::vector<NodeKey>& keys, const std::vector<NodeId>& outputs = {}) {
    auto s = std::make_unique<GraphStore>();
    for (const NodeKey& k : keys) {
        auto id = s->intern(k);
        if (!id.ok()) ADD_FAILURE() << id.error().message();
    }
    for (NodeId o : outputs) EXPECT_TRUE(s->mark_output(o).ok());
    return s;
}

std::vector<uint8_t> write(const GraphStore& s, const std::vector<NodeId>& outputs) {
    auto b = serialize_with(s, outputs);
    if (!b.ok()) {
        ADD_FAILURE() << b.error().message;
        return {};
    }
    return std::move(b).value();
}

double from_bits(uint64_t bits) { return std::bit_cast<double>(bits); }

PayloadDescriptor descriptor(std::optional<std::string> pref) {
    return PayloadDescriptor{"model", "sha256:ab", "torch", "2.1", "f32[8]", std::move(pref)};
}

NodeKey src(const char* name) { return NodeKey::source(name, {}); }

// ---------------------------------------------------------------------------
// Exact bytes.

TEST(BlobWriter, EmptyStoreIsTwelveBytes) {
    GraphStore s;
    const auto b = write(s, {});
    EXPECT_EQ(b, hex("44495231 00000000 00000000"));
    auto back = deserialize(b);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ((*back)->node_count(), 0u);
}

struct LayoutCase {
    const char* name;
    std::vector<NodeKey> keys;
    std::vector<NodeId> outputs;
    const char* bytes;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class BlobWriterLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(BlobWriterLayout, WritesTheRecordByteForByte) {
    auto s = build(GetParam().keys);
    EXPECT_EQ(write(*s, GetParam().outputs), hex(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Records, BlobWriterLayout,
    testing::Values(
        LayoutCase{"SingleSource", {src("x")}, {0}, "44495231 01000000 00 01000000 78 00000000 01000000 0000000000000000"},
        LayoutCase{"AllValueKinds",
                   {NodeKey::source("s", ParamMap::make({{"t", ParamValue::Str("\xc3\xa9")},
                                                         {"i", ParamValue::Int(-2)},
                                                         {"f", ParamValue::Float(-0.0)},
                                                         {"b", ParamValue::Bool(true)}}))},
                   {},
                   "44495231 01000000 00 01000000 73 04000000"
                   " 01000000 62 02 01"
                   " 01000000 66 01 0000000000000080"
                   " 01000000 69 00 feffffffffffffff"
                   " 01000000 74 03 02000000 c3a9"
                   " 00000000"},
        LayoutCase{"OpReadingOneNodeTwice",
                   {src("a"), NodeKey::op("f", {}, {0, 0})},
                   {},
                   "44495231 02000000 00 01000000 61 00000000"
                   " 01 01000000 66 00000000 02000000 0000000000000000 0000000000000000 00000000"},
        LayoutCase{"Reduction",
                   {src("a"), NodeKey::reduction("sum", ParamMap::make({{"ax", ParamValue::Int(1)}}), {0})},
                   {1},
                   "44495231 02000000 00 01000000 61 00000000"
                   " 02 03000000 73756d 01000000 02000000 6178 00 0100000000000000 01000000 0000000000000000"
                   " 01000000 0100000000000000"},
        LayoutCase{"ExternalAbsentAndEmptyRef",
                   {NodeKey::external(PayloadDescriptor{"k", "h", "f", "v", "s", std::nullopt}, {}, {}),
                    NodeKey::external(PayloadDescriptor{"k", "h", "f", "v", "s", ""}, {}, {0})},
                   {},
                   "44495231 02000000"
                   " 03 01000000 6b 01000000 68 01000000 66 01000000 76 01000000 73 00 00000000 00000000"
                   " 03 01000000 6b 01000000 68 01000000 66 01000000 76 01000000 73 01 00000000 00000000"
                   " 01000000 0000000000000000 00000000"},
        LayoutCase{"Stage",
                   {src("a"), NodeKey::stage({0}, {StageOp{"op|n", {StageRef::Input(0)}},
                                                   StageOp{"op|m", {StageRef::Member(0), StageRef::Input(0)}}})},
                   {},
                   "44495231 02000000 00 01000000 61 00000000"
                   " 04 01000000 0000000000000000 02000000"
                   " 04000000 6f707c6e 01000000 00 00000000"
                   " 04000000 6f707c6d 02000000 01 00000000 00 00000000"
                   " 00000000"},
        LayoutCase{"Exchange",
                   {src("a"), NodeKey::exchange(ParamMap::make({{"k", ParamValue::Bool(false)}}), {0})},
                   {},
                   "44495231 02000000 00 01000000 61 00000000"
                   " 05 01000000 01000000 6b 02 00 01000000 0000000000000000 00000000"},
        LayoutCase{"OutputsAsGivenWithRepeats",
                   {src("a"), src("b")},
                   {1, 1, 0},
                   "44495231 02000000 00 01000000 61 00000000 00 01000000 62 00000000"
                   " 03000000 0100000000000000 0100000000000000 0000000000000000"}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

TEST(BlobWriter, OutputMarksOfTheStoreAreNotConsulted) {
    auto s = build({src("a"), src("b")}, {1});
    const auto b = write(*s, {});
    EXPECT_EQ(std::vector<uint8_t>(b.end() - 4, b.end()), hex("00000000"));
}

// ---------------------------------------------------------------------------
// Values that do not fit the 32-bit fields.

TEST(BlobWriterPlanned, WritesTheNodesMeasuredEvenAfterTheStoreGrew) {
    auto s = build({src("a"), NodeKey::op("f", ParamMap::make({{"k", ParamValue::Str("v")}}), {0}), src("b")});
    const std::vector<NodeId> outputs{2, 0, 2};
    const std::vector<uint8_t> expected = write(*s, outputs);
    auto plan = plan_blob(*s, outputs);
    ASSERT_TRUE(plan.ok());
    EXPECT_EQ(plan->node_count, 3u);
    EXPECT_EQ(plan->size, expected.size());
    // Nodes added between the two steps are not part of this blob.
    ASSERT_TRUE(s->intern(NodeKey::op("g", {}, {1, 2})).ok());
    ASSERT_TRUE(s->intern(src("c")).ok());
    std::vector<uint8_t> out(plan->size + 1, 0xee);
    write_planned(*s, *plan, outputs, out.data());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), expected);
    EXPECT_EQ(out.back(), 0xee);  // nothing written past the measured size
}

TEST(BlobWriterPlanned, ReportsAnOversizedFieldBeforeAnythingIsWritten) {
    auto s = build({src("a"), NodeKey::stage({0}, {StageOp{"op|n", {StageRef::Member(uint64_t{1} << 32)}}})});
    auto plan = plan_blob(*s, {});
    ASSERT_FALSE(plan.ok());
    EXPECT_EQ(plan.error().message, too_large_message(Field32::RefIndex, uint64_t{1} << 32));
}

TEST(BlobWriterChecked, AcceptsTheLargestValueAndRejectsTheNext) {
    auto stage_ref = [](uint64_t index) {
        return build({src("a"), NodeKey::stage({0}, {StageOp{"op|n", {StageRef::Member(index)}}})});
    };
    auto fits = plan_blob(*stage_ref(UINT32_MAX), {});
    ASSERT_TRUE(fits.ok());
    auto too_big = plan_blob(*stage_ref(uint64_t{1} << 32), {});
    ASSERT_FALSE(too_big.ok());
    EXPECT_EQ(too_big.error().message,
              "stage reference index 4294967296 does not fit the IR blob's 32-bit index field");
    EXPECT_EQ(too_large_message(Field32::StringLength, uint64_t{1} << 32),
              "string of 4294967296 bytes does not fit the IR blob's 32-bit length field");
}

class BlobWriterFieldMessage : public testing::TestWithParam<Field32> {};

TEST_P(BlobWriterFieldMessage, NamesTheValueAndTheField) {
    const std::string message = too_large_message(GetParam(), UINT64_MAX);
    EXPECT_NE(message.find("18446744073709551615"), std::string::npos) << message;
    EXPECT_NE(message.find("32-bit"), std::string::npos) << message;
    // Each field has its own wording.
    for (Field32 other : {Field32::NodeCount, Field32::OutputCount, Field32::StringLength, Field32::ParamCount,
                          Field32::InputCount, Field32::MemberCount, Field32::RefCount, Field32::RefIndex})
        if (other != GetParam()) {
            EXPECT_NE(too_large_message(other, 7), too_large_message(GetParam(), 7));
        }
}

INSTANTIATE_TEST_SUITE_P(AllFields, BlobWriterFieldMessage,
                         testing::Values(Field32::NodeCount, Field32::OutputCount, Field32::StringLength,
                                         Field32::ParamCount, Field32::InputCount, Field32::MemberCount,
                                         Field32::RefCount, Field32::RefIndex));

TEST(BlobWriterChecked, StageReferenceIndexBeyond32BitsIsRefused) {
    for (StageRef ref : {StageRef::Input(uint64_t{1} << 32), StageRef::Member((uint64_t{1} << 32) + 5)}) {
        auto s = build({src("a"), NodeKey::stage({0}, {StageOp{"op|n", {ref}}})});
        auto r = serialize_with(*s, {});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, too_large_message(Field32::RefIndex, ref.index));
    }
    // The largest index that fits is written as is.
    auto fits = build({src("a"), NodeKey::stage({0}, {StageOp{"op|n", {StageRef::Member(UINT32_MAX)}}})});
    auto r = serialize_with(*fits, {});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::vector<uint8_t>(r->end() - 9, r->end() - 4), hex("01 ffffffff"));
}

// ---------------------------------------------------------------------------
// Round trips.

struct StoreCase {
    const char* name;
    std::vector<NodeKey> keys;
    std::vector<NodeId> outputs;  // marked in this order
};

void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.name; }

class BlobRoundTrip : public testing::TestWithParam<StoreCase> {
protected:
    void SetUp() override {
        store = build(GetParam().keys, GetParam().outputs);
        blob = write(*store, store->outputs());
        ASSERT_FALSE(blob.empty());
    }
    std::unique_ptr<GraphStore> store;
    std::vector<uint8_t> blob;
};

TEST_P(BlobRoundTrip, RebuildsTheSameStoreAndTheSameBytes) {
    auto back = deserialize(blob);
    ASSERT_TRUE(back.ok()) << back.error().message();
    Snapshot want = snapshot(*store);
    Snapshot got = snapshot(**back);
    EXPECT_EQ(got.nodes, want.nodes);
    EXPECT_EQ(got.outputs, want.outputs);
    EXPECT_EQ(write(**back, got.outputs), blob);
}

TEST_P(BlobRoundTrip, EveryProperPrefixIsTruncated) {
    for (std::size_t n = 0; n < blob.size(); ++n) {
        std::vector<uint8_t> prefix(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n));
        auto r = deserialize(prefix);
        ASSERT_FALSE(r.ok()) << "prefix of " << n << " bytes was accepted";
        ASSERT_EQ(r.error().kind, BlobError::Kind::Truncated) << n << ": " << r.error().message();
    }
}

TEST_P(BlobRoundTrip, TrailingBytesDoNotChangeTheStore) {
    std::vector<uint8_t> longer = blob;
    for (uint8_t b : hex("ff 00 44495231 07")) longer.push_back(b);
    auto back = deserialize(longer);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(write(**back, (*back)->outputs()), blob);
}

ParamMap all_value_kinds() {
    return ParamMap::make({{"nan", ParamValue::Float(from_bits(0x7ff4000000000abcull))},
                           {"negzero", ParamValue::Float(-0.0)},
                           {"inf", ParamValue::Float(std::numeric_limits<double>::infinity())},
                           {"min", ParamValue::Int(std::numeric_limits<int64_t>::min())},
                           {"yes", ParamValue::Bool(true)},
                           {"no", ParamValue::Bool(false)},
                           {"s", ParamValue::Str("a;b=c|d%\xe2\x82\xac")},
                           {"", ParamValue::Str("")},
                           {"dup", ParamValue::Int(2)},
                           {"dup", ParamValue::Int(1)}});
}

INSTANTIATE_TEST_SUITE_P(
    Stores, BlobRoundTrip,
    testing::Values(
        StoreCase{"Empty", {}, {}},
        StoreCase{"SingleSource", {src("x")}, {0}},
        StoreCase{"AllSixKinds",
                  {src("x"),
                   NodeKey::source("y", all_value_kinds()),
                   NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}}),
                               {0, 1}),
                   NodeKey::op("add", {}, {1, 0}),
                   NodeKey::reduction("sum", {}, {2}),
                   NodeKey::external(descriptor(std::nullopt), {}, {0}),
                   NodeKey::external(descriptor(""), {}, {0}),
                   NodeKey::external(descriptor("prep/v2"), all_value_kinds(), {5, 6}),
                   NodeKey::stage({0, 1, 1},
                                  {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(2)}},
                                   StageOp{"op|mul|scalar=f3ff0000000000000;side=sr", {StageRef::Member(0)}},
                                   StageOp{"red|sum", {StageRef::Member(1), StageRef::Member(0)}}}),
                   NodeKey::stage({}, {}),
                   NodeKey::exchange({}, {8}),
                   NodeKey::exchange(ParamMap::make({{"partitions", ParamValue::Int(4)}}), {8})},
                  {11, 4, 7}},
        StoreCase{"ZeroAndNegativeZeroAreDistinctNodes",
                  {NodeKey::source("c", ParamMap::make({{"v", ParamValue::Float(0.0)}})),
                   NodeKey::source("c", ParamMap::make({{"v", ParamValue::Float(-0.0)}}))},
                  {1, 0}},
        StoreCase{"UnicodeNames",
                  {src("\xce\xbb"), NodeKey::op("\xf0\x9f\x98\x80", {}, {0, 0, 0})},
                  {1}}),
    [](const testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

TEST(BlobRoundTripOutputs, RepeatsReadBackMarkedOnce) {
    auto s = build({src("a"), src("b"), src("c")});
    auto back = deserialize(write(*s, {2, 0, 2, 0}));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ((*back)->outputs(), (std::vector<NodeId>{2, 0}));
}

TEST(BlobRoundTripOutputs, EmptyPreprocessingRefStaysPresent) {
    auto s = build({NodeKey::external(descriptor(""), {}, {}), NodeKey::external(descriptor(std::nullopt), {}, {})});
    ASSERT_EQ(s->node_count(), 2u);
    auto back = deserialize(write(*s, {}));
    ASSERT_TRUE(back.ok());
    auto nodes = snapshot(**back).nodes;
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].descriptor().preprocessing_ref, std::optional<std::string>(""));
    EXPECT_EQ(nodes[1].descriptor().preprocessing_ref, std::nullopt);
}

// ---------------------------------------------------------------------------
// The fuzzing seeds and any input the fuzzer once crashed on: each must be
// read without harm, and whatever reads must write back stably.

TEST(BlobCorpus, EveryFileReadsSafelyAndRewritesStably) {
    const auto dir = std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus" / "blob";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t files = 0, accepted = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto first = deserialize(data);
        if (!first.ok()) continue;
        ++accepted;
        const auto once = write(**first, (*first)->outputs());
        auto second = deserialize(once);
        ASSERT_TRUE(second.ok()) << entry.path() << ": " << second.error().message();
        EXPECT_EQ(write(**second, (*second)->outputs()), once) << entry.path();
        EXPECT_EQ((*second)->node_count(), (*first)->node_count()) << entry.path();
    }
    EXPECT_GT(files, 0u);
    EXPECT_GT(accepted, 0u);
}

}  // namespace

TEST(BlobRoundTripCaches, ManyNamesAndListsReadBackInPlace) {
    // More distinct names and parameter lists than the reader keeps at hand,
    // repeated both at once and far apart, so that cached and freshly read
    // lists alternate.
    std::vector<NodeKey> keys{src("a")};
    for (uint32_t i = 1; i < 900; ++i) {
        const uint32_t list = (i * 37) % 311;
        ParamMap params = list % 5 == 0 ? ParamMap()
                                        : ParamMap::make({{"scalar", ParamValue::Float(list * 0.5)},
                                                          {"side", ParamValue::Str(list % 2 ? "l" : "r")}});
        keys.push_back(NodeKey::op("f" + std::to_string(i % 97), std::move(params), {i - 1, i / 2}));
    }
    auto store = build(keys, {899, 3});
    const std::vector<uint8_t> blob = write(*store, store->outputs());
    auto back = deserialize(blob);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(snapshot(**back).nodes, keys);
    EXPECT_EQ(write(**back, (*back)->outputs()), blob);
    // The store read back interns like the original: every key is found.
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(*(*back)->intern(keys[i]), i);
    EXPECT_EQ((*back)->node_count(), keys.size());
}
