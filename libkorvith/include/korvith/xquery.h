/* libkorvith XQuery: a FLWOR layer over XPath 1.0.
 *
 * A query is prepared once from its text and can then be evaluated against
 * any number of documents, from any thread (evaluation keeps no state in the
 * prepared query). docs/xquery.md describes the supported language.
 */
#ifndef KORVITH_XQUERY_H
#define KORVITH_XQUERY_H

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Parses and compiles a query. Returns null when the text is not in the
 * supported language; the reason is then available from korvith_last_error
 * (status KORVITH_XQUERY_STATUS, column of the offending token). */
KORVITH_API void* korvith_xquery_prepare(const char* text);

/* Releases a prepared query; null is accepted. */
KORVITH_API void korvith_xquery_free(void* query);

/* Status reported through korvith_last_error for a query that failed to
 * prepare or to evaluate. */
#define KORVITH_XQUERY_STATUS 9100

/* The bound slot korvith_xquery_eval(query, document, context) is declared
 * in engine.h: it returns an xmlXPathObjectPtr (release it with
 * korvith_xpath_result_free) or null when evaluation fails, with the reason
 * in korvith_last_error. */

#ifdef __cplusplus
}
#endif

#endif
