/* libkorvith: the direct evaluator of simple XPath location paths.
 *
 * Every XPath evaluation first tries the engine's own evaluator for a small
 * set of location paths that select elements (docs/engine.md lists it);
 * everything else, and every case it is not sure about, goes to libxml2's
 * evaluator. Both give the same node-set.
 */
#ifndef KORVITH_XPATH_FAST_H
#define KORVITH_XPATH_FAST_H

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the most recent XPath evaluation on this thread was answered by the
 * direct evaluator, 0 when libxml2 evaluated it (or it failed before
 * evaluating). For tests and diagnostics. */
KORVITH_API int korvith_xpath_last_fast(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_XPATH_FAST_H */
