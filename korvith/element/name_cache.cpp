// Per-document cache of decoded strings: lookup, verification and storage.
#include "name_cache.h"

#include "element.h"

#include <cstdint>
#include <cstring>

namespace korvith {

namespace {

// Slots per table, as a power of two: texts vary most.
constexpr int kSlotBits[kNameKinds] = {6, 6, 7};

// The score a slot can reach: that many misses in a row evict it.
constexpr int kMaxScore = 3;

constexpr size_t slot_count(int kind) { return size_t{1} << kSlotBits[kind]; }

// Holds the cache's mutex in the free-threaded build; nothing otherwise
// (the interpreter lock already serialises every reader and writer, and no
// code run under it here can release that lock).
class CacheLock {
 public:
#ifdef Py_GIL_DISABLED
  explicit CacheLock(NameCache* cache) : cache_(cache) { PyMutex_Lock(&cache_->mutex); }
  ~CacheLock() { PyMutex_Unlock(&cache_->mutex); }

 private:
  NameCache* cache_;
#else
  explicit CacheLock(NameCache*) {}
#endif

 public:
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
};

size_t slot_of(uint64_t hash, int kind) {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> (64 - kSlotBits[kind]));
}

uint64_t pointer_hash(const char* key, const char* key2) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) ^
         (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key2)) << 1);
}

// A hash of a short text's bytes (at most kShortText of them): its length,
// its first, middle and last eight bytes, or every byte when it is shorter.
uint64_t text_hash(const char* s, size_t length) {
  uint64_t h = length;
  auto mix = [&h](uint64_t word) { h = (h ^ word) * 0xff51afd7ed558ccdULL; };
  if (length < 8) {
    for (size_t i = 0; i < length; ++i) mix(static_cast<unsigned char>(s[i]));
  } else {
    uint64_t word = 0;
    std::memcpy(&word, s, 8);
    mix(word);
    std::memcpy(&word, s + length / 2 - 4, 8);
    mix(word);
    std::memcpy(&word, s + length - 8, 8);
    mix(word);
  }
  return h ^ (h >> 31);
}

// The C string `s` is exactly the `n` bytes at `text` (which hold no NUL).
// Reads `s` no further than its terminator.
bool same_bytes(const char* s, const char* text, Py_ssize_t n) {
  return std::strncmp(s, text, static_cast<size_t>(n)) == 0 && s[n] == '\0';
}

// The slot's string spells exactly `name`, or "{uri}name" when `uri` is
// given (its URI is then the `split` bytes after the brace).
bool spells(const NameSlot& slot, const char* uri, const char* name) {
  if (!uri) return same_bytes(name, slot.utf8, slot.length);
  Py_ssize_t split = slot.split;
  return same_bytes(uri, slot.utf8 + 1, split) &&
         same_bytes(name, slot.utf8 + split + 2, slot.length - split - 2);
}

// Where the URI of "{uri}name" ends in a decoded tag, or -1 when the tag
// is not laid out that way (its bytes were replaced on decoding).
Py_ssize_t uri_split(const char* uri, const char* utf8, Py_ssize_t length) {
  auto split = static_cast<Py_ssize_t>(std::strlen(uri));
  if (length < split + 2 || utf8[0] != '{' || utf8[split + 1] != '}') return -1;
  return split;
}

// A new reference to the string in `kind`'s slot `index` when `matches`
// accepts the slot; null otherwise.
template <typename Match>
PyObject* find(NameCache* cache, int kind, size_t index, const Match& matches) {
  CacheLock lock(cache);
  NameSlot* table = cache->tables[kind];
  if (!table) return nullptr;
  NameSlot& slot = table[index];
  if (!slot.text || !matches(slot)) return nullptr;
  if (slot.score < kMaxScore) ++slot.score;
  return Py_NewRef(slot.text);
}

