// Per-document cache of decoded names (attribute names and tags).
//
// A document reuses a handful of names for thousands of elements, and the
// engine hands out the same pointer for each use of a name. Each registry
// therefore keeps the `str` it last decoded for a pointer, with its hash
// already computed, and gives it out again instead of decoding anew.
//
// The pointer is only where to look: an edit can free a name and a later
// name can take its address. A slot is used only when its string's UTF-8
// bytes equal the engine's bytes, so the cache can answer slower but never
// wrong. The tables are small and direct-mapped; a collision just replaces
// the slot.
#pragma once

#include "../common.h"

#include <cstddef>

namespace korvith {

struct NameSlot {
  const char* key;   // engine name pointer the string was read from
  const char* key2;  // tags: the namespace pointer (null: no namespace)
  PyObject* text;    // the decoded str (strong), its hash computed; or null
  const char* utf8;  // UTF-8 bytes of `text`, owned by `text`
  Py_ssize_t length;
};

inline constexpr size_t kNameSlotsBits = 7;
inline constexpr size_t kNameSlots = size_t{1} << kNameSlotsBits;

struct NameTables {
  NameSlot attributes[kNameSlots];
  NameSlot tags[kNameSlots];
};

// Lives inside the zero-filled Registry: all null means empty and, in the
// free-threaded build, an unlocked mutex.
struct NameCache {
#ifdef Py_GIL_DISABLED
  PyMutex mutex;  // guards `tables` and every slot
#endif
  NameTables* tables;  // allocated on first use
};

// The attribute name `name` decoded strictly ("" for null): a new
// reference, or null with an exception set. `cache` may be null.
PyObject* cached_attribute_name(NameCache* cache, const char* name);

// The tag of an element: "{uri}name" decoded with U+FFFD for invalid bytes
// when `uri` is not null, else `name` decoded strictly ("" for null). A new
// reference, or null with an exception set. `cache` may be null.
PyObject* cached_tag(NameCache* cache, const char* uri, const char* name);

// The tag decoded without the cache, as `cached_tag` gives it (names.cpp).
PyObject* decode_tag(const char* uri, const char* name);

// Releases every cached string and the tables; the cache is empty after.
void name_cache_clear(NameCache* cache);

}  // namespace korvith
