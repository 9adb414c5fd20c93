// Thread stress test of the engine, meant to be built with
// -fsanitize=thread against the engine sources (tests/stress/run).
//
// Two kinds of traffic run at the same time for a fixed time:
//   - "own" threads parse, read, query, serialise and free documents of
//     their own, through every parse entry point;
//   - "shared" threads read one document that stays alive for the whole
//     run (the read-only operations the package allows concurrently).
// Every round computes a digest of answers (names, attributes, snapshots,
// XPath, compiled XPath with namespaces and variables, plans, XQuery,
// serialisations, iterparse) and compares it with the digest computed on a
// single thread before the threads start. A race that gives a wrong answer
// fails the run as surely as one the sanitizer reports.
//
// Usage: engine_stress [seconds] [own threads] [shared threads]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvith/engine.h"
#include "korvith/engine_ext.h"
#include "korvith/plan.h"
#include "korvith/xquery.h"

namespace {

constexpr int kRecords = 40;

struct SerializeOptions {
    int32_t indent;
    int32_t xml_declaration;
    const char* encoding;
};

std::string make_document() {
    std::string x = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY e \"ent\">]>\n";
    x += "<r xmlns:p=\"urn:p\" xmlns=\"urn:d\">\n";
    for (int i = 0; i < kRecords; ++i) {
        std::string n = std::to_string(i);
        x += "  <rec id=\"" + n + "\" p:k=\"v" + n + "\" s=\"a&e;b" + n + "\" f=\"" + n +
             ".5\" ok=\"" + (i % 2 ? "yes" : "no") + "\">";
        x += "<name>n" + n + "</name><v>" + n + "</v><p:t>t" + n + " &e; <![CDATA[c]]></p:t>";
        x += "<tags><tag>x" + n + "</tag><tag>y</tag></tags></rec>\n";
    }
    x += "</r>\n";
    return x;
}

const std::string& source() {
    static const std::string text = make_document();
    return text;
}

std::string file_path;
void* shared_xpath = nullptr;   // compiled, shared by every thread
void* shared_query = nullptr;   // prepared XQuery, shared
void* shared_plan = nullptr;    // compiled plan, shared
void* shared_direct = nullptr;  // compiled location path the direct evaluator answers, shared

std::string str(const char* s) { return s != nullptr ? std::string(s) : std::string("<null>"); }

// ---- the answers --------------------------------------------------------

void add_attributes(std::string& out, void* el) {
    size_t n = korvith_attribute_count(el);
    std::vector<const char*> names(n), values(n);
    std::vector<void*> attrs(n);
    size_t got = korvith_element_attribute_pairs(el, names.data(), values.data(), attrs.data(), n);
    out += "pairs" + std::to_string(got) + ":";
    for (size_t i = 0; i < got; ++i) out += str(names[i]) + "=" + str(values[i]) + ";";
    for (void* a = korvith_element_first_attribute(el); a != nullptr; a = korvith_attribute_next(a)) {
        out += str(korvith_attribute_get_name(a)) + "~" + str(korvith_attribute_get_value(el, a)) + ";";
    }
    out += str(korvith_element_attribute(el, "{urn:p}k")) + str(korvith_element_attribute(el, "p:k"));
    out += str(korvith_element_attribute_ns(el, "urn:p", "k")) + str(korvith_element_attribute(el, "s"));
    // The document has no xml: attribute: looking one up must not make
    // libxml2 add the xml namespace to the shared document.
    out += str(korvith_element_attribute(el, "xml:lang"));
    out += std::to_string(korvith_element_attribute_int(el, "id", -1));
    out += std::to_string(korvith_element_attribute_double(el, "f", -1));
    out += std::to_string(korvith_element_attribute_bool(el, "ok", -1));
    size_t need = korvith_element_attributes_snapshot(el, nullptr, 0, nullptr, nullptr, 0, nullptr,
                                                      nullptr, 0, nullptr, nullptr, 0, nullptr);
    std::vector<char> b1(need + 1), b2(need + 1), b3(need + 1), b4(need + 1);
    std::vector<size_t> o1(n), o2(n), o3(n), o4(n);
    size_t rc = korvith_element_attributes_snapshot(el, b1.data(), b1.size(), o1.data(), b2.data(),
                                                    b2.size(), o2.data(), b3.data(), b3.size(),
                                                    o3.data(), b4.data(), b4.size(), o4.data());
    out += "snap" + std::to_string(rc) + ":";
    for (size_t i = 0; rc == 0 && i < n; ++i) {
        out += std::string(b1.data() + o1[i]) + "=" + std::string(b2.data() + o2[i]);
        if (o3[i] != static_cast<size_t>(-1)) out += "@" + std::string(b3.data() + o3[i]);
        if (o4[i] != static_cast<size_t>(-1)) out += "{" + std::string(b4.data() + o4[i]) + "}";
        out += ";";
    }
}

void add_text_nodes(std::string& out, void* el) {
    for (void* c = korvith_node_first_child(el); c != nullptr; c = korvith_node_next_sibling(c)) {
        int kind = korvith_node_get_type(c);
        out += "k" + std::to_string(kind);
        if (kind == KORVITH_NODE_TEXT) out += str(korvith_text_node_get_content(c));
        if (kind == KORVITH_NODE_CDATA) out += str(korvith_cdata_node_get_content(c));
    }
}

void add_serialization(std::string& out, void* el, int indent) {
    SerializeOptions o{indent, indent % 2, nullptr};
    char* s = korvith_element_serialize(el, &o);
    out += "ser:" + str(s);
    korvith_free_string(s);
    // The sizing and filling pair the module uses.
    size_t need = korvith_element_serialize_into(el, nullptr, 0, nullptr, &o);
    std::vector<char> buf(need + 1);
    size_t written = 0;
    korvith_element_serialize_into(el, buf.data(), buf.size(), &written, &o);
    out += "into:" + std::string(buf.data(), written);
}

std::string xpath_digest(void* result) {
    std::string out = "t" + std::to_string(korvith_xpath_result_type(result));
    size_t n = korvith_xpath_result_count(result);
    std::vector<void*> nodes(n);
    size_t got = korvith_xpath_result_get_nodes(result, nodes.data(), n);
    for (size_t i = 0; i < got; ++i) out += "," + str(korvith_element_name(nodes[i]));
    char* s = korvith_xpath_result_string(result);
    out += "|" + str(s) + "|" + std::to_string(korvith_xpath_result_number(result));
    korvith_free_string(s);
    korvith_xpath_result_free(result);
    return out;
}

void add_xpath(std::string& out, void* doc, void* el, int i) {
    out += xpath_digest(korvith_xpath_eval(doc, nullptr, "count(//*[local-name()='rec'])"));
    out += xpath_digest(korvith_xpath_eval(doc, el, "string(*[local-name()='name'])"));
    void* ns = korvith_ns_set_new();
    korvith_ns_set_add(ns, "d", "urn:d");
    korvith_ns_set_add(ns, "p", "urn:p");
    out += xpath_digest(korvith_xpath_eval_ns(doc, el, "d:tags/d:tag | p:t", ns));
    void* vars = korvith_variable_set_new();
    korvith_variable_set_number(vars, "n", i);
    korvith_variable_set_string(vars, "s", "x");
    korvith_variable_set_boolean(vars, "b", 1);
    out += xpath_digest(korvith_xpath_compiled_eval_ns_vars(shared_xpath, doc, nullptr, ns, vars));
    out += xpath_digest(korvith_xpath_eval_vars_ctx(doc, el, "concat($s, $n, $b)", vars));
    out += xpath_digest(korvith_xpath_compiled_eval_vars(shared_xpath, doc, el, vars));
    out += xpath_digest(korvith_xpath_compiled_eval_ns(shared_direct, doc, nullptr, ns));
    out += xpath_digest(korvith_xpath_eval_ns(doc, el, "d:tags/d:tag[. = 'y'] | d:name", ns));
    out += xpath_digest(korvith_xpath_eval_ns(doc, el, "d:tags/d:tag", ns));
    korvith_variable_set_free(vars);
    korvith_ns_set_free(ns);
    out += xpath_digest(korvith_xpath_compiled_eval(shared_xpath, doc, el));
}

void walk_plan_value(std::string& out, const void* v) {
    out += "(" + std::to_string(korvith_plan_value_kind(v)) + str(korvith_plan_value_name(v));
    const char* s = korvith_plan_value_string(v);
    if (s != nullptr) out += "=" + std::string(s, korvith_plan_value_length(v));
    out += "@" + std::to_string(korvith_plan_value_position(v));
    const char* id = korvith_plan_value_attribute(v, "id");
    if (id != nullptr) out += "#" + std::string(id);
    size_t n = korvith_plan_value_count(v);
    for (size_t i = 0; i < n; ++i) walk_plan_value(out, korvith_plan_value_at(v, i));
    out += ")";
}

void add_plan(std::string& out, void* el) {
    void* result = korvith_plan_eval(shared_plan, el);
    if (result == nullptr) {
        out += "plan:null";
        return;
    }
    walk_plan_value(out, korvith_plan_result_root(result));
    korvith_plan_result_free(result);
}

void add_xquery(std::string& out, void* doc) {
    out += "xq:" + xpath_digest(korvith_xquery_eval(shared_query, doc, nullptr));
}

// Answers for one document: every record is read; `stride` > 1 reads a
// subset (the shared readers start at different records).
std::string answers(void* doc, int start, int stride) {
    std::string out;
    void* root = korvith_document_root(doc);
    out += str(korvith_element_name(root)) + str(korvith_element_namespace(root));
    size_t count = korvith_element_child_count(root);
    out += "#" + std::to_string(count);
    for (size_t k = 0; k < count; ++k) {
        size_t i = (static_cast<size_t>(start) + k * static_cast<size_t>(stride)) % count;
        void* rec = korvith_element_child(root, i);
        out += "[" + std::to_string(i) + str(korvith_element_name(rec)) +
               std::to_string(korvith_node_line(rec));
        out += std::to_string(korvith_element_child_count(rec));
        for (void* c = korvith_element_first_child_any(rec); c != nullptr;
             c = korvith_element_next_sibling_any(c)) {
            out += str(korvith_element_name(c)) + str(korvith_element_prefix_fn(c));
            if (korvith_element_parent(c) != rec) out += "!parent";
            add_text_nodes(out, c);
        }
        void* prev = korvith_element_previous_sibling_any_fn(rec);
        out += prev != nullptr ? str(korvith_element_attribute(prev, "id")) : "-";
        add_attributes(out, rec);
        if (i % 7 == 0) add_serialization(out, rec, static_cast<int>(i % 3));
        if (i % 5 == 0) add_xpath(out, doc, rec, static_cast<int>(i));
        if (i % 3 == 0) add_plan(out, rec);
        out += "]";
    }
    add_xquery(out, doc);
    SerializeOptions o{2, 1, nullptr};
    char* s = korvith_document_serialize(doc, &o);
    out += "doc:" + std::to_string(s != nullptr ? std::strlen(s) : 0);
    korvith_free_string(s);
    return out;
}

// The shared readers visit records in a different order each: the
// digest is over the same set of answers, sorted by record.
std::string canonical(void* doc, int start, int stride) {
    std::string raw = answers(doc, start, stride);
    // Split "[...]" groups, sort by their record index prefix.
    std::vector<std::string> groups;
    std::string head, tail;
    size_t pos = raw.find('[');
    head = raw.substr(0, pos);
    size_t end = raw.rfind(']');
    tail = raw.substr(end + 1);
    std::vector<std::pair<int, std::string>> keyed;
    size_t depth = 0, from = pos;
    for (size_t i = pos; i <= end; ++i) {
        if (raw[i] == '[') {
            if (depth++ == 0) from = i;
        } else if (raw[i] == ']') {
            if (--depth == 0) {
                std::string g = raw.substr(from, i - from + 1);
                keyed.emplace_back(std::atoi(g.c_str() + 1), g);
            }
        }
    }
    std::sort(keyed.begin(), keyed.end());
    std::string out = head;
    for (auto& [k, g] : keyed) out += g;
    return out + tail;
}

// ---- parsing through every entry point ----------------------------------

constexpr int32_t kFlags = KORVITH_PARSE_KEEP_ENTITIES;

void* parse_with(int how, int* status) {
    const std::string& x = source();
    int32_t opts[4] = {kFlags, -1, 0, 0};
    switch (how % 3) {
        case 0: return korvith_parse_string_ex(x.data(), x.size(), opts, status);
        case 1: {
            std::vector<char> copy(x.begin(), x.end());
            int32_t o2[4] = {kFlags, -1, 0, 1};
            return korvith_parse_string_ex(copy.data(), copy.size(), o2, status);
        }
        default: return korvith_parse_file_ex(file_path.c_str(), opts, status);
    }
}

// Iterparse answers: names and texts of each record, released as we go.
std::string iterparse_digest() {
    const std::string& x = source();
    int status = 0;
    void* it = korvith_iterparse_open_buffer(x.data(), x.size(), kFlags, &status);
    if (it == nullptr) return "iterparse failed " + std::to_string(status);
    std::string out;
    for (void* el = korvith_iterparse_next(it); el != nullptr; el = korvith_iterparse_next(it)) {
        if (std::strcmp(str(korvith_element_name(el)).c_str(), "rec") != 0) continue;
        out += str(korvith_element_attribute(el, "id")) + ":";
        add_text_nodes(out, korvith_element_child(el, 0));
        korvith_iterparse_release(it, el);
    }
    out += "err" + std::to_string(korvith_iterparse_error(it, nullptr, 0, nullptr, nullptr));
    korvith_iterparse_free(it);
    return out;
}

// A parse that fails, so the thread's error record is exercised too.
std::string failing_parse() {
    static const char bad[] = "<a><b></a>";
    int status = 0;
    void* doc = korvith_parse_string_fn(bad, sizeof bad - 1, &status);
    char msg[256];
    int line = 0, column = 0;
    int code = korvith_last_error(msg, sizeof msg, &line, &column);
    if (doc != nullptr) korvith_document_free(doc);
    return std::to_string(status) + "/" + std::to_string(code) + "/" + msg + "/" +
           std::to_string(line);
}

// ---- the run ------------------------------------------------------------

std::atomic<bool> stop{false};
std::atomic<long> rounds{0};
std::atomic<long> failures{0};
std::mutex report_mu;

void fail(const char* who, const std::string& got, const std::string& want) {
    if (failures.fetch_add(1) >= 3) return;
    std::lock_guard<std::mutex> lock(report_mu);
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    size_t from = at > 60 ? at - 60 : 0;
    std::fprintf(stderr, "%s: wrong answer at byte %zu\n  got:  ...%s\n  want: ...%s\n", who, at,
                 got.substr(from, 160).c_str(), want.substr(from, 160).c_str());
}

struct Expected {
    std::string doc;
    std::string iter;
    std::string error;
};

void own_thread(int id, const Expected& want) {
    for (int n = id; !stop.load(std::memory_order_relaxed); ++n) {
        int status = 0;
        void* doc = parse_with(n, &status);
        if (doc == nullptr || status != 0) {
            fail("own parse", std::to_string(status), "0");
            return;
        }
        std::string got = canonical(doc, 0, 1);
        korvith_document_free(doc);
        if (got != want.doc) fail("own document", got, want.doc);
        if (n % 4 == 0) {
            std::string it = iterparse_digest();
            if (it != want.iter) fail("iterparse", it, want.iter);
        }
        std::string err = failing_parse();
        if (err != want.error) fail("error record", err, want.error);
        rounds.fetch_add(1, std::memory_order_relaxed);
    }
}

void shared_thread(int id, void* doc, const Expected& want) {
    // Coprime strides walk the records in different orders, so the readers
    // keep displacing each other's cached child positions.
    static const int strides[] = {1, 3, 7, 9, 11, 13, 17, 19};
    for (int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
        int stride = strides[(id + n) % 8];
        std::string got = canonical(doc, id * 5 + n, stride);
        if (got != want.doc) fail("shared document", got, want.doc);
        rounds.fetch_add(1, std::memory_order_relaxed);
    }
}

bool setup() {
    char path[] = "/tmp/korvith-stress-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return false;
    const std::string& x = source();
    bool ok = write(fd, x.data(), x.size()) == static_cast<ssize_t>(x.size());
    close(fd);
    file_path = path;
    shared_direct = korvith_xpath_compile("//d:rec[d:tags/d:tag='y' and @p:k != 'v1']/d:name");
    shared_xpath = korvith_xpath_compile(
        "count(//*[local-name()='tag'][. = concat($s, $n)]) + number($b) + count(ancestor::*)");
    shared_query = korvith_xquery_prepare(
        "for $r in //*[local-name()='rec'] where number($r/@id) mod 3 = 1 "
        "order by number($r/@id) descending return $r/*[local-name()='name']");
    static const char plan[] =
        "2\n"
        "1 5\n2:id\n11:{urn:d}name 1 -1 0 0\n8:{urn:d}v 1 -1 1 0\n8:{urn:p}t 1 -1 0 0\n"
        "11:{urn:d}tags 7 1 0 0\n11:{urn:d}tags 7 -1 0 0\n"
        "0 1\n4:text 6 -1 0 0\n";
    char err[256] = {0};
    shared_plan = korvith_plan_compile(plan, sizeof plan - 1, err, sizeof err);
    if (shared_plan == nullptr) std::fprintf(stderr, "plan: %s\n", err);
    return ok && shared_xpath != nullptr && shared_query != nullptr && shared_plan != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    int own = argc > 2 ? std::atoi(argv[2]) : 4;
    int shared = argc > 3 ? std::atoi(argv[3]) : 4;
    if (!setup()) {
        std::fprintf(stderr, "setup failed\n");
        return 2;
    }
    // The reference answers, on one thread, before any other thread runs.
    Expected want;
    int status = 0;
    void* doc = parse_with(0, &status);
    if (doc == nullptr) {
        std::fprintf(stderr, "reference parse failed: %d\n", status);
        return 2;
    }
    want.doc = canonical(doc, 0, 1);
    want.iter = iterparse_digest();
    want.error = failing_parse();
    // The reference must hold real answers, or comparing against it proves nothing.
    if (want.doc.find("plan:null") != std::string::npos ||
        want.doc.find("xq:t0,name,name") == std::string::npos ||
        want.doc.find("into:<rec xmlns:p=\"urn:p\"") == std::string::npos ||
        want.doc.find("snap0:id=0;k=v0@p{urn:p};s=aentb0") == std::string::npos ||
        want.iter.find("39:k1n39err0") == std::string::npos) {
        std::fprintf(stderr, "reference answers are incomplete:\n%s\n", want.doc.c_str());
        return 2;
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < own; ++i) threads.emplace_back(own_thread, i, std::cref(want));
    for (int i = 0; i < shared; ++i) threads.emplace_back(shared_thread, i, doc, std::cref(want));
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until && failures.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    for (auto& t : threads) t.join();
    korvith_document_free(doc);
    korvith_xpath_compiled_free(shared_xpath);
    korvith_xpath_compiled_free(shared_direct);
    korvith_xquery_free(shared_query);
    korvith_plan_free(shared_plan);
    unlink(file_path.c_str());
    std::printf("engine stress: %d own + %d shared threads, %.1f s, %ld rounds, %ld wrong answers\n",
                own, shared, seconds, rounds.load(), failures.load());
    if (rounds.load() < own + shared) {
        std::fprintf(stderr, "too few rounds to mean anything\n");
        return 1;
    }
    return failures.load() == 0 ? 0 : 1;
}
