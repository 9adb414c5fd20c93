// Query text to prepared query: a recursive-descent parser for the FLWOR
// layer that cuts the text into embedded XPath 1.0 expressions, checks each
// one for constructs outside the supported language, and compiles it with
// libxml2.
//
// An XPath expression ends where XPath's own lexical rule says a name must
// be an operator: after a complete operand, the only names XPath allows are
// `and`, `or`, `div` and `mod`. Any other name there, at nesting depth 0,
// ends the expression and is a clause keyword of the enclosing FLWOR
// (`return`, `where`, `order`, ...). A `,` or an unmatched `)` at depth 0
// ends it too.
#include "xquery_ast.h"
#include "xquery_functions.h"

#include <libxml/xpathInternals.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace korvith::xq {
namespace {

constexpr std::array<std::string_view, 9> kConstructorWords = {
    "element",   "attribute", "document", "text", "comment", "processing-instruction",
    "namespace", "ordered",   "unordered"};

constexpr std::array<std::string_view, 4> kNodeTypes = {"node", "text", "comment",
                                                        "processing-instruction"};

// The functions a query may call: XPath 1.0's library (core) and the
// engine's extensions (xquery_functions.cpp). min/max: how many arguments
// it takes (max -1: any number); atomic (core functions only; extensions
// answer through is_atomic_extension): its result is never a node-set, so
// an expression that is one call of it is statically atomic; nodes_first: its first argument must
// be a node-set, an atomic value there fails at evaluation, so it is refused at preparation.
struct FunctionInfo {
  std::string_view name;
  int min;
  int max;
  bool core;
  bool atomic;
  bool nodes_first;
};

constexpr std::array<FunctionInfo, 35> kFunctions = {{
    {"last", 0, 0, true, true, false},
    {"position", 0, 0, true, true, false},
    {"count", 1, 1, true, true, true},
    {"id", 1, 1, true, false, false},
    {"local-name", 0, 1, true, true, true},
    {"namespace-uri", 0, 1, true, true, true},
    {"name", 0, 1, true, true, true},
    {"string", 0, 1, true, true, false},
    {"concat", 2, -1, true, true, false},
    {"starts-with", 2, 2, true, true, false},
    {"contains", 2, 2, true, true, false},
    {"substring-before", 2, 2, true, true, false},
    {"substring-after", 2, 2, true, true, false},
    {"substring", 2, 3, true, true, false},
    {"string-length", 0, 1, true, true, false},
    {"normalize-space", 0, 1, true, true, false},
    {"translate", 3, 3, true, true, false},
    {"boolean", 1, 1, true, true, false},
    {"not", 1, 1, true, true, false},
    {"true", 0, 0, true, true, false},
    {"false", 0, 0, true, true, false},
    {"lang", 1, 1, true, true, false},
    {"number", 0, 1, true, true, false},
    {"sum", 1, 1, true, true, true},
    {"floor", 1, 1, true, true, false},
    {"ceiling", 1, 1, true, true, false},
    {"round", 1, 1, true, true, false},
    {"ends-with", 2, 2, false, false, false},
    {"abs", 1, 1, false, false, false},
    {"exists", 1, 1, false, false, true},
    {"empty", 1, 1, false, false, true},
    {"min", 1, 1, false, false, true},
    {"max", 1, 1, false, false, true},
    {"avg", 1, 1, false, false, true},
    {"string-join", 1, 2, false, false, true},
}};

const FunctionInfo* find_function(std::string_view name) {
  for (const auto& f : kFunctions) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

void function_arity(std::string_view name, int& min, int& max) {
  const FunctionInfo* f = find_function(name);
  min = f != nullptr ? f->min : 0;
  max = f != nullptr ? f->max : -1;
}

// Whether argument `index` (0-based) of the function must be a node-set.
bool function_needs_nodes(std::string_view name, int index) {
  const FunctionInfo* f = find_function(name);
  return index == 0 && f != nullptr && f->nodes_first;
}

// Deepest nesting of FLWORs, parenthesised expressions and clause
// sources the parser accepts. The parser (and the evaluator after it)
// recurse once per level, so this bounds their stack use: a hostile query
// of a million '(' fails with a message instead of overflowing the stack.
constexpr int kMaxNesting = 200;

template <size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view word) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

bool is_name_start(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

bool is_name_char(unsigned char c) {
  return is_name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// End of the string literal whose opening quote is at `open`: the offset
// of its closing quote, or npos. A doubled quote stands for one quote
// character and does not close the literal.
size_t literal_end(std::string_view src, size_t open) {
  char quote = src[open];
  size_t p = open + 1;
  for (;;) {
    size_t close = src.find(quote, p);
    if (close == std::string_view::npos) return close;
    if (close + 1 < src.size() && src[close + 1] == quote) {
      p = close + 2;
      continue;
    }
    return close;
  }
}

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_xml_char(unsigned long cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// The value of a string literal's body (between its quotes): doubled
// quotes become one, the five predefined entity references and character
// references are expanded. On a malformed reference returns false with
// `bad` set to its offset in `body`.
bool decode_literal(std::string_view body, char quote, std::string& out, size_t& bad) {
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == quote) {  // the first of a doubled quote
      out += c;
      ++i;
      continue;
    }
    if (c != '&') {
      out += c;
      continue;
    }
    size_t semi = body.find(';', i + 1);
    if (semi == std::string_view::npos) {
      bad = i;
      return false;
    }
    std::string_view ref = body.substr(i + 1, semi - i - 1);
    if (ref == "lt") {
      out += '<';
    } else if (ref == "gt") {
      out += '>';
    } else if (ref == "amp") {
      out += '&';
    } else if (ref == "quot") {
      out += '"';
    } else if (ref == "apos") {
      out += '\'';
    } else if (ref.size() >= 2 && ref[0] == '#') {
      bool hex = ref[1] == 'x';
      std::string_view digits = ref.substr(hex ? 2 : 1);
      unsigned long cp = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char d : digits) {
        if (!ok) break;
        int v = -1;
        if (d >= '0' && d <= '9') v = d - '0';
        if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
        if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
        ok = v >= 0;
        cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(v < 0 ? 0 : v);
      }
      if (!ok || !is_xml_char(cp)) {
        bad = i;
        return false;
      }
      append_utf8(out, cp);
    } else {
      bad = i;
      return false;
    }
    i = semi;
  }
  return true;
}

// An XPath 1.0 expression whose value is the string `value`. XPath 1.0
// literals cannot escape their quote, so a value holding both quote
// characters becomes a concat() of pieces.
std::string xpath_literal(const std::string& value, char quote) {
  if (value.find(quote) == std::string::npos) return quote + value + quote;
  char other = quote == '"' ? '\'' : '"';
  if (value.find(other) == std::string::npos) return other + value + other;
  std::string out = "concat(";
  size_t start = 0;
  bool first = true;
  while (start <= value.size()) {
    size_t q = value.find('\'', start);
    std::string piece = value.substr(start, q == std::string::npos ? std::string::npos : q - start);
    if (!first) out += ", ";
    out += "'" + piece + "'";
    first = false;
    if (q == std::string::npos) break;
    out += ", \"'\"";
    start = q + 1;
  }
  return out + ")";
}

// ---- shapes of XPath text (after literals were normalised) --------------

// Offset of the bracket closing the one at `open`, or npos; quotes are
// skipped.
size_t matching_bracket(std::string_view t, size_t open) {
  int depth = 0;
  for (size_t i = open; i < t.size(); ++i) {
    char c = t[i];
    if (c == '\'' || c == '"') {
      size_t close = t.find(c, i + 1);
      if (close == std::string_view::npos) return close;
      i = close;
    } else if (c == '[' || c == '(') {
      ++depth;
    } else if (c == ']' || c == ')') {
      if (--depth == 0) return i;
    }
  }
  return std::string_view::npos;
}

std::string_view trim(std::string_view t) {
  while (!t.empty() &&
         (t.front() == ' ' || t.front() == '\t' || t.front() == '\n' || t.front() == '\r'))
    t.remove_prefix(1);
  while (!t.empty() &&
         (t.back() == ' ' || t.back() == '\t' || t.back() == '\n' || t.back() == '\r'))
    t.remove_suffix(1);
  return t;
}

bool mentions_variable(std::string_view t) {
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '\'' || c == '"') {
      size_t close = t.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close;
    } else if (c == '$') {
      return true;
    }
  }
  return false;
}

