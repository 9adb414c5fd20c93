// The SAX recording exchanged with the engine, and the per-drain cache of
// handler methods.
#pragma once

#include "../common.h"
#include "korvith/abi.h"

#include <cstddef>
#include <cstdint>

namespace korvith {

// Records and their kinds (also the indices into SaxMethods):
// korvith_sax_record and KORVITH_SAX_* of korvith/abi.h.

// Handler attributes looked up during one drain: a strong reference per
// record kind once a record of that kind was met, null before.
struct SaxMethods {
  PyObject* by_kind[KORVITH_SAX_KIND_COUNT];
};

// Releases every reference held and resets the cache to empty.
void sax_methods_clear(SaxMethods& methods);

}  // namespace korvith
