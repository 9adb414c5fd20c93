// Shared pieces of the validation, HTML, canonical XML and XSLT units: the
// per-call diagnostics list and the file access policy for schemas and
// stylesheets that pull in other files.
#ifndef KORVITH_EXT_COMMON_H
#define KORVITH_EXT_COMMON_H

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "internal.h"

namespace korvith {

// One error or warning of a validation, compile or transform call.
struct DiagEntry {
  int level = 2;  // 1 warning, 2 error, 3 fatal
  int line = 0;
  int column = 0;
  std::string message;
  std::string path;  // the element's path (/a/b[2]) when known
  std::string file;
};

// Collects the diagnostics of the calls it is handed to. Each call gets its
// own list from the caller, so nothing leaks from one call into the next
// and no process-wide handler is ever installed.
struct Diag {
  std::vector<DiagEntry> entries;
  void add(int level, std::string message, int line = 0, int column = 0, std::string path = {},
           std::string file = {});
  void add_error(const xmlError* err);
  bool has_errors() const;
};

// libxml2 structured error callback that appends to a Diag.
void diag_structured(void* data, const xmlError* err);

// Which local files a schema or stylesheet may pull in: only regular files
// inside one of the directories (resolved with realpath). Every other
// location, and every URL with a scheme other than file:, is refused and
// the refusal is recorded in the Diag, naming the location.
struct AccessPolicy {
  std::vector<std::string> dirs;  // canonical, without trailing slash
  Diag* diag = nullptr;
  std::set<std::string> refused;  // each refusal reported once

  // dirs_list: directories separated by NUL bytes, ended by an empty one.
  void load(const char* dirs_list);
  // The local path for `url` when it may be read; empty (and the refusal
  // recorded) when not.
  std::string check(const std::string& url);
  void refuse(const std::string& url, const std::string& why);
};

// A resource loader (libxml2 >= 2.14) that reads what the policy allows.
xmlParserErrors policy_loader(void* data, const char* url, const char* public_id,
                              xmlResourceType type, xmlParserInputFlags flags,
                              xmlParserInput** out);

// Parses bytes into a document with the engine's safe settings, the given
// policy as loader, errors into the Diag. base names the document (for
// relative references); may be null.
xmlDocPtr parse_with_policy(const char* data, size_t length, const char* base, AccessPolicy* policy,
                            Diag* diag);

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocHolder = std::unique_ptr<xmlDoc, DocFree>;

// A copy of the document (whole) or of one element as the root of a new
// document. With parent_namespaces (canonical XML of a subtree) the copy
// is always the element alone, declaring every namespace in scope at it,
// even for the root element (no comments or PIs around it). Validation and transforms work on
// copies so the caller's tree is never changed (libxml2 registers IDs and default attributes,
// libxslt strips whitespace in the source).
xmlDocPtr copy_for_work(xmlDocPtr doc, xmlNodePtr element, bool parent_namespaces);

}  // namespace korvith

#endif
