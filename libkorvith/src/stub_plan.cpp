// Placeholder definitions, replaced unit by unit by the real engine.
#include "korvith/engine.h"

extern "C" {
int korvith_plan_value_kind(const void*) { return {}; }
const char* korvith_plan_value_name(const void*) { return {}; }
unsigned char korvith_plan_value_type_tag(const void*) { return {}; }
const char* korvith_plan_value_string(const void*) { return {}; }
size_t korvith_plan_value_length(const void*) { return {}; }
size_t korvith_plan_value_position(const void*) { return {}; }
size_t korvith_plan_value_count(const void*) { return {}; }
void* korvith_plan_value_at(const void*, size_t) { return {}; }
int korvith_plan_value_int(const void*, long long int*) { return {}; }
int korvith_plan_value_float(const void*, double*) { return {}; }
int korvith_plan_value_bool(const void*, int*) { return {}; }
const char* korvith_plan_value_attribute(const void*, const char*) { return {}; }
const void* korvith_sax_records(void*, size_t*) { return {}; }
const char* korvith_sax_arena(void*, size_t*) { return {}; }
void* korvith_xquery_eval(void*, void*, void*) { return {}; }
size_t korvith_plan_value_attribute_count(const void*) { return {}; }
size_t korvith_plan_value_attributes_snapshot(const void*, char*, size_t, size_t*, char*, size_t, size_t*) { return {}; }
}
