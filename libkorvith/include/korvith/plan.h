/* libkorvith: typed extraction plans and SAX recordings.
 *
 * These entry points are called by the package only (through ctypes); the
 * module reads what they produce through the bound plan_value_* and sax_*
 * slots. docs/plans.md describes the plan encoding and every row kind.
 */
#ifndef KORVITH_PLAN_H
#define KORVITH_PLAN_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Plans ---------------------------------------------------------------
 * A compiled plan is immutable and may be evaluated any number of times.
 * `korvith_plan_compile` takes the encoded description (docs/plans.md) and
 * returns null on a malformed description, with a message copied to `error`
 * (NUL-terminated, truncated to `error_capacity`; `error` may be null).
 */
KORVITH_API void* korvith_plan_compile(const char* description, size_t length, char* error,
                                       size_t error_capacity);
KORVITH_API void korvith_plan_free(void* plan);

/* Evaluates a plan against an element into a new result that owns every
 * value of the tree in one arena. The texts are copies: the result stays
 * valid after the element's document changes or goes away. Null when the
 * plan or element is null or memory runs out. Names in the tree are the
 * plan's own strings: free a result before its plan. */
KORVITH_API void* korvith_plan_eval(const void* plan, void* element);
/* The root plan value of a result (a record value), for plan_convert. */
KORVITH_API const void* korvith_plan_result_root(const void* result);
KORVITH_API void korvith_plan_result_free(void* result);

/* Streaming extraction over an iterparse iterator (korvith_iterparse_open_*).
 * Each call reads on until the end tag of the next element whose name is
 * `tag` (a local name, or "{uri}local"), evaluates the plan against it,
 * releases its subtree in the iterator and returns the root plan value. The
 * value stays valid until the next call or korvith_plan_stream_free. Other
 * elements outside any match are released as they complete, so memory stays
 * flat. Returns null at the end of input or on a parse error (see
 * korvith_iterparse_error). The stream does not own the iterator. */
KORVITH_API void* korvith_plan_stream_new(const void* plan, void* iterator, const char* tag);
KORVITH_API const void* korvith_plan_stream_next(void* stream);
KORVITH_API void korvith_plan_stream_free(void* stream);

/* ---- SAX recordings -------------------------------------------------------
 * A recorder parses its input in steps of `chunk` bytes (0: 1 MiB; at most
 * 64 MiB) with a push parser and keeps the events of the last step as 40-byte
 * records plus one string arena, read through korvith_sax_records and
 * korvith_sax_arena. Network access and external entities are never used.
 * `flags`: KORVITH_PARSE_HUGE (engine_ext.h) lifts libxml2's size limits;
 * other bits are ignored.
 *
 * `korvith_sax_open_buffer` does not copy: the caller keeps `data` alive and
 * unchanged until korvith_sax_free. Null when the file cannot be opened
 * (errno is kept) or memory runs out.
 */
KORVITH_API void* korvith_sax_open_buffer(const char* data, size_t length, int flags, size_t chunk);
KORVITH_API void* korvith_sax_open_file(const char* path, int flags, size_t chunk);
/* Drops the previous step's records and records the events of the next
 * chunk. Returns 1 while input remains, 0 once the parse has ended (the last
 * step's records are still to be drained), -1 on a read error. */
KORVITH_API int korvith_sax_step(void* recorder);
KORVITH_API void korvith_sax_free(void* recorder);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_PLAN_H */
