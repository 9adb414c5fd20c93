// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* accel_serialize_elem(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_serialize_elem_opts(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_serialize_doc(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_serialize_doc_opts(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
