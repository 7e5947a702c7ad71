#include "egraph/pattern_text.h"

#include <cstdint>
#include <sstream>

#include "util/internal_error.h"

namespace dagloom::egraph {

// ---------------------------------------------------------------- Sexp

Sexp::~Sexp() {
    if (items_.empty()) return;
    std::vector<Sexp> work = std::move(items_);
    while (!work.empty()) {
        Sexp s = std::move(work.back());
        work.pop_back();
        for (Sexp& c : s.items_) work.push_back(std::move(c));
        s.items_.clear();
    }
}

Sexp::Sexp(const Sexp& other) : kind_(other.kind_), text_(other.text_) {
    std::vector<std::pair<const Sexp*, Sexp*>> work{{&other, this}};
    while (!work.empty()) {
        auto [src, dst] = work.back();
        work.pop_back();
        dst->items_.reserve(src->items_.size());  // no reallocation below: pointers stay valid
        for (const Sexp& c : src->items_) {
            Sexp& n = dst->items_.emplace_back();
            n.kind_ = c.kind_;
            n.text_ = c.text_;
        }
        for (std::size_t i = 0; i < src->items_.size(); ++i)
            if (!src->items_[i].items_.empty()) work.emplace_back(&src->items_[i], &dst->items_[i]);
    }
}

bool operator==(const Sexp& a, const Sexp& b) {
    std::vector<std::pair<const Sexp*, const Sexp*>> work{{&a, &b}};
    while (!work.empty()) {
        auto [x, y] = work.back();
        work.pop_back();
        if (x->kind_ != y->kind_ || x->text_ != y->text_ || x->items_.size() != y->items_.size()) return false;
        for (std::size_t i = 0; i < x->items_.size(); ++i) work.emplace_back(&x->items_[i], &y->items_[i]);
    }
    return true;
}

namespace {

// The reader's cursor over the text. Columns count characters: bytes that
// are not UTF-8 continuation bytes.
class Cursor {
public:
    explicit Cursor(std::string_view t) : t_(t) {}
    bool eof() const { return pos_ >= t_.size(); }
    char peek() const { return t_[pos_]; }
    void inc() {
        const unsigned char c = static_cast<unsigned char>(t_[pos_++]);
        if (c == '\n') {
            ++line_;
            col_ = 0;
        } else if ((c & 0xc0) != 0x80) {
            ++col_;
        }
    }
    // Consumes one whole character (a lead byte and its continuation bytes).
    void take_char(std::string& out) {
        out.push_back(t_[pos_]);
        inc();
        while (!eof() && (static_cast<unsigned char>(t_[pos_]) & 0xc0) == 0x80) {
            out.push_back(t_[pos_]);
            ++pos_;
        }
    }
    void eat_space() {
        while (!eof() && (peek() == ' ' || peek() == '\t')) inc();
    }
    void eat_blank() {
        while (!eof()) {
            const char c = peek();
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
            inc();
        }
    }
    SexpError error(std::string msg) const { return SexpError{ParseError{std::move(msg), line_ + 1, col_ + 1}}; }

private:
    std::string_view t_;
    std::size_t pos_ = 0;
    std::size_t line_ = 0;
    std::size_t col_ = 0;
};

}  // namespace

Result<Sexp, SexpError> parse_str(std::string_view text) {
    if (text.empty()) return Sexp();
    Cursor cur(text);
    std::vector<std::vector<Sexp>> open;  // lists being read, innermost last
    Sexp value;
    for (;;) {
        // Read one expression into `value`, or open a list.
        cur.eat_space();
        if (cur.eof()) return make_err(cur.error("End of file reached"));
        const char c = cur.peek();
        bool have_value = true;
        if (c == '"') {
            cur.inc();
            std::string s;
            bool escape = false;
            for (;;) {
                if (cur.eof()) return make_err(cur.error("End of file reached"));
                const char d = cur.peek();
                if (d == '"' && !escape) {
                    cur.inc();
                    break;
                }
                escape = d == '\\';
                cur.take_char(s);
            }
            value = Sexp::string(std::move(s));
        } else if (c == ')') {
            return make_err(cur.error("Unexpected )"));
        } else if (c == '(') {
            cur.inc();
            open.emplace_back();
            have_value = false;
        } else {
            std::string s;
            while (!cur.eof()) {
                const char d = cur.peek();
                if (d == ' ' || d == '\r' || d == '\n' || d == '(' || d == ')') break;
                cur.take_char(s);
            }
            value = Sexp::string(std::move(s));
        }
        // Hand values up; close lists that end here.
        for (;;) {
            if (have_value) {
                if (open.empty()) return value;
                open.back().push_back(std::move(value));
                have_value = false;
            }
            cur.eat_blank();
            if (!cur.eof() && cur.peek() != ')') break;  // another item follows
            if (cur.eof()) return make_err(cur.error("End of file reached"));
            cur.inc();  // the closing parenthesis
            cur.eat_space();
            value = Sexp::list(std::move(open.back()));
            open.pop_back();
            have_value = true;
        }
    }
}

// ---------------------------------------------------------------- Var / ENodeOrVar

Result<Var, VarParseError> Var::from_str(std::string_view text) {
    if (text.size() > 1 && text[0] == '?') return Var{GlobalSymbol::from(text)};
    return make_err(VarParseError{std::string(text)});
}

std::ostream& operator<<(std::ostream& out, Var v) { return out << v.sym.as_str(); }

Result<ENodeOrVar, ENodeOrVarParseError> ENodeOrVar::from_op(std::string_view op, std::span<const Id> children) {
    if (op.size() > 1 && op[0] == '?') {
        if (!children.empty()) return make_err(ENodeOrVarParseError::make_unexpected_var(std::string(op)));
        return ENodeOrVar::var(Var{GlobalSymbol::from(op)});
    }
    return ENodeOrVar::enode(SymbolLang::from_op(op, children));
}

std::ostream& operator<<(std::ostream& out, const ENodeOrVar& n) {
    if (n.is_var()) return out << n.as_var();
    return out << n.node();
}

// ---------------------------------------------------------------- RecExpr

namespace {

bool is_unicode_space(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f ||
           c == 0x3000;
}

// Decodes the code point starting at byte i (lenient: a bad byte is itself).
std::uint32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (i + n > s.size()) n = 1;
    std::uint32_t c = n == 1 ? b : n == 2 ? (b & 0x1f) : n == 3 ? (b & 0x0f) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
    len = n;
    return c;
}

std::string_view trim_unicode(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size()) {
        std::size_t len;
        if (!is_unicode_space(decode_at(s, b, len))) break;
        b += len;
    }
    std::size_t e = s.size();
    while (e > b) {
        std::size_t start = e - 1;
        while (start > b && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80) --start;
        std::size_t len;
        const std::uint32_t c = decode_at(s, start, len);
        if (start + len != e || !is_unicode_space(c)) break;
        e = start;
    }
    return s.substr(b, e - b);
}

}  // namespace

