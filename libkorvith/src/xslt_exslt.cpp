// EXSLT for transforms without libxslt's process-wide extension registry.
//
// libexslt registers dates and times, math, sets and most string functions
// on a single XPath context; those registrations are used as they are.
// str:tokenize, str:split and str:replace build result trees, so libexslt
// offers them only through its process-wide module: they are implemented
// here with the same results, as are exsl:node-set and exsl:object-type. The prefixes libexslt
// binds along with its functions are private names: stylesheets reach the functions through their
// own namespace declarations.
#include "xslt_exslt.h"

#include <libexslt/exslt.h>
#include <libxml/xpathInternals.h>
#include <libxslt/extensions.h>
#include <libxslt/extra.h>
#include <libxslt/transform.h>

#include <memory>
#include <string>
#include <vector>

#include "internal.h"

namespace korvith {
namespace {

constexpr const char* kCommonNs = "http://exslt.org/common";
constexpr const char* kStringsNs = "http://exslt.org/strings";

struct XmlString {
  xmlChar* s = nullptr;
  explicit XmlString(xmlChar* v) : s(v) {}
  ~XmlString() { xmlFree(s); }
  XmlString(const XmlString&) = delete;
  XmlString& operator=(const XmlString&) = delete;
  std::string str() const { return s != nullptr ? cstr(s) : ""; }
};

struct NodeSetFree {
  void operator()(xmlNodeSet* s) const { xmlXPathFreeNodeSet(s); }
};
using NodeSetHolder = std::unique_ptr<xmlNodeSet, NodeSetFree>;

struct ObjectFree {
  void operator()(xmlXPathObject* o) const { xmlXPathFreeObject(o); }
};
using ObjectHolder = std::unique_ptr<xmlXPathObject, ObjectFree>;

// The bytes of the UTF-8 character at s (1 for a malformed byte).
size_t char_size(const char* s) {
  int n = xmlUTF8Size(reinterpret_cast<const xmlChar*>(s));
  return n > 0 ? static_cast<size_t>(n) : 1;
}

// A result tree holding the tokens as <token> elements, returned as the
// node-set of those elements (or an empty node-set outside a transform).
void push_tokens(xmlXPathParserContextPtr ctxt, const std::vector<std::string>& tokens) {
  ObjectHolder ret(xmlXPathNewNodeSet(nullptr));
  if (!ret) {
    xmlXPathSetError(ctxt, XPATH_MEMORY_ERROR);
    return;
  }
  xsltTransformContextPtr tctxt = xsltXPathGetTransformContext(ctxt);
  xmlDocPtr container = tctxt != nullptr ? xsltCreateRVT(tctxt) : nullptr;
  if (container != nullptr) {
    xsltRegisterLocalRVT(tctxt, container);  // freed with the transform
    for (const std::string& t : tokens) {
      xmlNodePtr node = xmlNewDocRawNode(container, nullptr, xstr("token"), xstr(t.c_str()));
      if (node == nullptr) break;
      xmlAddChild(reinterpret_cast<xmlNodePtr>(container), node);
      xmlXPathNodeSetAddUnique(ret->nodesetval, node);
    }
  }
  xmlXPathValuePush(ctxt, ret.release());
}

// Pushes a node-set of one text node holding `text`, in a result tree of
// the running transform (an empty node-set when none can be made).
void push_text_node(xmlXPathParserContextPtr ctxt, const std::string& text) {
  xsltTransformContextPtr tctxt = xsltXPathGetTransformContext(ctxt);
  xmlDocPtr container = tctxt != nullptr ? xsltCreateRVT(tctxt) : nullptr;
  if (container == nullptr) {
    xmlXPathValuePush(ctxt, xmlXPathNewNodeSet(nullptr));
    return;
  }
  xsltRegisterLocalRVT(tctxt, container);
  xmlNodePtr node = xmlNewDocTextLen(container, xstr(text.c_str()), static_cast<int>(text.size()));
  if (node != nullptr) xmlAddChild(reinterpret_cast<xmlNodePtr>(container), node);
  xmlXPathValuePush(ctxt, xmlXPathNewNodeSet(node));
}

// The arguments of a function taking a string and an optional second
// string (`fallback` when absent); false, with the error set on the
// context, when they are wrong or do not convert.
bool pop_string_and_option(xmlXPathParserContextPtr ctxt, int nargs, const char* fallback,
                           std::string& input, std::string& option) {
  if (nargs < 1 || nargs > 2) {
    xmlXPathSetArityError(ctxt);
    return false;
  }
  XmlString second(nargs == 2 ? xmlXPathPopString(ctxt) : xmlStrdup(xstr(fallback)));
  if (xmlXPathCheckError(ctxt) || second.s == nullptr) return false;
  XmlString first(xmlXPathPopString(ctxt));
  if (xmlXPathCheckError(ctxt) || first.s == nullptr) return false;
  input = first.str();
  option = second.str();
  return true;
}

// str:tokenize(string, delimiters?): the runs between delimiter characters
// (default whitespace), empty runs dropped; no delimiters gives one token
// per character.
void tokenize(xmlXPathParserContextPtr ctxt, int nargs) {
  std::string str;
  std::string d;
  if (!pop_string_and_option(ctxt, nargs, "\t\r\n ", str, d)) return;
  std::vector<std::string> tokens;
  size_t token = 0;
  for (size_t cur = 0; cur < str.size();) {
    size_t len = char_size(str.c_str() + cur);
    if (d.empty()) {
      tokens.push_back(str.substr(cur, len));
      token = cur + len;
    } else {
      for (size_t k = 0; k < d.size(); k += char_size(d.c_str() + k)) {
        if (d.compare(k, char_size(d.c_str() + k), str, cur, len) != 0) continue;
        if (cur != token) tokens.push_back(str.substr(token, cur - token));
        token = cur + len;
        break;
      }
    }
    cur += len;
  }
  if (token < str.size()) tokens.push_back(str.substr(token));
  push_tokens(ctxt, tokens);
}

// str:split(string, pattern?): the parts between occurrences of the
// pattern (default a space; compared ignoring ASCII case, as libexslt
// does), empty parts dropped; an empty pattern gives one part per
// character.
void split(xmlXPathParserContextPtr ctxt, int nargs) {
  std::string str;
  std::string pattern;
  if (!pop_string_and_option(ctxt, nargs, " ", str, pattern)) return;
  int plen = static_cast<int>(pattern.size());
  std::vector<std::string> tokens;
  size_t token = 0;
  size_t cur = 0;
  while (cur < str.size()) {
    if (plen == 0) {
      size_t len = char_size(str.c_str() + cur);
      tokens.push_back(str.substr(cur, len));
      cur += len;
      token = cur;
    } else if (xmlStrncasecmp(xstr(str.c_str() + cur), xstr(pattern.c_str()), plen) == 0) {
      if (cur != token) tokens.push_back(str.substr(token, cur - token));
      cur += static_cast<size_t>(plen);
      token = cur;
    } else {
      ++cur;
    }
  }
  if (token < str.size()) tokens.push_back(str.substr(token));
  push_tokens(ctxt, tokens);
}

// A string argument or a node-set argument as the list of its nodes'
// string values; false on an XPath error.
bool pop_strings(xmlXPathParserContextPtr ctxt, std::vector<std::string>& out, bool& was_set) {
  was_set = xmlXPathStackIsNodeSet(ctxt);
  if (!was_set) {
    XmlString s(xmlXPathPopString(ctxt));
    if (xmlXPathCheckError(ctxt)) return false;
    out.push_back(s.str());
    return true;
  }
  NodeSetHolder set(xmlXPathPopNodeSet(ctxt));
  if (xmlXPathCheckError(ctxt)) return false;
  for (int i = 0; set && i < set->nodeNr; ++i) {
    XmlString s(xmlXPathCastNodeToString(set->nodeTab[i]));
    out.push_back(s.str());
  }
  return true;
}

// str:replace(string, search, replace): replaces, scanning left to right,
// the longest search string that matches with its replacement (the one at
// the same position in replace, or nothing when replace is shorter).
// Returns a node-set with one text node, as libexslt does.
void replace(xmlXPathParserContextPtr ctxt, int nargs) {
  if (nargs != 3) {
    xmlXPathSetArityError(ctxt);
    return;
  }
  std::vector<std::string> replacements;
  std::vector<std::string> searches;
  bool replace_set = false;
  bool search_set = false;
  if (!pop_strings(ctxt, replacements, replace_set)) return;
  if (!pop_strings(ctxt, searches, search_set)) return;
  XmlString input(xmlXPathPopString(ctxt));
  if (xmlXPathCheckError(ctxt) || input.s == nullptr) return;
  std::string str = input.str();
  std::string out;
  if (searches.empty()) {
    out = str;
  } else {
    replacements.resize(searches.size());
    int empty = -1;  // an empty search string inserts its replacement between characters
    for (size_t i = 0; i < searches.size(); ++i) {
      if (searches[i].empty() && empty < 0) empty = static_cast<int>(i);
    }
    if (empty >= 0 && replacements[static_cast<size_t>(empty)].empty()) empty = -1;
    size_t start = 0;
    size_t src = 0;
    while (src < str.size()) {
      size_t best = 0;
      size_t best_len = 0;
      for (size_t i = 0; i < searches.size(); ++i) {
        const std::string& s = searches[i];
        if (s.size() > best_len && str.compare(src, s.size(), s) == 0) {
          best = i;
          best_len = s.size();
        }
      }
      if (best_len == 0) {
        if (empty >= 0 && start < src) {
          out.append(str, start, src - start);
          out += replacements[static_cast<size_t>(empty)];
          start = src;
        }
        src += char_size(str.c_str() + src);
      } else {
        out.append(str, start, src - start);
        out += replacements[best];
        src += best_len;
        start = src;
      }
    }
    if (start < str.size()) out.append(str, start, std::string::npos);
  }
  push_text_node(ctxt, out);
}

// exsl:node-set(object): a result tree or node-set as a node-set (libxslt's
// own function); any other value as a node-set of one text node.
void node_set(xmlXPathParserContextPtr ctxt, int nargs) {
  if (nargs != 1) {
    xmlXPathSetArityError(ctxt);
    return;
  }
  if (xmlXPathStackIsNodeSet(ctxt)) {
    xsltFunctionNodeSet(ctxt, nargs);
    return;
  }
  XmlString value(xmlXPathPopString(ctxt));
  if (xmlXPathCheckError(ctxt)) return;
  push_text_node(ctxt, value.str());
}

// exsl:object-type(object): the type of its argument as a string.
void object_type(xmlXPathParserContextPtr ctxt, int nargs) {
  if (nargs != 1) {
    xmlXPathSetArityError(ctxt);
    return;
  }
  ObjectHolder obj(xmlXPathValuePop(ctxt));
  if (!obj) return;
  const char* type = "external";
  switch (obj->type) {
    case XPATH_STRING: type = "string"; break;
    case XPATH_NUMBER: type = "number"; break;
    case XPATH_BOOLEAN: type = "boolean"; break;
    case XPATH_NODESET: type = "node-set"; break;
    case XPATH_XSLT_TREE: type = "RTF"; break;
    default: break;
  }
  xmlXPathValuePush(ctxt, xmlXPathNewString(xstr(type)));
}

}  // namespace

bool register_exslt(xsltTransformContextPtr ctxt) {
  xmlXPathContextPtr xp = ctxt->xpathCtxt;
  if (xp == nullptr) return false;
  struct Own {
    const char* name;
    const char* ns;
    xmlXPathFunction fn;
  };
  const Own own[] = {
      {"tokenize", kStringsNs, tokenize},      {"split", kStringsNs, split},
      {"replace", kStringsNs, replace},        {"node-set", kCommonNs, node_set},
      {"object-type", kCommonNs, object_type},
  };
  if (exsltDateXpathCtxtRegister(xp, xstr("korvith-exslt-date")) != 0 ||
      exsltMathXpathCtxtRegister(xp, xstr("korvith-exslt-math")) != 0 ||
      exsltSetsXpathCtxtRegister(xp, xstr("korvith-exslt-sets")) != 0 ||
      exsltStrXpathCtxtRegister(xp, xstr("korvith-exslt-str")) != 0) {
    return false;
  }
  for (const Own& f : own) {
    if (xsltRegisterExtFunction(ctxt, xstr(f.name), xstr(f.ns), f.fn) != 0) return false;
  }
  return true;
}

}  // namespace korvith
