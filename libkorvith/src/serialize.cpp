// Serialisation of elements and documents: indentation, declaration and
// output encoding through libxml2's save contexts (no process-wide
// settings), with the last element output kept for the filling call.
#include <libxml/xmlsave.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace korvith {
namespace {

struct Options {
  int indent = 0;
  int declaration = 0;
  const char* encoding = nullptr;  // null: UTF-8
};

Options read_options(const void* p, bool document) {
  Options o;
  if (document) o.declaration = 1;  // a whole document carries its declaration by default
  if (p == nullptr) return o;
  korvith_serialize_options rec;
  std::memcpy(&rec, p, sizeof rec);
  o.indent = rec.indent > 0 ? rec.indent : 0;
  o.declaration = rec.xml_declaration != 0;
  o.encoding = rec.encoding != nullptr && rec.encoding[0] != '\0' ? rec.encoding : nullptr;
  return o;
}

constexpr int kMaxIndent = 60;  // the longest indent string libxml2 accepts

struct BufferHolder {
  xmlBufferPtr buf = xmlBufferCreate();
  ~BufferHolder() {
    if (buf != nullptr) xmlBufferFree(buf);
  }
};

// Closes a save context on every path that does not finish it.
struct SaveHolder {
  xmlSaveCtxtPtr ctx = nullptr;
  ~SaveHolder() {
    if (ctx != nullptr) xmlSaveClose(ctx);
  }
  xmlSaveCtxtPtr release() {
    xmlSaveCtxtPtr out = ctx;
    ctx = nullptr;
    return out;
  }
};

// A private shallow copy of an element that declares every namespace in
// scope from the element's ancestors, so that the output stands alone as
// namespace-well-formed XML. The copy borrows the element's children for
// the length of one serialisation; the shared tree is only read, so other
// threads may read it meanwhile.
struct StandaloneCopy {
  xmlNodePtr copy = nullptr;
  bool complete = true;
  // The copy's own declarations while they are rebuilt; the copy's name and
  // attributes point at these entries, which are moved over, never freed.
  xmlNsPtr pool = nullptr;

  explicit StandaloneCopy(xmlNodePtr n) {
    // No document: names are copied, never looked up in the shared
    // document's dictionary.
    copy = xmlDocCopyNode(n, nullptr, 2);
    if (copy == nullptr) return;
    pool = copy->nsDef;
    copy->nsDef = nullptr;
    try {
      declare_scope(n);
    } catch (...) {
      release();  // out of memory half-way: nothing may leak
      throw;
    }
    copy->children = n->children;
    copy->last = n->last;
  }

  // Rebuilds the copy's declarations in the order the output should show:
  // the element's own, then the inherited ones, nearest first.
  void declare_scope(xmlNodePtr n) {
    std::vector<const xmlChar*> seen;
    auto take = [&](const xmlNs* want) {
      xmlNsPtr* link = &pool;
      for (; *link != nullptr; link = &(*link)->next) {
        if (xmlStrEqual((*link)->prefix, want->prefix)) break;
      }
      xmlNsPtr found = *link;
      if (found != nullptr) {
        *link = found->next;
        found->next = nullptr;
        append(found);
      } else if (xmlNewNs(copy, want->href, want->prefix) == nullptr) {
        complete = false;  // out of memory: the output would lack a declaration
      }
    };
    for (xmlNsPtr ns = n->nsDef; ns != nullptr; ns = ns->next) {
      seen.push_back(ns->prefix);
      take(ns);
    }
    for (xmlNodePtr p = n->parent; is_element(p); p = p->parent) {
      for (xmlNsPtr ns = p->nsDef; ns != nullptr; ns = ns->next) {
        bool shadowed = false;
        for (const xmlChar* pre : seen) {
          if (xmlStrEqual(pre, ns->prefix)) {
            shadowed = true;
            break;
          }
        }
        if (shadowed) continue;
        seen.push_back(ns->prefix);
        // An undeclared default namespace (xmlns="") needs no copy.
        if (ns->prefix == nullptr && (ns->href == nullptr || ns->href[0] == 0)) continue;
        take(ns);
      }
    }
    keep_pool();  // nothing should be left; keep it declared if so
  }

  void keep_pool() {
    while (pool != nullptr) {
      xmlNsPtr next = pool->next;
      pool->next = nullptr;
      append(pool);
      pool = next;
    }
  }

  void release() {
    if (copy == nullptr) return;
    keep_pool();  // freed with the copy
    copy->children = nullptr;
    copy->last = nullptr;
    xmlFreeNode(copy);
    copy = nullptr;
  }

  void append(xmlNsPtr ns) {
    xmlNsPtr* link = &copy->nsDef;
    while (*link != nullptr) link = &(*link)->next;
    *link = ns;
  }

