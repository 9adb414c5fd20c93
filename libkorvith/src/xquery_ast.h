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
  ExprPtr body;  // the return expression
};

// Path, Var: a predicate or part of an expression, compiled on its own.
struct Compiled {
  std::string text;
  CompPtr comp;
};

// An equality between something the current tuple gives (`probe`, a path
// that starts at a variable) and something no variable changes, evaluated
// with a hash lookup instead of a rescan per tuple:
//   Filter:  source[key = probe]  (the nodes of `source` whose `key` equals)
//   Compare: probe = source       (whether some value of each side is equal)
struct Join {
  enum Kind { Filter, Compare } kind = Filter;
  Compiled source;  // mentions no variable
  Compiled key;     // Filter: relative to each node of `source`, no variable
  Compiled probe;   // `$v` or `$v/step/...`
};

// A subexpression of a Path replaced by a variable in its `fast` form: an
// expression no variable changes (evaluated once per evaluation) or a join
// (evaluated with its index each time the Path is).
struct Hoisted {
  std::string name;            // the variable that stands for it
  Compiled part;               // the subexpression as written
  std::unique_ptr<Join> join;  // null: invariant
};

// Path: an XPath 1.0 expression (XPath's value and order).
// Var: `$v` or `$v[p1][p2]...` read as a sequence: its items keep the order
//      and duplicates the variable was bound with, predicates filter in
//      that order.
enum class ExprKind { Path, Flwor, Sequence, Var };

struct Expr {
  ExprKind kind = ExprKind::Path;
  std::string text;            // Path, Var: the XPath source text
  CompPtr comp;                // Path, Var: the compiled expression
  bool invariant = false;      // Path: mentions no variable
  std::unique_ptr<Join> join;  // Path: evaluated as a hash join (may be null)
  CompPtr fast;                // Path: the text with `hoisted` parts as variables
  std::vector<Hoisted> hoisted;
  std::string var;               // Var: the variable's name
  std::vector<Compiled> preds;   // Var: the predicates, in order
  std::unique_ptr<Flwor> flwor;  // Flwor
  std::vector<ExprPtr> items;    // Sequence: `(a, b, ...)`; empty for `()`
};

// Default bound on the items one sequence (a result, a clause's items or
// the tuples of an `order by`) may hold during an evaluation.
constexpr size_t kDefaultMaxItems = 1000000;

struct Query {
  std::vector<std::pair<std::string, std::string>> namespaces;  // prefix, uri
  ExprPtr body;
  size_t max_items = kDefaultMaxItems;
  bool optimize = true;  // hoisting and hash joins (off only to compare results)
};

// One item of a result that holds more than elements: an element (the next
// node of the result's node-set), or a string, number or boolean.
struct ResultItem {
  enum Kind { Element = 0, String = 1, Number = 2, Boolean = 3, Document = 4 } kind = Element;
  std::string text;
  double number = 0;
};

// Parses and compiles `text`. On failure returns null and sets `error` to a
// message naming the problem, `line` and `column` to where it is (1-based).
std::unique_ptr<Query> prepare(const char* text, std::string& error, int& line, int& column);

// Evaluates a prepared query. Returns null with `error` set on failure.
// When the result holds nodes other than elements, the returned node-set
// holds its elements only and `items` describes every item in order (empty
// otherwise).
xmlXPathObjectPtr evaluate(const Query& query, xmlDocPtr doc, xmlNodePtr context,
                           std::string& error, std::vector<ResultItem>& items);

}  // namespace korvith::xq

#endif
