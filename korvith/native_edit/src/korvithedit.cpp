// korvith._korvithedit: the wrapper bookkeeping that tree editing needs and
// the accelerator module does not offer.
//
// Element wrappers cache their `tag` and `attrib`, and each wrapper is
// linked into the registry of the document that owns its node. After an
// edit the package calls in here so that no wrapper of an edited node
// returns a stale cache (see `forget` below), and, when nodes move to
// another document, to move
// their wrappers into that document's registry (and point them at it), so
// that closing either document poisons exactly the wrappers whose nodes it
// frees.
//
// The wrapper and registry layouts come from the accelerator's own header;
// the engine calls of this module live in their own units: checked calls
// (checked.cpp), typed extraction through the engine's plan table
// (extract.cpp), the iterparse cursor (stream.cpp) and the searches by tag
// (find.cpp).
#include "../../element/element.h"
#include "bookkeeping.h"
#include "build.h"
#include "document.h"
#include "extract.h"
#include "find.h"
#include "snapshot.h"
#include "stream.h"

#include <algorithm>
#include <atomic>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvith {

// The checked calls (checked.cpp).
int add_checked_calls(PyObject* module);

namespace {

// Element type of the accelerator module, looked up at import.
PyTypeObject* element_type = nullptr;

}  // namespace

Registry* registry_from(PyObject* capsule) {
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_SetString(PyExc_TypeError, "expected a registry capsule");
    return nullptr;
  }
  return static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
}

void release_all(std::vector<PyObject*>& dropped) {
  for (PyObject* obj : dropped) Py_DECREF(obj);
  dropped.clear();
}

namespace {

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

// ---- attribute and tag edits without a walk per edit --------------------
//
// An attribute or tag edit must empty the `tag`/`attrib` caches of every
// wrapper of the edited node, and a node's wrappers can be anywhere in its
// document's registry. Walking the registry on every edit made a loop
// that sets one attribute on each of n children cost n^2. Instead an edit
// only marks the node dirty in its registry's dirty set; the `tag` and
// `attrib` getters (replaced below) empty the caches of a wrapper of a
// dirty node before they read, so no stale value is ever returned. Once a
// registry's dirty set reaches its sweep size (at least the number of
// wrappers the last sweep walked), one walk empties the caches of every
// wrapper of every dirty node and clears the set: amortised, each edit
// costs O(1). The sets hold node addresses only as keys, never followed:
// an address reused by a later node at worst costs that node's wrappers
// one cache refill. A registry's set goes away with its capsule.

constexpr size_t kMinSweep = 1024;

struct DirtyNodes {
  std::unordered_set<void*> nodes;
  size_t sweep_at = kMinSweep;
};

PyMutex dirty_mutex = {0};
// Never freed: capsule destructors may still run during interpreter exit.
auto* dirty_sets = new std::unordered_map<Registry*, DirtyNodes>();
// Dirty nodes over all registries: the getters skip the lookup at zero.
std::atomic<size_t> dirty_total{0};
// The accelerator's registry capsule destructor, chained by ours.
PyCapsule_Destructor registry_destructor = nullptr;

struct DirtyLock {
  DirtyLock() { PyMutex_Lock(&dirty_mutex); }
  ~DirtyLock() { PyMutex_Unlock(&dirty_mutex); }
  DirtyLock(const DirtyLock&) = delete;
  DirtyLock& operator=(const DirtyLock&) = delete;
};

// Drops the registry's dirty set (under the lock).
void erase_dirty(Registry* registry) {
  auto it = dirty_sets->find(registry);
  if (it == dirty_sets->end()) return;
  dirty_total.fetch_sub(it->second.nodes.size(), std::memory_order_acq_rel);
  dirty_sets->erase(it);
}

void dirty_capsule_destructor(PyObject* capsule) {
  PyObject* raised = PyErr_GetRaisedException();
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (registry == nullptr) PyErr_Clear();
  PyCapsule_Destructor chained = nullptr;
  {
    DirtyLock lock;
    if (registry != nullptr) erase_dirty(registry);
    chained = registry_destructor;
  }
  PyErr_SetRaisedException(raised);
  if (chained != nullptr) chained(capsule);
}

// Makes the capsule drop its dirty set when it dies (under the lock).
// False when its destructor is not the accelerator's usual one: that
// registry is then handled by walking it on every edit.
bool track_registry(PyObject* capsule) {
  PyCapsule_Destructor current = PyCapsule_GetDestructor(capsule);
  if (current == dirty_capsule_destructor) return true;
  if (current == nullptr) {
    PyErr_Clear();
    return false;
  }
  if (registry_destructor == nullptr) registry_destructor = current;
  if (current != registry_destructor) return false;
  return PyCapsule_SetDestructor(capsule, dirty_capsule_destructor) == 0;
}

// Empties the caches of every wrapper of a dirty node and clears the set
// (under the lock). The next sweep waits for as many edits as there are
// wrappers, so sweeping stays O(1) per edit.
void sweep(Registry* registry, DirtyNodes& dirty, std::vector<PyObject*>& dropped) {
  size_t wrappers = 0;
  for (AccelElement* el = registry->first; el; el = el->next) {
    ++wrappers;
    if ((el->cached_tag || el->cached_attrib) && dirty.nodes.count(el->raw) != 0) {
      take_caches(el, dropped);
    }
  }
  dirty_total.fetch_sub(dirty.nodes.size(), std::memory_order_acq_rel);
  dirty.nodes.clear();
  dirty.sweep_at = std::max(kMinSweep, wrappers);
}

// The walk of every wrapper, for registries that are not tracked.
void forget_by_walk(Registry* registry, void* raw, std::vector<PyObject*>& dropped) {
  for (AccelElement* el = registry->first; el; el = el->next) {
    if (el->raw == raw && (el->cached_tag || el->cached_attrib)) take_caches(el, dropped);
  }
}

}  // namespace

