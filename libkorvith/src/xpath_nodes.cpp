// XPath results with every node: the module's conversion sees element
// nodes only, so the package evaluates through here when it wants all of a
// node-set. One call evaluates and copies what the package reads (kinds,
// element handles, string values and names) into a snapshot that no longer
// points into the tree, except for the element handles themselves.
#include <libxml/xpathInternals.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "internal.h"
#include "entry.h"

namespace korvith {
namespace {

struct SnapshotItem {
  int kind = KORVITH_NODE_OTHER;
  void* element = nullptr;  // element and document nodes
  std::string value;        // string value of every other node
  std::string name;         // attribute Clark name, PI target, namespace prefix
};

struct Snapshot {
  int type = 4;  // as korvith_xpath_result_type
  int boolean = 0;
  double number = 0;
  std::string string;
  std::vector<SnapshotItem> items;
};

struct ResultDeleter {
  void operator()(xmlXPathObject* obj) const { xmlXPathFreeObject(obj); }
};

std::string owned(xmlChar* text) {
  std::string out = text != nullptr ? cstr(text) : "";
  xmlFree(text);
  return out;
}

std::string clark(const xmlNs* ns, const xmlChar* local) {
  std::string out;
  if (ns != nullptr && ns->href != nullptr && *ns->href != '\0') {
    out += '{';
    out += cstr(ns->href);
    out += '}';
  }
  out += local != nullptr ? cstr(local) : "";
  return out;
}

SnapshotItem item_of(xmlNodePtr node) {
  SnapshotItem item;
  switch (node->type) {
    case XML_ELEMENT_NODE:
      item.kind = KORVITH_NODE_ELEMENT;
      item.element = node;
      return item;
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
      item.kind = KORVITH_NODE_DOCUMENT;
      item.element = node;
      return item;
    case XML_NAMESPACE_DECL: {
      // XPath namespace nodes are xmlNs records, not xmlNode.
      auto* ns = reinterpret_cast<xmlNsPtr>(node);
      item.kind = KORVITH_NODE_NAMESPACE;
      item.name = ns->prefix != nullptr ? cstr(ns->prefix) : "";
      item.value = ns->href != nullptr ? cstr(ns->href) : "";
      return item;
    }
    case XML_ATTRIBUTE_NODE:
      item.kind = KORVITH_NODE_ATTRIBUTE;
      item.name = clark(node->ns, node->name);
      break;
    case XML_TEXT_NODE: item.kind = KORVITH_NODE_TEXT; break;
    case XML_CDATA_SECTION_NODE: item.kind = KORVITH_NODE_CDATA; break;
    case XML_COMMENT_NODE: item.kind = KORVITH_NODE_COMMENT; break;
    case XML_PI_NODE:
      item.kind = KORVITH_NODE_PI;
      item.name = node->name != nullptr ? cstr(node->name) : "";
      break;
    default: item.kind = KORVITH_NODE_OTHER; break;
  }
  item.value = owned(xmlXPathCastNodeToString(node));
  return item;
}

Snapshot* take(xmlXPathObjectPtr obj) {
  auto snap = std::make_unique<Snapshot>();
  snap->type = korvith_xpath_result_type(obj);
  switch (snap->type) {
    case 0:
      if (obj->nodesetval != nullptr) {
        snap->items.reserve(static_cast<size_t>(obj->nodesetval->nodeNr));
        for (int i = 0; i < obj->nodesetval->nodeNr; ++i) {
          snap->items.push_back(item_of(obj->nodesetval->nodeTab[i]));
        }
      }
      break;
    case 1: snap->boolean = obj->boolval ? 1 : 0; break;
    case 2: snap->number = obj->floatval; break;
    case 3: snap->string = obj->stringval != nullptr ? cstr(obj->stringval) : ""; break;
    default: break;
  }
  return snap.release();
}

const SnapshotItem* item_at(void* snapshot, size_t index) {
  auto* snap = static_cast<Snapshot*>(snapshot);
  if (snap == nullptr || index >= snap->items.size()) return nullptr;
  return &snap->items[index];
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_xpath_snapshot_eval(void* compiled, void* document, void* context, void* ns_set,
                                  void* vars) try {
  try {
    void* result = korvith_xpath_compiled_eval_ns_vars(compiled, document, context, ns_set, vars);
    if (result == nullptr) return nullptr;
    std::unique_ptr<xmlXPathObject, ResultDeleter> holder(static_cast<xmlXPathObjectPtr>(result));
    // String values may expand entities, which libxml2 marks while it
    // expands them: read them as every other entity read is, one thread at
    // a time.
    xmlNodePtr node = as_node(context);
    auto lock = lock_entity_reads(node != nullptr ? node->doc : static_cast<xmlDocPtr>(document));
    return take(holder.get());
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory while copying an XPath result", 0, 0);
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_snapshot_type(void* snapshot) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  return snap != nullptr ? snap->type : 4;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_snapshot_boolean(void* snapshot) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  return snap != nullptr ? snap->boolean : 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

double korvith_snapshot_number(void* snapshot) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  return snap != nullptr ? snap->number : 0.0;
} catch (...) {
  return korvith::entry_failed<double>(0.0);
}

const char* korvith_snapshot_string(void* snapshot) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  return snap != nullptr ? snap->string.c_str() : "";
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

size_t korvith_snapshot_count(void* snapshot) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  return snap != nullptr ? snap->items.size() : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_snapshot_layout(void* snapshot, int* kinds, void** elements, size_t capacity) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  if (snap == nullptr || kinds == nullptr || elements == nullptr) return 0;
  size_t n = snap->items.size() < capacity ? snap->items.size() : capacity;
  for (size_t i = 0; i < n; ++i) {
    kinds[i] = snap->items[i].kind;
    elements[i] = snap->items[i].element;
  }
  return n;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

const char* korvith_snapshot_value(void* snapshot, size_t index) try {
  const SnapshotItem* item = item_at(snapshot, index);
  return item != nullptr ? item->value.c_str() : nullptr;
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_snapshot_name(void* snapshot, size_t index) try {
  const SnapshotItem* item = item_at(snapshot, index);
  return item != nullptr ? item->name.c_str() : nullptr;
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

size_t korvith_snapshot_pack(void* snapshot, char* buf, size_t cap) try {
  auto* snap = static_cast<Snapshot*>(snapshot);
  if (snap == nullptr) return 0;
  size_t need = 0;
  for (const SnapshotItem& item : snap->items) {
    if (item.element == nullptr) need += item.value.size() + item.name.size() + 2;
  }
  if (buf == nullptr || cap < need) return need;
  char* out = buf;
  for (const SnapshotItem& item : snap->items) {
    if (item.element != nullptr) continue;
    std::memcpy(out, item.value.data(), item.value.size());
    out += item.value.size();
    *out++ = '\0';
    std::memcpy(out, item.name.data(), item.name.size());
    out += item.name.size();
    *out++ = '\0';
  }
  return need;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

void korvith_snapshot_free(void* snapshot) try {
  delete static_cast<Snapshot*>(snapshot);
} catch (...) {
  korvith::entry_failed();
}

}  // extern "C"

// Errors kept from a document's parse (see DocSide::issues).
extern "C" {

size_t korvith_document_issue_count(void* document) try {
  auto* doc = static_cast<xmlDocPtr>(document);
  if (doc == nullptr || doc->_private == nullptr) return 0;
  return static_cast<DocSide*>(doc->_private)->issues.size();
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

int korvith_document_issue(void* document, size_t index, char* buf, size_t cap, int* line,
                           int* column) try {
  auto* doc = static_cast<xmlDocPtr>(document);
  if (line != nullptr) *line = 0;
  if (column != nullptr) *column = 0;
  if (buf != nullptr && cap > 0) buf[0] = '\0';
  if (doc == nullptr || doc->_private == nullptr) return 0;
  const auto& issues = static_cast<DocSide*>(doc->_private)->issues;
  if (index >= issues.size()) return 0;
  const ParseIssue& issue = issues[index];
  if (line != nullptr) *line = issue.line;
  if (column != nullptr) *column = issue.column;
  if (buf != nullptr && cap > 0) {
    size_t n = issue.message.size() < cap - 1 ? issue.message.size() : cap - 1;
    std::memcpy(buf, issue.message.data(), n);
    buf[n] = '\0';
  }
  return issue.code;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

}  // extern "C"
