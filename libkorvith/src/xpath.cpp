// XPath 1.0 evaluation: per-document cached evaluation context, namespace
// and variable sets, compiled expressions and result accessors. Node-sets
// are exposed as their element nodes only.
#include <libxml/xpathInternals.h>

#include <cstdlib>
#include <new>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "entry.h"
#include "korvith/xpath_fast.h"
#include "xpath_fast_eval.h"

namespace korvith {
namespace {

struct NsSet {
  std::vector<std::pair<std::string, std::string>> pairs;
};

struct Variable {
  std::string name;
  int kind = KORVITH_VARIABLE_BOOLEAN;  // KORVITH_VARIABLE_*
  bool boolean = false;
  double number = 0;
  std::string text;
};

struct VarSet {
  std::vector<Variable> vars;
};

// Nodes other than elements in the node-set most recently counted on this
// thread (korvith_xpath_last_other_nodes): the module's conversion keeps the
// elements only, and the package re-evaluates for every node when this is
// not 0.
thread_local size_t last_other_nodes = 0;

// Whether the most recent evaluation on this thread was answered by the
// direct evaluator (korvith_xpath_last_fast).
thread_local int last_fast = 0;

// A compiled expression: libxml2's form, and the direct evaluator's form
// when the expression is inside its subset (parsed once, here).
struct Compiled {
  xmlXPathCompExprPtr comp = nullptr;
  xpath_fast::PathPtr fast;

