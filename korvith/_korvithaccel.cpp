// Module entry: the method table, the three heap types and initialisation.
#include "element/element.h"
#include "module.h"

namespace korvith {

PyTypeObject* ElementType = nullptr;
PyTypeObject* ReadOnlyDictType = nullptr;
PyTypeObject* CursorType = nullptr;

namespace {

constexpr int kApiVersion = 1013;

PyMethodDef accel_methods[] = {
    {"attribute_pairs", accel_attribute_pairs, METH_VARARGS,
     "attribute_pairs(element, ns) -> [(name, value[, prefix, uri]), ...]"},
    {"create", accel_create, METH_VARARGS, "create(address, ptr, document) -> Element"},
    {"materialize", accel_materialize, METH_VARARGS,
     "materialize(ptrs, document, addresses) -> list[Element]"},
    {"bind", accel_bind, METH_VARARGS, "bind(addresses_in_Fns_order, error_class) -> None"},
    {"nodeset", accel_nodeset, METH_VARARGS,
     "nodeset(document_address, context_address, expression, document) -> list | scalar | None"},
    {"nodeset_ns", accel_nodeset_ns, METH_VARARGS,
     "nodeset_ns(document_address, context_address, expression, document, bindings) -> list | "
     "scalar | None"},
    {"find_first", accel_find_first, METH_VARARGS,
     "find_first(address, name, document) -> Element | None"},
    {"serialize_elem", accel_serialize_elem, METH_VARARGS,
     "serialize_elem(address, indent, declaration) -> bytes | None"},
    {"parse", accel_parse, METH_VARARGS,
     "parse(data, recover) -> (address|None, registry|None, status)"},
    {"parse_with_encoding", accel_parse_with_encoding, METH_VARARGS,
     "parse_with_encoding(data, recover) -> (address|None, registry|None, status)"},
    {"parse_inplace", accel_parse_inplace, METH_VARARGS,
     "parse_inplace(address, length, recover, flags) -> (address|None, registry|None, status)"},
    {"parse_file", accel_parse_file, METH_VARARGS,
     "parse_file(path_bytes) -> (address|None, registry|None, status)"},
    {"close_document", accel_close_document, METH_VARARGS, "close_document(address) -> None"},
    {"document_root", accel_document_root, METH_VARARGS,
     "document_root(address, document) -> Element | None"},
    {"compiled_eval", accel_compiled_eval, METH_VARARGS,
     "compiled_eval(compiled_address, document_address, context_address, document, bindings, "
     "vars_flat) -> list | scalar | None"},
    {"iterparse_next", accel_iterparse_next, METH_VARARGS,
     "iterparse_next(iterator_address, sentinel) -> Element | None"},
    {"find_path", accel_find_path, METH_VARARGS,
     "find_path(address, steps, document) -> Element | None"},
    {"subtree_iter", accel_subtree_iter, METH_VARARGS,
     "subtree_iter(element, include_self, ns, local) -> SubtreeIterator"},
    {"children", accel_children, METH_O, "children(element) -> list[Element]"},
    {"serialize_doc", accel_serialize_doc, METH_VARARGS,
     "serialize_doc(document_address) -> bytes | None"},
    {"new_registry", accel_new_registry, METH_NOARGS,
     "new_registry() -> capsule tracking live elements of a document"},
    {"invalidate", accel_invalidate, METH_O,
     "invalidate(capsule) -> poison all tracked elements (document closed)"},
    {"plan_shape_build", accel_plan_shape_build, METH_VARARGS,
     "plan_shape_build(plans, callback_type) -> capsule"},
    {"plan_convert", accel_plan_convert, METH_VARARGS,
     "plan_convert(result_address, shape_capsule) -> dict"},
    {"serialize_doc_opts", accel_serialize_doc_opts, METH_VARARGS,
     "serialize_doc_opts(address, indent, declaration, encoding|None) -> bytes | None"},
    {"serialize_elem_opts", accel_serialize_elem_opts, METH_VARARGS,
     "serialize_elem_opts(address, indent, declaration, encoding|None) -> bytes | None"},
    {"nodeset_vars", accel_nodeset_vars, METH_VARARGS,
     "nodeset_vars(document_address, context_address, expression, document, vars_flat) -> list | "
     "scalar | None"},
    {"sax_drain", accel_sax_drain, METH_VARARGS, "sax_drain(recorder_address, handler) -> None"},
    {"xquery_eval", accel_xquery_eval, METH_VARARGS,
     "xquery_eval(query_address, document_address, context_address, document) -> list | scalar | "
     "None"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef element_getsets[] = {
    {"_ptr", elem_get_ptr, elem_set_ptr, "cffi handle for the wrapped KorvithElement.", nullptr},
    {"_raw", elem_get_raw, elem_set_raw, "Raw element pointer as an int (internal).", nullptr},
    {"_document", elem_get_document, elem_set_document, "Owning Document.", nullptr},
    {"tag", elem_get_tag, nullptr, "Element name (Clark notation).", nullptr},
    {"text", elem_get_text, elem_set_text,
     "First-run text content (settable; libkorvith 1.9.216+).", nullptr},
    {"attrib", elem_get_attrib, nullptr, "Attributes as a dict.", nullptr},
    {"tail", elem_get_tail, nullptr, "Trailing text run.", nullptr},
    {"namespace", elem_get_namespace, nullptr, "Namespace URI.", nullptr},
    {"prefix", elem_get_prefix, nullptr, "Namespace prefix.", nullptr},
    {"sourceline", elem_get_sourceline, nullptr, "Source line.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef element_methods[] = {
    {"getparent", elem_getparent, METH_NOARGS, "Parent element or None."},
    {"getnext", elem_getnext, METH_NOARGS, "Next element sibling or None."},
    {"get", elem_get, METH_VARARGS, "get(name, default=None) -> attribute value."},
    {"get_int", elem_get_int, METH_VARARGS,
     "get_int(name, default=0) -> strict int; default when missing/empty/unparseable."},
    {"get_float", elem_get_float, METH_VARARGS,
     "get_float(name, default=0.0) -> strict float; default when missing/empty/unparseable."},
    {"get_bool", elem_get_bool, METH_VARARGS,
     "get_bool(name, default=False) -> true/1/yes truthy, false/0 falsy, default otherwise."},
    {"getprevious", elem_getprevious, METH_NOARGS, "Previous element sibling or None."},
    {"keys", elem_keys, METH_NOARGS, "Attribute names in document order."},
    {"items", elem_items, METH_NOARGS, "(name, value) pairs in document order."},
    {"values", elem_values, METH_NOARGS, "Attribute values in document order."},
    {"itertext", elem_itertext, METH_NOARGS, "Merged text runs of the subtree, document order."},
    {nullptr, nullptr, 0, nullptr},
};

// A ReadOnlyDict is freed as a dict is. Without this slot the type would
// get the interpreter's generic subclass deallocator, a much longer path,
// for a dictionary made for every element whose `attrib` is read.
void rodict_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyDict_Type.tp_dealloc(self);
  Py_DECREF(type);
}

PyType_Slot rodict_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(rodict_dealloc)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(rodict_ass_subscript)},
    {Py_sq_ass_item, reinterpret_cast<void*>(rodict_sq_ass_item)},
    {0, nullptr},
};

PyType_Spec rodict_spec = {
    "korvith._korvithaccel.ReadOnlyDict",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    rodict_slots,
};

PyType_Slot element_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(element_dealloc)},
    {Py_tp_getset, element_getsets},
    {Py_tp_methods, element_methods},
    {Py_sq_length, reinterpret_cast<void*>(elem_sq_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(elem_mp_subscript)},
    {Py_tp_doc, const_cast<char*>("Accelerated Element base type.")},
    {0, nullptr},
};

PyType_Spec element_spec = {
    "korvith._korvithaccel.Element",
    static_cast<int>(sizeof(AccelElement)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    element_slots,
};

PyType_Slot cursor_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(cursor_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(cursor_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cursor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(cursor_repr)},
    {Py_tp_doc, const_cast<char*>("Document-order element cursor over a subtree.")},
    {0, nullptr},
};

PyType_Spec cursor_spec = {
    "korvith._korvithaccel.SubtreeIterator", 0, 0, Py_TPFLAGS_DEFAULT, cursor_slots,
};

PyModuleDef accel_module = {
    PyModuleDef_HEAD_INIT,
    "korvith._korvithaccel",
    "C-accelerated Element allocation and accessors for korvith.",
    -1,
    accel_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  cursor_spec.basicsize = static_cast<int>(kCursorSize);

  Ref module(PyModule_Create2(&accel_module, kApiVersion));
  if (!module) return nullptr;

  Ref bases(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
  if (!bases) return nullptr;
  // A strong reference kept for the life of the process.
  ReadOnlyDictType =
      reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&rodict_spec, bases.get()));
  if (!ReadOnlyDictType) return nullptr;

  // The module holds the types; the globals borrow them, which stays valid
  // because the module never goes away.
  Ref element(PyType_FromSpec(&element_spec));
  if (!element || PyModule_AddObjectRef(module.get(), "Element", element.get()) < 0) {
    return nullptr;
  }
  ElementType = reinterpret_cast<PyTypeObject*>(element.get());

  Ref cursor(PyType_FromSpec(&cursor_spec));
  if (!cursor || PyModule_AddObjectRef(module.get(), "SubtreeIterator", cursor.get()) < 0) {
    return nullptr;
  }
  CursorType = reinterpret_cast<PyTypeObject*>(cursor.get());
  return module.release();
}

}  // namespace
}  // namespace korvith

PyMODINIT_FUNC PyInit__korvithaccel(void) { return korvith::init_module(); }
