/* libkorvith: walks that look for elements by name (and one attribute),
 * for the package's find/findall/iter: the whole search runs in the
 * engine, and only the elements it returns get a Python wrapper.
 *
 * docs/engine.md describes the tests and the walk order.
 */
#ifndef KORVITH_FIND_H
#define KORVITH_FIND_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of korvith_tag_test.flags. */
#define KORVITH_TEST_ANY_URI 0x1   /* any namespace, or none: uri is ignored */
#define KORVITH_TEST_ANY_LOCAL 0x2 /* any local name: local is ignored */

/* Attribute conditions (korvith_tag_test.attr_op). */
#define KORVITH_ATTR_NONE 0
#define KORVITH_ATTR_PRESENT 1 /* the attribute exists */
#define KORVITH_ATTR_EQUAL 2   /* it exists and its value is attr_value */
#define KORVITH_ATTR_UNEQUAL 3 /* it exists and its value is not attr_value */

/* One test on an element. uri null (without KORVITH_TEST_ANY_URI) means
 * "in no namespace". The attribute is named by attr_uri (null: no
 * namespace) and attr_local. Strings are UTF-8 and NUL-terminated. */
typedef struct korvith_tag_test {
  int flags;
  int attr_op;
  const char* uri;
  const char* local;
  const char* attr_uri;
  const char* attr_local;
  const char* attr_value;
} korvith_tag_test;

/* The next element of the subtree under `top`, in document order
 * (pre-order), that passes one of `count` tests (`tests` points to an
 * array of korvith_tag_test; count 0: every element passes). The walk
 * starts at `top` itself when `after` is null, else just after `after`,
 * which must be `top` or inside its subtree. Null when no element is
 * left; comments, processing instructions and text are skipped. */
KORVITH_API void* korvith_walk_next(void* top, void* after, const void* tests, size_t count);

/* The next element child of `parent` that passes one of the tests: the
 * first one when `after` is null, else the first after the child `after`.
 * Null when none is left. */
KORVITH_API void* korvith_child_next(void* parent, void* after, const void* tests, size_t count);

/* Axes of korvith_path_step. */
#define KORVITH_AXIS_CHILD 0
#define KORVITH_AXIS_DESCENDANT 1
/* The longest path korvith_path_next takes. */
#define KORVITH_PATH_MAX_STEPS 64

/* One step of a path: its elements are the children (or the descendants)
 * of the elements of the step before (of `top` for the first step) that
 * pass `test`. */
typedef struct korvith_path_step {
  int axis;
  korvith_tag_test test;
} korvith_path_step;

/* The next element, in document order, of those the `count` steps
 * (`steps` points to an array of korvith_path_step, 1 to
 * KORVITH_PATH_MAX_STEPS) select from `top`: the first one when `after`
 * is null, else the first after `after`, which must be below `top`. Each
 * element comes once, however many ways the path reaches it; the walk
 * skips subtrees the path cannot reach. Null when none is left. */
KORVITH_API void* korvith_path_next(void* top, void* after, const void* steps, size_t count);

#ifdef __cplusplus
}
#endif

#endif
