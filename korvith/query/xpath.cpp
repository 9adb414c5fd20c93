// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* accel_nodeset(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_nodeset_ns(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_nodeset_vars(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_compiled_eval(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* accel_xquery_eval(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
