// Plans: compiling the encoded description, evaluating it against an
// element into an arena-owned value tree, and the plan_value_* slots that
// the module reads that tree with.
#include "korvith/plan.h"
#include "korvith/plan_direct.h"

#include <libxml/tree.h>

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "internal.h"
#include "plan_model.h"
#include "entry.h"

namespace korvith::plan {
namespace {

// ---- Description parser ----------------------------------------------------

struct Reader {
  const char* begin;
  const char* p;
  const char* end;
  std::string error;

  bool fail(const std::string& message) {
    if (error.empty()) error = message;
    return false;
  }

  bool number(long long& out, bool allow_negative) {
    const char* start = p;
    auto [next, ec] = std::from_chars(p, end, out);
    if (ec != std::errc() || next == start || (!allow_negative && out < 0))
      return fail("malformed plan description: number expected at byte " +
                  std::to_string(start - begin));
    p = next;
    return true;
  }

  bool expect(char c) {
    if (p >= end || *p != c)
      return fail(std::string("malformed plan description: '") + c + "' expected");
    ++p;
    return true;
  }

  bool int_field(int& out, char after) {
    long long v = 0;
    if (!number(v, true)) return false;
    if (v < INT_MIN || v > INT_MAX) return fail("plan description number out of range");
    out = static_cast<int>(v);
    return expect(after);
  }

  bool count(size_t& out, char after) {
    long long v = 0;
    if (!number(v, false)) return false;
    // Every counted item takes at least two bytes, which bounds any honest count.
    if (static_cast<unsigned long long>(v) > static_cast<size_t>(end - p))
      return fail("plan description count exceeds its data");
    out = static_cast<size_t>(v);
    return expect(after);
  }

