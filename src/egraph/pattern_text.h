// Pattern text: the S-expression reader and the pattern
// syntax tree (RecExpr of ENodeOrVar) built from it. Bad text is reported as
// an error value, never thrown. Every error type has debug_string(), which
// prints like the variant names, e.g. BadOp(UnexpectedVar("?f")).
#pragma once

#include <cstddef>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "egraph/language.h"
#include "util/result.h"

namespace dagloom::egraph {

// ---------------------------------------------------------------- Sexp

class Sexp {
public:
    enum class Kind { String, List, Empty };

    Sexp() = default;  // Empty
    static Sexp string(std::string text) { return Sexp(Kind::String, std::move(text), {}); }
    static Sexp list(std::vector<Sexp> items) { return Sexp(Kind::List, {}, std::move(items)); }

    // Copy, comparison and destruction are iterative, so deeply nested
    // lists cannot exhaust the stack.
    Sexp(const Sexp& other);
    Sexp(Sexp&&) noexcept = default;
    Sexp& operator=(const Sexp& other) { return *this = Sexp(other); }
    Sexp& operator=(Sexp&&) noexcept = default;
    ~Sexp();

    Kind kind() const { return kind_; }
    bool is_string() const { return kind_ == Kind::String; }
    bool is_list() const { return kind_ == Kind::List; }
    bool is_empty() const { return kind_ == Kind::Empty; }
    const std::string& str() const { return text_; }
    const std::vector<Sexp>& items() const { return items_; }

    friend bool operator==(const Sexp& a, const Sexp& b);

private:
    Sexp(Kind kind, std::string text, std::vector<Sexp> items)
        : kind_(kind), text_(std::move(text)), items_(std::move(items)) {}

    Kind kind_ = Kind::Empty;
    std::string text_;
    std::vector<Sexp> items_;
};

struct ParseError {
    std::string msg;
    std::size_t line = 0;  // 1-based
    std::size_t col = 0;   // 1-based, counted in characters
    friend bool operator==(const ParseError&, const ParseError&) = default;
};

// The reader's error; its only variant is Parse.
struct SexpError {
    ParseError parse;
    friend bool operator==(const SexpError&, const SexpError&) = default;
};

// Reads one S-expression; empty input gives Empty. Text after the first
// complete expression is not examined.
Result<Sexp, SexpError> parse_str(std::string_view text);

// ---------------------------------------------------------------- Var

struct VarParseError {  // the only variant: MissingQuestionMark(text)
    std::string text;
    friend bool operator==(const VarParseError&, const VarParseError&) = default;
};

// A pattern variable: the interned whole name, "?" included.
struct Var {
    GlobalSymbol sym;

    static Result<Var, VarParseError> from_str(std::string_view text);
    std::string_view name() const { return sym.as_str(); }

    friend bool operator==(Var a, Var b) { return a.sym == b.sym; }
    friend auto operator<=>(Var a, Var b) { return a.sym <=> b.sym; }
};
std::ostream& operator<<(std::ostream& out, Var v);

// ---------------------------------------------------------------- ENodeOrVar

struct ENodeOrVarParseError {
    enum class Kind { BadVar, UnexpectedVar };
    Kind kind = Kind::BadVar;
    VarParseError bad_var;  // BadVar
    std::string text;       // UnexpectedVar: the variable's text

    static ENodeOrVarParseError make_bad_var(VarParseError e) { return {Kind::BadVar, std::move(e), {}}; }
    static ENodeOrVarParseError make_unexpected_var(std::string t) { return {Kind::UnexpectedVar, {}, std::move(t)}; }
    friend bool operator==(const ENodeOrVarParseError&, const ENodeOrVarParseError&) = default;
};

class ENodeOrVar {
public:
    ENodeOrVar() = default;
    static ENodeOrVar enode(SymbolLang node) { return ENodeOrVar(false, {}, std::move(node)); }
    static ENodeOrVar var(Var v) { return ENodeOrVar(true, v, {}); }

