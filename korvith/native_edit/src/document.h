// The lifetime of an engine document (document.cpp): the C base of
// korvith.Document and the parse entry points that make one in one call.
#pragma once

#include "../../common.h"

namespace korvith {

// The storage of a korvith.Document. `address` is the engine document and
// becomes null, together with `closed`, the moment the document is closed:
// every checked call reads it in the document's critical section.
struct DocumentObject {
  PyObject_HEAD void* address;  // engine document; null once closed
  PyObject* registry;           // capsule listing the live wrappers (strong)
  PyObject* keepalive;          // what the engine document reads from (strong, may be null)
  PyObject* release;            // a caller's own release, or null for the engine's (strong)
  PyObject* filename;           // strong, None when parsed from memory
  PyObject* weakreflist;
  Py_ssize_t size;  // bytes parsed; -1: a file (size unknown); 0: not known
  int status;       // the engine's parse status
  int closed;       // 0 until released; set once, atomically
};

// The C base type of korvith.Document (set by add_document).
extern PyTypeObject* document_base_type;

// The engine address of a Document, or null once it is closed.
void* document_address(PyObject* document);

// Marks the document closed, poisons its wrappers and frees the engine
// document, exactly once whoever calls first. False with an exception set
// when a caller's own release failed.
bool document_release(PyObject* document);

// korvith.Document once the package bound it at import, else null.
PyTypeObject* bound_document_class();

// A new korvith.Document, with an empty registry, owning `address`: an
// engine document an edit has just made. The engine document is freed
// when the object cannot be made.
PyObject* document_for_new(void* address);

// A new wrapper of the element `raw` of `document` (a korvith.Document),
// linked into its registry. The caller keeps the document alive and
// unclosed meanwhile (its critical section, or nobody else has it).
PyObject* document_wrapper(PyObject* document, void* raw);

// Adds DocumentBase and the parse entry points to the module.
bool add_document(PyObject* module);

}  // namespace korvith
