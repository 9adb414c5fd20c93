// Documents: per-document side storage, parsing with the engine's safety
// settings, and the document lifecycle.
#include <libxml/SAX2.h>
#include <libxml/encoding.h>
#include <libxml/parserInternals.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include <new>

#include "internal.h"

namespace korvith {

// ---- side storage -------------------------------------------------------

DocSide* side_of(xmlDocPtr doc) {
  if (doc == nullptr) return nullptr;
  // Two threads may ask for the side storage of a document that has none
  // yet: the first one to publish its record wins, the other drops its own.
  std::atomic_ref<void*> slot(doc->_private);
  void* current = slot.load(std::memory_order_acquire);
  if (current != nullptr) return static_cast<DocSide*>(current);
  auto* fresh = new DocSide();
  if (slot.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return fresh;
  delete fresh;
  return static_cast<DocSide*>(current);
}

void side_note_entities(xmlDocPtr doc) {
  DocSide* side = side_of(doc);
  if (side == nullptr) return;
  auto declares = [](const xmlDtd* dtd) {
    return dtd != nullptr && (dtd->entities != nullptr || dtd->pentities != nullptr);
  };
  side->entity_reads_exclusive = declares(doc->intSubset) || declares(doc->extSubset);
}

std::unique_lock<std::mutex> lock_entity_reads(xmlDocPtr doc) {
  if (doc == nullptr || doc->_private == nullptr) return {};
  auto* side = static_cast<DocSide*>(doc->_private);
  if (!side->entity_reads_exclusive) return {};
  return std::unique_lock<std::mutex>(side->mu);
}

std::string joined_value(xmlDocPtr doc, xmlNodePtr kids) {
  std::string out;
  auto lock = lock_entity_reads(doc);
  xmlChar* joined = xmlNodeListGetString(doc, kids, 1);
  if (joined != nullptr) out = cstr(joined);
  xmlFree(joined);
  return out;
}

void side_attach(xmlDocPtr doc) { (void)side_of(doc); }

void side_forget_output(xmlDocPtr doc) {
  if (doc == nullptr || doc->_private == nullptr) return;
  auto* side = static_cast<DocSide*>(doc->_private);
  std::lock_guard<std::mutex> lock(side->mu);
  side->ser_valid = false;
  side->ser_node = nullptr;
  side->ser_out = XmlBytes{};
}

void side_release(xmlDocPtr doc) {
  if (doc == nullptr || doc->_private == nullptr) return;
  auto* side = static_cast<DocSide*>(doc->_private);
  if (side->xpath != nullptr) xmlXPathFreeContext(side->xpath);
  free_detached(doc, side);
  delete side;
  doc->_private = nullptr;
}

const char* intern_locked(DocSide* side, std::string_view text) {
  // Most names are asked for again and again: find first, and only a new
  // one makes a string.
  auto it = side->arena.find(text);
  if (it == side->arena.end()) it = side->arena.emplace(text).first;
  return it->c_str();
}

const char* intern(xmlDocPtr doc, std::string_view text) {
  DocSide* side = side_of(doc);
  if (side == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(side->mu);
  return intern_locked(side, text);
}

// ---- parser configuration -------------------------------------------------

int libxml_options(int flags, bool recover) {
  // Always: no network, no external entities or DTDs, exact big line
  // numbers, no output on stderr (errors reach the context's handler).
  int opts = XML_PARSE_NONET | XML_PARSE_NO_XXE | XML_PARSE_BIG_LINES | XML_PARSE_NO_SYS_CATALOG |
             XML_PARSE_COMPACT;
  if ((flags & KORVITH_PARSE_KEEP_ENTITIES) == 0) opts |= XML_PARSE_NOENT;
  if (flags & KORVITH_PARSE_NOBLANKS) opts |= XML_PARSE_NOBLANKS;
  if (flags & KORVITH_PARSE_NOCDATA) opts |= XML_PARSE_NOCDATA;
  if (flags & KORVITH_PARSE_HUGE) opts |= XML_PARSE_HUGE;
  if (flags & KORVITH_PARSE_NSCLEAN) opts |= XML_PARSE_NSCLEAN;
  if (recover) opts |= XML_PARSE_RECOVER;
  // Defaults from <!ATTLIST> in the internal subset, as other XML
  // libraries apply them; install_hooks keeps the external subset unread.
  if ((flags & KORVITH_PARSE_NO_DEFAULT_ATTRS) == 0) opts |= XML_PARSE_DTDATTR;
  return opts;
}

namespace {

// A parse callback could not finish (memory ran out, or another exception):
// the parse fails with that status. Callbacks run inside libxml2, so no
// exception may leave them.
void callback_failed(ParseState* st, xmlParserCtxtPtr ctxt) noexcept {
  if (st != nullptr) {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      st->first_error = XML_ERR_NO_MEMORY;
    } catch (...) {
      st->first_error = XML_ERR_INTERNAL_ERROR;
    }
    st->first_level = XML_ERR_FATAL;
    st->message.clear();
    st->line = 0;
    st->column = 0;
  }
  if (ctxt != nullptr) xmlStopParser(ctxt);
}

void keep_issue(ParseState* st, const xmlError* err, const std::string& message) {
  if (st->issues.size() >= kMaxIssues) {
    st->issues_truncated = true;
    return;
  }
  try {
    ParseIssue issue;
    issue.code = err->code != 0 ? err->code : XML_ERR_INTERNAL_ERROR;
    issue.level = err->level;
    issue.message = message;
    issue.line = err->line;
    issue.column = err->int2;
    st->issues.push_back(std::move(issue));
  } catch (...) {
    st->issues_truncated = true;  // out of memory: keep what we have
  }
}

void on_parse_error(void* data, const xmlError* err) try {
  auto* st = static_cast<ParseState*>(data);
  if (st == nullptr || err == nullptr) return;
  if (err->domain == XML_FROM_NAMESPACE && err->level >= XML_ERR_ERROR) st->ns_error = true;
  // Without recovery a fatal error ends the parse, and a resource limit
  // ends it even under recovery: stop reading the input now instead of
  // scanning the rest of it (or an endless stream) for nothing.
  bool limit = err->code == XML_ERR_RESOURCE_LIMIT || err->code == XML_ERR_NO_MEMORY;
  if (err->level == XML_ERR_FATAL && (limit || !st->cfg.recover)) {
    st->stop_reading = true;
    if (st->ctxt != nullptr) xmlStopParser(st->ctxt);
  }
  bool counts =
      err->level >= XML_ERR_ERROR || (st->cfg.strict_mode == 1 && err->level == XML_ERR_WARNING);
  if (!counts) return;
  std::string message = trim_message(err->message, (st->cfg.flags & KORVITH_PARSE_HUGE) != 0);
  keep_issue(st, err, message);
  if (st->first_error != 0) return;
  st->first_error = err->code != 0 ? err->code : XML_ERR_INTERNAL_ERROR;
  st->first_level = err->level;
  st->message = std::move(message);
  st->line = err->line;
  st->column = err->int2;
} catch (...) {
  callback_failed(static_cast<ParseState*>(data), nullptr);
}

// The engine never loads an external entity, and libxml2 would put an
// empty text in place of a reference to one: the text would be dropped
// without a word. Such a reference is an error naming the entity instead
// (fatal, as an undefined entity is; under recovery the document comes
// back with it in its errors). With keep_entities the reference stays in
// the tree as a reference node and serialises back as `&name;`.
xmlEntityPtr get_entity(void* ctx, const xmlChar* name) try {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  xmlEntityPtr ent = xmlSAX2GetEntity(ctx, name);
  auto* st = static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt));
  if (ent == nullptr || st == nullptr || ent->etype != XML_EXTERNAL_GENERAL_PARSED_ENTITY ||
      (st->cfg.flags & KORVITH_PARSE_KEEP_ENTITIES) != 0) {
    return ent;
  }
  int line = 0, column = 0;
  xmlCtxtGetInputPosition(ctxt, 0, nullptr, &line, &column, nullptr);
  std::string key = cstr(name) + (":" + std::to_string(line)) + ":" + std::to_string(column);
  if (st->refused_entity == key) return ent;  // the same reference, asked again
  st->refused_entity = std::move(key);
  std::string message = std::string("External entity '") + cstr(name) +
                        "' is not loaded: the parser never reads external entities "
                        "(keep_entities=True keeps the reference as &" +
                        cstr(name) + ";)";
  xmlError err{};
  err.domain = XML_FROM_PARSER;
  err.code = XML_ERR_UNDECLARED_ENTITY;
  err.level = XML_ERR_FATAL;
  err.message = message.data();
  err.line = line;
  err.int2 = column;
  on_parse_error(st, &err);
  if (!st->cfg.recover) xmlStopParser(ctxt);
  return ent;
} catch (...) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  callback_failed(static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt)), ctxt);
  return nullptr;
}

