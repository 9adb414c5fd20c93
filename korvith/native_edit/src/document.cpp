// The lifetime of an engine document, and the parse entry points that make
// a korvith.Document in one call.
//
// DocumentBase is the C base of korvith.Document. It holds the engine
// address, the registry capsule of the document's live wrappers, what the
// engine document reads from (`keepalive`) and a closed flag. Releasing a
// document happens exactly once, on close() or when the object is garbage,
// whichever comes first:
//
//   1. in the document's critical section: set `closed`, take the address
//      out (every checked call reads it there and then refuses), poison the
//      wrappers (`invalidate`), and free a small engine document;
//   2. after the critical section: free a big engine document with the
//      interpreter released, so other threads run meanwhile. Nothing can
//      reach it any more: the address is gone from the object and every
//      wrapper is poisoned.
//
// A document counts as big when it was parsed from more than
// kHeldFreeLimit bytes or from a file (whose size the parse does not
// report); freeing a small one takes less time than releasing and retaking
// the interpreter costs.
//
// The engine entries come as addresses from the package at import
// (`document_bind`), as find.cpp and stream.cpp get theirs.
#include "document.h"

#include "../../element/element.h"
#include "binding.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <structmember.h>

#include "korvith/abi.h"
#include "korvith/engine_ext.h"

