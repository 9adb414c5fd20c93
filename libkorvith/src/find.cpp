// Walks that look for elements by name and one attribute condition, for
// the package's find/findall/iter. Names are compared on libxml2's own
// strings, so a search allocates nothing unless an attribute value is
// split over several nodes (entity references kept as nodes).
#include <cstring>
#include <string>

#include "internal.h"
#include "korvith/find.h"

namespace korvith {

namespace {

bool same(const char* a, const xmlChar* b) { return b != nullptr && std::strcmp(a, cstr(b)) == 0; }

bool name_passes(const korvith_tag_test& test, const xmlNode* n) {
  if (!(test.flags & KORVITH_TEST_ANY_LOCAL) &&
      (test.local == nullptr || !same(test.local, n->name))) {
    return false;
  }
  if (test.flags & KORVITH_TEST_ANY_URI) return true;
  if (test.uri == nullptr) return n->ns == nullptr;
  return n->ns != nullptr && same(test.uri, n->ns->href);
}

bool value_is(xmlAttrPtr attr, const char* wanted) {
  xmlNodePtr kids = attr->children;
  if (kids == nullptr) return *wanted == '\0';
  if (kids->next == nullptr && kids->type == XML_TEXT_NODE) {
    return std::strcmp(kids->content != nullptr ? cstr(kids->content) : "", wanted) == 0;
  }
  return joined_value(attr->doc, kids) == wanted;
}

bool attribute_passes(const korvith_tag_test& test, xmlNodePtr n) {
  if (test.attr_op == KORVITH_ATTR_NONE) return true;
  xmlAttrPtr attr = find_attribute_ns(n, test.attr_uri, test.attr_local);
  if (attr == nullptr) return false;
  switch (test.attr_op) {
    case KORVITH_ATTR_PRESENT: return true;
    case KORVITH_ATTR_EQUAL: return test.attr_value != nullptr && value_is(attr, test.attr_value);
    case KORVITH_ATTR_UNEQUAL:
      return test.attr_value != nullptr && !value_is(attr, test.attr_value);
    default: return false;
  }
}

bool passes(const korvith_tag_test* tests, size_t count, xmlNodePtr n) {
  if (count == 0) return true;
  for (size_t i = 0; i < count; ++i) {
    if (name_passes(tests[i], n) && attribute_passes(tests[i], n)) return true;
  }
  return false;
}

xmlNodePtr next_element(xmlNodePtr n) {
  while (n != nullptr && n->type != XML_ELEMENT_NODE) n = n->next;
  return n;
}

// Pre-order successor of `n` among the elements under `top`.
xmlNodePtr successor(xmlNodePtr top, xmlNodePtr n) {
  if (xmlNodePtr child = next_element(n->children)) return child;
  for (xmlNodePtr p = n; p != nullptr && p != top; p = p->parent) {
    if (xmlNodePtr sibling = next_element(p->next)) return sibling;
    if (!is_element(p->parent)) return nullptr;
  }
  return nullptr;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_walk_next(void* top, void* after, const void* tests, size_t count) try {
  xmlNodePtr root = as_node(top);
  if (!is_element(root)) return nullptr;
  const auto* list = static_cast<const korvith_tag_test*>(tests);
  if (list == nullptr) count = 0;
  xmlNodePtr n = after == nullptr ? root : successor(root, as_node(after));
  while (n != nullptr && !passes(list, count, n)) n = successor(root, n);
  return n;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_child_next(void* parent, void* after, const void* tests, size_t count) try {
  xmlNodePtr p = as_node(parent);
  if (!is_element(p)) return nullptr;
  const auto* list = static_cast<const korvith_tag_test*>(tests);
  if (list == nullptr) count = 0;
  xmlNodePtr n = next_element(after == nullptr ? p->children : as_node(after)->next);
  while (n != nullptr && !passes(list, count, n)) n = next_element(n->next);
  return n;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

}  // extern "C"
