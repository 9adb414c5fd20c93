// Checked calls: the liveness test of a document or element and the call
// that reads its tree happen in one step.
//
// A caller that reads an element's address in Python and then calls the
// engine leaves a gap: converting the next argument (`__bool__`,
// `__index__`, a mapping's `items()`) runs user code, and the interpreter
// may switch to another thread at any bytecode. Either can close the
// document, and the engine then reads freed memory. `run` closes the gap:
// the package converts every argument first, then hands the document or
// element OBJECT and the call to make to `run`, which
//
//   1. checks that the object really is a korvith Document or Element
//      (never trusting private attributes of whatever it was given),
//   2. reads the addresses from the object's own storage (the wrapper's
//      `raw` field, the Document's C struct) and checks that they are
//      alive,
//   3. calls the function with those addresses put in place of the marker
//      objects DOC, NODE and OWNER (and OTHER, the second element of
//      `run_pair`),
//
// with no Python code between 2 and 3. The function is a module builtin or
// an engine export that keeps the interpreter (ctypes.PyDLL), so nothing
// else runs during the call either. In the free-threaded build `run` also
// holds a critical section on the document object across 2 and 3, and
// `close` takes the same critical section to mark a document closed and
// poison its wrappers (document.cpp), so a close can never interleave with
// a checked call; for an
// element of a streamed document it holds the iterator's lock, under which
// the iterator releases elements and frees its tree.
#include "../../element/element.h"
#include "document.h"

#include <atomic>
#include <structmember.h>

