// korvith._korvithedit: the wrapper bookkeeping that tree editing needs and
// the accelerator module does not offer.
//
// Element wrappers cache their `tag` and `attrib`, and each wrapper is
// linked into the registry of the document that owns its node. After an
// edit the package calls in here to drop the caches of every live wrapper
// of an edited node, and, when nodes move to another document, to move
// their wrappers into that document's registry (and point them at it), so
// that closing either document poisons exactly the wrappers whose nodes it
// frees.
//
// The wrapper and registry layouts come from the accelerator's own header;
// this module calls into the engine only for the searches of find.cpp.
#include "../../element/element.h"
#include "find.h"

#include <atomic>
#include <unordered_set>
#include <vector>

namespace korvith {
namespace {

// Element type of the accelerator module, looked up at import.
PyTypeObject* element_type = nullptr;

Registry* registry_from(PyObject* capsule) {
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_SetString(PyExc_TypeError, "expected a registry capsule");
    return nullptr;
  }
  return static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
}

// Empties both caches of a wrapper. The old values go to `dropped` and are
// released by the caller after its walk: releasing runs no user code for a
// str or a dict of str, but nothing is released while the list is walked.
bool take_caches(AccelElement* el, std::vector<PyObject*>& dropped) {
  for (PyObject** slot : {&el->cached_tag, &el->cached_attrib}) {
    PyObject* old = std::atomic_ref<PyObject*>(*slot).exchange(nullptr);
    if (old) dropped.push_back(old);
  }
  return true;
}

void release_all(std::vector<PyObject*>& dropped) {
  for (PyObject* obj : dropped) Py_DECREF(obj);
  dropped.clear();
}

// The node addresses of a set of ints, for lookups that run no Python
// code while a registry is walked.
bool address_set(PyObject* addresses, std::unordered_set<void*>& out) {
  if (!PyAnySet_CheckExact(addresses)) {
    PyErr_SetString(PyExc_TypeError, "addresses must be a set of ints");
    return false;
  }
  Ref it(PyObject_GetIter(addresses));
  if (!it) return false;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref owned(item);
    if (!PyLong_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "addresses must be a set of ints");
      return false;
    }
    void* raw = PyLong_AsVoidPtr(item);
    if (PyErr_Occurred()) return false;
    out.insert(raw);
  }
  return !PyErr_Occurred();
}

// forget(registry, address): empties the `tag` and `attrib` caches of
// every wrapper of that node in the registry. A plain pointer comparison
// per live wrapper: the cost grows with the number of live wrappers of the
// document, not with its size.
PyObject* edit_forget(PyObject*, PyObject* args) {
  PyObject* capsule = nullptr;
  PyObject* address = nullptr;
  if (!PyArg_ParseTuple(args, "OO!:forget", &capsule, &PyLong_Type, &address)) return nullptr;
  Registry* registry = registry_from(capsule);
  if (!registry) return nullptr;
  void* raw = PyLong_AsVoidPtr(address);
  if (PyErr_Occurred()) return nullptr;
  std::vector<PyObject*> dropped;
  for (AccelElement* el = registry->first; el; el = el->next) {
    if (el->raw == raw && (el->cached_tag || el->cached_attrib)) take_caches(el, dropped);
  }
  release_all(dropped);
  Py_RETURN_NONE;
}

// adopt(source, target, document, addresses): moves every wrapper of the
// source registry whose node is in `addresses` to the end of the target
// registry and makes `document` its document; caches are emptied too.
// Returns the number of wrappers moved.
PyObject* edit_adopt(PyObject*, PyObject* args) {
  PyObject* source_capsule = nullptr;
  PyObject* target_capsule = nullptr;
  PyObject* document = nullptr;
  PyObject* addresses = nullptr;
  if (!PyArg_ParseTuple(args, "OOOO:adopt", &source_capsule, &target_capsule, &document,
                        &addresses)) {
    return nullptr;
  }
  Registry* source = registry_from(source_capsule);
  if (!source) return nullptr;
  Registry* target = registry_from(target_capsule);
  if (!target) return nullptr;
  std::unordered_set<void*> nodes;
  if (!address_set(addresses, nodes)) return nullptr;
  if (source == target) return PyLong_FromLong(0);
  std::vector<PyObject*> dropped;
  long moved = 0;
  AccelElement* el = source->first;
  while (el) {
    AccelElement* next = el->next;
    if (el->raw && el->raw != kPoison && nodes.count(el->raw) != 0) {
      registry_unlink(el);
      registry_link(el, target);
      take_caches(el, dropped);
      PyObject* old = el->document;
      el->document = Py_NewRef(document);
      if (old) dropped.push_back(old);
      ++moved;
    }
    el = next;
  }
  // The old documents are released last: the last reference to one can
  // close it, which walks its registry; no walk of ours is running then.
  release_all(dropped);
  return PyLong_FromLong(moved);
}

