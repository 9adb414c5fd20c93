// Walks that look for elements by name and one attribute condition, for
// the package's find/findall/iter. Names are compared on libxml2's own
// strings, so a search allocates nothing unless an attribute value is
// split over several nodes (entity references kept as nodes).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "korvith/find.h"

namespace korvith {

namespace {

// Most names differ in their first byte: that check runs inline, and only
// the names that pass it reach strcmp.
bool same(const char* a, const xmlChar* b) {
  return b != nullptr && static_cast<unsigned char>(*a) == *b &&
         (*a == '\0' || std::strcmp(a + 1, cstr(b) + 1) == 0);
}

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
  // The walk is bound by memory latency: the sibling the walk meets after
  // this subtree is fetched while the children are visited.
  if (n->next != nullptr) __builtin_prefetch(n->next);
  if (xmlNodePtr child = next_element(n->children)) return child;
  for (xmlNodePtr p = n; p != nullptr && p != top; p = p->parent) {
    if (xmlNodePtr sibling = next_element(p->next)) return sibling;
    if (!is_element(p->parent)) return nullptr;
  }
  return nullptr;
}

// What a path knows at one element of the walk: `row` has bit i set when
// step i selects the element; `reach` ORs the rows of the element and of
// its ancestors below `top` (the contexts a descendant step can start from).
struct Frame {
  uint64_t row = 0;
  uint64_t reach = 0;
};

struct PathWalk {
  xmlNodePtr top;
  const korvith_path_step* steps;
  size_t count;
  std::vector<Frame> frames;  // frames[d]: the element at depth d below top

  // The frame of `n`, a child of the element whose frame is frames.back().
  Frame frame_of(xmlNodePtr n) const {
    const Frame& parent = frames.back();
    bool parent_is_top = frames.size() == 1;
    Frame f;
    for (size_t i = 0; i < count; ++i) {
      bool context;
      if (i == 0) {
        context = steps[0].axis == KORVITH_AXIS_CHILD ? parent_is_top : true;
      } else {
        uint64_t from = steps[i].axis == KORVITH_AXIS_CHILD ? parent.row : parent.reach;
        context = (from >> (i - 1)) & 1;
      }
      if (context && passes(&steps[i].test, 1, n)) f.row |= uint64_t{1} << i;
    }
    f.reach = parent.reach | f.row;
    return f;
  }

  // Whether anything below the element of frames.back() can be selected.
  bool worth_descending() const {
    return frames.size() == 1 || frames.back().reach != 0 ||
           steps[0].axis == KORVITH_AXIS_DESCENDANT;
  }

  bool selected() const { return (frames.back().row >> (count - 1)) & 1; }

  // Rebuilds the frames from top down to `n`; false when `n` is not below top.
  bool enter(xmlNodePtr n) {
    std::vector<xmlNodePtr> chain;
    for (xmlNodePtr p = n; p != top; p = p->parent) {
      if (!is_element(p)) return false;
      chain.push_back(p);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) frames.push_back(frame_of(*it));
    return true;
  }

  // The next selected element after `n` in document order, or null.
  xmlNodePtr next(xmlNodePtr n) {
    for (;;) {
      if (n->next != nullptr) __builtin_prefetch(n->next);  // as in successor()
      xmlNodePtr child = worth_descending() ? next_element(n->children) : nullptr;
      if (child != nullptr) {
        frames.push_back(frame_of(child));
        n = child;
      } else {
        for (;;) {
          if (n == top) return nullptr;
          frames.pop_back();
          if (xmlNodePtr sibling = next_element(n->next)) {
            frames.push_back(frame_of(sibling));
            n = sibling;
            break;
          }
          n = n->parent;
        }
      }
      if (selected()) return n;
    }
  }
};

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

void* korvith_path_next(void* top, void* after, const void* steps, size_t count) try {
  xmlNodePtr root = as_node(top);
  if (!is_element(root) || steps == nullptr || count == 0 || count > KORVITH_PATH_MAX_STEPS) {
    return nullptr;
  }
  PathWalk walk{root, static_cast<const korvith_path_step*>(steps), count, {Frame{}}};
  xmlNodePtr from = root;
  if (after != nullptr) {
    from = as_node(after);
    if (from == root || !walk.enter(from)) return nullptr;
  }
  return walk.next(from);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

}  // extern "C"