namespace korvith {
namespace {

// Set once by `setup`; the types and classes stay alive with their modules.
PyTypeObject* document_type = nullptr;
PyTypeObject* scope_type = nullptr;
PyTypeObject* wrapper_type = nullptr;
PyObject* error_class = nullptr;
PyObject* closed_message = nullptr;
Py_ssize_t scope_address_offset = -1;
Py_ssize_t scope_owner_offset = -1;

// Markers in an argument template, replaced by the checked values.
PyObject* doc_marker = nullptr;    // the document's engine address
PyObject* node_marker = nullptr;   // the element's address (0 for a document)
PyObject* owner_marker = nullptr;  // the document object the results belong to
PyObject* other_marker = nullptr;  // the address of the second element of a pair

// Arguments of `run` before the template of the call.
constexpr Py_ssize_t kFixedArguments = 4;

// What `run` may be given.
constexpr int kAcceptDocument = 1;
constexpr int kAcceptElement = 2;

// The storage offset of a `__slots__` member of `type`, or -1 with an
// error set.
Py_ssize_t slot_offset(PyTypeObject* type, const char* name) {
  Ref descr(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
  if (!descr) return -1;
  if (!Py_IS_TYPE(descr.get(), &PyMemberDescr_Type)) {
    PyErr_Format(PyExc_TypeError, "%s.%s is not a slot", type->tp_name, name);
    return -1;
  }
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr.get())->d_member;
  if (member->type != Py_T_OBJECT_EX) {
    PyErr_Format(PyExc_TypeError, "%s.%s is not an object slot", type->tp_name, name);
    return -1;
  }
  return member->offset;
}

PyObject** slot_at(PyObject* obj, Py_ssize_t offset) {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// A new reference to the object in a slot (null when the slot is empty).
PyObject* read_slot(PyObject* obj, Py_ssize_t offset) {
  PyObject* value = std::atomic_ref<PyObject*>(*slot_at(obj, offset)).load();
  return Py_XNewRef(value);
}

PyObject* raise_closed() {
  PyErr_SetObject(error_class, closed_message);
  return nullptr;
}

PyObject* raise_error(const char* message) {
  PyErr_SetString(error_class, message);
  return nullptr;
}

// The engine address held by a streamed document scope. False with an
// error set when the slot does not hold an address.
bool scope_address(PyObject* document, Py_ssize_t offset, void** out) {
  Ref value(read_slot(document, offset));
  if (!value || !PyLong_CheckExact(value.get())) {
    *out = nullptr;
    return true;
  }
  *out = PyLong_AsVoidPtr(value.get());
  return !PyErr_Occurred();
}

// The checked addresses of one call.
struct Target {
  void* doc = nullptr;
  void* node = nullptr;
  PyObject* owner = nullptr;  // borrowed from the caller's strong reference
  void* other = nullptr;      // the second element of a paired call
};

// Reads and checks the addresses of a Document. Must run in the document's
// critical section, right before the call.
bool resolve_document(PyObject* document, Target& out) {
  out.doc = document_address(document);
  if (!out.doc) {
    raise_closed();
    return false;
  }
  out.owner = document;
  return true;
}

// Reads and checks the addresses of an element wrapper and its document.
bool resolve_element(PyObject* element, PyObject* owner, Target& out) {
  auto* el = reinterpret_cast<AccelElement*>(element);
  void* raw = std::atomic_ref<void*>(el->raw).load();
  if (raw == kPoison) {
    raise_closed();
    return false;
  }
  if (!raw) {
    raise_error("element has no engine node");
    return false;
  }
  if (!owner || owner == Py_None) {
    raise_error("element has no document");
    return false;
  }
  if (PyObject_TypeCheck(owner, document_type)) {
    if (!resolve_document(owner, out)) return false;
  } else if (Py_IS_TYPE(owner, scope_type)) {
    // A streamed document: closing its iterator poisons the wrapper
    // first, so the wrapper test above is its liveness test.
    if (!scope_address(owner, scope_address_offset, &out.doc)) return false;
    if (!out.doc) {
      raise_error("element has no engine document");
      return false;
    }
    out.owner = owner;
  } else {
    raise_error("element belongs to no korvith document");
    return false;
  }
  out.node = raw;
  return true;
}

// The call's arguments: the `n` items of `tmpl`, with the markers
// replaced.
PyObject* fill_template(PyObject* const* tmpl, Py_ssize_t n, const Target& target) {
  Ref args(PyTuple_New(n));
  if (!args) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = tmpl[i];
    PyObject* value = nullptr;
    if (item == doc_marker) {
      value = PyLong_FromVoidPtr(target.doc);
    } else if (item == node_marker) {
      value = PyLong_FromVoidPtr(target.node);
    } else if (item == owner_marker) {
      value = Py_NewRef(target.owner);
    } else if (item == other_marker) {
      value = PyLong_FromVoidPtr(target.other);
    } else {
      value = Py_NewRef(item);
    }
    if (!value) return nullptr;
    PyTuple_SET_ITEM(args.get(), i, value);
  }
  return args.release();
}

// Sets up on first use: korvith._liveness passes the package's classes
// (importing them here would import the package from inside its import).
// The document a wrapper belongs to, as a new reference (None when none).
PyObject* document_of(PyObject* element) {
  PyObject* doc =
      std::atomic_ref<PyObject*>(reinterpret_cast<AccelElement*>(element)->document).load();
  return Py_NewRef(doc ? doc : Py_None);
}

// A streamed document learns its engine address once parsing began, and
// only when asked (`_Scope._check`). Asking may run Python code, so it
// happens before the checked step, never between its test and its call.
bool prime_scope(PyObject* owner) {
  if (!owner || !Py_IS_TYPE(owner, scope_type)) return true;
  void* doc = nullptr;
  if (!scope_address(owner, scope_address_offset, &doc)) return false;
  if (doc) return true;
  Ref known(PyObject_CallMethod(owner, "_check", nullptr));
  return static_cast<bool>(known);
}

// Holds the lock of the iterator behind a streamed document for a checked
// call: the iterator releases elements and frees its tree only under that
// lock. Without the free-threaded build the interpreter lock already keeps
// every call that frees a streamed tree (they all keep it) out of a checked
// call, and waiting for the iterator's lock could only add a deadlock with
// a thread that feeds the iterator, so nothing is taken there.
class StreamLock {
 public:
  explicit StreamLock(PyObject* owner) {
#ifdef Py_GIL_DISABLED
    if (!owner || !Py_IS_TYPE(owner, scope_type)) return;
    Ref iterator(read_slot(owner, scope_owner_offset));
    if (!iterator) return;
    lock_ = Ref(PyObject_GetAttrString(iterator.get(), "_lock"));
    Ref done(lock_ ? PyObject_CallMethod(lock_.get(), "acquire", nullptr) : nullptr);
    if (!done) lock_.reset();
    failed_ = !done;
#else
    (void)owner;
#endif
  }
  StreamLock(const StreamLock&) = delete;
  StreamLock& operator=(const StreamLock&) = delete;
  ~StreamLock() {
    if (!lock_) return;
    PyObject* pending = PyErr_GetRaisedException();
    Ref done(PyObject_CallMethod(lock_.get(), "release", nullptr));
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(pending);
  }
  bool ok() const { return !failed_; }