  bool name(Name& out, char after) {
    size_t len = 0;
    if (!count(len, ':')) return false;
    if (len > static_cast<size_t>(end - p)) return fail("plan description name runs past its end");
    out.text.assign(p, len);
    p += len;
    if (out.text.empty()) return fail("empty name in plan description");
    if (out.text.find('\0') != std::string::npos)
      return fail("name with a NUL byte in plan description");
    if (out.text[0] == '{') {
      size_t close = out.text.find('}');
      if (close == std::string::npos || close + 1 == out.text.size())
        return fail("malformed namespaced name '" + out.text + "'");
      out.has_uri = true;
      out.uri = out.text.substr(1, close - 1);
      out.local = out.text.substr(close + 1);
    } else {
      out.local = out.text;
    }
    return expect(after);
  }
};

// Text and callback rows draw on the same children; other kinds count apart.
int family(int kind) { return kind == KORVITH_ROW_CALLBACK ? KORVITH_ROW_TEXT : kind; }

bool check_rows(CompiledPlan& compiled, std::string& error) {
  for (size_t pi = 0; pi < compiled.plans.size(); ++pi) {
    Plan& plan = compiled.plans[pi];
    for (size_t ri = 0; ri < plan.rows.size(); ++ri) {
      Row& row = plan.rows[ri];
      std::string where = "row '" + row.name.text + "' of plan " + std::to_string(pi);
      if (row.kind < KORVITH_ROW_TEXT || row.kind > KORVITH_ROW_WRAPPED) {
        error = where + ": unknown row kind " + std::to_string(row.kind);
        return false;
      }
      bool needs_child = row.kind == KORVITH_ROW_RECORDS ||
                         (row.kind == KORVITH_ROW_WRAPPED && row.child_index >= 0);
      if (needs_child &&
          (row.child_index < 0 || static_cast<size_t>(row.child_index) >= compiled.plans.size())) {
        error = where + ": child plan " + std::to_string(row.child_index) + " does not exist";
        return false;
      }
      if (row.tag < 0 || row.tag > 255) {
        error = where + ": type tag " + std::to_string(row.tag) + " outside 0..255";
        return false;
      }
      // Rows that share a name take successive children of that name.
      for (size_t e = 0; e < ri; ++e)
        if (plan.rows[e].name.text == row.name.text &&
            family(plan.rows[e].kind) == family(row.kind))
          ++row.occurrence;
    }
  }
  return true;
}

CompiledPlan* compile(const char* data, size_t length, std::string& error) {
  Reader r{data, data, data + length, {}};
  auto* compiled = new (std::nothrow) CompiledPlan();
  if (!compiled) {
    error = "out of memory";
    return nullptr;
  }
  try {
    size_t plan_count = 0;
    bool ok = r.count(plan_count, '\n');
    if (ok && plan_count == 0) ok = r.fail("a plan description needs at least one plan");
    if (ok) compiled->plans.resize(plan_count);
    for (size_t pi = 0; ok && pi < plan_count; ++pi) {
      Plan& plan = compiled->plans[pi];
      size_t attrs = 0, rows = 0;
      ok = r.count(attrs, ' ') && r.count(rows, '\n');
      if (!ok) break;
      plan.attrs.resize(attrs);
      plan.rows.resize(rows);
      for (size_t a = 0; ok && a < attrs; ++a) ok = r.name(plan.attrs[a], '\n');
      for (size_t ri = 0; ok && ri < rows; ++ri) {
        Row& row = plan.rows[ri];
        ok = r.name(row.name, ' ') && r.int_field(row.kind, ' ') &&
             r.int_field(row.child_index, ' ') && r.int_field(row.tag, ' ') &&
             r.int_field(row.flags, '\n');
      }
    }
    if (ok && r.p != r.end) ok = r.fail("trailing bytes after the plan description");
    if (ok) ok = check_rows(*compiled, r.error);
    if (!ok) {
      error = r.error;
      delete compiled;
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    delete compiled;
    return nullptr;
  }
  return compiled;
}

// ---- Evaluation -------------------------------------------------------------

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Evaluator {
  const CompiledPlan& plan;
  Result& result;
  std::string text;  // reused buffer for texts spread over several nodes

  Value* new_value(int kind, const char* name, size_t position, int tag) {
    auto* v = result.arena.make_array<Value>(1);
    if (!v) return nullptr;
    v->kind = kind;
    v->name = name;
    v->position = position;
    v->tag = static_cast<unsigned char>(tag);
    return v;
  }

  static size_t line_of(xmlNodePtr node) {
    long line = xmlGetLineNo(node);
    return line > 0 ? static_cast<size_t>(line) : 0;
  }

  // The string value of an element: its descendant text and CDATA, in
  // document order. Copied into the arena; `len` receives its length.
  const char* element_text(xmlNodePtr element, size_t& len) {
    xmlNodePtr first = element->children;
    if (!first) {
      len = 0;
      return result.arena.copy("", 0);
    }
    if (!first->next && (first->type == XML_TEXT_NODE || first->type == XML_CDATA_SECTION_NODE)) {
      const char* s = first->content ? reinterpret_cast<const char*>(first->content) : "";
      len = std::strlen(s);
      return result.arena.copy(s, len);
    }
    text.clear();
    xmlNodePtr node = first;
    while (node && node != element) {
      if ((node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) && node->content)
        text.append(reinterpret_cast<const char*>(node->content));
      if (node->type == XML_ELEMENT_NODE && node->children) {
        node = node->children;
        continue;
      }
      while (node && node != element && !node->next) node = node->parent;
      if (node && node != element) node = node->next;
    }
    len = text.size();
    return result.arena.copy(text.data(), text.size());
  }

  // A text (or callback) value for `element`. Typed rows turn a blank text
  // into no text, so that an empty <n/> reads as None rather than "".
  Value* text_value(xmlNodePtr element, const char* name, int kind, int tag) {
    Value* v = new_value(kind, name, line_of(element), tag);
    if (!v) return nullptr;
    size_t len = 0;
    const char* s = element_text(element, len);
    if (!s) return nullptr;
    if (tag >= KORVITH_TAG_INT && tag <= KORVITH_TAG_BOOL) {
      size_t i = 0;
      while (i < len && is_space(s[i])) ++i;
      if (i == len) s = nullptr, len = 0;
    }
    v->text = s;
    v->length = len;
    return v;
  }

  static bool element_named(xmlNodePtr node, const Name& name) {
    return node->type == XML_ELEMENT_NODE && name_matches(name, node->name, node->ns);
  }

  static xmlNodePtr nth_child(xmlNodePtr element, const Name& name, size_t n) {
    for (xmlNodePtr c = element->children; c; c = c->next)
      if (element_named(c, name) && n-- == 0) return c;
    return nullptr;
  }

  // Moves the scratch entries from `mark` on into an arena array.
  bool take_items(Value* v, size_t mark) {
    size_t n = result.scratch.size() - mark;
    v->count = n;
    v->items = result.arena.make_array<Value*>(n);
    if (!v->items) return false;
    for (size_t i = 0; i < n; ++i) v->items[i] = result.scratch[mark + i];
    result.scratch.resize(mark);
    return true;
  }

  bool push(Value* v) {
    if (!v) return false;
    result.scratch.push_back(v);
    return true;
  }

  bool attributes(Value* v, const Plan& p, xmlNodePtr element) {
    if (p.attrs.empty()) return true;
    v->attr_names = result.arena.make_array<const char*>(p.attrs.size());
    v->attr_values = result.arena.make_array<const char*>(p.attrs.size());
    if (!v->attr_names || !v->attr_values) return false;
    size_t n = 0;
    for (const Name& name : p.attrs) {
      for (xmlAttrPtr a = element->properties; a; a = a->next) {
        if (!name_matches(name, a->name, a->ns)) continue;
        const char* value;
        xmlNodePtr c = a->children;
        if (!c) {
          value = result.arena.copy("", 0);
        } else if (!c->next && c->type == XML_TEXT_NODE && c->content) {
          value = result.arena.copy(reinterpret_cast<const char*>(c->content),
                                    std::strlen(reinterpret_cast<const char*>(c->content)));
        } else {
          std::string joined = korvith::joined_value(element->doc, c);
          value = result.arena.copy(joined.data(), joined.size());
        }
        if (!value) return false;
        v->attr_names[n] = name.text.c_str();
        v->attr_values[n] = value;
        ++n;
        break;
      }
    }
    v->attr_count = n;
    return true;
  }

  bool tokens(Value* coll, xmlNodePtr element, int tag, size_t mark) {
    size_t len = 0;
    const char* s = element_text(element, len);
    if (!s) return false;
    size_t line = line_of(element);
    size_t i = 0;
    while (i < len) {
      while (i < len && is_space(s[i])) ++i;
      size_t start = i;
      while (i < len && !is_space(s[i])) ++i;
      if (i == start) break;
      Value* t = new_value(KORVITH_VALUE_TEXT, nullptr, line, tag);
      if (!t) return false;
      // Points into the copied text; each token's own NUL is not needed
      // because the module reads texts by length.
      t->text = s + start;
      t->length = i - start;
      if (!push(t)) return false;
    }
    return take_items(coll, mark);
  }

  bool row(const Row& r, xmlNodePtr element) {
    const char* name = r.name.text.c_str();
    switch (r.kind) {
      case KORVITH_ROW_TEXT:
      case KORVITH_ROW_CALLBACK: {
        xmlNodePtr c = nth_child(element, r.name, r.occurrence);
        if (!c) return true;  // absent: the module fills in None
        return push(text_value(
            c, name, r.kind == KORVITH_ROW_CALLBACK ? KORVITH_VALUE_CALLBACK : KORVITH_VALUE_TEXT,
            r.tag));
      }
      case KORVITH_ROW_OWN_TEXT: return push(text_value(element, name, KORVITH_VALUE_TEXT, r.tag));
      case KORVITH_ROW_RECORDS: {
        for (xmlNodePtr c = element->children; c; c = c->next) {
          if (!element_named(c, r.name)) continue;
          if (!push(record(c, static_cast<size_t>(r.child_index), name, r.tag))) return false;
          if (r.flags & KORVITH_ROW_FIRST_ONLY) break;
        }
        return true;
      }
      case KORVITH_ROW_TEXTS: {
        Value* coll = new_value(KORVITH_VALUE_COLLECTION, name, line_of(element), r.tag);
        if (!coll) return false;
        size_t mark = result.scratch.size();
        for (xmlNodePtr c = element->children; c; c = c->next)
          if (element_named(c, r.name) && !push(text_value(c, name, KORVITH_VALUE_TEXT, r.tag)))
            return false;
        return take_items(coll, mark) && push(coll);
      }
      case KORVITH_ROW_TOKENS: {
        Value* coll = new_value(KORVITH_VALUE_COLLECTION, name, line_of(element), r.tag);
        if (!coll) return false;
        size_t mark = result.scratch.size();
        xmlNodePtr c = nth_child(element, r.name, r.occurrence);
        if (c) {
          coll->position = line_of(c);
          if (!tokens(coll, c, r.tag, mark)) return false;
        } else if (!take_items(coll, mark)) {
          return false;
        }
        return push(coll);
      }
      case KORVITH_ROW_WRAPPED: {
        Value* coll = new_value(KORVITH_VALUE_COLLECTION, name, line_of(element), r.tag);
        if (!coll) return false;
        size_t mark = result.scratch.size();
        if (xmlNodePtr wrapper = nth_child(element, r.name, r.occurrence)) {
          coll->position = line_of(wrapper);
          for (xmlNodePtr c = wrapper->children; c; c = c->next) {
            if (c->type != XML_ELEMENT_NODE) continue;
            const char* item_name = reinterpret_cast<const char*>(c->name);
            Value* item = r.child_index >= 0
                              ? record(c, static_cast<size_t>(r.child_index), item_name, r.tag)
                              : text_value(c, item_name, KORVITH_VALUE_TEXT, r.tag);
            if (!push(item)) return false;
          }
        }
        return take_items(coll, mark) && push(coll);
      }
      default: return true;  // compile rejects other kinds
    }
  }

  Value* record(xmlNodePtr element, size_t plan_index, const char* name, int tag) {
    const Plan& p = plan.plans[plan_index];
    Value* v = new_value(KORVITH_VALUE_RECORD, name, line_of(element), tag);
    if (!v || !attributes(v, p, element)) return nullptr;
    size_t mark = result.scratch.size();
    for (const Row& r : p.rows)
      if (!row(r, element)) return nullptr;
    return take_items(v, mark) ? v : nullptr;
  }
};

const Value* as_value(const void* v) { return static_cast<const Value*>(v); }

std::string_view trimmed(const Value* v) {
  if (!v || !v->text) return {};
  const char* s = v->text;
  size_t b = 0, e = v->length;
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return {s + b, e - b};
}

}  // namespace

bool name_matches(const Name& name, const xmlChar* local, const xmlNs* ns) {
  if (!local || std::strcmp(reinterpret_cast<const char*>(local), name.local.c_str()) != 0)
    return false;
  const char* href = ns && ns->href ? reinterpret_cast<const char*>(ns->href) : nullptr;
  if (!name.has_uri) return href == nullptr || *href == '\0';
  return href && name.uri == href;
}

bool evaluate(const CompiledPlan& plan, xmlNodePtr element, Result& result) {
  result.scratch.clear();
  result.root = nullptr;
  try {
    Evaluator ev{plan, result, {}};
    result.root = ev.record(element, 0, nullptr, 0);
  } catch (const std::bad_alloc&) {
    result.root = nullptr;
  }
  return result.root != nullptr;
}

// ---- The table for native callers (plan_direct.h) ---------------------------

namespace {

// A recycled result keeps its largest arena block; one that grew beyond
// this for a huge record is freed instead, so a plan does not hold on to
// that memory between calls.
constexpr size_t kKeptResultBytes = 1024 * 1024;

void* direct_result_new() try { return new (std::nothrow) Result(); } catch (...) {
  return nullptr;
}

const void* direct_eval_into(const void* plan, void* element, void* result) try {
  auto* node = static_cast<xmlNodePtr>(element);
  if (!plan || !node || !result || node->type != XML_ELEMENT_NODE) return nullptr;
  auto* out = static_cast<Result*>(result);
  out->arena.reset();
  if (!evaluate(*static_cast<const CompiledPlan*>(plan), node, *out)) return nullptr;
  return out->root;
} catch (...) {
  return nullptr;
}

int direct_result_recycle(void* result) try {
  auto* out = static_cast<Result*>(result);
  if (!out) return 0;
  out->root = nullptr;
  out->scratch.clear();
  out->arena.reset();
  if (out->arena.reserved() <= kKeptResultBytes) return 1;
  delete out;
  return 0;
} catch (...) {
  return 0;
}

const char* direct_attribute_name(const void* value, size_t index) try {
  const Value* v = as_value(value);
  return v && index < v->attr_count ? v->attr_names[index] : nullptr;
} catch (...) {
  return nullptr;
}

const char* direct_attribute_value(const void* value, size_t index) try {
  const Value* v = as_value(value);
  return v && index < v->attr_count ? v->attr_values[index] : nullptr;
} catch (...) {
  return nullptr;
}

}  // namespace

}  // namespace korvith::plan

using korvith::plan::as_value;
using korvith::plan::CompiledPlan;
using korvith::plan::Result;
using korvith::plan::trimmed;
using korvith::plan::Value;

extern "C" {

void* korvith_plan_compile(const char* description, size_t length, char* error,
                           size_t error_capacity) try {
  std::string message;
  CompiledPlan* plan = description ? korvith::plan::compile(description, length, message) : nullptr;
  if (!description) message = "no plan description";
  if (!plan && error && error_capacity) std::snprintf(error, error_capacity, "%s", message.c_str());
  return plan;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_plan_free(void* plan) try { delete static_cast<CompiledPlan*>(plan); } catch (...) {
  korvith::entry_failed();
}

void* korvith_plan_eval(const void* plan, void* element) try {
  auto* node = static_cast<xmlNodePtr>(element);
  if (!plan || !node || node->type != XML_ELEMENT_NODE) return nullptr;
  auto* result = new (std::nothrow) Result();
  if (!result) return nullptr;
  if (!korvith::plan::evaluate(*static_cast<const CompiledPlan*>(plan), node, *result)) {
    delete result;
    return nullptr;
  }
  return result;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

const void* korvith_plan_result_root(const void* result) try {
  return result ? static_cast<const Result*>(result)->root : nullptr;
} catch (...) {
  return korvith::entry_failed<const void*>(nullptr);
}

void korvith_plan_result_free(void* result) try {
  delete static_cast<Result*>(result);
} catch (...) {
  korvith::entry_failed();
}

int korvith_plan_value_kind(const void* value) try {
  return value ? as_value(value)->kind : -1;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

const char* korvith_plan_value_name(const void* value) try {
  return value ? as_value(value)->name : nullptr;
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

unsigned char korvith_plan_value_type_tag(const void* value) try {
  return value ? as_value(value)->tag : 0;
} catch (...) {
  return korvith::entry_failed<unsigned char>(0);
}

const char* korvith_plan_value_string(const void* value) try {
  return value ? as_value(value)->text : nullptr;
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

size_t korvith_plan_value_length(const void* value) try {
  return value ? as_value(value)->length : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_plan_value_position(const void* value) try {
  return value ? as_value(value)->position : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_plan_value_count(const void* value) try {
  return value ? as_value(value)->count : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

void* korvith_plan_value_at(const void* value, size_t index) try {
  if (!value || index >= as_value(value)->count) return nullptr;
  return as_value(value)->items[index];
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_plan_value_int(const void* value, long long int* out) try {
  std::string_view s = trimmed(as_value(value));
  if (s.empty() || !out) return 1;
  const char* b = s.data();
  if (*b == '+') ++b;
  long long v = 0;
  auto [next, ec] = std::from_chars(b, s.data() + s.size(), v);
  if (ec != std::errc() || next != s.data() + s.size()) return 1;
  *out = v;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

int korvith_plan_value_float(const void* value, double* out) try {
  std::string_view s = trimmed(as_value(value));
  if (s.empty() || !out) return 1;
  const char* b = s.data();
  if (*b == '+') ++b;
  double v = 0;
  auto [next, ec] = std::from_chars(b, s.data() + s.size(), v);
  if (ec != std::errc() || next != s.data() + s.size()) return 1;
  *out = v;
  return 0;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

int korvith_plan_value_bool(const void* value, int* out) try {
  std::string_view s = trimmed(as_value(value));
  if (!out) return 1;
  auto lower_equals = [&](std::string_view word) {
    if (s.size() != word.size()) return false;
    for (size_t i = 0; i < s.size(); ++i)
      if ((s[i] | 0x20) != word[i]) return false;
    return true;
  };
  if (s == "1" || lower_equals("true")) {
    *out = 1;
    return 0;
  }
  if (s == "0" || lower_equals("false")) {
    *out = 0;
    return 0;
  }
  return 1;
} catch (...) {
  return korvith::entry_failed<int>(1);
}

const char* korvith_plan_value_attribute(const void* value, const char* name) try {
  if (!value || !name) return nullptr;
  const Value* v = as_value(value);
  for (size_t i = 0; i < v->attr_count; ++i)
    if (std::strcmp(v->attr_names[i], name) == 0) return v->attr_values[i];
  return nullptr;
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

size_t korvith_plan_value_attribute_count(const void* value) try {
  return value ? as_value(value)->attr_count : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_plan_value_attributes_snapshot(const void* value, char* names, size_t names_capacity,
                                              size_t* name_offsets, char* values,
                                              size_t values_capacity, size_t* value_offsets) try {
  constexpr size_t kFailed = SIZE_MAX;
  if (!value) return names ? kFailed : 0;
  const Value* v = as_value(value);
  size_t names_size = 0, values_size = 0;
  for (size_t i = 0; i < v->attr_count; ++i) {
    names_size += std::strlen(v->attr_names[i]) + 1;
    values_size += std::strlen(v->attr_values[i]) + 1;
  }
  size_t size = names_size > values_size ? names_size : values_size;
  if (!names && !values) return size;
  if (!names || !values || !name_offsets || !value_offsets || names_capacity < names_size ||
      values_capacity < values_size)
    return kFailed;
  size_t n = 0, m = 0;
  for (size_t i = 0; i < v->attr_count; ++i) {
    size_t nl = std::strlen(v->attr_names[i]) + 1, vl = std::strlen(v->attr_values[i]) + 1;
    name_offsets[i] = n;
    value_offsets[i] = m;
    std::memcpy(names + n, v->attr_names[i], nl);
    std::memcpy(values + m, v->attr_values[i], vl);
    n += nl;
    m += vl;
  }
  name_offsets[v->attr_count] = n;
  value_offsets[v->attr_count] = m;
  return size;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

const void* korvith_plan_direct_table(void) try {
  static const korvith_plan_direct table = {
      sizeof(korvith_plan_direct),
      korvith::plan::direct_result_new,
      korvith::plan::direct_eval_into,
      korvith::plan::direct_result_recycle,
      korvith_plan_result_free,
      korvith_plan_free,
      korvith_plan_value_kind,
      korvith_plan_value_name,
      korvith_plan_value_type_tag,
      korvith_plan_value_string,
      korvith_plan_value_length,
      korvith_plan_value_position,
      korvith_plan_value_count,
      korvith_plan_value_at,
      korvith_plan_value_int,
      korvith_plan_value_float,
      korvith_plan_value_bool,
      korvith_plan_value_attribute_count,
      korvith::plan::direct_attribute_name,
      korvith::plan::direct_attribute_value,
  };
  return &table;
} catch (...) {
  return korvith::entry_failed<const void*>(nullptr);
}

}  // extern "C"
