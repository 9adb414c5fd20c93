// Placeholder definitions, replaced unit by unit by the real engine.
#include "korvith/engine.h"

extern "C" {
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
void* korvith_xpath_compiled_eval(void*, void*, void*) { return {}; }
void* korvith_xpath_compiled_eval_ns(void*, void*, void*, void*) { return {}; }
void* korvith_variable_set_new(void) { return {}; }
void korvith_variable_set_free(void*) {}
int korvith_variable_set_boolean(void*, const char*, int) { return {}; }
int korvith_variable_set_number(void*, const char*, double) { return {}; }
int korvith_variable_set_string(void*, const char*, const char*) { return {}; }
void* korvith_xpath_compiled_eval_vars(void*, void*, void*, void*) { return {}; }
void* korvith_xpath_compiled_eval_ns_vars(void*, void*, void*, void*, void*) { return {}; }
void* korvith_iterparse_next(void*) { return {}; }
void* korvith_xpath_eval_vars_ctx(void*, void*, const char*, void*) { return {}; }
}