bool forget_node(PyObject* capsule, void* raw) {
  Registry* registry = registry_from(capsule);
  if (!registry) return false;
  std::vector<PyObject*> dropped;
  {
    DirtyLock lock;
    if (!track_registry(capsule)) {
      forget_by_walk(registry, raw, dropped);
    } else {
      DirtyNodes& dirty = (*dirty_sets)[registry];
      if (dirty.nodes.insert(raw).second) dirty_total.fetch_add(1, std::memory_order_acq_rel);
      if (dirty.nodes.size() >= dirty.sweep_at) sweep(registry, dirty, dropped);
    }
  }
  release_all(dropped);
  return true;
}

namespace {

// forget(registry, address): after an edit of that node's attributes or
// tag, no wrapper of it in the registry hands out its old `tag` or
// `attrib` again.
PyObject* edit_forget(PyObject*, PyObject* args) {
  PyObject* capsule = nullptr;
  PyObject* address = nullptr;
  if (!PyArg_ParseTuple(args, "OO!:forget", &capsule, &PyLong_Type, &address)) return nullptr;
  void* raw = PyLong_AsVoidPtr(address);
  if (PyErr_Occurred()) return nullptr;
  if (!forget_node(capsule, raw)) return nullptr;
  Py_RETURN_NONE;
}

// Empties the wrapper's caches when its node is dirty.
void refresh_if_dirty(AccelElement* el) {
  std::vector<PyObject*> dropped;
  {
    DirtyLock lock;
    auto it = dirty_sets->find(el->registry);
    if (it != dirty_sets->end() && it->second.nodes.count(el->raw) != 0) take_caches(el, dropped);
  }
  release_all(dropped);
}

// The `tag` and `attrib` attributes of Element stay getset descriptors
// with the accelerator's names and docs, in their place in the type's
// dict; their getters first empty the caches of a wrapper whose node is
// dirty, then run the accelerator's own getter.
struct CheckedGetter {
  const char* name;
  getter original = nullptr;  // the accelerator's getter
  void* closure = nullptr;
  PyGetSetDef def{};  // what the replacing descriptor points at (static storage)
};

PyObject* checked_get(PyObject* self, CheckedGetter& g) {
  if (dirty_total.load(std::memory_order_acquire) != 0 && PyObject_TypeCheck(self, element_type)) {
    refresh_if_dirty(reinterpret_cast<AccelElement*>(self));
  }
  return g.original(self, g.closure);
}

CheckedGetter checked_tag{"tag"};
CheckedGetter checked_attrib{"attrib"};

PyObject* get_checked_tag(PyObject* self, void*) { return checked_get(self, checked_tag); }
PyObject* get_checked_attrib(PyObject* self, void*) { return checked_get(self, checked_attrib); }

// Replaces Element's read-only getset `g.name` by one with `get` (once).
bool wrap_cached_attribute(CheckedGetter& g, getter get) {
  auto* type = reinterpret_cast<PyObject*>(element_type);
  Ref original(PyObject_GetAttrString(type, g.name));
  if (!original) return false;
  if (!PyObject_TypeCheck(original.get(), &PyGetSetDescr_Type)) {
    PyErr_Format(PyExc_ImportError, "Element.%s is not a getset descriptor", g.name);
    return false;
  }
  PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(original.get())->d_getset;
  if (def->get == get) return true;  // already replaced
  if (def->get == nullptr || def->set != nullptr) {
    PyErr_Format(PyExc_ImportError, "Element.%s is not a read-only getset", g.name);
    return false;
  }
  g.original = def->get;
  g.closure = def->closure;
  g.def = PyGetSetDef{def->name, get, nullptr, def->doc, nullptr};
  Ref replacement(PyDescr_NewGetSet(element_type, &g.def));
  if (!replacement) return false;
  return PyObject_SetAttrString(type, g.name, replacement.get()) == 0;
}

// dirty_count(): dirty nodes pending over all registries (for tests).
PyObject* edit_dirty_count(PyObject*, PyObject*) {
  return PyLong_FromSize_t(dirty_total.load(std::memory_order_acquire));
}

}  // namespace

