// Placeholder: not built yet.
#include "../element/element.h"
#include "../module.h"

namespace korvith {

PyObject* accel_subtree_iter(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* cursor_self(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
PyObject* cursor_next(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
void cursor_dealloc(PyObject* self) { PyTypeObject* tp = Py_TYPE(self); tp->tp_free(self); Py_DECREF(tp); }
PyObject* cursor_repr(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "not built yet"); return nullptr; }
const size_t kCursorSize = sizeof(PyObject) + 8 * sizeof(void*);

}  // namespace korvith