Result<RecExpr, RecExprParseError> RecExpr::from_str(std::string_view text) {
    auto parsed = parse_str(trim_unicode(text));
    using Kind = RecExprParseError::Kind;
    if (!parsed.ok()) {
        RecExprParseError e;
        e.kind = Kind::BadSexp;
        e.bad_sexp = parsed.error();
        return make_err(std::move(e));
    }
    const Sexp& top = *parsed;
    RecExpr expr;

    // Post-order conversion with an explicit stack of open lists.
    struct Frame {
        const Sexp* list;
        std::size_t next;
        std::vector<Id> ids;
    };
    std::vector<Frame> stack;
    auto bad_op = [](ENodeOrVarParseError e) {
        return make_err(RecExprParseError{.kind = Kind::BadOp, .bad_op = std::move(e)});
    };

    const Sexp* todo = &top;
    for (;;) {
        if (todo) {
            const Sexp& s = *todo;
            todo = nullptr;
            if (s.is_empty() || (s.is_list() && s.items().empty()))
                return make_err(RecExprParseError{.kind = Kind::EmptySexp});
            if (s.is_string()) {
                auto node = ENodeOrVar::from_op(s.str(), {});
                if (!node.ok()) return bad_op(node.error());
                const Id id = expr.add(std::move(*node));
                if (stack.empty()) return expr;
                stack.back().ids.push_back(id);
            } else {
                const Sexp& head = s.items()[0];
                if (head.is_empty()) fail("internal error: entered unreachable code: Cannot be in head position");
                if (head.is_list()) return make_err(RecExprParseError{.kind = Kind::HeadList, .head = head});
                stack.push_back(Frame{&s, 1, {}});
            }
        }
        Frame& f = stack.back();
        if (f.next < f.list->items().size()) {
            todo = &f.list->items()[f.next++];
            continue;
        }
        auto node = ENodeOrVar::from_op(f.list->items()[0].str(), f.ids);
        if (!node.ok()) return bad_op(node.error());
        const Id id = expr.add(std::move(*node));
        stack.pop_back();
        if (stack.empty()) return expr;
        stack.back().ids.push_back(id);
    }
}