namespace korvith {

PyTypeObject* document_base_type = nullptr;

namespace {

// The engine's prototypes: an entry whose signature drifts does not compile.
using ParseFn = decltype(&korvith_parse_string_fn);
using ParseExFn = decltype(&korvith_parse_string_ex);
using ParseFileFn = decltype(&korvith_parse_file_enc);
using FreeFn = decltype(&korvith_document_free);
using RootFn = decltype(&korvith_document_root);

// Documents parsed from more bytes than this are freed with the
// interpreter released (as they were parsed).
constexpr Py_ssize_t kHeldFreeLimit = 16 << 10;

// Set once by document_bind.
struct Bound {
  ParseFn parse_string = nullptr;
  ParseExFn parse_string_ex = nullptr;
  ParseFileFn parse_file = nullptr;
  FreeFn document_free = nullptr;
  RootFn document_root_fn = nullptr;
  PyTypeObject* document_class = nullptr;  // korvith.Document (strong)
  PyTypeObject* element_type = nullptr;    // the accelerator's Element (strong)
  PyObject* new_registry = nullptr;        // the accelerator's builtins (strong)
  PyObject* invalidate = nullptr;
  PyObject* errors_module = nullptr;  // korvith.errors (strong)
  PyObject* parse_error = nullptr;    // status -> ParseError (strong)
  PyObject* file_error = nullptr;     // (status, name) -> OSError or ParseError (strong)
  PyObject* path_like = nullptr;      // os.PathLike (strong)
  PyObject* no_root_message = nullptr;
  PyObject* closed_message = nullptr;
  PyObject* error_class = nullptr;  // KorvithError (strong)
};
Bound bound_fns;

// Interned once: the name set on korvith.errors before poisoning.
PyObject* poisoning_attr = nullptr;
PyObject* closed_kind = nullptr;

DocumentObject* as_document(PyObject* obj) { return reinterpret_cast<DocumentObject*>(obj); }

bool is_big(const DocumentObject* self) { return self->size < 0 || self->size > kHeldFreeLimit; }

// Tells korvith.errors that wrappers were poisoned by a close (its
// messages name the likely cause). Failing to say so changes no outcome.
void note_closed() {
  if (!bound_fns.errors_module) return;
  PyObject* pending = PyErr_GetRaisedException();
  // Storing into a module's namespace invalidates the interpreter's caches
  // of it: store only when the value changes.
  Ref now(PyObject_GetAttr(bound_fns.errors_module, poisoning_attr));
  if (!now || now.get() != closed_kind) {
    if (PyObject_SetAttr(bound_fns.errors_module, poisoning_attr, closed_kind) < 0) PyErr_Clear();
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

// Step 1 of a release, in the document's critical section, once `closed`
// is set and the address taken. True when the caller must still free
// `address` with the interpreter released.
bool release_held(DocumentObject* self, void* address, PyObject* keepalive, PyObject* release,
                  bool* free_later) {
  note_closed();
  PyObject* registry = self->registry ? self->registry : Py_None;
  if (release) {
    // A caller's own release (Document._adopt(release=...)).
    Ref where(PyLong_FromVoidPtr(address));
    if (!where) return false;
    PyObject* args[] = {where.get(), registry, keepalive ? keepalive : Py_None};
    Ref done(PyObject_Vectorcall(release, args, 3, nullptr));
    return static_cast<bool>(done);
  }
  // Poison every wrapper before the memory goes away. A registry that
  // cannot be poisoned leaves the document unfreed: a leak, never a read
  // of freed memory.
  Ref poisoned(PyObject_CallOneArg(bound_fns.invalidate, registry));
  if (!poisoned) return false;
  if (!address || !bound_fns.document_free) return true;
  if (is_big(self)) {
    *free_later = true;
  } else {
    bound_fns.document_free(address);
  }
  return true;
}

}  // namespace

void* document_address(PyObject* document) {
  return std::atomic_ref<void*>(as_document(document)->address).load();
}

bool document_release(PyObject* obj) {
  DocumentObject* self = as_document(obj);
  void* address = nullptr;
  PyObject* keepalive = nullptr;
  PyObject* release = nullptr;
  bool ok = true;
  bool free_later = false;
  Py_BEGIN_CRITICAL_SECTION(obj);
  if (std::atomic_ref<int>(self->closed).exchange(1) == 0) {
    address = std::atomic_ref<void*>(self->address).exchange(nullptr);
    keepalive = std::exchange(self->keepalive, nullptr);
    release = std::exchange(self->release, nullptr);
    // At interpreter exit the process frees everything anyway, and what
    // the release needs may already be gone.
    if (!Py_IsFinalizing()) ok = release_held(self, address, keepalive, release, &free_later);
  }
  Py_END_CRITICAL_SECTION();
  if (free_later) {
    Py_BEGIN_ALLOW_THREADS;
    bound_fns.document_free(address);
    Py_END_ALLOW_THREADS;
  }
  // What the engine document read from goes only after it is freed.
  Py_XDECREF(keepalive);
  Py_XDECREF(release);
  return ok;
}

namespace {

// ---- the type -------------------------------------------------------------

PyObject* document_new(PyTypeObject*, PyObject*, PyObject*) {
  // A document is only ever made around an engine document the package
  // parsed itself: an address from anywhere else would be read as a tree.
  PyErr_SetString(PyExc_TypeError,
                  "korvith.Document cannot be created directly; use korvith.parse(), "
                  "parse_file() or fromstring()");
  return nullptr;
}

// A new document of `type` owning `address`, or null with the engine
// document still the caller's. `registry`, `filename` (null: None),
// `keepalive` and `release` (null: none) are borrowed.
PyObject* new_document(PyTypeObject* type, void* address, PyObject* registry, int status,
                       PyObject* filename, Py_ssize_t size, PyObject* keepalive = nullptr,
                       PyObject* release = nullptr) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  DocumentObject* self = as_document(obj);
  self->address = address;
  self->registry = Py_XNewRef(registry);
  self->filename = Py_NewRef(filename ? filename : Py_None);
  self->keepalive = Py_XNewRef(keepalive);
  self->release = Py_XNewRef(release);
  self->status = status;
  self->size = size;
  return obj;
}

// As new_document, but the engine document is freed when the object
// cannot be made.
PyObject* make_document(PyTypeObject* type, void* address, PyObject* registry, int status,
                        PyObject* filename, Py_ssize_t size) {
  PyObject* obj = new_document(type, address, registry, status, filename, size);
  if (!obj) {
    PyObject* pending = PyErr_GetRaisedException();
    if (bound_fns.document_free) bound_fns.document_free(address);
    PyErr_SetRaisedException(pending);
  }
  return obj;
}

void document_finalize(PyObject* self) {
  if (std::atomic_ref<int>(as_document(self)->closed).load()) return;
  PyObject* pending = PyErr_GetRaisedException();
  if (!document_release(self)) PyErr_WriteUnraisable(self);
  PyErr_SetRaisedException(pending);
}

int document_traverse(PyObject* obj, visitproc visit, void* arg) {
  DocumentObject* self = as_document(obj);
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(self->registry);
  Py_VISIT(self->keepalive);
  Py_VISIT(self->release);
  Py_VISIT(self->filename);
  return 0;
}

int document_clear(PyObject* obj) {
  // The collector finalizes (releases) a document before it clears it; a
  // document still open here is released first all the same, so that its
  // keepalive never goes before the engine document.
  document_finalize(obj);
  DocumentObject* self = as_document(obj);
  Py_CLEAR(self->keepalive);
  Py_CLEAR(self->release);
  Py_CLEAR(self->filename);
  Py_CLEAR(self->registry);
  return 0;
}

void document_dealloc(PyObject* obj) {
  if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
  PyObject_GC_UnTrack(obj);
  DocumentObject* self = as_document(obj);
  if (self->weakreflist) PyObject_ClearWeakRefs(obj);
  Py_CLEAR(self->keepalive);
  Py_CLEAR(self->release);
  Py_CLEAR(self->filename);
  Py_CLEAR(self->registry);
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* document_get_address(PyObject* self, void*) {
  return PyLong_FromVoidPtr(document_address(self));
}

PyObject* document_get_registry(PyObject* self, void*) {
  PyObject* registry = as_document(self)->registry;
  return Py_NewRef(registry ? registry : Py_None);
}

PyObject* document_get_closed(PyObject* self, void*) {
  return PyBool_FromLong(std::atomic_ref<int>(as_document(self)->closed).load());
}

PyObject* document_get_free_releases_gil(PyObject* self, void*) {
  return PyBool_FromLong(is_big(as_document(self)));
}

PyObject* document_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* document_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
  if (!document_release(self)) return nullptr;
  Py_RETURN_NONE;
}

// _adopt(address, registry, status=0, *, filename=None, keepalive=None,
// release=None, size=0): the document owning `address`, an engine
// document the package has just made. `release(address, registry,
// keepalive)` replaces the engine's release; `size` (bytes parsed, -1 for
// a file) decides whether the free releases the interpreter.
PyObject* document_adopt(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"address",   "registry", "status", "filename",
                                "keepalive", "release",  "size",   nullptr};
  PyObject* address_arg = nullptr;
  PyObject* registry = nullptr;
  int status = 0;
  PyObject* filename = Py_None;
  PyObject* keepalive = Py_None;
  PyObject* release = Py_None;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O|i$OOOn:_adopt", const_cast<char**>(names),
                                   &PyLong_Type, &address_arg, &registry, &status, &filename,
                                   &keepalive, &release, &size)) {
    return nullptr;
  }
  if (!bound_fns.document_free) {
    PyErr_SetString(PyExc_RuntimeError, "korvith documents are not set up");
    return nullptr;
  }
  void* address = PyLong_AsVoidPtr(address_arg);
  if (!address) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "address must not be 0");
    return nullptr;
  }
  if (release != Py_None && !PyCallable_Check(release)) {
    PyErr_SetString(PyExc_TypeError, "release must be callable or None");
    return nullptr;
  }
  // The engine document stays the caller's when this fails.
  return new_document(reinterpret_cast<PyTypeObject*>(cls), address, registry, status, filename,
                      size, keepalive == Py_None ? nullptr : keepalive,
                      release == Py_None ? nullptr : release);
}

