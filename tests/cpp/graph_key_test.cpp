#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "graph/node_key.h"
#include "graph/param.h"

using namespace dagloom;

TEST(ParamMapOrder, StableSortByKeyBytes) {
    ParamMap m = ParamMap::make({{"b", ParamValue::Int(1)}, {"a", ParamValue::Int(2)}});
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m.entries()[0].first, "a");
    EXPECT_EQ(m, ParamMap::make({{"a", ParamValue::Int(2)}, {"b", ParamValue::Int(1)}}));

    ParamMap dup = ParamMap::make({{"k", ParamValue::Int(1)}, {"k", ParamValue::Int(2)}});
    EXPECT_EQ(dup.entries()[0].second, ParamValue::Int(1));
    EXPECT_FALSE(dup == ParamMap::make({{"k", ParamValue::Int(2)}, {"k", ParamValue::Int(1)}}));

    ParamMap bytes = ParamMap::make({{"ab", ParamValue::Int(0)}, {"a\xc3\xbc", ParamValue::Int(0)},
                                     {"a", ParamValue::Int(0)}, {"B", ParamValue::Int(0)}, {"az", ParamValue::Int(0)}});
    std::vector<std::string> keys;
    for (const auto& e : bytes) keys.push_back(e.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "ab", "az", "a\xc3\xbc"}));
}

TEST(ParamValueEquality, FloatsByCanonicalBits) {
    double nan1 = std::bit_cast<double>(0x7ff0000000000001ULL);
    double nan2 = std::bit_cast<double>(0xfff8000000000abcULL);
    EXPECT_EQ(ParamValue::Float(nan1), ParamValue::Float(nan2));
    EXPECT_FALSE(ParamValue::Float(0.0) == ParamValue::Float(-0.0));
    EXPECT_FALSE(ParamValue::Int(1) == ParamValue::Float(1.0));
    EXPECT_FALSE(ParamValue::Int(1) == ParamValue::Bool(true));
    EXPECT_FALSE(ParamValue::Str("1") == ParamValue::Int(1));

    auto key = [](double x) { return NodeKey::source("s", ParamMap::make({{"v", ParamValue::Float(x)}})); };
    EXPECT_EQ(key(nan1), key(nan2));
    EXPECT_EQ(hash_key(key(nan1), 5), hash_key(key(nan2), 5));
    EXPECT_FALSE(key(0.0) == key(-0.0));
}

TEST(NodeKeyEquality, FieldsThatMatter) {
    EXPECT_FALSE(NodeKey::op("add", {}, {1, 2}) == NodeKey::op("add", {}, {2, 1}));
    EXPECT_EQ(NodeKey::op("add", {}, {3, 3}), NodeKey::op("add", {}, {3, 3}));
    EXPECT_FALSE(NodeKey::op("add", {}, {0}) == NodeKey::reduction("add", {}, {0}));
    EXPECT_FALSE(NodeKey::op("add", {}, {0}) == NodeKey::op("add", {}, {0, 0}));
    PayloadDescriptor absent{"k", "h", "f", "v", "io", std::nullopt};
    PayloadDescriptor empty = absent;
    empty.preprocessing_ref = "";
    EXPECT_FALSE(NodeKey::external(absent, {}, {}) == NodeKey::external(empty, {}, {}));
    auto stage = [](uint64_t k) {
        return NodeKey::stage({0}, {StageOp{"op|neg", {StageRef::Input(0)}}, StageOp{"op|exp", {StageRef::Member(k)}}});
    };
    EXPECT_EQ(stage(0), stage(0));
    EXPECT_FALSE(stage(0) == stage(1));
    EXPECT_FALSE(NodeKey::stage({0}, {StageOp{"op|a", {StageRef::Input(0)}}}) ==
                 NodeKey::stage({0}, {StageOp{"op|a", {StageRef::Member(0)}}}));
}

TEST(NodeKeyCopy, DeepAndWithInputs) {
    PayloadDescriptor d{"k", "h", "f", "v", "io", std::string("p")};
    NodeKey ext = NodeKey::external(d, ParamMap::make({{"a", ParamValue::Str("x")}}), {0, 1});
    NodeKey copy = ext;
    EXPECT_EQ(copy, ext);
    EXPECT_NE(&copy.descriptor(), &ext.descriptor());
    NodeKey moved = ext.with_inputs({5});
    EXPECT_EQ(moved.inputs(), (std::vector<NodeId>{5}));
    EXPECT_EQ(moved.descriptor(), d);
    EXPECT_EQ(ext.inputs(), (std::vector<NodeId>{0, 1}));
    NodeKey src = NodeKey::source("x", {});
    EXPECT_EQ(src.with_inputs({1, 2, 3}), src);
    EXPECT_TRUE(src.with_inputs({1}).inputs().empty());
    NodeKey st = NodeKey::stage({0}, {StageOp{"op|a", {StageRef::Input(0)}}});
    EXPECT_EQ(st.with_inputs({7}).members(), st.members());
}

TEST(NodeKeyHash, EqualKeysHashAlikeAndSeedMatters) {
    std::vector<NodeKey> keys = {
        NodeKey::source("x", {}), NodeKey::source("x", ParamMap::make({{"k", ParamValue::Int(1)}})),
        NodeKey::op("x", {}, {}), NodeKey::reduction("x", {}, {}), NodeKey::exchange({}, {}),
        NodeKey::op("add", {}, {0, 1}), NodeKey::op("add", {}, {1, 0}), NodeKey::stage({}, {}),
        NodeKey::external(PayloadDescriptor{}, {}, {})};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        NodeKey copy = keys[i];
        EXPECT_EQ(hash_key(copy, 1), hash_key(keys[i], 1));
        for (std::size_t j = i + 1; j < keys.size(); ++j) {
            EXPECT_FALSE(keys[i] == keys[j]) << i << " " << j;
            EXPECT_NE(hash_key(keys[i], 1), hash_key(keys[j], 1)) << i << " " << j;
        }
    }
    EXPECT_NE(hash_key(keys[0], 1), hash_key(keys[0], 2));
}
