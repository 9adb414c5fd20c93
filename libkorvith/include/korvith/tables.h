/* libkorvith: plan extraction straight into Arrow record batches.
 *
 * The engine fills Arrow C Data Interface structs (korvith/arrow_c.h) that
 * the caller provides; it links no Arrow library. A filled struct owns
 * everything it points to: its `release` callback frees it exactly once,
 * whenever the consumer calls it, independently of the stream, the plan and
 * the parsed document. The struct parameters are `void*` so that callers
 * that only pass addresses (ctypes) need not know the layout.
 *
 * Column types follow the plan: attributes and str fields utf8, int int64,
 * float float64, bool bool, [T] / Tokens(T) / Wrapped(T) list<T>, a nested
 * plan struct, [plan] and Wrapped(plan) list<struct>. docs/plans.md
 * ("Arrow batches") describes the mapping and its limits.
 */
#ifndef KORVITH_TABLES_H
#define KORVITH_TABLES_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stream flag: a text that does not convert to its column's type becomes a
 * null (else the stream stops with an error naming field, text and line). */
#define KORVITH_TABLE_ERRORS_NULL 1

/* Fills `schema` (a struct ArrowSchema*) with the batch schema of `plan`, a
 * struct type whose children are the columns. Returns 0, or -1 with a
 * message in `error` when the plan has no Arrow type (a callback field, a
 * recursive plan), naming the field. */
KORVITH_API int korvith_table_schema(const void* plan, void* schema, char* error,
                                     size_t error_capacity);

/* A table stream over an iterparse iterator (not owned): records as
 * korvith_plan_stream_* yields them, gathered into batches of at most
 * `batch_size` rows. Null with a message when the plan has no Arrow type,
 * the tag is malformed or memory runs out. */
KORVITH_API void* korvith_table_stream_new(const void* plan, void* iterator, const char* tag,
                                           size_t batch_size, int flags, char* error,
                                           size_t error_capacity);
/* Fills `array` (a struct ArrowArray*, a struct array whose children are the
 * columns) with the next batch. Returns 1 for a batch; 0 at the end of input
 * (a parse error also ends input: see korvith_iterparse_error); -1 when a
 * record cannot be stored (korvith_table_stream_error says why), after the
 * rows before it have been delivered; -2 when memory runs out. */
KORVITH_API int korvith_table_stream_next(void* stream, void* array);
/* Copies the stream's error message (NUL-terminated, truncated to
 * `capacity`) and returns its line, 0 when it has none. */
KORVITH_API int korvith_table_stream_error(void* stream, char* message, size_t capacity);
KORVITH_API void korvith_table_stream_free(void* stream);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_TABLES_H */