size_t name_end(std::string_view t, size_t p) {
  while (p < t.size() && is_name_char(static_cast<unsigned char>(t[p]))) ++p;
  return p;
}

// One step of a plain path: `@?(name|prefix:name|*|prefix:*)`, `.`, `..`,
// `text()` or `node()`. Returns the offset after it, or npos.
size_t simple_step_end(std::string_view t, size_t p) {
  if (t.substr(p, 2) == "..") return p + 2;
  if (t.substr(p, 1) == ".") return p + 1;
  if (t.substr(p, 6) == "text()") return p + 6;
  if (t.substr(p, 6) == "node()") return p + 6;
  if (p < t.size() && t[p] == '@') ++p;
  if (p < t.size() && t[p] == '*') return p + 1;
  if (p >= t.size() || !is_name_start(static_cast<unsigned char>(t[p])))
    return std::string_view::npos;
  p = name_end(t, p);
  if (p + 1 < t.size() && t[p] == ':') {
    if (t[p + 1] == '*') return p + 2;
    if (!is_name_start(static_cast<unsigned char>(t[p + 1]))) return std::string_view::npos;
    p = name_end(t, p + 1);
  }
  if (p < t.size() && t[p] == '(') return std::string_view::npos;  // a function call
  return p;
}

// `$v`, `$v/step/...` (probe) or `step/step/...` (key): a path whose value
// depends only on the variable, or only on the context node.
bool is_simple_path(std::string_view t, bool from_variable) {
  t = trim(t);
  size_t p = 0;
  if (from_variable) {
    if (t.empty() || t[0] != '$') return false;
    p = name_end(t, 1);
    if (p == 1) return false;
    if (p == t.size()) return true;
    if (t[p] != '/') return false;
    ++p;
  }
  for (;;) {
    size_t end = simple_step_end(t, p);
    if (end == std::string_view::npos) return false;
    if (end == t.size()) return true;
    if (t[end] != '/') return false;
    p = end + 1;
    if (p < t.size() && t[p] == '/') ++p;
  }
}

// One operand with no operator outside brackets: a location path (with
// predicates), possibly parenthesised. Names, `/`, `@`, `:`, `*` as a name
// test and brackets only.
bool is_single_operand(std::string_view t) {
  t = trim(t);
  if (t.empty()) return false;
  char prev = '/';
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '[' || c == '(') {
      size_t close = matching_bracket(t, i);
      if (close == std::string_view::npos) return false;
      i = close;
      prev = ']';
      continue;
    }
    if (c == '*') {
      if (prev != '/' && prev != '@' && prev != ':') return false;
    } else if (!(is_name_char(u) || c == '/' || c == '@' || c == ':')) {
      return false;
    }
    prev = c;
  }
  return true;
}

// The offset of the only `=` (not `!=`, `<=`, `>=`) outside brackets and
// quotes, or npos when there is none or more than one.
size_t single_equals(std::string_view t) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '\'' || c == '"') {
      size_t close = t.find(c, i + 1);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close;
    } else if (c == '[' || c == '(') {
      size_t close = matching_bracket(t, i);
      if (close == std::string_view::npos) return std::string_view::npos;
      i = close;
    } else if (c == '=' && (i == 0 || (t[i - 1] != '!' && t[i - 1] != '<' && t[i - 1] != '>'))) {
      if (found != std::string_view::npos) return std::string_view::npos;
      found = i;
    }
  }
  return found;
}

// Thrown nowhere: parse failures travel as a flag plus message, so that the
// C entry point never lets an exception out.
struct Failure {
  std::string message;
  size_t offset = 0;
};

struct ScanResult {
  size_t end = 0;
  bool atomic = false;  // statically known to give a boolean, number or string
};

class Parser {
 public:
  explicit Parser(std::string_view src) : src_(src) {}

  std::unique_ptr<Query> run() {
    auto query = std::make_unique<Query>();
    query_ = query.get();
    skip_ws();
    if (!failed_) parse_prolog();
    if (!failed_) query->body = parse_expr(false);
    if (!failed_) {
      skip_ws();
      if (!failed_ && pos_ < src_.size()) unexpected_here();
    }
    if (failed_) return nullptr;
    return query;
  }

  const Failure& failure() const { return failure_; }

 private:
  std::string_view src_;
  size_t pos_ = 0;
  bool failed_ = false;
  Failure failure_;
  Query* query_ = nullptr;
  std::vector<std::string> scope_;
  int nesting_ = 0;
  int hoisted_count_ = 0;

  // Counts one level of recursion for its lifetime; false (and the parse
  // failed) when the query nests deeper than kMaxNesting.
  class Nest {
   public:
    explicit Nest(Parser& p) : p_(p) {
      if (++p_.nesting_ > kMaxNesting) {
        p_.fail(
            "the query is nested too deeply (more than " + std::to_string(kMaxNesting) + " levels)",
            p_.pos_);
      }
    }
    ~Nest() { --p_.nesting_; }
    Nest(const Nest&) = delete;
    Nest& operator=(const Nest&) = delete;
    bool ok() const { return p_.nesting_ <= kMaxNesting; }

   private:
    Parser& p_;
  };

  // ---- failures ---------------------------------------------------------

  void fail(std::string message, size_t offset) {
    if (failed_) return;
    failed_ = true;
    failure_.message = std::move(message);
    failure_.offset = offset;
  }