// Every external resource (DTD, entity, XInclude) is refused; the main
// document never goes through the loader because the engine opens it itself.
xmlParserErrors refuse_resource(void*, const char*, const char*, xmlResourceType,
                                xmlParserInputFlags, xmlParserInput** out) {
  if (out != nullptr) *out = nullptr;
  return XML_IO_NETWORK_ATTEMPT;
}

// Hands out, in end-tag order, the subtree of an element copied into the
// tree from an entity's content.
void announce_copy(ParseState* st, xmlNodePtr top) {
  xmlNodePtr cur = top;
  // Post-order walk without recursion: descend to the deepest first
  // element, hand out on the way back up.
  for (;;) {
    while (xmlFirstElementChild(cur) != nullptr) cur = xmlFirstElementChild(cur);
    for (;;) {
      st->on_end(st->on_end_data, cur);
      if (cur == top) return;
      xmlNodePtr next = xmlNextElementSibling(cur);
      if (next != nullptr) {
        cur = next;
        break;
      }
      cur = cur->parent;
    }
  }
}

// Hands out the elements copied into the innermost open element since the
// last event (see ParseState::Open).
void sync_copies(ParseState* st) {
  if (st->on_end == nullptr || st->open.empty()) return;
  ParseState::Open& top = st->open.back();
  if (top.in_entity || top.node->last == top.seen) return;
  xmlNodePtr c = top.seen != nullptr ? top.seen->next : top.node->children;
  for (; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) announce_copy(st, c);
    top.seen = c;
  }
}

}  // namespace

