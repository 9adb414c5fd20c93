// The stylesheet check run before libxslt compiles a stylesheet (see
// xslt_check.h). It only refuses what libxslt itself refuses, or what
// libxslt would accept and then fail on at run time through its
// process-wide handler (an XSLT element it does not know, a top-level
// element inside a template).
#include "xslt_check.h"

#include <libxml/xpath.h>

#include <cstring>
#include <string_view>

namespace korvith {
namespace {

constexpr const char* kXslNs = "http://www.w3.org/1999/XSL/Transform";

enum Place : unsigned { kTop = 1, kBody = 2 };

// One XSLT 1.0 element: where it may stand, the attribute it cannot do
// without, the attributes holding an expression and those holding a
// pattern.
struct Rule {
  const char* name;
  unsigned place;
  const char* required;
  const char* expressions[2];
  const char* patterns[2];
};

const Rule kRules[] = {
    {"apply-imports", kBody, nullptr, {}, {}},
    {"apply-templates", kBody, nullptr, {"select"}, {}},
    {"attribute", kBody, nullptr, {}, {}},
    {"attribute-set", kTop, nullptr, {}, {}},
    {"call-template", kBody, "name", {}, {}},
    {"choose", kBody, nullptr, {}, {}},
    {"comment", kBody, nullptr, {}, {}},
    {"copy", kBody, nullptr, {}, {}},
    {"copy-of", kBody, "select", {"select"}, {}},
    {"decimal-format", kTop, nullptr, {}, {}},
    {"element", kBody, nullptr, {}, {}},
    {"fallback", kBody, nullptr, {}, {}},
    {"for-each", kBody, "select", {"select"}, {}},
    {"if", kBody, "test", {"test"}, {}},
    {"import", kTop, "href", {}, {}},
    {"include", kTop, "href", {}, {}},
    {"key", kTop, nullptr, {"use"}, {"match"}},
    {"message", kBody, nullptr, {}, {}},
    {"namespace-alias", kTop, nullptr, {}, {}},
    {"number", kBody, nullptr, {"value"}, {"count", "from"}},
    {"otherwise", kBody, nullptr, {}, {}},
    {"output", kTop, nullptr, {}, {}},
    {"param", kTop | kBody, nullptr, {"select"}, {}},
    {"preserve-space", kTop, nullptr, {}, {}},
    {"processing-instruction", kBody, nullptr, {}, {}},
    {"sort", kBody, nullptr, {"select"}, {}},
    {"strip-space", kTop, nullptr, {}, {}},
    {"template", kTop, nullptr, {}, {"match"}},
    {"text", kBody, nullptr, {}, {}},
    {"value-of", kBody, "select", {"select"}, {}},
    {"variable", kTop | kBody, nullptr, {"select"}, {}},
    {"when", kBody, "test", {"test"}, {}},
    {"with-param", kBody, nullptr, {"select"}, {}},
};

const Rule* rule_for(const xmlChar* name) {
  for (const Rule& r : kRules) {
    if (xmlStrEqual(name, xstr(r.name))) return &r;
  }
  return nullptr;
}

bool is_xsl(xmlNodePtr node) {
  return node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
         xmlStrEqual(node->ns->href, xstr(kXslNs));
}

std::string attr(xmlNodePtr el, const char* name, bool& present) {
  xmlChar* v = xmlGetNoNsProp(el, xstr(name));
  present = v != nullptr;
  if (v == nullptr) return {};
  std::string out = cstr(v);
  xmlFree(v);
  return out;
}

// Collects the message of the XPath compile error, if any.
void last_message(void* data, const xmlError* err) {
  try {  // called from libxml2's C code: no exception may leave
    if (err != nullptr && err->message != nullptr) {
      *static_cast<std::string*>(data) = trim_message(err->message);
    }
  } catch (...) {
  }
}

// True when the first step of every alternative of a match pattern could
// start a pattern: expressions such as "1", "$v" or "." compile as XPath
// but are not patterns.
bool pattern_starts_well(std::string_view p) {
  bool at_start = true;
  char quote = 0;
  int depth = 0;
  for (char c : p) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (at_start) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
      if ((c >= '0' && c <= '9') || c == '"' || c == '\'' || c == '$' || c == '(' || c == '.' ||
          c == '-' || c == '+') {
        return false;
      }
      at_start = false;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[' || c == '(') {
      ++depth;
    } else if (c == ']' || c == ')') {
      --depth;
    } else if (c == '|' && depth == 0) {
      at_start = true;
    }
  }
  return !at_start;
}

struct Checker {
  xmlDocPtr doc;
  std::string file;
  Diag* diag;
  xmlXPathContextPtr xpath = nullptr;
  std::string xpath_message;
  bool ok = true;

