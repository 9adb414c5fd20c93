// Compiled plans and the plan-value tree that evaluation builds.
#ifndef KORVITH_PLAN_MODEL_H
#define KORVITH_PLAN_MODEL_H

#include <libxml/tree.h>

#include <cstddef>
#include <string>
#include <vector>

#include "korvith/abi.h"
#include "plan_arena.h"

namespace korvith::plan {

// Row kinds, flags, type tags and value kinds are in korvith/abi.h.

// An element or attribute name: plain ("local", no namespace) or Clark
// ("{uri}local").
struct Name {
  std::string text;  // as written, the name values carry
  std::string local;
  std::string uri;
  bool has_uri = false;
};

struct Row {
  Name name;
  int kind = 0;
  int child_index = -1;
  int tag = 0;
  int flags = 0;
  size_t occurrence = 0;  // earlier text/callback/tokens/wrapped rows of the same name
};

struct Plan {
  std::vector<Name> attrs;
  std::vector<Row> rows;
};

struct CompiledPlan {
  std::vector<Plan> plans;
};

struct Value {
  const char* name;  // null for unnamed values
  const char* text;  // null: no text
  size_t length;
  size_t position;  // source line of the element the value comes from
  Value** items;    // record children or collection items
  size_t count;
  const char** attr_names;
  const char** attr_values;
  size_t attr_count;
  int kind;
  unsigned char tag;
};

struct Result {
  Arena arena;
  std::vector<Value*> scratch;  // child lists under construction
  Value* root = nullptr;
};

// Evaluates plan 0 of `plan` against `element` into `result` (whose arena
// the caller has reset). False when memory runs out.
bool evaluate(const CompiledPlan& plan, xmlNodePtr element, Result& result);

bool name_matches(const Name& name, const xmlChar* local, const xmlNs* ns);

}  // namespace korvith::plan

#endif
