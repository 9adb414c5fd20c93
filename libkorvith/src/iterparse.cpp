// Incremental parsing: a push parser fed in chunks hands out each element
// as soon as its end tag has been parsed; releasing processed elements
// keeps memory flat on streams of any size.
#include <libxml/SAX2.h>

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "korvith/stream.h"
#include "internal.h"
#include "entry.h"

namespace korvith {
namespace {

constexpr size_t kChunk = 64 * 1024;

// One test of an iterator's tag filter (korvith_iterparse_filter).
struct TagTest {
  enum Kind { kAny, kLocal, kNoNsLocal, kNoNsAny, kUriLocal, kUriAny } kind = kAny;
  std::string uri;
  std::string local;
};

// One parse event of an iterator that reports more than end tags.
struct Event {
  int kind = 0;  // KORVITH_EVENT_*
  xmlNodePtr node = nullptr;
  std::string a;  // namespace prefix, comment text, PI target
  std::string b;  // namespace URI, PI data
};

struct Iterator {
  xmlParserCtxtPtr ctxt = nullptr;
  ParseState state;
  std::deque<xmlNodePtr> ready;
  // Event mode (korvith_iterparse_set_events): events instead of `ready`.
  int event_mask = 0;
  std::deque<Event> events;
  Event current;
  // Push mode (korvith_iterparse_open_push): the caller supplies input.
  bool push = false;
  bool push_eof = false;
  int fd = -1;
  std::string data;  // copied input of the buffer form
  size_t pos = 0;
  bool finished = false;
  int error = 0;
  std::string message;
  int line = 0;
  int column = 0;
  xmlDocPtr doc = nullptr;
  // The element handed out last, by next() or as an end event, while
  // nothing else has been handed out or freed since; with the document's
  // structural edit count at that moment (see handed_out_last).
  xmlNodePtr last_out = nullptr;
  bool last_from_events = false;
  uint64_t last_structure = 0;
  // Input was parsed before the events were chosen: both queues may then
  // hold elements, and release checks what lies before an element itself.
  bool fed = false;
  bool switched = false;
  // The tag filter of korvith_iterparse_step (empty: every element), and
  // whether elements passed over are released.
  std::vector<TagTest> filter;
  bool filter_release = false;
};

bool failed(const Iterator* it);

// Remembers `node` as the element just handed out (null: none).
void note_handed_out(Iterator* it, xmlNodePtr node, bool from_events) {
  it->last_out = nullptr;
  if (node == nullptr || it->doc == nullptr || it->doc->_private == nullptr) return;
  it->last_out = node;
  it->last_from_events = from_events;
  it->last_structure =
      static_cast<DocSide*>(it->doc->_private)->structure_changes.load(std::memory_order_relaxed);
}

// True when `node` is the element just handed out and the queues cannot
// hold an element of its subtree, so release need not search them.
//
// Elements are queued in end-tag order, which is post-order: the parser
// ends every descendant before the element, and the copies an entity
// reference puts into an open element are queued (subtree in post-order)
// at the next parse event, at the latest at the end of that element. So
// by the time an element is handed out, every element of its subtree has
// been handed out before it, and the elements still queued all end later:
// they follow it or enclose it. That holds while the tree keeps the shape
// the parser gave it, hence the structural edit count. In event mode the
// only queued events that can name the element are its own end-ns events,
// right behind its end event; the full search decides then. With both
// queues in use (the mode switched mid-stream) the full search decides.
bool handed_out_last(const Iterator* it, xmlNodePtr node) {
  if (node != it->last_out || it->doc->_private == nullptr) return false;
  auto* side = static_cast<DocSide*>(it->doc->_private);
  if (side->structure_changes.load(std::memory_order_relaxed) != it->last_structure) return false;
  if (!it->last_from_events) return it->events.empty();
  return it->ready.empty() && (it->events.empty() || it->events.front().node != node);
}

// The full search: true when a queued element (or event) lies in `node`'s
// subtree, still to be handed out. Walks up from every queued entry.
bool queued_within(const Iterator* it, xmlNodePtr node) {
  for (xmlNodePtr q : it->ready) {
    for (xmlNodePtr p = q; p != nullptr; p = p->parent) {
      if (p == node) return true;
    }
  }
  for (const Event& e : it->events) {
    for (xmlNodePtr p = e.node; p != nullptr; p = p->parent) {
      if (p == node) return true;
    }
  }
  return false;
}

// True when `q` lies before `node` in document order without being one of
// its ancestors: inside a preceding sibling of `node` or of an ancestor.
bool precedes_outside(xmlNodePtr q, xmlNodePtr node) {
  xmlNodePtr below_q = nullptr;
  for (xmlNodePtr x = q; x != nullptr; below_q = x, x = x->parent) {
    xmlNodePtr below_node = nullptr;
    xmlNodePtr y = node;
    while (y != nullptr && y != x) {
      below_node = y;
      y = y->parent;
    }
    if (y == nullptr) continue;
    // x is the lowest common ancestor of q and node.
    if (below_q == nullptr || below_node == nullptr) return false;  // one encloses the other
    for (xmlNodePtr s = below_node->prev; s != nullptr; s = s->prev) {
      if (s == below_q) return true;
    }
    return false;
  }
  return false;
}

// The full search of what release frees before `node`: true when one of
// the first `limit` queued elements (or events) of each queue lies there,
// still to be handed out.
bool queued_before(const Iterator* it, xmlNodePtr node, size_t limit = SIZE_MAX) {
  size_t seen = 0;
  for (auto q = it->ready.begin(); q != it->ready.end() && seen < limit; ++q, ++seen) {
    if (precedes_outside(*q, node)) return true;
  }
  seen = 0;
  for (auto e = it->events.begin(); e != it->events.end() && seen < limit; ++e, ++seen) {
    if (e->node != nullptr && precedes_outside(e->node, node)) return true;
  }
  return false;
}

// Debug builds check the queue fronts on every release, where an element
// still queued before `node` would stand (the whole queues would make
// every release cost their length times the depth squared).
constexpr size_t kDebugCheckedFront = 64;

bool tree_edited(const Iterator* it) {
  auto* side = static_cast<DocSide*>(it->doc->_private);
  return side == nullptr || side->structure_changes.load(std::memory_order_relaxed) != 0;
}

// True when nothing that release would free (`node`'s subtree and what
// lies before it) is still to be handed out: at once for the element just
// handed out, else by the full search of the subtree. The queues are
// filled in document order (events) or end-tag order (elements), so once
// an element is out of them, so is everything before it; that leaves the
// region before it to check only when the tree was edited or the events
// were chosen mid-stream.
bool nothing_pending_in(const Iterator* it, xmlNodePtr node) {
  if (handed_out_last(it, node)) {
    // Debug builds (the sanitizer test runs among them) check the shortcut
    // against the full search on every release.
    assert(!queued_within(it, node));
    assert(!queued_before(it, node, kDebugCheckedFront));
    return true;
  }
  if (queued_within(it, node)) return false;
  if (it->switched || tree_edited(it)) return !queued_before(it, node);
  assert(!queued_before(it, node, kDebugCheckedFront));
  return true;
}

// An element completed after the parse went wrong (an undeclared prefix on
// it, say) is not handed out, and parsing stops there.
void add_event(Iterator* it, int kind, xmlNodePtr node, const xmlChar* a = nullptr,
               const xmlChar* b = nullptr) {
  if ((it->event_mask & kind) == 0) return;
  try {
    Event e;
    e.kind = kind;
    e.node = node;
    if (a != nullptr) e.a = cstr(a);
    if (b != nullptr) e.b = cstr(b);
    it->events.push_back(std::move(e));
  } catch (...) {
    // Out of memory: stop rather than hand out a stream with a gap.
    it->state.first_error = XML_ERR_NO_MEMORY;
    it->state.first_level = XML_ERR_FATAL;
    try {
      it->state.message = "out of memory while recording parse events";
    } catch (...) {
      it->state.message.clear();
    }
    xmlStopParser(it->ctxt);
  }
}

void on_end(void* data, xmlNodePtr node) {
  auto* it = static_cast<Iterator*>(data);
  if (failed(it)) {
    xmlStopParser(it->ctxt);
    return;
  }
  if (it->event_mask == 0) {
    it->ready.push_back(node);
    return;
  }
  add_event(it, KORVITH_EVENT_END, node);
  for (xmlNsPtr ns = node->nsDef; ns != nullptr; ns = ns->next) {
    add_event(it, KORVITH_EVENT_END_NS, node, ns->prefix, ns->href);
  }
}

void on_start(void* data, xmlNodePtr node) {
  auto* it = static_cast<Iterator*>(data);
  if (failed(it)) return;
  for (xmlNsPtr ns = node->nsDef; ns != nullptr; ns = ns->next) {
    add_event(it, KORVITH_EVENT_START_NS, node, ns->prefix, ns->href);
  }
  add_event(it, KORVITH_EVENT_START, node);
}

Iterator* iterator_of(void* ctx) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  auto* st = static_cast<ParseState*>(xmlCtxtGetPrivate(ctxt));
  return st != nullptr ? static_cast<Iterator*>(st->on_end_data) : nullptr;
}

void on_comment(void* ctx, const xmlChar* value) {
  xmlSAX2Comment(ctx, value);
  Iterator* it = iterator_of(ctx);
  if (it != nullptr && !failed(it) && it->ctxt->inSubset == 0) {
    add_event(it, KORVITH_EVENT_COMMENT, nullptr, value);
  }
}

void on_pi(void* ctx, const xmlChar* target, const xmlChar* data) {
  xmlSAX2ProcessingInstruction(ctx, target, data);
  Iterator* it = iterator_of(ctx);
  if (it != nullptr && !failed(it) && it->ctxt->inSubset == 0) {
    add_event(it, KORVITH_EVENT_PI, nullptr, target, data);
  }
}

void record_failure(Iterator* it, int code, std::string message, int line, int column) {
  if (it->error != 0) return;
  it->error = code;
  it->message = std::move(message);
  it->line = line;
  it->column = column;
}

bool failed(const Iterator* it) {
  const ParseState& st = it->state;
  if (st.depth_exceeded) return true;
  // A parser that stopped without reporting through the handler ran out
  // of memory (libxml2 records that only in the context).
  if (st.first_error == 0) return xmlCtxtIsStopped(it->ctxt) != 0;
  if (st.first_level == XML_ERR_FATAL || xmlCtxtIsStopped(it->ctxt)) return true;
  return st.ns_error;  // namespace errors are fatal, as in the strict default
}

// Feeds one chunk; false once there is nothing more to feed.
bool feed(Iterator* it) {
  if (it->finished) return false;
  char buf[kChunk];
  const char* chunk = buf;
  ssize_t n = 0;
  if (it->fd >= 0) {
    do {
      n = ::read(it->fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      record_failure(it, XML_IO_UNKNOWN, std::string("read failed: ") + std::strerror(errno), 0, 0);
      it->finished = true;
      return false;
    }
  } else if (it->push) {
    if (it->pos >= it->data.size() && !it->push_eof) return false;  // wants input
    size_t left = it->data.size() - it->pos;
    n = static_cast<ssize_t>(left < kChunk ? left : kChunk);
    chunk = it->data.data() + it->pos;
    it->pos += static_cast<size_t>(n);
  } else {
    size_t left = it->data.size() - it->pos;
    n = static_cast<ssize_t>(left < kChunk ? left : kChunk);
    chunk = it->data.data() + it->pos;
    it->pos += static_cast<size_t>(n);
  }
  bool last = n == 0;
  it->fed = true;
  xmlParseChunk(it->ctxt, chunk, static_cast<int>(n), last ? 1 : 0);
  // The document is known once its first element has started (asking the
  // context for it would hand it over before the parse is done).
  if (it->doc == nullptr && it->state.doc != nullptr) {
    it->doc = it->state.doc;
    side_attach(it->doc);
    side_note_entities(it->doc);
  }
  if (it->push && it->pos >= it->data.size()) {
    // Fed completely: drop it, so memory holds one pushed block at most.
    it->data.clear();
    it->pos = 0;
  }
  if (failed(it)) {
    const ParseState& st = it->state;
    const xmlError* last_error = xmlCtxtGetLastError(it->ctxt);
    int unreported =
        last_error != nullptr && last_error->code != 0 ? last_error->code : XML_ERR_INTERNAL_ERROR;
    record_failure(it, st.first_error != 0 ? st.first_error : unreported,
                   st.message.empty() ? "parse failed" : st.message, st.line, st.column);
    it->finished = true;
  } else if (last) {
    it->finished = true;
  }
  return !it->finished;
}

// Frees the nodes before `node` under its parent; a DTD (owner of the
// entities) stays.
void free_preceding(xmlNodePtr node) {
  xmlNodePtr prev = node->prev;
  while (prev != nullptr) {
    xmlNodePtr before = prev->prev;
    if (prev->type != XML_DTD_NODE) {
      xmlUnlinkNode(prev);
      xmlFreeNode(prev);
    }
    prev = before;
  }
}

// Frees `node`, its subtree and everything complete before it in document
// order (its ancestors stay), unless the parser still has it open or a
// part of that is still to be handed out.
void release(Iterator* it, xmlNodePtr node) {
  if (it == nullptr || !is_element(node) || node->doc != it->doc) return;
  // Never free an element the parser still has open.
  for (xmlNodePtr open = xmlCtxtGetNode(it->ctxt); open != nullptr; open = open->parent) {
    if (open == node) return;
  }
  if (!nothing_pending_in(it, node)) return;
  // The element handed out last may be among what goes, and a node parsed
  // later may take its address: forget it.
  it->last_out = nullptr;
  // A kept serialisation may be keyed by a node about to be freed, whose
  // address a later node can take.
  side_forget_output(it->doc);
  forget_released(&it->state, node);
  xmlNodePtr parent = node->parent;
  free_preceding(node);
  xmlUnlinkNode(node);
  xmlFreeNode(node);
  // The ancestors' preceding siblings ended before `node` did. An open
  // ancestor is its parent's last child, which the parser's records point
  // at, never at a node before it.
  for (xmlNodePtr up = parent; is_element(up); up = up->parent) free_preceding(up);
}

bool parse_tag_test(const char* tag, size_t length, TagTest& out) {
  std::string_view text(tag, length);
  if (text.empty()) return false;
  std::string_view uri;
  std::string_view local = text;
  bool any_ns = false;
  bool no_ns = true;
  if (text[0] == '{') {
    size_t close = text.find('}');
    if (close == std::string_view::npos || close + 1 == text.size()) return false;
    uri = text.substr(1, close - 1);
    local = text.substr(close + 1);
    any_ns = uri == "*";
    no_ns = uri.empty();
  } else if (text == "*") {
    any_ns = true;
  }
  bool any_local = local == "*";
  if (any_ns) {
    out.kind = any_local ? TagTest::kAny : TagTest::kLocal;
  } else if (no_ns) {
    out.kind = any_local ? TagTest::kNoNsAny : TagTest::kNoNsLocal;
  } else {
    out.kind = any_local ? TagTest::kUriAny : TagTest::kUriLocal;
  }
  out.uri.assign(uri);
  out.local.assign(local);
  return true;
}

bool test_matches(const TagTest& t, xmlNodePtr node) {
  const char* href = node->ns != nullptr ? cstr(node->ns->href) : nullptr;
  bool no_ns = href == nullptr || *href == '\0';
  switch (t.kind) {
    case TagTest::kAny: return true;
    case TagTest::kLocal: return t.local == cstr(node->name);
    case TagTest::kNoNsLocal: return no_ns && t.local == cstr(node->name);
    case TagTest::kNoNsAny: return no_ns;
    case TagTest::kUriLocal: return !no_ns && t.uri == href && t.local == cstr(node->name);
    case TagTest::kUriAny: return !no_ns && t.uri == href;
  }
  return false;
}

bool filter_matches(const Iterator* it, xmlNodePtr node) {
  if (it->filter.empty()) return true;
  if (!is_element(node)) return false;
  for (const TagTest& t : it->filter) {
    if (test_matches(t, node)) return true;
  }
  return false;
}

// An element passed over by the filter goes at once, unless it is the
// root or lies inside an element that matches (handed out whole later).
void pass_over(Iterator* it, xmlNodePtr node) {
  if (!it->filter_release || !is_element(node)) return;
  if (node->parent == nullptr || !is_element(node->parent)) return;
  for (xmlNodePtr up = node->parent; is_element(up); up = up->parent) {
    if (filter_matches(it, up)) return;
  }
  release(it, node);
}

// Ends the iterator with a failure as its error, so that a caller reading
// korvith_iterparse_error never mistakes it for the end.
void end_with_failure(void* iterator) {
  int code = korvith::entry_status();
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return;
  if (it->error == 0) it->error = code;
  it->finished = true;
}

Iterator* open_iterator(int flags, int* status, const char* url) {
  if ((flags & ~KORVITH_PARSE_ALL) != 0) {
    if (status != nullptr) *status = KORVITH_STATUS_BAD_OPTIONS;
    error_set(KORVITH_STATUS_BAD_OPTIONS, "invalid parse options", 0, 0);
    return nullptr;
  }
  auto* it = new (std::nothrow) Iterator();
  if (it == nullptr) {
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
  it->state.cfg.flags = flags;
  it->state.on_end = on_end;
  it->state.on_end_data = it;
  it->ctxt = xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, url);
  if (it->ctxt == nullptr) {
    delete it;
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    return nullptr;
  }
  install_hooks(it->ctxt, &it->state);
  it->state.on_start = on_start;
  xmlSAXHandler* sax = xmlCtxtGetSaxHandler(it->ctxt);
  if (sax != nullptr && sax->comment != nullptr) sax->comment = on_comment;
  if (sax != nullptr && sax->processingInstruction != nullptr) sax->processingInstruction = on_pi;
  xmlCtxtSetOptions(it->ctxt, libxml_options(flags, false));
  if (status != nullptr) *status = 0;
  error_clear();
  return it;
}

}  // namespace

void iterparse_fail(void* iterator, int code, const char* message) noexcept {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return;
  try {
    record_failure(it, code, message, 0, 0);
  } catch (...) {  // the message did not fit: the code alone still says it
    if (it->error == 0) it->error = code;
  }
  it->finished = true;
}

}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_iterparse_open_file(const char* path, int flags, int* status) try {
  if (status != nullptr) *status = 0;
  int fd = open_source(path, status);
  if (fd < 0) return nullptr;
  Iterator* it = open_iterator(flags, status, path);
  if (it == nullptr) {
    ::close(fd);
    return nullptr;
  }
  it->fd = fd;
  return it;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_iterparse_open_buffer(const char* data, size_t length, int flags, int* status) try {
  if (status != nullptr) *status = 0;
  Iterator* it = open_iterator(flags, status, nullptr);
  if (it == nullptr) return nullptr;
  try {
    if (data != nullptr) it->data.assign(data, length);
  } catch (...) {
    korvith_iterparse_free(it);
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    return nullptr;
  }
  return it;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr, status);
}

