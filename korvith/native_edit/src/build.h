// One-call building and editing (build.cpp).
#pragma once

#include "../../common.h"

namespace korvith {

// Adds build_bind, sub_element, new_element, assign, set_attribute and
// append to the module.
bool add_build(PyObject* module);

}  // namespace korvith
