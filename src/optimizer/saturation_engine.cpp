#include "optimizer/saturation_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "egraph/egraph.h"
#include "egraph/flat_index.h"
#include "optimizer/rule_set.h"
#include "util/internal_error.h"

namespace dagloom {

using egraph::EGraph;
using egraph::GlobalSymbol;
using egraph::Id;
using egraph::Pattern;
using egraph::RecExpr;
using egraph::Rewrite;
using egraph::Runner;
using egraph::SymbolLang;

namespace {


// Tokens of add 0.0 and mul 1.0 with side "r" or "l".
constexpr std::array<const char*, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

Pattern parse_pattern(const std::string& text) {
    auto ast = RecExpr::from_str(text);
    if (!ast.ok()) fail("built-in rewrite pattern " + text + " does not parse: " + egraph::debug_string(ast.error()));
    return Pattern::make(std::move(ast.value()));
}

Rewrite make_rule(const std::string& name, const std::string& searcher, const std::string& applier) {
    auto rule = Rewrite::make(name, parse_pattern(searcher), parse_pattern(applier));
    if (!rule.ok()) fail("built-in rewrite rule " + name + " is invalid: " + rule.error());
    return std::move(rule.value());
}

// Interns op texts through a table local to one conversion: a graph has few
// distinct op texts, each seen many times, and the global table's lookup
// (lock, stronger hash) costs several times this one.
class OpInterner {
public:
    explicit OpInterner(std::size_t expected) { index_.reserve(std::min<std::size_t>(expected, 4096)); }

    // The index of `text` among the distinct texts met so far.
    std::uint32_t intern(std::string_view text) {
        const std::uint64_t hash = text_hash(text);
        const auto next = static_cast<std::uint32_t>(entries_.size());
        auto [e, inserted] = index_.find_or_insert(hash, next, [&](std::uint32_t i) { return entries_[i].text == text; });
        if (inserted) entries_.push_back(Entry{text, GlobalSymbol::from(text)});
        return e;
    }
    GlobalSymbol symbol(std::uint32_t index) const { return entries_[index].sym; }
    // The distinct texts, as views the symbol table keeps valid for good.
    std::vector<std::string_view> stable_texts() const {
        std::vector<std::string_view> texts;
        texts.reserve(entries_.size());
        for (const Entry& e : entries_) texts.push_back(e.sym.as_str());
        return texts;
    }

private:
    struct Entry {
        std::string_view text;
        GlobalSymbol sym;
    };
    // The e-graph's word hash over 8-byte chunks and the length.
    static std::uint64_t text_hash(std::string_view text) {
        std::uint64_t h = egraph::hash_word(0, text.size());
        const char* p = text.data();
        std::size_t n = text.size();
        for (; n >= 8; p += 8, n -= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            h = egraph::hash_word(h, w);
        }
        std::uint64_t tail = 0;
        if (n > 0 && text.size() >= 8) {
            std::memcpy(&tail, text.data() + text.size() - 8, 8);  // the last 8 bytes, overlapping
        } else {
            for (std::size_t k = 0; k < n; ++k)
                tail |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
        }
        return egraph::hash_word(h, tail);
    }

    egraph::FlatIndex index_;
    std::vector<Entry> entries_;
};

}  // namespace

struct SaturationEngine::Rules {
    std::vector<Rewrite> rewrites;
};

SaturationEngine::SaturationEngine() {
    auto rules = std::make_shared<Rules>();
    for (std::string_view op : kCommutativeOps) {
        const std::string name(op);
        rules->rewrites.push_back(
            make_rule("commute-" + name, "(op|" + name + " ?a ?b)", "(op|" + name + " ?b ?a)"));
    }
    for (std::size_t k = 0; k < kIdentityTokens.size(); ++k)
        rules->rewrites.push_back(
            make_rule("identity-" + std::to_string(k), std::string("(") + kIdentityTokens[k] + " ?x)", "?x"));
    rules_ = std::move(rules);
}

SaturationEngine::~SaturationEngine() = default;

std::size_t SaturationEngine::rule_count() const { return rules_->rewrites.size(); }

namespace {

// What emitting the result needs of the input once the e-graph holds it:
// each node's op text and children, packed, so that an input the caller
// gives up can be released before saturation.
struct InputShape {
    std::vector<std::uint32_t> op;  // per node, an index into texts
    std::vector<std::string_view> texts;
    std::vector<std::uint64_t> child_start;  // node i's children: children[child_start[i], child_start[i + 1])
    std::vector<std::uint64_t> children;
    std::vector<std::uint64_t> outputs;