  std::string token_at(size_t offset) const {
    if (offset >= src_.size()) return "end of query";
    size_t end = offset;
    if (is_name_start(static_cast<unsigned char>(src_[end]))) {
      while (end < src_.size() && is_name_char(static_cast<unsigned char>(src_[end]))) ++end;
    } else {
      ++end;
    }
    return "'" + std::string(src_.substr(offset, end - offset)) + "'";
  }

  void unexpected_here() {
    std::string_view word = peek_word();
    if (word == "group") return fail("'group by' clauses are not supported", pos_);
    if (word == "count" || word == "window" || word == "allowing")
      return fail("'" + std::string(word) + "' clauses are not supported", pos_);
    if (word == "then" || word == "else")
      return fail("if/then/else expressions are not supported", pos_);
    if (word == "satisfies")
      return fail("quantified expressions (some/every) are not supported", pos_);
    if (!word.empty()) {
      if (std::string message = keyword_message(word); !message.empty()) return fail(message, pos_);
    }
    fail("unexpected " + token_at(pos_), pos_);
  }

  // Message for a name that XPath 1.0 does not allow in operator position.
  static std::string keyword_message(std::string_view word) {
    if (word == "eq" || word == "ne" || word == "lt" || word == "le" || word == "gt" ||
        word == "ge")
      return "value comparison '" + std::string(word) +
             "' is not supported; use =, !=, <, <=, > or >=";
    if (word == "to") return "range expressions ('to') are not supported";
    if (word == "is") return "node identity comparison ('is') is not supported";
    if (word == "idiv") return "'idiv' is not supported; use floor(a div b)";
    if (word == "union") return "'union' is not supported; use '|'";
    if (word == "intersect" || word == "except")
      return "'" + std::string(word) + "' is not supported";
    if (word == "instance" || word == "treat" || word == "cast" || word == "castable")
      return "type expressions ('" + std::string(word) + "') are not supported";
    if (word == "then" || word == "else") return "if/then/else expressions are not supported";
    return {};
  }

  // ---- lexing -----------------------------------------------------------

  void skip_ws() {
    while (pos_ < src_.size()) {
      char c = src_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (c == '(' && pos_ + 1 < src_.size() && src_[pos_ + 1] == ':') {
        skip_comment();
        if (failed_) return;
      } else {
        return;
      }
    }
  }

  // `(: ... :)`, nesting allowed.
  void skip_comment() {
    size_t start = pos_;
    int depth = 0;
    while (pos_ + 1 < src_.size()) {
      if (src_[pos_] == '(' && src_[pos_ + 1] == ':') {
        ++depth;
        pos_ += 2;
      } else if (src_[pos_] == ':' && src_[pos_ + 1] == ')') {
        pos_ += 2;
        if (--depth == 0) return;
      } else {
        ++pos_;
      }
    }
    fail("unterminated comment", start);
  }

  std::string_view peek_word() const {
    size_t end = pos_;
    if (end >= src_.size() || !is_name_start(static_cast<unsigned char>(src_[end]))) return {};
    while (end < src_.size() && is_name_char(static_cast<unsigned char>(src_[end]))) ++end;
    return src_.substr(pos_, end - pos_);
  }

  // Offset of the first non-blank character at or after `from` (comments
  // count as blank).
  size_t next_significant(size_t from) {
    size_t saved = pos_;
    pos_ = from;
    bool was_failed = failed_;
    skip_ws();
    size_t result = pos_;
    if (!was_failed && failed_) {  // an unterminated comment is reported later
      failed_ = false;
      result = src_.size();
    }
    pos_ = saved;
    return result;
  }

  bool at_word(std::string_view word) { return peek_word() == word; }

  bool accept_word(std::string_view word) {
    if (!at_word(word)) return false;
    pos_ += word.size();
    skip_ws();
    return true;
  }

  void expect_word(std::string_view word, std::string_view where) {
    if (accept_word(word)) return;
    fail("expected '" + std::string(word) + "' " + std::string(where) + ", found " + token_at(pos_),
         pos_);
  }

  bool accept_char(char c) {
    if (pos_ < src_.size() && src_[pos_] == c) {
      ++pos_;
      skip_ws();
      return true;
    }
    return false;
  }

  // A keyword that starts a clause (`for`, `let`) counts only when a `$`
  // variable follows it: `for` alone is an element name in XPath.
  bool at_clause_start(std::string_view word) {
    if (!at_word(word)) return false;
    size_t next = next_significant(pos_ + word.size());
    return next < src_.size() && src_[next] == '$';
  }

  bool at_flwor_start() { return at_clause_start("for") || at_clause_start("let"); }

  std::string read_string_literal(std::string_view what) {
    if (pos_ >= src_.size() || (src_[pos_] != '"' && src_[pos_] != '\'')) {
      fail("expected a string literal for " + std::string(what), pos_);
      return {};
    }
    char quote = src_[pos_];
    size_t start = pos_;
    size_t close = literal_end(src_, pos_);
    if (close == std::string_view::npos) {
      fail("unterminated string literal", start);
      return {};
    }
    std::string value;
    size_t bad = 0;
    if (!decode_literal(src_.substr(pos_ + 1, close - pos_ - 1), quote, value, bad)) {
      fail("invalid entity or character reference in a string literal", start + 1 + bad);
      return {};
    }
    pos_ = close + 1;
    skip_ws();
    return value;
  }

  // `$name` where a variable is declared.
  std::string read_var_decl() {
    if (pos_ >= src_.size() || src_[pos_] != '$') {
      fail("expected a variable ($name), found " + token_at(pos_), pos_);
      return {};
    }
    ++pos_;
    std::string_view name = peek_word();
    if (name.empty()) {
      fail("expected a variable name after '$'", pos_);
      return {};
    }
    if (name.substr(0, 2) == "_.") {
      fail("variable names that start with '_.' are reserved", pos_);
      return {};
    }
    pos_ += name.size();
    // `$x:=` is the name followed by the binding operator, not a prefix.
    if (pos_ + 1 < src_.size() && src_[pos_] == ':' &&
        is_name_start(static_cast<unsigned char>(src_[pos_ + 1]))) {
      fail("prefixed variable names are not supported", pos_);
      return {};
    }
    skip_ws();
    return std::string(name);
  }

  // ---- prolog -----------------------------------------------------------

