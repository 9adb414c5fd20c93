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
KORVITH_API void* korvith_xslt_apply(void* xslt, void* document, void* element, const char** params,
                                     int allow_documents, int max_depth, void* diag, char** out,
                                     size_t* out_length);
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
 * thread), _NUMBER or _BOOLEAN (number set; 0 or 1 for a boolean),
 * _DOCUMENT (the document node), or -1
 * for an index out of range. korvith_xquery_items_clear releases them. */
#define KORVITH_XQUERY_NO_OPTIMIZE 0x01
#define KORVITH_XQUERY_DEFAULT_MAX_ITEMS 1000000
#define KORVITH_XQUERY_ITEM_ELEMENT 0
#define KORVITH_XQUERY_ITEM_STRING 1
#define KORVITH_XQUERY_ITEM_NUMBER 2
#define KORVITH_XQUERY_ITEM_BOOLEAN 3
#define KORVITH_XQUERY_ITEM_DOCUMENT 4 /* the document node itself */
KORVITH_API int korvith_xquery_configure(void* query, size_t max_items, int flags);
KORVITH_API long korvith_xquery_items(void);
KORVITH_API int korvith_xquery_item(size_t index, const char** text, size_t* length,
                                    double* number);
KORVITH_API void korvith_xquery_items_clear(void);

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

/* Tree editing. Names are a namespace URI (null or "" for none) and a
 * local name (an NCName). Entries returning int give 0 on success and -1
 * when they refuse (korvith_last_error says why); a refused edit changes
 * nothing. Nodes taken out of a tree stay valid until their document is
 * freed. */
#define KORVITH_EDIT_APPEND 0         /* as the last child of the anchor */
#define KORVITH_EDIT_BEFORE 1         /* right before the anchor */
#define KORVITH_EDIT_AFTER 2          /* right after the anchor and its tail */
#define KORVITH_EDIT_OWN_SUBTREE (-2) /* attach: the node is the anchor's ancestor */
#define KORVITH_EDIT_COMMENT 1
#define KORVITH_EDIT_PI 2

/* A new element: with a null context, the root of a new document (freed
 * with korvith_document_free); else unattached, in the context element's
 * document, its namespace looked up from the context. */
KORVITH_API void* korvith_edit_new_element(void* context, const char* uri, const char* local,
                                           const char* const* prefixes, const char* const* uris,
                                           size_t ns_count);
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

/* Parsing with a named input encoding, and from a caller's reader. All
 * three take the options record of korvith_parse_string_ex and touch
 * nothing but their arguments, so callers may run them without holding any
 * lock of their own. `encoding` null: the encoding the input declares or
 * starts with (a byte order mark), else UTF-8; otherwise that encoding,
 * whatever the input declares. Bytes that are not valid in the encoding are
 * an error in every case: nothing is re-read in another encoding. An
 * encoding the engine does not know fails with
 * KORVITH_STATUS_UNKNOWN_ENCODING (libxml2's XML_ERR_UNSUPPORTED_ENCODING). The document never
 * refers into `data`. */
#define KORVITH_STATUS_UNKNOWN_ENCODING 32
KORVITH_API void* korvith_parse_memory_enc(const char* data, size_t length, const void* options,
                                           const char* encoding, int* status);
KORVITH_API void* korvith_parse_file_enc(const char* path, const void* options,
                                         const char* encoding, int* status);
/* `read` fills up to `cap` bytes of `buf` and returns how many (0 at the
 * end of the input, -1 for a failure, which ends the parse with
 * KORVITH_STATUS_READ_FAILED, libxml2's XML_IO_EIO). It is called on the parsing thread only,
 * never again after the first fatal error or resource limit. */
#define KORVITH_STATUS_READ_FAILED 1516
typedef int (*korvith_read_fn)(void* context, char* buf, int cap);
KORVITH_API void* korvith_parse_reader(korvith_read_fn read, void* context, const void* options,
                                       const char* encoding, int* status);
/* 1 when the parse entries can read input in the named encoding, else 0. */
KORVITH_API int korvith_encoding_known(const char* name);

#ifdef __cplusplus
}
#endif

#endif /* KORVITH_ENGINE_EXT_H */