    std::span<const std::uint64_t> children_of(std::size_t i) const {
        return {children.data() + child_start[i], children.data() + child_start[i + 1]};
    }
};

}  // namespace

EngineGraph SaturationEngine::canonicalize(const EngineGraph& graph) const { return saturate(graph, nullptr); }

EngineGraph SaturationEngine::canonicalize_owned(EngineGraph graph) const { return saturate(graph, &graph); }

EngineGraph SaturationEngine::saturate(const EngineGraph& graph, EngineGraph* release) const {
    const std::size_t n = graph.nodes.size();
    EGraph eg;
    eg.reserve(n);
    std::vector<Id> ids;
    ids.reserve(n);
    std::vector<Id> children;
    InputShape shape;
    shape.op.reserve(n);
    shape.child_start.reserve(n + 1);
    shape.child_start.push_back(0);
    {
        OpInterner ops(n);
        for (std::size_t i = 0; i < n; ++i) {
            const EngineNode& node = graph.nodes[i];
            children.clear();
            for (uint64_t c : node.children) {
                if (c >= i) fail("engine graph child " + std::to_string(c) + " does not precede node " + std::to_string(i));
                children.push_back(ids[c]);
            }
            const std::uint32_t op = ops.intern(node.op);
            ids.push_back(eg.add(SymbolLang(ops.symbol(op), children)));
            shape.op.push_back(op);
            shape.children.insert(shape.children.end(), node.children.begin(), node.children.end());
            shape.child_start.push_back(shape.children.size());
        }
        for (uint64_t o : graph.outputs) check_index(o, n);
        shape.texts = ops.stable_texts();
        shape.outputs = graph.outputs;
    }
    // `graph` may be the released one: not read from here on.
    if (release != nullptr) *release = EngineGraph{};

    // Class ids are dense, so plain vectors indexed by class replace maps.
    constexpr uint64_t kNone = ~uint64_t{0};
    std::vector<Id> canon(n);
    std::vector<uint64_t> position_of_class;
    std::vector<bool> representative(n, false);
    std::size_t classes = 0;
    {
        // The saturated e-graph is the largest thing a reduction builds; it
        // is gone before the output graph is.
        Runner runner;
        runner.set_egraph(std::move(eg)).set_iter_limit(iteration_limit_).set_node_limit(4 * n + 1024);
        runner.run(rules_->rewrites);
        const EGraph& result = runner.egraph;
        position_of_class.assign(result.id_count(), kNone);
        for (std::size_t i = 0; i < n; ++i) {
            canon[i] = result.find(ids[i]);
            // The lowest index of each class represents it; an identity node and
            // its operand thus resolve to the operand, which comes first.
            if (position_of_class[canon[i]] == kNone) {
                position_of_class[canon[i]] = 0;
                representative[i] = true;
                ++classes;
            }
        }
    }
    std::vector<Id>().swap(ids);
    EngineGraph out;
    out.nodes.reserve(classes);
    for (std::size_t i = 0; i < n; ++i) {
        if (!representative[i]) continue;
        EngineNode node;
        node.op = std::string(shape.texts[shape.op[i]]);
        const auto kids = shape.children_of(i);
        node.children.reserve(kids.size());
        for (uint64_t c : kids) node.children.push_back(position_of_class[canon[c]]);
        node.opaque = !is_op_text(node.op);
        position_of_class[canon[i]] = out.nodes.size();
        out.nodes.push_back(std::move(node));
    }
    out.outputs.reserve(shape.outputs.size());
    for (uint64_t o : shape.outputs) out.outputs.push_back(position_of_class[canon[o]]);
    return out;
}

}  // namespace dagloom
