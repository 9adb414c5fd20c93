// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

Py_ssize_t elem_sq_length(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return -1; }
PyObject* elem_mp_subscript(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* elem_getparent(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* elem_getnext(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* elem_getprevious(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_children(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
