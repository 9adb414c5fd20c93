// Direct evaluation of simple XPath location paths (see xpath_fast_eval.h
// and docs/engine.md for the exact subset).
//
// A path is a chain of child and descendant steps with element name tests
// and predicates built from child paths, attributes, string equality, `and`
// and `or`. Instead of building a node-set per step (and then merging and
// sorting), the evaluator walks the subtree below the start node once, in
// document order, and keeps for each element a bit set of the steps it
// satisfies: bit k is set when the element is in the node-set of the first
// k steps (bit 0 is the start node itself). An element is tested against
// step k only when its parent has bit k-1 (a child step) or some ancestor
// has it (a descendant step), so the predicates run only where XPath would
// run them. Elements with the last bit form the result, already in document
// order and without duplicates. A subtree is skipped when no step can match
// below it.
//
// Whenever the answer could differ from libxml2's (entity references and
// XInclude markers in the tree, an unbound prefix, a context that is not an
// element or a document, no memory), evaluation gives up and the caller
// evaluates with libxml2 instead, so the result is always libxml2's.
#include "xpath_fast_eval.h"

#include <libxml/tree.h>
#include <libxml/xmlstring.h>
#include <libxml/xpathInternals.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace korvith::xpath_fast {
namespace {

constexpr size_t kMaxSteps = 63;  // bit 0 of a state is the start node
constexpr int kMaxNesting = 16;   // parentheses and operators inside a predicate
constexpr size_t kNoPrefix = SIZE_MAX;

}  // namespace

struct NameTest {
  size_t prefix = kNoPrefix;  // index into Path::prefixes
  std::string local;          // empty: any name (`*`)
};

// A relative path inside a predicate: child element steps, and maybe an
// attribute as the last step.
struct Operand {
  std::vector<NameTest> steps;
  bool attribute = false;
  NameTest attr;
};

struct Cond {
  enum Kind { kExists, kEqual, kNotEqual, kAnd, kOr };
  Kind kind = kExists;
  Operand operand;          // kExists, kEqual, kNotEqual
  std::string literal;      // kEqual, kNotEqual
  std::vector<Cond> parts;  // kAnd, kOr
};

struct Step {
  bool descendant = false;
  NameTest test;
  std::vector<Cond> predicates;
};

struct Path {
  bool absolute = false;
  std::vector<Step> steps;
  std::vector<std::string> prefixes;
  uint64_t child_steps = 0;       // bit k: step k (from 1) is a child step
  uint64_t descendant_steps = 0;  // bit k: step k is a descendant step
};

void PathDeleter::operator()(Path* path) const noexcept { delete path; }

namespace {

bool name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

bool operator_name(const std::string& name) {
  return name == "and" || name == "or" || name == "div" || name == "mod";
}

// Recursive descent over the subset. Every rule gives false for anything
// it does not know; whitespace is accepted only around predicate operators
// and brackets and around the whole expression.
class Parser {
 public:
  Parser(const char* text, Path& path) : p_(text), path_(path) {}

  bool location_path() {
    skip_blanks();
    bool descendant = false;
    if (*p_ == '/') {
      path_.absolute = true;
      descendant = p_[1] == '/';
      p_ += descendant ? 2 : 1;
    }
    for (;;) {
      if (*p_ == '.') {
        // `.` (self) adds nothing after `/`; `//.` selects every node and
        // `..` the parent: both are outside the subset.
        if (descendant || p_[1] == '.') return false;
        ++p_;
      } else if (!step(descendant)) {
        return false;
      }
      if (*p_ != '/') break;
      descendant = p_[1] == '/';
      p_ += descendant ? 2 : 1;
    }
    skip_blanks();
    if (*p_ != '\0' || path_.steps.empty() || path_.steps.size() > kMaxSteps) return false;
    for (size_t i = 0; i < path_.steps.size(); ++i) {
      uint64_t bit = uint64_t{1} << (i + 1);
      (path_.steps[i].descendant ? path_.descendant_steps : path_.child_steps) |= bit;
    }
    return true;
  }

 private:
  const char* p_;
  Path& path_;
  int depth_ = 0;

