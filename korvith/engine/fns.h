// The engine function table, the bound flag and the engine error class.
//
// The module reaches libkorvith only through `Fns`, filled once by `bind`
// with the engine's 80 function addresses. The record lists the slots in
// the engine's declaration order; the bind order, which differs in three
// places, is written down only in the `slots` table of bind.cpp.
#pragma once

#include "../common.h"

#include <cstddef>
#include <cstdint>

namespace korvith {

using Handle = void*;
using PlanValue = const void*;

struct FnTable {
  const char* (*element_name)(void*);
  const char* (*element_namespace)(void*);
  const char* (*element_attribute)(void*, const char*);
  const char* (*element_attribute_ns)(void*, const char*, const char*);
  void* (*element_child)(void*, size_t);
  size_t (*element_child_count)(void*);
  void* (*element_as_node)(void*);
  void* (*node_first_child)(void*);
  void* (*node_next_sibling)(void*);
  int (*node_get_type)(void*);
  const char* (*text_node_get_content)(void*);
  const char* (*cdata_node_get_content)(void*);
  void* (*element_first_child_any)(void*);
  const char* (*element_prefix_fn)(void*);
  void* (*element_previous_sibling_any_fn)(void*);
  int (*element_set_text)(void*, const char*);
  size_t (*attribute_count)(void*);
  size_t (*element_attribute_pairs)(void*, const char**, const char**, void**, size_t);
  size_t (*element_attributes_snapshot)(void*, char*, size_t, size_t*, char*, size_t, size_t*,
                                        char*, size_t, size_t*, char*, size_t, size_t*);
  int (*element_attribute_int)(void*, const char*, int);
  double (*element_attribute_double)(void*, const char*, double);
  int (*element_attribute_bool)(void*, const char*, int);
  void* (*element_first_attribute)(void*);
  void* (*attribute_next)(void*);
  const char* (*attribute_get_name)(void*);
  const char* (*attribute_get_value)(void*, void*);
  void* (*element_parent)(void*);
  void* (*element_next_sibling_any)(void*);
  int (*node_line)(void*);
  void* (*xpath_eval)(void*, void*, const char*);
  int (*xpath_result_type)(void*);
  size_t (*xpath_result_count)(void*);
  size_t (*xpath_result_get_nodes)(void*, void**, size_t);
  void (*xpath_result_free)(void*);
  double (*xpath_result_number)(void*);
  int (*xpath_result_boolean)(void*);
  char* (*xpath_result_string)(void*);
  void (*free_string)(char*);
  void* (*ns_set_new)();
  void (*ns_set_free)(void*);
  int (*ns_set_add)(void*, const char*, const char*);
  void* (*xpath_eval_ns)(void*, void*, const char*, void*);
  char* (*element_serialize)(void*, void*);
  size_t (*element_serialize_into)(void*, char*, size_t, size_t*, const void*);
  char* (*document_serialize)(void*, void*);
  void* (*parse_string_fn)(const char*, size_t, int*);
  void* (*parse_string_ex)(const char*, size_t, const void*, int*);
  void* (*parse_file)(const char*, int*);
  void* (*document_root)(void*);
  void (*document_free)(void*);
  void* (*xpath_compiled_eval)(void*, void*, void*);
  void* (*xpath_compiled_eval_ns)(void*, void*, void*, void*);
  void* (*parse_string_inplace_fn)(char*, size_t, int*);
  void* (*variable_set_new)();
  void (*variable_set_free)(void*);
  int (*variable_set_boolean)(void*, const char*, int);
  int (*variable_set_number)(void*, const char*, double);
  int (*variable_set_string)(void*, const char*, const char*);
  void* (*xpath_compiled_eval_vars)(void*, void*, void*, void*);
  void* (*parse_with_encoding)(const char*, size_t, int*);
  void* (*xpath_compiled_eval_ns_vars)(void*, void*, void*, void*, void*);
  void* (*iterparse_next)(void*);
  int (*plan_value_kind)(const void*);
  const char* (*plan_value_name)(const void*);
  unsigned char (*plan_value_type_tag)(const void*);
  const char* (*plan_value_string)(const void*);
  size_t (*plan_value_length)(const void*);
  size_t (*plan_value_position)(const void*);
  size_t (*plan_value_count)(const void*);
  void* (*plan_value_at)(const void*, size_t);
  int (*plan_value_int)(const void*, long long int*);
  int (*plan_value_float)(const void*, double*);
  int (*plan_value_bool)(const void*, int*);
  const char* (*plan_value_attribute)(const void*, const char*);
  size_t (*plan_value_attribute_count)(const void*);
  size_t (*plan_value_attributes_snapshot)(const void*, char*, size_t, size_t*, char*, size_t,
                                           size_t*);
  void* (*xpath_eval_vars_ctx)(void*, void*, const char*, void*);
  const void* (*sax_records)(void*, size_t*);
  const char* (*sax_arena)(void*, size_t*);
  void* (*xquery_eval)(void*, void*, void*);
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