void* korvith_iterparse_next(void* iterator) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return nullptr;
  it->last_out = nullptr;
  while (it->ready.empty() && feed(it)) {
  }
  if (it->ready.empty()) return nullptr;
  xmlNodePtr node = it->ready.front();
  it->ready.pop_front();
  note_handed_out(it, node, false);
  return node;
} catch (...) {
  // The iterator ends with the failure as its error, so that a caller
  // reading korvith_iterparse_error never mistakes it for the end.
  int code = korvith::entry_status();
  auto* it = static_cast<Iterator*>(iterator);
  if (it->error == 0) it->error = code;
  it->finished = true;
  return nullptr;
}

void korvith_iterparse_release(void* iterator, void* element) try {
  release(static_cast<Iterator*>(iterator), as_node(element));
} catch (...) {
  korvith::entry_failed();
}

int korvith_iterparse_error(void* iterator, char* buf, size_t cap, int* line, int* column) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (line != nullptr) *line = it != nullptr ? it->line : 0;
  if (column != nullptr) *column = it != nullptr ? it->column : 0;
  if (buf != nullptr && cap > 0) {
    const std::string& m = it != nullptr ? it->message : std::string();
    size_t n = m.size() < cap - 1 ? m.size() : cap - 1;
    std::memcpy(buf, m.data(), n);
    buf[n] = '\0';
  }
  return it != nullptr ? it->error : 0;
} catch (...) {
  return korvith::entry_status();
}

