// Attribute access: the cached `attrib` dictionary, single lookups (plain
// and typed) and the document-order lists `keys`, `values`, `items`.
#include "cache.h"
#include "element.h"

#include <climits>
#include <cstring>

namespace korvith {

namespace {

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

enum class Want { kKeys = 0, kValues = 1, kItems = 2 };

// The one list that `keys`, `values` or `items` builds.
struct AttrSink {
  Want want;
  PyObject* keys;
  PyObject* vals;
  PyObject* pairs;
};

PyObject* sink_list(const AttrSink& sink) {
  switch (sink.want) {
    case Want::kKeys: return sink.keys;
    case Want::kValues: return sink.vals;
    case Want::kItems: return sink.pairs;
  }
  return nullptr;
}

// Walks the attributes in document order into the sink's list. Values are
// decoded only when they are wanted, so `keys` never fails on a bad value.
// The name cache is looked up at each use: a tuple's allocation can run
// code that moves `el` to another document.
bool attr_walk(AccelElement* el, AttrSink& sink) {
  PyObject* list = sink_list(sink);
  void* raw = el->raw;
  for (void* attr = Fns.element_first_attribute(raw); attr; attr = Fns.attribute_next(attr)) {
    const char* name_s = Fns.attribute_get_name(attr);
    const char* value_s = Fns.attribute_get_value(raw, attr);
    Ref name(cached_attribute_name(names_of(el), name_s));
    if (!name) return false;
    if (sink.want == Want::kKeys) {
      if (PyList_Append(list, name.get()) < 0) return false;
      continue;
    }
    Ref value(cached_text(names_of(el), value_s));
    if (!value) return false;
    Ref item = sink.want == Want::kValues ? Ref::borrow(value.get())
                                          : Ref(PyTuple_Pack(2, name.get(), value.get()));
    if (!item || PyList_Append(list, item.get()) < 0) return false;
  }
  return true;
}

PyObject* attr_list_method(PyObject* self, Want want) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  Ref list(PyList_New(0));
  if (!list || !has_element(el)) return list.release();
  AttrSink sink{want, nullptr, nullptr, nullptr};
  switch (want) {
    case Want::kKeys: sink.keys = list.get(); break;
    case Want::kValues: sink.vals = list.get(); break;
    case Want::kItems: sink.pairs = list.get(); break;
  }
  if (!attr_walk(el, sink)) return nullptr;
  return list.release();
}

// An empty ReadOnlyDict. While the type keeps dict's own constructor and
// initialiser, calling the type would only run those two with no
// arguments, so the constructor is called directly; a type given another
// __new__ or __init__ is called as usual.
PyObject* new_readonly_dict() {
  PyTypeObject* type = ReadOnlyDictType;
  if (type->tp_new != PyDict_Type.tp_new || type->tp_init != PyDict_Type.tp_init) {
    return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type));
  }
  // The empty tuple is a shared immortal object: fetched once.
  static PyObject* const no_args = PyTuple_New(0);
  if (!no_args) return PyErr_NoMemory();
  return type->tp_new(type, no_args, nullptr);
}

