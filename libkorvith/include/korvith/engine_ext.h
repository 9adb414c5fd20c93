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

/* Parses the file at `path` with an options record (the four int32 of
 * korvith_parse_string_ex), reading it in chunks as the parser goes: the
 * file is never held in memory whole, and reading stops at the first fatal
 * error. Status and errors as korvith_parse_file. */
KORVITH_API void* korvith_parse_file_ex(const char* path, const void* options, int* status);

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

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_EXT_H */
