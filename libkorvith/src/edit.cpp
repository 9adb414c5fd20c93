// Tree editing: new elements, comments and processing instructions, tag,
// attribute, text and tail changes, moving nodes (within a document and
// between documents), removal and copies.
//
// Lifetime rule: an element or other wrappable node (comment, processing
// instruction) taken out of its tree is never freed here. It joins its
// document's detached set, with its tail text as following siblings, and
// is freed with the document (free_detached). Text and attribute nodes are
// never wrapped, so those are freed as soon as an edit drops them.
//
// Every entry validates all of its input before it changes anything, so a
// refused edit leaves the tree exactly as it was.
#include <libxml/tree.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "entry.h"

namespace korvith {

namespace {

constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool is_textual(const xmlNode* n) {
  return n != nullptr && (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE);
}

bool is_movable(const xmlNode* n) {
  return n != nullptr &&
         (n->type == XML_ELEMENT_NODE || n->type == XML_COMMENT_NODE || n->type == XML_PI_NODE);
}

bool fail(const char* message) {
  error_set(XML_ERR_ARGUMENT, message, 0, 0);
  return false;
}

int refuse(const char* message) {
  fail(message);
  return -1;
}

bool valid_ncname(const char* name) {
  return name != nullptr && name[0] != '\0' && xmlValidateNCName(xstr(name), 0) == 0;
}

bool valid_text(const char* text) { return text == nullptr || xmlCheckUTF8(xstr(text)) != 0; }

bool has_uri(const char* uri) { return uri != nullptr && uri[0] != '\0'; }

// Drops the child-position, child-count and serialisation caches of a
// document whose structure changed, and counts the change (see
// DocSide::structure_changes).
void forget_structure(xmlDocPtr doc) {
  if (doc == nullptr || doc->_private == nullptr) return;
  auto* side = static_cast<DocSide*>(doc->_private);
  {
    std::lock_guard<std::mutex> lock(side->mu);
    side->pos_parent = nullptr;
    side->pos_node = nullptr;
    side->pos_index = 0;
    side->count_parent = nullptr;
    side->count_value = 0;
  }
  side->structure_changes.fetch_add(1, std::memory_order_relaxed);
  side_forget_output(doc);
}

void remember_detached(xmlNodePtr node) {
  DocSide* side = side_of(node->doc);
  if (side == nullptr) return;
  std::lock_guard<std::mutex> lock(side->mu);
  side->detached.insert(node);
}

void forget_detached(xmlDocPtr doc, xmlNodePtr node) {
  if (doc == nullptr || doc->_private == nullptr) return;
  auto* side = static_cast<DocSide*>(doc->_private);
  std::lock_guard<std::mutex> lock(side->mu);
  side->detached.erase(node);
}

// The textual nodes right after `node` (its tail), in order.
std::vector<xmlNodePtr> tail_of(xmlNodePtr node) {
  std::vector<xmlNodePtr> run;
  for (xmlNodePtr t = node->next; is_textual(t); t = t->next) run.push_back(t);
  return run;
}

// Links `node` under `parent` right after `prev` (null: as first child).
// Plain pointer work: libxml2's sibling helpers would merge adjacent text
// nodes, and the callers guarantee there is nothing to merge.
void link_after(xmlNodePtr parent, xmlNodePtr prev, xmlNodePtr node) {
  node->parent = parent;
  node->prev = prev;
  node->next = prev != nullptr ? prev->next : (parent != nullptr ? parent->children : nullptr);
  if (prev != nullptr)
    prev->next = node;
  else if (parent != nullptr)
    parent->children = node;
  if (node->next != nullptr)
    node->next->prev = node;
  else if (parent != nullptr)
    parent->last = node;
}

// Unlinks `node` and its tail; the tail stays behind it as parentless
// siblings, which is how a detached node carries its tail.
void unlink_with_tail(xmlNodePtr node, const std::vector<xmlNodePtr>& tail) {
  xmlUnlinkNode(node);
  xmlNodePtr prev = node;
  for (xmlNodePtr t : tail) {
    xmlUnlinkNode(t);
    link_after(nullptr, prev, t);
    prev = t;
  }
}

// An element without a namespace where a default namespace is in scope
// gets xmlns="", or the output would put it into that namespace. When the
// element itself declares the default namespace (it was renamed out of
// it), that declaration goes: references to it below are re-declared
// where they are used, then it is freed.
void undeclare_default(xmlNodePtr cur) {
  if (cur->type != XML_ELEMENT_NODE || cur->ns != nullptr) return;
  for (xmlNsPtr* link = &cur->nsDef; *link != nullptr; link = &(*link)->next) {
    xmlNsPtr own = *link;
    if (own->prefix != nullptr) continue;
    if (own->href == nullptr || own->href[0] == 0) return;  // already xmlns=""
    *link = own->next;
    own->next = nullptr;
    // References below now point out of scope: reconciliation declares
    // the namespace again where it is used. The declaration itself
    // moves to the document's spare list, freed with the document, so
    // that nothing can ever hold a pointer to freed memory.
    xmlDOMWrapReconcileNamespaces(nullptr, cur, 0);
    if (cur->doc != nullptr) {
      xmlNsPtr* end = &cur->doc->oldNs;
      while (*end != nullptr) end = &(*end)->next;
      *end = own;
    } else {
      xmlFreeNs(own);
    }
    break;
  }
  xmlNsPtr def = xmlSearchNs(cur->doc, cur, nullptr);
  if (def != nullptr && def->href != nullptr && def->href[0] != 0) {
    xmlNewNs(cur, xstr(""), nullptr);
  }
}

// The default namespace an element declares itself: its href ("" for
// xmlns=""), or null when it declares none.
const xmlChar* own_default(const xmlNode* e) {
  for (xmlNsPtr ns = e->nsDef; ns != nullptr; ns = ns->next) {
    if (ns->prefix == nullptr) return ns->href != nullptr ? ns->href : xstr("");
  }
  return nullptr;
}

// undeclare_default for every element of a subtree, in one pass that
// carries the default namespace in effect down the tree (no lookup up the
// ancestors per element).
void undeclare_defaults(xmlNodePtr top) {
  if (top->type != XML_ELEMENT_NODE) return;
  xmlNsPtr outer = top->parent != nullptr && top->parent->type == XML_ELEMENT_NODE
                       ? xmlSearchNs(top->doc, top->parent, nullptr)
                       : nullptr;
  const xmlChar* start = outer != nullptr && outer->href != nullptr ? outer->href : xstr("");
  struct Frame {
    xmlNodePtr node;
    const xmlChar* in_effect;  // default namespace around `node`
  };
  std::vector<Frame> stack{{top, start}};
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    xmlNodePtr e = f.node;
    const xmlChar* here = own_default(e);
    if (here == nullptr) {
      here = f.in_effect;
      if (e->ns == nullptr && here[0] != 0) {
        xmlNewNs(e, xstr(""), nullptr);
        here = xstr("");
      }
    }
    for (xmlNodePtr c = e->last; c != nullptr; c = c->prev) {
      if (c->type == XML_ELEMENT_NODE) stack.push_back({c, here});
    }
  }
}

// Makes every namespace reference of the subtree point at a declaration
// in scope where the subtree now is, declaring what is missing on it.
void settle_namespaces(xmlNodePtr node) {
  if (node->type != XML_ELEMENT_NODE) return;
  xmlDOMWrapReconcileNamespaces(nullptr, node, 0);
  undeclare_defaults(node);
}

// The elements whose declarations are in scope at `node`, nearest first:
// the node, then its ancestors, or (for a node not linked anywhere yet)
// the `scope` element and its ancestors.
std::vector<xmlNodePtr> scope_chain(xmlNodePtr node, xmlNodePtr scope) {
  std::vector<xmlNodePtr> chain{node};
  xmlNodePtr up = node->parent != nullptr ? node->parent : scope;
  for (; up != nullptr && up->type == XML_ELEMENT_NODE; up = up->parent) chain.push_back(up);
  return chain;
}

// The declaration that binds `prefix` along `chain`, or null.
xmlNsPtr bound_ns(const std::vector<xmlNodePtr>& chain, const xmlChar* prefix) {
  for (xmlNodePtr e : chain) {
    for (xmlNsPtr ns = e->nsDef; ns != nullptr; ns = ns->next) {
      if (xmlStrEqual(ns->prefix, prefix)) return ns;
    }
  }
  return nullptr;
}

// A prefix "ns0", "ns1", ... not bound along `chain`.
std::string fresh_prefix(const std::vector<xmlNodePtr>& chain) {
  for (int i = 0;; ++i) {
    std::string prefix = "ns" + std::to_string(i);
    if (bound_ns(chain, xstr(prefix.c_str())) == nullptr) return prefix;
  }
}

// The namespace `uri` as seen from `node` (see scope_chain), declared on
// `node` under a fresh prefix when nothing in scope binds it. An attribute
// needs a prefixed declaration; an element takes the default one too.
xmlNsPtr namespace_for(xmlNodePtr node, xmlNodePtr scope, const char* uri, bool attribute) {
  if (std::strcmp(uri, kXmlNamespace) == 0) return xmlSearchNs(node->doc, node, xstr("xml"));
  std::vector<xmlNodePtr> chain = scope_chain(node, scope);
  for (xmlNodePtr e : chain) {
    for (xmlNsPtr ns = e->nsDef; ns != nullptr; ns = ns->next) {
      if (!xmlStrEqual(ns->href, xstr(uri))) continue;
      if (attribute && ns->prefix == nullptr) continue;
      // Usable only when no nearer declaration shadows its prefix.
      if (bound_ns(chain, ns->prefix) == ns) return ns;
    }
  }
  std::string prefix = fresh_prefix(chain);
  return xmlNewNs(node, xstr(uri), xstr(prefix.c_str()));
}

bool set_name(xmlNodePtr node, xmlNodePtr scope, const char* uri, const char* local) {
  xmlNsPtr ns = nullptr;
  if (has_uri(uri)) {
    ns = namespace_for(node, scope, uri, false);
    if (ns == nullptr) return fail("could not declare the namespace");
  }
  xmlNodeSetName(node, xstr(local));
  node->ns = ns;
  undeclare_default(node);
  return true;
}

// Frees the text and CDATA nodes of a run starting at `first`.
void drop_text_run(xmlNodePtr first) {
  while (is_textual(first)) {
    xmlNodePtr next = first->next;
    xmlUnlinkNode(first);
    xmlFreeNode(first);
    first = next;
  }
}

// Replaces the text run that follows `prev` (an element's tail), or that
// opens `parent` when `prev` is null (its text), with `text` (null: none).
int replace_text_run(xmlNodePtr parent, xmlNodePtr prev, const char* text) {
  if (!valid_text(text)) return refuse("invalid text");
  xmlDocPtr doc = prev != nullptr ? prev->doc : parent->doc;
  xmlNodePtr fresh = nullptr;
  if (text != nullptr) {
    fresh = xmlNewDocText(doc, xstr(text));
    if (fresh == nullptr) return refuse("out of memory");
  }
  drop_text_run(prev != nullptr ? prev->next : parent->children);
  if (fresh != nullptr) link_after(parent, prev, fresh);
  side_forget_output(doc);
  return 0;
}

xmlDocPtr new_document() {
  xmlDocPtr doc = xmlNewDoc(xstr("1.0"));
  if (doc == nullptr) return nullptr;
  side_of(doc)->stable = true;
  return doc;
}

// Declares an `nsmap` on a fresh element.
bool declare_map(xmlNodePtr node, const char* const* prefixes, const char* const* uris,
                 size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const char* prefix = prefixes != nullptr ? prefixes[i] : nullptr;
    if (prefix != nullptr && !valid_ncname(prefix)) return fail("invalid namespace prefix");
    if (uris == nullptr || !has_uri(uris[i])) return fail("invalid namespace URI");
    if (xmlNewNs(node, xstr(uris[i]), prefix != nullptr ? xstr(prefix) : nullptr) == nullptr) {
      return fail("duplicate or reserved namespace prefix");
    }
  }
  return true;
}