    // "?x" (longer than one byte, leading "?") is a variable and must have no
    // children; anything else, a lone "?" included, is an operator.
    static Result<ENodeOrVar, ENodeOrVarParseError> from_op(std::string_view op, std::span<const Id> children);

    bool is_var() const { return is_var_; }
    Var as_var() const { return var_; }
    const SymbolLang& node() const { return node_; }
    SymbolLang& node() { return node_; }
    std::span<const Id> children() const { return is_var_ ? std::span<const Id>() : node_.children(); }
    std::span<Id> children() { return is_var_ ? std::span<Id>() : node_.children(); }

    std::uint64_t hash() const { return is_var_ ? hash_word(0x9e3779b97f4a7c15ULL, var_.sym.raw()) : node_.hash(); }
    friend bool operator==(const ENodeOrVar& a, const ENodeOrVar& b) {
        if (a.is_var_ != b.is_var_) return false;
        return a.is_var_ ? a.var_ == b.var_ : a.node_ == b.node_;
    }

private:
    ENodeOrVar(bool is_var, Var var, SymbolLang node) : is_var_(is_var), var_(var), node_(std::move(node)) {}

    bool is_var_ = false;
    Var var_;
    SymbolLang node_;
};
std::ostream& operator<<(std::ostream& out, const ENodeOrVar& n);

// ---------------------------------------------------------------- RecExpr

struct RecExprParseError {
    enum class Kind { EmptySexp, HeadList, BadOp, BadSexp };
    Kind kind = Kind::EmptySexp;
    Sexp head{};                    // HeadList
    ENodeOrVarParseError bad_op{};  // BadOp
    SexpError bad_sexp{};           // BadSexp
    friend bool operator==(const RecExprParseError&, const RecExprParseError&) = default;
};

// A flat expression: every child is the position of an earlier node; the
// last node is the root. No sharing: repeated subterms are stored twice.
class RecExpr {
public:
    RecExpr() = default;
    explicit RecExpr(std::vector<ENodeOrVar> nodes) : nodes_(std::move(nodes)) {}

    static Result<RecExpr, RecExprParseError> from_str(std::string_view text);

    Id add(ENodeOrVar node) {
        nodes_.push_back(std::move(node));
        return static_cast<Id>(nodes_.size() - 1);
    }
    std::size_t size() const { return nodes_.size(); }
    bool empty() const { return nodes_.empty(); }
    const ENodeOrVar& operator[](Id i) const { return nodes_[i]; }
    ENodeOrVar& operator[](Id i) { return nodes_[i]; }
    const ENodeOrVar& root() const { return nodes_.back(); }
    std::span<const ENodeOrVar> nodes() const { return nodes_; }

    friend bool operator==(const RecExpr&, const RecExpr&) = default;

private:
    std::vector<ENodeOrVar> nodes_;
};

// The S-expression text of the tree, e.g. "(f ?x ?x)".
std::string to_string(const RecExpr& expr);
std::ostream& operator<<(std::ostream& out, const RecExpr& expr);

// ---------------------------------------------------------------- debug forms

// Rust-style quoted string: "a\"b".
std::string debug_quote(std::string_view text);
std::string debug_string(const Sexp& s);                  // String("f"), List([..]), Empty
std::string debug_string(const ParseError& e);            // ParseError { msg: "..", line: 1, col: 1 }
std::string debug_string(const SexpError& e);             // Parse(ParseError { .. })
std::string debug_string(const VarParseError& e);         // MissingQuestionMark("x")
std::string debug_string(const ENodeOrVarParseError& e);  // UnexpectedVar("?f") / BadVar(..)
std::string debug_string(const RecExprParseError& e);     // EmptySexp / HeadList(..) / BadOp(..) / BadSexp(..)

// Values with a debug form (these, Subst, StopReason, ...) print as it.
template <class T>
    requires requires(const T& v) { debug_string(v); }
std::ostream& operator<<(std::ostream& out, const T& v) {
    return out << debug_string(v);
}

}  // namespace dagloom::egraph
