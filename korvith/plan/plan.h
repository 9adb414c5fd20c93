// Compiled plan shapes: the records that steer the conversion of engine
// plan results into dictionaries.
//
// A shape is compiled once from the package's plan description and only
// read afterwards, so one shape may serve any number of conversions. All of
// its memory comes from the system heap; the shape capsule owns the
// `PlanShape`, whose members own everything reachable from it.
#pragma once

#include "../common.h"
#include "korvith/abi.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace korvith {

// A heap copy of a NUL-terminated string, freed with its holder.
struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};
using OwnedString = std::unique_ptr<char, FreeDeleter>;

// How one row of a plan converts.
struct RowShape {
  OwnedString name;  // NUL-terminated UTF-8 copy of the row's name
  Ref key;           // the dictionary key for the row's value
  int kind = 0;
  int child_index = 0;
  int multi = 0;  // 1 when another row of the same plan has a byte-equal name
  int tag = 0;
};

// How one record converts: its plan's attributes and rows.
struct RecordShape {
  std::vector<OwnedString> attr_names;  // UTF-8 copies, index for index with attr_keys
  std::vector<Ref> attr_keys;           // the caller's name objects
  std::vector<RowShape> rows;

  Py_ssize_t attr_count() const { return static_cast<Py_ssize_t>(attr_keys.size()); }
  Py_ssize_t row_count() const { return static_cast<Py_ssize_t>(rows.size()); }
};

// A compiled plan: one record shape per plan, plan 0 first.
struct PlanShape {
  std::vector<RecordShape> plans;  // at least one (empty) entry, even for no plans
  Py_ssize_t plan_count = 0;
  Ref callback_type;
};

// Destructor of the (unnamed) shape capsule, which owns its PlanShape;
// also identifies such capsules.
void plan_shape_capsule_destructor(PyObject* capsule);

}  // namespace korvith
