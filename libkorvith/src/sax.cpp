// SAX recordings: a push parser fed one chunk per step, whose events are
// kept as 40-byte records plus one string arena until the next step.
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "korvith/abi.h"
#include "korvith/engine_ext.h"
#include "internal.h"
#include "korvith/plan.h"
#include "entry.h"

namespace korvith::sax {
namespace {

// Records and their kinds: korvith/abi.h.
using Record = korvith_sax_record;

constexpr size_t kDefaultChunk = 1 << 20;
// Offsets are 32-bit: a step never feeds more than this, which keeps the
// arena of one step far below 4 GiB.
constexpr size_t kMaxChunk = 64u << 20;
constexpr size_t kArenaLimit = UINT32_MAX;

struct Recorder {
  xmlParserCtxtPtr ctxt = nullptr;
  std::vector<Record> records;
  std::vector<char> arena;
  // Prefixes declared on each open element, for end_prefix_mapping.
  std::vector<std::string> prefixes;
  std::vector<uint32_t> prefix_counts;
  const char* data = nullptr;
  size_t length = 0;
  size_t pos = 0;
  FILE* file = nullptr;
  std::vector<char> buffer;
  size_t chunk = kDefaultChunk;
  bool finished = false;
  bool failed = false;  // out of memory or arena overflow while recording
  // Fed by korvith_sax_push: `data` is the caller's current block, and the
  // parse ends only after the block pushed with `last`.
  bool push = false;
  bool push_eof = false;

  ~Recorder() {
    if (ctxt) {
      if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);
      ctxt->myDoc = nullptr;
      xmlFreeParserCtxt(ctxt);
    }
    if (file) std::fclose(file);
  }

  // Appends bytes (and a NUL when asked) to the arena; returns the offset.
  uint32_t put(const char* s, size_t len, bool nul) {
    size_t at = arena.size();
    if (at + len + 1 > kArenaLimit) {
      failed = true;
      return 0;
    }
    arena.insert(arena.end(), s, s + len);
    if (nul) arena.push_back('\0');
    return static_cast<uint32_t>(at);
  }

  uint32_t put(const xmlChar* s, bool nul) {
    const char* c = s ? reinterpret_cast<const char*>(s) : "";
    return put(c, std::strlen(c), nul);
  }

  // "{uri}local" when the name has a namespace, else the local name.
  uint32_t put_name(const xmlChar* local, const xmlChar* uri, bool nul, uint32_t& len) {
    size_t at = arena.size();
    if (uri && *uri) {
      put("{", 1, false);
      put(uri, false);
      put("}", 1, false);
    }
    put(local, nul);
    len = static_cast<uint32_t>(arena.size() - at - (nul ? 1 : 0));
    return static_cast<uint32_t>(at);
  }

  Record& add(uint8_t kind) {
    records.push_back(Record{});
    Record& r = records.back();
    r.kind = kind;
    return r;
  }