void* korvith_iterparse_document(void* iterator) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return nullptr;
  return it->doc;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_iterparse_free(void* iterator) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return;
  // A document that never reached its first element is still the
  // context's to hand over.
  xmlDocPtr doc = it->doc;
  if (doc == nullptr && it->ctxt != nullptr) doc = xmlCtxtGetDocument(it->ctxt);
  // The document first: it shares the parser's dictionary.
  if (doc != nullptr) {
    side_release(doc);
    xmlFreeDoc(doc);
  }
  if (it->ctxt != nullptr) xmlFreeParserCtxt(it->ctxt);
  if (it->fd >= 0) ::close(it->fd);
  delete it;
} catch (...) {
  korvith::entry_failed();
}

int korvith_iterparse_set_events(void* iterator, int mask) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr || (mask & ~KORVITH_EVENT_ALL) != 0) return 1;
  it->event_mask = mask;
  if (it->fed) it->switched = true;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void* korvith_iterparse_next_event(void* iterator, int* kind) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (kind != nullptr) *kind = 0;
  if (it == nullptr) return nullptr;
  it->last_out = nullptr;
  while (it->events.empty() && feed(it)) {
  }
  if (it->events.empty()) return nullptr;
  it->current = std::move(it->events.front());
  it->events.pop_front();
  if (it->current.kind == KORVITH_EVENT_END) note_handed_out(it, it->current.node, true);
  if (kind != nullptr) *kind = it->current.kind;
  return it->current.node;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

