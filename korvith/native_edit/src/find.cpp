// Searches by tag for find/findall/iter, one C call per search (or per
// element of an iteration): the element's liveness is checked and the
// engine's walk is called with no Python code in between, and only the
// elements found get a wrapper.
//
// The engine entries (korvith_walk_next, korvith_child_next,
// korvith_path_next) come as
// addresses from the package at import (bind_find), as the accelerator
// module gets its table; tests are compiled once into a TagTests object
// that the package caches per path or tag list.
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "../../element/element.h"
#include "find.h"
#include "korvith/find.h"

namespace korvith {
namespace {

using WalkFn = void* (*)(void*, void*, const void*, size_t);

WalkFn walk_next = nullptr;
WalkFn child_next = nullptr;
WalkFn path_next = nullptr;
PyObject* error_class = nullptr;     // strong, set by bind_find
PyObject* closed_message = nullptr;  // strong str, set by bind_find
PyTypeObject* elem_type = nullptr;   // the accelerator's Element (borrowed; never unloaded)

// Where a search looks, relative to the element it starts from.
// kPath: the elements a path of several steps selects (see path_steps).
enum Axis : int { kChildren = 0, kDescendants = 1, kSelfAndDescendants = 2, kPath = 3 };

// ---- compiled tests ------------------------------------------------------

struct TagTests {
  PyObject_HEAD std::vector<korvith_tag_test>* tests;
  std::vector<korvith_path_step>* steps;  // the same tests with their axes, for a path
  std::deque<std::string>* strings;       // storage the tests point into
};

PyTypeObject* tests_type = nullptr;

void tests_dealloc(PyObject* self) {
  auto* t = reinterpret_cast<TagTests*>(self);
  delete t->tests;
  delete t->steps;
  delete t->strings;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A UTF-8 copy of an optional str kept in `strings`; null for None.
bool keep_string(PyObject* value, std::deque<std::string>& strings, const char** out) {
  if (value == Py_None) {
    *out = nullptr;
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "tag test names must be str or None");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (!utf8) return false;
  std::string text(utf8, static_cast<size_t>(size));
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "tag test names cannot hold a NUL character");
    return false;
  }
  strings.push_back(std::move(text));
  *out = strings.back().c_str();
  return true;
}

bool read_test(PyObject* item, TagTests* t) {
  int flags = 0;
  int attr_op = 0;
  PyObject* parts[5] = {};
  if (!PyTuple_Check(item) ||
      !PyArg_ParseTuple(item, "iiOOOOO:tag test", &flags, &attr_op, &parts[0], &parts[1], &parts[2],
                        &parts[3], &parts[4])) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a tag test is a 7-tuple");
    return false;
  }
  if (attr_op < KORVITH_ATTR_NONE || attr_op > KORVITH_ATTR_UNEQUAL) {
    PyErr_SetString(PyExc_ValueError, "unknown attribute condition");
    return false;
  }
  korvith_tag_test test{flags, attr_op, nullptr, nullptr, nullptr, nullptr, nullptr};
  const char** fields[5] = {&test.uri, &test.local, &test.attr_uri, &test.attr_local,
                            &test.attr_value};
  for (int i = 0; i < 5; ++i) {
    if (!keep_string(parts[i], *t->strings, fields[i])) return false;
  }
  t->tests->push_back(test);
  return true;
}

