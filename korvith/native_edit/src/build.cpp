// The common building and editing operations in one C call each:
// SubElement and Element(tag, attrib) with plain arguments, the `text` and
// `tail` setters, set() and append() of an element.
//
// Each call converts and checks every argument first, then checks that the
// documents involved are alive and calls the engine, with no Python code
// in between (in the free-threaded build inside the documents' critical
// sections, which close() takes too), makes the wrappers and does the
// package's bookkeeping (structural edit count, cached tag/attrib, moving
// wrappers between registries) as korvith/editing.py does.
//
// The fast path takes only arguments whose conversion runs no user code:
// exact str names and values, exact dicts, wrappers of live elements of a
// korvith.Document. For anything else, and for every argument that the
// package would refuse, a call DECLINES before it changes anything (it
// returns None or False) and the package runs its Python path, which
// raises the package's own errors with the package's own messages. The
// name and character checks below use the same sets as editing.py's, so
// the two paths accept exactly the same input.
#include "../../element/element.h"
#include "binding.h"
#include "bookkeeping.h"
#include "build.h"
#include "document.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "korvith/abi.h"
#include "korvith/engine_ext.h"

namespace korvith {
namespace {

// The engine's prototypes: an entry whose signature drifts does not compile.
using NewElementFn = decltype(&korvith_edit_new_element);
using DocumentOfFn = decltype(&korvith_edit_document_of);
using AttachFn = decltype(&korvith_edit_attach);
using SetAttributeFn = decltype(&korvith_edit_set_attribute);
using SetTextFn = decltype(&korvith_edit_set_text);
using SetTailFn = decltype(&korvith_edit_set_tail);
using IsAncestorFn = decltype(&korvith_edit_is_ancestor);
using SubtreeFn = decltype(&korvith_edit_subtree);

// Set once by build_bind.
struct Bound {
  NewElementFn new_element = nullptr;
  DocumentOfFn document_of = nullptr;
  AttachFn attach = nullptr;
  SetAttributeFn set_attribute = nullptr;
  SetTextFn set_text = nullptr;
  SetTailFn set_tail = nullptr;
  IsAncestorFn is_ancestor = nullptr;
  SubtreeFn subtree = nullptr;
  PyTypeObject* element_type = nullptr;    // the accelerator's Element (strong)
  PyTypeObject* document_class = nullptr;  // korvith.Document (borrowed from document.cpp)
  PyObject* refused = nullptr;             // callable(what) -> KorvithError (strong)
};
Bound fns;

// What a call does with its arguments.
enum Outcome : int { kError = -1, kDecline = 0, kTake = 1 };

// ---- names and characters, the sets of korvith/editing.py ---------------

struct Range {
  Py_UCS4 lo;
  Py_UCS4 hi;
};

constexpr Range kNameStart[] = {
    {'A', 'Z'},       {'_', '_'},       {'a', 'z'},       {0xC0, 0xD6},     {0xD8, 0xF6},
    {0xF8, 0x2FF},    {0x370, 0x37D},   {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F},
    {0x2C00, 0x2FEF}, {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF},
};

constexpr Range kNameMore[] = {
    {'-', '-'}, {'.', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040},
};

template <size_t N>
bool in_ranges(Py_UCS4 c, const Range (&ranges)[N]) {
  for (const Range& r : ranges) {
    if (c >= r.lo && c <= r.hi) return true;
  }
  return false;
}

bool name_start(Py_UCS4 c) { return in_ranges(c, kNameStart); }
bool name_char(Py_UCS4 c) { return name_start(c) || in_ranges(c, kNameMore); }

// A character XML can hold.
bool xml_char(Py_UCS4 c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Whether the characters [start, end) of `s` form a name without a colon.
bool is_ncname(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
  if (start >= end) return false;
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  if (!name_start(PyUnicode_READ(kind, data, start))) return false;
  for (Py_ssize_t i = start + 1; i < end; ++i) {
    if (!name_char(PyUnicode_READ(kind, data, i))) return false;
  }
  return true;
}

// Whether every character of [start, end) of `s` is one XML can hold.
bool clean_chars(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  if (kind == PyUnicode_1BYTE_KIND) {
    // Latin-1: only the control characters below 0x20 are out.
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (Py_ssize_t i = start; i < end; ++i) {
      unsigned char c = bytes[i];
      if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
    }
    return true;
  }
  for (Py_ssize_t i = start; i < end; ++i) {
    if (!xml_char(PyUnicode_READ(kind, data, i))) return false;
  }
  return true;
}

// A converted name: its namespace URI (empty: none) and its local part,
// which points into the UTF-8 of the str it came from (the caller keeps
// that str alive).
struct Name {
  std::string uri;
  const char* local = nullptr;

  const char* uri_or_null() const { return uri.empty() ? nullptr : uri.c_str(); }
};

// "local" or "{uri}local", checked as split_name() checks it.
Outcome read_name(PyObject* obj, Name& out) {
  if (!PyUnicode_CheckExact(obj)) return kDecline;
  Py_ssize_t length = PyUnicode_GET_LENGTH(obj);
  Py_ssize_t local_start = 0;
  if (length > 0 && PyUnicode_READ_CHAR(obj, 0) == '{') {
    Py_ssize_t end = PyUnicode_FindChar(obj, '}', 1, length, 1);
    if (end == -2) return kError;
    if (end < 0) return kDecline;
    int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    for (Py_ssize_t i = 1; i < end; ++i) {
      Py_UCS4 c = PyUnicode_READ(kind, data, i);
      if (c == '{' || !xml_char(c)) return kDecline;
    }
    local_start = end + 1;
  }
  if (!is_ncname(obj, local_start, length)) return kDecline;
  const char* utf8 = PyUnicode_AsUTF8(obj);
  if (!utf8) return kError;
  if (local_start == 0) {
    out.local = utf8;
    return kTake;
  }
  // '}' is ASCII: it never occurs inside the encoding of another character.
  const char* close = std::strchr(utf8, '}');
  out.uri.assign(utf8 + 1, close);
  out.local = close + 1;
  return kTake;
}

// A text value as check_text() takes it: the UTF-8 of an exact str of
// characters XML can hold, or null for None when `none` allows it.
Outcome read_text(PyObject* obj, bool none, const char** out) {
  if (obj == Py_None && none) {
    *out = nullptr;
    return kTake;
  }
  if (!PyUnicode_CheckExact(obj)) return kDecline;
  if (!clean_chars(obj, 0, PyUnicode_GET_LENGTH(obj))) return kDecline;
  *out = PyUnicode_AsUTF8(obj);
  return *out ? kTake : kError;
}

struct Attribute {
  Name name;
  const char* value = nullptr;
};

// Whether every key of an exact dict is an exact str.
bool str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// The attributes of `attrib` (None or an exact dict) updated with `extra`
// (an exact dict), in the order the package sets them. `holder` keeps the
// merged dict, which the converted strings point into, alive.
Outcome read_attributes(PyObject* attrib, PyObject* extra, Ref& holder,
                        std::vector<Attribute>& out) {
  if (attrib != Py_None && !PyDict_CheckExact(attrib)) return kDecline;
  if (!PyDict_CheckExact(extra)) return kDecline;
  bool no_attrib = attrib == Py_None || PyDict_GET_SIZE(attrib) == 0;
  if (no_attrib && PyDict_GET_SIZE(extra) == 0) return kTake;
  // A private copy: nothing else changes it while it is read.
  holder = Ref(attrib != Py_None ? PyDict_Copy(attrib) : PyDict_New());
  if (!holder) return kError;
  PyObject* merged = holder.get();
  // Lookups in the merge compare keys: only str keys, so no user code.
  if (!str_keys(merged) || !str_keys(extra)) return kDecline;
  if (PyDict_GET_SIZE(extra) != 0 && PyDict_Update(merged, extra) < 0) return kError;
  out.reserve(static_cast<size_t>(PyDict_GET_SIZE(merged)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(merged, &pos, &key, &value)) {
    Attribute& a = out.emplace_back();
    Outcome got = read_name(key, a.name);
    if (got != kTake) return got;
    got = read_text(value, false, &a.value);
    if (got != kTake) return got;
  }
  return kTake;
}

// The tag and attributes of a new element, as read_name and
// read_attributes take them.
Outcome read_element(PyObject* tag_arg, PyObject* attrib, PyObject* extra, Name& tag, Ref& holder,
                     std::vector<Attribute>& attributes) {
  Outcome got = read_name(tag_arg, tag);
  if (got != kTake) return got;
  return read_attributes(attrib, extra, holder, attributes);
}

// ---- documents and wrappers ---------------------------------------------

AccelElement* as_wrapper(PyObject* obj) { return reinterpret_cast<AccelElement*>(obj); }

bool is_wrapper(PyObject* obj) { return PyObject_TypeCheck(obj, fns.element_type); }

// The wrapper's document when it is a korvith.Document (a new reference),
// else null: a streamed document's elements take the package's path.
PyObject* plain_document(PyObject* element) {
  PyObject* doc = std::atomic_ref<PyObject*>(as_wrapper(element)->document).load();
  if (!doc || !Py_IS_TYPE(doc, fns.document_class)) return nullptr;
  return Py_NewRef(doc);
}

// The engine element of a wrapper of `document` whose document is alive,
// or null. Run in the document's critical section, right before the call.
void* live_node(PyObject* element, PyObject* document) {
  AccelElement* el = as_wrapper(element);
  void* raw = std::atomic_ref<void*>(el->raw).load();
  if (!raw || raw == kPoison) return nullptr;
  // An adoption may have moved the wrapper to another document since the
  // caller read it.
  if (std::atomic_ref<PyObject*>(el->document).load() != document) return nullptr;
  if (!document_address(document)) return nullptr;
  return raw;
}

// The package's error for an edit the engine refused: "what: reason".
PyObject* raise_refused(const char* what) {
  Ref exc(PyObject_CallFunction(fns.refused, "s", what));
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

bool check_bound() {
  if (fns.element_type) return true;
  PyErr_SetString(PyExc_RuntimeError, "korvith building is not set up");
  return false;
}

// Sets the attributes on a new element. The refusal message, or null.
const char* set_attributes(void* node, const std::vector<Attribute>& attributes) {
  for (const Attribute& a : attributes) {
    if (fns.set_attribute(node, a.name.uri_or_null(), a.name.local, a.value) != 0) {
      return "cannot set the attribute";
    }
  }
  return nullptr;
}

// What one call hands back: the result, or a refusal to raise, or a
// decline.
struct Result {
  Ref value;
  const char* refused = nullptr;
  bool declined = false;
  bool no_memory = false;
};

// The new child of `parent`: made in the parent's document, appended to
// it, then given its attributes (so that their namespaces can use the
// declarations in scope there), as the package does it.
void make_child(PyObject* parent, PyObject* document, const Name& tag,
                const std::vector<Attribute>& attributes, Result& out) {
  void* anchor = live_node(parent, document);
  if (!anchor) {
    out.declined = true;
    return;
  }
  void* node = fns.new_element(anchor, tag.uri_or_null(), tag.local, nullptr, nullptr, 0);
  if (!node) {
    out.refused = "cannot create the element";
    return;
  }
  out.value = Ref(document_wrapper(document, node));
  if (!out.value) return;
  if (fns.attach(node, anchor, KORVITH_EDIT_APPEND) != 0) {
    out.value.reset();
    out.refused = "cannot move the node";
    return;
  }
  count_structural_edit();
  out.refused = set_attributes(node, attributes);
  if (out.refused) out.value.reset();
}

// sub_element(parent, tag, attrib, extra): the new child, or None when the
// package's own path must handle the arguments.
PyObject* build_sub_element(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "sub_element() takes (parent, tag, attrib, extra)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  PyObject* parent = args[0];
  if (!is_wrapper(parent)) Py_RETURN_NONE;
  Name tag;
  Ref holder;
  std::vector<Attribute> attributes;
  Outcome got = read_element(args[1], args[2], args[3], tag, holder, attributes);
  if (got == kError) return nullptr;
  if (got == kDecline) Py_RETURN_NONE;
  Ref document(plain_document(parent));
  if (!document) Py_RETURN_NONE;
  Result result;
  Py_BEGIN_CRITICAL_SECTION(document.get());
  make_child(parent, document.get(), tag, attributes, result);
  Py_END_CRITICAL_SECTION();
  if (result.refused) return raise_refused(result.refused);
  if (result.declined) Py_RETURN_NONE;
  return result.value.release();
}

// new_element(tag, attrib, extra): a new element, the root of a document
// of its own, or None when the package's own path must handle the
// arguments.
PyObject* build_new_element(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "new_element() takes (tag, attrib, extra)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  Name tag;
  Ref holder;
  std::vector<Attribute> attributes;
  Outcome got = read_element(args[0], args[1], args[2], tag, holder, attributes);
  if (got == kError) return nullptr;
  if (got == kDecline) Py_RETURN_NONE;
  // Nobody else can reach the new document: no critical section needed.
  void* node = fns.new_element(nullptr, tag.uri_or_null(), tag.local, nullptr, nullptr, 0);
  if (!node) return raise_refused("cannot create the element");
  Ref document(document_for_new(fns.document_of(node)));
  if (!document) return nullptr;
  Ref element(document_wrapper(document.get(), node));
  if (!element) return nullptr;
  const char* refused = set_attributes(node, attributes);
  if (refused) return raise_refused(refused);
  return element.release();
}

// assign(element, name, value): sets `text` or `tail`; False when the
// package's own path must do it.
PyObject* build_assign(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "assign() takes (element, name, value)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  PyObject* element = args[0];
  PyObject* name = args[1];
  if (!is_wrapper(element) || !PyUnicode_CheckExact(name)) Py_RETURN_FALSE;
  bool tail = PyUnicode_EqualToUTF8(name, "tail");
  if (!tail && !PyUnicode_EqualToUTF8(name, "text")) Py_RETURN_FALSE;
  const char* text = nullptr;
  Outcome got = read_text(args[2], true, &text);
  if (got == kError) return nullptr;
  if (got == kDecline) Py_RETURN_FALSE;
  Ref document(plain_document(element));
  if (!document) Py_RETURN_FALSE;
  bool declined = false;
  int status = 0;
  Py_BEGIN_CRITICAL_SECTION(document.get());
  void* node = live_node(element, document.get());
  if (!node) {
    declined = true;
  } else {
    status = tail ? fns.set_tail(node, text) : fns.set_text(node, text);
  }
  Py_END_CRITICAL_SECTION();
  if (declined) Py_RETURN_FALSE;
  if (status != 0) return raise_refused(tail ? "cannot set the tail" : "cannot set the text");
  Py_RETURN_TRUE;
}

// set_attribute(element, key, value): True once set; False when the
// package's own path must do it.
PyObject* build_set_attribute(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "set_attribute() takes (element, key, value)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  PyObject* element = args[0];
  if (!is_wrapper(element)) Py_RETURN_FALSE;
  Name key;
  Outcome got = read_name(args[1], key);
  if (got == kError) return nullptr;
  if (got == kDecline) Py_RETURN_FALSE;
  const char* value = nullptr;
  got = read_text(args[2], false, &value);
  if (got == kError) return nullptr;
  if (got == kDecline) Py_RETURN_FALSE;
  Ref document(plain_document(element));
  if (!document) Py_RETURN_FALSE;
  void* node = nullptr;
  int status = 0;
  Ref registry;
  Py_BEGIN_CRITICAL_SECTION(document.get());
  node = live_node(element, document.get());
  if (node) {
    registry = Ref::borrow(reinterpret_cast<DocumentObject*>(document.get())->registry);
    status = fns.set_attribute(node, key.uri_or_null(), key.local, value);
  }
  Py_END_CRITICAL_SECTION();
  if (!node) Py_RETURN_FALSE;
  if (status != 0) return raise_refused("cannot set the attribute");
  if (!registry || !forget_node(registry.get(), node)) return nullptr;
  Py_RETURN_TRUE;
}

// The elements, comments and processing instructions of the subtree of
// `node` (the wrappers that move with it to another document).
std::unordered_set<void*> subtree_nodes(void* node) {
  void* first[32];
  size_t count = fns.subtree(node, first, 32);
  if (count <= 32) return std::unordered_set<void*>(first, first + count);
  std::vector<void*> all(count);
  count = std::min(count, fns.subtree(node, all.data(), all.size()));
  return std::unordered_set<void*>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(count));
}

// Appends `child` to `parent` (both checked alive in their documents'
// critical sections) and moves its wrappers when it changes documents.
void move_child(PyObject* parent, PyObject* target, PyObject* child, PyObject* source,
                std::vector<PyObject*>& dropped, Result& out) {
  void* anchor = live_node(parent, target);
  void* node = anchor ? live_node(child, source) : nullptr;
  if (!node || fns.is_ancestor(node, anchor) != 0) {
    out.declined = true;  // the package raises its own error
    return;
  }
  Registry* from = nullptr;
  Registry* to = nullptr;
  std::unordered_set<void*> moving;
  if (source != target) {
    from = registry_from(reinterpret_cast<DocumentObject*>(source)->registry);
    to = from ? registry_from(reinterpret_cast<DocumentObject*>(target)->registry) : nullptr;
    if (!to) {
      PyErr_Clear();
      out.declined = true;
      return;
    }
    try {
      moving = subtree_nodes(node);
    } catch (const std::bad_alloc&) {
      out.no_memory = true;
      return;
    }
  }
  if (fns.attach(node, anchor, KORVITH_EDIT_APPEND) != 0) {
    out.refused = "cannot move the node";
    return;
  }
  count_structural_edit();
  if (from) {
    try {
      adopt_wrappers(from, to, target, moving, dropped);
    } catch (const std::bad_alloc&) {
      out.no_memory = true;
    }
  }
}

// append(parent, child): True once `child` (an element) is the last child
// of `parent`; False when the package's own path must do it.
PyObject* build_append(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "append() takes (parent, child)");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  PyObject* parent = args[0];
  PyObject* child = args[1];
  if (!is_wrapper(parent) || !is_wrapper(child)) Py_RETURN_FALSE;
  Ref target(plain_document(parent));
  Ref source(target ? plain_document(child) : nullptr);
  if (!source) Py_RETURN_FALSE;
  Result result;
  std::vector<PyObject*> dropped;
  // Room for the old documents of the moved wrappers, reserved before the
  // critical section: nothing in there may fail half way.
  dropped.reserve(16);
  Py_BEGIN_CRITICAL_SECTION2(target.get(), source.get());
  move_child(parent, target.get(), child, source.get(), dropped, result);
  Py_END_CRITICAL_SECTION2();
  // The old documents go last: the last reference to one closes it.
  release_all(dropped);
  if (result.no_memory) return PyErr_NoMemory();
  if (result.refused) return raise_refused(result.refused);
  if (result.declined) Py_RETURN_FALSE;
  Py_RETURN_TRUE;
}

// build_bind(element_type, refused, new_element, document_of, attach,
// set_attribute, set_text, set_tail, is_ancestor, subtree): once at import,
// after the documents are bound.
PyObject* build_bind(PyObject* const* args, Py_ssize_t nargs) {
  constexpr Py_ssize_t kEntries = 8;
  if (nargs != 2 + kEntries || !PyType_Check(args[0]) || !PyCallable_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError,
                    "build_bind() takes the Element type, a refusal factory and 8 addresses");
    return nullptr;
  }
  if (fns.element_type) {
    PyErr_SetString(PyExc_RuntimeError, "building is already set up");
    return nullptr;
  }
  Bound b;
  b.document_class = bound_document_class();
  if (!b.document_class) {
    PyErr_SetString(PyExc_RuntimeError, "korvith documents are not set up");
    return nullptr;
  }
  PyObject* const* at = args + 2;
  if (!take_address(at[0], &b.new_element) || !take_address(at[1], &b.document_of) ||
      !take_address(at[2], &b.attach) || !take_address(at[3], &b.set_attribute) ||
      !take_address(at[4], &b.set_text) || !take_address(at[5], &b.set_tail) ||
      !take_address(at[6], &b.is_ancestor) || !take_address(at[7], &b.subtree)) {
    return nullptr;
  }
  // Kept for the life of the process, as the modules that define them are.
  b.element_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(args[0]));
  b.refused = Py_NewRef(args[1]);
  fns = b;
  Py_RETURN_NONE;
}

// ---- Element.__setattr__ --------------------------------------------------
//
// `el.text = ...` and `el.tail = ...` are the commonest edits there are.
// The package's __setattr__ (editing._setattr) stays in the type's dict,
// so the type's members are what they were; the type's setattro slot,
// which would call it, is wrapped: text and tail are set here without a
// Python frame, and every other assignment, every one declined and every
// deletion go to the slot as it was. Assigning Element.__setattr__ again
// resets the slot, which only makes assignments take the slower path.

setattrofunc package_setattro = nullptr;  // the slot that calls editing._setattr

int element_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (value) {
    try {
      PyObject* call[] = {self, name, value};
      Ref done(build_assign(call, 3));
      if (!done) return -1;
      if (done.get() == Py_True) return 0;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return -1;
    }
  }
  return package_setattro(self, name, value);
}