  Compiled() = default;
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;
  ~Compiled() {
    if (comp != nullptr) xmlXPathFreeCompExpr(comp);
  }
};

void on_xpath_error(void*, const xmlError* err) {
  if (error_code() == 0) error_from(err);
}

xmlXPathContextPtr new_context(xmlDocPtr doc) {
  xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
  if (ctx != nullptr) xmlXPathSetErrorHandler(ctx, on_xpath_error, nullptr);
  return ctx;
}

bool valid_ncname(const char* s) {
  return s != nullptr && *s != '\0' && xmlValidateNCName(xstr(s), 0) == 0;
}

xmlXPathObjectPtr make_value(const Variable& v) {
  switch (v.kind) {
    case KORVITH_VARIABLE_BOOLEAN: return xmlXPathNewBoolean(v.boolean ? 1 : 0);
    case KORVITH_VARIABLE_NUMBER: return xmlXPathNewFloat(v.number);
    default: return xmlXPathNewCString(v.text.c_str());
  }
}

void* evaluate(void* document, void* context, const char* expression, const Compiled* compiled,
               const NsSet* ns, const VarSet* vars) {
  error_clear();
  last_other_nodes = 0;
  last_fast = 0;
  xmlXPathCompExprPtr comp = compiled != nullptr ? compiled->comp : nullptr;
  auto* doc = static_cast<xmlDocPtr>(document);
  xmlNodePtr node = as_node(context);
  if (doc == nullptr && node != nullptr) doc = node->doc;
  if (doc == nullptr || (expression == nullptr && comp == nullptr)) {
    error_set(XML_ERR_ARGUMENT, "no document or expression to evaluate", 0, 0);
    return nullptr;
  }
  if (node != nullptr && node->doc != doc) {
    error_set(XML_ERR_ARGUMENT, "context node belongs to another document", 0, 0);
    return nullptr;
  }
  DocSide* side = side_of(doc);
  if (side == nullptr) return nullptr;
  // The document's own context when it is free; a private one when another
  // thread is evaluating on the same document. A document whose string
  // values expand entities is evaluated one thread at a time.
  std::unique_lock<std::mutex> lock(side->mu, std::defer_lock);
  if (side->entity_reads_exclusive) {
    lock.lock();
  } else {
    (void)lock.try_lock();
  }
  // Simple location paths first; anything the direct evaluator leaves (or
  // gives up on) goes to libxml2.
  xpath_fast::PathPtr parsed;
  const xpath_fast::Path* fast = compiled != nullptr ? compiled->fast.get() : nullptr;
  if (compiled == nullptr) {
    parsed = xpath_fast::parse(expression);
    fast = parsed.get();
  }
  if (fast != nullptr) {
    xmlXPathObjectPtr direct =
        xpath_fast::evaluate(*fast, doc, node, ns != nullptr ? &ns->pairs : nullptr);
    if (direct != nullptr) {
      last_fast = 1;
      return direct;
    }
  }
  xmlXPathContextPtr ctx = nullptr;
  bool private_ctx = !lock.owns_lock();
  if (!private_ctx) {
    if (side->xpath == nullptr) side->xpath = new_context(doc);
    ctx = side->xpath;
  } else {
    ctx = new_context(doc);
  }
  if (ctx == nullptr) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  ctx->node = node != nullptr ? node : reinterpret_cast<xmlNodePtr>(doc);
  bool ok = true;
  if (ns != nullptr) {
    for (const auto& [prefix, uri] : ns->pairs) {
      if (xmlXPathRegisterNs(ctx, xstr(prefix.c_str()), xstr(uri.c_str())) != 0) ok = false;
    }
  }
  if (vars != nullptr) {
    for (const Variable& v : vars->vars) {
      xmlXPathObjectPtr value = make_value(v);
      if (value == nullptr || xmlXPathRegisterVariable(ctx, xstr(v.name.c_str()), value) != 0) {
        if (value != nullptr) xmlXPathFreeObject(value);
        ok = false;
      }
    }
  }
  xmlXPathObjectPtr result = nullptr;
  if (ok) {
    result =
        comp != nullptr ? xmlXPathCompiledEval(comp, ctx) : xmlXPathEval(xstr(expression), ctx);
  } else {
    error_set(XML_ERR_NO_MEMORY, "could not register namespaces or variables", 0, 0);
  }
  // Leave the cached context clean for the next call.
  xmlXPathRegisteredNsCleanup(ctx);
  xmlXPathRegisteredVariablesCleanup(ctx);
  ctx->node = nullptr;
  if (private_ctx) xmlXPathFreeContext(ctx);
  if (result == nullptr && error_code() == 0) {
    error_set(XML_ERR_INTERNAL_ERROR, "XPath evaluation failed", 0, 0);
  }
  return result;
}

bool is_node_set(const xmlXPathObject* obj) {
  return obj->type == XPATH_NODESET || obj->type == XPATH_XSLT_TREE;
}

char* malloc_copy(const char* s) {
  if (s == nullptr) s = "";
  size_t n = std::strlen(s) + 1;
  char* out = static_cast<char*>(std::malloc(n));
  if (out != nullptr) std::memcpy(out, s, n);
  return out;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

namespace korvith {
namespace {

// The string value of a node-set's first node may expand entities, which
// libxml2 marks while it expands them: read it under the document's entity
// lock, as every other entity read is (see lock_entity_reads).
std::unique_lock<std::mutex> lock_node_set_reads(xmlXPathObjectPtr obj) {
  if (obj->type != XPATH_NODESET || obj->nodesetval == nullptr || obj->nodesetval->nodeNr == 0) {
    return {};
  }
  xmlNodePtr first = obj->nodesetval->nodeTab[0];
  if (first->type == XML_NAMESPACE_DECL) return {};
  return lock_entity_reads(first->doc);
}

}  // namespace
}  // namespace korvith

extern "C" {

void* korvith_xpath_compile(const char* expression) try {
  error_clear();
  if (expression == nullptr) {
    error_set(XML_ERR_ARGUMENT, "no expression", 0, 0);
    return nullptr;
  }
  xmlXPathContextPtr ctx = new_context(nullptr);
  if (ctx == nullptr) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  xmlXPathCompExprPtr comp = xmlXPathCtxtCompile(ctx, xstr(expression));
  xmlXPathFreeContext(ctx);
  if (comp == nullptr) {
    if (error_code() == 0) error_set(XML_ERR_INTERNAL_ERROR, "invalid XPath expression", 0, 0);
    return nullptr;
  }
  auto* compiled = new (std::nothrow) Compiled();
  if (compiled == nullptr) {
    xmlXPathFreeCompExpr(comp);
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  compiled->comp = comp;
  compiled->fast = xpath_fast::parse(expression);  // null: libxml2 evaluates it
  return compiled;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_xpath_compiled_free(void* compiled) try {
  delete static_cast<Compiled*>(compiled);
} catch (...) {
  korvith::entry_failed();
}

void* korvith_xpath_eval(void* document, void* context, const char* expression) try {
  return evaluate(document, context, expression, nullptr, nullptr, nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_eval_ns(void* document, void* context, const char* expression,
                            void* ns_set) try {
  return evaluate(document, context, expression, nullptr, static_cast<NsSet*>(ns_set), nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_eval_vars_ctx(void* document, void* context, const char* expression,
                                  void* vars) try {
  return evaluate(document, context, expression, nullptr, nullptr, static_cast<VarSet*>(vars));
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_compiled_eval(void* compiled, void* document, void* context) try {
  if (compiled == nullptr) return nullptr;
  return evaluate(document, context, nullptr, static_cast<const Compiled*>(compiled), nullptr,
                  nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_compiled_eval_ns(void* compiled, void* document, void* context,
                                     void* ns_set) try {
  if (compiled == nullptr) return nullptr;
  return evaluate(document, context, nullptr, static_cast<const Compiled*>(compiled),
                  static_cast<NsSet*>(ns_set), nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_compiled_eval_vars(void* compiled, void* document, void* context,
                                       void* vars) try {
  if (compiled == nullptr) return nullptr;
  return evaluate(document, context, nullptr, static_cast<const Compiled*>(compiled), nullptr,
                  static_cast<VarSet*>(vars));
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_xpath_compiled_eval_ns_vars(void* compiled, void* document, void* context,
                                          void* ns_set, void* vars) try {
  if (compiled == nullptr) return nullptr;
  return evaluate(document, context, nullptr, static_cast<const Compiled*>(compiled),
                  static_cast<NsSet*>(ns_set), static_cast<VarSet*>(vars));
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_xpath_result_type(void* result) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr) return KORVITH_RESULT_NONE;
  if (is_node_set(obj)) return KORVITH_RESULT_NODESET;
  switch (obj->type) {
    case XPATH_BOOLEAN: return KORVITH_RESULT_BOOLEAN;
    case XPATH_NUMBER: return KORVITH_RESULT_NUMBER;
    case XPATH_STRING: return KORVITH_RESULT_STRING;
    default: return KORVITH_RESULT_NONE;
  }
} catch (...) {
  return korvith::entry_failed<int>(KORVITH_RESULT_NONE);
}

size_t korvith_xpath_result_count(void* result) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr || !is_node_set(obj) || obj->nodesetval == nullptr) return 0;
  size_t count = 0;
  for (int i = 0; i < obj->nodesetval->nodeNr; ++i) {
    if (is_element(obj->nodesetval->nodeTab[i])) ++count;
  }
  last_other_nodes = static_cast<size_t>(obj->nodesetval->nodeNr) - count;
  return count;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_xpath_result_get_nodes(void* result, void** out, size_t capacity) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr || out == nullptr || !is_node_set(obj) || obj->nodesetval == nullptr) {
    return 0;
  }
  size_t n = 0;
  for (int i = 0; i < obj->nodesetval->nodeNr && n < capacity; ++i) {
    xmlNodePtr node = obj->nodesetval->nodeTab[i];
    if (is_element(node)) out[n++] = node;
  }
  return n;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

void korvith_xpath_result_free(void* result) try {
  if (result != nullptr) xmlXPathFreeObject(static_cast<xmlXPathObjectPtr>(result));
} catch (...) {
  korvith::entry_failed();
}

double korvith_xpath_result_number(void* result) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr) return 0.0;
  if (obj->type == XPATH_NUMBER) return obj->floatval;
  auto lock = lock_node_set_reads(obj);
  return xmlXPathCastToNumber(obj);
} catch (...) {
  return korvith::entry_failed<double>(0.0);
}

int korvith_xpath_result_boolean(void* result) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr) return 0;
  if (obj->type == XPATH_BOOLEAN) return obj->boolval ? 1 : 0;
  return xmlXPathCastToBoolean(obj) ? 1 : 0;
} catch (...) {
  return korvith::entry_failed<int>(0);
}

char* korvith_xpath_result_string(void* result) try {
  auto* obj = static_cast<xmlXPathObjectPtr>(result);
  if (obj == nullptr) return nullptr;
  if (obj->type == XPATH_STRING) return malloc_copy(cstr(obj->stringval));
  auto lock = lock_node_set_reads(obj);
  xmlChar* text = xmlXPathCastToString(obj);
  char* out = malloc_copy(cstr(text));
  xmlFree(text);
  return out;
} catch (...) {
  return korvith::entry_failed<char*>(nullptr);
}

void* korvith_ns_set_new(void) try { return new (std::nothrow) NsSet(); } catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_ns_set_free(void* set) try { delete static_cast<NsSet*>(set); } catch (...) {
  korvith::entry_failed();
}

int korvith_ns_set_add(void* set, const char* prefix, const char* uri) try {
  auto* ns = static_cast<NsSet*>(set);
  if (ns == nullptr || !valid_ncname(prefix) || uri == nullptr || *uri == '\0') return 1;
  if (std::strcmp(prefix, "xmlns") == 0) return 1;
  if (std::strcmp(prefix, "xml") == 0 && std::strcmp(uri, cstr(XML_XML_NAMESPACE)) != 0) return 1;
  for (auto& pair : ns->pairs) {
    if (pair.first == prefix) {
      pair.second = uri;  // a later binding of a prefix replaces the earlier one
      return 0;
    }
  }
  ns->pairs.emplace_back(prefix, uri);
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

void* korvith_variable_set_new(void) try { return new (std::nothrow) VarSet(); } catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_variable_set_free(void* set) try { delete static_cast<VarSet*>(set); } catch (...) {
  korvith::entry_failed();
}

}  // extern "C"

namespace korvith {
namespace {

int set_variable(void* set, const char* name, Variable v) {
  auto* vars = static_cast<VarSet*>(set);
  if (vars == nullptr || name == nullptr) return 1;
  if (*name == '$') ++name;  // "$x" and "x" name the same variable
  if (!valid_ncname(name)) return 1;
  v.name = name;
  for (auto& existing : vars->vars) {
    if (existing.name == v.name) {
      existing = std::move(v);
      return 0;
    }
  }
  vars->vars.push_back(std::move(v));
  return 0;
}

}  // namespace
}  // namespace korvith

extern "C" {

int korvith_variable_set_boolean(void* set, const char* name, int value) try {
  Variable v;
  v.kind = KORVITH_VARIABLE_BOOLEAN;
  v.boolean = value != 0;
  return set_variable(set, name, std::move(v));
} catch (...) {
  return korvith::entry_failed<int>(1);
}

int korvith_variable_set_number(void* set, const char* name, double value) try {
  Variable v;
  v.kind = KORVITH_VARIABLE_NUMBER;
  v.number = value;
  return set_variable(set, name, std::move(v));
} catch (...) {
  return korvith::entry_failed<int>(1);
}

int korvith_variable_set_string(void* set, const char* name, const char* value) try {
  if (value == nullptr || xmlCheckUTF8(xstr(value)) == 0) return 1;
  Variable v;
  v.kind = KORVITH_VARIABLE_STRING;
  v.text = value;
  return set_variable(set, name, std::move(v));
} catch (...) {
  return korvith::entry_failed<int>(1);
}

}  // extern "C"

extern "C" {

size_t korvith_xpath_last_other_nodes(void) try { return last_other_nodes; } catch (...) {
  return korvith::entry_failed<size_t>(0);
}

int korvith_xpath_last_fast(void) try { return last_fast; } catch (...) {
  return korvith::entry_failed<int>(0);
}

}  // extern "C"
