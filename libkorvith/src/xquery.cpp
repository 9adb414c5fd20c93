// The C entry points of the query engine: prepare, free and the bound
// evaluation slot. Failures are reported through korvith_last_error.
#include "korvith/xquery.h"
#include "korvith/engine_ext.h"

#include "internal.h"
#include "xquery_ast.h"

#include <new>
#include "entry.h"

static_assert(korvith::xq::kDefaultMaxItems == KORVITH_XQUERY_DEFAULT_MAX_ITEMS);

namespace {

// The items of the latest evaluation on this thread whose result holds more
// than elements; read by the package right after the evaluation returns.
thread_local std::vector<korvith::xq::ResultItem> t_items;
thread_local bool t_items_valid = false;

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
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_xquery_free(void* query) try {
  delete static_cast<korvith::xq::Query*>(query);
} catch (...) {
  korvith::entry_failed();
}

void* korvith_xquery_eval(void* query, void* document, void* context) try {
  korvith::error_clear();
  t_items.clear();
  t_items_valid = false;
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
                                   static_cast<xmlNodePtr>(context), error, t_items);
  } catch (const std::bad_alloc&) {
    xmlXPathFreeObject(result);
    result = nullptr;
    t_items.clear();
    error = "out of memory";
  }
  if (result == nullptr) report(error, 0, 0);
  t_items_valid = result != nullptr && !t_items.empty();
  return result;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_xquery_configure(void* query, size_t max_items, int flags) try {
  if (query == nullptr || max_items == 0 || (flags & ~KORVITH_XQUERY_NO_OPTIMIZE) != 0) return -1;
  auto* q = static_cast<korvith::xq::Query*>(query);
  q->max_items = max_items;
  q->optimize = (flags & KORVITH_XQUERY_NO_OPTIMIZE) == 0;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

long korvith_xquery_items(void) try {
  return t_items_valid ? static_cast<long>(t_items.size()) : -1;
} catch (...) {
  return korvith::entry_failed<long>(-1);
}

int korvith_xquery_item(size_t index, const char** text, size_t* length, double* number) try {
  if (!t_items_valid || index >= t_items.size()) return -1;
  const korvith::xq::ResultItem& item = t_items[index];
  if (text != nullptr) *text = item.text.c_str();
  if (length != nullptr) *length = item.text.size();
  if (number != nullptr) *number = item.number;
  return static_cast<int>(item.kind);
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void korvith_xquery_items_clear(void) try {
  t_items.clear();
  t_items.shrink_to_fit();
  t_items_valid = false;
} catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