void forget_released(ParseState* st, xmlNodePtr node) {
  if (st == nullptr || node == nullptr) return;
  for (ParseState::Open& o : st->open) {
    if (o.node != node->parent || o.seen == nullptr) continue;
    for (xmlNodePtr p = node; p != nullptr; p = p->prev) {
      if (p == o.seen) {
        o.seen = nullptr;  // what stays after `node` is all unseen
        break;
      }
    }
  }
}

namespace {

void start_element(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri,
                   int nb_namespaces, const xmlChar** namespaces, int nb_attributes,
                   int nb_defaulted, const xmlChar** attributes) try {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  auto* st = static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt));
  if (st != nullptr && st->cfg.max_depth > 0 && st->depth >= st->cfg.max_depth) {
    if (!st->depth_exceeded) {
      st->depth_exceeded = true;
      int line = 0, column = 0;
      xmlCtxtGetInputPosition(ctxt, 0, nullptr, &line, &column, nullptr);
      if (st->first_error == 0 || st->first_level < XML_ERR_ERROR) {
        st->first_error = KORVITH_STATUS_LIMIT;
        st->first_level = XML_ERR_FATAL;
        st->message = "Document nested deeper than the max_depth option allows (" +
                      std::to_string(st->cfg.max_depth) + ")";
        st->line = line;
        st->column = column;
      }
    }
    xmlStopParser(ctxt);
    return;
  }
  if (st != nullptr) sync_copies(st);
  xmlSAX2StartElementNs(ctx, localname, prefix, uri, nb_namespaces, namespaces, nb_attributes,
                        nb_defaulted, attributes);
  xmlNodePtr node = xmlCtxtGetNode(ctxt);
  if (st != nullptr) {
    st->depth++;
    if (st->doc == nullptr && node != nullptr) st->doc = node->doc;
    if (st->on_end != nullptr && node != nullptr && node->type == XML_ELEMENT_NODE) {
      // Inside an entity's own content when the parent is not the
      // open element of the tree (or, for the first element, not the
      // document).
      bool in_entity;
      if (st->open.empty()) {
        in_entity = node->parent == nullptr || node->parent->type != XML_DOCUMENT_NODE;
      } else {
        in_entity = st->open.back().in_entity || node->parent != st->open.back().node;
        if (!in_entity) st->open.back().seen = node;
      }
      st->open.push_back(ParseState::Open{node, nullptr, in_entity});
      if (st->on_start != nullptr && !in_entity) st->on_start(st->on_end_data, node);
    }
  }
  if (node != nullptr && node->type == XML_ELEMENT_NODE && node->line == 65535) {
    // libxml2 keeps 16 bits per element line: remember the exact one.
    int line = 0;
    if (xmlCtxtGetInputPosition(ctxt, 0, nullptr, &line, nullptr, nullptr) == 0 && line > 0) {
      node->_private = reinterpret_cast<void*>(static_cast<intptr_t>(line));
    }
  }
} catch (...) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  callback_failed(static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt)), ctxt);
}

void end_element(void* ctx, const xmlChar* localname, const xmlChar* prefix,
                 const xmlChar* uri) try {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  auto* st = static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt));
  xmlNodePtr node = xmlCtxtGetNode(ctxt);
  if (st != nullptr) sync_copies(st);
  xmlSAX2EndElementNs(ctx, localname, prefix, uri);
  if (st == nullptr) return;
  if (st->depth > 0) st->depth--;
  if (st->on_end == nullptr) return;
  bool in_entity = false;
  if (!st->open.empty() && st->open.back().node == node) {
    in_entity = st->open.back().in_entity;
    st->open.pop_back();
  }
  if (node != nullptr && node->type == XML_ELEMENT_NODE && !in_entity) {
    st->on_end(st->on_end_data, node);
  }
} catch (...) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  callback_failed(static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt)), ctxt);
}

}  // namespace

void apply_drop_options(xmlSAXHandler* sax, int flags) {
  // Applying attribute defaults makes libxml2 want the external subset;
  // the engine never reads one (the loader would refuse it anyway, but
  // with an error): the internal subset alone supplies the defaults.
  sax->externalSubset = nullptr;
  // Without a node for a comment or PI, the text on both sides of it
  // lands in one text node.
  if (flags & KORVITH_PARSE_NO_COMMENTS) sax->comment = nullptr;
  if (flags & KORVITH_PARSE_NO_PIS) sax->processingInstruction = nullptr;
}

