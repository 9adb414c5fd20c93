// The items of an XPath node-set with every node, made in one C call from
// the engine's snapshot of it: elements become registered wrappers, the
// document node the document object, namespace nodes (prefix, uri) tuples
// and every other node an XPathString. The snapshot holds copies of every
// string, so nothing here reads the tree; the package checks afterwards
// that the document was not closed while the wrappers were made.
//
// The engine's snapshot readers and the XPathString class come from the
// package at import (snapshot_bind), as find.cpp gets its entries.
#include "snapshot.h"

#include <vector>

#include "../../element/element.h"
#include "binding.h"
#include "korvith/abi.h"
#include "korvith/engine_ext.h"

namespace korvith {
namespace {

using CountFn = decltype(&korvith_snapshot_count);
using LayoutFn = decltype(&korvith_snapshot_layout);
using TextFn = decltype(&korvith_snapshot_value);

struct Bound {
  CountFn count = nullptr;
  LayoutFn layout = nullptr;
  TextFn value = nullptr;
  TextFn name = nullptr;
  PyTypeObject* string_type = nullptr;  // korvith.xpath_nodes.XPathString (strong)
  // Interned slot names and kind values of an XPathString.
  PyObject* slot_kind = nullptr;
  PyObject* slot_attrname = nullptr;
  PyObject* slot_target = nullptr;
  PyObject* kind_text = nullptr;
  PyObject* kind_attribute = nullptr;
  PyObject* kind_comment = nullptr;
  PyObject* kind_pi = nullptr;
  PyObject* kind_other = nullptr;
};

Bound bound;
PyTypeObject* elem_type = nullptr;  // the accelerator's Element (borrowed; never unloaded)

PyObject* kind_name(int kind) {
  switch (kind) {
    case KORVITH_NODE_TEXT:
    case KORVITH_NODE_CDATA: return bound.kind_text;
    case KORVITH_NODE_ATTRIBUTE: return bound.kind_attribute;
    case KORVITH_NODE_COMMENT: return bound.kind_comment;
    case KORVITH_NODE_PI: return bound.kind_pi;
    default: return bound.kind_other;
  }
}

PyObject* decoded(const char* text) { return PyUnicode_FromString(text ? text : ""); }

// An XPathString as XPathString(value, kind, name) makes it: the str, its
// kind, `attrname` for an attribute and `target` for a processing
// instruction (None otherwise, and for an empty name).
PyObject* xpath_string(int kind, const char* value, const char* name) {
  Ref text(decoded(value));
  if (!text) return nullptr;
  Ref args(PyTuple_Pack(1, text.get()));
  if (!args) return nullptr;
  Ref out(PyUnicode_Type.tp_new(bound.string_type, args.get(), nullptr));
  if (!out) return nullptr;
  Ref label(Py_NewRef(Py_None));
  if (name && *name && (kind == KORVITH_NODE_ATTRIBUTE || kind == KORVITH_NODE_PI)) {
    label = Ref(decoded(name));
    if (!label) return nullptr;
  }
  PyObject* attrname = kind == KORVITH_NODE_ATTRIBUTE ? label.get() : Py_None;
  PyObject* target = kind == KORVITH_NODE_PI ? label.get() : Py_None;
  if (PyObject_SetAttr(out.get(), bound.slot_kind, kind_name(kind)) < 0 ||
      PyObject_SetAttr(out.get(), bound.slot_attrname, attrname) < 0 ||
      PyObject_SetAttr(out.get(), bound.slot_target, target) < 0) {
    return nullptr;
  }
  return out.release();
}

// A namespace node: (prefix or None, uri).
PyObject* namespace_pair(const char* value, const char* name) {
  Ref uri(decoded(value));
  if (!uri) return nullptr;
  Ref prefix(name && *name ? decoded(name) : Py_NewRef(Py_None));
  if (!prefix) return nullptr;
  return PyTuple_Pack(2, prefix.get(), uri.get());
}

// snapshot_nodes(snapshot, document, registry): the node-set of an engine
// snapshot as a list, in document order.
PyObject* snapshot_nodes(PyObject*, PyObject* args) {
  unsigned long long address = 0;
  PyObject* document = nullptr;
  PyObject* capsule = nullptr;
  if (!PyArg_ParseTuple(args, "KOO:snapshot_nodes", &address, &document, &capsule)) {
    return nullptr;
  }
  if (!bound.count) {
    PyErr_SetString(PyExc_RuntimeError, "snapshot_nodes() before snapshot_bind()");
    return nullptr;
  }
  auto* registry = static_cast<Registry*>(PyCapsule_GetPointer(capsule, kRegistryCapsuleName));
  if (!registry) return nullptr;
  void* snapshot = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  size_t count = bound.count(snapshot);
  std::vector<int> kinds(count);
  std::vector<void*> handles(count);
  count = bound.layout(snapshot, kinds.data(), handles.data(), count);
  Ref out(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!out) return nullptr;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = nullptr;
    switch (kinds[i]) {
      case KORVITH_NODE_ELEMENT:
        item = new_linked_wrapper(elem_type, handles[i], document, registry);
        break;
      case KORVITH_NODE_DOCUMENT: item = Py_NewRef(document); break;
      case KORVITH_NODE_NAMESPACE:
        item = namespace_pair(bound.value(snapshot, i), bound.name(snapshot, i));
        break;
      default:
        item = xpath_string(kinds[i], bound.value(snapshot, i), bound.name(snapshot, i));
        break;
    }
    if (!item) return nullptr;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
  }
  return out.release();
}

bool intern(PyObject** slot, const char* text) {
  PyObject* value = PyUnicode_InternFromString(text);
  if (!value) return false;
  Py_XSETREF(*slot, value);
  return true;
}

// snapshot_bind(count, layout, value, name, string_type): the engine's
// snapshot readers and the class of non-element items, once at import.
PyObject* snapshot_bind(PyObject*, PyObject* args) {
  PyObject* addresses[4] = {};
  PyObject* type = nullptr;
  if (!PyArg_ParseTuple(args, "OOOOO!:snapshot_bind", &addresses[0], &addresses[1], &addresses[2],
                        &addresses[3], &PyType_Type, &type)) {
    return nullptr;
  }
  CountFn count = nullptr;
  LayoutFn layout = nullptr;
  TextFn value = nullptr;
  TextFn name = nullptr;
  if (!take_address(addresses[0], &count) || !take_address(addresses[1], &layout) ||
      !take_address(addresses[2], &value) || !take_address(addresses[3], &name)) {
    return nullptr;
  }
  if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), &PyUnicode_Type)) {
    PyErr_SetString(PyExc_TypeError, "string_type must be a subclass of str");
    return nullptr;
  }
  if (!intern(&bound.slot_kind, "kind") || !intern(&bound.slot_attrname, "attrname") ||
      !intern(&bound.slot_target, "target") || !intern(&bound.kind_text, "text") ||
      !intern(&bound.kind_attribute, "attribute") || !intern(&bound.kind_comment, "comment") ||
      !intern(&bound.kind_pi, "pi") || !intern(&bound.kind_other, "other")) {
    return nullptr;
  }
  bound.count = count;
  bound.layout = layout;
  bound.value = value;
  bound.name = name;
  Py_XSETREF(bound.string_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
  Py_RETURN_NONE;
}

PyMethodDef snapshot_methods[] = {
    {"snapshot_bind", snapshot_bind, METH_VARARGS,
     "snapshot_bind(count, layout, value, name, string_type): bind the snapshot readers"},
    {"snapshot_nodes", snapshot_nodes, METH_VARARGS,
     "snapshot_nodes(snapshot, document, registry): the node-set of a snapshot as a list"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_snapshot(PyObject* module, PyTypeObject* element) {
  elem_type = element;
  return PyModule_AddFunctions(module, snapshot_methods) == 0;
}

}  // namespace korvith
