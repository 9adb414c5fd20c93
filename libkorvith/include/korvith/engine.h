/* libkorvith: the XML engine behind korvith, a C ABI over libxml2.
 *
 * The 80 functions below are the ones the extension module binds, in its
 * bind order; the package looks each up by its exported name. Handles are
 * opaque: documents, elements, nodes and attributes are libxml2 pointers,
 * everything else is an engine structure. Strings returned as `const char*`
 * stay owned by the engine for the life of their document; `char*` results
 * belong to the caller and go back through korvith_free_string.
 *
 * docs/engine.md describes every code, flag and choice.
 */
#ifndef KORVITH_ENGINE_H
#define KORVITH_ENGINE_H

#include <stddef.h>

#if defined(_WIN32)
#define KORVITH_API __declspec(dllexport)
#else
#define KORVITH_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

KORVITH_API const char* korvith_element_name(void* element);
KORVITH_API const char* korvith_element_namespace(void* element);
KORVITH_API const char* korvith_element_attribute(void* element, const char* name);
KORVITH_API const char* korvith_element_attribute_ns(void* element, const char* uri,
                                                     const char* local);
KORVITH_API void* korvith_element_child(void* element, size_t index);
KORVITH_API size_t korvith_element_child_count(void* element);
KORVITH_API void* korvith_element_as_node(void* element);
KORVITH_API void* korvith_node_first_child(void* node);
KORVITH_API void* korvith_node_next_sibling(void* node);
KORVITH_API int korvith_node_get_type(void* node);
KORVITH_API const char* korvith_text_node_get_content(void* node);
KORVITH_API const char* korvith_cdata_node_get_content(void* node);
KORVITH_API void* korvith_element_first_child_any(void* element);
KORVITH_API const char* korvith_element_prefix_fn(void* element);
KORVITH_API void* korvith_element_previous_sibling_any_fn(void* element);
KORVITH_API int korvith_element_set_text(void* element, const char* text);
KORVITH_API size_t korvith_attribute_count(void* element);
KORVITH_API size_t korvith_element_attribute_pairs(void* element, const char** names,
                                                   const char** values, void** attributes,
                                                   size_t capacity);
KORVITH_API int korvith_element_attribute_int(void* element, const char* name, int fallback);
KORVITH_API double korvith_element_attribute_double(void* element, const char* name,
                                                    double fallback);
KORVITH_API int korvith_element_attribute_bool(void* element, const char* name, int fallback);
KORVITH_API void* korvith_element_first_attribute(void* element);
KORVITH_API void* korvith_attribute_next(void* attribute);
KORVITH_API const char* korvith_attribute_get_name(void* attribute);
KORVITH_API const char* korvith_attribute_get_value(void* element, void* attribute);
KORVITH_API void* korvith_element_parent(void* element);
KORVITH_API void* korvith_element_next_sibling_any(void* element);
KORVITH_API int korvith_node_line(void* node);
KORVITH_API void* korvith_xpath_eval(void* document, void* context, const char* expression);
KORVITH_API int korvith_xpath_result_type(void* result);
KORVITH_API size_t korvith_xpath_result_count(void* result);
KORVITH_API size_t korvith_xpath_result_get_nodes(void* result, void** out, size_t capacity);
KORVITH_API void korvith_xpath_result_free(void* result);
KORVITH_API double korvith_xpath_result_number(void* result);
KORVITH_API int korvith_xpath_result_boolean(void* result);
KORVITH_API char* korvith_xpath_result_string(void* result);
KORVITH_API void korvith_free_string(char* s);
KORVITH_API void* korvith_ns_set_new(void);
KORVITH_API void korvith_ns_set_free(void* set);
KORVITH_API int korvith_ns_set_add(void* set, const char* prefix, const char* uri);
KORVITH_API void* korvith_xpath_eval_ns(void* document, void* context, const char* expression,
                                        void* ns_set);
KORVITH_API char* korvith_element_serialize(void* element, void* options);
KORVITH_API size_t korvith_element_serialize_into(void* element, char* buffer, size_t capacity,
                                                  size_t* written, const void* options);
KORVITH_API char* korvith_document_serialize(void* document, void* options);
KORVITH_API void* korvith_parse_string_fn(const char* data, size_t length, int* status);
KORVITH_API void* korvith_parse_string_ex(const char* data, size_t length, const void* options,
                                          int* status);
KORVITH_API void* korvith_parse_file(const char* path, int* status);
KORVITH_API void* korvith_document_root(void* document);
KORVITH_API void korvith_document_free(void* document);
KORVITH_API void* korvith_xpath_compiled_eval(void* compiled, void* document, void* context);
KORVITH_API void* korvith_xpath_compiled_eval_ns(void* compiled, void* document, void* context,
                                                 void* ns_set);
KORVITH_API void* korvith_parse_string_inplace_fn(char* data, size_t length, int* status);
KORVITH_API void* korvith_variable_set_new(void);
KORVITH_API void korvith_variable_set_free(void* set);
KORVITH_API int korvith_variable_set_boolean(void* set, const char* name, int value);
KORVITH_API int korvith_variable_set_number(void* set, const char* name, double value);
KORVITH_API int korvith_variable_set_string(void* set, const char* name, const char* value);
KORVITH_API void* korvith_xpath_compiled_eval_vars(void* compiled, void* document, void* context,
                                                   void* vars);
KORVITH_API void* korvith_parse_with_encoding(const char* data, size_t length, int* status);
KORVITH_API void* korvith_xpath_compiled_eval_ns_vars(void* compiled, void* document, void* context,
                                                      void* ns_set, void* vars);
KORVITH_API void* korvith_iterparse_next(void* iterator);
KORVITH_API int korvith_plan_value_kind(const void* value);
KORVITH_API const char* korvith_plan_value_name(const void* value);
KORVITH_API unsigned char korvith_plan_value_type_tag(const void* value);
KORVITH_API const char* korvith_plan_value_string(const void* value);
KORVITH_API size_t korvith_plan_value_length(const void* value);
KORVITH_API size_t korvith_plan_value_position(const void* value);
KORVITH_API size_t korvith_plan_value_count(const void* value);
KORVITH_API void* korvith_plan_value_at(const void* value, size_t index);
KORVITH_API int korvith_plan_value_int(const void* value, long long int* out);
KORVITH_API int korvith_plan_value_float(const void* value, double* out);
KORVITH_API int korvith_plan_value_bool(const void* value, int* out);
KORVITH_API const char* korvith_plan_value_attribute(const void* value, const char* name);
KORVITH_API void* korvith_xpath_eval_vars_ctx(void* document, void* context, const char* expression,
                                              void* vars);
KORVITH_API const void* korvith_sax_records(void* recorder, size_t* count);
KORVITH_API const char* korvith_sax_arena(void* recorder, size_t* size);
KORVITH_API void* korvith_xquery_eval(void* query, void* document, void* context);
KORVITH_API size_t korvith_plan_value_attribute_count(const void* value);
KORVITH_API size_t korvith_plan_value_attributes_snapshot(const void* value, char* names,
                                                          size_t names_capacity,
                                                          size_t* name_offsets, char* values,
                                                          size_t values_capacity,
                                                          size_t* value_offsets);
KORVITH_API size_t korvith_element_attributes_snapshot(
    void* element, char* names, size_t names_capacity, size_t* name_offsets, char* values,
    size_t values_capacity, size_t* value_offsets, char* prefixes, size_t prefixes_capacity,
    size_t* prefix_offsets, char* uris, size_t uris_capacity, size_t* uri_offsets);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_H */