void install_hooks(xmlParserCtxtPtr ctxt, ParseState* state) {
  state->ctxt = ctxt;
  xmlCtxtSetPrivate(ctxt, state);
  xmlCtxtSetErrorHandler(ctxt, on_parse_error, state);
  xmlCtxtSetResourceLoader(ctxt, refuse_resource, nullptr);
  xmlSAXHandler* sax = xmlCtxtGetSaxHandler(ctxt);
  if (sax != nullptr) {
    sax->startElementNs = start_element;
    sax->endElementNs = end_element;
    sax->getEntity = get_entity;
    apply_drop_options(sax, state->cfg.flags);
  }
}

namespace {

bool valid_config(const ParseConfig& cfg) {
  if ((cfg.flags & ~KORVITH_PARSE_ALL) != 0) return false;
  if (cfg.strict_mode < -1 || cfg.strict_mode > 1) return false;
  if (cfg.max_depth < 0) return false;
  return true;
}

// ---- one parser context per thread ----------------------------------------
//
// Making a parser context (its tables, its SAX handler, its dictionary) and
// freeing it again costs about as much as parsing a small document, so each
// thread keeps one and every parse on that thread reuses it. When a parse
// ends the context is reset (inputs, node and name stacks, namespaces,
// attribute defaults, the context's own strings, error count and status,
// the stop flag all go back to their start values). When the next parse
// starts, the SAX handler is copied back from the one a new context has
// (xmlCtxtSetOptions and the engine's drop options edit the handler, and
// libxml2 never undoes those edits), and the parse installs its options,
// hooks and state again.
//
// Dictionaries: xmlCtxtReset keeps ctxt->dict, and the document the parser
// builds takes a reference to that same dictionary (doc->dict). Documents
// move to other threads and are edited there, which adds names to their
// dictionary; two documents sharing one would race. So every parse but the
// first of a new context starts by giving the context a new, empty
// dictionary: every document has a dictionary of its own. Between two
// parses the idle context still holds a reference to the last document's
// dictionary, but it reads nothing in it: the reset at the end of the
// parse (which tells the context's strings from that dictionary apart from
// the others) ran while the document was still the parse's own, and
// dropping the reference only touches the reference count, which libxml2
// guards with a lock. libxml2 looks up its "xml"/"xmlns" names in the
// current dictionary and sets that dictionary's size limit at the start of
// every parse, so a replaced dictionary is fully set up.
//
// A parse that runs while the thread's context is in use (a reader callback
// that parses another document) gets a context of its own, freed when it
// ends. After a parse that ran out of memory, hit a limit, lifted the
// limits or read a big input, the context is freed instead of kept: its
// tables may have grown with that input, and none of it should stay with
// the thread.

// Inputs larger than this leave no context behind them (see above).
constexpr size_t kReuseInputLimit = 256 * 1024;

struct ThreadParser {
  xmlParserCtxtPtr ctxt = nullptr;
  xmlSAXHandler sax{};      // the handler of a new context
  bool busy = false;        // a parse on this thread uses `ctxt`
  bool dict_given = false;  // a document took a reference to ctxt's dictionary

  ThreadParser() = default;
  ThreadParser(const ThreadParser&) = delete;
  ThreadParser& operator=(const ThreadParser&) = delete;
  ~ThreadParser() {
    if (ctxt != nullptr) xmlFreeParserCtxt(ctxt);
  }
};

thread_local ThreadParser thread_parser;

// The parser context of one parse: the thread's own when it is free,
// otherwise a new one. Either way the context is handed out as a new one
// would be, and reset (or freed) when the lease ends. get() is null when
// memory ran out.
class ParserLease {
 public:
  ParserLease() {
    ThreadParser& tp = thread_parser;
    if (tp.busy) {
      ctxt_ = xmlNewParserCtxt();
      return;
    }
    if (tp.ctxt == nullptr) {
      tp.ctxt = xmlNewParserCtxt();
      if (tp.ctxt == nullptr) return;
      tp.sax = *xmlCtxtGetSaxHandler(tp.ctxt);
      tp.dict_given = false;
    } else if (tp.dict_given) {
      xmlDictPtr fresh = xmlDictCreate();
      if (fresh == nullptr) return;
      xmlCtxtSetDict(tp.ctxt, fresh);  // drops the reference to the last one
      xmlDictFree(fresh);              // the context holds the only reference
      tp.dict_given = false;
    }
    *xmlCtxtGetSaxHandler(tp.ctxt) = tp.sax;
    tp.busy = true;
    ctxt_ = tp.ctxt;
    shared_ = true;
  }
  ParserLease(const ParserLease&) = delete;
  ParserLease& operator=(const ParserLease&) = delete;

  ~ParserLease() {
    if (ctxt_ == nullptr) return;
    if (!shared_) {
      xmlFreeParserCtxt(ctxt_);
      return;
    }
    ThreadParser& tp = thread_parser;
    tp.busy = false;
    tp.dict_given = true;
    if (!keep_ || (xmlCtxtGetStatus(ctxt_) & XML_STATUS_CATASTROPHIC_ERROR) != 0) {
      xmlFreeParserCtxt(ctxt_);
      tp.ctxt = nullptr;
      return;
    }
    xmlCtxtReset(ctxt_);
    xmlCtxtSetPrivate(ctxt_, nullptr);
    xmlCtxtSetErrorHandler(ctxt_, nullptr, nullptr);
  }

