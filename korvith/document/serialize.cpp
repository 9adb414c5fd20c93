// Serialisation of an element or a whole document to XML bytes. The engine
// formats, escapes and encodes; this unit only moves the bytes.
#include "../element/element.h"
#include "../module.h"

#include <cstdint>
#include <cstring>

namespace korvith {

namespace {

// The options record of the serialisation slots is korvith_serialize_options
// (korvith/abi.h).

constexpr const char* utf8 = "UTF-8";

void* handle(unsigned long long address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// Sizing call, then a filling call straight into the bytes object returned.
PyObject* serialize_element_into(void* element, const korvith_serialize_options* options) {
  if (!Fns.element_serialize_into) Py_RETURN_NONE;
  const size_t needed = Fns.element_serialize_into(element, nullptr, 0, nullptr, options);
  if (needed == 0) Py_RETURN_NONE;
  if (needed - 1 > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const auto length = static_cast<Py_ssize_t>(needed - 1);
  PyObject* out = PyBytes_FromStringAndSize(nullptr, length);
  if (!out) return nullptr;
  char* buffer = PyBytes_AS_STRING(out);
  // The object's storage is uninitialised; an engine that wrote less than it
  // announced must not hand stale memory to the caller, so the output is
  // cut at the first NUL.
  buffer[0] = '\0';
  buffer[length] = '\0';
  size_t written = 0;
  Fns.element_serialize_into(element, buffer, needed, &written, options);
  const size_t filled = strnlen(buffer, static_cast<size_t>(length));
  if (filled < static_cast<size_t>(length) &&
      _PyBytes_Resize(&out, static_cast<Py_ssize_t>(filled)) < 0) {
    return nullptr;
  }
  return out;
}

// Copies an owned engine string into bytes and releases it in every case.
PyObject* take_document_string(char* text) {
  PyObject* out = PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
  PyObject* pending = out ? nullptr : PyErr_GetRaisedException();
  Fns.free_string(text);
  if (pending) PyErr_SetRaisedException(pending);
  return out;
}

}  // namespace

PyObject* accel_serialize_elem(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  int indent = 0;
  int declaration = 0;
  if (!PyArg_ParseTuple(args, "Kii:serialize_elem", &address, &indent, &declaration)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  if (indent == 0 && declaration == 0) return serialize_element_into(handle(address), nullptr);
  const korvith_serialize_options options{indent, declaration, declaration ? utf8 : nullptr};
  return serialize_element_into(handle(address), &options);
}

PyObject* accel_serialize_elem_opts(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  int indent = 0;
  int declaration = 0;
  const char* encoding = nullptr;
  if (!PyArg_ParseTuple(args, "Kiiz:serialize_elem_opts", &address, &indent, &declaration,
                        &encoding)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  const korvith_serialize_options options{indent, declaration, encoding};
  return serialize_element_into(handle(address), &options);
}

PyObject* accel_serialize_doc(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  if (!PyArg_ParseTuple(args, "K:serialize_doc", &address)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  char* text = Fns.document_serialize(handle(address), nullptr);
  if (!text) return raise_engine_error("serialization failed");
  return take_document_string(text);
}

PyObject* accel_serialize_doc_opts(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  int indent = 0;
  int declaration = 0;
  const char* encoding = nullptr;
  if (!PyArg_ParseTuple(args, "Kiiz:serialize_doc_opts", &address, &indent, &declaration,
                        &encoding)) {
    return nullptr;
  }
  if (!bound) Py_RETURN_NONE;
  korvith_serialize_options options{indent, declaration, encoding};
  char* text = Fns.document_serialize(handle(address), &options);
  if (!text) Py_RETURN_NONE;
  return take_document_string(text);
}

}  // namespace korvith