// install_setattr(): wraps Element's setattro slot (after the package set
// Element.__setattr__).
PyObject* build_install_setattr(PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 0) {
    PyErr_SetString(PyExc_TypeError, "install_setattr() takes no arguments");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  PyTypeObject* type = fns.element_type;
  if (type->tp_setattro == element_setattro) Py_RETURN_NONE;
  if (!type->tp_setattro || type->tp_setattro == PyObject_GenericSetAttr) {
    PyErr_SetString(PyExc_RuntimeError, "Element.__setattr__ is not the package's");
    return nullptr;
  }
  package_setattro = type->tp_setattro;
  type->tp_setattro = element_setattro;
  PyType_Modified(type);
  Py_RETURN_NONE;
}

// ---- Element.__new__ ------------------------------------------------------
//
// `Element(tag)` and `Element(tag, attrib, **extra)` make the element in
// this call; everything else (no arguments, `nsmap`, names given as
// keywords, declined arguments) goes to the package's __new__
// (editing._element_new) with the arguments as they came.

PyObject* new_fallback = nullptr;  // editing._element_new (strong)

// Whether a keyword names one of the parameters rather than an attribute.
bool is_parameter_name(PyObject* name) {
  return PyUnicode_EqualToUTF8(name, "tag") || PyUnicode_EqualToUTF8(name, "attrib") ||
         PyUnicode_EqualToUTF8(name, "nsmap");
}

