// Typed extraction in one native call: see extract.cpp.
#pragma once

#include "../../common.h"

namespace korvith::direct {

// bind(table_address, error_class, closed_message, plan_type)
PyObject* plan_bind(PyObject* self, PyObject* args);
// prepare(engine_plan, plans, callback_type) -> plan capsule
PyObject* plan_prepare(PyObject* self, PyObject* args);
// extract(element, plan) -> dict (plan: a korvith.Plan); the package's korvith.extract
PyObject* plan_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// convert(root_value_address, plan_capsule) -> dict
PyObject* plan_convert(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace korvith::direct