// wrappers(registry, address): the live wrappers of one node (for tests
// and for checking that every wrapper agrees).
PyObject* edit_wrappers(PyObject*, PyObject* args) {
  PyObject* capsule = nullptr;
  PyObject* address = nullptr;
  if (!PyArg_ParseTuple(args, "OO!:wrappers", &capsule, &PyLong_Type, &address)) return nullptr;
  Registry* registry = registry_from(capsule);
  if (!registry) return nullptr;
  void* raw = PyLong_AsVoidPtr(address);
  if (PyErr_Occurred()) return nullptr;
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  for (AccelElement* el = registry->first; el; el = el->next) {
    if (el->raw == raw && PyList_Append(out.get(), reinterpret_cast<PyObject*>(el)) < 0) {
      return nullptr;
    }
  }
  return out.release();
}

// registered_in(element, registry): whether the wrapper is linked into the registry
// held by `capsule`.
PyObject* edit_registered_in(PyObject*, PyObject* args) {
  PyObject* obj = nullptr;
  PyObject* capsule = nullptr;
  if (!PyArg_ParseTuple(args, "O!O:registered_in", element_type, &obj, &capsule)) return nullptr;
  Registry* registry = registry_from(capsule);
  if (!registry) return nullptr;
  return PyBool_FromLong(reinterpret_cast<AccelElement*>(obj)->registry == registry);
}

// ---- iteration that survives edits ------------------------------------
//
// Structural edits (anything that adds, moves or removes a node) bump one
// process-wide counter. A guarded iteration hands out what the module's
// cursor yields, one element ahead, for as long as the counter has not
// moved since the iteration began; once it has, the cursor (whose position
// is a bare engine pointer) is dropped and each next element comes from a
// Python callable given the element just handed out.

std::atomic<long long> edit_count{0};

struct Guard {
  PyObject_HEAD PyObject* cursor;  // module cursor (strong); null once abandoned or done
  PyObject* pending;               // next element to hand out (strong), or null
  PyObject* fallback;              // callable(element) -> next element or None (strong)
  long long seen;                  // edit count when the iteration began
  int started;
};

PyTypeObject* guard_type = nullptr;

