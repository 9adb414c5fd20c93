// Shared internals of the engine: per-document side storage, the
// thread-local error record and small helpers used by every unit.
#ifndef KORVITH_INTERNAL_H
#define KORVITH_INTERNAL_H

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xpath.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "korvith/engine.h"
#include "korvith/engine_ext.h"
#include "entry.h"

namespace korvith {

// One error reported while parsing a document.
struct ParseIssue {
  int code = 0;
  int level = 0;
  std::string message;
  int line = 0;
  int column = 0;
};

// At most this many errors are kept per document (hostile input can
// produce one per byte); the last kept one says that more were dropped.
constexpr size_t kMaxIssues = 1000;

// Everything the engine hangs off one document (doc->_private). Strings
// handed out from the arena live until the document is freed; the mutex
// guards the arena and the caches, since threads may read one document at
// the same time.
// Hashes and compares a string_view against the arena's strings, so that a
// lookup of a string already interned allocates nothing.
struct ArenaHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

// A namespaced attribute's "{uri}local" name in the arena, with where its
// URI ends.
struct ClarkName {
  const char* text;
  size_t uri_length;
};

inline constexpr size_t kClarkSlots = 128;

// Bytes that libxml2 allocated, released with xmlFree.
struct XmlFree {
  void operator()(xmlChar* p) const noexcept { xmlFree(p); }
};
struct XmlBytes {
  std::unique_ptr<xmlChar, XmlFree> data;
  size_t size = 0;
  const char* chars() const { return reinterpret_cast<const char*>(data.get()); }
};

struct DocSide {
  std::mutex mu;
  // Node-based: c_str() stays put.
  std::unordered_set<std::string, ArenaHash, std::equal_to<>> arena;
  // "{uri}local" names of namespaced attributes, found again without the
  // lock (attributes.cpp). A direct-mapped table indexed by the URI and
  // name pointers says where to look; a reader takes a slot's name only
  // when its bytes spell the URI and name asked for, since an edit can free
  // a namespace and a new one can take its address. Slots are written
  // under `mu` and point into `clark_names`, whose nodes, like the arena's
  // strings, live until the document is freed: one per distinct name.
  std::atomic<const ClarkName*> clark_slots[kClarkSlots] = {};
  std::unordered_map<const char*, ClarkName> clark_names;
  xmlXPathContextPtr xpath = nullptr;  // reused evaluation state
  // Last element serialisation, so that the filling call copies what the
  // sizing call produced.
  const void* ser_node = nullptr;
  int ser_indent = 0;
  int ser_decl = 0;
  std::string ser_encoding;
  bool ser_has_encoding = false;
  XmlBytes ser_out;
  bool ser_valid = false;
  // Every error the parser reported (a recovered document has some).
  std::vector<struct ParseIssue> issues;
  // Child lookups by position: the last position found and the last count,
  // so that walking children by index is linear overall. Only used while
  // the element structure cannot change (documents from the parse
  // functions; not documents still being built by iterparse).
  bool stable = false;
  // The document declares entities: reading the text behind an entity
  // reference (string values, attribute values kept as nodes) makes
  // libxml2 mark the shared entity declaration while it expands it, so
  // those reads go one thread at a time, under `mu`.
  bool entity_reads_exclusive = false;
  const xmlNode* pos_parent = nullptr;
  size_t pos_index = 0;
  xmlNodePtr pos_node = nullptr;
  const xmlNode* count_parent = nullptr;
  size_t count_value = 0;
  // Counts the structural edits (edit.cpp: attach, detach, clear): an
  // iterparse iterator that saw no change since it handed an element out
  // may rely on what the parse order proves about that element.
  std::atomic<uint64_t> structure_changes{0};
  // Subtrees taken out of the tree by editing (roots, each possibly
  // followed by its tail text). They are freed with the document, never
  // earlier: a wrapper may still reach them. A root found re-attached (it
  // has a parent) or moved to another document by then is skipped.
  std::unordered_set<xmlNodePtr> detached;
};

DocSide* side_of(xmlDocPtr doc);  // creates it on first use
// Drops the kept element serialisation after the tree changed, so that a
// filling call (or a sizing call for a new node at a freed node's address)
// never hands out output of the old content.
void side_forget_output(xmlDocPtr doc);
void side_attach(xmlDocPtr doc);  // creates it eagerly (at parse time)
void side_release(xmlDocPtr doc);
// Frees the detached subtrees still owned by `doc` (edit.cpp).
void free_detached(xmlDocPtr doc, DocSide* side);

// Notes whether reads of `doc` must hold the document's lock while they
// expand entity references (see DocSide::entity_reads_exclusive). Called
// once the document's internal subset is complete, before any other thread
// can see the document.
void side_note_entities(xmlDocPtr doc);
// Holds the document's lock when its reads must expand entities one thread
// at a time; an empty lock otherwise.
std::unique_lock<std::mutex> lock_entity_reads(xmlDocPtr doc);
// The text of a list of attribute value nodes with entity references
// expanded, read under lock_entity_reads.
std::string joined_value(xmlDocPtr doc, xmlNodePtr kids);

// Interns a string in the document's arena and returns a stable pointer.
const char* intern(xmlDocPtr doc, std::string_view text);
// The same, for a caller that already holds `side->mu`.
const char* intern_locked(DocSide* side, std::string_view text);

// Thread-local record of the most recent failure of a parse, compile or
// evaluation on this thread.
void error_clear();
// Neither throws: they are called from libxml2's callbacks too. Without
// memory for the message, the record keeps the code alone.
void error_set(int code, std::string_view message, int line, int column) noexcept;
void error_from(const xmlError* err) noexcept;
int error_code();

// Copies a message, dropping the trailing newline libxml2 adds, and names
// korvith's own keyword where libxml2 names its option (`huge_on`: the
// parse already lifted the size limits).
std::string trim_message(const char* msg, bool huge_on = false);

// Parse options as the engine builds them from the public flag bits.
struct ParseConfig {
  int flags = 0;         // KORVITH_PARSE_* bits
  int strict_mode = -1;  // -1 default, 0 lenient, 1 warnings are errors
  int max_depth = 0;     // 0: libxml2's limit
  int recover = 0;
};

int libxml_options(int flags, bool recover);

// Installs the engine's hooks on a parser context: the error collector,
// a resource loader that refuses every external resource, and the SAX hooks
// that record big line numbers and enforce max_depth.
struct ParseState {
  ParseConfig cfg;
  int first_error = 0;
  int first_level = 0;
  std::string message;
  int line = 0;
  int column = 0;
  int depth = 0;
  bool ns_error = false;
  bool depth_exceeded = false;
  xmlDocPtr doc = nullptr;          // the document under construction, seen at its first element
  xmlParserCtxtPtr ctxt = nullptr;  // the parser these hooks are installed on
  // Set at the first fatal error (without recovery) or resource limit:
  // the engine's own input readers then report the end of input, so a
  // parse never reads on past an error that already decided it.
  bool stop_reading = false;
  // Bytes of input the parse was given or read: a parse of a big input
  // does not hand its context on to the next parse of the thread.
  size_t input_bytes = 0;
  // The last refused reference to an external entity (name, line and
  // column): libxml2 may look the same reference up more than once.
  std::string refused_entity;
  std::vector<ParseIssue> issues;  // every error, in the order reported
  bool issues_truncated = false;
  // iterparse: called with each element of the tree once it is complete,
  // in end-tag order.
  void (*on_end)(void* data, xmlNodePtr node) = nullptr;
  void* on_end_data = nullptr;
  // iterparse with start events: called with each element of the tree
  // once its start tag (and its namespace declarations) is parsed.
  void (*on_start)(void* data, xmlNodePtr node) = nullptr;
  // iterparse: the open elements. libxml2 parses an entity's content once,
  // into nodes owned by the entity declaration, and puts copies of them
  // into the tree for every reference, without parse events. `seen` is
  // the last child of the open element already accounted for; children
  // after it that are elements the parser did not announce are such
  // copies, and are handed out (subtree in end-tag order) at the next
  // event. Elements inside an entity's own content are never handed out.
  struct Open {
    xmlNodePtr node;
    xmlNodePtr seen;
    bool in_entity;
  };
  std::vector<Open> open;
};

// iterparse: `node` and its preceding siblings are about to be freed;
// forget them where the open-element records point at them.
void forget_released(ParseState* state, xmlNodePtr node);

void install_hooks(xmlParserCtxtPtr ctxt, ParseState* state);

// iterparse: ends the iterator with `code` and `message` as its error, for
// a failure of the code reading it (a record that could not be evaluated),
// so the caller never mistakes the stop for the end of the input.
void iterparse_fail(void* iterator, int code, const char* message) noexcept;

// Clears the SAX hooks of what the flags drop (KORVITH_PARSE_NO_COMMENTS,
// KORVITH_PARSE_NO_PIS) and the external-subset hook, which the engine
// never uses.
void apply_drop_options(xmlSAXHandler* sax, int flags);

inline xmlNodePtr as_node(void* p) { return static_cast<xmlNodePtr>(p); }
inline bool is_element(const xmlNode* n) { return n != nullptr && n->type == XML_ELEMENT_NODE; }
inline const char* cstr(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
inline const xmlChar* xstr(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// Attribute helpers shared by the attribute and serialisation units.
xmlAttrPtr find_attribute(xmlNodePtr element, const char* name);
xmlAttrPtr find_attribute_ns(xmlNodePtr element, const char* uri, const char* local);
const char* attribute_value(xmlNodePtr element, xmlAttrPtr attr);

// Opens a file for reading; on failure returns -1 after setting the status
// (libxml2's I/O codes) and the thread's error record.
int open_source(const char* path, int* status);

// Source line of a node, exact beyond 65535.
int node_line_of(xmlNodePtr node);

}  // namespace korvith

#endif
