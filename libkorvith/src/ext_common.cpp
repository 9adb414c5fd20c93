// Diagnostics lists, the file access policy and the work copies shared by
// the validation, canonical XML and XSLT units.
#include "ext_common.h"

#include <libxml/uri.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include "entry.h"

namespace korvith {

void Diag::add(int level, std::string message, int line, int column, std::string path,
               std::string file) {
  // Bounded: a hostile document cannot make the list grow without end.
  constexpr size_t kMaxEntries = 10000;
  if (entries.size() >= kMaxEntries) return;
  entries.push_back(
      DiagEntry{level, line, column, std::move(message), std::move(path), std::move(file)});
}

void Diag::add_error(const xmlError* err) {
  if (err == nullptr) return;
  std::string path;
  if (err->node != nullptr) {
    auto* node = static_cast<xmlNodePtr>(err->node);
    if (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) {
      xmlChar* p = xmlGetNodePath(node);
      if (p != nullptr) {
        path = cstr(p);
        xmlFree(p);
      }
    }
  }
  int level = err->level == XML_ERR_WARNING ? 1 : err->level == XML_ERR_FATAL ? 3 : 2;
  add(level, trim_message(err->message), err->line, err->int2, std::move(path),
      err->file != nullptr ? err->file : "");
}

bool Diag::has_errors() const {
  for (const auto& e : entries) {
    if (e.level >= 2) return true;
  }
  return false;
}

void diag_structured(void* data, const xmlError* err) {
  // Called from libxml2's C code: no exception may leave.
  try {
    if (data != nullptr) static_cast<Diag*>(data)->add_error(err);
  } catch (...) {
  }
}

namespace {

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return {};
  return buf;
}

bool has_scheme(const std::string& url) {
  size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = url[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

std::string unescape(const std::string& s) {
  char* out = xmlURIUnescapeString(s.c_str(), 0, nullptr);
  if (out == nullptr) return s;
  std::string r(out);
  xmlFree(out);
  return r;
}

bool read_file(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace

void AccessPolicy::load(const char* dirs_list) {
  if (dirs_list == nullptr) return;
  for (const char* p = dirs_list; *p != '\0'; p += std::strlen(p) + 1) {
    std::string c = canonical(p);
    if (!c.empty()) {
      while (c.size() > 1 && c.back() == '/') c.pop_back();
      dirs.push_back(c);
    }
  }
}

void AccessPolicy::refuse(const std::string& url, const std::string& why) {
  if (!refused.insert(url).second) return;
  if (diag != nullptr) diag->add(3, "refused to load '" + url + "': " + why);
}

std::string AccessPolicy::check(const std::string& url) {
  std::string path = url;
  if (has_scheme(url)) {
    if (url.rfind("file://", 0) == 0) {
      path = url.substr(7);
      if (!path.empty() && path[0] != '/') {
        refuse(url, "not a local file");
        return {};
      }
    } else if (url.rfind("file:", 0) == 0) {
      path = url.substr(5);
    } else {
      refuse(url, "network access is not allowed");
      return {};
    }
    path = unescape(path);
  }
  std::string real = canonical(path);
  if (real.empty()) {
    refuse(url, "no such file");
    return {};
  }
  struct stat st;
  if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    refuse(url, "not a regular file");
    return {};
  }
  for (const auto& d : dirs) {
    if (real.size() > d.size() && real.compare(0, d.size(), d) == 0 &&
        (d == "/" || real[d.size()] == '/')) {
      return real;
    }
  }
  refuse(url, "outside the allowed directories");
  return {};
}

namespace {

xmlParserErrors load_allowed(void* data, const char* url, xmlParserInput** out) {
  auto* policy = static_cast<AccessPolicy*>(data);
  if (policy == nullptr || url == nullptr || out == nullptr) return XML_IO_NETWORK_ATTEMPT;
  std::string path = policy->check(url);
  if (path.empty()) return XML_IO_NETWORK_ATTEMPT;
  std::string content;
  if (!read_file(path, content)) {
    policy->refuse(url, "cannot be read");
    return XML_IO_EACCES;
  }
  // Copied by libxml2 (no STATIC flag); the URL keeps relative references
  // of the loaded document resolving against its own location.
  *out = xmlNewInputFromMemory(url, content.data(), content.size(),
                               static_cast<xmlParserInputFlags>(0));
  return *out != nullptr ? XML_ERR_OK : XML_ERR_NO_MEMORY;
}

}  // namespace

xmlParserErrors policy_loader(void* data, const char* url, const char*, xmlResourceType,
                              xmlParserInputFlags, xmlParserInput** out) {
  if (out != nullptr) *out = nullptr;
  // Called from libxml2's C code: no exception may leave.
  try {
    return load_allowed(data, url, out);
  } catch (...) {
    return XML_ERR_NO_MEMORY;
  }
}

xmlDocPtr parse_with_policy(const char* data, size_t length, const char* base, AccessPolicy* policy,
                            Diag* diag) {
  if (length > static_cast<size_t>(INT_MAX)) {
    diag->add(3, "document larger than 2 GiB");
    return nullptr;
  }
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) {
    diag->add(3, "out of memory");
    return nullptr;
  }
  size_t before = diag->entries.size();
  xmlCtxtSetErrorHandler(ctxt, diag_structured, diag);
  xmlCtxtSetResourceLoader(ctxt, policy_loader, policy);
  // No XML_PARSE_HUGE: libxml2's entity amplification and size limits
  // stay on, so an entity bomb inside a schema fails instead of expanding.
  int opts = XML_PARSE_NONET | XML_PARSE_NO_XXE | XML_PARSE_NOENT | XML_PARSE_BIG_LINES |
             XML_PARSE_NO_SYS_CATALOG;
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, data != nullptr ? data : "", static_cast<int>(length),
                                    base, nullptr, opts);
  bool wf = true;
  for (size_t i = before; i < diag->entries.size(); ++i) {
    if (diag->entries[i].level >= 2) wf = false;
  }
  xmlFreeParserCtxt(ctxt);
  if (doc != nullptr && !wf) {
    xmlFreeDoc(doc);
    doc = nullptr;
  }
  if (doc == nullptr && !diag->has_errors()) diag->add(3, "document is not well-formed");
  return doc;
}

namespace {

// Declares on `root` every namespace in scope at `original` that the copy
// does not declare itself, as a subtree canonicalisation expects.
void copy_parent_namespaces(xmlNodePtr original, xmlNodePtr root) {
  for (xmlNodePtr p = original->parent; p != nullptr && p->type == XML_ELEMENT_NODE;
       p = p->parent) {
    for (xmlNsPtr ns = p->nsDef; ns != nullptr; ns = ns->next) {
      bool declared = false;
      for (xmlNsPtr d = root->nsDef; d != nullptr; d = d->next) {
        if ((d->prefix == nullptr && ns->prefix == nullptr) ||
            (d->prefix != nullptr && ns->prefix != nullptr && xmlStrEqual(d->prefix, ns->prefix))) {
          declared = true;
          break;
        }
      }
      if (!declared) xmlNewNs(root, ns->href, ns->prefix);
    }
  }
}

}  // namespace

xmlDocPtr copy_for_work(xmlDocPtr doc, xmlNodePtr element, bool parent_namespaces) {
  if (doc == nullptr) return nullptr;
  bool whole = element == nullptr || element == xmlDocGetRootElement(doc);
  if (whole && !parent_namespaces) return xmlCopyDoc(doc, 1);
  if (element == nullptr) return nullptr;
  xmlDocPtr out = xmlCopyDoc(doc, 0);
  if (out == nullptr) return nullptr;
  xmlNodePtr copy = xmlDocCopyNode(element, out, 1);
  if (copy == nullptr) {
    xmlFreeDoc(out);
    return nullptr;
  }
  xmlDocSetRootElement(out, copy);
  if (parent_namespaces) copy_parent_namespaces(element, copy);
  return out;
}

}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_diag_new(void) try { return new Diag(); } catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

void korvith_diag_free(void* diag) try { delete static_cast<Diag*>(diag); } catch (...) {
  korvith::entry_failed();
}

size_t korvith_diag_count(void* diag) try {
  return diag != nullptr ? static_cast<Diag*>(diag)->entries.size() : 0;
} catch (...) {
  return korvith::entry_failed<size_t>(0);
}

int korvith_diag_entry(void* diag, size_t index, int* line, int* column, const char** message,
                       const char** path, const char** file) try {
  auto* d = static_cast<Diag*>(diag);
  if (d == nullptr || index >= d->entries.size()) return -1;
  const DiagEntry& e = d->entries[index];
  if (line != nullptr) *line = e.line;
  if (column != nullptr) *column = e.column;
  if (message != nullptr) *message = e.message.c_str();
  if (path != nullptr) *path = e.path.c_str();
  if (file != nullptr) *file = e.file.c_str();
  return e.level;
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void korvith_buffer_free(void* buffer) try { xmlFree(buffer); } catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
