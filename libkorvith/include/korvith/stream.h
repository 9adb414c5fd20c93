/* libkorvith: filtered stepping of an iterparse iterator, for the package.
 *
 * korvith_iterparse_filter gives an iterator (korvith_iterparse_open_*) its
 * tag filter before the first step: `tags` holds `length` bytes of tags
 * separated by NUL bytes, each "local" or "{}local" (no namespace),
 * "{uri}local", "{*}local" (any namespace), "{uri}*", "{}*", "*" or "{*}*"
 * (every element). No tags (length 0): every element matches. With
 * `release` nonzero, each element that does not match is released
 * (korvith_iterparse_release) as the iterator passes it, unless it is the
 * root element or lies inside an element that matches (which still has to
 * be handed out whole). Returns 0, or 1 for a malformed tag or a null
 * iterator (the filter is then unchanged).
 *
 * korvith_iterparse_step releases `previous` (null: nothing) and returns
 * the next element that matches, null at the end (or when a pushed
 * iterator wants input: korvith_iterparse_wants_input).
 * korvith_iterparse_step_event does the same over events (after
 * korvith_iterparse_set_events): start and end events of elements that do
 * not match are skipped; other events pass. *kind is the event's kind, 0 at
 * the end.
 *
 * Release (here and in korvith_iterparse_release) frees the element with
 * its subtree and everything before it in document order that is complete
 * and not still to be handed out: its preceding siblings and those of each
 * ancestor (the ancestors stay, as does a DTD). So memory stays flat
 * whichever elements are handed out. */
#ifndef KORVITH_STREAM_H
#define KORVITH_STREAM_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

KORVITH_API int korvith_iterparse_filter(void* iterator, const char* tags, size_t length,
                                         int release);
KORVITH_API void* korvith_iterparse_step(void* iterator, void* previous);
KORVITH_API void* korvith_iterparse_step_event(void* iterator, void* previous, int* kind);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_STREAM_H */
