// Per-wrapper caches (`tag`, `attrib`) filled at most once.
//
// Two threads can read a fresh wrapper's cached member at the same time;
// both build an equal object, and only the first one stored is kept. The
// loser releases its own object and returns the winner's, so the cache
// never changes once set and a reference handed out earlier stays valid.
#pragma once

#include "../common.h"

#include <atomic>

namespace korvith {

// The cached object (borrowed), or null while the cache is empty.
inline PyObject* cache_load(PyObject*& slot) {
  return std::atomic_ref<PyObject*>(slot).load(std::memory_order_acquire);
}

// Stores `fresh` (an owned reference) unless the cache was filled in the
// meantime. Returns a new reference to whichever object the cache holds.
inline PyObject* cache_store_first(PyObject*& slot, PyObject* fresh) {
  PyObject* expected = nullptr;
  Py_INCREF(fresh);  // the cache's reference, taken before it is published
  if (std::atomic_ref<PyObject*>(slot).compare_exchange_strong(
          expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
    return fresh;  // the caller keeps the reference it passed in
  }
  Py_DECREF(fresh);  // the cache's reference, never published
  Py_DECREF(fresh);  // the caller's reference
  return Py_NewRef(expected);
}

}  // namespace korvith
