// Name, namespace, prefix and source line of an element.
#include "cache.h"
#include "element.h"

#include <cstring>

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

// "{uri}name", decoded with U+FFFD for invalid bytes in either part. This is
// what PyUnicode_FromFormat("{%s}%s") gives, at a fraction of its cost: the
// parts are joined as bytes and decoded once, and since the braces are ASCII
// no invalid sequence can reach across them, so each part is replaced
// exactly as if it had been decoded on its own.
PyObject* clark_name(const char* uri, const char* name) {
  size_t uri_len = std::strlen(uri);
  size_t name_len = std::strlen(name);
  if (uri_len > static_cast<size_t>(PY_SSIZE_T_MAX) - 2 - name_len) return PyErr_NoMemory();
  size_t total = uri_len + name_len + 2;
  char small[256];
  MemBlock large;
  char* buf = small;
  if (total > sizeof(small)) {
    if (!large.resize(total)) return PyErr_NoMemory();
    buf = large.as<char>();
  }
  buf[0] = '{';
  std::memcpy(buf + 1, uri, uri_len);
  buf[uri_len + 1] = '}';
  std::memcpy(buf + uri_len + 2, name, name_len);
  return PyUnicode_DecodeUTF8(buf, static_cast<Py_ssize_t>(total), "replace");
}

}  // namespace

// Clark notation when the engine reports a namespace (even an empty one),
// else the bare name, decoded strictly. A null name reads as "".
PyObject* decode_tag(const char* uri, const char* name) {
  if (!name) name = "";
  if (uri) return clark_name(uri, name);
  return str_or_empty(name);
}

PyObject* elem_get_tag(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  // The cache comes before the bound/handle test: a tag read once stays
  // readable even after the handle is cleared.
  if (PyObject* cached = cache_load(el->cached_tag)) return Py_NewRef(cached);
  if (!has_element(el)) Py_RETURN_NONE;
  const char* uri = Fns.element_namespace(el->raw);
  const char* name = Fns.element_name(el->raw);
  PyObject* tag = cached_tag(names_of(el), uri, name);
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
