// Elements and nodes: names, node kinds, text, navigation, line numbers and
// replacing an element's leading text.
#include <libxml/xmlstring.h>

#include "internal.h"

namespace korvith {

int node_line_of(xmlNodePtr node) {
  if (node == nullptr) return 0;
  if (node->type == XML_ELEMENT_NODE && node->line == 65535 && node->_private != nullptr) {
    return static_cast<int>(reinterpret_cast<intptr_t>(node->_private));
  }
  long line = xmlGetLineNo(node);
  if (line < 0) return 0;
  return line > INT32_MAX ? INT32_MAX : static_cast<int>(line);
}

namespace {

bool is_textual(const xmlNode* n) {
  return n != nullptr && (n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE);
}

// Side storage of a document whose element structure no longer changes.
DocSide* stable_side(const xmlNode* n) {
  if (n->doc == nullptr || n->doc->_private == nullptr) return nullptr;
  auto* side = static_cast<DocSide*>(n->doc->_private);
  return side->stable ? side : nullptr;
}

const char* content_or_empty(const xmlNode* n) {
  if (n == nullptr) return nullptr;
  return n->content != nullptr ? cstr(n->content) : "";
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

const char* korvith_element_name(void* element) try {
  xmlNodePtr n = as_node(element);
  if (n == nullptr || n->name == nullptr) return nullptr;
  return cstr(n->name);
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_element_namespace(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n) || n->ns == nullptr) return nullptr;
  return cstr(n->ns->href);
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_element_prefix_fn(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n) || n->ns == nullptr) return nullptr;
  return cstr(n->ns->prefix);
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

void* korvith_element_child(void* element, size_t index) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return nullptr;
  DocSide* side = stable_side(n);
  std::unique_lock<std::mutex> lock;
  xmlNodePtr c = nullptr;
  size_t at = 0;
  if (side != nullptr) {
    lock = std::unique_lock<std::mutex>(side->mu);
    if (side->pos_parent == n && side->pos_index <= index && side->pos_node != nullptr) {
      c = side->pos_node;
      at = side->pos_index;
    }
  }
  if (c == nullptr) c = xmlFirstElementChild(n);
  for (; c != nullptr && at < index; ++at) c = xmlNextElementSibling(c);
  if (side != nullptr && c != nullptr) {
    side->pos_parent = n;
    side->pos_index = index;
    side->pos_node = c;
  }
  return c;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

size_t korvith_element_child_count(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return 0;
  DocSide* side = stable_side(n);
  if (side == nullptr) return static_cast<size_t>(xmlChildElementCount(n));
  std::lock_guard<std::mutex> lock(side->mu);
  if (side->count_parent != n) {
    side->count_value = static_cast<size_t>(xmlChildElementCount(n));
    side->count_parent = n;
  }
  return side->count_value;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

void* korvith_element_as_node(void* element) try { return element; } catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_node_first_child(void* node) try {
  xmlNodePtr n = as_node(node);
  if (n == nullptr) return nullptr;
  // Entity references are leaves here: their children belong to the
  // entity declaration, shared by every reference.
  if (n->type != XML_ELEMENT_NODE && n->type != XML_DOCUMENT_NODE) return nullptr;
  return n->children;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_node_next_sibling(void* node) try {
  xmlNodePtr n = as_node(node);
  if (n == nullptr || n->type == XML_ATTRIBUTE_NODE) return nullptr;
  return n->next;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_node_get_type(void* node) try {
  xmlNodePtr n = as_node(node);
  if (n == nullptr) return KORVITH_NODE_NONE;
  switch (n->type) {
    case XML_ELEMENT_NODE: return KORVITH_NODE_ELEMENT;
    case XML_TEXT_NODE: return KORVITH_NODE_TEXT;
    case XML_ATTRIBUTE_NODE: return KORVITH_NODE_ATTRIBUTE;
    case XML_CDATA_SECTION_NODE: return KORVITH_NODE_CDATA;
    case XML_COMMENT_NODE: return KORVITH_NODE_COMMENT;
    case XML_PI_NODE: return KORVITH_NODE_PI;
    case XML_ENTITY_REF_NODE: return KORVITH_NODE_ENTITY_REF;
    case XML_DOCUMENT_NODE: return KORVITH_NODE_DOCUMENT;
    default: return KORVITH_NODE_OTHER;
  }
} catch (...) {
  return korvith::entry_failed<int>(KORVITH_NODE_NONE);
}

const char* korvith_text_node_get_content(void* node) try {
  xmlNodePtr n = as_node(node);
  if (n == nullptr || n->type == XML_ELEMENT_NODE) return nullptr;
  return content_or_empty(n);
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_cdata_node_get_content(void* node) try {
  return korvith_text_node_get_content(node);
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

void* korvith_element_first_child_any(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return nullptr;
  return xmlFirstElementChild(n);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_element_next_sibling_any(void* element) try {
  xmlNodePtr n = as_node(element);
  if (n == nullptr || n->type == XML_ATTRIBUTE_NODE) return nullptr;
  return xmlNextElementSibling(n);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_element_previous_sibling_any_fn(void* element) try {
  xmlNodePtr n = as_node(element);
  if (n == nullptr || n->type == XML_ATTRIBUTE_NODE) return nullptr;
  return xmlPreviousElementSibling(n);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_element_parent(void* element) try {
  xmlNodePtr n = as_node(element);
  if (n == nullptr || n->type == XML_ATTRIBUTE_NODE) return nullptr;
  xmlNodePtr p = n->parent;
  return is_element(p) ? p : nullptr;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_node_line(void* node) try { return node_line_of(as_node(node)); } catch (...) {
  return korvith::entry_failed<int>(0);
}

int korvith_element_set_text(void* element, const char* text) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n) || text == nullptr) return 1;
  if (xmlCheckUTF8(xstr(text)) == 0) return 1;
  xmlNodePtr fresh = xmlNewDocText(n->doc, xstr(text));
  if (fresh == nullptr) return 1;
  side_forget_output(n->doc);
  // Drop the current leading run of text and CDATA nodes, then put the
  // new text node first.
  while (is_textual(n->children)) {
    xmlNodePtr old = n->children;
    xmlUnlinkNode(old);
    xmlFreeNode(old);
  }
  if (n->children == nullptr) {
    if (xmlAddChild(n, fresh) == nullptr) {
      xmlFreeNode(fresh);
      return 1;
    }
  } else {
    // xmlAddPrevSibling would merge adjacent text; there is none left.
    if (xmlAddPrevSibling(n->children, fresh) == nullptr) {
      xmlFreeNode(fresh);
      return 1;
    }
  }
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

}  // extern "C"
