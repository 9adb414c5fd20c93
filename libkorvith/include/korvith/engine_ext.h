/* libkorvith: entry points that only the Python package calls (not bound
 * into the extension module), and the engine's public codes.
 *
 * docs/engine.md describes every code, flag and choice.
 */
#ifndef KORVITH_ENGINE_EXT_H
#define KORVITH_ENGINE_EXT_H

#include <stddef.h>

#include "korvith/abi.h"
#include "korvith/engine.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Status for an options record the engine refuses (unknown flag bits,
 * strict_mode or max_depth out of range); equals libxml2's XML_ERR_ARGUMENT. */
#define KORVITH_STATUS_BAD_OPTIONS 115
/* Status for a document nested deeper than the max_depth option allows;
 * equals libxml2's XML_ERR_RESOURCE_LIMIT. */
#define KORVITH_STATUS_LIMIT 114

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

/* ---- Validation, HTML, canonical XML and XSLT ---------------------------
 * Calls that can report several errors take a diagnostics list made by the
 * caller (one per call); entries are read back with korvith_diag_entry,
 * whose strings live until the list is freed. Levels: 1 warning, 2 error,
 * 3 fatal. allowed_dirs lists the directories a schema or stylesheet may
 * read other files from, separated by NUL bytes and ended by an empty
 * entry (null: none). */
KORVITH_API void* korvith_diag_new(void);
KORVITH_API void korvith_diag_free(void* diag);
KORVITH_API size_t korvith_diag_count(void* diag);
KORVITH_API int korvith_diag_entry(void* diag, size_t index, int* line, int* column,
                                   const char** message, const char** path, const char** file);
/* Frees a buffer the engine handed out (c14n and XSLT output). */
KORVITH_API void korvith_buffer_free(void* buffer);

#define KORVITH_SCHEMA_XSD 1
#define KORVITH_SCHEMA_RELAXNG 2
#define KORVITH_SCHEMA_DTD 3
/* Compiles a schema from its text; base is its file name (relative
 * references resolve against it; may be null). Null on failure. */
KORVITH_API void* korvith_schema_compile(int kind, const char* data, size_t length,
                                         const char* base, const char* allowed_dirs, void* diag);
/* Validates a copy of the document (element null) or of one element; a
 * null schema means the document's own internal DTD. 1 valid, 0 invalid,
 * -1 validation could not run. */
KORVITH_API int korvith_schema_validate(void* schema, void* document, void* element, void* diag);
KORVITH_API void korvith_schema_free(void* schema);

/* Parses HTML with recovery; encoding may be null (then the <meta>
 * charset or a BOM decides). *status is the first error's code (0: none). */
KORVITH_API void* korvith_html_parse(const char* data, size_t length, const char* encoding,
                                     const char* url, int* status);

/* Canonical XML of a document or an element's subtree. mode: 0 C14N 1.0,
 * 1 exclusive C14N 1.0, 2 C14N 1.1. Returns the byte count (or -1) and the
 * bytes in *out. */
KORVITH_API long long korvith_c14n(void* document, void* element, int mode, int with_comments,
                                   const char* inclusive_prefixes, char** out);

/* XSLT: compile a stylesheet from its text, apply it to a copy of a
 * document (params: name, XPath expression, ..., null). */
KORVITH_API void* korvith_xslt_compile(const char* data, size_t length, const char* base,
                                       const char* allowed_dirs, void* diag);
KORVITH_API void* korvith_xslt_apply(void* xslt, void* document, void* element,
                                     const char** params, int allow_documents, int max_depth,
                                     void* diag, char** out, size_t* out_length);
KORVITH_API void korvith_xslt_free(void* xslt);

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
