// The engine function table, the bound flag and the engine error class.
//
// The module reaches libkorvith only through `Fns`, filled once by `bind`
// with the engine's 80 function addresses. Each member takes its type from
// the engine's prototype (korvith/engine.h; the module never links against
// the engine), so a signature that drifts does not compile. The record keeps
// its own order of the slots; the bind order, which differs in three places,
// is written down only in the `slots` table of bind.cpp.
#pragma once

#include "../common.h"
#include "korvith/abi.h"
#include "korvith/engine.h"

#include <cstddef>
#include <cstdint>

namespace korvith {

using Handle = void*;
using PlanValue = const void*;

struct FnTable {
  decltype(&korvith_element_name) element_name;
  decltype(&korvith_element_namespace) element_namespace;
  decltype(&korvith_element_attribute) element_attribute;
  decltype(&korvith_element_attribute_ns) element_attribute_ns;
  decltype(&korvith_element_child) element_child;
  decltype(&korvith_element_child_count) element_child_count;
  decltype(&korvith_element_as_node) element_as_node;
  decltype(&korvith_node_first_child) node_first_child;
  decltype(&korvith_node_next_sibling) node_next_sibling;
  decltype(&korvith_node_get_type) node_get_type;
  decltype(&korvith_text_node_get_content) text_node_get_content;
  decltype(&korvith_cdata_node_get_content) cdata_node_get_content;
  decltype(&korvith_element_first_child_any) element_first_child_any;
  decltype(&korvith_element_prefix_fn) element_prefix_fn;
  decltype(&korvith_element_previous_sibling_any_fn) element_previous_sibling_any_fn;
  decltype(&korvith_element_set_text) element_set_text;
  decltype(&korvith_attribute_count) attribute_count;
  decltype(&korvith_element_attribute_pairs) element_attribute_pairs;
  decltype(&korvith_element_attributes_snapshot) element_attributes_snapshot;
  decltype(&korvith_element_attribute_int) element_attribute_int;
  decltype(&korvith_element_attribute_double) element_attribute_double;
  decltype(&korvith_element_attribute_bool) element_attribute_bool;
  decltype(&korvith_element_first_attribute) element_first_attribute;
  decltype(&korvith_attribute_next) attribute_next;
  decltype(&korvith_attribute_get_name) attribute_get_name;
  decltype(&korvith_attribute_get_value) attribute_get_value;
  decltype(&korvith_element_parent) element_parent;
  decltype(&korvith_element_next_sibling_any) element_next_sibling_any;
  decltype(&korvith_node_line) node_line;
  decltype(&korvith_xpath_eval) xpath_eval;
  decltype(&korvith_xpath_result_type) xpath_result_type;
  decltype(&korvith_xpath_result_count) xpath_result_count;
  decltype(&korvith_xpath_result_get_nodes) xpath_result_get_nodes;
  decltype(&korvith_xpath_result_free) xpath_result_free;
  decltype(&korvith_xpath_result_number) xpath_result_number;
  decltype(&korvith_xpath_result_boolean) xpath_result_boolean;
  decltype(&korvith_xpath_result_string) xpath_result_string;
  decltype(&korvith_free_string) free_string;
  decltype(&korvith_ns_set_new) ns_set_new;
  decltype(&korvith_ns_set_free) ns_set_free;
  decltype(&korvith_ns_set_add) ns_set_add;
  decltype(&korvith_xpath_eval_ns) xpath_eval_ns;
  decltype(&korvith_element_serialize) element_serialize;
  decltype(&korvith_element_serialize_into) element_serialize_into;
  decltype(&korvith_document_serialize) document_serialize;
  decltype(&korvith_parse_string_fn) parse_string_fn;
  decltype(&korvith_parse_string_ex) parse_string_ex;
  decltype(&korvith_parse_file) parse_file;
  decltype(&korvith_document_root) document_root;
  decltype(&korvith_document_free) document_free;
  decltype(&korvith_xpath_compiled_eval) xpath_compiled_eval;
  decltype(&korvith_xpath_compiled_eval_ns) xpath_compiled_eval_ns;
  decltype(&korvith_parse_string_inplace_fn) parse_string_inplace_fn;
  decltype(&korvith_variable_set_new) variable_set_new;
  decltype(&korvith_variable_set_free) variable_set_free;
  decltype(&korvith_variable_set_boolean) variable_set_boolean;
  decltype(&korvith_variable_set_number) variable_set_number;
  decltype(&korvith_variable_set_string) variable_set_string;
  decltype(&korvith_xpath_compiled_eval_vars) xpath_compiled_eval_vars;
  decltype(&korvith_parse_with_encoding) parse_with_encoding;
  decltype(&korvith_xpath_compiled_eval_ns_vars) xpath_compiled_eval_ns_vars;
  decltype(&korvith_iterparse_next) iterparse_next;
  decltype(&korvith_plan_value_kind) plan_value_kind;
  decltype(&korvith_plan_value_name) plan_value_name;
  decltype(&korvith_plan_value_type_tag) plan_value_type_tag;
  decltype(&korvith_plan_value_string) plan_value_string;
  decltype(&korvith_plan_value_length) plan_value_length;
  decltype(&korvith_plan_value_position) plan_value_position;
  decltype(&korvith_plan_value_count) plan_value_count;
  decltype(&korvith_plan_value_at) plan_value_at;
  decltype(&korvith_plan_value_int) plan_value_int;
  decltype(&korvith_plan_value_float) plan_value_float;
  decltype(&korvith_plan_value_bool) plan_value_bool;
  decltype(&korvith_plan_value_attribute) plan_value_attribute;
  decltype(&korvith_plan_value_attribute_count) plan_value_attribute_count;
  decltype(&korvith_plan_value_attributes_snapshot) plan_value_attributes_snapshot;
  decltype(&korvith_xpath_eval_vars_ctx) xpath_eval_vars_ctx;
  decltype(&korvith_sax_records) sax_records;
  decltype(&korvith_sax_arena) sax_arena;
  decltype(&korvith_xquery_eval) xquery_eval;
};

inline constexpr size_t kSlotCount = 80;
static_assert(sizeof(FnTable) == kSlotCount * sizeof(void*), "one pointer per slot");

// The poison value written into a wrapper whose document was closed.
inline void* const kPoison = reinterpret_cast<void*>(~static_cast<uintptr_t>(0));

extern FnTable Fns;
extern int bound;
extern PyObject* KorvithErrorType;  // strong reference, or null before a bind gives one

// Raises RuntimeError "accelerator is not bound"; returns null.
PyObject* raise_not_bound();
// Raises the bound engine error class (RuntimeError while none was given)
// with `message`; returns null.
PyObject* raise_engine_error(const char* message);
// Raises the closed-document error; returns null.
PyObject* raise_closed_document();

// Converts an int to a pointer the way bind and `_raw` do: 0..2^64-1 as
// they are, -2^63..-1 as their two's complement. On failure returns false
// with the conversion's OverflowError set.
bool address_from_int(PyObject* value, void** out);

PyObject* accel_bind(PyObject* self, PyObject* args);

}  // namespace korvith
