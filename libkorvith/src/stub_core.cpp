// Placeholder definitions, replaced unit by unit by the real engine.
#include "korvith/engine.h"

extern "C" {
const char* korvith_element_name(void*) { return {}; }
const char* korvith_element_namespace(void*) { return {}; }
const char* korvith_element_attribute(void*, const char*) { return {}; }
const char* korvith_element_attribute_ns(void*, const char*, const char*) { return {}; }
void* korvith_element_child(void*, size_t) { return {}; }
size_t korvith_element_child_count(void*) { return {}; }
void* korvith_element_as_node(void*) { return {}; }
void* korvith_node_first_child(void*) { return {}; }
void* korvith_node_next_sibling(void*) { return {}; }
int korvith_node_get_type(void*) { return {}; }
const char* korvith_text_node_get_content(void*) { return {}; }
const char* korvith_cdata_node_get_content(void*) { return {}; }
void* korvith_element_first_child_any(void*) { return {}; }
const char* korvith_element_prefix_fn(void*) { return {}; }
void* korvith_element_previous_sibling_any_fn(void*) { return {}; }
int korvith_element_set_text(void*, const char*) { return {}; }
size_t korvith_attribute_count(void*) { return {}; }
size_t korvith_element_attribute_pairs(void*, const char**, const char**, void**, size_t) { return {}; }
int korvith_element_attribute_int(void*, const char*, int) { return {}; }
double korvith_element_attribute_double(void*, const char*, double) { return {}; }
int korvith_element_attribute_bool(void*, const char*, int) { return {}; }
void* korvith_element_first_attribute(void*) { return {}; }
void* korvith_attribute_next(void*) { return {}; }
const char* korvith_attribute_get_name(void*) { return {}; }
const char* korvith_attribute_get_value(void*, void*) { return {}; }
void* korvith_element_parent(void*) { return {}; }
void* korvith_element_next_sibling_any(void*) { return {}; }
int korvith_node_line(void*) { return {}; }
void* korvith_xpath_eval(void*, void*, const char*) { return {}; }
int korvith_xpath_result_type(void*) { return {}; }
size_t korvith_xpath_result_count(void*) { return {}; }
size_t korvith_xpath_result_get_nodes(void*, void**, size_t) { return {}; }
void korvith_xpath_result_free(void*) {}
double korvith_xpath_result_number(void*) { return {}; }
int korvith_xpath_result_boolean(void*) { return {}; }
char* korvith_xpath_result_string(void*) { return {}; }
void korvith_free_string(char*) {}
void* korvith_ns_set_new(void) { return {}; }
void korvith_ns_set_free(void*) {}
int korvith_ns_set_add(void*, const char*, const char*) { return {}; }
void* korvith_xpath_eval_ns(void*, void*, const char*, void*) { return {}; }
char* korvith_element_serialize(void*, void*) { return {}; }
size_t korvith_element_serialize_into(void*, char*, size_t, size_t*, const void*) { return {}; }
char* korvith_document_serialize(void*, void*) { return {}; }
void* korvith_parse_string_fn(const char*, size_t, int*) { return {}; }
void* korvith_parse_string_ex(const char*, size_t, const void*, int*) { return {}; }
void* korvith_parse_file(const char*, int*) { return {}; }
void* korvith_document_root(void*) { return {}; }
void korvith_document_free(void*) {}
void* korvith_xpath_compiled_eval(void*, void*, void*) { return {}; }
void* korvith_xpath_compiled_eval_ns(void*, void*, void*, void*) { return {}; }
void* korvith_parse_string_inplace_fn(char*, size_t, int*) { return {}; }
void* korvith_variable_set_new(void) { return {}; }
void korvith_variable_set_free(void*) {}
int korvith_variable_set_boolean(void*, const char*, int) { return {}; }
int korvith_variable_set_number(void*, const char*, double) { return {}; }
int korvith_variable_set_string(void*, const char*, const char*) { return {}; }
void* korvith_xpath_compiled_eval_vars(void*, void*, void*, void*) { return {}; }
void* korvith_parse_with_encoding(const char*, size_t, int*) { return {}; }
void* korvith_xpath_compiled_eval_ns_vars(void*, void*, void*, void*, void*) { return {}; }
void* korvith_iterparse_next(void*) { return {}; }
void* korvith_xpath_eval_vars_ctx(void*, void*, const char*, void*) { return {}; }
size_t korvith_element_attributes_snapshot(void*, char*, size_t, size_t*, char*, size_t, size_t*, char*, size_t, size_t*, char*, size_t, size_t*) { return {}; }
}