// tag_tests(list of (flags, attr_op, uri, local, attr_uri, attr_local,
// attr_value)): the compiled tests; an empty list passes every element.
PyObject* make_tag_tests(PyObject*, PyObject* arg) {
  Ref items(PySequence_Tuple(arg));
  if (!items) return nullptr;
  Ref obj(tests_type->tp_alloc(tests_type, 0));
  if (!obj) return nullptr;
  auto* t = reinterpret_cast<TagTests*>(obj.get());
  try {
    t->tests = new std::vector<korvith_tag_test>();
    t->strings = new std::deque<std::string>();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      if (!read_test(PyTuple_GET_ITEM(items.get(), i), t)) return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return obj.release();
}

// path_steps(list of (axis, test)): the compiled steps of a path, each
// test a tuple as tag_tests takes; axis 0 children, 1 descendants.
PyObject* make_path_steps(PyObject*, PyObject* arg) {
  Ref items(PySequence_Tuple(arg));
  if (!items) return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n < 1 || n > KORVITH_PATH_MAX_STEPS) {
    PyErr_Format(PyExc_ValueError, "a path has 1 to %d steps", KORVITH_PATH_MAX_STEPS);
    return nullptr;
  }
  Ref obj(tests_type->tp_alloc(tests_type, 0));
  if (!obj) return nullptr;
  auto* t = reinterpret_cast<TagTests*>(obj.get());
  try {
    t->tests = new std::vector<korvith_tag_test>();
    t->steps = new std::vector<korvith_path_step>();
    t->strings = new std::deque<std::string>();
    for (Py_ssize_t i = 0; i < n; ++i) {
      int axis = 0;
      PyObject* test = nullptr;
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "iO:path step", &axis, &test)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a path step is (axis, test)");
        return nullptr;
      }
      if (axis != KORVITH_AXIS_CHILD && axis != KORVITH_AXIS_DESCENDANT) {
        PyErr_SetString(PyExc_ValueError, "a path step's axis must be 0 or 1");
        return nullptr;
      }
      if (!read_test(test, t)) return nullptr;
      t->steps->push_back(korvith_path_step{axis, t->tests->back()});
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return obj.release();
}

PyType_Slot tests_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tests_dealloc)},
    {Py_tp_doc, const_cast<char*>("Compiled tag tests for the engine's searches.")},
    {0, nullptr},
};