  void skip_blanks() {
    while (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r') ++p_;
  }

  bool ncname(std::string& out) {
    if (!name_start(*p_)) return false;
    const char* start = p_;
    while (name_char(*p_)) ++p_;
    // Names with other characters are left to libxml2.
    if (static_cast<unsigned char>(*p_) >= 0x80) return false;
    out.assign(start, p_);
    return true;
  }

  size_t prefix_index(const std::string& prefix) {
    for (size_t i = 0; i < path_.prefixes.size(); ++i) {
      if (path_.prefixes[i] == prefix) return i;
    }
    path_.prefixes.push_back(prefix);
    return path_.prefixes.size() - 1;
  }

  // `*`, `name`, `prefix:*` or `prefix:name`.
  bool name_test(NameTest& test) {
    if (*p_ == '*') {
      ++p_;
      return true;
    }
    std::string first;
    if (!ncname(first)) return false;
    if (*p_ != ':') {
      test.local = std::move(first);
      return true;
    }
    if (p_[1] == ':') return false;  // an axis
    ++p_;
    test.prefix = prefix_index(first);
    if (*p_ == '*') {
      ++p_;
      return true;
    }
    return ncname(test.local);
  }

  bool step(bool descendant) {
    Step s;
    s.descendant = descendant;
    if (!name_test(s.test)) return false;
    while (*p_ == '[') {
      ++p_;
      Cond cond;
      if (!or_expr(cond)) return false;
      skip_blanks();
      if (*p_ != ']') return false;
      ++p_;
      s.predicates.push_back(std::move(cond));
    }
    path_.steps.push_back(std::move(s));
    return true;
  }

  bool keyword(const char* word) {
    size_t n = std::strlen(word);
    if (std::strncmp(p_, word, n) != 0 || name_char(p_[n]) || p_[n] == ':') return false;
    if (static_cast<unsigned char>(p_[n]) >= 0x80) return false;
    p_ += n;
    return true;
  }

  // One operator level: operands joined by `word` (`or` over `and`).
  bool chain(Cond& out, Cond::Kind kind, const char* word, bool (Parser::*operand)(Cond&)) {
    if (++depth_ > kMaxNesting) return false;
    std::vector<Cond> parts(1);
    if (!(this->*operand)(parts[0])) return false;
    for (;;) {
      skip_blanks();
      if (!keyword(word)) break;
      parts.emplace_back();
      if (!(this->*operand)(parts.back())) return false;
    }
    --depth_;
    if (parts.size() == 1) {
      out = std::move(parts[0]);
    } else {
      out.kind = kind;
      out.parts = std::move(parts);
    }
    return true;
  }

  bool or_expr(Cond& out) { return chain(out, Cond::kOr, "or", &Parser::and_expr); }

  bool and_expr(Cond& out) { return chain(out, Cond::kAnd, "and", &Parser::primary); }

  bool primary(Cond& out) {
    skip_blanks();
    if (*p_ == '(') {
      ++p_;
      if (!or_expr(out)) return false;
      skip_blanks();
      if (*p_ != ')') return false;
      ++p_;
      return true;
    }
    out.kind = Cond::kExists;
    if (!operand(out.operand)) return false;
    skip_blanks();
    if (*p_ == '=') {
      ++p_;
      out.kind = Cond::kEqual;
    } else if (p_[0] == '!' && p_[1] == '=') {
      p_ += 2;
      out.kind = Cond::kNotEqual;
    } else {
      return true;
    }
    skip_blanks();
    return literal(out.literal);
  }

  // Child name steps separated by `/`, or ending in `@name`/`@prefix:name`.
  bool operand(Operand& out) {
    for (;;) {
      if (*p_ == '@') {
        ++p_;
        out.attribute = true;
        return name_test(out.attr) && !out.attr.local.empty();
      }
      NameTest test;
      if (!name_test(test)) return false;
      if (test.prefix == kNoPrefix && operator_name(test.local)) return false;
      out.steps.push_back(std::move(test));
      if (p_[0] != '/' || p_[1] == '/') return true;
      ++p_;
    }
  }

  bool literal(std::string& out) {
    char quote = *p_;
    if (quote != '\'' && quote != '"') return false;
    const char* end = std::strchr(p_ + 1, quote);
    if (end == nullptr) return false;
    out.assign(p_ + 1, end);
    p_ = end + 1;
    return true;
  }
};

// ---------------------------------------------------------------- evaluation

bool same(const xmlChar* a, const std::string& b) {
  // Most names differ in their first byte: no call for those.
  return a != nullptr && static_cast<char>(a[0]) == b[0] &&
         std::strcmp(reinterpret_cast<const char*>(a), b.c_str()) == 0;
}

bool same(const xmlChar* a, const xmlChar* b) {
  return a == b || (a != nullptr && b != nullptr && xmlStrEqual(a, b) != 0);
}

enum Answer { kNo = 0, kYes = 1, kUnsure = -1 };

// Compares a text against the part of a literal not yet matched.
class TextCompare {
 public:
  explicit TextCompare(const std::string& literal) : literal_(literal) {}

  // False as soon as the text read so far is no prefix of the literal.
  bool feed(const xmlChar* text) {
    if (text == nullptr) return true;
    size_t n = std::strlen(reinterpret_cast<const char*>(text));
    if (n > literal_.size() - pos_ || std::memcmp(literal_.data() + pos_, text, n) != 0) {
      return false;
    }
    pos_ += n;
    return true;
  }