// Next element from the cursor: a new reference, or null with no error at
// the end, or null with an error set.
PyObject* cursor_step(PyObject* cursor) {
  PyObject* next = Py_TYPE(cursor)->tp_iternext(cursor);
  if (!next && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
  return next;
}

PyObject* guard_next(PyObject* self) {
  auto* g = reinterpret_cast<Guard*>(self);
  if (!g->started) {
    g->started = 1;
    if (g->cursor) g->pending = cursor_step(g->cursor);
    if (!g->pending) {
      Py_CLEAR(g->cursor);
      return nullptr;
    }
  }
  PyObject* out = g->pending;
  if (!out) return nullptr;
  g->pending = nullptr;
  if (g->cursor && edit_count.load(std::memory_order_acquire) == g->seen) {
    g->pending = cursor_step(g->cursor);
  } else {
    Py_CLEAR(g->cursor);
    PyObject* next = PyObject_CallOneArg(g->fallback, out);
    if (next && next != Py_None) {
      g->pending = next;
    } else {
      Py_XDECREF(next);
    }
  }
  if (!g->pending) {
    Py_CLEAR(g->cursor);
    if (PyErr_Occurred()) {
      Py_DECREF(out);
      return nullptr;
    }
  }
  return out;
}

void guard_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<Guard*>(self);
  Py_CLEAR(g->cursor);
  Py_CLEAR(g->pending);
  Py_CLEAR(g->fallback);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* guard_self(PyObject* self) { return Py_NewRef(self); }

PyType_Slot guard_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(guard_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(guard_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_doc,
     const_cast<char*>("Iteration over a subtree that stays defined when trees change.")},
    {0, nullptr},
};

PyType_Spec guard_spec = {
    "korvith._korvithedit.GuardedIterator",
    static_cast<int>(sizeof(Guard)),
    0,
    Py_TPFLAGS_DEFAULT,
    guard_slots,
};

// guard(cursor, fallback, seen): the guarded iteration of a module cursor.
PyObject* edit_guard(PyObject*, PyObject* args) {
  PyObject* cursor = nullptr;
  PyObject* fallback = nullptr;
  long long seen = 0;
  if (!PyArg_ParseTuple(args, "OOL:guard", &cursor, &fallback, &seen)) return nullptr;
  if (!PyIter_Check(cursor)) {
    PyErr_SetString(PyExc_TypeError, "cursor must be an iterator");
    return nullptr;
  }
  if (!PyCallable_Check(fallback)) {
    PyErr_SetString(PyExc_TypeError, "fallback must be callable");
    return nullptr;
  }
  PyObject* obj = guard_type->tp_alloc(guard_type, 0);
  if (!obj) return nullptr;
  auto* g = reinterpret_cast<Guard*>(obj);
  g->cursor = Py_NewRef(cursor);
  g->fallback = Py_NewRef(fallback);
  g->seen = seen;
  return obj;
}

// bump(): counts one structural edit; returns the new count.
PyObject* edit_bump(PyObject*, PyObject*) {
  return PyLong_FromLongLong(edit_count.fetch_add(1, std::memory_order_acq_rel) + 1);
}

// count(): the number of structural edits so far.
PyObject* edit_count_now(PyObject*, PyObject*) {
  return PyLong_FromLongLong(edit_count.load(std::memory_order_acquire));
}

PyMethodDef edit_methods[] = {
    {"guard", edit_guard, METH_VARARGS,
     "guard(cursor, fallback, seen): iterate a cursor until the first edit, then fallback"},
    {"bump", edit_bump, METH_NOARGS, "bump(): count one structural edit"},
    {"count", edit_count_now, METH_NOARGS, "count(): structural edits so far"},
    {"forget", edit_forget, METH_VARARGS,
     "forget(registry, address): drop cached tag/attrib of that node's wrappers"},
    {"adopt", edit_adopt, METH_VARARGS,
     "adopt(source, target, document, addresses): move those nodes' wrappers"},
    {"wrappers", edit_wrappers, METH_VARARGS, "wrappers(registry, address): live wrappers"},
    {"registered_in", edit_registered_in, METH_VARARGS,
     "registered_in(element, registry): whether the wrapper is linked there"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef edit_module = {
    PyModuleDef_HEAD_INIT,
    "korvith._korvithedit",
    "Wrapper bookkeeping for tree editing.",
    -1,
    edit_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  Ref accel(PyImport_ImportModule("korvith._korvithaccel"));
  if (!accel) return nullptr;
  Ref type(PyObject_GetAttrString(accel.get(), "Element"));
  if (!type) return nullptr;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_ImportError, "korvith._korvithaccel.Element is not a type");
    return nullptr;
  }
  // The accelerator module is never unloaded; its type outlives this one.
  element_type = reinterpret_cast<PyTypeObject*>(type.get());
  Ref module(PyModule_Create(&edit_module));
  if (!module) return nullptr;
  guard_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&guard_spec));
  if (!guard_type) return nullptr;
  // The module keeps the type alive; the global is a borrowed pointer.
  if (PyModule_AddObjectRef(module.get(), "GuardedIterator",
                            reinterpret_cast<PyObject*>(guard_type)) < 0) {
    return nullptr;
  }
  Py_DECREF(guard_type);
  if (!add_find(module.get(), element_type)) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace korvith

PyMODINIT_FUNC PyInit__korvithedit(void) { return korvith::init_module(); }