  xmlParserCtxtPtr get() const { return ctxt_; }

  // The context is freed when the parse ends, not kept for the next one.
  void discard_after() { keep_ = false; }

 private:
  xmlParserCtxtPtr ctxt_ = nullptr;
  bool shared_ = false;  // the thread's own context
  bool keep_ = true;
};

// Whether the context of a finished parse may serve the next one.
bool context_reusable(const ParseState& st) {
  if ((st.cfg.flags & KORVITH_PARSE_HUGE) != 0) return false;
  if (st.input_bytes > kReuseInputLimit || st.depth_exceeded) return false;
  switch (st.first_error) {
    case XML_ERR_NO_MEMORY:
    case XML_ERR_RESOURCE_LIMIT:  // also KORVITH_STATUS_LIMIT
    case XML_ERR_INTERNAL_ERROR: return false;
    default: return true;
  }
}

// Copy: libxml2 copies the bytes. Borrow: read in place. Terminated: read in
// place, and the byte after the data is a zero.
enum class Source { Copy, Borrow, Terminated };

// Publishes the outcome of one parse: status out-parameter and the
// thread's error record.
void publish(const ParseState& st, int status) {
  if (status == 0) {
    error_clear();
  } else {
    error_set(status, st.message.empty() ? "parse failed" : st.message, st.line, st.column);
  }
}

xmlDocPtr finish_parse(xmlDocPtr doc, ParseState& st, int* status) {
  bool fail = doc == nullptr || st.depth_exceeded;
  if (!fail && !st.cfg.recover) {
    if (st.cfg.strict_mode != 0 && st.ns_error) fail = true;
    if (st.cfg.strict_mode == 1 && st.first_error != 0) fail = true;
  }
  int code = st.first_error;
  if (fail && code == 0) {
    code = XML_ERR_INTERNAL_ERROR;
    if (st.message.empty()) st.message = "parse failed";
  }
  if (fail && doc != nullptr) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  if (doc != nullptr) {
    DocSide* side = nullptr;
    try {
      side = side_of(doc);
      side->stable = true;
    } catch (...) {
      xmlFreeDoc(doc);  // no side storage yet: nothing else to release
      throw;
    }
    side_note_entities(doc);
    if (st.issues_truncated && !st.issues.empty()) {
      try {
        st.issues.back().message += " (later errors were not kept)";
      } catch (...) {
        // out of memory: the list stays as it is
      }
    }
    side->issues = std::move(st.issues);
  }
  if (status != nullptr) *status = code;
  publish(st, code);
  return doc;
}

xmlDocPtr parse_input(xmlParserInputPtr (*make)(void*, ParseState*), void* make_data,
                      const ParseConfig& cfg, int* status, const char* forced_encoding) {
  if (!valid_config(cfg)) {
    if (status != nullptr) *status = KORVITH_STATUS_BAD_OPTIONS;
    error_set(KORVITH_STATUS_BAD_OPTIONS, "invalid parse options", 0, 0);
    return nullptr;
  }
  ParseState st;
  st.cfg = cfg;
  ParserLease ctxt;
  if (ctxt.get() == nullptr) {
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  install_hooks(ctxt.get(), &st);
  xmlCtxtSetOptions(ctxt.get(), libxml_options(cfg.flags, cfg.recover != 0));
  xmlParserInputPtr input = make(make_data, &st);
  if (input == nullptr) {
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  if (forced_encoding != nullptr) {
    // The caller's encoding wins over what the input declares; one the
    // engine cannot convert is an error, never a silent fallback. (UTF-8
    // comes back as no handler: setting none still marks the input's
    // encoding as decided.)
    xmlCharEncodingHandler* handler = nullptr;
    if (xmlOpenCharEncodingHandler(forced_encoding, 0, &handler) != XML_ERR_OK) {
      xmlFreeInputStream(input);
      if (status != nullptr) *status = KORVITH_STATUS_UNKNOWN_ENCODING;
      error_set(KORVITH_STATUS_UNKNOWN_ENCODING,
                std::string("Unknown encoding '") + forced_encoding + "'", 0, 0);
      return nullptr;
    }
    xmlInputSetEncodingHandler(input, handler);
  }
  xmlDocPtr doc = xmlCtxtParseDocument(ctxt.get(), input);
  if (!context_reusable(st)) ctxt.discard_after();
  return finish_parse(doc, st, status);
}

struct MemorySource {
  const char* data;
  size_t length;
  Source source;
  bool encoding_forced;
  char* copy = nullptr;       // room for a zero-terminated copy of the data, or null
  const char* url = nullptr;  // the file the bytes were read from
};

// Borrowed input up to this size is parsed from a zero-terminated copy.
// libxml2 reads borrowed bytes that are not zero-terminated through a
// reader callback, and near the end of its input it asks that reader for
// more before almost every token: a fixed cost of tens of thousands of
// instructions per document, more than the whole parse of a small one. A
// zero-terminated buffer is read directly. Larger inputs are read in place
// (the copy would cost memory, and the fixed cost no longer matters).
constexpr size_t kCopyLimit = 64 * 1024;
// Copies up to this size live on the stack.
constexpr size_t kStackCopy = 4096;

// True when the bytes begin with an XML declaration of the plainest form
// that names UTF-8 (`<?xml version="1.x" encoding="UTF-8"`, either quote,
// spaces around `=`). The parser would read the document as UTF-8 either
// way; told so before it starts, it reads the bytes directly instead of
// putting a UTF-8 to UTF-8 converter between them and itself (a converter
// and its buffers per document, and a call into it for every few hundred
// bytes). Invalid bytes are reported the same way on both paths; anything
// less plain takes the usual path.
bool declares_utf8_plainly(const char* data, size_t length) {
  std::string_view text(data, std::min<size_t>(length, 128));
  size_t at = 0;
  auto literal = [&](std::string_view word) {
    if (!text.substr(at).starts_with(word)) return false;
    at += word.size();
    return true;
  };
  auto spaces = [&](bool required) {
    size_t start = at;
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
      ++at;
    }
    return !required || at > start;
  };
  auto equals = [&]() {
    spaces(false);
    if (!literal("=")) return false;
    spaces(false);
    return true;
  };
  auto quoted = [&](auto&& value) {
    if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return false;
    char quote = text[at++];
    if (!value()) return false;
    return at < text.size() && text[at++] == quote;
  };
  auto version = [&]() {
    if (!literal("1.")) return false;
    size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at > start;
  };
  return literal("<?xml") && spaces(true) && literal("version") && equals() && quoted(version) &&
         spaces(true) && literal("encoding") && equals() &&
         quoted([&]() { return literal("UTF-8"); });
}

xmlParserInputPtr make_memory_input(void* p, ParseState* state) {
  auto* m = static_cast<MemorySource*>(p);
  static const char empty[1] = {0};
  const char* data = m->data != nullptr ? m->data : empty;
  size_t length = m->data != nullptr ? m->length : 0;
  state->input_bytes = length;
  // Borrowed input is read in place (small input from a zero-terminated
  // copy, see kCopyLimit); copied input is owned by libxml2.
  // Either way the finished tree holds no pointer into the caller's data.
  int flags = 0;
  if (m->source == Source::Borrow) flags = XML_INPUT_BUF_STATIC;
  if (m->source == Source::Terminated) flags = XML_INPUT_BUF_STATIC | XML_INPUT_BUF_ZERO_TERMINATED;
  if (m->copy != nullptr) {
    if (length != 0) std::memcpy(m->copy, data, length);
    m->copy[length] = '\0';
    data = m->copy;
    flags = XML_INPUT_BUF_STATIC | XML_INPUT_BUF_ZERO_TERMINATED;
  }
  xmlParserInputPtr input =
      xmlNewInputFromMemory(m->url, data, length, static_cast<xmlParserInputFlags>(flags));
  if (input != nullptr && !m->encoding_forced && declares_utf8_plainly(data, length)) {
    xmlInputSetEncodingHandler(input, nullptr);  // no handler: UTF-8, decided
  }
  return input;
}

xmlDocPtr parse_memory(const char* data, size_t length, const ParseConfig& cfg, int* status,
                       Source source, const char* forced_encoding = nullptr) {
  MemorySource m{data, length, source, forced_encoding != nullptr};
  char on_stack[kStackCopy + 1];
  std::unique_ptr<char[]> on_heap;
  if (source == Source::Borrow && length <= kCopyLimit) {
    if (length <= kStackCopy) {
      m.copy = on_stack;
    } else {
      on_heap.reset(new char[length + 1]);
      m.copy = on_heap.get();
    }
  }
  return parse_input(make_memory_input, &m, cfg, status, forced_encoding);
}

bool has_bom(const char* data, size_t length) {
  auto* d = reinterpret_cast<const unsigned char*>(data);
  if (length >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) return true;
  if (length >= 2 && ((d[0] == 0xFE && d[1] == 0xFF) || (d[0] == 0xFF && d[1] == 0xFE))) {
    return true;
  }
  return false;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const char* data, size_t length) {
  auto* p = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  while (i < length) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (length - i <= n) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k <= n; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

bool declares_encoding(const char* data, size_t length) {
  std::string_view text(data, length);
  if (!text.starts_with("<?xml")) return false;
  size_t end = text.find("?>");
  if (end == std::string_view::npos) return false;
  return text.substr(0, end).find("encoding") != std::string_view::npos;
}

struct FdSource {
  int fd;
  ParseState* state;  // outlives the input: both end with the parse
};

int fd_read(void* ctx, char* buf, int len) {
  auto* src = static_cast<FdSource*>(ctx);
  if (src->state != nullptr && src->state->stop_reading) return 0;
  for (;;) {
    ssize_t n = ::read(src->fd, buf, static_cast<size_t>(len));
    if (n >= 0) {
      if (src->state != nullptr) src->state->input_bytes += static_cast<size_t>(n);
      return static_cast<int>(n);
    }
    if (errno != EINTR) return -1;
  }
}

int fd_close(void* ctx) {
  auto* src = static_cast<FdSource*>(ctx);
  ::close(src->fd);
  delete src;
  return 0;
}

struct FileSource {
  const char* path;
  int fd;
};

xmlParserInputPtr make_file_input(void* p, ParseState* state) {
  auto* f = static_cast<FileSource*>(p);
  auto* src = new FdSource{f->fd, state};
  xmlParserInputPtr in =
      xmlNewInputFromIO(f->path, fd_read, fd_close, src, static_cast<xmlParserInputFlags>(0));
  return in;
}

// The whole content of a small regular file, zero-terminated, for the
// same reason small borrowed input is copied (see kCopyLimit). Anything
// else (a bigger file, a pipe, a device, a file that reports no size or
// grows while it is read, a read error) is left to the streaming path,
// with the file rewound.
class SmallFile {
 public:
  // Whole: data() holds the file. Stream: read the file from its start
  // as usual. Failed: the file could not be rewound (errno says why).
  enum class Outcome { Whole, Stream, Failed };

  Outcome read_whole(int fd) {
    struct stat sb;
    if (::fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size <= 0 ||
        static_cast<uint64_t>(sb.st_size) > kCopyLimit) {
      return Outcome::Stream;
    }
    // One byte more than the file's size, to notice a file that grew.
    size_t room = static_cast<size_t>(sb.st_size) + 1;
    char* buf = on_stack_;
    if (room > kStackCopy) {
      // Without the memory for a copy, the file is read in chunks instead
      // (nothing here may throw: the caller still owns the open file).
      on_heap_.reset(new (std::nothrow) char[room + 1]);
      if (!on_heap_) return Outcome::Stream;
      buf = on_heap_.get();
    }
    size_t got = 0;
    while (got < room) {
      ssize_t n = ::read(fd, buf + got, room - got);
      if (n == 0) break;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return rewind(fd);
      got += static_cast<size_t>(n);
    }
    if (got == room) return rewind(fd);
    buf[got] = '\0';
    data_ = buf;
    size_ = got;
    return Outcome::Whole;
  }

  const char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  static Outcome rewind(int fd) {
    return ::lseek(fd, 0, SEEK_SET) == 0 ? Outcome::Stream : Outcome::Failed;
  }

  char on_stack_[kStackCopy + 1];
  std::unique_ptr<char[]> on_heap_;
  const char* data_ = nullptr;
  size_t size_ = 0;
};

int io_status_for(int err) {
  switch (err) {
    case ENOENT: return XML_IO_ENOENT;
    case EACCES: return XML_IO_EACCES;
    case EISDIR: return XML_IO_EISDIR;
    default: return XML_IO_UNKNOWN;
  }
}

}  // namespace

int open_source(const char* path, int* status) {
  int err = 0;
  int fd = -1;
  if (path == nullptr || *path == '\0') {
    err = ENOENT;
  } else {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      err = errno;
    } else {
      struct stat st;
      if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        fd = -1;
        err = EISDIR;
      }
    }
  }
  if (fd >= 0) return fd;
  int code = io_status_for(err);
  if (status != nullptr) *status = code;
  error_set(
      code,
      std::string("cannot open '") + (path != nullptr ? path : "") + "': " + std::strerror(err), 0,
      0);
  return -1;
}

