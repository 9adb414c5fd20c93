// Parsing entry points and the document lifecycle.
//
// Each parse function hands its input to one engine parse slot and answers
// (document address, registry capsule, status), or (None, None, status) when
// the engine produced no document: a failed parse is not an exception.
#include "../element/element.h"
#include "../module.h"

#include <cstdint>
#include <cstring>

namespace korvith {

namespace {

// The options record of `parse_string_ex` is korvith_parse_options
// (korvith/abi.h).
constexpr korvith_parse_options recover_options(int32_t flags, bool recover) {
  return korvith_parse_options{flags, -1, 0, recover ? 1 : 0};
}

// Turns the engine's answer into the parse result tuple. The new document
// reaches the caller only inside the tuple: when the capsule or the tuple
// cannot be made it is freed here rather than leaked.
// The pending exception is kept aside while the engine frees the document.
PyObject* drop_document(void* document) {
  PyObject* pending = PyErr_GetRaisedException();
  Fns.document_free(document);
  PyErr_SetRaisedException(pending);
  return nullptr;
}

PyObject* finish_parse(void* document, int status) {
  if (!document) return Py_BuildValue("(OOi)", Py_None, Py_None, status);
  Fns.document_root(document);
  Ref capsule(make_registry_capsule());
  if (!capsule) return drop_document(document);
  Ref address(PyLong_FromVoidPtr(document));
  Ref code(address ? PyLong_FromLong(status) : nullptr);
  PyObject* result = code ? PyTuple_New(3) : nullptr;
  if (!result) return drop_document(document);
  PyTuple_SET_ITEM(result, 0, address.release());
  PyTuple_SET_ITEM(result, 1, capsule.release());
  PyTuple_SET_ITEM(result, 2, code.release());
  return result;
}

// `parse` and `parse_with_encoding` differ only in the slot used without
// recovery.
// The slot is named by member, not read from `Fns` before the bound check.
PyObject* parse_bytes(PyObject* args, const char* format,
                      void* (*FnTable::*plain)(const char*, size_t, int*)) {
  const char* data = nullptr;
  Py_ssize_t length = 0;
  int recover = 0;
  if (!PyArg_ParseTuple(args, format, &data, &length, &recover)) return nullptr;
  if (!bound) return raise_not_bound();
  int status = 0;
  void* document = nullptr;
  if (recover) {
    const korvith_parse_options options = recover_options(0, true);
    document = Fns.parse_string_ex(data, static_cast<size_t>(length), &options, &status);
  } else {
    document = (Fns.*plain)(data, static_cast<size_t>(length), &status);
  }
  return finish_parse(document, status);
}

}  // namespace

PyObject* accel_parse(PyObject*, PyObject* args) {
  return parse_bytes(args, "y#p:parse", &FnTable::parse_string_fn);
}

PyObject* accel_parse_with_encoding(PyObject*, PyObject* args) {
  return parse_bytes(args, "y#p:parse_with_encoding", &FnTable::parse_with_encoding);
}

PyObject* accel_parse_inplace(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  Py_ssize_t length = 0;
  int recover = 0;
  int flags = 0;
  if (!PyArg_ParseTuple(args, "Knpi:parse_inplace", &address, &length, &recover, &flags)) {
    return nullptr;
  }
  if (!bound) return raise_not_bound();
  // A negative length would reach the engine as a huge size_t, and a null
  // buffer with a length as a read of address 0: refuse both.
  if (length < 0) {
    PyErr_SetString(PyExc_ValueError, "length must not be negative");
    return nullptr;
  }
  if (address == 0 && length > 0) {
    PyErr_SetString(PyExc_ValueError, "buffer address is null");
    return nullptr;
  }
  auto* buffer = reinterpret_cast<char*>(static_cast<uintptr_t>(address));
  int status = 0;
  void* document = nullptr;
  if (recover || flags != 0) {
    const korvith_parse_options options = recover_options(flags, recover != 0);
    document = Fns.parse_string_ex(buffer, static_cast<size_t>(length), &options, &status);
  } else {
    document = Fns.parse_string_inplace_fn(buffer, static_cast<size_t>(length), &status);
  }
  return finish_parse(document, status);
}

PyObject* accel_parse_file(PyObject*, PyObject* args) {
  const char* data = nullptr;
  Py_ssize_t length = 0;
  if (!PyArg_ParseTuple(args, "y#:parse_file", &data, &length)) return nullptr;
  if (!bound) return raise_not_bound();
  // A bytes-like path need not end in a NUL (a memoryview slice does not),
  // so the engine gets a terminated copy and never reads past the data. The
  // engine takes the path as a C string: it ends at the first NUL, as it
  // would in the caller's own buffer.
  MemBlock path(static_cast<size_t>(length) + 1);
  if (!path) return PyErr_NoMemory();
  std::memcpy(path.as<char>(), data, static_cast<size_t>(length));
  path.as<char>()[length] = '\0';
  int status = 0;
  void* document = Fns.parse_file(path.as<char>(), &status);
  return finish_parse(document, status);
}

PyObject* accel_close_document(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  if (!PyArg_ParseTuple(args, "K:close_document", &address)) return nullptr;
  if (bound) Fns.document_free(reinterpret_cast<void*>(static_cast<uintptr_t>(address)));
  Py_RETURN_NONE;
}

PyObject* accel_document_root(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "KO:document_root", &address, &document)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  void* root = Fns.document_root(reinterpret_cast<void*>(static_cast<uintptr_t>(address)));
  if (!root) Py_RETURN_NONE;
  return element_from_parts_reg(root, Py_None, document, registry_of(document));
}

PyObject* accel_iterparse_next(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* sentinel = nullptr;
  if (!PyArg_ParseTuple(args, "KO:iterparse_next", &address, &sentinel)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  void* element = Fns.iterparse_next(reinterpret_cast<void*>(static_cast<uintptr_t>(address)));
  if (!element) Py_RETURN_NONE;
  return element_from_parts_reg(element, Py_None, sentinel, nullptr);
}

}  // namespace korvith