 private:
  Ref lock_;
  bool failed_ = false;
};

bool ready() {
  if (document_type) return true;
  Ref liveness(PyImport_ImportModule("korvith._liveness"));
  if (!liveness) return false;
  Ref done(PyObject_CallMethod(liveness.get(), "_setup", nullptr));
  if (!done) return false;
  if (!document_type) {
    PyErr_SetString(PyExc_RuntimeError, "checked calls are not set up");
    return false;
  }
  return true;
}

PyObject* raise_wrong_type(PyObject* name, PyObject* target, int accept) {
  const char* wanted = accept == kAcceptDocument  ? "a Document"
                       : accept == kAcceptElement ? "an Element"
                                                  : "a Document or an Element";
  Ref type_name(PyType_GetName(Py_TYPE(target)));
  if (!type_name) return nullptr;
  PyErr_Format(PyExc_TypeError, "%U must be %s, not %U", name, wanted, type_name.get());
  return nullptr;
}

// The checked step itself: resolve and call with nothing in between.
PyObject* checked_call(PyObject* target, PyObject* owner, bool is_document, PyObject* fn,
                       PyObject* const* tmpl, Py_ssize_t n) {
  Target resolved;
  bool ok =
      is_document ? resolve_document(target, resolved) : resolve_element(target, owner, resolved);
  if (!ok) return nullptr;
  Ref args(fill_template(tmpl, n, resolved));
  if (!args) return nullptr;
  return PyObject_Call(fn, args.get(), nullptr);
}

// run(name, target, accept, fn, *template): fn(*template) with DOC, NODE
// and OWNER replaced by the checked values of `target`; `name` names the
// parameter in a TypeError, `accept` says which types it takes.
PyObject* checked_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < kFixedArguments || !PyUnicode_Check(args[0]) || !PyLong_CheckExact(args[2])) {
    PyErr_SetString(PyExc_TypeError,
                    "run() takes a name, a target, what it accepts (an int) and a callable");
    return nullptr;
  }
  PyObject* name = args[0];
  PyObject* target = args[1];
  int accept = PyLong_AsInt(args[2]);
  if (accept == -1 && PyErr_Occurred()) return nullptr;
  PyObject* fn = args[3];
  PyObject* const* tmpl = args + kFixedArguments;
  Py_ssize_t n = nargs - kFixedArguments;
  if (!ready()) return nullptr;
  bool is_document = (accept & kAcceptDocument) && PyObject_TypeCheck(target, document_type);
  bool is_element =
      !is_document && (accept & kAcceptElement) && PyObject_TypeCheck(target, wrapper_type);
  if (!is_document && !is_element) return raise_wrong_type(name, target, accept);
  // The element's document, held for the call: adopting the element into
  // another document may replace the wrapper's reference meanwhile.
  Ref lock_on(is_document ? Py_NewRef(target) : document_of(target));
  if (!prime_scope(lock_on.get())) return nullptr;
  StreamLock stream(lock_on.get());
  if (!stream.ok()) return nullptr;
  PyObject* result = nullptr;
  Py_BEGIN_CRITICAL_SECTION(lock_on.get());
  result = checked_call(target, lock_on.get(), is_document, fn, tmpl, n);
  Py_END_CRITICAL_SECTION();
  return result;
}

// Both elements checked, then the call, with nothing in between.
PyObject* paired_call(PyObject* first, PyObject* first_doc, PyObject* second, PyObject* second_doc,
                      PyObject* fn, PyObject* const* tmpl, Py_ssize_t n) {
  Target resolved;
  Target partner;
  if (!resolve_element(first, first_doc, resolved)) return nullptr;
  if (!resolve_element(second, second_doc, partner)) return nullptr;
  resolved.other = partner.node;
  Ref args(fill_template(tmpl, n, resolved));
  if (!args) return nullptr;
  return PyObject_Call(fn, args.get(), nullptr);
}

// run_pair(name, element, other_name, other, fn, *template): like run for
// two elements, NODE standing for the first and OTHER for the second.
PyObject* checked_run_pair(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < kFixedArguments + 1 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "run_pair() takes two names, two elements and a callable");
    return nullptr;
  }
  PyObject* name = args[0];
  PyObject* first = args[1];
  PyObject* other_name = args[2];
  PyObject* second = args[3];
  PyObject* fn = args[4];
  PyObject* const* tmpl = args + kFixedArguments + 1;
  Py_ssize_t n = nargs - kFixedArguments - 1;
  if (!ready()) return nullptr;
  if (!PyObject_TypeCheck(first, wrapper_type))
    return raise_wrong_type(name, first, kAcceptElement);
  if (!PyObject_TypeCheck(second, wrapper_type)) {
    return raise_wrong_type(other_name, second, kAcceptElement);
  }
  Ref first_doc(document_of(first));
  Ref second_doc(document_of(second));
  if (!prime_scope(first_doc.get()) || !prime_scope(second_doc.get())) return nullptr;
  PyObject* result = nullptr;
  Py_BEGIN_CRITICAL_SECTION2(first_doc.get(), second_doc.get());
  result = paired_call(first, first_doc.get(), second, second_doc.get(), fn, tmpl, n);
  Py_END_CRITICAL_SECTION2();
  return result;
}

