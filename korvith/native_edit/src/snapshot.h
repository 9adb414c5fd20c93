// XPath node-sets with every node, converted in one call (snapshot.cpp).
#pragma once

#include "../../common.h"

namespace korvith {

// Adds snapshot_bind and snapshot_nodes to the module; `element` is the
// accelerator's Element type.
bool add_snapshot(PyObject* module, PyTypeObject* element);

}  // namespace korvith
