// The direct evaluator of simple XPath location paths (xpath_fast.cpp).
//
// parse() turns an expression into a Path when it lies inside the subset
// documented in docs/engine.md, else gives null. evaluate() answers a Path
// with an ordinary libxml2 node-set, or gives null whenever it cannot be
// sure to give exactly libxml2's answer (an unbound prefix, an entity
// reference in the tree, a context it does not handle, no memory): the
// caller then asks libxml2's evaluator.
#ifndef KORVITH_XPATH_FAST_EVAL_H
#define KORVITH_XPATH_FAST_EVAL_H

#include <libxml/xpath.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvith::xpath_fast {

struct Path;

// Frees a Path (the type stays private to xpath_fast.cpp).
struct PathDeleter {
  void operator()(Path* path) const noexcept;
};
using PathPtr = std::unique_ptr<Path, PathDeleter>;

// Null when the expression is outside the subset or memory ran out.
PathPtr parse(const char* expression) noexcept;

// Prefix bindings of the call: (prefix, URI) pairs, a later pair does not
// repeat an earlier prefix.
using Bindings = std::vector<std::pair<std::string, std::string>>;

// The node-set of `path` with `context` (an element, or null for the
// document node) in `doc`, in document order; null to fall back.
xmlXPathObjectPtr evaluate(const Path& path, xmlDocPtr doc, xmlNodePtr context,
                           const Bindings* bindings) noexcept;

}  // namespace korvith::xpath_fast

#endif