  void parse_prolog() {
    for (;;) {
      if (at_word("xquery") && next_is_word(pos_ + 6, "version")) {
        size_t start = pos_;
        accept_word("xquery");
        accept_word("version");
        std::string version = read_string_literal("the version");
        if (failed_) return;
        if (version != "1.0" && version != "3.0" && version != "3.1") {
          return fail("unsupported XQuery version \"" + version + "\"", start);
        }
        if (accept_word("encoding")) read_string_literal("the encoding");
        if (failed_) return;
        if (!accept_char(';')) return fail("expected ';' after the version declaration", pos_);
        continue;
      }
      if (at_word("declare") && next_is_name(pos_ + 7)) {
        size_t start = pos_;
        accept_word("declare");
        if (!accept_word("namespace")) {
          std::string what(peek_word());
          return fail("'declare " + what +
                          "' is not supported; the only declaration is 'declare namespace'",
                      start);
        }
        std::string_view prefix = peek_word();
        if (prefix.empty()) return fail("expected a namespace prefix", pos_);
        std::string name(prefix);
        pos_ += prefix.size();
        skip_ws();
        if (failed_) return;
        if (!accept_char('=')) return fail("expected '=' in the namespace declaration", pos_);
        std::string uri = read_string_literal("the namespace URI");
        if (failed_) return;
        if (name == "xml" || name == "xmlns") {
          return fail("the prefix '" + name + "' is reserved and cannot be declared", start);
        }
        if (uri.empty()) return fail("a namespace prefix cannot be bound to the empty URI", start);
        if (!accept_char(';')) return fail("expected ';' after the namespace declaration", pos_);
        for (const auto& ns : query_->namespaces) {
          if (ns.first == name)
            return fail("namespace prefix '" + name + "' declared twice", start);
        }
        query_->namespaces.emplace_back(name, uri);
        continue;
      }
      if (at_word("import") &&
          (next_is_word(pos_ + 6, "module") || next_is_word(pos_ + 6, "schema"))) {
        return fail("module and schema imports are not supported", pos_);
      }
      if (at_word("module") && next_is_word(pos_ + 6, "namespace")) {
        return fail("library modules are not supported", pos_);
      }
      return;
    }
  }

  bool next_is_word(size_t from, std::string_view word) {
    size_t next = next_significant(from);
    if (next == from) return false;  // the keyword must be followed by a blank
    size_t end = next;
    while (end < src_.size() && is_name_char(static_cast<unsigned char>(src_[end]))) ++end;
    return src_.substr(next, end - next) == word;
  }

  bool next_is_name(size_t from) {
    size_t next = next_significant(from);
    return next != from && next < src_.size() &&
           is_name_start(static_cast<unsigned char>(src_[next]));
  }

  // ---- expressions ------------------------------------------------------

  // Expr := ExprSingle (',' ExprSingle)*. In a let binding (and the return
  // clauses and parentheses inside it: `result_position`) a sequence of
  // several statically atomic items can never be bound and is refused here.
  ExprPtr parse_expr(bool result_position) {
    size_t start = pos_;
    bool atomic = false;
    ExprPtr first = parse_single(atomic, result_position);
    if (failed_) return nullptr;
    skip_ws();
    if (pos_ >= src_.size() || src_[pos_] != ',') return first;
    auto seq = std::make_unique<Expr>();
    seq->kind = ExprKind::Sequence;
    int atomic_count = atomic ? 1 : 0;
    seq->items.push_back(std::move(first));
    while (!failed_ && accept_char(',')) {
      bool item_atomic = false;
      ExprPtr item = parse_single(item_atomic, result_position);
      if (failed_) return nullptr;
      atomic_count += item_atomic ? 1 : 0;
      seq->items.push_back(std::move(item));
      skip_ws();
    }
    if (result_position && atomic_count > 1) {
      fail(
          "a sequence of several atomic values cannot be bound with let; a variable holds "
          "nodes or a single boolean, number or string",
          start);
      return nullptr;
    }
    return seq;
  }

  // ExprSingle := FLWOR | '(' Expr? ')' | XPath. `atomic` is set when the
  // expression is statically known to give one boolean, number or string.
  // `result_position`: the value becomes (part of) a let value.
  ExprPtr parse_single(bool& atomic, bool result_position) {
    atomic = false;
    Nest nest(*this);
    if (!nest.ok()) return nullptr;
    skip_ws();
    if (failed_) return nullptr;
    if (at_flwor_start()) return parse_flwor(result_position);
    if (pos_ < src_.size() && src_[pos_] == '(' && is_xquery_parens())
      return parse_parens(result_position);
    return parse_path(atomic);
  }

  // A parenthesised expression that XPath cannot parse on its own: empty,
  // a FLWOR, or a comma sequence.
  bool is_xquery_parens() {
    Nest nest(*this);
    if (!nest.ok()) return false;
    size_t inner = next_significant(pos_ + 1);
    if (inner >= src_.size()) return false;
    if (src_[inner] == ')') return true;
    size_t saved = pos_;
    pos_ = inner;
    bool flwor = at_flwor_start();
    bool nested = !flwor && src_[inner] == '(' && is_xquery_parens();
    pos_ = saved;
    if (flwor || nested) return true;
    // Does the content end at a depth-0 comma? Scan it as XPath without
    // compiling; any error is reported again by the real parse.
    bool was_failed = failed_;
    Failure saved_failure = failure_;
    pos_ = inner;
    ScanResult scan = scan_xpath();
    bool comma = !failed_ && scan.end < src_.size() && src_[scan.end] == ',';
    failed_ = was_failed;
    failure_ = saved_failure;
    pos_ = saved;
    return comma;
  }

  ExprPtr parse_parens(bool result_position) {
    size_t open = pos_;
    accept_char('(');
    ExprPtr result;
    if (pos_ < src_.size() && src_[pos_] == ')') {
      result = std::make_unique<Expr>();
      result->kind = ExprKind::Sequence;
    } else {
      result = parse_expr(result_position);
      if (failed_) return nullptr;
    }
    skip_ws();
    if (pos_ >= src_.size() || src_[pos_] != ')') {
      fail("expected ')' to close the '(' at column " + std::to_string(column_of(open)), pos_);
      return nullptr;
    }
    ++pos_;
    size_t after = next_significant(pos_);
    if (after < src_.size()) {
      char c = src_[after];
      if (c != ',' && c != ')' && !is_name_start(static_cast<unsigned char>(c))) {
        fail("a parenthesised FLWOR or sequence cannot be followed by '" + std::string(1, c) +
                 "': filters, paths and operators apply to XPath expressions only",
             after);
        return nullptr;
      }
    }
    skip_ws();
    return result;
  }

  ExprPtr parse_path(bool& atomic) {
    size_t start = pos_;
    ScanResult scan = scan_xpath();
    if (failed_) return nullptr;
    if (scan.end == start) {
      if (start >= src_.size()) {
        fail("expected an expression, found the end of the query", start);
      } else {
        unexpected_here();
      }
      return nullptr;
    }
    size_t end = scan.end;
    while (end > start && (src_[end - 1] == ' ' || src_[end - 1] == '\t' || src_[end - 1] == '\n' ||
                           src_[end - 1] == '\r'))
      --end;
    auto expr = std::make_unique<Expr>();
    expr->kind = ExprKind::Path;
    expr->text = to_xpath(src_.substr(start, end - start), start);
    if (failed_) return nullptr;
    expr->comp = compile(expr->text, start);
    if (failed_) return nullptr;
    expr->invariant = !mentions_variable(expr->text);
    if (!expr->invariant) {
      read_as_variable(*expr);
      if (expr->kind == ExprKind::Path) {
        expr->join = join_of(expr->text);
        hoist_parts(*expr);
      }
    }
    atomic = scan.atomic;
    pos_ = scan.end;
    skip_ws();
    return expr;
  }

