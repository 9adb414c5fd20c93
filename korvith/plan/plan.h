// Compiled plan shapes: the records that steer the conversion of engine
// plan results into dictionaries.
//
// A shape is compiled once from the package's plan description and only
// read afterwards, so one shape may serve any number of conversions. All of
// its memory comes from the system heap; the shape capsule owns the
// `PlanShapeC`, which owns everything reachable from it.
#pragma once

#include "../common.h"
#include "korvith/abi.h"

namespace korvith {

struct PlanRowC {
  char* name;        // owned, NUL-terminated UTF-8 copy of the row's name
  PyObject* key;     // strong reference: the dictionary key for the row's value
  int kind;
  int child_index;
  int multi;         // 1 when another row of the same plan has a byte-equal name
  int tag;
};

struct PlanPlanC {
  char** attr_names;     // owned UTF-8 copies, index for index with attr_keys
  PyObject** attr_keys;  // strong references to the caller's name objects
  Py_ssize_t attr_count;
  PlanRowC* rows;
  Py_ssize_t row_count;
};

struct PlanShapeC {
  PlanPlanC* plans;  // at least one zero-filled entry, even for no plans
  Py_ssize_t plan_count;
  PyObject* callback_type;
};

// Releases a shape and everything it owns; tolerates null, partly built
// plans and missing arrays.
void plan_shape_free_c(PlanShapeC* shape);
// Destructor of the (unnamed) shape capsule; also identifies such capsules.
void plan_shape_capsule_destructor(PyObject* capsule);

}  // namespace korvith
