// Structure-aware fuzzing of the store and everything built on it. The input
// is decoded into a sequence of operations on one store, one incremental
// reducer and a shadow model of the store:
//   intern a key of any of the six kinds (sometimes naming a missing input),
//   mark an output, reduce under both fusion rules, serialize and read back,
//   reduce the rebuilt store, step the incremental reducer and finalize it.
// After every operation the store must agree with the model, and every
// reduction must satisfy the pipeline's invariants: inputs and outputs name
// earlier nodes, reduced_nodes == stages + boundary_nodes, the counts shrink
// phase by phase, equal inputs reduce to equal bytes, and saturation
// replayed gives what the e-graph run gives. A blob written from
// a store's own outputs must read back to a store that writes the same bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "blob/blob.h"
#include "graph/token.h"
#include "optimizer/incremental_reducer.h"
#include "optimizer/pipeline.h"
#include "optimizer/saturation_engine.h"
#include "store/graph_store.h"

#include "../cpp/store_testing.h"

using namespace dagloom;

namespace {

constexpr std::size_t kMaxNodes = 40;
constexpr std::size_t kMaxOps = 96;
// Reductions dominate the cost of an input; a few per input keep the
// fuzzer fast enough to explore.
constexpr int kMaxHeavyOps = 3;

[[noreturn]] void die(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz_store_ops: %s %s\n", what, detail.c_str());
    std::abort();
}

const SaturationEngine& engine() {
    static const SaturationEngine e;
    return e;
}

// The run on the e-graph, which the default engine replays without one.
const SaturationEngine& egraph_engine() {
    static const SaturationEngine e(SaturationEngine::Method::EGraph);
    return e;
}

// ---------------------------------------------------------------- decoding

// Short, valid UTF-8 texts built from pieces that matter to tokens and to
// the blob: the token metacharacters and their escapes, multi-byte
// characters, an embedded NUL. The pieces are few so that texts repeat and
// interning, hash-consing and token collisions actually happen.
std::string text(FuzzedDataProvider& in, std::size_t max_pieces = 3) {
    static const std::string_view kPieces[] = {"x", "y", "a", "add", "mul", "-", "|", ";", "=", "%", "%3B",
                                               "%25", "\xc3\xa9", "\xe2\x82\xac", "\\", "\"", " ",
                                               std::string_view("\0", 1)};
    constexpr std::size_t kCount = sizeof kPieces / sizeof kPieces[0];
    std::string out;
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, max_pieces);
    for (std::size_t i = 0; i < n; ++i) out += kPieces[in.ConsumeIntegralInRange<std::size_t>(0, kCount - 1)];
    return out;
}

double float_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return 1.0;
        case 3: return std::numeric_limits<double>::quiet_NaN();
        case 4: return std::bit_cast<double>(0x7ff4000000000abcull);  // NaN with a payload
        case 5: return -std::numeric_limits<double>::infinity();
        case 6: return 2.5;
        default: return std::bit_cast<double>(in.ConsumeIntegral<uint64_t>());
    }
}

ParamValue param_value(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return ParamValue::Int(in.ConsumeIntegralInRange<int64_t>(-2, 2));
        case 1: return ParamValue::Float(float_value(in));
        case 2: return ParamValue::Bool(in.ConsumeBool());
        default: return ParamValue::Str(text(in, 2));
    }
}

ParamMap identity_params(FuzzedDataProvider& in) {
    const bool add = in.ConsumeBool();
    return ParamMap::make({{"scalar", ParamValue::Float(add ? 0.0 : 1.0)},
                           {"side", ParamValue::Str(in.ConsumeBool() ? "r" : "l")}});
}

ParamMap params(FuzzedDataProvider& in) {
    static const char* const kKeys[] = {"scalar", "side", "k", "a;b", ""};
    std::vector<ParamMap::Entry> entries;
    const int n = in.ConsumeIntegralInRange<int>(0, 2);
    for (int i = 0; i < n; ++i)
        entries.emplace_back(kKeys[in.ConsumeIntegralInRange<int>(0, 4)], param_value(in));
    return ParamMap::make(std::move(entries));
}

