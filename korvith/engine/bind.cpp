// bind(): fills the engine function table from the package's addresses.
#include "fns.h"

#include <array>

namespace korvith {

FnTable Fns{};
int bound = 0;
PyObject* KorvithErrorType = nullptr;

namespace {

template <typename Slot>
void** slot_of(Slot FnTable::* member) {
  return reinterpret_cast<void**>(&(Fns.*member));
}

// Bind position i fills slots[i]. This table is the only place where the
// bind order, the contract with the package, is written down.
const std::array<void**, kSlotCount> slots = {
    slot_of(&FnTable::element_name),
    slot_of(&FnTable::element_namespace),
    slot_of(&FnTable::element_attribute),
    slot_of(&FnTable::element_attribute_ns),
    slot_of(&FnTable::element_child),
    slot_of(&FnTable::element_child_count),
    slot_of(&FnTable::element_as_node),
    slot_of(&FnTable::node_first_child),
    slot_of(&FnTable::node_next_sibling),
    slot_of(&FnTable::node_get_type),
    slot_of(&FnTable::text_node_get_content),
    slot_of(&FnTable::cdata_node_get_content),
    slot_of(&FnTable::element_first_child_any),
    slot_of(&FnTable::element_prefix_fn),
    slot_of(&FnTable::element_previous_sibling_any_fn),
    slot_of(&FnTable::element_set_text),
    slot_of(&FnTable::attribute_count),
    slot_of(&FnTable::element_attribute_pairs),
    slot_of(&FnTable::element_attribute_int),
    slot_of(&FnTable::element_attribute_double),
    slot_of(&FnTable::element_attribute_bool),
    slot_of(&FnTable::element_first_attribute),
    slot_of(&FnTable::attribute_next),
    slot_of(&FnTable::attribute_get_name),
    slot_of(&FnTable::attribute_get_value),
    slot_of(&FnTable::element_parent),
    slot_of(&FnTable::element_next_sibling_any),
    slot_of(&FnTable::node_line),
    slot_of(&FnTable::xpath_eval),
    slot_of(&FnTable::xpath_result_type),
    slot_of(&FnTable::xpath_result_count),
    slot_of(&FnTable::xpath_result_get_nodes),
    slot_of(&FnTable::xpath_result_free),
    slot_of(&FnTable::xpath_result_number),
    slot_of(&FnTable::xpath_result_boolean),
    slot_of(&FnTable::xpath_result_string),
    slot_of(&FnTable::free_string),
    slot_of(&FnTable::ns_set_new),
    slot_of(&FnTable::ns_set_free),
    slot_of(&FnTable::ns_set_add),
    slot_of(&FnTable::xpath_eval_ns),
    slot_of(&FnTable::element_serialize),
    slot_of(&FnTable::element_serialize_into),
    slot_of(&FnTable::document_serialize),
    slot_of(&FnTable::parse_string_fn),
    slot_of(&FnTable::parse_string_ex),
    slot_of(&FnTable::parse_file),
    slot_of(&FnTable::document_root),
    slot_of(&FnTable::document_free),
    slot_of(&FnTable::xpath_compiled_eval),
    slot_of(&FnTable::xpath_compiled_eval_ns),
    slot_of(&FnTable::parse_string_inplace_fn),
    slot_of(&FnTable::variable_set_new),
    slot_of(&FnTable::variable_set_free),
    slot_of(&FnTable::variable_set_boolean),
    slot_of(&FnTable::variable_set_number),
    slot_of(&FnTable::variable_set_string),
    slot_of(&FnTable::xpath_compiled_eval_vars),
    slot_of(&FnTable::parse_with_encoding),
    slot_of(&FnTable::xpath_compiled_eval_ns_vars),
    slot_of(&FnTable::iterparse_next),
    slot_of(&FnTable::plan_value_kind),
    slot_of(&FnTable::plan_value_name),
    slot_of(&FnTable::plan_value_type_tag),
    slot_of(&FnTable::plan_value_string),
    slot_of(&FnTable::plan_value_length),
    slot_of(&FnTable::plan_value_position),
    slot_of(&FnTable::plan_value_count),
    slot_of(&FnTable::plan_value_at),
    slot_of(&FnTable::plan_value_int),
    slot_of(&FnTable::plan_value_float),
    slot_of(&FnTable::plan_value_bool),
    slot_of(&FnTable::plan_value_attribute),
    slot_of(&FnTable::xpath_eval_vars_ctx),
    slot_of(&FnTable::sax_records),
    slot_of(&FnTable::sax_arena),
    slot_of(&FnTable::xquery_eval),
    slot_of(&FnTable::plan_value_attribute_count),
    slot_of(&FnTable::plan_value_attributes_snapshot),
    slot_of(&FnTable::element_attributes_snapshot),
};

}  // namespace

PyObject* raise_not_bound() {
  PyErr_SetString(PyExc_RuntimeError, "accelerator is not bound");
  return nullptr;
}

PyObject* raise_engine_error(const char* message) {
  // Before a bind supplied a class (or after one that passed None) the
  // error is still an ordinary exception: RuntimeError, like the module's
  // own unbound errors.
  PyErr_SetString(KorvithErrorType ? KorvithErrorType : PyExc_RuntimeError, message);
  return nullptr;
}

PyObject* raise_closed_document() { return raise_engine_error("operation on a closed document"); }

bool address_from_int(PyObject* value, void** out) {
  void* address = PyLong_AsVoidPtr(value);
  if (!address && PyErr_Occurred()) return false;
  *out = address;
  return true;
}

PyObject* accel_bind(PyObject*, PyObject* args) {
  PyObject* addresses = nullptr;
  PyObject* error_class = nullptr;
  if (!PyArg_ParseTuple(args, "OO:bind", &addresses, &error_class)) return nullptr;

  Ref seq(PySequence_Fast(addresses, "addresses must be a sequence"));
  if (!seq) return nullptr;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n != static_cast<Py_ssize_t>(kSlotCount)) {
    PyErr_Format(PyExc_ValueError,
                 "bind: expected %d function addresses in Fns declaration order, got %zd",
                 static_cast<int>(kSlotCount), n);
    return nullptr;
  }
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (size_t i = 0; i < kSlotCount; ++i) {
    if (!PyLong_Check(items[i])) {
      PyErr_SetString(PyExc_TypeError, "addresses must be ints");
      return nullptr;
    }
    void* address = nullptr;
    if (!address_from_int(items[i], &address)) return nullptr;
    *slots[i] = address;
  }
  if (error_class != Py_None) {
    Py_INCREF(error_class);
    Py_XSETREF(KorvithErrorType, error_class);
  }
  bound = 1;
  Py_RETURN_NONE;
}

}  // namespace korvith