  bool complete() const { return pos_ == literal_.size(); }

 private:
  const std::string& literal_;
  size_t pos_ = 0;
};

// The string value of an element (its descendant text in document order)
// compared with a literal. Stops at the first difference: what follows
// cannot make the two equal again.
Answer element_value_equals(xmlNodePtr element, const std::string& literal) {
  TextCompare compare(literal);
  xmlNodePtr node = element->children;
  while (node != nullptr) {
    switch (node->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (!compare.feed(node->content)) return kNo;
        break;
      case XML_ELEMENT_NODE:
        if (node->children != nullptr) {
          node = node->children;
          continue;
        }
        break;
      case XML_COMMENT_NODE:
      case XML_PI_NODE: break;
      default: return kUnsure;  // entity references expand into the value
    }
    while (node->next == nullptr) {
      node = node->parent;
      if (node == element || node == nullptr) return compare.complete() ? kYes : kNo;
    }
    node = node->next;
  }
  return compare.complete() ? kYes : kNo;
}

Answer attribute_value_equals(xmlAttrPtr attr, const std::string& literal) {
  TextCompare compare(literal);
  for (xmlNodePtr node = attr->children; node != nullptr; node = node->next) {
    if (node->type != XML_TEXT_NODE) return kUnsure;
    if (!compare.feed(node->content)) return kNo;
  }
  return compare.complete() ? kYes : kNo;
}

class Evaluator {
 public:
  Evaluator(const Path& path, std::vector<const xmlChar*> uris)
      : path_(path), uris_(std::move(uris)) {}

  // Adds the path's elements below `start` to `set`; false to fall back.
  bool run(xmlNodePtr start, xmlNodeSetPtr set) {
    struct Frame {
      xmlNodePtr next;
      uint64_t state;      // steps the parent of `next` satisfies
      uint64_t inherited;  // steps the parent or one of its ancestors satisfies
    };
    const uint64_t last = uint64_t{1} << path_.steps.size();
    std::vector<Frame> stack;
    stack.reserve(32);
    stack.push_back({start->children, 1, 1});
    while (!stack.empty()) {
      Frame& frame = stack.back();
      xmlNodePtr node = frame.next;
      if (node == nullptr) {
        stack.pop_back();
        continue;
      }
      frame.next = node->next;
      // The walk is bound by memory latency: start loading the next sibling
      // while this node is tested.
      if (node->next != nullptr) __builtin_prefetch(node->next);
      if (node->type != XML_ELEMENT_NODE) {
        if (!skippable(node)) return false;
        continue;
      }
      uint64_t candidates = ((frame.state << 1) & path_.child_steps) |
                            ((frame.inherited << 1) & path_.descendant_steps);
      uint64_t state = 0;
      for (uint64_t rest = candidates; rest != 0; rest &= rest - 1) {
        int k = __builtin_ctzll(rest);
        Answer a = matches(path_.steps[static_cast<size_t>(k - 1)], node);
        if (a == kUnsure) return false;
        if (a == kYes) state |= uint64_t{1} << k;
      }
      if ((state & last) != 0 && xmlXPathNodeSetAddUnique(set, node) < 0) return false;
      uint64_t inherited = frame.inherited | state;
      if ((((state << 1) & path_.child_steps) | ((inherited << 1) & path_.descendant_steps)) != 0 &&
          node->children != nullptr) {
        stack.push_back({node->children, state, inherited});  // `frame` is not used after this
      }
    }
    return true;
  }

 private:
  const Path& path_;
  std::vector<const xmlChar*> uris_;

  // Nodes a name test never selects and whose content holds no element a
  // child or descendant step reaches.
  static bool skippable(xmlNodePtr node) {
    switch (node->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
      case XML_COMMENT_NODE:
      case XML_PI_NODE:
      case XML_DTD_NODE: return true;
      default: return false;  // entity references, XInclude markers, anything odd
    }
  }

  bool element_named(const NameTest& test, xmlNodePtr node) const {
    if (!test.local.empty() && !same(node->name, test.local)) return false;
    if (test.prefix == kNoPrefix) return test.local.empty() || node->ns == nullptr;
    return node->ns != nullptr && same(node->ns->href, uris_[test.prefix]);
  }

  Answer matches(const Step& step, xmlNodePtr node) const {
    if (!element_named(step.test, node)) return kNo;
    for (const Cond& cond : step.predicates) {
      Answer a = holds(cond, node);
      if (a != kYes) return a;
    }
    return kYes;
  }