std::string op_name(FuzzedDataProvider& in) {
    static const char* const kNames[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum", "neg", "sub"};
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return text(in);
    return kNames[in.ConsumeIntegralInRange<int>(0, 9)];
}

// An id that names a node most of the time and, rarely, one past the end
// or far beyond it.
NodeId node_ref(FuzzedDataProvider& in, std::size_t count) {
    const int pick = in.ConsumeIntegralInRange<int>(0, 31);
    if (pick == 0) return count;
    if (pick == 1) return count + in.ConsumeIntegralInRange<uint64_t>(1, std::numeric_limits<uint64_t>::max() - count);
    if (count == 0) return 0;
    return in.ConsumeIntegralInRange<NodeId>(0, count - 1);
}

std::vector<NodeId> refs(FuzzedDataProvider& in, std::size_t count, std::size_t max_len) {
    std::vector<NodeId> out(in.ConsumeIntegralInRange<std::size_t>(0, max_len));
    for (NodeId& id : out) id = node_ref(in, count);
    return out;
}

PayloadDescriptor descriptor(FuzzedDataProvider& in) {
    static const char* const kFields[] = {"model", "sha256:ab", "torch", "2.1", "f32[8]", "-", "a|b", ""};
    auto field = [&] { return std::string(kFields[in.ConsumeIntegralInRange<int>(0, 7)]); };
    PayloadDescriptor d{field(), field(), field(), field(), field(), std::nullopt};
    if (in.ConsumeBool()) d.preprocessing_ref = field();  // "-" and "" are present, not absent
    return d;
}

// Stage members as stage fusion and the blob reader allow them: Input
// references below the stage's input count, Member references to earlier
// members.
std::vector<StageOp> members(FuzzedDataProvider& in, std::size_t input_count) {
    std::vector<StageOp> out(in.ConsumeIntegralInRange<std::size_t>(1, 3));
    for (std::size_t m = 0; m < out.size(); ++m) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: out[m].op = NodeKey::op("add", identity_params(in), {}).token(); break;
            case 1: out[m].op = NodeKey::reduction("sum", {}, {}).token(); break;
            case 2: out[m].op = text(in); break;  // not every member text is an op token
            default: out[m].op = NodeKey::op(op_name(in), params(in), {}).token(); break;
        }
        const std::size_t nrefs = in.ConsumeIntegralInRange<std::size_t>(0, 2);
        for (std::size_t r = 0; r < nrefs; ++r) {
            if (m > 0 && (input_count == 0 || in.ConsumeBool()))
                out[m].inputs.push_back(StageRef::Member(in.ConsumeIntegralInRange<uint64_t>(0, m - 1)));
            else if (input_count > 0)
                out[m].inputs.push_back(StageRef::Input(in.ConsumeIntegralInRange<uint64_t>(0, input_count - 1)));
        }
    }
    return out;
}

NodeKey key(FuzzedDataProvider& in, std::size_t count) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return NodeKey::source(text(in), params(in));
        case 1: {
            std::vector<NodeId> inputs = refs(in, count, 3);
            // Identity parameters and commutative pairs are what the
            // engine and the incremental reducer rewrite.
            ParamMap p = in.ConsumeIntegralInRange<int>(0, 2) == 0 ? identity_params(in) : params(in);
            return NodeKey::op(op_name(in), std::move(p), std::move(inputs));
        }
        case 2: return NodeKey::reduction(in.ConsumeBool() ? "sum" : text(in), params(in), refs(in, count, 2));
        case 3: return NodeKey::external(descriptor(in), params(in), refs(in, count, 2));
        case 4: {
            std::vector<NodeId> inputs = refs(in, count, 3);
            std::vector<StageOp> m = members(in, inputs.size());
            return NodeKey::stage(std::move(inputs), std::move(m));
        }
        default: return NodeKey::exchange(params(in), refs(in, count, 2));
    }
}

// ---------------------------------------------------------------- checks

std::string ids_text(const std::vector<NodeId>& ids) {
    std::string s = "[";
    for (NodeId id : ids) s += std::to_string(id) + ",";
    return s + "]";
}

std::optional<NodeId> first_bad(const std::vector<NodeId>& ids, std::size_t count) {
    for (NodeId id : ids)
        if (id >= count) return id;
    return std::nullopt;
}