PyObject* build_attrib(AccelElement* el) {
  Ref dict(new_readonly_dict());
  if (!dict) return nullptr;
  void* raw = el->raw;
  for (void* attr = Fns.element_first_attribute(raw); attr; attr = Fns.attribute_next(attr)) {
    const char* name_s = Fns.attribute_get_name(attr);
    const char* value_s = Fns.attribute_get_value(raw, attr);
    Ref name(cached_attribute_name(names_of(el), name_s));
    if (!name) return nullptr;
    Ref value(cached_text(names_of(el), value_s));
    if (!value) return nullptr;
    // PyDict_SetItem goes around the refusing subscript slot; an equal
    // name later on replaces the value and keeps the first one's place.
    if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

// "{uri}local" goes to the namespaced lookup. `encoded` starts with '{'.
// Returns false (no exception) when there is no closing brace.
bool lookup_braced(void* raw, const char* encoded, Py_ssize_t length, const char** value) {
  const char* close = static_cast<const char*>(std::memchr(encoded + 1, '}', length - 1));
  if (!close) return false;
  // The URI needs its own terminator: copy and cut at the brace.
  MemBlock copy(static_cast<size_t>(length) + 1);
  if (!copy) {
    PyErr_NoMemory();
    return false;
  }
  char* buf = copy.as<char>();
  std::memcpy(buf, encoded, static_cast<size_t>(length) + 1);
  Py_ssize_t brace = close - encoded;
  buf[brace] = '\0';
  *value = Fns.element_attribute_ns(raw, buf + 1, buf + brace + 1);
  return true;
}

// A name holding a NUL byte would reach the engine cut at that byte and
// find another attribute; no attribute can carry such a name, so lookups
// with it answer their default.
bool holds_nul(PyObject* encoded) {
  return std::memchr(PyBytes_AS_STRING(encoded), '\0',
                     static_cast<size_t>(PyBytes_GET_SIZE(encoded))) != nullptr;
}

// Encodes a typed getter's name, refusing the braced form.
PyObject* encode_plain_name(PyObject* name) {
  Ref encoded(PyUnicode_AsUTF8String(name));
  if (!encoded) return nullptr;
  if (PyBytes_AS_STRING(encoded.get())[0] == '{') {
    PyErr_SetString(PyExc_ValueError, "typed attribute getters take a plain name");
    return nullptr;
  }
  return encoded.release();
}

}  // namespace

PyObject* elem_get_attrib(PyObject* self, void*) {
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  if (PyObject* cached = cache_load(el->cached_attrib)) return Py_NewRef(cached);
  PyObject* dict = build_attrib(el);
  if (!dict) return nullptr;
  return cache_store_first(el->cached_attrib, dict);
}

PyObject* elem_get(PyObject* self, PyObject* args) {
  PyObject* name = nullptr;
  PyObject* dflt = Py_None;
  if (!PyArg_ParseTuple(args, "U|O:get", &name, &dflt)) return nullptr;
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) Py_RETURN_NONE;
  Ref encoded(PyUnicode_AsUTF8String(name));
  if (!encoded) return nullptr;
  if (holds_nul(encoded.get())) return Py_NewRef(dflt);
  const char* text = PyBytes_AS_STRING(encoded.get());
  const char* value = nullptr;
  if (text[0] == '{' && Fns.element_attribute_ns) {
    if (!lookup_braced(el->raw, text, PyBytes_GET_SIZE(encoded.get()), &value)) {
      if (PyErr_Occurred()) return nullptr;
      return Py_NewRef(dflt);
    }
  } else {
    value = Fns.element_attribute(el->raw, text);
  }
  if (!value) return Py_NewRef(dflt);
  return str_or_empty(value);
}

// The engine's integer getter is 32-bit. A default that does not fit would
// come back truncated, so for such defaults the engine is asked twice with
// two different in-range defaults: equal answers are the attribute's own
// value, different answers mean "use the default", which is then returned
// whole.
PyObject* elem_get_int(PyObject* self, PyObject* args) {
  PyObject* name = nullptr;
  long dflt = 0;
  if (!PyArg_ParseTuple(args, "U|l:get_int", &name, &dflt)) return nullptr;
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) return PyLong_FromLong(dflt);
  Ref encoded(encode_plain_name(name));
  if (!encoded) return nullptr;
  if (holds_nul(encoded.get())) return PyLong_FromLong(dflt);
  const char* text = PyBytes_AS_STRING(encoded.get());
  if (dflt >= INT_MIN && dflt <= INT_MAX) {
    return PyLong_FromLong(Fns.element_attribute_int(el->raw, text, static_cast<int>(dflt)));
  }
  int probe0 = Fns.element_attribute_int(el->raw, text, 0);
  int probe1 = Fns.element_attribute_int(el->raw, text, 1);
  if (probe0 != probe1) return PyLong_FromLong(dflt);
  return PyLong_FromLong(probe0);
}

PyObject* elem_get_float(PyObject* self, PyObject* args) {
  PyObject* name = nullptr;
  double dflt = 0.0;
  if (!PyArg_ParseTuple(args, "U|d:get_float", &name, &dflt)) return nullptr;
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) return PyFloat_FromDouble(dflt);
  Ref encoded(encode_plain_name(name));
  if (!encoded) return nullptr;
  if (holds_nul(encoded.get())) return PyFloat_FromDouble(dflt);
  return PyFloat_FromDouble(
      Fns.element_attribute_double(el->raw, PyBytes_AS_STRING(encoded.get()), dflt));
}

PyObject* elem_get_bool(PyObject* self, PyObject* args) {
  PyObject* name = nullptr;
  int dflt = 0;
  if (!PyArg_ParseTuple(args, "U|p:get_bool", &name, &dflt)) return nullptr;
  AccelElement* el = as_element(self);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) return PyBool_FromLong(dflt);
  Ref encoded(encode_plain_name(name));
  if (!encoded) return nullptr;
  if (holds_nul(encoded.get())) return PyBool_FromLong(dflt);
  return PyBool_FromLong(
      Fns.element_attribute_bool(el->raw, PyBytes_AS_STRING(encoded.get()), dflt ? 1 : 0));
}

PyObject* elem_keys(PyObject* self, PyObject*) { return attr_list_method(self, Want::kKeys); }
PyObject* elem_values(PyObject* self, PyObject*) { return attr_list_method(self, Want::kValues); }
PyObject* elem_items(PyObject* self, PyObject*) { return attr_list_method(self, Want::kItems); }

int rodict_ass_subscript(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "'attrib' is read-only");
  return -1;
}

int rodict_sq_ass_item(PyObject*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "'attrib' is read-only");
  return -1;
}

}  // namespace korvith
