// Streaming extraction: runs an iterparse iterator up to each element with
// the wanted name, evaluates the plan against it and releases what is done.
#include <libxml/tree.h>

#include <cstring>
#include <new>
#include <string>

#include "korvith/engine_ext.h"
#include "korvith/plan.h"
#include "internal.h"
#include "plan_model.h"
#include "entry.h"

namespace korvith::plan {
namespace {

struct Stream {
  const CompiledPlan* plan;
  void* iterator;
  Name tag;
  Result result;
};

bool parse_tag(const char* tag, Name& out) {
  if (!tag || !*tag) return false;
  out.text = tag;
  if (tag[0] == '{') {
    const char* close = std::strchr(tag, '}');
    if (!close || !close[1]) return false;
    out.has_uri = true;
    out.uri.assign(tag + 1, close);
    out.local = close + 1;
  } else {
    out.local = tag;
  }
  return true;
}

bool is_tag(const Stream& s, xmlNodePtr node) {
  return node && node->type == XML_ELEMENT_NODE && name_matches(s.tag, node->name, node->ns);
}

bool inside_match(const Stream& s, xmlNodePtr node) {
  for (xmlNodePtr p = node->parent; p && p->type == XML_ELEMENT_NODE; p = p->parent)
    if (is_tag(s, p)) return true;
  return false;
}

bool is_root(xmlNodePtr node) { return !node->parent || node->parent->type != XML_ELEMENT_NODE; }

void release(Stream& s, xmlNodePtr node) {
  // Elements inside a match stay until the match itself is done with; the
  // root element belongs to the iterator until it is freed.
  if (!is_root(node) && !inside_match(s, node)) korvith_iterparse_release(s.iterator, node);
}

}  // namespace
}  // namespace korvith::plan

using korvith::plan::Stream;

extern "C" {

void* korvith_plan_stream_new(const void* plan, void* iterator, const char* tag) try {
  if (!plan || !iterator) return nullptr;
  auto* s = new (std::nothrow) Stream();
  if (!s) return nullptr;
  s->plan = static_cast<const korvith::plan::CompiledPlan*>(plan);
  s->iterator = iterator;
  bool ok = false;
  try {
    ok = korvith::plan::parse_tag(tag, s->tag);
  } catch (const std::bad_alloc&) {
  }
  if (!ok) {
    delete s;
    return nullptr;
  }
  return s;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

const void* korvith_plan_stream_next(void* stream) try {
  if (!stream) return nullptr;
  auto& s = *static_cast<Stream*>(stream);
  for (;;) {
    auto* node = static_cast<xmlNodePtr>(korvith_iterparse_next(s.iterator));
    if (!node) return nullptr;
    if (korvith::plan::is_tag(s, node)) {
      s.result.arena.reset();
      bool ok = korvith::plan::evaluate(*s.plan, node, s.result);
      // The result holds copies, so the subtree can go before conversion.
      korvith::plan::release(s, node);
      if (!ok) {
        // Evaluation fails only when memory runs out: end the stream with
        // that error, never as if the input had ended here.
        korvith::iterparse_fail(s.iterator, XML_ERR_NO_MEMORY, "out of memory");
        return nullptr;
      }
      return s.result.root;
    }
    korvith::plan::release(s, node);
  }
} catch (...) {
  return korvith::entry_failed<const void*>(nullptr);
}

void korvith_plan_stream_free(void* stream) try {
  delete static_cast<Stream*>(stream);
} catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