// close(document): marks the Document closed (its address becomes null,
// which every checked call tests), poisons its wrappers and frees the
// engine document; the marking and the poisoning happen in the document's
// critical section, so no checked call is between its test and its call
// meanwhile (see document.cpp).
PyObject* checked_close(PyObject*, PyObject* document) {
  if (!ready()) return nullptr;
  if (!PyObject_TypeCheck(document, document_type)) {
    Ref name(PyUnicode_FromString("document"));
    if (!name) return nullptr;
    return raise_wrong_type(name.get(), document, kAcceptDocument);
  }
  if (!document_release(document)) return nullptr;
  Py_RETURN_NONE;
}

// setup(document_type, scope_type, error_class, closed_message): the
// package's own classes, read once at import.
PyObject* checked_setup(PyObject*, PyObject* args) {
  PyObject* doc = nullptr;
  PyObject* scope = nullptr;
  PyObject* error = nullptr;
  PyObject* message = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!O!U:setup", &PyType_Type, &doc, &PyType_Type, &scope,
                        &PyType_Type, &error, &message)) {
    return nullptr;
  }
  if (document_type) {
    PyErr_SetString(PyExc_RuntimeError, "checked calls are already set up");
    return nullptr;
  }
  auto* doc_type = reinterpret_cast<PyTypeObject*>(doc);
  auto* scope_cls = reinterpret_cast<PyTypeObject*>(scope);
  if (!document_base_type || !PyType_IsSubtype(doc_type, document_base_type)) {
    PyErr_SetString(PyExc_TypeError, "document_type must derive from DocumentBase");
    return nullptr;
  }
  Py_ssize_t scope_at = slot_offset(scope_cls, "_address");
  if (scope_at < 0) return nullptr;
  Py_ssize_t scope_owner_at = slot_offset(scope_cls, "_owner");
  if (scope_owner_at < 0) return nullptr;
  Ref accel(PyImport_ImportModule("korvith._korvithaccel"));
  if (!accel) return nullptr;
  Ref element(PyObject_GetAttrString(accel.get(), "Element"));
  if (!element) return nullptr;
  if (!PyType_Check(element.get())) {
    PyErr_SetString(PyExc_TypeError, "korvith._korvithaccel.Element is not a type");
    return nullptr;
  }
  // Kept for the life of the process, as the modules that define them are.
  wrapper_type = reinterpret_cast<PyTypeObject*>(element.release());
  scope_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(scope));
  error_class = Py_NewRef(error);
  closed_message = Py_NewRef(message);
  scope_address_offset = scope_at;
  scope_owner_offset = scope_owner_at;
  document_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(doc));
  Py_RETURN_NONE;
}

PyMethodDef checked_methods[] = {
    {"checked_setup", checked_setup, METH_VARARGS,
     "checked_setup(document_type, scope_type, error_class, closed_message)"},
    {"checked_run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checked_run)),
     METH_FASTCALL,
     "checked_run(name, target, accept, fn, *args): the liveness check and the call in "
     "one step"},
    {"checked_run_pair",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checked_run_pair)), METH_FASTCALL,
     "checked_run_pair(name, element, other_name, other, fn, *args): run for two elements"},
    {"checked_close", checked_close, METH_O,
     "checked_close(document): mark the document closed and free it"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Adds the checked calls and their markers to the module.
int add_checked_calls(PyObject* module) {
  if (PyModule_AddFunctions(module, checked_methods) < 0) return -1;
  struct Marker {
    const char* name;
    PyObject** slot;
  };
  for (Marker m : {Marker{"DOC", &doc_marker}, Marker{"NODE", &node_marker},
                   Marker{"OWNER", &owner_marker}, Marker{"OTHER", &other_marker}}) {
    PyObject* marker = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    if (!marker) return -1;
    // The module holds the marker; the global is a borrowed pointer.
    if (PyModule_Add(module, m.name, marker) < 0) return -1;
    *m.slot = marker;
  }
  return 0;
}

}  // namespace korvith
