// The equality-saturation engine's public header.
//
//   symbol.h        GlobalSymbol and the process-wide SymbolTable
//   language.h      Id, SymbolLang, UnionFind, the word hash
//   egraph_core.h   EClass, EGraph
//   pattern_text.h  Sexp reader, Var, ENodeOrVar, RecExpr, parse errors
//   pattern.h       Subst, Program, Machine, Pattern, SearchMatches, Rewrite
//   runner.h        Runner, Iteration, StopReason, BackoffScheduler
//   log.h           the logging facade (off unless a sink is installed)
//
// Names that would be C++ keywords or reserved: `union` is EGraph::union_,
// `Pattern::new` / `Rewrite::new` are Pattern::make / Rewrite::make.
//
// Typical use:
//   EGraph eg;  ids.push_back(eg.add(SymbolLang(GlobalSymbol::from(op), kids)));
//   auto s = RecExpr::from_str("(op|add ?a ?b)");  ... Pattern::make(*s) ...
//   auto rw = Rewrite::make("commute-add", searcher, applier);
//   Runner r; r.set_egraph(std::move(eg)).set_iter_limit(12).set_node_limit(4 * n + 1024);
//   r.run(rules);  r.egraph.find(id) ...
#pragma once

#include "egraph/egraph_core.h"
#include "egraph/language.h"
#include "egraph/log.h"
#include "egraph/pattern.h"
#include "egraph/pattern_text.h"
#include "egraph/runner.h"
#include "egraph/symbol.h"
