// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* accel_plan_shape_build(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }

}  // namespace korvith
