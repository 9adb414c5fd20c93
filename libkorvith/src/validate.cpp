// Validation against XML Schema, RELAX NG and DTDs.
//
// Every call brings its own diagnostics list; errors reach it through
// per-context structured handlers. Schemas pull in other files only through
// the access policy loader (local files inside the allowed directories).
// Validation runs on a copy of the document, so the caller's tree is never
// changed (XML Schema validation registers IDs, DTD validation may add
// defaulted attributes).
#include <libxml/relaxng.h>
#include <libxml/valid.h>
#include <libxml/xmlschemas.h>

#include "ext_common.h"
#include "entry.h"

namespace korvith {
namespace {

struct Schema {
  int kind = 0;
  AccessPolicy policy;
  DocHolder doc;  // the schema document (XML Schema keeps pointers into it)
  xmlSchemaPtr xsd = nullptr;
  xmlRelaxNGPtr rng = nullptr;
  xmlDtdPtr dtd = nullptr;

  ~Schema() {
    if (xsd != nullptr) xmlSchemaFree(xsd);
    if (rng != nullptr) xmlRelaxNGFree(rng);
    if (dtd != nullptr) xmlFreeDtd(dtd);
  }
};

bool compile_xsd(Schema& s, Diag& diag) {
  xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewDocParserCtxt(s.doc.get());
  if (pctxt == nullptr) return false;
  xmlSchemaSetParserStructuredErrors(pctxt, diag_structured, &diag);
  xmlSchemaSetResourceLoader(pctxt, policy_loader, &s.policy);
  s.xsd = xmlSchemaParse(pctxt);
  xmlSchemaFreeParserCtxt(pctxt);
  return s.xsd != nullptr;
}

bool compile_rng(Schema& s, Diag& diag) {
  xmlRelaxNGParserCtxtPtr pctxt = xmlRelaxNGNewDocParserCtxt(s.doc.get());
  if (pctxt == nullptr) return false;
  xmlRelaxNGSetParserStructuredErrors(pctxt, diag_structured, &diag);
  xmlRelaxNGSetResourceLoader(pctxt, policy_loader, &s.policy);
  s.rng = xmlRelaxNGParse(pctxt);
  xmlRelaxNGFreeParserCtxt(pctxt);
  return s.rng != nullptr;
}

bool compile_dtd(Schema& s, const char* data, size_t length, const char* base, Diag& diag) {
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) return false;
  xmlCtxtSetErrorHandler(ctxt, diag_structured, &diag);
  xmlCtxtSetResourceLoader(ctxt, policy_loader, &s.policy);
  xmlCtxtSetOptions(
      ctxt, XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_BIG_LINES | XML_PARSE_NO_SYS_CATALOG);
  xmlParserInputPtr input = xmlNewInputFromMemory(base, data != nullptr ? data : "", length,
                                                  static_cast<xmlParserInputFlags>(0));
  if (input != nullptr) {
    s.dtd = xmlCtxtParseDtd(ctxt, input, nullptr, xstr(base));
  }
  xmlFreeParserCtxt(ctxt);
  return s.dtd != nullptr && !diag.has_errors();
}

// 1 valid, 0 invalid, -1 could not validate.
int validate_dtd(xmlDocPtr work, xmlDtdPtr dtd, Diag& diag) {
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (ctxt == nullptr) return -1;
  xmlCtxtSetErrorHandler(ctxt, diag_structured, &diag);
  xmlCtxtSetResourceLoader(ctxt, policy_loader, nullptr);  // refuses everything
  int ok;
  if (dtd != nullptr) {
    ok = xmlCtxtValidateDtd(ctxt, work, dtd);
  } else {
    // Only the internal subset: the copy forgets any external one so
    // that validation never tries to load it.
    xmlDtdPtr internal = work->intSubset;
    if (internal != nullptr) {
      xmlFree(const_cast<xmlChar*>(internal->ExternalID));
      xmlFree(const_cast<xmlChar*>(internal->SystemID));
      internal->ExternalID = nullptr;
      internal->SystemID = nullptr;
    }
    ok = xmlCtxtValidateDocument(ctxt, work);
  }
  xmlFreeParserCtxt(ctxt);
  return ok ? 1 : 0;
}

}  // namespace
}  // namespace korvith