  ~StandaloneCopy() { release(); }
};

// Serialises into a libxml2 buffer and takes that buffer's bytes as they
// are: a whole document's output is not copied on its way out.
bool run_save(xmlNodePtr node, xmlDocPtr doc, const Options& o, XmlBytes& out) {
  if (o.indent > kMaxIndent) return false;
  BufferHolder holder;
  if (holder.buf == nullptr) return false;
  int flags = 0;
  if (o.indent > 0) flags |= XML_SAVE_FORMAT | XML_SAVE_INDENT;
  if (doc != nullptr && !o.declaration) flags |= XML_SAVE_NO_DECL;
  const char* encoding = o.encoding != nullptr ? o.encoding : "UTF-8";
  SaveHolder save;
  save.ctx = xmlSaveToBuffer(holder.buf, encoding, flags);
  xmlSaveCtxtPtr ctx = save.ctx;
  if (ctx == nullptr) return false;  // unknown encoding
  if (o.indent > 0) {
    std::string spaces(static_cast<size_t>(o.indent), ' ');
    if (xmlSaveSetIndentString(ctx, spaces.c_str()) != 0) return false;
  }
  if (doc != nullptr) {
    xmlSaveDoc(ctx, doc);
  } else {
    if (o.declaration) {
      // The declaration goes through the same encoder as the element,
      // written as the processing instruction it looks like.
      std::string decl = std::string("version=\"1.0\" encoding=\"") + encoding + "\"";
      // Made outside the document, so nothing touches its dictionary.
      xmlNodePtr pi = xmlNewDocPI(nullptr, BAD_CAST "xml", BAD_CAST decl.c_str());
      xmlNodePtr nl = xmlNewDocText(nullptr, BAD_CAST "\n");
      if (pi == nullptr || nl == nullptr) {
        xmlFreeNode(pi);
        xmlFreeNode(nl);
        return false;
      }
      xmlSaveTree(ctx, pi);
      xmlSaveTree(ctx, nl);
      xmlFreeNode(pi);
      xmlFreeNode(nl);
    }
    if (is_element(node)) {
      StandaloneCopy standalone(node);
      if (standalone.copy == nullptr || !standalone.complete) return false;
      xmlSaveTree(ctx, standalone.copy);
    } else {
      xmlSaveTree(ctx, node);
    }
    xmlSaveFlush(ctx);
  }
  int rc = xmlSaveFinish(save.release());
  if (rc != XML_ERR_OK) return false;
  auto size = static_cast<size_t>(xmlBufferLength(holder.buf));
  out.data.reset(xmlBufferDetach(holder.buf));
  out.size = out.data != nullptr ? size : 0;
  return out.data != nullptr;
}

bool serialize_element(xmlNodePtr node, const Options& o, XmlBytes& out) {
  if (node == nullptr || (node->type != XML_ELEMENT_NODE && node->type != XML_TEXT_NODE &&
                          node->type != XML_COMMENT_NODE && node->type != XML_PI_NODE &&
                          node->type != XML_CDATA_SECTION_NODE)) {
    return false;
  }
  return run_save(node, nullptr, o, out);
}

// A caller-owned, NUL-terminated copy; null when the text holds a NUL byte
// (UTF-16 or UTF-32 output), which a C string cannot carry.
bool holds_nul(const XmlBytes& text) {
  return std::memchr(text.chars(), '\0', text.size) != nullptr;
}

char* owned_copy(const XmlBytes& text) {
  if (holds_nul(text)) return nullptr;
  char* out = static_cast<char*>(std::malloc(text.size + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.chars(), text.size);
  out[text.size] = '\0';
  return out;
}

bool same_key(const DocSide& side, const void* node, const Options& o) {
  if (!side.ser_valid || side.ser_node != node || side.ser_indent != o.indent ||
      side.ser_decl != o.declaration) {
    return false;
  }
  if (o.encoding == nullptr) return !side.ser_has_encoding;
  return side.ser_has_encoding && side.ser_encoding == o.encoding;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void korvith_free_string(char* s) try { std::free(s); } catch (...) {
  korvith::entry_failed();
}

char* korvith_element_serialize(void* element, void* options) try {
  XmlBytes out;
  xmlNodePtr node = as_node(element);
  if (node == nullptr) return nullptr;
  DocSide* side = side_of(node->doc);
  std::unique_lock<std::mutex> lock;
  if (side != nullptr) lock = std::unique_lock<std::mutex>(side->mu);
  if (!serialize_element(node, read_options(options, false), out)) return nullptr;
  return owned_copy(out);
} catch (...) {
  return korvith::entry_failed<char*>(nullptr);
}

size_t korvith_element_serialize_into(void* element, char* buffer, size_t capacity, size_t* written,
                                      const void* options) try {
  xmlNodePtr node = as_node(element);
  if (node == nullptr || node->doc == nullptr) return 0;
  DocSide* side = side_of(node->doc);
  if (side == nullptr) return 0;
  Options o = read_options(options, false);
  std::lock_guard<std::mutex> lock(side->mu);
  if (!same_key(*side, element, o)) {
    side->ser_valid = false;
    if (!serialize_element(node, o, side->ser_out) || holds_nul(side->ser_out)) {
      side->ser_out = XmlBytes{};
      return 0;
    }
    side->ser_node = element;
    side->ser_indent = o.indent;
    side->ser_decl = o.declaration;
    side->ser_has_encoding = o.encoding != nullptr;
    side->ser_encoding = o.encoding != nullptr ? o.encoding : "";
    side->ser_valid = true;
  }
  size_t needed = side->ser_out.size + 1;
  if (buffer == nullptr || capacity == 0) return needed;
  size_t n = side->ser_out.size < capacity - 1 ? side->ser_out.size : capacity - 1;
  std::memcpy(buffer, side->ser_out.chars(), n);
  buffer[n] = '\0';
  if (written != nullptr) *written = n;
  // The pair is complete: let the memory go.
  side->ser_valid = false;
  side->ser_out = XmlBytes{};
  return needed;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

char* korvith_document_serialize(void* document, void* options) try {
  auto* doc = static_cast<xmlDocPtr>(document);
  if (doc == nullptr) return nullptr;
  XmlBytes out;
  // libxml2 points the document at the output encoding while it writes.
  DocSide* side = side_of(doc);
  std::unique_lock<std::mutex> lock;
  if (side != nullptr) lock = std::unique_lock<std::mutex>(side->mu);
  if (!run_save(nullptr, doc, read_options(options, true), out)) return nullptr;
  return owned_copy(out);
} catch (...) {
  return korvith::entry_failed<char*>(nullptr);
}

}  // extern "C"
