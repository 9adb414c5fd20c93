// Replaying an engine SAX recording into a Python handler.
//
// The engine stores each event as a fixed 40-byte record and every string
// in one byte arena. The drain reads both in place, decodes strings straight
// from the arena (UTF-8, "replace") and calls one handler method per record,
// looking each method up at most once per drain.
//
// Offsets and lengths come from the engine; every range a record uses is
// checked against the arena before anything is read from it, so a broken
// recording raises the engine error instead of reading foreign memory.
#include "sax.h"

#include "../engine/fns.h"
#include "../module.h"

#include <cstring>

namespace korvith {

namespace {

constexpr const char* kMethodNames[KORVITH_SAX_KIND_COUNT] = {
    "start_document",
    "end_document",
    "start_element",
    "end_element",
    "characters",
    "comment",
    "cdata",
    "processing_instruction",
    "start_prefix_mapping",
    "end_prefix_mapping",
    "error",
};

struct MethodCache {
  SaxMethods methods{};
  ~MethodCache() { sax_methods_clear(methods); }
};

struct Arena {
  const char* data;
  size_t size;
};

PyObject* sax_method(PyObject* handler, const char* name) {
  return PyObject_GetAttrString(handler, name);
}

// The cached handler attribute for `kind` (borrowed), looked up on first use.
PyObject* cached_method(SaxMethods& methods, PyObject* handler, int kind) {
  PyObject*& slot = methods.by_kind[kind];
  if (!slot) slot = sax_method(handler, kMethodNames[kind]);
  return slot;
}

int sax_dispatch_noarg(PyObject* callable) {
  if (callable == Py_None) return 0;
  Ref result(PyObject_CallNoArgs(callable));
  return result ? 0 : -1;
}

int sax_dispatch(PyObject* callable, PyObject* arg) {
  if (callable == Py_None) return 0;
  Ref result(PyObject_CallOneArg(callable, arg));
  return result ? 0 : -1;
}

// Calls whatever the attribute holds: None fails as any non-callable does.
int sax_call(PyObject* callable, PyObject* const* args, size_t count) {
  Ref result(PyObject_Vectorcall(callable, args, count, nullptr));
  return result ? 0 : -1;
}

int raise_outside(size_t index, const char* what, size_t offset, size_t length,
                  const Arena& arena) {
  PyErr_Format(KorvithErrorType ? KorvithErrorType : PyExc_RuntimeError,
               "SAX record %zu: %s (offset %zu, length %zu) lies outside the %zu-byte arena", index,
               what, offset, length, arena.size);
  return -1;
}

bool inside(const Arena& arena, uint32_t offset, uint32_t length) {
  return static_cast<uint64_t>(offset) + length <= arena.size;
}

PyObject* decode(const char* text, size_t len) {
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len), "replace");
}

// The record's name or text, after checking its range.
PyObject* arena_string(const Arena& arena, size_t index, const char* what, uint32_t offset,
                       uint32_t length) {
  if (!inside(arena, offset, length)) {
    raise_outside(index, what, offset, length, arena);
    return nullptr;
  }
  return decode(arena.data + offset, length);
}

// Decodes the NUL-terminated string at `pos` (never past the arena end)
// and moves `pos` one byte beyond its terminator.
PyObject* next_attr_string(const Arena& arena, size_t& pos) {
  size_t left = arena.size - pos;
  const char* start = arena.data + pos;
  const void* nul = left ? std::memchr(start, '\0', left) : nullptr;
  size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - start) : left;
  pos += len + 1;
  return decode(start, len);
}

// The attributes of a start-element record as a dict, later duplicates
// replacing earlier values.
PyObject* attribute_dict(const Arena& arena, size_t index, const korvith_sax_record& rec) {
  Ref attrs(PyDict_New());
  if (!attrs) return nullptr;
  size_t pos = rec.attrs_off;
  for (uint32_t a = 0; a < rec.attr_count; ++a) {
    // Each string must start inside the arena (an empty one may start at
    // its very end); its length is bounded by the arena's end.
    if (pos > arena.size) {
      raise_outside(index, "attribute name", pos, 0, arena);
      return nullptr;
    }
    Ref name(next_attr_string(arena, pos));
    if (!name) return nullptr;
    if (pos > arena.size) {
      raise_outside(index, "attribute value", pos, 0, arena);
      return nullptr;
    }
    Ref value(next_attr_string(arena, pos));
    if (!value) return nullptr;
    if (PyDict_SetItem(attrs.get(), name.get(), value.get()) < 0) return nullptr;
  }
  return attrs.release();
}