  Answer holds(const Cond& cond, xmlNodePtr node) const {
    switch (cond.kind) {
      case Cond::kAnd:
        for (const Cond& part : cond.parts) {
          Answer a = holds(part, node);
          if (a != kYes) return a;
        }
        return kYes;
      case Cond::kOr:
        for (const Cond& part : cond.parts) {
          Answer a = holds(part, node);
          if (a != kNo) return a;
        }
        return kNo;
      default: return any(cond, 0, node);
    }
  }

  // Whether some node the operand selects from `node` (its steps from
  // `index` on) satisfies the condition.
  Answer any(const Cond& cond, size_t index, xmlNodePtr node) const {
    const Operand& op = cond.operand;
    if (index == op.steps.size()) {
      if (op.attribute) return any_attribute(cond, node);
      if (cond.kind == Cond::kExists) return kYes;
      return compared(cond, element_value_equals(node, cond.literal));
    }
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
      if (child->type != XML_ELEMENT_NODE) {
        if (!skippable(child)) return kUnsure;
        continue;
      }
      if (!element_named(op.steps[index], child)) continue;
      Answer a = any(cond, index + 1, child);
      if (a != kNo) return a;
    }
    return kNo;
  }

  Answer any_attribute(const Cond& cond, xmlNodePtr node) const {
    const NameTest& test = cond.operand.attr;
    for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
      if (!same(attr->name, test.local)) continue;
      if (test.prefix == kNoPrefix) {
        // An unprefixed test takes attributes in no namespace; one whose
        // namespace has no prefix is left to libxml2.
        if (attr->ns != nullptr) {
          if (attr->ns->prefix == nullptr) return kUnsure;
          continue;
        }
      } else if (attr->ns == nullptr || !same(attr->ns->href, uris_[test.prefix])) {
        continue;
      }
      if (cond.kind == Cond::kExists) return kYes;
      Answer a = compared(cond, attribute_value_equals(attr, cond.literal));
      if (a != kNo) return a;
    }
    return kNo;
  }

  // `=` holds when the values are equal, `!=` when they differ.
  static Answer compared(const Cond& cond, Answer equal) {
    if (equal == kUnsure || cond.kind == Cond::kEqual) return equal;
    return equal == kYes ? kNo : kYes;
  }
};

// The URI of each prefix the path uses; false when one is not bound
// (libxml2 then reports the error).
bool resolve(const Path& path, const Bindings* bindings, std::vector<const xmlChar*>& uris) {
  uris.reserve(path.prefixes.size());
  for (const std::string& prefix : path.prefixes) {
    const xmlChar* uri = nullptr;
    if (prefix == "xml") {
      uri = XML_XML_NAMESPACE;
    } else if (bindings != nullptr) {
      for (const auto& [bound, href] : *bindings) {
        if (bound == prefix) uri = reinterpret_cast<const xmlChar*>(href.c_str());
      }
    }
    if (uri == nullptr) return false;
    uris.push_back(uri);
  }
  return true;
}

struct ObjectHolder {
  xmlXPathObjectPtr obj;
  ~ObjectHolder() {
    if (obj != nullptr) xmlXPathFreeObject(obj);
  }
  xmlXPathObjectPtr release() { return std::exchange(obj, nullptr); }
};

}  // namespace

PathPtr parse(const char* expression) noexcept {
  try {
    if (expression == nullptr || xmlCheckUTF8(reinterpret_cast<const xmlChar*>(expression)) == 0) {
      return nullptr;
    }
    PathPtr path(new Path());
    Parser parser(expression, *path);
    if (!parser.location_path()) return nullptr;
    return path;
  } catch (...) {
    return nullptr;  // no memory: libxml2 evaluates the expression
  }
}

xmlXPathObjectPtr evaluate(const Path& path, xmlDocPtr doc, xmlNodePtr context,
                           const Bindings* bindings) noexcept {
  try {
    if (doc == nullptr || doc->type != XML_DOCUMENT_NODE) return nullptr;
    xmlNodePtr start = reinterpret_cast<xmlNodePtr>(doc);
    if (context != nullptr && !path.absolute && context != start) {
      if (context->type != XML_ELEMENT_NODE) return nullptr;  // attributes, text, ...
      start = context;
    }
    std::vector<const xmlChar*> uris;
    if (!resolve(path, bindings, uris)) return nullptr;
    ObjectHolder result{xmlXPathNewNodeSet(nullptr)};
    if (result.obj == nullptr || result.obj->nodesetval == nullptr) return nullptr;
    Evaluator evaluator(path, std::move(uris));
    if (!evaluator.run(start, result.obj->nodesetval)) return nullptr;
    return result.release();
  } catch (...) {
    return nullptr;  // no memory: libxml2 evaluates the expression
  }
}

}  // namespace korvith::xpath_fast
