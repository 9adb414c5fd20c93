/* libkorvith: the records and codes that cross the C ABI.
 *
 * One definition of every layout and enumeration the engine and its callers
 * exchange. The engine includes this header, and so does the extension
 * module (which still reaches the engine only through its bind table, never
 * by linking). The Python package mirrors the values it needs in
 * korvith/_engine.py; tests/engine/test_abi.py checks them against this file.
 * docs/engine.md describes every code.
 */
#ifndef KORVITH_ABI_H
#define KORVITH_ABI_H

#include <stddef.h>
#include <stdint.h>

/* ---- Statuses the engine reports itself (see also engine_ext.h) -------- */

/* An entry failed on an unexpected internal error; equals libxml2's
 * XML_ERR_INTERNAL_ERROR. */
#define KORVITH_STATUS_INTERNAL 1
/* An entry failed because memory ran out; equals libxml2's
 * XML_ERR_NO_MEMORY. */
#define KORVITH_STATUS_NO_MEMORY 2

#endif /* KORVITH_ABI_H */