namespace {
void write_expr(std::ostream& out, const RecExpr& e, Id i) {
    const ENodeOrVar& n = e[i];
    if (n.is_var()) {
        out << n.as_var();
        return;
    }
    if (n.node().is_leaf()) {
        out << n.node().op;
        return;
    }
    out << '(' << n.node().op;
    for (Id c : n.node().children()) {
        out << ' ';
        write_expr(out, e, c);
    }
    out << ')';
}
}  // namespace

std::string to_string(const RecExpr& expr) {
    if (expr.empty()) return "()";
    std::ostringstream out;
    write_expr(out, expr, static_cast<Id>(expr.size() - 1));
    return std::move(out).str();
}

std::ostream& operator<<(std::ostream& out, const RecExpr& expr) { return out << to_string(expr); }

// ---------------------------------------------------------------- debug forms

std::string debug_quote(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len;
        const std::uint32_t c = decode_at(text, i, len);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out += hex[c >> 4];
                    out += hex[c & 0xf];
                    out += '}';
                } else {
                    out.append(text.substr(i, len));
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string debug_string(const Sexp& top) {
    // Iterative, like the destructor: (node, index of next child) pairs.
    std::string out;
    std::vector<std::pair<const Sexp*, std::size_t>> stack;
    auto open = [&](const Sexp& s) {
        switch (s.kind()) {
            case Sexp::Kind::Empty: out += "Empty"; return false;
            case Sexp::Kind::String: out += "String(" + debug_quote(s.str()) + ")"; return false;
            case Sexp::Kind::List: out += "List(["; return true;
        }
        return false;
    };
    if (open(top)) stack.emplace_back(&top, 0);
    while (!stack.empty()) {
        auto& [s, next] = stack.back();
        if (next == s->items().size()) {
            out += "])";
            stack.pop_back();
            continue;
        }
        if (next > 0) out += ", ";
        const Sexp& child = s->items()[next++];
        if (open(child)) stack.emplace_back(&child, 0);
    }
    return out;
}

std::string debug_string(const ParseError& e) {
    return "ParseError { msg: " + debug_quote(e.msg) + ", line: " + std::to_string(e.line) +
           ", col: " + std::to_string(e.col) + " }";
}

std::string debug_string(const SexpError& e) { return "Parse(" + debug_string(e.parse) + ")"; }

std::string debug_string(const VarParseError& e) { return "MissingQuestionMark(" + debug_quote(e.text) + ")"; }

std::string debug_string(const ENodeOrVarParseError& e) {
    if (e.kind == ENodeOrVarParseError::Kind::BadVar) return "BadVar(" + debug_string(e.bad_var) + ")";
    return "UnexpectedVar(" + debug_quote(e.text) + ")";
}

std::string debug_string(const RecExprParseError& e) {
    switch (e.kind) {
        case RecExprParseError::Kind::EmptySexp: return "EmptySexp";
        case RecExprParseError::Kind::HeadList: return "HeadList(" + debug_string(e.head) + ")";
        case RecExprParseError::Kind::BadOp: return "BadOp(" + debug_string(e.bad_op) + ")";
        case RecExprParseError::Kind::BadSexp: return "BadSexp(" + debug_string(e.bad_sexp) + ")";
    }
    return "?";
}

}  // namespace dagloom::egraph
