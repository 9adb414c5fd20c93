#include "xquery_functions.h"

#include <libxml/xpathInternals.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace korvith::xq {
namespace {

void capture_error(void* data, const xmlError* error) {
  auto* sink = static_cast<ErrorSink*>(data);
  if (sink == nullptr || error == nullptr || !sink->message.empty()) return;
  std::string message = error->message ? error->message : "XPath error";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  sink->message = message.empty() ? "XPath error" : message;
}

// Pops every argument and pushes the result; on a wrong argument count
// raises libxml2's arity error.
bool check_arity(xmlXPathParserContextPtr ctxt, int nargs, int min, int max) {
  if (nargs < min || nargs > max) {
    xmlXPathErr(ctxt, XPATH_INVALID_ARITY);
    return false;
  }
  return true;
}

// ends-with(s, suffix)
void fn_ends_with(xmlXPathParserContextPtr ctxt, int nargs) {
  if (!check_arity(ctxt, nargs, 2, 2)) return;
  xmlChar* suffix = xmlXPathPopString(ctxt);
  xmlChar* text = xmlXPathPopString(ctxt);
  bool result = false;
  if (text != nullptr && suffix != nullptr) {
    size_t n = std::strlen(reinterpret_cast<const char*>(text));
    size_t m = std::strlen(reinterpret_cast<const char*>(suffix));
    result = m <= n && std::memcmp(text + (n - m), suffix, m) == 0;
  }
  xmlFree(text);
  xmlFree(suffix);
  xmlXPathValuePush(ctxt, xmlXPathNewBoolean(result));
}

// abs(n)
void fn_abs(xmlXPathParserContextPtr ctxt, int nargs) {
  if (!check_arity(ctxt, nargs, 1, 1)) return;
  double value = xmlXPathPopNumber(ctxt);
  xmlXPathValuePush(ctxt, xmlXPathNewFloat(std::fabs(value)));
}

// exists(nodes) / empty(nodes): whether a node-set has members.
void push_nonempty(xmlXPathParserContextPtr ctxt, int nargs, bool want_nonempty) {
  if (!check_arity(ctxt, nargs, 1, 1)) return;
  xmlNodeSetPtr set = xmlXPathPopNodeSet(ctxt);
  if (xmlXPathCheckError(ctxt)) return;
  bool nonempty = set != nullptr && set->nodeNr > 0;
  xmlXPathFreeNodeSet(set);
  xmlXPathValuePush(ctxt, xmlXPathNewBoolean(nonempty == want_nonempty));
}

void fn_exists(xmlXPathParserContextPtr ctxt, int nargs) { push_nonempty(ctxt, nargs, true); }
void fn_empty(xmlXPathParserContextPtr ctxt, int nargs) { push_nonempty(ctxt, nargs, false); }

// min/max/avg over the numeric values of a node-set. An empty set gives an
// empty node-set (XQuery's empty sequence); a value that is not a number
// makes the result NaN.
enum class Aggregate { Min, Max, Avg };

void aggregate(xmlXPathParserContextPtr ctxt, int nargs, Aggregate kind) {
  if (!check_arity(ctxt, nargs, 1, 1)) return;
  xmlNodeSetPtr set = xmlXPathPopNodeSet(ctxt);
  if (xmlXPathCheckError(ctxt)) return;
  if (set == nullptr || set->nodeNr == 0) {
    xmlXPathFreeNodeSet(set);
    xmlXPathValuePush(ctxt, xmlXPathNewNodeSet(nullptr));
    return;
  }
  double result = 0;
  for (int i = 0; i < set->nodeNr; ++i) {
    double value = xmlXPathCastNodeToNumber(set->nodeTab[i]);
    if (i == 0) {
      result = value;
    } else if (kind == Aggregate::Avg || std::isnan(value) || std::isnan(result)) {
      result = kind == Aggregate::Avg ? result + value : NAN;
    } else if (kind == Aggregate::Min) {
      result = std::min(result, value);
    } else {
      result = std::max(result, value);
    }
  }
  if (kind == Aggregate::Avg) result /= set->nodeNr;
  xmlXPathFreeNodeSet(set);
  xmlXPathValuePush(ctxt, xmlXPathNewFloat(result));
}

void fn_min(xmlXPathParserContextPtr ctxt, int nargs) { aggregate(ctxt, nargs, Aggregate::Min); }
void fn_max(xmlXPathParserContextPtr ctxt, int nargs) { aggregate(ctxt, nargs, Aggregate::Max); }
void fn_avg(xmlXPathParserContextPtr ctxt, int nargs) { aggregate(ctxt, nargs, Aggregate::Avg); }

// string-join(nodes, separator): the string values of the nodes, in
// document order, joined by the separator.
void fn_string_join(xmlXPathParserContextPtr ctxt, int nargs) {
  if (!check_arity(ctxt, nargs, 1, 2)) return;
  xmlChar* separator = nargs == 2 ? xmlXPathPopString(ctxt) : nullptr;
  xmlNodeSetPtr set = xmlXPathPopNodeSet(ctxt);
  if (xmlXPathCheckError(ctxt)) {
    xmlFree(separator);
    return;
  }
  std::string joined;
  for (int i = 0; set != nullptr && i < set->nodeNr; ++i) {
    if (i > 0 && separator != nullptr) joined += reinterpret_cast<const char*>(separator);
    xmlChar* value = xmlXPathCastNodeToString(set->nodeTab[i]);
    if (value != nullptr) joined += reinterpret_cast<const char*>(value);
    xmlFree(value);
  }
  xmlFree(separator);
  xmlXPathFreeNodeSet(set);
  xmlXPathValuePush(ctxt, xmlXPathNewCString(joined.c_str()));
}

struct Extension {
  std::string_view name;
  xmlXPathFunction fn;
  bool atomic;  // never returns a node-set
};

constexpr std::array<Extension, 8> kExtensions = {{
    {"ends-with", fn_ends_with, true},
    {"abs", fn_abs, true},
    {"exists", fn_exists, true},
    {"empty", fn_empty, true},
    {"min", fn_min, false},
    {"max", fn_max, false},
    {"avg", fn_avg, false},
    {"string-join", fn_string_join, true},
}};

const Extension* find_extension(std::string_view name) {
  for (const auto& ext : kExtensions) {
    if (ext.name == name) return &ext;
  }
  return nullptr;
}

}  // namespace

