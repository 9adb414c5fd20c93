// The per-element step of korvith.iterparse in one C call: poison the
// wrappers handed out since the last step, let the engine release the
// element yielded last and advance to the next element that matches the
// tag filter (korvith_iterparse_step), and wrap that element.
//
// korvith.iterparse derives from the cursor type, so that each next() of
// an iterparse iterator is this one C call; its __init__ starts the cursor
// (_start or _start_events) once the engine iterator is open.
//
// The cursor owns the engine iterator. Closing it (or its collection)
// poisons every wrapper it made and frees the iterator; a step checks that
// the iterator is open and calls the engine with nothing in between, and
// checks again after each call that can run Python code. On the
// free-threaded build each step and the close hold the cursor's critical
// section.
//
// An event cursor (started by _start_events) steps over events instead
// (korvith_iterparse_step_event) and yields (event, value) pairs: the
// element of a start or end event, a (prefix, uri) pair for start-ns, None
// for end-ns, and the text of a comment or PI made by the package's string
// class. It copies an event's texts before it runs any Python code, so a
// close from another thread during that code frees nothing it still reads.
#include "stream.h"

#include "../../element/element.h"
#include "binding.h"
#include "korvith/engine_ext.h"

namespace korvith {
namespace {

using StepFn = void* (*)(void* iterator, void* previous);
using FreeFn = void (*)(void* iterator);
using StepEventFn = void* (*)(void* iterator, void* previous, int* kind);
using TextFn = const char* (*)(void* iterator, int which);

constexpr int kStart = KORVITH_EVENT_START;
constexpr int kEnd = KORVITH_EVENT_END;
constexpr int kStartNs = KORVITH_EVENT_START_NS;
constexpr int kEndNs = KORVITH_EVENT_END_NS;
constexpr int kComment = KORVITH_EVENT_COMMENT;
constexpr int kPi = KORVITH_EVENT_PI;

PyTypeObject* cursor_type = nullptr;
PyTypeObject* wrapper_type = nullptr;  // the accelerator's Element
PyObject* invalidate_fn = nullptr;     // the accelerator's invalidate()
PyObject* released_word = nullptr;     // "released"
PyObject* poisoning_attr = nullptr;    // "last_poisoning"
// Event names, made once: "start", "end", "start-ns", "end-ns", "comment",
// "pi"; and the kinds of text values, "comment" and "pi".
PyObject* start_word = nullptr;
PyObject* end_word = nullptr;
PyObject* start_ns_word = nullptr;
PyObject* end_ns_word = nullptr;
PyObject* comment_word = nullptr;
PyObject* pi_word = nullptr;

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
  int started;  // _start or _start_events has run
  // Event cursors only (null/0 otherwise).
  StepEventFn step_event;
  TextFn event_text;
  PyObject* text_type;  // callable(text, kind[, target]) for comment/pi values (strong)
  int hidden_end;       // end events are asked for only to release elements
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

// (event, value), taking the reference to `value`.
PyObject* pair(PyObject* event, PyObject* value) {
  if (!value) return nullptr;
  PyObject* out = PyTuple_New(2);
  if (!out) {
    Py_DECREF(value);
    return nullptr;
  }
  PyTuple_SET_ITEM(out, 0, Py_NewRef(event));
  PyTuple_SET_ITEM(out, 1, value);
  return out;
}

PyObject* new_wrapper(Cursor* c, void* node) {
  return new_linked_wrapper(wrapper_type, node, c->scope, c->registry);
}

PyObject* wrap(Cursor* c, void* node) {
  PyObject* obj = new_wrapper(c, node);
  if (!obj || !c->pairs) return obj;
  return pair(end_word, obj);
}

// Before the engine releases an element: poisons the wrappers made so far
// (the released element and what they lead to may be freed). False when
// the step must end: an error is set, or the poisoning ran code that
// closed the cursor (the tree is gone already; no error: the end).
bool poison_for_release(Cursor* c) {
  if (!c->registry->first) return true;
  if (PyObject_SetAttr(c->errors, poisoning_attr, released_word) < 0) return false;
  if (!poison(c)) return false;
  return c->handle != nullptr;
}

// The engine has nothing to hand out: pushes more input when there is a
// feed and it has some (true: step again), else ends the stream, raising
// its parse error if any (false; no error: the end).
bool more_input(Cursor* c) {
  if (c->feed != Py_None) {
    PyObject* pushed = PyObject_CallNoArgs(c->feed);
    if (!pushed) return false;
    int more = PyObject_IsTrue(pushed);
    Py_DECREF(pushed);
    if (more < 0 || !c->handle) return false;
    if (more) return true;
  }
  c->done = 1;
  PyObject* finished = PyObject_CallNoArgs(c->finish);
  Py_XDECREF(finished);
  return false;
}

// Null with no error at the end of the stream.
PyObject* step(Cursor* c) {
  if (!c->handle || c->done) return nullptr;
  void* previous = c->previous;
  c->previous = nullptr;
  if (previous && !poison_for_release(c)) return nullptr;
  for (;;) {
    void* node = c->step(c->handle, previous);
    previous = nullptr;
    if (node) {
      if (c->release) c->previous = node;
      return wrap(c, node);
    }
    if (!more_input(c)) return nullptr;
  }
}

// The engine's text `which` of the current event, decoded strictly as
// UTF-8 ("" for none).
PyObject* event_text(Cursor* c, int which) {
  const char* text = c->event_text(c->handle, which);
  return PyUnicode_FromString(text ? text : "");
}

// The value of a start-ns, end-ns, comment or PI event. Both texts are
// copied before the string class runs: that code may close the cursor.
PyObject* text_event(Cursor* c, int kind) {
  if (kind == kEndNs) return pair(end_ns_word, Py_NewRef(Py_None));
  Ref first(event_text(c, 0));
  if (!first) return nullptr;
  Ref second(event_text(c, 1));
  if (!second) return nullptr;
  if (kind == kStartNs) {
    return pair(start_ns_word, PyTuple_Pack(2, first.get(), second.get()));
  }
  if (kind == kComment) {
    PyObject* args[] = {first.get(), comment_word};
    return pair(comment_word, PyObject_Vectorcall(c->text_type, args, 2, nullptr));
  }
  PyObject* args[] = {second.get(), pi_word, first.get()};
  return pair(pi_word, PyObject_Vectorcall(c->text_type, args, 3, nullptr));
}

// The next (event, value) pair; null with no error at the end.
PyObject* event_step(Cursor* c) {
  if (!c->handle || c->done) return nullptr;
  void* previous = c->previous;
  c->previous = nullptr;
  if (previous && !poison_for_release(c)) return nullptr;
  for (;;) {
    int kind = 0;
    void* node = c->step_event(c->handle, previous, &kind);
    previous = nullptr;
    switch (kind) {
      case 0:
        if (!more_input(c)) return nullptr;
        continue;
      case kStart: return pair(start_word, new_wrapper(c, node));
      case kEnd:
        if (c->hidden_end) {
          // Not reported: released at the next engine step.
          if (!poison_for_release(c)) return nullptr;
          previous = node;
          continue;
        }
        if (c->release) c->previous = node;
        return pair(end_word, new_wrapper(c, node));
      case kStartNs:
      case kEndNs:
      case kComment:
      case kPi: return text_event(c, kind);
      default:
        PyErr_Format(PyExc_SystemError, "unknown iterparse event kind %d", kind);
        return nullptr;
    }
  }
}

PyObject* cursor_next(PyObject* self) {
  PyObject* out = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  Cursor* c = as_cursor(self);
  out = c->step_event ? event_step(c) : step(c);
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
  Py_VISIT(c->text_type);
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
  Py_CLEAR(c->text_type);
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

// The parts every cursor has, as _start and _start_events take them.
struct CursorArgs {
  PyObject* free_address = nullptr;
  PyObject* handle = nullptr;
  PyObject* scope = nullptr;
  PyObject* capsule = nullptr;
  PyObject* feed = nullptr;
  PyObject* finish = nullptr;
  PyObject* errors = nullptr;
  int release = 0;
};

// Makes `c` the owner of engine iterator `args.handle` (the caller frees
// the iterator when this fails). A cursor is started once.
bool start_cursor(Cursor* c, const CursorArgs& args) {
  if (c->started) {
    PyErr_SetString(PyExc_RuntimeError, "the iterparse cursor is already started");
    return false;
  }
  FreeFn free_fn = nullptr;
  if (!take_address(args.free_address, &free_fn)) return false;
  void* raw = PyLong_AsVoidPtr(args.handle);
  if (!raw) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "handle must be an iterator address");
    return false;
  }
  if (!PyCapsule_CheckExact(args.capsule)) {
    PyErr_SetString(PyExc_TypeError, "expected a registry capsule");
    return false;
  }
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(args.capsule, kRegistryCapsuleName));
  if (!registry) return false;
  if ((args.feed != Py_None && !PyCallable_Check(args.feed)) || !PyCallable_Check(args.finish)) {
    PyErr_SetString(PyExc_TypeError, "feed and finish must be callable");
    return false;
  }
  c->started = 1;
  c->handle = raw;
  c->free_iterator = free_fn;
  c->scope = Py_NewRef(args.scope);
  c->capsule = Py_NewRef(args.capsule);
  c->registry = registry;
  c->feed = Py_NewRef(args.feed);
  c->finish = Py_NewRef(args.finish);
  c->errors = Py_NewRef(args.errors);
  c->release = args.release;
  return true;
}

