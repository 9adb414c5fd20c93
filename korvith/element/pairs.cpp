// All attributes of an element in one call: (name, value) pairs through
// the engine's pair arrays, or (name, value, prefix, uri) quadruples
// through its four-buffer snapshot.
#include "element.h"

#include <cstring>

namespace korvith {

namespace {

constexpr size_t kAllOnes = ~static_cast<size_t>(0);
constexpr int kMaxRetries = 3;

AccelElement* as_element(PyObject* self) { return reinterpret_cast<AccelElement*>(self); }

PyObject* raise_snapshot_failed() { return raise_engine_error("attribute snapshot failed"); }

// A function these pairs need is missing from the bound table.
PyObject* raise_missing(const char* slot) {
  PyErr_Format(PyExc_NotImplementedError, "attribute_pairs: the engine has no %s", slot);
  return nullptr;
}

PyObject* pairs_plain(void* raw, size_t n) {
  if (!Fns.element_attribute_pairs) return raise_missing("element_attribute_pairs");
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(char*)) return PyErr_NoMemory();
  MemBlock names(n * sizeof(char*));
  MemBlock values(n * sizeof(char*));
  if (!names || !values) return PyErr_NoMemory();
  size_t k = Fns.element_attribute_pairs(raw, names.as<const char*>(), values.as<const char*>(),
                                         nullptr, n);
  // Never read past the arrays, whatever count the engine reports.
  if (k > n) k = n;
  Ref list(PyList_New(static_cast<Py_ssize_t>(k)));
  if (!list) return nullptr;
  for (size_t i = 0; i < k; ++i) {
    Ref name(str_or_empty(names.as<const char*>()[i]));
    if (!name) return nullptr;
    Ref value(str_or_empty(values.as<const char*>()[i]));
    if (!value) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), value.get());
    if (!pair) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

// The four buffers and four offset arrays of one snapshot.
struct Snapshot {
  MemBlock buffers[4];  // names, values, prefixes, URIs
  MemBlock offsets[4];
  size_t capacity = 0;  // usable bytes of each buffer, as given to the engine
};

// Capacity and allocation size for an engine sizing answer: 0 and
// all-ones give capacity 0 and 1-byte buffers.
size_t capacity_for(size_t sized) { return sized == 0 || sized == kAllOnes ? 0 : sized; }

size_t sizing_call(void* raw) {
  return Fns.element_attributes_snapshot(raw, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr, 0,
                                         nullptr, nullptr, 0, nullptr);
}

size_t fill_call(void* raw, Snapshot& s) {
  return Fns.element_attributes_snapshot(
      raw, s.buffers[0].as<char>(), s.capacity, s.offsets[0].as<size_t>(), s.buffers[1].as<char>(),
      s.capacity, s.offsets[1].as<size_t>(), s.buffers[2].as<char>(), s.capacity,
      s.offsets[2].as<size_t>(), s.buffers[3].as<char>(), s.capacity, s.offsets[3].as<size_t>());
}

// Decodes the string of attribute i in buffer b. An offset outside the
// buffer, or a string without its NUL inside the buffer, is a broken
// snapshot rather than something to read past.
PyObject* snapshot_string(const Snapshot& s, int b, size_t i, bool optional) {
  size_t offset = s.offsets[b].as<size_t>()[i];
  if (optional && offset == kAllOnes) Py_RETURN_NONE;
  if (offset >= s.capacity) return raise_snapshot_failed();
  const char* start = s.buffers[b].as<char>() + offset;
  const void* nul = std::memchr(start, '\0', s.capacity - offset);
  if (!nul) return raise_snapshot_failed();
  return PyUnicode_DecodeUTF8(start, static_cast<const char*>(nul) - start, "strict");
}

PyObject* pairs_namespaced(void* raw, size_t n) {
  if (!Fns.element_attributes_snapshot) return raise_missing("element_attributes_snapshot");
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(size_t) - 1) return PyErr_NoMemory();
  Snapshot s;
  s.capacity = capacity_for(sizing_call(raw));
  for (int b = 0; b < 4; ++b) {
    // Growing an empty block allocates it.
    if (!s.buffers[b].resize(s.capacity) || !s.offsets[b].resize((n + 1) * sizeof(size_t))) {
      return PyErr_NoMemory();
    }
  }
  for (int retries = 0;; ++retries) {
    size_t result = fill_call(raw, s);
    if (result == 0) break;
    if (result != kAllOnes || retries == kMaxRetries) return raise_snapshot_failed();
    s.capacity = capacity_for(sizing_call(raw));
    for (auto& buffer : s.buffers) {
      if (!buffer.resize(s.capacity)) return PyErr_NoMemory();
    }
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    Ref name(snapshot_string(s, 0, i, false));
    if (!name) return nullptr;
    Ref value(snapshot_string(s, 1, i, false));
    if (!value) return nullptr;
    Ref prefix(snapshot_string(s, 2, i, true));
    if (!prefix) return nullptr;
    Ref uri(snapshot_string(s, 3, i, true));
    if (!uri) return nullptr;
    PyObject* quad = PyTuple_Pack(4, name.get(), value.get(), prefix.get(), uri.get());
    if (!quad) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), quad);
  }
  return list.release();
}

}  // namespace

PyObject* accel_attribute_pairs(PyObject*, PyObject* args) {
  PyObject* element = nullptr;
  int ns = 0;
  if (!PyArg_ParseTuple(args, "Op:attribute_pairs", &element, &ns)) return nullptr;
  if (!is_element(element)) {
    PyErr_SetString(PyExc_TypeError, "expected an Element");
    return nullptr;
  }
  AccelElement* el = as_element(element);
  if (!check_poisoned(el)) return nullptr;
  if (!has_element(el)) return PyList_New(0);
  if (!Fns.attribute_count) return raise_missing("attribute_count");
  size_t n = Fns.attribute_count(el->raw);
  if (n == 0) return PyList_New(0);
  return ns ? pairs_namespaced(el->raw, n) : pairs_plain(el->raw, n);
}

}  // namespace korvith
