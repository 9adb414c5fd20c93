// The prepared form of a query: a tree of FLWOR expressions, comma
// sequences and compiled XPath 1.0 expressions.
#ifndef KORVITH_XQUERY_AST_H
#define KORVITH_XQUERY_AST_H

#include <libxml/xpath.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvith::xq {

struct CompDeleter {
  void operator()(xmlXPathCompExprPtr comp) const { xmlXPathFreeCompExpr(comp); }
};
using CompPtr = std::unique_ptr<xmlXPathCompExpr, CompDeleter>;

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

enum class ClauseKind { For, Let };

// `for $var at $pos in source` or `let $var := source`.
struct Clause {
  ClauseKind kind = ClauseKind::For;
  std::string var;
  std::string pos_var;  // empty when there is no `at`
  ExprPtr source;
};

struct OrderSpec {
  ExprPtr key;
  bool descending = false;
  bool empty_greatest = false;
};

struct Flwor {
  std::vector<Clause> clauses;
  ExprPtr where;  // may be null
  std::vector<OrderSpec> order;
  ExprPtr body;   // the return expression
};

enum class ExprKind { Path, Flwor, Sequence };

struct Expr {
  ExprKind kind = ExprKind::Path;
  std::string text;              // Path: the XPath source text
  CompPtr comp;                  // Path: the compiled expression
  std::unique_ptr<Flwor> flwor;  // Flwor
  std::vector<ExprPtr> items;    // Sequence: `(a, b, ...)`; empty for `()`
};

struct Query {
  std::vector<std::pair<std::string, std::string>> namespaces;  // prefix, uri
  ExprPtr body;
};

// Parses and compiles `text`. On failure returns null and sets `error` to a
// message naming the problem, `line` and `column` to where it is (1-based).
std::unique_ptr<Query> prepare(const char* text, std::string& error, int& line, int& column);

// Evaluates a prepared query. Returns null with `error` set on failure.
xmlXPathObjectPtr evaluate(const Query& query, xmlDocPtr doc, xmlNodePtr context,
                           std::string& error);

}  // namespace korvith::xq

#endif