  void error(xmlNodePtr node, const std::string& message) {
    diag->add(3, message, node_line_of(node), 0, {}, file);
    ok = false;
  }

  // The reason an expression does not compile; empty when it does.
  std::string compile_error(const std::string& expr) {
    xpath_message.clear();
    xmlXPathCompExprPtr comp = xmlXPathCtxtCompile(xpath, xstr(expr.c_str()));
    if (comp != nullptr) {
      xmlXPathFreeCompExpr(comp);
      return {};
    }
    return xpath_message.empty() ? "invalid expression" : xpath_message;
  }

  void expression(xmlNodePtr el, const char* name) {
    bool present = false;
    std::string value = attr(el, name, present);
    if (!present) return;
    std::string why = compile_error(value);
    if (!why.empty()) {
      error(el, "xsl:" + std::string(cstr(el->name)) + ": the " + name + " expression '" + value +
                    "' does not compile (" + why + ")");
    }
  }

  void pattern(xmlNodePtr el, const char* name) {
    bool present = false;
    std::string value = attr(el, name, present);
    if (!present) return;
    std::string why = compile_error(value);
    if (why.empty() && !pattern_starts_well(value)) why = "not a pattern";
    if (!why.empty()) {
      error(el, "xsl:" + std::string(cstr(el->name)) + ": the " + name + " pattern '" + value +
                    "' does not compile (" + why + ")");
    }
  }

