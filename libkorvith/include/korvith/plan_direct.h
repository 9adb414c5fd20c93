/* libkorvith: plan evaluation for native callers.
 *
 * The package's extension module `korvith._korvithedit` evaluates a plan
 * and converts the value tree into Python objects in one native call, with
 * no Python step between checking that the element is alive and reading
 * it. It reaches the engine through this table of function pointers, whose
 * address the package reads once with ctypes (korvith_plan_direct_table)
 * and hands to the module; the module never links the engine.
 *
 * Values are the same as those of korvith_plan_eval (docs/plans.md); the
 * value readers are the korvith_plan_value_* functions of engine.h.
 */
#ifndef KORVITH_PLAN_DIRECT_H
#define KORVITH_PLAN_DIRECT_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct korvith_plan_direct {
  /* sizeof(korvith_plan_direct): a caller built against another layout
   * refuses the table. */
  size_t size;
  /* An empty result, reused by eval_into; null when memory runs out. */
  void* (*result_new)(void);
  /* Evaluates plan 0 of `plan` against `element` into `result`, dropping
   * what the result held before. The root record value, or null when an
   * argument is null, `element` is not an element, or memory runs out. */
  const void* (*eval_into)(const void* plan, void* element, void* result);
  /* Forgets the result's values for reuse: 1 when it may be reused, 0 when
   * it held so much memory that it was freed instead. */
  int (*result_recycle)(void* result);
  void (*result_free)(void* result);
  void (*plan_free)(void* plan);
  int (*value_kind)(const void* value);
  const char* (*value_name)(const void* value);
  unsigned char (*value_type_tag)(const void* value);
  const char* (*value_string)(const void* value);
  size_t (*value_length)(const void* value);
  size_t (*value_position)(const void* value);
  size_t (*value_count)(const void* value);
  void* (*value_at)(const void* value, size_t index);
  int (*value_int)(const void* value, long long int* out);
  int (*value_float)(const void* value, double* out);
  int (*value_bool)(const void* value, int* out);
  size_t (*value_attribute_count)(const void* value);
  /* Name and value of a record's index-th attribute (plan order); null
   * past the end. */
  const char* (*value_attribute_name)(const void* value, size_t index);
  const char* (*value_attribute_value)(const void* value, size_t index);
} korvith_plan_direct;

/* The address of the table (a const korvith_plan_direct), the same static
 * table for every call. */
KORVITH_API const void* korvith_plan_direct_table(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_PLAN_DIRECT_H */