PyType_Spec tests_spec = {
    "korvith._korvithedit.TagTests",
    static_cast<int>(sizeof(TagTests)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    tests_slots,
};

// ---- the element a search starts from --------------------------------------

struct Start {
  AccelElement* element = nullptr;  // borrowed from the arguments
  Ref document;                     // the element's document (or None)
  Ref capsule;                      // its registry capsule, or empty
  Registry* registry = nullptr;
  const TagTests* tests = nullptr;
  int axis = kChildren;
};

bool ready() {
  if (!walk_next || !child_next || !path_next || !error_class) {
    PyErr_SetString(PyExc_RuntimeError, "korvith._korvithedit: searches are not bound");
    return false;
  }
  return true;
}

// Reads the registry capsule of the element's document. Reading the
// attribute can run Python code, so this comes before the liveness check.
bool load_registry(Start& s) {
  PyObject* document = s.element->document ? s.element->document : Py_None;
  s.document = Ref::borrow(document);
  if (document == Py_None) return true;
  PyObject* value = PyObject_GetAttrString(document, "_accel_registry");
  if (!value) {
    PyErr_Clear();
    return true;
  }
  s.capsule = Ref(value);
  if (PyCapsule_IsValid(value, kRegistryCapsuleName)) {
    s.registry = static_cast<Registry*>(PyCapsule_GetPointer(value, kRegistryCapsuleName));
  }
  if (s.element->document != document) {
    PyErr_SetString(PyExc_RuntimeError, "element moved to another document during the search");
    return false;
  }
  return true;
}

bool parse_start(PyObject* args, const char* format, Start& s) {
  PyObject* element = nullptr;
  PyObject* tests = nullptr;
  if (!ready()) return false;
  // The element is the caller's `self`: name it as such, whatever it is.
  PyObject* first =
      PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (first && !PyObject_TypeCheck(first, elem_type)) {
    PyErr_Format(PyExc_TypeError, "element must be an Element, not %.200s",
                 Py_TYPE(first)->tp_name);
    return false;
  }
  if (!PyArg_ParseTuple(args, format, elem_type, &element, tests_type, &tests, &s.axis)) {
    return false;
  }
  if (s.axis < kChildren || s.axis > kPath) {
    PyErr_SetString(PyExc_ValueError, "axis must be 0, 1, 2 or 3");
    return false;
  }
  s.element = reinterpret_cast<AccelElement*>(element);
  s.tests = reinterpret_cast<TagTests*>(tests);
  if ((s.axis == kPath) != (s.tests->steps != nullptr)) {
    PyErr_SetString(PyExc_ValueError, "axis 3 takes path steps, the others tag tests");
    return false;
  }
  return load_registry(s);
}

// The element's engine node, or null with KorvithError set: a closed
// document, or a wrapper without a node.
void* live_node(const AccelElement* el) {
  if (el->raw == kPoison) {
    PyErr_SetObject(error_class, closed_message);
    return nullptr;
  }
  if (el->raw == nullptr) {
    PyErr_SetString(error_class, "element has no engine node");
    return nullptr;
  }
  return el->raw;
}

// First match after `after` (null: from the start of the axis).
void* step(const Start& s, void* top, void* after) {
  const void* tests = s.tests->tests->data();
  size_t count = s.tests->tests->size();
  if (s.axis == kPath) {
    return path_next(top, after, s.tests->steps->data(), s.tests->steps->size());
  }
  if (s.axis == kChildren) return child_next(top, after, tests, count);
  if (after == nullptr && s.axis == kDescendants) after = top;
  return walk_next(top, after, tests, count);
}

// A registered wrapper of a node the engine just returned.
PyObject* wrap(void* raw, const Start& s) {
  return new_linked_wrapper(elem_type, raw, s.document.get(), s.registry);
}

// first(element, tests, axis): the first match or None (axis 3: the first
// in document order that the path selects).
PyObject* find_first(PyObject*, PyObject* args) {
  Start s;
  if (!parse_start(args, "O!O!i:first", s)) return nullptr;
  void* top = live_node(s.element);
  if (!top) return nullptr;
  void* found = step(s, top, nullptr);
  if (!found) Py_RETURN_NONE;
  return wrap(found, s);
}

// all(element, tests, axis): every match, in document order.
PyObject* find_all(PyObject*, PyObject* args) {
  Start s;
  if (!parse_start(args, "O!O!i:all", s)) return nullptr;
  void* top = live_node(s.element);
  if (!top) return nullptr;
  std::vector<void*> found;
  try {
    for (void* n = step(s, top, nullptr); n; n = step(s, top, n)) found.push_back(n);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref out(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < found.size(); ++i) {
    PyObject* el = wrap(found[i], s);
    if (!el) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), el);
  }
  return out.release();
}

// ---- iteration -------------------------------------------------------------

struct FindCursor {
  PyObject_HEAD PyObject* start;  // element the walk started from (strong)
  PyObject* document;             // given to every wrapper (strong)
  PyObject* capsule;              // keeps `registry` alive (strong, may be null)
  PyObject* tests;                // TagTests (strong)
  Registry* registry;
  void* top;   // node of `start` when the walk began
  void* last;  // node handed out last; null before the first
  int axis;
  int done;
};

PyTypeObject* cursor_type = nullptr;

PyObject* cursor_next(PyObject* self) {
  auto* c = reinterpret_cast<FindCursor*>(self);
  if (c->done) return nullptr;
  if (!live_node(reinterpret_cast<AccelElement*>(c->start))) return nullptr;
  Start s;
  s.document = Ref::borrow(c->document);
  s.registry = c->registry;
  s.tests = reinterpret_cast<TagTests*>(c->tests);
  s.axis = c->axis;
  void* found = step(s, c->top, c->last);
  if (!found) {
    c->done = 1;
    return nullptr;
  }
  c->last = found;
  return wrap(found, s);
}

void cursor_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<FindCursor*>(self);
  Py_CLEAR(c->start);
  Py_CLEAR(c->document);
  Py_CLEAR(c->capsule);
  Py_CLEAR(c->tests);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* cursor_self(PyObject* self) { return Py_NewRef(self); }