int deliver_start_element(SaxMethods& methods, PyObject* handler, const Arena& arena, size_t index,
                          const korvith_sax_record& rec) {
  // attrs_off is read only when there are attributes to read.
  if (rec.attr_count > 0 && rec.attrs_off > arena.size) {
    return raise_outside(index, "attributes", rec.attrs_off, 0, arena);
  }
  Ref attrs(attribute_dict(arena, index, rec));
  if (!attrs) return -1;
  Ref name(arena_string(arena, index, "name", rec.name_off, rec.name_len));
  if (!name) return -1;
  PyObject* method = cached_method(methods, handler, KORVITH_SAX_START_ELEMENT);
  if (!method) return -1;
  PyObject* args[] = {name.get(), attrs.get()};
  return sax_call(method, args, 2);
}

// Records with two strings: processing instructions (target, data) and
// prefix mappings (prefix, URI).
int deliver_name_text(SaxMethods& methods, PyObject* handler, const Arena& arena, size_t index,
                      const korvith_sax_record& rec) {
  Ref name(arena_string(arena, index, "name", rec.name_off, rec.name_len));
  if (!name) return -1;
  Ref text(arena_string(arena, index, "text", rec.text_off, rec.text_len));
  if (!text) return -1;
  PyObject* method = cached_method(methods, handler, rec.kind);
  if (!method) return -1;
  PyObject* args[] = {name.get(), text.get()};
  return sax_call(method, args, 2);
}

int deliver_error(SaxMethods& methods, PyObject* handler, const Arena& arena, size_t index,
                  const korvith_sax_record& rec) {
  Ref text(arena_string(arena, index, "text", rec.text_off, rec.text_len));
  if (!text) return -1;
  Ref line(PyLong_FromUnsignedLong(rec.line));
  if (!line) return -1;
  Ref column(PyLong_FromUnsignedLong(rec.column));
  if (!column) return -1;
  PyObject* method = cached_method(methods, handler, KORVITH_SAX_ERROR);
  if (!method) return -1;
  PyObject* args[] = {text.get(), line.get(), column.get()};
  return sax_call(method, args, 3);
}

// One-string records whose handler attribute may be None to skip them.
int deliver_one(SaxMethods& methods, PyObject* handler, const Arena& arena, size_t index,
                const korvith_sax_record& rec, bool from_name) {
  Ref arg(from_name ? arena_string(arena, index, "name", rec.name_off, rec.name_len)
                    : arena_string(arena, index, "text", rec.text_off, rec.text_len));
  if (!arg) return -1;
  PyObject* method = cached_method(methods, handler, rec.kind);
  if (!method) return -1;
  return sax_dispatch(method, arg.get());
}

int deliver(SaxMethods& methods, PyObject* handler, const Arena& arena, size_t index,
            const korvith_sax_record& rec) {
  switch (rec.kind) {
    case KORVITH_SAX_START_DOCUMENT:
    case KORVITH_SAX_END_DOCUMENT: {
      PyObject* method = cached_method(methods, handler, rec.kind);
      if (!method) return -1;
      return sax_dispatch_noarg(method);
    }
    case KORVITH_SAX_START_ELEMENT:
      return deliver_start_element(methods, handler, arena, index, rec);
    case KORVITH_SAX_END_ELEMENT:
    case KORVITH_SAX_END_PREFIX_MAPPING:
      return deliver_one(methods, handler, arena, index, rec, true);
    case KORVITH_SAX_CHARACTERS:
    case KORVITH_SAX_COMMENT:
    case KORVITH_SAX_CDATA: return deliver_one(methods, handler, arena, index, rec, false);
    case KORVITH_SAX_PROCESSING_INSTRUCTION:
    case KORVITH_SAX_START_PREFIX_MAPPING:
      return deliver_name_text(methods, handler, arena, index, rec);
    case KORVITH_SAX_ERROR: return deliver_error(methods, handler, arena, index, rec);
    default:
      // Kinds this module does not know are passed over, so a newer
      // engine's extra events do not stop the replay of the known ones.
      return 0;
  }
}

}  // namespace

void sax_methods_clear(SaxMethods& methods) {
  for (PyObject*& method : methods.by_kind) Py_CLEAR(method);
}

PyObject* accel_sax_drain(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* handler = nullptr;
  if (!PyArg_ParseTuple(args, "KO:sax_drain", &address, &handler)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  void* recorder = reinterpret_cast<void*>(static_cast<uintptr_t>(address));

  size_t count = 0;
  const auto* records = static_cast<const unsigned char*>(Fns.sax_records(recorder, &count));
  if (!records || count == 0) Py_RETURN_NONE;
  Arena arena{nullptr, 0};
  arena.data = Fns.sax_arena(recorder, &arena.size);
  if (!arena.data) Py_RETURN_NONE;

  MethodCache cache;
  for (size_t i = 0; i < count; ++i) {
    korvith_sax_record rec;
    // Copied out: the engine's array need not be aligned for the record.
    std::memcpy(&rec, records + i * sizeof(korvith_sax_record), sizeof rec);
    if (deliver(cache.methods, handler, arena, i, rec) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace korvith
