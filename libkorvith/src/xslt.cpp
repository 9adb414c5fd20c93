// XSLT 1.0 transforms through libxslt (with the EXSLT functions).
//
// Secure by default, with every setting on the transform's own context:
// security preferences that refuse writing files, creating directories and
// the network, and allow reading only files inside the allowed directories
// when document() is enabled; a bounded template depth; per-context error
// handlers; the EXSLT functions registered on each transform's own XPath
// context (xslt_exslt.cpp), never in libxslt's process-wide registry. libxslt
// reports compile errors only through its process-wide handler, so every
// stylesheet (and everything it includes) first goes through the check in
// xslt_check.cpp, which refuses those errors with their line. libxslt loads xsl:include and
// xsl:import itself through its process-wide loader, which the engine must not replace, so the
// compile step first walks the include graph with the access policy and refuses a stylesheet whose
// includes reach anything the policy forbids, or cycle.
#include <libxml/uri.h>
#include <libxslt/extensions.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include "ext_common.h"
#include "entry.h"
#include "xslt_check.h"
#include "xslt_exslt.h"

namespace korvith {
namespace {

constexpr const char* kXslNs = "http://www.w3.org/1999/XSL/Transform";
constexpr int kMaxIncludeDepth = 64;
constexpr size_t kMaxIncludedFiles = 1024;

struct Xslt {
  xsltStylesheetPtr style = nullptr;
  std::string dirs_list;  // the allowed directories, as given, for document()
  ~Xslt() {
    if (style != nullptr) xsltFreeStylesheet(style);
  }
};

std::string base_of(xmlDocPtr doc, xmlNodePtr node) {
  xmlChar* b = xmlNodeGetBase(doc, node);
  if (b == nullptr) return {};
  std::string out = cstr(b);
  xmlFree(b);
  return out;
}

std::string resolve(const std::string& href, const std::string& base) {
  xmlChar* u = xmlBuildURI(xstr(href.c_str()), base.empty() ? nullptr : xstr(base.c_str()));
  if (u == nullptr) return href;
  std::string out = cstr(u);
  xmlFree(u);
  return out;
}

struct IncludeWalk {
  AccessPolicy* policy;
  Diag* diag;
  std::vector<std::string> chain;  // canonical paths from the main stylesheet down
  size_t files = 0;

  bool walk(xmlDocPtr doc, int depth) {
    xmlNodePtr root = xmlDocGetRootElement(doc);
    xmlNodePtr cur = root;
    while (cur != nullptr) {
      if (cur->type == XML_ELEMENT_NODE && cur->ns != nullptr &&
          xmlStrEqual(cur->ns->href, xstr(kXslNs)) &&
          (xmlStrEqual(cur->name, xstr("include")) || xmlStrEqual(cur->name, xstr("import")))) {
        if (!visit(doc, cur, depth)) return false;
      }
      // Document-order walk without recursion.
      if (cur->type == XML_ELEMENT_NODE && cur->children != nullptr) {
        cur = cur->children;
        continue;
      }
      while (cur != nullptr && cur != root && cur->next == nullptr) cur = cur->parent;
      if (cur == nullptr || cur == root) break;
      cur = cur->next;
    }
    return true;
  }

