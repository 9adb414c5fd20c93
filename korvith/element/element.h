// The Element wrapper, the per-document registry of live wrappers, and the
// helpers every accessor shares (guard, string decoding, wrapper creation).
#pragma once

#include "../engine/fns.h"
#include "name_cache.h"

namespace korvith {

struct Registry;

struct AccelElement {
  PyObject_HEAD void* raw;  // engine element; null: no element; kPoison: poisoned
  PyObject* ptr;            // package handle object (strong, may be null)
  PyObject* document;       // owning document (strong, may be null)
  Registry* registry;       // registry linked into (not owning), or null
  AccelElement* prev;       // neighbours in that registry (not owning)
  AccelElement* next;
  PyObject* cached_tag;     // tag cache (strong, may be null)
  PyObject* cached_attrib;  // attrib cache (strong, may be null)
};

// Head of the doubly linked list of a document's live wrappers, in order of
// creation, and the document's cache of decoded names. Owned by its
// registry capsule, never by the wrappers.
struct Registry {
  AccelElement* first;
  AccelElement* last;
  NameCache names;
};

// The name cache of the wrapper's registry, or null when it has none.
inline NameCache* names_of(const AccelElement* el) {
  return el->registry ? &el->registry->names : nullptr;
}

inline constexpr const char* kRegistryCapsuleName = "korvith.registry";

// Links a wrapper at the tail of `registry`.
inline void registry_link(AccelElement* el, Registry* registry) {
  el->registry = registry;
  el->prev = registry->last;
  el->next = nullptr;
  if (registry->last) {
    registry->last->next = el;
  } else {
    registry->first = el;
  }
  registry->last = el;
}

// A new wrapper of the engine element `raw` of `document`, linked into
// `registry` when there is one. Element is not a GC type: allocating one
// runs no Python code.
inline PyObject* new_linked_wrapper(PyTypeObject* type, void* raw, PyObject* document,
                                    Registry* registry) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* el = reinterpret_cast<AccelElement*>(obj);
  el->raw = raw;
  el->ptr = Py_NewRef(Py_None);
  el->document = Py_NewRef(document);
  if (registry) registry_link(el, registry);
  return obj;
}

// Takes a linked wrapper out of its registry.
inline void registry_unlink(AccelElement* el) {
  Registry* registry = el->registry;
  if (el->prev) {
    el->prev->next = el->next;
  } else {
    registry->first = el->next;
  }
  if (el->next) {
    el->next->prev = el->prev;
  } else {
    registry->last = el->prev;
  }
  el->prev = nullptr;
  el->next = nullptr;
  el->registry = nullptr;
}

extern PyTypeObject* ElementType;
extern PyTypeObject* ReadOnlyDictType;
extern PyTypeObject* CursorType;

inline bool is_poisoned(const AccelElement* el) { return el->raw == kPoison; }

// Raises the closed-document error for a poisoned wrapper; true when the
// wrapper may go on.
inline bool check_poisoned(const AccelElement* el) {
  if (is_poisoned(el)) {
    raise_closed_document();
    return false;
  }
  return true;
}

// The accessor guard after the poison check: true when the engine may be
// asked about this wrapper's element.
inline bool has_element(const AccelElement* el) { return bound && el->raw != nullptr; }

inline bool is_element(PyObject* obj) { return PyObject_TypeCheck(obj, ElementType); }

// New Element of the base type; links it at the tail of `registry` when
// given. `ptr` and `document` are borrowed (pass Py_None, never null).
PyObject* element_from_parts_reg(void* raw, PyObject* ptr, PyObject* document, Registry* registry);
// The registry held by `document._accel_registry`, or null. Never fails.
Registry* registry_of(PyObject* document);
// A new registry capsule holding an empty Registry.
PyObject* make_registry_capsule();

// Decodes an engine string strictly as UTF-8; null gives None.
PyObject* str_or_none(const char* s);
// Decodes an engine string strictly as UTF-8; null gives "".
PyObject* str_or_empty(const char* s);

void element_dealloc(PyObject* self);

// Getsets and methods of Element, one group per unit.
PyObject* elem_get_ptr(PyObject* self, void*);
int elem_set_ptr(PyObject* self, PyObject* value, void*);
PyObject* elem_get_raw(PyObject* self, void*);
int elem_set_raw(PyObject* self, PyObject* value, void*);
PyObject* elem_get_document(PyObject* self, void*);
int elem_set_document(PyObject* self, PyObject* value, void*);

PyObject* elem_get_tag(PyObject* self, void*);
PyObject* elem_get_namespace(PyObject* self, void*);
PyObject* elem_get_prefix(PyObject* self, void*);
PyObject* elem_get_sourceline(PyObject* self, void*);

PyObject* elem_get_text(PyObject* self, void*);
int elem_set_text(PyObject* self, PyObject* value, void*);
PyObject* elem_get_tail(PyObject* self, void*);
PyObject* elem_itertext(PyObject* self, PyObject*);

PyObject* elem_get_attrib(PyObject* self, void*);
PyObject* elem_get(PyObject* self, PyObject* args);
PyObject* elem_get_int(PyObject* self, PyObject* args);
PyObject* elem_get_float(PyObject* self, PyObject* args);
PyObject* elem_get_bool(PyObject* self, PyObject* args);
PyObject* elem_keys(PyObject* self, PyObject*);
PyObject* elem_values(PyObject* self, PyObject*);
PyObject* elem_items(PyObject* self, PyObject*);
int rodict_ass_subscript(PyObject* self, PyObject* key, PyObject* value);
int rodict_sq_ass_item(PyObject* self, Py_ssize_t index, PyObject* value);

Py_ssize_t elem_sq_length(PyObject* self);
PyObject* elem_mp_subscript(PyObject* self, PyObject* key);
PyObject* elem_getparent(PyObject* self, PyObject*);
PyObject* elem_getnext(PyObject* self, PyObject*);
PyObject* elem_getprevious(PyObject* self, PyObject*);

// Module functions of the element units.
PyObject* accel_create(PyObject* self, PyObject* args);
PyObject* accel_new_registry(PyObject* self, PyObject*);
PyObject* accel_invalidate(PyObject* self, PyObject* capsule);
PyObject* accel_materialize(PyObject* self, PyObject* args);
PyObject* accel_children(PyObject* self, PyObject* element);
PyObject* accel_attribute_pairs(PyObject* self, PyObject* args);

}  // namespace korvith