// The attributes given as keywords, as a new dict; null with no error
// when one of them names a parameter.
PyObject* keyword_attributes(PyObject* const* values, PyObject* kwnames) {
  Ref extra(PyDict_New());
  if (!extra) return nullptr;
  Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (is_parameter_name(name)) return nullptr;
    if (PyDict_SetItem(extra.get(), name, values[i]) < 0) return nullptr;
  }
  return extra.release();
}

PyObject* element_new(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  // args[0] is the class; then tag and, optionally, attrib.
  if (nargs == 2 || nargs == 3) {
    Ref extra(keyword_attributes(args + nargs, kwnames));
    if (!extra && PyErr_Occurred()) return nullptr;
    if (extra) {
      PyObject* call[] = {args[1], nargs == 3 ? args[2] : Py_None, extra.get()};
      Ref made(build_new_element(call, 3));
      if (!made) return nullptr;
      if (made.get() != Py_None) return made.release();
    }
  }
  return PyObject_Vectorcall(new_fallback, args, nargsf, kwnames);
}

PyObject* guarded_new(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    return element_new(self, args, nargsf, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef new_def = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_new)),
    METH_FASTCALL | METH_KEYWORDS,
    "Create and return a new element: Element(tag, attrib=None, nsmap=None, **extra)."};

