// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* accel_find_first(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_find_path(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
