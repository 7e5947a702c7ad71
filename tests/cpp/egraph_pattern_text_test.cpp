// Pattern text: the S-expression reader and RecExpr::from_str.
#include <gtest/gtest.h>

#include <string>

#include "egraph/egraph.h"

namespace dagloom::egraph {
namespace {

std::string parse_error(std::string_view text) {
    auto r = RecExpr::from_str(text);
    if (r.ok()) return "<ok: " + to_string(*r) + ">";
    return debug_string(r.error());
}

Sexp atom(std::string s) { return Sexp::string(std::move(s)); }

TEST(PatternText, ReaderAtomsListsAndEmpty) {
    auto e = parse_str("");
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(e->is_empty());
    auto a = parse_str("abc");
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(*a, atom("abc"));
    auto l = parse_str("(f x (g y))");
    ASSERT_TRUE(l.ok());
    EXPECT_EQ(debug_string(*l), "List([String(\"f\"), String(\"x\"), List([String(\"g\"), String(\"y\")])])");
    auto nl = parse_str("(f\n  x\r\n\t y )");
    ASSERT_TRUE(nl.ok());
    EXPECT_EQ(*nl, Sexp::list({atom("f"), atom("x"), atom("y")}));
    auto empty_list = parse_str("()");
    ASSERT_TRUE(empty_list.ok());
    EXPECT_EQ(*empty_list, Sexp::list({}));
}

TEST(PatternText, ReaderErrorsCarryLineAndColumn) {
    auto r = parse_str(")");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), (SexpError{ParseError{"Unexpected )", 1, 1}}));
    auto eof = parse_str("(f x");
    ASSERT_FALSE(eof.ok());
    EXPECT_EQ(eof.error(), (SexpError{ParseError{"End of file reached", 1, 5}}));
    auto multi = parse_str("(f\n  (g x)\n  ");
    ASSERT_FALSE(multi.ok());
    EXPECT_EQ(multi.error(), (SexpError{ParseError{"End of file reached", 3, 3}}));
    auto inner = parse_str("(f\n   )\n)");  // ")" after the list is not examined
    ASSERT_TRUE(inner.ok());
    auto blank = parse_str("  \t");
    ASSERT_FALSE(blank.ok());
    EXPECT_EQ(blank.error(), (SexpError{ParseError{"End of file reached", 1, 4}}));
    auto quote = parse_str("\"abc");
    ASSERT_FALSE(quote.ok());
    EXPECT_EQ(quote.error(), (SexpError{ParseError{"End of file reached", 1, 5}}));
    // Columns count characters, not bytes.
    auto uni = parse_str("(\xc3\xa9\xc3\xa9 x");
    ASSERT_FALSE(uni.ok());
    EXPECT_EQ(uni.error(), (SexpError{ParseError{"End of file reached", 1, 6}}));
    EXPECT_EQ(debug_string(r.error()), "Parse(ParseError { msg: \"Unexpected )\", line: 1, col: 1 })");
}

TEST(PatternText, TabIsPartOfAnAtom) {
    auto r = parse_str("(f\tx)");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->items().size(), 1u);
    EXPECT_EQ(r->items()[0], atom("f\tx"));
    EXPECT_EQ(r->items()[0].str().size(), 3u);
}

TEST(PatternText, QuotedStringKeepsBackslashes) {
    auto r = parse_str("\"a\\\"b\"");  // "a\"b"
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, atom("a\\\"b"));
    EXPECT_EQ(r->str().size(), 4u);
    // Two backslashes escape the closing quote again: unterminated.
    auto u = parse_str("\"x\\\\\"");
    ASSERT_FALSE(u.ok());
    EXPECT_EQ(u.error().parse.msg, "End of file reached");
    auto q = parse_str("(f \"a b\" c)");
    ASSERT_TRUE(q.ok());
    EXPECT_EQ(*q, Sexp::list({atom("f"), atom("a b"), atom("c")}));
    auto in_atom = parse_str("a\"b");
    ASSERT_TRUE(in_atom.ok());
    EXPECT_EQ(*in_atom, atom("a\"b"));
}

TEST(PatternText, OnlyFirstExpressionIsRead) {
    auto r = RecExpr::from_str("(f a) b");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(to_string(*r), "(f a)");
    EXPECT_EQ(r->size(), 2u);
    auto junk = RecExpr::from_str("(f a) ) ) (");
    ASSERT_TRUE(junk.ok());
}

TEST(PatternText, VariablesAndOperators) {
    auto q = RecExpr::from_str("?");
    ASSERT_TRUE(q.ok());
    ASSERT_EQ(q->size(), 1u);
    EXPECT_FALSE(q->root().is_var());
    EXPECT_EQ(q->root().node().op.as_str(), "?");
    auto x = RecExpr::from_str("?x");
    ASSERT_TRUE(x.ok());
    ASSERT_EQ(x->size(), 1u);
    ASSERT_TRUE(x->root().is_var());
    EXPECT_EQ(x->root().as_var().name(), "?x");
    auto v = Var::from_str("?abc");
    ASSERT_TRUE(v.ok());
    EXPECT_EQ(v->sym, GlobalSymbol::from("?abc"));
    auto bad = Var::from_str("x");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(debug_string(bad.error()), "MissingQuestionMark(\"x\")");
    EXPECT_FALSE(Var::from_str("?").ok());
}

