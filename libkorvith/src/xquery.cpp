// The C entry points of the query engine: prepare, free and the bound
// evaluation slot. Failures are reported through korvith_last_error.
#include "korvith/xquery.h"

#include "internal.h"
#include "xquery_ast.h"

#include <new>

namespace {

void report(const std::string& message, int line, int column) {
  korvith::error_set(KORVITH_XQUERY_STATUS, message, line, column);
}

}  // namespace

extern "C" {

void* korvith_xquery_prepare(const char* text) try {
  korvith::error_clear();
  std::string error;
  int line = 0;
  int column = 0;
  std::unique_ptr<korvith::xq::Query> query;
  try {
    query = korvith::xq::prepare(text, error, line, column);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  }
  if (!query) {
    report(error, line, column);
    return nullptr;
  }
  return query.release();
} catch (...) { return korvith::entry_failed<void*>(nullptr); }

void korvith_xquery_free(void* query) try { delete static_cast<korvith::xq::Query*>(query); } catch (...) { korvith::entry_failed(); }

void* korvith_xquery_eval(void* query, void* document, void* context) try {
  korvith::error_clear();
  if (query == nullptr) {
    report("no query", 0, 0);
    return nullptr;
  }
  std::string error;
  xmlXPathObjectPtr result = nullptr;
  // String values that expand entities are read one thread at a time.
  auto lock = korvith::lock_entity_reads(static_cast<xmlDocPtr>(document));
  try {
    result = korvith::xq::evaluate(*static_cast<const korvith::xq::Query*>(query),
                                   static_cast<xmlDocPtr>(document),
                                   static_cast<xmlNodePtr>(context), error);
  } catch (const std::bad_alloc&) {
    xmlXPathFreeObject(result);
    result = nullptr;
    error = "out of memory";
  }
  if (result == nullptr) report(error, 0, 0);
  return result;
} catch (...) { return korvith::entry_failed<void*>(nullptr); }

}  // extern "C"
