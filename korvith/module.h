// Module functions of the document, query, plan and SAX units, and the
// SubtreeIterator slots, as the method table in _korvithaccel.cpp names them.
#pragma once

#include "common.h"

namespace korvith {

// Documents: parsing, lifecycle, serialisation.
PyObject* accel_parse(PyObject* self, PyObject* args);
PyObject* accel_parse_with_encoding(PyObject* self, PyObject* args);
PyObject* accel_parse_inplace(PyObject* self, PyObject* args);
PyObject* accel_parse_file(PyObject* self, PyObject* args);
PyObject* accel_close_document(PyObject* self, PyObject* args);
PyObject* accel_document_root(PyObject* self, PyObject* args);
PyObject* accel_iterparse_next(PyObject* self, PyObject* args);
PyObject* accel_serialize_elem(PyObject* self, PyObject* args);
PyObject* accel_serialize_elem_opts(PyObject* self, PyObject* args);
PyObject* accel_serialize_doc(PyObject* self, PyObject* args);
PyObject* accel_serialize_doc_opts(PyObject* self, PyObject* args);

// Queries: cursor, lookups, XPath and XQuery.
PyObject* accel_subtree_iter(PyObject* self, PyObject* args);
PyObject* accel_find_first(PyObject* self, PyObject* args);
PyObject* accel_find_path(PyObject* self, PyObject* args);
PyObject* accel_nodeset(PyObject* self, PyObject* args);
PyObject* accel_nodeset_ns(PyObject* self, PyObject* args);
PyObject* accel_nodeset_vars(PyObject* self, PyObject* args);
PyObject* accel_compiled_eval(PyObject* self, PyObject* args);
PyObject* accel_xquery_eval(PyObject* self, PyObject* args);

PyObject* cursor_self(PyObject* self);
PyObject* cursor_next(PyObject* self);
void cursor_dealloc(PyObject* self);
PyObject* cursor_repr(PyObject* self);
// Size of the SubtreeIterator instance record.
extern const size_t kCursorSize;

// Plans and SAX.
PyObject* accel_plan_shape_build(PyObject* self, PyObject* args);
PyObject* accel_plan_convert(PyObject* self, PyObject* args);
PyObject* accel_sax_drain(PyObject* self, PyObject* args);

}  // namespace korvith
