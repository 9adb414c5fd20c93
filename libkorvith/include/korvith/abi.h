/* libkorvith: the records and codes that cross the C ABI.
 *
 * The one definition of every layout and enumeration that the engine and
 * its callers exchange. The engine includes this header, and so does the
 * extension module (which still reaches the engine only through its bind
 * table, never by linking). The Python package mirrors the values it needs
 * (korvith/_engine.py, korvith/extract.py); tests/engine/test_abi.py checks
 * them against this file. docs/engine.md and docs/plans.md describe them.
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

/* ---- Parsing ------------------------------------------------------------ */

/* Bits of the `flags` field of the parse options record (and of the
 * iterparse `flags` argument). Any other bit makes the parse fail with
 * status KORVITH_STATUS_BAD_OPTIONS. */
#define KORVITH_PARSE_NOBLANKS 0x01      /* drop ignorable whitespace-only text */
#define KORVITH_PARSE_NOCDATA 0x02       /* CDATA sections become plain text */
#define KORVITH_PARSE_HUGE 0x04          /* lift the size and depth limits */
#define KORVITH_PARSE_KEEP_ENTITIES 0x08 /* keep internal entity references as nodes */
#define KORVITH_PARSE_NSCLEAN 0x10       /* drop redundant namespace declarations */
/* Attribute defaults declared in the internal DTD subset are applied unless
 * this bit is set (an external subset is never read for them). */
#define KORVITH_PARSE_NO_DEFAULT_ATTRS 0x100
#define KORVITH_PARSE_NO_COMMENTS 0x200 /* drop comments; text around them merges */
#define KORVITH_PARSE_NO_PIS 0x400      /* drop processing instructions likewise */
#define KORVITH_PARSE_ALL 0x71F

/* The options record of korvith_parse_string_ex. */
typedef struct korvith_parse_options {
  int32_t flags;       /* KORVITH_PARSE_* bits */
  int32_t strict_mode; /* -1 default, 0 lenient, 1 warnings are errors */
  int32_t max_depth;   /* 0: libxml2's limit */
  int32_t recover;     /* non-zero: repair malformed input */
} korvith_parse_options;

/* ---- Serialisation ------------------------------------------------------ */

/* The options record of the serialisation entries (null: the defaults). */
typedef struct korvith_serialize_options {
  int32_t indent;          /* spaces per level; 0 keeps the text as it is */
  int32_t xml_declaration; /* non-zero: write <?xml ...?> */
  const char* encoding;    /* null or "": the engine chooses (UTF-8) */
} korvith_serialize_options;

/* ---- Nodes -------------------------------------------------------------- */

/* Codes of korvith_node_get_type. */
#define KORVITH_NODE_ELEMENT 0
#define KORVITH_NODE_TEXT 1
#define KORVITH_NODE_ATTRIBUTE 2
#define KORVITH_NODE_CDATA 3
#define KORVITH_NODE_COMMENT 4
#define KORVITH_NODE_PI 5
#define KORVITH_NODE_ENTITY_REF 6
#define KORVITH_NODE_DOCUMENT 7
#define KORVITH_NODE_OTHER 8
#define KORVITH_NODE_NONE (-1)
/* Kind of an XPath namespace node in a result snapshot. */
#define KORVITH_NODE_NAMESPACE 9

/* ---- XPath -------------------------------------------------------------- */

/* Codes of korvith_xpath_result_type. */
#define KORVITH_RESULT_NODESET 0
#define KORVITH_RESULT_BOOLEAN 1
#define KORVITH_RESULT_NUMBER 2
#define KORVITH_RESULT_STRING 3
#define KORVITH_RESULT_NONE 4

/* Kinds of the values of a variable set (korvith_variable_set_*), also the
 * tags of the module's flat variable lists. */
#define KORVITH_VARIABLE_BOOLEAN 0
#define KORVITH_VARIABLE_NUMBER 1
#define KORVITH_VARIABLE_STRING 2

/* ---- Plans (docs/plans.md) ---------------------------------------------- */

/* Row kinds of a plan description. */
#define KORVITH_ROW_TEXT 1     /* text of the n-th child element with the row's name */
#define KORVITH_ROW_TEXTS 2    /* texts of all child elements with that name */
#define KORVITH_ROW_RECORDS 3  /* child elements with that name, as records */
#define KORVITH_ROW_CALLBACK 4 /* like KORVITH_ROW_TEXT, as a callback value */
#define KORVITH_ROW_TOKENS 5   /* whitespace-separated tokens of the child's text */
#define KORVITH_ROW_OWN_TEXT 6 /* the record element's own text */
#define KORVITH_ROW_WRAPPED 7  /* the element children of a wrapper child */

/* Row flag: only the first matching child counts. */
#define KORVITH_ROW_FIRST_ONLY 1

/* Type tags of rows and values: how a leaf's text reads. */
#define KORVITH_TAG_STR 0
#define KORVITH_TAG_INT 1
#define KORVITH_TAG_FLOAT 2
#define KORVITH_TAG_BOOL 3

/* Kinds of plan values (korvith_plan_value_kind). */
#define KORVITH_VALUE_RECORD 0
#define KORVITH_VALUE_TEXT 1
#define KORVITH_VALUE_COLLECTION 2
#define KORVITH_VALUE_CALLBACK 4

/* ---- SAX recordings ----------------------------------------------------- */

/* Kinds of SAX records. Kinds 11 to 255 are reserved: a reader skips them. */
#define KORVITH_SAX_START_DOCUMENT 0
#define KORVITH_SAX_END_DOCUMENT 1
#define KORVITH_SAX_START_ELEMENT 2
#define KORVITH_SAX_END_ELEMENT 3
#define KORVITH_SAX_CHARACTERS 4
#define KORVITH_SAX_COMMENT 5
#define KORVITH_SAX_CDATA 6
#define KORVITH_SAX_PROCESSING_INSTRUCTION 7
#define KORVITH_SAX_START_PREFIX_MAPPING 8
#define KORVITH_SAX_END_PREFIX_MAPPING 9
#define KORVITH_SAX_ERROR 10
#define KORVITH_SAX_KIND_COUNT 11

/* One recorded SAX event: 40 bytes, records contiguous, integers in the
 * machine's byte order. Offsets count from the start of the string arena
 * (korvith_sax_arena). */
typedef struct korvith_sax_record {
  uint8_t kind; /* KORVITH_SAX_* */
  uint8_t reserved[7];
  uint32_t name_off;
  uint32_t name_len;
  uint32_t text_off;
  uint32_t text_len;
  uint32_t attrs_off; /* first of attr_count (name NUL value NUL) pairs */
  uint32_t attr_count;
  uint32_t line;   /* error records only */
  uint32_t column; /* error records only */
} korvith_sax_record;

#ifdef __cplusplus
static_assert(sizeof(korvith_parse_options) == 16, "four 32-bit fields");
static_assert(sizeof(korvith_sax_record) == 40, "records have a 40-byte stride");
static_assert(offsetof(korvith_sax_record, name_off) == 8);
static_assert(offsetof(korvith_sax_record, attrs_off) == 24);
static_assert(offsetof(korvith_sax_record, column) == 36);
#endif

#endif /* KORVITH_ABI_H */
