// The SAX recording exchanged with the engine, and the per-drain cache of
// handler methods.
#pragma once

#include "../common.h"

#include <cstddef>
#include <cstdint>

namespace korvith {

// One recorded event, 40 bytes, records contiguous; integers in the
// machine's byte order. Offsets count from the start of the string arena.
struct AccelSaxRecord {
  uint8_t kind;
  uint8_t reserved[7];
  uint32_t name_off;
  uint32_t name_len;
  uint32_t text_off;
  uint32_t text_len;
  uint32_t attrs_off;   // first of attr_count (name NUL value NUL) pairs
  uint32_t attr_count;
  uint32_t line;        // error records only
  uint32_t column;      // error records only
};

static_assert(sizeof(AccelSaxRecord) == 40, "records have a 40-byte stride");
static_assert(offsetof(AccelSaxRecord, name_off) == 8);
static_assert(offsetof(AccelSaxRecord, attrs_off) == 24);
static_assert(offsetof(AccelSaxRecord, column) == 36);

// Record kinds, which are also the indices into SaxMethods.
enum SaxKind : uint8_t {
  kSaxStartDocument = 0,
  kSaxEndDocument,
  kSaxStartElement,
  kSaxEndElement,
  kSaxCharacters,
  kSaxComment,
  kSaxCdata,
  kSaxProcessingInstruction,
  kSaxStartPrefixMapping,
  kSaxEndPrefixMapping,
  kSaxError,
  kSaxKindCount
};

// Handler attributes looked up during one drain: a strong reference per
// record kind once a record of that kind was met, null before.
struct SaxMethods {
  PyObject* by_kind[kSaxKindCount];
};

// Releases every reference held and resets the cache to empty.
void sax_methods_clear(SaxMethods& methods);

}  // namespace korvith