PyType_Slot cursor_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(cursor_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(cursor_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_doc, const_cast<char*>("Elements that pass tag tests, in document order.")},
    {0, nullptr},
};

PyType_Spec cursor_spec = {
    "korvith._korvithedit.FindCursor",
    static_cast<int>(sizeof(FindCursor)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    cursor_slots,
};

// walk(element, tests, axis): an iterator over the matches. Its position
// is a bare engine pointer: the package wraps it in a guarded iteration
// that drops it at the first structural edit.
PyObject* find_walk(PyObject*, PyObject* args) {
  Start s;
  if (!parse_start(args, "O!O!i:walk", s)) return nullptr;
  void* top = live_node(s.element);
  if (!top) return nullptr;
  PyObject* obj = cursor_type->tp_alloc(cursor_type, 0);
  if (!obj) return nullptr;
  auto* c = reinterpret_cast<FindCursor*>(obj);
  c->start = Py_NewRef(reinterpret_cast<PyObject*>(s.element));
  c->document = s.document.release();
  c->capsule = s.capsule.release();
  c->tests = Py_NewRef(reinterpret_cast<PyObject*>(const_cast<TagTests*>(s.tests)));
  c->registry = s.registry;
  c->top = top;
  c->axis = s.axis;
  return obj;
}

// bind_find(walk_next, child_next, path_next, error_class,
// closed_message): the engine's addresses and the error the searches raise.
PyObject* bind_find(PyObject*, PyObject* args) {
  unsigned long long walk = 0;
  unsigned long long child = 0;
  unsigned long long path = 0;
  PyObject* error = nullptr;
  PyObject* message = nullptr;
  if (!PyArg_ParseTuple(args, "KKKOU:bind_find", &walk, &child, &path, &error, &message)) {
    return nullptr;
  }
  if (!walk || !child || !path) {
    PyErr_SetString(PyExc_ValueError, "engine addresses must not be 0");
    return nullptr;
  }
  if (!PyType_Check(error) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error),
                                                reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    PyErr_SetString(PyExc_TypeError, "error_class must be an exception type");
    return nullptr;
  }
  walk_next = reinterpret_cast<WalkFn>(static_cast<uintptr_t>(walk));
  child_next = reinterpret_cast<WalkFn>(static_cast<uintptr_t>(child));
  path_next = reinterpret_cast<WalkFn>(static_cast<uintptr_t>(path));
  Py_XSETREF(error_class, Py_NewRef(error));
  Py_XSETREF(closed_message, Py_NewRef(message));
  Py_RETURN_NONE;
}

PyMethodDef find_methods[] = {
    {"bind_find", bind_find, METH_VARARGS,
     "bind_find(walk_next, child_next, path_next, error_class, closed_message): bind"},
    {"tag_tests", make_tag_tests, METH_O, "tag_tests(tests): compile tag tests"},
    {"path_steps", make_path_steps, METH_O, "path_steps(steps): compile a path's steps"},
    {"first", find_first, METH_VARARGS, "first(element, tests, axis): first match or None"},
    {"all", find_all, METH_VARARGS, "all(element, tests, axis): every match, as a list"},
    {"walk", find_walk, METH_VARARGS, "walk(element, tests, axis): iterator over the matches"},
    {nullptr, nullptr, 0, nullptr},
};

bool add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** out, const char* name) {
  *out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (!*out) return false;
  // The module keeps the type alive; the global is a borrowed pointer.
  int rc = PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(*out));
  Py_DECREF(*out);
  return rc == 0;
}

}  // namespace

bool add_find(PyObject* module, PyTypeObject* element) {
  elem_type = element;
  if (PyModule_AddFunctions(module, find_methods) < 0) return false;
  return add_type(module, &tests_spec, &tests_type, "TagTests") &&
         add_type(module, &cursor_spec, &cursor_type, "FindCursor");
}

}  // namespace korvith
