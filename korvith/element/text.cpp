// Text runs around an element: `text`, `tail`, `itertext` and the `text`
// setter. A run is a maximal chain of adjacent text (1) and CDATA (3)
// sibling nodes, read as one string.
#include "element.h"

#include <cstring>

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

bool is_textual(int type) { return type == KORVITH_NODE_TEXT || type == KORVITH_NODE_CDATA; }

// A node together with its type code, read once.
struct TypedNode {
  void* node;
  int type;
};

TypedNode typed(void* node) { return {node, node ? Fns.node_get_type(node) : KORVITH_NODE_NONE}; }

// Content of one textual node; null content reads as "". Short contents
// come through the cache of `el`'s document, looked up at each use: the
// allocations between two uses can run code that moves `el` to another
// document.
PyObject* node_content(const TypedNode& n, const AccelElement* el) {
  const char* s = n.type == KORVITH_NODE_TEXT ? Fns.text_node_get_content(n.node)
                                              : Fns.cdata_node_get_content(n.node);
  return cached_text(names_of(el), s);
}

// Reads the run that starts at `start` (textual). `*after` receives the
// first node past the run with its type (null node when the siblings end),
// so callers walking on need not ask the engine again. A run of one node is
// decoded straight into the result, with no list and no join.
PyObject* read_run(const TypedNode& start, TypedNode* after, const AccelElement* el) {
  TypedNode next = typed(Fns.node_next_sibling(start.node));
  if (!next.node || !is_textual(next.type)) {
    *after = next;
    return node_content(start, el);
  }
  Ref pieces(PyList_New(0));
  if (!pieces) return nullptr;
  TypedNode cur = start;
  bool first = true;
  while (cur.node && is_textual(cur.type)) {
    Ref piece(node_content(cur, el));
    if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    cur = first ? next : typed(Fns.node_next_sibling(cur.node));
    first = false;
  }
  *after = cur;
  Ref empty(PyUnicode_FromStringAndSize(nullptr, 0));
  if (!empty) return nullptr;
  return PyUnicode_Join(empty.get(), pieces.get());
}

// Growable stack of element nodes whose following siblings are still to be
// walked. It lives on the heap, so the depth of the tree is bounded by
// memory rather than by the native stack.
class NodeStack {
 public:
  bool push(void* node) {
    if (size_ == capacity_) {
      size_t grown = capacity_ ? capacity_ * 2 : 64;
      if (grown > PY_SSIZE_T_MAX / sizeof(void*)) return false;
      if (!block_.resize(grown * sizeof(void*))) return false;
      capacity_ = grown;
    }
    block_.as<void*>()[size_++] = node;
    return true;
  }
  bool empty() const { return size_ == 0; }
  void* pop() { return block_.as<void*>()[--size_]; }

 private:
  MemBlock block_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Appends every text run of the subtree under `raw` to `out`, in document
// order. Each element's children are visited before its following
// siblings, exactly as a recursive walk would, but without recursion.
bool itertext_walk(const AccelElement* el, PyObject* out) {
  NodeStack pending;
  TypedNode cur = typed(Fns.node_first_child(Fns.element_as_node(el->raw)));
  for (;;) {
    while (cur.node) {
      if (is_textual(cur.type)) {
        TypedNode after{};
        Ref run(read_run(cur, &after, el));
        if (!run || PyList_Append(out, run.get()) < 0) return false;
        cur = after;
      } else if (cur.type == KORVITH_NODE_ELEMENT) {
        if (!pending.push(cur.node)) {
          PyErr_NoMemory();
          return false;
        }
        // An element node's handle serves as its element handle.
        cur = typed(Fns.node_first_child(Fns.element_as_node(cur.node)));
      } else {
        cur = typed(Fns.node_next_sibling(cur.node));
      }
    }
    if (pending.empty()) return true;
    cur = typed(Fns.node_next_sibling(pending.pop()));
  }
}

}  // namespace

PyObject* elem_get_text(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  TypedNode first = typed(Fns.node_first_child(Fns.element_as_node(el->raw)));
  if (!first.node || !is_textual(first.type)) Py_RETURN_NONE;
  TypedNode after{};
  return read_run(first, &after, el);
}

PyObject* elem_get_tail(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  TypedNode next = typed(Fns.node_next_sibling(Fns.element_as_node(el->raw)));
  if (!next.node || !is_textual(next.type)) Py_RETURN_NONE;
  TypedNode after{};
  return read_run(next, &after, el);
}

PyObject* elem_itertext(PyObject* self, PyObject*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  Ref out(PyList_New(0));
  if (!out || !has_element(el)) return out.release();
  if (!itertext_walk(el, out.get())) return nullptr;
  return out.release();
}

// The value is checked first, so a wrong type reads the same whatever the
// wrapper's state. Unlike the getters, the setter cannot quietly do
// nothing: an unbound module, a wrapper without an element and an engine
// without the set-text function each raise instead of reaching the engine.
int elem_set_text(PyObject* self, PyObject* value, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return -1;
  if (!value) {
    PyErr_SetString(PyExc_NotImplementedError, "deleting text");
    return -1;
  }
  Ref encoded(PyUnicode_AsUTF8String(value));
  if (!encoded) return -1;
  // The engine takes the text as a C string: a NUL inside would silently
  // cut it short, and XML cannot hold that character anyway.
  if (std::memchr(PyBytes_AS_STRING(encoded.get()), '\0',
                  static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "text must not contain NUL characters");
    return -1;
  }
  if (!bound) {
    raise_not_bound();
    return -1;
  }
  if (!el->raw) {
    PyErr_SetString(PyExc_TypeError, "cannot set text: the Element holds no element");
    return -1;
  }
  if (!Fns.element_set_text) {
    PyErr_SetString(PyExc_NotImplementedError, "setting text needs libkorvith 1.9.216+");
    return -1;
  }
  if (Fns.element_set_text(el->raw, PyBytes_AS_STRING(encoded.get())) != 0) {
    raise_engine_error("set_text failed");
    return -1;
  }
  return 0;
}

}  // namespace korvith
