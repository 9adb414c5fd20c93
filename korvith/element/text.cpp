// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* elem_get_text(PyObject*, void*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
int elem_set_text(PyObject*, PyObject*, void*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return -1; }
PyObject* elem_get_tail(PyObject*, void*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* elem_itertext(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
