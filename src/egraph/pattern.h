// Patterns and the matching machine.
//
// Naming: `Pattern::new` / `Rewrite::new` are `Pattern::make` /
// `Rewrite::make` (also an explicit Pattern constructor). The Searcher and
// Applier interfaces are folded into Pattern, the only implementation this
// system has; a Rewrite holds its searcher and applier as
// std::shared_ptr<const Pattern>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/egraph_core.h"
#include "egraph/pattern_text.h"
#include "util/result.h"
#include "util/small_vector.h"

namespace dagloom::egraph {

using Reg = std::uint32_t;

struct SubstEntry {
    Var var;
    Id id;
    friend bool operator==(const SubstEntry&, const SubstEntry&) = default;
};

// The bindings of one match: up to three inline, no heap allocation.
class Subst {
public:
    Subst() = default;
    Subst(std::initializer_list<SubstEntry> init) : vec_(init) {}

    // The first binding of var, if any.
    std::optional<Id> get(Var var) const {
        for (const SubstEntry& e : vec_)
            if (e.var == var) return e.id;
        return std::nullopt;
    }
    // Replaces an existing binding (returning the old id) or appends one.
    std::optional<Id> insert(Var var, Id id) {
        for (SubstEntry& e : vec_)
            if (e.var == var) {
                const Id old = e.id;
                e.id = id;
                return old;
            }
        vec_.push_back(SubstEntry{var, id});
        return std::nullopt;
    }
    // Fails with "Var '{}={}' not found in {:?}" when var is unbound.
    Id operator[](Var var) const {
        if (const std::optional<Id> id = get(var)) return *id;
        fail_unbound(var);
    }

    std::size_t size() const { return vec_.size(); }
    bool empty() const { return vec_.empty(); }
    const SubstEntry* begin() const { return vec_.begin(); }
    const SubstEntry* end() const { return vec_.end(); }
    bool is_inline() const { return vec_.is_inline(); }
    void push_back(SubstEntry e) { vec_.push_back(e); }
    void clear() { vec_.clear(); }

    friend bool operator==(const Subst& a, const Subst& b) { return a.vec_ == b.vec_; }

private:
    [[noreturn]] void fail_unbound(Var var) const;
    SmallVector<SubstEntry, 3> vec_;
};

// The matches of one class: a vector with room for one Subst inline (most
// classes match a pattern once), so a search allocates nothing per class.
using SubstList = SmallVector<Subst, 1>;

// Debug form: {?a: 1, ?b: 2}
std::string debug_string(const Subst& s);

// One element of a Lookup term.
struct ENodeOrReg {
    bool is_reg = false;
    Reg reg = 0;      // is_reg
    SymbolLang node;  // else: children are positions of earlier elements
};

struct Instruction {
    enum class Kind { Bind, Compare, Lookup, Scan };
    Kind kind = Kind::Bind;
    SymbolLang node{};  // Bind: op and arity; children all 0
    Reg i = 0;          // Bind, Compare, Lookup
    Reg j = 0;          // Compare
    Reg out = 0;        // Bind, Scan
    std::vector<ENodeOrReg> term{};  // Lookup
};
std::string debug_string(const Instruction& ins);

class Program;

// The interpreter state: the register file and Lookup's scratch; reused
// across classes by a search so the inner loop does not allocate.
class Machine {
public:
    // Runs the program on one class, appending at most `limit` (>= 1) matches.
    void run_on(const EGraph& egraph, const Program& program, Id eclass, std::size_t limit, SubstList& out);

private:
    bool run(std::size_t pc);  // true: stop (limit reached)
    // A program that is one Bind of the class itself (a root operator over
    // variables, such as "(op ?a ?b)"): the same walk without the register
    // file.
    void run_single_bind(Id eclass);

    std::vector<Id> reg_;
    std::vector<Id> lookup_;
    SymbolLang scratch_;
    // per run_on call
    const EGraph* egraph_ = nullptr;
    const Program* program_ = nullptr;
    SubstList* out_ = nullptr;
    std::size_t limit_ = 0;
};

class Program {
public:
    static Program compile_from_pat(const RecExpr& ast);

    const std::vector<Instruction>& instructions() const { return instructions_; }
    // Template: for each variable, its register in the Id slot.
    const Subst& subst() const { return subst_; }

private:
    friend class Machine;
    std::vector<Instruction> instructions_;
    Subst subst_;
    // True when instructions_ is a single Bind of register 0.
    bool single_bind_ = false;
};

struct SearchMatches {
    Id eclass = 0;
    SubstList substs;
    const RecExpr* ast = nullptr;  // the searcher's ast
};

class Pattern {
public:
    explicit Pattern(RecExpr ast);
    static Pattern make(RecExpr ast) { return Pattern(std::move(ast)); }

    const RecExpr& ast() const { return ast_; }
    const Program& program() const { return program_; }
    // The distinct variables, in ast order.
    const std::vector<Var>& vars() const { return vars_; }

    // Searcher.
    std::vector<SearchMatches> search(const EGraph& egraph) const;
    std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const;

    // Applier.
    std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                  GlobalSymbol rule_name) const;
    // Builds the instance for subst in the e-graph; returns its class.
    Id instantiate(EGraph& egraph, const Subst& subst) const;

private:
    RecExpr ast_;
    Program program_;
    std::vector<Var> vars_;
};
std::ostream& operator<<(std::ostream& out, const Pattern& p);

class Rewrite {
public:
    GlobalSymbol name;
    std::shared_ptr<const Pattern> searcher;
    std::shared_ptr<const Pattern> applier;

    // Error text "Rewrite {} refers to unbound var {}" when the applier uses a
    // variable the searcher does not bind.
    static Result<Rewrite, std::string> make(std::string_view name, Pattern searcher, Pattern applier);

    std::vector<SearchMatches> search(const EGraph& egraph) const { return searcher->search(egraph); }
    std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const {
        return searcher->search_with_limit(egraph, limit);
    }
    std::vector<Id> apply(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
        return applier->apply_matches(egraph, matches, name);
    }

private:
    Rewrite() = default;
};

}  // namespace dagloom::egraph