using namespace korvith;

extern "C" {

void* korvith_schema_compile(int kind, const char* data, size_t length, const char* base,
                             const char* allowed_dirs, void* diag_ptr) try {
  auto* diag = static_cast<Diag*>(diag_ptr);
  if (diag == nullptr) return nullptr;
  try {
    if (kind < KORVITH_SCHEMA_XSD || kind > KORVITH_SCHEMA_DTD) {
      diag->add(3, "unknown schema kind " + std::to_string(kind));
      return nullptr;
    }
    auto s = std::make_unique<Schema>();
    s->kind = kind;
    s->policy.diag = diag;
    s->policy.load(allowed_dirs);
    bool ok;
    if (kind == KORVITH_SCHEMA_DTD) {
      ok = compile_dtd(*s, data, length, base, *diag);
    } else {
      s->doc.reset(parse_with_policy(data, length, base, &s->policy, diag));
      if (!s->doc) return nullptr;
      ok = kind == KORVITH_SCHEMA_XSD ? compile_xsd(*s, *diag) : compile_rng(*s, *diag);
    }
    // A refused include or import is fatal even where libxml2 only warns
    // (a failed xs:import is skipped): the schema would silently mean
    // something else than its author wrote.
    if (!ok || !s->policy.refused.empty()) {
      if (!diag->has_errors()) diag->add(3, "the schema does not compile");
      return nullptr;
    }
    s->policy.diag = nullptr;  // the list belongs to this call only
    return s.release();
  } catch (...) {
    diag->add(3, "internal error while compiling the schema");
    return nullptr;
  }
} catch (...) {
  return korvith::entry_failed<void*>(nullptr);
}

int korvith_schema_validate(void* schema, void* document, void* element, void* diag_ptr) try {
  auto* diag = static_cast<Diag*>(diag_ptr);
  auto* doc = static_cast<xmlDocPtr>(document);
  if (diag == nullptr || doc == nullptr) return -1;
  try {
    auto* s = static_cast<Schema*>(schema);
    DocHolder work(copy_for_work(doc, as_node(element), false));
    if (!work) {
      diag->add(3, "out of memory");
      return -1;
    }
    if (s == nullptr) {  // the document's own internal DTD
      if (doc->intSubset == nullptr) {
        diag->add(3, "the document has no DTD");
        return -1;
      }
      return validate_dtd(work.get(), nullptr, *diag);
    }
    int rc = -1;
    if (s->kind == KORVITH_SCHEMA_XSD) {
      xmlSchemaValidCtxtPtr v = xmlSchemaNewValidCtxt(s->xsd);
      if (v == nullptr) return -1;
      xmlSchemaSetValidStructuredErrors(v, diag_structured, diag);
      rc = xmlSchemaValidateDoc(v, work.get());
      xmlSchemaFreeValidCtxt(v);
      rc = rc == 0 ? 1 : rc > 0 ? 0 : -1;
    } else if (s->kind == KORVITH_SCHEMA_RELAXNG) {
      xmlRelaxNGValidCtxtPtr v = xmlRelaxNGNewValidCtxt(s->rng);
      if (v == nullptr) return -1;
      xmlRelaxNGSetValidStructuredErrors(v, diag_structured, diag);
      rc = xmlRelaxNGValidateDoc(v, work.get());
      xmlRelaxNGFreeValidCtxt(v);
      rc = rc == 0 ? 1 : rc > 0 ? 0 : -1;
    } else {
      rc = validate_dtd(work.get(), s->dtd, *diag);
    }
    if (rc == -1 && !diag->has_errors()) diag->add(3, "validation could not run");
    return rc;
  } catch (...) {
    diag->add(3, "internal error during validation");
    return -1;
  }
} catch (...) {
  return korvith::entry_failed<int>(-1);
}

void korvith_schema_free(void* schema) try { delete static_cast<Schema*>(schema); } catch (...) {
  korvith::entry_failed();
}

}  // extern "C"