TEST(PatternText, FromOp) {
    Id kids[] = {0};
    auto e = ENodeOrVar::from_op("?f", kids);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(debug_string(e.error()), "UnexpectedVar(\"?f\")");
    auto leaf_var = ENodeOrVar::from_op("?f", {});
    ASSERT_TRUE(leaf_var.ok());
    EXPECT_TRUE(leaf_var->is_var());
    auto q = ENodeOrVar::from_op("?", kids);
    ASSERT_TRUE(q.ok());
    EXPECT_FALSE(q->is_var());
    EXPECT_EQ(q->node().len(), 1u);
    SymbolLang s = SymbolLang::from_op("op|add", std::vector<Id>{1, 2});
    EXPECT_EQ(s, SymbolLang(GlobalSymbol::from("op|add"), {1, 2}));
    EXPECT_EQ(debug_string(ENodeOrVarParseError::make_bad_var(VarParseError{"y"})),
              "BadVar(MissingQuestionMark(\"y\"))");
}

TEST(PatternText, RecExprErrors) {
    EXPECT_EQ(parse_error("(?f ?x)"), "BadOp(UnexpectedVar(\"?f\"))");
    EXPECT_EQ(parse_error("()"), "EmptySexp");
    EXPECT_EQ(parse_error(""), "EmptySexp");
    EXPECT_EQ(parse_error(" \t\n "), "EmptySexp");
    EXPECT_EQ(parse_error("(f ())"), "EmptySexp");
    EXPECT_EQ(parse_error("((f) x)"), "HeadList(List([String(\"f\")]))");
    EXPECT_EQ(parse_error(")"), "BadSexp(Parse(ParseError { msg: \"Unexpected )\", line: 1, col: 1 }))");
    EXPECT_EQ(parse_error("(f x"), "BadSexp(Parse(ParseError { msg: \"End of file reached\", line: 1, col: 5 }))");
    // The error is reported in post-order: the first failing item wins.
    EXPECT_EQ(parse_error("(f (?g a) ())"), "BadOp(UnexpectedVar(\"?g\"))");
    auto r = RecExpr::from_str("((f) x)");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, RecExprParseError::Kind::HeadList);
    EXPECT_EQ(r.error().head, Sexp::list({atom("f")}));
}

TEST(PatternText, TrimsUnicodeWhitespace) {
    auto r = RecExpr::from_str("\xe3\x80\x80 (f ?x)\n\xc2\xa0");  // U+3000 ... U+00A0
    ASSERT_TRUE(r.ok()) << parse_error("\xe3\x80\x80 (f ?x)\n\xc2\xa0");
    EXPECT_EQ(to_string(*r), "(f ?x)");
}

TEST(PatternText, RepeatedVariablesAreStoredTwice) {
    auto r = RecExpr::from_str("(f ?x ?x)");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_TRUE((*r)[0].is_var());
    EXPECT_TRUE((*r)[1].is_var());
    EXPECT_EQ((*r)[0].as_var(), (*r)[1].as_var());
    ASSERT_FALSE((*r)[2].is_var());
    EXPECT_EQ((*r)[2].node(), SymbolLang(GlobalSymbol::from("f"), {0, 1}));
}

TEST(PatternText, OperatorTokensAreSingleAtoms) {
    auto r = RecExpr::from_str("(op|add ?a ?b)");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ(r->root().node().op.as_str(), "op|add");
    EXPECT_EQ(r->root().node().op, GlobalSymbol::from("op|add"));
    auto id = RecExpr::from_str("(op|add|scalar=f0000000000000000;side=sr ?x)");
    ASSERT_TRUE(id.ok());
    ASSERT_EQ(id->size(), 2u);
    EXPECT_EQ(id->root().node().op.as_str(), "op|add|scalar=f0000000000000000;side=sr");
}

TEST(PatternText, PostOrderLayout) {
    auto r = RecExpr::from_str("(f (g a) b (g a))");
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 6u);  // no sharing
    EXPECT_EQ((*r)[1].node(), SymbolLang(GlobalSymbol::from("g"), {0}));
    EXPECT_EQ((*r)[4].node(), SymbolLang(GlobalSymbol::from("g"), {3}));
    EXPECT_EQ((*r)[5].node(), SymbolLang(GlobalSymbol::from("f"), {1, 2, 4}));
    EXPECT_EQ(to_string(*r), "(f (g a) b (g a))");
}

TEST(PatternText, DeepNestingDoesNotRecurse) {
    const int depth = 200000;
    std::string chain;
    for (int k = 0; k < depth; ++k) chain += "(g ";
    chain += "x";
    chain += std::string(depth, ')');
    auto r = RecExpr::from_str(chain);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size(), static_cast<std::size_t>(depth) + 1);

    std::string nest(depth, '(');
    nest += "x";
    nest += std::string(depth, ')');
    auto s = parse_str(nest);
    ASSERT_TRUE(s.ok());
    Sexp copy = *s;
    EXPECT_EQ(copy, *s);
    auto head = RecExpr::from_str("(" + nest + " y)");
    ASSERT_FALSE(head.ok());
    EXPECT_EQ(head.error().kind, RecExprParseError::Kind::HeadList);
    std::string expected = "HeadList(";
    for (int k = 0; k < depth; ++k) expected += "List([";
    expected += "String(\"x\")";
    for (int k = 0; k < depth; ++k) expected += "])";
    expected += ")";
    EXPECT_EQ(debug_string(head.error()), expected);
}

TEST(PatternText, DebugQuoteEscapes) {
    EXPECT_EQ(debug_quote("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u{1}\"");
    EXPECT_EQ(debug_quote("\xc3\xa9"), "\"\xc3\xa9\"");
}

}  // namespace
}  // namespace dagloom::egraph
