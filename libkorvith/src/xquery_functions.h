// libxml2 XPath glue for queries: contexts that capture errors instead of
// printing them, namespace declarations, compilation, and the few XQuery
// functions the engine adds to XPath 1.0's library.
#ifndef KORVITH_XQUERY_FUNCTIONS_H
#define KORVITH_XQUERY_FUNCTIONS_H

#include "xquery_ast.h"

#include <string_view>

namespace korvith::xq {

// A context that collects the first error message libxml2 reports on it.
struct ErrorSink {
  std::string message;
};

struct ContextDeleter {
  void operator()(xmlXPathContextPtr ctxt) const { xmlXPathFreeContext(ctxt); }
};
using ContextPtr = std::unique_ptr<xmlXPathContext, ContextDeleter>;

// A fresh context on `doc` (may be null) with the query's namespaces and the
// extension functions registered; errors go to `sink`.
ContextPtr new_context(xmlDocPtr doc,
                       const std::vector<std::pair<std::string, std::string>>& namespaces,
                       ErrorSink& sink);

struct CompileResult {
  CompPtr comp;
  std::string error;
};

CompileResult compile_xpath(const std::string& text,
                            const std::vector<std::pair<std::string, std::string>>& namespaces);

// Functions beyond XPath 1.0 that queries may call.
bool is_extension_function(std::string_view name);
// Extension functions that always give a boolean, number or string.
bool is_atomic_extension(std::string_view name);

}  // namespace korvith::xq

#endif
