// The wrapper bookkeeping of korvithedit.cpp that other units of the
// module use directly (the one-call edits of build.cpp).
#pragma once

#include "../../element/element.h"

#include <unordered_set>
#include <vector>

namespace korvith {

// The registry a capsule holds; null with a TypeError when it is not one.
Registry* registry_from(PyObject* capsule);

// Releases the references collected in `dropped` and empties it.
void release_all(std::vector<PyObject*>& dropped);

// Counts one structural edit: guarded iterations leave their cursor.
void count_structural_edit();

// After an edit of the tag or attributes of `raw`: no wrapper of it in the
// registry held by `capsule` hands out its old caches. False with an
// error set when `capsule` holds no registry.
bool forget_node(PyObject* capsule, void* raw);

// Moves every wrapper of `source` whose node is in `nodes` to the end of
// `target` and makes `document` its document, emptying its caches. The
// references it drops go to `dropped`, for the caller to release once no
// registry walk is running. Returns the number of wrappers moved.
long adopt_wrappers(Registry* source, Registry* target, PyObject* document,
                    const std::unordered_set<void*>& nodes, std::vector<PyObject*>& dropped);

}  // namespace korvith
