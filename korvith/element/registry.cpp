// Element wrappers, the per-document registry of live wrappers, poisoning,
// batch creation, and the string helpers every accessor shares.
#include "element.h"

#include <cstring>
#include <utility>

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

// Poisons every wrapper still linked and empties the registry.
//
// Each wrapper leaves the list before its handle object is released, and
// the walk always restarts from the head: releasing `ptr` can run any
// Python code (a finaliser, or the last reference to another wrapper of
// this registry, which then unlinks itself), so no pointer into the list
// may be held across it. Wrappers such code creates for the same registry
// are appended and poisoned too.
void registry_poison_all(Registry* registry) {
  while (AccelElement* el = registry->first) {
    registry->first = el->next;
    if (el->next) {
      el->next->prev = nullptr;
    } else {
      registry->last = nullptr;
    }
    el->raw = kPoison;
    el->next = nullptr;
    el->registry = nullptr;
    el->prev = nullptr;
    PyObject* old = std::exchange(el->ptr, Py_NewRef(Py_None));
    Py_XDECREF(old);
  }
}

// A registry can die while wrappers are still linked to it (its document
// dropped or replaced `_accel_registry`, or a capsule from new_registry()
// was released early). Those wrappers would then point into freed memory
// when they unlink themselves, so they are poisoned here: their document's
// lifetime tracking is gone, and poisoning is the one state in which a
// wrapper never reaches the engine again.
void registry_capsule_free(PyObject* capsule) {
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (!registry) {
    PyErr_Clear();
    return;
  }
  registry_poison_all(registry);
  name_cache_clear(&registry->names);
  PyMem_Free(registry);
}

}  // namespace

PyObject* str_or_none(const char* s) {
  if (!s) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "strict");
}

PyObject* str_or_empty(const char* s) {
  if (!s) return PyUnicode_FromString("");
  return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(std::strlen(s)), "strict");
}

Registry* registry_of(PyObject* document) {
  if (!document || document == Py_None) return nullptr;
  Ref value(PyObject_GetAttrString(document, "_accel_registry"));
  Registry* registry = nullptr;
  // A capsule that only this lookup holds (a getter that makes a new one
  // on every read) dies with `value` below, taking its Registry with it;
  // linking a wrapper into that would write into freed memory, so it
  // counts as no registry.
  if (value && PyCapsule_CheckExact(value.get()) && Py_REFCNT(value.get()) > 1) {
    registry = static_cast<Registry*>(PyCapsule_GetPointer(value.get(), kRegistryCapsuleName));
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return nullptr;
  }
  return registry;
}

PyObject* make_registry_capsule() {
  auto* registry = static_cast<Registry*>(PyMem_Calloc(1, sizeof(Registry)));
  if (!registry) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(registry, kRegistryCapsuleName, registry_capsule_free);
  if (!capsule) PyMem_Free(registry);
  return capsule;
}

PyObject* element_from_parts_reg(void* raw, PyObject* ptr, PyObject* document, Registry* registry) {
  PyObject* obj = ElementType->tp_alloc(ElementType, 0);
  if (!obj) return nullptr;
  AccelElement* el = as_element(obj);
  el->raw = raw;
  el->ptr = Py_NewRef(ptr);
  el->document = Py_NewRef(document);
  if (registry) registry_link(el, registry);
  return obj;
}

void element_dealloc(PyObject* self) {
  AccelElement* el = as_element(self);
  if (el->registry) registry_unlink(el);
  Py_CLEAR(el->ptr);
  Py_CLEAR(el->document);
  Py_CLEAR(el->cached_tag);
  Py_CLEAR(el->cached_attrib);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* accel_create(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* ptr = nullptr;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "KOO:create", &address, &ptr, &document)) return nullptr;
  return element_from_parts_reg(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), ptr,
                                document, registry_of(document));
}

PyObject* accel_new_registry(PyObject*, PyObject*) { return make_registry_capsule(); }

PyObject* accel_invalidate(PyObject*, PyObject* capsule) {
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_SetString(PyExc_TypeError, "expected a registry capsule");
    return nullptr;
  }
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (!registry) return nullptr;
  registry_poison_all(registry);
  // The document is gone: its names are not needed any more.
  name_cache_clear(&registry->names);
  Py_RETURN_NONE;
}

PyObject* accel_materialize(PyObject*, PyObject* args) {
  PyObject* ptrs_arg = nullptr;
  PyObject* document = nullptr;
  PyObject* addresses_arg = nullptr;
  if (!PyArg_ParseTuple(args, "OOO:materialize", &ptrs_arg, &document, &addresses_arg)) {
    return nullptr;
  }
  Ref ptrs(PySequence_Fast(ptrs_arg, "ptrs must be a sequence"));
  if (!ptrs) return nullptr;
  Ref addresses(PySequence_Fast(addresses_arg, "addresses must be a sequence"));
  if (!addresses) return nullptr;
  // The registry lookup below reads an attribute of `document`, which can
  // run Python code; were that code to change a list given here, borrowed
  // items and the item array itself could be freed under the loop. Lists
  // given by the caller are therefore read through a tuple copy that
  // nothing else can change (a list made from another iterable is ours).
  if (ptrs.get() == ptrs_arg && PyList_Check(ptrs_arg)) {
    ptrs = Ref(PyList_AsTuple(ptrs.get()));
    if (!ptrs) return nullptr;
  }
  if (addresses.get() == addresses_arg && PyList_Check(addresses_arg)) {
    addresses = Ref(PyList_AsTuple(addresses.get()));
    if (!addresses) return nullptr;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(ptrs.get());
  if (PySequence_Fast_GET_SIZE(addresses.get()) < n) {
    PyErr_SetString(PyExc_ValueError, "addresses shorter than ptrs");
    return nullptr;
  }
  // An address int outside the 64-bit range raises its OverflowError
  // instead of silently becoming a wrapper on a wrong (possibly poisoned)
  // pointer; the wrappers made so far go away with the list.
  PyObject** ptr_items = PySequence_Fast_ITEMS(ptrs.get());
  PyObject** address_items = PySequence_Fast_ITEMS(addresses.get());
  Ref result(PyList_New(n));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    void* raw = nullptr;
    if (PyLong_Check(address_items[i]) && !address_from_int(address_items[i], &raw)) {
      return nullptr;
    }
    PyObject* el = element_from_parts_reg(raw, ptr_items[i], document, registry_of(document));
    if (!el) return nullptr;
    PyList_SET_ITEM(result.get(), i, el);
  }
  return result.release();
}

PyObject* elem_get_ptr(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  return Py_NewRef(el->ptr ? el->ptr : Py_None);
}

int elem_set_ptr(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_element(self)->ptr, Py_XNewRef(value));
  return 0;
}

PyObject* elem_get_raw(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!el->raw) Py_RETURN_NONE;
  return PyLong_FromVoidPtr(el->raw);
}

int elem_set_raw(PyObject* self, PyObject* value, void*) {
  AccelElement* el = as_element(self);
  if (!value || value == Py_None) {
    el->raw = nullptr;
    return 0;
  }
  if (!PyLong_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "_raw must be an address int");
    return -1;
  }
  void* raw = nullptr;
  if (!address_from_int(value, &raw)) return -1;
  el->raw = raw;
  return 0;
}

PyObject* elem_get_document(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  return Py_NewRef(el->document ? el->document : Py_None);
}

int elem_set_document(PyObject* self, PyObject* value, void*) {
  Py_XSETREF(as_element(self)->document, Py_XNewRef(value));
  return 0;
}

}  // namespace korvith