  // The XPath 1.0 text of an expression: comments are blanked out (XPath
  // has none) and string literals are rewritten to XPath literals of the
  // same value (XPath has no references and no doubled quotes). `offset` is
  // where `text` starts in the query, for error positions.
  std::string to_xpath(std::string_view text, size_t offset) {
    std::string out;
    out.reserve(text.size());
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (depth == 0 && (c == '"' || c == '\'')) {
        size_t close = literal_end(text, i);
        if (close == std::string_view::npos) close = text.size();  // scan_xpath reported it
        std::string value;
        size_t bad = 0;
        if (!decode_literal(text.substr(i + 1, close - i - 1), c, value, bad)) {
          fail("invalid entity or character reference in a string literal", offset + i + 1 + bad);
          return {};
        }
        out += xpath_literal(value, c);
        i = close;
      } else if (c == '(' && i + 1 < text.size() && text[i + 1] == ':') {
        ++depth;
        ++i;
      } else if (depth > 0 && c == ':' && i + 1 < text.size() && text[i + 1] == ')') {
        if (--depth == 0) out += ' ';
        ++i;
      } else if (depth == 0) {
        out += c;
      }
    }
    return out;
  }

  // `$v` or `$v[p]...` becomes a Var expression, read in sequence order.
  void read_as_variable(Expr& expr) {
    std::string_view t = trim(expr.text);
    if (t.empty() || t[0] != '$') return;
    size_t p = name_end(t, 1);
    std::string name(t.substr(1, p - 1));
    std::vector<Compiled> preds;
    while (p < t.size()) {
      if (t[p] == ' ' || t[p] == '\t' || t[p] == '\n' || t[p] == '\r') {
        ++p;
        continue;
      }
      if (t[p] != '[') return;
      size_t close = matching_bracket(t, p);
      if (close == std::string_view::npos) return;
      Compiled pred;
      pred.text = std::string(t.substr(p + 1, close - p - 1));
      pred.comp = compile_xpath(pred.text, query_->namespaces).comp;
      if (!pred.comp) return;
      preds.push_back(std::move(pred));
      p = close + 1;
    }
    expr.kind = ExprKind::Var;
    expr.var = std::move(name);
    expr.preds = std::move(preds);
  }

  // Replaces the subexpressions of a Path that are evaluated better on
  // their own (absolute paths no variable changes, joins on an absolute
  // source) with variables, and compiles the result as `fast`.
  void hoist_parts(Expr& expr) {
    std::vector<Hoisted> hoisted;
    std::string text;
    std::string_view t = expr.text;
    size_t eq = single_equals(t);
    if (eq != std::string_view::npos) {
      text =
          rewrite(t.substr(0, eq), true, hoisted) + "=" + rewrite(t.substr(eq + 1), true, hoisted);
    } else {
      text = rewrite(t, false, hoisted);
    }
    if (hoisted.empty()) return;
    CompPtr fast = compile_xpath(text, query_->namespaces).comp;
    if (!fast) return;
    expr.fast = std::move(fast);
    expr.hoisted = std::move(hoisted);
  }

  // `t` with hoistable subexpressions replaced; `whole`: `t` is itself an
  // argument, a bracket's content or a comparison operand, so it may be
  // replaced as a whole.
  std::string rewrite(std::string_view t, bool whole, std::vector<Hoisted>& hoisted) {
    if (whole) {
      std::string_view body = trim(t);
      bool absolute = !body.empty() && body[0] == '/';
      std::unique_ptr<Join> join;
      bool invariant = absolute && !mentions_variable(body) && is_single_operand(body);
      if (!invariant && absolute) join = join_of(body);
      if (invariant || join) {
        Hoisted h;
        h.name = "_." + std::to_string(++hoisted_count_);
        if (compile_part(h.part, body)) {
          h.join = std::move(join);
          std::string name = "$" + h.name;
          hoisted.push_back(std::move(h));
          return " " + name + " ";
        }
      }
    }
    std::string out;
    for (size_t i = 0; i < t.size(); ++i) {
      char c = t[i];
      if (c == '\'' || c == '"') {
        size_t close = t.find(c, i + 1);
        if (close == std::string_view::npos) close = t.size() - 1;
        out += t.substr(i, close - i + 1);
        i = close;
      } else if (c == '(' || c == '[') {
        size_t close = matching_bracket(t, i);
        if (close == std::string_view::npos) {
          out += t.substr(i);
          break;
        }
        out += c;
        std::string_view inner = t.substr(i + 1, close - i - 1);
        // Split a call's arguments at the commas outside brackets.
        size_t start = 0;
        for (size_t k = 0; k <= inner.size(); ++k) {
          bool end = k == inner.size();
          if (!end) {
            char d = inner[k];
            if (d == '\'' || d == '"') {
              size_t q = inner.find(d, k + 1);
              k = q == std::string_view::npos ? inner.size() - 1 : q;
              continue;
            }
            if (d == '(' || d == '[') {
              size_t m = matching_bracket(inner, k);
              k = m == std::string_view::npos ? inner.size() - 1 : m;
              continue;
            }
            if (d != ',') continue;
          }
          std::string_view piece = inner.substr(start, k - start);
          size_t eq = single_equals(piece);
          if (eq != std::string_view::npos) {
            out += rewrite(piece.substr(0, eq), true, hoisted) + "=" +
                   rewrite(piece.substr(eq + 1), true, hoisted);
          } else {
            out += rewrite(piece, true, hoisted);
          }
          if (!end) out += ',';
          start = k + 1;
        }
        out += t[close];
        i = close;
      } else {
        out += c;
      }
    }
    return out;
  }

  bool compile_part(Compiled& part, std::string_view text) {
    part.text = std::string(trim(text));
    part.comp = compile_xpath(part.text, query_->namespaces).comp;
    return part.comp != nullptr;
  }

  // An equality between a variable's path and an expression no variable
  // changes: `source[key = $v/...]` or `$v/... = source` (either order).
  std::unique_ptr<Join> join_of(std::string_view text) {
    std::string_view t = trim(text);
    auto join = std::make_unique<Join>();
    if (!t.empty() && t.back() == ']') {
      // Find the '[' of the final predicate.
      size_t open = std::string_view::npos;
      for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (c == '\'' || c == '"') {
          i = t.find(c, i + 1);
          if (i == std::string_view::npos) return nullptr;
        } else if (c == '[' || c == '(') {
          size_t close = matching_bracket(t, i);
          if (close == std::string_view::npos) return nullptr;
          if (close + 1 == t.size() && c == '[') open = i;
          i = close;
        }
      }
      if (open == std::string_view::npos || open == 0) return nullptr;
      std::string_view source = t.substr(0, open);
      std::string_view pred = t.substr(open + 1, t.size() - open - 2);
      size_t eq = single_equals(pred);
      if (eq == std::string_view::npos || mentions_variable(source) || !is_single_operand(source))
        return nullptr;
      std::string_view left = pred.substr(0, eq);
      std::string_view right = pred.substr(eq + 1);
      if (is_simple_path(right, false) && !mentions_variable(right)) std::swap(left, right);
      if (!is_simple_path(left, false) || mentions_variable(left) || !is_simple_path(right, true))
        return nullptr;
      join->kind = Join::Filter;
      if (!compile_part(join->source, source) || !compile_part(join->key, left) ||
          !compile_part(join->probe, right))
        return nullptr;
      return join;
    }
    size_t eq = single_equals(t);
    if (eq == std::string_view::npos) return nullptr;
    std::string_view left = t.substr(0, eq);
    std::string_view right = t.substr(eq + 1);
    if (!mentions_variable(left)) std::swap(left, right);
    if (!is_simple_path(left, true) || mentions_variable(right) || !is_single_operand(right))
      return nullptr;
    join->kind = Join::Compare;
    if (!compile_part(join->source, right) || !compile_part(join->probe, left)) return nullptr;
    return join;
  }

  CompPtr compile(const std::string& text, size_t offset) {
    CompileResult compiled = compile_xpath(text, query_->namespaces);
    if (!compiled.comp) {
      fail("invalid XPath expression '" + text + "': " + compiled.error, offset);
    }
    return std::move(compiled.comp);
  }

  size_t column_of(size_t offset) const {
    size_t line_start = src_.rfind('\n', offset == 0 ? 0 : offset - 1);
    if (line_start == std::string_view::npos || offset == 0) return offset + 1;
    return offset - line_start;
  }

  // Walks one XPath expression from pos_ without moving pos_; returns where
  // it ends. Checks variables against the scope and function names against
  // the supported set, and rejects XQuery-only syntax with a clear message.
  // One open bracket of the expression being scanned (the outermost frame
  // is the expression itself): what its current operand is known to give,
  // and for a function call, the arguments seen so far.
  struct Frame {
    char bracket = 0;  // '(' or '['; 0 for the expression itself
    std::string fn;    // the function a '(' calls; empty otherwise
    size_t fn_offset = 0;
    int args = 0;               // complete arguments before the current one
    int tokens = 0;             // operands of the current argument
    bool first_atomic = false;  // its first operand is a literal, number or atomic call
    bool atomic_op = false;     // an operator makes the current argument atomic
    size_t arg_offset = 0;
    bool atomic() const { return atomic_op || (first_atomic && tokens == 1); }
  };

  // Checks the argument that just ended against what the function accepts.
  bool check_argument(const Frame& f) {
    if (f.fn.empty() || f.tokens == 0 || !f.atomic()) return true;
    if (!function_needs_nodes(f.fn, f.args)) return true;
    fail("function '" + f.fn + "()' needs nodes as argument " + std::to_string(f.args + 1) +
             ", not an atomic value",
         f.arg_offset);
    return false;
  }

  bool check_arity(const Frame& f) {
    int count = f.args + (f.tokens > 0 ? 1 : 0);
    int min = 0;
    int max = 0;
    function_arity(f.fn, min, max);
    if (count >= min && (max < 0 || count <= max)) return true;
    std::string expected = min == max ? std::to_string(min)
                           : max < 0  ? "at least " + std::to_string(min)
                                      : std::to_string(min) + " to " + std::to_string(max);
    fail("function '" + f.fn + "()' takes " + expected + " argument" +
             (min == 1 && max == 1 ? "" : "s") + ", not " + std::to_string(count),
         f.fn_offset);
    return false;
  }

  // Walks one XPath expression from pos_ without moving pos_; returns where
  // it ends. Checks variables against the scope, function names against the
  // supported set and their argument counts, and rejects XQuery-only syntax
  // with a clear message.
  ScanResult scan_xpath() {
    ScanResult result;
    size_t p = pos_;
    bool operand = true;  // the next token must start an operand
    std::vector<Frame> frames(1);
    frames[0].arg_offset = p;
    auto depth0 = [&] { return frames.size() == 1; };
    auto operand_token = [&](bool atomic_first) {
      Frame& f = frames.back();
      if (f.tokens++ == 0) f.first_atomic = atomic_first;
    };
    auto open = [&](char bracket, std::string fn, size_t fn_offset, size_t after) {
      Frame f;
      f.bracket = bracket;
      f.fn = std::move(fn);
      f.fn_offset = fn_offset;
      f.arg_offset = next_significant(after);
      frames.push_back(std::move(f));
    };
    while (p < src_.size() && !failed_) {
      char c = src_[p];
      unsigned char u = static_cast<unsigned char>(c);
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++p;
        continue;
      }
      if (c == '(' && p + 1 < src_.size() && src_[p + 1] == ':') {
        size_t saved = pos_;
        pos_ = p;
        skip_comment();
        p = pos_;
        pos_ = saved;
        continue;
      }
      if (c == '"' || c == '\'') {
        size_t close = literal_end(src_, p);
        if (close == std::string_view::npos) {
          fail("unterminated string literal", p);
          break;
        }
        operand_token(true);
        p = close + 1;
        operand = false;
      } else if (is_digit(c) || (c == '.' && p + 1 < src_.size() && is_digit(src_[p + 1]))) {
        while (p < src_.size() && (is_digit(src_[p]) || src_[p] == '.')) ++p;
        size_t exp = p + 1;
        if (exp < src_.size() && (src_[exp] == '-' || src_[exp] == '+')) ++exp;
        if (p < src_.size() && (src_[p] == 'e' || src_[p] == 'E') && exp < src_.size() &&
            is_digit(src_[exp])) {
          fail("exponent notation in numbers is not supported", p);
          break;
        }
        operand_token(true);
        operand = false;
      } else if (c == '.') {
        p += (p + 1 < src_.size() && src_[p + 1] == '.') ? 2 : 1;
        operand_token(false);
        operand = false;
      } else if (c == '$') {
        size_t start = p;
        ++p;
        size_t name_end = p;
        while (name_end < src_.size() && is_name_char(static_cast<unsigned char>(src_[name_end])))
          ++name_end;
        if (name_end == p || !is_name_start(static_cast<unsigned char>(src_[p]))) {
          fail("expected a variable name after '$'", start);
          break;
        }
        std::string name(src_.substr(p, name_end - p));
        if (name_end < src_.size() && src_[name_end] == ':' && name_end + 1 < src_.size() &&
            is_name_start(static_cast<unsigned char>(src_[name_end + 1]))) {
          fail("prefixed variable names are not supported", start);
          break;
        }
        if (std::find(scope_.begin(), scope_.end(), name) == scope_.end()) {
          fail("undefined variable $" + name, start);
          break;
        }
        p = name_end;
        operand_token(false);
        operand = false;
      } else if (c == '@') {
        ++p;
        operand = true;
      } else if (c == '(') {
        operand_token(false);
        open('(', {}, p, p + 1);
        ++p;
        operand = true;
      } else if (c == ')') {
        if (depth0()) break;
        if (frames.back().bracket != '(') {
          fail("')' does not match the open '['", p);
          break;
        }
        const Frame& f = frames.back();
        if (!f.fn.empty() && (!check_argument(f) || !check_arity(f))) break;
        bool group_atomic = f.fn.empty() && f.atomic();
        frames.pop_back();
        // A parenthesised expression was counted as one operand of the
        // enclosing frame when it opened; a call, when its name was read.
        Frame& outer = frames.back();
        if (group_atomic && outer.tokens == 1) outer.first_atomic = true;
        ++p;
        operand = false;
      } else if (c == '[') {
        open('[', {}, p, p + 1);
        ++p;
        operand = true;
      } else if (c == ']') {
        if (depth0() || frames.back().bracket != '[') {
          fail("unmatched ']'", p);
          break;
        }
        frames.pop_back();
        ++p;
        operand = false;
      } else if (c == ',') {
        if (depth0()) break;
        Frame& f = frames.back();
        if (f.bracket != '(') {
          fail("',' inside a predicate is not supported", p);
          break;
        }
        if (!check_argument(f)) break;
        ++f.args;
        f.tokens = 0;
        f.first_atomic = false;
        f.atomic_op = false;
        f.arg_offset = next_significant(p + 1);
        ++p;
        operand = true;
      } else if (c == '/') {
        p += (p + 1 < src_.size() && src_[p + 1] == '/') ? 2 : 1;
        Frame& f = frames.back();
        if (f.tokens == 0) ++f.tokens;
        f.first_atomic = false;
        operand = true;
      } else if (c == '|') {
        if (p + 1 < src_.size() && src_[p + 1] == '|') {
          fail("the '||' operator is not supported; use concat()", p);
          break;
        }
        ++p;
        operand = true;
      } else if (c == '+' || c == '-' || c == '=') {
        frames.back().atomic_op = true;
        ++p;
        operand = true;
      } else if (c == '!') {
        if (p + 1 < src_.size() && src_[p + 1] == '=') {
          p += 2;
          frames.back().atomic_op = true;
          operand = true;
        } else {
          fail("the simple map operator '!' is not supported", p);
          break;
        }
      } else if (c == '<' || c == '>') {
        if (operand && c == '<') {
          fail("direct element constructors are not supported", p);
          break;
        }
        if (p + 1 < src_.size() && src_[p + 1] == c) {
          fail("node order comparisons ('<<', '>>') are not supported", p);
          break;
        }
        p += (p + 1 < src_.size() && src_[p + 1] == '=') ? 2 : 1;
        frames.back().atomic_op = true;
        operand = true;
      } else if (c == '*') {
        ++p;
        if (operand) {
          operand_token(false);
          operand = false;
        } else {
          frames.back().atomic_op = true;
          operand = true;
        }
      } else if (c == '{' || c == '}') {
        fail("curly braces are not supported (no constructors or enclosed expressions)", p);
        break;
      } else if (c == ':' && p + 1 < src_.size() && src_[p + 1] == '=') {
        if (depth0()) break;
        fail("unexpected ':='", p);
        break;
      } else if (is_name_start(u)) {
        size_t start = p;
        while (p < src_.size() && is_name_char(static_cast<unsigned char>(src_[p]))) ++p;
        std::string_view word = src_.substr(start, p - start);
        if (!operand) {
          if (word == "and" || word == "or" || word == "div" || word == "mod") {
            frames.back().atomic_op = true;
            operand = true;
            continue;
          }
          if (depth0()) {
            p = start;  // a clause keyword: the expression ends before it
            break;
          }
          std::string message = keyword_message(word);
          if (message.empty()) message = "unexpected '" + std::string(word) + "'";
          fail(message, start);
          break;
        }
        std::string prefix;
        std::string_view local = word;
        if (p + 1 < src_.size() && src_[p] == ':' && src_[p + 1] == '*') {
          p += 2;  // prefix:*
          check_prefix(word, start);
          operand_token(false);
          operand = false;
          continue;
        }
        if (p + 1 < src_.size() && src_[p] == ':' &&
            is_name_start(static_cast<unsigned char>(src_[p + 1]))) {
          prefix = std::string(word);
          size_t local_start = p + 1;
          p = local_start;
          while (p < src_.size() && is_name_char(static_cast<unsigned char>(src_[p]))) ++p;
          local = src_.substr(local_start, p - local_start);
        }
        size_t next = next_significant(p);
        if (prefix.empty() && next + 1 < src_.size() && src_[next] == ':' &&
            src_[next + 1] == ':') {
          p = next + 2;  // an axis
          operand = true;
          continue;
        }
        bool call = next < src_.size() && src_[next] == '(' &&
                    !(next + 1 < src_.size() && src_[next + 1] == ':');
        if (call && prefix.empty() && contains(kNodeTypes, local)) {
          operand_token(false);
          operand = true;  // the '(' that follows is handled as a bracket
          p = next;
          open('(', {}, p, p + 1);
          ++p;
          continue;
        }
        if (call) {
          if (!check_function(prefix, local, start)) break;
          operand_token(prefix.empty() && is_atomic_call(local));
          p = next + 1;
          open('(', std::string(local), start, p);
          operand = true;
          continue;
        }
        if (prefix.empty() &&
            (word == "for" || word == "let" || word == "some" || word == "every") &&
            next < src_.size() && src_[next] == '$') {
          if (word == "some" || word == "every") {
            fail("quantified expressions (some/every) are not supported", start);
          } else {
            fail(
                "a FLWOR expression cannot be used inside an XPath expression or function call; "
                "bind it with 'let' first",
                start);
          }
          break;
        }
        if (prefix.empty() && contains(kConstructorWords, word) && starts_constructor(next)) {
          fail("computed constructors ('" + std::string(word) + " ...{ }') are not supported",
               start);
          break;
        }
        if (!prefix.empty()) check_prefix(prefix, start);
        operand_token(false);
        operand = false;
      } else if (c == ';') {
        fail("unexpected ';'", p);
        break;
      } else {
        fail("unexpected character '" + std::string(1, c) + "'", p);
        break;
      }
    }
    if (!failed_ && !depth0()) {
      fail(std::string("unclosed '") + frames.back().bracket + "'", p);
    }
    result.end = p;
    result.atomic = frames[0].atomic();
    return result;
  }

  static bool is_atomic_call(std::string_view name) {
    const FunctionInfo* f = find_function(name);
    return (f != nullptr && f->core && f->atomic) || is_atomic_extension(name);
  }

  // `element {`, `element name {`: what follows a constructor keyword.
  bool starts_constructor(size_t next) {
    if (next >= src_.size()) return false;
    if (src_[next] == '{') return true;
    if (!is_name_start(static_cast<unsigned char>(src_[next]))) return false;
    size_t end = next;
    while (end < src_.size() &&
           (is_name_char(static_cast<unsigned char>(src_[end])) || src_[end] == ':'))
      ++end;
    size_t after = next_significant(end);
    return after < src_.size() && src_[after] == '{';
  }

  void check_prefix(std::string_view prefix, size_t offset) {
    if (prefix == "xml") return;  // bound in every XPath context
    for (const auto& ns : query_->namespaces) {
      if (ns.first == prefix) return;
    }
    fail("namespace prefix '" + std::string(prefix) + "' is not declared; add: declare namespace " +
             std::string(prefix) + " = \"...\";",
         offset);
  }

  bool check_function(const std::string& prefix, std::string_view local, size_t offset) {
    std::string name = prefix.empty() ? std::string(local) : prefix + ":" + std::string(local);
    const FunctionInfo* known = find_function(local);
    if (prefix.empty() && ((known != nullptr && known->core) || is_extension_function(local)))
      return true;
    if (prefix.empty() && local == "if") {
      fail("if/then/else expressions are not supported", offset);
    } else if (prefix.empty() && (local == "typeswitch" || local == "switch")) {
      fail("'" + name + "' expressions are not supported", offset);
    } else {
      fail("function '" + name + "()' is not supported", offset);
    }
    return false;
  }

  // ---- FLWOR ------------------------------------------------------------

  ExprPtr parse_flwor(bool result_position) {
    auto flwor = std::make_unique<Flwor>();
    size_t scope_mark = scope_.size();
    while (!failed_ && at_flwor_start()) {
      if (accept_word("for")) {
        do {
          Clause clause;
          clause.kind = ClauseKind::For;
          clause.var = read_var_decl();
          if (failed_) break;
          if (accept_word("at")) {
            clause.pos_var = read_var_decl();
            if (failed_) break;
            if (clause.pos_var == clause.var) {
              fail("the position variable must differ from $" + clause.var, pos_);
              break;
            }
          }
          expect_word("in", "after the for variable");
          if (failed_) break;
          bool atomic = false;
          clause.source = parse_single(atomic, false);
          if (failed_) break;
          scope_.push_back(clause.var);
          if (!clause.pos_var.empty()) scope_.push_back(clause.pos_var);
          flwor->clauses.push_back(std::move(clause));
        } while (accept_comma_before_var());
      } else {
        accept_word("let");
        do {
          Clause clause;
          clause.kind = ClauseKind::Let;
          clause.var = read_var_decl();
          if (failed_) break;
          if (!(pos_ + 1 < src_.size() && src_[pos_] == ':' && src_[pos_ + 1] == '=')) {
            fail("expected ':=' after the let variable, found " + token_at(pos_), pos_);
            break;
          }
          pos_ += 2;
          skip_ws();
          bool atomic = false;
          clause.source = parse_single(atomic, true);
          if (failed_) break;
          scope_.push_back(clause.var);
          flwor->clauses.push_back(std::move(clause));
        } while (accept_comma_before_var());
      }
    }
    if (!failed_ && accept_word("where")) {
      flwor->where = parse_clause_path("where");
      if (!failed_ && at_flwor_start()) {
        fail("'for' or 'let' after 'where' is not supported; put 'where' after the last for/let",
             pos_);
      }
    }
    if (!failed_ && (at_word("order") || at_word("stable"))) {
      accept_word("stable");
      expect_word("order", "after 'stable'");
      if (!failed_) expect_word("by", "after 'order'");
      while (!failed_) {
        OrderSpec spec;
        spec.key = parse_clause_path("order by");
        if (failed_) break;
        if (accept_word("descending")) {
          spec.descending = true;
        } else {
          accept_word("ascending");
        }
        if (accept_word("empty")) {
          if (accept_word("greatest")) {
            spec.empty_greatest = true;
          } else if (!accept_word("least")) {
            fail("expected 'greatest' or 'least' after 'empty'", pos_);
            break;
          }
        }
        if (at_word("collation")) {
          fail("collations are not supported", pos_);
          break;
        }
        flwor->order.push_back(std::move(spec));
        if (!accept_char(',')) break;
      }
    }
    if (!failed_) {
      if (at_word("return")) {
        accept_word("return");
        bool atomic = false;
        flwor->body = parse_single(atomic, result_position);
      } else {
        unexpected_or_expected_return();
      }
    }
    scope_.resize(scope_mark);
    if (failed_) return nullptr;
    auto expr = std::make_unique<Expr>();
    expr->kind = ExprKind::Flwor;
    expr->flwor = std::move(flwor);
    return expr;
  }

  void unexpected_or_expected_return() {
    std::string_view word = peek_word();
    if (word == "group" || word == "count" || word == "window" || word == "then" ||
        word == "else" || !keyword_message(word).empty()) {
      return unexpected_here();
    }
    fail("expected 'return', found " + token_at(pos_), pos_);
  }

  bool accept_comma_before_var() {
    if (failed_ || pos_ >= src_.size() || src_[pos_] != ',') return false;
    size_t next = next_significant(pos_ + 1);
    if (next >= src_.size() || src_[next] != '$') return false;
    pos_ = next;
    return true;
  }

  // `where` and `order by` take one XPath expression.
  ExprPtr parse_clause_path(std::string_view clause) {
    skip_ws();
    if (at_flwor_start() || (pos_ < src_.size() && src_[pos_] == '(' && is_xquery_parens())) {
      fail("'" + std::string(clause) + "' takes an XPath expression, not a FLWOR or a sequence",
           pos_);
      return nullptr;
    }
    bool atomic = false;
    return parse_path(atomic);
  }
};

}  // namespace

std::unique_ptr<Query> prepare(const char* text, std::string& error, int& line, int& column) {
  line = 0;
  column = 0;
  if (text == nullptr) {
    error = "no query text";
    return nullptr;
  }
  std::string_view src(text, std::strlen(text));
  Parser parser(src);
  std::unique_ptr<Query> query = parser.run();
  if (!query) {
    const Failure& failure = parser.failure();
    error = failure.message;
    size_t offset = std::min(failure.offset, src.size());
    line = 1 + static_cast<int>(std::count(src.begin(), src.begin() + offset, '\n'));
    size_t line_start = offset == 0 ? std::string_view::npos : src.rfind('\n', offset - 1);
    column =
        static_cast<int>(line_start == std::string_view::npos ? offset + 1 : offset - line_start);
  }
  return query;
}

}  // namespace korvith::xq
