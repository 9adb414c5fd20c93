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

/* Tree editing. Names are a namespace URI (null or "" for none) and a
 * local name (an NCName). Entries returning int give 0 on success and -1
 * when they refuse (korvith_last_error says why); a refused edit changes
 * nothing. Nodes taken out of a tree stay valid until their document is
 * freed. */
#define KORVITH_EDIT_APPEND 0 /* as the last child of the anchor */
#define KORVITH_EDIT_BEFORE 1 /* right before the anchor */
#define KORVITH_EDIT_AFTER 2  /* right after the anchor and its tail */
#define KORVITH_EDIT_OWN_SUBTREE (-2) /* attach: the node is the anchor's ancestor */
#define KORVITH_EDIT_COMMENT 1
#define KORVITH_EDIT_PI 2

/* A new element: with a null context, the root of a new document (freed
 * with korvith_document_free); else unattached, in the context element's
 * document, its namespace looked up from the context. */
KORVITH_API void* korvith_edit_new_element(void* context, const char* uri, const char* local,
                                           const char* const* prefixes,
                                           const char* const* uris, size_t ns_count);
/* A new comment (kind KORVITH_EDIT_COMMENT, `content`) or processing
 * instruction (KORVITH_EDIT_PI, target `name`); context as above. */
KORVITH_API void* korvith_edit_new_node(void* context, int kind, const char* name,
                                        const char* content);
KORVITH_API void* korvith_edit_document_of(void* node);
KORVITH_API const char* korvith_edit_node_content(void* node);
KORVITH_API int korvith_edit_set_content(void* node, const char* content);
KORVITH_API int korvith_edit_set_tag(void* element, const char* uri, const char* local);
KORVITH_API int korvith_edit_set_attribute(void* element, const char* uri, const char* local,
                                           const char* value);
/* 0 removed, 1 there was no such attribute, -1 refused. */
KORVITH_API int korvith_edit_remove_attribute(void* element, const char* uri, const char* local);
/* A null text removes the text (or tail) altogether. */
KORVITH_API int korvith_edit_set_text(void* element, const char* text);
KORVITH_API int korvith_edit_set_tail(void* node, const char* text);
/* Moves `node` with its tail (from any document) next to `anchor`;
 * KORVITH_EDIT_OWN_SUBTREE when it would become its own ancestor. */
KORVITH_API int korvith_edit_attach(void* node, void* anchor, int where);
/* Takes `node` with its tail out of its parent. */
KORVITH_API int korvith_edit_detach(void* node);
KORVITH_API int korvith_edit_clear(void* element, int keep_tail);
/* 1 when `candidate` is `node` or one of its ancestors, else 0. */
KORVITH_API int korvith_edit_is_ancestor(void* candidate, void* node);
/* A deep copy (tail excluded) as the root of a new document. */
KORVITH_API void* korvith_edit_copy(void* node);
/* The elements, comments and processing instructions of the subtree in
 * document order: the count, and the first `cap` of them in `out`. */
KORVITH_API size_t korvith_edit_subtree(void* node, void** out, size_t cap);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_EXT_H */