// install_new(fallback): makes Element.__new__ the one-call constructor,
// `fallback(cls, *args, **kwargs)` doing everything else.
PyObject* build_install_new(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1 || !PyCallable_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "install_new() takes a callable");
    return nullptr;
  }
  if (!check_bound()) return nullptr;
  Ref function(PyCFunction_New(&new_def, nullptr));
  Ref method(function ? PyStaticMethod_New(function.get()) : nullptr);
  if (!method) return nullptr;
  Py_XSETREF(new_fallback, Py_NewRef(args[0]));
  auto* type = reinterpret_cast<PyObject*>(fns.element_type);
  if (PyObject_SetAttrString(type, "__new__", method.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// No C++ exception leaves a call: running out of memory is a MemoryError.
template <PyObject* (*Impl)(PyObject* const*, Py_ssize_t)>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    return Impl(args, nargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef build_methods[] = {
    {"build_bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_bind>)),
     METH_FASTCALL,
     "build_bind(element_type, refused, new_element, document_of, attach, set_attribute, "
     "set_text, set_tail, is_ancestor, subtree): bind the one-call edits"},
    {"sub_element",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_sub_element>)),
     METH_FASTCALL,
     "sub_element(parent, tag, attrib, extra): the new last child, or None to take the "
     "package's path"},
    {"new_element",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_new_element>)),
     METH_FASTCALL,
     "new_element(tag, attrib, extra): a new root element, or None to take the package's "
     "path"},
    {"assign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_assign>)),
     METH_FASTCALL,
     "assign(element, name, value): set text or tail; False to take the package's path"},
    {"set_attribute",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_set_attribute>)),
     METH_FASTCALL,
     "set_attribute(element, key, value): set one attribute; False to take the package's "
     "path"},
    {"install_setattr",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_install_setattr>)),
     METH_FASTCALL, "install_setattr(): Element's text and tail assignments in one call"},
    {"install_new",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_install_new>)),
     METH_FASTCALL, "install_new(fallback): Element.__new__ making elements in one call"},
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<build_append>)),
     METH_FASTCALL, "append(parent, child): append an element; False to take the package's path"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_build(PyObject* module) { return PyModule_AddFunctions(module, build_methods) == 0; }

}  // namespace korvith
