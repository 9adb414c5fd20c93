// Canonical XML (1.0, exclusive 1.0 and 1.1) through libxml2.
#include <libxml/c14n.h>

#include <sstream>

#include "ext_common.h"
#include "entry.h"

using namespace korvith;

// Writes the canonical form of the document, or of one element's subtree
// (as the root of a copy that declares the namespaces in scope at the
// element). prefixes: inclusive namespace prefixes for exclusive mode,
// separated by spaces ("#default" for the default namespace); may be null.
// Returns the byte count, or -1 with the error in korvith_last_error. *out
// goes back through korvith_buffer_free.
extern "C" long long korvith_c14n(void* document, void* element, int mode, int with_comments,
                                  const char* prefixes, char** out) try {
  try {
    if (out != nullptr) *out = nullptr;
    auto* doc = static_cast<xmlDocPtr>(document);
    if (doc == nullptr || out == nullptr || mode < 0 || mode > 2) {
      error_set(XML_ERR_ARGUMENT, "invalid canonicalisation arguments", 0, 0);
      return -1;
    }
    std::vector<std::string> names;
    if (prefixes != nullptr) {
      std::istringstream in(prefixes);
      std::string p;
      while (in >> p) names.push_back(p);
    }
    std::vector<xmlChar*> list;
    for (auto& n : names) list.push_back(const_cast<xmlChar*>(xstr(n.c_str())));
    list.push_back(nullptr);
    DocHolder work;
    xmlDocPtr target = doc;
    xmlNodePtr node = as_node(element);
    if (node != nullptr) {
      work.reset(copy_for_work(doc, node, true));
      if (!work) {
        error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
        return -1;
      }
      target = work.get();
    }
    xmlChar* buf = nullptr;
    int n = xmlC14NDocDumpMemory(target, nullptr, mode, names.empty() ? nullptr : list.data(),
                                 with_comments != 0 ? 1 : 0, &buf);
    if (n < 0 || buf == nullptr) {
      if (buf != nullptr) xmlFree(buf);
      error_set(XML_ERR_INTERNAL_ERROR, "the document cannot be canonicalised", 0, 0);
      return -1;
    }
    *out = reinterpret_cast<char*>(buf);
    error_clear();
    return n;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<long long>(-1);
}
