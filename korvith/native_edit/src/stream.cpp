// The per-element step of korvith.iterparse in one C call: poison the
// wrappers handed out since the last step, let the engine release the
// element yielded last and advance to the next element that matches the
// tag filter (korvith_iterparse_step), and wrap that element.
//
// The cursor owns the engine iterator. Closing it (or its collection)
// poisons every wrapper it made and frees the iterator; a step checks that
// the iterator is open and calls the engine with nothing in between, and
// checks again after each call that can run Python code. On the
// free-threaded build each step and the close hold the cursor's critical
// section.
#include "stream.h"

#include "../../element/element.h"

namespace korvith {
namespace {

using StepFn = void* (*)(void* iterator, void* previous);
using FreeFn = void (*)(void* iterator);

PyTypeObject* cursor_type = nullptr;
PyTypeObject* wrapper_type = nullptr;  // the accelerator's Element
PyObject* invalidate_fn = nullptr;     // the accelerator's invalidate()
PyObject* released_word = nullptr;     // "released"
PyObject* poisoning_attr = nullptr;    // "last_poisoning"

struct Cursor {
  PyObject_HEAD void* handle;  // engine iterator; null once closed
  StepFn step;
  FreeFn free_iterator;
  void* previous;      // element to release at the next step, or null
  PyObject* scope;     // document object of the wrappers (strong)
  PyObject* capsule;   // registry capsule of the wrappers (strong)
  Registry* registry;  // held by `capsule`
  PyObject* feed;      // callable() -> bool: pushed more input (strong), or None
  PyObject* finish;    // callable() raising the parse error, if any (strong)
  PyObject* errors;    // module whose last_poisoning is set on release (strong)
  int pairs;           // yield ("end", element)
  int release;         // release each element when the iteration moves on
  int done;
};

Cursor* as_cursor(PyObject* self) { return reinterpret_cast<Cursor*>(self); }

// Poisons every wrapper made since the last step (they and what they lead
// to may be freed next). Runs Python code: callers check `handle` after.
bool poison(Cursor* c) {
  if (!c->registry->first) return true;
  PyObject* done = PyObject_CallOneArg(invalidate_fn, c->capsule);
  if (!done) return false;
  Py_DECREF(done);
  return true;
}

// Poisons the wrappers and frees the engine iterator, once.
bool close_now(Cursor* c) {
  void* handle = c->handle;
  if (!handle) return true;
  c->handle = nullptr;
  c->previous = nullptr;
  c->done = 1;
  bool ok = c->capsule ? poison(c) : true;
  c->free_iterator(handle);
  return ok;
}

PyObject* wrap(Cursor* c, void* node) {
  PyObject* obj = new_linked_wrapper(wrapper_type, node, c->scope, c->registry);
  if (!obj || !c->pairs) return obj;
  return Py_BuildValue("(sN)", "end", obj);
}

// Null with no error at the end of the stream.
PyObject* step(Cursor* c) {
  if (!c->handle || c->done) return nullptr;
  void* previous = c->previous;
  c->previous = nullptr;
  if (previous) {
    if (c->registry->first) {
      if (PyObject_SetAttr(c->errors, poisoning_attr, released_word) < 0) return nullptr;
      if (!poison(c)) return nullptr;
      // Closed by code the poisoning ran: the tree is gone already.
      if (!c->handle) return nullptr;
    }
  }
  for (;;) {
    void* node = c->step(c->handle, previous);
    previous = nullptr;
    if (node) {
      if (c->release) c->previous = node;
      return wrap(c, node);
    }
    if (c->feed != Py_None) {
      PyObject* pushed = PyObject_CallNoArgs(c->feed);
      if (!pushed) return nullptr;
      int more = PyObject_IsTrue(pushed);
      Py_DECREF(pushed);
      if (more < 0 || !c->handle) return nullptr;
      if (more) continue;
    }
    c->done = 1;
    PyObject* finished = PyObject_CallNoArgs(c->finish);
    Py_XDECREF(finished);
    return nullptr;
  }
}

PyObject* cursor_next(PyObject* self) {
  PyObject* out = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  out = step(as_cursor(self));
  Py_END_CRITICAL_SECTION();
  return out;
}

PyObject* cursor_close(PyObject* self, PyObject*) {
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(self);
  ok = close_now(as_cursor(self));
  Py_END_CRITICAL_SECTION();
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* cursor_closed(PyObject* self, void*) {
  return PyBool_FromLong(as_cursor(self)->handle == nullptr);
}

int cursor_traverse(PyObject* self, visitproc visit, void* arg) {
  Cursor* c = as_cursor(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(c->scope);
  Py_VISIT(c->capsule);
  Py_VISIT(c->feed);
  Py_VISIT(c->finish);
  Py_VISIT(c->errors);
  return 0;
}

// Closes before dropping the references: the capsule must outlive the
// poisoning of its wrappers.
void close_quietly(Cursor* c) {
  PyObject* pending = PyErr_GetRaisedException();
  if (!close_now(c)) PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(c));
  PyErr_SetRaisedException(pending);
}

int cursor_clear(PyObject* self) {
  Cursor* c = as_cursor(self);
  close_quietly(c);
  Py_CLEAR(c->scope);
  Py_CLEAR(c->capsule);
  c->registry = nullptr;
  Py_CLEAR(c->feed);
  Py_CLEAR(c->finish);
  Py_CLEAR(c->errors);
  return 0;
}

void cursor_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  cursor_clear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* cursor_self(PyObject* self) { return Py_NewRef(self); }

PyMethodDef cursor_methods[] = {
    {"close", cursor_close, METH_NOARGS, "close(): poison every wrapper made, free the iterator"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cursor_getset[] = {
    {"closed", cursor_closed, nullptr, "True once closed", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cursor_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(cursor_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(cursor_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cursor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cursor_clear)},
    {Py_tp_methods, cursor_methods},
    {Py_tp_getset, cursor_getset},
    {Py_tp_doc, const_cast<char*>("The element step of an iterparse iterator.")},
    {0, nullptr},
};

PyType_Spec cursor_spec = {
    "korvith._korvithedit.IterparseCursor",
    static_cast<int>(sizeof(Cursor)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    cursor_slots,
};

template <typename Fn>
bool function_at(PyObject* address, const char* what, Fn& out) {
  void* raw = PyLong_AsVoidPtr(address);
  if (!raw) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s must be a function address", what);
    return false;
  }
  out = reinterpret_cast<Fn>(raw);
  return true;
}

// iterparse_cursor(step, free, handle, scope, capsule, feed, finish,
// errors, pairs, release): the cursor over engine iterator `handle`,
// which it owns from now on. `step` and `free` are the addresses of
// korvith_iterparse_step and korvith_iterparse_free.
PyObject* make_cursor(PyObject*, PyObject* args) {
  PyObject* step_address = nullptr;
  PyObject* free_address = nullptr;
  PyObject* handle = nullptr;
  PyObject* scope = nullptr;
  PyObject* capsule = nullptr;
  PyObject* feed = nullptr;
  PyObject* finish = nullptr;
  PyObject* errors = nullptr;
  int pairs = 0;
  int release = 0;
  if (!PyArg_ParseTuple(args, "O!O!O!OOOOOpp:iterparse_cursor", &PyLong_Type, &step_address,
                        &PyLong_Type, &free_address, &PyLong_Type, &handle, &scope, &capsule, &feed,
                        &finish, &errors, &pairs, &release)) {
    return nullptr;
  }
  StepFn step_fn = nullptr;
  FreeFn free_fn = nullptr;
  if (!function_at(step_address, "step", step_fn)) return nullptr;
  if (!function_at(free_address, "free", free_fn)) return nullptr;
  void* raw = PyLong_AsVoidPtr(handle);
  if (!raw) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "handle must be an iterator address");
    return nullptr;
  }
  if (!PyCapsule_CheckExact(capsule)) {
    PyErr_SetString(PyExc_TypeError, "expected a registry capsule");
    return nullptr;
  }
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (!registry) return nullptr;
  if ((feed != Py_None && !PyCallable_Check(feed)) || !PyCallable_Check(finish)) {
    PyErr_SetString(PyExc_TypeError, "feed and finish must be callable");
    return nullptr;
  }
  PyObject* obj = cursor_type->tp_alloc(cursor_type, 0);
  if (!obj) return nullptr;
  Cursor* c = as_cursor(obj);
  c->handle = raw;
  c->step = step_fn;
  c->free_iterator = free_fn;
  c->scope = Py_NewRef(scope);
  c->capsule = Py_NewRef(capsule);
  c->registry = registry;
  c->feed = Py_NewRef(feed);
  c->finish = Py_NewRef(finish);
  c->errors = Py_NewRef(errors);
  c->pairs = pairs;
  c->release = release;
  return obj;
}

PyMethodDef stream_methods[] = {
    {"iterparse_cursor", make_cursor, METH_VARARGS,
     "iterparse_cursor(step, free, handle, scope, capsule, feed, finish, errors, pairs, "
     "release): the element step of an iterparse iterator"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_stream_cursor(PyObject* module, PyObject* accel) {
  Ref type(PyObject_GetAttrString(accel, "Element"));
  if (!type) return false;
  if (!PyType_Check(type.get())) {
    PyErr_SetString(PyExc_ImportError, "korvith._korvithaccel.Element is not a type");
    return false;
  }
  // The accelerator module is never unloaded: borrowed pointers suffice.
  wrapper_type = reinterpret_cast<PyTypeObject*>(type.get());
  Ref invalidate(PyObject_GetAttrString(accel, "invalidate"));
  if (!invalidate) return false;
  invalidate_fn = invalidate.release();
  released_word = PyUnicode_InternFromString("released");
  poisoning_attr = PyUnicode_InternFromString("last_poisoning");
  if (!released_word || !poisoning_attr) return false;
  cursor_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&cursor_spec));
  if (!cursor_type) return false;
  if (PyModule_AddObjectRef(module, "IterparseCursor", reinterpret_cast<PyObject*>(cursor_type)) <
      0) {
    return false;
  }
  for (PyMethodDef* def = stream_methods; def->ml_name; ++def) {
    Ref fn(PyCFunction_NewEx(def, nullptr, nullptr));
    if (!fn || PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0) return false;
  }
  return true;
}

}  // namespace korvith
