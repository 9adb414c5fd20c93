// Fast lookups that avoid XPath: the first child with a name, and the first
// element reached by a chain of child names. Only elements in no namespace
// match; names are compared as UTF-8 byte strings with the engine's.
#include "../element/element.h"
#include "../module.h"

#include <cstdint>
#include <cstring>

namespace korvith {

namespace {

void* handle(unsigned long long address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// True when `el` has local name `name` and no namespace. The namespace is
// asked for only after the name matched.
bool name_matches(void* el, const char* name) {
  const char* local = Fns.element_name(el);
  if (!local || std::strcmp(local, name) != 0) return false;
  return Fns.element_namespace(el) == nullptr;
}

// The first child of `parent`, from `el` onward, that matches `name`.
void* next_match(void* el, const char* name) {
  while (el && !name_matches(el, name)) el = Fns.element_next_sibling_any(el);
  return el;
}

// One entry per path step: its encoded name, and the element the search
// currently stands on at that level (the backtracking point).
struct PathStep {
  PyObject* bytes;
  const char* name;
  void* at;
};

// Depth-first search with backtracking over same-named siblings, kept
// iterative: the step array is the stack, so the depth costs no C stack.
void* walk_path(void* start, PathStep* steps, Py_ssize_t count) {
  Py_ssize_t level = 0;
  void* candidate = next_match(Fns.element_first_child_any(start), steps[0].name);
  for (;;) {
    if (!candidate) {
      if (level == 0) return nullptr;
      --level;
      candidate = next_match(Fns.element_next_sibling_any(steps[level].at), steps[level].name);
      continue;
    }
    if (level == count - 1) return candidate;
    steps[level].at = candidate;
    ++level;
    candidate = next_match(Fns.element_first_child_any(candidate), steps[level].name);
  }
}

// Owns the step array and the encodings made so far.
struct PathSteps {
  MemBlock block;
  Py_ssize_t encoded = 0;
  ~PathSteps() {
    for (Py_ssize_t i = 0; i < encoded; ++i) Py_DECREF(block.as<PathStep>()[i].bytes);
  }
};

}  // namespace

PyObject* accel_find_first(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* name = nullptr;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "KUO:find_first", &address, &name, &document)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  Ref encoded(PyUnicode_AsUTF8String(name));
  if (!encoded) return nullptr;
  void* found =
      next_match(Fns.element_first_child_any(handle(address)), PyBytes_AS_STRING(encoded.get()));
  if (!found) Py_RETURN_NONE;
  return element_from_parts_reg(found, Py_None, document, registry_of(document));
}

PyObject* accel_find_path(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* steps_arg = nullptr;
  PyObject* document = nullptr;
  if (!PyArg_ParseTuple(args, "KOO:find_path", &address, &steps_arg, &document)) return nullptr;
  if (!bound) Py_RETURN_NONE;
  Ref steps(PySequence_Fast(steps_arg, "steps must be a sequence"));
  if (!steps) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(steps.get());
  if (count == 0) Py_RETURN_NONE;
  if (static_cast<size_t>(count) > PY_SSIZE_T_MAX / sizeof(PathStep)) return PyErr_NoMemory();
  PathSteps path{MemBlock(static_cast<size_t>(count) * sizeof(PathStep))};
  if (!path.block) return PyErr_NoMemory();
  PathStep* entries = path.block.as<PathStep>();
  PyObject** items = PySequence_Fast_ITEMS(steps.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* bytes = PyUnicode_AsUTF8String(items[i]);
    if (!bytes) return nullptr;
    entries[i] = PathStep{bytes, PyBytes_AS_STRING(bytes), nullptr};
    path.encoded = i + 1;
  }
  void* found = walk_path(handle(address), entries, count);
  if (!found) Py_RETURN_NONE;
  return element_from_parts_reg(found, Py_None, document, registry_of(document));
}

}  // namespace korvith
