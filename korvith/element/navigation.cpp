// Child and sibling navigation: length, subscription, parent and siblings,
// and the `children` list.
#include "element.h"

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

PyObject* raise_index_error() {
  PyErr_SetString(PyExc_IndexError, "child index out of range");
  return nullptr;
}

// A new wrapper for a relative of `el`: same document, same registry.
PyObject* wrap_relative(AccelElement* el, void* handle) {
  if (!handle) Py_RETURN_NONE;
  return element_from_parts_reg(handle, Py_None, el->document ? el->document : Py_None,
                                el->registry);
}

PyObject* navigate(PyObject* self, void* (*step)(void*)) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  return wrap_relative(el, step(el->raw));
}

// The child at a position, negative positions counting from the end. The
// arithmetic stays in unsigned sizes, so no engine count can overflow it.
PyObject* child_at_index(AccelElement* el, Py_ssize_t index) {
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) {
    PyErr_SetString(PyExc_TypeError, "indexing unavailable");
    return nullptr;
  }
  size_t count = Fns.element_child_count(el->raw);
  size_t position = 0;
  if (index < 0) {
    size_t back = static_cast<size_t>(-(index + 1)) + 1;  // |index| without overflow
    if (back > count) return raise_index_error();
    position = count - back;
  } else {
    position = static_cast<size_t>(index);
    if (position >= count) return raise_index_error();
  }
  void* child = Fns.element_child(el->raw, position);
  if (!child) return raise_index_error();
  return wrap_relative(el, child);
}

PyObject* elem_slice(AccelElement* el, PyObject* slice) {
  if (!check_poisoned(el)) return nullptr;
  size_t count = Fns.element_child_count(el->raw);
  // A count past the largest size is clipped; no list can be longer anyway.
  Py_ssize_t length =
      count > static_cast<size_t>(PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(count);
  Py_ssize_t start = 0, stop = 0, step = 0;
  if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return nullptr;
  Py_ssize_t n = PySlice_AdjustIndices(length, &start, &stop, step);
  Ref list(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    void* child = Fns.element_child(el->raw, static_cast<size_t>(start + i * step));
    PyObject* wrapper =
        element_from_parts_reg(child, Py_None, el->document ? el->document : Py_None, el->registry);
    if (!wrapper) return nullptr;
    PyList_SET_ITEM(list.get(), i, wrapper);
  }
  return list.release();
}

// Keys the module does not serve itself go to the type's `_py_getitem`.
PyObject* subscript_fallback(PyObject* self, PyObject* key) {
  Ref hook(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_py_getitem"));
  if (!hook) return nullptr;
  PyObject* call_args[] = {self, key};
  return PyObject_Vectorcall(hook.get(), call_args, 2, nullptr);
}

}  // namespace

Py_ssize_t elem_sq_length(PyObject* self) {
  AccelElement* el = as_element(self);
  if (!bound) return 0;
  if (!check_poisoned(el)) return -1;
  if (!el->raw) return 0;
  size_t count = Fns.element_child_count(el->raw);
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "engine child count does not fit a length");
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

PyObject* elem_mp_subscript(PyObject* self, PyObject* key) {
  AccelElement* el = as_element(self);
  bool engine_path = has_element(el);
  if (engine_path && PyLong_Check(key)) {
    Py_ssize_t index = PyLong_AsSsize_t(key);
    if (index == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
      PyErr_Clear();
      return subscript_fallback(self, key);
    }
    return child_at_index(el, index);
  }
  if (engine_path && PySlice_Check(key)) return elem_slice(el, key);
  return subscript_fallback(self, key);
}

PyObject* elem_getparent(PyObject* self, PyObject*) { return navigate(self, Fns.element_parent); }

PyObject* elem_getnext(PyObject* self, PyObject*) {
  return navigate(self, Fns.element_next_sibling_any);
}

PyObject* elem_getprevious(PyObject* self, PyObject*) {
  return navigate(self, Fns.element_previous_sibling_any_fn);
}

// Fills a list made at the engine's child count in one walk of the sibling
// chain. Should the chain end early, the list is cut to the children found:
// no unfilled position ever reaches the caller.
PyObject* accel_children(PyObject*, PyObject* element) {
  if (!is_element(element)) {
    PyErr_SetString(PyExc_TypeError, "expected an Element");
    return nullptr;
  }
  AccelElement* el = as_element(element);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) return PyList_New(0);
  size_t count = Fns.element_child_count(el->raw);
  if (count > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  Py_ssize_t n = static_cast<Py_ssize_t>(count);
  Ref list(PyList_New(n));
  if (!list) return nullptr;
  PyObject* document = el->document ? el->document : Py_None;
  Registry* registry = registry_of(document);
  Py_ssize_t filled = 0;
  for (void* child = n ? Fns.element_first_child_any(el->raw) : nullptr; child && filled < n;
       child = filled < n ? Fns.element_next_sibling_any(child) : nullptr) {
    PyObject* wrapper = element_from_parts_reg(child, Py_None, document, registry);
    if (!wrapper) return nullptr;
    PyList_SET_ITEM(list.get(), filled++, wrapper);
  }
  if (filled < n) return PyList_GetSlice(list.get(), 0, filled);
  return list.release();
}

}  // namespace korvith
