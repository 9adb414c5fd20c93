// Compiling a plan description into a shape capsule.
//
// The description is a sequence of plans, each (attr_names, rows), each row
// (name, kind, child_index, tag). Compilation copies every name into UTF-8
// (the conversion compares names byte-wise with the engine's), keeps the
// caller's name objects as dictionary keys, and marks rows whose name is
// shared with another row of the same plan (`multi`).
#include "plan.h"

#include "../module.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace korvith {

namespace {

// Sizes a vector; false with MemoryError set when memory runs out.
template <typename T>
bool sized(std::vector<T>& items, Py_ssize_t count) {
  try {
    items.resize(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// Heap copy of the UTF-8 encoding of `text`, up to its first NUL; null with
// the encoder's error or MemoryError set.
OwnedString utf8_copy(PyObject* text) {
  Ref encoded(PyUnicode_AsUTF8String(text));
  if (!encoded) return nullptr;
  const char* bytes = PyBytes_AS_STRING(encoded.get());
  size_t len = std::strlen(bytes);
  OwnedString copy(static_cast<char*>(std::malloc(len + 1)));
  if (!copy) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memcpy(copy.get(), bytes, len + 1);
  return copy;
}

// The row kinds that recurse check their plan index here, once, so that a
// conversion can never index outside the plans array. Kind 7 rows with a
// negative index hold leaves, not records, and are valid.
bool check_child_index(const RowShape& row, Py_ssize_t plan, Py_ssize_t index,
                       Py_ssize_t plan_count) {
  bool valid = true;
  if (row.kind == KORVITH_ROW_RECORDS) {
    valid = row.child_index >= 0 && row.child_index < plan_count;
  } else if (row.kind == KORVITH_ROW_WRAPPED) {
    valid = row.child_index < plan_count;
  }
  if (valid) return true;
  PyErr_Format(PyExc_ValueError,
               "plan %zd row %zd (kind %d): child_index %d is not a plan index (0 to %zd)", plan,
               index, row.kind, row.child_index, plan_count - 1);
  return false;
}

void mark_shared_names(RecordShape& plan) {
  for (Py_ssize_t i = 0; i < plan.row_count(); ++i) {
    const char* name = plan.rows[i].name.get();
    if (!name) continue;
    for (Py_ssize_t j = i + 1; j < plan.row_count(); ++j) {
      const char* other = plan.rows[j].name.get();
      if (other && std::strcmp(name, other) == 0) {
        plan.rows[i].multi = 1;
        plan.rows[j].multi = 1;
      }
    }
  }
}

bool build_attributes(RecordShape& plan, PyObject* names_seq) {
  PyObject** items = PySequence_Fast_ITEMS(names_seq);
  for (Py_ssize_t a = 0; a < plan.attr_count(); ++a) {
    plan.attr_names[a] = utf8_copy(items[a]);
    if (!plan.attr_names[a]) return false;
    plan.attr_keys[a] = Ref::borrow(items[a]);
  }
  return true;
}

bool build_rows(RecordShape& plan, PyObject* rows_seq, Py_ssize_t plan_index,
                Py_ssize_t plan_count) {
  PyObject** items = PySequence_Fast_ITEMS(rows_seq);
  for (Py_ssize_t r = 0; r < plan.row_count(); ++r) {
    RowShape& row = plan.rows[r];
    PyObject* name = nullptr;
    // A row is parsed as an argument tuple: whatever is not a tuple of four
    // fails with the argument parser's own error, unchanged.
    if (!PyArg_ParseTuple(items[r], "Oiii", &name, &row.kind, &row.child_index, &row.tag)) {
      return false;
    }
    row.name = utf8_copy(name);
    if (!row.name) return false;
    row.key = Ref::borrow(name);
    if (!check_child_index(row, plan_index, r, plan_count)) return false;
  }
  return true;
}

bool build_plan(RecordShape& plan, PyObject* item, Py_ssize_t plan_index, Py_ssize_t plan_count) {
  PyObject* attr_names = nullptr;
  PyObject* rows = nullptr;
  // Parsed as an argument tuple, like a row: the parser's error stands.
  if (!PyArg_ParseTuple(item, "OO", &attr_names, &rows)) return false;
  Ref names_seq(PySequence_Fast(attr_names, "attr_names must be a sequence"));
  if (!names_seq) return false;
  Ref rows_seq(PySequence_Fast(rows, "rows must be a sequence"));
  if (!rows_seq) return false;

  const Py_ssize_t attr_count = PySequence_Fast_GET_SIZE(names_seq.get());
  if (!sized(plan.attr_names, attr_count) || !sized(plan.attr_keys, attr_count) ||
      !sized(plan.rows, PySequence_Fast_GET_SIZE(rows_seq.get()))) {
    return false;
  }
  if (!build_attributes(plan, names_seq.get())) return false;
  if (!build_rows(plan, rows_seq.get(), plan_index, plan_count)) return false;
  mark_shared_names(plan);
  return true;
}

}  // namespace

void plan_shape_capsule_destructor(PyObject* capsule) {
  auto* shape = static_cast<PlanShape*>(PyCapsule_GetPointer(capsule, nullptr));
  if (shape) {
    delete shape;
  } else {
    PyErr_Clear();
  }
}

PyObject* accel_plan_shape_build(PyObject*, PyObject* args) {
  PyObject* plans = nullptr;
  PyObject* callback_type = nullptr;
  if (!PyArg_ParseTuple(args, "OO:plan_shape_build", &plans, &callback_type)) return nullptr;
  Ref plans_seq(PySequence_Fast(plans, "plans must be a sequence"));
  if (!plans_seq) return nullptr;
  Py_ssize_t plan_count = PySequence_Fast_GET_SIZE(plans_seq.get());

  std::unique_ptr<PlanShape> shape(new (std::nothrow) PlanShape());
  if (!shape) return PyErr_NoMemory();
  if (!sized(shape->plans, plan_count > 0 ? plan_count : 1)) return nullptr;
  shape->plan_count = plan_count;
  shape->callback_type = Ref::borrow(callback_type);

  for (Py_ssize_t p = 0; p < plan_count; ++p) {
    // Borrowed from the fast sequence, which stays alive for the build.
    PyObject* item = PySequence_Fast_GET_ITEM(plans_seq.get(), p);
    if (!build_plan(shape->plans[p], item, p, plan_count)) return nullptr;
  }

  PyObject* capsule = PyCapsule_New(shape.get(), nullptr, plan_shape_capsule_destructor);
  if (!capsule) return nullptr;
  shape.release();
  return capsule;
}

}  // namespace korvith