bool is_extension_function(std::string_view name) { return find_extension(name) != nullptr; }

bool is_atomic_extension(std::string_view name) {
  const Extension* ext = find_extension(name);
  return ext != nullptr && ext->atomic;
}

ContextPtr new_context(xmlDocPtr doc,
                       const std::vector<std::pair<std::string, std::string>>& namespaces,
                       ErrorSink& sink) {
  ContextPtr ctxt(xmlXPathNewContext(doc));
  if (!ctxt) return nullptr;
  xmlXPathSetErrorHandler(ctxt.get(), capture_error, &sink);
  for (const auto& [prefix, uri] : namespaces) {
    if (xmlXPathRegisterNs(ctxt.get(), BAD_CAST prefix.c_str(), BAD_CAST uri.c_str()) != 0)
      return nullptr;
  }
  for (const auto& ext : kExtensions) {
    std::string name(ext.name);
    if (xmlXPathRegisterFunc(ctxt.get(), BAD_CAST name.c_str(), ext.fn) != 0) return nullptr;
  }
  return ctxt;
}

CompileResult compile_xpath(const std::string& text,
                            const std::vector<std::pair<std::string, std::string>>& namespaces) {
  CompileResult result;
  ErrorSink sink;
  ContextPtr ctxt = new_context(nullptr, namespaces, sink);
  if (!ctxt) {
    result.error = "out of memory";
    return result;
  }
  result.comp.reset(xmlXPathCtxtCompile(ctxt.get(), BAD_CAST text.c_str()));
  if (!result.comp) result.error = sink.message.empty() ? "invalid expression" : sink.message;
  return result;
}

}  // namespace korvith::xq
