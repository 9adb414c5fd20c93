// Per-document cache of decoded names: lookup, verification and storage.
#include "name_cache.h"

#include "element.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace korvith {

namespace {

// Holds the cache's mutex in the free-threaded build; nothing otherwise
// (the interpreter lock already serialises every reader and writer, and no
// code under it can release that lock).
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

size_t slot_index(const char* key, const char* key2) {
  auto mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) ^
               (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key2)) << 1);
  return static_cast<size_t>((mixed * 0x9E3779B97F4A7C15ULL) >> (64 - kNameSlotsBits));
}

// `text` starts with the bytes of the C string `s`: gives their number, or
// -1 when `s` is not a prefix of `text`.
Py_ssize_t match_prefix(const char* text, Py_ssize_t length, const char* s) {
  size_t n = std::strlen(s);
  if (n > static_cast<size_t>(length) || std::memcmp(text, s, n) != 0) return -1;
  return static_cast<Py_ssize_t>(n);
}

// The slot's string spells exactly `name`.
bool spells_name(const NameSlot& slot, const char* name) {
  return match_prefix(slot.utf8, slot.length, name) == slot.length;
}

// The slot's string spells exactly "{uri}name".
bool spells_clark(const NameSlot& slot, const char* uri, const char* name) {
  if (slot.length < 2 || slot.utf8[0] != '{') return false;
  Py_ssize_t uri_len = match_prefix(slot.utf8 + 1, slot.length - 1, uri);
  if (uri_len < 0 || 1 + uri_len >= slot.length || slot.utf8[1 + uri_len] != '}') return false;
  Py_ssize_t rest = slot.length - uri_len - 2;
  return match_prefix(slot.utf8 + uri_len + 2, rest, name) == rest;
}

bool spells(const NameSlot& slot, const char* uri, const char* name, bool tag) {
  if (tag && uri) return spells_clark(slot, uri, name);
  return spells_name(slot, name);
}

// A new reference to the slot's string when the slot holds these keys and
// spells these bytes; null otherwise.
PyObject* find(NameCache* cache, bool tag, const char* uri, const char* name) {
  CacheLock lock(cache);
  if (!cache->tables) return nullptr;
  const char* key2 = tag ? uri : nullptr;
  NameSlot& slot = (tag ? cache->tables->tags : cache->tables->attributes)[slot_index(name, key2)];
  if (!slot.text || slot.key != name || slot.key2 != key2) return nullptr;
  if (!spells(slot, uri, name, tag)) return nullptr;
  return Py_NewRef(slot.text);
}

// Keeps `text` (borrowed) for these keys when its UTF-8 form spells the
// engine's bytes exactly (a tag whose bytes were replaced on decoding never
// does, and is not kept). Failures to prepare it only mean it is not kept.
void keep(NameCache* cache, bool tag, const char* uri, const char* name, PyObject* text) {
  // The hash is computed now, once, and kept by the str; dictionaries then
  // never compute it again.
  if (PyObject_Hash(text) == -1) {
    PyErr_Clear();
    return;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
  if (!utf8) {
    PyErr_Clear();
    return;
  }
  const char* key2 = tag ? uri : nullptr;
  NameSlot fresh{name, key2, text, utf8, length};
  if (!spells(fresh, uri, name, tag)) return;
  PyObject* old = nullptr;
  {
    CacheLock lock(cache);
    if (!cache->tables) {
      // Calloc under the lock: another thread may be filling the same
      // cache. A failed allocation just leaves the cache off.
      cache->tables = static_cast<NameTables*>(PyMem_Calloc(1, sizeof(NameTables)));
      if (!cache->tables) return;
    }
    NameSlot& slot =
        (tag ? cache->tables->tags : cache->tables->attributes)[slot_index(name, key2)];
    old = slot.text;
    slot = NameSlot{name, key2, Py_NewRef(text), utf8, length};
  }
  Py_XDECREF(old);
}

}  // namespace

PyObject* cached_attribute_name(NameCache* cache, const char* name) {
  if (!cache || !name) return str_or_empty(name);
  if (PyObject* hit = find(cache, false, nullptr, name)) return hit;
  PyObject* text = str_or_empty(name);
  if (text) keep(cache, false, nullptr, name, text);
  return text;
}

PyObject* cached_tag(NameCache* cache, const char* uri, const char* name) {
  if (!name) name = "";
  if (!cache) return decode_tag(uri, name);
  if (PyObject* hit = find(cache, true, uri, name)) return hit;
  PyObject* text = decode_tag(uri, name);
  if (text) keep(cache, true, uri, name, text);
  return text;
}

void name_cache_clear(NameCache* cache) {
  NameTables* tables = nullptr;
  {
    CacheLock lock(cache);
    tables = std::exchange(cache->tables, nullptr);
  }
  if (!tables) return;
  // Released outside the lock; freeing a str runs no other code.
  for (NameSlot& slot : tables->attributes) Py_XDECREF(slot.text);
  for (NameSlot& slot : tables->tags) Py_XDECREF(slot.text);
  PyMem_Free(tables);
}

}  // namespace korvith
