/* libkorvith: entry points that only the Python package calls (not bound
 * into the extension module), and the engine's public codes.
 *
 * docs/engine.md describes every code, flag and choice.
 */
#ifndef KORVITH_ENGINE_EXT_H
#define KORVITH_ENGINE_EXT_H

#include <stddef.h>

#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of the `flags` field of the parse options record (and of the
 * iterparse `flags` argument). Any other bit makes the parse fail with
 * status KORVITH_STATUS_BAD_OPTIONS. */
#define KORVITH_PARSE_NOBLANKS 0x01      /* drop ignorable whitespace-only text */
#define KORVITH_PARSE_NOCDATA 0x02       /* CDATA sections become plain text */
#define KORVITH_PARSE_HUGE 0x04          /* lift the size and depth limits */
#define KORVITH_PARSE_KEEP_ENTITIES 0x08 /* keep internal entity references as nodes */
#define KORVITH_PARSE_NSCLEAN 0x10       /* drop redundant namespace declarations */
#define KORVITH_PARSE_ALL 0x1F

/* Status for an options record the engine refuses (unknown flag bits,
 * strict_mode or max_depth out of range); equals libxml2's XML_ERR_ARGUMENT. */
#define KORVITH_STATUS_BAD_OPTIONS 115
/* Status for a document nested deeper than the max_depth option allows;
 * equals libxml2's XML_ERR_RESOURCE_LIMIT. */
#define KORVITH_STATUS_LIMIT 114

/* Codes of korvith_node_get_type. */
#define KORVITH_NODE_ELEMENT 0
#define KORVITH_NODE_TEXT 1
#define KORVITH_NODE_ATTRIBUTE 2
#define KORVITH_NODE_CDATA 3
#define KORVITH_NODE_COMMENT 4
#define KORVITH_NODE_PI 5
#define KORVITH_NODE_ENTITY_REF 6
#define KORVITH_NODE_DOCUMENT 7
#define KORVITH_NODE_OTHER 8
#define KORVITH_NODE_NONE (-1)

/* Status, message, line and column of the most recent failed parse,
 * compile or XPath evaluation on the calling thread; 0 when the most recent
 * such call succeeded. The message is copied NUL-terminated, truncated to
 * cap bytes (buf may be null when cap is 0). */
KORVITH_API int korvith_last_error(char* buf, size_t cap, int* line, int* column);

/* Compiled XPath expressions, shared between documents. */
KORVITH_API void* korvith_xpath_compile(const char* expression);
KORVITH_API void korvith_xpath_compiled_free(void* compiled);

/* Incremental parsing. */
KORVITH_API void* korvith_iterparse_open_file(const char* path, int flags, int* status);
KORVITH_API void* korvith_iterparse_open_buffer(const char* data, size_t length, int flags,
                                                int* status);
KORVITH_API void korvith_iterparse_release(void* iterator, void* element);
KORVITH_API int korvith_iterparse_error(void* iterator, char* buf, size_t cap, int* line,
                                        int* column);
KORVITH_API void* korvith_iterparse_document(void* iterator);
KORVITH_API void korvith_iterparse_free(void* iterator);

/* Prepared queries (korvith/xquery.h).
 *
 * korvith_xquery_configure sets a prepared query's bound on the items one
 * intermediate sequence may hold (max_items, at least 1; the default is
 * 1000000) and its flags; returns 0, or -1 for a null query, a zero bound or
 * unknown flags. KORVITH_XQUERY_NO_OPTIMIZE evaluates every expression as
 * written (no hoisting, no hash joins); the results are the same.
 *
 * A result that holds more than elements (other nodes, several atomic
 * values) comes back from the bound slot as the node-set of its elements;
 * right after that call, on the same thread, korvith_xquery_items gives the
 * number of items of the whole result (-1 when the result is to be taken as
 * it is) and korvith_xquery_item describes item `index`: it returns
 * KORVITH_XQUERY_ITEM_ELEMENT (the next element of the node-set),
 * _STRING (text and length set; valid until the next evaluation on the
 * thread), _NUMBER or _BOOLEAN (number set; 0 or 1 for a boolean), or -1
 * for an index out of range. korvith_xquery_items_clear releases them. */
#define KORVITH_XQUERY_NO_OPTIMIZE 0x01
#define KORVITH_XQUERY_DEFAULT_MAX_ITEMS 1000000
#define KORVITH_XQUERY_ITEM_ELEMENT 0
#define KORVITH_XQUERY_ITEM_STRING 1
#define KORVITH_XQUERY_ITEM_NUMBER 2
#define KORVITH_XQUERY_ITEM_BOOLEAN 3
KORVITH_API int korvith_xquery_configure(void* query, size_t max_items, int flags);
KORVITH_API long korvith_xquery_items(void);
KORVITH_API int korvith_xquery_item(size_t index, const char** text, size_t* length,
                                    double* number);
KORVITH_API void korvith_xquery_items_clear(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_EXT_H */
