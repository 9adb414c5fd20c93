// The iterparse step of korvith._korvithedit (stream.cpp).
#pragma once

#include <Python.h>

namespace korvith {

// Adds the IterparseCursor type (the base of korvith.iterparse) to `module`;
// `accel` is korvith._korvithaccel. False with an exception set on failure.
bool add_stream_cursor(PyObject* module, PyObject* accel);

}  // namespace korvith
