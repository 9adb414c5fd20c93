// Attributes: names (plain or {uri}local), values, lookups by plain,
// prefixed or Clark name, strict typed getters and the bulk snapshot.
#include <libxml/xmlstring.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "internal.h"

namespace korvith {

namespace {

bool attr_in_no_namespace(const xmlAttr* a) { return a->ns == nullptr; }

const char* ns_href(const xmlAttr* a) {
  return a->ns != nullptr && a->ns->href != nullptr ? cstr(a->ns->href) : nullptr;
}

}  // namespace

xmlAttrPtr find_attribute_ns(xmlNodePtr element, const char* uri, const char* local) {
  if (!is_element(element) || local == nullptr) return nullptr;
  bool no_ns = uri == nullptr || *uri == '\0';
  for (xmlAttrPtr a = element->properties; a != nullptr; a = a->next) {
    if (a->name == nullptr || std::strcmp(cstr(a->name), local) != 0) continue;
    if (no_ns) {
      if (attr_in_no_namespace(a)) return a;
    } else {
      const char* href = ns_href(a);
      if (href != nullptr && std::strcmp(href, uri) == 0) return a;
    }
  }
  return nullptr;
}

xmlAttrPtr find_attribute(xmlNodePtr element, const char* name) {
  if (!is_element(element) || name == nullptr) return nullptr;
  if (name[0] == '{') {
    const char* close = std::strchr(name + 1, '}');
    if (close == nullptr) return nullptr;
    std::string uri(name + 1, close);
    return find_attribute_ns(element, uri.c_str(), close + 1);
  }
  if (xmlAttrPtr a = find_attribute_ns(element, nullptr, name)) return a;
  const char* colon = std::strchr(name, ':');
  if (colon == nullptr || colon == name || colon[1] == '\0') return nullptr;
  std::string prefix(name, colon);
  // The xml prefix is bound by definition. (Asking libxml2 for it would
  // make it add the declaration to a document that has none yet: a write
  // into a tree other threads may be reading.)
  if (prefix == "xml") return find_attribute_ns(element, cstr(XML_XML_NAMESPACE), colon + 1);
  xmlNsPtr ns = xmlSearchNs(element->doc, element, xstr(prefix.c_str()));
  if (ns == nullptr || ns->href == nullptr) return nullptr;
  return find_attribute_ns(element, cstr(ns->href), colon + 1);
}

const char* attribute_value(xmlNodePtr element, xmlAttrPtr attr) {
  (void)element;
  if (attr == nullptr) return nullptr;
  xmlNodePtr kids = attr->children;
  if (kids == nullptr) return "";
  if (kids->next == nullptr && kids->type == XML_TEXT_NODE) {
    return kids->content != nullptr ? cstr(kids->content) : "";
  }
  // A value split over several nodes (entity references kept as nodes):
  // join it once and keep the result with the document.
  return intern(attr->doc, joined_value(attr->doc, kids));
}

namespace {

size_t clark_slot(const char* href, const char* local) {
  auto key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(href)) ^
             (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(local)) << 1);
  constexpr int kBits = std::countr_zero(kClarkSlots);
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - kBits));
}

// The memoised name spells exactly "{href}local". Reads `href` and `local`
// no further than their terminators.
bool spells_clark(const ClarkName& memo, const char* href, const char* local) {
  size_t n = memo.uri_length;
  return std::strncmp(href, memo.text + 1, n) == 0 && href[n] == '\0' && memo.text[n + 1] == '}' &&
         std::strcmp(local, memo.text + n + 2) == 0;
}

// Interns "{uri}local" (`uri_length` bytes of URI) and puts it in the memo
// slot `slot`.
const char* intern_clark(DocSide* side, std::string_view text, size_t uri_length, size_t slot) {
  std::lock_guard<std::mutex> lock(side->mu);
  const char* interned = intern_locked(side, text);
  auto entry = side->clark_names.try_emplace(interned, ClarkName{interned, uri_length}).first;
  side->clark_slots[slot].store(&entry->second, std::memory_order_release);
  return interned;
}