PyGetSetDef document_getset[] = {
    {"_address", document_get_address, nullptr, "the engine document; 0 once closed", nullptr},
    {"_accel_registry", document_get_registry, nullptr, "the registry of live wrappers", nullptr},
    {"closed", document_get_closed, nullptr, "whether the document was released", nullptr},
    {"_free_releases_gil", document_get_free_releases_gil, nullptr,
     "whether freeing the engine document releases the interpreter", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef document_members[] = {
    {"status", Py_T_INT, offsetof(DocumentObject, status), 0, "the engine's parse status"},
    {"filename", Py_T_OBJECT_EX, offsetof(DocumentObject, filename), 0, "the file parsed, or None"},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(DocumentObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef document_methods[] = {
    {"_adopt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_adopt)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "_adopt(address, registry, status=0, *, filename=None, keepalive=None, release=None, "
     "size=0)"},
    {"__enter__", document_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(document_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot document_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(document_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(document_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(document_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(document_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(document_clear)},
    {Py_tp_getset, document_getset},
    {Py_tp_members, document_members},
    {Py_tp_methods, document_methods},
    {Py_tp_doc, const_cast<char*>("The engine document a korvith.Document owns.")},
    {0, nullptr},
};

PyType_Spec document_spec = {
    "korvith._korvithedit.DocumentBase",
    sizeof(DocumentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    document_slots,
};

// ---- parse entry points ---------------------------------------------------

// Raises the exception `factory(*args)` returns.
PyObject* raise_made(PyObject* factory, PyObject* const* args, size_t nargs) {
  Ref error(PyObject_Vectorcall(factory, args, nargs, nullptr));
  if (!error) return nullptr;
  if (!PyExceptionInstance_Check(error.get())) {
    PyErr_SetString(PyExc_TypeError, "the error factory did not return an exception");
    return nullptr;
  }
  PyErr_SetRaisedException(error.release());
  return nullptr;
}

bool check_bound() {
  if (bound_fns.document_class) return true;
  PyErr_SetString(PyExc_RuntimeError, "korvith documents are not set up");
  return false;
}

// A Document owning the engine document `address`, with a registry of its
// own; the engine document is freed when that cannot be made.
PyObject* owning_document(void* address, int status, PyObject* filename, Py_ssize_t size) {
  Ref registry(PyObject_CallNoArgs(bound_fns.new_registry));
  if (!registry) {
    PyObject* pending = PyErr_GetRaisedException();
    bound_fns.document_free(address);
    PyErr_SetRaisedException(pending);
    return nullptr;
  }
  return make_document(bound_fns.document_class, address, registry.get(), status, filename, size);
}

// The Document for a parse's answer; the parse error when there is none.
PyObject* finish(void* address, int status, PyObject* filename, Py_ssize_t size) {
  if (!address) {
    Ref code(PyLong_FromLong(status));
    if (!code) return nullptr;
    if (filename) {
      PyObject* args[] = {code.get(), filename};
      return raise_made(bound_fns.file_error, args, 2);
    }
    PyObject* args[] = {code.get()};
    return raise_made(bound_fns.parse_error, args, 1);
  }
  return owning_document(address, status, filename, size);
}

// parse_small(data, recover): the Document of `data` (bytes), parsed
// strictly with the default options and the interpreter held (small
// input: the parse takes less time than releasing the interpreter costs).
PyObject* parse_small(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyBytes_CheckExact(args[0])) {
    PyErr_SetString(PyExc_TypeError, "expected (bytes, recover)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  int recover = PyObject_IsTrue(args[1]);
  if (recover < 0) return nullptr;
  const char* data = PyBytes_AS_STRING(args[0]);
  Py_ssize_t length = PyBytes_GET_SIZE(args[0]);
  int status = 0;
  void* address = nullptr;
  if (recover) {
    const korvith_parse_options options{0, -1, 0, 1};
    address = bound_fns.parse_string_ex(data, static_cast<size_t>(length), &options, &status);
  } else {
    address = bound_fns.parse_string(data, static_cast<size_t>(length), &status);
  }
  return finish(address, status, nullptr, length);
}

// The registry a document's capsule holds, or null when it holds none
// (then the wrapper is not linked, as the accelerator does). Never fails.
Registry* registry_in(PyObject* capsule) {
  if (!capsule || !PyCapsule_CheckExact(capsule)) return nullptr;
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (!registry) PyErr_Clear();
  return registry;
}

// A registered wrapper of the root element of `document`, whose engine
// document is `address`: the caller checked that it is alive and keeps it
// so (a new document nobody else has, or the document's critical
// section).
PyObject* root_wrapper(PyObject* document, void* address) {
  void* root = bound_fns.document_root_fn(address);
  if (!root) {
    PyErr_SetObject(bound_fns.error_class, bound_fns.no_root_message);
    return nullptr;
  }
  return new_linked_wrapper(bound_fns.element_type, root, document,
                            registry_in(as_document(document)->registry));
}

// document_root(document): the root element of a live korvith.Document;
// the liveness check and the engine call in one step.
PyObject* checked_root(PyObject*, PyObject* document) {
  if (!check_bound()) return nullptr;
  if (!PyObject_TypeCheck(document, bound_fns.document_class)) {
    Ref name(PyType_GetName(Py_TYPE(document)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "document must be a Document, not %U", name.get());
    return nullptr;
  }
  PyObject* result = nullptr;
  Py_BEGIN_CRITICAL_SECTION(document);
  void* address = document_address(document);
  if (address) {
    result = root_wrapper(document, address);
  } else {
    PyErr_SetObject(bound_fns.error_class, bound_fns.closed_message);
  }
  Py_END_CRITICAL_SECTION();
  return result;
}

// fromstring_small(data, recover): the root element of that document.
PyObject* fromstring_small(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  Ref document(parse_small(nullptr, args, nargs));
  if (!document) return nullptr;
  // Nobody else has the new document yet: it cannot be closed meanwhile.
  return root_wrapper(document.get(), as_document(document.get())->address);
}

// The file name a path gives (os.fspath) and its bytes for the engine
// (os.fsencode), refusing an embedded NUL.
bool path_names(PyObject* path, Ref& name, Ref& encoded) {
  if (!PyUnicode_Check(path) && !PyBytes_Check(path)) {
    int like = PyObject_IsInstance(path, bound_fns.path_like);
    if (like < 0) return false;
    if (!like) {
      PyErr_Format(PyExc_TypeError, "path must be a str, bytes or os.PathLike, not %s",
                   Py_TYPE(path)->tp_name);
      return false;
    }
  }
  name = Ref(PyOS_FSPath(path));
  if (!name) return false;
  encoded = Ref(PyUnicode_Check(name.get()) ? PyUnicode_EncodeFSDefault(name.get())
                                            : Py_NewRef(name.get()));
  if (!encoded) return false;
  const char* bytes = PyBytes_AS_STRING(encoded.get());
  if (std::memchr(bytes, 0, static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())))) {
    PyErr_SetString(PyExc_ValueError, "embedded NUL character in path");
    return false;
  }
  return true;
}

// parse_path(path): the Document of the file at `path` with the default
// options, parsed with the interpreter released.
PyObject* parse_path(PyObject*, PyObject* path) {
  if (!check_bound()) return nullptr;
  Ref name;
  Ref encoded;
  if (!path_names(path, name, encoded)) return nullptr;
  const char* file = PyBytes_AS_STRING(encoded.get());
  int status = 0;
  void* address = nullptr;
  Py_BEGIN_ALLOW_THREADS;
  address = bound_fns.parse_file(file, nullptr, nullptr, &status);
  Py_END_ALLOW_THREADS;
  return finish(address, status, name.get(), -1);
}

// document_bind(document_class, parse_string, parse_string_ex, parse_file,
// document_free, document_root, accel_module, errors_module, parse_error, file_error,
// path_like, no_root_message, closed_message): what the documents and the parse entry
// points need, once at import.
PyObject* document_bind(PyObject*, PyObject* args) {
  PyObject* cls = nullptr;
  PyObject* addresses[5] = {};
  PyObject* accel = nullptr;
  PyObject* errors = nullptr;
  PyObject* parse_error = nullptr;
  PyObject* file_error = nullptr;
  PyObject* path_like = nullptr;
  PyObject* message = nullptr;
  PyObject* closed = nullptr;
  if (!PyArg_ParseTuple(args, "O!O!O!O!O!O!OOOOOUU:document_bind", &PyType_Type, &cls, &PyLong_Type,
                        &addresses[0], &PyLong_Type, &addresses[1], &PyLong_Type, &addresses[2],
                        &PyLong_Type, &addresses[3], &PyLong_Type, &addresses[4], &accel, &errors,
                        &parse_error, &file_error, &path_like, &message, &closed)) {
    return nullptr;
  }
  if (bound_fns.document_class) {
    PyErr_SetString(PyExc_RuntimeError, "documents are already set up");
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!PyType_IsSubtype(type, document_base_type)) {
    PyErr_SetString(PyExc_TypeError, "document_class must derive from DocumentBase");
    return nullptr;
  }
  Bound b;
  if (!take_address(addresses[0], &b.parse_string) ||
      !take_address(addresses[1], &b.parse_string_ex) ||
      !take_address(addresses[2], &b.parse_file) || !take_address(addresses[3], &b.document_free) ||
      !take_address(addresses[4], &b.document_root_fn)) {
    return nullptr;
  }
  Ref new_registry(PyObject_GetAttrString(accel, "new_registry"));
  Ref invalidate(new_registry ? PyObject_GetAttrString(accel, "invalidate") : nullptr);
  Ref element(invalidate ? PyObject_GetAttrString(accel, "Element") : nullptr);
  Ref error_class(element ? PyObject_GetAttrString(errors, "KorvithError") : nullptr);
  if (!error_class) return nullptr;
  if (!PyType_Check(element.get())) {
    PyErr_SetString(PyExc_TypeError, "the accelerator's Element is not a type");
    return nullptr;
  }
  // Kept for the life of the process, as the modules that define them are.
  b.document_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
  b.new_registry = new_registry.release();
  b.invalidate = invalidate.release();
  b.element_type = reinterpret_cast<PyTypeObject*>(element.release());
  b.errors_module = Py_NewRef(errors);
  b.error_class = error_class.release();
  b.parse_error = Py_NewRef(parse_error);
  b.file_error = Py_NewRef(file_error);
  b.path_like = Py_NewRef(path_like);
  b.no_root_message = Py_NewRef(message);
  b.closed_message = Py_NewRef(closed);
  bound_fns = b;
  Py_RETURN_NONE;
}

PyMethodDef document_functions[] = {
    {"document_bind", document_bind, METH_VARARGS,
     "document_bind(document_class, parse_string, parse_string_ex, parse_file, document_free, "
     "document_root, accel, errors, parse_error, file_error, path_like, no_root_message, "
     "closed_message)"},
    {"parse_small", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_small)),
     METH_FASTCALL, "parse_small(data, recover): the Document of small bytes"},
    {"fromstring_small",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fromstring_small)), METH_FASTCALL,
     "fromstring_small(data, recover): the root element of small bytes"},
    {"document_root", checked_root, METH_O,
     "document_root(document): the root element of a live Document"},
    {"parse_path", parse_path, METH_O,
     "parse_path(path): the Document of a file, with the default options"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* bound_document_class() { return bound_fns.document_class; }

PyObject* document_for_new(void* address) {
  if (!check_bound()) return nullptr;
  return owning_document(address, 0, nullptr, 0);
}

PyObject* document_wrapper(PyObject* document, void* raw) {
  return new_linked_wrapper(bound_fns.element_type, raw, document,
                            registry_in(as_document(document)->registry));
}

bool add_document(PyObject* module) {
  poisoning_attr = PyUnicode_InternFromString("last_poisoning");
  closed_kind = poisoning_attr ? PyUnicode_InternFromString("closed") : nullptr;
  if (!closed_kind) return false;
  PyObject* type = PyType_FromSpec(&document_spec);
  if (!type) return false;
  // The module keeps the type alive; the global is a borrowed pointer.
  if (PyModule_Add(module, "DocumentBase", type) < 0) return false;
  document_base_type = reinterpret_cast<PyTypeObject*>(type);
  return PyModule_AddFunctions(module, document_functions) == 0;
}

}  // namespace korvith