xmlDocPtr parse_file_config(const char* path, const ParseConfig& cfg, int* status,
                            const char* encoding) {
  int fd = open_source(path, status);
  if (fd < 0) return nullptr;
  SmallFile small;
  SmallFile::Outcome read = small.read_whole(fd);
  if (read == SmallFile::Outcome::Failed) {
    int err = errno;
    ::close(fd);
    if (status != nullptr) *status = XML_IO_UNKNOWN;
    error_set(XML_IO_UNKNOWN, std::string("cannot read '") + path + "': " + std::strerror(err), 0,
              0);
    return nullptr;
  }
  if (read == SmallFile::Outcome::Whole) {
    ::close(fd);
    MemorySource m{small.data(), small.size(), Source::Terminated, encoding != nullptr};
    m.url = path;
    return parse_input(make_memory_input, &m, cfg, status, encoding);
  }
  FileSource f{path, fd};
  return parse_input(make_file_input, &f, cfg, status, encoding);
}

namespace {

// The caller's reader, asked for input until the end, its failure, or the
// first error that decides the parse.
struct ReaderSource {
  korvith_read_fn read;
  void* context;
  ParseState* state;  // outlives the input: both end with the parse
  bool failed = false;
};

int reader_read(void* ctx, char* buf, int len) {
  auto* src = static_cast<ReaderSource*>(ctx);
  if (src->failed || (src->state != nullptr && src->state->stop_reading)) return 0;
  int n = src->read(src->context, buf, len);
  if (n < 0 || n > len) {
    src->failed = true;
    return -1;
  }
  if (src->state != nullptr) src->state->input_bytes += static_cast<size_t>(n);
  return n;
}

int reader_close(void*) { return 0; }

struct ReaderCall {
  ReaderSource* source;
};

xmlParserInputPtr make_reader_input(void* p, ParseState* state) {
  auto* call = static_cast<ReaderCall*>(p);
  call->source->state = state;
  return xmlNewInputFromIO(nullptr, reader_read, reader_close, call->source,
                           static_cast<xmlParserInputFlags>(0));
}

}  // namespace

