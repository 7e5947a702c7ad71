// The equality-saturation engine's public header (spec Parts 5.1-5.5).
//
//   symbol.h        GlobalSymbol and the process-wide SymbolTable (Part 5.4)
//   language.h      Id, SymbolLang, UnionFind, the word hash (Part 5.1)
//   egraph_core.h   EClass, EGraph (Part 5.1)
//   pattern_text.h  Sexp reader, Var, ENodeOrVar, RecExpr, parse errors (Part 5.5)
//   pattern.h       Subst, Program, Machine, Pattern, SearchMatches, Rewrite (Part 5.2)
//   runner.h        Runner, Iteration, StopReason, BackoffScheduler (Part 5.3)
//   log.h           the logging facade (off unless a sink is installed)
//
// Spec names that are C++ keywords or reserved: `union` is EGraph::union_,
// `Pattern::new` / `Rewrite::new` are Pattern::make / Rewrite::make.
//
// Typical use (Part 4.3):
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
