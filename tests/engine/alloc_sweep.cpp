// Allocation-failure sweep of the engine (run by test_alloc_failure.py).
//
// A dedicated process: it replaces the global operator new (the engine's own
// allocations) and installs counting allocators in libxml2 (xmlMemSetup,
// process-wide, which is why this never runs inside the library's normal
// path). For every scenario it runs the scenario once to count its
// allocations, then again with allocation N and every later one failing,
// for N = 1, 2, ... up to that count (a sample of them when there are more
// than the sweep limit). Every run must end in the entry's documented
// failure value with an error status, or in success; nothing may crash, and
// the scenario must work again afterwards. Leaks are found by
// LeakSanitizer when this is built with the sanitizers.
//
// Usage: alloc_sweep [SCENARIO...]; prints one line per scenario and exits
// non-zero on the first broken contract.
#include <libxml/parser.h>
#include <libxml/xmlmemory.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "korvith/abi.h"
#include "korvith/engine.h"
#include "korvith/engine_ext.h"
#include "korvith/plan.h"
#include "korvith/xpath_fast.h"

namespace {

// ---------------------------------------------------------------- the hook

bool armed = false;      // count (and fail) only while a scenario runs
long allocations = 0;    // allocations seen since arming
long fail_from = 0;      // 0: never fail; else fail allocation N and later
long failures = 0;       // allocations refused since arming

bool refuse() {
  if (!armed) return false;
  ++allocations;
  if (fail_from != 0 && allocations >= fail_from) {
    ++failures;
    return true;
  }
  return false;
}

void* hooked_malloc(size_t size) { return refuse() ? nullptr : std::malloc(size); }
void* hooked_realloc(void* p, size_t size) { return refuse() ? nullptr : std::realloc(p, size); }
void hooked_free(void* p) { std::free(p); }
char* hooked_strdup(const char* s) {
  if (refuse()) return nullptr;
  size_t n = std::strlen(s) + 1;
  auto* out = static_cast<char*>(std::malloc(n));
  if (out != nullptr) std::memcpy(out, s, n);
  return out;
}

void arm(long from) {
  allocations = 0;
  failures = 0;
  fail_from = from;
  armed = true;
}

void disarm() { armed = false; }

[[noreturn]] void broken(const char* scenario, long n, const char* what) {
  std::fprintf(stderr, "%s: with allocation %ld failing: %s\n", scenario, n, what);
  std::exit(1);
}

int last_status() { return korvith_last_error(nullptr, 0, nullptr, nullptr); }

// ---------------------------------------------------------------- scenarios
// Each returns true when it ran to the end (nothing failed) and reports a
// broken contract through `broken`. `n` names the run in messages.

const char kXml[] =
    "<?xml version='1.0'?>\n"
    "<shop xmlns:p='urn:p'><item id='1' p:k='a'><name>Green</name><price>3.5</price>"
    "<tags>a b c</tags></item><item id='2'><name>Black</name><price>7</price><!-- c -->"
    "<?pi data?><![CDATA[raw]]></item></shop>";
const size_t kXmlLen = sizeof kXml - 1;

// One plan: attribute id; rows name (text), price (float), tags (tokens).
const char kPlan[] = "1\n1 3\n2:id\n4:name 1 -1 0 0\n5:price 1 -1 2 0\n4:tags 5 -1 0 0\n";

bool parse(long n) {
  int status = -1;
  void* doc = korvith_parse_string_fn(kXml, kXmlLen, &status);
  if (doc == nullptr) {
    if (status == 0) broken("parse", n, "null document with status 0");
    if (last_status() == 0) broken("parse", n, "null document with no last error");
    return false;
  }
  bool ok = korvith_document_root(doc) != nullptr;
  korvith_document_free(doc);
  return ok && status == 0;
}

bool parse_options(long n) {
  korvith_parse_options options{KORVITH_PARSE_NOBLANKS | KORVITH_PARSE_NSCLEAN, 1, 64, 0};
  int status = -1;
  void* doc = korvith_parse_string_ex(kXml, kXmlLen, &options, &status);
  if (doc == nullptr) {
    if (status == 0) broken("parse_options", n, "null document with status 0");
    return false;
  }
  korvith_document_free(doc);
  return status == 0;
}

bool iterparse(long n) {
  int status = -1;
  void* it = korvith_iterparse_open_buffer(kXml, kXmlLen, 0, &status);
  if (it == nullptr) {
    if (status == 0) broken("iterparse", n, "null iterator with status 0");
    return false;
  }
  int elements = 0;
  while (void* el = korvith_iterparse_next(it)) {
    ++elements;
    (void)el;
  }
  int error = korvith_iterparse_error(it, nullptr, 0, nullptr, nullptr);
  korvith_iterparse_free(it);
  if (elements != 8 && error == 0) broken("iterparse", n, "stopped early with no error");
  return error == 0;
}

void* document() {
  int status = 0;
  void* doc = korvith_parse_string_fn(kXml, kXmlLen, &status);
  if (doc == nullptr) {
    std::fprintf(stderr, "cannot parse the sweep document\n");
    std::exit(2);
  }
  return doc;
}

bool xpath_on(void* doc, long n) {
  void* compiled = korvith_xpath_compile("//item[@id = $id or @p:k]/name");
  if (compiled == nullptr) {
    if (last_status() == 0) broken("xpath", n, "compile failed with no last error");
    return false;
  }
  bool ok = false;
  void* ns = korvith_ns_set_new();
  void* vars = korvith_variable_set_new();
  if (ns != nullptr && vars != nullptr && korvith_ns_set_add(ns, "p", "urn:p") == 0 &&
      korvith_variable_set_string(vars, "id", "2") == 0) {
    void* result = korvith_xpath_compiled_eval_ns_vars(compiled, doc, nullptr, ns, vars);
    if (result == nullptr) {
      if (last_status() == 0) broken("xpath", n, "evaluation failed with no last error");
    } else {
      void* nodes[4];
      size_t count = korvith_xpath_result_get_nodes(result, nodes, 4);
      char* text = korvith_xpath_result_string(result);
      ok = count == 2 && text != nullptr && std::strcmp(text, "Green") == 0;
      korvith_free_string(text);
      korvith_xpath_result_free(result);
    }
  }
  korvith_variable_set_free(vars);
  korvith_ns_set_free(ns);
  korvith_xpath_compiled_free(compiled);
  if (!ok) return false;
  void* counted = korvith_xpath_eval(doc, nullptr, "count(//item) + string-length(//name[1])");
  if (counted == nullptr) {
    if (last_status() == 0) broken("xpath", n, "evaluation failed with no last error");
    return false;
  }
  ok = korvith_xpath_result_number(counted) == 7.0;
  korvith_xpath_result_free(counted);
  return ok;
}

bool serialize_on(void* doc, long n) {
  void* root = korvith_document_root(doc);
  korvith_serialize_options options{2, 1, "ISO-8859-1"};
  char* element = korvith_element_serialize(root, &options);
  char* whole = korvith_document_serialize(doc, nullptr);
  bool ok = element != nullptr && whole != nullptr;
  korvith_free_string(element);
  korvith_free_string(whole);
  size_t needed = korvith_element_serialize_into(root, nullptr, 0, nullptr, nullptr);
  if (needed != 0) {
    auto* buffer = static_cast<char*>(std::malloc(needed));  // not counted
    size_t written = 0;
    size_t again = korvith_element_serialize_into(root, buffer, needed, &written, nullptr);
    std::free(buffer);
    if (again != 0 && written + 1 != needed) broken("serialize", n, "filling call disagrees");
    ok = ok && again != 0;
  } else {
    ok = false;
  }
  return ok;
}

bool plan_on(void* doc, long n) {
  char error[128] = "";
  void* plan = korvith_plan_compile(kPlan, sizeof kPlan - 1, error, sizeof error);
  if (plan == nullptr) {
    if (error[0] == '\0') broken("plan", n, "compile failed with no message");
    return false;
  }
  void* item = korvith_element_child(korvith_document_root(doc), 0);
  void* result = korvith_plan_eval(plan, item);
  bool ok = false;
  if (result != nullptr) {
    const void* root = korvith_plan_result_root(result);
    ok = korvith_plan_value_count(root) == 3 &&
         korvith_plan_value_attribute(root, "id") != nullptr;
    korvith_plan_result_free(result);
  }
  if (ok) {
    int status = 0;
    void* it = korvith_iterparse_open_buffer(kXml, kXmlLen, 0, &status);
    void* stream = it != nullptr ? korvith_plan_stream_new(plan, it, "item") : nullptr;
    int records = 0;
    if (stream != nullptr) {
      while (korvith_plan_stream_next(stream) != nullptr) ++records;
      korvith_plan_stream_free(stream);
    }
    ok = records == 2;
    if (stream != nullptr && !ok) {
      // A stream that stops early must say why, never look like the end.
      char message[128] = "";
      int line = 0, column = 0;
      if (korvith_iterparse_error(it, message, sizeof message, &line, &column) == 0) {
        broken("plan stream", n, "stopped early without an error");
      }
    }
    if (it != nullptr) korvith_iterparse_free(it);
  }
  korvith_plan_free(plan);
  return ok;
}

bool sax(long n) {
  void* recorder = korvith_sax_open_buffer(kXml, kXmlLen, 0, 64);
  if (recorder == nullptr) return false;
  bool ok = true;
  bool error_seen = false;
  for (;;) {
    int more = korvith_sax_step(recorder);
    size_t count = 0, size = 0;
    const auto* records = static_cast<const korvith_sax_record*>(korvith_sax_records(recorder, &count));
    const char* arena = korvith_sax_arena(recorder, &size);
    for (size_t i = 0; i < count; ++i) {
      const korvith_sax_record& r = records[i];
      if (r.name_off + r.name_len > size || r.text_off + r.text_len > size)
        broken("sax", n, "record outside the arena");
      if (r.kind == KORVITH_SAX_ERROR) error_seen = true;
    }
    (void)arena;
    if (more < 0) {
      ok = false;
      break;
    }
    if (more == 0) break;
  }
  korvith_sax_free(recorder);
  return ok && !error_seen;
}

// Location paths the direct evaluator answers (compiled, and from the
// expression text); a refused allocation may send them to libxml2, which
// must give the same elements or fail with an error.
bool xpath_direct_on(void* doc, long n) {
  void* compiled = korvith_xpath_compile("//item[name='Green' or @p:k]/name");
  if (compiled == nullptr) {
    if (last_status() == 0) broken("xpath_direct", n, "compile failed with no last error");
    return false;
  }
  bool ok = false;
  void* ns = korvith_ns_set_new();
  if (ns != nullptr && korvith_ns_set_add(ns, "p", "urn:p") == 0) {
    void* result = korvith_xpath_compiled_eval_ns(compiled, doc, nullptr, ns);
    if (result == nullptr) {
      if (last_status() == 0) broken("xpath_direct", n, "evaluation failed with no last error");
    } else {
      void* nodes[4];
      ok = korvith_xpath_result_get_nodes(result, nodes, 4) == 1;
      korvith_xpath_result_free(result);
    }
  }
  korvith_ns_set_free(ns);
  korvith_xpath_compiled_free(compiled);
  if (!ok) return false;
  void* all = korvith_xpath_eval(doc, nullptr, "/shop/item[price != '7']//name");
  if (all == nullptr) {
    if (last_status() == 0) broken("xpath_direct", n, "evaluation failed with no last error");
    return false;
  }
  ok = korvith_xpath_result_count(all) == 1;
  korvith_xpath_result_free(all);
  if (ok && n == 0 && korvith_xpath_last_fast() != 1) {
    broken("xpath_direct", n, "the direct evaluator did not answer");
  }
  return ok;
}

using Scenario = bool (*)(long);
void* shared_doc = nullptr;
bool xpath(long n) { return xpath_on(shared_doc, n); }
bool serialize(long n) { return serialize_on(shared_doc, n); }
bool plan(long n) { return plan_on(shared_doc, n); }
bool xpath_direct(long n) { return xpath_direct_on(shared_doc, n); }

struct Entry {
  const char* name;
  Scenario run;
};
const Entry kScenarios[] = {
    {"parse", parse},         {"parse_options", parse_options}, {"iterparse", iterparse},
    {"xpath", xpath},         {"serialize", serialize},         {"plan", plan},
    {"sax", sax},
    {"xpath_direct", xpath_direct},
};

// Runs `scenario` once armed, failing from allocation `from` (0: never).
// The harness allocates nothing itself while armed, so an exception here
// crossed the engine's C ABI: it ends the process (std::terminate).
bool run_armed(const Entry& e, long from) {
  arm(from);
  bool done = e.run(from);
  disarm();
  return done;
}

long sweep(const Entry& e, long limit) {
  if (!e.run(0)) {  // warm-up: libxml2 and the engine set up what they keep
    std::fprintf(stderr, "%s: fails without allocation failures\n", e.name);
    std::exit(2);
  }
  if (!run_armed(e, 0)) {
    std::fprintf(stderr, "%s: fails while counting\n", e.name);
    std::exit(2);
  }
  const long total = allocations;
  const long step = total > limit ? (total + limit - 1) / limit : 1;
  long runs = 0;
  for (long n = 1; n <= total; n += step) {
    bool done = run_armed(e, n);
    ++runs;
    if (done && failures != 0) broken(e.name, n, "reported success although allocations failed");
    if (!e.run(n)) broken(e.name, n, "does not work again afterwards");
  }
  std::printf("%s: %ld allocations, %ld runs\n", e.name, total, runs);
  return runs;
}

}  // namespace

// The engine's own allocations (and the C++ runtime's) go through these.
void* operator new(size_t size) {
  if (refuse()) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  if (refuse()) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

int main(int argc, char** argv) {
  if (xmlMemSetup(hooked_free, hooked_malloc, hooked_realloc, hooked_strdup) != 0) {
    std::fprintf(stderr, "xmlMemSetup failed\n");
    return 2;
  }
  const char* limit_env = std::getenv("KORVITH_SWEEP_LIMIT");
  const long limit = limit_env != nullptr ? std::atol(limit_env) : 400;
  shared_doc = document();
  int matched = 0;
  for (const Entry& e : kScenarios) {
    bool wanted = argc == 1;
    for (int i = 1; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], e.name) == 0;
    if (!wanted) continue;
    ++matched;
    sweep(e, limit);
  }
  korvith_document_free(shared_doc);
  xmlCleanupParser();
  return matched == 0 ? 2 : 0;
}
