// Searches by tag (find.cpp), added to korvith._korvithedit at import.
#pragma once

#include "../../common.h"

namespace korvith {

// Adds the search functions and types to the module; `element` is the
// accelerator's Element type. False with an exception set on failure.
bool add_find(PyObject* module, PyTypeObject* element);

}  // namespace korvith