// Plain names are the attribute's own; "{uri}local" is interned, so each
// name keeps one pointer for the document's life. A name asked for before
// comes from the document's memo without the lock; a new one is built on
// the stack (on the heap when long) and interned.
const char* attribute_name(xmlAttrPtr a) {
  if (a == nullptr || a->name == nullptr) return nullptr;
  const char* href = ns_href(a);
  if (href == nullptr) return cstr(a->name);
  const char* local = cstr(a->name);
  DocSide* side = side_of(a->doc);
  if (side == nullptr) return nullptr;
  size_t slot = clark_slot(href, local);
  const ClarkName* memo = side->clark_slots[slot].load(std::memory_order_acquire);
  if (memo != nullptr && spells_clark(*memo, href, local)) return memo->text;
  size_t href_len = std::strlen(href);
  size_t local_len = std::strlen(local);
  size_t total = href_len + local_len + 2;
  char small[256];
  std::string large;
  char* buf = small;
  if (total > sizeof(small)) {
    large.resize(total);
    buf = large.data();
  }
  buf[0] = '{';
  std::memcpy(buf + 1, href, href_len);
  buf[href_len + 1] = '}';
  std::memcpy(buf + href_len + 2, local, local_len);
  return intern_clark(side, std::string_view(buf, total), href_len, slot);
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(const char* s) {
  std::string_view v(s);
  while (!v.empty() && is_xml_space(v.front())) v.remove_prefix(1);
  while (!v.empty() && is_xml_space(v.back())) v.remove_suffix(1);
  return v;
}

bool parse_int32(std::string_view v, int* out) {
  if (v.empty()) return false;
  bool negative = false;
  if (v.front() == '+' || v.front() == '-') {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  if (v.empty()) return false;
  long long value = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return false;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return false;
  *out = static_cast<int>(value);
  return true;
}

bool parse_double(std::string_view v, double* out) {
  if (v.empty()) return false;
  if (v == "INF" || v == "+INF") {
    *out = HUGE_VAL;
    return true;
  }
  if (v == "-INF") {
    *out = -HUGE_VAL;
    return true;
  }
  if (v == "NaN") {
    *out = std::nan("");
    return true;
  }
  bool negative = false;
  if (v.front() == '+' || v.front() == '-') {
    negative = v.front() == '-';
    v.remove_prefix(1);
  }
  // Only decimal digits, one point and an exponent: no inf/nan words,
  // no hexadecimal, no second sign.
  if (v.empty() || !((v.front() >= '0' && v.front() <= '9') || v.front() == '.')) return false;
  double value = 0;
  auto [end, ec] =
      std::from_chars(v.data(), v.data() + v.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != v.data() + v.size()) return false;
  if (!std::isfinite(value)) return false;
  *out = negative ? -value : value;
  return true;
}

int parse_bool(std::string_view v) {
  auto eq = [&](const char* word) {
    size_t n = std::strlen(word);
    if (v.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
      char c = v[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != word[i]) return false;
    }
    return true;
  };
  if (eq("true") || eq("1") || eq("yes")) return 1;
  if (eq("false") || eq("0") || eq("no")) return 0;
  return -1;
}

const size_t kNone = static_cast<size_t>(-1);

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_element_first_attribute(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return nullptr;
  return n->properties;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void* korvith_attribute_next(void* attribute) try {
  auto* a = static_cast<xmlAttrPtr>(attribute);
  return a != nullptr ? a->next : nullptr;
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

const char* korvith_attribute_get_name(void* attribute) try {
  return attribute_name(static_cast<xmlAttrPtr>(attribute));
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_attribute_get_value(void* element, void* attribute) try {
  return attribute_value(as_node(element), static_cast<xmlAttrPtr>(attribute));
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_element_attribute(void* element, const char* name) try {
  xmlNodePtr n = as_node(element);
  return attribute_value(n, find_attribute(n, name));
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

const char* korvith_element_attribute_ns(void* element, const char* uri, const char* local) try {
  xmlNodePtr n = as_node(element);
  return attribute_value(n, find_attribute_ns(n, uri, local));
} catch (...) {
  return korvith::entry_failed<const char*>(nullptr);
}

size_t korvith_attribute_count(void* element) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return 0;
  size_t count = 0;
  for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) ++count;
  return count;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

size_t korvith_element_attribute_pairs(void* element, const char** names, const char** values,
                                       void** attributes, size_t capacity) try {
  xmlNodePtr n = as_node(element);
  if (!is_element(n)) return 0;
  size_t i = 0;
  for (xmlAttrPtr a = n->properties; a != nullptr && i < capacity; a = a->next, ++i) {
    if (names != nullptr) names[i] = attribute_name(a);
    if (values != nullptr) values[i] = attribute_value(n, a);
    if (attributes != nullptr) attributes[i] = a;
  }
  return i;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

int korvith_element_attribute_int(void* element, const char* name, int fallback) try {
  const char* v = korvith_element_attribute(element, name);
  int out = 0;
  if (v == nullptr || !parse_int32(trimmed(v), &out)) return fallback;
  return out;
} catch (...) {
  return korvith::entry_failed<int>(fallback);
}

double korvith_element_attribute_double(void* element, const char* name, double fallback) try {
  const char* v = korvith_element_attribute(element, name);
  double out = 0;
  if (v == nullptr || !parse_double(trimmed(v), &out)) return fallback;
  return out;
} catch (...) {
  return korvith::entry_failed<double>(fallback);
}

int korvith_element_attribute_bool(void* element, const char* name, int fallback) try {
  const char* v = korvith_element_attribute(element, name);
  if (v == nullptr) return fallback;
  int b = parse_bool(trimmed(v));
  return b < 0 ? fallback : b;
} catch (...) {
  return korvith::entry_failed<int>(fallback);
}

size_t korvith_element_attributes_snapshot(void* element, char* names, size_t names_capacity,
                                           size_t* name_offsets, char* values,
                                           size_t values_capacity, size_t* value_offsets,
                                           char* prefixes, size_t prefixes_capacity,
                                           size_t* prefix_offsets, char* uris, size_t uris_capacity,
                                           size_t* uri_offsets) try {
  xmlNodePtr n = as_node(element);
  bool sizing = names == nullptr && values == nullptr && prefixes == nullptr && uris == nullptr;
  if (!is_element(n)) return sizing ? 0 : 1;
  // Bytes each buffer needs: names are local names, prefixes and URIs
  // only for attributes in a namespace.
  size_t need_names = 0, need_values = 0, need_prefixes = 0, need_uris = 0;
  for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next) {
    need_names += std::strlen(cstr(a->name)) + 1;
    need_values += std::strlen(attribute_value(n, a)) + 1;
    if (a->ns != nullptr && a->ns->prefix != nullptr) {
      need_prefixes += std::strlen(cstr(a->ns->prefix)) + 1;
    }
    if (ns_href(a) != nullptr) need_uris += std::strlen(ns_href(a)) + 1;
  }
  size_t need = std::max({need_names, need_values, need_prefixes, need_uris});
  if (sizing) return need;
  if (names == nullptr || values == nullptr || prefixes == nullptr || uris == nullptr ||
      name_offsets == nullptr || value_offsets == nullptr || prefix_offsets == nullptr ||
      uri_offsets == nullptr) {
    return 1;
  }
  if (names_capacity < need_names || values_capacity < need_values ||
      prefixes_capacity < need_prefixes || uris_capacity < need_uris) {
    return kNone;
  }
  size_t pn = 0, pv = 0, pp = 0, pu = 0, i = 0;
  auto put = [](char* buf, size_t& pos, const char* s) {
    size_t len = std::strlen(s) + 1;
    std::memcpy(buf + pos, s, len);
    size_t at = pos;
    pos += len;
    return at;
  };
  for (xmlAttrPtr a = n->properties; a != nullptr; a = a->next, ++i) {
    name_offsets[i] = put(names, pn, cstr(a->name));
    value_offsets[i] = put(values, pv, attribute_value(n, a));
    prefix_offsets[i] = (a->ns != nullptr && a->ns->prefix != nullptr)
                            ? put(prefixes, pp, cstr(a->ns->prefix))
                            : kNone;
    uri_offsets[i] = ns_href(a) != nullptr ? put(uris, pu, ns_href(a)) : kNone;
  }
  return 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

}  // extern "C"