long adopt_wrappers(Registry* source, Registry* target, PyObject* document,
                    const std::unordered_set<void*>& nodes, std::vector<PyObject*>& dropped) {
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
  return moved;
}

namespace {

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
  long moved = adopt_wrappers(source, target, document, nodes, dropped);
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

}  // namespace

void count_structural_edit() { edit_count.fetch_add(1, std::memory_order_acq_rel); }

namespace {

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
    {"dirty_count", edit_dirty_count, METH_NOARGS,
     "dirty_count(): edited nodes whose wrappers' caches are checked on read"},
    {"registered_in", edit_registered_in, METH_VARARGS,
     "registered_in(element, registry): whether the wrapper is linked there"},
    {"plan_bind", direct::plan_bind, METH_VARARGS,
     "plan_bind(table_address, error_class, closed_message, plan_type): bind typed extraction"},
    {"plan_prepare", direct::plan_prepare, METH_VARARGS,
     "plan_prepare(engine_plan, plans, callback_type): a plan capsule owning the engine plan"},
    {"extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(direct::plan_extract)),
     METH_FASTCALL | METH_KEYWORDS,
     "extract($module, /, element, plan)\n--\n\n"
     "The record that plan (a korvith.Plan) describes, read from element (a live\n"
     "korvith Element), as a dict."},
    {"plan_convert",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(direct::plan_convert)),
     METH_FASTCALL, "plan_convert(root_address, plan): an evaluated record as a dict"},
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
  if (add_checked_calls(module.get()) < 0) return nullptr;
  if (!wrap_cached_attribute(checked_tag, get_checked_tag) ||
      !wrap_cached_attribute(checked_attrib, get_checked_attrib)) {
    return nullptr;
  }
  if (!add_stream_cursor(module.get(), accel.get())) return nullptr;
  if (!add_find(module.get(), element_type)) return nullptr;
  if (!add_document(module.get())) return nullptr;
  if (!add_snapshot(module.get(), element_type)) return nullptr;
  if (!add_build(module.get())) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace korvith

PyMODINIT_FUNC PyInit__korvithedit(void) { return korvith::init_module(); }
