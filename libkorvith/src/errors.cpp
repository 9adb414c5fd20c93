// The thread-local error record behind korvith_last_error.
#include <cstring>
#include <exception>
#include <new>

#include "entry.h"
#include "internal.h"

namespace korvith {
namespace {

struct ErrorRecord {
  int code = 0;
  std::string message;
  int line = 0;
  int column = 0;
};

thread_local ErrorRecord last_error;

}  // namespace

namespace {

// libxml2 advises its own option names ("use XML_PARSE_HUGE option",
// "try XML_PARSE_HUGE") and API; callers know korvith's keyword instead. When the
// option is already on, the advice is dropped and the message says the
// limit is the one that option allows.
void name_own_options(std::string& text, bool huge_on) {
  static constexpr std::string_view advice[] = {", use XML_PARSE_HUGE option",
                                                " use XML_PARSE_HUGE option",
                                                ", try XML_PARSE_HUGE", " try XML_PARSE_HUGE"};
  for (std::string_view a : advice) {
    size_t at = text.find(a);
    if (at == std::string::npos) continue;
    text.replace(
        at, a.size(),
        huge_on ? " (the limit with huge=True)" : ", use the huge=True option to allow more");
    break;
  }
  // libxml2 points at its API for the entity amplification limit, which
  // korvith does not expose (huge=True leaves that limit in place).
  static constexpr std::string_view amplification = ", see xmlCtxtSetMaxAmplification.";
  if (size_t at = text.find(amplification); at != std::string::npos) {
    text.replace(at, amplification.size(),
                 ": the entities expand to far more text than the document holds");
  }
  static constexpr std::string_view name = "XML_PARSE_HUGE";
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
    text.replace(at, name.size(), "huge=True");
  }
}

}  // namespace

std::string trim_message(const char* msg, bool huge_on) {
  if (msg == nullptr) return {};
  std::string out(msg);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) {
    out.pop_back();
  }
  name_own_options(out, huge_on);
  return out;
}

void error_clear() {
  last_error.code = 0;
  last_error.message.clear();
  last_error.line = 0;
  last_error.column = 0;
}

void error_set(int code, std::string_view message, int line, int column) noexcept {
  last_error.code = code;
  last_error.line = line;
  last_error.column = column;
  try {
    last_error.message.assign(message);
  } catch (...) {
    last_error.message.clear();  // out of memory: the code alone tells what failed
  }
}

void error_from(const xmlError* err) noexcept {
  if (err == nullptr) return;
  int code = err->code != 0 ? err->code : XML_ERR_INTERNAL_ERROR;
  try {
    error_set(code, trim_message(err->message), err->line, err->int2);
  } catch (...) {
    error_set(code, {}, err->line, err->int2);  // no memory for the message
  }
}

int error_code() { return last_error.code; }

int entry_status() noexcept {
  int code = KORVITH_STATUS_INTERNAL;
  const char* what = "internal error";
  try {
    throw;
  } catch (const std::bad_alloc&) {
    code = KORVITH_STATUS_NO_MEMORY;
    what = "out of memory";
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  last_error.code = code;
  last_error.line = 0;
  last_error.column = 0;
  try {
    last_error.message.assign(what);
  } catch (...) {
    last_error.message.clear();  // the status alone still tells what happened
  }
  return code;
}

}  // namespace korvith

extern "C" int korvith_last_error(char* buf, size_t cap, int* line, int* column) try {
  const auto& rec = korvith::last_error;
  if (line != nullptr) *line = rec.line;
  if (column != nullptr) *column = rec.column;
  if (buf != nullptr && cap > 0) {
    size_t n = rec.message.size() < cap - 1 ? rec.message.size() : cap - 1;
    std::memcpy(buf, rec.message.data(), n);
    buf[n] = '\0';
  }
  return rec.code;
} catch (...) {
  return korvith::entry_status();
}