const char* korvith_iterparse_event_text(void* iterator, int which) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return "";
  return which == 0 ? it->current.a.c_str() : it->current.b.c_str();
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

void* korvith_iterparse_open_push(int flags, int* status) try {
  if (status != nullptr) *status = 0;
  Iterator* it = open_iterator(flags, status, nullptr);
  if (it != nullptr) it->push = true;
  return it;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_iterparse_push(void* iterator, const char* data, size_t length, int last) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr || !it->push || it->push_eof) return 1;
  try {
    if (data != nullptr && length > 0) it->data.append(data, length);
  } catch (...) {
    record_failure(it, XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    it->finished = true;
    return 1;
  }
  if (last != 0) it->push_eof = true;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_iterparse_wants_input(void* iterator) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr || !it->push || it->push_eof || it->finished) return 0;
  return it->pos >= it->data.size() ? 1 : 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_iterparse_filter(void* iterator, const char* tags, size_t length, int release) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr || (tags == nullptr && length != 0)) return 1;
  std::vector<TagTest> filter;
  size_t start = 0;
  while (start < length) {
    const void* nul = std::memchr(tags + start, '\0', length - start);
    size_t end =
        nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - tags) : length;
    TagTest test;
    if (!parse_tag_test(tags + start, end - start, test)) return 1;
    filter.push_back(std::move(test));
    start = end + 1;
  }
  it->filter = std::move(filter);
  it->filter_release = release != 0;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

