#include "egraph/pattern.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <tuple>

#include "egraph/flat_index.h"
#include "egraph/log.h"
#include "util/internal_error.h"

namespace dagloom::egraph {

// ---------------------------------------------------------------- Subst

void Subst::fail_unbound(Var var) const {
    std::ostringstream msg;
    msg << "Var '" << var.sym << "=" << var << "' not found in " << debug_string(*this);
    fail(msg.str());
}

std::string debug_string(const Subst& s) {
    std::ostringstream out;
    out << '{';
    bool first = true;
    for (const SubstEntry& e : s) {
        if (!first) out << ", ";
        first = false;
        out << e.var << ": " << e.id;
    }
    out << '}';
    return std::move(out).str();
}

std::string debug_string(const Instruction& ins) {
    std::ostringstream out;
    switch (ins.kind) {
        case Instruction::Kind::Bind:
            out << "Bind { node: " << ins.node << ", i: " << ins.i << ", out: " << ins.out << " }";
            break;
        case Instruction::Kind::Compare: out << "Compare { i: " << ins.i << ", j: " << ins.j << " }"; break;
        case Instruction::Kind::Lookup: {
            out << "Lookup { term: [";
            for (std::size_t k = 0; k < ins.term.size(); ++k) {
                if (k) out << ", ";
                if (ins.term[k].is_reg) out << "Reg(" << ins.term[k].reg << ")";
                else out << "ENode(" << ins.term[k].node << ")";
            }
            out << "], i: " << ins.i << " }";
            break;
        }
        case Instruction::Kind::Scan: out << "Scan { out: " << ins.out << " }"; break;
    }
    return std::move(out).str();
}

// ---------------------------------------------------------------- compiler

namespace {

struct Todo {
    Id pos;
    Reg reg;
    SymbolLang node;
};

class Compiler {
public:
    explicit Compiler(const RecExpr& ast) : ast_(ast) { load(); }


    void compile() {
        const Id root = static_cast<Id>(ast_.size() - 1);
        using Kind = Instruction::Kind;
        if (!instructions_.empty()) instructions_.push_back(Instruction{.kind = Kind::Scan, .out = next_reg_});
        add_todo(root, 0);
        while (!todo_.empty()) {
            Todo t = take_next();
            if (is_ground_now(t.pos) && !t.node.is_leaf()) {
                instructions_.push_back(Instruction{.kind = Kind::Lookup, .i = t.reg, .term = extract(t.pos)});
            } else {
                const Reg out = next_reg_;
                next_reg_ += static_cast<Reg>(t.node.len());
                Instruction& ins =
                    instructions_.emplace_back(Instruction{.kind = Kind::Bind, .node = t.node, .i = t.reg, .out = out});
                for (Id& c : ins.node.children()) c = 0;
                for (std::size_t k = 0; k < t.node.len(); ++k) add_todo(t.node.child(k), out + static_cast<Reg>(k));
            }
        }
    }

    std::vector<Instruction> instructions_;
    std::vector<std::pair<Var, Reg>> var_regs_;

private:
    void load() {
        free_.resize(ast_.size());
        size_.resize(ast_.size());
        for (std::size_t p = 0; p < ast_.size(); ++p) {
            const ENodeOrVar& n = ast_[static_cast<Id>(p)];
            if (n.is_var()) {
                free_[p].push_back(n.as_var());
                size_[p] = 0;
                continue;
            }
            std::size_t size = 1;
            for (Id c : n.node().children()) {
                for (Var v : free_[c])
                    if (std::find(free_[p].begin(), free_[p].end(), v) == free_[p].end()) free_[p].push_back(v);
                size += size_[c];
            }
            size_[p] = size;
        }
    }

    const Reg* reg_of(Var v) const {
        for (const auto& [var, reg] : var_regs_)
            if (var == v) return &reg;
        return nullptr;
    }

    void add_todo(Id pos, Reg reg) {
        const ENodeOrVar& n = ast_[pos];
        if (n.is_var()) {
            if (const Reg* j = reg_of(n.as_var())) {
                instructions_.push_back(Instruction{.kind = Instruction::Kind::Compare, .i = reg, .j = *j});
            } else {
                var_regs_.emplace_back(n.as_var(), reg);
            }
            return;
        }
        todo_.push_back(Todo{pos, reg, n.node()});
    }