// Puts `fresh` (its string borrowed) into `kind`'s slot `index` after a
// miss there, unless the slot's string has hits to spend. A table that
// cannot be allocated leaves it uncached.
void store(NameCache* cache, int kind, size_t index, const NameSlot& fresh) {
  PyObject* old = nullptr;
  {
    CacheLock lock(cache);
    NameSlot*& table = cache->tables[kind];
    if (!table) {
      // A document read once (its root's tag, say) never pays for a table:
      // it comes with the second miss. Allocated under the lock, since
      // another thread may be filling the same cache.
      if (cache->misses[kind] < 1) {
        ++cache->misses[kind];
        return;
      }
      table = static_cast<NameSlot*>(PyMem_Calloc(slot_count(kind), sizeof(NameSlot)));
      if (!table) return;
    }
    NameSlot& slot = table[index];
    if (slot.text && slot.score > 0) {
      --slot.score;
      return;
    }
    old = slot.text;
    slot = fresh;
    slot.score = 0;
    Py_INCREF(slot.text);
  }
  Py_XDECREF(old);  // freeing a str runs no other code
}

// The UTF-8 form that a slot keeps, read once when the string is stored.
// False (no exception) when it cannot be had: the string is then not kept.
bool utf8_of(PyObject* text, NameSlot& slot) {
  slot.utf8 = PyUnicode_AsUTF8AndSize(text, &slot.length);
  if (slot.utf8) return true;
  PyErr_Clear();
  return false;
}

// Names go into dictionaries: their hash is computed now, once, and kept
// by the str, so no dictionary computes it again.
bool prepare_name(PyObject* text, NameSlot& slot) {
  if (PyObject_Hash(text) == -1) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(text, slot);
}

}  // namespace

PyObject* cached_attribute_name(NameCache* cache, const char* name) {
  if (!cache || !name) return str_or_empty(name);
  size_t index = slot_of(pointer_hash(name, nullptr), kAttributeNames);
  auto matches = [name](const NameSlot& slot) {
    return slot.key == name && spells(slot, nullptr, name);
  };
  if (PyObject* hit = find(cache, kAttributeNames, index, matches)) return hit;
  PyObject* text = str_or_empty(name);
  NameSlot fresh{name, nullptr, text, nullptr, 0, 0, 0};
  // A strict decoding gives back exactly the engine's bytes.
  if (text && prepare_name(text, fresh)) store(cache, kAttributeNames, index, fresh);
  return text;
}

PyObject* cached_tag(NameCache* cache, const char* uri, const char* name) {
  if (!name) name = "";
  if (!cache) return decode_tag(uri, name);
  size_t index = slot_of(pointer_hash(name, uri), kTags);
  auto matches = [uri, name](const NameSlot& slot) {
    return slot.key == name && slot.key2 == uri && spells(slot, uri, name);
  };
  if (PyObject* hit = find(cache, kTags, index, matches)) return hit;
  PyObject* text = decode_tag(uri, name);
  NameSlot fresh{name, uri, text, nullptr, 0, 0, 0};
  if (!text || !prepare_name(text, fresh)) return text;
  // A tag whose bytes were replaced on decoding does not spell them, and
  // is not kept.
  if (uri) fresh.split = uri_split(uri, fresh.utf8, fresh.length);
  if (fresh.split >= 0 && spells(fresh, uri, name)) store(cache, kTags, index, fresh);
  return text;
}

PyObject* cached_text(NameCache* cache, const char* s) {
  if (!cache || !s) return str_or_empty(s);
  size_t length = std::strlen(s);
  // Texts of one byte or none come from the interpreter's own singletons.
  if (length > kShortText || length < 2) {
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(length), "strict");
  }
  size_t index = slot_of(text_hash(s, length), kTexts);
  auto matches = [s, length](const NameSlot& slot) {
    return static_cast<size_t>(slot.length) == length && std::memcmp(slot.utf8, s, length) == 0;
  };
  if (PyObject* hit = find(cache, kTexts, index, matches)) return hit;
  PyObject* text = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(length), "strict");
  NameSlot fresh{nullptr, nullptr, text, nullptr, 0, 0, 0};
  if (text && utf8_of(text, fresh)) store(cache, kTexts, index, fresh);
  return text;
}

void name_cache_clear(NameCache* cache) {
  NameSlot* tables[kNameKinds] = {};
  {
    CacheLock lock(cache);
    for (int kind = 0; kind < kNameKinds; ++kind) {
      tables[kind] = cache->tables[kind];
      cache->tables[kind] = nullptr;
    }
  }
  // Released outside the lock; freeing a str runs no other code.
  for (int kind = 0; kind < kNameKinds; ++kind) {
    if (!tables[kind]) continue;
    for (size_t i = 0; i < slot_count(kind); ++i) Py_XDECREF(tables[kind][i].text);
    PyMem_Free(tables[kind]);
  }
}

}  // namespace korvith
