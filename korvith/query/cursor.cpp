// SubtreeIterator: a stackless pre-order walk over one subtree, moving by
// the engine's first-child, next-sibling and parent links and bounded by
// the subtree's top element. Filters are compared on the engine's UTF-8
// strings, so only matching elements ever get a Python wrapper.
#include "../element/element.h"
#include "../module.h"

#include <cstring>

namespace korvith {

namespace {

struct AccelCursor {
  PyObject_HEAD AccelElement*
      start;              // wrapper the cursor was made from (strong); null: never started
  void* top;              // upper bound of the walk
  void* current;          // next candidate; null when the walk is over
  PyObject* document;     // given to every yielded wrapper (strong)
  Registry* registry;     // registry of `document` at creation (not owned), or null
  PyObject* local_bytes;  // UTF-8 local-name filter (owned), or null
  PyObject* ns_bytes;     // UTF-8 namespace filter (owned), or null
  const char* local_c;    // characters of local_bytes
  const char* ns_c;       // characters of ns_bytes
  int want_ns;            // 1 when a namespace was given
  // The capsule that owns `registry`, held so that the registry outlives
  // the cursor even if the document drops or replaces `_accel_registry`.
  PyObject* registry_capsule;
};

AccelCursor* as_cursor(PyObject* self) { return reinterpret_cast<AccelCursor*>(self); }

// Pre-order successor of `el`, never leaving the subtree under `top`.
void* cursor_successor(const AccelCursor* cursor, void* el) {
  if (void* child = Fns.element_first_child_any(el)) return child;
  for (void* p = el; p;) {
    if (p == cursor->top) return nullptr;
    if (void* sibling = Fns.element_next_sibling_any(p)) return sibling;
    p = Fns.element_parent(p);
  }
  return nullptr;
}

// A namespace given without a local name restricts the walk to the
// elements in that namespace; a local name alone matches elements in no
// namespace.
bool cursor_matches(const AccelCursor* cursor, void* el) {
  if (cursor->local_c) {
    const char* name = Fns.element_name(el);
    if (!name || std::strcmp(name, cursor->local_c) != 0) return false;
  } else if (!cursor->want_ns) {
    return true;
  }
  const char* ns = Fns.element_namespace(el);
  if (!cursor->want_ns) return ns == nullptr;
  return ns && std::strcmp(ns, cursor->ns_c) == 0;
}

// The registry capsule held by `document`, as a new reference, or null.
PyObject* registry_capsule_of(PyObject* document) {
  if (document == Py_None) return nullptr;
  PyObject* value = PyObject_GetAttrString(document, "_accel_registry");
  if (!value) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyCapsule_IsValid(value, kRegistryCapsuleName)) {
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

// Encodes a filter string; false with the encoder's error set.
bool encode_filter(PyObject* text, PyObject** bytes, const char** chars) {
  *bytes = PyUnicode_AsUTF8String(text);
  if (!*bytes) return false;
  *chars = PyBytes_AS_STRING(*bytes);
  return true;
}

}  // namespace

const size_t kCursorSize = sizeof(AccelCursor);

PyObject* accel_subtree_iter(PyObject*, PyObject* args) {
  PyObject* element_obj = nullptr;
  int include_self = 0;
  PyObject* ns = nullptr;
  PyObject* local = nullptr;
  if (!PyArg_ParseTuple(args, "O!pOO:subtree_iter", ElementType, &element_obj, &include_self, &ns,
                        &local)) {
    return nullptr;
  }
  if (!bound) return raise_not_bound();
  auto* element = reinterpret_cast<AccelElement*>(element_obj);
  if (!check_poisoned(element)) return nullptr;

  Ref obj(CursorType->tp_alloc(CursorType, 0));
  if (!obj) return nullptr;
  AccelCursor* cursor = as_cursor(obj.get());
  cursor->top = element->raw;
  // A wrapper with no element gives an empty walk; the engine is never
  // asked about a null handle.
  if (cursor->top) {
    cursor->current = include_self ? cursor->top : cursor_successor(cursor, cursor->top);
  }
  cursor->start = reinterpret_cast<AccelElement*>(Py_NewRef(element_obj));
  cursor->document = Py_NewRef(element->document ? element->document : Py_None);
  cursor->registry_capsule = registry_capsule_of(cursor->document);
  if (cursor->registry_capsule) {
    cursor->registry = static_cast<Registry*>(
        PyCapsule_GetPointer(cursor->registry_capsule, kRegistryCapsuleName));
  }
  cursor->want_ns = ns != Py_None ? 1 : 0;
  if (local != Py_None && !encode_filter(local, &cursor->local_bytes, &cursor->local_c)) {
    return nullptr;
  }
  if (cursor->want_ns && !encode_filter(ns, &cursor->ns_bytes, &cursor->ns_c)) return nullptr;
  return obj.release();
}

PyObject* cursor_self(PyObject* self) { return Py_NewRef(self); }

PyObject* cursor_next(PyObject* self) {
  AccelCursor* cursor = as_cursor(self);
  // A cursor made by calling the type directly has no start: it is empty.
  if (!cursor->start) return nullptr;
  if (!check_poisoned(cursor->start)) return nullptr;
  while (void* el = cursor->current) {
    cursor->current = cursor_successor(cursor, el);
    if (cursor_matches(cursor, el)) {
      return element_from_parts_reg(el, Py_None, cursor->document, cursor->registry);
    }
  }
  return nullptr;
}

void cursor_dealloc(PyObject* self) {
  AccelCursor* cursor = as_cursor(self);
  Py_CLEAR(cursor->start);
  Py_CLEAR(cursor->document);
  Py_CLEAR(cursor->local_bytes);
  Py_CLEAR(cursor->ns_bytes);
  Py_CLEAR(cursor->registry_capsule);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* cursor_repr(PyObject* self) {
  return PyUnicode_FromFormat("<korvith.SubtreeIterator object at %p>", self);
}

}  // namespace korvith