std::vector<NodeId> first_occurrences(const std::vector<NodeId>& ids) {
    std::vector<NodeId> out;
    for (NodeId id : ids)
        if (std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    return out;
}

std::vector<uint8_t> write(const GraphStore& store, const std::vector<NodeId>& outputs) {
    auto b = serialize_with(store, outputs);
    if (!b.ok()) die("writer refused a small store:", b.error().message);
    return std::move(b).value();
}

std::vector<uint8_t> write_own(const GraphStore& store) { return write(store, store.outputs()); }

void check_reduced(const Reduced& r, std::size_t input_nodes, std::size_t output_count) {
    const ReductionReport& rep = r.report;
    if (rep.input_nodes != input_nodes) die("input_nodes is not the node count handed in");
    if (rep.reachable_nodes > rep.input_nodes) die("more reachable than input nodes");
    if (rep.canonical_nodes > rep.reachable_nodes) die("more canonical than reachable nodes");
    if (rep.reduced_nodes > rep.canonical_nodes) die("more reduced than canonical nodes");
    if (rep.reduced_nodes != r.nodes.size()) die("reduced_nodes is not the length of the reduced list");
    if (rep.reduced_nodes != rep.stages + rep.boundary_nodes) die("reduced_nodes != stages + boundary_nodes");
    if (r.outputs.size() != output_count) die("not one reduced output per requested output");
    if (output_count == 0 && (rep.reachable_nodes != 0 || !r.nodes.empty())) die("nodes kept without outputs");
    std::size_t stage_nodes = 0;
    for (std::size_t i = 0; i < r.nodes.size(); ++i) {
        const NodeKey& k = r.nodes[i];
        for (NodeId in : k.inputs())
            if (in >= i) die("reduced input does not precede its node:", std::to_string(in) + " in node " + std::to_string(i));
        if (k.kind() == NodeKind::Op) die("an Op node left outside every stage");
        if (k.kind() != NodeKind::Stage) continue;
        ++stage_nodes;
        const auto& ms = k.members();
        if (ms.empty()) die("stage without members");
        for (std::size_t m = 0; m < ms.size(); ++m)
            for (const StageRef& ref : ms[m].inputs) {
                if (ref.tag == StageRef::Tag::Input && ref.index >= k.inputs().size()) die("stage input ref out of range");
                if (ref.tag == StageRef::Tag::Member && ref.index >= m) die("stage member ref not to an earlier member");
            }
    }
    if (stage_nodes < rep.stages) die("fewer stage nodes than stages reported");
    for (uint64_t o : r.outputs)
        if (o >= r.nodes.size()) die("reduced output out of range");
}

// A store built from a reduction: it numbers the reduced nodes in order
// (merging equal keys) and marks the outputs once each.
void check_from_reduced(const GraphStore& s, const Reduced& r) {
    if (s.node_count() > r.nodes.size()) die("reduced store larger than the reduced list");
    const std::vector<NodeId> outs = s.outputs();
    if (outs.size() > r.outputs.size()) die("reduced store has more outputs than requested");
    if (first_occurrences(outs) != outs) die("reduced store lists an output twice");
}

// ---------------------------------------------------------------- the run

struct Run {
    explicit Run(FuzzedDataProvider& data) : in(data) {}

    FuzzedDataProvider& in;
    GraphStore store;
    std::vector<NodeKey> model;  // what the store must hold, in id order
    std::vector<NodeId> marked;  // marking order, each id once
    IncrementalReducer inc;

    void check_store() const {
        Snapshot snap = snapshot(store);
        if (snap.nodes != model) die("store disagrees with the model");
        if (snap.outputs != marked) die("outputs disagree with the model:", ids_text(snap.outputs));
        if (store.node_count() != model.size()) die("node_count disagrees with the snapshot");
    }

    void intern() {
        if (model.size() >= kMaxNodes) return;
        NodeKey k = key(in, model.size());
        const NodeKey copy = k;
        auto id = store.intern(std::move(k));
        if (auto bad = first_bad(copy.inputs(), model.size())) {
            if (id.ok() || id.error().id != *bad) die("intern did not report the first missing input", std::to_string(*bad));
            return;
        }
        if (!id.ok()) die("intern refused a key whose inputs exist:", id.error().message());
        auto it = std::find(model.begin(), model.end(), copy);
        const NodeId expected = static_cast<NodeId>(it - model.begin());
        if (*id != expected) die("intern gave an unexpected id:", std::to_string(*id) + " not " + std::to_string(expected));
        if (it == model.end()) model.push_back(copy);
        // Interning is idempotent.
        auto again = store.intern(NodeKey(copy));
        if (!again.ok() || *again != *id) die("re-interning an equal key gave another id");
    }

    void mark() {
        const NodeId id = node_ref(in, model.size());
        auto st = store.mark_output(id);
        if (id >= model.size()) {
            if (st.ok() || st.error().id != id) die("mark_output accepted a missing id");
            return;
        }
        if (!st.ok()) die("mark_output refused an existing id");
        if (std::find(marked.begin(), marked.end(), id) == marked.end()) marked.push_back(id);
    }

    // Reduces `nodes` for `outputs` directly and through the store, under
    // both rules, and checks that the two agree. Returns the reduced store
    // of the single-use rule.
    std::unique_ptr<GraphStore> reduce_both(const GraphStore& s, const std::vector<NodeKey>& nodes,
                                            const std::vector<NodeId>& outputs) {
        std::unique_ptr<GraphStore> single_use;
        std::size_t stages_single = 0, stages_maximal = 0;
        for (bool maximal : {false, true}) {
            Reduced r = reduce_with_mode(nodes, outputs, engine(), maximal);
            check_reduced(r, nodes.size(), outputs.size());
            (maximal ? stages_maximal : stages_single) = r.report.stages;
            auto via_store = reduce_with_outputs(s, outputs, engine(), maximal);
            if (!via_store.ok()) die("reduce_with_outputs refused valid outputs:", via_store.error().message());
            if (!(via_store->report == r.report)) die("store reduction and pipeline disagree on the report");
            auto on_egraph = reduce_with_outputs(s, outputs, egraph_engine(), maximal);
            if (!on_egraph.ok() || write_own(*on_egraph->store) != write_own(*via_store->store))
                die("replayed saturation and the e-graph run disagree");
            check_from_reduced(*via_store->store, r);
            ReducedStore direct = from_reduced(std::move(r));
            if (write_own(*direct.store) != write_own(*via_store->store)) die("equal reductions gave different stores");
            // A reduced store is an ordinary store: it reduces again, stages
            // and all (the maximal rule makes the larger stages).
            if (maximal) {
                Snapshot rs = snapshot(*via_store->store);
                Reduced again = reduce_with_mode(rs.nodes, rs.outputs, engine(), in.ConsumeBool());
                check_reduced(again, rs.nodes.size(), rs.outputs.size());
                (void)from_reduced(std::move(again));
            }
            if (!maximal) single_use = std::move(via_store->store);
        }
        // The maximal rule only ever joins groups of the single-use rule.
        if (stages_maximal > stages_single) die("maximal fusion made more stages than single-use fusion");
        return single_use;
    }

    std::vector<NodeId> requested_outputs() {
        if (in.ConsumeBool()) return marked;
        return refs(in, model.size(), 4);
    }

    void reduce() {
        const std::vector<NodeId> outputs = requested_outputs();
        if (auto bad = first_bad(outputs, model.size())) {
            for (bool maximal : {false, true}) {
                auto r = reduce_with_outputs(store, outputs, engine(), maximal);
                if (r.ok() || r.error().id != *bad) die("reduction did not report the first missing output", ids_text(outputs));
            }
            return;
        }
        auto reduced = reduce_both(store, model, outputs);
        if (outputs == marked) {
            ReducedStore by_marks = reduce_with(store, engine(), false);
            if (write_own(*by_marks.store) != write_own(*reduced)) die("reduce_with and reduce_with_outputs(marks) disagree");
        }
    }

    void round_trip() {
        const bool own = in.ConsumeBool();
        std::vector<NodeId> outputs = own ? marked : refs(in, model.size(), 4);
        if (first_bad(outputs, model.size())) return;  // the Python layer refuses these before writing
        const std::vector<uint8_t> blob = write(store, outputs);
        auto back = deserialize(blob);
        if (!back.ok()) die("reader refused a blob the writer wrote:", back.error().message());
        GraphStore& b = **back;
        if (snapshot(b).nodes != model) die("read-back store has other nodes");
        const std::vector<NodeId> expect_marks = first_occurrences(outputs);
        if (b.outputs() != expect_marks) die("read-back store has other outputs:", ids_text(b.outputs()));
        const std::vector<uint8_t> rewritten = write_own(b);
        if (own && rewritten != blob) die("serialize(deserialize(b)) != b");
        auto twice = deserialize(rewritten);
        if (!twice.ok() || write_own(**twice) != rewritten) die("a rewritten blob is not a fixed point");
        // The rebuilt store reduces exactly like the original.
        auto from_back = reduce_both(b, snapshot(b).nodes, expect_marks);
        auto from_orig = reduce_with_outputs(store, expect_marks, engine(), false);
        if (!from_orig.ok()) die("original store refused its outputs");
        if (write_own(*from_back) != write_own(*from_orig->store)) die("rebuilt store reduces differently");
    }

    void step() {
        const uint64_t before = inc.watermark();
        const std::vector<NodeKey> delta = snapshot_from(store, before);
        auto n = inc.step(delta);
        if (!n.ok()) die("step refused the store's own delta:", n.error().message());
        if (*n != delta.size()) die("step did not report the delta size");
        if (inc.watermark() != model.size()) die("watermark is not the node count after a step");
        if (inc.total_work() != inc.watermark()) die("total_work != watermark after successful steps");
        if (inc.canonical_count() > inc.watermark()) die("canonical form larger than the store");
    }

    void finalize() {
        const std::vector<NodeId> outputs = requested_outputs();
        const uint64_t w = inc.watermark(), c = inc.canonical_count(), t = inc.total_work();
        const bool maximal = in.ConsumeBool();
        auto r = inc.finalize(outputs, engine(), maximal);
        if (inc.watermark() != w || inc.canonical_count() != c || inc.total_work() != t) die("finalize changed the reducer");
        if (auto bad = first_bad(outputs, w)) {
            if (r.ok() || r.error().id != *bad) die("finalize did not report the first unconsumed output", ids_text(outputs));
            return;
        }
        if (!r.ok()) die("finalize refused consumed outputs:", r.error().message());
        check_reduced(*r, c, outputs.size());
        ReducedStore rs = from_reduced(std::move(*r));
        if (first_occurrences(rs.store->outputs()) != rs.store->outputs()) die("finalized store lists an output twice");
    }

    // A batch that does not continue the consumed nodes: the keys before the
    // offending one stay consumed and total_work does not move. Uses a
    // reducer of its own so the main one keeps following the store.
    void bad_batch() {
        if (model.empty()) return;
        IncrementalReducer r;
        const std::size_t prefix = in.ConsumeIntegralInRange<std::size_t>(0, model.size());
        std::vector<NodeKey> head(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(prefix));
        if (!r.step(head).ok()) die("step refused a prefix of the store");
        const std::size_t good = in.ConsumeIntegralInRange<std::size_t>(0, model.size() - prefix);
        std::vector<NodeKey> batch(model.begin() + static_cast<std::ptrdiff_t>(prefix),
                                   model.begin() + static_cast<std::ptrdiff_t>(prefix + good));
        const NodeId missing = model.size() + in.ConsumeIntegralInRange<uint64_t>(0, 3);
        batch.push_back(NodeKey::op("neg", {}, {missing}));
        auto n = r.step(batch);
        if (n.ok() || n.error().id != missing) die("step accepted an input beyond the watermark");
        if (r.watermark() != prefix + good) die("keys before a bad one were not kept consumed");
        if (r.total_work() != prefix) die("a failed step counted work");
        auto fin = r.finalize({}, engine(), false);
        if (!fin.ok() || fin->report.input_nodes != r.canonical_count()) die("reducer unusable after a failed step");
    }

    void dot() {
        const KeptText d = to_dot(store);
        if (!d.starts_with("digraph dagloom")) die("DOT text without its header");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Run run(in);
    int heavy = 0;
    for (std::size_t op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) {
        const int pick = in.ConsumeIntegralInRange<int>(0, 15);
        const bool reduces = pick == 8 || pick == 9 || pick == 12;
        if (reduces && ++heavy > kMaxHeavyOps) continue;
        switch (pick) {
            case 0: case 1: case 2: case 3: case 4: case 5: run.intern(); break;
            case 6: case 7: run.mark(); break;
            case 8: run.reduce(); break;
            case 9: run.round_trip(); break;
            case 10: case 11: run.step(); break;
            case 12: run.finalize(); break;
            case 13: run.bad_batch(); break;
            case 14: run.dot(); break;
            default: run.check_store(); break;
        }
    }
    // Whatever the operations were, the final state is checked end to end.
    run.check_store();
    run.step();
    run.finalize();
    run.round_trip();
    return 0;
}
