// Fuzzes the IR blob reader. Any input must either be refused with one of
// the reader's errors or give a store that writes to a blob which reads
// back and writes again to the very same bytes.
//
//   fuzz_blob --write-seeds DIR   writes the seed blobs into DIR and exits
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.h"
#include "blob/format.h"
#include "blob/writer.h"

using namespace dagloom;

namespace {

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_bytes(std::vector<uint8_t>& out, std::string_view bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// A source or op record with no params, written by hand: a store would
// never write two equal records.
void put_named(std::vector<uint8_t>& out, NodeKind kind, std::string_view name, std::vector<uint64_t> inputs = {}) {
    out.push_back(static_cast<uint8_t>(kind));
    put_u32(out, static_cast<uint32_t>(name.size()));
    put_bytes(out, name);
    put_u32(out, 0);
    if (kind == NodeKind::Source) return;
    put_u32(out, static_cast<uint32_t>(inputs.size()));
    for (uint64_t id : inputs) put_u64(out, id);
}

[[noreturn]] void die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz_blob: %s %s\n", what, detail.c_str());
    std::abort();
}

std::vector<uint8_t> must_write(const GraphStore& store, const std::vector<NodeId>& outputs) {
    auto b = serialize_with(store, outputs);
    if (!b.ok()) die("writer refused a store the reader built:", b.error().message);
    return std::move(b).value();
}

NodeId add(GraphStore& s, NodeKey key) {
    auto id = s.intern(std::move(key));
    if (!id.ok()) die("seed store rejected a key:", id.error().message());
    return *id;
}

struct Seed {
    const char* name;
    std::vector<uint8_t> bytes;
};

std::vector<Seed> seeds() {
    std::vector<Seed> out;
    {
        GraphStore s;
        out.push_back({"empty", must_write(s, {})});
    }
    {
        GraphStore s;
        add(s, NodeKey::source("x", {}));
        out.push_back({"single_source", must_write(s, {0})});
    }
    {
        // The walk-through graph: two sources, mirrored adds, an identity op.
        GraphStore s;
        NodeId x = add(s, NodeKey::source("x", {}));
        NodeId y = add(s, NodeKey::source("y", {}));
        NodeId a = add(s, NodeKey::op("add", {}, {x, y}));
        NodeId b = add(s, NodeKey::op("add", {}, {y, x}));
        NodeId m = add(s, NodeKey::op("mul", {}, {a, b}));
        NodeId z = add(s, NodeKey::op("add", ParamMap::make({{"scalar", ParamValue::Float(0.0)}, {"side", ParamValue::Str("r")}}), {m}));
        NodeId r = add(s, NodeKey::reduction("sum", {}, {z}));
        add(s, NodeKey::op("neg", {}, {x}));
        out.push_back({"walkthrough", must_write(s, {r})});
    }
    {
        GraphStore s;
        ParamMap all = ParamMap::make({{"i", ParamValue::Int(std::numeric_limits<int64_t>::min())},
                                       {"f", ParamValue::Float(-0.0)},
                                       {"nan", ParamValue::Float(std::bit_cast<double>(0x7ff4000000000abcull))},
                                       {"b", ParamValue::Bool(true)},
                                       {"s", ParamValue::Str("a;b=c|d%\xe2\x82\xac")},
                                       {"s", ParamValue::Str("")}});
        NodeId x = add(s, NodeKey::source("x", all));
        NodeId e0 = add(s, NodeKey::external({"model", "sha256:ab", "torch", "2.1", "f32[8]", std::nullopt}, {}, {x}));
        NodeId e1 = add(s, NodeKey::external({"model", "sha256:ab", "torch", "2.1", "f32[8]", ""}, all, {x, e0}));
        NodeId st = add(s, NodeKey::stage({x, e1, e1}, {StageOp{"op|add", {StageRef::Input(0), StageRef::Input(2)}},
                                                         StageOp{"op|neg", {StageRef::Member(0)}},
                                                         StageOp{"red|sum", {StageRef::Member(1), StageRef::Input(1)}}}));
        NodeId ex = add(s, NodeKey::exchange(ParamMap::make({{"partitions", ParamValue::Int(4)}}), {st}));
        NodeId rd = add(s, NodeKey::reduction("max", {}, {ex, ex}));
        out.push_back({"all_kinds", must_write(s, {rd, st, rd})});
    }
    {
        // Records 0 and 1 are equal; later references name positions.
        std::vector<uint8_t> b;
        put_bytes(b, kMagic);
        put_u32(b, 4);
        put_named(b, NodeKind::Source, "x");
        put_named(b, NodeKind::Source, "x");
        put_named(b, NodeKind::Source, "y");
        put_named(b, NodeKind::Op, "f", {2, 1});
        put_u32(b, 2);
        put_u64(b, 3);
        put_u64(b, 1);
        b.push_back(0xee);  // trailing byte
        out.push_back({"duplicate_records", std::move(b)});
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i + 1 < *argc; ++i) {
        if (std::strcmp((*argv)[i], "--write-seeds") != 0) continue;
        const std::string dir = (*argv)[i + 1];
        for (const Seed& seed : seeds()) {
            const std::string path = dir + "/" + seed.name + ".bin";
            std::ofstream f(path, std::ios::binary);
            f.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
            if (!f) die("cannot write", path);
            std::printf("%s (%zu bytes)\n", path.c_str(), seed.bytes.size());
        }
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto first = deserialize(std::span<const uint8_t>(data, size));
    if (!first.ok()) {
        if (first.error().message().empty()) die("reader error without a message");
        return 0;
    }
    const auto once = must_write(**first, (*first)->outputs());
    auto second = deserialize(once);
    if (!second.ok()) die("reader refused a blob the writer wrote:", second.error().message());
    if ((*second)->node_count() != (*first)->node_count()) die("node count changed through a rewrite");
    if ((*second)->outputs() != (*first)->outputs()) die("outputs changed through a rewrite");
    if (must_write(**second, (*second)->outputs()) != once) die("rewriting a blob changed its bytes");
    return 0;
}
