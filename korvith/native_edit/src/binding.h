// Engine entries that the package hands to this module at import, as
// addresses (the module calls them without ctypes).
#pragma once

#include "../../common.h"

namespace korvith {

// Reads an engine entry's address into `out`; false with an error set when
// it is not an int or is 0.
template <typename Fn>
bool take_address(PyObject* value, Fn* out) {
  void* address = PyLong_AsVoidPtr(value);
  if (!address) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "engine addresses must not be 0");
    return false;
  }
  *out = reinterpret_cast<Fn>(address);
  return true;
}

}  // namespace korvith
