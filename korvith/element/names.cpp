// Name, namespace, prefix and source line of an element.
#include "cache.h"
#include "element.h"

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

// Clark notation "{uri}name" when the engine reports a namespace (even an
// empty one), else the bare name. A null name reads as "".
PyObject* build_tag(void* raw) {
  const char* uri = Fns.element_namespace(raw);
  const char* name = Fns.element_name(raw);
  if (!name) name = "";
  if (uri) return PyUnicode_FromFormat("{%s}%s", uri, name);
  return str_or_empty(name);
}

}  // namespace

PyObject* elem_get_tag(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  // The cache comes before the bound/handle test: a tag read once stays
  // readable even after the handle is cleared.
  if (PyObject* cached = cache_load(el->cached_tag)) return Py_NewRef(cached);
  if (!has_element(el)) Py_RETURN_NONE;
  PyObject* tag = build_tag(el->raw);
  if (!tag) return nullptr;
  return cache_store_first(el->cached_tag, tag);
}

PyObject* elem_get_namespace(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  return str_or_none(Fns.element_namespace(el->raw));
}

PyObject* elem_get_prefix(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  return str_or_none(Fns.element_prefix_fn(el->raw));
}

PyObject* elem_get_sourceline(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  void* node = Fns.element_as_node(el->raw);
  return PyLong_FromLong(Fns.node_line(node));
}

}  // namespace korvith