// _start(step, free, handle, scope, capsule, feed, finish, errors, pairs,
// release): makes this the element cursor over engine iterator `handle`,
// which it owns from now on. `step` and `free` are the addresses of
// korvith_iterparse_step and korvith_iterparse_free.
PyObject* cursor_start(PyObject* self, PyObject* args) {
  PyObject* step_address = nullptr;
  CursorArgs parts;
  int pairs = 0;
  if (!PyArg_ParseTuple(args, "O!O!O!OOOOOpp:_start", &PyLong_Type, &step_address, &PyLong_Type,
                        &parts.free_address, &PyLong_Type, &parts.handle, &parts.scope,
                        &parts.capsule, &parts.feed, &parts.finish, &parts.errors, &pairs,
                        &parts.release)) {
    return nullptr;
  }
  StepFn step_fn = nullptr;
  if (!take_address(step_address, &step_fn)) return nullptr;
  bool ok = false;
  Py_BEGIN_CRITICAL_SECTION(self);
  Cursor* c = as_cursor(self);
  ok = start_cursor(c, parts);
  if (ok) {
    c->step = step_fn;
    c->pairs = pairs;
  }
  Py_END_CRITICAL_SECTION();
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

// _start_events(step_event, text, free, handle, scope, capsule, feed,
// finish, errors, text_type, release, hidden_end): makes this the event
// cursor over engine iterator `handle`, which it owns from now on.
// `step_event`, `text` and `free` are the addresses of
// korvith_iterparse_step_event, korvith_iterparse_event_text and
// korvith_iterparse_free; `text_type` makes comment and PI values;
// `hidden_end`: end events are asked for only to release elements, and not
// yielded.
PyObject* cursor_start_events(PyObject* self, PyObject* args) {
  PyObject* step_address = nullptr;
  PyObject* text_address = nullptr;
  PyObject* text_type = nullptr;
  CursorArgs parts;
  int hidden_end = 0;
  if (!PyArg_ParseTuple(args, "O!O!O!O!OOOOOOpp:_start_events", &PyLong_Type, &step_address,
                        &PyLong_Type, &text_address, &PyLong_Type, &parts.free_address,
                        &PyLong_Type, &parts.handle, &parts.scope, &parts.capsule, &parts.feed,
                        &parts.finish, &parts.errors, &text_type, &parts.release, &hidden_end)) {
    return nullptr;
  }
  StepEventFn step_fn = nullptr;
  TextFn text_fn = nullptr;
  if (!take_address(step_address, &step_fn)) return nullptr;
  if (!take_address(text_address, &text_fn)) return nullptr;
  if (!PyCallable_Check(text_type)) {
    PyErr_SetString(PyExc_TypeError, "text_type must be callable");
    return nullptr;
  }
  bool ok = false;
  Py_BEGIN_CRITICAL_SECTION(self);
  Cursor* c = as_cursor(self);
  ok = start_cursor(c, parts);
  if (ok) {
    c->step_event = step_fn;
    c->event_text = text_fn;
    c->text_type = Py_NewRef(text_type);
    c->pairs = 1;
    c->hidden_end = hidden_end;
  }
  Py_END_CRITICAL_SECTION();
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef cursor_methods[] = {
    {"close", cursor_close, METH_NOARGS, "close(): poison every wrapper made, free the iterator"},
    {"_start", cursor_start, METH_VARARGS,
     "_start(step, free, handle, scope, capsule, feed, finish, errors, pairs, release): "
     "step over the elements of an engine iterator"},
    {"_start_events", cursor_start_events, METH_VARARGS,
     "_start_events(step_event, text, free, handle, scope, capsule, feed, finish, errors, "
     "text_type, release, hidden_end): step over the events of an engine iterator"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cursor_getset[] = {
    {"closed", cursor_closed, nullptr, "True once closed (and before it is started)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cursor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_iter, reinterpret_cast<void*>(cursor_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(cursor_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cursor_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cursor_clear)},
    {Py_tp_methods, cursor_methods},
    {Py_tp_getset, cursor_getset},
    {Py_tp_doc, const_cast<char*>("The element or event step of an iterparse iterator, in C: "
                                  "korvith.iterparse derives from it.")},
    {0, nullptr},
};

PyType_Spec cursor_spec = {
    "korvith._korvithedit.IterparseCursor",
    static_cast<int>(sizeof(Cursor)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    cursor_slots,
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
  start_word = PyUnicode_InternFromString("start");
  end_word = PyUnicode_InternFromString("end");
  start_ns_word = PyUnicode_InternFromString("start-ns");
  end_ns_word = PyUnicode_InternFromString("end-ns");
  comment_word = PyUnicode_InternFromString("comment");
  pi_word = PyUnicode_InternFromString("pi");
  if (!start_word || !end_word || !start_ns_word || !end_ns_word || !comment_word || !pi_word) {
    return false;
  }
  cursor_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&cursor_spec));
  if (!cursor_type) return false;
  if (PyModule_AddObjectRef(module, "IterparseCursor", reinterpret_cast<PyObject*>(cursor_type)) <
      0) {
    return false;
  }
  return true;
}

}  // namespace korvith