  void text_event(uint8_t kind, const xmlChar* s, int len) {
    size_t n = len > 0 ? static_cast<size_t>(len) : 0;
    // libxml2 splits long texts; adjacent character events of one step are
    // joined into one record.
    if (kind == KORVITH_SAX_CHARACTERS && !records.empty()) {
      Record& last = records.back();
      if (last.kind == KORVITH_SAX_CHARACTERS && last.text_off + last.text_len == arena.size()) {
        put(reinterpret_cast<const char*>(s), n, false);
        last.text_len += static_cast<uint32_t>(n);
        return;
      }
    }
    uint32_t off = put(reinterpret_cast<const char*>(s), n, false);
    Record& r = add(kind);
    r.text_off = off;
    r.text_len = static_cast<uint32_t>(n);
  }
};

Recorder* of(void* ctx) {
  return static_cast<Recorder*>(static_cast<xmlParserCtxtPtr>(ctx)->_private);
}

// Records one event. An event that cannot be recorded whole (out of memory,
// or the arena full) leaves no trace: the records, the arena and a joined
// text run go back to where they were, so nothing points at text that was
// never written. The step then reports the failure as an error record.
template <typename F>
void guarded(void* ctx, F&& f) {
  Recorder* rec = of(ctx);
  if (rec->failed) return;
  const size_t records_before = rec->records.size();
  const size_t arena_before = rec->arena.size();
  const uint32_t last_len_before = records_before ? rec->records.back().text_len : 0;
  try {
    f(*rec);
  } catch (const std::bad_alloc&) {
    rec->failed = true;
  }
  if (rec->failed) {
    rec->records.resize(records_before);
    rec->arena.resize(arena_before);
    if (records_before) rec->records.back().text_len = last_len_before;
    xmlStopParser(static_cast<xmlParserCtxtPtr>(ctx));
  }
}

void on_start_document(void* ctx) {
  // The SAX2 default keeps a document shell for the internal subset, so
  // that internal entities declared there can be expanded.
  xmlSAX2StartDocument(ctx);
  guarded(ctx, [](Recorder& r) { r.add(KORVITH_SAX_START_DOCUMENT); });
}

void on_end_document(void* ctx) {
  guarded(ctx, [](Recorder& r) { r.add(KORVITH_SAX_END_DOCUMENT); });
}

void on_start_element(void* ctx, const xmlChar* local, const xmlChar* /*prefix*/,
                      const xmlChar* uri, int nb_namespaces, const xmlChar** namespaces,
                      int nb_attributes, int /*nb_defaulted*/, const xmlChar** attributes) {
  guarded(ctx, [&](Recorder& r) {
    for (int i = 0; i < nb_namespaces; ++i) {
      const xmlChar* prefix = namespaces[2 * i];
      uint32_t name_off = r.put(prefix, true);
      uint32_t name_len = static_cast<uint32_t>(r.arena.size() - name_off - 1);
      uint32_t text_off = r.put(namespaces[2 * i + 1], true);
      Record& rec = r.add(KORVITH_SAX_START_PREFIX_MAPPING);
      rec.name_off = name_off;
      rec.name_len = name_len;
      rec.text_off = text_off;
      rec.text_len = static_cast<uint32_t>(r.arena.size() - text_off - 1);
      r.prefixes.emplace_back(prefix ? reinterpret_cast<const char*>(prefix) : "");
    }
    r.prefix_counts.push_back(static_cast<uint32_t>(nb_namespaces > 0 ? nb_namespaces : 0));
    uint32_t name_len = 0;
    uint32_t name_off = r.put_name(local, uri, false, name_len);
    uint32_t attrs_off = static_cast<uint32_t>(r.arena.size());
    for (int i = 0; i < nb_attributes; ++i) {
      const xmlChar** a = attributes + 5 * i;  // local, prefix, URI, value, end
      uint32_t ignored = 0;
      r.put_name(a[0], a[2], true, ignored);
      r.put(reinterpret_cast<const char*>(a[3]), static_cast<size_t>(a[4] - a[3]), true);
    }
    Record& rec = r.add(KORVITH_SAX_START_ELEMENT);
    rec.name_off = name_off;
    rec.name_len = name_len;
    rec.attrs_off = attrs_off;
    rec.attr_count = static_cast<uint32_t>(nb_attributes > 0 ? nb_attributes : 0);
  });
}

void on_end_element(void* ctx, const xmlChar* local, const xmlChar* /*prefix*/,
                    const xmlChar* uri) {
  guarded(ctx, [&](Recorder& r) {
    uint32_t name_len = 0;
    uint32_t name_off = r.put_name(local, uri, false, name_len);
    Record& rec = r.add(KORVITH_SAX_END_ELEMENT);
    rec.name_off = name_off;
    rec.name_len = name_len;
    if (r.prefix_counts.empty()) return;
    uint32_t n = r.prefix_counts.back();
    r.prefix_counts.pop_back();
    for (uint32_t i = 0; i < n && !r.prefixes.empty(); ++i) {
      const std::string& p = r.prefixes.back();
      uint32_t off = r.put(p.data(), p.size(), false);
      Record& end = r.add(KORVITH_SAX_END_PREFIX_MAPPING);
      end.name_off = off;
      end.name_len = static_cast<uint32_t>(p.size());
      r.prefixes.pop_back();
    }
  });
}

void on_characters(void* ctx, const xmlChar* s, int len) {
  guarded(ctx, [&](Recorder& r) { r.text_event(KORVITH_SAX_CHARACTERS, s, len); });
}

void on_cdata(void* ctx, const xmlChar* s, int len) {
  guarded(ctx, [&](Recorder& r) { r.text_event(KORVITH_SAX_CDATA, s, len); });
}

void on_comment(void* ctx, const xmlChar* s) {
  guarded(ctx, [&](Recorder& r) {
    const char* c = reinterpret_cast<const char*>(s ? s : BAD_CAST "");
    r.text_event(KORVITH_SAX_COMMENT, s ? s : BAD_CAST "", static_cast<int>(std::strlen(c)));
  });
}

void on_pi(void* ctx, const xmlChar* target, const xmlChar* data) {
  guarded(ctx, [&](Recorder& r) {
    uint32_t name_off = r.put(target, false);
    uint32_t name_len = static_cast<uint32_t>(r.arena.size() - name_off);
    uint32_t text_off = r.put(data, false);
    Record& rec = r.add(KORVITH_SAX_PROCESSING_INSTRUCTION);
    rec.name_off = name_off;
    rec.name_len = name_len;
    rec.text_off = text_off;
    rec.text_len = static_cast<uint32_t>(r.arena.size() - text_off);
  });
}

void on_error(void* ctx, const xmlError* error) {
  if (!error || error->level < XML_ERR_ERROR) return;
  guarded(ctx, [&](Recorder& r) {
    bool huge = r.ctxt != nullptr && (xmlCtxtGetOptions(r.ctxt) & XML_PARSE_HUGE) != 0;
    std::string message =
        korvith::trim_message(error->message ? error->message : "parse error", huge);
    uint32_t off = r.put(message.data(), message.size(), false);
    Record& rec = r.add(KORVITH_SAX_ERROR);
    rec.text_off = off;
    rec.text_len = static_cast<uint32_t>(message.size());
    rec.line = static_cast<uint32_t>(error->line > 0 ? error->line : 0);
    rec.column = static_cast<uint32_t>(error->int2 > 0 ? error->int2 : 0);
  });
}

Recorder* open(int flags, size_t chunk, const char* path) {
  auto* r = new (std::nothrow) Recorder();
  if (!r) return nullptr;
  r->chunk = chunk == 0 ? kDefaultChunk : (chunk > kMaxChunk ? kMaxChunk : chunk);
  xmlSAXHandler sax;
  std::memset(&sax, 0, sizeof sax);
  xmlSAXVersion(&sax, 2);
  sax.startDocument = on_start_document;
  sax.endDocument = on_end_document;
  sax.startElementNs = on_start_element;
  sax.endElementNs = on_end_element;
  sax.startElement = nullptr;
  sax.endElement = nullptr;
  sax.characters = on_characters;
  sax.ignorableWhitespace = on_characters;
  sax.cdataBlock = on_cdata;
  sax.comment = on_comment;
  sax.processingInstruction = on_pi;
  sax.reference = nullptr;
  // The external subset is never read (attribute defaults come from the
  // internal subset only); dropped comments and PIs are not recorded.
  sax.externalSubset = nullptr;
  if (flags & KORVITH_PARSE_NO_COMMENTS) sax.comment = nullptr;
  if (flags & KORVITH_PARSE_NO_PIS) sax.processingInstruction = nullptr;
  sax.warning = nullptr;
  sax.error = nullptr;
  sax.fatalError = nullptr;
  sax.serror = nullptr;
  r->ctxt = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, path);
  if (!r->ctxt) {
    delete r;
    return nullptr;
  }
  r->ctxt->_private = r;
  xmlCtxtSetErrorHandler(r->ctxt, on_error, r->ctxt);
  // Internal entities expand; external ones and the network are never used.
  int options = XML_PARSE_NOENT | XML_PARSE_NO_XXE | XML_PARSE_NONET;
  if (flags & KORVITH_PARSE_HUGE) options |= XML_PARSE_HUGE;
  if ((flags & KORVITH_PARSE_NO_DEFAULT_ATTRS) == 0) options |= XML_PARSE_DTDATTR;
  xmlCtxtUseOptions(r->ctxt, options);
  return r;
}

}  // namespace
}  // namespace korvith::sax