void* korvith_iterparse_step(void* iterator, void* previous) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (it == nullptr) return nullptr;
  if (previous != nullptr) release(it, as_node(previous));
  for (;;) {
    it->last_out = nullptr;
    while (it->ready.empty() && feed(it)) {
    }
    if (it->ready.empty()) return nullptr;
    xmlNodePtr node = it->ready.front();
    it->ready.pop_front();
    note_handed_out(it, node, false);
    if (filter_matches(it, node)) return node;
    pass_over(it, node);
  }
} catch (...) {
  end_with_failure(iterator);
  return nullptr;
}

void* korvith_iterparse_step_event(void* iterator, void* previous, int* kind) try {
  auto* it = static_cast<Iterator*>(iterator);
  if (kind != nullptr) *kind = 0;
  if (it == nullptr) return nullptr;
  if (previous != nullptr) release(it, as_node(previous));
  for (;;) {
    it->last_out = nullptr;
    while (it->events.empty() && feed(it)) {
    }
    if (it->events.empty()) return nullptr;
    it->current = std::move(it->events.front());
    it->events.pop_front();
    int got = it->current.kind;
    xmlNodePtr node = it->current.node;
    if (got == KORVITH_EVENT_END) note_handed_out(it, node, true);
    bool element_event = got == KORVITH_EVENT_START || got == KORVITH_EVENT_END;
    if (element_event && !filter_matches(it, node)) {
      if (got == KORVITH_EVENT_END) pass_over(it, node);
      continue;
    }
    if (kind != nullptr) *kind = got;
    return node;
  }
} catch (...) {
  end_with_failure(iterator);
  if (kind != nullptr) *kind = 0;
  return nullptr;
}

}  // extern "C"
