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
// this module never calls into the engine.
#include "../../element/element.h"

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

void link_last(AccelElement* el, Registry* registry) {
  el->registry = registry;
  el->prev = registry->last;
  el->next = nullptr;
  if (registry->last) {
    registry->last->next = el;
  } else {
    registry->first = el;
  }
  registry->last = el;
}

void unlink_from_registry(AccelElement* el) {
  Registry* registry = el->registry;
  if (el->prev) {
    el->prev->next = el->next;
  } else {
    registry->first = el->next;
  }
  if (el->next) {
    el->next->prev = el->prev;
  } else {
    registry->last = el->prev;
  }
  el->prev = nullptr;
  el->next = nullptr;
  el->registry = nullptr;
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
      unlink_from_registry(el);
      link_last(el, target);
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

PyMethodDef edit_methods[] = {
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
  return PyModule_Create(&edit_module);
}

}  // namespace
}  // namespace korvith

PyMODINIT_FUNC PyInit__korvithedit(void) { return korvith::init_module(); }