  bool visit(xmlDocPtr doc, xmlNodePtr el, int depth) {
    xmlChar* href = xmlGetNoNsProp(el, xstr("href"));
    if (href == nullptr) return true;  // libxslt reports the missing attribute
    std::string h = cstr(href);
    xmlFree(href);
    std::string url = resolve(h, base_of(doc, el));
    std::string path = policy->check(url);
    if (path.empty()) return false;
    for (const auto& p : chain) {
      if (p == path) {
        diag->add(3, "stylesheet include cycle: '" + url + "' includes itself", node_line_of(el),
                  0);
        return false;
      }
    }
    if (depth >= kMaxIncludeDepth || ++files > kMaxIncludedFiles) {
      diag->add(3, "stylesheet includes nest too deep or are too many at '" + url + "'");
      return false;
    }
    std::string content;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
      policy->refuse(url, "cannot be read");
      return false;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
    std::fclose(f);
    DocHolder sub(parse_with_policy(content.data(), content.size(), url.c_str(), policy, diag));
    if (!sub) return false;
    if (sub->intSubset != nullptr) {
      // libxslt parses included stylesheets with DTD loading on; a
      // document type could make it read other files.
      diag->add(3, "refused to load '" + url +
                       "': an included stylesheet may not have a "
                       "document type declaration");
      return false;
    }
    if (!check_stylesheet(sub.get(), url, diag)) return false;
    chain.push_back(path);
    bool ok = walk(sub.get(), depth + 1);
    chain.pop_back();
    return ok;
  }
};

// Gathers libxslt's message fragments into diagnostics. libxslt writes a
// context line ("runtime error: file F line N element E") and then the
// message itself, each through the handler, sometimes in pieces.
struct XsltErrors {
  Diag* diag = nullptr;
  xsltTransformContextPtr ctxt = nullptr;  // for the line when the context line has none
  AccessPolicy* policy = nullptr;
  bool documents = false;
  std::string pending;
  int line = 0;

