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
/* Attribute defaults declared in the internal DTD subset are applied unless
 * this bit is set (an external subset is never read for them). */
#define KORVITH_PARSE_NO_DEFAULT_ATTRS 0x100
#define KORVITH_PARSE_NO_COMMENTS 0x200 /* drop comments; text around them merges */
#define KORVITH_PARSE_NO_PIS 0x400      /* drop processing instructions likewise */
#define KORVITH_PARSE_ALL 0x71F

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
/* Kind of an XPath namespace node in a result snapshot. */
#define KORVITH_NODE_NAMESPACE 9

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

/* Iterator events beyond end tags. Before the first korvith_iterparse_next_event
 * call, korvith_iterparse_set_events picks the events (a mask of
 * KORVITH_EVENT_*; 1 for an unknown bit); from then on the iterator hands
 * out events, in document order, through korvith_iterparse_next_event
 * instead of elements through korvith_iterparse_next. next_event returns
 * the element of a start or end event (null for the others, and at the end
 * with *kind 0). korvith_iterparse_event_text gives the current event's
 * texts, valid until the next event: which 0 is the namespace prefix
 * ("" for a default namespace), the comment text or the PI target; which 1
 * the namespace URI or the PI data. Namespace events come before the start
 * event and after the end event of the element that declares them. */
#define KORVITH_EVENT_START 0x01
#define KORVITH_EVENT_END 0x02
#define KORVITH_EVENT_START_NS 0x04
#define KORVITH_EVENT_END_NS 0x08
#define KORVITH_EVENT_COMMENT 0x10
#define KORVITH_EVENT_PI 0x20
#define KORVITH_EVENT_ALL 0x3F
KORVITH_API int korvith_iterparse_set_events(void* iterator, int mask);
KORVITH_API void* korvith_iterparse_next_event(void* iterator, int* kind);
KORVITH_API const char* korvith_iterparse_event_text(void* iterator, int which);

/* An iterator fed by the caller: korvith_iterparse_push appends input
 * (copied; last != 0 marks the end; 1 when refused). While
 * korvith_iterparse_wants_input answers 1, next/next_event return null
 * because all input so far is parsed: push more, then ask again. */
KORVITH_API void* korvith_iterparse_open_push(int flags, int* status);
KORVITH_API int korvith_iterparse_push(void* iterator, const char* data, size_t length, int last);
KORVITH_API int korvith_iterparse_wants_input(void* iterator);

/* A SAX recording fed by the caller: korvith_sax_push hands over the next
 * block (borrowed until the next push or the free; last != 0 marks the
 * end), korvith_sax_step records it chunk by chunk, and
 * korvith_sax_wants_input answers 1 once the block is used up. */
KORVITH_API void* korvith_sax_open_push(int flags, size_t chunk);
KORVITH_API int korvith_sax_push(void* recorder, const char* data, size_t length, int last);
KORVITH_API int korvith_sax_wants_input(void* recorder);

/* How many nodes that are not elements the node-set most recently counted
 * by korvith_xpath_result_count on this thread held (0 after an evaluation
 * on this thread that gave no node-set). */
KORVITH_API size_t korvith_xpath_last_other_nodes(void);

/* XPath results with every node of a node-set. Evaluates like
 * korvith_xpath_compiled_eval_ns_vars (ns_set and vars may be null) and
 * copies the result into a snapshot owned by the caller (free it with
 * korvith_snapshot_free); null on failure (see korvith_last_error). The
 * snapshot holds copies of every string value and name; only the element
 * and document handles point into the tree. Item kinds are the
 * KORVITH_NODE_* codes; names are an attribute's Clark name, a PI's target
 * or a namespace node's prefix, else "". */
KORVITH_API void* korvith_xpath_snapshot_eval(void* compiled, void* document, void* context,
                                              void* ns_set, void* vars);
KORVITH_API int korvith_snapshot_type(void* snapshot);
KORVITH_API int korvith_snapshot_boolean(void* snapshot);
KORVITH_API double korvith_snapshot_number(void* snapshot);
KORVITH_API const char* korvith_snapshot_string(void* snapshot);
KORVITH_API size_t korvith_snapshot_count(void* snapshot);
/* Fills kinds[i] and elements[i] (null for nodes that are not elements or
 * the document) for up to capacity items; returns how many. */
KORVITH_API size_t korvith_snapshot_layout(void* snapshot, int* kinds, void** elements,
                                           size_t capacity);
KORVITH_API const char* korvith_snapshot_value(void* snapshot, size_t index);
KORVITH_API const char* korvith_snapshot_name(void* snapshot, size_t index);
/* Every string value and name of the items that are not elements or the
 * document, in order, as value NUL name NUL pairs (XML text holds no NUL).
 * Returns the bytes needed; fills buf only when cap is at least that. */
KORVITH_API size_t korvith_snapshot_pack(void* snapshot, char* buf, size_t cap);
KORVITH_API void korvith_snapshot_free(void* snapshot);

/* Errors reported while parsing a document (a document parsed with
 * recovery can have several), in the order reported; at most 1000 are kept.
 * korvith_document_issue copies the message like korvith_last_error and
 * returns the error's code, 0 for an index out of range. */
KORVITH_API size_t korvith_document_issue_count(void* document);
KORVITH_API int korvith_document_issue(void* document, size_t index, char* buf, size_t cap,
                                       int* line, int* column);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_EXT_H */
