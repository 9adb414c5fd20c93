// Per-document cache of decoded strings: attribute names, tags and short
// texts (attribute values, text runs).
//
// A document reuses a handful of names for thousands of elements, and the
// engine hands out the same pointer for each use of a name. Each registry
// therefore keeps the `str` it last decoded for a pointer, with its hash
// already computed, and gives it out again instead of decoding anew. Short
// texts repeat too (indentation, enumerated values) but each sits at its
// own address, so they are found by a hash of their bytes instead.
//
// A pointer or hash is only where to look: an edit can free a name and a
// later name can take its address. A slot is used only when its string's
// UTF-8 bytes equal the engine's bytes, so the cache can answer slower but
// never wrong. The tables are small and direct-mapped. A slot that keeps
// being used keeps its string: each hit raises its score (up to a small
// cap), each miss on it lowers the score, and only a slot at zero takes the
// new string. Rare texts therefore do not push the common ones out.
#pragma once

#include "../common.h"

#include <cstddef>

namespace korvith {

struct NameSlot {
  const char* key;   // engine pointer the string was read from (texts: null)
  const char* key2;  // tags: the namespace pointer (null: no namespace)
  PyObject* text;    // the decoded str (strong), or null for an empty slot
  const char* utf8;  // UTF-8 bytes of `text`, owned by `text`
  Py_ssize_t length;
  Py_ssize_t split;  // tags in a namespace: length of the URI in `utf8`
  int score;         // hits lately: a slot is replaced only once it is 0
};

enum NameKind { kAttributeNames = 0, kTags = 1, kTexts = 2, kNameKinds = 3 };

// Lives inside the zero-filled Registry: all null means empty and, in the
// free-threaded build, an unlocked mutex.
struct NameCache {
#ifdef Py_GIL_DISABLED
  PyMutex mutex;  // guards `tables` and every slot
#endif
  NameSlot* tables[kNameKinds];      // one per kind, allocated on its second miss
  unsigned char misses[kNameKinds];  // misses while the table was not there
};

// Texts longer than this many bytes are decoded without the cache.
inline constexpr size_t kShortText = 32;

// The attribute name `name` decoded strictly ("" for null): a new
// reference, or null with an exception set. `cache` may be null.
PyObject* cached_attribute_name(NameCache* cache, const char* name);

// The tag of an element: "{uri}name" decoded with U+FFFD for invalid bytes
// when `uri` is not null, else `name` decoded strictly ("" for null). A new
// reference, or null with an exception set. `cache` may be null.
PyObject* cached_tag(NameCache* cache, const char* uri, const char* name);

// `text` decoded strictly ("" for null), as str_or_empty gives it: a new
// reference, or null with an exception set. `cache` may be null.
PyObject* cached_text(NameCache* cache, const char* text);

// The tag decoded without the cache, as `cached_tag` gives it (names.cpp).
PyObject* decode_tag(const char* uri, const char* name);

// Releases every cached string and the tables; the cache is empty after.
void name_cache_clear(NameCache* cache);

}  // namespace korvith