  // Attribute value templates: every {expression} must compile.
  void value_template(xmlNodePtr el, xmlAttrPtr a) {
    xmlChar* raw = xmlNodeListGetString(doc, a->children, 1);
    if (raw == nullptr) return;
    std::string v = cstr(raw);
    xmlFree(raw);
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] != '{') continue;
      if (i + 1 < v.size() && v[i + 1] == '{') {
        ++i;
        continue;
      }
      size_t end = i + 1;
      char quote = 0;
      while (end < v.size() && (quote != 0 || v[end] != '}')) {
        if (quote != 0 && v[end] == quote) {
          quote = 0;
        } else if (quote == 0 && (v[end] == '"' || v[end] == '\'')) {
          quote = v[end];
        }
        ++end;
      }
      if (end >= v.size()) return;  // libxslt reports an unclosed brace at run time
      std::string expr = v.substr(i + 1, end - i - 1);
      std::string why = compile_error(expr);
      if (!why.empty()) {
        error(el, "attribute '" + std::string(cstr(a->name)) + "': the expression '" + expr +
                      "' does not compile (" + why + ")");
      }
      i = end;
    }
  }

  void xsl_element(xmlNodePtr el, bool top, bool forwards) {
    const Rule* rule = rule_for(el->name);
    std::string name = "xsl:" + std::string(cstr(el->name));
    if (rule == nullptr) {
      if (!forwards) error(el, "unknown XSLT element " + name);
      return;
    }
    if (!forwards && (rule->place & (top ? kTop : kBody)) == 0) {
      error(el, top ? name + " is not allowed at the top level of a stylesheet"
                    : name + " is only allowed at the top level of a stylesheet");
      return;
    }
    bool present = false;
    if (rule->required != nullptr && (attr(el, rule->required, present), !present)) {
      error(el, name + ": the " + rule->required + " attribute is missing");
    }
    for (const char* e : rule->expressions) {
      if (e != nullptr) expression(el, e);
    }
    for (const char* p : rule->patterns) {
      if (p != nullptr) pattern(el, p);
    }
    if (xmlStrEqual(el->name, xstr("element")) || xmlStrEqual(el->name, xstr("attribute"))) {
      for (xmlAttrPtr a = el->properties; a != nullptr; a = a->next) {
        if (a->ns == nullptr &&
            (xmlStrEqual(a->name, xstr("name")) || xmlStrEqual(a->name, xstr("namespace")))) {
          value_template(el, a);
        }
      }
    }
  }

  void literal_element(xmlNodePtr el) {
    for (xmlAttrPtr a = el->properties; a != nullptr; a = a->next) {
      if (a->ns == nullptr || !xmlStrEqual(a->ns->href, xstr(kXslNs))) value_template(el, a);
    }
  }

  bool run() {
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (root == nullptr) return true;  // the parser already reported it
    bool stylesheet = is_xsl(root) && (xmlStrEqual(root->name, xstr("stylesheet")) ||
                                       xmlStrEqual(root->name, xstr("transform")));
    bool present = false;
    std::string version = stylesheet ? attr(root, "version", present) : [&] {
      xmlChar* v = xmlGetNsProp(root, xstr("version"), xstr(kXslNs));
      present = v != nullptr;
      std::string out = v != nullptr ? cstr(v) : "";
      xmlFree(v);
      return out;
    }();
    if (!stylesheet && !present) {
      error(root,
            "the document is not a stylesheet: its root element must be xsl:stylesheet or "
            "xsl:transform, or carry an xsl:version attribute");
      return false;
    }
    // Forwards-compatible processing (any version but 1.0) lets unknown
    // XSLT elements stand; libxslt then ignores them.
    bool forwards = version != "1.0" || has_other_version(root);
    xpath = xmlXPathNewContext(doc);
    if (xpath == nullptr) {
      diag->add(3, "out of memory");
      return false;
    }
    xpath->error = last_message;
    xpath->userData = &xpath_message;
    walk(root, stylesheet, forwards);
    xmlXPathFreeContext(xpath);
    xpath = nullptr;
    return ok;
  }

  // An xsl:version other than 1.0 on any literal result element.
  static bool has_other_version(xmlNodePtr root) {
    for (xmlNodePtr cur = root; cur != nullptr; cur = next_in_order(root, cur)) {
      if (cur->type != XML_ELEMENT_NODE || is_xsl(cur)) continue;
      xmlChar* v = xmlGetNsProp(cur, xstr("version"), xstr(kXslNs));
      bool other = v != nullptr && !xmlStrEqual(v, xstr("1.0"));
      xmlFree(v);
      if (other) return true;
    }
    return false;
  }

  static xmlNodePtr next_in_order(xmlNodePtr root, xmlNodePtr cur) {
    if (cur->type == XML_ELEMENT_NODE && cur->children != nullptr) return cur->children;
    return next_after(root, cur);
  }

  // The node after cur's subtree.
  static xmlNodePtr next_after(xmlNodePtr root, xmlNodePtr cur) {
    while (cur != nullptr && cur != root && cur->next == nullptr) cur = cur->parent;
    if (cur == nullptr || cur == root) return nullptr;
    return cur->next;
  }

  // Document order without recursion: stylesheets may nest deeply.
  void walk(xmlNodePtr root, bool stylesheet, bool forwards) {
    xmlNodePtr cur = root;
    while (cur != nullptr) {
      bool top = stylesheet && cur->parent == root;
      if (cur->type == XML_ELEMENT_NODE && top && !is_xsl(cur)) {
        cur = next_after(root, cur);  // top-level elements of other namespaces are data
        continue;
      }
      if (cur->type == XML_ELEMENT_NODE && !(cur == root && stylesheet)) {
        if (is_xsl(cur)) {
          xsl_element(cur, top, forwards);
        } else {
          literal_element(cur);
        }
      }
      cur = next_in_order(root, cur);
    }
  }
};

}  // namespace

bool check_stylesheet(xmlDocPtr doc, const std::string& file, Diag* diag) {
  Checker checker{doc, file, diag, nullptr, {}, true};
  return checker.run();
}

}  // namespace korvith
