// HTML parsing: libxml2's HTML parser with recovery, no network and no
// external resources, producing an ordinary engine document.
#include <libxml/HTMLparser.h>

#include "ext_common.h"
#include "entry.h"

namespace korvith {
namespace {

struct HtmlErrors {
  int code = 0;
  std::string message;
  int line = 0;
  int column = 0;
};

void on_html_error(void* data, const xmlError* err) {
  auto* e = static_cast<HtmlErrors*>(data);
  if (e == nullptr || err == nullptr || e->code != 0 || err->level < XML_ERR_ERROR) return;
  try {  // called from libxml2's C code: no exception may leave
    e->message = trim_message(err->message);
  } catch (...) {
  }
  e->code = err->code != 0 ? err->code : XML_ERR_INTERNAL_ERROR;
  e->line = err->line;
  e->column = err->int2;
}

xmlParserErrors refuse_all(void*, const char*, const char*, xmlResourceType, xmlParserInputFlags,
                           xmlParserInput** out) {
  if (out != nullptr) *out = nullptr;
  return XML_IO_NETWORK_ATTEMPT;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" void* korvith_html_parse(const char* data, size_t length, const char* encoding,
                                    const char* url, int* status) try {
  try {
    if (length > static_cast<size_t>(INT_MAX)) {
      if (status != nullptr) *status = XML_ERR_RESOURCE_LIMIT;
      error_set(XML_ERR_RESOURCE_LIMIT, "HTML input larger than 2 GiB", 0, 0);
      return nullptr;
    }
    htmlParserCtxtPtr ctxt = htmlNewParserCtxt();
    if (ctxt == nullptr) {
      if (status != nullptr) *status = XML_ERR_NO_MEMORY;
      error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
      return nullptr;
    }
    HtmlErrors errs;
    xmlCtxtSetErrorHandler(ctxt, on_html_error, &errs);
    xmlCtxtSetResourceLoader(ctxt, refuse_all, nullptr);
    int opts = HTML_PARSE_RECOVER | HTML_PARSE_NONET | HTML_PARSE_NODEFDTD | HTML_PARSE_COMPACT |
               HTML_PARSE_BIG_LINES;
    htmlDocPtr doc =
        htmlCtxtReadMemory(ctxt, data != nullptr ? data : "", static_cast<int>(length), url,
                           (encoding != nullptr && *encoding) ? encoding : nullptr, opts);
    xmlFreeParserCtxt(ctxt);
    if (doc != nullptr && xmlDocGetRootElement(doc) == nullptr) {
      // Empty input (or only a doctype or comments): no page to query.
      xmlFreeDoc(doc);
      doc = nullptr;
    }
    if (doc == nullptr) {
      int code = errs.code != 0 ? errs.code : XML_ERR_DOCUMENT_EMPTY;
      if (status != nullptr) *status = code;
      error_set(code, errs.message.empty() ? "no HTML content" : errs.message, errs.line,
                errs.column);
      return nullptr;
    }
    // From here on the tree is an ordinary document: the rest of the
    // engine (navigation, XPath, serialisation) treats it like XML.
    doc->type = XML_DOCUMENT_NODE;
    side_of(doc)->stable = true;
    if (status != nullptr) *status = errs.code;
    if (errs.code != 0) {
      error_set(errs.code, errs.message, errs.line, errs.column);
    } else {
      error_clear();
    }
    return doc;
  } catch (...) {
    if (status != nullptr) *status = XML_ERR_NO_MEMORY;
    error_set(XML_ERR_NO_MEMORY, "out of memory", 0, 0);
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}