xmlDocPtr parse_reader_config(korvith_read_fn read, void* context, const ParseConfig& cfg,
                              int* status, const char* encoding) {
  ReaderSource source{read, context, nullptr};
  ReaderCall call{&source};
  int code = 0;
  xmlDocPtr doc = parse_input(make_reader_input, &call, cfg, &code, encoding);
  if (source.failed) {
    // The reader's own failure decides, whatever the parser made of the
    // input it had.
    if (doc != nullptr) {
      side_release(doc);
      xmlFreeDoc(doc);
      doc = nullptr;
    }
    code = KORVITH_STATUS_READ_FAILED;
    error_set(code, "reading the input failed", 0, 0);
  }
  if (status != nullptr) *status = code;
  return doc;
}

ParseConfig read_config(const void* options) {
  ParseConfig cfg;
  if (options != nullptr) {
    int32_t rec[4];
    std::memcpy(rec, options, sizeof rec);
    cfg.flags = rec[0];
    cfg.strict_mode = rec[1];
    cfg.max_depth = rec[2];
    cfg.recover = rec[3];
  }
  return cfg;
}

xmlDocPtr parse_memory_config(const char* data, size_t length, const ParseConfig& cfg,
                              int* status) {
  return parse_memory(data, length, cfg, status, Source::Copy);
}

}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_parse_string_fn(const char* data, size_t length, int* status) try {
  return parse_memory(data, length, ParseConfig{}, status, Source::Borrow);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_string_ex(const char* data, size_t length, const void* options,
                              int* status) try {
  return parse_memory(data, length, read_config(options), status, Source::Borrow);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_string_inplace_fn(char* data, size_t length, int* status) try {
  return parse_memory(data, length, ParseConfig{}, status, Source::Borrow);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_with_encoding(const char* data, size_t length, int* status) try {
  int first = 0;
  xmlDocPtr doc = parse_memory(data, length, ParseConfig{}, &first, Source::Borrow);
  if (doc == nullptr && (first == XML_ERR_INVALID_ENCODING || first == XML_ERR_INVALID_CHAR) &&
      data != nullptr && length >= 2 && data[0] == '<' && data[1] != '\0' &&
      !has_bom(data, length) && !declares_encoding(data, length) && !valid_utf8(data, length)) {
    // (Valid UTF-8 that fails for a character XML forbids, U+FFFE say,
    // is an error, not a reason to read the bytes as another encoding.)
    // Undeclared bytes that are not UTF-8: read them as ISO-8859-1.
    doc = parse_memory(data, length, ParseConfig{}, &first, Source::Borrow, "ISO-8859-1");
  }
  if (status != nullptr) *status = first;
  return doc;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_file(const char* path, int* status) try {
  return parse_file_config(path, ParseConfig{}, status, nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_file_ex(const char* path, const void* options, int* status) try {
  return parse_file_config(path, read_config(options), status, nullptr);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_memory_enc(const char* data, size_t length, const void* options,
                               const char* encoding, int* status) try {
  return parse_memory(data, length, read_config(options), status, Source::Borrow, encoding);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_file_enc(const char* path, const void* options, const char* encoding,
                             int* status) try {
  return parse_file_config(path, read_config(options), status, encoding);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_parse_reader(korvith_read_fn read, void* context, const void* options,
                           const char* encoding, int* status) try {
  if (read == nullptr) {
    if (status != nullptr) *status = KORVITH_STATUS_BAD_OPTIONS;
    error_set(KORVITH_STATUS_BAD_OPTIONS, "no reader given", 0, 0);
    return nullptr;
  }
  return parse_reader_config(read, context, read_config(options), status, encoding);
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

int korvith_encoding_known(const char* name) try {
  if (name == nullptr) return 0;
  xmlCharEncodingHandler* handler = nullptr;
  if (xmlOpenCharEncodingHandler(name, 0, &handler) != XML_ERR_OK) return 0;
  if (handler != nullptr) xmlCharEncCloseFunc(handler);  // none for UTF-8
  return 1;
} catch (...) {
  return korvith::entry_failed<int>(0);
}

void* korvith_document_root(void* document) try {
  if (document == nullptr) return nullptr;
  return xmlDocGetRootElement(static_cast<xmlDocPtr>(document));
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_document_free(void* document) try {
  if (document == nullptr) return;
  auto* doc = static_cast<xmlDocPtr>(document);
  side_release(doc);
  xmlFreeDoc(doc);
} catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