bool is_ancestor_or_self(xmlNodePtr candidate, xmlNodePtr node) {
  for (xmlNodePtr p = node; p != nullptr; p = p->parent) {
    if (p == candidate) return true;
  }
  return false;
}

}  // namespace

void free_detached(xmlDocPtr doc, DocSide* side) {
  for (xmlNodePtr node : side->detached) {
    if (node->parent != nullptr || node->prev != nullptr || node->doc != doc) continue;
    xmlFreeNodeList(node);  // the node and its tail
  }
  side->detached.clear();
}

}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_edit_new_element(void* context, const char* uri, const char* local,
                               const char* const* prefixes, const char* const* uris,
                               size_t ns_count) try {
  error_clear();
  try {
    xmlNodePtr scope = as_node(context);
    if (scope != nullptr && !is_element(scope)) return fail("context is not an element"), nullptr;
    if (!valid_ncname(local)) return fail("invalid tag name"), nullptr;
    if (has_uri(uri) && xmlCheckUTF8(xstr(uri)) == 0) return fail("invalid namespace"), nullptr;
    xmlDocPtr doc = scope != nullptr ? scope->doc : new_document();
    if (doc == nullptr) return fail("out of memory"), nullptr;
    xmlNodePtr node = xmlNewDocNode(doc, nullptr, xstr(local), nullptr);
    bool ok = node != nullptr && declare_map(node, prefixes, uris, ns_count) &&
              set_name(node, scope, uri, local);
    if (!ok) {
      if (node != nullptr) xmlFreeNode(node);
      if (scope == nullptr) {
        side_release(doc);
        xmlFreeDoc(doc);
      }
      if (error_code() == 0) fail("out of memory");
      return nullptr;
    }
    if (scope == nullptr) {
      xmlDocSetRootElement(doc, node);
    } else {
      remember_detached(node);
    }
    return node;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_edit_new_node(void* context, int kind, const char* name, const char* content) try {
  error_clear();
  try {
    xmlNodePtr scope = as_node(context);
    if (scope != nullptr && !is_element(scope)) return fail("context is not an element"), nullptr;
    if (!valid_text(content) || (kind == KORVITH_EDIT_PI && !valid_ncname(name))) {
      return fail("invalid node content"), nullptr;
    }
    xmlDocPtr doc = scope != nullptr ? scope->doc : new_document();
    if (doc == nullptr) return fail("out of memory"), nullptr;
    xmlNodePtr node = nullptr;
    if (kind == KORVITH_EDIT_COMMENT) {
      node = xmlNewDocComment(doc, xstr(content != nullptr ? content : ""));
    } else if (kind == KORVITH_EDIT_PI) {
      node = xmlNewDocPI(doc, xstr(name), content != nullptr ? xstr(content) : nullptr);
    } else {
      fail("unknown node kind");
    }
    if (node == nullptr) {
      if (scope == nullptr) {
        side_release(doc);
        xmlFreeDoc(doc);
      }
      if (error_code() == 0) fail("out of memory");
      return nullptr;
    }
    if (scope == nullptr) {
      xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), node);
    } else {
      remember_detached(node);
    }
    return node;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_edit_document_of(void* node) try {
  xmlNodePtr n = as_node(node);
  return n != nullptr ? n->doc : nullptr;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

const char* korvith_edit_node_content(void* node) try {
  xmlNodePtr n = as_node(node);
  if (n == nullptr || (n->type != XML_COMMENT_NODE && n->type != XML_PI_NODE)) return nullptr;
  return n->content != nullptr ? cstr(n->content) : "";
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

int korvith_edit_set_content(void* node, const char* content) try {
  error_clear();
  xmlNodePtr n = as_node(node);
  if (n == nullptr || (n->type != XML_COMMENT_NODE && n->type != XML_PI_NODE)) {
    return refuse("not a comment or processing instruction");
  }
  if (!valid_text(content)) return refuse("invalid text");
  xmlNodeSetContent(n, content != nullptr ? xstr(content) : nullptr);
  side_forget_output(n->doc);
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_set_tag(void* element, const char* uri, const char* local) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(element);
    if (!is_element(n)) return refuse("not an element");
    if (!valid_ncname(local)) return refuse("invalid tag name");
    if (!set_name(n, nullptr, uri, local)) return -1;
    side_forget_output(n->doc);
    return 0;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_set_attribute(void* element, const char* uri, const char* local,
                               const char* value) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(element);
    if (!is_element(n)) return refuse("not an element");
    if (!valid_ncname(local)) return refuse("invalid attribute name");
    if (value == nullptr || !valid_text(value)) return refuse("invalid attribute value");
    xmlAttrPtr done = nullptr;
    if (has_uri(uri)) {
      xmlNsPtr ns = namespace_for(n, nullptr, uri, true);
      if (ns == nullptr) return refuse("could not declare the namespace");
      done = xmlSetNsProp(n, ns, xstr(local), xstr(value));
    } else {
      // xmlSetProp would read "a:b" as a prefixed name; local names
      // have no colon, and the no-namespace attribute is meant.
      done = xmlSetNsProp(n, nullptr, xstr(local), xstr(value));
    }
    if (done == nullptr) return refuse("could not set the attribute");
    side_forget_output(n->doc);
    return 0;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_remove_attribute(void* element, const char* uri, const char* local) try {
  error_clear();
  xmlNodePtr n = as_node(element);
  if (!is_element(n) || local == nullptr) return refuse("not an element");
  for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) {
    bool same_ns =
        has_uri(uri) ? (a->ns != nullptr && xmlStrEqual(a->ns->href, xstr(uri))) : a->ns == nullptr;
    if (same_ns && xmlStrEqual(a->name, xstr(local))) {
      xmlRemoveProp(a);
      side_forget_output(n->doc);
      return 0;
    }
  }
  return 1;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_set_text(void* element, const char* text) try {
  error_clear();
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return refuse("not an element");
  return replace_text_run(n, nullptr, text);
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_set_tail(void* node, const char* text) try {
  error_clear();
  xmlNodePtr n = as_node(node);
  if (!is_movable(n)) return refuse("not an element");
  return replace_text_run(n->parent, n, text);
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_attach(void* node, void* anchor, int where) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(node);
    xmlNodePtr a = as_node(anchor);
    if (!is_movable(n)) return refuse("only elements, comments and processing instructions move");
    if (!is_element(a) && !(where != KORVITH_EDIT_APPEND && is_movable(a))) {
      return refuse("the anchor is not an element");
    }
    xmlNodePtr parent = where == KORVITH_EDIT_APPEND ? a : a->parent;
    if (!is_element(parent)) return refuse("the anchor has no parent element");
    if (where != KORVITH_EDIT_APPEND && a == n) return 0;  // already where it is asked to be
    if (is_ancestor_or_self(n, parent)) {
      fail("an element cannot be moved into its own subtree");
      return KORVITH_EDIT_OWN_SUBTREE;
    }
    xmlDocPtr src = n->doc;
    xmlDocPtr dst = parent->doc;
    std::vector<xmlNodePtr> tail = tail_of(n);
    unlink_with_tail(n, tail);
    forget_detached(src, n);
    if (src != dst) {
      if (xmlDOMWrapAdoptNode(nullptr, src, n, dst, parent, 0) != 0) {
        remember_detached(n);
        return refuse("could not move the node to the other document");
      }
      for (xmlNodePtr t : tail) xmlDOMWrapAdoptNode(nullptr, src, t, dst, nullptr, 0);
    }
    xmlNodePtr prev = nullptr;
    if (where == KORVITH_EDIT_APPEND) {
      prev = parent->last;
    } else if (where == KORVITH_EDIT_BEFORE) {
      prev = a->prev;
    } else {
      prev = a;
      while (is_textual(prev->next)) prev = prev->next;
    }
    link_after(parent, prev, n);
    xmlNodePtr last = n;
    for (xmlNodePtr t : tail) {
      t->parent = nullptr;
      t->prev = t->next = nullptr;
      link_after(parent, last, t);
      last = t;
    }
    settle_namespaces(n);
    forget_structure(src);
    if (dst != src) forget_structure(dst);
    return 0;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_detach(void* node) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(node);
    if (!is_movable(n) || !is_element(n->parent)) {
      return refuse("the node has no parent element");
    }
    std::vector<xmlNodePtr> tail = tail_of(n);
    unlink_with_tail(n, tail);
    settle_namespaces(n);
    remember_detached(n);
    forget_structure(n->doc);
    return 0;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_edit_clear(void* element, int keep_tail) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(element);
    if (!is_element(n)) return refuse("not an element");
    while (n->properties != nullptr) xmlRemoveProp(n->properties);
    drop_text_run(n->children);
    // Each child element, comment or processing instruction leaves with
    // its tail, as remove() takes it; anything else goes.
    while (xmlNodePtr child = n->children) {
      if (is_movable(child)) {
        std::vector<xmlNodePtr> tail = tail_of(child);
        unlink_with_tail(child, tail);
        settle_namespaces(child);
        remember_detached(child);
      } else {
        xmlUnlinkNode(child);
        xmlFreeNode(child);
      }
    }
    if (!keep_tail) drop_text_run(n->next);
    forget_structure(n->doc);
    return 0;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void* korvith_edit_copy(void* node) try {
  error_clear();
  try {
    xmlNodePtr n = as_node(node);
    if (!is_movable(n))
      return fail("only elements, comments and processing instructions copy"), nullptr;
    xmlDocPtr doc = new_document();
    if (doc == nullptr) return fail("out of memory"), nullptr;
    xmlNodePtr copy = xmlDocCopyNode(n, doc, 1);
    if (copy == nullptr) {
      side_release(doc);
      xmlFreeDoc(doc);
      return fail("out of memory"), nullptr;
    }
    if (copy->type == XML_ELEMENT_NODE) {
      xmlDocSetRootElement(doc, copy);
      settle_namespaces(copy);
    } else {
      xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), copy);
    }
    return copy;
  } catch (...) {
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_edit_is_ancestor(void* candidate, void* node) try {
  xmlNodePtr c = as_node(candidate);
  return c != nullptr && is_ancestor_or_self(c, as_node(node)) ? 1 : 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

size_t korvith_edit_subtree(void* node, void** out, size_t cap) try {
  xmlNodePtr top = as_node(node);
  if (!is_movable(top)) return 0;
  size_t count = 0;
  xmlNodePtr cur = top;
  while (cur != nullptr) {
    if (is_movable(cur)) {
      if (out != nullptr && count < cap) out[count] = cur;
      ++count;
    }
    if (cur->type == XML_ELEMENT_NODE && cur->children != nullptr) {
      cur = cur->children;
      continue;
    }
    while (cur != nullptr && cur != top && cur->next == nullptr) cur = cur->parent;
    if (cur == nullptr || cur == top) break;
    cur = cur->next;
  }
  return count;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

}  // extern "C"