  void text(const std::string& s) {
    pending += s;
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string one = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (one.rfind("runtime error:", 0) == 0 || one.rfind("compilation error:", 0) == 0) {
        size_t at = one.find(" line ");
        line = at != std::string::npos ? std::atoi(one.c_str() + at + 6) : 0;
        // Without a file name libxslt leaves the line out: take it from
        // the instruction being run.
        if (line == 0 && ctxt != nullptr && ctxt->inst != nullptr) line = node_line_of(ctxt->inst);
        continue;
      }
      if (!one.empty()) diag->add(2, one, line, 0);
      line = 0;
    }
  }
  void flush() {
    if (!pending.empty()) diag->add(2, trim_message(pending.c_str()), line, 0);
    pending.clear();
  }
};

// XPath errors of the transform, with the line of the instruction being
// run when libxml2 gives none.
void on_xpath_error(void* data, const xmlError* err) {
  auto* e = static_cast<XsltErrors*>(data);
  if (e == nullptr || err == nullptr) return;
  try {  // called from libxml2's C code: no exception may leave
    size_t before = e->diag->entries.size();
    e->diag->add_error(err);
    if (e->diag->entries.size() > before && e->diag->entries.back().line == 0 &&
        e->ctxt != nullptr && e->ctxt->inst != nullptr) {
      e->diag->entries.back().line = node_line_of(e->ctxt->inst);
    }
  } catch (...) {
  }
}

void on_xslt_error(void* data, const char* msg, ...) {
  auto* e = static_cast<XsltErrors*>(data);
  if (e == nullptr || msg == nullptr) return;
  char buf[4096];
  va_list ap;
  va_start(ap, msg);
  std::vsnprintf(buf, sizeof buf, msg, ap);
  va_end(ap);
  try {  // called from libxslt's C code: no exception may leave
    e->text(buf);
  } catch (...) {
  }
}

// The transform running on this thread, for the security callbacks. The
// context's _private field stays null: other users of libxslt in the same
// process (lxml installs a process-wide document loader) read it as theirs.
struct Running {
  xsltTransformContextPtr ctxt = nullptr;
  XsltErrors* errors = nullptr;
};
thread_local Running running;

struct RunningGuard {
  Running saved;
  RunningGuard(xsltTransformContextPtr ctxt, XsltErrors* errors) : saved(running) {
    running = Running{ctxt, errors};
  }
  ~RunningGuard() { running = saved; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;
};

XsltErrors* errors_of(xsltTransformContextPtr ctxt) {
  return ctxt != nullptr && ctxt == running.ctxt ? running.errors : nullptr;
}

int allow_read(xsltSecurityPrefsPtr, xsltTransformContextPtr ctxt, const char* value) {
  try {  // called from libxslt's C code: no exception may leave
    XsltErrors* e = errors_of(ctxt);
    if (e == nullptr || value == nullptr) return 0;
    if (!e->documents) {
      e->diag->add(3, std::string("refused to read '") + value +
                          "': document() is disabled (enable it with documents=True)");
      return 0;
    }
    return e->policy->check(value).empty() ? 0 : 1;
  } catch (...) {
    return 0;
  }
}

int refuse_write(xsltSecurityPrefsPtr, xsltTransformContextPtr ctxt, const char* value) {
  try {  // called from libxslt's C code: no exception may leave
    if (XsltErrors* e = errors_of(ctxt)) {
      e->diag->add(3, std::string("refused to write '") + (value ? value : "") + "'");
    }
    return 0;
  } catch (...) {
    return 0;
  }
}

int refuse_mkdir(xsltSecurityPrefsPtr, xsltTransformContextPtr ctxt, const char* value) {
  try {  // called from libxslt's C code: no exception may leave
    if (XsltErrors* e = errors_of(ctxt)) {
      e->diag->add(3, std::string("refused to create directory '") + (value ? value : "") + "'");
    }
    return 0;
  } catch (...) {
    return 0;
  }
}

int refuse_network(xsltSecurityPrefsPtr, xsltTransformContextPtr ctxt, const char* value) {
  try {  // called from libxslt's C code: no exception may leave
    if (XsltErrors* e = errors_of(ctxt)) {
      e->diag->add(3, std::string("refused to load '") + (value ? value : "") +
                          "': network access is not allowed");
    }
    return 0;
  } catch (...) {
    return 0;
  }
}

struct PrefsFree {
  void operator()(xsltSecurityPrefs* p) const { xsltFreeSecurityPrefs(p); }
};
struct TctxtFree {
  void operator()(xsltTransformContext* c) const { xsltFreeTransformContext(c); }
};

struct StyleFree {
  void operator()(xsltStylesheet* s) const { xsltFreeStylesheet(s); }
};

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_xslt_compile(const char* data, size_t length, const char* base,
                           const char* allowed_dirs, void* diag_ptr) try {
  auto* diag = static_cast<Diag*>(diag_ptr);
  if (diag == nullptr) return nullptr;
  try {
    auto x = std::make_unique<Xslt>();
    AccessPolicy policy;
    policy.diag = diag;
    policy.load(allowed_dirs);
    if (allowed_dirs != nullptr) {
      for (const char* p = allowed_dirs; *p != '\0'; p += std::strlen(p) + 1) {
        x->dirs_list.append(p);
        x->dirs_list.push_back('\0');
      }
    }
    DocHolder doc(parse_with_policy(data, length, base, &policy, diag));
    if (!doc) return nullptr;
    IncludeWalk walk{&policy, diag, {}, 0};
    if (base != nullptr && *base != '\0') {
      char real[PATH_MAX];
      if (::realpath(base, real) != nullptr) walk.chain.push_back(real);
    }
    if (!check_stylesheet(doc.get(), base != nullptr ? base : "", diag)) return nullptr;
    if (!walk.walk(doc.get(), 0)) return nullptr;
    xsltInitGlobals();
    std::unique_ptr<xsltStylesheet, StyleFree> style(xsltNewStylesheet());
    if (!style) {
      diag->add(3, "out of memory");
      return nullptr;
    }
    // Expression errors the check did not catch reach this call's list
    // through the stylesheet's own XPath context.
    if (style->xpathCtxt != nullptr) {
      style->xpathCtxt->error = diag_structured;
      style->xpathCtxt->userData = diag;
    }
    int failed = xsltParseStylesheetUser(style.get(), doc.get());
    if (style->xpathCtxt != nullptr) {
      style->xpathCtxt->error = nullptr;
      style->xpathCtxt->userData = nullptr;
    }
    if (failed != 0) {
      // The document is still ours and freed here. libxslt has sent its
      // own message to its process-wide handler.
      diag->add(3, "the stylesheet does not compile (" + std::to_string(style->errors) +
                       " errors that libxslt reports only to its own error output)");
      return nullptr;
    }
    (void)doc.release();  // owned by the stylesheet now
    x->style = style.release();
    return x.release();
  } catch (...) {
    diag->add(3, "internal error while compiling the stylesheet");
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

// Runs the transform on a copy of the document (or of one element as the
// root). params: name, XPath expression, ..., null. Returns the result
// document; *out/*out_length receive its serialisation as xsl:output asks
// (free *out with korvith_buffer_free).
void* korvith_xslt_apply(void* xslt, void* document, void* element, const char** params,
                         int allow_documents, int max_depth, void* diag_ptr, char** out,
                         size_t* out_length) try {
  auto* diag = static_cast<Diag*>(diag_ptr);
  auto* x = static_cast<Xslt*>(xslt);
  auto* doc = static_cast<xmlDocPtr>(document);
  if (out != nullptr) *out = nullptr;
  if (out_length != nullptr) *out_length = 0;
  if (diag == nullptr || x == nullptr || doc == nullptr || max_depth <= 0) return nullptr;
  try {
    DocHolder work(copy_for_work(doc, as_node(element), false));
    if (!work) {
      diag->add(3, "out of memory");
      return nullptr;
    }
    AccessPolicy policy;
    policy.diag = diag;
    policy.load(x->dirs_list.empty() ? nullptr : x->dirs_list.c_str());
    XsltErrors errs;
    errs.diag = diag;
    errs.policy = &policy;
    errs.documents = allow_documents != 0;

    std::unique_ptr<xsltSecurityPrefs, PrefsFree> sec(xsltNewSecurityPrefs());
    std::unique_ptr<xsltTransformContext, TctxtFree> ctxt(
        xsltNewTransformContext(x->style, work.get()));
    if (!sec || !ctxt) {
      diag->add(3, "out of memory");
      return nullptr;
    }
    errs.ctxt = ctxt.get();
    if (!register_exslt(ctxt.get())) {
      diag->add(3, "out of memory");
      return nullptr;
    }
    xsltSetSecurityPrefs(sec.get(), XSLT_SECPREF_READ_FILE, allow_read);
    xsltSetSecurityPrefs(sec.get(), XSLT_SECPREF_WRITE_FILE, refuse_write);
    xsltSetSecurityPrefs(sec.get(), XSLT_SECPREF_CREATE_DIRECTORY, refuse_mkdir);
    xsltSetSecurityPrefs(sec.get(), XSLT_SECPREF_READ_NETWORK, refuse_network);
    xsltSetSecurityPrefs(sec.get(), XSLT_SECPREF_WRITE_NETWORK, refuse_network);
    xsltSetCtxtSecurityPrefs(sec.get(), ctxt.get());
    ctxt->maxTemplateDepth = max_depth;
    ctxt->maxTemplateVars = max_depth * 5 > 15000 ? max_depth * 5 : 15000;
    xsltSetTransformErrorFunc(ctxt.get(), &errs, on_xslt_error);
    xsltSetCtxtParseOptions(ctxt.get(), XML_PARSE_NOENT | XML_PARSE_NOCDATA | XML_PARSE_NONET |
                                            XML_PARSE_NO_XXE | XML_PARSE_NO_SYS_CATALOG);
    if (ctxt->xpathCtxt != nullptr) {
      ctxt->xpathCtxt->error = on_xpath_error;
      ctxt->xpathCtxt->userData = &errs;
    }
    RunningGuard guard(ctxt.get(), &errs);
    xmlDocPtr result =
        xsltApplyStylesheetUser(x->style, work.get(), params, nullptr, nullptr, ctxt.get());
    errs.flush();
    DocHolder res(result);
    if (!res || ctxt->state == XSLT_STATE_ERROR || ctxt->state == XSLT_STATE_STOPPED) {
      if (!diag->has_errors()) diag->add(3, "the transform failed");
      return nullptr;
    }
    xmlChar* text = nullptr;
    int len = 0;
    if (xsltSaveResultToString(&text, &len, res.get(), x->style) != 0) {
      diag->add(3, "the transform's output cannot be serialised");
      return nullptr;
    }
    if (out != nullptr) {
      *out = reinterpret_cast<char*>(text);
    } else if (text != nullptr) {
      xmlFree(text);
    }
    if (out_length != nullptr) *out_length = len > 0 ? static_cast<size_t>(len) : 0;
    // The result is an ordinary engine document from here on.
    res->type = XML_DOCUMENT_NODE;
    side_of(res.get())->stable = true;
    return res.release();
  } catch (...) {
    diag->add(3, "internal error during the transform");
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_xslt_free(void* xslt) try { delete static_cast<Xslt*>(xslt); } catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
