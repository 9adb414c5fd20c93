// The EXSLT functions, registered on one transform context.
#ifndef KORVITH_XSLT_EXSLT_H
#define KORVITH_XSLT_EXSLT_H

#include <libxslt/xsltInternals.h>

namespace korvith {

// Registers the EXSLT functions korvith offers on the transform's own
// XPath context (nothing goes into libxslt's process-wide registry).
// False when out of memory.
bool register_exslt(xsltTransformContextPtr ctxt);

}  // namespace korvith

#endif