    std::size_t n_free(Id pos) const {
        std::size_t n = 0;
        for (Var v : free_[pos])
            if (!reg_of(v)) ++n;
        return n;
    }
    bool is_ground_now(Id pos) const { return n_free(pos) == 0; }

    // Greatest (grounded, free, -size); among equal keys the last one.
    Todo take_next() {
        std::size_t best = 0;
        std::tuple<bool, std::size_t, long long> best_key{};
        for (std::size_t k = 0; k < todo_.size(); ++k) {
            const std::size_t f = n_free(todo_[k].pos);
            const std::tuple<bool, std::size_t, long long> key{f == 0, f,
                                                               -static_cast<long long>(size_[todo_[k].pos])};
            if (k == 0 || key >= best_key) {
                best = k;
                best_key = key;
            }
        }
        Todo t = std::move(todo_[best]);
        todo_.erase(todo_.begin() + static_cast<std::ptrdiff_t>(best));
        return t;
    }

    // The subterm at pos as distinct nodes, children first, root last.
    std::vector<ENodeOrReg> extract(Id pos) {
        std::vector<ENodeOrReg> term;
        std::vector<std::int64_t> map(ast_.size(), -1);
        build(pos, term, map);
        return term;
    }
    Id build(Id pos, std::vector<ENodeOrReg>& term, std::vector<std::int64_t>& map) {
        if (map[pos] >= 0) return static_cast<Id>(map[pos]);
        const ENodeOrVar& n = ast_[pos];
        ENodeOrReg el;
        if (n.is_var()) {
            el.is_reg = true;
            el.reg = *reg_of(n.as_var());
        } else {
            el.node = n.node();
            for (Id& c : el.node.children()) c = build(c, term, map);
        }
        term.push_back(std::move(el));
        map[pos] = static_cast<std::int64_t>(term.size() - 1);
        return static_cast<Id>(term.size() - 1);
    }