using korvith::sax::Recorder;

extern "C" {

void* korvith_sax_open_buffer(const char* data, size_t length, int flags, size_t chunk) try {
  if (!data && length) return nullptr;
  Recorder* r = korvith::sax::open(flags, chunk, nullptr);
  if (!r) return nullptr;
  r->data = data;
  r->length = length;
  return r;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_sax_open_file(const char* path, int flags, size_t chunk) try {
  if (!path) return nullptr;
  FILE* f = std::fopen(path, "rb");
  if (!f) return nullptr;
  Recorder* r = korvith::sax::open(flags, chunk, path);
  if (!r) {
    std::fclose(f);
    return nullptr;
  }
  r->file = f;
  try {
    r->buffer.resize(r->chunk);
  } catch (const std::bad_alloc&) {
    delete r;
    return nullptr;
  }
  return r;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_sax_step(void* recorder) try {
  if (!recorder) return -1;
  auto& r = *static_cast<Recorder*>(recorder);
  r.records.clear();
  r.arena.clear();
  if (r.finished) return 0;
  const char* bytes = nullptr;
  size_t n = 0;
  bool last = false;
  if (r.file) {
    n = std::fread(r.buffer.data(), 1, r.chunk, r.file);
    if (n < r.chunk) {
      if (std::ferror(r.file)) {
        r.finished = true;
        return -1;
      }
      last = true;
    }
    bytes = r.buffer.data();
  } else {
    n = r.length - r.pos < r.chunk ? r.length - r.pos : r.chunk;
    bytes = r.data ? r.data + r.pos : nullptr;
    r.pos += n;
    last = r.pos >= r.length && (!r.push || r.push_eof);
  }
  xmlParseChunk(r.ctxt, bytes, static_cast<int>(n), last ? 1 : 0);
  if (r.failed) {
    // The recording of this step is incomplete; say so where the handler
    // will see it rather than deliver a silently truncated stream.
    r.failed = false;
    r.finished = true;
    static const char kMessage[] = "SAX recording ran out of memory";
    try {
      r.text_event(KORVITH_SAX_ERROR, BAD_CAST kMessage, static_cast<int>(sizeof kMessage - 1));
    } catch (const std::bad_alloc&) {
      return -1;
    }
    if (r.failed) {
      // Even the message did not fit: the error record carries no text.
      r.failed = false;
      r.records.back().text_off = 0;
      r.records.back().text_len = 0;
    }
    return 0;
  }
  if (last || xmlCtxtIsStopped(r.ctxt)) r.finished = true;
  return r.finished ? 0 : 1;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void korvith_sax_free(void* recorder) try { delete static_cast<Recorder*>(recorder); } catch (...) {
  korvith::entry_failed();
}

const void* korvith_sax_records(void* recorder, size_t* count) try {
  auto* r = static_cast<Recorder*>(recorder);
  if (count) *count = r ? r->records.size() : 0;
  return r && !r->records.empty() ? r->records.data() : nullptr;
} catch (...) {
  return korvith::entry_failed<const void*>(nullptr);
}

const char* korvith_sax_arena(void* recorder, size_t* size) try {
  auto* r = static_cast<Recorder*>(recorder);
  if (size) *size = r ? r->arena.size() : 0;
  if (!r) return nullptr;
  // An empty arena still answers a valid pointer, so records without
  // strings are delivered.
  static const char kEmpty[1] = {0};
  return r->arena.empty() ? kEmpty : r->arena.data();
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

void* korvith_sax_open_push(int flags, size_t chunk) try {
  Recorder* r = korvith::sax::open(flags, chunk, nullptr);
  if (r) r->push = true;
  return r;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_sax_push(void* recorder, const char* data, size_t length, int last) try {
  auto* r = static_cast<Recorder*>(recorder);
  if (!r || !r->push || r->push_eof || (!data && length)) return 1;
  r->data = data;
  r->length = length;
  r->pos = 0;
  r->push_eof = last != 0;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

int korvith_sax_wants_input(void* recorder) try {
  auto* r = static_cast<Recorder*>(recorder);
  if (!r || !r->push || r->push_eof || r->finished) return 0;
  return r->pos >= r->length ? 1 : 0;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

}  // extern "C"
