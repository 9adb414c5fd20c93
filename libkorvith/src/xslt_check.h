// Checks a stylesheet before libxslt compiles it.
//
// libxslt reports compile errors (unknown or misplaced XSLT elements,
// missing required attributes, expressions and patterns that do not
// compile) only through its process-wide generic error handler, which the
// engine must not replace. This check finds those errors first and records
// them, with the element's line, in the caller's diagnostics, so the
// stylesheet is refused before libxslt ever prints anything.
#ifndef KORVITH_XSLT_CHECK_H
#define KORVITH_XSLT_CHECK_H

#include <libxml/tree.h>

#include "ext_common.h"

namespace korvith {

// True when the stylesheet document has none of the errors the check
// knows; otherwise false with every error found recorded in diag. file
// names the stylesheet in the diagnostics (may be empty).
bool check_stylesheet(xmlDocPtr doc, const std::string& file, Diag* diag);

}  // namespace korvith

#endif