    const RecExpr& ast_;
    std::vector<std::vector<Var>> free_;
    std::vector<std::size_t> size_;
    std::vector<Todo> todo_;
    Reg next_reg_ = 1;
};

}  // namespace

Program Program::compile_from_pat(const RecExpr& ast) {
    Program p;
    if (ast.empty()) return p;
    Compiler c(ast);
    c.compile();
    p.instructions_ = std::move(c.instructions_);
    for (const auto& [var, reg] : c.var_regs_) p.subst_.push_back(SubstEntry{var, reg});
    p.single_bind_ = p.instructions_.size() == 1 && p.instructions_[0].kind == Instruction::Kind::Bind &&
                     p.instructions_[0].i == 0;
    if (log::enabled(log::Level::Debug)) {
        std::ostringstream out;
        out << "Compiled " << ast << " to [";
        for (std::size_t k = 0; k < p.instructions_.size(); ++k)
            out << (k ? ", " : "") << debug_string(p.instructions_[k]);
        out << "]";
        log::detail::emit(log::Level::Debug, std::move(out).str());
    }
    return p;
}

// ---------------------------------------------------------------- machine

void Machine::run_on(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit, SubstList& out) {
    egraph_ = &egraph;
    program_ = &program;
    out_ = &out;
    limit_ = limit;
    if (program.single_bind_) {
        run_single_bind(eclass);
        return;
    }
    reg_.clear();
    reg_.push_back(eclass);
    run(0);
}

namespace {

// Calls f on each node of `cls` with the pattern node's operator and arity,
// until f returns true; returns whether it did. Class nodes are sorted by
// operator, so the walk stops past the operator's run.
template <class F>
bool for_each_match(const SymbolLang& pattern_node, const EClass& cls, F&& f) {
    const std::uint32_t op = pattern_node.op.raw();
    const std::size_t arity = pattern_node.len();
    for (const SymbolLang& n : cls.nodes) {
        const std::uint32_t nop = n.op.raw();
        if (nop != op) {
            if (nop > op) break;
            continue;
        }
        if (n.len() == arity && f(n)) return true;
    }
    return false;
}

}  // namespace

void Machine::run_single_bind(Id eclass) {
    const Instruction& ins = program_->instructions_[0];
    for_each_match(ins.node, (*egraph_)[eclass], [&](const SymbolLang& n) {
        // Every variable is a child: register out + k holds child k.
        Subst& s = out_->emplace_back();
        for (const SubstEntry& e : program_->subst_) s.push_back(SubstEntry{e.var, n.child(e.id - ins.out)});
        return --limit_ == 0;
    });
}

bool Machine::run(std::size_t pc) {
    const std::vector<Instruction>& code = program_->instructions_;
    const EGraph& eg = *egraph_;
    while (pc < code.size()) {
        const Instruction& ins = code[pc];
        switch (ins.kind) {
            case Instruction::Kind::Bind: {
                return for_each_match(ins.node, eg[reg_[ins.i]], [&](const SymbolLang& n) {
                    reg_.resize(ins.out);
                    for (Id c : n.children()) reg_.push_back(c);
                    return run(pc + 1);
                });
            }
            case Instruction::Kind::Compare:
                if (eg.find(reg_[ins.i]) != eg.find(reg_[ins.j])) return false;
                ++pc;
                break;
            case Instruction::Kind::Lookup: {
                lookup_.clear();
                for (const ENodeOrReg& el : ins.term) {
                    if (el.is_reg) {
                        lookup_.push_back(eg.find(reg_[el.reg]));
                        continue;
                    }
                    scratch_ = el.node;
                    for (Id& c : scratch_.children()) c = lookup_[c];
                    const std::optional<Id> found = eg.lookup(scratch_);
                    if (!found) return false;
                    lookup_.push_back(*found);
                }
                if (lookup_.back() != eg.find(reg_[ins.i])) return false;
                ++pc;
                break;
            }
            case Instruction::Kind::Scan: {
                for (const EClass& cls : eg.classes()) {
                    reg_.resize(ins.out);
                    reg_.push_back(cls.id);
                    if (run(pc + 1)) return true;
                }
                return false;
            }
        }
    }
    Subst& s = out_->emplace_back();
    for (const SubstEntry& e : program_->subst_) s.push_back(SubstEntry{e.var, reg_[e.id]});
    return --limit_ == 0;
}

// ---------------------------------------------------------------- Pattern

namespace {

// Compaction: equal nodes (after remapping children) are stored once.
RecExpr compact(const RecExpr& ast) {
    std::vector<ENodeOrVar> set;
    FlatIndex index;
    std::vector<Id> new_pos(ast.size());
    for (std::size_t p = 0; p < ast.size(); ++p) {
        ENodeOrVar n = ast[static_cast<Id>(p)];
        for (Id& c : n.children()) c = new_pos[c];
        const std::uint32_t next = static_cast<std::uint32_t>(set.size());
        auto [e, inserted] = index.find_or_insert(n.hash(), next, [&](std::uint32_t i) { return set[i] == n; });
        if (inserted) set.push_back(std::move(n));
        new_pos[p] = e;
    }
    return RecExpr(std::move(set));
}

}  // namespace

Pattern::Pattern(RecExpr ast) : ast_(compact(ast)) {
    program_ = Program::compile_from_pat(ast_);
    for (const ENodeOrVar& n : ast_.nodes())
        if (n.is_var() && std::find(vars_.begin(), vars_.end(), n.as_var()) == vars_.end())
            vars_.push_back(n.as_var());
}

std::ostream& operator<<(std::ostream& out, const Pattern& p) { return out << p.ast(); }

std::vector<SearchMatches> Pattern::search(const EGraph& egraph) const {
    return search_with_limit(egraph, std::numeric_limits<std::size_t>::max());
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, std::size_t limit) const {
    // Checked before any class is visited, so that a dirty e-graph is
    // refused even when its stale op index has no candidates.
    if (!egraph.is_clean()) fail("Tried to search a dirty e-graph!");
    std::vector<SearchMatches> result;
    if (ast_.empty()) return result;
    Machine machine;
    // The machine fills a fresh entry in place; it is dropped again when
    // the class yields nothing.
    auto visit = [&](Id eclass) {
        if (limit == 0) return false;
        SearchMatches& m = result.emplace_back();
        machine.run_on(egraph, program_, eclass, limit, m.substs);
        const std::size_t len = m.substs.size();
        if (len == 0) {
            result.pop_back();
            return true;
        }
        if (len > limit) fail("assertion failed: len <= limit");
        limit -= len;
        DAGLOOM_LOG(Trace, "Found ", len, " matches of ", ast_, " in class ", eclass);
        m.eclass = eclass;
        m.ast = &ast_;
        return true;
    };
    const ENodeOrVar& root = ast_.root();
    if (root.is_var()) {
        result.reserve(std::min(limit, egraph.class_count()));
        for (const EClass& cls : egraph.classes())
            if (!visit(cls.id)) break;
    } else {
        // Only the classes holding a node with the root's operator can match.
        const std::span<const Id> candidates = egraph.classes_with_op(root.node().op);
        result.reserve(std::min(limit, candidates.size()));
        for (Id eclass : candidates)
            if (!visit(eclass)) break;
    }
    return result;
}

Id Pattern::instantiate(EGraph& egraph, const Subst& subst) const {
    // A bare-variable applier: the bound class itself.
    if (ast_.size() == 1 && ast_.root().is_var()) return subst[ast_.root().as_var()];
    SmallVector<Id, 16> ids;
    ids.reserve(ast_.size());
    for (std::size_t p = 0; p < ast_.size(); ++p) {
        ids.push_back(0);
        const ENodeOrVar& n = ast_[static_cast<Id>(p)];
        if (n.is_var()) {
            ids[p] = subst[n.as_var()];
            continue;
        }
        SymbolLang node = n.node();
        for (Id& c : node.children()) c = ids[c];
        ids[p] = egraph.add(std::move(node));
    }
    return ids.back();
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       GlobalSymbol rule_name) const {
    std::vector<Id> added;
    // Flattened (match, subst) items, so that the instances of later items
    // can be prefetched while earlier ones are applied: each application is
    // a few dependent cache misses (memo slot, memo entry, class record),
    // and overlapping them across items is most of the cost.
    struct Item {
        Id eclass;
        const Subst* subst;
    };
    std::vector<Item> items;
    for (const SearchMatches& m : matches)
        for (const Subst& s : m.substs) items.push_back(Item{m.eclass, &s});

    constexpr std::size_t kIdAhead = 24, kSlotAhead = 16, kEntryAhead = 8;
    const std::size_t n = items.size();
    SymbolLang probe;
    // The applier's root node when all its children are variables (the
    // usual shape: commutativity and similar); other shapes skip the hints.
    const bool flat_root = !ast_.root().is_var() && [&] {
        for (Id c : ast_.root().node().children())
            if (!ast_[c].is_var()) return false;
        return true;
    }();
    auto build_probe = [&](const Item& it) {
        probe = ast_.root().node();
        for (Id& c : probe.children()) {
            const std::optional<Id> v = it.subst->get(ast_[c].as_var());
            if (!v) return false;
            c = *v;
        }
        return true;
    };
    for (std::size_t k = 0; k < n; ++k) {
        if (k + kIdAhead < n) {
            const Item& ahead = items[k + kIdAhead];
            egraph.prefetch_id(ahead.eclass);
            for (const SubstEntry& e : *ahead.subst) egraph.prefetch_id(e.id);
        }
        if (flat_root && k + kSlotAhead < n && build_probe(items[k + kSlotAhead])) egraph.prefetch_lookup_slot(probe);
        if (k + kEntryAhead < n) {
            const Item& ahead = items[k + kEntryAhead];
            egraph.prefetch_class(ahead.eclass);
            if (flat_root && build_probe(ahead)) egraph.prefetch_lookup_entry(probe);
        }
        const Item& it = items[k];
        DAGLOOM_LOG(Trace, "Applying ", rule_name, ": ", ast_, " to class ", it.eclass, " with ", *it.subst);
        const Id id = instantiate(egraph, *it.subst);
        if (egraph.union_(id, it.eclass)) added.push_back(id);
    }
    return added;
}

// ---------------------------------------------------------------- Rewrite

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern searcher, Pattern applier) {
    const GlobalSymbol sym = GlobalSymbol::from(name);
    const std::vector<Var>& bound = searcher.vars();
    for (Var v : applier.vars()) {
        if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
            std::ostringstream msg;
            msg << "Rewrite " << sym << " refers to unbound var " << v;
            return make_err(msg.str());
        }
    }
    Rewrite rw;
    rw.name = sym;
    rw.searcher = std::make_shared<const Pattern>(std::move(searcher));
    rw.applier = std::make_shared<const Pattern>(std::move(applier));
    return rw;
}

}  // namespace dagloom::egraph
